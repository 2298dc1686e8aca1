// AFS file operations, checked through the independent volume reader: the
// copy-on-write write in all its shapes, reads, sizes, delete, zombies, the
// size limit, a chain over the whole volume and a full volume.
#include <gtest/gtest.h>

#include <algorithm>

#include "flash/afs_test_mount.h"

namespace tarn_test {
namespace {

// The files every write case starts from.
AfsVolumeWriter base_volume() {
  AfsVolumeWriter w(kSmallPartition, 1024);
  w.add_file(1, pattern(300, 1)).add_file(2, pattern(40, 2)).add_file(3, pattern(128, 3)).add_empty(4);
  return w;
}

// What a write leaves: the old bytes, zeros up to pos, the new bytes, and
// with truncation nothing after them.
Bytes model_write(Bytes old, uint32_t pos, const Bytes& data, bool truncate) {
  if (old.size() < pos + data.size()) old.resize(pos + data.size(), 0);
  std::copy(data.begin(), data.end(), old.begin() + pos);
  if (truncate) old.resize(pos + data.size());
  return old;
}

TEST(AfsWrite, EveryShapeOfWriteLeavesTheModelledFileAndTouchesNoOther) {
  enum Reuse { kAny, kOldPrefix, kOldSuffix };
  struct Case {
    const char* what;
    uint32_t file, pos, size, flags;
    Reuse reuse;
    uint32_t reused;  // old chunks the new chain keeps
  } cases[] = {
      {"empty write creates", 10, 0, 0, 0, kAny, 0},
      {"empty write leaves data", 1, 0, 0, 0, kOldPrefix, 5},
      {"empty write on empty", 4, 0, 0, 0, kAny, 0},
      {"truncate to 0", 1, 0, 0, 1, kAny, 0},
      {"truncate at a chunk boundary", 1, 128, 0, 1, kOldPrefix, 2},
      {"truncate inside a chunk", 1, 100, 0, 1, kOldPrefix, 1},
      {"truncate past the end", 2, 200, 0, 1, kAny, 0},
      {"write past the end fills zeros", 2, 100, 20, 0, kAny, 0},
      {"append behind a full chunk", 3, 128, 70, 0, kOldPrefix, 2},
      {"append inside the last chunk", 1, 300, 30, 0, kOldPrefix, 4},
      {"middle write keeps the tail", 1, 70, 10, 0, kOldSuffix, 3},
      {"middle write over chunk edges", 1, 60, 140, 0, kOldSuffix, 1},
      {"write then truncate", 1, 10, 5, 1, kAny, 0},
      {"rewrite longer", 1, 0, 500, 0, kAny, 0},
      {"write into an empty file", 4, 3, 64, 0, kAny, 0},
  };
  for (const Case& c : cases) {
    Bytes image = base_volume().build();
    const AfsVolumeReader before(image, kSmallPartition);
    AfsMount m(image);
    ASSERT_EQ(m.mount(), 0u) << c.what;
    const Bytes data = pattern(c.size, 99);
    ASSERT_EQ(m.write(c.file, c.pos, data, c.flags), 0u) << c.what;

    const AfsFileContent old = before.file(c.file);
    const Bytes expected = c.size == 0 && c.flags == 0 && old.state == AfsFileState::kData
                               ? old.data
                               : model_write(old.data, c.pos, data, c.flags & 1);
    const AfsVolumeReader after(image, kSmallPartition);
    const AfsFileContent now = after.file(c.file);
    EXPECT_EQ(now.state, expected.empty() ? AfsFileState::kEmpty : AfsFileState::kData) << c.what;
    EXPECT_EQ(now.data, expected) << c.what;
    EXPECT_EQ(m.read(c.file), expected) << c.what;
    uint32_t size = 0;
    EXPECT_EQ(afs_getfilesize(&m.ctx, static_cast<int32_t>(c.file), &size), 0u);
    EXPECT_EQ(size, expected.size()) << c.what;
    if (c.reuse == kOldPrefix) {
      EXPECT_TRUE(std::equal(old.chunks.begin(), old.chunks.begin() + c.reused, now.chunks.begin())) << c.what;
    } else if (c.reuse == kOldSuffix) {
      EXPECT_TRUE(std::equal(old.chunks.end() - c.reused, old.chunks.end(), now.chunks.end() - c.reused)) << c.what;
    }
    // Every other file is as it was, and replaced chunks are free again.
    for (uint32_t f = 1; f <= 10; ++f) {
      if (f != c.file) {
        EXPECT_EQ(after.file(f), before.file(f)) << c.what << " file " << f;
      }
    }
    uint32_t in_use = 0;
    for (const auto& f : after.files()) in_use += static_cast<uint32_t>(f.second.chunks.size());
    uint32_t bits = 0;
    for (uint32_t i = 0; i <= m.ctx.num_chunks; ++i) bits += (m.ctx.chunk_state[i / 32] >> (i % 32)) & 1u;
    EXPECT_EQ(bits, in_use) << c.what;

    AfsMount again(image);
    ASSERT_EQ(again.mount(), 0u) << c.what;
    EXPECT_EQ(again.read(c.file), expected) << c.what;
  }
}

TEST(AfsRead, RangesSizesAndMissingFiles) {
  Bytes image = base_volume().add_zombie(5).build();
  const Bytes file = pattern(300, 1);
  for (uint32_t flags : {kDfsMountFlags, kDfsMountFlags & ~1u}) {  // with and without size table
    AfsMount m(image);
    ASSERT_EQ(m.mount(flags), 0u);
    const uint32_t ranges[][2] = {{0, 300}, {0, 1000}, {299, 10}, {300, 10}, {1000, 5},
                                  {63, 2},  {64, 64},  {10, 0},   {5, 290}};
    for (const auto& r : ranges) {
      const uint32_t end = std::min<uint32_t>(300, r[0] + r[1]);
      const Bytes expected(file.begin() + std::min<uint32_t>(r[0], end), file.begin() + end);
      EXPECT_EQ(m.read(1, r[0], r[1]), expected) << r[0] << "+" << r[1];
    }
    uint32_t size = 7, n = 10;
    uint8_t buf[10];
    EXPECT_EQ(afs_getfilesize(&m.ctx, 4, &size), 0u);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(afs_readfile(&m.ctx, 4, 0, &n, buf), 0u);
    EXPECT_EQ(n, 0u);
    for (int32_t missing : {5, 10}) {
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
  ASSERT_EQ(afs_mark_zombie_file(&m.ctx, 20), 0u);
  ASSERT_EQ(afs_mark_zombie_file(&m.ctx, 21), 0u);
  EXPECT_EQ(m.reader().file(20).state, AfsFileState::kZombie);
  uint32_t size = 0;
  EXPECT_EQ(afs_getfilesize(&m.ctx, 20, &size), 2u);
  EXPECT_EQ(afs_deletefile(&m.ctx, 20), 0u);
  EXPECT_EQ(m.reader().file(20).state, AfsFileState::kNone);
  ASSERT_EQ(m.write(21, 0, pattern(10, 21)), 0u);
  EXPECT_EQ(m.reader().file(21).data, pattern(10, 21));

  const std::vector<uint32_t> chunks = m.reader().file(1).chunks;
  ASSERT_EQ(afs_deletefile(&m.ctx, 1), 0u);
  EXPECT_EQ(afs_deletefile(&m.ctx, 1), 2u);
  EXPECT_EQ(afs_getfilesize(&m.ctx, 1, &size), 2u);
  EXPECT_EQ(m.reader().file(1).state, AfsFileState::kNone);
  for (uint32_t c : chunks) EXPECT_FALSE((m.ctx.chunk_state[c / 32] >> (c % 32)) & 1u) << c;
  ASSERT_EQ(afs_deletefile(&m.ctx, 4), 0u);
  EXPECT_EQ(m.reader().file(4).state, AfsFileState::kNone);
  EXPECT_EQ(m.reader().file(2).data, pattern(40, 2));

  // The next mount forgets zombies.
  ASSERT_EQ(afs_mark_zombie_file(&m.ctx, 22), 0u);
  AfsMount again(image);
  ASSERT_EQ(again.mount(), 0u);
  EXPECT_EQ(afs_getfilesize(&again.ctx, 22, &size), 2u);
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

TEST(AfsWrite, AChainOverEveryChunkOfTheVolume) {
  Bytes image(kSmallPartition, 0xFF);
  const uint32_t whole = AfsGeometry::for_partition(kSmallPartition, 1024).num_chunks * 64;
  ASSERT_EQ(whole, 15616u);
  for (int round = 0; round < 2; ++round) {
    AfsMount m(image);
    ASSERT_EQ(m.mount(round == 0 ? kFormatFlags : kDfsMountFlags), 0u);
    ASSERT_EQ(m.write(7, 0, pattern(whole, 7)), 0u);
    EXPECT_EQ(m.reader().file(7).data, pattern(whole, 7));
    EXPECT_EQ(m.write(8, 0, pattern(1, 8)), 28u);  // nothing left
    AfsMount again(image);
    ASSERT_EQ(again.mount(kDfsMountFlags & ~1u), 0u);
    uint32_t size = 0;
    ASSERT_EQ(afs_getfilesize(&again.ctx, 7, &size), 0u);
    EXPECT_EQ(size, whole);
    EXPECT_EQ(again.read(7), pattern(whole, 7));
    ASSERT_EQ(afs_deletefile(&again.ctx, 7), 0u);
  }
}

TEST(AfsWrite, AFullVolumeLosesNothing) {
  Bytes image(kSmallPartition, 0xFF);
  AfsMount m(image);
  ASSERT_EQ(m.mount(kFormatFlags), 0u);
  std::map<uint32_t, Bytes> files;
  uint32_t status = 0;
  uint32_t f = 0;
  for (; f < 100 && status == 0; ++f) {
    status = m.write(f, 0, pattern(1000, f));
    if (status == 0) files[f] = pattern(1000, f);
  }
  ASSERT_EQ(status, 28u);
  // A rewrite that needs more room than is left fails and changes nothing.
  EXPECT_EQ(m.write(0, 0, pattern(1500, 50)), 28u);
  AfsMount again(image);
  ASSERT_EQ(again.mount(), 0u);
  const auto on_flash = again.reader().files();
  ASSERT_EQ(on_flash.size(), files.size());
  for (const auto& file : files) {
    EXPECT_EQ(on_flash.at(file.first).data, file.second) << file.first;
    EXPECT_EQ(again.read(file.first), file.second) << file.first;
  }
  // Space freed by a delete is usable again.
  ASSERT_EQ(afs_deletefile(&again.ctx, 0), 0u);
  EXPECT_EQ(again.write(f, 0, pattern(1000, 77)), 0u);
  EXPECT_EQ(again.reader().file(f).data, pattern(1000, 77));
}

TEST(AfsFile, MaintenanceCalls) {
  EXPECT_EQ(afs_force_full_reclaim(nullptr), 22u);
  EXPECT_EQ(afs_force_dirty_erase(nullptr), 22u);
  EXPECT_EQ(afs_idle_reclaim(nullptr), 22u);
  EXPECT_FALSE(afs_idle_reclaim_needed(nullptr));
  EXPECT_FALSE(afs_get_idle_reclaim_enabled(nullptr));
  afs_set_idle_reclaim_enabled(nullptr);
  Bytes image = base_volume().build();
  AfsMount m(image);
  ASSERT_EQ(m.mount(), 0u);
  EXPECT_FALSE(afs_get_idle_reclaim_enabled(&m.ctx));
  afs_set_idle_reclaim_enabled(&m.ctx);
  EXPECT_TRUE(afs_get_idle_reclaim_enabled(&m.ctx));
}

}  // namespace
}  // namespace tarn_test
