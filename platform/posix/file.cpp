// Descriptor file I/O with the runtime's text and binary modes.
//
// Each open file gets a slot in a handle table. Reads go through a buffer
// held in the slot, so a caller that reads a line byte by byte (or with
// PlatReadLine) does not pay a system call per byte; text-mode translation
// (CR dropped, 0x1A ends the data) is applied when the buffer is filled.
// Slots are shared_ptr so that a write from one thread (the error log is
// written from every thread) never races with a close of another handle.
#include "platform/file.h"
#include "platform/common/filetable.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>


namespace {

// A read of the descriptor as it stands, past the buffer.
long RawRead(int fd, char *p, std::size_t n) {
  for (;;) {
    ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    return static_cast<long>(r);
  }
}

}  // namespace

long FileFill(FileSlot &f) {
  if (f.nPos < f.nLen) return static_cast<long>(f.nLen - f.nPos);
  f.nPos = f.nLen = 0;
  if (f.bEndSeen) return 0;
  if (f.buf.empty()) f.buf.resize(kFileReadBuf);
  for (;;) {
    ssize_t n = ::read(f.fd, f.buf.data(), f.buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return 0;
    std::size_t nKeep = static_cast<std::size_t>(n);
    if (f.bText) {
      // Drop every CR wherever it stands; a 0x1A ends the data for good.
      char *p = f.buf.data();
      std::size_t o = 0;
      for (std::size_t i = 0; i < nKeep; i++) {
        char c = p[i];
        if (c == '\x1a') {
          f.bEndSeen = true;
          break;
        }
        if (c != '\r') p[o++] = c;
      }
      nKeep = o;
      if (nKeep == 0) {
        if (f.bEndSeen) return 0;
        continue;  // a block of nothing but CRs
      }
    }
    f.nLen = nKeep;
    return static_cast<long>(nKeep);
  }
}

namespace {

int WriteAll(int fd, const char *p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (w == 0) {
      errno = ENOSPC;
      return -1;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

}  // namespace

std::string PlatCurrentDir() {
  char sz[4096];
  return ::getcwd(sz, sizeof sz) ? std::string(sz) : std::string();
}

std::string PlatPath(const char *pszPath) {
  std::string s(pszPath ? pszPath : "");
  for (char &c : s)
    if (c == '\\') c = '/';
  return s;
}

int PlatOpen(const char *pszPath, int nFlags, int nMode) {
  int flags = O_CLOEXEC;
  switch (nFlags & 3) {
    case P_O_WRONLY: flags |= O_WRONLY; break;
    case P_O_RDWR: flags |= O_RDWR; break;
    default: flags |= O_RDONLY; break;
  }
  if (nFlags & P_O_APPEND) flags |= O_APPEND;
  if (nFlags & P_O_CREAT) flags |= O_CREAT;
  if (nFlags & P_O_TRUNC) flags |= O_TRUNC;
  if (nFlags & P_O_EXCL) flags |= O_EXCL;
  mode_t mode = 0;
  if (nMode & P_S_IREAD) mode |= S_IRUSR;
  if (nMode & P_S_IWRITE) mode |= S_IWUSR;
  std::string path = PlatPath(pszPath);
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  // Opening a directory for reading succeeds on Linux but every read fails;
  // the runtime this stands in for refuses it at once.
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
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
  return ::close(slot->fd) == 0 ? 0 : -1;
}

int PlatReadLine(int h, char *pBuf, int nCap) { return FileTableReadLine(h, pBuf, nCap, FileFill); }

long PlatRead(int h, void *pBuf, std::size_t n) { return FileTableRead(h, pBuf, n, FileFill, RawRead); }

long PlatWrite(int h, const void *pBuf, std::size_t n) {
  auto slot = FileLookup(h);
  if (!slot) return -1;
  const char *p = static_cast<const char *>(pBuf);
  if (!slot->bText || !std::memchr(p, '\n', n)) {
    return WriteAll(slot->fd, p, n) == 0 ? static_cast<long>(n) : -1;
  }
  std::string out;
  out.reserve(n + n / 16 + 8);
  for (std::size_t i = 0; i < n; i++) {
    if (p[i] == '\n') out.push_back('\r');
    out.push_back(p[i]);
  }
  return WriteAll(slot->fd, out.data(), out.size()) == 0 ? static_cast<long>(n) : -1;
}

int PlatFsync(int h) {
  auto slot = FileLookup(h);
  if (!slot) return -1;
  return ::fsync(slot->fd) == 0 ? 0 : -1;
}

long PlatReadAt(int h, void *pBuf, std::size_t n, long long llOffset) {
  auto slot = FileLookup(h);
  if (!slot) return -1;
  for (;;) {
    ssize_t r = ::pread(slot->fd, pBuf, n, static_cast<off_t>(llOffset));
    if (r < 0 && errno == EINTR) continue;
    return r < 0 ? -1 : static_cast<long>(r);
  }
}

int PlatTruncate(int h, long long llLength) {
  auto slot = FileLookup(h);
  if (!slot) return -1;
  if (llLength < 0) {
    errno = EINVAL;
    return -1;
  }
  int r;
  do {
    r = ::ftruncate(slot->fd, static_cast<off_t>(llLength));
  } while (r != 0 && errno == EINTR);
  return r == 0 ? 0 : -1;
}

int PlatMkdir(const char *pszPath) {
  return ::mkdir(PlatPath(pszPath).c_str(), 0777) == 0 ? 0 : -1;
}

int PlatUnlink(const char *pszPath) {
  return ::unlink(PlatPath(pszPath).c_str()) == 0 ? 0 : -1;
}

int PlatRename(const char *pszFrom, const char *pszTo) {
  return ::rename(PlatPath(pszFrom).c_str(), PlatPath(pszTo).c_str()) == 0 ? 0 : -1;
}

int PlatCreateWith(const char *pszPath, const void *pData, std::size_t n, int nMode) {
  std::string path = PlatPath(pszPath);
  std::string temp = path + "." + std::to_string(static_cast<long>(::getpid())) + ".new";
  mode_t mode = 0;
  if (nMode & P_S_IREAD) mode |= S_IRUSR;
  if (nMode & P_S_IWRITE) mode |= S_IWUSR;
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  int rc = WriteAll(fd, static_cast<const char *>(pData), n);
  if (::close(fd) != 0 && rc == 0) rc = -1;
  // link() never replaces: of two processes that both found no file, one
  // gets EEXIST here and uses the other's.
  if (rc == 0) rc = ::link(temp.c_str(), path.c_str());
  int err = errno;
  ::unlink(temp.c_str());
  errno = err;
  return rc == 0 ? 0 : -1;
}

int PlatExists(const char *pszPath) {
  struct stat st;
  return ::stat(PlatPath(pszPath).c_str(), &st) == 0 ? 1 : 0;
}

long long PlatFileSize(const char *pszPath) {
  struct stat st;
  if (::stat(PlatPath(pszPath).c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

int PlatStat(const char *pszPath, PlatFileInfo *pInfo) {
  struct stat st;
  if (::stat(PlatPath(pszPath).c_str(), &st) != 0) return -1;
  pInfo->llSize = static_cast<long long>(st.st_size);
  pInfo->llMtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  pInfo->llCtimeNs = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
  pInfo->ullId = static_cast<unsigned long long>(st.st_ino);
  pInfo->ullDev = static_cast<unsigned long long>(st.st_dev);
  pInfo->bFile = S_ISREG(st.st_mode) ? 1 : 0;
  pInfo->bDir = S_ISDIR(st.st_mode) ? 1 : 0;
  return 0;
}

int PlatListDir(const char *pszDir, std::vector<std::string> *pNames) {
  pNames->clear();
  DIR *d = ::opendir(PlatPath(pszDir).c_str());
  if (!d) return -1;
  for (;;) {
    errno = 0;
    struct dirent *e = ::readdir(d);
    if (!e) break;
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    pNames->push_back(e->d_name);
  }
  int err = errno;
  ::closedir(d);
  if (err != 0) {
    pNames->clear();
    errno = err;
    return -1;
  }
  std::sort(pNames->begin(), pNames->end());
  return 0;
}

int PlatFsyncDir(const char *pszPath) {
  std::string path = PlatPath(pszPath);
  std::string::size_type slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  // Some file systems cannot flush a directory; there the rename is as
  // durable as it will get, and failing would only fail every replace.
  if (rc != 0 && (err == EINVAL || err == ENOTSUP || err == EROFS)) return 0;
  errno = err;
  return rc == 0 ? 0 : -1;
}

namespace {
// The process id written in a lock file, 0 when there is none yet.
long ReadLockHolder(int fd) {
  char buf[32] = {};
  ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  buf[n] = 0;
  char *pEnd = nullptr;
  long l = std::strtol(buf, &pEnd, 10);
  return (pEnd != buf && l > 0) ? l : 0;
}
}  // namespace

int PlatLockFile(const char *pszPath, long *plHolder) {
  if (plHolder) *plHolder = 0;
  std::string path = PlatPath(pszPath);
  // Close-on-exec: a child process must not carry the lock on.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  bool bWritable = true;
  if (fd < 0 && errno == EACCES) {
    // Someone else's lock file: a lock on a read-only descriptor works the
    // same, only the process id cannot be written. In a folder that cannot
    // be written there is none, and the first refusal is the reason.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) errno = EACCES;
    bWritable = false;
  }
  if (fd < 0) return -1;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    if (bWritable) {
      // Fixed width and one write from the start: a reader never sees a
      // half-written number, and a longer id of an earlier holder is
      // overwritten completely.
      char buf[24];
      int n = std::snprintf(buf, sizeof buf, "%-20ld\n", static_cast<long>(::getpid()));
      if (::pwrite(fd, buf, static_cast<std::size_t>(n), 0) == n) (void)!::ftruncate(fd, n);
    }
    // The descriptor stays open until the process ends: that is the lock.
    return 1;
  }
  int err = errno;
  if (err != EWOULDBLOCK) {
    ::close(fd);
    errno = err;
    return -1;
  }
  // Held. A holder that has only just taken the lock may not have written
  // its id yet; give it a moment before saying the id is unknown.
  long lHolder = 0;
  for (int i = 0; i < 100 && (lHolder = ReadLockHolder(fd)) == 0; i++) ::usleep(10000);
  ::close(fd);
  if (plHolder) *plHolder = lHolder;
  return 0;
}

int PlatErrno() { return errno; }
void PlatSetErrno(int nErr) { errno = nErr; }

const char *PlatStrError(int nErr) {
  thread_local char buf[256];
  // GNU strerror_r may return a static text instead of filling buf.
  const char *p = strerror_r(nErr, buf, sizeof buf);
  if (p != buf) {
    std::strncpy(buf, p, sizeof buf - 1);
    buf[sizeof buf - 1] = 0;
  }
  return buf;
}
