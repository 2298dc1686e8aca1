// Formatting: every block erased, logical block i on physical block i with
// the headers of its absent files, every spare free, BM 0 with counter 1.
#include "flash/efs/EFS_internal.h"

using namespace efs_internal;

namespace {

// Lays out logical block i's data area in `area`: all 0xFF with an
// absent-file header at the first piece of each file that starts in it.
int build_empty_area(uint32_t logical, uint8_t* area) {
  std::memset(area, EFS_ERASED_BYTE, EFS_DATA_AREA_SIZE);
  for (uint32_t f = 0; EFS_files != nullptr && f < g_efs_files_num; ++f) {
    const EFS_file_descriptor_t& d = EFS_files[f];
    if (!d.Flags.bits.valid || d.Logical_Block != logical) continue;
    if (d.Offset_In_Block > EFS_PIECE_DATA_MAX) return EFS_STATUS_CANNOT_PLACE;
    uint8_t* header = area + d.Offset_In_Block;
    store_le16(header, EFS_FILE_ABSENT);
    store_le16(header + offsetof(EFS_File_Header_t, FileCrc16),
               EFS_crc16(static_cast<uint16_t>(logical), header, sizeof(uint16_t)));
  }
  return EFS_STATUS_OK;
}

}  // namespace

extern "C" int EFS_do_format(void) {
  if (!context_ready()) return EFS_STATUS_NOT_MOUNTED;
  // The mapping in RAM no longer describes the region: a change made through
  // it would be lost at the next mount. Only a mount makes the EFS usable again.
  efs_ctx.initlized = false;
  int status = EFS_STATUS_OK;
  for (uint32_t bm = 0; bm < bm_count() && status == EFS_STATUS_OK; ++bm)
    status = EFS_physical_erase(bm_address(bm), EFS_BLOCK_SIZE);
  for (uint32_t p = 0; p < physical_count() && status == EFS_STATUS_OK; ++p) status = EFS_erase_data_block(p, 0);
  if (status != EFS_STATUS_OK) return status;

  OwnedBme first;
  if (!first.allocate()) return EFS_STATUS_NO_MEMORY;
  uint8_t* area = efs_ctx.work_buff;
  for (uint32_t i = 0; i < valid_count(); ++i) {
    status = build_empty_area(i, area);
    if (status == EFS_STATUS_OK) status = EFS_write_data_block(i, area);
    if (status != EFS_STATUS_OK) return status;
    first.bme.Valid_Blocks[i] = static_cast<uint8_t>(i);
  }
  for (uint32_t j = 0; j < spare_count(); ++j) first.bme.Non_Valid_Blocks[j] = static_cast<uint8_t>(valid_count() + j);

  uint8_t record[EFS_BME_MAX_SIZE];
  seal_bme(&first.bme, record);
  return start_bm(0, record, 1);
}
