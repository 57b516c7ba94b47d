// Time stamps and line classification: the merge's fast path gives exactly
// what the general time-stamp parser gives, for every text, and classifying
// a line agrees with the rule stated on the general parser. The input is
// taken as several lines in a row, so the fast path's memory of the last
// date is exercised between different dates.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_common.h"
#include "merge/logset.h"
#include "util/text.h"

namespace {

// A line's kind by the general rule: "time..." is the header; otherwise
// the first field, ending at a comma within the first 31 bytes (a NUL ends
// the look) and longer than 16 bytes, with one quote dropped at each end,
// is the time stamp.
int ReferenceKind(const std::string &line, std::uint32_t *pulTime) {
  if (line.compare(0, 4, "time") == 0) return 2;
  std::size_t nLook = line.size() < 31 ? line.size() : 31;
  std::size_t nComma = std::string::npos;
  for (std::size_t i = 0; i < nLook; i++) {
    if (line[i] == 0) break;
    if (line[i] == ',') {
      nComma = i;
      break;
    }
  }
  if (nComma == std::string::npos || nComma <= 16) return 0;
  std::string field = line.substr(0, nComma);
  if (field.back() == '"' || field.back() == '\'') field.pop_back();
  if (!field.empty() && (field[0] == '"' || field[0] == '\'')) field.erase(0, 1);
  *pulTime = ParseTimeStamp(field.c_str());
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *pData, std::size_t nSize) {
  std::string data(reinterpret_cast<const char *>(pData), nSize);
  for (const std::string &line : SplitLines(data, data.size() + 2)) {
    // The stamp alone, as a C string: both parsers see the same text.
    std::string text = CText(line);
    FUZZ_CHECK(ParseLogTime(text.c_str()) == ParseTimeStamp(text.c_str()));

    std::uint32_t ulFast = 0xDEADBEEF, ulRef = 0xDEADBEEF;
    int nFast = ClassifyLogLine(line.data(), line.size(), &ulFast);
    int nRef = ReferenceKind(line, &ulRef);
    FUZZ_CHECK(nFast == nRef);
    if (nRef == 1) FUZZ_CHECK(ulFast == ulRef);
  }
  return 0;
}
