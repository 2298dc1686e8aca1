// Host sessions over an MFS region and an EFS region made by the test
// builders: the deploy marker, the refresh of the current values from the
// VFS files at start-up, their write-back at shutdown checked on the host's
// buffers with the independent readers, and the failures of both passes.
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#include "session_fixture.h"

namespace kymfs_test {
namespace {

const HostReport kMfsInitError = errorReport(ErrorMfsInitError, "Failed to initialize MFS.", "");

TEST_F(SessionTest, DeployedVfsRefreshesAndReceivesTheCurrentValues) {
  HostImage image = Vfs().image();
  ASSERT_TRUE(start(image));
  EXPECT_TRUE(kyMfsIsVfsDeployed());
  const std::string encrypted = "\" is encrypted, file will not be read and orvan.cfg value will be used.";
  EXPECT_EQ(lastReports(2), (std::vector<HostReport>{debugReport("VFS file \"/home/a.b" + encrypted),
                                                     debugReport("VFS file \"/home/c" + encrypted)}));
  // Values from the VFS files less the blob metadata; encrypted ones kept.
  const std::map<std::string, std::string> refreshed = {
      {"a", "vfs-a"}, {"a.b", "secret"},         {"c", "plain"}, {"e", "vfs-e"},
      {"k", ""},      {"i", str(fill(60, 0x10))}, {"x", "efs-x"}};
  for (const auto& v : refreshed) EXPECT_EQ(current(v.first.c_str()), v.second) << v.first;
  U8* data = nullptr;
  U32 size = 0;
  bool updatable = true;
  ASSERT_TRUE(kyMfsNvarGet("i", &data, &size, FcsFileNameCurrentsCfg, &updatable, nullptr));
  EXPECT_FALSE(updatable);
  ASSERT_TRUE(kyMfsNvarGet("a", &data, &size, FcsFileNameCurrentsCfg, &updatable, nullptr));
  EXPECT_TRUE(updatable);

  // A longer value, a shorter encrypted one, and values emptied in both file
  // systems: no old tail may stay behind.
  ASSERT_TRUE(kyMfsNvarResize("a", &data, 7));
  std::memcpy(data + 5, "AA", 2);
  ASSERT_TRUE(kyMfsNvarResize("c", &data, 1));
  data[0] = 'C';
  ASSERT_TRUE(kyMfsNvarResize("e", &data, 0));
  ASSERT_TRUE(kyMfsNvarResize("x", &data, 0));
  hostReports().clear();
  ASSERT_TRUE(kyMfsNvarTerm(true));
  const std::string skipping = "Skipping writing to NVAR because it is a BLOB type: /home/";
  ASSERT_GE(reports().size(), 3u);
  EXPECT_EQ(std::vector<HostReport>(reports().begin(), reports().begin() + 3),
            (std::vector<HostReport>{debugReport(skipping + "a.b"), debugReport(skipping + "i"),
                                     debugReport(skipping + "k")}));
  for (const char* d : {"qel_cfg.txt", "orvan_cfg.txt", "currents_cfg.txt"}) std::remove(d);

  EXPECT_EQ(str(afsFile(image, kAfsNumberA)), "vfs-aAA");
  EXPECT_EQ(str(afsFile(image, kAfsNumberC)), "C");  // encrypted: written all the same
  EXPECT_EQ(afsFile(image, kAfsNumberE), Bytes());
  EXPECT_EQ(efsFileX(image), Bytes());
  // Integrity-protected files and the defaults' own are never written.
  const Vfs device;
  for (uint16_t number : {kAfsNumberAB, kAfsNumberI, kAfsNumberK, kAfsNumberN, kAfsNumberDeploy})
    EXPECT_EQ(afsFile(image, number), device.afs.at(number)) << number;
  EXPECT_EQ(builtOverrides(), tarn_test::write_fcs_buffer_by_name(
                                  {{"/home/a/", kFileA, kOverridable, text("vfs-aAA")},
                                   {"/home/a.b/", kFileAB, kOverridable, text("secret")},
                                   {"/home/c/", kFileC, kOverridable, text("C")},
                                   {"/home/e/", kFileE, kOverridable, {}},
                                   {"/home/i/", kFileI, kOverridable, fill(60, 0x10)},
                                   {"/home/k/", kFileK, kOverridable, {}},
                                   {"/home/x/", kFileX, kOverridable, {}}}));

  ASSERT_TRUE(kyMfsNvarTerm(false));
  EXPECT_FALSE(kyMfsIsInitialized() || kyMfsIsVfsDeployed());
}

TEST_F(SessionTest, RefreshFailuresUnmountAndFailTheStartUp) {
  const struct {
    const char* name;
    std::function<void(Vfs&)> change;
    bool efsRegion;
    std::vector<HostReport> reports;  // the last reports of the start-up
  } cases[] = {
      {"file shorter than its metadata", [](Vfs& v) { v.afs[kAfsNumberI] = fill(39, 0); }, true,
       {debugReport("VFS file \"/home/i\" is integrity protected, but is not large enough to fit "
                    "the blob metadata."),
        kMfsInitError}},
      {"variable file missing", [](Vfs& v) { v.afs.erase(kAfsNumberA); }, true, {kMfsInitError}},
      // The EFS still refers to the region of the earlier session, which the
      // host has freed: the EFS file's size cannot be read.
      {"EFS file without an EFS region", [](Vfs&) {}, false, {kMfsInitError}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {  // an earlier session whose buffers the host frees once it has ended
      HostImage earlier = Vfs().image();
      ASSERT_TRUE(start(earlier));
      ASSERT_TRUE(kyMfsNvarTerm(false));
    }
    Vfs vfs;
    c.change(vfs);
    HostImage image = vfs.image();
    if (!c.efsRegion) image.efs.clear();
    EXPECT_FALSE(start(image));
    EXPECT_EQ(lastReports(c.reports.size()), c.reports);
    EXPECT_FALSE(kyMfsIsInitialized());
    EXPECT_TRUE(kyFcsIsInitialized());
    ASSERT_TRUE(kyMfsNvarTerm(false));
  }
}

TEST_F(SessionTest, WriteBackFailureReleasesEverything) {
  HostImage image = Vfs().image();
  std::vector<FcsRecord> defaults = defaultRecords();
  defaults.push_back({"/home/z", kFileZ, kOverridable, text("z")});  // DFS number 0: no VFS file
  image.defaults = tarn_test::write_fcs_buffer_by_name(defaults);
  ASSERT_TRUE(start(image));  // skips the variable, but cannot write it back
  EXPECT_EQ(lastReports(1), std::vector<HostReport>{debugReport("Couldn't find NVAR in VFS: \"/home/z\", skipping.")});
  EXPECT_FALSE(kyMfsNvarTerm(true));
  EXPECT_EQ(lastReports(3),
            (std::vector<HostReport>{
                debugReport("Cannot locate the following file in VFS: /home/z"),
                errorReport(ErrorWrite, "Error writing to file.", " Library status code: 0"),
                errorReport(ErrorCreatingNewQelCfg, "Failed to create new Qel.cfg table.", "")}));
  EXPECT_FALSE(kyFcsIsInitialized() || kyMfsIsInitialized());
}

}  // namespace
}  // namespace kymfs_test
