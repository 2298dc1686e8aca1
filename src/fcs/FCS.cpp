// The handle API over configuration-file trees, and the FCS buffer reader
// and writer. Every exported function checks its arguments in a fixed order,
// returns the first failing check's status, and lets no exception out.
#include "fcs/FCS.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "fcs/Directory.h"
#include "fcs/File.h"
#include "storage/ToolsFileTable.h"

using image_editor::Directory;
using image_editor::FCS_HANDLE_DATA;
using image_editor::File;
using image_editor::FileIterator;
using image_editor::IFile;

namespace image_editor {

_FCS_HANDLE_DATA::_FCS_HANDLE_DATA() : root(), iterator() {}

}  // namespace image_editor

namespace {

// A handle that createHandle filled: a record with its root and iterator.
bool isUsable(FCS_HANDLE handle) {
  return handle != nullptr && handle->root != nullptr && handle->iterator != nullptr;
}

// Restarts the listing at the first name (the name itself is not needed).
void restartListing(FCS_HANDLE handle) { handle->iterator->restart(); }

// The record named `name` (up to its NUL) in the handle's root, as the
// root's getFile finds it, or null. A table being loaded asks for each name
// right after listing it, so the child the listing stands on is tried first.
const IFile::FilePtr* recordNamed(FCS_HANDLE handle, const char* name) {
  const Directory* root = dynamic_cast<const Directory*>(handle->root.get());
  if (root == nullptr) return nullptr;
  const FileIterator& listing = *handle->iterator;
  const size_t hint = listing.currentDir == root && listing.lastFileIndexInDir >= 0
                          ? static_cast<size_t>(listing.lastFileIndexInDir)
                          : SIZE_MAX;
  return root->childNamed(name, hint);
}


// The root's records placed as Directory::placeRecords places them
// (createHandle always makes the root a directory).
void placeTree(FCS_HANDLE handle, uint8_t* out, uint32_t headersEnd, uint64_t* count,
               uint64_t* contentSize) {
  Directory* root = dynamic_cast<Directory*>(handle->root.get());
  if (root != nullptr) root->placeRecords(out, headersEnd, count, contentSize);
}

int listName(FCS_HANDLE handle, char* relativePath, bool restart) {
  if (!isUsable(handle)) return FCS_ERR_INVALID_HANDLE;
  if (relativePath == nullptr) return FCS_ERR_INVALID_PARAMETER;
  std::string name;
  try {
    name = restart ? handle->iterator->firstFile() : handle->iterator->nextFile();
  } catch (...) {
    return FCS_ERR_OUT_OF_MEMORY;
  }
  if (name.empty()) return FCS_ERR_NO_MORE_FILES;
  // Names are at most 48 characters; the caller's buffer holds 49 bytes.
  const size_t length = name.size() < FCS_FILE_NAME_BUFFER_SIZE - 1 ? name.size()
                                                                    : FCS_FILE_NAME_BUFFER_SIZE - 1;
  std::memcpy(relativePath, name.data(), length);
  relativePath[length] = '\0';
  return FCS_OK;
}

}  // namespace

bool validateAttributs(cfg_file_entry_t* entry) { return entry != nullptr; }

bool loadDataFromFcsBuffer(FCS_HANDLE handle, const void* fcsBuffer, uint32_t size) {
  if (size < FCS_BUFFER_COUNT_SIZE || fcsBuffer == nullptr) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(fcsBuffer);
  uint32_t count;
  std::memcpy(&count, bytes, sizeof count);
  // 64-bit arithmetic: 12 * count may exceed 32 bits.
  if (uint64_t{size} < FCS_BUFFER_COUNT_SIZE + uint64_t{CFG_FILE_ENTRY_HEADER_SIZE} * count)
    return false;

  try {
    std::vector<uint8_t> record;  // scratch copy of one record, freed on every return
    for (uint32_t i = 0; i < count; ++i) {
      // Inside the buffer by the check above, so it fits in size_t.
      const uint8_t* at =
          bytes + FCS_BUFFER_COUNT_SIZE + static_cast<size_t>(CFG_FILE_ENTRY_HEADER_SIZE) * i;
      cfg_file_entry_t header;
      std::memcpy(&header, at, CFG_FILE_ENTRY_HEADER_SIZE);
      // Every payload must lie inside the buffer, that of a skipped record
      // too; one of length 0 is not read, so its offset is not checked.
      if (header.length != 0 && uint64_t{header.offset} + header.length > size) return false;

      char name[FCS_FILE_NAME_BUFFER_SIZE];
      std::memset(name, 0, sizeof name);
      // A number this SKU's table lacks, or one it lists without a name,
      // names no record: skip it.
      if (get_file_name_by_fileno(&header.fileno, name) != 0 || name[0] == '\0') continue;

      if (CFG_FILE_ENTRY_HEADER_SIZE + uint32_t{header.length} > CFG_FILE_MAX_RECORD_SIZE)
        return false;
      record.assign(at, at + CFG_FILE_ENTRY_HEADER_SIZE);
      if (header.length != 0) {
        const uint8_t* payload = bytes + header.offset;
        record.insert(record.end(), payload, payload + header.length);
      }
      if (addNewFile(handle, "", name, record.data(), static_cast<uint16_t>(record.size()), false) !=
          FCS_OK)
        return false;
    }
  } catch (...) {
    return false;
  }
  return true;
}

extern "C" {

int createHandle(FCS_HANDLE* phandle) {
  if (phandle == nullptr) return FCS_ERR_INVALID_PARAMETER;
  FCS_HANDLE handle = new (std::nothrow) FCS_HANDLE_DATA();
  if (handle == nullptr) return FCS_ERR_OUT_OF_MEMORY;
  try {
    handle->root = std::make_shared<Directory>();
    handle->iterator = std::make_shared<FileIterator>(handle->root);
  } catch (...) {
    delete handle;
    return FCS_ERR_OUT_OF_MEMORY;
  }
  *phandle = handle;
  return FCS_OK;
}

int createHandleFromStructure(FCS_HANDLE* phandle, const void* fcsBuffer, uint32_t size) {
  if (phandle == nullptr || fcsBuffer == nullptr) return FCS_ERR_INVALID_PARAMETER;
  const int status = createHandle(phandle);
  if (status != FCS_OK) return status;
  if (!loadDataFromFcsBuffer(*phandle, fcsBuffer, size)) {
    closeHandle(phandle);
    return FCS_ERR_LOAD_FAILED;
  }
  return FCS_OK;
}

int addNewFile(FCS_HANDLE handle, const char* relativePath, const char* fileName,
               void* fileBuffer, uint16_t fileSize, bool enforceMaxFileSize) {
  (void)relativePath;  // every record goes into the root
  if (!isUsable(handle)) return FCS_ERR_INVALID_HANDLE;
  if (fileSize < CFG_FILE_ENTRY_HEADER_SIZE) return FCS_ERR_BUFFER_TOO_SMALL;
  // A record without a name could be neither listed nor deleted.
  if (fileBuffer == nullptr || fileName == nullptr || fileName[0] == '\0')
    return FCS_ERR_INVALID_PARAMETER;

  cfg_file_entry_t header;
  std::memcpy(&header, fileBuffer, CFG_FILE_ENTRY_HEADER_SIZE);
  if (header.fileno.value == 0) {
    fileno_t number;
    if (get_fileno_by_file_name(fileName, &number) != 0) return FCS_ERR_NAME_NOT_IN_TABLE;
    // The number goes into the caller's header too.
    std::memcpy(static_cast<uint8_t*>(fileBuffer) + offsetof(cfg_file_entry_t, fileno), &number,
                sizeof number);
    header.fileno.value = number.value;
  }

  const tools_file_entry_in_table_t* entry = get_file_entry_by_fileno(&header.fileno);
  if (entry == nullptr || !validateAttributs(&header)) return FCS_ERR_INVALID_ENTRY;
  const uint32_t maxFileSize = entry->max_file_size;
  if (enforceMaxFileSize && uint32_t{fileSize} - CFG_FILE_ENTRY_HEADER_SIZE > maxFileSize)
    return FCS_ERR_FILE_TOO_LARGE;

  // The node keeps the name cut to 48 characters, so that is the name to
  // compare with the records already present.
  char name[FCS_FILE_NAME_BUFFER_SIZE];
  std::memset(name, 0, sizeof name);
  std::strncpy(name, fileName, FCS_FILE_NAME_BUFFER_SIZE - 1);

  if (recordNamed(handle, name) != nullptr) return FCS_ERR_FILE_EXISTS;
  try {
    IFile::FilePtr node = std::make_shared<File>(fileBuffer, fileSize, name);
    if (!handle->root->addFile("", node)) return FCS_ERR_FILE_NOT_FOUND;
  } catch (...) {
    return FCS_ERR_OUT_OF_MEMORY;
  }
  restartListing(handle);
  return FCS_OK;
}

int deleteFile(FCS_HANDLE handle, const char* relativePath) {
  if (!isUsable(handle)) return FCS_ERR_INVALID_HANDLE;
  if (relativePath == nullptr) return FCS_ERR_INVALID_PARAMETER;
  try {
    // Records sit in the root under their whole names, slashes included
    // ("/home/..."), which the path walk below can never reach: look for the
    // whole name first, as getFileData does. A name that matches no record is
    // taken as a slash-separated path below the root.
    Directory* root = dynamic_cast<Directory*>(handle->root.get());
    const bool erased = root != nullptr && root->eraseChild(relativePath);
    if (!erased && !handle->root->deleteFile(relativePath)) return FCS_ERR_FILE_NOT_FOUND;
  } catch (...) {
    return FCS_ERR_OUT_OF_MEMORY;
  }
  restartListing(handle);
  return FCS_OK;
}

int getFileData(FCS_HANDLE handle, const char* relativePath, void* fileBuffer, uint32_t* fileSize) {
  if (!isUsable(handle)) return FCS_ERR_INVALID_HANDLE;
  if (fileBuffer == nullptr || fileSize == nullptr || relativePath == nullptr)
    return FCS_ERR_INVALID_PARAMETER;
  const IFile::FilePtr* node = recordNamed(handle, relativePath);
  if (node == nullptr) return FCS_ERR_FILE_NOT_FOUND;
  return (*node)->getFileData(fileBuffer, fileSize) ? FCS_OK : FCS_ERR_BUFFER_TOO_SMALL;
}

int getFileAttributes(FCS_HANDLE handle, const char* relativePath,
                      cfg_file_entry_with_file_attributes_t* attributes) {
  if (!isUsable(handle)) return FCS_ERR_INVALID_HANDLE;
  if (attributes == nullptr || relativePath == nullptr) return FCS_ERR_INVALID_PARAMETER;
  const IFile::FilePtr* node = recordNamed(handle, relativePath);
  if (node == nullptr) return FCS_ERR_FILE_NOT_FOUND;
  cfg_file_entry_t header;
  if (!(*node)->getAttributes(&header)) return FCS_ERR_INVALID_ENTRY;
  std::memcpy(&attributes->cfg_file_entry, &header, sizeof header);

  file_attributes_t fileAttributes;
  unsigned maxFileSize = 0;
  if (get_file_attributes_by_file_name(relativePath, &fileAttributes, &maxFileSize) != 0)
    return FCS_ERR_INVALID_ENTRY;
  attributes->file_attributes.value = fileAttributes.value;
  attributes->max_file_size = maxFileSize;
  return FCS_OK;
}

int getFirstFileInRoot(FCS_HANDLE handle, char* relativePath) {
  return listName(handle, relativePath, true);
}

int getNextFile(FCS_HANDLE handle, char* relativePath) {
  return listName(handle, relativePath, false);
}

int flush(FCS_HANDLE handle, void* outputBuffer, uint32_t* size) {
  if (!isUsable(handle)) return FCS_ERR_INVALID_HANDLE;
  if (size == nullptr) return FCS_ERR_INVALID_PARAMETER;

  // The records are serialised in place: a first walk counts them and sets
  // their stored offsets, and only a buffer large enough gets a second walk
  // that writes the headers and payloads straight into it.
  uint64_t count = 0, contentSize = 0;
  placeTree(handle, nullptr, 0, &count, &contentSize);
  const uint64_t headersEnd = FCS_BUFFER_COUNT_SIZE + uint64_t{CFG_FILE_ENTRY_HEADER_SIZE} * count;
  if (headersEnd + contentSize > UINT32_MAX) return FCS_ERR_OUT_OF_MEMORY;  // beyond the format
  const uint32_t needed = static_cast<uint32_t>(headersEnd + contentSize);
  if (needed > *size) {
    *size = needed;
    return FCS_ERR_BUFFER_TOO_SMALL;
  }
  if (outputBuffer == nullptr) return FCS_ERR_INVALID_PARAMETER;
  uint8_t* out = static_cast<uint8_t*>(outputBuffer);
  const uint32_t written = static_cast<uint32_t>(count);
  std::memcpy(out, &written, sizeof written);
  count = 0;
  contentSize = 0;
  placeTree(handle, out, static_cast<uint32_t>(headersEnd), &count, &contentSize);
  *size = needed;
  return FCS_OK;
}

int closeHandle(FCS_HANDLE* phandle) {
  if (phandle == nullptr) return FCS_ERR_INVALID_PARAMETER;
  FCS_HANDLE handle = *phandle;
  if (handle == nullptr) return FCS_ERR_INVALID_HANDLE;
  // The iterator holds a second reference to the root: drop it first, so the
  // tree goes with the root's last reference.
  handle->iterator.reset();
  handle->root.reset();
  delete handle;
  *phandle = nullptr;
  return FCS_OK;
}

}  // extern "C"
