#include "tests/support/testutil.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

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

std::string ToCrLf(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

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
