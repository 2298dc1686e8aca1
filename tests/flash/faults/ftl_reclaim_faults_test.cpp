// Power cuts and driver failures during reclaims, forced reclaims, dirty
// erases and long random workloads of the FTL's page service. After every
// fault the flash is read back by the image builder's own reader and by a
// fresh mount: every FAT page and every allocated chunk holds its content from
// before the interrupted operation (or after it, once its commit landed), and
// the volume goes on working through more writes, a reclaim and another mount.
//
// TARN_FTL_CUT_SAMPLES widens the random sample (cut points per seed).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "flash/afs/AfsFtl.h"
#include "flash/afs/AfsFtlReclaim.h"
#include "flash/ftl_test_volume.h"
#include "support/fake_driver/flash_fakes.h"
#include "support/test_env.h"

namespace tarn_test {
namespace {

namespace ff = fake_flash;
constexpr uint32_t kIndex = 0x2000;
constexpr uint32_t kFat = 40 * 64;
constexpr uint16_t kFiles = 3;  // chunk ids are chunk + num_files

// 6 EUs: 2 page-mapped, 3 block-mapped (366 chunks), the spare.
FtlGeometry workload_geometry() {
  FtlGeometry g = FtlGeometry::for_partition(6 * 8192, kFat, kIndex);
  g.logical_size = kFat + 3 * ftl_layout::kBmDataBytes;
  return g;
}

enum Kind { kFatWrite, kChunkWrite, kTrim, kIdle, kForced, kDirtyErase };

// What the workload has written, by volume address: FAT pages and allocated
// chunks. A page whose write was cut or failed may hold the data in `maybe`
// instead (a FAT page its old data, a chunk nothing).
struct Model {
  std::map<uint32_t, PageData> pages, maybe;
  std::mt19937 rng;
  uint8_t gen = 0;
};

// The RAM state of a mounted FTL with its tables, the chunk bitmap, the flash
// and the model, to run one step again and again from the same point.
struct Snapshot {
  ftl_context_t ftl;
  std::vector<eu_info_t> eus;
  std::vector<ftl_physical_page_info_t> pages;
  std::vector<uint32_t> bitmap;
  Bytes image;
  Model model;
};

class Workload {
 public:
  explicit Workload(uint32_t seed, bool background = true) : v(workload_geometry()), background_(background) {
    m.rng.seed(seed);
    ff::reset();
    v.b.format();
    remount();
  }
  ~Workload() { ff::reset(); }

  // One random operation; returns its kind.
  Kind step() {
    failures_before_ = ff::failures_returned();
    const uint32_t roll = m.rng() % (background_ ? 200 : 190);
    if (roll < 100) return write(m.rng() % (kFat / 64) * 64), kFatWrite;
    if (roll < 150 && m.pages.size() < 330) return write_chunk(), kChunkWrite;
    if (roll < 190) return trim(), kTrim;
    if (roll < 196) return faulted(afs_physical_ftl_idle_reclaim(&v.ctx), 38807), kIdle;
    if (roll < 198) return faulted(afs_physical_ftl_force_full_reclaim(&v.ctx), 11), kForced;
    return faulted(afs_physical_ftl_force_dirty_erase(&v.ctx)), kDirtyErase;
  }

  // Reads the flash back with the builder's reader, mounts, reads through the FTL.
  void recover() {
    ff::reset();
    std::map<uint32_t, PageData> live;
    for (const auto& p : v.b.live_fat_pages()) live[p.first * 64u] = p.second;
    for (const auto& c : v.b.live_chunks()) live[kFat + c.first * 64] = c.second;
    for (const auto& p : m.maybe)
      if (live[p.first] == p.second) m.pages[p.first] = p.second;
    m.maybe.clear();
    for (const auto& p : m.pages) ASSERT_EQ(live[p.first], p.second) << "flash at " << p.first;
    remount();
    PageData data(64);
    for (const auto& p : m.pages) {
      ASSERT_EQ(afs_physical_ftl_read_page(&v.ctx, p.first, 64, data.data(), 0), 0u);
      ASSERT_EQ(data, p.second) << "FTL at " << p.first;
    }
    EXPECT_EQ(ff::out_of_window_accesses(), 0u);
  }
  // More writes, another reclaim, another mount.
  void keep_working() {
    for (int i = 0; i < 8; ++i) step();
    faulted(afs_physical_ftl_force_full_reclaim(&v.ctx), 11);
    recover();
  }

  Snapshot save() const {
    const ftl_context_t& f = *v.ctx.ftl_context;
    return {f, {f.eu_info, f.eu_info + f.amount_of_eus}, {f.page_info, f.page_info + kFat / 64}, v.bitmap,
            v.b.image(), m};
  }
  void restore(const Snapshot& s) {
    ftl_context_t& f = v.ftl();
    ftl_context_t state = s.ftl;  // the tables stay those of the present mount
    state.eu_info = std::copy(s.eus.begin(), s.eus.end(), f.eu_info) - s.eus.size();
    state.page_info = std::copy(s.pages.begin(), s.pages.end(), f.page_info) - s.pages.size();
    f = state;
    v.bitmap = s.bitmap;
    v.ctx.chunk_state = v.bitmap.data();
    v.b.image() = s.image;
    m = s.model;
  }

  // Writes a new version of the page at `address`.
  void write(uint32_t address) {
    PageData data = page_pattern(static_cast<uint16_t>(address / 64), ++m.gen);
    m.maybe.erase(address);
    (faulted(afs_physical_ftl_write_page(&v.ctx, address, 64, data.data(), kIndex)) ? m.maybe : m.pages)[address] = data;
  }
  void reclaim(uint32_t eu) {
    failures_before_ = ff::failures_returned();
    faulted(reclaim_eu(&v.ctx, eu, 1), 38807);
  }

  TestVolume v;
  Model m;

 private:
  // True when the operation met a power cut or a driver failure (reported as
  // 5); else its status must be 0 or `also`.
  bool faulted(uint32_t status, uint32_t also = 0) {
    if (ff::power_lost()) return true;
    const bool failed = ff::failures_returned() != failures_before_;
    EXPECT_TRUE(failed ? status == 5 : status == 0 || status == also) << status;
    return failed;
  }
  void write_chunk() {
    cid_t id = 0;
    uint32_t status = 65533;
    for (int calls = 0; status == 65533 && calls < 4; ++calls) status = afs_physical_ftl_allocate_page(&v.ctx, &id);
    if (status == 28 || faulted(status)) return;
    const uint32_t address = kFat + (id - kFiles) * 64u;
    ASSERT_EQ(m.pages.count(address), 0u) << "chunk handed out twice";
    write(address);
  }
  void trim() {  // a released FAT page's content no longer counts either
    if (m.pages.empty()) return;
    const auto it = std::next(m.pages.begin(), m.rng() % m.pages.size());
    EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, it->first, 64, 0), 0u);
    m.pages.erase(it);
  }
  void remount() {
    ff::confine(kIndex, v.b.geometry().partition_size);
    ASSERT_EQ(v.mount(), 0u);
    v.ctx.num_files = kFiles;
    for (auto it = m.pages.lower_bound(kFat); it != m.pages.end(); ++it) v.allocate((it->first - kFat) / 64);
    ASSERT_EQ(v.hand_over(), 0u);
  }

  bool background_;
  uint32_t failures_before_ = 0;
};

// Calls of each driver operation (read, write, erase) since the last reset.
std::vector<uint32_t> driver_calls() {
  return {ff::calls(ff::Op::kRead), ff::calls(ff::Op::kWrite), ff::calls(ff::Op::kErase)};
}

// Runs `step` (one operation) whole, then again and again from the state
// before it: the power cut at every flash write and erase of it (dropped, or
// torn after one byte), then each of its driver calls failing in turn, the
// volume going on in the same mount before it is mounted again.
template <typename Step>
void sweep(Workload& w, Step step) {
  const Snapshot snapshot = w.save();
  std::vector<uint32_t> ops = driver_calls();
  step();
  for (int op = 0; op < 3; ++op) ops[op] = driver_calls()[op] - ops[op];
  w.recover();  // the step done whole
  for (uint32_t cut = 0; cut < 2 * (ops[1] + ops[2]); ++cut) {
    SCOPED_TRACE(testing::Message() << "power cut before operation " << cut / 2 << ", torn " << cut % 2);
    w.restore(snapshot);
    ff::cut_power_after_operations(cut / 2, cut % 2);
    step();
    ASSERT_TRUE(ff::power_lost());
    w.recover();
    w.keep_working();
    if (testing::Test::HasFatalFailure()) return;
  }
  for (int op = 0; op < 3; ++op) {
    for (uint32_t nth = 1; nth <= ops[op]; ++nth) {
      SCOPED_TRACE(testing::Message() << "driver call " << nth << " of kind " << op << " fails");
      w.restore(snapshot);
      ff::fail({static_cast<ff::Op>(op), nth});
      step();
      w.keep_working();
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

// Sweeps the `occurrence`-th step of `kind` that erases (a reclaim) or, for a
// dirty erase, writes.
void sweep_step(uint32_t seed, Kind kind, int occurrence, bool background) {
  const int sign = kind == kDirtyErase ? 1 : 2;
  int target = 0;
  for (Workload w(seed, background); target < 3000; ++target) {
    const uint32_t before = driver_calls()[sign];
    if (w.step() == kind && driver_calls()[sign] > before && --occurrence == 0) break;
  }
  ASSERT_LT(target, 3000) << "the workload never reached the step";
  Workload w(seed, background);
  for (int step = 0; step < target; ++step) w.step();
  sweep(w, [&] { w.step(); });
}

TEST(FtlReclaimFaults, EveryOperationOfEachKindOfReclaim) {
  struct Sweep {
    uint32_t seed;
    Kind kind;
    int occurrence;
    bool background;  // off: every reclaim is one that a write needs
  };
  for (const Sweep& s : {Sweep{1, kFatWrite, 1, false}, Sweep{1, kFatWrite, 2, false}, Sweep{2, kChunkWrite, 1, false},
                         Sweep{2, kChunkWrite, 3, false}, Sweep{3, kForced, 3, true}, Sweep{4, kIdle, 1, true},
                         Sweep{4, kIdle, 2, true}, Sweep{5, kDirtyErase, 1, true}}) {
    SCOPED_TRACE(testing::Message() << "seed " << s.seed << ", kind " << s.kind << ", occurrence " << s.occurrence);
    sweep_step(s.seed, s.kind, s.occurrence, s.background);
    if (HasFatalFailure()) return;
  }
}

TEST(FtlReclaimFaults, EveryOperationOfAReclaimThatFillsTheWriteHead) {
  // EU 0 full with 20 live pages, EU 1 the write head with room for 10: the
  // copy fills EU 1, commits its last page and goes on in the new EU.
  Workload w(6, false);
  for (uint32_t i = 0; i < 230; ++i) w.write((i < 120 ? i % 40 : (i - 120) % 20) * 64);
  ASSERT_EQ(w.v.ftl().current_page_mapped_eu, 1u);
  sweep(w, [&] { w.reclaim(0); });
}

TEST(FtlReclaimFaults, SampledPowerCutsInLongWorkloads) {
  const uint32_t samples = env_count("TARN_FTL_CUT_SAMPLES", 12);
  constexpr int kSteps = 1500;
  for (uint32_t seed : {11u, 12u}) {
    uint32_t total = 0;
    {
      Workload w(seed);
      const std::vector<uint32_t> before = driver_calls();
      for (int i = 0; i < kSteps; ++i) w.step();
      total = driver_calls()[1] - before[1] + driver_calls()[2] - before[2];
    }
    std::mt19937 pick(seed);
    for (uint32_t s = 0; s < samples; ++s) {
      const uint32_t cut = pick() % total;
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", power cut at operation " << cut);
      Workload w(seed);
      ff::cut_power_after_operations(cut, pick() % 40);
      for (int i = 0; i < kSteps && !ff::power_lost(); ++i) w.step();
      w.recover();
      w.keep_working();
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace tarn_test
