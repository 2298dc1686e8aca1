// Host configuration record and table names (to be folded into
// tarnstoragelib.h).
#ifndef TARNSTORAGELIB_SCRATCH_H
#define TARNSTORAGELIB_SCRATCH_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define TARN_CDECL __cdecl
#else
#define TARN_CDECL
#endif
typedef uint8_t U8;
typedef uint32_t U32;

// ---------------------------------------------------------------------------
// Host configuration
//
// The first argument of kyMfsTarnInit. The records are byte-packed: nothing
// lies between or after the fields, so a buffer's 32-bit size sits directly
// behind its pointer. Pointers take 8 bytes in the 64-bit build and 4 in the
// 32-bit build; everything else is the same in both. The host keeps
// ownership of every buffer. The library copies the defaults table, the
// configuration partition's table and the file table at start-up, and works
// on the MFS and EFS regions in place while it is initialised.
// ---------------------------------------------------------------------------
#pragma pack(push, 1)

// One host buffer. A size of 0 means the buffer is absent; a size with a
// null pointer is refused at start-up.
typedef struct _commonTarnTable {
  char* data;  // first byte of the buffer
  U32 size;    // length in bytes
} CommonTarnTable;

// The file-table blob ("ftbl.bin" with its "EFST" part) and the SKU whose
// tables are used.
typedef struct _ftblTable {
  CommonTarnTable commonData;
  U32 afsSkuId;
} FtblTable;

typedef struct _modQelStorageLibConfig {
  CommonTarnTable orvanCfgTable;  // defaults table (FCS buffer); mandatory
  CommonTarnTable qelcCfgTable;   // configuration partition: 16-byte header, then an FCS buffer
  CommonTarnTable mfsTable;       // MFS region (AFS partition image), used in place
  FtblTable ftblTable;            // file table; mandatory
  CommonTarnTable efsTable;       // EFS region, used in place
} ModQelStorageLibConfig;

#pragma pack(pop)

// The layout is shared with the host byte for byte.
static_assert(sizeof(void*) == 8 || sizeof(void*) == 4, "32- or 64-bit pointers");
#define TARN_PTR_SIZE sizeof(void*)
static_assert(sizeof(CommonTarnTable) == TARN_PTR_SIZE + 4, "CommonTarnTable: 12 / 8 bytes");
static_assert(offsetof(CommonTarnTable, data) == 0, "CommonTarnTable::data");
static_assert(offsetof(CommonTarnTable, size) == TARN_PTR_SIZE, "CommonTarnTable::size");
static_assert(sizeof(FtblTable) == TARN_PTR_SIZE + 8, "FtblTable: 16 / 12 bytes");
static_assert(offsetof(FtblTable, commonData) == 0, "FtblTable::commonData");
static_assert(offsetof(FtblTable, afsSkuId) == TARN_PTR_SIZE + 4, "FtblTable::afsSkuId");
static_assert(sizeof(ModQelStorageLibConfig) == 5 * TARN_PTR_SIZE + 24,
              "ModQelStorageLibConfig: 64 / 44 bytes");
static_assert(offsetof(ModQelStorageLibConfig, orvanCfgTable) == 0, "orvanCfgTable");
static_assert(offsetof(ModQelStorageLibConfig, qelcCfgTable) == 1 * (TARN_PTR_SIZE + 4),
              "qelcCfgTable at 12 / 8");
static_assert(offsetof(ModQelStorageLibConfig, mfsTable) == 2 * (TARN_PTR_SIZE + 4),
              "mfsTable at 24 / 16");
static_assert(offsetof(ModQelStorageLibConfig, ftblTable) == 3 * (TARN_PTR_SIZE + 4),
              "ftblTable at 36 / 24");
static_assert(offsetof(ModQelStorageLibConfig, efsTable) == 4 * (TARN_PTR_SIZE + 4) + 4,
              "efsTable at 52 / 36");
#undef TARN_PTR_SIZE

// ---------------------------------------------------------------------------
// Configuration tables
// ---------------------------------------------------------------------------

// Names of the three configuration tables. The values are DFS file numbers
// (media type 1, AFS files 6 to 9).
enum FcsFileName : int32_t {
  FcsFileNameOrvanCfg = 0x10000006,     // defaults
  FcsFileNameQelCfg = 0x10000007,       // overrides
  FcsFileNameCurrentsCfg = 0x10000008,  // current values
  FcsFileNameInvalid = 0x10000009,      // no table
};
static_assert(sizeof(FcsFileName) == 4, "FcsFileName is 32 bits");

// The host's table selector, turned into an FcsFileName by
// kyMfsGetFcsFileNameMapping.
enum FcsFileNameMap : int32_t {
  OrvanCfgMap = 0,
  QelCfgMap = 1,
  CurrentsCfg = 2,
};
static_assert(sizeof(FcsFileNameMap) == 4, "FcsFileNameMap is 32 bits");

// ---------------------------------------------------------------------------
// Library state
// ---------------------------------------------------------------------------
extern "C" {

// True while the MFS region is mounted. May be called at any time; false
// before start-up and after the library has been shut down.
bool TARN_CDECL kyMfsIsInitialized(void);

// True while the defaults, overrides and current-values tables are loaded.
bool TARN_CDECL kyFcsIsInitialized(void);

}  // extern "C"

#endif  // TARNSTORAGELIB_SCRATCH_H
