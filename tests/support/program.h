// A program under test as a child process: the real program (TANDREL_BINARY)
// or the simulator's, started without a display in a directory of its own.
// POSIX only: the Windows test build leaves program.cpp out.
#pragma once
#include <string>
#include <vector>

// The real program as a child process: started in dir with args, its
// standard output and error going to the given files, without a display
// unless pszDisplay names one (the rest of the environment is the test's).
// With nFileSizeLimit >= 0 no file can grow past that many bytes
// (RLIMIT_FSIZE; a write beyond fails with EFBIG). Returns the process id,
// or -1 when it could not be started.
int StartProgram(const std::string &binary, const std::string &dir,
                 const std::vector<std::string> &args, const std::string &outFile,
                 const std::string &errFile, long nFileSizeLimit = -1,
                 const char *pszDisplay = nullptr);
// Waits for the child to end: its exit status, 128 + the signal when a signal
// ended it, or -1 when it was still running after nMaxSeconds (a hang; it is
// killed then). The bound only guards against a hung test run.
int WaitProgram(int pid, int nMaxSeconds);
// SIGKILL, then waits for it: 1 when the kill ended the process, 0 when it
// had ended by itself before the signal reached it.
int KillProgram(int pid);

// Runs the real program in dir with args to its end, without a display, its
// standard output and error in dir/stdout.txt and dir/stderr.txt: its exit
// status as WaitProgram gives it (-1 when it still ran after nMaxSeconds).
int RunProgram(const std::string &dir, const std::vector<std::string> &args,
               int nMaxSeconds = 600);

// The real program as a child the test owns and looks at while it runs:
// started as StartProgram starts it, in dir, its standard output and error
// in dir/<name>.out and dir/<name>.err. Killed when the scope ends if it
// still runs.
class Program {
 public:
  Program(const std::string &dir, const std::vector<std::string> &args,
          const std::string &name = "program", const char *pszDisplay = nullptr);
  ~Program();
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  int Pid() const { return m_pid; }
  // The exit status (128 + the signal when a signal ended it), or -1 while
  // it still runs after nMs; it is not killed then, and may be waited for
  // again.
  int Wait(int nMs = 60000);
  // SIGKILL, then its status.
  int Kill();
  std::string Out() const;
  std::string Err() const;

 private:
  static const int kRunning = -1000;
  int m_pid = -1;
  int m_status = kRunning;
  std::string m_out, m_err;
};
