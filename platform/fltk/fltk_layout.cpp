// Geometry of the desktop backend: fonts, dialog units, the menu bar and the
// tab expansion of list box lines. Kept apart from the window code so that
// tests can compute the same numbers the backend draws with.
#include <FL/Fl.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <cmath>
#include <cstdlib>

#include "platform/fltk/fltk_backend.h"
#include "resources/resources.h"

namespace {

// The system font stands for the one a template without DS_SETFONT gets;
// the menu bar uses it too (pixels at 96 per inch).
const int SystemFontSize = 13;

double ScaleOfScreen() {
  // The person's own choice first.
  if (const char *psz = std::getenv("FLTK_SCALING_FACTOR")) {
    char *pEnd = nullptr;
    double d = std::strtod(psz, &pEnd);
    if (pEnd != psz && d >= 0.25 && d <= 8.0) return d;
  }
  // Else the resolution the desktop announces (Xft.dpi), else the one the
  // screen's size gives. Quarters, so that a screen of 100 dpi keeps the
  // layout it was made for.
  double dDpi = 0;
  if (const char *psz = XGetDefault(fl_display, "Xft", "dpi")) dDpi = std::strtod(psz, nullptr);
  const int nMm = DisplayWidthMM(fl_display, fl_screen);
  if (dDpi <= 0 && nMm > 0) dDpi = DisplayWidth(fl_display, fl_screen) * 25.4 / nMm;
  const double d = std::round(dDpi / 96.0 * 4.0) / 4.0;
  return d > 1.0 && d <= 8.0 ? d : 1.0;
}

// Rounded x * n / d for the non-negative values that templates hold.
int MulDiv(int x, int n, int d) {
  long long v = static_cast<long long>(x) * n;
  if (v >= 0) return static_cast<int>((v + d / 2) / d);
  return -static_cast<int>((-v + d / 2) / d);
}

}  // namespace

double FltkScale() {
  if (!fl_display) return 1.0;  // asked before the display is open: nothing to draw yet
  static const double dScale = ScaleOfScreen();
  return dScale;
}

int FltkScaled(int nPixels) { return static_cast<int>(std::lround(nPixels * FltkScale())); }

int FltkSystemFontSize() { return FltkScaled(SystemFontSize); }

void FltkTemplateFont(const DlgTemplate *pTemplate, int *pnFont, int *pnSize) {
  *pnFont = FL_HELVETICA;
  if (pTemplate && pTemplate->pszFont && pTemplate->nPointSize > 0)
    // Points at 96 pixels per inch, the resolution the templates were laid
    // out for.
    *pnSize = static_cast<int>(std::lround(pTemplate->nPointSize * 96.0 / 72.0 * FltkScale()));
  else
    *pnSize = FltkSystemFontSize();
}

FltkBaseUnits FltkTemplateBaseUnits(const DlgTemplate *pTemplate) {
  int nFont, nSize;
  FltkTemplateFont(pTemplate, &nFont, &nSize);
  fl_font(nFont, nSize);
  // The dialog manager's average: the width of the 52 letters over 26,
  // plus one, halved.
  int nAll = static_cast<int>(fl_width("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  FltkBaseUnits u;
  u.cxChar = (nAll / 26 + 1) / 2;
  u.cyChar = fl_height();
  if (u.cxChar < 1) u.cxChar = 1;
  if (u.cyChar < 1) u.cyChar = 1;
  return u;
}

int FltkDuToPixelsX(int x, const FltkBaseUnits &units) { return MulDiv(x, units.cxChar, 4); }
int FltkDuToPixelsY(int y, const FltkBaseUnits &units) { return MulDiv(y, units.cyChar, 8); }

FltkRect FltkItemRect(const DlgItemTemplate &item, const FltkBaseUnits &units) {
  return FltkRect{FltkDuToPixelsX(item.x, units), FltkDuToPixelsY(item.y, units),
                  FltkDuToPixelsX(item.cx, units), FltkDuToPixelsY(item.cy, units)};
}

FltkRect FltkClientRect(const DlgTemplate *pTemplate, const FltkBaseUnits &units) {
  return FltkRect{0, 0, FltkDuToPixelsX(pTemplate->cx, units), FltkDuToPixelsY(pTemplate->cy, units)};
}

int FltkMenuBarHeight(const DlgTemplate *pTemplate) {
  if (!pTemplate || !pTemplate->pszMenu || !FindMenuTemplate(pTemplate->pszMenu)) return 0;
  fl_font(FL_HELVETICA, FltkSystemFontSize());
  return fl_height() + FltkScaled(8);
}

std::vector<FltkTabPiece> FltkExpandTabs(const std::string &line, const std::vector<int> &stopsPx,
                                         int nDefaultPx,
                                         const std::function<int(const std::string &)> &pfnMeasure) {
  std::vector<int> stops = stopsPx;
  int nDefault = nDefaultPx > 0 ? nDefaultPx : 1;
  if (stops.size() == 1) {
    // One stop given: a stop every that many pixels.
    if (stops[0] > 0) nDefault = stops[0];
    stops.clear();
  }
  std::vector<FltkTabPiece> pieces;
  std::size_t nStop = 0;
  int nX = 0;
  std::size_t nPos = 0;
  for (;;) {
    std::size_t nTab = line.find('\t', nPos);
    std::string piece = line.substr(nPos, nTab == std::string::npos ? std::string::npos : nTab - nPos);
    int nEnd = nX + pfnMeasure(piece);
    pieces.push_back(FltkTabPiece{nX, piece});
    if (nTab == std::string::npos) break;
    // The next stop must lie beyond the text: a stop that the text reaches
    // or passes is used up.
    while (nStop < stops.size() && stops[nStop] <= nEnd) nStop++;
    if (nStop < stops.size()) nX = stops[nStop];
    else nX = (nEnd / nDefault + 1) * nDefault;
    nPos = nTab + 1;
  }
  return pieces;
}
