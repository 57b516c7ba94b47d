// What an operator installs besides the program: the systemd units of the
// nightly run, the manual page and the rotation of the sites' logs, checked
// with the system's own tools; what the build's install step puts in place,
// and the Debian package of it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "log/version.h"
#include "tests/support/testutil.h"

namespace fs = std::filesystem;

namespace {

const std::string Source = TANDREL_SOURCE_DIR;

struct Result {
  int nStatus = -1;
  std::string output;  // standard output and standard error together
};

Result Shell(const std::string &cmd) {
  Result r;
  FILE *p = popen(("(" + cmd + ") 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int st = pclose(p);
  r.nStatus = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

bool OnPath(const std::string &tool) {
  return Shell("command -v '" + tool + "' >/dev/null").nStatus == 0;
}

std::string Quote(const std::string &s) { return "'" + s + "'"; }

Result Install(const std::string &prefix) {
  return Shell("cmake --install " + Quote(TANDREL_BUILD_DIR) + " --prefix " + Quote(prefix));
}

// A home directory with the program installed into ~/.local by this build's
// install step, the units with it: the working directory of the user
// service, a runtime directory for the user manager.
struct FakeHome {
  TempDir dir{false};
  Result inst;
  FakeHome() {
    inst = Install(dir.File(".local"));
    fs::create_directories(dir.File("das"));
    fs::create_directories(dir.File("run"));
    chmod(dir.File("run").c_str(), 0700);
  }
  Result Verify(const std::string &unitDir, const std::string &mode,
                const std::string &files) const {
    return Shell("cd " + Quote(dir.File(unitDir)) + " && HOME=" + Quote(dir.Path()) +
                 " XDG_RUNTIME_DIR=" + Quote(dir.File("run")) + " MANPATH=" +
                 Quote(dir.File(".local/share/man")) + " systemd-analyze " + mode + " verify " +
                 files);
  }
};

// The installed units: the user units of one operator's nightly run and the
// system template of a machine's sites.
struct UnitPair {
  const char *pszDir;  // under the home
  const char *pszMode;
  const char *pszService;
  const char *pszTimer;
};
const UnitPair Units[] = {
    {".local/share/systemd/user", "--user", "tandreldl.service", "tandreldl.timer"},
    {".local/lib/systemd/system", "--system", "tandreldl@.service", "tandreldl@.timer"},
};

TEST(SystemdUnits, VerifyAcceptsTheServicesAndTheTimers) {
  if (!OnPath("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  FakeHome home;
  ASSERT_EQ(home.inst.nStatus, 0) << home.inst.output;
  for (const UnitPair &u : Units) {
    SCOPED_TRACE(u.pszService);
    bool bSystem = std::string(u.pszMode) == "--system";
    std::string files = std::string(u.pszService) + " " + u.pszTimer;
    Result r = home.Verify(u.pszDir, u.pszMode, files);
    if (r.output.find("Failed to initialize manager") != std::string::npos)
      GTEST_SKIP() << "systemd-analyze cannot start a manager here: " << r.output;
    EXPECT_EQ(r.nStatus, 0) << r.output;
    EXPECT_EQ(r.output, "");

    // The same check notices a broken timer, so the silence above means
    // something.
    std::string timerPath = home.dir.File(std::string(u.pszDir) + "/" + u.pszTimer);
    std::string timer = ReadFileBytes(timerPath);
    std::size_t at = timer.find("OnCalendar=");
    ASSERT_NE(at, std::string::npos);
    timer.replace(at, timer.find('\n', at) - at, "OnCalender=nightly");
    WriteFileBytes(timerPath, timer);
    EXPECT_NE(home.Verify(u.pszDir, u.pszMode, files).output, "");

    // systemd looks for units there: in ~/.local for the user manager, and
    // for the system one under the prefixes /usr and /usr/local alike.
    Result paths = Shell("HOME=" + Quote(home.dir.Path()) + " XDG_RUNTIME_DIR=" +
                         Quote(home.dir.File("run")) + " systemd-analyze " + u.pszMode +
                         " unit-paths");
    std::string dir = std::string(u.pszDir).substr(std::string(".local/").size());
    std::vector<std::string> where = {"/usr/" + dir, "/usr/local/" + dir};
    if (!bSystem) where.push_back(home.dir.File(u.pszDir));
    for (const std::string &w : where)
      EXPECT_NE(("\n" + paths.output).find("\n" + w + "\n"), std::string::npos) << w << paths.output;
  }
}

TEST(SystemdUnits, TheServiceCommandsRunTheUnattendedDownload) {
  FakeHome home;
  ASSERT_EQ(home.inst.nStatus, 0) << home.inst.output;
  for (const UnitPair &u : Units) {
    SCOPED_TRACE(u.pszService);
    bool bSystem = std::string(u.pszMode) == "--system";
    std::string unit = ReadFileBytes(home.dir.File(std::string(u.pszDir) + "/" + u.pszService));
    // The values as systemd expands them for this home and the site "north".
    auto Value = [&](const std::string &key) {
      std::size_t at = unit.find("\n" + key + "=");
      if (at == std::string::npos) return std::string();
      at += key.size() + 2;
      std::string v = unit.substr(at, unit.find('\n', at) - at);
      for (std::size_t p; (p = v.find("%h")) != std::string::npos;) v.replace(p, 2, home.dir.Path());
      for (std::size_t p; (p = v.find("%i")) != std::string::npos;) v.replace(p, 2, "north");
      return v;
    };
    std::string workDir = Value("WorkingDirectory"), exec = Value("ExecStart");
    ASSERT_FALSE(workDir.empty());
    ASSERT_FALSE(exec.empty());
    if (bSystem) {
      // A system service has no home of its own (%h is root's), so it works
      // in the folder systemd makes for the site, as its own user.
      EXPECT_EQ(unit.find("%h"), std::string::npos);
      EXPECT_EQ(workDir, "/var/lib/" + Value("StateDirectory"));
      EXPECT_EQ(workDir, "/var/lib/tandreldl/north");
      EXPECT_EQ(Value("User"), "tandreldl");
      workDir = home.dir.File("site-north");
      fs::create_directories(workDir);
    }
    // Run that way: the installed program downloads an empty list without
    // error (in the folder of the list: it is there).
    WriteFileBytes(workDir + "/daslist.txt", "serialnumber,name,phone,ipaddress,deletelog,password\r\n");
    EXPECT_EQ(exec.rfind(home.dir.File(".local/bin/tandreldl "), 0), 0u) << exec;
    // A night is not held up by one unit (the option's value is checked:
    // a bad one would end the run with status 2 below).
    EXPECT_NE(exec.find(" --unit-time-limit 1800"), std::string::npos) << exec;
    EXPECT_NE(exec.find(" --jobs 8 "), std::string::npos) << exec;
    Result r = Shell("cd " + Quote(workDir) + " && env -u DISPLAY -u WAYLAND_DISPLAY " + exec);
    EXPECT_EQ(r.nStatus, 0) << r.output;
    EXPECT_TRUE(FileExists(workDir + "/daslist.txt"));
    std::vector<LogEntry> entries = ReadLogEntries(workDir + "/errorlog.txt");
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[1].message, "option /AUTO. Running automatic download");
  }
}

// The nightly task's arguments, as Task Scheduler passes them: a run of a
// list without units that ends without error (a bad option value ends with 2).
TEST(WindowsTask, ItsArgumentsRunTheUnattendedDownload) {
  std::string xml = ReadFileBytes(Source + "/contrib/windows/tandreldl-task.xml");
  std::size_t at = xml.find("<Arguments>");
  ASSERT_NE(at, std::string::npos);
  at += 11;
  std::string args = xml.substr(at, xml.find("</Arguments>", at) - at);
  EXPECT_NE(args.find("--unit-time-limit 1800"), std::string::npos) << args;
  TempDir dir(false);
  WriteFileBytes(dir.File("daslist.txt"), "serialnumber,name,phone,ipaddress,deletelog,password\r\n");
  Result r = Shell("cd " + Quote(dir.Path()) + " && env -u DISPLAY -u WAYLAND_DISPLAY " +
                   Quote(TANDREL_BINARY) + " " + args);
  EXPECT_EQ(r.nStatus, 0) << r.output;
  std::vector<LogEntry> entries = ReadLogEntries(dir.File("errorlog.txt"));
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries[1].message, "option /AUTO. Running automatic download");
}

TEST(ManualPage, RendersWithoutWarnings) {
  if (!OnPath("man")) GTEST_SKIP() << "man is not installed";
  std::string page = Quote(Source + "/docs/tandreldl.1");
  Result r = Shell("MANWIDTH=80 man -l " + page);
  ASSERT_EQ(r.nStatus, 0) << r.output;
  for (const char *pszSection : {"NAME", "SYNOPSIS", "OPTIONS", "FILES", "EXIT STATUS", "EXAMPLES"})
    EXPECT_NE(r.output.find(std::string("\n") + pszSection + "\n"), std::string::npos)
        << pszSection;
  // Every option the program's usage names is described in the page.
  Result usage = Shell(Quote(TANDREL_BINARY) + " --help");
  ASSERT_EQ(usage.nStatus, 0);
  for (const char *pszOption : {"/AUTO", "--help", "-h", "/?", "--version"}) {
    EXPECT_NE(usage.output.find(pszOption), std::string::npos) << pszOption;
    EXPECT_NE(r.output.find(pszOption), std::string::npos) << pszOption;
  }
  EXPECT_NE(r.output.find("tandreldl.lock"), std::string::npos);

  // groff's warnings (unknown macros and strings...) go to standard error;
  // a page with a mistake shows that they do.
  Result warn = Shell("MANWIDTH=80 man --warnings -l " + page + " >/dev/null");
  EXPECT_EQ(warn.output, "");
  TempDir bad(false);
  WriteFileBytes(bad.File("bad.1"), ".TH BAD 1\n.SH NAME\nbad \\- page\n.XY typo\n");
  warn = Shell("MANWIDTH=80 man --warnings -l " + Quote(bad.File("bad.1")) + " >/dev/null");
  EXPECT_NE(warn.output.find("XY"), std::string::npos) << warn.output;

}

// What an install of this build holds, under its prefix: the program and
// its manual page; with the desktop backend its menu entry and icon where
// the freedesktop menus look; the systemd units where systemd looks for
// this prefix, the system user's entry, the rotation of the sites' logs.
struct Installed {
  const char *pszPath;  // under the prefix
  std::string source;   // what it must equal byte for byte (a .in: once
                        // it names the installed program)
};
std::vector<Installed> ExpectedInstall() {
  const std::string Systemd = Source + "/contrib/systemd/";
  std::vector<Installed> expected = {
      {"bin/tandreldl", TANDREL_BINARY},
      {"share/man/man1/tandreldl.1", Source + "/docs/tandreldl.1"},
      {"share/systemd/user/tandreldl.service", Systemd + "tandreldl.service.in"},
      {"share/systemd/user/tandreldl.timer", Systemd + "tandreldl.timer"},
      {"lib/systemd/system/tandreldl@.service", Systemd + "tandreldl@.service.in"},
      {"lib/systemd/system/tandreldl@.timer", Systemd + "tandreldl@.timer"},
      {"lib/sysusers.d/tandreldl.conf", Systemd + "tandreldl.sysusers"},
      {"etc/logrotate.d/tandreldl", Source + "/contrib/logrotate/tandreldl"},
  };
  if (TANDREL_INSTALLS_DESKTOP) {
    expected.push_back({"share/applications/tandreldl.desktop",
                        Source + "/platform/fltk/tandreldl.desktop"});
    expected.push_back({"share/icons/hicolor/32x32/apps/tandreldl.png",
                        Source + "/resources/icon_main.png"});
    expected.push_back({"share/icons/hicolor/scalable/apps/tandreldl.svg",
                        Source + "/resources/icon_main.svg"});
  }
  return expected;
}

// The text an installed file must have when the program is at pszProgram.
std::string ExpectedText(const Installed &f, const std::string &program) {
  std::string text = ReadFileBytes(f.source);
  if (f.source.size() > 3 && f.source.compare(f.source.size() - 3, 3, ".in") == 0) {
    std::size_t at = text.find("@TANDREL_PROGRAM@");
    if (at != std::string::npos) text.replace(at, 17, program);
  }
  return text;
}

// The files (not folders) under dir, relative to it, sorted.
std::vector<std::string> FilesUnder(const std::string &dir) {
  std::vector<std::string> found;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    if (!e.is_directory()) found.push_back(fs::relative(e.path(), dir).string());
  std::sort(found.begin(), found.end());
  return found;
}

// An install into an empty prefix holds what ExpectedInstall names, nothing
// else.
TEST(Install, HoldsTheProgramItsPageTheDesktopFilesAndTheUnits) {
  std::vector<Installed> expected = ExpectedInstall();
  TempDir prefix(false);
  Result inst = Install(prefix.Path());
  ASSERT_EQ(inst.nStatus, 0) << inst.output;
  std::vector<std::string> want;
  for (const Installed &f : expected) {
    want.push_back(f.pszPath);
    EXPECT_EQ(ReadFileBytes(prefix.File(f.pszPath)), ExpectedText(f, prefix.File("bin/tandreldl")))
        << f.pszPath;
  }
  if (TANDREL_INSTALLS_DESKTOP) {
    // The menu entry starts the program and shows the icon by their installed names.
    std::string entry = ReadFileBytes(prefix.File("share/applications/tandreldl.desktop"));
    EXPECT_NE(entry.find("\nExec=tandreldl"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nIcon=tandreldl\n"), std::string::npos) << entry;
  }
  std::sort(want.begin(), want.end());
  EXPECT_EQ(FilesUnder(prefix.Path()), want);
  EXPECT_EQ(fs::status(prefix.File("bin/tandreldl")).permissions() & fs::perms::owner_exec,
            fs::perms::owner_exec);

  // man finds the page by name there.
  if (!OnPath("man")) GTEST_SKIP() << "man is not installed";
  Result byName = Shell("MANWIDTH=80 man -M " + Quote(prefix.File("share/man")) + " tandreldl");
  EXPECT_EQ(byName.nStatus, 0) << byName.output;
  EXPECT_NE(byName.output.find("TANDRELDL(1)"), std::string::npos) << byName.output;
}

// A root of its own for dpkg: its database, empty user and group files, the
// folder of the timers' enable links. The maintainer scripts run on this
// machine with DPKG_ROOT naming the root.
struct ScratchRoot {
  TempDir dir{false};
  ScratchRoot() {
    for (const char *pszDir :
         {"var/lib/dpkg/info", "var/lib/dpkg/updates", "etc/systemd/system/timers.target.wants"})
      fs::create_directories(dir.File(pszDir));
    for (const char *pszFile : {"var/lib/dpkg/status", "var/lib/dpkg/available", "etc/passwd",
                                "etc/group", "etc/shadow", "etc/gshadow", "etc/.pwd.lock"})
      WriteFileBytes(dir.File(pszFile), "");
  }
  Result Dpkg(const std::string &args) const {
    return Shell(std::string(geteuid() == 0 ? "" : "fakeroot ") + "dpkg --root=" +
                 Quote(dir.Path()) + " --force-script-chrootless --force-depends --log=/dev/null " +
                 args);
  }
  // Every path but dpkg's own records and the user tools' backups (passwd-
  // and kin), with its kind and content.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> tree;
    for (const auto &e : fs::recursive_directory_iterator(dir.Path())) {
      std::string rel = fs::relative(e.path(), dir.Path()).string();
      if (rel.rfind("var/lib/dpkg", 0) == 0 || rel.back() == '-') continue;
      tree[rel] = e.is_symlink()     ? "link " + fs::read_symlink(e.path()).string()
                  : e.is_directory() ? "folder"
                                     : ReadFileBytes(e.path().string());
    }
    return tree;
  }
};

// The package of this build holds what an install holds, under /usr (the
// log rotation under /etc); installed, removed and purged in a root of its
// own it makes its system user and leaves nothing behind but a site's
// downloads.
TEST(DebianPackage, HoldsTheInstallAndPurgesWithoutTrace) {
  for (const char *pszTool : {"cpack", "dpkg", "dpkg-deb", "dpkg-shlibdeps", "systemd-sysusers"})
    if (!OnPath(pszTool)) GTEST_SKIP() << pszTool << " is not installed";
  if (geteuid() != 0 && !OnPath("fakeroot")) GTEST_SKIP() << "dpkg needs root or fakeroot";
  TempDir out(false);
  Result made = Shell("cd " + Quote(TANDREL_BUILD_DIR) + " && cpack -G DEB -B " + Quote(out.Path()));
  ASSERT_EQ(made.nStatus, 0) << made.output;
  std::string deb;
  for (const auto &e : fs::directory_iterator(out.Path()))
    if (e.path().extension() == ".deb") deb = e.path().string();
  ASSERT_FALSE(deb.empty()) << made.output;

  // Manual pages compressed, as Debian has them.
  std::vector<std::string> want;
  for (const Installed &f : ExpectedInstall()) {
    std::string path = f.pszPath;
    if (path.rfind("share/man/", 0) == 0) path += ".gz";
    want.push_back(path.rfind("etc/", 0) == 0 ? path : "usr/" + path);
  }
  std::sort(want.begin(), want.end());
  Result list = Shell("dpkg-deb -c " + Quote(deb));
  ASSERT_EQ(list.nStatus, 0) << list.output;
  std::vector<std::string> listed;
  std::size_t at = 0;
  for (std::size_t end; (end = list.output.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = list.output.substr(at, end - at);
    std::size_t name = line.find(" ./");
    if (!line.empty() && line[0] != 'd' && name != std::string::npos)
      listed.push_back(line.substr(name + 3));
  }
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, want);
  Result fields = Shell("dpkg-deb --field " + Quote(deb) + " Version Depends Section");
  // The package carries the program's own version (APP_VERSION without its "v").
  EXPECT_NE(fields.output.find(std::string("Version: ") + (APP_VERSION + 1) + "\n"), std::string::npos)
      << fields.output;
  EXPECT_NE(fields.output.find("libc6 (>="), std::string::npos) << fields.output;
  EXPECT_NE(fields.output.find("systemd-sysusers"), std::string::npos) << fields.output;
  EXPECT_NE(fields.output.find("Section: net"), std::string::npos) << fields.output;

  ScratchRoot root;
  std::map<std::string, std::string> before = root.Snapshot();
  Result r = root.Dpkg("-i " + Quote(deb));
  ASSERT_EQ(r.nStatus, 0) << r.output;
  EXPECT_EQ(Shell(Quote(root.dir.File("usr/bin/tandreldl")) + " --version").nStatus, 0);
  for (const Installed &f : ExpectedInstall()) {
    if (f.source.find(".service.in") != std::string::npos) {
      EXPECT_EQ(ReadFileBytes(root.dir.File(std::string("usr/") + f.pszPath)),
                ExpectedText(f, "/usr/bin/tandreldl"));
    }
  }
  Result page = Shell("gzip -dc " + Quote(root.dir.File("usr/share/man/man1/tandreldl.1.gz")));
  EXPECT_EQ(page.output, ReadFileBytes(Source + "/docs/tandreldl.1"));
  EXPECT_NE(ReadFileBytes(root.dir.File("etc/passwd")).find("tandreldl:x:"), std::string::npos);

  // A purge while a site's folder holds its downloads keeps them, and the
  // user that owns them.
  std::string site = root.dir.File("var/lib/tandreldl/north");
  fs::create_directories(site);
  WriteFileBytes(site + "/daslist.txt", "serialnumber,name\r\n");
  r = root.Dpkg("--purge tandreldl");
  EXPECT_EQ(r.nStatus, 0) << r.output;
  EXPECT_TRUE(FileExists(site + "/daslist.txt"));
  EXPECT_NE(ReadFileBytes(root.dir.File("etc/passwd")).find("tandreldl:x:"), std::string::npos);
  EXPECT_NE(r.output.find("kept"), std::string::npos) << r.output;
  fs::remove_all(root.dir.File("var/lib/tandreldl"));

  // Installed with a site's timer enabled, removed (its configuration
  // stays), purged: nothing is left.
  ASSERT_EQ(root.Dpkg("-i " + Quote(deb)).nStatus, 0);
  fs::create_symlink("/usr/lib/systemd/system/tandreldl@.timer",
                     root.dir.File("etc/systemd/system/timers.target.wants/tandreldl@north.timer"));
  r = root.Dpkg("-r tandreldl");
  EXPECT_EQ(r.nStatus, 0) << r.output;
  EXPECT_FALSE(FileExists(root.dir.File("usr/bin/tandreldl")));
  EXPECT_TRUE(FileExists(root.dir.File("etc/logrotate.d/tandreldl")));
  r = root.Dpkg("--purge tandreldl");
  EXPECT_EQ(r.nStatus, 0) << r.output;
  EXPECT_EQ(root.Snapshot(), before);
}

// A site's log rotated by the installed rule (logrotate with a state file of
// its own): the log is renamed away whole, and the next run starts a new one
// with its header.
TEST(LogRotation, TheNextRunStartsANewLogWithItsHeader) {
  if (!OnPath("logrotate")) GTEST_SKIP() << "logrotate is not installed";
  const std::string Header = "time,file,line,message\r\n";
  TempDir sites(false);
  std::string site = sites.File("north");
  fs::create_directories(site);
  WriteFileBytes(site + "/daslist.txt", "serialnumber,name,phone,ipaddress,deletelog,password\r\n");
  auto Run = [&] {
    return Shell("cd " + Quote(site) + " && env -u DISPLAY -u WAYLAND_DISPLAY " +
                 Quote(TANDREL_BINARY) + " /AUTO");
  };
  ASSERT_EQ(Run().nStatus, 0);
  std::string first = ReadFileBytes(site + "/errorlog.txt");
  ASSERT_EQ(first.rfind(Header, 0), 0u) << first;

  // The rule for these folders, run as the user running the test.
  std::string conf = ReadFileBytes(Source + "/contrib/logrotate/tandreldl");
  std::size_t at = conf.find("/var/lib/tandreldl/");
  ASSERT_NE(at, std::string::npos);
  conf.replace(at, 19, sites.Path() + "/");
  at = conf.find("\tsu ");
  ASSERT_NE(at, std::string::npos);
  conf.erase(at, conf.find('\n', at) + 1 - at);
  WriteFileBytes(sites.File("rotate.conf"), conf);
  Result r = Shell("logrotate -f -s " + Quote(sites.File("state")) + " " +
                   Quote(sites.File("rotate.conf")));
  ASSERT_EQ(r.nStatus, 0) << r.output;
  EXPECT_FALSE(FileExists(site + "/errorlog.txt"));
  EXPECT_EQ(ReadFileBytes(site + "/errorlog.txt.1"), first);

  ASSERT_EQ(Run().nStatus, 0);
  std::string second = ReadFileBytes(site + "/errorlog.txt");
  EXPECT_EQ(second.rfind(Header, 0), 0u) << second;
  std::vector<LogEntry> entries = ReadLogEntries(site + "/errorlog.txt");
  ASSERT_FALSE(entries.empty());
  EXPECT_NE(entries[0].message.find(" starting, version "), std::string::npos);
}

}  // namespace
