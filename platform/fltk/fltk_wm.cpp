// The desktop backend's side of the window manager: what each window is
// told to be (dialog of which owner, fixed size, no minimize or maximize
// box), who gets the keyboard focus, the windows that come back when a
// window manager minimizes them, and the program's icon.
#include <FL/Fl_PNG_Image.H>
#include <FL/x.H>
#include <X11/Xatom.h>

#include <cstring>
#include <set>

#include "platform/fltk/fltk_int.h"
#include "resources/resources.h"

namespace fltkui {
namespace {

// What the Motif hints say (the usual way to ask a window manager for a
// window's buttons and functions). The functions are listed, not excluded
// from "all": not every window manager reads the inverted form.
enum : long {
  MwmHintsFunctions = 1,
  MwmHintsDecorations = 2,
  MwmFuncMove = 4,
  MwmFuncClose = 32,
  MwmDecorBorder = 2,
  MwmDecorTitle = 8,
  MwmDecorMenu = 16,
};

Atom AtomNamed(const char *pszName) { return XInternAtom(fl_display, pszName, False); }

// True while a window manager runs on the display (it announces itself on
// the root window).
bool WindowManagerRuns() {
  Atom type = 0;
  int nFormat = 0;
  unsigned long nItems = 0, nAfter = 0;
  unsigned char *p = nullptr;
  bool bRuns = false;
  if (XGetWindowProperty(fl_display, RootWindow(fl_display, fl_screen),
                         AtomNamed("_NET_SUPPORTING_WM_CHECK"), 0, 1, False, XA_WINDOW, &type,
                         &nFormat, &nItems, &nAfter, &p) == Success &&
      p && nItems == 1)
    bRuns = true;
  if (p) XFree(p);
  return bRuns;
}

// A dialog's frame: caption, system menu and close box, fixed size, neither
// minimize nor maximize box. A dialog or box with an owner is a dialog of
// that owner, kept above it; a modal one says so (the owner takes no input
// meanwhile, and the window manager may send the owner's clicks to it).
void SetWindowManagerHints(Fl_Window *pWin, Fl_Window *pOwner, bool bDialog, bool bModal) {
  if (!pWin->shown()) return;
  const Window xid = fl_xid(pWin);
  long mwm[5] = {MwmHintsFunctions | MwmHintsDecorations,
                 MwmFuncMove | MwmFuncClose,
                 MwmDecorBorder | MwmDecorTitle | MwmDecorMenu, 0, 0};
  const Atom aMotif = AtomNamed("_MOTIF_WM_HINTS");
  XChangeProperty(fl_display, xid, aMotif, aMotif, 32, PropModeReplace,
                  reinterpret_cast<unsigned char *>(mwm), 5);
  long type = static_cast<long>(
      AtomNamed(bDialog ? "_NET_WM_WINDOW_TYPE_DIALOG" : "_NET_WM_WINDOW_TYPE_NORMAL"));
  XChangeProperty(fl_display, xid, AtomNamed("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char *>(&type), 1);
  if (pOwner && pOwner->shown()) XSetTransientForHint(fl_display, xid, fl_xid(pOwner));
  else XDeleteProperty(fl_display, xid, XA_WM_TRANSIENT_FOR);
  if (bModal) {
    long state = static_cast<long>(AtomNamed("_NET_WM_STATE_MODAL"));
    XChangeProperty(fl_display, xid, AtomNamed("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&state), 1);
  } else {
    XDeleteProperty(fl_display, xid, AtomNamed("_NET_WM_STATE"));
  }
  XFlush(fl_display);
}

// True when the keyboard focus is on this window, or nowhere in particular:
// the window that closes may then hand it on. (When a box raised meanwhile
// holds the focus, the box keeps it.)
bool HoldsFocus(Fl_Window *pWin) {
  if (!pWin || !pWin->shown()) return false;
  Window focus = 0;
  int nRevert = 0;
  XGetInputFocus(fl_display, &focus, &nRevert);
  return focus == fl_xid(pWin) || focus == None || focus == PointerRoot ||
         focus == RootWindow(fl_display, fl_screen);
}

// The window that gets the focus back when a window of this owner closes:
// the owner, or, when the owner has gone meanwhile (a worker's box outlives
// its progress dialog), the newest dialog still open.
Fl_Window *FocusHeir(HWND hOwner) {
  if (Fl_Window *pOwner = ViewWindow(hOwner)) return pOwner;
  const View *pNewest = nullptr;
  for (const auto &kv : g_views)
    if (!pNewest || kv.second->nSerial > pNewest->nSerial) pNewest = kv.second.get();
  return pNewest ? pNewest->pWin : nullptr;
}

// The windows that are not to be minimized. Some window managers draw a
// minimize box on every dialog whatever the hints say, and minimize the
// owner with it; with no taskbar there is then no way back. Such a window
// comes back at once.
std::set<Fl_Window *> g_keepShown;

void ReshowWindow(void *p) {
  Fl_Window *pWin = static_cast<Fl_Window *>(p);
  if (g_keepShown.count(pWin) && pWin->shown()) pWin->show();
}

}  // namespace

// Shows a window with its hints in place before a window manager can look
// at it: the toolkit maps the window as it creates it, and a window manager
// reads these hints once, when it takes the window on (later changes are not
// seen by all of them). The server is held for those few requests.
void ShowWithHints(Fl_Window *pWin, Fl_Window *pOwner, bool bDialog, bool bModal) {
  XGrabServer(fl_display);
  pWin->show();
  SetWindowManagerHints(pWin, pOwner, bDialog, bModal);
  XUngrabServer(fl_display);
  XFlush(fl_display);
}

// Through the window manager when one runs, and directly on the X server
// (which is all there is without one).
void FocusWindow(Fl_Window *pWin) {
  if (!pWin || !pWin->shown()) return;
  const Window xid = fl_xid(pWin);
  if (WindowManagerRuns()) {
    XEvent ev;
    std::memset(&ev, 0, sizeof ev);
    ev.xclient.type = ClientMessage;
    ev.xclient.window = xid;
    ev.xclient.message_type = AtomNamed("_NET_ACTIVE_WINDOW");
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 1;  // asked for by the application
    ev.xclient.data.l[1] = static_cast<long>(fl_event_time);
    XSendEvent(fl_display, RootWindow(fl_display, fl_screen), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &ev);
  }
  // A window not yet mapped by the window manager cannot take the focus;
  // the window manager gives it to a new window by itself.
  XWindowAttributes attr;
  if (XGetWindowAttributes(fl_display, xid, &attr) && attr.map_state == IsViewable)
    XSetInputFocus(fl_display, xid, RevertToParent, CurrentTime);
  XFlush(fl_display);
}

void SetFixedFrame(Fl_Window *pWin) {
  pWin->xclass(WindowClass);
  // A modal frame: the size is the template's, not the person's.
  pWin->size_range(pWin->w(), pWin->h(), pWin->w(), pWin->h());
  if (MainIcon()) pWin->icon(MainIcon());
}

void KeepShown(Fl_Window *pWin) { g_keepShown.insert(pWin); }

// A window's FL_HIDE that the program did not ask for: minimized.
void WatchMinimize(Fl_Window *pWin, int e) {
  if (e == FL_HIDE && g_keepShown.count(pWin)) Fl::add_timeout(0.0, ReshowWindow, pWin);
}

void CloseWindow(Fl_Window *pWin, HWND hOwner) {
  const bool bHandOn = HoldsFocus(pWin);
  g_keepShown.erase(pWin);
  Fl::remove_timeout(ReshowWindow, pWin);
  pWin->hide();
  Fl::delete_widget(pWin);
  if (bHandOn) FocusWindow(FocusHeir(hOwner));
}

Fl_RGB_Image *MainIcon() {
  static Fl_RGB_Image *pIcon = nullptr;
  static bool bTried = false;
  if (!bTried) {
    bTried = true;
    const IconResource *pRes = FindIconResource("ICON_MAIN");
    if (pRes && pRes->pPng && pRes->nPngSize) {
      Fl_PNG_Image *pPng = new Fl_PNG_Image("ICON_MAIN", pRes->pPng, static_cast<int>(pRes->nPngSize));
      if (pPng->w() > 0 && pPng->h() > 0 && !pPng->fail()) pIcon = pPng;
      else delete pPng;
    }
  }
  return pIcon;
}

}  // namespace fltkui
