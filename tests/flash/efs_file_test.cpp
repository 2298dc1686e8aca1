// EFS file operations: the bytes a write leaves, piece boundaries, reads at
// every edge, spare shortage, and the statuses of refused operations.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/efs_setup.h"

using namespace tarn_test;

namespace {

const EfsGeo kGeo{};  // 2 BMs, 7 logical and 3 spare blocks
const std::vector<EfsTestFile> kFiles = {
    {{0, 0}, 3000},     // 0: one piece
    {{1, 100}, 12000},  // 1: up to three pieces, first piece 3972 bytes
    {{0, 3004}, 1068},  // 2: beside file 0, up to the end of the data area
    {{4, 4072}, 5000},  // 3: a first piece without data
    {{6, 0}, 0xFFFF},   // 4: the largest maximum
};

class EfsFiles : public EfsTest {
 protected:
  void SetUp() override {
    load(kGeo, kFiles);
    ASSERT_EQ(0, mount());
  }
};

TEST_F(EfsFiles, WritesAndDeleteLeaveTheIndependentlyBuiltBytes) {
  // File 0 goes to the first free spare (block 7), the old block 0 to slot 0.
  const Bytes small = efs_pattern(10, 1), big = efs_pattern(9000, 2);
  ASSERT_EQ(0, efs_lib_write(0, small));
  EfsRegion expected = region_;
  Bytes area = expected.empty_area(0);
  EfsRegion::put_piece(area, 0, 10, 0, small.data(), small.size());
  expected.area(7, area);
  expected.bme(0, 1, {7, 1, 2, 3, 4, 5, 6, 0, 8, 9});
  ASSERT_TRUE(expected.bytes == image_);

  // Three pieces need three free spares: dirty block 0 is erased (count 2),
  // then blocks 8, 9 and 0 take logical blocks 1, 2 and 3 (lowest count first).
  ASSERT_EQ(0, efs_lib_write(1, big));
  expected.block_header(0, 2);
  const struct {
    uint8_t lb;
    uint32_t block;
    size_t at, from, n;
  } pieces[] = {{2, 9, 0, 3972, 4072}, {3, 0, 0, 8044, 956}, {1, 8, 100, 0, 3972}};
  for (const auto& p : pieces) {
    area = expected.empty_area(p.lb);
    EfsRegion::put_piece(area, p.at, p.lb == 1 ? 9000 : 0xFFFF, p.lb, big.data() + p.from, p.n);
    expected.area(p.block, area);
  }
  expected.bme(0, 2, {7, 8, 9, 0, 4, 5, 6, 3, 1, 2});
  ASSERT_TRUE(expected.bytes == image_);

  // A delete rewrites the first piece's header only, into block 3 (erased
  // first); the continuation pieces stay where they are.
  ASSERT_EQ(0, EFS_delete(1));
  EfsRegion::put_piece(area, 100, 0xFFFF, 1, nullptr, 0);
  expected.block_header(3, 2);
  expected.area(3, area);
  expected.bme(0, 3, {7, 3, 9, 0, 4, 5, 6, 8, 1, 2});
  EXPECT_TRUE(expected.bytes == image_);
}

TEST_F(EfsFiles, PieceBoundariesAndReadEdges) {
  const struct {
    uint32_t fileno, room;  // room = 4072 - Offset_In_Block
    std::vector<uint32_t> sizes;
  } files[] = {{1, 3972, {0, 1, 3971, 3972, 3973, 8044, 8045, 12000}}, {3, 0, {0, 1, 4072, 4073}}};
  for (const auto& f : files) {
    for (uint32_t size : f.sizes) {
      const Bytes data = efs_pattern(size, static_cast<uint8_t>(size));
      const EfsView before = efs_view(image_, kGeo);
      ASSERT_EQ(0, efs_lib_write(f.fileno, data)) << f.fileno << ":" << size;
      const EfsView after = efs_view(image_, kGeo);
      uint32_t moved = 0;  // blocks rewritten: one per piece
      for (uint32_t lb = 0; lb < kGeo.valid; ++lb) moved += before.map[lb] != after.map[lb];
      EXPECT_EQ(size <= f.room ? 1 : 1 + (size - f.room + 4071) / 4072, moved) << f.fileno << ":" << size;
      Bytes out;
      ASSERT_EQ(EfsFileState::kPresent, efs_read_file(image_, kGeo, after, kFiles[f.fileno].at, &out)) << size;
      EXPECT_TRUE(data == out) << f.fileno << ":" << size;

      // Reads from every edge, asking for more than remains.
      for (uint32_t offset : {0u, f.room - (f.room != 0), f.room, f.room + 1, size - (size != 0), size, size + 1}) {
        if (offset > size + 1) continue;
        Bytes buf(5000, 0xEE);
        uint32_t got = 5000;
        const int status = EFS_read(f.fileno, offset, &got, buf.data());
        const uint32_t expect = offset <= size ? std::min<uint32_t>(5000, size - offset) : 0;
        EXPECT_EQ(offset > size && size != 0 ? 34 : 0, status) << size << "@" << offset;
        ASSERT_EQ(expect, got) << size << "@" << offset;
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + got, data.begin() + std::min(offset, size)));
      }
    }
  }
}

TEST_F(EfsFiles, RefusedOperationsChangeNothing) {
  ASSERT_EQ(0, EFS_scan_for_Data_Blocks_status_and_EC());
  Bytes buf(0x10000, 0x5A);
  uint32_t size = 0;
  struct Case {
    const char* name;
    std::function<int()> op;
    int status;
  } cases[] = {
      {"offset 1", [&] { return EFS_write(0, 1, 10, buf.data()); }, 22},
      {"above the maximum", [&] { return EFS_write(0, 0, 3001, buf.data()); }, 34},
      {"0xFFFF bytes", [&] { return EFS_write(4, 0, 0xFFFF, buf.data()); }, 34},
      {"past the last block", [&] { return EFS_write(4, 0, 4073, buf.data()); }, 22},
      {"no such number", [&] { return EFS_write(16, 0, 1, buf.data()); }, 22},
      {"unnamed number", [&] { return EFS_write(5, 0, 1, buf.data()); }, 22},
      {"null buffer", [&] { return EFS_write(0, 0, 1, nullptr); }, 22},
      {"size of absent", [&] { return EFS_get_file_size(0, &size); }, 2},
      {"read of absent", [&] { size = 9; int s = EFS_read(0, 0, &size, buf.data()); return size ? -1 : s; }, 2},
      {"read wraps", [&] { size = 2; int s = EFS_read(0, 0xFFFFFFFFu, &size, buf.data()); return size ? -1 : s; }, 22},
      {"delete absent", [&] { return EFS_delete(1); }, 2},
      {"delete unnamed", [&] { return EFS_delete(7); }, 22},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.status, c.op()) << c.name;
    EXPECT_TRUE(region_.bytes == image_) << c.name;
  }
  // Once the mount has ended nothing reaches the image, also not the calls
  // that work on an unmounted EFS.
  EFS_term_tools();
  EXPECT_EQ(1, EFS_write(0, 0, 1, buf.data()));
  EXPECT_EQ(1, EFS_get_file_size(0, &size));
  EXPECT_EQ(1, EFS_read(0, 0, &size, buf.data()));
  EXPECT_EQ(1, EFS_erase());
  EXPECT_EQ(1, EFS_write_RTFD_marker());
  EXPECT_TRUE(region_.bytes == image_);
}

TEST_F(EfsFiles, WritesNeedingMoreSparesThanExistTouchNothing) {
  // File 1 (Offset_In_Block 100) needs (size + 4175) / 4072 free spares. With
  // one spare it may take 3968 bytes: from 3969 on it needs two, though up to
  // 3972 bytes one piece holds it. Without spares nothing can be written or
  // deleted.
  const EfsGeo geos[] = {{2, 7, 1}, {3, 7, 1}, {4, 7, 2}, {255, 255, 1}, {2, 7, 0}, {3, 7, 0}};
  for (const EfsGeo& g : geos) {
    const std::string name = std::to_string(g.bm) + "/" + std::to_string(g.valid) + "/" + std::to_string(g.spare);
    load(g, kFiles);
    ASSERT_EQ(0, mount()) << name;
    const uint32_t first = efs_smallest_refused_write(g.spare, kFiles[1].at.oib);
    Bytes kept;
    if (g.spare != 0) {
      kept = efs_pattern(first - 1, 1);
      ASSERT_EQ(0, efs_lib_write(1, kept)) << name;
      ASSERT_EQ(0, efs_lib_write(0, efs_pattern(100, 2))) << name;
    }
    const Bytes before = image_;
    for (uint32_t size : {first, first + 3, 9000u, 12000u}) {
      EXPECT_EQ(28, efs_lib_write(1, efs_pattern(size, 3))) << name << " " << size;
      EXPECT_TRUE(before == image_) << name << " " << size;
    }
    if (g.spare == 0) {
      EXPECT_EQ(28, EFS_delete(0)) << name;
      EXPECT_EQ(28, efs_lib_write(0, efs_pattern(5, 1))) << name;
      EXPECT_TRUE(before == image_) << name;
    }
    // The files read as before, by the library and by the independent reader.
    Bytes out, independent;
    EXPECT_EQ(g.spare ? 0 : 2, efs_lib_read(1, &out)) << name;
    const EfsFileState state = efs_read_file(image_, g, efs_view(image_, g), kFiles[1].at, &independent);
    EXPECT_EQ(g.spare ? EfsFileState::kPresent : EfsFileState::kAbsent, state) << name;
    EXPECT_TRUE(kept == out && kept == independent) << name;
  }
}

TEST_F(EfsFiles, DamagedPiecesReadAsCorrupt) {
  ASSERT_EQ(0, efs_lib_write(1, efs_pattern(5000, 3)));
  const uint32_t second = efs_view(image_, kGeo).map[2];
  // Sealed with a sound footer, so that only the piece CRCs tell.
  auto reseal = [&](uint32_t block, size_t at, uint8_t value) {
    image_[kGeo.block_at(block) + 16 + at] = value;
    efs_seal_area(image_, kGeo, block);
  };
  uint32_t size = 5000;
  Bytes buf(5000);
  reseal(second, 10, image_[kGeo.block_at(second) + 26] ^ 1);  // continuation data
  EXPECT_EQ(41, EFS_read(1, 0, &size, buf.data()));
  EXPECT_EQ(0u, size);
  // File 2's absent header, never written: absent in a sound block, corrupt
  // when the footer does not match.
  reseal(0, 3006, 0xFF);
  reseal(0, 3007, 0xFF);
  EXPECT_EQ(2, EFS_get_file_size(2, &size));
  image_[kGeo.block_at(0) + 4092] ^= 1;
  EXPECT_EQ(41, EFS_get_file_size(2, &size));
}

}  // namespace
