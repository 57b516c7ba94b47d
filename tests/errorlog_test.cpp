// The error log's lines byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "shell/errorlog.h"
#include "tests/testutil.h"

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
