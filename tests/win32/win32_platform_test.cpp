// The Windows platform layer against the real system (run under Wine on the
// build machine): dialogs from the program's templates in the system's own
// dialog manager, Winsock sockets that a close wakes, the C runtime's text
// and binary modes, the lock file, and the system's dial-up service.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/dialup.h"
#include "platform/dialup_script.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "platform/testhooks.h"
#include "platform/window.h"
#include "resources/resources.h"
#include "tests/support/testutil.h"

namespace {

std::string ClassOf(HWND h) {
  char sz[64] = {};
  ::GetClassNameA(h, sz, sizeof sz);
  return sz;
}

std::string TextOf(HWND h) {
  char sz[256] = {};
  ::GetWindowTextA(h, sz, sizeof sz);
  return sz;
}

// ---- Dialogs ----

struct EditRun {
  std::vector<std::string> problems;
  LRESULT nWorkerAnswer = 0;
  bool bInit = false;
};
EditRun *g_pRun = nullptr;

INT_PTR CALLBACK EditProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_INITDIALOG: {
      g_pRun->bInit = true;
      const DlgTemplate *t = FindDialogTemplate("DLG_DASEDIT");
      if (lParam != 4242) g_pRun->problems.push_back("lParam not passed on");
      if (TextOf(hDlg) != t->pszCaption) g_pRun->problems.push_back("caption " + TextOf(hDlg));
      for (int i = 0; i < t->nItems; i++) {
        const DlgItemTemplate &it = t->pItems[i];
        HWND hCtl = GetDlgItem(hDlg, it.nId);
        if (!hCtl) {
          g_pRun->problems.push_back("no control " + std::to_string(it.nId));
          continue;
        }
        if (_stricmp(ClassOf(hCtl).c_str(), it.pszClass) != 0)
          g_pRun->problems.push_back("class of " + std::to_string(it.nId) + ": " + ClassOf(hCtl));
        if (TextOf(hCtl) != it.pszText) g_pRun->problems.push_back("text of " + std::to_string(it.nId));
        // Each control where its template puts it: place and size in
        // dialog units, each converted on its own.
        RECT want = {it.x, it.y, it.cx, it.cy};
        ::MapDialogRect(hDlg, &want);
        RECT got;
        ::GetWindowRect(hCtl, &got);
        ::MapWindowPoints(nullptr, hDlg, reinterpret_cast<POINT *>(&got), 2);
        if (got.left != want.left || got.top != want.top || got.right - got.left != want.right ||
            got.bottom - got.top != want.bottom)
          g_pRun->problems.push_back("place of " + std::to_string(it.nId));
      }
      // The check box checks itself when clicked.
      CheckDlgButton(hDlg, 243, BST_UNCHECKED);
      SendDlgItemMessage(hDlg, 243, BM_CLICK, 0, 0);
      if (IsDlgButtonChecked(hDlg, 243) != BST_CHECKED) g_pRun->problems.push_back("check box");
      SetDlgItemText(hDlg, 242, "127.0.0.1:8080");
      // A worker sends to the dialog while its modal loop runs, then asks
      // it to close.
      std::thread([hDlg] {
        g_pRun->nWorkerAnswer = SendMessage(hDlg, WM_COMMAND, 5000, 0);
        PostMessage(hDlg, WM_CLOSE, 0, 0);
      }).detach();
      return TRUE;
    }
    case WM_COMMAND:
      if (wParam == 5000) {
        char sz[64];
        GetDlgItemText(hDlg, 242, sz, sizeof sz);
        // A dialog procedure answers a sent message through DWLP_MSGRESULT;
        // its own result only says "handled".
        ::SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, std::strcmp(sz, "127.0.0.1:8080") == 0 ? 77 : 1);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      EndDialog(hDlg, 31);
      return TRUE;
    default:
      return FALSE;
  }
}

TEST(Win32Dialog, TemplateControlsCrossThreadSendAndEnd) {
  EditRun run;
  g_pRun = &run;
  PlatUiInit(1);
  INT_PTR r = DialogBoxParam(PlatGetInstance(), "DLG_DASEDIT", nullptr, EditProc, 4242);
  g_pRun = nullptr;
  EXPECT_TRUE(run.bInit);
  EXPECT_EQ(r, 31);
  EXPECT_EQ(run.nWorkerAnswer, 77);
  for (const std::string &p : run.problems) ADD_FAILURE() << p;
  // An unknown template is the system's own failure.
  EXPECT_EQ(DialogBoxParam(PlatGetInstance(), "DLG_NONE", nullptr, EditProc, 0), -1);
}

// A worker's box over the progress dialog leaves the dialog taking input
// (its Cancel works), and the dialog's end answers the box.
struct BoxRun {
  std::atomic<int> nAnswer{0};
  std::atomic<int> nEnabledUnderBox{-1};
  std::thread worker, driver;
};
BoxRun *g_pBox = nullptr;

INT_PTR CALLBACK BoxOwnerProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM) {
  if (uMsg == WM_INITDIALOG) {
    PostMessage(hDlg, WM_COMMAND, 7100, 0);
    return TRUE;
  }
  if (uMsg == WM_COMMAND && wParam == 7100) {
    BoxRun *p = g_pBox;
    p->worker = std::thread([p, hDlg] {
      p->nAnswer = MessageBox(hDlg, "Unexpected server response", "Error: download line 9", MB_ICONHAND);
    });
    p->driver = std::thread([p, hDlg] {
      HWND hBox = nullptr;
      for (int i = 0; i < 1000 && !hBox; i++, ::Sleep(10))
        hBox = ::FindWindowA("#32770", "Error: download line 9");
      // Found as soon as it is made; its owner is disabled until it shows.
      for (int i = 0; hBox && i < 300 && !(::IsWindowVisible(hBox) && IsWindowEnabled(hDlg)); i++)
        ::Sleep(10);
      if (hBox) p->nEnabledUnderBox = IsWindowEnabled(hDlg) ? 1 : 0;
      PostMessage(hDlg, WM_COMMAND, 241, 0);  // Cancel
    });
    return TRUE;
  }
  if (uMsg == WM_COMMAND && wParam == 241) {
    EndDialog(hDlg, 0);
    return TRUE;
  }
  return FALSE;
}

TEST(Win32Dialog, WorkerBoxLeavesCancelWorkingAndIsAnsweredByIt) {
  PlatUiInit(1);
  BoxRun run;
  g_pBox = &run;
  DialogBoxParam(PlatGetInstance(), "DLG_DOWNLOAD", nullptr, BoxOwnerProc, 0);
  g_pBox = nullptr;
  run.driver.join();
  for (int i = 0; i < 1000 && !run.nAnswer.load(); i++) ::Sleep(10);
  EXPECT_EQ(run.nEnabledUnderBox.load(), 1) << "the worker's box disabled the progress dialog";
  EXPECT_EQ(run.nAnswer.load(), IDOK) << "the box outlived its dialog";
  if (run.nAnswer.load()) run.worker.join();
  else run.worker.detach();
}

struct MainRun {
  std::vector<std::string> problems;
  std::vector<std::string> items;
  HWND hFound = nullptr;
  INT_PTR nOwned = 0;
};
MainRun *g_pMain = nullptr;

// A progress dialog over the main window: found by its template, with the
// program's icon, its owner disabled while it runs.
INT_PTR CALLBACK OwnedProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  static HWND hOwner = nullptr;
  if (uMsg == WM_INITDIALOG) {
    hOwner = reinterpret_cast<HWND>(lParam);
    PostMessage(hDlg, WM_COMMAND, 7000, 0);
    return TRUE;
  }
  if (uMsg == WM_COMMAND && wParam == 7000) {
    if (FindWindowByTemplate("DLG_DOWNLOAD") != hDlg) g_pMain->problems.push_back("owned dialog not found");
    if (IsWindowEnabled(hOwner)) g_pMain->problems.push_back("owner still enabled");
    if (!::SendMessageA(hDlg, WM_GETICON, ICON_BIG, 0)) g_pMain->problems.push_back("owned icon");
    EndDialog(hDlg, 5);
    return TRUE;
  }
  return FALSE;
}

LRESULT CALLBACK MainProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  switch (uMsg) {
    case WM_INITDIALOG:
      // Sorted list with tab stops, as the main window fills it.
      SendDlgItemMessage(hWnd, 202, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("DAS2\tb"));
      SendDlgItemMessage(hWnd, 202, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("das1\ta"));
      SendDlgItemMessage(hWnd, 202, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("DAS3\tc"));
      PostMessage(hWnd, WM_COMMAND, 6000, 0);
      return TRUE;
    case WM_COMMAND:
      if (wParam == 6000) {
        // Posted: runs once the window is shown.
        g_pMain->hFound = FindWindowByTemplate("DLG_DASLIST");
        HMENU hMenu = ::GetMenu(hWnd);
        char sz[32] = {};
        if (!hMenu || ::GetMenuItemCount(hMenu) != 2) g_pMain->problems.push_back("menu bar");
        else {
          ::GetMenuStringA(hMenu, 1, sz, sizeof sz, MF_BYPOSITION);
          if (std::string(sz) != "DAS") g_pMain->problems.push_back(std::string("second menu ") + sz);
          if (::GetMenuItemCount(::GetSubMenu(hMenu, 1)) != 2) g_pMain->problems.push_back("DAS menu");
        }
        // The client area has the template's size although the menu bar
        // came after the window.
        const DlgTemplate *t = FindDialogTemplate("DLG_DASLIST");
        RECT want = {0, 0, t->cx, t->cy};
        ::MapDialogRect(hWnd, &want);
        RECT got;
        ::GetClientRect(hWnd, &got);
        if (got.right != want.right || got.bottom != want.bottom)
          g_pMain->problems.push_back("client area " + std::to_string(got.right) + "x" +
                                      std::to_string(got.bottom));
        if (!::SendMessageA(hWnd, WM_GETICON, ICON_BIG, 0)) g_pMain->problems.push_back("icon");
        int n = static_cast<int>(SendDlgItemMessage(hWnd, 202, LB_GETCOUNT, 0, 0));
        for (int i = 0; i < n; i++) {
          char item[64] = {};
          SendDlgItemMessage(hWnd, 202, LB_GETTEXT, i, reinterpret_cast<LPARAM>(item));
          g_pMain->items.push_back(item);
        }
        g_pMain->nOwned = DialogBoxParam(PlatGetInstance(), "DLG_DOWNLOAD", hWnd, OwnedProc,
                                         reinterpret_cast<LPARAM>(hWnd));
        if (!IsWindowEnabled(hWnd)) g_pMain->problems.push_back("owner left disabled");
        SendMessage(hWnd, WM_CLOSE, 0, 0);
      }
      return 0;
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProc(hWnd, uMsg, wParam, lParam);
  }
}

TEST(Win32Dialog, ClassWindowWithMenuIconAndSortedList) {
  MainRun run;
  g_pMain = &run;
  PlatUiInit(1);
  WNDCLASSEX wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = MainProc;
  wc.cbWndExtra = DLGWINDOWEXTRA;
  wc.hInstance = PlatGetInstance();
  wc.hIcon = LoadIcon(PlatGetInstance(), "ICON_MAIN");
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_MENU + 1);
  wc.lpszClassName = "DLG_DASLIST";
  EXPECT_NE(wc.hIcon, nullptr);
  ASSERT_NE(RegisterClassEx(&wc), 0);
  EXPECT_EQ(RegisterClassEx(&wc), 0);  // once per run
  DialogBoxParam(PlatGetInstance(), "DLG_DASLIST", nullptr, MainProc, 0);
  g_pMain = nullptr;
  for (const std::string &p : run.problems) ADD_FAILURE() << p;
  EXPECT_NE(run.hFound, nullptr);
  EXPECT_EQ(run.nOwned, 5);
  EXPECT_EQ(run.items, (std::vector<std::string>{"das1\ta", "DAS2\tb", "DAS3\tc"}));
  // The quit that ended the window is still queued: take it away so that
  // later dialogs of this process run.
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
  }
}

// ---- Sockets ----

struct Listener {
  ::SOCKET s = INVALID_SOCKET;
  unsigned short nPort = 0;
  Listener() {
    s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    ::listen(s, 4);
    int n = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&sa), &n);
    nPort = ntohs(sa.sin_port);
  }
  ~Listener() { ::closesocket(s); }
};

class Win32Sock : public ::testing::Test {
 protected:
  void SetUp() override {
    unsigned short v = 0;
    ASSERT_EQ(PlatSockStartup(0x0202, &v), 0);
    EXPECT_EQ(v, 0x0202);
  }
  void TearDown() override { PlatSockCleanup(); }
};

TEST_F(Win32Sock, CloseFromAnotherThreadWakesABlockedReceive) {
  Listener l;
  SOCKET s = PlatSocket();
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_EQ(PlatConnect(s, PlatInetAddr("127.0.0.1"), l.nPort), 0);
  ::SOCKET peer = ::accept(l.s, nullptr, nullptr);
  ASSERT_NE(peer, INVALID_SOCKET);
  ::send(peer, "ab", 2, 0);
  char buf[8];
  EXPECT_EQ(PlatRecv(s, buf, 1), 1);
  EXPECT_EQ(PlatRecv(s, buf, 8), 1);  // the rest of what was buffered
  std::atomic<long> nResult{1};
  std::atomic<int> nErr{0};
  std::thread t([&] {
    nResult = PlatRecv(s, buf, sizeof buf);  // nothing more comes
    nErr = PlatSockLastError();
  });
  // Close only once the worker is inside the receive (or about to be).
  ::Sleep(100);
  EXPECT_EQ(PlatCloseSocket(s), 0);
  t.join();
  EXPECT_EQ(nResult.load(), SOCKET_ERROR);
  EXPECT_EQ(nErr.load(), WSAEINTR);
  // The id is dead for good.
  EXPECT_EQ(PlatRecv(s, buf, 1), SOCKET_ERROR);
  EXPECT_EQ(PlatSockLastError(), WSAENOTSOCK);
  ::closesocket(peer);
}

// A look-up that answers only once the test lets it.
std::atomic<bool> g_bLookupReleased{false};
int HeldLookup(const char *, unsigned short nPort, PlatAddrList *pList) {
  while (!g_bLookupReleased.load()) ::Sleep(10);
  pList->nAddrs = 1;
  pList->aAddr[0] = PlatAddr{PLAT_AF_INET, {127, 0, 0, 1}, nPort};
  return 0;
}

// Names through Winsock's resolver; a look-up that does not answer is
// bounded by its limit and ended by a close of the caller's socket.
TEST_F(Win32Sock, ResolveAnswersGivesUpAndIsCancelled) {
  SOCKET s = PlatSocket();
  PlatAddrList list{};
  ASSERT_EQ(PlatResolve(s, "localhost", 8080, 5000, &list), 0);
  ASSERT_GE(list.nAddrs, 1);
  EXPECT_EQ(list.aAddr[0].nPort, 8080);
  EXPECT_EQ(PlatResolve(s, "unit.invalid", 80, 5000, &list), SOCKET_ERROR);
  EXPECT_EQ(PlatSockLastError(), PLAT_EHOSTNOTFOUND);

  PlatSetLookup(HeldLookup);
  EXPECT_EQ(PlatResolve(s, "unit.example", 80, 200, &list), SOCKET_ERROR);
  EXPECT_EQ(PlatSockLastError(), PLAT_ETIMEDOUT);
  std::atomic<int> nResult{0};
  std::thread t([&] {
    PlatAddrList l{};
    nResult = PlatResolve(s, "unit.example", 80, 600000, &l);
  });
  ::Sleep(100);
  EXPECT_EQ(PlatCloseSocket(s), 0);
  t.join();
  EXPECT_EQ(nResult.load(), SOCKET_ERROR);
  g_bLookupReleased = true;
  s = PlatSocket();
  EXPECT_EQ(PlatResolve(s, "unit.example", 81, 5000, &list), 0);
  char sz[64];
  PlatAddrText(&list.aAddr[0], sz, sizeof sz);
  EXPECT_STREQ(sz, "127.0.0.1:81");
  PlatCloseSocket(s);
  PlatSetLookup(nullptr);
}

TEST_F(Win32Sock, RefusedTimedOutAndOrderlyEnd) {
  unsigned short nFree;
  {
    Listener l;
    nFree = l.nPort;
  }
  SOCKET s = PlatSocket();
  EXPECT_EQ(PlatConnect(s, PlatInetAddr("127.0.0.1"), nFree), SOCKET_ERROR);
  EXPECT_EQ(PlatSockLastError(), WSAECONNREFUSED);
  PlatCloseSocket(s);
  EXPECT_EQ(PlatConnect(PlatSocket(), PlatInetAddr("not an address"), 80), SOCKET_ERROR);

  Listener l;
  s = PlatSocket();
  ASSERT_EQ(PlatConnect(s, PlatInetAddr("127.0.0.1"), l.nPort), 0);
  ::SOCKET peer = ::accept(l.s, nullptr, nullptr);
  ASSERT_EQ(PlatSetRecvTimeout(s, 200), 0);
  char buf[64];
  EXPECT_EQ(PlatRecv(s, buf, sizeof buf), SOCKET_ERROR);
  EXPECT_EQ(PlatSockLastError(), WSAETIMEDOUT);
  const char req[] = "GET / HTTP/1.0\r\n\r\n";
  EXPECT_EQ(PlatSend(s, req, sizeof req - 1), (long)(sizeof req - 1));
  char got[64] = {};
  EXPECT_EQ(::recv(peer, got, sizeof got, 0), (int)(sizeof req - 1));
  ::send(peer, "done", 4, 0);
  ::closesocket(peer);
  std::string all;
  long n;
  while ((n = PlatRecv(s, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(all, "done");
  PlatCloseSocket(s);
}

// ---- Files ----

TEST(Win32File, RuntimeTextAndBinaryModes) {
  TempDir dir;
  int h = PlatOpen("dir-less.txt", P_O_WRONLY | P_O_CREAT | P_O_TRUNC, P_S_IREAD | P_S_IWRITE);
  ASSERT_GE(h, 0);
  EXPECT_EQ(PlatWrite(h, "a\nb\r\nc", 6), 6);
  PlatClose(h);
  // Each LF went out as CR LF; a CR already there stays.
  EXPECT_EQ(ReadFileBytes(dir.File("dir-less.txt")), "a\r\nb\r\r\nc");

  // Every CR goes in text mode, a lone one too.
  WriteFileBytes(dir.File("in.txt"), std::string("one\r\ntw\ro\r\nthree\x1a" "after"));
  h = PlatOpen("in.txt", P_O_RDONLY);
  char line[64];
  std::vector<std::string> lines;
  while (PlatReadLine(h, line, sizeof line)) lines.push_back(line);
  PlatClose(h);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three"}));

  h = PlatOpen("in.txt", P_O_RDONLY | P_O_BINARY);
  char all[64];
  long n = PlatRead(h, all, sizeof all);
  PlatClose(h);
  EXPECT_EQ(std::string(all, static_cast<std::size_t>(n > 0 ? n : 0)),
            std::string("one\r\ntw\ro\r\nthree\x1a" "after"));

  // Backslash paths, replace by rename, sorted listing, the size.
  ASSERT_EQ(PlatMkdir("unit"), 0);
  WriteFileBytes(dir.File("unit/b.log"), "new");
  WriteFileBytes(dir.File("unit/a.log"), "old!");
  EXPECT_EQ(PlatRename("unit\\b.log", "unit\\a.log"), 0);
  EXPECT_EQ(ReadFileBytes(dir.File("unit/a.log")), "new");
  std::vector<std::string> names;
  WriteFileBytes(dir.File("unit/C.ini"), "x");
  EXPECT_EQ(PlatListDir("unit", &names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"C.ini", "a.log"}));
  EXPECT_EQ(PlatFileSize("unit\\a.log"), 3);
  PlatFileInfo info{};
  EXPECT_EQ(PlatStat("unit", &info), 0);
  EXPECT_EQ(info.bDir, 1);
  EXPECT_EQ(PlatOpen("unit\\missing.log", P_O_RDONLY), -1);
  EXPECT_EQ(PlatErrno(), PLAT_ENOENT);
  EXPECT_EQ(PlatOpen("unit\\a.log", P_O_WRONLY | P_O_CREAT | P_O_EXCL, P_S_IWRITE), -1);
  EXPECT_EQ(PlatErrno(), PLAT_EEXIST);

  // A file another program holds open without sharing: said to be in use.
  HANDLE hHeld = ::CreateFileA((dir.Path() + "\\unit\\a.log").c_str(), GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);
  EXPECT_EQ(PlatOpen("unit\\a.log", P_O_WRONLY | P_O_APPEND | P_O_BINARY), -1);
  EXPECT_NE(std::string(PlatStrError(PlatErrno())).find("in use"), std::string::npos)
      << PlatErrno() << " " << PlatStrError(PlatErrno());
  ::CloseHandle(hHeld);

  // Append, then cut back.
  h = PlatOpen("unit\\a.log", P_O_WRONLY | P_O_APPEND | P_O_BINARY);
  EXPECT_EQ(PlatWrite(h, "er", 2), 2);
  EXPECT_EQ(PlatTruncate(h, 2), 0);
  PlatClose(h);
  EXPECT_EQ(ReadFileBytes(dir.File("unit/a.log")), "ne");
}

TEST(Win32File, LockIsHeldAgainstEveryOtherOpener) {
  TempDir dir;
  long lHolder = -1;
  EXPECT_EQ(PlatLockFile("tandreldl.lock", &lHolder), 1);
  EXPECT_EQ(lHolder, 0);
  // A second taker (here: a second handle of the same process) is refused
  // and told who holds it.
  EXPECT_EQ(PlatLockFile("tandreldl.lock", &lHolder), 0);
  EXPECT_EQ(lHolder, static_cast<long>(::GetCurrentProcessId()));
}

// ---- Dial-up ----

TEST(Win32Dialup, SystemServiceFailsCleanlyAndScriptReplacesIt) {
  RasUseDefault();
  RASDIALPARAMS params{};
  params.dwSize = sizeof params;
  std::strcpy(params.szPhoneNumber, "0123456789");
  HRASCONN h = nullptr;
  // No modem here: the system's service refuses (the code is its own).
  unsigned long nResult = RasDial(nullptr, nullptr, &params, 0, nullptr, &h);
  EXPECT_NE(nResult, 0u);
  char sz[256] = {};
  EXPECT_EQ(RasGetErrorString(ERROR_LINE_BUSY, sz, sizeof sz), 0u);
  EXPECT_NE(sz[0], 0);
  if (h) RasHangUp(h);

  static std::atomic<int> nLastState{-1};
  const RasScriptStep steps[] = {{RASCS_OpenPort, 0, 10}, {RASCS_Connected, 0, 10}};
  RasUseScript(steps, 2);
  h = nullptr;
  ASSERT_EQ(RasDial(nullptr, nullptr, &params, 0,
                    [](unsigned int, int nState, unsigned long) { nLastState = nState; }, &h),
            0u);
  ASSERT_EQ(RasWaitIdle(60000), 1);
  EXPECT_EQ(nLastState.load(), RASCS_Connected);
  RASCONNSTATUS status{};
  status.dwSize = sizeof status;
  EXPECT_EQ(RasGetConnectStatus(h, &status), 0u);
  EXPECT_EQ(status.rasconnstate, RASCS_Connected);
  EXPECT_EQ(RasHangUp(h), 0u);
  EXPECT_EQ(RasHangUpsDone(), 1);
  RasUseDefault();
}

}  // namespace
