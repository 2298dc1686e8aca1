// The host's buffers of one device image at the largest sizes the formats
// allow, built with the test builders (which write every format from its byte
// tables, independently of the library):
//   - MFS region: 255 erase units (the most the FTL serves; 256 would not fit
//     its 8-bit count), a volume of 2048 files (the AFS limit) over the FTL's
//     whole data area;
//   - EFS region: 255 block managers and 256 data blocks (224 logical, 32
//     spare), the most a block-manager header and a BME can describe;
//   - a file table of `variables` + 1 entries (the variables and the deploy
//     marker), a defaults table of `variables` records, and a configuration
//     partition overriding every tenth variable.
// Payloads run from 16 bytes to 4 KiB on a logarithmic spread. Every fourth
// variable lives in the EFS, packed first-fit into logical blocks with a
// quarter of head room each, so that a grown value still fits its place; the
// rest are AFS files, which fill about two thirds of the volume and leave the
// copy-on-write writes of the write-back room to allocate before they release.
#ifndef TARN_BENCH_SESSION_IMAGE_H
#define TARN_BENCH_SESSION_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace tarn_bench {

using tarn_test::Bytes;

struct Variable {
  std::string path;
  uint32_t size = 0;       // payload bytes of the default and of the VFS value
  uint32_t maxSize = 0;    // the file table's max_file_size (and EFS Max_length)
  bool inEfs = false;
  bool integrityProtected = false;  // VFS file ends in 40 bytes of blob metadata
  bool encrypted = false;           // VFS file not read at start-up
  bool overridden = false;          // the configuration partition holds a value
  bool resized = false;             // the session resizes it
  uint32_t newSize = 0;             // its size after the resize
  uint16_t mediumFile = 0;          // file number in its medium
  uint8_t efsBlock = 0;             // EFS: logical block and offset of its piece
  uint16_t efsOffset = 0;
};

struct SessionImage {
  uint32_t sku = 1;
  std::vector<Variable> variables;
  Bytes defaults, qelc, ftbl, mfs, efs;
  // What the format-work loops need to know about the regions.
  uint32_t mfsFatSize = 0, mfsChunks = 0, mfsFiles = 0, mfsPageMappedEus = 0;
  uint32_t efsBms = 0, efsValid = 0, efsSpare = 0;
};

constexpr uint32_t kMfsEus = 255;
constexpr uint32_t kMfsPartitionSize = kMfsEus * 8192;
constexpr uint32_t kAfsFiles = 2048;
constexpr uint32_t kEfsBms = 255, kEfsValid = 224, kEfsSpare = 32;
constexpr uint32_t kBlobMetadata = 40;

SessionImage makeSessionImage(uint32_t variables);

// The payload bytes a variable holds: a default, an override, a VFS value or
// what the host writes.
enum class Value : uint8_t { kDefault = 1, kOverride = 2, kVfs = 3, kHost = 4 };
Bytes valueBytes(const Variable& v, Value which, uint32_t size);

}  // namespace tarn_bench

#endif  // TARN_BENCH_SESSION_IMAGE_H
