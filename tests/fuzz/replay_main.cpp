// Runs a fuzz target without libFuzzer, on any compiler and target: first on
// the target's seeds, then on every input file named on the command line.
//   replay_<target> [file...]
//   replay_<target> --write-seeds DIR   writes the seeds as DIR/seed-NN
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_support.h"

namespace {

bool read_file(const char* path, tarn_fuzz::Bytes& out) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  out.clear();
  unsigned char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) != 0) out.insert(out.end(), chunk, chunk + n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

int write_seeds(const std::string& dir) {
  const std::vector<tarn_fuzz::Bytes> seeds = tarn_fuzz::seeds();
  for (size_t i = 0; i < seeds.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/seed-%02u", static_cast<unsigned>(i));
    std::FILE* f = std::fopen((dir + name).c_str(), "wb");
    if (f == nullptr || std::fwrite(seeds[i].data(), 1, seeds[i].size(), f) != seeds[i].size()) {
      std::fprintf(stderr, "cannot write %s%s\n", dir.c_str(), name);
      if (f != nullptr) std::fclose(f);
      return 1;
    }
    std::fclose(f);
  }
  std::printf("%u seeds written to %s\n", static_cast<unsigned>(seeds.size()), dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-seeds") == 0) return write_seeds(argv[2]);

  unsigned runs = 0;
  for (const tarn_fuzz::Bytes& seed : tarn_fuzz::seeds()) {
    tarn_fuzz::run_input(seed);
    ++runs;
  }
  for (int i = 1; i < argc; ++i) {
    tarn_fuzz::Bytes input;
    if (!read_file(argv[i], input)) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    tarn_fuzz::run_input(input);
    ++runs;
  }
  // A run that breaks an invariant aborts before this line.
  std::printf("replayed %u inputs, every check held\n", runs);
  return 0;
}
