// Receiving a large log body: the download's body loop (blocks of 4096
// bytes, a progress refresh and a file write per block) against curl
// fetching the same body from the same simulated unit into the same
// directory. The goal: at least 0.8 times curl's speed.
//
// Run: build-*/bench/download_bench   (prints both rates and their ratio)
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "download/download.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "shell/errorlog.h"
#include "tools/das-sim/sim.h"
#include "util/text.h"

namespace fs = std::filesystem;

namespace {

const long kBodyBytes = 100L * 1024 * 1024;
const char *kPath = "/setup/logexport.cgi?MB=1";

// A minimal server that answers every request with the same 100 MiB body
// held in memory: it shows what the receiving side can do when the sender
// is not the limit (the simulated unit generates its records as it goes).
struct MemServer {
  int fd = -1;
  unsigned short port = 0;
  std::string body;
  std::thread th;
  std::atomic<bool> bStop{false};
  void Start() {
    body.reserve(kBodyBytes);
    const char line[] = "2026-12-01 00:00:00,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16\n";
    while ((long)body.size() < kBodyBytes) body.append(line, sizeof line - 1);
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
        std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
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
  SimServer *pSim = nullptr;
  SimConfig cfg;
  std::string dir;
  MemServer mem;
  long nServed[2] = {0, 0};
  double dBestCurl[2] = {1e9, 1e9}, dBestOurs[2] = {1e9, 1e9};
  int Port(int nSource) { return nSource == 0 ? SimPort(pSim) : mem.port; }

  Fixture() {
    dir = (fs::temp_directory_path() / ("tandrel-bench-" + std::to_string(getpid()))).string();
    fs::create_directories(dir + "/DAS000000001");
    fs::current_path(dir);  // the error log and the unit directory go here
    OpenErrorLog(1);
    pSim = SimStart(cfg);
    SimSetGeneratedBody(pSim, kPath, kBodyBytes);
    mem.Start();
  }
  void Cleanup() {
    SimStop(pSim);
    pSim = nullptr;
    mem.Stop();
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

// One download of the body the way DownloadLogFile receives it: the
// request, the header, the temporary file, the body loop. Seconds, or -1.
double RunDownload(Fixture &f, int nSource) {
  DasRecord das{};
  std::string addr = "127.0.0.1:" + std::to_string(f.Port(nSource));
  CopyString(das.ipaddress, addr.c_str(), sizeof das.ipaddress);
  CopyString(das.password, f.cfg.password.c_str(), sizeof das.password);
  CopyString(das.serialnumber, "DAS000000001", sizeof das.serialnumber);
  DownloadJob *pJob = AllocDownloadJob(&das, nullptr);  // no dialog: refreshes cost nothing
  pJob->cState.store(JOB_RUNNING);
  auto t0 = std::chrono::steady_clock::now();
  int nStatus = 0;
  int nOk = HttpGet(kPath, pJob, &pJob->sockFile, &nStatus) && nStatus == 200 &&
            CreateTempLogFile(das.serialnumber, 1, pJob->szTempFile, sizeof pJob->szTempFile,
                              &pJob->nTempFile);
  int nEnd = nOk ? ReceiveBody(pJob, &pJob->sockFile, pJob->nTempFile, 4096) : 0;
  if (pJob->nTempFile >= 0) PlatClose(pJob->nTempFile);
  CloseJobSocket(pJob->sockFile);
  double d = Seconds(t0);
  long nGot = (long)PlatFileSize(pJob->szTempFile);
  PlatUnlink(pJob->szTempFile);
  FreeDownloadJob(pJob);
  if (nEnd != BODY_COMPLETE || nGot != f.nServed[nSource]) return -1;
  return d;
}

// Each iteration fetches the body with curl, then with the download, so
// that both see the same load on the machine; the time reported is the
// download's, the counters give both rates (best of the iterations).
void BM_ReceiveBodyVsCurl(benchmark::State &state) {
  Fixture &f = F();
  const int nSource = (int)state.range(0);
  for (auto _ : state) {
    double dCurl = RunCurl(f, nSource);
    double dOurs = dCurl < 0 ? -1 : RunDownload(f, nSource);
    if (dCurl < 0 || dOurs < 0) {
      state.SkipWithError(dCurl < 0 ? "curl failed" : "download failed");
      break;
    }
    state.SetIterationTime(dOurs);
    f.dBestCurl[nSource] = std::min(f.dBestCurl[nSource], dCurl);
    f.dBestOurs[nSource] = std::min(f.dBestOurs[nSource], dOurs);
  }
  double mb = f.nServed[nSource] / (1024.0 * 1024.0);
  state.SetBytesProcessed(state.iterations() * f.nServed[nSource]);
  state.counters["curl_MiBps"] = mb / f.dBestCurl[nSource];
  state.counters["ours_MiBps"] = mb / f.dBestOurs[nSource];
  state.counters["ratio"] = f.dBestCurl[nSource] / f.dBestOurs[nSource];
}

// Argument: 0 = the simulated unit, 1 = the in-memory server.
BENCHMARK(BM_ReceiveBodyVsCurl)->Arg(0)->Arg(1)->UseManualTime()->Iterations(8)->Unit(
    benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Fixture &f = F();
  const char *names[2] = {"simulated unit", "in-memory server"};
  for (int i = 0; i < 2; ++i) {
    if (f.dBestCurl[i] >= 1e9 || f.dBestOurs[i] >= 1e9) continue;
    double mb = f.nServed[i] / (1024.0 * 1024.0);
    std::printf("%s, body %.1f MiB: curl best %.3f s (%.0f MiB/s), download best %.3f s "
                "(%.0f MiB/s), ratio %.2f (goal >= 0.80)\n",
                names[i], mb, f.dBestCurl[i], mb / f.dBestCurl[i], f.dBestOurs[i],
                mb / f.dBestOurs[i], f.dBestCurl[i] / f.dBestOurs[i]);
  }
  f.Cleanup();
  return 0;
}
