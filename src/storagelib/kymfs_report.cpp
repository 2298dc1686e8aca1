#include "storagelib/kymfs_report.h"

#include <new>
#include <string>

#include "storagelib/errorlist.h"
#include "storagelib/memory_utils.h"
#include "storagelib/qelerrors.h"

namespace {

TarnStatusCallback s_tarnStatusCallback = nullptr;

const char kLibStatusText[] = " Library status code: ";
const char kMemCpyFailedText[] = "Memory copy failed with error ";

}  // namespace

// None of the functions of this file is an entry point (see internal_symbol.h).
#define TARN_STD_STRING_REF "RKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"
#if defined(_WIN32) && !defined(_WIN64)
// The callback type's explicit cdecl is part of the name on 32-bit Windows.
TARN_NOT_EXPORTED("_Z22kyMfsSetStatusCallbackPU5cdeclFv10ErrorLevel19ImageToolsErrorNamePKcS2_E")
#else
TARN_NOT_EXPORTED("_Z22kyMfsSetStatusCallbackPFv10ErrorLevel19ImageToolsErrorNamePKcS2_E")
#endif
TARN_NOT_EXPORTED("_Z22kyMfsGetStatusCallbackv")
TARN_NOT_EXPORTED("_Z15kyMfsLogMessage10ErrorLevel19ImageToolsErrorName" TARN_STD_STRING_REF)
TARN_NOT_EXPORTED("_Z8setError19ImageToolsErrorName" TARN_STD_STRING_REF)
TARN_NOT_EXPORTED("_Z11setLibError19ImageToolsErrorNamei")
TARN_NOT_EXPORTED("_Z12debugMessage" TARN_STD_STRING_REF)
TARN_NOT_EXPORTED("_Z11kyMfsAssertPKc")
#if defined(_WIN64)
TARN_NOT_EXPORTED("_Z11kyMfsMemCpyPvyPKvy")
#else
TARN_NOT_EXPORTED("_Z11kyMfsMemCpyPvjPKvj")
#endif
#undef TARN_STD_STRING_REF

void kyMfsSetStatusCallback(TarnStatusCallback callback) { s_tarnStatusCallback = callback; }

TarnStatusCallback kyMfsGetStatusCallback() { return s_tarnStatusCallback; }

void kyMfsLogMessage(ErrorLevel level, ImageToolsErrorName errorName, const std::string& message) {
  if (s_tarnStatusCallback == nullptr) return;
  if (level == UserError) level = Error;
  // Never throws: on allocation failure the name text is empty.
  const std::string nameText =
      errorName == ErrorNone ? std::string() : QelErrors::getErrorNameString(errorName);
  s_tarnStatusCallback(level, errorName, nameText.c_str(), message.c_str());
}

void setError(ImageToolsErrorName error, const std::string& info) {
  kyMfsLogMessage(Error, error, info);
}

void setLibError(ImageToolsErrorName error, int32_t libStatus) {
  if (s_tarnStatusCallback == nullptr) return;
  try {
    kyMfsLogMessage(Error, error, kLibStatusText + std::to_string(libStatus));
  } catch (const std::bad_alloc&) {
    kyMfsLogMessage(Error, error, std::string());
  }
}

void debugMessage(const std::string& message) { kyMfsLogMessage(Debug, ErrorNone, message); }

void kyMfsAssert(const char* message) {
  if (s_tarnStatusCallback == nullptr) return;
  try {
    kyMfsLogMessage(Error, ErrorNone, message != nullptr ? message : "");
  } catch (const std::bad_alloc&) {
    kyMfsLogMessage(Error, ErrorNone, std::string());
  }
}

U32 kyMfsMemCpy(void* dest, size_t numberOfElements, const void* src, size_t count) {
  if (count == 0) return SUCCESS;
  const U32 result = ByteCopy(dest, numberOfElements, src, count);
  if (result != SUCCESS && s_tarnStatusCallback != nullptr) {
    try {
      setError(ErrorNoMemory, kMemCpyFailedText + std::to_string(result));
    } catch (const std::bad_alloc&) {
      setError(ErrorNoMemory, std::string());
    }
  }
  return result;
}
