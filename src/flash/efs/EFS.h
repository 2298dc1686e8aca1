// The EFS: a small flash file system for the fixed set of files that the
// table loader describes (EFS_autogen.h), kept in the host's EFS region in
// place. Format and context: EFS_defines.h.
//
// Every change of a data block is made copy-on-write into a free spare; one
// BME commit then makes the new mapping current, so a change that stops
// before its commit leaves every file as it was. Erase counts and spare
// states are scanned lazily, before the first change after a mount.
//
// Statuses (int): 0 success, 1 not mounted / no configuration / no image,
// 2 no such file, 5 BM counter exhausted, 12 out of memory, 22 invalid
// argument, 28 no space (no spare or BM to use), 34 out of range, 41 corrupt
// or unverifiable flash, 99 a file entry the format cannot place.
//
// Trust: nothing read from the region indexes memory unchecked. A BME is
// accepted only when each physical index is below T and occurs once; sizes
// and offsets read from pieces are clipped to the data area; every flash
// access goes through the bounded emulated flash.
#ifndef TARN_FLASH_EFS_EFS_H
#define TARN_FLASH_EFS_EFS_H

#include <array>
#include <cstdint>

#include "flash/efs/EFS_autogen.h"
#include "flash/efs/EFS_defines.h"

// CRC tables, built from the polynomials at compile time.
extern const std::array<uint16_t, 256> gCrc16_table;  // 0x1021, MSB first
extern const std::array<uint32_t, 256> gCrc32_table;  // 0xEDB88320, reflected

extern "C" {

// ---- emulated flash (the only code that touches efs_image)

// The region's bytes and its size, (B + V + N) * 4096 of the current geometry.
extern uint8_t* efs_image;
extern uint32_t efs_size;

// Copy between the region and pbuffer. 22 for length 0, a null buffer or a
// range not wholly inside [0, efs_size); 1 when no image is set.
int EFS_physical_read(uint32_t offset, uint32_t length, uint8_t* pbuffer);
int EFS_physical_write(uint32_t offset, uint32_t length, uint8_t* pbuffer);
// Fills the range with 0xFF, same bounds (callers erase whole blocks).
int EFS_physical_erase(uint32_t offset, uint32_t length);
// Sets efs_size from the current geometry (22, with efs_size 0, when the
// region would not be addressable in 32 bits). With do_format the EFS gets a
// fresh all-0xFF image of its own (12 without memory); otherwise 1 when no
// image is set.
int EFS_physical_init(bool do_format);

// ---- CRCs

// CRC-16, polynomial 0x1021, MSB first, register starting at init_val, no
// final XOR (init 0: CRC-16/XMODEM).
uint16_t EFS_crc16(uint16_t init_val, const uint8_t* pBuf, uint32_t len);
// Reflected CRC-32, polynomial 0xEDB88320, register starting at init_val, no
// final XOR.
uint32_t EFS_crc32(uint32_t init_val, const uint8_t* pBuf, uint32_t len);

// ---- checked writes and block managers

// Writes length (<= 4096) bytes at offset; with IsFFcheckNeeded the range
// must first read all 0xFF (else 41, nothing written). The range is read back
// until it matches (else 41).
int EFS_write_with_read_check(uint32_t offset, uint32_t length, uint8_t* pbuffer,
                              bool IsFFcheckNeeded);
// Reads BM next_BM until it reads blank: next_BM_status becomes erased or dirty.
int EFS_check_next_BM_state(uint32_t next_BM);
// Zeroes the BM's header CRC, then erases it; next_BM_status becomes unknown.
int EFS_erase_next_BM(uint32_t BM_to_erase);
// Moves to the next BM with new_bme as its first entry and counter + 1, then
// zeroes the old BM's header. 5 when the counter is exhausted, 28 with a
// single BM (the next BM would be the active one); nothing is written then.
int EFS_switch_BM(EFS_BME_t* new_bme);
// Stores the times and the CRC in new_bme and appends it to the active BM,
// or switches BM when the BM is full or a switch is forced. On success
// new_bme is the current BME.
int EFS_commit_BME(EFS_BME_t* new_bme, uint32_t total_time, uint32_t prtc_time);
// Erases every BM (the active one last) and unmounts. Data blocks stay.
int EFS_erase(void);
// Writes the RTFD marker at offset 0 of the region.
int EFS_write_RTFD_marker(void);

// ---- mount and queries

// Mounts the host's buffer in place (no copy). 22 for null, else EFS_init(false).
// The buffer must hold EFS_get_efs_size() bytes.
int EFS_init_tools(uint8_t* efs_image_buffer);
// Mounts the image (after formatting a fresh one of its own with do_format).
// 1 before a table load; 41 for a geometry that cannot be mounted (no BM,
// a count above 255, more than 256 physical blocks) or a region that does
// not mount; 12; 99 (format only).
int EFS_init(bool do_format);
// (B + V + N) * 4096 of the current geometry, INT32_MAX when larger.
int EFS_get_efs_size(void);
bool EFS_is_initialized(void);
// One small maintenance step: erase the next BM once the active one is well
// filled, else wear levelling and one dirty-spare erase. Never erases the
// active BM.
int EFS_idle_reclaim(void);

// ---- data blocks and wear levelling (need the arrays of a mount)

// Erases all blocks, writes identity-mapped logical blocks holding absent
// files, and BM 0 with counter 1. Leaves the EFS unmounted until EFS_init.
int EFS_do_format(void);
// Reads every data block's header: erase counts and spare states. One spare
// with a bad header is repaired with the mean erase count; two, or a logical
// block with a bad header, give 41.
int EFS_scan_for_Data_Blocks_status_and_EC(void);
// Moves the least-worn logical block onto the most-worn spare when their
// counts differ by the threshold or more. No-op without logical or spare blocks.
int EFS_wear_leveling(uint32_t total_time, uint32_t prtc_time);
// The free spare slot whose block has the lowest erase count; 28 when none.
int EFS_select_free_page_for_write(uint32_t* logical_page_index);
// Zeroes the header CRC, erases the block, writes a header with
// current_erase_counter + 1. Failures clear is_blocks_ec_and_status_valid.
int EFS_erase_data_block(uint32_t physical_block_index, uint32_t current_erase_counter);
// Erases the dirty spare whose block has the lowest erase count; 28 when none.
int EFS_erase_dirty_block(void);
// Writes a 4076-byte data area (blank-checked), then its footer.
int EFS_write_data_block(uint32_t physical_block_index, uint8_t* Data_buffer);
int EFS_write_data_footer(uint32_t physical_block_index, uint8_t* data_buffer);
// Writes Data_buffer into a free spare and swaps it with logical block
// logical_block_index in new_bme; the old block becomes that slot's dirty spare.
int EFS_bme_swap_and_write_new_block(EFS_BME_t* new_bme, uint32_t logical_block_index,
                                     uint8_t* Data_buffer);

// ---- file operations

// Size of an existing file. 1, 2, 22 or 41 otherwise.
int EFS_get_file_size(uint32_t fileno, uint32_t* size);
// Reads up to *psize bytes from offset; *psize becomes the bytes read (0 on
// any failure). 34 for an offset past the end.
int EFS_read(uint32_t fileno, uint32_t offset, uint32_t* psize, uint8_t* buffer);
// Replaces the whole file with size bytes (offset must be 0). 34 above the
// file's maximum or for 0xFFFF bytes and more; 28 when the write needs more
// free spares, (size + Offset_In_Block + 4075) / 4072, than the region has.
int EFS_write(uint32_t fileno, uint32_t offset, uint32_t size, uint8_t* buffer);
// Marks the file absent. 2 when it already is; 28 without spares.
int EFS_delete(uint32_t fileno);

// The run-time state.
extern EFS_context_t efs_ctx;

}  // extern "C"

#endif  // TARN_FLASH_EFS_EFS_H
