// The socket layer under the download worker: a close from another thread
// wakes a blocked call at once, a closed number is dead for good, the
// receive timeout, no SIGPIPE when the peer has gone, and the name look-up
// with its limit and its cancel.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <future>
#include <string>
#include <algorithm>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/sock.h"
#include "platform/testhooks.h"
#include "tests/support/wait.h"

namespace {

// A listening socket on a free loopback port.
struct Listener {
  int fd = -1;
  unsigned short port = 0;
  explicit Listener(int backlog = 8) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, (sockaddr *)&sa, sizeof sa);
    ::listen(fd, backlog);
    socklen_t len = sizeof sa;
    ::getsockname(fd, (sockaddr *)&sa, &len);
    port = ntohs(sa.sin_port);
  }
  ~Listener() { ::close(fd); }
  int Accept() { return ::accept(fd, nullptr, nullptr); }
};

const std::uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A connected pair: the layer's socket and the accepted peer descriptor.
struct Pair {
  Listener l;
  SOCKET s = INVALID_SOCKET;
  int peer = -1;
  Pair() {
    s = PlatSocket();
    EXPECT_EQ(PlatConnect(s, kLoopback, l.port), 0);
    peer = l.Accept();
  }
  ~Pair() {
    PlatCloseSocket(s);
    if (peer >= 0) ::close(peer);
  }
};

TEST(Sock, SendAndReceive) {
  Pair p;
  EXPECT_EQ(PlatSend(p.s, "hello", 5), 5);
  char buf[16] = {};
  EXPECT_EQ(::recv(p.peer, buf, sizeof buf, 0), 5);
  EXPECT_STREQ(buf, "hello");
  EXPECT_EQ(::send(p.peer, "abc", 3, 0), 3);
  EXPECT_EQ(PlatRecv(p.s, buf, sizeof buf), 3);
  ::shutdown(p.peer, SHUT_WR);
  EXPECT_EQ(PlatRecv(p.s, buf, sizeof buf), 0);  // the peer's orderly end
}

TEST(Sock, ReadAheadLosesNothing) {
  // The layer reads ahead from the system; small receives must still see
  // every byte once, in order, then the end.
  Pair p;
  std::string sent;
  for (int i = 0; i < 200000; ++i) sent += (char)('a' + i % 26);
  std::thread writer([&] {
    for (size_t off = 0; off < sent.size(); off += 7000)
      ::send(p.peer, sent.data() + off, std::min<size_t>(7000, sent.size() - off), 0);
    ::shutdown(p.peer, SHUT_WR);
  });
  std::string got;
  char buf[4096];
  size_t sizes[] = {1, 1, 3, 4096, 100, 1};
  for (int i = 0;; ++i) {
    long n = PlatRecv(p.s, buf, sizes[i % 6]);
    ASSERT_GE(n, 0);
    if (n == 0) break;
    ASSERT_LE((size_t)n, sizes[i % 6]);
    got.append(buf, (size_t)n);
  }
  writer.join();
  EXPECT_EQ(got, sent);
}

TEST(Sock, CloseWinsOverDataAlreadyRead) {
  Pair p;
  EXPECT_EQ(::send(p.peer, "abcdef", 6, 0), 6);
  char c;
  EXPECT_EQ(PlatRecv(p.s, &c, 1), 1);  // the rest now waits inside the layer
  PlatCloseSocket(p.s);
  EXPECT_EQ(PlatRecv(p.s, &c, 1), SOCKET_ERROR);
  p.s = INVALID_SOCKET;
}

TEST(Sock, InetAddr) {
  EXPECT_EQ(PlatInetAddr("127.0.0.1"), kLoopback);
  EXPECT_EQ(PlatInetAddr("300.1.1.1"), 0xffffffffu);
  EXPECT_EQ(PlatInetAddr("127.0.0.1:80"), 0xffffffffu);
  EXPECT_EQ(PlatInetAddr(nullptr), 0xffffffffu);
}

TEST(Sock, ConnectFailures) {
  SOCKET s = PlatSocket();
  EXPECT_EQ(PlatConnect(s, 0xffffffffu, 80), SOCKET_ERROR);
  PlatCloseSocket(s);
  // A port nobody listens on: refused.
  Listener l;
  unsigned short nDead = l.port;
  ::close(l.fd);
  l.fd = -1;
  s = PlatSocket();
  EXPECT_EQ(PlatConnect(s, kLoopback, nDead), SOCKET_ERROR);
  EXPECT_EQ(PlatSockLastError(), PLAT_ECONNREFUSED);
  PlatCloseSocket(s);
}

TEST(Sock, ClosedNumberIsNeverUsedAgain) {
  Pair p;
  SOCKET old = p.s;
  EXPECT_EQ(PlatCloseSocket(old), 0);
  EXPECT_EQ(PlatCloseSocket(old), SOCKET_ERROR);  // closed once only
  char c;
  EXPECT_EQ(PlatRecv(old, &c, 1), SOCKET_ERROR);
  EXPECT_EQ(PlatSend(old, "x", 1), SOCKET_ERROR);
  EXPECT_EQ(PlatSetRecvTimeout(old, 10), SOCKET_ERROR);
  // New sockets (and files) never get the old number.
  std::vector<SOCKET> v;
  for (int i = 0; i < 50; ++i) v.push_back(PlatSocket());
  for (SOCKET s : v) {
    EXPECT_NE(s, old);
    EXPECT_NE(s, INVALID_SOCKET);
    PlatCloseSocket(s);
  }
  EXPECT_EQ(PlatRecv(INVALID_SOCKET, &c, 1), SOCKET_ERROR);
  p.s = INVALID_SOCKET;
}

TEST(Sock, CloseWakesBlockedReceive) {
  Pair p;
  auto fut = std::async(std::launch::async, [&] {
    char buf[64];
    long r = PlatRecv(p.s, buf, sizeof buf);
    return std::make_pair(r, PlatSockLastError());
  });
  // Give the receive time to block (it would wait for ever: no timeout set).
  EXPECT_EQ(fut.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  PlatCloseSocket(p.s);
  ASSERT_EQ(fut.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto [r, err] = fut.get();
  EXPECT_EQ(r, SOCKET_ERROR);  // a cancel, not the unit's end of body
  EXPECT_NE(err, 0);
  p.s = INVALID_SOCKET;
}

TEST(Sock, CloseWakesBlockedConnect) {
  // A listener that never accepts, its queue filled: the next connect's
  // SYN goes unanswered and the connect waits.
  Listener l(0);
  std::vector<int> fill;
  for (int i = 0; i < 8; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(l.port);
    sa.sin_addr.s_addr = kLoopback;
    ::connect(fd, (sockaddr *)&sa, sizeof sa);
    fill.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SOCKET s = PlatSocket();
  auto fut = std::async(std::launch::async, [&] { return PlatConnect(s, kLoopback, l.port); });
  EXPECT_EQ(fut.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  PlatCloseSocket(s);
  ASSERT_EQ(fut.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(fut.get(), SOCKET_ERROR);
  for (int fd : fill) ::close(fd);
}

TEST(Sock, ReceiveTimeout) {
  Pair p;
  EXPECT_EQ(PlatSetRecvTimeout(p.s, 150), 0);
  char buf[8];
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(PlatRecv(p.s, buf, sizeof buf), SOCKET_ERROR);
  EXPECT_EQ(PlatSockLastError(), PLAT_EWOULDBLOCK);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140));
  // Data that arrives within the time is received.
  EXPECT_EQ(::send(p.peer, "z", 1, 0), 1);
  EXPECT_EQ(PlatRecv(p.s, buf, sizeof buf), 1);
}

TEST(Sock, SendToVanishedPeerFailsWithoutSignal) {
  Pair p;
  // An abortive close by the peer; the next sends fail instead of raising
  // SIGPIPE (which would end the test program).
  linger lg{1, 0};
  ::setsockopt(p.peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(p.peer);
  p.peer = -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  long r = 0;
  for (int i = 0; i < 10 && r != SOCKET_ERROR; ++i) r = PlatSend(p.s, "data", 4);
  EXPECT_EQ(r, SOCKET_ERROR);
}

TEST(Sock, ManyThreadsCloseTheSameNumberOnce) {
  for (int round = 0; round < 20; ++round) {
    SOCKET s = PlatSocket();
    std::atomic<int> nOk{0};
    std::vector<std::thread> t;
    for (int i = 0; i < 4; ++i)
      t.emplace_back([&] {
        if (PlatCloseSocket(s) == 0) nOk.fetch_add(1);
      });
    for (auto &th : t) th.join();
    EXPECT_EQ(nOk.load(), 1);
  }
}

// A connection made elsewhere, here one end of a socket pair, taken over by
// the layer: it behaves like a connected socket of its own, and a queued one
// is what the next PlatSocket() hands out.
TEST(Sock, ExistingConnectionIsTakenOverAndQueued) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  SOCKET s = PlatSocketFromFd(sv[0]);
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(PlatConnect(s, 0xffffffffu, 80), 0);  // connected already
  EXPECT_EQ(PlatSend(s, "ping", 4), 4);
  char buf[16] = {};
  EXPECT_EQ(::recv(sv[1], buf, sizeof buf, 0), 4);
  EXPECT_STREQ(buf, "ping");
  EXPECT_EQ(::send(sv[1], "pong", 4, 0), 4);
  EXPECT_EQ(PlatRecv(s, buf, sizeof buf), 4);

  // Queued: PlatSocket() hands out the queued numbers first, in order, then
  // new sockets again.
  int sv2[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv2), 0);
  SOCKET s2 = PlatSocketFromFd(sv2[0]);
  EXPECT_EQ(PlatQueueSocket(s), 0);
  EXPECT_EQ(PlatQueueSocket(s2), 0);
  EXPECT_EQ(PlatSocket(), s);
  EXPECT_EQ(PlatSocket(), s2);
  SOCKET sNew = PlatSocket();
  EXPECT_NE(sNew, s);
  EXPECT_NE(sNew, s2);
  PlatCloseSocket(sNew);
  EXPECT_EQ(PlatQueueSocket(sNew), SOCKET_ERROR);  // closed: not queued

  // A close from another thread wakes a blocked receive, as for any socket.
  auto fut = std::async(std::launch::async, [&] {
    char c;
    return PlatRecv(s, &c, 1);
  });
  EXPECT_EQ(fut.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  PlatCloseSocket(s);
  ASSERT_EQ(fut.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(fut.get(), SOCKET_ERROR);
  EXPECT_EQ(::recv(sv[1], buf, sizeof buf, 0), 0);  // the layer closed its end

  // Sockets queued and never taken are closed by clearing the queue.
  EXPECT_EQ(PlatQueueSocket(s2), 0);
  EXPECT_EQ(PlatClearSocketQueue(), 1);
  EXPECT_EQ(::recv(sv2[1], buf, sizeof buf, 0), 0);
  SOCKET sAfter = PlatSocket();
  EXPECT_NE(sAfter, s2);
  PlatCloseSocket(sAfter);
  ::close(sv[1]);
  ::close(sv2[1]);
  EXPECT_EQ(PlatSocketFromFd(-1), INVALID_SOCKET);
}

// A look-up that answers only when the test lets it, as a name server that
// does not answer; it then gives one address.
std::mutex g_mxLookup;
std::condition_variable g_cvLookup;
bool g_bReleased = false;
std::atomic<int> g_nLookups{0};
int HeldLookup(const char *, unsigned short nPort, PlatAddrList *pList) {
  g_nLookups.fetch_add(1);
  std::unique_lock<std::mutex> lock(g_mxLookup);
  g_cvLookup.wait(lock, [] { return g_bReleased; });
  pList->nAddrs = 1;
  pList->aAddr[0] = PlatAddr{PLAT_AF_INET, {127, 0, 0, 1}, nPort};
  return 0;
}
void ReleaseLookups() {
  std::lock_guard<std::mutex> lock(g_mxLookup);
  g_bReleased = true;
  g_cvLookup.notify_all();
}

// The system's resolver for names it knows and names that never resolve.
TEST(Sock, ResolveNames) {
  SOCKET s = PlatSocket();
  PlatAddrList list{};
  ASSERT_EQ(PlatResolve(s, "localhost", 8080, 5000, &list), 0);
  ASSERT_GE(list.nAddrs, 1);
  bool bLoopback = false;
  for (int i = 0; i < list.nAddrs; i++) {
    char sz[64];
    PlatAddrText(&list.aAddr[i], sz, sizeof sz);
    bLoopback |= std::string(sz) == "127.0.0.1:8080" || std::string(sz) == "[::1]:8080";
    EXPECT_EQ(list.aAddr[i].nPort, 8080);
  }
  EXPECT_TRUE(bLoopback);
  for (const char *psz : {"unit.invalid", "DAS-1.Site.INVALID.", "invalid"}) {
    SCOPED_TRACE(psz);
    EXPECT_EQ(PlatResolve(s, psz, 80, 5000, &list), SOCKET_ERROR);
    EXPECT_EQ(PlatSockLastError(), PLAT_EHOSTNOTFOUND);
    EXPECT_EQ(list.nAddrs, 0);
  }
  PlatCloseSocket(s);
  // A closed socket has no one left to wait for the answer.
  EXPECT_EQ(PlatResolve(s, "localhost", 80, 5000, &list), SOCKET_ERROR);
}

// A resolver that does not answer holds the caller no longer than its
// limit, and not at all once another thread closes the caller's socket;
// the answers that come later are dropped.
TEST(Sock, ResolveIsBoundedAndCancelled) {
  PlatSetLookup(HeldLookup);
  SOCKET s = PlatSocket();
  PlatAddrList list{};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(PlatResolve(s, "unit.example", 80, 200, &list), SOCKET_ERROR);
  EXPECT_EQ(PlatSockLastError(), PLAT_ETIMEDOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));
  auto fut = std::async(std::launch::async, [&] {
    PlatAddrList l{};
    return PlatResolve(s, "unit.example", 80, 600000, &l);
  });
  EXPECT_EQ(fut.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  PlatCloseSocket(s);
  ASSERT_EQ(fut.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(fut.get(), SOCKET_ERROR);
  EXPECT_TRUE(WaitFor([] { return g_nLookups.load() == 2; }));
  ReleaseLookups();
  // Released: the next look-up answers, the late ones went nowhere.
  s = PlatSocket();
  EXPECT_EQ(PlatResolve(s, "unit.example", 81, 5000, &list), 0);
  ASSERT_EQ(list.nAddrs, 1);
  char sz[64];
  PlatAddrText(&list.aAddr[0], sz, sizeof sz);
  EXPECT_STREQ(sz, "127.0.0.1:81");
  PlatCloseSocket(s);
  PlatSetLookup(nullptr);
}

// An IPv6 socket connects to an IPv6 address.
TEST(Sock, ConnectToIpv6Loopback) {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_addr = in6addr_loopback;
  if (fd < 0 || ::bind(fd, (sockaddr *)&sa, sizeof sa) != 0 || ::listen(fd, 4) != 0) {
    if (fd >= 0) ::close(fd);
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd, (sockaddr *)&sa, &len);
  PlatAddr a{PLAT_AF_INET6, {}, ntohs(sa.sin6_port)};
  a.abAddr[15] = 1;
  char sz[64];
  PlatAddrText(&a, sz, sizeof sz);
  EXPECT_EQ(std::string(sz), "[::1]:" + std::to_string(a.nPort));
  SOCKET s = PlatSocket(PLAT_AF_INET6);
  ASSERT_EQ(PlatConnectTo(s, &a), 0);
  int peer = ::accept(fd, nullptr, nullptr);
  EXPECT_EQ(PlatSend(s, "six", 3), 3);
  char buf[8] = {};
  EXPECT_EQ(::recv(peer, buf, sizeof buf, 0), 3);
  EXPECT_STREQ(buf, "six");
  PlatCloseSocket(s);
  ::close(peer);
  ::close(fd);
}

}  // namespace
