// The file layer's handle table and its line reader, the same on every
// system: they work on the read buffer that the system's fill function
// (its FileFill, handed in) fills. Calls nothing of the systems' own.
#include "platform/common/filetable.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {
// Never destroyed: a download worker may still write its file while the
// process ends, and must not find the table freed under it.
struct FileTable {
  std::mutex mx;
  std::vector<std::shared_ptr<FileSlot>> slots;
};
FileTable &T() {
  static FileTable *p = new FileTable;
  return *p;
}
}  // namespace

std::shared_ptr<FileSlot> FileLookup(int h) {
  FileTable &t = T();
  std::lock_guard<std::mutex> lock(t.mx);
  if (h < 0 || static_cast<std::size_t>(h) >= t.slots.size() || !t.slots[h]) {
    errno = EBADF;
    return nullptr;
  }
  return t.slots[h];
}

int FileTableAdd(std::shared_ptr<FileSlot> slot) {
  FileTable &t = T();
  std::lock_guard<std::mutex> lock(t.mx);
  for (std::size_t i = 0; i < t.slots.size(); i++) {
    if (!t.slots[i]) {
      t.slots[i] = std::move(slot);
      return static_cast<int>(i);
    }
  }
  t.slots.push_back(std::move(slot));
  return static_cast<int>(t.slots.size() - 1);
}

std::shared_ptr<FileSlot> FileTableTake(int h) {
  std::shared_ptr<FileSlot> slot;
  FileTable &t = T();
  std::lock_guard<std::mutex> lock(t.mx);
  if (h < 0 || static_cast<std::size_t>(h) >= t.slots.size() || !t.slots[h]) {
    errno = EBADF;
    return nullptr;
  }
  slot.swap(t.slots[h]);
  return slot;
}

int FileTableReadLine(int h, char *pBuf, int nCap, long (*pfnFill)(FileSlot &)) {
  auto slot = FileLookup(h);
  if (!slot || nCap <= 0) return 0;
  FileSlot &f = *slot;
  int nCount = 0;
  while (nCount < nCap - 1) {
    long nAvail = pfnFill(f);
    if (nAvail <= 0) {
      pBuf[nCount] = 0;
      return nCount > 0 ? 1 : 0;
    }
    std::size_t nRoom = static_cast<std::size_t>(nCap - 1 - nCount);
    std::size_t nLook = std::min<std::size_t>(static_cast<std::size_t>(nAvail), nRoom);
    const char *src = f.buf.data() + f.nPos;
    const char *lf = static_cast<const char *>(std::memchr(src, '\n', nLook));
    if (lf) {
      std::size_t k = static_cast<std::size_t>(lf - src);
      std::memcpy(pBuf + nCount, src, k);
      nCount += static_cast<int>(k);
      f.nPos += k + 1;  // the LF is consumed, not stored
      pBuf[nCount] = 0;
      return 1;
    }
    std::memcpy(pBuf + nCount, src, nLook);
    nCount += static_cast<int>(nLook);
    f.nPos += nLook;
  }
  pBuf[nCount] = 0;
  return 1;
}

long FileTableRead(int h, void *pBuf, std::size_t n, long (*pfnFill)(FileSlot &),
                   long (*pfnRaw)(int fd, char *p, std::size_t n)) {
  auto slot = FileLookup(h);
  if (!slot) return -1;
  FileSlot &f = *slot;
  char *out = static_cast<char *>(pBuf);
  std::size_t nDone = 0;
  while (nDone < n) {
    if (!f.bText && f.nPos == f.nLen && n - nDone >= kFileReadBuf) {
      long r = pfnRaw(f.fd, out + nDone, n - nDone);
      if (r < 0) return nDone > 0 ? static_cast<long>(nDone) : -1;
      if (r == 0) break;
      nDone += static_cast<std::size_t>(r);
      continue;
    }
    long nAvail = pfnFill(f);
    if (nAvail < 0) return nDone > 0 ? static_cast<long>(nDone) : -1;
    if (nAvail == 0) break;
    std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(nAvail), n - nDone);
    std::memcpy(out + nDone, f.buf.data() + f.nPos, k);
    f.nPos += k;
    nDone += k;
  }
  return static_cast<long>(nDone);
}
