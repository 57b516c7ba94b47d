#include "tests/testutil.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

TempDir::TempDir(bool bEnter) {
  static std::atomic<int> counter{0};
  fs::path base = fs::temp_directory_path() /
                  ("tandrel-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  fs::remove_all(base);
  fs::create_directories(base);
  m_path = base.string();
  if (bEnter) {
    m_oldCwd = fs::current_path().string();
    fs::current_path(base);
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!m_oldCwd.empty()) fs::current_path(m_oldCwd, ec);
  fs::remove_all(m_path, ec);
}

std::string ReadFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFileBytes(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool FileExists(const std::string &path) { return fs::exists(path); }

std::vector<LogEntry> ReadLogEntries(const std::string &path) {
  std::string all = ReadFileBytes(path);
  std::vector<LogEntry> out;
  std::size_t pos = 0;
  bool bFirst = true;
  while (pos < all.size()) {
    std::size_t end = all.find("\r\n", pos);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(pos, end - pos);
    pos = end + 2;
    if (bFirst) {
      bFirst = false;
      if (line == "time,file,line,message") continue;
    }
    // 'yyyy/mm/dd hh:mm:ss',module,line,message
    std::size_t c1 = line.find(',');
    std::size_t c2 = line.find(',', c1 + 1);
    std::size_t c3 = line.find(',', c2 + 1);
    if (c1 == std::string::npos || c2 == std::string::npos || c3 == std::string::npos) continue;
    out.push_back({line.substr(c1 + 1, c2 - c1 - 1), line.substr(c3 + 1)});
  }
  return out;
}

int StartProgram(const std::string &binary, const std::string &dir,
                 const std::vector<std::string> &args, const std::string &outFile,
                 const std::string &errFile, long nFileSizeLimit) {
  // Everything the child needs is built before the fork: between fork and
  // exec only async-signal-safe calls are allowed (the test has threads).
  std::vector<std::string> env;
  for (char **pp = environ; *pp; ++pp) {
    std::string v = *pp;
    if (v.rfind("DISPLAY=", 0) == 0 || v.rfind("WAYLAND_DISPLAY=", 0) == 0) continue;
    env.push_back(v);
  }
  std::vector<char *> argv, envp;
  argv.push_back(const_cast<char *>(binary.c_str()));
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  for (std::string &e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int hOut = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int hErr = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (hOut < 0 || hErr < 0 || chdir(dir.c_str()) != 0) _exit(126);
    dup2(hOut, 1);
    dup2(hErr, 2);
    close(hOut);
    close(hErr);
    if (nFileSizeLimit >= 0) {
      // A write past the limit then fails with EFBIG instead of killing.
      struct sigaction sa;
      std::memset(&sa, 0, sizeof sa);
      sa.sa_handler = SIG_IGN;
      sigaction(SIGXFSZ, &sa, nullptr);
      struct rlimit rl;
      rl.rlim_cur = rl.rlim_max = (rlim_t)nFileSizeLimit;
      if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(126);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

int WaitProgram(int pid, int nMaxSeconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(nMaxSeconds);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

int KillProgram(int pid) {
  kill(pid, SIGKILL);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return 0;
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? 1 : 0;
}

std::string FirstDifference(const std::string &got, const std::string &want) {
  std::size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) i++;
  if (i == got.size() && i == want.size()) return "no difference";
  std::size_t from = i == 0 ? 0 : got.rfind('\n', i - 1);
  from = from == std::string::npos || i == 0 ? 0 : from + 1;
  auto Line = [&](const std::string &s) {
    if (from >= s.size()) return std::string("<end of file>");
    std::size_t e = s.find('\n', from);
    return s.substr(from, e == std::string::npos ? std::string::npos : e - from + 1);
  };
  return std::to_string(got.size()) + " bytes, want " + std::to_string(want.size()) +
         "; first difference at byte " + std::to_string(i) + ":\n  got  [" + Line(got) +
         "]\n  want [" + Line(want) + "]";
}
