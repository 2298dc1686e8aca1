// Loading the file table with its one allocation (the EFS file list)
// failing: the load answers 1, the new selection stays, and the EFS keeps
// the geometry and the list of the load before, together.
#include <gtest/gtest.h>

#include "flash/efs/EFS_autogen.h"
#include "storage/ToolsFileTable.h"
#include "support/alloc_fail/alloc_fail.h"
#include "support/file_table_builder.h"

using namespace tarn_test;

namespace {

EfstSku efsSku(uint32_t maxFiles, uint32_t bm, std::vector<EfstFile> files) {
  EfstSku s;
  s.sku = 5;
  s.bm_num = bm;
  s.max_file_num = maxFiles;
  s.files = std::move(files);
  return s;
}

TEST(FileTableAllocSweep, RefusedLoadKeepsTheFormerEfsList) {
  Bytes before = FileTableBuilder()
                     .sku({5, {ftbl_file("/home/old", 0x10000001)}})
                     .efs(efsSku(3, 4, {efst_file(2, 1, 8, 30)}))
                     .build();
  Bytes after = FileTableBuilder()
                    .sku({5, {ftbl_file("/home/new", 0x10000002)}})
                    .efs(efsSku(6, 9, {efst_file(5, 3, 16, 40)}))
                    .build();

  const size_t runs = sweep_allocations([&](size_t) {
    ASSERT_EQ(0, load_file_table(reinterpret_cast<char*>(before.data()), 5, static_cast<unsigned>(before.size())));
    const EFS_file_descriptor_t* formerList = EFS_files;
    int status;
    {
      AllocWindow window;
      status = load_file_table(reinterpret_cast<char*>(after.data()), 5, static_cast<unsigned>(after.size()));
    }
    // The selection is made before the EFS part is read, and stays.
    EXPECT_NE(nullptr, get_file_entry_by_file_name("/home/new"));
    if (status == 0) {
      EXPECT_EQ(9u, g_efs_bm_num);
      EXPECT_EQ(6u, g_efs_files_num);
      EXPECT_EQ(1u, static_cast<unsigned>(EFS_files[5].Flags.bits.valid));
      EXPECT_EQ(40u, static_cast<unsigned>(EFS_files[5].Max_length));
    } else {
      EXPECT_TRUE(alloc_failure_injected());
      EXPECT_EQ(1, status);
      EXPECT_EQ(formerList, EFS_files);
      EXPECT_EQ(4u, g_efs_bm_num);
      EXPECT_EQ(3u, g_efs_files_num);
      EXPECT_EQ(30u, static_cast<unsigned>(EFS_files[2].Max_length));
    }
    clear_file_table_selection();
  });
  // The selection's lookup index (without it the lookups walk the table, so a
  // load whose index cannot be built still succeeds), the list, then a run in
  // which nothing fails.
  EXPECT_EQ(4u, runs);
}

}  // namespace
