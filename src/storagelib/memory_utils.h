// Memory functions exported for the host under their plain names, and the
// bounded copy that the library uses in place of a runtime memcpy_s (which
// not every runtime the library is built for provides).
#ifndef TARN_STORAGELIB_MEMORY_UTILS_H
#define TARN_STORAGELIB_MEMORY_UTILS_H

#include <cstddef>

#include "internal_symbol.h"
#include "storagelib/types.h"

extern "C" {

// A new block of `size` bytes, not initialised; null when none can be had.
void* LtAllocateMemory(size_t size);

// A new block of `size` bytes, all zero; null when none can be had.
void* LtAllocateZeroMemory(size_t size);

// Returns a block taken by the two functions above; null does nothing.
void LtFreeMemory(void* buffer);

// Sets `length` bytes at `buffer` to `value` and returns `buffer`.
void* LtSetMemory(void* buffer, UINT8 value, size_t length);

// Compares `length` bytes: negative, 0 or positive as memcmp, widened to 64
// bits with its sign. A length of 0 gives 0 without touching the buffers.
INT64 LtCompareMemory(const void* buffer1, const void* buffer2, size_t length);

// Copies `count` bytes from `src` into `dest`, a buffer of `numberOfElements`
// bytes. Tests, in this order: a null `dest` or `src` gives INTERNAL_ERROR
// (whatever `count` is); `count` above `numberOfElements` gives
// SAFE_FUNC_ERROR_INVALID_SIZE (equal is allowed); a failed bounded copy (the
// two ranges overlap) gives SAFE_FUNC_ERROR_MEMNCPY; else SUCCESS. `dest` is
// unchanged on every failure. Returns an _ErrorCodes value.
UINT32 ByteCopy(void* dest, size_t numberOfElements, const void* src, size_t count);

}  // extern "C"

// Bounded copy with the contract of memcpy_s, the same on every target:
//  - `count` 0: returns 0 and touches nothing, whatever the pointers are;
//  - `dest` or `src` null, or the two ranges overlapping: returns
//    BOUNDED_COPY_EINVAL;
//  - `count` above `destSize`: returns BOUNDED_COPY_ERANGE;
//  - else copies `count` bytes and returns 0.
// On failure `dest` is left unchanged.
constexpr int BOUNDED_COPY_EINVAL = 22;
constexpr int BOUNDED_COPY_ERANGE = 34;
TARN_INTERNAL int tarnBoundedCopy(void* dest, size_t destSize, const void* src, size_t count);

#endif  // TARN_STORAGELIB_MEMORY_UTILS_H
