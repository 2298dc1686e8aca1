// Failing the library's allocations one at a time, for allocation sweeps.
//
// A sweep runs one scenario again and again. In run n, the n-th allocation
// made inside the scenario's AllocWindow sections fails: malloc, calloc and
// realloc return null and operator new throws std::bad_alloc (its nothrow
// form returns null). The sweep ends after the first run in which no
// allocation was failed, that is once the scenario has run to its end with
// every allocation it makes.
//
// The mechanism lives in the test binary only: malloc, calloc and realloc are
// wrapped at link time (-Wl,--wrap, an ELF linker feature) and operator new
// is replaced by one that allocates through malloc. The library is linked
// unchanged. Link alloc_fail.cpp into a sweep binary only, with those linker
// options (see tests/CMakeLists.txt).
#ifndef TARN_TESTS_SUPPORT_ALLOC_FAIL_ALLOC_FAIL_H
#define TARN_TESTS_SUPPORT_ALLOC_FAIL_ALLOC_FAIL_H

#include <cstddef>
#include <functional>

namespace tarn_test {

// Allocations made while a window is open are counted, and the one the run
// chose fails. Windows enclose the library calls under test, not the test's
// own set-up and checks.
class AllocWindow {
 public:
  AllocWindow();
  ~AllocWindow();
  AllocWindow(const AllocWindow&) = delete;
  AllocWindow& operator=(const AllocWindow&) = delete;
};

// Test code that runs inside a window (a status callback, for instance) is
// neither counted nor failed while a pause is open.
class AllocPause {
 public:
  AllocPause();
  ~AllocPause();
  AllocPause(const AllocPause&) = delete;
  AllocPause& operator=(const AllocPause&) = delete;
};

// True once the current run has failed its allocation.
bool alloc_failure_injected();

// Runs run(n) for n = 1, 2, ... and returns the number of runs made. After
// each run, where LeakSanitizer is present, nothing the run allocated may be
// left unreachable; a leak, and a scenario still failing allocations after
// `limit` runs, are test failures.
size_t sweep_allocations(const std::function<void(size_t n)>& run, size_t limit = 2000);

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_ALLOC_FAIL_ALLOC_FAIL_H
