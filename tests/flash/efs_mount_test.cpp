// EFS checksums, emulated flash, format, mount, BM commits, scan and wear
// levelling, against regions built and read by the independent builder.
#include <gtest/gtest.h>

#include <functional>

#include "support/efs_setup.h"

using namespace tarn_test;

namespace {

const EfsGeo kGeo{};  // 2 BMs, 7 logical and 3 spare blocks: S = 22
const std::vector<EfsTestFile> kFiles = {{{0, 0}, 3000}, {{1, 100}, 12000}};
const std::vector<uint8_t> kIdentity = EfsRegion::identity(kGeo);

class EfsMount : public EfsTest {
 protected:
  void SetUp() override { load(kGeo); }
  void load(const EfsGeo& g, uint32_t threshold = 100) { EfsTest::load(g, kFiles, threshold); }
  void fill_bm0(uint32_t last_slot) {
    for (uint32_t i = 1; i <= last_slot; ++i) region_.bme(0, i, kIdentity);
  }
};

TEST(EfsCrc, CheckValuesAndIndependentCrcs) {
  const uint8_t check[] = "123456789";
  EXPECT_EQ(0x31C3, EFS_crc16(0, check, 9));
  EXPECT_EQ(0x2DFD2D88u, EFS_crc32(0, check, 9));
  const Bytes data = efs_pattern(600, 3);
  for (uint32_t n = 0; n <= data.size(); n += 37)
    for (uint16_t seed : {0, 6, 0xFFFF}) {
      EXPECT_EQ(efs_test_crc16(seed, data.data(), n), EFS_crc16(seed, data.data(), n));
      EXPECT_EQ(efs_test_crc32(seed, data.data(), n), EFS_crc32(seed, data.data(), n));
    }
}

TEST_F(EfsMount, EmulatedFlashStaysInsideTheRegion) {
  ASSERT_EQ(0, mount());
  const uint32_t size = efs_size;
  ASSERT_EQ(kGeo.region(), size);
  const uint32_t cases[][3] = {{0, 0, 22}, {size - 4, 4, 0}, {size - 4, 5, 22}, {size, 1, 22}, {0xFFFFF000u, 0x2000, 22}};
  uint8_t buf[8] = {};
  for (const auto& c : cases) {
    EXPECT_EQ(int(c[2]), EFS_physical_read(c[0], c[1], buf)) << c[0] << "+" << c[1];
    EXPECT_EQ(int(c[2]), EFS_physical_write(c[0], c[1], buf)) << c[0] << "+" << c[1];
    EXPECT_EQ(int(c[2]), EFS_physical_erase(c[0], c[1])) << c[0] << "+" << c[1];
  }
  EXPECT_EQ(22, EFS_write_with_read_check(0, 4097, buf, false));
}

TEST_F(EfsMount, FormatMatchesTheIndependentLayout) {
  for (const EfsGeo& g : {kGeo, EfsGeo{3, 4, 1, 5, 9}, EfsGeo{1, 2, 0}}) {
    load(g);
    ASSERT_EQ(0, EFS_init(true));
    EXPECT_TRUE(region_.bytes == Bytes(efs_image, efs_image + efs_size)) << g.bm << "/" << g.valid;
    uint32_t size = 0;
    for (uint32_t f = 0; f < kFiles.size(); ++f) EXPECT_EQ(2, EFS_get_file_size(f, &size));
    ASSERT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC());
    EXPECT_EQ(g.spare, efs_ctx.Num_Of_Free_Non_Valid_Blocks);
    for (uint32_t p = 0; p < g.blocks(); ++p) EXPECT_EQ(1u, efs_ctx.Physical_Blocks_EC[p]);
  }
}

TEST_F(EfsMount, RefusesGeometriesTheFormatCannotHold) {
  const struct {
    EfsGeo g;
    int size;
  } cases[] = {{{0, 7, 3}, 40960}, {{256, 1, 1}, 258 * 4096}, {{2, 256, 0}, 258 * 4096},
               {{2, 200, 57}, 259 * 4096}, {{0xFFFFFFFFu, 1, 1}, INT32_MAX}};
  uint8_t buf[16] = {};
  for (const auto& c : cases) {
    load_table(c.g, {});
    EXPECT_EQ(c.size, EFS_get_efs_size());
    EXPECT_EQ(41, EFS_init_tools(buf)) << c.g.bm << "/" << c.g.valid << "/" << c.g.spare;
    EXPECT_FALSE(EFS_is_initialized());
  }
  load(kGeo);
  EXPECT_EQ(49152, EFS_get_efs_size());
  EXPECT_EQ(22, EFS_init_tools(nullptr));
}

TEST_F(EfsMount, FindsTheActiveBmAndItsLastEntry) {
  auto other = kIdentity, dup = kIdentity, beyond = kIdentity;
  std::swap(other[0], other[7]);
  dup[9] = 0;
  beyond[3] = 10;
  const struct {
    const char* name;
    std::function<void(EfsRegion&)> edit;
    int status;
  } cases[] = {
      {"slot 1 blank", [](EfsRegion&) {}, 0},
      {"equal counters", [&](EfsRegion& r) { r.bm_header(0, 5); r.bme(1, 0, other); r.bm_header(1, 5); }, 0},
      {"higher counter", [&](EfsRegion& r) { r.bme(1, 0, other); r.bm_header(1, 2); }, 0},
      {"counter 0 alone", [](EfsRegion& r) { r.bm_header(0, 0); }, 41},
      {"counter 0 beside 3", [&](EfsRegion& r) { r.bm_header(0, 0); r.bme(1, 0, other); r.bm_header(1, 3); }, 0},
      {"layout mismatch", [](EfsRegion& r) { r.geo.layout = 1; r.bm_header(1, 1); r.geo.layout = 0; }, 41},
      {"geometry mismatch", [](EfsRegion& r) { r.geo.spare = 4; r.bm_header(1, 9); r.geo.spare = 3; }, 41},
      {"third entry", [&](EfsRegion& r) { r.bme(0, 1, kIdentity); r.bme(0, 2, other); }, 0},
      {"torn last entry", [&](EfsRegion& r) { r.bme(0, 1, other); r.bytes[r.geo.slot_at(0, 1) + 3] ^= 1; }, 0},
      {"bad slot 0", [](EfsRegion& r) { r.bytes[r.geo.slot_at(0, 0) + 1] ^= 1; }, 41},
      {"two bad entries",
       [&](EfsRegion& r) { r.bme(0, 1, other); r.bytes[r.geo.slot_at(0, 0)] ^= 1; r.bytes[r.geo.slot_at(0, 1)] ^= 1; },
       41},
      {"duplicated index", [&](EfsRegion& r) { r.bme(0, 1, dup); }, 41},
      {"index not below T", [&](EfsRegion& r) { r.bme(0, 1, beyond); }, 41},
      {"full BM", [&](EfsRegion& r) { for (uint32_t i = 1; i <= 184; ++i) r.bme(0, i, i % 2 ? other : kIdentity); }, 0},
  };
  for (const auto& c : cases) {
    region_.format(region_.files);
    c.edit(region_);
    ASSERT_EQ(c.status, mount()) << c.name;
    if (c.status != 0) continue;
    const EfsView v = efs_view(region_.bytes, kGeo);
    ASSERT_TRUE(v.ok) << c.name;
    EXPECT_EQ(v.bm, efs_ctx.active_BM) << c.name;
    EXPECT_EQ(v.counter, efs_ctx.MC_counter) << c.name;
    EXPECT_EQ(16 + v.slot * kGeo.slot(), efs_ctx.curent_BME_offset) << c.name;
    EXPECT_EQ(v.fell_back, efs_ctx.force_switch_BM) << c.name;
    EXPECT_TRUE(std::equal(v.map.begin(), v.map.begin() + 7, efs_ctx.current_BME.Valid_Blocks)) << c.name;
    EXPECT_TRUE(std::equal(v.map.begin() + 7, v.map.end(), efs_ctx.current_BME.Non_Valid_Blocks)) << c.name;
  }
  EXPECT_EQ(4064u, efs_ctx.curent_BME_offset);  // the full BM's last slot
}

TEST_F(EfsMount, CommitAppendsThroughTheLastSlotThenSwitches) {
  fill_bm0(183);
  ASSERT_EQ(0, mount());
  ASSERT_EQ(4042u, efs_ctx.curent_BME_offset);
  ASSERT_EQ(0, efs_lib_write(0, efs_pattern(10, 1)));
  EfsView v = efs_view(image_, kGeo);
  EXPECT_EQ(0u, v.bm);
  EXPECT_EQ(184u, v.slot);  // byte 4064
  ASSERT_EQ(0, efs_lib_write(0, efs_pattern(20, 2)));
  v = efs_view(image_, kGeo);
  EXPECT_EQ(1u, v.bm);
  EXPECT_EQ(2u, v.counter);
  EXPECT_EQ(0u, v.slot);
  EXPECT_EQ(Bytes(16, 0), Bytes(image_.begin(), image_.begin() + 16));  // old header zeroed
  Bytes out;
  EXPECT_EQ(EfsFileState::kPresent, efs_read_file(image_, kGeo, v, {0, 0}, &out));
  EXPECT_EQ(efs_pattern(20, 2), out);

  // At the counter's end a switch writes nothing.
  region_.format(region_.files);
  fill_bm0(184);
  region_.bm_header(0, 0xFFFFFFFFu);
  ASSERT_EQ(0, mount());
  const Bytes bms(image_.begin(), image_.begin() + 2 * 4096);
  EXPECT_EQ(5, efs_lib_write(0, efs_pattern(10, 1)));
  EXPECT_TRUE(bms == Bytes(image_.begin(), image_.begin() + 2 * 4096));
}

TEST_F(EfsMount, TheActiveBmIsNeverErased) {
  // A single full BM: the switch is refused, idle reclaim leaves it.
  load({1, 7, 3});
  fill_bm0(184);
  ASSERT_EQ(0, mount());
  const Bytes bm = block(0);
  EXPECT_EQ(0, EFS_idle_reclaim());
  EXPECT_EQ(28, efs_lib_write(0, efs_pattern(10, 1)));
  EXPECT_TRUE(bm == block(0));
  Bytes out;
  EXPECT_EQ(2, efs_lib_read(0, &out));

  // Two BMs: a dirty next BM is erased only once the current entry ends past
  // byte 2856 (slot 128 ends at 2854, slot 129 at 2876).
  for (uint32_t last : {128u, 129u}) {
    load(kGeo);
    fill_bm0(last);
    region_.bytes[kGeo.bm_at(1) + 100] = 0;
    ASSERT_EQ(0, mount());
    ASSERT_EQ(0, EFS_idle_reclaim());
    EXPECT_EQ(last == 129, block(4096) == Bytes(4096, 0xFF)) << last;
  }
}

TEST_F(EfsMount, ScanRepairsOneBadSpareAndNoMore) {
  const struct {
    std::vector<uint32_t> bad;  // physical blocks with a broken header
    int status;
  } cases[] = {{{8, 9}, 41}, {{3}, 41}, {{9}, 0}};
  for (const auto& c : cases) {
    region_.format(region_.files);
    for (uint32_t p = 0; p < 7; ++p) region_.block_header(p, 10);
    region_.block_header(7, 20);
    region_.block_header(8, 30);
    for (uint32_t p : c.bad) region_.bytes[kGeo.block_at(p) + 12] ^= 0xFF;
    ASSERT_EQ(0, mount());
    EXPECT_EQ(c.status, EFS_scan_for_Data_Blocks_status_and_EC()) << c.bad[0];
  }
  // The bad spare gets the others' mean: (7 * 10 + 20 + 30) / 9 = 13.
  EfsRegion expected = region_;
  expected.block_header(9, 13);
  EXPECT_TRUE(expected.bytes == image_);
  EXPECT_EQ(3u, efs_ctx.Num_Of_Free_Non_Valid_Blocks);

  // Spares with data are dirty; an erase takes the least-worn of them.
  region_.bytes[kGeo.block_at(7) + 500] = 0;
  region_.bytes[kGeo.block_at(8) + 4094] = 0;
  ASSERT_EQ(0, mount());
  ASSERT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC());
  EXPECT_EQ(1u, efs_ctx.Num_Of_Free_Non_Valid_Blocks);
  ASSERT_EQ(0, EFS_erase_dirty_block());
  expected.block_header(7, 21);
  EXPECT_TRUE(block(kGeo.block_at(7)) == Bytes(expected.bytes.begin() + kGeo.block_at(7),
                                              expected.bytes.begin() + kGeo.block_at(8)));

  // One physical block alone: no mean to take, no division by zero.
  load({2, 0, 1});
  region_.bytes[region_.geo.block_at(0)] ^= 0xFF;
  ASSERT_EQ(0, mount());
  EXPECT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC());
  EXPECT_EQ(0, EFS_wear_leveling(0, 0));
}

TEST_F(EfsMount, WearLevellingMovesAtTheThreshold) {
  for (uint32_t spread : {99u, 100u}) {
    region_.format(region_.files);
    region_.block_header(7, 1 + spread);
    region_.block_header(8, 1 + spread);
    ASSERT_EQ(0, mount());
    ASSERT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC());
    ASSERT_EQ(0, EFS_wear_leveling(0, 0));
    // Ties: the later logical block (6) moves onto the later spare slot (block 8).
    EfsRegion expected = region_;
    if (spread == 100) {
      std::copy(region_.bytes.begin() + kGeo.block_at(6) + 16, region_.bytes.begin() + kGeo.block_at(7),
                expected.bytes.begin() + kGeo.block_at(8) + 16);
      auto map = kIdentity;
      std::swap(map[6], map[8]);
      expected.bme(0, 1, map);
    }
    EXPECT_TRUE(expected.bytes == image_) << spread;
  }
}

}  // namespace
