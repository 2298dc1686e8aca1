// File operations other than the write: size, read, delete, zombie mark, and
// the maintenance calls.
#include "flash/afs/AfsFile.h"

#include <cstring>

#include "flash/afs/AfsCache.h"
#include "flash/afs/AfsFtl.h"
#include "flash/afs/AfsVolume.h"
#include "flash/afs/AfsVolumeInternal.h"

using namespace afs_volume_internal;

namespace {

// Bytes of staging one page takes while it is read: its data and its CRC.
constexpr uint32_t kRawPageBytes = sizeof(ftl_page_t);

// Bytes of a chunk whose entry is `entry`: 64 unless it is the last chunk.
uint32_t chunk_bytes(cid_t entry) { return entry > AFS_CID_LAST_MAX ? AFS_CHUNK_SIZE : entry; }

// Writes `value` into the file entry and flushes; a failed flush drops the
// cache, unwritten pages included.
uint32_t set_file_entry_and_flush(afs_context_t* ctx, cid_t fileno, cid_t value) {
  uint32_t status = afs_set_next_cid(ctx, fileno, value);
  if (status != AFS_STATUS_OK) return status;
  status = cache_flush(ctx);
  if (status != AFS_STATUS_OK) cache_invalidate(ctx);
  return status;
}

}  // namespace

extern "C" {

uint32_t afs_getfilesize(afs_context_t* afs_context, int32_t fileno, uint32_t* pSize) {
  if (!file_number_ok(afs_context, fileno) || pSize == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  if (afs_context->file_size_table != nullptr) {
    const uint32_t size = afs_context->file_size_table[fileno];
    if (size == AFS_NO_FILE_SIZE) return AFS_STATUS_NO_SUCH_FILE;
    *pSize = size;
    return AFS_STATUS_OK;
  }
  cid_t entry = 0;
  uint32_t status = afs_get_next_cid(afs_context, static_cast<cid_t>(fileno), &entry);
  if (status != AFS_STATUS_OK) return status;
  if (entry == AFS_CID_FREE || entry == AFS_CID_ZOMBIE) return AFS_STATUS_NO_SUCH_FILE;
  uint32_t size = 0;
  if (entry != AFS_CID_EMPTY) {
    cid_t cid = entry;
    for (;;) {
      status = afs_get_next_cid(afs_context, cid, &cid);
      if (status != AFS_STATUS_OK) return status;
      size += chunk_bytes(cid);
      if (cid <= AFS_CID_LAST_MAX) break;
    }
  }
  *pSize = size;
  return AFS_STATUS_OK;
}

uint32_t afs_readfile(afs_context_t* afs_context, int32_t fileno, uint32_t pos, uint32_t* pSize,
                      uint8_t* pBuffer) {
  if (!file_number_ok(afs_context, fileno) || pSize == nullptr || afs_context->afs_local_buf == nullptr)
    return AFS_STATUS_INVALID_ARGUMENT;
  const uint32_t wanted = *pSize;
  if ((wanted & 0x80000000u) != 0 || (wanted != 0 && pBuffer == nullptr))
    return AFS_STATUS_INVALID_ARGUMENT;
  cid_t cid = 0;
  uint32_t status = afs_get_next_cid(afs_context, static_cast<cid_t>(fileno), &cid);
  if (status != AFS_STATUS_OK) return status;
  if (cid == AFS_CID_FREE || cid == AFS_CID_ZOMBIE) return AFS_STATUS_NO_SUCH_FILE;
  if (cid == AFS_CID_EMPTY) {
    *pSize = 0;
    return AFS_STATUS_OK;
  }

  uint8_t* staging = afs_context->afs_local_buf;
  uint32_t done = 0;
  uint32_t cur_pos = 0;  // file offset of chunk `cid`
  cid_t next = 0;        // entry of chunk `cid`
  status = afs_get_next_cid(afs_context, cid, &next);
  if (status != AFS_STATUS_OK) return status;
  while (done < wanted) {
    if (uint64_t{pos} >= uint64_t{cur_pos} + AFS_CHUNK_SIZE) {
      // The chunk ends at or before pos.
      if (next <= AFS_CID_LAST_MAX) break;
      cid = next;
      cur_pos += AFS_CHUNK_SIZE;
      status = afs_get_next_cid(afs_context, cid, &next);
      if (status != AFS_STATUS_OK) return status;
      continue;
    }
    // A run of consecutive chunks, read in one call; each page needs its
    // CRC's room in staging while it is read.
    const uint32_t offset = pos > cur_pos ? pos - cur_pos : 0;
    const cid_t first = cid;
    uint32_t pages = 1;
    while (next > AFS_CID_LAST_MAX && next == cid + 1 &&
           (afs_context->afs_mode != 0 || chunk_bit(afs_context, uint32_t{next} - afs_context->num_files)) &&
           kRawPageBytes * (pages + 1) <= AFS_LOCAL_BUF_SIZE &&
           (AFS_CHUNK_SIZE - offset) + AFS_CHUNK_SIZE * (pages - 1) < wanted - done) {
      cid = next;
      status = afs_get_next_cid(afs_context, cid, &next);
      if (status != AFS_STATUS_OK) return status;
      ++pages;
    }
    const uint32_t last_bytes = chunk_bytes(next);
    if (pages == 1 && last_bytes <= offset) break;  // pos lies at or past the end
    status = afs_physical_ftl_read_data_pages(afs_context, staging, chunk_address(afs_context, first), pages);
    if (status != AFS_STATUS_OK) return status;
    const uint32_t available = (last_bytes - offset) + AFS_CHUNK_SIZE * (pages - 1);
    const uint32_t take = available < wanted - done ? available : wanted - done;
    std::memcpy(pBuffer + done, staging + offset, take);
    done += take;
    if (next <= AFS_CID_LAST_MAX) break;
    cid = next;
    cur_pos += AFS_CHUNK_SIZE * pages;
    status = afs_get_next_cid(afs_context, cid, &next);
    if (status != AFS_STATUS_OK) return status;
  }
  *pSize = done;
  return AFS_STATUS_OK;
}

uint32_t afs_deletefile(afs_context_t* afs_context, int32_t fileno) {
  if (!file_number_ok(afs_context, fileno) || afs_context->chunk_state == nullptr)
    return AFS_STATUS_INVALID_ARGUMENT;
  const cid_t file = static_cast<cid_t>(fileno);
  cid_t first = 0;
  uint32_t status = afs_get_next_cid(afs_context, file, &first);
  if (status != AFS_STATUS_OK) return status;
  if (first == AFS_CID_FREE) return AFS_STATUS_NO_SUCH_FILE;
  status = set_file_entry_and_flush(afs_context, file, AFS_CID_FREE);
  if (status != AFS_STATUS_OK) return status;
  if (afs_context->file_size_table != nullptr) afs_context->file_size_table[fileno] = AFS_NO_FILE_SIZE;
  if (first == AFS_CID_EMPTY || first == AFS_CID_ZOMBIE) return AFS_STATUS_OK;
  return afs_release_resources(afs_context, first, 0x7FFFFFFF, nullptr, 0, 0);
}

uint32_t afs_mark_zombie_file(afs_context_t* afs_context, int32_t fileno) {
  if (!file_number_ok(afs_context, fileno)) return AFS_STATUS_INVALID_ARGUMENT;
  const cid_t file = static_cast<cid_t>(fileno);
  cid_t entry = 0;
  const uint32_t status = afs_get_next_cid(afs_context, file, &entry);
  if (status != AFS_STATUS_OK) return status;
  if (entry != AFS_CID_FREE) return AFS_STATUS_NOT_DONE;
  return set_file_entry_and_flush(afs_context, file, AFS_CID_ZOMBIE);
}

uint32_t afs_idle_reclaim(afs_context_t* afs_context) {
  if (afs_context == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  if (afs_context->storage_type != 0) return AFS_STATUS_OK;
  return afs_physical_ftl_idle_reclaim(afs_context);
}

bool afs_idle_reclaim_needed(afs_context_t* afs_context) {
  if (afs_context == nullptr || afs_context->storage_type != 0) return false;
  uint32_t eu_index = 0;
  uint32_t eu_type = 0;
  return afs_physical_ftl_idle_reclaim_needed(afs_context, &eu_index, &eu_type);
}

bool afs_get_idle_reclaim_enabled(afs_context_t* afs_context) {
  return afs_context != nullptr && afs_context->idle_reclaim_enabled != 0;
}

void afs_set_idle_reclaim_enabled(afs_context_t* afs_context) {
  if (afs_context != nullptr) afs_context->idle_reclaim_enabled = 1;
}

uint32_t afs_force_full_reclaim(afs_context_t* afs_context) {
  if (afs_context == nullptr || afs_context->afs_physical_context == nullptr)
    return AFS_STATUS_INVALID_ARGUMENT;
  return afs_context->afs_physical_context->afs_physical_force_full_reclaim(afs_context);
}

uint32_t afs_force_dirty_erase(afs_context_t* afs_context) {
  if (afs_context == nullptr || afs_context->afs_physical_context == nullptr)
    return AFS_STATUS_INVALID_ARGUMENT;
  return afs_context->afs_physical_context->afs_physical_force_dirty_erase(afs_context);
}

}  // extern "C"
