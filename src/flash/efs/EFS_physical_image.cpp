// The image the emulated flash works on: the host's buffer, bound by
// EFS_init_tools, or a fresh image of the EFS's own for a format.
#include "flash/efs/EFS_internal.h"

extern "C" {
uint8_t* efs_image = nullptr;
uint32_t efs_size = 0;
}

namespace {

// True while efs_image was allocated here; the host's buffer is never freed.
bool s_image_is_own = false;

void release_own_image() {
  if (s_image_is_own) std::free(efs_image);
  s_image_is_own = false;
  efs_image = nullptr;
}

}  // namespace

extern "C" int EFS_physical_init(bool do_format) {
  const uint64_t size = efs_internal::region_size();
  if (size > UINT32_MAX) {
    efs_size = 0;  // nothing addressable
    return EFS_STATUS_INVALID_ARGUMENT;
  }
  efs_size = static_cast<uint32_t>(size);
  if (!do_format) return efs_image == nullptr ? EFS_STATUS_NOT_MOUNTED : EFS_STATUS_OK;

  uint8_t* fresh = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : static_cast<size_t>(size)));
  if (fresh == nullptr) return EFS_STATUS_NO_MEMORY;
  std::memset(fresh, EFS_ERASED_BYTE, static_cast<size_t>(size));
  release_own_image();
  efs_image = fresh;
  s_image_is_own = true;
  return EFS_STATUS_OK;
}

extern "C" int EFS_init_tools(uint8_t* efs_image_buffer) {
  if (efs_image_buffer == nullptr) return EFS_STATUS_INVALID_ARGUMENT;
  release_own_image();
  efs_image = efs_image_buffer;
  return EFS_init(false);
}
