// The DFS dispatcher over an AFS volume and an EFS region made by the test
// builders: routing by sub-media type, the numbers passed down, status
// folding, the mount's life cycle and the maintenance calls. Results on
// flash are read back with the independent readers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/dfs/dfs.h"
#include "flash/efs/EFS.h"
#include "storage/ToolsFileTable.h"
#include "support/afs_volume_image.h"
#include "support/efs_region.h"
#include "support/ftl_image_builder.h"
#include "support/file_table_builder.h"

namespace {

using tarn_test::Bytes;

constexpr uint32_t kPartition = 0x8000;
constexpr uint32_t kEfsSku = 9;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string readDfs(int fileno, int& status) {
  std::string out(64, '\0');
  uint32_t size = 64;
  status = dfs_read(fileno, 0, &size, &out[0]);
  out.resize(status == 0 ? size : 0);
  return out;
}

// Statuses of size, read, write and delete for one number.
std::vector<int> statuses(int fileno) {
  uint32_t size = 0, one = 1;
  int read = 0;
  readDfs(fileno, read);
  return {dfs_getsize(fileno, &size), read, dfs_write(fileno, 0, 0, &one, 0), dfs_delete_file(fileno)};
}

TEST(Dfs, RoutesAndFoldsOverAMountedVolume) {
  // Before any mount: sizes 2 (EFS numbers too), AFS reads and writes 22,
  // AFS deletes 2.
  EXPECT_EQ(statuses(0x10000006), (std::vector<int>{2, 22, 22, 2}));
  uint32_t size = 0;
  EXPECT_EQ(dfs_getsize(0x1006, &size), 2);
  EXPECT_EQ(dfs_force_full_reclaim(), 22);
  EXPECT_EQ(dfs_set_page_size(64), 22);
  EXPECT_FALSE(dfs_idle_reclaim_needed());
  EXPECT_EQ(dfs_idle_reclaim(), 22);
  dfs_set_idle_reclaim_enabled();
  EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
  EXPECT_FALSE(dfs_is_fs_erased());

  tarn_test::AfsVolumeWriter writer(kPartition, 128);
  writer.add_file(6, text("afs-six")).add_file(7, text("seven"));
  Bytes mfs = writer.build();
  ASSERT_EQ(dfs_init(mfs.data(), kPartition), 0);
  // An EFS region whose file 6 holds "efs-six".
  tarn_test::EfstSku sku;
  sku.sku = kEfsSku;
  sku.files = {tarn_test::efst_file(6, 0, 0, 64)};
  Bytes blob = tarn_test::FileTableBuilder().sku({kEfsSku, {}}).efs(sku).build();
  ASSERT_EQ(load_file_table(reinterpret_cast<char*>(blob.data()), kEfsSku, static_cast<unsigned>(blob.size())), 0);
  tarn_test::EfsRegion efs(tarn_test::EfsGeo{});
  efs.format({{0, 0}});
  Bytes area = efs.empty_area(0);
  const Bytes six = text("efs-six");
  tarn_test::EfsRegion::put_piece(area, 0, static_cast<uint16_t>(six.size()), 0, six.data(), six.size());
  efs.area(0, area);
  ASSERT_EQ(EFS_init_tools(efs.bytes.data()), 0);

  // Reads by sub-media type; size, read and write clear the media type.
  int status = 0;
  EXPECT_EQ(readDfs(0x10000006, status), "afs-six");
  EXPECT_EQ(readDfs(0x00001006, status), "efs-six");
  EXPECT_EQ(readDfs(0x70001006, status), "efs-six");
  EXPECT_EQ(dfs_getsize(0x10001006, &size), 0);
  EXPECT_EQ(size, 7u);
  for (int unserved : {0x00000806, 0x00001806}) EXPECT_EQ(statuses(unserved), (std::vector<int>{22, 22, 22, 22}));

  // Writes: truncation reaches AFS files; the EFS replaces a whole file.
  Bytes shorter = text("AFS");
  EXPECT_EQ(dfs_write(0x10000006, 0, 3, shorter.data(), DFS_WRITE_TRUNCATE), 0);
  EXPECT_EQ(dfs_write(0x10001006, 0, 3, shorter.data(), 0), 0);
  EXPECT_EQ(readDfs(0x00001006, status), "AFS");
  // Writes pass 27 (above the AFS file limit) and 28 (more than the volume
  // holds) and fold the EFS's 34 (a file of 0xFFFF bytes) into 5.
  Bytes big(0x40001, 0x5A);
  EXPECT_EQ(dfs_write(8, 0, static_cast<uint32_t>(big.size()), big.data(), 0), 27);
  EXPECT_EQ(dfs_write(8, 0, kPartition, big.data(), 0), 28);
  EXPECT_EQ(dfs_write(0x1006, 0, 0xFFFF, big.data(), 0), 5);

  // Delete keeps the media type: AFS refuses 0x10000006 as a file number.
  EXPECT_EQ(dfs_delete_file(0x10000006), 22);
  EXPECT_EQ(dfs_delete_file(7), 0);
  const tarn_test::AfsVolumeReader reader(mfs, kPartition);
  EXPECT_EQ(reader.file(6).data, shorter);
  EXPECT_EQ(reader.file(7).state, tarn_test::AfsFileState::kNone);

  // Only 64-byte cache pages are served.
  for (uint32_t pageSize : {0u, 32u, 128u, 4096u}) EXPECT_EQ(dfs_set_page_size(pageSize), 22);
  EXPECT_EQ(dfs_set_page_size(64), 0);

  // A failed mount leaves no volume to serve AFS files; EFS sizes still work.
  Bytes blank(kPartition, 0xFF);
  EXPECT_EQ(dfs_init(blank.data(), kPartition), 5);
  EXPECT_EQ(statuses(6), (std::vector<int>{22, 22, 22, 22}));
  EXPECT_EQ(dfs_getsize(0x1006, &size), 0);
  EXPECT_EQ(dfs_force_dirty_erase(), 22);
  EXPECT_EQ(dfs_idle_reclaim(), 22);

  // A new mount replaces the failed one.
  ASSERT_EQ(dfs_init(mfs.data(), kPartition), 0);
  EXPECT_EQ(readDfs(6, status), "AFS");
}

TEST(Dfs, IdleReclaimAndItsFlagServeTheMountedVolume) {
  Bytes mfs = tarn_test::AfsVolumeWriter(kPartition, 128).add_file(6, text("afs-six")).build();
  ASSERT_EQ(dfs_init(mfs.data(), kPartition), 0);
  EXPECT_FALSE(dfs_is_fs_erased());
  EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
  dfs_set_idle_reclaim_enabled();
  EXPECT_TRUE(dfs_get_idle_reclaim_enabled());
  const Bytes before = mfs;
  EXPECT_FALSE(dfs_idle_reclaim_needed());
  EXPECT_EQ(dfs_idle_reclaim(), 0);  // nothing due: nothing written
  EXPECT_EQ(mfs, before);

  // Rewrites of file 7 fill the FAT log of the one page-mapped EU until
  // fewer than 30 of its pages are free; the idle reclaim compacts it into
  // the spare.
  Bytes data = text("rewritten");
  int writes = 0;
  for (; writes < 200 && !dfs_idle_reclaim_needed(); ++writes) ASSERT_EQ(dfs_write(7, 0, 9, data.data(), 0), 0);
  ASSERT_TRUE(dfs_idle_reclaim_needed()) << writes;
  const auto files = tarn_test::AfsVolumeReader(mfs, kPartition).files();
  tarn_test::FtlImageBuilder view(tarn_test::FtlGeometry::for_partition(kPartition, 0));
  view.image() = mfs;
  const auto fat = view.live_fat_pages();
  EXPECT_EQ(dfs_idle_reclaim(), 0);
  EXPECT_FALSE(dfs_idle_reclaim_needed());
  view.image() = mfs;
  EXPECT_EQ(view.read_u32(0, tarn_test::ftl_layout::kSigOffset), tarn_test::ftl_layout::kSigKilled);
  EXPECT_EQ(view.read_u16(3, tarn_test::ftl_layout::kEusparOffset), 0);
  // Every live FAT page is in EU 3 now, as it was; trimmed ones are gone.
  const auto moved = view.live_fat_pages();
  EXPECT_EQ(view.committed_fat_pages(3).size(), moved.size());
  for (const auto& [lp, page] : moved) EXPECT_EQ(fat.at(lp), page) << lp;
  EXPECT_EQ(tarn_test::AfsVolumeReader(mfs, kPartition).files(), files);

  // A new mount has a new context: the flag is clear again.
  ASSERT_EQ(dfs_init(mfs.data(), kPartition), 0);
  EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
  int status = 0;
  EXPECT_EQ(readDfs(7, status), "rewritten");
  EXPECT_EQ(readDfs(6, status), "afs-six");
}

}  // namespace
