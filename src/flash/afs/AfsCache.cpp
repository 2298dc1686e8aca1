// The page cache: lookup with least-recently-used replacement, dirty marking
// and the oldest-first flush.
#include "flash/afs/AfsCache.h"

#include <cstdlib>

#include "flash/afs/AfsVolumeInternal.h"

using afs_volume_internal::page_shift;

namespace {

bool cache_present(const afs_context_t* ctx) {
  return ctx != nullptr && ctx->cache != nullptr && ctx->cache_data != nullptr &&
         ctx->cache_num_entries != 0 && ctx->page_size != 0 && ctx->afs_physical_context != nullptr;
}

uint8_t* entry_memory(afs_context_t* ctx, uint16_t entry) {
  return ctx->cache_data + size_t{entry} * ctx->page_size;
}

uint32_t page_address(const afs_context_t* ctx, uint16_t page_id) {
  return uint32_t{page_id} * ctx->page_size;
}

uint32_t write_back(afs_context_t* ctx, uint16_t entry) {
  return ctx->afs_physical_context->afs_physical_write(
      ctx, page_address(ctx, ctx->cache[entry].page_id), ctx->page_size, entry_memory(ctx, entry),
      ctx->afs_partition_index);
}

// Moves `entry`, whose predecessor in recency order is `previous`
// (CACHE_END_OF_LIST when it is the head), to the front of the list.
void move_to_front(afs_context_t* ctx, uint16_t entry, uint16_t previous) {
  if (previous == CACHE_END_OF_LIST) return;  // already the head
  ctx->cache[previous].next = ctx->cache[entry].next;
  ctx->cache[entry].next = ctx->cache_head;
  ctx->cache_head = entry;
}

}  // namespace

extern "C" {

uint32_t cache_init(afs_context_t* afs_context, uint32_t page_size, uint16_t num_entries) {
  if (afs_context == nullptr || page_size == 0 || (page_size & (page_size - 1)) != 0 ||
      num_entries == 0 || num_entries >= CACHE_END_OF_LIST)
    return AFS_STATUS_INVALID_ARGUMENT;
  if (afs_context->cache != nullptr && afs_context->cache_data != nullptr) {
    const uint32_t status = cache_flush(afs_context);
    if (status != AFS_STATUS_OK) return status;
    std::free(afs_context->cache);
    std::free(afs_context->cache_data);
    afs_context->cache = nullptr;
    afs_context->cache_data = nullptr;
  } else if (afs_context->cache != nullptr || afs_context->cache_data != nullptr) {
    return AFS_STATUS_NOT_DONE;  // half-built
  }

  afs_context->cache_num_entries = num_entries;
  cache_desc_t* cache = static_cast<cache_desc_t*>(std::calloc(num_entries, sizeof(cache_desc_t)));
  uint8_t* data = static_cast<uint8_t*>(std::malloc(size_t{num_entries} * page_size));
  if (cache == nullptr || data == nullptr) {
    std::free(cache);
    std::free(data);
    return AFS_STATUS_NO_MEMORY;
  }
  for (uint16_t i = 0; i < num_entries; ++i)
    cache[i].next = static_cast<uint16_t>(i + 1 < num_entries ? i + 1 : CACHE_END_OF_LIST);
  afs_context->cache = cache;
  afs_context->cache_data = data;
  afs_context->cache_head = 0;
  return AFS_STATUS_OK;
}

uint32_t cache_ptr(afs_context_t* afs_context, uint16_t page_id, uint8_t** buf) {
  if (!cache_present(afs_context) || buf == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  cache_desc_t* cache = afs_context->cache;

  // Find the entry holding the page, or else the last (least recently used).
  uint16_t previous = CACHE_END_OF_LIST;
  uint16_t entry = afs_context->cache_head;
  bool hit = false;
  for (uint32_t step = 0; step <= afs_context->cache_num_entries; ++step) {
    if (cache[entry].valid && cache[entry].page_id == page_id) {
      hit = true;
      break;
    }
    if (cache[entry].next == CACHE_END_OF_LIST) break;
    previous = entry;
    entry = cache[entry].next;
  }
  move_to_front(afs_context, entry, previous);

  if (!hit) {
    if (cache[entry].valid && cache[entry].dirty) {
      const uint32_t status = write_back(afs_context, entry);
      if (status != AFS_STATUS_OK) return status;
      cache[entry].dirty = 0;
    }
    const uint32_t status = afs_context->afs_physical_context->afs_physical_read(
        afs_context, page_address(afs_context, page_id), afs_context->page_size,
        entry_memory(afs_context, entry), afs_context->afs_partition_index);
    if (status != AFS_STATUS_OK) {
      // The memory may hold part of the failed read: it must never be
      // written back as the page it held before.
      cache[entry].valid = 0;
      cache[entry].dirty = 0;
      return status;
    }
    cache[entry].page_id = page_id;
    cache[entry].valid = 1;
    cache[entry].dirty = 0;
  }
  *buf = entry_memory(afs_context, entry);
  return AFS_STATUS_OK;
}

void cache_line_written(afs_context_t* afs_context, const uint8_t* cache_entry) {
  if (!cache_present(afs_context) || cache_entry < afs_context->cache_data) return;
  const size_t index = static_cast<size_t>(cache_entry - afs_context->cache_data) >>
                       page_shift(afs_context->page_size);
  if (index >= afs_context->cache_num_entries) return;

  cache_desc_t* cache = afs_context->cache;
  uint16_t previous = CACHE_END_OF_LIST;
  uint16_t entry = afs_context->cache_head;
  for (uint32_t step = 0; step < afs_context->cache_num_entries && entry != index; ++step) {
    if (cache[entry].next == CACHE_END_OF_LIST) return;  // not on the list
    previous = entry;
    entry = cache[entry].next;
  }
  if (entry != index) return;
  move_to_front(afs_context, entry, previous);
  cache[entry].dirty = 1;
}

uint16_t get_oldest_entry(afs_context_t* afs_context) {
  if (!cache_present(afs_context)) return CACHE_END_OF_LIST;
  const cache_desc_t* cache = afs_context->cache;
  uint16_t oldest = CACHE_END_OF_LIST;
  uint16_t entry = afs_context->cache_head;
  for (uint32_t step = 0; step < afs_context->cache_num_entries; ++step) {
    if (cache[entry].valid && cache[entry].dirty) oldest = entry;
    if (cache[entry].next == CACHE_END_OF_LIST) break;
    entry = cache[entry].next;
  }
  return oldest;
}

uint32_t cache_flush(afs_context_t* afs_context) {
  for (;;) {
    const uint16_t entry = get_oldest_entry(afs_context);
    if (entry == CACHE_END_OF_LIST) return AFS_STATUS_OK;
    const uint32_t status = write_back(afs_context, entry);
    if (status != AFS_STATUS_OK) return status;
    afs_context->cache[entry].dirty = 0;
  }
}

void cache_invalidate(afs_context_t* afs_context) {
  if (!cache_present(afs_context)) return;
  for (uint16_t i = 0; i < afs_context->cache_num_entries; ++i) {
    afs_context->cache[i].valid = 0;
    afs_context->cache[i].dirty = 0;
  }
}

}  // extern "C"
