// The bench's flash driver: the library's memory-image driver (read and write
// copy bytes, an erase sets a 4096-byte block to 0xFF) that also counts what
// it programs and erases, so that a benchmark can tell what the FTL's
// reclaims did. Linked in place of the library's own driver object.
#ifndef TARN_BENCH_FLASH_COUNTER_H
#define TARN_BENCH_FLASH_COUNTER_H

#include <cstdint>

namespace tarn_bench {

struct FlashCounts {
  uint64_t pagesProgrammed = 0;  // 66-byte pages (alone or in runs)
  uint64_t blocksErased = 0;
};

FlashCounts flashCounts();

}  // namespace tarn_bench

#endif  // TARN_BENCH_FLASH_COUNTER_H
