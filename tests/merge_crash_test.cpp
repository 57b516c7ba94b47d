// A merge killed at any instant (SIGKILL, no chance to clean up) leaves the
// local log complete, old or new, and the next merge brings every record in.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "log/errorlog.h"
#include "log/testhooks.h"
#include "merge/merge.h"
#include "tests/support/testutil.h"

namespace fs = std::filesystem;

namespace {

// The record of minute i from 2024-01-01 00:00 UTC on.
std::string Line(int i, const char *pszTag) {
  std::time_t t = 1704067200 + static_cast<std::time_t>(i) * 60;
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:00,%d,%s,12.5,7.25\r\n",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, i, pszTag);
  return buf;
}

// Big texts compared without a line-by-line report of every difference.
::testing::AssertionResult Same(const std::string &expected, const std::string &actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) at++;
  return ::testing::AssertionFailure()
         << "expected " << expected.size() << " bytes, got " << actual.size()
         << ", first difference at " << at << ": expected \""
         << expected.substr(at, 60) << "\", got \"" << actual.substr(at, 60) << "\"";
}

}  // namespace

namespace {

// Regular files left in a directory (none when it is gone).
int FilesIn(const char *pszDir) {
  int n = 0;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(pszDir, ec))
    if (e.is_regular_file()) n++;
  return n;
}

}  // namespace

TEST(MergeCrash, KilledMergeLeavesALogThatIsOldOrNewAndLosesNothing) {
  TempDir dir;
  ResetErrorLog();
  OpenErrorLog(1);
  fs::create_directories("SN1/temp");

  // The local log: 30000 minutes. Two downloads left by killed runs and the
  // current one, overlapping each other and the local log with lines that
  // win (longer) and lines that lose (shorter). The oldest leftover ends in
  // a line torn by its kill; the whole line comes with the next download.
  const std::string header = "time,n,tag,kwh,kw\r\n";
  std::string oldLog = header, left0 = header, left1 = header, download = header, next = header;
  for (int i = 0; i < 30000; i++) oldLog += Line(i, "old");
  for (int i = 29500; i < 30500; i++) left0 += Line(i, i < 30000 ? "again" : "lo0");
  left0 += Line(31600, "whole").substr(0, 30);
  for (int i = 30400; i < 31000; i++) left1 += Line(i, "left1");
  for (int i = 30900; i < 31500; i++) download += Line(i, "new");
  for (int i = 31500; i < 31601; i++) next += Line(i, i < 31600 ? "next" : "whole");
  auto Tag = [](int i) {
    return i < 29500 ? "old" : i < 30000 ? "again" : i < 30400 ? "lo0" : i < 31000 ? "left1"
         : i < 31500 ? "new" : i < 31600 ? "next" : "whole";
  };
  std::string merged = header, final = header;
  for (int i = 0; i < 31500; i++) merged += Line(i, Tag(i));
  for (int i = 0; i < 31601; i++) final += Line(i, Tag(i));

  auto Reset = [&]() {
    fs::remove_all("SN1/temp");
    fs::create_directories("SN1/temp");
    WriteFileBytes("SN1/mb-001.log", oldLog);
    WriteFileBytes("SN1/temp/mb-001.0.tmp", left0);
    WriteFileBytes("SN1/temp/mb-001.1.tmp", left1);
    WriteFileBytes("SN1/temp/mb-001.2.tmp", download);
  };
  char szStatus[64];
  auto MergeNow = [&]() {
    return MergeLogFile("SN1", 1, "SN1\\temp\\mb-001.2.tmp", szStatus, sizeof szStatus, nullptr);
  };

  // How long one merge takes here (sanitizers make it slower).
  Reset();
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(1, MergeNow());
  long lUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(Same(merged, ReadFileBytes("SN1/mb-001.log")));
  ASSERT_EQ(0, FilesIn("SN1/temp"));
  lUs = std::max(lUs, 2000L);

  std::mt19937 rng(42);
  int nKilledMidway = 0, nRounds = 0;
  // Until enough kills landed inside a merge: how many rounds that takes
  // depends on the machine's load, not on a time limit.
  for (; nKilledMidway < 40 && nRounds < 1000; nRounds++) {
    Reset();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(MergeNow() == 1 ? 0 : 1);
    // Anywhere from before the start to just after the end.
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % static_cast<unsigned long>(lUs * 6 / 5 + 1)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));

    // The local log is one whole file: the old one or the merged one.
    std::string now = ReadFileBytes("SN1/mb-001.log");
    ASSERT_TRUE(now == oldLog || now == merged) << "round " << nRounds << ", " << now.size() << " bytes";
    int nLeft = FilesIn("SN1/temp");
    if (nLeft == 0) {
      ASSERT_TRUE(Same(merged, now));
    } else {
      nKilledMidway++;
      // A download is only removed once its records are in the local log.
      if (now == oldLog) {
        ASSERT_EQ(3, nLeft) << "round " << nRounds;
      }
    }
    // The next run: a new download, merged with whatever the killed one
    // left behind; or, every other time, the leftovers alone first (a unit
    // that no longer lists the device), then the new download.
    if (nRounds % 2) {
      ASSERT_EQ(1, MergeLogFile("SN1", 1, nullptr, szStatus, sizeof szStatus, nullptr));
      ASSERT_EQ(0, FilesIn("SN1/temp"));
    }
    WriteFileBytes("SN1/temp/mb-001.3.tmp", next);
    ASSERT_EQ(1, MergeLogFile("SN1", 1, "SN1\\temp\\mb-001.3.tmp", szStatus, sizeof szStatus, nullptr))
        << "round " << nRounds;
    ASSERT_TRUE(Same(final, ReadFileBytes("SN1/mb-001.log"))) << "round " << nRounds;
    ASSERT_EQ(0, FilesIn("SN1/temp")) << "round " << nRounds;
    ASSERT_FALSE(FileExists("SN1/mb-001.new"));
    ASSERT_FALSE(FileExists("SN1/mb-001.tmp"));
  }
  EXPECT_GE(nKilledMidway, 40) << "in " << nRounds << " rounds";
  RecordProperty("rounds", nRounds);
  ResetErrorLog();
}

TEST(MergeCrash, TornMergedFileFromAKillIsHarmless) {
  // A merged file cut at every kind of place (inside the header, inside a
  // time stamp, after a comma, just before a line feed) is read by the next
  // merge without losing or shortening any record: each of its lines is
  // whole in the local log, in a download left from an earlier run or in
  // the current download, none of which goes before the merge is on disk.
  TempDir dir;
  ResetErrorLog();
  OpenErrorLog(1);
  fs::create_directories("SN1/temp");
  const std::string header = "time,n,tag,kwh,kw\r\n";
  std::string oldLog = header, leftover = header, download = header;
  for (int i = 0; i < 50; i++) oldLog += Line(i, "old");
  for (int i = 40; i < 65; i++) leftover += Line(i, "new");
  for (int i = 60; i < 80; i++) download += Line(i, "new");
  std::string merged = header;
  for (int i = 0; i < 80; i++) merged += Line(i, i < 50 ? "old" : "new");
  // Every cut in the header and the first two records, then every 41st.
  for (std::size_t cut = 1; cut < merged.size(); cut += cut < 3 * header.size() ? 1 : 41) {
    WriteFileBytes("SN1/mb-001.log", oldLog);
    WriteFileBytes("SN1/temp/mb-001.0.tmp", leftover);
    WriteFileBytes("SN1/temp/mb-001.1.tmp", download);
    WriteFileBytes("SN1/mb-001.new", merged.substr(0, cut));
    char szStatus[64];
    ASSERT_EQ(1, MergeLogFile("SN1", 1, "SN1\\temp\\mb-001.1.tmp", szStatus, sizeof szStatus, nullptr));
    ASSERT_TRUE(Same(merged, ReadFileBytes("SN1/mb-001.log"))) << "cut at " << cut;
    ASSERT_FALSE(FileExists("SN1/mb-001.new"));
    ASSERT_EQ(0, FilesIn("SN1/temp"));
  }
  ResetErrorLog();
}

TEST(MergeCrash, KilledAppendKeepsTheOldBytesAndLosesNothing) {
  TempDir dir;
  ResetErrorLog();
  OpenErrorLog(1);
  // The local log, written by a merge (so that the next one may append),
  // then a leftover and a download that both come after it. The leftover
  // overlaps the download (its longer lines win) and ends in a torn line.
  const std::string header = "time,n,tag,kwh,kw\r\n";
  std::string base = header, left = "", download = header, next = "";
  for (int i = 0; i < 30000; i++) base += Line(i, "old");
  for (int i = 30000; i < 36000; i++) left += Line(i, "left");
  left += Line(50000, "whole").substr(0, 33);
  for (int i = 35000; i < 50000; i++) download += Line(i, "new");
  next += Line(50000, "whole");
  std::string merged = base, final;
  for (int i = 30000; i < 50000; i++) merged += Line(i, i < 36000 ? "left" : "new");
  final = merged + Line(50000, "whole");

  char szStatus[64];
  auto Reset = [&]() {
    fs::remove_all("SN1");
    fs::create_directories("SN1/temp");
    WriteFileBytes("base.tmp", base);
    ASSERT_EQ(1, MergeLogFile("SN1", 1, "base.tmp", szStatus, sizeof szStatus, nullptr));
    ASSERT_TRUE(FileExists("SN1/mb-001.state"));
    WriteFileBytes("SN1/temp/mb-001.0.tmp", left);
    WriteFileBytes("SN1/temp/mb-001.1.tmp", download);
  };
  auto MergeNow = [&]() {
    return MergeLogFile("SN1", 1, "SN1\\temp\\mb-001.1.tmp", szStatus, sizeof szStatus, nullptr);
  };
  Reset();
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(1, MergeNow());
  long lUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(Same(merged, ReadFileBytes("SN1/mb-001.log")));
  ASSERT_TRUE(ReadLogEntries().back().message == "Merge complete");
  bool bAppended = false;
  for (const LogEntry &e : ReadLogEntries())
    bAppended |= e.message == "Merge appending 20000 records to SN1\\mb-001.log";
  ASSERT_TRUE(bAppended);
  lUs = std::max(lUs, 2000L);

  std::mt19937 rng(7);
  int nKilledMidway = 0, nTorn = 0, nRounds = 0;
  for (; nKilledMidway < 40 && nRounds < 1000; nRounds++) {
    Reset();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(MergeNow() == 1 ? 0 : 1);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % static_cast<unsigned long>(lUs * 6 / 5 + 1)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));

    // The old bytes are never rewritten: the log is the old one with a
    // beginning of the appended lines after it.
    std::string now = ReadFileBytes("SN1/mb-001.log");
    ASSERT_GE(now.size(), base.size()) << "round " << nRounds;
    ASSERT_EQ(0, merged.compare(0, now.size(), now)) << "round " << nRounds;
    int nLeft = FilesIn("SN1/temp");
    if (nLeft == 0) {
      ASSERT_TRUE(Same(merged, now));
    } else {
      nKilledMidway++;
      if (now.size() > base.size() && now.size() < merged.size()) nTorn++;
    }
    // The next run, with the whole form of the torn line.
    WriteFileBytes("SN1/temp/mb-001.2.tmp", next);
    ASSERT_EQ(1, MergeLogFile("SN1", 1, "SN1\\temp\\mb-001.2.tmp", szStatus, sizeof szStatus, nullptr))
        << "round " << nRounds;
    ASSERT_TRUE(Same(final, ReadFileBytes("SN1/mb-001.log"))) << "round " << nRounds;
    ASSERT_EQ(0, FilesIn("SN1/temp")) << "round " << nRounds;
    ASSERT_FALSE(FileExists("SN1/mb-001.new"));
  }
  EXPECT_GE(nKilledMidway, 40) << "in " << nRounds << " rounds";
  RecordProperty("rounds", nRounds);
  RecordProperty("torn", nTorn);
  ResetErrorLog();
}

TEST(MergeCrash, TornAppendIsRepairedByTheNextMerge) {
  // An append cut at every kind of place (inside a time stamp, after a
  // comma, before a carriage return or a line feed, on a line boundary):
  // the next merge sees that the log is no longer the one it recorded and
  // merges in full; the lines it appended are still in the downloads.
  TempDir dir;
  ResetErrorLog();
  OpenErrorLog(1);
  const std::string header = "time,n,tag,kwh,kw\r\n";
  std::string base = header, download = header;
  for (int i = 0; i < 40; i++) base += Line(i, "old");
  for (int i = 40; i < 60; i++) download += Line(i, "new");
  const std::string appended = download.substr(header.size());
  char szStatus[64];
  for (std::size_t cut = 0; cut <= appended.size(); cut += cut < 120 ? 1 : 37) {
    fs::remove_all("SN1");
    fs::create_directories("SN1/temp");
    WriteFileBytes("base.tmp", base);
    ASSERT_EQ(1, MergeLogFile("SN1", 1, "base.tmp", szStatus, sizeof szStatus, nullptr));
    // What a kill during the append leaves: part of it, the download kept.
    int fd = open("SN1/mb-001.log", O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(cut), write(fd, appended.data(), cut));
    close(fd);
    WriteFileBytes("SN1/temp/mb-001.0.tmp", download);
    WriteFileBytes("SN1/temp/mb-001.1.tmp", Line(60, "next"));
    ASSERT_EQ(1, MergeLogFile("SN1", 1, "SN1\\temp\\mb-001.1.tmp", szStatus, sizeof szStatus, nullptr));
    ASSERT_TRUE(Same(base + appended + Line(60, "next"), ReadFileBytes("SN1/mb-001.log"))) << "cut at " << cut;
    ASSERT_EQ(0, FilesIn("SN1/temp"));
  }
  ResetErrorLog();
}
