// The interface layer's own state and its configuration tables.
//
// The library keeps every configuration table twice: as a handle of the
// configuration file store (which serialises it) and as a doubly linked list
// of FcsFileEntry, one per file of the handle (which the rest of the interface
// layer searches, hands out and changes).
//
// Nothing declared here is an entry point: the state and the table operations
// are shared by the interface layer's files only and are left out of the
// library's export table (see internal_symbol.h). The host reaches them
// through the exported operations alone.
//
// Reports go to the host's status callback through the reporting functions of
// kymfs_report.h; every operation reports its own failure before it returns.
#ifndef TARN_STORAGELIB_KYMFS_H
#define TARN_STORAGELIB_KYMFS_H

#include <cstdint>

#include "storage/FCS.h"
#include "storage/storageDefs.h"
#include "internal_symbol.h"
#include "tarnstoragelib.h"

// Longest path an entry holds, terminator included.
constexpr uint32_t FCS_ENTRY_PATH_SIZE = 255;

#pragma pack(push, 1)

// One file of a configuration table. An entry owns its payload buffer; a
// table owns the entries of its list. Two entries never share a buffer.
typedef struct FcsFileEntry {
  // The record's 12-byte header, then the file table's attributes and
  // max_file_size for the file.
  cfg_file_entry_with_file_attributes_t attributes;
  char* data;           // payload, dataSize bytes; null when none was loaded or it is empty
  bool isDirectory;     // never set by this library
  bool isManufEnabled;  // allow_qelc_override of the record header: the host may change it
  char relativePath[FCS_ENTRY_PATH_SIZE];  // the file's path, NUL-terminated
  U32 dataSize;         // payload bytes (the header's length when loaded; later resized)
  bool inFcsTable;      // linked into a table's list
  FcsFileEntry* prev;
  FcsFileEntry* next;
} FcsFileEntry;

// One configuration table. A table is released only by kyMfsFreeFcsTable.
typedef struct FcsTable {
  FCS_HANDLE handle;        // store handle holding the table's files; null when none
  FcsFileName fileName;     // which table this is; set when it is made empty
  U32 numFiles;             // entries linked into the list
  char* data;               // the table's serialised FCS buffer, owned by the table
  U32 datasize;             // bytes in data
  FcsFileEntry* firstEntry;  // null when the list is empty
  FcsFileEntry* lastEntry;

  // An unmade table: no handle, no entries, no buffer, FcsFileNameInvalid.
  constexpr FcsTable()
      : handle(nullptr),
        fileName(FcsFileNameInvalid),
        numFiles(0),
        data(nullptr),
        datasize(0),
        firstEntry(nullptr),
        lastEntry(nullptr) {}
} FcsTable;

// Header of the configuration (QELC) partition; an FCS buffer of `size`
// bytes follows it. Only `size` is used; the rest is not checked.
typedef struct _manuf_cfg_header_t {
  uint8_t version;
  uint8_t reserved[3];
  uint32_t header_crc;
  uint32_t size;  // bytes of the FCS buffer that follow the header
  uint32_t data_crc;
  // uint8_t data[size] follows.
} manuf_cfg_header_t;

#pragma pack(pop)

static_assert(sizeof(manuf_cfg_header_t) == 16, "manuf_cfg_header_t is 16 bytes");
static_assert(sizeof(FcsFileEntry) == 18 + 3 * sizeof(void*) + 2 + FCS_ENTRY_PATH_SIZE + 4 + 1,
              "FcsFileEntry is packed");
static_assert(sizeof(FcsTable) == 4 * sizeof(void*) + 12, "FcsTable is packed");

extern "C" {

// ---------------------------------------------------------------------------
// Library state (one set per process; touched from the caller's thread only)
// ---------------------------------------------------------------------------

TARN_INTERNAL extern bool s_mfsInitialized;  // the MFS region is mounted through DFS
TARN_INTERNAL extern bool s_fcsInitialized;  // the three configuration tables are loaded
TARN_INTERNAL extern FcsTable s_orvanCfgTable;       // defaults
TARN_INTERNAL extern FcsTable s_qelCfgTable;         // overrides
TARN_INTERNAL extern FcsTable s_currentValuesTable;  // current values
TARN_INTERNAL extern FcsTable s_builtQelCfgTable;    // overrides rebuilt at shutdown
// The file table is still to be handed to the store (by the next table load).
TARN_INTERNAL extern bool s_tarnLoadFileTable;
TARN_INTERNAL extern U32 s_tarnAfsSkuId;  // SKU passed with the file table

// Replaces the library's copy of the file-table blob by `size` bytes at
// `data`, keeps `afsSkuId` and marks the file table as still to be handed to
// the store. The store's selection points into the former copy, so it is
// cleared when the copy is replaced: until the new copy is handed over,
// lookups find nothing rather than reading freed memory. Returns false, with
// ErrorNoMemory reported, when the new copy cannot be made: the former copy,
// the store's selection in it, the SKU and the flag are then all kept.
TARN_INTERNAL bool kyMfsSetFileTableCopy(const char* data, U32 size, U32 afsSkuId);

// If the file table is still to be handed over, selects it in the store
// (load_file_table with the library's copy and SKU) and, on success, clears
// the flag. Returns 0 when nothing was pending or the hand-over succeeded,
// else load_file_table's status (the flag then stays set). Reports nothing.
TARN_INTERNAL int kyMfsHandOverFileTable(void);

// ---------------------------------------------------------------------------
// Configuration checks (start-up). Nothing in the buffers is read.
// ---------------------------------------------------------------------------

// False, with ErrorMfsInitError "Invalid table <tableName>. The table is
// loaded but data is empty." reported, when the buffer has a size but no
// data; an absent buffer (size 0) passes.
TARN_INTERNAL bool verifyOrvanTable(const char* tableName, const CommonTarnTable& table);

// The defaults table is mandatory: a size of 0 is reported as
// ErrorLoadingOrvanCfg; otherwise as verifyOrvanTable.
TARN_INTERNAL bool verifyOrvanCfgTable(const CommonTarnTable& table);

// All five descriptors, in the order defaults, "qelc.cfg", "ftbl.bin", "MFS",
// "EFS"; stops at the first failure.
TARN_INTERNAL bool kyMfsTarnInitConfig(ModQelStorageLibConfig& config);

// ---------------------------------------------------------------------------
// Table operations. A bool result is true on success.
// ---------------------------------------------------------------------------

// Makes `fcsTable` an empty table named `fileName` with a fresh store handle.
// The table must hold nothing (constructed or freed).
TARN_INTERNAL bool kyMfsNewFcsTable(FcsTable& fcsTable, FcsFileName fileName);

// Loads a table from a host FCS buffer, which is copied (the host keeps its
// own). Payloads are read when `loadData` is set. The table must hold
// nothing; a failure after the copy was made leaves it freed.
TARN_INTERNAL bool kyMfsLoadPtrTableData(FcsTable& fcsTable, char* data, U32 dataSize, bool loadData);

// Loads the overrides table from the configuration partition: a 16-byte
// manuf_cfg_header_t, then an FCS buffer of the header's `size` bytes. A
// partition of size 0 gives an empty table named FcsFileNameQelCfg
// (`partitionBuffer` may then be null).
TARN_INTERNAL bool kyMfsLoadFcsTableFromQelcPartition(FcsTable& fcsTable, bool loadData,
                                                      char* partitionBuffer, U32 partitionSize);

// Opens a store handle on the table's `data` / `datasize` (handing the file
// table over first when that is pending) and reads every record into an
// entry, in the store's name order.
TARN_INTERNAL bool kyMfsLoadFcsTableFiles(FcsTable& fcsTable, bool loadData);

// Reads the next file of the table's handle into a new entry and links it.
// `status` receives the store's status of the listing step; true with
// FCS_ERR_NO_MORE_FILES ends the walk.
TARN_INTERNAL bool kyMfsProcessNextFile(FcsTable& fcsTable, bool loadData, int& status);

// Links an unlinked entry at the end of the table's list.
TARN_INTERNAL void kyMfsInsertFile(FcsTable& fcsTable, FcsFileEntry* fileEntry);

// A deep, unlinked copy with its own payload buffer, owned by the caller; or
// null (for a source, with ErrorNoMemory reported). A copy that fails is
// released without touching the source.
TARN_INTERNAL FcsFileEntry* copyFileEntry(FcsFileEntry* fileEntry);

// The first entry of the list whose path equals `path` in its first 255
// characters, or null. Lookups go through an index of the list (one hash
// probe each), which the table operations keep; a list changed by other means
// is indexed again before the next lookup.
TARN_INTERNAL FcsFileEntry* kyMfsFindEntry(FcsTable& fcsTable, const char* path);

// A deep copy of the first entry whose path equals `filePath` in its first
// 255 characters, or null: for a missing path, and for a copy that cannot be
// made (copyFileEntry reports that). The table is not changed.
TARN_INTERNAL FcsFileEntry* kyMfsFindCopyFile(FcsTable& fcsTable, const char* filePath);

// Adds an unlinked entry to the table's handle, under the name path + "/",
// and links it. With `enforceMaxFileSize` the store refuses a payload above
// the file's max_file_size. A record the store refuses, and a payload above
// CFG_FILE_MAX_PAYLOAD_SIZE, is left out with two debug reports; the entry is
// released and the result is still true. The store running out of memory is
// no refusal: it is reported as ErrorFcsAddNewFile with the store's status,
// and the result is false. Takes ownership of the entry whenever it returns
// true; on false the caller keeps it and the table is unchanged.
TARN_INTERNAL bool kyMfsAddNewFileFcs(FcsTable& fcsTable, FcsFileEntry* fileEntry,
                                      bool enforceMaxFileSize);

// Serialises the table's handle into a new `data` buffer of `datasize` bytes.
TARN_INTERNAL bool kyMfsSerializeFcsTable(FcsTable& fcsTable);

// Frees an entry and its payload; null is ignored.
TARN_INTERNAL void kyMfsFreeFileEntry(FcsFileEntry* fileEntry);

// Releases a table: closes its handle, frees its buffer and every entry and
// leaves it with no handle, no buffer, no entries, datasize 0 and numFiles 0
// (fileName is kept). Harmless on a constructed or already freed table.
TARN_INTERNAL void kyMfsFreeFcsTable(FcsTable& fcsTable);

// Releases the overrides, defaults and current-values tables, in that order,
// and clears s_fcsInitialized. The rebuilt overrides table is not touched.
TARN_INTERNAL void kyMfsCleanStaticTables(void);

// Rebuilds s_builtQelCfgTable as a shutdown does before it writes back: a
// copy of every overridable current value, in their order. The store leaves
// out a value above its file's maximum size. False, with the table left as
// far as it got, when the table cannot be made or a value cannot be copied or
// added.
TARN_INTERNAL bool kyMfsBuildOverrides(void);

// ---------------------------------------------------------------------------
// Current values and VFS synchronisation
// ---------------------------------------------------------------------------

// Builds `currentValuesTable` (which must hold nothing): for each overridable
// entry of the defaults, in their order, a copy of the override with the same
// path, or else of the default. A value the store refuses is left out (see
// kyMfsAddNewFileFcs). A table that cannot be made, and a value that cannot
// be copied or added for want of memory, fail the build with
// ErrorCreatingCurrentValsTable reported after the cause, the table left
// freed: a value silently missing, or the default's taken in place of an
// override, would be written back at shutdown and lose the override.
TARN_INTERNAL bool kyMfsGenerateFcsCurrentsTable(FcsTable& defaultsTable, FcsTable& overridesTable,
                                                 FcsTable& currentValuesTable);

// For each overridable entry of `defaultsTable` whose VFS file can be found
// and is not encrypted, sets the current value to the file's contents (less
// the blob metadata at the end of an integrity-protected file). Fails at the
// first file whose size or contents cannot be read, that is shorter than its
// metadata, or whose current value cannot be resized.
TARN_INTERNAL bool kyMfsFillCurrentsTableFromVFS(FcsTable& defaultsTable);

// Writes each overridable variable of `fcsTable` that is not integrity
// protected to its VFS file, ending the file after the value. Fails when the
// MFS region is not mounted, or at the first variable without a VFS file or
// whose file cannot be sized or written.
TARN_INTERNAL bool kyMfsWriteFcsToVfs(FcsTable& fcsTable);

// The write-out without a VFS: serialises `fcsTable` (which then holds its FCS
// buffer). Writing it into the MFS region (`cfgIsInMfs`) is not done and is
// refused.
TARN_INTERNAL bool kyMfsWriteFcsToMfs(FcsTable& fcsTable, bool cfgIsInMfs);

}  // extern "C"

#endif  // TARN_STORAGELIB_KYMFS_H
