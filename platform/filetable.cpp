// The file layer's handle table and its line readers, the same on every
// system: they work on the read buffer that the system's FileFill fills.
#include "platform/filetable.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/file.h"

namespace {
std::mutex g_tableLock;
std::vector<std::shared_ptr<FileSlot>> g_table;
}  // namespace

std::shared_ptr<FileSlot> FileLookup(int h) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  if (h < 0 || static_cast<std::size_t>(h) >= g_table.size() || !g_table[h]) {
    errno = EBADF;
    return nullptr;
  }
  return g_table[h];
}

int FileTableAdd(std::shared_ptr<FileSlot> slot) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  for (std::size_t i = 0; i < g_table.size(); i++) {
    if (!g_table[i]) {
      g_table[i] = std::move(slot);
      return static_cast<int>(i);
    }
  }
  g_table.push_back(std::move(slot));
  return static_cast<int>(g_table.size() - 1);
}

std::shared_ptr<FileSlot> FileTableTake(int h) {
  std::shared_ptr<FileSlot> slot;
  std::lock_guard<std::mutex> lock(g_tableLock);
  if (h < 0 || static_cast<std::size_t>(h) >= g_table.size() || !g_table[h]) {
    errno = EBADF;
    return nullptr;
  }
  slot.swap(g_table[h]);
  return slot;
}

int PlatReadLine(int h, char *pBuf, int nCap) {
  auto slot = FileLookup(h);
  if (!slot || nCap <= 0) return 0;
  FileSlot &f = *slot;
  int nCount = 0;
  while (nCount < nCap - 1) {
    long nAvail = FileFill(f);
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

int PlatReadLineStr(int h, std::string &out) {
  out.clear();
  auto slot = FileLookup(h);
  if (!slot) return 0;
  FileSlot &f = *slot;
  bool bAny = false;
  for (;;) {
    long nAvail = FileFill(f);
    if (nAvail <= 0) return bAny ? 1 : 0;
    const char *src = f.buf.data() + f.nPos;
    const char *lf = static_cast<const char *>(std::memchr(src, '\n', static_cast<std::size_t>(nAvail)));
    if (lf) {
      std::size_t k = static_cast<std::size_t>(lf - src);
      out.append(src, k);
      f.nPos += k + 1;
      return 1;
    }
    out.append(src, static_cast<std::size_t>(nAvail));
    f.nPos += static_cast<std::size_t>(nAvail);
    bAny = true;
  }
}
