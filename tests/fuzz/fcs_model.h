// The harness's model of one configuration-file table in the store: what a
// load must give, what a flush must write and what a read must return,
// computed from the byte tables of the format and the file table of
// fuzz_file_table.h, never by the library.
#ifndef TARN_TESTS_FUZZ_FCS_MODEL_H
#define TARN_TESTS_FUZZ_FCS_MODEL_H

#include <cstdint>
#include <map>
#include <string>

#include "support/bytes.h"
#include "support/fcs_buffer_writer.h"

namespace tarn_fuzz {

using tarn_test::Bytes;

struct ModelRecord {
  uint32_t fileno = 0;
  uint32_t offset = 0;  // as the stored header carries it
  uint16_t attributes = 0;
  Bytes payload;
};

// The store's name order: unsigned bytes, a proper prefix first.
struct NameLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return tarn_test::fcs_name_less(a, b);
  }
};
using ModelTable = std::map<std::string, ModelRecord, NameLess>;

// Loads an FCS buffer as the store must: false when the load must fail;
// otherwise `out` holds the records, named by the file table, with their
// headers as read. Records the file table does not name are left out.
bool model_load(const Bytes& buffer, ModelTable& out);

// The status addNewFile must give for a record of `fileSize` bytes (header
// included) whose header carries `fileno`, added under `name`; on success
// also the key it is stored under. A header number of 0 is looked up by
// name, and `number` receives the number the record ends up with (it is
// also what gets written into the caller's header).
int model_add_status(const ModelTable& table, const std::string& name, uint32_t fileno,
                     uint32_t fileSize, bool enforce, uint32_t& number);

// A name as the store keeps it: its first 48 characters.
std::string stored_key(const std::string& name);

// The FCS buffer a flush of `table` must write. As a flush does, it also
// sets every record's stored offset to its place in the payload area.
Bytes model_flush(ModelTable& table);

// A record as a read returns it: the 12-byte header, then the payload.
Bytes model_record(const ModelRecord& record);

// The records of `table` as the builders take them, in name order.
std::vector<tarn_test::FcsRecord> model_records(const ModelTable& table);

}  // namespace tarn_fuzz

#endif  // TARN_TESTS_FUZZ_FCS_MODEL_H
