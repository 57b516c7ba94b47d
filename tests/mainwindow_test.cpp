// The main window and the settings dialog, driven like an operator: the
// test's thread runs the main window (as start-up does) and a second thread
// posts menu and button commands, types into fields and reads the list.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "daslist/daslist.h"
#include "download/download.h"
#include "download/testhooks.h"
#include "log/errorlog.h"
#include "log/testhooks.h"
#include "platform/testhooks.h"
#include "platform/ui/backend.h"
#include "platform/window.h"
#include "shell/app.h"
#include "tests/support/download_fixture.h"
#include "tests/support/testutil.h"
#include "util/text.h"

namespace {

const std::string Header = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";
const int Timeout = 10000;

// Once the UI thread is idle, every command posted before has been handled
// completely (or waits in a dialog it opened).
void Sync(HWND) { ASSERT_TRUE(WaitForIdle(Timeout)); }

std::vector<std::string> Items(HWND hMain) {
  std::vector<std::string> items;
  UiGetListState(GetDlgItem(hMain, IDC_DASLIST), &items, nullptr, nullptr);
  return items;
}

int Selection(HWND hMain) {
  int nSel = -2;
  UiGetListState(GetDlgItem(hMain, IDC_DASLIST), nullptr, &nSel, nullptr);
  return nSel;
}

DasRecord *RecordAt(HWND hMain, int i) {
  LRESULT r = SendDlgItemMessage(hMain, IDC_DASLIST, LB_GETITEMDATA, (WPARAM)i, 0);
  return r == LB_ERR ? nullptr : reinterpret_cast<DasRecord *>(r);
}

std::string Text(HWND hDlg, int nId) {
  char buf[256];
  GetDlgItemText(hDlg, nId, buf, sizeof buf);
  return buf;
}

void Command(HWND h, int nId) { PostMessage(h, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED), 0); }

// The settings dialog that a command opened, or null.
HWND WaitForEdit() { return WaitForWindow("DLG_DASEDIT", Timeout); }

void WaitGone(HWND h) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Timeout);
  while (IsWindow(h) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

class MainWindow : public testing::Test {
 protected:
  void SetUp() override {
    ResetErrorLog();
    OpenErrorLog(1);
    AutoRun = 0;
    InstanceHandle = PlatGetInstance();
    static bool bRegistered = RegisterMainWindowClass(InstanceHandle) != 0;
    ASSERT_TRUE(bRegistered);
  }
  void TearDown() override {
    AutoRun = 0;
    ResetErrorLog();
  }

  // Runs the main window on this thread until it closes; drive() runs on a
  // second thread with the window's handle and ends by closing it.
  void Run(std::function<void(HWND)> drive) {
    std::thread driver([&] {
      HWND h = WaitForWindow("DLG_DASLIST", Timeout);
      ASSERT_NE(h, nullptr);
      drive(h);
      if (IsWindow(h)) Command(h, IDM_EXIT);
    });
    DialogBoxParam(InstanceHandle, "DLG_DASLIST", nullptr, MainWindowProc, 0);
    driver.join();
  }
  std::string List() { return ReadFileBytes("daslist.txt"); }
  std::string Log() { return ReadFileBytes("errorlog.txt"); }
  TempDir dir;
};

TEST_F(MainWindow, OpensWithTheListLoadedFirstItemSelectedAndTheTitle) {
  WriteFileBytes("daslist.txt", Header + "S2,two,\"\",10.0.0.2,NO,pw\r\nS1,one,\"555\",10.0.0.1,YES,pw\r\n");
  Run([&](HWND h) {
    char buf[128];
    GetWindowText(h, buf, sizeof buf);
    EXPECT_STREQ(buf, "TandrelDL - DAS Download Tool v1.05.1208");
    std::vector<std::string> want = {"S1\t10.0.0.1\tone\t555\t", "S2\t10.0.0.2\ttwo\tLAN\t"};
    EXPECT_EQ(Items(h), want);
    EXPECT_EQ(Selection(h), 0);
    std::vector<int> tabs;
    UiGetListState(GetDlgItem(h, IDC_DASLIST), nullptr, nullptr, &tabs);
    EXPECT_EQ(tabs, std::vector<int>({8, 8, 8, 8}));
    EXPECT_EQ(Text(h, 99), "DAS List");
    EXPECT_EQ(Text(h, IDC_DOWNLOADALL), "Download All");
    Command(h, IDM_EXIT);
    WaitGone(h);
    EXPECT_FALSE(IsWindow(h));
  });
  // Opening and closing changes nothing on disk.
  EXPECT_EQ(List(), Header + "S2,two,\"\",10.0.0.2,NO,pw\r\nS1,one,\"555\",10.0.0.1,YES,pw\r\n");
}

TEST_F(MainWindow, AddThenCancelLeavesTheListAsItWas) {
  WriteFileBytes("daslist.txt", Header + "S1,one,\"\",10.0.0.1,NO,pw\r\n");
  Run([&](HWND h) {
    Command(h, IDM_ADD);
    HWND hEdit = WaitForEdit();
    ASSERT_NE(hEdit, nullptr);
    // The new unit is in the list, selected, while its settings are open,
    // and the main window takes no operator input meanwhile.
    EXPECT_FALSE(IsWindowEnabled(h));
    EXPECT_EQ(Items(h)[0], "\t192.168.1.100\t[new]\tLAN\t");
    EXPECT_EQ(Selection(h), 0);
    EXPECT_EQ(Text(hEdit, 242), "192.168.1.100");
    EXPECT_EQ(Text(hEdit, 245), "qexal");
    EXPECT_EQ(Text(hEdit, 244), "");
    EXPECT_EQ(IsDlgButtonChecked(hEdit, 243), (UINT)BST_UNCHECKED);
    SetDlgItemText(hEdit, 242, "10.9.9.9");
    Command(hEdit, 241);
    WaitGone(hEdit);
    Sync(h);
    EXPECT_TRUE(IsWindowEnabled(h));
    EXPECT_EQ(Items(h), std::vector<std::string>({"S1\t10.0.0.1\tone\tLAN\t"}));
    EXPECT_EQ(Selection(h), 0);
  });
  EXPECT_EQ(List(), Header + "S1,one,\"\",10.0.0.1,NO,pw\r\n");
  EXPECT_EQ(EditedRecord, nullptr);
}

TEST_F(MainWindow, AddThenOkKeepsTheNewUnitWithItsSettings) {
  Run([&](HWND h) {
    Command(h, IDM_ADD);
    HWND hEdit = WaitForEdit();
    ASSERT_NE(hEdit, nullptr);
    SetDlgItemText(hEdit, 242, "10.1.1.1");
    SetDlgItemText(hEdit, 244, "555,0100");
    SetDlgItemText(hEdit, 245, "secret");
    CheckDlgButton(hEdit, 243, BST_CHECKED);
    Command(hEdit, 240);
    WaitGone(hEdit);
    Sync(h);
    EXPECT_EQ(Items(h), std::vector<std::string>({"\t10.1.1.1\t[new]\t555,0100\t"}));
    EXPECT_EQ(Selection(h), 0);
    DasRecord *p = RecordAt(h, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->deletelog, 1);
  });
  EXPECT_EQ(List(), Header + ",[new],\"555,0100\",10.1.1.1,YES,secret\r\n");
}

TEST_F(MainWindow, RemoveOfTheLastUnitLeavesTheHeaderAlone) {
  WriteFileBytes("daslist.txt", Header + "S1,one,\"\",10.0.0.1,NO,pw\r\n");
  DasRecord *pRemoved = nullptr;
  Run([&](HWND h) {
    pRemoved = RecordAt(h, 0);
    Command(h, IDM_REMOVE);
    Sync(h);
    EXPECT_TRUE(Items(h).empty());
    EXPECT_EQ(Selection(h), -1);
    // A second Remove with nothing selected only saves again.
    Command(h, IDM_REMOVE);
    Sync(h);
  });
  EXPECT_EQ(List(), Header);
  EXPECT_EQ(Log().find(",daslist,"), std::string::npos) << Log();
  // The removed unit's record stays readable (a worker may still hold it).
  ASSERT_NE(pRemoved, nullptr);
  EXPECT_STREQ(pRemoved->serialnumber, "S1");
}

TEST_F(MainWindow, EditWithOkStoresTheFieldsCutToTheirCapacity) {
  WriteFileBytes("daslist.txt", Header + "S1,one,\"555\",10.0.0.1,YES,pw\r\n");
  Run([&](HWND h) {
    Command(h, IDC_EDITDAS);
    HWND hEdit = WaitForEdit();
    ASSERT_NE(hEdit, nullptr);
    EXPECT_EQ(Text(hEdit, 242), "10.0.0.1");
    EXPECT_EQ(Text(hEdit, 244), "555");
    EXPECT_EQ(Text(hEdit, 245), "pw");
    EXPECT_EQ(IsDlgButtonChecked(hEdit, 243), (UINT)BST_CHECKED);
    // Escape and Enter do not end the dialog.
    PostMessage(hEdit, WM_COMMAND, IDCANCEL, 0);
    PostMessage(hEdit, WM_COMMAND, IDOK, 0);
    Sync(hEdit);
    EXPECT_TRUE(IsWindow(hEdit));
    SetDlgItemText(hEdit, 242, std::string(40, '7').c_str());
    SetDlgItemText(hEdit, 244, "");
    CheckDlgButton(hEdit, 243, BST_UNCHECKED);
    Command(hEdit, 240);
    WaitGone(hEdit);
    Sync(h);
    DasRecord *p = RecordAt(h, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p->ipaddress), std::string(31, '7'));
    EXPECT_EQ(p->deletelog, 0);
    // An empty phone makes it a network unit.
    EXPECT_EQ(Items(h)[0], "S1\t" + std::string(31, '7') + "\tone\tLAN\t");
  });
  EXPECT_EQ(List(), Header + "S1,one,\"\"," + std::string(31, '7') + ",NO,pw\r\n");
}

TEST_F(MainWindow, EditWithCancelOrCloseLeavesTheRecordUnchanged) {
  WriteFileBytes("daslist.txt", Header + "S1,one,\"555\",10.0.0.1,YES,pw\r\n");
  Run([&](HWND h) {
    DasRecord *p = RecordAt(h, 0);
    ASSERT_NE(p, nullptr);
    DasRecord before = *p;
    for (int nWay = 0; nWay < 2; nWay++) {
      Command(h, IDC_EDITDAS);
      HWND hEdit = WaitForEdit();
      ASSERT_NE(hEdit, nullptr);
      SetDlgItemText(hEdit, 242, "1.1.1.1");
      SetDlgItemText(hEdit, 244, "999");
      SetDlgItemText(hEdit, 245, "other");
      CheckDlgButton(hEdit, 243, BST_UNCHECKED);
      if (nWay == 0) Command(hEdit, 241);
      else PostMessage(hEdit, WM_CLOSE, 0, 0);
      WaitGone(hEdit);
      Sync(h);
      EXPECT_EQ(std::memcmp(&before, p, sizeof before), 0);
      EXPECT_EQ(Items(h)[0], "S1\t10.0.0.1\tone\t555\t");
    }
  });
  // Nothing confirmed: nothing saved.
  EXPECT_EQ(List(), Header + "S1,one,\"555\",10.0.0.1,YES,pw\r\n");
}

TEST_F(MainWindow, RefreshAfterARecordChangedKeepsTheItemsPlace) {
  WriteFileBytes("daslist.txt", Header +
                                    "A1,first,\"\",10.0.0.1,NO,pw\r\n"
                                    "M1,middle,\"\",10.0.0.2,NO,pw\r\n"
                                    "Z1,last,\"\",10.0.0.3,NO,pw\r\n");
  Run([&](HWND h) {
    SendDlgItemMessage(h, IDC_DASLIST, LB_SETCURSEL, 1, 0);
    // As a download worker does: change the record, then send the refresh
    // from this other thread and wait for it.
    DasRecord *p = RecordAt(h, 1);
    ASSERT_NE(p, nullptr);
    CopyString(p->serialnumber, "ZZ9", sizeof p->serialnumber);
    CopyString(p->name, "renamed,by unit", sizeof p->name);
    SendMessage(h, WM_COMMAND, CMD_SAVE_REFRESH, 0);
    std::vector<std::string> want = {"A1\t10.0.0.1\tfirst\tLAN\t", "ZZ9\t10.0.0.2\trenamed_by unit\tLAN\t",
                                     "Z1\t10.0.0.3\tlast\tLAN\t"};
    EXPECT_EQ(Items(h), want);
    EXPECT_EQ(Selection(h), 1);
    EXPECT_EQ(RecordAt(h, 1), p);
  });
  EXPECT_EQ(List(), Header +
                        "A1,first,\"\",10.0.0.1,NO,pw\r\n"
                        "ZZ9,renamed_by unit,\"\",10.0.0.2,NO,pw\r\n"
                        "Z1,last,\"\",10.0.0.3,NO,pw\r\n");
}

// The operator's Edit and Remove in the window are changes of the run like
// an identity read's: a save applies them over the file as another editor
// left it meanwhile, and the window shows the rows of both.
TEST_F(MainWindow, EditAndRemoveInTheWindowKeepTheFilesOtherEdits) {
  const std::string A = "A1,first,\"\",10.0.0.1,NO,pw\r\n", M = "M1,middle,\"\",10.0.0.2,NO,pw\r\n",
                    N = "N1,new,\"\",10.0.0.9,NO,pn\r\n", Z = "Z1,last,\"\",10.0.0.3,NO,pw\r\n";
  WriteFileBytes("daslist.txt", Header + A + M + Z);
  Run([&](HWND h) {
    Command(h, IDC_EDITDAS);
    HWND hEdit = WaitForEdit();
    ASSERT_NE(hEdit, nullptr);
    SetDlgItemText(hEdit, 244, "555");
    WriteFileBytes("daslist.txt", Header + A + M + Z + N);
    Command(hEdit, 240);
    WaitGone(hEdit);
    Sync(h);
    std::vector<std::string> want = {"A1\t10.0.0.1\tfirst\t555\t", "M1\t10.0.0.2\tmiddle\tLAN\t",
                                     "N1\t10.0.0.9\tnew\tLAN\t", "Z1\t10.0.0.3\tlast\tLAN\t"};
    EXPECT_EQ(Items(h), want);
    EXPECT_EQ(Selection(h), 0);

    SendDlgItemMessage(h, IDC_DASLIST, LB_SETCURSEL, 1, 0);
    WriteFileBytes("daslist.txt", Header + "A1,first,\"555\",10.0.0.1,NO,pw\r\n" + M + N +
                                      "Z1,last,\"\",10.0.0.3,NO,other\r\n");
    Command(h, IDM_REMOVE);
    Sync(h);
    want.erase(want.begin() + 1);
    EXPECT_EQ(Items(h), want);
    ASSERT_NE(RecordAt(h, 2), nullptr);
    EXPECT_STREQ(RecordAt(h, 2)->password, "other");
  });
  EXPECT_EQ(List(), Header + "A1,first,\"555\",10.0.0.1,NO,pw\r\n" + N +
                        "Z1,last,\"\",10.0.0.3,NO,other\r\n");
  EXPECT_EQ(ErrorLogErrorCount(), 0) << Log();
}

TEST_F(MainWindow, DownloadShowsTheUnitsOwnSerialAndNameAtTheOldPlace) {
  SimUnit sim(SimConfig{});
  ASSERT_NE(sim.p, nullptr);
  DownloadFinalWaitMs.store(50);
  const std::string row3 = ",\"\"," + sim.Address() + ",NO,qexal\r\n";
  WriteFileBytes("daslist.txt", Header +
                                    "A1,first,\"\",127.0.0.1:1,NO,pw\r\n"
                                    "M1,middle,\"\",127.0.0.1:1,NO,pw\r\n"
                                    "ZZZ,old name" + row3);
  const std::string want2 = "DAS000000001\t" + sim.Address() + "\tSim unit\tLAN\t";
  Run([&](HWND h) {
    SendDlgItemMessage(h, IDC_DASLIST, LB_SETCURSEL, 2, 0);
    Command(h, IDC_DOWNLOAD);
    // Done when the worker is gone, no progress dialog is open and the UI
    // thread has nothing left to do.
    EXPECT_TRUE(WaitFor(
        [&] {
          return Items(h).size() == 3 && Items(h)[2] == want2 && DownloadJobsAlive() == 0 &&
                 !FindWindowByTemplate("DLG_DOWNLOAD") && WaitForIdle(100);
        },
        30000));
    std::vector<std::string> items = Items(h);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0], "A1\t127.0.0.1:1\tfirst\tLAN\t");
    EXPECT_EQ(items[1], "M1\t127.0.0.1:1\tmiddle\tLAN\t");
    EXPECT_EQ(items[2], want2);  // sorts before M1, stays where it was
    EXPECT_EQ(Selection(h), 2);
    EXPECT_TRUE(IsWindowEnabled(h));
  });
  DownloadFinalWaitMs.store(3000);
  EXPECT_EQ(List(), Header +
                        "A1,first,\"\",127.0.0.1:1,NO,pw\r\n"
                        "M1,middle,\"\",127.0.0.1:1,NO,pw\r\n"
                        "DAS000000001,Sim unit" + row3);
  EXPECT_TRUE(FileExists("DAS000000001/mb-001.log"));
}

TEST_F(MainWindow, EditAndDownloadWithAnEmptyListDoNothing) {
  Run([&](HWND h) {
    Command(h, IDC_EDITDAS);
    Command(h, IDC_DOWNLOAD);
    Sync(h);
    EXPECT_EQ(FindWindowByTemplate("DLG_DASEDIT"), nullptr);
    EXPECT_EQ(FindWindowByTemplate("DLG_DOWNLOAD"), nullptr);
  });
  EXPECT_FALSE(FileExists("daslist.txt"));
}

TEST_F(MainWindow, ItemWithoutRecordIsReportedAndDownloadAllGoesOn) {
  Run([&](HWND h) {
    SendDlgItemMessage(h, IDC_DASLIST, LB_ADDSTRING, 0, (LPARAM) "orphan");
    SendDlgItemMessage(h, IDC_DASLIST, LB_SETCURSEL, 0, 0);
    Command(h, IDC_EDITDAS);
    Command(h, IDC_DOWNLOADALL);
    Sync(h);
  });
  std::string log = Log();
  std::size_t n = 0;
  for (std::size_t at = 0; (at = log.find("Error getting data handle pointer from list item 0", at)) !=
                           std::string::npos;
       at++)
    n++;
  // Edit, Download All, and the refresh after Download All.
  EXPECT_EQ(n, 3u) << log;
  EXPECT_EQ(ErrorLogErrorCount(), 3);
  EXPECT_EQ(List(), Header);
}

TEST_F(MainWindow, AutoRunWithAnEmptyListSavesAndClosesByItself) {
  AutoRun = 1;
  // No driver: the window must end its own run.
  DialogBoxParam(InstanceHandle, "DLG_DASLIST", nullptr, MainWindowProc, 0);
  EXPECT_EQ(List(), Header);
  EXPECT_EQ(FindWindowByTemplate("DLG_DASLIST"), nullptr);
}

}  // namespace
