#include "fcs/Directory.h"

#include <algorithm>
#include <cstring>

#include "storage/FCS.h"

namespace image_editor {

namespace {

// Standard string order (unsigned bytes, a prefix first) of a node's name
// against a key of `size` bytes.
int compareName(const IFile& node, const char* key, size_t size) {
  const char* name = node.getFileNameText();
  const size_t length = std::strlen(name);
  const int bytes = std::memcmp(name, key, std::min(length, size));
  if (bytes != 0) return bytes;
  return length < size ? -1 : (length > size ? 1 : 0);
}

// Position of the first child named by the key, or files.size(). Children
// are sorted by name, so the first of an equal name is at the lower bound;
// a key above the last child's name (as every name of a table loaded or
// built in order is) is answered without a search.
size_t positionOf(const std::deque<IFile::FilePtr>& files, const char* key, size_t size) {
  if (files.empty() || compareName(*files.back(), key, size) < 0) return files.size();
  auto at = std::lower_bound(files.begin(), files.end(), key,
                             [size](const IFile::FilePtr& child, const char* k) {
                               return compareName(*child, k, size) < 0;
                             });
  if (at != files.end() && compareName(**at, key, size) == 0)
    return static_cast<size_t>(at - files.begin());
  return files.size();
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
  // order a full sort would give, at the cost of one binary search; a name
  // not below the last one (records added in name order) goes at the end.
  if (files.empty() || !fileCompare(file, files.back())) {
    files.push_back(std::move(file));
    return true;
  }
  auto at = std::upper_bound(files.begin(), files.end(), file, fileCompare);
  files.insert(at, std::move(file));
  return true;
}

size_t Directory::findChild(const std::string& name) const {
  return positionOf(files, name.data(), name.size());
}

const IFile::FilePtr* Directory::childNamed(const char* name, size_t hint) const {
  const size_t size = std::strlen(name);
  // The hint answers only when it names the first child of that name.
  if (hint < files.size() && compareName(*files[hint], name, size) == 0 &&
      (hint == 0 || compareName(*files[hint - 1], name, size) != 0))
    return &files[hint];
  const size_t at = positionOf(files, name, size);
  return at < files.size() ? &files[at] : nullptr;
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

void Directory::placeRecords(uint8_t* out, uint32_t headersEnd, uint64_t* count,
                             uint64_t* contentSize) {
  for (const FilePtr& child : files) {
    // A directory below contributes its children, not a record of its own.
    if (child->isDirectory()) {
      Directory* dir = dynamic_cast<Directory*>(child.get());
      if (dir != nullptr) dir->placeRecords(out, headersEnd, count, contentSize);
      continue;
    }
    uint8_t* header = nullptr;
    uint8_t* payload = nullptr;
    if (out != nullptr) {
      header = out + FCS_BUFFER_COUNT_SIZE + CFG_FILE_ENTRY_HEADER_SIZE * *count;
      payload = out + headersEnd + *contentSize;
    }
    uint32_t length = 0;
    if (!child->placeRecord(static_cast<uint32_t>(*contentSize), headersEnd, header, payload, &length))
      continue;
    ++*count;
    *contentSize += length;
  }
}

}  // namespace image_editor
