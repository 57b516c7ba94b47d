// The widget of each control kind (static text, push button, check box, edit
// field, list box), how it reads the core's state, and what the person does
// with it, fed back through the UiOperator functions. The state on the screen
// is always read back from the core, never kept as a second truth: a change
// report only says which window to read again.
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Input.H>
#include <FL/fl_draw.H>

#include <algorithm>

#include "platform/fltk/fltk_int.h"
#include "resources/resources.h"

namespace fltkui {
namespace {

void SyncList(TabListBox *pList, HWND h);

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
  UiWindowInfo info;
  if (!UiGetWindowInfo(h, &info)) return;
  const int nCheck = info.nCheck == BST_CHECKED ? 1 : 0;
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

// A new widget of the control's kind, with its callback.
Fl_Widget *NewWidget(HWND hCtl, int nKind, const FltkRect &r, const View &view) {
  switch (nKind) {
    case UI_STATIC: {
      StaticText *pStatic = new StaticText(r.x, r.y, r.w, r.h);
      fl_font(view.nFont, view.nSize);
      pStatic->bOneLine = r.h < 2 * fl_height();
      return pStatic;
    }
    case UI_BUTTON: {
      Fl_Widget *w = new Fl_Button(r.x, r.y, r.w, r.h);
      w->callback(ButtonCallback, hCtl);
      return w;
    }
    case UI_CHECKBOX: {
      Fl_Widget *w = new Fl_Check_Button(r.x, r.y, r.w, r.h);
      w->callback(CheckCallback, hCtl);
      return w;
    }
    case UI_EDIT: {
      Fl_Input *pIn = new EditField(r.x, r.y, r.w, r.h);
      pIn->textfont(view.nFont);
      pIn->textsize(view.nSize);
      pIn->when(FL_WHEN_CHANGED);
      pIn->callback(InputCallback, hCtl);
      return pIn;
    }
    case UI_LISTBOX: {
      TabListBox *pList = new TabListBox(r.x, r.y, r.w, r.h);
      pList->units = view.units;
      pList->textfont(view.nFont);
      pList->textsize(view.nSize);
      pList->FitWholeRows();
      pList->when(FL_WHEN_CHANGED);
      pList->callback(ListCallback, hCtl);
      return pList;
    }
    default:
      return nullptr;
  }
}

}  // namespace

std::string LabelText(const std::string &s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    out += ch;
    if (ch == '@') out += '@';
  }
  return out;
}

std::string StaticText::OneLine() const {
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

void StaticText::draw() {
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

std::vector<FltkTabPiece> TabListBox::Pieces(const char *pszLine) const {
  std::vector<int> stopsPx;
  for (int d : tabStopsDu) stopsPx.push_back(FltkDuToPixelsX(d, units));
  fl_font(textfont(), textsize());
  return FltkExpandTabs(pszLine ? pszLine : "", stopsPx, 8 * units.cxChar,
                        [](const std::string &s) {
                          return static_cast<int>(fl_width(s.c_str(), static_cast<int>(s.size())) + 0.5);
                        });
}

void TabListBox::FitWholeRows() {
  fl_font(textfont(), textsize());
  nRowH = fl_height();
  int nX, nY, nW, nH;
  bbox(nX, nY, nW, nH);
  const int nFrame = h() - nH;  // the box's edges, as the list draws them
  const int nRows = std::max(1, (h() - nFrame) / nRowH);
  size(w(), nFrame + nRows * nRowH);
}

int TabListBox::handle(int e) {
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

// The item a paging key selects (-1: none, the list being empty); -2 for
// any other key. A page is the rows in view less one, so that the item
// selected before stays in view, as in the original list box.
int TabListBox::KeyTarget(int nKey) const {
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

int TabListBox::item_height(void *item) const {
  return nRowH > 0 ? nRowH : Fl_Hold_Browser::item_height(item);
}

void TabListBox::item_draw(void *item, int X, int Y, int W, int H) const {
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

int TabListBox::item_width(void *item) const {
  std::vector<FltkTabPiece> pieces = Pieces(text(lineno(item)));
  const FltkTabPiece &last = pieces.back();
  return last.x + static_cast<int>(fl_width(last.text.c_str(), static_cast<int>(last.text.size()))) + 6;
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


Fl_Widget *MakeControl(HWND hCtl, const UiWindowInfo &info, const View &view, Fl_Widget **ppFirstFocus) {
  FltkRect r = FltkItemRect(*info.pItem, view.units);
  r.y += view.nMenuH;
  Fl_Widget *w = NewWidget(hCtl, info.nKind, r, view);
  if (!w) return nullptr;
  w->user_data(hCtl);
  w->labelfont(view.nFont);
  w->labelsize(view.nSize);
  if (!(info.pItem->dwStyle & WS_TABSTOP)) w->clear_visible_focus();
  else if (!*ppFirstFocus) *ppFirstFocus = w;
  if (info.nKind == UI_LISTBOX) SyncList(static_cast<TabListBox *>(w), hCtl);
  else SyncText(w, info.nKind, hCtl);
  if (info.nKind == UI_CHECKBOX) SyncCheck(w, hCtl);
  if (!info.bEnabled) w->deactivate();
  return w;
}

}  // namespace fltkui
