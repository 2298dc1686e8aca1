// Named-variable access: the host's reads, resizes and existence checks of
// configuration files by path, and its table selector.
#include <cstdlib>
#include <cstring>

#include "storagelib/kymfs.h"
#include "storagelib/kymfs_report.h"

namespace {

// Paths the host gives without it get this prefix put in front.
constexpr char kHomePrefix[] = "/home/";
constexpr size_t kHomePrefixLength = sizeof(kHomePrefix) - 1;

// The search itself: the first entry whose path equals `path` in at most its
// first 255 characters. None while the tables are not loaded.
FcsFileEntry* kyMfsFindFileEntry(FcsTable& table, const char* path) {
  if (!s_fcsInitialized || table.numFiles == 0) return nullptr;
  return kyMfsFindEntry(table, path);
}

FcsTable* tableNamed(FcsFileName name) {
  switch (name) {
    case FcsFileNameOrvanCfg:
      return &s_orvanCfgTable;
    case FcsFileNameQelCfg:
      return &s_qelCfgTable;
    case FcsFileNameCurrentsCfg:
      return &s_currentValuesTable;
    default:
      return nullptr;
  }
}

// Picks the table, completes the path with "/home/" when it lacks it, and
// searches. Only the first 255 characters of the completed path take part
// in the comparison, so no more are kept.
FcsFileEntry* kyMfsFindFileEntryInTable(FcsFileName fcsTableIndex, const char* path) {
  if (path == nullptr) {
    setError(ErrorCorruptedBuffer, "Invalid NVAR path");
    return nullptr;
  }
  FcsTable* table = tableNamed(fcsTableIndex);
  if (table == nullptr) {
    setError(ErrorFcsInvalidFile, "");
    return nullptr;
  }
  char completed[FCS_ENTRY_PATH_SIZE + 1] = {};
  size_t at = 0;
  if (std::strncmp(path, kHomePrefix, kHomePrefixLength) != 0) {
    std::memcpy(completed, kHomePrefix, kHomePrefixLength);
    at = kHomePrefixLength;
  }
  for (size_t i = 0; at < FCS_ENTRY_PATH_SIZE && path[i] != '\0'; ++i) completed[at++] = path[i];
  return kyMfsFindFileEntry(*table, completed);
}

// The path a host passes must be there; a null one is reported.
bool havePath(const char* path) {
  if (path == nullptr) setError(ErrorCorruptedBuffer, "Null NVAR path");
  return path != nullptr;
}

// The entry of a variable the host may read and change (overridable, not a
// directory) in the chosen table, or null with the reason reported. A
// variable it may not change is refused as such, whether or not its entry
// carries a payload.
FcsFileEntry* accessibleEntry(FcsFileName fcsTableIndex, const char* path) {
  FcsFileEntry* entry = kyMfsFindFileEntryInTable(fcsTableIndex, path);
  if (entry == nullptr) {
    setError(ErrorFileNotFound, "");
    return nullptr;
  }
  if (!entry->isManufEnabled || entry->isDirectory) {
    setError(ErrorAccessError, "");
    return nullptr;
  }
  return entry;
}

}  // namespace

extern "C" bool TARN_CDECL kyMfsNvarGet(const char* path, U8** data, U32* dataSize,
                                        FcsFileName fcsTableIndex, bool* isUpdatable,
                                        U32* maxFileSize) {
  if (!havePath(path)) return false;
  if (data == nullptr) {
    setError(ErrorCorruptedBuffer, "Null data");
    return false;
  }
  if (dataSize == nullptr) {
    setError(ErrorCorruptedBuffer, "Null data size");
    return false;
  }
  *data = nullptr;
  *dataSize = 0;

  FcsFileEntry* entry = accessibleEntry(fcsTableIndex, path);
  if (entry == nullptr) return false;
  if (entry->data == nullptr && entry->dataSize != 0) {
    setError(ErrorInvalidPointer, "");
    return false;
  }
  *data = reinterpret_cast<U8*>(entry->data);
  *dataSize = entry->dataSize;
  if (isUpdatable != nullptr)
    *isUpdatable = !(kyMfsIsVfsDeployed() && entry->attributes.file_attributes.bits.integrity_protection);
  if (maxFileSize != nullptr) *maxFileSize = entry->attributes.max_file_size;
  return true;
}

extern "C" bool TARN_CDECL kyMfsNvarResize(const char* path, U8** newData, U32 newDataSize) {
  if (!havePath(path)) return false;
  if (newData == nullptr) {
    setError(ErrorCorruptedBuffer, "Null New NVAR data");
    return false;
  }
  FcsFileEntry* entry = accessibleEntry(FcsFileNameCurrentsCfg, path);
  if (entry == nullptr) return false;
  if (newDataSize == entry->dataSize) {
    *newData = reinterpret_cast<U8*>(entry->data);
    return true;
  }
  if (newDataSize == 0) {
    std::free(entry->data);
    entry->data = nullptr;
    entry->dataSize = 0;
    *newData = nullptr;
    return true;
  }
  // Only the bytes the old buffer held survive; an entry with a size but no
  // buffer has none.
  const U32 kept = entry->data != nullptr ? entry->dataSize : 0;
  char* resized = static_cast<char*>(std::realloc(entry->data, newDataSize));
  if (resized == nullptr) {
    setError(ErrorNoMemory, "");
    return false;
  }
  // Bytes beyond the old size are zero until the host writes them, so nothing
  // uninitialised can reach a VFS file or the rebuilt overrides.
  if (newDataSize > kept) std::memset(resized + kept, 0, newDataSize - kept);
  entry->data = resized;
  entry->dataSize = newDataSize;
  *newData = reinterpret_cast<U8*>(resized);
  return true;
}

extern "C" bool TARN_CDECL kymfsCheckNvarExists(const char* path, FcsFileName fcsTableIndex) {
  if (!havePath(path)) return false;
  return kyMfsFindFileEntryInTable(fcsTableIndex, path) != nullptr;
}

extern "C" int TARN_CDECL kyMfsGetFcsFileNameMapping(FcsFileNameMap fcsFileNameMap) {
  switch (fcsFileNameMap) {
    case OrvanCfgMap:
      return FcsFileNameOrvanCfg;
    case QelCfgMap:
      return FcsFileNameQelCfg;
    case CurrentsCfg:
      return FcsFileNameCurrentsCfg;
    default:
      kyMfsAssert("Invalid fcsFileNameMap value");
      return FcsFileNameCurrentsCfg;
  }
}
