// The file layer's two modes and path mapping on real files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/testhooks.h"
#include "tests/support/testutil.h"

namespace {

std::string ReadAllVia(const char *path, int mode, std::size_t chunk) {
  int h = PlatOpen(path, P_O_RDONLY | mode);
  EXPECT_GE(h, 0);
  std::string out;
  std::string buf(chunk, '\0');
  long n;
  while ((n = PlatRead(h, buf.data(), chunk)) > 0) out.append(buf.data(), n);
  PlatClose(h);
  return out;
}

}  // namespace

TEST(FileLayer, TextModeRoundTrip) {
  TempDir dir;
  int h = PlatOpen("t.txt", P_O_WRONLY | P_O_CREAT | P_O_TRUNC, P_S_IREAD | P_S_IWRITE);
  ASSERT_GE(h, 0);
  const std::string data = "one\ntwo\r\nthree\rfour\n";
  ASSERT_EQ(static_cast<long>(data.size()), PlatWrite(h, data.data(), data.size()));
  PlatClose(h);
  // LF becomes CR LF; a CR already there stays (CR LF in, CR CR LF out).
  EXPECT_EQ("one\r\ntwo\r\r\nthree\rfour\r\n", ReadFileBytes("t.txt"));
  // Reading as text drops every CR, wherever it stands.
  EXPECT_EQ("one\ntwo\nthreefour\n", ReadAllVia("t.txt", P_O_TEXT, 3));
  EXPECT_EQ("one\r\ntwo\r\r\nthree\rfour\r\n", ReadAllVia("t.txt", P_O_BINARY, 5));
}

TEST(FileLayer, CtrlZEndsTextDataOnly) {
  TempDir dir;
  WriteFileBytes("z", std::string("ab\r\ncd\x1a" "ef\r\n", 10));
  EXPECT_EQ("ab\ncd", ReadAllVia("z", P_O_TEXT, 64));
  EXPECT_EQ(std::string("ab\r\ncd\x1a" "ef\r\n", 10), ReadAllVia("z", P_O_BINARY, 64));
  // A 0x1A far beyond the first buffer still ends the data.
  std::string big(100000, 'x');
  WriteFileBytes("big", big + "\x1a" + "tail");
  EXPECT_EQ(big, ReadAllVia("big", P_O_TEXT, 4096));
  // Binary reads larger than the layer's buffer.
  EXPECT_EQ(big + "\x1a" + "tail", ReadAllVia("big", P_O_BINARY, 1 << 20));
}

TEST(FileLayer, BackslashPathsNameFilesInDirectories) {
  TempDir dir;
  ASSERT_EQ(0, PlatMkdir("unit"));
  ASSERT_EQ(-1, PlatMkdir("unit"));
  EXPECT_EQ(PLAT_EEXIST, PlatErrno());
  int h = PlatOpen("unit\\mb-001.log", P_O_WRONLY | P_O_CREAT | P_O_EXCL | P_O_BINARY, 0600);
  ASSERT_GE(h, 0);
  ASSERT_EQ(2, PlatWrite(h, "a\n", 2));
  PlatClose(h);
  EXPECT_EQ("a\n", ReadFileBytes("unit/mb-001.log"));
  EXPECT_EQ(-1, PlatOpen("unit\\mb-001.log", P_O_WRONLY | P_O_CREAT | P_O_EXCL, 0600));
  EXPECT_EQ(PLAT_EEXIST, PlatErrno());
  ASSERT_EQ(0, PlatRename("unit\\mb-001.log", "unit\\mb-001.new"));
  EXPECT_TRUE(PlatExists("unit\\mb-001.new"));
  EXPECT_FALSE(PlatExists("unit\\mb-001.log"));
  ASSERT_EQ(0, PlatUnlink("unit\\mb-001.new"));
  EXPECT_EQ(-1, PlatUnlink("unit\\mb-001.new"));
  EXPECT_EQ(PLAT_ENOENT, PlatErrno());
  EXPECT_STRNE("", PlatStrError(PLAT_ENOENT));
}

TEST(FileLayer, AppendModeAndBadHandles) {
  TempDir dir;
  WriteFileBytes("log", "x");
  int h = PlatOpen("log", P_O_WRONLY | P_O_APPEND | P_O_BINARY);
  ASSERT_GE(h, 0);
  PlatWrite(h, "yz", 2);
  PlatClose(h);
  EXPECT_EQ("xyz", ReadFileBytes("log"));
  EXPECT_EQ(-1, PlatWrite(h, "a", 1));  // closed handle
  EXPECT_EQ(-1, PlatClose(h));
  EXPECT_EQ(-1, PlatOpen("missing", P_O_RDONLY));
  EXPECT_EQ(PLAT_ENOENT, PlatErrno());
  EXPECT_EQ(-1, PlatOpen(".", P_O_RDONLY));  // a directory is not a file
}

TEST(FileLayer, ReadLineStrTakesAnyLength) {
  TempDir dir;
  std::string longLine(10000, 'L');
  WriteFileBytes("f", longLine + "\r\nshort\nlast");
  int h = PlatOpen("f", P_O_RDONLY | P_O_BINARY);
  std::string line;
  ASSERT_EQ(1, PlatReadLineStr(h, line));
  EXPECT_EQ(longLine + "\r", line);
  ASSERT_EQ(1, PlatReadLineStr(h, line));
  EXPECT_EQ("short", line);
  ASSERT_EQ(1, PlatReadLineStr(h, line));
  EXPECT_EQ("last", line);
  EXPECT_EQ(0, PlatReadLineStr(h, line));
  PlatClose(h);
}

TEST(FileLayer, ListingAndStatOfADirectory) {
  TempDir dir;
  ASSERT_EQ(0, PlatMkdir("unit"));
  ASSERT_EQ(0, PlatMkdir("unit\\temp"));
  WriteFileBytes("unit/temp/b.tmp", "12345");
  WriteFileBytes("unit/temp/a.tmp", "");
  ASSERT_EQ(0, PlatMkdir("unit\\temp\\sub"));
  std::vector<std::string> names = {"stale"};
  ASSERT_EQ(0, PlatListDir("unit\\temp", &names));
  // Every entry, subdirectories included, but not "." and "..", in order.
  EXPECT_EQ((std::vector<std::string>{"a.tmp", "b.tmp", "sub"}), names);
  ASSERT_EQ(0, PlatListDir("unit\\temp\\sub", &names));
  EXPECT_TRUE(names.empty());
  names = {"stale"};
  EXPECT_EQ(-1, PlatListDir("unit\\none", &names));
  EXPECT_EQ(PLAT_ENOENT, PlatErrno());
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(-1, PlatListDir("unit\\temp\\b.tmp", &names));  // a file is no directory

  PlatFileInfo a{}, b{}, sub{}, b2{};
  ASSERT_EQ(0, PlatStat("unit\\temp\\b.tmp", &b));
  EXPECT_EQ(5, b.llSize);
  EXPECT_TRUE(b.bFile);
  EXPECT_FALSE(b.bDir);
  ASSERT_EQ(0, PlatStat("unit\\temp\\sub", &sub));
  EXPECT_FALSE(sub.bFile);
  EXPECT_TRUE(sub.bDir);
  ASSERT_EQ(0, PlatStat("unit\\temp\\a.tmp", &a));
  EXPECT_NE(a.ullId, b.ullId);
  ASSERT_EQ(0, PlatStat("unit/temp/b.tmp", &b2));  // one file, however spelt
  EXPECT_EQ(b.ullId, b2.ullId);
  EXPECT_EQ(b.ullDev, b2.ullDev);
  EXPECT_EQ(b.llMtimeNs, b2.llMtimeNs);
  // Writing the file moves its size and modification time on.
  int h = PlatOpen("unit\\temp\\b.tmp", P_O_WRONLY | P_O_APPEND | P_O_BINARY);
  ASSERT_GE(h, 0);
  ASSERT_EQ(1, PlatWrite(h, "6", 1));
  PlatClose(h);
  ASSERT_EQ(0, PlatStat("unit\\temp\\b.tmp", &b2));
  EXPECT_EQ(6, b2.llSize);
  EXPECT_GE(b2.llMtimeNs, b.llMtimeNs);
  EXPECT_EQ(-1, PlatStat("unit\\temp\\none", &b2));
  EXPECT_EQ(PLAT_ENOENT, PlatErrno());
}
