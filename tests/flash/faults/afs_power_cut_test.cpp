// Power cut at every flash write and erase of AFS file operations, checked
// with the independent volume reader; the same sweep, at sampled cut points,
// on volumes of device size aged by long random workloads; hostile FATs and
// headers never make an operation reach outside the partition.
//
// TARN_AFS_CUT_SAMPLES widens the sample of the device-size sweeps (cut
// points per swept operation).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "flash/afs/AfsFtl.h"
#include "flash/afs_test_mount.h"
#include "support/fake_driver/flash_fakes.h"
#include "support/test_env.h"

namespace tarn_test {
namespace {

namespace ff = fake_flash;

using Op = std::function<uint32_t(AfsMount&)>;
using Files = std::map<uint32_t, AfsFileContent>;

Op write_op(uint32_t f, uint32_t pos, uint32_t size, uint32_t flags = 0) {
  return [=](AfsMount& m) { return m.write(f, pos, pattern(size, 200), flags); };
}

// What the sweeps and workloads of a test covered, counted from the flash
// writes while a mount is watched: moves of the FAT write head to another EU,
// page-mapped reclaims (a new header with euva 0) and how many of them ran
// while another page-mapped EU was empty, and power cuts.
struct Coverage {
  uint64_t head_moves = 0, pm_reclaims = 0, beside_empty = 0, cuts = 0;
  uint64_t cut_run_head_moves = 0, cut_run_pm_reclaims = 0, cut_run_beside_empty = 0;  // before a cut
  bool cut_run = false;
  // Flash operations done before each head move or page-mapped reclaim
  // header of the last uncut run: the sweeps cut around them.
  std::vector<uint32_t> events;
};

Coverage g_coverage;
const afs_context_t* g_watched = nullptr;
uint32_t g_head = FTL_NO_EU;

// Writes and erases since the last reset of the driver, as power cuts count them.
uint32_t flash_operations() { return ff::calls(ff::Op::kWrite) + ff::calls(ff::Op::kErase); }

void count_write(uint32_t address, uint32_t length, const uint8_t* data) {
  const ftl_context_t* ftl = g_watched != nullptr ? g_watched->ftl_context : nullptr;
  if (ftl == nullptr) return;
  if (ftl->current_page_mapped_eu != g_head) {
    g_head = ftl->current_page_mapped_eu;
    ++g_coverage.head_moves;
    g_coverage.cut_run_head_moves += g_coverage.cut_run;
    g_coverage.events.push_back(flash_operations() - 1);
  }
  using namespace ftl_layout;
  if (address % kEuSize != 0 || length < kEuvaOffset + 2 || get_u16(data + kEuvaOffset) != 0) return;
  ++g_coverage.pm_reclaims;
  g_coverage.cut_run_pm_reclaims += g_coverage.cut_run;
  g_coverage.events.push_back(flash_operations() - 1);
  for (uint32_t e = 0; e < ftl->amount_of_eus; ++e) {
    const eu_info_t& info = ftl->eu_info[e];
    if (info.euva == 0 && info.non_committed_pages != 0 && e != address / kEuSize && e != ftl->spare_eu &&
        e != ftl->current_page_mapped_eu) {
      ++g_coverage.beside_empty;
      g_coverage.cut_run_beside_empty += g_coverage.cut_run;
      break;
    }
  }
}

// Counts the writes of `m` while it lives.
class Watch {
 public:
  explicit Watch(const AfsMount& m) : watched_(g_watched), head_(g_head) {
    g_watched = &m.ctx;
    g_head = m.ctx.ftl_context != nullptr ? m.ctx.ftl_context->current_page_mapped_eu : FTL_NO_EU;
    ff::watch_writes(count_write);
  }
  ~Watch() {
    g_watched = watched_;
    g_head = head_;
    if (watched_ == nullptr) ff::watch_writes(nullptr);
  }
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

 private:
  const afs_context_t* watched_;
  uint32_t head_;
};

// Idle reclaims while one is due, at most four, as the device runs them
// between operations: 0 when each one gained room or gained nothing
// (AFS_STATUS_RECLAIM_NO_GAIN), else the first other status.
uint32_t idle_reclaims(afs_context_t* ctx) {
  for (int k = 0; k < 4 && afs_idle_reclaim_needed(ctx); ++k) {
    const uint32_t status = afs_idle_reclaim(ctx);
    if (status != AFS_STATUS_OK && status != AFS_STATUS_RECLAIM_NO_GAIN) return status;
  }
  return AFS_STATUS_OK;
}

// After what a cut left and the operation redone: another file written and
// rewritten, a forced and an idle reclaim step; then the
// independent reader and the library after another mount find every file
// as expected.
void keep_working(Bytes& image, uint32_t partition, Files expected) {
  uint32_t f = 0;
  while (expected.count(f) != 0) ++f;
  {
    AfsMount m(image, partition);
    ASSERT_EQ(m.mount(), 0u);
    Watch watch(m);
    ASSERT_EQ(m.write(f, 0, pattern(150, f)), 0u);
    ASSERT_EQ(m.write(f, 100, pattern(60, f + 1)), 0u);
    expected[f] = {AfsFileState::kData, model_write(pattern(150, f), 100, pattern(60, f + 1), false), {}};
    const uint32_t forced = afs_force_full_reclaim(&m.ctx);
    EXPECT_TRUE(forced == AFS_STATUS_OK || forced == AFS_STATUS_TRY_AGAIN) << forced;
    const uint32_t idle = afs_idle_reclaim(&m.ctx);
    EXPECT_TRUE(idle == AFS_STATUS_OK || idle == AFS_STATUS_RECLAIM_NO_GAIN) << idle;
  }
  {
    AfsMount again(image, partition);
    ASSERT_EQ(again.mount(), 0u);
    expect_library_reads(again, expected);
  }
  EXPECT_EQ(AfsVolumeReader(image, partition).files(), expected);
}

struct SweepSetup {
  uint32_t partition = kSmallPartition;
  // Cut points drawn with a fixed seed, each torn after 0 to 63 bytes; 0:
  // every cut point, torn after 0, 9 and 40 bytes.
  uint32_t samples = 0;
  uint32_t seed = 1;
  bool expect_erase = false;
  // After every cut, also more writes, a reclaim and another mount.
  bool keep_working = false;
};

// Runs `op` on `image` with power lost after a number of completed flash
// operations (the next write torn after some bytes) and checks the volume
// after every cut: old files until the commit, new ones from then on, by the
// reader and by the library after a mount; the operation can be done again
// from what the cut left, and the volume goes on working.
void sweep(const Bytes& image, uint32_t target, const Op& op, const SweepSetup& s = {}) {
  ff::reset();
  const Files old_files = AfsVolumeReader(image, s.partition).files();
  Bytes done = image;
  uint32_t operations = 0;
  {
    AfsMount m(done, s.partition);
    ASSERT_EQ(m.mount(), 0u);
    Watch watch(m);
    ff::reset();
    g_coverage.events.clear();
    ASSERT_EQ(op(m), 0u);
    operations = flash_operations();
    ASSERT_TRUE(!s.expect_erase || ff::calls(ff::Op::kErase) > 0);
  }
  const Files new_files = AfsVolumeReader(done, s.partition).files();
  ASSERT_NE(old_files, new_files);
  std::vector<std::pair<uint32_t, uint32_t>> cuts;  // (operations that land, torn bytes)
  if (s.samples == 0) {
    for (uint32_t torn : {0u, 9u, 40u})
      for (uint32_t at = 0; at <= operations; ++at) cuts.emplace_back(at, torn);
  } else {
    // Each number drawn in a statement of its own, so that every compiler
    // draws the same cuts from the seed.
    std::mt19937 pick(s.seed);
    for (uint32_t k = 0; k < s.samples; ++k) {
      const uint32_t at = pick() % (operations + 1);
      const uint32_t torn = pick() % 64;
      cuts.emplace_back(at, torn);
    }
    // Also at the write that moves the head or writes a page-mapped header,
    // and at the operations around it.
    for (uint32_t e : g_coverage.events) {
      for (uint32_t at = e == 0 ? 0 : e - 1; at <= e + 2 && at <= operations; ++at) {
        const uint32_t torn = pick() % 64;
        cuts.emplace_back(at, torn);
      }
    }
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  // More landed bytes never take the volume back to the old files.
  bool committed = false;
  for (const auto& cut : cuts) {
    SCOPED_TRACE(testing::Message() << "cut after " << cut.first << " of " << operations << ", torn " << cut.second);
    ++g_coverage.cuts;
    Bytes copy = image;
    {
      AfsMount cut_short(copy, s.partition);
      ff::reset();
      ASSERT_EQ(cut_short.mount(), 0u);
      Watch watch(cut_short);
      ff::cut_power_after_operations(cut.first, cut.second);
      g_coverage.cut_run = true;
      op(cut_short);
      g_coverage.cut_run = false;
      ff::reset();
    }
    const Files files = AfsVolumeReader(copy, s.partition).files();
    const bool is_new = files == new_files;
    ASSERT_TRUE(is_new || (files == old_files && !committed));
    committed = is_new;
    {
      AfsMount again(copy, s.partition);
      ASSERT_EQ(again.mount(), 0u);
      Watch watch(again);
      expect_library_reads(again, files);
      EXPECT_EQ(again.read(target), files.count(target) ? files.at(target).data : Bytes{});
      ASSERT_EQ(is_new ? 0u : op(again), 0u);
    }
    ASSERT_EQ(AfsVolumeReader(copy, s.partition).files(), new_files);
    // keep_working finds the new files beside its own.
    if (s.keep_working) keep_working(copy, s.partition, new_files);
    if (testing::Test::HasFatalFailure()) return;
  }
  EXPECT_TRUE(committed || s.samples != 0);
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
  sweep(image, 5, write_op(5, 0, size), {kSmallPartition, 0, 1, true});
}

// A volume of device size formatted by the library, aged by a long random
// workload of writes (up to the largest file) and deletes with a model of
// every file. After every write or delete that returns 0, a mount of a copy
// of the image finds the file byte-exact: the library never reports success
// for something a remount loses. A write that fails leaves the file as it was.
class Workload {
 public:
  Workload(uint32_t partition, uint32_t files, uint32_t seed) : image(partition, 0xFF), rng_(seed) {
    ff::reset();
    mount_.reset(new AfsMount(image, partition));
    EXPECT_EQ(mount_->mount(kFormatFlags, files), 0u);
    watch_.reset(new Watch(*mount_));
    num_files_ = files;
  }
  ~Workload() { ff::reset(); }

  // `steps` random operations on files of every FAT page; the volume is
  // mounted again now and then, as a device restarts.
  void run(int steps) {
    for (int i = 0; i < steps && !testing::Test::HasFatalFailure(); ++i) {
      if (i % 250 == 249) remount();
      // The first half, and half of the rest, rewrites a few hot files as a
      // device rewrites its settings: their FAT pages go stale fast and whole
      // page-mapped EUs with them, which idle reclaims take while the volume
      // has room, some while the write head has not yet reached every EU.
      const bool hot = i < steps / 2 || rng_() % 2 != 0;
      const uint32_t f = hot ? rng_() % 8 * 97 : rng_() % num_files_;
      if (rng_() % 8 == 0) idle_reclaim(f);
      const uint32_t roll = rng_() % 100;
      const uint32_t size = roll < 2 ? AFS_MAX_FILE_SIZE - rng_() % 64 : rng_() % (roll < 12 ? 20000 : 700);
      const auto it = model.find(f);
      const uint32_t old = it == model.end() ? 0 : static_cast<uint32_t>(it->second.size());
      if (roll >= 75 && it != model.end()) {
        remove(f);
      } else if (roll >= 55 && old != 0) {
        const uint32_t pos = rng_() % old;
        write(f, pos, std::min(size, AFS_MAX_FILE_SIZE - pos), roll >= 70 ? AFS_WRITE_TRUNCATE : 0);
      } else {
        write(f, 0, size, AFS_WRITE_TRUNCATE);
      }
    }
  }

  // Largest files until the allocator answers 28, then smaller ones until it
  // does again; then every other of them deleted and rewritten.
  void fill() {
    std::vector<uint32_t> written;
    for (uint32_t size : {AFS_MAX_FILE_SIZE, 20000u, 640u}) {
      uint32_t status = 0;
      for (uint32_t f = rng_() % num_files_, tries = 0; status == 0 && tries < num_files_; ++tries) {
        f = (f + 1) % num_files_;
        if (model.count(f) != 0) continue;
        status = write(f, 0, size, 0);
        if (status == 0) written.push_back(f);
      }
      ASSERT_EQ(status, 28u) << "files of " << size << " bytes never filled the volume";
    }
    for (size_t i = 0; i < written.size(); i += 2) remove(written[i]);
    for (size_t i = 0; i < written.size(); i += 4) write(written[i], 0, 9000, 0);
    // Room for one more file of the largest size.
    while (!model.empty() && (mount_->ctx.num_chunks - mount_->bits()) * 64 < AFS_MAX_FILE_SIZE + 0x1000)
      remove(std::next(model.begin(), rng_() % model.size())->first);
  }

  void remount() {
    watch_.reset();
    mount_.reset();
    mount_.reset(new AfsMount(image, image_size()));
    ASSERT_EQ(mount_->mount(), 0u);
    watch_.reset(new Watch(*mount_));
    expect_model(*mount_, image);
  }

  // The reader and the library find every modelled file, and no other.
  void expect_model(AfsMount& m, const Bytes& flash) const {
    Files files;
    for (const auto& f : model) files[f.first] = {f.second.empty() ? AfsFileState::kEmpty : AfsFileState::kData,
                                                  f.second, {}};
    EXPECT_EQ(AfsVolumeReader(flash, image_size()).files(), files);
    expect_library_reads(m, files);
  }

  uint32_t image_size() const { return static_cast<uint32_t>(image.size()); }

  Bytes image;
  std::map<uint32_t, Bytes> model;

 private:
  uint32_t write(uint32_t f, uint32_t pos, uint32_t size, uint32_t flags) {
    const Bytes data = pattern(size, rng_());
    const uint32_t status = mount_->write(f, pos, data, flags);
    if (status == 0) {
      model[f] = model_write(model[f], pos, data, flags & AFS_WRITE_TRUNCATE);
      check_remount(f);
    } else {
      EXPECT_EQ(status, 28u);
      EXPECT_EQ(mount_->read(f), model.count(f) ? model[f] : Bytes{}) << "a failed write changed file " << f;
    }
    return status;
  }
  // Idle reclaims while one is due, as the device runs them between
  // operations: EUs that hold only stale pages go first, so a page-mapped
  // one can be reclaimed while an EU left empty by the one before waits.
  void idle_reclaim(uint32_t f) {
    ASSERT_EQ(idle_reclaims(&mount_->ctx), AFS_STATUS_OK);
    check_remount(f);
  }
  void remove(uint32_t f) {
    ASSERT_EQ(afs_deletefile(&mount_->ctx, static_cast<int32_t>(f)), 0u);
    model.erase(f);
    check_remount(f);
  }
  // A mount of a copy of the flash as the operation left it.
  void check_remount(uint32_t f) {
    Bytes copy = image;
    {
      AfsMount m(copy, image_size());
      ASSERT_EQ(m.mount(), 0u);
      ASSERT_EQ(m.size(f), model.count(f) ? static_cast<uint32_t>(model[f].size()) : 0xFFFFFFFFu) << "file " << f;
      const Bytes& expected = model.count(f) ? model[f] : Bytes{};
      ASSERT_EQ(m.read(f, 0, static_cast<uint32_t>(expected.size()) + 1), expected) << "file " << f;
    }
    SpiFlashDrvInitialize(image.data());  // the workload's mount goes on with its own image
  }

  std::mt19937 rng_;
  uint32_t num_files_ = 0;
  std::unique_ptr<AfsMount> mount_;
  std::unique_ptr<Watch> watch_;  // goes before the mount it watches
};

TEST(AfsPowerCut, DeviceSizedVolumesAgedByLongWorkloads) {
  // 2048 files: the FAT spans more than two page-mapped EUs, so the write
  // head crosses EUs and page-mapped reclaims run beside empty ones.
  const struct {
    const char* what;
    uint32_t partition;
    int steps;         // of the aging workload
    uint32_t samples;  // cut points per swept operation
  } volumes[] = {
      {"64 EUs", 0x80000, 1200, 5},
      {"255 EUs", 0x1FE000, 600, 2},
  };
  g_coverage = {};
  for (const auto& v : volumes) {
    SCOPED_TRACE(v.what);
    Workload w(v.partition, 2048, v.partition);
    w.run(v.steps);
    w.fill();
    w.remount();
    if (HasFatalFailure()) return;
    // Power cuts in the aged volume: the largest write to a new file, a
    // rewrite inside and a truncation of the largest file, its deletion, and
    // a small write followed by the idle reclaims then due.
    const uint32_t samples = env_count("TARN_AFS_CUT_SAMPLES", v.samples);
    uint32_t fresh = 0;
    while (w.model.count(fresh) != 0) ++fresh;
    ASSERT_FALSE(w.model.empty());
    const auto most = std::max_element(w.model.begin(), w.model.end(), [](const std::pair<const uint32_t, Bytes>& a,
                                                                         const std::pair<const uint32_t, Bytes>& b) {
      return a.second.size() < b.second.size();
    });
    const uint32_t largest = most->first;
    const uint32_t size = static_cast<uint32_t>(most->second.size());
    const struct {
      const char* what;
      uint32_t target;
      Op op;
    } cases[] = {
        {"largest write", fresh, write_op(fresh, 0, AFS_MAX_FILE_SIZE)},
        {"rewrite inside", largest, write_op(largest, size / 3, size / 3)},
        {"truncation", largest, write_op(largest, 100, 0, AFS_WRITE_TRUNCATE)},
        {"delete", largest, [=](AfsMount& m) { return afs_deletefile(&m.ctx, static_cast<int32_t>(largest)); }},
        {"small write, then idle reclaims", fresh, [=](AfsMount& m) {
           const uint32_t status = m.write(fresh, 0, pattern(300, 200));
           return status == AFS_STATUS_OK ? idle_reclaims(&m.ctx) : status;
         }},
    };
    uint32_t seed = 0;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      sweep(w.image, c.target, c.op, {v.partition, samples, ++seed, false, true});
      if (HasFatalFailure()) return;
    }
  }
  std::cout << "device-size sweeps: " << g_coverage.head_moves << " head moves, " << g_coverage.pm_reclaims
            << " page-mapped reclaims (" << g_coverage.beside_empty << " beside an empty page-mapped EU), "
            << g_coverage.cuts << " cuts (" << g_coverage.cut_run_head_moves << " head moves and "
            << g_coverage.cut_run_pm_reclaims << " page-mapped reclaims (" << g_coverage.cut_run_beside_empty
            << " beside an empty one) before a cut)\n";
  EXPECT_GT(g_coverage.beside_empty, 0u);
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
