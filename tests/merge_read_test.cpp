// Reading log files for the merge: the line rules, the time stamps, and the
// survivors and counts, checked against the one-record-at-a-time placement
// (InsertRecord) fed by the line rules applied literally.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "log/errorlog.h"
#include "log/testhooks.h"
#include "merge/logset.h"
#include "merge/merge.h"
#include "merge/records.h"
#include "platform/file.h"
#include "tests/support/testutil.h"
#include "util/text.h"

namespace {

// The line rule as the reader has always applied it to a line held in a
// 4096-byte buffer: copy 31 characters, cut at the comma, at least 17
// characters, one quote off the end, then one off the start.
int ReferenceClassify(const std::string &line, std::uint32_t *pulTime) {
  char buf[4096];
  CopyString(buf, line.c_str(), sizeof buf);
  if (std::strncmp(buf, "time", 4) == 0) return 2;
  char field[32];
  CopyString(field, buf, sizeof field);
  char *pComma = std::strchr(field, ',');
  if (!pComma) return 0;
  *pComma = 0;
  if (std::strlen(field) <= 16) return 0;
  std::size_t n = std::strlen(field);
  if (field[n - 1] == '\'' || field[n - 1] == '"') field[n - 1] = 0;
  if (field[0] == '\'' || field[0] == '"') std::memmove(field, field + 1, std::strlen(field));
  ReadTimeStamp(field, pulTime);
  return 1;
}

// The reader's verdict on one line, against the reference rule.
void ExpectAsReference(const std::string &line) {
  std::uint32_t ulRef = 0, ulGot = 0;
  int nRef = ReferenceClassify(line, &ulRef);
  ASSERT_EQ(nRef, ClassifyLogLine(line.data(), line.size(), &ulGot)) << line;
  if (nRef == 1) {
    ASSERT_EQ(ulRef, ulGot) << line;
  }
}

struct Reference {
  LogRecord *pHead = nullptr;
  LogRecord *pCursor = nullptr;
  std::string header;
  bool bHeader = false;
  long lRecords = 0, lDuplicates = 0;
  std::vector<std::string> progress;  // counts after every accepted line
  ~Reference() { FreeRecords(&pHead, nullptr); }

  void AddFile(const std::vector<std::string> &rawLines) {
    pCursor = pHead;
    for (const std::string &raw : rawLines) {
      const std::string line(raw.c_str());  // held as a C string: ends at a NUL
      std::uint32_t t = 0;
      int k = ReferenceClassify(line, &t);
      if (k == 2) {
        header = line + "\n";
        bHeader = true;
      }
      if (k != 1) continue;
      auto *p = static_cast<LogRecord *>(std::calloc(1, sizeof(LogRecord)));
      p->pData = strdup(line.c_str());
      p->ulTime = t;
      ASSERT_EQ(1, InsertRecord(&pHead, &pCursor, p, &lRecords, &lDuplicates));
      progress.push_back("Merging record " + std::to_string(lRecords) + ", discard " +
                         std::to_string(lDuplicates) + " duplicates");
    }
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> v;
    for (LogRecord *p = pHead; p; p = p->pNext) v.push_back(p->pData);
    return v;
  }
};

std::string Join(const std::vector<std::string> &lines) {
  std::string s;
  for (const std::string &l : lines) s += l + "\n";
  return s;
}

std::string Stamp(std::mt19937 &rng, int nPool) {
  // A small pool of times makes duplicates common.
  int k = static_cast<int>(rng() % static_cast<unsigned>(nPool));
  char buf[64];
  std::snprintf(buf, sizeof buf, "2024-03-%02d %02d:%02d:%02d", 1 + k / 1440, (k / 60) % 24, k % 60,
                (k * 7) % 60);
  return buf;
}

// Lines of every shape the rules tell apart.
std::string RandomLine(std::mt19937 &rng, int nPool) {
  std::string payload(rng() % 12, 'v');
  for (char &c : payload) c = static_cast<char>('0' + rng() % 10);
  std::string cr = rng() % 4 == 0 ? "\r" : "";
  switch (rng() % 16) {
    case 0: return "time,kwh,kvar" + payload + cr;
    case 1: return "Time,kwh" + cr;
    case 2: return "";
    case 3: return "junk without a comma " + payload;
    case 4: return "short,field," + payload;
    case 5: return "'" + Stamp(rng, nPool) + "'," + payload + cr;
    case 6: return "\"" + Stamp(rng, nPool) + "\"," + payload + cr;
    case 7: return "'" + Stamp(rng, nPool) + "\"," + payload;  // mismatched quotes
    case 8: return Stamp(rng, nPool) + ".5," + payload;           // fraction of a second
    case 9: return "not-a-time-stamp-at-all," + payload;          // ulTime 0
    case 10:
      switch (rng() % 4) {
        case 0: return "1969-12-31 23:59:59," + payload;          // before 1970
        case 1: return "2024-03-01 12:60:00," + payload;          // out of range
        case 2: return "2024-02-30 00:00:00," + payload + cr;     // out of range
        default: return Stamp(rng, nPool) + "," + payload + std::string(1 + rng() % 10, '\0') + cr;
      }
    case 11: return Stamp(rng, nPool) + "          ," + payload;  // comma at 29
    case 12: return Stamp(rng, nPool) + "            ," + payload;  // comma after 31
    default: return Stamp(rng, nPool) + "," + payload + cr;
  }
}

class MergeReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetErrorLog();
    OpenErrorLog(1);
  }
  void TearDown() override {
    MergeRefreshHook = nullptr;
    MergeRefreshIntervalMs = 50;
    ResetErrorLog();
  }
  TempDir dir;
};

std::vector<std::string> *g_pSeen = nullptr;
void Watch(const char *pszStatus, const MergeProgress *) { g_pSeen->push_back(pszStatus); }

}  // namespace

TEST(MergeTimeStamp, FastPathGivesTheGeneralRulesResult) {
  const char *edges[] = {
      "2005-12-08 22:36:45", "1970-01-01 00:00:00", "1969-12-31 23:59:59",
      "2106-02-07 06:28:15", "2106-02-07 06:28:16", "2038-01-19 03:14:08",
      "2000-02-29 12:00:00", "2001-02-29 12:00:00", "1900-02-29 00:00:00",
      "2005-13-01 00:00:00", "2005-00-10 00:00:00", "2005-12-00 00:00:00",
      "2005-12-08 24:00:00", "2005-12-08 23:60:00", "2005-12-08 23:59:60",
      "2005-12-08 22:36:451", "2005-12-08 22:36:45.999", "2005-12-08  22:36:45",
      "2005-12-08T22:36:45", "2005-12-08", " 2005-12-08 22:36:45", "+2005-12-08 22:36:45",
      "2005-1-8 2:3:4", "9999-12-31 23:59:59", "0000-01-01 00:00:00", "2005-12-08 22:36:4",
      "20051-12-08 22:36:45", "2005-12-08\t22:36:45", "", "x", "2005-12-08 22:36:-5",
  };
  // Bare, the usual line; quoted, the stamp goes through the general rule
  // and its fast path on the field.
  for (const char *s : edges)
    for (const char *q : {"", "'", "\""}) ExpectAsReference(q + std::string(s) + q + ",1");

  std::mt19937 rng(7);
  const char alphabet[] = "0123456789-: \t+.'\"Tx";
  char buf[40];
  for (int i = 0; i < 200000; i++) {
    if (i % 2 == 0) {
      // The usual shape with every field pushed around its limits.
      auto R = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
      std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u%s", 1890 + R(250), R(14),
                    R(33), R(26), R(62), R(62),
                    (rng() % 3 == 0) ? "7" : (rng() % 2 ? ".25" : ""));
      if (rng() % 8 == 0) buf[rng() % 19] = alphabet[rng() % (sizeof alphabet - 1)];
    } else {
      std::size_t n = rng() % 30;
      for (std::size_t k = 0; k < n; k++) buf[k] = alphabet[rng() % (sizeof alphabet - 1)];
      buf[n] = 0;
    }
    ExpectAsReference(std::string(buf) + ",1");
    ExpectAsReference("'" + std::string(buf) + "',1");
  }
}

TEST(MergeLineRules, AcceptsAndSkipsAsTheReaderAlwaysDid) {
  struct Case {
    const char *line;
    int nKind;
    std::uint32_t ulTime;
  } cases[] = {
      {"2005-12-08 22:36:45,1,2", 1, 1134081405u},
      {"'2005-12-08 22:36:45',1", 1, 1134081405u},
      {"\"2005-12-08 22:36:45\",1", 1, 1134081405u},
      {"'2005-12-08 22:36:45\",1", 1, 1134081405u},  // mismatched: both dropped
      {"2005-12-08 22:36:45',1", 1, 1134081405u},    // only a closing quote
      {"2005-12-08 22:36:45.750,1", 1, 1134081405u},
      {"2005-12-08 22:36:45\r", 0, 0},               // no comma
      {"12345678901234567,x", 1, 0u},                // 17 characters, not a time
      {"1234567890123456,x", 0, 0},                  // 16 characters
      {"1969-12-31 23:59:59,x", 1, 4294967295u},
      {"2005-12-08 22:36:45           ,x", 1, 1134081405u},   // comma is the 31st
      {"2005-12-08 22:36:45            ,x", 0, 0},            // comma is the 32nd
      {"time,a,b", 2, 0},
      {"timestamp", 2, 0},
      {"Time,a,b", 0, 0},
      {"tim", 0, 0},
      {"", 0, 0},
  };
  for (const Case &c : cases) {
    std::uint32_t t = 0;
    EXPECT_EQ(c.nKind, ClassifyLogLine(c.line, std::strlen(c.line), &t)) << c.line;
    if (c.nKind == 1) {
      EXPECT_EQ(c.ulTime, t) << c.line;
    }
  }
  // A NUL within the first field ends the search for the comma.
  std::string withNul("2005-12-08 22:36:45\0,x", 22);
  std::uint32_t t = 0;
  EXPECT_EQ(0, ClassifyLogLine(withNul.data(), withNul.size(), &t));
  // A line ends at its first NUL.
  EXPECT_EQ(19u, LogLineLength(withNul.data(), withNul.size()));
  EXPECT_EQ(3u, LogLineLength("abc", 3));
  EXPECT_EQ(0u, LogLineLength("\0abc", 4));

  // Out-of-range stamps are data lines of time 0, and are told apart from
  // first fields that are no stamp at all.
  struct Range {
    const char *line;
    std::uint32_t ulTime;
    int bOutOfRange;
  } ranges[] = {
      {"2023-06-15 12:60:00,1", 0, 1},        {"2023-02-30 00:00:00,1", 0, 1},
      {"2023-13-01 00:00:00,1", 0, 1},        {"2023-06-15 24:00:00,1", 0, 1},
      {"2023-06-15 12:00:61,1", 0, 1},        {"'2023-06-15 12:00:61',1", 0, 1},
      {"2023-6-15 12:60:0,1", 0, 1},          {"not-a-time-stamp-at-all,1", 0, 0},
      {"1969-12-31 23:59:59,1", 4294967295u, 0}, {"2023-06-15 13:00:00,1", 1686834000u, 0},
      {"2024-02-29 00:00:00,1", 1709164800u, 0},
  };
  for (const Range &r : ranges) {
    std::uint32_t ulTime = 7;
    int bOut = 7;
    EXPECT_EQ(1, ClassifyLogLine(r.line, std::strlen(r.line), &ulTime, &bOut)) << r.line;
    EXPECT_EQ(r.ulTime, ulTime) << r.line;
    EXPECT_EQ(r.bOutOfRange, bOut) << r.line;
  }
  int bOut = 7;
  EXPECT_EQ(2, ClassifyLogLine("time,a", 6, &t, &bOut));
  EXPECT_EQ(0, bOut);

  std::mt19937 rng(11);
  for (int i = 0; i < 20000; i++) {
    std::string line = RandomLine(rng, 50);
    std::uint32_t a = 0, b = 0;
    int ka = ClassifyLogLine(line.data(), LogLineLength(line.data(), line.size()), &a);
    ASSERT_EQ(ReferenceClassify(line, &b), ka) << line;
    if (ka == 1) {
      ASSERT_EQ(b, a) << line;
    }
  }
}

TEST_F(MergeReadTest, SameSurvivorsCountsAndHeaderAsOneByOnePlacement) {
  std::mt19937 rng(3);
  for (int round = 0; round < 60; round++) {
    int nFiles = 1 + static_cast<int>(rng() % 3);
    int nPool = 5 + static_cast<int>(rng() % 400);
    Reference ref;
    LogSet set, first, later;  // also: file 0 alone, the others apart, then joined
    for (int f = 0; f < nFiles; f++) {
      std::vector<std::string> lines;
      int n = static_cast<int>(rng() % 600);
      for (int i = 0; i < n; i++) lines.push_back(RandomLine(rng, nPool));
      switch (rng() % 3) {  // ascending, descending or as it came
        case 0: std::sort(lines.begin(), lines.end()); break;
        case 1: std::sort(lines.rbegin(), lines.rend()); break;
        default: break;
      }
      std::string text = Join(lines);
      if (rng() % 2 && !text.empty()) text.pop_back();  // last line without a line feed
      std::string name = "in" + std::to_string(f) + ".log";
      WriteFileBytes(name, text);
      ref.AddFile(lines);
      ASSERT_EQ(1, ReadLogSet(name.c_str(), &set, nullptr, 0, nullptr, 0));
      ASSERT_EQ(1, ReadLogSet(name.c_str(), f == 0 ? &first : &later, nullptr, 0, nullptr, 0));
    }
    ASSERT_EQ(1, MergeLogSets(&first, &later));
    EXPECT_TRUE(later.vLines.empty());
    EXPECT_EQ(ref.lRecords, first.lRecords);
    EXPECT_EQ(ref.lDuplicates, first.lDuplicates);
    ASSERT_EQ(1, WriteLogSet("joined.log", P_O_TRUNC, &first, nullptr, 0, nullptr));
    EXPECT_EQ(ReadFileBytes("joined.log"),
              (ref.bHeader ? ref.header : std::string()) + Join(ref.Lines()))
        << "round " << round;
    EXPECT_EQ(ref.lRecords, set.lRecords);
    EXPECT_EQ(ref.lDuplicates, set.lDuplicates);
    EXPECT_EQ(ref.lRecords, static_cast<long>(set.vLines.size()));
    // The set written out is the list written out.
    ASSERT_EQ(1, WriteLogSet("out.log", P_O_TRUNC, &set, nullptr, 0, nullptr));
    ASSERT_EQ((ref.bHeader ? ref.header : std::string()) + Join(ref.Lines()),
              ReadFileBytes("out.log"))
        << "round " << round;
  }
}

TEST_F(MergeReadTest, ProgressShowsTheCountsOfTheMoment) {
  std::mt19937 rng(5);
  std::vector<std::string> seen;
  g_pSeen = &seen;
  MergeRefreshHook = Watch;
  MergeRefreshIntervalMs = 0;  // a refresh after every accepted line
  Reference ref;
  LogSet set;
  char szStatus[64];
  std::vector<std::string> expected;
  for (int f = 0; f < 3; f++) {
    std::vector<std::string> lines;
    for (int i = 0; i < 400; i++) lines.push_back(RandomLine(rng, 150));
    if (f == 0) std::sort(lines.begin(), lines.end());
    if (f == 1) {
      std::vector<std::string> again(lines.begin(), lines.begin() + 50);
      lines.insert(lines.end(), again.begin(), again.end());
    }
    std::size_t nBefore = ref.progress.size();
    ref.AddFile(lines);
    expected.push_back("Reading file in.log");
    expected.insert(expected.end(), ref.progress.begin() + static_cast<std::ptrdiff_t>(nBefore),
                    ref.progress.end());
    expected.push_back(ref.progress.back());  // the end of the file
    WriteFileBytes("in.log", Join(lines));
    ASSERT_EQ(1, ReadLogSet("in.log", &set, szStatus, sizeof szStatus, nullptr, 0));
  }
  EXPECT_EQ(expected, seen);
  EXPECT_EQ(expected.back(), std::string(szStatus));
}

TEST_F(MergeReadTest, RefreshesAreRationedButStartAndEndAreShown) {
  std::string text;
  char line[128];
  for (int i = 0; i < 300000; i++) {
    std::snprintf(line, sizeof line, "2024-01-01 00:00:00,%d\n", i);
    text += line;  // all one time stamp: every line after the first is a duplicate
  }
  WriteFileBytes("big.log", text);
  std::vector<std::string> seen;
  g_pSeen = &seen;
  MergeRefreshHook = Watch;
  LogSet set;
  char szStatus[64];
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(1, ReadLogSet("big.log", &set, szStatus, sizeof szStatus, nullptr, 0));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ("Reading file big.log", seen.front());
  EXPECT_EQ("Merging record 1, discard 299999 duplicates", seen.back());
  EXPECT_LE(static_cast<long long>(seen.size()), 2 + ms / 50 + 1);
  EXPECT_EQ(1u, set.vLines.size());
}

TEST_F(MergeReadTest, ListInterfaceKeepsItsRules) {
  LogRecord *pHead = nullptr;
  char *pHeader = nullptr;
  long lRecords = 0, lDuplicates = 0;
  WriteFileBytes("empty.log", "");
  EXPECT_EQ(1, ReadLogFile("empty.log", &pHead, &pHeader, nullptr, 0, nullptr, &lRecords, &lDuplicates));
  EXPECT_EQ(nullptr, pHead);
  EXPECT_EQ(nullptr, pHeader);
  WriteFileBytes("a.log",
                 "time,x\r\n2005-12-08 22:36:45,1\r\n2005-12-08 22:36:45,22\r\n"
                 "2005-12-08 22:36:44,3\r\ntime,y\r\n");
  EXPECT_EQ(1, ReadLogFile("a.log", &pHead, &pHeader, nullptr, 0, nullptr, &lRecords, &lDuplicates));
  EXPECT_EQ(2, lRecords);
  EXPECT_EQ(1, lDuplicates);
  EXPECT_STREQ("time,y\r\n", pHeader);
  EXPECT_EQ(0, ReadLogFile("missing.log", &pHead, &pHeader, nullptr, 0, nullptr, &lRecords, &lDuplicates));
  EXPECT_EQ(1, WriteLogFile("out.log", &pHead, pHeader, nullptr, 0, nullptr));
  EXPECT_EQ(nullptr, pHead);  // consumed by the write
  EXPECT_EQ("time,y\r\n2005-12-08 22:36:44,3\r\n2005-12-08 22:36:45,22\r\n", ReadFileBytes("out.log"));
  // The file must be new.
  EXPECT_EQ(0, WriteLogFile("out.log", &pHead, pHeader, nullptr, 0, nullptr));
  EXPECT_EQ(0, InsertRecord(nullptr, nullptr, nullptr, &lRecords, &lDuplicates));
  FreeRecords(&pHead, &pHeader);
  EXPECT_EQ(nullptr, pHeader);
}

// The sanitizers' allocators do not return null or throw at an address-space
// limit: they end the process, so the case cannot be shown under them.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST_F(MergeReadTest, ListWriteOutOfMemoryIsReportedNotThrown) {
  // A record of 256 MiB, then an address-space limit that leaves no room
  // for its line: the write fails with result 0 (in a child, where the
  // limit cannot hurt anyone else).
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const std::size_t n = 256u << 20;
    auto *pRec = static_cast<LogRecord *>(std::calloc(1, sizeof(LogRecord)));
    pRec->pData = static_cast<char *>(std::malloc(n + 1));
    if (!pRec->pData) _exit(3);
    std::memset(pRec->pData, 'x', n);
    pRec->pData[n] = 0;
    long lPages = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld", &lPages) != 1) lPages = 0;
      std::fclose(f);
    }
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(lPages) * 4096 + (64u << 20);
    if (lPages == 0 || setrlimit(RLIMIT_AS, &rl) != 0) _exit(3);
    int nResult = WriteLogFile("big.log", &pRec, nullptr, nullptr, 0, nullptr);
    _exit(nResult == 0 && pRec != nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << "the write threw or crashed";
  EXPECT_EQ(0, WEXITSTATUS(status));
}
#endif
