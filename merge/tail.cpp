// The tail merge: the local log is replaced from the first time stamp the
// downloads hold, and the bytes before it are neither read nor written.
//
// The log is known to be exactly what an earlier merge wrote (its state
// record): a header, then data lines in strictly ascending time, each with
// its line feed. Its line at or after the downloads' earliest time is found
// by a binary search over the file. Every earlier line is earlier than
// every new record, so the full merge would keep those lines as they stand
// and count none of them as duplicates: the result is the log's bytes up
// to that line followed by the merge of its tail with the downloads, with
// the same counts.
//
// Replacing the tail in place means cutting the log, and then the old tail
// exists nowhere but in memory. So the merged tail is first written to a
// redo record beside the log ("mb-NNN.redo": the offset, the counts for the
// state record, the bytes and a check sum over all of it), flushed with its
// directory; only then is the log cut and the tail written and flushed;
// only then are the redo record and (by the caller) the downloads removed,
// and only after that is the unit told to delete anything. The next merge
// of the device looks for a redo record first: one whose check sum holds
// is carried out again (cutting at the same offset and writing the same
// bytes gives the same log however far the first attempt went); one whose
// check sum fails was cut off while it was written, before the log was
// touched, and is removed.
#include "merge/tail.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "log/errorlog.h"
#include "merge/logline.h"
#include "merge/logset.h"
#include "merge/logset_int.h"
#include "merge/logstate.h"
#include "platform/file.h"
#include "util/text.h"

namespace {

constexpr char kRedoFormat[] = "tail redo 1 offset %lld bytes %lld records %ld last %lu header %lld";
// Below this many bytes the search reads the lines one after the other.
constexpr long long kLinearScan = 16 << 10;
constexpr std::size_t kWriteBlock = 64u << 10;

std::uint64_t Fnv1a(std::uint64_t h, const char *p, std::size_t n) {
  for (std::size_t i = 0; i < n; i++) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h;
}
constexpr std::uint64_t kFnvStart = 14695981039346656037ull;

// "<dir>\mb-NNN<pszExt>" beside "<dir>\mb-NNN.log".
std::string BesideLog(const char *pszLog, const char *pszExt) {
  std::string path = pszLog;
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".log") == 0) path.resize(path.size() - 4);
  return path + pszExt;
}
std::string RedoPath(const char *pszLog) { return BesideLog(pszLog, ".redo"); }

// A redo record whose log is gone or shorter than its offset: the log is
// not the one it was made for, and cutting it would be wrong. Its merged
// tail may still hold the only copy of some records, so it becomes the
// merged file left behind (mb-NNN.new), which the full merge takes up
// first; its own first and last lines read as no records. 1 = done;
// 0 = failed (reported, the record stays).
int RedoAsLeftover(const char *pszLog, const std::string &redo) {
  const std::string merged = BesideLog(pszLog, ".new");
  LogInfo("merge", __LINE__, "Merge taking up %s as %s: %s is not the log it was made for",
          redo.c_str(), merged.c_str(), pszLog);
  int nErr;
  if (PlatExists(merged.c_str()))
    nErr = PLAT_EEXIST;  // one left behind already: it must be taken up first
  else if (PlatRename(redo.c_str(), merged.c_str()) != 0 ||
           (MergeFlushToDisk.load() && PlatFsyncDir(merged.c_str()) != 0))
    nErr = PlatErrno();
  else
    return 1;
  LogError("merge", __LINE__, "Error renaming file %s to %s, got %d %s", redo.c_str(),
           merged.c_str(), nErr, PlatStrError(nErr));
  return 0;
}

void ReportNoMemory(std::size_t nBytes) {
  LogError("merge", __LINE__, "Error allocating %d bytes for data record, got %d %s",
           static_cast<int>(nBytes), PLAT_ENOMEM, PlatStrError(PLAT_ENOMEM));
}

// What the redo record says, besides the tail's bytes.
struct Redo {
  long long llOffset = 0, llBytes = 0, llHeaderLen = 0;
  long lRecords = 0;
  unsigned long ulLast = 0;
};

// Reads the line of the log that starts at llPos into buf (without its
// line feed). 1 = a whole data line (*pulTime, *pllNext the next line's
// start); 0 = none there as the merged form has it; -1 = read error.
int LineAt(int h, long long llPos, long long llSize, std::vector<char> &buf,
           std::uint32_t *pulTime, long long *pllNext) {
  std::size_t nHave = 0;
  for (;;) {
    if (nHave == buf.size()) buf.resize(buf.size() * 2);
    long long llLeft = llSize - llPos - static_cast<long long>(nHave);
    if (llLeft <= 0) return 0;  // no line feed before the end
    std::size_t nWant = buf.size() - nHave;
    if (static_cast<long long>(nWant) > llLeft) nWant = static_cast<std::size_t>(llLeft);
    long nRead = PlatReadAt(h, buf.data() + nHave, nWant, llPos + static_cast<long long>(nHave));
    if (nRead < 0) return -1;
    if (nRead == 0) return 0;
    const void *pLf = std::memchr(buf.data() + nHave, '\n', static_cast<std::size_t>(nRead));
    nHave += static_cast<std::size_t>(nRead);
    if (!pLf) continue;
    std::size_t nLen = static_cast<std::size_t>(static_cast<const char *>(pLf) - buf.data());
    *pllNext = llPos + static_cast<long long>(nLen) + 1;
    // A line the merge wrote holds no NUL and reads as a data line.
    if (LogLineLength(buf.data(), nLen) != nLen) return 0;
    return ClassifyLogLine(buf.data(), nLen, pulTime) == 1 ? 1 : 0;
  }
}

// The start of the first line at or after llPos (> llFirst, a line start).
// -1 = read error.
long long NextLineStart(int h, long long llPos, long long llSize, std::vector<char> &buf) {
  for (long long llAt = llPos - 1; llAt < llSize;) {
    long nRead = PlatReadAt(h, buf.data(), buf.size(), llAt);
    if (nRead < 0) return -1;
    if (nRead == 0) break;
    const void *pLf = std::memchr(buf.data(), '\n', static_cast<std::size_t>(nRead));
    if (pLf) return llAt + (static_cast<const char *>(pLf) - buf.data()) + 1;
    llAt += nRead;
  }
  return llSize;
}

// The offset of the first line whose time is at or after ulFrom, in a log of
// ascending lines from llFirst to llSize. 1 = found (llSize when none is);
// 0 = the lines read are not in the merged form; -1 = read error.
int FindTail(int h, long long llFirst, long long llSize, std::uint32_t ulFrom, long long *pllAt) {
  std::vector<char> buf(4096);
  // Every line before lo is earlier than ulFrom; hi is a line start (or the
  // end) and no line from hi on is earlier.
  long long lo = llFirst, hi = llSize;
  std::uint32_t ulTime = 0;
  long long llNext = 0;
  while (hi - lo > kLinearScan) {
    long long mid = NextLineStart(h, lo + (hi - lo) / 2, llSize, buf);
    if (mid < 0) return -1;
    if (mid >= hi) break;
    int n = LineAt(h, mid, llSize, buf, &ulTime, &llNext);
    if (n != 1) return n;
    if (ulTime < ulFrom)
      lo = llNext;
    else
      hi = mid;
  }
  for (long long llAt = lo; llAt < hi; llAt = llNext) {
    int n = LineAt(h, llAt, llSize, buf, &ulTime, &llNext);
    if (n != 1) return n;
    if (ulTime >= ulFrom) {
      hi = llAt;
      break;
    }
  }
  *pllAt = hi;
  return 1;
}

// The log's bytes from llOffset on as a set of one file held in memory.
// 1 = read; 0 = read error (reported); -1 = not in the merged form.
int ReadTail(const char *pszLog, long long llOffset, long long llSize, LogSet *pTail) {
  int h = PlatOpen(pszLog, P_O_RDONLY | P_O_BINARY);
  if (h < 0) return -1;
  std::size_t nBytes = static_cast<std::size_t>(llSize - llOffset);
  LogFile file;
  file.path = pszLog;
  file.nBytes = static_cast<std::uint64_t>(llSize);
  file.pBlock.reset(static_cast<char *>(std::malloc(nBytes + 1)));
  if (!file.pBlock) {
    PlatClose(h);
    ReportNoMemory(nBytes + 1);
    return 0;
  }
  std::size_t nHave = 0;
  long nRead = 0;
  while (nHave < nBytes &&
         (nRead = PlatReadAt(h, file.pBlock.get() + nHave, nBytes - nHave,
                             llOffset + static_cast<long long>(nHave))) > 0)
    nHave += static_cast<std::size_t>(nRead);
  int nErr = PlatErrno();
  PlatClose(h);
  if (nRead < 0) {
    LogFileError("merge", __LINE__, "reading file", pszLog, nErr);
    return 0;
  }
  if (nHave != nBytes) return -1;
  const char *p = file.pBlock.get();
  try {
    for (std::size_t i = 0; i < nBytes;) {
      const void *pLf = std::memchr(p + i, '\n', nBytes - i);
      if (!pLf) return -1;
      std::size_t nLen = static_cast<std::size_t>(static_cast<const char *>(pLf) - (p + i));
      std::uint32_t ulTime = 0;
      if (LogLineLength(p + i, nLen) != nLen || ClassifyLogLine(p + i, nLen, &ulTime) != 1 ||
          (!pTail->vLines.empty() && pTail->vLines.back().ulTime >= ulTime))
        return -1;
      pTail->vLines.push_back(LogLine{ulTime, 0, i, nLen});
      i += nLen + 1;
    }
    pTail->vFiles.push_back(std::move(file));
  } catch (const std::bad_alloc &) {
    ReportNoMemory(sizeof(LogLine));
    return 0;
  }
  pTail->lRecords = static_cast<long>(pTail->vLines.size());
  return 1;
}

// Every file of the set in memory, so that the merged tail can be written
// twice (redo record, log) without its sources, the log among them.
// 1 = held; 0 = failed (reported).
int HoldSources(LogSet *pSet) {
  for (LogFile &file : pSet->vFiles) {
    if (file.pBlock) continue;
    std::size_t nHeld = 0;
    if (ReadWholeLogFile(file.path.c_str(), &file.pBlock, &nHeld, 0) != 1) return 0;
    if (nHeld != file.nBytes) {
      LogFileError("merge", __LINE__, "reading file", file.path.c_str(), PLAT_EIO);
      return 0;
    }
  }
  return 1;
}

// Writes through a block; every byte also goes into a check sum.
struct BlockWriter {
  int h;
  std::vector<char> block;
  std::size_t nUsed = 0;
  std::uint64_t ullSum = kFnvStart;
  // The block itself; false (errno ENOMEM) when there is no memory for it.
  bool Allocate() {
    try {
      block.resize(kWriteBlock);
      return true;
    } catch (const std::bad_alloc &) {
      PlatSetErrno(PLAT_ENOMEM);
      return false;
    }
  }
  bool Flush() {
    bool bOk = nUsed == 0 || PlatWrite(h, block.data(), nUsed) == static_cast<long>(nUsed);
    nUsed = 0;
    return bOk;
  }
  bool Put(const char *p, std::size_t n) {
    ullSum = Fnv1a(ullSum, p, n);
    if (nUsed + n > block.size()) {
      if (!Flush()) return false;
      if (n > block.size()) return PlatWrite(h, p, n) == static_cast<long>(n);
    }
    std::memcpy(block.data() + nUsed, p, n);
    nUsed += n;
    return true;
  }
};

// The merged tail: pSet's lines (all sources in memory), or pBytes.
bool PutTail(BlockWriter &out, const LogSet *pSet, const char *pBytes, std::size_t nBytes) {
  if (!pSet) return out.Put(pBytes, nBytes);
  for (const LogLine &line : pSet->vLines)
    if (!out.Put(pSet->vFiles[line.nFile].pBlock.get() + line.nOffset, line.nLen) ||
        !out.Put("\n", 1))
      return false;
  return true;
}

int ReportWrite(const char *pszPath, int nErr) {
  LogFileError("merge", __LINE__, "writing file", pszPath, nErr);
  return 0;
}

// The redo record: its line, the tail, the check sum over both; on the
// disk with its directory entry before the result 1. 0 = failed
// (reported, the record removed).
int WriteRedo(const std::string &redo, const Redo &r, const LogSet *pSet) {
  char szHead[200];
  FormatString(szHead, sizeof szHead, kRedoFormat, r.llOffset, r.llBytes, r.lRecords, r.ulLast,
               r.llHeaderLen);
  std::size_t nHead = std::strlen(szHead);
  szHead[nHead++] = '\n';
  BlockWriter out{PlatOpen(redo.c_str(), P_O_WRONLY | P_O_CREAT | P_O_TRUNC | P_O_BINARY,
                           P_S_IREAD | P_S_IWRITE),
                  {}};
  if (out.h < 0) {
    int nErr = PlatErrno();
    LogFileError("merge", __LINE__, "creating file", redo.c_str(), nErr);
    return 0;
  }
  bool bOk = out.Allocate();
  bOk = bOk && out.Put(szHead, nHead) && PutTail(out, pSet, nullptr, 0);
  char szCheck[40];
  FormatString(szCheck, sizeof szCheck, "check %016llx\n",
               static_cast<unsigned long long>(out.ullSum));
  bOk = bOk && out.Put(szCheck, std::strlen(szCheck)) && out.Flush() &&
        (!MergeFlushToDisk.load() || PlatFsync(out.h) == 0);
  int nErr = PlatErrno();
  if (PlatClose(out.h) != 0 && bOk) {
    bOk = false;
    nErr = PlatErrno();
  }
  if (bOk && MergeFlushToDisk.load() && PlatFsyncDir(redo.c_str()) != 0) {
    bOk = false;
    nErr = PlatErrno();
  }
  if (bOk) return 1;
  (void)PlatUnlink(redo.c_str());
  return ReportWrite(redo.c_str(), nErr);
}

// Cuts the log at the redo's offset and writes the tail there, flushed;
// then the state record, and the redo record goes (flushed too: a redo
// record coming back after a later merge appended would cut that off).
// 1 = done; 0 = failed (reported; the redo record stays).
int ApplyRedo(const char *pszLog, const char *pszState, const std::string &redo, const Redo &r,
              const LogSet *pSet, const char *pBytes) {
  int h = PlatOpen(pszLog, P_O_WRONLY | P_O_APPEND | P_O_BINARY);
  if (h < 0) {
    int nErr = PlatErrno();
    LogFileError("merge", __LINE__, "opening file", pszLog, nErr);
    return 0;
  }
  BlockWriter out{h, {}};
  bool bOk = out.Allocate();
  bOk = bOk && PlatTruncate(h, r.llOffset) == 0 &&
        PutTail(out, pSet, pBytes, static_cast<std::size_t>(r.llBytes)) && out.Flush() &&
        (!MergeFlushToDisk.load() || PlatFsync(h) == 0);
  int nErr = PlatErrno();
  if (PlatClose(h) != 0 && bOk) {
    bOk = false;
    nErr = PlatErrno();
  }
  if (!bOk) return ReportWrite(pszLog, nErr);
  WriteLogState(pszState, pszLog, r.lRecords, r.ulLast, r.llHeaderLen);
  if (PlatUnlink(redo.c_str()) != 0 ||
      (MergeFlushToDisk.load() && PlatFsyncDir(redo.c_str()) != 0)) {
    nErr = PlatErrno();
    LogFileError("merge", __LINE__, "deleting file", redo.c_str(), nErr);
    return 0;
  }
  return 1;
}

// Where the tail starts, or why there is none to take: 1 = *pllOffset;
// 0 = read error (reported); -1 = the full merge is wanted.
int TailOffset(const char *pszLog, const LogState &st, std::uint32_t ulFrom, long long *pllOffset) {
  int h = PlatOpen(pszLog, P_O_RDONLY | P_O_BINARY);
  if (h < 0) return -1;
  int n = FindTail(h, st.llHeaderLen, st.llSize, ulFrom, pllOffset);
  int nErr = PlatErrno();
  PlatClose(h);
  if (n < 0) {
    LogFileError("merge", __LINE__, "reading file", pszLog, nErr);
    return 0;
  }
  if (n == 0) {
    LogInfo("merge", __LINE__, "Merge cannot replace the tail of %s: %s", pszLog,
            "it is not in the merged form");
    return -1;
  }
  // The new records reach the log's first one, or most of it is new: the
  // full merge costs about the same and needs no redo record.
  const long long llTail = st.llSize - *pllOffset;
  if (*pllOffset <= st.llHeaderLen || llTail * 2 > st.llSize - st.llHeaderLen) {
    LogInfo("merge", __LINE__, "Merge cannot replace the tail of %s: %s", pszLog,
            *pllOffset <= st.llHeaderLen ? "new records reach its first record"
                                         : "the tail is more than half of it");
    return -1;
  }
  return 1;
}

// The redo record read and checked. 1 = good (*pRedo, *pBytes the tail);
// 0 = it fails its check; -1 = read error (reported).
int ReadRedo(const std::string &redo, Redo *pRedo, LogBytes *pBlock, const char **ppBytes) {
  std::size_t nSize = 0;
  int n = ReadWholeLogFile(redo.c_str(), pBlock, &nSize, 1);
  if (n < 0) return 0;
  if (n == 0) return -1;
  const char *p = pBlock->get();
  const char *pLf = static_cast<const char *>(std::memchr(p, '\n', nSize < 200 ? nSize : 200));
  if (!pLf) return 0;
  std::string head(p, static_cast<std::size_t>(pLf - p));
  Redo r;
  if (std::sscanf(head.c_str(), kRedoFormat, &r.llOffset, &r.llBytes, &r.lRecords, &r.ulLast,
                  &r.llHeaderLen) != 5 ||
      r.llOffset < 0 || r.llBytes < 0)
    return 0;
  std::size_t nHead = head.size() + 1;
  const std::size_t nCheck = 23;  // "check " 16 digits "\n"
  if (static_cast<unsigned long long>(r.llBytes) + nHead + nCheck != nSize) return 0;
  char szCheck[40];
  FormatString(szCheck, sizeof szCheck, "check %016llx\n",
               static_cast<unsigned long long>(Fnv1a(kFnvStart, p, nSize - nCheck)));
  if (std::memcmp(szCheck, p + nSize - nCheck, nCheck) != 0) return 0;
  *pRedo = r;
  *ppBytes = p + nHead;
  return 1;
}

}  // namespace

int FinishTailRedo(const char *pszLog, const char *pszState) {
  const std::string redo = RedoPath(pszLog);
  if (!PlatExists(redo.c_str())) return 1;
  Redo r;
  LogBytes block;
  const char *pBytes = nullptr;
  int n = ReadRedo(redo, &r, &block, &pBytes);
  if (n < 0) return 0;
  if (n == 0) {
    // Cut off while it was written: the log was not touched yet, and the
    // downloads it came from are all still there.
    LogInfo("merge", __LINE__, "Merge discarding the unfinished %s", redo.c_str());
    if (PlatUnlink(redo.c_str()) != 0) {
      int nErr = PlatErrno();
      LogFileError("merge", __LINE__, "deleting file", redo.c_str(), nErr);
      return 0;
    }
    return 1;
  }
  if (PlatFileSize(pszLog) < r.llOffset) return RedoAsLeftover(pszLog, redo);
  LogInfo("merge", __LINE__, "Merge finishing the tail of %s from %s", pszLog, redo.c_str());
  return ApplyRedo(pszLog, pszState, redo, r, nullptr, pBytes);
}

int MergeByTail(const char *pszLog, const char *pszState, const LogState &st, LogSet *pNew,
                char *pszStatus, unsigned nStatusCap, const MergeProgress *pProgress) {
  if (pNew->vLines.empty() || st.lRecords == 0) return -1;
  long long llOffset = 0;
  int n = TailOffset(pszLog, st, pNew->vLines.front().ulTime, &llOffset);
  if (n != 1) return n;
  LogSet tail;
  n = ReadTail(pszLog, llOffset, st.llSize, &tail);
  if (n != 1) {
    if (n < 0)
      LogInfo("merge", __LINE__, "Merge cannot replace the tail of %s: %s", pszLog,
              "it is not in the merged form");
    return n;
  }
  LogInfo("merge", __LINE__, "Merge replacing the tail of %s from byte %lld", pszLog, llOffset);
  const long lBefore = st.lRecords - tail.lRecords;  // records before the tail
  if (!MergeLogSets(&tail, pNew) || !HoldSources(&tail)) return 0;
  // The counts the full merge would give: the lines before the tail are all
  // distinct and earlier than every new one.
  LogInfo("merge", __LINE__, "Merge sort: got got %ld records, %ld duplicate records",
          lBefore + tail.lRecords, tail.lDuplicates);
  MergeStatus status{pszStatus, nStatusCap, pProgress, {}};
  ShowStatus(status, "Writing file %s", pszLog);
  Redo r;
  r.llOffset = llOffset;
  for (const LogLine &line : tail.vLines) r.llBytes += static_cast<long long>(line.nLen) + 1;
  r.lRecords = lBefore + tail.lRecords;
  r.ulLast = tail.vLines.back().ulTime;
  r.llHeaderLen = st.llHeaderLen;
  const std::string redo = RedoPath(pszLog);
  if (!WriteRedo(redo, r, &tail)) return 0;
  return ApplyRedo(pszLog, pszState, redo, r, &tail, nullptr);
}
