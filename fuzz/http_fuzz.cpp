// The HTTP client's answer reader: HttpGet over a real socket pair whose far
// end sends the input. The status code it reports is that of the last
// status line, it succeeds exactly when the header ends with an empty line,
// it counts every header byte, and the body of a plain answer (no length,
// framing or coding announced) is every byte after the header.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "download/download.h"
#include "fuzz/fuzz_common.h"
#include "platform/sock.h"
#include "platform/testhooks.h"
#include "util/text.h"

namespace {

struct Expected {
  int nOk = 0;
  int nHttpResult = 0;
  std::uint32_t ulBytes = 0;
  std::string body;
};

// What the header should come to. A line runs to its line feed whatever its
// length and counts all its bytes; its first 255 bytes, as a C string, are
// what is looked at. A line beginning "HTTP/1." sets the status to the
// number that leads its second blank-separated field (0 beyond 3 digits). The header ends at an empty
// line (a lone LF or CR LF) and only there; after an interim answer (1xx)
// the answer proper follows with a header of its own.
Expected ReadHeader(const std::string &answer, bool *pbPlain) {
  Expected e;
  *pbPlain = true;
  std::size_t nPos = 0;
  for (;;) {
    if (nPos == answer.size()) return e;  // the far end closed before the end
    std::size_t nLf = answer.find('\n', nPos);
    bool bLf = nLf != std::string::npos;
    std::string line = answer.substr(nPos, bLf ? nLf - nPos : std::string::npos);
    nPos = bLf ? nLf + 1 : answer.size();
    e.ulBytes += (std::uint32_t)(line.size() + (bLf ? 1 : 0));
    std::string text = CText(line.substr(0, 255));
    if (text.compare(0, 7, "HTTP/1.") == 0) {
      std::size_t nBlank = text.find(' ');
      if (nBlank != std::string::npos) {
        std::string code = text.substr(nBlank + 1);
        code = code.substr(0, code.find(' '));
        // Its leading digits; more than a status code has make none.
        std::size_t nDigits = 0;
        while (nDigits < code.size() && code[nDigits] >= '0' && code[nDigits] <= '9') nDigits++;
        // A sign or a blank before them is no digit: "-011" makes no code.
        e.nHttpResult = nDigits == 0 || nDigits > 3 ? 0 : std::atoi(code.substr(0, nDigits).c_str());
      }
    }
    // Framing and codings are the body stream's business: such answers are
    // only read, not compared.
    std::string lower;
    for (char c : text) lower += (char)(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const char *psz : {"content-length", "transfer-encoding", "content-encoding"})
      if (lower.find(psz) != std::string::npos) *pbPlain = false;
    if (bLf && (line.empty() || line == "\r")) {
      if (e.nHttpResult >= 100 && e.nHttpResult < 200) {
        e.nHttpResult = 0;
        *pbPlain = true;
        continue;
      }
      e.nOk = 1;
      e.body = answer.substr(nPos);
      return e;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *pData, std::size_t nSize) {
  if (nSize > 65536) return 0;
  std::string answer(reinterpret_cast<const char *>(pData), nSize);
  int nPeer = -1;
  FUZZ_CHECK(PlatQueueSocket(ServedConnection(answer, &nPeer)) == 0);

  DasRecord das{};
  CopyString(das.ipaddress, "127.0.0.1", sizeof das.ipaddress);
  CopyString(das.password, "qexal", sizeof das.password);
  DownloadJob *pJob = AllocDownloadJob(&das, nullptr);
  FUZZ_CHECK(pJob);
  pJob->cState.store(JOB_RUNNING);
  int nHttpResult = -1;
  int nOk = HttpGet("/mb-001.log", pJob, &pJob->sockFile, &nHttpResult);

  bool bPlain = true;
  Expected e = ReadHeader(answer, &bPlain);
  FUZZ_CHECK(nOk == e.nOk);
  FUZZ_CHECK(nHttpResult == e.nHttpResult);
  FUZZ_CHECK(pJob->ulBytes == e.ulBytes);
  if (nOk) {
    // The body as the caller reads it: for a plain answer, every byte after
    // the header's end, and then the end.
    std::string body;
    char buf[4096];
    long n;
    while ((n = HttpRecvBody(&pJob->sockFile, buf, sizeof buf)) > 0) body.append(buf, (std::size_t)n);
    if (bPlain) {
      FUZZ_CHECK(n == 0);
      FUZZ_CHECK(body == e.body);
    }
  }
  // The request went out whole, the credentials with it.
  std::string sent = SentTo(nPeer);
  FUZZ_CHECK(sent.compare(0, 32, "GET /mb-001.log HTTP/1.0\r\nAuthor") == 0);
  FUZZ_CHECK(sent.find("Authorization: Basic YWRtaW46cWV4YWw=\r\n") != std::string::npos);
  FUZZ_CHECK(sent.size() >= 4 && sent.compare(sent.size() - 4, 4, "\r\n\r\n") == 0);

  CloseJobSocket(pJob->sockFile);
  FreeDownloadJob(pJob);
  ::close(nPeer);
  return 0;
}
