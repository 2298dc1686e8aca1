// Operations on the files of a mounted AFS volume (AfsVolume.h), by file
// number: size, read, copy-on-write write, delete, zombie mark, and the
// maintenance calls that hand reclaim to the FTL.
//
// A write never changes a chunk that the old file uses. It builds the new
// part of the chain in freshly allocated chunks, links them tail to head, and
// writes the one entry that makes them current (the file entry, or the entry
// of the last old chunk kept in front of them) last of all: the page cache
// writes its pages least recently used first, and that entry's page is
// touched last. Until that page is on flash the volume holds the old file;
// after it, the new one. Old chunks are released only then. Every writing
// operation ends with the cache flushed.
//
// Statuses (errno style): 0 success; 2 no such file (entry 0 or a zombie);
// 5 inconsistent FAT, cycle or I/O error; 11 forced full reclaim not done;
// 12 out of memory; 22 invalid argument (null context, fileno outside
// 0..num_files-1, a missing buffer, or a volume mounted without the chunk
// bitmap for write and delete); 27 file too large; 28 no free chunk; 99 a
// zombie mark on a file number in use. Statuses of the cache and the FTL are
// returned as they stand.
#ifndef TARN_FLASH_AFS_AFSFILE_H
#define TARN_FLASH_AFS_AFSFILE_H

#include <cstdint>

#include "flash/afs/AfsCommonDefs.h"

// Largest file: pos + size of a write may not exceed it.
constexpr uint32_t AFS_MAX_FILE_SIZE = 0x40000;
// Flag of afs_writefile: the file ends at pos + size.
constexpr uint32_t AFS_WRITE_TRUNCATE = 0x1;
// Bytes of the staging buffer afs_local_buf.
constexpr uint32_t AFS_LOCAL_BUF_SIZE = 4096;

extern "C" {

// *pSize = the file's size in bytes.
uint32_t afs_getfilesize(afs_context_t* afs_context, int32_t fileno, uint32_t* pSize);

// Reads up to *pSize bytes from file offset pos into pBuffer; *pSize becomes
// the bytes read (0 at or past the end). 22 for *pSize with bit 31 set. On a
// failure *pSize is unchanged.
uint32_t afs_readfile(afs_context_t* afs_context, int32_t fileno, uint32_t pos, uint32_t* pSize,
                      uint8_t* pBuffer);

// Writes `size` bytes of pBuffer at file offset pos, creating the file when it
// does not exist and filling a gap past its end with zeros. With
// AFS_WRITE_TRUNCATE the file ends at pos + size. A write of 0 bytes without
// truncation creates an empty file when none exists and changes nothing
// else. 27 when pos, size or pos + size exceeds AFS_MAX_FILE_SIZE (except for
// that zero-length write). On any failure the file is as it was.
uint32_t afs_writefile(afs_context_t* afs_context, int32_t fileno, uint32_t pos, uint32_t size,
                       uint8_t* pBuffer, uint32_t flags);

// Deletes the file (a zombie too) and releases its chunks. 2 when none.
uint32_t afs_deletefile(afs_context_t* afs_context, int32_t fileno);

// Marks an unused file number as a zombie (reads as no such file; the next
// mount frees it). 99 when the number is in use.
uint32_t afs_mark_zombie_file(afs_context_t* afs_context, int32_t fileno);

// Reclaims one erase unit if one is due (38807 when it gained nothing).
uint32_t afs_idle_reclaim(afs_context_t* afs_context);
// True when the FTL wants an idle reclaim.
bool afs_idle_reclaim_needed(afs_context_t* afs_context);
bool afs_get_idle_reclaim_enabled(afs_context_t* afs_context);
void afs_set_idle_reclaim_enabled(afs_context_t* afs_context);
// Reclaims one block-mapped erase unit per call: 11 while more remain.
uint32_t afs_force_full_reclaim(afs_context_t* afs_context);
// Zeroes the programmed pages of chunks that no file uses.
uint32_t afs_force_dirty_erase(afs_context_t* afs_context);

}  // extern "C"

#endif  // TARN_FLASH_AFS_AFSFILE_H
