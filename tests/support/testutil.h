// Helpers shared by the tests: a private temporary directory that the test
// works in, and whole-file reads and writes.
#pragma once
#include <string>
#include <vector>

class TempDir {
 public:
  // Creates a fresh directory; with bEnter, makes it the current directory
  // until the object goes away.
  explicit TempDir(bool bEnter = true);
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &Path() const { return m_path; }
  std::string File(const std::string &name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
  std::string m_oldCwd;
};

std::string ReadFileBytes(const std::string &path);
void WriteFileBytes(const std::string &path, const std::string &data);
bool FileExists(const std::string &path);

// Text as the text-mode writer stores it: every LF becomes CR LF.
std::string ToCrLf(const std::string &s);

// One entry of an error log: its module column and its message.
struct LogEntry {
  std::string module;
  std::string message;
};
// The entries of an error log (header skipped). Entries end in CR LF; a
// message may hold a bare LF.
std::vector<LogEntry> ReadLogEntries(const std::string &path = "errorlog.txt");

// The real program as a child process: started in dir with args and without
// a display, its standard output and error going to the given files. With
// nFileSizeLimit >= 0 no file can grow past that many bytes (RLIMIT_FSIZE;
// a write beyond fails with EFBIG). Returns the process id, or -1 when it
// could not be started.
int StartProgram(const std::string &binary, const std::string &dir,
                 const std::vector<std::string> &args, const std::string &outFile,
                 const std::string &errFile, long nFileSizeLimit = -1);
// Waits for the child to end: its exit status, 128 + the signal when a signal
// ended it, or -1 when it was still running after nMaxSeconds (a hang; it is
// killed then). The bound only guards against a hung test run.
int WaitProgram(int pid, int nMaxSeconds);
// SIGKILL, then waits for it: 1 when the kill ended the process, 0 when it
// had ended by itself before the signal reached it.
int KillProgram(int pid);

// Where two long texts first differ (sizes, offset and the lines there), for
// a failure message that stays readable when files run to megabytes.
std::string FirstDifference(const std::string &got, const std::string &want);
