// Configuration tables driven the way start-up and shutdown drive them: load
// from a host buffer and from a configuration partition, copy and find
// entries, add them to a new table with and without the size limit,
// serialise and free. Input buffers come from the test builders; serialised
// output is compared byte for byte with buffers the builders write.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kymfs_fixture.h"
#include "storage/ToolsFileTable.h"
#include "support/fcs_buffer_writer.h"
#include "support/qelc_partition_builder.h"

using namespace kymfs_test;
using tarn_test::Bytes;
using tarn_test::FcsRecord;
using tarn_test::QelcPartition;

namespace {

constexpr uint16_t kOverridable = 0x0001;

const std::string kNoMemoryText = "Out of memory.";
const std::string kCreateHandleText = "Failed to create FCS handle.";

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

FcsRecord record(const std::string& name, uint32_t fileno, uint16_t attributes,
                 const Bytes& payload) {
  FcsRecord r;
  r.name = name;
  r.fileno = fileno;
  r.attributes = attributes;
  r.payload = payload;
  return r;
}

// The defaults as the host hands them in: an overridable file with a payload,
// an overridable file whose payload is empty, a file that may not be
// overridden, an integrity-protected file, and a record whose file number the
// file table lacks. Payloads lie in reverse order behind the headers.
std::vector<FcsRecord> defaultRecords() {
  return {record("/home/n", kFileN, 0, bytesOf("NN")),
          record("/home/a", kFileA, kOverridable, bytesOf("AAAA")),
          record("/home/unknown", kUnknownFile, kOverridable, bytesOf("UU")),
          record("/home/e", kFileE, kOverridable, Bytes()),
          record("/home/a.b", kFileAB, kOverridable | 0x8000, bytesOf("xyz"))};
}

char* ptr(Bytes& b) { return reinterpret_cast<char*>(b.data()); }
U32 size32(const Bytes& b) { return static_cast<U32>(b.size()); }

std::vector<FcsFileEntry*> entriesOf(const FcsTable& table) {
  std::vector<FcsFileEntry*> list;
  for (FcsFileEntry* e = table.firstEntry; e != nullptr; e = e->next) list.push_back(e);
  return list;
}

std::vector<std::string> pathsOf(const FcsTable& table) {
  std::vector<std::string> paths;
  for (FcsFileEntry* e : entriesOf(table)) paths.push_back(e->relativePath);
  return paths;
}

Bytes payloadOf(const FcsFileEntry* e) {
  if (e->data == nullptr) return Bytes();
  return Bytes(e->data, e->data + e->dataSize);
}

Bytes tableBytes(const FcsTable& table) {
  if (table.data == nullptr) return Bytes();
  return Bytes(table.data, table.data + table.datasize);
}

// A fresh, unlinked entry as the library would make it: heap blocks the
// library may free.
FcsFileEntry* newEntry(const std::string& path, uint32_t fileno, uint16_t attributes,
                       const Bytes& payload) {
  FcsFileEntry* e = static_cast<FcsFileEntry*>(std::calloc(1, sizeof(FcsFileEntry)));
  std::strncpy(e->relativePath, path.c_str(), sizeof e->relativePath - 1);
  e->attributes.cfg_file_entry.fileno.value = fileno;
  e->attributes.cfg_file_entry.length = static_cast<uint16_t>(payload.size());
  e->attributes.cfg_file_entry.attributes.value = attributes;
  e->isManufEnabled = (attributes & kOverridable) != 0;
  e->dataSize = static_cast<U32>(payload.size());
  if (!payload.empty()) {
    e->data = static_cast<char*>(std::malloc(payload.size()));
    std::memcpy(e->data, payload.data(), payload.size());
  }
  return e;
}

void expectEmpty(const FcsTable& t) {
  EXPECT_EQ(nullptr, val(t.handle));
  EXPECT_EQ(nullptr, val(t.data));
  EXPECT_EQ(0u, val(t.datasize));
  EXPECT_EQ(nullptr, val(t.firstEntry));
  EXPECT_EQ(nullptr, val(t.lastEntry));
  EXPECT_EQ(0u, val(t.numFiles));
}

class KymfsTables : public KymfsTest {
 protected:
  // Start-up hands the file table to the store with the first table it
  // loads; tables made empty and filled by adding need it all the same.
  static void handOverFileTable() { ASSERT_EQ(0, kyMfsHandOverFileTable()); }
};

// ---------------------------------------------------------------------------
// Making and loading
// ---------------------------------------------------------------------------

TEST_F(KymfsTables, NewTableHasAHandleAndSerialisesToAnEmptyBuffer) {
  ASSERT_TRUE(kyMfsNewFcsTable(table_, FcsFileNameCurrentsCfg));
  EXPECT_NE(nullptr, val(table_.handle));
  EXPECT_EQ(FcsFileNameCurrentsCfg, val(table_.fileName));
  EXPECT_EQ(0u, val(table_.numFiles));
  EXPECT_EQ(nullptr, val(table_.firstEntry));

  ASSERT_TRUE(kyMfsSerializeFcsTable(table_));
  EXPECT_EQ(tarn_test::write_fcs_buffer({}), tableBytes(table_));
  EXPECT_EQ(4u, val(table_.datasize));
  EXPECT_TRUE(reports().empty());
}

TEST_F(KymfsTables, NewTableRefusesTheInvalidName) {
  EXPECT_FALSE(kyMfsNewFcsTable(table_, FcsFileNameInvalid));
  EXPECT_EQ(nullptr, val(table_.handle));
  EXPECT_EQ(std::vector<HostReport>{errorReport(ErrorFcsInvalidFile, "Invalid FCS file", "")},
            reports());
}

TEST_F(KymfsTables, LoadsAHostBufferIntoEntriesInNameOrder) {
  Bytes host = tarn_test::write_fcs_buffer_reversed_payloads(defaultRecords());
  const Bytes hostBefore = host;

  ASSERT_TRUE(kyMfsLoadPtrTableData(table_, ptr(host), size32(host), true));
  EXPECT_TRUE(reports().empty());
  EXPECT_EQ(hostBefore, host);

  // The table keeps its own copy of the host's bytes.
  EXPECT_NE(ptr(host), val(table_.data));
  EXPECT_EQ(host, tableBytes(table_));
  EXPECT_NE(nullptr, val(table_.handle));

  // The unknown file number never becomes an entry.
  EXPECT_EQ((std::vector<std::string>{"/home/a", "/home/a.b", "/home/e", "/home/n"}),
            pathsOf(table_));
  EXPECT_EQ(4u, val(table_.numFiles));
  const std::vector<FcsFileEntry*> e = entriesOf(table_);
  EXPECT_EQ(e.front(), val(table_.firstEntry));
  EXPECT_EQ(e.back(), val(table_.lastEntry));
  for (size_t i = 0; i < e.size(); ++i) {
    EXPECT_TRUE(val(e[i]->inFcsTable));
    EXPECT_FALSE(val(e[i]->isDirectory));
    EXPECT_EQ(i == 0 ? nullptr : e[i - 1], val(e[i]->prev));
  }

  // Header, file-table attributes and limit, payload.
  const FcsFileEntry* a = e[0];
  EXPECT_EQ(kFileA, val(a->attributes.cfg_file_entry.fileno.value));
  EXPECT_EQ(4u, val(a->attributes.cfg_file_entry.length));
  EXPECT_EQ(kOverridable, val(a->attributes.cfg_file_entry.attributes.value));
  EXPECT_EQ(0u, val(a->attributes.file_attributes.value));
  EXPECT_EQ(8u, val(a->attributes.max_file_size));
  EXPECT_TRUE(val(a->isManufEnabled));
  EXPECT_EQ(bytesOf("AAAA"), payloadOf(a));

  const FcsFileEntry* ab = e[1];
  EXPECT_EQ(kFileAB, val(ab->attributes.cfg_file_entry.fileno.value));
  EXPECT_EQ(kOverridable | 0x8000, val(ab->attributes.cfg_file_entry.attributes.value));
  EXPECT_EQ(kAttributesAB, val(ab->attributes.file_attributes.value));
  EXPECT_EQ(16u, val(ab->attributes.max_file_size));
  EXPECT_EQ(bytesOf("xyz"), payloadOf(ab));

  // An overridable file with an empty payload has no buffer.
  const FcsFileEntry* empty = e[2];
  EXPECT_TRUE(val(empty->isManufEnabled));
  EXPECT_EQ(0u, val(empty->dataSize));
  EXPECT_EQ(nullptr, val(empty->data));

  // A file that may not be overridden keeps its size but gets no buffer.
  const FcsFileEntry* n = e[3];
  EXPECT_FALSE(val(n->isManufEnabled));
  EXPECT_EQ(2u, val(n->dataSize));
  EXPECT_EQ(nullptr, val(n->data));
}

TEST_F(KymfsTables, LoadsWithoutPayloadsWhenAskedTo) {
  Bytes host = tarn_test::write_fcs_buffer(defaultRecords());
  ASSERT_TRUE(kyMfsLoadPtrTableData(table_, ptr(host), size32(host), false));
  ASSERT_EQ(4u, val(table_.numFiles));
  for (FcsFileEntry* e : entriesOf(table_)) EXPECT_EQ(nullptr, val(e->data)) << e->relativePath;
  EXPECT_EQ(4u, val(table_.firstEntry->dataSize));
}

TEST_F(KymfsTables, MalformedHostBufferLeavesTheTableFreed) {
  // A count of one record, but no room for its header.
  Bytes host;
  tarn_test::put_u32(host, 0, 1);
  host.resize(15);
  EXPECT_FALSE(kyMfsLoadPtrTableData(table_, ptr(host), size32(host), true));
  EXPECT_EQ(std::vector<HostReport>{errorReport(ErrorFcsCreateHandle, kCreateHandleText,
                                                " Library status code: 10")},
            reports());
  expectEmpty(table_);
  // Freeing what a failed load already freed is harmless.
  kyMfsFreeFcsTable(table_);
  kyMfsFreeFcsTable(table_);
  expectEmpty(table_);
}

TEST_F(KymfsTables, EmptyHostBufferIsRefusedByTheStoreNotTakenForNoMemory) {
  EXPECT_FALSE(kyMfsLoadPtrTableData(table_, nullptr, 0, true));
  EXPECT_EQ(std::vector<HostReport>{errorReport(ErrorFcsCreateHandle, kCreateHandleText,
                                                " Library status code: 10")},
            reports());
  expectEmpty(table_);
}

// ---------------------------------------------------------------------------
// Configuration partition
// ---------------------------------------------------------------------------

TEST_F(KymfsTables, EmptyPartitionGivesAnEmptyOverridesTable) {
  table_.numFiles = 99;  // every field is reset
  ASSERT_TRUE(kyMfsLoadFcsTableFromQelcPartition(table_, true, nullptr, 0));
  EXPECT_NE(nullptr, val(table_.handle));
  EXPECT_EQ(FcsFileNameQelCfg, val(table_.fileName));
  EXPECT_EQ(0u, val(table_.numFiles));
  EXPECT_EQ(nullptr, val(table_.data));
  EXPECT_EQ(nullptr, val(table_.firstEntry));
  EXPECT_TRUE(reports().empty());
}

TEST_F(KymfsTables, PartitionShorterThanItsHeaderIsRefused) {
  Bytes partition(15, 0);
  EXPECT_FALSE(kyMfsLoadFcsTableFromQelcPartition(table_, true, ptr(partition), 15));
  EXPECT_EQ(std::vector<HostReport>{errorReport(ErrorCastBuffer,
                                                "Detected error in buffer parsing operation.",
                                                "Invalid QELC partition length")},
            reports());
  expectEmpty(table_);
}

TEST_F(KymfsTables, HeaderOnlyPartitionFailsInTheStore) {
  QelcPartition q;  // no FCS buffer: size 0
  Bytes partition = q.build();
  ASSERT_EQ(16u, partition.size());
  EXPECT_FALSE(kyMfsLoadFcsTableFromQelcPartition(table_, true, ptr(partition), 16));
  EXPECT_EQ(std::vector<HostReport>{errorReport(ErrorFcsCreateHandle, kCreateHandleText,
                                                " Library status code: 10")},
            reports());
  expectEmpty(table_);
}

TEST_F(KymfsTables, PartitionSizeMustFitBehindTheHeader) {
  QelcPartition q;
  q.fcs = tarn_test::write_fcs_buffer({record("/home/a", kFileA, kOverridable, bytesOf("ovr1"))});
  Bytes partition = q.build();

  for (uint32_t size : {size32(partition) - 16 + 1, 0xFFFFFFFFu, 0xFFFFFFF0u}) {
    hostReports().clear();
    tarn_test::put_u32(partition, tarn_test::qelc_size_at, size);
    EXPECT_FALSE(kyMfsLoadFcsTableFromQelcPartition(table_, true, ptr(partition), size32(partition)))
        << size;
    EXPECT_EQ(std::vector<HostReport>{errorReport(ErrorMfsInitError, "Failed to initialize MFS.",
                                                  "Invalid QELC partition size.")},
              reports());
    expectEmpty(table_);
  }

  // Exactly what follows the header is accepted.
  hostReports().clear();
  tarn_test::put_u32(partition, tarn_test::qelc_size_at, size32(partition) - 16);
  ASSERT_TRUE(kyMfsLoadFcsTableFromQelcPartition(table_, true, ptr(partition), size32(partition)));
  EXPECT_TRUE(reports().empty());
  EXPECT_EQ(q.fcs, tableBytes(table_));
  ASSERT_EQ(1u, val(table_.numFiles));
  EXPECT_EQ(bytesOf("ovr1"), payloadOf(val(table_.firstEntry)));
}

TEST_F(KymfsTables, PartitionHeaderFieldsAndTrailingBytesAreIgnored) {
  QelcPartition q;
  q.fcs = tarn_test::write_fcs_buffer_by_name(defaultRecords());
  q.trailing = 37;
  q.version = 0xEE;
  q.reserved = 0x5A;
  q.header_crc = 0xDEADBEEF;
  q.data_crc = 0x12345678;
  Bytes partition = q.build();

  ASSERT_TRUE(kyMfsLoadFcsTableFromQelcPartition(table_, true, ptr(partition), size32(partition)));
  EXPECT_TRUE(reports().empty());
  // The table holds the FCS buffer alone: neither header nor trailing bytes.
  EXPECT_EQ(q.fcs, tableBytes(table_));
  EXPECT_EQ((std::vector<std::string>{"/home/a", "/home/a.b", "/home/e", "/home/n"}),
            pathsOf(table_));
  EXPECT_EQ(bytesOf("xyz"), payloadOf(val(table_.firstEntry->next)));
}

// ---------------------------------------------------------------------------
// File table hand-over
// ---------------------------------------------------------------------------

TEST_F(KymfsTables, FileTableIsHandedOverByTheFirstLoadThatWorks) {
  Bytes broken = testFileTable();
  tarn_test::put_u32(broken, 0, 0x21212121);  // no "FTBL" signature
  ASSERT_TRUE(useFileTable(broken, kSku));

  Bytes host = tarn_test::write_fcs_buffer(defaultRecords());
  EXPECT_FALSE(kyMfsLoadPtrTableData(table_, ptr(host), size32(host), true));
  EXPECT_EQ(std::vector<HostReport>{errorReport(ErrorFtblLoadFail, "Failed to load ftbl file.",
                                                " Library status code: 1")},
            reports());
  expectEmpty(table_);
  EXPECT_TRUE(s_tarnLoadFileTable);  // still to be handed over

  ASSERT_TRUE(useFileTable(fileTable_, kSku));
  hostReports().clear();
  ASSERT_TRUE(kyMfsLoadPtrTableData(table_, ptr(host), size32(host), true));
  EXPECT_FALSE(s_tarnLoadFileTable);
  EXPECT_EQ(4u, val(table_.numFiles));
  EXPECT_NE(nullptr, get_file_entry_by_file_name("/home/a"));

  // The next table uses the selection as it stands.
  ASSERT_TRUE(kyMfsLoadPtrTableData(other_, ptr(host), size32(host), true));
  EXPECT_EQ(4u, val(other_.numFiles));
  EXPECT_TRUE(reports().empty());
}

TEST_F(KymfsTables, ReplacedFileTableCopyIsNeverLookedUpAgain) {
  Bytes host = tarn_test::write_fcs_buffer(defaultRecords());
  ASSERT_TRUE(kyMfsLoadPtrTableData(table_, ptr(host), size32(host), true));
  ASSERT_NE(nullptr, get_file_entry_by_file_name("/home/a"));
  kyMfsFreeFcsTable(table_);

  // A start-up with a larger file table that has nothing for this SKU: the
  // former copy is freed, and nothing may be found through it any more.
  tarn_test::FtblFile other;
  other.name = "/home/a";
  other.fileno = kFileA;
  Bytes otherSkuOnly = tarn_test::FileTableBuilder().sku({kSku + 1, {other}}).build(4096);
  ASSERT_TRUE(useFileTable(otherSkuOnly, kSku));
  EXPECT_EQ(nullptr, g_table_buf);
  EXPECT_EQ(0, g_table_num_files);
  EXPECT_EQ(nullptr, get_file_entry_by_file_name("/home/a"));

  ASSERT_TRUE(kyMfsLoadPtrTableData(table_, ptr(host), size32(host), true));
  EXPECT_FALSE(s_tarnLoadFileTable);
  EXPECT_EQ(0u, val(table_.numFiles));  // every record's number is unknown now
  EXPECT_EQ(nullptr, get_file_entry_by_file_name("/home/a"));
  EXPECT_TRUE(reports().empty());
}

// ---------------------------------------------------------------------------
// Copying and finding
// ---------------------------------------------------------------------------

TEST_F(KymfsTables, FindGivesAnUnlinkedDeepCopy) {
  Bytes host = tarn_test::write_fcs_buffer(defaultRecords());
  ASSERT_TRUE(kyMfsLoadPtrTableData(table_, ptr(host), size32(host), true));
  FcsFileEntry* source = table_.firstEntry->next;  // "/home/a.b"
  char* sourceData = source->data;

  FcsFileEntry* copy = kyMfsFindCopyFile(table_, "/home/a.b");
  ASSERT_NE(nullptr, copy);
  EXPECT_NE(source, copy);
  EXPECT_STREQ("/home/a.b", copy->relativePath);
  EXPECT_EQ(0, std::memcmp(&source->attributes, &copy->attributes, sizeof copy->attributes));
  EXPECT_EQ(val(source->isManufEnabled), val(copy->isManufEnabled));
  EXPECT_EQ(val(source->dataSize), val(copy->dataSize));
  ASSERT_NE(nullptr, val(copy->data));
  EXPECT_NE(sourceData, val(copy->data));
  EXPECT_EQ(bytesOf("xyz"), payloadOf(copy));
  EXPECT_FALSE(val(copy->inFcsTable));
  EXPECT_EQ(nullptr, val(copy->prev));
  EXPECT_EQ(nullptr, val(copy->next));

  // The source stays where it was, with its own buffer.
  copy->data[0] = 'Q';
  EXPECT_EQ(bytesOf("xyz"), payloadOf(source));
  EXPECT_TRUE(val(source->inFcsTable));
  EXPECT_EQ(4u, val(table_.numFiles));
  kyMfsFreeFileEntry(copy);

  // A record without a buffer is copied without one.
  FcsFileEntry* n = kyMfsFindCopyFile(table_, "/home/n");
  ASSERT_NE(nullptr, n);
  EXPECT_EQ(2u, val(n->dataSize));
  EXPECT_EQ(nullptr, val(n->data));
  kyMfsFreeFileEntry(n);

  EXPECT_EQ(nullptr, kyMfsFindCopyFile(table_, "/home/b"));
  EXPECT_EQ(nullptr, kyMfsFindCopyFile(table_, "/home/a/"));
  EXPECT_EQ(nullptr, kyMfsFindCopyFile(other_, "/home/a"));  // an empty table
  EXPECT_EQ(nullptr, copyFileEntry(nullptr));
  EXPECT_TRUE(reports().empty());
}

// The payload of the copy cannot be allocated. Only where a request of nearly
// 4 GiB is sure to fail: 32-bit builds, and the sanitizer build, whose
// allocator is told to fail such requests (see the end of this file).
#if defined(__SANITIZE_ADDRESS__) || !(defined(_WIN64) || defined(__x86_64__))
#define TARN_CAN_FAIL_HUGE_ALLOCATION 1
#else
#define TARN_CAN_FAIL_HUGE_ALLOCATION 0
#endif

TEST_F(KymfsTables, FailedCopyNeverReleasesTheSourcePayload) {
  if (!TARN_CAN_FAIL_HUGE_ALLOCATION) GTEST_SKIP() << "allocation failure not reproducible here";
  FcsFileEntry* source = newEntry("/home/a", kFileA, kOverridable, bytesOf("AAAA"));
  char* sourceData = source->data;
  source->dataSize = 0xFFFFFFF0u;  // no copy of this can be allocated

  EXPECT_EQ(nullptr, copyFileEntry(source));
  EXPECT_EQ(std::vector<HostReport>{errorReport(ErrorNoMemory, kNoMemoryText, "")}, reports());

  // The source's buffer is still its own and alive.
  EXPECT_EQ(sourceData, val(source->data));
  source->dataSize = 4;
  EXPECT_EQ(bytesOf("AAAA"), payloadOf(source));
  kyMfsFreeFileEntry(source);
}

// ---------------------------------------------------------------------------
// Adding and serialising
// ---------------------------------------------------------------------------

TEST_F(KymfsTables, AddedEntriesSerialiseInOrderOfPathAndSlash) {
  Bytes host = tarn_test::write_fcs_buffer(defaultRecords());
  ASSERT_TRUE(kyMfsLoadPtrTableData(other_, ptr(host), size32(host), true));
  ASSERT_TRUE(kyMfsNewFcsTable(table_, FcsFileNameCurrentsCfg));

  // Added as start-up builds the current values: "/home/a" first.
  ASSERT_TRUE(kyMfsAddNewFileFcs(table_, kyMfsFindCopyFile(other_, "/home/a"), false));
  ASSERT_TRUE(kyMfsAddNewFileFcs(table_, kyMfsFindCopyFile(other_, "/home/a.b"), false));
  ASSERT_TRUE(kyMfsAddNewFileFcs(table_, kyMfsFindCopyFile(other_, "/home/e"), false));
  EXPECT_TRUE(reports().empty());

  // The list keeps the order of the additions...
  EXPECT_EQ((std::vector<std::string>{"/home/a", "/home/a.b", "/home/e"}), pathsOf(table_));
  EXPECT_EQ(3u, val(table_.numFiles));
  for (FcsFileEntry* e : entriesOf(table_)) EXPECT_TRUE(e->inFcsTable);

  // ...the store sorts by path + "/": "/home/a.b/" before "/home/a/".
  char name[FCS_ENTRY_PATH_SIZE] = {};
  ASSERT_EQ(FCS_OK, getFirstFileInRoot(val(table_.handle), name));
  EXPECT_STREQ("/home/a.b/", name);
  ASSERT_EQ(FCS_OK, getNextFile(val(table_.handle), name));
  EXPECT_STREQ("/home/a/", name);
  ASSERT_EQ(FCS_OK, getNextFile(val(table_.handle), name));
  EXPECT_STREQ("/home/e/", name);

  ASSERT_TRUE(kyMfsSerializeFcsTable(table_));
  const Bytes expected = tarn_test::write_fcs_buffer(
      {record("/home/a.b", kFileAB, kOverridable | 0x8000, bytesOf("xyz")),
       record("/home/a", kFileA, kOverridable, bytesOf("AAAA")),
       record("/home/e", kFileE, kOverridable, Bytes())});
  EXPECT_EQ(expected, tableBytes(table_));
  EXPECT_EQ(expected.size(), val(table_.datasize));
  EXPECT_TRUE(reports().empty());
}

TEST_F(KymfsTables, AddRefusesDuplicatesLinkedEntriesAndMissingHandles) {
  Bytes host = tarn_test::write_fcs_buffer(defaultRecords());
  ASSERT_TRUE(kyMfsLoadPtrTableData(other_, ptr(host), size32(host), true));
  ASSERT_TRUE(kyMfsNewFcsTable(table_, FcsFileNameQelCfg));
  ASSERT_TRUE(kyMfsAddNewFileFcs(table_, kyMfsFindCopyFile(other_, "/home/a"), false));
  hostReports().clear();

  // Same path again: the caller keeps its entry.
  FcsFileEntry* again = kyMfsFindCopyFile(other_, "/home/a");
  EXPECT_FALSE(kyMfsAddNewFileFcs(table_, again, false));
  EXPECT_FALSE(val(again->inFcsTable));
  kyMfsFreeFileEntry(again);

  // An entry linked into another table.
  EXPECT_FALSE(kyMfsAddNewFileFcs(table_, val(other_.lastEntry), false));

  // No handle, no entry.
  FcsFileEntry* spare = kyMfsFindCopyFile(other_, "/home/e");
  FcsTable unmade;
  EXPECT_FALSE(kyMfsAddNewFileFcs(unmade, spare, false));
  EXPECT_FALSE(kyMfsAddNewFileFcs(table_, nullptr, false));
  kyMfsFreeFileEntry(spare);

  // Linking nothing changes nothing.
  kyMfsInsertFile(table_, nullptr);

  EXPECT_EQ((std::vector<HostReport>{
                errorReport(ErrorDuplicateFile, "Detected duplicate special file label.", ""),
                errorReport(ErrorFileAlreadyInUseByOtherTable,
                            "FileEntry already being used by another FCS table.", ""),
                errorReport(ErrorNone, "", "Invalid FCS handle or fileEntry pointer"),
                errorReport(ErrorNone, "", "Invalid FCS handle or fileEntry pointer"),
                errorReport(ErrorNone, "", "Invalid fileEntry Pointer")}),
            reports());
  EXPECT_EQ(std::vector<std::string>{"/home/a"}, pathsOf(table_));
  EXPECT_EQ(1u, val(table_.numFiles));
  EXPECT_EQ(4u, val(other_.numFiles));
  EXPECT_EQ(nullptr, val(unmade.handle));
}

TEST_F(KymfsTables, LookupsFollowAListMovedToAnotherTable) {
  Bytes host = tarn_test::write_fcs_buffer(defaultRecords());
  ASSERT_TRUE(kyMfsLoadPtrTableData(other_, ptr(host), size32(host), true));
  FcsFileEntry* a = kyMfsFindEntry(other_, "/home/a");
  ASSERT_NE(nullptr, a);
  EXPECT_STREQ("/home/a", a->relativePath);

  // The list moves by its fields, as a kept shutdown moves the rebuilt table.
  kyMfsFreeFcsTable(table_);
  table_.firstEntry = val(other_.firstEntry);
  table_.lastEntry = val(other_.lastEntry);
  table_.numFiles = val(other_.numFiles);
  other_.firstEntry = nullptr;
  other_.lastEntry = nullptr;
  other_.numFiles = 0;
  EXPECT_EQ(a, kyMfsFindEntry(table_, "/home/a"));
  EXPECT_EQ(nullptr, kyMfsFindEntry(other_, "/home/a"));

  FcsFileEntry* added = newEntry("/home/added", kFileA, kOverridable, bytesOf("x"));
  kyMfsInsertFile(table_, added);
  EXPECT_EQ(added, kyMfsFindEntry(table_, "/home/added"));
  EXPECT_EQ(a, kyMfsFindEntry(table_, "/home/a"));
  kyMfsFreeFcsTable(table_);
  EXPECT_EQ(nullptr, kyMfsFindEntry(table_, "/home/a"));
}

TEST_F(KymfsTables, SizeLimitLeavesAnOversizedFileOutWithTwoDebugReports) {
  handOverFileTable();
  ASSERT_TRUE(kyMfsNewFcsTable(table_, FcsFileNameQelCfg));

  // "/home/a" allows 8 bytes.
  EXPECT_TRUE(kyMfsAddNewFileFcs(table_, newEntry("/home/a", kFileA, kOverridable, Bytes(9, 'x')),
                                 true));
  EXPECT_EQ((std::vector<HostReport>{
                debugReport("Failed to add file into cfg file:/home/a/ FCS error: 12\n"),
                debugReport("VFS FLAT Integration: BLOQ don't return error when failed to add "
                            "file to orvan.cfg")}),
            reports());
  EXPECT_EQ(0u, val(table_.numFiles));
  EXPECT_EQ(nullptr, val(table_.firstEntry));

  // At the limit it is taken; without the limit a larger one is as well.
  hostReports().clear();
  EXPECT_TRUE(kyMfsAddNewFileFcs(table_, newEntry("/home/a", kFileA, kOverridable, Bytes(8, 'x')),
                                 true));
  EXPECT_TRUE(kyMfsAddNewFileFcs(table_, newEntry("/home/n", kFileN, kOverridable, Bytes(9, 'n')),
                                 false));
  EXPECT_TRUE(reports().empty());
  EXPECT_EQ((std::vector<std::string>{"/home/a", "/home/n"}), pathsOf(table_));

  ASSERT_TRUE(kyMfsSerializeFcsTable(table_));
  EXPECT_EQ(tarn_test::write_fcs_buffer({record("/home/a", kFileA, kOverridable, Bytes(8, 'x')),
                                         record("/home/n", kFileN, kOverridable, Bytes(9, 'n'))}),
            tableBytes(table_));
}

TEST_F(KymfsTables, PayloadAboveTheRecordLimitIsNeverStoredCutShort) {
  handOverFileTable();
  ASSERT_TRUE(kyMfsNewFcsTable(table_, FcsFileNameCurrentsCfg));
  Bytes largest(65523);
  for (size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<uint8_t>(i * 7);

  // One byte more than a record can carry, and sizes that would wrap a
  // 16-bit count, are left out whole.
  for (size_t size : {size_t{65524}, size_t{65536}, size_t{65536 + 12}}) {
    hostReports().clear();
    Bytes payload(size, 0x11);
    EXPECT_TRUE(kyMfsAddNewFileFcs(table_, newEntry("/home/big", kFileBig, kOverridable, payload),
                                   false));
    EXPECT_EQ((std::vector<HostReport>{
                  debugReport("Failed to add file into cfg file:/home/big/ FCS error: 12\n"),
                  debugReport("VFS FLAT Integration: BLOQ don't return error when failed to add "
                              "file to orvan.cfg")}),
              reports())
        << size;
    EXPECT_EQ(0u, val(table_.numFiles));
  }

  hostReports().clear();
  EXPECT_TRUE(kyMfsAddNewFileFcs(table_, newEntry("/home/big", kFileBig, kOverridable, largest),
                                 false));
  EXPECT_TRUE(reports().empty());
  ASSERT_TRUE(kyMfsSerializeFcsTable(table_));
  EXPECT_EQ(tarn_test::write_fcs_buffer({record("/home/big", kFileBig, kOverridable, largest)}),
            tableBytes(table_));
}

TEST_F(KymfsTables, EntryWithASizeButNoBufferGivesAZeroPayload) {
  Bytes host = tarn_test::write_fcs_buffer(defaultRecords());
  ASSERT_TRUE(kyMfsLoadPtrTableData(other_, ptr(host), size32(host), true));
  ASSERT_TRUE(kyMfsNewFcsTable(table_, FcsFileNameCurrentsCfg));
  FcsFileEntry* n = kyMfsFindCopyFile(other_, "/home/n");  // 2 bytes, no buffer
  ASSERT_EQ(nullptr, val(n->data));
  ASSERT_TRUE(kyMfsAddNewFileFcs(table_, n, false));
  ASSERT_TRUE(kyMfsSerializeFcsTable(table_));
  EXPECT_EQ(tarn_test::write_fcs_buffer({record("/home/n", kFileN, 0, Bytes(2, 0))}),
            tableBytes(table_));
}

TEST_F(KymfsTables, SerialisedTableLoadsBackUnderTheFileTableNames) {
  handOverFileTable();
  ASSERT_TRUE(kyMfsNewFcsTable(other_, FcsFileNameQelCfg));
  ASSERT_TRUE(kyMfsAddNewFileFcs(other_, newEntry("/home/n", kFileN, kOverridable, bytesOf("nn")),
                                 true));
  ASSERT_TRUE(kyMfsAddNewFileFcs(other_, newEntry("/home/a", kFileA, kOverridable, bytesOf("a1")),
                                 true));
  ASSERT_TRUE(kyMfsSerializeFcsTable(other_));

  ASSERT_TRUE(kyMfsLoadPtrTableData(table_, val(other_.data), val(other_.datasize), true));
  EXPECT_EQ((std::vector<std::string>{"/home/a", "/home/n"}), pathsOf(table_));
  EXPECT_EQ(bytesOf("a1"), payloadOf(val(table_.firstEntry)));
  EXPECT_EQ(bytesOf("nn"), payloadOf(val(table_.lastEntry)));
  EXPECT_TRUE(reports().empty());
}

TEST_F(KymfsTables, SerialisingWithoutAHandleReportsTheStoreStatus) {
  EXPECT_FALSE(kyMfsSerializeFcsTable(table_));
  EXPECT_EQ(std::vector<HostReport>{errorReport(
                ErrorFcsFlush, "Failed to flush FCS buffer into memory.", " Library status code: 6")},
            reports());
  EXPECT_EQ(nullptr, val(table_.data));
}

// ---------------------------------------------------------------------------
// Freeing
// ---------------------------------------------------------------------------

TEST_F(KymfsTables, FreeLeavesTheTableFullyEmptyAndIsSafeToRepeat) {
  handOverFileTable();
  FcsTable constructed;
  kyMfsFreeFcsTable(constructed);
  expectEmpty(constructed);
  EXPECT_EQ(FcsFileNameInvalid, val(constructed.fileName));

  ASSERT_TRUE(kyMfsNewFcsTable(table_, FcsFileNameCurrentsCfg));
  ASSERT_TRUE(kyMfsAddNewFileFcs(table_, newEntry("/home/a", kFileA, kOverridable, bytesOf("a")),
                                 false));
  ASSERT_TRUE(kyMfsAddNewFileFcs(table_, newEntry("/home/e", kFileE, kOverridable, bytesOf("e")),
                                 false));
  ASSERT_TRUE(kyMfsSerializeFcsTable(table_));
  ASSERT_NE(nullptr, val(table_.data));

  kyMfsFreeFcsTable(table_);
  expectEmpty(table_);
  EXPECT_EQ(FcsFileNameCurrentsCfg, val(table_.fileName));
  kyMfsFreeFcsTable(table_);
  expectEmpty(table_);

  // A freed table can be made again.
  ASSERT_TRUE(kyMfsNewFcsTable(table_, FcsFileNameCurrentsCfg));
  EXPECT_NE(nullptr, val(table_.handle));
  kyMfsFreeFileEntry(nullptr);
  EXPECT_TRUE(reports().empty());
}

TEST_F(KymfsTables, CleanStaticTablesReleasesTheThreeLoadedTables) {
  Bytes host = tarn_test::write_fcs_buffer(defaultRecords());
  QelcPartition q;
  q.fcs = tarn_test::write_fcs_buffer({record("/home/a", kFileA, kOverridable, bytesOf("ovr1"))});
  Bytes partition = q.build();

  ASSERT_TRUE(kyMfsLoadPtrTableData(s_orvanCfgTable, ptr(host), size32(host), true));
  ASSERT_TRUE(kyMfsLoadFcsTableFromQelcPartition(s_qelCfgTable, true, ptr(partition),
                                                 size32(partition)));
  ASSERT_TRUE(kyMfsNewFcsTable(s_currentValuesTable, FcsFileNameCurrentsCfg));
  ASSERT_TRUE(kyMfsNewFcsTable(s_builtQelCfgTable, FcsFileNameQelCfg));
  s_fcsInitialized = true;
  EXPECT_TRUE(kyFcsIsInitialized());

  kyMfsCleanStaticTables();
  EXPECT_FALSE(kyFcsIsInitialized());
  expectEmpty(s_orvanCfgTable);
  expectEmpty(s_qelCfgTable);
  expectEmpty(s_currentValuesTable);
  EXPECT_NE(nullptr, val(s_builtQelCfgTable.handle));  // not one of the three

  kyMfsFreeFcsTable(s_builtQelCfgTable);
  kyMfsCleanStaticTables();  // again: nothing left to release
  expectEmpty(s_orvanCfgTable);
  EXPECT_TRUE(reports().empty());
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Requests above 2 GiB fail with a null result instead of ending the process,
// as they do in the 32-bit builds.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=2048";
}
#endif
