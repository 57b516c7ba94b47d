// Helpers shared by the download tests: a simulated unit that stops with the
// test, a plain HTTP fetch of what the unit serves (to compare stored files
// with), the error log's entries, and a worker run on the test's thread.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "download/download.h"
#include "log/errorlog.h"
#include "log/testhooks.h"
#include "shell/app.h"
#include "tests/support/testutil.h"
#include "tools/das-sim/sim.h"
#include "util/text.h"

struct SimUnit {
  SimServer *p = nullptr;
  SimConfig cfg;
  explicit SimUnit(const SimConfig &c) : cfg(c) { p = SimStart(c); }
  ~SimUnit() { SimStop(p); }
  SimUnit(const SimUnit &) = delete;
  SimUnit &operator=(const SimUnit &) = delete;
  int Port() const { return SimPort(p); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(Port()); }
};

// GET path from the unit with its password, as a plain client would; the
// body only (the header is cut at its blank line).
inline std::string FetchBody(int nPort, const std::string &path, const std::string &password) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((unsigned short)nPort);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, (sockaddr *)&sa, sizeof sa) != 0) {
    ::close(fd);
    return "<connect failed>";
  }
  std::string req = "GET " + path + " HTTP/1.0\r\nAuthorization: Basic " +
                    SimBase64("admin:" + password) + "\r\n\r\n";
  ssize_t w = ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  (void)w;
  std::string all;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    all.append(buf, (size_t)n);
  }
  ::close(fd);
  size_t pos = all.find("\r\n\r\n");
  if (pos != std::string::npos) return all.substr(pos + 4);
  pos = all.find("\n\n");
  return pos == std::string::npos ? std::string() : all.substr(pos + 2);
}

// Exactly what the program must send for a path.
inline std::string ExpectedRequest(const std::string &path, const std::string &password) {
  return "GET " + path + " HTTP/1.0\r\nAuthorization: Basic " + SimBase64("admin:" + password) +
         "\r\nUser-Agent: Mozilla/4.0 (compatible; " APP_TITLE " " APP_VERSION
         " ; Win32)\r\n\r\n";
}

// Text as the text-mode writer stores it: every LF becomes CR LF.
inline std::string ToCrLf(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

inline std::vector<std::string> LogMessages(const std::string &module) {
  std::vector<std::string> out;
  for (auto &e : ReadLogEntries())
    if (e.module == module) out.push_back(e.message);
  return out;
}

inline bool LogHas(const std::string &message) {
  for (auto &e : ReadLogEntries())
    if (e.message == message) return true;
  return false;
}

// Fresh error log in the current directory, message boxes off.
inline void StartLog() {
  ResetErrorLog();
  OpenErrorLog(1);
}

// Runs one job's worker to its end on the calling thread, without a dialog.
inline void RunWorker(DasRecord *pDas) {
  DownloadFinalWaitMs.store(0);
  DownloadJob *pJob = AllocDownloadJob(pDas, nullptr);
  DownloadThread(pJob);
}

inline bool WaitFor(const std::function<bool()> &pred, int nMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}
