// The desktop backend of the window layer: every dialog of the core drawn as
// an FLTK window, and what the person does fed back through the UiOperator
// functions. This file holds the backend's table, the UI thread's wait and
// wake, and the changes reported from other threads; the rest lives in
// fltk_wm.cpp (window manager), fltk_dlgwindow.cpp (a dialog's window and
// menu bar), fltk_widgets.cpp (controls), fltk_dialogs.cpp and
// fltk_msgbox.cpp, with what they share in fltk_int.h.
//
// Threads. FLTK is used from the UI thread alone: it takes Fl::lock() once
// when the backend opens and keeps it except while it sleeps in Fl::wait().
// Other threads reach it only through Fl::awake(), which writes to the
// toolkit's wake-up pipe and needs no lock. A change reported from any thread
// (pfnChanged) is queued under g_mx and applied by the UI thread the next
// time it waits; so are message boxes asked for by a worker. Wakes are
// coalesced (one byte in the pipe at a time), so that a flood of them can
// never fill the pipe and block a sender that holds the core's lock.
//
// The window state on the screen is always read back from the core (texts,
// check states, list items), never kept as a second truth: a change report
// only says which window to read again.
//
// Modality is the core's, not the toolkit's: a dialog's owner is disabled by
// the core while the dialog runs, and a message box of the UI thread blocks
// every dialog until it is answered. The window manager is told what each
// window is (dialog of which owner, fixed size, no minimize or maximize box)
// and the focus goes back to the owner when a dialog or box closes.
#include <FL/x.H>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "platform/fltk/fltk_int.h"
#include "platform/system.h"

namespace fltkui {
namespace {

// Longest wait in the toolkit before the core looks at its queue again on
// its own; wakes end the wait at once, so this is only a safety net.
const double WaitSeconds = 0.5;

std::thread::id g_uiThread;
std::atomic<bool> g_bAwake{false};

std::mutex g_mx;  // guards the queue below
std::vector<std::pair<HWND, int>> g_pending;

// The one message the wake-up pipe ever carries.
char g_wakeToken;

void ApplyPending() {
  std::vector<std::pair<HWND, int>> changes;
  {
    std::lock_guard<std::mutex> lk(g_mx);
    changes.swap(g_pending);
  }
  std::set<std::pair<HWND, int>> done;
  for (const auto &c : changes)
    if (done.insert(c).second) ApplyChange(c.first, c.second);
  ServeWorkerBoxes();
}

void FltkWait() {
  ApplyPending();
  // A wake outstanding means the core has work: take the toolkit's events
  // without sleeping. Either way the flag is cleared only once the token has
  // left the pipe; a wake that finds the flag still set is answered by this
  // return all the same, because the core looks at its queue before it
  // waits again. (Clearing it without reading the pipe let the tokens pile
  // up, one per busy wake, until the pipe was full and a wake blocked.)
  Fl::wait(g_bAwake.load() ? 0.0 : WaitSeconds);
  if (Fl::thread_message() == &g_wakeToken) g_bAwake.store(false);
  ApplyPending();
  Fl::flush();
}

void FltkChanged(HWND h, int nWhat) {
  {
    std::lock_guard<std::mutex> lk(g_mx);
    g_pending.emplace_back(h, nWhat);
  }
  if (!OnUiThread()) FltkWake();
}

const UiBackend FltkTable = {
    .pszName = "fltk",
    .pfnShowDialog = FltkShowDialog,
    .pfnDestroyDialog = FltkDestroyDialog,
    .pfnChanged = FltkChanged,
    .pfnWait = FltkWait,
    .pfnWake = FltkWake,
    .pfnMessageBox = FltkMessageBox,
};

// Xlib calls this when the connection to the X server is gone; it must not
// return (Xlib would exit()).
int DisplayGone(Display *) { PlatDisplayLost(); }

}  // namespace

bool OnUiThread() { return std::this_thread::get_id() == g_uiThread; }

void FltkWake() {
  // The flag stays set until the UI thread has read the token back out of
  // the pipe (FltkWait), so the pipe never holds more than one.
  if (!g_bAwake.exchange(true)) Fl::awake(&g_wakeToken);
}

}  // namespace fltkui

using namespace fltkui;

const UiBackend *FltkBackendOpen() {
  static bool bOpen = false;
  if (bOpen) return &FltkTable;
  // Open the display ourselves: the toolkit ends the process when it cannot.
  Display *pDisplay = XOpenDisplay(nullptr);
  if (!pDisplay) return nullptr;
  fl_open_display(pDisplay);
  // After the toolkit's own: a lost X server must not end the process with
  // exit() while a download worker still writes its files.
  XSetIOErrorHandler(DisplayGone);
  Fl::lock();  // sets up the wake-up pipe; held by the UI thread from now on
  Fl::scheme("gtk+");
  Fl::scrollbar_size(FltkScaled(Fl::scrollbar_size()));
  Fl::visible_focus(1);
  Fl_Window::default_xclass(WindowClass);
  InstallMenuKeys();
  g_uiThread = std::this_thread::get_id();
  bOpen = true;
  return &FltkTable;
}
