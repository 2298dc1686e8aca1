// Builds and reads EFS regions byte by byte from the format tables, with its
// own (bitwise) CRC code, so that tests can check the library's EFS against
// regions it did not write and read back what it wrote without it.
//
// Layout (little-endian; B BMs, V logical and N spare blocks, T = V + N):
//   BM k at k*4096: header 16 bytes {version u16 = 1, sku u16, counter u32,
//     B u8, V u8, N u8, layout u8, crc32 of bytes 0-11}; BME slot i at
//     16 + i*S (S = T + 12) while 16 + (i+1)*S <= 4095. A BME is V + N
//     physical block bytes, total_time u32, prtc_time u32, crc32 of the rest.
//   Data block p at (B + p)*4096: {erase count u32, 0 u32, 0 u32, crc32 of
//     bytes 0-11}, data area of 4076 bytes at 16, crc32 of the area at 4092.
//   Pieces in a data area: {size u16, crc16 u16} + data; the first at the
//     file's offset holds up to 4072 - offset bytes, continuation pieces at 0
//     of the next logical blocks carry size 0xFFFF and up to 4072 bytes. The
//     crc16 is seeded with the logical block, over the size bytes and data.
//   CRCs: crc32 reflected 0xEDB88320, init 0, no final xor; crc16 0x1021
//     MSB first, no final xor.
//
// Typical use:
//   EfsRegion r(geo);
//   r.format({{0, 0}, {1, 100}});            // what a format writes
//   Bytes area = r.empty_area(0);            // then edit and place:
//   EfsRegion::put_piece(area, 0, 5, 0, data, 5);
//   r.area(7, area);                         // data area + footer of block 7
//   r.bme(0, 1, {7, 1, 2, 3, 4, 5, 6, 0, 8, 9});
#ifndef TARN_TESTS_SUPPORT_EFS_REGION_H
#define TARN_TESTS_SUPPORT_EFS_REGION_H

#include <cstdint>
#include <vector>

#include "support/bytes.h"

namespace tarn_test {

namespace efs_layout {
constexpr size_t kBlock = 4096;
constexpr size_t kFirstSlot = 16;
constexpr size_t kSlotEnd = 4095;
constexpr size_t kAreaAt = 16;
constexpr size_t kArea = 4076;
constexpr size_t kFooterAt = 4092;
constexpr size_t kPieceMax = 4072;
constexpr uint16_t kAbsent = 0xFFFF;
}  // namespace efs_layout

uint16_t efs_test_crc16(uint16_t init, const uint8_t* p, size_t n);
uint32_t efs_test_crc32(uint32_t init, const uint8_t* p, size_t n);

struct EfsGeo {
  uint32_t bm = 2, valid = 7, spare = 3;
  uint8_t layout = 0;
  uint16_t sku = 0;
  uint32_t blocks() const { return valid + spare; }
  size_t slot() const { return blocks() + 12; }
  size_t region() const { return (bm + blocks()) * efs_layout::kBlock; }
  size_t bm_at(uint32_t k) const { return k * efs_layout::kBlock; }
  size_t block_at(uint32_t p) const { return (bm + p) * efs_layout::kBlock; }
  size_t slot_at(uint32_t k, uint32_t i) const { return bm_at(k) + efs_layout::kFirstSlot + i * slot(); }
};

// Where a file's first piece lies.
struct EfsFile {
  uint8_t lb;
  uint16_t oib;
};

class EfsRegion {
 public:
  explicit EfsRegion(EfsGeo g) : geo(g), bytes(g.region(), 0xFF) {}

  void bm_header(uint32_t k, uint32_t counter);
  // Slot i of BM k: `map` lists the V logical then the N spare blocks.
  void bme(uint32_t k, uint32_t i, const std::vector<uint8_t>& map);
  void block_header(uint32_t p, uint32_t erase_count);
  // Data area of block p (kArea bytes) and its footer.
  void area(uint32_t p, const Bytes& data_area);
  // Logical block lb's area after a format: 0xFF with an absent-file header
  // for each file that starts in it.
  Bytes empty_area(uint8_t lb) const;
  // What a format writes: counts 1, identity mapping, BM 0 with counter 1.
  void format(const std::vector<EfsFile>& files);
  static void put_piece(Bytes& area, size_t at, uint16_t size_field, uint8_t lb, const uint8_t* data, size_t n);
  static std::vector<uint8_t> identity(const EfsGeo& g);

  EfsGeo geo;
  Bytes bytes;
  std::vector<EfsFile> files;
};

// What a mount finds: the BM with the highest counter (first on ties, never
// 0) and its last BME, one slot back when the last one is damaged.
struct EfsView {
  bool ok = false;
  uint32_t bm = 0;
  uint32_t counter = 0;
  size_t slot = 0;           // index of the BME used
  bool fell_back = false;
  std::vector<uint8_t> map;  // V logical, then N spare blocks
};
EfsView efs_view(const Bytes& region, const EfsGeo& g);

enum class EfsFileState { kPresent, kAbsent, kCorrupt };
// Reads a file through the view's mapping, checking every piece's CRC.
EfsFileState efs_read_file(const Bytes& region, const EfsGeo& g, const EfsView& v, EfsFile f, Bytes* out);

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_EFS_REGION_H
