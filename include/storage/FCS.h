// The configuration file store's handle API: in-memory tables of
// configuration records behind opaque handles, and their serialised form,
// the "FCS buffer".
//
// A record is a 12-byte cfg_file_entry_t header followed by `length` payload
// bytes. Records are named by their unique file name from the selected file
// table (see ToolsFileTable.h), at most 48 characters, slashes included; only
// files the selected table knows can enter a handle. A record, header
// included, is at most 65535 bytes, since its size crosses addNewFile as 16
// bits.
//
// FCS buffer (little-endian, the same on 32- and 64-bit builds):
//   0                 u32 count
//   4 + 12*i          cfg_file_entry_t header of record i, i < count; its
//                     `offset` is the absolute offset of the payload
//   header.offset     header.length payload bytes
// flush writes the headers in ascending byte order of the records' names
// (unsigned byte comparison, a prefix before the longer name) and the payloads
// back to back after the last header, in the same order. The loader takes each
// payload from wherever its offset points and checks every bound.
//
// Calling order: createHandle or createHandleFromStructure, then any of the
// others, then closeHandle. Every function returns an FcsStatus; checks are
// made in a fixed order and the first failing one decides the status. A null
// handle gives FCS_ERR_INVALID_HANDLE, another null required pointer
// FCS_ERR_INVALID_PARAMETER, both before anything changes. Nothing throws.
#ifndef TARN_STORAGE_FCS_H
#define TARN_STORAGE_FCS_H

#include <cstdint>

#include "storage/ToolsFileTable.h"
#include "storage/storageDefs.h"

namespace image_editor {
struct _FCS_HANDLE_DATA;
}

// Opaque handle to one in-memory configuration-file table.
typedef image_editor::_FCS_HANDLE_DATA* FCS_HANDLE;

enum FcsStatus : int {
  FCS_OK = 0,
  FCS_ERR_INVALID_PARAMETER = 1,  // a required pointer argument is null
  FCS_ERR_NAME_NOT_IN_TABLE = 2,  // addNewFile: file number 0 and a name the file table lacks
  FCS_ERR_NO_MORE_FILES = 3,      // listing found no (further) record
  FCS_ERR_FILE_NOT_FOUND = 4,     // no record of that name; or the table refused a new record
  FCS_ERR_BUFFER_TOO_SMALL = 5,   // size needed written back; or addNewFile with < 12 bytes
  FCS_ERR_INVALID_HANDLE = 6,     // the handle is null
  // 7 is not used.
  FCS_ERR_INVALID_ENTRY = 8,      // file number not in the file table, or no attributes
  FCS_ERR_OUT_OF_MEMORY = 9,      // an allocation failed
  FCS_ERR_LOAD_FAILED = 10,       // a serialised buffer could not be loaded
  FCS_ERR_FILE_EXISTS = 11,       // a record of that name is already in the table
  FCS_ERR_FILE_TOO_LARGE = 12,    // payload larger than the file table's max_file_size
};

// Size of the count word that starts an FCS buffer.
constexpr uint32_t FCS_BUFFER_COUNT_SIZE = sizeof(uint32_t);
// Size of the name buffer a listing call fills: a file-table name of up to
// 48 characters and a NUL.
constexpr uint32_t FCS_FILE_NAME_BUFFER_SIZE = FILE_TABLE_NAME_SIZE + 1;

extern "C" {

// Creates an empty table and stores its handle in *phandle.
// 1 phandle null; 9 allocation failed (*phandle untouched); 0.
int createHandle(FCS_HANDLE* phandle);

// Creates a table loaded from the FCS buffer of `size` bytes. Records whose
// file number the selected file table lacks, or lists with an empty name, are
// left out silently.
// 1 phandle or fcsBuffer null; a createHandle status; 10 the buffer is
// malformed or a record cannot be added (*phandle is then null); 0.
int createHandleFromStructure(FCS_HANDLE* phandle, const void* fcsBuffer, uint32_t size);

// Adds the record `fileBuffer` (header and payload, `fileSize` bytes) under
// `fileName` cut to 48 characters. `relativePath` is ignored and may be null:
// every record goes into the table's root. A header whose fileno is 0 gets the
// number of `fileName` from the file table written into the caller's buffer,
// even when a later check fails. The stored header's length is fileSize - 12.
// 6 handle null; 5 fileSize < 12; 1 fileBuffer or fileName null, or fileName
// empty; 2 fileno 0 and fileName not in the file table; 8 fileno not in the
// file table; 12 enforceMaxFileSize and payload above the table's
// max_file_size; 11 the name is taken; 9 allocation failed; 4 the table
// refused the record; 0. Success restarts the listing at the first name.
int addNewFile(FCS_HANDLE handle, const char* relativePath, const char* fileName,
               void* fileBuffer, uint16_t fileSize, bool enforceMaxFileSize);

// Deletes the record named `relativePath`. A name that matches no record
// whole is taken as a slash-separated path below the root.
// 6 handle null; 1 relativePath null; 4 not found; 9; 0. Success restarts the
// listing at the first name.
int deleteFile(FCS_HANDLE handle, const char* relativePath);

// Copies the record named `relativePath` (header, then payload) to
// fileBuffer. *fileSize is the buffer's size on entry and the record's size on
// return. A size query passes a real buffer with too small a size.
// 6 handle null; 1 fileBuffer, fileSize or relativePath null; 4 not found;
// 5 *fileSize below the record's size (record size written back, nothing
// copied); 0.
int getFileData(FCS_HANDLE handle, const char* relativePath, void* fileBuffer, uint32_t* fileSize);

// Fills `attributes` with the record's header and the file table's
// attributes and max_file_size for the name `relativePath`.
// 6 handle null; 1 attributes or relativePath null; 4 not found; 8 the record
// has no header, or the name is not in the file table (header part already
// written); 0.
int getFileAttributes(FCS_HANDLE handle, const char* relativePath,
                      cfg_file_entry_with_file_attributes_t* attributes);

// Listing in ascending name order. Each call writes one name with its NUL
// into relativePath, which holds FCS_FILE_NAME_BUFFER_SIZE bytes.
// getFirstFileInRoot restarts the walk; getNextFile steps on.
// 6 handle null; 1 relativePath null; 3 no (further) record, on every call
// after the last; 9; 0.
int getFirstFileInRoot(FCS_HANDLE handle, char* relativePath);
int getNextFile(FCS_HANDLE handle, char* relativePath);

// Serialises the table into outputBuffer as an FCS buffer. *size is the
// buffer's size on entry and the bytes written on return. A size query passes
// a size of 0. The listing position is left alone.
// 6 handle null; 1 size null; 5 *size below the size needed (needed written
// back, nothing else written); 1 outputBuffer null; 9; 0.
int flush(FCS_HANDLE handle, void* outputBuffer, uint32_t* size);

// Frees the table and sets *phandle to null.
// 1 phandle null; 6 *phandle null; 0.
int closeHandle(FCS_HANDLE* phandle);

}  // extern "C"

#endif  // TARN_STORAGE_FCS_H
