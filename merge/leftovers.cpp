// Finding the downloads earlier runs left in "<dir>\temp".
#include "merge/leftovers.h"

#include <algorithm>

#include "merge/merge.h"
#include "merge/tempname.h"
#include "platform/file.h"

namespace {

// Calls fn(nDevice, llSeq, path, info) for every file in "<dir>\temp" named
// as a download (tempname.h). 0 = there is no such folder.
template <class Fn>
int ForEachDownload(const char *pszDir, Fn fn) {
  std::string tempDir = std::string(pszDir) + "\\temp";
  std::vector<std::string> names;
  if (PlatListDir(tempDir.c_str(), &names) != 0) return 0;
  for (const std::string &name : names) {
    int nDev = 0;
    long long llSeq = 0;
    if (!ParseTempName(name.c_str(), &nDev, &llSeq)) continue;
    std::string path = tempDir + "\\" + name;
    PlatFileInfo info{};
    if (PlatStat(path.c_str(), &info) != 0 || !info.bFile) continue;
    fn(nDev, llSeq, path, info);
  }
  return 1;
}

}  // namespace

std::vector<Leftover> FindLeftovers(const char *pszDir, int nDevice, const char *pszDownloaded) {
  std::vector<Leftover> v;
  PlatFileInfo dl{};
  bool bDl = pszDownloaded && PlatStat(pszDownloaded, &dl) == 0;
  std::string dlPath = pszDownloaded ? PlatPath(pszDownloaded) : std::string();
  ForEachDownload(pszDir, [&](int nDev, long long llSeq, const std::string &path,
                              const PlatFileInfo &info) {
    if (nDev != nDevice) return;
    // The current download, however its path was spelt.
    if (PlatPath(path.c_str()) == dlPath) return;
    if (bDl && info.ullDev == dl.ullDev && info.ullId == dl.ullId) return;
    v.push_back(Leftover{llSeq, path});
  });
  std::sort(v.begin(), v.end(),
            [](const Leftover &a, const Leftover &b) { return a.llSeq < b.llSeq; });
  return v;
}

int ListLeftoverDevices(const char *pszDir, int *pnDevices, int nCap) {
  bool abSeen[256] = {};
  if (!ForEachDownload(pszDir, [&](int nDev, long long, const std::string &, const PlatFileInfo &) {
        if (nDev >= 1 && nDev <= 255) abSeen[nDev] = true;
      }))
    return 0;
  int nCount = 0;
  for (int n = 1; n <= 255 && nCount < nCap; n++)
    if (abSeen[n]) pnDevices[nCount++] = n;
  return nCount;
}
