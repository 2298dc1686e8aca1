#include "support/qelc_partition_builder.h"

namespace tarn_test {

Bytes QelcPartition::build() const {
  Bytes b(qelc_header_size + fcs.size() + trailing, trailing_fill);
  put_u8(b, qelc_version_at, version);
  for (size_t i = 1; i < qelc_header_crc_at; ++i) put_u8(b, i, reserved);
  put_u32(b, qelc_header_crc_at, header_crc);
  put_u32(b, qelc_size_at, static_cast<uint32_t>(fcs.size()));
  put_u32(b, qelc_data_crc_at, data_crc);
  for (size_t i = 0; i < fcs.size(); ++i) b[qelc_header_size + i] = fcs[i];
  return b;
}

}  // namespace tarn_test
