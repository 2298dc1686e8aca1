// Records shared by every subsystem for configuration files: the file number,
// the two attribute words and the 12-byte record header. All multi-byte fields
// are little-endian and have the same widths and positions on 32- and 64-bit
// builds; every record's size is checked at compile time.
#ifndef TARN_STORAGE_STORAGEDEFS_H
#define TARN_STORAGE_STORAGEDEFS_H

#include <cstdint>

// 32-bit file number. The store compares and copies it only as a whole value.
typedef union _fileno_t {
  uint32_t value;
  struct {
    uint32_t serial_file_num : 8;
    uint32_t base_file_num : 16;
    uint32_t flags : 4;
    uint32_t media_type : 4;
  } fields;
} fileno_t;
static_assert(sizeof(fileno_t) == 4, "fileno_t is 32 bits");

// Attributes of a file in the file table, carried by the store unchanged.
typedef union _file_attributes_t {
  uint16_t value;
  struct {
    uint16_t integrity_protection : 1;
    uint16_t encrypted : 1;
    uint16_t anti_replay : 1;
    uint16_t optional_encryption : 1;
    uint16_t optional_anti_replay : 1;
    uint16_t protected_file : 1;
    uint16_t use_unlock_available_key : 1;
    uint16_t reserved0 : 1;
    uint16_t deploy_needed : 1;
    uint16_t rtfd : 1;
    uint16_t manuf_write_mode : 2;
    uint16_t manuf_read_mode : 2;
    uint16_t manuf_mode : 2;
  } bits;
} file_attributes_t;
static_assert(sizeof(file_attributes_t) == 2, "file_attributes_t is 16 bits");

// Attributes of one configuration record; bit 0 says it may be overridden.
typedef union _orvan_cfg_attributes_t {
  uint16_t value;
  struct {
    uint16_t allow_qelc_override : 1;
    uint16_t reserved : 15;
  } bits;
} orvan_cfg_attributes_t;
static_assert(sizeof(orvan_cfg_attributes_t) == 2, "orvan_cfg_attributes_t is 16 bits");

#pragma pack(push, 1)

// Header of a configuration record; `length` payload bytes follow it.
// In a serialised table `offset` is the payload's absolute offset in the buffer.
typedef struct _cfg_file_entry_t {
  fileno_t fileno;
  uint32_t offset;
  uint16_t length;
  orvan_cfg_attributes_t attributes;
} cfg_file_entry_t;
static_assert(sizeof(cfg_file_entry_t) == 12, "cfg_file_entry_t is 12 bytes");

// A record header with the file table's attributes and size limit for it.
typedef struct _cfg_file_entry_with_file_attributes_t {
  cfg_file_entry_t cfg_file_entry;
  file_attributes_t file_attributes;
  uint32_t max_file_size;
} cfg_file_entry_with_file_attributes_t;
static_assert(sizeof(cfg_file_entry_with_file_attributes_t) == 18,
              "cfg_file_entry_with_file_attributes_t is 18 bytes");

#pragma pack(pop)

// The handle API takes a record's whole size as 16 bits.
constexpr uint32_t CFG_FILE_ENTRY_HEADER_SIZE = sizeof(cfg_file_entry_t);
constexpr uint32_t CFG_FILE_MAX_RECORD_SIZE = 0xFFFF;
constexpr uint32_t CFG_FILE_MAX_PAYLOAD_SIZE = CFG_FILE_MAX_RECORD_SIZE - CFG_FILE_ENTRY_HEADER_SIZE;

#endif  // TARN_STORAGE_STORAGEDEFS_H
