#include "support/fake_driver/efs_flash_fakes.h"

#include <cstring>

#include "flash/efs/EFS.h"

namespace tarn_test {
namespace efs_fake {
namespace {

using fake_flash::Op;

struct State {
  bool armed = false, half = false;
  uint32_t cut_op = 0, ops = 0;
  bool fail_armed = false;
  Op fail_op = Op::kRead;
  uint32_t fail_nth = 0, matched = 0, failures = 0;
  uint32_t calls[3] = {0, 0, 0};
  std::function<void(uint32_t, uint32_t, uint8_t*)> filter;
} g_state;

// 0 for a non-empty range inside the image, else the library's status.
int range_status(const void* buffer, uint32_t offset, uint32_t length) {
  if (efs_image == nullptr) return 1;
  return buffer == nullptr || length == 0 || offset >= efs_size || uint64_t{offset} + length > efs_size ? 22 : 0;
}

// Counts the call; true when it is the one chosen to fail.
bool failing(Op op) {
  ++g_state.calls[static_cast<int>(op)];
  if (!g_state.fail_armed || op != g_state.fail_op || ++g_state.matched != g_state.fail_nth) return false;
  ++g_state.failures;
  return true;
}

constexpr int kIoError = 5;

// Bytes of a change of `length` bytes that land; counts the operation.
uint32_t landing(uint32_t length) {
  const uint32_t op = g_state.ops++;
  if (!g_state.armed || op < g_state.cut_op) return length;
  return op == g_state.cut_op && g_state.half ? length / 2 : 0;
}

}  // namespace

void reset() { g_state = State{}; }
void cut_at(uint32_t op, bool half) {
  g_state.armed = true;
  g_state.half = half;
  g_state.cut_op = op;
  g_state.ops = 0;
}
bool power_lost() { return g_state.armed && g_state.ops > g_state.cut_op; }
uint32_t operations() { return g_state.ops; }
void filter_reads(std::function<void(uint32_t, uint32_t, uint8_t*)> filter) { g_state.filter = std::move(filter); }
void fail(Op op, uint32_t nth) {
  g_state.fail_armed = true;
  g_state.fail_op = op;
  g_state.fail_nth = nth;
  g_state.matched = 0;
}
uint32_t failures_returned() { return g_state.failures; }
uint32_t calls(Op op) { return g_state.calls[static_cast<int>(op)]; }

}  // namespace efs_fake
}  // namespace tarn_test

using namespace tarn_test::efs_fake;

extern "C" int EFS_physical_read(uint32_t offset, uint32_t length, uint8_t* pbuffer) {
  if (failing(Op::kRead)) return kIoError;
  const int status = range_status(pbuffer, offset, length);
  if (status != 0) return status;
  std::memcpy(pbuffer, efs_image + offset, length);
  if (g_state.filter) g_state.filter(offset, length, pbuffer);
  return 0;
}

extern "C" int EFS_physical_write(uint32_t offset, uint32_t length, uint8_t* pbuffer) {
  if (failing(Op::kWrite)) return kIoError;
  const int status = range_status(pbuffer, offset, length);
  if (status == 0) std::memcpy(efs_image + offset, pbuffer, landing(length));
  return status;
}

extern "C" int EFS_physical_erase(uint32_t offset, uint32_t length) {
  if (failing(Op::kErase)) return kIoError;
  const int status = range_status(&length, offset, length);
  if (status == 0) std::memset(efs_image + offset, 0xFF, landing(length));
  return status;
}
