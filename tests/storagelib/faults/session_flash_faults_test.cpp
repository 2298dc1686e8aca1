// A host session whose flash fails: every read, write and erase that the
// session makes on the MFS region (the AFS flash driver) and on the EFS
// region (the EFS emulated flash) fails in turn, one per run. The session
// starts over a deployed VFS, resizes a variable in each region, writes the
// values back in kept shutdowns (the EFS one until a spare is erased) and
// ends with the final shutdown. A step that fails
// says so with an Error report, and only a step that met the failure may
// fail; a session that succeeds despite the failure leaves what the
// undisturbed one leaves; the driver never reaches outside the MFS region;
// and afterwards, with a sound flash, the regions mount again and every VFS
// file, read by the independent readers, holds its old or its new contents.
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include "storagelib/session_fixture.h"
#include "support/fake_driver/efs_flash_fakes.h"
#include "support/fake_driver/flash_fakes.h"

namespace kymfs_test {
namespace {

namespace ff = tarn_test::fake_flash;
namespace ef = tarn_test::efs_fake;
using ff::Op;

// Runs per kind of operation at most; a kind with more calls has them
// failed at evenly spread positions, the first and the last included.
constexpr uint32_t kRunsPerKind = 120;

HostImage faultImage() {
  HostImage image = Vfs().image();
  image.overrides({{"/home/c", kFileC, kOverridable, text("over-c")}});  // encrypted: written from here
  return image;
}

class SessionFlashFaults : public SessionTest {
 protected:
  void SetUp() override {
    ff::reset();
    ef::reset();
  }
  void TearDown() override {
    SessionTest::TearDown();
    ff::reset();
    ef::reset();
  }

  // The session's steps, in order: each returns the entry point's result.
  static std::vector<std::pair<std::string, std::function<bool()>>> steps(HostImage& image) {
    std::vector<std::pair<std::string, std::function<bool()>>> list = {
        {"start-up", [&image] { return start(image); }}, {"resize /home/a", [] { return setValue("a", "resized-a"); }}};
    // Enough values of "/home/x" written back that the EFS erases a spare.
    for (const char* value : {"x-1", "x-22", "x-333", "x-4444"}) {
      list.push_back({"resize /home/x", [value] { return setValue("x", value); }});
      list.push_back({"kept shutdown", [] {
                        const bool ok = kyMfsNvarTerm(true);
                        for (const char* d : {"qel_cfg.txt", "orvan_cfg.txt", "currents_cfg.txt"}) std::remove(d);
                        return ok;
                      }});
    }
    list.push_back({"final shutdown", [] { return kyMfsNvarTerm(false); }});
    return list;
  }
};

TEST_F(SessionFlashFaults, EveryFailingOperationIsReportedAndTheRegionsMountWithOldOrNewFiles) {
  // The undisturbed session, and every VFS file's contents after each step.
  HostImage reference = faultImage();
  const std::map<uint16_t, Bytes> before = vfsFiles(reference);
  std::map<uint16_t, std::set<Bytes>> seen;
  for (const auto& f : before) seen[f.first].insert(f.second);
  for (const auto& step : steps(reference)) {
    ASSERT_TRUE(step.second()) << step.first;
    for (const auto& f : vfsFiles(reference)) seen[f.first].insert(f.second);
  }
  const std::map<uint16_t, Bytes> after = vfsFiles(reference);
  EXPECT_EQ(5u, seen[0xFFFF].size());
  const struct {
    const char* what;
    bool efs;
    Op op;
  } kinds[] = {{"MFS read", false, Op::kRead},  {"MFS write", false, Op::kWrite}, {"MFS erase", false, Op::kErase},
               {"EFS read", true, Op::kRead},   {"EFS write", true, Op::kWrite},  {"EFS erase", true, Op::kErase}};
  std::map<std::string, uint32_t> calls;
  for (const auto& k : kinds) calls[k.what] = k.efs ? ef::calls(k.op) : ff::calls(k.op);

  EXPECT_NE(0u, calls["EFS erase"]);
  std::set<std::string> failedSteps;
  for (const auto& k : kinds) {
    const uint32_t count = calls[k.what];
    // The session reads and writes both regions; it may erase neither.
    if (k.op != Op::kErase) {
      EXPECT_NE(0u, count) << k.what;
    }
    const uint32_t runs = count < kRunsPerKind ? count : kRunsPerKind;
    for (uint32_t r = 0; r < runs; ++r) {
      const uint32_t nth = runs == 1 ? 1 : 1 + static_cast<uint32_t>(uint64_t{r} * (count - 1) / (runs - 1));
      SCOPED_TRACE(std::string(k.what) + " " + std::to_string(nth) + " of " + std::to_string(count));
      ff::reset();
      ef::reset();
      ff::confine(0, kMfsSize);
      if (k.efs) {
        ef::fail(k.op, nth);
      } else {
        ff::Failure f;
        f.op = k.op;
        f.nth = nth;
        ff::fail(f);
      }
      HostImage image = faultImage();
      bool ok = true;
      std::string failed;
      const auto failures = [&] { return k.efs ? ef::failures_returned() : ff::failures_returned(); };
      for (const auto& step : steps(image)) {
        const uint32_t failuresBefore = failures();
        if (step.second()) continue;
        ok = false;
        failed = step.first;
        EXPECT_TRUE(failuresBefore == 0 && failures() == 1) << failed << " failed on its own";
        break;
      }
      EXPECT_EQ(1u, failures());
      EXPECT_EQ(0u, ff::out_of_window_accesses());
      if (!ok) {
        failedSteps.insert(failed);
        ASSERT_FALSE(reports().empty()) << failed;
        EXPECT_EQ(Error, reports().back().level) << failed;
        if (kyFcsIsInitialized()) kyMfsNvarTerm(false);
      }
      ff::reset();
      ef::reset();
      // Old or new contents, and a session that succeeded leaves the new.
      const std::map<uint16_t, Bytes> files = vfsFiles(image);
      for (const auto& f : files)
        EXPECT_EQ(1u, seen[f.first].count(f.second)) << "file " << f.first;
      if (ok) {
        EXPECT_EQ(after, files);
      }
      // The regions mount again, and the library reads what the readers read.
      ASSERT_TRUE(start(image));
      EXPECT_EQ(str(files.at(kAfsNumberA)), current("a"));
      EXPECT_EQ(str(files.at(0xFFFF)), current("x"));
      kyMfsNvarTerm(false);
    }
  }
  EXPECT_EQ(std::set<std::string>({"start-up", "kept shutdown", "final shutdown"}), failedSteps);
}

}  // namespace
}  // namespace kymfs_test
