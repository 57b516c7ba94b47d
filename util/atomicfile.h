// A file that replaces its stored copy in one step: written in full beside
// it as "<name>.new", flushed to the disk, closed, and only then renamed
// over the copy, so that a crash, a full disk or a failed write at any
// moment leaves the stored copy, old or new, never a part of one.
#pragma once
#include <cstddef>

struct AtomicFile {
  char szFinal[512];  // the stored copy
  char szPart[520];   // "<szFinal>.new"
  int h;              // the open part file, -1 once closed
  int nErr;           // the first failure's error number, else 0
};

// What AtomicFileCommit did.
enum {
  ATOMIC_DONE = 1,          // in the copy's place (and the folder flushed, if asked)
  ATOMIC_NOT_WRITTEN = 0,   // a write, the flush or the close failed: the part is removed
  ATOMIC_NOT_RENAMED = -1,  // complete, but the rename failed: the part is kept
  ATOMIC_NOT_FLUSHED = -2,  // in place, but the folder could not be flushed
};

// Creates (or empties) "<pszPath>.new" for writing; nMode is P_O_TEXT or
// P_O_BINARY. 1 = open; 0 = failed (PlatErrno() says why, pFile->szPart
// names the file).
int AtomicFileOpen(AtomicFile *pFile, const char *pszPath, int nMode);

// Writes n bytes to the part file. 1 = written; 0 = failed (the first
// failure is kept in nErr; later writes are still made).
int AtomicFileWrite(AtomicFile *pFile, const void *p, std::size_t n);

// Unless a write failed: flushes the part to the disk, closes it, renames
// it over the stored copy and, with bFlushDir, flushes the folder so the
// rename is on the disk too. Returns an ATOMIC_ value; nErr says why it
// failed.
int AtomicFileCommit(AtomicFile *pFile, int bFlushDir);

// Closes the part file if it is open and removes it; the stored copy stays.
void AtomicFileDiscard(AtomicFile *pFile);
