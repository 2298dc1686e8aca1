// Status codes of the memory functions (ByteCopy and the interface layer's
// bounded copy). Only these four values are ever returned.
#ifndef TARN_STORAGELIB_ERRORLIST_H
#define TARN_STORAGELIB_ERRORLIST_H

#include <cstdint>

enum _ErrorCodes : uint32_t {
  SUCCESS = 0,
  INTERNAL_ERROR = 3,
  SAFE_FUNC_ERROR_INVALID_SIZE = 40,
  SAFE_FUNC_ERROR_MEMNCPY = 43,
};

#endif  // TARN_STORAGELIB_ERRORLIST_H
