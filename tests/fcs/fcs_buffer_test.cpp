// Loading FCS buffers written by the independent test writer, bound checks
// on hostile buffers, and flush output compared byte for byte.
#include "fcs/FCS.h"
#include "fcs_test_table.h"

using namespace fcs_test;

namespace {

class FcsBufferTest : public FcsTest {
 protected:
  int load(const Bytes& buffer) { return load(buffer, static_cast<uint32_t>(buffer.size())); }
  int load(const Bytes& buffer, uint32_t size) {
    if (handle != nullptr) closeHandle(&handle);
    return createHandleFromStructure(&handle, buffer.data(), size);
  }
  std::vector<FcsRecord> mixed() {
    return {rec("b", pattern(5, 1), 1), rec("/home/b", pattern(300, 2)), rec("B", {}, 0x8001),
            rec("ab", pattern(1, 3)), rec(kLongName(), pattern(48, 4), 0x0100),
            rec("a", pattern(2, 5)), rec("/home/a", pattern(16, 6), 1)};
  }
};

TEST_F(FcsBufferTest, EmptyTableIsFourBytes) {
  Bytes empty(4, 0);
  ASSERT_EQ(FCS_OK, load(empty));
  EXPECT_TRUE(listAll(handle).empty());
  uint32_t size = 0;
  Bytes out(8, 0xCC);
  EXPECT_EQ(FCS_ERR_BUFFER_TOO_SMALL, flush(handle, out.data(), &size));
  EXPECT_EQ(4u, size);
  EXPECT_EQ(Bytes(8, 0xCC), out);
  size = 8;
  EXPECT_EQ(FCS_OK, flush(handle, out.data(), &size));
  EXPECT_EQ(4u, size);
  EXPECT_EQ((Bytes{0, 0, 0, 0, 0xCC, 0xCC, 0xCC, 0xCC}), out);
}

TEST_F(FcsBufferTest, ShorterThanCountOrHeadersIsRefused) {
  for (uint32_t size = 0; size < 4; ++size) {
    EXPECT_EQ(FCS_ERR_LOAD_FAILED, load(Bytes(4, 0), size)) << size;
    EXPECT_EQ(nullptr, handle);
  }
  // Two empty records: the headers end at 28.
  Bytes buffer = tarn_test::write_fcs_buffer({rec("a", {}), rec("b", {})});
  ASSERT_EQ(28u, buffer.size());
  for (uint32_t size = 25; size < 28; ++size) {
    EXPECT_EQ(FCS_ERR_LOAD_FAILED, load(buffer, size)) << size;
    EXPECT_EQ(nullptr, handle);
  }
  EXPECT_EQ(FCS_OK, load(buffer, 28));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), listAll(handle));
}

TEST_F(FcsBufferTest, CountWhoseHeadersExceed32BitsIsRefused) {
  // 12 * 0x15555556 = 0x1_0000_0008: wrapped to 32 bits the headers would
  // seem to end at 12.
  Bytes buffer(64, 0);
  put_u32(buffer, 0, 0x15555556u);
  EXPECT_EQ(FCS_ERR_LOAD_FAILED, load(buffer));
  put_u32(buffer, 0, 0xFFFFFFFFu);
  EXPECT_EQ(FCS_ERR_LOAD_FAILED, load(buffer));
  EXPECT_EQ(nullptr, handle);
}

TEST_F(FcsBufferTest, PayloadMustLieInsideTheBuffer) {
  Bytes buffer = tarn_test::write_fcs_buffer({rec("a", pattern(10, 9))});
  ASSERT_EQ(16u + 10u, buffer.size());
  // Ends exactly at the end.
  EXPECT_EQ(FCS_OK, load(buffer));
  // One past the end.
  put_u32(buffer, tarn_test::fcs_header_at(0) + tarn_test::kFcsOffsetAt, 17);
  EXPECT_EQ(FCS_ERR_LOAD_FAILED, load(buffer));
  EXPECT_EQ(nullptr, handle);
  // An offset that wraps around 32 bits with the length.
  put_u32(buffer, tarn_test::fcs_header_at(0) + tarn_test::kFcsOffsetAt, 0xFFFFFFFAu);
  EXPECT_EQ(FCS_ERR_LOAD_FAILED, load(buffer));
  // A bad payload fails the load even for a number the file table lacks.
  put_u32(buffer, tarn_test::fcs_header_at(0) + tarn_test::kFcsFilenoAt, kUnknownFileno);
  EXPECT_EQ(FCS_ERR_LOAD_FAILED, load(buffer));
}

TEST_F(FcsBufferTest, EmptyRecordIgnoresItsOffset) {
  Bytes buffer = tarn_test::write_fcs_buffer({rec("x", {}, 0x0001)});
  put_u32(buffer, tarn_test::fcs_header_at(0) + tarn_test::kFcsOffsetAt, 0xFFFFFFF0u);
  ASSERT_EQ(FCS_OK, load(buffer));
  Bytes record = recordOf(handle, "x");
  ASSERT_EQ(12u, record.size());
  EXPECT_EQ(0u, get_u16(&record[tarn_test::kFcsLengthAt]));
  EXPECT_EQ(0x0001u, get_u16(&record[tarn_test::kFcsAttributesAt]));
}

TEST_F(FcsBufferTest, UnknownNumbersAreDroppedAndTheRestLoads) {
  FcsRecord stranger = rec("a", pattern(3, 1));
  stranger.fileno = kUnknownFileno;
  stranger.name = "zzz";
  Bytes buffer = tarn_test::write_fcs_buffer({stranger, rec("b", pattern(4, 2)), stranger});
  ASSERT_EQ(FCS_OK, load(buffer));
  EXPECT_EQ((std::vector<std::string>{"b"}), listAll(handle));
  EXPECT_EQ(tarn_test::write_fcs_buffer({rec("b", pattern(4, 2))}), flushAll(handle));
}

TEST_F(FcsBufferTest, NumbersListedWithoutANameAreDropped) {
  // A table whose entry for one number has an empty name.
  tarn_test::FtblSku sku;
  sku.sku = kSku;
  tarn_test::FtblFile unnamed;
  unnamed.name = "";
  unnamed.fileno = 0x00050100;
  unnamed.max_file_size = 100;
  tarn_test::FtblFile named;
  named.name = "n";
  named.fileno = 0x00050200;
  named.max_file_size = 100;
  sku.files = {unnamed, named};
  Bytes blob = tarn_test::FileTableBuilder().sku(sku).build();
  ASSERT_EQ(0, load_file_table(reinterpret_cast<char*>(blob.data()), kSku,
                               static_cast<unsigned>(blob.size())));

  FcsRecord dropped{"", unnamed.fileno, 0, pattern(3, 1)};
  FcsRecord kept{"n", named.fileno, 0, pattern(4, 2)};
  Bytes buffer = tarn_test::write_fcs_buffer({dropped, kept, dropped});
  ASSERT_EQ(FCS_OK, load(buffer));
  EXPECT_EQ((std::vector<std::string>{"n"}), listAll(handle));
  EXPECT_EQ(tarn_test::write_fcs_buffer({kept}), flushAll(handle));

  // Only the unnamed number: an empty table, still listed as empty.
  ASSERT_EQ(FCS_OK, load(tarn_test::write_fcs_buffer({dropped})));
  char name[FCS_FILE_NAME_BUFFER_SIZE];
  EXPECT_EQ(FCS_ERR_NO_MORE_FILES, getFirstFileInRoot(handle, name));
  EXPECT_EQ(tarn_test::write_fcs_buffer({}), flushAll(handle));
}

TEST_F(FcsBufferTest, TwoRecordsWithOneKnownNumberFail) {
  Bytes buffer = tarn_test::write_fcs_buffer({rec("a", pattern(3, 1)), rec("a", pattern(5, 2))});
  EXPECT_EQ(FCS_ERR_LOAD_FAILED, load(buffer));
  EXPECT_EQ(nullptr, handle);
}

TEST_F(FcsBufferTest, RecordSizeLimit) {
  // 12 + 65523 = 65535 bytes still crosses addNewFile; one more byte cannot.
  Bytes buffer = tarn_test::write_fcs_buffer({rec("/home/big", pattern(65523, 1))});
  ASSERT_EQ(FCS_OK, load(buffer));
  EXPECT_EQ(65535u, recordOf(handle, "/home/big").size());

  buffer = tarn_test::write_fcs_buffer({rec("/home/big", pattern(65524, 1))});
  EXPECT_EQ(FCS_ERR_LOAD_FAILED, load(buffer));
  EXPECT_EQ(nullptr, handle);
}

TEST_F(FcsBufferTest, LoadsPayloadsInAnyOrderAndFlushesInNameOrder) {
  const std::vector<FcsRecord> records = mixed();
  const Bytes expected = tarn_test::write_fcs_buffer_by_name(records);

  for (const Bytes& input : {tarn_test::write_fcs_buffer(records),
                             tarn_test::write_fcs_buffer_reversed_payloads(records)}) {
    ASSERT_EQ(FCS_OK, load(input));
    EXPECT_EQ((std::vector<std::string>{"/home/a", "/home/b", kLongName(), "B", "a", "ab", "b"}),
              listAll(handle));
    EXPECT_EQ(expected, flushAll(handle));
  }
  // Loading the flushed bytes again gives the same bytes.
  ASSERT_EQ(FCS_OK, load(expected));
  EXPECT_EQ(expected, flushAll(handle));
}

TEST_F(FcsBufferTest, LoadedRecordKeepsItsHeaderUntilFlush) {
  const std::vector<FcsRecord> records = {rec("a", pattern(4, 1), 0x0001), rec("b", pattern(6, 2))};
  Bytes buffer = tarn_test::write_fcs_buffer_reversed_payloads(records);
  const uint32_t loadedOffsetB = get_u32(&buffer[tarn_test::fcs_header_at(1) + tarn_test::kFcsOffsetAt]);
  ASSERT_EQ(FCS_OK, load(buffer));
  EXPECT_EQ(tarn_test::fcs_record(records[1], loadedOffsetB), recordOf(handle, "b"));
  EXPECT_EQ(tarn_test::fcs_record(records[0], 28 + 6), recordOf(handle, "a"));

  // After a flush the nodes hold offsets relative to the payload area.
  flushAll(handle);
  EXPECT_EQ(tarn_test::fcs_record(records[0], 0), recordOf(handle, "a"));
  EXPECT_EQ(tarn_test::fcs_record(records[1], 4), recordOf(handle, "b"));
}

TEST_F(FcsBufferTest, FlushSizeProtocol) {
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  const std::vector<FcsRecord> records = {rec("b", pattern(7, 1)), rec("a", pattern(3, 2))};
  for (const FcsRecord& r : records) ASSERT_EQ(FCS_OK, add(handle, r));
  const Bytes expected = tarn_test::write_fcs_buffer_by_name(records);
  const uint32_t needed = static_cast<uint32_t>(expected.size());

  Bytes out(needed + 10, 0xCC);
  for (uint32_t given : {0u, needed - 1}) {
    uint32_t size = given;
    EXPECT_EQ(FCS_ERR_BUFFER_TOO_SMALL, flush(handle, out.data(), &size));
    EXPECT_EQ(needed, size);
    EXPECT_EQ(Bytes(needed + 10, 0xCC), out);
  }
  uint32_t size = needed;
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, flush(handle, nullptr, &size));
  EXPECT_EQ(FCS_ERR_INVALID_PARAMETER, flush(handle, out.data(), nullptr));
  EXPECT_EQ(FCS_ERR_INVALID_HANDLE, flush(nullptr, out.data(), &size));

  size = needed + 10;
  ASSERT_EQ(FCS_OK, flush(handle, out.data(), &size));
  EXPECT_EQ(needed, size);
  EXPECT_EQ(expected, Bytes(out.begin(), out.begin() + needed));
  EXPECT_EQ(Bytes(10, 0xCC), Bytes(out.begin() + needed, out.end()));
}

TEST_F(FcsBufferTest, FlushLeavesTheListingAlone) {
  ASSERT_EQ(FCS_OK, load(tarn_test::write_fcs_buffer_by_name(mixed())));
  char name[FCS_FILE_NAME_BUFFER_SIZE];
  ASSERT_EQ(FCS_OK, getFirstFileInRoot(handle, name));
  ASSERT_EQ(FCS_OK, getNextFile(handle, name));
  flushAll(handle);
  ASSERT_EQ(FCS_OK, getNextFile(handle, name));
  EXPECT_STREQ(kLongName().c_str(), name);
}

TEST_F(FcsBufferTest, InternalHelpers) {
  cfg_file_entry_t entry{};
  EXPECT_TRUE(validateAttributs(&entry));
  EXPECT_FALSE(validateAttributs(nullptr));
  Bytes buffer = tarn_test::write_fcs_buffer({rec("a", pattern(3, 1))});
  EXPECT_FALSE(loadDataFromFcsBuffer(nullptr, buffer.data(), static_cast<uint32_t>(buffer.size())));
  ASSERT_EQ(FCS_OK, createHandle(&handle));
  EXPECT_FALSE(loadDataFromFcsBuffer(handle, nullptr, 4));
  EXPECT_TRUE(loadDataFromFcsBuffer(handle, buffer.data(), static_cast<uint32_t>(buffer.size())));
  // Loading the same records again fails on the names already present.
  EXPECT_FALSE(loadDataFromFcsBuffer(handle, buffer.data(), static_cast<uint32_t>(buffer.size())));
  EXPECT_EQ((std::vector<std::string>{"a"}), listAll(handle));
}

}  // namespace

TEST_F(FcsBufferTest, ChangeBetweenSizeQueryAndFillIsFlushed) {
  const FcsRecord a = rec("a", pattern(2, 5)), b = rec("b", pattern(5, 1));
  ASSERT_EQ(FCS_OK, load(tarn_test::write_fcs_buffer({a})));
  uint32_t size = 0;
  ASSERT_EQ(FCS_ERR_BUFFER_TOO_SMALL, flush(handle, nullptr, &size));
  ASSERT_EQ(FCS_OK, add(handle, b));
  const uint32_t asked = size;
  Bytes out(size);
  EXPECT_EQ(FCS_ERR_BUFFER_TOO_SMALL, flush(handle, out.data(), &size));
  EXPECT_EQ(asked + 12 + 5, size);
  out.resize(size);
  ASSERT_EQ(FCS_OK, flush(handle, out.data(), &size));
  EXPECT_EQ(tarn_test::write_fcs_buffer({a, b}), out);

  ASSERT_EQ(FCS_ERR_BUFFER_TOO_SMALL, flush(handle, nullptr, &(size = 0)));
  ASSERT_EQ(FCS_OK, deleteFile(handle, "b"));
  out.assign(size, 0);
  ASSERT_EQ(FCS_OK, flush(handle, out.data(), &size));
  out.resize(size);
  EXPECT_EQ(tarn_test::write_fcs_buffer({a}), out);
}
