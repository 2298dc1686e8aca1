// Emulated-flash operations for the EFS (EFS_physical_read, _write, _erase)
// that take the place of the library's in the test binaries that link the
// `tarn_fake_driver` target. They work on efs_image / efs_size with the
// library's bounds (22 outside the region, 1 without an image), and add:
// - a power cut: writes and erases are numbered from 0 after `cut_at`; the
//   one numbered `op` lands nothing, or with `half` its first half (an erase
//   sets only the first half of its range to 0xFF), and every later one is
//   dropped while reporting success, as a device that lost power would never
//   report; reads keep working;
// - a read filter that may change the bytes a read returns (flash that
//   changes between reads).
// Call `reset()` at the start of every test.
#ifndef TARN_TESTS_SUPPORT_FAKE_DRIVER_EFS_FLASH_FAKES_H
#define TARN_TESTS_SUPPORT_FAKE_DRIVER_EFS_FLASH_FAKES_H

#include <cstdint>
#include <functional>

namespace tarn_test {
namespace efs_fake {

using ReadFilter = std::function<void(uint32_t offset, uint32_t length, uint8_t* out)>;

// Plain operations again: no cut armed, no filter, counter 0.
void reset();
void cut_at(uint32_t op, bool half);
bool power_lost();
// Writes and erases since the last reset or cut_at.
uint32_t operations();
void filter_reads(ReadFilter filter);

}  // namespace efs_fake
}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_FAKE_DRIVER_EFS_FLASH_FAKES_H
