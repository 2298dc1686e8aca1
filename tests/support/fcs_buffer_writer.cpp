#include "support/fcs_buffer_writer.h"

#include <algorithm>

namespace tarn_test {

namespace {

void put_header(Bytes& b, size_t at, const FcsRecord& r, uint32_t offset, uint16_t length) {
  put_u32(b, at + kFcsFilenoAt, r.fileno);
  put_u32(b, at + kFcsOffsetAt, offset);
  put_u16(b, at + kFcsLengthAt, length);
  put_u16(b, at + kFcsAttributesAt, r.attributes);
}

Bytes write(const std::vector<FcsRecord>& records, bool reversed) {
  Bytes b;
  put_u32(b, 0, static_cast<uint32_t>(records.size()));
  size_t cursor = fcs_header_at(records.size());
  b.resize(cursor);
  std::vector<size_t> offsets(records.size());
  for (size_t k = 0; k < records.size(); ++k) {
    const size_t i = reversed ? records.size() - 1 - k : k;
    offsets[i] = cursor;
    b.insert(b.end(), records[i].payload.begin(), records[i].payload.end());
    cursor += records[i].payload.size();
  }
  for (size_t i = 0; i < records.size(); ++i)
    put_header(b, fcs_header_at(i), records[i], static_cast<uint32_t>(offsets[i]),
               static_cast<uint16_t>(records[i].payload.size()));
  return b;
}

}  // namespace

Bytes fcs_record(const FcsRecord& r, uint32_t offset) {
  return fcs_record(r, offset, static_cast<uint16_t>(r.payload.size()));
}

Bytes fcs_record(const FcsRecord& r, uint32_t offset, uint16_t length) {
  Bytes b(kFcsHeaderSize, 0);
  put_header(b, 0, r, offset, length);
  b.insert(b.end(), r.payload.begin(), r.payload.end());
  return b;
}

Bytes write_fcs_buffer(const std::vector<FcsRecord>& records) { return write(records, false); }

Bytes write_fcs_buffer_reversed_payloads(const std::vector<FcsRecord>& records) {
  return write(records, true);
}

bool fcs_name_less(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(a[i]);
    const unsigned char y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

Bytes write_fcs_buffer_by_name(std::vector<FcsRecord> records) {
  std::stable_sort(records.begin(), records.end(),
                   [](const FcsRecord& x, const FcsRecord& y) { return fcs_name_less(x.name, y.name); });
  return write(records, false);
}

}  // namespace tarn_test
