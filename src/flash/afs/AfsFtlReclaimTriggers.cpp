// When and which EU to reclaim: the idle-reclaim test, the choice with wear
// levelling, making room on demand, idle reclaim, the forced full reclaim and
// the forced dirty erase. The choice and the test walk eu_info only.
#include <cstring>

#include "flash/afs/AfsFtlInternal.h"
#include "flash/afs/AfsFtlReclaim.h"

using namespace afs_ftl_internal;

namespace {

// An idle reclaim is due below these free pages (page-mapped EUs), or below
// these free pages together with at least these dirty pages (block-mapped).
constexpr uint32_t kIdleFatFreePages = 30;
constexpr uint32_t kIdleBlockFreePages = 64;
constexpr uint32_t kIdleBlockDirtyPages = 97;
// Wear levelling takes the least-erased EU when the erase counts spread by
// more than this, checked whenever the highest count is a multiple of the step.
constexpr uint32_t kWearSpread = 100;
constexpr uint32_t kWearCountStep = 10;

bool of_type(const ftl_context_t* ftl, uint32_t eu, uint32_t eu_type) {
  if (eu == ftl->spare_eu) return false;
  const bool block_mapped = ftl->eu_info[eu].euva != 0;
  if (eu_type == FTL_EU_TYPE_ANY) return true;
  if (eu_type == FTL_EU_TYPE_BLOCK_MAPPED) return block_mapped;
  return eu_type == FTL_EU_TYPE_PAGE_MAPPED && !block_mapped;
}

// An EU of the type that still has erased pages (lowest eumc), or FTL_NO_EU.
// An empty page-mapped EU whose FAT copies would lose at the next mount is
// passed over: the reclaim that follows gives the write head a fresh header.
uint32_t eu_with_erased_pages(const ftl_context_t* ftl, uint32_t eu_type) {
  if (eu_type != FTL_EU_TYPE_PAGE_MAPPED && eu_type != FTL_EU_TYPE_BLOCK_MAPPED) return FTL_NO_EU;
  uint32_t best = FTL_NO_EU;
  for (uint32_t e = 0; e < ftl->amount_of_eus; ++e) {
    if (!of_type(ftl, e, eu_type) || ftl->eu_info[e].non_committed_pages == 0) continue;
    if (eu_type == FTL_EU_TYPE_PAGE_MAPPED && !fat_copies_would_win(ftl, e)) continue;
    if (best == FTL_NO_EU || ftl->eu_info[e].eumc < ftl->eu_info[best].eumc) best = e;
  }
  return best;
}

}  // namespace

extern "C" {

bool afs_physical_ftl_idle_reclaim_needed(afs_context_t* afs_context, uint32_t* p_eu_index,
                                          uint32_t* p_eu_type) {
  const ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr) return false;
  uint32_t fat_free = 0, block_free = 0, block_dirty = 0;
  uint32_t candidate = FTL_NO_EU;
  uint32_t lowest_euec = UINT32_MAX;
  for (uint32_t e = 0; e < ftl->amount_of_eus; ++e) {
    if (e == ftl->spare_eu) continue;
    const eu_info_t& info = ftl->eu_info[e];
    bool wholly_stale = false;
    if (info.euva == 0) {
      if (e == ftl->current_page_mapped_eu) {
        if (ftl->next_page_in_current_eu < FTL_PAGE_MAPPED_PAGES)
          fat_free += FTL_PAGE_MAPPED_PAGES - ftl->next_page_in_current_eu;
      } else if (info.non_committed_pages != 0) {
        fat_free += FTL_PAGE_MAPPED_PAGES;
      } else {
        wholly_stale = info.dirty_pages == FTL_PAGE_MAPPED_PAGES;
      }
    } else {
      block_free += info.non_committed_pages;
      block_dirty += info.dirty_pages;
      wholly_stale = info.non_committed_pages == 0 && info.dirty_pages == FTL_BLOCK_MAPPED_PAGES;
    }
    if (wholly_stale && info.euec < lowest_euec) {
      lowest_euec = info.euec;
      candidate = e;
    }
  }
  uint32_t index = FTL_NO_EU;
  uint32_t type = 0;
  if (fat_free < kIdleFatFreePages) {
    type = FTL_EU_TYPE_PAGE_MAPPED;
  } else if (block_free < kIdleBlockFreePages && block_dirty >= kIdleBlockDirtyPages) {
    type = FTL_EU_TYPE_BLOCK_MAPPED;
  } else if (candidate != FTL_NO_EU) {
    index = candidate;
    type = ftl->eu_info[candidate].euva != 0 ? FTL_EU_TYPE_BLOCK_MAPPED : FTL_EU_TYPE_PAGE_MAPPED;
  } else {
    return false;
  }
  if (p_eu_index != nullptr) *p_eu_index = index;
  if (p_eu_type != nullptr) *p_eu_type = type;
  return true;
}

uint32_t choose_eu_to_reclaim(afs_context_t* afs_context, uint32_t eu_type,
                              uint32_t enable_wearout_leveling, uint32_t* reclaim_needed,
                              bool reclaim_type) {
  const ftl_context_t* ftl = mounted_ftl(afs_context);
  if (reclaim_needed == nullptr) return FTL_NO_EU;
  *reclaim_needed = 0;
  if (ftl == nullptr) return FTL_NO_EU;
  uint32_t named = FTL_NO_EU;
  if (!reclaim_type) {
    const uint32_t unused = eu_with_erased_pages(ftl, eu_type);
    if (unused != FTL_NO_EU) return unused;
  } else if (!afs_physical_ftl_idle_reclaim_needed(afs_context, &named, &eu_type)) {
    return FTL_NO_EU;
  }

  uint32_t least_worn = FTL_NO_EU, dirtiest = FTL_NO_EU;
  uint32_t highest_euec = 0;
  for (uint32_t e = 0; e < ftl->amount_of_eus; ++e) {
    if (!of_type(ftl, e, eu_type)) continue;
    const eu_info_t& info = ftl->eu_info[e];
    if (least_worn == FTL_NO_EU || info.euec < ftl->eu_info[least_worn].euec) least_worn = e;
    if (info.euec > highest_euec) highest_euec = info.euec;
    if (dirtiest == FTL_NO_EU || info.dirty_pages > ftl->eu_info[dirtiest].dirty_pages ||
        (info.dirty_pages == ftl->eu_info[dirtiest].dirty_pages &&
         info.euec < ftl->eu_info[dirtiest].euec))
      dirtiest = e;
  }
  if (least_worn == FTL_NO_EU) return FTL_NO_EU;  // no EU of this type
  *reclaim_needed = 1;
  if (enable_wearout_leveling == 1 && highest_euec - ftl->eu_info[least_worn].euec > kWearSpread &&
      highest_euec % kWearCountStep == 0)
    return least_worn;
  return named != FTL_NO_EU ? named : dirtiest;
}

uint32_t reclaim_eu_wrapper(afs_context_t* afs_context, uint32_t eu_type) {
  const ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  uint32_t needed = 0;
  uint32_t eu = choose_eu_to_reclaim(afs_context, eu_type, 1, &needed, false);
  if (eu == FTL_NO_EU) return AFS_STATUS_NO_SPACE;
  const uint32_t status = reclaim_eu(afs_context, eu, needed);
  if (status != AFS_STATUS_RECLAIM_NO_GAIN) return status;
  // The wear-levelling pick gained nothing: take the dirtiest EU instead.
  eu = choose_eu_to_reclaim(afs_context, eu_type, 0, &needed, false);
  if (eu == FTL_NO_EU || (needed == 1 && ftl->eu_info[eu].dirty_pages == 0)) return AFS_STATUS_NO_SPACE;
  const uint32_t retried = reclaim_eu(afs_context, eu, needed);
  return retried == AFS_STATUS_RECLAIM_NO_GAIN ? AFS_STATUS_NO_SPACE : retried;
}

uint32_t afs_physical_ftl_idle_reclaim(afs_context_t* afs_context) {
  const ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  uint32_t needed = 0;
  const uint32_t eu = choose_eu_to_reclaim(afs_context, FTL_EU_TYPE_ANY, 1, &needed, true);
  if (eu < ftl->amount_of_eus && needed == 1) return reclaim_eu(afs_context, eu, 1);
  return AFS_STATUS_OK;
}

uint32_t afs_physical_ftl_force_full_reclaim(afs_context_t* afs_context) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  uint32_t eu = ftl->full_reclaim_flow_index;
  while (eu < ftl->amount_of_eus && (ftl->eu_info[eu].euva == 0 || eu == ftl->spare_eu)) ++eu;
  if (eu >= ftl->amount_of_eus) {
    ftl->full_reclaim_flow_index = 0;
    return AFS_STATUS_OK;
  }
  const uint32_t status = reclaim_eu(afs_context, eu, 1);
  if (status != AFS_STATUS_OK && status != AFS_STATUS_RECLAIM_NO_GAIN) return status;
  if (eu + 1 == ftl->amount_of_eus) {
    ftl->full_reclaim_flow_index = 0;
    return AFS_STATUS_OK;
  }
  ftl->full_reclaim_flow_index = static_cast<uint8_t>(eu + 1);
  return AFS_STATUS_TRY_AGAIN;
}

uint32_t afs_physical_ftl_force_dirty_erase(afs_context_t* afs_context) {
  const ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  for (uint32_t e = 0; e < ftl->amount_of_eus; ++e) {
    if (ftl->eu_info[e].euva == 0 && e != ftl->spare_eu) continue;
    const uint32_t status = erase_dirty_pages_in_block_mapped_eu(afs_context, e);
    if (status != 0) return status;
  }
  return AFS_STATUS_OK;
}

uint32_t erase_dirty_pages_in_block_mapped_eu(afs_context_t* afs_context, uint32_t eu_to_clean) {
  const ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || afs_context->chunk_state == nullptr || eu_to_clean >= ftl->amount_of_eus)
    return AFS_STATUS_INVALID_ARGUMENT;
  const bool spare = eu_to_clean == ftl->spare_eu;
  const ftl_euva_t euva = ftl->eu_info[eu_to_clean].euva;
  if (!spare && euva == 0) return AFS_STATUS_INVALID_ARGUMENT;
  const uint32_t first = spare ? 0 : chunk_index_from_euva(afs_context, euva);
  if (!spare && uint64_t{first} + FTL_BLOCK_MAPPED_PAGES > ftl->chunk_count) return AFS_STATUS_IO_ERROR;

  uint8_t commit[FTL_BLOCK_MAPPED_PAGES];
  if (SpiDrvRead(eu_address(afs_context, eu_to_clean, FTL_BM_COMMIT_OFFSET), sizeof commit, commit) != 0)
    return AFS_STATUS_IO_ERROR;
  uint8_t zeros[FTL_PAGE_SIZE];
  std::memset(zeros, 0, sizeof zeros);
  for (uint32_t i = 0; i < FTL_BLOCK_MAPPED_PAGES; ++i) {
    // A programmed page of a released chunk, or anything in the spare.
    if (!spare && (commit[i] == FTL_PAGE_FREE || chunk_allocated(afs_context, first + i))) continue;
    const uint32_t at = eu_address(afs_context, eu_to_clean, page_offset(FTL_EU_TYPE_BLOCK_MAPPED, i));
    if (SpiDrvWrite(at, FTL_PAGE_SIZE, zeros) != 0) return AFS_STATUS_IO_ERROR;
  }
  return AFS_STATUS_OK;
}

}  // extern "C"
