#include "fcs/File.h"

#include <cstring>

namespace image_editor {

File::File(const void* fileBuffer, uint32_t fileSize, const char* fileName) {
  // IFile leaves the name all zero, so a cut name stays terminated.
  if (fileName != nullptr) std::strncpy(file_name, fileName, FCS_MAX_FILE_NAME_LENGTH);
  setFileData(fileBuffer, fileSize);
}

File::~File() {}

bool File::isDirectory() const { return false; }

uint32_t File::getSize() const { return static_cast<uint32_t>(file_data.size()); }

bool File::addFile(std::string, FilePtr) { return false; }

bool File::deleteFile(std::string) { return false; }

bool File::getFile(std::string, FilePtr*) { return false; }

void File::serialize(std::vector<cfg_file_entry_t>& entries, std::vector<uint8_t>& content) {
  if (file_entry == nullptr) return;
  file_entry->offset = static_cast<uint32_t>(content.size());
  entries.push_back(*file_entry);
  // The stored length matches the bytes kept unless the record was built
  // above 16 bits; never copy past the record either way.
  const size_t available = file_data.size() - CFG_FILE_ENTRY_HEADER_SIZE;
  const size_t length = file_entry->length < available ? file_entry->length : available;
  const uint8_t* payload = file_data.data() + CFG_FILE_ENTRY_HEADER_SIZE;
  content.insert(content.end(), payload, payload + length);
}

}  // namespace image_editor
