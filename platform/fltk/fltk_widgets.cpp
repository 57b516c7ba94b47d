// The desktop backend of the window layer: every dialog of the core drawn as
// an FLTK window, and what the person does fed back through the UiOperator
// functions.
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
// every dialog until it is answered. The toolkit's own modal windows are not
// used, because the toolkit lets only the newest of them take input: a box
// raised by a download worker would then lock the progress dialog's Cancel
// and close box. The window manager is told what each window is (dialog of
// which owner, fixed size, no minimize or maximize box) and the focus goes
// back to the owner when a dialog or box closes.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xatom.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fltk/fltk_backend.h"
#include "platform/system.h"
#include "platform/window.h"
#include "resources/resources.h"

namespace {

// The X class of every window, so that a desktop entry can match them.
const char WindowClass[] = "TandrelDL";
// Longest wait in the toolkit before the core looks at its queue again on
// its own; wakes end the wait at once, so this is only a safety net.
const double WaitSeconds = 0.5;

std::thread::id g_uiThread;
std::atomic<bool> g_bAwake{false};

struct BoxRequest {
  std::string text;
  std::string caption;
  HWND hOwner = nullptr;
  bool bDone = false;  // g_mx
  std::condition_variable cv;
};

std::mutex g_mx;  // guards the two queues below
std::vector<std::pair<HWND, int>> g_pending;
std::vector<BoxRequest *> g_boxRequests;

bool OnUiThread() { return std::this_thread::get_id() == g_uiThread; }

// The one message the wake-up pipe ever carries.
char g_wakeToken;

void WakeHook() {
  // The flag stays set until the UI thread has read the token back out of
  // the pipe (WaitHook), so the pipe never holds more than one.
  if (!g_bAwake.exchange(true)) Fl::awake(&g_wakeToken);
}

// FLTK reads '@' in a label as the start of a symbol: double it.
std::string LabelText(const std::string &s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    out += ch;
    if (ch == '@') out += '@';
  }
  return out;
}

HWND CtlHandle(const Fl_Widget *w) { return static_cast<HWND>(w->user_data()); }

// ---- The window manager ----

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

// Makes a shown window the active one with the keyboard focus: through the
// window manager when one runs, and directly on the X server (which is all
// there is without one).
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

// Message boxes of the UI thread open now. While there is one, no dialog
// takes input: the box is the one thing to answer, as on the original
// platform.
int g_nUiBoxes = 0;  // UI thread

// The windows that are not to be minimized. Some window managers draw a
// minimize box on every dialog whatever the hints say, and minimize the
// owner with it; with no taskbar there is then no way back. Such a window
// comes back at once. UI thread.
std::set<Fl_Window *> g_keepShown;

void ReshowWindow(void *p) {
  Fl_Window *pWin = static_cast<Fl_Window *>(p);
  if (g_keepShown.count(pWin) && pWin->shown()) pWin->show();
}

// A window's FL_HIDE that the program did not ask for: minimized.
void WatchMinimize(Fl_Window *pWin, int e) {
  if (e == FL_HIDE && g_keepShown.count(pWin)) Fl::add_timeout(0.0, ReshowWindow, pWin);
}

// Before the program hides a window for good.
void ForgetWindow(Fl_Window *pWin) {
  g_keepShown.erase(pWin);
  Fl::remove_timeout(ReshowWindow, pWin);
}

// ---- Windows ----

class DlgWindow;

struct View {
  HWND hDlg = nullptr;
  DlgWindow *pWin = nullptr;
  const DlgTemplate *pTemplate = nullptr;
  FltkBaseUnits units{};
  int nMenuH = 0;
  std::vector<HWND> controls;
  HWND hOwner = nullptr;
};

std::map<HWND, std::unique_ptr<View>> g_views;       // UI thread
std::map<HWND, std::pair<View *, Fl_Widget *>> g_ctls;  // UI thread

// A dialog's window. While the core says the dialog is disabled (a modal
// dialog of its own is open), or while a message box of the UI thread is
// open, it takes no input at all, as the original platform does. Enter and
// Escape become the commands the dialog manager gives them: Enter clicks the
// focused push button or else sends IDOK; Escape sends IDCANCEL. What those
// do is the program's business (in the settings and progress dialogs:
// nothing); the toolkit's own habit of closing a window on Escape never
// applies.
// The window in which the newest first click of a series was pressed. The
// toolkit counts a press at the same place soon after as the next click of
// the series even when another window is there by now: the second click of
// a double click on the progress dialog's Cancel lands on the next unit's
// dialog, which opens at the same place, and cancels that unit too. Such a
// click belongs to the window that has gone, and is dropped. UI thread.
Fl_Window *g_pClickSeriesWindow = nullptr;

class DlgWindow : public Fl_Double_Window {
 public:
  DlgWindow(int x, int y, int w, int h) : Fl_Double_Window(x, y, w, h) {}
  ~DlgWindow() override {
    if (g_pClickSeriesWindow == this) g_pClickSeriesWindow = nullptr;
  }
  HWND hDlg = nullptr;
  bool bEnabled = true;
  Fl_Menu_Bar *pBar = nullptr;

  bool TakesInput() const { return bEnabled && g_nUiBoxes == 0; }

  // Drops pop-up nPopup (0 = the first) of the menu bar down and runs it
  // with the keyboard: arrows move, Enter picks, Escape closes.
  void OpenMenu(int nPopup) {
    if (!pBar || !pBar->menu() || !TakesInput()) return;
    const Fl_Menu_Item *pTitle = pBar->menu();
    for (int i = 0; i < nPopup && pTitle && pTitle->label(); i++) pTitle = pTitle->next();
    if (!pTitle || !pTitle->label()) return;
    const Fl_Menu_Item *pPicked =
        pBar->menu()->pulldown(pBar->x(), pBar->y(), pBar->w(), pBar->h(), pTitle, pBar, nullptr, 1);
    if (pPicked) pBar->picked(pPicked);
  }
  // The pop-up whose title starts with this letter, -1 if none. The menu's
  // texts carry no marked letters, so the first one counts, as it always has
  // for such menus.
  int PopupByLetter(int nKey) const {
    if (!pBar || !pBar->menu() || nKey <= 0 || nKey > 255 || !std::isalnum(nKey)) return -1;
    int i = 0;
    for (const Fl_Menu_Item *p = pBar->menu(); p && p->label(); p = p->next(), i++)
      if (std::tolower(static_cast<unsigned char>(p->label()[0])) == std::tolower(nKey)) return i;
    return -1;
  }

  int handle(int e) override {
    WatchMinimize(this, e);
    if (e == FL_PUSH) {
      if (Fl::event_clicks() > 0 && g_pClickSeriesWindow != this) return 1;
      if (Fl::event_clicks() == 0) g_pClickSeriesWindow = this;
    }
    switch (e) {
      case FL_PUSH:
      case FL_RELEASE:
      case FL_DRAG:
      case FL_MOUSEWHEEL:
      case FL_KEYBOARD:
      case FL_KEYUP:
      case FL_SHORTCUT:
      case FL_PASTE:
      case FL_DND_ENTER:
      case FL_DND_DRAG:
      case FL_DND_RELEASE:
        if (!TakesInput()) return 1;
        break;
      default:
        break;
    }
    if ((e == FL_KEYBOARD || e == FL_SHORTCUT) &&
        !(Fl::event_state() & (FL_CTRL | FL_ALT | FL_META))) {
      int nKey = Fl::event_key();
      if (nKey == FL_Escape) {
        UiOperatorCommand(hDlg, IDCANCEL);
        return 1;
      }
      if (nKey == FL_Enter || nKey == FL_KP_Enter) {
        Fl_Widget *pFocus = Fl::focus();
        Fl_Button *pButton = pFocus ? dynamic_cast<Fl_Button *>(pFocus) : nullptr;
        if (pButton && !dynamic_cast<Fl_Check_Button *>(pFocus) && contains(pFocus) &&
            g_ctls.count(CtlHandle(pFocus)))
          UiOperatorClick(CtlHandle(pFocus));
        else
          UiOperatorCommand(hDlg, IDOK);
        return 1;
      }
    }
    return Fl_Double_Window::handle(e);
  }
};

// The keys that open the menu bar, seen before any widget sees them (an edit
// field would otherwise take Alt+F as a letter): F10 and Alt pressed and
// released alone open the first pop-up, Alt with a letter the pop-up that
// starts with it.
bool g_bAltAlone = false;  // UI thread: Alt is down and nothing else happened since
Fl_Event_Dispatch g_pfnNextDispatch = nullptr;

int MenuKeyDispatch(int e, Fl_Window *w) {
  DlgWindow *pDlg = w ? dynamic_cast<DlgWindow *>(w) : nullptr;
  const int nKey = Fl::event_key();
  const bool bAltKey = nKey == FL_Alt_L || nKey == FL_Alt_R;
  if (e == FL_KEYBOARD) {
    g_bAltAlone = bAltKey;
    if (pDlg && pDlg->pBar && pDlg->TakesInput() && !bAltKey) {
      const int nMods = Fl::event_state() & (FL_SHIFT | FL_CTRL | FL_ALT | FL_META);
      if (nKey == FL_F + 10 && nMods == 0) {
        pDlg->OpenMenu(0);
        return 1;
      }
      const int nPopup = (nMods & FL_ALT) && !(nMods & (FL_CTRL | FL_META)) ? pDlg->PopupByLetter(nKey) : -1;
      if (nPopup >= 0) {
        pDlg->OpenMenu(nPopup);
        return 1;
      }
    }
  } else if (e == FL_KEYUP && bAltKey) {
    const bool bOpen = g_bAltAlone;
    g_bAltAlone = false;
    if (bOpen && pDlg && pDlg->pBar && pDlg->TakesInput()) {
      pDlg->OpenMenu(0);
      return 1;
    }
  } else if (e == FL_PUSH || e == FL_UNFOCUS) {
    g_bAltAlone = false;
  }
  return g_pfnNextDispatch ? g_pfnNextDispatch(e, w) : Fl::handle_(e, w);
}

// The close box (the window manager's delete request).
void WindowCallback(Fl_Widget *w, void *) {
  DlgWindow *pWin = static_cast<DlgWindow *>(w);
  if (Fl::event() == FL_CLOSE) UiOperatorClose(pWin->hDlg);
  else if (Fl::event_key() == FL_Escape) UiOperatorCommand(pWin->hDlg, IDCANCEL);
}

// A static text: left-aligned, clipped to its box, drawn from the box's own
// left edge as the original static text draws (the toolkit's labels keep a
// margin of three pixels). Its own background, so that a shorter new text
// leaves nothing behind. A box of more than one line wraps at word breaks; a
// box of one line (the progress dialog's texts) keeps its text on that line
// and cuts a text too long for it with an ellipsis, rather than show the top
// of a wrapped second line.
class StaticText : public Fl_Box {
 public:
  StaticText(int x, int y, int w, int h) : Fl_Box(FL_FLAT_BOX, x, y, w, h, nullptr) {
    align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_CLIP);
  }
  bool bOneLine = false;
  std::string text;  // as the core holds it (the label has '@' doubled)

  // What a one-line box shows: the text up to its first line break, cut
  // with "..." to the box's width. Needs the font set.
  std::string OneLine() const {
    std::string line = text.substr(0, text.find_first_of("\r\n"));
    auto width = [](const std::string &t, std::size_t n) {
      return fl_width(t.c_str(), static_cast<int>(n));
    };
    if (width(line, line.size()) <= w()) return line;
    const char Ellipsis[] = "...";
    const double dRoom = w() - fl_width(Ellipsis);
    std::size_t n = line.size();
    while (n > 0) {
      n--;
      // Never inside a UTF-8 sequence.
      while (n > 0 && (static_cast<unsigned char>(line[n]) & 0xC0) == 0x80) n--;
      if (width(line, n) <= dRoom) break;
    }
    return line.substr(0, n) + Ellipsis;
  }
  void draw() override {
    draw_box();
    fl_font(labelfont(), labelsize());
    fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
    if (bOneLine) {
      std::string line = OneLine();
      fl_push_clip(x(), y(), w(), h());
      fl_draw(line.c_str(), static_cast<int>(line.size()), x(), y() + fl_height() - fl_descent());
      fl_pop_clip();
      return;
    }
    if (!label()) return;
    fl_draw(label(), x(), y(), w(), h(), align());
  }
};

class TabListBox;
void SyncList(TabListBox *pList, HWND h);

// The list box: the core's items in the core's order, one selected or none,
// and tabs expanded at the program's stops (dialog units) and past the last
// one every eight average character widths.
//
// Home, End, Page Up and Page Down move the selection, as the arrows do, and
// the list scrolls to keep it in view. (The toolkit's own list scrolls on
// them and leaves the selection where it was, off the screen, where Edit,
// Download and Remove would still act on it unseen.)
class TabListBox : public Fl_Hold_Browser {
 public:
  TabListBox(int x, int y, int w, int h) : Fl_Hold_Browser(x, y, w, h) {
    format_char(0);
    column_char(0);
    has_scrollbar(Fl_Browser_::VERTICAL);
  }
  FltkBaseUnits units{};
  std::vector<int> tabStopsDu;

  std::vector<FltkTabPiece> Pieces(const char *pszLine) const {
    std::vector<int> stopsPx;
    for (int d : tabStopsDu) stopsPx.push_back(FltkDuToPixelsX(d, units));
    fl_font(textfont(), textsize());
    return FltkExpandTabs(pszLine ? pszLine : "", stopsPx, 8 * units.cxChar,
                          [](const std::string &s) {
                            return static_cast<int>(fl_width(s.c_str(), static_cast<int>(s.size())) + 0.5);
                          });
  }
  std::vector<FltkTabPiece> PiecesOfLine(int nLine) const { return Pieces(text(nLine)); }

  // Every row one line of the font high; the box's height made a whole
  // number of rows (never more than the template gives), as the original
  // list box does unless told otherwise, so that no half row shows at the
  // bottom edge. Call with the text font set.
  int nRowH = 0;
  void FitWholeRows() {
    fl_font(textfont(), textsize());
    nRowH = fl_height();
    int nX, nY, nW, nH;
    bbox(nX, nY, nW, nH);
    const int nFrame = h() - nH;  // the box's edges, as the list draws them
    const int nRows = std::max(1, (h() - nFrame) / nRowH);
    size(w(), nFrame + nRows * nRowH);
  }
  void ItemArea(int *px, int *py, int *pw, int *ph) const { bbox(*px, *py, *pw, *ph); }

  int handle(int e) override {
    if (e == FL_KEYBOARD && !(Fl::event_state() & (FL_SHIFT | FL_CTRL | FL_ALT | FL_META))) {
      const int nTo = KeyTarget(Fl::event_key());
      if (nTo != -2) {
        if (nTo >= 0) {
          const HWND h = CtlHandle(this);
          UiOperatorSelect(h, nTo);
          SyncList(this, h);
        }
        return 1;
      }
    }
    return Fl_Hold_Browser::handle(e);
  }

 protected:
  // The item a paging key selects (-1: none, the list being empty); -2 for
  // any other key. A page is the rows in view less one, so that the item
  // selected before stays in view, as in the original list box.
  int KeyTarget(int nKey) const {
    const int nCount = size();
    if (nKey != FL_Home && nKey != FL_End && nKey != FL_Page_Up && nKey != FL_Page_Down) return -2;
    if (nCount == 0) return -1;
    int nX, nY, nW, nH;
    bbox(nX, nY, nW, nH);
    const int nPage = std::max(1, (nRowH > 0 ? nH / nRowH : 1) - 1);
    const int nFrom = value() > 0 ? value() - 1 : std::max(0, topline() - 1);
    switch (nKey) {
      case FL_Home:
        return 0;
      case FL_End:
        return nCount - 1;
      case FL_Page_Up:
        return std::max(0, nFrom - nPage);
      default:
        return std::min(nCount - 1, nFrom + nPage);
    }
  }

  int item_height(void *item) const override {
    return nRowH > 0 ? nRowH : Fl_Hold_Browser::item_height(item);
  }
  void item_draw(void *item, int X, int Y, int W, int H) const override {
    (void)W;
    const int nLine = lineno(item);
    Fl_Color c = textcolor();
    if (item_selected(item)) c = fl_contrast(c, selection_color());
    if (!active_r()) c = fl_inactive(c);
    std::vector<FltkTabPiece> pieces = Pieces(text(nLine));
    fl_color(c);
    const int nBase = Y + (H - fl_height()) / 2 + fl_height() - fl_descent();
    for (const FltkTabPiece &p : pieces)
      fl_draw(p.text.c_str(), static_cast<int>(p.text.size()), X + 3 + p.x, nBase);
  }
  int item_width(void *item) const override {
    std::vector<FltkTabPiece> pieces = Pieces(text(lineno(item)));
    const FltkTabPiece &last = pieces.back();
    return last.x + static_cast<int>(fl_width(last.text.c_str(), static_cast<int>(last.text.size()))) + 6;
  }
};

// An edit field holds one line, as the original's does: a pasted or dropped
// text is taken up to its first line break, and Ctrl+J and Ctrl+M, which the
// toolkit would insert literally, do nothing. A line break in a field would
// reach the unit's record, and from there the error log's lines.
//
// Whenever the dialog gives it the focus (on opening, by Tab) the field
// selects its whole text, so that typing replaces it; a click into it
// places the caret instead. The focus that comes back to the field with its
// window (from another program, or from a message box) finds the caret and
// selection as they were: the next key goes on with what was being typed
// instead of replacing it.
class EditField : public Fl_Input {
 public:
  EditField(int x, int y, int w, int h) : Fl_Input(x, y, w, h) {}
  int handle(int e) override {
    if (e == FL_PUSH && Fl::focus() != this) {
      m_bClicked = true;
      int r = Fl_Input::handle(e);
      m_bClicked = false;
      return r;
    }
    if (e == FL_UNFOCUS) {
      // The new focus is already in place: none, or in another window.
      const Fl_Widget *pTo = Fl::focus();
      m_bWindowLeft = !pTo || pTo->top_window() != top_window();
    }
    if (e == FL_FOCUS) {
      const bool bBack = m_bWindowLeft && !m_bClicked;
      m_bWindowLeft = false;
      const int nPos = position(), nMark = mark();
      int r = Fl_Input::handle(e);
      if (bBack) position(nPos, nMark);
      else if (!m_bClicked) position(size(), 0);
      return r;
    }
    if (e == FL_PASTE || (e == FL_KEYBOARD && Fl::event_key() != FL_Enter &&
                          Fl::event_key() != FL_KP_Enter)) {
      const char *p = Fl::event_text();
      const int n = p ? Fl::event_length() : 0;
      int nLine = 0;
      while (nLine < n && p[nLine] != '\r' && p[nLine] != '\n') nLine++;
      if (nLine < n) {
        if (e == FL_PASTE && !readonly()) replace(position(), mark(), p, nLine);
        return 1;
      }
    }
    return Fl_Input::handle(e);
  }

 private:
  bool m_bClicked = false;     // the focus comes from a click into the field
  bool m_bWindowLeft = false;  // the focus went out of the window, not to a field of it
};

// ---- Reading the core's state into the widgets ----

void SyncText(Fl_Widget *w, int nKind, HWND h) {
  std::string s = UiGetText(h);
  if (nKind == UI_EDIT) {
    Fl_Input *pIn = static_cast<Fl_Input *>(w);
    if (s != pIn->value()) pIn->value(s.c_str());
    return;
  }
  if (StaticText *pStatic = dynamic_cast<StaticText *>(w)) pStatic->text = s;
  std::string label = LabelText(s);
  if (!w->label() || label != w->label()) {
    w->copy_label(label.c_str());
    w->redraw();
  }
}

void SyncCheck(Fl_Widget *w, HWND h) {
  int nCheck = static_cast<int>(SendMessage(h, BM_GETCHECK, 0, 0)) == BST_CHECKED ? 1 : 0;
  Fl_Check_Button *pCheck = static_cast<Fl_Check_Button *>(w);
  if (pCheck->value() != nCheck) pCheck->value(nCheck);
}

void SyncList(TabListBox *pList, HWND h) {
  std::vector<std::string> items;
  int nSel = -1;
  std::vector<int> stops;
  if (!UiGetListState(h, &items, &nSel, &stops)) return;
  bool bSame = pList->size() == static_cast<int>(items.size());
  for (int i = 0; bSame && i < pList->size(); i++) {
    const char *p = pList->text(i + 1);
    bSame = items[static_cast<std::size_t>(i)] == (p ? p : "");
  }
  if (stops != pList->tabStopsDu) {
    pList->tabStopsDu = stops;
    pList->redraw();
  }
  if (!bSame) {
    int nTop = pList->topline();
    pList->clear();
    for (const std::string &s : items) pList->add(s.c_str());
    if (nTop >= 1 && nTop <= pList->size()) pList->topline(nTop);
  }
  if (nSel >= 0 && nSel < pList->size()) {
    if (pList->value() != nSel + 1) pList->value(nSel + 1);
    pList->make_visible(nSel + 1);
  } else if (pList->value() != 0) {
    pList->deselect();
  }
  pList->redraw();
}

void SyncEnabled(Fl_Widget *w, HWND h) {
  UiWindowInfo info;
  if (!UiGetWindowInfo(h, &info)) return;
  if (info.nKind == UI_DIALOG) {
    static_cast<DlgWindow *>(w)->bEnabled = info.bEnabled != 0;
    return;
  }
  if (info.bEnabled && !w->active()) w->activate();
  if (!info.bEnabled && w->active()) w->deactivate();
}

void ApplyChange(HWND h, int nWhat) {
  auto itView = g_views.find(h);
  if (itView != g_views.end()) {
    DlgWindow *pWin = itView->second->pWin;
    if (nWhat == UI_CHANGED_TEXT) pWin->copy_label(UiGetText(h).c_str());
    else if (nWhat == UI_CHANGED_ENABLED) SyncEnabled(pWin, h);
    return;
  }
  auto it = g_ctls.find(h);
  if (it == g_ctls.end()) return;
  Fl_Widget *w = it->second.second;
  UiWindowInfo info;
  if (!UiGetWindowInfo(h, &info)) return;
  switch (nWhat) {
    case UI_CHANGED_TEXT:
      if (info.nKind != UI_LISTBOX) SyncText(w, info.nKind, h);
      break;
    case UI_CHANGED_CHECK:
      if (info.nKind == UI_CHECKBOX) SyncCheck(w, h);
      break;
    case UI_CHANGED_LIST:
      if (info.nKind == UI_LISTBOX) SyncList(static_cast<TabListBox *>(w), h);
      break;
    case UI_CHANGED_ENABLED:
      SyncEnabled(w, h);
      break;
    default:
      break;
  }
}

// ---- What the person does ----

void ButtonCallback(Fl_Widget *w, void *) { UiOperatorClick(CtlHandle(w)); }

void CheckCallback(Fl_Widget *w, void *) {
  HWND h = CtlHandle(w);
  UiOperatorClick(h);
  // The core toggles the state (or refuses); show what it holds.
  SyncCheck(w, h);
}

void InputCallback(Fl_Widget *w, void *) {
  HWND h = CtlHandle(w);
  UiOperatorSetText(h, static_cast<Fl_Input *>(w)->value());
  SyncText(w, UI_EDIT, h);
}

void ListCallback(Fl_Widget *w, void *) {
  TabListBox *pList = static_cast<TabListBox *>(w);
  HWND h = CtlHandle(w);
  // A click below the last item selects nothing in the toolkit; the original
  // list box keeps its selection then, so only a chosen item is passed on.
  if (pList->value() > 0) UiOperatorSelect(h, pList->value() - 1);
  SyncList(pList, h);
}

void MenuCallback(Fl_Widget *w, void *pData) {
  DlgWindow *pWin = static_cast<DlgWindow *>(w->window());
  if (pWin) UiOperatorCommand(pWin->hDlg, static_cast<int>(reinterpret_cast<std::intptr_t>(pData)));
}

// A menu path for Fl_Menu_::add: '/' separates levels and '\' escapes.
std::string MenuPathPart(const char *psz) {
  std::string out;
  for (const char *p = psz; p && *p; p++) {
    if (*p == '/' || *p == '\\') out += '\\';
    out += *p;
  }
  return out;
}

// The items of a pop-up menu get room around their text (the toolkit's own
// items sit tight against the pop-up's edges and each other): a label type
// of their own, measured and drawn as a normal label with a margin.
const Fl_Labeltype MenuItemLabel = FL_FREE_LABELTYPE;
const int MenuItemPadX = 14, MenuItemPadY = 3;  // at 96 dpi

void MenuItemLabelDraw(const Fl_Label *pLabel, int x, int y, int w, int h, Fl_Align align) {
  Fl_Label plain = *pLabel;
  plain.type = FL_NORMAL_LABEL;
  const int nPadX = FltkScaled(MenuItemPadX);
  plain.draw(x + nPadX, y, w - 2 * nPadX, h, align);
}

void MenuItemLabelMeasure(const Fl_Label *pLabel, int &w, int &h) {
  Fl_Label plain = *pLabel;
  plain.type = FL_NORMAL_LABEL;
  plain.measure(w, h);
  w += 2 * FltkScaled(MenuItemPadX);
  h += 2 * FltkScaled(MenuItemPadY);
}

void BuildMenu(Fl_Menu_Bar *pBar, const MenuTemplate *pMenu) {
  static bool bLabelType = false;
  if (!bLabelType) {
    Fl::set_labeltype(MenuItemLabel, MenuItemLabelDraw, MenuItemLabelMeasure);
    bLabelType = true;
  }
  std::vector<int> items;
  for (int i = 0; i < pMenu->nItems; i++) {
    const MenuItemTemplate &it = pMenu->pItems[i];
    std::string path = MenuPathPart(it.pszPopup) + "/" + MenuPathPart(it.pszText);
    items.push_back(pBar->add(path.c_str(), 0, MenuCallback,
                              reinterpret_cast<void *>(static_cast<std::intptr_t>(it.nCommand))));
  }
  // The bar holds its own copy of the items (made by add()); the titles keep
  // the normal label type, so that the bar itself looks as before.
  Fl_Menu_Item *pItems = const_cast<Fl_Menu_Item *>(pBar->menu());
  for (int n : items)
    if (n >= 0) pItems[n].labeltype(MenuItemLabel);
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

void ShowDialogHook(HWND hDlg) {
  UiWindowInfo info;
  if (!UiGetWindowInfo(hDlg, &info) || !info.pTemplate || g_views.count(hDlg)) return;
  const DlgTemplate *t = info.pTemplate;
  auto v = std::make_unique<View>();
  v->hDlg = hDlg;
  v->pTemplate = t;
  v->units = FltkTemplateBaseUnits(t);
  v->nMenuH = FltkMenuBarHeight(t);
  int nFont, nSize;
  FltkTemplateFont(t, &nFont, &nSize);
  FltkRect client = FltkClientRect(t, v->units);

  // A dialog's position counts from its owner's client area, a top-level
  // one's from the screen.
  int nOrgX = 0, nOrgY = 0;
  auto itOwner = info.hOwner ? g_views.find(info.hOwner) : g_views.end();
  if (itOwner != g_views.end()) {
    nOrgX = itOwner->second->pWin->x();
    nOrgY = itOwner->second->pWin->y() + itOwner->second->nMenuH;
  }
  Fl_Group::current(nullptr);
  DlgWindow *pWin = new DlgWindow(nOrgX + FltkDuToPixelsX(t->x, v->units),
                                  nOrgY + FltkDuToPixelsY(t->y, v->units), client.w,
                                  client.h + v->nMenuH);
  pWin->hDlg = hDlg;
  v->pWin = pWin;
  pWin->begin();
  if (v->nMenuH) {
    Fl_Menu_Bar *pBar = new Fl_Menu_Bar(0, 0, client.w, v->nMenuH);
    pBar->textfont(FL_HELVETICA);
    pBar->textsize(FltkSystemFontSize());
    pBar->box(FL_FLAT_BOX);
    BuildMenu(pBar, FindMenuTemplate(t->pszMenu));
    pWin->pBar = pBar;
  }
  Fl_Widget *pFirstFocus = nullptr;
  for (HWND hCtl : UiGetChildren(hDlg)) {
    UiWindowInfo ci;
    if (!UiGetWindowInfo(hCtl, &ci) || !ci.pItem) continue;
    FltkRect r = FltkItemRect(*ci.pItem, v->units);
    r.y += v->nMenuH;
    Fl_Widget *w = nullptr;
    switch (ci.nKind) {
      case UI_STATIC: {
        StaticText *pStatic = new StaticText(r.x, r.y, r.w, r.h);
        fl_font(nFont, nSize);
        pStatic->bOneLine = r.h < 2 * fl_height();
        w = pStatic;
        break;
      }
      case UI_BUTTON: {
        w = new Fl_Button(r.x, r.y, r.w, r.h);
        w->callback(ButtonCallback, hCtl);
        break;
      }
      case UI_CHECKBOX: {
        w = new Fl_Check_Button(r.x, r.y, r.w, r.h);
        w->callback(CheckCallback, hCtl);
        break;
      }
      case UI_EDIT: {
        Fl_Input *pIn = new EditField(r.x, r.y, r.w, r.h);
        pIn->textfont(nFont);
        pIn->textsize(nSize);
        pIn->when(FL_WHEN_CHANGED);
        pIn->callback(InputCallback, hCtl);
        w = pIn;
        break;
      }
      case UI_LISTBOX: {
        TabListBox *pList = new TabListBox(r.x, r.y, r.w, r.h);
        pList->units = v->units;
        pList->textfont(nFont);
        pList->textsize(nSize);
        pList->FitWholeRows();
        pList->when(FL_WHEN_CHANGED);
        pList->callback(ListCallback, hCtl);
        w = pList;
        break;
      }
      default:
        continue;
    }
    w->user_data(hCtl);
    w->labelfont(nFont);
    w->labelsize(nSize);
    if (!(ci.pItem->dwStyle & WS_TABSTOP)) w->clear_visible_focus();
    else if (!pFirstFocus) pFirstFocus = w;
    g_ctls[hCtl] = std::make_pair(v.get(), w);
    v->controls.push_back(hCtl);
    if (ci.nKind == UI_LISTBOX) SyncList(static_cast<TabListBox *>(w), hCtl);
    else SyncText(w, ci.nKind, hCtl);
    if (ci.nKind == UI_CHECKBOX) SyncCheck(w, hCtl);
    if (!ci.bEnabled) w->deactivate();
  }
  pWin->end();
  pWin->copy_label(UiGetText(hDlg).c_str());
  pWin->callback(WindowCallback);
  pWin->xclass(WindowClass);
  // A modal frame: the size is the template's, not the person's.
  pWin->size_range(pWin->w(), pWin->h(), pWin->w(), pWin->h());
  if (MainIcon()) pWin->icon(MainIcon());
  // Kept above its owner; the core, not the toolkit, keeps the owner from
  // taking input meanwhile.
  Fl_Window *pOwnerWin = itOwner != g_views.end() ? itOwner->second->pWin : nullptr;
  if (pOwnerWin) pWin->set_non_modal();
  pWin->bEnabled = info.bEnabled != 0;
  v->hOwner = info.hOwner;
  g_views[hDlg] = std::move(v);
  g_keepShown.insert(pWin);
  ShowWithHints(pWin, pOwnerWin, pOwnerWin != nullptr, pOwnerWin != nullptr);
  FocusWindow(pWin);
  if (pFirstFocus) pFirstFocus->take_focus();
  Fl::flush();
}

// The window that gets the focus back when a window of this owner closes:
// the owner, or, when the owner has gone meanwhile (a worker's box outlives
// its progress dialog), the newest dialog still open.
Fl_Window *FocusHeir(HWND hOwner) {
  auto it = hOwner ? g_views.find(hOwner) : g_views.end();
  if (it != g_views.end()) return it->second->pWin;
  Fl_Window *pNewest = nullptr;
  std::uintptr_t nNewest = 0;
  for (const auto &kv : g_views) {
    // Handles grow with creation: the largest is the newest.
    const std::uintptr_t n = reinterpret_cast<std::uintptr_t>(kv.first);
    if (n >= nNewest) {
      nNewest = n;
      pNewest = kv.second->pWin;
    }
  }
  return pNewest;
}

void AnswerWorkerBoxesOf(HWND hOwner);

void DestroyDialogHook(HWND hDlg) {
  auto it = g_views.find(hDlg);
  if (it == g_views.end()) return;
  for (HWND h : it->second->controls) g_ctls.erase(h);
  DlgWindow *pWin = it->second->pWin;
  const HWND hOwner = it->second->hOwner;
  g_views.erase(it);
  const bool bHandOn = HoldsFocus(pWin);
  ForgetWindow(pWin);
  pWin->hide();
  Fl::delete_widget(pWin);
  if (bHandOn) FocusWindow(FocusHeir(hOwner));
  AnswerWorkerBoxesOf(hDlg);
}

// ---- Message boxes ----

// The error icon: a red disc with a white cross.
class ErrorIcon : public Fl_Widget {
 public:
  ErrorIcon(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {}
  void draw() override {
    fl_color(fl_rgb_color(200, 30, 30));
    fl_pie(x(), y(), w(), h(), 0, 360);
    fl_color(FL_WHITE);
    fl_line_style(FL_SOLID | FL_CAP_ROUND, 3);
    const int d = w() / 3;
    fl_line(x() + d, y() + d, x() + w() - d, y() + h() - d);
    fl_line(x() + w() - d, y() + d, x() + d, y() + h() - d);
    fl_line_style(0);
  }
};

struct BoxState {
  bool bDone = false;
  BoxRequest *pRequest = nullptr;  // a worker's box; null for the UI thread's
  std::string caption;
  HWND hOwner = nullptr;
};

std::vector<BoxState *> g_openBoxes;  // UI thread

void FinishBox(BoxState *pState) {
  if (pState->bDone) return;
  pState->bDone = true;
  if (pState->pRequest) {
    // Notified under the lock: once the worker sees bDone it may return
    // and its request is gone.
    std::lock_guard<std::mutex> lk(g_mx);
    pState->pRequest->bDone = true;
    pState->pRequest->cv.notify_all();
    pState->pRequest = nullptr;
  }
}

class BoxWindow : public Fl_Double_Window {
 public:
  BoxWindow(int w, int h) : Fl_Double_Window(w, h) {}
  BoxState *pState = nullptr;
  int handle(int e) override {
    WatchMinimize(this, e);
    // Enter and Escape both answer the one button.
    if ((e == FL_KEYBOARD || e == FL_SHORTCUT) &&
        (Fl::event_key() == FL_Escape || Fl::event_key() == FL_Enter ||
         Fl::event_key() == FL_KP_Enter)) {
      FinishBox(pState);
      return 1;
    }
    return Fl_Double_Window::handle(e);
  }
};

void BoxCloseCallback(Fl_Widget *w, void *) { FinishBox(static_cast<BoxWindow *>(w)->pState); }
void BoxOkCallback(Fl_Widget *w, void *) {
  FinishBox(static_cast<BoxWindow *>(w->window())->pState);
}

BoxWindow *MakeBox(const std::string &text, const std::string &caption, HWND hOwner,
                   BoxState *pState) {
  const int nFontSize = FltkSystemFontSize();
  fl_font(FL_HELVETICA, nFontSize);
  std::string label = LabelText(text);
  int nTextW = FltkScaled(360), nTextH = 0;
  fl_measure(label.c_str(), nTextW, nTextH, 1);
  // Unwrapped text narrower than the wrap width keeps its own width.
  int nOneW = 0, nOneH = 0;
  fl_measure(label.c_str(), nOneW, nOneH, 1);
  if (nOneW < nTextW) {
    nTextW = nOneW;
    nTextH = nOneH;
  }
  const int nPad = FltkScaled(16), nIcon = FltkScaled(32), nButtonW = FltkScaled(80),
            nButtonH = FltkScaled(26);
  int nW = std::max(nPad + nIcon + nPad + nTextW + nPad, nButtonW + 2 * nPad);
  nW = std::max(nW, FltkScaled(220));
  int nBodyH = std::max(nIcon, nTextH);
  int nH = nPad + nBodyH + nPad + nButtonH + nPad;

  Fl_Group::current(nullptr);
  BoxWindow *pWin = new BoxWindow(nW, nH);
  pWin->pState = pState;
  pWin->begin();
  new ErrorIcon(nPad, nPad, nIcon, nIcon);
  StaticText *pText = new StaticText(nPad + nIcon + nPad, nPad, nTextW + 2, nBodyH);
  pText->labelfont(FL_HELVETICA);
  pText->labelsize(nFontSize);
  pText->copy_label(label.c_str());
  Fl_Button *pOk = new Fl_Button((nW - nButtonW) / 2, nH - nPad - nButtonH, nButtonW, nButtonH, "OK");
  pOk->labelsize(nFontSize);
  pOk->callback(BoxOkCallback);
  pWin->end();
  pWin->copy_label(caption.c_str());
  pWin->callback(BoxCloseCallback);
  pWin->xclass(WindowClass);
  pWin->size_range(nW, nH, nW, nH);
  if (MainIcon()) pWin->icon(MainIcon());
  // Centred on the owner when it is on the screen, else on the screen. A
  // worker's box goes below its owner instead (above it when the screen
  // ends first), so that it never covers the progress dialog's Cancel
  // button; the room between leaves space for a window manager's frame.
  auto it = hOwner ? g_views.find(hOwner) : g_views.end();
  Fl_Window *pOwner = it != g_views.end() ? it->second->pWin : nullptr;
  if (pOwner && pState->pRequest) {
    const int nGap = FltkScaled(40);
    int nY = pOwner->y() + pOwner->h() + nGap;
    if (nY + nH > Fl::h()) nY = std::max(0, pOwner->y() - nGap - nH);
    pWin->position(std::max(0, pOwner->x() + (pOwner->w() - nW) / 2), nY);
  } else if (pOwner) {
    pWin->position(pOwner->x() + (pOwner->w() - nW) / 2, pOwner->y() + (pOwner->h() - nH) / 2);
  } else {
    pWin->position((Fl::w() - nW) / 2, (Fl::h() - nH) / 2);
  }
  // Above the other windows, but not the toolkit's modal window: which
  // dialogs a box holds up is decided by who raised it (see above).
  pWin->set_non_modal();
  pState->hOwner = hOwner;
  g_keepShown.insert(pWin);
  ShowWithHints(pWin, pOwner, true, pState->pRequest == nullptr);
  FocusWindow(pWin);
  pOk->take_focus();
  g_openBoxes.push_back(pState);
  return pWin;
}

void DropBox(BoxWindow *pWin, BoxState *pState) {
  g_openBoxes.erase(std::remove(g_openBoxes.begin(), g_openBoxes.end(), pState), g_openBoxes.end());
  const bool bHandOn = HoldsFocus(pWin);
  ForgetWindow(pWin);
  pWin->hide();
  Fl::delete_widget(pWin);
  if (bHandOn) FocusWindow(FocusHeir(pState->hOwner));
}

// A worker's box lives on the UI thread; the worker sleeps until it is
// answered. The box and its state go away when it is answered. It holds up
// its worker alone: the progress dialog under it keeps its Cancel button and
// close box (the operator may cancel the download instead of answering), and
// the UI thread keeps serving meanwhile.
struct WorkerBox {
  BoxState state;
  BoxWindow *pWin = nullptr;
};
std::vector<std::unique_ptr<WorkerBox>> g_workerBoxes;  // UI thread

// A worker's box over a dialog that goes (the progress dialog cancelled
// under it) is answered with it: the cancel is the operator's answer. Left
// open, the box would stay behind the main window with nothing to keep it
// above, its worker asleep in it, the cancel never noted, and the program's
// end waiting for that worker.
void AnswerWorkerBoxesOf(HWND hOwner) {
  for (auto it = g_workerBoxes.begin(); it != g_workerBoxes.end();) {
    if ((*it)->state.hOwner == hOwner) {
      FinishBox(&(*it)->state);
      DropBox((*it)->pWin, &(*it)->state);
      it = g_workerBoxes.erase(it);
    } else {
      ++it;
    }
  }
}

void ApplyPending() {
  std::vector<std::pair<HWND, int>> changes;
  std::vector<BoxRequest *> boxes;
  {
    std::lock_guard<std::mutex> lk(g_mx);
    changes.swap(g_pending);
    boxes.swap(g_boxRequests);
  }
  std::set<std::pair<HWND, int>> done;
  for (const auto &c : changes)
    if (done.insert(c).second) ApplyChange(c.first, c.second);
  for (BoxRequest *pReq : boxes) {
    if (pReq->hOwner && !IsWindow(pReq->hOwner)) {
      // Its dialog went before the box could be shown: answered as above.
      std::lock_guard<std::mutex> lk(g_mx);
      pReq->bDone = true;
      pReq->cv.notify_all();
      continue;
    }
    auto wb = std::make_unique<WorkerBox>();
    wb->state.pRequest = pReq;
    wb->state.caption = pReq->caption;
    wb->pWin = MakeBox(pReq->text, pReq->caption, pReq->hOwner, &wb->state);
    g_workerBoxes.push_back(std::move(wb));
  }
  for (auto it = g_workerBoxes.begin(); it != g_workerBoxes.end();) {
    if ((*it)->state.bDone) {
      DropBox((*it)->pWin, &(*it)->state);
      it = g_workerBoxes.erase(it);
    } else {
      ++it;
    }
  }
}

void WaitHook() {
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

void ChangedHook(HWND h, int nWhat) {
  {
    std::lock_guard<std::mutex> lk(g_mx);
    g_pending.emplace_back(h, nWhat);
  }
  if (!OnUiThread()) WakeHook();
}

int BoxDone(void *p) { return static_cast<BoxState *>(p)->bDone ? 1 : 0; }

int MessageBoxHook(HWND hOwner, const char *pszText, const char *pszCaption, UINT) {
  if (OnUiThread()) {
    // The UI thread's box stops every dialog until it is answered.
    BoxState state;
    state.caption = pszCaption;
    BoxWindow *pWin = MakeBox(pszText, pszCaption, hOwner, &state);
    g_nUiBoxes++;
    UiRunLoopUntil(BoxDone, &state);
    g_nUiBoxes--;
    DropBox(pWin, &state);
    return IDOK;
  }
  BoxRequest req;
  req.text = pszText;
  req.caption = pszCaption;
  req.hOwner = hOwner;
  {
    std::lock_guard<std::mutex> lk(g_mx);
    g_boxRequests.push_back(&req);
  }
  WakeHook();
  std::unique_lock<std::mutex> lk(g_mx);
  req.cv.wait(lk, [&] { return req.bDone; });
  return IDOK;
}

const UiBackend FltkBackend = {
    "fltk", ShowDialogHook, DestroyDialogHook, ChangedHook, WaitHook, WakeHook, MessageBoxHook,
};

// Xlib calls this when the connection to the X server is gone; it must not
// return (Xlib would exit()).
int DisplayGone(Display *) { PlatDisplayLost(); }

}  // namespace

const UiBackend *FltkBackendOpen() {
  static bool bOpen = false;
  if (bOpen) return &FltkBackend;
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
  g_pfnNextDispatch = Fl::event_dispatch();
  Fl::event_dispatch(MenuKeyDispatch);
  g_uiThread = std::this_thread::get_id();
  bOpen = true;
  return &FltkBackend;
}

// ---- Read-back for tests ----

int FltkGetShownRect(HWND hWnd, FltkRect *pRect) {
  auto itView = g_views.find(hWnd);
  if (itView != g_views.end()) {
    const View &v = *itView->second;
    *pRect = FltkRect{v.pWin->x(), v.pWin->y() + v.nMenuH, v.pWin->w(), v.pWin->h() - v.nMenuH};
    return v.pWin->shown() ? 1 : 0;
  }
  auto it = g_ctls.find(hWnd);
  if (it == g_ctls.end()) return 0;
  const Fl_Widget *w = it->second.second;
  *pRect = FltkRect{w->x(), w->y() - it->second.first->nMenuH, w->w(), w->h()};
  return 1;
}

unsigned long FltkGetXid(HWND hDlg) {
  auto it = g_views.find(hDlg);
  if (it == g_views.end() || !it->second->pWin->shown()) return 0;
  return static_cast<unsigned long>(fl_xid(it->second->pWin));
}

int FltkGetListLine(HWND hList, int nLine, std::vector<FltkTabPiece> *pPieces) {
  auto it = g_ctls.find(hList);
  if (it == g_ctls.end()) return 0;
  TabListBox *pList = dynamic_cast<TabListBox *>(it->second.second);
  if (!pList || nLine < 0 || nLine >= pList->size()) return 0;
  *pPieces = pList->PiecesOfLine(nLine + 1);
  return 1;
}

int FltkListTextWidth(HWND hList, const std::string &text) {
  auto it = g_ctls.find(hList);
  if (it == g_ctls.end()) return -1;
  TabListBox *pList = dynamic_cast<TabListBox *>(it->second.second);
  if (!pList) return -1;
  fl_font(pList->textfont(), pList->textsize());
  return static_cast<int>(fl_width(text.c_str(), static_cast<int>(text.size())) + 0.5);
}

int FltkGetListTopLine(HWND hList) {
  auto it = g_ctls.find(hList);
  if (it == g_ctls.end()) return -2;
  TabListBox *pList = dynamic_cast<TabListBox *>(it->second.second);
  return pList ? pList->topline() - 1 : -2;
}

int FltkGetShownSelection(HWND hList) {
  auto it = g_ctls.find(hList);
  if (it == g_ctls.end()) return -2;
  TabListBox *pList = dynamic_cast<TabListBox *>(it->second.second);
  return pList ? pList->value() - 1 : -2;
}

int FltkGetShownText(HWND hWnd, std::string *pText) {
  auto itView = g_views.find(hWnd);
  if (itView != g_views.end()) {
    const char *p = itView->second->pWin->label();
    *pText = p ? p : "";
    return 1;
  }
  auto it = g_ctls.find(hWnd);
  if (it == g_ctls.end()) return 0;
  Fl_Widget *w = it->second.second;
  if (Fl_Input *pIn = dynamic_cast<Fl_Input *>(w)) {
    *pText = pIn->value();
    return 1;
  }
  // Labels hold '@' doubled.
  std::string s = w->label() ? w->label() : "";
  std::string out;
  for (std::size_t i = 0; i < s.size(); i++) {
    out += s[i];
    if (s[i] == '@' && i + 1 < s.size() && s[i + 1] == '@') i++;
  }
  *pText = out;
  return 1;
}

int FltkGetShownCheck(HWND hWnd) {
  auto it = g_ctls.find(hWnd);
  if (it == g_ctls.end()) return -1;
  Fl_Check_Button *p = dynamic_cast<Fl_Check_Button *>(it->second.second);
  return p ? p->value() : -1;
}

int FltkGetOneLineText(HWND hStatic, std::string *pLine) {
  auto it = g_ctls.find(hStatic);
  if (it == g_ctls.end()) return 0;
  StaticText *p = dynamic_cast<StaticText *>(it->second.second);
  if (!p || !p->bOneLine) return 0;
  fl_font(p->labelfont(), p->labelsize());
  *pLine = p->OneLine();
  return 1;
}

int FltkTextWidth(HWND hCtl, const std::string &text) {
  auto it = g_ctls.find(hCtl);
  if (it == g_ctls.end()) return -1;
  const Fl_Widget *w = it->second.second;
  fl_font(w->labelfont(), w->labelsize());
  return static_cast<int>(std::ceil(fl_width(text.c_str(), static_cast<int>(text.size()))));
}

int FltkGetListRows(HWND hList, FltkRect *pItemArea, int *pnRowH) {
  auto it = g_ctls.find(hList);
  if (it == g_ctls.end()) return 0;
  TabListBox *pList = dynamic_cast<TabListBox *>(it->second.second);
  if (!pList) return 0;
  int x, y, w, h;
  pList->ItemArea(&x, &y, &w, &h);
  *pItemArea = FltkRect{x, y - it->second.first->nMenuH, w, h};
  *pnRowH = pList->nRowH;
  return 1;
}

HWND FltkGetFocus() {
  Fl_Widget *pFocus = Fl::focus();
  if (!pFocus) return nullptr;
  for (const auto &kv : g_ctls)
    if (kv.second.second == pFocus) return kv.first;
  for (const auto &kv : g_views)
    if (kv.second->pWin == pFocus) return kv.first;
  return nullptr;
}

int FltkGetEditSelection(HWND hEdit, int *pnStart, int *pnEnd) {
  auto it = g_ctls.find(hEdit);
  if (it == g_ctls.end()) return 0;
  Fl_Input *pIn = dynamic_cast<Fl_Input *>(it->second.second);
  if (!pIn) return 0;
  *pnStart = std::min(pIn->position(), pIn->mark());
  *pnEnd = std::max(pIn->position(), pIn->mark());
  return 1;
}

std::vector<std::string> FltkOpenMessageBoxes() {
  std::vector<std::string> out;
  for (BoxState *p : g_openBoxes) out.push_back(p->caption);
  return out;
}

#if defined(__SANITIZE_ADDRESS__)
// The toolkit, Xlib and fontconfig keep allocations for the life of the
// process (font caches, the display connection) by design.
extern "C" const char *__lsan_default_suppressions() {
  return "leak:libfltk\nleak:libX11\nleak:libXft\nleak:libfontconfig\nleak:libXrender\n"
         "leak:libxcb\nleak:libfreetype\nleak:libXext\nleak:libXinerama\nleak:libXfixes\n";
}
#endif
