// Runs of the real program the way a scheduler starts it: one run at a time
// per directory, the summary it leaves on standard error, its exit status,
// and the options that answer without running (--help, -h, --version).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/summary.h"
#include "log/testhooks.h"
#include "tests/support/fltk_harness.h"
#include "tests/support/program.h"
#include "tests/support/sim_unit.h"
#include "tests/support/testutil.h"
#include "tests/support/wait.h"
#include "tools/das-sim/sim.h"

namespace {

const char Header[] = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";
const char IdentityPath[] = "/setup/logexport.cgi?CFG=loggerconfig.ini";

// Runs the program in dir to its end (output in <name>.out and .err there):
// its exit status, -1 when it has not ended within the bound a hung program
// reaches.
int RunToEnd(const TempDir &dir, const std::vector<std::string> &args, const std::string &name,
             std::string *pErr = nullptr, std::string *pOut = nullptr,
             const char *pszDisplay = nullptr) {
  Program p(dir.Path(), args, name, pszDisplay);
  int nStatus = p.Wait();
  if (pErr) *pErr = p.Err();
  if (pOut) *pOut = p.Out();
  return nStatus;
}

std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// Names in the directory, except the named output files of the runs.
std::set<std::string> Names(const TempDir &dir) {
  std::set<std::string> names;
  for (const auto &e : std::filesystem::recursive_directory_iterator(dir.Path())) {
    std::string rel = std::filesystem::relative(e.path(), dir.Path()).string();
    if (rel.size() > 4 && (rel.ends_with(".out") || rel.ends_with(".err"))) continue;
    names.insert(rel);
  }
  return names;
}

SimConfig Roof() {
  SimConfig c;
  c.serial = "DAS000000001";
  c.name = "Roof";
  c.devices = {1, 2, 3};
  c.nRecords = 60;
  return c;
}

// A directory whose one unit is the simulator; the simulated unit answers
// the identity request with a long configuration, one byte at a time, so a
// run stays busy (and its receive never times out) until it is ended.
struct BusyUnit {
  TempDir dir{false};
  SimUnit sim{Roof()};
  std::string list;
  BusyUnit() {
    std::string config = "SERIALNUMBER=DAS000000001\nLOOPNAME=Roof\n";
    for (int i = 0; i < 2000; i++) config += "X=1\n";
    SimSetBody(sim.p, IdentityPath, config);
    SimSetSlowBody(sim.p, IdentityPath, 1, 100);
    list = std::string(Header) + "DAS000000001,Roof,\"\"," + sim.Address() + ",NO,qexal\r\n";
    WriteFileBytes(dir.File("daslist.txt"), list);
  }
};

TEST(RunLock, ASecondRunInTheSameDirectoryIsRefusedAndTouchesNothing) {
  BusyUnit u;
  ASSERT_NE(u.sim.p, nullptr);
  Program first(u.dir.Path(), {"/AUTO"}, "first");
  ASSERT_TRUE(WaitFor([&] { return u.sim.Asked(IdentityPath); })) << first.Err();

  // The first run holds the lock and is in the middle of its download.
  std::string pid = std::to_string(first.Pid());
  EXPECT_EQ(ReadFileBytes(u.dir.File("tandreldl.lock")).find(pid), 0u);
  std::set<std::string> before = Names(u.dir);
  std::size_t nEntriesBefore = ReadLogEntries(u.dir.File("errorlog.txt")).size();

  std::string err;
  EXPECT_EQ(RunToEnd(u.dir, {"/AUTO"}, "second", &err), 1);
  EXPECT_NE(err.find("another run (process " + pid + ")"), std::string::npos) << err;
  EXPECT_EQ(SplitLines(err).size(), 1u) << err;

  // One error entry more, naming the holder; nothing else changed.
  std::vector<LogEntry> entries = ReadLogEntries(u.dir.File("errorlog.txt"));
  ASSERT_EQ(entries.size(), nEntriesBefore + 1);
  EXPECT_EQ(entries.back().module, "main");
  EXPECT_NE(entries.back().message.find("process " + pid), std::string::npos)
      << entries.back().message;
  EXPECT_EQ(Names(u.dir), before);
  EXPECT_EQ(ReadFileBytes(u.dir.File("daslist.txt")), u.list);
  // The unit was asked once: the refused run did not download.
  std::vector<std::string> paths = SimRequestPaths(u.sim.p);
  EXPECT_EQ(std::count(paths.begin(), paths.end(), IdentityPath), 1);

  // Once the first run has ended, the next one runs.
  SimClearFaults(u.sim.p, "");
  SimStop(u.sim.p);
  u.sim.p = nullptr;
  EXPECT_EQ(first.Wait(), 1);  // its unit went away mid-download
  std::size_t nEntries = ReadLogEntries(u.dir.File("errorlog.txt")).size();
  RunToEnd(u.dir, {"/AUTO"}, "fourth", &err);
  EXPECT_EQ(err.find("another run"), std::string::npos) << err;
  entries = ReadLogEntries(u.dir.File("errorlog.txt"));
  ASSERT_GT(entries.size(), nEntries);
  EXPECT_EQ(entries[nEntries].message, "TandrelDL - DAS Download Tool starting, version v1.05.1208");
}

TEST(RunLock, TheDesktopWindowIsRefusedWithAnErrorBox) {
#ifndef TANDREL_HAVE_FLTK
  GTEST_SKIP() << "built without the desktop backend";
#else
  if (!fltktest::OnPath("Xvfb") || !fltktest::OnPath("xdotool"))
    GTEST_SKIP() << "Xvfb or xdotool is not installed";
  fltktest::Xvfb x;
  ASSERT_TRUE(x.Ok());
  BusyUnit u;
  ASSERT_NE(u.sim.p, nullptr);
  Program first(u.dir.Path(), {"/AUTO"}, "first");
  ASSERT_TRUE(WaitFor([&] { return u.sim.Asked(IdentityPath); })) << first.Err();
  std::set<std::string> before = Names(u.dir);

  // The operator starts the window in the same folder: a box says why it
  // will not run, before any main window; answering it ends the program.
  Program second(u.dir.Path(), {}, "second", x.Display().c_str());
  unsigned long xBox = fltktest::WaitWindowNamed(x.Display(), "Error: main line [0-9]*", 120000);
  ASSERT_NE(xBox, 0u) << second.Err();
  EXPECT_EQ(fltktest::FindWindowNamed(x.Display(), "TandrelDL - DAS Download Tool.*"), 0u);
  fltktest::Screenshot(x.Display(), "scheduled_run_lock_box");
  int nX = 0, nY = 0;
  ASSERT_TRUE(fltktest::WindowOrigin(x.Display(), xBox, &nX, &nY));
  fltktest::Xdo(x.Display(), "mousemove --sync " + std::to_string(nX + 20) + " " +
                                 std::to_string(nY + 20));
  fltktest::Keys(x.Display(), "Return");
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(second.Err().find("process " + std::to_string(first.Pid())), std::string::npos)
      << second.Err();
  EXPECT_EQ(Names(u.dir), before);
  EXPECT_EQ(ReadFileBytes(u.dir.File("daslist.txt")), u.list);

  // The unattended run with a display is refused without a box.
  std::string err;
  EXPECT_EQ(RunToEnd(u.dir, {"/AUTO"}, "third", &err, nullptr, x.Display().c_str()), 1);
  EXPECT_NE(err.find("another run"), std::string::npos) << err;
#endif
}

TEST(RunLock, AHolderKilledWithSigkillFreesTheLock) {
  BusyUnit u;
  ASSERT_NE(u.sim.p, nullptr);
  Program first(u.dir.Path(), {"/AUTO"}, "first");
  ASSERT_TRUE(WaitFor([&] { return u.sim.Asked(IdentityPath); })) << first.Err();
  std::string pid = std::to_string(first.Pid());
  first.Kill();

  // No clean-up ran in the killed run (the file still names it); the
  // kernel let go of the lock.
  EXPECT_EQ(ReadFileBytes(u.dir.File("tandreldl.lock")).find(pid), 0u);
  SimClearFaults(u.sim.p, "");
  std::string err;
  EXPECT_EQ(RunToEnd(u.dir, {"/AUTO"}, "second", &err), 0) << err;
  EXPECT_EQ(err.find("another run"), std::string::npos) << err;
  EXPECT_NE(err.find("DAS000000001 Roof: complete"), std::string::npos) << err;
  EXPECT_TRUE(FileExists(u.dir.File("DAS000000001/devlist.txt")));
}

TEST(RunLock, ALockThatCannotBeHadEndsTheRunWithStatusOne) {
  TempDir dir(false);
  const std::string list = std::string(Header) + "A1,first,\"\",127.0.0.1:1,NO,pw\r\n";
  WriteFileBytes(dir.File("daslist.txt"), list);
  // Something that is no file stands where the lock file belongs.
  std::filesystem::create_directory(dir.File("tandreldl.lock"));
  std::string err;
  EXPECT_EQ(RunToEnd(dir, {"/AUTO"}, "run", &err), 1);
  EXPECT_NE(err.find("cannot lock tandreldl.lock"), std::string::npos) << err;
  std::vector<LogEntry> entries = ReadLogEntries(dir.File("errorlog.txt"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].module, "main");
  EXPECT_EQ(entries[0].message.rfind("Error creating file tandreldl.lock, got ", 0), 0u)
      << entries[0].message;
  EXPECT_EQ(Names(dir), (std::set<std::string>{"daslist.txt", "errorlog.txt", "tandreldl.lock"}));
  EXPECT_EQ(ReadFileBytes(dir.File("daslist.txt")), list);
}

TEST(RunSummary, OneLinePerUnitFailedFirstThenTheTotal) {
  TempDir dir(false);
  SimUnit roof(Roof());
  ASSERT_NE(roof.p, nullptr);
  // The window keeps its units sorted, so "Z1" is downloaded last, and the
  // summary puts its failure first all the same. Port 1 on loopback refuses
  // the connection.
  WriteFileBytes(dir.File("daslist.txt"), std::string(Header) +
                                             "DAS000000001,Roof,\"\"," + roof.Address() +
                                             ",NO,qexal\r\n"
                                             "Z1,Yard,\"\",127.0.0.1:1,NO,pw\r\n");
  std::string err, out;
  EXPECT_EQ(RunToEnd(dir, {"/AUTO"}, "run", &err, &out), 1);
  EXPECT_EQ(out, "");
  std::vector<std::string> lines = SplitLines(err);
  ASSERT_EQ(lines.size(), 3u) << err;
  // A failure says why; a complete unit what it brought (3 devices of 60
  // records each).
  EXPECT_EQ(lines[0].rfind("Z1 Yard: failed: ", 0), 0u) << err;
  EXPECT_GT(lines[0].size(), std::strlen("Z1 Yard: failed: ")) << err;
  EXPECT_EQ(lines[1], "DAS000000001 Roof: complete, 3 devices, 180 records") << err;
  EXPECT_EQ(lines[2], "2 units: 1 complete, 1 failed");
  // The error log keeps its entries: the refused connection is there.
  std::vector<LogEntry> entries = ReadLogEntries(dir.File("errorlog.txt"));
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const LogEntry &e) {
    return e.message.find("127.0.0.1:1") != std::string::npos;
  }));

  // Quiet: the failure and the total, nothing of the good unit.
  EXPECT_EQ(RunToEnd(dir, {"/AUTO", "--quiet"}, "quiet", &err), 1);
  lines = SplitLines(err);
  ASSERT_EQ(lines.size(), 2u) << err;
  EXPECT_EQ(lines[0].rfind("Z1 Yard: failed: ", 0), 0u) << err;
  EXPECT_EQ(lines[1], "2 units: 1 complete, 1 failed");

  // Only good units: status 0, and the summary still says so.
  WriteFileBytes(dir.File("daslist.txt"),
                 std::string(Header) + "DAS000000001,Roof,\"\"," + roof.Address() + ",NO,qexal\r\n");
  EXPECT_EQ(RunToEnd(dir, {"/AUTO"}, "again", &err), 0) << err;
  lines = SplitLines(err);
  ASSERT_EQ(lines.size(), 2u) << err;
  EXPECT_EQ(lines[0].rfind("DAS000000001 Roof: complete, 3 devices, ", 0), 0u) << err;
  EXPECT_EQ(lines[1], "1 unit: 1 complete, 0 failed");

  // The list cannot be saved (the unit reports another name than the list
  // holds): the unit came in, but the run failed, and the summary says why
  // before the total.
  WriteFileBytes(dir.File("daslist.txt"),
                 std::string(Header) + "DAS000000001,Old name,\"\"," + roof.Address() + ",NO,qexal\r\n");
  std::filesystem::create_directory(dir.File("daslist.txt.new"));
  EXPECT_EQ(RunToEnd(dir, {"/AUTO"}, "unsaved", &err), 1) << err;
  std::filesystem::remove(dir.File("daslist.txt.new"));
  lines = SplitLines(err);
  ASSERT_EQ(lines.size(), 3u) << err;
  EXPECT_EQ(lines[1].rfind("daslist.txt: a save failed: Error creating daslist.txt.new, got ", 0), 0u)
      << err;
  EXPECT_EQ(lines[2], "1 unit: 1 complete, 0 failed");

  // A unit behind a phone line that cannot be dialled here: its dialog is
  // closed at the failed dial, before the worker's end, and the unit is in
  // the summary all the same.
  WriteFileBytes(dir.File("daslist.txt"),
                 std::string(Header) + "DAS000000003,Barn,5551234,127.0.0.1:1,NO,pw\r\n");
  EXPECT_EQ(RunToEnd(dir, {"/AUTO"}, "dial", &err), 1) << err;
  lines = SplitLines(err);
  ASSERT_EQ(lines.size(), 2u) << err;
  EXPECT_EQ(lines[0].rfind("DAS000000003 Barn: failed: ", 0), 0u) << err;
  EXPECT_EQ(lines[1], "1 unit: 0 complete, 1 failed");
}

// Two rows whose units report one serial number would share its directory:
// the second is refused (its unit neither merged nor told to delete), the
// first is downloaded. The summary counts records stored, one per time
// stamp, not lines downloaded.
TEST(RunSummary, ASecondRowReportingAnotherRowsSerialIsRefused) {
  TempDir dir(false);
  SimUnit roof(Roof());
  SimConfig c = Roof();
  c.name = "Twin";
  SimUnit twin(c);
  ASSERT_NE(roof.p, nullptr);
  ASSERT_NE(twin.p, nullptr);
  const std::string last = SimRecordLine(Roof(), 1, Roof().nRecords - 1);
  SimSetExtraLines(roof.p, "/setup/logexport.cgi?MB=1", {last.substr(0, last.size() - 1)});
  WriteFileBytes(dir.File("daslist.txt"),
                 std::string(Header) + "DAS000000001,Roof,\"\"," + roof.Address() +
                     ",YES,qexal\r\nDAS000000002,Twin,\"\"," + twin.Address() + ",YES,qexal\r\n");
  std::string err;
  EXPECT_EQ(RunToEnd(dir, {"/AUTO"}, "run", &err), 1);
  std::vector<std::string> lines = SplitLines(err);
  ASSERT_EQ(lines.size(), 3u) << err;
  EXPECT_EQ(lines[0], "DAS000000002 Twin: failed: reports serial number DAS000000001, which row 1 "
                      "holds already") << err;
  EXPECT_EQ(lines[1], "DAS000000001 Roof: complete, 3 devices, 180 records") << err;
  std::vector<LogEntry> entries = ReadLogEntries(dir.File("errorlog.txt"));
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const LogEntry &e) {
    return e.message == "DAS DAS000000002 at " + twin.Address() +
                            " (row 2 of the list) reports serial number DAS000000001, which row 1 "
                            "(DAS000000001 at " + roof.Address() + ") holds already: not downloaded";
  }));
  EXPECT_EQ(SimDeleteCount(roof.p, 1), 1);
  EXPECT_EQ(SimDeleteCount(twin.p, 1), 0);
  EXPECT_FALSE(twin.Asked("/setup/logexport.cgi?MB=0"));
  EXPECT_NE(ReadFileBytes(dir.File("daslist.txt")).find("DAS000000002,Twin"), std::string::npos);
}

// Reads everything the child writes to the terminal until it closes it.
std::string DrainTerminal(int fdMaster) {
  std::string all;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fdMaster, buf, sizeof buf);
    if (n > 0) {
      all.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // EIO once the last holder of the terminal side has gone
  }
  return all;
}

TEST(RunSummary, OnATerminalItFollowsTheLiveLine) {
  TempDir dir(false);
  SimUnit roof(Roof());
  ASSERT_NE(roof.p, nullptr);
  WriteFileBytes(dir.File("daslist.txt"),
                 std::string(Header) + "DAS000000001,Roof,\"\"," + roof.Address() + ",NO,qexal\r\n");
  int fdMaster = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(fdMaster, 0);
  ASSERT_EQ(grantpt(fdMaster), 0);
  ASSERT_EQ(unlockpt(fdMaster), 0);
  std::string slave = ptsname(fdMaster);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    int fd = open(slave.c_str(), O_RDWR);
    if (fd < 0 || chdir(dir.Path().c_str()) != 0) _exit(126);
    // Raw: the terminal hands over the bytes as written (no CR added).
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd, TCSANOW, &tio);
    }
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
    close(fdMaster);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    execl(TANDREL_BINARY, TANDREL_BINARY, "/AUTO", static_cast<char *>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  std::string all = DrainTerminal(fdMaster);
  int st = 0;
  waitpid(pid, &st, 0);
  close(fdMaster);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0) << all;

  // The live line was drawn and ended; the summary follows on lines of its
  // own, and is the last thing written.
  std::size_t live = all.find("\r");
  std::size_t unitLine = all.find("\nDAS000000001 Roof: complete, ");
  ASSERT_NE(live, std::string::npos) << all;
  ASSERT_NE(unitLine, std::string::npos) << all;
  EXPECT_LT(live, unitLine);
  EXPECT_TRUE(all.ends_with("\n1 unit: 1 complete, 0 failed\n")) << all;
  EXPECT_EQ(all.find("\r", unitLine), std::string::npos) << all;
}

TEST(RunSummary, LinesAndTotal) {
  SummaryReset();
  EXPECT_EQ(SummaryText(), "");
  SummaryNoteUnit("DAS000000001", "Roof", UNIT_COMPLETE, "", 3, 4320);
  SummaryNoteUnit("DAS000000002", "Yard", UNIT_FAILED, "gave no HTTP answer", 0, 0);
  SummaryNoteUnit("DAS000000003", "Shed", UNIT_COMPLETE, "ignored", 1, 1);
  SummaryNoteUnit("DAS000000004", "Gate", UNIT_CANCELLED, "", 2, 10);
  SummaryNoteUnit("", "[new]", UNIT_FAILED, "", 0, 0);
  // A reason with a line break, and an outcome nobody defined, stay one
  // failed line each.
  SummaryNoteUnit("DAS000000005", "Pond\r\n", 7, "cut\nshort", 0, 0);
  // Failed units first, each group in the order noted.
  EXPECT_EQ(SummaryText(),
            "DAS000000002 Yard: failed: gave no HTTP answer\n"
            "[new]: failed (see errorlog.txt)\n"
            "DAS000000005 Pond  : failed: cut short\n"
            "DAS000000001 Roof: complete, 3 devices, 4320 records\n"
            "DAS000000003 Shed: complete, 1 device, 1 record\n"
            "DAS000000004 Gate: cancelled\n"
            "6 units: 2 complete, 3 failed, 1 cancelled\n");
  // A stopped run's units it did not reach, and a problem of the run: the
  // quiet summary keeps the failures, the problems and the total.
  SummaryNoteUnit("DAS000000006", "Weir", UNIT_NOT_STARTED, "", 0, 0);
  SummaryNoteProblem("daslist.txt: a save failed");
  EXPECT_EQ(SummaryText(1),
            "DAS000000002 Yard: failed: gave no HTTP answer\n"
            "[new]: failed (see errorlog.txt)\n"
            "DAS000000005 Pond  : failed: cut short\n"
            "daslist.txt: a save failed\n"
            "7 units: 2 complete, 3 failed, 1 cancelled, 1 not started\n");
  EXPECT_NE(SummaryText(0).find("\nDAS000000006 Weir: not started\n"), std::string::npos);
  SummaryReset();
  EXPECT_EQ(SummaryText(), "");
}

TEST(RunSummary, WorkersNoteAtOnce) {
  SummaryReset();
  const int nThreads = 8, nEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < nThreads; t++)
    threads.emplace_back([t] {
      for (int i = 0; i < nEach; i++) {
        std::string serial = "T" + std::to_string(t) + "-" + std::to_string(i);
        SummaryNoteUnit(serial.c_str(), "x", (i % 2) ? UNIT_COMPLETE : UNIT_FAILED, "r", 1, i);
      }
    });
  for (std::thread &th : threads) th.join();
  std::vector<std::string> lines = SplitLines(SummaryText());
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(nThreads * nEach + 1));
  EXPECT_EQ(lines.back(), "1600 units: 800 complete, 800 failed");
  // Each thread's units in the order it noted them, its failed ones (the
  // even ones) first.
  for (int t = 0; t < nThreads; t++) {
    int nSeen = 0;
    std::string prefix = "T" + std::to_string(t) + "-";
    for (const std::string &l : lines)
      if (l.rfind(prefix, 0) == 0) {
        int nNext = nSeen < nEach / 2 ? 2 * nSeen : 2 * (nSeen - nEach / 2) + 1;
        EXPECT_EQ(l.rfind(prefix + std::to_string(nNext) + " x: ", 0), 0u) << l;
        nSeen++;
      }
    EXPECT_EQ(nSeen, nEach);
  }
  SummaryReset();
}

TEST(RunOptions, HelpAndVersionAnswerWithStatusZeroAndTouchNothing) {
  TempDir dir(false);
  const char *displays[] = {nullptr, ":9999"};  // none, and one that cannot open
  for (const char *pszDisplay : displays) {
    for (const char *pszOption : {"--help", "-h", "/?"}) {
      std::string out, err;
      EXPECT_EQ(RunToEnd(dir, {pszOption}, "help", &err, &out, pszDisplay), 0) << pszOption;
      EXPECT_EQ(out.rfind("TandrelDL - DAS Download Tool v1.05.1208\nUsage:\n", 0), 0u) << out;
      EXPECT_NE(out.find("/AUTO"), std::string::npos);
      EXPECT_NE(out.find("--version"), std::string::npos);
      EXPECT_EQ(err, "");
    }
    std::string out, err;
    EXPECT_EQ(RunToEnd(dir, {"--version"}, "version", &err, &out, pszDisplay), 0);
    EXPECT_EQ(out, "TandrelDL - DAS Download Tool v1.05.1208\n");
    EXPECT_EQ(err, "");
  }
  // Help wins over the unattended run: nothing is downloaded or written.
  WriteFileBytes(dir.File("daslist.txt"), std::string(Header) + "A1,first,\"\",127.0.0.1:1,NO,pw\r\n");
  EXPECT_EQ(RunToEnd(dir, {"/AUTO", "--help"}, "both"), 0);
  EXPECT_EQ(Names(dir), std::set<std::string>{"daslist.txt"});

  // Anything else without a display: the usage on standard error, status 2.
  for (const char *pszOption : {"--helpme", "-H", "help"}) {
    std::string out, err;
    EXPECT_EQ(RunToEnd(dir, {pszOption}, "other", &err, &out), 2) << pszOption;
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("Usage:"), std::string::npos) << err;
    EXPECT_NE(err.find("display"), std::string::npos) << err;
  }
  EXPECT_EQ(Names(dir), std::set<std::string>{"daslist.txt"});
}

}  // namespace
