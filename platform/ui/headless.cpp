// The headless backend of the window layer: nothing is drawn. Message boxes
// are written to standard error and answered with OK at once, so that an
// unattended run never waits for a click. A progress dialog (the template
// with the static texts IDC_DLSERIAL, IDC_DLFILE and IDC_DLBYTES) shows as
// one line on a terminal, rewritten in place as the download goes on.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/ui/backend.h"
#include "platform/system.h"
#include "platform/window.h"
#include "resources/ids.h"
#include "resources/resources.h"

std::atomic<void (*)(const char *)> g_pfnHeadlessSink{nullptr};

namespace {

using Clock = std::chrono::steady_clock;

// Rewriting a terminal line costs little, but a download refreshes its
// dialog for every block received; ten lines a second are plenty to read.
constexpr auto LiveInterval = std::chrono::milliseconds(100);
constexpr int LiveWidth = 79;
constexpr int LiveFirstId = IDC_DLSERIAL;  // then IDC_DLFILE, IDC_DLBYTES
constexpr int LiveCount = 3;

struct Headless {
  std::mutex mx;
  std::condition_variable cv;
  bool bWoken = false;
  // The live line: the dialog it belongs to, its texts, and whether the
  // newest state still waits for the throttle.
  HWND hLive = nullptr;
  std::string texts[LiveCount];
  bool bDirty = false;
  bool bShowing = false;
  Clock::time_point tLast{};
};

// Never destroyed (a worker may report after main has returned).
Headless &S() {
  static Headless *p = new Headless;
  return *p;
}

void DefaultSink(const char *pszBytes) {
  static const bool bTerminal = PlatStderrIsTerminal() != 0;
  if (bTerminal) PlatStderr(pszBytes);
}

void (*Sink())(const char *) {
  void (*pfn)(const char *) = g_pfnHeadlessSink.load();
  return pfn ? pfn : DefaultSink;
}

int LineWidth() {
  if (!g_pfnHeadlessSink.load()) {
    int nColumns = PlatStderrColumns();
    if (nColumns > 20) return nColumns - 1;
  }
  return LiveWidth;
}

std::string OneLine(std::string text) {
  for (char &ch : text)
    if (ch == '\r' || ch == '\n' || ch == '\t') ch = ' ';
  return text;
}

// Lock held. The unit and the byte count are what one watches; the status
// text between them gives way when the line is too long for the terminal.
void EmitLive(Headless &s) {
  const std::string sep = "  |  ";
  const std::size_t nWidth = static_cast<std::size_t>(LineWidth());
  std::string unit = OneLine(s.texts[0]), status = OneLine(s.texts[1]), bytes = OneLine(s.texts[2]);
  if (unit.size() > 32) unit.resize(32);
  std::size_t nFixed = unit.size() + bytes.size() + 2 * sep.size();
  std::size_t nRoom = nWidth > nFixed ? nWidth - nFixed : 0;
  if (status.size() > nRoom) status = nRoom > 3 ? status.substr(0, nRoom - 3) + "..." : "";
  std::string line = unit + sep + status + sep + bytes;
  if (line.size() > nWidth) line.resize(nWidth);
  std::string out = "\r" + line + "\x1b[K";
  Sink()(out.c_str());
  s.bDirty = false;
  s.bShowing = true;
  s.tLast = Clock::now();
}

bool IsProgressTemplate(const DlgTemplate *t) {
  if (!t) return false;
  int nFound = 0;
  for (int i = 0; i < t->nItems; i++) {
    int id = t->pItems[i].nId;
    if (id >= LiveFirstId && id < LiveFirstId + LiveCount &&
        std::strcmp(t->pItems[i].pszClass, "STATIC") == 0)
      nFound++;
  }
  return nFound == LiveCount && std::strcmp(t->pszName, "DLG_DOWNLOAD") == 0;
}

void HeadlessShowDialog(HWND hDlg) {
  UiWindowInfo info{};
  if (!UiGetWindowInfo(hDlg, &info) || !IsProgressTemplate(info.pTemplate)) return;
  std::string texts[LiveCount];
  for (int i = 0; i < LiveCount; i++) texts[i] = UiGetText(GetDlgItem(hDlg, LiveFirstId + i));
  Headless &s = S();
  std::lock_guard<std::mutex> lk(s.mx);
  if (s.hLive) return;  // one line at a time; a nested one stays silent
  s.hLive = hDlg;
  for (int i = 0; i < LiveCount; i++) s.texts[i] = texts[i];
  EmitLive(s);
}

void HeadlessDestroyDialog(HWND hDlg) {
  Headless &s = S();
  std::lock_guard<std::mutex> lk(s.mx);
  if (!hDlg || s.hLive != hDlg) return;
  if (s.bDirty) EmitLive(s);  // the final state, never a stale one
  if (s.bShowing) Sink()("\n");
  s.hLive = nullptr;
  s.bShowing = false;
  s.bDirty = false;
}

void HeadlessChanged(HWND hWnd, int nWhat) {
  if (nWhat != UI_CHANGED_TEXT) return;
  UiWindowInfo info{};
  if (!UiGetWindowInfo(hWnd, &info) || !info.hParent) return;
  if (info.nId < LiveFirstId || info.nId >= LiveFirstId + LiveCount) return;
  {
    Headless &s = S();
    std::lock_guard<std::mutex> lk(s.mx);
    if (s.hLive != info.hParent) return;
  }
  std::string text = UiGetText(hWnd);
  Headless &s = S();
  std::lock_guard<std::mutex> lk(s.mx);
  if (s.hLive != info.hParent) return;
  s.texts[info.nId - LiveFirstId] = text;
  if (Clock::now() - s.tLast >= LiveInterval) {
    EmitLive(s);
  } else {
    // The UI thread's wait writes it when the interval is over.
    s.bDirty = true;
    s.cv.notify_all();
  }
}

void HeadlessWait() {
  Headless &s = S();
  std::unique_lock<std::mutex> lk(s.mx);
  while (!s.bWoken) {
    if (s.bDirty && s.hLive) {
      auto tDue = s.tLast + LiveInterval;
      if (Clock::now() >= tDue) EmitLive(s);
      else s.cv.wait_until(lk, tDue);
    } else {
      s.cv.wait(lk);
    }
  }
  s.bWoken = false;
}

void HeadlessWake() {
  Headless &s = S();
  std::lock_guard<std::mutex> lk(s.mx);
  s.bWoken = true;
  s.cv.notify_all();
}

int HeadlessMessageBox(HWND, const char *pszText, const char *pszCaption, UINT) {
  std::string out = std::string(pszCaption) + ": " + pszText;
  if (out.empty() || out.back() != '\n') out += '\n';
  Headless &s = S();
  std::lock_guard<std::mutex> lk(s.mx);
  // Keep a live line from being overwritten by the message, and show it
  // again beneath.
  if (s.bShowing) Sink()("\n");
  PlatStderr(out.c_str());
  if (s.bShowing) EmitLive(s);
  return IDOK;
}

const UiBackend HeadlessTable = {
    .pszName = "headless",
    .pfnShowDialog = HeadlessShowDialog,
    .pfnDestroyDialog = HeadlessDestroyDialog,
    .pfnChanged = HeadlessChanged,
    .pfnWait = HeadlessWait,
    .pfnWake = HeadlessWake,
    .pfnMessageBox = HeadlessMessageBox,
};

}  // namespace

const UiBackend *HeadlessBackend() { return &HeadlessTable; }
