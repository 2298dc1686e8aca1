// Text dumps of the configuration tables: for each file its path and size,
// its payload in rows of 16 hex bytes, and an empty line.
#include <cstdio>

#include "storagelib/kymfs.h"

namespace {

constexpr U32 kBytesPerRow = 16;

// The text of one byte: two lower-case hex digits and a blank.
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr U32 kByteTextSize = 3;

// Writes one entry; a write that fails ends the entry there. The payload goes
// out one row at a time, each row formatted in place.
bool writeEntry(std::FILE* out, const FcsFileEntry* entry) {
  if (std::fprintf(out, "%.*s (%d bytes)\n", static_cast<int>(FCS_ENTRY_PATH_SIZE),
                   entry->relativePath, static_cast<int>(entry->dataSize)) < 0)
    return false;
  if (entry->data != nullptr) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(entry->data);
    char row[kBytesPerRow * kByteTextSize + 1];
    for (U32 at = 0; at < entry->dataSize; at += kBytesPerRow) {
      const U32 count = entry->dataSize - at < kBytesPerRow ? entry->dataSize - at : kBytesPerRow;
      for (U32 i = 0; i < count; ++i) {
        row[kByteTextSize * i] = kHexDigits[bytes[at + i] >> 4];
        row[kByteTextSize * i + 1] = kHexDigits[bytes[at + i] & 0xF];
        row[kByteTextSize * i + 2] = ' ';
      }
      row[kByteTextSize * count] = '\n';
      const size_t length = kByteTextSize * count + 1;
      if (std::fwrite(row, 1, length, out) != length) return false;
    }
  }
  return std::fputs("\n", out) >= 0;
}

// One entry, appended to `textFile` (opened for this entry alone), or to
// standard output without a name. A file that cannot be opened is skipped.
void kyMfsDumpFile(const FcsFileEntry* fileToDump, const char* textFile) {
  if (textFile == nullptr) {
    writeEntry(stdout, fileToDump);
    return;
  }
  std::FILE* out = std::fopen(textFile, "a");
  if (out == nullptr) return;
  writeEntry(out, fileToDump);
  std::fclose(out);
}

void kyMfsDumpFcsTable(FcsTable& fcsTable, const char* textFile) {
  for (const FcsFileEntry* entry = fcsTable.firstEntry; entry != nullptr; entry = entry->next)
    if (!entry->isDirectory) kyMfsDumpFile(entry, textFile);
}

}  // namespace

extern "C" void TARN_CDECL kyMfsDumpFcsTables(const char* qelCfgName, const char* orvanCfgName,
                                              const char* currentsName) {
  kyMfsDumpFcsTable(s_qelCfgTable, qelCfgName);
  kyMfsDumpFcsTable(s_orvanCfgTable, orvanCfgName);
  kyMfsDumpFcsTable(s_currentValuesTable, currentsName);
}
