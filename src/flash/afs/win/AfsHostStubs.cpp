// Host stand-ins for services of the device: raw access to the AFS partition
// and the grant copies of the operating system. Nothing in the library calls
// them; they are exported for tools built against the device's interface.
#include <cstdint>
#include <cstring>

#include "flash/afs/AfsInnerDefs.h"
#include "flash/afs/AfsZreDefs.h"

namespace {

// Host address of byte `offset` of grant `g`: the grant id is taken as a
// 32-bit address.
void* grant_address(afs_grant_id_t g, uint32_t offset) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<uint32_t>(g)) + offset);
}

}  // namespace

extern "C" {

uint32_t afs_sub_pt_read(afs_context_t* afs_context, uint32_t address, uint32_t length,
                         uint8_t* pBuffer, uint32_t /*flags*/) {
  if (afs_context == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  return SpiDrvRead(afs_context->afs_partition_index + address, length, pBuffer);
}

uint32_t afs_sub_pt_write(afs_context_t* afs_context, uint32_t address, uint32_t length,
                          uint8_t* pBuffer, uint32_t /*flags*/) {
  if (afs_context == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  return SpiDrvWrite(afs_context->afs_partition_index + address, length, pBuffer);
}

uint32_t afs_sub_pt_trim(afs_context_t* /*afs_context*/, uint32_t /*address*/,
                         uint32_t /*length*/, uint32_t /*flags*/) {
  return AFS_STATUS_OK;
}

// The buffer sizes are checked so that no count can make a copy run past the
// local buffer.
int mg_copyfrom(afs_process_id_t /*who_from*/, afs_grant_id_t g, uint32_t offset, void* dst_buf,
                uint32_t dst_buf_size, uint32_t bytes_to_copy) {
  if (bytes_to_copy == 0) return 0;
  void* from = grant_address(g, offset);
  if (dst_buf == nullptr || from == nullptr || bytes_to_copy > dst_buf_size)
    return static_cast<int>(AFS_STATUS_INVALID_ARGUMENT);
  std::memcpy(dst_buf, from, bytes_to_copy);
  return 0;
}

int mg_copyto(afs_process_id_t /*who_to*/, afs_grant_id_t g, uint32_t offset, const void* src_buf,
              uint32_t src_buf_size, uint32_t bytes_to_copy) {
  if (bytes_to_copy == 0) return 0;
  void* to = grant_address(g, offset);
  if (src_buf == nullptr || to == nullptr || bytes_to_copy > src_buf_size)
    return static_cast<int>(AFS_STATUS_INVALID_ARGUMENT);
  std::memcpy(to, src_buf, bytes_to_copy);
  return 0;
}

}  // extern "C"
