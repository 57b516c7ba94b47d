// Reading, de-duplicating and writing log files for the merge.
//
// A log file is read through a buffer of up to 64 KiB; its lines are found with
// memchr and judged in place, and each accepted data line becomes an entry
// (time, file, offset, length; 24 bytes on a 64-bit build). Nothing is copied line by line and no
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
#include <climits>
#include <cstring>
#include <new>

#include "log/errorlog.h"
#include "merge/logline.h"
#include "merge/logset_int.h"
#include "platform/file.h"
#include "util/text.h"

namespace {

// How many accepted lines pass between two looks at the clock.
constexpr long kClockEvery = 256;
constexpr std::size_t kReadBlock = 64u << 10;

int ClampInt(std::size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

void ReportNoMemory(std::size_t nBytes, const char *pszFor) {
  LogError("merge", __LINE__, "Error allocating %d bytes for %s, got %d %s", ClampInt(nBytes),
           pszFor, PLAT_ENOMEM, PlatStrError(PLAT_ENOMEM));
}

}  // namespace

std::size_t ReadBlockFor(long long nSize) {
  if (nSize < 0) return kReadBlock;
  std::size_t n = static_cast<std::size_t>(nSize) + 1;
  return n < 64 ? 64 : (n > kReadBlock ? kReadBlock : n);
}

// Reads the whole file into one block. 1 = read, 0 = failed (reported),
// -1 = missing or a directory and bMayBeAbsent (not reported).
int ReadWholeLogFile(const char *pszPath, LogBytes *pBlock, std::size_t *pnBytes,
                     int bMayBeAbsent) {
  int h = PlatOpen(pszPath, P_O_RDONLY | P_O_BINARY);
  if (h < 0) {
    int nErr = PlatErrno();
    if (bMayBeAbsent && (nErr == PLAT_ENOENT || nErr == PLAT_EISDIR)) return -1;
    LogFileError("merge", __LINE__, "opening file", pszPath, nErr);
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
      PlatClose(h);
      ReportNoMemory(nCap, "data record");
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
      LogFileError("merge", __LINE__, "reading file", pszPath, nErr);
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


// What one file adds to a set while it is read: its accepted lines in the
// order read, its last header, and the counts "so far" exactly as placing
// the lines one by one would count them: a line is a duplicate when its
// time is already in the set from earlier files or earlier in this file.
struct FileLines {
  FileLines(const LogSet *pSet, MergeStatus &status)
      : pSet(pSet), vOld(pSet->vLines), status(status),
        nFile(static_cast<std::uint32_t>(pSet->vFiles.size())) {}

  // One line as ScanLines gives it. May throw std::bad_alloc.
  void Line(const char *pLine, std::size_t nLen, std::uint64_t nOffset) {
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
    bool bDuplicate = IsDuplicate(ulTime);
    vNew.push_back(LogLine{ulTime, nFile, nOffset, nLen});
    lAccepted++;
    if (!bDuplicate) lDistinct++;
    if ((MergeRefreshIntervalMs.load() <= 0 || lAccepted % kClockEvery == 0) && RefreshDue(status))
      ShowCounts(status, pSet->lRecords + lDistinct, pSet->lDuplicates + (lAccepted - lDistinct));
  }

  // For an ascending file both tests are a compare with a cursor; once the
  // file goes out of order a set of its times so far takes over.
  bool IsDuplicate(std::uint32_t ulTime) {
    if (bAscending && !vNew.empty() && ulTime < vNew.back().ulTime) {
      bAscending = false;
      seenTimes.Reserve(vNew.size());
      for (const LogLine &l : vNew) seenTimes.Insert(l.ulTime);
    }
    if (!bAscending)
      return !seenTimes.Insert(ulTime) ||
             std::binary_search(vOld.begin(), vOld.end(), LogLine{ulTime, 0, 0, 0}, TimeLess);
    if (!vNew.empty() && vNew.back().ulTime == ulTime) return true;
    while (nOldPos < vOld.size() && vOld[nOldPos].ulTime < ulTime) nOldPos++;
    return nOldPos < vOld.size() && vOld[nOldPos].ulTime == ulTime;
  }

  const LogSet *pSet;
  const std::vector<LogLine> &vOld;
  MergeStatus &status;
  const std::uint32_t nFile;
  std::vector<LogLine> vNew;
  std::size_t nOldPos = 0;
  bool bAscending = true;
  TimeSet seenTimes;
  long lAccepted = 0, lDistinct = 0, lBadStamps = 0;
  std::string header;
  bool bHeader = false;
};

// Reads the open file h through ScanLines into lines and closes it (h is
// -1 after). 1 = read (*pnBytes its size); 0 = failed (reported). May
// throw std::bad_alloc with h still open.
int ScanFile(int &h, const char *pszPath, bool bWholeLinesOnly, FileLines &lines,
             std::uint64_t *pnBytes) {
  long long nSize = PlatFileSize(pszPath);
  // Room for lines of 40 bytes on average; what is not used is never touched.
  if (nSize > 0) lines.vNew.reserve(static_cast<std::size_t>(nSize / 40) + 16);
  std::vector<char> buf(ReadBlockFor(nSize));
  std::size_t nTail = 0;
  int bRead = ScanLines(h, buf, pnBytes, bWholeLinesOnly, &nTail,
                        [&](const char *pLine, std::size_t nLen, std::uint64_t nOffset) {
                          lines.Line(pLine, nLen, nOffset);
                        });
  // A read error must not pass for the end of the file: the merge would
  // then write back a local log without its tail.
  int nErr = bRead ? 0 : PlatErrno();
  PlatClose(h);
  h = -1;
  if (!bRead) {
    LogFileError("merge", __LINE__, "reading file", pszPath, nErr);
    return 0;
  }
  if (bWholeLinesOnly && nTail)
    LogInfo("merge", __LINE__, "Merge ignoring an unfinished last line in %s", pszPath);
  // Their stamps are ignored: the lines stand as time 0, like lines whose
  // first field is no stamp at all.
  if (lines.lBadStamps)
    LogInfo("merge", __LINE__, "Merge ignoring %ld lines with an invalid time stamp in %s",
            lines.lBadStamps, pszPath);
  return 1;
}

// The writer copies lines of a streamed file in one forward pass, which
// needs the file's lines in time order; a file out of order is held whole
// instead (file.pBlock) and its lines sorted. 1 = held; 0 = failed (reported).
int HoldWhole(FileLines &lines, LogFile &file) {
  lines.seenTimes = TimeSet();  // done with; its memory is wanted for the block
  std::size_t nHeld = 0;
  if (ReadWholeLogFile(file.path.c_str(), &file.pBlock, &nHeld, 0) != 1) return 0;
  if (nHeld != file.nBytes) {
    LogFileError("merge", __LINE__, "reading file", file.path.c_str(), PLAT_EIO);
    return 0;
  }
  std::sort(lines.vNew.begin(), lines.vNew.end(), TimeThenOffsetLess);
  return 1;
}

// Joins the file's lines (collapsed to one per time) into the set. The set
// changes all at once: what can fail is reserved first. May throw
// std::bad_alloc with the set unchanged.
void TakeUp(LogSet *pSet, FileLines &lines, LogFile &&file) {
  CollapseEqualTimes(lines.vNew);
  pSet->vFiles.reserve(pSet->vFiles.size() + 1);
  if (pSet->vLines.empty())
    pSet->vLines.swap(lines.vNew);
  else
    MergeInto(pSet->vLines, lines.vNew);
  pSet->vFiles.push_back(std::move(file));
  if (lines.bHeader) {
    pSet->header.swap(lines.header);
    pSet->bHeader = true;
  }
  long lBefore = pSet->lRecords;
  pSet->lRecords = static_cast<long>(pSet->vLines.size());
  pSet->lDuplicates += lines.lAccepted - (pSet->lRecords - lBefore);
}

}  // namespace

int ReadLogSet(const char *pszPath, LogSet *pSet, char *pszStatus, unsigned nStatusCap,
               const MergeProgress *pProgress, int bMayBeAbsent, int bWholeLinesOnly) {
  LogInfo("merge", __LINE__, "Merge reading %s", pszPath);
  MergeStatus status{pszStatus, nStatusCap, pProgress, {}};
  ShowStatus(status, "Reading file %s", pszPath);

  int h = PlatOpen(pszPath, P_O_RDONLY | P_O_BINARY);
  if (h < 0) {
    int nErr = PlatErrno();
    if (bMayBeAbsent && (nErr == PLAT_ENOENT || nErr == PLAT_EISDIR)) {
      LogInfo("merge", __LINE__, "Merge ignoring %s, not a file", pszPath);
      return -1;
    }
    LogFileError("merge", __LINE__, "opening file", pszPath, nErr);
    return 0;
  }
  try {
    FileLines lines(pSet, status);
    LogFile file;
    file.path = pszPath;
    if (!ScanFile(h, pszPath, bWholeLinesOnly != 0, lines, &file.nBytes)) return 0;
    if (!lines.bAscending && !HoldWhole(lines, file)) return 0;
    TakeUp(pSet, lines, std::move(file));
  } catch (const std::bad_alloc &) {
    if (h >= 0) PlatClose(h);
    ReportNoMemory(sizeof(LogLine), "pNew record");
    return 0;
  }
  ShowCounts(status, pSet->lRecords, pSet->lDuplicates);
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
    ReportNoMemory(sizeof(LogLine), "pNew record");
    return 0;
  }
  *pLater = LogSet();
  return 1;
}
