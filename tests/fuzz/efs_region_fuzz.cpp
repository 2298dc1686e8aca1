// Fuzz target: an EFS region of a geometry and file list the input chooses
// (as the table loader reads them from a file table), mounted in place
// (EFS_init_tools), then a script of size, read, write, delete, idle-reclaim
// and remount calls.
//
// The region is formatted by the independent builder where the geometry
// allows, with the input's patches laid over it, in a heap buffer of exactly
// the size the geometry gives, so that any access outside it is caught by
// the sanitizer. Where the files lie apart inside the logical blocks and
// nothing is patched, every answer is checked against the harness's model,
// and after the script the region must mount again and read, through the
// library and through the independent reader, as the model says. Otherwise
// every status must be one the EFS gives, a read never returns more than was
// asked, and a write reported done must read back.
//
// Input: block managers, logical blocks (0xF0 and above: 250 + the low four
// bits), spare blocks and the wear-levelling threshold (u8 each), the files
// (count, then number u8, logical block u8, offset u16, maximum u16 each),
// the patches (count, then offset u16, length u8, bytes each), then
// operations (op, file u8, size u16, seed u8 each) to the end.
#include <cstring>
#include <map>
#include <vector>

#include "flash/efs/EFS.h"
#include "fuzz_support.h"
#include "support/efs_region.h"
#include "support/file_table_builder.h"

using tarn_fuzz::FuzzInput;
using tarn_fuzz::FuzzInputWriter;
using tarn_test::Bytes;

namespace {

constexpr uint16_t kSku = 5;
constexpr uint32_t kListSize = 16, kFilesTried = kListSize + 2;
constexpr uint32_t kMaxFiles = 8, kMaxPatches = 16, kMaxPatchLength = 32, kMaxOps = 24, kMaxWrite = 9000;
constexpr uint32_t kPieceMax = 4072, kPieceHeader = 4, kAreaSize = 4076;
constexpr int kOk = 0, kNoFile = 2, kNoSpace = 28, kOutOfRange = 34;

enum Op : uint8_t { kSize, kRead, kReadFrom, kWrite, kDelete, kIdle, kRemount, kOpCount };

Bytes pattern(uint32_t n, uint8_t seed) {
  Bytes b(n);
  for (uint32_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return b;
}

bool efsStatus(int s) {
  return s == kOk || s == 1 || s == kNoFile || s == 5 || s == 12 || s == 22 || s == kNoSpace || s == kOutOfRange ||
         s == 41 || s == 99;
}

struct File {
  uint16_t number;
  tarn_test::EfsFile at;
  uint16_t max;
};

// True when every file's pieces lie inside the logical blocks and no two
// files share a byte.
bool apart(const std::vector<File>& files, uint32_t valid) {
  std::vector<std::vector<bool>> used(valid, std::vector<bool>(kAreaSize, false));
  std::vector<bool> numbers(kListSize, false);
  for (const File& f : files) {
    if (numbers[f.number]) return false;
    numbers[f.number] = true;
    uint32_t left = f.max, at = f.at.oib;
    for (uint32_t lb = f.at.lb;; ++lb, at = 0) {
      if (lb >= valid || at > kPieceMax) return false;
      const uint32_t n = std::min(left, kPieceMax - at);
      for (uint32_t i = at; i < at + kPieceHeader + n; ++i) {
        if (used[lb][i]) return false;
        used[lb][i] = true;
      }
      left -= n;
      if (left == 0) break;
    }
  }
  return true;
}

struct Run {
  Bytes& image;
  tarn_test::EfsGeo geo;
  std::vector<File> table;
  bool sound;
  std::map<uint16_t, Bytes> files;  // the model: present files

  const File* described(uint32_t number) const {
    for (const File& f : table)
      if (f.number == number) return &f;
    return nullptr;
  }

  void mount() {
    const int status = EFS_init_tools(image.data());
    FUZZ_CHECK(efsStatus(status));
    if (sound) FUZZ_CHECK(status == kOk);
  }

  void check_file(uint32_t number) {
    uint32_t size = 0;
    const int status = EFS_get_file_size(number, &size);
    FUZZ_CHECK(efsStatus(status));
    if (!sound || described(number) == nullptr) return;
    const auto it = files.find(static_cast<uint16_t>(number));
    if (it == files.end()) {
      FUZZ_CHECK(status == kNoFile);
      return;
    }
    FUZZ_CHECK(status == kOk && size == it->second.size());
    Bytes back(size + 1, 0xEE);
    uint32_t count = size;
    FUZZ_CHECK(EFS_read(number, 0, &count, back.data()) == kOk && count == size && back[size] == 0xEE);
    back.resize(size);
    FUZZ_CHECK(back == it->second);
  }

  void read_from(uint32_t number, uint32_t offset, uint32_t want) {
    Bytes out(want + 1, 0xEE);
    uint32_t count = want;
    const int status = EFS_read(number, offset, &count, out.data());
    FUZZ_CHECK(efsStatus(status) && count <= want && out[want] == 0xEE);
    if (!sound || described(number) == nullptr) return;
    const auto it = files.find(static_cast<uint16_t>(number));
    if (it == files.end()) {
      FUZZ_CHECK(status == kNoFile);
      return;
    }
    const Bytes& data = it->second;
    // An empty file reads nothing from anywhere.
    if (offset > data.size() && !data.empty()) {
      FUZZ_CHECK(status == kOutOfRange);
      return;
    }
    FUZZ_CHECK(status == kOk);
    const uint32_t expected = data.empty() ? 0 : std::min<uint32_t>(want, static_cast<uint32_t>(data.size()) - offset);
    FUZZ_CHECK(count == expected && (count == 0 || std::memcmp(out.data(), data.data() + offset, count) == 0));
  }

  void write(uint32_t number, uint32_t size, uint8_t seed) {
    Bytes data = pattern(size, seed);
    data.push_back(0);  // a buffer also for 0 bytes
    const int status = EFS_write(number, 0, size, data.data());
    data.pop_back();
    FUZZ_CHECK(efsStatus(status));
    if (status == kOk) {
      // A write reported done reads back, whatever the region held before.
      Bytes back(size + 1);
      uint32_t count = size;
      FUZZ_CHECK(EFS_read(number, 0, &count, back.data()) == kOk && count == size);
      back.resize(size);
      FUZZ_CHECK(back == data);
    }
    const File* f = described(number);
    if (!sound || f == nullptr) return;
    if (size > f->max) {
      FUZZ_CHECK(status == kOutOfRange);
      return;
    }
    FUZZ_CHECK(status == kOk || status == kNoSpace);
    if (status == kOk) files[f->number] = data;
  }

  void remove(uint32_t number) {
    const int status = EFS_delete(number);
    FUZZ_CHECK(efsStatus(status));
    if (!sound || described(number) == nullptr) return;
    if (files.count(static_cast<uint16_t>(number)) == 0) {
      FUZZ_CHECK(status == kNoFile);
      return;
    }
    FUZZ_CHECK(status == kOk || status == kNoSpace);
    if (status == kOk) files.erase(static_cast<uint16_t>(number));
  }

  void check_all() {
    for (uint32_t n = 0; n < kFilesTried; ++n) check_file(n);
  }

  // The independent reader sees the model.
  void check_on_flash() {
    const tarn_test::EfsView view = tarn_test::efs_view(image, geo);
    FUZZ_CHECK(view.map.size() == geo.blocks());
    for (const File& f : table) {
      Bytes data;
      const tarn_test::EfsFileState state = tarn_test::efs_read_file(image, geo, view, f.at, &data);
      const auto it = files.find(f.number);
      if (it == files.end()) {
        FUZZ_CHECK(state == tarn_test::EfsFileState::kAbsent);
      } else {
        FUZZ_CHECK(state == tarn_test::EfsFileState::kPresent && data == it->second);
      }
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  tarn_test::EfsGeo geo;
  geo.sku = kSku;
  // Small geometries mostly; now and then one around the largest the mount
  // accepts (255 blocks of a kind, 256 in all).
  geo.bm = in.u8() % 6;
  const uint8_t valid = in.u8();
  geo.valid = (valid & 0xF0) == 0xF0 ? 250u + (valid & 0x0F) : valid % 40u;
  geo.spare = in.u8() % 12;
  const uint8_t threshold = in.u8();

  std::vector<File> table;
  tarn_test::EfstSku sku{kSku, geo.bm, geo.valid, geo.spare, kListSize, threshold, 0, {}};
  const uint32_t count = in.u8() % (kMaxFiles + 1);
  for (uint32_t i = 0; i < count; ++i) {
    File f;
    f.number = static_cast<uint16_t>(in.u8() % kListSize);
    f.at.lb = in.u8();
    f.at.oib = in.u16();
    f.max = in.u16();
    table.push_back(f);
    sku.files.push_back(tarn_test::efst_file(f.number, f.at.lb, f.at.oib, f.max));
  }
  Bytes blob = tarn_test::FileTableBuilder().efs(sku).build();
  if (load_autogen_data(reinterpret_cast<char*>(blob.data()), kSku, static_cast<uint32_t>(blob.size())) != 0)
    return 0;
  const int regionSize = EFS_get_efs_size();
  FUZZ_CHECK(regionSize == static_cast<int>(geo.region()));
  if (regionSize == 0) return 0;

  // The builder formats a region whose files start inside their blocks.
  bool placeable = geo.bm != 0 && geo.valid != 0;
  std::vector<tarn_test::EfsFile> places;
  for (const File& f : table) {
    placeable = placeable && f.at.lb < geo.valid;
    places.push_back(f.at);
  }
  Bytes image(static_cast<size_t>(regionSize), 0xFF);
  if (placeable) {
    tarn_test::EfsRegion region(geo);
    region.format(places);
    image = region.bytes;
  }
  const uint32_t patches = in.u8() % (kMaxPatches + 1);
  for (uint32_t i = 0; i < patches; ++i) {
    const uint32_t at = in.u16() % static_cast<uint32_t>(regionSize);
    const Bytes bytes = in.bytes(in.u8() % (kMaxPatchLength + 1));
    for (size_t j = 0; j < bytes.size() && at + j < image.size(); ++j) image[at + j] = bytes[j];
  }

  // The mount refuses more than 256 blocks in all.
  const bool mountable = geo.blocks() <= 256;
  const bool sound = placeable && mountable && patches == 0 && geo.spare != 0 && apart(table, geo.valid);
  Run run{image, geo, table, sound, {}};
  run.mount();
  for (uint32_t i = 0; i < kMaxOps && !in.empty(); ++i) {
    const Op op = static_cast<Op>(in.u8() % kOpCount);
    const uint32_t number = in.u8() % kFilesTried;
    const uint32_t n = in.u16() % kMaxWrite;
    const uint8_t seed = in.u8();
    switch (op) {
      case kSize: run.check_file(number); break;
      case kRead: run.read_from(number, 0, n); break;
      case kReadFrom: run.read_from(number, n % 64, seed); break;
      case kWrite: run.write(number, n, seed); break;
      case kDelete: run.remove(number); break;
      case kIdle: FUZZ_CHECK(efsStatus(EFS_idle_reclaim())); break;
      case kRemount: run.mount(); run.check_all(); break;
      default: break;
    }
  }
  run.mount();
  run.check_all();
  if (sound) run.check_on_flash();
  EFS_term_tools();  // the region goes away with this run
  return 0;
}

std::vector<Bytes> tarn_fuzz::seeds() {
  const auto op = [](FuzzInputWriter& w, uint8_t o, uint8_t f, uint16_t n, uint8_t seed) {
    w.u8(o).u8(f).u16(n).u8(seed);
  };
  std::vector<Bytes> out;
  // Two BMs, 4 logical and 2 spare blocks; files: one in block 0, two sharing
  // block 1, one running over blocks 2 and 3.
  for (uint8_t patched : {0, 1}) {
    FuzzInputWriter w;
    w.u8(2).u8(4).u8(2).u8(3);
    w.u8(4).u8(0).u8(0).u16(0).u16(100).u8(1).u8(1).u16(0).u16(200).u8(2).u8(1).u16(300).u16(64);
    w.u8(3).u8(2).u16(4000).u16(5000);
    if (patched) {
      w.u8(1).u16(4096 * 2 + 16).u8(4).u8(0).u8(0).u8(0).u8(0);  // a data area's first bytes
    } else {
      w.u8(0);
    }
    op(w, kWrite, 0, 50, 1);
    op(w, kWrite, 2, 64, 2);
    op(w, kWrite, 3, 4500, 3);
    op(w, kRead, 3, 5000, 0);
    op(w, kReadFrom, 0, 10, 30);
    op(w, kDelete, 0, 0, 0);
    op(w, kWrite, 1, 300, 4);
    op(w, kIdle, 0, 0, 0);
    op(w, kRemount, 0, 0, 0);
    op(w, kSize, 17, 0, 0);
    for (int i = 0; i < 6; ++i) op(w, kWrite, 1, static_cast<uint16_t>(10 + i), static_cast<uint8_t>(i));
    out.push_back(w.take());
  }
  return out;
}
