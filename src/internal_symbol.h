// Keeping a library-internal function or global out of the export table.
// Shared by every subsystem (it sits below them all).
//
// The library exports everything of its own that is not file-local. A few
// functions are shared between the files of one layer but are no entry
// points (the interface layer's reporting functions, bounded copy and
// callback setter; the FTL's internal reclaim routines):
//  - on ELF, declare them with TARN_INTERNAL (hidden visibility);
//  - on Windows the DLL is linked with every global symbol exported, so the
//    defining file also lists each of them once with
//    TARN_NOT_EXPORTED("linkage name"), which asks the linker to leave that
//    name out. The linkage name is given without the 32-bit user-label
//    underscore. The export check fails if any of them shows up.
#ifndef TARN_INTERNAL_SYMBOL_H
#define TARN_INTERNAL_SYMBOL_H

#if defined(_WIN32)
#define TARN_INTERNAL
#define TARN_NOT_EXPORTED(linkage_name)                                      \
  __asm__(".section .drectve\n\t.ascii \" -exclude-symbols:" linkage_name "\"\n\t" \
          ".text");
#else
#define TARN_INTERNAL __attribute__((visibility("hidden")))
#define TARN_NOT_EXPORTED(linkage_name)
#endif

#endif  // TARN_INTERNAL_SYMBOL_H
