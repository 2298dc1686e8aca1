// Shared set-up for the tests of the interface layer's state and tables: a
// status callback that records every report the host would see, and the file
// table the configuration tables are named through.
#ifndef TARN_TESTS_STORAGELIB_KYMFS_FIXTURE_H
#define TARN_TESTS_STORAGELIB_KYMFS_FIXTURE_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "storagelib/kymfs.h"
#include "storagelib/kymfs_report.h"
#include "storagelib/qelerrors.h"
#include "support/bytes.h"
#include "support/file_table_builder.h"

namespace kymfs_test {

// The value of a field of a packed record. Checks take their arguments by
// reference, which a packed field's address may not satisfy.
template <typename T>
T val(T field) {
  return field;
}

// One report as the host's callback receives it.
struct HostReport {
  ErrorLevel level;
  ImageToolsErrorName name;
  std::string nameText;
  std::string message;
};

inline bool operator==(const HostReport& a, const HostReport& b) {
  return a.level == b.level && a.name == b.name && a.nameText == b.nameText &&
         a.message == b.message;
}

inline std::ostream& operator<<(std::ostream& os, const HostReport& r) {
  return os << "{level " << static_cast<int>(r.level) << ", name " << static_cast<int>(r.name)
            << ", \"" << r.nameText << "\", \"" << r.message << "\"}";
}

inline std::vector<HostReport>& hostReports() {
  static std::vector<HostReport> reports;
  return reports;
}

inline void TARN_CDECL captureReport(ErrorLevel level, ImageToolsErrorName name,
                                     const char* nameText, const char* message) {
  hostReports().push_back({level, name, nameText, message});
}

inline HostReport errorReport(ImageToolsErrorName name, const std::string& nameText,
                              const std::string& message) {
  return {Error, name, nameText, message};
}

inline HostReport debugReport(const std::string& message) { return {Debug, ErrorNone, "", message}; }

// Files of SKU 3 in the test file table.
constexpr uint32_t kSku = 3;
constexpr uint32_t kFileA = 0x10000101;     // "/home/a", max 8
constexpr uint32_t kFileAB = 0x10000102;    // "/home/a.b", integrity-protected and encrypted, max 16
constexpr uint32_t kFileN = 0x10000103;     // "/home/n", max 8
constexpr uint32_t kFileE = 0x10000104;     // "/home/e", max 8
constexpr uint32_t kFileBig = 0x10000105;   // "/home/big", max 70000
constexpr uint32_t kUnknownFile = 0x10000199;  // not in the file table
constexpr uint16_t kAttributesAB = 0x0003;

inline tarn_test::Bytes testFileTable() {
  using tarn_test::ftbl_file;
  return tarn_test::FileTableBuilder()
      .sku({kSku,
            {ftbl_file("/home/a", kFileA, 0, 8), ftbl_file("/home/a.b", kFileAB, kAttributesAB, 16),
             ftbl_file("/home/n", kFileN, 0, 8), ftbl_file("/home/e", kFileE, 0, 8),
             ftbl_file("/home/big", kFileBig, 0, 70000)}})
      .build();
}

// Every test starts with a filled catalogue, the capturing callback, and the
// test file table still to be handed to the store; it ends with its tables
// released and reporting off.
class KymfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QelErrors::init());
    kyMfsSetStatusCallback(captureReport);
    fileTable_ = testFileTable();
    ASSERT_TRUE(useFileTable(fileTable_, kSku));
    hostReports().clear();
  }

  void TearDown() override {
    kyMfsFreeFcsTable(table_);
    kyMfsFreeFcsTable(other_);
    kyMfsSetStatusCallback(nullptr);
  }

  static bool useFileTable(const tarn_test::Bytes& blob, uint32_t sku) {
    return kyMfsSetFileTableCopy(reinterpret_cast<const char*>(blob.data()),
                                 static_cast<U32>(blob.size()), sku);
  }

  const std::vector<HostReport>& reports() const { return hostReports(); }

  tarn_test::Bytes fileTable_;
  FcsTable table_;
  FcsTable other_;
};

}  // namespace kymfs_test

#endif  // TARN_TESTS_STORAGELIB_KYMFS_FIXTURE_H
