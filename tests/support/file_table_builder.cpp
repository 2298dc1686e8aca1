#include "support/file_table_builder.h"

namespace tarn_test {

Bytes FileTableBuilder::build(size_t min_size) {
  Bytes b;
  // FTBL header: signature "FTBL", version, header_size, num_tables.
  put_text(b, 0, "FTBL", 4);
  put_u32(b, 4, 1);
  put_u32(b, 8, static_cast<uint32_t>(16 + 16 * ftbl_.size()));
  put_u32(b, 12, static_cast<uint32_t>(ftbl_.size()));

  const size_t efst = efst_at();
  size_t cursor = efst + 16;
  if (with_efst_) {
    put_text(b, efst, "EFST", 4);
    put_u32(b, efst + 4, 1);
    put_u32(b, efst + 8, static_cast<uint32_t>(16 + 40 * efst_.size()));
    put_u32(b, efst + 12, static_cast<uint32_t>(efst_.size()));
    cursor += 40 * efst_.size();
  }

  ftbl_array_at_.clear();
  for (size_t i = 0; i < ftbl_.size(); ++i) {
    const FtblSku& s = ftbl_[i];
    const size_t e = ftbl_entry_at(i);
    put_u32(b, e + 0, s.sku);
    put_u32(b, e + 4, static_cast<uint32_t>(cursor));
    put_u32(b, e + 8, static_cast<uint32_t>(s.files.size()));
    put_u32(b, e + 12, static_cast<uint32_t>(68 * s.files.size()));
    ftbl_array_at_.push_back(cursor);
    for (const FtblFile& f : s.files) {
      put_text(b, cursor + 0, f.name, 48);
      put_u32(b, cursor + 48, f.fileno);
      put_u16(b, cursor + 52, f.file_attributes);
      put_u16(b, cursor + 54, f.group_id);
      put_u16(b, cursor + 56, f.user_id);
      put_u16(b, cursor + 58, f.media_type_fileno);
      put_u16(b, cursor + 60, f.permissions);
      put_u8(b, cursor + 62, 0);
      put_u8(b, cursor + 63, f.sub_media_type);
      put_u32(b, cursor + 64, f.max_file_size);
      cursor += 68;
    }
  }

  efst_array_at_.clear();
  if (with_efst_) {
    for (size_t i = 0; i < efst_.size(); ++i) {
      const EfstSku& s = efst_[i];
      const size_t e = efst_entry_at(i);
      put_u32(b, e + 0, s.sku);
      put_u32(b, e + 4, static_cast<uint32_t>(cursor));
      put_u32(b, e + 8, static_cast<uint32_t>(s.files.size()));
      put_u32(b, e + 12, static_cast<uint32_t>(60 * s.files.size()));
      put_u32(b, e + 16, s.bm_num);
      put_u32(b, e + 20, s.valid_block_num);
      put_u32(b, e + 24, s.non_valid_block_num);
      put_u32(b, e + 28, s.max_file_num);
      put_u32(b, e + 32, s.wear_leveling_threshold);
      put_u32(b, e + 36, s.layout_id);
      efst_array_at_.push_back(cursor);
      for (const EfstFile& f : s.files) {
        put_u16(b, cursor + 0, f.fileno);
        put_text(b, cursor + 2, f.name, 48);
        put_u16(b, cursor + 50, f.logical_block);
        put_u16(b, cursor + 52, f.offset_in_block);
        put_u16(b, cursor + 54, f.max_size);
        put_u16(b, cursor + 56, 0);
        put_u16(b, cursor + 58, 0);
        cursor += 60;
      }
    }
  }

  if (b.size() < cursor) b.resize(cursor);
  if (b.size() < min_size) b.resize(min_size);
  return b;
}

}  // namespace tarn_test
