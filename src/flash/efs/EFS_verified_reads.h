// Reads that retry until the CRCs of what they read match: BM headers, data
// blocks and file pieces. File-local in each unit that includes it.
//
// The record pointers these take are only ever filled and read as bytes, so
// callers may pass a byte buffer of the record's size (work_buff).
#ifndef TARN_FLASH_EFS_EFS_VERIFIED_READS_H
#define TARN_FLASH_EFS_EFS_VERIFIED_READS_H

#include "flash/efs/EFS_internal.h"

namespace efs_internal {
namespace {

// Reads BM bm_index's header into *pheader until its CRC matches: 0, 41
// (at once for an all-0xFF or all-zero header), 22 for a BM index out of
// range, or the read's failure.
inline int EFS_read_and_verify_BM_header(int bm_index, EFS_BM_block_header_t* pheader) {
  if (pheader == nullptr || bm_index < 0 || static_cast<uint32_t>(bm_index) >= bm_count())
    return EFS_STATUS_INVALID_ARGUMENT;
  uint8_t* bytes = reinterpret_cast<uint8_t*>(pheader);
  for (uint32_t i = 0; i < attempts(); ++i) {
    const int status = EFS_physical_read(bm_address(static_cast<uint32_t>(bm_index)),
                                         sizeof(EFS_BM_block_header_t), bytes);
    if (status != EFS_STATUS_OK) return status;
    if (EFS_is_buffer_all_ff(bytes, sizeof(EFS_BM_block_header_t)) ||
        EFS_is_buffer_all_zero(bytes, sizeof(EFS_BM_block_header_t)))
      return EFS_STATUS_CORRUPT;
    if (EFS_crc32(0, bytes, EFS_BM_HEADER_CRC_BYTES) == load_le32(bytes + EFS_BM_HEADER_CRC_BYTES))
      return EFS_STATUS_OK;
  }
  return EFS_STATUS_CORRUPT;
}

// Reads physical block physical_block_index whole until its header CRC (and
// with check_footer_crc its footer CRC) matches: 0, 41, 22 for an index not
// below T, or the read's failure. crc_can_fail changes nothing.
inline int EFS_read_and_verify_data_block_header_and_footer(int physical_block_index,
                                                            EFS_Data_Block_t* EFS_Data_Block,
                                                            bool check_footer_crc, bool crc_can_fail) {
  (void)crc_can_fail;
  if (EFS_Data_Block == nullptr || physical_block_index < 0 ||
      static_cast<uint32_t>(physical_block_index) >= physical_count())
    return EFS_STATUS_INVALID_ARGUMENT;
  uint8_t* block = reinterpret_cast<uint8_t*>(EFS_Data_Block);
  for (uint32_t i = 0; i < attempts(); ++i) {
    const int status =
        EFS_physical_read(block_address(static_cast<uint32_t>(physical_block_index)), EFS_BLOCK_SIZE, block);
    if (status != EFS_STATUS_OK) return status;
    const bool header_ok =
        EFS_crc32(0, block, EFS_DATA_HEADER_CRC_BYTES) == load_le32(block + EFS_DATA_HEADER_CRC_BYTES);
    const bool footer_ok = !check_footer_crc || EFS_crc32(0, block + EFS_DATA_AREA_OFFSET, EFS_DATA_AREA_SIZE) ==
                                                    load_le32(block + EFS_DATA_FOOTER_OFFSET);
    if (header_ok && footer_ok) return EFS_STATUS_OK;
  }
  return EFS_STATUS_CORRUPT;
}

// Reads the piece at data-area offset file_offset_in_data_block of logical
// block logical_block_index (through current_BME) into EFS_File, header and
// data, until its FileCrc16 matches. A first piece holds
// min(4072 - offset, FileSize) bytes (none for an absent file); a
// continuation piece holds data_size_not_in_first_block bytes.
// 0; 2 for a first piece never written in a sound block; 41 otherwise when
// the CRC never matches; 22 for a block not below V or a piece that would
// not fit the data area.
inline int EFS_read_and_verify_file(uint8_t logical_block_index, uint16_t file_offset_in_data_block,
                                    EFS_File_t* EFS_File, bool is_first_block,
                                    uint16_t data_size_not_in_first_block) {
  const uint32_t offset = file_offset_in_data_block;
  if (EFS_File == nullptr || logical_block_index >= valid_count() || offset > EFS_PIECE_DATA_MAX ||
      (!is_first_block && data_size_not_in_first_block > EFS_PIECE_DATA_MAX - offset))
    return EFS_STATUS_INVALID_ARGUMENT;
  const uint32_t physical = efs_ctx.current_BME.Valid_Blocks[logical_block_index];
  const uint32_t piece_at = block_address(physical) + EFS_DATA_AREA_OFFSET + offset;
  uint8_t* piece = reinterpret_cast<uint8_t*>(EFS_File);
  uint16_t file_size = EFS_FILE_ABSENT;
  for (uint32_t i = 0; i < attempts(); ++i) {
    int status = EFS_physical_read(piece_at, sizeof(EFS_File_Header_t), piece);
    if (status != EFS_STATUS_OK) return status;
    file_size = load_le16(piece);
    uint16_t crc = EFS_crc16(logical_block_index, piece, sizeof file_size);
    uint32_t data_size = data_size_not_in_first_block;
    if (is_first_block) {
      const uint32_t room = EFS_PIECE_DATA_MAX - offset;
      data_size = file_size == EFS_FILE_ABSENT ? 0 : (file_size < room ? file_size : room);
    }
    if (data_size != 0) {
      status = EFS_physical_read(piece_at + EFS_FILE_DATA_OFFSET, data_size, piece + EFS_FILE_DATA_OFFSET);
      if (status != EFS_STATUS_OK) return status;
      crc = EFS_crc16(crc, piece + EFS_FILE_DATA_OFFSET, data_size);
    }
    if (crc == load_le16(piece + offsetof(EFS_File_Header_t, FileCrc16))) return EFS_STATUS_OK;
  }
  // A continuation piece belongs to a file whose first piece exists: it is
  // damaged, never absent.
  if (!is_first_block || file_size != EFS_FILE_ABSENT) return EFS_STATUS_CORRUPT;
  // A piece area that was never written reads as an absent file, provided
  // the block around it is sound.
  const int status = EFS_read_and_verify_data_block_header_and_footer(
      static_cast<int>(physical), reinterpret_cast<EFS_Data_Block_t*>(efs_ctx.work_buff), true, true);
  return status == EFS_STATUS_OK ? EFS_STATUS_NO_FILE : status;
}

}  // namespace
}  // namespace efs_internal

#endif  // TARN_FLASH_EFS_EFS_VERIFIED_READS_H
