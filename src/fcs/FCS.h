// The handle record behind an FCS_HANDLE, and the store's internal helpers.
// The handle API itself is declared in storage/FCS.h.
#ifndef TARN_FCS_FCS_H
#define TARN_FCS_FCS_H

#include <cstdint>

#include "fcs/FileIterator.h"
#include "fcs/IFile.h"
#include "storage/FCS.h"

namespace image_editor {

// One table: the unnamed root directory and the listing iterator over it.
// Both start empty; createHandle fills them and closeHandle frees the record.
typedef struct _FCS_HANDLE_DATA {
  _FCS_HANDLE_DATA();

  IFile::FilePtr root;
  FileIterator::FileIteratorPtr iterator;
} FCS_HANDLE_DATA;

}  // namespace image_editor

// Adds every record of the FCS buffer (`size` bytes) to the handle's table.
// false when the buffer is shorter than its count word or its headers, a
// payload lies outside it, a record exceeds 65535 bytes or cannot be added
// (a second record with the same file number, for one). Records whose file
// number the selected file table lacks, or lists with an empty name, are
// skipped. Records added before a failure stay in the table.
bool loadDataFromFcsBuffer(FCS_HANDLE handle, const void* fcsBuffer, uint32_t size);

// Checks a record header's attributes: true when entry is not null. No
// attribute bit is restricted.
bool validateAttributs(cfg_file_entry_t* entry);

#endif  // TARN_FCS_FCS_H
