// EFS emulated-flash operations (EFS_physical_read, _write, _erase) for the
// test binaries that link `tarn_fake_driver`, in place of the library's.
// They keep the library's bounds (22 outside the region, 1 without an image)
// and add a power cut: writes and erases are numbered from 0 after `cut_at`;
// the one numbered `op` lands nothing, or with `half` its first half, and
// every later one is dropped while reporting success; reads keep working.
// A read filter may change what a read returns (flash changing meanwhile).
// Call `reset()` at the start of every test.
#ifndef TARN_TESTS_SUPPORT_FAKE_DRIVER_EFS_FLASH_FAKES_H
#define TARN_TESTS_SUPPORT_FAKE_DRIVER_EFS_FLASH_FAKES_H

#include <cstdint>
#include <functional>

namespace tarn_test {
namespace efs_fake {

using ReadFilter = std::function<void(uint32_t offset, uint32_t length, uint8_t* out)>;

void reset();  // no cut, no filter, counter 0
void cut_at(uint32_t op, bool half);
bool power_lost();
uint32_t operations();  // writes and erases since reset or cut_at
void filter_reads(ReadFilter filter);

}  // namespace efs_fake
}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_FAKE_DRIVER_EFS_FLASH_FAKES_H
