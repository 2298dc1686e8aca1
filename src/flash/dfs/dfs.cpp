// The DFS dispatcher: one AFS mount over the host's MFS region, routing by
// sub-media type, and status folding.
#include "flash/dfs/dfs.h"

#include <cstdlib>

#include "flash/afs/AfsFile.h"
#include "flash/afs/AfsVolume.h"
#include "flash/efs/EFS.h"

afs_context_t* dfs_context = nullptr;

namespace {

// Mount arguments. The volume's header gives the real file count; the count
// here is only checked against AFS's accepted range.
constexpr uint32_t kCacheEntries = 10;
constexpr uint32_t kAmountOfFiles = 1024;
constexpr uint32_t kPartitionIndex = 0;  // the region starts with the partition
// A file-size table, an FTL-backed volume, mount the FTL, and the first FTL
// mount binds the image as the flash. No format, no fresh header: only an
// existing AFS partition is mounted.
constexpr uint32_t kMountFlags =
    AFS_INIT_SIZE_TABLE | AFS_INIT_FTL_BACKED | AFS_INIT_MOUNT_FTL | AFS_INIT_BIND_IMAGE;
// The cache page size times its entry count.
constexpr uint32_t kCacheBytes = 8192;

constexpr int kOk = 0;
constexpr int kNoSuchFile = 2;
constexpr int kIoError = 5;
constexpr int kNoMemory = 12;
constexpr int kInvalidArgument = 22;
constexpr int kFileTooLarge = 27;
constexpr int kNoSpace = 28;
constexpr int kWritePassThrough562 = 562;
constexpr int kNoContext = -1;

// Whether the context's mount succeeded. A context whose mount failed is kept
// (a later dfs_init replaces it) but no AFS request runs on it.
bool s_afsMounted = false;

void dfs_free_context(afs_context_t** pp_afs_context) {
  if (pp_afs_context == nullptr || *pp_afs_context == nullptr) return;
  afs_context_t* context = *pp_afs_context;
  std::free(context->afs_local_buf);
  context->afs_local_buf = nullptr;
  afs_free_context(context);
  std::free(context);
  *pp_afs_context = nullptr;
}

DFS_SUB_MEDIA_TYPE subMediaType(int fileno) {
  return static_cast<DFS_SUB_MEDIA_TYPE>((static_cast<uint32_t>(fileno) & DFS_SUB_MEDIA_TYPE_MASK) >>
                                         DFS_SUB_MEDIA_TYPE_SHIFT);
}

uint32_t accessNumber(int fileno) { return static_cast<uint32_t>(fileno) & DFS_ACCESS_NUMBER_MASK; }

// The mounted volume, or null when no mount succeeded.
afs_context_t* mountedAfs() { return s_afsMounted ? dfs_context : nullptr; }

// Size, read and delete pass 0, 2 and 22; everything else becomes 5.
int foldAccess(int64_t status) {
  return status == kOk || status == kNoSuchFile || status == kInvalidArgument
             ? static_cast<int>(status)
             : kIoError;
}

// Write passes 0, 22, 27, 28 and 562; everything else becomes 5.
int foldWrite(int64_t status) {
  return status == kOk || status == kInvalidArgument || status == kFileTooLarge ||
                 status == kNoSpace || status == kWritePassThrough562
             ? static_cast<int>(status)
             : kIoError;
}


}  // namespace

extern "C" int dfs_init(void* image_buffer, uint32_t partition_size) {
  s_afsMounted = false;
  dfs_free_context(&dfs_context);

  dfs_context = static_cast<afs_context_t*>(std::calloc(1, sizeof(afs_context_t)));
  if (dfs_context == nullptr) return kNoContext;
  // Every AFS read and write stages its data here; a mount without it could
  // not serve a single request.
  dfs_context->afs_local_buf = static_cast<uint8_t*>(std::malloc(AFS_LOCAL_BUF_SIZE));
  if (dfs_context->afs_local_buf == nullptr) {
    dfs_free_context(&dfs_context);
    return kNoMemory;
  }

  const uint32_t status =
      afs_init(dfs_context, image_buffer, AFS_PAGE_SIZE, kCacheEntries, kAmountOfFiles,
               kPartitionIndex, partition_size, kMountFlags, AFS_SKU_INVALID, AFS_PROJECT_NUMBER_INVALID);
  s_afsMounted = status == AFS_STATUS_OK;
  return static_cast<int>(status);
}

extern "C" int dfs_getsize(int fileno, uint32_t* pSize) {
  if (dfs_context == nullptr) return kNoSuchFile;
  switch (subMediaType(fileno)) {
    case SUB_MEDIA_TYPE_AFS:
      if (mountedAfs() == nullptr) return kInvalidArgument;
      return foldAccess(afs_getfilesize(mountedAfs(), accessNumber(fileno), pSize));
    case SUB_MEDIA_TYPE_EFS:
      return foldAccess(EFS_get_file_size(accessNumber(fileno), pSize));
    default:
      return kInvalidArgument;
  }
}

extern "C" int dfs_read(int fileno, uint32_t pos, uint32_t* pSize, void* pBuffer) {
  switch (subMediaType(fileno)) {
    case SUB_MEDIA_TYPE_AFS:
      if (mountedAfs() == nullptr) return kInvalidArgument;
      return foldAccess(afs_readfile(mountedAfs(), accessNumber(fileno), pos, pSize,
                                     static_cast<uint8_t*>(pBuffer)));
    case SUB_MEDIA_TYPE_EFS:
      if (!EFS_is_initialized()) return kNoSuchFile;
      return foldAccess(
          EFS_read(accessNumber(fileno), pos, pSize, static_cast<uint8_t*>(pBuffer)));
    default:
      return kInvalidArgument;
  }
}

extern "C" int dfs_write(int fileno, uint32_t pos, uint32_t size, void* pBuffer, int flags) {
  switch (subMediaType(fileno)) {
    case SUB_MEDIA_TYPE_AFS:
      if (mountedAfs() == nullptr) return kInvalidArgument;
      return foldWrite(afs_writefile(mountedAfs(), accessNumber(fileno), pos, size,
                                     static_cast<uint8_t*>(pBuffer), static_cast<uint32_t>(flags)));
    case SUB_MEDIA_TYPE_EFS:
      return foldWrite(EFS_write(accessNumber(fileno), pos, size, static_cast<uint8_t*>(pBuffer)));
    default:
      return kInvalidArgument;
  }
}

extern "C" int dfs_delete_file(int fileno) {
  if (subMediaType(fileno) != SUB_MEDIA_TYPE_AFS) return kInvalidArgument;
  if (dfs_context == nullptr) return kNoSuchFile;
  if (mountedAfs() == nullptr) return kInvalidArgument;
  return foldAccess(
      afs_deletefile(mountedAfs(), static_cast<int32_t>(static_cast<uint32_t>(fileno) & DFS_DELETE_NUMBER_MASK)));
}

extern "C" int dfs_terminate(void) { return kOk; }

extern "C" int dfs_force_full_reclaim(void) {
  return mountedAfs() != nullptr ? static_cast<int>(afs_force_full_reclaim(mountedAfs())) : kInvalidArgument;
}

extern "C" int dfs_force_dirty_erase(void) {
  return mountedAfs() != nullptr ? static_cast<int>(afs_force_dirty_erase(mountedAfs())) : kInvalidArgument;
}

extern "C" int dfs_mark_zombie_file(int fileno) {
  return mountedAfs() != nullptr
             ? static_cast<int>(afs_mark_zombie_file(mountedAfs(), fileno))
             : kInvalidArgument;
}

extern "C" int dfs_set_page_size(uint32_t page_size) {
  // The FTL's handler moves 64 bytes per page: a larger cache page would be
  // written back through it only in part.
  if (page_size != AFS_PAGE_SIZE || mountedAfs() == nullptr) return kInvalidArgument;
  return static_cast<int>(afs_setcache(mountedAfs(), page_size, kCacheBytes / page_size));
}

extern "C" bool dfs_get_idle_reclaim_enabled(void) {
  return mountedAfs() != nullptr && afs_get_idle_reclaim_enabled(mountedAfs());
}

extern "C" void dfs_set_idle_reclaim_enabled(void) {
  if (mountedAfs() != nullptr) afs_set_idle_reclaim_enabled(mountedAfs());
}

extern "C" int dfs_idle_reclaim(void) {
  return mountedAfs() != nullptr ? static_cast<int>(afs_idle_reclaim(mountedAfs())) : kInvalidArgument;
}

extern "C" bool dfs_idle_reclaim_needed(void) {
  return mountedAfs() != nullptr && afs_idle_reclaim_needed(mountedAfs());
}

extern "C" bool dfs_is_fs_erased(void) { return false; }
