// Block managers at run time: the state of the next BM, erasing a BM,
// committing a BME (appending or switching BM), erasing the whole EFS and
// the RTFD marker.
#include "flash/efs/EFS_internal.h"

using namespace efs_internal;

namespace {

// 0 for a BM index that names a BM of an addressable geometry.
int check_bm_index(uint32_t bm) {
  return bm < bm_count() && geometry_mountable() ? EFS_STATUS_OK : EFS_STATUS_INVALID_ARGUMENT;
}

}  // namespace

extern "C" int EFS_check_next_BM_state(uint32_t next_BM) {
  if (check_bm_index(next_BM) != EFS_STATUS_OK) return EFS_STATUS_INVALID_ARGUMENT;
  bool blank = false;
  for (uint32_t i = 0; i < attempts() && !blank; ++i) {
    const int status = EFS_physical_read(bm_address(next_BM), EFS_BLOCK_SIZE, efs_ctx.work_buff);
    if (status != EFS_STATUS_OK) return status;
    blank = EFS_is_buffer_all_ff(efs_ctx.work_buff, EFS_BLOCK_SIZE);
  }
  efs_ctx.next_BM_status = blank ? EFS_NEXT_BM_ERASED : EFS_NEXT_BM_DIRTY;
  return EFS_STATUS_OK;
}

extern "C" int EFS_erase_next_BM(uint32_t BM_to_erase) {
  if (check_bm_index(BM_to_erase) != EFS_STATUS_OK) return EFS_STATUS_INVALID_ARGUMENT;
  efs_ctx.next_BM_status = EFS_NEXT_BM_UNKNOWN;
  // A zeroed header CRC first, so that an interrupted erase cannot leave a
  // header that still verifies.
  uint8_t zeros[sizeof(uint32_t)] = {};
  const int status =
      EFS_physical_write(bm_address(BM_to_erase) + EFS_BM_HEADER_CRC_BYTES, sizeof zeros, zeros);
  if (status != EFS_STATUS_OK) return status;
  return EFS_physical_erase(bm_address(BM_to_erase), EFS_BLOCK_SIZE);
}

extern "C" int EFS_switch_BM(EFS_BME_t* new_bme) {
  if (!context_ready()) return EFS_STATUS_NOT_MOUNTED;
  if (new_bme == nullptr) return EFS_STATUS_INVALID_ARGUMENT;
  if (efs_ctx.MC_counter == UINT32_MAX) return EFS_STATUS_COUNTER_EXHAUSTED;
  // With one BM the next BM is the active one; erasing it would lose the
  // mapping.
  if (bm_count() < 2) return EFS_STATUS_NO_SPACE;
  const uint32_t next = (efs_ctx.active_BM + 1) % bm_count();
  int status = EFS_STATUS_OK;
  if (efs_ctx.next_BM_status == EFS_NEXT_BM_UNKNOWN) status = EFS_check_next_BM_state(next);
  if (status == EFS_STATUS_OK && efs_ctx.next_BM_status == EFS_NEXT_BM_DIRTY) status = EFS_erase_next_BM(next);
  if (status != EFS_STATUS_OK) return status;
  efs_ctx.next_BM_status = EFS_NEXT_BM_UNKNOWN;

  uint8_t record[EFS_BME_MAX_SIZE];
  serialize_bme(*new_bme, record);
  status = start_bm(next, record, efs_ctx.MC_counter + 1);
  if (status != EFS_STATUS_OK) return status;

  const uint32_t old = efs_ctx.active_BM;
  efs_ctx.MC_counter += 1;
  efs_ctx.active_BM = next;
  efs_ctx.curent_BME_offset = EFS_BM_FIRST_SLOT_OFFSET;
  copy_bme(&efs_ctx.current_BME, *new_bme);
  // The old BM becomes dirty. Should its header survive, the mount still
  // picks the new BM by its higher counter.
  uint8_t zeros[sizeof(EFS_BM_block_header_t)] = {};
  (void)EFS_write_with_read_check(bm_address(old), sizeof zeros, zeros, false);
  return EFS_STATUS_OK;
}

extern "C" int EFS_commit_BME(EFS_BME_t* new_bme, uint32_t total_time, uint32_t prtc_time) {
  if (!context_ready()) return EFS_STATUS_NOT_MOUNTED;
  if (new_bme == nullptr) return EFS_STATUS_INVALID_ARGUMENT;
  new_bme->total_time = total_time;
  new_bme->prtc_time = prtc_time;
  uint8_t record[EFS_BME_MAX_SIZE];
  seal_bme(new_bme, record);

  const uint32_t next_slot = efs_ctx.curent_BME_offset + bme_size();
  if (next_slot + bme_size() > EFS_BM_SLOT_END_LIMIT || efs_ctx.force_switch_BM) {
    const int status = EFS_switch_BM(new_bme);
    if (status == EFS_STATUS_OK) efs_ctx.force_switch_BM = false;
    return status;
  }
  const int status =
      EFS_write_with_read_check(bm_address(efs_ctx.active_BM) + next_slot, bme_size(), record, true);
  if (status != EFS_STATUS_OK) {
    // Never append after a slot that may be half written.
    efs_ctx.force_switch_BM = true;
    return status;
  }
  efs_ctx.curent_BME_offset = next_slot;
  copy_bme(&efs_ctx.current_BME, *new_bme);
  return EFS_STATUS_OK;
}

extern "C" int EFS_erase(void) {
  int status = EFS_STATUS_OK;
  if (mounted()) {
    for (uint32_t bm = 0; bm < bm_count() && status == EFS_STATUS_OK; ++bm)
      if (bm != efs_ctx.active_BM) status = EFS_erase_next_BM(bm);
    if (status == EFS_STATUS_OK) status = EFS_erase_next_BM(efs_ctx.active_BM);
  } else {
    status = EFS_physical_init(false);
    if (status != EFS_STATUS_OK) return status;
    for (uint32_t bm = 0; bm < bm_count() && status == EFS_STATUS_OK; ++bm)
      status = EFS_physical_erase(bm_address(bm), EFS_BLOCK_SIZE);
  }
  efs_ctx.initlized = false;
  return status;
}

extern "C" int EFS_write_RTFD_marker(void) {
  const int status = EFS_physical_init(false);
  if (status != EFS_STATUS_OK) return status;
  uint8_t marker[sizeof EFS_RTFD_MARKER];
  store_le32(marker, EFS_RTFD_MARKER);
  return EFS_physical_write(0, sizeof marker, marker);
}
