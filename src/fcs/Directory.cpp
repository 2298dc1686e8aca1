#include "fcs/Directory.h"

#include <algorithm>
#include <cstring>

namespace image_editor {

namespace {

// Standard string order (unsigned bytes, a prefix first) of a node's name
// against a key that may be any std::string.
int compareName(const IFile& node, const std::string& key) {
  const char* name = node.getFileNameText();
  const size_t length = std::strlen(name);
  const int bytes = std::memcmp(name, key.data(), std::min(length, key.size()));
  if (bytes != 0) return bytes;
  return length < key.size() ? -1 : (length > key.size() ? 1 : 0);
}

}  // namespace

bool fileCompare(const IFile::FilePtr& a, const IFile::FilePtr& b) {
  return std::strcmp(a->getFileNameText(), b->getFileNameText()) < 0;
}

Directory::Directory() : files() {}

Directory::Directory(const void* fileBuffer, uint32_t fileSize) : files() {
  setFileData(fileBuffer, fileSize);
}

Directory::~Directory() {}

bool Directory::isDirectory() const { return true; }

uint32_t Directory::getSize() const {
  uint32_t size = static_cast<uint32_t>(file_data.size());
  for (const FilePtr& child : files) size += child->getSize();
  return size;
}

bool Directory::addFile(std::string, FilePtr file) {
  // The children stay sorted, so an insertion at the upper bound keeps the
  // order a full sort would give, at the cost of one binary search.
  auto at = std::upper_bound(files.begin(), files.end(), file, fileCompare);
  files.insert(at, std::move(file));
  return true;
}

size_t Directory::findChild(const std::string& name) const {
  // Children are sorted by name: the first of an equal name is at the lower
  // bound.
  auto at = std::lower_bound(files.begin(), files.end(), name,
                             [](const FilePtr& child, const std::string& key) {
                               return compareName(*child, key) < 0;
                             });
  if (at != files.end() && compareName(**at, name) == 0)
    return static_cast<size_t>(at - files.begin());
  return files.size();
}

bool Directory::getFile(std::string path, FilePtr* file) {
  if (file == nullptr) return false;
  const size_t at = findChild(path);
  if (at == files.size()) return false;
  *file = files[at];
  return true;
}

bool Directory::eraseChild(const std::string& name) {
  const size_t at = findChild(name);
  if (at == files.size()) return false;
  files.erase(files.begin() + static_cast<std::ptrdiff_t>(at));
  return true;
}

bool Directory::deleteFile(std::string path) {
  std::string rootElement, nextPath;
  splitPath(path, rootElement, nextPath);
  if (rootElement.empty()) return false;
  const size_t at = findChild(rootElement);
  if (at == files.size()) return false;
  if (nextPath.empty()) {
    files.erase(files.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
  }
  return files[at]->deleteFile(nextPath);
}

void Directory::serialize(std::vector<cfg_file_entry_t>& entries, std::vector<uint8_t>& content) {
  for (const FilePtr& child : files) child->serialize(entries, content);
}

}  // namespace image_editor
