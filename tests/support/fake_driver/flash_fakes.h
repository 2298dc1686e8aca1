// Test flash drivers that take the place of the library's memory-image driver
// (SpiDrvRead, SpiDrvWrite, SpiDrvEraseBlock) in the test binaries that link
// the `tarn_fake_driver` target. Both work on the image bound with
// SpiFlashDrvInitialize (gpBuffer) with the same semantics as the library's
// driver: 4096-byte erase blocks set to 0xFF at any alignment, a write
// replaces bytes, a read copies them; before an image is bound every
// operation returns 5.
//
// On top of that:
// - the power-cut driver (`cut_power_after`) lets a given number of written
//   bytes land and then loses power: the write that reaches the limit lands
//   only its first bytes, every later write and erase is dropped, reads keep
//   working (they show what the next start would find);
// - the failing driver (`fail`) makes a chosen read, write or erase return an
//   error without touching the image or the caller's buffer.
// Optionally, accesses can be confined to a window (`confine`), so that a test
// sees any access outside a partition instead of the memory behind it.
//
// Nothing here is thread-safe; the state is process-global like gpBuffer.
// Call `reset()` at the start of every test.
//
// Usage:
//   fake_flash::reset();
//   fake_flash::cut_power_after(18 + 10);     // one header and a bit of the next
//   afs_physical_ftl_format(&ctx, 1);         // runs into the cut
//   fake_flash::reset();                      // "power on": a plain driver again
//   afs_physical_ftl_init(&ctx, size, 0);     // mount what is on flash
#ifndef TARN_TESTS_SUPPORT_FAKE_DRIVER_FLASH_FAKES_H
#define TARN_TESTS_SUPPORT_FAKE_DRIVER_FLASH_FAKES_H

#include <cstdint>

namespace tarn_test {
namespace fake_flash {

enum class Op : uint8_t { kRead = 0, kWrite = 1, kErase = 2 };

// Back to the plain memory-image driver: power on, no failure armed, no
// window, every counter 0. The bound image stays bound.
void reset();

// ---- power-cut driver

// Counting from now, `bytes` more bytes may land; power is lost as soon as
// they have (at once for 0).
// Dropped writes and erases return `dropped_status` (0: the device gives no
// sign, as after a real power loss the firmware would not run on).
void cut_power_after(uint64_t bytes, uint32_t dropped_status = 0);
// Power lost now: no further byte lands, no erase happens.
inline void cut_power_now(uint32_t dropped_status = 0) { cut_power_after(0, dropped_status); }
// Counting from now, `operations` more writes and erases land whole; of the
// next write only its first `torn_bytes` bytes land (an erase is dropped),
// and power is lost.
void cut_power_after_operations(uint32_t operations, uint32_t torn_bytes = 0);
bool power_lost();
// Bytes that landed through writes since the last reset.
uint64_t bytes_written();
// Writes and erases dropped since power was lost (a partial write counts).
uint32_t dropped_operations();

// ---- failing driver

struct Failure {
  Op op = Op::kWrite;
  // Fail the nth matching call counted from when `fail` is called (1 = the
  // next one).
  uint32_t nth = 1;
  uint32_t status = 5;
  // Also fail every later matching call.
  bool sticky = false;
  // Only calls whose start address lies in [address_from, address_to) match.
  uint32_t address_from = 0;
  uint32_t address_to = 0xFFFFFFFFu;
};
// Arms one failure (replacing any armed before).
void fail(const Failure& failure);
// Number of calls that the failing driver has failed since the last reset.
uint32_t failures_returned();

// ---- window and counters

// Accesses that do not lie wholly inside [base, base + size) of the image are
// refused with 5, touch nothing and are counted. size 0 removes the window.
void confine(uint32_t base, uint32_t size);
uint32_t out_of_window_accesses();
// Calls of each operation since the last reset (refused ones included).
uint32_t calls(Op op);

// Called with every write that lands (whole or torn), before its bytes do;
// nullptr stops watching (reset() does not). Lets a test see what the flash receives in the
// order it does (e.g. to count EU headers written).
using WriteWatcher = void (*)(uint32_t address, uint32_t length, const uint8_t* data);
void watch_writes(WriteWatcher watcher);

}  // namespace fake_flash
}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_FAKE_DRIVER_FLASH_FAKES_H
