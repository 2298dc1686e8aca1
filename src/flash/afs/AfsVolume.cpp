// Mount of an AFS volume, its cache setting and the release of a context's
// tables; the one handler table through which the volume reaches the FTL.
#include "flash/afs/AfsVolume.h"

#include <cstdlib>
#include <cstring>

#include "flash/afs/AfsCache.h"
#include "flash/afs/AfsFtl.h"
#include "flash/afs/AfsVolumeInternal.h"

using namespace afs_volume_internal;

namespace {

// The handler table passes the context untyped.
uint32_t handler_read(void* ctx, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t flags) {
  return afs_physical_ftl_read_page(static_cast<afs_context_t*>(ctx), address, length, buffer, flags);
}
uint32_t handler_write(void* ctx, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t flags) {
  return afs_physical_ftl_write_page(static_cast<afs_context_t*>(ctx), address, length, buffer, flags);
}
uint32_t handler_trim(void* ctx, uint32_t address, uint32_t length, uint32_t flags) {
  return afs_physical_ftl_trim_page(static_cast<afs_context_t*>(ctx), address, length, flags);
}
uint32_t handler_force_full_reclaim(void* ctx) {
  return afs_physical_ftl_force_full_reclaim(static_cast<afs_context_t*>(ctx));
}
uint32_t handler_force_dirty_erase(void* ctx) {
  return afs_physical_ftl_force_dirty_erase(static_cast<afs_context_t*>(ctx));
}

bool cache_arguments_ok(uint32_t page_size, uint32_t cache_entries) {
  return page_size == AFS_PAGE_SIZE && cache_entries >= AFS_MIN_CACHE_ENTRIES &&
         cache_entries <= AFS_MAX_CACHE_ENTRIES;
}

// Geometry of a volume of `flash_size` bytes with `num_files` files
// (flash_size at least fat_entry_offset(num_files)); the chunk count is kept
// in 16 bits as the context stores it.
struct VolumeGeometry {
  uint32_t num_chunks = 0;
  uint32_t fat_size = 0;
};

VolumeGeometry geometry_of(uint32_t flash_size, uint32_t num_files) {
  VolumeGeometry g;
  g.num_chunks = static_cast<uint16_t>((flash_size - fat_entry_offset(num_files)) / AFS_CHUNK_COST);
  g.fat_size = fat_area_size(num_files + g.num_chunks);
  return g;
}

// Checks a header's values against the partition: 0, or 5 when num_files is
// outside 65..2048 or flash_size is smaller than its own FAT or larger than
// the FAT plus the data area the FTL offers on the partition.
uint32_t check_header(afs_context_t* ctx, const afs_header_t& h) {
  if (h.num_files < AFS_MIN_FILES || h.num_files > AFS_MAX_FILES) return AFS_STATUS_IO_ERROR;
  if (h.flash_size < fat_entry_offset(h.num_files)) return AFS_STATUS_IO_ERROR;
  const VolumeGeometry g = geometry_of(h.flash_size, h.num_files);
  if (g.fat_size > h.flash_size) return AFS_STATUS_IO_ERROR;
  const uint32_t data = afs_physical_ftl_get_data_vas(ctx, 0);
  if (uint64_t{h.flash_size} > uint64_t{g.fat_size} + data) return AFS_STATUS_IO_ERROR;
  return AFS_STATUS_OK;
}

void apply_geometry(afs_context_t* ctx, uint32_t flash_size, uint32_t num_files) {
  const VolumeGeometry g = geometry_of(flash_size, num_files);
  ctx->afs_logical_size = flash_size;
  ctx->num_chunks = static_cast<uint16_t>(g.num_chunks);
  ctx->fat_size = g.fat_size;
}

// The volume that fits the partition: all of the FTL's data area in chunks,
// with the FAT in front of it.
void size_fresh_volume(afs_context_t* ctx, uint32_t num_files) {
  const uint32_t data = afs_physical_ftl_get_data_vas(ctx, 0);
  apply_geometry(ctx, fat_area_size(num_files + data / AFS_CHUNK_SIZE) + data, num_files);
}

// Mounts the FTL before the header is known (flag 0x20), formatting it when
// the flags ask for that.
uint32_t mount_ftl(afs_context_t* ctx, uint32_t partition_size, uint32_t flags,
                   uint32_t amount_of_files) {
  const uint32_t status =
      afs_physical_ftl_init(ctx, partition_size, (flags & AFS_INIT_BIND_IMAGE) | FTL_INIT_ALLOCATE);
  if ((flags & AFS_INIT_FORCE_FORMAT) == 0 && status == AFS_STATUS_OK) return AFS_STATUS_OK;
  if ((flags & (AFS_INIT_FORMAT | AFS_INIT_ERASE_FORMAT)) == 0) return AFS_STATUS_IO_ERROR;
  // Format under the geometry of the fresh volume that will follow, so that
  // the FTL lays out the block-mapped EUs its chunks need.
  size_fresh_volume(ctx, amount_of_files);
  uint32_t result = afs_physical_ftl_format(ctx, (flags & AFS_INIT_ERASE_FORMAT) != 0 ? 1 : 0);
  if (result != AFS_STATUS_OK) return result;
  result = afs_physical_ftl_init(ctx, partition_size, FTL_INIT_ALLOCATE);
  return result;
}

// Writes a fresh header into page 0 (the rest of the page zero) and flushes.
uint32_t write_fresh_header(afs_context_t* ctx, uint32_t amount_of_files, AFS_SKU sku,
                            AFS_PROJECT_NUMBER project, afs_header_t* h) {
  size_fresh_volume(ctx, amount_of_files);
  h->header_marker = AFS_HEADER_MARKER;
  h->afs_version.value = 0;
  h->afs_version.fields.afs_sku = static_cast<uint32_t>(sku) & 0xFF;
  h->afs_version.fields.afs_project_number = static_cast<uint32_t>(project) & 0xFFF;
  h->flash_size = ctx->afs_logical_size;
  h->num_files = static_cast<uint16_t>(amount_of_files);
  uint8_t* page = nullptr;
  uint32_t status = cache_ptr(ctx, 0, &page);
  if (status != AFS_STATUS_OK) return status;
  std::memset(page, 0, ctx->page_size);
  std::memcpy(page, h, sizeof(afs_header_t));
  cache_line_written(ctx, page);
  return cache_flush(ctx);
}

// Walks every file's chain: resets zombies, fills the size table and the
// chunk bitmap. 5 for a chain that meets another one or itself.
uint32_t scan_files(afs_context_t* ctx) {
  for (uint32_t f = 0; f < ctx->num_files; ++f) {
    const cid_t file = static_cast<cid_t>(f);
    cid_t entry = 0;
    uint32_t status = afs_get_next_cid(ctx, file, &entry);
    if (status != AFS_STATUS_OK) return status;
    if (entry == AFS_CID_ZOMBIE) {
      // Marked dirty only; the next write's flush takes it along.
      status = afs_set_next_cid(ctx, file, AFS_CID_FREE);
      if (status != AFS_STATUS_OK) return status;
      continue;
    }
    if (entry == AFS_CID_FREE) continue;
    uint32_t size = 0;
    if (entry != AFS_CID_EMPTY) {
      cid_t cid = entry;
      for (;;) {
        if (ctx->afs_mode == 0) {
          // A chunk reached a second time lies on two chains (or its own
          // chain loops back to it): a change to one file would release or
          // overwrite the other's data. No crash of a device leaves that.
          const uint32_t chunk = uint32_t{cid} - ctx->num_files;
          if (chunk_bit(ctx, chunk)) return AFS_STATUS_IO_ERROR;
          set_chunk_bit(ctx, chunk);
        }
        cid_t next = 0;
        status = afs_get_next_cid(ctx, cid, &next);
        if (status != AFS_STATUS_OK) return status;
        size += next > AFS_CID_LAST_MAX ? AFS_CHUNK_SIZE : next;
        if (next <= AFS_CID_LAST_MAX) break;
        cid = next;
      }
    }
    if (ctx->file_size_table != nullptr) ctx->file_size_table[f] = size;
  }
  return AFS_STATUS_OK;
}

// Everything of afs_init after the argument checks. A failure is returned
// as it stands.
uint32_t mount_volume(afs_context_t* ctx, void* physical_context, uint32_t page_size,
                      uint32_t cache_entries, uint32_t amount_of_files, uint32_t partition_index,
                      uint32_t partition_size, uint32_t flags, AFS_SKU sku, AFS_PROJECT_NUMBER project) {
  if ((flags & AFS_INIT_ZERO_CONTEXT) != 0) {
    // The staging buffer belongs to the context's owner, not to the mount.
    uint8_t* staging = ctx->afs_local_buf;
    std::memset(ctx, 0, sizeof(*ctx));
    ctx->afs_local_buf = staging;
  }
  // Pages cached by an earlier mount of this context may belong to another
  // volume: they are dropped, never written into this one.
  cache_invalidate(ctx);
  ctx->afs_physical_context = &afs_physical_spi_handler;
  ctx->afs_tools_context = physical_context;
  ctx->chunk_allocation_handed_over = 0;
  ctx->afs_mode = 0;
  ctx->page_size = static_cast<uint16_t>(page_size);
  if ((flags & (AFS_INIT_NOT_FTL | AFS_INIT_FTL_BACKED)) != AFS_INIT_FTL_BACKED)
    return AFS_STATUS_INVALID_ARGUMENT;
  // Without the FTL no page of the volume can be read.
  if ((flags & AFS_INIT_MOUNT_FTL) == 0) return AFS_STATUS_INVALID_ARGUMENT;
  ctx->storage_type = 0;
  if ((flags & AFS_INIT_NO_BITMAP) != 0) ctx->afs_mode = 1;
  ctx->afs_partition_index = partition_index;
  ctx->afs_partition_size = partition_size;
  ctx->last_trimmed_page = 0;
  // A remount replaces the tables of an earlier one.
  std::free(ctx->chunk_state);
  ctx->chunk_state = nullptr;
  afs_free_file_size_table(ctx);

  // Provisional geometry: every page is a FAT page, so that the first FTL
  // mount serves page 0, which holds the header.
  ctx->afs_logical_size = partition_size;
  ctx->fat_size = partition_size;
  ctx->num_chunks = static_cast<uint16_t>(partition_size / AFS_CHUNK_SIZE);

  uint32_t status = mount_ftl(ctx, partition_size, flags, amount_of_files);
  if (status != AFS_STATUS_OK) return status;
  status = cache_init(ctx, page_size, static_cast<uint16_t>(cache_entries));
  if (status != AFS_STATUS_OK) return status;

  uint8_t* page = nullptr;
  status = cache_ptr(ctx, 0, &page);
  if (status != AFS_STATUS_OK) return status;
  afs_header_t header;
  std::memcpy(&header, page, sizeof header);
  ctx->allocate_chunk_start_from = 0;

  if (header.header_marker != AFS_HEADER_MARKER) {
    if ((flags & (AFS_INIT_FRESH_HEADER | AFS_INIT_FORCE_FORMAT)) == 0) return AFS_STATUS_IO_ERROR;
    status = write_fresh_header(ctx, amount_of_files, sku, project, &header);
    if (status != AFS_STATUS_OK) return status;
  }
  // The header's values, checked against the partition, decide the geometry.
  status = check_header(ctx, header);
  if (status != AFS_STATUS_OK) return status;
  apply_geometry(ctx, header.flash_size, header.num_files);
  afs_physical_ftl_release(ctx);
  status = afs_physical_ftl_init(ctx, partition_size, FTL_INIT_ALLOCATE);
  if (status != AFS_STATUS_OK) return status;

  ctx->afs_version = header.afs_version;
  ctx->num_files = header.num_files;

  if ((flags & AFS_INIT_SIZE_TABLE) != 0) {
    ctx->file_size_table = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t) * ctx->num_files));
    if (ctx->file_size_table == nullptr) return AFS_STATUS_NO_MEMORY;
  }
  if (ctx->afs_mode == 0 || ctx->file_size_table != nullptr) {
    if (ctx->afs_mode == 0) {
      ctx->chunk_state =
          static_cast<uint32_t*>(std::calloc(chunk_bitmap_words(ctx->num_chunks), sizeof(uint32_t)));
      if (ctx->chunk_state == nullptr) return AFS_STATUS_NO_MEMORY;
    }
    if (ctx->file_size_table != nullptr)
      std::memset(ctx->file_size_table, 0xFF, sizeof(uint32_t) * ctx->num_files);
    status = scan_files(ctx);
    if (status != AFS_STATUS_OK) return status;

    if (ctx->storage_type == 0 && ctx->afs_mode == 0) {
      ctx->chunk_allocation_handed_over = 1;
      status = afs_physical_ftl_set_allocation_map(ctx);
      if (status != AFS_STATUS_OK) return status;
      for (uint32_t c = 0; c <= ctx->num_chunks; ++c)
        if (!chunk_bit(ctx, c)) afs_trim_fat_page_if_needed(ctx, c);
    }
  }

  if ((flags & AFS_INIT_PRELOAD) != 0) {
    // Only pages of the volume: the FTL serves nothing beyond it.
    const uint32_t pages = ctx->afs_logical_size / ctx->page_size;
    for (uint32_t p = 0; p < cache_entries && p < pages; ++p) cache_ptr(ctx, static_cast<uint16_t>(p), &page);
  }
  return AFS_STATUS_OK;
}

}  // namespace

extern "C" {

afs_physical_handler_t afs_physical_spi_handler = {
    handler_read, handler_write, handler_trim, handler_force_full_reclaim, handler_force_dirty_erase,
};

uint32_t afs_init(afs_context_t* afs_context, void* physical_context, uint32_t page_size,
                  uint32_t cache_entries, uint32_t amount_of_files, uint32_t afs_partition_index,
                  uint32_t afs_partition_size, uint32_t flags, AFS_SKU sku,
                  AFS_PROJECT_NUMBER afs_project_num) {
  if (afs_context == nullptr || !cache_arguments_ok(page_size, cache_entries) ||
      amount_of_files < AFS_MIN_FILES || amount_of_files > AFS_MAX_FILES ||
      afs_partition_size < AFS_MIN_PARTITION_SIZE || afs_partition_size > AFS_MAX_PARTITION_SIZE)
    return AFS_STATUS_INVALID_ARGUMENT;
  // File operations see num_files 0, and refuse every file number, until the
  // mount has succeeded.
  afs_context->num_files = 0;
  const uint32_t status =
      mount_volume(afs_context, physical_context, page_size, cache_entries, amount_of_files,
                   afs_partition_index, afs_partition_size, flags, sku, afs_project_num);
  if (status != AFS_STATUS_OK) afs_context->num_files = 0;
  return status;
}

uint32_t afs_setcache(afs_context_t* afs_context, uint32_t page_size, uint32_t cache_entries) {
  if (afs_context == nullptr || !cache_arguments_ok(page_size, cache_entries))
    return AFS_STATUS_INVALID_ARGUMENT;
  const uint32_t status = cache_init(afs_context, page_size, static_cast<uint16_t>(cache_entries));
  if (status != AFS_STATUS_OK) return status;
  afs_context->page_size = static_cast<uint16_t>(page_size);
  return AFS_STATUS_OK;
}

void afs_free_file_size_table(afs_context_t* afs_context) {
  if (afs_context == nullptr || afs_context->file_size_table == nullptr) return;
  std::free(afs_context->file_size_table);
  afs_context->file_size_table = nullptr;
}

void afs_free_context(afs_context_t* afs_context) {
  if (afs_context == nullptr) return;
  std::free(afs_context->chunk_state);
  afs_context->chunk_state = nullptr;
  afs_free_file_size_table(afs_context);
  std::free(afs_context->cache);
  afs_context->cache = nullptr;
  std::free(afs_context->cache_data);
  afs_context->cache_data = nullptr;
  if (afs_context->storage_type == 0) afs_physical_ftl_release(afs_context);
}

}  // extern "C"
