// Depth-first, pre-order walk over a configuration-file tree in name order,
// one name per step. The walk's state is the directory being walked and the
// index of the child last yielded in it; only firstFile resets it.
#ifndef TARN_FCS_FILEITERATOR_H
#define TARN_FCS_FILEITERATOR_H

#include <cstdint>
#include <memory>
#include <string>

#include "fcs/Directory.h"
#include "internal_symbol.h"

namespace image_editor {

class FileIterator {
 public:
  typedef std::shared_ptr<FileIterator> FileIteratorPtr;

  // Keeps a reference to root and starts the walk (firstFile).
  explicit FileIterator(IFile::FilePtr root);
  ~FileIterator();
  FileIterator(const FileIterator&) = delete;
  FileIterator& operator=(const FileIterator&) = delete;

  // Restarts the walk at the root's first child and returns its name; the
  // empty string when the root is not a directory or has no children. The
  // position is reset before the name is built.
  std::string firstFile();
  // Resets the position as firstFile does, without building the name; never
  // throws. Internal to the store: not exported.
  TARN_INTERNAL void restart();
  // The full path of the next node, descending into non-empty directories
  // and climbing through parentDirectory; the empty string once the walk is
  // over, and on every call after that.
  std::string nextFile();

  IFile::FilePtr root;
  Directory* currentDir;  // not owned; null until firstFile finds a directory root
  int32_t lastFileIndexInDir;
};

}  // namespace image_editor

#endif  // TARN_FCS_FILEITERATOR_H
