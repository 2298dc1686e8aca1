// FTL reclaim: the idle thresholds, wear levelling, making room, the forced
// full reclaim and the dirty erase, with flash bytes checked against images
// made by the independent builder.
#include <gtest/gtest.h>

#include <vector>

#include "flash/afs/AfsFtl.h"
#include "flash/afs/AfsFtlReclaim.h"
#include "flash/ftl_test_volume.h"

namespace tarn_test {
namespace {

using namespace ftl_layout;
constexpr uint32_t kSmall = 0x8000;  // EU 0 page-mapped, EUs 1-2 block-mapped, EU 3 the spare
constexpr uint32_t kNone = 0xFFFFFFFF;

TEST(FtlIdleReclaim, Thresholds) {
  struct Row {
    uint32_t fat_free, block_free, block_dirty;
    bool due;
    uint32_t type;
  };
  const Row rows[] = {{29, 200, 0, true, 0},   {30, 200, 0, false, 0},  {30, 63, 97, true, 1},
                      {30, 64, 97, false, 0},  {30, 63, 96, false, 0},  {120, 0, 122, true, 1}};
  for (const Row& r : rows) {
    TestVolume v(kSmall);
    v.b.format();
    ASSERT_EQ(v.mount(), 0u);
    v.ftl().next_page_in_current_eu = 120 - r.fat_free;
    v.eu(1).non_committed_pages = static_cast<uint8_t>(r.block_free / 2);
    v.eu(2).non_committed_pages = static_cast<uint8_t>(r.block_free - r.block_free / 2);
    v.eu(1).dirty_pages = static_cast<uint8_t>(r.block_dirty / 2);
    v.eu(2).dirty_pages = static_cast<uint8_t>(r.block_dirty - r.block_dirty / 2);
    uint32_t index = 77, type = 77;
    EXPECT_EQ(afs_physical_ftl_idle_reclaim_needed(&v.ctx, &index, &type), r.due) << r.fat_free << "/" << r.block_free;
    EXPECT_EQ(index, r.due ? kNone : 77u);
    EXPECT_EQ(type, r.due ? r.type : 77u);
  }
  // An EU of released chunks only is named when nothing else is due.
  TestVolume v(kSmall);
  v.b.format();
  ASSERT_EQ(v.mount(), 0u);
  v.eu(1).non_committed_pages = 64;
  v.eu(2).dirty_pages = 122;
  uint32_t index = 0, type = 0;
  ASSERT_TRUE(afs_physical_ftl_idle_reclaim_needed(&v.ctx, &index, &type));
  EXPECT_EQ(index, 2u);
  EXPECT_EQ(type, 1u);
  // Reclaiming it writes a fresh header into the spare and kills EU 2.
  EXPECT_EQ(afs_physical_ftl_idle_reclaim(&v.ctx), 0u);
  EXPECT_EQ(v.ftl().spare_eu, 2);
  EXPECT_EQ(v.b.read_u32(2, kSigOffset), kSigKilled);
  EXPECT_EQ(v.b.read_u16(3, kEuvaOffset), 132);
}

TEST(FtlChoice, WearLevellingFiresOnASpreadAboveAHundredAtMultiplesOfTen) {
  struct Row {
    uint32_t low, high;
    bool fires;
  };
  for (const Row& r : {Row{109, 210, true}, Row{109, 209, false}, Row{109, 211, false}, Row{110, 210, false}}) {
    TestVolume v(kSmall);
    v.b.format();
    ASSERT_EQ(v.mount(), 0u);
    v.eu(1).euec = r.low;  // not dirty at all
    v.eu(2).euec = r.high;
    v.eu(2).dirty_pages = 5;
    uint32_t needed = 0;
    EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, 1, 1, &needed, false), r.fires ? 1u : 2u) << r.low << "/" << r.high;
    EXPECT_EQ(needed, 1u);
    EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, 1, 0, &needed, false), 2u);  // levelling off
    // An EU with erased pages is taken into use before any reclaim.
    v.eu(1).non_committed_pages = 3;
    EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, 1, 1, &needed, false), 1u);
    EXPECT_EQ(needed, 0u);
  }
}

// Every chunk allocated; EU 1 (erase count 109) is the levelling pick.
class FullVolume : public ::testing::Test {
 protected:
  FullVolume() : v(kSmall) {
    v.b.format();
    v.rewrite_header(1, [](EuHeader& h) { h.euec = 109; });
    v.rewrite_header(2, [](EuHeader& h) { h.euec = 210; });
    for (uint32_t c = 0; c < 244; ++c) v.b.put_chunk(1 + c / 122, c, page_pattern(static_cast<uint16_t>(c)));
    EXPECT_EQ(v.mount(), 0u);
    for (uint32_t c = 0; c < 244; ++c) v.allocate(c);
    EXPECT_EQ(v.hand_over(), 0u);
  }
  TestVolume v;
};

TEST_F(FullVolume, LevellingPickGainsNothingThenNothingIsLeft) {
  EXPECT_EQ(v.ftl().alloc_marker, kNone);
  cid_t id = 0;
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 65533u);
  const Bytes before = v.b.image();
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 28u);
  // EU 1 was reclaimed all the same (38807, retried without levelling): its
  // chunks moved to the spare, and every chunk still reads as written.
  EXPECT_EQ(v.ftl().spare_eu, 1);
  EXPECT_EQ(v.b.read_u16(3, kEuvaOffset), 10);
  EXPECT_EQ(v.b.read_u16(3, kEusparOffset), 1);
  EXPECT_EQ(v.b.read_u8(3, kEucommitOffset), kHeaderCommitted);
  Bytes killed = before;
  std::fill_n(killed.begin() + 8192, 4, 0);
  EXPECT_EQ(Bytes(v.b.image().begin() + 8192, v.b.image().begin() + 2 * 8192),
            Bytes(killed.begin() + 8192, killed.begin() + 2 * 8192));  // only eusig zeroed
  const auto live = v.b.live_chunks();
  ASSERT_EQ(live.size(), 244u);
  for (const auto& c : live) ASSERT_EQ(c.second, page_pattern(static_cast<uint16_t>(c.first)));
}

TEST_F(FullVolume, RefusalsWriteNothing) {
  const Bytes before = v.b.image();
  EXPECT_EQ(reclaim_eu(&v.ctx, 3, 1), 28u);  // the spare
  EXPECT_EQ(reclaim_eu(&v.ctx, 4, 1), 22u);  // no such EU
  v.ftl().last_eumc = 0xFFFFFFFF;            // the next header's counter would wrap
  EXPECT_EQ(reclaim_eu(&v.ctx, 1, 1), 5u);
  v.ftl().last_eumc = 10;
  v.eu(3).euec = 0xFFFFFFFF;
  EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), 5u);
  EXPECT_EQ(v.b.image(), before);
}

TEST(FtlChoice, ATypeWithoutEusGivesNoSpace) {
  FtlGeometry g = FtlGeometry::for_partition(kSmall, 640);
  g.logical_size = g.fat_size;  // no data region: every EU but the spare page-mapped
  TestVolume v(g);
  v.b.format();
  ASSERT_EQ(v.mount(), 0u);
  const Bytes before = v.b.image();
  uint32_t needed = 9;
  EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, 1, 1, &needed, false), kNone);
  EXPECT_EQ(needed, 0u);
  EXPECT_EQ(reclaim_eu_wrapper(&v.ctx, 1), 28u);
  EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), 0u);
  EXPECT_EQ(v.b.image(), before);
}

TEST(FtlForcedReclaim, OneBlockMappedEuPerCall) {
  FtlGeometry g = FtlGeometry::for_partition(6 * 8192, 640);
  g.logical_size = 640 + 3 * kBmDataBytes;  // EUs 0-1 page-mapped, 2-4 block-mapped, 5 the spare
  TestVolume v(g);
  v.b.format();
  for (uint32_t c : {0u, 61u, 62u, 121u, 200u, 365u}) v.b.put_chunk(2 + c / 122, c, page_pattern(static_cast<uint16_t>(c)));
  ASSERT_EQ(v.mount(), 0u);
  for (uint32_t c : {0u, 61u, 62u, 121u, 200u, 365u}) v.allocate(c);
  ASSERT_EQ(v.hand_over(), 0u);
  const auto chunks = v.b.live_chunks();
  std::vector<Bytes> headers;
  for (uint32_t eu = 0; eu < 6; ++eu) headers.push_back(v.b.header_bytes(eu));

  for (uint32_t expected : {11u, 11u, 11u, 0u}) ASSERT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), expected);
  // EU 2's range went to EU 5 and on to EU 4; EUs 3 and 4 moved one down.
  EXPECT_EQ(v.ftl().spare_eu, 5);
  EXPECT_EQ(v.b.live_chunks(), chunks);
  const uint16_t euva[] = {0, 0, 132, 254, 10, 0};
  for (uint32_t eu = 2; eu < 5; ++eu) {
    EXPECT_EQ(v.b.read_u16(eu, kEuvaOffset), euva[eu]) << eu;
    EXPECT_EQ(v.b.read_u16(eu, kEusparOffset), eu + 1) << eu;
    EXPECT_EQ(v.b.read_u8(eu, kEucommitOffset), kHeaderCommitted) << eu;
  }
  EXPECT_EQ(v.b.read_u32(4, kEumcOffset), 9u);
  EXPECT_EQ(v.b.read_u32(4, kEuecOffset), 2u);
  EXPECT_EQ(v.b.read_u32(5, kSigOffset), kSigKilled);
  EXPECT_EQ(v.eu(5).eumc, 0u);
  EXPECT_EQ(headers[0], v.b.header_bytes(0));
}

TEST(FtlDirtyErase, ZeroesReleasedPagesAndTheSpareOnly) {
  TestVolume v(kSmall);
  v.b.format();
  v.b.append_fat_page(0, 3, page_fill(0x33));
  v.b.put_chunk(1, 0, page_fill(0x11));                        // allocated
  v.b.put_chunk(1, 1, page_fill(0x22));                        // released
  v.b.put_chunk(1, 2, page_fill(0x44), kCommitProgramming);    // torn, released
  v.b.write(3, 100, Bytes(8092, 0x5A));                        // leftovers in the spare
  ASSERT_EQ(v.mount(), 0u);
  v.allocate(0);
  ASSERT_EQ(v.hand_over(), 0u);

  FtlImageBuilder expected = v.b;
  for (uint32_t page : {1u, 2u}) expected.write(1, bm_page_offset(page), Bytes(kPageSize, 0));
  expected.write(3, kBmPagesOffset, Bytes(8192 - kBmPagesOffset, 0));
  EXPECT_EQ(afs_physical_ftl_force_dirty_erase(&v.ctx), 0u);
  EXPECT_EQ(v.b.image(), expected.image());
  EXPECT_EQ(erase_dirty_pages_in_block_mapped_eu(&v.ctx, 0), 22u);  // page-mapped
}

}  // namespace
}  // namespace tarn_test
