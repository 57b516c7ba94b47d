// The desktop backend run in this process against a private X server: the
// windows it draws for each template (positions read back from the toolkit
// and from the X server), the list box's order, selection and tab columns,
// the keys, the close box, and message boxes that keep the UI thread
// serving other threads.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/testhooks.h"
#include "platform/ui/backend.h"
#include "platform/window.h"
#include "resources/resources.h"
#include "tests/support/fltk_harness.h"
#include "tests/support/wait.h"

#ifndef TANDREL_HAVE_FLTK

TEST(FltkWindows, DesktopBackendNotBuilt) { GTEST_SKIP() << "built without FLTK"; }

#else

#include "platform/fltk/fltk_backend.h"
#include "platform/fltk/fltk_readback.h"

// Last: Xlib's macros (None, Bool...) would break the headers above. Only
// for the close box, which needs the window manager's own message.
#include <X11/Xlib.h>

namespace {

using fltktest::SharedXvfb;

const UINT CMD_CHECK = 9001;   // runs the test's checks inside the dialog
const UINT CMD_FINISH = 9002;  // takes the screenshot and ends the dialog
const int Timeout = 10000;

// Starts the desktop backend once for the whole process (the UI thread is
// the test's main thread, which runs every test).
bool Desktop() {
  static int nState = -1;
  if (nState < 0) {
    nState = 0;
    if (SharedXvfb().Ok()) {
      setenv("DISPLAY", SharedXvfb().Display().c_str(), 1);
      nState = PlatUiInit(1);
    }
  }
  return nState == 1;
}

#define NEED_DESKTOP()                                                   \
  do {                                                                   \
    if (!fltktest::OnPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed"; \
    ASSERT_TRUE(Desktop()) << "the desktop backend did not open";        \
  } while (0)

// A dialog procedure built from lambdas: the test says what happens on
// WM_INITDIALOG and on its own commands.
struct Script {
  std::function<void(HWND)> onInit;
  std::function<void(HWND)> onCheck;
  std::function<void(HWND, WPARAM)> onCommand;  // every other WM_COMMAND
  std::function<void(HWND)> onClose;
  std::function<void(HWND, UINT, WPARAM, LPARAM)> onOther;
  std::string shot;  // screenshot name taken at CMD_FINISH
};
Script *g_script = nullptr;

INT_PTR ScriptProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  Script &s = *g_script;
  switch (uMsg) {
    case WM_INITDIALOG:
      if (s.onInit) s.onInit(hDlg);
      PostMessage(hDlg, WM_COMMAND, CMD_CHECK, 0);
      return TRUE;
    case WM_COMMAND:
      if (wParam == CMD_CHECK) {
        if (s.onCheck) s.onCheck(hDlg);
        return TRUE;
      }
      if (wParam == CMD_FINISH) {
        if (!s.shot.empty()) fltktest::Screenshot(SharedXvfb().Display(), s.shot);
        EndDialog(hDlg, 1);
        return TRUE;
      }
      if (s.onCommand) s.onCommand(hDlg, wParam);
      return TRUE;
    case WM_CLOSE:
      if (s.onClose) s.onClose(hDlg);
      return TRUE;
    default:
      if (s.onOther) s.onOther(hDlg, uMsg, wParam, lParam);
      return FALSE;
  }
}

INT_PTR RunScript(const char *pszTemplate, Script &s, HWND hOwner = nullptr) {
  g_script = &s;
  INT_PTR r = DialogBoxParam(PlatGetInstance(), pszTemplate, hOwner, ScriptProc, 0);
  g_script = nullptr;
  return r;
}

// Runs the script's dialog over an owner dialog, as the program runs its
// dialogs over the main window (the toolkit then makes it modal).
const char *g_pszOwned = nullptr;
INT_PTR g_nOwnedResult = 0;

INT_PTR OwnerProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM) {
  if (uMsg == WM_INITDIALOG) {
    PostMessage(hDlg, WM_COMMAND, CMD_CHECK, 0);
    return TRUE;
  }
  if (uMsg == WM_COMMAND && wParam == CMD_CHECK) {
    g_nOwnedResult = DialogBoxParam(PlatGetInstance(), g_pszOwned, hDlg, ScriptProc, 0);
    EndDialog(hDlg, 0);
    return TRUE;
  }
  return FALSE;
}

INT_PTR RunOwnedScript(const char *pszTemplate, Script &s) {
  g_script = &s;
  g_pszOwned = pszTemplate;
  g_nOwnedResult = -1;
  DialogBoxParam(PlatGetInstance(), "DLG_DASLIST", nullptr, OwnerProc, 0);
  g_script = nullptr;
  return g_nOwnedResult;
}

// Ends the dialog from another thread once the toolkit has had time to
// paint (the screenshot runs on the UI thread, inside the dialog).
void FinishSoon(HWND hDlg) {
  std::thread([hDlg] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    PostMessage(hDlg, WM_COMMAND, CMD_FINISH, 0);
  }).detach();
}

int DuX(int x, const FltkBaseUnits &u) { return (x * u.cxChar + 2) / 4; }
int DuY(int y, const FltkBaseUnits &u) { return (y * u.cyChar + 4) / 8; }

// Window size as the X server has it.
bool XWindowSize(unsigned long xid, int *pw, int *ph) {
  std::string out =
      fltktest::Xdo(SharedXvfb().Display(), "getwindowgeometry --shell " + std::to_string(xid));
  std::size_t iw = out.find("WIDTH="), ih = out.find("HEIGHT=");
  if (iw == std::string::npos || ih == std::string::npos) return false;
  *pw = std::atoi(out.c_str() + iw + 6);
  *ph = std::atoi(out.c_str() + ih + 7);
  return true;
}

// Centre of a control on the screen.
void ControlCentre(HWND hDlg, int nId, int *px, int *py) {
  FltkRect d, c;
  ASSERT_TRUE(FltkGetShownRect(hDlg, &d));
  ASSERT_TRUE(FltkGetShownRect(GetDlgItem(hDlg, nId), &c));
  *px = d.x + c.x + c.w / 2;
  *py = d.y + c.y + c.h / 2;
}

// Runs a person's actions on a thread of its own while the UI thread keeps
// its loop going; joined by the dialog's end.
struct Person {
  std::thread t;
  template <class F>
  explicit Person(F f) : t(f) {}
  ~Person() {
    if (t.joinable()) t.join();
  }
};

// The window that has the X keyboard focus (0 for none).
unsigned long XFocus() {
  return std::strtoul(fltktest::Xdo(SharedXvfb().Display(), "getwindowfocus").c_str(), nullptr, 10);
}

// Keys go to the focused window wherever the pointer is: it is moved off
// every window first, so that only the focus can send them anywhere. (Not
// with --sync: a move to where the pointer already is would wait in vain.)
void PointerAway() {
  const std::string display = SharedXvfb().Display();
  fltktest::Xdo(display, "mousemove 1275 1019");
  WaitFor([&] {
    return fltktest::Xdo(display, "getmouselocation").find("x:1275 y:1019") != std::string::npos;
  });
}

// Shown windows without a title: the toolkit's menu pop-ups among them.
int CountUntitledWindows() {
  std::string out = fltktest::Xdo(SharedXvfb().Display(), "search --onlyvisible --name '^$'");
  return static_cast<int>(std::count(out.begin(), out.end(), '\n'));
}

// A window property as xprop prints it.
std::string XProp(unsigned long xid, const char *pszProp) {
  return fltktest::Run("DISPLAY=" + SharedXvfb().Display() + " xprop -id " + std::to_string(xid) +
                       " " + pszProp);
}

// The numbers of a 32-bit property ("NAME(TYPE) = 0x3, 0x24, ...").
std::vector<long> XPropNumbers(unsigned long xid, const char *pszProp) {
  std::string out = XProp(xid, pszProp);
  std::vector<long> v;
  std::size_t pos = out.find('=');
  while (pos != std::string::npos && pos < out.size()) {
    char *pEnd = nullptr;
    const char *p = out.c_str() + pos + 1;
    long n = std::strtol(p, &pEnd, 0);
    if (pEnd == p) break;
    v.push_back(n);
    pos = out.find(',', static_cast<std::size_t>(pEnd - out.c_str()));
  }
  return v;
}

// The line-edit text of a dialog's control, from any thread.
std::string ItemText(HWND hDlg, int nId) {
  char buf[256];
  GetDlgItemText(hDlg, nId, buf, sizeof buf);
  return buf;
}

// The most bytes waiting in any pipe of this process. The toolkit's wake-up
// pipe is the only one a desktop test keeps open.
int MostBytesInAPipe() {
  int nMost = 0;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::atoi(e.path().filename().c_str());
    struct stat st;
    int n = 0;
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) && ioctl(fd, FIONREAD, &n) == 0)
      nMost = std::max(nMost, n);
  }
  return nMost;
}

// ---------------------------------------------------------------------------

TEST(FltkTabs, StopsThenEveryDefaultWidth) {
  auto w10 = [](const std::string &s) { return static_cast<int>(s.size()) * 10; };
  // Four equal stops are one stop: past it, every default width (80).
  auto p = FltkExpandTabs("ab\tSERIAL12345\tx\ty", {14, 14, 14, 14}, 80, w10);
  ASSERT_EQ(p.size(), 4u);
  EXPECT_EQ(p[0].x, 0);
  EXPECT_EQ(p[1].x, 80);    // "ab" ends at 20, past the stop at 14
  EXPECT_EQ(p[2].x, 240);   // 80 + 110 = 190 -> next multiple of 80
  EXPECT_EQ(p[3].x, 320);
  EXPECT_EQ(p[1].text, "SERIAL12345");
  // Empty first field: the first stop still applies.
  p = FltkExpandTabs("\tA", {14, 14}, 80, w10);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[1].x, 14);
}

TEST(FltkTabs, TextEndingOnAStopGoesToTheNext) {
  auto w10 = [](const std::string &s) { return static_cast<int>(s.size()) * 10; };
  auto p = FltkExpandTabs("abc\td\te", {30, 50, 70}, 80, w10);
  ASSERT_EQ(p.size(), 3u);
  EXPECT_EQ(p[1].x, 50);  // "abc" ends exactly on 30: that stop is used up
  EXPECT_EQ(p[2].x, 70);
  // Without stops every tab goes to the next multiple; one stop is a pitch.
  p = FltkExpandTabs("a\tb", {}, 80, w10);
  EXPECT_EQ(p[1].x, 80);
  p = FltkExpandTabs("abcd\tb\tc", {25}, 80, w10);
  EXPECT_EQ(p[1].x, 50);
  EXPECT_EQ(p[2].x, 75);
  // No tab: one piece.
  p = FltkExpandTabs("plain", {30}, 80, w10);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].text, "plain");
}

// Every control of every template at its dialog-unit place, converted with
// the dialog font's base units; the window's size as the X server sees it.
TEST(FltkWindows, TemplatesDrawnAtDialogUnits) {
  NEED_DESKTOP();
  for (const char *pszName : {"DLG_DASLIST", "DLG_DASEDIT", "DLG_DOWNLOAD"}) {
    SCOPED_TRACE(pszName);
    const DlgTemplate *t = FindDialogTemplate(pszName);
    ASSERT_NE(t, nullptr);
    int nChecked = 0;
    Script s;
    s.shot = std::string("fltk_backend_") + pszName;
    s.onCheck = [&](HWND hDlg) {
      FltkBaseUnits u = FltkTemplateBaseUnits(t);
      EXPECT_GE(u.cxChar, 4);
      EXPECT_GE(u.cyChar, 8);
      FltkRect client;
      ASSERT_TRUE(FltkGetShownRect(hDlg, &client));
      EXPECT_EQ(client.w, DuX(t->cx, u));
      EXPECT_EQ(client.h, DuY(t->cy, u));
      int nMenu = FltkMenuBarHeight(t);
      EXPECT_EQ(nMenu > 0, t->pszMenu != nullptr);
      int xw = 0, xh = 0;
      ASSERT_TRUE(XWindowSize(FltkGetXid(hDlg), &xw, &xh));
      EXPECT_EQ(xw, client.w);
      EXPECT_EQ(xh, client.h + nMenu);
      std::string caption;
      ASSERT_TRUE(FltkGetShownText(hDlg, &caption));
      EXPECT_EQ(caption, t->pszCaption);
      std::vector<HWND> kids = UiGetChildren(hDlg);
      ASSERT_EQ(static_cast<int>(kids.size()), t->nItems);
      for (int i = 0; i < t->nItems; i++) {
        const DlgItemTemplate &it = t->pItems[i];
        SCOPED_TRACE(it.nId);
        FltkRect r;
        ASSERT_TRUE(FltkGetShownRect(GetDlgItem(hDlg, it.nId), &r));
        EXPECT_EQ(r.x, DuX(it.x, u));
        EXPECT_EQ(r.y, DuY(it.y, u));
        EXPECT_EQ(r.w, DuX(it.cx, u));
        if (std::strcmp(it.pszClass, "LISTBOX") == 0) {
          // The list box shows whole rows only: its height shrinks to the
          // frame and a whole number of rows, never by a row or more.
          FltkRect area;
          int nRow = 0;
          ASSERT_TRUE(FltkGetListRows(GetDlgItem(hDlg, it.nId), &area, &nRow));
          ASSERT_GT(nRow, 0);
          EXPECT_EQ(area.h % nRow, 0) << area.h << " px for rows of " << nRow;
          EXPECT_LE(r.h, DuY(it.cy, u));
          EXPECT_GT(r.h + nRow, DuY(it.cy, u));
          EXPECT_GE(area.y, r.y);
          EXPECT_LE(area.y + area.h, r.y + r.h);
        } else {
          EXPECT_EQ(r.h, DuY(it.cy, u));
        }
        std::string text;
        ASSERT_TRUE(FltkGetShownText(GetDlgItem(hDlg, it.nId), &text));
        if (std::strcmp(it.pszClass, "LISTBOX") != 0) {
          EXPECT_EQ(text, it.pszText);
        }
        nChecked++;
      }
      // The modal frame: the window manager is told the size is fixed.
      std::string hints = fltktest::Run("DISPLAY=" + SharedXvfb().Display() + " xprop -id " +
                                        std::to_string(FltkGetXid(hDlg)) + " WM_NORMAL_HINTS");
      std::string size = std::to_string(xw) + " by " + std::to_string(xh);
      EXPECT_NE(hints.find("minimum size: " + size), std::string::npos) << hints;
      EXPECT_NE(hints.find("maximum size: " + size), std::string::npos) << hints;
      // The program's icon, decoded from the embedded PNG (32 x 32).
      std::string icon = fltktest::Run("DISPLAY=" + SharedXvfb().Display() + " xprop -id " +
                                       std::to_string(FltkGetXid(hDlg)) + " _NET_WM_ICON | head -1");
      EXPECT_NE(icon.find("32 x 32"), std::string::npos) << icon;
      FinishSoon(hDlg);
    };
    EXPECT_EQ(RunScript(pszName, s), 1);
    EXPECT_EQ(nChecked, t->nItems);
  }
  // The font's base units: the system font is larger than "Helv" 8.
  FltkBaseUnits sys = FltkTemplateBaseUnits(FindDialogTemplate("DLG_DASLIST"));
  FltkBaseUnits helv = FltkTemplateBaseUnits(FindDialogTemplate("DLG_DASEDIT"));
  EXPECT_GE(sys.cyChar, helv.cyChar);
}

// The list box shows the core's items in the core's order, the core's
// selection, tab columns at the program's stops; a person's selection goes
// back to the core.
TEST(FltkWindows, ListBoxOrderSelectionAndTabs) {
  NEED_DESKTOP();
  const DlgTemplate *t = FindDialogTemplate("DLG_DASLIST");
  std::atomic<int> nCoreSel{-5};
  std::atomic<int> nSelBelow{-5};
  int nShownBelow = -5;
  Script s;
  s.shot = "fltk_backend_listbox";
  s.onInit = [](HWND hDlg) {
    HWND hList = GetDlgItem(hDlg, 202);
    int anTabs[4] = {8, 8, 8, 8};
    SendMessage(hList, LB_SETTABSTOPS, 4, reinterpret_cast<LPARAM>(anTabs));
    const char *items[] = {
        "DAS000000002\t10.0.0.2\tPump house\tLAN",
        "DAS000000001\t10.0.0.1\tMain station\t0123456789",
        "\t192.168.1.100\t[new]\tLAN",
    };
    for (const char *p : items) SendMessage(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(p));
    SendMessage(hList, LB_SETCURSEL, 1, 0);
  };
  s.onCheck = [&](HWND hDlg) {
    HWND hList = GetDlgItem(hDlg, 202);
    std::vector<std::string> core;
    int nSel = -1;
    ASSERT_TRUE(UiGetListState(hList, &core, &nSel, nullptr));
    ASSERT_EQ(core.size(), 3u);
    EXPECT_EQ(core[0].substr(0, 1), "\t");  // sorted: the empty serial first
    EXPECT_EQ(FltkGetShownSelection(hList), 1);
    FltkBaseUnits u = FltkTemplateBaseUnits(t);
    const int nStop = DuX(8, u);
    const int nPitch = 8 * u.cxChar;
    for (int line = 0; line < 3; line++) {
      SCOPED_TRACE(line);
      std::vector<FltkTabPiece> pieces;
      ASSERT_TRUE(FltkGetListLine(hList, line, &pieces));
      ASSERT_EQ(pieces.size(), 4u);
      int nX = 0;
      for (std::size_t i = 0; i + 1 < pieces.size(); i++) {
        int nEnd = nX + FltkListTextWidth(hList, pieces[i].text);
        int nNext = nEnd < nStop ? nStop : (nEnd / nPitch + 1) * nPitch;
        EXPECT_EQ(pieces[i + 1].x, nNext);
        nX = pieces[i + 1].x;
      }
    }
    // The two serial-number lines have their addresses in one column.
    std::vector<FltkTabPiece> a, b;
    FltkGetListLine(hList, 1, &a);
    FltkGetListLine(hList, 2, &b);
    EXPECT_EQ(a[1].x, b[1].x);
    // A change of selection by the program shows as soon as the loop has
    // waited once (idle; a fixed delay could pass before it has).
    SendMessage(hList, LB_SETCURSEL, 2, 0);
    std::thread([hDlg] {
      WaitForIdle(Timeout);
      PostMessage(hDlg, WM_COMMAND, CMD_CHECK + 10, 0);
    }).detach();
  };
  s.onCommand = [&](HWND hDlg, WPARAM w) {
    HWND hList = GetDlgItem(hDlg, 202);
    if (w == IDCANCEL) {
      // Escape, pressed after the click below the items: that click is done.
      nSelBelow = static_cast<int>(SendMessage(hList, LB_GETCURSEL, 0, 0));
      nShownBelow = FltkGetShownSelection(hList);
    }
    if (w != CMD_CHECK + 10) return;
    EXPECT_EQ(FltkGetShownSelection(hList), 2);
    // The person clicks the first line, then presses Down: the core hears
    // of both. A click below the last item keeps the selection, as in the
    // original list box.
    FltkRect d, r;
    ASSERT_TRUE(FltkGetShownRect(hDlg, &d));
    ASSERT_TRUE(FltkGetShownRect(hList, &r));
    std::string display = SharedXvfb().Display();
    std::thread([=, &nCoreSel, &nSelBelow] {
      fltktest::ClickAt(display, d.x + r.x + 40, d.y + r.y + 6);
      WaitFor([&] { return SendMessage(hList, LB_GETCURSEL, 0, 0) == 0; });
      fltktest::Keys(display, "Down");
      WaitFor([&] { return SendMessage(hList, LB_GETCURSEL, 0, 0) == 1; });
      nCoreSel = static_cast<int>(SendMessage(hList, LB_GETCURSEL, 0, 0));
      fltktest::ClickAt(display, d.x + r.x + 40, d.y + r.y + r.h - 10);
      fltktest::Keys(display, "Escape");
      WaitFor([&] { return nSelBelow.load() != -5; });
      PostMessage(hDlg, WM_COMMAND, CMD_FINISH, 0);
    }).detach();
  };
  EXPECT_EQ(RunScript("DLG_DASLIST", s), 1);
  EXPECT_EQ(nCoreSel.load(), 1);
  EXPECT_EQ(nSelBelow.load(), 1);
  EXPECT_EQ(nShownBelow, 1);
}

// Home, End, Page Up and Page Down move the core's selection, and the list
// scrolls so that the selected unit is in view.
TEST(FltkWindows, ListBoxPagingKeysMoveTheSelection) {
  NEED_DESKTOP();
  const int nItems = 60;
  int nRows = 0;
  std::vector<int> sels, tops;
  struct Case {
    const char *pszKey;
    int nWant;  // -1: one page below the start; -2: a page above the end
  } cases[] = {{"End", nItems - 1}, {"Page_Up", -2}, {"Home", 0}, {"Page_Down", -1}};
  Script s;
  s.onInit = [&](HWND hDlg) {
    HWND hList = GetDlgItem(hDlg, 202);
    char sz[32];
    for (int i = 0; i < nItems; i++) {
      std::snprintf(sz, sizeof sz, "DAS%09d\tUnit", i);
      SendMessage(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(sz));
    }
    SendMessage(hList, LB_SETCURSEL, 0, 0);
  };
  s.onCheck = [&](HWND hDlg) {
    HWND hList = GetDlgItem(hDlg, 202);
    FltkRect area;
    int nRowH = 0;
    ASSERT_TRUE(FltkGetListRows(hList, &area, &nRowH));
    nRows = area.h / nRowH;
    std::thread([&, hDlg, hList] {
      PointerAway();
      for (const Case &k : cases) {
        int nWant = k.nWant == -1 ? nRows - 1 : k.nWant == -2 ? nItems - 1 - (nRows - 1) : k.nWant;
        fltktest::Keys(SharedXvfb().Display(), k.pszKey);
        WaitFor([&] { return SendMessage(hList, LB_GETCURSEL, 0, 0) == nWant; }, 3000);
        sels.push_back(static_cast<int>(SendMessage(hList, LB_GETCURSEL, 0, 0)));
        const std::size_t n = tops.size();
        PostMessage(hDlg, WM_COMMAND, CMD_CHECK + 30, 0);
        WaitFor([&] { return tops.size() > n; });
      }
      PostMessage(hDlg, WM_COMMAND, CMD_FINISH, 0);
    }).detach();
  };
  s.onCommand = [&](HWND hDlg, WPARAM w) {
    if (w == CMD_CHECK + 30) tops.push_back(FltkGetListTopLine(GetDlgItem(hDlg, 202)));
  };
  EXPECT_EQ(RunScript("DLG_DASLIST", s), 1);
  ASSERT_GT(nRows, 2);
  ASSERT_EQ(sels.size(), 4u);
  ASSERT_EQ(tops.size(), 4u);
  EXPECT_EQ(sels, (std::vector<int>{nItems - 1, nItems - nRows, 0, nRows - 1}));
  for (std::size_t i = 0; i < sels.size(); i++) {
    SCOPED_TRACE(cases[i].pszKey);
    EXPECT_LE(tops[i], sels[i]) << "selection above the rows in view";
    EXPECT_GT(tops[i] + nRows, sels[i]) << "selection below the rows in view";
  }
}

// Enter and Escape give the commands IDOK and IDCANCEL and nothing else (the
// window stays); typing reaches the core; a button click and the close box
// arrive as the program expects them.
TEST(FltkWindows, KeysTypingButtonsAndCloseBox) {
  NEED_DESKTOP();
  std::vector<WPARAM> commands;
  std::atomic<int> nCloses{0};
  std::atomic<bool> bEscapeSeen{false};
  Script s;
  s.shot = "fltk_backend_keys";
  s.onInit = [](HWND hDlg) { SetDlgItemText(hDlg, 242, "10.1.1.1"); };
  s.onCommand = [&](HWND, WPARAM w) { commands.push_back(w); };
  s.onClose = [&](HWND) { nCloses++; };
  s.onCheck = [&](HWND hDlg) {
    int ix, iy, ox, oy, cx, cy;
    ControlCentre(hDlg, 242, &ix, &iy);
    ControlCentre(hDlg, 241, &ox, &oy);
    ControlCentre(hDlg, 243, &cx, &cy);
    unsigned long xid = FltkGetXid(hDlg);
    std::string display = SharedXvfb().Display();
    std::thread([=, &bEscapeSeen, &nCloses] {
      fltktest::ClickAt(display, ix, iy);
      fltktest::Keys(display, "ctrl+a");
      fltktest::TypeText(display, "127.0.0.1:8080");
      WaitFor([&] {
        char buf[64];
        GetDlgItemText(hDlg, 242, buf, sizeof buf);
        return std::strcmp(buf, "127.0.0.1:8080") == 0;
      });
      fltktest::Keys(display, "Escape");
      fltktest::Keys(display, "Return");
      // The check box's label is inside the control: a click there toggles.
      fltktest::ClickAt(display, cx - 20, cy);
      WaitFor([&] { return IsDlgButtonChecked(hDlg, 243) == BST_CHECKED; });
      fltktest::ClickAt(display, ox, oy);
      bEscapeSeen = true;
      // The close box: the window manager's delete request.
      Display *pDpy = XOpenDisplay(display.c_str());
      if (pDpy) {
        XEvent ev;
        std::memset(&ev, 0, sizeof ev);
        ev.xclient.type = ClientMessage;
        ev.xclient.window = xid;
        ev.xclient.message_type = XInternAtom(pDpy, "WM_PROTOCOLS", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = static_cast<long>(XInternAtom(pDpy, "WM_DELETE_WINDOW", False));
        ev.xclient.data.l[1] = CurrentTime;
        XSendEvent(pDpy, xid, False, NoEventMask, &ev);
        XFlush(pDpy);
        XCloseDisplay(pDpy);
      }
      // The close comes after the click on Cancel: once it is handled, so
      // is every command before it.
      WaitFor([&] { return nCloses.load() > 0; });
      PostMessage(hDlg, WM_COMMAND, CMD_FINISH, 0);
    }).detach();
  };
  EXPECT_EQ(RunScript("DLG_DASEDIT", s), 1);
  EXPECT_TRUE(bEscapeSeen.load());
  // Escape, Enter (focus in the edit field), the check box, the Cancel
  // button: in this order, and the dialog stayed until the test ended it.
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0], static_cast<WPARAM>(IDCANCEL));
  EXPECT_EQ(commands[1], static_cast<WPARAM>(IDOK));
  EXPECT_EQ(commands[2], MAKEWPARAM(243, BN_CLICKED));
  EXPECT_EQ(commands[3], MAKEWPARAM(241, BN_CLICKED));
  EXPECT_EQ(nCloses.load(), 1);
}

// An edit field holds one line, as the original's does: a pasted text is
// cut at its first line break, and Ctrl+J and Ctrl+M insert nothing. A line
// break would otherwise reach the unit's record.
TEST(FltkWindows, EditFieldTakesOneLine) {
  NEED_DESKTOP();
  std::string ip;
  Script s;
  s.onInit = [](HWND hDlg) { SetDlgItemText(hDlg, 244, "5551234\r\nRING"); };
  s.onCheck = [&](HWND hDlg) {
    int ix, iy, px, py;
    ControlCentre(hDlg, 242, &ix, &iy);
    ControlCentre(hDlg, 244, &px, &py);
    std::string display = SharedXvfb().Display();
    std::thread([=, &ip] {
      // The phone field's two lines copied, pasted over the address.
      fltktest::ClickAt(display, px, py);
      fltktest::Keys(display, "ctrl+a ctrl+c");
      fltktest::ClickAt(display, ix, iy);
      fltktest::Keys(display, "ctrl+a ctrl+v End ctrl+j ctrl+m");
      fltktest::TypeText(display, "9");
      char buf[64] = "";
      WaitFor([&] {
        GetDlgItemText(hDlg, 242, buf, sizeof buf);
        return buf[0] && buf[std::strlen(buf) - 1] == '9';
      });
      ip = buf;
      PostMessage(hDlg, WM_COMMAND, CMD_FINISH, 0);
    }).detach();
  };
  EXPECT_EQ(RunScript("DLG_DASEDIT", s), 1);
  EXPECT_EQ(ip, "55512349");
}

// A message box on the UI thread keeps serving sends from other threads; a
// message box from a worker blocks that worker only. Both can be answered
// over a dialog that has an owner, as the progress dialog has.
TEST(FltkWindows, MessageBoxesKeepTheLoopGoing) {
  NEED_DESKTOP();
  const UINT WM_PROBE = 0x8001;
  std::atomic<int> nProbes{0};
  std::atomic<LRESULT> lProbe{0};
  std::atomic<int> nWorkerBox{0};
  std::vector<std::string> boxesSeen;
  int nBoxResult = 0;
  Script s;
  s.shot = "fltk_backend_messagebox";
  s.onOther = [&](HWND, UINT uMsg, WPARAM, LPARAM) {
    if (uMsg == WM_PROBE) {
      nProbes++;
      boxesSeen = FltkOpenMessageBoxes();
    }
  };
  s.onCheck = [&](HWND hDlg) {
    std::string display = SharedXvfb().Display();
    std::thread helper([=, &lProbe] {
      // While the box below is open, a send from this thread is answered.
      WaitFor([&] { return fltktest::FindWindowNamed(display, "Error: main line 7") != 0; });
      fltktest::Screenshot(display, "fltk_backend_messagebox_open");
      lProbe = SendMessage(hDlg, WM_PROBE, 0, 0) + 1;
      int x = 0, y = 0;
      fltktest::WindowOrigin(display, fltktest::FindWindowNamed(display, "Error: main line 7"), &x, &y);
      fltktest::Xdo(display, "mousemove --sync " + std::to_string(x + 20) + " " + std::to_string(y + 20));
      fltktest::Keys(display, "Return");
    });
    nBoxResult = MessageBox(hDlg, "Error creating file x, got 13 Permission denied",
                            "Error: main line 7", MB_ICONHAND);
    helper.join();
    // A worker's box: the UI thread stays free (the probe is answered while
    // the box is up), and the worker goes on once the box is answered.
    std::thread([=, &nWorkerBox] {
      std::thread worker([hDlg, &nWorkerBox] {
        nWorkerBox = MessageBox(hDlg, "worker text", "Error: download line 9", MB_ICONHAND) + 100;
      });
      WaitFor([&] { return fltktest::FindWindowNamed(display, "Error: download line 9") != 0; });
      SendMessage(hDlg, WM_PROBE, 0, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      bool bStillBlocked = nWorkerBox.load() == 0;
      int x = 0, y = 0;
      fltktest::WindowOrigin(display, fltktest::FindWindowNamed(display, "Error: download line 9"), &x, &y);
      fltktest::Xdo(display, "mousemove --sync " + std::to_string(x + 20) + " " + std::to_string(y + 20));
      fltktest::Keys(display, "Return");
      // A box that takes no answer leaves its worker blocked for good.
      if (WaitFor([&] { return nWorkerBox.load() != 0; })) worker.join();
      else worker.detach();
      if (!bStillBlocked) nWorkerBox = -1;
      PostMessage(hDlg, WM_COMMAND, CMD_FINISH, 0);
    }).detach();
  };
  EXPECT_EQ(RunOwnedScript("DLG_DOWNLOAD", s), 1);
  EXPECT_EQ(nBoxResult, IDOK);
  EXPECT_EQ(lProbe.load(), 1);  // answered (0 + 1) while the box was open
  EXPECT_EQ(nProbes.load(), 2);
  ASSERT_EQ(boxesSeen.size(), 1u);
  EXPECT_EQ(boxesSeen[0], "Error: download line 9");
  EXPECT_EQ(nWorkerBox.load(), 100 + IDOK);
}

// The dialog selects an edit field's whole text whenever it gives the field
// the focus, on opening too, so typing replaces the old text; a click into
// the field places the caret instead. The focus that leaves for another
// program and comes back selects nothing: typing goes on.
TEST(FltkWindows, EditFieldSelectedWhenTheDialogFocusesIt) {
  NEED_DESKTOP();
  HWND hFocusAtOpen = nullptr;
  int nSelStart = -1, nSelEnd = -1;
  std::atomic<bool> bDone{false};
  std::string sBack;
  Script s;
  s.shot = "fltk_backend_edit_selected";
  s.onInit = [](HWND hDlg) {
    SetDlgItemText(hDlg, 242, "192.168.1.100");
    SetDlgItemText(hDlg, 245, "qexal");
    SetDlgItemText(hDlg, 244, "5551234");
  };
  s.onCheck = [&](HWND hDlg) {
    hFocusAtOpen = FltkGetFocus();
    FltkGetEditSelection(GetDlgItem(hDlg, 242), &nSelStart, &nSelEnd);
    int px = 0, py = 0;
    ControlCentre(hDlg, 244, &px, &py);
    const unsigned long xid = FltkGetXid(hDlg);
    std::string display = SharedXvfb().Display();
    std::thread([=, &bDone, &sBack] {
      PointerAway();
      fltktest::TypeText(display, "127.0.64.3:30003");
      WaitFor([&] { return ItemText(hDlg, 242) == "127.0.64.3:30003"; });
      if (Display *pDpy = XOpenDisplay(display.c_str())) {
        XSetInputFocus(pDpy, DefaultRootWindow(pDpy), RevertToNone, CurrentTime);
        XSync(pDpy, False);
        WaitFor([&] { return XFocus() != xid; });
        XSetInputFocus(pDpy, xid, RevertToNone, CurrentTime);
        XSync(pDpy, False);
        XCloseDisplay(pDpy);
      }
      WaitFor([&] { return XFocus() == xid; });
      fltktest::TypeText(display, "7");
      WaitFor([&] { return ItemText(hDlg, 242) != "127.0.64.3:30003"; });
      sBack = ItemText(hDlg, 242);
      // Tab to the password: selected as well.
      fltktest::Keys(display, "Tab");
      fltktest::TypeText(display, "pw");
      WaitFor([&] { return ItemText(hDlg, 245) == "pw"; });
      // A click into the phone number: the caret goes after the text.
      fltktest::ClickAt(display, px, py);
      fltktest::TypeText(display, "9");
      WaitFor([&] { return ItemText(hDlg, 244) != "5551234"; });
      bDone = true;
      PostMessage(hDlg, WM_COMMAND, CMD_FINISH, 0);
    }).detach();
  };
  EXPECT_EQ(RunScript("DLG_DASEDIT", s), 1);
  EXPECT_TRUE(bDone.load());
  EXPECT_EQ(sBack, "127.0.64.3:300037") << "the focus coming back selected the field";
  EXPECT_EQ(nSelStart, 0);
  EXPECT_EQ(nSelEnd, 13);
  EXPECT_NE(hFocusAtOpen, nullptr);
}

// Texts of one line (the progress dialog's) stay on their line and end in
// "..." when they do not fit; what fits is shown whole.
TEST(FltkWindows, OneLineTextsCutWithAnEllipsis) {
  NEED_DESKTOP();
  const std::string longName =
      "DAS000000001, Pumping station Wolverhampton Road east, meter rack W, feeder WWW";
  std::string shown230, shown231, shown232;
  int nWidth230 = 0, nShownWidth = 0, nOneMore = 0;
  Script s;
  s.shot = "fltk_backend_ellipsis";
  s.onInit = [&](HWND hDlg) {
    SetDlgItemText(hDlg, 230, longName.c_str());
    SetDlgItemText(hDlg, 231, "mb-001.log");
    SetDlgItemText(hDlg, 232, "first line\r\nsecond line");
  };
  s.onCheck = [&](HWND hDlg) {
    HWND h230 = GetDlgItem(hDlg, 230);
    ASSERT_TRUE(FltkGetOneLineText(h230, &shown230));
    ASSERT_TRUE(FltkGetOneLineText(GetDlgItem(hDlg, 231), &shown231));
    ASSERT_TRUE(FltkGetOneLineText(GetDlgItem(hDlg, 232), &shown232));
    FltkRect r;
    ASSERT_TRUE(FltkGetShownRect(h230, &r));
    nWidth230 = r.w;
    nShownWidth = FltkTextWidth(h230, shown230);
    // The cut is as late as it can be: one character more would not fit.
    std::size_t n = shown230.size() - 3;
    if (n < longName.size()) nOneMore = FltkTextWidth(h230, longName.substr(0, n + 1) + "...");
    FinishSoon(hDlg);
  };
  EXPECT_EQ(RunScript("DLG_DOWNLOAD", s), 1);
  ASSERT_GT(shown230.size(), 13u);
  EXPECT_EQ(shown230.substr(shown230.size() - 3), "...");
  EXPECT_EQ(longName.substr(0, shown230.size() - 3), shown230.substr(0, shown230.size() - 3));
  EXPECT_LT(shown230.size(), longName.size());
  EXPECT_LE(nShownWidth, nWidth230);
  EXPECT_GT(nOneMore, nWidth230);
  EXPECT_EQ(shown231, "mb-001.log");
  EXPECT_EQ(shown232, "first line");
}

// What the window manager is told: a dialog of its owner (transient, modal,
// of dialog type), fixed size, move and close only, a title with its menu
// and no minimize or maximize box; the main window a normal window with the
// same frame.
TEST(FltkWindows, WindowManagerHints) {
  NEED_DESKTOP();
  std::vector<long> mwmDlg, mwmOwner;
  std::string typeDlg, typeOwner, transientDlg, transientOwner, stateDlg;
  unsigned long xidOwner = 0;
  Script s;
  s.onCheck = [&](HWND hDlg) {
    UiWindowInfo info;
    ASSERT_TRUE(UiGetWindowInfo(hDlg, &info));
    const unsigned long xid = FltkGetXid(hDlg);
    xidOwner = FltkGetXid(info.hOwner);
    mwmDlg = XPropNumbers(xid, "_MOTIF_WM_HINTS");
    mwmOwner = XPropNumbers(xidOwner, "_MOTIF_WM_HINTS");
    typeDlg = XProp(xid, "_NET_WM_WINDOW_TYPE");
    typeOwner = XProp(xidOwner, "_NET_WM_WINDOW_TYPE");
    transientDlg = XProp(xid, "WM_TRANSIENT_FOR");
    transientOwner = XProp(xidOwner, "WM_TRANSIENT_FOR");
    stateDlg = XProp(xid, "_NET_WM_STATE");
    FinishSoon(hDlg);
  };
  EXPECT_EQ(RunOwnedScript("DLG_DASEDIT", s), 1);
  ASSERT_NE(xidOwner, 0u);
  for (const std::vector<long> *p : {&mwmDlg, &mwmOwner}) {
    const std::vector<long> &m = *p;
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(m[0] & 3, 3);         // functions and decorations given
    EXPECT_EQ(m[1], 4 | 32);        // move and close, nothing else
    EXPECT_EQ(m[2], 2 | 8 | 16);    // border, title, window menu: no boxes
  }
  EXPECT_NE(typeDlg.find("_NET_WM_WINDOW_TYPE_DIALOG"), std::string::npos) << typeDlg;
  EXPECT_NE(typeOwner.find("_NET_WM_WINDOW_TYPE_NORMAL"), std::string::npos) << typeOwner;
  char szOwner[32];
  std::snprintf(szOwner, sizeof szOwner, "0x%lx", xidOwner);
  EXPECT_NE(transientDlg.find(std::string("window id # ") + szOwner), std::string::npos)
      << transientDlg << " owner " << szOwner;
  EXPECT_EQ(transientOwner.find("window id"), std::string::npos) << transientOwner;
  EXPECT_NE(stateDlg.find("_NET_WM_STATE_MODAL"), std::string::npos) << stateDlg;
}

// A worker's message box holds up its worker only: under it the progress
// dialog's Cancel button and close box still work. When the dialog goes,
// its box is answered with it, and the worker goes on.
TEST(FltkWindows, WorkerBoxLeavesTheDialogsCancelWorking) {
  NEED_DESKTOP();
  std::atomic<int> nCancelClicks{0};
  std::atomic<int> nCloses{0};
  std::atomic<int> nWorker{0};
  std::atomic<bool> bBoxOpenAtCancel{false}, bBoxOpenAtClose{false}, bBoxGone{false};
  std::thread person;
  Script s;
  s.shot = "fltk_backend_worker_box";
  s.onCommand = [&](HWND, WPARAM w) {
    if (w == MAKEWPARAM(241, BN_CLICKED)) nCancelClicks++;
  };
  s.onClose = [&](HWND) { nCloses++; };
  s.onCheck = [&](HWND hDlg) {
    int cx = 0, cy = 0;
    ControlCentre(hDlg, 241, &cx, &cy);
    unsigned long xid = FltkGetXid(hDlg);
    std::string display = SharedXvfb().Display();
    person = std::thread([=, &nCancelClicks, &nCloses, &nWorker, &bBoxOpenAtCancel, &bBoxOpenAtClose,
                          &bBoxGone] {
      std::thread worker([hDlg, &nWorker] {
        nWorker = MessageBox(hDlg, "Unexpected server response", "Error: download line 9",
                             MB_ICONHAND) + 100;
      });
      const char Box[] = "Error: download line 9";
      WaitFor([&] { return fltktest::FindWindowNamed(display, Box) != 0; });
      fltktest::Screenshot(display, "fltk_backend_worker_box_open");
      fltktest::ClickAt(display, cx, cy);
      WaitFor([&] { return nCancelClicks.load() > 0; });
      bBoxOpenAtCancel = fltktest::FindWindowNamed(display, Box) != 0 && nWorker.load() == 0;
      Display *pDpy = XOpenDisplay(display.c_str());
      if (pDpy) {
        XEvent ev;
        std::memset(&ev, 0, sizeof ev);
        ev.xclient.type = ClientMessage;
        ev.xclient.window = xid;
        ev.xclient.message_type = XInternAtom(pDpy, "WM_PROTOCOLS", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = static_cast<long>(XInternAtom(pDpy, "WM_DELETE_WINDOW", False));
        ev.xclient.data.l[1] = CurrentTime;
        XSendEvent(pDpy, xid, False, NoEventMask, &ev);
        XFlush(pDpy);
        XCloseDisplay(pDpy);
      }
      WaitFor([&] { return nCloses.load() > 0; });
      bBoxOpenAtClose = fltktest::FindWindowNamed(display, Box) != 0 && nWorker.load() == 0;
      PostMessage(hDlg, WM_COMMAND, CMD_FINISH, 0);
      if (WaitFor([&] { return nWorker.load() != 0; })) worker.join();
      else worker.detach();
      bBoxGone = fltktest::WaitWindowGone(display, Box, Timeout);
    });
  };
  EXPECT_EQ(RunOwnedScript("DLG_DOWNLOAD", s), 1);
  person.join();
  EXPECT_TRUE(bBoxGone.load());
  EXPECT_EQ(nCancelClicks.load(), 1);
  EXPECT_EQ(nCloses.load(), 1);
  EXPECT_TRUE(bBoxOpenAtCancel.load());
  EXPECT_TRUE(bBoxOpenAtClose.load());
  EXPECT_EQ(nWorker.load(), 100 + IDOK);
}

INT_PTR EscapeEndsProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM) {
  if (uMsg == WM_COMMAND && wParam == IDCANCEL) {
    EndDialog(hDlg, 0);
    return TRUE;
  }
  return uMsg == WM_INITDIALOG ? TRUE : FALSE;
}

// When a message box or a dialog closes, its owner has the keyboard focus
// again: the arrow keys move the list's selection at once.
TEST(FltkWindows, FocusBackToTheOwnerAfterBoxAndDialog) {
  NEED_DESKTOP();
  const int CMD_OPEN_DIALOG = CMD_CHECK + 20;
  std::atomic<int> nStep{0};
  int nBox = 0;
  Script s;
  s.shot = "fltk_backend_focus_back";
  s.onInit = [](HWND hDlg) {
    HWND hList = GetDlgItem(hDlg, 202);
    for (const char *p : {"DAS000000001\tA", "DAS000000002\tB", "DAS000000003\tC"})
      SendMessage(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(p));
    SendMessage(hList, LB_SETCURSEL, 0, 0);
  };
  s.onCommand = [&](HWND hDlg, WPARAM w) {
    if (w == static_cast<WPARAM>(CMD_OPEN_DIALOG))
      DialogBoxParam(PlatGetInstance(), "DLG_DASEDIT", hDlg, EscapeEndsProc, 0);
  };
  s.onCheck = [&](HWND hDlg) {
    const unsigned long xid = FltkGetXid(hDlg);
    HWND hList = GetDlgItem(hDlg, 202);
    std::string display = SharedXvfb().Display();
    std::thread helper([=] {
      WaitFor([&] { return fltktest::FindWindowNamed(display, "Error: daslist line 3") != 0; });
      PointerAway();
      fltktest::Keys(display, "Return");
    });
    nBox = MessageBox(hDlg, "Error getting DAS list count", "Error: daslist line 3", MB_ICONHAND);
    helper.join();
    std::thread([=, &nStep] {
      auto sel = [&] { return SendMessage(hList, LB_GETCURSEL, 0, 0); };
      if (WaitFor([&] { return XFocus() == xid; })) nStep = 1;
      fltktest::Keys(display, "Down");
      if (WaitFor([&] { return sel() == 1; }) && nStep == 1) nStep = 2;
      PostMessage(hDlg, WM_COMMAND, CMD_OPEN_DIALOG, 0);
      unsigned long xEdit = fltktest::WaitWindowNamed(display, "Edit DAS Settings", Timeout);
      if (WaitFor([&] { return XFocus() == xEdit; }) && nStep == 2) nStep = 3;
      fltktest::Keys(display, "Escape");
      fltktest::WaitWindowGone(display, "Edit DAS Settings", Timeout);
      if (WaitFor([&] { return XFocus() == xid; }) && nStep == 3) nStep = 4;
      fltktest::Keys(display, "Down");
      if (WaitFor([&] { return sel() == 2; }) && nStep == 4) nStep = 5;
      PostMessage(hDlg, WM_COMMAND, CMD_FINISH, 0);
    }).detach();
  };
  EXPECT_EQ(RunScript("DLG_DASLIST", s), 1);
  EXPECT_EQ(nBox, IDOK);
  // 1: focus back after the box; 2: Down moved the selection; 3: the dialog
  // had the focus; 4: focus back after the dialog; 5: Down worked again.
  EXPECT_EQ(nStep.load(), 5);
}

// F10, Alt alone and Alt with a pop-up's first letter open the menu bar;
// the arrows, Enter and Escape work in it as expected.
TEST(FltkWindows, MenuBarFromTheKeyboard) {
  NEED_DESKTOP();
  std::vector<WPARAM> commands;
  std::atomic<int> nCommands{0};
  Script s;
  s.shot = "fltk_backend_menu_keys";
  s.onCommand = [&](HWND, WPARAM w) {
    commands.push_back(w);
    nCommands++;
  };
  s.onCheck = [&](HWND hDlg) {
    std::string display = SharedXvfb().Display();
    std::thread([=, &nCommands] {
      PointerAway();
      auto open = [&](const char *pszKeys) {
        const int nBefore = CountUntitledWindows();
        fltktest::Keys(display, pszKeys);
        return WaitFor([&] { return CountUntitledWindows() > nBefore; });
      };
      auto next = [&](int n) { return WaitFor([&] { return nCommands.load() >= n; }); };
      if (open("F10")) fltktest::Keys(display, "Down Return");  // File, Exit
      next(1);
      if (open("alt")) {
        fltktest::Screenshot(display, "fltk_backend_menu_alt");
        fltktest::Keys(display, "Right Down Return");  // DAS, Add...
      }
      next(2);
      if (open("alt+d")) fltktest::Keys(display, "Down Down Return");  // DAS, Remove
      next(3);
      if (open("F10")) {
        const int nOpen = CountUntitledWindows();
        fltktest::Keys(display, "Escape");
        WaitFor([&] { return CountUntitledWindows() < nOpen; });
      }
      // The menu is closed and the dialog has the keys again.
      fltktest::Keys(display, "Escape");
      next(4);
      PostMessage(hDlg, WM_COMMAND, CMD_FINISH, 0);
    }).detach();
  };
  EXPECT_EQ(RunScript("DLG_DASLIST", s), 1);
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0], 101u);
  EXPECT_EQ(commands[1], 102u);
  EXPECT_EQ(commands[2], 103u);
  EXPECT_EQ(commands[3], static_cast<WPARAM>(IDCANCEL));
}

// A wake that finds the UI thread busy (it returns from its wait at once,
// having work anyway) must not leave its pointer in the toolkit's pipe. Left
// there, a long download's refreshes fill the pipe, and the next wake, which
// the core makes while holding its lock, blocks for good.
TEST(FltkWindows, WakesDoNotPileUpInThePipe) {
  NEED_DESKTOP();
  const UiBackend *pBackend = FltkBackendOpen();
  for (int i = 0; i < 2000; i++) {
    pBackend->pfnWake();
    pBackend->pfnWait();
  }
  EXPECT_LE(MostBytesInAPipe(), static_cast<int>(sizeof(void *)));
}

}  // namespace

#endif  // TANDREL_HAVE_FLTK
