// The EFS table loader: reads the "EFST" part of the file-table blob.
#include "flash/efs/EFS_autogen.h"

#include <cstdlib>
#include <cstring>

#include "storage/ToolsFileTable.h"

uint32_t g_efs_bm_num = 2;
uint32_t g_efs_valid_block_num = 7;
uint32_t g_efs_non_valid_block_num = 3;
uint32_t g_efs_files_num = 16;
uint32_t g_efs_wear_leveling_threshold = 100;
uint8_t g_efs_layout_id = 0;
uint8_t g_efs_sku_id = 0;
bool g_efs_autogen_data_loaded = false;
EFS_file_descriptor_t* EFS_files = nullptr;

namespace {

enum : int { kDone = 0, kBadBlob = 1, kNoMemory = 12 };

// True when [offset, offset + length) lies inside a blob of `size` bytes.
// Computed in 64 bits so that no count read from the blob can wrap it.
bool inside(uint64_t offset, uint64_t length, uint32_t size) {
  return offset <= size && length <= size - offset;
}

}  // namespace

extern "C" int load_autogen_data(char* buffer, uint32_t dfs_sku, uint32_t buffer_size) {
  if (buffer == nullptr || !inside(0, sizeof(tools_file_table_header_t), buffer_size))
    return kBadBlob;
  tools_file_table_header_t ftbl;
  std::memcpy(&ftbl, buffer, sizeof ftbl);
  if (ftbl.signature != FILE_TABLE_SIGNATURE) return kBadBlob;

  // The "EFST" part follows the FTBL header and its per-SKU entries.
  const uint64_t efst_at = (uint64_t{ftbl.num_tables} + 1) * sizeof(tools_file_table_header_entry_t);
  if (!inside(efst_at, sizeof(tools_efs_file_table_header_t), buffer_size)) return kBadBlob;
  tools_efs_file_table_header_t efst;
  std::memcpy(&efst, buffer + efst_at, sizeof efst);
  // A blob without an EFS description for the SKU leaves the EFS unconfigured:
  // an earlier blob's geometry must not be mounted for this SKU.
  if (efst.signature != EFS_FILE_TABLE_SIGNATURE) {
    g_efs_autogen_data_loaded = false;
    return kDone;
  }

  const uint64_t entries_at = efst_at + sizeof efst;
  const uint64_t entries_len = uint64_t{efst.num_tables} * sizeof(tools_efs_file_table_header_entry_t);
  if (!inside(entries_at, entries_len, buffer_size)) return kBadBlob;

  tools_efs_file_table_header_entry_t entry;
  bool found = false;
  for (uint32_t i = 0; i < efst.num_tables && !found; ++i) {
    std::memcpy(&entry, buffer + entries_at + uint64_t{i} * sizeof entry, sizeof entry);
    found = entry.sku == dfs_sku;
  }
  if (!found) {
    g_efs_autogen_data_loaded = false;
    return kDone;
  }

  const uint64_t files_len = uint64_t{entry.num_files} * sizeof(tools_efs_file_entry_in_table_t);
  if (files_len < entry.table_size) return kBadBlob;
  if (!inside(entry.offset, files_len, buffer_size)) return kBadBlob;

  const char* files = buffer + entry.offset;
  for (uint32_t i = 0; i < entry.num_files; ++i) {
    tools_efs_file_entry_in_table_t file;
    std::memcpy(&file, files + uint64_t{i} * sizeof file, sizeof file);
    if (file.fileno >= entry.max_file_num || file.offset_in_block > EFS_MAX_OFFSET_IN_BLOCK)
      return kBadBlob;
  }

  // Everything is checked: build the new list before any global changes, so
  // that running out of memory leaves the previous load intact too.
  const uint64_t list_bytes = uint64_t{entry.max_file_num} * sizeof(EFS_file_descriptor_t);
  if (list_bytes > SIZE_MAX) return kNoMemory;
  // One descriptor at least, so that an empty list is still a distinct allocation.
  EFS_file_descriptor_t* list = static_cast<EFS_file_descriptor_t*>(
      std::calloc(entry.max_file_num == 0 ? 1 : static_cast<size_t>(entry.max_file_num),
                  sizeof(EFS_file_descriptor_t)));
  if (list == nullptr) return kNoMemory;

  for (uint32_t i = 0; i < entry.num_files; ++i) {
    tools_efs_file_entry_in_table_t file;
    std::memcpy(&file, files + uint64_t{i} * sizeof file, sizeof file);
    EFS_file_descriptor_t& d = list[file.fileno];  // a later entry replaces an earlier one
    d.Logical_Block = static_cast<uint8_t>(file.logical_block & 0xFF);
    d.Offset_In_Block = file.offset_in_block;
    d.Max_length = file.max_size;
    d.Flags.value = 0;
    d.Flags.bits.valid = 1;
  }

  g_efs_bm_num = entry.bm_num;
  g_efs_valid_block_num = entry.valid_block_num;
  g_efs_non_valid_block_num = entry.non_valid_block_num;
  g_efs_files_num = entry.max_file_num;
  g_efs_wear_leveling_threshold = entry.wear_leveling_threshold;
  g_efs_layout_id = static_cast<uint8_t>(entry.layout_id & 0xFF);
  std::free(EFS_files);
  EFS_files = list;
  g_efs_sku_id = static_cast<uint8_t>(dfs_sku & 0xFF);
  g_efs_autogen_data_loaded = true;
  return kDone;
}
