// The minimal VFS: VFS paths (file-table names) turned into DFS file numbers,
// and a mount and a read by path on top of the DFS dispatcher. It keeps no
// state and reports nothing; results are small integer codes.
#include <cstdint>

#include "flash/dfs/dfs.h"
#include "storage/ToolsFileTable.h"
#include "tarnstoragelib.h"

namespace {

enum : int {
  kVfsOk = 0,
  kVfsMountFailed = 1,
  kVfsNoNumberOut = 1,
  kVfsNoSuchPath = 2,
  kVfsReadFailed = 6,
};

// The DFS number of a file-table entry: the media type of its unique number,
// its sub-media type (PFS files are numbered as AFS files; the value is not
// masked to two bits) and the low 11 bits of its number in its medium.
uint32_t dfsNumberOf(const tools_file_entry_in_table_t& entry) {
  const uint32_t mediaType = entry.unique_fileno.fields.media_type;
  const uint32_t subMediaType =
      entry.sub_media_type == SUB_MEDIA_TYPE_PFS ? uint32_t{SUB_MEDIA_TYPE_AFS} : entry.sub_media_type;
  return (mediaType << DFS_MEDIA_TYPE_SHIFT) | (subMediaType << DFS_SUB_MEDIA_TYPE_SHIFT) |
         (uint32_t{entry.media_type_fileno} & DFS_FILE_IN_MEDIUM_MASK);
}

}  // namespace

extern "C" int TARN_CDECL mini_vfs_init(void* image_buffer, uint32_t partition_size) {
  return dfs_init(image_buffer, partition_size) == 0 ? kVfsOk : kVfsMountFailed;
}

extern "C" int TARN_CDECL pathToFileNumber(char* path, unsigned int* dfs_file_number) {
  if (dfs_file_number == nullptr) return kVfsNoNumberOut;
  const tools_file_entry_in_table_t* entry =
      path != nullptr ? get_file_entry_by_file_name(path) : nullptr;
  if (entry == nullptr) return kVfsNoSuchPath;
  *dfs_file_number = dfsNumberOf(*entry);
  return kVfsOk;
}

extern "C" int TARN_CDECL readVfs(char* path, unsigned int offset, void* buffer, unsigned int length) {
  unsigned int fileNumber = 0;
  const int found = pathToFileNumber(path, &fileNumber);
  if (found != kVfsOk) return found;
  uint32_t count = length;
  return dfs_read(static_cast<int>(fileNumber), offset, &count, buffer) == 0 ? kVfsOk
                                                                               : kVfsReadFailed;
}
