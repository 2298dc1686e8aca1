// Mounting: the context, finding the active BM and its last valid BME, and
// the mount and size queries.
#include <climits>

#include "flash/efs/EFS_verified_reads.h"

using namespace efs_internal;

extern "C" {
EFS_context_t efs_ctx = {};
}

namespace {

// The BM with the highest counter among those whose header verifies. The
// first wins a tie, and counter 0 is never chosen. A verified header of
// another geometry or layout ends the mount.
int EFS_find_active_BM() {
  uint32_t best = 0;
  for (uint32_t bm = 0; bm < bm_count(); ++bm) {
    EFS_BM_block_header_t header;
    const int status = EFS_read_and_verify_BM_header(static_cast<int>(bm), &header);
    if (status == EFS_STATUS_CORRUPT) continue;
    if (status != EFS_STATUS_OK) return status;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&header);
    if (bytes[offsetof(EFS_BM_block_header_t, BM_Num)] != bm_count() ||
        bytes[offsetof(EFS_BM_block_header_t, Valid_Block_Num)] != valid_count() ||
        bytes[offsetof(EFS_BM_block_header_t, Non_Valid_Block_Num)] != spare_count() ||
        bytes[offsetof(EFS_BM_block_header_t, Layout_Id)] != g_efs_layout_id)
      return EFS_STATUS_CORRUPT;
    const uint32_t counter = load_le32(bytes + offsetof(EFS_BM_block_header_t, BM_Monotonic_Counter));
    if (counter > best) {
      best = counter;
      efs_ctx.active_BM = bm;
    }
  }
  if (best == 0) return EFS_STATUS_CORRUPT;
  efs_ctx.MC_counter = best;
  return EFS_STATUS_OK;
}

// 0 when every physical index of the BME is below T and occurs once.
int EFS_validate_BME(const EFS_BME_t* bme) {
  if (bme == nullptr) return EFS_STATUS_INVALID_ARGUMENT;
  bool seen[EFS_MAX_PHYSICAL_BLOCKS] = {};
  for (uint32_t i = 0; i < physical_count(); ++i) {
    const uint8_t p = i < valid_count() ? bme->Valid_Blocks[i] : bme->Non_Valid_Blocks[i - valid_count()];
    if (p >= physical_count() || seen[p]) return EFS_STATUS_CORRUPT;
    seen[p] = true;
  }
  return EFS_STATUS_OK;
}

// Re-reads the slot at `offset` of the active BM (into work_buff at the same
// offset) until its CRC matches. 11 when `blank_means_retry` and a re-read
// comes back blank.
int reread_slot(uint32_t offset, bool blank_means_retry, bool* good) {
  uint8_t* record = efs_ctx.work_buff + offset;
  *good = bme_crc_matches(record);
  for (uint32_t i = 0; i < attempts() && !*good; ++i) {
    const int status = EFS_physical_read(bm_address(efs_ctx.active_BM) + offset, bme_size(), record);
    if (status != EFS_STATUS_OK) return status;
    if (blank_means_retry && EFS_is_buffer_all_ff(record, bme_size())) return EFS_STATUS_TRY_AGAIN;
    *good = bme_crc_matches(record);
  }
  return EFS_STATUS_OK;
}

// The last BME of the active BM, read into work_buff: the slot before the
// first blank one. A damaged last slot falls back one slot and forces the
// next commit into a fresh BM.
int EFS_find_last_BME() {
  const uint32_t s = bme_size();
  uint32_t offset = EFS_BM_FIRST_SLOT_OFFSET + s;
  while (offset + s <= EFS_BM_SLOT_END_LIMIT && !EFS_is_buffer_all_ff(efs_ctx.work_buff + offset, s))
    offset += s;
  offset -= s;

  bool good = false;
  int status = reread_slot(offset, true, &good);
  if (status != EFS_STATUS_OK) return status;
  if (!good) {
    if (offset == EFS_BM_FIRST_SLOT_OFFSET) return EFS_STATUS_CORRUPT;
    offset -= s;
    status = reread_slot(offset, false, &good);
    if (status != EFS_STATUS_OK) return status;
    if (!good) return EFS_STATUS_CORRUPT;
    efs_ctx.force_switch_BM = true;
  }
  OwnedBme last;
  if (!last.allocate()) return EFS_STATUS_NO_MEMORY;
  parse_bme(efs_ctx.work_buff + offset, &last.bme);
  status = EFS_validate_BME(&last.bme);
  if (status != EFS_STATUS_OK) return status;
  copy_bme(&efs_ctx.current_BME, last.bme);
  efs_ctx.curent_BME_offset = offset;
  return EFS_STATUS_OK;
}

void release_arrays() {
  std::free(efs_ctx.Non_Valid_Blocks_Status);
  std::free(efs_ctx.Physical_Blocks_EC);
  std::free(efs_ctx.current_BME.Valid_Blocks);
  std::free(efs_ctx.current_BME.Non_Valid_Blocks);
}

// The arrays of a mount for the loaded geometry.
bool allocate_arrays() {
  efs_ctx.Non_Valid_Blocks_Status = allocate_array<uint8_t>(spare_count());
  efs_ctx.current_BME.Valid_Blocks = allocate_array<uint8_t>(valid_count());
  efs_ctx.current_BME.Non_Valid_Blocks = allocate_array<uint8_t>(spare_count());
  uint32_t* counts = allocate_array<uint32_t>(physical_count());
  if (efs_ctx.Non_Valid_Blocks_Status == nullptr || efs_ctx.current_BME.Valid_Blocks == nullptr ||
      efs_ctx.current_BME.Non_Valid_Blocks == nullptr || counts == nullptr) {
    std::free(counts);
    return false;
  }
  // Set last: the arrays count as allocated once this is set.
  efs_ctx.Physical_Blocks_EC = counts;
  efs_ctx.arrays_bm_num = bm_count();
  efs_ctx.arrays_valid_block_num = valid_count();
  efs_ctx.arrays_non_valid_block_num = spare_count();
  return true;
}

}  // namespace

extern "C" int EFS_init(bool do_format) {
  release_arrays();
  std::memset(&efs_ctx, 0, sizeof efs_ctx);
  if (!g_efs_autogen_data_loaded) return EFS_STATUS_NOT_MOUNTED;
  if (!geometry_mountable()) return EFS_STATUS_CORRUPT;
  if (!allocate_arrays()) return EFS_STATUS_NO_MEMORY;
  efs_ctx.EFS_retry_count = EFS_RETRY_COUNT;

  int status = EFS_physical_init(do_format);
  if (status == EFS_STATUS_OK && do_format) status = EFS_do_format();
  if (status == EFS_STATUS_OK) status = EFS_find_active_BM();
  if (status != EFS_STATUS_OK) return status;

  // A last slot that reads blank when re-read was being written as it was
  // read: read the BM again.
  status = EFS_STATUS_TRY_AGAIN;
  for (uint32_t round = 0; round < efs_ctx.EFS_retry_count && status == EFS_STATUS_TRY_AGAIN; ++round) {
    status = EFS_physical_read(bm_address(efs_ctx.active_BM), EFS_BLOCK_SIZE, efs_ctx.work_buff);
    if (status != EFS_STATUS_OK) return status;
    status = EFS_find_last_BME();
  }
  if (status == EFS_STATUS_TRY_AGAIN) return EFS_STATUS_CORRUPT;
  if (status != EFS_STATUS_OK) return status;
  efs_ctx.initlized = true;
  return EFS_STATUS_OK;
}

extern "C" int EFS_get_efs_size(void) {
  const uint64_t size = region_size();
  return size > INT32_MAX ? INT32_MAX : static_cast<int>(size);
}

extern "C" bool EFS_is_initialized(void) { return mounted(); }
