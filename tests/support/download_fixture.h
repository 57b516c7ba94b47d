// Helpers shared by the download tests: a simulated unit that stops with the
// test, a plain HTTP fetch of what the unit serves (to compare stored files
// with), the error log's entries, and a worker run on the test's thread.
#pragma once
#include <string>
#include <vector>

#include "download/download.h"
#include "log/errorlog.h"
#include "log/testhooks.h"
#include "shell/app.h"
#include "tests/support/http_client.h"
#include "tests/support/program.h"
#include "tests/support/sim_unit.h"
#include "tests/support/testutil.h"
#include "tests/support/wait.h"
#include "tools/das-sim/sim.h"
#include "util/text.h"

// GET path from the unit with its password, as a plain client would; the
// body only. An answer that did not come is no body the program could have
// stored.
inline std::string FetchBody(int nPort, const std::string &path, const std::string &password) {
  LoopbackReply r = LoopbackGet(nPort, path, password);
  return r.head.empty() ? "<no answer>" : r.body;
}

// Exactly what the program must send for a path.
inline std::string ExpectedRequest(const std::string &path, const std::string &password) {
  return "GET " + path + " HTTP/1.0\r\nAuthorization: Basic " + SimBase64("admin:" + password) +
         "\r\nUser-Agent: Mozilla/4.0 (compatible; " APP_TITLE " " APP_VERSION
         " ; Win32)\r\n\r\n";
}

inline std::vector<std::string> LogMessages(const std::string &module) {
  std::vector<std::string> out;
  for (auto &e : ReadLogEntries())
    if (e.module == module) out.push_back(e.message);
  return out;
}

inline bool LogHas(const std::string &message) {
  for (auto &e : ReadLogEntries())
    if (e.message == message) return true;
  return false;
}

// Fresh error log in the current directory, message boxes off.
inline void StartLog() {
  ResetErrorLog();
  OpenErrorLog(1);
}

// Runs one job's worker to its end on the calling thread, without a dialog.
inline void RunWorker(DasRecord *pDas) {
  DownloadFinalWaitMs.store(0);
  DownloadJob *pJob = AllocDownloadJob(pDas, nullptr);
  DownloadThread(pJob);
}
