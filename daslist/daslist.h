// The list of DAS units: the record of one unit, the list file "daslist.txt"
// and the main window that shows it.
#pragma once
#include "platform/types.h"
#include "resources/ids.h"  // the main window's controls and commands

struct DasRecord {
  char serialnumber[20];
  char name[128];
  char phone[48];       // empty: the unit is on the local network
  char ipaddress[32];   // "a.b.c.d" or "a.b.c.d:port"
  char password[32];
  int deletelog;        // 1: ask the unit to delete its log after download
};

// A zeroed record that lives until the program ends (records removed from
// the list included: a download worker may still read one).
DasRecord *AllocDasRecord();

// Reads one row of the list file (without its line end) into a zeroed
// record, as LoadDasList does: the columns the row has, each cut to its
// member, made safe for the file as a save makes them. The line is cut into
// its fields. 0 for a line that holds no unit (the header, an empty line),
// the record then untouched; 1 otherwise.
int ParseDasListLine(char *pszLine, DasRecord *pDas);
void LoadDasList(HWND hList);
void SaveDasList(HWND hList);
LRESULT MainWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
// The run is being stopped (a signal): the main window ends it, with every
// dialog or box still open above it; a Download All starts no further unit
// and notes the units it did not reach as not started. Any thread; once
// the download module has been stopped (StopAllDownloads).
void StopMainWindow();

// The settings dialog.
int EditDasSettings(HWND hOwner, DasRecord *pDas);
INT_PTR DasEditDialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
extern DasRecord *EditedRecord;
