// The minimal VFS: DFS numbers composed from file-table entries, the mount
// and the read by path, and its results for missing paths and outputs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/ToolsFileTable.h"
#include "support/afs_volume_image.h"
#include "support/file_table_builder.h"
#include "tarnstoragelib.h"

namespace {

TEST(MiniVfs, ComposesNumbersAndReadsByPath) {
  const struct {
    uint32_t uniqueFileno;  // only its media type (bits 28-31) counts
    uint16_t mediaTypeFileno;
    uint8_t subMediaType;
    unsigned expected;
  } cases[] = {
      {0x10000050, 6, 0, 0x10000006},       // AFS file 6 of media type 1
      {0x10000051, 0x0806, 0, 0x10000006},  // bits above bit 10 dropped
      {0x10000052, 0x123, 2, 0x10001123},   // EFS
      {0x10000053, 0x123, 1, 0x10000123},   // PFS numbered as AFS
      {0x10000054, 0x123, 3, 0x10001923},   // FDCR
      {0x10000055, 0x123, 5, 0x10002923},   // the sub-media type is not masked
      {0xF0FFFF56, 0x7FF, 0, 0xF00007FF},   // only the media type of the unique number
      {0x10000057, 0x41, 0, 0x10000041},    // on the volume below
      {0x10000058, 0x42, 0, 0x10000042},    // not on it
  };
  std::vector<tarn_test::FtblFile> files;
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    tarn_test::FtblFile f = tarn_test::ftbl_file("/v/" + std::to_string(i), cases[i].uniqueFileno);
    f.media_type_fileno = cases[i].mediaTypeFileno;
    f.sub_media_type = cases[i].subMediaType;
    files.push_back(f);
  }
  tarn_test::Bytes blob = tarn_test::FileTableBuilder().sku({7, files}).build();
  ASSERT_EQ(load_file_table(reinterpret_cast<char*>(blob.data()), 7, static_cast<unsigned>(blob.size())), 0);
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    std::string path = "/v/" + std::to_string(i);
    unsigned number = 0;
    EXPECT_EQ(pathToFileNumber(&path[0], &number), 0) << path;
    EXPECT_EQ(number, cases[i].expected) << path;
  }

  const uint32_t partition = 0x8000;
  tarn_test::Bytes blank(partition, 0xFF);
  EXPECT_EQ(mini_vfs_init(blank.data(), partition), 1);
  EXPECT_EQ(mini_vfs_init(nullptr, partition), 1);
  tarn_test::AfsVolumeWriter writer(partition, 128);
  writer.add_file(0x41, {'v', 'f', 's'});
  tarn_test::Bytes volume = writer.build();
  ASSERT_EQ(mini_vfs_init(volume.data(), partition), 0);
  // A read shorter than asked for still succeeds; a file the volume lacks
  // fails with 6, a path the file table lacks with 2.
  std::string present = "/v/7", absent = "/v/8", unknown = "/v/9";
  char buffer[16] = {};
  EXPECT_EQ(readVfs(&present[0], 0, buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer), "vfs");
  EXPECT_EQ(readVfs(&present[0], 1, buffer, 1), 0);
  EXPECT_EQ(buffer[0], 'f');
  EXPECT_EQ(readVfs(&absent[0], 0, buffer, sizeof buffer), 6);
  EXPECT_EQ(readVfs(&unknown[0], 0, buffer, sizeof buffer), 2);

  unsigned untouched = 0xA5A5A5A5;
  EXPECT_EQ(pathToFileNumber(&present[0], nullptr), 1);
  EXPECT_EQ(pathToFileNumber(&unknown[0], &untouched), 2);
  EXPECT_EQ(pathToFileNumber(nullptr, &untouched), 2);
  clear_file_table_selection();
  EXPECT_EQ(pathToFileNumber(&present[0], &untouched), 2);
  EXPECT_EQ(untouched, 0xA5A5A5A5u);
}

}  // namespace
