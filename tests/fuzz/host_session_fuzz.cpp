// Fuzz target: whole host sessions over fuzzed buffers, through the exported
// entry points only: start-up, reads and resizes of named variables, kept
// and final shutdowns, fetching the rebuilt overrides, and start-up again.
//
// The defaults table and the configuration partition come from the input as
// they are; the file table, the MFS region (a deployed VFS) and the EFS
// region are made by the independent builders and patched by the input. Each
// buffer is an exactly sized heap block the host keeps for the session. A
// call that answers false must have reported an Error (fetching the rebuilt
// overrides may answer false without a word when there are none); whatever a
// call hands back lies inside a live buffer; and once the final shutdown has
// answered, neither region may still be mounted.
//
// Input: flags (bit 0: no configuration partition, bit 1: no MFS region,
// bit 2: no EFS region, bit 3: the SKU without an EFS geometry), the defaults
// table and the partition (16-bit length each), patches of the file table,
// the MFS region and the EFS region (count, then offset u16, length u8, bytes
// each, for each buffer in turn), then calls (call, variable, size u16, seed)
// to the end.
#include <cstdio>
#include <cstring>
#include <string>

#include "flash/efs/EFS.h"
#include "fuzz_support.h"
#include "support/afs_volume_image.h"
#include "support/efs_region.h"
#include "support/fcs_buffer_writer.h"
#include "support/file_table_builder.h"
#include "support/host_config.h"
#include "support/qelc_partition_builder.h"
#include "tarnstoragelib.h"

using tarn_fuzz::FuzzInput;
using tarn_fuzz::FuzzInputWriter;
using tarn_test::Bytes;

namespace {

constexpr uint32_t kSku = 4, kSkuWithoutEfs = 9;
constexpr uint32_t kMfsSize = 0x8000, kVolumeFiles = 80;
constexpr uint32_t kMaxPatches = 12, kMaxPatchLength = 32, kMaxCalls = 16, kMaxResize = 300;

// The variables: path, file number, file attributes (bit 0 integrity, bit 1
// encrypted, bit 6 unlock key), maximum size, VFS number (bit 12: in the EFS).
struct Variable {
  const char* path;
  uint32_t fileno;
  uint16_t attributes;
  uint32_t max;
  uint16_t vfs;
};
const Variable kVariables[] = {
    {"/home/a", 0x10000301, 0, 16, 0x21},          {"/home/b", 0x10000302, 0x0002, 16, 0x22},
    {"/home/c", 0x10000303, 0x0001, 64, 0x23},     {"/home/d", 0x10000304, 0x0041, 80, 0x24},
    {"/home/e", 0x10000305, 0, 8, 0x25},           {"/home/x", 0x10000306, 0, 40, 0x1001},
    {"/home/mca/deploy", 0x10000307, 0, 8, 0x30},  {"/home/z", 0x10000308, 0, 8, 0}};
constexpr size_t kVariableCount = sizeof kVariables / sizeof kVariables[0];
// Looked up by the host besides the variables: a path without "/home/", and
// one the tables lack.
const char* const kOtherPaths[] = {"a", "/home/none"};

tarn_test::EfsGeo efsGeo() {
  tarn_test::EfsGeo g;
  g.sku = kSku;
  return g;
}

Bytes fileTable() {
  std::vector<tarn_test::FtblFile> files;
  for (const Variable& v : kVariables) {
    tarn_test::FtblFile f = tarn_test::ftbl_file(v.path, v.fileno, v.attributes, v.max);
    f.media_type_fileno = v.vfs & 0x7FF;
    f.sub_media_type = (v.vfs & 0x1000) != 0 ? 2 : 0;
    files.push_back(f);
  }
  tarn_test::EfstSku efs;
  efs.sku = kSku;
  efs.files = {tarn_test::efst_file(1, 0, 0, 64)};
  return tarn_test::FileTableBuilder().sku({kSku, files}).sku({kSkuWithoutEfs, files}).efs(efs).build();
}

Bytes mfsRegion() {
  tarn_test::AfsVolumeWriter writer(kMfsSize, kVolumeFiles);
  writer.add_file(0x30, Bytes{'1'}).add_file(0x21, Bytes(5, 'A')).add_file(0x22, Bytes(3, 'B'));
  writer.add_file(0x23, Bytes(50, 'C')).add_file(0x24, Bytes(60, 'D'));
  return writer.build();
}

Bytes efsRegion() {
  tarn_test::EfsRegion region(efsGeo());
  region.format({{0, 0}});
  Bytes area = region.empty_area(0);
  const Bytes x(7, 'X');
  tarn_test::EfsRegion::put_piece(area, 0, static_cast<uint16_t>(x.size()), 0, x.data(), x.size());
  region.area(0, area);
  return region.bytes;
}

std::vector<tarn_test::FcsRecord> defaultRecords() {
  std::vector<tarn_test::FcsRecord> records;
  for (const Variable& v : kVariables)
    if (v.vfs != 0x30) records.push_back(tarn_test::fcs_text_record(v.path, v.fileno, 1, "default"));
  records.push_back(tarn_test::fcs_text_record("/home/e", 0x10000305, 0, "fixed"));
  return records;
}

void patch(FuzzInput& in, Bytes& buffer) {
  const uint32_t count = in.u8() % (kMaxPatches + 1);
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t at = in.u16();
    const Bytes bytes = in.bytes(in.u8() % (kMaxPatchLength + 1));
    for (size_t j = 0; j < bytes.size() && !buffer.empty(); ++j) buffer[(at + j) % buffer.size()] = bytes[j];
  }
}

// Reports of the current call.
unsigned g_errors = 0;
void TARN_CDECL count_errors(ErrorLevel level, ImageToolsErrorName, const char* nameText, const char* message) {
  FUZZ_CHECK(nameText != nullptr && message != nullptr);
  if (level == Error) ++g_errors;
}

// A call's result: false only with an Error reported during it.
bool answered(bool ok) {
  FUZZ_CHECK(ok || g_errors != 0);
  g_errors = 0;
  return ok;
}

// Reads every byte the library hands out, so that the sanitizer sees a
// pointer outside a live buffer.
unsigned touch(const void* data, uint32_t size) {
  unsigned sum = 0;
  for (uint32_t i = 0; i < size; ++i) sum += static_cast<const volatile uint8_t*>(data)[i];
  return sum;
}

enum Call : uint8_t { kGet, kResize, kKeptShutdown, kFetch, kFinalShutdown, kStart, kCallCount };

void removeDumps() {
  for (const char* d : {"qel_cfg.txt", "orvan_cfg.txt", "currents_cfg.txt"}) std::remove(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t flags = in.u8();
  Bytes defaults = in.bytes(in.u16());
  Bytes qelc = in.bytes(in.u16());
  Bytes ftbl = fileTable(), mfs = mfsRegion(), efs = efsRegion();
  patch(in, ftbl);
  patch(in, mfs);
  patch(in, efs);
  if ((flags & 1) != 0) qelc.clear();
  if ((flags & 2) != 0) mfs.clear();
  if ((flags & 4) != 0) efs.clear();

  ModQelStorageLibConfig config =
      tarn_test::host_config(defaults, qelc, ftbl, (flags & 8) != 0 ? kSkuWithoutEfs : kSku, mfs, efs);

  g_errors = 0;
  answered(kyMfsTarnInit(config, count_errors));
  for (uint32_t i = 0; i < kMaxCalls && !in.empty(); ++i) {
    const Call call = static_cast<Call>(in.u8() % kCallCount);
    const uint8_t which = in.u8();
    const uint32_t n = in.u16() % (kMaxResize + 1);
    const uint8_t seed = in.u8();
    const char* path = which % (kVariableCount + 2) < kVariableCount ? kVariables[which % (kVariableCount + 2)].path
                                                                     : kOtherPaths[which % 2];
    switch (call) {
      case kGet: {
        U8* value = nullptr;
        U32 got = 0, max = 0;
        bool updatable = false;
        const FcsFileName tables[] = {FcsFileNameOrvanCfg, FcsFileNameQelCfg, FcsFileNameCurrentsCfg};
        if (answered(kyMfsNvarGet(path, &value, &got, tables[seed % 3], &updatable, &max)))
          FUZZ_CHECK(got == 0 || (value != nullptr && touch(value, got) < 256u * got));
        break;
      }
      case kResize: {
        U8* value = nullptr;
        if (answered(kyMfsNvarResize(path, &value, n)) && n != 0) std::memset(value, seed, n);
        break;
      }
      case kKeptShutdown:
        answered(kyMfsNvarTerm(true));
        removeDumps();
        break;
      case kFetch: {
        char* buffer = nullptr;
        U32 bytes = 0;
        g_errors = 1;  // no buffer to fetch is no failure
        if (answered(kyMfsGetBuildQelCfgFcsBuffer(&buffer, bytes))) touch(buffer, bytes);
        break;
      }
      case kFinalShutdown:
        answered(kyMfsNvarTerm(false));
        break;
      case kStart:
        answered(kyMfsTarnInit(config, count_errors));
        break;
      default:
        break;
    }
    g_errors = 0;
  }
  // The host ends the session; its buffers go away with this run.
  if (kyFcsIsInitialized()) kyMfsNvarTerm(false);
  FUZZ_CHECK(!kyMfsIsInitialized() && !EFS_is_initialized());
  return 0;
}

std::vector<Bytes> tarn_fuzz::seeds() {
  const Bytes defaults = tarn_test::write_fcs_buffer_by_name(defaultRecords());
  tarn_test::QelcPartition partition;
  partition.fcs = tarn_test::write_fcs_buffer_by_name(
      {tarn_test::fcs_text_record("/home/b", 0x10000302, 1, "override-b"),
       tarn_test::fcs_text_record("/home/z", 0x10000308, 1, "zz")});
  const Bytes qelc = partition.build();
  const auto call = [](FuzzInputWriter& w, uint8_t c, uint8_t which, uint16_t n, uint8_t seed) {
    w.u8(c).u8(which).u16(n).u8(seed);
  };
  std::vector<Bytes> out;
  for (uint8_t flags : {0, 1, 6, 8}) {
    FuzzInputWriter w;
    w.u8(flags).sized(defaults).sized(qelc).u8(0).u8(0).u8(0);
    call(w, kGet, 0, 0, 2);
    call(w, kResize, 0, 12, 0x41);
    call(w, kResize, 5, 30, 0x42);
    call(w, kGet, 1, 0, 1);
    call(w, kKeptShutdown, 0, 0, 0);
    call(w, kFetch, 0, 0, 0);
    call(w, kResize, 4, 3, 0);
    call(w, kFinalShutdown, 0, 0, 0);
    call(w, kStart, 0, 0, 0);
    call(w, kGet, 8, 0, 2);
    out.push_back(w.take());
  }
  return out;
}
