// An example host for TarnStorageLib. Like the host image tool, it loads the
// library at run time and binds every entry point it calls by name.
//
// Without input files it first makes a sample device image through the
// library's own entry points: a file table with an "EFST" part, a defaults
// table and a configuration partition (serialised by the library's store), a
// formatted MFS region holding the VFS files and the deploy marker, and a
// formatted EFS region holding an EFS-resident VFS file. It then runs one
// session: start-up, listing and reading the variables, changing and resizing
// some, a kept shutdown, fetching the rebuilt overrides, and the final
// shutdown. Every step and every status report is printed; after a successful
// session the resulting regions and buffers are written to the output folder
// (beside the three text dumps the kept shutdown appends), ready for a second
// run. The command line, the input files and the output folder are checked
// before the session starts; --help describes them and the exit statuses.
//
//   tarn_host [--out DIR]
//   tarn_host --defaults F --ftbl F [--sku N] [--qelc F] [--mfs F] [--efs F] [--out DIR]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "sample_image.h"

namespace {

// Exit statuses.
constexpr int kExitSuccess = 0;
constexpr int kExitSessionFailed = 1;  // the sample image or the session failed
constexpr int kExitUsage = 2;          // a bad command line, library, input file or output folder

// ---------------------------------------------------------------------------
// Binding the library by name
// ---------------------------------------------------------------------------

#if defined(_WIN32)
const char kLibraryName[] = "TarnStorageLib.dll";
#else
const char kLibraryName[] = "libTarnStorageLib.so";
#endif

void* g_library = nullptr;

void* symbol(const char* name) {
#if defined(_WIN32)
  void* address = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(g_library), name));
#else
  void* address = dlsym(g_library, name);
#endif
  if (address == nullptr) {
    std::fprintf(stderr, "entry point %s not found in %s\n", name, kLibraryName);
    std::exit(kExitUsage);
  }
  return address;
}

// The path of the running program: on Linux the one the kernel names, so
// that a program started through PATH or a link still finds its folder;
// elsewhere, or when that cannot be read, argv[0].
std::string programPath(const char* argv0) {
#if defined(__linux__)
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec && !self.empty()) return self.string();
#endif
  return argv0;
}

// The library beside this program.
bool openLibrary(const char* argv0) {
  std::string path = programPath(argv0);
  const size_t slash = path.find_last_of("/\\");
  path = slash == std::string::npos ? std::string(kLibraryName)
                                    : path.substr(0, slash + 1) + kLibraryName;
#if defined(_WIN32)
  g_library = LoadLibraryA(path.c_str());
  if (g_library == nullptr)
    std::fprintf(stderr, "cannot load %s (error %lu)\n", path.c_str(),
                 static_cast<unsigned long>(GetLastError()));
#else
  if (path.find('/') == std::string::npos) path = "./" + path;
  g_library = dlopen(path.c_str(), RTLD_NOW);
  if (g_library == nullptr) {
    const char* reason = dlerror();
    std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), reason != nullptr ? reason : "");
  }
#endif
  return g_library != nullptr;
}

}  // namespace

// Entry points, bound once the library is loaded.
Api api;

namespace {

// Every entry point by its linkage name: the plain name, or the C++ name of
// kyMfsIsVfsDeployed.
#define TARN_BIND(field, name) api.field = reinterpret_cast<decltype(api.field)>(symbol(name))
#define TARN_BIND_PLAIN(name) TARN_BIND(name, #name)

void bindApi() {
  TARN_BIND_PLAIN(kyMfsTarnInit);
  TARN_BIND_PLAIN(kyMfsNvarTerm);
  TARN_BIND_PLAIN(kyMfsGetBuildQelCfgFcsBuffer);
  TARN_BIND_PLAIN(kyMfsGetEfsSize);
  TARN_BIND_PLAIN(kymfsCheckNvarExists);
  TARN_BIND_PLAIN(kyMfsNvarGet);
  TARN_BIND_PLAIN(kyMfsNvarResize);
  TARN_BIND_PLAIN(kyMfsIsInitialized);
  TARN_BIND_PLAIN(kyFcsIsInitialized);
  TARN_BIND(kyMfsIsVfsDeployed, "_Z18kyMfsIsVfsDeployedv");
  TARN_BIND_PLAIN(load_file_table);
  TARN_BIND_PLAIN(createHandle);
  TARN_BIND_PLAIN(addNewFile);
  TARN_BIND_PLAIN(flush);
  TARN_BIND_PLAIN(closeHandle);
  TARN_BIND_PLAIN(mini_vfs_init);
  TARN_BIND_PLAIN(pathToFileNumber);
  TARN_BIND_PLAIN(dfs_write);
  TARN_BIND_PLAIN(afs_init);
  TARN_BIND_PLAIN(afs_free_context);
  TARN_BIND_PLAIN(EFS_init);
  TARN_BIND_PLAIN(efs_image);
}

// ---------------------------------------------------------------------------
// Command line, input files and output folder
// ---------------------------------------------------------------------------

namespace fs = std::filesystem;

const char kDefaultOut[] = "tarn-example-out";

struct Options {
  std::string defaults, qelc, ftbl, mfs, efs, out = kDefaultOut;
  uint32_t sku = kSampleSku;
  bool sample = true;
  bool help = false;
};

// The input files by option, and the buffer of the image each one fills.
struct Input {
  const char* flag;
  const std::string& name;
  Bytes& bytes;
};

void printUsage(std::FILE* to, const char* program) {
  std::fprintf(to,
               "usage: %s [--out DIR]\n"
               "       %s --defaults F --ftbl F [--sku N] [--qelc F] [--mfs F] [--efs F] [--out DIR]\n",
               program, program);
}

void printHelp(const char* program) {
  printUsage(stdout, program);
  std::printf(
      "\n"
      "Loads TarnStorageLib from this program's folder and runs one host session on a\n"
      "device image: start-up, reading the variables, changing and resizing some, a\n"
      "kept shutdown, fetching the rebuilt overrides, and the final shutdown. Every\n"
      "step and every status report of the library is printed.\n"
      "\n"
      "Without input files (only --out, or nothing) the session runs on a sample image\n"
      "(SKU %u) that the program first makes through the library itself.\n"
      "\n"
      "  --defaults F  defaults table (FCS buffer); needed with input files\n"
      "  --ftbl F      file table; needed with input files\n"
      "  --sku N       SKU whose files the file table lists: decimal, or hex after 0x,\n"
      "                0 to 4294967295 (default %u)\n"
      "  --qelc F      configuration partition: 16-byte header, then the overrides\n"
      "                (FCS buffer); without it, no overrides\n"
      "  --mfs F       MFS region (AFS volume); without it, no MFS region\n"
      "  --efs F       EFS region; without it, no EFS region\n"
      "  --out DIR     output folder, created with its parents (default %s)\n"
      "  --help        this text\n"
      "An input file must be a regular file of up to 4 GiB, and not empty: leave\n"
      "its option out instead.\n"
      "\n"
      "After a successful session the output folder holds the resulting buffers\n"
      "(defaults.fcs, qelc.bin, overrides.fcs, ftbl.bin, mfs.bin, efs.bin; an empty one\n"
      "is not written), and the program prints the command line of a second run that\n"
      "reads them back. At the kept shutdown the library appends text dumps of its\n"
      "tables to qel_cfg.txt, orvan_cfg.txt and currents_cfg.txt in the output folder:\n"
      "every run adds to what earlier runs left there. An output folder holding one\n"
      "of the input files under one of these names is refused, and a failed session\n"
      "writes no results.\n"
      "\n"
      "Exit status: 0 the session succeeded; 1 the sample image or the session\n"
      "failed; 2 a bad command line, a library that cannot be loaded or lacks an\n"
      "entry point, an input file that cannot be read or is empty, an output folder\n"
      "that cannot be used, or a result that cannot be written.\n",
      kSampleSku, kSampleSku, kDefaultOut);
}

// A SKU: decimal digits, or hex digits after 0x, within 32 bits.
bool parseSku(const std::string& text, uint32_t& sku) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t first = hex ? 2 : 0;
  if (text.size() == first) return false;
  uint64_t value = 0;
  for (size_t i = first; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return false;
    value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    if (value > UINT32_MAX) return false;
  }
  sku = static_cast<uint32_t>(value);
  return true;
}

// Reads the command line into `o`: empty, or what is wrong with it.
std::string parseOptions(int argc, char** argv, Options& o) {
  const struct {
    const char* flag;
    std::string* value;
  } texts[] = {{"--defaults", &o.defaults}, {"--qelc", &o.qelc}, {"--ftbl", &o.ftbl},
               {"--mfs", &o.mfs},           {"--efs", &o.efs},   {"--out", &o.out}};
  // A request for help is answered whatever else the command line holds.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      o.help = true;
      return "";
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    std::string* text = nullptr;
    for (const auto& t : texts)
      if (flag == t.flag) text = t.value;
    if (text == nullptr && flag != "--sku") return "unknown option " + flag;
    // A value that looks like an option is one left out: "--defaults --ftbl f"
    // would otherwise read "--ftbl" as a file name. A file whose name starts
    // with "--" can be given as ./--name.
    if (i + 1 >= argc || argv[i + 1][0] == '\0' || std::strncmp(argv[i + 1], "--", 2) == 0)
      return "option " + flag + " needs a value";
    const std::string value = argv[++i];
    if (text != nullptr) *text = value;
    else if (!parseSku(value, o.sku))
      return "--sku " + value + " is not a number from 0 to 4294967295";
    if (flag != "--out") o.sample = false;
  }
  if (!o.sample && (o.defaults.empty() || o.ftbl.empty()))
    return "input files need both --defaults and --ftbl";
  return "";
}

// Reads a whole input file into `out`; false, with the reason in `why` when
// there is more to say than that it cannot be read. Only a regular file is
// read (a device such as /dev/zero never ends), and no more than a buffer's
// 32-bit size can describe.
bool readFile(const std::string& name, Bytes& out, std::string& why) {
  std::error_code ec;
  if (fs::exists(name, ec) && !fs::is_regular_file(name, ec)) {
    why = "not a regular file";
    return false;
  }
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) return false;
  out.clear();
  uint8_t chunk[4096];
  size_t n;
  try {
    while (why.empty() && (n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
      if (n > UINT32_MAX - out.size()) why = "larger than the 4 GiB a buffer can hold";
      else out.insert(out.end(), chunk, chunk + n);
    }
  } catch (const std::exception&) {  // bad_alloc, or length_error on 32-bit
    why = "too large to hold in memory";
  }
  const bool ok = why.empty() && std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

bool writeFile(const std::string& name, const void* data, size_t size) {
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// The results of a session, by file name in the output folder, with the
// option that reads each back in a second run (none for the overrides, which
// the configuration partition holds).
struct Result {
  const char* name;
  const char* flag;
  const Bytes& bytes;
};

// The output folder as given, without trailing separators, for messages.
std::string shownFolder(std::string folder) {
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  return folder;
}

// Makes the output folder ready before the session runs: creates it with its
// parents and checks that every result and text dump can be written there
// and that none of them is one of the input files. `created` receives the
// topmost folder it made (empty when the folder existed), so that a failed
// session can take them away again. Returns empty, or what is wrong.
std::string prepareOutput(const std::string& folder, const std::vector<std::string>& names,
                          const std::vector<std::string>& inputs, fs::path& out,
                          fs::path& created) {
  std::error_code ec;
  out = fs::absolute(fs::path(folder), ec).lexically_normal();
  if (ec) return "cannot use the output folder " + folder;
  if (!out.has_filename()) out = out.parent_path();
  created.clear();
  for (fs::path p = out; !fs::exists(p, ec) && p.has_relative_path(); p = p.parent_path())
    created = p;
  if (!fs::create_directories(out, ec) && ec)
    return "cannot create the output folder " + folder + ": " + ec.message();
  if (!fs::is_directory(out, ec)) return "the output folder " + folder + " is not a folder";
  for (const std::string& name : names) {
    const fs::path target = out / name;
    for (const std::string& input : inputs) {
      if (!input.empty() && fs::equivalent(target, fs::path(input), ec))
        return "the output folder " + folder + " holds the input file " + input +
               ", which the results would overwrite; choose another output folder";
    }
    const bool existed = fs::exists(target, ec);
    std::FILE* f = std::fopen(target.string().c_str(), "ab");  // changes nothing in a file
    if (f == nullptr) return "cannot write " + (fs::path(shownFolder(folder)) / name).string();
    std::fclose(f);
    if (!existed) fs::remove(target, ec);
  }
  return "";
}

// Takes away the folders prepareOutput made, from `out` up to `created`,
// those that are still empty. Each of them was missing before, and one that
// was never made is passed over.
void removeCreatedFolders(const fs::path& out, const fs::path& created) {
  if (created.empty()) return;
  std::error_code ec;
  for (fs::path p = out;; p = p.parent_path()) {
    fs::remove(p, ec);
    if (p == created || !p.has_relative_path()) break;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // A program may be started without even its own name.
  const char* program = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "tarn_host";
  Options options;
  const std::string wrong = parseOptions(argc, argv, options);
  if (options.help) {
    printHelp(program);
    return kExitSuccess;
  }
  if (!wrong.empty()) {
    std::fprintf(stderr, "%s: %s\n", program, wrong.c_str());
    printUsage(stderr, program);
    std::fprintf(stderr, "(%s --help describes the options)\n", program);
    return kExitUsage;
  }

  if (!openLibrary(program)) return kExitUsage;
  bindApi();

  Image image;
  image.sku = options.sku;
  const Input inputs[] = {{"--defaults", options.defaults, image.defaults},
                          {"--qelc", options.qelc, image.qelc},
                          {"--ftbl", options.ftbl, image.ftbl},
                          {"--mfs", options.mfs, image.mfs},
                          {"--efs", options.efs, image.efs}};
  std::vector<std::string> inputNames;
  for (const Input& input : inputs) {
    if (input.name.empty()) continue;
    inputNames.push_back(input.name);
    std::string why;
    if (!readFile(input.name, input.bytes, why)) {
      std::fprintf(stderr, "cannot read %s%s%s\n", input.name.c_str(), why.empty() ? "" : ": ",
                   why.c_str());
      return kExitUsage;
    }
    // The library takes an empty buffer for a missing one; an empty file is
    // more likely a mistake than a way to say "none".
    if (input.bytes.empty()) {
      std::fprintf(stderr, "%s %s is empty; leave %s out for none\n", input.flag,
                   input.name.c_str(), input.flag);
      return kExitUsage;
    }
  }

  Bytes overrides, partition;
  const Result results[] = {{"defaults.fcs", "--defaults", image.defaults},
                            {"qelc.bin", "--qelc", partition},
                            {"overrides.fcs", nullptr, overrides},
                            {"ftbl.bin", "--ftbl", image.ftbl},
                            {"mfs.bin", "--mfs", image.mfs},
                            {"efs.bin", "--efs", image.efs}};
  std::vector<std::string> outputNames(std::begin(kDumpNames), std::end(kDumpNames));
  for (const Result& result : results) outputNames.push_back(result.name);
  fs::path out, created;
  const std::string unusable =
      prepareOutput(options.out, outputNames, inputNames, out, created);
  if (!unusable.empty()) {
    removeCreatedFolders(out, created);
    std::fprintf(stderr, "%s\n", unusable.c_str());
    return kExitUsage;
  }

  // The session runs inside the output folder, so the text dumps of the kept
  // shutdown land there too.
  std::error_code ec;
  const fs::path home = fs::current_path(ec);
  fs::current_path(out, ec);
  if (ec) {
    removeCreatedFolders(out, created);
    std::fprintf(stderr, "cannot enter the output folder %s\n", options.out.c_str());
    return kExitUsage;
  }
  bool ok = true;
  if (options.sample) {
    std::printf("== Making the sample device image\n");
    ok = makeSampleImage(image);
  }
  ok = ok && runSession(image, overrides);
  if (!ok) {
    fs::current_path(home, ec);
    removeCreatedFolders(out, created);
    std::printf("Session FAILED; no results written.\n");
    return kExitSessionFailed;
  }

  const std::string folder = shownFolder(options.out);
  std::printf("== Writing the results to %s\n", folder.c_str());
  partition = qelcPartition(overrides);
  std::string again = program;
  for (const Result& result : results) {
    if (result.bytes.empty()) continue;
    if (!writeFile(result.name, result.bytes.data(), result.bytes.size())) {
      std::fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), result.name);
      return kExitUsage;
    }
    std::printf("  %s (%zu bytes)\n", result.name, result.bytes.size());
    if (result.flag != nullptr) {
      const bool separated = folder.back() == '/' || folder.back() == '\\';  // the root folder
      again += std::string(" ") + result.flag + " " + folder + (separated ? "" : "/") + result.name;
      if (std::strcmp(result.flag, "--ftbl") == 0) again += " --sku " + std::to_string(image.sku);
    }
  }
  std::printf("A second run reads back what this one wrote:\n  %s --out %s-2\n", again.c_str(),
              folder.c_str());
  std::printf("Session complete.\n");
  return kExitSuccess;
}
