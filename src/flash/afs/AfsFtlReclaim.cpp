// Reclaim of one EU: the page copy, the header switch, and the reclaims of a
// block-mapped and of a page-mapped EU (the order of their flash writes is
// described in AfsFtlReclaim.h).
#include "flash/afs/AfsFtlReclaim.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "flash/afs/AfsFtlInternal.h"

using namespace afs_ftl_internal;

namespace {

constexpr uint16_t kNoPage = 0xFFFF;  // an entry of the live-page list that holds nothing

uint32_t eu_base(uint32_t eu) { return eu * FTL_EU_SIZE; }

// The FAT write head restarts at page 0 of `eu`, an EU written from its start.
void start_write_head(ftl_context_t* ftl, uint32_t eu) {
  ftl->current_page_mapped_eu = eu;
  ftl->next_page_in_current_eu = 0;
  ftl->last_logical_pageid = 0;
}

// The empty page-mapped EU with the lowest mapping counter that may receive
// pages: not the spare, the write head or `reclaimed`, and one whose copies
// would win at the next mount; FTL_NO_EU if none (the new EU then takes the
// head under a fresh header).
uint32_t next_empty_page_mapped_eu(const ftl_context_t* ftl, uint32_t reclaimed) {
  uint32_t best = FTL_NO_EU;
  for (uint32_t e = 0; e < ftl->amount_of_eus; ++e) {
    const eu_info_t& info = ftl->eu_info[e];
    if (info.euva != 0 || info.non_committed_pages == 0 || e == ftl->spare_eu ||
        e == ftl->current_page_mapped_eu || e == reclaimed || !fat_copies_would_win(ftl, e))
      continue;
    if (best == FTL_NO_EU || info.eumc < ftl->eu_info[best].eumc) best = e;
  }
  return best;
}

// Moves the live FAT pages of one page-mapped EU behind the FAT write head.
// page_info follows a copy only once the copy is committed on flash (a
// copied page is committed by the slot written after it), so that after a
// failure every FAT page is still found where the flash keeps it.
class PageMappedReclaim {
 public:
  PageMappedReclaim(afs_context_t* ctx, uint32_t reclaimed, uint32_t fresh, uint8_t* read_buffer,
                    uint8_t* compare_buffer, uint32_t max_run)
      : ctx_(ctx), ftl_(ctx->ftl_context), reclaimed_(reclaimed), fresh_(fresh),
        read_buffer_(read_buffer), compare_buffer_(compare_buffer), max_run_(max_run) {
    for (uint16_t& entry : live_) entry = kNoPage;
    const uint32_t fat_pages = fat_page_count(ctx, ftl_);
    for (uint32_t lp = 0; lp < fat_pages; ++lp) {
      const ftl_physical_page_info_t& where = ftl_->page_info[lp];
      if (where.page_num == FTL_PAGE_UNMAPPED || where.eu != reclaimed ||
          where.page_num >= FTL_PAGE_MAPPED_PAGES)
        continue;
      live_[where.page_num] = static_cast<uint16_t>(lp);
      ++live_count_;
    }
  }

  uint32_t live_count() const { return live_count_; }

  // Copies every live page in runs; the write head moves on when it fills.
  uint32_t copy(uint32_t next_empty) {
    uint16_t ids[FTL_COPY_RUN_PAGES];
    uint32_t run_from = 0;
    uint32_t run = 0;
    for (uint32_t i = 0; i < FTL_PAGE_MAPPED_PAGES && copied_ < live_count_; ++i) {
      if (live_[i] != kNoPage) {
        if (run == 0) run_from = i;
        ids[run++] = live_[i];
      }
      const bool run_ends = live_[i] == kNoPage || run == max_run_ || i == FTL_PAGE_MAPPED_PAGES - 1 ||
                            run == FTL_PAGE_MAPPED_PAGES - ftl_->next_page_in_current_eu;
      if (run == 0 || !run_ends) continue;
      const uint32_t status = copy_run(run_from, run, ids);
      if (status != 0) return status;
      run = 0;
      // All live pages copied: the head stays, even on a full EU.
      if (copied_ == live_count_) break;
      if (ftl_->next_page_in_current_eu == FTL_PAGE_MAPPED_PAGES) {
        const uint32_t full = ftl_->current_page_mapped_eu;
        if (write_commit_mark(ctx_, full, FTL_PAGE_MAPPED_PAGES) != 0) return AFS_STATUS_IO_ERROR;
        map_deferred();
        uint32_t target = next_empty != FTL_NO_EU ? next_empty : fresh_;
        if (target == full) return AFS_STATUS_IO_ERROR;  // nowhere left to copy to
        if (target == next_empty) next_empty = FTL_NO_EU;
        start_write_head(ftl_, target);
      }
    }
    // The last copied page is committed by the slot after it.
    if (copied_ != 0 && ftl_->next_page_in_current_eu != 0) {
      if (write_commit_mark(ctx_, ftl_->current_page_mapped_eu, ftl_->next_page_in_current_eu) != 0)
        return AFS_STATUS_IO_ERROR;
      map_deferred();
    }
    return AFS_STATUS_OK;
  }

  // After a failure before the header switch: the reclaimed EU still holds
  // the data on flash. Copies in the spare are forgotten (the next reclaim
  // erases it); copies committed in a valid page-mapped EU stay mapped. The
  // write head never resumes on pages a failed copy may have programmed, nor
  // in the spare: marked full, the next FAT write reclaims first.
  void abandon() {
    for (uint32_t i = 0; i < FTL_PAGE_MAPPED_PAGES; ++i) {
      if (live_[i] == kNoPage) continue;
      ftl_physical_page_info_t& where = ftl_->page_info[live_[i]];
      if (where.eu != fresh_ || where.page_num == FTL_PAGE_UNMAPPED) continue;
      where.eu = static_cast<ftl_physical_page_info_eu_t>(reclaimed_);
      where.page_num = static_cast<ftl_physical_page_info_page_num_t>(i);
      drop_dirty(ftl_->eu_info[reclaimed_]);
    }
    if (copy_attempted_ || ftl_->current_page_mapped_eu == fresh_)
      ftl_->next_page_in_current_eu = FTL_PAGE_MAPPED_PAGES;
  }

 private:
  uint32_t copy_run(uint32_t run_from, uint32_t run, uint16_t* ids) {
    const uint32_t active = ftl_->current_page_mapped_eu;
    const uint32_t at = ftl_->next_page_in_current_eu;
    eu_info_t& target = ftl_->eu_info[active];
    target.non_committed_pages = 0;
    copy_attempted_ = true;
    if (ftl_copy_pages(ctx_, eu_base(reclaimed_), eu_base(active), run_from, at, run, read_buffer_,
                       compare_buffer_, 0, ids) != 0)
      return AFS_STATUS_IO_ERROR;
    // This run's first slot committed the previous run's last page.
    map_deferred();
    for (uint32_t k = 0; k + 1 < run; ++k) map(ids[k], active, at + k);
    deferred_ = true;
    deferred_id_ = ids[run - 1];
    deferred_eu_ = active;
    deferred_page_ = at + run - 1;
    ftl_->next_page_in_current_eu = at + run;
    copied_ += run;
    drop_dirty(target, run);
    return AFS_STATUS_OK;
  }

  void map(uint16_t lp, uint32_t eu, uint32_t page) {
    ftl_physical_page_info_t& where = ftl_->page_info[lp];
    where.eu = static_cast<ftl_physical_page_info_eu_t>(eu);
    where.page_num = static_cast<ftl_physical_page_info_page_num_t>(page);
    add_dirty(ftl_->eu_info[reclaimed_]);  // its copy there is stale now
  }

  void map_deferred() {
    if (!deferred_) return;
    map(deferred_id_, deferred_eu_, deferred_page_);
    deferred_ = false;
  }

  afs_context_t* ctx_;
  ftl_context_t* ftl_;
  uint32_t reclaimed_;
  uint32_t fresh_;
  uint8_t* read_buffer_;
  uint8_t* compare_buffer_;
  uint32_t max_run_;
  uint16_t live_[FTL_PAGE_MAPPED_PAGES];
  uint32_t live_count_ = 0;
  uint32_t copied_ = 0;
  bool copy_attempted_ = false;
  bool deferred_ = false;
  uint16_t deferred_id_ = 0;
  uint32_t deferred_eu_ = 0;
  uint32_t deferred_page_ = 0;
};

bool buffers_usable(const uint8_t* a, const uint8_t* b, uint32_t max_pages) {
  return a != nullptr && b != nullptr && max_pages != 0 && max_pages <= FTL_COPY_RUN_PAGES;
}

}  // namespace

extern "C" {

uint32_t ftl_copy_pages(afs_context_t* afs_context, uint32_t read_eu_address,
                        uint32_t write_eu_address, uint32_t read_page_index,
                        uint32_t write_page_index, uint32_t pages_to_read, uint8_t* write_buffer,
                        uint8_t* compare_buffer, uint16_t first_logical_pageid,
                        uint16_t* page_id_array) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || write_buffer == nullptr || compare_buffer == nullptr)
    return AFS_STATUS_INVALID_ARGUMENT;
  if (pages_to_read > FTL_COPY_RUN_PAGES) return AFS_STATUS_INVALID_ARGUMENT;  // past the buffers
  if (pages_to_read == 0) return AFS_STATUS_OK;
  const uint32_t type = page_id_array == nullptr ? FTL_EU_TYPE_BLOCK_MAPPED : FTL_EU_TYPE_PAGE_MAPPED;
  const uint32_t pages = pages_of_type(type);
  const uint32_t eus = ftl->amount_of_eus;
  if (read_eu_address % FTL_EU_SIZE != 0 || write_eu_address % FTL_EU_SIZE != 0 ||
      read_eu_address / FTL_EU_SIZE >= eus || write_eu_address / FTL_EU_SIZE >= eus ||
      read_page_index >= pages || pages_to_read > pages - read_page_index ||
      write_page_index >= pages || pages_to_read > pages - write_page_index)
    return AFS_STATUS_IO_ERROR;
  auto id_of = [&](uint32_t k) {
    return page_id_array != nullptr ? page_id_array[k]
                                    : static_cast<uint16_t>(first_logical_pageid + k);
  };

  const uint32_t size = pages_to_read * FTL_PAGE_SIZE;
  const uint32_t from = afs_context->afs_partition_index + read_eu_address +
                        page_offset(type, read_page_index);
  bool good = false;
  for (uint32_t attempt = 0; attempt < FTL_READ_TRIES && !good; ++attempt) {
    if (SpiDrvRead(from, size, write_buffer) != 0) return AFS_STATUS_IO_ERROR;
    good = true;
    for (uint32_t k = 0; k < pages_to_read && good; ++k)
      good = page_crc_ok(write_buffer + k * FTL_PAGE_SIZE, id_of(k));
  }
  if (!good) return AFS_STATUS_IO_ERROR;
  if (write_read_verify(afs_context, write_eu_address + page_offset(type, write_page_index), size,
                        write_buffer, compare_buffer) != 0)
    return AFS_STATUS_IO_ERROR;

  // The headers: committed commit bytes, or page-id slots chained from the
  // last id written into the receiving EU.
  uint32_t header_at = 0;
  uint32_t header_size = 0;
  if (type == FTL_EU_TYPE_BLOCK_MAPPED) {
    std::memset(write_buffer, FTL_PAGE_COMMITTED, pages_to_read);
    header_at = write_eu_address + FTL_BM_COMMIT_OFFSET + write_page_index;
    header_size = pages_to_read * sizeof(ftl_block_mapped_eu_page_header_t);
  } else {
    for (uint32_t k = 0; k < pages_to_read; ++k) {
      const uint16_t id = id_of(k);
      const PageIdBytes slot(static_cast<uint16_t>(id ^ chain_key(ftl->last_logical_pageid)));
      std::memcpy(write_buffer + k * sizeof(ftl_page_mapped_eu_page_header_t), slot.b, sizeof slot.b);
      ftl->last_logical_pageid = id;
    }
    header_at = write_eu_address + FTL_PM_SLOTS_OFFSET +
                write_page_index * sizeof(ftl_page_mapped_eu_page_header_t);
    header_size = pages_to_read * sizeof(ftl_page_mapped_eu_page_header_t);
  }
  return write_read_verify(afs_context, header_at, header_size, write_buffer, compare_buffer) != 0
             ? AFS_STATUS_IO_ERROR
             : AFS_STATUS_OK;
}

uint32_t reclaim_eu_write_eu_header(afs_context_t* afs_context, uint32_t new_eu,
                                    uint32_t reclaimed_eu, uint32_t new_eu_address,
                                    uint32_t reclaimed_eu_address) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  if (new_eu >= ftl->amount_of_eus || reclaimed_eu >= ftl->amount_of_eus || new_eu == reclaimed_eu ||
      new_eu_address != eu_base(new_eu) || reclaimed_eu_address != eu_base(reclaimed_eu))
    return AFS_STATUS_INVALID_ARGUMENT;
  // Commits a pending EU the mount accepted; refuses counters that would wrap.
  const uint32_t prepared = ftl_prepare_header_switch(afs_context, new_eu);
  if (prepared != 0) return prepared;

  eu_info_t& fresh = ftl->eu_info[new_eu];
  eu_info_t& old = ftl->eu_info[reclaimed_eu];
  ftl->last_eumc += 1;
  fresh.euec += 1;  // it was erased

  if (write_pre_header(afs_context, new_eu,
                       new_pre_header(ftl->last_eumc, fresh.euec,
                                      static_cast<ftl_euspare_t>(reclaimed_eu), old.euva)) != 0)
    return AFS_STATUS_IO_ERROR;

  const uint32_t sig_at = reclaimed_eu_address + offsetof(ftl_eu_pre_header_t, eusig);
  ftl_eusig_t old_sig = 0;
  if (SpiDrvRead(afs_context->afs_partition_index + sig_at, sizeof old_sig, &old_sig) != 0)
    return AFS_STATUS_IO_ERROR;
  const ftl_eusig_t killed = FTL_EUSIG_KILLED;
  uint8_t scratch[sizeof killed];
  const bool kill_verified = write_read_verify(afs_context, sig_at, sizeof killed,
                                               reinterpret_cast<const uint8_t*>(&killed), scratch) == 0;
  if (!kill_verified) {
    // The zeros may have landed with only their read-back failing. An old
    // signature that no longer reads as it was (or cannot be read) is taken
    // as killed: then the flash gives the data to the new EU.
    ftl_eusig_t now = old_sig;
    if (SpiDrvRead(afs_context->afs_partition_index + sig_at, sizeof now, &now) == 0 && now == old_sig)
      return AFS_STATUS_IO_ERROR;
  }

  // From here on the flash gives the data to the new EU (a pending EU beside
  // the killed EU it names is accepted), so RAM switches before the commit.
  old.eumc = 0;
  ftl->spare_eu = static_cast<uint16_t>(reclaimed_eu);
  old.dirty_pages = 0;
  fresh.euva = old.euva;
  old.euva = 0;
  fresh.eumc = ftl->last_eumc;

  if (!kill_verified || commit_pre_header(afs_context, new_eu) != 0) {
    ftl->accepted_pending_eu = new_eu;  // committed by the next header switch
    return AFS_STATUS_IO_ERROR;
  }
  return AFS_STATUS_OK;
}

uint32_t reclaim_block_mapped_eu(afs_context_t* afs_context, uint32_t reclaimed_eu,
                                 uint32_t reclaim_needed, uint8_t* reclaim_buffer,
                                 uint8_t* compare_buffer, uint32_t max_pages_in_buffer) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || afs_context->chunk_state == nullptr || reclaimed_eu >= ftl->amount_of_eus ||
      ftl->eu_info[reclaimed_eu].euva == 0)
    return AFS_STATUS_INVALID_ARGUMENT;
  const ftl_euva_t euva = ftl->eu_info[reclaimed_eu].euva;
  const uint32_t first = chunk_index_from_euva(afs_context, euva);
  if (uint64_t{first} + FTL_BLOCK_MAPPED_PAGES > ftl->chunk_count) return AFS_STATUS_IO_ERROR;
  ftl->alloc_eu_flushed = 0;
  if (reclaim_needed == 0) {
    // Its erased pages become the allocation range.
    ftl->alloc_marker = first;
    ftl->alloc_threshold = first + FTL_BLOCK_MAPPED_PAGES;
    return AFS_STATUS_OK;
  }
  if (!buffers_usable(reclaim_buffer, compare_buffer, max_pages_in_buffer))
    return AFS_STATUS_INVALID_ARGUMENT;
  const uint32_t fresh = ftl->spare_eu;
  if (fresh >= ftl->amount_of_eus || erase_eu(afs_context, static_cast<int>(fresh)) != 0)
    return AFS_STATUS_IO_ERROR;
  eu_info_t& target = ftl->eu_info[fresh];
  target.non_committed_pages = FTL_BLOCK_MAPPED_PAGES;
  target.dirty_pages = FTL_BLOCK_MAPPED_PAGES;

  // Without a usable allocation range, allocation continues in this EU at
  // its lowest free chunk (whose page is erased in the copy).
  const bool allocation_moves =
      ftl->alloc_marker == ftl->alloc_threshold || ftl->alloc_marker == FTL_NO_ALLOC_MARKER;
  if (allocation_moves) {
    ftl->alloc_marker = FTL_NO_ALLOC_MARKER;
    ftl->alloc_threshold = first + FTL_BLOCK_MAPPED_PAGES;
  }

  // Allocated chunks are copied to the same page of the new EU, in runs
  // gathered from the last page down.
  uint32_t run = 0;
  auto copy_run = [&](uint32_t from) {
    const uint32_t status =
        ftl_copy_pages(afs_context, eu_base(reclaimed_eu), eu_base(fresh), from, from, run,
                       reclaim_buffer, compare_buffer, static_cast<uint16_t>(euva + from), nullptr);
    target.non_committed_pages = static_cast<uint8_t>(target.non_committed_pages - run);
    run = 0;
    return status;
  };
  for (uint32_t i = FTL_BLOCK_MAPPED_PAGES; i-- > 0;) {
    if (chunk_allocated(afs_context, first + i)) {
      ++run;
      drop_dirty(target);
      if ((run == max_pages_in_buffer || i == 0) && copy_run(i) != 0) return AFS_STATUS_IO_ERROR;
    } else {
      if (allocation_moves) ftl->alloc_marker = first + i;
      if (run != 0 && copy_run(i + 1) != 0) return AFS_STATUS_IO_ERROR;
    }
  }

  if (reclaim_eu_write_eu_header(afs_context, fresh, reclaimed_eu, eu_base(fresh),
                                 eu_base(reclaimed_eu)) != 0)
    return AFS_STATUS_IO_ERROR;
  return ftl->alloc_marker == FTL_NO_ALLOC_MARKER ? AFS_STATUS_RECLAIM_NO_GAIN : AFS_STATUS_OK;
}

uint32_t reclaim_page_mapped_eu(afs_context_t* afs_context, uint32_t reclaimed_eu,
                                uint32_t reclaim_needed, uint8_t* reclaim_buffer,
                                uint8_t* compare_buffer, uint32_t max_pages_in_buffer) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || reclaimed_eu >= ftl->amount_of_eus || reclaimed_eu == ftl->spare_eu ||
      ftl->eu_info[reclaimed_eu].euva != 0)
    return AFS_STATUS_INVALID_ARGUMENT;
  if (reclaim_needed == 0) {
    // An EU that holds pages never restarts at page 0.
    if (ftl->eu_info[reclaimed_eu].non_committed_pages == 0) return AFS_STATUS_IO_ERROR;
    start_write_head(ftl, reclaimed_eu);
    return AFS_STATUS_OK;
  }
  if (!buffers_usable(reclaim_buffer, compare_buffer, max_pages_in_buffer))
    return AFS_STATUS_INVALID_ARGUMENT;
  const uint32_t fresh = ftl->spare_eu;
  if (fresh >= ftl->amount_of_eus) return AFS_STATUS_IO_ERROR;
  const uint32_t next_empty = next_empty_page_mapped_eu(ftl, reclaimed_eu);
  if (erase_eu(afs_context, static_cast<int>(fresh)) != 0) return AFS_STATUS_IO_ERROR;
  ftl->eu_info[fresh].non_committed_pages = 1;
  ftl->eu_info[fresh].dirty_pages = FTL_PAGE_MAPPED_PAGES;

  // A full write head, or the reclaimed EU as the head, moves to an empty EU
  // (the new one when there is none); else the live pages follow the head.
  const bool head_moves = ftl->next_page_in_current_eu >= FTL_PAGE_MAPPED_PAGES ||
                          ftl->current_page_mapped_eu == reclaimed_eu ||
                          ftl->current_page_mapped_eu >= ftl->amount_of_eus;
  uint32_t empty_left = next_empty;
  if (head_moves) {
    start_write_head(ftl, next_empty != FTL_NO_EU ? next_empty : fresh);
    empty_left = FTL_NO_EU;
  }

  PageMappedReclaim reclaim(afs_context, reclaimed_eu, fresh, reclaim_buffer, compare_buffer,
                            max_pages_in_buffer);
  uint32_t status = reclaim.copy(empty_left);
  if (status == 0)
    status = reclaim_eu_write_eu_header(afs_context, fresh, reclaimed_eu, eu_base(fresh),
                                        eu_base(reclaimed_eu));
  if (status != 0) {
    // Once the old EU is killed RAM has switched with the flash; before
    // that the old EU keeps the data.
    if (ftl->spare_eu != reclaimed_eu) reclaim.abandon();
    return AFS_STATUS_IO_ERROR;
  }
  return reclaim.live_count() == FTL_PAGE_MAPPED_PAGES ? AFS_STATUS_RECLAIM_NO_GAIN : AFS_STATUS_OK;
}

uint32_t reclaim_eu(afs_context_t* afs_context, uint32_t reclaimed_eu, uint32_t reclaim_needed) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || reclaimed_eu >= ftl->amount_of_eus) return AFS_STATUS_INVALID_ARGUMENT;
  if (reclaimed_eu == ftl->spare_eu) return AFS_STATUS_NO_SPACE;
  const bool block_mapped = ftl->eu_info[reclaimed_eu].euva != 0;
  if (reclaim_needed == 0) {
    return block_mapped ? reclaim_block_mapped_eu(afs_context, reclaimed_eu, 0, nullptr, nullptr, 0)
                        : reclaim_page_mapped_eu(afs_context, reclaimed_eu, 0, nullptr, nullptr, 0);
  }
  // The spare receives the new header: refused before anything is erased
  // when a counter of that header would wrap.
  if (ftl->spare_eu >= ftl->amount_of_eus || header_counters_exhausted(ftl, ftl->spare_eu))
    return AFS_STATUS_IO_ERROR;
  uint8_t* buffer = static_cast<uint8_t*>(std::malloc(FTL_RECLAIM_BUFFER_SIZE));
  if (buffer == nullptr) return AFS_STATUS_NO_MEMORY;
  uint8_t* compare = buffer + FTL_RECLAIM_BUFFER_SIZE / 2;
  const uint32_t status =
      block_mapped ? reclaim_block_mapped_eu(afs_context, reclaimed_eu, 1, buffer, compare, FTL_COPY_RUN_PAGES)
                   : reclaim_page_mapped_eu(afs_context, reclaimed_eu, 1, buffer, compare, FTL_COPY_RUN_PAGES);
  std::free(buffer);
  return status;
}

}  // extern "C"
