// Status reporting of the interface layer. Every report the library sends to
// the host goes through these functions; nothing else calls the host's status
// callback. They are shared by the interface layer's files but are not entry
// points: none of them is exported.
//
// Reporting is off while no callback is stored: the functions then return at
// once and nothing is built, kept or printed. They never fail and never throw.
#ifndef TARN_STORAGELIB_KYMFS_REPORT_H
#define TARN_STORAGELIB_KYMFS_REPORT_H

#include <cstddef>
#include <string>

#include "storagelib/internal_symbol.h"
#include "storagelib/types.h"
#include "tarnstoragelib.h"

// Stores the host's status callback; null turns reporting off. Start-up
// stores the host's callback (null included) on every call; nothing else
// changes it, so it stays in force after shutdown.
TARN_INTERNAL void kyMfsSetStatusCallback(TarnStatusCallback callback);
TARN_INTERNAL TarnStatusCallback kyMfsGetStatusCallback();

// Sends (level, errorName, name text, message) to the stored callback.
// UserError is raised to Error; the name text is empty for ErrorNone and the
// catalogue text otherwise ("General Error" for a name without a row).
TARN_INTERNAL void kyMfsLogMessage(ErrorLevel level, ImageToolsErrorName errorName,
                                   const std::string& message);

// (Error, error, text of error, info).
TARN_INTERNAL void setError(ImageToolsErrorName error, const std::string& info);

// A failing lower layer under the interface's own error name:
// (Error, error, text of error, " Library status code: <libStatus>"), the
// status in signed decimal.
TARN_INTERNAL void setLibError(ImageToolsErrorName error, int32_t libStatus);

// (Debug, ErrorNone, "", message).
TARN_INTERNAL void debugMessage(const std::string& message);

// An internal consistency check that failed: (Error, ErrorNone, "", message).
// The caller goes on; nothing else happens.
TARN_INTERNAL void kyMfsAssert(const char* message);

// Bounded copy of `count` bytes from `src` into `dest`, a buffer of
// `numberOfElements` bytes. A count of 0 succeeds at once without looking at
// the pointers. Otherwise the result is ByteCopy's; a failure is also reported
// as ErrorNoMemory with "Memory copy failed with error <code>".
TARN_INTERNAL U32 kyMfsMemCpy(void* dest, size_t numberOfElements, const void* src, size_t count);

#endif  // TARN_STORAGELIB_KYMFS_REPORT_H
