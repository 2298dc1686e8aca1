// The AFS checksums with their tables, the memory-image flash driver and the
// host stubs.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "flash/afs/AfsInnerDefs.h"
#include "flash/afs/AfsZreDefs.h"
#include "support/ftl_image_builder.h"

namespace tarn_test {
namespace {

const uint8_t kAbc[] = {'a', 'b', 'c'};

TEST(AfsCrc, CheckValues) {
  const uint8_t id0[2] = {0, 0};
  const uint8_t id1[2] = {1, 0};
  EXPECT_EQ(crc16(kAbc, 3, id0), 0xD400);
  EXPECT_EQ(crc16(kAbc, 3, id1), 0xE731);
  EXPECT_EQ(crc16(kAbc, 0, id0), 0x1D0F);   // the page id alone
  EXPECT_EQ(crc16(kAbc, -5, id0), 0x1D0F);  // a negative length reads nothing
  EXPECT_EQ(crc14(kAbc, 3), 0x3A71);
  EXPECT_EQ(crc14(id0, 2), 0x0B5B);
  EXPECT_EQ(crc14(kAbc, 0), 0x3FFF);
  EXPECT_EQ(crc8(kAbc, 3), 0x34);
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc8(digits, 9), 0x8D);
  EXPECT_EQ(crc8(kAbc, 0), 0x01);
}

TEST(AfsCrc, TablesFollowTheirRules) {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 8;
    for (int s = 0; s < 8; ++s) r = ((r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1) & 0xFFFF;
    ASSERT_EQ(crc16_table[i], r) << i;
  }
  for (uint32_t n = 0; n < 16; ++n) {
    uint32_t lo = n, hi = n << 4;
    for (int s = 0; s < 8; ++s) {
      lo = ((lo & 0x80) ? (lo << 1) ^ 0x07 : lo << 1) & 0xFF;
      hi = ((hi & 0x80) ? (hi << 1) ^ 0x07 : hi << 1) & 0xFF;
    }
    ASSERT_EQ(gCrc8_low[n], lo) << n;
    ASSERT_EQ(gCrc8_high[n], hi) << n;
  }
}

TEST(AfsCrc, AgreesWithTheBuildersBitwiseCode) {
  // Pseudo-random buffers of every length up to 70, against the builder's
  // independent implementations; crc14 never leaves 14 bits.
  std::vector<uint8_t> buf(70);
  uint32_t seed = 12345;
  for (auto& b : buf) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
  for (uint32_t len = 0; len <= buf.size(); ++len) {
    const uint16_t id = static_cast<uint16_t>(len * 977);
    const uint8_t id_bytes[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    ASSERT_EQ(crc16(buf.data(), static_cast<int32_t>(len), id_bytes), ftl_crc16(buf.data(), len, id));
    const uint16_t c14 = crc14(buf.data(), static_cast<int32_t>(len));
    ASSERT_EQ(c14, ftl_crc14(buf.data(), len));
    ASSERT_LE(c14, 0x3FFF);
    ASSERT_EQ(crc8(buf.data(), len), ftl_crc8(buf.data(), len));
  }
}

TEST(AfsFlashDriver, ReplacesBytesAndErasesExactlyOneBlock) {
  std::vector<uint8_t> image(3 * 4096, 0x00);
  ASSERT_EQ(SpiFlashDrvInitialize(image.data()), 0u);
  EXPECT_EQ(gpBuffer, image.data());
  const uint8_t ff[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(SpiDrvWrite(8, 4, ff), 0u);  // overwrite, not AND
  EXPECT_EQ(image[8], 0xFF);
  EXPECT_EQ(image[11], 0xFF);
  EXPECT_EQ(image[12], 0x00);
  uint8_t back[6];
  EXPECT_EQ(SpiDrvRead(7, 6, back), 0u);
  const uint8_t expect[6] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0};
  EXPECT_EQ(std::memcmp(back, expect, 6), 0);

  EXPECT_EQ(SpiDrvEraseBlock(100), 0u);  // unaligned: exactly 4096 bytes
  EXPECT_EQ(image[99], 0x00);
  for (uint32_t i = 100; i < 4196; ++i) ASSERT_EQ(image[i], 0xFF) << i;
  EXPECT_EQ(image[4196], 0x00);

  SpiFlashDrvDeinitialize();  // the image stays bound
  EXPECT_EQ(gpBuffer, image.data());
}

TEST(AfsHostStubs, PartitionAccessAddsThePartitionOffset) {
  std::vector<uint8_t> image(8192, 0x11);
  SpiFlashDrvInitialize(image.data());
  afs_context_t ctx{};
  ctx.afs_partition_index = 4096;
  uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(afs_sub_pt_write(&ctx, 10, 3, data, 0xFFFF), 0u);
  EXPECT_EQ(image[4106], 1);
  EXPECT_EQ(image[4108], 3);
  uint8_t back[3] = {0};
  EXPECT_EQ(afs_sub_pt_read(&ctx, 10, 3, back, 0), 0u);
  EXPECT_EQ(std::memcmp(back, data, 3), 0);
  EXPECT_EQ(afs_sub_pt_read(nullptr, 10, 3, back, 0), 22u);
  const std::vector<uint8_t> before = image;
  EXPECT_EQ(afs_sub_pt_trim(&ctx, 0, 8192, 0), 0u);
  EXPECT_EQ(afs_sub_pt_trim(nullptr, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF), 0u);
  EXPECT_EQ(image, before);
}

TEST(AfsHostStubs, GrantCopiesRespectTheLocalBufferSize) {
  // Only meaningful where a host address fits the 32-bit grant id.
  if (sizeof(void*) != 4) GTEST_SKIP() << "grant ids are 32-bit addresses";
  uint8_t remote[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t local[4] = {0};
  const afs_grant_id_t g = static_cast<afs_grant_id_t>(reinterpret_cast<uintptr_t>(remote));
  EXPECT_EQ(mg_copyfrom(0, g, 2, local, 4, 4), 0);
  EXPECT_EQ(local[0], 3);
  EXPECT_EQ(local[3], 6);
  EXPECT_EQ(mg_copyfrom(0, g, 0, local, 4, 5), 22);  // would run past `local`
  EXPECT_EQ(mg_copyto(0, g, 4, local, 4, 4), 0);
  EXPECT_EQ(remote[4], 3);
  EXPECT_EQ(mg_copyto(0, g, 0, local, 2, 3), 22);
}

TEST(AfsHostStubs, GrantCopiesRefuseMissingBuffers) {
  uint8_t local[4] = {0};
  EXPECT_EQ(mg_copyfrom(0, 0, 0, local, 4, 4), 22);
  EXPECT_EQ(mg_copyfrom(0, 0x1000, 0, nullptr, 4, 4), 22);
  EXPECT_EQ(mg_copyto(0, 0x1000, 0, nullptr, 4, 4), 22);
  EXPECT_EQ(mg_copyfrom(0, 0, 0, nullptr, 0, 0), 0);  // nothing to copy
}

}  // namespace
}  // namespace tarn_test
