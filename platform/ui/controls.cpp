// The built-in controls (static text, push button, check box, edit field,
// list box) and the text, state and look-up of any window.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/ui/ui_int.h"

namespace uicore {

namespace {

// Case-insensitive byte order, the order a sorted list box keeps.
int CompareNoCase(const std::string &a, const std::string &b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; i++) {
    int ca = std::tolower(static_cast<unsigned char>(a[i]));
    int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca - cb;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// The messages every window answers: its text, redraw, and a check box's
// state. Returns 0 with *pbHandled false for any other message.
LRESULT CommonMessage(Wnd &w, UINT uMsg, WPARAM wParam, LPARAM lParam, int *pnChanged,
                      bool *pbHandled) {
  *pbHandled = true;
  switch (uMsg) {
    case WM_SETTEXT:
      w.text = lParam ? reinterpret_cast<const char *>(lParam) : "";
      *pnChanged = UI_CHANGED_TEXT;
      return TRUE;
    case WM_GETTEXT:
      return CopyOut(w.text, reinterpret_cast<char *>(lParam), static_cast<int>(wParam));
    case WM_SETREDRAW:
      w.bRedraw = wParam != 0;
      if (w.bRedraw && w.nKind == UI_LISTBOX) *pnChanged = UI_CHANGED_LIST;
      return 0;
    case BM_GETCHECK:
      return w.nCheck;
    case BM_SETCHECK:
      if (w.nKind != UI_CHECKBOX) return 0;
      w.nCheck = wParam == BST_CHECKED ? BST_CHECKED : BST_UNCHECKED;
      *pnChanged = UI_CHANGED_CHECK;
      return 0;
    default:
      *pbHandled = false;
      return 0;
  }
}

// LB_ADDSTRING and LB_INSERTSTRING: the index the item went to, or LB_ERR.
LRESULT ListInsert(Wnd &w, UINT uMsg, int nIndex, LPARAM lParam) {
  const int nCount = static_cast<int>(w.items.size());
  std::string s = lParam ? reinterpret_cast<const char *>(lParam) : "";
  int nAt;
  if (uMsg == LB_INSERTSTRING) {
    nAt = nIndex == -1 ? nCount : nIndex;
    if (nAt < 0 || nAt > nCount) return LB_ERR;
  } else if (w.bSorted) {
    // After every item that sorts equal or lower, so that items of equal
    // text keep the order in which they came.
    auto it = std::upper_bound(w.items.begin(), w.items.end(), s,
                               [](const std::string &a, const ListItem &b) {
                                 return CompareNoCase(a, b.text) < 0;
                               });
    nAt = static_cast<int>(it - w.items.begin());
  } else {
    nAt = nCount;
  }
  w.items.insert(w.items.begin() + nAt, ListItem{s, 0});
  if (w.nSel >= nAt) w.nSel++;
  return nAt;
}

// The list box's own messages.
LRESULT ListBoxMessage(Wnd &w, UINT uMsg, WPARAM wParam, LPARAM lParam, int *pnChanged) {
  const int nCount = static_cast<int>(w.items.size());
  const int nIndex = static_cast<int>(static_cast<std::intptr_t>(wParam));
  const bool bInRange = nIndex >= 0 && nIndex < nCount;
  switch (uMsg) {
    case LB_ADDSTRING:
    case LB_INSERTSTRING: {
      LRESULT r = ListInsert(w, uMsg, nIndex, lParam);
      if (r != LB_ERR) *pnChanged = UI_CHANGED_LIST;
      return r;
    }
    case LB_DELETESTRING:
      if (!bInRange) return LB_ERR;
      w.items.erase(w.items.begin() + nIndex);
      if (w.nSel == nIndex) w.nSel = -1;
      else if (w.nSel > nIndex) w.nSel--;
      *pnChanged = UI_CHANGED_LIST;
      return static_cast<LRESULT>(w.items.size());
    case LB_SETITEMDATA:
      if (!bInRange) return LB_ERR;
      w.items[static_cast<std::size_t>(nIndex)].data = lParam;
      return TRUE;
    case LB_GETITEMDATA:
      return bInRange ? w.items[static_cast<std::size_t>(nIndex)].data : LB_ERR;
    case LB_GETCOUNT:
      return nCount;
    case LB_GETCURSEL:
      return w.nSel >= 0 ? w.nSel : LB_ERR;
    case LB_SETCURSEL:
      *pnChanged = UI_CHANGED_LIST;
      w.nSel = bInRange ? nIndex : -1;
      return bInRange ? nIndex : LB_ERR;
    case LB_SETCARETINDEX:
      // No caret is drawn: only the index is checked.
      return bInRange ? 0 : LB_ERR;
    case LB_SETTABSTOPS: {
      w.tabStops.clear();
      const int *p = reinterpret_cast<const int *>(lParam);
      for (WPARAM i = 0; p && i < wParam; i++) w.tabStops.push_back(p[i]);
      *pnChanged = UI_CHANGED_LIST;
      return TRUE;
    }
    case LB_GETTEXT: {
      // The caller's buffer must hold LB_GETTEXTLEN + 1 bytes.
      if (!bInRange || !lParam) return LB_ERR;
      const std::string &s = w.items[static_cast<std::size_t>(nIndex)].text;
      std::memcpy(reinterpret_cast<char *>(lParam), s.c_str(), s.size() + 1);
      return static_cast<LRESULT>(s.size());
    }
    case LB_GETTEXTLEN:
      return bInRange ? static_cast<LRESULT>(w.items[static_cast<std::size_t>(nIndex)].text.size())
                      : LB_ERR;
    default:
      return 0;
  }
}

// The behaviour of the built-in controls and the text of any window. Lock
// held; *pnChanged receives what changed (0 = nothing).
LRESULT BuiltinMessage(Wnd &w, UINT uMsg, WPARAM wParam, LPARAM lParam, int *pnChanged) {
  *pnChanged = 0;
  bool bHandled = false;
  LRESULT r = CommonMessage(w, uMsg, wParam, lParam, pnChanged, &bHandled);
  if (bHandled || w.nKind != UI_LISTBOX) return r;
  return ListBoxMessage(w, uMsg, wParam, lParam, pnChanged);
}

}  // namespace

LRESULT BuiltinLocked(std::uintptr_t h, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  int nChanged = 0;
  LRESULT r = 0;
  {
    std::lock_guard<std::mutex> lk(C().mx);
    std::shared_ptr<Wnd> w = Find(h);
    if (!w) return 0;
    r = BuiltinMessage(*w, uMsg, wParam, lParam, &nChanged);
  }
  if (nChanged) NotifyChanged(h, nChanged);
  return r;
}

}  // namespace uicore

using namespace uicore;

BOOL IsWindow(HWND hWnd) {
  std::lock_guard<std::mutex> lk(C().mx);
  return Find(H(hWnd)) ? TRUE : FALSE;
}

HWND GetDlgItem(HWND hDlg, int nId) { return W(ChildById(H(hDlg), nId)); }

BOOL SetWindowText(HWND hWnd, const char *pszText) {
  {
    std::lock_guard<std::mutex> lk(C().mx);
    std::shared_ptr<Wnd> w = Find(H(hWnd));
    if (!w) return FALSE;
    w->text = pszText ? pszText : "";
  }
  NotifyChanged(H(hWnd), UI_CHANGED_TEXT);
  return TRUE;
}

BOOL SetDlgItemText(HWND hDlg, int nId, const char *pszText) {
  std::uintptr_t h = ChildById(H(hDlg), nId);
  return h ? SetWindowText(W(h), pszText) : FALSE;
}

UINT GetDlgItemText(HWND hDlg, int nId, char *pszBuf, int nCap) {
  return static_cast<UINT>(TextOf(ChildById(H(hDlg), nId), pszBuf, nCap));
}

BOOL CheckDlgButton(HWND hDlg, int nId, UINT uCheck) {
  std::uintptr_t h = ChildById(H(hDlg), nId);
  if (!h) return FALSE;
  BuiltinLocked(h, BM_SETCHECK, uCheck, 0);
  return TRUE;
}

UINT IsDlgButtonChecked(HWND hDlg, int nId) {
  std::uintptr_t h = ChildById(H(hDlg), nId);
  return h ? static_cast<UINT>(BuiltinLocked(h, BM_GETCHECK, 0, 0)) : 0;
}
