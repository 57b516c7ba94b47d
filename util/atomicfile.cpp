// The write-beside-and-rename sequence every stored copy is replaced by
// (the unit list, a unit's device list and configuration files).
#include "util/atomicfile.h"

#include "platform/file.h"
#include "util/text.h"

int AtomicFileOpen(AtomicFile *pFile, const char *pszPath, int nMode) {
  CopyString(pFile->szFinal, pszPath, sizeof pFile->szFinal);
  FormatString(pFile->szPart, sizeof pFile->szPart, "%s.new", pszPath);
  pFile->nErr = 0;
  pFile->h = PlatOpen(pFile->szPart, P_O_WRONLY | P_O_CREAT | P_O_TRUNC | nMode,
                      P_S_IREAD | P_S_IWRITE);
  return pFile->h >= 0;
}

int AtomicFileWrite(AtomicFile *pFile, const void *p, std::size_t n) {
  if (PlatWrite(pFile->h, p, n) == static_cast<long>(n)) return 1;
  // A short write without an error number still fails the file.
  if (!pFile->nErr) pFile->nErr = PlatErrno() ? PlatErrno() : -1;
  return 0;
}

int AtomicFileCommit(AtomicFile *pFile, int bFlushDir) {
  if (!pFile->nErr && PlatFsync(pFile->h) != 0) pFile->nErr = PlatErrno();
  if (PlatClose(pFile->h) != 0 && !pFile->nErr) pFile->nErr = PlatErrno();
  pFile->h = -1;
  if (pFile->nErr) {
    (void)PlatUnlink(pFile->szPart);
    return ATOMIC_NOT_WRITTEN;
  }
  if (PlatRename(pFile->szPart, pFile->szFinal) != 0) {
    pFile->nErr = PlatErrno();
    return ATOMIC_NOT_RENAMED;
  }
  if (bFlushDir && PlatFsyncDir(pFile->szFinal) != 0) {
    pFile->nErr = PlatErrno();
    return ATOMIC_NOT_FLUSHED;
  }
  return ATOMIC_DONE;
}

void AtomicFileDiscard(AtomicFile *pFile) {
  if (pFile->h >= 0) PlatClose(pFile->h);
  pFile->h = -1;
  (void)PlatUnlink(pFile->szPart);
}
