// Helpers shared by the fuzz targets: a private working directory, the line
// splitting that the program's line readers do, and answers served over a
// real socket pair through the socket layer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

// A property that must hold: when it does not, the input is a finding.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) FuzzCheckFailed(#cond, __FILE__, __LINE__);                              \
  } while (0)
[[noreturn]] void FuzzCheckFailed(const char *pszWhat, const char *pszFile, int nLine);

// Makes a fresh directory under the temporary directory and enters it; every
// file a target writes lands there. Called once per process.
void EnterSandbox(const char *pszName);
// Removes everything in the current directory.
void ClearCurrentDir();

// The lines a reader with a buffer of nCap bytes gets from data (RecvLine and
// ReadLine alike): a line ends at a line feed (dropped) or after nCap - 1
// bytes, the rest then being the next line; a last line without a line feed
// counts when it is not empty. Lines keep any NUL bytes they hold.
std::vector<std::string> SplitLines(const std::string &data, std::size_t nCap);
// The text as a C string sees it: cut at its first NUL.
std::string CText(const std::string &s);

// A connection whose far end has sent answer and then ended its sending
// side, taken over by the socket layer. *pPeer receives the far end, which
// collects what the program sends; the caller closes it.
SOCKET ServedConnection(const std::string &answer, int *pPeer);
// Everything the program sent to a far end so far.
std::string SentTo(int nPeer);
