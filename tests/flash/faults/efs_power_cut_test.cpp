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
  void SetUp() override { fake::reset(); }
  void TearDown() override {
    fake::reset();
    EfsTest::TearDown();
  }

  // Every file through the library, checked against the independent reader.
  std::vector<FileRead> files() {
    std::vector<FileRead> all(kFiles.size());
    for (uint32_t f = 0; f < kFiles.size(); ++f) {
      all[f].first = efs_lib_read(f, &all[f].second);
      Bytes independent;
      const EfsFileState state = efs_read_file(image_, kGeo, efs_view(image_, kGeo), kFiles[f].at, &independent);
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

  // Files 0, 1 and 2 written, after `slots` more entries in BM 0; with
  // `worn_spare` the first spare is dirty and worn enough to level onto.
  void prepare(uint32_t slots, bool worn_spare) {
    load(kGeo, kFiles);
    for (uint32_t i = 1; i <= slots; ++i) region_.bme(0, i, region_.identity());
    ASSERT_EQ(0, mount());
    ASSERT_EQ(0, efs_lib_write(0, efs_pattern(100, 1)));
    ASSERT_EQ(0, efs_lib_write(1, efs_pattern(5000, 2)));
    ASSERT_EQ(0, efs_lib_write(2, efs_pattern(50, 3)));
    if (!worn_spare) return;
    region_.bytes = image_;
    const uint32_t spare = efs_view(image_, kGeo).map[7];
    region_.block_header(spare, 200);
    region_.bytes[kGeo.block_at(spare) + 20] = 0;
    image_ = region_.bytes;
  }

  // Runs `op` on the prepared region once whole, then once per write or
  // erase with the power cut there (nothing of it landing, or half of it).
  void sweep(const char* name, bool scan, const std::function<int()>& op) {
    const Bytes prepared = image_;
    ASSERT_EQ(0, remount(scan));
    const std::vector<FileRead> before = files();
    ASSERT_EQ(0, remount(scan));
    ASSERT_EQ(0, op()) << name;
    const uint32_t operations = fake::operations();
    ASSERT_GT(operations, 0u) << name;
    ASSERT_EQ(0, remount(false));
    const std::vector<FileRead> after = files();

    for (uint32_t cut = 0; cut < operations; ++cut) {
      for (bool half : {false, true}) {
        image_ = prepared;
        ASSERT_EQ(0, remount(scan));
        fake::cut_at(cut, half);
        (void)op();
        ASSERT_TRUE(fake::power_lost());
        ASSERT_EQ(0, remount(false)) << name << " cut " << cut << (half ? " half" : "");
        EXPECT_EQ(efs_view(image_, kGeo).fell_back, efs_ctx.force_switch_BM) << name << " cut " << cut;
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
};

TEST_F(EfsPowerCut, EveryWriteAndEraseOfAChange) {
  const struct {
    const char* name;
    uint32_t slots;  // BM 0 entries before the three writes; 181 leaves it full
    bool worn_spare;
    std::function<int()> op;
  } cases[] = {
      {"one piece", 0, false, [] { return efs_lib_write(0, efs_pattern(200, 9)); }},
      {"three pieces", 0, false, [] { return efs_lib_write(1, efs_pattern(9000, 8)); }},
      {"delete", 0, false, [] { return EFS_delete(0); }},
      {"switch", 181, false, [] { return efs_lib_write(0, efs_pattern(300, 7)); }},
      {"wear levelling", 0, true, [] { return EFS_wear_leveling(0, 0); }},
      {"spare erase", 0, true, [] { return EFS_erase_dirty_block(); }},
  };
  for (const auto& c : cases) {
    prepare(c.slots, c.worn_spare);
    EXPECT_TRUE(c.slots == 0 || efs_ctx.curent_BME_offset == 4064u) << c.name;
    sweep(c.name, c.worn_spare, c.op);
  }
}

TEST_F(EfsPowerCut, LastEntryBlankOnReReadRetriesTheMount) {
  prepare(0, false);
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
