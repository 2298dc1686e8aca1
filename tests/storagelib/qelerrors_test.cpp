// The error catalogue: enumerator values the host depends on, the texts given
// to the host word for word, the fallback text and the filling.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "qelerrors_access.h"
#include "storagelib/qelerrors.h"

namespace {

// The host receives these numbers; each must stay where it is. The spread
// covers both ends of every block the list is given in, including the gap
// at 49.
static_assert(ErrorNone == 0 && ErrorInit == 1 && ErrorDecompImage == 9, "");
static_assert(ErrorDecompRegion == 10 && ErrorDecompBpdtEntry == 19, "");
static_assert(ErrorPreBuildActions == 20 && ErrorRound == 29, "");
static_assert(ErrorUpdateAttribute == 30 && ErrorFileNotFound == 38 && ErrorFileWrongName == 39, "");
static_assert(ErrorInvalidVscc == 40 && ErrorInvalidVsccFile == 48, "");
static_assert(ErrorGuiNotSupported == 50 && ErrorInvalidCfgClassInstance == 59, "");
static_assert(ErrorMissingTag == 60 && ErrorCliVersionBuild == 68, "");
static_assert(ErrorCliDataVer == 90 && ErrorWrite == 99, "");
static_assert(ErrorWriteSizeMismatch == 100 && ErrorCastBuffer == 113, "");
static_assert(ErrorMalloc == 178 && ErrorZreParse == 179 && ErrorOutOfSpace == 180, "");
static_assert(ErrorLoadingDataSubPartition == 250 && GeneralError == 251, "");
static_assert(ErrorNvarIndexConversionError == 260 && ErrorReadingNvarValue == 279, "");
static_assert(ErrorDuplicateFileLabel == 306 && ErrorResolvingType == 299, "");
static_assert(ErrorUnknownProject == 319 && ErrorInvalidPointer == 320, "");
static_assert(ErrorDuplicateFile == 326 && ErrorAccessError == 346, "");
static_assert(ErrorReadFile == 366 && ErrorExportManifest == 370, "");
static_assert(ErrorCorruptedBuffer == 398 && ErrorSignDesc == 399, "");
static_assert(ErrorCliCloFormat == 400 && ErrorFtblLoadFail == 401, "");
static_assert(ErrorLoadingFdcrBinary == 409 && ErrorSarnupNotSupportedLiteSku == 410, "");
static_assert(ErrorListCount == 411, "");
static_assert(ErrorTypeNone == 0 && ErrorTypeKyMFS == 17 && ErrorTypeImageMetadataGenerator == 28 &&
                  ErrorTypesCount == 29, "");
static_assert(sizeof(ImageToolsErrorName) == 4 && sizeof(ImageToolsErrorType) == 4, "");

struct GivenText {
  ImageToolsErrorName name;
  int value;
  const char* text;
};

// The texts the host already shows to its users, spelling mistakes included.
const GivenText kGivenTexts[] = {
    {ErrorNone, 0, "No Error"},
    {ErrorInit, 1, "Initialize Error"},
    {ErrorFileNotFound, 38, "File not found."},
    {ErrorWrite, 99, "Error writing to file."},
    {ErrorCastBuffer, 113, "Detected error in buffer parsing operation."},
    {GeneralError, 251, "General error."},
    {ErrorUnknownProject, 319, "Unknown Project."},
    {ErrorInvalidPointer, 320, "Invalid data pointer."},
    {ErrorNoMemory, 321, "Out of memory."},
    {ErrorRemovingFcsFileEntry, 322, "Unable to remove file entry from FCS table."},
    {ErrorMfsNotInitialized, 323, "MFS was not initialized."},
    {ErrorFcsNotInitialized, 324, "FCS was not initialized."},
    {ErrorProcessingFcsEntries, 325, "Failed to process FCS entries."},
    {ErrorDuplicateFile, 326, "Detected duplicate special file label."},
    {ErrorFileAlreadyInUseByOtherTable, 327, "FileEntry already being used by another FCS table."},
    {ErrorFcsCreateHandle, 328, "Failed to create FCS handle."},
    {ErrorFcsGetFile, 329, "Failed to get file from FCS."},
    {ErrorFcsGetFileAttributes, 330, "Failed to get file file attributes from FCS."},
    {ErrorFcsAddNewFile, 331, "Failed to add new file to FCS."},
    {ErrorFcsDeleteFile, 332, "Failed to delete frile from FCS."},
    {ErrorFcsFlush, 333, "Failed to flush FCS buffer into memory."},
    {ErrorFcsInvalidFile, 334, "Invalid FCS file"},
    {ErrorTerm, 335, "Failed to terminate MFS library."},
    {ErrorGetFileSize, 336, "Failed to get file size from MFS."},
    {ErrorDelete, 337, "Failed to delete file from MFS."},
    {ErrorUnableToDecomposeImage, 338, "Failed to decompose ZRE image."},
    {ErrorMfsInitError, 339, "Failed to initialize MFS."},
    {ErrorEfsInitError, 340, "Failed to initialize EFS."},
    {ErrorLoadingOrvanCfg, 341, "Failed to load Orvan.cfg table."},
    {ErrorLoadingQelCfg, 342, "Failed to load Qel.cfg table."},
    {ErrorCreatingCurrentValsTable, 343, "Failed to create the current values table."},
    {ErrorGenCurrentValsTable, 344, "Failed to generate the current values table."},
    {ErrorCreatingNewQelCfg, 345, "Failed to create new Qel.cfg table."},
    {ErrorAccessError, 346, "NVAR Access error."},
    {ErrorReadFile, 366, "Unable to read file."},
    {ErrorCorruptedBuffer, 398, "Corrupted Buffer Detected."},
    {ErrorFtblLoadFail, 401, "Failed to load ftbl file."},
};

const char* const kTypeTexts[] = {
    "No Error",           "[Action Processor] ",       "[Bin Actions] ",      "[Qel Converter] ",
    "[Zolt Binary Gen] ", "[Qel Actions] ",            "[Qel File I/O] ",     "[Qel Utils] ",
    "[Framework C Lib] ", "[KY Util] ",                "[Xml Processor] ",    "[Qel] ",
    "[RQD Utils] ",       "[Plim Actions] ",           "[IMR Actions] ",      "[Ksop Controller] ",
    "[GPIO Actions] ",    "[KY MFS] ",                 "[Nvar Actions] ",     "[Manifest] ",
    "[Manifest Actions] ", "[Crypto Actions] ",        "[ZOLT Actions] ",     "[Elf Actions] ",
    "[Huffman Utils] ",   "[System Resources] ",       "[SysCall Actions] ",  "[Image Utils] ",
    "[Image Metadata Generator] ",
};
static_assert(sizeof kTypeTexts / sizeof kTypeTexts[0] == 29, "");

class QelErrorsTest : public ::testing::Test {
 protected:
  void TearDown() override { ASSERT_TRUE(QelErrors::init()); }
};

TEST_F(QelErrorsTest, EveryLookupFallsBackBeforeTheFirstFill) {
  QelErrorsInspector::emptyTables();
  EXPECT_EQ(QelErrors::getErrorNameString(ErrorNone), "General Error");
  EXPECT_EQ(QelErrors::getErrorNameString(ErrorNoMemory), "General Error");
  EXPECT_EQ(QelErrors::getErrorNameString(GeneralError), "General Error");
  // A lookup never adds a row.
  EXPECT_TRUE(QelErrorsInspector::names().empty());
  EXPECT_TRUE(QelErrorsInspector::types().empty());
}

TEST_F(QelErrorsTest, GivenTextsAreReturnedExactly) {
  ASSERT_TRUE(QelErrors::init());
  for (const GivenText& row : kGivenTexts) {
    EXPECT_EQ(static_cast<int>(row.name), row.value);
    EXPECT_EQ(QelErrors::getErrorNameString(row.name), row.text) << row.value;
  }
  EXPECT_EQ(QelErrors::getErrorNameString(ErrorDuplicateFileLabel),
            QelErrors::getErrorNameString(ErrorDuplicateFile));
  EXPECT_EQ(QelErrors::getErrorNameString(ErrorDuplicateFileLabel),
            "Detected duplicate special file label.");
}

TEST_F(QelErrorsTest, NamesWithoutRowGetTheFallbackNotGeneralErrorsText) {
  ASSERT_TRUE(QelErrors::init());
  EXPECT_EQ(QelErrors::getErrorNameString(GeneralError), "General error.");
  EXPECT_EQ(QelErrors::getErrorNameString(ErrorListCount), "General Error");
  EXPECT_EQ(QelErrors::getErrorNameString(static_cast<ImageToolsErrorName>(49)), "General Error");
  EXPECT_EQ(QelErrors::getErrorNameString(static_cast<ImageToolsErrorName>(-1)), "General Error");
  EXPECT_EQ(QelErrors::getErrorNameString(static_cast<ImageToolsErrorName>(100000)),
            "General Error");
  EXPECT_EQ(QelErrorsInspector::names().count(ErrorListCount), 0u);
  EXPECT_EQ(QelErrorsInspector::names().count(static_cast<ImageToolsErrorName>(49)), 0u);
}

TEST_F(QelErrorsTest, NameTableHasOneNonEmptyRowPerName) {
  ASSERT_TRUE(QelErrors::init());
  const auto& names = QelErrorsInspector::names();
  EXPECT_EQ(names.size(), 410u);
  std::set<int> expected;
  for (int v = 0; v <= 410; ++v)
    if (v != 49) expected.insert(v);
  std::set<int> actual;
  for (const auto& row : names) {
    actual.insert(static_cast<int>(row.first));
    EXPECT_FALSE(row.second.empty()) << row.first;
    EXPECT_NE(row.second, "General Error") << row.first;
  }
  EXPECT_EQ(actual, expected);
}

TEST_F(QelErrorsTest, TypeTableIsExactIncludingTrailingBlanks) {
  ASSERT_TRUE(QelErrors::init());
  const auto& types = QelErrorsInspector::types();
  ASSERT_EQ(types.size(), 29u);
  for (int v = 0; v < ErrorTypesCount; ++v) {
    const auto it = types.find(static_cast<ImageToolsErrorType>(v));
    ASSERT_NE(it, types.end()) << v;
    EXPECT_EQ(it->second, kTypeTexts[v]) << v;
    if (v != ErrorTypeNone) {
      ASSERT_GE(it->second.size(), 2u);
      EXPECT_EQ(it->second.back(), ' ') << v;
      EXPECT_NE(it->second[it->second.size() - 2], ' ') << v;
    }
  }
  EXPECT_EQ(types.at(ErrorTypeKyMFS), "[KY MFS] ");
  EXPECT_EQ(types.at(ErrorTypeNone), "No Error");
  EXPECT_EQ(types.count(ErrorTypesCount), 0u);
}

TEST_F(QelErrorsTest, SecondFillGivesTheSameTables) {
  ASSERT_TRUE(QelErrors::init());
  const auto names = QelErrorsInspector::names();
  const auto types = QelErrorsInspector::types();
  EXPECT_TRUE(QelErrors::init());
  EXPECT_EQ(QelErrorsInspector::names(), names);
  EXPECT_EQ(QelErrorsInspector::types(), types);
}

TEST_F(QelErrorsTest, LookupReturnsACopy) {
  ASSERT_TRUE(QelErrors::init());
  std::string text = QelErrors::getErrorNameString(ErrorNoMemory);
  text += " changed";
  EXPECT_EQ(QelErrors::getErrorNameString(ErrorNoMemory), "Out of memory.");
}

}  // namespace
