// EFS geometry of the loaded SKU and the loader that sets it from the "EFST"
// part of the file-table blob. Only load_autogen_data changes these globals;
// the EFS reads them.
#ifndef TARN_FLASH_EFS_EFS_AUTOGEN_H
#define TARN_FLASH_EFS_EFS_AUTOGEN_H

#include <cstdint>

#include "flash/efs/EFS_defines.h"
#include "flash/efs/EFS_filelist_autogen.h"

extern uint32_t g_efs_bm_num;               // block managers; initially 2
extern uint32_t g_efs_valid_block_num;      // logical data blocks; initially 7
extern uint32_t g_efs_non_valid_block_num;  // spare data blocks; initially 3
extern uint32_t g_efs_files_num;            // entries of EFS_files; initially 16
extern uint32_t g_efs_wear_leveling_threshold;  // initially 100
extern uint8_t g_efs_layout_id;             // low byte of the layout id
extern uint8_t g_efs_sku_id;                // low byte of the loaded SKU
extern bool g_efs_autogen_data_loaded;      // set by the first successful load

// Largest offset of a file's first piece inside a block's 4076-byte data area
// that the loader accepts: the 4-byte piece header must fit before its end.
constexpr uint32_t EFS_MAX_OFFSET_IN_BLOCK = EFS_PIECE_DATA_MAX;

// Reads the "EFST" part of the file-table blob for `dfs_sku`. Returns 0 when
// done, also when the blob has no "EFST" part or no entry for the SKU (nothing
// changes then); 1 for a bad blob; 12 when the file list cannot be allocated.
// Everything is checked before any global changes, so a refused load leaves
// the geometry and the file list of the previous load together.
extern "C" int load_autogen_data(char* buffer, uint32_t dfs_sku, uint32_t buffer_size);

#endif  // TARN_FLASH_EFS_EFS_AUTOGEN_H
