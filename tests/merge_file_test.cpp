// The merge of a downloaded log into the local log, on real files: the
// result, the file names, the error log, and what each failure leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "merge/logset.h"
#include "merge/merge.h"
#include "platform/file.h"
#include "shell/errorlog.h"
#include "tests/testutil.h"

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
  // The local log holds one now: counted when it is read again (a
  // download that overlaps it makes the merge read it whole).
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
