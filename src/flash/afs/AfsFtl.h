// The flash translation layer (FTL): the on-flash format of its erase units
// (EUs), its RAM state, the page I/O every FTL routine builds on, formatting,
// and the mount with its recovery from an interrupted reclaim.
//
// The FTL serves an AFS volume (afs_context_t) in 64-byte pages over one
// partition of the flash image. Volume addresses below fat_size are FAT pages
// (logical page id = address / 64); from fat_size on they are data chunks
// (chunk c at fat_size + 64c, logical page id fat_size/64 + c). The partition
// is cut into 8192-byte EUs of three kinds:
//   - page-mapped EUs (euva 0) keep FAT pages as an append-only log, each page
//     tagged with its logical page id; the newest copy wins;
//   - block-mapped EUs each hold one range of 122 consecutive chunks in place;
//   - one spare EU, the copy target of the next reclaim.
// All flash access goes through the driver (AfsInnerDefs.h) at
// afs_partition_index + partition offset; all fields are little-endian.
//
// Trust: nothing read from the flash indexes memory unchecked. The mount
// accepts only EU sets whose every block-mapped euva names a chunk range of
// the volume, held by one EU; FAT page ids are checked against the FAT size;
// page I/O refuses EU and page numbers outside the geometry.
#ifndef TARN_FLASH_AFS_AFSFTL_H
#define TARN_FLASH_AFS_AFSFTL_H

#include <cstdint>

#include "flash/afs/AfsCommonDefs.h"
#include "flash/afs/AfsInnerDefs.h"

// ---- on-flash format

typedef uint32_t ftl_eusig_t;
typedef uint32_t ftl_eumc_t;
typedef uint32_t ftl_euec_t;
typedef uint16_t ftl_euspare_t;
typedef uint16_t ftl_euva_t;
typedef uint16_t ftl_logical_pageid_t;
typedef uint8_t ftl_page_commit_byte_t;
typedef uint8_t ftl_dirty_page_t;
typedef uint8_t ftl_physical_page_info_eu_t;
typedef uint8_t ftl_physical_page_info_page_num_t;

#pragma pack(push, 1)

// Bytes 0-17 of every EU.
typedef struct _ftl_eu_pre_header_t {
  ftl_eusig_t eusig;      // signature (FTL_EUSIG_*)
  ftl_eumc_t eumc;        // mapping counter: larger is newer; 0 is invalid
  ftl_euec_t euec;        // erase count; 0 is invalid
  ftl_euspare_t euspare;  // the EU that the writer of this header left as the spare
  ftl_euva_t euva;        // first chunk's volume address / 64; 0 = page-mapped
  uint8_t eucrc;          // crc8 of bytes 0-15, computed with FTL_EUSIG_VALID
  uint8_t eucommit;       // 0xFF pending; anything else committed (writers write 0)
} ftl_eu_pre_header_t;
static_assert(sizeof(ftl_eu_pre_header_t) == 18, "EU pre-header is 18 bytes");

// The pre-header with the first page-id slot, as the mount reads it.
typedef struct _ftl_eu_pre_header_with_first_page_t {
  ftl_eu_pre_header_t eu_pre_header;
  uint16_t first_page_header;
} ftl_eu_pre_header_with_first_page_t;
static_assert(sizeof(ftl_eu_pre_header_with_first_page_t) == 20, "pre-header + slot 0 is 20 bytes");

// Header of block-mapped page i: its commit byte at EU offset 18 + i.
typedef struct _ftl_block_mapped_eu_page_header_t {
  ftl_page_commit_byte_t commit_byte;
} ftl_block_mapped_eu_page_header_t;
static_assert(sizeof(ftl_block_mapped_eu_page_header_t) == 1, "commit byte");

// Page-id slot i of a page-mapped EU at EU offset 18 + 2i.
typedef struct _ftl_page_mapped_eu_page_header_t {
  uint16_t pageid;
} ftl_page_mapped_eu_page_header_t;
static_assert(sizeof(ftl_page_mapped_eu_page_header_t) == 2, "page-id slot");

// One page as stored: data, then crc16(data, 64, logical page id).
typedef struct _ftl_page_t {
  uint8_t pageData[64];
  uint16_t pageCrc;
} ftl_page_t;
static_assert(sizeof(ftl_page_t) == 66, "page is 66 bytes");

#pragma pack(pop)

// Geometry.
constexpr uint32_t FTL_EU_SIZE = 8192;
constexpr uint32_t FTL_BLOCKS_PER_EU = FTL_EU_SIZE / SPI_FLASH_BLOCK_SIZE;
constexpr uint32_t FTL_PAGE_DATA_SIZE = 64;
constexpr uint32_t FTL_PAGE_SIZE = sizeof(ftl_page_t);
constexpr uint32_t FTL_BLOCK_MAPPED_PAGES = 122;
constexpr uint32_t FTL_PAGE_MAPPED_PAGES = 120;
constexpr uint32_t FTL_PAGE_MAPPED_SLOTS = FTL_PAGE_MAPPED_PAGES + 1;
constexpr uint32_t FTL_EU_DATA_BYTES = FTL_BLOCK_MAPPED_PAGES * FTL_PAGE_DATA_SIZE;  // 7808
// At most this many EUs: EU numbers and the EU count are kept in 8 bits.
constexpr uint32_t FTL_MAX_EUS = 255;

// EU offsets.
constexpr uint32_t FTL_EU_PRE_HEADER_SIZE = sizeof(ftl_eu_pre_header_t);
constexpr uint32_t FTL_EU_HEADER_CRC_BYTES = 16;  // bytes covered by eucrc
constexpr uint32_t FTL_EU_EUCRC_OFFSET = 16;
constexpr uint32_t FTL_EU_EUCOMMIT_OFFSET = 17;
constexpr uint32_t FTL_BM_COMMIT_OFFSET = FTL_EU_PRE_HEADER_SIZE;  // 18
constexpr uint32_t FTL_BM_PAGES_OFFSET = FTL_BM_COMMIT_OFFSET + FTL_BLOCK_MAPPED_PAGES;  // 140
constexpr uint32_t FTL_PM_SLOTS_OFFSET = FTL_EU_PRE_HEADER_SIZE;  // 18
constexpr uint32_t FTL_PM_SLOTS_BYTES = FTL_PAGE_MAPPED_SLOTS * sizeof(ftl_page_mapped_eu_page_header_t);
constexpr uint32_t FTL_PM_PAGES_OFFSET = FTL_PM_SLOTS_OFFSET + FTL_PM_SLOTS_BYTES;  // 260
static_assert(FTL_BM_PAGES_OFFSET == 140, "block-mapped pages start at 140");
static_assert(FTL_BM_PAGES_OFFSET + FTL_BLOCK_MAPPED_PAGES * FTL_PAGE_SIZE == FTL_EU_SIZE,
              "the last block-mapped page ends the EU");
static_assert(FTL_PM_PAGES_OFFSET == 260, "page-mapped pages start at 260");
static_assert(FTL_PM_PAGES_OFFSET + FTL_PAGE_MAPPED_PAGES * FTL_PAGE_SIZE == 8180,
              "page-mapped pages end at 8180");

// Signatures. Only FTL_EUSIG_VALID is written; the two alternatives are
// accepted at mount; 0 marks the spare (a killed EU).
constexpr ftl_eusig_t FTL_EUSIG_VALID = 0xAA557887;
constexpr ftl_eusig_t FTL_EUSIG_ALT_STORED = 0x82416801;  // CRC as stored or as VALID
constexpr ftl_eusig_t FTL_EUSIG_ALT_VALID = 0xAA050887;   // CRC as VALID
constexpr ftl_eusig_t FTL_EUSIG_KILLED = 0x00000000;

// Commit states.
constexpr uint8_t FTL_EU_PENDING = 0xFF;    // eucommit of a header not yet committed
constexpr uint8_t FTL_EU_COMMITTED = 0x00;  // eucommit as written
constexpr ftl_page_commit_byte_t FTL_PAGE_FREE = 0xFF;
constexpr ftl_page_commit_byte_t FTL_PAGE_PROGRAMMING = 0x7F;
constexpr ftl_page_commit_byte_t FTL_PAGE_COMMITTED = 0x00;
constexpr uint16_t FTL_SLOT_ERASED = 0xFFFF;
constexpr uint16_t FTL_SLOT_END_MARKER = 0x7FFF;
constexpr uint16_t FTL_SLOT_UNCOMMITTED_BIT = 0x8000;
constexpr uint8_t FTL_SLOT_COMMIT_MARK = 0x7F;  // written into the high byte of slot i+1

// EU types as arguments of the page I/O.
constexpr uint32_t FTL_EU_TYPE_PAGE_MAPPED = 0;
constexpr uint32_t FTL_EU_TYPE_BLOCK_MAPPED = 1;

// Tries of a CRC-checked read and read-backs of a verified write.
constexpr uint32_t FTL_READ_TRIES = 7;

// ---- RAM state

// One entry per EU.
typedef struct _eu_info_t {
  ftl_eumc_t eumc;                  // from the pre-header; 0 once killed by a reclaim
  ftl_euec_t euec;                  // erase count
  ftl_euva_t euva;                  // block-mapped: as on flash; else 0
  ftl_dirty_page_t dirty_pages;     // pages holding no live data
  uint8_t non_committed_pages;      // page-mapped: 1 while empty; block-mapped: erased free pages
} eu_info_t;

// One entry per FAT page: where its live copy is. page_num 0xFF = unmapped.
typedef struct _ftl_physical_page_info_t {
  ftl_physical_page_info_eu_t eu;
  ftl_physical_page_info_page_num_t page_num;
} ftl_physical_page_info_t;
static_assert(sizeof(ftl_physical_page_info_t) == 2, "page info is two bytes");
constexpr uint8_t FTL_PAGE_UNMAPPED = 0xFF;

constexpr uint32_t FTL_NO_EU = 0xFFFFFFFF;
constexpr uint32_t FTL_NO_ALLOC_MARKER = 0xFFFFFFFF;
constexpr uint16_t FTL_NO_SPARE = 0xFF;

// The FTL's state of one mounted partition, behind afs_context_t::ftl_context.
typedef struct _ftl_context_t {
  uint32_t last_eumc;                // largest mapping counter in use
  uint32_t current_page_mapped_eu;   // EU receiving FAT pages; FTL_NO_EU while none
  uint32_t next_page_in_current_eu;  // next free page in it; 120 = full
  uint32_t alloc_marker;             // next chunk to allocate; FTL_NO_ALLOC_MARKER = none
  uint32_t alloc_threshold;          // one past the chunk range holding alloc_marker
  eu_info_t* eu_info;                // one per EU
  ftl_physical_page_info_t* page_info;  // one per FAT page (fat_size / 64)
  uint16_t spare_eu;                 // the spare; FTL_NO_SPARE until found
  uint16_t last_logical_pageid;      // last id written to the current EU: the chain seed
  uint8_t alloc_marker_read;
  uint8_t alloc_eu_flushed;
  uint8_t amount_of_eus;
  uint8_t amount_of_page_mapped_eus;
  uint8_t full_reclaim_flow_index;
  // Kept by the mount beside the state above:
  uint32_t eu_info_entries;    // entries allocated in eu_info
  uint32_t page_info_entries;  // entries allocated in page_info
  // A pending EU that the mount accepted as the holder of its data (its old
  // EU was already killed) and whose eucommit is still 0xFF on flash, or
  // FTL_NO_EU. ftl_prepare_header_switch commits it.
  uint32_t accepted_pending_eu;
  // Chunks the mount could address (the smaller of the data region's chunks
  // and num_chunks). Only the euvas of ranges below it were checked, so chunk
  // lookups at or above it are refused; 0 = no addressable chunk.
  uint32_t chunk_count;
} ftl_context_t;

// ---- flags of afs_physical_ftl_init
constexpr uint32_t FTL_INIT_ALLOCATE = 0x10000;   // allocate the state and its tables
constexpr uint32_t FTL_INIT_BIND_IMAGE = 0x20000;  // bind afs_tools_context as the flash

extern "C" {

// ---- exported operations

// Data bytes the FTL offers on the context's partition: with eus =
// afs_partition_size / 8192 and pm = max(1, eus / 12), (eus - pm - 1) * 7808;
// 0 for fewer than two EUs or a null context. fat_first_part is not used.
uint32_t afs_physical_ftl_get_data_vas(afs_context_t* afs_context, uint32_t fat_first_part);

// Writes a fresh pre-header into every EU of the partition (erasing each EU
// first when erase_and_format is nonzero): EUs below pm page-mapped, then
// block-mapped EUs for the chunk ranges in order, the last EU the spare. Page
// areas are not touched otherwise. Returns 0; 5 when an erase or verified
// write fails; 22 for a null context or a geometry the FTL cannot serve (more
// than 255 EUs, a data area that does not fit).
uint32_t afs_physical_ftl_format(afs_context_t* afs_context, uint8_t erase_and_format);

// Mounts the FTL from the flash alone (reads only). ftl_size is the partition
// size in bytes; flags FTL_INIT_ALLOCATE / FTL_INIT_BIND_IMAGE. Without
// FTL_INIT_ALLOCATE the attached state is reused and must be large enough
// for the geometry (else 22). Returns 0; 5 for a driver failure or an image
// that is not a consistent EU set; 12 when memory runs out; 22 for a null
// context, a partition of more than 255 EUs or an unusable geometry.
uint32_t afs_physical_ftl_init(afs_context_t* afs_context, uint32_t ftl_size, uint32_t flags);

// Takes the chunk bitmap (chunk_state) as the allocation state: checks that
// every allocated chunk's page is committed, counts dirty and erased pages of
// each block-mapped EU and places the allocation marker on the first erased
// free page of the newest block-mapped EU that has one. 0, 5, or 22 without a
// mounted FTL or a chunk bitmap.
uint32_t afs_physical_ftl_set_allocation_map(afs_context_t* afs_context);

// Frees the FTL state and its tables and clears afs_context->ftl_context.
void afs_physical_ftl_release(afs_context_t* afs_context);

// ---- page service (one 64-byte page per call; length, size and flags are
// not used: callers pass their page size and the partition offset)
// Each returns 22 without a mounted FTL (or a buffer it needs) and 5 for a
// driver failure, a page that fails its CRC in all reads, or an address
// outside the volume's pages; a reclaim's statuses (28, 12, 5) pass through.

// Reads the page at volume `address` into pBuffer (64 bytes). An unmapped FAT
// page, and an unallocated chunk while afs_mode is 0, read as zeros.
uint32_t afs_physical_ftl_read_page(afs_context_t* afs_context, uint32_t address, uint32_t length,
                                    uint8_t* pBuffer, uint32_t flags);
// Writes the 64 bytes at pBuffer as the page at volume `address`: a FAT page
// goes to the FAT write head (reclaiming first when it is full), a chunk to
// its fixed page in its EU (5 when that page is programmed) and is marked in
// chunk_state.
uint32_t afs_physical_ftl_write_page(afs_context_t* afs_context, uint32_t address, uint32_t length,
                                     uint8_t* pBuffer, uint32_t flags);
// Releases the page at `page_offset` (RAM only): unmaps a FAT page, clears a
// chunk's bit. 0 (also for an address that names no page).
uint32_t afs_physical_ftl_trim_page(afs_context_t* afs_context, uint32_t page_offset, uint32_t size,
                                    uint32_t flags);
// Hands out a free chunk: its id (chunk index + num_files) through
// chunk_id_ptr; the chunk is marked only once written. 65533 asks the caller
// to write back its cache and call again; 28 when no chunk is free.
uint32_t afs_physical_ftl_allocate_page(afs_context_t* afs_context, cid_t* chunk_id_ptr);
// Reads `number_of_pages` consecutive chunks from `first_page_address` into
// pBuffer, which has room for number_of_pages * 66 bytes; the run may cross
// one chunk range boundary. When the first chunk is unallocated (afs_mode 0)
// the whole run reads as zeros (number_of_pages * 64 bytes).
uint32_t afs_physical_ftl_read_data_pages(afs_context_t* afs_context, uint8_t* pBuffer,
                                          uint32_t first_page_address, uint32_t number_of_pages);
// Reclaims EUs 0 and 1 (each unless it is the spare at that moment); 0, or
// the first failing reclaim's status.
uint32_t afs_physical_ftl_end_reserved_files_mode(afs_context_t* afs_context);

// ---- reclaim

// True when a reclaim is due; then *p_eu_index is the EU to take (or
// 0xFFFFFFFF: the choice decides) and *p_eu_type its type. Due when fewer than
// 30 pages are free in the page-mapped EUs; or fewer than 64 erased and at
// least 97 dirty pages are in the block-mapped EUs; or an EU holds only stale
// pages (the least erased such EU is named).
bool afs_physical_ftl_idle_reclaim_needed(afs_context_t* afs_context, uint32_t* p_eu_index,
                                          uint32_t* p_eu_type);
// Reclaims one EU if one is due: 0 (also when none is), 38807 when the
// reclaim gained no free page, or a failure.
uint32_t afs_physical_ftl_idle_reclaim(afs_context_t* afs_context);
// Reclaims the next block-mapped EU from where the last call stopped: 11
// while more remain, 0 when the pass is done, or a failure (the position
// stays).
uint32_t afs_physical_ftl_force_full_reclaim(afs_context_t* afs_context);
// Overwrites with zeros (no read-back) the programmed pages of block-mapped
// EUs whose chunks no file uses, and the page area of the spare. 0, 5, or 22
// without a mounted FTL or chunk bitmap.
uint32_t afs_physical_ftl_force_dirty_erase(afs_context_t* afs_context);

// ---- routines shared by the FTL's translation units
// All take a context with a mounted FTL; statuses are 0, or 5.

// EU of the data chunk at volume `address` (>= fat_size): *p_eu_index gets
// the EU, *p_chunk_index the chunk, *p_chunk_offset_in_eu its page (chunk mod
// 122). 5 when the address is no data address or no EU holds the chunk's
// range (nothing is then written through p_eu_index).
uint32_t find_chunk_and_eu_from_address(afs_context_t* afs_context, uint32_t address,
                                        uint32_t* p_chunk_offset_in_eu, uint32_t* p_chunk_index,
                                        uint32_t* p_eu_index);
// EU holding chunk `chunk_index`; 5 when none does or the chunk is not below
// the chunk count of the mount (so a chunk found always has its bit in
// chunk_state).
uint32_t eu_from_chunk_index(afs_context_t* afs_context, cid_t chunk_index, uint32_t* p_eu_index);
// First chunk of the block-mapped EU with this euva: (euva*64 - fat_size)/64.
// Only meaningful for an euva that the mount accepted.
cid_t chunk_index_from_euva(afs_context_t* afs_context, ftl_euva_t euva);
// euva of block-mapped EU `eu_index` in format order:
// ((eu_index - page-mapped EUs) * 7808 + fat_size) / 64.
ftl_euva_t euva_from_eu_index(afs_context_t* afs_context, uint32_t eu_index);

// Erases both blocks of an EU; 5 on the first failing erase or an EU outside
// the partition.
uint32_t erase_eu(afs_context_t* afs_context, int physical_eu_num);
// Reads page `page_index` of an EU (eu_type FTL_EU_TYPE_*) and checks its CRC
// under `logical_page`, reading up to 7 times. Copies 66 bytes (copy_crc 1) or
// the 64 data bytes to pBuffer.
uint32_t read_ftl_page(afs_context_t* afs_context, uint32_t eu_index, uint32_t page_index,
                       uint32_t eu_type, uint32_t logical_page, uint8_t* pBuffer, uint32_t copy_crc);
// Reads `number_of_pages` consecutive pages of a block-mapped EU in one driver
// read, checks page k under logical_page + k and packs the data: pBuffer holds
// number_of_pages * 66 bytes; on 0 its first number_of_pages * 64 bytes are
// the data. A bad page re-reads the whole run; the seventh failure gives 5.
uint32_t read_ftl_data_pages(afs_context_t* afs_context, uint32_t eu_index,
                             uint32_t first_page_index, uint32_t number_of_pages,
                             uint32_t logical_page, uint8_t* pBuffer);
// Writes `size` bytes at partition offset `offset` once, then reads them back
// into read_buf (size bytes of scratch) and compares, up to 7 read-backs.
uint32_t write_read_verify(afs_context_t* afs_context, uint32_t offset, uint32_t size,
                           const uint8_t* write_buf, uint8_t* read_buf);
// Programs one page with its header and commit mark. Block-mapped (eu_type
// 1): the page must be free (commit byte 0xFF, else 5 with nothing written);
// commit byte 0x7F, the page, commit byte 0x00. Page-mapped (eu_type 0): slot
// page_index = pageid (already chained by the caller), the page, then 0x7F
// into the high byte of slot page_index + 1. Every write is verified; the
// caller builds the page with its CRC.
uint32_t write_ftl_page(afs_context_t* afs_context, uint32_t eu_index, uint32_t page_index,
                        uint32_t eu_type, uint16_t pageid, const ftl_page_t* page_to_write);

// First step of every header switch of a reclaim, before the new pre-header
// is written: refuses (5) when a counter of the new header would wrap
// (last_eumc or new_eu's euec at 0xFFFFFFFF), then commits a pending EU that
// the mount accepted (0x00 into its eucommit, verified), so that the flash
// never holds that pending EU beside a spare it does not name.
uint32_t ftl_prepare_header_switch(afs_context_t* afs_context, uint32_t new_eu);

}  // extern "C"

#endif  // TARN_FLASH_AFS_AFSFTL_H
