// The idle step: prepare the next BM once the active one is well filled,
// else level wear and erase one dirty spare.
#include "flash/efs/EFS_internal.h"

using namespace efs_internal;

extern "C" int EFS_idle_reclaim(void) {
  if (!mounted()) return EFS_STATUS_NOT_MOUNTED;
  // With a single BM the next BM is the active one, which is never erased.
  if (bm_count() > 1) {
    const uint32_t next = (efs_ctx.active_BM + 1) % bm_count();
    if (efs_ctx.next_BM_status == EFS_NEXT_BM_UNKNOWN) {
      const int status = EFS_check_next_BM_state(next);
      if (status != EFS_STATUS_OK) return status;
    }
    if (efs_ctx.next_BM_status == EFS_NEXT_BM_DIRTY &&
        efs_ctx.curent_BME_offset + bme_size() > EFS_IDLE_BM_ERASE_MARK) {
      const int status = EFS_erase_next_BM(next);
      if (status != EFS_STATUS_OK) return status;
      efs_ctx.next_BM_status = EFS_NEXT_BM_ERASED;
      return EFS_STATUS_OK;
    }
  }
  int status = EFS_STATUS_OK;
  if (!efs_ctx.is_blocks_ec_and_status_valid) status = EFS_scan_for_Data_Blocks_status_and_EC();
  if (status == EFS_STATUS_OK) status = EFS_wear_leveling(0, 0);
  if (status == EFS_STATUS_OK && efs_ctx.Num_Of_Free_Non_Valid_Blocks < spare_count())
    status = EFS_erase_dirty_block();
  return status;
}
