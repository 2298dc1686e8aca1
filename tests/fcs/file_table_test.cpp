#include <gtest/gtest.h>

#include "storage/ToolsFileTable.h"
#include "support/file_table_builder.h"

using namespace tarn_test;

TEST(FileTable, Placeholder) {
  Bytes blob = FileTableBuilder().sku({7, {{"/home/a", 0x100}}}).build();
  EXPECT_EQ(0, load_file_table(reinterpret_cast<char*>(blob.data()), 7, blob.size()));
}
