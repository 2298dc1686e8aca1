// The file table that the store and table targets select, and the harness's
// own answers to the file-table lookups over it, taken from the builder's
// list rather than from the library.
#ifndef TARN_TESTS_FUZZ_FUZZ_FILE_TABLE_H
#define TARN_TESTS_FUZZ_FUZZ_FILE_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/file_table_builder.h"

namespace tarn_fuzz {

constexpr uint32_t kTableSku = 7;

// The table's files in table order. Besides ordinary names it holds what a
// hostile table may hold: names with slashes, one ending in a slash, a name
// that is a prefix of others, a 48-character name stored without terminator,
// an empty name, a file numbered 0, two names sharing one number, and a file
// whose limit is above the largest record.
const std::vector<tarn_test::FtblFile>& table_files();

// The blob holding table_files() for kTableSku; it lives for the process, as
// the store's selection must.
tarn_test::Bytes& table_blob();

// Selects the table in the store (load_file_table); ends the run if it fails.
void select_table();

// The first file whose name equals `name` over at most 48 characters
// (strncmp), or null.
const tarn_test::FtblFile* file_by_name(const std::string& name);
// The first file numbered `fileno`, or null.
const tarn_test::FtblFile* file_by_fileno(uint32_t fileno);
// A file's name as the store reads it: its 48-byte field up to the first NUL.
std::string stored_name(const tarn_test::FtblFile& file);

}  // namespace tarn_fuzz

#endif  // TARN_TESTS_FUZZ_FUZZ_FILE_TABLE_H
