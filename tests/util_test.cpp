// The text helpers' edge cases that callers depend on, and the replace of a
// stored file through a new one beside it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/file.h"
#include "tests/support/testutil.h"
#include "util/atomicfile.h"
#include "util/text.h"

namespace {

// The time ReadTimeStamp gives for a text, whatever its verdict.
std::uint32_t Stamp(const char *pszText) {
  std::uint32_t ulTime = 7;
  ReadTimeStamp(pszText, &ulTime);
  return ulTime;
}

}  // namespace

TEST(CopyString, CutsAtCapacityAndReportsSourceLength) {
  char buf[8];
  EXPECT_EQ(7u, CopyString(buf, "1234567", sizeof buf));
  EXPECT_STREQ("1234567", buf);
  EXPECT_EQ(8u, CopyString(buf, "12345678", sizeof buf));
  EXPECT_STREQ("1234567", buf);
  std::memcpy(buf, "xxxxxxx", 8);
  EXPECT_EQ(3u, CopyString(buf, "abc", 0));
  EXPECT_STREQ("xxxxxxx", buf);  // capacity 0 writes nothing
  EXPECT_EQ(3u, CopyString(buf, "abc", 1));
  EXPECT_STREQ("", buf);
}

TEST(AppendString, StopsAtCapacity) {
  static char big[4096];
  std::memset(big, 'a', 4095);
  big[4095] = 0;
  EXPECT_EQ(4096u, AppendString(big, "\n", sizeof big));
  EXPECT_EQ(4095u, std::strlen(big));
  char buf[8] = "abc";
  EXPECT_EQ(9u, AppendString(buf, "defghi", sizeof buf));
  EXPECT_STREQ("abcdefg", buf);
  char full[4] = {'x', 'y', 'z', 'w'};  // no NUL within the capacity
  EXPECT_EQ(5u, AppendString(full, "a", sizeof full));
  EXPECT_EQ('w', full[3]);
}

TEST(NextField, SplitsWithoutQuotingOrTrimming) {
  char text[] = "a,,b,";
  char *cur = text;
  EXPECT_STREQ("a", NextField(&cur, ","));
  EXPECT_STREQ("", NextField(&cur, ","));
  EXPECT_STREQ("b", NextField(&cur, ","));
  EXPECT_STREQ("", NextField(&cur, ","));
  EXPECT_EQ(nullptr, NextField(&cur, ","));
  char empty[] = "";
  cur = empty;
  EXPECT_STREQ("", NextField(&cur, ","));
  EXPECT_EQ(nullptr, NextField(&cur, ","));
  cur = nullptr;
  EXPECT_EQ(nullptr, NextField(&cur, ","));
}

TEST(StripQuotes, CleanConfigurationValues) {
  char v1[] = "  'ABC 12'  ";
  StripQuotes(v1);
  EXPECT_STREQ("ABC 12", v1);
  char v2[] = "a\"b";
  StripQuotes(v2);
  EXPECT_STREQ("a b", v2);
  char v3[] = "\"'\"";
  StripQuotes(v3);
  EXPECT_STREQ("", v3);
  char v4[] = "\t x \t";
  StripQuotes(v4);
  EXPECT_STREQ("x", v4);
  char v5[] = "DAS1\r";  // CR is not a blank: only blanks, tabs and quotes go
  StripQuotes(v5);
  EXPECT_STREQ("DAS1\r", v5);
}

TEST(ParseTimeStamp, UtcWhateverTheZone) {
  const char *saved = std::getenv("TZ");
  std::string old = saved ? saved : "";
  setenv("TZ", "America/New_York", 1);
  EXPECT_EQ(1134081405u, Stamp("2005-12-08 22:36:45"));
  EXPECT_STREQ("America/New_York", std::getenv("TZ"));  // environment untouched
  if (saved) setenv("TZ", old.c_str(), 1); else unsetenv("TZ");
}

TEST(ParseTimeStamp, FieldsOutOfRangeAreNoTime) {
  EXPECT_EQ(0u, Stamp("2005-12-08"));
  EXPECT_EQ(0u, Stamp("time,kWh"));
  // A field out of range is not carried over onto another, real time.
  for (const char *psz : {"2005-13-01 00:00:00", "2005-00-01 00:00:00", "2005-12-00 00:00:00",
                          "2005-12-32 00:00:00", "2023-02-29 00:00:00", "2023-02-30 12:00:00",
                          "2023-04-31 00:00:00", "1900-02-29 00:00:00", "2005-12-08 24:00:00",
                          "2005-12-08 22:60:00", "2005-12-08 22:36:60", "2005-12-08 12:00:61",
                          "2005-12-08 -1:00:00", "2005-12-08 22:-1:00", "1969-13-01 00:00:00",
                          "2005-12-08 22:36:-5", "2005--1-08 22:36:05"}) {
    std::uint32_t ulTime = 7;
    EXPECT_EQ(0u, Stamp(psz)) << psz;
    EXPECT_EQ(-1, ReadTimeStamp(psz, &ulTime)) << psz;
    EXPECT_EQ(0u, ulTime) << psz;
  }
  std::uint32_t ulTime = 7;
  EXPECT_EQ(0, ReadTimeStamp("2005-12-08 22:36", &ulTime));  // no stamp at all
  EXPECT_EQ(0u, ulTime);
  EXPECT_EQ(1, ReadTimeStamp("2005-12-08 22:36:45", &ulTime));
  EXPECT_EQ(1134081405u, ulTime);
  EXPECT_EQ(4294967295u, Stamp("1969-12-31 23:59:59"));
  EXPECT_EQ(1, ReadTimeStamp("1969-12-31 23:59:59", &ulTime));
  EXPECT_EQ(4294967295u, Stamp("0000-02-29 00:00:00"));  // a leap year, long ago
  EXPECT_EQ(0u, Stamp("1970-01-01 00:00:00"));  // the epoch itself
  EXPECT_EQ(1, ReadTimeStamp("1970-01-01 00:00:00", &ulTime));
  EXPECT_EQ(951782400u, Stamp("2000-02-29 00:00:00"));
  EXPECT_EQ(1078012800u, Stamp("2004-02-29 00:00:00"));
  EXPECT_EQ(1136073599u, Stamp("2005-12-31 23:59:59"));
  // Scan rules: blanks and signs before numbers, text after seconds ignored.
  EXPECT_EQ(1134081405u, Stamp(" 2005-12-08  22:36:45.250"));
  EXPECT_EQ(1134081405u, Stamp("2005-12-08\t22:36:45"));
  EXPECT_EQ(0u, Stamp("2005-12-0822:36:45"));  // day 822, then no colon
  EXPECT_EQ(1134081405u, Stamp("2005-12-08 22:36:+45"));
  EXPECT_EQ(4294967295u, Stamp("2106-02-07 06:28:16"));  // past 32 bits
  EXPECT_EQ(4294967294u, Stamp("2106-02-07 06:28:14"));
  EXPECT_EQ(4294967295u, Stamp("9999-12-31 23:59:59"));
}

TEST(ParseTimeStamp, SafeBesideOtherThreads) {
  // Other threads turn times into local time for log entries meanwhile;
  // the parser must neither race with them nor change their zone.
  std::thread t([] {
    for (int i = 0; i < 2000; i++) Stamp("2005-12-08 22:36:45");
  });
  for (int i = 0; i < 2000; i++) {
    std::time_t now = 1134081405;
    std::tm a, b;
    localtime_r(&now, &a);
    localtime_r(&now, &b);
    ASSERT_EQ(a.tm_hour, b.tm_hour);
  }
  t.join();
}

class ReadLineTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string Lines(const std::string &content, int mode, int cap) {
    WriteFileBytes("f", content);
    int h = PlatOpen("f", P_O_RDONLY | mode);
    EXPECT_GE(h, 0);
    std::string out;
    std::string buf(cap, '\0');
    while (ReadLine(h, buf.data(), cap)) out += "[" + std::string(buf.c_str()) + "]";
    PlatClose(h);
    return out;
  }
};

TEST_F(ReadLineTest, ModesDecideAboutCarriageReturns) {
  EXPECT_EQ("[x\r][y]", Lines("x\r\ny", P_O_BINARY, 16));
  EXPECT_EQ("[x][y]", Lines("x\r\ny", P_O_TEXT, 16));
  EXPECT_EQ("", Lines("", P_O_TEXT, 16));
  EXPECT_EQ("[]", Lines("\n", P_O_TEXT, 16));
  EXPECT_EQ("[ab][cd]", Lines("a\rb\ncd\x1a" "ef\n", P_O_TEXT, 16));  // lone CR dropped, 0x1A ends
  EXPECT_EQ("[ab\x1a" "c]", Lines("ab\x1a" "c", P_O_BINARY, 16));
}

TEST_F(ReadLineTest, LongLinesSplitAtCapacity) {
  EXPECT_EQ("[abc][de]", Lines("abcde\n", P_O_BINARY, 4));
  // Exactly capacity-1 bytes then LF: whole line, then an empty one.
  EXPECT_EQ("[abc][][x]", Lines("abc\nx", P_O_BINARY, 4));
  std::string big(200000, 'q');
  EXPECT_EQ("[" + big + "][z]", Lines(big + "\nz\n", P_O_BINARY, 300000));
}

// The stored copy changes only at a commit, and only to the whole new file.
TEST(AtomicFile, TheCopyIsReplacedWholeOrNotAtAll) {
  TempDir dir;
  WriteFileBytes("list.txt", "old\n");
  AtomicFile f;
  ASSERT_EQ(1, AtomicFileOpen(&f, "list.txt", P_O_BINARY));
  EXPECT_STREQ("list.txt.new", f.szPart);
  EXPECT_EQ(1, AtomicFileWrite(&f, "new\n", 4));
  EXPECT_EQ("old\n", ReadFileBytes("list.txt"));
  EXPECT_EQ(ATOMIC_DONE, AtomicFileCommit(&f, 1));
  EXPECT_EQ("new\n", ReadFileBytes("list.txt"));
  EXPECT_FALSE(FileExists("list.txt.new"));

  ASSERT_EQ(1, AtomicFileOpen(&f, "list.txt", P_O_BINARY));
  AtomicFileWrite(&f, "cut", 3);
  AtomicFileDiscard(&f);
  EXPECT_EQ("new\n", ReadFileBytes("list.txt"));
  EXPECT_FALSE(FileExists("list.txt.new"));

  // A failed write fails the commit, even when later writes succeed.
  if (FileExists("/dev/full")) {
    ASSERT_EQ(0, symlink("/dev/full", "list.txt.new"));
    ASSERT_EQ(1, AtomicFileOpen(&f, "list.txt", P_O_BINARY));
    EXPECT_EQ(0, AtomicFileWrite(&f, "full", 4));
    EXPECT_EQ(ENOSPC, f.nErr);
    EXPECT_EQ(ATOMIC_NOT_WRITTEN, AtomicFileCommit(&f, 1));
    EXPECT_EQ("new\n", ReadFileBytes("list.txt"));
    EXPECT_FALSE(FileExists("list.txt.new"));
  }

  // A folder in the copy's place: the complete part is kept for the caller.
  ASSERT_EQ(0, PlatMkdir("d"));
  WriteFileBytes("d/inside", "");
  ASSERT_EQ(1, AtomicFileOpen(&f, "d", P_O_BINARY));
  AtomicFileWrite(&f, "x", 1);
  EXPECT_EQ(ATOMIC_NOT_RENAMED, AtomicFileCommit(&f, 0));
  EXPECT_NE(0, f.nErr);
  EXPECT_EQ("x", ReadFileBytes("d.new"));
}
