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
// shutdown. Every step and every status report is printed; the resulting
// regions and buffers are written to the output folder (with the three text
// dumps the kept shutdown appends), ready for a second run:
//
//   tarn_host [--out DIR]
//   tarn_host --defaults F --ftbl F --sku N [--qelc F] [--mfs F] [--efs F] [--out DIR]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <direct.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "sample_image.h"

namespace {

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
    std::fprintf(stderr, "entry point %s not found\n", name);
    std::exit(2);
  }
  return address;
}

// The library beside this program (its folder taken from argv[0]).
bool openLibrary(const char* argv0) {
  std::string path = argv0;
  const size_t slash = path.find_last_of("/\\");
  path = slash == std::string::npos ? std::string(kLibraryName)
                                    : path.substr(0, slash + 1) + kLibraryName;
#if defined(_WIN32)
  g_library = LoadLibraryA(path.c_str());
#else
  if (path.find('/') == std::string::npos) path = "./" + path;
  g_library = dlopen(path.c_str(), RTLD_NOW);
#endif
  if (g_library == nullptr) std::fprintf(stderr, "cannot load %s\n", path.c_str());
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
// Files and options
// ---------------------------------------------------------------------------

bool readFile(const std::string& name, Bytes& out) {
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (f == nullptr) return false;
  out.clear();
  uint8_t chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  std::fclose(f);
  return true;
}

bool writeFile(const std::string& name, const void* data, size_t size) {
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

bool enterFolder(const std::string& folder) {
#if defined(_WIN32)
  _mkdir(folder.c_str());
  return _chdir(folder.c_str()) == 0;
#else
  mkdir(folder.c_str(), 0777);
  return chdir(folder.c_str()) == 0;
#endif
}

struct Options {
  std::string defaults, qelc, ftbl, mfs, efs, out = "tarn-example-out";
  uint32_t sku = kSampleSku;
  bool sample = true;
};

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (flag == "--defaults") o.defaults = value;
    else if (flag == "--qelc") o.qelc = value;
    else if (flag == "--ftbl") o.ftbl = value;
    else if (flag == "--mfs") o.mfs = value;
    else if (flag == "--efs") o.efs = value;
    else if (flag == "--out") o.out = value;
    else if (flag == "--sku") o.sku = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 0));
    else return false;
    if (flag != "--out") o.sample = false;
  }
  return o.sample || (!o.defaults.empty() && !o.ftbl.empty());
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: %s [--out DIR]\n"
                 "       %s --defaults F --ftbl F --sku N [--qelc F] [--mfs F] [--efs F] [--out DIR]\n",
                 argv[0], argv[0]);
    return 2;
  }
  if (!openLibrary(argv[0])) return 2;
  bindApi();

  Image image;
  if (options.sample) {
    std::printf("== Making the sample device image\n");
    if (!makeSampleImage(image)) return 1;
  } else {
    image.sku = options.sku;
    const struct {
      const std::string& name;
      Bytes& bytes;
    } inputs[] = {{options.defaults, image.defaults}, {options.qelc, image.qelc},
                  {options.ftbl, image.ftbl},         {options.mfs, image.mfs},
                  {options.efs, image.efs}};
    for (const auto& input : inputs) {
      if (!input.name.empty() && !readFile(input.name, input.bytes)) {
        std::fprintf(stderr, "cannot read %s\n", input.name.c_str());
        return 2;
      }
    }
  }

  // The session runs inside the output folder, so the text dumps of the kept
  // shutdown land there too.
  if (!enterFolder(options.out)) {
    std::fprintf(stderr, "cannot use the folder %s\n", options.out.c_str());
    return 2;
  }
  Bytes overrides;
  const bool ok = runSession(image, overrides);

  std::printf("== Writing the results to %s\n", options.out.c_str());
  const Bytes partition = qelcPartition(overrides);
  const struct {
    const char* name;
    const Bytes& bytes;
  } outputs[] = {{"defaults.fcs", image.defaults}, {"qelc.bin", partition},
                 {"overrides.fcs", overrides},      {"ftbl.bin", image.ftbl},
                 {"mfs.bin", image.mfs},            {"efs.bin", image.efs}};
  for (const auto& output : outputs) {
    if (output.bytes.empty()) continue;
    if (!writeFile(output.name, output.bytes.data(), output.bytes.size())) {
      std::fprintf(stderr, "cannot write %s\n", output.name);
      return 1;
    }
    std::printf("  %s (%zu bytes)\n", output.name, output.bytes.size());
  }
  std::printf("A second run reads back what this one wrote:\n  %s --defaults %s/defaults.fcs"
              " --qelc %s/qelc.bin --ftbl %s/ftbl.bin --sku %u --mfs %s/mfs.bin --efs %s/efs.bin"
              " --out %s-2\n",
              argv[0], options.out.c_str(), options.out.c_str(), options.out.c_str(), image.sku,
              options.out.c_str(), options.out.c_str(), options.out.c_str());
  std::printf(ok ? "Session complete.\n" : "Session FAILED.\n");
  return ok ? 0 : 1;
}
