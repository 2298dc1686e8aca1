// The configuration record a host hands to kyMfsTarnInit, over buffers the
// caller keeps alive for the session. An empty buffer is handed over as no
// table (null data, size 0).
#ifndef TARN_TESTS_SUPPORT_HOST_CONFIG_H
#define TARN_TESTS_SUPPORT_HOST_CONFIG_H

#include <cstdint>

#include "support/bytes.h"
#include "tarnstoragelib.h"

namespace tarn_test {

inline CommonTarnTable host_table(Bytes& b) {
  return CommonTarnTable{b.empty() ? nullptr : reinterpret_cast<char*>(b.data()), static_cast<U32>(b.size())};
}

inline ModQelStorageLibConfig host_config(Bytes& defaults, Bytes& qelc, Bytes& ftbl, uint32_t sku, Bytes& mfs,
                                          Bytes& efs) {
  ModQelStorageLibConfig c = {};
  c.orvanCfgTable = host_table(defaults);
  c.qelcCfgTable = host_table(qelc);
  c.ftblTable.commonData = host_table(ftbl);
  c.ftblTable.afsSkuId = sku;
  c.mfsTable = host_table(mfs);
  c.efsTable = host_table(efs);
  return c;
}

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_HOST_CONFIG_H
