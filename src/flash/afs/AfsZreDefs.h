// Interfaces that the device's operating system offers to AFS and that the
// host build replaces by stubs: copying between a caller's memory grant and a
// local buffer. Nothing in the library calls them.
#ifndef TARN_FLASH_AFS_AFSZREDEFS_H
#define TARN_FLASH_AFS_AFSZREDEFS_H

#include <cstdint>

// Process id of the peer of a copy, and the id of the memory grant it gave.
typedef int16_t afs_process_id_t;
typedef int32_t afs_grant_id_t;

extern "C" {

// Copies bytes_to_copy bytes from host address g + offset to dst_buf.
// Returns 0; 22 when a buffer is missing or dst_buf_size is too small for
// bytes_to_copy. who_from is not used.
int mg_copyfrom(afs_process_id_t who_from, afs_grant_id_t g, uint32_t offset, void* dst_buf,
                uint32_t dst_buf_size, uint32_t bytes_to_copy);
// Copies bytes_to_copy bytes from src_buf to host address g + offset.
// Returns 0; 22 when a buffer is missing or src_buf_size is smaller than
// bytes_to_copy. who_to is not used.
int mg_copyto(afs_process_id_t who_to, afs_grant_id_t g, uint32_t offset, const void* src_buf,
              uint32_t src_buf_size, uint32_t bytes_to_copy);

}  // extern "C"

#endif  // TARN_FLASH_AFS_AFSZREDEFS_H
