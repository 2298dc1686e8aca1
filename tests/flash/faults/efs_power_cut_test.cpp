// Power cuts at every write and erase of EFS changes: after each, the region
// mounts, every file reads wholly old or wholly new (through the library
// and through the independent reader), and the EFS goes on working.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "support/efs_setup.h"
#include "support/fake_driver/efs_flash_fakes.h"

using namespace tarn_test;

namespace {

namespace fake = efs_fake;

constexpr uint16_t kFile1Offset = 100;  // where file 1's first piece starts in its block

// A region geometry with the three files placed from logical block `lb` on,
// mounted with BM `active` holding the formatted map. With `active` above 0,
// BM 0 is left as a switch leaves an old BM (entries kept, header zeroed), so
// the next switch after BM B - 1 wraps round and must erase it first.
struct Layout {
  const char* name;
  EfsGeo geo;
  uint8_t lb;
  uint32_t active;
  std::vector<EfsTestFile> files() const {
    return {{{lb, 0}, 3000}, {{uint8_t(lb + 1), kFile1Offset}, 12000}, {{lb, 3004}, 1068}};
  }
  uint32_t slots() const { return (4095 - 16) / uint32_t(geo.slot()); }  // entries a BM holds
};

// Every count at its limit: 255 BMs, 255 logical blocks, 256 physical blocks.
const Layout kLayouts[] = {
    {"2/7/3", {}, 0, 0},
    {"3/7/1", {3, 7, 1, 3, 9}, 2, 2},
    {"4/5/2", {4, 5, 2}, 0, 3},
    {"255/255/1", {255, 255, 1}, 253, 254},
};

// The largest write of file 1, up to 9000 bytes, that needs no more than
// `spares` (at most three) free spares; 0 when even that is refused.
uint32_t file1_size_for(uint32_t spares) {
  const uint32_t refused = efs_smallest_refused_write(std::min(spares, 3u), kFile1Offset);
  return refused == 0 ? 0 : std::min<uint32_t>(9000, refused - 1);
}

using FileRead = std::pair<int, Bytes>;  // status, bytes

class EfsPowerCut : public EfsTest {
 protected:
  void SetUp() override { fake::reset(); }
  void TearDown() override {
    fake::reset();
    EfsTest::TearDown();
  }

  const EfsGeo& geo() const { return layout_.geo; }

  // Every file through the library, checked against the independent reader.
  std::vector<FileRead> files() {
    std::vector<FileRead> all(files_.size());
    const EfsView view = efs_view(image_, geo());
    for (uint32_t f = 0; f < files_.size(); ++f) {
      all[f].first = efs_lib_read(f, &all[f].second);
      Bytes independent;
      const EfsFileState state = efs_read_file(image_, geo(), view, files_[f].at, &independent);
      EXPECT_EQ(all[f].first == 0 ? EfsFileState::kPresent : EfsFileState::kAbsent, state) << "file " << f;
      EXPECT_TRUE(all[f].first != 0 || independent == all[f].second) << "file " << f;
    }
    return all;
  }

  int remount(bool scan) {
    fake::reset();
    const int status = EFS_init_tools(image_.data());
    return status == 0 && scan ? EFS_scan_for_Data_Blocks_status_and_EC() : status;
  }

  // Files 0, 1 and 2 written, after `slots` more entries in the active BM;
  // with `worn_spare` the first spare is dirty and worn enough to level onto.
  void prepare(const Layout& layout, uint32_t slots, bool worn_spare) {
    layout_ = layout;
    files_ = layout.files();
    load(geo(), files_);
    if (layout.active != 0) {
      region_.bme(layout.active, 0, region_.identity());
      region_.bm_header(layout.active, 7);
      std::fill_n(region_.bytes.begin(), 16, 0);
    }
    for (uint32_t i = 1; i <= slots; ++i) region_.bme(layout.active, i, region_.identity());
    ASSERT_EQ(0, mount());
    ASSERT_EQ(0, efs_lib_write(0, efs_pattern(100, 1)));
    ASSERT_EQ(0, efs_lib_write(1, efs_pattern(std::min(5000u, file1_size_for(geo().spare)), 2)));
    ASSERT_EQ(0, efs_lib_write(2, efs_pattern(50, 3)));
    if (!worn_spare) return;
    region_.bytes = image_;
    const uint32_t spare = efs_view(image_, geo()).map[geo().valid];
    region_.block_header(spare, 200);
    region_.bytes[geo().block_at(spare) + 20] = 0;
    image_ = region_.bytes;
  }

  // Runs `op` on the prepared region once whole, then once per write or
  // erase with the power cut there (nothing of it landing, or half of it).
  void sweep(const std::string& name, bool scan, const std::function<int()>& op) {
    const Bytes prepared = image_;
    ASSERT_EQ(0, remount(scan));
    const std::vector<FileRead> before = files();
    ASSERT_EQ(0, remount(scan));
    ASSERT_EQ(0, op()) << name;
    const uint32_t operations = fake::operations();
    ASSERT_GT(operations, 0u) << name;
    ASSERT_EQ(0, remount(false));
    const std::vector<FileRead> after = files();
    cuts_ += 2 * operations;

    for (uint32_t cut = 0; cut < operations; ++cut) {
      for (bool half : {false, true}) {
        image_ = prepared;
        ASSERT_EQ(0, remount(scan));
        fake::cut_at(cut, half);
        (void)op();
        ASSERT_TRUE(fake::power_lost());
        ASSERT_EQ(0, remount(false)) << name << " cut " << cut << (half ? " half" : "");
        EXPECT_EQ(efs_view(image_, geo()).fell_back, efs_ctx.force_switch_BM) << name << " cut " << cut;
        const std::vector<FileRead> now = files();
        for (size_t f = 0; f < now.size(); ++f)
          EXPECT_TRUE(now[f] == before[f] || now[f] == after[f]) << name << " cut " << cut << " file " << f;
        // The EFS goes on: a write, then a restart that finds it.
        const Bytes next = efs_pattern(1000, static_cast<uint8_t>(cut));
        ASSERT_EQ(0, efs_lib_write(2, next)) << name << " cut " << cut;
        ASSERT_EQ(0, remount(false));
        Bytes out;
        EXPECT_EQ(0, efs_lib_read(2, &out));
        EXPECT_TRUE(out == next) << name << " cut " << cut;
      }
    }
  }

  Layout layout_ = kLayouts[0];
  std::vector<EfsTestFile> files_;
  uint32_t cuts_ = 0;
};

TEST_F(EfsPowerCut, EveryWriteAndEraseOfAChange) {
  const struct {
    const char* name;
    bool full;  // the active BM left with one free slot before the change
    bool worn_spare;
    std::function<int()> op;
  } cases[] = {
      {"one piece", false, false, [] { return efs_lib_write(0, efs_pattern(200, 9)); }},
      {"most pieces", false, false,
       [this] { return efs_lib_write(1, efs_pattern(file1_size_for(geo().spare), 8)); }},
      {"delete", false, false, [] { return EFS_delete(0); }},
      {"switch", true, false, [] { return efs_lib_write(0, efs_pattern(300, 7)); }},
      {"wear levelling", false, true, [] { return EFS_wear_leveling(0, 0); }},
      {"spare erase", false, true, [] { return EFS_erase_dirty_block(); }},
  };
  for (const Layout& layout : kLayouts) {
    for (const auto& c : cases) {
      const std::string name = std::string(layout.name) + " " + c.name;
      // The three writes of prepare() fill the active BM's last free slots.
      prepare(layout, c.full ? layout.slots() - 4 : 0, c.worn_spare);
      EXPECT_TRUE(!c.full || efs_ctx.curent_BME_offset == 16 + (layout.slots() - 1) * geo().slot()) << name;
      EXPECT_EQ(layout.active, efs_ctx.active_BM) << name;
      sweep(name, c.worn_spare, c.op);
      // A switch moves on to the next BM, round to BM 0 after the last.
      if (c.full) {
        EXPECT_EQ((layout.active + 1) % geo().bm, efs_view(image_, geo()).bm) << name;
      }
    }
  }
  RecordProperty("cuts", static_cast<int>(cuts_));
}

TEST_F(EfsPowerCut, FailingEfsEraseStopsThereAndKeepsTheRest) {
  // Mounted, the erase takes every other BM in order and the active one last,
  // each after zeroing its header CRC; unmounted, every BM in order with a
  // plain erase. The nth erase fails: the BMs before it are blank, the
  // failing one has at most its CRC zeroed, nothing else changes, and the
  // region mounts with the old files while the active BM's header stands.
  for (const Layout& layout : {kLayouts[0], kLayouts[1]}) {
    for (bool mounted : {true, false}) {
      std::vector<uint32_t> order;
      for (uint32_t k = 0; k < layout.geo.bm; ++k)
        if (!mounted || k != layout.active) order.push_back(k);
      if (mounted) order.push_back(layout.active);
      for (uint32_t nth = 1; nth <= order.size(); ++nth) {
        const std::string name = std::string(layout.name) + (mounted ? " mounted" : " unmounted") + " erase " +
                                 std::to_string(nth);
        prepare(layout, 0, false);
        const std::vector<FileRead> before = files();
        Bytes expected = image_;
        bool active_kept = true;
        for (uint32_t i = 0; i < nth; ++i) {
          const size_t at = order[i] * size_t{4096};
          if (i + 1 < nth) std::fill_n(expected.begin() + at, 4096, 0xFF);
          else if (mounted) std::fill_n(expected.begin() + at + 12, 4, 0);  // the header's CRC
          if (order[i] == layout.active && (i + 1 < nth || mounted)) active_kept = false;
        }
        if (!mounted) efs_ctx.initlized = false;
        fake::reset();
        fake::fail(fake_flash::Op::kErase, nth);
        EXPECT_EQ(5, EFS_erase()) << name;
        EXPECT_EQ(1u, fake::failures_returned()) << name;
        EXPECT_FALSE(EFS_is_initialized()) << name;
        EXPECT_TRUE(expected == image_) << name;
        EXPECT_EQ(active_kept ? 0 : 41, remount(false)) << name;
        EXPECT_TRUE(!active_kept || files() == before) << name;
      }
    }
  }
}

TEST_F(EfsPowerCut, LastEntryBlankOnReReadRetriesTheMount) {
  prepare(kLayouts[0], 0, false);
  const EfsGeo kGeo = geo();
  const EfsView v = efs_view(image_, kGeo);
  const uint32_t torn = static_cast<uint32_t>(kGeo.slot_at(0, v.slot + 1));
  image_[torn] = 0x55;  // a slot being written: not blank, bad CRC
  // It reads blank on every re-read: no round settles.
  fake::filter_reads([&](uint32_t offset, uint32_t length, uint8_t* out) {
    if (offset == torn && length == kGeo.slot()) std::fill(out, out + length, 0xFF);
  });
  EXPECT_EQ(41, EFS_init_tools(image_.data()));
  // It was erased meanwhile: the next round finds the entry before it.
  fake::filter_reads([&](uint32_t offset, uint32_t length, uint8_t* out) {
    if (offset != torn || length != kGeo.slot()) return;
    std::fill(out, out + length, 0xFF);
    image_[torn] = 0xFF;
  });
  ASSERT_EQ(0, EFS_init_tools(image_.data()));
  EXPECT_EQ(16 + v.slot * kGeo.slot(), efs_ctx.curent_BME_offset);
  EXPECT_FALSE(efs_ctx.force_switch_BM);
}

}  // namespace
