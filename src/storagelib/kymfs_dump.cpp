// Text dumps of the configuration tables: for each file its path and size,
// its payload in rows of 16 hex bytes, and an empty line.
#include <cstdio>

#include "storagelib/kymfs.h"

namespace {

constexpr U32 kBytesPerRow = 16;

// The text of one byte: two lower-case hex digits and a blank.
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr U32 kByteTextSize = 3;
constexpr U32 kRowTextSize = kBytesPerRow * kByteTextSize + 1;  // with its line end

// Rows are formatted into a block of this many and written a block at a time:
// the text is the same as row by row, with far fewer calls into the stream.
constexpr U32 kRowsPerBlock = 64;

// Writes one entry; a write that fails ends the entry there.
bool writeEntry(std::FILE* out, const FcsFileEntry* entry) {
  if (std::fprintf(out, "%.*s (%d bytes)\n", static_cast<int>(FCS_ENTRY_PATH_SIZE),
                   entry->relativePath, static_cast<int>(entry->dataSize)) < 0)
    return false;
  if (entry->data != nullptr) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(entry->data);
    char block[kRowsPerBlock * kRowTextSize];
    size_t length = 0;
    for (U32 at = 0; at < entry->dataSize; at += kBytesPerRow) {
      const U32 count = entry->dataSize - at < kBytesPerRow ? entry->dataSize - at : kBytesPerRow;
      char* row = block + length;
      for (U32 i = 0; i < count; ++i) {
        row[kByteTextSize * i] = kHexDigits[bytes[at + i] >> 4];
        row[kByteTextSize * i + 1] = kHexDigits[bytes[at + i] & 0xF];
        row[kByteTextSize * i + 2] = ' ';
      }
      row[kByteTextSize * count] = '\n';
      length += kByteTextSize * count + 1;
      const bool last = entry->dataSize - at <= kBytesPerRow;
      if (length + kRowTextSize > sizeof block || last) {
        if (std::fwrite(block, 1, length, out) != length) return false;
        length = 0;
      }
      // The last row ends the loop itself: stepping past it could wrap `at`
      // for a size within one row of the 32-bit limit.
      if (last) break;
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
