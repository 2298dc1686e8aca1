// FTL mount: rebuilds the RAM state from the flash alone, settles the traces
// of an interrupted reclaim, and takes over the file layer's allocation map.
// The mount only reads the flash; an interrupted reclaim is resolved in RAM,
// the same way at every mount, until the next header switch commits it.
#include "flash/afs/AfsFtl.h"

#include <cstdlib>
#include <cstring>

#include "flash/afs/AfsFtlInternal.h"

using namespace afs_ftl_internal;

namespace {

bool crc_matches_as(const ftl_eu_pre_header_t& h, ftl_eusig_t sig) {
  return header_crc_as(h, sig) == h.eucrc;
}

// A valid header has nonzero counters and a CRC accepted for its signature.
bool header_valid(const ftl_eu_pre_header_t& h) {
  if (h.eumc == 0 || h.euec == 0) return false;
  switch (h.eusig) {
    case FTL_EUSIG_VALID:
      return crc_matches_as(h, FTL_EUSIG_VALID);
    case FTL_EUSIG_ALT_STORED:
      return crc_matches_as(h, FTL_EUSIG_ALT_STORED) || crc_matches_as(h, FTL_EUSIG_VALID);
    case FTL_EUSIG_ALT_VALID:
      return crc_matches_as(h, FTL_EUSIG_VALID);
    default:
      return false;
  }
}

// The erase count of an invalid EU is kept only for a killed header whose CRC
// still matches that of a valid header.
bool erase_count_trusted(const ftl_eu_pre_header_t& h) {
  return h.eusig == FTL_EUSIG_KILLED &&
         (crc_matches_as(h, FTL_EUSIG_VALID) || crc_matches_as(h, FTL_EUSIG_ALT_STORED));
}

// True when `euva` names a whole chunk range of the volume:
// fat_size/64 + 122k with (k + 1) * 122 <= chunk count.
bool euva_names_range(const Geometry& g, ftl_euva_t euva) {
  if (euva < g.fat_pages) return false;
  const uint32_t offset = euva - g.fat_pages;
  if (offset % FTL_BLOCK_MAPPED_PAGES != 0) return false;
  return uint64_t{offset} + FTL_BLOCK_MAPPED_PAGES <= g.chunk_count;
}

// True when block-mapped EU `eu` may hold `euva`: with an addressable chunk
// (see check_block_mapped_eus) the euva names a chunk range of the volume,
// and no EU other than `eu` holds the same euva.
bool euva_acceptable(const ftl_context_t* ftl, const Geometry& g, uint32_t eu, ftl_euva_t euva) {
  if (g.chunk_count != 0 && !euva_names_range(g, euva)) return false;
  for (uint32_t j = 0; j < g.eus; ++j)
    if (j != eu && ftl->eu_info[j].euva == euva) return false;
  return true;
}

// True when slot `next` can take a page id and every later slot is erased:
// the part of a page-mapped EU that FAT writes fill from page `next` on.
// Slot `next` may be the end marker that the id replaces.
bool slots_free_from(const uint16_t* slot, uint32_t next) {
  if (next >= FTL_PAGE_MAPPED_SLOTS) return true;
  if (slot[next] != FTL_SLOT_ERASED && slot[next] != FTL_SLOT_END_MARKER) return false;
  for (uint32_t i = next + 1; i < FTL_PAGE_MAPPED_SLOTS; ++i)
    if (slot[i] != FTL_SLOT_ERASED) return false;
  return true;
}

// Reads the page-id slots of page-mapped EU `eu`. 0 or 5.
uint32_t read_slots(afs_context_t* ctx, uint32_t eu, uint16_t* slot) {
  uint8_t raw[FTL_PM_SLOTS_BYTES];
  if (SpiDrvRead(eu_address(ctx, eu, FTL_PM_SLOTS_OFFSET), FTL_PM_SLOTS_BYTES, raw) != 0)
    return AFS_STATUS_IO_ERROR;
  for (uint32_t i = 0; i < FTL_PAGE_MAPPED_SLOTS; ++i) slot[i] = load_u16(raw + 2 * i);
  return AFS_STATUS_OK;
}

// A page-mapped EU whose first slot is erased: empty when every slot is. An
// EU with programmed slots behind an erased first one (no device writes
// that) holds no page but is never given to the FAT write head, where the
// commit marks would land on those slots and the next mount would decode
// them as pages; a reclaim erases it. 0 or 5.
uint32_t settle_unwritten_page_mapped(afs_context_t* ctx, uint32_t eu) {
  uint16_t slot[FTL_PAGE_MAPPED_SLOTS];
  if (read_slots(ctx, eu, slot) != 0) return AFS_STATUS_IO_ERROR;
  eu_info_t& info = ctx->ftl_context->eu_info[eu];
  info.dirty_pages = FTL_PAGE_MAPPED_PAGES;
  info.non_committed_pages = slots_free_from(slot, 0) ? 1 : 0;
  return AFS_STATUS_OK;
}

// Maps the committed FAT pages of page-mapped EU `eu_index` and counts its
// dirty pages. With in_last_eu 1 the EU is (so far) the current page-mapped
// EU: next_page_in_current_eu is placed after its last committed page, or two
// pages after a page whose slot was written but that was never committed.
uint32_t ftl_process_pages(afs_context_t* afs_context, uint32_t eu_index, uint32_t in_last_eu,
                           const Geometry& g) {
  ftl_context_t* ftl = afs_context->ftl_context;
  ftl->last_logical_pageid = 0;  // the chain starts afresh in every EU
  // An EU whose pages are all committed without an end marker is full.
  if (in_last_eu == 1) ftl->next_page_in_current_eu = FTL_PAGE_MAPPED_PAGES;

  uint16_t slot[FTL_PAGE_MAPPED_SLOTS];
  if (read_slots(afs_context, eu_index, slot) != 0) return AFS_STATUS_IO_ERROR;

  eu_info_t& info = ftl->eu_info[eu_index];
  bool skip = false;
  for (uint32_t j = 0; j < FTL_PAGE_MAPPED_PAGES; ++j) {
    if (skip) {
      // The page after a written but uncommitted page is not used either.
      skip = false;
      ++info.dirty_pages;
      if (in_last_eu == 1) ftl->next_page_in_current_eu = j + 1;
      continue;
    }
    if ((slot[j + 1] & FTL_SLOT_UNCOMMITTED_BIT) != 0) {
      ++info.dirty_pages;
      if (slot[j] == FTL_SLOT_ERASED) continue;  // never written
      skip = true;
      if (in_last_eu == 1) ftl->next_page_in_current_eu = j + 1;
      continue;
    }
    const uint16_t id = static_cast<uint16_t>(slot[j] ^ chain_key(ftl->last_logical_pageid));
    ftl->last_logical_pageid = id;
    if (id >= g.fat_pages) return AFS_STATUS_IO_ERROR;
    ftl_physical_page_info_t& where = ftl->page_info[id];
    if (where.page_num == FTL_PAGE_UNMAPPED) {
      where.eu = static_cast<ftl_physical_page_info_eu_t>(eu_index);
      where.page_num = static_cast<ftl_physical_page_info_page_num_t>(j);
    } else if (ftl->eu_info[where.eu].eumc > info.eumc) {
      ++info.dirty_pages;  // a newer EU holds this page
    } else {
      ++ftl->eu_info[where.eu].dirty_pages;
      where.eu = static_cast<ftl_physical_page_info_eu_t>(eu_index);
      where.page_num = static_cast<ftl_physical_page_info_page_num_t>(j);
    }
    if (slot[j + 1] == FTL_SLOT_END_MARKER) {
      if (in_last_eu == 1) ftl->next_page_in_current_eu = j + 1;
      info.dirty_pages = static_cast<ftl_dirty_page_t>(info.dirty_pages + (FTL_PAGE_MAPPED_PAGES - 1 - j));
      break;
    }
  }
  // FAT writes continue at the head only over erased slots (a device leaves
  // nothing programmed behind its head); otherwise the EU counts as full and
  // the next FAT write moves the head.
  if (in_last_eu == 1 && !slots_free_from(slot, ftl->next_page_in_current_eu))
    ftl->next_page_in_current_eu = FTL_PAGE_MAPPED_PAGES;
  return AFS_STATUS_OK;
}

// Allocates the FTL state and its tables (releasing any attached state first).
uint32_t allocate_state(afs_context_t* ctx, const Geometry& g) {
  afs_physical_ftl_release(ctx);
  ftl_context_t* ftl = static_cast<ftl_context_t*>(std::calloc(1, sizeof(ftl_context_t)));
  if (ftl == nullptr) return AFS_STATUS_NO_MEMORY;
  ftl->accepted_pending_eu = FTL_NO_EU;
  ctx->ftl_context = ftl;
  const uint32_t eu_entries = g.eus != 0 ? g.eus : 1;
  const uint32_t page_entries = g.fat_pages != 0 ? g.fat_pages : 1;
  ftl->eu_info = static_cast<eu_info_t*>(std::calloc(eu_entries, sizeof(eu_info_t)));
  ftl->page_info = static_cast<ftl_physical_page_info_t*>(
      std::calloc(page_entries, sizeof(ftl_physical_page_info_t)));
  ftl->eu_info_entries = ftl->eu_info != nullptr ? eu_entries : 0;
  ftl->page_info_entries = ftl->page_info != nullptr ? page_entries : 0;
  if (ftl->eu_info == nullptr || ftl->page_info == nullptr) return AFS_STATUS_NO_MEMORY;
  return AFS_STATUS_OK;
}

void reset_state(ftl_context_t* ftl, const Geometry& g) {
  std::memset(ftl->page_info, FTL_PAGE_UNMAPPED, size_t{g.fat_pages} * sizeof(ftl_physical_page_info_t));
  std::memset(ftl->eu_info, 0, size_t{g.eus} * sizeof(eu_info_t));
  ftl->last_eumc = g.eus - 1;
  ftl->current_page_mapped_eu = FTL_NO_EU;
  ftl->next_page_in_current_eu = 0;
  ftl->alloc_marker = 0;
  ftl->alloc_threshold = 0;
  ftl->spare_eu = FTL_NO_SPARE;
  ftl->last_logical_pageid = 0;
  ftl->alloc_marker_read = 0;
  ftl->alloc_eu_flushed = 0;
  ftl->full_reclaim_flow_index = 0;
  ftl->amount_of_eus = static_cast<uint8_t>(g.eus);
  ftl->amount_of_page_mapped_eus = static_cast<uint8_t>(g.page_mapped_eus);
  ftl->accepted_pending_eu = FTL_NO_EU;
  ftl->chunk_count = g.chunk_count;
}

// Checks the block-mapped EUs that hold data: when the volume has an
// addressable chunk, each euva must name a chunk range of the volume; in any
// case no range may be held by two EUs. `skip` (a pending EU) is left out.
uint32_t check_block_mapped_eus(const ftl_context_t* ftl, const Geometry& g, uint32_t skip) {
  // One bit per euva value marks the ranges already held, so that the whole
  // set is checked in one pass over the EUs.
  constexpr uint32_t kWordBits = 64;
  uint64_t held[(uint32_t{UINT16_MAX} + 1) / kWordBits] = {};
  for (uint32_t i = 0; i < g.eus; ++i) {
    const ftl_euva_t euva = ftl->eu_info[i].euva;
    if (euva == 0 || i == skip) continue;
    // With no addressable chunk (no data region, as under the provisional
    // geometry that reads the volume header, or an empty chunk bitmap) the
    // block-mapped EUs are only counted: every chunk lookup is refused.
    if (g.chunk_count != 0 && !euva_names_range(g, euva)) return AFS_STATUS_IO_ERROR;
    uint64_t& word = held[euva / kWordBits];
    const uint64_t bit = uint64_t{1} << (euva % kWordBits);
    if ((word & bit) != 0) return AFS_STATUS_IO_ERROR;
    word |= bit;
  }
  return AFS_STATUS_OK;
}

}  // namespace

extern "C" uint32_t afs_physical_ftl_init(afs_context_t* afs_context, uint32_t ftl_size,
                                          uint32_t flags) {
  if (afs_context == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  // Bind before anything can fail, so that a failed mount never leaves the
  // flash bound to an earlier image that a later format would write to.
  if ((flags & FTL_INIT_BIND_IMAGE) != 0) SpiFlashDrvInitialize(afs_context->afs_tools_context);
  Geometry g;
  const uint32_t geometry_status = compute_geometry(afs_context, ftl_size, &g);
  if (geometry_status != 0) return geometry_status;

  if ((flags & FTL_INIT_ALLOCATE) != 0) {
    const uint32_t status = allocate_state(afs_context, g);
    if (status != 0) return status;
  } else {
    const ftl_context_t* attached = afs_context->ftl_context;
    if (attached == nullptr || attached->eu_info == nullptr || attached->page_info == nullptr ||
        attached->eu_info_entries < g.eus || attached->page_info_entries < g.fat_pages)
      return AFS_STATUS_INVALID_ARGUMENT;
  }
  ftl_context_t* ftl = afs_context->ftl_context;
  reset_state(ftl, g);

  uint32_t pending_eu = FTL_NO_EU;
  ftl_eu_pre_header_with_first_page_t pending{};
  uint32_t invalid_eu = FTL_NO_EU;
  bool spare_erase_count_lost = false;
  uint32_t newest_spare = FTL_NO_EU;
  uint16_t chain_seed = 0;

  for (uint32_t i = 0; i < g.eus; ++i) {
    ftl_eu_pre_header_with_first_page_t raw;
    if (SpiDrvRead(eu_address(afs_context, i, 0), sizeof raw, &raw) != 0) return AFS_STATUS_IO_ERROR;
    const ftl_eu_pre_header_t& h = raw.eu_pre_header;
    eu_info_t& info = ftl->eu_info[i];
    info.eumc = h.eumc;
    info.euec = h.euec;

    if (!header_valid(h)) {
      if (invalid_eu != FTL_NO_EU) return AFS_STATUS_IO_ERROR;  // a second invalid EU
      invalid_eu = i;
      ftl->spare_eu = static_cast<uint16_t>(i);
      spare_erase_count_lost = !erase_count_trusted(h);
      continue;
    }
    info.euva = h.euva;
    if (h.eucommit == FTL_EU_PENDING) {
      if (pending_eu != FTL_NO_EU) return AFS_STATUS_IO_ERROR;  // a second pending EU
      pending_eu = i;
      pending = raw;
      continue;
    }
    if (h.eumc >= ftl->last_eumc) {
      ftl->last_eumc = h.eumc;
      newest_spare = h.euspare;
    }
    if (h.euva != 0) continue;  // block-mapped: settled at the hand-over
    if (raw.first_page_header == FTL_SLOT_ERASED) {
      if (settle_unwritten_page_mapped(afs_context, i) != 0) return AFS_STATUS_IO_ERROR;
      continue;
    }
    if (ftl->current_page_mapped_eu == FTL_NO_EU) ftl->current_page_mapped_eu = i;
    uint32_t status;
    if (h.eumc >= ftl->eu_info[ftl->current_page_mapped_eu].eumc) {
      ftl->current_page_mapped_eu = i;
      status = ftl_process_pages(afs_context, i, 1, g);
      chain_seed = ftl->last_logical_pageid;
    } else {
      status = ftl_process_pages(afs_context, i, 0, g);
    }
    if (status != 0) return status;
  }
  ftl->last_logical_pageid = chain_seed;

  if (check_block_mapped_eus(ftl, g, pending_eu) != 0) return AFS_STATUS_IO_ERROR;

  // Settle the spare.
  if (pending_eu != FTL_NO_EU && invalid_eu != FTL_NO_EU) {
    // The reclaim killed its old EU; only the commit of the new one is
    // missing. The pending EU holds the data.
    const ftl_eu_pre_header_t& h = pending.eu_pre_header;
    if (h.euspare != invalid_eu) return AFS_STATUS_IO_ERROR;
    if (h.euva != 0 && !euva_acceptable(ftl, g, pending_eu, h.euva))
      return AFS_STATUS_IO_ERROR;
    // A reclaim gives its new header the next counter, so the pending EU is
    // the newest of all. One that is not would take the FAT write head
    // below an EU whose copies win at the next mount.
    if (h.eumc <= ftl->last_eumc) return AFS_STATUS_IO_ERROR;
    ftl->last_eumc = h.eumc;
    ftl->accepted_pending_eu = pending_eu;
    if (h.euva == 0) {
      if (pending.first_page_header == FTL_SLOT_ERASED) {
        if (settle_unwritten_page_mapped(afs_context, pending_eu) != 0) return AFS_STATUS_IO_ERROR;
      } else {
        // It becomes the current page-mapped EU; the chain seed is its own.
        ftl->current_page_mapped_eu = pending_eu;
        const uint32_t status = ftl_process_pages(afs_context, pending_eu, 1, g);
        if (status != 0) return status;
      }
    }
  } else if (pending_eu != FTL_NO_EU) {
    // The reclaim was cut before its old EU was killed: the old EU keeps the
    // data and the pending EU is the spare again.
    ftl->eu_info[pending_eu].euva = 0;
    ftl->spare_eu = static_cast<uint16_t>(pending_eu);
  } else if (invalid_eu == FTL_NO_EU || invalid_eu != newest_spare) {
    return AFS_STATUS_IO_ERROR;
  }

  if (ftl->current_page_mapped_eu == FTL_NO_EU) {
    // No page-mapped EU holds a page: start with the oldest one. The spare
    // is never chosen, since the next reclaim erases it.
    for (uint32_t i = 0; i < g.eus; ++i) {
      if (ftl->eu_info[i].euva != 0 || i == ftl->spare_eu || ftl->eu_info[i].non_committed_pages == 0)
        continue;
      if (ftl->current_page_mapped_eu == FTL_NO_EU ||
          ftl->eu_info[i].eumc < ftl->eu_info[ftl->current_page_mapped_eu].eumc)
        ftl->current_page_mapped_eu = i;
    }
    if (ftl->current_page_mapped_eu == FTL_NO_EU) return AFS_STATUS_IO_ERROR;  // nowhere for FAT pages
  }

  if (spare_erase_count_lost && g.eus > 1) {
    uint64_t sum = 0;
    for (uint32_t i = 0; i < g.eus; ++i)
      if (i != ftl->spare_eu) sum += ftl->eu_info[i].euec;
    ftl->eu_info[ftl->spare_eu].euec = static_cast<uint32_t>(sum / (g.eus - 1));
  }
  return AFS_STATUS_OK;
}

extern "C" uint32_t afs_physical_ftl_set_allocation_map(afs_context_t* afs_context) {
  if (afs_context == nullptr || afs_context->ftl_context == nullptr ||
      afs_context->ftl_context->eu_info == nullptr || afs_context->chunk_state == nullptr)
    return AFS_STATUS_INVALID_ARGUMENT;
  ftl_context_t* ftl = afs_context->ftl_context;
  // The bound is the mount's: the euvas it accepted name ranges below its
  // chunk count, which it kept within the chunk bitmap.
  Geometry g;
  g.eus = ftl->amount_of_eus;
  g.page_mapped_eus = ftl->amount_of_page_mapped_eus;
  g.fat_pages = afs_context->fat_size / FTL_PAGE_DATA_SIZE;
  g.chunk_count = ftl->chunk_count;

  ftl->alloc_eu_flushed = 0;
  ftl->alloc_marker = FTL_NO_ALLOC_MARKER;
  uint32_t best_eumc = 0;
  for (uint32_t i = 0; i < ftl->amount_of_eus; ++i) {
    eu_info_t& info = ftl->eu_info[i];
    if (info.euva == 0) continue;
    // Every chunk of the range must have its bit in the chunk bitmap.
    if (!euva_names_range(g, info.euva)) return AFS_STATUS_IO_ERROR;
    const uint32_t first = chunk_index_from_euva(afs_context, info.euva);
    info.dirty_pages = FTL_BLOCK_MAPPED_PAGES;
    info.non_committed_pages = 0;
    uint8_t commit[FTL_BLOCK_MAPPED_PAGES];
    if (SpiDrvRead(eu_address(afs_context, i, FTL_BM_COMMIT_OFFSET), sizeof commit, commit) != 0)
      return AFS_STATUS_IO_ERROR;
    uint32_t first_free = FTL_NO_ALLOC_MARKER;
    for (uint32_t j = 0; j < FTL_BLOCK_MAPPED_PAGES; ++j) {
      const uint32_t chunk = first + j;
      if (chunk_allocated(afs_context, chunk)) {
        if (commit[j] != FTL_PAGE_COMMITTED) return AFS_STATUS_IO_ERROR;
        --info.dirty_pages;
      } else if (commit[j] == FTL_PAGE_FREE) {
        ++info.non_committed_pages;
        if (info.eumc > best_eumc && first_free == FTL_NO_ALLOC_MARKER) first_free = j;
      }
    }
    if (info.non_committed_pages != 0 && info.eumc > best_eumc) {
      best_eumc = info.eumc;
      ftl->alloc_marker = first + first_free;
      ftl->alloc_threshold = first + FTL_BLOCK_MAPPED_PAGES;
    }
  }
  ftl->alloc_marker_read = 1;
  return AFS_STATUS_OK;
}
