// The minimal VFS: DFS numbers composed from file-table entries, and its
// results for missing paths and outputs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/ToolsFileTable.h"
#include "support/file_table_builder.h"
#include "tarnstoragelib.h"

namespace {

using tarn_test::FtblFile;

struct NumberCase {
  uint32_t uniqueFileno;  // only its media type (bits 28-31) counts
  uint16_t mediaTypeFileno;
  uint8_t subMediaType;
  unsigned expected;
};

TEST(MiniVfs, ComposesDfsNumbersFromFileTableEntries) {
  const NumberCase cases[] = {
      {0x10000050, 6, 0, 0x10000006},       // AFS file 6 of media type 1
      {0x10000051, 0x0806, 0, 0x10000006},  // bits above bit 10 dropped
      {0x10000052, 0x123, 2, 0x10001123},   // EFS
      {0x10000053, 0x123, 1, 0x10000123},   // PFS numbered as AFS
      {0x10000054, 0x123, 3, 0x10001923},   // FDCR
      {0x10000055, 0x123, 5, 0x10002923},   // the sub-media type is not masked
      {0xF0FFFF56, 0x7FF, 0, 0xF00007FF},   // only the media type of the unique number
  };
  std::vector<FtblFile> files;
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    FtblFile f = tarn_test::ftbl_file("/v/" + std::to_string(i), cases[i].uniqueFileno);
    f.media_type_fileno = cases[i].mediaTypeFileno;
    f.sub_media_type = cases[i].subMediaType;
    files.push_back(f);
  }
  tarn_test::Bytes blob = tarn_test::FileTableBuilder().sku({7, files}).build();
  ASSERT_EQ(load_file_table(reinterpret_cast<char*>(blob.data()), 7,
                            static_cast<unsigned>(blob.size())),
            0);

  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    std::string path = "/v/" + std::to_string(i);
    unsigned number = 0;
    EXPECT_EQ(pathToFileNumber(&path[0], &number), 0) << path;
    EXPECT_EQ(number, cases[i].expected) << path;
  }

  std::string known = "/v/0", unknown = "/v/9";
  unsigned untouched = 0xA5A5A5A5;
  EXPECT_EQ(pathToFileNumber(&known[0], nullptr), 1);
  EXPECT_EQ(pathToFileNumber(&unknown[0], &untouched), 2);
  EXPECT_EQ(pathToFileNumber(nullptr, &untouched), 2);
  char buffer[4];
  EXPECT_EQ(readVfs(&unknown[0], 0, buffer, sizeof buffer), 2);
  clear_file_table_selection();
  EXPECT_EQ(pathToFileNumber(&known[0], &untouched), 2);
  EXPECT_EQ(untouched, 0xA5A5A5A5u);
}

}  // namespace
