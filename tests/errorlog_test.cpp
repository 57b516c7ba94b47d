// The error log's lines byte for byte.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "log/errorlog.h"
#include "log/testhooks.h"
#include "platform/file.h"
#include "tests/support/testutil.h"

namespace {

// 2005-12-08 09:05:03 in the test's zone (TZ=UTC below).
std::time_t FixedClock() { return 1134032703; }

class ErrorLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    ResetErrorLog();
    SetErrorLogClock(FixedClock);
  }
  void TearDown() override {
    ResetErrorLog();
    SetErrorLogClock(nullptr);
  }
  TempDir dir;
};

}  // namespace

TEST_F(ErrorLogTest, HeaderOnceThenEntriesAppended) {
  OpenErrorLog(1);
  LogInfo("main", 160, "Software exiting.");
  EXPECT_EQ("time,file,line,message\r\n'2005/12/08 09:05:03',main,160,Software exiting.\r\n",
            ReadFileBytes("errorlog.txt"));
  // A later run: no second header.
  ResetErrorLog();
  OpenErrorLog(1);
  LogError("download", 7, "connect socket failed to %s", "10.0.0.1");
  EXPECT_EQ("time,file,line,message\r\n'2005/12/08 09:05:03',main,160,Software exiting.\r\n"
            "'2005/12/08 09:05:03',download,7,connect socket failed to 10.0.0.1\r\n",
            ReadFileBytes("errorlog.txt"));
  EXPECT_EQ(1, ErrorLogErrorCount());
}

TEST_F(ErrorLogTest, MessagesCutAt511AndWrittenUnescaped) {
  OpenErrorLog(1);
  std::string longMsg(600, 'm');
  LogInfo("merge", 1, "%s", longMsg.c_str());
  LogInfo("merge", 2, "a,b\nc");
  std::string expected = "time,file,line,message\r\n'2005/12/08 09:05:03',merge,1," +
                         std::string(511, 'm') + "\r\n'2005/12/08 09:05:03',merge,2,a,b\nc\r\n";
  EXPECT_EQ(expected, ReadFileBytes("errorlog.txt"));
}

TEST_F(ErrorLogTest, NothingWrittenBeforeOpenOrWhenUnopenable) {
  LogInfo("main", 1, "too early");
  EXPECT_FALSE(FileExists("errorlog.txt"));
  // A directory in the way: logging is off for the run, silently.
  ASSERT_EQ(0, system("mkdir errorlog.txt"));
  OpenErrorLog(1);
  LogError("main", 2, "lost");
  EXPECT_EQ(1, ErrorLogErrorCount());
}

TEST_F(ErrorLogTest, LinesFromManyThreadsStayWhole) {
  OpenErrorLog(1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; i++) LogInfo("download", t, "thread %d entry %d %s", t, i, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
    });
  for (auto &th : threads) th.join();
  std::string log = ReadFileBytes("errorlog.txt");
  std::size_t pos = log.find("\r\n") + 2, lines = 0;
  while (pos < log.size()) {
    std::size_t end = log.find("\r\n", pos);
    ASSERT_NE(std::string::npos, end);
    std::string line = log.substr(pos, end - pos);
    EXPECT_EQ(0u, line.find("'2005/12/08 09:05:03',download,"));
    EXPECT_EQ(line.size() - 30, line.rfind("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"));
    pos = end + 2;
    lines++;
  }
  EXPECT_EQ(800u, lines);
}

// An entry cut short (the disk filled up in the middle of it) must not run
// into the next run's first entry.
TEST_F(ErrorLogTest, EntryCutByAFullDiskGetsItsLineEndAtTheNextOpen) {
  WriteFileBytes("errorlog.txt", "time,file,line,message\r\n'2005/12/08 09:05:03',downl");
  OpenErrorLog(1);
  LogInfo("main", 160, "Software exiting.");
  EXPECT_EQ("time,file,line,message\r\n'2005/12/08 09:05:03',downl\r\n"
            "'2005/12/08 09:05:03',main,160,Software exiting.\r\n",
            ReadFileBytes("errorlog.txt"));
}

// A log that cannot be written is said once on standard error, not hidden;
// the failure still counts for the exit status.
TEST_F(ErrorLogTest, UnwritableLogIsSaidOnceOnStandardError) {
  // A device that is always full: the open succeeds, every write fails.
  std::filesystem::create_symlink("/dev/full", "errorlog.txt");
  ::testing::internal::CaptureStderr();
  OpenErrorLog(1);
  LogError("download", 1, "first");
  LogError("download", 2, "second");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ErrorLogErrorCount(), 2);
  EXPECT_NE(err.find("cannot write errorlog.txt"), std::string::npos) << err;
  EXPECT_EQ(err.find("cannot write", err.find("cannot write") + 1), std::string::npos) << err;
}

// Runs started together in a folder without a log: every one of them logs,
// below the one header that starts the file.
TEST_F(ErrorLogTest, RunsStartedTogetherShareOneLogWithOneHeader) {
  const int kRuns = 8;
  for (int nRound = 0; nRound < 20; nRound++) {
    SCOPED_TRACE(nRound);
    std::filesystem::remove("errorlog.txt");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::vector<pid_t> runs;
    for (int i = 0; i < kRuns; i++) {
      pid_t pid = fork();
      if (pid == 0) {
        close(fds[1]);
        char c;
        (void)!read(fds[0], &c, 1);  // all of them go at once
        ResetErrorLog();
        OpenErrorLog(1);
        LogInfo("main", i, "run %d", i);
        _exit(0);
      }
      runs.push_back(pid);
    }
    close(fds[0]);
    close(fds[1]);
    for (pid_t pid : runs) waitpid(pid, nullptr, 0);
    std::string log = ReadFileBytes("errorlog.txt");
    EXPECT_EQ(log.rfind("time,file,line,message\r\n", 0), 0u) << log;
    EXPECT_EQ(log.find("time,file", 1), std::string::npos) << log;
    EXPECT_EQ(ReadLogEntries().size(), static_cast<std::size_t>(kRuns)) << log;
  }
}

// A working folder that cannot be written: what is said names the call that
// failed and its own error, for the log and for the run's lock file.
TEST_F(ErrorLogTest, AFolderThatCannotBeWrittenIsSaidWithTheRealError) {
  std::filesystem::create_directory("old");
  std::filesystem::create_directory("new");
  WriteFileBytes("old/errorlog.txt", "time,file,line,message\r\n");
  // Root passes permission bits: the checks then run as another user.
  const bool bRoot = geteuid() == 0;
  if (!bRoot) {
    ASSERT_EQ(0, system("chmod a-w old old/errorlog.txt new"));
  }
  struct Case {
    const char *pszDir, *pszSaid;
  } cases[] = {
      {"old", "cannot open errorlog.txt (13 "},  // there, but not to be written
      {"new", "cannot create errorlog.txt (13 "},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.pszDir);
    ResetErrorLog();
    ASSERT_EQ(chdir(k.pszDir), 0);
    if (bRoot) {
      ASSERT_EQ(seteuid(65534), 0);
    }
    ::testing::internal::CaptureStderr();
    OpenErrorLog(1);
    std::string err = ::testing::internal::GetCapturedStderr();
    long lHolder = -1;
    int nLock = PlatLockFile("tandreldl.lock", &lHolder);
    int nErr = PlatErrno();
    if (bRoot) {
      ASSERT_EQ(seteuid(0), 0);
    }
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_NE(err.find(k.pszSaid), std::string::npos) << err;
    EXPECT_EQ(nLock, -1);
    EXPECT_EQ(nErr, EACCES) << PlatStrError(nErr);
  }
  if (!bRoot) (void)!system("chmod u+w old new");
}
