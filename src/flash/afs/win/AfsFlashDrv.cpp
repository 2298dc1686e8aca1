// The SPI-flash driver over the memory image: the three operations only.
// They sit alone in this translation unit so that a test binary can link a
// driver of its own (one that fails or cuts power) in their place; the image
// pointer gpBuffer and the initialisation live in AfsFlashImage.cpp.
#include <cstring>

#include "flash/afs/AfsInnerDefs.h"

namespace {
// Result of an access made before any image was bound.
constexpr uint32_t kNoImage = AFS_STATUS_IO_ERROR;
}  // namespace

extern "C" uint32_t SpiDrvRead(uint32_t Address, uint32_t Length, void* pBuffer) {
  if (gpBuffer == nullptr) return kNoImage;
  if (Length != 0) std::memcpy(pBuffer, gpBuffer + Address, Length);
  return AFS_STATUS_OK;
}

extern "C" uint32_t SpiDrvWrite(uint32_t Address, uint32_t Length, const void* pBuffer) {
  if (gpBuffer == nullptr) return kNoImage;
  if (Length != 0) std::memcpy(gpBuffer + Address, pBuffer, Length);
  return AFS_STATUS_OK;
}

extern "C" uint32_t SpiDrvEraseBlock(uint32_t BlockAddress) {
  if (gpBuffer == nullptr) return kNoImage;
  std::memset(gpBuffer + BlockAddress, SPI_FLASH_ERASED_BYTE, SPI_FLASH_BLOCK_SIZE);
  return AFS_STATUS_OK;
}
