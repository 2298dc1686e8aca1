#include "flash_counter.h"

#include <cstring>

#include "flash/afs/AfsInnerDefs.h"

namespace {

constexpr uint32_t kFtlPage = 66;  // 64 data bytes and their CRC
tarn_bench::FlashCounts counts;

}  // namespace

namespace tarn_bench {
FlashCounts flashCounts() { return counts; }
}  // namespace tarn_bench

extern "C" uint32_t SpiDrvRead(uint32_t Address, uint32_t Length, void* pBuffer) {
  if (gpBuffer == nullptr) return AFS_STATUS_IO_ERROR;
  if (Length != 0) std::memcpy(pBuffer, gpBuffer + Address, Length);
  return AFS_STATUS_OK;
}

extern "C" uint32_t SpiDrvWrite(uint32_t Address, uint32_t Length, const void* pBuffer) {
  if (gpBuffer == nullptr) return AFS_STATUS_IO_ERROR;
  if (Length != 0) std::memcpy(gpBuffer + Address, pBuffer, Length);
  if (Length != 0 && Length % kFtlPage == 0) counts.pagesProgrammed += Length / kFtlPage;
  return AFS_STATUS_OK;
}

extern "C" uint32_t SpiDrvEraseBlock(uint32_t BlockAddress) {
  if (gpBuffer == nullptr) return AFS_STATUS_IO_ERROR;
  std::memset(gpBuffer + BlockAddress, SPI_FLASH_ERASED_BYTE, SPI_FLASH_BLOCK_SIZE);
  ++counts.blocksErased;
  return AFS_STATUS_OK;
}
