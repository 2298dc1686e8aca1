// The interface layer's process-wide state, the checks the host configuration
// passes at start-up, and the two state queries the host binds.
#include "storagelib/kymfs.h"

#include <stdexcept>
#include <vector>

#include "storage/ToolsFileTable.h"
#include "storagelib/kymfs_report.h"

// Library state. The tables are constant-initialised (no handle, no entries,
// no buffer, FcsFileNameInvalid); they have no destructor and are released by
// shutdown, not at unload.
bool s_mfsInitialized = false;
bool s_fcsInitialized = false;
FcsTable s_orvanCfgTable;
FcsTable s_qelCfgTable;
FcsTable s_currentValuesTable;
FcsTable s_builtQelCfgTable;
bool s_tarnLoadFileTable = false;
U32 s_tarnAfsSkuId = 0;

namespace {

// The library's copy of the file-table blob. The store's selection points
// into it, so it lives until the library is unloaded and changes only through
// kyMfsSetFileTableCopy.
std::vector<char> s_fileTableBuffer;

const char kOrvanCfgName[] = "Orvan.cfg table";
const char kQelcCfgName[] = "qelc.cfg";
const char kFtblName[] = "ftbl.bin";
const char kMfsName[] = "MFS";
const char kEfsName[] = "EFS";

}  // namespace

bool kyMfsSetFileTableCopy(const char* data, U32 size, U32 afsSkuId) {
  // Make the new copy first: a copy that cannot be made leaves the former copy
  // and the store's selection in it as they were.
  std::vector<char> copy;
  try {
    copy.resize(size);
  } catch (const std::exception&) {  // bad_alloc, or length_error past max_size on 32-bit
    setError(ErrorNoMemory, "");
    return false;
  }
  if (size != 0 && kyMfsMemCpy(copy.data(), copy.size(), data, size) != 0) return false;

  // Nothing may look up names in the former copy once it is replaced.
  clear_file_table_selection();
  s_fileTableBuffer.swap(copy);
  s_tarnAfsSkuId = afsSkuId;
  s_tarnLoadFileTable = true;
  return true;
}

int kyMfsHandOverFileTable(void) {
  if (!s_tarnLoadFileTable) return 0;
  const int status = load_file_table(s_fileTableBuffer.data(), s_tarnAfsSkuId,
                                     static_cast<unsigned>(s_fileTableBuffer.size()));
  if (status == 0) s_tarnLoadFileTable = false;
  return status;
}

bool verifyOrvanTable(const char* tableName, const CommonTarnTable& table) {
  if (table.size != 0 && table.data == nullptr) {
    setErrorFormat(ErrorMfsInitError, "Invalid table %s. The table is loaded but data is empty.",
                   tableName);
    return false;
  }
  return true;
}

bool verifyOrvanCfgTable(const CommonTarnTable& table) {
  if (table.size == 0) {
    setError(ErrorLoadingOrvanCfg, "Orvan.cfg table is mandatory for loading by Tarn.");
    return false;
  }
  return verifyOrvanTable(kOrvanCfgName, table);
}

bool kyMfsTarnInitConfig(ModQelStorageLibConfig& config) {
  return verifyOrvanCfgTable(config.orvanCfgTable) &&
         verifyOrvanTable(kQelcCfgName, config.qelcCfgTable) &&
         verifyOrvanTable(kFtblName, config.ftblTable.commonData) &&
         verifyOrvanTable(kMfsName, config.mfsTable) &&
         verifyOrvanTable(kEfsName, config.efsTable);
}

extern "C" bool TARN_CDECL kyMfsIsInitialized(void) { return s_mfsInitialized; }

extern "C" bool TARN_CDECL kyFcsIsInitialized(void) { return s_fcsInitialized; }
