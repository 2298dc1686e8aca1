#include "fcs/IFile.h"

#include <cstring>

namespace image_editor {

IFile::IFile() : parentPath(), parentDirectory(nullptr), file_data(), file_entry(nullptr) {
  std::memset(file_name, 0, sizeof file_name);
}

IFile::~IFile() {}

std::string IFile::getFileName() const { return std::string(file_name); }

const char* IFile::getFileNameText() const { return file_name; }

std::string IFile::getFullPath() const {
  if (parentPath.empty()) return getFileName();
  return parentPath + "/" + getFileName();
}

bool IFile::getFileData(void* fileBuffer, uint32_t* fileSize) const {
  if (fileSize == nullptr) return false;
  const uint32_t recordSize = static_cast<uint32_t>(file_data.size());
  if (*fileSize < recordSize) {
    *fileSize = recordSize;
    return false;
  }
  if (recordSize != 0) {
    if (fileBuffer == nullptr) return false;
    std::memcpy(fileBuffer, file_data.data(), recordSize);
  }
  *fileSize = recordSize;
  return true;
}

bool IFile::getAttributes(cfg_file_entry_t* entry) const {
  if (entry == nullptr || file_entry == nullptr || file_data.size() < CFG_FILE_ENTRY_HEADER_SIZE)
    return false;
  std::memcpy(entry, file_data.data(), sizeof(cfg_file_entry_t));
  return true;
}

bool IFile::placeRecord(uint32_t contentAt, uint32_t headersEnd, uint8_t* header, uint8_t* payload,
                        uint32_t* length) {
  if (file_entry == nullptr) return false;
  file_entry->offset = contentAt;
  // The stored length matches the bytes kept unless the record was built
  // above 16 bits; never copy past the record either way.
  const size_t available = file_data.size() - CFG_FILE_ENTRY_HEADER_SIZE;
  *length = static_cast<uint32_t>(file_entry->length < available ? file_entry->length : available);
  if (header != nullptr && payload != nullptr) {
    cfg_file_entry_t placed = *file_entry;
    placed.offset += headersEnd;
    std::memcpy(header, &placed, CFG_FILE_ENTRY_HEADER_SIZE);
    if (*length != 0) std::memcpy(payload, file_data.data() + CFG_FILE_ENTRY_HEADER_SIZE, *length);
  }
  return true;
}

void IFile::setFileData(const void* fileBuffer, uint32_t fileSize) {
  file_entry = nullptr;
  if (fileBuffer == nullptr || fileSize == 0) {
    file_data.clear();
    return;
  }
  const uint8_t* bytes = static_cast<const uint8_t*>(fileBuffer);
  file_data.assign(bytes, bytes + fileSize);
  if (fileSize < CFG_FILE_ENTRY_HEADER_SIZE) return;  // too short to hold a header
  file_entry = reinterpret_cast<cfg_file_entry_t*>(file_data.data());
  file_entry->length = static_cast<uint16_t>(fileSize - CFG_FILE_ENTRY_HEADER_SIZE);
}

void IFile::splitPath(std::string path, std::string& rootElement, std::string& nextPath) const {
  rootElement = path;
  nextPath.clear();
  const std::string::size_type slash = path.find('/');
  if (path.empty() || slash == std::string::npos) return;
  rootElement = path.substr(0, slash);
  if (slash + 1 < path.size()) nextPath = path.substr(slash + 1);
}

}  // namespace image_editor
