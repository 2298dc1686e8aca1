// An AFS volume mounted the way the dispatcher mounts it, over an image held
// by the test, with helpers that read files back through the library.
#ifndef TARN_TESTS_FLASH_AFS_TEST_MOUNT_H
#define TARN_TESTS_FLASH_AFS_TEST_MOUNT_H

#include <cstdint>
#include <vector>

#include "flash/afs/AfsFile.h"
#include "flash/afs/AfsVolume.h"
#include "support/afs_volume_image.h"

namespace tarn_test {

constexpr uint32_t kSmallPartition = 0x8000;  // 4 EUs: 244 chunks
constexpr uint32_t kDfsMountFlags = 0x20025;  // size table, FTL-backed, mount the FTL, bind
// Formats and writes a fresh header on any image.
constexpr uint32_t kFormatFlags = kDfsMountFlags | 0x10 | 0x80000;

struct AfsMount {
  Bytes& image;
  uint32_t partition;
  afs_context_t ctx{};
  std::vector<uint8_t> staging = std::vector<uint8_t>(AFS_LOCAL_BUF_SIZE);

  explicit AfsMount(Bytes& img, uint32_t partition_size = kSmallPartition)
      : image(img), partition(partition_size) {
    ctx.afs_local_buf = staging.data();
  }
  ~AfsMount() { afs_free_context(&ctx); }
  AfsMount(const AfsMount&) = delete;
  AfsMount& operator=(const AfsMount&) = delete;

  uint32_t mount(uint32_t flags = kDfsMountFlags, uint32_t files = 1024) {
    return afs_init(&ctx, image.data(), 64, 10, files, 0, partition, flags, AFS_SKU_INVALID,
                    AFS_PROJECT_NUMBER_INVALID);
  }
  uint32_t write(uint32_t f, uint32_t pos, const Bytes& data, uint32_t flags = 0) {
    return afs_writefile(&ctx, static_cast<int32_t>(f), pos, static_cast<uint32_t>(data.size()),
                         const_cast<uint8_t*>(data.data()), flags);
  }
  // The whole file through afs_readfile (empty when it fails).
  Bytes read(uint32_t f, uint32_t pos = 0, uint32_t want = 0x40000) {
    Bytes out(want);
    uint32_t n = want;
    if (afs_readfile(&ctx, static_cast<int32_t>(f), pos, &n, out.data()) != 0) return {};
    out.resize(n);
    return out;
  }
  AfsVolumeReader reader() const { return AfsVolumeReader(image, partition); }
};

// `n` bytes of a pattern that differs per seed.
inline Bytes pattern(uint32_t n, uint32_t seed) {
  Bytes b(n);
  for (uint32_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed * 13 + (i >> 8)) | 1);
  return b;
}

}  // namespace tarn_test

#endif  // TARN_TESTS_FLASH_AFS_TEST_MOUNT_H
