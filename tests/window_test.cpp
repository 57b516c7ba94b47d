// The window layer, headless backend: dialogs from templates, controls, list
// boxes, modal runs, posted and cross-thread messages, message boxes and the
// live progress line.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/testhooks.h"
#include "platform/ui/backend.h"
#include "platform/window.h"
#include "resources/resources.h"

namespace {

// What the procedures under test saw. Written on the UI thread, read by the
// test after the run (or through the window layer's thread-safe calls).
struct Seen {
  std::vector<UINT> msgs;
  std::vector<WPARAM> commands;
  std::vector<std::thread::id> threads;
  LPARAM initParam = 0;
  HWND hDlg = nullptr;
};
Seen g_seen;
std::mutex g_seenMx;

void Record(UINT uMsg, WPARAM wParam) {
  std::lock_guard<std::mutex> lk(g_seenMx);
  g_seen.msgs.push_back(uMsg);
  g_seen.threads.push_back(std::this_thread::get_id());
  if (uMsg == WM_COMMAND) g_seen.commands.push_back(wParam);
}

// A dialog procedure with the progress dialog's manners: 176 answers 4242,
// 241 ends the dialog with 7, WM_CLOSE ends it with 0.
INT_PTR TestDialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  Record(uMsg, wParam);
  switch (uMsg) {
    case WM_INITDIALOG:
      g_seen.initParam = lParam;
      g_seen.hDlg = hDlg;
      return TRUE;
    case WM_COMMAND:
      if (wParam == 176) return 4242;
      if (LOWORD(wParam) == 241) {
        EndDialog(hDlg, 7);
        return TRUE;
      }
      return FALSE;
    case WM_CLOSE:
      EndDialog(hDlg, 0);
      return TRUE;
  }
  return FALSE;
}

void ResetSeen() {
  std::lock_guard<std::mutex> lk(g_seenMx);
  g_seen = Seen{};
}

// Runs fn on a second thread while the test's thread runs the dialog.
template <class F>
INT_PTR RunDialogWith(const char *pszTemplate, DLGPROC pProc, LPARAM lParam, F fn) {
  std::thread driver([&] {
    HWND h = WaitForWindow(pszTemplate, 10000);
    fn(h);
    // A failed expectation must not leave the dialog running for ever.
    if (h) PostMessage(h, WM_CLOSE, 0, 0);
  });
  INT_PTR r = DialogBoxParam(PlatGetInstance(), pszTemplate, nullptr, pProc, lParam);
  driver.join();
  return r;
}

TEST(WindowTemplates, DialogsHaveTheControlsOfTheirTemplates) {
  const DlgTemplate *t = FindDialogTemplate("DLG_DASEDIT");
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t->pszCaption, "Edit DAS Settings");
  EXPECT_STREQ(t->pszFont, "Helv");
  EXPECT_EQ(t->nPointSize, 8);
  EXPECT_EQ(t->cx, 200);
  EXPECT_EQ(t->cy, 103);
  ASSERT_EQ(t->nItems, 9);
  EXPECT_EQ(t->pItems[0].nId, 242);
  EXPECT_EQ(t->pItems[2].nId, 243);
  EXPECT_EQ(t->pItems[2].dwStyle & BS_TYPEMASK, BS_AUTOCHECKBOX);
  const DlgTemplate *m = FindDialogTemplate("DLG_DASLIST");
  ASSERT_NE(m, nullptr);
  EXPECT_STREQ(m->pszClass, "DLG_DASLIST");
  EXPECT_STREQ(m->pszMenu, "MNU_MAINWINDOW");
  EXPECT_EQ(m->pszFont, nullptr);
  EXPECT_NE(m->pItems[1].dwStyle & LBS_SORT, 0u);
  const MenuTemplate *menu = FindMenuTemplate("MNU_MAINWINDOW");
  ASSERT_NE(menu, nullptr);
  ASSERT_EQ(menu->nItems, 3);
  EXPECT_STREQ(menu->pItems[1].pszText, "Add...");
  EXPECT_EQ(menu->pItems[2].nCommand, 103);
  const IconResource *icon = FindIconResource("ICON_MAIN");
  ASSERT_NE(icon, nullptr);
  ASSERT_GT(icon->nPngSize, 8u);
  EXPECT_EQ(std::memcmp(icon->pPng, "\x89PNG", 4), 0);
  EXPECT_EQ(FindDialogTemplate("DLG_NONE"), nullptr);
  EXPECT_EQ(DialogBoxParam(PlatGetInstance(), "DLG_NONE", nullptr, TestDialogProc, 0), -1);
}

TEST(WindowModal, InitParamControlsAndEndResult) {
  ResetSeen();
  std::string before231;
  INT_PTR r = RunDialogWith("DLG_DOWNLOAD", TestDialogProc, 99, [&](HWND h) {
    ASSERT_NE(h, nullptr);
    char buf[64];
    GetDlgItemText(h, 231, buf, sizeof buf);
    before231 = buf;
    GetWindowText(h, buf, sizeof buf);
    EXPECT_STREQ(buf, "Download Progress");
    EXPECT_TRUE(SetDlgItemText(h, 232, "Downloaded 1234 bytes"));
    GetDlgItemText(h, 232, buf, 11);  // cut to the capacity
    EXPECT_STREQ(buf, "Downloaded");
    EXPECT_FALSE(SetDlgItemText(h, 999, "x"));
    PostMessage(h, WM_COMMAND, MAKEWPARAM(241, BN_CLICKED), 0);
  });
  EXPECT_EQ(r, 7);
  EXPECT_EQ(before231, "Filename:");
  EXPECT_EQ(g_seen.initParam, 99);
  ASSERT_FALSE(g_seen.msgs.empty());
  EXPECT_EQ(g_seen.msgs.front(), (UINT)WM_INITDIALOG);
  EXPECT_EQ(g_seen.msgs.back(), (UINT)WM_DESTROY);
  EXPECT_FALSE(IsWindow(g_seen.hDlg));
  EXPECT_EQ(FindWindowByTemplate("DLG_DOWNLOAD"), nullptr);
}

TEST(WindowModal, CheckBoxAndEditFields) {
  ResetSeen();
  RunDialogWith("DLG_DASEDIT", TestDialogProc, 0, [&](HWND h) {
    EXPECT_EQ(IsDlgButtonChecked(h, 243), (UINT)BST_UNCHECKED);
    CheckDlgButton(h, 243, BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(h, 243), (UINT)BST_CHECKED);
    EXPECT_EQ(SendDlgItemMessage(h, 243, BM_GETCHECK, 0, 0), BST_CHECKED);
    SetDlgItemText(h, 242, "10.0.0.1");
    char buf[32];
    EXPECT_EQ(GetDlgItemText(h, 242, buf, sizeof buf), 8u);
    EXPECT_STREQ(buf, "10.0.0.1");
    // A button is no check box.
    CheckDlgButton(h, 240, BST_CHECKED);
    EXPECT_EQ(IsDlgButtonChecked(h, 240), (UINT)BST_UNCHECKED);
    PostMessage(h, WM_CLOSE, 0, 0);
  });
}

TEST(WindowListBox, SortedInsertDeleteSelectionAndData) {
  ResetSeen();
  RunDialogWith("DLG_DASLIST", TestDialogProc, 0, [&](HWND h) {
    HWND hList = GetDlgItem(h, 202);
    ASSERT_NE(hList, nullptr);
    // Empty list: no selection possible.
    EXPECT_EQ(SendMessage(hList, LB_SETCURSEL, 0, 0), LB_ERR);
    EXPECT_EQ(SendMessage(hList, LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_EQ(SendMessage(hList, LB_GETITEMDATA, 0, 0), LB_ERR);
    EXPECT_EQ(SendMessage(hList, LB_ADDSTRING, 0, (LPARAM) "beta"), 0);
    EXPECT_EQ(SendMessage(hList, LB_ADDSTRING, 0, (LPARAM) "Alpha"), 0);
    EXPECT_EQ(SendMessage(hList, LB_ADDSTRING, 0, (LPARAM) "GAMMA"), 2);
    EXPECT_EQ(SendMessage(hList, LB_ADDSTRING, 0, (LPARAM) "delta"), 2);
    EXPECT_EQ(SendMessage(hList, LB_SETITEMDATA, 2, 0x1234), TRUE);
    EXPECT_EQ(SendMessage(hList, LB_SETITEMDATA, 9, 0x1234), LB_ERR);
    EXPECT_EQ(SendMessage(hList, LB_GETITEMDATA, 2, 0), 0x1234);
    EXPECT_EQ(SendMessage(hList, LB_GETCOUNT, 0, 0), 4);
    // Selection follows its item when items are added before it.
    EXPECT_EQ(SendMessage(hList, LB_SETCURSEL, 2, 0), 2);
    SendMessage(hList, LB_ADDSTRING, 0, (LPARAM) "aardvark");
    EXPECT_EQ(SendMessage(hList, LB_GETCURSEL, 0, 0), 3);
    // Insertion at an index does not sort.
    EXPECT_EQ(SendMessage(hList, LB_INSERTSTRING, 0, (LPARAM) "zzz"), 0);
    EXPECT_EQ(SendMessage(hList, LB_INSERTSTRING, (WPARAM)-1, (LPARAM) "aaa"), 6);
    EXPECT_EQ(SendMessage(hList, LB_INSERTSTRING, 99, (LPARAM) "x"), LB_ERR);
    std::vector<std::string> items;
    int nSel = -2;
    ASSERT_TRUE(UiGetListState(hList, &items, &nSel, nullptr));
    std::vector<std::string> want = {"zzz", "aardvark", "Alpha", "beta", "delta", "GAMMA", "aaa"};
    EXPECT_EQ(items, want);
    EXPECT_EQ(nSel, 4);
    char buf[32];
    EXPECT_EQ(SendMessage(hList, LB_GETTEXTLEN, 4, 0), 5);
    EXPECT_EQ(SendMessage(hList, LB_GETTEXT, 4, (LPARAM)buf), 5);
    EXPECT_STREQ(buf, "delta");
    EXPECT_EQ(SendMessage(hList, LB_GETITEMDATA, 4, 0), 0x1234);
    // Deleting the selected item leaves no selection.
    EXPECT_EQ(SendMessage(hList, LB_DELETESTRING, 4, 0), 6);
    EXPECT_EQ(SendMessage(hList, LB_GETCURSEL, 0, 0), LB_ERR);
    EXPECT_EQ(SendMessage(hList, LB_DELETESTRING, 6, 0), LB_ERR);
    EXPECT_EQ(SendMessage(hList, LB_SETCURSEL, 6, 0), LB_ERR);
    EXPECT_EQ(SendMessage(hList, LB_SETCARETINDEX, 5, 0), 0);
    EXPECT_EQ(SendMessage(hList, LB_SETCARETINDEX, 6, 0), LB_ERR);
    // The selection follows its item when an item above it goes, and stays
    // when one below it goes.
    EXPECT_EQ(SendMessage(hList, LB_SETCURSEL, 4, 0), 4);
    EXPECT_EQ(SendMessage(hList, LB_DELETESTRING, 1, 0), 5);
    EXPECT_EQ(SendMessage(hList, LB_GETCURSEL, 0, 0), 3);
    EXPECT_EQ(SendMessage(hList, LB_DELETESTRING, 4, 0), 4);
    EXPECT_EQ(SendMessage(hList, LB_GETCURSEL, 0, 0), 3);
    char gamma[8];
    SendMessage(hList, LB_GETTEXT, 3, (LPARAM)gamma);
    EXPECT_STREQ(gamma, "GAMMA");
    int tabs[4] = {8, 8, 8, 8};
    SendMessage(hList, LB_SETTABSTOPS, 4, (LPARAM)tabs);
    std::vector<int> got;
    UiGetListState(hList, nullptr, nullptr, &got);
    EXPECT_EQ(got, std::vector<int>({8, 8, 8, 8}));
    PostMessage(h, WM_CLOSE, 0, 0);
  });
}

TEST(WindowMessages, CrossThreadSendRunsOnTheUiThreadAndReturnsTheResult) {
  ResetSeen();
  std::thread::id ui = std::this_thread::get_id();
  LRESULT r176 = 0;
  RunDialogWith("DLG_DOWNLOAD", TestDialogProc, 0, [&](HWND h) {
    r176 = SendMessage(h, WM_COMMAND, 176, 0);
    SendMessage(h, WM_CLOSE, 0, 0);
    // The dialog has ended: a further send is not run and comes back with 0.
    EXPECT_EQ(SendMessage(h, WM_COMMAND, 176, 0), 0);
  });
  EXPECT_EQ(r176, 4242);
  for (std::thread::id t : g_seen.threads) EXPECT_EQ(t, ui);
}

TEST(WindowMessages, SendToAGoneWindowReturnsZeroAtOnce) {
  ResetSeen();
  HWND hGone = nullptr;
  RunDialogWith("DLG_DOWNLOAD", TestDialogProc, 0, [&](HWND h) {
    hGone = h;
    PostMessage(h, WM_CLOSE, 0, 0);
  });
  ASSERT_NE(hGone, nullptr);
  EXPECT_FALSE(IsWindow(hGone));
  EXPECT_EQ(SendMessage(hGone, WM_COMMAND, 176, 0), 0);
  EXPECT_FALSE(PostMessage(hGone, WM_CLOSE, 0, 0));
  LRESULT rOther = -1;
  std::thread t([&] { rOther = SendMessage(hGone, WM_COMMAND, 176, 0); });
  t.join();
  EXPECT_EQ(rOther, 0);
  EXPECT_EQ(SendMessage(nullptr, WM_CLOSE, 0, 0), 0);
  // A new dialog never gets the old number.
  RunDialogWith("DLG_DOWNLOAD", TestDialogProc, 0, [&](HWND h) {
    EXPECT_NE(h, hGone);
    PostMessage(h, WM_CLOSE, 0, 0);
  });
}

// Blocks the UI thread inside a handler until the worker's send is queued,
// then ends the dialog: the waiting send must come back with 0.
std::atomic<int> g_blockStage{0};
INT_PTR BlockingProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM) {
  if (uMsg == WM_COMMAND && wParam == 500) {
    g_blockStage = 1;
    while (g_blockStage.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Give the worker's send time to be queued behind this handler.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EndDialog(hDlg, 3);
    return TRUE;
  }
  if (uMsg == WM_COMMAND && wParam == 176) return 4242;
  return FALSE;
}

TEST(WindowMessages, SendWaitingWhileTheWindowGoesReturnsZero) {
  g_blockStage = 0;
  LRESULT rSend = -1;
  std::thread sender;
  INT_PTR r = RunDialogWith("DLG_DOWNLOAD", BlockingProc, 0, [&](HWND h) {
    PostMessage(h, WM_COMMAND, 500, 0);
    while (g_blockStage.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    sender = std::thread([&rSend, h] { rSend = SendMessage(h, WM_COMMAND, 176, 0); });
    g_blockStage = 2;
  });
  sender.join();
  EXPECT_EQ(r, 3);
  EXPECT_EQ(rSend, 0);
}

// A send from another thread is run before the messages posted ahead of it:
// a worker waiting for an answer must not wait for the whole queue.
std::vector<std::string> g_order;
INT_PTR OrderProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM) {
  if (uMsg == WM_CLOSE) {
    EndDialog(hDlg, 0);
    return TRUE;
  }
  if (uMsg != WM_COMMAND) return FALSE;
  if (wParam == 800) {
    g_blockStage = 1;
    while (g_blockStage.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Give the worker's send time to be queued behind the posted ones.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  g_order.push_back(std::to_string(wParam));
  return TRUE;
}

TEST(WindowMessages, SendOvertakesMessagesPostedBeforeIt) {
  g_blockStage = 0;
  g_order.clear();
  RunDialogWith("DLG_DOWNLOAD", OrderProc, 0, [&](HWND h) {
    PostMessage(h, WM_COMMAND, 800, 0);
    while (g_blockStage.load() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    PostMessage(h, WM_COMMAND, 801, 0);
    PostMessage(h, WM_COMMAND, 802, 0);
    std::thread sender([h] {
      g_blockStage = 2;
      SendMessage(h, WM_COMMAND, 803, 0);
    });
    sender.join();
  });
  std::vector<std::string> want = {"800", "803", "801", "802"};
  EXPECT_EQ(g_order, want);
}

// Posted messages wait for the running handler; a nested modal dialog keeps
// its owner disabled and still serves messages for the owner.
HWND g_outer = nullptr;
INT_PTR NestedProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM) {
  if (uMsg == WM_INITDIALOG && !g_outer) g_outer = hDlg;
  if (uMsg != WM_COMMAND) {
    if (uMsg == WM_CLOSE) {
      EndDialog(hDlg, 0);
      return TRUE;
    }
    return FALSE;
  }
  if (wParam == 600) {
    PostMessage(hDlg, WM_COMMAND, 601, 0);
    g_order.push_back("600 end");
  } else if (wParam == 601) {
    g_order.push_back("601");
  } else if (wParam == 700) {
    g_order.push_back("nested start");
    EXPECT_TRUE(IsWindowEnabled(g_outer));
    DialogBoxParam(PlatGetInstance(), "DLG_DASEDIT", g_outer, NestedProc, 0);
    EXPECT_TRUE(IsWindowEnabled(g_outer));
    g_order.push_back("nested end");
  } else if (wParam == 701) {
    g_order.push_back(hDlg == g_outer ? "701 outer" : "701 inner");
  }
  return TRUE;
}

TEST(WindowMessages, PostedRunAfterHandlerAndNestedDialogDisablesOwner) {
  g_order.clear();
  g_outer = nullptr;
  // Not the main window's template: its class may be registered by now.
  RunDialogWith("DLG_DOWNLOAD", NestedProc, 0, [&](HWND h) {
    SendMessage(h, WM_COMMAND, 600, 0);
    PostMessage(h, WM_COMMAND, 700, 0);
    HWND hInner = WaitForWindow("DLG_DASEDIT", 10000);
    ASSERT_NE(hInner, nullptr);
    EXPECT_FALSE(IsWindowEnabled(h));
    EXPECT_EQ(GetTopWindow(nullptr), hInner);
    // A message for the disabled owner still reaches it, inside the inner loop.
    SendMessage(h, WM_COMMAND, 701, 0);
    PostMessage(hInner, WM_CLOSE, 0, 0);
    while (IsWindow(hInner)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    PostMessage(h, WM_CLOSE, 0, 0);
  });
  std::vector<std::string> want = {"600 end", "601", "nested start", "701 outer", "nested end"};
  EXPECT_EQ(g_order, want);
  EXPECT_EQ(GetTopWindow(nullptr), nullptr);
}

// A registered class takes over the template's window: the class procedure
// gets the messages, DefWindowProc closes by destruction, and the quit
// message ends the run.
std::vector<UINT> g_classMsgs;
LRESULT ClassProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  g_classMsgs.push_back(uMsg);
  if (uMsg == WM_INITDIALOG) return TRUE;
  if (uMsg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProc(hWnd, uMsg, wParam, lParam);
}

INT_PTR NeverCalledProc(HWND, UINT, WPARAM, LPARAM) {
  ADD_FAILURE() << "the dialog procedure must not be called for a class window";
  return FALSE;
}

TEST(WindowClass, ClassProcedureDefaultCloseAndQuit) {
  WNDCLASSEX wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = ClassProc;
  wc.lpszClassName = "DLG_DASLIST";
  // The class may be registered by another test of this program already; a
  // second registration fails like the original platform's.
  unsigned short a = RegisterClassEx(&wc);
  if (!a) GTEST_SKIP() << "class registered elsewhere in this process";
  EXPECT_EQ(RegisterClassEx(&wc), 0);
  g_classMsgs.clear();
  HWND hMain = nullptr;
  RunDialogWith("DLG_DASLIST", NeverCalledProc, 0, [&](HWND h) {
    hMain = h;
    SetWindowText(h, "Caption");
    char buf[32];
    SendMessage(h, WM_GETTEXT, sizeof buf, (LPARAM)buf);
    EXPECT_STREQ(buf, "Caption");
    PostMessage(h, WM_CLOSE, 0, 0);
  });
  EXPECT_FALSE(IsWindow(hMain));
  ASSERT_GE(g_classMsgs.size(), 3u);
  EXPECT_EQ(g_classMsgs.front(), (UINT)WM_INITDIALOG);
  EXPECT_EQ(g_classMsgs.back(), (UINT)WM_DESTROY);
  // The quit that ended that run does not end the next one.
  ResetSeen();
  INT_PTR r = RunDialogWith("DLG_DOWNLOAD", TestDialogProc, 0, [&](HWND h) {
    PostMessage(h, WM_COMMAND, 241, 0);
  });
  EXPECT_EQ(r, 7);
}

TEST(WindowMessageBox, WritesCaptionAndTextToStandardError) {
  testing::internal::CaptureStderr();
  int r = MessageBox(nullptr, "No winsock found", "Error: main line 12", MB_ICONHAND | MB_TASKMODAL);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(r, IDOK);
  EXPECT_EQ(err, "Error: main line 12: No winsock found\n");
}

std::mutex g_liveMx;
std::string g_live;
void LiveSink(const char *p) {
  std::lock_guard<std::mutex> lk(g_liveMx);
  g_live += p;
}

TEST(WindowLiveLine, ProgressDialogShowsLatestTextsAndEndsWithNewline) {
  {
    std::lock_guard<std::mutex> lk(g_liveMx);
    g_live.clear();
  }
  HeadlessSetLiveLineSink(LiveSink);
  ResetSeen();
  RunDialogWith("DLG_DOWNLOAD", TestDialogProc, 0, [&](HWND h) {
    // The window is found as soon as it exists, before it is shown; the
    // line starts when it is shown.
    for (int i = 0; i < 1000; i++) {
      {
        std::lock_guard<std::mutex> lk(g_liveMx);
        if (!g_live.empty()) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // A burst of refreshes: most are throttled away, the last must show.
    for (int i = 1; i <= 200; i++) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "Downloaded %d bytes", i * 100);
      SetDlgItemText(h, 232, buf);
    }
    SetDlgItemText(h, 231, "connecting to 127.0.0.1");
    // The throttled state is written within the interval (100 ms).
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    // A long status gives way to the byte count.
    SetDlgItemText(h, 231, std::string(100, 's').c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    PostMessage(h, WM_CLOSE, 0, 0);
  });
  HeadlessSetLiveLineSink(nullptr);
  std::string live;
  {
    std::lock_guard<std::mutex> lk(g_liveMx);
    live = g_live;
  }
  ASSERT_FALSE(live.empty());
  EXPECT_EQ(live.rfind("\rDAS Serialnumber, Name  |  Filename:  |  Bytes transferred", 0), 0u);
  EXPECT_EQ(live.back(), '\n');
  std::size_t nLast = live.rfind('\r');
  std::string last = live.substr(nLast);
  EXPECT_NE(live.find("connecting to 127.0.0.1  |  Downloaded 20000 bytes"), std::string::npos) << live;
  EXPECT_EQ(last.size(), 1 + 79 + 3 + 1u) << last;  // \r, the line, erase to the end, \n
  EXPECT_NE(last.find("sss...  |  Downloaded 20000 bytes\x1b[K\n"), std::string::npos) << last;
  // Throttled: far fewer rewrites than changes.
  std::size_t nWrites = 0;
  for (char ch : live) nWrites += ch == '\r';
  EXPECT_LT(nWrites, 20u);
  // Other dialogs stay silent.
  {
    std::lock_guard<std::mutex> lk(g_liveMx);
    g_live.clear();
  }
  HeadlessSetLiveLineSink(LiveSink);
  RunDialogWith("DLG_DASEDIT", TestDialogProc, 0, [&](HWND h) {
    SetDlgItemText(h, 242, "x");
    PostMessage(h, WM_CLOSE, 0, 0);
  });
  HeadlessSetLiveLineSink(nullptr);
  std::lock_guard<std::mutex> lk(g_liveMx);
  EXPECT_TRUE(g_live.empty());
}

}  // namespace
