// Selection of one SKU's table inside the host's file-table blob, and the
// lookups over it. The blob is read in place, never copied or changed.
#include "storage/ToolsFileTable.h"

#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

#include "flash/efs/EFS_autogen.h"

tools_file_entry_in_table_t* g_table_buf = nullptr;
int32_t g_table_num_files = 0;
int32_t g_dfs_sku = -1;

namespace {

// Lookups by name and by number over the selected table, built when a table
// is selected so that each lookup costs one hash probe instead of a walk over
// every entry. Each key keeps its first entry, as the walk finds it. Names are
// keyed as the comparison sees them: up to their NUL, at most 48 characters,
// viewed in place in the blob. The index answers only for the selection it
// was built for; without one (no memory to build it) the lookups walk.
struct SelectionIndex {
  const tools_file_entry_in_table_t* table = nullptr;
  int32_t count = 0;
  bool usable = false;
  std::unordered_map<std::string_view, int32_t> byName;
  std::unordered_map<uint32_t, int32_t> byNumber;
};

// Made on first use and never destroyed, so that nothing of it runs when the
// library is loaded or unloaded; null when there is no memory for it (the
// lookups then walk).
SelectionIndex* selectionIndex() {
  static SelectionIndex* const index = new (std::nothrow) SelectionIndex();
  return index;
}

std::string_view nameKey(const char* name) {
  return std::string_view(name, strnlen(name, FILE_TABLE_NAME_SIZE));
}

uint32_t numberOf(const tools_file_entry_in_table_t& entry) {
  uint32_t value;  // the entry may lie unaligned in the blob
  std::memcpy(&value, &entry.unique_fileno, sizeof value);
  return value;
}

void indexSelection() {
  SelectionIndex* index = selectionIndex();
  if (index == nullptr) return;
  index->usable = false;
  index->byName.clear();
  index->byNumber.clear();
  if (g_table_buf == nullptr) return;
  try {
    index->byName.reserve(static_cast<size_t>(g_table_num_files));
    index->byNumber.reserve(static_cast<size_t>(g_table_num_files));
    for (int32_t i = 0; i < g_table_num_files; ++i) {
      index->byName.emplace(nameKey(g_table_buf[i].unique_file_name), i);
      index->byNumber.emplace(numberOf(g_table_buf[i]), i);
    }
  } catch (...) {
    index->byName.clear();
    index->byNumber.clear();
    return;
  }
  index->table = g_table_buf;
  index->count = g_table_num_files;
  index->usable = true;
}

// The index of the current selection, or null when the lookups must walk.
const SelectionIndex* indexed() {
  const SelectionIndex* index = selectionIndex();
  return index != nullptr && index->usable && index->table == g_table_buf &&
                 index->count == g_table_num_files
             ? index
             : nullptr;
}

tools_file_entry_in_table_t* find_by_name(const char* file_name) {
  if (file_name == nullptr || g_table_buf == nullptr) return nullptr;
  if (const SelectionIndex* index = indexed()) {
    const auto found = index->byName.find(nameKey(file_name));
    return found != index->byName.end() ? &g_table_buf[found->second] : nullptr;
  }
  for (int32_t i = 0; i < g_table_num_files; ++i) {
    if (std::strncmp(g_table_buf[i].unique_file_name, file_name, FILE_TABLE_NAME_SIZE) == 0)
      return &g_table_buf[i];
  }
  return nullptr;
}

}  // namespace

extern "C" int load_file_table(char* buffer, unsigned dfs_sku, unsigned buffer_size) {
  if (buffer == nullptr || buffer_size < FILE_TABLE_MIN_SIZE) return 1;
  tools_file_table_header_t header;
  std::memcpy(&header, buffer, sizeof header);
  if (header.signature != FILE_TABLE_SIGNATURE || header.num_tables > FILE_TABLE_MAX_TABLES)
    return 1;

  // At most 10 entries of 16 bytes follow the header: inside a 1024-byte blob.
  tools_file_table_header_entry_t entry;
  bool found = false;
  for (uint32_t i = 0; i < header.num_tables && !found; ++i) {
    std::memcpy(&entry, buffer + sizeof header + i * sizeof entry, sizeof entry);
    found = entry.sku == dfs_sku;
  }

  if (found) {
    // The whole entry array must lie inside the blob, so that no lookup reads
    // past it; the count must also fit the signed global.
    const uint64_t array_bytes = uint64_t{entry.num_files} * sizeof(tools_file_entry_in_table_t);
    if (entry.offset > buffer_size || array_bytes > buffer_size - entry.offset ||
        entry.num_files > static_cast<uint32_t>(INT32_MAX))
      return 1;
    g_table_buf = reinterpret_cast<tools_file_entry_in_table_t*>(buffer + entry.offset);
    g_dfs_sku = static_cast<int32_t>(dfs_sku);
    g_table_num_files = static_cast<int32_t>(entry.num_files);
    indexSelection();
  }

  return load_autogen_data(buffer, dfs_sku, buffer_size) == 0 ? 0 : 1;
}

extern "C" void clear_file_table_selection(void) {
  g_table_buf = nullptr;
  g_table_num_files = 0;
  g_dfs_sku = -1;
  indexSelection();
}

extern "C" tools_file_entry_in_table_t* get_file_entry_by_file_name(const char* file_name) {
  return find_by_name(file_name);
}

tools_file_entry_in_table_t* get_file_entry_by_fileno(const fileno_t* fileno) {
  if (fileno == nullptr || g_table_buf == nullptr) return nullptr;
  if (const SelectionIndex* index = indexed()) {
    const auto found = index->byNumber.find(fileno->value);
    return found != index->byNumber.end() ? &g_table_buf[found->second] : nullptr;
  }
  for (int32_t i = 0; i < g_table_num_files; ++i) {
    if (g_table_buf[i].unique_fileno.value == fileno->value) return &g_table_buf[i];
  }
  return nullptr;
}

unsigned get_fileno_by_file_name(const char* file_name, fileno_t* fileno) {
  const tools_file_entry_in_table_t* entry = find_by_name(file_name);
  if (entry == nullptr || fileno == nullptr) return FILE_TABLE_NOT_FOUND;
  // Entries lie in the blob at whatever offset it names, so they may be
  // unaligned: copy the words, never bind the unions themselves.
  fileno->value = entry->unique_fileno.value;
  return 0;
}

unsigned get_file_name_by_fileno(const fileno_t* fileno, char* file_name) {
  const tools_file_entry_in_table_t* entry = get_file_entry_by_fileno(fileno);
  if (entry == nullptr || file_name == nullptr) return FILE_TABLE_NOT_FOUND;
  std::memcpy(file_name, entry->unique_file_name, FILE_TABLE_NAME_SIZE);
  return 0;
}

unsigned get_file_attributes_by_file_name(const char* file_name, file_attributes_t* attributes,
                                          unsigned* max_file_size) {
  const tools_file_entry_in_table_t* entry = find_by_name(file_name);
  if (entry == nullptr || max_file_size == nullptr || attributes == nullptr)
    return FILE_TABLE_NOT_FOUND;
  attributes->value = entry->file_attributes.value;
  *max_file_size = entry->max_file_size;
  return 0;
}
