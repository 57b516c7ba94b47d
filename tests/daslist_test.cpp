// The list file "daslist.txt": reading it into a list box, writing it back,
// the item text of a unit, and what a failed save leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "daslist/daslist.h"
#include "log/errorlog.h"
#include "log/testhooks.h"
#include "platform/file.h"
#include "platform/window.h"
#include "tests/support/testutil.h"
#include "util/text.h"

namespace {

const std::string Header = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";

// Runs body on the UI thread with the list box of a dialog made from the
// main window's template (with a plain procedure, so the main window's own
// behaviour stays out of the way).
std::function<void(HWND)> g_body;
INT_PTR BodyProc(HWND hDlg, UINT uMsg, WPARAM, LPARAM) {
  if (uMsg == WM_INITDIALOG) {
    g_body(GetDlgItem(hDlg, IDC_DASLIST));
    EndDialog(hDlg, 0);
    return TRUE;
  }
  return FALSE;
}

void WithList(std::function<void(HWND)> body) {
  g_body = std::move(body);
  ASSERT_EQ(DialogBoxParam(PlatGetInstance(), "DLG_DASLIST", nullptr, BodyProc, 0), 0);
}

// The item texts, asked of the list box itself.
std::vector<std::string> Items(HWND hList) {
  std::vector<std::string> items;
  int n = static_cast<int>(SendMessage(hList, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; i++) {
    std::string text(static_cast<std::size_t>(SendMessage(hList, LB_GETTEXTLEN, (WPARAM)i, 0)), '\0');
    SendMessage(hList, LB_GETTEXT, (WPARAM)i, reinterpret_cast<LPARAM>(text.data()));
    items.push_back(text);
  }
  return items;
}

DasRecord *Record(HWND hList, int i) {
  LRESULT r = SendMessage(hList, LB_GETITEMDATA, (WPARAM)i, 0);
  return r == LB_ERR ? nullptr : reinterpret_cast<DasRecord *>(r);
}

// Each test works in a fresh directory with its own error log, boxes off.
class DasListFile : public testing::Test {
 protected:
  void SetUp() override {
    ResetErrorLog();
    OpenErrorLog(1);
  }
  void TearDown() override { ResetErrorLog(); }
  std::string Log() { return ReadFileBytes("errorlog.txt"); }
  TempDir dir;
};

TEST_F(DasListFile, ReadsEveryColumnRuleAndWritesTheCanonicalForm) {
  std::string longName(140, 'n');
  // Saved by an editor that puts a UTF-8 byte-order mark first; a lone CR
  // is dropped like every CR of a text file.
  WriteFileBytes("daslist.txt",
                 "\xEF\xBB\xBF" + Header +
                     "S1,Alpha unit,\"555,123\",10.0.0.1,YES,p\rw1\r\n"
                     "S2,Beta,5550000,10.0.0.2,yes,pw2\n" +
                     Header +  // a header in the middle is skipped too
                     "S3," + longName + ",\"\",10.0.0.3:8080,Y,password-that-is-longer-than-31-chars\n"
                     "ABCDEFGHIJKLMNOPQRSTUVWXY,Long,\"\",10.0.0.4,NO,pw4");  // no final LF
  WithList([&](HWND hList) {
    LoadDasList(hList);
    ASSERT_EQ(SendMessage(hList, LB_GETCOUNT, 0, 0), 4);
    std::vector<std::string> items = Items(hList);
    EXPECT_EQ(items[0], "ABCDEFGHIJKLMNOPQRS\t10.0.0.4\tLong\tLAN\t");
    EXPECT_EQ(items[1], "S1\t10.0.0.1\tAlpha unit\t555,123\t");
    EXPECT_EQ(items[2], "S2\t10.0.0.2\tBeta\t5550000\t");
    DasRecord *p1 = Record(hList, 1), *p2 = Record(hList, 2), *p3 = Record(hList, 3);
    ASSERT_TRUE(p1 && p2 && p3);
    EXPECT_STREQ(p1->phone, "555,123");
    EXPECT_EQ(p1->deletelog, 1);
    EXPECT_STREQ(p1->password, "pw1");
    EXPECT_STREQ(p2->phone, "5550000");  // unquoted reads like quoted
    EXPECT_EQ(p2->deletelog, 0);         // "yes" is not "YES"
    EXPECT_EQ(p3->deletelog, 0);         // nor is "Y"
    EXPECT_EQ(std::strlen(p3->name), 127u);
    EXPECT_STREQ(p3->password, "password-that-is-longer-than-31");
    EXPECT_STREQ(p3->ipaddress, "10.0.0.3:8080");
    EXPECT_STREQ(Record(hList, 0)->serialnumber, "ABCDEFGHIJKLMNOPQRS");

    // Commas in columns without quotes become underscores, a quote in the
    // phone too; the records keep them.
    CopyString(p2->name, "Be,ta", sizeof p2->name);
    CopyString(p2->phone, "55\"5,0", sizeof p2->phone);
    CopyString(p2->password, "p,w", sizeof p2->password);
    SaveDasList(hList);
    EXPECT_STREQ(p2->name, "Be_ta");
    EXPECT_STREQ(p2->phone, "55_5,0");
    EXPECT_STREQ(p2->password, "p_w");
  });
  EXPECT_EQ(ReadFileBytes("daslist.txt"),
            Header +
                "ABCDEFGHIJKLMNOPQRS,Long,\"\",10.0.0.4,NO,pw4\r\n"
                "S1,Alpha unit,\"555,123\",10.0.0.1,YES,pw1\r\n"
                "S2,Be_ta,\"55_5,0\",10.0.0.2,NO,p_w\r\n"
                "S3," +
                std::string(127, 'n') + ",\"\",10.0.0.3:8080,NO,password-that-is-longer-than-31\r\n");
  EXPECT_FALSE(FileExists("daslist.txt.new"));

  // What was written reads back to the same units.
  WithList([&](HWND hList) {
    LoadDasList(hList);
    ASSERT_EQ(SendMessage(hList, LB_GETCOUNT, 0, 0), 4);
    EXPECT_STREQ(Record(hList, 2)->phone, "55_5,0");
    EXPECT_STREQ(Record(hList, 0)->phone, "");
    EXPECT_EQ(Record(hList, 1)->deletelog, 1);
  });
  EXPECT_EQ(Log().find(",daslist,"), std::string::npos);
}

TEST_F(DasListFile, ShortLinesAndAnUnclosedQuoteYieldWhatTheyHave) {
  WriteFileBytes("daslist.txt",
                 "S9\n"
                 "\n"  // an empty line is no unit
                 "S8,Name only\n"
                 "S7,N,\"555,12\n"
                 "S6,N,\"5\"x,10.0.0.6,YES,pw\n"  // text after the closing quote
                 "\x1a"
                 "S5,after end of file,,,,\n");
  WithList([&](HWND hList) {
    LoadDasList(hList);
    ASSERT_EQ(SendMessage(hList, LB_GETCOUNT, 0, 0), 4);
    DasRecord *p6 = Record(hList, 0), *p7 = Record(hList, 1), *p8 = Record(hList, 2),
              *p9 = Record(hList, 3);
    EXPECT_STREQ(p9->serialnumber, "S9");
    EXPECT_STREQ(p9->name, "");
    EXPECT_STREQ(p9->phone, "");
    EXPECT_STREQ(p8->name, "Name only");
    EXPECT_STREQ(p8->ipaddress, "");
    // The unclosed quote takes the rest of the line as the phone.
    EXPECT_STREQ(p7->phone, "555,12");
    EXPECT_STREQ(p7->ipaddress, "");
    EXPECT_EQ(p7->deletelog, 0);
    // Characters between the closing quote and the next comma start the
    // next column.
    EXPECT_STREQ(p6->phone, "5");
    EXPECT_STREQ(p6->ipaddress, "x");
    EXPECT_STREQ(p6->password, "YES");  // every column one place on
    EXPECT_EQ(p6->deletelog, 0);
    EXPECT_EQ(Items(hList)[3], "S9\t\t\tLAN\t");
  });
}

TEST_F(DasListFile, ALineLongerThanTheBufferIsReadAsTwoRows) {
  // "S1," + 500 + ",\"5\"," + "1.2" = 511 characters fit; the rest comes back as a row of its own.
  WriteFileBytes("daslist.txt", "S1," + std::string(500, 'n') + ",\"5\",1.2.3.4,YES,pw\n");
  WithList([&](HWND hList) {
    LoadDasList(hList);
    ASSERT_EQ(SendMessage(hList, LB_GETCOUNT, 0, 0), 2);
    DasRecord *pRest = Record(hList, 0), *pFirst = Record(hList, 1);
    EXPECT_STREQ(pFirst->serialnumber, "S1");
    EXPECT_EQ(std::strlen(pFirst->name), 127u);
    EXPECT_STREQ(pFirst->phone, "5");
    EXPECT_STREQ(pFirst->ipaddress, "1.2");
    EXPECT_STREQ(pRest->serialnumber, ".3.4");
    EXPECT_STREQ(pRest->name, "YES");
    EXPECT_STREQ(pRest->phone, "pw");
  });
}

TEST_F(DasListFile, MissingFileGivesAnEmptyListSilently) {
  WithList([&](HWND hList) {
    LoadDasList(hList);
    EXPECT_EQ(SendMessage(hList, LB_GETCOUNT, 0, 0), 0);
  });
  EXPECT_EQ(Log().find(",daslist,"), std::string::npos);
}

TEST_F(DasListFile, ItemsWithoutARecordAreNotWritten) {
  WithList([&](HWND hList) {
    SendMessage(hList, LB_ADDSTRING, 0, (LPARAM) "no record");
    DasRecord *p = AllocDasRecord();
    CopyString(p->serialnumber, "S1", sizeof p->serialnumber);
    LRESULT i = SendMessage(hList, LB_ADDSTRING, 0, (LPARAM) "S1");
    SendMessage(hList, LB_SETITEMDATA, (WPARAM)i, (LPARAM)p);
    SaveDasList(hList);
  });
  EXPECT_EQ(ReadFileBytes("daslist.txt"), Header + "S1,,\"\",,NO,\r\n");
}

TEST_F(DasListFile, LineBreaksTypedIntoAFieldCannotSplitOrEndTheFile) {
  WithList([&](HWND hList) {
    const char *names[] = {"A1", "B2"};
    for (const char *n : names) {
      DasRecord *p = AllocDasRecord();
      CopyString(p->serialnumber, n, sizeof p->serialnumber);
      CopyString(p->name, n[0] == 'A' ? "two\nlines\r" : "ctrl\x1az", sizeof p->name);
      CopyString(p->phone, "55\n1", sizeof p->phone);
      LRESULT i = SendMessage(hList, LB_ADDSTRING, 0, (LPARAM)n);
      SendMessage(hList, LB_SETITEMDATA, (WPARAM)i, (LPARAM)p);
    }
    SaveDasList(hList);
  });
  EXPECT_EQ(ReadFileBytes("daslist.txt"),
            Header + "A1,two_lines_,\"55_1\",,NO,\r\nB2,ctrl_z,\"55_1\",,NO,\r\n");
  WithList([&](HWND hList) {
    LoadDasList(hList);
    EXPECT_EQ(Items(hList).size(), 2u);
  });
}

TEST_F(DasListFile, FailedCreateKeepsTheOldList) {
  WriteFileBytes("daslist.txt", Header + "OLD,unit,\"\",1.2.3.4,NO,pw\r\n");
  std::filesystem::create_directory("daslist.txt.new");
  WithList([&](HWND hList) {
    SendMessage(hList, LB_ADDSTRING, 0, (LPARAM) "x");
    SaveDasList(hList);
  });
  EXPECT_EQ(ReadFileBytes("daslist.txt"), Header + "OLD,unit,\"\",1.2.3.4,NO,pw\r\n");
  EXPECT_NE(Log().find(",daslist,"), std::string::npos);
  // The entry carries the system's own number and text for a create over a
  // directory (a directory on Linux, access denied on Windows).
  ASSERT_EQ(PlatOpen("daslist.txt.new", P_O_WRONLY | P_O_CREAT | P_O_TRUNC, P_S_IREAD | P_S_IWRITE), -1);
  const int nErr = PlatErrno();
  const std::string want = "Error creating daslist.txt.new, got " + std::to_string(nErr) + " " + PlatStrError(nErr);
  EXPECT_NE(Log().find(want), std::string::npos) << Log();
}

TEST_F(DasListFile, FailedWriteKeepsTheOldListAndRemovesTheNewFile) {
  if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  WriteFileBytes("daslist.txt", Header + "OLD,unit,\"\",1.2.3.4,NO,pw\r\n");
  // Every write to the new file fails with "no space left".
  std::error_code ecLink;
  std::filesystem::create_symlink("/dev/full", "daslist.txt.new", ecLink);
  ASSERT_FALSE(ecLink) << ecLink.message();
  WithList([&](HWND hList) {
    DasRecord *p = AllocDasRecord();
    CopyString(p->serialnumber, "NEW", sizeof p->serialnumber);
    SendMessage(hList, LB_ADDSTRING, 0, (LPARAM) "NEW");
    SendMessage(hList, LB_SETITEMDATA, 0, (LPARAM)p);
    SaveDasList(hList);
  });
  EXPECT_EQ(ReadFileBytes("daslist.txt"), Header + "OLD,unit,\"\",1.2.3.4,NO,pw\r\n");
  std::error_code ec;
  EXPECT_FALSE(std::filesystem::is_symlink("daslist.txt.new", ec));
  EXPECT_FALSE(FileExists("daslist.txt.new"));
  EXPECT_NE(Log().find("Error writing to daslist.txt.new, got 28 "), std::string::npos) << Log();
}

TEST_F(DasListFile, AListBoxThatIsGoneDoesNotWipeTheFile) {
  WriteFileBytes("daslist.txt", Header + "OLD,unit,\"\",1.2.3.4,NO,pw\r\n");
  HWND hGone = nullptr;
  WithList([&](HWND hList) { hGone = hList; });
  SaveDasList(hGone);
  EXPECT_EQ(ReadFileBytes("daslist.txt"), Header + "OLD,unit,\"\",1.2.3.4,NO,pw\r\n");
  EXPECT_FALSE(FileExists("daslist.txt.new"));
  EXPECT_NE(Log().find(",Error getting DAS list count"), std::string::npos) << Log();
}

TEST_F(DasListFile, FailedRenameIsReported) {
  std::filesystem::create_directories("daslist.txt/occupied");
  WithList([&](HWND hList) { SaveDasList(hList); });
  EXPECT_TRUE(std::filesystem::is_directory("daslist.txt"));
  EXPECT_NE(Log().find("Error renaming daslist.txt.new to daslist.txt"), std::string::npos) << Log();
}

// Loads the list, saves it, and returns the file the save wrote. A save of
// an unchanged list leaves the file alone, so the file is removed between
// the two: the save writes every row anew from the list.
std::string LoadAndSave() {
  WithList([&](HWND hList) {
    LoadDasList(hList);
    std::filesystem::remove("daslist.txt");
    SaveDasList(hList);
  });
  return ReadFileBytes("daslist.txt");
}

TEST_F(DasListFile, OnlyTheHeaderTextItselfIsSkipped) {
  // A unit may report "serialnumber" as its serial number, and a row may be
  // written by hand with nothing but that: both are units, and they stay
  // units through any number of saves.
  WriteFileBytes("daslist.txt", Header +
                                    "serialnumber,Odd unit,\"\",10.0.0.1,YES,pw\r\n"
                                    "serialnumber\r\n"
                                    "serialnumber,name,phone,ipaddress,deletelog,password,\r\n"
                                    "S2,Next,\"\",10.0.0.2,NO,pw2\r\n");
  std::string first = LoadAndSave();
  EXPECT_EQ(first, Header +
                       "S2,Next,\"\",10.0.0.2,NO,pw2\r\n"
                       "serialnumber,,\"\",,NO,\r\n"
                       "serialnumber,Odd unit,\"\",10.0.0.1,YES,pw\r\n"
                       "serialnumber,name,\"phone\",ipaddress,NO,password\r\n");
  EXPECT_EQ(LoadAndSave(), first);
  EXPECT_EQ(ErrorLogErrorCount(), 0) << Log();
}

TEST_F(DasListFile, AQuoteInAnUnquotedPhoneIsShownAsItIsSaved) {
  // Two units that differ only in the phone. '"' and the '_' it is saved as
  // sort on different sides of '+': the item must show (and sort by) the
  // saved form from the start, or every reload reorders the file.
  WriteFileBytes("daslist.txt", Header +
                                    "S1,N,5\"5,10.0.0.1,NO,first\r\n"
                                    "S1,N,5+5,10.0.0.1,NO,second\r\n");
  WithList([&](HWND hList) {
    LoadDasList(hList);
    std::vector<std::string> items = Items(hList);
    ASSERT_EQ(items.size(), 2u);
    for (int i = 0; i < 2; i++) {
      DasRecord *p = Record(hList, i);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(std::string(p->phone).find('"'), std::string::npos) << p->phone;
      EXPECT_EQ(items[i], std::string("S1\t10.0.0.1\tN\t") + p->phone + "\t");
    }
    std::filesystem::remove("daslist.txt");
    SaveDasList(hList);
  });
  std::string first = ReadFileBytes("daslist.txt");
  EXPECT_NE(first.find("S1,N,\"5_5\",10.0.0.1,NO,first\r\n"), std::string::npos) << first;
  EXPECT_EQ(LoadAndSave(), first);
  EXPECT_EQ(LoadAndSave(), first);
}

DasRecord *BySerial(HWND hList, const char *pszSerial) {
  for (int i = 0; i < static_cast<int>(SendMessage(hList, LB_GETCOUNT, 0, 0)); i++)
    if (DasRecord *p = Record(hList, i); p && std::strcmp(p->serialnumber, pszSerial) == 0) return p;
  return nullptr;
}

// What an identity read does to a unit's record.
std::function<void(HWND)> Renames(const char *pszSerial, const char *pszNew, const char *pszName) {
  return [=](HWND hList) {
    DasRecord *p = BySerial(hList, pszSerial);
    ASSERT_NE(p, nullptr) << pszSerial;
    CopyString(p->serialnumber, pszNew, sizeof p->serialnumber);
    CopyString(p->name, pszName, sizeof p->name);
  };
}

// A save that finds the file changed by someone else since the load takes
// up the file's rows as they are and applies over them only what the run
// changed in its records, matched by the row's address and password as the
// load read them; the list box then shows the merged list.
TEST_F(DasListFile, ASaveTakesUpTheFileAsItIsNowWithOnlyTheRunsChanges) {
  const std::string A = "A1,alpha,\"\",10.0.0.1,NO,pa\r\n", B = "B1,beta,\"\",10.0.0.2,NO,pb\r\n",
                    C = "C1,gamma,\"\",10.0.0.3,YES,pc\r\n", D = "D1,delta,\"5\",10.0.0.4,NO,pd\r\n";
  const std::string B2 = "B2,Beta unit,\"\",10.0.0.2,NO,pb\r\n";
  auto nothing = [](HWND) {};
  struct Case {
    const char *pszWhat;
    std::function<void(HWND)> run;  // the run's own change, after the load
    std::string now;                // the file as the operator's editor left it
    std::string want;               // the file after the save ("" = exactly now)
  } cases[] = {
      {"a row appended", Renames("B1", "B2", "Beta unit"), Header + A + B + C + D,
       Header + A + B2 + C + D},
      {"a row removed", Renames("B1", "B2", "Beta unit"), Header + B + C, Header + B2 + C},
      {"another row edited", Renames("B1", "B2", "Beta unit"),
       Header + A + B + "C1,gamma,\"77\",10.0.0.3,NO,pc\r\n",
       Header + A + B2 + "C1,gamma,\"77\",10.0.0.3,NO,pc\r\n"},
      {"the unit's own row edited in another column", Renames("B1", "B2", "Beta unit"),
       Header + A + "B1,beta,\"99\",10.0.0.2,YES,pb\r\n" + C,
       Header + A + "B2,Beta unit,\"99\",10.0.0.2,YES,pb\r\n" + C},
      {"the unit's password edited", Renames("B1", "B2", "Beta unit"),
       Header + A + "B1,beta,\"\",10.0.0.2,NO,new\r\n" + C,
       Header + A + "B2,Beta unit,\"\",10.0.0.2,NO,new\r\n" + C},
      {"the unit's address edited (same size, same second)", Renames("B1", "B2", "Beta unit"),
       Header + A + "B1,beta,\"\",10.0.0.9,NO,pb\r\n" + C,
       Header + A + "B2,Beta unit,\"\",10.0.0.9,NO,pb\r\n" + C},
      {"the unit's row removed: its change goes with it", Renames("B1", "B2", "Beta unit"),
       Header + A + C, ""},
      {"rows reordered, hand-written and unsorted: nothing of the run's, nothing written", nothing,
       "serialnumber,name,phone,ipaddress,deletelog,password\nD1,delta,5,10.0.0.4,NO,pd\n" + A + C,
       ""},
      {"two rows alike, one renamed: the other stays", Renames("A1", "A9", "first"),
       Header + A + A + B, Header + A + "A9,first,\"\",10.0.0.1,NO,pa\r\n" + B},
      {"removed in the window, another row appended in the file",
       [](HWND hList) { SendMessage(hList, LB_DELETESTRING, 1, 0); }, Header + A + B + C + D,
       Header + A + C + D},
      {"added in the window, a row removed in the file",
       [](HWND hList) {
         DasRecord *p = AllocDasRecord();
         CopyString(p->serialnumber, "E1", sizeof p->serialnumber);
         CopyString(p->ipaddress, "10.0.0.5", sizeof p->ipaddress);
         SendMessage(hList, LB_SETITEMDATA, SendMessage(hList, LB_ADDSTRING, 0, (LPARAM) "E1"), (LPARAM)p);
       },
       Header + A + C, Header + A + C + "E1,,\"\",10.0.0.5,NO,\r\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pszWhat);
    WriteFileBytes("daslist.txt", Header + A + B + C);
    std::vector<DasRecord *> loaded;
    std::vector<std::string> shown;
    WithList([&](HWND hList) {
      LoadDasList(hList);
      for (int i = 0; i < 3; i++) loaded.push_back(Record(hList, i));
      c.run(hList);
      WriteFileBytes("daslist.txt", c.now);
      SaveDasList(hList);
      shown = Items(hList);
      // A unit that stays in the list keeps its record.
      for (DasRecord *p : loaded)
        for (int i = 0; i < static_cast<int>(shown.size()); i++)
          if (Record(hList, i) != p && std::strcmp(Record(hList, i)->ipaddress, p->ipaddress) == 0 &&
              std::strcmp(Record(hList, i)->password, p->password) == 0 && c.now.find("A1") == c.now.rfind("A1"))
            ADD_FAILURE() << "row " << i << " has a new record for " << p->serialnumber;
    });
    const std::string want = c.want.empty() ? c.now : c.want;
    EXPECT_EQ(ReadFileBytes("daslist.txt"), want);
    // The window shows the file's units, one item each.
    std::string rows = want.substr(want.find('\n') + 1);
    EXPECT_EQ(shown.size(), static_cast<std::size_t>(std::count(rows.begin(), rows.end(), '\n')));
    EXPECT_FALSE(FileExists("daslist.txt.new"));
  }
  EXPECT_EQ(ErrorLogErrorCount(), 0) << Log();
  EXPECT_NE(Log().find("DAS B1 at 10.0.0.2 is no longer in daslist.txt"), std::string::npos) << Log();
}

// A save of a list that nothing changed leaves the file untouched (no
// write, no rename: the same file, the same time), and so does a save after
// a write that has nothing new since.
TEST_F(DasListFile, AnUnchangedListIsNotWritten) {
  WriteFileBytes("daslist.txt", Header + "B1,beta,\"\",10.0.0.2,NO,pb\r\nA1,alpha,\"\",10.0.0.1,NO,pa\r\n");
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
  std::filesystem::last_write_time("daslist.txt", old);
  PlatFileInfo before{}, after{};
  ASSERT_EQ(PlatStat("daslist.txt", &before), 0);
  WithList([&](HWND hList) {
    LoadDasList(hList);
    SaveDasList(hList);
    ASSERT_EQ(PlatStat("daslist.txt", &after), 0);
    EXPECT_EQ(after.ullId, before.ullId);
    EXPECT_EQ(after.llMtimeNs, before.llMtimeNs);
    // A name set to what it was already: no change either.
    CopyString(Record(hList, 0)->name, "alpha", sizeof Record(hList, 0)->name);
    SaveDasList(hList);
    ASSERT_EQ(PlatStat("daslist.txt", &after), 0);
    EXPECT_EQ(after.llMtimeNs, before.llMtimeNs);
    // A real change is written (sorted, in the canonical form), once.
    CopyString(Record(hList, 0)->name, "Alpha unit", sizeof Record(hList, 0)->name);
    SaveDasList(hList);
    ASSERT_EQ(PlatStat("daslist.txt", &after), 0);
    EXPECT_NE(after.ullId, before.ullId);
    std::filesystem::last_write_time("daslist.txt", old);
    ASSERT_EQ(PlatStat("daslist.txt", &before), 0);
    SaveDasList(hList);
    ASSERT_EQ(PlatStat("daslist.txt", &after), 0);
    EXPECT_EQ(after.ullId, before.ullId);
    EXPECT_EQ(after.llMtimeNs, before.llMtimeNs);
  });
  EXPECT_EQ(ReadFileBytes("daslist.txt"),
            Header + "A1,Alpha unit,\"\",10.0.0.1,NO,pa\r\nB1,beta,\"\",10.0.0.2,NO,pb\r\n");
}

// A list file that exists but cannot be read is not written over with the
// empty list the window got instead: its units would be gone.
TEST_F(DasListFile, AnUnreadableListIsNotWrittenOver) {
  std::filesystem::create_directory("daslist.txt");
  WriteFileBytes("daslist.txt/kept", "x");
  WithList([&](HWND hList) {
    LoadDasList(hList);
    SaveDasList(hList);
    SaveDasList(hList);
  });
  EXPECT_TRUE(FileExists("daslist.txt/kept"));
  EXPECT_FALSE(FileExists("daslist.txt.new"));
  const std::string log = Log();
  EXPECT_NE(log.find("Error reading file daslist.txt, got "), std::string::npos) << log;
  // The load's entry and the save's, once however often it is asked.
  EXPECT_EQ(ErrorLogErrorCount(), 2) << log;
  EXPECT_NE(log.find("the list is not written over it"), std::string::npos) << log;
}

TEST(DasListLine, OneRowWithoutAListBox) {
  DasRecord rec{};
  char line[512];
  CopyString(line, "serialnumber,name,phone,ipaddress,deletelog,password", sizeof line);
  EXPECT_EQ(ParseDasListLine(line, &rec), 0);
  line[0] = 0;
  EXPECT_EQ(ParseDasListLine(line, &rec), 0);
  DasRecord zero{};
  EXPECT_EQ(std::memcmp(&rec, &zero, sizeof rec), 0);

  CopyString(line, "serialnumber,My \"unit\",\"0,1\",1.2.3.4:81,YES,pw,extra", sizeof line);
  EXPECT_EQ(ParseDasListLine(line, &rec), 1);
  EXPECT_STREQ(rec.serialnumber, "serialnumber");
  EXPECT_STREQ(rec.name, "My \"unit\"");
  EXPECT_STREQ(rec.phone, "0,1");
  EXPECT_STREQ(rec.ipaddress, "1.2.3.4:81");
  EXPECT_EQ(rec.deletelog, 1);
  EXPECT_STREQ(rec.password, "pw");

  DasRecord rec2{};
  CopyString(line, "ABCDEFGHIJKLMNOPQRSTUVWXYZ,n,0\"1", sizeof line);
  EXPECT_EQ(ParseDasListLine(line, &rec2), 1);
  EXPECT_STREQ(rec2.serialnumber, "ABCDEFGHIJKLMNOPQRS");
  EXPECT_STREQ(rec2.phone, "0_1");  // as the file will hold it
  EXPECT_STREQ(rec2.ipaddress, "");
}

// (The text of a list item is checked where the list is loaded.)
TEST(DasListItem, ANewRecordIsZeroedAndItsOwn) {
  DasRecord *p = AllocDasRecord();
  ASSERT_NE(p, nullptr);
  DasRecord zero{};
  EXPECT_EQ(std::memcmp(p, &zero, sizeof zero), 0);
  EXPECT_NE(AllocDasRecord(), p);
}

}  // namespace
