#include "support/ftl_image_builder.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn_test {

using namespace ftl_layout;

namespace {

// One step of the MSB-first CRC over polynomial 0x1021: the byte enters the
// top of the 16-bit register and eight shifts follow.
uint16_t crc16_step(uint16_t reg, uint8_t byte) {
  uint16_t r = static_cast<uint16_t>(reg ^ (uint16_t{byte} << 8));
  for (int bit = 0; bit < 8; ++bit) {
    r = (r & 0x8000) ? static_cast<uint16_t>((r << 1) ^ 0x1021) : static_cast<uint16_t>(r << 1);
  }
  return r;
}

}  // namespace

uint16_t ftl_crc16(const uint8_t* data, size_t len, uint16_t pageid) {
  // The steps of the page data by a table of the eight shifts of each top
  // byte (the readers check every page of 2 MiB images many times).
  static const std::array<uint16_t, 256> shifted = [] {
    std::array<uint16_t, 256> t{};
    for (uint32_t top = 0; top < 256; ++top) t[top] = crc16_step(0, static_cast<uint8_t>(top));
    return t;
  }();
  uint16_t r = 0xFFFF;
  for (size_t i = 0; i < len; ++i) r = static_cast<uint16_t>((r << 8) ^ shifted[(r >> 8) ^ data[i]]);
  r = crc16_step(r, static_cast<uint8_t>(pageid & 0xFF));
  r = crc16_step(r, static_cast<uint8_t>(pageid >> 8));
  return r;
}

uint16_t ftl_crc14(const uint8_t* data, size_t len) {
  uint16_t r = 0x3FFF;
  for (size_t i = 0; i < len; ++i) r = crc16_step(r, data[i]) & 0x3FFF;
  return r;
}

uint16_t ftl_chain_key(uint16_t previous_id) {
  const uint8_t b[2] = {static_cast<uint8_t>(previous_id & 0xFF), static_cast<uint8_t>(previous_id >> 8)};
  return ftl_crc14(b, 2);
}

uint8_t ftl_crc8(const uint8_t* data, size_t len) {
  uint8_t r = 0x01;
  for (size_t i = 0; i < len; ++i) {
    r ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      r = (r & 0x80) ? static_cast<uint8_t>((r << 1) ^ 0x07) : static_cast<uint8_t>(r << 1);
    }
  }
  return r;
}

PageData page_fill(uint8_t value) { return PageData(kPageData, value); }

PageData page_pattern(uint16_t logical_id, uint8_t generation) {
  PageData d(kPageData);
  for (uint32_t i = 0; i < kPageData; ++i) {
    d[i] = static_cast<uint8_t>(logical_id * 7 + generation * 31 + i * 13 + (logical_id >> 8));
  }
  return d;
}

// ---------------------------------------------------------------- geometry

FtlGeometry FtlGeometry::for_partition(uint32_t partition_size, uint32_t fat_size,
                                       uint32_t partition_index) {
  FtlGeometry g;
  g.partition_size = partition_size;
  g.fat_size = fat_size;
  g.partition_index = partition_index;
  const uint32_t eus = partition_size / kEuSize;
  uint32_t pm = eus / 12;
  if (pm == 0 && eus > 1) pm = 1;
  const uint32_t data = eus < pm + 1 ? 0 : (eus - pm - 1) * kBmDataBytes;
  g.logical_size = fat_size + data;
  return g;
}

uint32_t FtlGeometry::page_mapped_count() const {
  return eu_count() - (logical_size - fat_size) / kBmDataBytes - 1;
}

uint16_t FtlGeometry::euva_of_range(uint32_t k) const {
  return static_cast<uint16_t>(fat_size / kPageData + k * kBmPages);
}

// ---------------------------------------------------------------- builder

FtlImageBuilder::FtlImageBuilder(const FtlGeometry& geometry)
    : geo_(geometry),
      image_(size_t{geometry.partition_index} + geometry.partition_size, 0xFF),
      pm_next_(geometry.eu_count(), 0),
      pm_seed_(geometry.eu_count(), 0),
      eumc_(geometry.eu_count(), 0),
      euec_(geometry.eu_count(), 0),
      spare_(geometry.eu_count() ? geometry.eu_count() - 1 : 0) {}

void FtlImageBuilder::check_eu(uint32_t eu) const {
  if (eu >= eu_count()) throw std::out_of_range("FtlImageBuilder: EU " + std::to_string(eu));
}

uint32_t FtlImageBuilder::at(uint32_t eu, uint32_t offset, uint32_t length) const {
  check_eu(eu);
  if (uint64_t{offset} + length > kEuSize) {
    throw std::out_of_range("FtlImageBuilder: " + std::to_string(length) + " bytes at offset " +
                            std::to_string(offset));
  }
  return geo_.partition_index + eu * kEuSize + offset;
}

FtlImageBuilder& FtlImageBuilder::erase_all() {
  for (uint32_t eu = 0; eu < eu_count(); ++eu) erase_eu(eu);
  return *this;
}

FtlImageBuilder& FtlImageBuilder::erase_eu(uint32_t eu) {
  std::fill_n(image_.begin() + at(eu, 0, kEuSize), kEuSize, uint8_t{0xFF});
  pm_next_[eu] = 0;
  pm_seed_[eu] = 0;
  return *this;
}

FtlImageBuilder& FtlImageBuilder::format() {
  const uint32_t n = eu_count();
  const uint32_t pm = geo_.page_mapped_count();
  for (uint32_t i = 0; i < n; ++i) {
    EuHeader h;
    h.sig = kSigValid;
    h.eumc = i + 1;
    h.euec = 1;
    h.euspare = static_cast<uint16_t>(i + 1);
    h.euva = 0;
    if (i >= pm && i + 1 < n) h.euva = geo_.euva_of_range(i - pm);
    if (i + 1 == n) {
      h.sig = kSigKilled;
      h.crc_sig = kSigValid;
    }
    header(i, h);
    pm_next_[i] = 0;
    pm_seed_[i] = 0;
  }
  spare_ = n - 1;
  last_eumc_ = n >= 2 ? n - 1 : 0;
  return *this;
}

FtlImageBuilder& FtlImageBuilder::header(uint32_t eu, const EuHeader& h) {
  Bytes b(kPreHeaderSize, 0xFF);
  put_u32(b, kSigOffset, h.crc_sig >= 0 ? static_cast<uint32_t>(h.crc_sig) : h.sig);
  put_u32(b, kEumcOffset, h.eumc);
  put_u32(b, kEuecOffset, h.euec);
  put_u16(b, kEusparOffset, h.euspare);
  put_u16(b, kEuvaOffset, h.euva);
  const uint8_t crc = ftl_crc8(b.data(), kCrcCoveredBytes);
  put_u32(b, kSigOffset, h.sig);
  b[kEucrcOffset] = h.crc_override >= 0 ? static_cast<uint8_t>(h.crc_override) : crc;
  b[kEucommitOffset] = h.commit;
  write(eu, 0, b);
  eumc_[eu] = h.eumc;
  euec_[eu] = h.euec;
  return *this;
}

FtlImageBuilder& FtlImageBuilder::kill(uint32_t eu) { return write_u32(eu, kSigOffset, kSigKilled); }

FtlImageBuilder& FtlImageBuilder::set_commit(uint32_t eu, uint8_t eucommit) {
  return write_u8(eu, kEucommitOffset, eucommit);
}

FtlImageBuilder& FtlImageBuilder::torn_header(uint32_t eu, const EuHeader& h, uint32_t written) {
  header(eu, h);
  const uint32_t keep = std::min(written, kPreHeaderSize);
  const uint32_t torn = kPreHeaderSize - keep;
  std::fill_n(image_.begin() + at(eu, keep, torn), torn, uint8_t{0xFF});
  return *this;
}

FtlImageBuilder& FtlImageBuilder::write(uint32_t eu, uint32_t offset, const Bytes& bytes) {
  if (size_t{offset} + bytes.size() > kEuSize) throw std::out_of_range("FtlImageBuilder: write past EU");
  const uint32_t to = at(eu, offset, static_cast<uint32_t>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), image_.begin() + to);
  return *this;
}

FtlImageBuilder& FtlImageBuilder::write_u8(uint32_t eu, uint32_t offset, uint8_t v) {
  return write(eu, offset, Bytes{v});
}

FtlImageBuilder& FtlImageBuilder::write_u16(uint32_t eu, uint32_t offset, uint16_t v) {
  Bytes b;
  put_u16(b, 0, v);
  return write(eu, offset, b);
}

FtlImageBuilder& FtlImageBuilder::write_u32(uint32_t eu, uint32_t offset, uint32_t v) {
  Bytes b;
  put_u32(b, 0, v);
  return write(eu, offset, b);
}

uint8_t FtlImageBuilder::read_u8(uint32_t eu, uint32_t offset) const { return image_[at(eu, offset, 1)]; }
uint16_t FtlImageBuilder::read_u16(uint32_t eu, uint32_t offset) const {
  return get_u16(&image_[at(eu, offset, 2)]);
}
uint32_t FtlImageBuilder::read_u32(uint32_t eu, uint32_t offset) const {
  return get_u32(&image_[at(eu, offset, 4)]);
}

Bytes FtlImageBuilder::header_bytes(uint32_t eu) const {
  const uint32_t from = at(eu, 0, kPreHeaderSize);
  return Bytes(image_.begin() + from, image_.begin() + from + kPreHeaderSize);
}

Bytes FtlImageBuilder::page_bytes(uint32_t eu, uint32_t page_offset_in_eu) const {
  const uint32_t from = at(eu, page_offset_in_eu, kPageSize);
  return Bytes(image_.begin() + from, image_.begin() + from + kPageSize);
}

void FtlImageBuilder::put_page(uint32_t eu, uint32_t offset, uint16_t logical_id, const PageData& data,
                               uint32_t bytes) {
  if (data.size() != kPageData) throw std::invalid_argument("FtlImageBuilder: page data must be 64 bytes");
  Bytes page(data.begin(), data.end());
  put_u16(page, kPageCrcOffset, ftl_crc16(data.data(), kPageData, logical_id));
  page.resize(std::min(bytes, kPageSize));
  write(eu, offset, page);
}

// ---------------------------------------------------------------- block-mapped

int FtlImageBuilder::eu_of_chunk(uint32_t chunk) const {
  const uint32_t euva = geo_.fat_size / kPageData + (chunk / kBmPages) * kBmPages;
  for (uint32_t eu = 0; eu < eu_count(); ++eu) {
    const uint32_t sig = read_u32(eu, kSigOffset);
    if (sig == kSigKilled || read_u8(eu, kEucommitOffset) == kHeaderPending) continue;
    if (read_u16(eu, kEuvaOffset) == euva) return static_cast<int>(eu);
  }
  return -1;
}

FtlImageBuilder& FtlImageBuilder::put_chunk(uint32_t eu, uint32_t chunk, const PageData& data, uint8_t commit) {
  const uint32_t euva = read_u16(eu, kEuvaOffset);
  const uint32_t logical_id = geo_.fat_size / kPageData + chunk;
  if (euva == 0 || logical_id < euva || logical_id - euva >= kBmPages) {
    throw std::invalid_argument("FtlImageBuilder: chunk " + std::to_string(chunk) + " not in EU " +
                                std::to_string(eu));
  }
  return put_bm_page(eu, logical_id - euva, static_cast<uint16_t>(logical_id), data, commit);
}

FtlImageBuilder& FtlImageBuilder::put_bm_page(uint32_t eu, uint32_t page, uint16_t logical_id,
                                              const PageData& data, uint8_t commit) {
  if (page >= kBmPages) throw std::out_of_range("FtlImageBuilder: block-mapped page");
  put_page(eu, bm_page_offset(page), logical_id, data);
  return set_chunk_commit(eu, page, commit);
}

FtlImageBuilder& FtlImageBuilder::set_chunk_commit(uint32_t eu, uint32_t page, uint8_t commit) {
  if (page >= kBmPages) throw std::out_of_range("FtlImageBuilder: block-mapped page");
  return write_u8(eu, bm_commit_offset(page), commit);
}

// ---------------------------------------------------------------- page-mapped

FtlImageBuilder& FtlImageBuilder::append_fat_page(uint32_t eu, uint16_t logical_id, const PageData& data,
                                                  PageTear tear, uint32_t torn_bytes) {
  check_eu(eu);
  const uint32_t i = pm_next_[eu];
  if (i >= kPmPages) throw std::out_of_range("FtlImageBuilder: page-mapped EU " + std::to_string(eu) + " full");
  if (logical_id >= 0x8000) throw std::invalid_argument("FtlImageBuilder: FAT page id must stay below 0x8000");
  write_u16(eu, pm_slot_offset(i), static_cast<uint16_t>(logical_id ^ ftl_chain_key(pm_seed_[eu])));
  switch (tear) {
    case PageTear::kNone:
      put_page(eu, pm_page_offset(i), logical_id, data);
      // Commit: the high byte of the next slot; an erased slot becomes 0x7FFF.
      write_u8(eu, pm_slot_offset(i + 1) + 1, 0x7F);
      pm_seed_[eu] = logical_id;
      pm_next_[eu] = i + 1;
      break;
    case PageTear::kSlotOnly:
      pm_next_[eu] = std::min(i + 2, kPmPages);
      break;
    case PageTear::kPartialPage:
      put_page(eu, pm_page_offset(i), logical_id, data, torn_bytes);
      pm_next_[eu] = std::min(i + 2, kPmPages);
      break;
    case PageTear::kNoCommit:
      put_page(eu, pm_page_offset(i), logical_id, data);
      pm_next_[eu] = std::min(i + 2, kPmPages);
      break;
  }
  return *this;
}

FtlImageBuilder& FtlImageBuilder::set_fat_position(uint32_t eu, uint32_t next_page, uint16_t seed) {
  check_eu(eu);
  pm_next_[eu] = std::min(next_page, kPmPages);
  pm_seed_[eu] = seed;
  return *this;
}

uint16_t FtlImageBuilder::slot(uint32_t eu, uint32_t i) const {
  if (i >= kPmSlots) throw std::out_of_range("FtlImageBuilder: slot");
  return read_u16(eu, pm_slot_offset(i));
}

std::vector<std::pair<uint16_t, uint32_t>> FtlImageBuilder::committed_fat_pages(uint32_t eu) const {
  std::vector<std::pair<uint16_t, uint32_t>> out;
  uint16_t seed = 0;
  bool skip = false;
  for (uint32_t j = 0; j < kPmPages; ++j) {
    if (skip) {
      // The page after a written but uncommitted page is never used: the
      // commit of the torn page may have reached its slot.
      skip = false;
      continue;
    }
    const uint16_t next = slot(eu, j + 1);
    if (next & 0x8000) {
      // Not committed: never written when its own slot is erased, else torn,
      // and then the next page is skipped too.
      if (slot(eu, j) != kSlotErased) skip = true;
      continue;
    }
    const uint16_t id = static_cast<uint16_t>(slot(eu, j) ^ ftl_chain_key(seed));
    seed = id;
    auto it = std::find_if(out.begin(), out.end(), [&](const auto& p) { return p.first == id; });
    if (it != out.end()) out.erase(it);
    out.emplace_back(id, j);
    if (next == kSlotEndMarker) break;
  }
  return out;
}

// ---------------------------------------------------------------- reading back

std::vector<uint32_t> FtlImageBuilder::data_eus() const {
  std::vector<uint32_t> committed, pending, invalid;
  for (uint32_t eu = 0; eu < eu_count(); ++eu) {
    Bytes h = header_bytes(eu);
    const uint32_t sig = get_u32(&h[kSigOffset]);
    auto crc_as = [&](uint32_t as) {
      put_u32(h, kSigOffset, as);
      return ftl_crc8(h.data(), kCrcCoveredBytes) == h[kEucrcOffset];
    };
    const bool valid = (sig == kSigValid || sig == kSigAltValid || sig == kSigAltStored) &&
                       (crc_as(kSigValid) || (sig == kSigAltStored && crc_as(kSigAltStored))) &&
                       read_u32(eu, kEumcOffset) != 0 && read_u32(eu, kEuecOffset) != 0;
    if (!valid) invalid.push_back(eu);
    else (read_u8(eu, kEucommitOffset) == kHeaderPending ? pending : committed).push_back(eu);
  }
  if (pending.size() == 1 && invalid.size() == 1 && read_u16(pending[0], kEusparOffset) == invalid[0])
    committed.push_back(pending[0]);
  return committed;
}

namespace {

// The data of a stored page, or empty data when its CRC does not match.
PageData checked_data(const uint8_t* page, uint16_t logical_id) {
  if (ftl_crc16(page, kPageData, logical_id) != get_u16(page + kPageCrcOffset)) return {};
  return PageData(page, page + kPageData);
}

}  // namespace

std::map<uint16_t, PageData> FtlImageBuilder::live_fat_pages() const {
  std::map<uint16_t, std::pair<uint32_t, PageData>> newest;  // id -> eumc of its EU, data
  for (uint32_t eu : data_eus()) {
    const uint32_t eumc = read_u32(eu, kEumcOffset);
    if (read_u16(eu, kEuvaOffset) != 0) continue;
    for (const auto& copy : committed_fat_pages(eu)) {
      auto& n = newest[copy.first];
      if (eumc > n.first) n = {eumc, checked_data(&image_[at(eu, pm_page_offset(copy.second), kPageSize)], copy.first)};
    }
  }
  std::map<uint16_t, PageData> out;
  for (const auto& n : newest) out[n.first] = n.second.second;
  return out;
}

std::map<uint32_t, PageData> FtlImageBuilder::live_chunks() const {
  std::map<uint32_t, PageData> out;
  for (uint32_t eu : data_eus()) {
    const uint16_t euva = read_u16(eu, kEuvaOffset);
    for (uint32_t p = 0; euva != 0 && p < kBmPages; ++p) {
      if (read_u8(eu, bm_commit_offset(p)) != kCommitDone) continue;
      const uint16_t id = static_cast<uint16_t>(euva + p);
      out[id - geo_.fat_pages()] = checked_data(&image_[at(eu, bm_page_offset(p), kPageSize)], id);
    }
  }
  return out;
}

std::map<uint16_t, uint32_t> FtlImageBuilder::block_mapped_data_eus() const {
  std::map<uint16_t, uint32_t> out;
  for (uint32_t eu : data_eus()) {
    const uint16_t euva = read_u16(eu, kEuvaOffset);
    if (euva != 0) out[euva] = eu;
  }
  return out;
}

bool FtlImageBuilder::committed_chunk(const std::map<uint16_t, uint32_t>& ranges, uint32_t chunk,
                                      PageData* data) const {
  const uint32_t id = geo_.fat_pages() + chunk;
  auto range = ranges.upper_bound(static_cast<uint16_t>(std::min<uint32_t>(id, 0xFFFF)));
  if (id > 0xFFFF || range == ranges.begin()) return false;
  --range;
  const uint32_t p = id - range->first;
  if (p >= kBmPages || read_u8(range->second, bm_commit_offset(p)) != kCommitDone) return false;
  *data = checked_data(&image_[at(range->second, bm_page_offset(p), kPageSize)], static_cast<uint16_t>(id));
  return true;
}

// ---------------------------------------------------------------- reclaim

uint32_t FtlImageBuilder::reclaim(uint32_t old_eu, ReclaimCut cut, const ReclaimOptions& options) {
  check_eu(old_eu);
  const uint32_t new_eu = options.new_eu >= 0 ? static_cast<uint32_t>(options.new_eu) : spare_;
  check_eu(new_eu);
  if (new_eu == old_eu) throw std::invalid_argument("FtlImageBuilder: reclaim into the same EU");
  const uint16_t euva = read_u16(old_eu, kEuvaOffset);
  const uint32_t new_euec = options.new_euec >= 0 ? static_cast<uint32_t>(options.new_euec) : euec_[new_eu] + 1;

  erase_eu(new_eu);
  const size_t limit = options.copied >= 0 ? static_cast<size_t>(options.copied) : SIZE_MAX;

  if (euva != 0) {
    // Block-mapped: live pages keep their index; the copy is committed.
    std::vector<uint32_t> pages = options.pages;
    if (pages.empty()) {
      for (uint32_t p = 0; p < kBmPages; ++p) {
        if (read_u8(old_eu, bm_commit_offset(p)) == kCommitDone) pages.push_back(p);
      }
    }
    size_t done = 0;
    for (uint32_t p : pages) {
      if (done++ >= limit) break;
      write(new_eu, bm_page_offset(p), page_bytes(old_eu, bm_page_offset(p)));
      set_chunk_commit(new_eu, p, kCommitDone);
    }
  } else {
    // Page-mapped: live pages are appended behind the receiving EU's write
    // position with a chain continuing its last id.
    const uint32_t target = options.copy_to >= 0 ? static_cast<uint32_t>(options.copy_to) : new_eu;
    check_eu(target);
    const auto committed = committed_fat_pages(old_eu);
    std::vector<std::pair<uint16_t, uint32_t>> moves;
    if (options.pages.empty()) {
      moves = committed;
    } else {
      for (uint32_t id : options.pages) {
        auto it = std::find_if(committed.begin(), committed.end(), [&](const auto& p) { return p.first == id; });
        if (it == committed.end()) throw std::invalid_argument("FtlImageBuilder: id not committed in old EU");
        moves.push_back(*it);
      }
    }
    size_t done = 0;
    for (const auto& m : moves) {
      if (done++ >= limit) break;
      const Bytes page = page_bytes(old_eu, pm_page_offset(m.second));
      append_fat_page(target, m.first, PageData(page.begin(), page.begin() + kPageData));
      // Keep the stored CRC exactly as it was in the old EU.
      write(target, pm_page_offset(pm_next_[target] - 1), page);
    }
  }
  if (cut == ReclaimCut::kBeforeHeader) return new_eu;

  EuHeader h;
  h.sig = kSigValid;
  h.eumc = last_eumc_ + 1;
  h.euec = new_euec;
  h.euspare = static_cast<uint16_t>(old_eu);
  h.euva = euva;
  h.commit = kHeaderPending;
  // The header write leaves eucommit erased; the page area is untouched.
  header(new_eu, h);
  if (cut == ReclaimCut::kPendingHeader) return new_eu;

  kill(old_eu);
  if (cut == ReclaimCut::kOldKilled) return new_eu;

  set_commit(new_eu, kHeaderCommitted);
  last_eumc_ = h.eumc;
  eumc_[old_eu] = 0;
  spare_ = old_eu;
  return new_eu;
}

}  // namespace tarn_test
