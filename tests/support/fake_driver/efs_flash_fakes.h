// EFS emulated-flash operations for the binaries that link tarn_fake_driver,
// in place of the library's: the same bounds, plus a power cut. Writes and
// erases are numbered from 0 after cut_at(); the one numbered `op` lands
// nothing (with `half`, its first half) and every later one is dropped while
// reporting success. A read filter may change what reads return. A chosen
// read, write or erase may fail instead: it returns 5 and touches nothing.
#ifndef TARN_TESTS_SUPPORT_FAKE_DRIVER_EFS_FLASH_FAKES_H
#define TARN_TESTS_SUPPORT_FAKE_DRIVER_EFS_FLASH_FAKES_H

#include <cstdint>
#include <functional>

#include "support/fake_driver/flash_fakes.h"

namespace tarn_test {
namespace efs_fake {

void reset();  // no cut, no filter; call at the start of every test
void cut_at(uint32_t op, bool half);
bool power_lost();
uint32_t operations();  // writes and erases since reset() or cut_at()
void filter_reads(std::function<void(uint32_t offset, uint32_t length, uint8_t* out)> filter);
// Fails the nth call (1 = the next one) of `op`, counted from now.
void fail(fake_flash::Op op, uint32_t nth);
uint32_t failures_returned();
// Calls of `op` since reset() (failed ones included).
uint32_t calls(fake_flash::Op op);

}  // namespace efs_fake
}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_FAKE_DRIVER_EFS_FLASH_FAKES_H
