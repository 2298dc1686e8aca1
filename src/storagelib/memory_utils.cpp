#include "storagelib/memory_utils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "storagelib/errorlist.h"

int tarnBoundedCopy(void* dest, size_t destSize, const void* src, size_t count) {
  if (count == 0) return 0;
  if (dest == nullptr || src == nullptr) return BOUNDED_COPY_EINVAL;
  if (count > destSize) return BOUNDED_COPY_ERANGE;
  // Overlap test on integer addresses; count <= destSize, and both ranges
  // exist in memory, so neither end wraps.
  const uintptr_t d = reinterpret_cast<uintptr_t>(dest);
  const uintptr_t s = reinterpret_cast<uintptr_t>(src);
  if ((d <= s && s - d < count) || (s < d && d - s < count)) return BOUNDED_COPY_EINVAL;
  std::memcpy(dest, src, count);
  return 0;
}

extern "C" void* LtAllocateMemory(size_t size) { return std::malloc(size); }

extern "C" void* LtAllocateZeroMemory(size_t size) { return std::calloc(size, 1); }

extern "C" void LtFreeMemory(void* buffer) { std::free(buffer); }

extern "C" void* LtSetMemory(void* buffer, UINT8 value, size_t length) {
  if (length != 0) std::memset(buffer, value, length);
  return buffer;
}

extern "C" INT64 LtCompareMemory(const void* buffer1, const void* buffer2, size_t length) {
  if (length == 0) return 0;
  return static_cast<INT64>(std::memcmp(buffer1, buffer2, length));
}

extern "C" UINT32 ByteCopy(void* dest, size_t numberOfElements, const void* src, size_t count) {
  if (dest == nullptr || src == nullptr) return INTERNAL_ERROR;
  if (count > numberOfElements) return SAFE_FUNC_ERROR_INVALID_SIZE;
  if (tarnBoundedCopy(dest, numberOfElements, src, count) != 0) return SAFE_FUNC_ERROR_MEMNCPY;
  return SUCCESS;
}
