// The FTL's page service: read, write and trim of one 64-byte page, runs of
// data chunks, chunk allocation and the end of reserved-files mode.
//
// A FAT page (address below fat_size) is appended at the FAT write head and
// found through page_info; a data chunk has one fixed page in the
// block-mapped EU of its range and is programmed once per erase. From the
// hand-over of allocation on, the chunk bitmap follows the writes and trims.
#include <cstring>

#include "flash/afs/AfsFtlInternal.h"
#include "flash/afs/AfsFtlReclaim.h"

using namespace afs_ftl_internal;

namespace {

// Where a data chunk lives.
struct ChunkPlace {
  uint32_t chunk = 0;  // chunk index
  uint32_t eu = 0;     // its block-mapped EU
  uint32_t page = 0;   // its page there (chunk mod 122)
};

// False for an address outside the data chunks of the mount or a range that
// no EU holds.
bool chunk_place(afs_context_t* ctx, uint32_t address, ChunkPlace* place) {
  return find_chunk_and_eu_from_address(ctx, address, &place->page, &place->chunk, &place->eu) == 0;
}

// Logical page id of a data chunk: its volume address / 64, kept in 16 bits.
uint16_t chunk_page_id(const afs_context_t* ctx, uint32_t chunk) {
  return static_cast<uint16_t>(ctx->fat_size / FTL_PAGE_DATA_SIZE + chunk);
}

// The page as stored: the data and its CRC under the logical page id.
ftl_page_t make_page(const uint8_t* data, uint16_t logical_page) {
  ftl_page_t page;
  std::memcpy(page.pageData, data, FTL_PAGE_DATA_SIZE);
  const PageIdBytes id(logical_page);
  page.pageCrc = crc16(page.pageData, FTL_PAGE_DATA_SIZE, id.b);
  return page;
}

// The FAT page id of `address` (below fat_size); false past the page table.
bool fat_page_of(const afs_context_t* ctx, const ftl_context_t* ftl, uint32_t address, uint32_t* lp) {
  *lp = address / FTL_PAGE_DATA_SIZE;
  return *lp < fat_page_count(ctx, ftl);
}

bool reads_as_unallocated(const afs_context_t* ctx, uint32_t chunk) {
  return ctx->afs_mode == 0 && ctx->chunk_state != nullptr && !chunk_allocated(ctx, chunk);
}

uint32_t write_fat_page(afs_context_t* ctx, ftl_context_t* ftl, uint32_t lp, const uint8_t* data) {
  if (ftl->next_page_in_current_eu >= FTL_PAGE_MAPPED_PAGES) {
    const uint32_t status = reclaim_eu_wrapper(ctx, FTL_EU_TYPE_PAGE_MAPPED);
    if (status != 0) return status;
  }
  const uint32_t eu = ftl->current_page_mapped_eu;
  const uint32_t page_index = ftl->next_page_in_current_eu;
  if (eu >= ftl->amount_of_eus) return AFS_STATUS_IO_ERROR;
  const ftl_page_t page = make_page(data, static_cast<uint16_t>(lp));
  const uint16_t slot = static_cast<uint16_t>(lp ^ chain_key(ftl->last_logical_pageid));
  if (write_ftl_page(ctx, eu, page_index, FTL_EU_TYPE_PAGE_MAPPED, slot, &page) != 0)
    return AFS_STATUS_IO_ERROR;
  ftl_physical_page_info_t& where = ftl->page_info[lp];
  if (where.page_num != FTL_PAGE_UNMAPPED && where.eu < ftl->amount_of_eus)
    add_dirty(ftl->eu_info[where.eu]);  // the earlier copy is stale
  where.eu = static_cast<ftl_physical_page_info_eu_t>(eu);
  where.page_num = static_cast<ftl_physical_page_info_page_num_t>(page_index);
  ftl->next_page_in_current_eu = page_index + 1;
  ftl->last_logical_pageid = static_cast<uint16_t>(lp);
  drop_dirty(ftl->eu_info[eu]);
  return AFS_STATUS_OK;
}

// A new allocation range: the first time the range runs out the caller is
// asked to write back its cache (65533), the next time a reclaim makes one.
uint32_t renew_allocation_range(afs_context_t* ctx, ftl_context_t* ftl) {
  if (ftl->alloc_eu_flushed == 0) {
    ftl->alloc_eu_flushed = 1;
    return AFS_STATUS_FLUSH_AND_RETRY;
  }
  return reclaim_eu_wrapper(ctx, FTL_EU_TYPE_BLOCK_MAPPED);
}

}  // namespace

extern "C" {

uint32_t afs_physical_ftl_read_page(afs_context_t* afs_context, uint32_t address,
                                    uint32_t /*length*/, uint8_t* pBuffer, uint32_t /*flags*/) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || pBuffer == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  uint32_t lp = 0;
  if (address < afs_context->fat_size) {
    if (!fat_page_of(afs_context, ftl, address, &lp)) return AFS_STATUS_IO_ERROR;
    const ftl_physical_page_info_t& where = ftl->page_info[lp];
    if (where.page_num == FTL_PAGE_UNMAPPED) {
      std::memset(pBuffer, 0, FTL_PAGE_DATA_SIZE);
      return AFS_STATUS_OK;
    }
    return read_ftl_page(afs_context, where.eu, where.page_num, FTL_EU_TYPE_PAGE_MAPPED, lp, pBuffer, 0) != 0
               ? AFS_STATUS_IO_ERROR
               : AFS_STATUS_OK;
  }
  ChunkPlace c;
  if (!chunk_place(afs_context, address, &c)) return AFS_STATUS_IO_ERROR;
  if (reads_as_unallocated(afs_context, c.chunk)) {
    std::memset(pBuffer, 0, FTL_PAGE_DATA_SIZE);
    return AFS_STATUS_OK;
  }
  return read_ftl_page(afs_context, c.eu, c.page, FTL_EU_TYPE_BLOCK_MAPPED,
                       chunk_page_id(afs_context, c.chunk), pBuffer, 0) != 0
             ? AFS_STATUS_IO_ERROR
             : AFS_STATUS_OK;
}

uint32_t afs_physical_ftl_write_page(afs_context_t* afs_context, uint32_t address,
                                     uint32_t /*length*/, uint8_t* pBuffer, uint32_t /*flags*/) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || pBuffer == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  uint32_t lp = 0;
  if (address < afs_context->fat_size)
    return fat_page_of(afs_context, ftl, address, &lp) ? write_fat_page(afs_context, ftl, lp, pBuffer)
                                                       : AFS_STATUS_IO_ERROR;
  ChunkPlace c;
  if (!chunk_place(afs_context, address, &c)) return AFS_STATUS_IO_ERROR;
  const ftl_page_t page = make_page(pBuffer, chunk_page_id(afs_context, c.chunk));
  if (write_ftl_page(afs_context, c.eu, c.page, FTL_EU_TYPE_BLOCK_MAPPED, 0, &page) != 0)
    return AFS_STATUS_IO_ERROR;
  if (afs_context->chunk_state != nullptr) mark_chunk(afs_context, c.chunk, true);
  drop_dirty(ftl->eu_info[c.eu]);
  return AFS_STATUS_OK;
}

uint32_t afs_physical_ftl_trim_page(afs_context_t* afs_context, uint32_t page_offset,
                                    uint32_t /*size*/, uint32_t /*flags*/) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  uint32_t lp = 0;
  if (page_offset < afs_context->fat_size) {
    if (!fat_page_of(afs_context, ftl, page_offset, &lp)) return AFS_STATUS_OK;
    ftl_physical_page_info_t& where = ftl->page_info[lp];
    if (where.eu == FTL_PAGE_UNMAPPED || where.page_num == FTL_PAGE_UNMAPPED) return AFS_STATUS_OK;
    if (where.eu < ftl->amount_of_eus) add_dirty(ftl->eu_info[where.eu]);
    where.eu = FTL_PAGE_UNMAPPED;
    where.page_num = FTL_PAGE_UNMAPPED;
    return AFS_STATUS_OK;
  }
  // An address past the mount's chunks releases nothing (no alias in 16 bits).
  ChunkPlace c;
  if (!chunk_place(afs_context, page_offset, &c)) return AFS_STATUS_OK;
  // A released chunk of the allocation range is programmed: allocation must
  // read commit bytes to pass over it.
  if (c.chunk / FTL_BLOCK_MAPPED_PAGES == ftl->alloc_marker / FTL_BLOCK_MAPPED_PAGES)
    ftl->alloc_marker_read = 1;
  if (afs_context->chunk_state != nullptr && chunk_allocated(afs_context, c.chunk)) {
    mark_chunk(afs_context, c.chunk, false);
    add_dirty(ftl->eu_info[c.eu]);
  }
  return AFS_STATUS_OK;
}

uint32_t afs_physical_ftl_allocate_page(afs_context_t* afs_context, cid_t* chunk_id_ptr) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || chunk_id_ptr == nullptr || afs_context->chunk_state == nullptr)
    return AFS_STATUS_INVALID_ARGUMENT;
  if (ftl->alloc_marker == FTL_NO_ALLOC_MARKER) {
    const uint32_t status = renew_allocation_range(afs_context, ftl);
    if (status != 0) return status;
  }
  for (uint32_t examined = 0; examined < afs_context->num_chunks;) {
    if (ftl->alloc_marker == ftl->alloc_threshold || ftl->alloc_marker == FTL_NO_ALLOC_MARKER) {
      const uint32_t status = renew_allocation_range(afs_context, ftl);
      if (status != 0) return status;
      // A new range starts below its threshold; anything else would loop.
      if (ftl->alloc_marker >= ftl->alloc_threshold) return AFS_STATUS_IO_ERROR;
      continue;
    }
    const uint32_t candidate = ftl->alloc_marker;
    if (candidate >= ftl->chunk_count || candidate > ftl->alloc_threshold) return AFS_STATUS_IO_ERROR;
    ++examined;
    if (chunk_allocated(afs_context, candidate)) {
      ++ftl->alloc_marker;
      continue;
    }
    if (ftl->alloc_marker_read == 1) {
      // A released chunk keeps its page programmed until its EU is reclaimed.
      uint32_t eu = 0;
      uint8_t commit = 0;
      if (eu_from_chunk_index(afs_context, static_cast<cid_t>(candidate), &eu) != 0 ||
          SpiDrvRead(eu_address(afs_context, eu, FTL_BM_COMMIT_OFFSET + candidate % FTL_BLOCK_MAPPED_PAGES),
                     1, &commit) != 0)
        return AFS_STATUS_IO_ERROR;
      if (commit != FTL_PAGE_FREE) {
        ++ftl->alloc_marker;
        continue;
      }
    }
    *chunk_id_ptr = static_cast<cid_t>(candidate + afs_context->num_files);
    ++ftl->alloc_marker;
    return AFS_STATUS_OK;
  }
  return AFS_STATUS_NO_SPACE;
}

uint32_t afs_physical_ftl_read_data_pages(afs_context_t* afs_context, uint8_t* pBuffer,
                                          uint32_t first_page_address, uint32_t number_of_pages) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || pBuffer == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  if (number_of_pages == 0) return AFS_STATUS_OK;
  // A run may cross one range boundary only.
  if (number_of_pages > 2 * FTL_BLOCK_MAPPED_PAGES) return AFS_STATUS_IO_ERROR;
  ChunkPlace first;
  if (!chunk_place(afs_context, first_page_address, &first)) return AFS_STATUS_IO_ERROR;
  const uint32_t lp0 = first_page_address / FTL_PAGE_DATA_SIZE;
  // A run that starts at a free chunk reads as zeros throughout, so that no
  // stale bytes of the caller's buffer pass for data.
  if (reads_as_unallocated(afs_context, first.chunk)) {
    std::memset(pBuffer, 0, size_t{number_of_pages} * FTL_PAGE_DATA_SIZE);
    return AFS_STATUS_OK;
  }
  const uint32_t in_first = FTL_BLOCK_MAPPED_PAGES - first.page;
  if (number_of_pages <= in_first) {
    return read_ftl_data_pages(afs_context, first.eu, first.page, number_of_pages, lp0, pBuffer) != 0
               ? AFS_STATUS_IO_ERROR
               : AFS_STATUS_OK;
  }
  // The run continues at page 0 of the next range's EU (one boundary only:
  // the second read refuses more than a range).
  if (read_ftl_data_pages(afs_context, first.eu, first.page, in_first, lp0, pBuffer) != 0)
    return AFS_STATUS_IO_ERROR;
  ChunkPlace next;
  const uint64_t next_address = uint64_t{first_page_address} + uint64_t{in_first} * FTL_PAGE_DATA_SIZE;
  if (next_address > UINT32_MAX || !chunk_place(afs_context, static_cast<uint32_t>(next_address), &next))
    return AFS_STATUS_IO_ERROR;
  return read_ftl_data_pages(afs_context, next.eu, 0, number_of_pages - in_first, lp0 + in_first,
                             pBuffer + in_first * FTL_PAGE_DATA_SIZE) != 0
             ? AFS_STATUS_IO_ERROR
             : AFS_STATUS_OK;
}

uint32_t afs_physical_ftl_end_reserved_files_mode(afs_context_t* afs_context) {
  const ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  for (uint32_t eu = 0; eu < 2; ++eu) {
    if (eu >= ftl->amount_of_eus || eu == ftl->spare_eu) continue;
    const uint32_t status = reclaim_eu(afs_context, eu, 1);
    if (status != AFS_STATUS_OK && status != AFS_STATUS_RECLAIM_NO_GAIN) return status;
  }
  return AFS_STATUS_OK;
}

}  // extern "C"
