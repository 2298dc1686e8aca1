// EFS checksums, emulated flash, format, erase, mount, BM commits, scan and
// wear levelling, against regions built and read by the independent builder.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include "support/efs_setup.h"

using namespace tarn_test;

namespace {

const EfsGeo kGeo{};  // 2 BMs, 7 logical and 3 spare blocks: S = 22
const std::vector<EfsTestFile> kFiles = {{{0, 0}, 3000}, {{1, 100}, 12000}};

class EfsMount : public EfsTest {
 protected:
  void SetUp() override { load(kGeo); }
  void load(const EfsGeo& g) { EfsTest::load(g, kFiles); }
  void fill_bm0(uint32_t last_slot) {
    for (uint32_t i = 1; i <= last_slot; ++i) region_.bme(0, i, region_.identity());
  }
  Bytes bytes(size_t from, size_t to) const { return Bytes(image_.begin() + from, image_.begin() + to); }
};

TEST_F(EfsMount, ChecksumsAndEmulatedFlashBounds) {
  const uint8_t check[] = "123456789";
  EXPECT_EQ(0x31C3, EFS_crc16(0, check, 9));
  EXPECT_EQ(0x2DFD2D88u, EFS_crc32(0, check, 9));
  ASSERT_EQ(0, mount());
  const uint32_t n = efs_size;
  ASSERT_EQ(kGeo.region(), n);
  uint8_t buf[8] = {};
  for (const auto& c : {std::array<uint32_t, 3>{0, 0, 22}, {n - 4, 4, 0}, {n - 4, 5, 22}, {n, 1, 22}, {~0u, 2, 22}}) {
    EXPECT_EQ(int(c[2]), EFS_physical_read(c[0], c[1], buf)) << c[0] << "+" << c[1];
    EXPECT_EQ(int(c[2]), EFS_physical_write(c[0], c[1], buf)) << c[0] << "+" << c[1];
    EXPECT_EQ(int(c[2]), EFS_physical_erase(c[0], c[1])) << c[0] << "+" << c[1];
  }
}

TEST_F(EfsMount, FormatAndEraseMatchTheIndependentLayout) {
  for (const EfsGeo& g : {EfsGeo{3, 4, 1, 5, 9}, EfsGeo{1, 2, 0}, kGeo}) {
    load(g);
    ASSERT_EQ(0, EFS_init(true));
    EXPECT_TRUE(region_.bytes == Bytes(efs_image, efs_image + efs_size)) << g.bm << "/" << g.valid;
    ASSERT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC());
    EXPECT_EQ(g.spare, efs_ctx.Num_Of_Free_Non_Valid_Blocks);
    for (uint32_t p = 0; p < g.blocks(); ++p) EXPECT_EQ(1u, efs_ctx.Physical_Blocks_EC[p]);
  }
  // A format under a mount leaves it unmounted: the mapping in RAM is stale.
  ASSERT_EQ(0, mount());
  ASSERT_EQ(0, efs_lib_write(0, efs_pattern(10, 1)));
  ASSERT_EQ(0, EFS_do_format());
  EXPECT_TRUE(region_.bytes == image_);
  EXPECT_EQ(1, efs_lib_write(0, efs_pattern(10, 2)));
  // An erase leaves no BM (the marker is written after it) and every data block.
  ASSERT_EQ(0, mount());
  ASSERT_EQ(0, EFS_erase());
  ASSERT_EQ(0, EFS_write_RTFD_marker());
  std::fill(region_.bytes.begin(), region_.bytes.begin() + 2 * 4096, 0xFF);
  put_u32(region_.bytes, 0, 0x53464452);
  EXPECT_TRUE(region_.bytes == image_);
  EXPECT_EQ(41, EFS_init_tools(image_.data()));
}

TEST_F(EfsMount, RefusesGeometriesTheFormatCannotHold) {
  const std::pair<EfsGeo, int> cases[] = {{{0, 7, 3}, 40960},          {{256, 1, 1}, 258 * 4096},
                                          {{2, 256, 0}, 258 * 4096},   {{2, 200, 57}, 259 * 4096},
                                          {{~0u, 1, 1}, INT32_MAX}};
  uint8_t buf[16] = {};
  for (const auto& c : cases) {
    load_table(c.first, {});
    EXPECT_EQ(c.second, EFS_get_efs_size());
    EXPECT_EQ(41, EFS_init_tools(buf)) << c.first.bm << "/" << c.first.valid << "/" << c.first.spare;
  }
  load(kGeo);
  EXPECT_EQ(49152, EFS_get_efs_size());
  EXPECT_EQ(22, EFS_init_tools(nullptr));
}

TEST_F(EfsMount, FindsTheActiveBmAndItsLastEntry) {
  auto other = region_.identity(), dup = other, beyond = other;
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
      {"counter 0 alone", [](EfsRegion& r) { r.bm_header(0, 0); }, 41},
      {"counter 0 beside 3", [&](EfsRegion& r) { r.bm_header(0, 0); r.bme(1, 0, other); r.bm_header(1, 3); }, 0},
      {"layout mismatch", [](EfsRegion& r) { r.geo.layout = 1; r.bm_header(1, 1); r.geo.layout = 0; }, 41},
      {"geometry mismatch", [](EfsRegion& r) { r.geo.spare = 4; r.bm_header(1, 9); r.geo.spare = 3; }, 41},
      {"torn last entry", [&](EfsRegion& r) { r.bme(0, 1, other); r.bytes[r.geo.slot_at(0, 1) + 3] ^= 1; }, 0},
      {"bad slot 0", [](EfsRegion& r) { r.bytes[r.geo.slot_at(0, 0) + 1] ^= 1; }, 41},
      {"two bad entries",
       [&](EfsRegion& r) { r.bme(0, 1, other); r.bytes[r.geo.slot_at(0, 0)] ^= 1; r.bytes[r.geo.slot_at(0, 1)] ^= 1; },
       41},
      {"duplicated index", [&](EfsRegion& r) { r.bme(0, 1, dup); }, 41},
      {"index not below T", [&](EfsRegion& r) { r.bme(0, 1, beyond); }, 41},
      {"full BM", [&](EfsRegion& r) { for (uint32_t i = 1; i <= 184; ++i) r.bme(0, i, i % 2 ? other : r.identity()); }, 0},
  };
  for (const auto& c : cases) {
    region_.format(region_.files);
    c.edit(region_);
    ASSERT_EQ(c.status, mount()) << c.name;
    if (c.status != 0) continue;
    const EfsView v = efs_view(region_.bytes, kGeo);
    Bytes map(efs_ctx.current_BME.Valid_Blocks, efs_ctx.current_BME.Valid_Blocks + 7);
    map.insert(map.end(), efs_ctx.current_BME.Non_Valid_Blocks, efs_ctx.current_BME.Non_Valid_Blocks + 3);
    EXPECT_EQ(v.map, map) << c.name;
    EXPECT_EQ(v.bm, efs_ctx.active_BM) << c.name;
    EXPECT_EQ(v.counter, efs_ctx.MC_counter) << c.name;
    EXPECT_EQ(16 + v.slot * kGeo.slot(), efs_ctx.curent_BME_offset) << c.name;
    EXPECT_EQ(v.fell_back, efs_ctx.force_switch_BM) << c.name;
  }
  EXPECT_EQ(4064u, efs_ctx.curent_BME_offset);  // the full BM's last slot
}

TEST_F(EfsMount, CommitAppendsThroughTheLastSlotThenSwitches) {
  fill_bm0(183);
  ASSERT_EQ(0, mount());
  ASSERT_EQ(4042u, efs_ctx.curent_BME_offset);
  for (uint32_t i = 0; i < 2; ++i) {
    ASSERT_EQ(0, efs_lib_write(0, efs_pattern(10, uint8_t(i))));
    const EfsView v = efs_view(image_, kGeo);  // slot 184 at byte 4064, then slot 0 of BM 1
    EXPECT_EQ(std::vector<uint32_t>({i, 1 + i, i ? 0u : 184u}), std::vector<uint32_t>({v.bm, v.counter, v.slot}));
  }
  EXPECT_EQ(Bytes(16, 0), bytes(0, 16));  // the old header zeroed

  // At the counter's end a switch writes nothing.
  region_.format(region_.files);
  fill_bm0(184);
  region_.bm_header(0, ~0u);
  ASSERT_EQ(0, mount());
  const Bytes bms = bytes(0, 2 * 4096);
  EXPECT_EQ(5, efs_lib_write(0, efs_pattern(10, 1)));
  EXPECT_TRUE(bms == bytes(0, 2 * 4096));
}

TEST_F(EfsMount, TheActiveBmIsNeverErased) {
  // A single full BM: the switch is refused, idle reclaim leaves it.
  load({1, 7, 3});
  fill_bm0(184);
  ASSERT_EQ(0, mount());
  EXPECT_EQ(0, EFS_idle_reclaim());
  EXPECT_EQ(28, efs_lib_write(0, efs_pattern(10, 1)));
  EXPECT_TRUE(bytes(0, 4096) == Bytes(region_.bytes.begin(), region_.bytes.begin() + 4096));
  Bytes out;
  EXPECT_EQ(2, efs_lib_read(0, &out));

  // Two BMs: a dirty next BM is erased only once the current entry ends past
  // byte 2856 (slot 128 ends at 2854, slot 129 at 2876).
  for (uint32_t last : {128u, 129u}) {
    load(kGeo);
    fill_bm0(last);
    region_.bytes[4096 + 100] = 0;
    ASSERT_EQ(0, mount());
    ASSERT_EQ(0, EFS_idle_reclaim());
    EXPECT_EQ(last == 129, bytes(4096, 2 * 4096) == Bytes(4096, 0xFF)) << last;
  }
}

TEST_F(EfsMount, ScanRepairsOneBadSpareAndNoMore) {
  const std::pair<std::vector<uint32_t>, int> cases[] = {{{8, 9}, 41}, {{3}, 41}, {{9}, 0}};  // broken headers
  for (const auto& c : cases) {
    region_.format(region_.files);
    for (uint32_t p = 0; p < 9; ++p) region_.block_header(p, p < 7 ? 10 : 20 + 10 * (p - 7));
    for (uint32_t p : c.first) region_.bytes[kGeo.block_at(p) + 12] ^= 0xFF;
    ASSERT_EQ(0, mount());
    EXPECT_EQ(c.second, EFS_scan_for_Data_Blocks_status_and_EC()) << c.first[0];
  }
  // The bad spare gets the others' mean: (7 * 10 + 20 + 30) / 9 = 13.
  region_.block_header(9, 13);
  EXPECT_TRUE(region_.bytes == image_);
  EXPECT_EQ(3u, efs_ctx.Num_Of_Free_Non_Valid_Blocks);

  // Spares with data (or a footer) are dirty; an erase takes the least-worn.
  region_.bytes[kGeo.block_at(7) + 500] = 0;
  region_.bytes[kGeo.block_at(8) + 4094] = 0;
  ASSERT_EQ(0, mount());
  ASSERT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC());
  EXPECT_EQ(1u, efs_ctx.Num_Of_Free_Non_Valid_Blocks);
  ASSERT_EQ(0, EFS_erase_dirty_block());
  region_.bytes[kGeo.block_at(7) + 500] = 0xFF;
  region_.block_header(7, 21);
  EXPECT_TRUE(region_.bytes == image_);

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
    if (spread == 100) {
      std::copy(region_.bytes.begin() + kGeo.block_at(6) + 16, region_.bytes.begin() + kGeo.block_at(7),
                region_.bytes.begin() + kGeo.block_at(8) + 16);
      auto map = region_.identity();
      std::swap(map[6], map[8]);
      region_.bme(0, 1, map);
    }
    EXPECT_TRUE(region_.bytes == image_) << spread;
  }
}

}  // namespace
