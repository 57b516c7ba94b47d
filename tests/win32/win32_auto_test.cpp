// The Windows program end to end: tandreldl.exe /AUTO started as its own
// process in a fresh directory, against simulated units that run on the
// build machine (their addresses come from TANDREL_SIM_MULTI and
// TANDREL_SIM_SINGLE, set by the script that started them). While it runs,
// its progress dialog is a real top-level window of the desktop. A second
// run merges the same records into the logs the first one wrote.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "log/version.h"
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

// How a run's standard streams are set up by whoever starts it.
enum class Streams {
  File,           // output redirected to a file, as a scheduled task's "2>night.txt"
  ParentConsole,  // started from a console window (cmd), nothing redirected
  NoConsole,      // started from Explorer or a shortcut: no console anywhere
};

struct RunResult {
  DWORD nExit = 99;
  std::string out, err;  // what reached the file, or the parent's console
};

// The text on the screen of this process's console, lines trimmed.
std::string ConsoleText() {
  HANDLE h = ::CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
  CONSOLE_SCREEN_BUFFER_INFO info;
  std::string text;
  if (h == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(h, &info)) return text;
  std::vector<char> line(info.dwSize.X);
  for (SHORT y = 0; y <= info.dwCursorPosition.Y; y++) {
    DWORD n = 0;
    ::ReadConsoleOutputCharacterA(h, line.data(), info.dwSize.X, COORD{0, y}, &n);
    std::string s(line.data(), n);
    s.erase(s.find_last_not_of(' ') + 1);
    text += s + "\n";
  }
  ::CloseHandle(h);
  return text;
}

// Runs tandreldl.exe with the arguments in dir, its streams set up as given.
RunResult RunWith(const std::string &dir, const std::string &args, Streams streams) {
  RunResult r;
  std::string cmd = "\"" + ProgramPath() + "\" " + args;
  STARTUPINFOA si{};
  si.cb = sizeof si;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE hOut = INVALID_HANDLE_VALUE, hErr = INVALID_HANDLE_VALUE;
  // Names of their own for each run: a file a run had open may stay
  // locked for a moment after its end.
  static int nRun = 0;
  const std::string tag = std::to_string(++nRun);
  const std::string outName = dir + "\\stdout" + tag + ".txt", errName = dir + "\\stderr" + tag + ".txt";
  if (streams == Streams::File) {
    hOut = ::CreateFileA(outName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    hErr = ::CreateFileA(errName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    if (hOut == INVALID_HANDLE_VALUE || hErr == INVALID_HANDLE_VALUE) {
      r.err = "(cannot create " + outName + ")";
      return r;
    }
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hOut;
    si.hStdError = hErr;
  } else {
    // As the system starts a desktop program from a console: the program
    // is handed no standard handles at all (Wine would otherwise pass the
    // console's own on, which Windows does not).
    si.dwFlags = STARTF_USESTDHANDLES;
  }
  // A console of this test's own, fresh, for the program to find; or none.
  ::FreeConsole();
  if (streams == Streams::ParentConsole && !::AllocConsole()) {
    r.err = "(no console could be made)";
    return r;
  }
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, streams == Streams::File, 0, nullptr,
                        dir.c_str(), &si, &pi)) {
    r.nExit = 1000 + ::GetLastError();
    return r;
  }
  ::WaitForSingleObject(pi.hProcess, INFINITE);
  ::GetExitCodeProcess(pi.hProcess, &r.nExit);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  if (streams == Streams::File) {
    ::CloseHandle(hOut);
    ::CloseHandle(hErr);
    r.out = ReadFileBytes(outName);
    r.err = ReadFileBytes(errName);
  } else if (streams == Streams::ParentConsole) {
    r.out = r.err = ConsoleText();
  }
  ::FreeConsole();
  return r;
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

// The .exe as Explorer sees it: a desktop program (no console window opens
// beside it), the program's icon, its title and version in its properties,
// and the manifest that asks for the themed controls, per-monitor DPI and
// the starter's own rights.
TEST(Win32Exe, IsADesktopProgramWithIconVersionAndManifest) {
  const std::string exe = ReadFileBytes(ProgramPath());
  ASSERT_GT(exe.size(), 0x400u);
  const auto *pDos = reinterpret_cast<const IMAGE_DOS_HEADER *>(exe.data());
  const auto *pNt = reinterpret_cast<const IMAGE_NT_HEADERS *>(exe.data() + pDos->e_lfanew);
  EXPECT_EQ(pNt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

  HMODULE h = ::LoadLibraryExA(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_TRUE(h);
  auto resource = [&](const char *pszName, const char *pszType) {
    HRSRC hRes = ::FindResourceA(h, pszName, pszType);
    if (!hRes) return std::string();
    return std::string(static_cast<const char *>(::LockResource(::LoadResource(h, hRes))),
                       ::SizeofResource(h, hRes));
  };
  HICON hIcon = static_cast<HICON>(::LoadImageA(h, "ICON_MAIN", IMAGE_ICON, 32, 32, 0));
  EXPECT_TRUE(hIcon);
  ICONINFO ii{};
  if (hIcon && ::GetIconInfo(hIcon, &ii)) {
    BITMAP bm{};
    ::GetObjectA(ii.hbmColor, sizeof bm, &bm);
    EXPECT_EQ(bm.bmWidth, 32);
    ::DeleteObject(ii.hbmColor);
    ::DeleteObject(ii.hbmMask);
  }

  // The version block's texts are UTF-16; its fixed part carries the
  // version as numbers, the same as the text.
  const std::string version = resource(MAKEINTRESOURCEA(VS_VERSION_INFO), MAKEINTRESOURCEA(16));
  auto wide = [](const std::string &s) {
    std::string w;
    for (char c : s) w += std::string{c, '\0'};
    return w;
  };
  for (const char *psz : {"FileDescription", APP_TITLE, "ProductVersion", APP_VERSION, "tandreldl.exe"})
    EXPECT_NE(version.find(wide(psz)), std::string::npos) << psz;
  const std::string signature("\xbd\x04\xef\xfe", 4);
  const size_t nFixed = version.find(signature);
  ASSERT_NE(nFixed, std::string::npos);
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, version.data() + nFixed, sizeof fixed);
  int nMajor = 0, nMinor = 0, nBuild = 0;
  ASSERT_EQ(std::sscanf(APP_VERSION, "v%d.%d.%d", &nMajor, &nMinor, &nBuild), 3);
  EXPECT_EQ(fixed.dwFileVersionMS, static_cast<DWORD>(nMajor << 16 | nMinor));
  EXPECT_EQ(fixed.dwFileVersionLS, static_cast<DWORD>(nBuild << 16));

  const std::string manifest = resource(MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  for (const char *psz : {"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0", "PerMonitorV2",
                          "level=\"asInvoker\""})
    EXPECT_NE(manifest.find(psz), std::string::npos) << psz;
  ::FreeLibrary(h);
}

// An unattended run tells its result where it was started from: into the
// files its output was redirected to, onto the console it was started from,
// and nowhere (but with the same exit status) when there is neither. "/?"
// answers the same ways, in Windows terms.
TEST(Win32Auto, SummaryAndUsageReachTheConsoleOrRedirection) {
  TempDir dir;
  // A unit nobody answers for: a quick failed night, status 1.
  WriteFileBytes(dir.File("daslist.txt"),
                 "serialnumber,name,phone,ipaddress,deletelog,password\r\n"
                 "A1,first,\"\",127.0.0.1:1,NO,pw\r\n");
  const std::string total = "1 unit: 0 complete, 1 failed";
  struct Case {
    Streams streams;
    bool bSeen;
  } cases[] = {{Streams::File, true}, {Streams::ParentConsole, true}, {Streams::NoConsole, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.streams));
    RunResult r = RunWith(dir.Path(), "/AUTO", c.streams);
    EXPECT_EQ(r.nExit, 1u) << r.err;
    EXPECT_EQ(r.err.find(total) != std::string::npos, c.bSeen) << r.err;
    if (c.streams == Streams::File) {
      EXPECT_EQ(r.out, "");
    }

    r = RunWith(dir.Path(), "/?", c.streams);
    EXPECT_EQ(r.nExit, 0u);
    if (!c.bSeen) continue;
    EXPECT_NE(r.out.find(APP_TITLE " " APP_VERSION), std::string::npos) << r.out;
    for (const char *psz : {"tandreldl.exe /AUTO", "DAS000000001\\mb-001.log", "Task Scheduler", "\"Start in\""})
      EXPECT_NE(r.out.find(psz), std::string::npos) << psz << "\n" << r.out;
    if (c.streams == Streams::File) {
      EXPECT_EQ(r.err, "");
    }
  }
  // The runs found nothing to download and said so in the log as well.
  EXPECT_NE(ReadFileBytes(dir.File("errorlog.txt")).find("127.0.0.1:1"), std::string::npos);
}

}  // namespace
