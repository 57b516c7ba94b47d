// Helpers shared by the download tests: a simulated unit that stops with the
// test, a plain HTTP fetch of what the unit serves (to compare stored files
// with), the error log's entries, a worker run on the test's thread, and the
// fixture of the worker's tests.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "download/download.h"
#include "download/testhooks.h"
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
// The request for path as the program sends it; host is the Host line's
// value, sent for a unit known by name or IPv6 address.
inline std::string ExpectedRequest(const std::string &path, const std::string &password,
                                   const std::string &host = "") {
  return "GET " + path + " HTTP/1.0\r\n" + (host.empty() ? "" : "Host: " + host + "\r\n") +
         "Authorization: Basic " + SimBase64("admin:" + password) +
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

// Some entry's message contains the text.
inline bool LogContains(const std::string &text) {
  for (auto &e : ReadLogEntries())
    if (e.message.find(text) != std::string::npos) return true;
  return false;
}

// Shortened give-up limits for one test, the defaults back when it ends.
struct DownloadLimits {
  DownloadLimits(unsigned nConnectMs, unsigned nWindowMs, unsigned nRecvMs = kRecvTimeoutMs,
                 unsigned nHeaderMs = kHeaderTimeoutMs) {
    DownloadConnectTimeoutMs.store(nConnectMs);
    DownloadSlowWindowMs.store(nWindowMs);
    DownloadRecvTimeoutMs.store(nRecvMs);
    DownloadHeaderTimeoutMs.store(nHeaderMs);
  }
  ~DownloadLimits() {
    DownloadConnectTimeoutMs.store(kConnectTimeoutMs);
    DownloadSlowWindowMs.store(kSlowWindowMs);
    DownloadRecvTimeoutMs.store(kRecvTimeoutMs);
    DownloadHeaderTimeoutMs.store(kHeaderTimeoutMs);
  }
  DownloadLimits(const DownloadLimits &) = delete;
  DownloadLimits &operator=(const DownloadLimits &) = delete;
};

// One unit's whole download by the worker on the test's thread: a simulated
// unit, the list's record for it as a new row has it (its password, the
// unit's address, deletes on unless asked otherwise), the working directory
// and the error log fresh for each Start, so that a table's rows share
// nothing.
class DownloadWorkerTest : public ::testing::Test {
 protected:
  void Start(const SimConfig &cfg = SimConfig{}, int bDeleteLog = 1) {
    sim.reset();
    std::error_code ec;
    for (auto &e : std::filesystem::directory_iterator("."))
      std::filesystem::remove_all(e.path(), ec);
    StartLog();
    sim = std::make_unique<SimUnit>(cfg);
    ASSERT_NE(sim->p, nullptr);
    A = sim->Address();
    std::memset(&das, 0, sizeof das);
    CopyString(das.name, "[new]", sizeof das.name);
    CopyString(das.ipaddress, A.c_str(), sizeof das.ipaddress);
    CopyString(das.password, cfg.password.c_str(), sizeof das.password);
    das.deletelog = bDeleteLog;
  }
  // What the unit serves now at a path (a request of its own, forgotten).
  std::string Served(const std::string &path) {
    std::string body = FetchBody(sim->Port(), path, sim->cfg.password);
    SimClearRequests(sim->p);
    return body;
  }
  void Run() {
    RunWorker(&das);
    EXPECT_EQ(DownloadJobsAlive(), 0);
  }
  // The requests the unit was sent, in order, each byte for byte.
  void ExpectRequests(const std::vector<std::string> &paths) {
    EXPECT_EQ(SimRequestPaths(sim->p), paths);
    auto raw = SimRequests(sim->p);
    for (size_t i = 0; i < raw.size() && i < paths.size(); ++i)
      EXPECT_EQ(raw[i], ExpectedRequest(paths[i], das.password)) << "request " << i;
  }
  // The entries one request of the worker writes.
  std::vector<std::string> Fetch(const std::string &path) {
    return {"Connecting to " + A, "Sending URL request " + path};
  }
  static void Add(std::vector<std::string> &v, const std::vector<std::string> &more) {
    v.insert(v.end(), more.begin(), more.end());
  }
  // The entries of the working directory: what the download made.
  static std::vector<std::string> DirEntries() {
    std::vector<std::string> v;
    for (auto &e : std::filesystem::directory_iterator("."))
      v.push_back(e.path().filename().string());
    std::sort(v.begin(), v.end());
    return v;
  }

  TempDir dir;
  std::unique_ptr<SimUnit> sim;
  std::string A;  // the unit's address
  DasRecord das;
};
