// The file table the store's tests select, and small helpers around handles.
#ifndef TARN_TESTS_FCS_FCS_TEST_TABLE_H
#define TARN_TESTS_FCS_FCS_TEST_TABLE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/FCS.h"
#include "storage/ToolsFileTable.h"
#include "support/fcs_buffer_writer.h"
#include "support/file_table_builder.h"

namespace fcs_test {

using tarn_test::Bytes;
using tarn_test::FcsRecord;
using tarn_test::get_u16;
using tarn_test::get_u32;
using tarn_test::put_u16;
using tarn_test::put_u32;

constexpr uint32_t kSku = 3;
// A name of exactly 48 characters, stored in the file table without terminator.
inline const std::string& kLongName() {
  static const std::string name = "/home/long/" + std::string(37, 'n');
  return name;
}

struct TableFile {
  const char* name;
  uint32_t fileno;
  uint16_t file_attributes;
  uint32_t max_file_size;
};

inline const std::vector<TableFile>& tableFiles() {
  static const std::vector<TableFile> files = {
      {"/home/a", 0x00010100, 0x0001, 16},
      {"/home/b", 0x00010200, 0x0102, 1000},
      {"B", 0x00020100, 0, 100},
      {"a", 0x00020200, 0, 100},
      {"ab", 0x00020300, 0, 100},
      {"b", 0x00020400, 0, 100},
      {"x", 0x00020500, 0, 100},
      {"/home/big", 0x00030100, 0x8000, 70000},
  };
  return files;
}
constexpr uint32_t kLongFileno = 0x00040100;
constexpr uint16_t kLongAttributes = 0x4043;
constexpr uint32_t kLongMax = 48;
// A number no entry has.
constexpr uint32_t kUnknownFileno = 0x00990000;

inline uint32_t filenoOf(const std::string& name) {
  if (name == kLongName()) return kLongFileno;
  for (const TableFile& f : tableFiles())
    if (name == f.name) return f.fileno;
  ADD_FAILURE() << "no file " << name;
  return 0;
}

// Selects the test table. Other tests select their own tables in the same
// process, so every test calls this first.
inline void selectTestTable() {
  static Bytes blob = [] {
    tarn_test::FtblSku sku;
    sku.sku = kSku;
    for (const TableFile& f : tableFiles()) {
      tarn_test::FtblFile entry;
      entry.name = f.name;
      entry.fileno = f.fileno;
      entry.file_attributes = f.file_attributes;
      entry.max_file_size = f.max_file_size;
      sku.files.push_back(entry);
    }
    tarn_test::FtblFile longEntry;
    longEntry.name = kLongName();
    longEntry.fileno = kLongFileno;
    longEntry.file_attributes = kLongAttributes;
    longEntry.max_file_size = kLongMax;
    sku.files.push_back(longEntry);
    return tarn_test::FileTableBuilder().sku(sku).build();
  }();
  ASSERT_EQ(0, load_file_table(reinterpret_cast<char*>(blob.data()), kSku,
                               static_cast<unsigned>(blob.size())));
}

inline FcsRecord rec(const std::string& name, Bytes payload, uint16_t attributes = 0) {
  FcsRecord r;
  r.name = name;
  r.fileno = filenoOf(name);
  r.attributes = attributes;
  r.payload = std::move(payload);
  return r;
}

inline Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + 7 * i);
  return b;
}

// Adds a record under its own name; returns the status.
inline int add(FCS_HANDLE h, const FcsRecord& r, bool enforce = false) {
  Bytes bytes = tarn_test::fcs_record(r);
  return addNewFile(h, "", r.name.c_str(), bytes.data(), static_cast<uint16_t>(bytes.size()),
                    enforce);
}

inline Bytes flushAll(FCS_HANDLE h) {
  uint32_t size = 0;
  Bytes probe(1);
  EXPECT_EQ(FCS_ERR_BUFFER_TOO_SMALL, flush(h, probe.data(), &size));
  Bytes out(size);
  EXPECT_EQ(FCS_OK, flush(h, out.data(), &size));
  EXPECT_EQ(out.size(), size);
  return out;
}

inline std::vector<std::string> listAll(FCS_HANDLE h) {
  std::vector<std::string> names;
  char name[FCS_FILE_NAME_BUFFER_SIZE];
  for (int s = getFirstFileInRoot(h, name); s == FCS_OK; s = getNextFile(h, name))
    names.push_back(name);
  return names;
}

inline Bytes recordOf(FCS_HANDLE h, const std::string& name) {
  Bytes out(70000);
  uint32_t size = static_cast<uint32_t>(out.size());
  EXPECT_EQ(FCS_OK, getFileData(h, name.c_str(), out.data(), &size)) << name;
  out.resize(size);
  return out;
}

class FcsTest : public ::testing::Test {
 protected:
  void SetUp() override { selectTestTable(); }
  void TearDown() override {
    if (handle != nullptr) closeHandle(&handle);
  }
  FCS_HANDLE handle = nullptr;
};

}  // namespace fcs_test

#endif  // TARN_TESTS_FCS_FCS_TEST_TABLE_H
