// The HTTP/1.0 client every exchange with a unit goes through: one GET per
// connection with Basic authentication, the header read up to its blank
// line, and the connection handed to the caller positioned at the body.
// Also the socket line reader, the in-place Base64 encoder that builds the
// credentials and the creation of a log download's temporary file.
#include <cstdlib>
#include <cstring>

#include "download/download.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "shell/app.h"
#include "shell/errorlog.h"
#include "util/text.h"

namespace {
const unsigned kRecvTimeoutMs = 20000;
const unsigned short kDefaultPort = 80;
}  // namespace

int ParseUnitAddress(const char *pszText, std::uint32_t *pnAddr, unsigned short *pnPort) {
  *pnAddr = 0xffffffffu;
  *pnPort = kDefaultPort;
  char szHost[32];
  CopyString(szHost, pszText ? pszText : "", sizeof szHost);
  // A unit behind a port-forwarding router is reached as "a.b.c.d:port".
  char *pColon = std::strchr(szHost, ':');
  if (pColon) {
    *pColon = 0;
    const char *p = pColon + 1;
    long nPort = 0;
    if (!*p) return 0;
    for (; *p; ++p) {
      if (*p < '0' || *p > '9') return 0;
      nPort = nPort * 10 + (*p - '0');
      if (nPort > 65535) return 0;
    }
    if (nPort == 0) return 0;
    *pnPort = (unsigned short)nPort;
  }
  *pnAddr = PlatInetAddr(szHost);
  return *pnAddr != 0xffffffffu;
}

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

int RecvLineEnd(std::atomic<SOCKET> *pSlot, char *pszBuf, int nCap, int *pnEnd) {
  if (pnEnd) *pnEnd = 0;
  if (nCap <= 0) return 0;
  // One byte per receive: nothing beyond the line's LF is taken from the
  // connection, so whoever reads the body next starts at its first byte.
  int n = 0;
  while (n < nCap - 1) {
    char c;
    long r = PlatRecv(pSlot->load(), &c, 1);
    if (r != 1) {
      if (pnEnd) *pnEnd = r == 0 ? 1 : -1;
      pszBuf[n] = 0;
      return n > 0 ? 1 : 0;
    }
    if (c == '\n') {
      pszBuf[n] = 0;
      return 1;
    }
    pszBuf[n++] = c;
  }
  if (pnEnd) *pnEnd = 2;  // the buffer is full; the line goes on
  pszBuf[n] = 0;
  return 1;
}

int RecvLine(std::atomic<SOCKET> *pSlot, char *pszBuf, int nCap) {
  return RecvLineEnd(pSlot, pszBuf, nCap, nullptr);
}

namespace {

// The value of a "Content-Length:" header line (any case, blanks allowed,
// a CR at the end); -1 for any other line or a value that is no plain
// decimal number.
long long ContentLengthOf(const char *pszLine) {
  static const char kName[] = "content-length:";
  for (int i = 0; kName[i]; i++) {
    char c = pszLine[i];
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c != kName[i]) return -1;
  }
  const char *p = pszLine + sizeof kName - 1;
  while (*p == ' ' || *p == '\t') p++;
  if (*p < '0' || *p > '9') return -1;
  long long ll = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    if (ll > (1LL << 50)) return -1;  // no body is that long
    ll = ll * 10 + (*p - '0');
  }
  while (*p == ' ' || *p == '\t' || *p == '\r') p++;
  return *p ? -1 : ll;
}

// Sends one request piece; 1 on success. A failure is reported here.
int SendPiece(DownloadJob *pJob, std::atomic<SOCKET> *pSlot, const char *pszPiece) {
  if (PlatSend(pSlot->load(), pszPiece, std::strlen(pszPiece)) == SOCKET_ERROR) {
    int nErr = PlatSockLastError();
    LogError("download", __LINE__, "Error: send to %s reutrned %d", pJob->pDas->ipaddress, nErr);
    return 0;
  }
  return 1;
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
  DasRecord *pDas = pJob->pDas;

  LogInfo("download", __LINE__, "Connecting to %s", pDas->ipaddress);
  SetJobStatus(pJob, "connecting to %s", pDas->ipaddress);

  std::uint32_t nAddr;
  unsigned short nPort;
  ParseUnitAddress(pDas->ipaddress, &nAddr, &nPort);  // a bad address fails the connect

  SOCKET s = PlatSocket();
  pSlot->store(s);
  if (s == INVALID_SOCKET) {
    LogError("download", __LINE__, "create socket failed.");
    return 0;
  }
  // A cancel that came before the socket reached its slot could not close
  // it; the dialog's close marks the job first, so looking now is enough.
  if (pJob->cState.load() != JOB_RUNNING) return 0;
  if (PlatSetRecvTimeout(pSlot->load(), kRecvTimeoutMs) != 0) {
    LogError("download", __LINE__, "set socket timeout failed.");
    return 0;
  }
  if (PlatConnect(pSlot->load(), nAddr, nPort) != 0) {
    LogError("download", __LINE__, "connect socket failed to %s", pDas->ipaddress);
    return 0;
  }
  if (pJob->cState.load() != JOB_RUNNING) return 0;
  pJob->nHttpStage = HTTP_CONNECTED;

  SetJobStatus(pJob, "connected, sending request to %s", pDas->ipaddress);
  LogInfo("download", __LINE__, "Sending URL request %s", pszPath);

  // Three pieces, one send each: the request line, the credentials, the
  // user agent with the blank line that ends the header.
  char szRequest[256];
  FormatString(szRequest, sizeof szRequest, "GET %s HTTP/1.0\r\n", pszPath);
  if (!SendPiece(pJob, pSlot, szRequest)) return 0;
  if (pJob->cState.load() != JOB_RUNNING) return 0;

  // "admin:" and a password of at most 31 characters; the buffer also has
  // room for the longer Base64 text and its CR LF.
  char szCredentials[256];
  FormatString(szCredentials, 64, "admin:%s", pDas->password);
  int nEncoded = 0;
  EncodeBase64InPlace(szCredentials, (int)std::strlen(szCredentials), &nEncoded);
  FormatString(szRequest, sizeof szRequest, "Authorization: Basic %s", szCredentials);
  if (!SendPiece(pJob, pSlot, szRequest)) return 0;
  if (pJob->cState.load() != JOB_RUNNING) return 0;

  FormatString(szRequest, sizeof szRequest,
               "User-Agent: Mozilla/4.0 (compatible; %s %s ; Win32)\r\n\r\n", APP_TITLE,
               APP_VERSION);
  if (!SendPiece(pJob, pSlot, szRequest)) return 0;
  if (pJob->cState.load() != JOB_RUNNING) return 0;
  pJob->nHttpStage = HTTP_SENT;

  char szLine[256];
  for (;;) {
    int nGot = RecvLine(pSlot, szLine, sizeof szLine);
    if (nGot) {
      pJob->ulBytes += (std::uint32_t)std::strlen(szLine) + 1;  // +1: the LF dropped
      RefreshJob(pJob);
      if (std::strncmp(szLine, "HTTP/1.", 7) == 0) {
        // Every status line counts, the last one wins. The split leaves
        // the protocol field alone in the line.
        char *pCursor = szLine;
        NextField(&pCursor, " ");
        char *pCode = NextField(&pCursor, " ");
        if (pCode) {
          *pnHttpResult = std::atoi(pCode);
          if (*pnHttpResult == 401)
            LogError("download", __LINE__,
                     "DAS responded with 401 Access Denied.\n(admin password incorrect)");
        }
      }
      // The announced length is what tells a whole body from one cut by
      // an ordinary close (a server reload, a proxy's timeout).
      long long llLength = ContentLengthOf(szLine);
      if (llLength >= 0) pJob->llContentLength = llLength;
      if (szLine[0] == 0 || std::strcmp(szLine, "\r") == 0) {
        pJob->nHttpStage = HTTP_ANSWERED;
        return 1;
      }
    }
    if (pJob->cState.load() != JOB_RUNNING) return 0;
    if (!nGot) {
      LogInfo("download", __LINE__,
              "URL request failed, no seperator between http header and body found.");
      return 0;
    }
  }
}

int CreateTempLogFile(const char *pszDir, int nDevice, char *pszPath, int nCap, int *phFile) {
  FormatString(pszPath, (unsigned)nCap, "%s\\temp", pszDir);
  PlatMkdir(pszPath);  // usually exists already
  // The first free number: names of earlier downloads that were never
  // merged stay untouched. The bound only matters when a cut name repeats;
  // the exclusive create below then fails and says so.
  for (int k = 0; k < 10000; ++k) {
    FormatString(pszPath, (unsigned)nCap, "%s\\temp\\mb-%03d.%d.tmp", pszDir, nDevice, k);
    int h = PlatOpen(pszPath, P_O_RDONLY | P_O_BINARY);
    if (h < 0) break;
    PlatClose(h);
  }
  *phFile = PlatOpen(pszPath, P_O_WRONLY | P_O_CREAT | P_O_EXCL | P_O_BINARY,
                     P_S_IREAD | P_S_IWRITE);
  if (*phFile < 0) {
    int nErr = PlatErrno();
    LogError("download", __LINE__, "Error creating file %s, got %d %s", pszPath, nErr,
             PlatStrError(nErr));
    return 0;
  }
  LogInfo("download", __LINE__, "Created temp file %s", pszPath);
  return 1;
}
