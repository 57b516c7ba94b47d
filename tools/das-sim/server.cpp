// The simulated unit's life: start on a loopback port, one accept thread
// and one thread per connection (at most kMaxConns at a time), a stop that
// ends every connection within kPollMs; what tests read back from it; and
// the black hole, a port that takes no connection at all. A fleet (fleet.cpp)
// opens its units here too but waits on all their ports with one thread.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tools/das-sim/sim_int.h"

using namespace sim;

namespace {

constexpr int kMaxConns = 64;

// The listening address: dotted IPv4 ("127.0.0.1") or IPv6 ("::1", with or
// without brackets), with the port; its length, 0 when it is neither.
socklen_t ListenAddress(const std::string &text, int nPort, sockaddr_storage *pSs) {
  *pSs = sockaddr_storage{};
  std::string host = text;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  auto *p4 = reinterpret_cast<sockaddr_in *>(pSs);
  if (inet_pton(AF_INET, host.c_str(), &p4->sin_addr) == 1) {
    p4->sin_family = AF_INET;
    p4->sin_port = htons(static_cast<uint16_t>(nPort));
    return sizeof *p4;
  }
  auto *p6 = reinterpret_cast<sockaddr_in6 *>(pSs);
  if (inet_pton(AF_INET6, host.c_str(), &p6->sin6_addr) == 1) {
    p6->sin6_family = AF_INET6;
    p6->sin6_port = htons(static_cast<uint16_t>(nPort));
    return sizeof *p6;
  }
  return 0;
}

// The port of a bound socket, either family.
int BoundPort(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
}

void AcceptLoop(SimServer *p) {
  while (!p->bStop.load()) {
    pollfd pfd{p->fdListen, POLLIN, 0};
    if (poll(&pfd, 1, kPollMs) <= 0) {
      ReapConns(p);
      continue;
    }
    if (!AcceptConn(p)) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

}  // namespace

namespace sim {

void ReapConns(SimServer *p) {
  std::lock_guard<std::mutex> lk(p->mtx);
  for (auto it = p->conns.begin(); it != p->conns.end();) {
    if ((*it)->bDone.load()) {
      (*it)->th.join();
      it = p->conns.erase(it);
    } else {
      ++it;
    }
  }
}

bool AcceptConn(SimServer *p) {
  ReapConns(p);
  {
    std::lock_guard<std::mutex> lk(p->mtx);
    if (p->conns.size() >= static_cast<size_t>(kMaxConns)) return false;
  }
  // The listening socket does not block: a client that gave up between the
  // wake-up and here leaves nothing to accept.
  int fd = accept4(p->fdListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return true;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto c = std::make_unique<SimServer::Conn>();
  SimServer::Conn *pc = c.get();
  std::lock_guard<std::mutex> lk(p->mtx);
  p->conns.push_back(std::move(c));
  pc->th = std::thread([p, fd, pc] {
    Serve(p, fd);
    close(fd);
    pc->bDone.store(true);
  });
  return true;
}

SimServer *OpenUnit(const SimConfig &cfg, int nPort) {
  auto p = std::make_unique<SimServer>();
  p->cfg = cfg;
  p->bHtmlForUnknown = cfg.bHtmlForUnknown;
  if (p->cfg.nKind != 2) p->cfg.nKind = 1;
  if (p->cfg.nKind == 2) p->cfg.devices = {1};
  if (!ParseTime(cfg.firstTime, &p->llFirst)) return nullptr;
  for (int n : p->cfg.devices) {
    DeviceLog &l = p->logs[n];
    l.nEnd = std::max(0L, cfg.nRecords);
  }
  sockaddr_storage sa;
  socklen_t nLen = nPort < 0 || nPort > 65535 ? 0 : ListenAddress(cfg.bindAddress, nPort, &sa);
  if (nLen == 0) return nullptr;
  int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), nLen) != 0 || listen(fd, 64) != 0) {
    close(fd);
    return nullptr;
  }
  p->fdListen = fd;
  p->nPort = BoundPort(fd);
  return p.release();
}

void CloseUnit(SimServer *p) {
  p->bStop.store(true);
  // No new connections now; every handler sees the stop within kPollMs.
  std::list<std::unique_ptr<SimServer::Conn>> conns;
  {
    std::lock_guard<std::mutex> lk(p->mtx);
    conns.swap(p->conns);
  }
  for (auto &c : conns) c->th.join();
  close(p->fdListen);
  delete p;
}

}  // namespace sim

SimServer *SimStart(const SimConfig &cfg, int nPort) {
  SimServer *p = OpenUnit(cfg, nPort);
  if (p) p->accepter = std::thread(AcceptLoop, p);
  return p;
}

int SimPort(SimServer *p) { return p ? p->nPort : 0; }

void SimStop(SimServer *p) {
  if (!p) return;
  p->bStop.store(true);
  if (p->accepter.joinable()) p->accepter.join();
  CloseUnit(p);
}

std::vector<std::string> SimRequests(SimServer *p) {
  std::lock_guard<std::mutex> lk(p->mtx);
  return std::vector<std::string>(p->requests.begin(), p->requests.end());
}

std::vector<std::string> SimRequestPaths(SimServer *p) {
  std::vector<std::string> v;
  for (const std::string &r : SimRequests(p)) v.push_back(RequestPath(r));
  return v;
}

void SimClearRequests(SimServer *p) {
  std::lock_guard<std::mutex> lk(p->mtx);
  p->requests.clear();
}

std::string SimLogBody(SimServer *p, int nDevice) {
  long nFrom, nTo;
  {
    std::lock_guard<std::mutex> lk(p->mtx);
    auto it = p->logs.find(nDevice);
    if (it == p->logs.end()) return "";
    nFrom = it->second.nFirst;
    nTo = it->second.nEnd;
  }
  std::string s = LogHeader(p->cfg);
  for (long i = nFrom; i < nTo; i++) s += RecordLine(p->cfg, p->llFirst, nDevice, i);
  return s;
}

long SimLogRecords(SimServer *p, int nDevice) {
  std::lock_guard<std::mutex> lk(p->mtx);
  auto it = p->logs.find(nDevice);
  return it == p->logs.end() ? -1 : it->second.nEnd - it->second.nFirst;
}

int SimDeleteCount(SimServer *p, int nDevice) {
  std::lock_guard<std::mutex> lk(p->mtx);
  auto it = p->logs.find(nDevice);
  return it == p->logs.end() ? 0 : it->second.nDeletes;
}

void SimAdvance(SimServer *p, long nMinutes) {
  std::lock_guard<std::mutex> lk(p->mtx);
  for (auto &kv : p->logs) kv.second.nEnd += std::max(0L, nMinutes);
}

struct SimBlackHole {
  int fdListen = -1;
  int nPort = 0;
  sockaddr_storage addr{};  // where it listens, for its own fillers
  socklen_t nAddrLen = 0;
  std::vector<int> fillers;
};

namespace {

// A listening socket whose accept queue holds a single connection; null
// when it cannot be had.
SimBlackHole *OpenHole(const std::string &bindAddress) {
  sockaddr_storage sa;
  socklen_t nLen = ListenAddress(bindAddress, 0, &sa);
  if (nLen == 0) return nullptr;
  int fd = socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), nLen) != 0 || listen(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  auto *h = new SimBlackHole;
  h->fdListen = fd;
  h->nPort = BoundPort(fd);
  // The fillers connect to the port just bound.
  if (sa.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_port = htons(static_cast<uint16_t>(h->nPort));
  else
    reinterpret_cast<sockaddr_in *>(&sa)->sin_port = htons(static_cast<uint16_t>(h->nPort));
  h->addr = sa;
  h->nAddrLen = nLen;
  return h;
}

// One more connection to each hole in pending; the holes whose connection
// completed stay in pending, the others are full and leave it. A handshake
// on loopback takes microseconds, so one that has not completed within a
// second was dropped. All holes wait that second together, so a fleet's
// hundreds of dead units start as fast as one.
void FillRound(std::vector<SimBlackHole *> *pPending) {
  const size_t nCount = pPending->size();
  std::vector<int> fds(nCount, -1);
  std::vector<pollfd> pfds(nCount, pollfd{-1, POLLOUT, 0});
  for (size_t i = 0; i < nCount; i++) {
    SimBlackHole *h = (*pPending)[i];
    fds[i] = socket(h->addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fds[i] < 0) continue;
    connect(fds[i], reinterpret_cast<const sockaddr *>(&h->addr), h->nAddrLen);
    pfds[i].fd = fds[i];
  }
  std::vector<char> bUp(nCount, 0);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  size_t nLeft = nCount;
  while (nLeft > 0) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (ms.count() <= 0) break;
    int r = poll(pfds.data(), pfds.size(), static_cast<int>(ms.count()));
    if (r < 0 && errno != EINTR) break;
    for (size_t i = 0; r > 0 && i < nCount; i++) {
      if (pfds[i].fd < 0 || !pfds[i].revents) continue;
      bUp[i] = (pfds[i].revents & (POLLERR | POLLHUP)) == 0;
      pfds[i].fd = -1;  // poll passes over it from now on
      nLeft--;
    }
  }
  std::vector<SimBlackHole *> still;
  for (size_t i = 0; i < nCount; i++) {
    SimBlackHole *h = (*pPending)[i];
    if (!bUp[i]) {
      if (fds[i] >= 0) close(fds[i]);
      continue;
    }
    h->fillers.push_back(fds[i]);
    if (h->fillers.size() < 16) still.push_back(h);
  }
  pPending->swap(still);
}

}  // namespace

std::vector<SimBlackHole *> SimStartBlackHoles(const std::vector<std::string> &bindAddresses) {
  std::vector<SimBlackHole *> holes;
  for (const std::string &address : bindAddresses) {
    SimBlackHole *h = OpenHole(address);
    if (!h) {
      for (SimBlackHole *o : holes) SimStopBlackHole(o);
      return {};
    }
    holes.push_back(h);
  }
  // Fill every accept queue with connections nobody accepts; once it is
  // full the kernel drops further handshakes, and a connect waits in vain.
  std::vector<SimBlackHole *> pending = holes;
  while (!pending.empty()) FillRound(&pending);
  return holes;
}

SimBlackHole *SimStartBlackHole(const std::string &bindAddress) {
  std::vector<SimBlackHole *> v = SimStartBlackHoles({bindAddress});
  return v.empty() ? nullptr : v[0];
}

int SimBlackHolePort(SimBlackHole *h) { return h ? h->nPort : 0; }

void SimStopBlackHole(SimBlackHole *h) {
  if (!h) return;
  for (int c : h->fillers) close(c);
  close(h->fdListen);
  delete h;
}

