// Reading back what the desktop backend shows on the screen, for tests
// (fltk_readback.cpp, in the test hooks library; the program never calls
// these). UI thread.
#pragma once
#include <string>
#include <vector>

#include "platform/fltk/fltk_backend.h"

struct MenuTemplate;

// The rectangle of a dialog's client area on the screen, or of a control
// within its dialog's client area: 1 for a dialog that is shown and for any
// control of a dialog the backend has made, else 0.
int FltkGetShownRect(HWND hWnd, FltkRect *pRect);
// The X window id of a shown dialog (0 when not shown).
unsigned long FltkGetXid(HWND hDlg);
// What a shown list box draws for line nLine: the pieces and their places.
int FltkGetListLine(HWND hList, int nLine, std::vector<FltkTabPiece> *pPieces);
// The width in pixels of a text in a shown list box's font.
int FltkListTextWidth(HWND hList, const std::string &text);
// The line a shown list box shows selected (-1 for none), and its first
// line in view.
int FltkGetShownSelection(HWND hList);
int FltkGetListTopLine(HWND hList);
// The state a shown control displays: its label or edit text, check state.
int FltkGetShownText(HWND hWnd, std::string *pText);
int FltkGetShownCheck(HWND hWnd);
// What a static text of one line shows (cut to its width with "..." when
// too long); 0 for a control that is not such a text.
int FltkGetOneLineText(HWND hStatic, std::string *pLine);
// The width in pixels of a text in a shown control's label font.
int FltkTextWidth(HWND hCtl, const std::string &text);
// A shown list box's item area (within its dialog's client area) and the
// height of one row.
int FltkGetListRows(HWND hList, FltkRect *pItemArea, int *pnRowH);
// The control (or dialog) that has the toolkit's keyboard focus, null for
// none; an edit field's selection (start == end: none).
HWND FltkGetFocus();
int FltkGetEditSelection(HWND hEdit, int *pnStart, int *pnEnd);
// The message boxes currently open (captions), newest last.
std::vector<std::string> FltkOpenMessageBoxes();

// The rectangle of pop-up title nPopup (0 = first) in the menu bar, in
// window coordinates. {0,0,0,0} when there is no such pop-up.
FltkRect FltkMenuTitleRect(const MenuTemplate *pMenu, int nPopup);
