// FTL mount and recovery against images made by the independent builder:
// fresh formats, every state an interrupted reclaim leaves, FAT page copies,
// torn pages and headers, the allocation hand-over and hostile headers.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "flash/afs/AfsFtl.h"
#include "flash/ftl_test_volume.h"

namespace tarn_test {
namespace {

constexpr uint32_t kSmall = 0x8000;    // 4 EUs: 1 page-mapped, 2 block-mapped, spare
constexpr uint32_t kLarge = 0x30000;   // 24 EUs: 2 page-mapped, 21 block-mapped, spare
constexpr uint32_t kLargeFat = 5312;

void expect_unmapped(TestVolume& v, uint32_t from, uint32_t to) {
  for (uint32_t id = from; id < to; ++id) {
    ASSERT_EQ(v.page(id).page_num, 0xFF) << id;
    ASSERT_EQ(v.page(id).eu, 0xFF) << id;
  }
}

PageData read_fat_page(TestVolume& v, uint16_t id) {
  PageData out(64, 0);
  EXPECT_EQ(read_ftl_page(&v.ctx, v.page(id).eu, v.page(id).page_num, FTL_EU_TYPE_PAGE_MAPPED, id,
                          out.data(), 0),
            0u);
  return out;
}

TEST(FtlMount, FreshFormatOfFourEus) {
  TestVolume v(kSmall);
  v.b.format();
  ASSERT_EQ(v.mount(), 0u);
  ftl_context_t& f = v.ftl();
  EXPECT_EQ(f.amount_of_eus, 4);
  EXPECT_EQ(f.amount_of_page_mapped_eus, 1);
  EXPECT_EQ(f.last_eumc, 3u);
  EXPECT_EQ(f.spare_eu, 3);
  EXPECT_EQ(f.current_page_mapped_eu, 0u);
  EXPECT_EQ(f.next_page_in_current_eu, 0u);
  EXPECT_EQ(f.last_logical_pageid, 0);
  EXPECT_EQ(f.alloc_marker, 0u);
  EXPECT_EQ(f.alloc_marker_read, 0);
  EXPECT_EQ(f.accepted_pending_eu, FTL_NO_EU);
  EXPECT_EQ(v.eu(0).dirty_pages, 120);
  EXPECT_EQ(v.eu(0).non_committed_pages, 1);
  EXPECT_EQ(v.eu(1).euva, 10);
  EXPECT_EQ(v.eu(2).euva, 132);
  EXPECT_EQ(v.eu(3).euva, 0);
  EXPECT_EQ(v.eu(3).euec, 1u);  // the killed spare's CRC still matches: its count is kept
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(v.eu(i).eumc, i + 1);
  expect_unmapped(v, 0, 10);
  EXPECT_EQ(v.eu_of_chunk(0), 1u);
  EXPECT_EQ(v.eu_of_chunk(121), 1u);
  EXPECT_EQ(v.eu_of_chunk(122), 2u);
  EXPECT_EQ(v.eu_of_chunk(243), 2u);
}

TEST(FtlMount, FreshFormatOfTwentyFourEus) {
  TestVolume v(kLarge, kLargeFat);
  v.b.format();
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().last_eumc, 23u);
  EXPECT_EQ(v.ftl().spare_eu, 23);
  EXPECT_EQ(v.ftl().current_page_mapped_eu, 0u);
  EXPECT_EQ(v.ftl().amount_of_page_mapped_eus, 2);
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(v.eu(i).dirty_pages, 120);
    EXPECT_EQ(v.eu(i).non_committed_pages, 1);
  }
  EXPECT_EQ(v.eu(22).euva, kLargeFat / 64 + 20 * 122);
  expect_unmapped(v, 0, kLargeFat / 64);
}

TEST(FtlMount, AllErasedPartitionIsRefused) {
  TestVolume v(kSmall);
  EXPECT_EQ(v.mount(), 5u);
}

TEST(FtlMount, ProvisionalGeometryReadsTheHeaderPage) {
  // Before the volume header is known the whole partition is FAT: the
  // block-mapped EUs are held but not addressable, and page 0 is readable.
  TestVolume v(kSmall);
  v.b.format();
  v.b.append_fat_page(0, 0, page_pattern(0));
  v.describe();
  v.ctx.fat_size = v.ctx.afs_logical_size = kSmall;
  v.ctx.num_chunks = kSmall / 64;
  ASSERT_EQ(afs_physical_ftl_init(&v.ctx, kSmall, kMountFlags), 0u);
  EXPECT_EQ(v.ftl().amount_of_page_mapped_eus, 3);
  EXPECT_EQ(read_fat_page(v, 0), page_pattern(0));
  EXPECT_EQ(v.eu_of_chunk(0), 0xFFFFFFFFu);  // no data region
}

// ---- an interrupted reclaim of a block-mapped EU (EU 1 into the spare, EU 3)

class BlockReclaimCut : public ::testing::Test {
 protected:
  BlockReclaimCut() : v(kSmall) {
    v.b.format();
    v.b.put_chunk(1, 5, page_pattern(15));
    v.b.put_chunk(2, 130, page_pattern(140));
  }
  TestVolume v;
};

TEST_F(BlockReclaimCut, BeforeTheHeaderTheOldEuKeepsTheData) {
  v.b.reclaim(1, ReclaimCut::kBeforeHeader);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().spare_eu, 3);
  EXPECT_EQ(v.eu_of_chunk(5), 1u);
  EXPECT_EQ(v.ftl().last_eumc, 3u);
  EXPECT_EQ(v.eu(3).euec, 1u);  // erased header: average of the others
}

TEST_F(BlockReclaimCut, PendingHeaderBesideItsLiveOldEuIsTheSpare) {
  v.b.reclaim(1, ReclaimCut::kPendingHeader);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().spare_eu, 3);
  EXPECT_EQ(v.eu(3).euva, 0);
  EXPECT_EQ(v.eu_of_chunk(5), 1u);
  EXPECT_EQ(v.ftl().last_eumc, 3u);
  EXPECT_EQ(v.ftl().accepted_pending_eu, FTL_NO_EU);
  PageData data(66);
  ASSERT_EQ(read_ftl_page(&v.ctx, 1, 5, FTL_EU_TYPE_BLOCK_MAPPED, 15, data.data(), 0), 0u);
  data.resize(64);
  EXPECT_EQ(data, page_pattern(15));
}

TEST_F(BlockReclaimCut, PendingHeaderWithItsOldEuKilledHoldsTheData) {
  v.b.reclaim(1, ReclaimCut::kOldKilled);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().spare_eu, 1);
  EXPECT_EQ(v.eu_of_chunk(5), 3u);
  EXPECT_EQ(v.ftl().last_eumc, 4u);
  EXPECT_EQ(v.ftl().accepted_pending_eu, 3u);
  EXPECT_EQ(v.b.read_u8(3, ftl_layout::kEucommitOffset), 0xFF);  // mount wrote nothing
  PageData data(64);
  ASSERT_EQ(read_ftl_page(&v.ctx, 3, 5, FTL_EU_TYPE_BLOCK_MAPPED, 15, data.data(), 0), 0u);
  EXPECT_EQ(data, page_pattern(15));
}

TEST_F(BlockReclaimCut, AcceptedPendingEuIsCommittedBeforeTheNextHeaderSwitch) {
  v.b.reclaim(1, ReclaimCut::kOldKilled);
  ASSERT_EQ(v.mount(), 0u);
  const Bytes uncommitted = v.b.image();

  // The next reclaim (EU 2 into spare EU 1) starts its header switch here.
  ASSERT_EQ(ftl_prepare_header_switch(&v.ctx, 1), 0u);
  EXPECT_EQ(v.b.read_u8(3, ftl_layout::kEucommitOffset), 0x00);
  EXPECT_EQ(v.ftl().accepted_pending_eu, FTL_NO_EU);
  Bytes expected = uncommitted;
  expected[3 * 8192 + 17] = 0x00;
  EXPECT_EQ(v.b.image(), expected);  // nothing else was written

  // That reclaim is then cut after it killed EU 2: the flash holds one
  // pending EU (1) naming the killed EU (2), and the volume mounts.
  EuHeader h;
  h.eumc = 5;
  h.euec = 2;
  h.euspare = 2;
  h.euva = 132;
  h.commit = 0xFF;
  v.b.erase_eu(1).put_chunk(2, 130, page_pattern(140));
  v.b.write(1, 0, Bytes(18, 0xFF));
  v.b.header(1, h).kill(2);
  v.b.write(1, ftl_layout::bm_page_offset(8), v.b.page_bytes(2, ftl_layout::bm_page_offset(8)));
  v.b.set_chunk_commit(1, 8, 0x00);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.eu_of_chunk(130), 1u);
  EXPECT_EQ(v.eu_of_chunk(5), 3u);
  EXPECT_EQ(v.ftl().spare_eu, 2);

  // Without the commit the same sequence leaves two pending EUs.
  Bytes& image = v.b.image();
  image[3 * 8192 + 17] = 0xFF;
  EXPECT_EQ(v.mount(), 5u);
}

TEST_F(BlockReclaimCut, CommittedReclaimIsTheNormalState) {
  v.b.reclaim(1, ReclaimCut::kCommitted);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().spare_eu, 1);
  EXPECT_EQ(v.eu_of_chunk(5), 3u);
  EXPECT_EQ(v.ftl().last_eumc, 4u);
  EXPECT_EQ(v.eu(3).euec, 2u);
  EXPECT_EQ(v.ftl().accepted_pending_eu, FTL_NO_EU);
}

TEST_F(BlockReclaimCut, InconsistentEuSetsAreRefused) {
  {
    TestVolume w(kSmall);
    w.b.format().set_commit(1, 0xFF).set_commit(2, 0xFF);  // two pending EUs
    EXPECT_EQ(w.mount(), 5u);
  }
  {
    // A pending EU whose header names another EU than the invalid one.
    TestVolume w(kSmall);
    w.b.format();
    w.b.reclaim(1, ReclaimCut::kPendingHeader);
    w.b.erase_eu(2);
    EXPECT_EQ(w.mount(), 5u);
  }
  {
    // No pending EU, and the invalid EU is not the spare the newest header names.
    TestVolume w(kSmall);
    w.b.format();
    EuHeader h;
    h.eumc = 4;
    h.euspare = 2;
    w.b.header(3, h).erase_eu(0);
    EXPECT_EQ(w.mount(), 5u);
  }
  {
    // Two invalid EUs.
    TestVolume w(kSmall);
    w.b.format().erase_eu(1);
    EXPECT_EQ(w.mount(), 5u);
  }
  {
    // A pending EU beside the EU it killed, but with a counter below the
    // newest committed header's: no reclaim writes that.
    TestVolume w(kSmall);
    w.b.format();
    const uint32_t fresh = w.b.reclaim(1, ReclaimCut::kOldKilled);
    w.rewrite_header(fresh, [](EuHeader& h) { h.eumc = 2; });
    EXPECT_EQ(w.mount(), 5u);
  }
}

// ---- page-mapped EUs

TEST(FtlMountPageMapped, CopiesInTwoEusNewerCounterWins) {
  TestVolume v(kLarge, kLargeFat);
  v.b.format();
  v.b.append_fat_page(0, 5, page_pattern(5, 0));
  v.b.append_fat_page(0, 6, page_pattern(6, 0));
  v.b.append_fat_page(0, 6, page_pattern(6, 1));  // later copy in the same EU
  v.b.append_fat_page(1, 5, page_pattern(5, 1));  // EU 1 has the larger eumc
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.page(5).eu, 1);
  EXPECT_EQ(v.page(5).page_num, 0);
  EXPECT_EQ(v.page(6).eu, 0);
  EXPECT_EQ(v.page(6).page_num, 2);
  EXPECT_EQ(v.eu(0).dirty_pages, 119);
  EXPECT_EQ(v.eu(1).dirty_pages, 119);
  EXPECT_EQ(v.eu(0).non_committed_pages, 0);
  EXPECT_EQ(v.ftl().current_page_mapped_eu, 1u);
  EXPECT_EQ(v.ftl().next_page_in_current_eu, 1u);
  EXPECT_EQ(v.ftl().last_logical_pageid, 5);
  EXPECT_EQ(read_fat_page(v, 5), page_pattern(5, 1));
  EXPECT_EQ(read_fat_page(v, 6), page_pattern(6, 1));
}

TEST(FtlMountPageMapped, NewerEuScannedFirstStillWins) {
  TestVolume v(kLarge, kLargeFat);
  v.b.format();
  v.rewrite_header(0, [](EuHeader& h) { h.eumc = 30; h.euspare = 23; });
  v.b.append_fat_page(0, 5, page_pattern(5, 2));
  v.b.append_fat_page(0, 9, page_pattern(9, 2));
  v.b.append_fat_page(1, 5, page_pattern(5, 1));
  v.b.append_fat_page(1, 7, page_pattern(7, 1));
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.page(5).eu, 0);
  EXPECT_EQ(v.eu(1).dirty_pages, 119);  // its copy of page 5 is stale
  EXPECT_EQ(v.eu(0).dirty_pages, 118);
  EXPECT_EQ(v.ftl().current_page_mapped_eu, 0u);
  EXPECT_EQ(v.ftl().next_page_in_current_eu, 2u);
  EXPECT_EQ(v.ftl().last_logical_pageid, 9);  // the current EU's chain, not EU 1's
  EXPECT_EQ(v.ftl().last_eumc, 30u);
  EXPECT_EQ(read_fat_page(v, 5), page_pattern(5, 2));
}

TEST(FtlMountPageMapped, TornLastPageInTheCurrentEu) {
  for (PageTear tear : {PageTear::kSlotOnly, PageTear::kPartialPage, PageTear::kNoCommit}) {
    TestVolume v(kSmall);
    v.b.format();
    v.b.append_fat_page(0, 1, page_pattern(1));
    v.b.append_fat_page(0, 2, page_pattern(2));
    v.b.append_fat_page(0, 1, page_pattern(1, 1), tear, 30);
    ASSERT_EQ(v.mount(), 0u);
    EXPECT_EQ(v.ftl().next_page_in_current_eu, 4u);  // two pages past the last committed one
    EXPECT_EQ(v.ftl().last_logical_pageid, 2);
    EXPECT_EQ(v.page(1).page_num, 0);
    EXPECT_EQ(v.page(2).page_num, 1);
    EXPECT_EQ(v.eu(0).dirty_pages, 118);
    EXPECT_EQ(read_fat_page(v, 1), page_pattern(1));
  }
}

TEST(FtlMountPageMapped, PageAfterATornPageIsSkippedBeforeAndAfterItsReclaim) {
  // Page 1 torn after its slot was written, so page 2 stays unused, and the
  // append of page 3 writes slot 3, which looks like page 2's commit mark.
  TestVolume v(kSmall);
  v.b.format();
  v.b.append_fat_page(0, 3, page_pattern(3));
  v.b.append_fat_page(0, 4, page_pattern(4), PageTear::kSlotOnly);
  v.b.append_fat_page(0, 5, page_pattern(5));
  v.b.append_fat_page(0, 6, page_pattern(6));
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.page(3).page_num, 0);
  EXPECT_EQ(v.page(5).page_num, 3);
  EXPECT_EQ(v.page(6).page_num, 4);
  expect_unmapped(v, 4, 5);
  EXPECT_EQ(v.eu(0).dirty_pages, 117);
  EXPECT_EQ(v.ftl().next_page_in_current_eu, 5u);
  EXPECT_EQ(v.ftl().last_logical_pageid, 6);

  // The builder's reclaim of that EU: three live pages, chained afresh.
  v.b.reclaim(0, ReclaimCut::kCommitted);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().spare_eu, 0);
  EXPECT_EQ(v.ftl().current_page_mapped_eu, 3u);
  EXPECT_EQ(v.ftl().next_page_in_current_eu, 3u);
  EXPECT_EQ(v.ftl().last_logical_pageid, 6);
  EXPECT_EQ(v.eu(3).dirty_pages, 117);
  const uint16_t ids[] = {3, 5, 6};
  for (uint32_t k = 0; k < 3; ++k) {
    EXPECT_EQ(v.page(ids[k]).eu, 3) << ids[k];
    EXPECT_EQ(uint32_t{v.page(ids[k]).page_num}, k) << ids[k];
    EXPECT_EQ(read_fat_page(v, ids[k]), page_pattern(ids[k])) << ids[k];
  }
  expect_unmapped(v, 4, 5);
}

TEST(FtlMountPageMapped, FullEuEndsAtPage120) {
  TestVolume v(kSmall);
  v.b.format();
  for (uint16_t i = 0; i < 120; ++i) v.b.append_fat_page(0, i % 10, page_pattern(i % 10, static_cast<uint8_t>(i)));
  EXPECT_EQ(v.b.slot(0, 120), 0x7FFF);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().next_page_in_current_eu, 120u);
  EXPECT_EQ(v.eu(0).dirty_pages, 110);
  EXPECT_EQ(v.page(9).page_num, 119);
}

TEST(FtlMountPageMapped, PageIdOutsideTheFatIsRefused) {
  TestVolume v(kSmall);  // fat_size 640: ids 0..9
  v.b.format();
  v.b.append_fat_page(0, 10, page_pattern(10));
  EXPECT_EQ(v.mount(), 5u);
  TestVolume w(kSmall);
  w.b.format();
  w.b.append_fat_page(0, 0x7FFE, page_pattern(1));
  EXPECT_EQ(w.mount(), 5u);
}

TEST(FtlMountPageMapped, PendingPageMappedEuTakesOverWithItsOwnChainSeed) {
  TestVolume v(kLarge, kLargeFat);
  v.b.format();
  v.b.append_fat_page(0, 1, page_pattern(1));
  v.b.append_fat_page(0, 2, page_pattern(2));
  v.b.append_fat_page(0, 3, page_pattern(3));
  v.b.append_fat_page(1, 7, page_pattern(7));
  const uint32_t new_eu = v.b.reclaim(0, ReclaimCut::kOldKilled);
  ASSERT_EQ(new_eu, 23u);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().spare_eu, 0);
  EXPECT_EQ(v.ftl().current_page_mapped_eu, 23u);
  EXPECT_EQ(v.ftl().next_page_in_current_eu, 3u);
  EXPECT_EQ(v.ftl().last_logical_pageid, 3);
  EXPECT_EQ(v.ftl().last_eumc, 24u);
  EXPECT_EQ(v.page(1).eu, 23);
  EXPECT_EQ(v.page(7).eu, 1);
  EXPECT_EQ(read_fat_page(v, 2), page_pattern(2));
}

TEST(FtlMountPageMapped, PendingEuWithoutCommittedPageSeedsTheChainWithZero) {
  TestVolume v(kLarge, kLargeFat);
  v.b.format();
  v.b.append_fat_page(1, 7, page_pattern(7));  // the other EU's chain ends in 7
  // A reclaim of empty EU 0 into EU 23 whose first page was torn.
  v.b.erase_eu(23);
  v.b.append_fat_page(23, 9, page_pattern(9), PageTear::kSlotOnly);
  EuHeader h;
  h.eumc = 24;
  h.euec = 2;
  h.euspare = 0;
  h.commit = 0xFF;
  v.b.header(23, h).kill(0);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().current_page_mapped_eu, 23u);
  EXPECT_EQ(v.ftl().next_page_in_current_eu, 2u);
  EXPECT_EQ(v.eu(23).dirty_pages, 120);
  EXPECT_EQ(v.ftl().last_logical_pageid, 0);
  EXPECT_EQ(v.page(9).page_num, 0xFF);
}

TEST(FtlMountPageMapped, EmptyPendingPageMappedEuKeepsTheWriteHead) {
  TestVolume v(kLarge, kLargeFat);
  v.b.format();
  v.b.append_fat_page(0, 4, page_pattern(4));
  v.b.append_fat_page(1, 5, page_pattern(5));
  ReclaimOptions o;
  o.copy_to = 1;  // the live page moves behind EU 1's write head
  v.b.reclaim(0, ReclaimCut::kOldKilled, o);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().current_page_mapped_eu, 1u);
  EXPECT_EQ(v.ftl().next_page_in_current_eu, 2u);
  EXPECT_EQ(v.ftl().last_logical_pageid, 4);
  EXPECT_EQ(v.eu(23).dirty_pages, 120);
  EXPECT_EQ(v.eu(23).non_committed_pages, 1);
  EXPECT_EQ(v.page(4).eu, 1);
}

// States a mount accepts that no device leaves behind its FAT write head:
// FAT pages written after the mount, through head moves and page-mapped
// reclaims, must all be found again by the next mount.
TEST(FtlMountHostile, FatWritesSurviveARemountOverOddPageMappedStates) {
  using ftl_layout::pm_slot_offset;
  const struct {
    const char* what;
    void (*set_up)(TestVolume&);
  } cases[] = {
      {"device order", [](TestVolume&) {}},
      // Two programmed slots: the first commits a page, the second gives
      // the next one an id.
      {"programmed slots behind the head", [](TestVolume& v) {
         v.b.write_u16(0, pm_slot_offset(6), 0x1234).write_u16(0, pm_slot_offset(7), 0x0042);
       }},
      {"programmed slots in an empty EU", [](TestVolume& v) {
         v.b.write_u16(1, pm_slot_offset(3), 0x1234).write_u16(1, pm_slot_offset(4), 0x0042);
       }},
      {"empty EU counter below the head's", [](TestVolume& v) {
         v.rewrite_header(0, [&](EuHeader& h) {
           h.eumc = v.b.eu_count() + 5;
           h.euspare = static_cast<uint16_t>(v.b.eu_count() - 1);
         });
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestVolume v(kLarge, kLargeFat);  // 83 FAT pages, page-mapped EUs 0 and 1
    v.b.format();
    for (uint16_t id = 0; id < 3; ++id) v.b.append_fat_page(0, id, page_pattern(id));
    c.set_up(v);
    ASSERT_EQ(v.mount(), 0u);
    ASSERT_EQ(v.hand_over(), 0u);
    const uint16_t pages = static_cast<uint16_t>(kLargeFat / 64);
    std::map<uint16_t, PageData> written;
    for (uint32_t k = 0; k < 400; ++k) {
      const uint16_t id = static_cast<uint16_t>((k * 7) % pages);
      PageData data = page_pattern(id, static_cast<uint8_t>(k));
      ASSERT_EQ(afs_physical_ftl_write_page(&v.ctx, id * 64u, 64, data.data(), 0), 0u) << k;
      written[id] = data;
      // Every page written so far, for the builder's reader and a remount;
      // the writes go on over the remounted state.
      const auto found = v.b.live_fat_pages();
      ASSERT_EQ(v.mount(), 0u) << k;
      ASSERT_EQ(v.hand_over(), 0u);
      for (const auto& w : written) {
        ASSERT_TRUE(found.count(w.first) != 0 && found.at(w.first) == w.second) << k << " " << w.first;
        ASSERT_EQ(read_fat_page(v, w.first), w.second) << k << " " << w.first;
      }
    }
  }
}

// ---- erase counts of the spare

TEST(FtlMountSpare, TornSpareHeaderGetsTheAverageEraseCount) {
  TestVolume v(kLarge, kLargeFat);
  v.b.format();
  uint64_t sum = 0;
  for (uint32_t i = 0; i < 23; ++i) {
    const uint32_t euec = 1000 + 37 * i;
    sum += euec;
    v.rewrite_header(i, [euec](EuHeader& h) { h.euec = euec; });
  }
  EuHeader spare;
  spare.eumc = 24;
  spare.euec = 9;
  v.b.torn_header(23, spare, 6);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().spare_eu, 23);
  EXPECT_EQ(v.eu(23).euec, static_cast<uint32_t>(sum / 23));
}

TEST(FtlMountSpare, AverageDoesNotWrapWithLargeCounts) {
  TestVolume v(kSmall);
  v.b.format();
  for (uint32_t i = 0; i < 3; ++i)
    v.rewrite_header(i, [i](EuHeader& h) { h.euec = 0xFFFFFFF0u + i; });
  v.b.erase_eu(3);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.eu(3).euec, 0xFFFFFFF1u);
}

TEST(FtlMountSpare, KilledSpareKeepsItsEraseCountOnlyWithAMatchingCrc) {
  TestVolume v(kSmall);
  v.b.format();
  v.rewrite_header(3, [](EuHeader& h) { h.euec = 77; h.crc_sig = ftl_layout::kSigValid; });
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.eu(3).euec, 77u);
  v.rewrite_header(3, [](EuHeader& h) { h.euec = 77; h.crc_sig = ftl_layout::kSigAltStored; });
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.eu(3).euec, 77u);
  v.rewrite_header(3, [](EuHeader& h) { h.euec = 77; h.crc_override = 0x5A; });
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.eu(3).euec, 1u);  // lost: the average of three EUs with count 1
}

TEST(FtlMountSpare, AlternativeSignaturesAreValidHeaders) {
  TestVolume v(kSmall);
  v.b.format();
  v.rewrite_header(1, [](EuHeader& h) { h.sig = ftl_layout::kSigAltStored; });
  v.rewrite_header(2, [](EuHeader& h) { h.sig = ftl_layout::kSigAltValid; h.crc_sig = ftl_layout::kSigValid; });
  v.rewrite_header(0, [](EuHeader& h) { h.sig = ftl_layout::kSigAltStored; h.crc_sig = ftl_layout::kSigValid; });
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.eu_of_chunk(200), 2u);
  // 0xAA050887 with a CRC over itself is not accepted: EU 2 becomes a second invalid EU.
  v.rewrite_header(2, [](EuHeader& h) { h.sig = ftl_layout::kSigAltValid; h.crc_sig = -1; });
  EXPECT_EQ(v.mount(), 5u);
}

// ---- hostile euva values

TEST(FtlMountHostile, BlockMappedEuvaMustNameAChunkRangeOnce) {
  // fat_size 640: ranges start at 10 and 132; the volume has 244 chunks.
  for (uint16_t euva : {uint16_t{1}, uint16_t{9}, uint16_t{11}, uint16_t{131}, uint16_t{133},
                        uint16_t{10}, uint16_t{254}, uint16_t{0x7FFF}, uint16_t{0xFFFF}}) {
    TestVolume v(kSmall);
    v.b.format();
    v.rewrite_header(2, [euva](EuHeader& h) { h.euva = euva; });
    EXPECT_EQ(v.mount(), 5u) << euva;
  }
}

TEST(FtlMountHostile, AcceptedPendingEuvaIsCheckedToo) {
  for (uint16_t euva : {uint16_t{11}, uint16_t{132}, uint16_t{254}, uint16_t{0xFFFF}}) {
    TestVolume v(kSmall);
    v.b.format();
    v.b.reclaim(1, ReclaimCut::kOldKilled);
    v.rewrite_header(3, [euva](EuHeader& h) { h.euva = euva; });
    EXPECT_EQ(v.mount(), 5u) << euva;
  }
}

TEST(FtlMountHostile, VolumeLargerThanThePartitionIsRefused) {
  TestVolume v(kSmall);
  v.b.format();
  v.describe();
  v.ctx.afs_logical_size = v.ctx.fat_size + 4 * 7808;
  EXPECT_EQ(afs_physical_ftl_init(&v.ctx, kSmall, kMountFlags), 5u);
  v.ctx.afs_logical_size = v.ctx.fat_size - 64;
  EXPECT_EQ(afs_physical_ftl_init(&v.ctx, kSmall, kMountFlags), 5u);
}

TEST(FtlMountHostile, HandOverRefusesRangesBeyondTheChunkBitmap) {
  // The header claims fewer chunks than the FTL's data area: the second
  // range has no bits in the chunk bitmap.
  TestVolume v(kSmall);
  v.b.format();
  v.describe();
  v.ctx.num_chunks = 200;
  v.bitmap.assign(200 / 32 + 1, 0);
  v.ctx.chunk_state = v.bitmap.data();
  EXPECT_EQ(afs_physical_ftl_init(&v.ctx, kSmall, kMountFlags), 5u);
}

TEST(FtlMountHostile, ChunkLookupsStayBelowTheMountsChunkCount) {
  // Without an addressable chunk the mount does not check euvas, so no
  // lookup may find an EU: its chunk would have no bit in chunk_state.
  {
    // Provisional geometry (the whole partition is FAT): EU 1's euva names
    // the chunk range right after that FAT.
    TestVolume v(kSmall);
    v.b.format();
    v.rewrite_header(1, [](EuHeader& h) { h.euva = kSmall / 64; });
    v.describe();
    v.ctx.fat_size = v.ctx.afs_logical_size = kSmall;
    v.ctx.num_chunks = kSmall / 64;
    ASSERT_EQ(afs_physical_ftl_init(&v.ctx, kSmall, kMountFlags), 0u);
    EXPECT_EQ(v.ftl().chunk_count, 0u);
    EXPECT_EQ(v.eu_of_chunk(0), 0xFFFFFFFFu);
  }
  {
    // A data region but an empty chunk bitmap, and EU 2 naming a range far
    // beyond the volume.
    TestVolume v(kSmall);
    v.b.format();
    v.rewrite_header(2, [](EuHeader& h) { h.euva = 10 + 50 * 122; });
    v.describe();
    v.ctx.num_chunks = 0;
    ASSERT_EQ(afs_physical_ftl_init(&v.ctx, kSmall, kMountFlags), 0u);
    EXPECT_EQ(v.ftl().chunk_count, 0u);
    EXPECT_EQ(v.eu_of_chunk(0), 0xFFFFFFFFu);
    EXPECT_EQ(v.eu_of_chunk(50 * 122), 0xFFFFFFFFu);
    uint32_t off = 0, chunk = 0, eu = 0xDEAD;
    EXPECT_EQ(find_chunk_and_eu_from_address(&v.ctx, 640 + 64 * 50 * 122, &off, &chunk, &eu), 5u);
    EXPECT_EQ(eu, 0xDEADu);
  }
  {
    // The full volume: both ranges and nothing past them.
    TestVolume v(kSmall);
    v.b.format();
    ASSERT_EQ(v.mount(), 0u);
    EXPECT_EQ(v.ftl().chunk_count, 244u);
    EXPECT_EQ(v.eu_of_chunk(243), 2u);
    EXPECT_EQ(v.eu_of_chunk(244), 0xFFFFFFFFu);
  }
}

// ---- geometry limits and reuse

TEST(FtlMountLimits, FailedMountStillBindsItsImage) {
  // A mount that fails before it reads anything has still bound its own
  // image: a format that follows writes there, not into the image bound by
  // an earlier mount.
  TestVolume first(kSmall);
  first.b.format();
  ASSERT_EQ(first.mount(), 0u);
  const Bytes first_image = first.b.image();

  TestVolume second(kSmall);
  second.describe();
  SpiFlashDrvInitialize(first.b.image().data());  // still bound to the first image
  EXPECT_EQ(afs_physical_ftl_init(&second.ctx, 0x200000, kMountFlags), 22u);
  EXPECT_EQ(gpBuffer, second.b.image().data());

  SpiFlashDrvInitialize(first.b.image().data());
  second.ctx.fat_size = 0x8000 * 64 + 64;  // a FAT too large for 15-bit page ids
  EXPECT_EQ(afs_physical_ftl_init(&second.ctx, kSmall, kMountFlags), 22u);
  EXPECT_EQ(gpBuffer, second.b.image().data());

  second.describe();
  ASSERT_EQ(afs_physical_ftl_format(&second.ctx, 1), 0u);
  EXPECT_EQ(first.b.image(), first_image);
  FtlImageBuilder expected(second.b.geometry());
  expected.format();
  EXPECT_EQ(second.b.header_bytes(0), expected.header_bytes(0));
  EXPECT_EQ(second.b.header_bytes(3), expected.header_bytes(3));

  // Without the bind flag the binding stays as it is.
  SpiFlashDrvInitialize(first.b.image().data());
  EXPECT_EQ(afs_physical_ftl_init(&second.ctx, kSmall, FTL_INIT_ALLOCATE), 0u);
  EXPECT_EQ(gpBuffer, first.b.image().data());
}

TEST(FtlMountLimits, MoreThan255EusIsRefused) {
  TestVolume v(kSmall);
  v.b.format();
  v.describe();
  EXPECT_EQ(afs_physical_ftl_init(&v.ctx, 0x200000, kMountFlags), 22u);
  EXPECT_EQ(v.ctx.ftl_context, nullptr);
  EXPECT_EQ(afs_physical_ftl_init(nullptr, kSmall, kMountFlags), 22u);
}

TEST(FtlMountLimits, RemountReusesTablesOnlyWhenTheyFit) {
  TestVolume v(kSmall);
  v.b.format();
  ASSERT_EQ(v.mount(), 0u);
  v.b.append_fat_page(0, 3, page_pattern(3));
  ASSERT_EQ(afs_physical_ftl_init(&v.ctx, kSmall, 0), 0u);
  EXPECT_EQ(v.page(3).page_num, 0);
  // A larger FAT than the attached page table holds.
  v.ctx.fat_size = 1280;
  v.ctx.afs_logical_size = 1280 + 2 * 7808;
  EXPECT_EQ(afs_physical_ftl_init(&v.ctx, kSmall, 0), 22u);
  afs_physical_ftl_release(&v.ctx);
  EXPECT_EQ(v.ctx.ftl_context, nullptr);
  EXPECT_EQ(afs_physical_ftl_init(&v.ctx, kSmall, 0), 22u);
}

// ---- allocation hand-over

class FtlHandOver : public ::testing::Test {
 protected:
  FtlHandOver() : v(kSmall) {
    v.b.format();
    v.b.put_chunk(1, 0, page_pattern(10));
    v.b.put_chunk(1, 1, page_pattern(11));
    v.b.put_chunk(1, 2, page_pattern(12), 0x7F);  // a write cut before its commit
    v.b.put_chunk(2, 122, page_pattern(132));
  }
  TestVolume v;
};

TEST_F(FtlHandOver, CountsPagesAndPlacesTheMarkerInTheNewestEu) {
  ASSERT_EQ(v.mount(), 0u);
  v.allocate(0);
  v.allocate(1);
  v.allocate(122);
  ASSERT_EQ(v.hand_over(), 0u);
  EXPECT_EQ(v.eu(1).dirty_pages, 120);
  EXPECT_EQ(v.eu(1).non_committed_pages, 119);
  EXPECT_EQ(v.eu(2).dirty_pages, 121);
  EXPECT_EQ(v.eu(2).non_committed_pages, 121);
  EXPECT_EQ(v.ftl().alloc_marker, 123u);  // first erased free page of EU 2 (eumc 3)
  EXPECT_EQ(v.ftl().alloc_threshold, 244u);
  EXPECT_EQ(v.ftl().alloc_marker_read, 1);
  EXPECT_EQ(v.ftl().alloc_eu_flushed, 0);
}

TEST_F(FtlHandOver, AllocatedChunkMustBeCommitted) {
  ASSERT_EQ(v.mount(), 0u);
  v.allocate(2);  // commit byte 0x7F
  EXPECT_EQ(v.hand_over(), 5u);
  ASSERT_EQ(v.mount(), 0u);
  v.allocate(3);  // never written: 0xFF
  EXPECT_EQ(v.hand_over(), 5u);
}

TEST_F(FtlHandOver, NoErasedFreePageLeavesNoMarker) {
  for (uint32_t p = 0; p < 122; ++p) {
    v.b.set_chunk_commit(1, p, 0x00);
    v.b.set_chunk_commit(2, p, 0x7F);
  }
  ASSERT_EQ(v.mount(), 0u);
  ASSERT_EQ(v.hand_over(), 0u);
  EXPECT_EQ(v.ftl().alloc_marker, FTL_NO_ALLOC_MARKER);
  EXPECT_EQ(v.eu(1).dirty_pages, 122);
  EXPECT_EQ(v.eu(1).non_committed_pages, 0);
}

TEST_F(FtlHandOver, MarkerGoesToTheOlderEuWhenTheNewestIsFull) {
  for (uint32_t p = 0; p < 122; ++p) v.b.set_chunk_commit(2, p, 0x00);
  ASSERT_EQ(v.mount(), 0u);
  ASSERT_EQ(v.hand_over(), 0u);
  EXPECT_EQ(v.ftl().alloc_marker, 3u);
  EXPECT_EQ(v.ftl().alloc_threshold, 122u);
}

TEST_F(FtlHandOver, NeedsAMountAndABitmap) {
  EXPECT_EQ(afs_physical_ftl_set_allocation_map(nullptr), 22u);
  ASSERT_EQ(v.mount(), 0u);
  v.ctx.chunk_state = nullptr;
  EXPECT_EQ(v.hand_over(), 22u);
}

// ---- the header-switch hook

TEST(FtlHeaderSwitchHook, RefusesCountersThatWouldWrapAndWritesNothing) {
  TestVolume v(kSmall);
  v.b.format();
  v.b.reclaim(1, ReclaimCut::kOldKilled);
  ASSERT_EQ(v.mount(), 0u);
  const Bytes before = v.b.image();
  v.ftl().last_eumc = 0xFFFFFFFF;
  EXPECT_EQ(ftl_prepare_header_switch(&v.ctx, 1), 5u);
  v.ftl().last_eumc = 4;
  v.eu(1).euec = 0xFFFFFFFF;
  EXPECT_EQ(ftl_prepare_header_switch(&v.ctx, 1), 5u);
  EXPECT_EQ(ftl_prepare_header_switch(&v.ctx, 4), 5u);
  EXPECT_EQ(v.b.image(), before);
  EXPECT_EQ(v.ftl().accepted_pending_eu, 3u);
  v.eu(1).euec = 1;
  EXPECT_EQ(ftl_prepare_header_switch(&v.ctx, 1), 0u);
  EXPECT_EQ(ftl_prepare_header_switch(&v.ctx, 1), 0u);  // nothing left to commit
  EXPECT_EQ(ftl_prepare_header_switch(nullptr, 1), 22u);
}

TEST(FtlHeaderSwitchHook, MountAcceptsAHeaderCounterOfAllOnesButTheSwitchRefuses) {
  // A valid header may carry eumc 0xFFFFFFFF; it mounts, but no reclaim can
  // follow it.
  TestVolume v(kSmall);
  v.b.format();
  v.rewrite_header(2, [](EuHeader& h) { h.eumc = 0xFFFFFFFF; h.euspare = 3; });
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().last_eumc, 0xFFFFFFFFu);
  EXPECT_EQ(ftl_prepare_header_switch(&v.ctx, 3), 5u);
}

}  // namespace
}  // namespace tarn_test
