// Start-up and shutdown: the library's life cycle as the host sees it.
//
// kyMfsTarnInit loads the defaults, the overrides and the current values,
// mounts the MFS and EFS regions in place, and takes the current values from
// the VFS when it is deployed. kyMfsNvarTerm rebuilds the overrides from the
// current values, writes them back to the VFS, serialises them, and then
// either ends the library or keeps it running with the rebuilt overrides.
//
// A start-up ends whatever an earlier one mounted before it mounts again, and
// a failed one leaves nothing mounted, so the library never works on a region
// that is not in the host's latest configuration.
#include <cstdint>
#include <cstdio>

#include "flash/dfs/dfs.h"
#include "flash/efs/EFS.h"
#include "storagelib/kymfs.h"
#include "storagelib/kymfs_report.h"
#include "storagelib/qelerrors.h"

namespace {

const char kDumpQelCfg[] = "qel_cfg.txt";
const char kDumpOrvanCfg[] = "orvan_cfg.txt";
const char kDumpCurrents[] = "currents_cfg.txt";

// Mounts the MFS region: the AFS partition at its start, in place.
bool kyMfsInit(char* dfsData, U32 dfsSize) {
  const int status = dfs_init(dfsData, dfsSize);
  if (status != 0) {
    std::printf("dfs_init failed\n");
    setLibError(ErrorInit, status);
    return false;
  }
  s_mfsInitialized = true;
  return true;
}

// Unmounts the MFS region if it is mounted. The flag is cleared first and
// stays cleared whatever the dispatcher answers.
bool kyMfsTerm() {
  if (!s_mfsInitialized) return true;
  s_mfsInitialized = false;
  const int status = dfs_terminate();
  if (status != 0) {
    setLibError(ErrorTerm, status);
    return false;
  }
  return true;
}

// Mounts the host's EFS region in place. The EFS addresses as many bytes as
// the geometry gives and never learns the host's size, so a region that is
// smaller is refused here, before the EFS touches it. A SKU the file table
// gives no EFS geometry for leaves the EFS unconfigured, which
// EFS_init_tools refuses before it reads the region.
bool mountEfs(const CommonTarnTable& region) {
  const int needed = EFS_get_efs_size();
  if (needed <= 0 || region.size < static_cast<U32>(needed)) return false;
  return EFS_init_tools(reinterpret_cast<uint8_t*>(region.data)) == 0;
}

// Ends the EFS mount: the host may free the region once the library lets go.
void endEfsMount() { EFS_term_tools(); }

// Ends both mounts; nothing the library calls afterwards reaches the regions.
void endMounts() {
  kyMfsTerm();
  endEfsMount();
}

// Step 4 of start-up: the file table and the three configuration tables.
bool loadCfgTables(ModQelStorageLibConfig& config) {
  // The regions, the file table and the tables of an earlier start-up are
  // replaced from here on, or released when this one fails: none of them
  // may stay in use.
  endMounts();
  const CommonTarnTable& fileTable = config.ftblTable.commonData;
  if (fileTable.size == 0) {
    setError(ErrorFtblLoadFail, "ftbl data must be defined for flat VFS, but not load by Tarn.");
    return false;
  }
  if (!kyMfsSetFileTableCopy(fileTable.data, fileTable.size, config.ftblTable.afsSkuId))
    return false;

  kyMfsFreeFcsTable(s_orvanCfgTable);
  s_orvanCfgTable = FcsTable();
  s_orvanCfgTable.fileName = static_cast<FcsFileName>(0);
  if (!kyMfsLoadPtrTableData(s_orvanCfgTable, config.orvanCfgTable.data, config.orvanCfgTable.size,
                             true))
    return false;

  kyMfsFreeFcsTable(s_qelCfgTable);
  const CommonTarnTable& partition = config.qelcCfgTable;
  if (!kyMfsLoadFcsTableFromQelcPartition(s_qelCfgTable, true,
                                          partition.size != 0 ? partition.data : nullptr,
                                          partition.size))
    return false;

  kyMfsFreeFcsTable(s_currentValuesTable);
  if (!kyMfsGenerateFcsCurrentsTable(s_orvanCfgTable, s_qelCfgTable, s_currentValuesTable)) {
    setError(ErrorGenCurrentValsTable, "");
    return false;
  }
  // Set before the mounts: the VFS pass resizes current values, and lookups
  // answer only while the tables count as loaded.
  s_fcsInitialized = true;
  return true;
}

// A start-up whose tables do not all load leaves none loaded: what an
// earlier start-up left in the others belongs to another configuration.
bool kyMfsTarnLoadCfgTables(ModQelStorageLibConfig& config) {
  if (loadCfgTables(config)) return true;
  kyMfsCleanStaticTables();
  return false;
}

// Releases the configuration tables and ends both mounts.
void cleanUp() {
  kyMfsCleanStaticTables();
  endMounts();
}

// A shutdown that cannot rebuild the overrides ends the library.
bool failRebuild() {
  kyMfsFreeFcsTable(s_builtQelCfgTable);
  cleanUp();
  setError(ErrorCreatingNewQelCfg, "");
  return false;
}

// The rebuilt overrides become the overrides table: its entries and its
// serialised buffer, without a store handle.
void keepBuiltOverrides() {
  kyMfsFreeFcsTable(s_qelCfgTable);
  s_qelCfgTable = FcsTable();
  s_qelCfgTable.fileName = s_builtQelCfgTable.fileName;
  s_qelCfgTable.numFiles = s_builtQelCfgTable.numFiles;
  s_qelCfgTable.data = s_builtQelCfgTable.data;
  s_qelCfgTable.datasize = s_builtQelCfgTable.datasize;
  s_qelCfgTable.firstEntry = s_builtQelCfgTable.firstEntry;
  s_qelCfgTable.lastEntry = s_builtQelCfgTable.lastEntry;

  s_builtQelCfgTable.data = nullptr;
  s_builtQelCfgTable.datasize = 0;
  s_builtQelCfgTable.firstEntry = nullptr;
  s_builtQelCfgTable.lastEntry = nullptr;
  s_builtQelCfgTable.numFiles = 0;
  kyMfsFreeFcsTable(s_builtQelCfgTable);  // closes its handle
}

}  // namespace

extern "C" bool TARN_CDECL kyMfsTarnInit(ModQelStorageLibConfig& config,
                                         TarnStatusCallback statusCallback) {
  QelErrors::init();
  kyMfsSetStatusCallback(statusCallback);
  if (statusCallback != nullptr)
    debugMessage("Initializing kymfs native API with Tarn configuration.");
  // A host that binds the entry point by name passes the record's address,
  // which may be null. The address goes through a volatile so that the test
  // is not assumed away.
  const void* volatile configAddress = &config;
  if (configAddress == nullptr) {
    setError(ErrorCorruptedBuffer, "Null configuration");
    return false;
  }
  if (!kyMfsTarnInitConfig(config)) return false;
  if (!kyMfsTarnLoadCfgTables(config)) return false;

  if (config.mfsTable.size != 0 && !kyMfsInit(config.mfsTable.data, config.mfsTable.size)) {
    setError(ErrorMfsInitError, "");
    return false;
  }
  if (config.efsTable.size != 0 && !mountEfs(config.efsTable)) {
    endMounts();
    setError(ErrorEfsInitError, "");
    return false;
  }
  if (kyMfsIsVfsDeployed() && !kyMfsFillCurrentsTableFromVFS(s_orvanCfgTable)) {
    endMounts();
    setError(ErrorMfsInitError, "");
    return false;
  }
  return true;
}

bool kyMfsBuildOverrides() {
  kyMfsFreeFcsTable(s_builtQelCfgTable);
  if (!kyMfsNewFcsTable(s_builtQelCfgTable, FcsFileNameQelCfg)) return false;
  for (FcsFileEntry* entry = s_currentValuesTable.firstEntry; entry != nullptr; entry = entry->next) {
    if (!entry->isManufEnabled && !entry->isDirectory) continue;
    FcsFileEntry* copy = copyFileEntry(entry);
    if (copy == nullptr) return false;
    if (!kyMfsAddNewFileFcs(s_builtQelCfgTable, copy, true)) {
      kyMfsFreeFileEntry(copy);
      return false;
    }
  }
  return true;
}

extern "C" bool TARN_CDECL kyMfsNvarTerm(bool skipMfsTerm) {
  if (!s_fcsInitialized) {
    setError(ErrorFcsNotInitialized, "");
    return false;
  }
  if (!kyMfsBuildOverrides()) return failRebuild();
  const bool written = s_mfsInitialized && kyMfsIsVfsDeployed()
                           ? kyMfsWriteFcsToVfs(s_builtQelCfgTable) &&
                                 kyMfsSerializeFcsTable(s_builtQelCfgTable)
                           : kyMfsWriteFcsToMfs(s_builtQelCfgTable, false);
  if (!written) return failRebuild();

  if (!skipMfsTerm) {
    // The library ends: the host may free its regions once this returns.
    endEfsMount();
    if (!kyMfsTerm()) return false;
    kyMfsFreeFcsTable(s_builtQelCfgTable);
    kyMfsCleanStaticTables();
    return true;
  }

  kyMfsFreeFcsTable(s_currentValuesTable);
  keepBuiltOverrides();
  if (!kyMfsGenerateFcsCurrentsTable(s_orvanCfgTable, s_qelCfgTable, s_currentValuesTable)) {
    setError(ErrorCreatingCurrentValsTable, "");
    return false;
  }
  kyMfsDumpFcsTables(kDumpQelCfg, kDumpOrvanCfg, kDumpCurrents);
  return true;
}

extern "C" bool TARN_CDECL kyMfsGetBuildQelCfgFcsBuffer(char** buffer, U32& size) {
  if (buffer == nullptr) {
    setError(ErrorCorruptedBuffer, "QEL CFG buffer");
    return false;
  }
  const void* volatile sizeAddress = &size;
  if (sizeAddress == nullptr) {
    setError(ErrorCorruptedBuffer, "QEL CFG buffer size");
    return false;
  }
  if (s_qelCfgTable.data == nullptr || s_qelCfgTable.datasize == 0) return false;
  *buffer = s_qelCfgTable.data;
  size = s_qelCfgTable.datasize;
  return true;
}

extern "C" int TARN_CDECL kyMfsGetEfsSize(void) { return EFS_get_efs_size(); }
