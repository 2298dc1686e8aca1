// The three flash driver operations for test binaries, over the image bound
// by SpiFlashDrvInitialize, with power loss and failure injection (see
// flash_fakes.h). Linking this object replaces the library's driver object.
#include "support/fake_driver/flash_fakes.h"

#include <cstring>

#include "flash/afs/AfsInnerDefs.h"

namespace tarn_test {
namespace fake_flash {
namespace {

constexpr uint32_t kBlockSize = 4096;
constexpr uint8_t kErased = 0xFF;
constexpr uint32_t kIoError = 5;

struct State {
  // power cut
  bool cut_armed = false;
  uint64_t cut_budget = 0;  // bytes that may still land
  bool power_lost = false;
  uint32_t dropped_status = 0;
  uint64_t bytes_written = 0;
  uint32_t dropped = 0;
  bool ops_armed = false;
  uint32_t ops_budget = 0;  // writes and erases that may still land
  uint32_t torn_bytes = 0;
  // failure
  bool fail_armed = false;
  Failure failure;
  uint32_t matched = 0;
  uint32_t failures = 0;
  // window and counters
  uint32_t window_base = 0;
  uint32_t window_size = 0;
  uint32_t out_of_window = 0;
  uint32_t calls[3] = {0, 0, 0};
};

State g_state;
WriteWatcher g_watcher = nullptr;  // kept by reset()

bool inside_window(uint32_t address, uint32_t length) {
  if (g_state.window_size == 0) return true;
  const uint64_t begin = address;
  const uint64_t end = begin + length;
  const uint64_t lo = g_state.window_base;
  const uint64_t hi = lo + g_state.window_size;
  return begin >= lo && end <= hi;
}

// Counts the call and decides whether it is refused before it touches
// anything. Returns true with *status set when it is.
bool refused(Op op, uint32_t address, uint32_t length, uint32_t* status) {
  ++g_state.calls[static_cast<int>(op)];
  if (gpBuffer == nullptr) {
    *status = kIoError;
    return true;
  }
  if (!inside_window(address, length)) {
    ++g_state.out_of_window;
    *status = kIoError;
    return true;
  }
  if (g_state.fail_armed && g_state.failure.op == op && address >= g_state.failure.address_from &&
      address < g_state.failure.address_to) {
    ++g_state.matched;
    if (g_state.matched == g_state.failure.nth ||
        (g_state.failure.sticky && g_state.matched > g_state.failure.nth)) {
      ++g_state.failures;
      *status = g_state.failure.status;
      return true;
    }
  }
  return false;
}

}  // namespace

void reset() { g_state = State{}; }

void cut_power_after(uint64_t bytes, uint32_t dropped_status) {
  g_state.cut_armed = true;
  g_state.cut_budget = bytes;
  g_state.power_lost = bytes == 0;
  g_state.dropped_status = dropped_status;
}

void cut_power_after_operations(uint32_t operations, uint32_t torn_bytes) {
  g_state.ops_armed = true;
  g_state.ops_budget = operations;
  g_state.torn_bytes = torn_bytes;
}

// Spends one operation of the budget; false for the one that loses power.
bool operation_lands() {
  if (!g_state.ops_armed) return true;
  if (g_state.ops_budget == 0) return false;
  --g_state.ops_budget;
  return true;
}

bool power_lost() { return g_state.power_lost; }
uint64_t bytes_written() { return g_state.bytes_written; }
uint32_t dropped_operations() { return g_state.dropped; }

void fail(const Failure& failure) {
  g_state.fail_armed = true;
  g_state.failure = failure;
  g_state.matched = 0;
}

uint32_t failures_returned() { return g_state.failures; }

void confine(uint32_t base, uint32_t size) {
  g_state.window_base = base;
  g_state.window_size = size;
}

uint32_t out_of_window_accesses() { return g_state.out_of_window; }
uint32_t calls(Op op) { return g_state.calls[static_cast<int>(op)]; }
void watch_writes(WriteWatcher watcher) { g_watcher = watcher; }

}  // namespace fake_flash
}  // namespace tarn_test

using tarn_test::fake_flash::Op;
using tarn_test::fake_flash::g_state;
using tarn_test::fake_flash::g_watcher;
using tarn_test::fake_flash::refused;
using tarn_test::fake_flash::operation_lands;
using tarn_test::fake_flash::kBlockSize;
using tarn_test::fake_flash::kErased;

extern "C" uint32_t SpiDrvRead(uint32_t Address, uint32_t Length, void* pBuffer) {
  uint32_t status = 0;
  if (refused(Op::kRead, Address, Length, &status)) return status;
  if (Length != 0) std::memcpy(pBuffer, gpBuffer + Address, Length);
  return 0;
}

extern "C" uint32_t SpiDrvWrite(uint32_t Address, uint32_t Length, const void* pBuffer) {
  uint32_t status = 0;
  if (refused(Op::kWrite, Address, Length, &status)) return status;
  if (g_state.power_lost) {
    ++g_state.dropped;
    return g_state.dropped_status;
  }
  uint32_t landing = Length;
  if (!operation_lands()) {
    landing = g_state.torn_bytes < Length ? g_state.torn_bytes : Length;
    g_state.power_lost = true;
  }
  if (g_state.cut_armed && g_state.cut_budget < Length) landing = static_cast<uint32_t>(g_state.cut_budget);
  if (landing != 0 && g_watcher != nullptr)
    g_watcher(Address, landing, static_cast<const uint8_t*>(pBuffer));
  if (landing != 0) std::memcpy(gpBuffer + Address, pBuffer, landing);
  g_state.bytes_written += landing;
  if (g_state.cut_armed) {
    g_state.cut_budget -= landing;
    if (g_state.cut_budget == 0) g_state.power_lost = true;
  }
  if (landing != Length) {
    ++g_state.dropped;
    return g_state.dropped_status;
  }
  return 0;
}

extern "C" uint32_t SpiDrvEraseBlock(uint32_t BlockAddress) {
  uint32_t status = 0;
  if (refused(Op::kErase, BlockAddress, kBlockSize, &status)) return status;
  if (g_state.power_lost) {
    ++g_state.dropped;
    return g_state.dropped_status;
  }
  if (!operation_lands()) {
    g_state.power_lost = true;
    ++g_state.dropped;
    return g_state.dropped_status;
  }
  std::memset(gpBuffer + BlockAddress, kErased, kBlockSize);
  return 0;
}
