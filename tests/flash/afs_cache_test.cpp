// The AFS page cache over a recording handler table: replacement and flush
// order, invalidation, rebuilds and failing handlers.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "flash/afs/AfsCache.h"

namespace tarn_test {
namespace {

// Byte 0 of each written page by page id; a log of "r<id>" / "w<id>"; the
// nth read or write (from 0) can be made to fail.
struct FakePages {
  std::map<uint32_t, uint8_t> pages;
  std::vector<std::string> log;
  int fail_read = -1, fail_write = -1, reads = 0, writes = 0;
} g;

uint32_t fake_read(void*, uint32_t address, uint32_t, uint8_t* buffer, uint32_t) {
  g.log.push_back("r" + std::to_string(address / 64));
  buffer[0] = 0xEE;  // what a torn read would leave
  if (g.reads++ == g.fail_read) return 5;
  buffer[0] = g.pages.count(address / 64) ? g.pages[address / 64] : 0;
  return 0;
}
uint32_t fake_write(void*, uint32_t address, uint32_t, uint8_t* buffer, uint32_t) {
  g.log.push_back("w" + std::to_string(address / 64));
  if (g.writes++ == g.fail_write) return 7;
  g.pages[address / 64] = buffer[0];
  return 0;
}
uint32_t fake_trim(void*, uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t fake_none(void*) { return 0; }
afs_physical_handler_t g_table = {fake_read, fake_write, fake_trim, fake_none, fake_none};

class AfsCache : public ::testing::Test {
 protected:
  void SetUp() override {
    g = FakePages{};
    ctx_.afs_physical_context = &g_table;
    ctx_.page_size = 64;
    ASSERT_EQ(cache_init(&ctx_, 64, 4), 0u);
  }
  void TearDown() override {
    std::free(ctx_.cache);
    std::free(ctx_.cache_data);
  }
  uint8_t* page(uint16_t id) {
    uint8_t* p = nullptr;
    EXPECT_EQ(cache_ptr(&ctx_, id, &p), 0u);
    return p;
  }
  // Sets byte 0 of each page to its id and marks it written.
  void mark(std::initializer_list<uint16_t> ids) {
    for (uint16_t id : ids) {
      uint8_t* p = page(id);
      p[0] = static_cast<uint8_t>(id);
      cache_line_written(&ctx_, p + 17);  // any pointer into the page
    }
  }
  // Lookups ('l') and marks ('m') of pages, then the log of a flush.
  std::vector<std::string> run(const std::vector<std::pair<char, uint16_t>>& steps) {
    for (const auto& s : steps) {
      if (s.first == 'm') mark({s.second});
      else page(s.second);
    }
    g.log.clear();
    EXPECT_EQ(cache_flush(&ctx_), 0u);
    return g.log;
  }
  afs_context_t ctx_{};
};

using Log = std::vector<std::string>;

TEST_F(AfsCache, FlushWritesLeastRecentlyUsedFirst) {
  EXPECT_EQ(run({{'m', 1}, {'m', 2}, {'m', 3}}), (Log{"w1", "w2", "w3"}));
  EXPECT_EQ(run({}), Log{});  // clean after a flush
  EXPECT_EQ(run({{'m', 1}, {'m', 2}, {'m', 3}, {'m', 1}}), (Log{"w2", "w3", "w1"}));
  EXPECT_EQ(run({{'m', 1}, {'m', 2}, {'l', 1}}), (Log{"w2", "w1"}));  // a lookup is a use
  EXPECT_EQ(g.pages[1], 1);
  // A hit on the head changes no link.
  page(2);
  const uint16_t head = ctx_.cache_head, next = ctx_.cache[head].next;
  page(2);
  EXPECT_EQ(ctx_.cache_head, head);
  EXPECT_EQ(ctx_.cache[head].next, next);
}

TEST_F(AfsCache, TheFifthPageEvictsTheLeastRecentlyUsed) {
  mark({10});
  for (uint16_t id = 11; id < 14; ++id) page(id);
  g.log.clear();
  page(14);
  EXPECT_EQ(g.log, (Log{"w10", "r14"}));  // the dirty page is written back first
  for (uint16_t id = 11; id < 15; ++id) page(id);
  EXPECT_EQ(g.log.size(), 2u);
  EXPECT_EQ(page(10)[0], 10);
  EXPECT_EQ(g.log.back(), "r10");
}

TEST_F(AfsCache, InvalidateDropsUnwrittenPages) {
  mark({1});
  cache_invalidate(&ctx_);
  EXPECT_EQ(run({{'l', 1}}), Log{});
  EXPECT_EQ(page(1)[0], 0);
}

TEST_F(AfsCache, RebuildFlushesFirstAndChecksItsArguments) {
  mark({3});
  g.log.clear();
  g.fail_write = g.writes;
  EXPECT_EQ(cache_init(&ctx_, 64, 7), 7u);  // the failed flush keeps the old cache
  EXPECT_EQ(ctx_.cache_num_entries, 4);
  ASSERT_EQ(cache_init(&ctx_, 64, 7), 0u);
  EXPECT_EQ(g.log, (Log{"w3", "w3"}));
  EXPECT_EQ(ctx_.cache_head, 0);
  for (uint16_t i = 0; i < 7; ++i) EXPECT_EQ(ctx_.cache[i].next, i < 6 ? i + 1 : CACHE_END_OF_LIST);
  uint8_t* data = ctx_.cache_data;
  ctx_.cache_data = nullptr;
  EXPECT_EQ(cache_init(&ctx_, 64, 3), 99u);
  ctx_.cache_data = data;
  for (uint32_t size : {0u, 48u}) EXPECT_EQ(cache_init(&ctx_, size, 3), 22u);
  for (uint16_t n : {uint16_t{0}, CACHE_END_OF_LIST}) EXPECT_EQ(cache_init(&ctx_, 64, n), 22u);
}

TEST_F(AfsCache, FailedWriteBacksAndReads) {
  uint8_t* p = nullptr;
  // A failed write-back on a miss leaves the entry as it was.
  mark({1, 2, 3, 4});
  g.fail_write = g.writes;
  EXPECT_EQ(cache_ptr(&ctx_, 9, &p), 7u);
  EXPECT_EQ(run({}), (Log{"w2", "w3", "w4", "w1"}));  // page 1 became the most recent
  // A failed read after a good write-back: neither page is written again.
  mark({1, 2, 3, 4});
  g.fail_read = g.reads;
  g.log.clear();
  EXPECT_EQ(cache_ptr(&ctx_, 9, &p), 5u);
  EXPECT_EQ(g.log, (Log{"w1", "r9"}));
  EXPECT_EQ(run({}), (Log{"w2", "w3", "w4"}));
  // A failed flush keeps the failed page and the newer ones dirty.
  mark({1, 2, 3, 4});
  g.fail_write = g.writes + 1;
  EXPECT_EQ(cache_flush(&ctx_), 7u);
  EXPECT_EQ(run({}), (Log{"w2", "w3", "w4"}));
}

}  // namespace
}  // namespace tarn_test
