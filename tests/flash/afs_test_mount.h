// An AFS volume mounted the way the dispatcher mounts it, over an image held
// by the test, with helpers that go through the library.
#ifndef TARN_TESTS_FLASH_AFS_TEST_MOUNT_H
#define TARN_TESTS_FLASH_AFS_TEST_MOUNT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "flash/afs/AfsFile.h"
#include "flash/afs/AfsVolume.h"
#include "support/afs_volume_image.h"

namespace tarn_test {

constexpr uint32_t kSmallPartition = 0x8000;  // 4 EUs: 244 chunks
constexpr uint32_t kDfsMountFlags = 0x20025;  // size table, FTL-backed, mount the FTL, bind
constexpr uint32_t kFormatFlags = kDfsMountFlags | 0x10 | 0x80000;  // erase, format, fresh header

// `n` bytes of a pattern that differs per seed.
inline Bytes pattern(uint32_t n, uint32_t seed) {
  Bytes b(n);
  for (uint32_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed * 13 + (i >> 8)) | 1);
  return b;
}

// What a write leaves: the old bytes, zeros up to pos, the new bytes, and
// with truncation nothing after them.
inline Bytes model_write(Bytes old, uint32_t pos, const Bytes& data, bool truncate) {
  if (old.size() < pos + data.size()) old.resize(pos + data.size(), 0);
  std::copy(data.begin(), data.end(), old.begin() + pos);
  if (truncate) old.resize(pos + data.size());
  return old;
}

// The files that write, read and power-cut cases start from.
inline AfsVolumeWriter base_volume() {
  AfsVolumeWriter w(kSmallPartition, 1024);
  w.add_file(1, pattern(300, 1)).add_file(2, pattern(40, 2)).add_file(3, pattern(128, 3)).set_entry(4, 0xFFFF);
  return w;
}

struct AfsMount {
  Bytes& image;
  uint32_t partition;
  afs_context_t ctx{};
  std::vector<uint8_t> staging = std::vector<uint8_t>(AFS_LOCAL_BUF_SIZE);

  explicit AfsMount(Bytes& img, uint32_t size = kSmallPartition) : image(img), partition(size) {
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
  // Up to `want` bytes from pos (empty when the read fails).
  Bytes read(uint32_t f, uint32_t pos = 0, uint32_t want = 0x40000) {
    Bytes out(want);
    const bool ok = afs_readfile(&ctx, static_cast<int32_t>(f), pos, &want, out.data()) == 0;
    out.resize(ok ? want : 0);
    return out;
  }
  // The file's size, or 0xFFFFFFFF when afs_getfilesize fails.
  uint32_t size(uint32_t f) {
    uint32_t n = 0;
    return afs_getfilesize(&ctx, static_cast<int32_t>(f), &n) == 0 ? n : 0xFFFFFFFF;
  }
  bool bit(uint32_t c) const { return (ctx.chunk_state[c / 32] >> (c % 32)) & 1u; }
  uint32_t bits() const {  // chunks marked in the bitmap
    uint32_t n = 0;
    for (uint32_t c = 0; c <= ctx.num_chunks; ++c) n += bit(c);
    return n;
  }
  AfsVolumeReader reader() const { return AfsVolumeReader(image, partition); }
};

// The library agrees with `files` (as the independent reader lists them) on
// every file there: one with data, or an empty one, reads whole and not a
// byte more; any other (a zombie, a broken chain) does not read.
inline void expect_library_reads(AfsMount& m, const std::map<uint32_t, AfsFileContent>& files) {
  for (const auto& f : files) {
    const bool data = f.second.state == AfsFileState::kData || f.second.state == AfsFileState::kEmpty;
    const uint32_t size = static_cast<uint32_t>(f.second.data.size());
    EXPECT_EQ(m.read(f.first, 0, size + 1), data ? f.second.data : Bytes{}) << "file " << f.first;
  }
}

}  // namespace tarn_test

#endif  // TARN_TESTS_FLASH_AFS_TEST_MOUNT_H
