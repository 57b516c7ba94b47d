// The record-list form of a log, kept as the reference for the merge
// (records.h). The line rules are the merge's own (logline.h).
#include "merge/records.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "log/errorlog.h"
#include "merge/logline.h"
#include "merge/logset.h"
#include "merge/logset_int.h"
#include "platform/file.h"
#include "util/text.h"

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

namespace {

// The header line with its line feed, in place of an earlier one. 1 = taken;
// 0 = out of memory (reported).
int TakeHeader(const char *pLine, std::size_t nLen, char **ppHeader) {
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
  return 1;
}

// A record holding a copy of the line; null = out of memory (reported).
LogRecord *NewRecord(const char *pLine, std::size_t nLen, std::uint32_t ulTime) {
  LogRecord *pNew = static_cast<LogRecord *>(std::calloc(1, sizeof(LogRecord)));
  if (!pNew) {
    int nErr = PLAT_ENOMEM;
    LogError("merge", __LINE__, "Error allocating %d bytes for pNew record, got %d %s",
             static_cast<int>(sizeof(LogRecord)), nErr, PlatStrError(nErr));
    return nullptr;
  }
  pNew->pData = static_cast<char *>(std::malloc(nLen + 1));
  if (!pNew->pData) {
    int nErr = PLAT_ENOMEM;
    std::free(pNew);
    LogError("merge", __LINE__, "Error allocating %d bytes for data record, got %d %s",
             static_cast<int>(nLen + 1), nErr, PlatStrError(nErr));
    return nullptr;
  }
  std::memcpy(pNew->pData, pLine, nLen);
  pNew->pData[nLen] = 0;
  pNew->ulTime = ulTime;
  return pNew;
}

}  // namespace

int ReadLogFile(const char *pszPath, LogRecord **ppHead, char **ppHeader, char *pszStatus,
                unsigned nStatusCap, const MergeProgress *pProgress, long *plRecords, long *plDuplicates) {
  LogInfo("merge", __LINE__, "Merge reading %s", pszPath);
  LogRecord *pCursor = ppHead ? *ppHead : nullptr;
  MergeStatus status{pszStatus, nStatusCap, pProgress, {}};
  ShowStatus(status, "Reading file %s", pszPath);

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
      if (ppHeader && !TakeHeader(pLine, nLen, ppHeader)) return 0;
      continue;
    }
    LogRecord *pNew = NewRecord(pLine, nLen, ulTime);
    if (!pNew) return 0;
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
    if (lLines % 256 == 0 || MergeRefreshIntervalMs.load() <= 0)
      ShowCounts(status, plRecords ? *plRecords : 0L, plDuplicates ? *plDuplicates : 0L);
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
  MergeStatus status{pszStatus, nStatusCap, pProgress, {}};
  ShowStatus(status, "Writing file %s", pszPath);
  int h = PlatOpen(pszPath, P_O_WRONLY | P_O_CREAT | P_O_EXCL | P_O_BINARY,
                   P_S_IREAD | P_S_IWRITE);
  if (h < 0) {
    int nErr = PlatErrno();
    LogFileError("merge", __LINE__, "creating file", pszPath, nErr);
    return 0;
  }
  if (pszHeader) {
    std::size_t n = std::strlen(pszHeader);
    if (PlatWrite(h, pszHeader, n) != static_cast<long>(n)) {
      int nErr = PlatErrno();
      PlatClose(h);
      LogFileError("merge", __LINE__, "writing header to file", pszPath, nErr);
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
      LogFileError("merge", __LINE__, "writing file", pszPath, nErr);
      return 0;
    }
    *ppHead = pRec->pNext;
    std::free(pRec->pData);
    std::free(pRec);
  }
  if (PlatClose(h) != 0) {
    int nErr = PlatErrno();
    LogFileError("merge", __LINE__, "writing file", pszPath, nErr);
    return 0;
  }
  return 1;
}
