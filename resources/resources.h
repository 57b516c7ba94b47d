// The program's resources as plain data: the dialog templates, the main
// window's menu and the icon. The window layer builds dialogs from these
// records; positions and sizes are in dialog units of the template's font.
#pragma once

// Window and control styles (the values the template format has always used,
// so that a template reads the same as its original resource script).
#define WS_OVERLAPPED 0x00000000UL
#define WS_POPUP 0x80000000UL
#define WS_CHILD 0x40000000UL
#define WS_VISIBLE 0x10000000UL
#define WS_CAPTION 0x00C00000UL
#define WS_BORDER 0x00800000UL
#define WS_VSCROLL 0x00200000UL
#define WS_SYSMENU 0x00080000UL
#define WS_THICKFRAME 0x00040000UL
#define WS_TABSTOP 0x00010000UL
#define DS_MODALFRAME 0x00000080UL
#define DS_SETFONT 0x00000040UL
#define SS_LEFT 0x00000000UL
#define BS_PUSHBUTTON 0x00000000UL
#define BS_DEFPUSHBUTTON 0x00000001UL
#define BS_AUTOCHECKBOX 0x00000003UL
#define BS_TYPEMASK 0x0000000FUL
#define ES_LEFT 0x00000000UL
#define ES_PASSWORD 0x00000020UL
#define ES_AUTOHSCROLL 0x00000080UL
#define LBS_NOTIFY 0x00000001UL
#define LBS_SORT 0x00000002UL
#define LBS_USETABSTOPS 0x00000080UL
#define LBS_HASSTRINGS 0x00000040UL

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
