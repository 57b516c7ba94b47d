// Clock, sleeping, threads and process exit.
#include "platform/system.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

std::time_t PlatTime() { return std::time(nullptr); }

void PlatLocalTime(std::time_t t, struct std::tm *pTm) { localtime_r(&t, pTm); }

void PlatSleep(unsigned int nMs) {
  std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
}

std::uint64_t PlatTickMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

std::uintptr_t PlatBeginThread(void (*fn)(void *), void *pArg) {
  static std::atomic<std::uintptr_t> nextId{1};
  try {
    std::thread(fn, pArg).detach();
  } catch (const std::system_error &) {
    return 0;
  }
  return nextId++;
}

void PlatExitProcess(int nStatus) {
  std::fflush(nullptr);
  // _exit: workers may still sleep in their final wait; no static
  // destructor may run under them.
  ::_exit(nStatus);
}

namespace {

// The signal itself only counts and writes its number into a pipe: all the
// rest (log entries, locks, messages) happens on StopThread, where it may.
std::atomic<int> g_nStopSignals{0};
int g_ahStopPipe[2] = {-1, -1};
std::atomic<void (*)(int)> g_pfnStop{nullptr};

extern "C" void OnStopSignal(int nSignal) {
  int nSavedErrno = errno;
  if (g_nStopSignals.fetch_add(1) > 0) ::_exit(128 + nSignal);
  unsigned char c = static_cast<unsigned char>(nSignal);
  if (::write(g_ahStopPipe[1], &c, 1) != 1) {
    // Nobody would hear of the stop: end as a second signal would.
    ::_exit(128 + nSignal);
  }
  errno = nSavedErrno;
}

void StopThread() {
  unsigned char c = 0;
  for (;;) {
    ssize_t r = ::read(g_ahStopPipe[0], &c, 1);
    if (r == 1) break;
    if (r < 0 && errno == EINTR) continue;
    return;
  }
  void (*pfn)(int) = g_pfnStop.load();
  if (pfn) pfn(c);
}

}  // namespace

void PlatSetStopHandler(void (*pfnHandler)(int)) {
  g_pfnStop.store(pfnHandler);
  if (g_ahStopPipe[0] >= 0) return;
  if (::pipe2(g_ahStopPipe, O_CLOEXEC) != 0) return;  // the signals keep ending the run
  try {
    std::thread(StopThread).detach();
  } catch (const std::system_error &) {
    return;
  }
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  // Calls that another thread is blocked in go on (the rest of the code
  // also takes EINTR as "again").
  sa.sa_flags = SA_RESTART;
  for (int nSignal : {SIGTERM, SIGINT, SIGHUP}) sigaction(nSignal, &sa, nullptr);
}

namespace {
void WriteAll(int fd, const char *pszText) {
  std::size_t n = std::strlen(pszText);
  while (n > 0) {
    ssize_t w = ::write(fd, pszText, n);
    if (w <= 0) return;
    pszText += w;
    n -= static_cast<std::size_t>(w);
  }
}
}  // namespace

void PlatStderr(const char *pszText) { WriteAll(2, pszText); }

void PlatStdout(const char *pszText) { WriteAll(1, pszText); }

int PlatStderrIsTerminal() { return ::isatty(2) ? 1 : 0; }

int PlatStderrColumns() {
  struct winsize ws {};
  if (::ioctl(2, TIOCGWINSZ, &ws) != 0) return 0;
  return ws.ws_col;
}

const char *PlatUsageText() {
  return "Usage:\n"
         "  tandreldl          in a desktop session: edit the list of DAS units\n"
         "                     (daslist.txt) and download them\n"
         "  tandreldl /AUTO    unattended: download every unit in daslist.txt of the\n"
         "                     current directory, then exit (no display needed)\n"
         "  /AUTO options:\n"
         "    --jobs N           up to N units at once (1 to 256, default 1); units\n"
         "                       with a phone number still dial one at a time\n"
         "    --unit-time-limit SECONDS\n"
         "                       a unit still running after SECONDS is stopped and\n"
         "                       counts as failed (0, the default: no limit)\n"
         "    --quiet            the summary lists only failed units and the totals\n"
         "  tandreldl --help   this text (also -h, /?)\n"
         "  tandreldl --version\n"
         "                     the title and version\n"
         "Everything happens in the current directory: daslist.txt, errorlog.txt,\n"
         "tandreldl.lock and one folder per unit. One run at a time per directory.\n"
         "/AUTO prints one line per unit and a total on standard error and exits\n"
         "with status 0 when it made no error entry, 1 otherwise.\n";
}
