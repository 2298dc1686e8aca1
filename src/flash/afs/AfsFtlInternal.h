// Helpers private to the FTL's translation units (AfsFtl.cpp, AfsFtlMount.cpp
// and the FTL parts built on them). Everything here is file-local in each
// unit that includes it.
#ifndef TARN_FLASH_AFS_AFSFTLINTERNAL_H
#define TARN_FLASH_AFS_AFSFTLINTERNAL_H

#include <cstdint>

#include "flash/afs/AfsFtl.h"

namespace afs_ftl_internal {
namespace {

// Largest number of FAT pages: their ids must stay below 0x8000 so that a
// written page-id slot never has bit 15 set.
constexpr uint32_t kMaxFatPages = 0x8000;

// Geometry of a volume on a partition, checked so that every EU offset,
// every EU number and every chunk range derived from it stays in range.
struct Geometry {
  uint32_t eus = 0;               // EUs of the partition (at most 255)
  uint32_t page_mapped_eus = 0;   // pm
  uint32_t fat_pages = 0;         // fat_size / 64
  uint32_t chunk_count = 0;       // chunks the volume can address (0: no data region)
};

// EUs of a partition of `partition_size` bytes at ctx->afs_partition_index.
// False (and *eus untouched) for more than 255 EUs or a partition that would
// end past the 32-bit address space, where an EU address would wrap.
inline bool partition_eu_count(const afs_context_t* ctx, uint32_t partition_size, uint32_t* eus) {
  const uint32_t count = partition_size / FTL_EU_SIZE;
  if (count > FTL_MAX_EUS) return false;
  if (uint64_t{ctx->afs_partition_index} + uint64_t{count} * FTL_EU_SIZE > (uint64_t{1} << 32))
    return false;
  *eus = count;
  return true;
}

// Computes the geometry of `afs_context` on a partition of `partition_size`
// bytes. Returns 0; 22 for more than 255 EUs, a partition that would end past
// the 32-bit address space, a FAT too large for 15-bit page ids or a data
// region not aligned to pages; 5 when the volume's data area does not fit the
// partition (the volume's sizes come from its header).
inline uint32_t compute_geometry(const afs_context_t* ctx, uint32_t partition_size, Geometry* g) {
  uint32_t eus = 0;
  if (!partition_eu_count(ctx, partition_size, &eus)) return AFS_STATUS_INVALID_ARGUMENT;
  const uint32_t fat_pages = ctx->fat_size / FTL_PAGE_DATA_SIZE;
  if (fat_pages > kMaxFatPages) return AFS_STATUS_INVALID_ARGUMENT;
  if (ctx->afs_logical_size < ctx->fat_size) return AFS_STATUS_IO_ERROR;
  const uint32_t data_bytes = ctx->afs_logical_size - ctx->fat_size;
  if (data_bytes != 0 && ctx->fat_size % FTL_PAGE_DATA_SIZE != 0) return AFS_STATUS_INVALID_ARGUMENT;
  const uint64_t data_eus = data_bytes / FTL_EU_DATA_BYTES;
  if (data_eus + 1 > eus) return AFS_STATUS_IO_ERROR;
  g->eus = eus;
  g->page_mapped_eus = static_cast<uint32_t>(eus - data_eus - 1);
  g->fat_pages = fat_pages;
  // Chunks must be addressable by the FTL and have a bit in the chunk bitmap
  // that the file layer sizes by num_chunks.
  uint32_t chunks = data_bytes / FTL_PAGE_DATA_SIZE;
  if (chunks > ctx->num_chunks) chunks = ctx->num_chunks;
  g->chunk_count = chunks;
  return AFS_STATUS_OK;
}

// Image address of byte `offset` of EU `eu` (both inside the checked geometry).
inline uint32_t eu_address(const afs_context_t* ctx, uint32_t eu, uint32_t offset) {
  return ctx->afs_partition_index + eu * FTL_EU_SIZE + offset;
}

// Offset within an EU of page `page_index` of an EU of type `eu_type`.
inline uint32_t page_offset(uint32_t eu_type, uint32_t page_index) {
  const uint32_t base = eu_type == FTL_EU_TYPE_PAGE_MAPPED ? FTL_PM_PAGES_OFFSET : FTL_BM_PAGES_OFFSET;
  return base + FTL_PAGE_SIZE * page_index;
}

inline uint32_t pages_of_type(uint32_t eu_type) {
  return eu_type == FTL_EU_TYPE_PAGE_MAPPED ? FTL_PAGE_MAPPED_PAGES : FTL_BLOCK_MAPPED_PAGES;
}

// euva of block-mapped EU `eu` when the first `pm` EUs are page-mapped and
// the chunk ranges follow in EU order (the order a format lays them out).
inline ftl_euva_t euva_for(const afs_context_t* ctx, uint32_t eu, uint32_t pm) {
  return static_cast<ftl_euva_t>(((eu - pm) * FTL_EU_DATA_BYTES + ctx->fat_size) / FTL_PAGE_DATA_SIZE);
}

// crc8 of the first 16 bytes of header `h` with `sig` in the signature's place.
inline uint8_t header_crc_as(const ftl_eu_pre_header_t& h, ftl_eusig_t sig) {
  ftl_eu_pre_header_t copy = h;
  copy.eusig = sig;
  return crc8(reinterpret_cast<const uint8_t*>(&copy), FTL_EU_HEADER_CRC_BYTES);
}

// A pre-header as this library writes it (format, reclaim): the valid
// signature, the CRC over bytes 0-15, eucommit pending.
inline ftl_eu_pre_header_t new_pre_header(ftl_eumc_t eumc, ftl_euec_t euec, ftl_euspare_t euspare,
                                          ftl_euva_t euva) {
  ftl_eu_pre_header_t h;
  h.eusig = FTL_EUSIG_VALID;
  h.eumc = eumc;
  h.euec = euec;
  h.euspare = euspare;
  h.euva = euva;
  h.eucrc = header_crc_as(h, FTL_EUSIG_VALID);
  h.eucommit = FTL_EU_PENDING;
  return h;
}

// Writes bytes 0-16 of `h` into EU `eu`, verified; eucommit is left as it is
// (erased: the header is pending). 0 or 5.
inline uint32_t write_pre_header(afs_context_t* ctx, uint32_t eu, const ftl_eu_pre_header_t& h) {
  uint8_t scratch[FTL_EU_EUCOMMIT_OFFSET];
  return write_read_verify(ctx, eu * FTL_EU_SIZE, FTL_EU_EUCOMMIT_OFFSET,
                           reinterpret_cast<const uint8_t*>(&h), scratch);
}

// Commits EU `eu`'s header: 0x00 into its eucommit, verified. 0 or 5.
inline uint32_t commit_pre_header(afs_context_t* ctx, uint32_t eu) {
  const uint8_t commit = FTL_EU_COMMITTED;
  uint8_t scratch = 0;
  return write_read_verify(ctx, eu * FTL_EU_SIZE + FTL_EU_EUCOMMIT_OFFSET, 1, &commit, &scratch);
}

// Commits page `slot` - 1 of page-mapped EU `eu`: 0x7F into the high byte of
// page-id slot `slot`, verified. 0 or 5.
inline uint32_t write_commit_mark(afs_context_t* ctx, uint32_t eu, uint32_t slot) {
  const uint8_t mark = FTL_SLOT_COMMIT_MARK;
  uint8_t scratch = 0;
  const uint32_t at = eu * FTL_EU_SIZE + FTL_PM_SLOTS_OFFSET +
                      slot * sizeof(ftl_page_mapped_eu_page_header_t) + 1;
  return write_read_verify(ctx, at, 1, &mark, &scratch);
}

// The two bytes of a logical page id in flash order (little-endian).
struct PageIdBytes {
  uint8_t b[2];
  explicit PageIdBytes(uint32_t id)
      : b{static_cast<uint8_t>(id & 0xFF), static_cast<uint8_t>((id >> 8) & 0xFF)} {}
};

// crc14 over a logical page id: the key that chains page-id slots.
inline uint16_t chain_key(uint16_t previous_id) {
  const PageIdBytes bytes(previous_id);
  return crc14(bytes.b, 2);
}

inline uint16_t load_u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// True when a stored 66-byte page carries the CRC of its data under
// `logical_page` (its low 16 bits).
inline bool page_crc_ok(const uint8_t* page, uint32_t logical_page) {
  const PageIdBytes id(logical_page);
  const uint16_t stored = load_u16(page + FTL_PAGE_DATA_SIZE);
  return crc16(page, FTL_PAGE_DATA_SIZE, id.b) == stored;
}

// The FTL state of a context whose FTL is mounted, or null.
inline ftl_context_t* mounted_ftl(afs_context_t* ctx) {
  if (ctx == nullptr || ctx->ftl_context == nullptr || ctx->ftl_context->eu_info == nullptr)
    return nullptr;
  return ctx->ftl_context;
}

// Bit `chunk` of the chunk bitmap (word chunk / 32, bit chunk % 32). Callers
// keep `chunk` below the mount's chunk count, which the bitmap covers.
inline bool chunk_allocated(const afs_context_t* ctx, uint32_t chunk) {
  return ((ctx->chunk_state[chunk / 32] >> (chunk % 32)) & 1u) != 0;
}
inline void mark_chunk(afs_context_t* ctx, uint32_t chunk, bool allocated) {
  const uint32_t bit = 1u << (chunk % 32);
  if (allocated)
    ctx->chunk_state[chunk / 32] |= bit;
  else
    ctx->chunk_state[chunk / 32] &= ~bit;
}

// True when a header switch into `new_eu` would wrap a counter of the new
// header to 0 (last_eumc + 1, or new_eu's erase count + 1), which would make
// the header invalid.
inline bool header_counters_exhausted(const ftl_context_t* ftl, uint32_t new_eu) {
  return ftl->last_eumc == UINT32_MAX || ftl->eu_info[new_eu].euec == UINT32_MAX;
}

// True when FAT pages written into the empty page-mapped EU `eu` would win
// over every other copy of them at the next mount, where the copy in the EU
// with the larger mapping counter wins: `eu`'s counter is above that of every
// other page-mapped EU that holds pages on flash (the spare's are ignored by
// the mount). A device keeps this order by itself (the FAT write head moves
// to empty EUs in counter order and every new header takes the next
// counter), but a mount accepts images without it.
inline bool fat_copies_would_win(const ftl_context_t* ftl, uint32_t eu) {
  for (uint32_t e = 0; e < ftl->amount_of_eus; ++e) {
    const eu_info_t& info = ftl->eu_info[e];
    if (e == eu || e == ftl->spare_eu || info.euva != 0 || info.non_committed_pages != 0) continue;
    if (info.eumc >= ftl->eu_info[eu].eumc) return false;
  }
  return true;
}

// FAT pages that page_info describes: fat_size / 64, within the table.
inline uint32_t fat_page_count(const afs_context_t* ctx, const ftl_context_t* ftl) {
  const uint32_t pages = ctx->fat_size / FTL_PAGE_DATA_SIZE;
  return pages < ftl->page_info_entries ? pages : ftl->page_info_entries;
}

// Dirty-page counters saturate instead of wrapping, so that a counter never
// makes a full EU look like the dirtiest one.
inline void add_dirty(eu_info_t& info, uint32_t pages = 1) {
  const uint32_t sum = info.dirty_pages + pages;
  info.dirty_pages = static_cast<ftl_dirty_page_t>(sum > 0xFF ? 0xFF : sum);
}
inline void drop_dirty(eu_info_t& info, uint32_t pages = 1) {
  info.dirty_pages = static_cast<ftl_dirty_page_t>(info.dirty_pages > pages ? info.dirty_pages - pages : 0);
}

}  // namespace
}  // namespace afs_ftl_internal

#endif  // TARN_FLASH_AFS_AFSFTLINTERNAL_H
