// A whole host session with each allocation of the library failing in turn:
// start-up with a defaults table, a configuration partition, a file table, a
// deployed VFS in the MFS region and an EFS region; a read and a resize; a
// kept shutdown and the fetch of the rebuilt overrides; another resize and
// the final shutdown. The session stops at the first step that fails. That
// step must be the one whose allocation failed and must say so with an
// Error report; every step before it must have given what it gives when
// nothing fails; the VFS files in the host's regions, read with the
// independent readers, hold contents that some point of the undisturbed
// session left there; and nothing leaks.
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>

#include "storagelib/session_fixture.h"
#include "support/alloc_fail/alloc_fail.h"

using namespace kymfs_test;
using tarn_test::AllocPause;
using tarn_test::AllocWindow;
using tarn_test::alloc_failure_injected;
using tarn_test::sweep_allocations_restoring;

namespace {

void TARN_CDECL captureOutsideTheSweep(ErrorLevel level, ImageToolsErrorName name, const char* nameText,
                                       const char* message) {
  AllocPause pause;
  captureReport(level, name, nameText, message);
}

// The deployed VFS, with overrides of two encrypted variables: their VFS
// files are never read, so their current values are the overrides' copies,
// and "/home/c" is written back to its file at shutdown.
HostImage sweepImage() {
  HostImage image = Vfs().image();
  image.overrides({{"/home/a.b", kFileAB, kOverridable, text("over-ab")},
                   {"/home/c", kFileC, kOverridable, text("over-c")}});
  return image;
}

// What the host sees of the session: each step's result, in order.
struct Session {
  HostImage image = sweepImage();
  std::vector<std::string> results;

  bool start() { return startSession(image, captureOutsideTheSweep); }
  bool get(const char* path) {
    U8* data = nullptr;
    U32 size = 0;
    if (!kyMfsNvarGet(path, &data, &size, FcsFileNameCurrentsCfg, nullptr, nullptr)) return false;
    AllocPause pause;
    results.push_back(std::string(reinterpret_cast<char*>(data), size));
    return true;
  }
  bool fetch() {
    char* buffer = nullptr;
    U32 size = 0;
    if (!kyMfsGetBuildQelCfgFcsBuffer(&buffer, size)) return false;
    AllocPause pause;
    results.push_back(std::string(buffer, size));
    return true;
  }

  // The steps in order; each returns the entry point's result.
  std::vector<std::pair<const char*, std::function<bool()>>> steps() {
    return {{"start-up", [this] { return start(); }},
            {"read /home/c", [this] { return get("c"); }},
            {"resize /home/a", [] { return setValue("a", "resized-a"); }},
            {"kept shutdown", [] { return kyMfsNvarTerm(true); }},
            {"fetch overrides", [this] { return fetch(); }},
            {"read /home/a", [this] { return get("a"); }},
            {"resize /home/x", [] { return setValue("x", "new-value-x"); }},
            {"final shutdown", [] { return kyMfsNvarTerm(false); }}};
  }
};

void removeDumps() {
  for (const char* d : {"qel_cfg.txt", "orvan_cfg.txt", "currents_cfg.txt"}) std::remove(d);
}

TEST(SessionAllocSweep, EveryFailureIsReportedByItsStepAndTheRegionsHoldOldOrNewFiles) {
  // The undisturbed session: each step's result and the VFS files after it.
  Session reference;
  std::map<uint16_t, std::set<Bytes>> seen;
  for (const auto& f : vfsFiles(reference.image)) seen[f.first].insert(f.second);
  for (const auto& step : reference.steps()) {
    ASSERT_TRUE(step.second()) << step.first;
    for (const auto& f : vfsFiles(reference.image)) seen[f.first].insert(f.second);
  }
  removeDumps();
  // The session changes /home/a and /home/c in the MFS region and /home/x in the EFS.
  EXPECT_EQ(2u, seen[kAfsNumberA].size());
  EXPECT_EQ(2u, seen[kAfsNumberC].size());
  EXPECT_EQ(2u, seen[0xFFFF].size());
  const std::map<uint16_t, Bytes> finalFiles = vfsFiles(reference.image);

  std::set<std::string> failedSteps;
  sweep_allocations_restoring([&](size_t n) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    Session session;
    hostReports().clear();
    bool completed = true;
    for (const auto& step : session.steps()) {
      const bool injectedBefore = alloc_failure_injected();
      bool ok;
      {
        AllocWindow window;
        ok = step.second();
      }
      if (ok) continue;
      completed = false;
      failedSteps.insert(step.first);
      // Only the step whose allocation failed may fail, and it says so.
      EXPECT_TRUE(alloc_failure_injected() && !injectedBefore) << step.first << " failed on its own";
      ASSERT_FALSE(hostReports().empty()) << step.first;
      EXPECT_EQ(Error, hostReports().back().level) << step.first;
      break;
    }
    // Every result given is the undisturbed session's.
    ASSERT_LE(session.results.size(), reference.results.size());
    for (size_t i = 0; i < session.results.size(); ++i) EXPECT_EQ(reference.results[i], session.results[i]);
    const std::map<uint16_t, Bytes> files = vfsFiles(session.image);
    for (const auto& f : files) EXPECT_EQ(1u, seen[f.first].count(f.second)) << "file " << f.first;
    if (completed) {
      EXPECT_EQ(reference.results, session.results);
      EXPECT_EQ(finalFiles, files);
    }
    if (kyFcsIsInitialized()) kyMfsNvarTerm(false);
    // The library's lasting state (file table copy, EFS file list, mount
    // context) as the undisturbed session leaves it, for the leak filter.
    Session restore;
    EXPECT_TRUE(restore.start() && kyMfsNvarTerm(false));
    removeDumps();
  });
  EXPECT_EQ(std::set<std::string>({"start-up", "resize /home/a", "kept shutdown", "resize /home/x",
                                   "final shutdown"}),
            failedSteps);
}

}  // namespace
