// Receiving a large log body the way a download does (the request, the
// header, the temporary file, the body loop with its checked writes), on a
// worker thread whose progress refreshes go to a real progress dialog on the
// user-interface thread, against curl fetching the same body from the same
// server into the same directory. Runs alternate between the two so that
// both see the same load; best and median of each are reported. Servers: a
// real nginx serving a 200 MiB log file, the simulated unit, and an
// in-memory server that is never the limit. The goal: at least 0.8 times
// curl's speed.
//
// Run: build-*/bench/download_bench   (prints both rates and their ratios)
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "download/download.h"
#include "log/errorlog.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "platform/window.h"
#include "shell/app.h"
#include "tests/support/nginx_fixture.h"
#include "tests/support/sim_unit.h"
#include "tools/das-sim/sim.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace {

const long kBodyBytes = 200L * 1024 * 1024;
const char *kPath = "/setup/logexport.cgi?MB=1";
// The last one is nginx again, received the way downloads were received
// before: blocks of 4 KiB, each waiting for a refresh of the dialog.
enum { SRC_NGINX, SRC_SIM, SRC_MEM, SRC_NGINX_PER_BLOCK, SRC_COUNT };
const char *kNames[SRC_COUNT] = {"nginx", "simulated unit", "in-memory server",
                                 "nginx, 4 KiB blocks each refreshed"};

std::string LogBody(long nBytes) {
  std::string body = "time,kwh,kw,kvar,pf,v1,v2,v3\n";
  body.reserve((size_t)nBytes + 128);
  const char line[] = "2026-12-01 00:00:00,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16\n";
  while ((long)body.size() < nBytes) body.append(line, sizeof line - 1);
  return body;
}

// A minimal server that answers every request with the same body held in
// memory: it shows what the receiving side can do when the sender is not
// the limit.
struct MemServer {
  int fd = -1;
  unsigned short port = 0;
  std::string body;
  std::thread th;
  std::atomic<bool> bStop{false};
  void Start() {
    body = LogBody(kBodyBytes);
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, (sockaddr *)&sa, sizeof sa);
    ::listen(fd, 8);
    socklen_t len = sizeof sa;
    ::getsockname(fd, (sockaddr *)&sa, &len);
    port = ntohs(sa.sin_port);
    th = std::thread([this] {
      for (;;) {
        int c = ::accept(fd, nullptr, nullptr);
        if (c < 0 || bStop.load()) {
          if (c >= 0) ::close(c);
          return;
        }
        std::string req;
        char buf[1024];
        while (req.find("\r\n\r\n") == std::string::npos) {
          ssize_t n = ::recv(c, buf, sizeof buf, 0);
          if (n <= 0) break;
          req.append(buf, (size_t)n);
        }
        std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n";
        ssize_t w = ::send(c, head.data(), head.size(), MSG_NOSIGNAL);
        for (size_t off = 0; w >= 0 && off < body.size(); off += (size_t)w)
          w = ::send(c, body.data() + off, std::min<size_t>(1 << 20, body.size() - off),
                     MSG_NOSIGNAL);
        ::close(c);
      }
    });
  }
  void Stop() {
    bStop.store(true);
    ::shutdown(fd, SHUT_RDWR);
    th.join();
    ::close(fd);
  }
};

struct Fixture {
  std::unique_ptr<SimUnit> sim;
  SimConfig cfg;
  std::string dir;
  MemServer mem;
  std::unique_ptr<NginxUnit> nginx;
  long nServed[SRC_COUNT] = {};
  std::vector<double> vCurl[SRC_COUNT], vOurs[SRC_COUNT];
  int Port(int nSource) {
    if (nSource == SRC_NGINX || nSource == SRC_NGINX_PER_BLOCK) return nginx ? nginx->Port() : 0;
    return nSource == SRC_SIM ? sim->Port() : mem.port;
  }

  Fixture() {
    dir = (fs::temp_directory_path() / ("tandrel-bench-" + std::to_string(getpid()))).string();
    fs::create_directories(dir + "/DAS000000001");
    fs::current_path(dir);  // the error log and the unit directory go here
    OpenErrorLog(1);
    sim = std::make_unique<SimUnit>(cfg);
    SimSetGeneratedBody(sim->p, kPath, kBodyBytes);
    mem.Start();
    if (!NginxUnit::Binary().empty()) {
      NginxOptions opt;
      opt.password = cfg.password;
      nginx = std::make_unique<NginxUnit>(opt);
      nginx->Put(kPath, LogBody(kBodyBytes));
      std::string err;
      if (!nginx->Start(&err)) {
        std::fprintf(stderr, "nginx did not start, left out: %s\n", err.c_str());
        nginx.reset();
      }
    } else {
      std::fprintf(stderr, "nginx is not installed, left out\n");
    }
  }
  void Cleanup() {
    sim.reset();
    mem.Stop();
    nginx.reset();
    std::error_code ec;
    fs::current_path("/", ec);
    fs::remove_all(dir, ec);
  }
};

Fixture &F() {
  static Fixture *p = new Fixture;
  return *p;
}

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One fetch by curl into dir/curl.out; seconds, or -1 on failure.
double RunCurl(Fixture &f, int nSource) {
  std::string url = "http://127.0.0.1:" + std::to_string(f.Port(nSource)) + kPath;
  std::string auth = "Authorization: Basic " + SimBase64("admin:" + f.cfg.password);
  std::string out = f.dir + "/curl.out";
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    execlp("curl", "curl", "-s", "-0", "-H", auth.c_str(), "-o", out.c_str(), url.c_str(),
           (char *)nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double d = Seconds(t0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  f.nServed[nSource] = (long)fs::file_size(out);
  fs::remove(out);
  return d;
}

// The download of one body on a worker thread, its refreshes answered by a
// progress dialog on this (the user-interface) thread.
struct Transfer {
  DasRecord das{};
  DownloadJob *pJob = nullptr;
  double dSeconds = -1;
  int nEnd = 0;
  long nGot = 0;
  int nBlock = 1 << 16;
};
Transfer *g_pTransfer = nullptr;

void TransferThread(Transfer *t) {
  DownloadJob *pJob = t->pJob;
  auto t0 = std::chrono::steady_clock::now();
  int nStatus = 0;
  int nOk = HttpGet(kPath, pJob, &pJob->sockFile, &nStatus) && nStatus == 200 &&
            CreateTempLogFile(t->das.serialnumber, 1, pJob->szTempFile, sizeof pJob->szTempFile,
                              &pJob->nTempFile);
  t->nEnd = nOk ? ReceiveBody(pJob, &pJob->sockFile, pJob->nTempFile, t->nBlock) : 0;
  if (pJob->nTempFile >= 0) PlatClose(pJob->nTempFile);
  CloseJobSocket(pJob->sockFile);
  t->dSeconds = Seconds(t0);
  t->nGot = (long)PlatFileSize(pJob->szTempFile);
  PlatUnlink(pJob->szTempFile);
  SendMessage(pJob->hDlg, WM_CLOSE, 0, 0);
}

INT_PTR BenchDialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  Transfer *t = g_pTransfer;
  switch (uMsg) {
    case WM_INITDIALOG:
      t->pJob = AllocDownloadJob(&t->das, hDlg);
      t->pJob->cState.store(JOB_RUNNING);
      CurrentJob = t->pJob;
      std::thread(TransferThread, t).detach();
      return TRUE;
    case WM_CLOSE:
      EndDialog(hDlg, 0);
      return TRUE;
    default:
      // The progress refresh is the real dialog's.
      return DownloadDialogProc(hDlg, uMsg, wParam, lParam);
  }
}

double RunDownload(Fixture &f, int nSource) {
  Transfer t;
  std::string addr = "127.0.0.1:" + std::to_string(f.Port(nSource));
  CopyString(t.das.ipaddress, addr.c_str(), sizeof t.das.ipaddress);
  CopyString(t.das.password, f.cfg.password.c_str(), sizeof t.das.password);
  CopyString(t.das.serialnumber, "DAS000000001", sizeof t.das.serialnumber);
  const bool bPerBlock = nSource == SRC_NGINX_PER_BLOCK;
  if (bPerBlock) t.nBlock = 4096;
  DownloadRefreshMs.store(bPerBlock ? 0 : 50);
  g_pTransfer = &t;
  DialogBoxParam(InstanceHandle, "DLG_DOWNLOAD", nullptr, BenchDialogProc, 0);
  g_pTransfer = nullptr;
  CurrentJob = nullptr;
  FreeDownloadJob(t.pJob);
  if (t.nEnd != BODY_COMPLETE || t.nGot != f.nServed[nSource]) return -1;
  return t.dSeconds;
}

// Each iteration fetches the body with curl, then with the download; the
// time reported is the download's, the counters give both rates.
void BM_ReceiveBodyVsCurl(benchmark::State &state) {
  Fixture &f = F();
  const int nSource = (int)state.range(0);
  if (f.Port(nSource) == 0) {
    state.SkipWithError("server not available");
    return;
  }
  for (auto _ : state) {
    double dCurl = RunCurl(f, nSource);
    double dOurs = dCurl < 0 ? -1 : RunDownload(f, nSource);
    if (dCurl < 0 || dOurs < 0) {
      state.SkipWithError(dCurl < 0 ? "curl failed" : "download failed");
      break;
    }
    state.SetIterationTime(dOurs);
    f.vCurl[nSource].push_back(dCurl);
    f.vOurs[nSource].push_back(dOurs);
  }
  double mb = f.nServed[nSource] / (1024.0 * 1024.0);
  double dCurl = *std::min_element(f.vCurl[nSource].begin(), f.vCurl[nSource].end());
  double dOurs = *std::min_element(f.vOurs[nSource].begin(), f.vOurs[nSource].end());
  state.SetBytesProcessed(state.iterations() * f.nServed[nSource]);
  state.counters["curl_MiBps"] = mb / dCurl;
  state.counters["ours_MiBps"] = mb / dOurs;
  state.counters["ratio"] = dCurl / dOurs;
}

BENCHMARK(BM_ReceiveBodyVsCurl)
    ->Arg(SRC_NGINX)
    ->Arg(SRC_SIM)
    ->Arg(SRC_MEM)
    ->Arg(SRC_NGINX_PER_BLOCK)
    ->UseManualTime()
    ->Iterations(7)
    ->Unit(benchmark::kMillisecond);

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  PlatUiInit(0);
  InstanceHandle = PlatGetInstance();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Fixture &f = F();
  for (int i = 0; i < SRC_COUNT; ++i) {
    if (f.vCurl[i].empty() || f.vOurs[i].empty()) continue;
    double mb = f.nServed[i] / (1024.0 * 1024.0);
    double bc = *std::min_element(f.vCurl[i].begin(), f.vCurl[i].end());
    double bo = *std::min_element(f.vOurs[i].begin(), f.vOurs[i].end());
    double mc = Median(f.vCurl[i]), mo = Median(f.vOurs[i]);
    std::printf("%s, body %.1f MiB, %zu runs each: curl best %.3f s (%.0f MiB/s) median %.3f s; "
                "download best %.3f s (%.0f MiB/s) median %.3f s; ratio best %.2f, median %.2f "
                "(goal >= 0.80)\n",
                kNames[i], mb, f.vOurs[i].size(), bc, mb / bc, mc, bo, mb / bo, mo, bc / bo,
                mc / mo);
  }
  f.Cleanup();
  return 0;
}
