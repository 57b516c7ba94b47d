// What the pieces of the unit list share: the main window (daslist.cpp),
// the reading and writing of the list file (listfile.cpp) and the taking up
// of a file someone else changed during the run (listmerge.cpp). All of it
// runs on the user-interface thread.
#pragma once
#include <string>
#include <vector>

#include "daslist/daslist.h"
#include "platform/file.h"

extern const char DasListFile[];  // "daslist.txt"

// One row of the file as the run last read or wrote it, with the record
// that it belongs to. What the run has changed in a unit is the difference
// between the record and this copy.
struct SyncedRow {
  DasRecord *pDas;  // the unit's record (listed, or removed from the list since)
  DasRecord das;    // the row as the file holds it
  std::string row;  // its line, "\r\n" included
};

// The list file as this run last read or wrote it.
struct ListSync {
  HWND hList = nullptr;       // the list box it was read into; null: not read yet
  int bExists = 0;            // there was a file
  int bUnreadable = 0;        // ... but it could not be read: nothing of it is known
  int bRefusalReported = 0;   // a save over it was refused and said so
  PlatFileInfo info{};        // its size, times and identity then
  long long llSeenNs = 0;     // when they were taken
  std::string text;           // its text then, as ReadListFile reads it (CR LF after each line)
  std::vector<SyncedRow> rows;  // its rows, in list order
};
// The one list file state of the process (the main window is the only list).
ListSync &DasListSync();

// The list box's text of a unit: serial number, address, name and phone
// ("LAN" without one), separated by tabs; empty for a null record.
void FormatDasListItem(const DasRecord *pDas, char *pszBuf, unsigned nCap);
// The line of a record in the file, "\r\n" included.
std::string FormatDasRow(const DasRecord *pDas);
// Makes a record safe for the list file (which knows no escaping); the
// record keeps the underscores. Changes the record.
void MakeRecordWritable(DasRecord *pDas);
// The record of list item nIndex, or null.
DasRecord *DasListItemRecord(HWND hList, int nIndex);
// The records of the list's items, in list order (items without one left out).
std::vector<DasRecord *> DasListRecords(HWND hList);
// The units of the file's text (as the run reads it: each line ended by CR
// LF), as LoadDasList takes them.
std::vector<DasRecord> ParseDasListText(const std::string &text);
// Writes the text (each line ended by CR LF) as the new list file. 1 = in place; 0 = failed
// (reported: an error entry and a line of the summary), the old file stays.
int WriteDasListFile(const std::string &text);
// Takes the stored state of the file after the run read or wrote it.
void NoteDasListFile(ListSync &s, const std::string &text, const PlatFileInfo &info,
                     long long llSeenNs);

// Takes up the file's rows as they are now (its text, info, looked at when
// llSeenNs says) into the list: the run's own changes (the records against
// s.rows) applied over them, the list box shown anew, and the file written
// when that changes its text. pNow: the listed records.
void MergeDasListFile(HWND hList, ListSync &s, const std::vector<DasRecord *> &now,
                      const std::string &text, const PlatFileInfo &info, long long llSeenNs);
// How many times a save has shown the list box anew (items may have moved,
// come or gone since a caller looked).
unsigned DasListShownAnew();
