// The fake flash drivers: memory-image semantics when nothing is armed, power
// loss after a number of written bytes, a chosen failing operation, and the
// access window. This binary links the fakes in place of the library's
// driver, so every test here also shows that the replacement took effect.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "flash/afs/AfsInnerDefs.h"
#include "support/fake_driver/flash_fakes.h"

namespace tarn_test {
namespace {

namespace ff = fake_flash;
using Image = std::vector<uint8_t>;

class FakeFlash : public ::testing::Test {
 protected:
  void SetUp() override {
    ff::reset();
    image_.assign(3 * 4096, 0x00);
    SpiFlashDrvInitialize(image_.data());
  }
  void TearDown() override { ff::reset(); }

  std::vector<uint8_t> bytes(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }

  Image image_;
};

TEST_F(FakeFlash, PlainDriverIsTheMemoryImage) {
  // A write replaces bytes: 0xFF over 0x00 stays 0xFF (no AND programming).
  const auto ff_bytes = bytes(8, 0xFF);
  EXPECT_EQ(SpiDrvWrite(100, 8, ff_bytes.data()), 0u);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(image_[100 + i], 0xFF);
  EXPECT_EQ(image_[99], 0x00);
  EXPECT_EQ(image_[108], 0x00);
  const uint8_t pattern[3] = {0x12, 0x00, 0x7F};
  EXPECT_EQ(SpiDrvWrite(101, 3, pattern), 0u);
  EXPECT_EQ(image_[101], 0x12);
  EXPECT_EQ(image_[102], 0x00);

  uint8_t back[5] = {0};
  EXPECT_EQ(SpiDrvRead(100, 5, back), 0u);
  const uint8_t expected[5] = {0xFF, 0x12, 0x00, 0x7F, 0xFF};
  EXPECT_EQ(std::memcmp(back, expected, 5), 0);

  // An erase sets exactly 4096 bytes from its address, aligned or not.
  EXPECT_EQ(SpiDrvEraseBlock(10), 0u);
  EXPECT_EQ(image_[9], 0x00);
  for (uint32_t i = 10; i < 10 + 4096; ++i) ASSERT_EQ(image_[i], 0xFF) << i;
  EXPECT_EQ(image_[10 + 4096], 0x00);
  EXPECT_EQ(ff::calls(ff::Op::kWrite), 2u);
  EXPECT_EQ(ff::calls(ff::Op::kRead), 1u);
  EXPECT_EQ(ff::calls(ff::Op::kErase), 1u);
  EXPECT_FALSE(ff::power_lost());
}

TEST_F(FakeFlash, PowerCutMidWriteDropsTheRestAndEverythingAfter) {
  ff::cut_power_after(15);
  const auto a = bytes(10, 0x11), b = bytes(10, 0x22), c = bytes(4, 0x33);
  EXPECT_EQ(SpiDrvWrite(0, 10, a.data()), 0u);
  EXPECT_FALSE(ff::power_lost());
  EXPECT_EQ(SpiDrvWrite(100, 10, b.data()), 0u);  // lands its first 5 bytes
  EXPECT_TRUE(ff::power_lost());
  EXPECT_EQ(SpiDrvWrite(200, 4, c.data()), 0u);   // dropped
  EXPECT_EQ(SpiDrvEraseBlock(4096), 0u);          // dropped
  for (int i = 0; i < 10; ++i) EXPECT_EQ(image_[i], 0x11);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(image_[100 + i], 0x22);
  for (int i = 5; i < 10; ++i) EXPECT_EQ(image_[100 + i], 0x00);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(image_[200 + i], 0x00);
  EXPECT_EQ(image_[4096], 0x00);
  EXPECT_EQ(ff::bytes_written(), 15u);
  EXPECT_EQ(ff::dropped_operations(), 3u);
  // Reads still show the image.
  uint8_t back[10];
  EXPECT_EQ(SpiDrvRead(100, 10, back), 0u);
  EXPECT_EQ(back[4], 0x22);
  EXPECT_EQ(back[5], 0x00);
  // Power on again.
  ff::reset();
  EXPECT_EQ(SpiDrvWrite(200, 4, c.data()), 0u);
  EXPECT_EQ(image_[200], 0x33);
}

TEST_F(FakeFlash, PowerCutAtAWriteBoundaryAndBeforeAnErase) {
  ff::cut_power_after(8, 5);
  const auto a = bytes(8, 0x44);
  EXPECT_EQ(SpiDrvEraseBlock(0), 0u);  // erases still happen while power is on
  EXPECT_EQ(image_[0], 0xFF);
  EXPECT_EQ(SpiDrvWrite(0, 8, a.data()), 0u);
  EXPECT_TRUE(ff::power_lost());
  EXPECT_EQ(SpiDrvWrite(8, 1, a.data()), 5u);  // the chosen status for dropped work
  EXPECT_EQ(SpiDrvEraseBlock(4096), 5u);
  EXPECT_EQ(image_[8], 0xFF);
  EXPECT_EQ(image_[4096], 0x00);

  ff::reset();
  ff::cut_power_now();
  EXPECT_EQ(SpiDrvEraseBlock(4096), 0u);
  EXPECT_EQ(image_[4096], 0x00);
}

TEST_F(FakeFlash, FailsTheChosenOperationOnly) {
  ff::Failure f;
  f.op = ff::Op::kWrite;
  f.nth = 2;
  f.status = 7;
  ff::fail(f);
  const auto a = bytes(4, 0x55);
  EXPECT_EQ(SpiDrvWrite(0, 4, a.data()), 0u);
  EXPECT_EQ(SpiDrvWrite(16, 4, a.data()), 7u);  // fails and writes nothing
  EXPECT_EQ(image_[16], 0x00);
  EXPECT_EQ(SpiDrvWrite(32, 4, a.data()), 0u);  // not sticky
  EXPECT_EQ(image_[32], 0x55);
  EXPECT_EQ(ff::failures_returned(), 1u);

  f.op = ff::Op::kRead;
  f.nth = 1;
  f.status = 5;
  ff::fail(f);
  uint8_t back[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(SpiDrvRead(0, 4, back), 5u);
  EXPECT_EQ(back[0], 0xEE);  // caller's buffer untouched
  EXPECT_EQ(SpiDrvRead(0, 4, back), 0u);
  EXPECT_EQ(back[0], 0x55);

  f.op = ff::Op::kErase;
  f.nth = 1;
  f.sticky = true;
  f.address_from = 4096;
  f.address_to = 8192;
  ff::fail(f);
  EXPECT_EQ(SpiDrvEraseBlock(0), 0u);      // outside the chosen range
  EXPECT_EQ(SpiDrvEraseBlock(4096), 5u);
  EXPECT_EQ(SpiDrvEraseBlock(4096), 5u);   // sticky
  EXPECT_EQ(image_[0], 0xFF);
  EXPECT_EQ(image_[4096], 0x00);
  EXPECT_EQ(ff::failures_returned(), 4u);
}

TEST_F(FakeFlash, WindowRefusesAccessesOutsideIt) {
  ff::confine(4096, 4096);
  uint8_t buf[8] = {0};
  EXPECT_EQ(SpiDrvRead(4096, 8, buf), 0u);
  EXPECT_EQ(SpiDrvRead(8190, 4, buf), 5u);     // runs past the end
  EXPECT_EQ(SpiDrvWrite(4095, 1, buf), 5u);    // before the start
  EXPECT_EQ(SpiDrvEraseBlock(4097), 5u);       // block runs past the end
  EXPECT_EQ(SpiDrvEraseBlock(4096), 0u);
  EXPECT_EQ(image_[4095], 0x00);
  EXPECT_EQ(image_[8192], 0x00);
  EXPECT_EQ(ff::out_of_window_accesses(), 3u);
}

}  // namespace
}  // namespace tarn_test
