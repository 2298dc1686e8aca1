// Reclaim inside the FTL: the routines that the page service, the idle and
// forced reclaims and the tests share, none of them exported.
//
// A reclaim copies the live pages of one EU elsewhere, gives the copy a fresh
// pre-header and leaves the old EU as the new spare. Its flash writes keep
// this order, which the mount's recovery relies on:
//   1. erase the spare and copy the live pages (into the spare for a
//      block-mapped EU, behind the FAT write head for a page-mapped one);
//   2. write the new pre-header with eucommit left 0xFF (pending), naming the
//      reclaimed EU as its spare;
//   3. zero the reclaimed EU's eusig (killed);
//   4. write 0x00 into the new EU's eucommit.
// Until step 3 has landed the reclaimed EU holds the data; from then on the
// new one does (a pending EU beside the killed EU it names is accepted).
//
// EU addresses are EU * 8192 within the partition. Statuses: 0; 5 for a
// driver failure, a CRC failure in all reads, a counter that would wrap or an
// inconsistent state; 12 without the reclaim buffer; 22 for a missing context
// or argument; 28 for nothing to reclaim; 38807 for a reclaim that gained no
// free page.
#ifndef TARN_FLASH_AFS_AFSFTLRECLAIM_H
#define TARN_FLASH_AFS_AFSFTLRECLAIM_H

#include <cstdint>

#include "flash/afs/AfsFtl.h"
#include "internal_symbol.h"

// The choice also accepts "either type".
constexpr uint32_t FTL_EU_TYPE_ANY = 2;
// Longest run of pages copied at once: 62 * 66 = 4092 bytes fit a half of
// the reclaim buffer.
constexpr uint32_t FTL_COPY_RUN_PAGES = 62;
constexpr uint32_t FTL_RECLAIM_BUFFER_SIZE = 2 * SPI_FLASH_BLOCK_SIZE;
static_assert(FTL_COPY_RUN_PAGES * FTL_PAGE_SIZE <= FTL_RECLAIM_BUFFER_SIZE / 2,
              "a run fits half of the reclaim buffer");

extern "C" {

// Makes room for one EU type (0 FAT pages, 1 chunk allocation): takes an EU
// that still has erased pages into use, or reclaims one (first with wear
// levelling; when that gains nothing, once more without). Afterwards, for
// type 0 the FAT write head has a free page; for type 1 there is a new
// allocation range with alloc_marker on a free chunk. 28 when no EU of the
// type can give room.
TARN_INTERNAL uint32_t reclaim_eu_wrapper(afs_context_t* afs_context, uint32_t eu_type);

// Reclaims `reclaimed_eu` (reclaim_needed 1) or only takes it into use
// (reclaim_needed 0: the FAT write head, or the allocation range, moves to
// it). 28 for the spare; 22 for an EU outside the partition.
TARN_INTERNAL uint32_t reclaim_eu(afs_context_t* afs_context, uint32_t reclaimed_eu,
                                  uint32_t reclaim_needed);

// The EU to reclaim for `eu_type` (FTL_EU_TYPE_*; FTL_EU_TYPE_ANY only with
// reclaim_type). Without reclaim_type, an EU of the type that still has
// erased pages (lowest eumc) is taken into use first (*reclaim_needed 0).
// Otherwise *reclaim_needed is 1 and the EU is, in this order: the one with
// the lowest erase count when wear levelling is enabled, the spread of erase
// counts exceeds 100 and the highest count is a multiple of 10; the idle
// test's EU; the dirtiest EU. With reclaim_type (idle) the idle test decides
// first and FTL_NO_EU means nothing is due. FTL_NO_EU also when no EU of the
// type exists besides the spare.
TARN_INTERNAL uint32_t choose_eu_to_reclaim(afs_context_t* afs_context, uint32_t eu_type,
                                            uint32_t enable_wearout_leveling,
                                            uint32_t* reclaim_needed, bool reclaim_type);

// The two reclaims. Each buffer holds max_pages_in_buffer * 66 bytes
// (1 <= max_pages_in_buffer <= 62): pages read from flash, and read-backs.
TARN_INTERNAL uint32_t reclaim_block_mapped_eu(afs_context_t* afs_context, uint32_t reclaimed_eu,
                                               uint32_t reclaim_needed, uint8_t* reclaim_buffer,
                                               uint8_t* compare_buffer,
                                               uint32_t max_pages_in_buffer);
TARN_INTERNAL uint32_t reclaim_page_mapped_eu(afs_context_t* afs_context, uint32_t reclaimed_eu,
                                              uint32_t reclaim_needed, uint8_t* reclaim_buffer,
                                              uint8_t* compare_buffer,
                                              uint32_t max_pages_in_buffer);

// Steps 2 to 4 above, after ftl_prepare_header_switch, then the RAM switch:
// new_eu takes the reclaimed EU's euva under the next mapping counter and the
// reclaimed EU becomes the spare. When the commit (step 4) fails after the
// kill landed, RAM still switches (the flash already gives the data to
// new_eu), new_eu is remembered as an accepted pending EU, and 5 is returned.
TARN_INTERNAL uint32_t reclaim_eu_write_eu_header(afs_context_t* afs_context, uint32_t new_eu,
                                                  uint32_t reclaimed_eu, uint32_t new_eu_address,
                                                  uint32_t reclaimed_eu_address);

// Copies `pages_to_read` pages (22 for more than FTL_COPY_RUN_PAGES; each
// buffer holds pages_to_read * 66 bytes) from one EU to another: reads them
// in one go, checking each CRC (up to 7 reads), writes them verified, then
// writes their headers verified. Block-mapped
// (page_id_array null): page k has logical id first_logical_pageid + k and
// its commit byte becomes 0x00. Page-mapped: page k has logical id
// page_id_array[k]; its slot is chained from last_logical_pageid, which
// follows. A copied page-mapped page is committed by the slot after it.
TARN_INTERNAL uint32_t ftl_copy_pages(afs_context_t* afs_context, uint32_t read_eu_address,
                                      uint32_t write_eu_address, uint32_t read_page_index,
                                      uint32_t write_page_index, uint32_t pages_to_read,
                                      uint8_t* write_buffer, uint8_t* compare_buffer,
                                      uint16_t first_logical_pageid, uint16_t* page_id_array);

// Zeroes (without read-back) every page of a block-mapped EU that is
// programmed but holds no allocated chunk, or every page of the spare.
// Commit bytes, headers and RAM stay. 22 without a mounted FTL or chunk
// bitmap, or for an EU that is neither block-mapped nor the spare.
TARN_INTERNAL uint32_t erase_dirty_pages_in_block_mapped_eu(afs_context_t* afs_context,
                                                            uint32_t eu_to_clean);

}  // extern "C"

#endif  // TARN_FLASH_AFS_AFSFTLRECLAIM_H
