#include "fcs/FileIterator.h"

#include <cstring>

namespace image_editor {

namespace {

int32_t childCount(const std::deque<IFile::FilePtr>& files) {
  return static_cast<int32_t>(files.size());
}

// The walk's root as a directory, or null when it is none.
Directory* asDirectory(const IFile::FilePtr& root) {
  return root && root->isDirectory() ? dynamic_cast<Directory*>(root.get()) : nullptr;
}

}  // namespace

FileIterator::FileIterator(IFile::FilePtr walkRoot)
    : root(std::move(walkRoot)), currentDir(nullptr), lastFileIndexInDir(0) {
  firstFile();
}

FileIterator::~FileIterator() {}

void FileIterator::restart() {
  Directory* dir = asDirectory(root);
  if (dir == nullptr) return;
  currentDir = dir;
  if (!currentDir->files.empty()) lastFileIndexInDir = 0;
}

std::string FileIterator::firstFile() {
  restart();
  const Directory* dir = asDirectory(root);
  if (dir == nullptr || dir->files.empty()) return std::string();
  return dir->files[0]->getFileName();
}

std::string FileIterator::nextFile() {
  if (currentDir == nullptr || currentDir->files.empty()) return std::string();
  // The index names a child while the tree is changed only through the
  // handle API (which restarts the walk after every change); anything else
  // ends the walk rather than reading outside the children.
  if (lastFileIndexInDir < 0 || lastFileIndexInDir >= childCount(currentDir->files))
    return std::string();

  IFile* node = currentDir->files[static_cast<size_t>(lastFileIndexInDir)].get();
  if (node->isDirectory()) {
    Directory* sub = dynamic_cast<Directory*>(node);
    if (sub != nullptr && !sub->files.empty()) {
      currentDir = sub;
      lastFileIndexInDir = 0;
      return sub->files[0]->getFullPath();
    }
  }

  if (lastFileIndexInDir < childCount(currentDir->files) - 1) {
    ++lastFileIndexInDir;
    return currentDir->files[static_cast<size_t>(lastFileIndexInDir)]->getFullPath();
  }

  // Climb until a directory with a following sibling is found.
  for (;;) {
    Directory* parent = currentDir->parentDirectory;
    if (parent == nullptr) return std::string();
    lastFileIndexInDir = -1;
    for (int32_t i = 0; i < childCount(parent->files); ++i) {
      if (std::strcmp(parent->files[static_cast<size_t>(i)]->getFileNameText(),
                      currentDir->getFileNameText()) == 0) {
        lastFileIndexInDir = i;
        break;
      }
    }
    if (lastFileIndexInDir < 0) return std::string();
    currentDir = parent;
    if (lastFileIndexInDir < childCount(parent->files) - 1) break;
  }
  ++lastFileIndexInDir;
  return currentDir->files[static_cast<size_t>(lastFileIndexInDir)]->getFullPath();
}

}  // namespace image_editor
