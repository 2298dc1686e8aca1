// Status reporting: what reaches the host's callback for each reporting
// function, the level raising, the name texts, and the bounded copy's report.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "qelerrors_access.h"
#include "storagelib/errorlist.h"
#include "storagelib/kymfs_report.h"
#include "storagelib/qelerrors.h"

namespace {

struct Report {
  ErrorLevel level;
  ImageToolsErrorName name;
  std::string nameText;
  std::string message;
};

std::vector<Report> g_reports;
std::vector<Report> g_otherReports;

void TARN_CDECL recordReport(ErrorLevel level, ImageToolsErrorName name, const char* nameText,
                             const char* message) {
  g_reports.push_back({level, name, nameText, message});
}

void TARN_CDECL recordOther(ErrorLevel level, ImageToolsErrorName name, const char* nameText,
                            const char* message) {
  g_otherReports.push_back({level, name, nameText, message});
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QelErrors::init());
    g_reports.clear();
    g_otherReports.clear();
    kyMfsSetStatusCallback(recordReport);
  }
  void TearDown() override {
    kyMfsSetStatusCallback(nullptr);
    ASSERT_TRUE(QelErrors::init());
  }
};

TEST_F(ReportTest, NothingIsReportedWithoutACallback) {
  kyMfsSetStatusCallback(nullptr);
  EXPECT_EQ(kyMfsGetStatusCallback(), nullptr);
  setError(ErrorNoMemory, "lost");
  setLibError(ErrorFcsFlush, 5);
  debugMessage("lost");
  kyMfsAssert("lost");
  kyMfsLogMessage(UserError, ErrorInit, "lost");
  uint8_t dest[2] = {1, 2};
  const uint8_t src[4] = {};
  EXPECT_EQ(kyMfsMemCpy(dest, sizeof dest, src, sizeof src), SAFE_FUNC_ERROR_INVALID_SIZE);
  EXPECT_TRUE(g_reports.empty());
  EXPECT_EQ(dest[0], 1);
  EXPECT_EQ(dest[1], 2);
}

TEST_F(ReportTest, UserErrorIsRaisedToErrorOtherLevelsPass) {
  kyMfsLogMessage(UserError, ErrorInit, "a");
  kyMfsLogMessage(Info, ErrorInit, "b");
  kyMfsLogMessage(Warning, ErrorInit, "c");
  kyMfsLogMessage(Debug, ErrorInit, "d");
  kyMfsLogMessage(Error, ErrorInit, "e");
  ASSERT_EQ(g_reports.size(), 5u);
  EXPECT_EQ(g_reports[0].level, Error);
  EXPECT_EQ(g_reports[1].level, Info);
  EXPECT_EQ(g_reports[2].level, Warning);
  EXPECT_EQ(g_reports[3].level, Debug);
  EXPECT_EQ(g_reports[4].level, Error);
  for (const Report& r : g_reports) {
    EXPECT_EQ(r.name, ErrorInit);
    EXPECT_EQ(r.nameText, "Initialize Error");
  }
  EXPECT_EQ(g_reports[0].message, "a");
  EXPECT_EQ(g_reports[4].message, "e");
}

TEST_F(ReportTest, NameTexts) {
  kyMfsLogMessage(Error, ErrorNone, "none");
  kyMfsLogMessage(Error, ErrorListCount, "no row");
  kyMfsLogMessage(Error, static_cast<ImageToolsErrorName>(49), "gap");
  kyMfsLogMessage(Error, GeneralError, "general");
  ASSERT_EQ(g_reports.size(), 4u);
  EXPECT_EQ(g_reports[0].nameText, "");  // never "No Error"
  EXPECT_EQ(g_reports[1].nameText, "General Error");
  EXPECT_EQ(g_reports[1].name, ErrorListCount);
  EXPECT_EQ(g_reports[2].nameText, "General Error");
  EXPECT_EQ(g_reports[3].nameText, "General error.");
}

TEST_F(ReportTest, ReportsBeforeTheCatalogueIsFilledCarryTheFallback) {
  QelErrorsInspector::emptyTables();
  setError(ErrorNoMemory, "early");
  debugMessage("early debug");
  ASSERT_EQ(g_reports.size(), 2u);
  EXPECT_EQ(g_reports[0].nameText, "General Error");
  EXPECT_EQ(g_reports[1].nameText, "");
}

TEST_F(ReportTest, SetErrorDebugMessageAndAssert) {
  setError(ErrorMfsInitError, "Invalid table MFS. The table is loaded but data is empty.");
  debugMessage("tables loaded");
  kyMfsAssert("entry list out of order");
  ASSERT_EQ(g_reports.size(), 3u);
  EXPECT_EQ(g_reports[0].level, Error);
  EXPECT_EQ(g_reports[0].name, ErrorMfsInitError);
  EXPECT_EQ(g_reports[0].nameText, "Failed to initialize MFS.");
  EXPECT_EQ(g_reports[0].message, "Invalid table MFS. The table is loaded but data is empty.");
  EXPECT_EQ(g_reports[1].level, Debug);
  EXPECT_EQ(g_reports[1].name, ErrorNone);
  EXPECT_EQ(g_reports[1].nameText, "");
  EXPECT_EQ(g_reports[1].message, "tables loaded");
  EXPECT_EQ(g_reports[2].level, Error);
  EXPECT_EQ(g_reports[2].name, ErrorNone);
  EXPECT_EQ(g_reports[2].nameText, "");
  EXPECT_EQ(g_reports[2].message, "entry list out of order");
}

TEST_F(ReportTest, LibErrorMessageIsTheFixedTextAndTheSignedStatus) {
  setLibError(ErrorFcsFlush, 5);
  setLibError(ErrorMfsInitError, -1);
  setLibError(ErrorFtblLoadFail, 0);
  setLibError(ErrorFcsGetFile, INT32_MIN);
  ASSERT_EQ(g_reports.size(), 4u);
  EXPECT_EQ(g_reports[0].level, Error);
  EXPECT_EQ(g_reports[0].name, ErrorFcsFlush);
  EXPECT_EQ(g_reports[0].nameText, "Failed to flush FCS buffer into memory.");
  EXPECT_EQ(g_reports[0].message, " Library status code: 5");
  EXPECT_EQ(g_reports[1].message, " Library status code: -1");
  EXPECT_EQ(g_reports[1].nameText, "Failed to initialize MFS.");
  EXPECT_EQ(g_reports[2].message, " Library status code: 0");
  EXPECT_EQ(g_reports[3].message, " Library status code: -2147483648");
}

TEST_F(ReportTest, ANewCallbackReplacesTheOld) {
  EXPECT_EQ(kyMfsGetStatusCallback(), &recordReport);
  kyMfsSetStatusCallback(recordOther);
  setError(ErrorInit, "to the other one");
  EXPECT_TRUE(g_reports.empty());
  ASSERT_EQ(g_otherReports.size(), 1u);
  EXPECT_EQ(g_otherReports[0].message, "to the other one");
}

TEST_F(ReportTest, MemCpyWithCountZeroSucceedsWithoutLookingAtPointers) {
  EXPECT_EQ(kyMfsMemCpy(nullptr, 0, nullptr, 0), SUCCESS);
  EXPECT_EQ(kyMfsMemCpy(nullptr, 16, nullptr, 0), SUCCESS);
  EXPECT_TRUE(g_reports.empty());
}

TEST_F(ReportTest, MemCpyReportsFailures) {
  uint8_t dest[4] = {9, 9, 9, 9};
  const uint8_t src[5] = {1, 2, 3, 4, 5};
  EXPECT_EQ(kyMfsMemCpy(dest, sizeof dest, src, sizeof src), SAFE_FUNC_ERROR_INVALID_SIZE);
  EXPECT_EQ(kyMfsMemCpy(nullptr, 4, src, 4), INTERNAL_ERROR);
  EXPECT_EQ(kyMfsMemCpy(dest, sizeof dest, dest + 1, 3), SAFE_FUNC_ERROR_MEMNCPY);
  ASSERT_EQ(g_reports.size(), 3u);
  EXPECT_EQ(g_reports[0].level, Error);
  EXPECT_EQ(g_reports[0].name, ErrorNoMemory);
  EXPECT_EQ(g_reports[0].nameText, "Out of memory.");
  EXPECT_EQ(g_reports[0].message, "Memory copy failed with error 40");
  EXPECT_EQ(g_reports[1].message, "Memory copy failed with error 3");
  EXPECT_EQ(g_reports[2].message, "Memory copy failed with error 43");
  for (uint8_t b : dest) EXPECT_EQ(b, 9);
}

TEST_F(ReportTest, MemCpyCopiesWithoutReport) {
  uint8_t dest[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  const uint8_t src[4] = {1, 2, 3, 4};
  EXPECT_EQ(kyMfsMemCpy(dest, 4, src, 4), SUCCESS);
  const uint8_t expected[6] = {1, 2, 3, 4, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(dest, expected, sizeof dest), 0);
  EXPECT_TRUE(g_reports.empty());
}

}  // namespace
