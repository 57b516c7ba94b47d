// The state record beside a local log: written after every merge, trusted
// only while the log is exactly the file it describes, and protected by a
// check sum against a record cut or edited.
#include "merge/logstate.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "log/errorlog.h"
#include "platform/file.h"
#include "platform/system.h"
#include "util/text.h"

namespace {

std::uint64_t Fnv1a(const char *p, std::size_t n) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::size_t i = 0; i < n; i++) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h;
}

constexpr char kStateFormat[] =
    "merged log 1 size %lld mtime %lld ctime %lld dev %llu ino %llu records %ld last %lu "
    "header %lld";

// How long a state record waits for the file system's clock to move on
// past the log's last change (it moves in ticks of a few ms). A file system
// whose clock runs ahead of ours gets no record after that: full merges.
constexpr int kStateTickWaitMs = 200;

}  // namespace

// File times move in ticks of the kernel's clock, so a change made to the
// log later within the same tick would leave its times as recorded. The
// record is therefore trusted only when it was written in a later tick
// than the log's last change: any change after it shows as a change time
// no earlier than the record's own modification time.
void WriteLogState(const char *pszState, const char *pszLog, long lRecords, unsigned long ulLast,
                   long long llHeaderLen) {
  PlatFileInfo info{};
  char szText[400];
  int n = -1;
  if (PlatStat(pszLog, &info) == 0 && info.bFile)
    n = FormatString(szText, sizeof szText - 40, kStateFormat, info.llSize, info.llMtimeNs,
                     info.llCtimeNs, info.ullDev, info.ullId, lRecords, ulLast, llHeaderLen);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof szText - 40) {
    (void)PlatUnlink(pszState);
    return;
  }
  std::size_t nLen = static_cast<std::size_t>(n);
  FormatString(szText + nLen, static_cast<unsigned>(sizeof szText - nLen), " check %016llx\n",
               static_cast<unsigned long long>(Fnv1a(szText, nLen)));
  nLen = std::strlen(szText);
  for (int nWaited = 0;; nWaited++) {
    int h = PlatOpen(pszState, P_O_WRONLY | P_O_CREAT | P_O_TRUNC | P_O_BINARY,
                     P_S_IREAD | P_S_IWRITE);
    bool bOk = h >= 0 && PlatWrite(h, szText, nLen) == static_cast<long>(nLen);
    int nErr = PlatErrno();
    if (h >= 0 && PlatClose(h) != 0 && bOk) {
      bOk = false;
      nErr = PlatErrno();
    }
    PlatFileInfo state{};
    if (bOk && PlatStat(pszState, &state) != 0) {
      bOk = false;
      nErr = PlatErrno();
    }
    if (!bOk) {
      (void)PlatUnlink(pszState);
      LogInfo("merge", __LINE__, "Merge could not record the state of %s, got %d %s", pszLog,
              nErr, PlatStrError(nErr));
      return;
    }
    if (state.llMtimeNs > info.llCtimeNs) return;
    if (nWaited >= kStateTickWaitMs) {
      (void)PlatUnlink(pszState);
      return;
    }
    PlatSleep(1);
  }
}

int ReadLogState(const char *pszState, const char *pszLog, LogState *pState) {
  int h = PlatOpen(pszState, P_O_RDONLY | P_O_BINARY);
  if (h < 0) return 0;
  char szText[400];
  long nHave = 0, nRead;
  while (nHave < static_cast<long>(sizeof szText) - 1 &&
         (nRead = PlatRead(h, szText + nHave, sizeof szText - 1 - static_cast<std::size_t>(nHave))) > 0)
    nHave += nRead;
  PlatClose(h);
  szText[nHave > 0 ? nHave : 0] = 0;
  const char *pCheck = std::strstr(szText, " check ");
  if (!pCheck) return 0;
  unsigned long long ullCheck = 0;
  int nEnd = 0;
  if (std::sscanf(pCheck, " check %16llx\n%n", &ullCheck, &nEnd) != 1 || nEnd == 0 ||
      pCheck[nEnd] != 0 || pCheck[nEnd - 1] != '\n' ||
      ullCheck != Fnv1a(szText, static_cast<std::size_t>(pCheck - szText)))
    return 0;
  LogState st;
  if (std::sscanf(szText, kStateFormat, &st.llSize, &st.llMtimeNs, &st.llCtimeNs, &st.ullDev,
                  &st.ullId, &st.lRecords, &st.ulLast, &st.llHeaderLen) != 8)
    return 0;
  PlatFileInfo info{}, state{};
  if (PlatStat(pszState, &state) != 0 || PlatStat(pszLog, &info) != 0 ||
      state.llMtimeNs <= info.llCtimeNs || !info.bFile || info.llSize != st.llSize ||
      info.llMtimeNs != st.llMtimeNs || info.llCtimeNs != st.llCtimeNs ||
      info.ullDev != st.ullDev || info.ullId != st.ullId || st.lRecords < 0 ||
      st.llHeaderLen < 0 || st.llHeaderLen > st.llSize || st.ulLast > 0xFFFFFFFFul)
    return 0;
  *pState = st;
  return 1;
}

int ReadLogHeader(const char *pszLog, long long llHeaderLen, std::string *pHeader) {
  pHeader->clear();
  if (llHeaderLen == 0) return 1;
  if (llHeaderLen > (1 << 24)) return 0;
  int h = PlatOpen(pszLog, P_O_RDONLY | P_O_BINARY);
  if (h < 0) return 0;
  std::string text(static_cast<std::size_t>(llHeaderLen), '\0');
  std::size_t nHave = 0;
  long nRead;
  while (nHave < text.size() && (nRead = PlatRead(h, &text[nHave], text.size() - nHave)) > 0)
    nHave += static_cast<std::size_t>(nRead);
  PlatClose(h);
  if (nHave != text.size() || text.back() != '\n' || text.compare(0, 4, "time") != 0 ||
      text.find('\n') != text.size() - 1 || text.find('\0') != std::string::npos)
    return 0;
  text.pop_back();
  pHeader->swap(text);
  return 1;
}
