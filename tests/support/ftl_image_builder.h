// Builds FTL partition images byte by byte from the erase-unit format tables,
// with its own CRC code, so that mount and recovery tests can check the
// library's FTL against images it did not write itself.
//
// Layout written here (all fields little-endian, offsets within an EU):
//   EU n at partition offset n * 8192 (two 4096-byte erase blocks).
//   Pre-header, 18 bytes: eusig u32 @0, eumc u32 @4, euec u32 @8,
//     euspare u16 @12, euva u16 @14, eucrc u8 @16 (crc8 of bytes 0-15),
//     eucommit u8 @17 (0xFF pending, anything else committed).
//   Block-mapped EU (euva != 0): commit byte i @18+i (i < 122), page i
//     @140+66i; page i holds the chunk whose logical page id is euva + i.
//   Page-mapped EU (euva == 0): page-id slot i @18+2i (i < 121), page i
//     @260+66i (i < 120); slot i = id XOR crc14(previous id in the EU, 2 LE
//     bytes; 0 for the first page); page i is committed once slot i+1 has
//     bit 15 clear; 0x7FFF in slot i+1 marks page i as the last one.
//   Page, 66 bytes: 64 data bytes, then crc16(data, 64, logical page id LE).
//
// Typical use in a mount test:
//
//   FtlImageBuilder b(FtlGeometry::for_partition(0x8000, 64 * 4));
//   b.format();                                   // as a fresh format leaves it
//   b.append_fat_page(0, 2, page_fill(0x11));     // FAT page 2 in EU 0
//   b.put_chunk(b.eu_of_chunk(5), 5, page_fill(0x22));
//   b.reclaim(1, ReclaimCut::kOldKilled);         // power lost mid-reclaim
//   Bytes image = b.image();                      // hand to the library
//
// The builder keeps a small model of what it wrote (spare EU, newest mapping
// counter, each EU's counters and the FAT write position of each page-mapped
// EU) only to choose the next values; every byte it writes is also reachable
// through the raw helpers, so tests can damage anything afterwards.
#ifndef TARN_TESTS_SUPPORT_FTL_IMAGE_BUILDER_H
#define TARN_TESTS_SUPPORT_FTL_IMAGE_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "support/bytes.h"

namespace tarn_test {

// Format constants, written from the layout tables.
namespace ftl_layout {
constexpr uint32_t kBlockSize = 4096;
constexpr uint32_t kEuSize = 8192;
constexpr uint32_t kPageData = 64;
constexpr uint32_t kPageSize = 66;  // data + crc16
constexpr uint32_t kPageCrcOffset = 64;

constexpr uint32_t kSigOffset = 0;
constexpr uint32_t kEumcOffset = 4;
constexpr uint32_t kEuecOffset = 8;
constexpr uint32_t kEusparOffset = 12;
constexpr uint32_t kEuvaOffset = 14;
constexpr uint32_t kEucrcOffset = 16;
constexpr uint32_t kEucommitOffset = 17;
constexpr uint32_t kPreHeaderSize = 18;
constexpr uint32_t kCrcCoveredBytes = 16;

constexpr uint32_t kBmCommitOffset = 18;
constexpr uint32_t kBmPagesOffset = 140;
constexpr uint32_t kBmPages = 122;
constexpr uint32_t kBmDataBytes = kBmPages * kPageData;  // 7808

constexpr uint32_t kPmSlotOffset = 18;
constexpr uint32_t kPmSlots = 121;
constexpr uint32_t kPmPagesOffset = 260;
constexpr uint32_t kPmPages = 120;

constexpr uint8_t kCommitFree = 0xFF;
constexpr uint8_t kCommitProgramming = 0x7F;
constexpr uint8_t kCommitDone = 0x00;
constexpr uint8_t kHeaderPending = 0xFF;
constexpr uint8_t kHeaderCommitted = 0x00;
constexpr uint16_t kSlotErased = 0xFFFF;
constexpr uint16_t kSlotEndMarker = 0x7FFF;

constexpr uint32_t kSigValid = 0xAA557887;
constexpr uint32_t kSigAltStored = 0x82416801;  // CRC as stored or as kSigValid
constexpr uint32_t kSigAltValid = 0xAA050887;   // CRC computed as kSigValid
constexpr uint32_t kSigKilled = 0x00000000;

// Offsets of a slot, a commit byte and a page within an EU.
constexpr uint32_t pm_slot_offset(uint32_t i) { return kPmSlotOffset + 2 * i; }
constexpr uint32_t pm_page_offset(uint32_t i) { return kPmPagesOffset + kPageSize * i; }
constexpr uint32_t bm_commit_offset(uint32_t i) { return kBmCommitOffset + i; }
constexpr uint32_t bm_page_offset(uint32_t i) { return kBmPagesOffset + kPageSize * i; }
}  // namespace ftl_layout

// Checksums, written here from their definitions, with no code or table of
// the library's. crc14 and crc8 go bit by bit; crc16 takes the page data a
// byte at a time through a 256-entry table that its own bitwise step fills
// once (the readers check every page of large images many times).
// crc16: poly 0x1021, MSB first, init 0xFFFF, over `len` bytes then the two
// little-endian bytes of `pageid`.  crc16("abc", 0) = 0xD400.
uint16_t ftl_crc16(const uint8_t* data, size_t len, uint16_t pageid);
// crc14: the crc16 step with the register masked to 14 bits after every byte,
// init 0x3FFF.  crc14("abc") = 0x3A71.
uint16_t ftl_crc14(const uint8_t* data, size_t len);
// crc14 over the two little-endian bytes of a logical page id: the chain key.
uint16_t ftl_chain_key(uint16_t previous_id);
// crc8: poly 0x07, MSB first, init 0x01, no final XOR.  crc8("abc") = 0x34.
uint8_t ftl_crc8(const uint8_t* data, size_t len);

// 64 bytes of page data.
using PageData = std::vector<uint8_t>;
// Every byte `value`.
PageData page_fill(uint8_t value);
// A distinct, recognisable pattern per (id, generation).
PageData page_pattern(uint16_t logical_id, uint8_t generation = 0);

// Geometry of one partition.
struct FtlGeometry {
  uint32_t partition_size = 0x8000;  // bytes; EUs = size / 8192
  uint32_t fat_size = 0;             // bytes of FAT pages (multiple of 64)
  uint32_t logical_size = 0;         // fat_size + data bytes of the volume
  uint32_t partition_index = 0;      // offset of the partition in the image

  // Volume sized the way the FTL sizes its data area: pm = eus / 12, at least
  // 1 when eus > 1; data = (eus - pm - 1) * 7808 bytes.
  static FtlGeometry for_partition(uint32_t partition_size, uint32_t fat_size,
                                   uint32_t partition_index = 0);

  uint32_t eu_count() const { return partition_size / ftl_layout::kEuSize; }
  // eus - (logical_size - fat_size) / 7808 - 1
  uint32_t page_mapped_count() const;
  uint32_t block_mapped_count() const { return eu_count() - page_mapped_count() - 1; }
  uint32_t chunk_count() const { return (logical_size - fat_size) / ftl_layout::kPageData; }
  uint16_t fat_pages() const { return static_cast<uint16_t>(fat_size / ftl_layout::kPageData); }
  // euva of the k-th block-mapped range: fat_size/64 + 122k.
  uint16_t euva_of_range(uint32_t k) const;
};

// The four flash states that an interrupted reclaim leaves, in order.
enum class ReclaimCut {
  kBeforeHeader = 1,   // spare erased and filled with copies; header still erased
  kPendingHeader = 2,  // new header written, eucommit 0xFF; old EU intact
  kOldKilled = 3,      // as 2, and the old EU's eusig zeroed
  kCommitted = 4,      // new header committed: a finished reclaim
};

// How the last FAT page of an append is torn.
enum class PageTear {
  kNone,         // slot, page and commit mark written
  kSlotOnly,     // slot written, page area still erased, no commit mark
  kPartialPage,  // slot and the first `torn_bytes` page bytes written, no commit mark
  kNoCommit,     // slot and whole page written, commit mark missing
};

// Pre-header contents. `crc_sig` is the signature the CRC is computed with
// (defaults to `sig`); `crc_override` >= 0 stores that byte instead.
struct EuHeader {
  uint32_t sig = ftl_layout::kSigValid;
  uint32_t eumc = 1;
  uint32_t euec = 1;
  uint16_t euspare = 0;
  uint16_t euva = 0;
  uint8_t commit = ftl_layout::kHeaderCommitted;
  int64_t crc_sig = -1;
  int crc_override = -1;
};

// Options of a reclaim.
struct ReclaimOptions {
  // Target EU; -1 = the builder's current spare.
  int new_eu = -1;
  // Block-mapped: pages of the old EU to copy; empty = every page whose
  // commit byte is 0x00.  Page-mapped: logical ids to move; empty = every id
  // committed in the old EU (its last copy there).
  std::vector<uint32_t> pages;
  // Page-mapped: EU that receives the moved pages (appended behind its write
  // position); -1 = the new EU itself.
  int copy_to = -1;
  // Copy only the first `copied` of those pages, whatever the cut (-1 = all;
  // 0 = none, as for an EU that holds no live page).
  int copied = -1;
  // Erase count written into the new header; -1 = the new EU's known count + 1.
  int64_t new_euec = -1;
};

class FtlImageBuilder {
 public:
  // A partition of erased EUs (all 0xFF), no header written.
  explicit FtlImageBuilder(const FtlGeometry& geometry);

  const FtlGeometry& geometry() const { return geo_; }
  uint32_t eu_count() const { return geo_.eu_count(); }
  // Image offset of byte `offset` of EU `eu`; the `length` bytes from there
  // (by default that one byte) must lie inside the EU, else std::out_of_range.
  uint32_t at(uint32_t eu, uint32_t offset = 0, uint32_t length = 1) const;
  // The whole image: partition_index bytes of 0xFF, then the partition.
  const Bytes& image() const { return image_; }
  Bytes& image() { return image_; }

  // ---- whole partitions
  // Writes every pre-header as a fresh format does: EU i gets eumc i+1,
  // euec 1, euspare i+1; EUs below pm are page-mapped (euva 0), the next ones
  // block-mapped with euva fat_size/64 + 122k, the last EU is the spare (its
  // CRC computed with the valid signature, then eusig set to 0). All headers
  // committed. Page areas are not touched.
  FtlImageBuilder& format();
  // Every byte of every EU back to 0xFF.
  FtlImageBuilder& erase_all();

  // ---- pre-headers
  FtlImageBuilder& erase_eu(uint32_t eu);
  FtlImageBuilder& header(uint32_t eu, const EuHeader& h);
  // Kills an EU: eusig = 0, the rest of the header unchanged.
  FtlImageBuilder& kill(uint32_t eu);
  FtlImageBuilder& set_commit(uint32_t eu, uint8_t eucommit);
  // Replaces the header by its first `written` bytes of `h`, the rest erased:
  // a header write cut by power loss.
  FtlImageBuilder& torn_header(uint32_t eu, const EuHeader& h, uint32_t written);
  // Raw bytes and header fields as stored.
  FtlImageBuilder& write(uint32_t eu, uint32_t offset, const Bytes& bytes);
  FtlImageBuilder& write_u8(uint32_t eu, uint32_t offset, uint8_t v);
  FtlImageBuilder& write_u16(uint32_t eu, uint32_t offset, uint16_t v);
  FtlImageBuilder& write_u32(uint32_t eu, uint32_t offset, uint32_t v);
  uint8_t read_u8(uint32_t eu, uint32_t offset) const;
  uint16_t read_u16(uint32_t eu, uint32_t offset) const;
  uint32_t read_u32(uint32_t eu, uint32_t offset) const;
  // The 18 stored header bytes.
  Bytes header_bytes(uint32_t eu) const;

  // ---- block-mapped pages
  // Committed, not killed EU whose stored euva holds chunk `chunk`; -1 if none.
  int eu_of_chunk(uint32_t chunk) const;
  // Writes chunk `chunk` into its page of block-mapped EU `eu` (page = chunk
  // - first chunk of the EU) with the CRC under its logical page id, then
  // `commit` into its commit byte. The EU's stored euva decides the page.
  FtlImageBuilder& put_chunk(uint32_t eu, uint32_t chunk, const PageData& data,
                             uint8_t commit = ftl_layout::kCommitDone);
  // Writes page `page` of a block-mapped EU with the CRC of `logical_id`.
  FtlImageBuilder& put_bm_page(uint32_t eu, uint32_t page, uint16_t logical_id,
                               const PageData& data, uint8_t commit = ftl_layout::kCommitDone);
  FtlImageBuilder& set_chunk_commit(uint32_t eu, uint32_t page, uint8_t commit);

  // ---- page-mapped pages
  // Appends FAT page `logical_id` at the EU's write position, chaining its
  // slot from the previous committed id in this EU, and commits it (0x7F
  // into the high byte of the next slot). A torn append leaves the page
  // uncommitted; the write position then moves two pages on (the mount skips
  // the page after an uncommitted one) and the chain seed stays.
  FtlImageBuilder& append_fat_page(uint32_t eu, uint16_t logical_id, const PageData& data,
                                   PageTear tear = PageTear::kNone, uint32_t torn_bytes = 0);
  // Write position and chain seed the builder holds for a page-mapped EU.
  uint32_t next_fat_page(uint32_t eu) const { return pm_next_[eu]; }
  uint16_t chain_seed(uint32_t eu) const { return pm_seed_[eu]; }
  // Moves the write position (e.g. to leave pages unwritten).
  FtlImageBuilder& set_fat_position(uint32_t eu, uint32_t next_page, uint16_t seed);
  // Stored value of slot i.
  uint16_t slot(uint32_t eu, uint32_t i) const;
  // Last copy in `eu` of each committed id, as (id, page index), in page
  // order, read the way a mount reads the slots: a page whose slot was
  // written but that was never committed makes the next page unused too.
  std::vector<std::pair<uint16_t, uint32_t>> committed_fat_pages(uint32_t eu) const;

  // Page bytes as stored (66 bytes, data then crc) and their data only.
  Bytes page_bytes(uint32_t eu, uint32_t page_offset_in_eu) const;

  // ---- reclaim
  // Reclaims `old_eu` into the spare (or options.new_eu) the way the reclaim
  // orders its flash writes, stopping at the given state: erase the new EU,
  // copy the live pages, write its header pending (eumc = newest + 1, euec +1,
  // euspare = old_eu, euva = old's), zero old's eusig, commit the new header.
  // The builder's model follows only a kCommitted reclaim. Returns the new EU.
  uint32_t reclaim(uint32_t old_eu, ReclaimCut cut, const ReclaimOptions& options = {});

  // ---- reading back, by the recovery rules alone
  // EUs whose data counts: valid committed headers, and a pending header
  // beside the one invalid EU, when it names that EU as its spare.
  std::vector<uint32_t> data_eus() const;
  // The newest committed copy of every FAT page in those EUs (the larger
  // eumc wins, then the later page), and the page of every committed chunk
  // (commit byte 0x00). A copy that fails its CRC maps to empty data.
  std::map<uint16_t, PageData> live_fat_pages() const;
  std::map<uint32_t, PageData> live_chunks() const;
  // The EU among data_eus() that holds each block-mapped range, by euva (the
  // later EU when two claim one), for reading single chunks. A chunk lies in
  // the range with the largest euva at or below its id.
  std::map<uint16_t, uint32_t> block_mapped_data_eus() const;
  // Chunk `chunk` as the EU holding its range (from block_mapped_data_eus())
  // stores it: false when its page is not committed; else *data is its data,
  // or empty when the page fails its CRC.
  bool committed_chunk(const std::map<uint16_t, uint32_t>& ranges, uint32_t chunk, PageData* data) const;

  // ---- model
  uint32_t spare_eu() const { return spare_; }
  uint32_t last_eumc() const { return last_eumc_; }
  uint32_t eumc(uint32_t eu) const { return eumc_[eu]; }
  uint32_t euec(uint32_t eu) const { return euec_[eu]; }
  void set_spare(uint32_t eu) { spare_ = eu; }

 private:
  void check_eu(uint32_t eu) const;
  void put_page(uint32_t eu, uint32_t offset, uint16_t logical_id, const PageData& data,
                uint32_t bytes = ftl_layout::kPageSize);

  FtlGeometry geo_;
  Bytes image_;
  std::vector<uint32_t> pm_next_;
  std::vector<uint16_t> pm_seed_;
  std::vector<uint32_t> eumc_, euec_;
  uint32_t spare_ = 0;
  uint32_t last_eumc_ = 0;
};

}  // namespace tarn_test

#endif  // TARN_TESTS_SUPPORT_FTL_IMAGE_BUILDER_H
