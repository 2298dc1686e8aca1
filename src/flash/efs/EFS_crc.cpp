// The EFS's two checksums, table-driven one byte at a time.
#include "flash/efs/EFS.h"

namespace {

constexpr uint16_t kCrc16Polynomial = 0x1021;      // MSB first
constexpr uint32_t kCrc32Polynomial = 0xEDB88320;  // reflected

constexpr std::array<uint16_t, 256> build_crc16_table() {
  std::array<uint16_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint16_t r = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ kCrc16Polynomial : r << 1);
    table[i] = r;
  }
  return table;
}

constexpr std::array<uint32_t, 256> build_crc32_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ kCrc32Polynomial : r >> 1;
    table[i] = r;
  }
  return table;
}

}  // namespace

extern const std::array<uint16_t, 256> gCrc16_table = build_crc16_table();
extern const std::array<uint32_t, 256> gCrc32_table = build_crc32_table();

extern "C" uint16_t EFS_crc16(uint16_t init_val, const uint8_t* pBuf, uint32_t len) {
  uint16_t r = init_val;
  for (uint32_t i = 0; i < len; ++i)
    r = static_cast<uint16_t>(gCrc16_table[((r >> 8) ^ pBuf[i]) & 0xFF] ^ (r << 8));
  return r;
}

extern "C" uint32_t EFS_crc32(uint32_t init_val, const uint8_t* pBuf, uint32_t len) {
  uint32_t r = init_val;
  for (uint32_t i = 0; i < len; ++i) r = gCrc32_table[(r ^ pBuf[i]) & 0xFF] ^ (r >> 8);
  return r;
}
