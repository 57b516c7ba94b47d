// The simulated unit, exercised as a client sees it: plain loopback sockets,
// one request per connection, the body read until the unit closes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "tests/support/http_client.h"
#include "tests/support/program.h"
#include "tests/support/sim_unit.h"
#include "tests/support/testutil.h"
#include "tests/support/wait.h"
#include "tools/das-sim/sim.h"

namespace {

// A request with a user agent line, as the program's requests have one; the
// unit's raw request log is compared with it.
std::string Request(const std::string &path, const std::string &password = "qexal") {
  std::string req = LoopbackRequest(path, password);
  return req.insert(req.size() - 2, "User-Agent: test\r\n");
}

using Reply = LoopbackReply;

Reply GetAt(int nPort, const std::string &path, const std::string &request = "") {
  return LoopbackSend(nPort, request.empty() ? Request(path) : request);
}

Reply Get(SimServer *pSim, const std::string &path, const std::string &request = "") {
  return GetAt(SimPort(pSim), path, request);
}

const std::string kCgi = "/setup/logexport.cgi?";

}  // namespace

TEST(DasSimAuth, OnlyAdminWithThePasswordIsServed) {
  SimUnit s;
  ASSERT_NE(s.p, nullptr);
  EXPECT_EQ(Get(s.p, kCgi + "MB=0").nStatus, 200);
  Reply r = Get(s.p, "", Request(kCgi + "MB=0", "wrong"));
  EXPECT_EQ(r.nStatus, 401);
  EXPECT_EQ(r.head,
            "HTTP/1.0 401 Unauthorized\r\nContent-Type: text/plain\r\nContent-Length: 42\r\n");
  EXPECT_FALSE(r.body.empty());
  EXPECT_EQ(Get(s.p, "", "GET " + kCgi + "MB=0 HTTP/1.0\r\n\r\n").nStatus, 401);
  // "user:qexal" is not "admin:qexal".
  EXPECT_EQ(Get(s.p, "", "GET " + kCgi + "MB=0 HTTP/1.0\r\nAuthorization: Basic " +
                             SimBase64("user:qexal") + "\r\n\r\n").nStatus, 401);
  // A header ended by bare LFs is accepted too.
  EXPECT_EQ(Get(s.p, "", "GET " + kCgi + "MB=0 HTTP/1.0\nAuthorization: Basic " +
                             SimBase64("admin:qexal") + "\n\n").nStatus, 200);
  EXPECT_EQ(SimBase64("admin:qexal"), "YWRtaW46cWV4YWw=");
  EXPECT_EQ(SimBase64("ab"), "YWI=");
}

TEST(DasSimMulti, ServesIdentityDeviceListLogsAndConfigs) {
  SimConfig cfg;
  cfg.serial = "\"ABC123\"";
  cfg.name = "Roof, east";
  cfg.devices = {1, 2, 300};
  cfg.nRecords = 3;
  SimUnit s(cfg);
  ASSERT_NE(s.p, nullptr);

  Reply c = Get(s.p, kCgi + "CFG=loggerconfig.ini");
  EXPECT_EQ(c.nStatus, 200);
  EXPECT_NE(c.body.find("\nSERIALNUMBER=\"ABC123\"\n"), std::string::npos) << c.body;
  EXPECT_NE(c.body.find("\nLOOPNAME=Roof, east\n"), std::string::npos);
  EXPECT_EQ(c.body.find('\r'), std::string::npos);

  Reply l = Get(s.p, kCgi + "MB=0");
  EXPECT_EQ(l.nStatus, 200);
  EXPECT_EQ(l.body.substr(0, l.body.find('\n')), "Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL");
  EXPECT_NE(l.body.find("\n001,\"Meter 1\","), std::string::npos);
  EXPECT_NE(l.body.find("\n002,\"Meter 2\","), std::string::npos);
  EXPECT_NE(l.body.find("\n300,\"Meter 300\","), std::string::npos);

  Reply g = Get(s.p, kCgi + "MB=2");
  EXPECT_EQ(g.nStatus, 200);
  EXPECT_EQ(g.body, SimLogBody(s.p, 2));
  EXPECT_EQ(g.body.rfind("time,", 0), 0u);
  EXPECT_NE(g.body.find("\n2026-12-01 00:02:00,"), std::string::npos);
  EXPECT_EQ(static_cast<long>(g.body.size()), SimHeaderBytes(cfg) + 3 * SimRecordBytes(cfg));
  EXPECT_NE(Get(s.p, kCgi + "MB=1").body, g.body);  // devices differ in values

  EXPECT_NE(Get(s.p, kCgi + "CFG=mb-002.ini").body.find("MODBUSID=2"), std::string::npos);
  EXPECT_EQ(Get(s.p, kCgi + "CFG=mb-003.ini").nStatus, 404);  // not listed
  EXPECT_EQ(Get(s.p, kCgi + "MB=3").nStatus, 404);
  EXPECT_EQ(Get(s.p, kCgi + "MB=2x").nStatus, 404);
  EXPECT_EQ(Get(s.p, "/loggerconfig.ini").nStatus, 404);
  EXPECT_EQ(Get(s.p, "/mb-001.log").nStatus, 404);
  EXPECT_EQ(Get(s.p, "/").nStatus, 404);
}

TEST(DasSimSingle, ServesFixedNamesAndRefusesSetup) {
  SimConfig cfg;
  cfg.nKind = 2;
  cfg.devices = {5, 6};  // ignored: a single meter is device 1
  cfg.nRecords = 2;
  cfg.bCrlfConfig = true;
  cfg.bCrlfLog = true;
  cfg.cTimeQuote = '\'';
  SimUnit s(cfg);
  ASSERT_NE(s.p, nullptr);
  EXPECT_EQ(Get(s.p, kCgi + "MB=0").nStatus, 404);
  EXPECT_EQ(Get(s.p, kCgi + "CFG=loggerconfig.ini").nStatus, 404);
  Reply c = Get(s.p, "/loggerconfig.ini");
  EXPECT_EQ(c.nStatus, 200);
  EXPECT_NE(c.body.find("\r\nSERIALNUMBER=DAS000000001\r\n"), std::string::npos);
  Reply g = Get(s.p, "/mb-001.log");
  EXPECT_EQ(g.nStatus, 200);
  EXPECT_NE(g.body.find("\r\n'2026-12-01 00:01:00',"), std::string::npos) << g.body;
  EXPECT_EQ(g.body.substr(g.body.size() - 2), "\r\n");
  EXPECT_EQ(Get(s.p, "/mb-001.ini").nStatus, 200);
  EXPECT_EQ(Get(s.p, "/deletelog.cgi").nStatus, 200);
  EXPECT_EQ(SimLogRecords(s.p, 1), 0);
  EXPECT_EQ(SimLogRecords(s.p, 5), -1);
}

TEST(DasSimDelete, RemovesOnlyWhatWasHandedOver) {
  SimConfig cfg;
  cfg.nRecords = 10;
  SimUnit s(cfg);
  ASSERT_NE(s.p, nullptr);
  // No download yet: nothing was handed over, nothing goes.
  EXPECT_EQ(Get(s.p, "/setup/statlog.cgi?DELMBZIPLOG=1").nStatus, 200);
  EXPECT_EQ(SimLogRecords(s.p, 1), 10);

  Get(s.p, kCgi + "MB=1");
  SimAdvance(s.p, 4);  // recorded between the download and the delete
  EXPECT_EQ(Get(s.p, "/setup/statlog.cgi?DELMBZIPLOG=1").nStatus, 200);
  EXPECT_EQ(SimDeleteCount(s.p, 1), 2);
  EXPECT_EQ(SimLogRecords(s.p, 1), 4);
  EXPECT_EQ(SimLogRecords(s.p, 2), 14);  // other device untouched
  Reply g = Get(s.p, kCgi + "MB=1");
  EXPECT_EQ(g.body, SimLogBody(s.p, 1));
  EXPECT_EQ(g.body.substr(SimHeaderBytes(cfg)), SimRecordLine(cfg, 1, 10) + SimRecordLine(cfg, 1, 11) +
                                                     SimRecordLine(cfg, 1, 12) + SimRecordLine(cfg, 1, 13));
  EXPECT_EQ(Get(s.p, "/setup/statlog.cgi?DELMBZIPLOG=9").nStatus, 404);
}

TEST(DasSimFaults, StatusBodyRawAndGenerated) {
  SimUnit s;
  ASSERT_NE(s.p, nullptr);
  SimSetStatus(s.p, kCgi + "MB=1", 500);
  EXPECT_EQ(Get(s.p, kCgi + "MB=1").nStatus, 500);
  EXPECT_EQ(Get(s.p, kCgi + "MB=2").nStatus, 200);
  SimClearFaults(s.p, kCgi + "MB=1");
  EXPECT_EQ(Get(s.p, kCgi + "MB=1").nStatus, 200);

  SimSetBody(s.p, "/odd", "x\ny\n");
  Reply b = Get(s.p, "/odd");
  EXPECT_EQ(b.nStatus, 200);
  EXPECT_EQ(b.body, "x\ny\n");

  SimSetRawResponse(s.p, "/raw", "HTTP/1.1 200 OK\nX: y\n\nbody");
  int fd = LoopbackConnect(SimPort(s.p));
  std::string req = Request("/raw");
  send(fd, req.data(), req.size(), 0);
  EXPECT_EQ(LoopbackReadAll(fd), "HTTP/1.1 200 OK\nX: y\n\nbody");
  close(fd);
  EXPECT_EQ(Get(s.p, "", Request("/raw", "bad")).nStatus, 401);  // auth first

  SimSetGeneratedBody(s.p, "/big", 1000000);
  Reply g = Get(s.p, "/big");
  EXPECT_GE(g.body.size(), 1000000u);
  EXPECT_LT(g.body.size(), 1000000u + 200);
  EXPECT_EQ(g.body.back(), '\n');
  EXPECT_EQ(g.body.rfind("time,", 0), 0u);
  SimClearFaults(s.p, "");
  EXPECT_EQ(Get(s.p, "/big").nStatus, 404);
}

TEST(DasSimFaults, CutSlowAndStall) {
  SimUnit s;
  ASSERT_NE(s.p, nullptr);
  const std::string full = SimLogBody(s.p, 1);

  SimSetCutBody(s.p, kCgi + "MB=1", 1000);
  Reply c = Get(s.p, kCgi + "MB=1");
  EXPECT_EQ(c.nStatus, 200);
  EXPECT_EQ(c.body, full.substr(0, 1000));

  SimSetCutBody(s.p, kCgi + "MB=2", 100, true);
  int fd = LoopbackConnect(SimPort(s.p));
  std::string req = Request(kCgi + "MB=2");
  send(fd, req.data(), req.size(), 0);
  bool bClosed, bError;
  std::string raw = LoopbackReadAll(fd, 5000, &bClosed, &bError);
  close(fd);
  EXPECT_TRUE(bError || bClosed);
  EXPECT_LE(ParseReply(raw).body.size(), 100u);

  SimSetSlowBody(s.p, kCgi + "CFG=loggerconfig.ini", 7, 5);
  Reply w = Get(s.p, kCgi + "CFG=loggerconfig.ini");
  EXPECT_NE(w.body.find("SERIALNUMBER=DAS000000001\n"), std::string::npos);

  // A stalled body keeps the connection open after its bytes...
  SimSetStallBody(s.p, kCgi + "MB=1", 500);
  fd = LoopbackConnect(SimPort(s.p));
  req = Request(kCgi + "MB=1");
  send(fd, req.data(), req.size(), 0);
  raw = LoopbackReadAll(fd, 500, &bClosed);
  EXPECT_FALSE(bClosed);
  EXPECT_EQ(ParseReply(raw).body, full.substr(0, 500));
  // ...and the stop still ends it, closing the connection.
  auto t0 = std::chrono::steady_clock::now();
  SimStop(s.p);
  s.p = nullptr;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  LoopbackReadAll(fd, 3000, &bClosed, &bError);
  EXPECT_TRUE(bClosed || bError);
  close(fd);
}

TEST(DasSimFaults, StallBeforeHeaderAnswersNothing) {
  SimUnit s;
  ASSERT_NE(s.p, nullptr);
  SimSetStallBody(s.p, kCgi + "MB=0", -1);
  int fd = LoopbackConnect(SimPort(s.p));
  std::string req = Request(kCgi + "MB=0");
  send(fd, req.data(), req.size(), 0);
  bool bClosed;
  EXPECT_EQ(LoopbackReadAll(fd, 300, &bClosed), "");
  EXPECT_FALSE(bClosed);
  close(fd);
}

// Chunked framing, compression and an unknown coding, as the wire shows them.
TEST(DasSimEncodings, ChunkedGzipDeflateAndUnknownCodings) {
  SimConfig cfg;
  cfg.nRecords = 50;
  SimUnit s(cfg);
  ASSERT_NE(s.p, nullptr);
  const std::string list = Get(s.p, kCgi + "MB=0").body, log = SimLogBody(s.p, 1);

  SimSetChunked(s.p, kCgi + "MB=0", 5, true, true);
  Reply r = Get(s.p, kCgi + "MB=0");
  EXPECT_EQ(r.head, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n");
  // Undo the framing by hand: size line (hex, maybe an extension), data, CR LF.
  std::string plain, rest = r.body;
  std::vector<size_t> sizes;
  bool bExt = false;
  for (;;) {
    size_t e = rest.find("\r\n");
    ASSERT_NE(e, std::string::npos);
    std::string sizeLine = rest.substr(0, e);
    bExt |= sizeLine.find(';') != std::string::npos;
    size_t n = std::stoul(sizeLine, nullptr, 16);
    rest = rest.substr(e + 2);
    if (n == 0) break;
    sizes.push_back(n);
    plain += rest.substr(0, n);
    ASSERT_EQ(rest.substr(n, 2), "\r\n");
    rest = rest.substr(n + 2);
  }
  EXPECT_EQ(plain, list);
  EXPECT_EQ(rest, "X-Trailer: done\r\n\r\n");
  EXPECT_TRUE(bExt);
  ASSERT_GE(sizes.size(), 4u);
  EXPECT_EQ(sizes[0], 5u);
  EXPECT_EQ(sizes[1], 1u);
  EXPECT_EQ(sizes[2], 22u);

  for (const char *coding : {"gzip", "deflate"}) {
    SimSetContentEncoding(s.p, kCgi + "MB=1", coding);
    r = Get(s.p, kCgi + "MB=1");
    EXPECT_NE(r.head.find(std::string("\r\nContent-Encoding: ") + coding), std::string::npos);
    z_stream z{};
    inflateInit2(&z, std::string(coding) == "gzip" ? 31 : 15);
    std::string out(log.size() + 100, '\0');
    z.next_in = reinterpret_cast<Bytef *>(r.body.data());
    z.avail_in = static_cast<uInt>(r.body.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END) << coding;
    out.resize(z.total_out);
    inflateEnd(&z);
    EXPECT_EQ(out, log) << coding;
  }
  // Both at once: compressed, then framed.
  SimSetChunked(s.p, kCgi + "MB=1", 100);
  r = Get(s.p, kCgi + "MB=1");
  EXPECT_NE(r.head.find("Content-Encoding: deflate\r\nTransfer-Encoding: chunked"), std::string::npos);

  SimSetContentEncoding(s.p, kCgi + "MB=2", "br");
  r = Get(s.p, kCgi + "MB=2");
  EXPECT_NE(r.head.find("\r\nContent-Encoding: br"), std::string::npos);
  EXPECT_EQ(r.body, SimLogBody(s.p, 2));
}

TEST(DasSimHeaders, LongLinesNulLineAndInterimAnswers) {
  SimUnit s;
  ASSERT_NE(s.p, nullptr);
  for (int n : {254, 255, 256, 3000}) EXPECT_EQ(SimHeaderLine(n).size(), static_cast<size_t>(n));
  EXPECT_EQ(SimHeaderLine(254).rfind("X-Padding: aaa", 0), 0u);
  const std::string nul("\0X-After-Nul: 1", 15);
  SimSetExtraHeaders(s.p, kCgi + "MB=0", {SimHeaderLine(255), nul, "Via: 1.1 proxy"});
  Reply r = Get(s.p, kCgi + "MB=0");
  EXPECT_EQ(r.head, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                        std::to_string(r.body.size()) + "\r\n" + SimHeaderLine(255) + "\r\n" + nul +
                        "\r\nVia: 1.1 proxy\r\n");
  EXPECT_EQ(r.body.rfind("Modbus ID,", 0), 0u);

  SimSetInterim(s.p, kCgi + "MB=0", 2);
  int fd = LoopbackConnect(SimPort(s.p));
  std::string req = Request(kCgi + "MB=0");
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string raw = LoopbackReadAll(fd);
  close(fd);
  const std::string cont = "HTTP/1.1 100 Continue\r\n\r\n";
  EXPECT_EQ(raw.rfind(cont + cont + "HTTP/1.0 200 OK\r\n", 0), 0u) << raw.substr(0, 100);
}

TEST(DasSimContent, HtmlForUnknownBadStampsOddListsAndSerials) {
  SimConfig cfg;
  cfg.nKind = 2;
  cfg.bHtmlForUnknown = true;
  cfg.nRecords = 2;
  SimUnit s(cfg);
  ASSERT_NE(s.p, nullptr);
  // A single meter whose web server has a default page: /setup/ paths are 200.
  for (const std::string &path : {kCgi + "MB=0", kCgi + "CFG=loggerconfig.ini", std::string("/nothing")}) {
    Reply r = Get(s.p, path);
    EXPECT_EQ(r.nStatus, 200) << path;
    EXPECT_NE(r.head.find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(r.body.find("<html>"), std::string::npos);
  }
  EXPECT_NE(Get(s.p, "/loggerconfig.ini").body.find("SERIALNUMBER="), std::string::npos);
  SimSetHtmlForUnknown(s.p, false);
  EXPECT_EQ(Get(s.p, kCgi + "MB=0").nStatus, 404);

  // Out-of-range stamps after the records.
  std::vector<std::string> bad = SimBadStampLines(cfg, 1);
  ASSERT_EQ(bad.size(), 7u);
  EXPECT_EQ(bad[0].rfind("2026-12-01 12:60:00,", 0), 0u);
  EXPECT_EQ(bad[2].rfind("2026-12-01 24:00:00,", 0), 0u);
  SimSetExtraLines(s.p, "/mb-001.log", bad);
  std::string all;
  for (auto &l : bad) all += l + "\n";
  EXPECT_EQ(Get(s.p, "/mb-001.log").body, SimLogBody(s.p, 1) + all);

  // A long comment before the serial number, with decoys at 255-byte steps.
  std::string comment = SimSerialCommentLine(600, "DAS0FAKE0000");
  EXPECT_EQ(comment.size(), 600u);
  EXPECT_EQ(comment.substr(255, 25), "SERIALNUMBER=DAS0FAKE0000");
  EXPECT_EQ(comment.substr(510, 25), "SERIALNUMBER=DAS0FAKE0000");
  SimSetExtraLines(s.p, "/loggerconfig.ini", {comment}, true);
  std::string c = Get(s.p, "/loggerconfig.ini").body;
  EXPECT_EQ(c.rfind(comment + "\n[General]\n", 0), 0u);

  SimConfig m;
  m.devices = {2, 3, 9};
  std::string sub = SimOddDeviceList(m, "sub");
  EXPECT_NE(sub.find("\n002,\x1a\"Meter 2\""), std::string::npos) << sub;
  EXPECT_NE(sub.find("\n009,"), std::string::npos);
  std::string wrap = SimOddDeviceList(m, "wrap");
  EXPECT_NE(wrap.find("\n4294967297,"), std::string::npos);
  std::string lng = SimOddDeviceList(m, "long");
  size_t e = lng.find('\n');
  std::string longLine = lng.substr(e + 1, lng.find('\n', e + 1) - e - 1);
  EXPECT_EQ(longLine.size(), 3000u);
  EXPECT_EQ(longLine.substr(1023, 2), "9,");
  EXPECT_EQ(longLine.substr(2046, 2), "9,");
  EXPECT_EQ(lng.find("\n009,"), std::string::npos);
  EXPECT_NE(lng.find("\n003,"), std::string::npos);
  std::string dup = SimOddDeviceList(m, "dup");
  EXPECT_NE(dup.find("\n002,"), dup.rfind("\n002,"));
  std::string none = SimOddDeviceList(m, "nodevice");
  EXPECT_EQ(none.find("\n0"), std::string::npos);
  EXPECT_NE(SimOddDeviceList(m, "signs").find("\n1e2,"), std::string::npos);
  EXPECT_EQ(SimOddDeviceList(m, "other"), "");
}

// One hole alone and a fleet's many started together: no connect to any of
// them completes, and the many take about the second one takes.
TEST(DasSimStalls, BlackHoleNeverCompletesAConnectAndDribbleSendsByteByByte) {
  const auto tHoles = std::chrono::steady_clock::now();
  std::vector<SimBlackHole *> holes = SimStartBlackHoles(std::vector<std::string>(20, "127.0.0.1"));
  EXPECT_LT(std::chrono::steady_clock::now() - tHoles, std::chrono::seconds(10));
  ASSERT_EQ(holes.size(), 20u);
  holes.push_back(SimStartBlackHole());
  ASSERT_NE(holes.back(), nullptr);
  std::vector<pollfd> pfds;
  for (SimBlackHole *h : holes) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(SimBlackHolePort(h)));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int r = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    EXPECT_TRUE(r == -1 && errno == EINPROGRESS);
    pfds.push_back(pollfd{fd, POLLOUT, 0});
  }
  // Still not connected after the first SYN retransmission (1 s) went by.
  EXPECT_EQ(poll(pfds.data(), pfds.size(), 2500), 0);
  for (const pollfd &pfd : pfds) close(pfd.fd);
  for (SimBlackHole *h : holes) SimStopBlackHole(h);

  SimUnit s;
  ASSERT_NE(s.p, nullptr);
  SimSetDribble(s.p, kCgi + "CFG=mb-001.ini", 2);
  auto t0 = std::chrono::steady_clock::now();
  int c = LoopbackConnect(SimPort(s.p));
  std::string req = Request(kCgi + "CFG=mb-001.ini");
  send(c, req.data(), req.size(), MSG_NOSIGNAL);
  std::string all = LoopbackReadAll(c);
  close(c);
  EXPECT_EQ(ParseReply(all).body, "MODBUSID=1\nDEVICENAME=Meter 1\nDEVICETYPE=Energy meter\nBAUD=9600\n");
  // At least 2 ms went by for every byte of the answer.
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2 * all.size()));
}

// How many threads the process runs now.
size_t ThreadCount() {
  const std::string status = ReadFileBytes("/proc/self/status");
  const size_t at = status.find("\nThreads:");
  return at == std::string::npos ? 0 : static_cast<size_t>(atol(status.c_str() + at + 9));
}

// A fleet's units each keep their own identity, logs, deletes and faults,
// behind one thread for all; its stop ends a stalled connection too.
TEST(DasSimFleet, UnitsKeepTheirOwnStateBehindOneThread) {
  SimFleet *f = SimStartFleet();
  ASSERT_NE(f, nullptr);
  const size_t nFleet = ThreadCount();  // ours, its one, and a sanitizer's
  std::vector<SimServer *> units;
  for (int i = 0; i < 40; i++) {
    SimConfig cfg;
    cfg.serial = "DAS0000000" + std::to_string(10 + i);
    cfg.nRecords = 5 + i;
    units.push_back(SimFleetAdd(f, cfg));
    ASSERT_NE(units.back(), nullptr);
  }
  EXPECT_EQ(ThreadCount(), nFleet);
  for (int i = 0; i < 40; i++)
    EXPECT_NE(Get(units[i], kCgi + "CFG=loggerconfig.ini").body.find("SERIALNUMBER=DAS0000000" + std::to_string(10 + i)),
              std::string::npos);
  Get(units[7], kCgi + "MB=1");
  EXPECT_EQ(Get(units[7], "/setup/statlog.cgi?DELMBZIPLOG=1").nStatus, 200);
  EXPECT_EQ(SimDeleteCount(units[7], 1), 1);
  EXPECT_EQ(SimLogRecords(units[7], 1), 0);
  EXPECT_EQ(SimLogRecords(units[8], 1), 13);
  EXPECT_EQ(SimDeleteCount(units[8], 1), 0);
  SimSetStatus(units[3], kCgi + "MB=0", 500);
  EXPECT_EQ(Get(units[3], kCgi + "MB=0").nStatus, 500);
  EXPECT_EQ(Get(units[4], kCgi + "MB=0").nStatus, 200);
  EXPECT_EQ(SimRequests(units[4]).size(), 2u);
  // The connections' threads end with their connections.
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() == nFleet; }, 5000)) << ThreadCount();

  SimSetStallBody(units[0], kCgi + "MB=1", 100);
  int fd = LoopbackConnect(SimPort(units[0]));
  std::string req = Request(kCgi + "MB=1");
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  bool bClosed = false, bError = false;
  LoopbackReadAll(fd, 300, &bClosed);
  EXPECT_FALSE(bClosed);
  auto t0 = std::chrono::steady_clock::now();
  SimStopFleet(f);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  LoopbackReadAll(fd, 3000, &bClosed, &bError);
  EXPECT_TRUE(bClosed || bError);
  close(fd);
  EXPECT_EQ(ThreadCount(), nFleet - 1);
}

TEST(DasSimRequests, RecordedRawInOrder) {
  SimUnit s;
  ASSERT_NE(s.p, nullptr);
  Get(s.p, kCgi + "CFG=loggerconfig.ini");
  Get(s.p, kCgi + "MB=0");
  Get(s.p, "", Request("/x", "bad"));
  // A client that connects and leaves without a request line.
  int fd = LoopbackConnect(SimPort(s.p));
  send(fd, "GET /half", 9, 0);
  close(fd);
  for (int i = 0; i < 100 && SimRequests(s.p).size() < 4; i++) usleep(20000);
  std::vector<std::string> v = SimRequests(s.p);
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0], Request(kCgi + "CFG=loggerconfig.ini"));
  EXPECT_EQ(v[3], "GET /half");
  std::vector<std::string> p = SimRequestPaths(s.p);
  EXPECT_EQ(p[1], kCgi + "MB=0");
  EXPECT_EQ(p[2], "/x");
  SimClearRequests(s.p);
  EXPECT_TRUE(SimRequests(s.p).empty());
}

TEST(DasSimHelpers, TimesRollOverDaysAndLeapYears) {
  SimConfig cfg;
  EXPECT_EQ(SimRecordTime(cfg, 1440), "2026-12-02 00:00:00");
  EXPECT_EQ(SimRecordTime(cfg, 31 * 1440 + 61), "2027-01-01 01:01:00");
  cfg.firstTime = "2028-02-28 23:59:00";
  EXPECT_EQ(SimRecordTime(cfg, 1), "2028-02-29 00:00:00");
  EXPECT_EQ(SimRecordLine(cfg, 1, 1).rfind("2028-02-29 00:00:00,", 0), 0u);
  // Every record line has the same length, whatever its values.
  for (long i : {0L, 7L, 99999L, 1234567L})
    EXPECT_EQ(static_cast<long>(SimRecordLine(cfg, 3, i).size()), SimRecordBytes(cfg));
  cfg.firstTime = "yesterday";
  EXPECT_EQ(SimStart(cfg, 0), nullptr);
}

// das-sim as a program: each option sets on the unit what its library call
// sets, seen in one answer. One process per row. A row with a fleet file
// runs it with --fleet (the row's options then apply to every unit) and
// asks its last unit, after one listening line per unit.
TEST(DasSimProgram, OptionsSetTheUnitAndItsFaults) {
  const std::string nul("\0X-After-Nul: 1", 15), mb1 = kCgi + "MB=1", list = kCgi + "MB=0";
  struct Row {
    std::vector<std::string> args;
    std::string path, password;
    int nStatus;
    std::vector<std::string> headHas, headLacks, bodyHas;
    std::string rawStart;
    long nBodyBytes;  // -1: any
    std::string fleet;
  } rows[] = {
      {{"--fault", mb1 + "=503"}, mb1, "", 503, {}, {}, {}, "", -1},
      {{"--password", "pw"}, list, "", 401, {}, {}, {}, "", -1},
      {{"--password", "pw"}, list, "pw", 200, {}, {}, {"\n002,"}, "", -1},
      {{"--kind", "single", "--records", "2"}, "/mb-001.log", "", 200, {}, {}, {"\n2026-12-01 00:01:00,"}, "", -1},
      {{"--devices", "3,5"}, list, "", 200, {}, {}, {"\n003,\"Meter 3\"", "\n005,\"Meter 5\""}, "", -1},
      {{"--devices", "3,5"}, mb1, "", 404, {}, {}, {}, "", -1},
      {{"--serial", "S9", "--name", "Roof", "--crlf-config"}, kCgi + "CFG=loggerconfig.ini", "", 200, {}, {},
       {"\r\nSERIALNUMBER=S9\r\nLOOPNAME=Roof\r\n"}, "", -1},
      {{"--first-time", "2027-03-04 05:06:00", "--records", "1", "--crlf-log"}, mb1, "", 200, {}, {},
       {"\r\n2027-03-04 05:06:00,"}, "", -1},
      {{"--no-length"}, list, "", 200, {}, {"Content-Length"}, {"\n002,"}, "", -1},
      {{"--slow", list + "=7:1"}, list, "", 200, {}, {}, {"\n002,"}, "", -1},
      {{"--cut", mb1 + "=10"}, mb1, "", 200, {}, {}, {}, "", 10},
      {{"--big", "/big=5000"}, "/big", "", 200, {}, {}, {"time,error,"}, "", -1},
      {{"--chunked", list + "=5"}, list, "", 200, {"Transfer-Encoding: chunked"}, {"Content-Length"}, {"\r\n1\r\n"},
       "", -1},
      {{"--chunked-ext", list + "=5"}, list, "", 200, {}, {}, {";ext=1", "X-Trailer: done"}, "", -1},
      {{"--encoding", list + "=gzip"}, list, "", 200, {"Content-Encoding: gzip"}, {}, {"\x1f\x8b"}, "", -1},
      {{"--header-line", list + "=40", "--nul-header", list + "=1"}, list, "", 200, {SimHeaderLine(40), nul}, {},
       {}, "", -1},
      {{"--continue", list + "=2"}, list, "", 100, {}, {}, {},
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\n", -1},
      {{"--dribble", kCgi + "CFG=mb-001.ini=1"}, kCgi + "CFG=mb-001.ini", "", 200, {}, {}, {"\nBAUD=9600\n"}, "",
       -1},
      {{"--bad-stamps", mb1 + "=1"}, mb1, "", 200, {}, {}, {" 12:60:00,", "\n2107-01-01 00:00:00,"}, "", -1},
      {{"--odd-devlist", "signs"}, list, "", 200, {}, {}, {"\n1e2,"}, "", -1},
      {{"--serial-comment", "600"}, kCgi + "CFG=loggerconfig.ini", "", 200, {}, {}, {"DAS0FAKE0000"}, "", -1},
      {{"--kind", "single", "--serial-comment", "600"}, "/loggerconfig.ini", "", 200, {}, {}, {"DAS0FAKE0000"}, "",
       -1},
      {{"--html-unknown"}, "/x", "", 200, {"Content-Type: text/html"}, {}, {"<html>"}, "", -1},
      // Each unit its own: the first one's fault stays there, the hole
      // takes a port of its own.
      {{}, list, "", 200, {}, {}, {"\n003,\"Meter 3\"", "\n005,"}, "", -1,
       "--fault " + list + "=503\n--black-hole\n--devices 3,5 --serial \"DAS 9\"\n"},
      {{"--password", "pw"}, "/mb-001.log", "pw", 200, {}, {}, {"\n2026-12-01 00:01:00,"}, "", -1,
       "# a site of two\n--devices 4\n\n--kind single --records 2\n"},
  };
  for (const Row &row : rows) {
    std::string line;
    for (const std::string &a : row.args) line += a + " ";
    SCOPED_TRACE(line + row.fleet);
    TempDir dir(false);
    std::vector<std::string> args = row.args;
    size_t nUnits = 1;
    if (!row.fleet.empty()) {
      WriteFileBytes(dir.File("fleet.txt"), row.fleet);
      args.insert(args.begin(), {"--fleet", "fleet.txt"});
      nUnits = 0;  // the lines that hold options
      for (size_t at = 0; at < row.fleet.size(); at = row.fleet.find('\n', at) + 1) nUnits += row.fleet[at] == '-';
    }
    const int pid = StartProgram(DASSIM_BINARY, dir.Path(), args, dir.File("out"), dir.File("err"));
    ASSERT_GT(pid, 0);
    const std::string kListening = "listening on 127.0.0.1:";
    const bool bUp = WaitFor([&] { return ReadFileBytes(dir.File("out")).find('\n') != std::string::npos; }, 10000);
    const std::string out = ReadFileBytes(dir.File("out"));
    EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')), nUnits) << out;
    const size_t nLast = out.rfind(kListening);
    if (bUp && out.rfind(kListening, 0) == 0) {
      Reply r = GetAt(atoi(out.c_str() + nLast + kListening.size()), "",
                      Request(row.path, row.password.empty() ? "qexal" : row.password));
      EXPECT_EQ(r.nStatus, row.nStatus);
      for (const std::string &h : row.headHas) EXPECT_NE(r.head.find(h), std::string::npos) << r.head;
      for (const std::string &h : row.headLacks) EXPECT_EQ(r.head.find(h), std::string::npos) << r.head;
      for (const std::string &b : row.bodyHas) EXPECT_NE(r.body.find(b), std::string::npos) << r.body;
      EXPECT_EQ(r.raw.rfind(row.rawStart, 0), 0u) << r.raw;
      EXPECT_TRUE(r.bClosed);
      if (row.nBodyBytes >= 0) {
        EXPECT_EQ(static_cast<long>(r.body.size()), row.nBodyBytes);
      }
    } else {
      ADD_FAILURE() << "no listening line: " << out << ReadFileBytes(dir.File("err"));
    }
    KillProgram(pid);
  }
}

// Options it cannot use end the program with status 2 before it serves;
// --duration ends a unit and a black hole by themselves.
TEST(DasSimProgram, BadOptionsEndWithStatusTwoAndDurationEndsTheRun) {
  const struct {
    std::vector<std::string> args;
    int nStatus;
    std::string err;
    std::string listening = "listening on 127.0.0.1:";  // the first line out, for status 0
  } rows[] = {
      {{"--kind", "triple"}, 2, "unknown kind triple"},
      {{"--port"}, 2, "--port needs a value"},
      {{"--bogus"}, 2, "unknown option --bogus"},
      {{"--fault", "nothing"}, 2, "--fault wants PATH=VALUE"},
      {{"--cut", "/x="}, 2, "--cut wants PATH=VALUE"},
      {{"--advance", "5"}, 2, "--advance wants MIN/SEC"},
      {{"--odd-devlist", "zzz"}, 2, "unknown device list fault zzz"},
      {{"--first-time", "yesterday"}, 1, "cannot listen"},
      {{"--help"}, 0, "usage: das-sim"},
      {{"--duration", "0"}, 0, ""},
      {{"--black-hole", "--duration", "0"}, 0, ""},
      // IPv6 in brackets, as a unit's address field takes it.
      {{"--bind", "::1", "--duration", "0"}, 0, "", "listening on [::1]:"},
      {{"--bind", "::1", "--black-hole", "--duration", "0"}, 0, "", "listening on [::1]:"},
      {{"--bind", "::1:80"}, 1, "cannot listen"},
  };
  // Whether this machine can listen on the IPv6 loopback at all.
  int fd6 = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 sa6{};
  sa6.sin6_family = AF_INET6;
  sa6.sin6_addr = in6addr_loopback;
  const bool bIpv6 = fd6 >= 0 && bind(fd6, reinterpret_cast<sockaddr *>(&sa6), sizeof sa6) == 0;
  if (fd6 >= 0) close(fd6);
  for (const auto &row : rows) {
    SCOPED_TRACE(row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : ""));
    if (!bIpv6 && row.listening.find("::1") != std::string::npos) {
      std::printf("skipping %s: no IPv6 loopback on this machine\n", row.args[1].c_str());
      continue;
    }
    TempDir dir(false);
    const int pid = StartProgram(DASSIM_BINARY, dir.Path(), row.args, dir.File("out"), dir.File("err"));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitProgram(pid, 30), row.nStatus);
    const std::string err = ReadFileBytes(dir.File("err"));
    EXPECT_NE(err.find(row.err), std::string::npos) << err;
    if (row.nStatus == 0 && row.err.empty()) {
      EXPECT_EQ(ReadFileBytes(dir.File("out")).rfind(row.listening, 0), 0u);
    }
  }
}
