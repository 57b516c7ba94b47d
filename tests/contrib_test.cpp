// What an operator installs besides the program: the systemd user units of
// the nightly run and the manual page, checked with the system's own tools,
// and what the build's install step puts in place.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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

// A home directory as the units expect it: the program where the service
// starts it, the working directory, a runtime directory for the user
// manager, and the manual page where man finds it.
struct FakeHome {
  TempDir dir{false};
  FakeHome() {
    fs::create_directories(dir.File(".local/bin"));
    fs::create_symlink(TANDREL_BINARY, dir.File(".local/bin/tandreldl"));
    fs::create_directories(dir.File("das"));
    fs::create_directories(dir.File("run"));
    chmod(dir.File("run").c_str(), 0700);
    fs::create_directories(dir.File("man/man1"));
    fs::copy_file(Source + "/docs/tandreldl.1", dir.File("man/man1/tandreldl.1"));
    fs::create_directories(dir.File("units"));
  }
  Result Verify(const std::string &files) const {
    return Shell("cd " + Quote(dir.File("units")) + " && HOME=" + Quote(dir.Path()) +
                 " XDG_RUNTIME_DIR=" + Quote(dir.File("run")) + " MANPATH=" +
                 Quote(dir.File("man")) + " systemd-analyze --user verify " + files);
  }
};

TEST(SystemdUnits, VerifyAcceptsTheServiceAndTheTimer) {
  if (!OnPath("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  FakeHome home;
  for (const char *pszName : {"tandreldl.service", "tandreldl.timer"})
    fs::copy_file(Source + "/contrib/systemd/" + pszName, home.dir.File("units/") + pszName);
  Result r = home.Verify("tandreldl.service tandreldl.timer");
  if (r.output.find("Failed to initialize manager") != std::string::npos)
    GTEST_SKIP() << "systemd-analyze cannot start a user manager here: " << r.output;
  EXPECT_EQ(r.nStatus, 0) << r.output;
  EXPECT_EQ(r.output, "");

  // The same check notices a broken timer, so the silence above means
  // something.
  std::string timer = ReadFileBytes(home.dir.File("units/tandreldl.timer"));
  std::size_t at = timer.find("OnCalendar=");
  ASSERT_NE(at, std::string::npos);
  timer.replace(at, timer.find('\n', at) - at, "OnCalender=nightly");
  WriteFileBytes(home.dir.File("units/tandreldl.timer"), timer);
  r = home.Verify("tandreldl.service tandreldl.timer");
  EXPECT_NE(r.output, "");
}

TEST(SystemdUnits, TheServiceCommandRunsTheUnattendedDownload) {
  FakeHome home;
  fs::copy_file(Source + "/contrib/systemd/tandreldl.service",
                home.dir.File("units/tandreldl.service"));
  // The command and the working directory as systemd expands them for this
  // home, then run that way: an empty list is downloaded without error.
  std::string unit = ReadFileBytes(home.dir.File("units/tandreldl.service"));
  auto Value = [&](const std::string &key) {
    std::size_t at = unit.find("\n" + key + "=");
    if (at == std::string::npos) return std::string();
    at += key.size() + 2;
    std::string v = unit.substr(at, unit.find('\n', at) - at);
    for (std::size_t p; (p = v.find("%h")) != std::string::npos;) v.replace(p, 2, home.dir.Path());
    return v;
  };
  std::string workDir = Value("WorkingDirectory"), exec = Value("ExecStart");
  ASSERT_FALSE(workDir.empty());
  ASSERT_FALSE(exec.empty());
  Result r = Shell("cd " + Quote(workDir) + " && env -u DISPLAY -u WAYLAND_DISPLAY " + exec);
  EXPECT_EQ(r.nStatus, 0) << r.output;
  EXPECT_TRUE(FileExists(workDir + "/daslist.txt"));
  std::vector<LogEntry> entries = ReadLogEntries(workDir + "/errorlog.txt");
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
  for (const char *pszOption : {"/AUTO", "--help", "-h", "--version"}) {
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

// An install into an empty prefix holds the program and its manual page and,
// with the desktop backend, its menu entry and icon where the freedesktop
// menus look; nothing else.
TEST(Install, HoldsTheProgramItsPageAndTheDesktopFiles) {
  struct Installed {
    const char *pszPath;    // under the prefix
    std::string source;     // what it must equal byte for byte
  };
  std::vector<Installed> expected = {
      {"bin/tandreldl", TANDREL_BINARY},
      {"share/man/man1/tandreldl.1", Source + "/docs/tandreldl.1"},
  };
  if (TANDREL_INSTALLS_DESKTOP) {
    expected.push_back({"share/applications/tandreldl.desktop",
                        Source + "/platform/fltk/tandreldl.desktop"});
    expected.push_back({"share/icons/hicolor/32x32/apps/tandreldl.png",
                        Source + "/resources/icon_main.png"});
    expected.push_back({"share/icons/hicolor/scalable/apps/tandreldl.svg",
                        Source + "/resources/icon_main.svg"});
  }
  TempDir prefix(false);
  Result inst = Shell("cmake --install " + Quote(TANDREL_BUILD_DIR) + " --prefix " +
                      Quote(prefix.Path()));
  ASSERT_EQ(inst.nStatus, 0) << inst.output;
  std::vector<std::string> found;
  for (const auto &e : fs::recursive_directory_iterator(prefix.Path()))
    if (!e.is_directory()) found.push_back(fs::relative(e.path(), prefix.Path()).string());
  std::vector<std::string> want;
  for (const Installed &f : expected) {
    want.push_back(f.pszPath);
    EXPECT_EQ(ReadFileBytes(prefix.File(f.pszPath)), ReadFileBytes(f.source)) << f.pszPath;
  }
  if (TANDREL_INSTALLS_DESKTOP) {
    // The menu entry starts the program and shows the icon by their installed names.
    std::string entry = ReadFileBytes(prefix.File("share/applications/tandreldl.desktop"));
    EXPECT_NE(entry.find("\nExec=tandreldl"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nIcon=tandreldl\n"), std::string::npos) << entry;
  }
  std::sort(found.begin(), found.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(found, want);
  EXPECT_EQ(fs::status(prefix.File("bin/tandreldl")).permissions() & fs::perms::owner_exec,
            fs::perms::owner_exec);

  // man finds the page by name there.
  if (!OnPath("man")) GTEST_SKIP() << "man is not installed";
  Result byName = Shell("MANWIDTH=80 man -M " + Quote(prefix.File("share/man")) + " tandreldl");
  EXPECT_EQ(byName.nStatus, 0) << byName.output;
  EXPECT_NE(byName.output.find("TANDRELDL(1)"), std::string::npos) << byName.output;
}

}  // namespace
