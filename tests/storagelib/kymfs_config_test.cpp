// The host configuration record, the checks it passes at start-up, and the
// library state as the host observes it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kymfs_fixture.h"
#include "support/bytes.h"

using namespace kymfs_test;

namespace {

// The state as the library starts, captured before any test changes it: the
// state is constant-initialised, so this dynamic initialiser sees it as
// loaded.
struct LoadedState {
  bool mfsInitialized = kyMfsIsInitialized();
  bool fcsInitialized = kyFcsIsInitialized();
  bool loadFileTable = s_tarnLoadFileTable;
  U32 afsSkuId = s_tarnAfsSkuId;
  std::vector<const FcsTable*> tables{&s_orvanCfgTable, &s_qelCfgTable, &s_currentValuesTable,
                                      &s_builtQelCfgTable};
  std::vector<bool> tablesUnmade = [this] {
    std::vector<bool> unmade;
    for (const FcsTable* t : tables)
      unmade.push_back(t->handle == nullptr && t->fileName == FcsFileNameInvalid &&
                       t->numFiles == 0 && t->data == nullptr && t->datasize == 0 &&
                       t->firstEntry == nullptr && t->lastEntry == nullptr);
    return unmade;
  }();
} const loaded;

TEST(KymfsState, StartsWithNothingLoaded) {
  EXPECT_FALSE(loaded.mfsInitialized);
  EXPECT_FALSE(loaded.fcsInitialized);
  EXPECT_FALSE(loaded.loadFileTable);
  EXPECT_EQ(0u, val(loaded.afsSkuId));
  EXPECT_EQ(std::vector<bool>(4, true), loaded.tablesUnmade);
}

TEST(KymfsState, QueriesFollowTheFlags) {
  s_mfsInitialized = true;
  EXPECT_TRUE(kyMfsIsInitialized());
  EXPECT_FALSE(kyFcsIsInitialized());
  s_mfsInitialized = false;
  s_fcsInitialized = true;
  EXPECT_FALSE(kyMfsIsInitialized());
  EXPECT_TRUE(kyFcsIsInitialized());
  kyMfsCleanStaticTables();
  EXPECT_FALSE(kyFcsIsInitialized());
}

class KymfsConfig : public KymfsTest {
 protected:
  // A record that passes: every buffer present.
  ModQelStorageLibConfig valid() {
    ModQelStorageLibConfig c;
    c.orvanCfgTable = {bytes_, 16};
    c.qelcCfgTable = {bytes_, 32};
    c.mfsTable = {bytes_, 64};
    c.ftblTable.commonData = {bytes_, 64};
    c.ftblTable.afsSkuId = kSku;
    c.efsTable = {bytes_, 64};
    return c;
  }
  char bytes_[64] = {};
};

HostReport invalidTable(const std::string& name) {
  return errorReport(ErrorMfsInitError, "Failed to initialize MFS.",
                     "Invalid table " + name + ". The table is loaded but data is empty.");
}

TEST_F(KymfsConfig, ValidRecordPasses) {
  ModQelStorageLibConfig c = valid();
  EXPECT_TRUE(kyMfsTarnInitConfig(c));
  EXPECT_TRUE(reports().empty());
}

TEST_F(KymfsConfig, DefaultsTableIsMandatoryWhateverElseIsWrong) {
  ModQelStorageLibConfig c = valid();
  c.orvanCfgTable = {nullptr, 0};
  c.qelcCfgTable = {nullptr, 5};
  c.efsTable = {nullptr, 5};
  EXPECT_FALSE(kyMfsTarnInitConfig(c));
  EXPECT_EQ(std::vector<HostReport>{errorReport(ErrorLoadingOrvanCfg,
                                                "Failed to load Orvan.cfg table.",
                                                "Orvan.cfg table is mandatory for loading by Tarn.")},
            reports());

  hostReports().clear();
  c.orvanCfgTable = {bytes_, 0};
  EXPECT_FALSE(verifyOrvanCfgTable(c.orvanCfgTable));
  EXPECT_EQ(1u, reports().size());
}

TEST_F(KymfsConfig, EachDescriptorWithASizeButNoDataIsNamed) {
  struct Case {
    CommonTarnTable ModQelStorageLibConfig::*field;
    const char* name;
  };
  for (const Case& k : {Case{&ModQelStorageLibConfig::orvanCfgTable, "Orvan.cfg table"},
                        Case{&ModQelStorageLibConfig::qelcCfgTable, "qelc.cfg"},
                        Case{&ModQelStorageLibConfig::mfsTable, "MFS"},
                        Case{&ModQelStorageLibConfig::efsTable, "EFS"}}) {
    hostReports().clear();
    ModQelStorageLibConfig c = valid();
    (c.*k.field).data = nullptr;
    EXPECT_FALSE(kyMfsTarnInitConfig(c)) << k.name;
    EXPECT_EQ(std::vector<HostReport>{invalidTable(k.name)}, reports());
  }

  hostReports().clear();
  ModQelStorageLibConfig c = valid();
  c.ftblTable.commonData.data = nullptr;
  EXPECT_FALSE(kyMfsTarnInitConfig(c));
  EXPECT_EQ(std::vector<HostReport>{invalidTable("ftbl.bin")}, reports());
}

TEST_F(KymfsConfig, ChecksStopAtTheFirstFaultyDescriptor) {
  ModQelStorageLibConfig c = valid();
  c.qelcCfgTable = {nullptr, 1};
  c.efsTable = {nullptr, 1};
  EXPECT_FALSE(kyMfsTarnInitConfig(c));
  EXPECT_EQ(std::vector<HostReport>{invalidTable("qelc.cfg")}, reports());
}

TEST_F(KymfsConfig, AbsentOptionalBuffersPass) {
  ModQelStorageLibConfig c = valid();
  c.qelcCfgTable = {nullptr, 0};
  c.mfsTable = {nullptr, 0};
  c.efsTable = {nullptr, 0};
  c.ftblTable.commonData = {nullptr, 0};  // refused later, by start-up itself
  EXPECT_TRUE(kyMfsTarnInitConfig(c));
  EXPECT_TRUE(reports().empty());
}

TEST_F(KymfsConfig, FileTableCopyKeepsTheSkuAndAsksForAHandOver) {
  tarn_test::Bytes blob = testFileTable();
  ASSERT_TRUE(useFileTable(blob, 42));
  EXPECT_TRUE(s_tarnLoadFileTable);
  EXPECT_EQ(42u, s_tarnAfsSkuId);
  // The library works on its own copy: the host may change or drop its blob.
  std::memset(blob.data(), 0, blob.size());
  EXPECT_EQ(0, kyMfsHandOverFileTable());  // SKU 42 has no table, the blob is fine
  EXPECT_FALSE(s_tarnLoadFileTable);
  EXPECT_EQ(0, kyMfsHandOverFileTable());  // nothing pending
}

// A size past what a 32-bit process can hold is refused with a report, without
// an exception leaving the library, and the former copy stays selected.
TEST_F(KymfsConfig, FileTableCopyTooLargeForTheProcessIsRefused) {
  if (sizeof(void*) != 4) GTEST_SKIP() << "only a 32-bit process cannot hold the size";
  ASSERT_EQ(0, kyMfsHandOverFileTable());
  const void* selected = g_table_buf;
  ASSERT_NE(nullptr, selected);
  char small[16] = {};
  EXPECT_FALSE(kyMfsSetFileTableCopy(small, 0xF0000000u, 1));
  ASSERT_EQ(1u, reports().size());
  EXPECT_EQ(ErrorNoMemory, reports()[0].name);
  EXPECT_EQ(selected, g_table_buf);
  EXPECT_EQ(static_cast<int32_t>(kSku), g_dfs_sku);
}

}  // namespace
