// Writes serialised configuration-file tables ("FCS buffers") and single
// records from the byte table of the format, independently of the store:
//   0             u32 count
//   4 + 12*i      header i: u32 fileno, u32 offset (absolute), u16 length,
//                 u16 attributes
//   offset        length payload bytes
// A record that crosses the handle API is one header followed by its payload.
#ifndef TARN_TESTS_SUPPORT_FCS_BUFFER_WRITER_H
#define TARN_TESTS_SUPPORT_FCS_BUFFER_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace tarn_test {

struct FcsRecord {
  std::string name;  // the record's file-table name; used only for ordering
  uint32_t fileno = 0;
  uint16_t attributes = 0;
  Bytes payload;
};

// A record whose payload is the bytes of `text`.
inline FcsRecord fcs_text_record(const std::string& name, uint32_t fileno, uint16_t attributes,
                                 const std::string& text) {
  FcsRecord r;
  r.name = name;
  r.fileno = fileno;
  r.attributes = attributes;
  r.payload.assign(text.begin(), text.end());
  return r;
}

constexpr size_t kFcsCountSize = 4;
constexpr size_t kFcsHeaderSize = 12;
inline size_t fcs_header_at(size_t i) { return kFcsCountSize + kFcsHeaderSize * i; }
// Field offsets inside a header.
constexpr size_t kFcsFilenoAt = 0, kFcsOffsetAt = 4, kFcsLengthAt = 8, kFcsAttributesAt = 10;

// One record: header (with the given offset and length, which default to 0
// and the payload's size) followed by the payload.
Bytes fcs_record(const FcsRecord& r, uint32_t offset = 0);
Bytes fcs_record(const FcsRecord& r, uint32_t offset, uint16_t length);

// Headers in the given order, payloads back to back after the last header in
// the same order (the layout flush produces for records in that order).
Bytes write_fcs_buffer(const std::vector<FcsRecord>& records);

// Headers in the given order, payloads back to back in the reverse order.
Bytes write_fcs_buffer_reversed_payloads(const std::vector<FcsRecord>& records);

// Records sorted by name in unsigned byte order (a proper prefix first), then
// written as write_fcs_buffer does.
Bytes write_fcs_buffer_by_name(std::vector<FcsRecord> records);

// Unsigned byte order of two names: "B" < "a" < "ab" < "b".
bool fcs_name_less(const std::string& a, const std::string& b);

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_FCS_BUFFER_WRITER_H
