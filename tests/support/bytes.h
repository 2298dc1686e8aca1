// Little-endian byte helpers for the test builders. The builders write every
// format from its byte table with these, never through the library's structs.
#ifndef TARN_TESTS_SUPPORT_BYTES_H
#define TARN_TESTS_SUPPORT_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn_test {

using Bytes = std::vector<uint8_t>;

inline void put_u8(Bytes& b, size_t at, uint8_t v) {
  if (b.size() < at + 1) b.resize(at + 1);
  b[at] = v;
}
inline void put_u16(Bytes& b, size_t at, uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put_u32(Bytes& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
// Writes `text` into a field of `width` bytes, NUL-padded; a text of `width`
// characters or more fills the field with no terminator.
inline void put_text(Bytes& b, size_t at, const std::string& text, size_t width) {
  if (b.size() < at + width) b.resize(at + width);
  for (size_t i = 0; i < width; ++i) b[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}
inline uint16_t get_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get_u32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_BYTES_H
