// The merge on Windows, on real files: the result of a merge, and what
// happens when the local log is open in another program (a spreadsheet
// holding it without delete sharing) so that the system refuses to replace
// it: nothing is lost, and the next merge completes the work.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "log/errorlog.h"
#include "log/testhooks.h"
#include "merge/merge.h"
#include "platform/file.h"
#include "tests/support/testutil.h"

namespace {

class Win32Merge : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetErrorLog();
    OpenErrorLog(1);
    PlatMkdir("SN1");
  }
  void TearDown() override { ResetErrorLog(); }
  int Merge() { return MergeLogFile("SN1", 1, "dl.tmp", szStatus, sizeof szStatus, nullptr); }
  static bool Logged(const std::string &prefix) {
    for (const LogEntry &e : ReadLogEntries())
      if ((e.module + "," + e.message).rfind(prefix, 0) == 0) return true;
    return false;
  }
  char szStatus[192] = {};
  TempDir dir;
};

TEST_F(Win32Merge, SortsDropsDuplicatesReplacesAndDeletesTheDownload) {
  WriteFileBytes("dl.tmp",
                 "time,kwh,kw\r\n"
                 "2024-01-01 00:02:00,3,3\r\n"
                 "2024-01-01 00:00:00,1,1\r\n"
                 "2024-01-01 00:02:00,3,33\r\n");
  ASSERT_EQ(1, Merge());
  WriteFileBytes("dl.tmp", "time,kwh,kw\r\n2024-01-01 00:01:00,2,2\r\n");
  ASSERT_EQ(1, Merge());
  EXPECT_EQ("time,kwh,kw\r\n2024-01-01 00:00:00,1,1\r\n2024-01-01 00:01:00,2,2\r\n"
            "2024-01-01 00:02:00,3,33\r\n",
            ReadFileBytes(dir.File("SN1/mb-001.log")));
  EXPECT_FALSE(FileExists(dir.File("dl.tmp")));
  EXPECT_FALSE(FileExists(dir.File("SN1/mb-001.new")));
  EXPECT_TRUE(Logged("merge,Merge complete"));
}

TEST_F(Win32Merge, LocalLogHeldOpenByAnotherProgramIsKeptWholeAndMergedNextTime) {
  WriteFileBytes(dir.File("SN1/mb-001.log"), "time,a\r\n2024-01-01 00:00:01,first\r\n");
  HANDLE hHeld = ::CreateFileA((dir.Path() + "\\SN1\\mb-001.log").c_str(), GENERIC_READ,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);
  WriteFileBytes("dl.tmp", "time,a\r\n2024-01-01 00:00:02,second\r\n");
  EXPECT_EQ(0, Merge());
  EXPECT_TRUE(Logged("merge,Error renaming file SN1\\mb-001.new to SN1\\mb-001.log, got 13 "));
  ::CloseHandle(hHeld);
  // The local log is as it was; the merged file and the download wait.
  EXPECT_EQ("time,a\r\n2024-01-01 00:00:01,first\r\n", ReadFileBytes(dir.File("SN1/mb-001.log")));
  EXPECT_TRUE(FileExists(dir.File("SN1/mb-001.new")));
  EXPECT_TRUE(FileExists(dir.File("dl.tmp")));
  // Once the other program has let go, the next download completes it.
  WriteFileBytes("dl.tmp", "2024-01-01 00:00:03,third\r\n");
  EXPECT_EQ(1, Merge());
  EXPECT_EQ("time,a\r\n2024-01-01 00:00:01,first\r\n2024-01-01 00:00:02,second\r\n"
            "2024-01-01 00:00:03,third\r\n",
            ReadFileBytes(dir.File("SN1/mb-001.log")));
  EXPECT_FALSE(FileExists(dir.File("SN1/mb-001.new")));
}

}  // namespace
