// Sanitizer settings of the fuzz targets. A hostile table may ask for a
// list of billions of entries: a request above 32 MiB fails with a null
// result, so the library's out-of-memory path runs instead of the process
// ending, and no run spends its time zeroing a huge list.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARN_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TARN_FUZZ_ASAN 1
#endif

#if defined(TARN_FUZZ_ASAN)
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=32:detect_leaks=1";
}
#endif
