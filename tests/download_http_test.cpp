// The HTTP client's pieces: the Base64 encoder, the address field, the
// socket line reader, the header parser and the temporary file names.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "download/download.h"
#include "platform/file.h"
#include "platform/sock.h"
#include "tests/support/download_fixture.h"

namespace fs = std::filesystem;

namespace {

std::string Encode(const std::string &in, int *pnOut = nullptr) {
  char buf[256];
  std::memcpy(buf, in.data(), in.size());
  std::memset(buf + in.size(), 'X', sizeof buf - in.size());
  int nOut = -1;
  char *pEnd = EncodeBase64InPlace(buf, (int)in.size(), &nOut);
  EXPECT_EQ(pEnd, buf + nOut);
  EXPECT_EQ(*pEnd, 0);
  if (pnOut) *pnOut = nOut;
  return std::string(buf, (size_t)nOut);
}

TEST(EncodeBase64, LengthsZeroToFive) {
  int n = 0;
  EXPECT_EQ(Encode("", &n), "\r\n");
  EXPECT_EQ(n, 2);
  EXPECT_EQ(Encode("a", &n), "YQ==\r\n");
  EXPECT_EQ(n, 6);
  EXPECT_EQ(Encode("ab", &n), "YWI=\r\n");
  EXPECT_EQ(Encode("abc", &n), "YWJj\r\n");
  EXPECT_EQ(n, 6);
  EXPECT_EQ(Encode("abcd", &n), "YWJjZA==\r\n");
  EXPECT_EQ(n, 10);
  EXPECT_EQ(Encode("abcde", &n), "YWJjZGU=\r\n");
}

TEST(EncodeBase64, InPlaceMatchesReferenceForEveryByteValue) {
  // Back-to-front encoding must not read bytes it has already overwritten;
  // high bytes must not sign-extend.
  std::string all;
  for (int i = 0; i < 150; ++i) all += (char)(255 - i);
  for (size_t len = 0; len <= all.size(); len += 7) {
    std::string in = all.substr(0, len);
    EXPECT_EQ(Encode(in), SimBase64(in) + "\r\n") << "length " << len;
  }
}

TEST(EncodeBase64, LongestPasswordGivesA75ByteAuthorizationLine) {
  std::string cred = "admin:" + std::string(31, 'p');
  int n = 0;
  std::string enc = Encode(cred, &n);
  EXPECT_EQ(n, 52 + 2);
  EXPECT_EQ(std::string("Authorization: Basic ").size() + enc.size(), 21u + 52 + 2);
}

// The address field's forms, each with and without a port; what the
// system's own reader would take another way is refused, and a bad port
// is told apart from a bad address.
TEST(UnitAddress, FormsPortsAndRefusals) {
  const std::vector<unsigned char> kV6Loop = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const std::vector<unsigned char> kV6Doc = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                             0,    0,    0,    0,    0, 0, 0, 0x42};
  const std::vector<unsigned char> kV6Mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 7};
  const std::vector<unsigned char> kV6Full = {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8};
  struct Row {
    const char *pszText;
    int nKind;
    const char *pszHost;
    unsigned short nPort;
    std::string v4;                   // dotted, for the IPv4 kind
    std::vector<unsigned char> v6;    // for the IPv6 kind
  } rows[] = {
      {"192.168.1.20", UNIT_ADDR_IPV4, "192.168.1.20", 80, "192.168.1.20", {}},
      {"10.0.0.7:8081", UNIT_ADDR_IPV4, "10.0.0.7", 8081, "10.0.0.7", {}},
      // Zero-padded as people type them: decimal, never octal.
      {"192.168.001.010", UNIT_ADDR_IPV4, "192.168.001.010", 80, "192.168.1.10", {}},
      {" 010.000.000.099", UNIT_ADDR_IPV4, "010.000.000.099", 80, "10.0.0.99", {}},
      {"  10.0.0.7:8081\t", UNIT_ADDR_IPV4, "10.0.0.7", 8081, "10.0.0.7", {}},
      {"unit.example", UNIT_ADDR_NAME, "unit.example", 80, "", {}},
      {"localhost:8080", UNIT_ADDR_NAME, "localhost", 8080, "", {}},
      {" das-7.site.lan. :81 ", UNIT_ADDR_NAME, "das-7.site.lan.", 81, "", {}},
      {"x1.a2b", UNIT_ADDR_NAME, "x1.a2b", 80, "", {}},
      {"[::1]", UNIT_ADDR_IPV6, "[::1]", 80, "", kV6Loop},
      {"[::1]:65535", UNIT_ADDR_IPV6, "[::1]", 65535, "", kV6Loop},
      {" [2001:DB8::42]:8080 ", UNIT_ADDR_IPV6, "[2001:DB8::42]", 8080, "", kV6Doc},
      {"[::ffff:10.0.0.7]", UNIT_ADDR_IPV6, "[::ffff:10.0.0.7]", 80, "", kV6Mapped},
      {"[1:2:3:4:5:6:7:8]", UNIT_ADDR_IPV6, "[1:2:3:4:5:6:7:8]", 80, "", kV6Full},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.pszText);
    UnitAddress ua;
    ASSERT_EQ(ParseUnitAddress(r.pszText, &ua), 1);
    EXPECT_EQ(ua.nKind, r.nKind);
    EXPECT_STREQ(ua.szHost, r.pszHost);
    EXPECT_EQ(ua.nPort, r.nPort);
    if (r.nKind == UNIT_ADDR_NAME) continue;
    EXPECT_EQ(ua.addr.nPort, r.nPort);
    if (r.nKind == UNIT_ADDR_IPV4) {
      EXPECT_EQ(ua.addr.nFamily, PLAT_AF_INET);
      in_addr_t a = inet_addr(r.v4.c_str());
      EXPECT_EQ(std::memcmp(ua.addr.abAddr, &a, 4), 0);
    } else {
      EXPECT_EQ(ua.addr.nFamily, PLAT_AF_INET6);
      EXPECT_EQ(std::vector<unsigned char>(ua.addr.abAddr, ua.addr.abAddr + 16), r.v6);
    }
  }
  for (const char *bad : {"10.0.0.7:", "10.0.0.7:0", "10.0.0.7:65536", "10.0.0.7:80x",
                          "10.0.0.7:-1", "10.0.0.7: 80", "unit.example:99999", "[::1]:0",
                          "[::1]:", "localhost:+80"}) {
    UnitAddress ua;
    EXPECT_EQ(ParseUnitAddress(bad, &ua), 0) << bad;
    EXPECT_EQ(ua.bBadPort, 1) << bad;
  }
  for (const char *bad :
       {"", "1.2.3.4.5", "127.1", "0x7f.0.0.1", "2130706433", "1.2.3.256", "1.2.3.0010", "1..2.3",
        "1.2.3.", "+1.2.3.4", "1.2.3.4 x", "255.255.255.255", "1.2.3.0x4", "unit..example",
        "-unit.example", "unit-.example", "unit_1.example", "unit.example/x", ".example", "::1",
        "::1:80", "[::1", "[]", "[::1]x", "[1::2::3]", "[1:2:3:4:5:6:7:8:9]", "[12345::1]",
        "[fe80::1%eth0]", "[::1:]", "[1:2:3:4:5:6:7]", "[::1.2.3]", "[unit.example]",
        "unit.123", "10.0.0.7:80:81", "bad:port:x"}) {
    UnitAddress ua;
    EXPECT_EQ(ParseUnitAddress(bad, &ua), 0) << bad;
    EXPECT_EQ(ua.nKind, UNIT_ADDR_NONE) << bad;
    EXPECT_EQ(ua.bBadPort, 0) << bad;
  }
}

// A unit that answers one path with raw bytes, and a job to ask it with.
class HttpGetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartLog();
    std::memset(&das, 0, sizeof das);
    CopyString(das.password, "qexal", sizeof das.password);
    CopyString(das.ipaddress, sim.Address().c_str(), sizeof das.ipaddress);
    pJob = AllocDownloadJob(&das, nullptr);
    // The cases change the unit's address after the job is made: the job
    // works on the fixture's record itself.
    pJob->pDas = &das;
    pJob->cState.store(JOB_RUNNING);
  }
  void TearDown() override {
    CloseJobSocket(pJob->sockFile);
    FreeDownloadJob(pJob);
  }
  int Get(const std::string &raw, int *pnStatus) {
    SimSetRawResponse(sim.p, "/x", raw);
    return HttpGet("/x", pJob, &pJob->sockFile, pnStatus);
  }
  std::string Body() {
    std::string out;
    char buf[300];
    while (RecvLine(&pJob->sockFile, buf, sizeof buf)) out += std::string(buf) + "|";
    return out;
  }

  TempDir dir;
  SimUnit sim{SimConfig{}};
  DasRecord das;
  DownloadJob *pJob = nullptr;
};

TEST_F(HttpGetTest, StatusIsReportedNotJudged) {
  int nStatus = -1;
  EXPECT_EQ(Get("HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n\r\nnope\n", &nStatus), 1);
  EXPECT_EQ(nStatus, 404);
  EXPECT_EQ(Body(), "nope|");
  EXPECT_EQ(SimRequests(sim.p).back(), ExpectedRequest("/x", "qexal"));
}

TEST_F(HttpGetTest, HeaderEndingInLfLfIsAccepted) {
  int nStatus = -1;
  EXPECT_EQ(Get("HTTP/1.0 200 OK\nServer: unit\n\nfirst\nsecond", &nStatus), 1);
  EXPECT_EQ(nStatus, 200);
  EXPECT_EQ(Body(), "first|second|");  // the body starts right after the blank line
}

TEST_F(HttpGetTest, StatusLineWithoutCodeLeavesResultAlone) {
  int nStatus = -1;
  EXPECT_EQ(Get("HTTP/1.0\r\n\r\nbody", &nStatus), 1);
  EXPECT_EQ(nStatus, 0);
  EXPECT_EQ(Get("HTTP/1.0  200 OK\r\n\r\nbody", &nStatus), 1);
  EXPECT_EQ(nStatus, 0);  // two blanks: the second field is empty
  EXPECT_EQ(Get("HTTP/1.0 500 Oops\r\nHTTP/1.1 200 OK\r\n\r\n", &nStatus), 1);
  EXPECT_EQ(nStatus, 200);  // the last status line wins
}

TEST_F(HttpGetTest, Answer401IsReportedOnceAndStillReturned) {
  int nStatus = 0;
  EXPECT_EQ(Get("HTTP/1.0 401 Unauthorized\r\n\r\n", &nStatus), 1);
  EXPECT_EQ(nStatus, 401);
  auto msgs = LogMessages("download");
  EXPECT_EQ(std::count(msgs.begin(), msgs.end(),
                       "DAS responded with 401 Access Denied.\n(admin password incorrect)"),
            1);
}

TEST_F(HttpGetTest, ConnectionClosedInsideHeaderFails) {
  int nStatus = 0;
  EXPECT_EQ(Get("HTTP/1.0 200 OK\r\n", &nStatus), 0);
  EXPECT_EQ(nStatus, 200);
  EXPECT_EQ(LogMessages("download").back(),
            "URL request failed, no seperator between http header and body found.");
  // Cut one byte into the next line, or after a lone CR: no empty line came.
  for (const char *pszCut : {"HTTP/1.0 200 OK\r\nX", "HTTP/1.0 200 OK\r\n\r", "HTTP/1.0 200 OK\r\n\rX"}) {
    CloseJobSocket(pJob->sockFile);
    EXPECT_EQ(Get(pszCut, &nStatus), 0) << pszCut;
  }
}

TEST_F(HttpGetTest, LongHeaderLineIsOneLine) {
  // A 300-byte line is one line, counted with its LF, never a line of 255
  // bytes and another one.
  std::string raw = "HTTP/1.0 200 OK\n" + std::string(300, 'h') + "\n\nbody";
  int nStatus = 0;
  EXPECT_EQ(Get(raw, &nStatus), 1);
  EXPECT_EQ(pJob->ulBytes, 16u + 301 + 1);
  EXPECT_EQ(Body(), "body|");
}

TEST_F(HttpGetTest, RecvLineKeepsCrAndSplitsAtCapacity) {
  int nStatus = 0;
  ASSERT_EQ(Get("HTTP/1.0 200 OK\r\n\r\nab\r\n\ncdefg", &nStatus), 1);
  char buf[4];
  EXPECT_EQ(RecvLine(&pJob->sockFile, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "ab\r");
  EXPECT_EQ(RecvLine(&pJob->sockFile, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "");  // the LF not yet read after a full piece
  EXPECT_EQ(RecvLine(&pJob->sockFile, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "");  // the empty line
  EXPECT_EQ(RecvLine(&pJob->sockFile, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "cde");
  EXPECT_EQ(RecvLine(&pJob->sockFile, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "fg");  // last line without LF
  EXPECT_EQ(RecvLine(&pJob->sockFile, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  // After the close a closed slot fails at once too.
  CloseJobSocket(pJob->sockFile);
  EXPECT_EQ(RecvLine(&pJob->sockFile, buf, sizeof buf), 0);
}

TEST_F(HttpGetTest, CancelDuringHeaderReturnsSilently) {
  SimSetStallBody(sim.p, "/x", -1);  // request read, never answered
  std::thread canceller([&] {
    WaitFor([&] { return !SimRequests(sim.p).empty(); }, 10000);
    pJob->cState.store(JOB_CANCELLED);
    CloseJobSocket(pJob->sockFile);
  });
  int nStatus = -1;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(HttpGet("/x", pJob, &pJob->sockFile, &nStatus), 0);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(15));  // not the 20 s timeout
  EXPECT_EQ(nStatus, 0);
  EXPECT_EQ(LogMessages("download").back(), "Sending URL request /x");
  EXPECT_EQ(pJob->sockFile.load(), INVALID_SOCKET);
}

TEST_F(HttpGetTest, CancelledJobMakesNoConnection) {
  pJob->cState.store(JOB_CANCELLED);
  int nStatus = -1;
  EXPECT_EQ(HttpGet("/x", pJob, &pJob->sockFile, &nStatus), 0);
  EXPECT_TRUE(SimRequests(sim.p).empty());
}

TEST_F(HttpGetTest, NullStatusSlotIsRefused) {
  EXPECT_EQ(HttpGet("/x", pJob, &pJob->sockFile, nullptr), 0);
  EXPECT_EQ(pJob->sockFile.load(), INVALID_SOCKET);
  EXPECT_EQ(LogMessages("download").back(), "nHttpResult is NULL");
}

TEST_F(HttpGetTest, UnreachableUnitIsReportedWithTheAddressAsGiven) {
  CopyString(das.ipaddress, "127.0.0.1:1", sizeof das.ipaddress);
  int nStatus = -1;
  EXPECT_EQ(HttpGet("/x", pJob, &pJob->sockFile, &nStatus), 0);
  auto msgs = LogMessages("download");
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0], "Connecting to 127.0.0.1:1");
  EXPECT_EQ(msgs[1], "connect socket failed to 127.0.0.1:1 (connection refused)");
  EXPECT_STREQ(pJob->szFilename, "connecting to 127.0.0.1:1");
}

// A unit known by name is looked up at the connect, and its requests carry
// the name in a Host line (with a port other than 80) for a web server in
// front of it; four numbers go without one, as they always have.
TEST_F(HttpGetTest, NamedUnitIsResolvedAndNamedInTheHostLine) {
  const std::string port = std::to_string(sim.Port());
  struct Row {
    std::string address, host;
  } rows[] = {{"localhost:" + port, "localhost:" + port},
              {" localhost :" + port + " ", "localhost:" + port},
              {"127.0.0.1:" + port, ""}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.address);
    StartLog();
    SimClearRequests(sim.p);
    CopyString(das.ipaddress, r.address.c_str(), sizeof das.ipaddress);
    int nStatus = -1;
    EXPECT_EQ(Get("HTTP/1.0 200 OK\r\n\r\nhi\n", &nStatus), 1);
    EXPECT_EQ(nStatus, 200);
    EXPECT_EQ(Body(), "hi|");
    CloseJobSocket(pJob->sockFile);
    ASSERT_EQ(SimRequests(sim.p).size(), 1u);
    EXPECT_EQ(SimRequests(sim.p)[0], ExpectedRequest("/x", "qexal", r.host));
    EXPECT_EQ(LogHas("Connecting to 127.0.0.1:" + port + " for " + std::string(das.ipaddress)),
              !r.host.empty());
    EXPECT_EQ(pJob->nConnectFailure, CONNECT_OK);
  }
}

// Why a unit could not be reached is kept for its summary line, and the
// error entry keeps its words with the reason after them.
TEST_F(HttpGetTest, UnreachableUnitsAreToldApart) {
  struct Row {
    std::string address, entry;
    int nFailure;
  } rows[] = {
      {"127.0.0.1:1", "connect socket failed to 127.0.0.1:1 (connection refused)", CONNECT_REFUSED},
      {"localhost:1", "connect socket failed to localhost:1 (connection refused)", CONNECT_REFUSED},
      {"das-1.unit.invalid", "Host name [das-1.unit.invalid] of DAS DAS000000001 not found",
       CONNECT_NO_NAME},
      {"1.2.3:80", "connect socket failed to 1.2.3:80", CONNECT_FAILED},
  };
  CopyString(das.serialnumber, "DAS000000001", sizeof das.serialnumber);
  for (const Row &r : rows) {
    SCOPED_TRACE(r.address);
    StartLog();
    CopyString(das.ipaddress, r.address.c_str(), sizeof das.ipaddress);
    int nStatus = -1;
    EXPECT_EQ(HttpGet("/x", pJob, &pJob->sockFile, &nStatus), 0);
    CloseJobSocket(pJob->sockFile);
    EXPECT_EQ(LogMessages("download").back(), r.entry);
    EXPECT_EQ(ErrorLogErrorCount(), 1);
    EXPECT_EQ(pJob->nConnectFailure, r.nFailure);
  }
  EXPECT_TRUE(SimRequests(sim.p).empty());
}

TEST_F(HttpGetTest, BodyEndsAreToldApart) {
  // The unit's own close ends a body completely; a receive timeout (here
  // shortened) is a failure, whatever arrived before it is written.
  int nStatus = 0;
  ASSERT_EQ(Get("HTTP/1.0 200 OK\r\n\r\n" + std::string(10000, 'x'), &nStatus), 1);
  WriteFileBytes("a.bin", "");
  int h = PlatOpen("a.bin", P_O_WRONLY | P_O_BINARY);
  std::uint32_t nBefore = pJob->ulBytes;
  EXPECT_EQ(ReceiveBody(pJob, &pJob->sockFile, h, 4096), BODY_COMPLETE);
  PlatClose(h);
  EXPECT_EQ(ReadFileBytes("a.bin"), std::string(10000, 'x'));
  EXPECT_EQ(pJob->ulBytes - nBefore, 10000u);
  CloseJobSocket(pJob->sockFile);

  SimClearFaults(sim.p, "/x");
  SimSetBody(sim.p, "/x", std::string(5000, 'y'));
  SimSetStallBody(sim.p, "/x", 3000);
  ASSERT_EQ(HttpGet("/x", pJob, &pJob->sockFile, &nStatus), 1);
  PlatSetRecvTimeout(pJob->sockFile.load(), 200);
  h = PlatOpen("b.bin", P_O_WRONLY | P_O_CREAT | P_O_BINARY, P_S_IREAD | P_S_IWRITE);
  EXPECT_EQ(ReceiveBody(pJob, &pJob->sockFile, h, 1024), BODY_FAILED);
  PlatClose(h);
  EXPECT_EQ(ReadFileBytes("b.bin"), std::string(3000, 'y'));
}

TEST_F(HttpGetTest, CancelBetweenBlocksStopsTheBody) {
  SimSetBody(sim.p, "/x", std::string(50000, 'z'));
  int nStatus = 0;
  ASSERT_EQ(HttpGet("/x", pJob, &pJob->sockFile, &nStatus), 1);
  pJob->cState.store(JOB_CANCELLED);  // the socket stays open: only the state says stop
  int h = PlatOpen("c.bin", P_O_WRONLY | P_O_CREAT | P_O_BINARY, P_S_IREAD | P_S_IWRITE);
  EXPECT_EQ(ReceiveBody(pJob, &pJob->sockFile, h, 4096), BODY_CANCELLED);
  PlatClose(h);
  EXPECT_LE(ReadFileBytes("c.bin").size(), 4096u);  // one block at most
}

TEST(JobStatus, StatusLineIsCutTo63Characters) {
  DasRecord das{};
  DownloadJob *pJob = AllocDownloadJob(&das, nullptr);
  EXPECT_EQ(pJob->cState.load(), JOB_CREATED);
  EXPECT_EQ(pJob->sockFile.load(), INVALID_SOCKET);
  EXPECT_EQ(pJob->sockQuery.load(), INVALID_SOCKET);
  EXPECT_EQ(pJob->ulBytes, 0u);
  EXPECT_STREQ(pJob->szFilename, "");
  SetJobStatus(pJob, "%s", std::string(70, 's').c_str());
  EXPECT_EQ(std::string(pJob->szFilename), std::string(63, 's'));
  CloseJobSocket(pJob->sockFile);  // empty slot: nothing happens
  EXPECT_EQ(pJob->sockFile.load(), INVALID_SOCKET);
  FreeDownloadJob(pJob);
}

TEST(TempLogFile, TakesTheFirstFreeNumber) {
  TempDir dir;
  StartLog();
  fs::create_directories("DAS000000001/temp");
  WriteFileBytes("DAS000000001/temp/mb-001.0.tmp", "old0");
  WriteFileBytes("DAS000000001/temp/mb-001.1.tmp", "old1");
  char szPath[32];
  int h = -1;
  ASSERT_EQ(CreateTempLogFile("DAS000000001", 1, szPath, sizeof szPath, &h), 1);
  EXPECT_STREQ(szPath, "DAS000000001\\temp\\mb-001.2.tmp");
  EXPECT_EQ(PlatWrite(h, "a\nb", 3), 3);  // binary: no CR added
  PlatClose(h);
  EXPECT_EQ(ReadFileBytes("DAS000000001/temp/mb-001.2.tmp"), "a\nb");
  EXPECT_EQ(ReadFileBytes("DAS000000001/temp/mb-001.0.tmp"), "old0");
  EXPECT_EQ(LogMessages("download").back(), "Created temp file DAS000000001\\temp\\mb-001.2.tmp");

  // Another device starts at 0; the temp directory is made when missing.
  fs::create_directories("DAS000000002");
  ASSERT_EQ(CreateTempLogFile("DAS000000002", 17, szPath, sizeof szPath, &h), 1);
  PlatClose(h);
  EXPECT_STREQ(szPath, "DAS000000002\\temp\\mb-017.0.tmp");
  EXPECT_TRUE(FileExists("DAS000000002/temp/mb-017.0.tmp"));
}

TEST(TempLogFile, MissingUnitDirectoryIsReported) {
  TempDir dir;
  StartLog();
  char szPath[32];
  int h = 5;
  EXPECT_EQ(CreateTempLogFile("DAS000000009", 2, szPath, sizeof szPath, &h), 0);
  EXPECT_LT(h, 0);
  EXPECT_FALSE(FileExists("DAS000000009"));  // only the temp level is ever made here
  EXPECT_EQ(LogMessages("download").back(),
            "Error creating file DAS000000009\\temp\\mb-002.0.tmp, got " +
                std::to_string(PLAT_ENOENT) + " " + PlatStrError(PLAT_ENOENT));
}

}  // namespace
