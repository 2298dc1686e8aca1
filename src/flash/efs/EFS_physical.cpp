// The emulated flash operations over efs_image. They sit alone in this
// translation unit so that a test binary can link operations of its own (one
// that cuts power) in their place; the image, its size and the preparation
// live in EFS_physical_image.cpp.
#include <cstring>

#include "flash/efs/EFS.h"

namespace {

// 0 when [offset, offset + length) is a non-empty range inside the image.
int check_range(uint32_t offset, uint32_t length) {
  if (efs_image == nullptr) return EFS_STATUS_NOT_MOUNTED;
  if (length == 0 || offset >= efs_size || uint64_t{offset} + length > efs_size)
    return EFS_STATUS_INVALID_ARGUMENT;
  return EFS_STATUS_OK;
}

}  // namespace

extern "C" int EFS_physical_read(uint32_t offset, uint32_t length, uint8_t* pbuffer) {
  if (pbuffer == nullptr) return EFS_STATUS_INVALID_ARGUMENT;
  const int status = check_range(offset, length);
  if (status == EFS_STATUS_OK) std::memcpy(pbuffer, efs_image + offset, length);
  return status;
}

extern "C" int EFS_physical_write(uint32_t offset, uint32_t length, uint8_t* pbuffer) {
  if (pbuffer == nullptr) return EFS_STATUS_INVALID_ARGUMENT;
  const int status = check_range(offset, length);
  if (status == EFS_STATUS_OK) std::memcpy(efs_image + offset, pbuffer, length);
  return status;
}

extern "C" int EFS_physical_erase(uint32_t offset, uint32_t length) {
  const int status = check_range(offset, length);
  if (status == EFS_STATUS_OK) std::memset(efs_image + offset, EFS_ERASED_BYTE, length);
  return status;
}
