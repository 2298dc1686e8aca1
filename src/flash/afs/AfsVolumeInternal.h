// Helpers private to the file layer's translation units (cache, mount, chain
// functions and file operations). Everything here is file-local in each unit
// that includes it.
#ifndef TARN_FLASH_AFS_AFSVOLUMEINTERNAL_H
#define TARN_FLASH_AFS_AFSVOLUMEINTERNAL_H

#include <cstdint>

#include "flash/afs/AfsCommonDefs.h"
#include "flash/afs/AfsVolume.h"

namespace afs_volume_internal {
namespace {

// log2 of a power-of-two page size.
inline uint32_t page_shift(uint32_t page_size) {
  // The size every mounted volume serves, answered without the loop.
  constexpr uint32_t kServedShift = [] {
    uint32_t s = 0;
    while ((1u << s) < AFS_PAGE_SIZE) ++s;
    return s;
  }();
  if (page_size == AFS_PAGE_SIZE) return kServedShift;
  uint32_t shift = 0;
  while (shift < 31 && (1u << shift) < page_size) ++shift;
  return shift;
}

// Logical offset of FAT entry `index` (a file number or a chunk id).
inline uint32_t fat_entry_offset(uint32_t index) {
  return uint32_t{sizeof(afs_header_t)} + AFS_FAT_ENTRY_SIZE * index;
}

// Bytes of the FAT area holding `entries` entries: the header and the
// entries, rounded up to whole chunks.
inline uint32_t fat_area_size(uint32_t entries) {
  return (fat_entry_offset(entries) + AFS_CHUNK_SIZE - 1) & ~(AFS_CHUNK_SIZE - 1);
}

// Steps of a release that runs to the end of a chain.
constexpr uint32_t kWholeChain = 0x7FFFFFFF;

// Entries of the FAT: file entries, then chunk entries.
inline uint32_t fat_entries(const afs_context_t* ctx) {
  return uint32_t{ctx->num_files} + ctx->num_chunks;
}

// True when `id` names a chunk of the volume.
inline bool is_chunk_id(const afs_context_t* ctx, uint32_t id) {
  return id >= ctx->num_files && id < fat_entries(ctx);
}

// Logical address of the data of chunk `id` (a chunk id).
inline uint32_t chunk_address(const afs_context_t* ctx, cid_t id) {
  return ctx->fat_size + AFS_CHUNK_SIZE * (uint32_t{id} - ctx->num_files);
}

inline bool chunk_bit(const afs_context_t* ctx, uint32_t chunk_index) {
  return ((ctx->chunk_state[chunk_index / 32] >> (chunk_index % 32)) & 1u) != 0;
}

inline void set_chunk_bit(afs_context_t* ctx, uint32_t chunk_index) {
  ctx->chunk_state[chunk_index / 32] |= 1u << (chunk_index % 32);
}

// True when the context is mounted and `fileno` is one of its file numbers.
inline bool file_number_ok(const afs_context_t* ctx, int32_t fileno) {
  return ctx != nullptr && fileno >= 0 && static_cast<uint32_t>(fileno) < ctx->num_files;
}

// Words of a chunk bitmap with bits for chunk indices 0..num_chunks.
inline uint32_t chunk_bitmap_words(uint32_t num_chunks) { return num_chunks / 32 + 1; }

inline uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void store_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace
}  // namespace afs_volume_internal

#endif  // TARN_FLASH_AFS_AFSVOLUMEINTERNAL_H
