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

// Where two long texts first differ (sizes, offset and the lines there), for
// a failure message that stays readable when files run to megabytes.
std::string FirstDifference(const std::string &got, const std::string &want);
