#include "support/efs_region.h"

#include <algorithm>
#include <numeric>

namespace tarn_test {
namespace {

constexpr size_t kAreaAt = 16, kArea = 4076, kFooterAt = 4092, kPieceMax = 4072, kSlotEnd = 4095;
constexpr uint16_t kAbsent = 0xFFFF;

bool all_ff(const uint8_t* p, size_t n) {
  return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

uint16_t bit_crc16(uint16_t r, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    r ^= static_cast<uint16_t>(p[i] << 8);
    for (int b = 0; b < 8; ++b) r = static_cast<uint16_t>(r & 0x8000 ? (r << 1) ^ 0x1021 : r << 1);
  }
  return r;
}

uint32_t bit_crc32(const uint8_t* p, size_t n) {
  uint32_t r = 0;
  for (size_t i = 0; i < n; ++i) {
    r ^= p[i];
    for (int b = 0; b < 8; ++b) r = r & 1 ? (r >> 1) ^ 0xEDB88320u : r >> 1;
  }
  return r;
}

// The record of n bytes at `at` ends in the crc32 of what precedes it.
bool sealed(const Bytes& b, size_t at, size_t n) { return get_u32(&b[at + n - 4]) == bit_crc32(&b[at], n - 4); }
void seal(Bytes& b, size_t at, size_t n) { put_u32(b, at + n - 4, bit_crc32(&b[at], n - 4)); }

}  // namespace

void EfsRegion::bm_header(uint32_t k, uint32_t counter) {
  const size_t at = k * 4096;
  put_u16(bytes, at, 1);
  put_u16(bytes, at + 2, geo.sku);
  put_u32(bytes, at + 4, counter);
  const uint8_t counts[] = {uint8_t(geo.bm), uint8_t(geo.valid), uint8_t(geo.spare), geo.layout};
  std::copy(counts, counts + 4, bytes.begin() + at + 8);
  seal(bytes, at, 16);
}

void EfsRegion::bme(uint32_t k, uint32_t i, const std::vector<uint8_t>& map) {
  const size_t at = geo.slot_at(k, i);
  std::copy(map.begin(), map.end(), bytes.begin() + at);
  std::fill_n(bytes.begin() + at + map.size(), 8, 0);  // the two times
  seal(bytes, at, map.size() + 12);
}

void EfsRegion::block_header(uint32_t p, uint32_t erase_count) {
  put_u32(bytes, geo.block_at(p), erase_count);
  std::fill_n(bytes.begin() + geo.block_at(p) + 4, 8, 0);  // flags, reserved
  seal(bytes, geo.block_at(p), 16);
}

void EfsRegion::area(uint32_t p, const Bytes& data_area) {
  std::copy(data_area.begin(), data_area.end(), bytes.begin() + geo.block_at(p) + kAreaAt);
  efs_seal_area(bytes, geo, p);
}

void efs_seal_area(Bytes& region, const EfsGeo& g, uint32_t p) {
  put_u32(region, g.block_at(p) + kFooterAt, bit_crc32(&region[g.block_at(p) + kAreaAt], kArea));
}

void EfsRegion::put_piece(Bytes& area, size_t at, uint16_t size_field, uint8_t lb, const uint8_t* data, size_t n) {
  put_u16(area, at, size_field);
  std::copy(data, data + n, area.begin() + at + 4);
  put_u16(area, at + 2, bit_crc16(bit_crc16(lb, &area[at], 2), data, n));
}

Bytes EfsRegion::empty_area(uint8_t lb) const {
  Bytes a(kArea, 0xFF);
  for (const EfsFile& f : files)
    if (f.lb == lb) put_piece(a, f.oib, kAbsent, lb, nullptr, 0);
  return a;
}

std::vector<uint8_t> EfsRegion::identity() const {
  std::vector<uint8_t> map(geo.blocks());
  std::iota(map.begin(), map.end(), uint8_t{0});
  return map;
}

void EfsRegion::format(const std::vector<EfsFile>& file_list) {
  files = file_list;
  std::fill(bytes.begin(), bytes.end(), 0xFF);
  for (uint32_t p = 0; p < geo.blocks(); ++p) {
    block_header(p, 1);
    if (p < geo.valid) area(p, empty_area(static_cast<uint8_t>(p)));
  }
  bme(0, 0, identity());
  bm_header(0, 1);
}

EfsView efs_view(const Bytes& region, const EfsGeo& g) {
  EfsView v;
  for (uint32_t k = 0; k < g.bm; ++k) {
    const size_t at = k * 4096;
    if (sealed(region, at, 16) && !all_ff(&region[at], 16) && get_u32(&region[at + 4]) > v.counter) {
      v.counter = get_u32(&region[at + 4]);
      v.bm = k;
    }
  }
  if (v.counter == 0) return v;
  const size_t s = g.slot();
  uint32_t last = 0;
  while (16 + (last + 2) * s <= kSlotEnd && !all_ff(&region[g.slot_at(v.bm, last + 1)], s)) ++last;
  if (!sealed(region, g.slot_at(v.bm, last), s)) {
    if (last == 0 || !sealed(region, g.slot_at(v.bm, last - 1), s)) return v;
    --last;
    v.fell_back = true;
  }
  v.slot = last;
  v.map.assign(&region[g.slot_at(v.bm, last)], &region[g.slot_at(v.bm, last)] + g.blocks());
  return v;
}

EfsFileState efs_read_file(const Bytes& region, const EfsGeo& g, const EfsView& v, EfsFile f, Bytes* out) {
  out->clear();
  size_t left = 0, at = f.oib;
  for (uint32_t lb = f.lb; lb < g.valid; ++lb, at = 0) {
    const uint8_t* piece = &region[g.block_at(v.map[lb]) + kAreaAt + at];
    const uint16_t size = get_u16(piece);
    const bool first = lb == f.lb;
    if (first && size == kAbsent) return EfsFileState::kAbsent;
    if (first) left = size;
    const size_t n = std::min(left, kPieceMax - at);
    if (bit_crc16(bit_crc16(static_cast<uint16_t>(lb), piece, 2), piece + 4, n) != get_u16(piece + 2) ||
        (!first && size != kAbsent))
      return EfsFileState::kCorrupt;
    out->insert(out->end(), piece + 4, piece + 4 + n);
    left -= n;
    if (left == 0) return EfsFileState::kPresent;
  }
  return EfsFileState::kCorrupt;
}

}  // namespace tarn_test
