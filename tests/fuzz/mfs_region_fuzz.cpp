// Fuzz target: an MFS region mounted in place by the dispatcher (dfs_init),
// then a script of file operations on files the input chooses: size, read,
// write (with and without truncation), delete, zombie mark, idle and forced
// full reclaim, dirty erase and remount.
//
// The region is a volume written by the independent builder (files chosen by
// the input) with the input's patches laid over it, in a heap buffer of
// exactly the partition's size, so that any access outside it is caught by
// the sanitizer. On an unpatched volume every answer is checked against the
// harness's model of the files, and after the script the volume must mount
// again and read, through the library and through the independent reader,
// as the model says. On a patched one every status must be one the
// dispatcher gives, a read never returns more than was asked, a write
// reported done must read back, a volume that mounted must mount again, and
// every write and delete reported done must survive each later mount.
//
// Input: flags (bit 0: a 64 KiB partition, else 32 KiB), the base files
// (count, then file u8, size u16, seed u8 each), the patches (count, then
// offset u16, length u8, bytes each), then operations (op, file u8, pos u16,
// size u16, seed u8 each) to the end.
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "flash/afs/AfsFile.h"
#include "flash/dfs/dfs.h"
#include "fuzz_support.h"
#include "support/afs_volume_image.h"

using tarn_fuzz::FuzzInput;
using tarn_fuzz::FuzzInputWriter;
using tarn_test::Bytes;

namespace {

constexpr uint32_t kVolumeFiles = 128;
// File numbers tried: the volume's, and two past its end.
constexpr uint32_t kFilesTried = kVolumeFiles + 2;
constexpr uint32_t kMaxBaseFiles = 8, kMaxBaseFileSize = 1500, kMaxPatches = 16, kMaxPatchLength = 32;
constexpr uint32_t kMaxOps = 32, kMaxPos = 4096, kMaxWrite = 2048, kMaxReclaimSteps = 64;
constexpr int kOk = 0, kNoSuchFile = 2, kInvalid = 22, kNoSpace = 28, kTryAgain = 11;
constexpr int kNoGain = 38807;

enum Op : uint8_t { kSize, kRead, kWrite, kWriteTruncate, kDelete, kZombie, kIdle, kFullReclaim, kDirtyErase,
                    kRemount, kOpCount };

Bytes pattern(uint32_t n, uint8_t seed) {
  Bytes b(n);
  for (uint32_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 7));
  return b;
}

bool folded(int status) {
  return status == kOk || status == kNoSuchFile || status == 5 || status == kInvalid;
}
bool foldedWrite(int status) {
  return status == kOk || status == 5 || status == kInvalid || status == 27 || status == kNoSpace ||
         status == 562;
}

struct Run {
  Run(Bytes& i, uint32_t p, bool s, std::map<uint32_t, Bytes> f)
      : image(i), partition(p), sound(s), files(std::move(f)) {}

  Bytes& image;
  uint32_t partition;
  bool sound;  // an unpatched volume: the model applies
  std::map<uint32_t, Bytes> files;  // the model (sound volumes)
  // Zombies since the last mount: no file, but deleted with 0. A mount
  // clears them in its cache only, so on flash they stay until a write.
  std::set<uint32_t> zombies;
  bool mounted = false;
  // Patched volumes: files as the library read them back after a write or
  // delete it reported done (absent: deleted). Whatever else a patch broke,
  // these must survive every later mount, which must succeed.
  std::map<uint32_t, std::optional<Bytes>> durable;

  int mount() {
    const bool was_mounted = mounted;
    const int status = dfs_init(image.data(), partition);
    mounted = status == kOk;
    zombies.clear();
    if (sound || was_mounted) FUZZ_CHECK(mounted);
    for (const auto& d : durable) {
      if (!d.second) {
        uint32_t size = 0;
        FUZZ_CHECK(dfs_getsize(static_cast<int>(d.first), &size) == kNoSuchFile);
      } else {
        FUZZ_CHECK(whole_file(d.first) == d.second);
      }
    }
    return status;
  }

  // The whole file through the library, or nothing when it cannot be read.
  // Whatever a patch did, no file the library reports is larger than a
  // file can be or than the region could hold; the size is checked before
  // a buffer is sized by it.
  std::optional<Bytes> whole_file(uint32_t f) {
    uint32_t size = 0;
    if (dfs_getsize(static_cast<int>(f), &size) != kOk) return std::nullopt;
    FUZZ_CHECK(size <= AFS_MAX_FILE_SIZE && size <= partition);
    Bytes back(size + 1);
    uint32_t count = size + 1;
    if (dfs_read(static_cast<int>(f), 0, &count, back.data()) != kOk || count != size) return std::nullopt;
    back.resize(size);
    return back;
  }

  // After an operation on file `f` of a patched volume: what it left is
  // durable when the library reported it done, else unknown.
  void note(uint32_t f, bool done, bool deleted = false) {
    if (sound || f >= kVolumeFiles) return;
    durable.erase(f);
    if (!done) return;
    if (deleted) {
      durable.emplace(f, std::nullopt);
      return;
    }
    // A file that also runs through patched chunks may not read whole.
    const std::optional<Bytes> now = whole_file(f);
    if (now) durable.emplace(f, now);
  }

  // The whole file through the library, checked against the model.
  void check_file(uint32_t f) {
    uint32_t size = 0xFFFFFFFF;
    const int status = dfs_getsize(static_cast<int>(f), &size);
    FUZZ_CHECK(folded(status));
    if (!sound) return;
    const auto it = files.find(f);
    if (f >= kVolumeFiles) {
      FUZZ_CHECK(status == kInvalid);
      return;
    }
    if (it == files.end()) {
      FUZZ_CHECK(status == kNoSuchFile);
      return;
    }
    FUZZ_CHECK(status == kOk && size == it->second.size());
    FUZZ_CHECK(whole_file(f) == it->second);
  }

  void read(uint32_t f, uint32_t pos, uint32_t want) {
    Bytes out(want + 1, 0xEE);
    uint32_t count = want;
    const int status = dfs_read(static_cast<int>(f), pos, &count, out.data());
    FUZZ_CHECK(folded(status));
    FUZZ_CHECK(out[want] == 0xEE);  // nothing past what was asked
    if (status == kOk) FUZZ_CHECK(count <= want);
    if (!sound) return;
    const auto it = files.find(f);
    if (it == files.end()) {
      FUZZ_CHECK(status == (f >= kVolumeFiles ? kInvalid : kNoSuchFile));
      return;
    }
    FUZZ_CHECK(status == kOk);
    const Bytes& data = it->second;
    const uint32_t expected = pos >= data.size() ? 0 : std::min<uint32_t>(want, data.size() - pos);
    FUZZ_CHECK(count == expected && (count == 0 || std::memcmp(out.data(), data.data() + pos, count) == 0));
  }

  void write(uint32_t f, uint32_t pos, uint32_t size, uint8_t seed, bool truncate) {
    Bytes data = pattern(size, seed);
    data.push_back(0);  // a buffer also for 0 bytes
    const int status = dfs_write(static_cast<int>(f), pos, size, data.data(), truncate ? DFS_WRITE_TRUNCATE : 0);
    data.pop_back();
    FUZZ_CHECK(foldedWrite(status));
    if (status == kOk) zombies.erase(f);
    note(f, status == kOk);
    if (status == kOk && size != 0) {
      // A write reported done reads back, whatever the volume held before.
      Bytes back(size);
      uint32_t count = size;
      FUZZ_CHECK(dfs_read(static_cast<int>(f), pos, &count, back.data()) == kOk && count == size && back == data);
    }
    if (!sound) return;
    if (f >= kVolumeFiles) {
      FUZZ_CHECK(status == kInvalid);
      return;
    }
    FUZZ_CHECK(status == kOk || status == kNoSpace);
    if (status != kOk) {
      check_file(f);  // a failed write leaves the file as it was
      return;
    }
    if (size == 0 && !truncate) {
      files.emplace(f, Bytes());
      return;
    }
    Bytes& file = files[f];
    if (truncate || file.size() < pos + size) file.resize(pos + size, 0);
    std::copy(data.begin(), data.end(), file.begin() + pos);
  }

  void remove(uint32_t f) {
    const int status = dfs_delete_file(static_cast<int>(f));
    FUZZ_CHECK(folded(status));
    note(f, status == kOk, true);
    if (!sound) return;
    if (f >= kVolumeFiles) {
      FUZZ_CHECK(status == kInvalid);
      return;
    }
    const bool present = files.erase(f) != 0 || zombies.erase(f) != 0;
    FUZZ_CHECK(status == (present ? kOk : kNoSuchFile));
  }

  // Maintenance changes no file.
  void maintain(Op op) {
    int status = kOk;
    if (op == kIdle) {
      if (dfs_idle_reclaim_needed()) status = dfs_idle_reclaim();
      FUZZ_CHECK(!sound || status == kOk || status == kNoGain);
    } else if (op == kFullReclaim) {
      uint32_t steps = 0;
      do status = dfs_force_full_reclaim();
      while (status == kTryAgain && ++steps < kMaxReclaimSteps);
      FUZZ_CHECK(!sound || status == kOk);
    } else {
      status = dfs_force_dirty_erase();
      FUZZ_CHECK(!sound || status == kOk);
    }
  }

  void check_all() {
    for (uint32_t f = 0; f < kFilesTried; ++f) check_file(f);
  }

  // The independent reader sees the model's files and no other.
  void check_on_flash() {
    const tarn_test::AfsVolumeReader reader(image, partition);
    FUZZ_CHECK(reader.ok());
    std::map<uint32_t, Bytes> found;
    for (const auto& f : reader.files()) {
      if (f.second.state == tarn_test::AfsFileState::kZombie) continue;
      FUZZ_CHECK(f.second.state == tarn_test::AfsFileState::kData || f.second.state == tarn_test::AfsFileState::kEmpty);
      found[f.first] = f.second.data;
    }
    FUZZ_CHECK(found == files);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t flags = in.u8();
  const uint32_t partition = (flags & 1) != 0 ? 0x10000 : 0x8000;

  tarn_test::AfsVolumeWriter writer(partition, kVolumeFiles);
  std::map<uint32_t, Bytes> base;
  const uint32_t baseFiles = in.u8() % (kMaxBaseFiles + 1);
  for (uint32_t i = 0; i < baseFiles; ++i) {
    const uint32_t f = in.u8() % kVolumeFiles;
    const uint32_t n = in.u16() % (kMaxBaseFileSize + 1);
    const uint8_t seed = in.u8();
    if (base.count(f) == 0) base[f] = pattern(n, seed);
  }
  for (const auto& f : base) writer.add_file(f.first, f.second);
  Bytes image = writer.build();
  FUZZ_CHECK(image.size() == partition);

  const uint32_t patches = in.u8() % (kMaxPatches + 1);
  for (uint32_t i = 0; i < patches; ++i) {
    const uint32_t at = in.u16() % partition;
    const Bytes bytes = in.bytes(in.u8() % (kMaxPatchLength + 1));
    for (size_t j = 0; j < bytes.size() && at + j < partition; ++j) image[at + j] = bytes[j];
  }

  Run run(image, partition, patches == 0, base);
  run.mount();
  for (uint32_t i = 0; i < kMaxOps && !in.empty(); ++i) {
    const Op op = static_cast<Op>(in.u8() % kOpCount);
    const uint32_t f = in.u8() % kFilesTried;
    const uint32_t pos = in.u16() % kMaxPos;
    const uint32_t n = in.u16() % kMaxWrite;
    const uint8_t seed = in.u8();
    switch (op) {
      case kSize: run.check_file(f); break;
      case kRead: run.read(f, pos, n); break;
      case kWrite: run.write(f, pos, n, seed, false); break;
      case kWriteTruncate: run.write(f, pos, n, seed, true); break;
      case kDelete: run.remove(f); break;
      case kZombie: {
        // A zombie reads as no file until the next mount frees it: the model
        // keeps up only on unpatched volumes, where the number must be free.
        if (run.sound && (run.files.count(f) != 0 || run.zombies.count(f) != 0 || f >= kVolumeFiles)) break;
        const int status = dfs_mark_zombie_file(static_cast<int>(f));
        FUZZ_CHECK(!run.sound || status == kOk);
        run.note(f, false);
        if (status == kOk) run.zombies.insert(f);
        break;
      }
      case kIdle: case kFullReclaim: case kDirtyErase: run.maintain(op); break;
      case kRemount: run.mount(); run.check_all(); break;
      default: break;
    }
  }
  run.mount();
  run.check_all();
  if (run.sound) run.check_on_flash();
  return 0;
}

std::vector<Bytes> tarn_fuzz::seeds() {
  // Base files, then operations: op, file, pos, size, seed.
  const auto op = [](FuzzInputWriter& w, uint8_t o, uint8_t f, uint16_t pos, uint16_t n, uint8_t seed) {
    w.u8(o).u8(f).u16(pos).u16(n).u8(seed);
  };
  std::vector<Bytes> out;
  for (uint8_t flags : {0, 1}) {
    FuzzInputWriter w;
    w.u8(flags).u8(3).u8(1).u16(300).u8(1).u8(2).u16(64).u8(2).u8(5).u16(0).u8(0);
    w.u8(0);  // no patch
    op(w, kRead, 1, 10, 100, 0);
    op(w, kWrite, 1, 250, 200, 7);
    op(w, kWriteTruncate, 2, 10, 20, 8);
    op(w, kWrite, 9, 100, 64, 9);
    op(w, kDelete, 5, 0, 0, 0);
    op(w, kZombie, 6, 0, 0, 0);
    op(w, kFullReclaim, 0, 0, 0, 0);
    op(w, kDirtyErase, 0, 0, 0, 0);
    op(w, kIdle, 0, 0, 0, 0);
    op(w, kRemount, 0, 0, 0, 0);
    op(w, kSize, 9, 0, 0, 0);
    out.push_back(w.take());
  }
  // Patched: a FAT entry pointing outside, and a torn page header.
  FuzzInputWriter w;
  w.u8(0).u8(2).u8(1).u16(200).u8(3).u8(4).u16(70).u8(4);
  w.u8(2).u16(0x100).u8(2).u8(0xFF).u8(0x7F).u16(0x1000).u8(3).u8(0).u8(0).u8(0);
  op(w, kRead, 1, 0, 300, 0);
  op(w, kWrite, 4, 0, 500, 1);
  op(w, kFullReclaim, 0, 0, 0, 0);
  op(w, kRemount, 0, 0, 0, 0);
  out.push_back(w.take());
  return out;
}
