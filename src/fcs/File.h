// Leaf node of the configuration-file tree: one record under one name.
#ifndef TARN_FCS_FILE_H
#define TARN_FCS_FILE_H

#include "fcs/IFile.h"

namespace image_editor {

class File : public IFile {
 public:
  // Copies the record (fileSize bytes, header included) and the name, cut to
  // its first 48 characters. The stored header's length becomes
  // fileSize - 12; a record shorter than 12 bytes is kept without a header.
  File(const void* fileBuffer, uint32_t fileSize, const char* fileName);
  ~File() override;

  bool isDirectory() const override;
  // 12 + payload bytes (the size of the record kept).
  uint32_t getSize() const override;
  // A leaf has no children: these three answer false and change nothing.
  bool addFile(std::string path, FilePtr file) override;
  bool deleteFile(std::string path) override;
  bool getFile(std::string path, FilePtr* file) override;
  // Appends this record; a node without a header appends nothing.
  void serialize(std::vector<cfg_file_entry_t>& entries, std::vector<uint8_t>& content) override;
};

}  // namespace image_editor

#endif  // TARN_FCS_FILE_H
