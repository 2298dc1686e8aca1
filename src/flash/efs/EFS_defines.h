// The EFS on-flash format, its status values and the run-time context.
//
// Region layout (all fields little-endian, erased flash reads 0xFF), with
// B block managers, V logical (valid) and N spare (non-valid) data blocks,
// T = V + N physical data blocks:
//   block manager k         at k * 4096            (0 <= k < B)
//   physical data block p   at (B + p) * 4096      (0 <= p < T)
//
// Block manager (BM): a 16-byte EFS_BM_block_header_t, then block-manager
// entries (BMEs) of S = V + N + 12 bytes in slots at 16 + k*S; a slot exists
// only while 16 + (k+1)*S <= 4095. A BME is V bytes of Valid_Blocks (physical
// block of logical block i), N bytes of Non_Valid_Blocks (physical block of
// spare slot j), total_time u32, prtc_time u32 and CRC_32 u32 over the
// V + N + 8 bytes before it. Slots fill in order; the first all-0xFF slot
// ends the list. Slot 0 is written before its BM's header.
//
// Data block: EFS_Data_Block_Header_t (written at erase), a 4076-byte data
// area and a footer CRC-32 of the data area (written with the data). A free
// spare has a valid header and 0xFF from byte 16 on.
//
// File pieces inside a data area: a 4-byte EFS_File_Header_t {FileSize,
// FileCrc16} followed by the piece's data. The first piece of a file sits at
// the file's Offset_In_Block and holds up to 4072 - Offset_In_Block bytes;
// continuation pieces sit at offset 0 of the following logical blocks with
// FileSize 0xFFFF and hold up to 4072 bytes. FileCrc16 is EFS_crc16 seeded
// with the piece's logical block index, over FileSize's two bytes and then
// the piece's data. A first piece with FileSize 0xFFFF is an absent file.
#ifndef TARN_FLASH_EFS_EFS_DEFINES_H
#define TARN_FLASH_EFS_EFS_DEFINES_H

#include <cstddef>
#include <cstdint>

// ---- status values

constexpr int EFS_STATUS_OK = 0;
constexpr int EFS_STATUS_NOT_MOUNTED = 1;  // also: no configuration loaded, no image
constexpr int EFS_STATUS_NO_FILE = 2;
constexpr int EFS_STATUS_COUNTER_EXHAUSTED = 5;
constexpr int EFS_STATUS_TRY_AGAIN = 11;  // never leaves the EFS
constexpr int EFS_STATUS_NO_MEMORY = 12;
constexpr int EFS_STATUS_INVALID_ARGUMENT = 22;
constexpr int EFS_STATUS_NO_SPACE = 28;
constexpr int EFS_STATUS_OUT_OF_RANGE = 34;
constexpr int EFS_STATUS_CORRUPT = 41;
constexpr int EFS_STATUS_CANNOT_PLACE = 99;  // a file entry the format cannot place

// ---- geometry

constexpr uint32_t EFS_BLOCK_SIZE = 4096;
constexpr uint8_t EFS_ERASED_BYTE = 0xFF;
// Counts kept in one byte on flash; physical block numbers are one byte too.
constexpr uint32_t EFS_MAX_COUNT = 255;
constexpr uint32_t EFS_MAX_PHYSICAL_BLOCKS = 256;

// ---- block manager

constexpr uint16_t EFS_VERSION = 1;
constexpr uint32_t EFS_BM_FIRST_SLOT_OFFSET = 16;
// A slot must end at or before this byte; the last byte of a BM is no slot's.
constexpr uint32_t EFS_BM_SLOT_END_LIMIT = 4095;
// A BME's trailer after its two arrays: u32 total_time, prtc_time and
// CRC_32 at these offsets from the arrays' end; the CRC covers what precedes it.
constexpr uint32_t EFS_BME_TOTAL_TIME_AT = 0;
constexpr uint32_t EFS_BME_PRTC_TIME_AT = 4;
constexpr uint32_t EFS_BME_CRC_TRAILER_BYTES = 8;
constexpr uint32_t EFS_BME_TRAILER_SIZE = 12;
// Largest serialised BME (T = 256).
constexpr uint32_t EFS_BME_MAX_SIZE = EFS_MAX_PHYSICAL_BLOCKS + EFS_BME_TRAILER_SIZE;
// Idle reclaim erases the next BM only once the active one is filled past this byte.
constexpr uint32_t EFS_IDLE_BM_ERASE_MARK = 2856;

// States of the BM after the active one.
constexpr uint8_t EFS_NEXT_BM_UNKNOWN = 0;
constexpr uint8_t EFS_NEXT_BM_ERASED = 1;
constexpr uint8_t EFS_NEXT_BM_DIRTY = 2;

// ---- data blocks and files

constexpr uint32_t EFS_DATA_AREA_SIZE = 4076;
// States of a spare slot.
constexpr uint8_t EFS_SPARE_DIRTY = 1;  // must be erased before use
constexpr uint8_t EFS_SPARE_FREE = 2;   // erased, ready
constexpr uint16_t EFS_FILE_ABSENT = 0xFFFF;  // FileSize of an absent file; continuation marker

// RTFD marker, written at offset 0 of the region.
constexpr uint32_t EFS_RTFD_MARKER = 0x53464452;
// Attempts of every read-and-verify loop after a mount.
constexpr uint32_t EFS_RETRY_COUNT = 7;

#pragma pack(push, 1)

typedef struct _EFS_BM_block_header_t {
  uint16_t EFS_Version;           // EFS_VERSION
  uint16_t Sku;                   // g_efs_sku_id
  uint32_t BM_Monotonic_Counter;  // 1 after a format, +1 per switch; 0 never active
  uint8_t BM_Num;                 // B
  uint8_t Valid_Block_Num;        // V
  uint8_t Non_Valid_Block_Num;    // N
  uint8_t Layout_Id;              // g_efs_layout_id
  uint32_t CRC_32;                // EFS_crc32(0, bytes 0-11)
} EFS_BM_block_header_t;
static_assert(sizeof(EFS_BM_block_header_t) == 16, "BM header is 16 bytes");
constexpr uint32_t EFS_BM_HEADER_CRC_BYTES = offsetof(EFS_BM_block_header_t, CRC_32);

typedef struct _EFS_Data_Block_Header_t {
  uint32_t Erase_Countr;  // erase count of this physical block
  uint32_t Flags;         // 0
  uint32_t Reserved;      // 0
  uint32_t CRC_32;        // EFS_crc32(0, bytes 0-11)
} EFS_Data_Block_Header_t;
static_assert(sizeof(EFS_Data_Block_Header_t) == 16, "data block header is 16 bytes");
constexpr uint32_t EFS_DATA_HEADER_CRC_BYTES = offsetof(EFS_Data_Block_Header_t, CRC_32);

typedef struct _EFS_Data_Block_t {
  EFS_Data_Block_Header_t Header;
  uint8_t Data[EFS_DATA_AREA_SIZE];
  uint32_t CRC_32;  // footer: EFS_crc32(0, Data)
} EFS_Data_Block_t;
static_assert(sizeof(EFS_Data_Block_t) == EFS_BLOCK_SIZE, "data block is one block");
constexpr uint32_t EFS_DATA_AREA_OFFSET = offsetof(EFS_Data_Block_t, Data);
constexpr uint32_t EFS_DATA_FOOTER_OFFSET = offsetof(EFS_Data_Block_t, CRC_32);

typedef struct _EFS_File_Header_t {
  uint16_t FileSize;   // first piece: file size (EFS_FILE_ABSENT: no file); else EFS_FILE_ABSENT
  uint16_t FileCrc16;  // EFS_crc16(logical block, FileSize bytes, piece data)
} EFS_File_Header_t;
static_assert(sizeof(EFS_File_Header_t) == 4, "piece header is 4 bytes");

// Most data bytes one piece holds: a data area less one piece header.
constexpr uint32_t EFS_PIECE_DATA_MAX = EFS_DATA_AREA_SIZE - sizeof(EFS_File_Header_t);

// One piece as read: header, then its data.
typedef struct _EFS_File_t {
  EFS_File_Header_t Header;
  uint8_t Data[EFS_PIECE_DATA_MAX];
} EFS_File_t;
static_assert(sizeof(EFS_File_t) == EFS_DATA_AREA_SIZE, "piece buffer is one data area");
constexpr uint32_t EFS_FILE_DATA_OFFSET = offsetof(EFS_File_t, Data);

#pragma pack(pop)

// A BME in memory; its arrays hold V and N entries.
typedef struct _EFS_BME_t {
  uint8_t* Valid_Blocks;      // physical block of logical block i
  uint8_t* Non_Valid_Blocks;  // physical block held by spare slot j
  uint32_t total_time;
  uint32_t prtc_time;
  uint32_t CRC_32;
} EFS_BME_t;

// The EFS run-time state; one global instance, efs_ctx.
typedef struct _EFS_context_t {
  bool initlized;                            // mounted
  uint8_t work_buff[EFS_BLOCK_SIZE];         // active BM at mount, then blocks and pieces
  uint8_t read_back_buff[EFS_BLOCK_SIZE];    // blank checks and read-backs of checked writes
  uint32_t EFS_retry_count;                  // attempts of every read-and-verify loop
  bool force_switch_BM;                      // the next commit moves to the next BM
  uint32_t active_BM;
  uint32_t MC_counter;                       // BM_Monotonic_Counter of the active BM
  uint8_t next_BM_status;                    // EFS_NEXT_BM_*
  uint32_t* Physical_Blocks_EC;              // T erase counts, by physical block
  uint32_t curent_BME_offset;                // offset of the current BME in the active BM
  EFS_BME_t current_BME;                     // the current mapping
  uint32_t Num_Of_Free_Non_Valid_Blocks;
  uint8_t* Non_Valid_Blocks_Status;          // N spare states (EFS_SPARE_*), by slot
  bool is_blocks_ec_and_status_valid;        // erase counts and spare states scanned
  // The geometry the arrays above were allocated for. While the loaded
  // geometry differs (a new table load), the arrays do not fit it and the
  // EFS counts as not mounted until it is mounted again.
  uint32_t arrays_bm_num;
  uint32_t arrays_valid_block_num;
  uint32_t arrays_non_valid_block_num;
} EFS_context_t;

#endif  // TARN_FLASH_EFS_EFS_DEFINES_H
