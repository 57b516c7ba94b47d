// The desktop backend of the window layer (FLTK 1.3 on X11).
//
// FltkBackendOpen() is the backend's entry in the window layer's list of
// desktop backends (choose_fltk.cpp); the rest of this header is the
// backend's geometry, shared with the tests so that they can compute where a
// control lies on the screen exactly as the backend does. This header names
// no FLTK type: only files in platform/fltk/ include FLTK.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "platform/ui/backend.h"

struct DlgTemplate;
struct DlgItemTemplate;

// Opens the display named by DISPLAY and starts the toolkit on the calling
// thread, which becomes the UI thread. Null when the display cannot be opened
// (the caller then keeps the headless backend). A second call returns the
// same backend.
const UiBackend *FltkBackendOpen();

struct FltkRect {
  int x, y, w, h;
};

// How much larger than at 96 pixels per inch everything is drawn: the value
// of FLTK_SCALING_FACTOR when it is set to a number, else the screen's
// resolution over 96 in quarters (never below 1). The templates were laid
// out for 96 pixels per inch; without this a 192-dpi screen shows every
// window at half its size. Needs the display open.
double FltkScale();
// A length of the 96-dpi layout in pixels of this screen.
int FltkScaled(int nPixels);
// The pixel size of the system font (menu bar, message boxes).
int FltkSystemFontSize();

// The dialog base units of a font: the average character width (of the 52
// Latin letters, rounded as the dialog manager always has) and the character
// height, in pixels.
struct FltkBaseUnits {
  int cxChar;
  int cyChar;
};

// The toolkit font and pixel size that stand for a template's font: "Helv"
// (or any named font) at its point size, or the system font when the
// template names none. Both need the display open (FltkBackendOpen).
void FltkTemplateFont(const DlgTemplate *pTemplate, int *pnFont, int *pnSize);
FltkBaseUnits FltkTemplateBaseUnits(const DlgTemplate *pTemplate);

// Dialog units to pixels: x * cxChar / 4, y * cyChar / 8, rounded.
int FltkDuToPixelsX(int x, const FltkBaseUnits &units);
int FltkDuToPixelsY(int y, const FltkBaseUnits &units);
// A control's rectangle in the client area of its dialog (the area below the
// menu bar), in pixels.
FltkRect FltkItemRect(const DlgItemTemplate &item, const FltkBaseUnits &units);
// The client area's size in pixels.
FltkRect FltkClientRect(const DlgTemplate *pTemplate, const FltkBaseUnits &units);
// Height of the menu bar above the client area of a template with a menu
// (0 for a template without).
int FltkMenuBarHeight(const DlgTemplate *pTemplate);

// One piece of a list box line between tabs, and where it starts (pixels
// from the item's text origin).
struct FltkTabPiece {
  int x;
  std::string text;
};

// Expands the tabs of a list box line the way the original list box does:
// a tab moves to the first stop lying beyond the text so far; past the last
// stop, to the next multiple of nDefaultPx. A single stop means a stop every
// that many pixels. Stops are in pixels; pfnMeasure gives a piece's width.
std::vector<FltkTabPiece> FltkExpandTabs(const std::string &line, const std::vector<int> &stopsPx,
                                         int nDefaultPx,
                                         const std::function<int(const std::string &)> &pfnMeasure);
