// Fuzz target: the file-table blob with its "FTBL" and "EFST" parts. The
// input is two SKUs, a probe name (8-bit length, then its bytes) and the
// blob. The blob is loaded for the first SKU and then for the second; after
// each load the selection and the EFS globals must be what the harness reads
// from the blob itself and every lookup must answer as a scan of the blob
// does; then the EFS formats a small region with the loaded list, and every
// file is written and read back.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "flash/efs/EFS.h"
#include "flash/efs/EFS_autogen.h"
#include "fuzz_support.h"
#include "storage/ToolsFileTable.h"
#include "support/file_table_builder.h"

using tarn_fuzz::FuzzInput;
using tarn_test::Bytes;
using tarn_test::get_u16;
using tarn_test::get_u32;

namespace {

// Field offsets of the blob, from its byte tables.
constexpr size_t kHeaderSize = 16, kFtblEntrySize = 16, kFileEntrySize = 68;
constexpr size_t kEfstHeaderSize = 16, kEfstEntrySize = 40, kEfstFileSize = 60;
constexpr uint32_t kFtbl = 0x4C425446, kEfst = 0x54534645;
constexpr uint32_t kMinBlob = 1024, kMaxTables = 10, kLargestPieceOffset = 4072;
// The EFS regions formatted with a loaded list: at most this many blocks,
// files and bytes a file.
constexpr uint64_t kEfsBlocksTried = 24;
constexpr uint32_t kEfsFilesTried = 24, kEfsFileBytesTried = 5000;
constexpr uint64_t kEfsBlockSize = 4096;
// Descriptors of the EFS file list the harness compares one by one.
constexpr uint32_t kKeptDescriptors = 4096;
// A file list this large may fail to be allocated (the sanitizer settings of
// sanitizer_options.cpp fail every request above 32 MiB).
constexpr uint64_t kLargeList = uint64_t{32} << 20;

// The selection and the EFS globals, with a copy of the EFS file list.
struct State {
  const tools_file_entry_in_table_t* table;
  int32_t numFiles, sku;
  uint32_t bm, valid, spare, files, threshold;
  uint8_t layout, efsSku;
  bool loaded;
  const EFS_file_descriptor_t* list;
  Bytes listBytes;

  bool operator==(const State& o) const {
    return table == o.table && numFiles == o.numFiles && sku == o.sku && sameEfs(o);
  }
  bool sameEfs(const State& o) const {
    return bm == o.bm && valid == o.valid && spare == o.spare && files == o.files &&
           threshold == o.threshold && layout == o.layout && efsSku == o.efsSku &&
           loaded == o.loaded && list == o.list && listBytes == o.listBytes;
  }
};

State snapshot() {
  State s{g_table_buf,           g_table_num_files,  g_dfs_sku,       g_efs_bm_num,
          g_efs_valid_block_num, g_efs_non_valid_block_num, g_efs_files_num,
          g_efs_wear_leveling_threshold, g_efs_layout_id, g_efs_sku_id,
          g_efs_autogen_data_loaded, EFS_files, Bytes()};
  // A mount reads g_efs_files_num descriptors from the list: all of them
  // must be there. A long list is kept by its head and its last descriptor.
  if (g_efs_autogen_data_loaded) {
    FUZZ_CHECK(EFS_files != nullptr);
    const uint8_t* at = reinterpret_cast<const uint8_t*>(EFS_files);
    const size_t d = sizeof(EFS_file_descriptor_t);
    const size_t head = g_efs_files_num < kKeptDescriptors ? g_efs_files_num : kKeptDescriptors;
    s.listBytes.assign(at, at + head * d);
    if (g_efs_files_num != 0) {
      const uint8_t* last = at + (size_t{g_efs_files_num} - 1) * d;
      s.listBytes.insert(s.listBytes.end(), last, last + d);
    }
  }
  return s;
}

// Back to the state of a freshly loaded library.
void reset() {
  clear_file_table_selection();
  g_efs_bm_num = 2;
  g_efs_valid_block_num = 7;
  g_efs_non_valid_block_num = 3;
  g_efs_files_num = 16;
  g_efs_wear_leveling_threshold = 100;
  g_efs_layout_id = 0;
  g_efs_sku_id = 0;
  g_efs_autogen_data_loaded = false;
  std::free(EFS_files);
  EFS_files = nullptr;
}

bool inside(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

// The EFS part as the blob describes it for `sku`. Returns false when the
// loader must refuse the blob; `found` tells whether an entry applies.
bool read_efst(const Bytes& blob, uint32_t sku, bool& found, size_t& entryAt) {
  found = false;
  const uint64_t h = (uint64_t{get_u32(&blob[12])} + 1) * kFtblEntrySize;
  if (!inside(h, kEfstHeaderSize, blob.size())) return false;
  if (get_u32(&blob[h]) != kEfst) return true;
  const uint32_t tables = get_u32(&blob[h + 12]);
  if (!inside(h + kEfstHeaderSize, uint64_t{tables} * kEfstEntrySize, blob.size())) return false;
  for (uint32_t i = 0; i < tables && !found; ++i) {
    entryAt = static_cast<size_t>(h + kEfstHeaderSize + i * kEfstEntrySize);
    found = get_u32(&blob[entryAt]) == sku;
  }
  if (!found) return true;
  const uint8_t* e = &blob[entryAt];
  const uint32_t offset = get_u32(e + 4), count = get_u32(e + 8), maxFiles = get_u32(e + 28);
  if (uint64_t{count} * kEfstFileSize < get_u32(e + 12)) return false;
  if (!inside(offset, uint64_t{count} * kEfstFileSize, blob.size())) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* f = &blob[offset + size_t{i} * kEfstFileSize];
    if (get_u16(f) >= maxFiles || get_u16(f + 52) > kLargestPieceOffset) return false;
  }
  return true;
}

// The EFS globals after a load that used the entry at `entryAt`.
void check_efs_loaded(const Bytes& blob, uint32_t sku, size_t entryAt) {
  const uint8_t* e = &blob[entryAt];
  FUZZ_CHECK(g_efs_autogen_data_loaded && g_efs_sku_id == static_cast<uint8_t>(sku));
  FUZZ_CHECK(g_efs_bm_num == get_u32(e + 16) && g_efs_valid_block_num == get_u32(e + 20));
  FUZZ_CHECK(g_efs_non_valid_block_num == get_u32(e + 24) && g_efs_files_num == get_u32(e + 28));
  FUZZ_CHECK(g_efs_wear_leveling_threshold == get_u32(e + 32));
  FUZZ_CHECK(g_efs_layout_id == static_cast<uint8_t>(get_u32(e + 36)));

  // Each descriptor: the last file entry that names it, or all zero. The
  // named ones, the head of the list and its last descriptor are compared.
  const uint32_t offset = get_u32(e + 4), count = get_u32(e + 8);
  std::map<uint32_t, const uint8_t*> last;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* f = &blob[offset + size_t{i} * kEfstFileSize];
    last[get_u16(f)] = f;
  }
  std::vector<uint32_t> numbers;
  for (uint32_t n = 0; n < g_efs_files_num && n < kKeptDescriptors; ++n) numbers.push_back(n);
  for (const auto& kv : last) numbers.push_back(kv.first);
  if (g_efs_files_num != 0) numbers.push_back(g_efs_files_num - 1);
  for (uint32_t n : numbers) {
    const EFS_file_descriptor_t d = EFS_files[n];
    const uint16_t offsetInBlock = d.Offset_In_Block, maxLength = d.Max_length;
    const auto named = last.find(n);
    if (named == last.end()) {
      FUZZ_CHECK(d.Logical_Block == 0 && offsetInBlock == 0 && maxLength == 0 && d.Flags.value == 0);
    } else {
      const uint8_t* f = named->second;
      FUZZ_CHECK(d.Logical_Block == f[50] && offsetInBlock == get_u16(f + 52));
      FUZZ_CHECK(maxLength == get_u16(f + 54) && d.Flags.value == 1);
    }
  }
}

void check_load(const Bytes& blob, uint32_t sku, int status, const State& before) {
  const State after = snapshot();
  FUZZ_CHECK(status == 0 || status == 1);
  if (blob.size() < kMinBlob || get_u32(&blob[0]) != kFtbl || get_u32(&blob[12]) > kMaxTables) {
    FUZZ_CHECK(status == 1 && after == before);
    return;
  }
  // The selection: the first entry of the SKU, when its whole array lies in
  // the blob; the previous one when no entry has the SKU.
  const uint32_t tables = get_u32(&blob[12]);
  bool selected = false;
  for (uint32_t i = 0; i < tables && !selected; ++i) {
    const uint8_t* e = &blob[kHeaderSize + i * kFtblEntrySize];
    if (get_u32(e) != sku) continue;
    const uint32_t offset = get_u32(e + 4), count = get_u32(e + 8);
    if (!inside(offset, uint64_t{count} * kFileEntrySize, blob.size())) {
      FUZZ_CHECK(status == 1 && after == before);
      return;
    }
    FUZZ_CHECK(after.table == reinterpret_cast<const tools_file_entry_in_table_t*>(&blob[offset]));
    FUZZ_CHECK(after.numFiles == static_cast<int32_t>(count) && after.sku == static_cast<int32_t>(sku));
    selected = true;
  }
  if (!selected)
    FUZZ_CHECK(after.table == before.table && after.numFiles == before.numFiles && after.sku == before.sku);

  bool found = false;
  size_t entryAt = 0;
  if (!read_efst(blob, sku, found, entryAt)) {
    FUZZ_CHECK(status == 1 && after.sameEfs(before));
    return;
  }
  // A list too large to allocate is refused as out of memory.
  const uint64_t listBytes = found ? uint64_t{get_u32(&blob[entryAt + 28])} * sizeof(EFS_file_descriptor_t) : 0;
  if (status == 1 && listBytes > kLargeList) {
    FUZZ_CHECK(after.sameEfs(before));
    return;
  }
  FUZZ_CHECK(status == 0);
  if (found)
    check_efs_loaded(blob, sku, entryAt);
  else
    FUZZ_CHECK(after.sameEfs(before));
}

// Every lookup against a scan of the selected entries in the blob.
void check_lookups(const std::string& probe) {
  const int32_t n = g_table_num_files;
  const uint8_t* base = reinterpret_cast<const uint8_t*>(g_table_buf);
  auto nameAt = [&](int32_t i) {
    const char* field = reinterpret_cast<const char*>(base + size_t(i) * kFileEntrySize);
    return std::string(field, strnlen(field, 48));
  };
  auto filenoAt = [&](int32_t i) { return get_u32(base + size_t(i) * kFileEntrySize + 48); };

  std::vector<std::string> queries = {probe};
  for (int32_t i = 0; i < n; ++i) queries.push_back(nameAt(i));
  for (const std::string& q : queries) {
    int32_t first = -1;
    for (int32_t i = 0; i < n && first < 0; ++i)
      if (std::strncmp(reinterpret_cast<const char*>(base + size_t(i) * kFileEntrySize), q.c_str(), 48) == 0)
        first = i;
    const tools_file_entry_in_table_t* entry = get_file_entry_by_file_name(q.c_str());
    fileno_t number{0x5A5A5A5A};
    file_attributes_t attributes{0x5A5A};
    unsigned maxSize = 0x5A5A5A5A;
    const unsigned byName = get_fileno_by_file_name(q.c_str(), &number);
    const unsigned byAttributes = get_file_attributes_by_file_name(q.c_str(), &attributes, &maxSize);
    if (first < 0) {
      FUZZ_CHECK(entry == nullptr && byName == FILE_TABLE_NOT_FOUND && byAttributes == FILE_TABLE_NOT_FOUND);
      FUZZ_CHECK(number.value == 0x5A5A5A5A && attributes.value == 0x5A5A && maxSize == 0x5A5A5A5A);
      continue;
    }
    const uint8_t* at = base + size_t(first) * kFileEntrySize;
    FUZZ_CHECK(reinterpret_cast<const uint8_t*>(entry) == at && byName == 0 && byAttributes == 0);
    FUZZ_CHECK(number.value == get_u32(at + 48) && attributes.value == get_u16(at + 52));
    FUZZ_CHECK(maxSize == get_u32(at + 64));
  }

  for (int32_t i = 0; i < n; ++i) {
    fileno_t number;
    number.value = filenoAt(i);
    int32_t first = 0;
    while (filenoAt(first) != number.value) ++first;
    const uint8_t* at = base + size_t(first) * kFileEntrySize;
    FUZZ_CHECK(reinterpret_cast<const uint8_t*>(get_file_entry_by_fileno(&number)) == at);
    char name[49];
    std::memset(name, 0x5A, sizeof name);
    FUZZ_CHECK(get_file_name_by_fileno(&number, name) == 0);
    FUZZ_CHECK(std::memcmp(name, at, 48) == 0 && name[48] == 0x5A);
  }
}

// The EFS as a later mount uses the loaded geometry and file list: a region
// of its own is formatted and mounted, each file is written and read back,
// and after a second mount the last file written reads back again. Only
// small regions are tried, to keep runs fast.
void use_efs_list() {
  if (!g_efs_autogen_data_loaded) return;
  const uint64_t blocks = uint64_t{g_efs_bm_num} + g_efs_valid_block_num + g_efs_non_valid_block_num;
  const uint64_t bytes = blocks * kEfsBlockSize;
  FUZZ_CHECK(EFS_get_efs_size() == static_cast<int>(bytes > INT32_MAX ? INT32_MAX : bytes));
  if (g_efs_bm_num == 0 || blocks > kEfsBlocksTried) return;
  const int formatted = EFS_init(true);
  FUZZ_CHECK(formatted == EFS_STATUS_OK || formatted == EFS_STATUS_CANNOT_PLACE);
  if (formatted != EFS_STATUS_OK) return;

  int32_t last = -1;
  Bytes lastData;
  for (uint32_t n = 0; n < g_efs_files_num && n < kEfsFilesTried; ++n) {
    const EFS_file_descriptor_t d = EFS_files[n];
    const uint16_t maxLength = d.Max_length;
    Bytes data(maxLength < kEfsFileBytesTried ? maxLength : kEfsFileBytesTried);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(n * 31 + i);
    uint8_t none = 0;
    const int written = EFS_write(n, 0, static_cast<uint32_t>(data.size()), data.empty() ? &none : data.data());
    if (d.Flags.bits.valid == 0) FUZZ_CHECK(written == EFS_STATUS_INVALID_ARGUMENT);
    if (written != EFS_STATUS_OK) continue;
    uint32_t size = 0;
    FUZZ_CHECK(EFS_get_file_size(n, &size) == EFS_STATUS_OK && size == data.size());
    Bytes back(data.size() + 1, 0xEE);
    uint32_t got = static_cast<uint32_t>(back.size());
    FUZZ_CHECK(EFS_read(n, 0, &got, back.data()) == EFS_STATUS_OK && got == data.size());
    FUZZ_CHECK(std::equal(data.begin(), data.end(), back.begin()));
    last = static_cast<int32_t>(n);
    lastData = data;
  }
  FUZZ_CHECK(EFS_init(false) == EFS_STATUS_OK);
  if (last < 0) return;
  Bytes back(lastData.size() + 1, 0xEE);
  uint32_t got = static_cast<uint32_t>(back.size());
  FUZZ_CHECK(EFS_read(static_cast<uint32_t>(last), 0, &got, back.data()) == EFS_STATUS_OK);
  FUZZ_CHECK(got == lastData.size() && std::equal(lastData.begin(), lastData.end(), back.begin()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint32_t sku1 = in.u32(), sku2 = in.u32();
  const Bytes probeBytes = in.bytes(in.u8());
  const std::string probe(probeBytes.begin(), probeBytes.end());
  Bytes blob = in.rest();
  if (blob.size() < kHeaderSize) blob.resize(kHeaderSize);  // the harness reads the header
  char* buffer = reinterpret_cast<char*>(blob.data());
  const unsigned blobSize = static_cast<unsigned>(blob.size());

  reset();
  for (uint32_t sku : {sku1, sku2}) {
    const State before = snapshot();
    check_load(blob, sku, load_file_table(buffer, sku, blobSize), before);
    check_lookups(probe.c_str());
  }
  use_efs_list();
  // The blob is going away: nothing may look names up in it any more.
  clear_file_table_selection();
  return 0;
}

std::vector<Bytes> tarn_fuzz::seeds() {
  using tarn_test::efst_file;
  using tarn_test::ftbl_file;
  tarn_test::EfstSku efs;
  efs.sku = 7;
  efs.max_file_num = 6;
  efs.files = {efst_file(0, 0x0102, 0, 100), efst_file(3, 1, 4072, 20), efst_file(3, 2, 8, 30)};
  tarn_test::FtblSku a{7, {ftbl_file("/home/a", 0x10000101, 1, 8), ftbl_file("/home/b", 0x10000102, 3, 16),
                           ftbl_file("/home/long/" + std::string(37, 'n'), 0x10000103, 0, 48),
                           ftbl_file("/home/b", 0x10000104, 0, 4)}};
  tarn_test::FtblSku b{9, {ftbl_file("/home/x", 0x20000001, 0, 1)}};

  std::vector<Bytes> out;
  auto seed = [&](uint32_t s1, uint32_t s2, const std::string& probe, const Bytes& blob) {
    out.push_back(tarn_fuzz::FuzzInputWriter()
                      .u32(s1)
                      .u32(s2)
                      .u8(static_cast<uint8_t>(probe.size()))
                      .bytes(Bytes(probe.begin(), probe.end()))
                      .bytes(blob)
                      .take());
  };
  seed(7, 9, "/home/b", tarn_test::FileTableBuilder().sku(a).sku(b).efs(efs).build());
  seed(9, 7, "/home/long/" + std::string(40, 'n'), tarn_test::FileTableBuilder().sku(b).sku(a).build());
  seed(7, 8, "", tarn_test::FileTableBuilder().sku(a).without_efst().build());
  tarn_test::EfstSku other = efs;
  other.sku = 9;
  seed(9, 7, "/home/x", tarn_test::FileTableBuilder().sku(a).efs(other).efs(efs).build(1100));
  return out;
}
