#include "format_work.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "support/afs_volume_image.h"
#include "support/fcs_buffer_writer.h"
#include "support/ftl_image_builder.h"

namespace tarn_bench {
namespace {

// ---------------------------------------------------------------------------
// Format tables
// ---------------------------------------------------------------------------

// FTL: 8 KiB erase units; an 18-byte pre-header (its crc8 over bytes 0-15 at
// 16); page-mapped EUs: 121 two-byte page-id slots at 18, 120 pages at 260;
// block-mapped EUs: 122 commit bytes at 18, 122 pages at 140. A page is 64
// data bytes and the crc16 of them and its logical page id. The values are
// the test builders' (tests/support), defined once there.
namespace ftl = tarn_test::ftl_layout;
constexpr uint32_t kEu = ftl::kEuSize, kPreHeader = ftl::kPreHeaderSize, kEuCrcAt = ftl::kEucrcOffset,
                   kEuvaAt = ftl::kEuvaOffset;
constexpr uint32_t kSlotsAt = ftl::kPmSlotOffset, kSlotsBytes = 2 * ftl::kPmSlots,
                   kPmPagesAt = ftl::kPmPagesOffset, kPmPages = ftl::kPmPages;
constexpr uint32_t kCommitsAt = ftl::kBmCommitOffset, kBmPagesAt = ftl::kBmPagesOffset, kBmPages = ftl::kBmPages;
constexpr uint32_t kPage = ftl::kPageSize, kPageData = ftl::kPageData;
// AFS volume: a 14-byte header, then one 16-bit FAT entry per file and per
// chunk.
constexpr uint32_t kAfsHeader = tarn_test::afs_layout::kHeaderSize;
// EFS: 4 KiB blocks; a BM header of 16 bytes (crc32 of 0-11 at 12), BME
// slots of V + N + 12 bytes from 16 (crc32 of all but the last 4); a data
// block's 16-byte header (crc32 of 0-11), 4076-byte area at 16, footer crc32
// of the area at 4092; a piece is a 4-byte header {size, crc16} and data.
constexpr uint32_t kBlock = 4096, kBmHeader = 16, kBlockHeader = 16, kArea = 4076, kAreaAt = 16;
constexpr uint32_t kPieceHeader = 4, kSlotEnd = 4095;
// FCS buffer: u32 count, 12-byte record headers {fileno, offset, u16 length,
// u16 attributes}, payloads. File table: 68-byte entries, name in 48 bytes.
constexpr uint32_t kRecordHeader = tarn_test::kFcsHeaderSize, kFtblEntry = 68, kFtblName = 48;
// A list entry's own fields besides its payload: the record header with the
// file's attributes (18 bytes), a 255-character path, size, flags and links.
constexpr uint32_t kListEntry = 18 + 255 + 4 + 3 + 3 * 8;

struct Crcs {
  uint16_t t16[256];
  uint8_t t8[256];
  uint32_t t32[256];
  Crcs() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint16_t r = static_cast<uint16_t>(i << 8);
      for (int b = 0; b < 8; ++b) r = static_cast<uint16_t>(r & 0x8000 ? (r << 1) ^ 0x1021 : r << 1);
      t16[i] = r;
      uint8_t r8 = static_cast<uint8_t>(i);
      for (int b = 0; b < 8; ++b) r8 = static_cast<uint8_t>(r8 & 0x80 ? (r8 << 1) ^ 0x07 : r8 << 1);
      t8[i] = r8;
      uint32_t r32 = i;
      for (int b = 0; b < 8; ++b) r32 = r32 & 1 ? (r32 >> 1) ^ 0xEDB88320u : r32 >> 1;
      t32[i] = r32;
    }
  }
  uint16_t crc16(uint16_t r, const uint8_t* p, size_t n) const {
    for (size_t i = 0; i < n; ++i) r = static_cast<uint16_t>(t16[(r >> 8) ^ p[i]] ^ (r << 8));
    return r;
  }
  uint16_t page(const uint8_t* data, uint16_t id) const {
    const uint8_t idBytes[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    return crc16(crc16(0xFFFF, data, kPageData), idBytes, 2);
  }
  uint16_t crc14(uint16_t id) const {
    uint16_t r = 0x3FFF;
    const uint8_t b[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    for (uint8_t x : b) r = static_cast<uint16_t>((t16[(r >> 8) ^ x] ^ (r << 8)) & 0x3FFF);
    return r;
  }
  uint8_t crc8(const uint8_t* p, size_t n) const {
    uint8_t r = 1;
    for (size_t i = 0; i < n; ++i) r = t8[r ^ p[i]];
    return r;
  }
  uint32_t crc32(const uint8_t* p, size_t n) const {
    uint32_t r = 0;
    for (size_t i = 0; i < n; ++i) r = t32[(r ^ p[i]) & 0xFF] ^ (r >> 8);
    return r;
  }
};
const Crcs crcs;

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t u32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }

// A scratch flash the programs go to: a program copies the bytes in and
// reads them back once.
struct ScratchFlash {
  Bytes area = Bytes(4 * kEu, 0xFF);
  size_t at = 0;
  void program(Work& w, const uint8_t* src, size_t n) {
    if (at + n > area.size()) at = 0;
    std::memcpy(&area[at], src, n);
    w.sink += std::memcmp(&area[at], src, n) == 0;
    at += n;
    w.bytes += 2 * n;
  }
  // Reads a range that must be erased and checks that it is.
  void blankCheck(Work& w, size_t n) {
    if (at + n > area.size()) at = 0;
    std::memset(&area[at], 0xFF, n);  // an erased range to read
    w.sink += std::all_of(&area[at], &area[at] + n, [](uint8_t b) { return b == 0xFF; });
    w.bytes += n;
  }
};

// A copy of `n` bytes out of a region, as a read does.
const uint8_t* readOut(Work& w, Bytes& buf, const uint8_t* src, size_t n) {
  if (buf.size() < n) buf.resize(n);
  std::memcpy(buf.data(), src, n);
  w.bytes += n;
  return buf.data();
}

// The file table's entries of the image's SKU (its only one).
struct FtblView {
  const uint8_t* entries;
  uint32_t count;
};
FtblView ftblView(const SessionImage& image) {
  const uint8_t* b = image.ftbl.data();
  return FtblView{b + u32(b + 16 + 4), u32(b + 16 + 8)};
}
std::string ftblName(const uint8_t* entry) {
  return std::string(reinterpret_cast<const char*>(entry), strnlen(reinterpret_cast<const char*>(entry), kFtblName));
}

std::unordered_map<std::string, uint32_t> nameIndex(const SessionImage& image) {
  const FtblView v = ftblView(image);
  std::unordered_map<std::string, uint32_t> index(v.count * 2);
  for (uint32_t i = 0; i < v.count; ++i) index.emplace(ftblName(v.entries + i * kFtblEntry), i);
  return index;
}

uint32_t currentSize(const Variable& v) { return v.resized ? v.newSize : v.size; }
uint32_t vfsSize(const Variable& v) { return v.size + (v.integrityProtected ? kBlobMetadata : 0); }
uint32_t pagesOf(uint32_t bytes) { return (bytes + kPageData - 1) / kPageData; }

// Where the FTL's format put things in the image: EU pm + k holds chunk range
// k; the FAT pages lie where the page-id slots of the page-mapped EUs say.
struct MfsLayout {
  uint32_t pm = 0, fatPages = 0;
  std::vector<uint32_t> fatPageAt;   // partition offset of each FAT page's copy
  std::vector<uint32_t> firstChunk;  // per variable: first chunk of its VFS file
};
MfsLayout mfsLayout(const SessionImage& image) {
  MfsLayout l;
  l.pm = image.mfsPageMappedEus;
  l.fatPages = image.mfsFatSize / kPageData;
  l.fatPageAt.assign(l.fatPages, 0);
  for (uint32_t eu = 0; eu < l.pm; ++eu) {
    const uint8_t* base = &image.mfs[eu * kEu];
    uint16_t prev = 0;
    for (uint32_t j = 0; j < kPmPages; ++j) {
      const uint16_t slot = u16(base + kSlotsAt + 2 * j), next = u16(base + kSlotsAt + 2 * (j + 1));
      if (slot == 0xFFFF || (next & 0x8000) != 0) break;
      prev = static_cast<uint16_t>(slot ^ crcs.crc14(prev));
      if (prev < l.fatPages) l.fatPageAt[prev] = eu * kEu + kPmPagesAt + j * kPage;
    }
  }
  uint32_t chunk = 0;
  l.firstChunk.assign(image.variables.size(), 0);
  for (size_t i = 0; i < image.variables.size(); ++i) {
    if (image.variables[i].inEfs) continue;
    l.firstChunk[i] = chunk;
    chunk += pagesOf(vfsSize(image.variables[i]));
  }
  return l;
}
const MfsLayout& layoutOf(const SessionImage& image) {
  static const SessionImage* cached = nullptr;
  static MfsLayout layout;
  if (cached != &image) layout = mfsLayout(image), cached = &image;
  return layout;
}

uint32_t fatPageOfEntry(uint32_t index) {
  return (kAfsHeader + 2 * index) / kPageData;
}
// The FAT pages holding the entries of `count` chunks from `first`, and the
// file's own entry.
uint32_t fatPagesOfChain(const SessionImage& image, uint16_t file, uint32_t first, uint32_t count,
                         uint32_t* pages) {
  uint32_t n = 0;
  pages[n++] = fatPageOfEntry(file);
  if (count == 0) return n;
  const uint32_t from = fatPageOfEntry(image.mfsFiles + first);
  const uint32_t to = fatPageOfEntry(image.mfsFiles + first + count - 1);
  for (uint32_t p = from; p <= to; ++p)
    if (p != pages[0]) pages[n++] = p;
  return n;
}

// Reads one page out of the image and checks its CRC.
void readPage(Work& w, Bytes& buf, const uint8_t* at, uint16_t id) {
  const uint8_t* p = readOut(w, buf, at, kPage);
  w.sink += crcs.page(p, id) == u16(p + kPageData);
}

// Builds, programs and verifies one page of a block-mapped EU: the commit
// byte read, marked programming, the page, the commit byte cleared.
void programDataPage(Work& w, ScratchFlash& flash, const uint8_t* data, uint16_t id) {
  uint8_t page[kPage];
  std::memcpy(page, data, kPageData);
  const uint16_t crc = crcs.page(page, id);
  page[64] = static_cast<uint8_t>(crc);
  page[65] = static_cast<uint8_t>(crc >> 8);
  const uint8_t programming = 0x7F, committed = 0x00;
  w.bytes += 1;  // the commit byte read
  flash.program(w, &programming, 1);
  flash.program(w, page, kPage);
  flash.program(w, &committed, 1);
}

// Programs one FAT page into the page-mapped log: its scrambled id slot, the
// page, the commit mark in the next slot.
void programFatPage(Work& w, ScratchFlash& flash, const uint8_t* data, uint16_t id, uint16_t& prev) {
  const uint16_t slot = static_cast<uint16_t>(id ^ crcs.crc14(prev));
  const uint8_t slotBytes[2] = {static_cast<uint8_t>(slot), static_cast<uint8_t>(slot >> 8)};
  flash.program(w, slotBytes, 2);
  uint8_t page[kPage];
  std::memcpy(page, data, kPageData);
  const uint16_t crc = crcs.page(page, id);
  page[64] = static_cast<uint8_t>(crc);
  page[65] = static_cast<uint8_t>(crc >> 8);
  flash.program(w, page, kPage);
  const uint8_t mark = 0x7F;
  flash.program(w, &mark, 1);
  prev = id;
}

// An EFS piece read and its CRC checked (a size query or a read).
void verifyPiece(Work& w, Bytes& buf, const SessionImage& image, const Variable& v, uint32_t size) {
  const uint8_t* at = &image.efs[(image.efsBms + v.efsBlock) * kBlock + kAreaAt + v.efsOffset];
  const uint8_t* p = readOut(w, buf, at, kPieceHeader + size);
  uint16_t crc = crcs.crc16(v.efsBlock, p, 2);
  crc = crcs.crc16(crc, p + kPieceHeader, size);
  w.sink += crc == u16(p + 2);
}

// The store's record and the entry's own payload, as the data model keeps
// every loaded or added variable.
struct Held {
  std::vector<uint8_t*> blocks;
  void copy(Work& w, const uint8_t* src, size_t n) {
    uint8_t* b = static_cast<uint8_t*>(std::malloc(n != 0 ? n : 1));
    std::memcpy(b, src, n);
    blocks.push_back(b);
    w.bytes += n;
  }
  // A list entry: its fields, then its own copy of the payload.
  void entry(Work& w, const uint8_t* payload, size_t n) {
    static const uint8_t fields[kListEntry] = {};
    copy(w, fields, kListEntry);
    copy(w, payload, n);
  }
  ~Held() {
    for (uint8_t* b : blocks) std::free(b);
  }
};

// Each variable's current value in a buffer of its own, as the library's
// entries hold them.
const std::vector<Bytes>& currentValues(const SessionImage& image) {
  static const SessionImage* cached = nullptr;
  static std::vector<Bytes> values;
  if (cached != &image) {
    values.clear();
    for (const Variable& v : image.variables)
      values.push_back(valueBytes(v, Value::kHost, v.resized && v.newSize > v.size ? v.newSize : v.size));
    cached = &image;
  }
  return values;
}

// One FCS buffer loaded: the copy the table keeps, then per record its
// name looked up by number, its record and its entry's payload.
void loadFcs(Work& w, Held& held, const uint8_t* buffer, uint32_t size,
             const std::unordered_map<uint32_t, uint32_t>& byNumber) {
  held.copy(w, buffer, size);
  const uint32_t count = u32(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* h = buffer + 4 + kRecordHeader * i;
    const uint32_t offset = u32(h + 4), length = u16(h + 8);
    if (uint64_t{offset} + length > size) continue;
    const auto found = byNumber.find(u32(h));
    if (found == byNumber.end()) continue;
    w.sink += found->second;
    held.copy(w, h, kRecordHeader);
    held.copy(w, buffer + offset, length);
    held.entry(w, buffer + offset, length);
  }
}

// Each default's current value: the override of the same name, or the
// default, copied into an entry and into a store record.
void buildCurrents(Work& w, Held& held, const SessionImage& image) {
  const uint8_t* defaults = image.defaults.data();
  const uint8_t* overrides = image.qelc.data() + 16;
  std::unordered_map<uint32_t, const uint8_t*> overridden(u32(overrides) * 2);
  for (uint32_t i = 0; i < u32(overrides); ++i) {
    const uint8_t* h = overrides + 4 + kRecordHeader * i;
    overridden.emplace(u32(h), h);
  }
  for (uint32_t i = 0; i < u32(defaults); ++i) {
    const uint8_t* h = defaults + 4 + kRecordHeader * i;
    const uint8_t* base = defaults;
    const auto o = overridden.find(u32(h));
    if (o != overridden.end()) h = o->second, base = overrides;
    held.entry(w, base + u32(h + 4), u16(h + 8));
    held.copy(w, h, kRecordHeader);
    held.copy(w, base + u32(h + 4), u16(h + 8));
  }
}

}  // namespace

void loadTablesWork(const SessionImage& image, Work& w) {
  Held held;
  held.copy(w, image.ftbl.data(), image.ftbl.size());
  const FtblView v = ftblView(image);
  std::unordered_map<uint32_t, uint32_t> byNumber(v.count * 2);
  for (uint32_t i = 0; i < v.count; ++i) byNumber.emplace(u32(v.entries + i * kFtblEntry + kFtblName), i);
  loadFcs(w, held, image.defaults.data(), static_cast<uint32_t>(image.defaults.size()), byNumber);
  loadFcs(w, held, image.qelc.data() + 16, static_cast<uint32_t>(image.qelc.size() - 16), byNumber);
  buildCurrents(w, held, image);
}

void currentValuesWork(const SessionImage& image, Work& w) {
  Held held;
  buildCurrents(w, held, image);
}

void mfsMountWork(const SessionImage& image, Work& w) {
  static Bytes buf, fat;
  const uint8_t* mfs = image.mfs.data();
  const uint32_t pm = image.mfsPageMappedEus, fatPages = image.mfsFatSize / kPageData;
  std::vector<uint32_t> fatAt(fatPages, 0);
  std::vector<uint32_t> bitmap(image.mfsChunks / 32 + 1, 0);
  for (uint32_t eu = 0; eu < kMfsEus; ++eu) {
    const uint8_t* h = readOut(w, buf, mfs + eu * kEu, kPreHeader + 2);
    w.sink += crcs.crc8(h, kEuCrcAt) == h[kEuCrcAt];
    if (u16(h + kEuvaAt) != 0 || eu >= pm || u16(h + kPreHeader) == 0xFFFF) continue;
    const uint8_t* slots = readOut(w, buf, mfs + eu * kEu + kSlotsAt, kSlotsBytes);
    uint16_t prev = 0;
    for (uint32_t j = 0; j < kPmPages; ++j) {
      const uint16_t slot = u16(slots + 2 * j), next = u16(slots + 2 * (j + 1));
      if (slot == 0xFFFF || (next & 0x8000) != 0) break;
      prev = static_cast<uint16_t>(slot ^ crcs.crc14(prev));
      if (prev < fatPages) fatAt[prev] = eu * kEu + kPmPagesAt + j * kPage;
    }
  }
  // The FAT, every page read once.
  fat.assign(fatPages * kPageData, 0);
  for (uint32_t id = 0; id < fatPages; ++id) {
    if (fatAt[id] == 0) continue;
    readPage(w, buf, mfs + fatAt[id], static_cast<uint16_t>(id));
    std::memcpy(&fat[id * kPageData], buf.data(), kPageData);
  }
  // Every chain walked once, marking its chunks.
  const uint32_t nf = image.mfsFiles, chunks = image.mfsChunks;
  for (uint32_t f = 0; f < nf; ++f) {
    uint32_t e = u16(&fat[kAfsHeader + 2 * f]);
    if (e == 0 || e >= 0xFFFE) continue;
    uint64_t size = 0;
    for (uint32_t steps = 0; e > 64 && e - nf < chunks && steps < chunks; ++steps) {
      const uint32_t c = e - nf;
      bitmap[c / 32] |= 1u << (c % 32);
      e = u16(&fat[kAfsHeader + 2 * e]);
      size += e < 64 ? e : 64;
    }
    w.sink += size;
  }
  // The hand-over: every block-mapped EU's commit bytes against the bitmap.
  for (uint32_t k = 0; k + pm + 1 < kMfsEus; ++k) {
    const uint8_t* commits = readOut(w, buf, mfs + (pm + k) * kEu + kCommitsAt, kBmPages);
    for (uint32_t j = 0; j < kBmPages && k * kBmPages + j < chunks; ++j) {
      const uint32_t c = k * kBmPages + j;
      w.sink += ((bitmap[c / 32] >> (c % 32)) & 1) == (commits[j] == 0);
    }
  }
}

void efsMountWork(const SessionImage& image, Work& w) {
  static Bytes buf, block;
  const uint8_t* efs = image.efs.data();
  const uint32_t slot = image.efsValid + image.efsSpare + 12;
  uint32_t active = 0, best = 0;
  for (uint32_t k = 0; k < image.efsBms; ++k) {
    const uint8_t* h = readOut(w, buf, efs + k * kBlock, kBmHeader);
    if (std::all_of(h, h + kBmHeader, [](uint8_t b) { return b == 0xFF; })) continue;  // erased
    if (crcs.crc32(h, 12) == u32(h + 12) && u32(h + 4) > best) best = u32(h + 4), active = k;
  }
  const uint8_t* bm = readOut(w, block, efs + active * kBlock, kBlock);
  uint32_t at = kBmHeader + slot;
  while (at + slot <= kSlotEnd &&
         !std::all_of(bm + at, bm + at + slot, [](uint8_t b) { return b == 0xFF; }))
    at += slot;
  const uint8_t* bme = bm + at - slot;
  w.sink += crcs.crc32(bme, slot - 4) == u32(bme + slot - 4);
  std::vector<bool> seen(image.efsValid + image.efsSpare, false);
  for (uint32_t i = 0; i < image.efsValid + image.efsSpare; ++i) {
    w.sink += seen[bme[i]];
    seen[bme[i]] = true;
  }
}

void vfsRefreshWork(const SessionImage& image, Work& w) {
  static Bytes buf, value;
  const auto index = nameIndex(image);
  const MfsLayout& l = layoutOf(image);
  const uint8_t* mfs = image.mfs.data();
  for (size_t i = 0; i < image.variables.size(); ++i) {
    const Variable& v = image.variables[i];
    if (v.encrypted) continue;
    w.sink += index.find(v.path)->second;
    const uint32_t size = vfsSize(v);
    if (value.size() < size) value.resize(size);
    if (v.inEfs) {
      verifyPiece(w, buf, image, v, size);  // the size query
      verifyPiece(w, buf, image, v, size);  // the read
      std::memcpy(value.data(), buf.data() + kPieceHeader, v.size);
      continue;
    }
    const uint32_t count = pagesOf(size);
    uint32_t pages[8];
    const uint32_t n = fatPagesOfChain(image, v.mediumFile, l.firstChunk[i], count, pages);
    for (uint32_t k = 0; k < n; ++k) readPage(w, buf, mfs + l.fatPageAt[pages[k]], static_cast<uint16_t>(pages[k]));
    for (uint32_t k = 0; k < count; ++k) {
      const uint32_t c = l.firstChunk[i] + k;
      const uint8_t* at = mfs + (l.pm + c / kBmPages) * kEu + kBmPagesAt + (c % kBmPages) * kPage;
      readPage(w, buf, at, static_cast<uint16_t>(l.fatPages + c));
      const uint32_t take = std::min(kPageData, v.size > k * kPageData ? v.size - k * kPageData : 0);
      std::memcpy(value.data() + k * kPageData, buf.data(), take);
    }
  }
}

void nvarAccessWork(const SessionImage& image, Work& w) {
  std::unordered_map<std::string, uint32_t> current(image.variables.size() * 2);
  std::vector<uint8_t*> buffers(image.variables.size(), nullptr);
  for (uint32_t i = 0; i < image.variables.size(); ++i) current.emplace(image.variables[i].path, i);
  // Each get finds its entry and asks whether the VFS is deployed: the
  // marker's file found by name and its size read (the answer follows the
  // region as it stands, so it is asked every time).
  const auto files = nameIndex(image);
  std::vector<uint32_t> sizes(kAfsFiles, 1);
  for (const Variable& v : image.variables)
    w.sink += current.find(v.path)->second + sizes[files.find("/home/mca/deploy")->second % kAfsFiles];
  for (uint32_t i = 0; i < image.variables.size(); ++i) {
    const Variable& v = image.variables[i];
    if (!v.resized) continue;
    w.sink += current.find(v.path)->second;
    buffers[i] = static_cast<uint8_t*>(std::malloc(v.newSize));
    std::memset(buffers[i], 0x5A, v.newSize);  // what the host writes
    w.bytes += v.newSize;
  }
  for (uint8_t* b : buffers) std::free(b);
}

void rebuildWork(const SessionImage& image, Work& w) {
  const std::vector<Bytes>& values = currentValues(image);
  Held held;
  const FtblView view = ftblView(image);
  std::unordered_map<uint32_t, uint32_t> byNumber(view.count * 2);
  for (uint32_t i = 0; i < view.count; ++i) byNumber.emplace(u32(view.entries + i * kFtblEntry + kFtblName), i);
  for (uint32_t i = 0; i < image.variables.size(); ++i) {
    const uint32_t size = currentSize(image.variables[i]);
    held.entry(w, values[i].data(), size);  // the entry's copy
    held.copy(w, values[i].data(), size);   // the store's record, after its header
    w.bytes += kRecordHeader;
    const uint32_t number = u32(view.entries + i * kFtblEntry + kFtblName);
    w.sink += size <= u32(view.entries + byNumber.find(number)->second * kFtblEntry + 64);
  }
}

namespace {

// The EFS block-manager log: a commit appends a BME, or switches to the next
// block manager when the active one has no room for another slot.
struct BmLog {
  uint32_t offset = kBmHeader, slot;
  explicit BmLog(uint32_t s) : slot(s) {}
  void commit(Work& w, ScratchFlash& flash, Bytes& bme) {
    const uint32_t crc = crcs.crc32(bme.data(), slot - 4);
    std::memcpy(&bme[slot - 4], &crc, 4);
    if (offset + 2 * slot > kSlotEnd) {
      flash.blankCheck(w, kBlock);  // the next BM is erased
      flash.blankCheck(w, slot);
      flash.program(w, bme.data(), slot);
      uint8_t header[kBmHeader] = {1};
      const uint32_t hcrc = crcs.crc32(header, 12);
      std::memcpy(header + 12, &hcrc, 4);
      flash.blankCheck(w, kBmHeader);
      flash.program(w, header, kBmHeader);
      const uint8_t zeros[kBmHeader] = {};
      flash.program(w, zeros, kBmHeader);  // the old header cleared
      offset = kBmHeader;
      return;
    }
    flash.blankCheck(w, slot);
    flash.program(w, bme.data(), slot);
    offset += slot;
  }
};

// A spare block erased: its header CRC cleared, the block erased, a new
// header programmed.
void eraseSpare(Work& w, ScratchFlash& flash, Bytes& block) {
  const uint8_t zeros[4] = {};
  flash.program(w, zeros, 4);
  std::memset(block.data(), 0xFF, kBlock);
  w.bytes += kBlock;
  uint8_t header[kBlockHeader] = {2};
  const uint32_t crc = crcs.crc32(header, 12);
  std::memcpy(header + 12, &crc, 4);
  flash.blankCheck(w, kBlockHeader);
  flash.program(w, header, kBlockHeader);
}

}  // namespace

void writeBackWork(const SessionImage& image, const ReclaimWork& afs, Work& w) {
  static ScratchFlash flash;
  static Bytes buf, block(kBlock), fat(64, 0), bme;
  const std::vector<Bytes>& values = currentValues(image);
  const auto index = nameIndex(image);
  const MfsLayout& l = layoutOf(image);
  const uint8_t* mfs = image.mfs.data();
  const uint32_t slot = image.efsValid + image.efsSpare + 12;
  bme.assign(slot, 0);
  BmLog log(slot);
  uint32_t freeSpares = image.efsSpare;
  bool scanned = false;
  uint32_t nextChunk = l.firstChunk.empty() ? 0 : image.mfsChunks / 2;
  uint16_t prevFat = 0;
  for (size_t i = 0; i < image.variables.size(); ++i) {
    const Variable& v = image.variables[i];
    if (v.integrityProtected) continue;
    w.sink += index.find(v.path)->second;
    const uint32_t size = currentSize(v);
    if (v.inEfs) {
      verifyPiece(w, buf, image, v, vfsSize(v));  // the size query
      if (!scanned) {
        for (uint32_t p = 0; p < image.efsValid + image.efsSpare; ++p) {
          const uint8_t* h = readOut(w, buf, &image.efs[(image.efsBms + p) * kBlock], kBlockHeader);
          w.sink += crcs.crc32(h, 12) == u32(h + 12);
        }
        for (uint32_t s = 0; s < image.efsSpare; ++s) flash.blankCheck(w, kArea + 4);
        scanned = true;
      }
      if (freeSpares == 0) eraseSpare(w, flash, block); else --freeSpares;
      const uint8_t* b = readOut(w, block, &image.efs[(image.efsBms + v.efsBlock) * kBlock], kBlock);
      w.sink += crcs.crc32(b, 12) == u32(b + 12);
      w.sink += crcs.crc32(b + kAreaAt, kArea) == u32(b + kAreaAt + kArea);
      uint8_t* piece = block.data() + kAreaAt + v.efsOffset;
      piece[0] = static_cast<uint8_t>(size);
      piece[1] = static_cast<uint8_t>(size >> 8);
      std::memcpy(piece + kPieceHeader, values[i].data(), size);
      const uint16_t crc = crcs.crc16(crcs.crc16(v.efsBlock, piece, 2), piece + kPieceHeader, size);
      piece[2] = static_cast<uint8_t>(crc);
      piece[3] = static_cast<uint8_t>(crc >> 8);
      const uint32_t footer = crcs.crc32(block.data() + kAreaAt, kArea);
      std::memcpy(block.data() + kAreaAt + kArea, &footer, 4);
      flash.blankCheck(w, kArea);
      flash.program(w, block.data() + kAreaAt, kArea);
      flash.blankCheck(w, 4);
      flash.program(w, block.data() + kAreaAt + kArea, 4);
      log.commit(w, flash, bme);
      continue;
    }
    // The old chain: its FAT pages read, each of its entries followed once,
    // each chunk released.
    const uint32_t oldCount = pagesOf(vfsSize(v));
    uint32_t pages[8];
    uint32_t n = fatPagesOfChain(image, v.mediumFile, l.firstChunk[i], oldCount, pages);
    for (uint32_t k = 0; k < n; ++k) readPage(w, buf, mfs + l.fatPageAt[pages[k]], static_cast<uint16_t>(pages[k]));
    w.sink += oldCount;
    // The new chunks, then the FAT pages that link them, the file entry's
    // page last.
    const uint32_t count = pagesOf(size);
    if (nextChunk + count > image.mfsChunks) nextChunk = 0;
    for (uint32_t k = 0; k < count; ++k) {
      uint8_t page[kPageData] = {};
      std::memcpy(page, values[i].data() + k * kPageData, std::min(kPageData, size - k * kPageData));
      programDataPage(w, flash, page, static_cast<uint16_t>(l.fatPages + nextChunk + k));
    }
    n = fatPagesOfChain(image, v.mediumFile, nextChunk, count, pages);
    for (uint32_t k = n; k-- > 0;) programFatPage(w, flash, fat.data(), static_cast<uint16_t>(pages[k]), prevFat);
    nextChunk += count;
  }
  // The reclaims: each copied page read, checked, programmed and read back;
  // each erased block set to 0xFF; a new header per EU.
  for (uint64_t p = 0; p < afs.copiedPages; ++p) {
    const uint8_t* at = mfs + (l.pm + (p / kBmPages) % 200) * kEu + kBmPagesAt + (p % kBmPages) * kPage;
    readPage(w, buf, at, static_cast<uint16_t>(l.fatPages + p % image.mfsChunks));
    flash.program(w, buf.data(), kPage);
  }
  for (uint64_t b = 0; b < afs.erasedBlocks; ++b) {
    std::memset(block.data(), 0xFF, kBlock);
    w.bytes += kBlock;
    if (b % 2 == 1) {
      uint8_t header[kPreHeader] = {0x87, 0x78, 0x55, 0xAA};
      header[kEuCrcAt] = crcs.crc8(header, kEuCrcAt);
      flash.program(w, header, kPreHeader - 1);
      flash.program(w, header + kPreHeader - 1, 1);
    }
  }
}

uint64_t writeBackPages(const SessionImage& image) {
  uint64_t total = 0;
  uint32_t nextChunk = image.mfsChunks / 2, pages[8];
  for (const Variable& v : image.variables) {
    if (v.integrityProtected || v.inEfs) continue;
    const uint32_t count = pagesOf(currentSize(v));
    if (nextChunk + count > image.mfsChunks) nextChunk = 0;
    total += count + fatPagesOfChain(image, v.mediumFile, nextChunk, count, pages);
    nextChunk += count;
  }
  return total;
}

void serialiseWork(const SessionImage& image, Work& w) {
  const std::vector<Bytes>& values = currentValues(image);
  uint64_t size = 4;
  for (const Variable& v : image.variables) size += kRecordHeader + currentSize(v);
  // Every byte of the buffer is written below: it needs no clearing first.
  std::unique_ptr<uint8_t[]> out(new uint8_t[size]);
  const uint32_t count = static_cast<uint32_t>(image.variables.size());
  std::memcpy(out.get(), &count, 4);
  uint32_t at = 4 + kRecordHeader * count;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t length = currentSize(image.variables[i]);
    uint8_t header[kRecordHeader] = {};
    const uint32_t number = i + 1;  // stands for the record's file number
    std::memcpy(header, &number, 4);
    std::memcpy(header + 4, &at, 4);
    header[8] = static_cast<uint8_t>(length);
    header[9] = static_cast<uint8_t>(length >> 8);
    header[10] = 1;  // overridable
    std::memcpy(&out[4 + kRecordHeader * i], header, kRecordHeader);
    std::memcpy(&out[at], values[i].data(), length);
    at += length;
  }
  w.bytes += size;
  w.sink += out[size - 1];
}

void dumpWork(const SessionImage& image, Work& w) {
  const std::vector<Bytes>& values = currentValues(image);
  static char hex[256][4];
  if (hex[1][0] == 0)
    for (int i = 0; i < 256; ++i) std::snprintf(hex[i], sizeof hex[i], "%02x ", i);
  std::vector<char> text;
  const char* files[3] = {"format_qel.txt", "format_orvan.txt", "format_currents.txt"};
  for (int t = 0; t < 3; ++t) {
    for (size_t i = 0; i < image.variables.size(); ++i) {
      // Each entry is appended on its own: its file opened, written, closed.
      std::FILE* out = std::fopen(files[t], "a");
      if (out == nullptr) continue;
      const Variable& v = image.variables[i];
      const uint8_t* value = values[i].data();
      const uint32_t size = t == 1 ? v.size : currentSize(v);
      text.clear();
      char line[300];
      const int n = std::snprintf(line, sizeof line, "%s (%d bytes)\n", v.path.c_str(), static_cast<int>(size));
      text.insert(text.end(), line, line + n);
      for (uint32_t k = 0; k < size; ++k) {
        text.insert(text.end(), hex[value[k]], hex[value[k]] + 3);
        if ((k + 1) % 16 == 0 || k + 1 == size) text.push_back('\n');
      }
      text.push_back('\n');
      std::fwrite(text.data(), 1, text.size(), out);
      std::fclose(out);
      w.bytes += text.size();
    }
  }
}

}  // namespace tarn_bench
