// A merge killed at any instant (SIGKILL, no chance to clean up) leaves the
// local log complete, old or new, and the next merge brings every record in.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "merge/merge.h"
#include "shell/errorlog.h"
#include "tests/testutil.h"

namespace fs = std::filesystem;

namespace {

std::string Line(int i, const char *pszTag) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "2024-01-%02d %02d:%02d:00,%d,%s,12.5,7.25\r\n", 1 + i / 1440,
                (i / 60) % 24, i % 60, i, pszTag);
  return buf;
}

}  // namespace

TEST(MergeCrash, KilledMergeLeavesALogThatIsOldOrNewAndLosesNothing) {
  TempDir dir;
  ResetErrorLog();
  OpenErrorLog(1);
  fs::create_directory("SN1");

  // The local log: 30000 minutes. The download: the last 500 minutes again
  // (duplicates, some longer so that they win) and 1500 new ones.
  const std::string header = "time,n,tag,kwh,kw\r\n";
  std::string oldLog = header, download = header, merged = header;
  for (int i = 0; i < 30000; i++) oldLog += Line(i, "old");
  for (int i = 29500; i < 31500; i++) download += Line(i, i < 30000 ? "again" : "new");
  for (int i = 0; i < 31500; i++) merged += Line(i, i < 29500 ? "old" : (i < 30000 ? "again" : "new"));

  auto Reset = [&]() {
    WriteFileBytes("SN1/mb-001.log", oldLog);
    WriteFileBytes("dl.tmp", download);
  };
  auto MergeNow = [&]() {
    char szStatus[64];
    return MergeLogFile("SN1", 1, "dl.tmp", szStatus, sizeof szStatus, nullptr);
  };

  // How long one merge takes here (sanitizers make it slower).
  Reset();
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(1, MergeNow());
  long lUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(merged, ReadFileBytes("SN1/mb-001.log"));
  lUs = std::max(lUs, 2000L);

  std::mt19937 rng(42);
  int nKilledMidway = 0;
  auto tStart = std::chrono::steady_clock::now();
  for (int round = 0; round < 40; round++) {
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
    ASSERT_TRUE(now == oldLog || now == merged) << "round " << round << ", " << now.size() << " bytes";
    bool bFinished = !FileExists("dl.tmp");
    if (bFinished) {
      ASSERT_EQ(merged, now);
    } else {
      nKilledMidway++;
      // The next merge (the download is still there) brings in every record,
      // whatever the killed one left behind.
      ASSERT_EQ(1, MergeNow()) << "round " << round;
      ASSERT_EQ(merged, ReadFileBytes("SN1/mb-001.log")) << "round " << round;
    }
    ASSERT_FALSE(FileExists("SN1/mb-001.new"));
    ASSERT_FALSE(FileExists("SN1/mb-001.tmp"));
  }
  EXPECT_GT(nKilledMidway, 5);
  EXPECT_LT(std::chrono::steady_clock::now() - tStart, std::chrono::seconds(60));
  ResetErrorLog();
}

TEST(MergeCrash, TornMergedFileFromAKillIsHarmless) {
  // A merged file cut at every kind of place (inside the header, inside a
  // time stamp, after a comma, just before a line feed) is read by the next
  // merge without losing or shortening any record.
  TempDir dir;
  ResetErrorLog();
  OpenErrorLog(1);
  fs::create_directory("SN1");
  const std::string header = "time,n,tag,kwh,kw\r\n";
  std::string oldLog = header, download = header;
  for (int i = 0; i < 50; i++) oldLog += Line(i, "old");
  for (int i = 40; i < 80; i++) download += Line(i, "new");
  std::string merged = header;
  for (int i = 0; i < 80; i++) merged += Line(i, i < 50 ? "old" : "new");
  // Every cut in the header and the first two records, then every 41st.
  for (std::size_t cut = 1; cut < merged.size(); cut += cut < 3 * header.size() ? 1 : 41) {
    WriteFileBytes("SN1/mb-001.log", oldLog);
    WriteFileBytes("dl.tmp", download);
    WriteFileBytes("SN1/mb-001.new", merged.substr(0, cut));
    char szStatus[64];
    ASSERT_EQ(1, MergeLogFile("SN1", 1, "dl.tmp", szStatus, sizeof szStatus, nullptr));
    ASSERT_EQ(merged, ReadFileBytes("SN1/mb-001.log")) << "cut at " << cut;
    ASSERT_FALSE(FileExists("SN1/mb-001.new"));
  }
  ResetErrorLog();
}
