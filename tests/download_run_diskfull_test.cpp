// The real program, "/AUTO", on a small disk of its own (a tmpfs mounted for
// the test) that fills up at one file after the other: the temporary
// download file, the merged file, the redo record and the tail of a log
// whose records were sent again, the list file's new copy, the error log.
// Each time the run must end with status 1 and say why, the unit must not be
// told to delete anything, and once there is room again a clean run must
// bring in every record the unit holds.
//
// Mounting needs the right to mount (root, or a user namespace that allows
// it). Without it the program runs with a limit on the size of the files it
// writes instead (RLIMIT_FSIZE: a write past it fails as on a full disk),
// which can stand in for a full disk at the download and the merged file;
// the cases a size limit cannot make are skipped and say so.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/download_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string S = "DAS000000001";
const std::string kPass = "qexal";
const std::string kHeader = "time,file,line,message\r\n";

// A tmpfs of a few megabytes at a directory, unmounted when the object goes.
// The mount is made in a mount namespace of this process when one can be
// had, so that nothing else on the machine ever sees it.
class SmallDisk {
 public:
  SmallDisk(const std::string &path, long nBytes) : m_path(path) {
    fs::create_directories(path);
    static bool bPrivate = [] {
      return unshare(CLONE_NEWNS) == 0 &&
             mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }();
    (void)bPrivate;
    std::string opts = "size=" + std::to_string(nBytes) + ",mode=0700";
    if (mount("tandrel-small-disk", path.c_str(), "tmpfs", 0, opts.c_str()) == 0)
      m_bMounted = true;
    else
      m_why = std::string("cannot mount a tmpfs (") + std::strerror(errno) + ")";
  }
  ~SmallDisk() {
    if (m_bMounted) umount2(m_path.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return m_bMounted; }
  const std::string &Why() const { return m_why; }
  long FreeBytes() const {
    struct statvfs st;
    if (statvfs(m_path.c_str(), &st) != 0) return -1;
    return (long)(st.f_bavail * st.f_frsize);
  }
  // Takes space away until about nLeft bytes are free (0: none at all).
  void LeaveFree(long nLeft) {
    std::string filler = m_path + "/.filler";
    int h = open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_GE(h, 0) << std::strerror(errno);
    std::vector<char> block(65536, 'x');
    for (;;) {
      long nFree = FreeBytes();
      if (nFree <= nLeft) break;
      long n = std::min<long>((long)block.size(), nFree - nLeft);
      if (write(h, block.data(), (size_t)n) <= 0) break;
    }
    close(h);
    EXPECT_LE(FreeBytes(), nLeft + 4096);
  }
  void GiveSpaceBack() { fs::remove(m_path + "/.filler"); }

 private:
  std::string m_path;
  std::string m_why;
  bool m_bMounted = false;
};

class DiskFull : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = std::make_unique<SmallDisk>(base.File("disk"), 8L << 20);
    work = base.File("disk");
    if (!disk->Mounted()) {
      bSizeLimit = true;
      std::printf("[ diskfull ] %s: files limited in size instead\n", disk->Why().c_str());
    }
    noSpace = std::strerror(bSizeLimit ? EFBIG : ENOSPC);
  }
  // About nLeft bytes left for the next run: on the small disk, or as the
  // largest file it may write.
  void LeaveFree(long nLeft) {
    if (bSizeLimit)
      nLimit = nLeft;
    else
      disk->LeaveFree(nLeft);
  }
  void GiveSpaceBack() {
    if (bSizeLimit)
      nLimit = -1;
    else
      disk->GiveSpaceBack();
  }
  // Only a full disk stops every file at once, the error log included.
  bool NeedsFullDisk() {
    if (!bSizeLimit) return false;
    std::printf("[ diskfull ] skipped: a size limit cannot fill the disk for every file (%s)\n",
                disk->Why().c_str());
    return true;
  }
  void TearDown() override {
    sim.reset();
    disk.reset();
  }

  void StartUnit(long nRecords, bool bKeepLog = false) {
    SimConfig c;
    c.devices = {1};
    c.nRecords = nRecords;
    sim = std::make_unique<SimUnit>(c);
    ASSERT_NE(sim->p, nullptr);
    body = SimLogBody(sim->p, 1);
    list = "serialnumber,name,phone,ipaddress,deletelog,password\r\n" + S + ",Sim unit,\"\"," +
           sim->Address() + (bKeepLog ? ",NO," : ",YES,") + kPass + "\r\n";
    WriteFileBytes(W("daslist.txt"), list);
  }
  // The error log kept off the small disk, so that a full disk at another
  // file still leaves the entries readable.
  void LogOffTheDisk() {
    WriteFileBytes(base.File("errorlog.txt"), kHeader);
    fs::create_symlink(base.File("errorlog.txt"), W("errorlog.txt"));
  }
  std::string W(const std::string &rel) const { return work + "/" + rel; }
  int Run() {
    int pid = StartProgram(TANDREL_BINARY, work, {"/AUTO"}, base.File("out.txt"),
                           base.File("err.txt"), nLimit);
    return pid < 0 ? -1 : WaitProgram(pid, 300);
  }
  std::string Err() { return ReadFileBytes(base.File("err.txt")); }
  // An entry that tells of the full disk at this file or device.
  bool NoSpaceEntryFor(const std::string &file) {
    for (auto &e : ReadLogEntries(base.File("errorlog.txt")))
      if (e.message.find(file) != std::string::npos &&
          e.message.find(noSpace) != std::string::npos)
        return true;
    return false;
  }
  std::string Entries() {
    std::string s;
    for (auto &e : ReadLogEntries(base.File("errorlog.txt")))
      s += e.module + ": " + e.message + "\n";
    return s;
  }
  // With room again: a clean run brings in everything, and leaves no
  // temporary file.
  void ExpectCleanRunKeepsAll(const std::string &wantLog, int nDeletes = 1) {
    GiveSpaceBack();
    EXPECT_EQ(Run(), 0) << Entries() << Err();
    std::string got = ReadFileBytes(W(S + "/mb-001.log"));
    EXPECT_TRUE(got == wantLog) << FirstDifference(got, wantLog);
    EXPECT_EQ(ReadFileBytes(W("daslist.txt")), list);
    EXPECT_FALSE(FileExists(W(S + "/mb-001.new")));
    EXPECT_FALSE(FileExists(W(S + "/mb-001.redo")));
    EXPECT_FALSE(FileExists(W("daslist.txt.new")));
    if (FileExists(W(S + "/temp"))) {
      EXPECT_TRUE(fs::is_empty(W(S + "/temp")));
    }
    EXPECT_EQ(SimDeleteCount(sim->p, 1), nDeletes);
  }
  // A local log of about a megabyte, older than anything the unit serves.
  std::string OlderLocalLog() {
    SimConfig older;
    older.firstTime = "2026-11-01 00:00:00";
    std::string local = body.substr(0, body.find('\n') + 1);
    for (long i = 0; i < 15000; i++) local += SimRecordLine(older, 1, i);
    fs::create_directories(W(S));
    WriteFileBytes(W(S + "/mb-001.log"), local);
    return local;
  }

  TempDir base{false};
  std::unique_ptr<SmallDisk> disk;
  std::string work;
  std::unique_ptr<SimUnit> sim;
  std::string body, list;
  bool bSizeLimit = false;
  long nLimit = -1;
  std::string noSpace;
};

TEST_F(DiskFull, AtTheTemporaryDownloadFile) {
  StartUnit(20000);  // a body of more than a megabyte
  LogOffTheDisk();
  ASSERT_GT(body.size(), 1000000u);
  LeaveFree(256 * 1024);  // the list, device list and configuration fit
  EXPECT_EQ(Run(), 1) << Entries();
  EXPECT_TRUE(NoSpaceEntryFor("device 1 from DAS " + S)) << Entries();
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
  EXPECT_EQ(SimLogRecords(sim->p, 1), 20000);
  // What arrived before the disk filled is no reason to keep a torn line.
  std::string now = ReadFileBytes(W(S + "/mb-001.log"));
  EXPECT_TRUE(body.compare(0, now.size(), now) == 0) << FirstDifference(now, body);
  EXPECT_TRUE(now.empty() || now.back() == '\n');
  ExpectCleanRunKeepsAll(body);
}

TEST_F(DiskFull, AtTheMergedFile) {
  StartUnit(2000);
  LogOffTheDisk();
  // A local log of about a megabyte, older than anything the unit serves.
  SimConfig older;
  older.firstTime = "2026-11-01 00:00:00";
  std::string local = body.substr(0, body.find('\n') + 1);
  for (long i = 0; i < 15000; i++) local += SimRecordLine(older, 1, i);
  fs::create_directories(W(S));
  WriteFileBytes(W(S + "/mb-001.log"), local);
  // Room for the download, not for the merged file.
  LeaveFree((long)body.size() + 128 * 1024);
  EXPECT_EQ(Run(), 1) << Entries();
  EXPECT_TRUE(NoSpaceEntryFor("mb-001.new")) << Entries();
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
  std::string now = ReadFileBytes(W(S + "/mb-001.log"));
  EXPECT_TRUE(now == local) << FirstDifference(now, local);
  EXPECT_FALSE(FileExists(W(S + "/mb-001.new")));
  ExpectCleanRunKeepsAll(local + body.substr(body.find('\n') + 1));
}

// A unit that keeps its log sends it all again: the second night replaces
// the local log's tail. The disk fills while the redo record is written
// (the log is not touched yet), or while the tail is written into the log
// (the redo record stays and finishes it on the next run).
TEST_F(DiskFull, AtTheRedoRecordAndTheTailOfARecordsSentAgain) {
  if (NeedsFullDisk()) GTEST_SKIP() << "needs a full disk";
  struct Case {
    const char *pszFull;  // the file the disk fills at
    double dDownloads;    // room left, in downloads' sizes beyond the first
    bool bRedoStays;
  } cases[] = {{"mb-001.redo", 0.0, false}, {"mb-001.log", 1.0, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pszFull);
    fs::remove_all(W(S));
    StartUnit(2000, true);
    LogOffTheDisk();
    const std::string local = OlderLocalLog();
    ASSERT_EQ(Run(), 0) << Entries();  // the full merge, which leaves the state record
    SimAdvance(sim->p, 3000);
    body = SimLogBody(sim->p, 1);
    const std::string merged = local + body.substr(body.find('\n') + 1);
    LeaveFree((long)((1.0 + c.dDownloads) * (double)body.size()) + 64 * 1024);
    EXPECT_EQ(Run(), 1) << Entries();
    EXPECT_TRUE(NoSpaceEntryFor(c.pszFull)) << Entries();
    EXPECT_EQ(c.bRedoStays, FileExists(W(S + "/mb-001.redo")));
    if (!c.bRedoStays) {
      const std::string now = ReadFileBytes(W(S + "/mb-001.log"));
      EXPECT_TRUE(now.size() > local.size() && now.compare(0, local.size(), local) == 0);
    }
    ExpectCleanRunKeepsAll(merged, 0);
    EXPECT_NE(Entries().find("Merge replacing the tail"), std::string::npos);
    GiveSpaceBack();
    sim.reset();
    fs::remove(base.File("errorlog.txt"));
    fs::remove(W("errorlog.txt"));
  }
}

TEST_F(DiskFull, AtTheListFilesNewCopy) {
  if (NeedsFullDisk()) GTEST_SKIP() << "needs a full disk";
  StartUnit(2000);
  // The unit reports another name than the list holds: the list is written
  // after the identity read, and the next good run writes it then.
  const std::string before = std::string(list).replace(list.find(",Sim unit,"), 10, ",Old name,");
  WriteFileBytes(W("daslist.txt"), before);
  LogOffTheDisk();
  LeaveFree(0);  // the unit's first write is the list, after the identity
  EXPECT_EQ(Run(), 1) << Entries();
  EXPECT_TRUE(NoSpaceEntryFor("daslist.txt.new")) << Entries();
  EXPECT_EQ(ReadFileBytes(W("daslist.txt")), before);
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
  ExpectCleanRunKeepsAll(body);
}

// A full disk on a later night: the device list and the configuration files
// of the earlier run are kept whole, not replaced by empty copies.
TEST_F(DiskFull, AtTheUnitFolderKeepsTheEarlierCopies) {
  if (NeedsFullDisk()) GTEST_SKIP() << "needs a full disk";
  StartUnit(2000);
  LogOffTheDisk();
  ASSERT_EQ(Run(), 0) << Entries();
  ASSERT_EQ(SimDeleteCount(sim->p, 1), 1);
  std::map<std::string, std::string> kept;
  for (const char *psz : {"/devlist.txt", "/loggerconfig.ini", "/mb-001.ini", "/mb-001.log"})
    kept[psz] = ReadFileBytes(W(S + psz));
  for (auto &k : kept) ASSERT_FALSE(k.second.empty()) << k.first;
  SimAdvance(sim->p, 300);
  const std::string more = SimLogBody(sim->p, 1);

  LeaveFree(0);
  EXPECT_EQ(Run(), 1) << Entries();
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);  // none for this night
  for (auto &k : kept) {
    std::string now = ReadFileBytes(W(S + k.first));
    EXPECT_TRUE(now == k.second) << k.first << ": " << FirstDifference(now, k.second);
  }
  EXPECT_EQ(ReadFileBytes(W("daslist.txt")), list);

  GiveSpaceBack();
  EXPECT_EQ(Run(), 0) << Entries();
  std::string want = kept["/mb-001.log"] + more.substr(more.find('\n') + 1);
  std::string got = ReadFileBytes(W(S + "/mb-001.log"));
  EXPECT_TRUE(got == want) << FirstDifference(got, want);
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 2);
  EXPECT_TRUE(fs::is_empty(W(S + "/temp")));
}

TEST_F(DiskFull, AtTheErrorLog) {
  if (NeedsFullDisk()) GTEST_SKIP() << "needs a full disk";
  StartUnit(2000);
  // The error log on the full disk, with room for part of one more entry:
  // that entry is torn, every later one is lost.
  std::string log = kHeader;
  std::string old = "'2026/12/07 22:00:00',main,160,Software exiting.\r\n";
  while (log.size() + old.size() < 8192 - 40) log += old;
  log.append(8192 - 40 - log.size(), '#');
  log += "\r\n";
  WriteFileBytes(W("errorlog.txt"), log);
  LeaveFree(0);
  EXPECT_EQ(Run(), 1);
  // Said once on the terminal, since the log could not say it.
  std::string err = Err();
  std::size_t n = 0;
  for (std::size_t at = err.find("errorlog.txt"); at != std::string::npos;
       at = err.find("errorlog.txt", at + 1))
    n++;
  EXPECT_EQ(n, 1u) << err;
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 0);
  std::string torn = ReadFileBytes(W("errorlog.txt"));
  ASSERT_GE(torn.size(), log.size());
  EXPECT_EQ(torn.substr(0, log.size()), log);

  // With room again the next run's entries start on a line of their own.
  GiveSpaceBack();
  EXPECT_EQ(Run(), 0) << Err();
  EXPECT_EQ(Err().find("errorlog.txt"), std::string::npos) << Err();
  std::string all = ReadFileBytes(W("errorlog.txt"));
  ASSERT_GT(all.size(), torn.size());
  std::string added = all.substr(torn.size());
  if (torn.size() >= 2 && torn.compare(torn.size() - 2, 2, "\r\n") != 0) {
    EXPECT_TRUE(added.rfind("\r\n'", 0) == 0 || added.rfind("\n'", 0) == 0)
        << "the torn entry is followed by [" << added.substr(0, 40) << "]";
  }
  auto entries = ReadLogEntries(W("errorlog.txt"));
  std::size_t nStarts = 0;
  for (auto &e : entries)
    if (e.module == "main" && e.message == "TandrelDL - DAS Download Tool starting, version v1.05.1208")
      nStarts++;
  EXPECT_EQ(nStarts, 1u) << "the clean run's first entry is not a line of its own";
  std::string got = ReadFileBytes(W(S + "/mb-001.log"));
  EXPECT_TRUE(got == body) << FirstDifference(got, body);
  EXPECT_EQ(SimDeleteCount(sim->p, 1), 1);
}

}  // namespace
