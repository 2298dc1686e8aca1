// Current values and their synchronisation with the per-variable VFS files.
//
// A VFS file holds a variable's value from offset 0. The file of an
// integrity-protected variable ends in blob metadata that the library steps
// over and never writes; the file of an encrypted variable is never read but
// is written like any other.
#include <cstdint>

#include "flash/dfs/dfs.h"
#include "storagelib/kymfs.h"
#include "storagelib/kymfs_report.h"

namespace {

// Blob metadata at the end of an integrity-protected VFS file.
constexpr U32 kBlobMetadataSize = 40;
constexpr U32 kBlobMetadataSizeWithUnlockKey = 56;

// A non-empty file of this name marks the VFS as deployed.
char kDeployMarkerPath[] = "/home/mca/deploy";

constexpr int kPathLength = static_cast<int>(FCS_ENTRY_PATH_SIZE);

bool isVariable(const FcsFileEntry* entry) { return entry->isManufEnabled && !entry->isDirectory; }

// The DFS number of a VFS path. A path the file table lacks, or whose number
// is 0, has no VFS file. `lookup` receives pathToFileNumber's result.
bool vfsFileNumber(char* path, unsigned int& number, int& lookup) {
  number = 0;
  lookup = pathToFileNumber(path, &number);
  return lookup == 0 && number != 0;
}

// The size of a VFS file. Reads and writes follow only a size that was read.
// While this configuration has no EFS region mounted the EFS is unmounted
// (start-up and shutdown end its mount), so an EFS file answers as the
// dispatcher answers it for an unmounted EFS.
int vfsFileSize(unsigned int number, uint32_t& size) {
  return dfs_getsize(static_cast<int>(number), &size);
}

}  // namespace

bool kyMfsGenerateFcsCurrentsTable(FcsTable& defaultsTable, FcsTable& overridesTable,
                                   FcsTable& currentValuesTable) {
  if (!kyMfsNewFcsTable(currentValuesTable, FcsFileNameCurrentsCfg)) {
    setError(ErrorCreatingCurrentValsTable, "");
    return false;
  }
  for (FcsFileEntry* entry = defaultsTable.firstEntry; entry != nullptr; entry = entry->next) {
    if (!entry->isManufEnabled && !entry->isDirectory) continue;
    // The override is looked up before anything is copied, so that a copy
    // that fails is never taken for a missing override. The defaults hold
    // each path once (the store refuses a buffer that names a file twice), so
    // an add fails only for want of memory.
    FcsFileEntry* override = kyMfsFindEntry(overridesTable, entry->relativePath);
    FcsFileEntry* value = copyFileEntry(override != nullptr ? override : entry);
    if (value == nullptr || !kyMfsAddNewFileFcs(currentValuesTable, value, false)) {
      kyMfsFreeFileEntry(value);
      kyMfsFreeFcsTable(currentValuesTable);
      setError(ErrorCreatingCurrentValsTable, "");
      return false;
    }
  }
  return true;
}

bool TARN_CDECL kyMfsIsVfsDeployed() {
  if (!kyMfsIsInitialized()) return false;
  unsigned int number = 0;
  if (pathToFileNumber(kDeployMarkerPath, &number) != 0) return false;
  uint32_t size = 0;
  return vfsFileSize(number, size) == 0 && size != 0;
}

bool kyMfsFillCurrentsTableFromVFS(FcsTable& defaultsTable) {
  for (FcsFileEntry* entry = defaultsTable.firstEntry; entry != nullptr; entry = entry->next) {
    if (!isVariable(entry)) continue;
    char* path = entry->relativePath;
    const file_attributes_t attributes = entry->attributes.file_attributes;

    if (attributes.bits.encrypted) {
      debugMessageFormat("VFS file \"%.*s\" is encrypted, file will not be read and orvan.cfg value will be used.",
                         kPathLength, path);
      continue;
    }
    unsigned int number = 0;
    int lookup = 0;
    if (!vfsFileNumber(path, number, lookup)) {
      debugMessageFormat("Couldn't find NVAR in VFS: \"%.*s\", skipping.", kPathLength, path);
      continue;
    }
    uint32_t fileSize = 0;
    if (vfsFileSize(number, fileSize) != 0) return false;

    U32 valueSize = fileSize;
    if (attributes.bits.integrity_protection) {
      const U32 metadataSize = attributes.bits.use_unlock_available_key
                                   ? kBlobMetadataSizeWithUnlockKey
                                   : kBlobMetadataSize;
      if (fileSize < metadataSize) {
        debugMessageFormat(
            "VFS file \"%.*s\" is integrity protected, but is not large enough to fit the blob metadata.",
            kPathLength, path);
        return false;
      }
      valueSize = fileSize - metadataSize;
    }

    U8* value = nullptr;
    if (!kyMfsNvarResize(path, &value, valueSize)) return false;
    if (valueSize == 0) continue;
    uint32_t count = valueSize;
    if (dfs_read(static_cast<int>(number), 0, &count, value) != 0 || count != valueSize) return false;
  }
  return true;
}

bool kyMfsWriteFcsToVfs(FcsTable& fcsTable) {
  if (!s_mfsInitialized) {
    kyMfsAssert("MFS not initialzied");
    setError(ErrorMfsNotInitialized, "");
    return false;
  }
  for (FcsFileEntry* entry = fcsTable.firstEntry; entry != nullptr; entry = entry->next) {
    if (!isVariable(entry)) continue;
    char* path = entry->relativePath;
    if (entry->attributes.file_attributes.bits.integrity_protection) {
      debugMessageFormat("Skipping writing to NVAR because it is a BLOB type: %.*s", kPathLength, path);
      continue;
    }
    unsigned int number = 0;
    int lookup = 0;
    if (!vfsFileNumber(path, number, lookup)) {
      debugMessageFormat("Cannot locate the following file in VFS: %.*s", kPathLength, path);
      setLibError(ErrorWrite, lookup);
      return false;
    }
    uint32_t vfsSize = 0;
    const int sizeStatus = vfsFileSize(number, vfsSize);
    if (sizeStatus != 0) {
      debugMessageFormat("Failed to get size of VFS file: %.*s", kPathLength, path);
      setLibError(ErrorGetFileSize, sizeStatus);
      return false;
    }
    // A shorter value must leave no old tail behind it.
    const int flags = entry->dataSize < vfsSize ? DFS_WRITE_TRUNCATE : 0;
    if (entry->dataSize == 0 && vfsSize == 0) continue;

    if (entry->data == nullptr && entry->dataSize != 0) {
      setError(ErrorInvalidPointer, "");
      return false;
    }
    // An emptied variable has no buffer; the file systems still get a valid
    // one for the 0 bytes they write.
    uint8_t noData = 0;
    void* data = entry->data != nullptr ? static_cast<void*>(entry->data) : &noData;
    const int writeStatus = dfs_write(static_cast<int>(number), 0, entry->dataSize, data, flags);
    if (writeStatus != 0) {
      debugMessageFormat("Failed to write NVAR contents to VFS file: %.*s", kPathLength, path);
      setLibError(ErrorWrite, writeStatus);
      return false;
    }
  }
  return true;
}

bool kyMfsWriteFcsToMfs(FcsTable& fcsTable, bool cfgIsInMfs) {
  if (!s_fcsInitialized) {
    kyMfsAssert("FCS not initialzied");
    setError(ErrorFcsNotInitialized, "");
    return false;
  }
  if (cfgIsInMfs) {
    kyMfsAssert("Writing the configuration table into MFS is not supported");
    return false;
  }
  return kyMfsSerializeFcsTable(fcsTable);
}
