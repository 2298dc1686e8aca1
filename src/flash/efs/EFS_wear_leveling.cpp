// Static wear levelling: rarely written data moves onto the most-worn spare,
// and its little-worn block joins the spares.
#include "flash/efs/EFS_verified_reads.h"

using namespace efs_internal;

extern "C" int EFS_wear_leveling(uint32_t total_time, uint32_t prtc_time) {
  if (!context_ready()) return EFS_STATUS_NOT_MOUNTED;
  if (valid_count() == 0 || spare_count() == 0) return EFS_STATUS_OK;
  const EFS_BME_t& current = efs_ctx.current_BME;
  const uint32_t* ec = efs_ctx.Physical_Blocks_EC;

  // Ties go to the later logical block and to the later spare slot.
  uint32_t logical = 0;
  for (uint32_t i = 1; i < valid_count(); ++i)
    if (ec[current.Valid_Blocks[i]] <= ec[current.Valid_Blocks[logical]]) logical = i;
  uint32_t slot = 0;
  for (uint32_t j = 1; j < spare_count(); ++j)
    if (ec[current.Non_Valid_Blocks[j]] >= ec[current.Non_Valid_Blocks[slot]]) slot = j;
  const uint32_t least_worn = current.Valid_Blocks[logical];
  const uint32_t most_worn = current.Non_Valid_Blocks[slot];
  if (ec[most_worn] < ec[least_worn] || ec[most_worn] - ec[least_worn] < g_efs_wear_leveling_threshold)
    return EFS_STATUS_OK;

  OwnedBme moved;
  if (!moved.allocate()) return EFS_STATUS_NO_MEMORY;
  uint8_t* block = efs_ctx.work_buff;
  int status = EFS_read_and_verify_data_block_header_and_footer(
      static_cast<int>(least_worn), reinterpret_cast<EFS_Data_Block_t*>(block), true, false);
  if (status != EFS_STATUS_OK) return status;
  if (efs_ctx.Non_Valid_Blocks_Status[slot] == EFS_SPARE_DIRTY) {
    status = EFS_erase_data_block(most_worn, efs_ctx.Physical_Blocks_EC[most_worn]);
    if (status != EFS_STATUS_OK) return status;
    ++efs_ctx.Physical_Blocks_EC[most_worn];  // erased, then taken at once: the free count stays
  } else if (efs_ctx.Num_Of_Free_Non_Valid_Blocks != 0) {
    --efs_ctx.Num_Of_Free_Non_Valid_Blocks;
  }
  // From here the spare holds (part of) a copy: dirty until erased again.
  efs_ctx.Non_Valid_Blocks_Status[slot] = EFS_SPARE_DIRTY;

  // Data area and footer move unchanged; the spare keeps its own header.
  status = EFS_write_with_read_check(block_address(most_worn) + EFS_DATA_AREA_OFFSET,
                                     EFS_BLOCK_SIZE - EFS_DATA_AREA_OFFSET, block + EFS_DATA_AREA_OFFSET, true);
  if (status != EFS_STATUS_OK) return status;
  copy_bme(&moved.bme, current);
  moved.bme.Non_Valid_Blocks[slot] = static_cast<uint8_t>(least_worn);
  moved.bme.Valid_Blocks[logical] = static_cast<uint8_t>(most_worn);
  return EFS_commit_BME(&moved.bme, total_time, prtc_time);
}
