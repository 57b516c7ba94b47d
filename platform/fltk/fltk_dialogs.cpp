// A dialog of the core shown as a window of its own with its menu bar and
// controls, and taken down again when the core destroys it.
//
// Modality is the core's, not the toolkit's: a dialog's owner is disabled by
// the core while the dialog runs, and the window manager is told that the
// dialog belongs to its owner. The toolkit's own modal windows are not used
// (see fltk_msgbox.cpp for why).
#include "platform/fltk/fltk_int.h"
#include "resources/resources.h"

namespace fltkui {

std::map<HWND, std::unique_ptr<View>> g_views;
std::map<HWND, std::pair<View *, Fl_Widget *>> g_ctls;

namespace {

std::unique_ptr<View> NewView(HWND hDlg, const UiWindowInfo &info) {
  auto v = std::make_unique<View>();
  v->hDlg = hDlg;
  v->hOwner = info.hOwner;
  v->nSerial = info.nSerial;
  v->units = FltkTemplateBaseUnits(info.pTemplate);
  v->nMenuH = FltkMenuBarHeight(info.pTemplate);
  FltkTemplateFont(info.pTemplate, &v->nFont, &v->nSize);
  return v;
}

// The dialog's window, where its template puts it, with its menu bar; the
// controls are still to be added (the window is the current group).
DlgWindow *MakeDialogWindow(View &v, const DlgTemplate *t, const View *pOwner) {
  const FltkRect client = FltkClientRect(t, v.units);
  // A dialog's position counts from its owner's client area, a top-level
  // one's from the screen.
  int nOrgX = 0, nOrgY = 0;
  if (pOwner) {
    nOrgX = pOwner->pWin->x();
    nOrgY = pOwner->pWin->y() + pOwner->nMenuH;
  }
  Fl_Group::current(nullptr);
  DlgWindow *pWin = new DlgWindow(nOrgX + FltkDuToPixelsX(t->x, v.units),
                                  nOrgY + FltkDuToPixelsY(t->y, v.units), client.w,
                                  client.h + v.nMenuH);
  pWin->hDlg = v.hDlg;
  v.pWin = pWin;
  pWin->begin();
  if (v.nMenuH) {
    Fl_Menu_Bar *pBar = new Fl_Menu_Bar(0, 0, client.w, v.nMenuH);
    pBar->textfont(FL_HELVETICA);
    pBar->textsize(FltkSystemFontSize());
    pBar->box(FL_FLAT_BOX);
    BuildMenu(pBar, FindMenuTemplate(t->pszMenu));
    pWin->pBar = pBar;
  }
  return pWin;
}

// The widgets of the dialog's controls in template order; the first that
// takes the focus by Tab, null for none.
Fl_Widget *AddControls(View &v) {
  Fl_Widget *pFirstFocus = nullptr;
  for (HWND hCtl : UiGetChildren(v.hDlg)) {
    UiWindowInfo ci;
    if (!UiGetWindowInfo(hCtl, &ci) || !ci.pItem) continue;
    Fl_Widget *w = MakeControl(hCtl, ci, v, &pFirstFocus);
    if (!w) continue;
    g_ctls[hCtl] = std::make_pair(&v, w);
    v.controls.push_back(hCtl);
  }
  return pFirstFocus;
}

}  // namespace

DlgWindow *ViewWindow(HWND hDlg) {
  auto it = hDlg ? g_views.find(hDlg) : g_views.end();
  return it != g_views.end() ? it->second->pWin : nullptr;
}

void FltkShowDialog(HWND hDlg) {
  UiWindowInfo info;
  if (!UiGetWindowInfo(hDlg, &info) || !info.pTemplate || g_views.count(hDlg)) return;
  std::unique_ptr<View> v = NewView(hDlg, info);
  auto itOwner = info.hOwner ? g_views.find(info.hOwner) : g_views.end();
  const View *pOwner = itOwner != g_views.end() ? itOwner->second.get() : nullptr;
  DlgWindow *pWin = MakeDialogWindow(*v, info.pTemplate, pOwner);
  Fl_Widget *pFirstFocus = AddControls(*v);
  pWin->end();
  pWin->copy_label(UiGetText(hDlg).c_str());
  pWin->callback(DialogCloseCallback);
  SetFixedFrame(pWin);
  // Kept above its owner; the core, not the toolkit, keeps the owner from
  // taking input meanwhile.
  Fl_Window *pOwnerWin = pOwner ? pOwner->pWin : nullptr;
  if (pOwnerWin) pWin->set_non_modal();
  pWin->bEnabled = info.bEnabled != 0;
  g_views[hDlg] = std::move(v);
  KeepShown(pWin);
  ShowWithHints(pWin, pOwnerWin, pOwnerWin != nullptr, pOwnerWin != nullptr);
  FocusWindow(pWin);
  if (pFirstFocus) pFirstFocus->take_focus();
  Fl::flush();
}

void FltkDestroyDialog(HWND hDlg) {
  auto it = g_views.find(hDlg);
  if (it == g_views.end()) return;
  for (HWND h : it->second->controls) g_ctls.erase(h);
  DlgWindow *pWin = it->second->pWin;
  const HWND hOwner = it->second->hOwner;
  g_views.erase(it);
  CloseWindow(pWin, hOwner);
  AnswerWorkerBoxesOf(hDlg);
}

}  // namespace fltkui
