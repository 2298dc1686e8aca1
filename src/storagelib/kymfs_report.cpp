#include "storagelib/kymfs_report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <string>

#include "storagelib/errorlist.h"
#include "storagelib/memory_utils.h"
#include "storagelib/qelerrors.h"

namespace {

TarnStatusCallback s_tarnStatusCallback = nullptr;

// The text printf would make of `format` and `args`; empty when it cannot be
// made (no memory, or a format the runtime refuses).
std::string formatMessage(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return std::string();
  std::string text;
  try {
    text.resize(static_cast<size_t>(length));
  } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
    return std::string();
  }
  // The terminator goes into the string's own terminating byte.
  std::vsnprintf(&text[0], text.size() + 1, format, args);
  return text;
}

void logFormatted(ErrorLevel level, ImageToolsErrorName errorName, const char* format,
                  va_list args) {
  const std::string message = format != nullptr ? formatMessage(format, args) : std::string();
  kyMfsLogMessage(level, errorName, message.c_str());
}

}  // namespace

void kyMfsSetStatusCallback(TarnStatusCallback callback) { s_tarnStatusCallback = callback; }

TarnStatusCallback kyMfsGetStatusCallback() { return s_tarnStatusCallback; }

void kyMfsLogMessage(ErrorLevel level, ImageToolsErrorName errorName, const char* message) {
  if (s_tarnStatusCallback == nullptr) return;
  if (level == UserError) level = Error;
  // Never throws: on allocation failure the name text is empty.
  const std::string nameText =
      errorName == ErrorNone ? std::string() : QelErrors::getErrorNameString(errorName);
  s_tarnStatusCallback(level, errorName, nameText.c_str(), message != nullptr ? message : "");
}

void setError(ImageToolsErrorName error, const char* info) { kyMfsLogMessage(Error, error, info); }

void setErrorFormat(ImageToolsErrorName error, const char* format, ...) {
  if (s_tarnStatusCallback == nullptr) return;
  va_list args;
  va_start(args, format);
  logFormatted(Error, error, format, args);
  va_end(args);
}

void setLibError(ImageToolsErrorName error, int32_t libStatus) {
  setErrorFormat(error, " Library status code: %" PRId32, libStatus);
}

void debugMessage(const char* message) { kyMfsLogMessage(Debug, ErrorNone, message); }

void debugMessageFormat(const char* format, ...) {
  if (s_tarnStatusCallback == nullptr) return;
  va_list args;
  va_start(args, format);
  logFormatted(Debug, ErrorNone, format, args);
  va_end(args);
}

void kyMfsAssert(const char* message) { kyMfsLogMessage(Error, ErrorNone, message); }

U32 kyMfsMemCpy(void* dest, size_t numberOfElements, const void* src, size_t count) {
  if (count == 0) return SUCCESS;
  const U32 result = ByteCopy(dest, numberOfElements, src, count);
  if (result != SUCCESS) setErrorFormat(ErrorNoMemory, "Memory copy failed with error %" PRIu32, result);
  return result;
}
