// Services below the FTL: the three checksums that protect its on-flash
// structures, the SPI-flash driver it reaches the flash through, and a raw
// partition access layer that nothing in the library calls.
//
// The driver works on one flash image per process, `gpBuffer`: flash address
// A is the image byte at gpBuffer + A. It checks no bounds; every caller keeps
// its accesses inside its partition. A write replaces bytes (no AND-only
// programming), an erase sets one 4096-byte block to 0xFF. Each operation
// returns 0 on success; callers treat any other value as an I/O error (5).
//
// The three operations SpiDrvRead, SpiDrvWrite and SpiDrvEraseBlock live in a
// translation unit of their own, so that a test binary can link a driver of
// its own in their place; gpBuffer and the initialisation live elsewhere.
#ifndef TARN_FLASH_AFS_AFSINNERDEFS_H
#define TARN_FLASH_AFS_AFSINNERDEFS_H

#include <cstdint>

#include "flash/afs/AfsCommonDefs.h"

// Bytes of one erase block of the driver.
constexpr uint32_t SPI_FLASH_BLOCK_SIZE = 4096;
constexpr uint8_t SPI_FLASH_ERASED_BYTE = 0xFF;

extern "C" {

// ---- checksums (no state)

// MSB-first CRC-16 table of polynomial 0x1021; shared by crc16 and crc14.
extern const uint16_t crc16_table[256];
// CRC-8 (polynomial 0x07, MSB first) tables for the high and low nibble.
extern const uint8_t gCrc8_high[16];
extern const uint8_t gCrc8_low[16];

// CRC-16/CCITT-FALSE (init 0xFFFF, no reflection, no final XOR) over `length`
// bytes of `buf` (none when length <= 0), then over the two bytes at `pageid`
// in memory order (a little-endian page id: low byte first).
uint16_t crc16(const uint8_t* buf, int32_t length, const void* pageid);
// 14-bit chain checksum: the crc16 step with the register masked to 14 bits
// after every byte, starting from 0x3FFF. Result 0..0x3FFF.
uint16_t crc14(const uint8_t* buf, int32_t length);
// CRC-8, polynomial 0x07, MSB first, init 0x01, no final XOR.
uint8_t crc8(const uint8_t* pBuf, uint32_t len);

// ---- flash driver over the memory image

// Byte 0 of the flash image; set by SpiFlashDrvInitialize, never cleared.
extern uint8_t* gpBuffer;

// Binds the image: gpBuffer = pContext. Returns 0.
uint32_t SpiFlashDrvInitialize(void* pContext);
// Does nothing; the image stays bound.
void SpiFlashDrvDeinitialize(void);
// Copies Length bytes from image + Address to pBuffer.
uint32_t SpiDrvRead(uint32_t Address, uint32_t Length, void* pBuffer);
// Copies Length bytes from pBuffer to image + Address (replacing them).
uint32_t SpiDrvWrite(uint32_t Address, uint32_t Length, const void* pBuffer);
// Sets the 4096 bytes at image + BlockAddress to 0xFF (any alignment).
uint32_t SpiDrvEraseBlock(uint32_t BlockAddress);

// ---- raw partition access (exported, not used by the library)

// SpiDrvRead / SpiDrvWrite at afs_partition_index + address; `flags` is
// ignored. The driver's result is returned; 22 for a null context.
uint32_t afs_sub_pt_read(afs_context_t* afs_context, uint32_t address, uint32_t length,
                         uint8_t* pBuffer, uint32_t flags);
uint32_t afs_sub_pt_write(afs_context_t* afs_context, uint32_t address, uint32_t length,
                          uint8_t* pBuffer, uint32_t flags);
// Does nothing; returns 0.
uint32_t afs_sub_pt_trim(afs_context_t* afs_context, uint32_t address, uint32_t length,
                         uint32_t flags);

}  // extern "C"

#endif  // TARN_FLASH_AFS_AFSINNERDEFS_H
