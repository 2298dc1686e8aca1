// FTL reclaim: the idle thresholds, wear levelling, making room, refusals, the
// forced full reclaim and the dirty erase, with flash bytes checked against
// images made by the independent builder.
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

TEST(FtlReclaimChoice, IdleThresholdsAndWearLevelling) {
  struct Idle {
    uint32_t fat_free;
    uint8_t free1, dirty1, free2, dirty2;  // block-mapped EUs 1 and 2
    bool due;
    uint32_t type, index;
  };
  for (const Idle& r : {Idle{29, 100, 0, 100, 0, true, 0, kNone}, Idle{30, 100, 0, 100, 0, false, 0, 0},
                        Idle{30, 31, 48, 32, 49, true, 1, kNone}, Idle{30, 32, 48, 32, 49, false, 0, 0},
                        Idle{30, 31, 48, 32, 48, false, 0, 0}, Idle{30, 64, 0, 0, 122, true, 1, 2}}) {
    TestVolume v(kSmall);
    v.b.format();
    ASSERT_EQ(v.mount(), 0u);
    v.ftl().next_page_in_current_eu = 120 - r.fat_free;
    v.eu(1).non_committed_pages = r.free1, v.eu(1).dirty_pages = r.dirty1;
    v.eu(2).non_committed_pages = r.free2, v.eu(2).dirty_pages = r.dirty2;
    uint32_t index = 77, type = 77;
    SCOPED_TRACE(testing::Message() << r.fat_free << " " << r.free1 + r.free2 << " " << r.dirty1 + r.dirty2);
    EXPECT_EQ(afs_physical_ftl_idle_reclaim_needed(&v.ctx, &index, &type), r.due);
    EXPECT_EQ(index, r.due ? r.index : 77u);
    EXPECT_EQ(type, r.due ? r.type : 77u);
  }
  struct Wear {
    uint32_t low, high;
    bool fires;
  };
  for (const Wear& r : {Wear{109, 210, true}, Wear{109, 209, false}, Wear{109, 211, false}, Wear{110, 210, false}}) {
    TestVolume v(kSmall);
    v.b.format();
    ASSERT_EQ(v.mount(), 0u);
    v.eu(1).euec = r.low;  // no dirty page at all
    v.eu(2).euec = r.high;
    v.eu(2).dirty_pages = 5;
    uint32_t needed = 0;
    EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, 1, 1, &needed, false), r.fires ? 1u : 2u) << r.low << "/" << r.high;
    EXPECT_EQ(needed, 1u);
    EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, 1, 0, &needed, false), 2u);  // levelling off
    v.eu(1).non_committed_pages = 3;  // erased pages are taken into use first
    EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, 1, 1, &needed, false), 1u);
    EXPECT_EQ(needed, 0u);
  }
}

TEST(FtlReclaim, AFullVolumeGainsNothingAndRefusalsWriteNothing) {
  TestVolume v(kSmall);
  v.b.format();
  v.rewrite_header(1, [](EuHeader& h) { h.euec = 109; });  // the levelling pick
  v.rewrite_header(2, [](EuHeader& h) { h.euec = 210; });
  for (uint32_t c = 0; c < 244; ++c) v.b.put_chunk(1 + c / 122, c, page_pattern(static_cast<uint16_t>(c)));
  ASSERT_EQ(v.mount(), 0u);
  for (uint32_t c = 0; c < 244; ++c) v.allocate(c);
  ASSERT_EQ(v.hand_over(), 0u);
  const auto chunks = v.b.live_chunks();
  Bytes expected = v.b.image();

  cid_t id = 0;
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 65533u);
  // EU 1 is reclaimed into the spare (38807), then nothing is left: 28.
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 28u);
  EXPECT_EQ(v.ftl().spare_eu, 1);
  std::fill_n(expected.begin() + 8192, 4, 0);  // EU 1 only lost its signature
  EXPECT_TRUE(std::equal(expected.begin() + 8192, expected.begin() + 2 * 8192, v.b.image().begin() + 8192));
  EXPECT_EQ(v.b.read_u16(3, kEuvaOffset), 10);
  EXPECT_EQ(v.b.read_u16(3, kEusparOffset), 1);
  EXPECT_EQ(v.b.read_u8(3, kEucommitOffset), kHeaderCommitted);
  EXPECT_EQ(v.b.live_chunks(), chunks);

  expected = v.b.image();
  EXPECT_EQ(reclaim_eu(&v.ctx, 1, 1), 28u);  // the spare
  EXPECT_EQ(reclaim_eu(&v.ctx, 4, 1), 22u);  // no such EU
  v.ftl().last_eumc = 0xFFFFFFFF;            // the next header's counter would wrap
  EXPECT_EQ(reclaim_eu(&v.ctx, 2, 1), 5u);
  v.ftl().last_eumc = 10;
  v.eu(1).euec = 0xFFFFFFFF;                 // so would the spare's erase count
  EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), 5u);
  EXPECT_EQ(v.b.image(), expected);

  FtlGeometry g = FtlGeometry::for_partition(kSmall, 640);
  g.logical_size = g.fat_size;  // no data region: no block-mapped EU at all
  TestVolume w(g);
  w.b.format();
  ASSERT_EQ(w.mount(), 0u);
  EXPECT_EQ(reclaim_eu_wrapper(&w.ctx, 1), 28u);
}

TEST(FtlReclaim, ForcedFullReclaimTakesOneBlockMappedEuPerCall) {
  FtlGeometry g = FtlGeometry::for_partition(6 * 8192, 640);
  g.logical_size = 640 + 3 * kBmDataBytes;  // EUs 0-1 page-mapped, 2-4 block-mapped, 5 the spare
  TestVolume v(g);
  v.b.format();
  for (uint32_t c : {0u, 61u, 62u, 121u, 200u, 365u}) v.b.put_chunk(2 + c / 122, c, page_pattern(static_cast<uint16_t>(c)));
  ASSERT_EQ(v.mount(), 0u);
  for (uint32_t c : {0u, 61u, 62u, 121u, 200u, 365u}) v.allocate(c);
  ASSERT_EQ(v.hand_over(), 0u);
  const auto chunks = v.b.live_chunks();
  const Bytes eu0 = v.b.header_bytes(0);

  for (uint32_t expected : {11u, 11u, 11u, 0u}) ASSERT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), expected);
  // EU 2's range went to EU 5 and on to EU 4; EUs 3 and 4 moved one down.
  EXPECT_EQ(v.ftl().spare_eu, 5);
  EXPECT_EQ(v.b.live_chunks(), chunks);
  for (uint32_t eu = 2; eu < 5; ++eu) {
    EXPECT_EQ(v.b.read_u16(eu, kEuvaOffset), eu == 4 ? 10 : 10 + (eu - 1) * 122) << eu;
    EXPECT_EQ(v.b.read_u16(eu, kEusparOffset), eu + 1) << eu;
    EXPECT_EQ(v.b.read_u8(eu, kEucommitOffset), kHeaderCommitted) << eu;
  }
  EXPECT_EQ(v.b.read_u32(4, kEumcOffset), 9u);
  EXPECT_EQ(v.b.read_u32(4, kEuecOffset), 2u);
  EXPECT_EQ(v.b.read_u32(5, kSigOffset), kSigKilled);
  EXPECT_EQ(v.b.header_bytes(0), eu0);
}

TEST(FtlReclaim, DirtyEraseZeroesReleasedPagesAndTheSpareOnly) {
  TestVolume v(kSmall);
  v.b.format();
  v.b.append_fat_page(0, 3, page_fill(0x33));
  v.b.put_chunk(1, 0, page_fill(0x11));                      // allocated
  v.b.put_chunk(1, 1, page_fill(0x22));                      // released
  v.b.put_chunk(1, 2, page_fill(0x44), kCommitProgramming);  // torn, released
  v.b.write(3, 100, Bytes(8092, 0x5A));                      // leftovers in the spare
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
