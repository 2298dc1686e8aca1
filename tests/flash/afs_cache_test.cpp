// The AFS page cache over a recording handler table: replacement and flush
// order, invalidation, rebuilds and failing handlers.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "flash/afs/AfsCache.h"
#include "flash/afs/AfsVolume.h"

namespace tarn_test {
namespace {

using Log = std::vector<std::string>;

// Byte 0 of each page on "flash"; a log of "r<page>" / "w<page>"; the handler
// call with number `fail` (from 0) fails, a read leaving torn memory.
struct {
  std::map<uint32_t, uint8_t> pages;
  Log log;
  int fail = -1, calls = 0;
} g;

uint32_t transfer(char op, uint32_t address, uint8_t* buffer) {
  g.log.push_back(op + std::to_string(address / 64));
  if (g.calls++ == g.fail) return op == 'r' ? (buffer[0] = 0xEE, 5) : 7;
  if (op == 'r') buffer[0] = g.pages[address / 64];
  else g.pages[address / 64] = buffer[0];
  return 0;
}
uint32_t fake_read(void*, uint32_t address, uint32_t, uint8_t* buffer, uint32_t) { return transfer('r', address, buffer); }
uint32_t fake_write(void*, uint32_t address, uint32_t, uint8_t* buffer, uint32_t) { return transfer('w', address, buffer); }
uint32_t fake_trim(void*, uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t fake_none(void*) { return 0; }
afs_physical_handler_t g_table = {fake_read, fake_write, fake_trim, fake_none, fake_none};

class AfsCache : public ::testing::Test {
 protected:
  void SetUp() override {
    g.pages.clear(), g.log.clear(), g.fail = -1, g.calls = 0;
    ctx_.afs_physical_context = &g_table;
    ctx_.page_size = 64;
    ASSERT_EQ(cache_init(&ctx_, 64, 4), 0u);
  }
  void TearDown() override { afs_free_context(&ctx_); }
  uint8_t* page(uint16_t id) {
    uint8_t* p = nullptr;
    return cache_ptr(&ctx_, id, &p) == 0 ? p : nullptr;
  }
  // Sets byte 0 of each page to `value` (default: its id) and marks it
  // written through a pointer into its middle.
  void mark(std::initializer_list<uint16_t> ids, int value = -1) {
    for (uint16_t id : ids) {
      page(id)[0] = static_cast<uint8_t>(value < 0 ? id : value);
      cache_line_written(&ctx_, page(id) + 17);
    }
  }
  Log flush(uint32_t status = 0) {  // what a flush writes
    g.log.clear();
    EXPECT_EQ(cache_flush(&ctx_), status);
    return g.log;
  }
  afs_context_t ctx_{};
};

TEST_F(AfsCache, FlushAndEvictionFollowRecency) {
  mark({1, 2, 3});
  EXPECT_EQ(flush(), (Log{"w1", "w2", "w3"}));
  EXPECT_EQ(flush(), Log{});  // clean after a flush
  mark({1, 2, 3, 1});
  EXPECT_EQ(flush(), (Log{"w2", "w3", "w1"}));
  mark({1, 2});
  page(1);  // a lookup is a use
  EXPECT_EQ(flush(), (Log{"w2", "w1"}));
  // The fifth distinct page evicts the least recently used, written back first.
  mark({10});
  for (uint16_t id : {11, 12, 13}) page(id);
  g.log.clear();
  for (uint16_t id : {14, 11, 12, 13, 14}) page(id);
  EXPECT_EQ(g.log, (Log{"w10", "r14"}));
  // Invalidation drops unwritten pages; the next lookup reads again.
  mark({10}, 99);
  cache_invalidate(&ctx_);
  EXPECT_EQ(flush(), Log{});
  EXPECT_EQ(page(10)[0], 10);
  EXPECT_EQ(g.log, (Log{"r10"}));
}

TEST_F(AfsCache, FailuresKeepOrDropPagesSafely) {
  uint8_t* p = nullptr;
  // A failed write-back on a miss leaves the entry as it was (now the newest).
  mark({1, 2, 3, 4});
  g.fail = g.calls;
  EXPECT_EQ(cache_ptr(&ctx_, 9, &p), 7u);
  EXPECT_EQ(flush(), (Log{"w2", "w3", "w4", "w1"}));
  // A failed read after a good write-back leaves the entry holding no page:
  // page 1 is read again, never served from the torn memory.
  mark({1, 2, 3, 4});
  g.fail = g.calls + 1;
  g.log.clear();
  EXPECT_EQ(cache_ptr(&ctx_, 9, &p), 5u);
  EXPECT_EQ(g.log, (Log{"w1", "r9"}));
  EXPECT_EQ(flush(), (Log{"w2", "w3", "w4"}));
  EXPECT_EQ(page(1)[0], 1);
  EXPECT_EQ(g.log, (Log{"w2", "w3", "w4", "r1"}));
  // A failed flush keeps the failed page and the newer ones dirty.
  mark({1, 2, 3, 4});
  g.fail = g.calls + 1;
  EXPECT_EQ(flush(7), (Log{"w1", "w2"}));
  EXPECT_EQ(flush(), (Log{"w2", "w3", "w4"}));
  // A rebuild flushes first; a failed flush keeps the old cache.
  mark({3}, 33);
  g.fail = g.calls;
  EXPECT_EQ(cache_init(&ctx_, 64, 7), 7u);
  EXPECT_EQ(ctx_.cache_num_entries, 4);
  ASSERT_EQ(cache_init(&ctx_, 64, 7), 0u);
  EXPECT_EQ(g.pages[3], 33);
  for (uint16_t i = 0; i < 7; ++i) EXPECT_EQ(ctx_.cache[i].next, i < 6 ? i + 1 : CACHE_END_OF_LIST);
  std::swap(p, ctx_.cache_data);  // p is null: half-built
  EXPECT_EQ(cache_init(&ctx_, 64, 3), 99u);
  std::swap(p, ctx_.cache_data);
}

}  // namespace
}  // namespace tarn_test
