// Log records and the merge of a downloaded log into a device's local log.
//
// MergeLogFile works on a LogSet (logset.cpp): lines as entries pointing
// into the files, sorted and de-duplicated in O(n log n). The leftovers are
// found in leftovers.cpp, the state record that allows an append is
// logstate.cpp; this file decides what is read and how the result is put
// in place.
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

#include <atomic>
#include <string>
#include <vector>

#include "log/errorlog.h"
#include "merge/leftovers.h"
#include "merge/logset.h"
#include "merge/logstate.h"
#include "merge/tail.h"
#include "platform/file.h"
#include "util/text.h"

std::atomic<int> MergeAppendToLog{1};

namespace {

// The files of one device beside its local log.
struct DeviceFiles {
  char szNew[128], szLog[128], szTmp[128], szState[128];
};

// Removes what a successful merge has taken up: the leftovers and the
// download. 1 = all gone; 0 = one could not be removed (reported).
int RemoveInputs(const std::vector<Leftover> &leftovers, const char *pszDownloaded) {
  int nResult = 1;
  // A leftover that cannot be removed is merged again next time, which
  // changes nothing; it is still reported.
  for (const Leftover &l : leftovers) {
    if (PlatUnlink(l.path.c_str()) != 0) {
      int nErr = PlatErrno();
      LogFileError("merge", __LINE__, "deleting file", l.path.c_str(), nErr);
      nResult = 0;
    }
  }
  if (pszDownloaded && PlatUnlink(pszDownloaded) != 0) {
    int nErr = PlatErrno();
    LogFileError("merge", __LINE__, "deleting file", pszDownloaded, nErr);
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
    // Records sent again: only the log's tail from the first of them on
    // needs the merge (tail.cpp).
    return bHeaderStays ? MergeByTail(pszLog, pszState, st, &set, pszStatus, nStatusCap, pProgress)
                        : -1;
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


// Reads the inputs of a full merge into *pSet in the merge's order. pLater
// holds the new files when the attempt to append has read them already.
// 1 = read (*pbLeftover: a merged file left behind was among them); 0 =
// failed (reported).
int ReadAllInputs(const DeviceFiles &files, bool bNewExists, const std::vector<Leftover> &leftovers,
                  const char *pszDownloaded, LogSet *pLater, char *pszStatus, unsigned nStatusCap,
                  const MergeProgress *pProgress, LogSet *pSet, int *pbLeftover) {
  // A merged file left behind by an earlier merge: its records first. Its
  // last line, if it has no line feed, was cut by a kill while it was
  // written; that line is whole in one of the files it came from.
  *pbLeftover = 0;
  if (bNewExists) {
    int nRead = ReadLogSet(files.szNew, pSet, pszStatus, nStatusCap, pProgress, 1, 1);
    if (nRead == 0) return 0;
    *pbLeftover = nRead == 1;
  }
  if (PlatExists(files.szLog)) {
    // A directory in the local log's place is no log to read; the merge
    // goes on and its rename fails below, keeping the merged file.
    if (ReadLogSet(files.szLog, pSet, pszStatus, nStatusCap, pProgress, 1) == 0) return 0;
  }
  // The attempt to append has read the new files already; joined after
  // the local log they give what reading them now would give.
  if (!pLater->vFiles.empty()) return MergeLogSets(pSet, pLater);
  // A leftover download may end in a line torn by the kill; the unit still
  // holds that line whole (no delete is sent before the merge is on disk).
  for (const Leftover &l : leftovers)
    if (ReadLogSet(l.path.c_str(), pSet, pszStatus, nStatusCap, pProgress, 0, 1) != 1) return 0;
  if (pszDownloaded &&
      ReadLogSet(pszDownloaded, pSet, pszStatus, nStatusCap, pProgress, 0) != 1)
    return 0;
  return 1;
}

// Writes the merged set and puts it in the local log's place in one step,
// then records its state. The set is emptied once it is on the disk.
// 1 = in place; 0 = failed (reported; the local log is the old one).
int ReplaceLocalLog(const DeviceFiles &files, int bLeftover, LogSet *pSet, char *pszStatus,
                    unsigned nStatusCap, const MergeProgress *pProgress) {
  const char *pszTarget = bLeftover ? files.szTmp : files.szNew;
  if (!WriteLogSet(pszTarget, bLeftover ? P_O_TRUNC : P_O_EXCL, pSet, pszStatus, nStatusCap,
                   pProgress))
    return 0;
  // What the next merge needs to know of the result, which is in the merged
  // form by construction.
  const long lRecords = pSet->lRecords;
  const unsigned long ulLast = pSet->vLines.empty() ? 0 : pSet->vLines.back().ulTime;
  const long long llHeaderLen =
      pSet->bHeader ? static_cast<long long>(pSet->header.size()) + 1 : 0;
  *pSet = LogSet();  // the data is on disk now; let the memory go

  if (bLeftover && PlatRename(files.szTmp, files.szNew) != 0) {
    int nErr = PlatErrno();
    LogError("merge", __LINE__, "Error renaming file %s to %s, got %d %s", files.szTmp,
             files.szNew, nErr, PlatStrError(nErr));
    (void)PlatUnlink(files.szTmp);  // the leftover and the local log still hold it all
    return 0;
  }
  // One step: the local log is the old one or the new one, never neither.
  if (PlatRename(files.szNew, files.szLog) != 0) {
    int nErr = PlatErrno();
    LogError("merge", __LINE__, "Error renaming file %s to %s, got %d %s", files.szNew,
             files.szLog, nErr, PlatStrError(nErr));
    return 0;
  }
  // The rename must be on the disk before the downloads, the other copies, go.
  if (MergeFlushToDisk.load() && PlatFsyncDir(files.szLog) != 0) {
    int nErr = PlatErrno();
    LogFileError("merge", __LINE__, "flushing directory of", files.szLog, nErr);
    return 0;
  }
  WriteLogState(files.szState, files.szLog, lRecords, ulLast, llHeaderLen);
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
  DeviceFiles files;
  FormatString(files.szNew, sizeof files.szNew, "%s\\mb-%03d.new", pszDir, nDevice);
  FormatString(files.szLog, sizeof files.szLog, "%s\\mb-%03d.log", pszDir, nDevice);
  FormatString(files.szTmp, sizeof files.szTmp, "%s\\mb-%03d.tmp", pszDir, nDevice);
  FormatString(files.szState, sizeof files.szState, "%s\\mb-%03d.state", pszDir, nDevice);

  // A tail replacement cut short is finished (or dropped) before anything
  // else reads or writes the log.
  if (!FinishTailRedo(files.szLog, files.szState)) return 0;
  std::vector<Leftover> leftovers = FindLeftovers(pszDir, nDevice, pszDownloaded);
  const bool bNewExists = PlatExists(files.szNew);
  // Only leftovers asked for, and there are none: nothing to do.
  if (!pszDownloaded && leftovers.empty() && !bNewExists) return 1;
  LogInfo("merge", __LINE__, "Merge starting for %s, device %d", pszDir, nDevice);

  // The new files, when the attempt to append has read them already.
  LogSet later;
  if (!bNewExists && MergeAppendToLog.load()) {
    int nAppended = MergeByAppend(files.szLog, files.szState, leftovers, pszDownloaded, pszStatus,
                                  nStatusCap, pProgress, &later);
    if (nAppended == 0) return 0;
    if (nAppended == 1) return RemoveInputs(leftovers, pszDownloaded);
  }

  LogSet set;
  int bLeftover = 0;
  if (!ReadAllInputs(files, bNewExists, leftovers, pszDownloaded, &later, pszStatus, nStatusCap,
                     pProgress, &set, &bLeftover))
    return 0;
  LogInfo("merge", __LINE__, "Merge sort: got got %ld records, %ld duplicate records",
          set.lRecords, set.lDuplicates);
  // Nothing at all (no line came, no local log or merged file was there):
  // no empty local log is made for a device that has never sent a line.
  if (set.vLines.empty() && !set.bHeader && !bLeftover && !PlatExists(files.szLog))
    return RemoveInputs(leftovers, pszDownloaded);
  if (!ReplaceLocalLog(files, bLeftover, &set, pszStatus, nStatusCap, pProgress)) return 0;
  return RemoveInputs(leftovers, pszDownloaded);
}
