#include "fuzz/fuzz_common.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/sock.h"
#include "platform/testhooks.h"

namespace fs = std::filesystem;

void FuzzCheckFailed(const char *pszWhat, const char *pszFile, int nLine) {
  std::fprintf(stderr, "property failed: %s at %s:%d\n", pszWhat, pszFile, nLine);
  std::abort();
}

void EnterSandbox(const char *pszName) {
  // The program flushes the list and the merged logs to the disk; in memory
  // (/dev/shm) a flush costs nothing, on a disk it costs most of the time.
  std::error_code ec;
  fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                      ? fs::path("/dev/shm")
                      : fs::temp_directory_path();
  std::string templ = (base / (std::string("tandrel-fuzz-") + pszName + "-XXXXXX")).string();
  if (!::mkdtemp(templ.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  fs::current_path(templ);
  // Removed again when the fuzzer ends normally; a crash leaves it for a look.
  static std::string *pDir = new std::string(templ);
  std::atexit([] {
    std::error_code ec;
    fs::current_path(fs::temp_directory_path(), ec);
    fs::remove_all(*pDir, ec);
  });
}

void ClearCurrentDir() {
  std::error_code ec;
  for (auto &e : fs::directory_iterator(".", ec)) fs::remove_all(e.path(), ec);
}

std::vector<std::string> SplitLines(const std::string &data, std::size_t nCap) {
  std::vector<std::string> lines;
  std::string cur;
  for (char c : data) {
    if (c == '\n') {
      lines.push_back(cur);
      cur.clear();
      continue;
    }
    cur += c;
    if (cur.size() == nCap - 1) {
      lines.push_back(cur);
      cur.clear();
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

std::string CText(const std::string &s) { return std::string(s.c_str()); }

SOCKET ServedConnection(const std::string &answer, int *pPeer) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) std::abort();
  // Answers are small (the targets cap their input): one send fits into
  // the pair's buffer, so nobody has to read concurrently.
  std::size_t nDone = 0;
  while (nDone < answer.size()) {
    ssize_t r = ::send(sv[1], answer.data() + nDone, answer.size() - nDone, MSG_NOSIGNAL);
    if (r <= 0) std::abort();
    nDone += (std::size_t)r;
  }
  ::shutdown(sv[1], SHUT_WR);
  *pPeer = sv[1];
  SOCKET s = PlatSocketFromFd(sv[0]);
  if (s == INVALID_SOCKET) std::abort();
  return s;
}

std::string SentTo(int nPeer) {
  std::string got;
  char buf[4096];
  for (;;) {
    ssize_t r = ::recv(nPeer, buf, sizeof buf, MSG_DONTWAIT);
    if (r <= 0) break;
    got.append(buf, (std::size_t)r);
  }
  return got;
}
