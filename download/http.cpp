// The HTTP/1.0 client every exchange with a unit goes through: one GET per
// connection with Basic authentication, the header read up to its blank
// line, and the connection handed to the caller positioned at the body,
// with the body stream (body.cpp) set up for what the header announced.
// Also the in-place Base64 encoder that builds the credentials and the
// creation of a log download's temporary file; the connection itself is
// made in connect.cpp.
//
// Units answer plainly, but what stands between them and this program does
// not always: a proxy may add long header lines or an interim "100
// Continue", announce a length twice or not at all. The header is read
// whole and every field this client acts on is checked.
#include <cstdlib>
#include <cstring>
#include <new>

#include "download/body.h"
#include "download/download.h"
#include "download/http_int.h"
#include "log/appstate.h"
#include "log/errorlog.h"
#include "merge/tempname.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "platform/system.h"
#include "util/text.h"

namespace {
// A header is a few hundred bytes; one that goes on beyond these is a peer
// that would keep the unit (and the night) waiting without end.
const unsigned long long kHeaderMaxBytes = 64 * 1024;
}  // namespace

const unsigned kRecvTimeoutMs = 20000;
const unsigned kHeaderTimeoutMs = 60000;
std::atomic<unsigned> DownloadRecvTimeoutMs{kRecvTimeoutMs};
std::atomic<unsigned> DownloadHeaderTimeoutMs{kHeaderTimeoutMs};
const unsigned kConnectTimeoutMs = 20000;
const unsigned kSlowWindowMs = 60000;
std::atomic<unsigned> DownloadConnectTimeoutMs{kConnectTimeoutMs};
std::atomic<unsigned> DownloadSlowWindowMs{kSlowWindowMs};

char *EncodeBase64InPlace(char *pBuf, int nLen, int *pnOutLen) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (nLen < 0) nLen = 0;
  const unsigned char *pIn = (const unsigned char *)pBuf;
  int nRest = nLen % 3;
  int nGroups = nLen / 3;
  int nOut = (nRest == 0 ? 4 * nGroups : 4 * (nGroups + 1)) + 2;
  if (pnOutLen) *pnOutLen = nOut;
  // The output is longer than the input, so it is written from the end
  // backwards: every output byte lands at or beyond the input bytes still to
  // be read. The line end lies past the last input byte already.
  pBuf[nOut] = 0;
  pBuf[nOut - 1] = '\n';
  pBuf[nOut - 2] = '\r';
  int i = 3 * nGroups;
  int o = 4 * nGroups;
  if (nRest == 1) {
    unsigned a = pIn[i];
    pBuf[o] = kAlphabet[a >> 2];
    pBuf[o + 1] = kAlphabet[(a & 3) << 4];
    pBuf[o + 2] = '=';
    pBuf[o + 3] = '=';
  } else if (nRest == 2) {
    unsigned a = pIn[i], b = pIn[i + 1];
    pBuf[o] = kAlphabet[a >> 2];
    pBuf[o + 1] = kAlphabet[((a & 3) << 4) | (b >> 4)];
    pBuf[o + 2] = kAlphabet[(b & 15) << 2];
    pBuf[o + 3] = '=';
  }
  for (int g = nGroups - 1; g >= 0; --g) {
    unsigned a = pIn[3 * g], b = pIn[3 * g + 1], c = pIn[3 * g + 2];
    pBuf[4 * g] = kAlphabet[a >> 2];
    pBuf[4 * g + 1] = kAlphabet[((a & 3) << 4) | (b >> 4)];
    pBuf[4 * g + 2] = kAlphabet[((b & 15) << 2) | (c >> 6)];
    pBuf[4 * g + 3] = kAlphabet[c & 63];
  }
  return pBuf + nOut;
}

namespace {

// Lower-case copy of a header value's token list, blanks removed.
void HeaderValue(const char *pszLine, std::size_t nName, char *pszOut, std::size_t nCap) {
  std::size_t n = 0;
  for (const char *p = pszLine + nName; *p && n + 1 < nCap; p++) {
    char c = *p;
    if (c == ' ' || c == '\t' || c == '\r') continue;
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    pszOut[n++] = c;
  }
  pszOut[n] = 0;
}

int HeaderIs(const char *pszLine, const char *pszName) {
  std::size_t i = 0;
  for (; pszName[i]; i++) {
    char c = pszLine[i];
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c != pszName[i]) return 0;
  }
  return 1;
}

// The value of a "Content-Length:" header line (any case, blanks allowed,
// a CR at the end); -1 for any other line, -2 for a value that is no plain
// decimal number of a length a body can have ("+100", "0x64", 30 digits).
long long ContentLengthOf(const char *pszLine) {
  if (!HeaderIs(pszLine, "content-length:")) return -1;
  const char *p = pszLine + 15;
  while (*p == ' ' || *p == '\t') p++;
  if (*p < '0' || *p > '9') return -2;
  long long ll = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    if (ll > (1LL << 50)) return -2;  // no body is that long
    ll = ll * 10 + (*p - '0');
  }
  while (*p == ' ' || *p == '\t' || *p == '\r') p++;
  return *p ? -2 : ll;
}

// The first characters of a header line's value, for log entries.
void ValueForLog(const char *pszLine, std::size_t nName, char *pszOut, std::size_t nCap) {
  const char *p = pszLine + nName;
  while (*p == ' ' || *p == '\t') p++;
  std::size_t n = 0;
  for (; *p && *p != '\r' && n + 1 < nCap; p++) pszOut[n++] = (*p >= ' ' && *p < 0x7f) ? *p : '?';
  pszOut[n] = 0;
}

// Sends one request piece; 1 on success. A failure is reported here.
int SendPiece(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, const char *pszPiece) {
  if (PlatSend(pSlot->load(), pszPiece, std::strlen(pszPiece)) == SOCKET_ERROR) {
    int nErr = PlatSockLastError();
    if (!JobRunning(pJob)) return 0;  // closed by a cancel
    // "reutrned" is how this entry has always been spelled; whoever reads
    // the log for it finds it so.
    LogError("download", __LINE__, "Error: send to %s reutrned %d", pJob->pDas->ipaddress, nErr);
    return 0;
  }
  return 1;
}

// Sends the request for pszPath; 1 when it went out whole while the job ran.
int SendRequest(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, const char *pszPath) {
  SetJobStatus(pJob, "connected, sending request to %s", pJob->pDas->ipaddress);
  LogInfo("download", __LINE__, "Sending URL request %s", pszPath);

  // Three pieces, one send each: the request line (with the Host line of a
  // unit known by name), the credentials, the user agent with the blank
  // line that ends the header.
  char szRequest[320];
  char szHost[64];
  FormatHostLine(pJob->pDas, szHost, sizeof szHost);
  FormatString(szRequest, sizeof szRequest, "GET %s HTTP/1.0\r\n%s", pszPath, szHost);
  if (!SendPiece(pJob, pSlot, szRequest)) return 0;
  if (!JobRunning(pJob)) return 0;

  // "admin:" and a password of at most 31 characters; the buffer also has
  // room for the longer Base64 text and its CR LF.
  char szCredentials[256];
  FormatString(szCredentials, 64, "admin:%s", pJob->pDas->password);
  EncodeBase64InPlace(szCredentials, (int)std::strlen(szCredentials), nullptr);
  FormatString(szRequest, sizeof szRequest, "Authorization: Basic %s", szCredentials);
  if (!SendPiece(pJob, pSlot, szRequest)) return 0;
  if (!JobRunning(pJob)) return 0;

  FormatString(szRequest, sizeof szRequest,
               "User-Agent: Mozilla/4.0 (compatible; %s %s ; Win32)\r\n\r\n", APP_TITLE,
               APP_VERSION);
  if (!SendPiece(pJob, pSlot, szRequest)) return 0;
  return JobRunning(pJob);
}

// What the header lines of one answer have said so far, besides the status
// code and what goes into the job.
struct AnswerHeader {
  char szTransfer[128];
  char szContent[128];
  // A length that is no plain number, or two that differ, cannot tell a
  // whole body from a cut one: the body is then refused.
  char szBadLength[80];
  // The schemes of the 401 challenges: a unit that asks for one this
  // program does not speak is not told a wrong password.
  int bBasicAsked;
  char szOtherScheme[24];
  // Limits of the whole header: its time and its size.
  std::uint64_t tStart;
  unsigned nTimeoutMs;
  unsigned long long ullBytes;
};

// One header line, read whole whatever its length (a proxy's cookie or Via
// line can be long); only its first nCap - 1 bytes are kept, which is all
// any line this client looks at needs. 1 when a byte of it arrived (*pnLen
// bytes, *pbLineEnd when its LF came); 0 when none did. *pbTooLong when
// the header has gone on beyond its limits (the stream has failed then).
int ReadHeaderLine(BodyStream *pBs, AnswerHeader *pHdr, char *pszLine, std::size_t nCap,
                   std::size_t *pnLen, int *pbLineEnd, int *pbTooLong) {
  std::size_t nLen = 0, nKept = 0;
  int nGot = 0;
  *pbLineEnd = *pbTooLong = 0;
  for (;;) {
    char c;
    if (PlatTickMs() - pHdr->tStart >= pHdr->nTimeoutMs) {
      char szWhy[96];
      FormatString(szWhy, sizeof szWhy, "its header did not end within %u s",
                   pHdr->nTimeoutMs / 1000);
      FailStream(pBs, szWhy);
      *pbTooLong = 1;
      break;
    }
    if (++pHdr->ullBytes > kHeaderMaxBytes) {
      char szWhy[96];
      FormatString(szWhy, sizeof szWhy, "its header went on for more than %llu bytes",
                   kHeaderMaxBytes);
      FailStream(pBs, szWhy);
      *pbTooLong = 1;
      break;
    }
    long r = PacedRecv(pBs, &c, 1);
    if (r != 1) break;
    nGot = 1;
    nLen++;
    if (c == '\n') {
      *pbLineEnd = 1;
      break;
    }
    if (nKept + 1 < nCap) pszLine[nKept++] = c;
  }
  pszLine[nKept] = 0;
  *pnLen = nLen;
  return nGot;
}

// A status line's code into *pnHttpResult: every status line counts, the
// last one wins.
void TakeStatusLine(DownloadJob *pJob, char *pszLine, int *pnHttpResult) {
  // The split leaves the protocol field alone in the line.
  char *pCursor = pszLine;
  NextField(&pCursor, " ");
  char *pCode = NextField(&pCursor, " ");
  if (!pCode) return;
  // Leading digits, as many as a status code has; more digits make no code
  // at all rather than one that wrapped around.
  int nCode = 0, nDigits = 0;
  while (pCode[nDigits] >= '0' && pCode[nDigits] <= '9' && nDigits < 4)
    nCode = nCode * 10 + (pCode[nDigits++] - '0');
  if (nDigits > 3) {
    char szShown[24];
    ValueForLog(pCode, 0, szShown, sizeof szShown);
    LogInfo("download", __LINE__, "Status code of %s cannot be read: %s", pJob->pDas->ipaddress,
            szShown);
    nCode = 0;
  }
  *pnHttpResult = nCode;
}

// A "Content-Length:" line (any other line is left alone). The announced
// length is what tells a whole body from one cut by an ordinary close (a
// server reload, a proxy's timeout).
void TakeContentLength(DownloadJob *pJob, const char *pszLine, AnswerHeader *pHdr) {
  long long llLength = ContentLengthOf(pszLine);
  if ((llLength == -2 || (llLength >= 0 && pJob->llContentLength >= 0 &&
                          llLength != pJob->llContentLength)) &&
      !pHdr->szBadLength[0]) {
    char szShown[40];
    ValueForLog(pszLine, 15, szShown, sizeof szShown);
    if (llLength == -2)
      FormatString(pHdr->szBadLength, sizeof pHdr->szBadLength, "Content-Length: %s", szShown);
    else
      FormatString(pHdr->szBadLength, sizeof pHdr->szBadLength, "Content-Length: %lld and %s",
                   pJob->llContentLength, szShown);
  }
  if (llLength >= 0) pJob->llContentLength = llLength;
}

// The value of a header field that may come more than once, added to what
// earlier lines of the field gave, comma-separated.
void AddFieldValue(const char *pszLine, std::size_t nName, char *pszList, std::size_t nCap) {
  char szValue[128];
  HeaderValue(pszLine, nName, szValue, sizeof szValue);
  if (pszList[0]) AppendString(pszList, ",", nCap);
  AppendString(pszList, szValue, nCap);
}

// The fields this client acts on besides the status line.
void TakeHeaderField(DownloadJob *pJob, const char *pszLine, AnswerHeader *pHdr) {
  TakeContentLength(pJob, pszLine, pHdr);
  char szValue[128];
  if (HeaderIs(pszLine, "www-authenticate:")) {
    HeaderValue(pszLine, 17, szValue, sizeof szValue);
    if (std::strncmp(szValue, "basic", 5) == 0) {
      pHdr->bBasicAsked = 1;
    } else if (!pHdr->szOtherScheme[0]) {
      // The scheme as the unit wrote it, up to its first blank.
      const char *p = pszLine + 17;
      while (*p == ' ' || *p == '\t') p++;
      std::size_t n = 0;
      while (p[n] && p[n] != ' ' && p[n] != '\t' && p[n] != '\r' &&
             n + 1 < sizeof pHdr->szOtherScheme)
        n++;
      FormatString(pHdr->szOtherScheme, sizeof pHdr->szOtherScheme, "%.*s", (int)n, p);
    }
  } else if (HeaderIs(pszLine, "transfer-encoding:")) {
    AddFieldValue(pszLine, 18, pHdr->szTransfer, sizeof pHdr->szTransfer);
  } else if (HeaderIs(pszLine, "content-encoding:")) {
    AddFieldValue(pszLine, 17, pHdr->szContent, sizeof pHdr->szContent);
  } else if (HeaderIs(pszLine, "content-type:")) {
    HeaderValue(pszLine, 13, szValue, sizeof szValue);
    pJob->bHtmlAnswer = std::strncmp(szValue, "text/html", 9) == 0;
  }
}

// Forgets what an interim answer (1xx) said: the answer proper follows it
// with a header of its own.
void ForgetInterimAnswer(DownloadJob *pJob, AnswerHeader *pHdr, int *pnHttpResult) {
  *pnHttpResult = 0;
  pJob->llContentLength = -1;
  pJob->bHtmlAnswer = 0;
  pHdr->szTransfer[0] = pHdr->szContent[0] = 0;
  pHdr->szBadLength[0] = 0;
  pHdr->bBasicAsked = 0;
  pHdr->szOtherScheme[0] = 0;
}

// The error entry for an answer 401, if this is one.
void Report401(const DownloadJob *pJob, const AnswerHeader &hdr, int nHttpResult) {
  if (nHttpResult != 401) return;
  if (!hdr.bBasicAsked && hdr.szOtherScheme[0])
    LogError("download", __LINE__,
             "DAS responded with 401 Access Denied.\n(%s asks for %s authentication, which this "
             "program does not speak)",
             pJob->pDas->ipaddress, hdr.szOtherScheme);
  else
    LogError("download", __LINE__,
             "DAS responded with 401 Access Denied.\n(admin password incorrect)");
}

// The header has ended: the body stream is set up for what it announced.
void StartBody(DownloadJob *pJob, BodyStream *pBs, const AnswerHeader &hdr, int nHttpResult) {
  pJob->nHttpStage = HTTP_ANSWERED;
  Report401(pJob, hdr, nHttpResult);
  SetUpBody(pJob, pBs, hdr.szTransfer, hdr.szContent);
  if (hdr.szBadLength[0]) {
    char szWhy[96];
    FormatString(szWhy, sizeof szWhy, "announced a length that cannot be trusted (%s)",
                 hdr.szBadLength);
    FailStream(pBs, szWhy);
    pJob->llContentLength = -1;
  }
}

// Reads the answer's header up to the empty line that ends it; 1 with the
// body stream set up, 0 when the header did not end (reported).
int ReadAnswerHeader(DownloadJob *pJob, BodyStream *pBs, int *pnHttpResult) {
  DasRecord *pDas = pJob->pDas;
  // The header ends at an empty line and nowhere else. Interim answers
  // (1xx) have a header of their own; the answer proper follows them.
  char szLine[256];
  AnswerHeader hdr{};
  pJob->bHtmlAnswer = 0;
  hdr.tStart = PlatTickMs();
  hdr.nTimeoutMs = DownloadHeaderTimeoutMs.load();
  for (;;) {
    std::size_t nLen = 0;
    int bLineEnd = 0, bTooLong = 0;
    int nGot = ReadHeaderLine(pBs, &hdr, szLine, sizeof szLine, &nLen, &bLineEnd, &bTooLong);
    if (nGot) {
      pJob->ulBytes += (std::uint32_t)nLen;
      RefreshJob(pJob);
      if (std::strncmp(szLine, "HTTP/1.", 7) == 0) TakeStatusLine(pJob, szLine, pnHttpResult);
      TakeHeaderField(pJob, szLine, &hdr);
      // Only a line that ended in its LF can be the empty one: a header cut
      // one byte into its next line is a cut header, not an answer with an
      // empty body (which a delete request could follow).
      int bEmpty = bLineEnd && (nLen == 1 || (nLen == 2 && szLine[0] == '\r'));
      if (bEmpty && *pnHttpResult >= 100 && *pnHttpResult < 200) {
        ForgetInterimAnswer(pJob, &hdr, pnHttpResult);
        continue;
      }
      if (bEmpty) {
        StartBody(pJob, pBs, hdr, *pnHttpResult);
        return 1;
      }
    }
    if (!JobRunning(pJob)) return 0;
    if (bTooLong) {
      // Not a unit that is merely slow or gone: one that keeps talking
      // without ever ending its header.
      Report401(pJob, hdr, *pnHttpResult);
      LogError("download", __LINE__, "Answer of %s given up: %s", pDas->ipaddress, pBs->szProblem);
      return 0;
    }
    if (!nGot) {
      Report401(pJob, hdr, *pnHttpResult);
      // "seperator" is how this entry has always been spelled; whoever
      // reads the log for it finds it so.
      LogInfo("download", __LINE__,
              "URL request failed, no seperator between http header and body found.");
      if (pBs->bFailed)
        LogInfo("download", __LINE__, "Answer of %s given up: %s", pDas->ipaddress, pBs->szProblem);
      return 0;
    }
  }
}

}  // namespace

int HttpGet(const char *pszPath, DownloadJob *pJob, std::atomic<SOCKET> *pSlot,
            int *pnHttpResult) {
  if (!pnHttpResult) {
    LogError("download", __LINE__, "nHttpResult is NULL");
    return 0;
  }
  *pnHttpResult = 0;
  pJob->llContentLength = -1;
  pJob->nHttpStage = HTTP_NONE;
  pJob->nConnectFailure = CONNECT_OK;
  BodyStream *pBs = nullptr;
  if (!ConnectToUnit(pJob, pSlot, &pBs)) return 0;
  pJob->nHttpStage = HTTP_CONNECTED;
  if (!SendRequest(pJob, pSlot, pszPath)) return 0;
  pJob->nHttpStage = HTTP_SENT;
  pBs->tWindow = PlatTickMs();  // the unit's time to answer starts now
  return ReadAnswerHeader(pJob, pBs, pnHttpResult);
}

int CreateTempLogFile(const char *pszDir, int nDevice, char *pszPath, int nCap, int *phFile) {
  FormatString(pszPath, (unsigned)nCap, "%s\\temp", pszDir);
  // Usually exists already. If it could not be made, that is the reason
  // the file cannot be created below, not the missing folder.
  int nMkdirErr = PlatMkdir(pszPath) == 0 ? 0 : PlatErrno();
  if (nMkdirErr == PLAT_EEXIST || nMkdirErr == PLAT_ENOENT) nMkdirErr = 0;  // the file says as much
  // The first free number: names of earlier downloads that were never
  // merged stay untouched. The bound only matters when a cut name repeats;
  // the exclusive create below then fails and says so.
  for (int k = 0; k < 10000; ++k) {
    char szName[64];
    FormatTempName(szName, sizeof szName, nDevice, k);
    FormatString(pszPath, (unsigned)nCap, "%s\\temp\\%s", pszDir, szName);
    int h = PlatOpen(pszPath, P_O_RDONLY | P_O_BINARY);
    if (h < 0) break;
    PlatClose(h);
  }
  *phFile = PlatOpen(pszPath, P_O_WRONLY | P_O_CREAT | P_O_EXCL | P_O_BINARY,
                     P_S_IREAD | P_S_IWRITE);
  if (*phFile < 0) {
    int nErr = PlatErrno();
    if (nErr == PLAT_ENOENT && nMkdirErr) {
      char szTempDir[512];
      FormatString(szTempDir, sizeof szTempDir, "%s\\temp", pszDir);
      LogFileError("download", __LINE__, "creating directory", szTempDir, nMkdirErr);
      return 0;
    }
    LogFileError("download", __LINE__, "creating file", pszPath, nErr);
    return 0;
  }
  LogInfo("download", __LINE__, "Created temp file %s", pszPath);
  return 1;
}
