// The checked write that every EFS write goes through, except the plain
// writes that invalidate headers and the RTFD marker.
#include "flash/efs/EFS_internal.h"

using namespace efs_internal;

extern "C" int EFS_write_with_read_check(uint32_t offset, uint32_t length, uint8_t* pbuffer,
                                         bool IsFFcheckNeeded) {
  if (pbuffer == nullptr || length > EFS_BLOCK_SIZE) return EFS_STATUS_INVALID_ARGUMENT;
  uint8_t* read_back = efs_ctx.read_back_buff;
  if (IsFFcheckNeeded) {
    bool blank = false;
    for (uint32_t i = 0; i < attempts() && !blank; ++i) {
      const int status = EFS_physical_read(offset, length, read_back);
      if (status != EFS_STATUS_OK) return status;
      blank = EFS_is_buffer_all_ff(read_back, length);
    }
    if (!blank) return EFS_STATUS_CORRUPT;
  }
  int status = EFS_physical_write(offset, length, pbuffer);
  if (status != EFS_STATUS_OK) return status;
  for (uint32_t i = 0; i < attempts(); ++i) {
    status = EFS_physical_read(offset, length, read_back);
    if (status != EFS_STATUS_OK) return status;
    if (std::memcmp(read_back, pbuffer, length) == 0) return EFS_STATUS_OK;
  }
  return EFS_STATUS_CORRUPT;
}
