// The Windows program end to end: tandreldl.exe /AUTO started as its own
// process in a fresh directory, against simulated units that run on the
// build machine (their addresses come from TANDREL_SIM_MULTI and
// TANDREL_SIM_SINGLE, set by the script that started them). While it runs,
// its progress dialog is a real top-level window of the desktop.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/testutil.h"

namespace {

// The program beside the test programs' folder (build-win/tests/..).
std::string ProgramPath() {
  char sz[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, sz, sizeof sz);
  std::string s = sz;
  for (int i = 0; i < 2; i++) s = s.substr(0, s.find_last_of("\\/"));
  return s + "\\" + TANDREL_BINARY;
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

  std::string cmd = "\"" + ProgramPath() + "\" /AUTO";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               dir.Path().c_str(), &si, &pi));
  // The progress dialog of the first unit shows up as a window of its own
  // (it may be gone already on a fast machine; then the run has ended).
  bool bSawProgress = false;
  while (::WaitForSingleObject(pi.hProcess, 20) == WAIT_TIMEOUT)
    if (::FindWindowA(nullptr, "Download Progress")) bSawProgress = true;
  DWORD nExit = 99;
  ::GetExitCodeProcess(pi.hProcess, &nExit);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  EXPECT_EQ(nExit, 0u) << ReadFileBytes(dir.File("errorlog.txt"));
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
}

}  // namespace
