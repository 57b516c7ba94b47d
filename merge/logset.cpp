// Reading, de-duplicating and writing log files for the merge.
//
// A log file is read with one read into one block; its lines are found with
// memchr and judged in place, and each accepted data line becomes a 24-byte
// entry pointing into the block. Nothing is copied line by line and no line
// is ever cut: a line of any length is one line.
//
// The result must be exactly what placing every line into a time-ordered
// list one by one would give (InsertRecord): per time stamp the longest
// line, among equally long ones the first read. A stable sort by time
// followed by picking, in each run of equal times, the first of the longest
// lines gives the same survivor, in O(n log n) for any input order. The
// usual input (an ascending local log, then an ascending download) is
// detected while reading and needs no sort at all, only a linear merge.
//
// The progress dialog shows how many records and duplicates there are "so
// far" while a file is read. Those counts are kept exactly as the one-by-one
// placement would count them: a line is a duplicate when its time is already
// in the set from earlier files or earlier in this file. For an ascending
// file both tests are a compare with a cursor; once a file goes out of order
// a hash set of its times so far takes over for the rest of it.
#include "merge/logset.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>
#include <unordered_set>

#include "daslist/daslist.h"
#include "platform/file.h"
#include "platform/window.h"
#include "shell/errorlog.h"
#include "util/text.h"

std::atomic<int> MergeFlushToDisk{1};
std::atomic<int> MergeRefreshIntervalMs{50};
std::atomic<void (*)(const char *, HWND)> MergeRefreshHook{nullptr};

namespace {

using Clock = std::chrono::steady_clock;

// Blocks written to the merged file at once.
constexpr std::size_t kWriteBlock = 1u << 20;
// How many accepted lines pass between two looks at the clock.
constexpr long kClockEvery = 256;

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline int Two(const char *p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
long long DaysFromCivil(long long y, long long m, long long d) {
  y -= m <= 2;
  long long era = (y >= 0 ? y : y - 399) / 400;
  long long yoe = y - era * 400;
  long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) return 29;
  return kDays[m - 1];
}

}  // namespace

std::uint32_t ParseLogTime(const char *s) {
  // The && chain stops at the first byte that does not fit, so nothing past
  // the terminator is ever read. After the seconds a further digit would
  // belong to them ("%d" reads on), so it sends the text down the slow path.
  if (IsDigit(s[0]) && IsDigit(s[1]) && IsDigit(s[2]) && IsDigit(s[3]) && s[4] == '-' &&
      IsDigit(s[5]) && IsDigit(s[6]) && s[7] == '-' && IsDigit(s[8]) && IsDigit(s[9]) &&
      s[10] == ' ' && IsDigit(s[11]) && IsDigit(s[12]) && s[13] == ':' && IsDigit(s[14]) &&
      IsDigit(s[15]) && s[16] == ':' && IsDigit(s[17]) && IsDigit(s[18]) && !IsDigit(s[19])) {
    int nYear = Two(s) * 100 + Two(s + 2);
    int nMon = Two(s + 5), nDay = Two(s + 8);
    int nHour = Two(s + 11), nMin = Two(s + 14), nSec = Two(s + 17);
    // Only fields that need no normalising; anything else (month 13,
    // second 60, years before 1970) is left to the general rule.
    if (nYear >= 1970 && nMon >= 1 && nMon <= 12 && nDay >= 1 &&
        nDay <= DaysInMonth(nYear, nMon) && nHour <= 23 && nMin <= 59 && nSec <= 59) {
      long long t = DaysFromCivil(nYear, nMon, nDay) * 86400 + nHour * 3600 + nMin * 60 + nSec;
      if (t > 0xFFFFFFFFLL) return 0xFFFFFFFFu;
      return static_cast<std::uint32_t>(t);
    }
  }
  return ParseTimeStamp(s);
}

int ClassifyLogLine(const char *p, std::size_t n, std::uint32_t *pulTime) {
  if (n >= 4 && std::memcmp(p, "time", 4) == 0) return 2;
  // The time stamp is the first field, and its comma must come within the
  // first 31 characters (a NUL ends the look, as it ends a C string).
  std::size_t nLook = n < 31 ? n : 31;
  std::size_t nComma = nLook;
  for (std::size_t i = 0; i < nLook; i++) {
    if (p[i] == ',') {
      nComma = i;
      break;
    }
    if (p[i] == 0) break;
  }
  if (nComma == nLook || nComma <= 16) return 0;
  char szField[32];
  std::memcpy(szField, p, nComma);
  szField[nComma] = 0;
  std::size_t nField = nComma;
  // One quote at each end is dropped, each end on its own.
  if (szField[nField - 1] == '"' || szField[nField - 1] == '\'') szField[--nField] = 0;
  const char *pszTime = szField;
  if (*pszTime == '"' || *pszTime == '\'') pszTime++;
  *pulTime = ParseLogTime(pszTime);
  return 1;
}

namespace {

struct Progress {
  char *pszStatus;
  unsigned nCap;
  HWND hWnd;
  Clock::time_point tLast;
};

void SendRefresh(Progress &prog) {
  prog.tLast = Clock::now();
  if (auto pfn = MergeRefreshHook.load())
    pfn(prog.pszStatus && prog.nCap ? prog.pszStatus : "", prog.hWnd);
  // No window, no refresh: a merge run without a dialog shows nothing.
  if (prog.hWnd) SendMessage(prog.hWnd, WM_COMMAND, CMD_PROGRESS_REFRESH, 0);
}

bool RefreshDue(const Progress &prog) {
  int nMs = MergeRefreshIntervalMs.load();
  if (nMs <= 0) return true;
  return Clock::now() - prog.tLast >= std::chrono::milliseconds(nMs);
}

void ShowCounts(Progress &prog, long lRecords, long lDuplicates) {
  if (prog.pszStatus && prog.nCap)
    FormatString(prog.pszStatus, prog.nCap, "Merging record %ld, discard %ld duplicates",
                 lRecords, lDuplicates);
  SendRefresh(prog);
}

int ClampInt(std::size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

}  // namespace

// Reads the whole file into one block. 1 = read, 0 = failed (reported),
// -1 = missing or a directory and bMayBeAbsent (not reported).
int ReadWholeLogFile(const char *pszPath, LogBytes *pBlock, std::size_t *pnBytes,
                     int bMayBeAbsent) {
  int h = PlatOpen(pszPath, P_O_RDONLY | P_O_BINARY);
  if (h < 0) {
    int nErr = PlatErrno();
    if (bMayBeAbsent && (nErr == P_ENOENT || nErr == EISDIR)) return -1;
    LogError("merge", __LINE__, "Error opening file %s, got %d %s", pszPath, nErr,
             PlatStrError(nErr));
    return 0;
  }
  long long nSize = PlatFileSize(pszPath);
  // One byte more than the file holds, so that the end shows up without
  // a second block; a file that grows meanwhile makes the block grow.
  std::size_t nCap = nSize >= 0 ? static_cast<std::size_t>(nSize) + 1 : 65536;
  char *p = static_cast<char *>(std::malloc(nCap));
  std::size_t nHave = 0;
  for (;;) {
    if (!p) {
      int nErr = ENOMEM;
      PlatClose(h);
      LogError("merge", __LINE__, "Error allocating %d bytes for data record, got %d %s",
               ClampInt(nCap), nErr, PlatStrError(nErr));
      return 0;
    }
    if (nHave == nCap) {
      nCap *= 2;
      char *pBigger = static_cast<char *>(std::realloc(p, nCap));
      if (!pBigger) std::free(p);
      p = pBigger;
      continue;
    }
    long nRead = PlatRead(h, p + nHave, nCap - nHave);
    if (nRead < 0) {
      // A read error must not pass for the end of the file: the merge would
      // then write back a local log without its tail.
      int nErr = PlatErrno();
      PlatClose(h);
      std::free(p);
      LogError("merge", __LINE__, "Error reading file %s, got %d %s", pszPath, nErr,
               PlatStrError(nErr));
      return 0;
    }
    if (nRead == 0) break;
    nHave += static_cast<std::size_t>(nRead);
  }
  PlatClose(h);
  pBlock->reset(p);
  *pnBytes = nHave;
  return 1;
}

namespace {

// Calls fn(pLine, nLen) for every line of the block (without its line feed;
// a last line without one counts too, an empty end does not).
template <class Fn>
void ForEachLine(const char *p, std::size_t n, Fn fn) {
  const char *pEnd = p + n;
  while (p < pEnd) {
    const char *pLf = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(pEnd - p)));
    const char *pStop = pLf ? pLf : pEnd;
    fn(p, static_cast<std::size_t>(pStop - p));
    p = pLf ? pLf + 1 : pEnd;
  }
}

bool TimeLess(const LogLine &a, const LogLine &b) { return a.ulTime < b.ulTime; }

// Sorted lines (stable) become one line per time: the first of the longest.
void CollapseEqualTimes(std::vector<LogLine> &v) {
  std::size_t nOut = 0;
  for (std::size_t i = 0; i < v.size();) {
    LogLine best = v[i];
    std::size_t j = i + 1;
    for (; j < v.size() && v[j].ulTime == best.ulTime; j++)
      if (v[j].nLen > best.nLen) best = v[j];
    v[nOut++] = best;
    i = j;
  }
  v.resize(nOut);
}

// Both inputs ascending with unique times; lines of vOld were read first, so
// on equal times the newer line wins only when it is longer.
std::vector<LogLine> MergeRuns(const std::vector<LogLine> &vOld, const std::vector<LogLine> &vNew) {
  std::vector<LogLine> vOut;
  vOut.reserve(vOld.size() + vNew.size());
  std::size_t i = 0, j = 0;
  while (i < vOld.size() && j < vNew.size()) {
    if (vOld[i].ulTime < vNew[j].ulTime) {
      vOut.push_back(vOld[i++]);
    } else if (vNew[j].ulTime < vOld[i].ulTime) {
      vOut.push_back(vNew[j++]);
    } else {
      vOut.push_back(vNew[j].nLen > vOld[i].nLen ? vNew[j] : vOld[i]);
      i++;
      j++;
    }
  }
  vOut.insert(vOut.end(), vOld.begin() + static_cast<std::ptrdiff_t>(i), vOld.end());
  vOut.insert(vOut.end(), vNew.begin() + static_cast<std::ptrdiff_t>(j), vNew.end());
  return vOut;
}

}  // namespace

int ReadLogSet(const char *pszPath, LogSet *pSet, char *pszStatus, unsigned nStatusCap,
               HWND hProgress, int bMayBeAbsent) {
  LogInfo("merge", __LINE__, "Merge reading %s", pszPath);
  Progress prog{pszStatus, nStatusCap, hProgress, {}};
  if (pszStatus && nStatusCap) FormatString(pszStatus, nStatusCap, "Reading file %s", pszPath);
  SendRefresh(prog);

  LogBytes block;
  std::size_t nBytes = 0;
  int nRead = ReadWholeLogFile(pszPath, &block, &nBytes, bMayBeAbsent);
  if (nRead < 0) {
    LogInfo("merge", __LINE__, "Merge ignoring %s, not a file", pszPath);
    return -1;
  }
  if (nRead == 0) return 0;

  try {
    const std::vector<LogLine> &vOld = pSet->vLines;
    std::vector<LogLine> vNew;
    vNew.reserve(nBytes / 96 + 16);
    std::size_t nOldPos = 0;
    bool bAscending = true;
    std::unordered_set<std::uint32_t> seenTimes;
    long lAccepted = 0, lDistinct = 0;
    const char *pHeader = nullptr;
    std::size_t nHeader = 0;

    ForEachLine(block.get(), nBytes, [&](const char *pLine, std::size_t nLen) {
      std::uint32_t ulTime = 0;
      int nKind = ClassifyLogLine(pLine, nLen, &ulTime);
      if (nKind == 2) {
        pHeader = pLine;
        nHeader = nLen;
        return;
      }
      if (nKind == 0) return;
      if (bAscending && !vNew.empty() && ulTime < vNew.back().ulTime) {
        bAscending = false;
        seenTimes.reserve(vNew.size() * 2);
        for (const LogLine &l : vNew) seenTimes.insert(l.ulTime);
      }
      bool bDuplicate;
      if (bAscending) {
        if (!vNew.empty() && vNew.back().ulTime == ulTime) {
          bDuplicate = true;
        } else {
          while (nOldPos < vOld.size() && vOld[nOldPos].ulTime < ulTime) nOldPos++;
          bDuplicate = nOldPos < vOld.size() && vOld[nOldPos].ulTime == ulTime;
        }
      } else {
        bDuplicate = !seenTimes.insert(ulTime).second ||
                     std::binary_search(vOld.begin(), vOld.end(), LogLine{ulTime, nullptr, 0},
                                        TimeLess);
      }
      vNew.push_back(LogLine{ulTime, pLine, nLen});
      lAccepted++;
      if (!bDuplicate) lDistinct++;
      if ((MergeRefreshIntervalMs.load() <= 0 || lAccepted % kClockEvery == 0) &&
          RefreshDue(prog))
        ShowCounts(prog, pSet->lRecords + lDistinct,
                   pSet->lDuplicates + (lAccepted - lDistinct));
    });

    if (!bAscending) std::stable_sort(vNew.begin(), vNew.end(), TimeLess);
    CollapseEqualTimes(vNew);
    std::vector<LogLine> vMerged;
    if (vOld.empty())
      vMerged.swap(vNew);
    else if (!vNew.empty())
      vMerged = MergeRuns(vOld, vNew);
    // The set changes all at once: only the reserve below can still fail.
    pSet->vBlocks.reserve(pSet->vBlocks.size() + 1);
    if (!vMerged.empty()) pSet->vLines.swap(vMerged);
    pSet->vBlocks.push_back(std::move(block));
    if (pHeader) {
      pSet->pHeader = pHeader;
      pSet->nHeader = nHeader;
    }
    long lBefore = pSet->lRecords;
    pSet->lRecords = static_cast<long>(pSet->vLines.size());
    pSet->lDuplicates += lAccepted - (pSet->lRecords - lBefore);
  } catch (const std::bad_alloc &) {
    int nErr = ENOMEM;
    LogError("merge", __LINE__, "Error allocating %d bytes for pNew record, got %d %s",
             static_cast<int>(sizeof(LogLine)), nErr, PlatStrError(nErr));
    return 0;
  }
  ShowCounts(prog, pSet->lRecords, pSet->lDuplicates);
  return 1;
}

int WriteLogSet(const char *pszPath, int nCreateFlag, const LogSet *pSet, char *pszStatus,
                unsigned nStatusCap, HWND hProgress) {
  LogInfo("merge", __LINE__, "Merge writing %s", pszPath);
  Progress prog{pszStatus, nStatusCap, hProgress, {}};
  if (pszStatus && nStatusCap) FormatString(pszStatus, nStatusCap, "Writing file %s", pszPath);
  SendRefresh(prog);

  std::unique_ptr<char[]> out(new (std::nothrow) char[kWriteBlock]);
  if (!out) {
    int nErr = ENOMEM;
    LogError("merge", __LINE__, "Error allocating %d bytes for data record, got %d %s",
             static_cast<int>(kWriteBlock), nErr, PlatStrError(nErr));
    return 0;
  }
  int h = PlatOpen(pszPath, P_O_WRONLY | P_O_CREAT | nCreateFlag | P_O_BINARY,
                   P_S_IREAD | P_S_IWRITE);
  if (h < 0) {
    int nErr = PlatErrno();
    LogError("merge", __LINE__, "Error creating file %s, got %d %s", pszPath, nErr,
             PlatStrError(nErr));
    return 0;
  }
  // A file this call created and could not finish goes again; one it could
  // not create is not touched (it may be somebody's directory).
  auto Fail = [&](bool bHeader) {
    int nErr = PlatErrno();
    PlatClose(h);
    (void)PlatUnlink(pszPath);
    if (bHeader)
      LogError("merge", __LINE__, "Error writing header to file %s, got %d %s", pszPath, nErr,
               PlatStrError(nErr));
    else
      LogError("merge", __LINE__, "Error writing file %s, got %d %s", pszPath, nErr,
               PlatStrError(nErr));
    return 0;
  };

  if (pSet->pHeader) {
    // The header goes out in one write, its line feed with it.
    std::string header;
    try {
      header.reserve(pSet->nHeader + 1);
      header.assign(pSet->pHeader, pSet->nHeader);
      header.push_back('\n');
    } catch (const std::bad_alloc &) {
      PlatSetErrno(ENOMEM);
      return Fail(true);
    }
    if (PlatWrite(h, header.data(), header.size()) != static_cast<long>(header.size()))
      return Fail(true);
  }

  std::size_t nUsed = 0;
  auto Flush = [&]() {
    if (nUsed == 0) return true;
    bool bOk = PlatWrite(h, out.get(), nUsed) == static_cast<long>(nUsed);
    nUsed = 0;
    return bOk;
  };
  for (const LogLine &line : pSet->vLines) {
    if (nUsed + line.nLen + 1 > kWriteBlock) {
      if (!Flush()) return Fail(false);
      if (line.nLen + 1 > kWriteBlock) {
        // Longer than the block: written whole, straight from the input.
        if (PlatWrite(h, line.pData, line.nLen) != static_cast<long>(line.nLen))
          return Fail(false);
        out[nUsed++] = '\n';
        continue;
      }
    }
    std::memcpy(out.get() + nUsed, line.pData, line.nLen);
    nUsed += line.nLen;
    out[nUsed++] = '\n';
  }
  if (!Flush()) return Fail(false);
  if (MergeFlushToDisk.load() && PlatFsync(h) != 0) return Fail(false);
  if (PlatClose(h) != 0) {
    int nErr = PlatErrno();
    (void)PlatUnlink(pszPath);
    LogError("merge", __LINE__, "Error writing file %s, got %d %s", pszPath, nErr,
             PlatStrError(nErr));
    return 0;
  }
  return 1;
}
