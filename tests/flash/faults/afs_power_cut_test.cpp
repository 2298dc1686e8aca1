// Power cut at every flash write and erase of AFS file operations, checked
// with the independent volume reader; hostile FATs and headers never make an
// operation reach outside the partition.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "flash/afs/AfsFtl.h"
#include "flash/afs_test_mount.h"
#include "support/fake_driver/flash_fakes.h"

namespace tarn_test {
namespace {

namespace ff = fake_flash;

using Op = std::function<uint32_t(AfsMount&)>;

Op write_op(uint32_t f, uint32_t pos, uint32_t size, uint32_t flags = 0) {
  return [=](AfsMount& m) { return m.write(f, pos, pattern(size, 200), flags); };
}

// Runs `op` on `image` with power lost after each number of completed flash
// operations (the next write torn after `torn` bytes) and checks the volume
// after every cut: old files until the commit, new ones from then on, and the
// operation can be done again from what the cut left.
void sweep(const Bytes& image, uint32_t target, const Op& op, bool expect_erase = false) {
  ff::reset();
  const auto old_files = AfsVolumeReader(image, kSmallPartition).files();
  Bytes done = image;
  AfsMount m(done);
  ASSERT_EQ(m.mount(), 0u);
  ff::reset();
  ASSERT_EQ(op(m), 0u);
  const uint32_t operations = ff::calls(ff::Op::kWrite) + ff::calls(ff::Op::kErase);
  ASSERT_TRUE(!expect_erase || ff::calls(ff::Op::kErase) > 0);
  const auto new_files = AfsVolumeReader(done, kSmallPartition).files();
  ASSERT_NE(old_files, new_files);
  for (uint32_t torn : {0u, 9u, 40u}) {
    bool committed = false;
    for (uint32_t cut = 0; cut <= operations; ++cut) {
      SCOPED_TRACE(testing::Message() << "cut after " << cut << " of " << operations << ", torn " << torn);
      Bytes copy = image;
      AfsMount cut_short(copy);
      ff::reset();
      ASSERT_EQ(cut_short.mount(), 0u);
      ff::cut_power_after_operations(cut, torn);
      op(cut_short);
      ff::reset();
      const auto files = AfsVolumeReader(copy, kSmallPartition).files();
      const bool is_new = files == new_files;
      ASSERT_TRUE(is_new || (files == old_files && !committed));
      committed = is_new;
      AfsMount again(copy);
      ASSERT_EQ(again.mount(), 0u);
      EXPECT_EQ(again.read(target), files.count(target) ? files.at(target).data : Bytes{});
      ASSERT_EQ(is_new ? 0u : op(again), 0u);
      EXPECT_EQ(AfsVolumeReader(copy, kSmallPartition).files(), new_files);
    }
    EXPECT_TRUE(committed);
  }
}

TEST(AfsPowerCut, EveryWriteAndDeleteIsOldOrNew) {
  const struct {
    const char* what;
    uint32_t target;
    Op op;
  } cases[] = {
      {"write in the middle", 1, write_op(1, 70, 10)},
      {"append", 1, write_op(1, 300, 100)},
      {"write past the end", 2, write_op(2, 200, 30)},
      {"truncation", 1, write_op(1, 100, 0, 1)},
      {"delete", 1, [](AfsMount& m) { return afs_deletefile(&m.ctx, 1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sweep(base_volume().build(), c.target, c.op);
  }
}

TEST(AfsPowerCut, WriteThatReclaims) {
  // Every chunk programmed and half of them released, then one reclaim for
  // a small file: the write below takes the rest of that allocation range,
  // asks for a flush and makes the FTL reclaim the other erase unit while
  // its first new chunks are still unlinked.
  Bytes image = base_volume().build();
  uint32_t size = 3 * 64;
  {
    ff::reset();
    AfsMount m(image);
    ASSERT_EQ(m.mount(), 0u);
    uint32_t f = 10;
    while (m.write(f, 0, pattern(640, f)) == 0) ++f;
    for (uint32_t g = 10; g < f; g += 2) ASSERT_EQ(afs_deletefile(&m.ctx, static_cast<int32_t>(g)), 0u);
    ASSERT_EQ(m.write(6, 0, pattern(64, 6)), 0u);
    const ftl_context_t& ftl = *m.ctx.ftl_context;
    ASSERT_LT(ftl.alloc_marker, ftl.alloc_threshold);
    for (uint32_t c = ftl.alloc_marker; c < ftl.alloc_threshold; ++c) size += m.bit(c) ? 0 : 64;
  }
  sweep(image, 5, write_op(5, 0, size), true);
}

TEST(AfsHostile, RandomHeadersAndEntriesStayInsideThePartition) {
  std::mt19937 rng(11);
  const AfsGeometry g = AfsGeometry::for_partition(kSmallPartition, 80);
  const uint16_t kinds[] = {0, 1, 64, 65, 79, 80, 0xFFFE, 0xFFFF};
  for (int round = 0; round < 150; ++round) {
    AfsVolumeWriter w(kSmallPartition, 80);
    w.add_file(1, pattern(300, 1)).add_file(2, pattern(1000, 2)).add_file(3, pattern(64, 3));
    for (int k = 0; k < 4; ++k) {
      const uint32_t pick = rng() % 3;
      const uint16_t value = pick == 0   ? kinds[rng() % 8]
                             : pick == 1 ? static_cast<uint16_t>(g.num_files + rng() % (g.num_chunks + 2))
                                         : static_cast<uint16_t>(rng());
      w.set_entry(rng() % (g.num_files + g.num_chunks), value);
    }
    if (round % 10 == 0) w.set_header(rng() % (2 * g.flash_size), 60 + rng() % 40);
    Bytes image = w.build();
    ff::reset();
    ff::confine(0, kSmallPartition);
    AfsMount m(image);
    const bool mounted = m.mount() == 0;
    for (uint32_t f = 0; mounted && f < 80; ++f) {
      m.size(f);
      m.read(f, 0, 2000);
      m.write(f, 40, pattern(100, f));
      afs_deletefile(&m.ctx, static_cast<int32_t>(f));
    }
    EXPECT_EQ(ff::out_of_window_accesses(), 0u) << round;
  }
  ff::reset();
}

}  // namespace
}  // namespace tarn_test
