// Power cuts and driver failures during reclaims, forced reclaims, dirty
// erases and long random workloads of the FTL's page service. After every
// fault the flash is read back by the image builder's own reader and by a
// fresh mount: every FAT page and every allocated chunk holds its content from
// before the interrupted operation (or after it, once its commit landed), and
// the volume goes on working through more writes, a reclaim and another mount.
//
// TARN_FTL_CUT_SAMPLES widens the random sample (cut points per seed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <random>
#include <vector>

#include "flash/afs/AfsFtl.h"
#include "flash/ftl_test_volume.h"
#include "support/fake_driver/flash_fakes.h"

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

enum class Kind { kFatWrite, kChunkWrite, kTrim, kIdle, kForced, kDirtyErase };

class Workload {
 public:
  // Without background operations every reclaim is one that a write needs.
  explicit Workload(uint32_t seed, bool background = true)
      : v(workload_geometry()), rng_(seed), background_(background) {
    ff::reset();
    v.b.format();
    remount();
  }
  ~Workload() { ff::reset(); }

  // One random operation; returns its kind.
  Kind step() {
    failures_before_ = ff::failures_returned();
    const uint32_t roll = rng_() % (background_ ? 200 : 190);
    if (roll < 100) return write_fat(static_cast<uint16_t>(rng_() % (kFat / 64))), Kind::kFatWrite;
    if (roll < 150 && chunks_.size() < 330) return write_chunk(), Kind::kChunkWrite;
    if (roll < 190) return trim(), Kind::kTrim;
    if (roll < 196) return expect_in(afs_physical_ftl_idle_reclaim(&v.ctx), {0, 38807}), Kind::kIdle;
    if (roll < 198) return expect_in(afs_physical_ftl_force_full_reclaim(&v.ctx), {0, 11}), Kind::kForced;
    return expect_in(afs_physical_ftl_force_dirty_erase(&v.ctx), {0}), Kind::kDirtyErase;
  }

  // The flash as the reader sees it, then a mount. A FAT page whose write
  // was interrupted or failed holds its old or its new content.
  void recover() {
    ff::reset();
    auto live = v.b.live_fat_pages();
    for (const auto& m : maybe_fat_)
      if (live[m.first] == m.second) fat_[m.first] = m.second;
    maybe_fat_.clear();
    if (pending_chunk_ >= 0) {
      const auto live = v.b.live_chunks();
      const auto it = live.find(static_cast<uint32_t>(pending_chunk_));
      if (it != live.end()) {
        EXPECT_EQ(it->second, pending_data_);
        chunks_[it->first] = pending_data_;
      }
    }
    pending_chunk_ = -1;
    verify_flash();
    remount();
    verify_library();
  }

  // More writes, another reclaim, another mount.
  void keep_working() {
    for (int i = 0; i < 8; ++i) step();
    expect_in(afs_physical_ftl_force_full_reclaim(&v.ctx), {0, 11});
    recover();
  }

  // Exact copy of the flash, the FTL's RAM state and the model.
  struct Snapshot {
    Bytes image;
    ftl_context_t ftl;
    std::vector<eu_info_t> eus;
    std::vector<ftl_physical_page_info_t> pages;
    std::vector<uint32_t> bitmap;
    std::map<uint16_t, PageData> fat;
    std::map<uint32_t, PageData> chunks;
    std::map<uint16_t, PageData> maybe_fat;
    std::mt19937 rng;
    uint8_t gen;
  };
  Snapshot save() {
    ftl_context_t& f = v.ftl();
    return {v.b.image(), f, {f.eu_info, f.eu_info + f.amount_of_eus}, {f.page_info, f.page_info + kFat / 64},
            v.bitmap, fat_, chunks_, maybe_fat_, rng_, gen_};
  }
  void restore(const Snapshot& s) {
    ftl_context_t& f = v.ftl();
    eu_info_t* eus = f.eu_info;
    ftl_physical_page_info_t* pages = f.page_info;
    f = s.ftl;  // the tables stay those of the present mount
    f.eu_info = eus;
    f.page_info = pages;
    std::copy(s.eus.begin(), s.eus.end(), eus);
    std::copy(s.pages.begin(), s.pages.end(), pages);
    v.b.image() = s.image;
    std::copy(s.bitmap.begin(), s.bitmap.end(), v.bitmap.begin());
    fat_ = s.fat, chunks_ = s.chunks, maybe_fat_ = s.maybe_fat, rng_ = s.rng, gen_ = s.gen;
  }

  TestVolume v;

 private:
  // True when the operation ran into a power cut or a driver failure; a
  // driver failure must have been reported as 5.
  bool faulted(uint32_t status) {
    if (ff::power_lost()) return true;
    if (ff::failures_returned() == failures_before_) return false;
    EXPECT_EQ(status, 5u);
    return true;
  }
  void expect_in(uint32_t status, std::initializer_list<uint32_t> allowed) {
    if (faulted(status)) return;
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), status), allowed.end()) << status;
  }
  void write_fat(uint16_t lp) {
    PageData data = page_pattern(lp, ++gen_);
    const uint32_t status = afs_physical_ftl_write_page(&v.ctx, lp * 64, 64, data.data(), kIndex);
    maybe_fat_.erase(lp);
    if (faulted(status)) {
      maybe_fat_[lp] = data;
      return;
    }
    EXPECT_EQ(status, 0u);
    fat_[lp] = data;
  }
  void write_chunk() {
    cid_t id = 0;
    uint32_t status = 65533;
    for (int calls = 0; status == 65533 && calls < 4; ++calls) status = afs_physical_ftl_allocate_page(&v.ctx, &id);
    if (faulted(status) || status == 28) return;
    ASSERT_EQ(status, 0u);
    const uint32_t c = id - kFiles;
    ASSERT_EQ(chunks_.count(c), 0u) << "chunk handed out twice";
    pending_chunk_ = static_cast<int>(c);
    pending_data_ = page_pattern(static_cast<uint16_t>(c), ++gen_);
    status = afs_physical_ftl_write_page(&v.ctx, kFat + c * 64, 64, pending_data_.data(), kIndex);
    if (faulted(status)) return;
    EXPECT_EQ(status, 0u);
    chunks_[c] = pending_data_;
    pending_chunk_ = -1;
  }
  void trim() {
    if (rng_() % 4 == 0 && !fat_.empty()) {  // the content of a released FAT page no longer counts
      auto it = std::next(fat_.begin(), rng_() % fat_.size());
      EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, it->first * 64, 64, 0), 0u);
      maybe_fat_.erase(it->first);
      fat_.erase(it);
    } else if (!chunks_.empty()) {
      auto it = std::next(chunks_.begin(), rng_() % chunks_.size());
      EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, kFat + it->first * 64, 64, 0), 0u);
      chunks_.erase(it);
    }
  }
  void remount() {
    ff::confine(kIndex, v.b.geometry().partition_size);
    ASSERT_EQ(v.mount(), 0u);
    v.ctx.num_files = kFiles;
    for (const auto& c : chunks_) v.allocate(c.first);
    ASSERT_EQ(v.hand_over(), 0u);
  }
  void verify_flash() {
    auto fat = v.b.live_fat_pages();
    auto chunks = v.b.live_chunks();
    for (const auto& p : fat_) ASSERT_EQ(fat[p.first], p.second) << "FAT page " << p.first;
    for (const auto& c : chunks_) ASSERT_EQ(chunks[c.first], c.second) << "chunk " << c.first;
  }
  void verify_library() {
    PageData data(64);
    for (const auto& p : fat_) {
      ASSERT_EQ(afs_physical_ftl_read_page(&v.ctx, p.first * 64, 64, data.data(), 0), 0u);
      ASSERT_EQ(data, p.second) << "FAT page " << p.first;
    }
    for (const auto& c : chunks_) {
      ASSERT_EQ(afs_physical_ftl_read_page(&v.ctx, kFat + c.first * 64, 64, data.data(), 0), 0u);
      ASSERT_EQ(data, c.second) << "chunk " << c.first;
    }
    EXPECT_EQ(ff::out_of_window_accesses(), 0u);
  }

  std::map<uint16_t, PageData> fat_;
  std::map<uint32_t, PageData> chunks_;
  std::mt19937 rng_;
  uint8_t gen_ = 0;
  bool background_;
  uint32_t failures_before_ = 0;
  std::map<uint16_t, PageData> maybe_fat_;  // the other content a FAT page may hold
  int pending_chunk_ = -1;
  PageData pending_data_;
};

uint32_t flash_operations() { return ff::calls(ff::Op::kWrite) + ff::calls(ff::Op::kErase); }

// Finds the `occurrence`-th step of `kind` that erases (a reclaim) or, for a
// dirty erase, writes; then, each time from the same snapshot, cuts the power
// at every flash operation of that step (torn or dropped), and fails each of
// its driver calls in turn (the volume then goes on in the same mount first).
void sweep_step(uint32_t seed, Kind kind, int occurrence, bool background = true) {
  int target = -1;
  {
    Workload w(seed, background);
    for (int step = 0, seen = 0; step < 3000 && target < 0; ++step) {
      const uint32_t erases = ff::calls(ff::Op::kErase), writes = ff::calls(ff::Op::kWrite);
      const bool matches = w.step() == kind && (kind == Kind::kDirtyErase ? ff::calls(ff::Op::kWrite) > writes
                                                                             : ff::calls(ff::Op::kErase) > erases);
      if (matches && ++seen == occurrence) target = step;
    }
  }
  ASSERT_GE(target, 0) << "the workload never reached the step";
  Workload w(seed, background);
  for (int step = 0; step < target; ++step) w.step();
  const Workload::Snapshot before = w.save();
  uint32_t calls[3];
  for (ff::Op op : {ff::Op::kRead, ff::Op::kWrite, ff::Op::kErase}) calls[int(op)] = ff::calls(op);
  const uint32_t ops = flash_operations();
  w.step();
  const uint32_t total = flash_operations() - ops;
  for (ff::Op op : {ff::Op::kRead, ff::Op::kWrite, ff::Op::kErase}) calls[int(op)] = ff::calls(op) - calls[int(op)];
  for (uint32_t cut = 0; cut < total; ++cut) {
    for (uint32_t torn : {0u, 1u}) {
      SCOPED_TRACE(testing::Message() << "cut before operation " << cut << " of " << total << ", torn " << torn);
      w.restore(before);
      ff::cut_power_after_operations(cut, torn);
      w.step();
      ASSERT_TRUE(ff::power_lost());
      w.recover();
      w.keep_working();
      if (testing::Test::HasFatalFailure()) return;
    }
  }
  for (ff::Op op : {ff::Op::kRead, ff::Op::kWrite, ff::Op::kErase}) {
    for (uint32_t nth = 1; nth <= calls[int(op)]; ++nth) {
      SCOPED_TRACE(testing::Message() << "driver call " << nth << " of kind " << int(op) << " fails");
      w.restore(before);
      ff::fail({op, nth});
      w.step();
      w.keep_working();
      if (testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(FtlReclaimFaults, EveryOperationOfAPageMappedReclaim) {
  for (int occurrence : {1, 2}) sweep_step(1, Kind::kFatWrite, occurrence, false);
}
TEST(FtlReclaimFaults, EveryOperationOfABlockMappedReclaim) {
  for (int occurrence : {1, 3}) sweep_step(2, Kind::kChunkWrite, occurrence, false);
}
TEST(FtlReclaimFaults, EveryOperationOfForcedAndIdleReclaimsAndADirtyErase) {
  sweep_step(3, Kind::kForced, 3);
  sweep_step(4, Kind::kIdle, 1);
  sweep_step(4, Kind::kIdle, 2);
  sweep_step(5, Kind::kDirtyErase, 1);
}

TEST(FtlReclaimFaults, SampledCutsInLongWorkloads) {
  const char* wide = std::getenv("TARN_FTL_CUT_SAMPLES");
  const uint32_t samples = wide != nullptr ? static_cast<uint32_t>(std::strtoul(wide, nullptr, 10)) : 12;
  constexpr int kSteps = 1500;
  for (uint32_t seed : {11u, 12u}) {
    uint32_t total = 0;
    {
      Workload w(seed);
      const uint32_t ops = flash_operations();
      for (int i = 0; i < kSteps; ++i) w.step();
      total = flash_operations() - ops;
    }
    std::mt19937 pick(seed);
    for (uint32_t s = 0; s < samples; ++s) {
      const uint32_t cut = pick() % total;
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", cut at operation " << cut);
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
