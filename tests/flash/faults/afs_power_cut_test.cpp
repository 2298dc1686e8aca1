// Power cut at every flash write and erase of AFS file operations: after
// each cut the volume mounts, the file is exactly its old or its new content
// (old until the write's commit reaches the flash, new from then on), every
// other file is unchanged, and the operation can be repeated. Checked with
// the independent volume reader.
#include <gtest/gtest.h>

#include <functional>

#include "flash/afs_test_mount.h"
#include "support/fake_driver/flash_fakes.h"

namespace tarn_test {
namespace {

namespace ff = fake_flash;

using Op = std::function<uint32_t(AfsMount&)>;

Op write_op(uint32_t f, uint32_t pos, uint32_t size, uint32_t flags = 0) {
  return [=](AfsMount& m) { return m.write(f, pos, pattern(size, 200), flags); };
}

AfsVolumeWriter base_volume() {
  AfsVolumeWriter w(kSmallPartition, 1024);
  w.add_file(1, pattern(300, 1)).add_file(2, pattern(40, 2)).add_file(3, pattern(130, 3)).add_empty(4);
  return w;
}

// Runs `op` on `image` with power lost after each number of completed
// operations (and with the next write torn after `torn` bytes), and checks
// the volume after every cut. `target` is the file the operation changes.
void sweep(const Bytes& image, uint32_t target, const Op& op, bool expect_erase = false) {
  ff::reset();
  const auto old_files = AfsVolumeReader(image, kSmallPartition).files();
  Bytes done = image;
  uint32_t operations = 0;
  {
    AfsMount m(done);
    ASSERT_EQ(m.mount(), 0u);
    ff::reset();
    ASSERT_EQ(op(m), 0u);
    operations = ff::operations_done();
    if (expect_erase) {
      ASSERT_GT(ff::calls(ff::Op::kErase), 0u);
    }
  }
  const auto new_files = AfsVolumeReader(done, kSmallPartition).files();
  ASSERT_NE(old_files, new_files);

  for (uint32_t torn : {0u, 9u, 40u}) {
    bool committed = false;
    for (uint32_t cut = 0; cut <= operations; ++cut) {
      SCOPED_TRACE(testing::Message() << "cut after " << cut << " of " << operations << ", torn " << torn);
      Bytes copy = image;
      {
        AfsMount m(copy);
        ff::reset();
        ASSERT_EQ(m.mount(), 0u);
        ff::cut_power_after_operations(cut, torn);
        op(m);
        ff::reset();
      }
      const auto files = AfsVolumeReader(copy, kSmallPartition).files();
      const bool is_new = files == new_files;
      ASSERT_TRUE(is_new || files == old_files);
      ASSERT_FALSE(committed && !is_new);  // once new, never old again
      committed = is_new;
      AfsMount again(copy);
      ASSERT_EQ(again.mount(), 0u);
      auto it = files.find(target);
      EXPECT_EQ(again.read(target), it == files.end() ? Bytes{} : it->second.data);
      ASSERT_EQ(op(again), is_new && it == files.end() && old_files.count(target) ? 2u : 0u);
      EXPECT_EQ(AfsVolumeReader(copy, kSmallPartition).files(), new_files);
    }
    EXPECT_TRUE(committed);
  }
}

TEST(AfsPowerCut, WriteInTheMiddle) { sweep(base_volume().build(), 1, write_op(1, 70, 10)); }
TEST(AfsPowerCut, Append) { sweep(base_volume().build(), 1, write_op(1, 300, 100)); }
TEST(AfsPowerCut, WritePastTheEnd) { sweep(base_volume().build(), 2, write_op(2, 200, 30)); }
TEST(AfsPowerCut, Truncation) { sweep(base_volume().build(), 1, write_op(1, 100, 0, 1)); }
TEST(AfsPowerCut, Delete) {
  sweep(base_volume().build(), 1, [](AfsMount& m) { return afs_deletefile(&m.ctx, 1); });
}

TEST(AfsPowerCut, WriteThatReclaims) {
  // Every chunk programmed, half of them released: the next allocation has
  // to reclaim an erase unit.
  Bytes image = base_volume().build();
  {
    ff::reset();
    AfsMount m(image);
    ASSERT_EQ(m.mount(), 0u);
    uint32_t f = 10;
    while (m.write(f, 0, pattern(640, f)) == 0) ++f;
    for (uint32_t g = 10; g < f; g += 2) ASSERT_EQ(afs_deletefile(&m.ctx, static_cast<int32_t>(g)), 0u);
  }
  sweep(image, 5, write_op(5, 0, 200), true);
}

}  // namespace
}  // namespace tarn_test
