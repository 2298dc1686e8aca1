// Mount of AFS volumes laid out by the independent volume writer: geometry,
// the FAT scan, hostile headers and FATs, FAT-page trimming, the format and
// fresh-header paths, and the cache setting.
#include <gtest/gtest.h>

#include "flash/afs/AfsCache.h"
#include "flash/afs/AfsFtl.h"
#include "flash/afs_test_mount.h"

namespace tarn_test {
namespace {

bool bit(const afs_context_t& ctx, uint32_t c) { return (ctx.chunk_state[c / 32] >> (c % 32)) & 1u; }

TEST(AfsMount, ScanFindsSizesChunksZombiesAndShortChains) {
  AfsVolumeWriter w(kSmallPartition, 1024);
  w.add_file(3, pattern(130, 3)).add_empty(4).add_zombie(5).add_file(6, pattern(64, 6));
  // File 7: a chain whose last chunk has a free entry holds 64 + 0 bytes.
  w.add_file(7, pattern(128, 7), {200, 201}).set_entry(w.geometry().chunk_id(201), 0);
  Bytes image = w.build();
  AfsMount m(image);
  ASSERT_EQ(m.mount(), 0u);
  const AfsGeometry& g = w.geometry();
  EXPECT_EQ(m.ctx.num_files, 1024);
  EXPECT_EQ(m.ctx.num_chunks, g.num_chunks);
  EXPECT_EQ(m.ctx.fat_size, g.fat_size);
  EXPECT_EQ(m.ctx.afs_logical_size, g.flash_size);
  EXPECT_EQ(m.ctx.chunk_allocation_handed_over, 1);

  const uint32_t sizes[] = {130, 0, AFS_NO_FILE_SIZE, 64, 64};
  for (uint32_t f = 3; f <= 7; ++f) EXPECT_EQ(m.ctx.file_size_table[f], sizes[f - 3]) << f;
  EXPECT_EQ(m.ctx.file_size_table[8], AFS_NO_FILE_SIZE);
  for (uint32_t c = 0; c <= g.num_chunks; ++c)
    EXPECT_EQ(bit(m.ctx, c), c <= 3 || c == 200 || c == 201) << c;
  // The zombie is reset (on flash once its page leaves the cache).
  cid_t entry = 1;
  ASSERT_EQ(afs_get_next_cid(&m.ctx, 5, &entry), 0u);
  EXPECT_EQ(entry, 0);
  ASSERT_EQ(cache_flush(&m.ctx), 0u);
  EXPECT_EQ(m.reader().entry(5), afs_layout::kEntryFree);
}

TEST(AfsMount, FormatAndFreshHeaderGiveAVolumeTheNextMountAccepts) {
  for (uint32_t partition : {0x8000u, 0x18000u, 0x30000u, 0x100000u, 0x1FE000u}) {
    for (uint32_t files : {65u, 1024u, 2048u}) {
      Bytes image(partition, 0x5A);  // neither erased nor formatted
      const AfsGeometry g = AfsGeometry::for_partition(partition, files);
      {
        AfsMount fresh(image, partition);
        ASSERT_EQ(fresh.mount(kFormatFlags, files), 0u) << partition << " " << files;
      }
      AfsVolumeReader r(image, partition);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(r.geometry().flash_size, g.flash_size);
      EXPECT_EQ(r.geometry().num_files, files);
      AfsMount m(image, partition);
      ASSERT_EQ(m.mount(kDfsMountFlags, 100), 0u) << partition << " " << files;
      EXPECT_EQ(m.ctx.fat_size, g.fat_size);
      EXPECT_EQ(m.ctx.num_chunks, g.num_chunks);
      ASSERT_EQ(m.write(files - 1, 0, pattern(200, 1)), 0u);
      EXPECT_EQ(m.reader().file(files - 1).data, pattern(200, 1));
    }
  }
}

TEST(AfsMount, ArgumentsAndFlagsAreChecked) {
  Bytes image = AfsVolumeWriter(kSmallPartition, 1024).build();
  struct Case {
    uint32_t page, entries, files, partition, flags, expected;
  } cases[] = {
      {64, 10, 1024, 0x8000, kDfsMountFlags, 0},  {32, 10, 1024, 0x8000, kDfsMountFlags, 22},
      {128, 10, 1024, 0x8000, kDfsMountFlags, 22}, {64, 1, 1024, 0x8000, kDfsMountFlags, 22},
      {64, 1001, 1024, 0x8000, kDfsMountFlags, 22}, {64, 10, 64, 0x8000, kDfsMountFlags, 22},
      {64, 10, 2049, 0x8000, kDfsMountFlags, 22}, {64, 10, 1024, 0x7FFF, kDfsMountFlags, 22},
      {64, 10, 1024, 0x200001, kDfsMountFlags, 22}, {64, 10, 1024, 0x8000, kDfsMountFlags & ~0x4u, 22},
      {64, 10, 1024, 0x8000, kDfsMountFlags | 0x2, 22}, {64, 10, 1024, 0x8000, kDfsMountFlags & ~0x20u, 22},
  };
  for (const Case& c : cases) {
    AfsMount m(image);
    EXPECT_EQ(afs_init(&m.ctx, image.data(), c.page, c.entries, c.files, 0, c.partition, c.flags,
                       AFS_SKU_INVALID, AFS_PROJECT_NUMBER_INVALID),
              c.expected)
        << c.page << " " << c.entries << " " << c.files << " " << c.partition << " " << c.flags;
    EXPECT_EQ(afs_setcache(&m.ctx, c.page, c.entries), c.page == 64 && c.entries >= 2 && c.entries <= 1000 ? 0u : 22u);
  }
  EXPECT_EQ(afs_init(nullptr, image.data(), 64, 10, 1024, 0, 0x8000, kDfsMountFlags, AFS_SKU_INVALID,
                     AFS_PROJECT_NUMBER_INVALID),
            22u);
}

TEST(AfsMount, HostileHeadersAndFatsAreRefused) {
  const AfsGeometry g = AfsGeometry::for_partition(kSmallPartition, 1024);
  const uint32_t last_chunk = g.chunk_id(g.num_chunks - 1);
  struct Case {
    const char* what;
    uint32_t flash_size, num_files;
    uint32_t index;
    uint16_t value;
  } cases[] = {
      {"64 files", g.flash_size, 64, 0, 0},
      {"2049 files", g.flash_size, 2049, 0, 0},
      {"no room for the FAT", 2 * 1024 + 13, 1024, 0, 0},
      {"FAT larger than the volume", 2 * 1024 + 14 + 10, 1024, 0, 0},
      {"more chunks than the partition", g.flash_size + 66, 1024, 0, 0},
      {"file entry holding a count", g.flash_size, 1024, 9, 64},
      {"file entry naming a file", g.flash_size, 1024, 9, 1023},
      {"file entry past the chunks", g.flash_size, 1024, 9, static_cast<uint16_t>(last_chunk + 1)},
      {"chunk entry 0xFFFF", g.flash_size, 1024, g.chunk_id(0), 0xFFFF},
      {"chunk entry 65", g.flash_size, 1024, g.chunk_id(0), 65},
      {"cycle", g.flash_size, 1024, g.chunk_id(1), static_cast<uint16_t>(g.chunk_id(0))},
  };
  for (const Case& c : cases) {
    AfsVolumeWriter w(kSmallPartition, 1024);
    w.add_file(9, pattern(130, 9)).set_header(c.flash_size, c.num_files);
    if (c.index != 0) w.set_entry(c.index, c.value);
    Bytes image = w.build();
    AfsMount m(image);
    EXPECT_EQ(m.mount(), 5u) << c.what;
    // A failed mount refuses every file operation.
    uint32_t size = 0;
    EXPECT_EQ(afs_getfilesize(&m.ctx, 9, &size), 22u) << c.what;
    EXPECT_EQ(m.write(9, 0, pattern(10, 1)), 22u) << c.what;
  }
  // A formatted FTL without a header: only a fresh-header flag gets past it.
  FtlImageBuilder b(FtlGeometry::for_partition(kSmallPartition, g.fat_size));
  b.format();
  Bytes image = b.image();
  AfsMount m(image);
  EXPECT_EQ(m.mount(), 5u);
  AfsMount fresh(image);
  ASSERT_EQ(fresh.mount(kDfsMountFlags | 0x10, 1024), 0u);
  EXPECT_EQ(fresh.reader().geometry().num_files, 1024u);
  EXPECT_EQ(fresh.reader().geometry().flash_size, g.flash_size);
}

TEST(AfsMount, FatPagesHoldingOnlyFreeChunksAreTrimmed) {
  const AfsGeometry g = AfsGeometry::for_partition(kSmallPartition, 65);
  AfsVolumeWriter w(kSmallPartition, 65);
  // Stale entries of free chunks in every FAT page, one file in the middle.
  for (uint32_t c = 0; c < g.num_chunks; ++c) w.set_entry(g.chunk_id(c), 0x1234);
  const uint32_t used = 100;
  w.add_file(0, pattern(64, 0), {used});
  Bytes image = w.build();
  AfsMount m(image);
  ASSERT_EQ(m.mount(kDfsMountFlags, 65), 0u);
  const uint32_t first_chunk_page = afs_layout::entry_offset(65) / 64;
  const uint32_t used_page = afs_layout::entry_offset(g.chunk_id(used)) / 64;
  const uint32_t pages = g.fat_size / 64;
  for (uint32_t p = 0; p < pages; ++p) {
    const bool mapped = m.ctx.ftl_context->page_info[p].page_num != 0xFF;
    if (p == 0 || p == first_chunk_page || p == used_page || p == pages - 1) {
      EXPECT_TRUE(mapped) << p;
    } else if (p > first_chunk_page) {
      EXPECT_FALSE(mapped) << p;
    }
  }
  EXPECT_EQ(m.read(0), pattern(64, 0));
}

TEST(AfsMount, ModeWithoutBitmapServesSizeAndReadOnly) {
  AfsVolumeWriter w(kSmallPartition, 1024);
  w.add_file(2, pattern(300, 2)).set_entry(w.geometry().chunk_id(50), static_cast<uint16_t>(w.geometry().chunk_id(50)));
  w.set_entry(8, static_cast<uint16_t>(w.geometry().chunk_id(50)));  // a cycle
  Bytes image = w.build();
  {
    // Without a size table nothing is scanned, so the cycle goes unseen.
    AfsMount m(image);
    ASSERT_EQ(m.mount(0x20024 | 0x8), 0u);
    EXPECT_EQ(m.ctx.chunk_state, nullptr);
    EXPECT_EQ(m.read(2), pattern(300, 2));
    uint32_t size = 0;
    EXPECT_EQ(afs_getfilesize(&m.ctx, 2, &size), 0u);
    EXPECT_EQ(size, 300u);
    EXPECT_EQ(afs_getfilesize(&m.ctx, 8, &size), 5u);
    EXPECT_EQ(m.write(2, 0, pattern(10, 1)), 22u);
    EXPECT_EQ(afs_deletefile(&m.ctx, 2), 22u);
  }
  AfsMount m(image);
  EXPECT_EQ(m.mount(kDfsMountFlags | 0x8), 5u);
}

TEST(AfsMount, PreloadAndReleaseOfTheContext) {
  Bytes image = AfsVolumeWriter(kSmallPartition, 1024).build();
  AfsMount m(image);
  ASSERT_EQ(m.mount(kDfsMountFlags | 0x80 | 0x40), 0u);
  EXPECT_EQ(m.ctx.afs_local_buf, m.staging.data());  // kept across the zeroing
  std::vector<bool> cached(10, false);
  for (uint32_t i = 0; i < 10; ++i)
    if (m.ctx.cache[i].valid && m.ctx.cache[i].page_id < 10) cached[m.ctx.cache[i].page_id] = true;
  EXPECT_EQ(cached, std::vector<bool>(10, true));
  afs_free_context(&m.ctx);
  EXPECT_EQ(m.ctx.cache, nullptr);
  EXPECT_EQ(m.ctx.cache_data, nullptr);
  EXPECT_EQ(m.ctx.chunk_state, nullptr);
  EXPECT_EQ(m.ctx.file_size_table, nullptr);
  EXPECT_EQ(m.ctx.ftl_context, nullptr);
  EXPECT_EQ(m.ctx.afs_local_buf, m.staging.data());
  afs_free_context(nullptr);
  afs_free_file_size_table(nullptr);
}

}  // namespace
}  // namespace tarn_test
