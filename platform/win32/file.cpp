// Descriptor file I/O on Windows: the C runtime's own descriptors with its
// own text and binary modes (_O_TEXT: CR LF read as LF, a 0x1A ends the
// data, each LF written as CR LF).
//
// As on the other systems each open file gets a slot in a handle table and
// reads go through a buffer of the slot, so that reading a line byte by byte
// costs no system call per byte; the translation is the runtime's, applied
// when the buffer is filled. Slots are shared_ptr so that a write from one
// thread never races with a close of another handle.
#include "platform/file.h"
#include "platform/common/filetable.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>


namespace {

// A file that another program holds open without sharing it (a log open in
// a spreadsheet): the runtime calls that "Permission denied", which sends
// the operator to the file's rights instead of to the other program. It
// gets a number of its own, with a text that says so.
constexpr int kErrInUse = EBUSY;
const char kInUseText[] = "File is in use by another program";

bool LastErrorIsInUse() {
  DWORD n = ::GetLastError();
  return n == ERROR_SHARING_VIOLATION || n == ERROR_LOCK_VIOLATION;
}

// The runtime reads and writes at most this much in one call.
constexpr std::size_t kMaxIo = 1u << 30;

// A read of the descriptor as it stands, past the buffer.
long RawRead(int fd, char *p, std::size_t n) {
  return ::_read(fd, p, static_cast<unsigned>(std::min(n, kMaxIo)));
}


// The errno value of the calling thread's last Win32 error.
int ErrnoOfLastError() {
  switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return kErrInUse;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    default:
      return EIO;
  }
}
}  // namespace

long FileFill(FileSlot &f) {
  if (f.nPos < f.nLen) return static_cast<long>(f.nLen - f.nPos);
  f.nPos = f.nLen = 0;
  if (f.buf.empty()) f.buf.resize(kFileReadBuf);
  for (;;) {
    int n = ::_read(f.fd, f.buf.data(), static_cast<unsigned>(f.buf.size()));
    if (n < 0) return -1;
    if (n == 0) return 0;
    if (f.bText) {
      // The runtime drops a CR only before a LF; text mode here drops every
      // one, as on the other systems (a lone CR would end up in a field).
      char *p = f.buf.data();
      n = static_cast<int>(std::remove(p, p + n, '\r') - p);
      if (n == 0) continue;  // a block of nothing but CRs
    }
    f.nLen = static_cast<std::size_t>(n);
    return n;
  }
}

namespace {

int WriteAll(int fd, const char *p, std::size_t n) {
  while (n > 0) {
    int w = ::_write(fd, p, static_cast<unsigned>(std::min(n, kMaxIo)));
    if (w < 0) return -1;
    if (w == 0) {
      errno = ENOSPC;
      return -1;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

long long FileTimeToNs(const FILETIME &ft) {
  // 100 ns units since 1601.
  unsigned long long t = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (static_cast<long long>(t) - 116444736000000000LL) * 100;
}

}  // namespace

std::string PlatCurrentDir() {
  char sz[MAX_PATH + 1];
  DWORD n = ::GetCurrentDirectoryA(sizeof sz, sz);
  return n > 0 && n < sizeof sz ? std::string(sz, n) : std::string();
}

std::string PlatPath(const char *pszPath) {
  // Both separators are the system's own.
  return std::string(pszPath ? pszPath : "");
}

int PlatOpen(const char *pszPath, int nFlags, int nMode) {
  int flags = _O_NOINHERIT;
  switch (nFlags & 3) {
    case P_O_WRONLY: flags |= _O_WRONLY; break;
    case P_O_RDWR: flags |= _O_RDWR; break;
    default: flags |= _O_RDONLY; break;
  }
  if (nFlags & P_O_APPEND) flags |= _O_APPEND;
  if (nFlags & P_O_CREAT) flags |= _O_CREAT;
  if (nFlags & P_O_TRUNC) flags |= _O_TRUNC;
  if (nFlags & P_O_EXCL) flags |= _O_EXCL;
  flags |= (nFlags & P_O_BINARY) ? _O_BINARY : _O_TEXT;
  int mode = 0;
  if (nMode & P_S_IREAD) mode |= _S_IREAD;
  if (nMode & P_S_IWRITE) mode |= _S_IWRITE;
  std::string path = PlatPath(pszPath);
  int fd = ::_open(path.c_str(), flags, mode);
  if (fd < 0) {
    if (errno == EACCES && LastErrorIsInUse()) errno = kErrInUse;
    return -1;
  }
  auto slot = std::make_shared<FileSlot>();
  slot->fd = fd;
  slot->bText = !(nFlags & P_O_BINARY);
  return FileTableAdd(std::move(slot));
}

int PlatClose(int h) {
  std::shared_ptr<FileSlot> slot = FileTableTake(h);
  if (!slot) return -1;
  return ::_close(slot->fd) == 0 ? 0 : -1;
}

int PlatReadLine(int h, char *pBuf, int nCap) { return FileTableReadLine(h, pBuf, nCap, FileFill); }

long PlatRead(int h, void *pBuf, std::size_t n) { return FileTableRead(h, pBuf, n, FileFill, RawRead); }

long PlatWrite(int h, const void *pBuf, std::size_t n) {
  auto slot = FileLookup(h);
  if (!slot) return -1;
  // In text mode the runtime writes each LF as CR LF.
  return WriteAll(slot->fd, static_cast<const char *>(pBuf), n) == 0 ? static_cast<long>(n) : -1;
}

int PlatFsync(int h) {
  auto slot = FileLookup(h);
  if (!slot) return -1;
  return ::_commit(slot->fd) == 0 ? 0 : -1;
}

long PlatReadAt(int h, void *pBuf, std::size_t n, long long llOffset) {
  auto slot = FileLookup(h);
  if (!slot) return -1;
  // The descriptor's position is the buffer's source: put it back after.
  long long llPos = ::_lseeki64(slot->fd, 0, SEEK_CUR);
  if (llPos < 0 || ::_lseeki64(slot->fd, llOffset, SEEK_SET) < 0) return -1;
  int r = ::_read(slot->fd, pBuf, static_cast<unsigned>(std::min(n, kMaxIo)));
  int nErr = errno;
  ::_lseeki64(slot->fd, llPos, SEEK_SET);
  errno = nErr;
  return r < 0 ? -1 : static_cast<long>(r);
}

int PlatTruncate(int h, long long llLength) {
  auto slot = FileLookup(h);
  if (!slot) return -1;
  if (llLength < 0) {
    errno = EINVAL;
    return -1;
  }
  int nErr = ::_chsize_s(slot->fd, llLength);
  if (nErr != 0) {
    errno = nErr;
    return -1;
  }
  return 0;
}

int PlatMkdir(const char *pszPath) { return ::_mkdir(PlatPath(pszPath).c_str()) == 0 ? 0 : -1; }

int PlatUnlink(const char *pszPath) {
  if (::_unlink(PlatPath(pszPath).c_str()) == 0) return 0;
  if (errno == EACCES && LastErrorIsInUse()) errno = kErrInUse;
  return -1;
}

int PlatRename(const char *pszFrom, const char *pszTo) {
  // Replaces the target, and returns only once the new name is on the disk.
  if (::MoveFileExA(PlatPath(pszFrom).c_str(), PlatPath(pszTo).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return 0;
  errno = ErrnoOfLastError();
  return -1;
}

int PlatCreateWith(const char *pszPath, const void *pData, std::size_t n, int nMode) {
  std::string path = PlatPath(pszPath);
  std::string temp = path + "." + std::to_string(static_cast<unsigned long>(::GetCurrentProcessId())) + ".new";
  int mode = 0;
  if (nMode & P_S_IREAD) mode |= _S_IREAD;
  if (nMode & P_S_IWRITE) mode |= _S_IWRITE;
  int fd = ::_open(temp.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, mode);
  if (fd < 0) {
    if (errno == EACCES && LastErrorIsInUse()) errno = kErrInUse;
    return -1;
  }
  int rc = WriteAll(fd, static_cast<const char *>(pData), n);
  if (::_close(fd) != 0 && rc == 0) rc = -1;
  // Without MOVEFILE_REPLACE_EXISTING the move never replaces: of two
  // processes that both found no file, one gets EEXIST here.
  if (rc == 0 && !::MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
    errno = ErrnoOfLastError();
    rc = -1;
  }
  int nErr = errno;
  if (rc != 0) ::_unlink(temp.c_str());
  errno = nErr;
  return rc == 0 ? 0 : -1;
}

int PlatExists(const char *pszPath) {
  return ::GetFileAttributesA(PlatPath(pszPath).c_str()) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

long long PlatFileSize(const char *pszPath) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(PlatPath(pszPath).c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

int PlatStat(const char *pszPath, PlatFileInfo *pInfo) {
  // FILE_FLAG_BACKUP_SEMANTICS opens directories too; nothing is locked.
  HANDLE h = ::CreateFileA(PlatPath(pszPath).c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    errno = ErrnoOfLastError();
    return -1;
  }
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic{};
  BOOL bOk = ::GetFileInformationByHandle(h, &info) &&
             ::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic);
  if (!bOk) errno = ErrnoOfLastError();
  ::CloseHandle(h);
  if (!bOk) return -1;
  pInfo->llSize = (static_cast<long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  pInfo->llMtimeNs = FileTimeToNs(info.ftLastWriteTime);
  // The time of the last change of data or attributes (a rename or a new
  // link counts too), as the other systems' ctime.
  FILETIME ftChange;
  ftChange.dwLowDateTime = static_cast<DWORD>(basic.ChangeTime.QuadPart);
  ftChange.dwHighDateTime = static_cast<DWORD>(basic.ChangeTime.QuadPart >> 32);
  pInfo->llCtimeNs = FileTimeToNs(ftChange);
  pInfo->ullId = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  pInfo->ullDev = info.dwVolumeSerialNumber;
  pInfo->bDir = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  pInfo->bFile = pInfo->bDir ? 0 : 1;
  return 0;
}

int PlatListDir(const char *pszDir, std::vector<std::string> *pNames) {
  pNames->clear();
  std::string pattern = PlatPath(pszDir) + "\\*";
  WIN32_FIND_DATAA fd;
  HANDLE h = ::FindFirstFileA(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) {
    errno = ErrnoOfLastError();
    return -1;
  }
  do {
    if (std::strcmp(fd.cFileName, ".") == 0 || std::strcmp(fd.cFileName, "..") == 0) continue;
    pNames->push_back(fd.cFileName);
  } while (::FindNextFileA(h, &fd));
  DWORD nErr = ::GetLastError();
  ::FindClose(h);
  if (nErr != ERROR_NO_MORE_FILES) {
    pNames->clear();
    errno = EIO;
    return -1;
  }
  std::sort(pNames->begin(), pNames->end());
  return 0;
}

int PlatFsyncDir(const char *) {
  // A directory entry cannot be flushed on its own here; the rename above
  // is written through already.
  return 0;
}

int PlatErrno() { return errno; }
void PlatSetErrno(int nErr) { errno = nErr; }

const char *PlatStrError(int nErr) {
  thread_local char buf[256];
  if (nErr == kErrInUse) return kInUseText;
  if (strerror_s(buf, sizeof buf, nErr) != 0) std::snprintf(buf, sizeof buf, "error %d", nErr);
  return buf;
}

namespace {
// The process id written in a lock file, 0 when there is none yet.
long ReadLockHolder(HANDLE h) {
  char buf[32] = {};
  OVERLAPPED at{};
  DWORD n = 0;
  if (!::ReadFile(h, buf, sizeof buf - 1, &n, &at) || n == 0) return 0;
  buf[n] = 0;
  char *pEnd = nullptr;
  long l = std::strtol(buf, &pEnd, 10);
  return (pEnd != buf && l > 0) ? l : 0;
}

// The locked byte lies far past the process id, so that other processes can
// still read the id (Windows locks keep everyone else out of the range).
constexpr DWORD kLockOffsetHigh = 0x7fffffff;
}  // namespace

int PlatLockFile(const char *pszPath, long *plHolder) {
  if (plHolder) *plHolder = 0;
  std::string path = PlatPath(pszPath);
  // Not inherited: a child process must not carry the lock on.
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  bool bWritable = true;
  if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
    h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    // In a folder that cannot be written there is none to read: the first
    // refusal is the reason.
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND)
      ::SetLastError(ERROR_ACCESS_DENIED);
    bWritable = false;
  }
  if (h == INVALID_HANDLE_VALUE) {
    errno = ErrnoOfLastError();
    return -1;
  }
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  if (::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    if (bWritable) {
      // Fixed width and one write from the start, as a reader expects.
      char buf[24];
      int n = std::snprintf(buf, sizeof buf, "%-20ld\n", static_cast<long>(::GetCurrentProcessId()));
      OVERLAPPED start{};
      DWORD nDone = 0;
      if (::WriteFile(h, buf, static_cast<DWORD>(n), &nDone, &start) && nDone == static_cast<DWORD>(n)) {
        ::SetFilePointer(h, n, nullptr, FILE_BEGIN);
        ::SetEndOfFile(h);
      }
    }
    // The handle stays open until the process ends: that is the lock.
    return 1;
  }
  DWORD nErr = ::GetLastError();
  if (nErr != ERROR_LOCK_VIOLATION && nErr != ERROR_IO_PENDING) {
    ::CloseHandle(h);
    ::SetLastError(nErr);
    errno = ErrnoOfLastError();
    return -1;
  }
  // Held. A holder that has only just taken the lock may not have written
  // its id yet; give it a moment before saying the id is unknown.
  long lHolder = 0;
  for (int i = 0; i < 100 && (lHolder = ReadLockHolder(h)) == 0; i++) ::Sleep(10);
  ::CloseHandle(h);
  if (plHolder) *plHolder = lHolder;
  return 0;
}
