// Helpers shared by the tests: a private temporary directory that the test
// works in, and whole-file reads and writes.
#pragma once
#include <string>

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
