// FTL geometry, EU lookup, page I/O with its retries, and formatting.
#include "flash/afs/AfsFtl.h"

#include <cstdlib>
#include <cstring>

#include "flash/afs/AfsFtlInternal.h"

using namespace afs_ftl_internal;

namespace {

// EUs of the partition that flash accesses may touch: none when the
// partition has more EUs than the FTL serves or would pass 2^32, so that no
// access can wrap its 32-bit flash address.
uint32_t partition_eus(const afs_context_t* ctx) {
  uint32_t eus = 0;
  return partition_eu_count(ctx, ctx->afs_partition_size, &eus) ? eus : 0;
}

// True when page `page_index` of EU `eu_index` (type eu_type) exists in the
// mounted geometry.
bool page_in_geometry(const ftl_context_t* ftl, uint32_t eu_index, uint32_t page_index,
                      uint32_t eu_type) {
  if (eu_type != FTL_EU_TYPE_PAGE_MAPPED && eu_type != FTL_EU_TYPE_BLOCK_MAPPED) return false;
  return eu_index < ftl->amount_of_eus && page_index < pages_of_type(eu_type);
}

}  // namespace

extern "C" {

uint32_t afs_physical_ftl_get_data_vas(afs_context_t* afs_context, uint32_t /*fat_first_part*/) {
  if (afs_context == nullptr) return 0;
  const uint32_t eus = afs_context->afs_partition_size / FTL_EU_SIZE;
  uint32_t pm = eus / 12;
  if (eus < pm + 1) return 0;
  if (pm == 0 && eus > 1) pm = 1;
  return (eus - pm - 1) * FTL_EU_DATA_BYTES;
}

uint32_t eu_from_chunk_index(afs_context_t* afs_context, cid_t chunk_index, uint32_t* p_eu_index) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || p_eu_index == nullptr) return AFS_STATUS_IO_ERROR;
  // The mount checked the euvas of the addressable ranges only.
  if (uint32_t{chunk_index} >= ftl->chunk_count) return AFS_STATUS_IO_ERROR;
  const uint32_t expected = afs_context->fat_size / FTL_PAGE_DATA_SIZE +
                            (uint32_t{chunk_index} / FTL_BLOCK_MAPPED_PAGES) * FTL_BLOCK_MAPPED_PAGES;
  // euva 0 marks page-mapped EUs and the spare: no chunk range has it.
  if (expected == 0 || expected > 0xFFFF) return AFS_STATUS_IO_ERROR;
  for (uint32_t eu = 0; eu < ftl->amount_of_eus; ++eu) {
    if (ftl->eu_info[eu].euva == expected) {
      *p_eu_index = eu;
      return AFS_STATUS_OK;
    }
  }
  return AFS_STATUS_IO_ERROR;
}

uint32_t find_chunk_and_eu_from_address(afs_context_t* afs_context, uint32_t address,
                                        uint32_t* p_chunk_offset_in_eu, uint32_t* p_chunk_index,
                                        uint32_t* p_eu_index) {
  if (afs_context == nullptr || address < afs_context->fat_size) return AFS_STATUS_IO_ERROR;
  const uint32_t chunk = (address - afs_context->fat_size) / FTL_PAGE_DATA_SIZE;
  if (chunk > 0xFFFF) return AFS_STATUS_IO_ERROR;
  if (p_chunk_index != nullptr) *p_chunk_index = chunk;
  if (p_chunk_offset_in_eu != nullptr) *p_chunk_offset_in_eu = chunk % FTL_BLOCK_MAPPED_PAGES;
  return eu_from_chunk_index(afs_context, static_cast<cid_t>(chunk), p_eu_index);
}

cid_t chunk_index_from_euva(afs_context_t* afs_context, ftl_euva_t euva) {
  return static_cast<cid_t>((uint32_t{euva} * FTL_PAGE_DATA_SIZE - afs_context->fat_size) /
                            FTL_PAGE_DATA_SIZE);
}

ftl_euva_t euva_from_eu_index(afs_context_t* afs_context, uint32_t eu_index) {
  const ftl_context_t* ftl = afs_context->ftl_context;
  const uint32_t pm = ftl != nullptr ? ftl->amount_of_page_mapped_eus : 0;
  return euva_for(afs_context, eu_index, pm);
}

uint32_t erase_eu(afs_context_t* afs_context, int physical_eu_num) {
  if (afs_context == nullptr || physical_eu_num < 0 ||
      static_cast<uint32_t>(physical_eu_num) >= partition_eus(afs_context))
    return AFS_STATUS_IO_ERROR;
  const uint32_t eu = static_cast<uint32_t>(physical_eu_num);
  for (uint32_t block = 0; block < FTL_BLOCKS_PER_EU; ++block) {
    if (SpiDrvEraseBlock(eu_address(afs_context, eu, block * SPI_FLASH_BLOCK_SIZE)) != 0)
      return AFS_STATUS_IO_ERROR;
  }
  return AFS_STATUS_OK;
}

uint32_t read_ftl_page(afs_context_t* afs_context, uint32_t eu_index, uint32_t page_index,
                       uint32_t eu_type, uint32_t logical_page, uint8_t* pBuffer,
                       uint32_t copy_crc) {
  const ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || pBuffer == nullptr || !page_in_geometry(ftl, eu_index, page_index, eu_type))
    return AFS_STATUS_IO_ERROR;
  const uint32_t address = eu_address(afs_context, eu_index, page_offset(eu_type, page_index));
  uint8_t page[FTL_PAGE_SIZE];
  for (uint32_t attempt = 0; attempt < FTL_READ_TRIES; ++attempt) {
    if (SpiDrvRead(address, FTL_PAGE_SIZE, page) != 0) return AFS_STATUS_IO_ERROR;
    if (page_crc_ok(page, logical_page)) {
      std::memcpy(pBuffer, page, copy_crc == 1 ? FTL_PAGE_SIZE : FTL_PAGE_DATA_SIZE);
      return AFS_STATUS_OK;
    }
  }
  return AFS_STATUS_IO_ERROR;
}

uint32_t read_ftl_data_pages(afs_context_t* afs_context, uint32_t eu_index,
                             uint32_t first_page_index, uint32_t number_of_pages,
                             uint32_t logical_page, uint8_t* pBuffer) {
  const ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || pBuffer == nullptr || number_of_pages == 0 ||
      eu_index >= ftl->amount_of_eus || first_page_index >= FTL_BLOCK_MAPPED_PAGES ||
      number_of_pages > FTL_BLOCK_MAPPED_PAGES - first_page_index)
    return AFS_STATUS_IO_ERROR;
  const uint32_t address =
      eu_address(afs_context, eu_index, page_offset(FTL_EU_TYPE_BLOCK_MAPPED, first_page_index));
  uint32_t failures = 0;
  for (;;) {
    if (SpiDrvRead(address, number_of_pages * FTL_PAGE_SIZE, pBuffer) != 0) return AFS_STATUS_IO_ERROR;
    // Check each page in order and squeeze its CRC out. Page k moves from
    // 66k to 64k, which never reaches page k + 1 at 66(k + 1).
    uint32_t k = 0;
    for (; k < number_of_pages; ++k) {
      uint8_t* page = pBuffer + k * FTL_PAGE_SIZE;
      if (!page_crc_ok(page, logical_page + k)) break;
      if (k != 0) std::memmove(pBuffer + k * FTL_PAGE_DATA_SIZE, page, FTL_PAGE_DATA_SIZE);
    }
    if (k == number_of_pages) return AFS_STATUS_OK;
    if (++failures >= FTL_READ_TRIES) return AFS_STATUS_IO_ERROR;
  }
}

uint32_t write_read_verify(afs_context_t* afs_context, uint32_t offset, uint32_t size,
                           const uint8_t* write_buf, uint8_t* read_buf) {
  if (afs_context == nullptr || write_buf == nullptr || read_buf == nullptr ||
      uint64_t{offset} + size > uint64_t{partition_eus(afs_context)} * FTL_EU_SIZE)
    return AFS_STATUS_IO_ERROR;
  const uint32_t address = afs_context->afs_partition_index + offset;
  if (SpiDrvWrite(address, size, write_buf) != 0) return AFS_STATUS_IO_ERROR;
  for (uint32_t attempt = 0; attempt < FTL_READ_TRIES; ++attempt) {
    if (SpiDrvRead(address, size, read_buf) != 0) return AFS_STATUS_IO_ERROR;
    if (std::memcmp(read_buf, write_buf, size) == 0) return AFS_STATUS_OK;
  }
  return AFS_STATUS_IO_ERROR;
}

uint32_t write_ftl_page(afs_context_t* afs_context, uint32_t eu_index, uint32_t page_index,
                        uint32_t eu_type, uint16_t pageid, const ftl_page_t* page_to_write) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr || page_to_write == nullptr ||
      !page_in_geometry(ftl, eu_index, page_index, eu_type))
    return AFS_STATUS_IO_ERROR;
  const uint32_t eu_base = eu_index * FTL_EU_SIZE;
  eu_info_t& info = ftl->eu_info[eu_index];
  uint8_t scratch[FTL_PAGE_SIZE];
  uint8_t page[FTL_PAGE_SIZE];
  std::memcpy(page, page_to_write, FTL_PAGE_SIZE);

  if (eu_type == FTL_EU_TYPE_BLOCK_MAPPED) {
    const uint32_t commit_at = eu_base + FTL_BM_COMMIT_OFFSET + page_index;
    uint8_t commit = 0;
    if (SpiDrvRead(afs_context->afs_partition_index + commit_at, 1, &commit) != 0)
      return AFS_STATUS_IO_ERROR;
    if (commit != FTL_PAGE_FREE) return AFS_STATUS_IO_ERROR;  // programmed since the last erase
    const uint8_t programming = FTL_PAGE_PROGRAMMING;
    if (write_read_verify(afs_context, commit_at, 1, &programming, scratch) != 0)
      return AFS_STATUS_IO_ERROR;
    if (info.non_committed_pages != 0) --info.non_committed_pages;
    if (write_read_verify(afs_context, eu_base + page_offset(eu_type, page_index), FTL_PAGE_SIZE,
                          page, scratch) != 0)
      return AFS_STATUS_IO_ERROR;
    const uint8_t committed = FTL_PAGE_COMMITTED;
    return write_read_verify(afs_context, commit_at, 1, &committed, scratch) != 0
               ? AFS_STATUS_IO_ERROR
               : AFS_STATUS_OK;
  }

  // Page-mapped: slot, page, then the commit mark in the next slot's high byte.
  info.non_committed_pages = 0;
  const PageIdBytes slot(pageid);
  const uint32_t slot_at = eu_base + FTL_PM_SLOTS_OFFSET + 2 * page_index;
  if (write_read_verify(afs_context, slot_at, 2, slot.b, scratch) != 0) return AFS_STATUS_IO_ERROR;
  if (write_read_verify(afs_context, eu_base + page_offset(eu_type, page_index), FTL_PAGE_SIZE, page,
                        scratch) != 0)
    return AFS_STATUS_IO_ERROR;
  return write_commit_mark(afs_context, eu_index, page_index + 1);
}

uint32_t afs_physical_ftl_format(afs_context_t* afs_context, uint8_t erase_and_format) {
  if (afs_context == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  Geometry g;
  if (compute_geometry(afs_context, afs_context->afs_partition_size, &g) != 0)
    return AFS_STATUS_INVALID_ARGUMENT;
  for (uint32_t i = 0; i < g.eus; ++i) {
    if (erase_and_format != 0 && erase_eu(afs_context, static_cast<int>(i)) != 0)
      return AFS_STATUS_IO_ERROR;
    const bool block_mapped = i >= g.page_mapped_eus && i + 1 < g.eus;
    ftl_eu_pre_header_t h = new_pre_header(i + 1, 1, static_cast<ftl_euspare_t>(i + 1),
                                           block_mapped ? euva_for(afs_context, i, g.page_mapped_eus) : 0);
    if (i + 1 == g.eus) h.eusig = FTL_EUSIG_KILLED;  // the spare; its CRC stays that of a valid header
    if (write_pre_header(afs_context, i, h) != 0 || commit_pre_header(afs_context, i) != 0)
      return AFS_STATUS_IO_ERROR;
  }
  return AFS_STATUS_OK;
}

void afs_physical_ftl_release(afs_context_t* afs_context) {
  if (afs_context == nullptr || afs_context->ftl_context == nullptr) return;
  std::free(afs_context->ftl_context->eu_info);
  std::free(afs_context->ftl_context->page_info);
  std::free(afs_context->ftl_context);
  afs_context->ftl_context = nullptr;
}

uint32_t ftl_prepare_header_switch(afs_context_t* afs_context, uint32_t new_eu) {
  ftl_context_t* ftl = mounted_ftl(afs_context);
  if (ftl == nullptr) return AFS_STATUS_INVALID_ARGUMENT;
  if (new_eu >= ftl->amount_of_eus) return AFS_STATUS_IO_ERROR;
  if (header_counters_exhausted(ftl, new_eu)) return AFS_STATUS_IO_ERROR;
  if (ftl->accepted_pending_eu != FTL_NO_EU) {
    if (commit_pre_header(afs_context, ftl->accepted_pending_eu) != 0) return AFS_STATUS_IO_ERROR;
    ftl->accepted_pending_eu = FTL_NO_EU;
  }
  return AFS_STATUS_OK;
}

}  // extern "C"
