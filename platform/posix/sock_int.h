// Inside the POSIX socket layer: the table of sockets and what each entry
// holds, for platform/posix/sock.cpp and the test hooks that hand the layer
// a connection of their own. Not for use elsewhere.
#pragma once
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/types.h"

const std::size_t kRecvBufBytes = 64 * 1024;

struct SockEntry {
  int fd = -1;
  std::mutex muRecv;                 // the receive buffer, for one reader at a time
  std::unique_ptr<char[]> pRecvBuf;  // allocated with the first receive
  std::size_t nRecvPos = 0, nRecvLen = 0;
  int wakefd = -1;
  std::atomic<bool> bClosed{false};
  std::atomic<int> nTimeoutMs{-1};  // -1: wait for ever
  std::atomic<int> nConnectTimeoutMs{-1};  // -1: the system's own limit
  bool bConnected = false;          // made from a connection that exists
  ~SockEntry() {
    if (fd >= 0) ::close(fd);
    if (wakefd >= 0) ::close(wakefd);
  }
};

struct SockTable {
  std::mutex mu;
  std::unordered_map<SOCKET, std::shared_ptr<SockEntry>> map;
  SOCKET nNext = 1;
  std::deque<SOCKET> queued;  // handed out by PlatSocket() before new ones
};

// Never destroyed: a worker may still be inside a socket call when the
// process leaves main().
inline SockTable &SockTableOf() {
  static SockTable *p = new SockTable;
  return *p;
}

// Gives an entry whose descriptor is set its wake-up event and a place in
// the table; INVALID_SOCKET (the error noted) when the event cannot be made.
SOCKET SockAdd(std::shared_ptr<SockEntry> e);

// The calling thread's last socket error (PlatSockLastError).
extern thread_local int g_nSockLastError;
