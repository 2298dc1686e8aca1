// One host session over an image's buffers, printing every step and every
// status report the library sends.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>

#include "sample_image.h"

namespace {

const char* levelName(ErrorLevel level) {
  switch (level) {
    case Debug: return "Debug";
    case Info: return "Info";
    case Warning: return "Warning";
    case UserError: return "UserError";
    default: return "Error";
  }
}

void TARN_CDECL printReport(ErrorLevel level, ImageToolsErrorName name, const char* nameText,
                            const char* message) {
  if (name == ErrorNone)
    std::printf("    report [%s] %s\n", levelName(level), message);
  else
    std::printf("    report [%s] error %d \"%s\":%s\n", levelName(level), static_cast<int>(name),
                nameText, message);
}

void printBytes(const U8* data, U32 size) {
  const U32 shown = size < 16 ? size : 16;
  for (U32 i = 0; i < shown; ++i) std::printf("%02x ", data[i]);
  if (shown < size) std::printf("...");
}

void listVariables(const Image& image) {
  for (const std::string& name : fileNames(image.ftbl, image.sku)) {
    U8* data = nullptr;
    U32 size = 0, maxSize = 0;
    bool updatable = false;
    if (api.kymfsCheckNvarExists(name.c_str(), FcsFileNameCurrentsCfg)) {
      const bool got = api.kyMfsNvarGet(name.c_str(), &data, &size, FcsFileNameCurrentsCfg,
                                        &updatable, &maxSize);
      std::printf("  %-20s %s %3u of %3u bytes, %s: ", name.c_str(), got ? "current" : "FAILED ",
                  size, maxSize, updatable ? "updatable" : "read-only");
      printBytes(data, size);
      std::printf("\n");
    } else if (api.kymfsCheckNvarExists(name.c_str(), FcsFileNameOrvanCfg)) {
      // A variable the configuration may not override has a default and no
      // current value, and the library hands out no variable it may not
      // change: asking for the default shows that refusal.
      std::printf("  %-20s only a default: not overridable, so not accessible; asking for the\n"
                  "  %-20s default anyway, which the library is expected to refuse:\n",
                  name.c_str(), "");
      if (api.kyMfsNvarGet(name.c_str(), &data, &size, FcsFileNameOrvanCfg, nullptr, nullptr)) {
        std::printf("  %-20s default %3u bytes, NOT refused: ", "", size);
        printBytes(data, size);
        std::printf("\n");
      } else {
        std::printf("  %-20s refused, as expected for an inaccessible variable\n", "");
      }
    } else {
      std::printf("  %-20s no configuration record\n", name.c_str());
    }
  }
}

// Gives the variable `size` bytes and returns its buffer, or null.
U8* resized(const char* path, U32 size) {
  U8* data = nullptr;
  if (!api.kyMfsNvarResize(path, &data, size)) return nullptr;
  return data;
}

// Counts the session in a little-endian u32 (growing the variable to four
// bytes, the added bytes zero), raises a power limit, and renames the device.
void changeVariables() {
  U8* data = nullptr;
  U32 size = 0;
  if (api.kyMfsNvarGet("net/boots", &data, &size, FcsFileNameCurrentsCfg, nullptr, nullptr) &&
      (size >= 4 || (data = resized("net/boots", 4)) != nullptr)) {
    uint32_t boots = data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t{data[3]} << 24);
    ++boots;
    for (int i = 0; i < 4; ++i) data[i] = static_cast<U8>(boots >> (8 * i));
    std::printf("  /home/net/boots = %u\n", boots);
  }
  if (api.kyMfsNvarGet("pwr/limit", &data, &size, FcsFileNameCurrentsCfg, nullptr, nullptr) &&
      size > 0) {
    data[0] = static_cast<U8>(data[0] + 1);
    std::printf("  /home/pwr/limit = %u\n", data[0]);
  }
  const char name[] = "tarn-session";
  if ((data = resized("/home/net/name", sizeof name - 1)) != nullptr) {
    std::memcpy(data, name, sizeof name - 1);
    std::printf("  /home/net/name = %s\n", name);
  }
}

CommonTarnTable table(Bytes& bytes) {
  CommonTarnTable t;
  t.data = bytes.empty() ? nullptr : reinterpret_cast<char*>(bytes.data());
  t.size = static_cast<U32>(bytes.size());
  return t;
}

void printState() {
  std::printf("  MFS mounted %d, tables loaded %d, VFS deployed %d\n", api.kyMfsIsInitialized(),
              api.kyFcsIsInitialized(), api.kyMfsIsVfsDeployed());
}

// The size of a file in the working folder, or -1 when there is none.
long long fileSize(const char* name) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(name, ec);
  return ec ? -1 : static_cast<long long>(size);
}

// The sizes of the text dumps before the kept shutdown appends to them.
struct DumpSizes {
  long long size[std::size(kDumpNames)];

  DumpSizes() {
    for (size_t i = 0; i < std::size(kDumpNames); ++i) size[i] = fileSize(kDumpNames[i]);
  }

  // Prints how much each dump grew. The library appends its text dumps and
  // says nothing when one cannot be written: a dump that did not grow is
  // reported here. A dump that did not exist held 0 bytes.
  void printGrowth() const {
    for (size_t i = 0; i < std::size(kDumpNames); ++i) {
      const long long before = size[i] < 0 ? 0 : size[i];
      const long long now = fileSize(kDumpNames[i]);
      if (now > before)
        std::printf("  text dump %s: %lld bytes appended\n", kDumpNames[i], now - before);
      else
        std::printf("  WARNING: nothing appended to the text dump %s (it cannot be written, or"
                    " its table is empty)\n", kDumpNames[i]);
    }
  }

  // Cuts the dumps back to what they held (a missing one is removed), so
  // that a session failing after its kept shutdown leaves the output folder
  // as it found it.
  void restore() const {
    std::error_code ec;
    for (size_t i = 0; i < std::size(kDumpNames); ++i) {
      if (size[i] < 0) std::filesystem::remove(kDumpNames[i], ec);
      else std::filesystem::resize_file(kDumpNames[i], static_cast<std::uintmax_t>(size[i]), ec);
    }
  }
};

}  // namespace

bool runSession(Image& image, Bytes& overrides) {
  ModQelStorageLibConfig config;
  config.orvanCfgTable = table(image.defaults);
  config.qelcCfgTable = table(image.qelc);
  config.mfsTable = table(image.mfs);
  config.ftblTable.commonData = table(image.ftbl);
  config.ftblTable.afsSkuId = image.sku;
  config.efsTable = table(image.efs);

  std::printf("== Start-up (SKU %u)\n", image.sku);
  if (!api.kyMfsTarnInit(config, printReport)) {
    // The library may keep the tables it loaded before the failure; the host
    // ends it then, and reports the state the library is left in.
    std::printf("  start-up failed; it left:\n");
    printState();
    if (api.kyFcsIsInitialized()) {
      std::printf("  ending the library\n");
      api.kyMfsNvarTerm(false);
      printState();
    }
    return false;
  }
  printState();
  std::printf("  EFS region in use: %d bytes\n", api.kyMfsGetEfsSize());

  std::printf("== Variables\n");
  listVariables(image);
  std::printf("== Changes\n");
  changeVariables();

  std::printf("== Kept shutdown\n");
  const DumpSizes dumps;
  if (!api.kyMfsNvarTerm(true)) {
    std::printf("  kept shutdown failed\n");
    printState();
    return false;
  }
  dumps.printGrowth();
  char* buffer = nullptr;
  U32 size = 0;
  // A kept shutdown that succeeded leaves the rebuilt overrides (at least
  // their count); without them the results would lack the overrides.
  if (!api.kyMfsGetBuildQelCfgFcsBuffer(&buffer, size)) {
    std::printf("  the rebuilt overrides cannot be fetched\n");
    api.kyMfsNvarTerm(false);
    printState();
    dumps.restore();
    return false;
  }
  overrides.assign(buffer, buffer + size);
  std::printf("  rebuilt overrides: %u bytes\n", size);
  std::printf("== Variables after the kept shutdown\n");
  listVariables(image);

  std::printf("== Final shutdown\n");
  const bool ended = api.kyMfsNvarTerm(false);
  printState();
  if (!ended) dumps.restore();
  return ended;
}
