// The real program against a real nginx standing in for a unit: whole
// unattended runs, the stored files compared byte for byte with what the
// server holds.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/nginx_fixture.h"
#include "tests/testutil.h"
#include "tools/das-sim/sim.h"

namespace fs = std::filesystem;

namespace {

const std::string kListHeader = "serialnumber,name,phone,ipaddress,deletelog,password\r\n";
const std::string kLogHeader =
    "time,error,lowalarm,highalarm,kWh,kW,kVAR,PF,Volts A,Volts B,Volts C\n";

std::string CrLf(const std::string &s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

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
  int Run() { return RunTandrel(dir.Path(), "/AUTO"); }
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

  EXPECT_EQ(Stored("devlist.txt"), CrLf(DeviceList(devices)));
  EXPECT_EQ(Stored("loggerconfig.ini"), CrLf(UnitConfig(kSerial, "Roof")));
  for (int n : devices) {
    char name[32];
    std::snprintf(name, sizeof name, "mb-%03d", n);
    EXPECT_EQ(Stored(std::string(name) + ".ini"), CrLf(DeviceConfig(n))) << name;
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
  EXPECT_EQ(Stored("loggerconfig.ini"), CrLf(UnitConfig(kSerial, "Yard")));
  EXPECT_EQ(Stored("mb-001.ini"), CrLf(DeviceConfig(1)));
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

}  // namespace
