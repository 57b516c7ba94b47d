// The state record beside a local log ("mb-NNN.state"): what is known of a
// log that this program wrote itself in the merged form, so that the next
// merge may append to it instead of writing it all again.
#pragma once
#include <string>

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

// Records the state of the log at pszLog (as it is on disk now). Failing
// costs only a full merge next time, so it is noted, not reported as an
// error; a state that cannot be trusted is removed.
void WriteLogState(const char *pszState, const char *pszLog, long lRecords, unsigned long ulLast,
                   long long llHeaderLen);

// 1 = the state file describes the log as it is now (*pState); 0 = no
// state, or not this log's.
int ReadLogState(const char *pszState, const char *pszLog, LogState *pState);

// The header line of the log as the state describes it, without its line
// feed. 1 = read; 0 = it is not there as described.
int ReadLogHeader(const char *pszLog, long long llHeaderLen, std::string *pHeader);
