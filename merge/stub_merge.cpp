// Temporary: the merge is not there yet. Removed when the real one lands.
#include "merge/merge.h"
#include "shell/errorlog.h"
int MergeLogFile(const char *pszDir, int nDevice, const char *, char *, unsigned, HWND) {
  LogError("merge", __LINE__, "Merge not available for %s, device %d", pszDir, nDevice);
  return 0;
}
