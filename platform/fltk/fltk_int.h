// What the files of the desktop backend know of each other: the dialogs on
// the screen and their widgets, the window-manager side, the message boxes
// and the wake of the UI thread. Only files of platform/fltk/ include it
// (it names FLTK types); the program sees the backend through its table
// alone (platform/ui/backend.h).
//
// Everything here belongs to the UI thread unless it says otherwise.
#pragma once
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Hold_Browser.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_RGB_Image.H>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/fltk/fltk_backend.h"
#include "platform/window.h"

struct MenuTemplate;

namespace fltkui {

// The X class of every window, so that a desktop entry can match them.
inline constexpr char WindowClass[] = "TandrelDL";

// ---- The backend's own thread and wake (fltk_backend.cpp) ----

bool OnUiThread();
// Ends the UI thread's wait in the toolkit. Any thread.
void FltkWake();

// ---- The window manager (fltk_wm.cpp) ----

// Shows a window with the hints that say what it is: a dialog of pOwner
// (kept above it), modal or not; a top-level window when bDialog is false.
void ShowWithHints(Fl_Window *pWin, Fl_Window *pOwner, bool bDialog, bool bModal);
// Makes a shown window the active one with the keyboard focus.
void FocusWindow(Fl_Window *pWin);
// A window of fixed size with the program's X class and icon, which the
// window manager must not minimize: it comes back at once (WatchMinimize,
// called from the window's handle()).
void SetFixedFrame(Fl_Window *pWin);
void KeepShown(Fl_Window *pWin);
void WatchMinimize(Fl_Window *pWin, int e);
// Hides and deletes a window for good; when it held the keyboard focus, the
// focus goes on to the owner's window (or the newest dialog still open).
void CloseWindow(Fl_Window *pWin, HWND hOwner);
// The program's icon (null when the resources hold none).
Fl_RGB_Image *MainIcon();

// ---- The dialogs on the screen (fltk_dialogs.cpp) ----

class DlgWindow;

struct View {
  HWND hDlg = nullptr;
  DlgWindow *pWin = nullptr;
  FltkBaseUnits units{};
  int nFont = 0, nSize = 0;  // the template's font
  int nMenuH = 0;
  std::vector<HWND> controls;
  HWND hOwner = nullptr;
  unsigned long long nSerial = 0;  // the core's creation order
};

extern std::map<HWND, std::unique_ptr<View>> g_views;
extern std::map<HWND, std::pair<View *, Fl_Widget *>> g_ctls;

// The window of a dialog on the screen; null for none.
DlgWindow *ViewWindow(HWND hDlg);
void FltkShowDialog(HWND hDlg);
void FltkDestroyDialog(HWND hDlg);

// ---- A dialog's window and its menu bar (fltk_dlgwindow.cpp) ----

// Message boxes of the UI thread open now. While there is one, no dialog
// takes input: the box is the one thing to answer, as on the original
// platform.
extern int g_nUiBoxes;
// The window in which the newest first click of a series was pressed
// (fltk_dlgwindow.cpp).
extern Fl_Window *g_pClickSeriesWindow;

// A dialog's window. While the core says the dialog is disabled (a modal
// dialog of its own is open), or while a message box of the UI thread is
// open, it takes no input at all, as the original platform does. Enter and
// Escape become the commands the dialog manager gives them: Enter clicks the
// focused push button or else sends IDOK; Escape sends IDCANCEL. What those
// do is the program's business (in the settings and progress dialogs:
// nothing); the toolkit's own habit of closing a window on Escape never
// applies.
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
  int handle(int e) override;
};

// The menu bar of a dialog whose template has a menu.
void BuildMenu(Fl_Menu_Bar *pBar, const MenuTemplate *pMenu);
// Sets up the keys that open a menu bar (F10, Alt, Alt with a letter).
void InstallMenuKeys();
// The close box of a dialog's window.
void DialogCloseCallback(Fl_Widget *w, void *);

// ---- The widgets of the controls (fltk_widgets.cpp) ----

// FLTK reads '@' in a label as the start of a symbol: double it.
std::string LabelText(const std::string &s);
// The core's handle of a control's widget.
inline HWND CtlHandle(const Fl_Widget *w) { return static_cast<HWND>(w->user_data()); }

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
  std::string OneLine() const;
  void draw() override;
};

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
  int nRowH = 0;

  std::vector<FltkTabPiece> Pieces(const char *pszLine) const;
  std::vector<FltkTabPiece> PiecesOfLine(int nLine) const { return Pieces(text(nLine)); }
  // Every row one line of the font high; the box's height made a whole
  // number of rows (never more than the template gives), as the original
  // list box does unless told otherwise, so that no half row shows at the
  // bottom edge.
  void FitWholeRows();
  void ItemArea(int *px, int *py, int *pw, int *ph) const { bbox(*px, *py, *pw, *ph); }
  int handle(int e) override;

 protected:
  int KeyTarget(int nKey) const;
  int item_height(void *item) const override;
  void item_draw(void *item, int X, int Y, int W, int H) const override;
  int item_width(void *item) const override;
};

// The widget of a control, made inside the current group with its callback
// and its state read from the core; null for a kind the backend does not
// draw. *ppFirstFocus is set to the widget when it is the first tab stop.
Fl_Widget *MakeControl(HWND hCtl, const UiWindowInfo &info, const View &view, Fl_Widget **ppFirstFocus);
// Reads what changed in a window of the core into its widget.
void ApplyChange(HWND h, int nWhat);

// ---- Message boxes (fltk_msgbox.cpp) ----

int FltkMessageBox(HWND hOwner, const char *pszText, const char *pszCaption, UINT uType);
// Shows the boxes workers asked for and drops those answered. UI thread,
// while it waits.
void ServeWorkerBoxes();
// Answers and drops the workers' boxes over a dialog that goes.
void AnswerWorkerBoxesOf(HWND hOwner);
// The message boxes open now, newest last.
extern std::vector<Fl_Window *> g_openBoxes;

}  // namespace fltkui
