#include "tests/testutil.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

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
