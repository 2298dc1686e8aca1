// Chain functions of the volume: reading and writing FAT entries through the
// page cache, chunk allocation, releasing a chain and trimming FAT pages whose
// chunks are all free.
#include <cstdint>

#include "flash/afs/AfsCache.h"
#include "flash/afs/AfsFtl.h"
#include "flash/afs/AfsVolume.h"
#include "flash/afs/AfsVolumeInternal.h"

using namespace afs_volume_internal;

namespace {

// Chunk entries read since the current walk started (at a file entry, or at
// the start of a release). A walk of a sound chain reads at most num_chunks
// of them; more means the chain runs in a cycle.
uint32_t s_walk_counter = 0;

uint32_t trim_page(afs_context_t* ctx, uint32_t address) {
  return ctx->afs_physical_context->afs_physical_trim(ctx, address, ctx->page_size,
                                                      ctx->afs_partition_index);
}

}  // namespace

extern "C" {

uint32_t get_offset_in_cache(afs_context_t* afs_context, uint32_t offset, uint8_t** pOffset) {
  if (afs_context == nullptr || pOffset == nullptr || afs_context->page_size == 0)
    return AFS_STATUS_INVALID_ARGUMENT;
  const uint16_t page_id = static_cast<uint16_t>(offset >> page_shift(afs_context->page_size));
  const uint32_t in_page = offset & (uint32_t{afs_context->page_size} - 1);
  uint8_t* page = nullptr;
  const uint32_t status = cache_ptr(afs_context, page_id, &page);
  if (status != AFS_STATUS_OK) return status;
  *pOffset = page + in_page;
  return AFS_STATUS_OK;
}

uint32_t afs_get_next_cid(afs_context_t* afs_context, cid_t chunk_id, cid_t* pCid_t) {
  if (afs_context == nullptr || pCid_t == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  if (chunk_id >= fat_entries(afs_context)) return AFS_STATUS_IO_ERROR;
  uint8_t* entry = nullptr;
  const uint32_t status = get_offset_in_cache(afs_context, fat_entry_offset(chunk_id), &entry);
  if (status != AFS_STATUS_OK) return status;

  const bool file_entry = chunk_id < afs_context->num_files;
  if (file_entry)
    s_walk_counter = 0;
  else
    ++s_walk_counter;

  const cid_t v = load_le16(entry);
  *pCid_t = v;
  if (v >= fat_entries(afs_context) && !(file_entry && (v == AFS_CID_ZOMBIE || v == AFS_CID_EMPTY)))
    return AFS_STATUS_IO_ERROR;
  if (v != AFS_CID_FREE && v < afs_context->num_files && (v > AFS_CID_LAST_MAX || file_entry))
    return AFS_STATUS_IO_ERROR;
  if (!file_entry && s_walk_counter > afs_context->num_chunks) return AFS_STATUS_IO_ERROR;
  return AFS_STATUS_OK;
}

uint32_t afs_set_next_cid(afs_context_t* afs_context, cid_t chunk_id, cid_t next) {
  if (afs_context == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  if (chunk_id >= fat_entries(afs_context)) return AFS_STATUS_IO_ERROR;
  uint8_t* entry = nullptr;
  const uint32_t status = get_offset_in_cache(afs_context, fat_entry_offset(chunk_id), &entry);
  if (status != AFS_STATUS_OK) return status;
  store_le16(entry, next);
  cache_line_written(afs_context, entry);
  return AFS_STATUS_OK;
}

uint32_t afs_allocate_chunk(afs_context_t* afs_context, cid_t* chunk_id_ptr) {
  if (afs_context == nullptr || chunk_id_ptr == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  if (afs_context->chunk_allocation_handed_over == 1)
    return afs_physical_ftl_allocate_page(afs_context, chunk_id_ptr);
  if (afs_context->chunk_state == nullptr) return AFS_STATUS_INVALID_ARGUMENT;

  const uint32_t chunks = afs_context->num_chunks;
  uint32_t index = afs_context->allocate_chunk_start_from;
  if (index >= chunks) index = 0;
  for (uint32_t tried = 0; tried < chunks; ++tried) {
    if (!chunk_bit(afs_context, index)) {
      set_chunk_bit(afs_context, index);
      *chunk_id_ptr = static_cast<cid_t>(index + afs_context->num_files);
      afs_context->allocate_chunk_start_from = index + 1 < chunks ? index + 1 : 0;
      return AFS_STATUS_OK;
    }
    index = index + 1 < chunks ? index + 1 : 0;
  }
  return AFS_STATUS_NO_SPACE;
}

uint32_t afs_trim_fat_page_if_needed(afs_context_t* afs_context, uint32_t chunk_index) {
  if (afs_context == nullptr || afs_context->chunk_state == nullptr || afs_context->page_size == 0 ||
      chunk_index > afs_context->num_chunks)
    return AFS_STATUS_INVALID_ARGUMENT;
  const uint32_t page_mask = ~(uint32_t{afs_context->page_size} - 1);
  const uint32_t page = fat_entry_offset(afs_context->num_files + chunk_index) & page_mask;
  const uint32_t previous = afs_context->last_trimmed_page;
  if (page == previous) return AFS_STATUS_OK;
  afs_context->last_trimmed_page = page;

  // The page holding the header and the file entries stays, and so does the
  // last FAT page. Every other FAT page holds chunk entries only, all of
  // chunks below num_chunks.
  if (previous < fat_entry_offset(afs_context->num_files) ||
      uint64_t{previous} + afs_context->page_size >= afs_context->fat_size ||
      (previous & ~page_mask) != 0)
    return AFS_STATUS_OK;
  const uint32_t first = (previous - fat_entry_offset(afs_context->num_files)) / AFS_FAT_ENTRY_SIZE;
  const uint32_t count = afs_context->page_size / AFS_FAT_ENTRY_SIZE;
  for (uint32_t c = first; c < first + count; ++c)
    if (chunk_bit(afs_context, c)) return AFS_STATUS_OK;
  return trim_page(afs_context, previous);
}

uint32_t afs_release_resources(afs_context_t* afs_context, cid_t current_chunk,
                               uint32_t max_iteration, const cid_t* list, uint32_t invalidate_cache,
                               uint32_t rewrite_old_chunks) {
  if (afs_context == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  if (invalidate_cache != 0) cache_invalidate(afs_context);
  if (rewrite_old_chunks != 0) return AFS_STATUS_OK;
  if (afs_context->chunk_state == nullptr) return AFS_STATUS_INVALID_ARGUMENT;

  s_walk_counter = 0;  // a walk of its own, from a chunk
  cid_t current = current_chunk;
  for (uint32_t step = 0; current > AFS_CID_LAST_MAX && step < max_iteration; ++step) {
    if (!is_chunk_id(afs_context, current)) return AFS_STATUS_IO_ERROR;
    uint32_t status = trim_page(afs_context, chunk_address(afs_context, current));
    if (status != AFS_STATUS_OK) return status;
    const uint32_t released = uint32_t{current} - afs_context->num_files;
    // The successor of the last chunk to release is not needed.
    if (step + 1 < max_iteration) {
      if (list != nullptr) {
        current = list[step];
      } else {
        status = afs_get_next_cid(afs_context, current, &current);
        if (status != AFS_STATUS_OK) return status;
      }
    }
    afs_trim_fat_page_if_needed(afs_context, released);
  }
  afs_trim_fat_page_if_needed(afs_context, afs_context->num_chunks);
  return AFS_STATUS_OK;
}

}  // extern "C"
