// Fuzz target: FCS buffers and operation scripts through the store's handle
// API. The input is a 16-bit length, an FCS buffer of that length, then a
// script of operations (add, delete, read, attributes, flush, list). After
// the load and after every operation the table must equal the harness's
// model; at the end the flushed buffer is loaded into a new handle and must
// give what the model says.
#include <cstring>
#include <string>

#include "fcs_model.h"
#include "fuzz_file_table.h"
#include "fuzz_support.h"
#include "storage/FCS.h"

using tarn_fuzz::FuzzInput;
using tarn_fuzz::ModelRecord;
using tarn_fuzz::ModelTable;
using tarn_test::Bytes;
using tarn_test::FtblFile;

namespace {

enum Op : uint8_t { kAdd, kDelete, kRead, kAttributes, kFlush, kList, kOpCount };

constexpr uint32_t kUnknownFileno = 0x7777;
// Operations per input: enough for any sequence worth trying, few enough
// that checking the whole table after each stays cheap.
constexpr int kMaxOps = 32;

// Names an operation may use: every table name, an unknown name, the long
// name with more characters behind it, an empty name, and each table name
// with a slash behind it.
std::string pick_name(uint8_t sel) {
  const std::vector<FtblFile>& files = tarn_fuzz::table_files();
  const size_t n = files.size();
  const size_t k = sel % (2 * n + 3);
  if (k < n) return files[k].name;
  if (k == n) return "/home/unknown";
  if (k == n + 1) return files[6].name + "-more";
  if (k == n + 2) return "";
  return files[k - n - 3].name + "/";
}

uint32_t pick_fileno(uint8_t sel) {
  const std::vector<FtblFile>& files = tarn_fuzz::table_files();
  const size_t k = sel % (files.size() + 1);
  return k < files.size() ? files[k].fileno : kUnknownFileno;
}

// The table must list exactly the model's names, in its order, and return
// each record as the model has it.
void check_table(FCS_HANDLE h, const ModelTable& model) {
  char name[FCS_FILE_NAME_BUFFER_SIZE];
  auto it = model.begin();
  int status = getFirstFileInRoot(h, name);
  for (; status == FCS_OK; status = getNextFile(h, name), ++it) {
    FUZZ_CHECK(it != model.end());
    FUZZ_CHECK(it->first == name);
  }
  FUZZ_CHECK(status == FCS_ERR_NO_MORE_FILES);
  FUZZ_CHECK(it == model.end());
  FUZZ_CHECK(getNextFile(h, name) == FCS_ERR_NO_MORE_FILES);

  for (const auto& kv : model) {
    const Bytes expected = tarn_fuzz::model_record(kv.second);
    Bytes out(expected.size());
    uint32_t size = static_cast<uint32_t>(out.size());
    FUZZ_CHECK(getFileData(h, kv.first.c_str(), out.data(), &size) == FCS_OK);
    FUZZ_CHECK(size == expected.size() && out == expected);
  }
}

void op_add(FCS_HANDLE h, ModelTable& model, FuzzInput& in) {
  const std::string name = pick_name(in.u8());
  uint32_t fileno = pick_fileno(in.u8());
  const uint8_t flags = in.u8();
  const bool enforce = (flags & 1) != 0;
  if ((flags & 2) != 0) fileno = 0;
  const uint16_t attributes = in.u16();
  const uint32_t offset = in.u32();
  const uint16_t fileSize = in.u16();

  // The record: header, then fileSize - 12 payload bytes, taken from the
  // input as far as it goes and patterned after that.
  Bytes record(fileSize < 12 ? 12 : fileSize);
  tarn_test::put_u32(record, 0, fileno);
  tarn_test::put_u32(record, 4, offset);
  tarn_test::put_u16(record, 8, 0xA5A5);  // the store sets the length from fileSize
  tarn_test::put_u16(record, 10, attributes);
  const Bytes from_input = in.bytes(record.size() - 12);
  for (size_t i = 12; i < record.size(); ++i)
    record[i] = i - 12 < from_input.size() ? from_input[i - 12] : static_cast<uint8_t>(i * 13);

  const int status = addNewFile(h, "", name.c_str(), record.data(), fileSize, enforce);

  uint32_t number = 0;
  const int expected = tarn_fuzz::model_add_status(model, name, fileno, fileSize, enforce, number);
  FUZZ_CHECK(status == expected);
  // A looked-up number is written into the caller's header, whatever follows.
  if (fileno == 0 && expected != FCS_ERR_BUFFER_TOO_SMALL && expected != FCS_ERR_INVALID_PARAMETER &&
      expected != FCS_ERR_NAME_NOT_IN_TABLE)
    FUZZ_CHECK(tarn_test::get_u32(record.data()) == number);
  if (expected != FCS_OK) return;

  ModelRecord r;
  r.fileno = number;
  r.offset = offset;
  r.attributes = attributes;
  r.payload.assign(record.begin() + 12, record.end());
  model[tarn_fuzz::stored_key(name)] = r;
}

void op_delete(FCS_HANDLE h, ModelTable& model, FuzzInput& in) {
  const std::string name = pick_name(in.u8());
  const int status = deleteFile(h, name.c_str());
  // A record is found by its whole name; failing that, the name is a path
  // whose first element names a record and nothing may follow it.
  std::string target = name;
  if (model.count(name) == 0) {
    const size_t slash = name.find('/');
    target = slash == std::string::npos ? name : name.substr(0, slash);
    const bool rest = slash != std::string::npos && slash + 1 < name.size();
    if (rest) target.clear();
  }
  if (target.empty() || model.count(target) == 0) {
    FUZZ_CHECK(status == FCS_ERR_FILE_NOT_FOUND);
    return;
  }
  FUZZ_CHECK(status == FCS_OK);
  model.erase(target);
}

void op_read(FCS_HANDLE h, const ModelTable& model, FuzzInput& in) {
  const std::string name = pick_name(in.u8());
  const uint32_t offered = in.u16();
  Bytes out(offered == 0 ? 1 : offered, 0xEE);
  uint32_t size = offered;
  const int status = getFileData(h, name.c_str(), out.data(), &size);
  const auto it = model.find(name);
  if (it == model.end()) {
    FUZZ_CHECK(status == FCS_ERR_FILE_NOT_FOUND);
    return;
  }
  const Bytes expected = tarn_fuzz::model_record(it->second);
  FUZZ_CHECK(size == expected.size());
  if (offered < expected.size()) {
    FUZZ_CHECK(status == FCS_ERR_BUFFER_TOO_SMALL);
    FUZZ_CHECK(out == Bytes(out.size(), 0xEE));
    return;
  }
  FUZZ_CHECK(status == FCS_OK);
  FUZZ_CHECK(std::memcmp(out.data(), expected.data(), expected.size()) == 0);
}

void op_attributes(FCS_HANDLE h, const ModelTable& model, FuzzInput& in) {
  const std::string name = pick_name(in.u8());
  cfg_file_entry_with_file_attributes_t a;
  std::memset(&a, 0, sizeof a);
  const int status = getFileAttributes(h, name.c_str(), &a);
  const auto it = model.find(name);
  if (it == model.end()) {
    FUZZ_CHECK(status == FCS_ERR_FILE_NOT_FOUND);
    return;
  }
  Bytes header(reinterpret_cast<const uint8_t*>(&a), reinterpret_cast<const uint8_t*>(&a) + 12);
  const Bytes record = tarn_fuzz::model_record(it->second);
  FUZZ_CHECK(header == Bytes(record.begin(), record.begin() + 12));
  const FtblFile* file = tarn_fuzz::file_by_name(name);
  if (file == nullptr) {
    FUZZ_CHECK(status == FCS_ERR_INVALID_ENTRY);
    return;
  }
  FUZZ_CHECK(status == FCS_OK);
  const uint16_t fileAttributes = a.file_attributes.value;
  const uint32_t maxFileSize = a.max_file_size;
  FUZZ_CHECK(fileAttributes == file->file_attributes && maxFileSize == file->max_file_size);
}

void op_flush(FCS_HANDLE h, ModelTable& model, FuzzInput& in) {
  const uint8_t mode = in.u8();
  const Bytes expected = tarn_fuzz::model_flush(model);
  // Offer the size needed, a size chosen by the input, or a null buffer.
  uint32_t offered = (mode & 1) != 0 ? static_cast<uint32_t>(expected.size()) : in.u16();
  const bool nullBuffer = (mode & 2) != 0;
  Bytes out(offered < expected.size() + 16 ? (offered == 0 ? 1 : offered) : expected.size() + 16, 0xEE);
  uint32_t size = offered;
  const int status = flush(h, nullBuffer ? nullptr : out.data(), &size);
  if (offered < expected.size()) {
    FUZZ_CHECK(status == FCS_ERR_BUFFER_TOO_SMALL && size == expected.size());
    FUZZ_CHECK(out == Bytes(out.size(), 0xEE));
  } else if (nullBuffer) {
    FUZZ_CHECK(status == FCS_ERR_INVALID_PARAMETER);
  } else {
    FUZZ_CHECK(status == FCS_OK && size == expected.size());
    FUZZ_CHECK(std::memcmp(out.data(), expected.data(), expected.size()) == 0);
  }
}

// Opens a handle on `buffer` and checks it against the model's load.
FCS_HANDLE load(const Bytes& buffer, ModelTable& model) {
  const uint8_t none = 0;
  FCS_HANDLE h = reinterpret_cast<FCS_HANDLE>(&model);  // must be overwritten or cleared
  const int status = createHandleFromStructure(&h, buffer.empty() ? &none : buffer.data(),
                                               static_cast<uint32_t>(buffer.size()));
  if (!tarn_fuzz::model_load(buffer, model)) {
    FUZZ_CHECK(status == FCS_ERR_LOAD_FAILED && h == nullptr);
    model.clear();
    FUZZ_CHECK(createHandle(&h) == FCS_OK);
  } else {
    FUZZ_CHECK(status == FCS_OK && h != nullptr);
  }
  check_table(h, model);
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarn_fuzz::select_table();
  FuzzInput in(data, size);
  const Bytes buffer = in.bytes(in.u16());

  ModelTable model;
  FCS_HANDLE h = load(buffer, model);
  for (int op = 0; op < kMaxOps && !in.empty(); ++op) {
    switch (in.u8() % kOpCount) {
      case kAdd: op_add(h, model, in); break;
      case kDelete: op_delete(h, model, in); break;
      case kRead: op_read(h, model, in); break;
      case kAttributes: op_attributes(h, model, in); break;
      case kFlush: op_flush(h, model, in); break;
      default: break;  // kList: check_table lists every name
    }
    check_table(h, model);
  }

  // What the table flushes loads again as the model says.
  uint32_t needed = 0;
  FUZZ_CHECK(flush(h, nullptr, &needed) == FCS_ERR_BUFFER_TOO_SMALL);
  Bytes flushed(needed);
  FUZZ_CHECK(flush(h, flushed.data(), &needed) == FCS_OK && needed == flushed.size());
  FUZZ_CHECK(flushed == tarn_fuzz::model_flush(model));
  ModelTable reloaded;
  FCS_HANDLE again = load(flushed, reloaded);

  FUZZ_CHECK(closeHandle(&again) == FCS_OK && again == nullptr);
  FUZZ_CHECK(closeHandle(&h) == FCS_OK && h == nullptr);
  FUZZ_CHECK(closeHandle(&h) == FCS_ERR_INVALID_HANDLE);
  return 0;
}

std::vector<Bytes> tarn_fuzz::seeds() {
  const auto rec = tarn_test::fcs_text_record;
  const std::vector<FtblFile>& files = tarn_fuzz::table_files();
  // Table files by position: 0 "/home/a", 1 "/home/a/b", 3 "B", 4 "a",
  // 5 "x/", 6 the 48-character name, 8 "/home/zero" (number 0), 9 and 10 one
  // number for two names.
  const Bytes loaded = tarn_test::write_fcs_buffer_reversed_payloads(
      {rec(files[0].name, files[0].fileno, 1, "AAAA"), rec(files[3].name, files[3].fileno, 0, ""),
       rec(files[6].name, files[6].fileno, 0x8001, "long"), rec("", 0x7777, 0, "unknown"),
       rec(files[8].name, files[8].fileno, 0, "zero")});
  const Bytes duplicate = tarn_test::write_fcs_buffer(
      {rec(files[9].name, files[9].fileno, 0, "one"), rec(files[10].name, files[10].fileno, 0, "two")});

  tarn_fuzz::FuzzInputWriter script;
  // add "a" under its own number; add with number 0; add above the limit
  // with the limit enforced; add the long name with more behind it.
  script.u8(kAdd).u8(4).u8(4).u8(0).u16(0).u32(0).u16(12 + 3).bytes({'a', 'b', 'c'});
  script.u8(kAdd).u8(1).u8(0).u8(2).u16(1).u32(9).u16(12 + 2).bytes({'x', 'y'});
  script.u8(kAdd).u8(5).u8(5).u8(1).u16(0).u32(0).u16(12 + 101);
  script.u8(kAdd).u8(static_cast<uint8_t>(files.size() + 1)).u8(6).u8(0).u16(0).u32(0).u16(12);
  script.u8(kRead).u8(4).u16(14).u8(kRead).u8(4).u16(15);
  script.u8(kAttributes).u8(0).u8(kAttributes).u8(1);
  script.u8(kFlush).u8(0).u16(3).u8(kFlush).u8(1).u8(kFlush).u8(3);
  // delete "a" by "a/", then "x/" whole, then a name no record has.
  script.u8(kDelete).u8(static_cast<uint8_t>(files.size() + 3 + 4));
  script.u8(kDelete).u8(5).u8(kDelete).u8(static_cast<uint8_t>(files.size()));
  script.u8(kList);
  const Bytes ops = script.take();

  std::vector<Bytes> out;
  out.push_back(tarn_fuzz::FuzzInputWriter().sized(loaded).bytes(ops).take());
  out.push_back(tarn_fuzz::FuzzInputWriter().sized(duplicate).bytes(ops).take());
  out.push_back(tarn_fuzz::FuzzInputWriter().sized(Bytes{0, 0, 0, 0}).bytes(ops).take());
  return out;
}
