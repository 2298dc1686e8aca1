// Status reporting of the interface layer. Every report the library sends to
// the host goes through these functions; nothing else calls the host's status
// callback. They are shared by the interface layer's files but are not entry
// points: none of them is exported.
//
// Reporting is off while no callback is stored: the functions then return at
// once and nothing is built, kept or printed. They never fail and never throw:
// a message that cannot be built for want of memory is sent empty. Callers
// therefore pass texts as they are, or a format and its arguments, and need
// no guard of their own.
#ifndef TARN_STORAGELIB_KYMFS_REPORT_H
#define TARN_STORAGELIB_KYMFS_REPORT_H

#include <cstddef>

#include "internal_symbol.h"
#include "storagelib/types.h"
#include "tarnstoragelib.h"

// printf-style checking of a format argument and the arguments after it.
#define TARN_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))

// Stores the host's status callback; null turns reporting off. Start-up
// stores the host's callback (null included) on every call; nothing else
// changes it, so it stays in force after shutdown.
TARN_INTERNAL void kyMfsSetStatusCallback(TarnStatusCallback callback);
TARN_INTERNAL TarnStatusCallback kyMfsGetStatusCallback();

// Sends (level, errorName, name text, message) to the stored callback.
// UserError is raised to Error; the name text is empty for ErrorNone and the
// catalogue text otherwise ("General Error" for a name without a row). A null
// message is sent as "". Every other report goes through this one.
TARN_INTERNAL void kyMfsLogMessage(ErrorLevel level, ImageToolsErrorName errorName,
                                   const char* message);

// (Error, error, text of error, info).
TARN_INTERNAL void setError(ImageToolsErrorName error, const char* info);
// The same with the message built from `format` and the arguments as
// printf builds it; built only while a callback is stored.
TARN_INTERNAL void setErrorFormat(ImageToolsErrorName error, const char* format, ...)
    TARN_PRINTF_FORMAT(2, 3);

// A failing lower layer under the interface's own error name:
// (Error, error, text of error, " Library status code: <libStatus>"), the
// status in signed decimal.
TARN_INTERNAL void setLibError(ImageToolsErrorName error, int32_t libStatus);

// (Debug, ErrorNone, "", message).
TARN_INTERNAL void debugMessage(const char* message);
// The same with the message built as setErrorFormat builds it.
TARN_INTERNAL void debugMessageFormat(const char* format, ...) TARN_PRINTF_FORMAT(1, 2);

// An internal consistency check that failed: (Error, ErrorNone, "", message).
// The caller goes on; nothing else happens.
TARN_INTERNAL void kyMfsAssert(const char* message);

// Bounded copy of `count` bytes from `src` into `dest`, a buffer of
// `numberOfElements` bytes. A count of 0 succeeds at once without looking at
// the pointers. Otherwise the result is ByteCopy's; a failure is also reported
// as ErrorNoMemory with "Memory copy failed with error <code>".
TARN_INTERNAL U32 kyMfsMemCpy(void* dest, size_t numberOfElements, const void* src, size_t count);

#endif  // TARN_STORAGELIB_KYMFS_REPORT_H
