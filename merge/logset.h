// The merge's own working form of log files: the accepted data lines of
// every file read are kept as (time, file, offset, length) entries, and the
// bytes stay in the files. Sorting and de-duplicating entries costs
// O(n log n) whatever the order of the input, where walking a linked list
// from its head for every out-of-order line costs O(n^2); and a year of
// records needs about a quarter of its size in memory, not all of it.
//
// Used by MergeLogFile; exposed for the tests and the benchmark.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "merge/logline.h"
#include "platform/types.h"

struct MergeProgress;  // merge/merge.h

// One accepted data line: where its bytes are (exactly as read: quotes and a
// carriage return included, no line feed) in one of the set's files.
struct LogLine {
  std::uint32_t ulTime;
  std::uint32_t nFile;    // index into LogSet::vFiles
  std::uint64_t nOffset;  // where the line starts in that file
  std::size_t nLen;
};

struct FreeBytes {
  void operator()(char *p) const { std::free(p); }
};
typedef std::unique_ptr<char, FreeBytes> LogBytes;

// A file read into the set. An ascending file is not kept in memory: its
// surviving lines are copied from the file again, in one sequential pass,
// when the set is written. A file out of order is held whole (pBlock).
struct LogFile {
  std::string path;
  std::uint64_t nBytes = 0;
  LogBytes pBlock;
};

// All files read for one merge.
struct LogSet {
  std::vector<LogLine> vLines;  // ascending ulTime (unsigned), one per time stamp
  std::vector<LogFile> vFiles;
  std::string header;  // last header line read, without its line feed
  bool bHeader = false;
  long lRecords = 0;     // records in vLines
  long lDuplicates = 0;  // data lines discarded as duplicates, over all files
};

// Reads one file into the set and merges its lines in: of all lines with one
// time stamp the longest survives, among equally long ones the first read; a
// header line replaces the earlier one. Result 1 = read; 0 = failed
// (reported, the set unchanged); -1 = the path is not a file (missing or a
// directory) and bMayBeAbsent was set (nothing reported but an info entry).
// With bWholeLinesOnly a last line without its line feed is left out: in a
// file that a killed run left behind it may be torn, and its whole form is
// still on the unit or in another file.
int ReadLogSet(const char *pszPath, LogSet *pSet, char *pszStatus, unsigned nStatusCap,
               const MergeProgress *pProgress, int bMayBeAbsent, int bWholeLinesOnly = 0);

// Adds a set read from later files to one read from earlier files, as if
// the later files had been read into it one after the other (the survivors,
// the counts and the header are the same). pLater is left empty. 1 = done;
// 0 = out of memory (reported; pInto may have lost lines, pLater too).
int MergeLogSets(LogSet *pInto, LogSet *pLater);

// Writes the header (with a line feed) and every line (each with a line
// feed) to a newly created file (0600, binary). The files read must still
// be there, unchanged. nCreateFlag: P_O_EXCL to
// insist on a new file, P_O_TRUNC to overwrite one. With flushing on, the data
// is on the disk before the result 1. 0 = failed (reported; a file it
// created is removed again).
int WriteLogSet(const char *pszPath, int nCreateFlag, const LogSet *pSet, char *pszStatus,
                unsigned nStatusCap, const MergeProgress *pProgress);

// Appends every line (each with a line feed; no header) of the set to the
// existing file pszPath, which holds llBase bytes. With flushing on, the
// data is on the disk before the result 1. 0 = failed (reported; the file
// is cut back to llBase bytes, its old bytes untouched).
int AppendLogSet(const char *pszPath, long long llBase, const LogSet *pSet, char *pszStatus,
                 unsigned nStatusCap, const MergeProgress *pProgress);

// 1 (default) = flush the merged file and its directory to the disk before
// the local log is replaced. The benchmark turns it off to measure the merge
// itself; nothing else should.
extern std::atomic<int> MergeFlushToDisk;

// 1 (default) = when the local log is known to be in the merged form and
// the new records all come after it, append them instead of writing the
// whole log again (the result is the same bytes). The benchmark and the
// tests turn it off to compare with the full merge.
extern std::atomic<int> MergeAppendToLog;

// Called at every progress refresh with the status text (tests watch the
// refreshes through it); null = none.
extern std::atomic<void (*)(const char *, const MergeProgress *)> MergeRefreshHook;

// Reads a whole file (binary) into one block. 1 = read; 0 = failed
// (reported); -1 = missing or a directory and bMayBeAbsent (not reported).
int ReadWholeLogFile(const char *pszPath, LogBytes *pBlock, std::size_t *pnBytes,
                     int bMayBeAbsent);

// Minimum time between two progress refreshes while reading, in ms.
extern std::atomic<int> MergeRefreshIntervalMs;
