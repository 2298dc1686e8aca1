// Marking a library-internal function or global: one that is shared between
// the files of one layer but is no entry point (the interface layer's
// reporting functions, bounded copy and callback setter; the FTL's internal
// reclaim routines). Shared by every subsystem (it sits below them all).
//
// The shared library exports exactly the entry points named in the list
// tests/exports.txt, from which the build writes the linker's export file
// (a module-definition file on Windows, a version script on ELF). An internal
// name stays out of the export table by not being listed; the list also
// names such functions on its '!' lines, so that the export check fails
// should one be listed by mistake.
//
// TARN_INTERNAL declares such a name with hidden visibility on ELF: the
// compiler may then treat it as local to the library (no interposition).
#ifndef TARN_INTERNAL_SYMBOL_H
#define TARN_INTERNAL_SYMBOL_H

#if defined(_WIN32)
#define TARN_INTERNAL
#else
#define TARN_INTERNAL __attribute__((visibility("hidden")))
#endif

#endif  // TARN_INTERNAL_SYMBOL_H
