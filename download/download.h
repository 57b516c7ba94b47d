// One download of one DAS unit: the job shared by the progress dialog and its
// worker thread, the worker, the HTTP client and the per-file transfers.
#pragma once
#include <atomic>
#include <cstdint>
#include "daslist/daslist.h"  // DasRecord
#include "log/summary.h"
#include "platform/errors.h"
#include "platform/sock.h"
#include "platform/types.h"
#include "resources/ids.h"

enum DasKind { MultiDevice = 1, SingleMeter = 2 };

enum : unsigned char {
  JOB_CREATED = 0,
  JOB_RUNNING = 1,
  JOB_CANCELLED = 2,  // cancelled or failed
  JOB_FINISHED = 3,
};

struct DownloadJob {
  // The unit as the job knows it: &das, the job's own copy of the list's
  // record taken when the job was made. The worker reads and writes only
  // this copy, so that an edit or a save of the list during the download
  // (the operator's, or the take-up of a list changed on disk) meets no
  // worker, and units downloaded side by side never share a record.
  DasRecord *pDas;
  DasRecord das;
  // The list's record (null for a job made without one): written only on
  // the thread that shows the list, by TakeReportedIdentity, while the
  // worker waits for it.
  DasRecord *pListed;
  // Error entries about this unit that were written on another thread (the
  // identity taken on the user-interface thread, the dial-up service's
  // callback): the worker's own count does not see them.
  int nErrorsElsewhere;
  std::atomic<unsigned char> cState;
  HWND hDlg;
  std::uintptr_t hThread;
  std::uint32_t ulBytes;
  char szFilename[192];
  // Room for any temporary name: "<serial>\\temp\\mb-NNN.K.tmp" is never cut,
  // however large K grows.
  char szTempFile[64];
  int nTempFile;
  std::atomic<SOCKET> sockFile;
  std::atomic<SOCKET> sockQuery;
  // Set by ReadDasIdentity when the unit reported a serial number that
  // cannot name a directory (path characters, control characters).
  int bSerialRefused;
  // The serial number refused (control characters shown as '?'); the
  // record keeps the one it had.
  char szRefusedSerial[64];
  // Content-Length of the answer HttpGet read last; -1 when it carried none
  // or when the body is encoded (chunked or compressed): the length then
  // counts encoded bytes, and the decoding checks the body itself.
  long long llContentLength;
  // The answer HttpGet read last said Content-Type text/html: a web
  // server's page, not a file of a unit.
  int bHtmlAnswer;
  // How far HttpGet's last exchange got (HTTP_ values), and why its
  // connect failed (CONNECT_ values), for the unit's summary line.
  int nHttpStage;
  int nConnectFailure;
  // How this unit's download ended (UNIT_COMPLETE, UNIT_FAILED or
  // UNIT_CANCELLED, set by the worker at its end) and, for a failure, why
  // (the first reason wins). Devices whose log was stored, and the data
  // lines those logs brought.
  int nOutcome;
  char szReason[160];
  int nDevices;
  long lRecords;
  std::atomic<int> bUnnoted;  // 1 until MarkJobNoted
  // When the worker started (PlatTickMs; 0 before): the unit's time limit
  // counts from here.
  std::atomic<std::uint64_t> ullStartMs;
  // Who settled the race between the time limit and the worker's end
  // (TIME_LIMIT_ values, download/timelimit.cpp).
  std::atomic<int> nTimeLimit;
  // The unit's place in the list (from 1) for the summary, 0 when the
  // units are noted in the order they end anyway (one at a time).
  long lListOrder;
};

// The lParam of a WM_CLOSE that a job sends or posts to its dialog (its
// worker is done, or a stop or its time limit cancelled it), as against the
// operator's close: the dialog of units side by side closes for the
// operator only.
const LPARAM kCloseForJob = 1;
// 1 when the unit is reached by dialling its phone number first.
int UnitDialsOut(const DasRecord *pDas);
// The unattended run's Download All with nJobs above 1: the units in list
// order, up to nJobs of them at once, each with its own job and worker
// under one progress dialog owned by hOwner; those with a phone number one
// at a time (there is one dial-up line), the units after such a unit
// waiting with it for the line. A unit for which pfnSkip (if given)
// answers 1 when its turn comes is passed over. Ends when every unit
// started has ended; a stop of the run, or the operator closing the
// dialog, starts no further unit. Returns how many units it went through
// (started or passed over): the rest were not started. User-interface
// thread.
std::size_t DownloadUnitsSideBySide(DasRecord *const *ppUnits, std::size_t nUnits, int nJobs,
                                    HWND hOwner, int (*pfnSkip)(void *pCtx, const DasRecord *pDas),
                                    void *pCtx);

// What became of one unit's download: UNIT_COMPLETE, UNIT_FAILED or
// UNIT_CANCELLED, the values the end-of-run summary takes (log/summary.h).
// Marks the unit's download as failed, with the reason (printf-style) when
// none was given before. Writes no log entry: the failing step reports
// itself, and the worker adds one entry at the end only when no error entry
// was written for the unit.
void FailJob(DownloadJob *pJob, const char *pszFormat, ...) PRINTF_LIKE(2, 3);
// 1 while the operator has not cancelled and nothing has stopped the job.
int JobRunning(const DownloadJob *pJob);

// The owner window of the latest download (target of CMD_SAVE_REFRESH from
// the worker). Atomic: a worker that winds down after a cancel may still
// read it while the next download sets it.
extern std::atomic<HWND> DownloadOwner;
// The unit of the download being set up, and the progress dialog's job.
// Both used on the user-interface thread only.
extern DasRecord *DownloadRecord;
extern DownloadJob *CurrentJob;

// How long the worker waits after closing its dialog before it frees the
// job (3000 ms; tests shorten it).
extern std::atomic<unsigned> DownloadFinalWaitMs;
// Number of jobs whose unit has not yet been noted for the run's summary
// (MarkJobNoted). A worker that the operator's cancel has released from
// its dialog may still be finishing a merge; the end of the run waits for
// it rather than cut it off.
int DownloadOutcomesPending();
// The job's outcome is noted (or never will be); once per job.
void MarkJobNoted(DownloadJob *pJob);

// A zeroed job with both socket slots empty, for the unit and dialog given;
// null when memory is short. FreeDownloadJob releases it.
DownloadJob *AllocDownloadJob(DasRecord *pDas, HWND hDlg);
void FreeDownloadJob(DownloadJob *pJob);

// Takes the socket out of the slot and closes it (once, whoever comes first).
void CloseJobSocket(std::atomic<SOCKET> &slot);
// Stops the job as the operator's cancel does: no further request, what
// arrived whole is merged, no delete for a log that did not. Any thread.
void CancelJob(DownloadJob *pJob);
// Calls pfnJob for every job allocated and not yet freed, under the lock
// that FreeDownloadJob takes: a job cannot be freed during the call, so
// pfnJob must not free one, nor wait for a worker or the user-interface
// thread.
void ForEachLiveJob(void (*pfnJob)(void *pCtx, DownloadJob *pJob), void *pCtx);
// Stops the whole run: every live job is cancelled and its progress dialog,
// if any, closes as on the operator's cancel; a job allocated from now on
// starts cancelled. Any thread (not a signal handler).
void StopAllDownloads();
// 1 once StopAllDownloads has been called: start no further unit.
int DownloadsStopped();
// The unattended run's time limit per unit: from StartUnitTimeLimit until
// StopUnitTimeLimit a watchdog thread looks at the live jobs about every
// 250 ms, and a unit whose worker has been running for nSeconds is stopped
// as the operator's cancel stops it (its dialog closes, what arrived whole
// is merged, no delete for a log that did not). 0 seconds: no watchdog.
// User-interface thread, once each per run.
void StartUnitTimeLimit(unsigned nSeconds);
void StopUnitTimeLimit();
// For the worker as it settles the outcome: the limit in seconds when the
// time limit stopped the job (told once: later calls give 0), 0 when it did
// not, and from the first call on it will not.
unsigned JobStoppedAtTimeLimit(DownloadJob *pJob);
// Writes the status line (bounded to 64 bytes) and sends the progress refresh.
void SetJobStatus(DownloadJob *pJob, const char *pszFormat, ...)
    PRINTF_LIKE(2, 3);
void RefreshJob(DownloadJob *pJob);
// RefreshJob for a callback's context (pJob is the DownloadJob): the merge
// shows its progress through it.
void RefreshJobContext(void *pJob);

int InitDownloadDASProcess(DasRecord *pDas, HWND hOwner);
INT_PTR DownloadDialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
void DownloadThread(void *pParam);

// Stages of one exchange, for telling "unreachable" from "no answer", and
// the ways a unit is unreachable: a dead unit or link, a unit that is up
// with nothing on its port, a name the resolver does not know.
enum { HTTP_NONE = 0, HTTP_CONNECTED = 1, HTTP_SENT = 2, HTTP_ANSWERED = 3 };
enum {
  CONNECT_OK = 0,
  CONNECT_NO_ANSWER = 1,  // the connect limit passed
  CONNECT_REFUSED = 2,
  CONNECT_NO_NAME = 3,    // the name did not resolve
  CONNECT_FAILED = 4,     // any other reason
};
int HttpGet(const char *pszPath, DownloadJob *pJob, std::atomic<SOCKET> *pSlot,
            int *pnHttpResult);
int RecvLine(std::atomic<SOCKET> *pSlot, char *pszBuf, int nCap);
// Receives body bytes of the slot's answer as HttpGet found it announced:
// chunked framing taken off, gzip or deflate content inflated. Returns the
// number of bytes (> 0), 0 at the body's proper end (the unit closed the
// connection after a whole body), SOCKET_ERROR on a receive error, a
// timeout, a transfer too slow, a body cut inside its encoding or one in an
// encoding this program cannot read. On a socket HttpGet did not open it is
// a plain receive.
long HttpRecvBody(std::atomic<SOCKET> *pSlot, void *pBuf, std::size_t n);
// Why the slot's body failed other than by a plain receive error ("sent in
// an encoding this program cannot read (br)"); "" when there is no such
// reason.
const char *HttpBodyProblem(std::atomic<SOCKET> *pSlot);
// Give-up limits of an exchange with a unit: a connect that has not
// completed after DownloadConnectTimeoutMs (kConnectTimeoutMs, 20 s, the
// same as a receive), and a transfer that has moved fewer bytes than one per
// second over any DownloadSlowWindowMs (kSlowWindowMs, 60 s) is given up like
// a receive timeout. Tests shorten both.
// A receive waits at most DownloadRecvTimeoutMs (kRecvTimeoutMs, 20 s); the
// whole response header, from the request sent to its empty line, may take
// DownloadHeaderTimeoutMs (kHeaderTimeoutMs, 60 s). Tests shorten both.
extern const unsigned kRecvTimeoutMs;
extern const unsigned kHeaderTimeoutMs;
extern std::atomic<unsigned> DownloadRecvTimeoutMs;
extern std::atomic<unsigned> DownloadHeaderTimeoutMs;
extern const unsigned kConnectTimeoutMs;
extern const unsigned kSlowWindowMs;
extern std::atomic<unsigned> DownloadConnectTimeoutMs;
extern std::atomic<unsigned> DownloadSlowWindowMs;
char *EncodeBase64InPlace(char *pBuf, int nLen, int *pnOutLen);
int CreateTempLogFile(const char *pszDir, int nDevice, char *pszPath, int nCap,
                      int *phFile);
// The unit's "ipaddress" field: four decimal numbers "a.b.c.d", a host
// name, or an IPv6 address in brackets "[::1]", each with an optional
// ":port" (80 when none is given), blanks around it ignored.
enum { UNIT_ADDR_NONE = 0, UNIT_ADDR_IPV4 = 1, UNIT_ADDR_NAME = 2, UNIT_ADDR_IPV6 = 3 };
struct UnitAddress {
  int nKind;             // UNIT_ADDR_ value; UNIT_ADDR_NONE when the host part is none
  int bBadPort;          // the host part is good, the port is no number of 1 to 65535
  char szHost[32];       // as written, blanks off: the numbers, the name, "[v6]"
  unsigned short nPort;  // host order
  PlatAddr addr;         // the address itself, for the IPv4 and IPv6 kinds
};
// 1 when the field can be used (*pAddr filled in); 0 when it cannot, with
// pAddr->nKind and bBadPort saying why.
int ParseUnitAddress(const char *pszText, UnitAddress *pAddr);

// How a body ended (ReceiveBody).
enum {
  BODY_COMPLETE = 1,   // the unit closed the connection while the job ran, after
                       // exactly the announced length when there was one
  BODY_FAILED = 2,     // receive error, timeout, or the socket was closed by a cancel
  BODY_CANCELLED = 3,  // the job stopped running between blocks
  BODY_SHORT = 4,      // closed before the announced Content-Length had arrived
  BODY_LONG = 5,       // more bytes than the announced Content-Length
  BODY_WRITE_FAILED = 6,  // a write to the local file failed (disk full, ...)
};
// What ReceiveBody saw besides how the body ended.
struct BodyInfo {
  unsigned long long ullBytes;   // body bytes received
  unsigned long long ullLineEnd; // received bytes up to and including the last LF
  long lLines;                   // LF bytes received
  int nWriteErr;                 // error number of a failed write, else 0
  char szProblem[96];            // HttpBodyProblem of a failed body, else ""
};
// Receives the rest of the slot's connection into hFile in blocks of up to
// nBlock bytes, counting each block in ulBytes. The progress is refreshed
// at most every DownloadRefreshMs and once at the end, so the count shown
// last is exact. Every write is checked. pInfo may be null. Returns one of
// the BODY_ values.
int ReceiveBody(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, int hFile, int nBlock,
                BodyInfo *pInfo = nullptr);
// Minimum time between two progress refreshes inside a body (50 ms; tests
// set 0 to see every block).
extern std::atomic<unsigned> DownloadRefreshMs;
// Like RecvLine, and *pnEnd tells where the line ended: 0 at its LF
// (consumed), 2 where the buffer was full (the line goes on), 1 where the
// peer closed the connection, -1 at a receive error, timeout or cancel.
int RecvLineEnd(std::atomic<SOCKET> *pSlot, char *pszBuf, int nCap, int *pnEnd);

// A short description of how a body ended other than whole, for log entries
// ("cut short, 100 of 250 bytes arrived"); returns pszBuf.
const char *DescribeBodyEnd(int nEnd, const BodyInfo &info, long long llAnnounced, char *pszBuf,
                            unsigned nCap);
// Reads the body waiting in the slot line by line, each line whole however
// long: pfnLine gets every piece of it (at most nCap - 1 bytes, in pszLine),
// with nLineEnd as RecvLineEnd gives it and bContinued set for a piece that
// goes on a line begun in the piece before. Stops when the job stops.
// Returns 1 when the body arrived whole: the unit closed the connection
// after exactly the announced length, when there was one. 0 when it was
// cut, failed or the job stopped; pszWhy then says how it ended (left as it
// was after a stop).
typedef void (*BodyLineFn)(void *pCtx, char *pszLine, int nLineEnd, int bContinued);
int ReadBodyLines(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, char *pszLine, int nCap,
                  BodyLineFn pfnLine, void *pCtx, char *pszWhy, unsigned nWhyCap);
// Marks the job failed because a request (named by pszWhat: "log file") got
// no usable answer: nGot and nHttpResult as HttpGet left them.
void FailRequest(DownloadJob *pJob, const char *pszWhat, int nGot, int nHttpResult);

int DownloadLogFile(DownloadJob *pJob, int nKind, int nDevice);
int DownloadConfigFile(DownloadJob *pJob, int nKind, int nDevice);
int RequestLogDelete(DownloadJob *pJob, int nKind, int nDevice);

// 1 when the text can be a unit's serial number and so its directory name:
// exactly 12 characters, no path separator, no control character.
int IsValidSerialNumber(const char *pszSerial);
// Asks the unit who it is and takes the answer: the serial number and name
// go into the job's copy of the record and, through the main window (the
// owner, DownloadOwner) on its own thread, into the list's record, after
// the check that no other row of the list holds that serial number. 1 when
// the identity was taken (a refused serial number included: bSerialRefused).
int ReadDasIdentity(DownloadJob *pJob);
// For the owner's window procedure on CMD_TAKE_IDENTITY: takes the identity
// that ReadDasIdentity sends as lParam, on the thread that shows the list.
void TakeReportedIdentity(LPARAM lTake);
int DownloadSingleMeterDas(DownloadJob *pJob);
int DownloadMultiDeviceDas(DownloadJob *pJob);
// Merges what earlier runs downloaded but could not merge, for every device
// of the unit that has such a leftover. Not after a cancel.
void MergeLeftoverLogs(DownloadJob *pJob);
