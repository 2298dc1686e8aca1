// The page cache of an AFS volume: a small write-back cache of fixed-size
// pages of the logical volume, kept on one list in most-recently-used order.
//
// Every FAT entry and every chunk being written goes through it. A miss takes
// the least recently used entry, writing its page back first when it is
// dirty; a flush writes the dirty pages from the least to the most recently
// used. The file layer relies on that order: the page it touches last is the
// page written last, which is how a write commits (see AfsFile.h).
//
// The cache lives in the mount context (cache, cache_head, cache_data,
// cache_num_entries, page_size) and reaches the flash translation layer only
// through the context's handler table, always with address = page id *
// page_size, length = page_size and flags = afs_partition_index.
//
// Contract for callers: page_size is a power of two (the volume serves 64),
// the number of entries stays below CACHE_END_OF_LIST; a pointer handed out
// by cache_ptr stays valid until the cache is rebuilt, and keeps naming the
// same page only until a later lookup evicts its entry.
#ifndef TARN_FLASH_AFS_AFSCACHE_H
#define TARN_FLASH_AFS_AFSCACHE_H

#include <cstdint>

#include "flash/afs/AfsCommonDefs.h"
#include "internal_symbol.h"

// Descriptor of one cache entry: two 16-bit words.
struct _cache_desc_t {
  uint16_t valid : 1;  // the entry holds page_id
  uint16_t dirty : 1;  // its memory differs from the page on flash (only with valid)
  uint16_t next : 14;  // next entry in recency order; CACHE_END_OF_LIST ends the list
  uint16_t page_id;    // logical page held: byte address / page_size
};
static_assert(sizeof(cache_desc_t) == 4, "a cache descriptor is two 16-bit words");

// `next` of the least recently used entry; also "no entry".
constexpr uint16_t CACHE_END_OF_LIST = 0xFFF;

extern "C" {

// (Re)builds the cache with num_entries pages of page_size bytes. An existing
// cache is flushed first (its failure is returned, nothing changes) and
// freed. Returns 0; 99 when only one of the two arrays exists; 12 when memory
// runs out (no cache is left then); 22 for a null context, a page size that
// is not a power of two or an entry count of 0 or >= CACHE_END_OF_LIST. The
// entries are linked 0 -> 1 -> ... -> n-1 with entry 0 the most recent. The
// page size is not stored: the caller stores it.
uint32_t cache_init(afs_context_t* afs_context, uint32_t page_size, uint16_t num_entries);

// Gives in *buf the cached copy of page `page_id`, reading it on a miss, and
// makes its entry the most recently used. A miss reuses the least recently
// used entry, writing its page back first when dirty (a failure is returned
// with the entry unchanged); a failed read leaves the entry not valid.
// Returns 0, the handler's status, or 22 without a cache.
uint32_t cache_ptr(afs_context_t* afs_context, uint16_t page_id, uint8_t** buf);

// Marks the page that `cache_entry` points into as dirty and makes it the
// most recently used. A pointer outside the cache's memory is ignored.
void cache_line_written(afs_context_t* afs_context, const uint8_t* cache_entry);

// The least recently used entry that is valid and dirty, or CACHE_END_OF_LIST.
uint16_t get_oldest_entry(afs_context_t* afs_context);

// Writes every dirty page, least recently used first, clearing `dirty` as
// each write succeeds. The first failure is returned; that page and the more
// recent dirty ones stay dirty. The recency order does not change.
uint32_t cache_flush(afs_context_t* afs_context);

// Drops every cached page, dirty or not, without writing it.
void cache_invalidate(afs_context_t* afs_context);

}  // extern "C"

#endif  // TARN_FLASH_AFS_AFSCACHE_H
