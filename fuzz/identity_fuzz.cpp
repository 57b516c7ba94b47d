// The identity read: ReadDasIdentity over real socket pairs. The input is
// the answer to the configuration request; after a form feed comes the
// answer to the second request that a 404 leads to. Whatever the unit sends:
// a failed or cut answer changes nothing; a serial number is taken only when
// the worker accepts it, and then has its directory; a refused one replaces
// nothing; no name shows a control character; and nothing is created but
// that one directory, nowhere else.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "download/download.h"
#include "fuzz/fuzz_common.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "platform/testhooks.h"
#include "util/text.h"

namespace fs = std::filesystem;


extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  EnterSandbox("identity");
  PlatMkdir("work");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *pData, std::size_t nSize) {
  if (nSize > 65536) return 0;
  std::string data(reinterpret_cast<const char *>(pData), nSize);
  std::size_t nSplit = data.find('\f');
  std::string first = data.substr(0, nSplit);
  std::string second = nSplit == std::string::npos ? "" : data.substr(nSplit + 1);

  // Only the working directory is to change; its parent holds a marker.
  fs::current_path("work");
  int nPeer1 = -1, nPeer2 = -1;
  FUZZ_CHECK(PlatQueueSocket(ServedConnection(first, &nPeer1)) == 0);
  FUZZ_CHECK(PlatQueueSocket(ServedConnection(second, &nPeer2)) == 0);

  DasRecord das{};
  CopyString(das.serialnumber, "OLDSERIAL", sizeof das.serialnumber);  // as listed
  CopyString(das.name, "old name", sizeof das.name);
  CopyString(das.ipaddress, "127.0.0.1", sizeof das.ipaddress);
  DownloadJob *pJob = AllocDownloadJob(&das, nullptr);
  FUZZ_CHECK(pJob);
  pJob->cState.store(JOB_RUNNING);
  int nOk = ReadDasIdentity(pJob);
  PlatClearSocketQueue();

  const std::string kOldSerial = "OLDSERIAL", kOldName = "old name";
  std::string serial = das.serialnumber, name = das.name;
  int nEntries = 0;
  for (auto &e : fs::directory_iterator(".")) {
    nEntries++;
    // The only thing made here: the directory of the serial number taken.
    FUZZ_CHECK(e.is_directory());
    FUZZ_CHECK(e.path().filename().string() == serial);
  }
  if (!nOk) {
    // A failed or cut answer changes nothing: a cut value is not the unit's.
    FUZZ_CHECK(serial == kOldSerial && name == kOldName);
    FUZZ_CHECK(nEntries == 0);
  } else if (pJob->bSerialRefused) {
    FUZZ_CHECK(serial == kOldSerial);
    FUZZ_CHECK(nEntries == 0);
  } else if (serial != kOldSerial) {
    // A serial number taken is one the worker accepts, and has its directory.
    FUZZ_CHECK(IsValidSerialNumber(serial.c_str()));
    FUZZ_CHECK(nEntries == 1);
  }
  // Never a name of the program's files, in any case, nor a path.
  for (const char *pszBad : {"errorlog.txt", "ERRORLOG.TXT", "daslist.txt.", "tandreldl.lock"})
    FUZZ_CHECK(serial != pszBad);
  FUZZ_CHECK(serial.find_first_of("/\\") == std::string::npos);
  // What the list shows and saves holds no control character.
  for (const std::string *p : {&serial, &name})
    for (char c : *p) FUZZ_CHECK((unsigned char)c >= 0x20 && c != 0x7f);
  fs::current_path("..");
  int nOutside = 0;
  for (auto &e : fs::directory_iterator(".")) nOutside += e.path().filename() != "work";
  FUZZ_CHECK(nOutside == 0);

  FreeDownloadJob(pJob);
  ::close(nPeer1);
  ::close(nPeer2);
  ClearCurrentDir();
  PlatMkdir("work");
  return 0;
}
