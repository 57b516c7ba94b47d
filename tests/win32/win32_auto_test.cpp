// The Windows program end to end: tandreldl.exe /AUTO started as its own
// process in a fresh directory, against simulated units that run on the
// build machine (their addresses come from TANDREL_SIM_MULTI and
// TANDREL_SIM_SINGLE, set by the script that started them). While it runs,
// its progress dialog is a real top-level window of the desktop. A second
// run merges the same records into the logs the first one wrote.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/support/testutil.h"

namespace {

// The program beside the test programs' folder (build-win/tests/..).
std::string ProgramPath() {
  char sz[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, sz, sizeof sz);
  std::string s = sz;
  for (int i = 0; i < 2; i++) s = s.substr(0, s.find_last_of("\\/"));
  return s + "\\" + TANDREL_BINARY;
}

// Runs tandreldl.exe /AUTO in dir and returns its exit status. While it
// runs, its progress dialog shows as a window of the desktop.
DWORD RunAuto(const std::string &dir, bool *pbSawProgress) {
  std::string cmd = "\"" + ProgramPath() + "\" /AUTO";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi))
    return 1000 + ::GetLastError();
  while (::WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT)
    if (::FindWindowA(nullptr, "Download Progress")) *pbSawProgress = true;
  DWORD nExit = 99;
  ::GetExitCodeProcess(pi.hProcess, &nExit);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return nExit;
}

int CountLines(const std::string &s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

TEST(Win32Auto, DownloadsBothUnitsAndExitsZero) {
  const char *pszMulti = std::getenv("TANDREL_SIM_MULTI");
  const char *pszSingle = std::getenv("TANDREL_SIM_SINGLE");
  if (!pszMulti || !pszSingle) GTEST_SKIP() << "TANDREL_SIM_MULTI/TANDREL_SIM_SINGLE not set";
  TempDir dir;
  WriteFileBytes(dir.File("daslist.txt"),
                 "serialnumber,name,phone,ipaddress,deletelog,password\r\n"
                 "DAS000000001,Demo multi,\"\"," + std::string(pszMulti) + ",NO,qexal\r\n"
                 "DAS000000002,Demo single,\"\"," + std::string(pszSingle) + ",NO,qexal\r\n");

  bool bSawProgress = false;
  EXPECT_EQ(RunAuto(dir.Path(), &bSawProgress), 0u) << ReadFileBytes(dir.File("errorlog.txt"));
  if (!bSawProgress) std::printf("(the run ended before its progress dialog was seen)\n");

  const std::vector<std::string> multi = {"devlist.txt", "loggerconfig.ini", "mb-001.ini", "mb-001.log",
                                          "mb-002.ini",  "mb-002.log",       "mb-003.ini", "mb-003.log"};
  for (const std::string &f : multi)
    EXPECT_TRUE(FileExists(dir.File("DAS000000001/" + f))) << f;
  for (const char *f : {"devlist.txt", "loggerconfig.ini", "mb-001.ini", "mb-001.log"})
    EXPECT_TRUE(FileExists(dir.File(std::string("DAS000000002/") + f))) << f;
  // A header line and one line per record, in the unit's LF line ends (the
  // merged log is a binary file: the runtime's text mode must not touch it).
  std::string log = ReadFileBytes(dir.File("DAS000000001/mb-002.log"));
  EXPECT_EQ(CountLines(log), 1441);
  EXPECT_EQ(log.find('\r'), std::string::npos);
  // The error log is a text file: CR LF.
  std::string errlog = ReadFileBytes(dir.File("errorlog.txt"));
  EXPECT_EQ(errlog.find("\r\n"), errlog.find('\n') - 1);
  EXPECT_EQ(CountLines(ReadFileBytes(dir.File("DAS000000002/mb-001.log"))), 721);
  // No error entry, and the last word is the program's.
  std::vector<LogEntry> entries = ReadLogEntries(dir.File("errorlog.txt"));
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().message, "Software exiting.");
  for (const LogEntry &e : entries) EXPECT_EQ(e.message.find("rror"), std::string::npos) << e.message;

  // A second run gets the same records again: the merge replaces each log
  // by itself (no record twice), and nothing is left in the temp folders.
  const std::string before = log;
  EXPECT_EQ(RunAuto(dir.Path(), &bSawProgress), 0u) << ReadFileBytes(dir.File("errorlog.txt"));
  EXPECT_EQ(ReadFileBytes(dir.File("DAS000000001/mb-002.log")), before);
  std::vector<std::string> left;
  EXPECT_EQ(PlatListDir(dir.File("DAS000000001/temp").c_str(), &left), 0);
  EXPECT_EQ(left, std::vector<std::string>{});
}

}  // namespace
