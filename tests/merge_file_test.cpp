// The merge of a downloaded log into the local log, on real files: the
// result, the file names, the error log, and what each failure leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "log/errorlog.h"
#include "log/testhooks.h"
#include "merge/logset.h"
#include "merge/merge.h"
#include "merge/records.h"
#include "platform/file.h"
#include "tests/support/testutil.h"

namespace fs = std::filesystem;

namespace {

class MergeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetErrorLog();
    OpenErrorLog(1);
    fs::create_directory("SN1");
  }
  void TearDown() override { ResetErrorLog(); }

  int Merge(int nDevice = 1, const char *pszDownload = "dl.tmp") {
    return MergeLogFile("SN1", nDevice, pszDownload, szStatus, 64, nullptr);
  }
  // The messages of the error log's entries, each as "module,message".
  static std::vector<std::string> Entries() {
    std::vector<std::string> v;
    for (const LogEntry &e : ReadLogEntries()) v.push_back(e.module + "," + e.message);
    return v;
  }
  static bool Logged(const std::string &entry) {
    for (const std::string &e : Entries())
      if (e == entry) return true;
    return false;
  }
  char szStatus[192] = {};
  TempDir dir;
};

const char kHeader[] = "time,kwh,kw\r\n";

}  // namespace

TEST_F(MergeFileTest, FirstDownloadSortsDropsDuplicatesAndDeletesTheDownload) {
  WriteFileBytes("dl.tmp",
                 "time,kwh,kw\r\n"
                 "2024-01-01 00:02:00,3,3\r\n"
                 "2024-01-01 00:00:00,1,1\r\n"
                 "junk\r\n"
                 "2024-01-01 00:02:00,3,33\r\n"
                 "2024-01-01 00:01:00,2,2\r\n");
  EXPECT_EQ(1, Merge());
  EXPECT_EQ(std::string(kHeader) +
                "2024-01-01 00:00:00,1,1\r\n2024-01-01 00:01:00,2,2\r\n"
                "2024-01-01 00:02:00,3,33\r\n",
            ReadFileBytes("SN1/mb-001.log"));
  EXPECT_FALSE(FileExists("dl.tmp"));
  EXPECT_FALSE(FileExists("SN1/mb-001.new"));
  std::vector<std::string> expected = {
      "merge,Merge starting for SN1, device 1",
      "merge,Merge reading dl.tmp",
      "merge,Merge sort: got got 3 records, 1 duplicate records",
      "merge,Merge writing SN1\\mb-001.new",
      "merge,Merge complete",
  };
  EXPECT_EQ(expected, Entries());
  EXPECT_STREQ("Writing file SN1\\mb-001.new", szStatus);
}

TEST_F(MergeFileTest, MergingTheSameDataTwiceChangesNoByte) {
  std::string data = kHeader;
  for (int i = 0; i < 500; i++) data += "2024-02-01 10:" + std::to_string(10 + i / 60) + ":" +
                                        std::to_string(10 + i % 50) + ",1,2\r\n";
  WriteFileBytes("dl.tmp", data);
  ASSERT_EQ(1, Merge());
  std::string first = ReadFileBytes("SN1/mb-001.log");
  long lAccepted = 0;
  for (char c : first) lAccepted += c == '\n';
  lAccepted -= 1;  // the header
  WriteFileBytes("dl.tmp", data);
  ASSERT_EQ(1, Merge());
  EXPECT_EQ(first, ReadFileBytes("SN1/mb-001.log"));
  // Every data line of the second download (repeated stamps included) is a
  // duplicate of a record already in the local log.
  EXPECT_TRUE(Logged("merge,Merge sort: got got " + std::to_string(lAccepted) +
                     " records, 500 duplicate records"));
}

TEST_F(MergeFileTest, HeadersLineEndsAndNames) {
  WriteFileBytes("SN1/mb-012.log", "time,old\n2024-01-01 00:00:00,a\n");
  WriteFileBytes("dl.tmp", "2024-01-01 00:00:01,b\r\n");
  ASSERT_EQ(1, Merge(12));
  // No header in the download: the local log keeps its own. The download's
  // carriage return stays in its line.
  EXPECT_EQ("time,old\n2024-01-01 00:00:00,a\n2024-01-01 00:00:01,b\r\n",
            ReadFileBytes("SN1/mb-012.log"));
  WriteFileBytes("dl.tmp", "time,new\r\n2024-01-01 00:00:02,c\r\n");
  ASSERT_EQ(1, Merge(12));
  EXPECT_EQ("time,new\r\n2024-01-01 00:00:00,a\n2024-01-01 00:00:01,b\r\n2024-01-01 00:00:02,c\r\n",
            ReadFileBytes("SN1/mb-012.log"));
  WriteFileBytes("dl.tmp", "2024-01-01 00:00:02,c\r\n");
  ASSERT_EQ(1, Merge(1234));
  EXPECT_TRUE(FileExists("SN1/mb-1234.log"));
}

TEST_F(MergeFileTest, LongLinesStayWhole) {
  std::string longRecord = "2024-01-01 00:00:00," + std::string(10000, 'x') + "\r";
  std::string longHeader = "time," + std::string(5000, 'h');
  WriteFileBytes("dl.tmp", longHeader + "\n" + longRecord + "\n2024-01-01 00:00:01,y\n" +
                               "2024-01-01 00:00:00," + std::string(1500, 'z') + "\n");
  ASSERT_EQ(1, Merge());
  EXPECT_EQ(longHeader + "\n" + longRecord + "\n2024-01-01 00:00:01,y\n",
            ReadFileBytes("SN1/mb-001.log"));
}

TEST_F(MergeFileTest, LeftoverMergedFileIsTakenUp) {
  // A merge that wrote its merged file but could not rename it: the merged
  // file holds a record (00:00:05) that no other file has any more.
  WriteFileBytes("SN1/mb-001.log", "time,a\n2024-01-01 00:00:00,old\n");
  WriteFileBytes("SN1/mb-001.new",
                 "time,a\n2024-01-01 00:00:00,old\n2024-01-01 00:00:05,only-here\n");
  WriteFileBytes("dl.tmp", "2024-01-01 00:00:09,new\n");
  ASSERT_EQ(1, Merge());
  EXPECT_EQ("time,a\n2024-01-01 00:00:00,old\n2024-01-01 00:00:05,only-here\n"
            "2024-01-01 00:00:09,new\n",
            ReadFileBytes("SN1/mb-001.log"));
  EXPECT_FALSE(FileExists("SN1/mb-001.new"));
  EXPECT_FALSE(FileExists("SN1/mb-001.tmp"));
  EXPECT_TRUE(Logged("merge,Merge reading SN1\\mb-001.new"));
  // Written beside the leftover, not over it: the leftover stays whole until
  // the new data is complete.
  EXPECT_TRUE(Logged("merge,Merge writing SN1\\mb-001.tmp"));

  // Without a local log, and torn in its last line: the torn line loses to
  // the whole one from the download, being shorter.
  fs::remove("SN1/mb-001.log");
  WriteFileBytes("SN1/mb-001.new", "time,a\n2024-01-01 00:00:05,only-here\n2024-01-01 00:00:07,par");
  WriteFileBytes("dl.tmp", "2024-01-01 00:00:07,partial-no-more\n");
  ASSERT_EQ(1, Merge());
  EXPECT_EQ("time,a\n2024-01-01 00:00:05,only-here\n2024-01-01 00:00:07,partial-no-more\n",
            ReadFileBytes("SN1/mb-001.log"));
  EXPECT_FALSE(FileExists("SN1/mb-001.new"));
}

TEST_F(MergeFileTest, UnreadableInputChangesNothing) {
  WriteFileBytes("SN1/mb-001.log", "time,a\n2024-01-01 00:00:00,old\n");
  EXPECT_EQ(0, Merge());  // no download
  EXPECT_TRUE(Logged("merge,Error opening file dl.tmp, got 2 No such file or directory"));
  fs::create_directory("dl.tmp");
  EXPECT_EQ(0, Merge());
  EXPECT_TRUE(Logged("merge,Error opening file dl.tmp, got 21 Is a directory"));
  EXPECT_EQ("time,a\n2024-01-01 00:00:00,old\n", ReadFileBytes("SN1/mb-001.log"));
  EXPECT_FALSE(FileExists("SN1/mb-001.new"));
  EXPECT_TRUE(FileExists("dl.tmp"));
}

TEST_F(MergeFileTest, MergedFileThatCannotBeCreatedKeepsEverything) {
  WriteFileBytes("SN1/mb-001.log", "time,a\n2024-01-01 00:00:00,old\n");
  WriteFileBytes("dl.tmp", "2024-01-01 00:00:01,new\n");
  fs::create_directory("SN1/mb-001.new");
  EXPECT_EQ(0, Merge());
  EXPECT_TRUE(Logged("merge,Error creating file SN1\\mb-001.new, got 17 File exists"));
  EXPECT_EQ("time,a\n2024-01-01 00:00:00,old\n", ReadFileBytes("SN1/mb-001.log"));
  EXPECT_TRUE(fs::is_directory("SN1/mb-001.new"));
  EXPECT_EQ("2024-01-01 00:00:01,new\n", ReadFileBytes("dl.tmp"));
}

TEST_F(MergeFileTest, FailedRenameKeepsTheCompleteMergedFileForTheNextMerge) {
  // Something that is not a file sits where the local log goes.
  fs::create_directories("SN1/mb-001.log/inside");
  WriteFileBytes("dl.tmp", "time,a\n2024-01-01 00:00:01,first\n");
  EXPECT_EQ(0, Merge());
  bool bLogged = Logged("merge,Error renaming file SN1\\mb-001.new to SN1\\mb-001.log, got 21 Is a directory") ||
                 Logged("merge,Error renaming file SN1\\mb-001.new to SN1\\mb-001.log, got 39 Directory not empty");
  EXPECT_TRUE(bLogged);
  EXPECT_EQ("time,a\n2024-01-01 00:00:01,first\n", ReadFileBytes("SN1/mb-001.new"));
  EXPECT_TRUE(FileExists("dl.tmp"));
  // The next download (the old one overwritten) after the obstacle is gone.
  fs::remove_all("SN1/mb-001.log");
  WriteFileBytes("dl.tmp", "2024-01-01 00:00:02,second\n");
  EXPECT_EQ(1, Merge());
  EXPECT_EQ("time,a\n2024-01-01 00:00:01,first\n2024-01-01 00:00:02,second\n",
            ReadFileBytes("SN1/mb-001.log"));
  EXPECT_FALSE(FileExists("SN1/mb-001.new"));
  EXPECT_FALSE(FileExists("dl.tmp"));
}

TEST_F(MergeFileTest, WriteFailureRemovesTheMergedFileOnly) {
  std::string local = kHeader;
  char line[64];
  for (int i = 0; i < 30000; i++) {
    std::snprintf(line, sizeof line, "2024-01-%02d %02d:%02d:00,%d\r\n", 1 + i / 1440,
                  (i / 60) % 24, i % 60, i);
    local += line;
  }
  WriteFileBytes("SN1/mb-001.log", local);
  WriteFileBytes("dl.tmp", "2024-03-01 00:00:00,new\r\n");
  // In a child with a file size limit of 64 KiB: writing the merged file
  // fails half-way (the error log stays far below the limit).
  auto MergeInLimitedChild = [&]() {
    pid_t pid = fork();
    if (pid == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl = {64 * 1024, 64 * 1024};
      setrlimit(RLIMIT_FSIZE, &rl);
      _exit(MergeLogFile("SN1", 1, "dl.tmp", szStatus, 64, nullptr) == 0 ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  };
  ASSERT_TRUE(MergeInLimitedChild());
  EXPECT_TRUE(Logged("merge,Error writing file SN1\\mb-001.new, got 27 File too large"));
  EXPECT_EQ(local, ReadFileBytes("SN1/mb-001.log"));
  EXPECT_FALSE(FileExists("SN1/mb-001.new"));
  EXPECT_TRUE(FileExists("dl.tmp"));

  // With a leftover merged file (the only copy of 2024-02-01): it stays as
  // it was; only the file being written goes.
  const std::string leftover = "time,a\r\n2024-02-01 00:00:00,only-here\r\n";
  WriteFileBytes("SN1/mb-001.new", leftover);
  ASSERT_TRUE(MergeInLimitedChild());
  EXPECT_TRUE(Logged("merge,Error writing file SN1\\mb-001.tmp, got 27 File too large"));
  EXPECT_EQ(leftover, ReadFileBytes("SN1/mb-001.new"));
  EXPECT_FALSE(FileExists("SN1/mb-001.tmp"));
  EXPECT_EQ(local, ReadFileBytes("SN1/mb-001.log"));
  // Without the limit the next merge takes it all up.
  ASSERT_EQ(1, Merge());
  // The local log's header is read after the leftover's, so it stays.
  EXPECT_TRUE(ReadFileBytes("SN1/mb-001.log") ==
              local + "2024-02-01 00:00:00,only-here\r\n2024-03-01 00:00:00,new\r\n");
}

TEST_F(MergeFileTest, DescendingDownloadOfManyLines) {
  // Out of order and large: placing each line by walking a list from its
  // head would take minutes here; the result is the ascending file.
  std::vector<std::string> lines;
  char line[64];
  for (int i = 0; i < 200000; i++) {
    std::snprintf(line, sizeof line, "2024-01-%02d %02d:%02d:%02d,%d\r\n", 1 + i / 86400,
                  (i / 3600) % 24, (i / 60) % 60, i % 60, i);
    lines.push_back(line);
  }
  std::string data = kHeader, expected = kHeader;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) data += *it;
  for (const std::string &l : lines) expected += l;
  WriteFileBytes("dl.tmp", data);
  ASSERT_EQ(1, Merge());
  EXPECT_TRUE(ReadFileBytes("SN1/mb-001.log") == expected);
}

namespace {

// Sets or clears the immutable flag of a file (root on a file system that
// has it); false when that cannot be done here.
bool SetImmutable(const char *pszPath, bool bOn) {
  int fd = open(pszPath, O_RDONLY);
  if (fd < 0) return false;
  int flags = 0;
  bool bOk = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (bOk) {
    flags = bOn ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    bOk = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return bOk;
}

}  // namespace

TEST_F(MergeFileTest, DownloadThatCannotBeDeletedIsKeptAfterTheReplace) {
  WriteFileBytes("SN1/mb-001.log", "time,a\n2024-01-01 00:00:00,old\n");
  WriteFileBytes("dl.tmp", "2024-01-01 00:00:01,new\n");
  if (!SetImmutable("dl.tmp", true)) GTEST_SKIP() << "no immutable files here";
  int nResult = Merge();
  SetImmutable("dl.tmp", false);
  EXPECT_EQ(0, nResult);
  EXPECT_TRUE(Logged("merge,Error deleting file dl.tmp, got 1 Operation not permitted"));
  EXPECT_FALSE(Logged("merge,Merge complete"));
  EXPECT_EQ("time,a\n2024-01-01 00:00:00,old\n2024-01-01 00:00:01,new\n",
            ReadFileBytes("SN1/mb-001.log"));
  EXPECT_FALSE(FileExists("SN1/mb-001.new"));
  EXPECT_TRUE(FileExists("dl.tmp"));
}

TEST_F(MergeFileTest, StatusTextIsCutToItsCapacity) {
  std::string longDir(100, 'd');
  fs::create_directory(longDir);
  WriteFileBytes("dl.tmp", "2024-01-01 00:00:01,new\n");
  char szSmall[64];
  ASSERT_EQ(1, MergeLogFile(longDir.c_str(), 7, "dl.tmp", szSmall, sizeof szSmall, nullptr));
  EXPECT_EQ(("Writing file " + longDir).substr(0, 63), std::string(szSmall));
  EXPECT_TRUE(FileExists(longDir + "/mb-007.log"));
}

namespace {

// The merge-reading entries of the error log, in order.
std::vector<std::string> ReadsLogged() {
  std::vector<std::string> v;
  for (const LogEntry &e : ReadLogEntries())
    if (e.message.rfind("Merge reading ", 0) == 0) v.push_back(e.message.substr(14));
  return v;
}

}  // namespace

TEST_F(MergeFileTest, LeftoverDownloadsAreMergedOldestFirstAndRemoved) {
  fs::create_directory("SN1/temp");
  WriteFileBytes("SN1/mb-001.log", "time,a\n2024-01-01 00:00:00,local\n");
  // K=2 is older than K=10 (numbers, not names, decide). Both hold 00:00:05
  // equally long: the older one's line is read first and stays. K=10 brings
  // a header; the download has none, so that header is the last one read.
  WriteFileBytes("SN1/temp/mb-001.10.tmp", "time,b\n2024-01-01 00:00:05,ten\n2024-01-01 00:00:06,k10\n");
  WriteFileBytes("SN1/temp/mb-001.2.tmp", "2024-01-01 00:00:05,two\n2024-01-01 00:00:00,lo\n");
  // Another device's, a directory and names that are no download of ours stay.
  WriteFileBytes("SN1/temp/mb-002.0.tmp", "2024-01-01 00:00:07,dev2\n");
  fs::create_directory("SN1/temp/mb-001.3.tmp");
  WriteFileBytes("SN1/temp/mb-001.03.tmp", "2024-01-01 00:00:08,not-ours\n");
  WriteFileBytes("SN1/temp/mb-01.4.tmp", "2024-01-01 00:00:08,not-ours\n");
  WriteFileBytes("SN1/temp/mb-001.4.tmp.x", "2024-01-01 00:00:08,not-ours\n");
  WriteFileBytes("SN1/temp/mb-001.11.tmp", "2024-01-01 00:00:09,download\n");
  ASSERT_EQ(1, Merge(1, "SN1\\temp\\mb-001.11.tmp"));
  EXPECT_EQ("time,b\n2024-01-01 00:00:00,local\n2024-01-01 00:00:05,two\n"
            "2024-01-01 00:00:06,k10\n2024-01-01 00:00:09,download\n",
            ReadFileBytes("SN1/mb-001.log"));
  EXPECT_EQ((std::vector<std::string>{"SN1\\mb-001.log", "SN1\\temp\\mb-001.2.tmp",
                                      "SN1\\temp\\mb-001.10.tmp", "SN1\\temp\\mb-001.11.tmp"}),
            ReadsLogged());
  EXPECT_TRUE(Logged("merge,Merge sort: got got 4 records, 2 duplicate records"));
  EXPECT_FALSE(FileExists("SN1/temp/mb-001.2.tmp"));
  EXPECT_FALSE(FileExists("SN1/temp/mb-001.10.tmp"));
  EXPECT_FALSE(FileExists("SN1/temp/mb-001.11.tmp"));
  EXPECT_TRUE(FileExists("SN1/temp/mb-002.0.tmp"));
  EXPECT_TRUE(fs::is_directory("SN1/temp/mb-001.3.tmp"));
  EXPECT_TRUE(FileExists("SN1/temp/mb-001.03.tmp"));
  EXPECT_TRUE(FileExists("SN1/temp/mb-01.4.tmp"));
  EXPECT_TRUE(FileExists("SN1/temp/mb-001.4.tmp.x"));

  // The download given with another spelling of its path is still not
  // taken for a leftover of itself (read once, deleted once).
  WriteFileBytes("SN1/temp/mb-002.1.tmp", "2024-01-01 00:00:08,dev2-new\n");
  ASSERT_EQ(1, MergeLogFile("SN1", 2, "./SN1/temp/mb-002.1.tmp", szStatus, 64, nullptr));
  EXPECT_EQ("2024-01-01 00:00:07,dev2\n2024-01-01 00:00:08,dev2-new\n",
            ReadFileBytes("SN1/mb-002.log"));
  EXPECT_FALSE(FileExists("SN1/temp/mb-002.0.tmp"));
  EXPECT_FALSE(FileExists("SN1/temp/mb-002.1.tmp"));
}

TEST_F(MergeFileTest, LeftoversStayUntilAMergeSucceeds) {
  fs::create_directory("SN1/temp");
  WriteFileBytes("SN1/temp/mb-001.0.tmp", "time,a\n2024-01-01 00:00:01,zero\n");
  WriteFileBytes("SN1/temp/mb-001.1.tmp", "2024-01-01 00:00:02,one\n");
  // The rename over the local log fails: nothing read may go.
  fs::create_directories("SN1/mb-001.log/inside");
  EXPECT_EQ(0, Merge(1, "SN1\\temp\\mb-001.1.tmp"));
  EXPECT_FALSE(Logged("merge,Merge complete"));
  EXPECT_TRUE(FileExists("SN1/temp/mb-001.0.tmp"));
  EXPECT_TRUE(FileExists("SN1/temp/mb-001.1.tmp"));
  // A leftover that cannot be read fails the merge the same way.
  fs::remove_all("SN1/mb-001.log");
  fs::remove("SN1/mb-001.new");
  fs::create_directory("SN1/temp/mb-001.2.tmp");
  WriteFileBytes("SN1/temp/mb-001.3.tmp", "x");
  fs::permissions("SN1/temp/mb-001.3.tmp", fs::perms::none);
  if (access("SN1/temp/mb-001.3.tmp", R_OK) != 0) {
    WriteFileBytes("dl.tmp", "2024-01-01 00:00:03,new\n");
    EXPECT_EQ(0, Merge());
    EXPECT_TRUE(Logged("merge,Error opening file SN1\\temp\\mb-001.3.tmp, got 13 Permission denied"));
    EXPECT_FALSE(FileExists("SN1/mb-001.log"));
    EXPECT_TRUE(FileExists("SN1/temp/mb-001.0.tmp"));
    EXPECT_TRUE(FileExists("dl.tmp"));
    fs::remove("dl.tmp");
  }
  fs::remove("SN1/temp/mb-001.3.tmp");
  // The leftovers alone (no new download): all taken up, then removed.
  ASSERT_EQ(1, Merge(1, nullptr));
  EXPECT_EQ("time,a\n2024-01-01 00:00:01,zero\n2024-01-01 00:00:02,one\n",
            ReadFileBytes("SN1/mb-001.log"));
  EXPECT_FALSE(FileExists("SN1/temp/mb-001.0.tmp"));
  EXPECT_FALSE(FileExists("SN1/temp/mb-001.1.tmp"));
  EXPECT_TRUE(fs::is_directory("SN1/temp/mb-001.2.tmp"));
  EXPECT_FALSE(FileExists("SN1/mb-001.new"));

  // Nothing left to take up: success, and not a file touched or entry written.
  std::size_t nEntries = Entries().size();
  std::string before = ReadFileBytes("SN1/mb-001.log");
  ASSERT_EQ(1, Merge(1, nullptr));
  ASSERT_EQ(1, Merge(5, nullptr));
  EXPECT_EQ(before, ReadFileBytes("SN1/mb-001.log"));
  EXPECT_FALSE(FileExists("SN1/mb-005.log"));
  EXPECT_EQ(nEntries, Entries().size());
  fs::remove_all("SN1/temp");
  ASSERT_EQ(1, Merge(1, nullptr));
}

TEST_F(MergeFileTest, TornLastLineOfALeftoverIsIgnoredButNotOfTheDownload) {
  fs::create_directory("SN1/temp");
  // Killed while the download was written: its last line is cut, and shown
  // as a record it would stand for good with the wrong values.
  WriteFileBytes("SN1/temp/mb-001.0.tmp", "2024-01-01 00:00:01,1.5\r\n2024-01-01 00:00:02,2");
  // The current download is taken as given (its writer cut what was torn).
  WriteFileBytes("SN1/temp/mb-001.1.tmp", "2024-01-01 00:00:03,3.75\r\n2024-01-01 00:00:04,4");
  ASSERT_EQ(1, Merge(1, "SN1\\temp\\mb-001.1.tmp"));
  EXPECT_EQ("2024-01-01 00:00:01,1.5\r\n2024-01-01 00:00:03,3.75\r\n2024-01-01 00:00:04,4\n",
            ReadFileBytes("SN1/mb-001.log"));
  EXPECT_TRUE(Logged("merge,Merge ignoring an unfinished last line in SN1\\temp\\mb-001.0.tmp"));
  EXPECT_FALSE(FileExists("SN1/temp/mb-001.0.tmp"));
  // The unit still holds the whole line: it comes with the next download.
  WriteFileBytes("SN1/temp/mb-001.2.tmp", "2024-01-01 00:00:02,2.125\r\n");
  ASSERT_EQ(1, Merge(1, "SN1\\temp\\mb-001.2.tmp"));
  EXPECT_EQ("2024-01-01 00:00:01,1.5\r\n2024-01-01 00:00:02,2.125\r\n2024-01-01 00:00:03,3.75\r\n"
            "2024-01-01 00:00:04,4\n",
            ReadFileBytes("SN1/mb-001.log"));
}

TEST_F(MergeFileTest, LeftoverDevicesAreFoundByStrictNames) {
  int an[300];
  EXPECT_EQ(0, ListLeftoverDevices("SN1", an, 300));  // no temp directory
  EXPECT_EQ(0, ListLeftoverDevices("none", an, 300));
  fs::create_directory("SN1/temp");
  EXPECT_EQ(0, ListLeftoverDevices("SN1", an, 300));
  for (const char *psz : {"mb-1.0.tmp", "mb-000.0.tmp", "mb-256.0.tmp", "mb-001.x.tmp",
                          "mb-001..tmp", "mb-001.0.tmpx", "mb-001.-1.tmp", "mb-+01.0.tmp",
                          "mb-0001.0.tmp", "mb-001.00.tmp", "MB-001.0.tmp", "mb-001.0.TMP",
                          "mb-1000.0.tmp", "mb-001.0", "mb-001.log", "mb-004.0.tmp.x",
                          "mb-001.99999999999999999999.tmp"})
    WriteFileBytes(std::string("SN1/temp/") + psz, "2024-01-01 00:00:00,x\n");
  fs::create_directory("SN1/temp/mb-009.0.tmp");
  EXPECT_EQ(0, ListLeftoverDevices("SN1", an, 300));
  for (const char *psz : {"mb-255.7.tmp", "mb-010.0.tmp", "mb-002.12.tmp", "mb-002.3.tmp",
                          "mb-001.0.tmp", "mb-100.4294967296.tmp"})
    WriteFileBytes(std::string("SN1/temp/") + psz, "2024-01-01 00:00:00,x\n");
  ASSERT_EQ(5, ListLeftoverDevices("SN1", an, 300));
  EXPECT_EQ((std::vector<int>{1, 2, 10, 100, 255}), std::vector<int>(an, an + 5));
  // At most nCap, the lowest first.
  ASSERT_EQ(2, ListLeftoverDevices("SN1\\", an, 2));
  EXPECT_EQ(1, an[0]);
  EXPECT_EQ(2, an[1]);
}

TEST_F(MergeFileTest, NulPaddingAndOutOfRangeStampsWinNothing) {
  // A line padded with NULs is as long as its bytes before the first NUL:
  // it does not beat a longer clean line, and no NUL reaches the local log.
  WriteFileBytes("SN1/mb-001.log", "time,kwh\n2005-12-08 22:36:45,1.25\n");
  WriteFileBytes("dl.tmp", std::string("2005-12-08 22:36:45,1.0") + std::string(10, '\0') +
                               "\n2005-12-08 22:36:46,2.0" + std::string(3, '\0') + "junk\r\n" +
                               std::string("\0time,lost\n", 11));
  ASSERT_EQ(1, Merge());
  EXPECT_EQ("time,kwh\n2005-12-08 22:36:45,1.25\n2005-12-08 22:36:46,2.0\n",
            ReadFileBytes("SN1/mb-001.log"));

  // Stamps with a field out of range are not moved onto the real record
  // of another time (12:60:00 is not 13:00:00), and are counted per file.
  std::string local = "time,kwh\n2023-02-28 23:59:59,a\n2023-03-01 00:00:00,b\n"
                      "2023-06-15 13:00:00,real\n2023-06-16 00:00:00,real\n";
  WriteFileBytes("SN1/mb-001.log", local);
  WriteFileBytes("dl.tmp",
                 "2023-06-15 12:60:00,longer-than-real\n"
                 "2023-02-29 00:00:00,longer-than-b\n"
                 "2023-06-15 24:00:00,longer-than-real\n"
                 "2023-06-15 12:59:60,longer-than-real\n"
                 "2023-13-01 00:00:00,x\n"
                 "2023-06-16 00:00:01,new\n");
  ASSERT_EQ(1, Merge());
  // They all read as time 0 and collapse into one record (the first of the
  // longest) at the very start, as any first field that is no time does.
  EXPECT_EQ("time,kwh\n2023-06-15 12:60:00,longer-than-real\n"
            "2023-02-28 23:59:59,a\n2023-03-01 00:00:00,b\n"
            "2023-06-15 13:00:00,real\n2023-06-16 00:00:00,real\n2023-06-16 00:00:01,new\n",
            ReadFileBytes("SN1/mb-001.log"));
  EXPECT_TRUE(Logged("merge,Merge ignoring 5 lines with an invalid time stamp in dl.tmp"));
  EXPECT_FALSE(Logged("merge,Merge ignoring 1 lines with an invalid time stamp in SN1\\mb-001.log"));
  // The local log holds one now: counted when it is read again (a log
  // not known to be in the merged form, its state record gone, is read whole).
  fs::remove("SN1/mb-001.state");
  WriteFileBytes("dl.tmp", "2023-06-16 00:00:00,real\n");
  ASSERT_EQ(1, Merge());
  EXPECT_TRUE(Logged("merge,Merge ignoring 1 lines with an invalid time stamp in SN1\\mb-001.log"));
}

TEST_F(MergeFileTest, BothFormsOfTheReaderAgreeOnNulsAndBadStamps) {
  const std::string data = std::string("time,a\0b\r\n", 10) +
                           std::string("2005-12-08 22:36:45,1.0\0\0\0\0\0\0\0\0\0\0\n", 34) +
                           "2005-12-08 22:36:45,1.25\n"
                           "2023-06-15 12:60:00,bad-and-long\n"
                           "2023-06-15 13:00:00,good\n";
  WriteFileBytes("a.log", data);
  LogRecord *pHead = nullptr;
  char *pHeader = nullptr;
  long lRecords = 0, lDuplicates = 0;
  ASSERT_EQ(1, ReadLogFile("a.log", &pHead, &pHeader, nullptr, 0, nullptr, &lRecords, &lDuplicates));
  EXPECT_STREQ("time,a\n", pHeader);
  ASSERT_EQ(1, WriteLogFile("list.log", &pHead, pHeader, nullptr, 0, nullptr));
  FreeRecords(&pHead, &pHeader);
  LogSet set;
  ASSERT_EQ(1, ReadLogSet("a.log", &set, nullptr, 0, nullptr, 0));
  ASSERT_EQ(1, WriteLogSet("set.log", P_O_EXCL, &set, nullptr, 0, nullptr));
  const std::string expected =
      "time,a\n2023-06-15 12:60:00,bad-and-long\n2005-12-08 22:36:45,1.25\n"
      "2023-06-15 13:00:00,good\n";
  EXPECT_EQ(expected, ReadFileBytes("list.log"));
  EXPECT_EQ(expected, ReadFileBytes("set.log"));
  EXPECT_EQ(set.lRecords, lRecords);
  EXPECT_EQ(set.lDuplicates, lDuplicates);
}

namespace {

// The same merges run in two unit directories: "A" may append to its local
// log, "B" always merges in full. Every result must be the same bytes.
class MergeAppendTest : public MergeFileTest {
 protected:
  void SetUp() override {
    MergeFileTest::SetUp();
    fs::create_directory("A");
    fs::create_directory("B");
  }
  void TearDown() override {
    MergeAppendToLog = 1;
    MergeFileTest::TearDown();
  }
  static std::string LastEntryStarting(const std::string &prefix) {
    std::string last;
    for (const std::string &e : Entries())
      if (e.rfind(prefix, 0) == 0) last = e;
    return last;
  }
  static int CountEntriesStarting(const std::string &prefix) {
    int n = 0;
    for (const std::string &e : Entries()) n += e.rfind(prefix, 0) == 0;
    return n;
  }
  // Merges the download into both; true when A appended (bTailed: A
  // replaced its tail). Both results, and the counts both log, must agree.
  bool MergeBoth(const std::string &download, int nDevice = 1) {
    WriteFileBytes("A/dl.tmp", download);
    WriteFileBytes("B/dl.tmp", download);
    int nBefore = CountEntriesStarting("merge,Merge appending");
    int nTails = CountEntriesStarting("merge,Merge replacing the tail");
    int nReads = CountEntriesStarting("merge,Merge reading A\\dl.tmp");
    MergeAppendToLog = 1;
    EXPECT_EQ(1, MergeLogFile("A", nDevice, "A\\dl.tmp", szStatus, 64, nullptr));
    bTailed = CountEntriesStarting("merge,Merge replacing the tail") > nTails;
    // Read once, whichever way the merge went.
    EXPECT_EQ(nReads + 1, CountEntriesStarting("merge,Merge reading A\\dl.tmp"));
    bool bAppended = CountEntriesStarting("merge,Merge appending") > nBefore;
    std::string sortA = LastEntryStarting("merge,Merge sort:");
    MergeAppendToLog = 0;
    EXPECT_EQ(1, MergeLogFile("B", nDevice, "B\\dl.tmp", szStatus, 64, nullptr));
    MergeAppendToLog = 1;
    EXPECT_EQ(CountEntriesStarting("merge,Merge appending"), nBefore + (bAppended ? 1 : 0));
    EXPECT_EQ(LastEntryStarting("merge,Merge sort:"), sortA);
    const std::string log = "/mb-00" + std::to_string(nDevice) + ".log";
    EXPECT_EQ(ReadFileBytes("B" + log), ReadFileBytes("A" + log));
    EXPECT_FALSE(FileExists("A/dl.tmp"));
    EXPECT_FALSE(FileExists("A/mb-00" + std::to_string(nDevice) + ".redo"));
    return bAppended;
  }
  bool bTailed = false;
  // The same change made to both local logs.
  static void EditBoth(const std::function<std::string(const std::string &)> &fn) {
    for (const char *psz : {"A/mb-001.log", "B/mb-001.log"})
      WriteFileBytes(psz, fn(ReadFileBytes(psz)));
  }
  static std::string Minutes(int nFrom, int nTo, const char *pszTag) {
    std::string s;
    char line[96];
    for (int i = nFrom; i < nTo; i++) {
      std::snprintf(line, sizeof line, "2024-05-%02d %02d:%02d:00,%d,%s\r\n", 1 + i / 1440,
                    (i / 60) % 24, i % 60, i, pszTag);
      s += line;
    }
    return s;
  }
};

const char kHead[] = "time,n,tag\r\n";

}  // namespace

TEST_F(MergeAppendTest, LaterRecordsAreAppendedOtherwiseTheFullMergeRuns) {
  // The first merge has no local log to append to.
  EXPECT_FALSE(MergeBoth(kHead + Minutes(0, 100, "a")));
  // A later day, with the same header again and duplicates among itself
  // (the longest line of one time wins there too).
  EXPECT_TRUE(MergeBoth(kHead + Minutes(100, 200, "b") + Minutes(150, 160, "bb")));
  EXPECT_EQ(kHead + Minutes(0, 100, "a") + Minutes(100, 150, "b") + Minutes(150, 160, "bb") +
                Minutes(160, 200, "b"),
            ReadFileBytes("A/mb-001.log"));
  EXPECT_TRUE(Logged("merge,Merge appending 100 records to A\\mb-001.log"));
  // No header at all in the download: the local log's stays.
  EXPECT_TRUE(MergeBoth(Minutes(200, 210, "c")));
  // Out of order among themselves, all later than the local log.
  EXPECT_TRUE(MergeBoth(Minutes(215, 220, "d") + Minutes(210, 215, "d")));
  // Nothing new (a header only): nothing to write.
  std::string before = ReadFileBytes("A/mb-001.log");
  int nWrites = CountEntriesStarting("merge,Merge writing A\\");
  EXPECT_FALSE(MergeBoth(kHead));
  EXPECT_EQ(nWrites, CountEntriesStarting("merge,Merge writing A\\"));
  EXPECT_EQ(before, ReadFileBytes("A/mb-001.log"));
  EXPECT_TRUE(MergeBoth(Minutes(220, 221, "d")));  // still known to be merged

  // Overlap: the new records start before the last one.
  EXPECT_FALSE(MergeBoth(Minutes(219, 230, "e")));
  // The last time stamp again, longer: it must replace the last line.
  EXPECT_FALSE(MergeBoth(Minutes(229, 230, "e-longer") + Minutes(230, 231, "f")));
  // The last time stamp again, shorter: the local line stays.
  EXPECT_FALSE(MergeBoth(Minutes(230, 231, "") + Minutes(231, 232, "g")));
  // A changed header.
  EXPECT_FALSE(MergeBoth("time,n,tag,new\r\n" + Minutes(240, 241, "h")));
  EXPECT_EQ(0u, ReadFileBytes("A/mb-001.log").rfind("time,n,tag,new\r\n", 0));
  // And the append works again on the result.
  EXPECT_TRUE(MergeBoth(Minutes(241, 250, "i")));
  // A time stamp that is no time (0) sorts first: never after the log.
  EXPECT_FALSE(MergeBoth("2024-05-01 24:00:00,bad\r\n" + Minutes(250, 251, "j")));
  EXPECT_TRUE(MergeBoth(Minutes(251, 252, "k")));
  // Before 1970 (4294967295) sorts last: afterwards nothing comes later.
  EXPECT_TRUE(MergeBoth("1969-12-31 23:59:59,old\r\n"));
  EXPECT_FALSE(MergeBoth(Minutes(252, 253, "l")));
}

TEST_F(MergeAppendTest, ALocalLogNotKnownToBeInMergedFormIsMergedInFull) {
  EXPECT_FALSE(MergeBoth(kHead + Minutes(0, 100, "a")));
  EXPECT_TRUE(MergeBoth(Minutes(100, 110, "b")));
  // A junk line in the middle.
  EditBoth([](const std::string &s) {
    return s.substr(0, 500) + "junk without a comma\r\n" + s.substr(500);
  });
  EXPECT_FALSE(MergeBoth(Minutes(110, 120, "c")));
  EXPECT_EQ(std::string::npos, ReadFileBytes("A/mb-001.log").find("junk"));
  EXPECT_TRUE(MergeBoth(Minutes(120, 130, "d")));
  // A line out of order in the middle.
  EditBoth([](const std::string &s) {
    std::size_t at = s.find("2024-05-01 00:50:00");
    return s.substr(0, at) + "2024-05-01 01:55:00,moved,x\r\n" + s.substr(at);
  });
  EXPECT_FALSE(MergeBoth(Minutes(130, 140, "e")));
  EXPECT_TRUE(MergeBoth(Minutes(140, 150, "f")));
  // A second header line in the middle, and a NUL-padded line.
  EditBoth([](const std::string &s) {
    std::size_t at = s.find("2024-05-01 00:20:00");
    return s.substr(0, at) + "time,late\r\n" + s.substr(at);
  });
  EXPECT_FALSE(MergeBoth(Minutes(150, 151, "g")));
  EXPECT_EQ(0u, ReadFileBytes("A/mb-001.log").rfind("time,late\r\n", 0));
  EXPECT_TRUE(MergeBoth(Minutes(151, 152, "h")));
  // No line break at the end (the shorter last line would otherwise stay).
  EditBoth([](const std::string &s) { return s.substr(0, s.size() - 3); });
  EXPECT_FALSE(MergeBoth(Minutes(151, 153, "h")));
  EXPECT_TRUE(MergeBoth(Minutes(153, 154, "i")));
  // The same size and modification time put back after a change: the
  // change time still tells.
  struct stat st;
  ASSERT_EQ(0, stat("A/mb-001.log", &st));
  EditBoth([](const std::string &s) {
    std::string t = s;
    t.replace(t.find(",5,a"), 4, ",5,X");
    return t;
  });
  struct timespec times[2] = {st.st_atim, st.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, "A/mb-001.log", times, 0));
  EXPECT_FALSE(MergeBoth(Minutes(154, 155, "j")));
  EXPECT_NE(std::string::npos, ReadFileBytes("A/mb-001.log").find(",5,X"));
  // A state record that was tampered with, or is gone.
  EXPECT_TRUE(MergeBoth(Minutes(155, 156, "k")));
  std::string state = ReadFileBytes("A/mb-001.state");
  std::string forged = state;
  forged[forged.find("records ") + 8] ^= 1;
  WriteFileBytes("A/mb-001.state", forged);
  EXPECT_FALSE(MergeBoth(Minutes(156, 157, "l")));
  fs::remove("A/mb-001.state");
  EXPECT_FALSE(MergeBoth(Minutes(157, 158, "m")));
  EXPECT_TRUE(MergeBoth(Minutes(158, 159, "n")));
  // A merged file left behind: the full merge takes it up.
  WriteFileBytes("A/mb-001.new", kHead + Minutes(159, 160, "only-here"));
  WriteFileBytes("B/mb-001.new", kHead + Minutes(159, 160, "only-here"));
  EXPECT_FALSE(MergeBoth(Minutes(160, 161, "o")));
  EXPECT_NE(std::string::npos, ReadFileBytes("A/mb-001.log").find("only-here"));
}

TEST_F(MergeAppendTest, LeftoversAreAppendedTooAndAFailedAppendIsCutBack) {
  EXPECT_FALSE(MergeBoth(kHead + Minutes(0, 3000, "a")));
  // Leftovers from earlier runs, later than the log: appended with the
  // download, in the order of a full merge.
  for (const char *pszDir : {"A/temp", "B/temp"}) {
    fs::create_directory(pszDir);
    WriteFileBytes(std::string(pszDir) + "/mb-001.0.tmp", Minutes(3000, 3010, "left0"));
    WriteFileBytes(std::string(pszDir) + "/mb-001.1.tmp",
                   Minutes(3005, 3020, "left-1") + "2024-05-03 02:20:00,to");
  }
  EXPECT_TRUE(MergeBoth(Minutes(3015, 3030, "new")));
  EXPECT_FALSE(FileExists("A/temp/mb-001.0.tmp"));
  EXPECT_FALSE(FileExists("A/temp/mb-001.1.tmp"));

  // An append that fails half-way (a file size limit, in a child): the
  // local log is cut back to its old bytes and the download stays.
  const std::string before = ReadFileBytes("A/mb-001.log");
  std::string big;
  for (int k = 0; k < 4; k++) big += Minutes(3030 + k * 1440, 3030 + (k + 1) * 1440, "big");
  WriteFileBytes("A/dl.tmp", big);
  pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {static_cast<rlim_t>(before.size() + 4096),
                        static_cast<rlim_t>(before.size() + 4096)};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(MergeLogFile("A", 1, "A\\dl.tmp", szStatus, 64, nullptr) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(Logged("merge,Error writing file A\\mb-001.log, got 27 File too large"));
  EXPECT_EQ(before, ReadFileBytes("A/mb-001.log"));
  EXPECT_TRUE(FileExists("A/dl.tmp"));
  // Then, without the limit, the same download again: all of it arrives.
  // (Cutting the log back changed its times: this merge is a full one.)
  EXPECT_FALSE(MergeBoth(big));
  EXPECT_EQ(before + big, ReadFileBytes("A/mb-001.log"));
}

// A unit that keeps its log sends the last days again with the next one:
// A replaces only its log's tail, in place, and must end as B, which merges
// in full. Where the tail cannot be shown to be merged, or would be most of
// the log, A merges in full too.
TEST_F(MergeAppendTest, RecordsSentAgainReplaceOnlyTheTail) {
  const int kDay = 1440;
  EXPECT_FALSE(MergeBoth(kHead + Minutes(0, 10 * kDay, "a")));
  struct Night {
    std::string download;
    bool bTail;  // A replaces its tail (otherwise: a full merge)
  } nights[] = {
      // A day again plus the next day; then 3 days again, out of order.
      {kHead + Minutes(9 * kDay, 11 * kDay, "a"), true},
      {Minutes(11 * kDay, 12 * kDay, "b") + Minutes(9 * kDay, 11 * kDay, "a"), true},
      // Inside the re-sent window: the same stamp longer (wins) and shorter
      // (loses), junk, a line out of order.
      {Minutes(11 * kDay, 11 * kDay + 5, "longer-b") + Minutes(11 * kDay + 5, 11 * kDay + 9, "") +
           "junk without a comma\r\n" + Minutes(10 * kDay + 3, 10 * kDay + 4, "m") +
           Minutes(12 * kDay, 12 * kDay + 60, "c"),
       true},
      // Reaching the log's first record: the full merge.
      {Minutes(0, 1, "a") + Minutes(12 * kDay + 60, 12 * kDay + 61, "c"), false},
      // More than half of the log again.
      {Minutes(5 * kDay, 13 * kDay, "d"), false},
      // A different header: the full merge, the new header.
      {"time,n,tag,x\r\n" + Minutes(12 * kDay, 13 * kDay + 1, "e"), false},
      // Two weeks again in a log of four weeks.
      {Minutes(13 * kDay, 28 * kDay, "f"), true},
      {Minutes(15 * kDay, 29 * kDay, "f"), true},
      // The equal stamp at the tail's very first line, longer.
      {Minutes(28 * kDay, 28 * kDay + 1, "longer-f") + Minutes(29 * kDay, 29 * kDay + 1, "g"), true},
  };
  for (const Night &night : nights) {
    SCOPED_TRACE(night.download.substr(0, 40));
    EXPECT_FALSE(MergeBoth(night.download));
    EXPECT_EQ(night.bTail, bTailed);
  }
  EXPECT_NE(std::string::npos, ReadFileBytes("A/mb-001.log").find(",longer-b\r\n"));
  EXPECT_EQ(std::string::npos, ReadFileBytes("A/mb-001.log").find(",m\r\n"));

  // A local log edited by hand, before the tail and inside it: not known
  // to be merged any more, so the full merge; then the tail again.
  for (std::size_t at : {std::size_t{5000}, ReadFileBytes("A/mb-001.log").size() - 300}) {
    EditBoth([at](const std::string &s) {
      return s.substr(0, at) + "2024-05-01 00:00:30,edited\r\n" + s.substr(at);
    });
    EXPECT_FALSE(MergeBoth(Minutes(28 * kDay, 29 * kDay + 2, "h")));
    EXPECT_FALSE(bTailed);
    EXPECT_FALSE(MergeBoth(Minutes(28 * kDay, 29 * kDay + 3, "h")));
    EXPECT_TRUE(bTailed);
  }
  // Two devices on the same night, each its own tail.
  for (int nDevice : {2, 3}) EXPECT_FALSE(MergeBoth(kHead + Minutes(0, 3 * kDay, "x"), nDevice));
  for (int nDevice : {2, 3}) {
    EXPECT_FALSE(MergeBoth(Minutes(2 * kDay, 4 * kDay, nDevice == 2 ? "y" : "zz"), nDevice));
    EXPECT_TRUE(bTailed);
  }
}

// A redo record left by a tail replacement cut short is carried out before
// anything else touches the log; one that fails its check is dropped.
TEST_F(MergeAppendTest, ARedoRecordIsFinishedOrDroppedFirst) {
  const int kDay = 1440;
  EXPECT_FALSE(MergeBoth(kHead + Minutes(0, 4 * kDay, "a")));
  EXPECT_FALSE(MergeBoth(Minutes(3 * kDay, 5 * kDay, "b")));
  ASSERT_TRUE(bTailed);
  const std::string whole = ReadFileBytes("A/mb-001.log");
  // The redo record of that night, as it stood before the log was cut.
  const std::string start = Minutes(3 * kDay, 3 * kDay + 1, "a");
  const std::size_t at = whole.find(start);
  ASSERT_NE(std::string::npos, at);
  const std::string tail = whole.substr(at);
  std::string redo = "tail redo 1 offset " + std::to_string(at) + " bytes " +
                     std::to_string(tail.size()) + " records " + std::to_string(5 * kDay) +
                     " last " + std::to_string(1714521600 + (5 * kDay - 1) * 60) + " header " +
                     std::to_string(std::strlen(kHead)) + "\n" + tail;
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : redo) h = (h ^ c) * 1099511628211ull;
  char check[40];
  std::snprintf(check, sizeof check, "check %016llx\n", static_cast<unsigned long long>(h));
  redo += check;
  // Cut at every step: the log untouched, cut at the offset, half written.
  const std::string old = kHead + Minutes(0, 4 * kDay, "a");
  for (const std::string &cut : {old, whole.substr(0, at), whole.substr(0, at + tail.size() / 2)}) {
    WriteFileBytes("A/mb-001.log", cut);
    WriteFileBytes("A/mb-001.redo", redo);
    // A download with nothing new: the redo record is carried out all the
    // same, and the result is known to be merged (the next night appends).
    EXPECT_FALSE(MergeBoth(kHead));
    EXPECT_TRUE(Logged("merge,Merge finishing the tail of A\\mb-001.log from A\\mb-001.redo"));
    EXPECT_EQ(whole, ReadFileBytes("A/mb-001.log"));
    EXPECT_TRUE(MergeBoth(Minutes(5 * kDay, 5 * kDay + 1, "c")));
    WriteFileBytes("B/mb-001.log", whole);
    (void)fs::remove("B/mb-001.state");
    WriteFileBytes("A/mb-001.log", whole);
    (void)fs::remove("A/mb-001.state");
  }
  // A redo record whose log is gone: its records are taken up as those of
  // a merged file left behind (the same bytes, its first and last lines no
  // records), not lost.
  fs::remove("A/mb-001.log");
  fs::remove("B/mb-001.log");
  WriteFileBytes("A/mb-001.redo", redo);
  WriteFileBytes("B/mb-001.new", redo);
  EXPECT_FALSE(MergeBoth(kHead + Minutes(5 * kDay, 5 * kDay + 1, "c")));
  EXPECT_EQ(kHead + tail + Minutes(5 * kDay, 5 * kDay + 1, "c"), ReadFileBytes("A/mb-001.log"));
  EXPECT_FALSE(FileExists("A/mb-001.new"));
  // A redo record torn while it was written: dropped, the log unchanged.
  WriteFileBytes("A/mb-001.redo", redo.substr(0, redo.size() - 40));
  EXPECT_FALSE(MergeBoth(Minutes(5 * kDay, 5 * kDay + 2, "d")));
  EXPECT_TRUE(Logged("merge,Merge discarding the unfinished A\\mb-001.redo"));
}
