// Speed and memory of the merge.
//
//   BM_PlainCopy           reading the local log and the download and writing
//                          their bytes once (big blocks): the floor.
//   BM_MergeYearPlusDay    the merge of one new day into a year of one-minute
//                          records; goal: at most 2x the plain copy.
//   BM_MergeShuffled/n     a download of n lines in random order into an
//                          empty log: time per line stays flat (n log n).
//   BM_MergePeakMemory     the resident-set peak of one year-plus-day merge
//                          in a fresh process, above what it held before,
//                          against the bytes read.
//
// Flushing to disk is switched off on both sides: the figures are the
// merge's own work, not the disk's.
#include <benchmark/benchmark.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "merge/logset.h"
#include "merge/merge.h"
#include "platform/file.h"

namespace fs = std::filesystem;

namespace {

const long kYearLines = 525600;
const long kDayLines = 1440;

std::string g_dir;
std::string g_self;

// About 110 bytes: the stamp and a handful of metering columns.
void AppendLine(std::string &out, long nMinute, const char *pszTag) {
  long t = 1672531200L + nMinute * 60;  // 2023-01-01 00:00:00 UTC onwards
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  gmtime_r(&tt, &tm);
  char buf[160];
  int n = std::snprintf(buf, sizeof buf,
                        "%04d-%02d-%02d %02d:%02d:%02d,%ld.%03ld,%ld.%02ld,%ld.%02ld,%ld.%01ld,"
                        "%ld.%03ld,230.%02ld,49.9%ld,%s,0x%04lx,%ld.%03ld,%ld.%02ld\r\n",
                        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                        tm.tm_sec, 100000 + nMinute, nMinute % 1000, nMinute % 977, nMinute % 100,
                        nMinute % 311, nMinute % 97, nMinute % 55, nMinute % 10,
                        nMinute % 7001, nMinute % 999, nMinute % 100, nMinute % 10, pszTag,
                        nMinute & 0xffff, 5000000 + nMinute * 3, nMinute % 1000, nMinute % 4099,
                        nMinute % 100);
  out.append(buf, static_cast<std::size_t>(n));
}

void WriteFile(const std::string &path, const std::string &data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
}

// base.log: a year ascending. day.tmp: the next day, its first hour being
// the year's last hour again (duplicates, half of them longer).
void MakeData() {
  if (!g_dir.empty()) return;
  g_dir = (fs::temp_directory_path() / ("merge-bench-" + std::to_string(getpid()))).string();
  fs::create_directories(g_dir + "/SN1");
  std::string log = "time,kwh,kvarh,kw,kvar,pf,v,hz,status,flags\r\n";
  log.reserve(kYearLines * 115);
  for (long i = 0; i < kYearLines; i++) AppendLine(log, i, "ok");
  WriteFile(g_dir + "/base.log", log);
  std::string day = "time,kwh,kvarh,kw,kvar,pf,v,hz,status,flags\r\n";
  for (long i = kYearLines - 60; i < kYearLines - 60 + kDayLines; i++)
    AppendLine(day, i, i % 2 ? "ok" : "okay");
  WriteFile(g_dir + "/day.tmp", day);
}

void PrepareMerge() {
  fs::copy_file(g_dir + "/base.log", g_dir + "/SN1/mb-001.log",
                fs::copy_options::overwrite_existing);
  fs::copy_file(g_dir + "/day.tmp", g_dir + "/dl.tmp", fs::copy_options::overwrite_existing);
}

int RunMerge() {
  char szStatus[64];
  std::string dl = g_dir + "/dl.tmp";
  return MergeLogFile((g_dir + "/SN1").c_str(), 1, dl.c_str(), szStatus, sizeof szStatus, nullptr);
}

void BM_PlainCopy(benchmark::State &state) {
  MakeData();
  std::string out = g_dir + "/copy.out";
  std::unique_ptr<char[]> buf(new char[1 << 20]);
  const char *inputs[] = {"/base.log", "/day.tmp"};
  long long nBytes = 0;
  for (auto _ : state) {
    nBytes = 0;
    int hOut = PlatOpen(out.c_str(), P_O_WRONLY | P_O_CREAT | P_O_TRUNC | P_O_BINARY, 0600);
    for (const char *pszIn : inputs) {
      int hIn = PlatOpen((g_dir + pszIn).c_str(), P_O_RDONLY | P_O_BINARY);
      long n;
      while ((n = PlatRead(hIn, buf.get(), 1 << 20)) > 0) {
        PlatWrite(hOut, buf.get(), static_cast<std::size_t>(n));
        nBytes += n;
      }
      PlatClose(hIn);
    }
    PlatClose(hOut);
  }
  state.SetBytesProcessed(state.iterations() * nBytes);
}

void BM_MergeYearPlusDay(benchmark::State &state) {
  MakeData();
  MergeFlushToDisk = 0;
  long long nBytes = static_cast<long long>(fs::file_size(g_dir + "/base.log") +
                                            fs::file_size(g_dir + "/day.tmp"));
  for (auto _ : state) {
    state.PauseTiming();
    PrepareMerge();
    state.ResumeTiming();
    if (RunMerge() != 1) state.SkipWithError("merge failed");
  }
  state.SetBytesProcessed(state.iterations() * nBytes);
  MergeFlushToDisk = 1;
}

void BM_MergeShuffled(benchmark::State &state) {
  MakeData();
  MergeFlushToDisk = 0;
  std::vector<std::string> lines;
  for (long i = 0; i < state.range(0); i++) {
    std::string l;
    AppendLine(l, i, "ok");
    lines.push_back(l);
  }
  std::mt19937 rng(1);
  std::shuffle(lines.begin(), lines.end(), rng);
  std::string data;
  for (const std::string &l : lines) data += l;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(g_dir + "/SN1/mb-001.log");
    WriteFile(g_dir + "/dl.tmp", data);
    state.ResumeTiming();
    if (RunMerge() != 1) state.SkipWithError("merge failed");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  MergeFlushToDisk = 1;
}

long ProcStatusKb(const char *pszField) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(pszField, 0) == 0) return std::atol(line.c_str() + std::strlen(pszField));
  return -1;
}

// Runs one merge with a second thread sampling the resident set every
// millisecond; the peak above the start, in kB.
long MergeWithPeakSample() {
  long lBefore = ProcStatusKb("VmRSS:");
  std::atomic<bool> bDone{false};
  std::atomic<long> lPeak{lBefore};
  std::thread sampler([&]() {
    while (!bDone.load()) {
      long l = ProcStatusKb("VmRSS:");
      if (l > lPeak.load()) lPeak = l;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  int rc = RunMerge();
  bDone = true;
  sampler.join();
  return rc == 1 ? lPeak.load() - lBefore : -1;
}

// The peak is taken in a fresh process (this program started again): in
// this one the heap is warm from the other benchmarks, and memory it hands
// out again is already resident.
void BM_MergePeakMemory(benchmark::State &state) {
  MakeData();
  long lExtraKb = 0;
  for (auto _ : state) {
    PrepareMerge();
    std::string result = g_dir + "/peak.txt";
    pid_t pid = fork();
    if (pid == 0) {
      execl(g_self.c_str(), g_self.c_str(), "--merge-once", g_dir.c_str(), result.c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream in(result);
    in >> lExtraKb;
  }
  double inputKb = static_cast<double>(fs::file_size(g_dir + "/base.log") +
                                       fs::file_size(g_dir + "/day.tmp")) / 1024.0;
  state.counters["peak_extra_kb"] = static_cast<double>(lExtraKb);
  state.counters["input_kb"] = inputKb;
  state.counters["peak_per_input"] = static_cast<double>(lExtraKb) / inputKb;
}

BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MergeYearPlusDay)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MergeShuffled)->Unit(benchmark::kMillisecond)->Arg(65536)->Arg(262144)->Arg(1048576);
BENCHMARK(BM_MergePeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && std::strcmp(argv[1], "--merge-once") == 0) {
    g_dir = argv[2];
    MergeFlushToDisk = 0;
    long lPeak = MergeWithPeakSample();
    std::ofstream(argv[3]) << lPeak << "\n";
    return lPeak >= 0 ? 0 : 1;
  }
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  g_self.assign(self, n > 0 ? static_cast<std::size_t>(n) : 0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!g_dir.empty()) fs::remove_all(g_dir);
  return 0;
}
