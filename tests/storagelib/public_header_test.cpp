// The host's header is included first and alone: it must compile on its own,
// and its report types must have the widths and values the host expects.
#include "tarnstoragelib.h"

#include <gtest/gtest.h>

namespace {

static_assert(sizeof(ErrorLevel) == 4, "ErrorLevel is 32 bits");
static_assert(sizeof(ImageToolsErrorName) == 4, "ImageToolsErrorName is 32 bits");
static_assert(sizeof(ImageToolsErrorType) == 4, "ImageToolsErrorType is 32 bits");
static_assert(Debug == 0 && Info == 1 && Warning == 2 && UserError == 3 && Error == 4, "");
static_assert(sizeof(U8) == 1 && sizeof(U32) == 4, "");
static_assert(sizeof(ModQelStorageLibConfig) == (sizeof(void*) == 8 ? 64 : 44),
              "host configuration record");
static_assert(FcsFileNameOrvanCfg == 0x10000006 && FcsFileNameQelCfg == 0x10000007 &&
                  FcsFileNameCurrentsCfg == 0x10000008 && FcsFileNameInvalid == 0x10000009,
              "table names are DFS file numbers");
static_assert(OrvanCfgMap == 0 && QelCfgMap == 1 && CurrentsCfg == 2, "");

// The state queries as a host binds them.
bool(TARN_CDECL* const hostMfsQuery)(void) = kyMfsIsInitialized;
bool(TARN_CDECL* const hostFcsQuery)(void) = kyFcsIsInitialized;

int g_calls = 0;
void TARN_CDECL hostCallback(ErrorLevel, ImageToolsErrorName, const char*, const char*) {
  ++g_calls;
}

TEST(PublicHeader, HostCallbackMatchesTheCallbackType) {
  TarnStatusCallback callback = hostCallback;
  callback(Error, ErrorNoMemory, "Out of memory.", "message");
  EXPECT_EQ(g_calls, 1);
}

TEST(PublicHeader, StateQueriesBindAsTheHostBindsThem) {
  EXPECT_EQ(kyMfsIsInitialized(), hostMfsQuery());
  EXPECT_EQ(kyFcsIsInitialized(), hostFcsQuery());
}

}  // namespace
