// The handle API: statuses in the order the checks are made, record
// contents, attributes, listing and deletion.
#include <cstring>
#include <memory>

#include "fcs/FCS.h"
#include "fcs/File.h"
#include "fcs_test_table.h"

using namespace fcs_test;

namespace {

using FcsHandleTest = FcsTest;

TEST_F(FcsHandleTest, HandleLifecycle) {
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, createHandle(nullptr));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, closeHandle(nullptr));
  Bytes empty(4, 0);
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, createHandleFromStructure(nullptr, empty.data(), 4));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, createHandleFromStructure(&handle, nullptr, 4));
  EXPECT_EQ(nullptr, handle);

  ASSERT_EQ(FCS_OK, createHandle(&handle));
  ASSERT_NE(nullptr, handle);
  ASSERT_EQ(FCS_OK, add(handle, rec("a", pattern(3, 1))));
  EXPECT_EQ(FCS_OK, closeHandle(&handle));
  EXPECT_EQ(nullptr, handle);
  EXPECT_EQ(FCS_ERR_INVALID_HANDLE, closeHandle(&handle));
}

TEST_F(FcsHandleTest, NullHandleGivesSix) {
  Bytes record = tarn_test::fcs_record(rec("a", {}));
  char name[FCS_FILE_NAME_BUFFER_SIZE];
  uint32_t size = 100;
  cfg_file_entry_with_file_attributes_t attributes;
  EXPECT_EQ(FCS_ERR_INVALID_HANDLE, addNewFile(nullptr, "", "a", record.data(), 12, false));
  EXPECT_EQ(FCS_ERR_INVALID_HANDLE, deleteFile(nullptr, "a"));
  EXPECT_EQ(FCS_ERR_INVALID_HANDLE, getFileData(nullptr, "a", record.data(), &size));
  EXPECT_EQ(FCS_ERR_INVALID_HANDLE, getFileAttributes(nullptr, "a", &attributes));
  EXPECT_EQ(FCS_ERR_INVALID_HANDLE, getFirstFileInRoot(nullptr, name));
  EXPECT_EQ(FCS_ERR_INVALID_HANDLE, getNextFile(nullptr, name));
  EXPECT_EQ(FCS_ERR_INVALID_HANDLE, flush(nullptr, name, &size));
}

TEST_F(FcsHandleTest, AddNewFileChecksInOrder) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  Bytes record = tarn_test::fcs_record(rec("a", pattern(4, 1)));
  // Too short comes before a null buffer or name.
  EXPECT_EQ(FCS_ERR_BUFFER_TOO_SMALL, addNewFile(handle, "", "a", nullptr, 11, false));
  EXPECT_EQ(FCS_ERR_BUFFER_TOO_SMALL, addNewFile(handle, "", "a", record.data(), 11, false));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, addNewFile(handle, "", "a", nullptr, 16, false));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, addNewFile(handle, "", nullptr, record.data(), 16, false));
  // A record without a name could be neither listed nor deleted.
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, addNewFile(handle, "", "", record.data(), 16, false));
  Bytes unnamedZero = tarn_test::fcs_record(rec("a", pattern(4, 1)));
  put_u32(unnamedZero, tarn_test::kFcsFilenoAt, 0);
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, addNewFile(handle, "", "", unnamedZero.data(), 16, false));
  EXPECT_EQ(0u, get_u32(&unnamedZero[tarn_test::kFcsFilenoAt]));

  // Number 0 and a name the file table lacks: 2, buffer untouched.
  Bytes zero = tarn_test::fcs_record(rec("a", pattern(4, 1)));
  put_u32(zero, tarn_test::kFcsFilenoAt, 0);
  const Bytes zeroBefore = zero;
  EXPECT_EQ(FCS_ERR_NAME_NOT_IN_TABLE, addNewFile(handle, "", "nope", zero.data(), 16, false));
  EXPECT_EQ(zeroBefore, zero);

  // A number the file table lacks: 8.
  Bytes stranger = record;
  put_u32(stranger, tarn_test::kFcsFilenoAt, kUnknownFileno);
  EXPECT_EQ(FCS_ERR_INVALID_ENTRY, addNewFile(handle, "", "a", stranger.data(), 16, false));
  EXPECT_TRUE(listAll(handle).empty());
}

TEST_F(FcsHandleTest, AddIgnoresRelativePathEvenNull) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  Bytes record = tarn_test::fcs_record(rec("a", pattern(4, 1)));
  ASSERT_EQ(FCS_OK, addNewFile(handle, nullptr, "a", record.data(), 16, false));
  Bytes other = tarn_test::fcs_record(rec("b", pattern(3, 2)));
  ASSERT_EQ(FCS_OK, addNewFile(handle, "some/dir", "b", other.data(), 15, false));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), listAll(handle));
  EXPECT_EQ(record, recordOf(handle, "a"));
}

TEST_F(FcsHandleTest, ZeroNumberIsLookedUpByNameAndWrittenBack) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  Bytes record = tarn_test::fcs_record(rec("/home/b", pattern(5, 1)));
  put_u32(record, tarn_test::kFcsFilenoAt, 0);
  ASSERT_EQ(FCS_OK, addNewFile(handle, "", "/home/b", record.data(), 17, false));
  EXPECT_EQ(filenoOf("/home/b"), get_u32(&record[tarn_test::kFcsFilenoAt]));
  EXPECT_EQ(record, recordOf(handle, "/home/b"));
  EXPECT_EQ(tarn_test::write_fcs_buffer({rec("/home/b", pattern(5, 1))}), flushAll(handle));

  // The number reaches the caller's buffer even when a later check fails.
  Bytes big = tarn_test::fcs_record(rec("/home/a", pattern(17, 1)));
  put_u32(big, tarn_test::kFcsFilenoAt, 0);
  EXPECT_EQ(FCS_ERR_FILE_TOO_LARGE, addNewFile(handle, "", "/home/a", big.data(), 29, true));
  EXPECT_EQ(filenoOf("/home/a"), get_u32(&big[tarn_test::kFcsFilenoAt]));
}

TEST_F(FcsHandleTest, MaxFileSizeAtAndAboveTheLimit) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  // "/home/a" allows 16 payload bytes.
  EXPECT_EQ(FCS_ERR_FILE_TOO_LARGE, add(handle, rec("/home/a", pattern(17, 1)), true));
  EXPECT_TRUE(listAll(handle).empty());
  EXPECT_EQ(FCS_OK, add(handle, rec("/home/a", pattern(16, 1)), true));
  // Without enforcement the limit does not apply.
  EXPECT_EQ(FCS_OK, add(handle, rec(kLongName(), pattern(kLongMax + 1, 1)), false));
}

TEST_F(FcsHandleTest, DuplicateNamesAreRefused) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  ASSERT_EQ(FCS_OK, add(handle, rec(kLongName(), pattern(2, 1))));
  EXPECT_EQ(FCS_ERR_FILE_EXISTS, add(handle, rec(kLongName(), pattern(3, 2))));
  // A longer name whose first 48 characters are taken is the same name.
  Bytes record = tarn_test::fcs_record(rec(kLongName(), pattern(3, 2)));
  const std::string longer = kLongName() + "tail";
  EXPECT_EQ(FCS_ERR_FILE_EXISTS,
            addNewFile(handle, "", longer.c_str(), record.data(), 15, false));
  EXPECT_EQ((std::vector<std::string>{kLongName()}), listAll(handle));
  EXPECT_EQ(tarn_test::fcs_record(rec(kLongName(), pattern(2, 1))), recordOf(handle, kLongName()));
}

TEST_F(FcsHandleTest, StoredRecordTakesItsLengthFromItsSize) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  // A header alone is an empty record, whatever length it claims.
  Bytes header = tarn_test::fcs_record(rec("a", {}, 0x0001), 77, 999);
  ASSERT_EQ(FCS_OK, addNewFile(handle, "", "a", header.data(), 12, false));
  EXPECT_EQ(tarn_test::fcs_record(rec("a", {}, 0x0001), 77, 0), recordOf(handle, "a"));

  Bytes record = tarn_test::fcs_record(rec("b", pattern(9, 3)), 5, 2);
  ASSERT_EQ(FCS_OK, addNewFile(handle, "", "b", record.data(), 21, false));
  EXPECT_EQ(9u, get_u16(&recordOf(handle, "b")[tarn_test::kFcsLengthAt]));
  // The caller's header is not changed.
  EXPECT_EQ(2u, get_u16(&record[tarn_test::kFcsLengthAt]));
}

TEST_F(FcsHandleTest, RecordIsStoredUnderTheGivenNameCutTo48) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  Bytes record = tarn_test::fcs_record(rec(kLongName(), pattern(3, 1)));
  const std::string longer = kLongName() + "X";
  ASSERT_EQ(FCS_OK, addNewFile(handle, "ignored/path", longer.c_str(), record.data(), 15, false));
  EXPECT_EQ((std::vector<std::string>{kLongName()}), listAll(handle));
  uint32_t size = 100;
  Bytes out(100);
  EXPECT_EQ(FCS_ERR_FILE_NOT_FOUND, getFileData(handle, longer.c_str(), out.data(), &size));
  EXPECT_EQ(record, recordOf(handle, kLongName()));
}

TEST_F(FcsHandleTest, GetFileDataSizeProtocol) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  const FcsRecord r = rec("/home/b", pattern(20, 1), 0x0001);
  ASSERT_EQ(FCS_OK, add(handle, r));
  Bytes out(40, 0xCC);
  uint32_t size = 31;
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, getFileData(handle, "/home/b", nullptr, &size));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, getFileData(handle, "/home/b", out.data(), nullptr));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, getFileData(handle, nullptr, out.data(), &size));
  EXPECT_EQ(FCS_ERR_FILE_NOT_FOUND, getFileData(handle, "/home/a", out.data(), &size));
  EXPECT_EQ(FCS_ERR_FILE_NOT_FOUND, getFileData(handle, "/home/b/", out.data(), &size));
  EXPECT_EQ(31u, size);

  EXPECT_EQ(FCS_ERR_BUFFER_TOO_SMALL, getFileData(handle, "/home/b", out.data(), &size));
  EXPECT_EQ(32u, size);
  EXPECT_EQ(Bytes(40, 0xCC), out);

  size = 32;
  ASSERT_EQ(FCS_OK, getFileData(handle, "/home/b", out.data(), &size));
  EXPECT_EQ(32u, size);
  EXPECT_EQ(tarn_test::fcs_record(r), Bytes(out.begin(), out.begin() + 32));
  EXPECT_EQ(Bytes(8, 0xCC), Bytes(out.begin() + 32, out.end()));
}

TEST_F(FcsHandleTest, AttributesComeFromHeaderAndFileTable) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  const FcsRecord r = rec(kLongName(), pattern(6, 1), 0x0001);
  ASSERT_EQ(FCS_OK, add(handle, r));
  cfg_file_entry_with_file_attributes_t attributes;
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, getFileAttributes(handle, kLongName().c_str(), nullptr));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, getFileAttributes(handle, nullptr, &attributes));
  EXPECT_EQ(FCS_ERR_FILE_NOT_FOUND, getFileAttributes(handle, "a", &attributes));

  ASSERT_EQ(FCS_OK, getFileAttributes(handle, kLongName().c_str(), &attributes));
  Bytes raw(sizeof attributes);
  std::memcpy(raw.data(), &attributes, sizeof attributes);
  Bytes expected = tarn_test::fcs_record(rec(kLongName(), {}, 0x0001), 0, 6);
  tarn_test::put_u16(expected, 12, kLongAttributes);
  tarn_test::put_u32(expected, 14, kLongMax);
  EXPECT_EQ(expected, raw);

  // A record stored under a name the file table lacks: header written, then 8.
  Bytes alias = tarn_test::fcs_record(rec("x", pattern(2, 1), 0x0001));
  ASSERT_EQ(FCS_OK, addNewFile(handle, "", "alias", alias.data(), 14, false));
  std::memset(&attributes, 0xEE, sizeof attributes);
  EXPECT_EQ(FCS_ERR_INVALID_ENTRY, getFileAttributes(handle, "alias", &attributes));
  std::memcpy(raw.data(), &attributes, sizeof attributes);
  EXPECT_EQ(Bytes(alias.begin(), alias.begin() + 12), Bytes(raw.begin(), raw.begin() + 12));
  EXPECT_EQ(Bytes(6, 0xEE), Bytes(raw.begin() + 12, raw.end()));
}

TEST_F(FcsHandleTest, ListingOrderAndEnd) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  char name[FCS_FILE_NAME_BUFFER_SIZE];
  EXPECT_EQ(FCS_ERR_NO_MORE_FILES, getFirstFileInRoot(handle, name));
  EXPECT_EQ(FCS_ERR_NO_MORE_FILES, getNextFile(handle, name));
  EXPECT_EQ(FCS_ERR_NO_MORE_FILES, getNextFile(handle, name));

  for (const char* n : {"b", "B", "a", "ab"}) ASSERT_EQ(FCS_OK, add(handle, rec(n, pattern(1, 1))));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, getFirstFileInRoot(handle, nullptr));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, getNextFile(handle, nullptr));
  EXPECT_EQ((std::vector<std::string>{"B", "a", "ab", "b"}), listAll(handle));
  EXPECT_EQ(FCS_ERR_NO_MORE_FILES, getNextFile(handle, name));
  EXPECT_EQ(FCS_ERR_NO_MORE_FILES, getNextFile(handle, name));
  // getFirstFileInRoot restarts after the end.
  ASSERT_EQ(FCS_OK, getFirstFileInRoot(handle, name));
  EXPECT_STREQ("B", name);
}

TEST_F(FcsHandleTest, AddAndDeleteRestartTheListing) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  for (const char* n : {"B", "a", "ab"}) ASSERT_EQ(FCS_OK, add(handle, rec(n, pattern(1, 1))));
  char name[FCS_FILE_NAME_BUFFER_SIZE];
  ASSERT_EQ(FCS_OK, getFirstFileInRoot(handle, name));
  ASSERT_EQ(FCS_OK, getNextFile(handle, name));
  ASSERT_EQ(FCS_OK, getNextFile(handle, name));
  EXPECT_STREQ("ab", name);

  // The walk restarts at the first name, so the next step yields the second.
  ASSERT_EQ(FCS_OK, add(handle, rec("b", pattern(1, 1))));
  ASSERT_EQ(FCS_OK, getNextFile(handle, name));
  EXPECT_STREQ("a", name);
  // A failed add does not restart it.
  EXPECT_EQ(FCS_ERR_FILE_EXISTS, add(handle, rec("b", pattern(1, 1))));
  ASSERT_EQ(FCS_OK, getNextFile(handle, name));
  EXPECT_STREQ("ab", name);

  ASSERT_EQ(FCS_OK, deleteFile(handle, "B"));
  ASSERT_EQ(FCS_OK, getNextFile(handle, name));
  EXPECT_STREQ("ab", name);
  ASSERT_EQ(FCS_OK, getNextFile(handle, name));
  EXPECT_STREQ("b", name);
  EXPECT_EQ(FCS_ERR_NO_MORE_FILES, getNextFile(handle, name));

  // Deleting everything leaves nothing to list.
  for (const char* n : {"a", "ab", "b"}) ASSERT_EQ(FCS_OK, deleteFile(handle, n));
  EXPECT_EQ(FCS_ERR_NO_MORE_FILES, getNextFile(handle, name));
  EXPECT_EQ(FCS_ERR_NO_MORE_FILES, getFirstFileInRoot(handle, name));
}

// Reads find the first record of a name even right after the listing
// yielded a later one of the same name (which only the tree's own addFile can
// put there).
TEST_F(FcsHandleTest, ReadsAfterListingFindTheFirstOfAName) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  const FcsRecord first = rec("a", pattern(3, 1)), second = rec("a", pattern(5, 2));
  ASSERT_EQ(FCS_OK, add(handle, first));
  Bytes bytes = tarn_test::fcs_record(second);
  handle->root->addFile("", std::make_shared<image_editor::File>(
                                bytes.data(), static_cast<uint32_t>(bytes.size()), "a"));
  char name[FCS_FILE_NAME_BUFFER_SIZE];
  ASSERT_EQ(FCS_OK, getFirstFileInRoot(handle, name));
  ASSERT_EQ(FCS_OK, getNextFile(handle, name));
  EXPECT_STREQ("a", name);  // the second record, listed

  const Bytes expected = tarn_test::fcs_record(first);
  Bytes out(64, 0xEE);
  uint32_t size = static_cast<uint32_t>(out.size());
  ASSERT_EQ(FCS_OK, getFileData(handle, "a", out.data(), &size));
  EXPECT_EQ(expected, Bytes(out.begin(), out.begin() + size));
  cfg_file_entry_with_file_attributes_t attributes;
  ASSERT_EQ(FCS_OK, getFileAttributes(handle, "a", &attributes));
  EXPECT_EQ(3u, attributes.cfg_file_entry.length);
}

TEST_F(FcsHandleTest, DeleteFindsWholeNamesThenWalksThePath) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  for (const char* n : {"/home/a", "/home/b", "x", "a"})
    ASSERT_EQ(FCS_OK, add(handle, rec(n, pattern(2, 1))));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, deleteFile(handle, nullptr));
  EXPECT_EQ(FCS_ERR_FILE_NOT_FOUND, deleteFile(handle, ""));
  EXPECT_EQ(FCS_ERR_FILE_NOT_FOUND, deleteFile(handle, "/home"));
  EXPECT_EQ(FCS_ERR_FILE_NOT_FOUND, deleteFile(handle, "x/y"));

  EXPECT_EQ(FCS_OK, deleteFile(handle, "/home/a"));
  EXPECT_EQ(FCS_OK, deleteFile(handle, "x/"));
  EXPECT_EQ(FCS_ERR_FILE_NOT_FOUND, deleteFile(handle, "/home/a"));
  EXPECT_EQ((std::vector<std::string>{"/home/b", "a"}), listAll(handle));
  EXPECT_EQ(tarn_test::write_fcs_buffer({rec("/home/b", pattern(2, 1)), rec("a", pattern(2, 1))}),
            flushAll(handle));
}

TEST_F(FcsHandleTest, BuiltTableFlushesLikeTheWriter) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  std::vector<FcsRecord> records;
  for (const TableFile& f : tableFiles())
    records.push_back(rec(f.name, pattern(f.fileno % 7 + 3, static_cast<uint8_t>(f.fileno >> 8)),
                          static_cast<uint16_t>(f.fileno >> 16)));
  records.push_back(rec(kLongName(), pattern(11, 9)));
  for (size_t i = records.size(); i-- > 0;) ASSERT_EQ(FCS_OK, add(handle, records[i]));
  const Bytes flushed = flushAll(handle);
  EXPECT_EQ(tarn_test::write_fcs_buffer_by_name(records), flushed);

  // Loaded into a new handle, the same records come back in the same order.
  FCS_HANDLE again = nullptr;
  ASSERT_EQ(FCS_OK, createHandleFromStructure(&again, flushed.data(),
                                              static_cast<uint32_t>(flushed.size())));
  EXPECT_EQ(listAll(handle), listAll(again));
  EXPECT_EQ(flushed, flushAll(again));
  EXPECT_EQ(FCS_OK, closeHandle(&again));
}

}  // namespace
