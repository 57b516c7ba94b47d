// The real program against a real nginx standing in for a unit: whole
// unattended runs, the stored files compared byte for byte with what the
// server holds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/compress.h"
#include "tests/support/http_client.h"
#include "tests/support/nginx_fixture.h"
#include "tests/support/program.h"
#include "tests/support/testutil.h"
#include "tools/das-sim/sim.h"

namespace fs = std::filesystem;

namespace {

const std::string kListHeader = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";
const std::string kLogHeader =
    "time,error,lowalarm,highalarm,kWh,kW,kVAR,PF,Volts A,Volts B,Volts C\n";

// nRecords one-minute records of a device, as a unit exports them.
std::string LogBody(int nDevice, long nRecords) {
  SimConfig cfg;
  std::string s = kLogHeader;
  for (long i = 0; i < nRecords; ++i) s += SimRecordLine(cfg, nDevice, i);
  return s;
}

std::string UnitConfig(const std::string &serial, const std::string &name) {
  return "[General]\r\nSERIALNUMBER=" + serial + "\r\nLOOPNAME=" + name +
         "\r\nFIRMWARE=2.0.1\r\nLOGPERIOD=60\r\n";
}

std::string DeviceConfig(int n) {
  return "MODBUSID=" + std::to_string(n) + "\r\nDEVICENAME=Meter " + std::to_string(n) +
         "\r\nBAUD=9600\r\n";
}

std::string DeviceList(const std::vector<int> &devices) {
  std::string s = "Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL\r\n";
  for (int n : devices) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "%03d,\"Meter %d\",\"Energy meter, three phase, E330\",2,"
                  "<a href=/setup/logexport.cgi?MB=%d>mb-%03d.log</a>\r\n",
                  n, n, n, n);
    s += line;
  }
  return s;
}

class NginxRun : public ::testing::Test {
 protected:
  void SetUp() override {
    if (NginxUnit::Binary().empty())
      GTEST_SKIP() << "nginx is not installed (scripts/deps.sh installs nginx-light); "
                      "the tests against a real web server are skipped";
  }
  // Starts the server; the unit is the only row of the list.
  void Start(const NginxOptions &opt) {
    web = std::make_unique<NginxUnit>(opt);
    Fill(opt.nKind);
    std::string err;
    ASSERT_TRUE(web->Start(&err)) << err;
    WriteFileBytes(dir.File("daslist.txt"),
                   kListHeader + "NEW,unit,\"\"," + web->Address() + ",NO," + opt.password + "\r\n");
  }
  // What a unit of the kind serves: two or three devices with a day of
  // records each, configuration files with CR LF line ends.
  void Fill(int nKind) {
    if (nKind == 1) {
      web->Put("/setup/logexport.cgi?CFG=loggerconfig.ini", UnitConfig(kSerial, "Roof"));
      web->Put("/setup/logexport.cgi?MB=0", DeviceList(devices));
      for (int n : devices) {
        char cfgName[32];
        std::snprintf(cfgName, sizeof cfgName, "mb-%03d.ini", n);
        web->Put("/setup/logexport.cgi?MB=" + std::to_string(n), LogBody(n, 1440));
        web->Put(std::string("/setup/logexport.cgi?CFG=") + cfgName, DeviceConfig(n));
        web->Put("/setup/statlog.cgi?DELMBZIPLOG=" + std::to_string(n), "Log data deleted\n");
      }
    } else {
      web->Put("/loggerconfig.ini", UnitConfig(kSerial, "Yard"));
      web->Put("/mb-001.log", LogBody(1, 1440));
      web->Put("/mb-001.ini", DeviceConfig(1));
      web->Put("/deletelog.cgi", "Log data deleted\n");
    }
  }
  int Run() { return RunProgram(dir.Path(), {"/AUTO"}); }
  std::string Stored(const std::string &name) { return ReadFileBytes(dir.File(kSerial + "/" + name)); }
  std::string Log() { return ReadFileBytes(dir.File("errorlog.txt")); }

  const std::string kSerial = "DAS000000077";
  std::vector<int> devices = {1, 2, 17};
  TempDir dir{false};
  std::unique_ptr<NginxUnit> web;
};

TEST_F(NginxRun, MultiDeviceUnitIsStoredByteForByte) {
  Start(NginxOptions{});
  ASSERT_EQ(Run(), 0) << Log();

  EXPECT_EQ(Stored("devlist.txt"), ToCrLf(DeviceList(devices)));
  EXPECT_EQ(Stored("loggerconfig.ini"), ToCrLf(UnitConfig(kSerial, "Roof")));
  for (int n : devices) {
    char name[32];
    std::snprintf(name, sizeof name, "mb-%03d", n);
    EXPECT_EQ(Stored(std::string(name) + ".ini"), ToCrLf(DeviceConfig(n))) << name;
    EXPECT_EQ(Stored(std::string(name) + ".log"), LogBody(n, 1440)) << name;
  }
  EXPECT_TRUE(fs::is_empty(dir.File(kSerial + "/temp")));
  EXPECT_EQ(ReadFileBytes(dir.File("daslist.txt")),
            kListHeader + kSerial + ",Roof,\"\"," + web->Address() + ",NO,qexal\r\n");
  // deletelog NO: no delete request; the unit's configuration comes last.
  EXPECT_EQ(web->Requests(),
            (std::vector<std::string>{
                "/setup/logexport.cgi?CFG=loggerconfig.ini", "/setup/logexport.cgi?MB=0",
                "/setup/logexport.cgi?MB=1", "/setup/logexport.cgi?CFG=mb-001.ini",
                "/setup/logexport.cgi?MB=2", "/setup/logexport.cgi?CFG=mb-002.ini",
                "/setup/logexport.cgi?MB=17", "/setup/logexport.cgi?CFG=mb-017.ini",
                "/setup/logexport.cgi?CFG=loggerconfig.ini"}));
}

TEST_F(NginxRun, SingleMeterIsStoredByteForByte) {
  NginxOptions opt;
  opt.nKind = 2;
  opt.password = "pw with blanks";
  Start(opt);
  ASSERT_EQ(Run(), 0) << Log();

  EXPECT_EQ(Stored("devlist.txt"),
            "Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL\r\n"
            "001,\"Yard\",\"Quorvin, Ordalet, pulse energy logger, Q4410\",15,"
            "<a href=/mb-001.log/" + kSerial + "_1.txt>mb-001.log/" + kSerial + "_1.txt</a>\r\n");
  EXPECT_EQ(Stored("loggerconfig.ini"), ToCrLf(UnitConfig(kSerial, "Yard")));
  EXPECT_EQ(Stored("mb-001.ini"), ToCrLf(DeviceConfig(1)));
  EXPECT_EQ(Stored("mb-001.log"), LogBody(1, 1440));
  EXPECT_EQ(ReadFileBytes(dir.File("daslist.txt")),
            kListHeader + kSerial + ",Yard,\"\"," + web->Address() + ",NO,pw with blanks\r\n");
  // The configuration path of the other kind is tried first; nginx answers
  // 404 for everything under /setup/.
  EXPECT_EQ(web->Requests(), (std::vector<std::string>{
                                 "/setup/logexport.cgi?CFG=loggerconfig.ini", "/loggerconfig.ini",
                                 "/setup/logexport.cgi?MB=0", "/mb-001.log", "/loggerconfig.ini",
                                 "/mb-001.ini"}));
}

TEST_F(NginxRun, WrongPasswordIsRefusedByTheServer) {
  Start(NginxOptions{});
  WriteFileBytes(dir.File("daslist.txt"),
                 kListHeader + "DAS000000077,unit,\"\"," + web->Address() + ",NO,wrong\r\n");
  EXPECT_EQ(Run(), 1);
  EXPECT_NE(Log().find("DAS responded with 401 Access Denied."), std::string::npos) << Log();
  EXPECT_FALSE(FileExists(dir.File(kSerial + "/devlist.txt")));
}

bool HasHeader(const LoopbackReply &a, const std::string &line) {
  return a.head.find("\r\n" + line + "\r\n") != std::string::npos;
}

// The server itself, before the program meets it: each option gives the
// answers it stands for.
TEST_F(NginxRun, ServerAnswersAsConfigured) {
  Start(NginxOptions{});
  LoopbackReply a = LoopbackGet(web->Port(), "/setup/logexport.cgi?MB=17");
  EXPECT_EQ(a.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << a.head;
  EXPECT_TRUE(HasHeader(a, "Content-Length: " + std::to_string(LogBody(17, 1440).size()))) << a.head;
  EXPECT_EQ(a.body, LogBody(17, 1440));
  EXPECT_EQ(LoopbackGet(web->Port(), "/setup/logexport.cgi?MB=3").head.rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(LoopbackGet(web->Port(), "/loggerconfig.ini").head.rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(LoopbackGet(web->Port(), "/setup/logexport.cgi?MB=0", "bad").head.rfind("HTTP/1.1 401", 0), 0u);
  web.reset();

  NginxOptions gz;
  gz.bGzipStatic = true;
  Start(gz);
  a = LoopbackGet(web->Port(), "/setup/logexport.cgi?MB=2");
  EXPECT_TRUE(HasHeader(a, "Content-Encoding: gzip")) << a.head;
  EXPECT_EQ(Gunzip(a.body), LogBody(2, 1440));
  web.reset();

  NginxOptions ch;
  ch.bChunked = true;
  ch.nKind = 2;
  Start(ch);
  a = LoopbackGet(web->Port(), "/mb-001.ini");
  EXPECT_TRUE(HasHeader(a, "Transfer-Encoding: chunked")) << a.head;
  EXPECT_EQ(a.head.find("Content-Length"), std::string::npos) << a.head;
  EXPECT_EQ(a.body, ChunkBody(DeviceConfig(1)));
  EXPECT_EQ(LoopbackGet(web->Port(), "/setup/logexport.cgi?MB=0").head.rfind("HTTP/1.1 404", 0), 0u);
  web.reset();

  NginxOptions html;
  html.bHtmlForUnknown = true;
  html.bTlsPort = true;
  html.nKind = 2;
  Start(html);
  a = LoopbackGet(web->Port(), "/setup/logexport.cgi?MB=0");
  EXPECT_EQ(a.head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << a.head;
  EXPECT_TRUE(HasHeader(a, "Content-Type: text/html")) << a.head;
  EXPECT_NE(a.body.find("<html>"), std::string::npos);
  a = LoopbackGet(web->TlsPort(), "/setup/logexport.cgi?MB=0");
  EXPECT_EQ(a.head.rfind("HTTP/1.1 400", 0), 0u) << a.head;
  EXPECT_NE(a.body.find("HTTPS port"), std::string::npos) << a.body;
}

// A reload while a rate-limited body is on its way: the old worker ends the
// connection with a normal close before the announced length has arrived.
TEST_F(NginxRun, ReloadCutsABodyInFlightWithANormalClose) {
  NginxOptions opt;
  opt.nRateLimit = 256 * 1024;
  Start(opt);
  const std::string big = LogBody(1, 400000);  // some 30 MB: two minutes at this rate
  web->Put("/setup/logexport.cgi?MB=1", big);
  LoopbackReply a;
  std::atomic<long> nGot{0};
  std::thread reader([&] { a = LoopbackGet(web->Port(), "/setup/logexport.cgi?MB=1", "qexal", &nGot); });
  // Reload once the body is flowing.
  for (int i = 0; i < 60000 && nGot.load() < 100000; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(web->Reload());
  reader.join();
  EXPECT_TRUE(HasHeader(a, "Content-Length: " + std::to_string(big.size()))) << a.head;
  EXPECT_GT(a.body.size(), 0u);
  EXPECT_LT(a.body.size(), big.size());
  EXPECT_TRUE(a.bClosed);
}

// The program against the server's options: each gives the files as served.
TEST_F(NginxRun, GzipStaticChunkedAndWebPagesForUnknownPathsStoreTheFilesAsServed) {
  for (int nCase = 0; nCase < 4; ++nCase) {
    SCOPED_TRACE(nCase);
    NginxOptions opt;
    opt.bGzipStatic = nCase == 0;
    opt.bChunked = nCase == 1 || nCase == 2;
    opt.nKind = nCase == 2 || nCase == 3 ? 2 : 1;
    opt.bHtmlForUnknown = nCase == 3;
    Start(opt);
    ASSERT_EQ(Run(), 0) << Log();
    EXPECT_EQ(Stored("loggerconfig.ini"), ToCrLf(UnitConfig(kSerial, opt.nKind == 1 ? "Roof" : "Yard")));
    if (opt.nKind == 1) {
      EXPECT_EQ(Stored("devlist.txt"), ToCrLf(DeviceList(devices)));
      for (int n : devices) {
        char name[32];
        std::snprintf(name, sizeof name, "mb-%03d", n);
        EXPECT_EQ(Stored(std::string(name) + ".ini"), ToCrLf(DeviceConfig(n))) << name;
        EXPECT_EQ(Stored(std::string(name) + ".log"), LogBody(n, 1440)) << name;
      }
    } else {
      EXPECT_EQ(Stored("mb-001.ini"), ToCrLf(DeviceConfig(1)));
      EXPECT_EQ(Stored("mb-001.log"), LogBody(1, 1440));
      EXPECT_EQ(Stored("devlist.txt").find("<html>"), std::string::npos);
      EXPECT_NE(Stored("devlist.txt").find("\r\n001,\"Yard\","), std::string::npos);
    }
    EXPECT_EQ(ReadFileBytes(dir.File("daslist.txt")),
              kListHeader + kSerial + "," + (opt.nKind == 1 ? "Roof" : "Yard") + ",\"\"," +
                  web->Address() + ",NO," + opt.password + "\r\n");
    web.reset();
    std::error_code ec;
    fs::remove_all(dir.File(kSerial), ec);
    fs::remove(dir.File("errorlog.txt"), ec);
  }
}

// A reload while a large log is on its way: the old worker ends the
// connection normally before the announced length. The unit is not told to
// delete, the run ends with an error entry and status 1, and what arrived
// is kept up to its last whole line.
TEST_F(NginxRun, ReloadInTheMiddleOfALargeLogDeletesNothing) {
  NginxOptions opt;
  opt.nRateLimit = 512 * 1024;
  Start(opt);
  const std::string big = LogBody(1, 400000);  // some 30 MB: a minute at this rate
  web->Put("/setup/logexport.cgi?MB=1", big);
  WriteFileBytes(dir.File("daslist.txt"),
                 kListHeader + "NEW,unit,\"\"," + web->Address() + ",YES,qexal\r\n");
  int nStatus = -2;
  std::thread run([&] { nStatus = Run(); });
  const std::string temp = dir.File(kSerial + "/temp/mb-001.0.tmp");
  for (int i = 0; i < 120000; ++i) {
    std::error_code ec;
    if (fs::exists(temp, ec) && fs::file_size(temp, ec) > 200000) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(web->Reload());
  run.join();

  EXPECT_EQ(nStatus, 1) << Log();
  for (const std::string &r : web->Requests())
    EXPECT_NE(r, "/setup/statlog.cgi?DELMBZIPLOG=1");
  std::string got = Stored("mb-001.log");
  EXPECT_GT(got.size(), 0u);
  EXPECT_LT(got.size(), big.size());
  EXPECT_EQ(got, big.substr(0, got.size()));
  EXPECT_EQ(got.back(), '\n');
  std::string log = Log();
  EXPECT_NE(log.find("Log file of device 1 from DAS " + kSerial + " at " + web->Address() +
                     " incomplete: cut short, "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" of " + std::to_string(big.size()) + " bytes arrived"), std::string::npos);
  EXPECT_NE(log.find("Log file download incomplete, delete request not sent"), std::string::npos);
  // The other devices were whole and were let go of.
  EXPECT_EQ(Stored("mb-002.log"), LogBody(2, 1440));
}

// A unit's address that points at a port speaking TLS only: nginx answers
// 400 to plain HTTP. The run says so and ends with status 1.
TEST_F(NginxRun, TlsOnlyPortIsAClearFailure) {
  NginxOptions opt;
  opt.bTlsPort = true;
  Start(opt);
  const std::string addr = "127.0.0.1:" + std::to_string(web->TlsPort());
  WriteFileBytes(dir.File("daslist.txt"), kListHeader + kSerial + ",unit,\"\"," + addr + ",YES,qexal\r\n");
  EXPECT_EQ(Run(), 1);
  EXPECT_NE(Log().find("Download of DAS " + kSerial + " at " + addr +
                       " did not complete: answered HTTP 400 to the identity request (is this "
                       "an HTTPS port?)"),
            std::string::npos)
      << Log();
  EXPECT_FALSE(FileExists(dir.File(kSerial)));
  EXPECT_EQ(ReadFileBytes(dir.File("daslist.txt")),
            kListHeader + kSerial + ",unit,\"\"," + addr + ",YES,qexal\r\n");
}

}  // namespace
