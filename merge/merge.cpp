// Log records and the merge of a downloaded log into a device's local log.
//
// MergeLogFile works on a LogSet (logset.cpp): lines as entries pointing
// into the files, sorted and de-duplicated in O(n log n). The linked-list
// interface (InsertRecord, ReadLogFile, WriteLogFile, FreeRecords) keeps the
// historical one-record-at-a-time form for callers that hold a list; it
// gives the same records and counts, but placing out-of-order lines walks
// the list and costs O(n^2), so the merge does not use it.
//
// Replacing the local log must never leave it half-written or missing, a
// crash included. The merged data goes to "mb-NNN.new", is flushed to the
// disk and then renamed over "mb-NNN.log" in one step, and the directory
// is flushed before the downloaded file is deleted. At every instant the
// local log on disk is complete, old or new.
//
// A download whose merge never ran (the run was killed, or the merge
// failed) stays in "temp" as "mb-NNN.K.tmp", and it may hold the only local
// copy of its records. Every merge of the device reads these leftovers too
// and removes them only with the download, once the merged log is safely in
// place. The unit is told to delete a log only after its merge is on disk,
// so a line torn at the end of a leftover is still whole on the unit and
// can be dropped.
//
// Most nights add a day after everything the local log holds. The full
// merge would read the whole history and write it out again for that; when
// the log is known to be exactly what an earlier merge wrote (a state record
// beside it says so, see LogState), the header stays and every new record
// comes after the last one, the result is the log's own bytes followed by
// the new lines, and only those are appended. The old bytes are never
// written again. An append cut off by a kill leaves a log that no longer
// matches its state record, so the next merge is a full one; the lines of
// the torn append are all still in the downloads, which are removed only
// after the append is complete, and a torn line loses to its whole copy
// there (it is shorter).
//
// A "mb-NNN.new" found at the start is a merge that failed or was cut off
// after (or while) writing it; it may be the only copy of some records (a
// rename that failed, then the downloaded file overwritten by the next
// download). Its records are read first, like those of any other file; a
// torn last line is harmless because the same record, whole and therefore
// longer, is in the local log or the download it came from. Such a file is
// not truncated to write the next merged file, which would open a window in
// which its records exist nowhere: the new data is written to "mb-NNN.tmp"
// and renamed over it, so "mb-NNN.new" is at every instant the old or the
// new complete file.
#include "merge/merge.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "log/errorlog.h"
#include "merge/logset.h"
#include "platform/file.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

void Refresh(char *pszStatus, unsigned nCap, const MergeProgress *pProgress) {
  if (auto pfn = MergeRefreshHook.load()) pfn(pszStatus && nCap ? pszStatus : "", pProgress);
  if (pProgress && pProgress->pfnRefresh) pProgress->pfnRefresh(pProgress->pCtx);
}

}  // namespace

int InsertRecord(LogRecord **ppHead, LogRecord **ppCursor, LogRecord *pNew, long *plRecords,
                 long *plDuplicates) {
  if (!ppHead || !ppCursor || !pNew) return 0;
  if (!*ppHead) {
    *ppHead = pNew;
    *ppCursor = pNew;
    if (plRecords) (*plRecords)++;
    return 1;
  }
  if (!*ppCursor) *ppCursor = *ppHead;
  if ((*ppCursor)->ulTime > pNew->ulTime) {
    *ppCursor = *ppHead;
    if ((*ppHead)->ulTime > pNew->ulTime) {
      pNew->pNext = *ppHead;
      *ppHead = pNew;
      *ppCursor = pNew;
      if (plRecords) (*plRecords)++;
      return 1;
    }
  }
  LogRecord *pAt = *ppCursor;
  while (pAt->pNext && pAt->pNext->ulTime <= pNew->ulTime) pAt = pAt->pNext;
  *ppCursor = pAt;
  if (pAt->ulTime == pNew->ulTime) {
    // Same time stamp: the longer text survives, the first read among equals.
    if (std::strlen(pNew->pData) > std::strlen(pAt->pData)) {
      std::free(pAt->pData);
      pAt->pData = pNew->pData;
    } else {
      std::free(pNew->pData);
    }
    std::free(pNew);
    if (plDuplicates) (*plDuplicates)++;
    return 1;
  }
  pNew->pNext = pAt->pNext;
  pAt->pNext = pNew;
  *ppCursor = pNew;
  if (plRecords) (*plRecords)++;
  return 1;
}

int ReadLogFile(const char *pszPath, LogRecord **ppHead, char **ppHeader, char *pszStatus,
                unsigned nStatusCap, const MergeProgress *pProgress, long *plRecords, long *plDuplicates) {
  LogInfo("merge", __LINE__, "Merge reading %s", pszPath);
  LogRecord *pCursor = ppHead ? *ppHead : nullptr;
  if (pszStatus && nStatusCap) FormatString(pszStatus, nStatusCap, "Reading file %s", pszPath);
  Refresh(pszStatus, nStatusCap, pProgress);

  LogBytes block;
  std::size_t nBytes = 0;
  if (ReadWholeLogFile(pszPath, &block, &nBytes, 0) != 1) return 0;

  const char *p = block.get();
  const char *pEnd = p + nBytes;
  long lLines = 0, lBadStamps = 0;
  while (p < pEnd) {
    const char *pLf = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(pEnd - p)));
    std::size_t nLen = static_cast<std::size_t>((pLf ? pLf : pEnd) - p);
    const char *pLine = p;
    p = pLf ? pLf + 1 : pEnd;
    nLen = LogLineLength(pLine, nLen);

    std::uint32_t ulTime = 0;
    int bOutOfRange = 0;
    int nKind = ClassifyLogLine(pLine, nLen, &ulTime, &bOutOfRange);
    lBadStamps += bOutOfRange;
    if (nKind == 0) continue;
    if (nKind == 2) {
      if (!ppHeader) continue;
      char *pHeader = static_cast<char *>(std::malloc(nLen + 2));
      if (!pHeader) {
        int nErr = PLAT_ENOMEM;
        LogError("merge", __LINE__, "Error allocating %d bytes for header, got %d %s",
                 static_cast<int>(nLen + 2), nErr, PlatStrError(nErr));
        return 0;
      }
      std::memcpy(pHeader, pLine, nLen);
      pHeader[nLen] = '\n';
      pHeader[nLen + 1] = 0;
      std::free(*ppHeader);
      *ppHeader = pHeader;
      continue;
    }
    LogRecord *pNew = static_cast<LogRecord *>(std::calloc(1, sizeof(LogRecord)));
    if (!pNew) {
      int nErr = PLAT_ENOMEM;
      LogError("merge", __LINE__, "Error allocating %d bytes for pNew record, got %d %s",
               static_cast<int>(sizeof(LogRecord)), nErr, PlatStrError(nErr));
      return 0;
    }
    pNew->pData = static_cast<char *>(std::malloc(nLen + 1));
    if (!pNew->pData) {
      int nErr = PLAT_ENOMEM;
      std::free(pNew);
      LogError("merge", __LINE__, "Error allocating %d bytes for data record, got %d %s",
               static_cast<int>(nLen + 1), nErr, PlatStrError(nErr));
      return 0;
    }
    std::memcpy(pNew->pData, pLine, nLen);
    pNew->pData[nLen] = 0;
    pNew->ulTime = ulTime;
    PlatSetErrno(0);
    if (!InsertRecord(ppHead, &pCursor, pNew, plRecords, plDuplicates)) {
      int nErr = PlatErrno();
      std::free(pNew->pData);
      std::free(pNew);
      LogError("merge", __LINE__, "Error inserting data record, got %d %s", nErr,
               PlatStrError(nErr));
      return 0;
    }
    lLines++;
    if (lLines % 256 == 0 || MergeRefreshIntervalMs.load() <= 0) {
      if (pszStatus && nStatusCap)
        FormatString(pszStatus, nStatusCap, "Merging record %ld, discard %ld duplicates",
                     plRecords ? *plRecords : 0L, plDuplicates ? *plDuplicates : 0L);
      Refresh(pszStatus, nStatusCap, pProgress);
    }
  }
  if (lBadStamps)
    LogInfo("merge", __LINE__, "Merge ignoring %ld lines with an invalid time stamp in %s",
            lBadStamps, pszPath);
  return 1;
}

int FreeRecords(LogRecord **ppHead, char **ppHeader) {
  if (ppHead) {
    LogRecord *p = *ppHead;
    while (p) {
      LogRecord *pNext = p->pNext;
      std::free(p->pData);
      std::free(p);
      p = pNext;
    }
    *ppHead = nullptr;
  }
  if (ppHeader && *ppHeader) {
    std::free(*ppHeader);
    *ppHeader = nullptr;
  }
  return 1;
}

int WriteLogFile(const char *pszPath, LogRecord **ppHead, const char *pszHeader,
                 char *pszStatus, unsigned nStatusCap, const MergeProgress *pProgress) {
  LogInfo("merge", __LINE__, "Merge writing %s", pszPath);
  if (!ppHead) return 0;
  if (pszStatus && nStatusCap) FormatString(pszStatus, nStatusCap, "Writing file %s", pszPath);
  Refresh(pszStatus, nStatusCap, pProgress);
  int h = PlatOpen(pszPath, P_O_WRONLY | P_O_CREAT | P_O_EXCL | P_O_BINARY,
                   P_S_IREAD | P_S_IWRITE);
  if (h < 0) {
    int nErr = PlatErrno();
    LogError("merge", __LINE__, "Error creating file %s, got %d %s", pszPath, nErr,
             PlatStrError(nErr));
    return 0;
  }
  if (pszHeader) {
    std::size_t n = std::strlen(pszHeader);
    if (PlatWrite(h, pszHeader, n) != static_cast<long>(n)) {
      int nErr = PlatErrno();
      PlatClose(h);
      LogError("merge", __LINE__, "Error writing header to file %s, got %d %s", pszPath, nErr,
               PlatStrError(nErr));
      return 0;
    }
  }
  std::string line;
  while (*ppHead) {
    LogRecord *pRec = *ppHead;
    // Each record whole with its line feed, in one write, however long.
    // Building the line can run out of memory; that is reported like a
    // failed write, not thrown at the caller with the file still open.
    bool bBuilt = true;
    try {
      line.assign(pRec->pData);
      line.push_back('\n');
    } catch (const std::bad_alloc &) {
      bBuilt = false;
    }
    if (!bBuilt || PlatWrite(h, line.data(), line.size()) != static_cast<long>(line.size())) {
      int nErr = bBuilt ? PlatErrno() : PLAT_ENOMEM;
      PlatClose(h);
      LogError("merge", __LINE__, "Error writing file %s, got %d %s", pszPath, nErr,
               PlatStrError(nErr));
      return 0;
    }
    *ppHead = pRec->pNext;
    std::free(pRec->pData);
    std::free(pRec);
  }
  if (PlatClose(h) != 0) {
    int nErr = PlatErrno();
    LogError("merge", __LINE__, "Error writing file %s, got %d %s", pszPath, nErr,
             PlatStrError(nErr));
    return 0;
  }
  return 1;
}

namespace {

// Reads the digits of a name part: at least one, at most 9 for a device or
// 18 for a sequence number. -1 if it is not a plain decimal number.
long long ParseDigits(const char *p, std::size_t n, std::size_t nMax) {
  if (n == 0 || n > nMax) return -1;
  long long v = 0;
  for (std::size_t i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9') return -1;
    v = v * 10 + (p[i] - '0');
  }
  return v;
}

// A download's temporary name "mb-NNN.K.tmp", exactly as the download
// side writes it ("mb-%03d.%d.tmp"): the device and K, or 0 for any other
// name (no sign, no blank, no extra zero, nothing after ".tmp").
int ParseTempName(const std::string &name, int *pnDevice, long long *pllSeq) {
  if (name.size() < 12 || name.compare(0, 3, "mb-") != 0 ||
      name.compare(name.size() - 4, 4, ".tmp") != 0)
    return 0;
  std::string mid = name.substr(3, name.size() - 7);  // "NNN.K"
  std::string::size_type dot = mid.find('.');
  if (dot == std::string::npos) return 0;
  long long llDev = ParseDigits(mid.data(), dot, 9);
  long long llSeq = ParseDigits(mid.data() + dot + 1, mid.size() - dot - 1, 18);
  if (llDev < 0 || llSeq < 0) return 0;
  char szBack[64];
  FormatString(szBack, sizeof szBack, "mb-%03lld.%lld.tmp", llDev, llSeq);
  if (name != szBack) return 0;
  *pnDevice = static_cast<int>(llDev);
  *pllSeq = llSeq;
  return 1;
}

struct Leftover {
  long long llSeq;
  std::string path;
};

// The temporary downloads of one device in "<dir>\temp" other than
// pszDownloaded, oldest (smallest K) first.
std::vector<Leftover> FindLeftovers(const char *pszDir, int nDevice, const char *pszDownloaded) {
  std::vector<Leftover> v;
  std::string tempDir = std::string(pszDir) + "\\temp";
  std::vector<std::string> names;
  if (PlatListDir(tempDir.c_str(), &names) != 0) return v;
  PlatFileInfo dl{};
  bool bDl = pszDownloaded && PlatStat(pszDownloaded, &dl) == 0;
  std::string dlPath = pszDownloaded ? PlatPath(pszDownloaded) : std::string();
  for (const std::string &name : names) {
    int nDev = 0;
    long long llSeq = 0;
    if (!ParseTempName(name, &nDev, &llSeq) || nDev != nDevice) continue;
    std::string path = tempDir + "\\" + name;
    PlatFileInfo info{};
    if (PlatStat(path.c_str(), &info) != 0 || !info.bFile) continue;
    // The current download, however its path was spelt.
    if (PlatPath(path.c_str()) == dlPath) continue;
    if (bDl && info.ullDev == dl.ullDev && info.ullId == dl.ullId) continue;
    v.push_back(Leftover{llSeq, path});
  }
  std::sort(v.begin(), v.end(),
            [](const Leftover &a, const Leftover &b) { return a.llSeq < b.llSeq; });
  return v;
}

}  // namespace

int ListLeftoverDevices(const char *pszDir, int *pnDevices, int nCap) {
  std::string tempDir = std::string(pszDir) + "\\temp";
  std::vector<std::string> names;
  if (PlatListDir(tempDir.c_str(), &names) != 0) return 0;
  bool abSeen[256] = {};
  for (const std::string &name : names) {
    int nDev = 0;
    long long llSeq = 0;
    if (!ParseTempName(name, &nDev, &llSeq) || nDev < 1 || nDev > 255) continue;
    PlatFileInfo info{};
    if (PlatStat((tempDir + "\\" + name).c_str(), &info) != 0 || !info.bFile) continue;
    abSeen[nDev] = true;
  }
  int nCount = 0;
  for (int n = 1; n <= 255 && nCount < nCap; n++)
    if (abSeen[n]) pnDevices[nCount++] = n;
  return nCount;
}

namespace {

// What is known of a local log that this program wrote itself in the merged
// form: a header line (or none), then data lines in strictly ascending time,
// each ending in a line feed, nothing else. The record is kept beside the
// log ("mb-NNN.state") and trusted only while the log is exactly the file it
// describes: same file, size, modification and change times. Any other
// writer, a copy put back, or an append cut short changes one of them.
struct LogState {
  long long llSize = 0;
  long long llMtimeNs = 0;
  long long llCtimeNs = 0;
  unsigned long long ullDev = 0;
  unsigned long long ullId = 0;
  long lRecords = 0;          // data lines
  unsigned long ulLast = 0;   // time of the last one (when there is one)
  long long llHeaderLen = 0;  // bytes of the header line with its line feed; 0 = none
};

std::uint64_t Fnv1a(const char *p, std::size_t n) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::size_t i = 0; i < n; i++) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h;
}

constexpr char kStateFormat[] =
    "merged log 1 size %lld mtime %lld ctime %lld dev %llu ino %llu records %ld last %lu "
    "header %lld";

// How long a state record waits for the file system's clock to move on
// past the log's last change (it moves in ticks of a few ms). A file system
// whose clock runs ahead of ours gets no record after that: full merges.
constexpr int kStateTickWaitMs = 200;

// Records the state of the log at pszLog (as it is on disk now). Failing
// costs only a full merge next time, so it is noted, not reported as an
// error; a state that cannot be trusted is removed.
//
// File times move in ticks of the kernel's clock, so a change made to the
// log later within the same tick would leave its times as recorded. The
// record is therefore trusted only when it was written in a later tick
// than the log's last change: any change after it shows as a change time
// no earlier than the record's own modification time.
void WriteLogState(const char *pszState, const char *pszLog, long lRecords, unsigned long ulLast,
                   long long llHeaderLen) {
  PlatFileInfo info{};
  char szText[400];
  int n = -1;
  if (PlatStat(pszLog, &info) == 0 && info.bFile)
    n = FormatString(szText, sizeof szText - 40, kStateFormat, info.llSize, info.llMtimeNs,
                     info.llCtimeNs, info.ullDev, info.ullId, lRecords, ulLast, llHeaderLen);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof szText - 40) {
    (void)PlatUnlink(pszState);
    return;
  }
  std::size_t nLen = static_cast<std::size_t>(n);
  FormatString(szText + nLen, static_cast<unsigned>(sizeof szText - nLen), " check %016llx\n",
               static_cast<unsigned long long>(Fnv1a(szText, nLen)));
  nLen = std::strlen(szText);
  for (int nWaited = 0;; nWaited++) {
    int h = PlatOpen(pszState, P_O_WRONLY | P_O_CREAT | P_O_TRUNC | P_O_BINARY,
                     P_S_IREAD | P_S_IWRITE);
    bool bOk = h >= 0 && PlatWrite(h, szText, nLen) == static_cast<long>(nLen);
    int nErr = PlatErrno();
    if (h >= 0 && PlatClose(h) != 0 && bOk) {
      bOk = false;
      nErr = PlatErrno();
    }
    PlatFileInfo state{};
    if (bOk && PlatStat(pszState, &state) != 0) {
      bOk = false;
      nErr = PlatErrno();
    }
    if (!bOk) {
      (void)PlatUnlink(pszState);
      LogInfo("merge", __LINE__, "Merge could not record the state of %s, got %d %s", pszLog,
              nErr, PlatStrError(nErr));
      return;
    }
    if (state.llMtimeNs > info.llCtimeNs) return;
    if (nWaited >= kStateTickWaitMs) {
      (void)PlatUnlink(pszState);
      return;
    }
    PlatSleep(1);
  }
}

// 1 = the state file describes the log as it is now (*pState); 0 = no
// state, or not this log's.
int ReadLogState(const char *pszState, const char *pszLog, LogState *pState) {
  int h = PlatOpen(pszState, P_O_RDONLY | P_O_BINARY);
  if (h < 0) return 0;
  char szText[400];
  long nHave = 0, nRead;
  while (nHave < static_cast<long>(sizeof szText) - 1 &&
         (nRead = PlatRead(h, szText + nHave, sizeof szText - 1 - static_cast<std::size_t>(nHave))) > 0)
    nHave += nRead;
  PlatClose(h);
  szText[nHave > 0 ? nHave : 0] = 0;
  const char *pCheck = std::strstr(szText, " check ");
  if (!pCheck) return 0;
  unsigned long long ullCheck = 0;
  int nEnd = 0;
  if (std::sscanf(pCheck, " check %16llx\n%n", &ullCheck, &nEnd) != 1 || nEnd == 0 ||
      pCheck[nEnd] != 0 || pCheck[nEnd - 1] != '\n' ||
      ullCheck != Fnv1a(szText, static_cast<std::size_t>(pCheck - szText)))
    return 0;
  LogState st;
  if (std::sscanf(szText, kStateFormat, &st.llSize, &st.llMtimeNs, &st.llCtimeNs, &st.ullDev,
                  &st.ullId, &st.lRecords, &st.ulLast, &st.llHeaderLen) != 8)
    return 0;
  PlatFileInfo info{}, state{};
  if (PlatStat(pszState, &state) != 0 || PlatStat(pszLog, &info) != 0 ||
      state.llMtimeNs <= info.llCtimeNs || !info.bFile || info.llSize != st.llSize ||
      info.llMtimeNs != st.llMtimeNs || info.llCtimeNs != st.llCtimeNs ||
      info.ullDev != st.ullDev || info.ullId != st.ullId || st.lRecords < 0 ||
      st.llHeaderLen < 0 || st.llHeaderLen > st.llSize || st.ulLast > 0xFFFFFFFFul)
    return 0;
  *pState = st;
  return 1;
}

// The header line of the log as the state describes it, without its line
// feed. 1 = read; 0 = it is not there as described.
int ReadLogHeader(const char *pszLog, long long llHeaderLen, std::string *pHeader) {
  pHeader->clear();
  if (llHeaderLen == 0) return 1;
  if (llHeaderLen > (1 << 24)) return 0;
  int h = PlatOpen(pszLog, P_O_RDONLY | P_O_BINARY);
  if (h < 0) return 0;
  std::string text(static_cast<std::size_t>(llHeaderLen), '\0');
  std::size_t nHave = 0;
  long nRead;
  while (nHave < text.size() && (nRead = PlatRead(h, &text[nHave], text.size() - nHave)) > 0)
    nHave += static_cast<std::size_t>(nRead);
  PlatClose(h);
  if (nHave != text.size() || text.back() != '\n' || text.compare(0, 4, "time") != 0 ||
      text.find('\n') != text.size() - 1 || text.find('\0') != std::string::npos)
    return 0;
  text.pop_back();
  pHeader->swap(text);
  return 1;
}

// Removes what a successful merge has taken up: the leftovers and the
// download. 1 = all gone; 0 = one could not be removed (reported).
int RemoveInputs(const std::vector<Leftover> &leftovers, const char *pszDownloaded) {
  int nResult = 1;
  // A leftover that cannot be removed is merged again next time, which
  // changes nothing; it is still reported.
  for (const Leftover &l : leftovers) {
    if (PlatUnlink(l.path.c_str()) != 0) {
      int nErr = PlatErrno();
      LogError("merge", __LINE__, "Error deleting file %s, got %d %s", l.path.c_str(), nErr,
               PlatStrError(nErr));
      nResult = 0;
    }
  }
  if (pszDownloaded && PlatUnlink(pszDownloaded) != 0) {
    int nErr = PlatErrno();
    LogError("merge", __LINE__, "Error deleting file %s, got %d %s", pszDownloaded, nErr,
             PlatStrError(nErr));
    return 0;
  }
  if (!nResult) return 0;
  LogInfo("merge", __LINE__, "Merge complete");
  return 1;
}

// The nightly case: the local log is known to be in the merged form, the
// header stays, and every new record comes after its last one. The full
// merge would then write the local log's bytes again followed by the new
// lines; only the new lines are appended instead. 1 = appended; 0 = failed
// (reported); -1 = not the case (nothing changed, the full merge follows;
// what was read of the new files is left in *pSet, or nothing).
int MergeByAppend(const char *pszLog, const char *pszState,
                  const std::vector<Leftover> &leftovers, const char *pszDownloaded,
                  char *pszStatus, unsigned nStatusCap, const MergeProgress *pProgress, LogSet *pSet) {
  LogState st;
  std::string header;
  if (!ReadLogState(pszState, pszLog, &st) || !ReadLogHeader(pszLog, st.llHeaderLen, &header))
    return -1;
  LogSet &set = *pSet;
  for (const Leftover &l : leftovers)
    if (ReadLogSet(l.path.c_str(), &set, pszStatus, nStatusCap, pProgress, 0, 1) != 1) return 0;
  if (pszDownloaded &&
      ReadLogSet(pszDownloaded, &set, pszStatus, nStatusCap, pProgress, 0) != 1)
    return 0;
  bool bHeaderStays = !set.bHeader || (st.llHeaderLen > 0 && set.header == header);
  bool bAllLater = set.vLines.empty() || st.lRecords == 0 ||
                   set.vLines.front().ulTime > st.ulLast;
  if (!bHeaderStays || !bAllLater) {
    LogInfo("merge", __LINE__, "Merge cannot append to %s: %s", pszLog,
            !bHeaderStays ? "the header changes" : "new records overlap its records");
    return -1;
  }
  // The counts the full merge would give: the local log's records are all
  // distinct and all earlier than the new ones.
  LogInfo("merge", __LINE__, "Merge sort: got got %ld records, %ld duplicate records",
          st.lRecords + set.lRecords, set.lDuplicates);
  // Nothing new: the local log already is the merged result.
  if (set.vLines.empty()) return 1;
  if (!AppendLogSet(pszLog, st.llSize, &set, pszStatus, nStatusCap, pProgress)) return 0;
  WriteLogState(pszState, pszLog, st.lRecords + set.lRecords, set.vLines.back().ulTime,
                st.llHeaderLen);
  return 1;
}

}  // namespace

// The inputs are read in this order, the last header read winning and, per
// time stamp, the first of the longest lines: a merged file left behind,
// the local log, downloads that earlier runs left in "temp" (a run killed
// or failed before their merge; oldest first), the new download. Nothing
// that was read is removed before the result is on the disk under the
// local log's name.
int MergeLogFile(const char *pszDir, int nDevice, const char *pszDownloaded, char *pszStatus,
                 unsigned nStatusCap, const MergeProgress *pProgress) {
  char szNew[128], szLog[128], szTmp[128], szState[128];
  FormatString(szNew, sizeof szNew, "%s\\mb-%03d.new", pszDir, nDevice);
  FormatString(szLog, sizeof szLog, "%s\\mb-%03d.log", pszDir, nDevice);
  FormatString(szTmp, sizeof szTmp, "%s\\mb-%03d.tmp", pszDir, nDevice);
  FormatString(szState, sizeof szState, "%s\\mb-%03d.state", pszDir, nDevice);

  std::vector<Leftover> leftovers = FindLeftovers(pszDir, nDevice, pszDownloaded);
  int bNewExists = PlatExists(szNew);
  // Only leftovers asked for, and there are none: nothing to do.
  if (!pszDownloaded && leftovers.empty() && !bNewExists) return 1;
  LogInfo("merge", __LINE__, "Merge starting for %s, device %d", pszDir, nDevice);

  // The new files, when the attempt to append has read them already.
  LogSet later;
  bool bLaterRead = false;
  if (!bNewExists && MergeAppendToLog.load()) {
    int nAppended = MergeByAppend(szLog, szState, leftovers, pszDownloaded, pszStatus,
                                  nStatusCap, pProgress, &later);
    if (nAppended == 0) return 0;
    if (nAppended == 1) return RemoveInputs(leftovers, pszDownloaded);
    bLaterRead = !later.vFiles.empty();
  }

  LogSet set;
  // A merged file left behind by an earlier merge: its records first. Its
  // last line, if it has no line feed, was cut by a kill while it was
  // written; that line is whole in one of the files it came from.
  int bLeftover = 0;
  if (bNewExists) {
    int nRead = ReadLogSet(szNew, &set, pszStatus, nStatusCap, pProgress, 1, 1);
    if (nRead == 0) return 0;
    bLeftover = nRead == 1;
  }
  if (PlatExists(szLog)) {
    // A directory in the local log's place is no log to read; the merge
    // goes on and its rename fails below, keeping the merged file.
    if (ReadLogSet(szLog, &set, pszStatus, nStatusCap, pProgress, 1) == 0) return 0;
  }
  if (bLaterRead) {
    // The attempt to append has read the new files already; joined after
    // the local log they give what reading them now would give.
    if (!MergeLogSets(&set, &later)) return 0;
  } else {
    // A leftover download may end in a line torn by the kill; the unit still
    // holds that line whole (no delete is sent before the merge is on disk).
    for (const Leftover &l : leftovers)
      if (ReadLogSet(l.path.c_str(), &set, pszStatus, nStatusCap, pProgress, 0, 1) != 1) return 0;
    if (pszDownloaded &&
        ReadLogSet(pszDownloaded, &set, pszStatus, nStatusCap, pProgress, 0) != 1)
      return 0;
  }
  LogInfo("merge", __LINE__, "Merge sort: got got %ld records, %ld duplicate records",
          set.lRecords, set.lDuplicates);
  // Nothing at all (no line came, no local log or merged file was there):
  // no empty local log is made for a device that has never sent a line.
  if (set.vLines.empty() && !set.bHeader && !bLeftover && !PlatExists(szLog))
    return RemoveInputs(leftovers, pszDownloaded);

  const char *pszTarget = bLeftover ? szTmp : szNew;
  if (!WriteLogSet(pszTarget, bLeftover ? P_O_TRUNC : P_O_EXCL, &set, pszStatus, nStatusCap,
                   pProgress))
    return 0;
  // What the next merge needs to know of the result, which is in the merged
  // form by construction.
  const long lRecords = set.lRecords;
  const unsigned long ulLast = set.vLines.empty() ? 0 : set.vLines.back().ulTime;
  const long long llHeaderLen =
      set.bHeader ? static_cast<long long>(set.header.size()) + 1 : 0;
  set = LogSet();  // the data is on disk now; let the memory go

  if (bLeftover && PlatRename(szTmp, szNew) != 0) {
    int nErr = PlatErrno();
    LogError("merge", __LINE__, "Error renaming file %s to %s, got %d %s", szTmp, szNew, nErr,
             PlatStrError(nErr));
    (void)PlatUnlink(szTmp);  // the leftover and the local log still hold it all
    return 0;
  }
  // One step: the local log is the old one or the new one, never neither.
  if (PlatRename(szNew, szLog) != 0) {
    int nErr = PlatErrno();
    LogError("merge", __LINE__, "Error renaming file %s to %s, got %d %s", szNew, szLog, nErr,
             PlatStrError(nErr));
    return 0;
  }
  // The rename must be on the disk before the downloads, the other copies, go.
  if (MergeFlushToDisk.load() && PlatFsyncDir(szLog) != 0) {
    int nErr = PlatErrno();
    LogError("merge", __LINE__, "Error flushing directory of %s, got %d %s", szLog, nErr,
             PlatStrError(nErr));
    return 0;
  }
  WriteLogState(szState, szLog, lRecords, ulLast, llHeaderLen);
  return RemoveInputs(leftovers, pszDownloaded);
}
