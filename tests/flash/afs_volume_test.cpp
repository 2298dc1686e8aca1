// Mount of AFS volumes laid out by the independent volume writer: the FAT
// scan, the format and fresh-header paths, arguments and flags, hostile
// headers and FATs, FAT-page trimming, and the volume's own chunk allocator.
#include <gtest/gtest.h>

#include "flash/afs/AfsFtl.h"
#include "flash/afs_test_mount.h"

namespace tarn_test {
namespace {

TEST(AfsMount, ScanFindsSizesChunksZombiesAndShortChains) {
  AfsVolumeWriter w(kSmallPartition, 1024);
  const AfsGeometry g = w.geometry();
  w.add_file(3, pattern(130, 3)).set_entry(4, 0xFFFF).set_entry(5, 0xFFFE).add_file(6, pattern(64, 6)).set_entry(1023, 0xFFFE);
  // File 7: a chain whose last chunk has a free entry holds 64 + 0 bytes.
  w.add_file(7, pattern(128, 7), {200, 201}).set_entry(g.chunk_id(201), 0);
  Bytes image = w.build();
  AfsMount m(image);
  ASSERT_EQ(m.mount(), 0u);
  EXPECT_EQ(m.ctx.num_chunks, g.num_chunks);
  EXPECT_EQ(m.ctx.fat_size, g.fat_size);
  const uint32_t sizes[] = {130, 0, AFS_NO_FILE_SIZE, 64, 64, AFS_NO_FILE_SIZE};
  for (uint32_t f = 3; f <= 8; ++f) EXPECT_EQ(m.ctx.file_size_table[f], sizes[f - 3]) << f;
  EXPECT_EQ(m.read(7), pattern(64, 7));
  for (uint32_t c = 0; c <= g.num_chunks; ++c) EXPECT_EQ(m.bit(c), c <= 3 || c == 200 || c == 201) << c;
  // Zombies are reset; the last one's page is still only in the cache, and
  // mounting the same context on another volume drops it unwritten.
  for (cid_t zombie : {5, 1023}) {
    cid_t entry = 1;
    ASSERT_EQ(afs_get_next_cid(&m.ctx, zombie, &entry), 0u);
    EXPECT_EQ(entry, 0);
  }
  Bytes other = AfsVolumeWriter(kSmallPartition, 1024).add_file(5, pattern(10, 5)).build();
  ASSERT_EQ(afs_init(&m.ctx, other.data(), 64, 10, 1024, 0, kSmallPartition, kDfsMountFlags, AFS_SKU_INVALID,
                     AFS_PROJECT_NUMBER_INVALID), 0u);
  EXPECT_EQ(AfsVolumeReader(other, kSmallPartition).file(5).data, pattern(10, 5));
}

TEST(AfsMount, FormatAndFreshHeaderGiveAVolumeTheNextMountAccepts) {
  // A formatted FTL without a header mounts only with a fresh-header flag.
  FtlImageBuilder b(FtlGeometry::for_partition(kSmallPartition, AfsGeometry::for_partition(kSmallPartition, 1024).fat_size));
  Bytes blank = b.format().image();
  EXPECT_EQ(AfsMount(blank).mount(), 5u);
  EXPECT_EQ(AfsMount(blank).mount(kDfsMountFlags | 0x10), 0u);
  EXPECT_EQ(AfsMount(blank).mount(), 0u);

  for (uint32_t partition : {0x8000u, 0x18000u, 0x30000u, 0x100000u, 0x1FE000u}) {
    for (uint32_t files : {65u, 1024u, 2048u}) {
      SCOPED_TRACE(testing::Message() << partition << " " << files);
      Bytes image(partition, 0x5A);  // neither erased nor formatted
      AfsMount m(image, partition);
      ASSERT_EQ(afs_init(&m.ctx, image.data(), 64, 10, files, 0, partition, kFormatFlags, AFS_SKU_TEST,
                         AFS_PROJECT_NUMBER_ZEV), 0u);
      const AfsVolumeReader r(image, partition);
      EXPECT_EQ(r.version(), 30u | 1u << 8);  // SKU in bits 0-7, project in bits 8-19
      EXPECT_EQ(r.geometry().flash_size, AfsGeometry::for_partition(partition, files).flash_size);
      EXPECT_EQ(r.geometry().num_files, files);
      ASSERT_EQ(m.mount(kDfsMountFlags, 100), 0u);
      ASSERT_EQ(m.write(files - 1, 0, pattern(200, 1)), 0u);
      EXPECT_EQ(m.reader().file(files - 1).data, pattern(200, 1));
    }
  }
}

TEST(AfsMount, ArgumentsAndFlagsAreChecked) {
  Bytes image = AfsVolumeWriter(kSmallPartition, 1024).add_file(2, pattern(300, 2)).build();
  const uint32_t f = kDfsMountFlags;
  struct {
    uint32_t page, entries, files, partition, flags, expected;
  } const cases[] = {
      {32, 10, 1024, 0x8000, f, 22},       {128, 10, 1024, 0x8000, f, 22},    {64, 1, 1024, 0x8000, f, 22},
      {64, 1001, 1024, 0x8000, f, 22},     {64, 10, 64, 0x8000, f, 22},       {64, 10, 2049, 0x8000, f, 22},
      {64, 10, 1024, 0x7FFF, f, 22},       {64, 10, 1024, 0x200001, f, 22},   {64, 10, 1024, 0x8000, f & ~4u, 22},
      {64, 10, 1024, 0x8000, f | 2, 22},   {64, 10, 1024, 0x8000, f & ~0x20u, 22},
      {64, 10, 1024, 0x8000, f | 0x100, 5},  // a forced format needs a format flag
      {64, 10, 1024, 0x8000, f | 0xC0, 0},   // zeroes the context, preloads the cache
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.page << " " << c.entries << " " << c.files << " " << c.partition << " "
                                    << c.flags);
    AfsMount m(image);
    EXPECT_EQ(afs_init(&m.ctx, image.data(), c.page, c.entries, c.files, 0, c.partition, c.flags, AFS_SKU_INVALID,
                       AFS_PROJECT_NUMBER_INVALID), c.expected);
    const bool cache_ok = c.page == 64 && c.entries >= 2 && c.entries <= 1000;
    EXPECT_EQ(afs_setcache(&m.ctx, c.page, c.entries), cache_ok ? 0u : 22u);
    EXPECT_EQ(m.read(2), c.expected == 0 ? pattern(300, 2) : Bytes{});  // the staging buffer is kept
  }
  // Without the chunk bitmap (0x8) only size and read are served; without a
  // size table nothing is scanned, so a cycle (file 8) is met only by a walk.
  const uint16_t c50 = static_cast<uint16_t>(AfsGeometry::for_partition(kSmallPartition, 1024).chunk_id(50));
  Bytes cyclic = AfsVolumeWriter(kSmallPartition, 1024).add_file(2, pattern(300, 2)).set_entry(c50, c50).set_entry(8, c50).build();
  EXPECT_EQ(AfsMount(cyclic).mount(f | 0x8), 5u);
  AfsMount m(cyclic);
  ASSERT_EQ(m.mount(0x20024 | 0x8), 0u);
  EXPECT_EQ(m.ctx.chunk_state, nullptr);
  EXPECT_EQ(m.size(2), 300u);
  EXPECT_EQ(m.read(2), pattern(300, 2));
  uint32_t size = 0;
  EXPECT_EQ(afs_getfilesize(&m.ctx, 8, &size), 5u);
  EXPECT_EQ(m.write(2, 0, pattern(10, 1)), 22u);
  EXPECT_EQ(afs_deletefile(&m.ctx, 2), 22u);
}

TEST(AfsMount, HostileHeadersAndFatsAreRefused) {
  const AfsGeometry g = AfsGeometry::for_partition(kSmallPartition, 1024);
  const uint16_t first = static_cast<uint16_t>(g.chunk_id(0)), past = static_cast<uint16_t>(g.chunk_id(g.num_chunks));
  struct {
    const char* what;
    uint32_t flash_size, num_files, index;
    uint16_t value;
  } const cases[] = {
      {"64 files", g.flash_size, 64, 0, 0},         {"2049 files", g.flash_size, 2049, 0, 0},
      {"no room for the FAT", 2 * 1024 + 13, 1024, 0, 0},
      {"FAT larger than the volume", 2 * 1024 + 14 + 10, 1024, 0, 0},
      {"more chunks than the partition", g.flash_size + 66, 1024, 0, 0},
      {"file entry holding a count", g.flash_size, 1024, 9, 64},
      {"file entry naming a file", g.flash_size, 1024, 9, 1023},
      {"file entry past the chunks", g.flash_size, 1024, 9, past},
      {"chunk entry 0xFFFF", g.flash_size, 1024, first, 0xFFFF},
      {"chunk entry 65", g.flash_size, 1024, first, 65}, {"cycle", g.flash_size, 1024, first + 1u, first},
      // File 10 starts inside file 9's chain: deleting either would free
      // the other's chunks.
      {"chains that meet", g.flash_size, 1024, 10, static_cast<uint16_t>(first + 1)},
  };
  for (const auto& c : cases) {
    AfsVolumeWriter w(kSmallPartition, 1024);
    w.add_file(9, pattern(130, 9)).set_header(c.flash_size, c.num_files).set_entry(5, 0xFFFE);
    if (c.index != 0) w.set_entry(c.index, c.value);
    Bytes image = w.build();
    const Bytes before = image;
    AfsMount m(image);
    EXPECT_EQ(m.mount(), 5u) << c.what;
    EXPECT_EQ(image, before) << c.what;  // not even the zombie's reset is written
    EXPECT_EQ(m.write(9, 0, pattern(10, 1)), 22u) << c.what;  // a failed mount serves nothing
  }
}

// A mount accepts a volume whose empty page-mapped EUs carry lower mapping
// counters than the EU that holds the FAT pages (no device leaves that
// order). Writes that fill the FAT write head's EU must still survive a
// remount, where the copy in the EU with the larger counter wins; in device
// order the head moves into the next empty EU without a new header.
TEST(AfsWrite, ReportedWritesSurviveARemountWhateverTheCounterOrder) {
  constexpr uint32_t kPartition = 0x80000;  // 64 EUs, 5 of them page-mapped
  const AfsGeometry g = AfsGeometry::for_partition(kPartition, 100);
  const struct {
    const char* what;
    bool out_of_order;
    uint32_t files, size;
  } cases[] = {
      {"device order, 12 files of 32 KiB", false, 12, 0x8000},
      {"counters out of order, 12 files of 32 KiB", true, 12, 0x8000},
      {"counters out of order, one file of 256 KiB", true, 1, 0x40000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FtlImageBuilder b(FtlGeometry::for_partition(kPartition, g.fat_size));
    b.image() = AfsVolumeWriter(kPartition, 100).add_file(3, pattern(200, 3)).build();
    const uint32_t spare = b.eu_count() - 1;
    if (c.out_of_order) {
      // EU 0 holds the FAT; EUs 1 to 4 are empty with counters 2 to 5.
      EuHeader h;
      h.eumc = b.eu_count() + 6;
      h.euspare = static_cast<uint16_t>(spare);
      b.header(0, h);
    }
    const FtlImageBuilder before = b;
    AfsMount m(b.image(), kPartition);
    ASSERT_EQ(m.mount(kDfsMountFlags, 100), 0u);
    std::map<uint32_t, AfsFileContent> written = AfsVolumeReader(b.image(), kPartition).files();
    bool head_moved = false;
    for (uint32_t f = 20; f < 20 + c.files; ++f) {
      const uint32_t head = m.ctx.ftl_context->current_page_mapped_eu;
      ASSERT_EQ(m.write(f, 0, pattern(c.size, f)), 0u) << f;
      head_moved = head_moved || m.ctx.ftl_context->current_page_mapped_eu != head;
      written[f] = AfsFileContent{AfsFileState::kData, pattern(c.size, f), {}};
    }
    ASSERT_TRUE(head_moved);
    const uint32_t head = m.ctx.ftl_context->current_page_mapped_eu;
    // In device order the head simply moves on into EU 1; out of order it is
    // given a fresh header (a counter above EU 0's) through the spare.
    EXPECT_EQ(head == 1, !c.out_of_order);
    if (!c.out_of_order) {
      for (uint32_t eu = 1; eu < 5; ++eu) EXPECT_EQ(b.header_bytes(eu), before.header_bytes(eu)) << eu;
    } else {
      EXPECT_GT(b.read_u32(head, ftl_layout::kEumcOffset), b.eu_count() + 6);
    }
    EXPECT_EQ(AfsVolumeReader(b.image(), kPartition).files(), written);
    AfsMount again(b.image(), kPartition);
    ASSERT_EQ(again.mount(kDfsMountFlags, 100), 0u);
    expect_library_reads(again, written);
  }
}

TEST(AfsMount, FatPagesHoldingOnlyFreeChunksAreTrimmed) {
  AfsVolumeWriter w(kSmallPartition, 65);
  const AfsGeometry g = w.geometry();
  // Stale entries of free chunks in every FAT page, one file in the middle.
  for (uint32_t c = 0; c < g.num_chunks; ++c) w.set_entry(g.chunk_id(c), 0x1234);
  w.add_file(0, pattern(64, 0), {100});
  Bytes image = w.build();
  AfsMount m(image);
  ASSERT_EQ(m.mount(kDfsMountFlags, 65), 0u);
  const uint32_t first_chunk_page = afs_layout::entry_offset(65) / 64, pages = g.fat_size / 64;
  const uint32_t used_page = afs_layout::entry_offset(g.chunk_id(100)) / 64;
  for (uint32_t p = first_chunk_page; p < pages; ++p) {
    const bool kept = p == first_chunk_page || p == used_page || p == pages - 1;
    EXPECT_EQ(m.ctx.ftl_context->page_info[p].page_num != 0xFF, kept) << p;
  }
  EXPECT_EQ(m.read(0), pattern(64, 0));
}

TEST(AfsMount, TheAllocatorBeforeTheHandOverTakesFreeChunksInTurn) {
  AfsVolumeWriter w(kSmallPartition, 1024);
  const AfsGeometry g = w.geometry();
  w.add_file(3, pattern(130, 3)).add_file(5, pattern(100, 5), {240, 241});  // chunks 0-2, 240-241
  Bytes image = w.build();
  AfsMount m(image);
  ASSERT_EQ(m.mount(), 0u);
  m.ctx.chunk_allocation_handed_over = 0;  // the volume allocates from its own bitmap
  m.ctx.allocate_chunk_start_from = 239;
  const Bytes before = image;
  // From 239 past file 5's chunks, wrapping at the end past file 3's.
  cid_t id = 0;
  for (uint32_t chunk : {239u, 242u, 243u, 3u}) {
    ASSERT_EQ(afs_allocate_chunk(&m.ctx, &id), 0u);
    EXPECT_EQ(id, g.chunk_id(chunk));
    EXPECT_TRUE(m.bit(chunk));
  }
  EXPECT_EQ(m.ctx.allocate_chunk_start_from, 4u);
  EXPECT_EQ(image, before);  // allocating writes nothing

  // Every free chunk once, then 28: nothing is taken or written.
  const uint32_t free_chunks = g.num_chunks - m.bits();
  uint32_t handed = 0;
  while (handed <= free_chunks && afs_allocate_chunk(&m.ctx, &id) == 0) ++handed;
  EXPECT_EQ(handed, free_chunks);
  EXPECT_EQ(m.bits(), g.num_chunks);
  const uint32_t start = m.ctx.allocate_chunk_start_from;
  const Bytes full = image;
  EXPECT_EQ(afs_allocate_chunk(&m.ctx, &id), 28u);
  EXPECT_EQ(m.write(3, 0, pattern(10, 9)), 28u);
  EXPECT_EQ(m.ctx.allocate_chunk_start_from, start);
  EXPECT_EQ(image, full);
  EXPECT_EQ(m.reader().files(), AfsVolumeReader(before, kSmallPartition).files());
  EXPECT_EQ(m.read(3), pattern(130, 3));
}

}  // namespace
}  // namespace tarn_test
