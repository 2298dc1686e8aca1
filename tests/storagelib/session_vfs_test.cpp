// Host sessions over an MFS region and an EFS region made by the test
// builders: the deploy marker, the refresh of the current values from the
// VFS files at start-up, their write-back at shutdown checked on the host's
// buffers with the independent readers, and the failures of both passes.
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#include "session_fixture.h"
#include "support/afs_volume_image.h"
#include "support/efs_region.h"

namespace kymfs_test {
namespace {

using tarn_test::AfsVolumeReader;
using tarn_test::AfsVolumeWriter;

constexpr uint32_t kMfsSize = 0x10000;
constexpr uint32_t kAfsFiles = 128;

Bytes fill(size_t n, uint8_t first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

std::vector<FcsRecord> vfsDefaults() {
  return {{"/home/a", kFileA, kOverridable, text("aaaa")},
          {"/home/a.b", kFileAB, kOverridable, text("secret")},
          {"/home/c", kFileC, kOverridable, text("plain")},
          {"/home/e", kFileE, kOverridable, {}},
          {"/home/i", kFileI, kOverridable, text("iiii")},
          {"/home/k", kFileK, kOverridable, text("kkkk")},
          {"/home/n", kFileN, 0, text("nn")},
          {"/home/x", kFileX, kOverridable, text("xx")}};
}

tarn_test::EfsGeo efsGeo() {
  tarn_test::EfsGeo g;
  g.sku = static_cast<uint16_t>(kSku);
  return g;
}

// The VFS as the device left it: a deployed marker, a file for every
// variable, "/home/x" in the EFS.
struct Vfs {
  std::map<uint16_t, Bytes> afs = {{kAfsNumberDeploy, text("1")},
                                   {kAfsNumberA, text("vfs-a")},
                                   {kAfsNumberAB, fill(60, 0x40)},
                                   {kAfsNumberC, text("ENCRYPTED")},
                                   {kAfsNumberE, {}},
                                   {kAfsNumberI, fill(100, 0x10)},
                                   {kAfsNumberK, fill(56, 0x80)},
                                   {kAfsNumberN, text("vfs-n")}};
  Bytes x = text("efs-x");

  void into(HostImage& image) const {
    AfsVolumeWriter writer(kMfsSize, kAfsFiles);
    for (const auto& f : afs) {
      if (f.second.empty()) writer.add_empty(f.first);
      else writer.add_file(f.first, f.second);
    }
    image.mfs = writer.build();
    tarn_test::EfsRegion region(efsGeo());
    region.format({{0, 0}});
    Bytes area = region.empty_area(0);
    tarn_test::EfsRegion::put_piece(area, 0, static_cast<uint16_t>(x.size()), 0, x.data(), x.size());
    region.area(0, area);
    image.efs = region.bytes;
    image.defaults = tarn_test::write_fcs_buffer_by_name(vfsDefaults());
  }
};

Bytes afsFile(const HostImage& image, uint16_t number) {
  return AfsVolumeReader(image.mfs, kMfsSize).file(number).data;
}

Bytes efsFileX(const HostImage& image) {
  Bytes out;
  const tarn_test::EfsView view = tarn_test::efs_view(image.efs, efsGeo());
  EXPECT_EQ(tarn_test::efs_read_file(image.efs, efsGeo(), view, {0, 0}, &out),
            tarn_test::EfsFileState::kPresent);
  return out;
}

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST_F(SessionTest, DeployedVfsRefreshesAndReceivesTheCurrentValues) {
  HostImage image;
  Vfs().into(image);
  ASSERT_TRUE(start(image));
  EXPECT_TRUE(kyMfsIsInitialized());
  EXPECT_TRUE(kyMfsIsVfsDeployed());
  EXPECT_EQ(reports(),
            (std::vector<HostReport>{
                debugReport("Initializing kymfs native API with Tarn configuration."),
                debugReport("VFS file \"/home/a.b\" is encrypted, file will not be read and "
                            "orvan.cfg value will be used."),
                debugReport("VFS file \"/home/c\" is encrypted, file will not be read and "
                            "orvan.cfg value will be used.")}));
  // Values from the VFS files, less the blob metadata; encrypted ones kept.
  EXPECT_EQ(current("a"), "vfs-a");
  EXPECT_EQ(current("a.b"), "secret");
  EXPECT_EQ(current("c"), "plain");
  EXPECT_EQ(current("e"), "");
  EXPECT_EQ(current("i"), str(fill(60, 0x10)));
  EXPECT_EQ(current("k"), "");  // exactly its metadata
  EXPECT_EQ(current("x"), "efs-x");
  U8* data = nullptr;
  U32 size = 0;
  bool updatable = true;
  ASSERT_TRUE(kyMfsNvarGet("i", &data, &size, FcsFileNameCurrentsCfg, &updatable, nullptr));
  EXPECT_FALSE(updatable);
  ASSERT_TRUE(kyMfsNvarGet("a", &data, &size, FcsFileNameCurrentsCfg, &updatable, nullptr));
  EXPECT_TRUE(updatable);

  // Shorter, longer, emptied (in the EFS too) and encrypted values.
  ASSERT_TRUE(kyMfsNvarResize("a", &data, 2));
  ASSERT_TRUE(kyMfsNvarResize("e", &data, 4));
  std::memcpy(data, "eeee", 4);
  ASSERT_TRUE(kyMfsNvarResize("x", &data, 0));
  ASSERT_TRUE(kyMfsNvarResize("c", &data, 1));
  data[0] = 'C';
  hostReports().clear();
  ASSERT_TRUE(kyMfsNvarTerm(true));
  const std::string skipping = "Skipping writing to NVAR because it is a BLOB type: ";
  EXPECT_EQ(std::vector<HostReport>(reports().begin(), reports().begin() + 3),
            (std::vector<HostReport>{debugReport(skipping + "/home/a.b"),
                                     debugReport(skipping + "/home/i"),
                                     debugReport(skipping + "/home/k")}));

  EXPECT_EQ(str(afsFile(image, kAfsNumberA)), "vf");  // the old tail is cut
  EXPECT_EQ(afsFile(image, kAfsNumberAB), fill(60, 0x40));  // integrity protected
  EXPECT_EQ(str(afsFile(image, kAfsNumberC)), "C");  // encrypted: written all the same
  EXPECT_EQ(str(afsFile(image, kAfsNumberE)), "eeee");
  EXPECT_EQ(afsFile(image, kAfsNumberI), fill(100, 0x10));  // never written
  EXPECT_EQ(afsFile(image, kAfsNumberK), fill(56, 0x80));
  EXPECT_EQ(str(afsFile(image, kAfsNumberN)), "vfs-n");
  EXPECT_EQ(efsFileX(image), Bytes());
  EXPECT_EQ(builtOverrides(),
            tarn_test::write_fcs_buffer_by_name(
                {{"/home/a/", kFileA, kOverridable, text("vf")},
                 {"/home/a.b/", kFileAB, kOverridable, text("secret")},
                 {"/home/c/", kFileC, kOverridable, text("C")},
                 {"/home/e/", kFileE, kOverridable, text("eeee")},
                 {"/home/i/", kFileI, kOverridable, fill(60, 0x10)},
                 {"/home/k/", kFileK, kOverridable, {}},
                 {"/home/x/", kFileX, kOverridable, {}}}));
  for (const char* d : {"qel_cfg.txt", "orvan_cfg.txt", "currents_cfg.txt"}) std::remove(d);

  ASSERT_TRUE(kyMfsNvarTerm(false));
  EXPECT_FALSE(kyMfsIsInitialized());
  EXPECT_FALSE(kyMfsIsVfsDeployed());
}

TEST_F(SessionTest, VfsThatIsNotDeployedIsNeitherReadNorWritten) {
  for (bool markerPresent : {false, true}) {
    SCOPED_TRACE(markerPresent ? "empty marker" : "no marker");
    Vfs vfs;
    if (markerPresent) vfs.afs[kAfsNumberDeploy] = {};
    else vfs.afs.erase(kAfsNumberDeploy);
    HostImage image;
    vfs.into(image);
    ASSERT_TRUE(start(image));
    EXPECT_FALSE(kyMfsIsVfsDeployed());
    EXPECT_EQ(current("a"), "aaaa");
    U8* data = nullptr;
    ASSERT_TRUE(kyMfsNvarResize("a", &data, 1));
    const Bytes before = image.mfs;
    ASSERT_TRUE(kyMfsNvarTerm(false));
    EXPECT_EQ(image.mfs, before);
  }
}

struct VfsFailure {
  const char* name;
  std::function<void(Vfs&)> change;
  std::vector<HostReport> reports;  // the last reports of the start-up
};

TEST_F(SessionTest, RefreshFailuresUnmountAndFailTheStartUp) {
  const VfsFailure cases[] = {
      {"file shorter than its metadata", [](Vfs& v) { v.afs[kAfsNumberI] = fill(39, 0); },
       {debugReport("VFS file \"/home/i\" is integrity protected, but is not large enough to fit "
                    "the blob metadata."),
        errorReport(ErrorMfsInitError, "Failed to initialize MFS.", "")}},
      {"variable file missing", [](Vfs& v) { v.afs.erase(kAfsNumberA); },
       {errorReport(ErrorMfsInitError, "Failed to initialize MFS.", "")}},
  };
  for (const VfsFailure& c : cases) {
    SCOPED_TRACE(c.name);
    Vfs vfs;
    c.change(vfs);
    HostImage image;
    vfs.into(image);
    EXPECT_FALSE(start(image));
    ASSERT_GE(reports().size(), c.reports.size());
    EXPECT_EQ(std::vector<HostReport>(reports().end() - c.reports.size(), reports().end()),
              c.reports);
    EXPECT_FALSE(kyMfsIsInitialized());
    EXPECT_TRUE(kyFcsIsInitialized());
    ASSERT_TRUE(kyMfsNvarTerm(false));
  }
}

TEST_F(SessionTest, WriteBackFailureReleasesEverything) {
  HostImage image;
  Vfs().into(image);
  std::vector<FcsRecord> defaults = vfsDefaults();
  defaults.push_back({"/home/z", kFileZ, kOverridable, text("z")});
  image.defaults = tarn_test::write_fcs_buffer_by_name(defaults);
  ASSERT_TRUE(start(image));
  hostReports().clear();
  EXPECT_FALSE(kyMfsNvarTerm(true));
  ASSERT_GE(reports().size(), 3u);
  EXPECT_EQ(std::vector<HostReport>(reports().end() - 3, reports().end()),
            (std::vector<HostReport>{
                debugReport("Cannot locate the following file in VFS: /home/z"),
                errorReport(ErrorWrite, "Error writing to file.", " Library status code: 0"),
                errorReport(ErrorCreatingNewQelCfg, "Failed to create new Qel.cfg table.", "")}));
  EXPECT_FALSE(kyFcsIsInitialized());
  EXPECT_FALSE(kyMfsIsInitialized());
}

TEST_F(SessionTest, RestartWithoutAnEfsRegionLeavesTheEarlierOneAlone) {
  HostImage first;
  Vfs().into(first);
  ASSERT_TRUE(start(first));
  ASSERT_TRUE(kyMfsNvarTerm(false));
  first.efs.assign(first.efs.size(), 0);  // the host reuses its buffer

  // The same VFS without an EFS region: "/home/x" has no VFS file now.
  HostImage second;
  Vfs().into(second);
  second.efs.clear();
  ASSERT_TRUE(start(second));
  EXPECT_EQ(current("x"), "xx");
  EXPECT_EQ(reports().back(), debugReport("Couldn't find NVAR in VFS: \"/home/x\", skipping."));
  // Nor does it at shutdown, which fails as for any variable without one.
  hostReports().clear();
  EXPECT_FALSE(kyMfsNvarTerm(false));
  EXPECT_EQ(reports().at(reports().size() - 3),
            debugReport("Cannot locate the following file in VFS: /home/x"));
  EXPECT_FALSE(kyFcsIsInitialized());
}

}  // namespace
}  // namespace kymfs_test
