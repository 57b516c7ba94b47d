// A dialog's window on the screen: input held back while the dialog is
// disabled, Enter and Escape as the dialog manager gives them, the keys
// that open the menu bar, and the menu bar itself.
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>

#include <cctype>
#include <cstdint>

#include "platform/fltk/fltk_int.h"
#include "resources/resources.h"

namespace fltkui {

// The toolkit counts a press at the same place soon after as the next click
// of the series even when another window is there by now: the second click
// of a double click on the progress dialog's Cancel lands on the next unit's
// dialog, which opens at the same place, and cancels that unit too. Such a
// click belongs to the window that has gone, and is dropped.
Fl_Window *g_pClickSeriesWindow = nullptr;

namespace {

// The events by which the person gives input.
bool IsInputEvent(int e) {
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
      return true;
    default:
      return false;
  }
}

// Drops pop-up nPopup (0 = the first) of the menu bar down and runs it with
// the keyboard: arrows move, Enter picks, Escape closes.
void OpenMenu(DlgWindow *pDlg, int nPopup) {
  Fl_Menu_Bar *pBar = pDlg->pBar;
  if (!pBar || !pBar->menu() || !pDlg->TakesInput()) return;
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
int PopupByLetter(const Fl_Menu_Bar *pBar, int nKey) {
  if (!pBar || !pBar->menu() || nKey <= 0 || nKey > 255 || !std::isalnum(nKey)) return -1;
  int i = 0;
  for (const Fl_Menu_Item *p = pBar->menu(); p && p->label(); p = p->next(), i++)
    if (std::tolower(static_cast<unsigned char>(p->label()[0])) == std::tolower(nKey)) return i;
  return -1;
}

// The keys that open the menu bar, seen before any widget sees them (an edit
// field would otherwise take Alt+F as a letter): F10 and Alt pressed and
// released alone open the first pop-up, Alt with a letter the pop-up that
// starts with it.
bool g_bAltAlone = false;  // Alt is down and nothing else happened since
Fl_Event_Dispatch g_pfnNextDispatch = nullptr;

// A key pressed in a dialog with a menu bar that takes input: true when it
// opened a pop-up.
bool OpenMenuByKey(DlgWindow *pDlg, int nKey) {
  const int nMods = Fl::event_state() & (FL_SHIFT | FL_CTRL | FL_ALT | FL_META);
  if (nKey == FL_F + 10 && nMods == 0) {
    OpenMenu(pDlg, 0);
    return true;
  }
  const int nPopup = (nMods & FL_ALT) && !(nMods & (FL_CTRL | FL_META)) ? PopupByLetter(pDlg->pBar, nKey) : -1;
  if (nPopup < 0) return false;
  OpenMenu(pDlg, nPopup);
  return true;
}

int MenuKeyDispatch(int e, Fl_Window *w) {
  DlgWindow *pDlg = w ? dynamic_cast<DlgWindow *>(w) : nullptr;
  const bool bMenu = pDlg && pDlg->pBar && pDlg->TakesInput();
  const int nKey = Fl::event_key();
  const bool bAltKey = nKey == FL_Alt_L || nKey == FL_Alt_R;
  if (e == FL_KEYBOARD) {
    g_bAltAlone = bAltKey;
    if (bMenu && !bAltKey && OpenMenuByKey(pDlg, nKey)) return 1;
  } else if (e == FL_KEYUP && bAltKey) {
    const bool bOpen = g_bAltAlone;
    g_bAltAlone = false;
    if (bOpen && bMenu) {
      OpenMenu(pDlg, 0);
      return 1;
    }
  } else if (e == FL_PUSH || e == FL_UNFOCUS) {
    g_bAltAlone = false;
  }
  return g_pfnNextDispatch ? g_pfnNextDispatch(e, w) : Fl::handle_(e, w);
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

}  // namespace

int DlgWindow::handle(int e) {
  WatchMinimize(this, e);
  if (e == FL_PUSH) {
    if (Fl::event_clicks() > 0 && g_pClickSeriesWindow != this) return 1;
    if (Fl::event_clicks() == 0) g_pClickSeriesWindow = this;
  }
  if (IsInputEvent(e) && !TakesInput()) return 1;
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

void InstallMenuKeys() {
  g_pfnNextDispatch = Fl::event_dispatch();
  Fl::event_dispatch(MenuKeyDispatch);
}

// The close box (the window manager's delete request).
void DialogCloseCallback(Fl_Widget *w, void *) {
  DlgWindow *pWin = static_cast<DlgWindow *>(w);
  if (Fl::event() == FL_CLOSE) UiOperatorClose(pWin->hDlg);
  else if (Fl::event_key() == FL_Escape) UiOperatorCommand(pWin->hDlg, IDCANCEL);
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

}  // namespace fltkui
