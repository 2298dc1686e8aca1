// FTL page I/O, EU lookup and formatting, checked byte for byte against
// images made by the independent builder.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "flash/afs/AfsFtl.h"
#include "flash/ftl_test_volume.h"

namespace tarn_test {
namespace {

constexpr uint32_t kSmall = 0x8000;

TEST(FtlGeometry, DataCapacity) {
  afs_context_t ctx{};
  for (uint32_t eus = 0; eus <= 40; ++eus) {
    ctx.afs_partition_size = eus * 8192 + 100;  // bytes past the last EU do not count
    uint32_t expected = 0;
    if (eus >= 2 && eus <= 23) expected = (eus - 2) * 7808;
    if (eus >= 24) expected = (eus - eus / 12 - 1) * 7808;
    EXPECT_EQ(afs_physical_ftl_get_data_vas(&ctx, 0xFFFF), expected) << eus;
  }
  ctx.afs_partition_size = kSmall;
  EXPECT_EQ(afs_physical_ftl_get_data_vas(&ctx, 0), 15616u);
  EXPECT_EQ(afs_physical_ftl_get_data_vas(nullptr, 0), 0u);
}

TEST(FtlFormat, MatchesTheBuildersFormatOnA0x8000Partition) {
  for (uint32_t index : {0u, 0x3000u}) {
    TestVolume lib(kSmall, 640, index);
    lib.describe();
    SpiFlashDrvInitialize(lib.b.image().data());
    ASSERT_EQ(afs_physical_ftl_format(&lib.ctx, 0), 0u);
    TestVolume ref(kSmall, 640, index);
    ref.b.format();
    EXPECT_EQ(lib.b.image(), ref.b.image()) << index;

    // The values the format must give, read from the bytes.
    const FtlImageBuilder& b = lib.b;
    EXPECT_EQ(b.read_u16(0, ftl_layout::kEuvaOffset), 0);
    EXPECT_EQ(b.read_u32(0, ftl_layout::kEumcOffset), 1u);
    EXPECT_EQ(b.read_u16(1, ftl_layout::kEuvaOffset), 10);
    EXPECT_EQ(b.read_u16(2, ftl_layout::kEuvaOffset), 132);
    EXPECT_EQ(b.read_u32(3, ftl_layout::kSigOffset), 0u);
    EXPECT_EQ(b.read_u32(3, ftl_layout::kEumcOffset), 4u);
    EXPECT_EQ(b.read_u16(3, ftl_layout::kEusparOffset), 4);
    for (uint32_t eu = 0; eu < 4; ++eu) {
      EXPECT_EQ(b.read_u32(eu, ftl_layout::kEuecOffset), 1u);
      EXPECT_EQ(b.read_u8(eu, ftl_layout::kEucommitOffset), 0x00);
    }
  }
}

TEST(FtlFormat, EraseFirstOverUsedFlash) {
  TestVolume lib(kSmall);
  lib.describe();
  std::fill(lib.b.image().begin(), lib.b.image().end(), 0x00);
  SpiFlashDrvInitialize(lib.b.image().data());
  ASSERT_EQ(afs_physical_ftl_format(&lib.ctx, 1), 0u);
  TestVolume ref(kSmall);
  ref.b.format();
  EXPECT_EQ(lib.b.image(), ref.b.image());
  ASSERT_EQ(lib.mount(), 0u);
  EXPECT_EQ(lib.ftl().spare_eu, 3);
}

TEST(FtlFormat, WithoutEraseOnlyHeadersChange) {
  TestVolume lib(0x30000, 5312);
  lib.b.format();
  lib.b.append_fat_page(0, 3, page_pattern(3));
  lib.describe();
  const Bytes before = lib.b.image();
  ASSERT_EQ(afs_physical_ftl_format(&lib.ctx, 0), 0u);
  for (uint32_t eu = 0; eu < 24; ++eu)
    for (uint32_t off = 18; off < 8192; ++off)
      ASSERT_EQ(lib.b.image()[eu * 8192 + off], before[eu * 8192 + off]) << eu << ":" << off;
}

TEST(FtlFormat, RefusesPartitionsOfMoreThan255Eus) {
  std::vector<uint8_t> image(16, 0xAB);
  SpiFlashDrvInitialize(image.data());
  afs_context_t ctx{};
  ctx.afs_partition_size = 0x200000;
  ctx.fat_size = 4096;
  ctx.afs_logical_size = 4096 + 100 * 7808;
  ctx.afs_tools_context = image.data();
  EXPECT_EQ(afs_physical_ftl_format(&ctx, 1), 22u);  // nothing touched (the image is 16 bytes)
  EXPECT_EQ(image, std::vector<uint8_t>(16, 0xAB));
  EXPECT_EQ(afs_physical_ftl_format(nullptr, 0), 22u);
}

class FtlPageIo : public ::testing::Test {
 protected:
  FtlPageIo() : v(kSmall) {
    v.b.format();
    for (uint32_t c = 0; c < 10; ++c) v.b.put_chunk(1, c, page_pattern(static_cast<uint16_t>(10 + c)));
    EXPECT_EQ(v.mount(), 0u);
  }
  TestVolume v;
};

TEST_F(FtlPageIo, LookupByAddressAndChunk) {
  uint32_t off = 0, chunk = 0, eu = 0xDEAD;
  ASSERT_EQ(find_chunk_and_eu_from_address(&v.ctx, 640 + 64 * 130, &off, &chunk, &eu), 0u);
  EXPECT_EQ(eu, 2u);
  EXPECT_EQ(chunk, 130u);
  EXPECT_EQ(off, 8u);
  eu = 0xDEAD;
  EXPECT_EQ(find_chunk_and_eu_from_address(&v.ctx, 639, &off, &chunk, &eu), 5u);  // a FAT address
  EXPECT_EQ(find_chunk_and_eu_from_address(&v.ctx, 640 + 64 * 244, &off, &chunk, &eu), 5u);
  EXPECT_EQ(eu, 0xDEADu);
  EXPECT_EQ(chunk_index_from_euva(&v.ctx, 132), 122);
  EXPECT_EQ(euva_from_eu_index(&v.ctx, 2), 132);
}

TEST_F(FtlPageIo, LookupWithoutAnEuForTheRangeGives5) {
  // EU 2 turned page-mapped: no EU holds chunks 122-243 any more.
  v.rewrite_header(2, [](EuHeader& h) { h.euva = 0; });
  ASSERT_EQ(v.mount(), 0u);
  uint32_t eu = 0xDEAD;
  EXPECT_EQ(eu_from_chunk_index(&v.ctx, 130, &eu), 5u);
  EXPECT_EQ(eu, 0xDEADu);
  EXPECT_EQ(eu_from_chunk_index(&v.ctx, 5, &eu), 0u);
  EXPECT_EQ(eu, 1u);
}

TEST_F(FtlPageIo, ReadPageChecksItsCrcUnderTheLogicalId) {
  uint8_t buf[66];
  ASSERT_EQ(read_ftl_page(&v.ctx, 1, 3, FTL_EU_TYPE_BLOCK_MAPPED, 13, buf, 0), 0u);
  EXPECT_EQ(PageData(buf, buf + 64), page_pattern(13));
  ASSERT_EQ(read_ftl_page(&v.ctx, 1, 3, FTL_EU_TYPE_BLOCK_MAPPED, 13, buf, 1), 0u);
  EXPECT_EQ(Bytes(buf, buf + 66), v.b.page_bytes(1, ftl_layout::bm_page_offset(3)));
  EXPECT_EQ(read_ftl_page(&v.ctx, 1, 3, FTL_EU_TYPE_BLOCK_MAPPED, 14, buf, 0), 5u);
  EXPECT_EQ(read_ftl_page(&v.ctx, 1, 3, FTL_EU_TYPE_BLOCK_MAPPED, 13 + 0x10000, buf, 0), 0u);
  // Outside the geometry.
  EXPECT_EQ(read_ftl_page(&v.ctx, 4, 0, FTL_EU_TYPE_BLOCK_MAPPED, 0, buf, 0), 5u);
  EXPECT_EQ(read_ftl_page(&v.ctx, 1, 122, FTL_EU_TYPE_BLOCK_MAPPED, 0, buf, 0), 5u);
  EXPECT_EQ(read_ftl_page(&v.ctx, 0, 120, FTL_EU_TYPE_PAGE_MAPPED, 0, buf, 0), 5u);
  EXPECT_EQ(read_ftl_page(&v.ctx, 0, 0, 2, 0, buf, 0), 5u);
}

TEST_F(FtlPageIo, ReadDataPagesPacksARun) {
  std::vector<uint8_t> buf(10 * 66);
  ASSERT_EQ(read_ftl_data_pages(&v.ctx, 1, 0, 10, 10, buf.data()), 0u);
  for (uint32_t k = 0; k < 10; ++k)
    EXPECT_EQ(PageData(buf.begin() + 64 * k, buf.begin() + 64 * (k + 1)),
              page_pattern(static_cast<uint16_t>(10 + k)))
        << k;
  ASSERT_EQ(read_ftl_data_pages(&v.ctx, 1, 4, 3, 14, buf.data()), 0u);
  EXPECT_EQ(PageData(buf.begin() + 128, buf.begin() + 192), page_pattern(16));
  // A bad page among good ones.
  v.b.write_u8(1, ftl_layout::bm_page_offset(6) + 3, 0x00);
  EXPECT_EQ(read_ftl_data_pages(&v.ctx, 1, 0, 10, 10, buf.data()), 5u);
  EXPECT_EQ(read_ftl_data_pages(&v.ctx, 1, 120, 3, 130, buf.data()), 5u);  // past page 121
  EXPECT_EQ(read_ftl_data_pages(&v.ctx, 1, 0, 0, 10, buf.data()), 5u);
}

TEST_F(FtlPageIo, BlockMappedWriteMatchesTheBuilder) {
  TestVolume ref(kSmall);
  ref.b.format();
  for (uint32_t c = 0; c < 10; ++c) ref.b.put_chunk(1, c, page_pattern(static_cast<uint16_t>(10 + c)));
  ref.b.put_chunk(2, 200, page_pattern(7));
  v.eu(2).non_committed_pages = 5;
  const ftl_page_t page = make_page(page_pattern(7), 10 + 200);
  ASSERT_EQ(write_ftl_page(&v.ctx, 2, 78, FTL_EU_TYPE_BLOCK_MAPPED, 0, &page), 0u);
  EXPECT_EQ(v.b.image(), ref.b.image());
  EXPECT_EQ(v.eu(2).non_committed_pages, 4);

  // A programmed page (committed or being programmed) is not written again.
  const Bytes before = v.b.image();
  EXPECT_EQ(write_ftl_page(&v.ctx, 2, 78, FTL_EU_TYPE_BLOCK_MAPPED, 0, &page), 5u);
  v.b.set_chunk_commit(2, 79, 0x7F);
  const Bytes with_7f = v.b.image();
  EXPECT_EQ(write_ftl_page(&v.ctx, 2, 79, FTL_EU_TYPE_BLOCK_MAPPED, 0, &page), 5u);
  EXPECT_EQ(v.b.image(), with_7f);
  EXPECT_EQ(v.eu(2).non_committed_pages, 4);
  v.eu(2).non_committed_pages = 0;  // never below zero
  ASSERT_EQ(write_ftl_page(&v.ctx, 2, 80, FTL_EU_TYPE_BLOCK_MAPPED, 0, &page), 0u);
  EXPECT_EQ(v.eu(2).non_committed_pages, 0);
  (void)before;
}

TEST_F(FtlPageIo, PageMappedWritesFillAnEuLikeTheBuilder) {
  TestVolume ref(kSmall);
  ref.b.format();
  for (uint32_t c = 0; c < 10; ++c) ref.b.put_chunk(1, c, page_pattern(static_cast<uint16_t>(10 + c)));
  uint16_t seed = 0;
  for (uint32_t i = 0; i < 120; ++i) {
    const uint16_t id = static_cast<uint16_t>((i * 7) % 10);
    const PageData data = page_pattern(id, static_cast<uint8_t>(i));
    ref.b.append_fat_page(0, id, data);
    const ftl_page_t page = make_page(data, id);
    ASSERT_EQ(write_ftl_page(&v.ctx, 0, i, FTL_EU_TYPE_PAGE_MAPPED,
                             static_cast<uint16_t>(id ^ ftl_chain_key(seed)), &page),
              0u)
        << i;
    seed = id;
  }
  EXPECT_EQ(v.eu(0).non_committed_pages, 0);
  EXPECT_EQ(v.b.image(), ref.b.image());
  EXPECT_EQ(v.b.slot(0, 120), 0x7FFF);
  ASSERT_EQ(v.mount(), 0u);
  EXPECT_EQ(v.ftl().next_page_in_current_eu, 120u);
  EXPECT_EQ(v.ftl().last_logical_pageid, (119 * 7) % 10);
}

TEST_F(FtlPageIo, EraseAndVerifiedWritesStayInThePartition) {
  v.b.write_u8(2, 0, 0x12);
  ASSERT_EQ(erase_eu(&v.ctx, 1), 0u);
  for (uint32_t off = 0; off < 8192; ++off) ASSERT_EQ(v.b.read_u8(1, off), 0xFF) << off;
  EXPECT_EQ(v.b.read_u8(2, 0), 0x12);
  EXPECT_EQ(v.b.read_u32(0, 0), 0xAA557887u);
  EXPECT_EQ(erase_eu(&v.ctx, 4), 5u);
  EXPECT_EQ(erase_eu(&v.ctx, -1), 5u);
  uint8_t data[4] = {1, 2, 3, 4}, scratch[4];
  EXPECT_EQ(write_read_verify(&v.ctx, 4 * 8192 - 4, 4, data, scratch), 0u);
  EXPECT_EQ(write_read_verify(&v.ctx, 4 * 8192 - 3, 4, data, scratch), 5u);
  EXPECT_EQ(write_read_verify(&v.ctx, 0xFFFFFFFF, 4, data, scratch), 5u);
}

TEST(FtlPartitionBounds, APartitionPassing4GiBIsRefusedNotWrapped) {
  // A 4-EU partition at 0xFFFFC000 would end past 2^32: EU 2 would start at
  // flash address 2^32, which wraps to image byte 0 in 32 bits.
  const Bytes blank(kSmall, 0x12);
  Bytes image = blank;
  SpiFlashDrvInitialize(image.data());
  afs_context_t ctx{};
  ctx.afs_partition_index = 0xFFFFC000;
  ctx.afs_partition_size = kSmall;
  ctx.fat_size = 640;
  ctx.afs_logical_size = 640 + 2 * 7808;
  ctx.num_chunks = 244;
  EXPECT_EQ(erase_eu(&ctx, 2), 5u);
  EXPECT_EQ(erase_eu(&ctx, 3), 5u);
  uint8_t data[4] = {1, 2, 3, 4}, scratch[4];
  EXPECT_EQ(write_read_verify(&ctx, 2 * 8192, 4, data, scratch), 5u);
  EXPECT_EQ(write_read_verify(&ctx, 3 * 8192 + 16, 4, data, scratch), 5u);
  EXPECT_EQ(afs_physical_ftl_format(&ctx, 1), 22u);
  EXPECT_EQ(image, blank);
}

}  // namespace
}  // namespace tarn_test
