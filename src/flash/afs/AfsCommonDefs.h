// Definitions shared by every part of AFS: the mount context of one volume,
// the table of physical operations through which the file layer and the page
// cache reach the flash translation layer (FTL), and the status values that
// pass between them.
//
// One mounted volume is one afs_context_t. The caller allocates it; the volume
// mount fills it and owns the tables it points to (chunk bitmap, cache, size
// table and the FTL state), except the staging buffer afs_local_buf (owned by
// the dispatcher) and the flash image behind afs_tools_context (the host's).
// Everything runs on the caller's thread; nothing is locked.
#ifndef TARN_FLASH_AFS_AFSCOMMONDEFS_H
#define TARN_FLASH_AFS_AFSCOMMONDEFS_H

#include <cstdint>

// Status values of AFS and its FTL (errno style; 0 is success).
constexpr uint32_t AFS_STATUS_OK = 0;
constexpr uint32_t AFS_STATUS_NO_SUCH_FILE = 2;
constexpr uint32_t AFS_STATUS_IO_ERROR = 5;  // I/O or format error
constexpr uint32_t AFS_STATUS_TRY_AGAIN = 11;
constexpr uint32_t AFS_STATUS_NO_MEMORY = 12;
constexpr uint32_t AFS_STATUS_INVALID_ARGUMENT = 22;
constexpr uint32_t AFS_STATUS_FILE_TOO_LARGE = 27;
constexpr uint32_t AFS_STATUS_NO_SPACE = 28;
constexpr uint32_t AFS_STATUS_NOT_DONE = 99;
// A reclaim that gained no free page (consumed inside the FTL, except by the
// idle reclaim).
constexpr uint32_t AFS_STATUS_RECLAIM_NO_GAIN = 38807;
// Chunk allocation asks the file layer to write back its page cache and call
// again.
constexpr uint32_t AFS_STATUS_FLUSH_AND_RETRY = 65533;

// Chunk id as the FAT stores it (16 bits). The FTL also uses it for a plain
// chunk index.
typedef uint16_t cid_t;

// The volume's version word, as stored in its header.
typedef union _afs_version_t {
  uint32_t value;
  struct {
    uint32_t afs_sku : 8;
    uint32_t afs_project_number : 12;
    uint32_t reserved : 12;
  } fields;
} afs_version_t;
static_assert(sizeof(afs_version_t) == 4, "afs_version_t is 32 bits");

// Cache descriptor of the page cache; defined with the cache.
typedef struct _cache_desc_t cache_desc_t;

// The physical operations. Each takes the mount context (afs_context_t*) as an
// untyped pointer first and returns a status. Read and write move one logical
// page at the byte `address`; trim declares it unused.
typedef uint32_t (*afs_physical_read_t)(void* afs_context, uint32_t address, uint32_t length,
                                        uint8_t* pBuffer, uint32_t flags);
typedef uint32_t (*afs_physical_write_t)(void* afs_context, uint32_t address, uint32_t length,
                                         uint8_t* pBuffer, uint32_t flags);
typedef uint32_t (*afs_physical_trim_t)(void* afs_context, uint32_t address, uint32_t length,
                                        uint32_t flags);
// Reclaims one erase unit per call: 11 while more remain, 0 when done.
typedef uint32_t (*afs_physical_force_full_reclaim_t)(void* afs_context);
// Zeroes the programmed pages of chunks that no file uses.
typedef uint32_t (*afs_physical_force_dirty_erase_t)(void* afs_context);

typedef struct _afs_physical_handler_t {
  afs_physical_read_t afs_physical_read;
  afs_physical_write_t afs_physical_write;
  afs_physical_trim_t afs_physical_trim;
  afs_physical_force_full_reclaim_t afs_physical_force_full_reclaim;
  afs_physical_force_dirty_erase_t afs_physical_force_dirty_erase;
} afs_physical_handler_t;

struct _ftl_context_t;

// Mount context of one AFS volume (RAM only; the field order is fixed).
typedef struct _afs_context_t {
  uint32_t fat_size;                   // bytes of the FAT area; logical address of chunk 0
  uint32_t allocate_chunk_start_from;  // where the local allocator's next search starts
  uint32_t afs_partition_index;        // byte offset of the partition in the flash image
  uint32_t afs_partition_size;         // partition bytes
  uint32_t afs_logical_size;           // logical size of the volume (header's flash_size)
  afs_version_t afs_version;           // the header's version word
  uint32_t last_trimmed_page;          // FAT page that FAT-page trimming visited last
  struct _ftl_context_t* ftl_context;  // FTL state, owned
  afs_physical_handler_t* afs_physical_context;  // always afs_physical_spi_handler
  uint32_t* chunk_state;               // chunk bitmap: bit c (word c/32, bit c%32) = allocated
  cache_desc_t* cache;                 // cache descriptors, owned
  uint16_t cache_head;                 // most recently used cache entry
  uint32_t* file_size_table;           // num_files sizes (0xFFFFFFFF = no file) or null, owned
  uint8_t* cache_data;                 // cache_num_entries * page_size bytes, owned
  uint8_t* afs_local_buf;              // 4096-byte staging buffer, not owned
  uint16_t num_chunks;
  uint16_t page_size;                  // bytes per cache page
  uint16_t cache_num_entries;
  uint16_t num_files;
  uint8_t storage_type;                // 0: FTL-backed volume
  uint8_t chunk_allocation_handed_over;  // 1 once the FTL allocates chunks
  uint8_t afs_mode;                    // 1 when mounted without a chunk bitmap
  uint8_t idle_reclaim_enabled;
  void* afs_tools_context;             // the memory image of the flash, not owned
} afs_context_t;

#endif  // TARN_FLASH_AFS_AFSCOMMONDEFS_H
