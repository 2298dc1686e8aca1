// The interface layer's tables with each allocation failing in turn: the
// file-table copy and hand-over, loading a table from a host buffer and from
// a configuration partition, copying entries into a new table, adding them
// and serialising it. A step either succeeds with the result it gives when
// nothing fails, or returns false after an Error report and leaves its table
// as documented; nothing leaks. Across the sweeps every report of the
// loading path is seen.
#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "storagelib/kymfs_fixture.h"
#include "support/alloc_fail/alloc_fail.h"
#include "support/fcs_buffer_writer.h"
#include "support/qelc_partition_builder.h"

using namespace kymfs_test;
using tarn_test::AllocPause;
using tarn_test::AllocWindow;
using tarn_test::alloc_failure_injected;
using tarn_test::Bytes;
using tarn_test::FcsRecord;
using tarn_test::sweep_allocations;

namespace {

// Names longer than a short string's inline buffer, so that naming a record
// allocates.
const std::string kFirst = "/home/config/first-value";
const std::string kSecond = "/home/config/second-value";
const std::string kFixed = "/home/config/fixed-value";
const std::string kEmpty = "/home/config/empty-value";
constexpr uint32_t kFirstNo = 0x10000201, kSecondNo = 0x10000202, kFixedNo = 0x10000203,
                   kEmptyNo = 0x10000204;
constexpr uint16_t kOverridable = 0x0001;

// With an EFS description for the SKU, so that handing the file table over
// allocates the EFS file list.
Bytes sweepFileTable() {
  using tarn_test::ftbl_file;
  tarn_test::EfstSku efs;
  efs.sku = kSku;
  efs.files = {tarn_test::efst_file(1, 0, 0, 64)};
  return tarn_test::FileTableBuilder()
      .sku({kSku,
            {ftbl_file(kFirst, kFirstNo, 0, 16), ftbl_file(kSecond, kSecondNo, 0x0001, 16),
             ftbl_file(kFixed, kFixedNo, 0, 16), ftbl_file(kEmpty, kEmptyNo, 0, 16)}})
      .efs(efs)
      .build();
}

const auto record = tarn_test::fcs_text_record;

std::vector<FcsRecord> defaultRecords() {
  return {record(kFirst, kFirstNo, kOverridable, "1111"), record(kSecond, kSecondNo, kOverridable, "22"),
          record(kFixed, kFixedNo, 0, "333"), record(kEmpty, kEmptyNo, kOverridable, "")};
}

Bytes defaultsBuffer() {
  std::vector<FcsRecord> records = defaultRecords();
  records.push_back(record("/home/config/unknown", 0x10000299, kOverridable, "UU"));
  return tarn_test::write_fcs_buffer_reversed_payloads(records);
}

Bytes partitionBuffer() {
  tarn_test::QelcPartition p;
  p.fcs = tarn_test::write_fcs_buffer({record(kSecond, kSecondNo, kOverridable, "override")});
  p.trailing = 3;
  return p.build();
}

// The current values serialised: each overridable default, the override's
// copy where there is one, under path + "/".
Bytes expectedCurrents() {
  std::vector<FcsRecord> records = {record(kFirst + "/", kFirstNo, kOverridable, "1111"),
                                    record(kSecond + "/", kSecondNo, kOverridable, "override"),
                                    record(kEmpty + "/", kEmptyNo, kOverridable, "")};
  return tarn_test::write_fcs_buffer_by_name(records);
}

void TARN_CDECL captureOutsideTheSweep(ErrorLevel level, ImageToolsErrorName name, const char* nameText,
                                       const char* message) {
  AllocPause pause;
  captureReport(level, name, nameText, message);
}

std::vector<std::string> pathsOf(const FcsTable& t) {
  std::vector<std::string> paths;
  for (const FcsFileEntry* e = t.firstEntry; e != nullptr; e = e->next) paths.push_back(e->relativePath);
  return paths;
}

void expectEmpty(const FcsTable& t) {
  EXPECT_EQ(nullptr, val(t.handle));
  EXPECT_EQ(nullptr, val(t.data));
  EXPECT_EQ(nullptr, val(t.firstEntry));
  EXPECT_EQ(0u, val(t.numFiles));
}

class KymfsAllocSweep : public KymfsTest {
 protected:
  void SetUp() override {
    KymfsTest::SetUp();
    fileTable_ = sweepFileTable();
    ASSERT_TRUE(useFileTable(fileTable_, kSku));
    kyMfsSetStatusCallback(captureOutsideTheSweep);
    hostReports().clear();
  }

  void TearDown() override {
    kyMfsFreeFcsTable(currents_);
    KymfsTest::TearDown();
  }

  // After a failed step: it was made to fail, and said so last.
  void expectReportedFailure() {
    EXPECT_TRUE(alloc_failure_injected());
    ASSERT_FALSE(reports().empty());
    EXPECT_EQ(Error, reports().back().level);
    for (const HostReport& r : reports()) reached_.insert(r.name);
  }

  FcsTable currents_;
  std::set<ImageToolsErrorName> reached_;
};

TEST_F(KymfsAllocSweep, LoadingTablesReportsEveryFailure) {
  Bytes defaults = defaultsBuffer();
  Bytes partition = partitionBuffer();
  struct Case {
    const char* what;
    std::function<bool(FcsTable&)> load;
    std::vector<std::pair<std::string, std::string>> entries;  // path, payload read
  };
  const std::vector<Case> cases = {
      {"defaults", [&](FcsTable& t) {
         return kyMfsLoadPtrTableData(t, reinterpret_cast<char*>(defaults.data()),
                                      static_cast<U32>(defaults.size()), true); },
       {{kEmpty, ""}, {kFirst, "1111"}, {kFixed, ""}, {kSecond, "22"}}},
      {"partition", [&](FcsTable& t) {
         return kyMfsLoadFcsTableFromQelcPartition(t, true, reinterpret_cast<char*>(partition.data()),
                                                   static_cast<U32>(partition.size())); },
       {{kSecond, "override"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sweep_allocations([&](size_t) {
      ASSERT_TRUE(useFileTable(fileTable_, kSku));  // handed over inside the window
      hostReports().clear();
      bool ok;
      {
        AllocWindow window;
        ok = c.load(table_);
      }
      if (!ok) {
        expectReportedFailure();
        expectEmpty(table_);
        // A file table that could not be handed over is handed over by the
        // next load.
        if (reports().front().name == ErrorFtblLoadFail) {
          EXPECT_TRUE(s_tarnLoadFileTable);
        }
        return;
      }
      EXPECT_TRUE(reports().empty());
      std::vector<std::pair<std::string, std::string>> entries;
      for (const FcsFileEntry* e = table_.firstEntry; e != nullptr; e = e->next)
        entries.emplace_back(e->relativePath, e->data == nullptr ? "" : std::string(e->data, e->dataSize));
      EXPECT_EQ(c.entries, entries);
      kyMfsFreeFcsTable(table_);
    });
  }
  // The file table whose hand-over failed is handed over by the next load.
  // Reading a listed record's attributes allocates nothing, so it never fails
  // here.
  EXPECT_EQ((std::set<ImageToolsErrorName>{ErrorFtblLoadFail, ErrorFcsCreateHandle, ErrorInvalidPointer,
                                           ErrorFcsGetFile, ErrorNoMemory, ErrorProcessingFcsEntries}),
            reached_);
}

// Current values built from loaded defaults and overrides: copies, adds and
// the serialisation, with one allocation failing somewhere among them.
TEST_F(KymfsAllocSweep, BuildingAndSerialisingCurrentValues) {
  Bytes defaults = defaultsBuffer();
  Bytes partition = partitionBuffer();
  ASSERT_TRUE(kyMfsLoadPtrTableData(table_, reinterpret_cast<char*>(defaults.data()),
                                    static_cast<U32>(defaults.size()), true));
  ASSERT_TRUE(kyMfsLoadFcsTableFromQelcPartition(other_, true, reinterpret_cast<char*>(partition.data()),
                                                 static_cast<U32>(partition.size())));
  const Bytes expected = expectedCurrents();

  sweep_allocations([&](size_t) {
    hostReports().clear();
    bool ok;
    std::vector<std::string> added;
    {
      AllocWindow window;
      ok = kyMfsNewFcsTable(currents_, FcsFileNameCurrentsCfg);
      for (FcsFileEntry* d = table_.firstEntry; ok && d != nullptr; d = d->next) {
        if (!d->isManufEnabled) continue;
        // A copy that cannot be made is null, as is a path the table lacks:
        // look the override up first.
        bool overridden;
        {
          AllocPause pause;
          const std::vector<std::string> overrides = pathsOf(other_);
          overridden = std::find(overrides.begin(), overrides.end(), d->relativePath) != overrides.end();
        }
        FcsFileEntry* copy = kyMfsFindCopyFile(overridden ? other_ : table_, d->relativePath);
        ok = copy != nullptr && kyMfsAddNewFileFcs(currents_, copy, false);
        if (copy != nullptr && !ok) kyMfsFreeFileEntry(copy);  // a refused entry stays the caller's
        AllocPause pause;
        if (ok) added.push_back(d->relativePath);
      }
      ok = ok && kyMfsSerializeFcsTable(currents_);
    }
    if (ok) {
      EXPECT_EQ(expected, Bytes(currents_.data, currents_.data + currents_.datasize));
      EXPECT_EQ((std::vector<std::string>{kEmpty, kFirst, kSecond}), pathsOf(currents_));
      EXPECT_EQ(std::vector<HostReport>{}, reports());
    } else {
      EXPECT_TRUE(alloc_failure_injected());
      // Every entry added before the failure is in the table, and no other.
      EXPECT_EQ(added, pathsOf(currents_));
      // Every failure says so, a copy that cannot be made included.
      ASSERT_FALSE(reports().empty());
      EXPECT_EQ(Error, reports().back().level);
    }
    kyMfsFreeFcsTable(currents_);
  });
}

// The store running out of memory while an entry is added fails the add:
// the entry stays the caller's, whole, and the table does not change.
TEST_F(KymfsAllocSweep, AddThatRunsOutOfMemoryKeepsTheEntry) {
  Bytes defaults = defaultsBuffer();
  ASSERT_TRUE(kyMfsLoadPtrTableData(table_, reinterpret_cast<char*>(defaults.data()),
                                    static_cast<U32>(defaults.size()), true));
  ASSERT_TRUE(kyMfsNewFcsTable(currents_, FcsFileNameCurrentsCfg));
  ASSERT_TRUE(kyMfsSerializeFcsTable(currents_));
  const Bytes empty(currents_.data, currents_.data + currents_.datasize);

  std::set<std::string> messages;
  sweep_allocations([&](size_t) {
    FcsFileEntry* copy = kyMfsFindCopyFile(table_, kFirst.c_str());
    ASSERT_NE(nullptr, copy);
    hostReports().clear();
    bool ok;
    {
      AllocWindow window;
      ok = kyMfsAddNewFileFcs(currents_, copy, false);
    }
    if (ok) {
      EXPECT_EQ(std::vector<std::string>{kFirst}, pathsOf(currents_));
      EXPECT_TRUE(reports().empty());
    } else {
      expectReportedFailure();
      messages.insert(reports().back().message);
      EXPECT_TRUE(pathsOf(currents_).empty());
      EXPECT_FALSE(val(copy->inFcsTable));
      EXPECT_EQ("1111", std::string(copy->data, copy->dataSize));
      kyMfsFreeFileEntry(copy);
    }
    ASSERT_TRUE(kyMfsSerializeFcsTable(currents_));
    if (!ok) {
      EXPECT_EQ(empty, Bytes(currents_.data, currents_.data + currents_.datasize));
    }
    kyMfsFreeFcsTable(currents_);
    ASSERT_TRUE(kyMfsNewFcsTable(currents_, FcsFileNameCurrentsCfg));
  });
  // The record buffer, then the store's own allocations.
  EXPECT_EQ((std::set<std::string>{"", " Library status code: 9"}), messages);
  EXPECT_EQ((std::set<ImageToolsErrorName>{ErrorNoMemory, ErrorFcsAddNewFile}), reached_);
}

TEST_F(KymfsAllocSweep, ReplacingTheFileTableCopy) {
  const Bytes replacement = testFileTable();
  const size_t runs = sweep_allocations([&](size_t) {
    ASSERT_TRUE(useFileTable(fileTable_, kSku));
    ASSERT_EQ(0, kyMfsHandOverFileTable());
    hostReports().clear();
    bool ok;
    {
      AllocWindow window;
      ok = useFileTable(replacement, kSku + 1);
    }
    if (ok) {
      EXPECT_EQ(kSku + 1, s_tarnAfsSkuId);
      EXPECT_TRUE(s_tarnLoadFileTable);
      return;
    }
    EXPECT_TRUE(alloc_failure_injected());
    EXPECT_EQ(std::vector<HostReport>{errorReport(ErrorNoMemory, "Out of memory.", "")}, reports());
    // The former copy, its SKU and the store's selection in it are kept.
    EXPECT_EQ(kSku, s_tarnAfsSkuId);
    EXPECT_FALSE(s_tarnLoadFileTable);
    fileno_t first;
    first.value = kFirstNo;
    EXPECT_NE(nullptr, get_file_entry_by_fileno(&first));
  });
  EXPECT_EQ(2u, runs);
}

}  // namespace
