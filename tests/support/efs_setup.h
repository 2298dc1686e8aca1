// Loading an EFS table for a test geometry, and a fixture that mounts a
// region built with EfsRegion in place; shared by the EFS test binaries.
#ifndef TARN_TESTS_SUPPORT_EFS_SETUP_H
#define TARN_TESTS_SUPPORT_EFS_SETUP_H

#include <gtest/gtest.h>

#include "flash/efs/EFS.h"
#include "support/efs_region.h"
#include "support/file_table_builder.h"

namespace tarn_test {

struct EfsTestFile {
  EfsFile at;
  uint16_t max;
};

inline Bytes efs_pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

// A write of `size` bytes to a file whose first piece starts `offset_in_block`
// bytes into its block needs (size + offset_in_block + 4075) / 4072 free
// spare blocks, and is refused with 28 when the region has fewer. The
// smallest size refused with `spares` free spares (0: every size is).
inline uint32_t efs_smallest_refused_write(uint32_t spares, uint32_t offset_in_block) {
  const uint32_t needing_more = (spares + 1) * 4072;  // size + offset_in_block + 4075 from here on
  return needing_more > offset_in_block + 4075 ? needing_more - offset_in_block - 4075 : 0;
}

// The whole file through the library: its status, the bytes in *out.
inline int efs_lib_read(uint32_t fileno, Bytes* out) {
  uint32_t size = 0;
  int status = EFS_get_file_size(fileno, &size);
  out->assign(size, 0);
  if (status == 0 && size != 0) status = EFS_read(fileno, 0, &size, out->data());
  return status;
}

inline int efs_lib_write(uint32_t fileno, Bytes data) {
  data.push_back(0);  // never a null buffer, also for 0 bytes
  return EFS_write(fileno, 0, static_cast<uint32_t>(data.size() - 1), data.data());
}

class EfsTest : public ::testing::Test {
 protected:
  void TearDown() override { efs_ctx.initlized = false; }  // image_ goes away
  // Loads a table (wear-levelling threshold 100) with file i as EFS file i.
  static void load_table(const EfsGeo& g, const std::vector<EfsTestFile>& files) {
    EfstSku s{g.sku, g.bm, g.valid, g.spare, 16, 100, g.layout, {}};
    for (size_t i = 0; i < files.size(); ++i)
      s.files.push_back(efst_file(static_cast<uint16_t>(i), files[i].at.lb, files[i].at.oib, files[i].max));
    Bytes blob = FileTableBuilder().efs(s).build();
    ASSERT_EQ(0, load_autogen_data(reinterpret_cast<char*>(blob.data()), g.sku, static_cast<uint32_t>(blob.size())));
  }
  // Loads the table and formats region_ for it.
  void load(const EfsGeo& g, const std::vector<EfsTestFile>& files) {
    load_table(g, files);
    region_ = EfsRegion(g);
    std::vector<EfsFile> places;
    for (const EfsTestFile& f : files) places.push_back(f.at);
    region_.format(places);
  }
  int mount() {
    image_ = region_.bytes;
    return EFS_init_tools(image_.data());
  }
  EfsRegion region_{EfsGeo{}};
  Bytes image_;
};

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_EFS_SETUP_H
