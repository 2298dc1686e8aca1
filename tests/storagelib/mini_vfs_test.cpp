// The minimal VFS: DFS numbers composed from file-table entries, and its
// results for missing paths and outputs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/ToolsFileTable.h"
#include "support/afs_volume_image.h"
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

TEST(MiniVfs, MountsAndReadsByPath) {
  const uint32_t partition = 0x8000;
  tarn_test::Bytes blank(partition, 0xFF);
  EXPECT_EQ(mini_vfs_init(blank.data(), partition), 1);
  EXPECT_EQ(mini_vfs_init(nullptr, partition), 1);

  tarn_test::AfsVolumeWriter writer(partition, 128);
  writer.add_file(0x41, {'v', 'f', 's'});
  tarn_test::Bytes volume = writer.build();
  ASSERT_EQ(mini_vfs_init(volume.data(), partition), 0);
  FtblFile present = tarn_test::ftbl_file("/vfs/present", 0x10000001);
  present.media_type_fileno = 0x41;
  FtblFile absent = tarn_test::ftbl_file("/vfs/absent", 0x10000002);
  absent.media_type_fileno = 0x42;
  tarn_test::Bytes blob = tarn_test::FileTableBuilder().sku({7, {present, absent}}).build();
  ASSERT_EQ(load_file_table(reinterpret_cast<char*>(blob.data()), 7,
                            static_cast<unsigned>(blob.size())),
            0);

  // A read shorter than asked for still succeeds; a file the volume lacks
  // fails with 6.
  std::string path = "/vfs/present", missing = "/vfs/absent";
  char buffer[16] = {};
  EXPECT_EQ(readVfs(&path[0], 0, buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), "vfs");
  EXPECT_EQ(readVfs(&path[0], 1, buffer, 1), 0);
  EXPECT_EQ(buffer[0], 'f');
  EXPECT_EQ(readVfs(&missing[0], 0, buffer, sizeof buffer), 6);
}

}  // namespace
