// The device list of a multi-device unit: DownloadMultiDeviceDas reads the
// list (the input) from a real socket pair and asks for the log and the
// configuration of devices the list names, each device once, then for the
// unit's configuration; every log asked for is merged into its local log.
// Each request gets its own socket pair with a small answer.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "download/download.h"
#include "fuzz/fuzz_common.h"
#include "tests/support/testutil.h"
#include "merge/logset.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "platform/testhooks.h"
#include "util/text.h"

namespace {

const char kSerial[] = "DAS000000001";
const std::size_t kMaxDevices = 20;

// The device numbers 1 to 255 whose text starts a line of the list (after
// blanks and zeros): the numbers the unit may be asked about.
std::vector<bool> Named(const std::string &body) {
  std::vector<bool> named(256);
  for (const std::string &raw : SplitLines(body, body.size() + 2)) {
    std::string first = CText(raw);
    first = first.substr(0, first.find(','));
    int n = std::atoi(first.c_str());
    if (n >= 1 && n <= 255) named[(std::size_t)n] = true;
  }
  return named;
}

std::string RequestLine(const std::string &sent) { return sent.substr(0, sent.find("\r\n")); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  EnterSandbox("devlist");
  MergeFlushToDisk.store(0);  // the sandbox is in memory
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *pData, std::size_t nSize) {
  if (nSize > 65536) return 0;
  std::string body(reinterpret_cast<const char *>(pData), nSize);

  std::vector<bool> named = Named(body);
  std::size_t nNamed = 0;
  for (bool b : named) nNamed += b;
  if (nNamed > kMaxDevices) return 0;  // a long run, little news

  // Answers for as many requests as there can be: log and configuration of
  // each device, in turn, then the unit's configuration.
  std::vector<int> peers;
  for (std::size_t i = 0; i < 2 * nNamed + 1; i++) {
    bool bLog = i % 2 == 0 && i < 2 * nNamed;
    std::string answer = std::string("HTTP/1.0 200 OK\r\n\r\n") +
                         (bLog ? "2005-12-08 22:36:45,1.0\n" : "[config]\n");
    int nPeer = -1;
    FUZZ_CHECK(PlatQueueSocket(ServedConnection(answer, &nPeer)) == 0);
    peers.push_back(nPeer);
  }

  PlatMkdir(kSerial);
  DasRecord das{};
  CopyString(das.serialnumber, kSerial, sizeof das.serialnumber);
  CopyString(das.ipaddress, "127.0.0.1", sizeof das.ipaddress);
  DownloadJob *pJob = AllocDownloadJob(&das, nullptr);
  FUZZ_CHECK(pJob);
  pJob->cState.store(JOB_RUNNING);
  int nListPeer = -1;
  pJob->sockQuery.store(ServedConnection(body, &nListPeer));
  DownloadMultiDeviceDas(pJob);
  CloseJobSocket(pJob->sockQuery);
  PlatClearSocketQueue();

  // The requests, in order: each device's log and configuration, every
  // device once and one the list names, then the unit's configuration.
  std::vector<std::string> sent;
  for (int nPeer : peers) {
    std::string line = RequestLine(SentTo(nPeer));
    if (line.empty()) break;
    sent.push_back(line);
  }
  std::vector<bool> asked(256);
  std::size_t i = 0;
  for (; i + 1 < sent.size(); i += 2) {
    int d = 0;
    FUZZ_CHECK(std::sscanf(sent[i].c_str(), "GET /setup/logexport.cgi?MB=%d HTTP/1.0", &d) == 1);
    FUZZ_CHECK(d >= 1 && d <= 255 && named[(std::size_t)d] && !asked[(std::size_t)d]);
    asked[(std::size_t)d] = true;
    char sz[64];
    FormatString(sz, sizeof sz, "GET /setup/logexport.cgi?CFG=mb-%03d.ini HTTP/1.0", d);
    FUZZ_CHECK(sent[i + 1] == sz);
    FormatString(sz, sizeof sz, "%s/mb-%03d.log", kSerial, d);
    FUZZ_CHECK(ReadFileBytes(sz) == "2005-12-08 22:36:45,1.0\n");
  }
  if (i < sent.size()) FUZZ_CHECK(sent[i] == "GET /setup/logexport.cgi?CFG=loggerconfig.ini HTTP/1.0");
  // A list that names no device asks for nothing more.
  if (nNamed == 0) FUZZ_CHECK(sent.empty());

  FreeDownloadJob(pJob);
  for (int nPeer : peers) ::close(nPeer);
  ::close(nListPeer);
  ClearCurrentDir();
  return 0;
}
