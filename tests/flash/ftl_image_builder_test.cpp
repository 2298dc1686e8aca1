// Checks the FTL image builder itself: its checksums against the published
// check values and its bytes against the erase-unit layout, so that mount
// tests can trust the images it makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "flash/afs/AfsFtl.h"
#include "support/bytes.h"
#include "support/ftl_image_builder.h"

namespace tarn_test {
namespace {

using namespace ftl_layout;

const uint8_t* text(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

Bytes hex(const std::string& h) {
  Bytes out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
  return out;
}

TEST(FtlImageBuilderCrc, CheckValues) {
  EXPECT_EQ(ftl_crc16(text("abc"), 3, 0), 0xD400);
  EXPECT_EQ(ftl_crc16(text("abc"), 3, 1), 0xE731);
  EXPECT_EQ(ftl_crc16(nullptr, 0, 0), 0x1D0F);
  const uint8_t zeros[2] = {0, 0};
  EXPECT_EQ(ftl_crc14(zeros, 2), 0x0B5B);
  EXPECT_EQ(ftl_chain_key(0), 0x0B5B);
  EXPECT_EQ(ftl_crc14(text("abc"), 3), 0x3A71);
  EXPECT_EQ(ftl_crc14(nullptr, 0), 0x3FFF);
  EXPECT_EQ(ftl_crc8(text("abc"), 3), 0x34);
  EXPECT_EQ(ftl_crc8(text("123456789"), 9), 0x8D);
  EXPECT_EQ(ftl_crc8(nullptr, 0), 0x01);
}

TEST(FtlImageBuilderCrc, Crc14StaysIn14BitsAndIsNotATruncatedCrc16) {
  bool differs = false;
  for (uint32_t v = 0; v < 0x10000; v += 7) {
    const uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    const uint16_t c = ftl_crc14(b, 2);
    ASSERT_LE(c, 0x3FFF);
    // The register is masked after each byte, so the value is in general not
    // the low 14 bits of the CRC-16 started from 0x3FFF.
    uint16_t r = 0x3FFF;
    for (uint8_t x : b) {
      r ^= static_cast<uint16_t>(x << 8);
      for (int i = 0; i < 8; ++i) r = (r & 0x8000) ? static_cast<uint16_t>((r << 1) ^ 0x1021) : static_cast<uint16_t>(r << 1);
    }
    if ((r & 0x3FFF) != c) differs = true;
  }
  EXPECT_TRUE(differs);
}

TEST(FtlImageBuilderGeometry, DataAreaFollowsEuCount) {
  for (uint32_t eus = 2; eus <= 255; ++eus) {
    const FtlGeometry g = FtlGeometry::for_partition(eus * kEuSize, 1024);
    const uint32_t expected_pm = eus < 24 ? 1 : eus / 12;
    EXPECT_EQ(g.logical_size - g.fat_size, (eus - expected_pm - 1) * 7808) << eus;
    EXPECT_EQ(g.page_mapped_count(), expected_pm) << eus;
  }
  const FtlGeometry g = FtlGeometry::for_partition(0x8000, 1024);
  EXPECT_EQ(g.eu_count(), 4u);
  EXPECT_EQ(g.chunk_count(), 244u);
  EXPECT_EQ(g.euva_of_range(1), 16 + 122);
  // Bytes past the last whole EU are not part of any EU.
  EXPECT_EQ(FtlGeometry::for_partition(0x8000 + 4096, 0).eu_count(), 4u);
}

TEST(FtlImageBuilderFormat, HeadersOfA32KPartition) {
  FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 1024));
  b.format();
  ASSERT_EQ(b.image().size(), 0x8000u);
  // Expected headers, worked out by hand from the pre-header table.
  EXPECT_EQ(b.header_bytes(0), hex("877855aa010000000100000001000000b100"));
  EXPECT_EQ(b.header_bytes(1), hex("877855aa0200000001000000020010003b00"));
  EXPECT_EQ(b.header_bytes(2), hex("877855aa030000000100000003008a001300"));
  EXPECT_EQ(b.header_bytes(3), hex("00000000040000000100000004000000d100"));
  // Nothing else written.
  for (uint32_t eu = 0; eu < 4; ++eu) {
    for (uint32_t off = kPreHeaderSize; off < kEuSize; ++off) ASSERT_EQ(b.read_u8(eu, off), 0xFF) << eu << " " << off;
  }
  EXPECT_EQ(b.spare_eu(), 3u);
  EXPECT_EQ(b.last_eumc(), 3u);
}

TEST(FtlImageBuilderFormat, LargerPartitionLayout) {
  const FtlGeometry g = FtlGeometry::for_partition(40 * kEuSize, 64 * 32);
  FtlImageBuilder b(g);
  b.format();
  const uint32_t pm = 40 / 12;
  for (uint32_t i = 0; i < 40; ++i) {
    EXPECT_EQ(b.read_u32(i, kEumcOffset), i + 1);
    EXPECT_EQ(b.read_u16(i, kEusparOffset), i + 1);
    const uint16_t euva = b.read_u16(i, kEuvaOffset);
    if (i < pm || i == 39) {
      EXPECT_EQ(euva, 0) << i;
    } else {
      EXPECT_EQ(euva, 32 + (i - pm) * 122) << i;
    }
    Bytes h = b.header_bytes(i);
    if (i == 39) put_u32(h, 0, kSigValid);
    EXPECT_EQ(ftl_crc8(h.data(), 16), h[kEucrcOffset]) << i;
  }
  // Every chunk of the volume has exactly one holder.
  for (uint32_t c = 0; c < g.chunk_count(); c += 61) {
    const int eu = b.eu_of_chunk(c);
    ASSERT_GE(eu, static_cast<int>(pm));
    EXPECT_EQ(static_cast<uint32_t>(eu), pm + c / 122);
  }
}

TEST(FtlImageBuilderFormat, PartitionOffsetInImage) {
  FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 1024, 0x3000));
  b.format();
  ASSERT_EQ(b.image().size(), 0xB000u);
  for (uint32_t i = 0; i < 0x3000; ++i) ASSERT_EQ(b.image()[i], 0xFF);
  EXPECT_EQ(get_u32(&b.image()[0x3000 + kEumcOffset]), 1u);
  EXPECT_EQ(get_u32(&b.image()[0x3000 + 3 * kEuSize]), 0u);
}

TEST(FtlImageBuilderHeaders, SignatureVariantsAndTears) {
  FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 1024));
  EuHeader h;
  h.sig = kSigAltValid;
  h.crc_sig = kSigValid;
  h.eumc = 7;
  h.euec = 9;
  b.header(0, h);
  Bytes raw = b.header_bytes(0);
  EXPECT_EQ(get_u32(raw.data()), kSigAltValid);
  put_u32(raw, 0, kSigValid);
  EXPECT_EQ(ftl_crc8(raw.data(), 16), raw[kEucrcOffset]);

  h.sig = kSigAltStored;
  h.crc_sig = -1;
  b.header(1, h);
  raw = b.header_bytes(1);
  EXPECT_EQ(ftl_crc8(raw.data(), 16), raw[kEucrcOffset]);

  h.crc_override = 0x5A;
  b.header(2, h);
  EXPECT_EQ(b.read_u8(2, kEucrcOffset), 0x5A);

  h = EuHeader{};
  h.commit = kHeaderPending;
  b.torn_header(3, h, 6);
  EXPECT_EQ(b.read_u32(3, 0), kSigValid);
  EXPECT_EQ(b.read_u16(3, 4), 1u);
  for (uint32_t off = 6; off < kPreHeaderSize; ++off) EXPECT_EQ(b.read_u8(3, off), 0xFF);
}

TEST(FtlImageBuilderPages, BlockMappedChunks) {
  FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 1024));
  b.format();
  ASSERT_EQ(b.eu_of_chunk(0), 1);
  ASSERT_EQ(b.eu_of_chunk(243), 2);
  EXPECT_EQ(b.eu_of_chunk(244), -1);
  b.put_chunk(2, 243, page_fill(0xA5));              // last page of EU 2
  b.put_chunk(1, 3, page_fill(0x11), kCommitProgramming);
  // Page 121 of EU 2 ends exactly at the end of the EU.
  EXPECT_EQ(bm_page_offset(121) + kPageSize, kEuSize);
  EXPECT_EQ(b.read_u8(2, 18 + 121), 0x00);
  EXPECT_EQ(b.read_u8(2, 8192 - 66), 0xA5);
  uint8_t a5[64];
  std::memset(a5, 0xA5, sizeof a5);
  EXPECT_EQ(b.read_u16(2, 8190), ftl_crc16(a5, 64, static_cast<uint16_t>(16 + 243)));
  EXPECT_EQ(b.read_u8(1, 18 + 3), 0x7F);
  EXPECT_EQ(b.read_u8(1, 140 + 3 * 66 + 63), 0x11);
  EXPECT_EQ(b.read_u8(1, 18 + 2), 0xFF);
  EXPECT_THROW(b.put_chunk(1, 122, page_fill(0)), std::invalid_argument);
}

TEST(FtlImageBuilderPages, PageMappedChainAndEndMarker) {
  FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 1024));
  b.format();
  b.append_fat_page(0, 5, page_pattern(5));
  b.append_fat_page(0, 2, page_pattern(2));
  b.append_fat_page(0, 5, page_pattern(5, 1));
  EXPECT_EQ(b.slot(0, 0), 5 ^ 0x0B5B);
  EXPECT_EQ(b.slot(0, 1), 2 ^ ftl_chain_key(5));
  EXPECT_EQ(b.slot(0, 2), 5 ^ ftl_chain_key(2));
  EXPECT_EQ(b.slot(0, 3), kSlotEndMarker);
  EXPECT_EQ(b.slot(0, 4), kSlotErased);
  const Bytes p1 = b.page_bytes(0, 260 + 66);
  EXPECT_EQ(get_u16(&p1[64]), ftl_crc16(p1.data(), 64, 2));
  EXPECT_EQ(b.next_fat_page(0), 3u);
  EXPECT_EQ(b.chain_seed(0), 5u);
}

TEST(FtlImageBuilderPages, TornLastPage) {
  FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 1024));
  b.format();
  b.append_fat_page(0, 1, page_pattern(1));
  b.append_fat_page(0, 3, page_pattern(3), PageTear::kPartialPage, 10);
  // Slot 1 written, no commit mark in slot 2, page 1 only partly written.
  EXPECT_EQ(b.slot(0, 1), 3 ^ ftl_chain_key(1));
  EXPECT_EQ(b.slot(0, 2), kSlotErased);
  EXPECT_EQ(b.read_u8(0, 260 + 66 + 9), page_pattern(3)[9]);
  EXPECT_EQ(b.read_u8(0, 260 + 66 + 10), 0xFF);
  // The next page goes two on, chained from the last committed id.
  EXPECT_EQ(b.next_fat_page(0), 3u);
  b.append_fat_page(0, 4, page_pattern(4));
  EXPECT_EQ(b.slot(0, 3), 4 ^ ftl_chain_key(1));
  EXPECT_EQ(b.slot(0, 4), kSlotEndMarker);
  EXPECT_EQ(b.slot(0, 2), kSlotErased);
}

TEST(FtlImageBuilderPages, FullPageMappedEu) {
  FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 1024));
  b.format();
  for (uint16_t i = 0; i < 120; ++i) b.append_fat_page(0, i % 16, page_fill(static_cast<uint8_t>(i)));
  EXPECT_EQ(b.slot(0, 120), kSlotEndMarker);
  EXPECT_EQ(b.read_u8(0, 260 + 119 * 66), 119);
  // The 12 unused bytes at the end stay erased.
  for (uint32_t off = 8180; off < 8192; ++off) EXPECT_EQ(b.read_u8(0, off), 0xFF);
  EXPECT_THROW(b.append_fat_page(0, 1, page_fill(0)), std::out_of_range);
}

TEST(FtlImageBuilderReclaim, BlockMappedStates) {
  for (int s = 1; s <= 4; ++s) {
    SCOPED_TRACE(s);
    const ReclaimCut cut = static_cast<ReclaimCut>(s);
    FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 1024));
    b.format();
    b.put_chunk(1, 0, page_pattern(16));
    b.put_chunk(1, 7, page_pattern(23));
    b.put_chunk(1, 8, page_pattern(24), kCommitProgramming);
    const Bytes old_header = b.header_bytes(1);
    const uint32_t n = b.reclaim(1, cut);
    EXPECT_EQ(n, 3u);
    // A single chunk reads as in the map of all live chunks, in every state.
    const auto live = b.live_chunks();
    const auto ranges = b.block_mapped_data_eus();
    for (uint32_t c = 0; c < b.geometry().chunk_count(); ++c) {
      PageData data;
      ASSERT_EQ(b.committed_chunk(ranges, c, &data), live.count(c) != 0) << c;
      if (live.count(c) != 0) {
        EXPECT_EQ(data, live.at(c)) << c;
      }
    }
    // Copies: committed pages only, same index, committed.
    EXPECT_EQ(b.page_bytes(3, bm_page_offset(7)), b.page_bytes(1, bm_page_offset(7)));
    EXPECT_EQ(b.read_u8(3, bm_commit_offset(0)), 0x00);
    EXPECT_EQ(b.read_u8(3, bm_commit_offset(7)), 0x00);
    EXPECT_EQ(b.read_u8(3, bm_commit_offset(8)), 0xFF);
    EXPECT_EQ(b.read_u8(3, bm_page_offset(8)), 0xFF);
    if (cut == ReclaimCut::kBeforeHeader) {
      EXPECT_EQ(b.header_bytes(3), Bytes(18, 0xFF));
      EXPECT_EQ(b.header_bytes(1), old_header);
      continue;
    }
    const Bytes h = b.header_bytes(3);
    EXPECT_EQ(get_u32(&h[0]), kSigValid);
    EXPECT_EQ(get_u32(&h[4]), 4u);  // newest counter was 3
    EXPECT_EQ(get_u32(&h[8]), 2u);  // one more erase
    EXPECT_EQ(get_u16(&h[12]), 1u);
    EXPECT_EQ(get_u16(&h[14]), 16u);
    EXPECT_EQ(h[16], ftl_crc8(h.data(), 16));
    EXPECT_EQ(h[17], cut == ReclaimCut::kCommitted ? 0x00 : 0xFF);
    Bytes killed = old_header;
    if (cut != ReclaimCut::kPendingHeader) put_u32(killed, 0, 0);
    EXPECT_EQ(b.header_bytes(1), killed);
    EXPECT_EQ(b.spare_eu(), cut == ReclaimCut::kCommitted ? 1u : 3u);
  }
}

TEST(FtlImageBuilderReclaim, PageMappedIntoNewEuAndBehindWriteHead) {
  FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 1024));
  b.format();
  b.append_fat_page(0, 4, page_pattern(4));
  b.append_fat_page(0, 9, page_pattern(9));
  b.append_fat_page(0, 4, page_pattern(4, 1));
  FtlImageBuilder other = b;
  // Into the new EU: the last copy of each id, chained afresh.
  b.reclaim(0, ReclaimCut::kCommitted);
  EXPECT_EQ(b.slot(3, 0), 9 ^ ftl_chain_key(0));
  EXPECT_EQ(b.slot(3, 1), 4 ^ ftl_chain_key(9));
  EXPECT_EQ(b.slot(3, 2), kSlotEndMarker);
  EXPECT_EQ(b.page_bytes(3, pm_page_offset(1)), b.page_bytes(0, pm_page_offset(2)));
  EXPECT_EQ(b.read_u16(3, kEuvaOffset), 0u);
  EXPECT_EQ(b.read_u32(0, 0), 0u);
  // Behind another EU's write position, the new EU left empty.
  other.append_fat_page(1, 30, page_pattern(30));  // pretend EU 1 is a second log EU
  ReclaimOptions o;
  o.copy_to = 1;
  o.pages = {9};
  other.reclaim(0, ReclaimCut::kBeforeHeader, o);
  EXPECT_EQ(other.slot(1, 1), 9 ^ ftl_chain_key(30));
  EXPECT_EQ(other.slot(1, 2), kSlotEndMarker);
  EXPECT_EQ(other.slot(3, 0), kSlotErased);
  EXPECT_EQ(other.header_bytes(3), Bytes(18, 0xFF));
}

TEST(FtlImageBuilderReclaim, PageAfterATornPageIsSkipped) {
  // Page 1 torn after its slot was written; page 2 is never used, and the
  // append of page 3 makes slot 3 look like page 2's commit mark.
  FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 640));
  b.format();
  b.append_fat_page(0, 3, page_pattern(3));
  b.append_fat_page(0, 4, page_pattern(4), PageTear::kSlotOnly);
  b.append_fat_page(0, 5, page_pattern(5));
  b.append_fat_page(0, 6, page_pattern(6));
  EXPECT_EQ(b.slot(0, 2), kSlotErased);
  EXPECT_EQ(b.slot(0, 3) & 0x8000, 0);
  using Pages = std::vector<std::pair<uint16_t, uint32_t>>;
  EXPECT_EQ(b.committed_fat_pages(0), (Pages{{3, 0}, {5, 3}, {6, 4}}));

  // The reclaim moves exactly the committed pages, chained afresh.
  b.reclaim(0, ReclaimCut::kCommitted);
  EXPECT_EQ(b.committed_fat_pages(3), (Pages{{3, 0}, {5, 1}, {6, 2}}));
  EXPECT_EQ(b.slot(3, 0), 3 ^ ftl_chain_key(0));
  EXPECT_EQ(b.slot(3, 1), 5 ^ ftl_chain_key(3));
  EXPECT_EQ(b.slot(3, 2), 6 ^ ftl_chain_key(5));
  EXPECT_EQ(b.slot(3, 3), kSlotEndMarker);
  EXPECT_EQ(b.page_bytes(3, pm_page_offset(1)), b.page_bytes(0, pm_page_offset(3)));
  EXPECT_EQ(b.page_bytes(3, pm_page_offset(2)), b.page_bytes(0, pm_page_offset(4)));
}

TEST(FtlImageBuilderHeaders, AccessesStayInsideTheEu) {
  FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 640));
  const uint32_t last = b.eu_count() - 1;
  b.write_u8(last, 8191, 0x12);
  EXPECT_EQ(b.read_u8(last, 8191), 0x12);
  EXPECT_THROW(b.read_u8(last, 8192), std::out_of_range);
  EXPECT_THROW(b.read_u16(last, 8191), std::out_of_range);
  EXPECT_THROW(b.read_u32(last, 8189), std::out_of_range);
  EXPECT_NO_THROW(b.read_u32(last, 8188));
  EXPECT_THROW(b.write_u16(last, 8191, 0), std::out_of_range);
  EXPECT_THROW(b.page_bytes(last, 8192 - 65), std::out_of_range);
  EXPECT_THROW(b.at(last, 8192), std::out_of_range);
  EXPECT_THROW(b.read_u8(b.eu_count(), 0), std::out_of_range);
}

// The builder's format against the library's, byte for byte: the one place
// where the library's own writer is used here.
struct FormatCase {
  uint32_t partition_size, fat_size, partition_index;
  uint8_t erase;
};

class FtlImageBuilderVsLibrary : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FtlImageBuilderVsLibrary, FormatMatchesByteForByte) {
  const FormatCase c = GetParam();
  const FtlGeometry g = FtlGeometry::for_partition(c.partition_size, c.fat_size, c.partition_index);
  FtlImageBuilder expected(g);
  expected.format();

  // Erasing formats start from programmed flash; the others from erased flash.
  Bytes image(expected.image().size(), c.erase ? 0x00 : 0xFF);
  std::fill_n(image.begin(), c.partition_index, uint8_t{0xFF});
  afs_context_t ctx{};
  ctx.fat_size = c.fat_size;
  ctx.afs_partition_index = c.partition_index;
  ctx.afs_partition_size = c.partition_size;
  ctx.afs_tools_context = image.data();
  ASSERT_EQ(afs_physical_ftl_get_data_vas(&ctx, 0), g.logical_size - g.fat_size);
  ctx.afs_logical_size = g.logical_size;

  // A mount attempt sets up the FTL state (the unformatted flash fails it).
  EXPECT_EQ(afs_physical_ftl_init(&ctx, c.partition_size, FTL_INIT_ALLOCATE | FTL_INIT_BIND_IMAGE), 5u);
  ASSERT_NE(ctx.ftl_context, nullptr);
  ASSERT_EQ(afs_physical_ftl_format(&ctx, c.erase), 0u);
  afs_physical_ftl_release(&ctx);

  ASSERT_EQ(image.size(), expected.image().size());
  for (size_t i = 0; i < image.size(); ++i) {
    ASSERT_EQ(image[i], expected.image()[i]) << "first difference at image byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Partitions, FtlImageBuilderVsLibrary,
                         ::testing::Values(FormatCase{0x8000, 1024, 0, 1}, FormatCase{0x8000, 64 * 40, 0, 0},
                                           FormatCase{40 * 8192, 2048, 0x2000, 1},
                                           FormatCase{255 * 8192, 64 * 500, 0, 0}));

}  // namespace
}  // namespace tarn_test
