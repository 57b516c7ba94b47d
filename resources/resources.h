// The program's resources as plain data: the dialog templates, the main
// window's menu and the icon. The window layer builds dialogs from these
// records; positions and sizes are in dialog units of the template's font.
#pragma once
#include "platform/types.h"  // the window and control styles

// One control of a dialog template. pszClass is the control's window class:
// "STATIC", "BUTTON", "EDIT" or "LISTBOX"; the style picks the variant (a
// "BUTTON" with BS_AUTOCHECKBOX is a check box).
struct DlgItemTemplate {
  int nId;
  const char *pszClass;
  unsigned long dwStyle;
  const char *pszText;
  short x, y, cx, cy;
};

struct DlgTemplate {
  const char *pszName;
  const char *pszClass;    // registered window class, or null for a plain dialog
  const char *pszMenu;     // menu resource name, or null
  const char *pszCaption;
  unsigned long dwStyle;
  const char *pszFont;     // null: the system font
  int nPointSize;
  short x, y, cx, cy;
  const DlgItemTemplate *pItems;  // in template (and tab) order
  int nItems;
};

// A menu is a row of pop-ups, each a column of commands. Items are listed in
// order; consecutive items with the same pszPopup form one pop-up.
struct MenuItemTemplate {
  const char *pszPopup;
  const char *pszText;
  int nCommand;
};

struct MenuTemplate {
  const char *pszName;
  const MenuItemTemplate *pItems;
  int nItems;
};

// The icon: a PNG image embedded in the program, plus the names of the
// source files it was made from (resources/icon_main.png and .svg).
struct IconResource {
  const char *pszName;
  const unsigned char *pPng;
  unsigned long nPngSize;
  const char *pszPngFile;
  const char *pszSvgFile;
};

// Lookups by resource name (exact, case-sensitive). Null when unknown.
const DlgTemplate *FindDialogTemplate(const char *pszName);
const MenuTemplate *FindMenuTemplate(const char *pszName);
const IconResource *FindIconResource(const char *pszName);
