// Fixed-width type names shared by the interface layer and the memory
// functions. Sizes are the same on 32- and 64-bit builds; only size_t follows
// the build's pointer width.
#ifndef TARN_STORAGELIB_TYPES_H
#define TARN_STORAGELIB_TYPES_H

#include <cstddef>
#include <cstdint>

#include "tarnstoragelib.h"  // U8 and U32

typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int32_t INT32;
typedef int64_t INT64;

typedef uint16_t U16;
typedef uint64_t U64;

#endif  // TARN_STORAGELIB_TYPES_H
