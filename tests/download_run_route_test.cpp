// The ways a night's download can go wrong, each run through the real
// program ("/AUTO", as a scheduler starts it) against a simulated unit that
// deletes what it hands over: the run must end with status 1 and one entry
// that names the unit, its address and what went wrong, the unit must not be
// told to delete anything that is not stored, and the next good run must
// bring in every record. Also: leftover downloads of earlier runs are taken
// up under their whole names, and an operator's cancel is no failure.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "daslist/daslist.h"
#include "download/download.h"
#include "download/testhooks.h"
#include "log/testhooks.h"
#include "platform/testhooks.h"
#include "platform/window.h"
#include "tests/support/download_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string S = "DAS000000001";
const std::string kPass = "qexal";

// "Created temp file <serial>\temp\mb-00N.K.tmp" for device 1 or 2, with
// the number K and the ending whole.
bool WholeTempName(const std::string &message) {
  const std::string prefix = "Created temp file " + S + "\\temp\\mb-00";
  if (message.rfind(prefix, 0) != 0) return false;
  std::string rest = message.substr(prefix.size());
  if (rest.size() < 7 || (rest[0] != '1' && rest[0] != '2') || rest[1] != '.') return false;
  std::size_t i = 2;
  while (i < rest.size() && std::isdigit((unsigned char)rest[i])) i++;
  return i > 2 && rest.substr(i) == ".tmp";
}

class Route : public ::testing::Test {
 protected:
  void Start(const SimConfig &c) {
    fs::remove_all(work);
    fs::create_directories(work);
    sim = std::make_unique<SimUnit>(c);
    ASSERT_NE(sim->p, nullptr);
    A = sim->Address();
    list = "serialnumber,name,phone,ipaddress,deletelog,password\r\n" + S + ",Sim unit,\"\"," + A +
           ",YES," + kPass + "\r\n";
    WriteFileBytes(W("daslist.txt"), list);
  }
  std::string W(const std::string &rel) const { return work + "/" + rel; }
  int Run() {
    int pid = StartProgram(TANDREL_BINARY, work, {"/AUTO"}, base.File("out.txt"),
                           base.File("err.txt"));
    return pid < 0 ? -1 : WaitProgram(pid, 300);
  }
  // The run started with these arguments; its process id.
  int StartRun(const std::vector<std::string> &args) {
    return StartProgram(TANDREL_BINARY, work, args, base.File("out.txt"), base.File("err.txt"));
  }
  std::vector<LogEntry> Entries() { return ReadLogEntries(W("errorlog.txt")); }
  std::string Dump() {
    std::string s;
    for (auto &e : Entries()) s += e.module + ": " + e.message + "\n";
    return s + ReadFileBytes(base.File("err.txt"));
  }
  // The entries that report this unit's download as failed: the failing
  // step's own, or the one the run adds for a unit that did not complete.
  std::vector<std::string> Failures(const std::string &serial) {
    std::vector<std::string> v;
    for (auto &e : Entries())
      if (e.message.find(serial) != std::string::npos && e.message.find(A) != std::string::npos &&
          (e.message.find("did not complete") != std::string::npos ||
           e.message.find(" incomplete") != std::string::npos))
        v.push_back(e.message);
    return v;
  }
  // The devices the unit serves (a single meter: device 1 alone).
  std::vector<int> Devices() const {
    return sim->cfg.nKind == 1 ? sim->cfg.devices : std::vector<int>{1};
  }
  void ExpectNothingDeleted() {
    for (int d : Devices()) {
      EXPECT_EQ(SimDeleteCount(sim->p, d), 0) << "device " << d;
      EXPECT_EQ(SimLogRecords(sim->p, d), sim->cfg.nRecords) << "device " << d;
    }
  }
  // A good run afterwards brings every record and then lets the unit delete.
  void ExpectNextGoodRunKeepsAll() {
    std::vector<std::string> bodies;
    const std::vector<int> devices = Devices();
    for (int d : devices) bodies.push_back(SimLogBody(sim->p, d));
    SimClearFaults(sim->p, "");
    EXPECT_EQ(Run(), 0) << Dump();
    for (std::size_t i = 0; i < bodies.size(); i++) {
      char sz[32];
      std::snprintf(sz, sizeof sz, "/mb-%03d.log", devices[i]);
      std::string got = ReadFileBytes(W(S + sz));
      EXPECT_TRUE(got == bodies[i]) << sz << ": " << FirstDifference(got, bodies[i]);
      EXPECT_EQ(SimDeleteCount(sim->p, devices[i]), 1);
    }
    EXPECT_EQ(ReadFileBytes(W("daslist.txt")), list);
    EXPECT_TRUE(fs::is_empty(W(S + "/temp")));
  }

  // Writes nFiles leftover downloads of the device into the unit's temp
  // folder, ten records each, older than anything the unit serves; returns
  // their record lines in order.
  std::string Leftovers(int nDevice, int nFiles) {
    const std::string body = SimLogBody(sim->p, 1);
    const std::string header = body.substr(0, body.find('\n') + 1);
    SimConfig older;
    older.firstTime = "2026-11-01 00:00:00";
    fs::create_directories(W(S + "/temp"));
    std::string lines;
    char sz[64];
    for (int k = 0; k < nFiles; k++) {
      std::string data;
      for (long i = 0; i < 10; i++) data += SimRecordLine(older, nDevice, k * 10 + i);
      lines += data;
      std::snprintf(sz, sizeof sz, "/temp/mb-%03d.%d.tmp", nDevice, k);
      WriteFileBytes(W(S + sz), header + data);
    }
    return lines;
  }

  TempDir base{false};
  std::string work = base.File("work");
  std::unique_ptr<SimUnit> sim;
  std::string A, list;
};

// A server that is reloaded, or a proxy that times out, ends a transfer with
// an ordinary close: only the announced length shows that the body is cut.
TEST_F(Route, BodyCutByAnOrdinaryClose) {
  Start(SimConfig{});
  const std::string log1 = SimLogBody(sim->p, 1);
  SimSetCutBody(sim->p, "/setup/logexport.cgi?MB=1", 5000);
  EXPECT_EQ(Run(), 1) << Dump();
  auto failures = Failures(S);
  ASSERT_EQ(failures.size(), 1u) << Dump();
  for (const std::string &part : {std::string("device 1"), std::string("5000"),
                                  std::to_string(log1.size())})
    EXPECT_NE(failures[0].find(part), std::string::npos) << failures[0] << " lacks " << part;
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
  EXPECT_EQ(SimLogRecords(sim->p, 1), sim->cfg.nRecords);
  // The cut last line is not merged: it would stand as a short record.
  EXPECT_EQ(ReadFileBytes(W(S + "/mb-001.log")), log1.substr(0, log1.rfind('\n', 4999) + 1));

  SimClearFaults(sim->p, "");
  EXPECT_EQ(Run(), 0) << Dump();
  std::string got = ReadFileBytes(W(S + "/mb-001.log"));
  EXPECT_TRUE(got == log1) << FirstDifference(got, log1);
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
  EXPECT_TRUE(fs::is_empty(W(S + "/temp")));
}

// Nights that download nothing are failed nights: one entry each, naming
// the unit, its address and the reason; status 1; nothing deleted.
TEST_F(Route, AnswersThatStopAUnitEndTheRunWithStatus1) {
  const std::string kProbe = "/setup/logexport.cgi?MB=0";
  const std::string kGarbage = std::string("\x15\x03\x01\x00\x02\x02\x50", 7);
  struct Case {
    const char *pszWhat;
    std::function<void(SimServer *)> setup;
    std::string serial;  // as the entry names the unit
    std::string reason;  // a part of the reason given
  } cases[] = {
      {"device list answered 500", [&](SimServer *p) { SimSetStatus(p, kProbe, 500); }, S, "500"},
      {"device list redirected",
       [&](SimServer *p) {
         SimSetRawResponse(p, kProbe,
                           "HTTP/1.0 302 Found\r\nLocation: https://127.0.0.1/\r\n\r\n");
       },
       S, "302"},
      {"device list answered 400 (a TLS port)", [&](SimServer *p) { SimSetStatus(p, kProbe, 400); },
       S, "400"},
      {"no HTTP answer at all",
       [&](SimServer *p) {
         for (const char *psz : {"/setup/logexport.cgi?CFG=loggerconfig.ini", "/loggerconfig.ini",
                                 "/setup/logexport.cgi?MB=0"})
           SimSetRawResponse(p, psz, kGarbage);
       },
       S, "no HTTP answer"},
      {"connection closed without a byte",
       [&](SimServer *p) { SimSetRawResponse(p, "/setup/logexport.cgi?MB=0", ""); }, S,
       "no HTTP answer"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.pszWhat);
    Start(SimConfig{});
    k.setup(sim->p);
    EXPECT_EQ(Run(), 1) << Dump();
    auto failures = Failures(k.serial);
    ASSERT_EQ(failures.size(), 1u) << Dump();
    EXPECT_NE(failures[0].find(k.reason), std::string::npos) << failures[0];
    ExpectNothingDeleted();
    EXPECT_FALSE(FileExists(W(S + "/mb-001.log")));
    EXPECT_EQ(ReadFileBytes(W("daslist.txt")), list);
    ExpectNextGoodRunKeepsAll();
  }
}

// Every form of the address field, and what the summary says of the units
// that cannot be reached: a name not found, a port nobody listens on, a
// port out of range. Named units are asked with their name in a Host line.
TEST_F(Route, AddressFormsAndWhyAUnitWasNotReached) {
  unsigned short nDead;
  {
    SimUnit gone{SimConfig{}};
    nDead = (unsigned short)gone.Port();
  }
  struct Row {
    const char *pszWhat;
    std::string bind;      // where the simulated unit listens
    std::string address;   // the field, PORT standing for the unit's port
    std::string host;      // the Host line's value, "" for none
    std::string summary;   // the unit's summary line after the serial number
  } rows[] = {
      {"four numbers", "127.0.0.1", "127.0.0.1:PORT", "", " Sim unit: complete"},
      {"blanks around", "127.0.0.1", "  127.0.0.1:PORT ", "", " Sim unit: complete"},
      {"host name", "127.0.0.1", "localhost:PORT", "localhost:PORT", " Sim unit: complete"},
      {"IPv6", "::1", "[::1]:PORT", "[::1]:PORT", " Sim unit: complete"},
      {"name not found", "127.0.0.1", "das-1.site.invalid:PORT", "",
       " Sim unit: failed: name not found (identity request)"},
      {"refused", "127.0.0.1", "127.0.0.1:" + std::to_string(nDead), "",
       " Sim unit: failed: connection refused (identity request)"},
      {"port out of range", "127.0.0.1", "localhost:65536", "",
       " Sim unit: failed: the port of its address [localhost:65536] cannot be used"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.pszWhat);
    fs::remove_all(work);
    fs::create_directories(work);
    SimConfig c;
    c.bindAddress = r.bind;
    sim = std::make_unique<SimUnit>(c);
    if (!sim->p && r.bind == "::1") {
      std::printf("skipping the IPv6 row: no IPv6 loopback on this machine\n");
      continue;
    }
    ASSERT_NE(sim->p, nullptr);
    auto Port = [&](std::string text) {
      std::size_t at = text.find("PORT");
      if (at != std::string::npos) text.replace(at, 4, std::to_string(sim->Port()));
      return text;
    };
    A = Port(r.address);
    list = "serialnumber,name,phone,ipaddress,deletelog,password\r\n" + S + ",Sim unit,\"\"," + A +
           ",YES," + kPass + "\r\n";
    WriteFileBytes(W("daslist.txt"), list);
    const bool bComplete = r.summary == " Sim unit: complete";
    EXPECT_EQ(Run(), bComplete ? 0 : 1) << Dump();
    const std::string err = ReadFileBytes(base.File("err.txt"));
    EXPECT_NE(err.find(S + r.summary), std::string::npos) << err;
    if (!bComplete) {
      EXPECT_TRUE(SimRequests(sim->p).empty());
      continue;
    }
    EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
    auto requests = SimRequests(sim->p);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0], ExpectedRequest("/setup/logexport.cgi?CFG=loggerconfig.ini", kPass,
                                           Port(r.host)));
  }
}

TEST_F(Route, RefusedSerialNumberEndsTheRunWithStatus1) {
  SimConfig c;
  c.serial = "ABC123";
  Start(c);
  EXPECT_EQ(Run(), 1) << Dump();
  // Named by the serial number in the list or by the one it reported.
  auto failures = Failures(S), reported = Failures("ABC123");
  failures.insert(failures.end(), reported.begin(), reported.end());
  ASSERT_EQ(failures.size(), 1u) << Dump();
  EXPECT_NE(failures[0].find("serial number"), std::string::npos) << failures[0];
  ExpectNothingDeleted();
  // The unit stays in the list.
  std::string now = ReadFileBytes(W("daslist.txt"));
  EXPECT_NE(now.find(",Sim unit,\"\"," + A + ",YES," + kPass + "\r\n"), std::string::npos) << now;
}

// A unit folder that cannot be written while its temp folder can: the
// download is stored in temp, but the merge cannot write the merged file
// beside the local log. The download is not safely stored, so the unit must
// not delete it; the run says so; the next good run takes it up. Without a
// temp folder the download cannot even start, and the entry names the
// folder that could not be made with its own error. (Read-only by a mount,
// for root, whom permission bits do not stop.)
class RouteReadOnly : public Route, public ::testing::WithParamInterface<int> {};

TEST_P(RouteReadOnly, UnitFolder) {
  static bool bPrivate = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
                         mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  (void)bPrivate;
  for (bool bTemp : {true, false}) {
    SCOPED_TRACE(bTemp ? "temp folder writable" : "no temp folder");
    fs::remove_all(work);
    const std::string dir = base.File("work/" + S), temp = dir + "/temp";
    fs::create_directories(bTemp ? temp : dir);
    bool bMounted = false;
    if (geteuid() == 0) {
      // temp becomes a mount of its own, so that it stays writable inside the
      // read-only mount of the unit folder.
      if (bTemp && mount(temp.c_str(), temp.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot make a read-only folder as root without mounting: "
                     << std::strerror(errno);
      if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
          mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
        int nErr = errno;
        umount2(dir.c_str(), MNT_DETACH);
        if (bTemp) umount2(temp.c_str(), MNT_DETACH);
        GTEST_SKIP() << "cannot remount a folder read-only: " << std::strerror(nErr);
      }
      bMounted = true;
    } else {
      chmod(dir.c_str(), 0555);
    }
    // Start() would empty the work folder: set the unit up around it.
    SimConfig c;
    c.nKind = GetParam();
    sim = std::make_unique<SimUnit>(c);
    A = sim->Address();
    list = "serialnumber,name,phone,ipaddress,deletelog,password\r\n" + S + ",Sim unit,\"\"," + A +
           ",YES," + kPass + "\r\n";
    WriteFileBytes(W("daslist.txt"), list);

    int nStatus = Run();
    std::string log = Dump();
    if (bMounted) {
      umount2(dir.c_str(), MNT_DETACH);
      if (bTemp) umount2(temp.c_str(), MNT_DETACH);
    } else {
      chmod(dir.c_str(), 0755);
    }
    EXPECT_EQ(nStatus, 1) << log;
    const std::string why = std::strerror(bMounted ? EROFS : EACCES);
    EXPECT_NE(log.find(why), std::string::npos) << log;
    if (!bTemp) {
      EXPECT_NE(log.find("Error creating directory " + S + "\\temp, got "), std::string::npos)
          << log;
    }
    ExpectNothingDeleted();
    ExpectNextGoodRunKeepsAll();
  }
}

INSTANTIATE_TEST_SUITE_P(BothKinds, RouteReadOnly, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int> &i) {
                           return std::string(i.param == 1 ? "MultiDevice" : "SingleMeter");
                         });

// Downloads that 150 earlier runs left behind (killed, or failed before
// their merge): the next run takes them all up, and the new download gets a
// whole name however high its number.
TEST_F(Route, LeftoverDownloadsAreTakenUpUnderWholeNames) {
  Start(SimConfig{});
  const std::string body = SimLogBody(sim->p, 1);
  const std::string header = body.substr(0, body.find('\n') + 1);
  std::string want = header + Leftovers(1, 150) + body.substr(header.size());

  EXPECT_EQ(Run(), 0) << Dump();
  int nCreated = 0;
  for (auto &e : Entries()) {
    if (e.message.rfind("Created temp file", 0) != 0) continue;
    nCreated++;
    EXPECT_TRUE(WholeTempName(e.message)) << e.message;
  }
  EXPECT_EQ(nCreated, 2);
  std::string got = ReadFileBytes(W(S + "/mb-001.log"));
  EXPECT_TRUE(got == want) << FirstDifference(got, want);
  EXPECT_TRUE(fs::is_empty(W(S + "/temp")));
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
}

// Leftovers of a device that the unit no longer lists have no download of
// their own to ride along with; they are merged at the end of the unit's
// download all the same.
TEST_F(Route, LeftoversOfADeviceNoLongerListedAreMerged) {
  Start(SimConfig{});
  const std::string body = SimLogBody(sim->p, 1);
  const std::string header = body.substr(0, body.find('\n') + 1);
  std::string want = header + Leftovers(9, 3);
  EXPECT_EQ(Run(), 0) << Dump();
  std::string got = ReadFileBytes(W(S + "/mb-009.log"));
  EXPECT_TRUE(got == want) << FirstDifference(got, want);
  EXPECT_TRUE(fs::is_empty(W(S + "/temp")));
}

// The operator edits the list while the night's run waits for a unit's
// identity (served slowly): a row appended, a row removed, another row's
// password changed. The edits stay, the name the unit reports lands on its
// row, and the removed row's unit is not downloaded.
TEST_F(Route, EditsOfTheListDuringTheRunStay) {
  Start(SimConfig{});
  const std::string header = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";
  const std::string tail = ",\"\"," + A + ",YES," + kPass + "\r\n";
  const std::string edited = "M1,edited,\"\",127.0.0.1:1,NO,pw\r\n";
  const std::string removed = "ZZ1,removed,\"\",127.0.0.1:1,NO,pw\r\n";
  const std::string appended = "N1,appended,\"\",127.0.0.1:1,NO,pn\r\n";
  WriteFileBytes(W("daslist.txt"), header + S + ",old name" + tail + edited + removed);
  const std::string kConfig = "/setup/logexport.cgi?CFG=loggerconfig.ini";
  SimSetSlowBody(sim->p, kConfig, 8, 100);
  int pid = StartProgram(TANDREL_BINARY, work, {"/AUTO"}, base.File("out.txt"), base.File("err.txt"));
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor([&] { return sim->Asked(kConfig); }, 20000));
  WriteFileBytes(W("daslist.txt"), header + S + ",old name" + tail +
                                       "M1,edited,\"\",127.0.0.1:1,NO,changed\r\n" + appended);
  // M1 cannot be reached: a failed night, but only that unit's.
  EXPECT_EQ(WaitProgram(pid, 300), 1) << Dump();
  EXPECT_EQ(ReadFileBytes(W("daslist.txt")),
            header + S + ",Sim unit" + tail + "M1,edited,\"\",127.0.0.1:1,NO,changed\r\n" + appended);
  EXPECT_TRUE(FileExists(W(S + "/mb-001.log")));
  std::string log = Dump();
  EXPECT_NE(log.find("M1"), std::string::npos) << log;
  EXPECT_EQ(log.find("ZZ1"), std::string::npos) << log;
}

// A night that changes nothing in the list leaves the file alone: not
// written, not renamed (the same file, the same time).
TEST_F(Route, AListTheNightDoesNotChangeIsNotWritten) {
  Start(SimConfig{});
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  fs::last_write_time(W("daslist.txt"), old);
  struct stat before {}, after {};
  ASSERT_EQ(stat(W("daslist.txt").c_str(), &before), 0);
  EXPECT_EQ(Run(), 0) << Dump();
  ASSERT_EQ(stat(W("daslist.txt").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(ReadFileBytes(W("daslist.txt")), list);
  EXPECT_TRUE(FileExists(W(S + "/mb-001.log")));
}

// A run stopped while its first unit dribbles its first log (two bytes a
// second: slow, but never slow enough to time out), by the unit's time limit
// or by a signal from outside. Either way the cut unit is told to delete
// nothing, the run ends with status 1, its entry and a summary line for
// every unit, and the next run brings every record of both units.
struct StopRow {
  const char *pszName;
  int nSignal;  // 0: the time limit (--unit-time-limit 2) stops the unit
};

TEST_F(Route, ARunStoppedWhileAUnitDribbles) {
  const StopRow rows[] = {
      {"time limit", 0}, {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
  for (const StopRow &row : rows) {
    SCOPED_TRACE(row.pszName);
    Start(SimConfig{});
    SimConfig c2;
    c2.serial = "DAS000000002";
    c2.name = "Second";
    SimUnit second(c2);
    ASSERT_NE(second.p, nullptr);
    list += "DAS000000002,Second,\"\"," + second.Address() + ",YES," + kPass + "\r\n";
    WriteFileBytes(W("daslist.txt"), list);
    SimSetDribble(sim->p, "/setup/logexport.cgi?MB=1", 500);
    const std::string secondBody = SimLogBody(second.p, 2);

    std::vector<std::string> args = {"/AUTO"};
    if (!row.nSignal) args = {"/AUTO", "--unit-time-limit", "2"};
    int pid = StartRun(args);
    ASSERT_GT(pid, 0);
    if (row.nSignal) {
      ASSERT_TRUE(WaitFor([&] { return sim->Asked("/setup/logexport.cgi?MB=1"); })) << Dump();
      kill(pid, row.nSignal);
    }
    EXPECT_EQ(WaitProgram(pid, 120), 1) << Dump();

    std::vector<std::string> errors;
    for (auto &e : Entries())
      if (e.message.find("stopped") != std::string::npos) errors.push_back(e.module + ": " + e.message);
    std::string err = ReadFileBytes(base.File("err.txt"));
    if (!row.nSignal) {
      EXPECT_EQ(errors, std::vector<std::string>{"download: Download of DAS " + S + " at " + A +
                                                 " stopped at its time limit of 2 s"})
          << Dump();
      EXPECT_NE(err.find(S + " Sim unit: failed: stopped at its time limit of 2 s\n"),
                std::string::npos) << err;
      // The rest of the night goes on.
      EXPECT_NE(err.find("DAS000000002 Second: complete, 2 devices, 2880 records\n"),
                std::string::npos) << err;
      EXPECT_EQ(SimDeleteCount(second.p, 1), 1);
    } else {
      EXPECT_EQ(errors, std::vector<std::string>{"main: Run stopped by signal " +
                                                 std::to_string(row.nSignal)})
          << Dump();
      EXPECT_NE(err.find(S + " Sim unit: cancelled\n"), std::string::npos) << err;
      EXPECT_NE(err.find("DAS000000002 Second: not started\n"), std::string::npos) << err;
      EXPECT_TRUE(SimRequestPaths(second.p).empty());
      EXPECT_EQ(Entries().back().message, "Software exiting.");
    }
    ExpectNothingDeleted();
    std::vector<std::string> paths = SimRequestPaths(sim->p);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "/setup/logexport.cgi?MB=2"), 0);

    // Nothing lost: the next run brings both units whole.
    ExpectNextGoodRunKeepsAll();
    std::string got = ReadFileBytes(W("DAS000000002/mb-002.log"));
    EXPECT_TRUE(got == secondBody) << FirstDifference(got, secondBody);
  }
}

// The same night one unit at a time and four side by side (--jobs 4), each
// against fresh units: a multi-device unit that dribbles its first log until
// its time limit cuts it, a single meter, two more multi-device units and a
// row that cannot be reached. Both nights leave the same folders, files,
// list and summary, and end with status 1; side by side, the units after
// the dribbling one have been done before it is cut.
TEST_F(Route, UnitsSideBySideEndAsUnitsInTurn) {
  struct Night {
    // The files of the units' folders (the state records beside the logs
    // name their files' times, which differ from night to night).
    std::map<std::string, std::string> files;
    std::string summary;
    int nStatus;
    std::vector<std::string> entries;
  };
  auto RunNight = [&](const std::string &jobs) {
    Start(SimConfig{});
    SimSetDribble(sim->p, "/setup/logexport.cgi?MB=1", 500);
    std::vector<std::unique_ptr<SimUnit>> units;
    for (int n = 2; n <= 4; n++) {
      SimConfig c;
      c.serial = "DAS00000000" + std::to_string(n);
      c.name = "Unit " + std::to_string(n);
      c.nKind = n == 2 ? 2 : 1;
      c.devices = n == 3 ? std::vector<int>{1, 2, 3} : std::vector<int>{5};
      c.bCrlfLog = n == 4;
      units.push_back(std::make_unique<SimUnit>(c));
      list += c.serial + "," + c.name + ",\"\"," + units.back()->Address() + ",YES," + kPass + "\r\n";
    }
    list += "DAS000000009,Gone,\"\",127.0.0.1:1,YES," + kPass + "\r\n";
    WriteFileBytes(W("daslist.txt"), list);
    Night night;
    int pid = StartRun({"/AUTO", "--jobs", jobs, "--unit-time-limit", "3"});
    night.nStatus = pid < 0 ? -1 : WaitProgram(pid, 120);
    for (const auto &e : fs::recursive_directory_iterator(work)) {
      std::string rel = fs::relative(e.path(), work).string();
      if (rel.find('/') == std::string::npos || rel.ends_with(".state")) continue;
      night.files[rel] = e.is_regular_file() ? ReadFileBytes(e.path()) : "";
    }
    EXPECT_EQ(ReadFileBytes(W("daslist.txt")), list);
    night.summary = ReadFileBytes(base.File("err.txt"));
    for (auto &e : Entries()) night.entries.push_back(e.message);
    for (auto &u : units) EXPECT_EQ(SimDeleteCount(u->p, 1) + SimDeleteCount(u->p, 5), 1);
    ExpectNothingDeleted();
    return night;
  };
  Night inTurn = RunNight("1");
  Night sideBySide = RunNight("4");
  EXPECT_EQ(inTurn.nStatus, 1) << inTurn.summary;
  EXPECT_EQ(sideBySide.nStatus, 1) << sideBySide.summary;
  EXPECT_EQ(sideBySide.summary, inTurn.summary);
  EXPECT_NE(inTurn.summary.find(S + " Sim unit: failed: stopped at its time limit of 3 s\n"),
            std::string::npos) << inTurn.summary;
  EXPECT_NE(inTurn.summary.find("DAS000000003 Unit 3: complete, 3 devices"), std::string::npos)
      << inTurn.summary;
  ASSERT_EQ(sideBySide.files.size(), inTurn.files.size());
  for (const auto &[rel, bytes] : inTurn.files) {
    ASSERT_TRUE(sideBySide.files.count(rel)) << rel;
    EXPECT_TRUE(sideBySide.files[rel] == bytes) << rel;
  }
  // Where the last unit started against where the first was cut.
  auto Index = [](const Night &n, const std::string &text) {
    auto it = std::find_if(n.entries.begin(), n.entries.end(),
                           [&](const std::string &m) { return m.find(text) != std::string::npos; });
    return it - n.entries.begin();
  };
  const std::string kLastStarts = "Download thread starting for DAS000000004";
  const std::string kFirstCut = "stopped at its time limit";
  EXPECT_GT(Index(inTurn, kLastStarts), Index(inTurn, kFirstCut));
  EXPECT_LT(Index(sideBySide, kLastStarts), Index(sideBySide, kFirstCut));
}

// A second signal while the first one's stop is under way ends the run at
// once, without its summary; what it cut off is taken up by the next run.
TEST_F(Route, ASecondSignalEndsTheRunAtOnce) {
  Start(SimConfig{});
  SimSetDribble(sim->p, "/setup/logexport.cgi?MB=1", 500);
  int pid = StartRun({"/AUTO"});
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitFor([&] { return sim->Asked("/setup/logexport.cgi?MB=1"); })) << Dump();
  // Two different signals (two of the same kind may arrive as one), both
  // pending when the program goes on: sent one after the other to a running
  // program, the first one's stop may be over before the second arrives.
  kill(pid, SIGSTOP);
  kill(pid, SIGTERM);
  kill(pid, SIGINT);
  kill(pid, SIGCONT);
  // Pending signals come in the order of their numbers: the second to be
  // handled is the one that ends the run, with 128 + its number.
  int nStatus = WaitProgram(pid, 120);
  EXPECT_TRUE(nStatus == 128 + SIGTERM || nStatus == 128 + SIGINT) << nStatus << Dump();
  EXPECT_EQ(ReadFileBytes(base.File("err.txt")).find("units:"), std::string::npos);
  for (auto &e : Entries()) EXPECT_NE(e.message, "Software exiting.");
  ExpectNothingDeleted();
  ExpectNextGoodRunKeepsAll();
}

// A name server that never answers, counting the look-ups it was asked.
std::atomic<int> g_nUnansweredLookups{0};
int UnansweredLookup(const char *, unsigned short, PlatAddrList *) {
  g_nUnansweredLookups.fetch_add(1);
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));
}

// The operator's cancel while the unit has not yet answered the device list,
// or while its name is still being looked up: the same places where a unit
// that never answers is a failure, but a cancel is the operator's choice
// and no error, and it does not wait for the resolver.
TEST(RouteCancel, CancelWhereAFailureWouldBeReportedIsNoError) {
  PlatUiInit(0);
  TempDir dir;
  InstanceHandle = PlatGetInstance();
  DownloadFinalWaitMs.store(50);
  for (int bResolving : {0, 1}) {
    SCOPED_TRACE(bResolving ? "name never resolved" : "device list never answered");
    StartLog();
    SimUnit sim{SimConfig{}};
    SimSetStallBody(sim.p, "/setup/logexport.cgi?MB=0", -1);  // never answered
    if (bResolving) PlatSetLookup(UnansweredLookup);
    const int nLookupsBefore = g_nUnansweredLookups.load();
    DasRecord das;
    std::memset(&das, 0, sizeof das);
    CopyString(das.ipaddress,
               bResolving ? ("das-1.site.example:" + std::to_string(sim.Port())).c_str()
                          : sim.Address().c_str(),
               sizeof das.ipaddress);
    CopyString(das.password, kPass.c_str(), sizeof das.password);
    CopyString(das.serialnumber, S.c_str(), sizeof das.serialnumber);
    das.deletelog = 1;
    std::thread driver([&] {
      HWND h = WaitForWindow("DLG_DOWNLOAD", 10000);
      ASSERT_NE(h, nullptr);
      ASSERT_TRUE(WaitFor(
          [&] {
            if (bResolving) return g_nUnansweredLookups.load() > nLookupsBefore;
            auto paths = SimRequestPaths(sim.p);
            return std::count(paths.begin(), paths.end(), "/setup/logexport.cgi?MB=0") > 0;
          },
          20000));
      SendMessage(h, WM_COMMAND, IDC_DLCANCEL, 0);
    });
    // With a connect limit of ten minutes, a job that ends within the wait
    // below was ended by the cancel, not by the limit.
    if (bResolving) DownloadConnectTimeoutMs.store(600000);
    InitDownloadDASProcess(&das, nullptr);
    driver.join();
    EXPECT_TRUE(WaitFor([] { return DownloadJobsAlive() == 0; }, 20000));
    DownloadConnectTimeoutMs.store(kConnectTimeoutMs);
    PlatSetLookup(nullptr);
    EXPECT_EQ(ErrorLogErrorCount(), 0);
    for (auto &e : ReadLogEntries())
      EXPECT_EQ(e.message.find("did not complete"), std::string::npos) << e.message;
    EXPECT_TRUE(LogHas("Download of " + S + " cancelled"));
    EXPECT_EQ(SimDeleteCount(sim.p, 1), 0);
  }
  DownloadFinalWaitMs.store(3000);
  ResetErrorLog();
}

}  // namespace
