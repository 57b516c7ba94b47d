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
};

// Progress-dialog controls.
enum {
  IDC_DLSERIAL = 230,
  IDC_DLFILE = 231,
  IDC_DLBYTES = 232,
  IDC_DLCANCEL = 241,
};

extern HWND DownloadOwner;

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

int DownloadLogFile(DownloadJob *pJob, int nKind, int nDevice);
int DownloadConfigFile(DownloadJob *pJob, int nKind, int nDevice);
int RequestLogDelete(DownloadJob *pJob, int nKind, int nDevice);

int ReadDasIdentity(DownloadJob *pJob);
int DownloadSingleMeterDas(DownloadJob *pJob);
int DownloadMultiDeviceDas(DownloadJob *pJob);
