// The overlapping night: a unit that keeps its log sends weeks of records
// again, nearly all of them already at the end of the local log. Only the
// local log's tail from the first re-sent time stamp on is merged with the
// downloads and replaced in place, through a redo record ("mb-NNN.redo")
// that makes the replacement survive a crash.
#pragma once

struct LogSet;         // merge/logset.h
struct LogState;       // merge/logstate.h
struct MergeProgress;  // merge/merge.h

// Finishes a tail replacement that a crash or a failure cut short, or
// discards its redo record when that was never completely written (the
// log was then not yet touched). Must run before anything else touches the
// log. 1 = there was none, or it is done; 0 = failed (reported; the log
// must be left alone, the redo record stays for the next run).
int FinishTailRedo(const char *pszLog, const char *pszState);

// Merges the new files read into *pNew with the tail of the local log that
// st describes (its header stays, st is valid), giving byte for byte what
// the full merge would give. 1 = the tail is replaced (the state record
// written; the new files may go); 0 = failed (reported; the local log is
// the old one, or a redo record completes it on the next run); -1 = not the
// case: the log is not shown to be in the merged form there, the new
// records reach its first one, or the tail is more than half of it (*pNew
// is unchanged, the full merge follows).
int MergeByTail(const char *pszLog, const char *pszState, const LogState &st, LogSet *pNew,
                char *pszStatus, unsigned nStatusCap, const MergeProgress *pProgress);
