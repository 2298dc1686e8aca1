// Power cuts at every write and erase of EFS changes: after each, the region
// mounts, every file reads wholly old or wholly new (through the library
// and through the independent reader), and the EFS goes on working.
#include <gtest/gtest.h>

#include <functional>

#include "support/efs_setup.h"
#include "support/fake_driver/efs_flash_fakes.h"

using namespace tarn_test;

namespace {

namespace fake = efs_fake;

const EfsGeo kGeo{};
const std::vector<EfsTestFile> kFiles = {{{0, 0}, 3000}, {{1, 100}, 12000}, {{0, 3004}, 1068}};

using FileRead = std::pair<int, Bytes>;  // status, bytes

class EfsPowerCut : public EfsTest {
 protected:
  void SetUp() override {
    fake::reset();
    load(kGeo, kFiles);
  }
  void TearDown() override {
    fake::reset();
    EfsTest::TearDown();
  }

  // Every file through the library, checked against the independent reader.
  std::vector<FileRead> files() {
    std::vector<FileRead> all;
    const EfsView v = efs_view(image_, kGeo);
    for (uint32_t f = 0; f < kFiles.size(); ++f) {
      FileRead r;
      r.first = efs_lib_read(f, &r.second);
      Bytes independent;
      const EfsFileState state = efs_read_file(image_, kGeo, v, kFiles[f].at, &independent);
      EXPECT_EQ(r.first == 0 ? EfsFileState::kPresent : EfsFileState::kAbsent, state) << "file " << f;
      EXPECT_TRUE(r.first != 0 || independent == r.second) << "file " << f;
      all.push_back(r);
    }
    return all;
  }

  int remount() {
    fake::reset();
    return EFS_init_tools(image_.data());
  }

  // Runs `op` on the prepared region once whole, then once per write or
  // erase with the power cut there (nothing of it landing, or half of it).
  void sweep(const char* name, const std::function<void()>& warm, const std::function<int()>& op) {
    const Bytes prepared = image_;
    ASSERT_EQ(0, remount());
    const std::vector<FileRead> before = files();
    warm();
    fake::reset();
    ASSERT_EQ(0, op()) << name;
    const uint32_t operations = fake::operations();
    ASSERT_EQ(0, remount());
    const std::vector<FileRead> after = files();
    ASSERT_GT(operations, 0u) << name;

    for (uint32_t cut = 0; cut < operations; ++cut) {
      for (bool half : {false, true}) {
        image_ = prepared;
        ASSERT_EQ(0, remount());
        warm();
        fake::cut_at(cut, half);
        (void)op();
        ASSERT_TRUE(fake::power_lost());
        ASSERT_EQ(0, remount()) << name << " cut " << cut << (half ? " half" : "");
        EXPECT_EQ(efs_view(image_, kGeo).fell_back, efs_ctx.force_switch_BM) << name << " cut " << cut;
        const std::vector<FileRead> now = files();
        for (size_t f = 0; f < now.size(); ++f)
          EXPECT_TRUE(now[f] == before[f] || now[f] == after[f]) << name << " cut " << cut << " file " << f;
        // The EFS goes on: a write, then a restart that finds it.
        const Bytes next = efs_pattern(1000, static_cast<uint8_t>(cut));
        ASSERT_EQ(0, efs_lib_write(2, next)) << name << " cut " << cut;
        ASSERT_EQ(0, remount());
        Bytes out;
        EXPECT_EQ(0, efs_lib_read(2, &out));
        EXPECT_TRUE(out == next) << name << " cut " << cut;
      }
    }
  }

  // Files 0, 1 and 2 written; `slots` more entries in BM 0 first.
  void prepare(uint32_t slots = 0) {
    for (uint32_t i = 1; i <= slots; ++i) region_.bme(0, i, EfsRegion::identity(kGeo));
    ASSERT_EQ(0, mount());
    ASSERT_EQ(0, efs_lib_write(0, efs_pattern(100, 1)));
    ASSERT_EQ(0, efs_lib_write(1, efs_pattern(5000, 2)));
    ASSERT_EQ(0, efs_lib_write(2, efs_pattern(50, 3)));
  }
};

const auto kNoWarmUp = [] {};
const auto kScan = [] { ASSERT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC()); };

TEST_F(EfsPowerCut, Writes) {
  prepare();
  sweep("one piece", kNoWarmUp, [] { return efs_lib_write(0, efs_pattern(200, 9)); });
  sweep("three pieces", kNoWarmUp, [] { return efs_lib_write(1, efs_pattern(9000, 8)); });
}

TEST_F(EfsPowerCut, Delete) {
  prepare();
  sweep("delete", kNoWarmUp, [] { return EFS_delete(0); });
}

TEST_F(EfsPowerCut, CommitThatSwitchesBm) {
  prepare(181);  // the three writes fill BM 0 up to its last slot
  ASSERT_EQ(4064u, efs_ctx.curent_BME_offset);
  sweep("switch", kNoWarmUp, [] { return efs_lib_write(0, efs_pattern(300, 7)); });
}

TEST_F(EfsPowerCut, WearLevellingMoveAndSpareErase) {
  prepare();
  // A worn dirty spare: wear levelling erases it, then moves data onto it.
  const EfsView v = efs_view(image_, kGeo);
  EfsRegion r(kGeo);
  r.bytes = image_;
  r.block_header(v.map[7], 200);
  r.bytes[kGeo.block_at(v.map[7]) + 20] = 0;
  image_ = r.bytes;
  sweep("wear levelling", kScan, [] { return EFS_wear_leveling(0, 0); });
  sweep("spare erase", kScan, [] { return EFS_erase_dirty_block(); });
}

TEST_F(EfsPowerCut, LastEntryBlankOnReReadRetriesTheMount) {
  prepare();
  const EfsView v = efs_view(image_, kGeo);
  const uint32_t torn = static_cast<uint32_t>(kGeo.slot_at(0, static_cast<uint32_t>(v.slot) + 1));
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
