// Layout of the host's file-table blob ("ftbl.bin") and the lookups over the
// table of the selected SKU.
//
// Blob layout (little-endian):
//   0                        tools_file_table_header_t ("FTBL")
//   16 + 16*i                tools_file_table_header_entry_t, i < num_tables
//   (num_tables + 1) * 16    "EFST" part: tools_efs_file_table_header_t, then
//                            its per-SKU tools_efs_file_table_header_entry_t
//   entry.offset             num_files x tools_file_entry_in_table_t (FTBL)
//   efst_entry.offset        num_files x tools_efs_file_entry_in_table_t
//
// The blob is kept by pointer: it must stay alive and unchanged while lookups
// run.
#ifndef TARN_STORAGE_TOOLSFILETABLE_H
#define TARN_STORAGE_TOOLSFILETABLE_H

#include <cstdint>

#include "storage/storageDefs.h"

constexpr uint32_t FILE_TABLE_SIGNATURE = 0x4C425446;  // "FTBL"
constexpr uint32_t FILE_TABLE_MIN_SIZE = 1024;
constexpr uint32_t FILE_TABLE_MAX_TABLES = 10;
constexpr uint32_t FILE_TABLE_NAME_SIZE = 48;

constexpr uint32_t EFS_FILE_TABLE_SIGNATURE = 0x54534645;  // "EFST"

#pragma pack(push, 1)

typedef struct _tools_file_table_header_entry_t {
  uint32_t sku;
  uint32_t offset;     // of the SKU's entry array, from the start of the blob
  uint32_t num_files;  // number of tools_file_entry_in_table_t at offset
  uint32_t size;       // not read
} tools_file_table_header_entry_t;
static_assert(sizeof(tools_file_table_header_entry_t) == 16, "FTBL entry is 16 bytes");

typedef struct _tools_file_table_header_t {
  uint32_t signature;  // FILE_TABLE_SIGNATURE
  uint32_t version;    // not read
  uint32_t header_size;  // not read
  uint32_t num_tables;   // at most FILE_TABLE_MAX_TABLES
  // num_tables tools_file_table_header_entry_t follow.
} tools_file_table_header_t;
static_assert(sizeof(tools_file_table_header_t) == 16, "FTBL header is 16 bytes");

typedef struct _tools_file_entry_in_table_t {
  char unique_file_name[FILE_TABLE_NAME_SIZE];  // NUL-terminated only when shorter than 48
  fileno_t unique_fileno;
  file_attributes_t file_attributes;
  uint16_t group_id;
  uint16_t user_id;
  uint16_t media_type_fileno;  // the file's number inside its medium
  uint16_t permissions;
  uint8_t reserved;
  uint8_t sub_media_type;  // DFS_SUB_MEDIA_TYPE
  uint32_t max_file_size;  // largest payload allowed, in bytes
} tools_file_entry_in_table_t;
static_assert(sizeof(tools_file_entry_in_table_t) == 68, "file-table entry is 68 bytes");

typedef struct _tools_efs_file_table_header_t {
  uint32_t signature;  // EFS_FILE_TABLE_SIGNATURE
  uint32_t version;    // not read
  uint32_t header_size;  // not read
  uint32_t num_tables;   // tools_efs_file_table_header_entry_t that follow
} tools_efs_file_table_header_t;
static_assert(sizeof(tools_efs_file_table_header_t) == 16, "EFST header is 16 bytes");

typedef struct _tools_efs_file_table_header_entry_t {
  uint32_t sku;
  uint32_t offset;      // of the SKU's EFS file entries, from the start of the blob
  uint32_t num_files;   // number of tools_efs_file_entry_in_table_t at offset
  uint32_t table_size;  // at most num_files * 60
  uint32_t bm_num;
  uint32_t valid_block_num;
  uint32_t non_valid_block_num;
  uint32_t max_file_num;
  uint32_t wear_leveling_threshold;
  uint32_t layout_id;  // low byte used
} tools_efs_file_table_header_entry_t;
static_assert(sizeof(tools_efs_file_table_header_entry_t) == 40, "EFST entry is 40 bytes");

typedef struct _tools_efs_file_entry_in_table_t {
  uint16_t fileno;  // index into EFS_files
  char file_name[FILE_TABLE_NAME_SIZE];  // not read
  uint16_t logical_block;  // low byte used
  uint16_t offset_in_block;
  uint16_t max_size;
  uint16_t fwf_index;  // not read
  uint16_t flags;      // not read
} tools_efs_file_entry_in_table_t;
static_assert(sizeof(tools_efs_file_entry_in_table_t) == 60, "EFST file entry is 60 bytes");

#pragma pack(pop)

// The selected table: a pointer into the caller's blob, its entry count and
// its SKU (-1 until a table is selected).
extern "C" tools_file_entry_in_table_t* g_table_buf;
extern "C" int32_t g_table_num_files;
extern "C" int32_t g_dfs_sku;

// Selects the table of `dfs_sku` in the blob and hands the blob to the EFS
// table loader. Returns 0, or 1 for a blob that is too short, has a wrong
// signature, more than 10 tables, a selected entry array outside the blob, or
// an EFS part the loader refuses. A SKU without an entry keeps the previous
// selection.
extern "C" int load_file_table(char* buffer, unsigned dfs_sku, unsigned buffer_size);

// Drops the selection: no table, no entries, SKU -1, as before the first
// load. The blob itself is not touched.
extern "C" void clear_file_table_selection(void);

// Lookups over the selected table; the first match wins. Names compare over at
// most 48 characters (strncmp semantics). A miss changes no out-parameter.
extern "C" tools_file_entry_in_table_t* get_file_entry_by_file_name(const char* file_name);
tools_file_entry_in_table_t* get_file_entry_by_fileno(const fileno_t* fileno);
unsigned get_fileno_by_file_name(const char* file_name, fileno_t* fileno);
// Copies the 48 name bytes without adding a terminator.
unsigned get_file_name_by_fileno(const fileno_t* fileno, char* file_name);
// Returns 0xFFFFFFFF, writing nothing, when not found or max_file_size is null.
unsigned get_file_attributes_by_file_name(const char* file_name, file_attributes_t* attributes,
                                          unsigned* max_file_size);

constexpr unsigned FILE_TABLE_NOT_FOUND = 0xFFFFFFFFu;

#endif  // TARN_STORAGE_TOOLSFILETABLE_H
