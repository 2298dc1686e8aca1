// Rewriting and deleting EFS files. Each block that holds a piece is
// rewritten copy-on-write into a free spare, and one BME commit makes the
// change current: until then every file reads as before.
#include "flash/efs/EFS_verified_reads.h"

using namespace efs_internal;

namespace {

// Scans if needed, then levels wear: the start of every change.
int prepare_change() {
  int status = EFS_STATUS_OK;
  if (!efs_ctx.is_blocks_ec_and_status_valid) status = EFS_scan_for_Data_Blocks_status_and_EC();
  if (status == EFS_STATUS_OK) status = EFS_wear_leveling(0, 0);
  return status;
}

// Erases dirty spares until `wanted` spares are free.
int make_spares_free(uint32_t wanted) {
  int status = EFS_STATUS_OK;
  while (status == EFS_STATUS_OK && efs_ctx.Num_Of_Free_Non_Valid_Blocks < wanted)
    status = EFS_erase_dirty_block();
  return status;
}

// Reads logical block `logical` of `bme`, header and footer verified, into
// work_buff; returns its data area.
int read_logical_block(const EFS_BME_t& bme, uint32_t logical, uint8_t** area) {
  const int status = EFS_read_and_verify_data_block_header_and_footer(
      bme.Valid_Blocks[logical], reinterpret_cast<EFS_Data_Block_t*>(efs_ctx.work_buff), true, false);
  *area = efs_ctx.work_buff + EFS_DATA_AREA_OFFSET;
  return status;
}

// Stores a piece header at `header` for `data_size` bytes that follow it.
void seal_piece(uint8_t* header, uint16_t file_size, uint32_t logical, uint32_t data_size) {
  store_le16(header, file_size);
  uint16_t crc = EFS_crc16(static_cast<uint16_t>(logical), header, sizeof file_size);
  crc = EFS_crc16(crc, header + sizeof(EFS_File_Header_t), data_size);
  store_le16(header + offsetof(EFS_File_Header_t, FileCrc16), crc);
}

}  // namespace

extern "C" int EFS_write(uint32_t fileno, uint32_t offset, uint32_t size, uint8_t* buffer) {
  if (!mounted()) return EFS_STATUS_NOT_MOUNTED;
  OwnedBme updated;
  if (!updated.allocate()) return EFS_STATUS_NO_MEMORY;
  const EFS_file_descriptor_t* d = file_descriptor(fileno);
  if (d == nullptr || buffer == nullptr || offset != 0) return EFS_STATUS_INVALID_ARGUMENT;
  int status = prepare_change();
  if (status != EFS_STATUS_OK) return status;
  // A stored size of 0xFFFF would read as an absent file.
  if (size > d->Max_length || size >= EFS_FILE_ABSENT) return EFS_STATUS_OUT_OF_RANGE;

  const uint32_t oib = d->Offset_In_Block;
  const uint32_t room = EFS_PIECE_DATA_MAX - oib;
  const uint32_t pieces = size <= room ? 1 : 1 + (size - room + EFS_PIECE_DATA_MAX - 1) / EFS_PIECE_DATA_MAX;
  if (d->Logical_Block + pieces > valid_count()) return EFS_STATUS_INVALID_ARGUMENT;
  // Spares made free before the first piece: one more than the pieces when
  // the data ends within the last four bytes of a data area. A write that
  // needs more than the region has is refused before any block is touched.
  const uint32_t wanted = (size + oib + EFS_DATA_AREA_SIZE - 1) / EFS_PIECE_DATA_MAX;
  if (wanted > spare_count()) return EFS_STATUS_NO_SPACE;
  status = make_spares_free(wanted);
  if (status != EFS_STATUS_OK) return status;

  copy_bme(&updated.bme, efs_ctx.current_BME);
  uint32_t written = 0;
  for (uint32_t k = 0; k < pieces; ++k) {
    const uint32_t logical = d->Logical_Block + k;
    uint8_t* area = nullptr;
    status = read_logical_block(updated.bme, logical, &area);
    if (status != EFS_STATUS_OK) return status;
    const uint32_t header_at = k == 0 ? oib : 0;
    const uint32_t data_at = header_at + sizeof(EFS_File_Header_t);
    const uint32_t left = size - written;
    const uint32_t take = left < EFS_DATA_AREA_SIZE - data_at ? left : EFS_DATA_AREA_SIZE - data_at;
    std::memcpy(area + data_at, buffer + written, take);
    seal_piece(area + header_at, k == 0 ? static_cast<uint16_t>(size) : EFS_FILE_ABSENT, logical, take);
    status = EFS_bme_swap_and_write_new_block(&updated.bme, logical, area);
    if (status != EFS_STATUS_OK) return status;
    written += take;
  }
  return EFS_commit_BME(&updated.bme, 0, 0);
}

extern "C" int EFS_delete(uint32_t fileno) {
  if (!mounted()) return EFS_STATUS_NOT_MOUNTED;
  OwnedBme updated;
  if (!updated.allocate()) return EFS_STATUS_NO_MEMORY;
  const EFS_file_descriptor_t* d = file_descriptor(fileno);
  if (d == nullptr || d->Logical_Block >= valid_count()) return EFS_STATUS_INVALID_ARGUMENT;
  int status = prepare_change();
  if (status != EFS_STATUS_OK) return status;
  if (spare_count() == 0) return EFS_STATUS_NO_SPACE;
  status = make_spares_free(1);
  if (status != EFS_STATUS_OK) return status;

  copy_bme(&updated.bme, efs_ctx.current_BME);
  uint8_t* area = nullptr;
  status = read_logical_block(updated.bme, d->Logical_Block, &area);
  if (status != EFS_STATUS_OK) return status;
  uint8_t* header = area + d->Offset_In_Block;
  if (load_le16(header) == EFS_FILE_ABSENT) return EFS_STATUS_NO_FILE;
  // Only the first piece's header changes; continuation pieces stay.
  seal_piece(header, EFS_FILE_ABSENT, d->Logical_Block, 0);
  status = EFS_bme_swap_and_write_new_block(&updated.bme, d->Logical_Block, area);
  if (status != EFS_STATUS_OK) return status;
  return EFS_commit_BME(&updated.bme, 0, 0);
}
