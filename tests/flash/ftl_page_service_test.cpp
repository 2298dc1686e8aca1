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
  for (uint8_t i : {1, 2}) ASSERT_EQ(write(v, 3 * 64, page_fill(i)), 0u);
  ASSERT_EQ(write(v, kFat + 130 * 64, page_pattern(140)), 0u);
  expected.append_fat_page(0, 3, page_fill(1)).append_fat_page(0, 3, page_fill(2));
  expected.put_chunk(2, 130, page_pattern(140));
  EXPECT_EQ(v.b.image(), expected.image());
  EXPECT_EQ(read(v, 3 * 64), page_fill(2));
  EXPECT_EQ(v.eu(0).dirty_pages, 119);
  // A programmed chunk is not written again; an address that aliases it in
  // 16 bits releases nothing; a released chunk reads as zeros.
  EXPECT_EQ(write(v, kFat + 130 * 64, page_fill(9)), 5u);
  EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, kFat + (0x10000 + 130) * 64, 64, 0), 0u);
  EXPECT_EQ(read(v, kFat + 130 * 64), page_pattern(140));
  EXPECT_EQ(afs_physical_ftl_trim_page(&v.ctx, kFat + 130 * 64, 12345, 0), 0u);
  EXPECT_EQ(read(v, kFat + 130 * 64), page_fill(0));
  EXPECT_EQ(write(v, kFat + 130 * 64, page_fill(9)), 5u);
  EXPECT_EQ(v.b.image(), expected.image());
}

TEST(FtlPageService, RunAcrossARangeBoundary) {
  TestVolume v(kSmall);
  v.b.format();
  PageData expected;
  for (uint16_t c = 120; c < 125; ++c) {
    const PageData data = page_pattern(c);
    v.b.put_chunk(1 + c / 122, c, data);
    expected.insert(expected.end(), data.begin(), data.end());
  }
  ASSERT_EQ(v.mount(), 0u);
  for (uint32_t c = 120; c < 125; ++c) v.allocate(c);
  std::vector<uint8_t> buffer(5 * 66);
  ASSERT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buffer.data(), kFat + 120 * 64, 5), 0u);
  EXPECT_EQ(PageData(buffer.begin(), buffer.begin() + 320), expected);
  EXPECT_EQ(afs_physical_ftl_read_data_pages(&v.ctx, buffer.data(), kFat + 120 * 64, 125), 5u);  // two boundaries
}

TEST(FtlPageService, AllocationAsksForAFlushThenPassesOverUsedChunks) {
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
  ASSERT_EQ(afs_physical_ftl_allocate_page(&v.ctx, &id), 0u);
  EXPECT_EQ(id, 2 + 7);
  EXPECT_EQ(v.b.image(), before);  // EU 1 still had erased pages: nothing reclaimed
}

TEST(FtlPageService, FatReclaimFillsTheWriteHeadThenMovesOn) {
  for (uint32_t head_room : {10u, 20u}) {  // EU 0 keeps 20 live pages
    FtlGeometry g = FtlGeometry::for_partition(6 * 8192, 40 * 64);
    g.logical_size = g.fat_size + 3 * kBmDataBytes;  // EUs 0-1 page-mapped, 5 the spare
    TestVolume v(g);
    v.b.format();
    ASSERT_EQ(v.mount(), 0u);
    std::vector<PageData> fat(40);
    for (uint32_t i = 0; i < 240 - head_room; ++i) {  // EU 0 full, then EU 1 up to its room
      const uint32_t lp = i < 120 ? i % 40 : (i - 120) % 20;
      fat[lp] = page_pattern(static_cast<uint16_t>(lp), static_cast<uint8_t>(i));
      ASSERT_EQ(write(v, lp * 64, fat[lp]), 0u);
    }
    ASSERT_EQ(reclaim_eu(&v.ctx, 0, 1), 0u);
    EXPECT_EQ(v.ftl().spare_eu, 0);
    EXPECT_EQ(v.b.slot(1, 120), kSlotEndMarker);  // EU 1's last page committed
    // Ten pages went on in the spare; twenty filled EU 1, which stays the full head.
    EXPECT_EQ(v.ftl().current_page_mapped_eu, head_room == 10 ? 5u : 1u);
    EXPECT_EQ(v.ftl().next_page_in_current_eu, head_room == 10 ? 10u : 120u);
    ASSERT_EQ(write(v, 39 * 64, fat[39] = page_fill(9)), 0u);
    EXPECT_EQ(v.ftl().current_page_mapped_eu, 5u);
    const auto live = v.b.live_fat_pages();
    for (uint32_t lp = 0; lp < 40; ++lp) {
      ASSERT_EQ(live.at(static_cast<uint16_t>(lp)), fat[lp]) << lp;
      ASSERT_EQ(read(v, lp * 64), fat[lp]) << lp;
    }
  }
}

TEST(FtlPageService, EndOfReservedFilesModeReclaimsEusZeroAndOne) {
  TestVolume v(kSmall);
  v.b.format();
  v.b.append_fat_page(0, 2, page_fill(7));
  v.b.put_chunk(1, 5, page_fill(8));
  ASSERT_EQ(v.mount(), 0u);
  v.allocate(5);
  ASSERT_EQ(v.hand_over(), 0u);
  ASSERT_EQ(afs_physical_ftl_end_reserved_files_mode(&v.ctx), 0u);
  EXPECT_EQ(v.ftl().spare_eu, 1);  // EU 0 went to the spare, EU 1 to EU 0
  EXPECT_EQ(v.b.read_u16(0, kEuvaOffset), 10);
  EXPECT_EQ(v.b.read_u16(3, kEuvaOffset), 0);
  EXPECT_EQ(read(v, 2 * 64), page_fill(7));
  EXPECT_EQ(read(v, kFat + 5 * 64), page_fill(8));
}

}  // namespace
}  // namespace tarn_test
