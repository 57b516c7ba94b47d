// The real program as a child process for the tests that start, limit and
// kill it. POSIX only: the Windows test build leaves this file out.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "tests/support/program.h"
#include "tests/support/testutil.h"
#include "tests/support/wait.h"

namespace {

// A child's end as the shell tells it: its exit status, 128 + the signal
// that ended it, -1 for anything else.
int StatusOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

int StartProgram(const std::string &binary, const std::string &dir,
                 const std::vector<std::string> &args, const std::string &outFile,
                 const std::string &errFile, long nFileSizeLimit, const char *pszDisplay) {
  // Everything the child needs is built before the fork: between fork and
  // exec only async-signal-safe calls are allowed (the test has threads).
  std::vector<std::string> env;
  for (char **pp = environ; *pp; ++pp) {
    std::string v = *pp;
    if (v.rfind("DISPLAY=", 0) == 0 || v.rfind("WAYLAND_DISPLAY=", 0) == 0) continue;
    env.push_back(v);
  }
  if (pszDisplay) env.push_back(std::string("DISPLAY=") + pszDisplay);
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
      return StatusOf(status);
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

int RunProgram(const std::string &dir, const std::vector<std::string> &args, int nMaxSeconds) {
  int pid = StartProgram(TANDREL_BINARY, dir, args, dir + "/stdout.txt", dir + "/stderr.txt");
  return pid < 0 ? -1 : WaitProgram(pid, nMaxSeconds);
}

Program::Program(const std::string &dir, const std::vector<std::string> &args, const std::string &name,
                 const char *pszDisplay)
    : m_out(dir + "/" + name + ".out"), m_err(dir + "/" + name + ".err") {
  m_pid = StartProgram(TANDREL_BINARY, dir, args, m_out, m_err, -1, pszDisplay);
  if (m_pid < 0) m_status = 127;
}

Program::~Program() {
  if (m_pid > 0 && m_status == kRunning) KillProgram(m_pid);
}

int Program::Wait(int nMs) {
  if (m_status == kRunning)
    WaitFor(
        [this] {
          int st = 0;
          if (waitpid(m_pid, &st, WNOHANG) != m_pid) return false;
          m_status = StatusOf(st);
          return true;
        },
        nMs);
  return m_status == kRunning ? -1 : m_status;
}

int Program::Kill() {
  if (m_status == kRunning) kill(m_pid, SIGKILL);
  return Wait();
}

std::string Program::Out() const { return ReadFileBytes(m_out); }
std::string Program::Err() const { return ReadFileBytes(m_err); }
