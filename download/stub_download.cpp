// Temporary: the download is not there yet. Removed when the real one lands.
#include "download/download.h"
#include "shell/errorlog.h"
HWND DownloadOwner = nullptr;
int InitDownloadDASProcess(DasRecord *pDas, HWND hOwner) {
  DownloadOwner = hOwner;
  LogInfo("download", __LINE__, "Download of %s skipped: not yet the real download",
          pDas ? pDas->serialnumber : "(null)");
  return 0;
}
