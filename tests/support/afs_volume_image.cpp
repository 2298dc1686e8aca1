#include "support/afs_volume_image.h"

#include <algorithm>
#include <stdexcept>

namespace tarn_test {

using namespace afs_layout;
using namespace ftl_layout;

namespace {

uint32_t round_up_64(uint32_t v) { return (v + 63) / 64 * 64; }

// The image on a partition, seen with the given volume sizes.
FtlImageBuilder image_on(const Bytes& image, uint32_t partition_size, uint32_t fat_size, uint32_t flash_size) {
  FtlGeometry g = FtlGeometry::for_partition(partition_size, fat_size);
  g.logical_size = flash_size;
  FtlImageBuilder b(g);
  b.image() = image;
  return b;
}

}  // namespace

AfsGeometry AfsGeometry::from_header(uint32_t flash_size, uint32_t num_files) {
  AfsGeometry g;
  g.num_files = num_files;
  g.flash_size = flash_size;
  const uint32_t fixed = kHeaderSize + 2 * num_files;
  g.num_chunks = flash_size > fixed ? (flash_size - fixed) / (kChunk + 2) : 0;
  g.fat_size = round_up_64(kHeaderSize + 2 * (num_files + g.num_chunks));
  return g;
}

AfsGeometry AfsGeometry::for_partition(uint32_t partition_size, uint32_t num_files) {
  const uint32_t data = FtlGeometry::for_partition(partition_size, 0).logical_size;  // no FAT: all data
  AfsGeometry g;
  g.num_files = num_files;
  g.num_chunks = data / kChunk;
  g.fat_size = round_up_64(kHeaderSize + 2 * (num_files + g.num_chunks));
  g.flash_size = g.fat_size + data;
  return g;
}

AfsVolumeReader::AfsVolumeReader(const Bytes& image, uint32_t partition_size) {
  // FAT pages do not depend on the volume's sizes; page 0 gives them.
  const auto fat_pages = image_on(image, partition_size, 0, 0).live_fat_pages();
  auto page = [&](uint32_t id) {
    auto it = fat_pages.find(static_cast<uint16_t>(id));
    return it == fat_pages.end() ? PageData(kPageData, 0) : it->second;  // empty: a bad CRC
  };
  const PageData page0 = page(0);
  if (page0.size() != kPageData || get_u32(&page0[0]) != kMarker) return;
  version_ = get_u32(&page0[kVersionOffset]);
  geo_ = AfsGeometry::from_header(get_u32(&page0[kFlashSizeOffset]), get_u16(&page0[kNumFilesOffset]));
  for (uint32_t id = 0; id < geo_.fat_size / kPageData; ++id) {
    const PageData p = page(id);
    if (p.size() != kPageData) return;
    fat_.insert(fat_.end(), p.begin(), p.end());
  }
  flash_ = std::make_shared<const FtlImageBuilder>(image_on(image, partition_size, geo_.fat_size, geo_.flash_size));
  ranges_ = flash_->block_mapped_data_eus();
  ok_ = true;
}

uint16_t AfsVolumeReader::entry(uint32_t index) const {
  const uint32_t at = entry_offset(index);
  return at + 2 <= fat_.size() ? get_u16(&fat_[at]) : 0;
}

AfsFileContent AfsVolumeReader::file(uint32_t f) const {
  AfsFileContent out;
  const uint16_t first = entry(f);
  if (!ok_) out.state = AfsFileState::kBroken;
  if (!ok_ || first == kEntryFree) return out;
  if (first == kEntryZombie || first == kEntryEmpty) {
    out.state = first == kEntryZombie ? AfsFileState::kZombie : AfsFileState::kEmpty;
    return out;
  }
  out.state = AfsFileState::kBroken;
  PageData data;
  for (uint32_t id = first;;) {
    // An out-of-range link, a cycle or an unreadable chunk breaks the file.
    if (id < geo_.num_files || id >= geo_.num_files + geo_.num_chunks || out.chunks.size() >= geo_.num_chunks)
      return out;
    const uint32_t c = id - geo_.num_files;
    out.chunks.push_back(c);
    if (!flash_->committed_chunk(ranges_, c, &data) || data.size() != kChunk) return out;
    const uint16_t next = entry(id);
    out.data.insert(out.data.end(), data.begin(), data.begin() + std::min<uint32_t>(next, kChunk));
    if (next <= kChunk) {
      out.state = AfsFileState::kData;
      return out;
    }
    id = next;
  }
}

std::map<uint32_t, AfsFileContent> AfsVolumeReader::files() const {
  std::map<uint32_t, AfsFileContent> all;
  for (uint32_t f = 0; f < geo_.num_files; ++f) {
    AfsFileContent c = file(f);
    if (c.state != AfsFileState::kNone) all[f] = c;
  }
  return all;
}

uint32_t AfsVolumeReader::chunks_in_use() const {
  uint32_t n = 0;
  for (const auto& f : files()) n += static_cast<uint32_t>(f.second.chunks.size());
  return n;
}

AfsVolumeWriter::AfsVolumeWriter(uint32_t partition_size, uint32_t num_files)
    : partition_size_(partition_size),
      geo_(AfsGeometry::for_partition(partition_size, num_files)),
      header_flash_size_(geo_.flash_size),
      header_num_files_(num_files) {}

AfsVolumeWriter& AfsVolumeWriter::add_file(uint32_t f, const Bytes& data, std::vector<uint32_t> chunks) {
  if (data.empty()) return set_entry(f, kEntryEmpty);
  const uint32_t count = static_cast<uint32_t>((data.size() + kChunk - 1) / kChunk);
  if (chunks.empty()) {
    for (uint32_t i = 0; i < count; ++i) chunks.push_back(next_chunk_++);
  }
  if (chunks.size() != count) throw std::invalid_argument("AfsVolumeWriter: chunk count");
  entries_[f] = static_cast<uint16_t>(geo_.chunk_id(chunks[0]));
  for (uint32_t i = 0; i < count; ++i) {
    const size_t from = size_t{i} * kChunk;
    const size_t n = std::min<size_t>(kChunk, data.size() - from);
    PageData page(kChunk, 0);
    std::copy(data.begin() + from, data.begin() + from + n, page.begin());
    chunk_data_[chunks[i]] = page;
    entries_[geo_.chunk_id(chunks[i])] = static_cast<uint16_t>(i + 1 < count ? geo_.chunk_id(chunks[i + 1]) : n);
  }
  return *this;
}

AfsVolumeWriter& AfsVolumeWriter::set_entry(uint32_t index, uint16_t value) {
  entries_[index] = value;
  return *this;
}

AfsVolumeWriter& AfsVolumeWriter::set_header(uint32_t flash_size, uint32_t num_files) {
  header_flash_size_ = flash_size;
  header_num_files_ = num_files;
  return *this;
}

Bytes AfsVolumeWriter::build() const {
  FtlImageBuilder b(FtlGeometry::for_partition(partition_size_, geo_.fat_size));
  b.format();
  Bytes fat(geo_.fat_size, 0);
  put_u32(fat, 0, kMarker);
  put_u32(fat, kFlashSizeOffset, header_flash_size_);
  put_u16(fat, kNumFilesOffset, static_cast<uint16_t>(header_num_files_));
  for (const auto& e : entries_) put_u16(fat, entry_offset(e.first), e.second);
  fat.resize(geo_.fat_size);

  // FAT pages that hold anything, appended to the page-mapped EUs in order.
  uint32_t eu = 0;
  for (uint32_t id = 0; id < geo_.fat_size / kPageData; ++id) {
    PageData page(fat.begin() + id * kPageData, fat.begin() + (id + 1) * kPageData);
    if (id != 0 && page == PageData(kPageData, 0)) continue;
    if (b.next_fat_page(eu) >= kPmPages) ++eu;
    if (eu >= b.geometry().page_mapped_count()) throw std::length_error("AfsVolumeWriter: FAT too large");
    b.append_fat_page(eu, static_cast<uint16_t>(id), page);
  }
  for (const auto& c : chunk_data_) b.put_chunk(b.eu_of_chunk(c.first), c.first, c.second);
  return b.image();
}

}  // namespace tarn_test
