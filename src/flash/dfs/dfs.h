// The DFS dispatcher: the one entry point of the storage code for the layers
// above it. It mounts the AFS volume held in the host's MFS region, routes
// size, read, write and delete requests to AFS or to the EFS by bits 11-12 of
// the file number, folds the lower layers' statuses into a short list, and
// wraps the AFS maintenance calls.
//
// A DFS file number is a plain signed 32-bit int:
//   bits 0-10   the file within its file system
//   bits 11-12  DFS_SUB_MEDIA_TYPE: the file system that serves it
//   bits 13-27  passed down unchanged
//   bits 28-31  media type; size, read and write clear it, delete keeps it
//
// Statuses are errno style: 0 success, 2 no such file, 5 I/O or any status a
// call does not pass through, 22 invalid argument (also an unserved
// sub-media type, or an AFS request without a mounted volume), 27 file too
// large, 28 no space.
//
// One mount per process; everything runs on the caller's thread.
#ifndef TARN_FLASH_DFS_DFS_H
#define TARN_FLASH_DFS_DFS_H

#include <cstdint>

#include "flash/afs/AfsCommonDefs.h"
#include "flash/afs/AfsFile.h"

typedef enum _DFS_SUB_MEDIA_TYPE : int32_t {
  SUB_MEDIA_TYPE_AFS = 0,
  SUB_MEDIA_TYPE_PFS = 1,   // refused
  SUB_MEDIA_TYPE_EFS = 2,
  SUB_MEDIA_TYPE_FDCR = 3,  // refused
  SUB_MEDIA_TYPE_DEFAULT = 0,
  MAX_SUB_MEDIA_TYPE = 3,
} DFS_SUB_MEDIA_TYPE;
static_assert(sizeof(DFS_SUB_MEDIA_TYPE) == 4, "DFS_SUB_MEDIA_TYPE is 32 bits");

// Layout of a DFS file number.
constexpr uint32_t DFS_FILE_IN_MEDIUM_MASK = 0x7FF;  // bits 0-10
constexpr uint32_t DFS_SUB_MEDIA_TYPE_SHIFT = 11;
constexpr uint32_t DFS_SUB_MEDIA_TYPE_MASK = 0x3u << DFS_SUB_MEDIA_TYPE_SHIFT;  // bits 11-12
constexpr uint32_t DFS_MEDIA_TYPE_SHIFT = 28;
constexpr uint32_t DFS_MEDIA_TYPE_MASK = 0xFu << DFS_MEDIA_TYPE_SHIFT;  // bits 28-31
// What size, read and write pass down (sub-media and media type cleared) and
// what delete passes down (only the sub-media type cleared).
constexpr uint32_t DFS_ACCESS_NUMBER_MASK = ~(DFS_SUB_MEDIA_TYPE_MASK | DFS_MEDIA_TYPE_MASK);
constexpr uint32_t DFS_DELETE_NUMBER_MASK = ~DFS_SUB_MEDIA_TYPE_MASK;

// dfs_write flags: bit 0 ends the file at pos + size (AFS files only).
constexpr int DFS_WRITE_TRUNCATE = static_cast<int>(AFS_WRITE_TRUNCATE);


extern "C" {

// The mounted AFS context, or null before the first dfs_init. It exists also
// after a failed mount; requests for AFS files are then refused with 22.
extern afs_context_t* dfs_context;

// Mounts the AFS volume at the start of `image_buffer` (`partition_size`
// bytes, used in place) with 64-byte pages, 10 cache entries and the FTL
// binding the image as the flash; never formats. A context from an earlier
// dfs_init is released first. Returns afs_init's status, -1 when no context
// can be allocated, or 12 when the staging buffer cannot be (the context is
// then released, as if no dfs_init had run).
int dfs_init(void* image_buffer, uint32_t partition_size);

// Size of a file: 0, 2 or 22, anything else as 5. 2 for every number while no
// dfs_init has run (EFS files included).
int dfs_getsize(int fileno, uint32_t* pSize);
// Reads up to *pSize bytes from `pos`; *pSize receives the count read.
// 0, 2 or 22, anything else as 5. An EFS file while the EFS is not mounted: 2.
int dfs_read(int fileno, uint32_t pos, uint32_t* pSize, void* pBuffer);
// Writes `size` bytes at `pos`; DFS_WRITE_TRUNCATE in `flags` ends an AFS
// file there (the EFS always replaces a whole file). 0, 22, 27, 28 or 562,
// anything else as 5.
int dfs_write(int fileno, uint32_t pos, uint32_t size, void* pBuffer, int flags);
// Deletes an AFS file; the media type bits are passed down. 0, 2 or 22,
// anything else as 5; 22 for every other sub-media type; 2 for an AFS number
// while no dfs_init has run.
int dfs_delete_file(int fileno);
// Returns 0 and changes nothing: every AFS write has already reached flash.
int dfs_terminate(void);

// Maintenance calls on the mounted volume. Without one: 22, or false.
int dfs_force_full_reclaim(void);
int dfs_force_dirty_erase(void);
int dfs_mark_zombie_file(int fileno);  // the number is passed down unmasked
// Rebuilds the cache with 8192 / page_size entries. Only 64, the page the
// FTL's handler moves, is accepted; any other size gives 22 and leaves the cache as it is.
int dfs_set_page_size(uint32_t page_size);
bool dfs_get_idle_reclaim_enabled(void);
void dfs_set_idle_reclaim_enabled(void);
int dfs_idle_reclaim(void);
bool dfs_idle_reclaim_needed(void);
// Always false.
bool dfs_is_fs_erased(void);

}  // extern "C"

#endif  // TARN_FLASH_DFS_DFS_H
