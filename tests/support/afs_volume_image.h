// An AFS volume reader and writer for tests, written from the volume format
// tables and independent of the library. The writer lays out a fresh volume
// (FTL format, header, FAT pages, chunks) through FtlImageBuilder; the reader
// resolves the logical pages of any image the way a mount does and walks the
// file chains, so that tests can check what the library left on flash.
//
// Logical volume (little-endian):
//   0 marker u32 0x724F6201, 4 version u32, 8 flash_size u32, 12 num_files u16
//   14 + 2f entry of file f; 14 + 2(nf + c) entry of chunk c (its id: nf + c)
//   fat_size + 64c data of chunk c
//   num_chunks = (flash_size - 2nf - 14) / 66; fat_size = 14 + 2(nf + chunks)
//   rounded up to 64. File entry: 0 none, 0xFFFE zombie, 0xFFFF empty, else
//   the first chunk id. Chunk entry: next chunk id, or 1..64 bytes in the last
//   chunk, or 0 (a last chunk holding nothing).
#ifndef TARN_TESTS_SUPPORT_AFS_VOLUME_IMAGE_H
#define TARN_TESTS_SUPPORT_AFS_VOLUME_IMAGE_H

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "support/bytes.h"
#include "support/ftl_image_builder.h"

namespace tarn_test {

namespace afs_layout {
constexpr uint32_t kMarker = 0x724F6201;
constexpr uint32_t kVersionOffset = 4;
constexpr uint32_t kFlashSizeOffset = 8;
constexpr uint32_t kNumFilesOffset = 12;
constexpr uint32_t kHeaderSize = 14;
constexpr uint32_t kChunk = 64;
constexpr uint16_t kEntryFree = 0;
constexpr uint16_t kEntryZombie = 0xFFFE;
constexpr uint16_t kEntryEmpty = 0xFFFF;
constexpr uint32_t entry_offset(uint32_t index) { return kHeaderSize + 2 * index; }
}  // namespace afs_layout

struct AfsGeometry {
  uint32_t num_files = 0, flash_size = 0, num_chunks = 0, fat_size = 0;
  // From a header's values, by the format's formula.
  static AfsGeometry from_header(uint32_t flash_size, uint32_t num_files);
  // The volume that uses the FTL's whole data area on a partition.
  static AfsGeometry for_partition(uint32_t partition_size, uint32_t num_files);
  uint32_t chunk_id(uint32_t chunk) const { return num_files + chunk; }
};

enum class AfsFileState { kNone, kZombie, kEmpty, kData, kBroken };

struct AfsFileContent {
  AfsFileState state = AfsFileState::kNone;
  Bytes data;                    // kData: the file's bytes
  std::vector<uint32_t> chunks;  // chunk indices of the chain, in order
};
// Equal when state and bytes are (wherever the chunks lie).
inline bool operator==(const AfsFileContent& a, const AfsFileContent& b) {
  return a.state == b.state && a.data == b.data;
}

class AfsVolumeReader {
 public:
  AfsVolumeReader(const Bytes& image, uint32_t partition_size);
  bool ok() const { return ok_; }  // a header with the marker was read
  const AfsGeometry& geometry() const { return geo_; }
  uint32_t version() const { return version_; }
  // File `f` through its chain; kBroken for an out-of-range link, a cycle or
  // an unreadable chunk.
  AfsFileContent file(uint32_t f) const;
  std::map<uint32_t, AfsFileContent> files() const;  // all but kNone, by number
  uint32_t chunks_in_use() const;                    // by the chains of all files

 private:
  uint16_t entry(uint32_t index) const;
  AfsGeometry geo_;
  uint32_t version_ = 0;
  bool ok_ = false;
  Bytes fat_;  // the FAT as resolved
  // The image as read (chunks are checked as the chains reach them).
  std::shared_ptr<const FtlImageBuilder> flash_;
  std::map<uint16_t, uint32_t> ranges_;  // block-mapped EU of each range, by euva
};

class AfsVolumeWriter {
 public:
  AfsVolumeWriter(uint32_t partition_size, uint32_t num_files);
  const AfsGeometry& geometry() const { return geo_; }
  // A file holding `data`, in the next free chunks (or the chunks given).
  AfsVolumeWriter& add_file(uint32_t f, const Bytes& data, std::vector<uint32_t> chunks = {});
  // Any FAT entry, as stored (also an empty file or a zombie).
  AfsVolumeWriter& set_entry(uint32_t index, uint16_t value);
  // Header fields as stored; the layout keeps the geometry of the partition.
  AfsVolumeWriter& set_header(uint32_t flash_size, uint32_t num_files);
  Bytes build() const;

 private:
  uint32_t partition_size_;
  AfsGeometry geo_;
  uint32_t header_flash_size_, header_num_files_;
  uint32_t next_chunk_ = 0;
  std::map<uint32_t, uint16_t> entries_;
  std::map<uint32_t, PageData> chunk_data_;
};

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_AFS_VOLUME_IMAGE_H
