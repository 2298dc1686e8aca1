// Abstract node of the in-memory configuration-file tree behind an FCS handle.
//
// A node may hold one record: a 12-byte cfg_file_entry_t header followed by
// its payload, kept as a private copy in `file_data`. Its name is at most 48
// characters. Nodes are shared-owned (FilePtr): a directory owns its children,
// the handle record owns the root, and an iterator owns a second reference to
// the root. No node owns its parent.
//
// Members report refusals through bool or empty-string results. A failed
// allocation surfaces as std::bad_alloc; the handle API turns it into a status.
#ifndef TARN_FCS_IFILE_H
#define TARN_FCS_IFILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "internal_symbol.h"
#include "storage/ToolsFileTable.h"
#include "storage/storageDefs.h"

namespace image_editor {

class Directory;

// Longest node name, without its terminator.
constexpr uint32_t FCS_MAX_FILE_NAME_LENGTH = FILE_TABLE_NAME_SIZE;

class IFile {
 public:
  typedef std::shared_ptr<IFile> FilePtr;

  // A node without record or parent; every byte of its name is zero.
  IFile();
  virtual ~IFile();
  IFile(const IFile&) = delete;
  IFile& operator=(const IFile&) = delete;

  virtual bool isDirectory() const = 0;
  // Bytes this node and everything below it take in a serialised table,
  // without the table's count word.
  virtual uint32_t getSize() const = 0;
  virtual bool addFile(std::string path, FilePtr file) = 0;
  virtual bool deleteFile(std::string path) = 0;
  virtual bool getFile(std::string path, FilePtr* file) = 0;
  // Appends the records of this node and below, in name order: one header to
  // `entries` and the payload to `content` each. A header's offset is set to
  // where its payload starts in `content`, also in the node's own header.
  virtual void serialize(std::vector<cfg_file_entry_t>& entries, std::vector<uint8_t>& content) = 0;

  // The name, up to its terminator.
  std::string getFileName() const;
  // The name as a C string (always terminated).
  const char* getFileNameText() const;
  // parentPath, a slash and the name; or the name alone when parentPath is
  // empty.
  std::string getFullPath() const;
  // Copies the whole record to fileBuffer. *fileSize is the buffer's size on
  // entry and the record's size on return. false when fileSize is null, or
  // when the buffer is too small (record size written back, nothing copied),
  // or when fileBuffer is null while there are bytes to copy.
  bool getFileData(void* fileBuffer, uint32_t* fileSize) const;
  // Copies the 12-byte header to entry; false when the node holds no header
  // or entry is null.
  bool getAttributes(cfg_file_entry_t* entry) const;
  // This node's own record placed in a serialised table as a leaf's
  // serialize places it, without building the two lists: the stored
  // header's offset becomes `contentAt` (relative to the payloads) and
  // *length the payload bytes it adds. With `header` and `payload` not null
  // it also writes the header there, its offset moved by `headersEnd`, and
  // the payload. false, changing nothing, when the node holds no header.
  // Internal to the store: not exported.
  TARN_INTERNAL bool placeRecord(uint32_t contentAt, uint32_t headersEnd, uint8_t* header,
                                 uint8_t* payload, uint32_t* length);

  std::string parentPath;
  Directory* parentDirectory;  // not owned; never set by the store

 protected:
  // Makes `file_data` a copy of the fileSize bytes at fileBuffer. A record of
  // at least 12 bytes gets `file_entry` pointing at its header, and the
  // header's length set to fileSize - 12 (16 bits), so that the stored length
  // always matches the bytes kept. A shorter one holds no header.
  void setFileData(const void* fileBuffer, uint32_t fileSize);
  // Splits path at its first slash: "a/b/c" -> "a", "b/c"; "a/" -> "a", "";
  // "/a" -> "", "a"; a path without a slash -> path, "".
  void splitPath(std::string path, std::string& rootElement, std::string& nextPath) const;

  std::vector<uint8_t> file_data;
  char file_name[FCS_MAX_FILE_NAME_LENGTH + 1];
  cfg_file_entry_t* file_entry;  // header at the start of file_data, or null
};

}  // namespace image_editor

#endif  // TARN_FCS_IFILE_H
