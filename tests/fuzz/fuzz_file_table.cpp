#include "fuzz_file_table.h"

#include <cstring>

#include "fuzz_support.h"
#include "storage/ToolsFileTable.h"

namespace tarn_fuzz {

using tarn_test::FtblFile;
using tarn_test::ftbl_file;

const std::vector<FtblFile>& table_files() {
  static const std::vector<FtblFile> files = {
      ftbl_file("/home/a", 0x10000101, 0x0001, 8),
      ftbl_file("/home/a/b", 0x10000102, 0x0003, 16),
      ftbl_file("/home/ab", 0x10000103, 0x0000, 0),
      ftbl_file("B", 0x20000001, 0x0000, 100),
      ftbl_file("a", 0x20000002, 0x0000, 100),
      ftbl_file("x/", 0x20000003, 0x0000, 100),
      ftbl_file("/home/long/" + std::string(37, 'n'), 0x30000001, 0x4043, 48),
      ftbl_file("", 0x30000002, 0x0000, 100),
      ftbl_file("/home/zero", 0x00000000, 0x0000, 100),
      ftbl_file("/home/dup1", 0x30000003, 0x0000, 100),
      ftbl_file("/home/dup2", 0x30000003, 0x0000, 100),
      ftbl_file("/home/big", 0x30000004, 0x8000, 70000),
  };
  return files;
}

tarn_test::Bytes& table_blob() {
  static tarn_test::Bytes blob = [] {
    tarn_test::FtblSku sku;
    sku.sku = kTableSku;
    sku.files = table_files();
    return tarn_test::FileTableBuilder().sku(sku).build();
  }();
  return blob;
}

void select_table() {
  tarn_test::Bytes& blob = table_blob();
  FUZZ_CHECK(load_file_table(reinterpret_cast<char*>(blob.data()), kTableSku,
                             static_cast<unsigned>(blob.size())) == 0);
}

std::string stored_name(const FtblFile& file) {
  return file.name.substr(0, file.name.size() < 48 ? file.name.size() : 48);
}

const FtblFile* file_by_name(const std::string& name) {
  for (const FtblFile& f : table_files()) {
    char field[48] = {};
    std::memcpy(field, f.name.data(), f.name.size() < 48 ? f.name.size() : 48);
    if (std::strncmp(field, name.c_str(), 48) == 0) return &f;
  }
  return nullptr;
}

const FtblFile* file_by_fileno(uint32_t fileno) {
  for (const FtblFile& f : table_files())
    if (f.fileno == fileno) return &f;
  return nullptr;
}

}  // namespace tarn_fuzz
