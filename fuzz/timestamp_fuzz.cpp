// Time stamps and line classification: classifying a line, fast path
// included, agrees with the rule stated on the general time-stamp parser,
// for the line as it stands and for its text as a quoted first field. The
// input is taken as several lines in a row, so the fast path's memory of
// the last date is exercised between different dates.
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
  ReadTimeStamp(field.c_str(), pulTime);
  return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *pData, std::size_t nSize) {
  std::string data(reinterpret_cast<const char *>(pData), nSize);
  for (const std::string &line : SplitLines(data, data.size() + 2)) {
    // The line as it stands, and its text up to a NUL as a quoted first
    // field: a quoted stamp goes through the general rule, and the fast
    // path meets the field itself.
    for (const std::string &text : {line, "'" + CText(line) + "',"}) {
      std::uint32_t ulFast = 0xDEADBEEF, ulRef = 0xDEADBEEF;
      int nFast = ClassifyLogLine(text.data(), text.size(), &ulFast);
      int nRef = ReferenceKind(text, &ulRef);
      FUZZ_CHECK(nFast == nRef);
      if (nRef == 1) FUZZ_CHECK(ulFast == ulRef);
    }
  }
  return 0;
}
