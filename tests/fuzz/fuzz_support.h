// Shared pieces of the fuzz targets: a reader that takes a fuzzer's input
// apart from the front, a writer that builds seed inputs in the same layout,
// and the check that ends the run on a broken invariant.
//
// Each target defines LLVMFuzzerTestOneInput and tarn_fuzz::seeds(). Built
// with libFuzzer (the fuzz preset) the target is a fuzzer; built with the
// tests it is linked with replay_main.cpp and runs its seeds, and any input
// files named on its command line, once each.
#ifndef TARN_TESTS_FUZZ_FUZZ_SUPPORT_H
#define TARN_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace tarn_fuzz {

using tarn_test::Bytes;

// The target's seed inputs, built with the test builders.
std::vector<Bytes> seeds();

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
  std::abort();
}

// Ends the run (a crash, for libFuzzer) when `cond` is false.
#define FUZZ_CHECK(cond) \
  do {                   \
    if (!(cond)) ::tarn_fuzz::fail(#cond, __FILE__, __LINE__); \
  } while (0)

// Reads little-endian numbers and byte runs from the front of an input. Past
// the end a number reads as 0 and a run comes out short, so a target never
// checks the length first.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t remaining() const { return size_ - at_; }
  bool empty() const { return at_ == size_; }

  // Each byte is read in its own statement: the operands of one expression
  // may be evaluated in any order.
  uint8_t u8() { return empty() ? 0 : data_[at_++]; }
  uint16_t u16() {
    const uint16_t low = u8();
    const uint16_t high = u8();
    return static_cast<uint16_t>(low | (high << 8));
  }
  uint32_t u32() {
    const uint32_t low = u16();
    const uint32_t high = u16();
    return low | (high << 16);
  }

  // At most `n` bytes.
  Bytes bytes(size_t n) {
    const size_t take = n < remaining() ? n : remaining();
    Bytes out(data_ + at_, data_ + at_ + take);
    at_ += take;
    return out;
  }
  Bytes rest() { return bytes(remaining()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Builds an input in the layout FuzzInput reads.
class FuzzInputWriter {
 public:
  FuzzInputWriter& u8(uint8_t v) { out_.push_back(v); return *this; }
  FuzzInputWriter& u16(uint16_t v) { return u8(static_cast<uint8_t>(v)).u8(static_cast<uint8_t>(v >> 8)); }
  FuzzInputWriter& u32(uint32_t v) { return u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16)); }
  FuzzInputWriter& bytes(const Bytes& b) { out_.insert(out_.end(), b.begin(), b.end()); return *this; }
  // A run preceded by its 16-bit length.
  FuzzInputWriter& sized(const Bytes& b) { return u16(static_cast<uint16_t>(b.size())).bytes(b); }
  Bytes take() { return std::move(out_); }

 private:
  Bytes out_;
};

// Runs the target on one input, from an exactly sized heap copy, so that a
// read past its end is caught even where the caller's buffer is larger.
inline void run_input(const Bytes& input) {
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(input.empty() ? 1 : input.size()));
  if (copy == nullptr) fail("no memory for the input copy", __FILE__, __LINE__);
  for (size_t i = 0; i < input.size(); ++i) copy[i] = input[i];
  LLVMFuzzerTestOneInput(copy, input.size());
  std::free(copy);
}

}  // namespace tarn_fuzz

#endif  // TARN_TESTS_FUZZ_FUZZ_SUPPORT_H
