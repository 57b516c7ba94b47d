// One download of one DAS unit: the job shared by the progress dialog and its
// worker thread, the worker, the HTTP client and the per-file transfers.
#pragma once
#include <atomic>
#include <cstdint>
#include "daslist/daslist.h"
#include "platform/types.h"

enum DasKind { MultiDevice = 1, SingleMeter = 2 };

enum : unsigned char {
  JOB_CREATED = 0,
  JOB_RUNNING = 1,
  JOB_CANCELLED = 2,  // cancelled or failed
  JOB_FINISHED = 3,
};

struct DownloadJob {
  DasRecord *pDas;
  std::atomic<unsigned char> cState;
  HWND hDlg;
  std::uintptr_t hThread;
  std::uint32_t ulBytes;
  char szFilename[192];
  char szTempFile[32];
  int nTempFile;
  std::atomic<SOCKET> sockFile;
  std::atomic<SOCKET> sockQuery;
  // Set by ReadDasIdentity when the unit reported a serial number that
  // cannot name a directory (path characters, control characters).
  int bSerialRefused;
};

// Progress-dialog controls.
enum {
  IDC_DLSERIAL = 230,
  IDC_DLFILE = 231,
  IDC_DLBYTES = 232,
  IDC_DLCANCEL = 241,
};

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
// Number of jobs allocated and not yet freed.
int DownloadJobsAlive();

// A zeroed job with both socket slots empty, for the unit and dialog given;
// null when memory is short. FreeDownloadJob releases it.
DownloadJob *AllocDownloadJob(DasRecord *pDas, HWND hDlg);
void FreeDownloadJob(DownloadJob *pJob);

// Takes the socket out of the slot and closes it (once, whoever comes first).
void CloseJobSocket(std::atomic<SOCKET> &slot);
// Writes the status line (bounded to 64 bytes) and sends the progress refresh.
void SetJobStatus(DownloadJob *pJob, const char *pszFormat, ...)
    __attribute__((format(printf, 2, 3)));
void RefreshJob(DownloadJob *pJob);

int InitDownloadDASProcess(DasRecord *pDas, HWND hOwner);
INT_PTR DownloadDialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
void DownloadThread(void *pParam);

int HttpGet(const char *pszPath, DownloadJob *pJob, std::atomic<SOCKET> *pSlot,
            int *pnHttpResult);
int RecvLine(std::atomic<SOCKET> *pSlot, char *pszBuf, int nCap);
char *EncodeBase64InPlace(char *pBuf, int nLen, int *pnOutLen);
int CreateTempLogFile(const char *pszDir, int nDevice, char *pszPath, int nCap,
                      int *phFile);
// The unit's "ipaddress" field, "a.b.c.d" or "a.b.c.d:port", as an address in
// network order and a port (80 when none is given). 0 when it does not
// parse (*pnAddr is then 0xffffffff, so a connect fails).
int ParseUnitAddress(const char *pszText, std::uint32_t *pnAddr, unsigned short *pnPort);

// How a body ended (ReceiveBody).
enum {
  BODY_COMPLETE = 1,   // the unit closed the connection while the job ran
  BODY_FAILED = 2,     // receive error, timeout, or the socket was closed by a cancel
  BODY_CANCELLED = 3,  // the job stopped running between blocks
};
// Receives the rest of the slot's connection into hFile in blocks of up to
// nBlock bytes (at most 4096), counting each block in ulBytes and refreshing
// the progress after it. Returns one of the BODY_ values.
int ReceiveBody(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, int hFile, int nBlock);

int DownloadLogFile(DownloadJob *pJob, int nKind, int nDevice);
int DownloadConfigFile(DownloadJob *pJob, int nKind, int nDevice);
int RequestLogDelete(DownloadJob *pJob, int nKind, int nDevice);

// 1 when the text can be a unit's serial number and so its directory name:
// exactly 12 characters, no path separator, no control character.
int IsValidSerialNumber(const char *pszSerial);
int ReadDasIdentity(DownloadJob *pJob);
int DownloadSingleMeterDas(DownloadJob *pJob);
int DownloadMultiDeviceDas(DownloadJob *pJob);
