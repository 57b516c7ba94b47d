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

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fltk/fltk_backend.h"
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

// ---- Windows ----

class DlgWindow;

struct View {
  HWND hDlg = nullptr;
  DlgWindow *pWin = nullptr;
  const DlgTemplate *pTemplate = nullptr;
  FltkBaseUnits units{};
  int nMenuH = 0;
  std::vector<HWND> controls;
};

std::map<HWND, std::unique_ptr<View>> g_views;       // UI thread
std::map<HWND, std::pair<View *, Fl_Widget *>> g_ctls;  // UI thread

// A dialog's window. While the core says the dialog is disabled (a modal
// dialog of its own is open) it takes no input at all, as the original
// platform does. Enter and Escape become the commands the dialog manager
// gives them: Enter clicks the focused push button or else sends IDOK;
// Escape sends IDCANCEL. What those do is the program's business (in the
// settings and progress dialogs: nothing); the toolkit's own habit of
// closing a window on Escape never applies.
class DlgWindow : public Fl_Double_Window {
 public:
  DlgWindow(int x, int y, int w, int h) : Fl_Double_Window(x, y, w, h) {}
  HWND hDlg = nullptr;
  bool bEnabled = true;

  int handle(int e) override {
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
        if (!bEnabled) return 1;
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

// The close box (the window manager's delete request).
void WindowCallback(Fl_Widget *w, void *) {
  DlgWindow *pWin = static_cast<DlgWindow *>(w);
  if (Fl::event() == FL_CLOSE) UiOperatorClose(pWin->hDlg);
  else if (Fl::event_key() == FL_Escape) UiOperatorCommand(pWin->hDlg, IDCANCEL);
}

// A static text: left-aligned, wrapped at word breaks, clipped to its box.
// Its own background, so that a shorter new text leaves nothing behind.
class StaticText : public Fl_Box {
 public:
  StaticText(int x, int y, int w, int h) : Fl_Box(FL_FLAT_BOX, x, y, w, h, nullptr) {
    align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP | FL_ALIGN_CLIP);
  }
  // From the box's own left edge, as the original static text draws; the
  // toolkit's labels keep a margin of three pixels.
  void draw() override {
    draw_box();
    if (!label()) return;
    fl_font(labelfont(), labelsize());
    fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
    fl_draw(label(), x(), y(), w(), h(), align());
  }
};

// The list box: the core's items in the core's order, one selected or none,
// and tabs expanded at the program's stops (dialog units) and past the last
// one every eight average character widths.
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

 protected:
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
class EditField : public Fl_Input {
 public:
  EditField(int x, int y, int w, int h) : Fl_Input(x, y, w, h) {}
  int handle(int e) override {
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
};

// ---- Reading the core's state into the widgets ----

void SyncText(Fl_Widget *w, int nKind, HWND h) {
  std::string s = UiGetText(h);
  if (nKind == UI_EDIT) {
    Fl_Input *pIn = static_cast<Fl_Input *>(w);
    if (s != pIn->value()) pIn->value(s.c_str());
    return;
  }
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

void BuildMenu(Fl_Menu_Bar *pBar, const MenuTemplate *pMenu) {
  for (int i = 0; i < pMenu->nItems; i++) {
    const MenuItemTemplate &it = pMenu->pItems[i];
    std::string path = MenuPathPart(it.pszPopup) + "/" + MenuPathPart(it.pszText);
    pBar->add(path.c_str(), 0, MenuCallback,
              reinterpret_cast<void *>(static_cast<std::intptr_t>(it.nCommand)));
  }
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
    pBar->textsize(13);
    pBar->box(FL_FLAT_BOX);
    BuildMenu(pBar, FindMenuTemplate(t->pszMenu));
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
        w = new StaticText(r.x, r.y, r.w, r.h);
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
  if (itOwner != g_views.end()) pWin->set_modal();
  pWin->bEnabled = info.bEnabled != 0;
  g_views[hDlg] = std::move(v);
  pWin->show();
  if (pFirstFocus) pFirstFocus->take_focus();
  Fl::flush();
}

void DestroyDialogHook(HWND hDlg) {
  auto it = g_views.find(hDlg);
  if (it == g_views.end()) return;
  for (HWND h : it->second->controls) g_ctls.erase(h);
  DlgWindow *pWin = it->second->pWin;
  g_views.erase(it);
  pWin->hide();
  Fl::delete_widget(pWin);
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
                   BoxState *pState, bool bModal) {
  const int nFontSize = 13;
  fl_font(FL_HELVETICA, nFontSize);
  std::string label = LabelText(text);
  int nTextW = 360, nTextH = 0;
  fl_measure(label.c_str(), nTextW, nTextH, 1);
  // Unwrapped text narrower than the wrap width keeps its own width.
  int nOneW = 0, nOneH = 0;
  fl_measure(label.c_str(), nOneW, nOneH, 1);
  if (nOneW < nTextW) {
    nTextW = nOneW;
    nTextH = nOneH;
  }
  const int nPad = 16, nIcon = 32, nButtonW = 80, nButtonH = 26;
  int nW = std::max(nPad + nIcon + nPad + nTextW + nPad, nButtonW + 2 * nPad);
  nW = std::max(nW, 220);
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
  // Centred on the owner when it is on the screen, else on the screen.
  auto it = hOwner ? g_views.find(hOwner) : g_views.end();
  if (it != g_views.end()) {
    Fl_Window *pOwner = it->second->pWin;
    pWin->position(pOwner->x() + (pOwner->w() - nW) / 2, pOwner->y() + (pOwner->h() - nH) / 2);
  } else {
    pWin->position((Fl::w() - nW) / 2, (Fl::h() - nH) / 2);
  }
  if (bModal) pWin->set_modal();
  else pWin->set_non_modal();
  pWin->show();
  pOk->take_focus();
  g_openBoxes.push_back(pState);
  return pWin;
}

void DropBox(BoxWindow *pWin, BoxState *pState) {
  g_openBoxes.erase(std::remove(g_openBoxes.begin(), g_openBoxes.end(), pState), g_openBoxes.end());
  pWin->hide();
  Fl::delete_widget(pWin);
}

// A worker's box lives on the UI thread; the worker sleeps until it is
// answered. The box and its state go away when it is answered. It is modal
// like any box: the toolkit gives input only to the newest modal window, and
// a worker's box comes while the progress dialog (modal over the main
// window) is open, so a box that was not modal could not be answered until
// the person cancelled the download. The UI thread keeps serving meanwhile.
struct WorkerBox {
  BoxState state;
  BoxWindow *pWin = nullptr;
};
std::vector<std::unique_ptr<WorkerBox>> g_workerBoxes;  // UI thread

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
    auto wb = std::make_unique<WorkerBox>();
    wb->state.pRequest = pReq;
    wb->state.caption = pReq->caption;
    wb->pWin = MakeBox(pReq->text, pReq->caption, pReq->hOwner, &wb->state, true);
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
    BoxState state;
    state.caption = pszCaption;
    BoxWindow *pWin = MakeBox(pszText, pszCaption, hOwner, &state, true);
    UiRunLoopUntil(BoxDone, &state);
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

}  // namespace

const UiBackend *FltkBackendOpen() {
  static bool bOpen = false;
  if (bOpen) return &FltkBackend;
  // Open the display ourselves: the toolkit ends the process when it cannot.
  Display *pDisplay = XOpenDisplay(nullptr);
  if (!pDisplay) return nullptr;
  fl_open_display(pDisplay);
  Fl::lock();  // sets up the wake-up pipe; held by the UI thread from now on
  Fl::scheme("gtk+");
  Fl::visible_focus(1);
  Fl_Window::default_xclass(WindowClass);
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
