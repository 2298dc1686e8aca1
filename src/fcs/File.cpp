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
  uint32_t length = 0;
  if (!placeRecord(static_cast<uint32_t>(content.size()), 0, nullptr, nullptr, &length)) return;
  entries.push_back(*file_entry);
  const uint8_t* payload = file_data.data() + CFG_FILE_ENTRY_HEADER_SIZE;
  content.insert(content.end(), payload, payload + length);
}

}  // namespace image_editor
