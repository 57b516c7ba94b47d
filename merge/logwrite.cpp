// The writer behind WriteLogSet and AppendLogSet: the surviving lines of a
// log set copied from the files they were read from, into one output file.
//
// A file whose lines came in time order is read again in one forward pass
// (its lines are wanted in the order they stand in it); a file held in
// memory gives its lines from there. The output goes out in blocks of up to
// 64 KiB, and a line longer than a block goes straight out. Every source is
// opened and checked before the output exists, so that a source gone
// missing or changed leaves nothing behind.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "log/errorlog.h"
#include "merge/logset.h"
#include "merge/logset_int.h"
#include "platform/file.h"

std::atomic<int> MergeFlushToDisk{1};

namespace {

// Blocks written to the merged file at once. Larger blocks gain nothing
// measurable, and the memory of a small merge (a nightly day) would be
// mostly buffers.
constexpr std::size_t kWriteBlock = 64u << 10;

void ReportNoMemory(std::size_t nBytes) {
  LogError("merge", __LINE__, "Error allocating %d bytes for data record, got %d %s",
           static_cast<int>(nBytes), PLAT_ENOMEM, PlatStrError(PLAT_ENOMEM));
}

// Forward-only reader of a streamed file for the writer.
struct SourceReader {
  int h = -1;
  std::vector<char> buf;
  std::uint64_t nStart = 0;  // file offset of buf[0]
  std::size_t nHave = 0;
  ~SourceReader() {
    if (h >= 0) PlatClose(h);
  }
};

// Opens every streamed file of the set, each still of the size it was
// read with. 1 = all open; 0 = failed (reported).
int OpenSources(const LogSet *pSet, std::vector<SourceReader> &readers) {
  for (std::size_t i = 0; i < pSet->vFiles.size(); i++) {
    const LogFile &file = pSet->vFiles[i];
    if (file.pBlock) continue;
    readers[i].h = PlatOpen(file.path.c_str(), P_O_RDONLY | P_O_BINARY);
    int nErr = PlatErrno();
    if (readers[i].h < 0 || PlatFileSize(file.path.c_str()) != static_cast<long long>(file.nBytes)) {
      if (readers[i].h >= 0) nErr = PLAT_EIO;
      LogFileError("merge", __LINE__, "reading file", file.path.c_str(), nErr);
      return 0;
    }
    try {
      readers[i].buf.resize(ReadBlockFor(static_cast<long long>(file.nBytes)));
    } catch (const std::bad_alloc &) {
      ReportNoMemory(ReadBlockFor(static_cast<long long>(file.nBytes)));
      return 0;
    }
  }
  return 1;
}

// The output file with its block. A file this writer created and could not
// finish goes again; one it could not create is not touched (it may be
// somebody's directory). A file it appended to is cut back to what it held:
// its old bytes were never touched, and the new ones are still in the files
// they came from.
class Output {
 public:
  enum What { kHeader, kWrite, kRead };

  Output(const char *pszPath, bool bAppend, long long llBase, char *pBlock, std::size_t nBlock)
      : pszPath_(pszPath), bAppend_(bAppend), llBase_(llBase), pBlock_(pBlock), nBlock_(nBlock) {}

  int Open(int nCreateFlag) {
    h_ = bAppend_ ? PlatOpen(pszPath_, P_O_WRONLY | P_O_APPEND | P_O_BINARY)
                  : PlatOpen(pszPath_, P_O_WRONLY | P_O_CREAT | nCreateFlag | P_O_BINARY,
                             P_S_IREAD | P_S_IWRITE);
    if (h_ >= 0) return 1;
    int nErr = PlatErrno();
    LogFileError("merge", __LINE__, bAppend_ ? "opening file" : "creating file", pszPath_, nErr);
    return 0;
  }

  // The header goes out in one write, its line feed with it.
  bool PutHeader(const std::string &text) {
    std::string header;
    try {
      header.reserve(text.size() + 1);
      header = text;
      header.push_back('\n');
    } catch (const std::bad_alloc &) {
      PlatSetErrno(PLAT_ENOMEM);
      return false;
    }
    return PlatWrite(h_, header.data(), header.size()) == static_cast<long>(header.size());
  }

  bool Flush() {
    if (nUsed_ == 0) return true;
    bool bOk = PlatWrite(h_, pBlock_, nUsed_) == static_cast<long>(nUsed_);
    nUsed_ = 0;
    return bOk;
  }

  // Bytes into the output block; a piece larger than the block goes straight out.
  bool Put(const char *p, std::size_t n) {
    if (nUsed_ + n > nBlock_) {
      if (!Flush()) return false;
      if (n > nBlock_) return PlatWrite(h_, p, n) == static_cast<long>(n);
    }
    std::memcpy(pBlock_ + nUsed_, p, n);
    nUsed_ += n;
    return true;
  }

  int Fail(What nWhat, const char *pszWhich, int nErr) {
    if (bAppend_) (void)PlatTruncate(h_, llBase_);
    PlatClose(h_);
    if (!bAppend_) (void)PlatUnlink(pszPath_);
    const char *pszWhat = nWhat == kHeader  ? "writing header to file"
                          : nWhat == kWrite ? "writing file"
                                            : "reading file";
    LogFileError("merge", __LINE__, pszWhat, pszWhich, nErr);
    return 0;
  }

  // The end: the block out, the data on the disk (with flushing on), closed.
  int Finish() {
    if (!Flush()) return Fail(kWrite, pszPath_, PlatErrno());
    if (MergeFlushToDisk.load() && PlatFsync(h_) != 0) return Fail(kWrite, pszPath_, PlatErrno());
    if (PlatClose(h_) != 0) {
      int nErr = PlatErrno();
      if (!bAppend_) (void)PlatUnlink(pszPath_);
      LogFileError("merge", __LINE__, "writing file", pszPath_, nErr);
      return 0;
    }
    return 1;
  }

  const char *Path() const { return pszPath_; }

 private:
  const char *pszPath_;
  bool bAppend_;
  long long llBase_;
  char *pBlock_;
  std::size_t nBlock_;
  std::size_t nUsed_ = 0;
  int h_ = -1;
};

// One line of a streamed file to the output: forward through the source to
// the line, then the line in pieces of what the reader holds (a line may be
// longer than its block). 1 = copied; 0 = failed (reported, output gone).
int CopyStreamedLine(Output &out, const LogFile &file, SourceReader &src, const LogLine &line) {
  std::uint64_t nAt = line.nOffset;
  std::size_t nLeft = line.nLen;
  while (nLeft > 0) {
    if (nAt < src.nStart) return out.Fail(Output::kRead, file.path.c_str(), PLAT_EIO);
    if (nAt >= src.nStart + src.nHave) {
      src.nStart += src.nHave;
      src.nHave = 0;
      long nRead = PlatRead(src.h, src.buf.data(), src.buf.size());
      if (nRead <= 0)
        return out.Fail(Output::kRead, file.path.c_str(), nRead < 0 ? PlatErrno() : PLAT_EIO);
      src.nHave = static_cast<std::size_t>(nRead);
      continue;
    }
    std::size_t nSkip = static_cast<std::size_t>(nAt - src.nStart);
    std::size_t k = std::min(nLeft, src.nHave - nSkip);
    if (!out.Put(src.buf.data() + nSkip, k)) return out.Fail(Output::kWrite, out.Path(), PlatErrno());
    nAt += k;
    nLeft -= k;
  }
  return 1;
}

// Every line of the set, each with its line feed. 1 = written; 0 = failed
// (reported, output gone).
int CopyLines(Output &out, const LogSet *pSet, std::vector<SourceReader> &readers) {
  for (const LogLine &line : pSet->vLines) {
    const LogFile &file = pSet->vFiles[line.nFile];
    if (file.pBlock) {
      if (!out.Put(file.pBlock.get() + line.nOffset, line.nLen))
        return out.Fail(Output::kWrite, out.Path(), PlatErrno());
    } else if (!CopyStreamedLine(out, file, readers[line.nFile], line)) {
      return 0;
    }
    if (!out.Put("\n", 1)) return out.Fail(Output::kWrite, out.Path(), PlatErrno());
  }
  return 1;
}

// bAppend: the lines (no header) go at the end of the existing file, which
// is cut back to llBase bytes when they cannot all be written.
int WriteOrAppend(const char *pszPath, int nCreateFlag, bool bAppend, long long llBase,
                  const LogSet *pSet, char *pszStatus, unsigned nStatusCap,
                  const MergeProgress *pProgress) {
  if (bAppend)
    LogInfo("merge", __LINE__, "Merge appending %ld records to %s",
            static_cast<long>(pSet->vLines.size()), pszPath);
  else
    LogInfo("merge", __LINE__, "Merge writing %s", pszPath);
  MergeStatus status{pszStatus, nStatusCap, pProgress, {}};
  ShowStatus(status, "Writing file %s", pszPath);

  // The output block: no larger than what is written.
  const bool bHeader = pSet->bHeader && !bAppend;
  std::uint64_t nTotal = bHeader ? pSet->header.size() + 1 : 0;
  for (const LogLine &line : pSet->vLines) nTotal += line.nLen + 1;
  const std::size_t nBlock =
      nTotal < kWriteBlock ? static_cast<std::size_t>(nTotal) + 1 : kWriteBlock;
  std::unique_ptr<char[]> block;
  std::vector<SourceReader> readers;
  try {
    block.reset(new char[nBlock]);
    readers.resize(pSet->vFiles.size());
  } catch (const std::bad_alloc &) {
    ReportNoMemory(nBlock);
    return 0;
  }
  if (!OpenSources(pSet, readers)) return 0;

  Output out(pszPath, bAppend, llBase, block.get(), nBlock);
  if (!out.Open(nCreateFlag)) return 0;
  if (bHeader && !out.PutHeader(pSet->header)) return out.Fail(Output::kHeader, pszPath, PlatErrno());
  if (!CopyLines(out, pSet, readers)) return 0;
  return out.Finish();
}

}  // namespace

int WriteLogSet(const char *pszPath, int nCreateFlag, const LogSet *pSet, char *pszStatus,
                unsigned nStatusCap, const MergeProgress *pProgress) {
  return WriteOrAppend(pszPath, nCreateFlag, false, 0, pSet, pszStatus, nStatusCap, pProgress);
}

int AppendLogSet(const char *pszPath, long long llBase, const LogSet *pSet, char *pszStatus,
                 unsigned nStatusCap, const MergeProgress *pProgress) {
  return WriteOrAppend(pszPath, 0, true, llBase, pSet, pszStatus, nStatusCap, pProgress);
}
