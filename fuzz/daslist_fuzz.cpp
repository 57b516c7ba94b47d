// The list file: whatever "daslist.txt" holds, loading it, saving it and
// loading the saved file again gives the same units in the same order, and
// saving those writes the same file again. Each row read through
// ParseDasListLine gives what the list box got for it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daslist/daslist.h"
#include "fuzz/fuzz_common.h"
#include "tests/support/testutil.h"
#include "platform/window.h"
#include "util/text.h"

namespace {

struct Loaded {
  std::vector<DasRecord> records;
  std::vector<std::string> items;
  std::string saved;  // the file after the save
};

Loaded g_out;

// What the list box shows for a unit: its columns between tabs, "LAN" for
// no phone.
std::string ItemText(const DasRecord *p) {
  return std::string(p->serialnumber) + "\t" + p->ipaddress + "\t" + p->name + "\t" +
         (p->phone[0] ? p->phone : "LAN") + "\t";
}

INT_PTR LoadSaveProc(HWND hDlg, UINT uMsg, WPARAM, LPARAM) {
  if (uMsg != WM_INITDIALOG) return FALSE;
  HWND hList = GetDlgItem(hDlg, IDC_DASLIST);
  LoadDasList(hList);
  LRESULT nCount = SendMessage(hList, LB_GETCOUNT, 0, 0);
  std::vector<DasRecord *> owned;
  for (int i = 0; i < nCount; i++) {
    LRESULT r = SendMessage(hList, LB_GETITEMDATA, (WPARAM)i, 0);
    FUZZ_CHECK(r != LB_ERR && r != 0);  // every loaded item has its record
    DasRecord *pDas = reinterpret_cast<DasRecord *>(r);
    char szItem[512];
    SendMessage(hList, LB_GETTEXT, (WPARAM)i, reinterpret_cast<LPARAM>(szItem));
    g_out.items.push_back(szItem);
    owned.push_back(pDas);
  }
  // A save of an unchanged list leaves the file alone: without it, the save
  // writes every row anew from the list, which is what is checked here.
  std::remove("daslist.txt");
  SaveDasList(hList);
  g_out.saved = ReadFileBytes("daslist.txt");
  // The save must not change what the list shows: the records were made
  // safe for the file when they were read.
  for (int i = 0; i < nCount; i++) {
    FUZZ_CHECK(g_out.items[i] == ItemText(owned[i]).substr(0, 511));
    g_out.records.push_back(*owned[i]);
  }
  for (int i = nCount - 1; i >= 0; i--) SendMessage(hList, LB_DELETESTRING, (WPARAM)i, 0);
  // The program keeps every record to its end; a fuzzer that runs a
  // million lists cannot, and nothing refers to these any more.
  for (DasRecord *p : owned) delete p;
  EndDialog(hDlg, 0);
  return TRUE;
}

Loaded LoadAndSave() {
  g_out = Loaded();
  FUZZ_CHECK(DialogBoxParam(PlatGetInstance(), "DLG_DASLIST", nullptr, LoadSaveProc, 0) == 0);
  return g_out;
}

bool SameRecord(const DasRecord &a, const DasRecord &b) {
  return std::strcmp(a.serialnumber, b.serialnumber) == 0 && std::strcmp(a.name, b.name) == 0 &&
         std::strcmp(a.phone, b.phone) == 0 && std::strcmp(a.ipaddress, b.ipaddress) == 0 &&
         std::strcmp(a.password, b.password) == 0 && a.deletelog == b.deletelog;
}

// The rows of the file as LoadDasList sees them: carriage returns dropped,
// nothing after a 0x1A, lines of at most 511 bytes.
std::vector<DasRecord> ParsedRows(const std::string &file) {
  std::string text;
  for (char c : file) {
    if (c == '\x1a') break;
    if (c != '\r') text += c;
  }
  std::vector<DasRecord> rows;
  bool bFirst = true;
  for (std::string line : SplitLines(text, 512)) {
    // An editor's UTF-8 byte-order mark before the first line is no column.
    if (bFirst && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    bFirst = false;
    char szLine[512];
    CopyString(szLine, CText(line).c_str(), sizeof szLine);
    DasRecord rec{};
    if (ParseDasListLine(szLine, &rec)) rows.push_back(rec);
  }
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  EnterSandbox("daslist");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *pData, std::size_t nSize) {
  if (nSize > 32768) return 0;
  std::string file(reinterpret_cast<const char *>(pData), nSize);
  WriteFileBytes("daslist.txt", file);
  Loaded first = LoadAndSave();

  // Every row the loader took is one that ParseDasListLine reads as a unit,
  // and the other way round.
  std::vector<DasRecord> rows = ParsedRows(file);
  FUZZ_CHECK(rows.size() == first.records.size());
  std::vector<bool> vTaken(first.records.size());
  for (const DasRecord &row : rows) {
    bool bFound = false;
    for (std::size_t i = 0; i < first.records.size() && !bFound; i++)
      if (!vTaken[i] && SameRecord(row, first.records[i])) bFound = vTaken[i] = true;
    FUZZ_CHECK(bFound);
  }

  // The saved file reads back to the same units, in the same order, and
  // saves to the same bytes.
  Loaded second = LoadAndSave();
  FUZZ_CHECK(second.records.size() == first.records.size());
  for (std::size_t i = 0; i < first.records.size(); i++)
    FUZZ_CHECK(SameRecord(first.records[i], second.records[i]));
  FUZZ_CHECK(second.items == first.items);
  FUZZ_CHECK(second.saved == first.saved);
  ClearCurrentDir();
  return 0;
}
