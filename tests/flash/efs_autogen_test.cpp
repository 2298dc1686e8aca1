// The EFS table loader: the "EFST" part of the file-table blob.
#include <gtest/gtest.h>

#include "flash/efs/EFS_autogen.h"
#include "storage/ToolsFileTable.h"
#include "support/file_table_builder.h"

using namespace tarn_test;

namespace {

struct Geometry {
  uint32_t bm, valid, spare, files, threshold;
  uint8_t layout, sku;
  bool loaded;
  const EFS_file_descriptor_t* list;

  static Geometry now() {
    return {g_efs_bm_num,    g_efs_valid_block_num, g_efs_non_valid_block_num,
            g_efs_files_num, g_efs_wear_leveling_threshold, g_efs_layout_id,
            g_efs_sku_id,    g_efs_autogen_data_loaded, EFS_files};
  }
  bool operator==(const Geometry& o) const {
    return bm == o.bm && valid == o.valid && spare == o.spare && files == o.files &&
           threshold == o.threshold && layout == o.layout && sku == o.sku && loaded == o.loaded &&
           list == o.list;
  }
};

// Captured before any test runs (the globals are constant-initialised).
const Geometry initial = Geometry::now();

int load(Bytes& blob, uint32_t sku, size_t size) {
  return load_autogen_data(reinterpret_cast<char*>(blob.data()), sku, static_cast<uint32_t>(size));
}
int load(Bytes& blob, uint32_t sku) { return load(blob, sku, blob.size()); }

EfstSku efs_sku(uint32_t sku, uint32_t max_files, std::vector<EfstFile> files) {
  EfstSku s;
  s.sku = sku;
  s.bm_num = 3;
  s.valid_block_num = 20;
  s.non_valid_block_num = 4;
  s.max_file_num = max_files;
  s.wear_leveling_threshold = 50;
  s.layout_id = 0x1A2;
  s.files = std::move(files);
  return s;
}

// A loaded state other tests can compare against.
void load_reference() {
  Bytes blob = FileTableBuilder().efs(efs_sku(1, 4, {efst_file(0, 1, 0, 10)})).build();
  ASSERT_EQ(0, load(blob, 1));
}

}  // namespace

TEST(EfsTableLoader, InitialGeometry) {
  EXPECT_EQ(2u, initial.bm);
  EXPECT_EQ(7u, initial.valid);
  EXPECT_EQ(3u, initial.spare);
  EXPECT_EQ(16u, initial.files);
  EXPECT_EQ(100u, initial.threshold);
  EXPECT_EQ(0u, initial.layout);
  EXPECT_EQ(0u, initial.sku);
  EXPECT_FALSE(initial.loaded);
  EXPECT_EQ(nullptr, initial.list);
}

TEST(EfsTableLoader, LoadsGeometryAndFileList) {
  // No FTBL tables: the EFST part sits at offset 16. Two entries for SKU 0x1234,
  // the first is used.
  FileTableBuilder b;
  b.efs(efs_sku(0x1234, 6,
                {efst_file(1, 0x0102, 100, 300), efst_file(4, 3, 4072, 7), efst_file(1, 5, 8, 9)}))
      .efs(efs_sku(0x1234, 2, {}));
  Bytes blob = b.build();
  ASSERT_EQ(16u, b.efst_at());
  ASSERT_EQ(0, load(blob, 0x1234));

  EXPECT_EQ(3u, g_efs_bm_num);
  EXPECT_EQ(20u, g_efs_valid_block_num);
  EXPECT_EQ(4u, g_efs_non_valid_block_num);
  EXPECT_EQ(6u, g_efs_files_num);
  EXPECT_EQ(50u, g_efs_wear_leveling_threshold);
  EXPECT_EQ(0xA2u, g_efs_layout_id);
  EXPECT_EQ(0x34u, g_efs_sku_id);
  EXPECT_TRUE(g_efs_autogen_data_loaded);
  ASSERT_NE(nullptr, EFS_files);

  // The later entry for file 1 replaced the earlier one; 0x0102 keeps its low byte.
  EXPECT_EQ(5u, EFS_files[1].Logical_Block);
  EXPECT_EQ(8u, unsigned(EFS_files[1].Offset_In_Block));
  EXPECT_EQ(9u, unsigned(EFS_files[1].Max_length));
  EXPECT_EQ(1u, EFS_files[1].Flags.bits.valid);
  EXPECT_EQ(1u, unsigned(EFS_files[1].Flags.value));  // reserved bits zero
  EXPECT_EQ(3u, EFS_files[4].Logical_Block);
  EXPECT_EQ(4072u, unsigned(EFS_files[4].Offset_In_Block));
  for (int unnamed : {0, 2, 3, 5}) {
    EXPECT_EQ(0u, unsigned(EFS_files[unnamed].Flags.value)) << unnamed;
    EXPECT_EQ(0u, EFS_files[unnamed].Logical_Block) << unnamed;
  }
}

TEST(EfsTableLoader, LowByteOfTheLogicalBlock) {
  Bytes blob = FileTableBuilder().efs(efs_sku(2, 1, {efst_file(0, 0x0102, 0, 1)})).build();
  ASSERT_EQ(0, load(blob, 2));
  EXPECT_EQ(2u, EFS_files[0].Logical_Block);
}

// A blob without an EFS description for the SKU keeps the geometry and list
// but leaves the EFS unconfigured, so no mount uses another SKU's geometry.
TEST(EfsTableLoader, NoEfsDescriptionLeavesTheEfsUnconfigured) {
  Bytes no_efst = FileTableBuilder().without_efst().build();
  Bytes other_sku = FileTableBuilder().efs(efs_sku(9, 4, {})).build();
  for (Bytes* blob : {&no_efst, &other_sku}) {
    load_reference();
    Geometry expected = Geometry::now();
    expected.loaded = false;
    EXPECT_EQ(0, load(*blob, 1));
    EXPECT_TRUE(expected == Geometry::now());
  }
}

TEST(EfsTableLoader, TableSizeAndOffsetLimits) {
  FileTableBuilder b;
  b.efs(efs_sku(1, 4, {efst_file(0, 1, 0, 10), efst_file(1, 1, 20, 10)}));
  Bytes blob = b.build();
  const size_t table_size_at = b.efst_entry_at(0) + 12;

  put_u32(blob, table_size_at, 120);  // exactly num_files x 60
  EXPECT_EQ(0, load(blob, 1));
  put_u32(blob, table_size_at, 0);
  EXPECT_EQ(0, load(blob, 1));
  put_u32(blob, table_size_at, 121);
  EXPECT_EQ(1, load(blob, 1));

  // An empty file list may start exactly at the end of the blob.
  FileTableBuilder e;
  e.efs(efs_sku(1, 4, {}));
  Bytes empty = e.build();
  put_u32(empty, e.efst_entry_at(0) + 4, static_cast<uint32_t>(empty.size()));
  EXPECT_EQ(0, load(empty, 1));
  put_u32(empty, e.efst_entry_at(0) + 4, static_cast<uint32_t>(empty.size()) + 1);
  EXPECT_EQ(1, load(empty, 1));
}

TEST(EfsTableLoader, RefusesBlobsThatPointOutside) {
  load_reference();
  const Geometry before = Geometry::now();

  // File entries running past the end of the blob.
  FileTableBuilder b;
  b.efs(efs_sku(1, 40, {efst_file(0, 1, 0, 10)}));
  Bytes blob = b.build();
  put_u32(blob, b.efst_entry_at(0) + 8, 2);
  put_u32(blob, b.efst_entry_at(0) + 4, static_cast<uint32_t>(blob.size()) - 60);
  EXPECT_EQ(1, load(blob, 1));
  // A count whose byte length wraps 32 bits (60 x 0x04444445 = 0x1'0000'0010 + ...).
  put_u32(blob, b.efst_entry_at(0) + 8, 0x04444445);
  put_u32(blob, b.efst_entry_at(0) + 12, 0);
  EXPECT_EQ(1, load(blob, 1));
  EXPECT_TRUE(before == Geometry::now());

  // EFST entries that do not fit in the blob.
  Bytes entries = FileTableBuilder().efs(efs_sku(7, 4, {})).build();
  put_u32(entries, 16 + 12, 0x10000000);
  EXPECT_EQ(1, load(entries, 1));
  // An FTBL count that puts the EFST header past the end.
  Bytes header = FileTableBuilder().build();
  put_u32(header, 12, 0xFFFFFFFF);
  EXPECT_EQ(1, load(header, 1));
  Bytes short_blob = FileTableBuilder().build(16);
  EXPECT_EQ(1, load(short_blob, 1, 20));
  EXPECT_TRUE(before == Geometry::now());
}

TEST(EfsTableLoader, RefusedLoadKeepsTheOldGeometryWithItsList) {
  load_reference();
  const Geometry before = Geometry::now();

  // A file number at max_file_num would index past the list.
  Bytes at_max = FileTableBuilder().efs(efs_sku(1, 8, {efst_file(8, 1, 0, 1)})).build();
  EXPECT_EQ(1, load(at_max, 1));
  EXPECT_TRUE(before == Geometry::now());

  // A first piece whose header would not fit in the data area.
  Bytes offset = FileTableBuilder().efs(efs_sku(1, 8, {efst_file(2, 1, 4073, 1)})).build();
  EXPECT_EQ(1, load(offset, 1));
  EXPECT_TRUE(before == Geometry::now());
  EXPECT_EQ(4u, g_efs_files_num);
  EXPECT_EQ(10u, unsigned(EFS_files[0].Max_length));

  // Going through the file table folds the loader's failure into 1.
  Bytes through_ftbl = FileTableBuilder().sku({1, {}}).efs(efs_sku(1, 8, {efst_file(9, 1, 0, 1)})).build();
  EXPECT_EQ(1, load_file_table(reinterpret_cast<char*>(through_ftbl.data()), 1,
                               static_cast<unsigned>(through_ftbl.size())));
  EXPECT_EQ(4u, g_efs_files_num);
}

TEST(EfsTableLoader, ALaterLoadReplacesTheList) {
  load_reference();
  Bytes blob = FileTableBuilder().efs(efs_sku(0x1234, 3, {efst_file(2, 7, 0, 5)})).build();
  ASSERT_EQ(0, load_file_table(reinterpret_cast<char*>(blob.data()), 0x1234,
                               static_cast<unsigned>(blob.size())));
  EXPECT_EQ(3u, g_efs_files_num);
  EXPECT_EQ(0x34u, g_efs_sku_id);
  EXPECT_EQ(7u, EFS_files[2].Logical_Block);
  EXPECT_EQ(0u, EFS_files[0].Flags.bits.valid);

  // max_file_num 0 is a valid, empty list.
  Bytes none = FileTableBuilder().efs(efs_sku(5, 0, {})).build();
  EXPECT_EQ(0, load(none, 5));
  EXPECT_EQ(0u, g_efs_files_num);
  EXPECT_NE(nullptr, EFS_files);
}
