// Start-up and shutdown: the command-line option, the main window's class,
// and whole runs of the real program in a directory of their own.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/window.h"
#include "shell/app.h"
#include "shell/options.h"
#include "tests/support/program.h"
#include "tests/support/testutil.h"

namespace {

TEST(StartupCommandLine, OptionIsAPlainCaseSensitiveSubstring) {
  struct Case {
    const char *pszLine;
    int nAuto;
  } cases[] = {
      {"/AUTO", 1},       {"x/AUTOMATIC", 1}, {"foo /AUTO bar", 1}, {"abc/AUTO", 1},
      {"/auto", 0},       {"-AUTO", 0},       {"/ AUTO", 0},        {"", 0},
      {"AUTO", 0},
  };
  HINSTANCE hInst = PlatGetInstance();
  for (const Case &c : cases) {
    AutoRun = 0;
    InstanceHandle = nullptr;
    CheckCommandLine(hInst, c.pszLine);
    EXPECT_EQ(AutoRun, c.nAuto) << c.pszLine;
    EXPECT_EQ(InstanceHandle, hInst);
  }
  AutoRun = 0;
}

TEST(StartupCommandLine, RunOptionsTakePlainNumbersInRange) {
  struct Case {
    std::vector<std::string> args;
    int bOk, nJobs;
    unsigned nLimit;
    int bQuiet;
  } cases[] = {
      {{"/AUTO"}, 1, 1, 0, 0},
      {{"/AUTO", "--jobs", "32", "--unit-time-limit", "900", "--quiet"}, 1, 32, 900, 1},
      {{"--jobs=256", "--unit-time-limit=0", "/AUTO"}, 1, 256, 0, 0},
      {{"--jobs", "1"}, 1, 1, 0, 0},
      {{"--unit-time-limit", "604800"}, 1, 1, 604800, 0},
      // Not the option: other arguments are left alone, as ever.
      {{"--jobsx", "3", "--quieter"}, 1, 1, 0, 0},
      {{"--jobs", "0"}, 0, 0, 0, 0},
      {{"--jobs", "257"}, 0, 0, 0, 0},
      {{"--jobs", "3x"}, 0, 0, 0, 0},
      {{"--jobs", "-1"}, 0, 0, 0, 0},
      {{"--jobs", " 4"}, 0, 0, 0, 0},
      {{"--jobs"}, 0, 0, 0, 0},
      {{"--jobs="}, 0, 0, 0, 0},
      {{"--jobs", "99999999999999999999"}, 0, 0, 0, 0},
      {{"--unit-time-limit", "604801"}, 0, 0, 0, 0},
      {{"--unit-time-limit", "1.5"}, 0, 0, 0, 0},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = c.args;
    std::vector<char *> argv{const_cast<char *>("tandreldl")};
    for (std::string &a : args) argv.push_back(a.data());
    char szErr[256] = "";
    int bOk = ParseRunOptions(static_cast<int>(argv.size()), argv.data(), szErr, sizeof szErr);
    std::string what = args.empty() ? "" : args[0] + (args.size() > 1 ? " " + args[1] : "");
    EXPECT_EQ(bOk, c.bOk) << what;
    if (!c.bOk) {
      EXPECT_NE(std::string(szErr).find("tandreldl: --"), std::string::npos) << what;
      continue;
    }
    EXPECT_EQ(RunOptions.nJobs, c.nJobs) << what;
    EXPECT_EQ(RunOptions.nUnitTimeLimitS, c.nLimit) << what;
    EXPECT_EQ(RunOptions.bQuiet, c.bQuiet) << what;
  }
  RunOptions = RunOptionValues{1, 0, 0};
}

TEST(StartupWindowClass, RegistersOnce) {
  // The class table is the process's: a repeated run of this case (or one
  // after another that registered the class) starts from a table without it.
  UnregisterClass("DLG_DASLIST", PlatGetInstance());
  EXPECT_NE(RegisterMainWindowClass(PlatGetInstance()), 0);
  // The same class twice is refused, as on the original platform.
  EXPECT_EQ(RegisterMainWindowClass(PlatGetInstance()), 0);
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

// The message column of an entry.
std::string Message(const std::string &line) {
  std::size_t n = 0, at = 0;
  while (n < 3 && (at = line.find(',', at)) != std::string::npos) {
    at++;
    n++;
  }
  return n == 3 ? line.substr(at) : std::string();
}

// A scheduler that starts the run in the wrong folder finds no list there:
// that night downloads nothing and must not pass for a good one. The file
// is still made (the header alone), so the next run there, or the window,
// starts from an empty list as before.
TEST(StartupRun, AutoWithoutAListFailsAndMakesAnEmptyOne) {
  TempDir dir(false);
  ASSERT_EQ(RunProgram(dir.Path(), {"/AUTO"}, 60), 1) << ReadFileBytes(dir.File("stderr.txt"));
  std::vector<std::string> lines = Lines(ReadFileBytes(dir.File("errorlog.txt")));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "time,file,line,message");
  EXPECT_EQ(Message(lines[1]), "TandrelDL - DAS Download Tool starting, version v1.05.1208");
  EXPECT_EQ(Message(lines[2]), "option /AUTO. Running automatic download");
  EXPECT_NE(lines[3].find("',daslist,"), std::string::npos) << lines[3];
  EXPECT_EQ(Message(lines[3]), "No daslist.txt in " + dir.Path() + ": no unit to download");
  EXPECT_EQ(Message(lines[4]), "Software exiting.");
  for (std::size_t i : {1u, 2u, 4u}) EXPECT_NE(lines[i].find("',main,"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(dir.File("daslist.txt")),
            "serialnumber,name,phone,ipaddress,deletelog,password\r\n");
  EXPECT_FALSE(FileExists(dir.File("daslist.txt.new")));
  EXPECT_EQ(ReadFileBytes(dir.File("stdout.txt")), "");
  // The summary at the end says it, in one line.
  EXPECT_EQ(ReadFileBytes(dir.File("stderr.txt")),
            "daslist.txt not found in " + dir.Path() +
                " (started in the wrong folder?): no unit downloaded\n");

  // The next run finds the empty list: a clean run that appends to the log
  // and keeps the list, with nothing on the terminal's streams.
  ASSERT_EQ(RunProgram(dir.Path(), {"x/AUTOx"}, 60), 0) << ReadFileBytes(dir.File("stderr.txt"));
  lines = Lines(ReadFileBytes(dir.File("errorlog.txt")));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(Message(lines[6]), "option /AUTO. Running automatic download");
  EXPECT_EQ(Message(lines[7]), "Software exiting.");
  EXPECT_EQ(ReadFileBytes(dir.File("daslist.txt")),
            "serialnumber,name,phone,ipaddress,deletelog,password\r\n");
  EXPECT_EQ(ReadFileBytes(dir.File("stdout.txt")), "");
  EXPECT_EQ(ReadFileBytes(dir.File("stderr.txt")), "");
}

TEST(StartupRun, WithoutDisplayOrOptionItExplainsAndWritesNothing) {
  TempDir dir(false);
  EXPECT_NE(RunProgram(dir.Path(), {"/auto"}, 60), 0);
  std::string err = ReadFileBytes(dir.File("stderr.txt"));
  EXPECT_NE(err.find("/AUTO"), std::string::npos) << err;
  EXPECT_FALSE(FileExists(dir.File("errorlog.txt")));
  EXPECT_FALSE(FileExists(dir.File("daslist.txt")));

  // A bad option value is told before anything is read or written.
  EXPECT_EQ(RunProgram(dir.Path(), {"/AUTO", "--jobs", "many"}, 60), 2);
  err = ReadFileBytes(dir.File("stderr.txt"));
  EXPECT_NE(err.find("--jobs takes a number from 1 to 256"), std::string::npos) << err;
  EXPECT_FALSE(FileExists(dir.File("errorlog.txt")));
  EXPECT_FALSE(FileExists(dir.File("daslist.txt")));
}

TEST(StartupRun, AutoWithUnreachableUnitsEndsByItselfAndKeepsThem) {
  TempDir dir(false);
  const std::string list =
      "serialnumber,name,phone,ipaddress,deletelog,password\r\n"
      "B1,second,\"\",127.0.0.1:1,NO,pw\r\n"
      "A1,first,\"\",127.0.0.1:1,YES,pw\r\n";
  WriteFileBytes(dir.File("daslist.txt"), list);
  int nStatus = RunProgram(dir.Path(), {"/AUTO"}, 60);
  std::string log = ReadFileBytes(dir.File("errorlog.txt"));
  // Failed downloads are error entries: the status says so.
  EXPECT_EQ(nStatus, 1) << log;
  std::vector<std::string> lines = Lines(log);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(Message(lines.back()), "Software exiting.");
  // Both units, in list order.
  std::size_t a = log.find("A1"), b = log.find("B1");
  EXPECT_NE(a, std::string::npos);
  EXPECT_NE(b, std::string::npos);
  EXPECT_LT(a, b);
  // Nothing in the list changed: the file stays as it was written, unsorted.
  EXPECT_EQ(ReadFileBytes(dir.File("daslist.txt")), list);
}

}  // namespace
