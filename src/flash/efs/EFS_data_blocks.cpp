// Data blocks: the scan of erase counts and spare states, choosing and
// erasing spares, writing a block, and the copy-on-write swap.
#include "flash/efs/EFS_verified_reads.h"

using namespace efs_internal;

namespace {

uint32_t spare_block(uint32_t slot) { return efs_ctx.current_BME.Non_Valid_Blocks[slot]; }

void mark_spare_dirty(uint32_t slot) {
  if (efs_ctx.Non_Valid_Blocks_Status[slot] == EFS_SPARE_FREE && efs_ctx.Num_Of_Free_Non_Valid_Blocks != 0)
    --efs_ctx.Num_Of_Free_Non_Valid_Blocks;
  efs_ctx.Non_Valid_Blocks_Status[slot] = EFS_SPARE_DIRTY;
}

// The spare slot in state `state` whose block has the lowest erase count
// (the first on ties); false when no slot is in that state.
bool least_worn_spare(uint8_t state, uint32_t* slot) {
  bool found = false;
  for (uint32_t j = 0; j < spare_count(); ++j) {
    if (efs_ctx.Non_Valid_Blocks_Status[j] != state) continue;
    if (!found || efs_ctx.Physical_Blocks_EC[spare_block(j)] < efs_ctx.Physical_Blocks_EC[spare_block(*slot)]) {
      *slot = j;
      found = true;
    }
  }
  return found;
}

// Tests, re-reading the block after each failed test, whether spare block p
// (already in work_buff with a sound header) is blank past its header.
int spare_is_blank(uint32_t physical, bool* blank) {
  uint8_t* block = efs_ctx.work_buff;
  for (uint32_t i = 0; i < attempts(); ++i) {
    if (i != 0) {
      const int status = EFS_physical_read(block_address(physical), EFS_BLOCK_SIZE, block);
      if (status != EFS_STATUS_OK) return status;
    }
    *blank = EFS_is_buffer_all_ff(block + EFS_DATA_AREA_OFFSET, EFS_BLOCK_SIZE - EFS_DATA_AREA_OFFSET);
    if (*blank) break;
  }
  return EFS_STATUS_OK;
}

}  // namespace

extern "C" int EFS_scan_for_Data_Blocks_status_and_EC(void) {
  if (!context_ready()) return EFS_STATUS_NOT_MOUNTED;
  efs_ctx.Num_Of_Free_Non_Valid_Blocks = 0;
  uint32_t corrupt = 0, corrupt_block = 0, corrupt_slot = 0;
  for (uint32_t i = 0; i < physical_count(); ++i) {
    const bool spare = i >= valid_count();
    const uint32_t slot = i - valid_count();
    const uint32_t p = spare ? spare_block(slot) : efs_ctx.current_BME.Valid_Blocks[i];
    int status = EFS_read_and_verify_data_block_header_and_footer(
        static_cast<int>(p), reinterpret_cast<EFS_Data_Block_t*>(efs_ctx.work_buff), false, true);
    if (status == EFS_STATUS_CORRUPT && spare) {
      efs_ctx.Non_Valid_Blocks_Status[slot] = EFS_SPARE_DIRTY;
      efs_ctx.Physical_Blocks_EC[p] = 0;
      ++corrupt;
      corrupt_block = p;
      corrupt_slot = slot;
      continue;
    }
    if (status != EFS_STATUS_OK) return status;
    efs_ctx.Physical_Blocks_EC[p] = load_le32(efs_ctx.work_buff + offsetof(EFS_Data_Block_Header_t, Erase_Countr));
    if (!spare) continue;
    bool blank = false;
    status = spare_is_blank(p, &blank);
    if (status != EFS_STATUS_OK) return status;
    efs_ctx.Non_Valid_Blocks_Status[slot] = blank ? EFS_SPARE_FREE : EFS_SPARE_DIRTY;
    if (blank) ++efs_ctx.Num_Of_Free_Non_Valid_Blocks;
  }
  if (corrupt > 1) return EFS_STATUS_CORRUPT;
  if (corrupt == 1) {
    // The repaired block gets the mean count of the others (32-bit sum, as
    // the device computes it); alone, it gets the count of a fresh format.
    uint32_t sum = 0;
    for (uint32_t p = 0; p < physical_count(); ++p)
      if (p != corrupt_block) sum += efs_ctx.Physical_Blocks_EC[p];
    const uint32_t mean = physical_count() > 1 ? sum / (physical_count() - 1) : 1;
    const int status = EFS_erase_data_block(corrupt_block, mean - 1);
    if (status != EFS_STATUS_OK) return status;
    efs_ctx.Physical_Blocks_EC[corrupt_block] = mean;
    efs_ctx.Non_Valid_Blocks_Status[corrupt_slot] = EFS_SPARE_FREE;
    ++efs_ctx.Num_Of_Free_Non_Valid_Blocks;
  }
  efs_ctx.is_blocks_ec_and_status_valid = true;
  return EFS_STATUS_OK;
}

extern "C" int EFS_erase_data_block(uint32_t physical_block_index, uint32_t current_erase_counter) {
  if (physical_block_index >= physical_count() || !geometry_mountable()) return EFS_STATUS_INVALID_ARGUMENT;
  const uint32_t at = block_address(physical_block_index);
  // A zeroed header CRC first: an interrupted erase leaves a block whose
  // header does not verify.
  uint8_t zeros[sizeof(uint32_t)] = {};
  int status = EFS_write_with_read_check(at + EFS_DATA_HEADER_CRC_BYTES, sizeof zeros, zeros, false);
  if (status == EFS_STATUS_OK) status = EFS_physical_erase(at, EFS_BLOCK_SIZE);
  if (status == EFS_STATUS_OK) {
    uint8_t header[sizeof(EFS_Data_Block_Header_t)] = {};
    store_le32(header + offsetof(EFS_Data_Block_Header_t, Erase_Countr), current_erase_counter + 1);
    store_le32(header + EFS_DATA_HEADER_CRC_BYTES, EFS_crc32(0, header, EFS_DATA_HEADER_CRC_BYTES));
    status = EFS_write_with_read_check(at, sizeof header, header, true);
  }
  if (status != EFS_STATUS_OK) efs_ctx.is_blocks_ec_and_status_valid = false;
  return status;
}

extern "C" int EFS_select_free_page_for_write(uint32_t* logical_page_index) {
  if (logical_page_index == nullptr) return EFS_STATUS_INVALID_ARGUMENT;
  if (!context_ready()) return EFS_STATUS_NOT_MOUNTED;
  return least_worn_spare(EFS_SPARE_FREE, logical_page_index) ? EFS_STATUS_OK : EFS_STATUS_NO_SPACE;
}

extern "C" int EFS_erase_dirty_block(void) {
  if (!context_ready()) return EFS_STATUS_NOT_MOUNTED;
  uint32_t slot = 0;
  if (!least_worn_spare(EFS_SPARE_DIRTY, &slot)) return EFS_STATUS_NO_SPACE;
  const uint32_t p = spare_block(slot);
  const int status = EFS_erase_data_block(p, efs_ctx.Physical_Blocks_EC[p]);
  if (status != EFS_STATUS_OK) return status;
  efs_ctx.Non_Valid_Blocks_Status[slot] = EFS_SPARE_FREE;
  ++efs_ctx.Physical_Blocks_EC[p];
  ++efs_ctx.Num_Of_Free_Non_Valid_Blocks;
  return EFS_STATUS_OK;
}

extern "C" int EFS_write_data_block(uint32_t physical_block_index, uint8_t* Data_buffer) {
  if (Data_buffer == nullptr || physical_block_index >= physical_count() || !geometry_mountable())
    return EFS_STATUS_INVALID_ARGUMENT;
  const int status = EFS_write_with_read_check(block_address(physical_block_index) + EFS_DATA_AREA_OFFSET,
                                               EFS_DATA_AREA_SIZE, Data_buffer, true);
  if (status != EFS_STATUS_OK) return status;
  return EFS_write_data_footer(physical_block_index, Data_buffer);
}

extern "C" int EFS_write_data_footer(uint32_t physical_block_index, uint8_t* data_buffer) {
  if (data_buffer == nullptr || physical_block_index >= physical_count() || !geometry_mountable())
    return EFS_STATUS_INVALID_ARGUMENT;
  uint8_t footer[sizeof(uint32_t)];
  store_le32(footer, EFS_crc32(0, data_buffer, EFS_DATA_AREA_SIZE));
  return EFS_write_with_read_check(block_address(physical_block_index) + EFS_DATA_FOOTER_OFFSET, sizeof footer,
                                   footer, true);
}

extern "C" int EFS_bme_swap_and_write_new_block(EFS_BME_t* new_bme, uint32_t logical_block_index,
                                                uint8_t* Data_buffer) {
  if (new_bme == nullptr || Data_buffer == nullptr || logical_block_index >= valid_count())
    return EFS_STATUS_INVALID_ARGUMENT;
  uint32_t slot = 0;
  int status = EFS_select_free_page_for_write(&slot);
  if (status != EFS_STATUS_OK) return status;
  const uint32_t p = new_bme->Non_Valid_Blocks[slot];
  mark_spare_dirty(slot);
  status = EFS_write_data_block(p, Data_buffer);
  if (status != EFS_STATUS_OK) return status;
  new_bme->Non_Valid_Blocks[slot] = new_bme->Valid_Blocks[logical_block_index];
  new_bme->Valid_Blocks[logical_block_index] = static_cast<uint8_t>(p);
  return EFS_STATUS_OK;
}
