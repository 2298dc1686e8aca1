// Host sessions for the end-to-end tests: the host's buffers, built with the
// independent builders of tests/support, the configuration record made from
// them, and the reports the host's callback receives. The library is driven
// through its exported entry points only.
#ifndef TARN_TESTS_STORAGELIB_SESSION_FIXTURE_H
#define TARN_TESTS_STORAGELIB_SESSION_FIXTURE_H

#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kymfs_fixture.h"
#include "support/afs_volume_image.h"
#include "support/efs_region.h"
#include "support/fcs_buffer_writer.h"
#include "support/host_config.h"
#include "support/qelc_partition_builder.h"

namespace kymfs_test {

using tarn_test::Bytes;
using tarn_test::FcsRecord;

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

constexpr uint16_t kOverridable = 1;

// More files of the session file table: an EFS variable, the deploy marker,
// integrity-protected ones (40 and 56 bytes of blob metadata), one whose DFS
// number is 0 (no VFS file) and an encrypted one. kSku has an EFS geometry
// (2 block managers, 7 data blocks, 3 spares); kSkuWithoutEfs has none.
constexpr uint32_t kFileX = 0x10000106, kFileDeploy = 0x10000107, kFileI = 0x10000108,
                   kFileK = 0x10000109, kFileZ = 0x0000010A, kFileC = 0x1000010B;
constexpr uint16_t kAttributesI = 0x0001, kAttributesK = 0x0041, kAttributesC = 0x0002;
constexpr uint32_t kSkuWithoutEfs = kSku + 1;
// Numbers of the VFS files in their medium.
constexpr uint16_t kAfsNumberA = 0x21, kAfsNumberAB = 0x22, kAfsNumberN = 0x23, kAfsNumberE = 0x24,
                   kAfsNumberI = 0x26, kAfsNumberK = 0x27, kAfsNumberC = 0x28,
                   kAfsNumberDeploy = 0x30, kEfsNumberX = 1;
constexpr size_t kEfsRegionSize = (2 + 7 + 3) * 4096;

// The defaults: two overridable variables with a value, one without, and one
// the host may not change.
inline std::vector<FcsRecord> defaultRecords() {
  return {{"/home/a", kFileA, kOverridable, text("aaaa")},
          {"/home/a.b", kFileAB, kOverridable, text("secret")},
          {"/home/e", kFileE, kOverridable, {}},
          {"/home/n", kFileN, 0, text("nn")}};
}

inline Bytes sessionFileTable() {
  const auto file = [](const char* name, uint32_t fileno, uint16_t attributes, uint32_t max,
                       uint16_t number, uint8_t subMedia = 0) {
    tarn_test::FtblFile f = tarn_test::ftbl_file(name, fileno, attributes, max);
    f.media_type_fileno = number;
    f.sub_media_type = subMedia;
    return f;
  };
  const std::vector<tarn_test::FtblFile> files = {
      file("/home/a", kFileA, 0, 8, kAfsNumberA),
      file("/home/a.b", kFileAB, kAttributesAB, 16, kAfsNumberAB),
      file("/home/n", kFileN, 0, 8, kAfsNumberN),
      file("/home/e", kFileE, 0, 8, kAfsNumberE),
      file("/home/x", kFileX, 0, 32, kEfsNumberX, 2),
      file("/home/mca/deploy", kFileDeploy, 0, 8, kAfsNumberDeploy),
      file("/home/i", kFileI, kAttributesI, 64, kAfsNumberI),
      file("/home/k", kFileK, kAttributesK, 64, kAfsNumberK),
      file("/home/z", kFileZ, 0, 8, 0),
      file("/home/c", kFileC, kAttributesC, 8, kAfsNumberC)};
  tarn_test::EfstSku efs;
  efs.sku = kSku;
  efs.files = {tarn_test::efst_file(kEfsNumberX, 0, 0, 64)};
  return tarn_test::FileTableBuilder().sku({kSku, files}).sku({kSkuWithoutEfs, files}).efs(efs).build();
}

inline tarn_test::EfsGeo efsGeo() {
  tarn_test::EfsGeo g;
  g.sku = static_cast<uint16_t>(kSku);
  return g;
}

// A formatted EFS region of kSku's geometry whose file "/home/x" holds `x`.
inline Bytes efsRegion(const Bytes& x) {
  tarn_test::EfsRegion region(efsGeo());
  region.format({{0, 0}});
  Bytes area = region.empty_area(0);
  tarn_test::EfsRegion::put_piece(area, 0, static_cast<uint16_t>(x.size()), 0, x.data(), x.size());
  region.area(0, area);
  return region.bytes;
}

// One host image: every buffer the host hands over, and the SKU.
struct HostImage {
  Bytes ftbl = sessionFileTable(), defaults = tarn_test::write_fcs_buffer_by_name(defaultRecords());
  Bytes qelc, mfs, efs;
  uint32_t sku = kSku;

  void overrides(const std::vector<FcsRecord>& records) {
    tarn_test::QelcPartition p;
    p.fcs = tarn_test::write_fcs_buffer_by_name(records);
    qelc = p.build();
  }

};

constexpr uint32_t kMfsSize = 0x10000;

inline Bytes fill(size_t n, uint8_t first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

inline std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The VFS as the device left it: a deployed marker, a file for every
// variable, "/home/x" in the EFS.
struct Vfs {
  std::map<uint16_t, Bytes> afs = {
      {kAfsNumberDeploy, text("1")},  {kAfsNumberA, text("vfs-a")},   {kAfsNumberAB, fill(60, 0x40)},
      {kAfsNumberC, text("ENCRYPTED")}, {kAfsNumberE, text("vfs-e")}, {kAfsNumberI, fill(100, 0x10)},
      {kAfsNumberK, fill(56, 0x80)},  {kAfsNumberN, text("vfs-n")}};

  HostImage image() const {
    HostImage image;
    tarn_test::AfsVolumeWriter writer(kMfsSize, 128);
    for (const auto& f : afs) writer.add_file(f.first, f.second);
    image.mfs = writer.build();
    image.efs = efsRegion(text("efs-x"));
    image.defaults = tarn_test::write_fcs_buffer_by_name(
        {{"/home/a", kFileA, kOverridable, text("aaaa")}, {"/home/a.b", kFileAB, kOverridable, text("secret")},
         {"/home/c", kFileC, kOverridable, text("plain")}, {"/home/e", kFileE, kOverridable, {}},
         {"/home/i", kFileI, kOverridable, text("iiii")},  {"/home/k", kFileK, kOverridable, text("kkkk")},
         {"/home/n", kFileN, 0, text("nn")},               {"/home/x", kFileX, kOverridable, text("xx")}});
    return image;
  }
};

inline Bytes afsFile(const HostImage& image, uint16_t number) {
  return tarn_test::AfsVolumeReader(image.mfs, kMfsSize).file(number).data;
}

inline Bytes efsFileX(const HostImage& image) {
  Bytes out;
  const tarn_test::EfsView view = tarn_test::efs_view(image.efs, efsGeo());
  EXPECT_EQ(tarn_test::efs_read_file(image.efs, efsGeo(), view, {0, 0}, &out), tarn_test::EfsFileState::kPresent);
  return out;
}

// Starts the library on the image's buffers.
inline bool startSession(HostImage& image, TarnStatusCallback callback) {
  ModQelStorageLibConfig c =
      tarn_test::host_config(image.defaults, image.qelc, image.ftbl, image.sku, image.mfs, image.efs);
  return kyMfsTarnInit(c, callback);
}

// Resizes a current value and fills it with `value`; false when the resize
// is refused.
inline bool setValue(const char* path, const char* value) {
  U8* data = nullptr;
  const U32 size = static_cast<U32>(std::strlen(value));
  if (!kyMfsNvarResize(path, &data, size)) return false;
  std::memcpy(data, value, size);
  return true;
}

// Every VFS file of a Vfs image as the independent readers find it: the AFS
// files by number, the EFS file as 0xFFFF. A file they cannot read whole
// fails the test.
inline std::map<uint16_t, Bytes> vfsFiles(const HostImage& image) {
  std::map<uint16_t, Bytes> files;
  const tarn_test::AfsVolumeReader mfs(image.mfs, kMfsSize);
  EXPECT_TRUE(mfs.ok());
  for (const auto& f : Vfs().afs) {
    const tarn_test::AfsFileContent content = mfs.file(f.first);
    EXPECT_EQ(tarn_test::AfsFileState::kData, content.state) << "AFS file " << f.first;
    files[f.first] = content.data;
  }
  Bytes x;
  const tarn_test::EfsView view = tarn_test::efs_view(image.efs, efsGeo());
  EXPECT_EQ(tarn_test::EfsFileState::kPresent, tarn_test::efs_read_file(image.efs, efsGeo(), view, {0, 0}, &x));
  files[0xFFFF] = x;
  return files;
}

// Every session test ends with the library shut down and the reports cleared.
class SessionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (kyFcsIsInitialized()) kyMfsNvarTerm(false);
    hostReports().clear();
  }

  static bool start(HostImage& image) {
    hostReports().clear();
    return startSession(image, captureReport);
  }

  // The value of a variable, or "<none>" when it cannot be read.
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

  // The last `n` reports (all of them when fewer came).
  static std::vector<HostReport> lastReports(size_t n) {
    const std::vector<HostReport>& r = hostReports();
    return std::vector<HostReport>(r.end() - static_cast<std::ptrdiff_t>(n < r.size() ? n : r.size()), r.end());
  }

  const std::vector<HostReport>& reports() const { return hostReports(); }
};

}  // namespace kymfs_test

#endif  // TARN_TESTS_STORAGELIB_SESSION_FIXTURE_H
