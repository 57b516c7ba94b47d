// Descriptor file I/O in the manner of the C runtime's open/read/write/close,
// with its two modes:
//   text mode   - on writing each LF becomes CR LF; on reading every CR byte
//                 is dropped and a 0x1A byte ends the data;
//   binary mode - bytes pass unchanged.
// Opening without P_O_BINARY means text mode.
//
// Paths may use backslashes as separators ("dir\\mb-001.log"); the layer maps
// them to '/' wherever it takes a path.
//
// Reads are buffered inside the layer, so reading a line byte by byte costs
// no system call per byte. The logical position of a handle is exactly after
// the last byte handed out.
//
// Errors: every call that fails returns -1 (or 0 where noted) and leaves the
// error number in PlatErrno() (thread-local, like errno).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "platform/errors.h"

enum {
  P_O_RDONLY = 0x0000,
  P_O_WRONLY = 0x0001,
  P_O_RDWR = 0x0002,
  P_O_APPEND = 0x0008,
  P_O_CREAT = 0x0100,
  P_O_TRUNC = 0x0200,
  P_O_EXCL = 0x0400,
  P_O_TEXT = 0x4000,
  P_O_BINARY = 0x8000,
};

enum { P_S_IREAD = 0400, P_S_IWRITE = 0200 };


int PlatOpen(const char *pszPath, int nFlags, int nMode = 0);
int PlatClose(int h);
// Reads up to n bytes (after text-mode translation). 0 = end of data.
long PlatRead(int h, void *pBuf, std::size_t n);
// Writes n bytes of caller data (LF expanded in text mode). Returns n on
// success, -1 on failure. In text mode the whole translated block is handed
// to the system in one write.
long PlatWrite(int h, const void *pBuf, std::size_t n);
// Flushes the file's data to the disk.
int PlatFsync(int h);

// Reads up to n bytes at the given offset of a binary handle, leaving its
// position alone. Returns the count, 0 past the end, -1 on failure.
long PlatReadAt(int h, void *pBuf, std::size_t n, long long llOffset);
// Cuts the file to llLength bytes (a write handle; appending handles go on
// at the new end).
int PlatTruncate(int h, long long llLength);
// Line reading with ReadLine's rules: reads up to cap-1 bytes or up to and
// including a LF (LF consumed, not stored); stores a NUL. Returns 1 when a
// line (possibly empty) was stored, 0 at end of data with nothing read.
int PlatReadLine(int h, char *pBuf, int nCap);

int PlatMkdir(const char *pszPath);            // 0 or -1
int PlatUnlink(const char *pszPath);           // 0 or -1
int PlatRename(const char *pszFrom, const char *pszTo);  // replaces the target
int PlatExists(const char *pszPath);           // 1 if the path exists
// Creates a file holding exactly the given bytes (binary), only if no file
// of that name exists, such that nobody ever sees it without them: written
// under a name of its own beside it, then linked into place. 0, or -1 with
// PLAT_EEXIST (platform/errors.h) when the name was taken first (PlatErrno()).
int PlatCreateWith(const char *pszPath, const void *pData, std::size_t n, int nMode);
int PlatFsyncDir(const char *pszPath);         // flush the directory entry of a file path
long long PlatFileSize(const char *pszPath);   // -1 if missing

// What the file system says about a path (symbolic links followed).
struct PlatFileInfo {
  long long llSize;
  long long llMtimeNs;      // last modification, ns since 1970
  long long llCtimeNs;      // last change of data or attributes, ns since 1970
  unsigned long long ullId;   // identity of the file on its device
  unsigned long long ullDev;  // the device
  int bFile;                // a regular file
  int bDir;                 // a directory
};
int PlatStat(const char *pszPath, PlatFileInfo *pInfo);  // 0 or -1
// The names of the entries of a directory ("." and ".." left out), sorted
// bytewise. 0 or -1 (the directory cannot be read; *pNames then empty).
int PlatListDir(const char *pszDir, std::vector<std::string> *pNames);
// Maps a path with backslashes to the host's form.
std::string PlatPath(const char *pszPath);
// The process's working folder, in the host's form; empty when it cannot be
// told (removed under the process, or too long).
std::string PlatCurrentDir();

// Takes an exclusive lock on the file (created if missing) for the rest of
// the process: the kernel releases it when the process ends, however it
// ends. Returns 1 when this process holds it now (its process id is then
// written into the file), 0 when another process holds it (*plHolder gets
// that process's id as found in the file, 0 if none could be read), -1 on
// any other failure (PlatErrno()).
int PlatLockFile(const char *pszPath, long *plHolder);

int PlatErrno();
void PlatSetErrno(int nErr);
// Text of an error number, thread-safe (a per-thread buffer).
const char *PlatStrError(int nErr);
