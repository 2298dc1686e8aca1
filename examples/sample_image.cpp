// The sample device image: a file table with an "EFST" part, a defaults table,
// a configuration partition, an MFS region whose VFS is deployed and an EFS
// region, all made through the library's own entry points.
#include "sample_image.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kMediaType = 1;            // bits 28-31 of every file number
constexpr uint32_t kMfsSize = 0x10000;        // eight 8 KiB erase units
constexpr uint32_t kAfsFiles = 128;           // file entries of the AFS volume
constexpr uint32_t kAfsPageSize = 64;
constexpr uint32_t kAfsCacheEntries = 10;
// A file-size table, FTL backed, mount the FTL, bind the image, format when
// the FTL does not mount, and write a fresh header.
constexpr uint32_t kAfsFormatFlags = AFS_INIT_SIZE_TABLE | AFS_INIT_FTL_BACKED |
                                     AFS_INIT_MOUNT_FTL | AFS_INIT_BIND_IMAGE | AFS_INIT_FORMAT |
                                     AFS_INIT_FRESH_HEADER;
constexpr uint16_t kIntegrityProtected = 0x1;  // file_attributes_t bits
constexpr uint16_t kEncrypted = 0x2;
constexpr uint16_t kOverridable = 0x1;         // orvan_cfg_attributes_t bit
constexpr uint32_t kBlobMetadataSize = 40;
constexpr uint8_t kSubMediaAfs = 0, kSubMediaEfs = 2;

struct SampleFile {
  const char* name;
  uint16_t mediaFileNumber;  // number in its medium
  uint8_t subMediaType;
  uint16_t fileAttributes;
  uint32_t maxFileSize;
  const char* defaultValue;   // null: not in the defaults
  bool overridable;
  const char* overrideValue;  // null: not in the configuration partition
  const char* vfsValue;       // null: no VFS file
};

const SampleFile kFiles[] = {
    {"/home/mca/deploy", 0x20, kSubMediaAfs, 0, 16, nullptr, false, nullptr, "1"},
    {"/home/net/name", 0x21, kSubMediaAfs, 0, 32, "tarn-device", true, "tarn-sample", "tarn-vfs"},
    {"/home/net/boots", 0x22, kSubMediaAfs, 0, 4, "\x00\x00", true, nullptr, "\x05\x00"},
    {"/home/sec/key", 0x23, kSubMediaAfs, kIntegrityProtected, 64, "defkey", true, nullptr, "vfskey"},
    {"/home/sec/token", 0x24, kSubMediaAfs, kEncrypted, 16, "tok0", true, nullptr, "tok1"},
    {"/home/pwr/limit", 0x01, kSubMediaEfs, 0, 16, "\x10\x00", true, nullptr, "\x20\x00"},
    {"/home/fixed/serial", 0x26, kSubMediaAfs, 0, 16, "SN-0001", false, nullptr, nullptr},
};

// The two-byte counters hold a NUL; every other text is its characters.
size_t valueSize(const SampleFile& f, const char* value) {
  return std::strncmp(f.name, "/home/net/boots", 16) == 0 ||
                 std::strncmp(f.name, "/home/pwr/limit", 16) == 0
             ? 2
             : std::strlen(value);
}

uint32_t uniqueFileNumber(size_t index) {
  return (kMediaType << 28) | (0x100u + static_cast<uint32_t>(index));
}

// A file-table name: NUL-terminated only when shorter than the field.
void copyName(char (&field)[FILE_TABLE_NAME_SIZE], const char* name) {
  const size_t length = std::strlen(name);
  std::memcpy(field, name, length < sizeof field ? length : sizeof field);
}

template <typename T>
void put(Bytes& blob, size_t at, const T& record) {
  if (blob.size() < at + sizeof record) blob.resize(at + sizeof record);
  std::memcpy(blob.data() + at, &record, sizeof record);
}

Bytes makeFileTable() {
  const uint32_t count = sizeof kFiles / sizeof kFiles[0];
  const size_t efstAt = 2 * sizeof(tools_file_table_header_entry_t);
  const size_t filesAt = efstAt + sizeof(tools_efs_file_table_header_t) +
                         sizeof(tools_efs_file_table_header_entry_t);
  const size_t efsFilesAt = filesAt + count * sizeof(tools_file_entry_in_table_t);
  Bytes blob(FILE_TABLE_MIN_SIZE, 0);

  tools_file_table_header_t header = {FILE_TABLE_SIGNATURE, 1, sizeof header, 1};
  put(blob, 0, header);
  tools_file_table_header_entry_t skuEntry = {
      kSampleSku, static_cast<uint32_t>(filesAt), count,
      static_cast<uint32_t>(count * sizeof(tools_file_entry_in_table_t))};
  put(blob, sizeof header, skuEntry);

  tools_efs_file_table_header_t efst = {EFS_FILE_TABLE_SIGNATURE, 1, sizeof efst, 1};
  put(blob, efstAt, efst);
  // Two block managers, seven data blocks, three spares; one EFS file.
  tools_efs_file_table_header_entry_t efsSku = {
      kSampleSku, static_cast<uint32_t>(efsFilesAt), 1,
      sizeof(tools_efs_file_entry_in_table_t), 2, 7, 3, 16, 100, 0};
  put(blob, efstAt + sizeof efst, efsSku);

  for (uint32_t i = 0; i < count; ++i) {
    const SampleFile& f = kFiles[i];
    tools_file_entry_in_table_t entry = {};
    copyName(entry.unique_file_name, f.name);
    entry.unique_fileno.value = uniqueFileNumber(i);
    entry.file_attributes.value = f.fileAttributes;
    entry.media_type_fileno = f.mediaFileNumber;
    entry.sub_media_type = f.subMediaType;
    entry.max_file_size = f.maxFileSize;
    put(blob, filesAt + i * sizeof entry, entry);
    if (f.subMediaType == kSubMediaEfs) {
      tools_efs_file_entry_in_table_t efsFile = {};
      efsFile.fileno = f.mediaFileNumber;
      copyName(efsFile.file_name, f.name);
      efsFile.max_size = 64;
      put(blob, efsFilesAt, efsFile);
    }
  }
  return blob;
}

// Serialises the records the `pick` member names through the library's store.
bool makeFcsBuffer(const char* SampleFile::*pick, bool onlyOverridable, Bytes& out) {
  FCS_HANDLE handle = nullptr;
  if (api.createHandle(&handle) != 0) return false;
  bool ok = true;
  for (size_t i = 0; ok && i < sizeof kFiles / sizeof kFiles[0]; ++i) {
    const SampleFile& f = kFiles[i];
    const char* value = f.*pick;
    if (value == nullptr || (onlyOverridable && !f.overridable)) continue;
    const size_t size = valueSize(f, value);
    Bytes record(sizeof(cfg_file_entry_t) + size);
    cfg_file_entry_t header = {};
    header.fileno.value = uniqueFileNumber(i);
    header.length = static_cast<uint16_t>(size);
    header.attributes.value = f.overridable ? kOverridable : 0;
    std::memcpy(record.data(), &header, sizeof header);
    std::memcpy(record.data() + sizeof header, value, size);
    ok = api.addNewFile(handle, "", f.name, record.data(), static_cast<uint16_t>(record.size()),
                        false) == 0;
  }
  uint32_t size = 0;
  ok = ok && api.flush(handle, nullptr, &size) == FCS_ERR_BUFFER_TOO_SMALL;
  out.assign(size, 0);
  ok = ok && api.flush(handle, out.data(), &size) == 0;
  api.closeHandle(&handle);
  return ok;
}

// Formats an empty AFS volume over the region.
bool formatMfs(Bytes& mfs) {
  mfs.assign(kMfsSize, 0xFF);
  afs_context_t context = {};
  uint8_t staging[4096];
  context.afs_local_buf = staging;
  const uint32_t status =
      api.afs_init(&context, mfs.data(), kAfsPageSize, kAfsCacheEntries, kAfsFiles, 0, kMfsSize,
                   kAfsFormatFlags, AFS_SKU_INVALID, AFS_PROJECT_NUMBER_INVALID);
  api.afs_free_context(&context);
  if (status != 0) std::printf("  AFS format failed with %u\n", status);
  return status == 0;
}

// Writes every VFS file of one sub-media type through the dispatcher.
bool writeVfsFiles(uint8_t subMediaType) {
  for (const SampleFile& f : kFiles) {
    if (f.vfsValue == nullptr || f.subMediaType != subMediaType) continue;
    Bytes contents(f.vfsValue, f.vfsValue + valueSize(f, f.vfsValue));
    if (f.fileAttributes & kIntegrityProtected)
      contents.insert(contents.end(), kBlobMetadataSize, 0xEE);  // stands for the blob metadata
    unsigned int number = 0;
    std::vector<char> path(f.name, f.name + std::strlen(f.name) + 1);
    const int found = api.pathToFileNumber(path.data(), &number);
    const int status = found == 0 ? api.dfs_write(static_cast<int>(number), 0,
                                                  static_cast<uint32_t>(contents.size()),
                                                  contents.data(), DFS_WRITE_TRUNCATE)
                                  : found;
    std::printf("  VFS file %-20s number 0x%08x, %zu bytes: %d\n", f.name, number, contents.size(),
                status);
    if (status != 0) return false;
  }
  return true;
}

}  // namespace

bool makeSampleImage(Image& image) {
  image.sku = kSampleSku;
  image.ftbl = makeFileTable();
  if (api.load_file_table(reinterpret_cast<char*>(image.ftbl.data()), image.sku,
                          static_cast<unsigned>(image.ftbl.size())) != 0) {
    std::printf("  the file table does not load\n");
    return false;
  }
  Bytes overrides;
  if (!makeFcsBuffer(&SampleFile::defaultValue, false, image.defaults) ||
      !makeFcsBuffer(&SampleFile::overrideValue, true, overrides)) {
    std::printf("  the store refused the sample records\n");
    return false;
  }
  image.qelc = qelcPartition(overrides);
  std::printf("  file table %zu bytes, defaults %zu bytes, configuration partition %zu bytes\n",
              image.ftbl.size(), image.defaults.size(), image.qelc.size());

  if (!formatMfs(image.mfs)) return false;
  if (api.mini_vfs_init(image.mfs.data(), static_cast<uint32_t>(image.mfs.size())) != 0) {
    std::printf("  the formatted MFS region does not mount\n");
    return false;
  }
  if (!writeVfsFiles(kSubMediaAfs)) return false;

  // The EFS is formatted into an image of its own, filled, and copied out.
  const int efsStatus = api.EFS_init(true);
  if (efsStatus != 0) {
    std::printf("  EFS format failed with %d\n", efsStatus);
    return false;
  }
  if (!writeVfsFiles(kSubMediaEfs)) return false;
  const int efsSize = api.kyMfsGetEfsSize();
  image.efs.assign(*api.efs_image, *api.efs_image + efsSize);
  std::printf("  MFS region %zu bytes, EFS region %zu bytes\n", image.mfs.size(), image.efs.size());
  return true;
}

Bytes qelcPartition(const Bytes& fcs) {
  if (fcs.empty()) return Bytes();
  // version u8, three reserved bytes, header CRC u32, size u32, data CRC u32;
  // the CRCs are not checked by the library and are left 0 here.
  constexpr size_t kHeaderSize = 16, kVersionAt = 0, kSizeAt = 8;
  Bytes partition(kHeaderSize, 0);
  partition[kVersionAt] = 1;
  const uint32_t size = static_cast<uint32_t>(fcs.size());
  for (int i = 0; i < 4; ++i) partition[kSizeAt + i] = static_cast<uint8_t>(size >> (8 * i));
  partition.insert(partition.end(), fcs.begin(), fcs.end());
  return partition;
}

std::vector<std::string> fileNames(const Bytes& ftbl, uint32_t sku) {
  std::vector<std::string> names;
  tools_file_table_header_t header;
  if (ftbl.size() < sizeof header) return names;
  std::memcpy(&header, ftbl.data(), sizeof header);
  for (uint32_t t = 0; t < header.num_tables && t < FILE_TABLE_MAX_TABLES; ++t) {
    tools_file_table_header_entry_t entry;
    const size_t at = sizeof header + t * sizeof entry;
    if (at + sizeof entry > ftbl.size()) break;
    std::memcpy(&entry, ftbl.data() + at, sizeof entry);
    if (entry.sku != sku) continue;
    for (uint32_t i = 0; i < entry.num_files; ++i) {
      tools_file_entry_in_table_t file;
      const uint64_t fileAt = uint64_t{entry.offset} + uint64_t{i} * sizeof file;
      if (fileAt + sizeof file > ftbl.size()) break;
      std::memcpy(&file, ftbl.data() + fileAt, sizeof file);
      names.emplace_back(file.unique_file_name,
                         strnlen(file.unique_file_name, FILE_TABLE_NAME_SIZE));
    }
  }
  return names;
}
