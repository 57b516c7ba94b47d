// What the desktop tests share: a private X server (Xvfb) on a display
// number of its own, screenshots kept as artefacts, and xdotool to act as
// the person at the keyboard and mouse.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fltktest {

inline bool OnPath(const char *pszTool) {
  std::string cmd = std::string("command -v ") + pszTool + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// An Xvfb started with -displayfd, so that it picks a free display number
// itself (tests run in parallel). Stopped when the object goes away.
class Xvfb {
 public:
  // pszScreen and pszDpi: the screen's size and depth, and its resolution
  // (null: the server's own).
  explicit Xvfb(const char *pszScreen = "1280x1024x24", const char *pszDpi = nullptr) {
    if (!OnPath("Xvfb")) return;
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
      // The server ends with the test process, however that ends: a test
      // that keeps a display open must not see its server go first.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      close(fds[0]);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      std::string fd = std::to_string(fds[1]);
      if (pszDpi)
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", pszScreen, "-dpi", pszDpi,
               "-nolisten", "tcp", "-noreset", static_cast<char *>(nullptr));
      else
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", pszScreen, "-nolisten",
               "tcp", "-noreset", static_cast<char *>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string num;
    char ch;
    // Xvfb writes the number and a line feed once it accepts connections.
    while (read(fds[0], &ch, 1) == 1 && ch != '\n') num += ch;
    close(fds[0]);
    if (!num.empty()) m_display = ":" + num;
  }
  ~Xvfb() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      int st;
      waitpid(m_pid, &st, 0);
    }
  }
  Xvfb(const Xvfb &) = delete;
  Xvfb &operator=(const Xvfb &) = delete;
  bool Ok() const { return !m_display.empty(); }
  const std::string &Display() const { return m_display; }

 private:
  pid_t m_pid = -1;
  std::string m_display;
};

// The one server of a test process, started on first use and stopped by
// the kernel when the process ends (never destroyed before).
inline Xvfb &SharedXvfb() {
  static Xvfb *p = new Xvfb;
  return *p;
}

// Runs a shell command and returns its standard output.
inline std::string Run(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[512];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// A window manager (openbox) on a display, for the tests that need one:
// started once, it ends with the test process. Ok() once it has announced
// itself on the root window.
class WindowManager {
 public:
  explicit WindowManager(const std::string &display) {
    if (display.empty() || !OnPath("openbox")) return;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      setenv("DISPLAY", display.c_str(), 1);
      execlp("openbox", "openbox", static_cast<char *>(nullptr));
      _exit(127);
    }
    if (pid < 0) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const std::string cmd = "DISPLAY=" + display + " xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null";
    while (std::chrono::steady_clock::now() < deadline) {
      if (Run(cmd).find("window id #") != std::string::npos) {
        m_bOk = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The check window appears early in the window manager's start, and a
    // window mapped before its event loop runs may never be managed. Ready
    // is when a window of a small X program, mapped afresh every two
    // seconds until one is, gets its WM_STATE.
    if (m_bOk && OnPath("xlogo")) m_bOk = WaitUntilManaging(display, deadline);
  }
  bool Ok() const { return m_bOk; }

 private:
  static bool WaitUntilManaging(const std::string &display,
                                std::chrono::steady_clock::time_point deadline) {
    const std::string env = "DISPLAY=" + display + " ";
    while (std::chrono::steady_clock::now() < deadline) {
      pid_t pid = fork();
      if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        setenv("DISPLAY", display.c_str(), 1);
        execlp("xlogo", "xlogo", "-name", "tandrel-wm-probe", static_cast<char *>(nullptr));
        _exit(127);
      }
      if (pid < 0) return false;
      bool bManaged = false;
      auto probeEnd = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (!bManaged && std::chrono::steady_clock::now() < probeEnd) {
        std::string ids = Run(env + "xdotool search --classname tandrel-wm-probe 2>/dev/null");
        for (std::size_t pos = 0; pos < ids.size() && !bManaged;) {
          std::size_t end = ids.find('\n', pos);
          if (end == std::string::npos) end = ids.size();
          std::string id = ids.substr(pos, end - pos);
          if (!id.empty() && Run(env + "xprop -id " + id + " WM_STATE 2>/dev/null")
                                     .find("Normal") != std::string::npos)
            bManaged = true;
          pos = end + 1;
        }
        if (!bManaged) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
      if (bManaged) return true;
    }
    return false;
  }

  bool m_bOk = false;
};

inline std::string Xdo(const std::string &display, const std::string &args) {
  return Run("DISPLAY=" + display + " xdotool " + args + " 2>/dev/null");
}

// The X window id of the newest window with exactly this title, 0 if none.
inline unsigned long FindWindowNamed(const std::string &display, const std::string &title) {
  std::string out = Xdo(display, "search --onlyvisible --name '^" + title + "$'");
  unsigned long id = 0;
  std::size_t pos = 0;
  while (pos < out.size()) {
    std::size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(pos, end - pos);
    if (!line.empty()) id = std::strtoul(line.c_str(), nullptr, 10);
    pos = end + 1;
  }
  return id;
}

inline unsigned long WaitWindowNamed(const std::string &display, const std::string &title,
                                     int nTimeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  for (;;) {
    unsigned long id = FindWindowNamed(display, title);
    if (id || std::chrono::steady_clock::now() >= deadline) return id;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

inline bool WaitWindowGone(const std::string &display, const std::string &title, int nTimeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  for (;;) {
    if (!FindWindowNamed(display, title)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Screen position of a window's top-left corner (of its contents, inside
// any frame a window manager puts around it; xwininfo says where that is,
// xdotool's geometry counts the frame twice).
inline bool WindowOrigin(const std::string &display, unsigned long id, int *px, int *py) {
  std::string out = Run("DISPLAY=" + display + " xwininfo -id " + std::to_string(id) + " 2>/dev/null");
  const char X[] = "Absolute upper-left X:", Y[] = "Absolute upper-left Y:";
  std::size_t ix = out.find(X), iy = out.find(Y);
  if (ix == std::string::npos || iy == std::string::npos) return false;
  *px = std::atoi(out.c_str() + ix + sizeof X - 1);
  *py = std::atoi(out.c_str() + iy + sizeof Y - 1);
  return true;
}

// A window's size as the X server has it (its contents, without a frame).
inline bool WindowSize(const std::string &display, unsigned long id, int *pw, int *ph) {
  std::string out = Run("DISPLAY=" + display + " xwininfo -id " + std::to_string(id) + " 2>/dev/null");
  const char W[] = "  Width:", H[] = "  Height:";
  std::size_t iw = out.find(W), ih = out.find(H);
  if (iw == std::string::npos || ih == std::string::npos) return false;
  *pw = std::atoi(out.c_str() + iw + sizeof W - 1);
  *ph = std::atoi(out.c_str() + ih + sizeof H - 1);
  return true;
}

// A click at a point of the screen, once the pointer is there. (xdotool's
// own --sync waits for the pointer to move, in vain when it is there
// already: two dialogs in turn put their Cancel at the same place.)
inline void ClickAt(const std::string &display, int x, int y) {
  const std::string at = std::to_string(x) + " " + std::to_string(y);
  Xdo(display, "mousemove " + at);
  const std::string want = "x:" + std::to_string(x) + " y:" + std::to_string(y) + " ";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Xdo(display, "getmouselocation").find(want) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Xdo(display, "click 1");
}

// Keys go to the window with the keyboard focus (the program gives the
// focus to each window it opens and back to the owner when one closes).
inline void Keys(const std::string &display, const std::string &keys) {
  Xdo(display, "key --delay 20 " + keys);
}

// The window that has the X keyboard focus (0 for none).
inline unsigned long FocusedWindow(const std::string &display) {
  return std::strtoul(Xdo(display, "getwindowfocus").c_str(), nullptr, 10);
}

inline void TypeText(const std::string &display, const std::string &text) {
  Xdo(display, "type --delay 10 '" + text + "'");
}

// Where artefacts go: <build dir>/artefacts (the tests run from the build
// tree's tests/ folder or its root; TANDREL_BINARY names the build dir).
inline std::string ArtefactDir() {
  std::filesystem::path bin(TANDREL_BINARY);
  std::filesystem::path dir = bin.parent_path() / "artefacts";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir.string();
}

// Keeps a picture of the whole screen as <name>.png among the artefacts.
inline std::string Screenshot(const std::string &display, const std::string &name) {
  std::string path = ArtefactDir() + "/" + name + ".png";
  if (OnPath("import"))
    Run("import -display " + display + " -window root '" + path + "' 2>/dev/null");
  else if (OnPath("xwd") && OnPath("convert"))
    Run("xwd -display " + display + " -root -silent | convert xwd:- '" + path + "' 2>/dev/null");
  return path;
}

}  // namespace fltktest
