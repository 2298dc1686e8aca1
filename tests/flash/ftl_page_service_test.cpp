// The FTL's page service: FAT pages and chunks written, read and trimmed,
// runs across a range boundary, chunk allocation, the FAT reclaim behind the
// write head and the end of reserved-files mode, checked against images made
// by the independent builder.
#include <gtest/gtest.h>

#include <vector>

#include "flash/afs/AfsFtl.h"
#include "flash/afs/AfsFtlReclaim.h"
#include "flash/ftl_test_volume.h"

namespace tarn_test {
namespace {

using namespace ftl_layout;
constexpr uint32_t kSmall = 0x8000;
constexpr uint32_t kFat = 640;  // 10 FAT pages; chunk c at 640 + 64c

uint32_t write(TestVolume& v, uint32_t address, PageData data) {
  return afs_physical_ftl_write_page(&v.ctx, address, 64, data.data(), 0);
}
PageData read(TestVolume& v, uint32_t address) {
  PageData out(64, 0xEE);
  EXPECT_EQ(afs_physical_ftl_read_page(&v.ctx, address, 64, out.data(), 0), 0u);
  return out;
}

TEST(FtlPageService, FatPagesAppendAndChunksStayInPlace) {
  TestVolume v(kSmall);
  v.b.format();
  ASSERT_EQ(v.mount(), 0u);
  ASSERT_EQ(v.hand_over(), 0u);
  FtlImageBuilder expected = v.b;

  EXPECT_EQ(read(v, 3 * 64), page_fill(0));  // never written
  ASSERT_EQ(write(v, 3 * 64, page_fill(1)), 0u);
  ASSERT_EQ(write(v, 3 * 64, page_fill(2)), 0u);
  ASSERT_EQ(write(v, 7 * 64, page_fill(3)), 0u);
  expected.append_fat_page(0, 3, page_fill(1)).append_fat_page(0, 3, page_fill(2)).append_fat_page(0, 7, page_fill(3));
  ASSERT_EQ(write(v, kFat + 130 * 64, page_pattern(140)), 0u);
  expected.put_chunk(2, 130, page_pattern(140));
  EXPECT_EQ(v.b.image(), expected.image());
  EXPECT_EQ(read(v, 3 * 64), page_fill(2));
  EXPECT_EQ(read(v, kFat + 130 * 64), page_pattern(140));
  EXPECT_EQ(v.eu(0).dirty_pages, 118);  // 120 pages, 2 live
  EXPECT_EQ(v.bitmap[130 / 32] >> (130 % 32) & 1u, 1u);

  // A programmed chunk is not written again, trimmed or not; an address that
  // aliases it in 16 bits releases nothing.
  EXPECT_EQ(write(v, kFat + 130 * 64, page_fill(9)), 5u);
  EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, kFat + (0x10000 + 130) * 64, 64, 0), 0u);
  EXPECT_EQ(v.bitmap[130 / 32] >> (130 % 32) & 1u, 1u);
  EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, kFat + 130 * 64, 12345, 0), 0u);
  EXPECT_EQ(write(v, kFat + 130 * 64, page_fill(9)), 5u);
  EXPECT_EQ(v.b.image(), expected.image());
  EXPECT_EQ(v.bitmap[130 / 32] >> (130 % 32) & 1u, 0u);
  EXPECT_EQ(read(v, kFat + 130 * 64), page_fill(0));  // unallocated reads as zeros
  v.ctx.afs_mode = 1;
  EXPECT_EQ(read(v, kFat + 130 * 64), page_pattern(140));  // unless the bitmap is not used
  EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, 3 * 64, 64, 0), 0u);
  EXPECT_EQ(read(v, 3 * 64), page_fill(0));
  EXPECT_EQ(v.eu(0).dirty_pages, 119);
  EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, 3 * 64, 64, 0), 0u);  // already released
  EXPECT_EQ(v.eu(0).dirty_pages, 119);
  EXPECT_EQ(write(v, kFat + 244 * 64, page_fill(1)), 5u);  // past the last chunk
}

TEST(FtlPageService, RunAcrossARangeBoundary) {
  TestVolume v(kSmall);
  v.b.format();
  PageData expected;
  for (uint32_t c = 120; c < 125; ++c) {
    v.b.put_chunk(1 + c / 122, c, page_pattern(static_cast<uint16_t>(c)));
    const PageData p = page_pattern(static_cast<uint16_t>(c));
    expected.insert(expected.end(), p.begin(), p.end());
  }
  ASSERT_EQ(v.mount(), 0u);
  for (uint32_t c = 120; c < 125; ++c) v.allocate(c);
  std::vector<uint8_t> buffer(5 * 66);
  ASSERT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buffer.data(), kFat + 120 * 64, 5), 0u);
  EXPECT_EQ(PageData(buffer.begin(), buffer.begin() + 320), expected);
  EXPECT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buffer.data(), kFat + 120 * 64, 125), 5u);  // two boundaries
}

TEST(FtlAllocation, FlushFirstThenANewRangePassingOverUsedChunks) {
  TestVolume v(kSmall);
  v.b.format();
  v.b.put_chunk(1, 0, page_fill(1));  // allocated
  v.b.put_chunk(1, 1, page_fill(2));  // released, still programmed
  for (uint32_t c = 122; c < 243; ++c) v.b.put_chunk(2, c, page_fill(3));
  ASSERT_EQ(v.mount(), 0u);
  v.ctx.num_files = 7;
  v.allocate(0);
  for (uint32_t c = 122; c < 243; ++c) v.allocate(c);
  ASSERT_EQ(v.hand_over(), 0u);

  cid_t id = 0;
  ASSERT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 0u);
  EXPECT_EQ(id, 243 + 7);  // the newest EU's only erased chunk
  ASSERT_EQ(write(v, kFat + 243 * 64, page_fill(4)), 0u);
  const Bytes before = v.b.image();
  EXPECT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 65533u);
  EXPECT_EQ(v.b.image(), before);
  ASSERT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 0u);
  EXPECT_EQ(id, 2 + 7);
  EXPECT_EQ(v.b.image(), before);  // EU 1 still had erased pages: nothing reclaimed
}

TEST(FtlFatReclaim, LivePagesFollowTheWriteHeadAndMoveOnWhenItFills) {
  // 6 EUs: 0-1 page-mapped, 2-4 block-mapped, 5 the spare; 40 FAT pages.
  for (uint32_t head_room : {10u, 20u}) {
    FtlGeometry g = FtlGeometry::for_partition(6 * 8192, 40 * 64);
    g.logical_size = g.fat_size + 3 * kBmDataBytes;
    TestVolume v(g);
    v.b.format();
    ASSERT_EQ(v.mount(), 0u);
    std::vector<PageData> fat(40);
    auto put = [&](uint32_t lp, uint8_t gen) {
      fat[lp] = page_pattern(static_cast<uint16_t>(lp), gen);
      ASSERT_EQ(write(v, lp * 64, fat[lp]), 0u);
    };
    for (uint32_t i = 0; i < 120; ++i) put(i % 40, static_cast<uint8_t>(i));  // EU 0 full, all 40 live
    for (uint32_t i = 0; i < 120 - head_room; ++i) put(i % 20, static_cast<uint8_t>(i + 1));
    ASSERT_EQ(v.ftl().current_page_mapped_eu, 1u);

    // 20 live pages in EU 0: the head's room first, then the spare.
    ASSERT_EQ(reclaim_eu(&v.ctx, 0, 1), 0u);
    EXPECT_EQ(v.ftl().spare_eu, 0);
    EXPECT_EQ(v.b.slot(1, 120), kSlotEndMarker);
    if (head_room == 10) {
      EXPECT_EQ(v.ftl().current_page_mapped_eu, 5u);
      EXPECT_EQ(v.ftl().next_page_in_current_eu, 10u);
    } else {  // the head filled with the last page and stays, full
      EXPECT_EQ(v.ftl().current_page_mapped_eu, 1u);
      EXPECT_EQ(v.ftl().next_page_in_current_eu, 120u);
      EXPECT_EQ(v.b.slot(5, 0), kSlotErased);
    }
    put(39, 99);  // goes on in an EU with room
    const auto live = v.b.live_fat_pages();
    for (uint32_t lp = 0; lp < 40; ++lp) {
      ASSERT_EQ(live.at(static_cast<uint16_t>(lp)), fat[lp]) << lp;
      ASSERT_EQ(read(v, lp * 64), fat[lp]) << lp;
    }
  }
}

TEST(FtlReservedFiles, EndReclaimsEusZeroAndOne) {
  TestVolume v(kSmall);
  v.b.format();
  v.b.append_fat_page(0, 2, page_fill(7));
  v.b.put_chunk(1, 5, page_fill(8));
  ASSERT_EQ(v.mount(), 0u);
  v.allocate(5);
  ASSERT_EQ(v.hand_over(), 0u);
  ASSERT_EQ(afs_physical_ftl_end_reserved_files_mode(&v.ctx), 0u);
  // EU 0 went to the spare (3), EU 1 to EU 0; EU 1 is the spare.
  EXPECT_EQ(v.ftl().spare_eu, 1);
  EXPECT_EQ(v.b.read_u16(0, kEuvaOffset), 10);
  EXPECT_EQ(v.b.read_u16(0, kEusparOffset), 1);
  EXPECT_EQ(v.b.read_u16(3, kEuvaOffset), 0);
  EXPECT_EQ(v.b.read_u32(1, kSigOffset), kSigKilled);
  EXPECT_EQ(read(v, 2 * 64), page_fill(7));
  EXPECT_EQ(read(v, kFat + 5 * 64), page_fill(8));

  // With EU 0 the spare, EU 1 alone is reclaimed, into EU 0.
  TestVolume w(kSmall);
  w.b.format();
  w.b.reclaim(0, ReclaimCut::kCommitted);
  ASSERT_EQ(w.mount(), 0u);
  ASSERT_EQ(w.hand_over(), 0u);
  const Bytes eu3 = w.b.header_bytes(3);
  ASSERT_EQ(afs_physical_ftl_end_reserved_files_mode(&w.ctx), 0u);
  EXPECT_EQ(w.ftl().spare_eu, 1);
  EXPECT_EQ(w.b.read_u16(0, kEuvaOffset), 10);
  EXPECT_EQ(w.b.header_bytes(3), eu3);
}

}  // namespace
}  // namespace tarn_test
