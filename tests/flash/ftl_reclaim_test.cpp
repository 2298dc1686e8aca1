// The FTL's page service and reclaim: pages written, read and trimmed, runs
// across a range boundary, chunk allocation, the idle thresholds, wear
// levelling, making room, the forced reclaims, the dirty erase and the end of
// reserved-files mode, with flash bytes checked against the independent
// builder (its own writes, reclaims and reader); the idle reclaim, the retry
// of making room, and the write head moving into an empty page-mapped EU.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <utility>
#include <vector>

#include "flash/afs/AfsFtl.h"
#include "flash/afs/AfsFtlReclaim.h"
#include "flash/ftl_test_volume.h"

namespace tarn_test {
namespace {

using namespace ftl_layout;
constexpr uint32_t kSmall = 0x8000;  // EU 0 page-mapped, EUs 1-2 block-mapped, EU 3 the spare
constexpr uint32_t kFat = 640;       // 10 FAT pages
constexpr uint32_t kNone = 0xFFFFFFFF;

uint32_t chunk_address(uint32_t chunk) { return kFat + 64 * chunk; }
uint32_t write(TestVolume& v, uint32_t address, PageData data) {
  return afs_physical_ftl_write_page(&v.ctx, address, 64, data.data(), 0);
}
PageData read(TestVolume& v, uint32_t address) {
  PageData out(64, 0xEE);
  EXPECT_EQ(afs_physical_ftl_read_page(&v.ctx, address, 64, out.data(), 0), 0u);
  return out;
}

TEST(FtlPageService, WriteReadTrimThenEndReservedFilesMode) {
  TestVolume v(kSmall);
  v.b.format();
  ASSERT_EQ(v.ready({5}), 0u);
  FtlImageBuilder expected = v.b;
  for (uint8_t i : {1, 2}) ASSERT_EQ(write(v, 3 * 64, page_fill(i)), 0u);
  ASSERT_EQ(write(v, chunk_address(130), page_pattern(140)), 0u);
  expected.append_fat_page(0, 3, page_fill(1)).append_fat_page(0, 3, page_fill(2));
  expected.put_chunk(2, 130, page_pattern(140));
  EXPECT_EQ(v.b.image(), expected.image());
  EXPECT_EQ(read(v, 4 * 64), page_fill(0));  // never written
  // A programmed chunk is not written again; an address that aliases it in
  // 16 bits releases nothing; a released chunk reads as zeros.
  EXPECT_EQ(write(v, chunk_address(130), page_fill(9)), 5u);
  EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, chunk_address(0x10000 + 130), 64, 0), 0u);
  EXPECT_EQ(read(v, chunk_address(130)), page_pattern(140));
  EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, chunk_address(130), 12345, 0), 0u);
  EXPECT_EQ(read(v, chunk_address(130)), page_fill(0));
  EXPECT_EQ(write(v, chunk_address(130), page_fill(9)), 5u);
  EXPECT_EQ(v.b.image(), expected.image());

  // EU 0 goes to the spare, then EU 1 to EU 0, which was left as the spare.
  ASSERT_EQ(afs_physical_ftl_end_reserved_files_mode(&v.ctx), 0u);
  expected.reclaim(0, ReclaimCut::kCommitted);
  expected.reclaim(1, ReclaimCut::kCommitted);
  EXPECT_EQ(v.b.image(), expected.image());
  EXPECT_EQ(v.ftl().spare_eu, 1);
  EXPECT_EQ(read(v, 3 * 64), page_fill(2));
  EXPECT_EQ(read(v, chunk_address(5)), page_pattern(5));
}

TEST(FtlPageService, AllocationAndRunsOfChunks) {
  TestVolume v(kSmall);
  v.b.format();
  v.b.put_chunk(1, 1, page_fill(2));  // released, still programmed
  std::vector<uint32_t> used(121);
  std::iota(used.begin(), used.end(), 122);  // EU 2 but its last chunk
  used.insert(used.end(), {0, 120, 121});
  v.ctx.num_files = 7;
  ASSERT_EQ(v.ready(used), 0u);
  cid_t id = 0;
  ASSERT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 0u);
  EXPECT_EQ(id, 243 + 7);  // the newest EU's only erased chunk
  ASSERT_EQ(write(v, chunk_address(243), page_fill(4)), 0u);
  const Bytes before = v.b.image();
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 65533u);
  ASSERT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 0u);
  EXPECT_EQ(id, 2 + 7);  // EU 1 taken into use, past chunks 0 (allocated) and 1 (programmed)
  EXPECT_EQ(v.b.image(), before);

  // Five chunks from 120: two from EU 1, three from EU 2. A run over two
  // boundaries is refused before it passes the buffer.
  std::vector<uint8_t> buffer(5 * 66);
  ASSERT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buffer.data(), chunk_address(120), 5), 0u);
  for (uint16_t k = 0; k < 5; ++k)
    EXPECT_EQ(PageData(buffer.begin() + 64 * k, buffer.begin() + 64 * (k + 1)), page_pattern(120 + k));
  EXPECT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buffer.data(), chunk_address(120), 125), 5u);
  // A run from a free chunk (1: released, still programmed) is all zeros.
  std::fill(buffer.begin(), buffer.end(), 0xA5);
  ASSERT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buffer.data(), chunk_address(1), 3), 0u);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 3 * 64, [](uint8_t x) { return x == 0; }));
}

TEST(FtlPageService, AFatEuOfLivePagesOnlyFillsItsCopy) {
  TestVolume v(kSmall, 120 * 64);  // one page-mapped EU for 120 FAT pages
  v.b.format();
  ASSERT_EQ(v.ready({}), 0u);
  FtlImageBuilder expected = v.b;
  for (uint16_t lp = 0; lp < 120; ++lp) {
    ASSERT_EQ(write(v, lp * 64u, page_pattern(lp)), 0u);
    expected.append_fat_page(0, lp, page_pattern(lp));
  }
  // The full EU is copied whole into the spare (runs of 62 and 58) and gains
  // nothing; the copy stays the full head, so the write gives 28 unwritten.
  EXPECT_EQ(write(v, 7 * 64, page_fill(1)), 28u);
  expected.reclaim(0, ReclaimCut::kCommitted);
  EXPECT_EQ(v.b.image(), expected.image());
  // One page released: the write compacts the copy into EU 0, then lands.
  EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, 5 * 64, 64, 0), 0u);
  ASSERT_EQ(write(v, 7 * 64, page_fill(1)), 0u);
  ReclaimOptions live;
  for (uint32_t lp = 0; lp < 120; ++lp)
    if (lp != 5) live.pages.push_back(lp);
  expected.reclaim(3, ReclaimCut::kCommitted, live);
  expected.append_fat_page(0, 7, page_fill(1));
  EXPECT_EQ(v.b.image(), expected.image());
}

TEST(FtlReclaimChoice, IdleThresholdsAndWearLevelling) {
  TestVolume v(kSmall);
  v.b.format();
  ASSERT_EQ(v.ready({}), 0u);
  struct Idle {  // free FAT pages; erased and dirty pages of block-mapped EUs 1 and 2; the answer
    uint32_t fat_free;
    uint8_t free1, dirty1, free2, dirty2;
    bool due;
    uint32_t type, index;
  };
  for (const Idle& r : {Idle{29, 100, 0, 100, 0, true, 0, kNone}, Idle{30, 100, 0, 100, 0, false, 0, 0},
                        Idle{30, 31, 48, 32, 49, true, 1, kNone}, Idle{30, 32, 48, 32, 49, false, 0, 0},
                        Idle{30, 31, 48, 32, 48, false, 0, 0}, Idle{30, 64, 0, 0, 122, true, 1, 2}}) {
    v.ftl().next_page_in_current_eu = 120 - r.fat_free;
    v.eu(1).non_committed_pages = r.free1, v.eu(1).dirty_pages = r.dirty1;
    v.eu(2).non_committed_pages = r.free2, v.eu(2).dirty_pages = r.dirty2;
    uint32_t index = 77, type = 77;
    EXPECT_EQ(afs_physical_ftl_idle_reclaim_needed(&v.ctx, &index, &type), r.due)
        << r.fat_free << " " << r.free1 + r.free2 << " " << r.dirty1 + r.dirty2;
    EXPECT_EQ(index, r.due ? r.index : 77u);
    EXPECT_EQ(type, r.due ? r.type : 77u);
  }
  // Erase counts (lowest, highest): levelling fires for the first only.
  const std::pair<uint32_t, uint32_t> spreads[] = {{109, 210}, {109, 209}, {109, 211}, {110, 210}};
  for (const auto& [low, high] : spreads) {
    v.eu(1) = eu_info_t{2, low, 10, 0, 0};  // no dirty page at all
    v.eu(2) = eu_info_t{3, high, 132, 5, 0};
    uint32_t needed = 0;
    EXPECT_EQ(choose_eu_to_reclaim(&v.ctx, 1, 1, &needed, false), low == 109 && high == 210 ? 1u : 2u)
        << low << "/" << high;
    EXPECT_EQ(needed, 1u);
  }
}

TEST(FtlReclaim, AFullVolumeGainsNothingAndRefusalsWriteNothing) {
  TestVolume v(kSmall);
  v.b.format();
  std::vector<uint32_t> all(244);
  std::iota(all.begin(), all.end(), 0);
  ASSERT_EQ(v.ready(all), 0u);
  FtlImageBuilder expected = v.b;
  v.eu(1).euec = 109, v.eu(2).euec = 210;  // EU 1 is the levelling pick
  cid_t id = 0;
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 65533u);
  // EU 1 is reclaimed into the spare in runs of 62 and 60 pages and gains
  // nothing (38807); without levelling no EU has a dirty page: 28.
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 28u);
  expected.reclaim(1, ReclaimCut::kCommitted);
  EXPECT_EQ(v.b.image(), expected.image());

  EXPECT_EQ(reclaim_eu(&v.ctx, 1, 1), 28u);  // the spare
  v.ftl().last_eumc = 0xFFFFFFFF;            // the next header's counter would wrap
  EXPECT_EQ(reclaim_eu(&v.ctx, 2, 1), 5u);
  v.ftl().last_eumc = 10;
  v.eu(1).euec = 0xFFFFFFFF;  // so would the spare's erase count
  EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), 5u);
  std::vector<uint8_t> run(62 * 66);  // a copy longer than its buffers
  EXPECT_EQ(ftl_copy_pages(&v.ctx, 2 * 8192, 1 * 8192, 0, 0, 63, run.data(), run.data(), 132, nullptr), 22u);
  EXPECT_EQ(v.b.image(), expected.image());

  TestVolume w(FtlGeometry{kSmall, kFat, kFat, 0});  // no data region: no block-mapped EU at all
  w.b.format();
  ASSERT_EQ(w.mount(), 0u);
  EXPECT_EQ(reclaim_eu_wrapper(&w.ctx, 1), 28u);
}

TEST(FtlReclaim, ForcedFullReclaimTakesOneBlockMappedEuPerCall) {
  FtlGeometry g = FtlGeometry::for_partition(6 * 8192, kFat);
  g.logical_size = kFat + 3 * kBmDataBytes;  // EUs 0-1 page-mapped, 2-4 block-mapped, 5 the spare
  TestVolume v(g);
  v.b.format();
  ASSERT_EQ(v.ready({0, 61, 62, 121, 200, 365}), 0u);
  FtlImageBuilder expected = v.b;
  for (uint32_t status : {11u, 11u, 11u, 0u}) ASSERT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), status);
  // The fourth call reclaims EU 5, which received EU 2's range in the first.
  for (uint32_t eu : {2u, 3u, 4u, 5u}) expected.reclaim(eu, ReclaimCut::kCommitted);
  EXPECT_EQ(v.b.image(), expected.image());
  EXPECT_EQ(v.ftl().spare_eu, 5);

  // EU 5 becomes page-mapped: the pass ends after EU 4 with 11, and the next
  // call finds no block-mapped EU at or above 5, writes nothing and starts
  // over, so that the call after it reclaims EU 0 again.
  ASSERT_EQ(reclaim_eu(&v.ctx, 0, 1), 0u);
  expected.reclaim(0, ReclaimCut::kCommitted);
  for (uint32_t status : {11u, 11u, 11u}) ASSERT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), status);
  for (uint32_t eu : {2u, 3u, 4u}) expected.reclaim(eu, ReclaimCut::kCommitted);
  EXPECT_EQ(v.ftl().full_reclaim_flow_index, 5);
  EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), 0u);
  EXPECT_EQ(v.ftl().full_reclaim_flow_index, 0);
  EXPECT_EQ(v.b.image(), expected.image());
  EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&v.ctx), 11u);
  expected.reclaim(0, ReclaimCut::kCommitted);
  EXPECT_EQ(v.b.image(), expected.image());
  EXPECT_EQ(read(v, chunk_address(365)), page_pattern(365));
}

std::vector<uint32_t> chunk_range(uint32_t from, uint32_t to) {  // [from, to)
  std::vector<uint32_t> out(to - from);
  std::iota(out.begin(), out.end(), from);
  return out;
}

TEST(FtlReclaim, IdleReclaimTakesWhatTheIdleTestNames) {
  struct {
    const char* what;
    uint32_t fat_pages;              // appended to EU 0, ids cycling over the 10 FAT pages
    std::vector<uint32_t> released;  // chunks programmed, then released
    std::vector<uint32_t> allocated;
    int reclaimed;                   // -1: nothing is due
    std::vector<uint32_t> copied;    // block-mapped pages copied
  } const cases[] = {
      {"nothing due", 20, {}, {0, 130}, -1, {}},
      {"the FAT log nearly full", 100, {}, {0}, 0, {}},
      {"a wholly released block-mapped EU", 20, chunk_range(0, 122), {130}, 1, {}},
      // 60 erased and 97 + 60 dirty block-mapped pages: the dirtiest is taken.
      {"few free and many dirty pages", 20, chunk_range(0, 97), chunk_range(97, 184), 1, chunk_range(97, 122)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestVolume v(kSmall);
    v.b.format();
    for (uint32_t i = 0; i < c.fat_pages; ++i)
      v.b.append_fat_page(0, uint16_t(i % 10), page_pattern(uint16_t(i % 10), uint8_t(i / 10)));
    for (uint32_t chunk : c.released) v.b.put_chunk(uint32_t(v.b.eu_of_chunk(chunk)), chunk, page_fill(7));
    ASSERT_EQ(v.ready(c.allocated), 0u);
    const auto fat = v.b.live_fat_pages();
    FtlImageBuilder expected = v.b;
    uint32_t index = 0, type = 0;
    EXPECT_EQ(afs_physical_ftl_idle_reclaim_needed(&v.ctx, &index, &type), c.reclaimed >= 0);
    EXPECT_EQ(afs_physical_ftl_idle_reclaim(&v.ctx), 0u);
    if (c.reclaimed >= 0) {
      ReclaimOptions live;
      live.pages = c.copied;
      if (c.reclaimed == 1 && c.copied.empty()) live.copied = 0;  // a wholly released EU: nothing to copy
      expected.reclaim(static_cast<uint32_t>(c.reclaimed), ReclaimCut::kCommitted, live);
    }
    EXPECT_EQ(v.b.image(), expected.image());
    EXPECT_FALSE(afs_physical_ftl_idle_reclaim_needed(&v.ctx, &index, &type));  // the cause is gone
    EXPECT_EQ(v.b.live_fat_pages(), fat);
    for (uint32_t chunk : c.allocated) EXPECT_EQ(read(v, chunk_address(chunk)), page_pattern(uint16_t(chunk)));
  }
}

TEST(FtlReclaim, MakingRoomRetriesTheDirtiestEuWhenTheLevellingPickGainsNothing) {
  // EUs 0-1 page-mapped, 2-3 block-mapped, 4 the spare. The least-worn EU
  // (erase count 109 against 210) holds only live data: reclaimed first, it
  // gains nothing, and the dirtiest EU is reclaimed in its place.
  const FtlGeometry g{5 * 8192, 240 * 64, 240 * 64 + 2 * kBmDataBytes, 0};
  struct {
    const char* what;
    uint32_t type;
    bool stale;  // the most-worn EU holds released chunks or stale FAT copies
    uint32_t status;
  } const cases[] = {
      {"block-mapped", 1, true, 0},
      {"page-mapped", 0, true, 0},
      {"page-mapped, nothing stale anywhere", 0, false, 28},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestVolume v(g);
    v.b.format();
    const uint32_t worn = c.type == 1 ? 3 : 1, fresh = worn - 1;
    v.rewrite_header(fresh, [](EuHeader& h) { h.euec = 109; });
    v.rewrite_header(worn, [](EuHeader& h) { h.euec = 210; });
    const std::vector<uint32_t> released = {130, 131, 200};
    std::vector<uint32_t> allocated;
    if (c.type == 1) {
      for (uint32_t chunk : released) v.b.put_chunk(3, chunk, page_fill(7));
      for (uint32_t chunk = 0; chunk < 244; ++chunk)
        if (std::count(released.begin(), released.end(), chunk) == 0) allocated.push_back(chunk);
    } else {
      for (uint16_t lp = 0; lp < 120; ++lp) v.b.append_fat_page(0, lp, page_pattern(lp));
      for (uint16_t i = 0; i < 120; ++i) {
        const uint16_t lp = static_cast<uint16_t>(120 + (c.stale ? i % 10 : i));
        v.b.append_fat_page(1, lp, page_pattern(lp, uint8_t(i)));
      }
    }
    ASSERT_EQ(v.ready(allocated), 0u);
    FtlImageBuilder expected = v.b;
    expected.reclaim(fresh, ReclaimCut::kCommitted);  // into the spare, EU 4
    if (c.type == 1) {
      cid_t id = 0;
      ASSERT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 65533u);
      ASSERT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), c.status);
      EXPECT_EQ(id, 130);  // the lowest released chunk of the dirtiest EU
      ReclaimOptions live;
      for (uint32_t page = 0; page < kBmPages; ++page)
        if (std::count(released.begin(), released.end(), 122 + page) == 0) live.pages.push_back(page);
      expected.reclaim(worn, ReclaimCut::kCommitted, live);
    } else {
      EXPECT_EQ(write(v, 5 * 64, page_fill(0x55)), c.status);
      if (c.status == 0) {
        expected.reclaim(worn, ReclaimCut::kCommitted);  // its live pages into EU 0, the new head
        expected.append_fat_page(0, 5, page_fill(0x55));
        EXPECT_EQ(read(v, 5 * 64), page_fill(0x55));
      }
    }
    EXPECT_EQ(v.b.image(), expected.image());
  }
}

TEST(FtlReclaim, APageMappedReclaimMovesTheHeadToTheOldestEmptyEu) {
  // EUs 0-2 page-mapped, 3-4 block-mapped, 5 the spare; 128 FAT pages.
  // Two reclaims of empty EUs leave EU 5 (counter 7) and EU 2 (counter 8)
  // empty and EU 1 the spare.
  const FtlGeometry g{6 * 8192, 128 * 64, 128 * 64 + 2 * kBmDataBytes, 0};
  struct {
    const char* what;
    uint32_t eu0_pages, eu0_ids;  // appended to EU 0, ids cycling over eu0_ids
    uint32_t eu5_pages;           // then to EU 5, ids 64 + i % 50: it becomes the head
    uint32_t into_eu5;            // copies that land in EU 5; the rest go to EU 2
    uint32_t head, next;          // the write head afterwards
  } const cases[] = {
      {"the full head", 120, 40, 0, 40, 5, 40},
      {"the head with room", 50, 40, 0, 40, 5, 40},
      {"another EU, filling the head", 120, 64, 110, 10, 2, 54},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestVolume v(g);
    v.b.format();
    v.b.reclaim(2, ReclaimCut::kCommitted);
    v.b.reclaim(1, ReclaimCut::kCommitted);
    for (uint32_t i = 0; i < c.eu0_pages; ++i)
      v.b.append_fat_page(0, uint16_t(i % c.eu0_ids), page_pattern(uint16_t(i % c.eu0_ids), uint8_t(i)));
    for (uint32_t i = 0; i < c.eu5_pages; ++i) v.b.append_fat_page(5, uint16_t(64 + i % 50), page_pattern(uint16_t(i)));
    ASSERT_EQ(v.ready({}), 0u);
    auto fat = v.b.live_fat_pages();
    FtlImageBuilder expected = v.b;
    const auto live = expected.committed_fat_pages(0);
    ReclaimOptions rest;
    rest.copy_to = 2;
    if (c.into_eu5 >= live.size()) rest.copied = 0;  // every copy landed in EU 5
    for (uint32_t k = 0; k < live.size(); ++k) {
      if (k >= c.into_eu5) {
        rest.pages.push_back(live[k].first);
        continue;
      }
      const Bytes page = expected.page_bytes(0, pm_page_offset(live[k].second));
      expected.append_fat_page(5, live[k].first, PageData(page.begin(), page.begin() + kPageData));
    }
    ASSERT_EQ(reclaim_eu(&v.ctx, 0, 1), 0u);
    expected.reclaim(0, ReclaimCut::kCommitted, rest);  // EU 1, the spare, becomes an empty EU
    EXPECT_EQ(v.b.image(), expected.image());
    EXPECT_EQ(v.ftl().current_page_mapped_eu, c.head);
    EXPECT_EQ(v.ftl().next_page_in_current_eu, c.next);
    // The next FAT page follows the copies.
    ASSERT_EQ(write(v, 3 * 64, page_fill(0xC3)), 0u);
    expected.append_fat_page(c.head, 3, page_fill(0xC3));
    fat[3] = page_fill(0xC3);
    EXPECT_EQ(v.b.image(), expected.image());
    EXPECT_EQ(v.b.live_fat_pages(), fat);
  }
}

TEST(FtlReclaim, DirtyEraseZeroesReleasedPagesAndTheSpareOnly) {
  TestVolume v(kSmall);
  v.b.format();
  v.b.append_fat_page(0, 3, page_fill(0x33));
  v.b.put_chunk(1, 1, page_fill(0x22));                      // released
  v.b.put_chunk(1, 2, page_fill(0x44), kCommitProgramming);  // torn, released
  v.b.write(3, 100, Bytes(8092, 0x5A));                      // leftovers in the spare
  ASSERT_EQ(v.ready({0}), 0u);
  FtlImageBuilder expected = v.b;
  for (uint32_t page : {1u, 2u}) expected.write(1, bm_page_offset(page), Bytes(kPageSize, 0));
  expected.write(3, kBmPagesOffset, Bytes(8192 - kBmPagesOffset, 0));
  EXPECT_EQ(afs_physical_ftl_force_dirty_erase(&v.ctx), 0u);
  EXPECT_EQ(v.b.image(), expected.image());
}

}  // namespace
}  // namespace tarn_test
