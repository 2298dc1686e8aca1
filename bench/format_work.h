// The work the formats themselves require of each stage of a host session,
// written as plain loops over the same bytes from the format tables (not from
// the library), so that each stage's time can be set against it:
//   - every page, piece, block or header that the stage must read is copied
//     out of its region once and its CRC checked once;
//   - every page or record it must program is built, its CRC computed once,
//     programmed once and read back once for its verify;
//   - every named lookup is one hash lookup in an index built once per run;
//   - the data model's own copies (the library holds each table as a store
//     of records and as a list of entries with their own payloads) are made
//     once each;
//   - a text dump appends each entry on its own, opening and closing its
//     file around it, as the library's dumps must.
// Each loop adds the bytes it moves to `bytes` (the volume its memcpy
// baseline copies) and folds what it computes into `sink`.
#ifndef TARN_BENCH_FORMAT_WORK_H
#define TARN_BENCH_FORMAT_WORK_H

#include <cstdint>

#include "session_image.h"

namespace tarn_bench {

struct Work {
  uint64_t bytes = 0;
  uint64_t sink = 0;
};

// What the FTL's reclaims did during a write-back, as the counting flash
// driver saw it: the pages programmed beyond those the writes themselves
// require are the reclaims' copies; each EU reclaimed costs two block erases.
struct ReclaimWork {
  uint64_t copiedPages = 0;
  uint64_t erasedBlocks = 0;
};

// Start-up: the file-table copy, the defaults and overrides loaded into store
// records and entries, and the current values built from them.
void loadTablesWork(const SessionImage& image, Work& work);
// The current values alone (rebuilt again by a shutdown that keeps running).
void currentValuesWork(const SessionImage& image, Work& work);
// The FTL mount (EU headers, page-id slots, commit bytes) and the AFS FAT
// scan: every FAT page read once, every chain walked once.
void mfsMountWork(const SessionImage& image, Work& work);
// The block-manager headers, the active block manager and its last BME.
void efsMountWork(const SessionImage& image, Work& work);
// Every variable's VFS file found, sized and read into its current value.
void vfsRefreshWork(const SessionImage& image, Work& work);
// The host's gets of every variable (each also probes the deploy marker) and
// its resizes.
void nvarAccessWork(const SessionImage& image, Work& work);
// The overrides rebuilt from the current values at shutdown.
void rebuildWork(const SessionImage& image, Work& work);
// Every variable that is not integrity protected written back to its VFS
// file: copy-on-write data pages and FAT pages in AFS, whole blocks with a
// BME commit in the EFS; `afs` gives the reclaims' share.
void writeBackWork(const SessionImage& image, const ReclaimWork& afs, Work& work);
// The rebuilt overrides serialised into an FCS buffer (its size, then its
// bytes).
void serialiseWork(const SessionImage& image, Work& work);
// The text dumps of the three tables, appended to three files one entry at a
// time (an open and a close per entry).
void dumpWork(const SessionImage& image, Work& work);

// AFS pages a write-back of every variable requires (data and FAT pages),
// which the counting driver's total is set against.
uint64_t writeBackPages(const SessionImage& image);

}  // namespace tarn_bench

#endif  // TARN_BENCH_FORMAT_WORK_H
