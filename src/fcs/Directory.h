// Directory node of the configuration-file tree: child nodes kept sorted by
// name. The handle API builds one unnamed root directory whose children are
// all files, each named by its whole file-table name, slashes included.
#ifndef TARN_FCS_DIRECTORY_H
#define TARN_FCS_DIRECTORY_H

#include <cstddef>
#include <deque>

#include "fcs/IFile.h"
#include "internal_symbol.h"

namespace image_editor {

class FileIterator;

// True when a's name sorts before b's: byte by byte as unsigned characters,
// a proper prefix before the longer name ("B" < "a" < "ab" < "b").
bool fileCompare(const IFile::FilePtr& a, const IFile::FilePtr& b);

class Directory : public IFile {
 public:
  // An empty directory without name or record.
  Directory();
  // The same, then keeps a record as File does.
  Directory(const void* fileBuffer, uint32_t fileSize);
  // Releases every child it owns.
  ~Directory() override;

  bool isDirectory() const override;
  // Its own record's size plus getSize of every child.
  uint32_t getSize() const override;
  // Inserts `file` in name order (after any child of an equal name) and
  // returns true. `path` is not used and nothing is refused: callers check
  // for an existing name with getFile first.
  bool addFile(std::string path, FilePtr file) override;
  // Splits `path` at its first slash and looks for the child named by the
  // part before it: with nothing after the slash (or no slash) that child is
  // removed ("x/" and "x" remove the child x); otherwise the rest is deleted
  // inside that child ("d/e"). A path starting with a slash matches nothing.
  bool deleteFile(std::string path) override;
  // Finds the direct child whose name equals `path` exactly (slashes are not
  // special); false when none, or when file is null.
  bool getFile(std::string path, FilePtr* file) override;
  // Removes the first direct child whose name equals `name` exactly (slashes
  // are not special); false, changing nothing, when there is none.
  bool eraseChild(const std::string& name);
  // The first direct child named `name` (up to its NUL), as getFile finds
  // it, or null; no string is built. `hint` is the position the caller
  // expects it at (the child just listed, say), tried first; any value is
  // safe. Internal to the store: not exported.
  TARN_INTERNAL const FilePtr* childNamed(const char* name, size_t hint) const;
  // Serialises every child in name order.
  void serialize(std::vector<cfg_file_entry_t>& entries, std::vector<uint8_t>& content) override;
  // The records serialize would give, placed straight into a serialised
  // table instead of two lists: each record's stored offset is set as
  // serialize sets it, *count and *contentSize grow by its header and its
  // payload bytes, and with `out` not null its header is written at
  // out + 4 + 12 * (its index) and its payload at out + headersEnd + (its
  // offset). Sizes are counted in 64 bits. Internal to the store: not
  // exported.
  TARN_INTERNAL void placeRecords(uint8_t* out, uint32_t headersEnd, uint64_t* count,
                                  uint64_t* contentSize);

 protected:
  friend class FileIterator;

  // Position of the first child named `name`, or files.size().
  size_t findChild(const std::string& name) const;

  std::deque<FilePtr> files;
};

}  // namespace image_editor

#endif  // TARN_FCS_DIRECTORY_H
