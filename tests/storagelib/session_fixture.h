// Host sessions for the end-to-end tests: the host's buffers, built with the
// independent builders of tests/support, the configuration record made from
// them, and the reports the host's callback receives. The library is driven
// through its exported entry points only.
#ifndef TARN_TESTS_STORAGELIB_SESSION_FIXTURE_H
#define TARN_TESTS_STORAGELIB_SESSION_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kymfs_fixture.h"
#include "support/fcs_buffer_writer.h"
#include "support/file_table_builder.h"
#include "support/qelc_partition_builder.h"
#include "tarnstoragelib.h"

namespace kymfs_test {

using tarn_test::Bytes;
using tarn_test::FcsRecord;

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

constexpr uint16_t kOverridable = 1;

// The defaults of the test file table: two overridable variables with a
// value, one without, and one the host may not change.
inline std::vector<FcsRecord> defaultRecords() {
  return {{"/home/a", kFileA, kOverridable, text("aaaa")},
          {"/home/a.b", kFileAB, kOverridable, text("secret")},
          {"/home/e", kFileE, kOverridable, {}},
          {"/home/n", kFileN, 0, text("nn")}};
}

// VFS files of the session file table besides the variables' own: an EFS
// variable and the deploy marker. kSku has an EFS geometry, kSkuWithoutEfs
// the same files and none.
constexpr uint32_t kFileX = 0x10000106;       // "/home/x", EFS file 1, max 32
constexpr uint32_t kFileDeploy = 0x10000107;  // "/home/mca/deploy"
constexpr uint32_t kFileI = 0x10000108;  // "/home/i", integrity protected: 40 bytes of metadata
constexpr uint32_t kFileK = 0x10000109;  // "/home/k", with the unlock key: 56 bytes
constexpr uint32_t kFileZ = 0x0000010A;  // "/home/z", DFS number 0: no VFS file
constexpr uint32_t kFileC = 0x1000010B;  // "/home/c", encrypted
constexpr uint16_t kAttributesI = 0x0001, kAttributesK = 0x0041, kAttributesC = 0x0002;
constexpr uint32_t kSkuWithoutEfs = kSku + 1;
constexpr uint16_t kAfsNumberA = 0x21, kAfsNumberAB = 0x22, kAfsNumberN = 0x23,
                   kAfsNumberE = 0x24, kAfsNumberI = 0x26,
                   kAfsNumberK = 0x27, kAfsNumberC = 0x28, kAfsNumberDeploy = 0x30;
constexpr uint16_t kEfsNumberX = 1;
// Bytes of the EFS region of kSku's geometry: 2 block managers, 7 data
// blocks and 3 spares of 4096 bytes.
constexpr size_t kEfsRegionSize = (2 + 7 + 3) * 4096;

inline tarn_test::FtblFile vfsFile(const std::string& name, uint32_t fileno, uint16_t attributes,
                                   uint32_t max, uint16_t number, uint8_t subMedia = 0) {
  tarn_test::FtblFile f = tarn_test::ftbl_file(name, fileno, attributes, max);
  f.media_type_fileno = number;
  f.sub_media_type = subMedia;
  return f;
}

inline Bytes sessionFileTable() {
  const std::vector<tarn_test::FtblFile> files = {
      vfsFile("/home/a", kFileA, 0, 8, kAfsNumberA),
      vfsFile("/home/a.b", kFileAB, kAttributesAB, 16, kAfsNumberAB),
      vfsFile("/home/n", kFileN, 0, 8, kAfsNumberN),
      vfsFile("/home/e", kFileE, 0, 8, kAfsNumberE),
      vfsFile("/home/x", kFileX, 0, 32, kEfsNumberX, 2),
      vfsFile("/home/mca/deploy", kFileDeploy, 0, 8, kAfsNumberDeploy),
      vfsFile("/home/i", kFileI, kAttributesI, 64, kAfsNumberI),
      vfsFile("/home/k", kFileK, kAttributesK, 64, kAfsNumberK),
      vfsFile("/home/z", kFileZ, 0, 8, 0),
      vfsFile("/home/c", kFileC, kAttributesC, 8, kAfsNumberC)};
  tarn_test::EfstSku efs;
  efs.sku = kSku;
  efs.files = {tarn_test::efst_file(kEfsNumberX, 0, 0, 64)};
  return tarn_test::FileTableBuilder()
      .sku({kSku, files})
      .sku({kSkuWithoutEfs, files})
      .efs(efs)
      .build();
}

// One host image: every buffer the host hands over, and the SKU.
struct HostImage {
  Bytes ftbl = sessionFileTable();
  uint32_t sku = kSku;
  Bytes defaults = tarn_test::write_fcs_buffer_by_name(defaultRecords());
  Bytes qelc;
  Bytes mfs;
  Bytes efs;

  void overrides(const std::vector<FcsRecord>& records) {
    tarn_test::QelcPartition p;
    p.fcs = tarn_test::write_fcs_buffer_by_name(records);
    qelc = p.build();
  }

  ModQelStorageLibConfig config() {
    ModQelStorageLibConfig c;
    c.orvanCfgTable = table(defaults);
    c.qelcCfgTable = table(qelc);
    c.mfsTable = table(mfs);
    c.ftblTable.commonData = table(ftbl);
    c.ftblTable.afsSkuId = sku;
    c.efsTable = table(efs);
    return c;
  }

  static CommonTarnTable table(Bytes& b) {
    CommonTarnTable t;
    t.data = b.empty() ? nullptr : reinterpret_cast<char*>(b.data());
    t.size = static_cast<U32>(b.size());
    return t;
  }
};

// Every session test ends with the library shut down and the reports cleared.
class SessionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (kyFcsIsInitialized()) kyMfsNvarTerm(false);
    hostReports().clear();
  }

  bool start(HostImage& image) {
    hostReports().clear();
    ModQelStorageLibConfig config = image.config();
    return kyMfsTarnInit(config, captureReport);
  }

  // The current value of a variable, or "<none>" when it cannot be read.
  static std::string current(const char* path, FcsFileName table = FcsFileNameCurrentsCfg) {
    U8* data = nullptr;
    U32 size = 0;
    if (!kyMfsNvarGet(path, &data, &size, table, nullptr, nullptr)) return "<none>";
    return std::string(reinterpret_cast<const char*>(data), size);
  }

  static Bytes builtOverrides() {
    char* buffer = nullptr;
    U32 size = 0;
    if (!kyMfsGetBuildQelCfgFcsBuffer(&buffer, size)) return {};
    return Bytes(buffer, buffer + size);
  }

  const std::vector<HostReport>& reports() const { return hostReports(); }
};

}  // namespace kymfs_test

#endif  // TARN_TESTS_STORAGELIB_SESSION_FIXTURE_H
