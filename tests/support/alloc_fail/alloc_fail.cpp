#include "support/alloc_fail/alloc_fail.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __real_realloc(void* block, size_t size);

namespace {

// One sweep run's state. The test binary is single-threaded.
struct RunState {
  size_t failAt = 0;  // 1-based; 0 while no sweep runs
  size_t counted = 0;
  bool injected = false;
  int windows = 0;
  int pauses = 0;
};
RunState s_run;

// Counts one allocation; true when it is the one to fail.
bool fail_this_one() {
  if (s_run.failAt == 0 || s_run.windows == 0 || s_run.pauses != 0) return false;
  if (++s_run.counted != s_run.failAt) return false;
  s_run.injected = true;
  return true;
}

void* allocate(size_t size) {
  void* block = std::malloc(size != 0 ? size : 1);  // wrapped: counted, may fail
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

extern "C" void* __wrap_malloc(size_t size) { return fail_this_one() ? nullptr : __real_malloc(size); }

extern "C" void* __wrap_calloc(size_t count, size_t size) {
  return fail_this_one() ? nullptr : __real_calloc(count, size);
}

extern "C" void* __wrap_realloc(void* block, size_t size) {
  return fail_this_one() ? nullptr : __real_realloc(block, size);
}

void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return std::malloc(size != 0 ? size : 1); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace tarn_test {

AllocWindow::AllocWindow() { ++s_run.windows; }
AllocWindow::~AllocWindow() { --s_run.windows; }
AllocPause::AllocPause() { ++s_run.pauses; }
AllocPause::~AllocPause() { --s_run.pauses; }

bool alloc_failure_injected() { return s_run.injected; }

size_t sweep_allocations(const std::function<void(size_t n)>& run, size_t limit) {
  for (size_t n = 1; n <= limit; ++n) {
    s_run = RunState();
    s_run.failAt = n;
    run(n);
    const bool injected = s_run.injected;
    s_run = RunState();
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(0, __lsan_do_recoverable_leak_check()) << "memory leaked in the run failing allocation " << n;
#endif
    if (::testing::Test::HasFatalFailure()) return n;
    if (!injected) return n;
  }
  ADD_FAILURE() << "still failing allocations after " << limit << " runs";
  return limit;
}

}  // namespace tarn_test

#if defined(__SANITIZE_ADDRESS__)
// Leaks are looked for after every run and at exit.
extern "C" const char* __asan_default_options() { return "detect_leaks=1"; }
// The interface layer's tables and entries are byte-packed, so the pointers
// they hold may sit at unaligned addresses: scan for those too, or blocks
// they own would be taken for leaks.
extern "C" const char* __lsan_default_options() { return "use_unaligned=1"; }
#endif
