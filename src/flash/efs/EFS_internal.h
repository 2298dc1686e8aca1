// Helpers shared by the EFS's translation units. Everything here is
// file-local in each unit that includes it.
#ifndef TARN_FLASH_EFS_EFS_INTERNAL_H
#define TARN_FLASH_EFS_EFS_INTERNAL_H

#include <cstdlib>
#include <cstring>

#include "flash/efs/EFS.h"

namespace efs_internal {
namespace {

// ---- geometry of the loaded table

inline uint32_t bm_count() { return g_efs_bm_num; }
inline uint32_t valid_count() { return g_efs_valid_block_num; }
inline uint32_t spare_count() { return g_efs_non_valid_block_num; }
inline uint32_t physical_count() { return g_efs_valid_block_num + g_efs_non_valid_block_num; }
// S: bytes of one BME.
inline uint32_t bme_size() { return physical_count() + EFS_BME_TRAILER_SIZE; }
// Bytes of a BME covered by its CRC.
inline uint32_t bme_crc_bytes() { return physical_count() + EFS_BME_CRC_TRAILER_BYTES; }

// Bytes of the region, (B + V + N) * 4096, without wrap-around.
inline uint64_t region_size() {
  return (uint64_t{bm_count()} + valid_count() + spare_count()) * EFS_BLOCK_SIZE;
}

// True for a geometry whose counts fit the one-byte fields of the format.
inline bool geometry_mountable() {
  return bm_count() >= 1 && bm_count() <= EFS_MAX_COUNT && valid_count() <= EFS_MAX_COUNT &&
         spare_count() <= EFS_MAX_COUNT && uint64_t{valid_count()} + spare_count() <= EFS_MAX_PHYSICAL_BLOCKS;
}

// True when the context's arrays were allocated for the loaded geometry,
// which is then mountable: every index below V, N or T fits them, and every
// block address fits 32 bits.
inline bool context_ready() {
  return efs_ctx.Physical_Blocks_EC != nullptr && efs_ctx.arrays_bm_num == bm_count() &&
         efs_ctx.arrays_valid_block_num == valid_count() &&
         efs_ctx.arrays_non_valid_block_num == spare_count();
}
inline bool mounted() { return efs_ctx.initlized && context_ready(); }

// Region offsets (inside a mountable geometry).
inline uint32_t bm_address(uint32_t bm) { return bm * EFS_BLOCK_SIZE; }
inline uint32_t block_address(uint32_t physical) { return (bm_count() + physical) * EFS_BLOCK_SIZE; }

// Attempts of a read-and-verify loop; at least one.
inline uint32_t attempts() { return efs_ctx.EFS_retry_count == 0 ? 1 : efs_ctx.EFS_retry_count; }

// The descriptor of a usable file number: below g_efs_files_num, valid, and
// with a first piece inside the data area. Null otherwise.
inline const EFS_file_descriptor_t* file_descriptor(uint32_t fileno) {
  if (EFS_files == nullptr || fileno >= g_efs_files_num) return nullptr;
  const EFS_file_descriptor_t* d = &EFS_files[fileno];
  if (!d->Flags.bits.valid || d->Offset_In_Block > EFS_PIECE_DATA_MAX) return nullptr;
  return d;
}

// ---- little-endian fields

inline uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void store_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void store_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline bool EFS_is_buffer_all_ff(const uint8_t* buffer, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i)
    if (buffer[i] != EFS_ERASED_BYTE) return false;
  return true;
}
inline bool EFS_is_buffer_all_zero(const uint8_t* buffer, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i)
    if (buffer[i] != 0) return false;
  return true;
}

// ---- arrays sized by the geometry

// A zeroed array of n elements plus one, so that an empty array (no spares)
// is no allocation failure. Null when memory runs out.
template <typename T>
T* allocate_array(uint32_t n) {
  return static_cast<T*>(std::calloc(size_t{n} + 1, sizeof(T)));
}

// ---- BMEs

// A BME whose arrays are owned here, sized for the loaded geometry.
class OwnedBme {
 public:
  OwnedBme() = default;
  OwnedBme(const OwnedBme&) = delete;
  OwnedBme& operator=(const OwnedBme&) = delete;
  ~OwnedBme() {
    std::free(bme.Valid_Blocks);
    std::free(bme.Non_Valid_Blocks);
  }
  // False when memory runs out.
  bool allocate() {
    bme.Valid_Blocks = allocate_array<uint8_t>(valid_count());
    bme.Non_Valid_Blocks = allocate_array<uint8_t>(spare_count());
    return bme.Valid_Blocks != nullptr && bme.Non_Valid_Blocks != nullptr;
  }
  EFS_BME_t bme{};
};

inline void copy_bme(EFS_BME_t* to, const EFS_BME_t& from) {
  std::memcpy(to->Valid_Blocks, from.Valid_Blocks, valid_count());
  std::memcpy(to->Non_Valid_Blocks, from.Non_Valid_Blocks, spare_count());
  to->total_time = from.total_time;
  to->prtc_time = from.prtc_time;
  to->CRC_32 = from.CRC_32;
}

// Writes the bme_size() bytes of `bme` as stored, CRC_32 as it stands.
inline void serialize_bme(const EFS_BME_t& bme, uint8_t* record) {
  const uint32_t v = valid_count(), t = physical_count();
  std::memcpy(record, bme.Valid_Blocks, v);
  std::memcpy(record + v, bme.Non_Valid_Blocks, spare_count());
  store_le32(record + t + EFS_BME_TOTAL_TIME_AT, bme.total_time);
  store_le32(record + t + EFS_BME_PRTC_TIME_AT, bme.prtc_time);
  store_le32(record + bme_crc_bytes(), bme.CRC_32);
}

// Computes bme's CRC_32 and writes the record as stored.
inline void seal_bme(EFS_BME_t* bme, uint8_t* record) {
  serialize_bme(*bme, record);
  bme->CRC_32 = EFS_crc32(0, record, bme_crc_bytes());
  store_le32(record + bme_crc_bytes(), bme->CRC_32);
}

inline void parse_bme(const uint8_t* record, EFS_BME_t* bme) {
  const uint32_t v = valid_count(), t = physical_count();
  std::memcpy(bme->Valid_Blocks, record, v);
  std::memcpy(bme->Non_Valid_Blocks, record + v, spare_count());
  bme->total_time = load_le32(record + t + EFS_BME_TOTAL_TIME_AT);
  bme->prtc_time = load_le32(record + t + EFS_BME_PRTC_TIME_AT);
  bme->CRC_32 = load_le32(record + bme_crc_bytes());
}

inline bool bme_crc_matches(const uint8_t* record) {
  return EFS_crc32(0, record, bme_crc_bytes()) == load_le32(record + bme_crc_bytes());
}

// Starts BM `bm`: the record as its first entry, then a header with
// `counter`, both blank-checked. In this order a BM whose header verifies
// always holds its first entry.
inline int start_bm(uint32_t bm, uint8_t* record, uint32_t counter) {
  int status = EFS_write_with_read_check(bm_address(bm) + EFS_BM_FIRST_SLOT_OFFSET, bme_size(), record, true);
  if (status != EFS_STATUS_OK) return status;
  EFS_BM_block_header_t h{};
  h.EFS_Version = EFS_VERSION;
  h.Sku = g_efs_sku_id;
  h.BM_Monotonic_Counter = counter;
  h.BM_Num = static_cast<uint8_t>(bm_count());
  h.Valid_Block_Num = static_cast<uint8_t>(valid_count());
  h.Non_Valid_Block_Num = static_cast<uint8_t>(spare_count());
  h.Layout_Id = g_efs_layout_id;
  uint8_t header[sizeof h];
  std::memcpy(header, &h, sizeof h);
  store_le32(header + EFS_BM_HEADER_CRC_BYTES, EFS_crc32(0, header, EFS_BM_HEADER_CRC_BYTES));
  return EFS_write_with_read_check(bm_address(bm), sizeof header, header, true);
}

}  // namespace
}  // namespace efs_internal

#endif  // TARN_FLASH_EFS_EFS_INTERNAL_H
