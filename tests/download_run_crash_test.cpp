// The real program, "/AUTO", killed with SIGKILL at points spread over its
// whole run against simulated units that delete what they hand over, or
// that keep their log and send all of it every night (so that the merge
// replaces the local log's tail in place): inside
// the bodies, inside the merges, right after a unit has answered a delete
// request, while configuration files, the device list and the list file are
// written, and at random. After every kill a clean run must leave each
// device's local log holding every record the unit ever served (the longer
// line of a time stamp kept), the list file and the configuration files
// whole, and no temporary file behind.
//
// TANDREL_CRASH_KILLS sets how many kills the tests make together (a third
// each for the first three, as many again for the units that keep their log)
// (60 by default; scripts/crash-campaign runs long campaigns), and
// TANDREL_CRASH_SEED the random seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/download_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string kPass = "qexal";
// Records each unit gains before every killed run, so that each run has
// real bodies to fetch and merge.
const long kRound = 2000;
// Older records already in every local log, from before the unit's first
// record: they make the merges long and must never be lost either.
const long kOlder = 20000;
// Local lines that are longer than what the unit serves for the same time
// stamp: the merge keeps the longer line, so these must survive.
const long kWinners = 5;
const int kRoundsPerEpisode = 8;
const int kMaxSeconds = 300;  // guards a hung run only

long EnvLong(const char *pszName, long nDefault) {
  const char *p = std::getenv(pszName);
  return p && *p ? std::atol(p) : nDefault;
}

struct Device {
  SimUnit *pUnit;
  int nDevice;
  std::string logPath, deletePath, iniPath;
  std::string header;
  std::string before;  // the local log's lines from before the unit's records
  long nEnd;           // index after the last record the unit has served or will serve
};

enum KillMode {
  kRandom,
  kDeleteStalled,
  kDeleteAnswered,
  kInMerge,
  kInBody,
  kInConfig,
  kInListSave
};

const char *ModeName(KillMode m) {
  switch (m) {
    case kRandom: return "random";
    case kDeleteStalled: return "delete answer stalled";
    case kDeleteAnswered: return "delete answered";
    case kInMerge: return "inside the merge";
    case kInBody: return "inside a body";
    case kInConfig: return "inside a configuration file";
    case kInListSave: return "while the list is saved";
  }
  return "?";
}

class DownloadCrash : public ::testing::Test {
 protected:
  void SetUp() override {
    nKillsWanted = std::max(1L, (EnvLong("TANDREL_CRASH_KILLS", 60) + 2) / 3);
    nSeed = (unsigned)EnvLong("TANDREL_CRASH_SEED", 20261208);
    rng.seed(nSeed + (unsigned)::testing::UnitTest::GetInstance()->random_seed() +
             (unsigned)std::hash<std::string>()(
                 ::testing::UnitTest::GetInstance()->current_test_info()->name()));
    work = base.Path() + "/work";
  }
  void TearDown() override {
    std::printf(
        "[ crash    ] %d kills (%s); %d left a .new file, %d a downloaded .tmp file, %d a "
        "local log cut inside a line, %d a tail's redo record; %d runs ended before their kill; "
        "seed %u\n",
        nKills, KillSummary().c_str(), nLeftNew, nLeftTemp, nTornLog, nLeftRedo, nMissed, nSeed);
  }

  std::string KillSummary() {
    std::string s;
    for (auto &k : kills) s += (s.empty() ? "" : ", ") + std::to_string(k.second) + " " + k.first;
    return s;
  }

  std::string W(const std::string &rel) const { return work + "/" + rel; }
  static std::string Nnn(int n) {
    char sz[8];
    std::snprintf(sz, sizeof sz, "%03d", n);
    return sz;
  }
  std::string LocalLog(const Device &d) const {
    return W(d.pUnit->cfg.serial + "/mb-" + Nnn(d.nDevice) + ".log");
  }

  // A fresh directory and fresh units: a multi-device unit with two devices
  // and a single meter that sends no Content-Length, both with deletelog
  // YES (NO with bKeepLog), and local logs that already hold older records and a few longer
  // lines.
  void StartEpisode() {
    devices.clear();
    units.clear();
    fs::remove_all(work);
    fs::create_directories(work);
    SimConfig multi, single;
    multi.serial = "DAS000000001";
    multi.devices = {1, 2};
    multi.nRecords = kRound;
    single.nKind = 2;
    single.serial = "DAS000000002";
    single.nRecords = kRound;
    single.bNoContentLength = true;  // its bodies end by the close alone
    units.push_back(std::make_unique<SimUnit>(multi));
    units.push_back(std::make_unique<SimUnit>(single));
    for (auto &u : units) ASSERT_NE(u->p, nullptr);

    SimConfig older = multi;
    older.firstTime = "2026-11-01 00:00:00";
    for (auto &u : units) {
      fs::create_directories(W(u->cfg.serial));
      bool bMulti = u->cfg.nKind == 1;
      for (int n : bMulti ? u->cfg.devices : std::vector<int>{1}) {
        Device d;
        d.pUnit = u.get();
        d.nDevice = n;
        d.logPath = bMulti ? "/setup/logexport.cgi?MB=" + std::to_string(n) : "/mb-001.log";
        d.deletePath =
            bMulti ? "/setup/statlog.cgi?DELMBZIPLOG=" + std::to_string(n) : "/deletelog.cgi";
        d.iniPath = bMulti ? "/setup/logexport.cgi?CFG=mb-" + Nnn(n) + ".ini" : "/mb-001.ini";
        std::string body = SimLogBody(u->p, n);
        d.header = body.substr(0, body.find('\n') + 1);
        for (long i = 0; i < kOlder; i++) d.before += SimRecordLine(older, n, i);
        d.nEnd = kRound;
        std::string local = d.header + d.before;
        for (long i = 0; i < kWinners; i++) local += Winner(d, i);
        WriteFileBytes(LocalLog(d), local);
        // Slow bodies: a run lasts long enough for kills to land anywhere.
        SimSetSlowBody(u->p, d.logPath, 8192, 4);
        devices.push_back(d);
      }
    }
    std::string list = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";
    for (auto &u : units)
      list += u->cfg.serial + "," + u->cfg.name + ",\"\"," + u->Address() + (bKeepLog ? ",NO," : ",YES,") + kPass + "\r\n";
    WriteFileBytes(W("daslist.txt"), list);

    // The first run, undisturbed: how long a run takes, and the files that
    // every later state must keep whole.
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(RunClean(), 0) << ReadFileBytes(base.File("err.txt"));
    runTime = std::chrono::steady_clock::now() - t0;
    listFile = ReadFileBytes(W("daslist.txt"));
    ASSERT_NE(listFile.find("DAS000000001,"), std::string::npos) << listFile;
    ASSERT_NE(listFile.find("DAS000000002,"), std::string::npos) << listFile;
    configs.clear();
    for (auto &u : units) {
      for (auto &e : fs::directory_iterator(W(u->cfg.serial))) {
        std::string name = e.path().filename().string();
        if (name == "devlist.txt" || (name.size() > 4 && name.substr(name.size() - 4) == ".ini"))
          configs[u->cfg.serial + "/" + name] = ReadFileBytes(e.path().string());
      }
    }
    // devlist.txt, loggerconfig.ini and one .ini per device of each unit.
    ASSERT_EQ(configs.size(), 4u + 3u);
    ASSERT_NO_FATAL_FAILURE(Verify("first run"));
  }

  // A local line for the unit's record i, longer than the unit's own.
  static std::string Winner(const Device &d, long i) {
    std::string s = SimRecordLine(d.pUnit->cfg, d.nDevice, i);
    s.insert(s.size() - 1, ",kept");
    return s;
  }

  std::string Expected(const Device &d) const {
    std::string s = d.header + d.before;
    for (long i = 0; i < d.nEnd; i++)
      s += i < kWinners ? Winner(d, i) : SimRecordLine(d.pUnit->cfg, d.nDevice, i);
    return s;
  }

  int Start() {
    return StartProgram(TANDREL_BINARY, work, args, base.File("out.txt"), base.File("err.txt"));
  }
  int RunClean() {
    int pid = Start();
    if (pid < 0) return -1;
    return WaitProgram(pid, kMaxSeconds);
  }

  void Advance(long nMinutes) {
    for (auto &u : units) SimAdvance(u->p, nMinutes);
    for (auto &d : devices) d.nEnd += nMinutes;
  }

  // What must hold whatever instant the last run was killed at: the list
  // file and the configuration files of the first run whole.
  void VerifyAfterKill(const std::string &what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(ReadFileBytes(W("daslist.txt")), listFile);
    for (auto &c : configs) {
      ASSERT_TRUE(FileExists(W(c.first))) << c.first << " is gone";
      std::string now = ReadFileBytes(W(c.first));
      EXPECT_EQ(now, c.second) << c.first << ": " << FirstDifference(now, c.second);
    }
  }

  // What must hold after a run that ended by itself.
  void Verify(const std::string &what) {
    SCOPED_TRACE(what);
    VerifyAfterKill(what);
    for (auto &d : devices) {
      std::string got = ReadFileBytes(LocalLog(d)), want = Expected(d);
      ASSERT_TRUE(got == want) << LocalLog(d) << ": " << FirstDifference(got, want);
    }
    // The lock file stays by design: it is what one run at a time locks.
    std::set<std::string> top, wantTop = {"daslist.txt", "errorlog.txt", "tandreldl.lock"};
    for (auto &u : units) wantTop.insert(u->cfg.serial);
    for (auto &e : fs::directory_iterator(work)) top.insert(e.path().filename().string());
    EXPECT_EQ(top, wantTop) << "leftovers beside the list";
    for (auto &u : units) {
      std::string dir = W(u->cfg.serial);
      std::set<std::string> files, want;
      for (auto &c : configs)
        if (c.first.rfind(u->cfg.serial + "/", 0) == 0) want.insert(c.first.substr(13));
      for (auto &d : devices) {
        if (d.pUnit != u.get()) continue;
        want.insert("mb-" + Nnn(d.nDevice) + ".log");
        // What the merge knows of the log, kept between runs (not a
        // leftover: a wrong one would show in the log's bytes). A redo
        // record of a tail replacement is one: the clean run finishes it.
        if (FileExists(dir + "/mb-" + Nnn(d.nDevice) + ".state"))
          want.insert("mb-" + Nnn(d.nDevice) + ".state");
      }
      for (auto &e : fs::directory_iterator(dir)) {
        std::string name = e.path().filename().string();
        if (name == "temp" && e.is_directory()) {
          for (auto &t : fs::directory_iterator(e.path()))
            ADD_FAILURE() << "left in " << dir << "/temp: " << t.path().filename().string();
          continue;
        }
        files.insert(name);
      }
      EXPECT_EQ(files, want) << "leftovers in " << dir;
    }
  }

  // What a kill left for the next run to take up.
  void CountLeftovers() {
    bool bNew = false, bTemp = false;
    std::error_code ec;
    for (auto &e : fs::recursive_directory_iterator(work, ec)) {
      std::string n = e.path().filename().string();
      if (n.size() > 4 && n.substr(n.size() - 4) == ".new" && n != "daslist.txt.new") bNew = true;
      if (n.size() > 4 && n.substr(n.size() - 4) == ".tmp") bTemp = true;
    }
    nLeftNew += bNew;
    nLeftTemp += bTemp;
    for (auto &d : devices)
      if (FileExists(W(d.pUnit->cfg.serial + "/mb-" + Nnn(d.nDevice) + ".redo"))) {
        nLeftRedo++;
        break;
      }
    // An append cut short: the local log ends inside a line.
    for (auto &d : devices) {
      std::string log = ReadFileBytes(LocalLog(d));
      if (!log.empty() && log.back() != '\n') {
        nTornLog++;
        break;
      }
    }
  }

  Device &Pick() { return devices[rng() % devices.size()]; }

  // Polls a condition about the running program; false when the program
  // ended first (or the guard ran out).
  bool WaitWhileRunning(int pid, const std::function<bool()> &pred) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kMaxSeconds);
    while (std::chrono::steady_clock::now() < end) {
      if (pred()) return true;
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        bEnded = true;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return false;
  }
  void SleepUs(long nUs) { std::this_thread::sleep_for(std::chrono::microseconds(nUs)); }
  long Uniform(long nMax) { return nMax <= 0 ? 0 : (long)(rng() % (unsigned long)(nMax + 1)); }

  // One round: bodies for the run, a run killed at a point chosen by mode,
  // a check of what a kill must never break, then a clean run and the full
  // check.
  void Round(KillMode mode) {
    Advance(kRound);
    Device &d = Pick();
    SimServer *p = d.pUnit->p;
    std::vector<std::string> stalled;
    std::string where = std::string(ModeName(mode));
    int nDeletesBefore = SimDeleteCount(p, d.nDevice);
    std::string configPath;
    std::size_t nConfigRequests = 0;
    if (mode == kDeleteStalled) {
      // The unit deletes, then its answer never comes (or stops after
      // the header): the program is killed while it waits for it.
      SimSetStallBody(p, d.deletePath, rng() % 2 ? -1 : 0);
      stalled.push_back(d.deletePath);
    } else if (mode == kInConfig) {
      // The device list (which is the probe's answer) or a configuration
      // file stops half way; the program is killed while it waits for the
      // rest. The copy of the first run must stay whole.
      configPath = d.pUnit->cfg.nKind == 1 && rng() % 3 == 0 ? "/setup/logexport.cgi?MB=0"
                                                             : d.iniPath;
      std::string body = FetchBody(d.pUnit->Port(), configPath, kPass);
      SimSetStallBody(p, configPath, (long)body.size() / 2);
      stalled.push_back(configPath);
      auto paths = SimRequestPaths(p);
      nConfigRequests = (std::size_t)std::count(paths.begin(), paths.end(), configPath);
      where += " " + configPath;
    }

    std::error_code ec;
    const long nLogBefore = (long)fs::file_size(LocalLog(d), ec);
    bEnded = false;
    int pid = Start();
    ASSERT_GT(pid, 0);
    std::string tempDir = W(d.pUnit->cfg.serial + "/temp");
    std::string prefix = "mb-" + Nnn(d.nDevice) + ".";
    switch (mode) {
      case kRandom:
        SleepUs(Uniform(std::chrono::duration_cast<std::chrono::microseconds>(runTime).count() *
                        23 / 20));
        break;
      case kDeleteStalled:
        if (WaitWhileRunning(pid, [&] { return SimDeleteCount(p, d.nDevice) > nDeletesBefore; }))
          SleepUs(Uniform(20000));
        break;
      case kDeleteAnswered:
        WaitWhileRunning(pid, [&] { return SimDeleteCount(p, d.nDevice) > nDeletesBefore; });
        break;
      case kInMerge:
        // The merge either writes the merged file beside the local log,
        // appends the new records to the log itself, or writes the redo
        // record of a tail and then the tail: whichever shows first.
        if (WaitWhileRunning(pid, [&] {
              std::error_code ec;
              const std::string stem = W(d.pUnit->cfg.serial + "/mb-" + Nnn(d.nDevice));
              return FileExists(stem + ".new") || FileExists(stem + ".redo") ||
                     (long)fs::file_size(LocalLog(d), ec) != nLogBefore;
            }))
          SleepUs(rng() % 2 ? 0 : Uniform(4000));
        break;
      case kInBody:
        if (WaitWhileRunning(pid, [&] {
              std::error_code ec;
              for (auto &e : fs::directory_iterator(tempDir, ec)) {
                std::string n = e.path().filename().string();
                if (n.rfind(prefix, 0) == 0 && e.file_size(ec) > 0) return true;
              }
              return false;
            }))
          SleepUs(Uniform(100000));
        break;
      case kInListSave:
        WaitWhileRunning(pid, [&] { return FileExists(W("daslist.txt.new")); });
        break;
      case kInConfig:
        if (WaitWhileRunning(pid, [&] {
              auto paths = SimRequestPaths(p);
              return (std::size_t)std::count(paths.begin(), paths.end(), configPath) >
                     nConfigRequests;
            }))
          SleepUs(20000 + Uniform(30000));
        break;
    }
    // A program that ended by itself was reaped already: its id is not signalled.
    int bKilled = bEnded ? 0 : KillProgram(pid);
    for (auto &s : stalled) SimClearFaults(p, s);
    if (bKilled) {
      nKills++;
      kills[ModeName(mode)]++;
      CountLeftovers();
    } else {
      nMissed++;
    }
    where += bKilled ? ", killed" : ", ended before the kill";
    where += " (unit " + d.pUnit->cfg.serial + " device " + std::to_string(d.nDevice) + ")";
    ASSERT_NO_FATAL_FAILURE(VerifyAfterKill("after a kill " + where));

    // Sometimes the unit records more before the next run.
    if (rng() % 3 == 0) Advance(1 + Uniform(90));
    int nStatus = RunClean();
    ASSERT_EQ(nStatus, 0) << "clean run after a kill " << where << "\n"
                          << ReadFileBytes(base.File("err.txt"));
    ASSERT_NO_FATAL_FAILURE(Verify("clean run after a kill " + where));
    nTailRuns += ReadFileBytes(W("errorlog.txt")).find("Merge replacing the tail") != std::string::npos;
  }

  void Campaign(const std::vector<KillMode> &modes) {
    SCOPED_TRACE("TANDREL_CRASH_SEED=" + std::to_string(nSeed));
    int nRound = 0;
    // Runs that end before their kill do not count; the bound only stops a
    // test whose kills never land.
    while (nKills < nKillsWanted && nRound < 4 * nKillsWanted) {
      if (nRound % kRoundsPerEpisode == 0) {
        ASSERT_NO_FATAL_FAILURE(StartEpisode());
      }
      ASSERT_NO_FATAL_FAILURE(Round(modes[nRound % modes.size()]));
      nRound++;
    }
    EXPECT_GE(nKills, nKillsWanted) << "too few kills landed";
  }

  TempDir base{false};
  std::string work;
  std::vector<std::string> args{"/AUTO"};  // of every run
  std::vector<std::unique_ptr<SimUnit>> units;
  std::vector<Device> devices;
  std::string listFile;
  std::map<std::string, std::string> configs;
  std::chrono::steady_clock::duration runTime{};
  std::mt19937 rng;
  unsigned nSeed = 0;
  long nKillsWanted = 20;
  int nKills = 0, nMissed = 0, nLeftNew = 0, nLeftTemp = 0, nTornLog = 0, nLeftRedo = 0;
  bool bEnded = false;
  bool bKeepLog = false;
  int nTailRuns = 0;  // episodes' error logs so far that show a tail replaced  // the units' deletelog is NO: every night sends all again
  std::map<std::string, int> kills;
};

TEST_F(DownloadCrash, KilledAtRandomPointsOfTheWholeRun) { Campaign({kRandom}); }

TEST_F(DownloadCrash, KilledRightAfterTheUnitAnsweredADelete) {
  Campaign({kDeleteStalled, kDeleteAnswered});
}

// A unit that keeps its log sends it all again each night; the older local
// records make the re-sent part the log's tail, which is replaced in place.
TEST_F(DownloadCrash, KilledWhileTheTailOfALogSentAgainIsReplaced) {
  bKeepLog = true;
  Campaign({kInMerge, kInMerge, kRandom});
  EXPECT_GT(nTailRuns, 0) << "no night replaced a tail";
}

// Units side by side: a kill cuts several units at once, each at its own
// point.
TEST_F(DownloadCrash, KilledWhileUnitsRunSideBySide) {
  args = {"/AUTO", "--jobs", "4"};
  Campaign({kRandom, kInMerge, kInBody});
}

TEST_F(DownloadCrash, KilledInsideMergesBodiesAndConfigurationFiles) {
  Campaign({kInMerge, kInBody, kInConfig, kInListSave, kInMerge, kInBody, kInConfig, kRandom});
}

}  // namespace
