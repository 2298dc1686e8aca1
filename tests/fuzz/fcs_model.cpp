#include "fcs_model.h"

#include "fuzz_file_table.h"
#include "storage/FCS.h"

namespace tarn_fuzz {

using tarn_test::get_u16;
using tarn_test::get_u32;

namespace {

constexpr uint64_t kHeaderSize = tarn_test::kFcsHeaderSize;
constexpr uint64_t kLargestRecord = 0xFFFF;  // a record's size crosses the store as 16 bits

}  // namespace

bool model_load(const Bytes& buffer, ModelTable& out) {
  out.clear();
  const uint64_t size = buffer.size();
  if (size < tarn_test::kFcsCountSize) return false;
  const uint32_t count = get_u32(buffer.data());
  if (size < tarn_test::kFcsCountSize + kHeaderSize * count) return false;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* header = buffer.data() + tarn_test::fcs_header_at(i);
    ModelRecord r;
    r.fileno = get_u32(header + tarn_test::kFcsFilenoAt);
    r.offset = get_u32(header + tarn_test::kFcsOffsetAt);
    const uint16_t length = get_u16(header + tarn_test::kFcsLengthAt);
    r.attributes = get_u16(header + tarn_test::kFcsAttributesAt);
    if (length != 0 && uint64_t{r.offset} + length > size) return false;
    const tarn_test::FtblFile* file = file_by_fileno(r.fileno);
    if (file == nullptr || stored_name(*file).empty()) continue;
    if (kHeaderSize + length > kLargestRecord) return false;
    if (length != 0) r.payload.assign(buffer.begin() + r.offset, buffer.begin() + r.offset + length);
    if (!out.emplace(stored_name(*file), r).second) return false;  // the name is taken
  }
  return true;
}

std::string stored_key(const std::string& name) { return name.substr(0, name.size() < 48 ? name.size() : 48); }

int model_add_status(const ModelTable& table, const std::string& name, uint32_t fileno,
                     uint32_t fileSize, bool enforce, uint32_t& number) {
  number = fileno;
  if (fileSize < kHeaderSize) return FCS_ERR_BUFFER_TOO_SMALL;
  if (name.empty()) return FCS_ERR_INVALID_PARAMETER;
  if (fileno == 0) {
    const tarn_test::FtblFile* byName = file_by_name(name);
    if (byName == nullptr) return FCS_ERR_NAME_NOT_IN_TABLE;
    number = byName->fileno;
  }
  const tarn_test::FtblFile* byNumber = file_by_fileno(number);
  if (byNumber == nullptr) return FCS_ERR_INVALID_ENTRY;
  if (enforce && fileSize - kHeaderSize > byNumber->max_file_size) return FCS_ERR_FILE_TOO_LARGE;
  if (table.count(stored_key(name)) != 0) return FCS_ERR_FILE_EXISTS;
  return FCS_OK;
}

std::vector<tarn_test::FcsRecord> model_records(const ModelTable& table) {
  std::vector<tarn_test::FcsRecord> records;
  for (const auto& kv : table) {
    tarn_test::FcsRecord r;
    r.name = kv.first;
    r.fileno = kv.second.fileno;
    r.attributes = kv.second.attributes;
    r.payload = kv.second.payload;
    records.push_back(r);
  }
  return records;
}

Bytes model_flush(ModelTable& table) {
  uint32_t at = 0;
  for (auto& kv : table) {
    kv.second.offset = at;
    at += static_cast<uint32_t>(kv.second.payload.size());
  }
  return tarn_test::write_fcs_buffer(model_records(table));
}

Bytes model_record(const ModelRecord& record) {
  tarn_test::FcsRecord r;
  r.fileno = record.fileno;
  r.attributes = record.attributes;
  r.payload = record.payload;
  return tarn_test::fcs_record(r, record.offset);
}

}  // namespace tarn_fuzz
