// A save that finds "daslist.txt" changed by someone else since the run read
// or wrote it: the file's rows as they are now win, and only what the run
// itself changed is applied over them.
//
// What the run changed is each record against its row as the file last held
// it (SyncedRow): the serial number and name an identity read gave a unit,
// and in the window the operator's Edit (address, password, phone, delete
// flag), Add (a record with no row) and Remove (a row whose record is no
// longer listed). A row of the file now is the same unit's when it has the
// address and password the unit's row had (by its whole text first, so that
// two rows alike pair up in order). The operator may have edited the very
// unit's password or address: a unit that finds no such row takes the one
// free row with its old address and serial number, else the one with its
// serial number (which names its folder). Only the fields the run changed
// are copied; everything else of the row is the file's.
// Rows nobody claims are the operator's new rows: they get records of their
// own. A unit whose row is gone from the file leaves the list (its record
// lives on: a worker may be downloading it).
#include <cstring>
#include <unordered_set>

#include "daslist/daslist_int.h"
#include "log/errorlog.h"
#include "platform/system.h"
#include "platform/window.h"
#include "util/text.h"

namespace {

unsigned g_nShownAnew = 0;

int SameRow(const DasRecord &a, const DasRecord &b) {
  return std::strcmp(a.serialnumber, b.serialnumber) == 0 && std::strcmp(a.name, b.name) == 0 &&
         std::strcmp(a.phone, b.phone) == 0 && std::strcmp(a.ipaddress, b.ipaddress) == 0 &&
         std::strcmp(a.password, b.password) == 0 && a.deletelog == b.deletelog;
}

int SameWay(const DasRecord &a, const DasRecord &b) {
  return std::strcmp(a.ipaddress, b.ipaddress) == 0 && std::strcmp(a.password, b.password) == 0;
}

int SameUnitElsewhere(const DasRecord &a, const DasRecord &b) {
  return std::strcmp(a.ipaddress, b.ipaddress) == 0 &&
         std::strcmp(a.serialnumber, b.serialnumber) == 0;
}

// A serial number names one unit (and its folder): a row that kept it is
// the unit's even when the operator gave it another address.
int SameSerial(const DasRecord &a, const DasRecord &b) {
  return a.serialnumber[0] && std::strcmp(a.serialnumber, b.serialnumber) == 0;
}

// Copies into *pOut the fields in which the record differs from its row.
void ApplyChanges(const DasRecord &was, const DasRecord &rec, DasRecord *pOut) {
  struct Field {
    const char *pszWas, *pszNow;
    char *pszOut;
    unsigned nCap;
  } fields[] = {
      {was.serialnumber, rec.serialnumber, pOut->serialnumber, sizeof pOut->serialnumber},
      {was.name, rec.name, pOut->name, sizeof pOut->name},
      {was.phone, rec.phone, pOut->phone, sizeof pOut->phone},
      {was.ipaddress, rec.ipaddress, pOut->ipaddress, sizeof pOut->ipaddress},
      {was.password, rec.password, pOut->password, sizeof pOut->password},
  };
  for (const Field &f : fields)
    if (std::strcmp(f.pszWas, f.pszNow) != 0) CopyString(f.pszOut, f.pszNow, f.nCap);
  if (was.deletelog != rec.deletelog) pOut->deletelog = rec.deletelog;
}

// Copies into the record the fields of das that differ, and only those: a
// field a worker reads is written only when the file changed it.
void TakeRow(DasRecord *p, const DasRecord &das) {
  ApplyChanges(*p, das, p);
}

// Which row of the file (index into disk) each synced row is, -1 for none.
struct Pairing {
  std::vector<int> row;    // per synced row
  std::vector<int> owner;  // per row of the file: its synced row, -1 for none
};

// One pass: each synced row not paired yet takes the first free row of the
// file that matches; with bUnique only when exactly one does.
template <typename Match>
void PairPass(const ListSync &s, const std::vector<DasRecord> &disk, Pairing *pPair, Match match,
              int bUnique) {
  for (std::size_t k = 0; k < s.rows.size(); k++) {
    if (pPair->row[k] >= 0) continue;
    int nFound = -1, nCount = 0;
    for (std::size_t j = 0; j < disk.size(); j++) {
      if (pPair->owner[j] >= 0 || !match(s.rows[k].das, disk[j])) continue;
      if (nFound < 0) nFound = static_cast<int>(j);
      nCount++;
      if (!bUnique) break;
    }
    if (nFound < 0 || (bUnique && nCount != 1)) continue;
    pPair->row[k] = nFound;
    pPair->owner[static_cast<std::size_t>(nFound)] = static_cast<int>(k);
  }
}

Pairing PairRows(const ListSync &s, const std::vector<DasRecord> &disk) {
  Pairing pair{std::vector<int>(s.rows.size(), -1), std::vector<int>(disk.size(), -1)};
  PairPass(s, disk, &pair, SameRow, 0);
  PairPass(s, disk, &pair, SameWay, 0);
  PairPass(s, disk, &pair, SameUnitElsewhere, 1);
  PairPass(s, disk, &pair, SameSerial, 1);
  return pair;
}

// Empties the list box and fills it with the records, sorted as a load
// does; the unit that was selected stays selected where it still is.
void ShowRecords(HWND hList, const std::vector<DasRecord *> &records) {
  LRESULT nSel = SendMessage(hList, LB_GETCURSEL, 0, 0);
  DasRecord *pSel = nSel == LB_ERR ? nullptr : DasListItemRecord(hList, static_cast<int>(nSel));
  SendMessage(hList, WM_SETREDRAW, FALSE, 0);
  for (LRESULT n = SendMessage(hList, LB_GETCOUNT, 0, 0); n > 0; n--)
    SendMessage(hList, LB_DELETESTRING, static_cast<WPARAM>(n - 1), 0);
  char szItem[512];
  for (DasRecord *p : records) {
    FormatDasListItem(p, szItem, sizeof szItem);
    LRESULT nIndex = SendMessage(hList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(szItem));
    if (nIndex != LB_ERR)
      SendMessage(hList, LB_SETITEMDATA, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(p));
  }
  SendMessage(hList, WM_SETREDRAW, TRUE, 0);
  g_nShownAnew++;
  if (nSel == LB_ERR) return;
  LRESULT nCount = SendMessage(hList, LB_GETCOUNT, 0, 0);
  int nNew = 0;
  for (int i = 0; i < nCount; i++)
    if (DasListItemRecord(hList, i) == pSel) nNew = i;
  SendMessage(hList, LB_SETCURSEL, static_cast<WPARAM>(nNew), 0);
}

// The merged list: the file's rows with the run's changes, in the file's
// order, then the units the run added. *pAsFile gets the file's rows as
// they are, each with its record (what the run knows of the file if the
// write fails). 0 when a record could not be had (reported).
int MergeRows(ListSync &s, const std::vector<DasRecord *> &now, const std::vector<DasRecord> &disk,
              std::vector<DasRecord *> *pMerged, std::vector<SyncedRow> *pAsFile,
              int *pbRunChanged) {
  std::unordered_set<const DasRecord *> listed(now.begin(), now.end()), synced;
  std::vector<int> changed(s.rows.size(), 0);
  for (std::size_t k = 0; k < s.rows.size(); k++) {
    SyncedRow &r = s.rows[k];
    synced.insert(r.pDas);
    if (listed.count(r.pDas)) MakeRecordWritable(r.pDas);
    changed[k] = !listed.count(r.pDas) || !SameRow(*r.pDas, r.das);
    if (changed[k]) *pbRunChanged = 1;
  }
  Pairing pair = PairRows(s, disk);
  std::vector<DasRecord> values;  // what each merged record is to hold
  for (std::size_t j = 0; j < disk.size(); j++) {
    int k = pair.owner[j];
    DasRecord *p = k >= 0 ? s.rows[static_cast<std::size_t>(k)].pDas : AllocDasRecord();
    if (!p) {
      LogError("daslist", __LINE__, "Error allocating memory, GlobalAlloc returned NULL pointer.");
      return 0;
    }
    pAsFile->push_back(SyncedRow{p, disk[j], FormatDasRow(&disk[j])});
    if (k >= 0 && !listed.count(p)) continue;  // removed in the window
    DasRecord das = disk[j];
    if (k >= 0) ApplyChanges(s.rows[static_cast<std::size_t>(k)].das, *p, &das);
    pMerged->push_back(p);
    values.push_back(das);
  }
  for (std::size_t k = 0; k < s.rows.size(); k++) {
    const SyncedRow &r = s.rows[k];
    if (pair.row[k] < 0 && changed[k] && listed.count(r.pDas))
      LogInfo("daslist", __LINE__,
              "DAS %s at %s is no longer in %s: what the run changed in it is not saved",
              r.das.serialnumber, r.das.ipaddress, DasListFile);
  }
  for (DasRecord *p : now) {
    if (synced.count(p)) continue;
    MakeRecordWritable(p);
    *pbRunChanged = 1;
    pMerged->push_back(p);
    values.push_back(*p);
  }
  for (std::size_t i = 0; i < pMerged->size(); i++) TakeRow((*pMerged)[i], values[i]);
  return 1;
}

}  // namespace

unsigned DasListShownAnew() { return g_nShownAnew; }

void MergeDasListFile(HWND hList, ListSync &s, const std::vector<DasRecord *> &now,
                      const std::string &text, const PlatFileInfo &info, long long llSeenNs) {
  std::vector<DasRecord> disk = ParseDasListText(text);
  std::vector<DasRecord *> merged;
  std::vector<SyncedRow> asFile;
  int bRunChanged = 0;
  if (!MergeRows(s, now, disk, &merged, &asFile, &bRunChanged)) return;
  ShowRecords(hList, merged);
  std::vector<SyncedRow> rows;
  std::string out;
  for (DasRecord *p : DasListRecords(hList)) {
    rows.push_back(SyncedRow{p, *p, FormatDasRow(p)});
    out += rows.back().row;
  }
  out = "serialnumber,name,phone,ipaddress,deletelog,password\r\n" + out;
  // Nothing of the run's own to add: the file stays exactly as its editor
  // left it.
  if (!bRunChanged || out == text) {
    s.rows.swap(rows);
    NoteDasListFile(s, text, info, llSeenNs);
    return;
  }
  if (!WriteDasListFile(out)) {
    // The run knows the file as it is; its changes are still to be saved.
    s.rows.swap(asFile);
    NoteDasListFile(s, text, info, llSeenNs);
    return;
  }
  s.rows.swap(rows);
  PlatFileInfo written{};
  long long llWritten = static_cast<long long>(PlatTime()) * 1000000000LL;
  if (PlatStat(DasListFile, &written) != 0) written = PlatFileInfo{};
  NoteDasListFile(s, out, written, llWritten);
}
