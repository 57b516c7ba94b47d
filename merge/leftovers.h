// Downloads that earlier runs left in "<dir>\temp" unmerged (a run killed
// or failed before their merge). They may hold the only local copy of
// their records, so every merge of the device takes them up.
#pragma once
#include <string>
#include <vector>

struct Leftover {
  long long llSeq;
  std::string path;
};

// The temporary downloads of one device in "<dir>\temp" other than
// pszDownloaded (however its path is spelt), oldest (smallest K) first.
std::vector<Leftover> FindLeftovers(const char *pszDir, int nDevice, const char *pszDownloaded);
