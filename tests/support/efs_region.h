// Builds and reads EFS regions byte by byte from the format tables, with its
// own bitwise CRCs, so that tests check the library against regions it did
// not write. Little-endian; B BMs, V logical and N spare blocks, T = V + N:
//   BM k at k*4096: {version u16 1, sku u16, counter u32, B, V, N, layout u8, crc32 of 0-11};
//     BME slot i at 16 + i*S (S = T + 12) while it ends by byte 4095: T block bytes, two u32 times, crc32.
//   Block p at (B+p)*4096: {count u32, 0, 0, crc32 of 0-11}, 4076-byte data area, its crc32 at 4092.
//   Pieces {size u16, crc16 u16} + data: the first at the file's offset with up to 4072 - offset bytes,
//     then at 0 of the next logical blocks (size 0xFFFF) up to 4072; crc16 seeded with the logical block.
//   crc32: reflected 0xEDB88320, init 0, no final xor; crc16: 0x1021 MSB first.
#ifndef TARN_TESTS_SUPPORT_EFS_REGION_H
#define TARN_TESTS_SUPPORT_EFS_REGION_H

#include <cstdint>
#include <vector>

#include "support/bytes.h"

namespace tarn_test {

struct EfsGeo {
  uint32_t bm = 2, valid = 7, spare = 3;
  uint8_t layout = 0;
  uint16_t sku = 0;
  uint32_t blocks() const { return valid + spare; }
  size_t slot() const { return blocks() + 12; }
  size_t region() const { return (bm + blocks()) * 4096; }
  size_t block_at(uint32_t p) const { return (bm + p) * 4096; }
  size_t slot_at(uint32_t k, uint32_t i) const { return k * 4096 + 16 + i * slot(); }
};

struct EfsFile {  // where a file's first piece lies
  uint8_t lb;
  uint16_t oib;
};

struct EfsRegion {
  explicit EfsRegion(EfsGeo g) : geo(g), bytes(g.region(), 0xFF) {}
  void bm_header(uint32_t k, uint32_t counter);
  void bme(uint32_t k, uint32_t i, const std::vector<uint8_t>& map);  // map: V logical, then N spare blocks
  void block_header(uint32_t p, uint32_t erase_count);
  void area(uint32_t p, const Bytes& data_area);  // 4076 bytes, and the footer
  Bytes empty_area(uint8_t lb) const;             // absent-file headers in 0xFF
  void format(const std::vector<EfsFile>& files);  // counts 1, identity map, BM 0 with counter 1
  std::vector<uint8_t> identity() const;
  static void put_piece(Bytes& area, size_t at, uint16_t size_field, uint8_t lb, const uint8_t* data, size_t n);

  EfsGeo geo;
  Bytes bytes;
  std::vector<EfsFile> files;
};

// Writes block p's footer for its data area as it stands.
void efs_seal_area(Bytes& region, const EfsGeo& g, uint32_t p);

// What a mount finds: the BM with the highest counter (first on ties, never
// 0) and its last BME, one slot back when that one is damaged; no map if none.
struct EfsView {
  bool fell_back = false;
  uint32_t bm = 0, counter = 0, slot = 0;
  std::vector<uint8_t> map;
};
EfsView efs_view(const Bytes& region, const EfsGeo& g);

enum class EfsFileState { kPresent, kAbsent, kCorrupt };
// A file through the view's mapping, every piece's CRC checked.
EfsFileState efs_read_file(const Bytes& region, const EfsGeo& g, const EfsView& v, EfsFile f, Bytes* out);

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_EFS_REGION_H
