// Power loss and driver failures under the FTL's format and page writes,
// compared with the torn states that the image builder makes.
#include <gtest/gtest.h>

#include <algorithm>

#include "flash/afs/AfsFtl.h"
#include "support/fake_driver/flash_fakes.h"
#include "support/ftl_image_builder.h"

namespace tarn_test {
namespace {

namespace ff = fake_flash;
using namespace ftl_layout;

class FtlPowerCut : public ::testing::Test {
 protected:
  static constexpr uint32_t kFat = 1024;

  void SetUp() override {
    ff::reset();
    geo_ = FtlGeometry::for_partition(0x8000, kFat);
    image_.assign(geo_.partition_size, 0xFF);
    ctx_.fat_size = geo_.fat_size;
    ctx_.afs_partition_size = geo_.partition_size;
    ctx_.afs_logical_size = geo_.logical_size;
    ctx_.afs_tools_context = image_.data();
    // Sets up the FTL state; erased flash does not mount.
    ASSERT_EQ(afs_physical_ftl_init(&ctx_, geo_.partition_size, FTL_INIT_ALLOCATE | FTL_INIT_BIND_IMAGE), 5u);
    ASSERT_NE(ctx_.ftl_context, nullptr);
  }
  void TearDown() override {
    ff::reset();
    afs_physical_ftl_release(&ctx_);
  }

  void expect_image(const Bytes& expected) {
    ASSERT_EQ(image_.size(), expected.size());
    for (size_t i = 0; i < image_.size(); ++i) ASSERT_EQ(image_[i], expected[i]) << "image byte " << i;
  }

  FtlGeometry geo_;
  Bytes image_;
  afs_context_t ctx_{};
};

TEST_F(FtlPowerCut, FormatCutInTheSecondHeader) {
  // EU 0 gets its 17 header bytes and its commit byte; EU 1 only 10 bytes.
  ff::cut_power_after(kPreHeaderSize + 10);
  EXPECT_EQ(afs_physical_ftl_format(&ctx_, 0), 5u);
  EXPECT_TRUE(ff::power_lost());

  FtlImageBuilder expected(geo_);
  expected.format();
  const Bytes eu1 = expected.header_bytes(1);
  for (uint32_t eu = 1; eu < expected.eu_count(); ++eu) expected.erase_eu(eu);
  expected.write(1, 0, Bytes(eu1.begin(), eu1.begin() + 10));
  expect_image(expected.image());

  // Two EUs without a valid header: the next start refuses the volume.
  ff::reset();
  EXPECT_EQ(afs_physical_ftl_init(&ctx_, geo_.partition_size, 0), 5u);
}

TEST_F(FtlPowerCut, FailedCommitWriteLeavesAPendingHeader) {
  // Writes of a format: header, commit byte, per EU; the fourth is EU 1's commit.
  ff::Failure f;
  f.op = ff::Op::kWrite;
  f.nth = 4;
  ff::fail(f);
  EXPECT_EQ(afs_physical_ftl_format(&ctx_, 0), 5u);
  EXPECT_EQ(ff::failures_returned(), 1u);

  FtlImageBuilder expected(geo_);
  expected.format();
  expected.set_commit(1, kHeaderPending);
  for (uint32_t eu = 2; eu < expected.eu_count(); ++eu) expected.erase_eu(eu);
  expect_image(expected.image());
}

TEST_F(FtlPowerCut, PageWritesCutBeforeTheirCommit) {
  ASSERT_EQ(afs_physical_ftl_format(&ctx_, 1), 0u);
  ASSERT_EQ(afs_physical_ftl_init(&ctx_, geo_.partition_size, 0), 0u);
  FtlImageBuilder expected(geo_);
  expected.format();

  // Block-mapped chunk 3 in EU 1: the 0x7F commit byte and 30 page bytes land.
  const PageData chunk = page_pattern(static_cast<uint16_t>(kFat / 64 + 3));
  ftl_page_t page;
  std::copy(chunk.begin(), chunk.end(), page.pageData);
  page.pageCrc = ftl_crc16(chunk.data(), 64, static_cast<uint16_t>(kFat / 64 + 3));
  ff::cut_power_after(1 + 30);
  EXPECT_EQ(write_ftl_page(&ctx_, 1, 3, FTL_EU_TYPE_BLOCK_MAPPED, 0, &page), 5u);
  expected.put_chunk(1, 3, chunk, kCommitProgramming);
  expected.write(1, bm_page_offset(3) + 30, Bytes(kPageSize - 30, 0xFF));
  expect_image(expected.image());

  // FAT page 6 as the first page of EU 0: slot and page land, the commit
  // mark in slot 1 does not.
  ff::reset();
  const PageData fat = page_pattern(6);
  std::copy(fat.begin(), fat.end(), page.pageData);
  page.pageCrc = ftl_crc16(fat.data(), 64, 6);
  ff::cut_power_after(2 + kPageSize);
  EXPECT_EQ(write_ftl_page(&ctx_, 0, 0, FTL_EU_TYPE_PAGE_MAPPED, static_cast<uint16_t>(6 ^ ftl_chain_key(0)), &page),
            5u);
  expected.append_fat_page(0, 6, fat, PageTear::kNoCommit);
  expect_image(expected.image());

  // After the restart the torn FAT page and the one after it are skipped,
  // where the builder also continues.
  ff::reset();
  ASSERT_EQ(afs_physical_ftl_init(&ctx_, geo_.partition_size, 0), 0u);
  EXPECT_EQ(ctx_.ftl_context->current_page_mapped_eu, 0u);
  EXPECT_EQ(ctx_.ftl_context->next_page_in_current_eu, expected.next_fat_page(0));
  EXPECT_EQ(ctx_.ftl_context->page_info[6].page_num, 0xFF);
}

}  // namespace
}  // namespace tarn_test
