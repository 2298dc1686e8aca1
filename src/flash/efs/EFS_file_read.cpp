// Measuring and reading EFS files. Reads verify only the pieces they copy
// from (and the first piece, which holds the size); they never scan.
#include "flash/efs/EFS_verified_reads.h"

using namespace efs_internal;

namespace {

EFS_File_t* piece_buffer() { return reinterpret_cast<EFS_File_t*>(efs_ctx.work_buff); }
const uint8_t* piece_data() { return efs_ctx.work_buff + EFS_FILE_DATA_OFFSET; }

// Verifies the first piece of `d` into work_buff and checks its size: 0 with
// *file_size, 2 for an absent file, 41 for a size above the file's maximum.
int first_piece_size(const EFS_file_descriptor_t& d, uint32_t* file_size) {
  const int status = EFS_read_and_verify_file(d.Logical_Block, d.Offset_In_Block, piece_buffer(), true, 0);
  if (status != EFS_STATUS_OK) return status;
  const uint16_t size = load_le16(efs_ctx.work_buff);
  if (size == EFS_FILE_ABSENT) return EFS_STATUS_NO_FILE;
  if (size > d.Max_length) return EFS_STATUS_CORRUPT;
  *file_size = size;
  return EFS_STATUS_OK;
}

int read_file(uint32_t fileno, uint32_t offset, uint32_t* psize, uint8_t* buffer) {
  if (!mounted()) return EFS_STATUS_NOT_MOUNTED;
  const EFS_file_descriptor_t* d = file_descriptor(fileno);
  if (d == nullptr || psize == nullptr || buffer == nullptr || uint64_t{offset} + *psize > UINT32_MAX)
    return EFS_STATUS_INVALID_ARGUMENT;
  uint32_t size = 0;
  const int status = first_piece_size(*d, &size);
  if (status != EFS_STATUS_OK) return status;
  if (size == 0) {
    *psize = 0;
    return EFS_STATUS_OK;
  }
  if (offset > size) return EFS_STATUS_OUT_OF_RANGE;
  const uint32_t wanted = *psize < size - offset ? *psize : size - offset;

  // The first piece holds `first` bytes; continuation piece k (from 0) holds
  // the file's bytes from first + 4072k on.
  const uint32_t room = EFS_PIECE_DATA_MAX - d->Offset_In_Block;
  const uint32_t first = size < room ? size : room;
  uint32_t copied = 0, piece = 0, at = 0;
  if (offset < room) {
    copied = wanted < room - offset ? wanted : room - offset;
    std::memcpy(buffer, piece_data() + offset, copied);
  } else {
    piece = (offset - room) / EFS_PIECE_DATA_MAX;
    at = (offset - room) % EFS_PIECE_DATA_MAX;
  }
  while (copied < wanted) {
    const uint32_t logical = d->Logical_Block + 1 + piece;
    if (logical >= valid_count()) return EFS_STATUS_CORRUPT;
    const uint32_t left = size - first - piece * EFS_PIECE_DATA_MAX;
    const uint32_t holds = left < EFS_PIECE_DATA_MAX ? left : EFS_PIECE_DATA_MAX;
    const int piece_status = EFS_read_and_verify_file(static_cast<uint8_t>(logical), 0, piece_buffer(), false,
                                                      static_cast<uint16_t>(holds));
    if (piece_status != EFS_STATUS_OK) return piece_status;
    const uint32_t n = wanted - copied < holds - at ? wanted - copied : holds - at;
    std::memcpy(buffer + copied, piece_data() + at, n);
    copied += n;
    ++piece;
    at = 0;
  }
  *psize = wanted;
  return EFS_STATUS_OK;
}

}  // namespace

extern "C" int EFS_get_file_size(uint32_t fileno, uint32_t* size) {
  if (!mounted()) return EFS_STATUS_NOT_MOUNTED;
  const EFS_file_descriptor_t* d = file_descriptor(fileno);
  if (d == nullptr || size == nullptr) return EFS_STATUS_INVALID_ARGUMENT;
  return first_piece_size(*d, size);
}

extern "C" int EFS_read(uint32_t fileno, uint32_t offset, uint32_t* psize, uint8_t* buffer) {
  const int status = read_file(fileno, offset, psize, buffer);
  if (status != EFS_STATUS_OK && psize != nullptr) *psize = 0;
  return status;
}
