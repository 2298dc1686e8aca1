// Text dumps of the configuration tables: for each file its path and size,
// its payload in rows of 16 hex bytes, and an empty line.
#include <cstdio>

#include "storagelib/kymfs.h"

namespace {

constexpr U32 kBytesPerRow = 16;

// Writes one entry; a write that fails ends the entry there.
bool writeEntry(std::FILE* out, const FcsFileEntry* entry) {
  if (std::fprintf(out, "%.*s (%d bytes)\n", static_cast<int>(FCS_ENTRY_PATH_SIZE),
                   entry->relativePath, static_cast<int>(entry->dataSize)) < 0)
    return false;
  if (entry->data != nullptr) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(entry->data);
    for (U32 i = 0; i < entry->dataSize; ++i) {
      if (std::fprintf(out, "%02x ", bytes[i]) < 0) return false;
      const bool rowEnds = (i + 1) % kBytesPerRow == 0 || i + 1 == entry->dataSize;
      if (rowEnds && std::fputs("\n", out) < 0) return false;
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
