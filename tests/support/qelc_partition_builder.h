// Writes configuration (QELC) partitions from the byte table of the format:
//   0   u8   version        (not checked by the library)
//   1   3    reserved
//   4   u32  header_crc     (not checked)
//   8   u32  size           bytes of the FCS buffer that follow the header
//   12  u32  data_crc       (not checked)
//   16  size bytes          the overrides table as an FCS buffer
// Bytes after 16 + size belong to the partition but not to the table. Tests
// patch the size field (qelc_size_at) to make broken partitions.
#ifndef TARN_TESTS_SUPPORT_QELC_PARTITION_BUILDER_H
#define TARN_TESTS_SUPPORT_QELC_PARTITION_BUILDER_H

#include <cstddef>
#include <cstdint>

#include "support/bytes.h"

namespace tarn_test {

constexpr size_t qelc_header_size = 16;
constexpr size_t qelc_version_at = 0;
constexpr size_t qelc_header_crc_at = 4;
constexpr size_t qelc_size_at = 8;
constexpr size_t qelc_data_crc_at = 12;

struct QelcPartition {
  Bytes fcs;              // the FCS buffer; its length goes into `size`
  size_t trailing = 0;    // bytes of the partition after the buffer
  uint8_t trailing_fill = 0xFF;
  uint8_t version = 1;
  uint8_t reserved = 0;   // written into all three reserved bytes
  uint32_t header_crc = 0;
  uint32_t data_crc = 0;

  Bytes build() const;
};

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_QELC_PARTITION_BUILDER_H
