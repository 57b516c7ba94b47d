// Speed and memory of the merge.
//
//   BM_PlainCopy           reading the local log and the download and writing
//                          their bytes once (big blocks): the floor.
//   BM_MergeYearPlusDay    the merge of one new day into a year of one-minute
//                          records; goal: at most 2x the plain copy.
//   BM_MergeShuffled/n     a download of n lines in random order into an
//                          empty log: time per line stays flat (n log n).
//   BM_MergePeakMemory/k   the resident-set peak of one merge in a fresh
//                          process, above what it held before, against the
//                          bytes read (goal: at most 1.5x): k = 0 the
//                          year-plus-day merge, 1 the year downloaded in
//                          random order into no local log, 2 the year
//                          downloaded again, descending, over the year.
//   BM_MergeSmallFiles     many small merges (a fuzzer's diet): the cost of
//                          one must not be that of megabyte buffers.
//
// Then the nightly comparison (--nights=N, default 7; --nightly-only skips
// the benchmarks above): a five-year one-minute local log, written by a
// merge, gets one new day per night. Each round runs, on the same bytes and
// interleaved, `cat log >/dev/null`, `sort -m -u log day -o out` (C
// locale), a merge that may append (the nightly case) and a merge held to
// the full rewrite (as before the append existed). It prints best and
// median of each, the ratios (goals for the nightly merge: <= 5x cat and
// <= 0.5x sort), the bytes each merge wrote and read, and the peak of the
// resident set above the start of one merge of each kind in a fresh
// process, against the bytes it read (goal: <= 1.5x).
//
// Then the re-sent nights (--resent-rounds=N, default 3; --resent-only runs
// only these): local logs of 1, 5 and 10 years, each first made by one full
// merge (timed against `cat` of the history), then per round and
// interleaved: the append night (the next day alone) against `cat` of log
// and day, the overlapping night (the last 30 days again plus the next day,
// what a unit that keeps its log sends) against `cat` of log and download,
// and the same overlapping night held to the full rewrite. Best and median
// of each, bytes written per night against the download, whether the log
// was rewritten (a new file) and the overlapping night's peak memory in a
// fresh process against the bytes it read. Goals: overlapping night <= 2x
// cat, log not rewritten, bytes written <= 3x the download, 1 year against
// 10 years within 1.5x, peak <= 1.5x the bytes read. By default the logs
// hold a record every 10 minutes so that a run stays short; --full (or
// MERGE_BENCH_FULL=1) uses one-minute records (the 5-year log is ~290 MB).
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
#include <cstdlib>
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

// The year's lines in random order (nMode 1) or descending (2), made once.
std::string OutOfOrderYear(int nMode) {
  std::string path = g_dir + (nMode == 1 ? "/shuffled.tmp" : "/descending.tmp");
  if (fs::exists(path)) return path;
  std::vector<long> order(kYearLines);
  for (long i = 0; i < kYearLines; i++) order[i] = nMode == 1 ? i : kYearLines - 1 - i;
  if (nMode == 1) std::shuffle(order.begin(), order.end(), std::mt19937(3));
  std::string data = "time,kwh,kvarh,kw,kvar,pf,v,hz,status,flags\r\n";
  data.reserve(kYearLines * 115);
  for (long i : order) AppendLine(data, i, "again");
  WriteFile(path, data);
  return path;
}

// The inputs of one merge: nMode 0 the year and a day, 1 a shuffled year and
// no local log, 2 the year and the year again, descending.
void PrepareMerge(int nMode = 0) {
  fs::remove(g_dir + "/SN1/mb-001.state");
  if (nMode == 1)
    fs::remove(g_dir + "/SN1/mb-001.log");
  else
    fs::copy_file(g_dir + "/base.log", g_dir + "/SN1/mb-001.log",
                  fs::copy_options::overwrite_existing);
  fs::copy_file(nMode ? OutOfOrderYear(nMode) : g_dir + "/day.tmp", g_dir + "/dl.tmp",
                fs::copy_options::overwrite_existing);
}

long long MergeInputBytes() {
  std::error_code ec;
  long long n = static_cast<long long>(fs::file_size(g_dir + "/dl.tmp", ec));
  if (fs::exists(g_dir + "/SN1/mb-001.log"))
    n += static_cast<long long>(fs::file_size(g_dir + "/SN1/mb-001.log", ec));
  return n;
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

// Runs one merge; the peak of the resident set (the kernel's high-water
// mark, which no sampling can miss) above the start, in kB.
long MergeWithPeak() {
  long lBefore = ProcStatusKb("VmRSS:");
  int rc = RunMerge();
  return rc == 1 ? ProcStatusKb("VmHWM:") - lBefore : -1;
}

// The peak is taken in a fresh process (this program started again): in
// this one the heap is warm from the other benchmarks, and memory it hands
// out again is already resident.
void BM_MergePeakMemory(benchmark::State &state) {
  MakeData();
  long lExtraKb = 0;
  const int nMode = static_cast<int>(state.range(0));
  double inputKb = 0;
  for (auto _ : state) {
    PrepareMerge(nMode);
    inputKb = static_cast<double>(MergeInputBytes()) / 1024.0;
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
  state.counters["peak_extra_kb"] = static_cast<double>(lExtraKb);
  state.counters["input_kb"] = inputKb;
  state.counters["peak_per_input"] = static_cast<double>(lExtraKb) / inputKb;
}

void BM_MergeSmallFiles(benchmark::State &state) {
  MakeData();
  MergeFlushToDisk = 0;
  std::string small = "time,kwh\r\n";
  for (long i = 0; i < 8; i++) AppendLine(small, i, "ok");
  std::string dir = g_dir + "/SMALL";
  fs::create_directories(dir);
  std::string dl = dir + "/dl.tmp";
  char szStatus[64];
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(dir + "/mb-001.log");
    fs::remove(dir + "/mb-001.state");
    WriteFile(dl, small);
    state.ResumeTiming();
    if (MergeLogFile(dir.c_str(), 1, dl.c_str(), szStatus, sizeof szStatus, nullptr) != 1)
      state.SkipWithError("merge failed");
  }
  state.SetItemsProcessed(state.iterations());
  MergeFlushToDisk = 1;
}

BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MergeYearPlusDay)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MergeShuffled)->Unit(benchmark::kMillisecond)->Arg(65536)->Arg(262144)->Arg(1048576);
BENCHMARK(BM_MergePeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1)->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(BM_MergeSmallFiles)->Unit(benchmark::kMicrosecond);

// ---- The nightly comparison ----

const long kFiveYearLines = 5 * kYearLines;

struct Samples {
  std::vector<double> v;
  double Best() const { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }
  double Median() const {
    if (v.empty()) return 0;
    std::vector<double> w = v;
    std::sort(w.begin(), w.end());
    return w.size() % 2 ? w[w.size() / 2] : (w[w.size() / 2 - 1] + w[w.size() / 2]) / 2;
  }
};

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double TimeCommand(const std::string &cmd) {
  auto t0 = std::chrono::steady_clock::now();
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", cmd.c_str());
  return Seconds(t0);
}

// Bytes this process passed to read and write calls so far.
void IoCounts(long long *pRead, long long *pWritten) {
  std::ifstream in("/proc/self/io");
  std::string key;
  long long v;
  *pRead = *pWritten = 0;
  while (in >> key >> v) {
    if (key == "rchar:") *pRead = v;
    if (key == "wchar:") *pWritten = v;
  }
}

std::string DayFile(long nFirstMinute) {
  std::string day = "time,kwh,kvarh,kw,kvar,pf,v,hz,status,flags\r\n";
  for (long i = nFirstMinute; i < nFirstMinute + kDayLines; i++) AppendLine(day, i, "ok");
  return day;
}

// One merge of dayfile into dir/SN1 in this (fresh) process: the peak of
// the resident set above the start, in kB, and the bytes read.
int NightOnce(const char *pszDir, const char *pszDay, int bAppend, const char *pszResult) {
  MergeFlushToDisk = 0;
  MergeAppendToLog = bAppend;
  long lBefore = ProcStatusKb("VmRSS:");
  long long r0, w0, r1, w1;
  IoCounts(&r0, &w0);
  char szStatus[64];
  int rc = MergeLogFile((std::string(pszDir) + "/SN1").c_str(), 1, pszDay, szStatus,
                        sizeof szStatus, nullptr);
  IoCounts(&r1, &w1);
  long lPeak = ProcStatusKb("VmHWM:");
  std::ofstream(pszResult) << (lPeak - lBefore) << " " << (r1 - r0) << " " << (w1 - w0) << "\n";
  return rc == 1 ? 0 : 1;
}

void PeakInFreshProcess(const std::string &dir, const std::string &day, int bAppend,
                        long *plKb, long long *pllRead) {
  std::string result = dir + "/night-peak.txt";
  pid_t pid = fork();
  if (pid == 0) {
    execl(g_self.c_str(), g_self.c_str(), "--night-once", dir.c_str(), day.c_str(),
          bAppend ? "1" : "0", result.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  long long llWritten = 0;
  std::ifstream in(result);
  in >> *plKb >> *pllRead >> llWritten;
}

void RunNightly(int nNights) {
  std::string dir = (fs::temp_directory_path() / ("merge-nightly-" + std::to_string(getpid()))).string();
  fs::create_directories(dir + "/SN1");
  std::string log = dir + "/SN1/mb-001.log";
  {
    std::string base = "time,kwh,kvarh,kw,kvar,pf,v,hz,status,flags\r\n";
    base.reserve(static_cast<std::size_t>(kFiveYearLines) * 116);
    for (long i = 0; i < kFiveYearLines; i++) AppendLine(base, i, "ok");
    WriteFile(dir + "/base.tmp", base);
  }
  MergeFlushToDisk = 0;
  char szStatus[64];
  if (MergeLogFile((dir + "/SN1").c_str(), 1, (dir + "/base.tmp").c_str(), szStatus,
                   sizeof szStatus, nullptr) != 1) {
    std::fprintf(stderr, "nightly: the first merge failed\n");
    return;
  }
  std::printf("\nNightly merge of one day (%ld lines) into a five-year log (%ld lines, %.1f MB)\n",
              kDayLines, kFiveYearLines, static_cast<double>(fs::file_size(log)) / 1e6);

  Samples cat, sort, fast, full;
  long long llFastWritten = 0, llFullWritten = 0, llFastRead = 0, llFullRead = 0;
  long nNext = kFiveYearLines;
  const std::string day = dir + "/day.tmp", ref = dir + "/day.ref";
  for (int night = 0; night < nNights; night++) {
    // The references, on the bytes of this night's merge.
    WriteFile(day, DayFile(nNext));
    fs::copy_file(day, ref, fs::copy_options::overwrite_existing);
    cat.v.push_back(TimeCommand("cat '" + log + "' >/dev/null"));
    sort.v.push_back(TimeCommand("LC_ALL=C sort -m -u '" + log + "' '" + ref + "' -o '" + dir +
                                 "/sorted.out'"));
    for (int bAppend = 1; bAppend >= 0; bAppend--) {
      if (!bAppend) WriteFile(day, DayFile(nNext));
      MergeAppendToLog = bAppend;
      long long r0, w0, r1, w1;
      IoCounts(&r0, &w0);
      auto t0 = std::chrono::steady_clock::now();
      int rc = MergeLogFile((dir + "/SN1").c_str(), 1, day.c_str(), szStatus, sizeof szStatus,
                            nullptr);
      double dt = Seconds(t0);
      IoCounts(&r1, &w1);
      if (rc != 1) std::fprintf(stderr, "nightly: a merge failed\n");
      (bAppend ? fast : full).v.push_back(dt);
      (bAppend ? llFastWritten : llFullWritten) = w1 - w0;
      (bAppend ? llFastRead : llFullRead) = r1 - r0;
      nNext += kDayLines;
    }
    MergeAppendToLog = 1;
  }
  auto Row = [](const char *pszName, const Samples &s) {
    std::printf("  %-34s best %9.2f ms   median %9.2f ms\n", pszName, s.Best() * 1e3,
                s.Median() * 1e3);
  };
  std::printf("%d rounds, each: cat, sort, nightly merge, full merge\n", nNights);
  Row("cat log >/dev/null", cat);
  Row("sort -m -u log day -o out", sort);
  Row("merge, nightly (append)", fast);
  Row("merge, full rewrite (before)", full);
  auto Ratio = [](const char *pszName, const Samples &a, const Samples &b) {
    std::printf("  %-34s best %7.3fx   median %7.3fx\n", pszName, a.Best() / b.Best(),
                a.Median() / b.Median());
  };
  Ratio("nightly / cat  (goal <= 5x)", fast, cat);
  Ratio("nightly / sort (goal <= 0.5x)", fast, sort);
  Ratio("full / cat", full, cat);
  Ratio("full / sort", full, sort);
  std::printf("  bytes written: nightly %lld, full %lld; bytes read: nightly %lld, full %lld\n",
              llFastWritten, llFullWritten, llFastRead, llFullRead);
  for (int bAppend = 1; bAppend >= 0; bAppend--) {
    WriteFile(day, DayFile(nNext));
    nNext += kDayLines;
    long lKb = 0;
    long long llRead = 0;
    PeakInFreshProcess(dir, day, bAppend, &lKb, &llRead);
    std::printf("  peak memory, %-8s %8ld kB above the start for %lld bytes read: %.2fx "
                "(goal <= 1.5x)\n",
                bAppend ? "nightly:" : "full:", lKb, llRead,
                llRead > 0 ? static_cast<double>(lKb) * 1024.0 / static_cast<double>(llRead) : 0.0);
  }
  MergeFlushToDisk = 1;
  fs::remove_all(dir);
}


// ---- The re-sent nights ----

// nLines lines, one every nStep minutes from minute nFirst on, to a file.
void WriteLines(const std::string &path, long nFirst, long nLines, long nStep, bool bHeader) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  std::string chunk;
  if (bHeader) chunk = "time,kwh,kvarh,kw,kvar,pf,v,hz,status,flags\r\n";
  for (long i = 0; i < nLines; i++) {
    AppendLine(chunk, nFirst + i * nStep, "ok");
    if (chunk.size() > (4u << 20)) {
      f << chunk;
      chunk.clear();
    }
  }
  f << chunk;
}

unsigned long long FileId(const std::string &path) {
  PlatFileInfo info{};
  return PlatStat(path.c_str(), &info) == 0 ? info.ullId : 0;
}

struct NightResult {
  Samples cat, merge;
  long long llWritten = 0, llDownload = 0;
  bool bRewritten = false;
};

// One merge of dl into dir/SN1, timed, with the bytes it wrote and whether
// the local log is another file afterwards.
void TimedNight(const std::string &dir, const std::string &dl, int bInPlace, NightResult *pOut) {
  const std::string log = dir + "/SN1/mb-001.log";
  pOut->llDownload = static_cast<long long>(fs::file_size(dl));
  // The reference reads what the merge has to take in: history and download.
  const std::string history = fs::exists(log) ? "'" + log + "' " : std::string();
  pOut->cat.v.push_back(TimeCommand("cat " + history + "'" + dl + "' >/dev/null"));
  MergeAppendToLog = bInPlace;
  unsigned long long ullBefore = FileId(log);
  long long r0, w0, r1, w1;
  char szStatus[64];
  IoCounts(&r0, &w0);
  auto t0 = std::chrono::steady_clock::now();
  int rc = MergeLogFile((dir + "/SN1").c_str(), 1, dl.c_str(), szStatus, sizeof szStatus, nullptr);
  pOut->merge.v.push_back(Seconds(t0));
  IoCounts(&r1, &w1);
  MergeAppendToLog = 1;
  if (rc != 1) std::fprintf(stderr, "re-sent nights: a merge failed\n");
  pOut->llWritten = w1 - w0;
  pOut->bRewritten = pOut->bRewritten || FileId(log) != ullBefore;
}

struct SizeResult {
  int nYears;
  double dLogMb;
  Samples firstCat, firstMerge;
  NightResult append, overlap, full;
  long lPeakKb = 0;
  long long llPeakRead = 0;
};

void RunResentSize(int nYears, int nRounds, long nStep, SizeResult *pRes) {
  const long nPerDay = kDayLines / nStep;
  const long nHistory = nYears * 365L * nPerDay;
  std::string dir = (fs::temp_directory_path() /
                     ("merge-resent-" + std::to_string(getpid()) + "-" + std::to_string(nYears)))
                        .string();
  fs::create_directories(dir + "/SN1");
  const std::string log = dir + "/SN1/mb-001.log", dl = dir + "/dl.tmp";
  WriteLines(dir + "/history.tmp", 0, nHistory, nStep, true);
  // The first full merge of the whole history into no local log; it also
  // gives the log its state record.
  pRes->firstCat.v.push_back(TimeCommand("cat '" + dir + "/history.tmp' >/dev/null"));
  fs::copy_file(dir + "/history.tmp", dl, fs::copy_options::overwrite_existing);
  NightResult first;
  TimedNight(dir, dl, 1, &first);
  pRes->firstMerge = first.merge;
  pRes->dLogMb = static_cast<double>(fs::file_size(log)) / 1e6;
  long nNext = nHistory;  // the next line not yet in the log
  for (int r = 0; r < nRounds; r++) {
    WriteLines(dl, nNext * nStep, nPerDay, nStep, true);
    TimedNight(dir, dl, 1, &pRes->append);
    nNext += nPerDay;
    for (int bInPlace = 1; bInPlace >= 0; bInPlace--) {
      WriteLines(dl, (nNext - 30 * nPerDay) * nStep, 31 * nPerDay, nStep, true);
      TimedNight(dir, dl, bInPlace, bInPlace ? &pRes->overlap : &pRes->full);
      nNext += nPerDay;
    }
  }
  WriteLines(dl, (nNext - 30 * nPerDay) * nStep, 31 * nPerDay, nStep, true);
  PeakInFreshProcess(dir, dl, 1, &pRes->lPeakKb, &pRes->llPeakRead);
  fs::remove_all(dir);
}

void RunResent(int nRounds, bool bFull) {
  const long nStep = bFull ? 1 : 10;
  std::printf("\nRe-sent nights: %d rounds per size, a record every %ld minute(s)%s\n", nRounds,
              nStep, bFull ? "" : " (--full for one-minute records)");
  MergeFlushToDisk = 0;
  std::vector<SizeResult> results;
  for (int nYears : {1, 5, 10}) {
    SizeResult res;
    res.nYears = nYears;
    RunResentSize(nYears, nRounds, nStep, &res);
    results.push_back(res);
  }
  MergeFlushToDisk = 1;
  auto Row = [](const char *pszName, const Samples &s, const Samples &ref) {
    std::printf("    %-30s best %9.2f ms  median %9.2f ms   / cat: best %6.2fx  median %6.2fx\n",
                pszName, s.Best() * 1e3, s.Median() * 1e3, s.Best() / ref.Best(),
                s.Median() / ref.Median());
  };
  for (const SizeResult &r : results) {
    std::printf("  %d year(s), local log %.1f MB\n", r.nYears, r.dLogMb);
    Row("first full merge", r.firstMerge, r.firstCat);
    Row("append night", r.append.merge, r.append.cat);
    Row("overlapping night", r.overlap.merge, r.overlap.cat);
    Row("overlapping, full rewrite", r.full.merge, r.full.cat);
    std::printf("    bytes written / download: append %.2fx, overlapping %.2fx (goal <= 3x), "
                "full %.2fx; log rewritten: append %s, overlapping %s (goal no)\n",
                static_cast<double>(r.append.llWritten) / static_cast<double>(r.append.llDownload),
                static_cast<double>(r.overlap.llWritten) / static_cast<double>(r.overlap.llDownload),
                static_cast<double>(r.full.llWritten) / static_cast<double>(r.full.llDownload),
                r.append.bRewritten ? "yes" : "no", r.overlap.bRewritten ? "yes" : "no");
    std::printf("    overlapping night peak memory %ld kB above the start for %lld bytes read: "
                "%.2fx (goal <= 1.5x)\n",
                r.lPeakKb, r.llPeakRead,
                r.llPeakRead > 0 ? static_cast<double>(r.lPeakKb) * 1024.0 /
                                       static_cast<double>(r.llPeakRead)
                                 : 0.0);
  }
  if (results.size() == 3)
    std::printf("  overlapping night, 10 years / 1 year: best %.2fx, median %.2fx (goal <= 1.5x)\n",
                results[2].overlap.merge.Best() / results[0].overlap.merge.Best(),
                results[2].overlap.merge.Median() / results[0].overlap.merge.Median());
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 6 && std::strcmp(argv[1], "--night-once") == 0)
    return NightOnce(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
  if (argc == 4 && std::strcmp(argv[1], "--merge-once") == 0) {
    g_dir = argv[2];
    MergeFlushToDisk = 0;
    long lPeak = MergeWithPeak();
    std::ofstream(argv[3]) << lPeak << "\n";
    return lPeak >= 0 ? 0 : 1;
  }
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  g_self.assign(self, n > 0 ? static_cast<std::size_t>(n) : 0);
  int nNights = 7;
  bool bNightlyOnly = false;
  int nKept = 1;
  int nResentRounds = 3;
  bool bResentOnly = false;
  const char *pszFull = std::getenv("MERGE_BENCH_FULL");
  bool bFull = pszFull && std::strcmp(pszFull, "0") != 0 && *pszFull;
  for (int i = 1; i < argc; i++) {
    if (std::strncmp(argv[i], "--resent-rounds=", 16) == 0)
      nResentRounds = std::max(1, std::atoi(argv[i] + 16));
    else if (std::strcmp(argv[i], "--resent-only") == 0)
      bResentOnly = true;
    else if (std::strcmp(argv[i], "--full") == 0)
      bFull = true;
    else if (std::strncmp(argv[i], "--nights=", 9) == 0)
      nNights = std::max(1, std::atoi(argv[i] + 9));
    else if (std::strcmp(argv[i], "--nightly-only") == 0)
      bNightlyOnly = true;
    else
      argv[nKept++] = argv[i];
  }
  argc = nKept;
  if (bResentOnly) {
    RunResent(nResentRounds, bFull);
    return 0;
  }
  if (!bNightlyOnly) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_dir.empty()) fs::remove_all(g_dir);
  }
  RunNightly(nNights);
  RunResent(nResentRounds, bFull);
  return 0;
}
