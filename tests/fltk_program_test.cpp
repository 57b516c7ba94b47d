// The real program on a private X server, driven with the mouse and the
// keyboard as a person would: the main window's title, Add with Cancel and
// with OK, Edit, Remove, a download against the simulated unit with its
// progress dialog, a cancel in the middle of a slow download, Escape in the
// dialogs, the unattended run, and the start without a display. Where to
// click is computed from the templates with the backend's own geometry.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/window.h"
#include "resources/resources.h"
#include "tests/support/fltk_harness.h"
#include "tests/support/program.h"
#include "tests/support/sim_unit.h"
#include "tests/support/testutil.h"
#include "tests/support/wait.h"
#include "tools/das-sim/sim.h"
#ifdef TANDREL_HAVE_FLTK
#include "platform/fltk/fltk_backend.h"
#include "platform/fltk/fltk_readback.h"
#endif

namespace {

using fltktest::SharedXvfb;
using Clock = std::chrono::steady_clock;

const char MainTitle[] = "TandrelDL - DAS Download Tool v1.05.1208";
const char Header[] = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";
const int Timeout = 15000;

// The display the program under test gets: the shared server, or the one
// that runs a window manager.
std::string g_display;

#define NEED_DESKTOP()                                                            \
  do {                                                                            \
    if (!fltktest::OnPath("Xvfb") || !fltktest::OnPath("xdotool"))                \
      GTEST_SKIP() << "Xvfb or xdotool is not installed";                         \
    ASSERT_TRUE(SharedXvfb().Ok());                                               \
    g_display = SharedXvfb().Display();                                           \
    setenv("DISPLAY", SharedXvfb().Display().c_str(), 1);                         \
    ASSERT_NE(FltkBackendOpen(), nullptr); /* for the fonts' metrics */           \
  } while (0)

// The program, started in the current directory (the test's own) on the
// display DISPLAY names, or on none; its standard error in program.err.
Program Start(const std::vector<std::string> &args = {}, bool bDisplay = true) {
  return Program(".", args, "program", bDisplay ? getenv("DISPLAY") : nullptr);
}

TEST(FltkProgram, WithoutDisplayExplainsItselfAndFails) {
  TempDir dir;
  Program p = Start({}, false);
  int st = p.Wait();
  EXPECT_GT(st, 0);
  EXPECT_NE(p.Err().find("display"), std::string::npos);
}

#ifdef TANDREL_HAVE_FLTK

std::string D() { return g_display; }

// A second server with a window manager on it (started on first use, ends
// with the process), for what only a window manager shows: the frame it
// draws from the hints, the focus it hands around, minimizing.
struct WmServer {
  fltktest::Xvfb xvfb;
  fltktest::WindowManager wm{xvfb.Display()};
};
WmServer &Wm() {
  static WmServer *p = new WmServer;
  return *p;
}

#define NEED_WINDOW_MANAGER()                                        \
  do {                                                               \
    NEED_DESKTOP();                                                  \
    if (!fltktest::OnPath("openbox")) GTEST_SKIP() << "no openbox";  \
    ASSERT_TRUE(Wm().wm.Ok()) << "the window manager did not start"; \
    g_display = Wm().xvfb.Display();                                 \
    setenv("DISPLAY", g_display.c_str(), 1);                         \
  } while (0)

// A control's centre on the screen, for the dialog with this X window.
void ControlCentre(unsigned long xid, const char *pszTemplate, int nId, int *px, int *py) {
  const DlgTemplate *t = FindDialogTemplate(pszTemplate);
  FltkBaseUnits u = FltkTemplateBaseUnits(t);
  int ox = 0, oy = 0;
  fltktest::WindowOrigin(D(), xid, &ox, &oy);
  oy += FltkMenuBarHeight(t);
  for (int i = 0; i < t->nItems; i++) {
    if (t->pItems[i].nId != nId) continue;
    FltkRect r = FltkItemRect(t->pItems[i], u);
    *px = ox + r.x + r.w / 2;
    *py = oy + r.y + r.h / 2;
    return;
  }
  ADD_FAILURE() << "no control " << nId;
}

void Click(unsigned long xid, const char *pszTemplate, int nId) {
  int x = 0, y = 0;
  ControlCentre(xid, pszTemplate, nId, &x, &y);
  fltktest::ClickAt(D(), x, y);
}

// Shown windows without a title: the toolkit's menu pop-ups among them.
int CountUntitledWindows() {
  std::string out = fltktest::Xdo(D(), "search --onlyvisible --name '^$'");
  return static_cast<int>(std::count(out.begin(), out.end(), '\n'));
}

// Opens a pop-up of the main window's menu and picks its n-th command. The
// keys go only to an open pop-up (on a busy machine it can take a while to
// appear; keys sent before would move the list's selection instead). False
// when no pop-up opened.
bool Menu(unsigned long xidMain, int nPopup, int nItem, int nTimeoutMs = Timeout) {
  FltkRect r = FltkMenuTitleRect(FindMenuTemplate("MNU_MAINWINDOW"), nPopup);
  EXPECT_GT(r.w, 0);
  int ox = 0, oy = 0;
  fltktest::WindowOrigin(D(), xidMain, &ox, &oy);
  const int nBefore = CountUntitledWindows();
  fltktest::ClickAt(D(), ox + r.x + r.w / 2, oy + r.y + r.h / 2);
  if (!WaitFor([&] { return CountUntitledWindows() > nBefore; }, nTimeoutMs)) return false;
  std::string keys;
  for (int i = 0; i <= nItem; i++) keys += "Down ";
  fltktest::Keys(D(), keys + "Return");
  return true;
}

// Replaces a field's text by typing, as a person would.
void TypeInto(unsigned long xid, int nId, const std::string &text) {
  Click(xid, "DLG_DASEDIT", nId);
  fltktest::Keys(D(), "ctrl+a BackSpace");
  if (!text.empty()) fltktest::TypeText(D(), text);
}

std::string ListFile() { return FileExists("daslist.txt") ? ReadFileBytes("daslist.txt") : ""; }

void Exit(Program &p, unsigned long xidMain) {
  EXPECT_TRUE(Menu(xidMain, 0, 0));  // File, Exit
  EXPECT_EQ(p.Wait(), 0);
}

TEST(FltkProgram, MainWindowAddCancelAddOkEditRemove) {
  NEED_DESKTOP();
  TempDir dir;
  Program p = Start();
  unsigned long xMain = fltktest::WaitWindowNamed(D(), MainTitle, Timeout);
  ASSERT_NE(xMain, 0u) << "no window titled " << MainTitle;
  fltktest::Screenshot(D(), "fltk_program_main_empty");

  // Add, then Cancel: the new unit goes again, the list is saved without it.
  ASSERT_TRUE(Menu(xMain, 1, 0));
  unsigned long xEdit = fltktest::WaitWindowNamed(D(), "Edit DAS Settings", Timeout);
  ASSERT_NE(xEdit, 0u);
  fltktest::Screenshot(D(), "fltk_program_add");
  Click(xEdit, "DLG_DASEDIT", 241);
  ASSERT_TRUE(fltktest::WaitWindowGone(D(), "Edit DAS Settings", Timeout));
  ASSERT_TRUE(WaitFor([] { return ListFile() == Header; })) << ListFile();

  // Add, type the fields, Escape (nothing happens), then OK.
  ASSERT_TRUE(Menu(xMain, 1, 0));
  xEdit = fltktest::WaitWindowNamed(D(), "Edit DAS Settings", Timeout);
  ASSERT_NE(xEdit, 0u);
  TypeInto(xEdit, 242, "10.9.8.7");
  TypeInto(xEdit, 245, "s3cret");
  TypeInto(xEdit, 244, "5551234");
  Click(xEdit, "DLG_DASEDIT", 243);
  fltktest::Keys(D(), "Escape");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(fltktest::FindWindowNamed(D(), "Edit DAS Settings"), xEdit) << "Escape closed the dialog";
  fltktest::Screenshot(D(), "fltk_program_add_typed");
  Click(xEdit, "DLG_DASEDIT", 240);
  ASSERT_TRUE(fltktest::WaitWindowGone(D(), "Edit DAS Settings", Timeout));
  std::string want = std::string(Header) + ",[new],\"5551234\",10.9.8.7,YES,s3cret\r\n";
  ASSERT_TRUE(WaitFor([&] { return ListFile() == want; })) << ListFile();
  fltktest::Screenshot(D(), "fltk_program_added");

  // Edit the selected unit: clear the phone number, untick the box.
  Click(xMain, "DLG_DASLIST", 203);
  xEdit = fltktest::WaitWindowNamed(D(), "Edit DAS Settings", Timeout);
  ASSERT_NE(xEdit, 0u);
  TypeInto(xEdit, 244, "");
  Click(xEdit, "DLG_DASEDIT", 243);
  Click(xEdit, "DLG_DASEDIT", 240);
  ASSERT_TRUE(fltktest::WaitWindowGone(D(), "Edit DAS Settings", Timeout));
  want = std::string(Header) + ",[new],\"\",10.9.8.7,NO,s3cret\r\n";
  ASSERT_TRUE(WaitFor([&] { return ListFile() == want; })) << ListFile();

  // Remove: the list is empty again.
  ASSERT_TRUE(Menu(xMain, 1, 1));
  ASSERT_TRUE(WaitFor([] { return ListFile() == Header; })) << ListFile();
  Exit(p, xMain);
}

// A unit of one device for the program's list.
SimConfig OneDevice(long nRecords = 1440) {
  SimConfig cfg;
  cfg.nRecords = nRecords;
  cfg.devices = {1};
  return cfg;
}

std::string ListWithUnit(const SimUnit &sim) {
  return std::string(Header) + "DAS000000001,Sim unit,\"\",127.0.0.1:" + std::to_string(sim.Port()) +
         ",NO,qexal\r\n";
}

TEST(FltkProgram, DownloadShowsProgressAndClosesByItself) {
  NEED_DESKTOP();
  TempDir dir;
  SimUnit sim(OneDevice());
  ASSERT_NE(sim.p, nullptr);
  // Slow enough that the dialog is seen with its texts changing.
  SimSetSlowBody(sim.p, "/setup/logexport.cgi?MB=1", 2048, 60);
  WriteFileBytes("daslist.txt", ListWithUnit(sim));
  Program p = Start();
  unsigned long xMain = fltktest::WaitWindowNamed(D(), MainTitle, Timeout);
  ASSERT_NE(xMain, 0u);
  fltktest::Screenshot(D(), "fltk_program_main_unit");
  Click(xMain, "DLG_DASLIST", 204);
  unsigned long xProg = fltktest::WaitWindowNamed(D(), "Download Progress", Timeout);
  ASSERT_NE(xProg, 0u);
  // Escape does nothing here either.
  int cx = 0, cy = 0;
  ControlCentre(xProg, "DLG_DOWNLOAD", 231, &cx, &cy);
  fltktest::Xdo(D(), "mousemove --sync " + std::to_string(cx) + " " + std::to_string(cy));
  fltktest::Keys(D(), "Escape");
  // Two pictures a moment apart: the byte count moves on.
  std::string a = ReadFileBytes(fltktest::Screenshot(D(), "fltk_program_progress_1"));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  std::string b = ReadFileBytes(fltktest::Screenshot(D(), "fltk_program_progress_2"));
  bool bStillOpen = fltktest::FindWindowNamed(D(), "Download Progress") != 0;
  EXPECT_TRUE(bStillOpen) << "the dialog closed before the download could be seen";
  if (bStillOpen) {
    EXPECT_NE(a, b) << "the progress texts did not change";
  }
  ASSERT_TRUE(fltktest::WaitWindowGone(D(), "Download Progress", 25000));
  EXPECT_TRUE(FileExists("DAS000000001/mb-001.log"));
  EXPECT_NE(fltktest::FindWindowNamed(D(), MainTitle), 0u);
  Exit(p, xMain);
}

TEST(FltkProgram, CancelDuringSlowDownloadClosesAtOnce) {
  NEED_DESKTOP();
  TempDir dir;
  SimUnit sim(OneDevice());
  ASSERT_NE(sim.p, nullptr);
  SimSetStallBody(sim.p, "/setup/logexport.cgi?MB=1", 100);
  WriteFileBytes("daslist.txt", ListWithUnit(sim));
  Program p = Start();
  unsigned long xMain = fltktest::WaitWindowNamed(D(), MainTitle, Timeout);
  ASSERT_NE(xMain, 0u);
  Click(xMain, "DLG_DASLIST", 204);
  unsigned long xProg = fltktest::WaitWindowNamed(D(), "Download Progress", Timeout);
  ASSERT_NE(xProg, 0u);
  // Wait until the worker hangs in the stalled body.
  ASSERT_TRUE(WaitFor([&] {
    for (const std::string &s : SimRequestPaths(sim.p))
      if (s == "/setup/logexport.cgi?MB=1") return true;
    return false;
  }));
  fltktest::Screenshot(D(), "fltk_program_cancel_before");
  auto t0 = Clock::now();
  Click(xProg, "DLG_DOWNLOAD", 241);
  ASSERT_TRUE(fltktest::WaitWindowGone(D(), "Download Progress", 5000));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
  EXPECT_LT(ms, 3000) << "cancel took " << ms << " ms";
  fltktest::Screenshot(D(), "fltk_program_cancel_after");
  EXPECT_NE(fltktest::FindWindowNamed(D(), MainTitle), 0u);
  // The worker may report its broken transfer in a box of its own. Like
  // the original's, the box holds the windows below it until it is
  // answered: answer any, then leave by File, Exit.
  int st = -1;
  for (int i = 0; i < 10 && st < 0; i++) {
    unsigned long xBox = fltktest::FindWindowNamed(D(), "Error: .*");
    if (xBox) {
      int x = 0, y = 0;
      fltktest::WindowOrigin(D(), xBox, &x, &y);
      // Boxes of one owner open at one place: a synchronous move to where
      // the pointer already is would wait in vain.
      fltktest::Xdo(D(), "mousemove " + std::to_string(x + 20) + " " + std::to_string(y + 20));
      fltktest::Keys(D(), "Return");
      WaitFor([&] { return fltktest::FindWindowNamed(D(), "Error: .*") != xBox; }, 3000);
    } else if (Menu(xMain, 0, 0, 3000)) {
      st = p.Wait(3000);
    }
  }
  if (st < 0) st = p.Wait();
  // The program's status tells whether the run made an error entry.
  EXPECT_TRUE(st == 0 || st == 1) << st;
}

// Opens a pop-up of the main window's menu from the keyboard (F10, or Alt
// with the pop-up's letter) and sends the keys that pick an item once it is
// open. False when no pop-up opened.
bool MenuByKeys(const std::string &open, const std::string &pick) {
  const int nBefore = CountUntitledWindows();
  fltktest::Keys(D(), open);
  if (!WaitFor([&] { return CountUntitledWindows() > nBefore; })) return false;
  fltktest::Keys(D(), pick);
  return true;
}

bool FocusOn(unsigned long xid) {
  return WaitFor([&] { return fltktest::FocusedWindow(D()) == xid; });
}

// The settings dialog opens with the address selected: typing replaces it.
// The focus is on the main window at the start and back there after OK and
// after Cancel; the menu opens from the keyboard.
TEST(FltkProgram, TypingAtOpeningReplacesTheAddressAndFocusComesBack) {
  NEED_DESKTOP();
  TempDir dir;
  Program p = Start();
  unsigned long xMain = fltktest::WaitWindowNamed(D(), MainTitle, Timeout);
  ASSERT_NE(xMain, 0u);
  EXPECT_TRUE(FocusOn(xMain));
  // DAS, Add... from the keyboard: F10 opens File, Right goes on to DAS.
  ASSERT_TRUE(MenuByKeys("F10", "Right Down Return"));
  unsigned long xEdit = fltktest::WaitWindowNamed(D(), "Edit DAS Settings", Timeout);
  ASSERT_NE(xEdit, 0u);
  EXPECT_TRUE(FocusOn(xEdit));
  fltktest::TypeText(D(), "127.0.64.3:30003");
  fltktest::Screenshot(D(), "fltk_program_typed_at_opening");
  Click(xEdit, "DLG_DASEDIT", 240);
  ASSERT_TRUE(fltktest::WaitWindowGone(D(), "Edit DAS Settings", Timeout));
  ASSERT_TRUE(WaitFor([] { return ListFile().find(",127.0.64.3:30003,") != std::string::npos; }))
      << ListFile();
  EXPECT_EQ(ListFile().find("192.168.1.100"), std::string::npos) << ListFile();
  EXPECT_TRUE(FocusOn(xMain)) << "no focus on the main window after OK";

  // Edit DAS, then Cancel: the focus comes back as well.
  Click(xMain, "DLG_DASLIST", 203);
  xEdit = fltktest::WaitWindowNamed(D(), "Edit DAS Settings", Timeout);
  ASSERT_NE(xEdit, 0u);
  Click(xEdit, "DLG_DASEDIT", 241);
  ASSERT_TRUE(fltktest::WaitWindowGone(D(), "Edit DAS Settings", Timeout));
  EXPECT_TRUE(FocusOn(xMain)) << "no focus on the main window after Cancel";

  // File, Exit by Alt+F.
  ASSERT_TRUE(MenuByKeys("alt+f", "Down Return"));
  EXPECT_EQ(p.Wait(), 0);
}

bool LogHas(const std::string &text) {
  if (!FileExists("errorlog.txt")) return false;
  for (const LogEntry &e : ReadLogEntries())
    if (e.message.find(text) != std::string::npos) return true;
  return false;
}

// A box raised by the worker while the progress dialog is open holds up the
// worker only: the dialog's Cancel closes it at once and answers the box,
// so that the worker can wind down, and the main window has the focus again.
TEST(FltkProgram, CancelAnswersTheWorkersBox) {
  NEED_DESKTOP();
  TempDir dir;
  SimUnit sim(OneDevice());
  ASSERT_NE(sim.p, nullptr);
  SimSetStatus(sim.p, "/setup/logexport.cgi?MB=1", 500);
  WriteFileBytes("daslist.txt", ListWithUnit(sim));
  Program p = Start();
  unsigned long xMain = fltktest::WaitWindowNamed(D(), MainTitle, Timeout);
  ASSERT_NE(xMain, 0u);
  Click(xMain, "DLG_DASLIST", 204);
  unsigned long xProg = fltktest::WaitWindowNamed(D(), "Download Progress", Timeout);
  ASSERT_NE(xProg, 0u);
  unsigned long xBox = fltktest::WaitWindowNamed(D(), "Error: .*", Timeout);
  ASSERT_NE(xBox, 0u);
  fltktest::Screenshot(D(), "fltk_program_worker_box");
  Click(xProg, "DLG_DOWNLOAD", 241);
  EXPECT_TRUE(fltktest::WaitWindowGone(D(), "Download Progress", Timeout))
      << "the box blocked the progress dialog's Cancel";
  EXPECT_TRUE(fltktest::WaitWindowGone(D(), "Error: .*", Timeout)) << "the box outlived its dialog";
  EXPECT_TRUE(FocusOn(xMain)) << "no focus on the main window after the cancel";
  ASSERT_TRUE(MenuByKeys("F10", "Down Return"));
  EXPECT_EQ(p.Wait(), 1);  // the unit's error entry
}


// Download All, each unit cancelled while its log hangs (the first by a
// double click): no box follows a
// cancel, the next unit's dialog comes and can be cancelled in turn, each
// cancelled unit has its information entry and none a "complete" one, and
// the main window has the focus at the end.
TEST(FltkProgram, CancelInDownloadAll) {
  NEED_DESKTOP();
  TempDir dir;
  SimConfig a, b;
  a.serial = "DAS000000001";
  a.name = "First";
  b.serial = "DAS000000002";
  b.name = "Second";
  a.devices = b.devices = {1};
  SimServer *pA = SimStart(a);
  SimServer *pB = SimStart(b);
  ASSERT_NE(pA, nullptr);
  ASSERT_NE(pB, nullptr);
  SimSetStallBody(pA, "/setup/logexport.cgi?MB=1", 100);
  SimSetStallBody(pB, "/setup/logexport.cgi?MB=1", 100);
  WriteFileBytes("daslist.txt",
                 std::string(Header) + "DAS000000001,First,\"\",127.0.0.1:" + std::to_string(SimPort(pA)) +
                     ",NO,qexal\r\nDAS000000002,Second,\"\",127.0.0.1:" +
                     std::to_string(SimPort(pB)) + ",NO,qexal\r\n");
  auto hangs = [](SimServer *pSim) {
    return WaitFor([&] {
      for (const std::string &s : SimRequestPaths(pSim))
        if (s == "/setup/logexport.cgi?MB=1") return true;
      return false;
    });
  };
  {
    Program p = Start();
    unsigned long xMain = fltktest::WaitWindowNamed(D(), MainTitle, Timeout);
    ASSERT_NE(xMain, 0u);
    Click(xMain, "DLG_DASLIST", 205);
    unsigned long xFirst = fltktest::WaitWindowNamed(D(), "Download Progress", Timeout);
    ASSERT_NE(xFirst, 0u);
    ASSERT_TRUE(hangs(pA));
    // A double click on Cancel. The second unit's dialog replaces the first
    // at the same place; the second click, landing on it, belongs to the
    // first dialog's double click and cancels nothing.
    Click(xFirst, "DLG_DOWNLOAD", 241);
    unsigned long xSecond = 0;
    ASSERT_TRUE(WaitFor([&] {
      xSecond = fltktest::FindWindowNamed(D(), "Download Progress");
      return xSecond && xSecond != xFirst;
    }));
    fltktest::Xdo(D(), "click 1");
    ASSERT_TRUE(hangs(pB));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(fltktest::FindWindowNamed(D(), "Download Progress"), xSecond)
        << "the double click cancelled the next unit too";
    fltktest::Xdo(D(), "mousemove 0 0");  // the next click is one of its own
    // The first worker has wound down: no box came of the cancel.
    ASSERT_TRUE(WaitFor([] { return LogHas("Download of DAS000000001 cancelled"); }));
    fltktest::Screenshot(D(), "fltk_program_download_all_second");
    EXPECT_EQ(fltktest::FindWindowNamed(D(), "Error: .*"), 0u);
    Click(xSecond, "DLG_DOWNLOAD", 241);
    EXPECT_TRUE(fltktest::WaitWindowGone(D(), "Download Progress", Timeout))
        << "the second unit's dialog could not be cancelled";
    ASSERT_TRUE(WaitFor([] { return LogHas("Download of DAS000000002 cancelled"); }))
        << ReadFileBytes("errorlog.txt");
    EXPECT_EQ(fltktest::FindWindowNamed(D(), "Error: .*"), 0u);
    EXPECT_TRUE(FocusOn(xMain));
    ASSERT_TRUE(MenuByKeys("F10", "Down Return"));
    EXPECT_EQ(p.Wait(), 0) << "a cancel is not an error";
  }
  SimStop(pA);
  SimStop(pB);
  // Neither the unit's "complete" entry nor errors for what the cancel cut
  // short.
  for (const LogEntry &e : ReadLogEntries()) {
    EXPECT_EQ(e.message.find("complete, serial"), std::string::npos) << e.message;
    EXPECT_EQ(e.message.find("did not complete"), std::string::npos) << e.message;
    EXPECT_EQ(e.message.find("incomplete"), std::string::npos) << e.message;
    EXPECT_EQ(e.message.find("Unexpected server response"), std::string::npos) << e.message;
  }
}

// A window property as xprop prints it.
std::string XProp(unsigned long xid, const char *pszProp) {
  return fltktest::Run("DISPLAY=" + D() + " xprop -id " + std::to_string(xid) + " " + pszProp +
                       " 2>/dev/null");
}

bool Viewable(unsigned long xid) {
  return fltktest::Run("DISPLAY=" + D() + " xwininfo -id " + std::to_string(xid) + " 2>/dev/null")
             .find("IsViewable") != std::string::npos;
}

// Under a window manager: the frame it gives each window (fixed size, no
// maximize; the dialogs transient for the main window), the focus back on
// the main window after each dialog, and a dialog that is minimized comes
// back with the main window instead of hiding both.
TEST(FltkProgram, UnderAWindowManager) {
  NEED_WINDOW_MANAGER();
  TempDir dir;
  SimUnit sim(OneDevice());
  ASSERT_NE(sim.p, nullptr);
  SimSetStatus(sim.p, "/setup/logexport.cgi?MB=1", 500);
  WriteFileBytes("daslist.txt", ListWithUnit(sim));
  Program p = Start();
  unsigned long xMain = fltktest::WaitWindowNamed(D(), MainTitle, Timeout);
  ASSERT_NE(xMain, 0u) << "program's stderr: " << p.Err()
                       << "\nexit status: " << p.Wait(0);
  EXPECT_TRUE(FocusOn(xMain));
  std::string actions = XProp(xMain, "_NET_WM_ALLOWED_ACTIONS");
  EXPECT_NE(actions.find("_NET_WM_ACTION_CLOSE"), std::string::npos) << actions;
  EXPECT_EQ(actions.find("_NET_WM_ACTION_MAXIMIZE"), std::string::npos) << actions;
  EXPECT_EQ(actions.find("_NET_WM_ACTION_RESIZE"), std::string::npos) << actions;

  // The settings dialog, opened and closed a few times: the focus is on it
  // while it is open and back on the main window every time it closes.
  for (int i = 0; i < 4; i++) {
    SCOPED_TRACE(i);
    Click(xMain, "DLG_DASLIST", 203);
    unsigned long xEdit = fltktest::WaitWindowNamed(D(), "Edit DAS Settings", Timeout);
    ASSERT_NE(xEdit, 0u);
    EXPECT_TRUE(FocusOn(xEdit));
    if (i == 0) {
      fltktest::Screenshot(D(), "fltk_program_wm_settings");
      std::string type = XProp(xEdit, "_NET_WM_WINDOW_TYPE");
      EXPECT_NE(type.find("_NET_WM_WINDOW_TYPE_DIALOG"), std::string::npos) << type;
      char szMain[32];
      std::snprintf(szMain, sizeof szMain, "0x%lx", xMain);
      std::string transient = XProp(xEdit, "WM_TRANSIENT_FOR");
      EXPECT_NE(transient.find(szMain), std::string::npos) << transient;
      actions = XProp(xEdit, "_NET_WM_ALLOWED_ACTIONS");
      EXPECT_EQ(actions.find("_NET_WM_ACTION_MAXIMIZE"), std::string::npos) << actions;
      EXPECT_EQ(actions.find("_NET_WM_ACTION_RESIZE"), std::string::npos) << actions;
    }
    if (i == 1) {
      // Minimized (this window manager offers it on every dialog): both
      // windows are back. Changing the number of desktops afterwards is a
      // request the window manager takes in turn: once it shows, the
      // minimize has been dealt with.
      fltktest::Xdo(D(), "windowminimize " + std::to_string(xEdit));
      fltktest::Xdo(D(), "set_num_desktops 2");
      EXPECT_TRUE(WaitFor([] {
        return fltktest::Run("DISPLAY=" + D() + " xprop -root _NET_NUMBER_OF_DESKTOPS")
                   .find("= 2") != std::string::npos;
      }));
      EXPECT_TRUE(WaitFor([&] { return Viewable(xEdit) && Viewable(xMain); }))
          << "a minimized dialog stayed away";
      fltktest::Xdo(D(), "set_num_desktops 1");
      EXPECT_TRUE(FocusOn(xEdit));
    }
    Click(xEdit, "DLG_DASEDIT", 241);
    ASSERT_TRUE(fltktest::WaitWindowGone(D(), "Edit DAS Settings", Timeout));
    EXPECT_TRUE(FocusOn(xMain)) << "no focus on the main window after the dialog";
  }

  // A download that ends in an error box: once the box is answered and the
  // worker has closed its dialog, the main window has the focus again.
  Click(xMain, "DLG_DASLIST", 204);
  unsigned long xBox = fltktest::WaitWindowNamed(D(), "Error: .*", Timeout);
  ASSERT_NE(xBox, 0u);
  EXPECT_TRUE(FocusOn(xBox));
  fltktest::Screenshot(D(), "fltk_program_wm_box");
  fltktest::Keys(D(), "Return");
  ASSERT_TRUE(fltktest::WaitWindowGone(D(), "Error: .*", Timeout));
  ASSERT_TRUE(fltktest::WaitWindowGone(D(), "Download Progress", Timeout));
  EXPECT_TRUE(FocusOn(xMain)) << "no focus on the main window after the box";
  ASSERT_TRUE(MenuByKeys("F10", "Down Return"));
  int st = p.Wait();
  EXPECT_TRUE(st == 0 || st == 1) << st;
}

// On a screen of 192 pixels per inch, or with FLTK_SCALING_FACTOR=2, the
// windows and their texts are drawn twice as large as at the resolution the
// templates were made for, rather than at half their size.
TEST(FltkProgram, WindowsScaledForTheScreen) {
  NEED_DESKTOP();
  TempDir dir;
  auto mainSize = [](const std::string &display, const char *pszFactor, int *pw, int *ph) {
    const std::string saved = getenv("DISPLAY");
    setenv("DISPLAY", display.c_str(), 1);
    if (pszFactor) setenv("FLTK_SCALING_FACTOR", pszFactor, 1);
    Program p = Start();
    setenv("DISPLAY", saved.c_str(), 1);
    unsetenv("FLTK_SCALING_FACTOR");
    unsigned long xMain = fltktest::WaitWindowNamed(display, MainTitle, Timeout);
    ASSERT_NE(xMain, 0u);
    ASSERT_TRUE(fltktest::WindowSize(display, xMain, pw, ph));
  };
  int w1 = 0, h1 = 0;
  mainSize(D(), nullptr, &w1, &h1);
  ASSERT_GT(w1, 0);
  fltktest::Xvfb hiDpi("2560x2048x24", "192");
  ASSERT_TRUE(hiDpi.Ok());
  struct Case {
    const char *pszName;
    std::string display;
    const char *pszFactor;
  } cases[] = {{"FLTK_SCALING_FACTOR=2", D(), "2"}, {"192 dpi", hiDpi.Display(), nullptr}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.pszName);
    int w = 0, h = 0;
    mainSize(k.display, k.pszFactor, &w, &h);
    // Font metrics grow by about the factor, not exactly.
    EXPECT_GE(w, w1 * 18 / 10) << w1 << "x" << h1 << " became " << w << "x" << h;
    EXPECT_LE(w, w1 * 22 / 10) << w1 << "x" << h1 << " became " << w << "x" << h;
    EXPECT_GE(h, h1 * 18 / 10) << w1 << "x" << h1 << " became " << w << "x" << h;
    EXPECT_LE(h, h1 * 22 / 10) << w1 << "x" << h1 << " became " << w << "x" << h;
  }
}

// The X server goes away in the middle of a download: the program ends at
// once with status 1 and an entry that says why, while its worker still
// writes; nothing it had is lost, and the next run brings every record.
TEST(FltkProgram, LosingTheDisplayMidDownloadEndsTheRunAndLosesNothing) {
  NEED_DESKTOP();
  auto pX = std::make_unique<fltktest::Xvfb>();
  ASSERT_TRUE(pX->Ok());
  g_display = pX->Display();
  setenv("DISPLAY", g_display.c_str(), 1);
  TempDir dir;
  SimUnit sim(OneDevice());
  ASSERT_NE(sim.p, nullptr);
  const std::string body = SimLogBody(sim.p, 1);
  SimSetSlowBody(sim.p, "/setup/logexport.cgi?MB=1", 2048, 60);
  std::string list = ListWithUnit(sim);
  list.replace(list.find(",NO,"), 4, ",YES,");
  WriteFileBytes("daslist.txt", list);
  Program p = Start();
  unsigned long xMain = fltktest::WaitWindowNamed(D(), MainTitle, Timeout);
  ASSERT_NE(xMain, 0u);
  Click(xMain, "DLG_DASLIST", 204);
  ASSERT_NE(fltktest::WaitWindowNamed(D(), "Download Progress", Timeout), 0u);
  ASSERT_TRUE(WaitFor([&] {
    for (const std::string &s : SimRequestPaths(sim.p))
      if (s == "/setup/logexport.cgi?MB=1") return true;
    return false;
  }));
  pX.reset();
  g_display = SharedXvfb().Display();
  setenv("DISPLAY", g_display.c_str(), 1);
  EXPECT_EQ(p.Wait(), 1) << p.Err();
  std::vector<LogEntry> entries = ReadLogEntries();
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const LogEntry &e) {
    return e.module == "main" && e.message.find("desktop display was lost") != std::string::npos;
  })) << ReadFileBytes("errorlog.txt");
  SimClearFaults(sim.p, "");
  Program again = Start({"/AUTO"}, false);
  EXPECT_EQ(again.Wait(), 0) << ReadFileBytes("errorlog.txt");
  std::string got = ReadFileBytes("DAS000000001/mb-001.log");
  EXPECT_TRUE(got == body) << FirstDifference(got, body);
}

TEST(FltkProgram, UnattendedRunShowsWindowsAndEndsByItself) {
  NEED_DESKTOP();
  TempDir dir;
  SimUnit sim(OneDevice(60));
  ASSERT_NE(sim.p, nullptr);
  SimSetSlowBody(sim.p, "/setup/logexport.cgi?MB=1", 512, 40);
  WriteFileBytes("daslist.txt", ListWithUnit(sim));
  Program p = Start({"/AUTO"});
  EXPECT_NE(fltktest::WaitWindowNamed(D(), "Download Progress", Timeout), 0u);
  EXPECT_NE(fltktest::FindWindowNamed(D(), MainTitle), 0u);
  fltktest::Screenshot(D(), "fltk_program_auto");
  EXPECT_EQ(p.Wait(25000), 0);
  EXPECT_TRUE(FileExists("DAS000000001/mb-001.log"));
}

#endif  // TANDREL_HAVE_FLTK

}  // namespace
