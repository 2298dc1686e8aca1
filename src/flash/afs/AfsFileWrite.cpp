// The copy-on-write file write.
//
// The walk visits the file positions 0, 64, 128, ... with the old chunk at
// each position. Positions in front of the written range whose old chunk
// stays as it is are passed over; from the first position that changes on,
// every position gets a new chunk holding the old bytes, the caller's bytes,
// or zeros where the old file had no data. The update list collects the
// predecessor (the file entry or the last old chunk kept), the new chunks and
// the terminating value of the last one; the entries are then written from
// the tail to the head, so that the predecessor's entry, the commit point, is
// the page touched last and therefore flushed last.
#include <cstdlib>
#include <cstring>

#include "flash/afs/AfsCache.h"
#include "flash/afs/AfsFile.h"
#include "flash/afs/AfsVolume.h"
#include "flash/afs/AfsVolumeInternal.h"

using namespace afs_volume_internal;

namespace {

constexpr cid_t kNoChunk = 0;
// Consecutive flush requests that a write answers before it gives up on an
// allocator that keeps asking.
constexpr uint32_t kMaxFlushRequests = 256;
// Steps of a release that runs to the end of a chain.
constexpr uint32_t kWholeChain = 0x7FFFFFFF;

// The caller's bytes, moved through the staging buffer in windows of up to
// AFS_LOCAL_BUF_SIZE bytes.
class Staging {
 public:
  Staging(const uint8_t* source, uint32_t size, uint8_t* buffer)
      : source_(source), size_(size), buffer_(buffer) {}

  // Copies `count` bytes from caller offset `at` (at + count <= size).
  void copy(uint32_t at, uint32_t count, uint8_t* to) {
    if (at < base_ || uint64_t{at} + count > uint64_t{base_} + length_) load(at);
    std::memcpy(to, buffer_ + (at - base_), count);
  }

 private:
  void load(uint32_t at) {
    length_ = size_ - at < AFS_LOCAL_BUF_SIZE ? size_ - at : AFS_LOCAL_BUF_SIZE;
    std::memcpy(buffer_, source_ + at, length_);
    base_ = at;
  }

  const uint8_t* source_;
  uint32_t size_;
  uint8_t* buffer_;
  uint32_t base_ = 0;
  uint32_t length_ = 0;
};

class FileWrite {
 public:
  // `file_entry` is the file's entry as read before the write.
  FileWrite(afs_context_t* ctx, cid_t file, cid_t file_entry, uint32_t pos, uint32_t size,
            const uint8_t* data, bool truncate, cid_t* list, uint32_t capacity)
      : ctx_(ctx), file_(file), file_entry_(file_entry),
        // A zombie or an empty file has no chain.
        old_first_(file_entry == AFS_CID_EMPTY || file_entry == AFS_CID_ZOMBIE ? kNoChunk : file_entry),
        pos_(pos), size_(size), truncate_(truncate), list_(list), capacity_(capacity),
        staging_(data, size, ctx->afs_local_buf) {}

  // Runs the write up to its flush; on a failure the new chunks are released
  // and the cache dropped. Returns 0 or the failure.
  uint32_t build_and_commit() {
    uint32_t status = walk();
    if (status == AFS_STATUS_OK) status = commit();
    if (status != AFS_STATUS_OK) {
      if (new_chunks_ != 0)
        afs_release_resources(ctx_, list_[1], new_chunks_, list_ + 2, 1, 0);
      else if (commit_started_)
        cache_invalidate(ctx_);
    }
    return status;
  }

  bool had_chain() const { return old_first_ != kNoChunk; }
  cid_t first_replaced() const { return first_replaced_; }
  uint32_t new_chunks() const { return new_chunks_; }

 private:
  bool push(cid_t id) {
    if (count_ >= capacity_) return false;
    list_[count_++] = id;
    return true;
  }

  uint32_t read_entry(cid_t chunk, cid_t* entry) {
    if (chunk == kNoChunk) {
      *entry = 0;
      return AFS_STATUS_OK;
    }
    return afs_get_next_cid(ctx_, chunk, entry);
  }

  uint32_t allocate(cid_t* id) {
    for (uint32_t asked = 0; asked < kMaxFlushRequests; ++asked) {
      uint32_t status = afs_allocate_chunk(ctx_, id);
      if (status != AFS_STATUS_FLUSH_AND_RETRY) {
        if (status == AFS_STATUS_OK && !is_chunk_id(ctx_, *id)) return AFS_STATUS_IO_ERROR;
        return status;
      }
      status = cache_flush(ctx_);
      if (status != AFS_STATUS_OK) return status;
    }
    return AFS_STATUS_IO_ERROR;
  }

  // Fills the new chunk's page for file position cur_pos, whose old chunk is
  // `old` with entry `next`.
  uint32_t fill(uint8_t* page, uint32_t cur_pos, cid_t old, cid_t next) {
    if (cur_pos >= pos_ && size_ - written_ >= AFS_CHUNK_SIZE) {
      staging_.copy(written_, AFS_CHUNK_SIZE, page);
      written_ += AFS_CHUNK_SIZE;
      return AFS_STATUS_OK;
    }
    uint8_t* old_page = nullptr;
    for (uint32_t i = 0; i < AFS_CHUNK_SIZE; ++i) {
      if (cur_pos + i >= pos_ && written_ < size_) {
        staging_.copy(written_++, 1, page + i);
      } else if (i >= next) {
        page[i] = 0;  // past the old data
      } else {
        if (old_page == nullptr) {
          const uint32_t status = get_offset_in_cache(ctx_, chunk_address(ctx_, old), &old_page);
          if (status != AFS_STATUS_OK) return status;
        }
        page[i] = old_page[i];
      }
    }
    return AFS_STATUS_OK;
  }

  uint32_t walk() {
    uint32_t cur_pos = 0;
    cid_t predecessor = file_;
    cid_t old = old_first_;
    cid_t next = 0;
    uint32_t status = read_entry(old, &next);
    if (status != AFS_STATUS_OK) return status;
    bool rewriting = false;
    while (written_ < size_ || (truncate_ && cur_pos <= pos_)) {
      const bool passed_over =
          uint64_t{pos_} >= uint64_t{cur_pos} + AFS_CHUNK_SIZE &&
          (next > AFS_CID_LAST_MAX ||
           (old != kNoChunk && next == AFS_CHUNK_SIZE && pos_ == cur_pos + AFS_CHUNK_SIZE));
      if (!passed_over) {
        if (truncate_ && cur_pos == pos_ && written_ == size_) {
          // Truncated at a chunk boundary: the chunk in front ends the file.
          if (!rewriting) {
            if (!push(predecessor)) return AFS_STATUS_IO_ERROR;
            first_replaced_ = old;
          }
          break;
        }
        if (!rewriting) {
          rewriting = true;
          first_replaced_ = old;
        }
        cid_t fresh = 0;
        status = allocate(&fresh);
        if (status != AFS_STATUS_OK) return status;
        if ((new_chunks_ == 0 && !push(predecessor)) || !push(fresh)) return AFS_STATUS_IO_ERROR;
        ++new_chunks_;
        uint8_t* page = nullptr;
        status = get_offset_in_cache(ctx_, chunk_address(ctx_, fresh), &page);
        if (status != AFS_STATUS_OK) return status;
        status = fill(page, cur_pos, old, next);
        if (status != AFS_STATUS_OK) return status;
        cache_line_written(ctx_, page);
        last_replaced_entry_ = next;
      }
      cur_pos += AFS_CHUNK_SIZE;
      predecessor = old;
      old = next > AFS_CID_LAST_MAX ? next : kNoChunk;
      status = read_entry(old, &next);
      if (status != AFS_STATUS_OK) return status;
    }
    return AFS_STATUS_OK;
  }

  // Links the new chunks (or empties the file) and flushes.
  uint32_t commit() {
    commit_started_ = true;
    uint32_t status = AFS_STATUS_OK;
    if (size_ > 0 || (truncate_ && pos_ > 0)) {
      uint32_t last = (pos_ + size_) % AFS_CHUNK_SIZE;
      if (last == 0) last = AFS_CHUNK_SIZE;
      cid_t terminator = static_cast<cid_t>(last);
      // An old successor keeps the rest of the old chain behind the new
      // chunks; an old count keeps the file no shorter.
      if (!truncate_ && last_replaced_entry_ > terminator) terminator = last_replaced_entry_;
      if (!push(terminator)) return AFS_STATUS_IO_ERROR;
      for (uint32_t k = count_ - 1; k-- > 0;) {
        status = afs_set_next_cid(ctx_, list_[k], list_[k + 1]);
        if (status != AFS_STATUS_OK) return status;
      }
    } else if ((old_first_ == kNoChunk || truncate_) && file_entry_ != AFS_CID_EMPTY) {
      status = afs_set_next_cid(ctx_, file_, AFS_CID_EMPTY);
      if (status != AFS_STATUS_OK) return status;
    }
    return cache_flush(ctx_);
  }

  afs_context_t* ctx_;
  cid_t file_;
  cid_t file_entry_;
  cid_t old_first_;
  uint32_t pos_;
  uint32_t size_;
  bool truncate_;
  cid_t* list_;
  uint32_t capacity_;
  uint32_t count_ = 0;
  Staging staging_;
  uint32_t written_ = 0;
  uint32_t new_chunks_ = 0;
  cid_t first_replaced_ = kNoChunk;
  cid_t last_replaced_entry_ = 0;
  bool commit_started_ = false;
};

}  // namespace

extern "C" uint32_t afs_writefile(afs_context_t* afs_context, int32_t fileno, uint32_t pos,
                                  uint32_t size, uint8_t* pBuffer, uint32_t flags) {
  if (!file_number_ok(afs_context, fileno) || afs_context->chunk_state == nullptr ||
      afs_context->afs_local_buf == nullptr || (size != 0 && pBuffer == nullptr))
    return AFS_STATUS_INVALID_ARGUMENT;
  const bool truncate = (flags & AFS_WRITE_TRUNCATE) != 0;
  const bool creates_only = size == 0 && !truncate;
  if (!creates_only &&
      (size > AFS_MAX_FILE_SIZE || pos > AFS_MAX_FILE_SIZE || uint64_t{pos} + size > AFS_MAX_FILE_SIZE))
    return AFS_STATUS_FILE_TOO_LARGE;

  // The predecessor, one entry per position up to pos + size, the terminator.
  const uint32_t capacity = creates_only ? 2 : (pos + size + AFS_CHUNK_SIZE - 1) / AFS_CHUNK_SIZE + 2;
  cid_t* list = static_cast<cid_t*>(std::calloc(capacity, sizeof(cid_t)));
  if (list == nullptr) return AFS_STATUS_NO_MEMORY;

  const cid_t file = static_cast<cid_t>(fileno);
  cid_t entry = 0;
  uint32_t status = afs_get_next_cid(afs_context, file, &entry);
  if (status != AFS_STATUS_OK) {
    std::free(list);
    return status;
  }
  FileWrite write(afs_context, file, entry, pos, size, pBuffer, truncate, list, capacity);
  status = write.build_and_commit();
  std::free(list);
  if (status != AFS_STATUS_OK) return status;

  if (afs_context->file_size_table != nullptr) {
    uint32_t& recorded = afs_context->file_size_table[fileno];
    if (size > 0 || (truncate && pos > 0)) {
      const uint32_t end = pos + size;
      if (truncate || recorded == AFS_NO_FILE_SIZE || recorded < end) recorded = end;
    } else if (!write.had_chain() || truncate) {
      recorded = 0;
    }
  }
  if (size == 0 && !truncate) return AFS_STATUS_OK;
  return afs_release_resources(afs_context, write.first_replaced(),
                               truncate ? kWholeChain : write.new_chunks(), nullptr, 0, 0);
}
