#include "support/afs_volume_image.h"

#include <algorithm>
#include <stdexcept>

namespace tarn_test {

using namespace afs_layout;
using namespace ftl_layout;

namespace {

uint32_t round_up_64(uint32_t v) { return (v + 63) / 64 * 64; }

FtlGeometry ftl_geometry(uint32_t partition_size, uint32_t partition_index, uint32_t fat_size,
                         uint32_t flash_size) {
  FtlGeometry g;
  g.partition_size = partition_size;
  g.partition_index = partition_index;
  g.fat_size = fat_size;
  g.logical_size = flash_size;
  return g;
}

// crc8 of header bytes 0-15 with `sig` in the signature's place.
uint8_t header_crc(const Bytes& header, uint32_t sig) {
  Bytes b(header.begin(), header.begin() + kCrcCoveredBytes);
  put_u32(b, kSigOffset, sig);
  return ftl_crc8(b.data(), kCrcCoveredBytes);
}

bool header_valid(const Bytes& h) {
  if (get_u32(&h[kEumcOffset]) == 0 || get_u32(&h[kEuecOffset]) == 0) return false;
  const uint32_t sig = get_u32(&h[kSigOffset]);
  const uint8_t crc = h[kEucrcOffset];
  if (sig == kSigValid) return header_crc(h, kSigValid) == crc;
  if (sig == kSigAltStored) return header_crc(h, kSigAltStored) == crc || header_crc(h, kSigValid) == crc;
  if (sig == kSigAltValid) return header_crc(h, kSigValid) == crc;
  return false;
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
  const uint32_t eus = partition_size / kEuSize;
  uint32_t pm = eus / 12;
  if (pm == 0 && eus > 1) pm = 1;
  const uint32_t data = eus < pm + 1 ? 0 : (eus - pm - 1) * kBmDataBytes;
  AfsGeometry g;
  g.num_files = num_files;
  g.num_chunks = data / kChunk;
  g.fat_size = round_up_64(kHeaderSize + 2 * (num_files + g.num_chunks));
  g.flash_size = g.fat_size + data;
  return g;
}

// ---------------------------------------------------------------- reader

AfsVolumeReader::AfsVolumeReader(const Bytes& image, uint32_t partition_size, uint32_t partition_index)
    : b_(ftl_geometry(partition_size, partition_index, 0, 0)) {
  b_.image() = image;
  resolve();
  const PageData page0 = fat_page(0);
  if (get_u32(&page0[kMarkerOffset]) != kMarker) return;
  geo_ = AfsGeometry::from_header(get_u32(&page0[kFlashSizeOffset]), get_u16(&page0[kNumFilesOffset]));
  // The same image, now with the volume's FAT size for chunk lookups.
  b_ = FtlImageBuilder(ftl_geometry(partition_size, partition_index, geo_.fat_size, geo_.flash_size));
  b_.image() = image;
  ok_ = true;
}

void AfsVolumeReader::resolve() {
  const uint32_t eus = b_.eu_count();
  std::vector<bool> valid(eus);
  for (uint32_t eu = 0; eu < eus; ++eu) valid[eu] = header_valid(b_.header_bytes(eu));
  live_.assign(eus, false);
  for (uint32_t eu = 0; eu < eus; ++eu) {
    if (!valid[eu]) continue;
    if (b_.read_u8(eu, kEucommitOffset) != kHeaderPending) {
      live_[eu] = true;
    } else {
      // A pending header holds the data once the EU it names is killed.
      const uint32_t spare = b_.read_u16(eu, kEusparOffset);
      live_[eu] = spare < eus && !valid[spare];
    }
  }
  fat_map_.clear();
  for (uint32_t eu = 0; eu < eus; ++eu) {
    if (!live_[eu] || b_.read_u16(eu, kEuvaOffset) != 0) continue;
    for (const auto& copy : b_.committed_fat_pages(eu)) {
      auto it = fat_map_.find(copy.first);
      if (it == fat_map_.end() ||
          b_.read_u32(eu, kEumcOffset) > b_.read_u32(it->second.first, kEumcOffset))
        fat_map_[copy.first] = {eu, copy.second};
    }
  }
}

PageData AfsVolumeReader::fat_page(uint32_t id) const {
  auto it = fat_map_.find(id);
  if (it == fat_map_.end()) return PageData(kPageData, 0);
  const Bytes page = b_.page_bytes(it->second.first, pm_page_offset(it->second.second));
  return PageData(page.begin(), page.begin() + kPageData);
}

bool AfsVolumeReader::chunk(uint32_t chunk, PageData* data) const {
  const uint32_t euva = geo_.fat_size / kPageData + chunk / kBmPages * kBmPages;
  for (uint32_t eu = 0; eu < b_.eu_count(); ++eu) {
    if (!live_[eu] || b_.read_u16(eu, kEuvaOffset) != euva) continue;
    const uint32_t page = chunk % kBmPages;
    if (b_.read_u8(eu, bm_commit_offset(page)) != kCommitDone) return false;
    const Bytes raw = b_.page_bytes(eu, bm_page_offset(page));
    const uint16_t id = static_cast<uint16_t>(geo_.fat_size / kPageData + chunk);
    if (ftl_crc16(raw.data(), kPageData, id) != get_u16(&raw[kPageCrcOffset])) return false;
    data->assign(raw.begin(), raw.begin() + kPageData);
    return true;
  }
  return false;
}

uint16_t AfsVolumeReader::entry(uint32_t index) const {
  const uint32_t at = entry_offset(index);
  const PageData page = fat_page(at / kPageData);
  return get_u16(&page[at % kPageData]);
}

AfsFileContent AfsVolumeReader::file(uint32_t f) const {
  AfsFileContent out;
  const uint16_t first = entry(f);
  if (first == kEntryFree) return out;
  if (first == kEntryZombie) {
    out.state = AfsFileState::kZombie;
    return out;
  }
  if (first == kEntryEmpty) {
    out.state = AfsFileState::kEmpty;
    return out;
  }
  out.state = AfsFileState::kBroken;
  uint32_t id = first;
  for (;;) {
    if (id < geo_.num_files || id >= geo_.num_files + geo_.num_chunks) {
      out.error = "link " + std::to_string(id) + " out of range";
      return out;
    }
    if (out.chunks.size() >= geo_.num_chunks) {
      out.error = "cycle";
      return out;
    }
    const uint32_t c = id - geo_.num_files;
    out.chunks.push_back(c);
    PageData data;
    if (!chunk(c, &data)) {
      out.error = "chunk " + std::to_string(c) + " unreadable";
      return out;
    }
    const uint16_t next = entry(id);
    if (next > kChunk) {
      out.data.insert(out.data.end(), data.begin(), data.end());
      id = next;
      continue;
    }
    out.data.insert(out.data.end(), data.begin(), data.begin() + next);
    out.state = AfsFileState::kData;
    return out;
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

// ---------------------------------------------------------------- writer

AfsVolumeWriter::AfsVolumeWriter(uint32_t partition_size, uint32_t num_files)
    : partition_size_(partition_size),
      geo_(AfsGeometry::for_partition(partition_size, num_files)),
      header_flash_size_(geo_.flash_size),
      header_num_files_(num_files) {}

AfsVolumeWriter& AfsVolumeWriter::add_file(uint32_t f, const Bytes& data, std::vector<uint32_t> chunks) {
  if (data.empty()) return add_empty(f);
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
    entries_[geo_.chunk_id(chunks[i])] =
        static_cast<uint16_t>(i + 1 < count ? geo_.chunk_id(chunks[i + 1]) : n);
  }
  return *this;
}

AfsVolumeWriter& AfsVolumeWriter::add_empty(uint32_t f) { return set_entry(f, kEntryEmpty); }
AfsVolumeWriter& AfsVolumeWriter::add_zombie(uint32_t f) { return set_entry(f, kEntryZombie); }

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
  put_u32(fat, kMarkerOffset, kMarker);
  put_u32(fat, kVersionOffset, 0);
  put_u32(fat, kFlashSizeOffset, header_flash_size_);
  put_u16(fat, kNumFilesOffset, static_cast<uint16_t>(header_num_files_));
  for (const auto& e : entries_) put_u16(fat, entry_offset(e.first), e.second);
  fat.resize(geo_.fat_size);

  // FAT pages that hold anything, appended to the page-mapped EUs in order.
  const uint32_t pm = b.geometry().page_mapped_count();
  uint32_t eu = 0;
  for (uint32_t id = 0; id < geo_.fat_size / kPageData; ++id) {
    PageData page(fat.begin() + id * kPageData, fat.begin() + (id + 1) * kPageData);
    if (id != 0 && page == PageData(kPageData, 0)) continue;
    if (b.next_fat_page(eu) >= kPmPages) ++eu;
    if (eu >= pm) throw std::length_error("AfsVolumeWriter: FAT does not fit the page-mapped EUs");
    b.append_fat_page(eu, static_cast<uint16_t>(id), page);
  }
  for (const auto& c : chunk_data_) b.put_chunk(b.eu_of_chunk(c.first), c.first, c.second);
  return b.image();
}

}  // namespace tarn_test
