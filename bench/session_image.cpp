#include "session_image.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "support/afs_volume_image.h"
#include "support/efs_region.h"
#include "support/fcs_buffer_writer.h"
#include "support/file_table_builder.h"
#include "support/qelc_partition_builder.h"

namespace tarn_bench {
namespace {

using namespace tarn_test;

constexpr uint32_t kMediaType = 1;
constexpr uint16_t kIntegrity = 0x1, kEncrypted = 0x2;  // file_attributes_t bits
constexpr uint16_t kOverridable = 0x1;                  // orvan_cfg_attributes_t bit
constexpr uint8_t kSubMediaAfs = 0, kSubMediaEfs = 2;
constexpr uint32_t kEfsArea = 4076, kEfsPieceHeader = 4;
constexpr uint32_t kAfsMaxSize = 5120;
constexpr uint32_t kEfsLargest = 3200;  // with its head room a piece still fits a block
constexpr uint16_t kDeployFile = kAfsFiles - 1;
const char kDeployPath[] = "/home/mca/deploy";

uint32_t uniqueNumber(uint32_t index) { return (kMediaType << 28) | ((index + 1) << 8); }

// 16 bytes to 4 KiB, spread evenly on a logarithmic scale.
uint32_t payloadSize(uint32_t i) {
  const double spread = std::fmod(i * 0.6180339887498949, 1.0);
  return static_cast<uint32_t>(16.0 * std::pow(256.0, spread));
}

std::vector<Variable> makeVariables(uint32_t count) {
  std::vector<Variable> vars(count);
  uint16_t afsFile = 1, efsFile = 0;
  uint32_t block = 0, offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    Variable& v = vars[i];
    char path[32];
    std::snprintf(path, sizeof path, "/home/bench/var%04u", i);
    v.path = path;
    v.size = payloadSize(i);
    v.inEfs = i % 4 == 1;
    v.integrityProtected = i % 40 == 7;
    v.encrypted = i % 40 == 27;
    v.overridden = i % 10 == 5;
    v.resized = i % 10 == 3;
    if (v.inEfs) {
      if (v.size > kEfsLargest) v.size = kEfsLargest;
      v.maxSize = v.size + v.size / 4 + 4;
      const uint32_t need = kEfsPieceHeader + v.maxSize;
      if (offset + need > kEfsArea) ++block, offset = 0;
      if (block >= kEfsValid) throw std::runtime_error("EFS variables do not fit the region");
      v.efsBlock = static_cast<uint8_t>(block);
      v.efsOffset = static_cast<uint16_t>(offset);
      v.mediumFile = efsFile++;
      offset += need;
    } else {
      v.maxSize = kAfsMaxSize;
      v.mediumFile = afsFile++;
    }
    if (v.resized) {
      const uint32_t grown = v.size + v.size / 4 + 1;
      v.newSize = (i / 10) % 2 == 0 ? (grown < v.maxSize ? grown : v.maxSize) : v.size / 2;
    }
  }
  return vars;
}

Bytes makeFileTable(const SessionImage& image, uint32_t efsFiles) {
  FtblSku sku;
  sku.sku = image.sku;
  EfstSku efst;
  efst.sku = image.sku;
  efst.bm_num = kEfsBms;
  efst.valid_block_num = kEfsValid;
  efst.non_valid_block_num = kEfsSpare;
  efst.max_file_num = efsFiles;
  for (uint32_t i = 0; i < image.variables.size(); ++i) {
    const Variable& v = image.variables[i];
    FtblFile f = ftbl_file(v.path, uniqueNumber(i),
                           static_cast<uint16_t>((v.integrityProtected ? kIntegrity : 0) |
                                                 (v.encrypted ? kEncrypted : 0)),
                           v.maxSize);
    f.media_type_fileno = v.mediumFile;
    f.sub_media_type = v.inEfs ? kSubMediaEfs : kSubMediaAfs;
    sku.files.push_back(f);
    if (v.inEfs)
      efst.files.push_back(efst_file(v.mediumFile, v.efsBlock, v.efsOffset,
                                     static_cast<uint16_t>(v.maxSize)));
  }
  FtblFile deploy = ftbl_file(kDeployPath, uniqueNumber(static_cast<uint32_t>(image.variables.size())), 0, 16);
  deploy.media_type_fileno = kDeployFile;
  sku.files.push_back(deploy);
  return FileTableBuilder().sku(sku).efs(efst).build();
}

Bytes makeTable(const SessionImage& image, bool overrides) {
  std::vector<FcsRecord> records;
  for (uint32_t i = 0; i < image.variables.size(); ++i) {
    const Variable& v = image.variables[i];
    if (overrides && !v.overridden) continue;
    FcsRecord r;
    r.name = v.path;
    r.fileno = uniqueNumber(i);
    r.attributes = kOverridable;
    r.payload = valueBytes(v, overrides ? Value::kOverride : Value::kDefault, v.size);
    records.push_back(std::move(r));
  }
  return write_fcs_buffer_by_name(records);
}

Bytes vfsContents(const Variable& v) {
  Bytes contents = valueBytes(v, Value::kVfs, v.size);
  if (v.integrityProtected) contents.insert(contents.end(), kBlobMetadata, 0xEE);
  return contents;
}

Bytes makeMfs(const SessionImage& image) {
  AfsVolumeWriter writer(kMfsPartitionSize, kAfsFiles);
  uint32_t chunks = 0;
  for (const Variable& v : image.variables) {
    if (v.inEfs) continue;
    const Bytes contents = vfsContents(v);
    chunks += static_cast<uint32_t>((contents.size() + 63) / 64);
    writer.add_file(v.mediumFile, contents);
  }
  if (chunks * 3 > writer.geometry().num_chunks * 2)
    throw std::runtime_error("AFS variables fill more than two thirds of the volume");
  writer.add_file(kDeployFile, Bytes{'1'});
  return writer.build();
}

Bytes makeEfs(const SessionImage& image) {
  EfsGeo geo;
  geo.bm = kEfsBms;
  geo.valid = kEfsValid;
  geo.spare = kEfsSpare;
  geo.sku = static_cast<uint16_t>(image.sku);
  EfsRegion region(geo);
  std::vector<EfsFile> files;
  for (const Variable& v : image.variables)
    if (v.inEfs) files.push_back(EfsFile{v.efsBlock, v.efsOffset});
  region.format(files);
  std::vector<Bytes> areas;
  for (uint32_t lb = 0; lb < kEfsValid; ++lb) areas.push_back(region.empty_area(static_cast<uint8_t>(lb)));
  for (const Variable& v : image.variables) {
    if (!v.inEfs) continue;
    const Bytes contents = vfsContents(v);
    EfsRegion::put_piece(areas[v.efsBlock], v.efsOffset, static_cast<uint16_t>(contents.size()),
                         v.efsBlock, contents.data(), contents.size());
  }
  for (uint32_t lb = 0; lb < kEfsValid; ++lb) region.area(lb, areas[lb]);
  return region.bytes;
}

}  // namespace

Bytes valueBytes(const Variable& v, Value which, uint32_t size) {
  Bytes b(size);
  uint32_t x = 2166136261u;  // FNV-1a of the path, then which value
  for (char c : v.path) x = (x ^ static_cast<uint8_t>(c)) * 16777619u;
  x ^= static_cast<uint8_t>(which);
  for (uint32_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

SessionImage makeSessionImage(uint32_t variables) {
  SessionImage image;
  image.variables = makeVariables(variables);
  uint32_t efsFiles = 0;
  for (const Variable& v : image.variables) efsFiles += v.inEfs ? 1 : 0;
  image.ftbl = makeFileTable(image, efsFiles);
  image.defaults = makeTable(image, false);
  QelcPartition partition;
  partition.fcs = makeTable(image, true);
  image.qelc = partition.build();
  image.mfs = makeMfs(image);
  image.efs = makeEfs(image);
  const AfsGeometry geo = AfsGeometry::for_partition(kMfsPartitionSize, kAfsFiles);
  image.mfsFatSize = geo.fat_size;
  image.mfsChunks = geo.num_chunks;
  image.mfsFiles = geo.num_files;
  FtlGeometry ftl;
  ftl.partition_size = kMfsPartitionSize;
  ftl.fat_size = geo.fat_size;
  ftl.logical_size = geo.flash_size;
  image.mfsPageMappedEus = ftl.page_mapped_count();
  image.efsBms = kEfsBms;
  image.efsValid = kEfsValid;
  image.efsSpare = kEfsSpare;
  return image;
}

}  // namespace tarn_bench
