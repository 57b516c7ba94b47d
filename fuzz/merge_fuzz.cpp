// The merge: a local log and a download (the input, split at its first form
// feed) merged by MergeLogFile give a file whose data lines are sorted with
// unique time stamps, where each stamp's line is the longest read for it,
// and which is byte for byte what the record-list form (ReadLogFile and
// InsertRecord, then WriteLogFile) writes for the same two files. A second
// form feed splits off a second night's download, merged over the first
// result: mostly by appending to it, and still byte for byte the record-list
// form's result.
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "fuzz/fuzz_common.h"
#include "tests/support/testutil.h"
#include "merge/logset.h"
#include "merge/merge.h"
#include "merge/records.h"
#include "platform/file.h"

namespace {

std::string RecordListMerge(const std::string &local, const std::string &download, bool bLocal) {
  WriteFileBytes("ref-local", local);
  WriteFileBytes("ref-download", download);
  PlatUnlink("ref-merged");  // written as a new file, and this may be the second night
  LogRecord *pHead = nullptr;
  char *pHeader = nullptr;
  long lRecords = 0, lDuplicates = 0;
  char szStatus[64];
  if (bLocal)
    FUZZ_CHECK(ReadLogFile("ref-local", &pHead, &pHeader, szStatus, sizeof szStatus, nullptr,
                           &lRecords, &lDuplicates) == 1);
  FUZZ_CHECK(ReadLogFile("ref-download", &pHead, &pHeader, szStatus, sizeof szStatus, nullptr,
                         &lRecords, &lDuplicates) == 1);
  FUZZ_CHECK(WriteLogFile("ref-merged", &pHead, pHeader, szStatus, sizeof szStatus, nullptr) == 1);
  FreeRecords(&pHead, &pHeader);
  return ReadFileBytes("ref-merged");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  EnterSandbox("merge");
  // Flushing to the disk is the merge's crash safety, not its result; the
  // sandbox is in memory anyway.
  MergeFlushToDisk.store(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *pData, std::size_t nSize) {
  if (nSize > 65536) return 0;
  std::string data(reinterpret_cast<const char *>(pData), nSize);
  std::size_t nSplit = data.find('\f');
  bool bLocal = nSplit != std::string::npos;
  std::string local = bLocal ? data.substr(0, nSplit) : "";
  std::string download = bLocal ? data.substr(nSplit + 1) : data;
  std::size_t nSplit2 = download.find('\f');
  bool bNight2 = bLocal && nSplit2 != std::string::npos;
  std::string night2 = bNight2 ? download.substr(nSplit2 + 1) : "";
  if (bNight2) download.resize(nSplit2);

  PlatMkdir("U");
  PlatMkdir("U\\temp");
  if (bLocal) WriteFileBytes("U/mb-007.log", local);
  WriteFileBytes("U/temp/mb-007.0.tmp", download);
  char szStatus[64];
  FUZZ_CHECK(MergeLogFile("U", 7, "U\\temp\\mb-007.0.tmp", szStatus, sizeof szStatus, nullptr) == 1);
  std::string merged = ReadFileBytes("U/mb-007.log");
  FUZZ_CHECK(!PlatExists("U/temp/mb-007.0.tmp"));
  FUZZ_CHECK(!PlatExists("U/mb-007.new"));

  // Sorted, one line per stamp, the longest of each stamp's lines.
  std::map<std::uint32_t, std::size_t> longest;
  for (const std::string *pFile : {&local, &download})
    for (const std::string &line : SplitLines(*pFile, pFile->size() + 2)) {
      std::uint32_t ulTime = 0;
      if (ClassifyLogLine(line.data(), line.size(), &ulTime) != 1) continue;
      // A line's bytes end at its first NUL, as in the record list.
      std::size_t &n = longest[ulTime];
      if (CText(line).size() > n) n = CText(line).size();
    }
  bool bFirst = true, bHaveLast = false;
  std::uint32_t ulLast = 0;
  std::size_t nData = 0;
  for (const std::string &line : SplitLines(merged, merged.size() + 2)) {
    std::uint32_t ulTime = 0;
    int nKind = ClassifyLogLine(line.data(), line.size(), &ulTime);
    FUZZ_CHECK(nKind != 0);
    if (nKind == 2) {
      FUZZ_CHECK(bFirst);  // the one header comes first
    } else {
      FUZZ_CHECK(!bHaveLast || ulTime > ulLast);
      FUZZ_CHECK(longest.count(ulTime) && longest[ulTime] == line.size());
      FUZZ_CHECK(line.find('\0') == std::string::npos);
      ulLast = ulTime;
      bHaveLast = true;
      nData++;
    }
    bFirst = false;
  }
  FUZZ_CHECK(nData == longest.size());

  FUZZ_CHECK(merged == RecordListMerge(local, download, bLocal));

  if (bNight2) {
    bool bHadLog = PlatExists("U/mb-007.log");
    WriteFileBytes("U/temp/mb-007.1.tmp", night2);
    FUZZ_CHECK(MergeLogFile("U", 7, "U\\temp\\mb-007.1.tmp", szStatus, sizeof szStatus, nullptr) == 1);
    FUZZ_CHECK(!PlatExists("U/temp/mb-007.1.tmp"));
    FUZZ_CHECK(ReadFileBytes("U/mb-007.log") == RecordListMerge(merged, night2, bHadLog));
  }
  ClearCurrentDir();
  return 0;
}
