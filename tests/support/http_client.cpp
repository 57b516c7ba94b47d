#include "tests/support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "tools/das-sim/sim.h"

int LoopbackConnect(int nPort) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(nPort));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string LoopbackReadAll(int fd, int nIdleMs, bool *pbClosed, bool *pbError,
                            std::atomic<long> *pnGot) {
  std::string s;
  char buf[65536];
  if (pbClosed) *pbClosed = false;
  if (pbError) *pbError = false;
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, nIdleMs) <= 0) return s;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) {
      if (pbClosed) *pbClosed = true;
      return s;
    }
    if (n < 0) {
      if (pbError) *pbError = true;
      return s;
    }
    s.append(buf, static_cast<size_t>(n));
    if (pnGot) pnGot->store(static_cast<long>(s.size()));
  }
}

std::string LoopbackRequest(const std::string &target, const std::string &password) {
  return "GET " + target + " HTTP/1.0\r\nAuthorization: Basic " + SimBase64("admin:" + password) +
         "\r\n\r\n";
}

LoopbackReply ParseReply(const std::string &raw) {
  LoopbackReply r;
  r.raw = raw;
  size_t e = raw.find("\r\n\r\n");
  size_t nBlank = 4;
  if (e == std::string::npos) {
    e = raw.find("\n\n");
    nBlank = 2;
  }
  if (e == std::string::npos) {
    r.head = raw;
  } else {
    r.head = raw.substr(0, e + nBlank / 2);
    r.body = raw.substr(e + nBlank);
  }
  if (raw.rfind("HTTP/1.", 0) == 0 && raw.size() > 9 && raw[8] == ' ')
    r.nStatus = std::atoi(raw.c_str() + 9);
  return r;
}

LoopbackReply LoopbackSend(int nPort, const std::string &request, std::atomic<long> *pnGot) {
  int fd = LoopbackConnect(nPort);
  if (fd < 0) return LoopbackReply();
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
    ::close(fd);
    return LoopbackReply();
  }
  bool bClosed = false, bError = false;
  std::string raw = LoopbackReadAll(fd, 10000, &bClosed, &bError, pnGot);
  ::close(fd);
  LoopbackReply r = ParseReply(raw);
  r.bClosed = bClosed;
  r.bError = bError;
  return r;
}
