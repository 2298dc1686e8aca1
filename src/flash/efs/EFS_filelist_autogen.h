// The in-memory EFS file list: one descriptor per EFS file number, built by
// load_autogen_data from the "EFST" part of the file-table blob.
#ifndef TARN_FLASH_EFS_EFS_FILELIST_AUTOGEN_H
#define TARN_FLASH_EFS_EFS_FILELIST_AUTOGEN_H

#include <cstdint>

#pragma pack(push, 1)

typedef union _EFS_file_descriptor_flags_t {
  uint16_t value;
  struct {
    uint16_t valid : 1;  // the file number is in use
    uint16_t reserved : 15;
  } bits;
} EFS_file_descriptor_flags_t;
static_assert(sizeof(EFS_file_descriptor_flags_t) == 2, "EFS descriptor flags are 16 bits");

typedef struct _EFS_file_descriptor_t {
  uint8_t Logical_Block;     // logical data block of the file's first piece
  uint16_t Offset_In_Block;  // offset of the first piece in the block's data area
  uint16_t Max_length;       // largest file size in bytes
  EFS_file_descriptor_flags_t Flags;
} EFS_file_descriptor_t;
static_assert(sizeof(EFS_file_descriptor_t) == 7, "EFS_file_descriptor_t is 7 bytes packed");

#pragma pack(pop)

// g_efs_files_num descriptors indexed by EFS file number; null until the first
// successful load. Descriptors no file entry names are all zero (not valid).
extern EFS_file_descriptor_t* EFS_files;

#endif  // TARN_FLASH_EFS_EFS_FILELIST_AUTOGEN_H
