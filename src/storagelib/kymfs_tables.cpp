// Configuration tables: each one a store handle plus the library's own list
// of entries, one per file of the handle.
//
// The tables are byte-packed, so their fields are never handed to the store
// by address: handles and sizes go through locals and are stored back.
#include "storagelib/kymfs.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

#include "storagelib/kymfs_report.h"

namespace {

constexpr U32 kQelcHeaderSize = sizeof(manuf_cfg_header_t);

// A buffer of `size` bytes; a size of 0 still gives a buffer, so that an empty
// input is not taken for a failed allocation.
char* allocateBuffer(U32 size) { return static_cast<char*>(std::malloc(size != 0 ? size : 1)); }

void dropIndex(const FcsTable& table);

// Every field zero.
void clearTable(FcsTable& table) {
  dropIndex(table);
  table.handle = nullptr;
  table.fileName = static_cast<FcsFileName>(0);
  table.numFiles = 0;
  table.data = nullptr;
  table.datasize = 0;
  table.firstEntry = nullptr;
  table.lastEntry = nullptr;
}

// Path lookups in a table's list. Each table that is searched keeps an index
// from path to entry, so that a lookup costs one hash probe instead of a walk
// over the list. An index answers only for the list it was built from: it
// records the list's first and last entry and its count, follows every
// entry linked through kyMfsInsertFile, and is dropped when the table is
// released or cleared; a list that changed in any other way is indexed
// again before it is searched. Without memory for an index the list is
// walked. Paths are keyed as the comparison sees them: up to their NUL, at
// most 255 characters, viewed in place in the entries.
struct ListIndex {
  const FcsFileEntry* first = nullptr;
  const FcsFileEntry* last = nullptr;
  U32 count = 0;
  std::unordered_map<std::string_view, FcsFileEntry*> byPath;
};
using ListIndexes = std::unordered_map<const FcsTable*, ListIndex>;

// Made on first use and never destroyed, so that nothing of it runs when the
// library is loaded or unloaded; null when there is no memory for it (the
// lists are then walked).
ListIndexes* listIndexes() {
  static ListIndexes* const indexes = new (std::nothrow) ListIndexes();
  return indexes;
}

std::string_view pathKey(const char* path) {
  return std::string_view(path, strnlen(path, FCS_ENTRY_PATH_SIZE));
}

bool describes(const ListIndex& index, const FcsTable& table) {
  return index.first == table.firstEntry && index.last == table.lastEntry && index.count == table.numFiles;
}

void dropIndex(const FcsTable& table) {
  if (ListIndexes* indexes = listIndexes()) indexes->erase(&table);
}

// The table's index, built from its list when it has none that describes it;
// null when there is no memory for one.
ListIndex* indexOf(FcsTable& table) {
  ListIndexes* indexes = listIndexes();
  if (indexes == nullptr) return nullptr;
  try {
    ListIndex& index = (*indexes)[&table];
    if (describes(index, table)) return &index;
    index.byPath.clear();
    for (FcsFileEntry* entry = table.firstEntry; entry != nullptr; entry = entry->next)
      index.byPath.emplace(pathKey(entry->relativePath), entry);
    index.first = table.firstEntry;
    index.last = table.lastEntry;
    index.count = table.numFiles;
    return &index;
  } catch (...) {
    dropIndex(table);
    return nullptr;
  }
}

// Called after `entry` was linked at the end of the list.
void indexInserted(FcsTable& table, FcsFileEntry* entry, const ListIndex& before) {
  ListIndexes* indexes = listIndexes();
  if (indexes == nullptr) return;
  const auto found = indexes->find(&table);
  if (found == indexes->end()) return;
  ListIndex& index = found->second;
  if (index.first != before.first || index.last != before.last || index.count != before.count) {
    indexes->erase(found);
    return;
  }
  try {
    index.byPath.emplace(pathKey(entry->relativePath), entry);
  } catch (...) {
    indexes->erase(found);
    return;
  }
  index.first = table.firstEntry;
  index.last = table.lastEntry;
  index.count = table.numFiles;
}

FcsFileEntry* findEntry(FcsTable& table, const char* path) {
  if (const ListIndex* index = indexOf(table)) {
    const auto found = index->byPath.find(pathKey(path));
    return found != index->byPath.end() ? found->second : nullptr;
  }
  for (FcsFileEntry* entry = table.firstEntry; entry != nullptr; entry = entry->next)
    if (std::strncmp(entry->relativePath, path, FCS_ENTRY_PATH_SIZE) == 0) return entry;
  return nullptr;
}

// A record the store will not take is left out of the table without failing
// the caller; two debug reports name it and the store's status.
void reportRecordLeftOut(const char* storeName, int status) {
  debugMessageFormat("Failed to add file into cfg file:%s FCS error: %d\n", storeName, status);
  debugMessage("VFS FLAT Integration: BLOQ don't return error when failed to add file to orvan.cfg");
}

}  // namespace

bool kyMfsNewFcsTable(FcsTable& fcsTable, FcsFileName fileName) {
  clearTable(fcsTable);
  fcsTable.fileName = fileName;
  if (fileName == FcsFileNameInvalid) {
    setError(ErrorFcsInvalidFile, "");
    return false;
  }
  FCS_HANDLE handle = nullptr;
  const int status = createHandle(&handle);
  if (status != FCS_OK) {
    setLibError(ErrorFcsCreateHandle, status);
    return false;
  }
  fcsTable.handle = handle;
  return true;
}

bool kyMfsLoadPtrTableData(FcsTable& fcsTable, char* data, U32 dataSize, bool loadData) {
  fcsTable.datasize = dataSize;
  fcsTable.data = allocateBuffer(dataSize);
  if (fcsTable.data == nullptr) {
    fcsTable.datasize = 0;
    setError(ErrorNoMemory, "");
    return false;
  }
  if (kyMfsMemCpy(fcsTable.data, dataSize, data, dataSize) != 0 ||
      !kyMfsLoadFcsTableFiles(fcsTable, loadData)) {
    kyMfsFreeFcsTable(fcsTable);
    return false;
  }
  return true;
}

bool kyMfsLoadFcsTableFromQelcPartition(FcsTable& fcsTable, bool loadData, char* partitionBuffer,
                                        U32 partitionSize) {
  clearTable(fcsTable);
  if (partitionSize == 0) return kyMfsNewFcsTable(fcsTable, FcsFileNameQelCfg);
  if (partitionSize < kQelcHeaderSize) {
    setError(ErrorCastBuffer, "Invalid QELC partition length");
    return false;
  }
  if (partitionBuffer == nullptr) {
    kyMfsAssert("Invalid QELC partition pointer");
    return false;
  }

  manuf_cfg_header_t header;
  std::memcpy(&header, partitionBuffer, kQelcHeaderSize);
  if (header.size > partitionSize - kQelcHeaderSize) {
    setError(ErrorMfsInitError, "Invalid QELC partition size.");
    return false;
  }
  return kyMfsLoadPtrTableData(fcsTable, partitionBuffer + kQelcHeaderSize, header.size, loadData);
}

bool kyMfsLoadFcsTableFiles(FcsTable& fcsTable, bool loadData) {
  // The file table is handed over once, by the first table that loads, before
  // any record is named through it.
  const int ftblStatus = kyMfsHandOverFileTable();
  if (ftblStatus != 0) {
    setLibError(ErrorFtblLoadFail, ftblStatus);
    return false;
  }

  FCS_HANDLE handle = nullptr;
  const int status = createHandleFromStructure(&handle, fcsTable.data, fcsTable.datasize);
  if (status != FCS_OK) {
    setLibError(ErrorFcsCreateHandle, status);
    return false;
  }
  fcsTable.handle = handle;

  for (;;) {
    int stepStatus = FCS_OK;
    if (!kyMfsProcessNextFile(fcsTable, loadData, stepStatus)) {
      setError(ErrorProcessingFcsEntries, "");
      return false;
    }
    if (stepStatus != FCS_OK) return true;  // FCS_ERR_NO_MORE_FILES
  }
}

bool kyMfsProcessNextFile(FcsTable& fcsTable, bool loadData, int& status) {
  FcsFileEntry* entry = static_cast<FcsFileEntry*>(std::calloc(1, sizeof(FcsFileEntry)));
  if (entry == nullptr) {
    setError(ErrorInvalidPointer, "");
    return false;
  }

  if (fcsTable.firstEntry == nullptr) {
    status = getFirstFileInRoot(fcsTable.handle, entry->relativePath);
    fcsTable.numFiles = 0;
  } else {
    status = getNextFile(fcsTable.handle, entry->relativePath);
  }
  if (status == FCS_ERR_NO_MORE_FILES) {
    kyMfsFreeFileEntry(entry);
    return true;
  }
  if (status != FCS_OK) {
    kyMfsFreeFileEntry(entry);
    setLibError(ErrorFcsGetFile, status);
    return false;
  }

  cfg_file_entry_with_file_attributes_t attributes;
  const int attributesStatus = getFileAttributes(fcsTable.handle, entry->relativePath, &attributes);
  if (attributesStatus != FCS_OK) {
    kyMfsFreeFcsTable(fcsTable);
    kyMfsFreeFileEntry(entry);
    setLibError(ErrorFcsGetFileAttributes, attributesStatus);
    return false;
  }
  entry->attributes = attributes;
  entry->dataSize = attributes.cfg_file_entry.length;
  entry->isDirectory = false;
  entry->isManufEnabled = attributes.cfg_file_entry.attributes.bits.allow_qelc_override != 0;

  if (loadData && !entry->isDirectory && entry->isManufEnabled && entry->dataSize != 0) {
    // The whole record, its header and then the payload, is read into one
    // buffer; the payload is moved to its front and the buffer becomes the
    // entry's (its last 12 bytes unused), which spares a second buffer and
    // a second copy of every payload.
    const U32 recordSize = CFG_FILE_ENTRY_HEADER_SIZE + entry->dataSize;  // a 16-bit length: no wrap
    char* record = static_cast<char*>(std::malloc(recordSize));
    if (record == nullptr) {
      kyMfsFreeFileEntry(entry);
      setError(ErrorNoMemory, "");
      return false;
    }
    uint32_t size = recordSize;
    const int dataStatus = getFileData(fcsTable.handle, entry->relativePath, record, &size);
    if (dataStatus != FCS_OK) {
      std::free(record);
      kyMfsFreeFileEntry(entry);
      setLibError(ErrorFcsGetFile, dataStatus);
      return false;
    }
    std::memmove(record, record + CFG_FILE_ENTRY_HEADER_SIZE, entry->dataSize);
    entry->data = record;
  }

  kyMfsInsertFile(fcsTable, entry);
  return true;
}

void kyMfsInsertFile(FcsTable& fcsTable, FcsFileEntry* fileEntry) {
  if (fileEntry == nullptr) {
    kyMfsAssert("Invalid fileEntry Pointer");
    return;
  }
  ListIndex before;
  before.first = fcsTable.firstEntry;
  before.last = fcsTable.lastEntry;
  before.count = fcsTable.numFiles;
  fileEntry->prev = nullptr;
  fileEntry->next = nullptr;
  fileEntry->inFcsTable = true;
  if (fcsTable.firstEntry == nullptr) {
    fcsTable.firstEntry = fileEntry;
    fcsTable.lastEntry = fileEntry;
  } else {
    fcsTable.lastEntry->next = fileEntry;
    fileEntry->prev = fcsTable.lastEntry;
    fcsTable.lastEntry = fileEntry;
  }
  ++fcsTable.numFiles;
  indexInserted(fcsTable, fileEntry, before);
}

FcsFileEntry* copyFileEntry(FcsFileEntry* fileEntry) {
  if (fileEntry == nullptr) return nullptr;
  FcsFileEntry* copy = static_cast<FcsFileEntry*>(std::malloc(sizeof(FcsFileEntry)));
  if (copy == nullptr) {
    setError(ErrorNoMemory, "");
    return nullptr;
  }
  if (kyMfsMemCpy(copy, sizeof(FcsFileEntry), fileEntry, sizeof(FcsFileEntry)) != 0) {
    std::free(copy);
    return nullptr;
  }
  // The field copy took the source's payload pointer and links: drop them at
  // once, so that releasing a failed copy never touches the source's buffer.
  copy->data = nullptr;
  copy->prev = nullptr;
  copy->next = nullptr;
  copy->inFcsTable = false;

  if (fileEntry->data != nullptr && fileEntry->dataSize != 0) {
    char* payload = static_cast<char*>(std::malloc(fileEntry->dataSize));
    if (payload == nullptr) {
      kyMfsFreeFileEntry(copy);
      setError(ErrorNoMemory, "");
      return nullptr;
    }
    copy->data = payload;
    if (kyMfsMemCpy(copy->data, copy->dataSize, fileEntry->data, fileEntry->dataSize) != 0) {
      kyMfsFreeFileEntry(copy);
      return nullptr;
    }
  }
  return copy;
}

FcsFileEntry* kyMfsFindEntry(FcsTable& fcsTable, const char* path) { return findEntry(fcsTable, path); }

FcsFileEntry* kyMfsFindCopyFile(FcsTable& fcsTable, const char* filePath) {
  if (filePath == nullptr) return nullptr;
  FcsFileEntry* entry = findEntry(fcsTable, filePath);
  return entry != nullptr ? copyFileEntry(entry) : nullptr;
}

bool kyMfsAddNewFileFcs(FcsTable& fcsTable, FcsFileEntry* fileEntry, bool enforceMaxFileSize) {
  if (fcsTable.handle == nullptr || fileEntry == nullptr) {
    kyMfsAssert("Invalid FCS handle or fileEntry pointer");
    return false;
  }
  if (fileEntry->inFcsTable) {
    setError(ErrorFileAlreadyInUseByOtherTable, "");
    return false;
  }
  if (findEntry(fcsTable, fileEntry->relativePath) != nullptr) {
    setError(ErrorDuplicateFile, "");
    return false;
  }

  // The store names the record path + "/".
  char storeName[FCS_ENTRY_PATH_SIZE + 2];
  size_t pathLength = 0;
  while (pathLength < FCS_ENTRY_PATH_SIZE && fileEntry->relativePath[pathLength] != '\0')
    ++pathLength;
  std::memcpy(storeName, fileEntry->relativePath, pathLength);
  storeName[pathLength] = '/';
  storeName[pathLength + 1] = '\0';

  // A record's size crosses the store's interface as 16 bits: a larger
  // payload cannot be stored whole, and the store refuses it as too large.
  if (fileEntry->dataSize > CFG_FILE_MAX_PAYLOAD_SIZE) {
    reportRecordLeftOut(storeName, FCS_ERR_FILE_TOO_LARGE);
    kyMfsFreeFileEntry(fileEntry);
    return true;
  }

  // The header as it stands, then the payload. An entry with a size but no
  // buffer gives a zero-filled payload.
  const U32 recordSize = CFG_FILE_ENTRY_HEADER_SIZE + fileEntry->dataSize;
  char* record = static_cast<char*>(std::malloc(recordSize));
  if (record == nullptr) {
    setError(ErrorNoMemory, "");
    return false;
  }
  const cfg_file_entry_t header = fileEntry->attributes.cfg_file_entry;
  if (fileEntry->data == nullptr && fileEntry->dataSize != 0)
    std::memset(record + CFG_FILE_ENTRY_HEADER_SIZE, 0, fileEntry->dataSize);
  if (kyMfsMemCpy(record, recordSize, &header, CFG_FILE_ENTRY_HEADER_SIZE) != 0 ||
      (fileEntry->data != nullptr &&
       kyMfsMemCpy(record + CFG_FILE_ENTRY_HEADER_SIZE, fileEntry->dataSize, fileEntry->data,
                   fileEntry->dataSize) != 0)) {
    std::free(record);
    return false;
  }

  const int status = addNewFile(fcsTable.handle, "", storeName, record,
                                static_cast<uint16_t>(recordSize), enforceMaxFileSize);
  std::free(record);
  // Running out of memory is no refusal of the record: leaving it out would
  // drop a value from the table while the add counts as done.
  if (status == FCS_ERR_OUT_OF_MEMORY) {
    setLibError(ErrorFcsAddNewFile, status);
    return false;
  }
  if (status != FCS_OK) {
    reportRecordLeftOut(storeName, status);
    kyMfsFreeFileEntry(fileEntry);
    return true;
  }
  kyMfsInsertFile(fcsTable, fileEntry);
  return true;
}

bool kyMfsSerializeFcsTable(FcsTable& fcsTable) {
  // The table is serialised into a buffer of its own; one it may still hold
  // would be lost.
  std::free(fcsTable.data);
  fcsTable.data = nullptr;

  uint32_t size = 0;
  int status = flush(fcsTable.handle, nullptr, &size);
  fcsTable.datasize = size;
  if (status != FCS_ERR_BUFFER_TOO_SMALL) {
    setLibError(ErrorFcsFlush, status);
    return false;
  }
  fcsTable.data = allocateBuffer(size);
  if (fcsTable.data == nullptr) {
    setError(ErrorNoMemory, "");
    return false;
  }
  status = flush(fcsTable.handle, fcsTable.data, &size);
  if (status != FCS_OK) {
    setLibError(ErrorFcsFlush, status);
    return false;
  }
  fcsTable.datasize = size;
  return true;
}

void kyMfsFreeFileEntry(FcsFileEntry* fileEntry) {
  if (fileEntry == nullptr) return;
  std::free(fileEntry->data);
  std::free(fileEntry);
}

void kyMfsFreeFcsTable(FcsTable& fcsTable) {
  dropIndex(fcsTable);
  if (fcsTable.handle != nullptr) {
    FCS_HANDLE handle = fcsTable.handle;
    closeHandle(&handle);
    fcsTable.handle = nullptr;
  }
  std::free(fcsTable.data);
  fcsTable.data = nullptr;
  fcsTable.datasize = 0;

  FcsFileEntry* entry = fcsTable.firstEntry;
  while (entry != nullptr) {
    FcsFileEntry* next = entry->next;
    kyMfsFreeFileEntry(entry);
    entry = next;
  }
  fcsTable.firstEntry = nullptr;
  fcsTable.lastEntry = nullptr;
  fcsTable.numFiles = 0;
}

void kyMfsCleanStaticTables(void) {
  kyMfsFreeFcsTable(s_qelCfgTable);
  kyMfsFreeFcsTable(s_orvanCfgTable);
  kyMfsFreeFcsTable(s_currentValuesTable);
  s_fcsInitialized = false;
}
