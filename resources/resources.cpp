// The dialog templates, the menu and the icon of the program.
#include "resources/resources.h"

#include <cstring>

#include "resources/ids.h"

namespace {

// The main window: the list of units and the buttons under it. Its class
// "DLG_DASLIST" is registered at start-up, so the class's procedure gets the
// window's messages.
const DlgItemTemplate DasListItems[] = {
    {IDC_LABELDASLIST, "STATIC", WS_CHILD | WS_VISIBLE | SS_LEFT, "DAS List", 8, 4, 328, 8},
    {IDC_DASLIST, "LISTBOX",
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_SORT |
         LBS_HASSTRINGS | LBS_USETABSTOPS,
     "", 8, 14, 367, 198},
    {IDC_EDITDAS, "BUTTON", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, "Edit DAS", 9, 218, 40, 14},
    {IDC_DOWNLOAD, "BUTTON", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, "Download", 63, 218, 40, 14},
    {IDC_DOWNLOADALL, "BUTTON", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, "Download All", 120, 218, 79, 14},
};

// The settings of one unit. The password field shows its text in the clear
// on purpose: the operator reads it off the unit's label.
const DlgItemTemplate DasEditItems[] = {
    {IDC_EDITIP, "EDIT", WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, "", 61, 4, 93, 13},
    {IDC_EDITPASSWORD, "EDIT", WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, "", 61, 23, 94, 14},
    {IDC_EDITDELETELOG, "BUTTON", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, "Delete Log Data from DAS",
     62, 41, 128, 10},
    {IDC_EDITPHONE, "EDIT", WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, "", 61, 54, 113, 15},
    {IDC_EDITOK, "BUTTON", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, "OK", 14, 83, 40, 14},
    {IDC_EDITCANCEL, "BUTTON", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, "Cancel", 66, 83, 40, 14},
    {IDC_LABELIP, "STATIC", WS_CHILD | WS_VISIBLE | SS_LEFT, "IP Address", 7, 6, 41, 12},
    {IDC_LABELPASSWORD, "STATIC", WS_CHILD | WS_VISIBLE | SS_LEFT, "Password", 7, 25, 39, 8},
    {IDC_LABELPHONE, "STATIC", WS_CHILD | WS_VISIBLE | SS_LEFT, "Phone Number", 7, 57, 51, 8},
};

// Progress of one download.
const DlgItemTemplate DownloadItems[] = {
    {IDC_DLSERIAL, "STATIC", WS_CHILD | WS_VISIBLE | SS_LEFT, "DAS Serialnumber, Name", 10, 10, 240, 10},
    {IDC_DLFILE, "STATIC", WS_CHILD | WS_VISIBLE | SS_LEFT, "Filename:", 10, 30, 240, 10},
    {IDC_DLBYTES, "STATIC", WS_CHILD | WS_VISIBLE | SS_LEFT, "Bytes transferred", 10, 45, 240, 10},
    {IDC_DLCANCEL, "BUTTON", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, "Cancel", 107, 66, 40, 14},
};

#define COUNT_OF(a) (int)(sizeof(a) / sizeof((a)[0]))

const DlgTemplate Dialogs[] = {
    {"DLG_DASLIST", "DLG_DASLIST", "MNU_MAINWINDOW", "TandrelDL - DAS Download Tool",
     WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, nullptr, 0, 9, 18, 377, 236,
     DasListItems, COUNT_OF(DasListItems)},
    {"DLG_DASEDIT", nullptr, nullptr, "Edit DAS Settings",
     WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, "Helv", 8, 20, 40,
     200, 103, DasEditItems, COUNT_OF(DasEditItems)},
    {"DLG_DOWNLOAD", nullptr, nullptr, "Download Progress",
     WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, "Helv", 8, 20, 40,
     260, 86, DownloadItems, COUNT_OF(DownloadItems)},
};

const MenuItemTemplate MainMenuItems[] = {
    {"File", "Exit", IDM_EXIT},
    {"DAS", "Add...", IDM_ADD},
    {"DAS", "Remove", IDM_REMOVE},
};

const MenuTemplate Menus[] = {
    {"MNU_MAINWINDOW", MainMenuItems, COUNT_OF(MainMenuItems)},
};

// resources/icon_main.png, byte for byte.
const unsigned char IconMainPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52,
    0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x20, 0x08, 0x06, 0x00, 0x00, 0x00, 0x73, 0x7a, 0x7a,
    0xf4, 0x00, 0x00, 0x00, 0x85, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0x63, 0x60, 0x18, 0x05, 0x64,
    0x80, 0x2e, 0x7f, 0x8e, 0xff, 0xd8, 0x30, 0x5d, 0x1d, 0xf0, 0xa0, 0x4b, 0x0e, 0x05, 0x8f, 0x3a,
    0x60, 0xd4, 0x01, 0xa3, 0x0e, 0xa0, 0x99, 0x03, 0xb0, 0x59, 0x46, 0x2c, 0xa6, 0x9a, 0xa3, 0xc8,
    0x71, 0x04, 0xd5, 0x43, 0x84, 0x14, 0x47, 0x0c, 0x68, 0x74, 0xd0, 0x3c, 0x31, 0xe2, 0x73, 0x04,
    0xdd, 0x72, 0xc2, 0x80, 0x67, 0x43, 0x74, 0x47, 0x50, 0xcd, 0x72, 0x71, 0x23, 0xdf, 0xff, 0xf4,
    0xc0, 0x78, 0x1d, 0xa0, 0x1f, 0xdb, 0x45, 0x53, 0x3c, 0xea, 0x00, 0x92, 0x1d, 0x50, 0xff, 0xa0,
    0x7e, 0xe0, 0x1c, 0x00, 0xb2, 0x1c, 0x86, 0x91, 0xc5, 0xcf, 0x3f, 0xf8, 0x40, 0x12, 0x26, 0xcb,
    0x01, 0xc8, 0x96, 0xa3, 0x3b, 0x82, 0x2e, 0x0e, 0xc0, 0x17, 0x02, 0x23, 0x27, 0x0d, 0x8c, 0xcc,
    0x6c, 0x38, 0xa0, 0x45, 0xf1, 0x28, 0x18, 0x08, 0x00, 0x00, 0xf5, 0x56, 0xa8, 0xd2, 0xd6, 0x80,
    0xc5, 0x3a, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82,
};

const IconResource Icons[] = {
    {"ICON_MAIN", IconMainPng, sizeof(IconMainPng), "resources/icon_main.png",
     "resources/icon_main.svg"},
};

}  // namespace

const DlgTemplate *FindDialogTemplate(const char *pszName) {
  if (!pszName) return nullptr;
  for (const DlgTemplate &t : Dialogs)
    if (std::strcmp(t.pszName, pszName) == 0) return &t;
  return nullptr;
}

const MenuTemplate *FindMenuTemplate(const char *pszName) {
  if (!pszName) return nullptr;
  for (const MenuTemplate &m : Menus)
    if (std::strcmp(m.pszName, pszName) == 0) return &m;
  return nullptr;
}

const IconResource *FindIconResource(const char *pszName) {
  if (!pszName) return nullptr;
  for (const IconResource &i : Icons)
    if (std::strcmp(i.pszName, pszName) == 0) return &i;
  return nullptr;
}
