// A host linked against the shared library itself (on Windows through the
// import library TarnStorageLib.dll.a) instead of the static archive. The
// exported variables must reach the library's own instances: an import
// library that offered a code stub under a variable's name would let the host
// read the stub's bytes instead.
#include <gtest/gtest.h>

#include <cstdint>

#include "storage/ToolsFileTable.h"
#include "support/file_table_builder.h"
#include "tarnstoragelib.h"

namespace {

using tarn_test::FileTableBuilder;
using tarn_test::ftbl_file;

TEST(ImportLibrary, ExportedVariablesFollowTheLibrarysSelection) {
  FileTableBuilder builder;
  builder.sku({3, {ftbl_file("/a", 0x10000001)}})
      .sku({9, {ftbl_file("/b", 0x10000002), ftbl_file("/c", 0x10000003),
                ftbl_file("/d", 0x10000004)}});
  tarn_test::Bytes blob = builder.build();
  char* buffer = reinterpret_cast<char*>(blob.data());
  const struct {
    unsigned sku;
    size_t table;
    int32_t files;
    const char* last;
  } cases[] = {{9, 1, 3, "/d"}, {3, 0, 1, "/a"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sku);
    ASSERT_EQ(load_file_table(buffer, c.sku, static_cast<unsigned>(blob.size())), 0);
    EXPECT_EQ(g_dfs_sku, static_cast<int32_t>(c.sku));
    EXPECT_EQ(g_table_num_files, c.files);
    EXPECT_EQ(reinterpret_cast<char*>(g_table_buf), buffer + builder.ftbl_array_at(c.table));
    EXPECT_EQ(get_file_entry_by_file_name(c.last), g_table_buf + (c.files - 1));
  }
  clear_file_table_selection();
  EXPECT_EQ(g_table_buf, nullptr);
  EXPECT_EQ(g_table_num_files, 0);
  EXPECT_EQ(g_dfs_sku, -1);
}

// The host interface's C and C++ names both bind through the import library.
TEST(ImportLibrary, EntryPointsAnswerBeforeStartUp) {
  EXPECT_FALSE(kyMfsIsInitialized());
  EXPECT_FALSE(kyFcsIsInitialized());
  EXPECT_FALSE(kyMfsIsVfsDeployed());
}

}  // namespace
