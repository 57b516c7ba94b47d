// Reading back what the desktop backend shows, for tests: where a window
// lies, what a control displays, the keyboard focus, the open message boxes.
// Built into the test hooks library alone; the program never calls these.
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Input.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <algorithm>
#include <cmath>

#include "platform/fltk/fltk_int.h"
#include "platform/fltk/fltk_readback.h"
#include "resources/resources.h"

using namespace fltkui;

namespace {

// The widget of a control the backend has made, if it is of that class.
template <class T>
T *Shown(HWND hCtl) {
  auto it = g_ctls.find(hCtl);
  return it != g_ctls.end() ? dynamic_cast<T *>(it->second.second) : nullptr;
}

}  // namespace

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
  TabListBox *pList = Shown<TabListBox>(hList);
  if (!pList || nLine < 0 || nLine >= pList->size()) return 0;
  *pPieces = pList->PiecesOfLine(nLine + 1);
  return 1;
}

int FltkListTextWidth(HWND hList, const std::string &text) {
  TabListBox *pList = Shown<TabListBox>(hList);
  if (!pList) return -1;
  fl_font(pList->textfont(), pList->textsize());
  return static_cast<int>(fl_width(text.c_str(), static_cast<int>(text.size())) + 0.5);
}

int FltkGetListTopLine(HWND hList) {
  TabListBox *pList = Shown<TabListBox>(hList);
  return pList ? pList->topline() - 1 : -2;
}

int FltkGetShownSelection(HWND hList) {
  TabListBox *pList = Shown<TabListBox>(hList);
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
  Fl_Check_Button *p = Shown<Fl_Check_Button>(hWnd);
  return p ? p->value() : -1;
}

int FltkGetOneLineText(HWND hStatic, std::string *pLine) {
  StaticText *p = Shown<StaticText>(hStatic);
  if (!p || !p->bOneLine) return 0;
  fl_font(p->labelfont(), p->labelsize());
  *pLine = p->OneLine();
  return 1;
}

int FltkTextWidth(HWND hCtl, const std::string &text) {
  const Fl_Widget *w = Shown<Fl_Widget>(hCtl);
  if (!w) return -1;
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
  Fl_Input *pIn = Shown<Fl_Input>(hEdit);
  if (!pIn) return 0;
  *pnStart = std::min(pIn->position(), pIn->mark());
  *pnEnd = std::max(pIn->position(), pIn->mark());
  return 1;
}

std::vector<std::string> FltkOpenMessageBoxes() {
  std::vector<std::string> out;
  for (Fl_Window *p : g_openBoxes) out.push_back(p->label() ? p->label() : "");
  return out;
}

FltkRect FltkMenuTitleRect(const MenuTemplate *pMenu, int nPopup) {
  if (!pMenu) return FltkRect{0, 0, 0, 0};
  // A menu bar lays its titles out from x = 6, each as wide as its label
  // plus 16; measure with a bar of the same font, never shown.
  Fl_Group *pSaved = Fl_Group::current();
  Fl_Group::current(nullptr);
  Fl_Menu_Bar bar(0, 0, 100, 20);
  Fl_Group::current(pSaved);
  bar.textfont(FL_HELVETICA);
  bar.textsize(FltkSystemFontSize());
  int nX = 6;
  int nIndex = -1;
  const char *pszPrev = nullptr;
  for (int i = 0; i < pMenu->nItems; i++) {
    const char *pszPopup = pMenu->pItems[i].pszPopup;
    if (pszPrev && std::string(pszPrev) == pszPopup) continue;
    pszPrev = pszPopup;
    nIndex++;
    Fl_Menu_Item title = {pszPopup, 0, nullptr, nullptr, 0, 0, 0, 0, 0};
    int nW = title.measure(nullptr, &bar) + 16;
    if (nIndex == nPopup) {
      fl_font(FL_HELVETICA, FltkSystemFontSize());
      return FltkRect{nX, 0, nW, fl_height() + FltkScaled(8)};
    }
    nX += nW;
  }
  return FltkRect{0, 0, 0, 0};
}
