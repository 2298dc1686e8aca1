// The FTL under a failing or power-cut flash: retries, driver failures, and
// mounts after a page write cut at every byte. The partition sits inside a
// larger image behind an access window, so any access outside it shows.
#include <gtest/gtest.h>

#include <vector>

#include "flash/afs/AfsFtl.h"
#include "flash/ftl_test_volume.h"
#include "support/fake_driver/flash_fakes.h"

namespace tarn_test {
namespace {

namespace ff = fake_flash;
constexpr uint32_t kSize = 0x8000;
constexpr uint32_t kIndex = 0x2000;

class FtlFaults : public ::testing::Test {
 protected:
  FtlFaults() : v(kSize, 640, kIndex) {
    ff::reset();
    v.b.format();
    v.b.append_fat_page(0, 4, page_pattern(4, 0));
    v.b.put_chunk(1, 3, page_pattern(13));
  }
  ~FtlFaults() override {
    EXPECT_EQ(ff::out_of_window_accesses(), 0u);
    ff::reset();
  }
  uint32_t mount() {
    v.describe();
    ff::confine(kIndex, kSize);
    return afs_physical_ftl_init(&v.ctx, kSize, kMountFlags);
  }
  TestVolume v;
};

TEST_F(FtlFaults, DriverReadFailuresGive5) {
  for (uint32_t nth : {1u, 2u, 4u}) {  // an EU header, or the page-id slots
    v.describe();
    ff::reset();
    ff::fail({ff::Op::kRead, nth});
    EXPECT_EQ(afs_physical_ftl_init(&v.ctx, kSize, kMountFlags), 5u) << nth;
  }
  ASSERT_EQ(mount(), 0u);
  v.allocate(3);
  ff::fail({ff::Op::kRead, 1});
  EXPECT_EQ(v.hand_over(), 5u);
}

TEST_F(FtlFaults, CrcFailuresAreRetriedSevenTimes) {
  ASSERT_EQ(mount(), 0u);
  const uint32_t reads = ff::calls(ff::Op::kRead);
  uint8_t buf[66];
  EXPECT_EQ(read_ftl_page(&v.ctx, 1, 3, FTL_EU_TYPE_BLOCK_MAPPED, 99, buf, 0), 5u);
  EXPECT_EQ(ff::calls(ff::Op::kRead) - reads, 7u);
  std::vector<uint8_t> run(5 * 66);
  const uint32_t before_run = ff::calls(ff::Op::kRead);
  EXPECT_EQ(read_ftl_data_pages(&v.ctx, 1, 2, 5, 12, run.data()), 5u);  // page 4 never written
  EXPECT_EQ(ff::calls(ff::Op::kRead) - before_run, 7u);
  const uint32_t before_good = ff::calls(ff::Op::kRead);
  EXPECT_EQ(read_ftl_data_pages(&v.ctx, 1, 3, 1, 13, run.data()), 0u);
  EXPECT_EQ(ff::calls(ff::Op::kRead) - before_good, 1u);
}

TEST_F(FtlFaults, VerifiedWritesStopAtTheFirstFailure) {
  ASSERT_EQ(mount(), 0u);
  const ftl_page_t page = make_page(page_pattern(20), 20);
  const Bytes before = v.b.image();
  ff::fail({ff::Op::kWrite, 1});
  EXPECT_EQ(write_ftl_page(&v.ctx, 1, 10, FTL_EU_TYPE_BLOCK_MAPPED, 0, &page), 5u);
  EXPECT_EQ(v.b.image(), before);
  ff::fail({ff::Op::kWrite, 2});  // the page itself, after its 0x7F mark
  EXPECT_EQ(write_ftl_page(&v.ctx, 1, 10, FTL_EU_TYPE_BLOCK_MAPPED, 0, &page), 5u);
  EXPECT_EQ(v.b.read_u8(1, ftl_layout::bm_commit_offset(10)), 0x7F);
  ff::fail({ff::Op::kErase, 2});
  EXPECT_EQ(erase_eu(&v.ctx, 2), 5u);
  ff::fail({ff::Op::kRead, 1});  // the read-back of a verified write
  uint8_t b = 1, scratch = 0;
  EXPECT_EQ(write_read_verify(&v.ctx, 100, 1, &b, &scratch), 5u);
}

TEST_F(FtlFaults, FormatStopsAtTheFirstFailure) {
  v.describe();
  ff::confine(kIndex, kSize);
  ff::fail({ff::Op::kWrite, 3});  // EU 1's header
  EXPECT_EQ(afs_physical_ftl_format(&v.ctx, 1), 5u);
  EXPECT_EQ(v.b.read_u32(1, 0), 0xFFFFFFFFu);  // erased, header not written
  EXPECT_EQ(v.b.read_u32(2, 4), 3u);           // untouched
}

TEST_F(FtlFaults, FatPageWriteCutAtEveryByteStillMounts) {
  // Slot (2 bytes), page (66) and commit mark (1): the old copy stays live
  // until the mark lands.
  const Bytes clean = v.b.image();
  for (uint64_t cut = 0; cut <= 69; ++cut) {
    v.b.image() = clean;
    ff::reset();
    ASSERT_EQ(mount(), 0u);
    ASSERT_EQ(v.ftl().next_page_in_current_eu, 1u);
    const ftl_page_t page = make_page(page_pattern(4, 1), 4);
    ff::cut_power_after(cut);
    write_ftl_page(&v.ctx, 0, 1, FTL_EU_TYPE_PAGE_MAPPED,
                   static_cast<uint16_t>(4 ^ ftl_chain_key(4)), &page);
    ff::reset();
    ASSERT_EQ(mount(), 0u) << cut;
    PageData data(64);
    ASSERT_EQ(read_ftl_page(&v.ctx, v.page(4).eu, v.page(4).page_num, FTL_EU_TYPE_PAGE_MAPPED, 4,
                            data.data(), 0),
              0u)
        << cut;
    if (cut < 69) {
      EXPECT_EQ(v.page(4).page_num, 0) << cut;
      EXPECT_EQ(data, page_pattern(4, 0)) << cut;
      EXPECT_EQ(v.ftl().next_page_in_current_eu, cut < 1 ? 1u : 3u) << cut;
    } else {
      EXPECT_EQ(v.page(4).page_num, 1);
      EXPECT_EQ(data, page_pattern(4, 1));
      EXPECT_EQ(v.ftl().next_page_in_current_eu, 2u);
    }
  }
}

TEST_F(FtlFaults, ChunkWriteCutAtEveryByteNeverBreaksTheHandOver) {
  const Bytes clean = v.b.image();
  for (uint64_t cut = 0; cut <= 68; ++cut) {
    v.b.image() = clean;
    ff::reset();
    ASSERT_EQ(mount(), 0u);
    const ftl_page_t page = make_page(page_pattern(30), 30);
    ff::cut_power_after(cut);
    write_ftl_page(&v.ctx, 1, 20, FTL_EU_TYPE_BLOCK_MAPPED, 0, &page);
    ff::reset();
    ASSERT_EQ(mount(), 0u) << cut;
    v.bitmap.assign(v.bitmap.size(), 0);
    v.allocate(3);
    if (cut == 68) v.allocate(20);  // only a finished write marks its chunk
    ASSERT_EQ(v.hand_over(), 0u) << cut;
    // A started write leaves its page programmed: not erased, not free.
    EXPECT_EQ(v.eu(1).non_committed_pages, cut == 0 ? 121 : 120) << cut;
  }
}

TEST_F(FtlFaults, HostileHeadersNeverReachOutsideThePartition) {
  for (uint16_t euva : {uint16_t{0xFFFF}, uint16_t{0x7FFF}, uint16_t{254}, uint16_t{9}, uint16_t{133}}) {
    v.rewrite_header(2, [euva](EuHeader& h) { h.euva = euva; h.euspare = 0xFFFF; });
    EXPECT_EQ(mount(), 5u) << euva;
  }
  v.rewrite_header(2, [](EuHeader& h) { h.euva = 132; h.euspare = 3; });
  v.rewrite_header(3, [](EuHeader& h) { h.euspare = 0xFFFF; h.crc_sig = ftl_layout::kSigValid; });
  ASSERT_EQ(mount(), 0u);
  v.allocate(243);
  EXPECT_EQ(v.hand_over(), 5u);  // chunk 243 was never written
}

}  // namespace
}  // namespace tarn_test
