// Writes file-table blobs ("ftbl.bin"): the "FTBL" header with its per-SKU
// entries, the "EFST" part, and the entry arrays, from the byte tables of the
// format. Tests patch fields afterwards (through the *_at offsets) to make
// broken or hostile blobs.
#ifndef TARN_TESTS_SUPPORT_FILE_TABLE_BUILDER_H
#define TARN_TESTS_SUPPORT_FILE_TABLE_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace tarn_test {

// One 68-byte file-table entry.
struct FtblFile {
  std::string name;  // written into 48 bytes; 48 or more characters leave no terminator
  uint32_t fileno = 0;
  uint16_t file_attributes = 0;
  uint16_t media_type_fileno = 0;
  uint8_t sub_media_type = 0;
  uint32_t max_file_size = 0;
  uint16_t group_id = 0, user_id = 0, permissions = 0;
};

// The usual entry: a name, a number, attributes and a size limit.
inline FtblFile ftbl_file(const std::string& name, uint32_t fileno, uint16_t file_attributes = 0,
                          uint32_t max_file_size = 0) {
  FtblFile f;
  f.name = name;
  f.fileno = fileno;
  f.file_attributes = file_attributes;
  f.max_file_size = max_file_size;
  return f;
}

struct FtblSku {
  uint32_t sku = 0;
  std::vector<FtblFile> files;
};

// One 60-byte "EFST" file entry.
struct EfstFile {
  uint16_t fileno = 0;
  std::string name;
  uint16_t logical_block = 0;
  uint16_t offset_in_block = 0;
  uint16_t max_size = 0;
};

inline EfstFile efst_file(uint16_t fileno, uint16_t logical_block, uint16_t offset_in_block,
                          uint16_t max_size) {
  EfstFile f;
  f.fileno = fileno;
  f.logical_block = logical_block;
  f.offset_in_block = offset_in_block;
  f.max_size = max_size;
  return f;
}

struct EfstSku {
  uint32_t sku = 0;
  uint32_t bm_num = 2, valid_block_num = 7, non_valid_block_num = 3;
  uint32_t max_file_num = 16;
  uint32_t wear_leveling_threshold = 100;
  uint32_t layout_id = 0;
  std::vector<EfstFile> files;
};

class FileTableBuilder {
 public:
  FileTableBuilder& sku(FtblSku s) { ftbl_.push_back(std::move(s)); return *this; }
  FileTableBuilder& efs(EfstSku s) { efst_.push_back(std::move(s)); return *this; }
  // Without an "EFST" part the bytes at the EFST offset stay zero.
  FileTableBuilder& without_efst() { with_efst_ = false; return *this; }

  // Lays out: FTBL header and entries, EFST header and entries, each FTBL
  // entry array, each EFST file array; then pads with zeros to `min_size`.
  Bytes build(size_t min_size = 1024);

  // Byte offsets inside the last built blob, for patching.
  static size_t ftbl_entry_at(size_t i) { return 16 + 16 * i; }
  size_t efst_at() const { return (ftbl_.size() + 1) * 16; }
  size_t efst_entry_at(size_t i) const { return efst_at() + 16 + 40 * i; }
  size_t ftbl_array_at(size_t i) const { return ftbl_array_at_[i]; }
  size_t efst_array_at(size_t i) const { return efst_array_at_[i]; }

 private:
  std::vector<FtblSku> ftbl_;
  std::vector<EfstSku> efst_;
  bool with_efst_ = true;
  std::vector<size_t> ftbl_array_at_, efst_array_at_;
};

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_FILE_TABLE_BUILDER_H
