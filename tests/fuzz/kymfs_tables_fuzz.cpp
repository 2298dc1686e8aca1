// Fuzz target: a defaults table and a configuration partition through the
// interface layer's tables, as start-up and shutdown drive them. The input is
// a flag byte (bit 0: read payloads, bit 1: enforce the size limit), a 16-bit
// length, the defaults table, and the partition (the rest). Both are loaded;
// every overridable default then gets the override's copy or its own, added
// to a new table; that table is serialised and loaded back. Each step must
// give what the harness's model says, a failure must have been reported, and
// every table must end empty.
#include <cstring>
#include <string>
#include <vector>

#include "fcs_model.h"
#include "fuzz_file_table.h"
#include "fuzz_support.h"
#include "storagelib/kymfs.h"
#include "storagelib/kymfs_report.h"
#include "storagelib/qelerrors.h"
#include "support/qelc_partition_builder.h"

using tarn_fuzz::FuzzInput;
using tarn_fuzz::ModelRecord;
using tarn_fuzz::ModelTable;
using tarn_test::Bytes;

namespace {

struct Report {
  ErrorLevel level;
  ImageToolsErrorName name;
  std::string message;
};

std::vector<Report>& reports() {
  static std::vector<Report> list;
  return list;
}

void TARN_CDECL capture(ErrorLevel level, ImageToolsErrorName name, const char*, const char* message) {
  reports().push_back({level, name, message});
}

bool reported(ImageToolsErrorName name) {
  for (const Report& r : reports())
    if (r.level == Error && r.name == name) return true;
  return false;
}

void check_empty(const FcsTable& t) {
  FUZZ_CHECK(t.handle == nullptr && t.data == nullptr && t.datasize == 0);
  FUZZ_CHECK(t.firstEntry == nullptr && t.lastEntry == nullptr && t.numFiles == 0);
}

std::vector<const FcsFileEntry*> entries(const FcsTable& t) {
  std::vector<const FcsFileEntry*> list;
  const FcsFileEntry* prev = nullptr;
  for (const FcsFileEntry* e = t.firstEntry; e != nullptr; e = e->next) {
    FUZZ_CHECK(e->prev == prev && e->inFcsTable && !e->isDirectory);
    list.push_back(e);
    prev = e;
  }
  FUZZ_CHECK(t.lastEntry == prev && t.numFiles == list.size());
  return list;
}

Bytes payload(const FcsFileEntry* e) {
  return e->data == nullptr ? Bytes() : Bytes(e->data, e->data + e->dataSize);
}

// A loaded table against the model's load of the same buffer.
void check_loaded(const FcsTable& t, bool ok, const Bytes& buffer, bool loadData) {
  ModelTable model;
  if (!tarn_fuzz::model_load(buffer, model)) {
    FUZZ_CHECK(!ok && reported(ErrorFcsCreateHandle));
    check_empty(t);
    return;
  }
  FUZZ_CHECK(ok && t.handle != nullptr && t.datasize == buffer.size());
  FUZZ_CHECK(buffer.empty() || std::memcmp(t.data, buffer.data(), buffer.size()) == 0);
  const std::vector<const FcsFileEntry*> list = entries(t);
  FUZZ_CHECK(list.size() == model.size());
  auto it = model.begin();
  for (const FcsFileEntry* e : list) {
    const ModelRecord& r = it->second;
    const cfg_file_entry_t& h = e->attributes.cfg_file_entry;
    FUZZ_CHECK(it->first == e->relativePath);
    FUZZ_CHECK(h.fileno.value == r.fileno && h.offset == r.offset && h.attributes.value == r.attributes);
    FUZZ_CHECK(h.length == r.payload.size() && e->dataSize == r.payload.size());
    const tarn_test::FtblFile* file = tarn_fuzz::file_by_name(it->first);
    FUZZ_CHECK(file != nullptr && e->attributes.file_attributes.value == file->file_attributes);
    FUZZ_CHECK(e->attributes.max_file_size == file->max_file_size);
    const bool overridable = (r.attributes & 1) != 0;
    FUZZ_CHECK(e->isManufEnabled == overridable);
    if (loadData && overridable && !r.payload.empty())
      FUZZ_CHECK(e->data != nullptr && payload(e) == r.payload);
    else
      FUZZ_CHECK(e->data == nullptr);
    ++it;
  }
}

void load_partition(FcsTable& t, const Bytes& partition, bool loadData) {
  const uint8_t none = 0;
  char* at = reinterpret_cast<char*>(const_cast<uint8_t*>(partition.empty() ? &none : partition.data()));
  const uint32_t size = static_cast<uint32_t>(partition.size());
  reports().clear();
  const bool ok = kyMfsLoadFcsTableFromQelcPartition(t, loadData, at, size);
  if (size == 0) {
    FUZZ_CHECK(ok && t.handle != nullptr && t.fileName == FcsFileNameQelCfg && t.numFiles == 0);
  } else if (size < tarn_test::qelc_header_size) {
    FUZZ_CHECK(!ok && reported(ErrorCastBuffer));
    check_empty(t);
  } else if (tarn_test::get_u32(&partition[tarn_test::qelc_size_at]) > size - tarn_test::qelc_header_size) {
    FUZZ_CHECK(!ok && reported(ErrorMfsInitError));
    check_empty(t);
  } else {
    const size_t end = tarn_test::qelc_header_size + tarn_test::get_u32(&partition[tarn_test::qelc_size_at]);
    check_loaded(t, ok, Bytes(partition.begin() + tarn_test::qelc_header_size, partition.begin() + end),
                 loadData);
  }
}

// One current value: the override's copy when there is one, else the
// default's; added under path + "/".
struct Current {
  std::string path;
  uint32_t fileno;
  uint16_t attributes;
  Bytes payload;  // what the store gets: the entry's bytes, or zeros
};

// Builds the current values from the two tables and checks the copies and
// the adds; returns the model of the store's records (by store name).
ModelTable build_currents(FcsTable& currents, FcsTable& defaults, FcsTable& overrides, bool enforce) {
  FUZZ_CHECK(kyMfsNewFcsTable(currents, FcsFileNameCurrentsCfg));
  std::vector<std::string> linked;
  ModelTable store;
  for (const FcsFileEntry* d : entries(defaults)) {
    if (!d->isManufEnabled) continue;
    FcsFileEntry* source = nullptr;
    for (const FcsFileEntry* o : entries(overrides))
      if (std::strncmp(o->relativePath, d->relativePath, FCS_ENTRY_PATH_SIZE) == 0 && source == nullptr)
        source = const_cast<FcsFileEntry*>(o);
    if (source == nullptr) source = const_cast<FcsFileEntry*>(d);
    FcsFileEntry* copy = kyMfsFindCopyFile(source == d ? defaults : overrides, d->relativePath);
    FUZZ_CHECK(copy != nullptr && !copy->inFcsTable && copy->prev == nullptr && copy->next == nullptr);
    FUZZ_CHECK(std::memcmp(&copy->attributes, &source->attributes, sizeof copy->attributes) == 0);
    FUZZ_CHECK(copy->dataSize == source->dataSize && payload(copy) == payload(source));
    FUZZ_CHECK(copy->data == nullptr || copy->data != source->data);

    const std::string path = copy->relativePath;
    const std::string name = path + "/";
    ModelRecord r;
    r.fileno = copy->attributes.cfg_file_entry.fileno.value;
    r.offset = copy->attributes.cfg_file_entry.offset;
    r.attributes = copy->attributes.cfg_file_entry.attributes.value;
    r.payload = copy->data != nullptr ? payload(copy) : Bytes(copy->dataSize, 0);
    const int refusal = tarn_fuzz::model_add_status(store, name, r.fileno,
                                                    static_cast<uint32_t>(12 + r.payload.size()), enforce,
                                                    r.fileno);
    reports().clear();
    FUZZ_CHECK(kyMfsAddNewFileFcs(currents, copy, enforce));
    if (refusal != FCS_OK) {
      // Left out with two debug reports naming it and the store's status.
      FUZZ_CHECK(reports().size() == 2 && reports()[0].level == Debug && reports()[1].level == Debug);
      FUZZ_CHECK(reports()[0].message == "Failed to add file into cfg file:" + path + "/ FCS error: " +
                                             std::to_string(refusal) + "\n");
      continue;
    }
    FUZZ_CHECK(reports().empty());
    store[tarn_fuzz::stored_key(name)] = r;
    linked.push_back(path);
  }
  const std::vector<const FcsFileEntry*> list = entries(currents);
  FUZZ_CHECK(list.size() == linked.size());
  for (size_t i = 0; i < list.size(); ++i) FUZZ_CHECK(linked[i] == list[i]->relativePath);
  return store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    QelErrors::init();
    kyMfsSetStatusCallback(capture);
    return true;
  }();
  (void)ready;
  Bytes& blob = tarn_fuzz::table_blob();
  FUZZ_CHECK(kyMfsSetFileTableCopy(reinterpret_cast<const char*>(blob.data()),
                                   static_cast<U32>(blob.size()), tarn_fuzz::kTableSku));

  FuzzInput in(data, size);
  const uint8_t flags = in.u8();
  const bool loadData = (flags & 1) != 0, enforce = (flags & 2) != 0;
  Bytes defaultsBuffer = in.bytes(in.u16());
  const Bytes partition = in.rest();

  FcsTable defaults, overrides, currents, reread;
  reports().clear();
  const uint8_t none = 0;
  char* at = reinterpret_cast<char*>(defaultsBuffer.empty() ? const_cast<uint8_t*>(&none) : defaultsBuffer.data());
  const bool ok = kyMfsLoadPtrTableData(defaults, at, static_cast<U32>(defaultsBuffer.size()), loadData);
  check_loaded(defaults, ok, defaultsBuffer, loadData);
  load_partition(overrides, partition, loadData);

  if (ok && overrides.handle != nullptr) {
    ModelTable store = build_currents(currents, defaults, overrides, enforce);
    FUZZ_CHECK(kyMfsSerializeFcsTable(currents));
    const Bytes expected = tarn_fuzz::model_flush(store);
    FUZZ_CHECK(currents.datasize == expected.size() &&
               std::memcmp(currents.data, expected.data(), expected.size()) == 0);
    reports().clear();
    const bool again = kyMfsLoadPtrTableData(reread, currents.data, currents.datasize, true);
    check_loaded(reread, again, expected, true);
  }

  for (FcsTable* t : {&defaults, &overrides, &currents, &reread}) {
    kyMfsFreeFcsTable(*t);
    check_empty(*t);
    kyMfsFreeFcsTable(*t);
  }
  return 0;
}

std::vector<Bytes> tarn_fuzz::seeds() {
  const auto rec = tarn_test::fcs_text_record;
  const std::string longName = "/home/long/" + std::string(37, 'n');
  const Bytes defaults = tarn_test::write_fcs_buffer_reversed_payloads(
      {rec("/home/a", 0x10000101, 1, "AAAA"), rec("/home/a/b", 0x10000102, 1, "ab"),
       rec("/home/ab", 0x10000103, 0, "no"), rec("x/", 0x20000003, 1, ""),
       rec(longName, 0x30000001, 1, "long"), rec("/home/big", 0x30000004, 0x8001, "big"),
       rec("/home/unknown", 0x12345678, 1, "UU")});
  tarn_test::QelcPartition partition;
  partition.fcs = tarn_test::write_fcs_buffer(
      {rec("/home/a", 0x10000101, 0, "overridden"), rec("/home/a/b", 0x10000102, 1, "AB!")});
  partition.trailing = 5;

  std::vector<Bytes> out;
  for (uint8_t flags : {0, 1, 3}) {
    out.push_back(tarn_fuzz::FuzzInputWriter().u8(flags).sized(defaults).bytes(partition.build()).take());
  }
  out.push_back(tarn_fuzz::FuzzInputWriter().u8(1).sized(defaults).take());
  return out;
}
