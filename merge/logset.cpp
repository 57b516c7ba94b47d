// Reading, de-duplicating and writing log files for the merge.
//
// A log file is read through a buffer of up to 64 KiB; its lines are found with
// memchr and judged in place, and each accepted data line becomes a 24-byte
// entry (time, file, offset, length). Nothing is copied line by line and no
// line is ever cut: a line of any length is one line. The writer copies the
// surviving lines from the files again: for a file whose lines came in time
// order that is one forward pass through it. A file out of order is held in
// memory whole instead, since its survivors are wanted in another order.
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
// a compact hash set of its times so far takes over for the rest of it.
#include "merge/logset.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>

#include "log/errorlog.h"
#include "merge/merge.h"
#include "platform/file.h"
#include "util/text.h"

std::atomic<int> MergeFlushToDisk{1};
std::atomic<int> MergeAppendToLog{1};
std::atomic<int> MergeRefreshIntervalMs{50};
std::atomic<void (*)(const char *, const MergeProgress *)> MergeRefreshHook{nullptr};

namespace {

using Clock = std::chrono::steady_clock;

// Blocks written to the merged file at once. Larger blocks gain nothing
// measurable, and the memory of a small merge (a nightly day) would be
// mostly buffers.
constexpr std::size_t kWriteBlock = 64u << 10;
// How many accepted lines pass between two looks at the clock.
constexpr long kClockEvery = 256;

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline int Two(const char *p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

}  // namespace

namespace {

// The usual shape "YYYY-MM-DD hh:mm:ss" not followed by a further digit,
// with every field in range. Anything else (month 13, second 60, years
// before 1970, one-digit fields, signs, blanks) is left to the general rule. The && chain stops at the first byte that does not fit, so
// nothing past a terminator or the field's comma is read.
inline bool FastStamp(const char *s, std::uint32_t *pulTime) {
  if (!(IsDigit(s[0]) && IsDigit(s[1]) && IsDigit(s[2]) && IsDigit(s[3]) && s[4] == '-' &&
        IsDigit(s[5]) && IsDigit(s[6]) && s[7] == '-' && IsDigit(s[8]) && IsDigit(s[9]) &&
        s[10] == ' ' && IsDigit(s[11]) && IsDigit(s[12]) && s[13] == ':' && IsDigit(s[14]) &&
        IsDigit(s[15]) && s[16] == ':' && IsDigit(s[17]) && IsDigit(s[18]) && !IsDigit(s[19])))
    return false;
  // Consecutive lines mostly share their date: its day number is kept.
  thread_local char szLastDate[10] = {};
  thread_local long long llLastDays = -1;
  int nHour = Two(s + 11), nMin = Two(s + 14), nSec = Two(s + 17);
  if (nHour > 23 || nMin > 59 || nSec > 59) return false;
  if (llLastDays < 0 || std::memcmp(s, szLastDate, 10) != 0) {
    int nYear = Two(s) * 100 + Two(s + 2);
    int nMon = Two(s + 5), nDay = Two(s + 8);
    if (nYear < 1970 || nMon < 1 || nMon > 12 || nDay < 1 || nDay > DaysInMonth(nYear, nMon))
      return false;
    std::memcpy(szLastDate, s, 10);
    llLastDays = DaysFromCivil(nYear, nMon, nDay);
  }
  long long t = llLastDays * 86400 + nHour * 3600 + nMin * 60 + nSec;
  *pulTime = t > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<std::uint32_t>(t);
  return true;
}

}  // namespace

namespace {

std::uint32_t ParseLogTimeChecked(const char *s, int *pbOutOfRange) {
  std::uint32_t ulTime;
  if (FastStamp(s, &ulTime)) return ulTime;
  if (ReadTimeStamp(s, &ulTime) < 0 && pbOutOfRange) *pbOutOfRange = 1;
  return ulTime;
}

}  // namespace

std::uint32_t ParseLogTime(const char *s) { return ParseLogTimeChecked(s, nullptr); }

std::size_t LogLineLength(const char *p, std::size_t n) {
  const void *pNul = std::memchr(p, 0, n);
  return pNul ? static_cast<std::size_t>(static_cast<const char *>(pNul) - p) : n;
}

int ClassifyLogLine(const char *p, std::size_t n, std::uint32_t *pulTime, int *pbOutOfRange) {
  if (pbOutOfRange) *pbOutOfRange = 0;
  if (n >= 4 && std::memcmp(p, "time", 4) == 0) return 2;
  // The usual line: an unquoted stamp and its comma at 19. The first field
  // is then exactly the stamp, with no quote at either end to drop.
  if (n >= 20 && p[19] == ',' && FastStamp(p, pulTime)) return 1;
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
  *pulTime = ParseLogTimeChecked(pszTime, pbOutOfRange);
  return 1;
}

namespace {

struct Progress {
  char *pszStatus;
  unsigned nCap;
  const MergeProgress *pProgress;
  Clock::time_point tLast;
};

void SendRefresh(Progress &prog) {
  prog.tLast = Clock::now();
  if (auto pfn = MergeRefreshHook.load())
    pfn(prog.pszStatus && prog.nCap ? prog.pszStatus : "", prog.pProgress);
  // No one to show it to: a merge run without a dialog shows nothing.
  if (prog.pProgress && prog.pProgress->pfnRefresh) prog.pProgress->pfnRefresh(prog.pProgress->pCtx);
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
    if (bMayBeAbsent && (nErr == PLAT_ENOENT || nErr == PLAT_EISDIR)) return -1;
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
      int nErr = PLAT_ENOMEM;
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

constexpr std::size_t kReadBlock = 64u << 10;

// A read block for a file of nSize bytes (-1 = unknown): no larger than the
// file needs, so that many small files cost little; a line longer than the
// block makes it grow.
std::size_t ReadBlockFor(long long nSize) {
  if (nSize < 0) return kReadBlock;
  std::size_t n = static_cast<std::size_t>(nSize) + 1;
  return n < 64 ? 64 : (n > kReadBlock ? kReadBlock : n);
}

// Streams an open file through buf and calls fn(pLine, nLen, nOffset) for
// every line (without its line feed; a last line without one counts too
// unless bDropTail, an empty end does not). A line longer than buf makes
// buf grow. 1 = read to the end (*pnBytes = its size, *pnTail = the length
// of an unterminated last line); 0 = read error (PlatErrno).
template <class Fn>
int ScanLines(int h, std::vector<char> &buf, std::uint64_t *pnBytes, bool bDropTail,
              std::size_t *pnTail, Fn fn) {
  std::size_t nKeep = 0;     // a line not yet complete, at the front of buf
  std::uint64_t nBase = 0;   // file offset of buf[0]
  for (;;) {
    if (nKeep == buf.size()) buf.resize(buf.size() * 2);
    long nRead = PlatRead(h, buf.data() + nKeep, buf.size() - nKeep);
    if (nRead < 0) return 0;
    if (nRead == 0) {
      if (nKeep && !bDropTail) fn(buf.data(), nKeep, nBase);
      *pnTail = nKeep;
      *pnBytes = nBase + nKeep;
      return 1;
    }
    const char *p = buf.data();
    const char *pEnd = p + nKeep + static_cast<std::size_t>(nRead);
    for (;;) {
      const char *pLf = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(pEnd - p)));
      if (!pLf) break;
      fn(p, static_cast<std::size_t>(pLf - p), nBase + static_cast<std::uint64_t>(p - buf.data()));
      p = pLf + 1;
    }
    std::size_t nDone = static_cast<std::size_t>(p - buf.data());
    nKeep = static_cast<std::size_t>(pEnd - p);
    if (nKeep) std::memmove(buf.data(), p, nKeep);
    nBase += nDone;
  }
}

bool TimeLess(const LogLine &a, const LogLine &b) { return a.ulTime < b.ulTime; }

// The lines of one file in time order, and among equal times in the order
// they were read (their offsets): what a stable sort by time gives, without
// the stable sort's buffer of half the entries.
bool TimeThenOffsetLess(const LogLine &a, const LogLine &b) {
  return a.ulTime != b.ulTime ? a.ulTime < b.ulTime : a.nOffset < b.nOffset;
}

// The times seen so far in a file that is out of order: open addressing in
// a table of 4-byte slots, at most half full, so about 8 bytes per line
// where a node-based set takes some 40. Slot value 0 means empty; time 0
// itself is kept aside.
class TimeSet {
 public:
  // 1 = inserted, 0 = it was there already. May throw std::bad_alloc.
  int Insert(std::uint32_t ulTime) {
    if (ulTime == 0) {
      bool bNew = !bZero;
      bZero = true;
      return bNew;
    }
    if ((nUsed + 1) * 2 > vSlots.size()) Grow();
    std::size_t nMask = vSlots.size() - 1;
    for (std::size_t i = Hash(ulTime) & nMask;; i = (i + 1) & nMask) {
      if (vSlots[i] == ulTime) return 0;
      if (vSlots[i] == 0) {
        vSlots[i] = ulTime;
        nUsed++;
        return 1;
      }
    }
  }
  void Reserve(std::size_t n) {
    std::size_t nSize = 64;
    while (nSize < n * 2) nSize *= 2;
    if (nSize > vSlots.size()) Rehash(nSize);
  }

 private:
  static std::size_t Hash(std::uint32_t u) {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(u) * 0x9E3779B97F4A7C15ull) >> 20);
  }
  void Grow() { Rehash(vSlots.empty() ? 64 : vSlots.size() * 2); }
  void Rehash(std::size_t nSize) {
    std::vector<std::uint32_t> vOld(nSize, 0);
    vOld.swap(vSlots);
    std::size_t nMask = nSize - 1;
    for (std::uint32_t u : vOld) {
      if (!u) continue;
      std::size_t i = Hash(u) & nMask;
      while (vSlots[i]) i = (i + 1) & nMask;
      vSlots[i] = u;
    }
  }
  std::vector<std::uint32_t> vSlots;
  std::size_t nUsed = 0;
  bool bZero = false;
};

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

// Merges vNew into vOld, both ascending with unique times. Lines of vOld
// were read first, so on equal times the newer line wins only when longer.
// Only the part of vOld from the first time of vNew on is touched: a new
// day after a year costs the day, not the year.
void MergeInto(std::vector<LogLine> &vOld, const std::vector<LogLine> &vNew) {
  if (vNew.empty()) return;
  auto itFrom = std::lower_bound(vOld.begin(), vOld.end(), vNew.front(), TimeLess);
  std::vector<LogLine> vTail;
  vTail.reserve(static_cast<std::size_t>(vOld.end() - itFrom) + vNew.size());
  std::size_t j = 0;
  for (auto it = itFrom; it != vOld.end();) {
    if (j == vNew.size() || it->ulTime < vNew[j].ulTime) {
      vTail.push_back(*it++);
    } else if (vNew[j].ulTime < it->ulTime) {
      vTail.push_back(vNew[j++]);
    } else {
      vTail.push_back(vNew[j].nLen > it->nLen ? vNew[j] : *it);
      ++it;
      j++;
    }
  }
  vTail.insert(vTail.end(), vNew.begin() + static_cast<std::ptrdiff_t>(j), vNew.end());
  // Room first: if that fails, vOld is still untouched.
  std::size_t nKeep = static_cast<std::size_t>(itFrom - vOld.begin());
  vOld.reserve(nKeep + vTail.size());
  itFrom = vOld.begin() + static_cast<std::ptrdiff_t>(nKeep);
  vOld.erase(itFrom, vOld.end());
  vOld.insert(vOld.end(), vTail.begin(), vTail.end());
}

}  // namespace

int ReadLogSet(const char *pszPath, LogSet *pSet, char *pszStatus, unsigned nStatusCap,
               const MergeProgress *pProgress, int bMayBeAbsent, int bWholeLinesOnly) {
  LogInfo("merge", __LINE__, "Merge reading %s", pszPath);
  Progress prog{pszStatus, nStatusCap, pProgress, {}};
  if (pszStatus && nStatusCap) FormatString(pszStatus, nStatusCap, "Reading file %s", pszPath);
  SendRefresh(prog);

  int h = PlatOpen(pszPath, P_O_RDONLY | P_O_BINARY);
  if (h < 0) {
    int nErr = PlatErrno();
    if (bMayBeAbsent && (nErr == PLAT_ENOENT || nErr == PLAT_EISDIR)) {
      LogInfo("merge", __LINE__, "Merge ignoring %s, not a file", pszPath);
      return -1;
    }
    LogError("merge", __LINE__, "Error opening file %s, got %d %s", pszPath, nErr,
             PlatStrError(nErr));
    return 0;
  }

  try {
    const std::uint32_t nFile = static_cast<std::uint32_t>(pSet->vFiles.size());
    const std::vector<LogLine> &vOld = pSet->vLines;
    std::vector<LogLine> vNew;
    long long nSize = PlatFileSize(pszPath);
    // Room for lines of 40 bytes on average; what is not used is never touched.
    if (nSize > 0) vNew.reserve(static_cast<std::size_t>(nSize / 40) + 16);
    std::vector<char> buf(ReadBlockFor(nSize));
    std::size_t nOldPos = 0;
    bool bAscending = true;
    TimeSet seenTimes;
    long lAccepted = 0, lDistinct = 0;
    std::string header;
    bool bHeader = false;

    std::uint64_t nBytes = 0;
    std::size_t nTail = 0;
    long lBadStamps = 0;
    int bRead = ScanLines(h, buf, &nBytes, bWholeLinesOnly != 0, &nTail, [&](const char *pLine, std::size_t nLen, std::uint64_t nOffset) {
      nLen = LogLineLength(pLine, nLen);
      std::uint32_t ulTime = 0;
      int bOutOfRange = 0;
      int nKind = ClassifyLogLine(pLine, nLen, &ulTime, &bOutOfRange);
      lBadStamps += bOutOfRange;
      if (nKind == 2) {
        header.assign(pLine, nLen);
        bHeader = true;
        return;
      }
      if (nKind == 0) return;
      if (bAscending && !vNew.empty() && ulTime < vNew.back().ulTime) {
        bAscending = false;
        seenTimes.Reserve(vNew.size());
        for (const LogLine &l : vNew) seenTimes.Insert(l.ulTime);
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
        bDuplicate = !seenTimes.Insert(ulTime) ||
                     std::binary_search(vOld.begin(), vOld.end(), LogLine{ulTime, 0, 0, 0},
                                        TimeLess);
      }
      vNew.push_back(LogLine{ulTime, nFile, nOffset, nLen});
      lAccepted++;
      if (!bDuplicate) lDistinct++;
      if ((MergeRefreshIntervalMs.load() <= 0 || lAccepted % kClockEvery == 0) &&
          RefreshDue(prog))
        ShowCounts(prog, pSet->lRecords + lDistinct,
                   pSet->lDuplicates + (lAccepted - lDistinct));
    });
    if (!bRead) {
      // A read error must not pass for the end of the file: the merge would
      // then write back a local log without its tail.
      int nErr = PlatErrno();
      PlatClose(h);
      h = -1;
      LogError("merge", __LINE__, "Error reading file %s, got %d %s", pszPath, nErr,
               PlatStrError(nErr));
      return 0;
    }
    PlatClose(h);
    h = -1;
    buf = std::vector<char>();
    if (bWholeLinesOnly && nTail)
      LogInfo("merge", __LINE__, "Merge ignoring an unfinished last line in %s", pszPath);
    // Their stamps are ignored: the lines stand as time 0, like lines whose
    // first field is no stamp at all.
    if (lBadStamps)
      LogInfo("merge", __LINE__, "Merge ignoring %ld lines with an invalid time stamp in %s",
              lBadStamps, pszPath);

    LogFile file;
    file.path = pszPath;
    file.nBytes = nBytes;
    if (!bAscending) {
      // The writer copies lines of a streamed file in one forward pass, which
      // needs the file's lines in time order; this one is held whole instead.
      seenTimes = TimeSet();  // done with; its memory is wanted for the block
      std::size_t nHeld = 0;
      if (ReadWholeLogFile(pszPath, &file.pBlock, &nHeld, 0) != 1) return 0;
      if (nHeld != nBytes) {
        LogError("merge", __LINE__, "Error reading file %s, got %d %s", pszPath, PLAT_EIO,
                 PlatStrError(PLAT_EIO));
        return 0;
      }
      std::sort(vNew.begin(), vNew.end(), TimeThenOffsetLess);
    }
    CollapseEqualTimes(vNew);
    // From here on the set changes all at once: reserve first what can fail.
    pSet->vFiles.reserve(pSet->vFiles.size() + 1);
    if (vOld.empty())
      pSet->vLines.swap(vNew);
    else
      MergeInto(pSet->vLines, vNew);
    pSet->vFiles.push_back(std::move(file));
    if (bHeader) {
      pSet->header.swap(header);
      pSet->bHeader = true;
    }
    long lBefore = pSet->lRecords;
    pSet->lRecords = static_cast<long>(pSet->vLines.size());
    pSet->lDuplicates += lAccepted - (pSet->lRecords - lBefore);
  } catch (const std::bad_alloc &) {
    int nErr = PLAT_ENOMEM;
    if (h >= 0) PlatClose(h);
    LogError("merge", __LINE__, "Error allocating %d bytes for pNew record, got %d %s",
             static_cast<int>(sizeof(LogLine)), nErr, PlatStrError(nErr));
    return 0;
  }
  ShowCounts(prog, pSet->lRecords, pSet->lDuplicates);
  return 1;
}

int MergeLogSets(LogSet *pInto, LogSet *pLater) {
  try {
    const std::uint32_t nShift = static_cast<std::uint32_t>(pInto->vFiles.size());
    for (LogLine &line : pLater->vLines) line.nFile += nShift;
    pInto->vFiles.reserve(pInto->vFiles.size() + pLater->vFiles.size());
    long lRecords = pInto->lRecords + pLater->lRecords;
    if (pInto->vLines.empty())
      pInto->vLines.swap(pLater->vLines);
    else
      MergeInto(pInto->vLines, pLater->vLines);
    for (LogFile &file : pLater->vFiles) pInto->vFiles.push_back(std::move(file));
    if (pLater->bHeader) {
      pInto->header.swap(pLater->header);
      pInto->bHeader = true;
    }
    // Lines of the later files that met a time already there are duplicates.
    pInto->lRecords = static_cast<long>(pInto->vLines.size());
    pInto->lDuplicates += pLater->lDuplicates + (lRecords - pInto->lRecords);
  } catch (const std::bad_alloc &) {
    int nErr = PLAT_ENOMEM;
    LogError("merge", __LINE__, "Error allocating %d bytes for pNew record, got %d %s",
             static_cast<int>(sizeof(LogLine)), nErr, PlatStrError(nErr));
    return 0;
  }
  *pLater = LogSet();
  return 1;
}

namespace {

// Forward-only reader of a streamed file for the writer.
struct SourceReader {
  int h = -1;
  std::vector<char> buf;
  std::uint64_t nStart = 0;  // file offset of buf[0]
  std::size_t nHave = 0;
  ~SourceReader() {
    if (h >= 0) PlatClose(h);
  }
};

}  // namespace

namespace {

// The writer behind WriteLogSet and AppendLogSet. bAppend: the lines (no
// header) go at the end of the existing file, which is cut back to llBase
// bytes when they cannot all be written.
int WriteOrAppend(const char *pszPath, int nCreateFlag, bool bAppend, long long llBase,
                  const LogSet *pSet, char *pszStatus, unsigned nStatusCap, const MergeProgress *pProgress) {
  if (bAppend)
    LogInfo("merge", __LINE__, "Merge appending %ld records to %s",
            static_cast<long>(pSet->vLines.size()), pszPath);
  else
    LogInfo("merge", __LINE__, "Merge writing %s", pszPath);
  Progress prog{pszStatus, nStatusCap, pProgress, {}};
  if (pszStatus && nStatusCap) FormatString(pszStatus, nStatusCap, "Writing file %s", pszPath);
  SendRefresh(prog);

  // The output block: no larger than what is written.
  const bool bHeader = pSet->bHeader && !bAppend;
  std::uint64_t nTotal = bHeader ? pSet->header.size() + 1 : 0;
  for (const LogLine &line : pSet->vLines) nTotal += line.nLen + 1;
  const std::size_t nBlock = nTotal < kWriteBlock ? static_cast<std::size_t>(nTotal) + 1 : kWriteBlock;
  std::unique_ptr<char[]> out;
  std::vector<SourceReader> readers;
  try {
    out.reset(new char[nBlock]);
    readers.resize(pSet->vFiles.size());
  } catch (const std::bad_alloc &) {
    int nErr = PLAT_ENOMEM;
    LogError("merge", __LINE__, "Error allocating %d bytes for data record, got %d %s",
             static_cast<int>(nBlock), nErr, PlatStrError(nErr));
    return 0;
  }
  // The sources of the lines, opened before the output so that a source
  // gone missing or changed leaves nothing behind.
  for (std::size_t i = 0; i < pSet->vFiles.size(); i++) {
    const LogFile &file = pSet->vFiles[i];
    if (file.pBlock) continue;
    readers[i].h = PlatOpen(file.path.c_str(), P_O_RDONLY | P_O_BINARY);
    int nErr = PlatErrno();
    if (readers[i].h < 0 || PlatFileSize(file.path.c_str()) != static_cast<long long>(file.nBytes)) {
      if (readers[i].h >= 0) nErr = PLAT_EIO;
      LogError("merge", __LINE__, "Error reading file %s, got %d %s", file.path.c_str(), nErr,
               PlatStrError(nErr));
      return 0;
    }
    try {
      readers[i].buf.resize(ReadBlockFor(static_cast<long long>(file.nBytes)));
    } catch (const std::bad_alloc &) {
      LogError("merge", __LINE__, "Error allocating %d bytes for data record, got %d %s",
               static_cast<int>(ReadBlockFor(static_cast<long long>(file.nBytes))), PLAT_ENOMEM,
               PlatStrError(PLAT_ENOMEM));
      return 0;
    }
  }

  int h = bAppend ? PlatOpen(pszPath, P_O_WRONLY | P_O_APPEND | P_O_BINARY)
                  : PlatOpen(pszPath, P_O_WRONLY | P_O_CREAT | nCreateFlag | P_O_BINARY,
                             P_S_IREAD | P_S_IWRITE);
  if (h < 0) {
    int nErr = PlatErrno();
    LogError("merge", __LINE__,
             bAppend ? "Error opening file %s, got %d %s" : "Error creating file %s, got %d %s",
             pszPath, nErr, PlatStrError(nErr));
    return 0;
  }
  // A file this call created and could not finish goes again; one it could
  // not create is not touched (it may be somebody's directory). A file it
  // appended to is cut back to what it held: its old bytes were never
  // touched, and the new ones are still in the files they came from.
  enum { kHeader, kWrite, kRead };
  auto Fail = [&](int nWhat, const char *pszWhich, int nErr) {
    if (bAppend)
      (void)PlatTruncate(h, llBase);
    PlatClose(h);
    if (!bAppend) (void)PlatUnlink(pszPath);
    if (nWhat == kHeader)
      LogError("merge", __LINE__, "Error writing header to file %s, got %d %s", pszWhich, nErr,
               PlatStrError(nErr));
    else if (nWhat == kWrite)
      LogError("merge", __LINE__, "Error writing file %s, got %d %s", pszWhich, nErr,
               PlatStrError(nErr));
    else
      LogError("merge", __LINE__, "Error reading file %s, got %d %s", pszWhich, nErr,
               PlatStrError(nErr));
    return 0;
  };

  if (bHeader) {
    // The header goes out in one write, its line feed with it.
    std::string header;
    try {
      header.reserve(pSet->header.size() + 1);
      header = pSet->header;
      header.push_back('\n');
    } catch (const std::bad_alloc &) {
      return Fail(kHeader, pszPath, PLAT_ENOMEM);
    }
    if (PlatWrite(h, header.data(), header.size()) != static_cast<long>(header.size()))
      return Fail(kHeader, pszPath, PlatErrno());
  }

  std::size_t nUsed = 0;
  auto Flush = [&]() {
    if (nUsed == 0) return true;
    bool bOk = PlatWrite(h, out.get(), nUsed) == static_cast<long>(nUsed);
    nUsed = 0;
    return bOk;
  };
  // Bytes into the output block; a piece larger than the block goes straight out.
  auto Put = [&](const char *p, std::size_t n) {
    if (nUsed + n > nBlock) {
      if (!Flush()) return false;
      if (n > nBlock) return PlatWrite(h, p, n) == static_cast<long>(n);
    }
    std::memcpy(out.get() + nUsed, p, n);
    nUsed += n;
    return true;
  };
  for (const LogLine &line : pSet->vLines) {
    const LogFile &file = pSet->vFiles[line.nFile];
    if (file.pBlock) {
      if (!Put(file.pBlock.get() + line.nOffset, line.nLen)) return Fail(kWrite, pszPath, PlatErrno());
    } else {
      // Forward through the source to the line, then the line in pieces
      // of what the reader holds (a line may be longer than its block).
      SourceReader &src = readers[line.nFile];
      std::uint64_t nAt = line.nOffset;
      std::size_t nLeft = line.nLen;
      while (nLeft > 0) {
        if (nAt < src.nStart) return Fail(kRead, file.path.c_str(), PLAT_EIO);
        if (nAt >= src.nStart + src.nHave) {
          src.nStart += src.nHave;
          src.nHave = 0;
          long nRead = PlatRead(src.h, src.buf.data(), src.buf.size());
          if (nRead <= 0) return Fail(kRead, file.path.c_str(), nRead < 0 ? PlatErrno() : PLAT_EIO);
          src.nHave = static_cast<std::size_t>(nRead);
          continue;
        }
        std::size_t nSkip = static_cast<std::size_t>(nAt - src.nStart);
        std::size_t k = std::min(nLeft, src.nHave - nSkip);
        if (!Put(src.buf.data() + nSkip, k)) return Fail(kWrite, pszPath, PlatErrno());
        nAt += k;
        nLeft -= k;
      }
    }
    if (!Put("\n", 1)) return Fail(kWrite, pszPath, PlatErrno());
  }
  if (!Flush()) return Fail(kWrite, pszPath, PlatErrno());
  if (MergeFlushToDisk.load() && PlatFsync(h) != 0) return Fail(kWrite, pszPath, PlatErrno());
  if (PlatClose(h) != 0) {
    int nErr = PlatErrno();
    if (!bAppend) (void)PlatUnlink(pszPath);
    LogError("merge", __LINE__, "Error writing file %s, got %d %s", pszPath, nErr,
             PlatStrError(nErr));
    return 0;
  }
  return 1;
}

}  // namespace

int WriteLogSet(const char *pszPath, int nCreateFlag, const LogSet *pSet, char *pszStatus,
                unsigned nStatusCap, const MergeProgress *pProgress) {
  return WriteOrAppend(pszPath, nCreateFlag, false, 0, pSet, pszStatus, nStatusCap, pProgress);
}

int AppendLogSet(const char *pszPath, long long llBase, const LogSet *pSet, char *pszStatus,
                 unsigned nStatusCap, const MergeProgress *pProgress) {
  return WriteOrAppend(pszPath, 0, true, llBase, pSet, pszStatus, nStatusCap, pProgress);
}
