// A test volume: an FTL image made by the independent image builder and an
// AFS context that describes it, ready to be mounted by the library's FTL.
#ifndef TARN_TESTS_FLASH_FTL_TEST_VOLUME_H
#define TARN_TESTS_FLASH_FTL_TEST_VOLUME_H

#include <cstdint>
#include <vector>

#include "flash/afs/AfsFtl.h"
#include "support/ftl_image_builder.h"

namespace tarn_test {

constexpr uint32_t kMountFlags = FTL_INIT_ALLOCATE | FTL_INIT_BIND_IMAGE;

struct TestVolume {
  FtlImageBuilder b;
  afs_context_t ctx{};
  std::vector<uint32_t> bitmap;

  explicit TestVolume(uint32_t partition_size, uint32_t fat_size = 640, uint32_t index = 0)
      : b(FtlGeometry::for_partition(partition_size, fat_size, index)) {}
  explicit TestVolume(const FtlGeometry& geometry) : b(geometry) {}
  ~TestVolume() { afs_physical_ftl_release(&ctx); }
  TestVolume(const TestVolume&) = delete;
  TestVolume& operator=(const TestVolume&) = delete;

  // Describes the builder's volume in the context and binds its image as the
  // flash (used in place).
  void describe() {
    const FtlGeometry& g = b.geometry();
    ctx.fat_size = g.fat_size;
    ctx.afs_logical_size = g.logical_size;
    ctx.afs_partition_size = g.partition_size;
    ctx.afs_partition_index = g.partition_index;
    ctx.num_chunks = static_cast<uint16_t>(g.chunk_count());
    ctx.afs_tools_context = b.image().data();
    SpiFlashDrvInitialize(b.image().data());
    bitmap.assign(ctx.num_chunks / 32 + 1, 0);
    ctx.chunk_state = bitmap.data();
  }
  uint32_t mount(uint32_t flags = kMountFlags) {
    describe();
    return afs_physical_ftl_init(&ctx, b.geometry().partition_size, flags);
  }
  void allocate(uint32_t chunk) { bitmap[chunk / 32] |= 1u << (chunk % 32); }
  uint32_t hand_over() { return afs_physical_ftl_set_allocation_map(&ctx); }
  // Puts each of `chunks` (page_pattern data, committed) into its EU through
  // the builder, mounts, and hands over with them allocated.
  uint32_t ready(const std::vector<uint32_t>& chunks) {
    for (uint32_t c : chunks)
      b.put_chunk(static_cast<uint32_t>(b.eu_of_chunk(c)), c, page_pattern(static_cast<uint16_t>(c)));
    const uint32_t status = mount();
    if (status != 0) return status;
    for (uint32_t c : chunks) allocate(c);
    return hand_over();
  }

  ftl_context_t& ftl() { return *ctx.ftl_context; }
  eu_info_t& eu(uint32_t i) { return ctx.ftl_context->eu_info[i]; }
  ftl_physical_page_info_t& page(uint32_t id) { return ctx.ftl_context->page_info[id]; }
  uint32_t eu_of_chunk(uint32_t chunk) {
    uint32_t eu = 0xDEAD;
    return eu_from_chunk_index(&ctx, static_cast<cid_t>(chunk), &eu) == 0 ? eu : 0xFFFFFFFF;
  }
  // Rewrites EU i's header with the fields as stored and `change` applied.
  template <typename F>
  void rewrite_header(uint32_t i, F change) {
    EuHeader h;
    h.sig = b.read_u32(i, ftl_layout::kSigOffset);
    h.eumc = b.read_u32(i, ftl_layout::kEumcOffset);
    h.euec = b.read_u32(i, ftl_layout::kEuecOffset);
    h.euspare = b.read_u16(i, ftl_layout::kEusparOffset);
    h.euva = b.read_u16(i, ftl_layout::kEuvaOffset);
    h.commit = b.read_u8(i, ftl_layout::kEucommitOffset);
    change(h);
    b.header(i, h);
  }
};

// An ftl_page_t holding `data`, with its CRC under `logical_id`.
inline ftl_page_t make_page(const PageData& data, uint16_t logical_id) {
  ftl_page_t p;
  for (uint32_t i = 0; i < 64; ++i) p.pageData[i] = data[i];
  p.pageCrc = ftl_crc16(data.data(), 64, logical_id);
  return p;
}

}  // namespace tarn_test

#endif  // TARN_TESTS_FLASH_FTL_TEST_VOLUME_H
