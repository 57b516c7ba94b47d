// Inside the file layer: the handle table and the read buffer that both
// systems' implementations share. A handle is an index into the table; the
// slot holds the system's descriptor and the bytes read ahead of the caller.
// Not for use outside platform/ (and the test hooks).
#pragma once
#include <cstddef>
#include <memory>
#include <vector>

// The read buffer of a slot; a binary read at least this large with nothing
// buffered goes to the system directly.
constexpr std::size_t kFileReadBuf = 64 * 1024;

struct FileSlot {
  int fd = -1;
  bool bText = false;
  bool bEndSeen = false;  // text mode met 0x1A: no more data, ever
  std::vector<char> buf;
  std::size_t nPos = 0;
  std::size_t nLen = 0;
};

// The slot of a handle; null (errno EBADF) for a handle that is not open.
std::shared_ptr<FileSlot> FileLookup(int h);
// Puts the slot into the first free place of the table; its handle.
int FileTableAdd(std::shared_ptr<FileSlot> slot);
// Takes the slot out of the table; null (errno EBADF) when not open.
std::shared_ptr<FileSlot> FileTableTake(int h);

// Refills the slot's read buffer from the system, with the system's text
// mode applied. Returns the bytes now available, 0 at the end of the data,
// -1 on a read error. Each system's file.cpp defines it.
long FileFill(FileSlot &f);

// PlatReadLine on the slot of h, its buffer refilled by pfnFill (the
// system's FileFill): each system's PlatReadLine passes its own.
int FileTableReadLine(int h, char *pBuf, int nCap, long (*pfnFill)(FileSlot &));

// PlatRead on the slot of h: the buffered bytes, then more through pfnFill;
// a large binary read with nothing buffered goes past the buffer to pfnRaw
// (the system's read of the descriptor: bytes read, 0 at the end, -1).
long FileTableRead(int h, void *pBuf, std::size_t n, long (*pfnFill)(FileSlot &),
                   long (*pfnRaw)(int fd, char *p, std::size_t n));
