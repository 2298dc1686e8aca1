// Host sessions without a deployed VFS: start-up and each way it fails,
// named-variable access, kept and final shutdowns with the rebuilt overrides
// checked byte for byte, the text dumps, and restarts in one process.
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "session_fixture.h"

namespace kymfs_test {
namespace {

const HostReport kStartReport = debugReport("Initializing kymfs native API with Tarn configuration.");
const HostReport kNotFound = errorReport(ErrorFileNotFound, "File not found.", "");

TEST_F(SessionTest, StartUpFailsAtEachStepWithItsReport) {
  const HostReport efsInitError = errorReport(ErrorEfsInitError, "Failed to initialize EFS.", "");
  // The EFS regions are valid for kSku's geometry, so only the checks before
  // the mount refuse them.
  const struct {
    const char* name;
    std::function<void(HostImage&)> change;
    std::vector<HostReport> reports;  // after the start report
    bool fcsLoaded;
  } cases[] = {
      {"no file table", [](HostImage& i) { i.ftbl.clear(); },
       {errorReport(ErrorFtblLoadFail, "Failed to load ftbl file.",
                    "ftbl data must be defined for flat VFS, but not load by Tarn.")}, false},
      {"MFS region without a volume", [](HostImage& i) { i.mfs.assign(0x8000, 0xFF); },
       {errorReport(ErrorInit, "Initialize Error", " Library status code: 5"),
        errorReport(ErrorMfsInitError, "Failed to initialize MFS.", "")}, true},
      {"EFS region smaller than the geometry", [](HostImage& i) { i.efs = efsRegion(text("x")), i.efs.pop_back(); },
       {efsInitError}, true},
      {"SKU without an EFS geometry", [](HostImage& i) { i.efs = efsRegion(text("x")), i.sku = kSkuWithoutEfs; },
       {efsInitError}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostImage image;
    c.change(image);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(start(image));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), image.mfs.empty() ? "" : "dfs_init failed\n");
    std::vector<HostReport> expected = {kStartReport};
    expected.insert(expected.end(), c.reports.begin(), c.reports.end());
    EXPECT_EQ(reports(), expected);
    EXPECT_EQ(kyFcsIsInitialized(), c.fcsLoaded);
    EXPECT_FALSE(kyMfsIsInitialized());
    EXPECT_TRUE(!c.fcsLoaded || kyMfsNvarTerm(false));
  }

  // A host that binds the entry point by name may pass a null record.
  auto init = reinterpret_cast<bool (*)(ModQelStorageLibConfig*, TarnStatusCallback)>(
      reinterpret_cast<void (*)()>(&kyMfsTarnInit));
  EXPECT_FALSE(init(nullptr, captureReport));
  EXPECT_EQ(lastReports(1), std::vector<HostReport>{errorReport(
                                ErrorCorruptedBuffer, "Corrupted Buffer Detected.", "Null configuration")});
  EXPECT_FALSE(kyFcsIsInitialized());
}

TEST_F(SessionTest, NamedVariableAccess) {
  HostImage image;
  image.overrides({{"/home/a", kFileA, kOverridable, text("AAAAAAA")}});
  ASSERT_TRUE(start(image));
  hostReports().clear();

  EXPECT_EQ(current("a"), "AAAAAAA");
  EXPECT_EQ(current("/home/a"), "AAAAAAA");
  EXPECT_EQ(current("/home/a", FcsFileNameOrvanCfg), "aaaa");
  EXPECT_EQ(current("a", FcsFileNameQelCfg), "AAAAAAA");
  EXPECT_EQ(current("e"), "");
  EXPECT_TRUE(kymfsCheckNvarExists("n", FcsFileNameOrvanCfg));
  EXPECT_FALSE(kymfsCheckNvarExists("n", FcsFileNameCurrentsCfg));
  EXPECT_EQ(reports(), std::vector<HostReport>{});

  // Refusals leave null and 0 in the outputs. The default "n" has a size but
  // no payload and is refused as not accessible.
  const struct {
    const char* path;
    FcsFileName table;
    std::vector<HostReport> reports;
  } refused[] = {
      {"/a", FcsFileNameCurrentsCfg, {kNotFound}},  // becomes /home//a
      {"n", FcsFileNameOrvanCfg, {errorReport(ErrorAccessError, "NVAR Access error.", "")}},
      {"a", FcsFileNameInvalid, {errorReport(ErrorFcsInvalidFile, "Invalid FCS file", ""), kNotFound}},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.path);
    hostReports().clear();
    U8* data = reinterpret_cast<U8*>(&hostReports());
    U32 size = 99;
    EXPECT_FALSE(kyMfsNvarGet(c.path, &data, &size, c.table, nullptr, nullptr));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(reports(), c.reports);
  }

  U8* data = nullptr;
  U32 size = 0, max = 0;
  bool updatable = false;
  ASSERT_TRUE(kyMfsNvarGet("a.b", &data, &size, FcsFileNameCurrentsCfg, &updatable, &max));
  EXPECT_TRUE(updatable);  // integrity protected, but no VFS is deployed
  EXPECT_EQ(max, 16u);

  // Resizing keeps the leading bytes and zero-fills the added ones.
  ASSERT_TRUE(kyMfsNvarResize("a", &data, 12));
  EXPECT_EQ(current("a"), std::string("AAAAAAA\0\0\0\0\0", 12));
  ASSERT_TRUE(kyMfsNvarResize("a", &data, 3));
  EXPECT_EQ(current("a"), "AAA");
  ASSERT_TRUE(kyMfsNvarResize("a", &data, 0));
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(current("a"), "");
  hostReports().clear();
  EXPECT_FALSE(kyMfsNvarResize("n", &data, 4));
  EXPECT_FALSE(kyMfsNvarResize("a", nullptr, 4));
  EXPECT_EQ(kyMfsGetFcsFileNameMapping(static_cast<FcsFileNameMap>(3)), FcsFileNameCurrentsCfg);
  EXPECT_EQ(reports(), (std::vector<HostReport>{
                           kNotFound,
                           errorReport(ErrorCorruptedBuffer, "Corrupted Buffer Detected.", "Null New NVAR data"),
                           {Error, ErrorNone, "", "Invalid fcsFileNameMap value"}}));
}

// A long value's rows all reach the dump, in order: formatted here on their
// own, sixteen bytes a row, each byte as two hex digits and a blank.
TEST_F(SessionTest, DumpOfALongValueKeepsEveryRow) {
  HostImage image;
  ASSERT_TRUE(start(image));
  U8* data = nullptr;
  const U32 size = 16 * 64 * 2 + 5;  // rows enough for several blocks of output
  ASSERT_TRUE(kyMfsNvarResize("e", &data, size));
  std::string expected = "/home/e (" + std::to_string(size) + " bytes)\n";
  for (U32 i = 0; i < size; ++i) {
    data[i] = static_cast<U8>(i * 7 + 3);
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02x ", data[i]);
    expected += byte;
    if (i % 16 == 15 || i + 1 == size) expected += "\n";
  }
  expected += "\n";
  testing::internal::CaptureStdout();
  kyMfsDumpFcsTables(nullptr, nullptr, nullptr);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(expected), std::string::npos);
}

std::string readText(const char* name) {
  std::ifstream in(name);  // text mode: line ends as the dump wrote them
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(SessionTest, KeptShutdownsAndRestartsInOneProcess) {
  const char* dumps[] = {"qel_cfg.txt", "orvan_cfg.txt", "currents_cfg.txt"};
  for (const char* d : dumps) std::remove(d);
  HostImage image;
  image.overrides({{"/home/a", kFileA, kOverridable, text("AAAAAAA")}});
  // An MFS region whose deploy marker is empty: its VFS files are neither
  // read nor written.
  image.mfs = tarn_test::AfsVolumeWriter(0x8000, 128)
                  .set_entry(kAfsNumberDeploy, 0xFFFF)
                  .add_file(kAfsNumberA, text("vfs-a"))
                  .build();
  const Bytes mfs = image.mfs;
  ASSERT_TRUE(start(image));
  EXPECT_FALSE(kyMfsIsVfsDeployed());

  U8* data = nullptr;
  ASSERT_TRUE(kyMfsNvarResize("e", &data, 17));  // grows past its maximum of 8
  for (int i = 0; i < 17; ++i) data[i] = static_cast<U8>(0xE0 + i);
  ASSERT_TRUE(kyMfsNvarResize("a.b", &data, 6));
  data[0] = 'S';
  // Without file names the dumps go to standard output; rows hold 16 bytes.
  testing::internal::CaptureStdout();
  kyMfsDumpFcsTables(nullptr, nullptr, nullptr);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(
                "/home/e (17 bytes)\ne0 e1 e2 e3 e4 e5 e6 e7 e8 e9 ea eb ec ed ee ef \nf0 \n\n"),
            std::string::npos);
  ASSERT_TRUE(kyMfsNvarTerm(true));
  // The store names records path + "/"; the value above its maximum is left
  // out, and its current value falls back to the default.
  std::vector<FcsRecord> rebuilt = {{"/home/a/", kFileA, kOverridable, text("AAAAAAA")},
                                    {"/home/a.b/", kFileAB, kOverridable, text("Secret")}};
  EXPECT_EQ(builtOverrides(), tarn_test::write_fcs_buffer_by_name(rebuilt));
  EXPECT_EQ(current("e"), "");
  EXPECT_EQ(current("a.b"), "Secret");
  ASSERT_TRUE(kyMfsNvarTerm(true));  // a second run appends its dumps again
  rebuilt.push_back({"/home/e/", kFileE, kOverridable, {}});
  EXPECT_EQ(builtOverrides(), tarn_test::write_fcs_buffer_by_name(rebuilt));
  EXPECT_TRUE(kyMfsIsInitialized());
  EXPECT_EQ(image.mfs, mfs);

  const std::string a = "/home/a (7 bytes)\n41 41 41 41 41 41 41 \n\n";
  const std::string ab = "/home/a.b (6 bytes)\n53 65 63 72 65 74 \n\n", e = "/home/e (0 bytes)\n\n";
  const std::string orvan = "/home/a (4 bytes)\n61 61 61 61 \n\n/home/a.b (6 bytes)\n73 65 63 72 65 74 \n\n" +
                            e + "/home/n (2 bytes)\n\n";
  // The rebuilt table lists its records in the order they were added.
  EXPECT_EQ(readText("qel_cfg.txt"), a + ab + a + ab + e);
  EXPECT_EQ(readText("orvan_cfg.txt"), orvan + orvan);
  EXPECT_EQ(readText("currents_cfg.txt"), a + ab + e + a + ab + e);
  for (const char* d : dumps) std::remove(d);

  // A restart with defaults and a file table alone replaces everything: the
  // earlier region is no longer mounted, there are no overrides to fetch.
  HostImage second;
  second.defaults = tarn_test::write_fcs_buffer_by_name({{"/home/e", kFileE, kOverridable, text("ee")}});
  ASSERT_TRUE(start(second));
  EXPECT_EQ(reports(), std::vector<HostReport>{kStartReport});
  EXPECT_TRUE(builtOverrides().empty());
  EXPECT_FALSE(kyMfsIsInitialized());
  EXPECT_EQ(current("a"), "<none>");
  EXPECT_EQ(current("e"), "ee");
  // One that fails while loading its tables, or for want of a file table,
  // leaves none of the earlier tables and no region mounted.
  for (const bool no_file_table : {false, true}) {
    ASSERT_TRUE(start(image));
    ASSERT_TRUE(kyMfsIsInitialized());
    HostImage broken;
    if (no_file_table)
      broken.ftbl.clear();
    else
      broken.qelc.assign(15, 0);
    EXPECT_FALSE(start(broken));
    EXPECT_FALSE(kyFcsIsInitialized());
    EXPECT_FALSE(kyMfsIsInitialized()) << no_file_table;
    EXPECT_EQ(current("e"), "<none>");
  }
  hostReports().clear();
  EXPECT_FALSE(kyMfsNvarTerm(false));
  EXPECT_EQ(reports(), std::vector<HostReport>{errorReport(ErrorFcsNotInitialized, "FCS was not initialized.", "")});
}

}  // namespace
}  // namespace kymfs_test
