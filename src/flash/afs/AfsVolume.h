// The AFS volume: its logical byte format, the mount, and the chain functions
// that every file operation uses.
//
// The volume is a logical byte space that the FTL serves in 64-byte pages.
// It starts with a 14-byte header and a file allocation table (FAT) of 16-bit
// little-endian entries, one per file number and one per 64-byte data chunk:
//
//   0                 afs_header_t (marker, version, flash_size, num_files)
//   14 + 2f           entry of file f, 0 <= f < num_files
//   14 + 2(nf + c)    entry of chunk c, 0 <= c < num_chunks; its id is nf + c
//   .. fat_size       padding (the FAT rounded up to 64 bytes)
//   fat_size + 64c    data of chunk c
//
// with num_chunks = (flash_size - 2 nf - 14) / 66 and fat_size = 14 +
// 2 (nf + num_chunks) rounded up to 64. A file is a chain of chunks linked
// through their entries (see the AFS_CID_* values). Every FAT access goes
// through the page cache (AfsCache.h).
#ifndef TARN_FLASH_AFS_AFSVOLUME_H
#define TARN_FLASH_AFS_AFSVOLUME_H

#include <cstdint>

#include "flash/afs/AfsCommonDefs.h"

#pragma pack(push, 1)
// The volume header at logical offset 0.
typedef struct _afs_header_t {
  uint32_t header_marker;     // AFS_HEADER_MARKER
  afs_version_t afs_version;  // SKU, project number
  uint32_t flash_size;        // logical size of the volume in bytes
  uint16_t num_files;         // file entries
} afs_header_t;
#pragma pack(pop)
static_assert(sizeof(afs_header_t) == 14, "the volume header is 14 bytes");

constexpr uint32_t AFS_HEADER_MARKER = 0x724F6201;
constexpr uint32_t AFS_FAT_ENTRY_SIZE = 2;
constexpr uint32_t AFS_CHUNK_SIZE = 64;
// FAT bytes plus data bytes that one chunk costs.
constexpr uint32_t AFS_CHUNK_COST = AFS_CHUNK_SIZE + AFS_FAT_ENTRY_SIZE;
// The volume is served in pages of this size only.
constexpr uint32_t AFS_PAGE_SIZE = 64;

// Entry values (cid_t). In a chunk entry 1..64 is the byte count of the
// file's last chunk; num_files..num_files+num_chunks-1 is the next chunk.
constexpr cid_t AFS_CID_FREE = 0;         // file: no such file; chunk: free (ends a chain, 0 bytes)
constexpr cid_t AFS_CID_LAST_MAX = 64;    // largest byte count of a last chunk
constexpr cid_t AFS_CID_ZOMBIE = 0xFFFE;  // file entry: reads as no such file
constexpr cid_t AFS_CID_EMPTY = 0xFFFF;   // file entry: the file exists and is empty

// Limits that the mount accepts.
constexpr uint32_t AFS_MIN_FILES = 65;
constexpr uint32_t AFS_MAX_FILES = 2048;
constexpr uint32_t AFS_MIN_PARTITION_SIZE = 0x8000;
constexpr uint32_t AFS_MAX_PARTITION_SIZE = 0x200000;
constexpr uint32_t AFS_MIN_CACHE_ENTRIES = 2;
constexpr uint32_t AFS_MAX_CACHE_ENTRIES = 1000;

// Size table value of a file number without a file.
constexpr uint32_t AFS_NO_FILE_SIZE = 0xFFFFFFFF;

// Flags of afs_init.
constexpr uint32_t AFS_INIT_SIZE_TABLE = 0x1;      // keep file_size_table
constexpr uint32_t AFS_INIT_NOT_FTL = 0x2;         // must be clear
constexpr uint32_t AFS_INIT_FTL_BACKED = 0x4;      // must be set
constexpr uint32_t AFS_INIT_NO_BITMAP = 0x8;       // afs_mode: no chunk bitmap; size and read only
constexpr uint32_t AFS_INIT_FRESH_HEADER = 0x10;   // a volume without the marker gets a fresh header
constexpr uint32_t AFS_INIT_MOUNT_FTL = 0x20;      // mount the FTL (required)
constexpr uint32_t AFS_INIT_ZERO_CONTEXT = 0x40;   // zero the context first
constexpr uint32_t AFS_INIT_PRELOAD = 0x80;        // preload the first cache_entries pages
constexpr uint32_t AFS_INIT_FORCE_FORMAT = 0x100;  // format even a mountable FTL; allows a fresh header
constexpr uint32_t AFS_INIT_BIND_IMAGE = 0x20000;  // the first FTL mount binds the flash image
constexpr uint32_t AFS_INIT_FORMAT = 0x40000;      // format when the FTL does not mount
constexpr uint32_t AFS_INIT_ERASE_FORMAT = 0x80000;  // the same, erasing first

// Values stored in a fresh header's version word.
typedef enum _AFS_SKU {
  AFS_SKU_INVALID = 0,
  AFS_SKU_CONSUMER = 10,
  AFS_SKU_CORPORATE = 11,
  AFS_SKU_SLIM = 12,
  AFS_SKU_NOT_IN_USE = 13,
  AFS_SKU_PFS = 14,
  AFS_SKU_LITE = 15,
  AFS_SKU_TEST = 30,
  AFS_SKU_MAX = 255,
} AFS_SKU;

typedef enum _AFS_PROJECT_NUMBER {
  AFS_PROJECT_NUMBER_INVALID = 0,
  AFS_PROJECT_NUMBER_ZEV = 1,
  AFS_PROJECT_NUMBER_MAX = 4095,
} AFS_PROJECT_NUMBER;

extern "C" {

// The table of physical operations of every mounted volume: the FTL's page
// read, write and trim, forced full reclaim and forced dirty erase. It moves
// exactly 64 bytes per read or write.
extern afs_physical_handler_t afs_physical_spi_handler;

// Mounts the volume held in the flash image `physical_context` (flags above).
// The FTL is mounted first (and formatted when a format flag allows it), the
// header is read from page 0 (or a fresh one written when allowed), the FTL
// is mounted again under the header's geometry, every file chain is walked
// (zombies reset, sizes and the chunk bitmap built), allocation is handed to
// the FTL and FAT pages holding only free chunks are trimmed.
// Returns 0; 22 for a bad argument or flag combination (page_size must be 64,
// cache_entries 2..1000, amount_of_files 65..2048, afs_partition_size
// 0x8000..0x200000, flags 0x4 and 0x20 set, 0x2 clear); 5 for a volume that
// cannot be mounted (no FTL and no format allowed, no marker and no fresh
// header allowed, a header whose num_files or flash_size does not fit the
// partition, an inconsistent FAT); 12 when memory runs out; or the FTL's
// status. After a failure the context refuses file operations (num_files 0);
// afs_free_context releases what it holds.
uint32_t afs_init(afs_context_t* afs_context, void* physical_context, uint32_t page_size,
                  uint32_t cache_entries, uint32_t amount_of_files, uint32_t afs_partition_index,
                  uint32_t afs_partition_size, uint32_t flags, AFS_SKU sku,
                  AFS_PROJECT_NUMBER afs_project_num);

// Rebuilds the page cache (dirty pages are written first) and stores the
// page size. 22 for a null context, a page size other than 64 or
// cache_entries outside 2..1000; else cache_init's status.
uint32_t afs_setcache(afs_context_t* afs_context, uint32_t page_size, uint32_t cache_entries);

// Frees the size table and nulls its pointer (nothing for null).
void afs_free_file_size_table(afs_context_t* afs_context);

// Frees and nulls chunk_state, file_size_table, cache and cache_data, and the
// FTL state. Frees neither afs_local_buf nor the context itself.
void afs_free_context(afs_context_t* afs_context);

// ---- chain functions

// *pOffset = the byte at logical `offset` inside its cached page.
uint32_t get_offset_in_cache(afs_context_t* afs_context, uint32_t offset, uint8_t** pOffset);

// Reads the FAT entry with index chunk_id (a file number or a chunk id) into
// *pCid_t and checks it: 5 for a value that no entry of that kind may hold,
// for an index outside the FAT, or when a walk has read more chunk entries
// than the volume has chunks (a cycle). Reading a file entry starts a walk;
// so does a release (afs_release_resources).
uint32_t afs_get_next_cid(afs_context_t* afs_context, cid_t chunk_id, cid_t* pCid_t);

// Writes `next` into the entry chunk_id in its cached page and marks the page
// written. 5 for an index outside the FAT.
uint32_t afs_set_next_cid(afs_context_t* afs_context, cid_t chunk_id, cid_t next);

// Gives a free chunk's id: from the FTL once allocation is handed over (it
// may answer 65533: flush the cache and call again), else from the chunk
// bitmap round robin (28 when no chunk is free; 22 without a bitmap).
uint32_t afs_allocate_chunk(afs_context_t* afs_context, cid_t* chunk_id_ptr);

// Called for chunk indices in ascending order as a walk frees or finds free
// chunks: when the walk leaves a FAT page (other than the one holding the
// header and the file entries, and other than the last FAT page) whose
// chunks are all free, that page is trimmed. chunk_index may be num_chunks
// to finish the last page visited. 22 above num_chunks or without a bitmap.
uint32_t afs_trim_fat_page_if_needed(afs_context_t* afs_context, uint32_t chunk_index);

// Releases a chain: trims the data of up to max_iteration chunks from
// current_chunk on, taking each next chunk from list[step] when a list is
// given, else from the chunk's entry, and trims FAT pages left with only free
// chunks. With invalidate_cache the cache is dropped first; with
// rewrite_old_chunks nothing happens. The released entries keep their values.
uint32_t afs_release_resources(afs_context_t* afs_context, cid_t current_chunk,
                               uint32_t max_iteration, const cid_t* list, uint32_t invalidate_cache,
                               uint32_t rewrite_old_chunks);

}  // extern "C"

#endif  // TARN_FLASH_AFS_AFSVOLUME_H
