// The entry points the example host binds by name, typed as the library's
// headers declare them. Nothing here links against the library: the types
// come from unevaluated declarations, the addresses from the loaded library.
#ifndef TARN_EXAMPLES_HOST_API_H
#define TARN_EXAMPLES_HOST_API_H

#include <cstdint>
#include <vector>

#include "flash/afs/AfsVolume.h"
#include "flash/dfs/dfs.h"
#include "flash/efs/EFS.h"
#include "storage/FCS.h"
#include "storage/ToolsFileTable.h"
#include "tarnstoragelib.h"

#define TARN_API_ENTRY(name) decltype(&::name) name
struct Api {
  // The host interface.
  TARN_API_ENTRY(kyMfsTarnInit);
  TARN_API_ENTRY(kyMfsNvarTerm);
  TARN_API_ENTRY(kyMfsGetBuildQelCfgFcsBuffer);
  TARN_API_ENTRY(kyMfsGetEfsSize);
  TARN_API_ENTRY(kymfsCheckNvarExists);
  TARN_API_ENTRY(kyMfsNvarGet);
  TARN_API_ENTRY(kyMfsNvarResize);
  TARN_API_ENTRY(kyMfsIsInitialized);
  TARN_API_ENTRY(kyFcsIsInitialized);
  TARN_API_ENTRY(kyMfsIsVfsDeployed);  // bound by its C++ name
  // What the sample image is made with: the file table, the store, the
  // minimal VFS, the dispatcher and the two file systems' format paths.
  TARN_API_ENTRY(load_file_table);
  TARN_API_ENTRY(createHandle);
  TARN_API_ENTRY(addNewFile);
  TARN_API_ENTRY(flush);
  TARN_API_ENTRY(closeHandle);
  TARN_API_ENTRY(mini_vfs_init);
  TARN_API_ENTRY(pathToFileNumber);
  TARN_API_ENTRY(dfs_write);
  TARN_API_ENTRY(afs_init);
  TARN_API_ENTRY(afs_free_context);
  TARN_API_ENTRY(EFS_init);
  uint8_t** efs_image;
};
#undef TARN_API_ENTRY

extern Api api;

using Bytes = std::vector<uint8_t>;

// The host's buffers of one device image.
struct Image {
  Bytes defaults, qelc, ftbl, mfs, efs;
  uint32_t sku = 0;
};

#endif  // TARN_EXAMPLES_HOST_API_H
