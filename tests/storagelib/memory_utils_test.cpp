// The exported memory functions and the bounded copy underneath ByteCopy.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "storagelib/errorlist.h"
#include "storagelib/memory_utils.h"

namespace {

TEST(ByteCopy, NullPointerIsTestedFirst) {
  uint8_t buf[4] = {7, 7, 7, 7};
  EXPECT_EQ(ByteCopy(nullptr, 4, buf, 0), INTERNAL_ERROR);
  EXPECT_EQ(ByteCopy(buf, 4, nullptr, 0), INTERNAL_ERROR);
  // Also ahead of the size test.
  EXPECT_EQ(ByteCopy(buf, 0, nullptr, 100), INTERNAL_ERROR);
  for (uint8_t b : buf) EXPECT_EQ(b, 7);
}

TEST(ByteCopy, CountAboveDestinationSizeLeavesDestinationUnchanged) {
  uint8_t dest[4] = {7, 7, 7, 7};
  const uint8_t src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(ByteCopy(dest, 4, src, 5), SAFE_FUNC_ERROR_INVALID_SIZE);
  EXPECT_EQ(ByteCopy(dest, 0, src, 1), SAFE_FUNC_ERROR_INVALID_SIZE);
  for (uint8_t b : dest) EXPECT_EQ(b, 7);
}

TEST(ByteCopy, CountEqualToDestinationSizeCopies) {
  uint8_t dest[5] = {0, 0, 0, 0, 0xAA};
  const uint8_t src[4] = {1, 2, 3, 4};
  EXPECT_EQ(ByteCopy(dest, 4, src, 4), SUCCESS);
  const uint8_t expected[5] = {1, 2, 3, 4, 0xAA};
  EXPECT_EQ(std::memcmp(dest, expected, sizeof dest), 0);
  EXPECT_EQ(ByteCopy(dest, 4, src, 0), SUCCESS);
}

TEST(ByteCopy, OverlappingRangesFailTheBoundedCopy) {
  uint8_t buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(ByteCopy(buf + 2, 6, buf, 4), SAFE_FUNC_ERROR_MEMNCPY);
  EXPECT_EQ(ByteCopy(buf, 8, buf + 3, 4), SAFE_FUNC_ERROR_MEMNCPY);
  EXPECT_EQ(ByteCopy(buf, 8, buf, 1), SAFE_FUNC_ERROR_MEMNCPY);
  const uint8_t unchanged[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(std::memcmp(buf, unchanged, sizeof buf), 0);
  // Ranges that only touch are fine.
  EXPECT_EQ(ByteCopy(buf + 4, 4, buf, 4), SUCCESS);
  const uint8_t copied[8] = {1, 2, 3, 4, 1, 2, 3, 4};
  EXPECT_EQ(std::memcmp(buf, copied, sizeof buf), 0);
}

TEST(BoundedCopy, Contract) {
  uint8_t dest[4] = {9, 9, 9, 9};
  const uint8_t src[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(tarnBoundedCopy(nullptr, 0, nullptr, 0), 0);
  EXPECT_EQ(tarnBoundedCopy(nullptr, 4, src, 4), BOUNDED_COPY_EINVAL);
  EXPECT_EQ(tarnBoundedCopy(dest, 4, nullptr, 4), BOUNDED_COPY_EINVAL);
  EXPECT_EQ(tarnBoundedCopy(dest, 4, src, 5), BOUNDED_COPY_ERANGE);
  EXPECT_EQ(tarnBoundedCopy(dest, 4, dest + 1, 2), BOUNDED_COPY_EINVAL);
  for (uint8_t b : dest) EXPECT_EQ(b, 9);
  EXPECT_EQ(tarnBoundedCopy(dest, 4, src + 2, 3), 0);
  const uint8_t expected[4] = {3, 4, 5, 9};
  EXPECT_EQ(std::memcmp(dest, expected, sizeof dest), 0);
}

TEST(LtMemory, AllocateZeroFillsAndFreeAcceptsNull) {
  uint8_t* zeroed = static_cast<uint8_t*>(LtAllocateZeroMemory(64));
  ASSERT_NE(zeroed, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(zeroed[i], 0) << i;
  LtFreeMemory(zeroed);
  void* block = LtAllocateMemory(32);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0x5A, 32);  // the whole block is usable
  LtFreeMemory(block);
  LtFreeMemory(nullptr);
}

TEST(LtMemory, SetMemoryFillsExactlyLengthBytes) {
  uint8_t buf[6] = {0, 0, 0, 0, 0, 0};
  EXPECT_EQ(LtSetMemory(buf + 1, 0xC3, 4), buf + 1);
  const uint8_t expected[6] = {0, 0xC3, 0xC3, 0xC3, 0xC3, 0};
  EXPECT_EQ(std::memcmp(buf, expected, sizeof buf), 0);
  EXPECT_EQ(LtSetMemory(nullptr, 0xFF, 0), nullptr);
}

TEST(LtMemory, CompareKeepsTheSignIn64Bits) {
  const uint8_t low[3] = {1, 2, 0x00};
  const uint8_t high[3] = {1, 2, 0xFF};
  EXPECT_LT(LtCompareMemory(low, high, 3), 0);
  EXPECT_GT(LtCompareMemory(high, low, 3), 0);
  EXPECT_EQ(LtCompareMemory(low, high, 2), 0);
  EXPECT_EQ(LtCompareMemory(nullptr, nullptr, 0), 0);
  EXPECT_EQ(LtCompareMemory(low, high, 0), 0);
}

}  // namespace
