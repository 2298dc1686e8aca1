// AFS file operations, checked through the independent volume reader: the
// copy-on-write write in all its shapes, reads, sizes, delete, zombies, the
// size limit, a chain over the whole volume and a full volume; the
// maintenance calls without a volume, or on a volume without an FTL.
#include <gtest/gtest.h>

#include <algorithm>

#include "flash/afs_test_mount.h"

namespace tarn_test {
namespace {

TEST(AfsWrite, EveryShapeOfWriteLeavesTheModelledFileAndTouchesNoOther) {
  struct {
    const char* what;
    uint32_t file, pos, size, flags;
    size_t kept;  // old chunks that stay in the chain
  } const cases[] = {
      {"empty write creates", 10, 0, 0, 0, 0},        {"empty write leaves data", 1, 0, 0, 0, 5},
      {"empty write on empty", 4, 0, 0, 0, 0},        {"truncate to 0", 1, 0, 0, 1, 0},
      {"truncate at a chunk edge", 1, 128, 0, 1, 2},  {"truncate inside a chunk", 1, 100, 0, 1, 1},
      {"truncate past the end", 2, 200, 0, 1, 0},     {"write past the end fills zeros", 2, 100, 20, 0, 0},
      {"append behind a full chunk", 3, 128, 70, 0, 2}, {"append inside the last chunk", 1, 300, 30, 0, 4},
      {"middle write keeps the rest", 1, 70, 10, 0, 4}, {"middle write over chunk edges", 1, 60, 140, 0, 1},
      {"write then truncate", 1, 10, 5, 1, 0},        {"rewrite longer", 1, 0, 500, 0, 0},
      {"write into an empty file", 4, 3, 64, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes image = base_volume().build();
    const AfsVolumeReader before(image, kSmallPartition);
    AfsMount m(image);
    ASSERT_EQ(m.mount(), 0u);
    const Bytes data = pattern(c.size, 99);
    ASSERT_EQ(m.write(c.file, c.pos, data, c.flags), 0u);

    const AfsFileContent old = before.file(c.file);
    const bool untouched = c.size == 0 && c.flags == 0 && old.state == AfsFileState::kData;
    const Bytes expected = untouched ? old.data : model_write(old.data, c.pos, data, c.flags & 1);
    const AfsVolumeReader after(image, kSmallPartition);
    const AfsFileContent now = after.file(c.file);
    EXPECT_EQ(now.state, expected.empty() ? AfsFileState::kEmpty : AfsFileState::kData);
    EXPECT_EQ(now.data, expected);
    EXPECT_EQ(m.read(c.file), expected);
    EXPECT_EQ(m.size(c.file), expected.size());
    size_t kept = 0;
    for (uint32_t chunk : old.chunks) kept += std::count(now.chunks.begin(), now.chunks.end(), chunk);
    EXPECT_EQ(kept, c.kept);
    // Every other file is as it was, and replaced chunks are free again.
    auto others_before = before.files(), others_after = after.files();
    others_before.erase(c.file);
    others_after.erase(c.file);
    EXPECT_EQ(others_after, others_before);
    EXPECT_EQ(m.bits(), after.chunks_in_use());
    AfsMount again(image);
    ASSERT_EQ(again.mount(), 0u);
    EXPECT_EQ(again.read(c.file), expected);
  }
}

TEST(AfsRead, RangesSizesAndMissingFiles) {
  Bytes image = base_volume().set_entry(5, 0xFFFE).build();
  const Bytes file = pattern(300, 1);
  for (uint32_t flags : {kDfsMountFlags, kDfsMountFlags & ~1u}) {  // with and without size table
    AfsMount m(image);
    ASSERT_EQ(m.mount(flags), 0u);
    // {pos, wanted}; 310 lies in the last chunk past its count.
    const uint32_t ranges[][2] = {{0, 300}, {0, 1000}, {299, 10}, {300, 10}, {310, 10}, {1000, 5},
                                  {63, 2},  {64, 64},  {10, 0},   {5, 290}};
    for (const auto& r : ranges) {
      const uint32_t end = std::min<uint32_t>(300, r[0] + r[1]);
      EXPECT_EQ(m.read(1, r[0], r[1]), Bytes(file.begin() + std::min(r[0], end), file.begin() + end))
          << r[0] << "+" << r[1];
    }
    uint32_t size = 7, n = 10;
    uint8_t buf[10];
    EXPECT_EQ(m.size(4), 0u);
    EXPECT_EQ(afs_readfile(&m.ctx, 4, 0, &n, buf), 0u);
    EXPECT_EQ(n, 0u);
    for (int32_t missing : {5, 10}) {  // a zombie reads as no file
      EXPECT_EQ(afs_getfilesize(&m.ctx, missing, &size), 2u);
      EXPECT_EQ(afs_readfile(&m.ctx, missing, 0, &n, buf), 2u);
    }
    for (int32_t bad : {-1, 1024}) {
      EXPECT_EQ(afs_getfilesize(&m.ctx, bad, &size), 22u);
      EXPECT_EQ(afs_readfile(&m.ctx, bad, 0, &n, buf), 22u);
      EXPECT_EQ(afs_deletefile(&m.ctx, bad), 22u);
      EXPECT_EQ(afs_mark_zombie_file(&m.ctx, bad), 22u);
    }
    EXPECT_EQ(afs_getfilesize(&m.ctx, 1, nullptr), 22u);
    n = 0x80000000u;
    EXPECT_EQ(afs_readfile(&m.ctx, 1, 0, &n, buf), 22u);
  }
}

TEST(AfsFile, ZombiesAndDelete) {
  Bytes image = base_volume().build();
  AfsMount m(image);
  ASSERT_EQ(m.mount(), 0u);
  EXPECT_EQ(afs_mark_zombie_file(&m.ctx, 1), 99u);
  EXPECT_EQ(afs_mark_zombie_file(&m.ctx, 4), 99u);
  for (int32_t f : {20, 21, 22}) ASSERT_EQ(afs_mark_zombie_file(&m.ctx, f), 0u);
  EXPECT_EQ(m.reader().file(20).state, AfsFileState::kZombie);
  EXPECT_EQ(m.size(20), 0xFFFFFFFFu);
  EXPECT_EQ(afs_deletefile(&m.ctx, 20), 0u);
  ASSERT_EQ(m.write(21, 0, pattern(10, 21)), 0u);
  EXPECT_EQ(m.reader().file(21).data, pattern(10, 21));

  const std::vector<uint32_t> chunks = m.reader().file(1).chunks;
  ASSERT_EQ(afs_deletefile(&m.ctx, 1), 0u);
  EXPECT_EQ(afs_deletefile(&m.ctx, 1), 2u);
  for (uint32_t c : chunks) EXPECT_FALSE(m.bit(c)) << c;
  ASSERT_EQ(afs_deletefile(&m.ctx, 4), 0u);
  const auto files = m.reader().files();
  EXPECT_EQ(files.size(), 4u);  // 2, 3, 21 and the zombie 22
  for (uint32_t gone : {1, 4, 20}) EXPECT_EQ(files.count(gone), 0u) << gone;
  // The next mount forgets zombies.
  AfsMount again(image);
  ASSERT_EQ(again.mount(), 0u);
  EXPECT_EQ(again.size(22), 0xFFFFFFFFu);
  EXPECT_EQ(afs_mark_zombie_file(&again.ctx, 22), 0u);
}

TEST(AfsWrite, SizeLimit) {
  const uint32_t partition = 38 * 8192;  // room for a file of 0x40000 bytes
  Bytes image(partition, 0xFF);
  AfsMount m(image, partition);
  ASSERT_EQ(m.mount(kFormatFlags), 0u);
  EXPECT_EQ(m.write(1, 0x40000 - 10, pattern(11, 1)), 27u);
  EXPECT_EQ(m.write(1, 0x40001, {}, 1), 27u);
  EXPECT_EQ(m.write(1, 0, pattern(0x40001, 1)), 27u);
  EXPECT_EQ(m.reader().file(1).state, AfsFileState::kNone);
  ASSERT_EQ(m.write(1, 0x50000, {}), 0u);  // a zero-length write only creates the file
  EXPECT_EQ(m.reader().file(1).state, AfsFileState::kEmpty);
  ASSERT_EQ(m.write(1, 0x40000 - 10, pattern(10, 1)), 0u);
  const Bytes expected = model_write({}, 0x40000 - 10, pattern(10, 1), false);
  EXPECT_EQ(m.reader().file(1).data, expected);
  EXPECT_EQ(m.read(1), expected);
}

TEST(AfsWrite, AChainOverTheWholeVolumeThenAFullVolume) {
  Bytes image(kSmallPartition, 0xFF);
  const uint32_t whole = AfsGeometry::for_partition(kSmallPartition, 1024).num_chunks * 64;
  ASSERT_EQ(whole, 15616u);
  {
    AfsMount m(image);
    ASSERT_EQ(m.mount(kFormatFlags), 0u);
    ASSERT_EQ(m.write(7, 0, pattern(whole, 7)), 0u);
    EXPECT_EQ(m.reader().file(7).data, pattern(whole, 7));
    EXPECT_EQ(m.write(8, 0, pattern(1, 8)), 28u);  // nothing left
  }
  AfsMount m(image);
  ASSERT_EQ(m.mount(kDfsMountFlags & ~1u), 0u);  // sizes come from walking the chain
  EXPECT_EQ(m.size(7), whole);
  EXPECT_EQ(m.read(7), pattern(whole, 7));
  // Truncating it releases a chain of every chunk but one.
  ASSERT_EQ(m.write(7, 64, {}, 1), 0u);
  EXPECT_EQ(m.reader().file(7).data, pattern(64, 7));
  EXPECT_EQ(m.bits(), 1u);

  // Files until no chunk is left; a rewrite that needs more room than is
  // left fails, changes nothing and gives back the chunks it took.
  std::map<uint32_t, AfsFileContent> files = m.reader().files();
  uint32_t f = 10;
  for (; m.write(f, 0, pattern(1000, f)) == 0; ++f) files[f] = {AfsFileState::kData, pattern(1000, f), {}};
  EXPECT_EQ(m.write(10, 0, pattern(1500, 50)), 28u);
  EXPECT_EQ(m.bits(), m.reader().chunks_in_use());
  AfsMount again(image);
  ASSERT_EQ(again.mount(), 0u);
  EXPECT_EQ(again.reader().files(), files);
  EXPECT_EQ(again.read(10), pattern(1000, 10));
  // Space freed by a delete is usable again.
  ASSERT_EQ(afs_deletefile(&again.ctx, 10), 0u);
  ASSERT_EQ(again.write(f, 0, pattern(1000, 77)), 0u);
  EXPECT_EQ(again.reader().file(f).data, pattern(1000, 77));
}

TEST(AfsFile, MaintenanceCallsNeedAnFtlVolume) {
  EXPECT_FALSE(afs_get_idle_reclaim_enabled(nullptr));
  afs_set_idle_reclaim_enabled(nullptr);
  EXPECT_FALSE(afs_idle_reclaim_needed(nullptr));
  for (auto call : {afs_idle_reclaim, afs_force_full_reclaim, afs_force_dirty_erase}) EXPECT_EQ(call(nullptr), 22u);

  // A volume whose FAT log is nearly full wants an idle reclaim; with any
  // other storage type none is asked for or run.
  const uint32_t fat_size = AfsGeometry::for_partition(kSmallPartition, 1024).fat_size;
  FtlImageBuilder b(FtlGeometry::for_partition(kSmallPartition, fat_size));
  b.format();
  for (uint16_t i = 0; i < 100; ++i) b.append_fat_page(0, 1, page_fill(0));
  Bytes image = b.image();
  AfsMount m(image);
  ASSERT_EQ(m.mount(kDfsMountFlags | 0x10), 0u);  // a fresh header: FAT page 0 is the 101st
  EXPECT_FALSE(afs_get_idle_reclaim_enabled(&m.ctx));
  afs_set_idle_reclaim_enabled(&m.ctx);
  EXPECT_TRUE(afs_get_idle_reclaim_enabled(&m.ctx));
  EXPECT_TRUE(afs_idle_reclaim_needed(&m.ctx));
  m.ctx.storage_type = 1;
  const Bytes before = image;
  EXPECT_FALSE(afs_idle_reclaim_needed(&m.ctx));
  EXPECT_EQ(afs_idle_reclaim(&m.ctx), 0u);
  EXPECT_EQ(image, before);
  m.ctx.storage_type = 0;
  EXPECT_EQ(afs_idle_reclaim(&m.ctx), 0u);
  EXPECT_FALSE(afs_idle_reclaim_needed(&m.ctx));
  // EU 0 went to the spare, EU 3, with its two live pages.
  b.image() = image;
  EXPECT_EQ(b.read_u32(0, ftl_layout::kSigOffset), ftl_layout::kSigKilled);
  EXPECT_EQ(b.read_u16(3, ftl_layout::kEusparOffset), 0);
  EXPECT_EQ(b.committed_fat_pages(3), (std::vector<std::pair<uint16_t, uint32_t>>{{1, 0}, {0, 1}}));
}

}  // namespace
}  // namespace tarn_test
