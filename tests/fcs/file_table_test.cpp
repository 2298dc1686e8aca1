// Selection of a SKU's table in the file-table blob, and the lookups over it.
#include <gtest/gtest.h>

#include <cstring>

#include "flash/efs/EFS_autogen.h"
#include "storage/ToolsFileTable.h"
#include "support/file_table_builder.h"

using namespace tarn_test;

namespace {

// What the lookups saw before any test ran: the globals are constant-initialised,
// so this dynamic initialiser runs after them and before any load.
struct InitialState {
  const void* table_buf = g_table_buf;
  int32_t num_files = g_table_num_files;
  int32_t sku = g_dfs_sku;
  const void* by_name = get_file_entry_by_file_name("/home/a");
  const void* by_number = [] {
    fileno_t n{0x100};
    return static_cast<const void*>(get_file_entry_by_fileno(&n));
  }();
} const initial;

int load(Bytes& blob, unsigned sku, size_t size) {
  return load_file_table(reinterpret_cast<char*>(blob.data()), sku, static_cast<unsigned>(size));
}
int load(Bytes& blob, unsigned sku) { return load(blob, sku, blob.size()); }

// A blob whose SKU 7 table holds "/home/sku7" and SKU 8 table "/home/sku8".
Bytes two_skus() {
  return FileTableBuilder()
      .sku({7, {ftbl_file("/home/sku7", 0x0701)}})
      .sku({8, {ftbl_file("/home/sku8", 0x0801)}})
      .build();
}

}  // namespace

TEST(FileTable, StartsWithNothingSelected) {
  EXPECT_EQ(nullptr, initial.table_buf);
  EXPECT_EQ(0, initial.num_files);
  EXPECT_EQ(-1, initial.sku);
  EXPECT_EQ(nullptr, initial.by_name);
  EXPECT_EQ(nullptr, initial.by_number);
}

TEST(FileTable, BlobSizeSignatureAndTableCountAreChecked) {
  Bytes ok = two_skus();
  Bytes keep = FileTableBuilder().sku({1, {ftbl_file("/home/keep", 1)}}).build();
  ASSERT_EQ(0, load(keep, 1));

  EXPECT_EQ(1, load(ok, 7, 1023));
  Bytes bad_signature = ok;
  bad_signature[0] = 'X';
  EXPECT_EQ(1, load(bad_signature, 7));
  Bytes eleven = FileTableBuilder().build();
  put_u32(eleven, 12, 11);
  EXPECT_EQ(1, load(eleven, 7));
  // None of the refused loads touched the selection.
  EXPECT_EQ(1, g_dfs_sku);
  EXPECT_NE(nullptr, get_file_entry_by_file_name("/home/keep"));

  EXPECT_EQ(0, load(ok, 8, 1024));
  EXPECT_EQ(8, g_dfs_sku);
  EXPECT_NE(nullptr, get_file_entry_by_file_name("/home/sku8"));

  FileTableBuilder ten;
  for (uint32_t i = 0; i < 10; ++i) ten.sku({100 + i, {ftbl_file("/home/t" + std::to_string(i), i)}});
  Bytes ten_blob = ten.build();
  EXPECT_EQ(0, load(ten_blob, 109));
  EXPECT_NE(nullptr, get_file_entry_by_file_name("/home/t9"));
}

TEST(FileTable, FirstEntryOfADuplicatedSkuWins) {
  Bytes blob = FileTableBuilder()
                   .sku({5, {ftbl_file("/home/first", 1)}})
                   .sku({5, {ftbl_file("/home/second", 2)}})
                   .build();
  ASSERT_EQ(0, load(blob, 5));
  EXPECT_NE(nullptr, get_file_entry_by_file_name("/home/first"));
  EXPECT_EQ(nullptr, get_file_entry_by_file_name("/home/second"));
}

TEST(FileTable, UnknownSkuKeepsThePreviousSelection) {
  Bytes blob = two_skus();
  ASSERT_EQ(0, load(blob, 7));
  const tools_file_entry_in_table_t* before = g_table_buf;
  EXPECT_EQ(0, load(blob, 99));  // the EFS loader finds nothing for 99 either: 0
  EXPECT_EQ(before, g_table_buf);
  EXPECT_EQ(7, g_dfs_sku);
  EXPECT_NE(nullptr, get_file_entry_by_file_name("/home/sku7"));

  // The result is the EFS loader's: a broken EFST part gives 1 even so.
  Bytes broken = FileTableBuilder().sku({7, {}}).efs({99, 2, 7, 3, 16, 100, 0, {}}).build();
  put_u32(broken, FileTableBuilder().sku({7, {}}).efst_entry_at(0) + 12, 1);  // table_size > 0 x 60
  EXPECT_EQ(1, load(broken, 99));
  EXPECT_EQ(before, g_table_buf);
}

TEST(FileTable, ClearingTheSelectionLeavesNothingToFind) {
  Bytes blob = two_skus();
  ASSERT_EQ(0, load(blob, 7));
  ASSERT_NE(nullptr, get_file_entry_by_file_name("/home/sku7"));

  clear_file_table_selection();
  EXPECT_EQ(nullptr, g_table_buf);
  EXPECT_EQ(0, g_table_num_files);
  EXPECT_EQ(-1, g_dfs_sku);
  EXPECT_EQ(nullptr, get_file_entry_by_file_name("/home/sku7"));
  fileno_t n{0x0701};
  EXPECT_EQ(nullptr, get_file_entry_by_fileno(&n));
  n.value = 0xDEADBEEF;
  EXPECT_EQ(FILE_TABLE_NOT_FOUND, get_fileno_by_file_name("/home/sku7", &n));
  EXPECT_EQ(0xDEADBEEFu, n.value);

  // The blob is untouched: the same SKU can be selected again.
  ASSERT_EQ(0, load(blob, 7));
  EXPECT_NE(nullptr, get_file_entry_by_file_name("/home/sku7"));
}

TEST(FileTable, EntryArrayMustLieInsideTheBlob) {
  Bytes keep = two_skus();
  ASSERT_EQ(0, load(keep, 7));
  const tools_file_entry_in_table_t* before = g_table_buf;

  // An EFST entry for the SKU shows whether the EFS loader was reached.
  FileTableBuilder b;
  b.sku({3, {ftbl_file("/home/x", 1)}}).efs({3, 9, 9, 9, 16, 1, 0, {}});
  Bytes blob = b.build();
  const uint32_t bm_before = g_efs_bm_num;

  put_u32(blob, FileTableBuilder::ftbl_entry_at(0) + 4, static_cast<uint32_t>(blob.size()) + 1);
  EXPECT_EQ(1, load(blob, 3));
  EXPECT_EQ(bm_before, g_efs_bm_num);  // loader not called
  EXPECT_EQ(before, g_table_buf);

  // Starting inside but running past the end: refused, nothing read past it.
  put_u32(blob, FileTableBuilder::ftbl_entry_at(0) + 4, static_cast<uint32_t>(blob.size()) - 68);
  put_u32(blob, FileTableBuilder::ftbl_entry_at(0) + 8, 2);
  EXPECT_EQ(1, load(blob, 3));
  // A count whose byte length wraps 32 bits (68 x 0x04000000 = 0x1'1000'0000).
  put_u32(blob, FileTableBuilder::ftbl_entry_at(0) + 4, 16);
  put_u32(blob, FileTableBuilder::ftbl_entry_at(0) + 8, 0x04000000);
  EXPECT_EQ(1, load(blob, 3));
  EXPECT_EQ(before, g_table_buf);
  EXPECT_EQ(7, g_dfs_sku);

  // An empty table that starts exactly at the end is accepted.
  put_u32(blob, FileTableBuilder::ftbl_entry_at(0) + 4, static_cast<uint32_t>(blob.size()));
  put_u32(blob, FileTableBuilder::ftbl_entry_at(0) + 8, 0);
  EXPECT_EQ(0, load(blob, 3));
  EXPECT_EQ(3, g_dfs_sku);
  EXPECT_EQ(0, g_table_num_files);
  EXPECT_EQ(nullptr, get_file_entry_by_file_name("/home/x"));
  EXPECT_EQ(9u, g_efs_bm_num);
}

TEST(FileTable, LookupsByNameAndNumber) {
  const std::string long48(48, 'n');  // no terminator in the table
  Bytes blob = FileTableBuilder()
                   .sku({4,
                         {ftbl_file("/home/a", 0x11223344, 0x0241, 512), ftbl_file(long48, 0x55),
                          ftbl_file("/home/a", 0x66)}})
                   .build();
  ASSERT_EQ(0, load(blob, 4));

  fileno_t n{0xDEADBEEF};
  EXPECT_EQ(0u, get_fileno_by_file_name("/home/a", &n));
  EXPECT_EQ(0x11223344u, n.value);  // first match wins
  EXPECT_EQ(0x44u, n.fields.serial_file_num);
  EXPECT_EQ(0x2233u, n.fields.base_file_num);
  EXPECT_EQ(0x1u, n.fields.flags);
  EXPECT_EQ(0x1u, n.fields.media_type);
  n.value = 0xDEADBEEF;
  EXPECT_EQ(FILE_TABLE_NOT_FOUND, get_fileno_by_file_name("/home/b", &n));
  EXPECT_EQ(0xDEADBEEFu, n.value);

  // A 48-character name is found by itself and by any longer query with its prefix.
  EXPECT_NE(nullptr, get_file_entry_by_file_name(long48.c_str()));
  EXPECT_NE(nullptr, get_file_entry_by_file_name((long48 + "tail").c_str()));
  EXPECT_EQ(nullptr, get_file_entry_by_file_name(long48.substr(0, 47).c_str()));

  char name[50];
  std::memset(name, '#', sizeof name);
  fileno_t long_no{0x55};
  EXPECT_EQ(0u, get_file_name_by_fileno(&long_no, name));
  EXPECT_EQ(0, std::memcmp(name, long48.data(), 48));
  EXPECT_EQ('#', name[48]);  // no terminator written
  fileno_t missing{0x77};
  std::memset(name, '#', sizeof name);
  EXPECT_EQ(FILE_TABLE_NOT_FOUND, get_file_name_by_fileno(&missing, name));
  EXPECT_EQ('#', name[0]);

  tools_file_entry_in_table_t* e = get_file_entry_by_fileno(&long_no);
  ASSERT_NE(nullptr, e);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(e), blob.data() + 16 + 16 + 16 + 68);  // entry 1 of the array

  file_attributes_t attributes{0};
  unsigned max = 7;
  EXPECT_EQ(0u, get_file_attributes_by_file_name("/home/a", &attributes, &max));
  EXPECT_EQ(0x0241, attributes.value);
  EXPECT_EQ(1u, attributes.bits.integrity_protection);
  EXPECT_EQ(1u, attributes.bits.use_unlock_available_key);
  EXPECT_EQ(1u, attributes.bits.rtfd);
  EXPECT_EQ(512u, max);
  attributes.value = 0x1234;
  EXPECT_EQ(FILE_TABLE_NOT_FOUND, get_file_attributes_by_file_name("/home/a", &attributes, nullptr));
  EXPECT_EQ(0x1234, attributes.value);
  EXPECT_EQ(FILE_TABLE_NOT_FOUND, get_file_attributes_by_file_name("/home/zz", &attributes, &max));
  EXPECT_EQ(512u, max);
}

TEST(FileTable, DuplicatedNumbersAndAReloadedBlob) {
  FileTableBuilder builder;
  builder.sku({5, {ftbl_file("/home/x", 0x42), ftbl_file("/home/y", 0x42)}});
  Bytes blob = builder.build();
  ASSERT_EQ(0, load(blob, 5));
  fileno_t number{0x42};
  char name[FILE_TABLE_NAME_SIZE];
  ASSERT_EQ(0u, get_file_name_by_fileno(&number, name));
  EXPECT_STREQ("/home/x", name);  // first entry wins

  // The same blob, changed in place and selected again, is looked up afresh.
  put_text(blob, builder.ftbl_array_at(0), "/home/z", FILE_TABLE_NAME_SIZE);
  ASSERT_EQ(0, load(blob, 5));
  EXPECT_EQ(nullptr, get_file_entry_by_file_name("/home/x"));
  EXPECT_EQ(reinterpret_cast<uint8_t*>(get_file_entry_by_file_name("/home/z")),
            blob.data() + builder.ftbl_array_at(0));
  ASSERT_EQ(0u, get_file_name_by_fileno(&number, name));
  EXPECT_STREQ("/home/z", name);
}

// The entry array lies wherever the blob's offset says, on any byte: every
// lookup copies its fields without assuming them aligned (a sanitizer build
// stops on a misaligned access).
TEST(FileTable, LookupsInAnArrayAtAnUnalignedOffset) {
  for (uint32_t shift : {1u, 2u, 3u, 5u}) {
    SCOPED_TRACE(shift);
    FileTableBuilder b;
    b.sku({6, {ftbl_file("/home/u", 0x10203040, 0x0105, 77)}});
    Bytes blob = b.build();
    // Move the array `shift` bytes on and point the entry at it.
    const size_t at = b.ftbl_array_at(0);
    blob.insert(blob.begin() + static_cast<std::ptrdiff_t>(at), shift, 0xA5);
    put_u32(blob, FileTableBuilder::ftbl_entry_at(0) + 4, static_cast<uint32_t>(at + shift));
    ASSERT_EQ(0, load(blob, 6));

    fileno_t number{0};
    ASSERT_EQ(0u, get_fileno_by_file_name("/home/u", &number));
    EXPECT_EQ(0x10203040u, number.value);
    char name[49] = {};
    ASSERT_EQ(0u, get_file_name_by_fileno(&number, name));
    EXPECT_STREQ("/home/u", name);
    file_attributes_t attributes{0};
    unsigned max = 0;
    ASSERT_EQ(0u, get_file_attributes_by_file_name("/home/u", &attributes, &max));
    EXPECT_EQ(0x0105, attributes.value);
    EXPECT_EQ(77u, max);
  }
}
