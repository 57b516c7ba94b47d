// das-sim: runs one simulated DAS unit, or with --fleet a whole list of
// them, until SIGINT/SIGTERM or --duration. Prints "listening on
// ADDRESS:PORT" once it accepts connections (a fleet: one such line per
// unit, in the order of its file, once all of them do), so that a script
// can start it on port 0 and read the ports back.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tools/das-sim/sim.h"

namespace {

volatile sig_atomic_t g_bQuit = 0;

void OnSignal(int) { g_bQuit = 1; }

void Usage() {
  fprintf(stderr,
          "usage: das-sim [options]\n"
          "  --kind multi|single     unit kind (default multi)\n"
          "  --port N                TCP port, 0 = any free one (default 0)\n"
          "  --bind ADDR             address to listen on, IPv4 or IPv6 (default 127.0.0.1)\n"
          "  --serial S              SERIALNUMBER value served\n"
          "  --name N                LOOPNAME value served\n"
          "  --password P            password of user admin (default qexal)\n"
          "  --devices 1,2,3         Modbus IDs of a multi-device unit\n"
          "  --records N             one-minute records per device log\n"
          "  --first-time T          time of the first record, \"YYYY-MM-DD hh:mm:ss\"\n"
          "  --crlf-config           configuration files and device list with CR LF\n"
          "  --crlf-log              logs with CR LF\n"
          "  --no-length             answers without Content-Length\n"
          "  --advance MIN/SEC       every SEC seconds, MIN new records per device\n"
          "  --fault PATH=STATUS     answer PATH with STATUS\n"
          "  --slow PATH=CHUNK:MS    send PATH's body in CHUNK bytes every MS ms\n"
          "  --stall PATH=BYTES      stop sending PATH's body after BYTES\n"
          "  --cut PATH=BYTES        close PATH's connection after BYTES of body\n"
          "  --big PATH=BYTES        serve a generated log of about BYTES at PATH\n"
          "  --chunked PATH=N        PATH's answers chunked, chunks of about N bytes\n"
          "  --chunked-ext PATH=N    the same with chunk extensions and a trailer\n"
          "  --encoding PATH=CODING  Content-Encoding gzip or deflate (others: header only)\n"
          "  --header-line PATH=LEN  add a header line of LEN bytes to PATH's answers\n"
          "  --nul-header PATH=1     add a header line that starts with a NUL byte\n"
          "  --continue PATH=N       N interim \"100 Continue\" answers before the status\n"
          "  --dribble PATH=MS       the whole answer one byte every MS ms\n"
          "  --bad-stamps PATH=DEV   append log lines with out-of-range time stamps\n"
          "  --odd-devlist KIND      device list fault: sub, wrap, long, dup, nodevice, signs\n"
          "  --serial-comment LEN    a LEN-byte comment line before SERIALNUMBER carrying\n"
          "                          a fake SERIALNUMBER= at every 255th byte\n"
          "  --html-unknown          answer unknown paths 200 with an HTML page\n"
          "  --black-hole            serve nothing: a port whose connects never complete\n"
          "  --fleet FILE            many units in one process, one line of FILE each: the\n"
          "                          options above for that unit (\"...\" around a value with\n"
          "                          blanks; # starts a comment line); the command line's\n"
          "                          options apply to every unit, --duration and --advance\n"
          "                          to the run\n"
          "  --duration SEC          stop after SEC seconds\n"
          "  --verbose               one line per request on stderr\n");
}

// The faults given as PATH=VALUE, by option.
enum class FaultKind { kStatus, kSlow, kStall, kCut, kBig, kChunked, kChunkedExt, kEncoding,
                       kHeaderLine, kNulHeader, kContinue, kDribble, kBadStamps };

const struct {
  const char *pszOption;
  FaultKind kind;
} kFaultOptions[] = {
    {"--fault", FaultKind::kStatus},         {"--slow", FaultKind::kSlow},
    {"--stall", FaultKind::kStall},          {"--cut", FaultKind::kCut},
    {"--big", FaultKind::kBig},              {"--chunked", FaultKind::kChunked},
    {"--chunked-ext", FaultKind::kChunkedExt}, {"--encoding", FaultKind::kEncoding},
    {"--header-line", FaultKind::kHeaderLine}, {"--nul-header", FaultKind::kNulHeader},
    {"--continue", FaultKind::kContinue},    {"--dribble", FaultKind::kDribble},
    {"--bad-stamps", FaultKind::kBadStamps},
};

// The options without a value that switch on a setting of the unit.
const struct {
  const char *pszOption;
  bool SimConfig::*pbSetting;
} kFlagOptions[] = {
    {"--crlf-config", &SimConfig::bCrlfConfig},     {"--crlf-log", &SimConfig::bCrlfLog},
    {"--no-length", &SimConfig::bNoContentLength},  {"--verbose", &SimConfig::bVerbose},
    {"--html-unknown", &SimConfig::bHtmlForUnknown},
};

struct PendingFault {
  FaultKind kind;
  std::string path;
  long nA, nB;  // the number(s) of the value; --slow: chunk and delay
  std::string text;
};

struct Options {
  SimConfig cfg;
  int nPort = 0;
  double dDuration = -1;
  long nAdvanceMin = 0;
  double dAdvanceSec = 0;
  std::vector<PendingFault> faults;
  std::string oddList;
  long nSerialComment = 0;
  bool bBlackHole = false;
  std::string fleetFile;
};

// What a parse step says: the option was not this step's, it was taken, or
// the program ends with this status.
constexpr int kNotMine = -2;
constexpr int kTaken = -1;

// Splits "PATH=VALUE" at its last '=' (paths contain '=' themselves).
bool SplitFault(const char *psz, std::string *pPath, std::string *pValue) {
  const char *pEq = strrchr(psz, '=');
  if (!pEq || pEq == psz) return false;
  pPath->assign(psz, static_cast<size_t>(pEq - psz));
  pValue->assign(pEq + 1);
  return !pValue->empty();
}

bool TakeFlag(const std::string &a, Options *pOpt) {
  for (const auto &f : kFlagOptions)
    if (a == f.pszOption) {
      pOpt->cfg.*f.pbSetting = true;
      return true;
    }
  if (a != "--black-hole") return false;
  pOpt->bBlackHole = true;
  return true;
}

std::vector<int> DeviceIds(const std::string &list) {
  std::vector<int> ids;
  for (size_t p = 0; p < list.size();) {
    size_t e = list.find(',', p);
    if (e == std::string::npos) e = list.size();
    if (e > p) ids.push_back(atoi(list.substr(p, e - p).c_str()));
    p = e + 1;
  }
  return ids;
}

// A setting of the unit or of the run, with its value.
int TakeSetting(const std::string &a, const char *v, Options *pOpt) {
  SimConfig &cfg = pOpt->cfg;
  if (a == "--kind") {
    const std::string k = v;
    if (k != "multi" && k != "1" && k != "single" && k != "2") {
      fprintf(stderr, "das-sim: unknown kind %s\n", v);
      return 2;
    }
    cfg.nKind = k == "single" || k == "2" ? 2 : 1;
  } else if (a == "--port") {
    pOpt->nPort = atoi(v);
  } else if (a == "--bind") {
    cfg.bindAddress = v;
  } else if (a == "--serial") {
    cfg.serial = v;
  } else if (a == "--name") {
    cfg.name = v;
  } else if (a == "--password") {
    cfg.password = v;
  } else if (a == "--devices") {
    cfg.devices = DeviceIds(v);
  } else if (a == "--records") {
    cfg.nRecords = atol(v);
  } else if (a == "--first-time") {
    cfg.firstTime = v;
  } else if (a == "--duration") {
    pOpt->dDuration = atof(v);
  } else if (a == "--advance") {
    if (sscanf(v, "%ld/%lf", &pOpt->nAdvanceMin, &pOpt->dAdvanceSec) != 2 || pOpt->dAdvanceSec <= 0) {
      fprintf(stderr, "das-sim: --advance wants MIN/SEC\n");
      return 2;
    }
  } else if (a == "--odd-devlist") {
    pOpt->oddList = v;
  } else if (a == "--serial-comment") {
    pOpt->nSerialComment = atol(v);
  } else if (a == "--fleet") {
    pOpt->fleetFile = v;
  } else {
    return kNotMine;
  }
  return kTaken;
}

// A fault, PATH=VALUE, kept until the unit runs.
int TakeFault(const std::string &a, const char *v, Options *pOpt) {
  for (const auto &o : kFaultOptions) {
    if (a != o.pszOption) continue;
    std::string path, value;
    if (!SplitFault(v, &path, &value)) {
      fprintf(stderr, "das-sim: %s wants PATH=VALUE\n", a.c_str());
      return 2;
    }
    PendingFault f{o.kind, path, atol(value.c_str()), 0, value};
    if (o.kind == FaultKind::kSlow) {
      const size_t c = value.find(':');
      f.nB = c == std::string::npos ? 100 : atol(value.c_str() + c + 1);
    }
    pOpt->faults.push_back(f);
    return kTaken;
  }
  return kNotMine;
}

// The options that take a value, besides the faults.
const char *const kSettingOptions[] = {"--kind", "--port", "--bind", "--serial", "--name",
                                       "--password", "--devices", "--records", "--first-time",
                                       "--duration", "--advance", "--odd-devlist",
                                       "--serial-comment", "--fleet"};

bool TakesValue(const std::string &a) {
  for (const char *psz : kSettingOptions)
    if (a == psz) return true;
  for (const auto &o : kFaultOptions)
    if (a == o.pszOption) return true;
  return false;
}

// kTaken when the command line was read whole, else the exit status.
int ParseArgs(int argc, char **argv, Options *pOpt) {
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    }
    if (TakeFlag(a, pOpt)) continue;
    int r = kNotMine;
    if (TakesValue(a)) {
      if (i + 1 >= argc) {
        fprintf(stderr, "das-sim: %s needs a value\n", a.c_str());
        return 2;
      }
      const char *v = argv[++i];
      r = TakeSetting(a, v, pOpt);
      if (r == kNotMine) r = TakeFault(a, v, pOpt);
    }
    if (r == kNotMine) {
      fprintf(stderr, "das-sim: unknown option %s\n", a.c_str());
      Usage();
      return 2;
    }
    if (r != kTaken) return r;
  }
  return kTaken;
}

// Puts the faults of the command line on the running unit, in their order.
void ApplyFaults(SimServer *pSim, const Options &opt) {
  std::map<std::string, std::vector<std::string>> extraHeaders;  // they add up per path
  for (const PendingFault &f : opt.faults) {
    const int n = static_cast<int>(f.nA);
    switch (f.kind) {
      case FaultKind::kStatus: SimSetStatus(pSim, f.path, n); break;
      case FaultKind::kSlow: SimSetSlowBody(pSim, f.path, n, static_cast<int>(f.nB)); break;
      case FaultKind::kStall: SimSetStallBody(pSim, f.path, f.nA); break;
      case FaultKind::kCut: SimSetCutBody(pSim, f.path, f.nA); break;
      case FaultKind::kBig: SimSetGeneratedBody(pSim, f.path, f.nA); break;
      case FaultKind::kChunked: SimSetChunked(pSim, f.path, n); break;
      case FaultKind::kChunkedExt: SimSetChunked(pSim, f.path, n, true, true); break;
      case FaultKind::kEncoding: SimSetContentEncoding(pSim, f.path, f.text); break;
      case FaultKind::kHeaderLine:
      case FaultKind::kNulHeader:
        extraHeaders[f.path].push_back(f.kind == FaultKind::kHeaderLine ? SimHeaderLine(n)
                                                                        : std::string("\0X-After-Nul: 1", 15));
        SimSetExtraHeaders(pSim, f.path, extraHeaders[f.path]);
        break;
      case FaultKind::kContinue: SimSetInterim(pSim, f.path, n); break;
      case FaultKind::kDribble: SimSetDribble(pSim, f.path, n); break;
      case FaultKind::kBadStamps: SimSetExtraLines(pSim, f.path, SimBadStampLines(opt.cfg, n)); break;
    }
  }
}

// The device-list and serial-comment options, which need the unit's kind;
// false (after a message) for an unknown device list fault.
bool ApplyContent(SimServer *pSim, const Options &opt) {
  if (!opt.oddList.empty()) {
    const std::string body = SimOddDeviceList(opt.cfg, opt.oddList);
    if (body.empty()) {
      fprintf(stderr, "das-sim: unknown device list fault %s\n", opt.oddList.c_str());
      return false;
    }
    SimSetBody(pSim, "/setup/logexport.cgi?MB=0", body);
  }
  if (opt.nSerialComment > 0) {
    const std::string path =
        opt.cfg.nKind == 2 ? "/loggerconfig.ini" : "/setup/logexport.cgi?CFG=loggerconfig.ini";
    SimSetExtraLines(pSim, path, {SimSerialCommentLine(static_cast<int>(opt.nSerialComment), "DAS0FAKE0000")},
                     true);
  }
  return true;
}

// Waits for a signal or the end of --duration; the units gain records as
// --advance says meanwhile.
void RunUntilQuit(const Options &opt, const std::vector<SimServer *> &units) {
  auto start = std::chrono::steady_clock::now();
  auto lastAdvance = start;
  while (!g_bQuit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto now = std::chrono::steady_clock::now();
    if (opt.dDuration >= 0 && std::chrono::duration<double>(now - start).count() >= opt.dDuration) break;
    if (opt.nAdvanceMin > 0 && std::chrono::duration<double>(now - lastAdvance).count() >= opt.dAdvanceSec) {
      for (SimServer *pSim : units) SimAdvance(pSim, opt.nAdvanceMin);
      lastAdvance = now;
    }
  }
}

// The listening address as a unit's address field takes it: an IPv6
// address in brackets, so that the port after it can be told apart.
std::string ShownAddress(const std::string &bind) {
  if (bind.find(':') == std::string::npos || bind.front() == '[') return bind;
  return "[" + bind + "]";
}

int RunBlackHole(const Options &opt) {
  SimBlackHole *pHole = SimStartBlackHole(opt.cfg.bindAddress);
  if (!pHole) {
    fprintf(stderr, "das-sim: cannot listen on %s\n", opt.cfg.bindAddress.c_str());
    return 1;
  }
  printf("listening on %s:%d\n", ShownAddress(opt.cfg.bindAddress).c_str(), SimBlackHolePort(pHole));
  fflush(stdout);
  RunUntilQuit(opt, {});
  SimStopBlackHole(pHole);
  return 0;
}

int RunUnit(const Options &opt) {
  SimServer *pSim = SimStart(opt.cfg, opt.nPort);
  if (!pSim) {
    fprintf(stderr, "das-sim: cannot listen on %s:%d (or bad --first-time)\n", opt.cfg.bindAddress.c_str(),
            opt.nPort);
    return 1;
  }
  ApplyFaults(pSim, opt);
  if (!ApplyContent(pSim, opt)) {
    SimStop(pSim);
    return 2;
  }
  printf("listening on %s:%d\n", ShownAddress(opt.cfg.bindAddress).c_str(), SimPort(pSim));
  fflush(stdout);
  RunUntilQuit(opt, {pSim});
  SimStop(pSim);
  return 0;
}

// The words of a fleet file's line; a double-quoted part may hold blanks.
std::vector<std::string> SplitWords(const std::string &line) {
  std::vector<std::string> words;
  std::string word;
  bool bInWord = false, bQuoted = false;
  for (char c : line) {
    if (c == '"') {
      bQuoted = !bQuoted;
      bInWord = true;
    } else if (!bQuoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (bInWord) words.push_back(word);
      word.clear();
      bInWord = false;
    } else {
      word += c;
      bInWord = true;
    }
  }
  if (bInWord) words.push_back(word);
  return words;
}

// The units of a fleet file, each from the command line's options and its
// own line's. kTaken when all were read, else the exit status.
int ReadFleet(const Options &base, std::vector<Options> *pUnits) {
  std::ifstream in(base.fleetFile);
  if (!in) {
    fprintf(stderr, "das-sim: cannot read %s\n", base.fleetFile.c_str());
    return 2;
  }
  std::string line;
  for (int nLine = 1; std::getline(in, line); nLine++) {
    std::vector<std::string> words = SplitWords(line);
    if (words.empty() || (!words[0].empty() && words[0][0] == '#')) continue;
    words.insert(words.begin(), "das-sim");
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    Options unit = base;
    unit.fleetFile.clear();
    if (ParseArgs(static_cast<int>(argv.size()), argv.data(), &unit) != kTaken) {
      fprintf(stderr, "das-sim: %s line %d: not a unit\n", base.fleetFile.c_str(), nLine);
      return 2;
    }
    pUnits->push_back(unit);
  }
  if (pUnits->empty()) {
    fprintf(stderr, "das-sim: %s names no unit\n", base.fleetFile.c_str());
    return 2;
  }
  return kTaken;
}

// Starts the fleet's units; holes[i] or servers[i] is set for unit i. 0 or
// the exit status (after a message).
int StartFleetUnits(const std::vector<Options> &units, SimFleet *pFleet, std::vector<SimServer *> *pServers,
                    std::vector<SimBlackHole *> *pHoles) {
  std::vector<std::string> holeAddresses;
  for (const Options &u : units)
    if (u.bBlackHole) holeAddresses.push_back(u.cfg.bindAddress);
  std::vector<SimBlackHole *> holes = SimStartBlackHoles(holeAddresses);
  if (holes.size() != holeAddresses.size()) {
    fprintf(stderr, "das-sim: cannot listen for the fleet's black holes\n");
    return 1;
  }
  size_t nHole = 0;
  pServers->assign(units.size(), nullptr);
  pHoles->assign(units.size(), nullptr);
  for (size_t i = 0; i < units.size(); i++)
    if (units[i].bBlackHole) (*pHoles)[i] = holes[nHole++];
  for (size_t i = 0; i < units.size(); i++) {
    const Options &u = units[i];
    if (u.bBlackHole) continue;
    SimServer *pSim = SimFleetAdd(pFleet, u.cfg, u.nPort);
    if (!pSim) {
      fprintf(stderr, "das-sim: unit %zu of the fleet: cannot listen on %s:%d (or bad --first-time)\n", i + 1,
              u.cfg.bindAddress.c_str(), u.nPort);
      return 1;
    }
    (*pServers)[i] = pSim;
    ApplyFaults(pSim, u);
    if (!ApplyContent(pSim, u)) return 2;
  }
  return 0;
}

int RunFleet(const Options &opt) {
  std::vector<Options> units;
  const int nRead = ReadFleet(opt, &units);
  if (nRead != kTaken) return nRead;
  SimFleet *pFleet = SimStartFleet();
  if (!pFleet) {
    fprintf(stderr, "das-sim: cannot start the fleet\n");
    return 1;
  }
  std::vector<SimServer *> servers;
  std::vector<SimBlackHole *> holes;
  const int nStatus = StartFleetUnits(units, pFleet, &servers, &holes);
  if (nStatus == 0) {
    for (size_t i = 0; i < units.size(); i++)
      printf("listening on %s:%d\n", ShownAddress(units[i].cfg.bindAddress).c_str(),
             holes[i] ? SimBlackHolePort(holes[i]) : SimPort(servers[i]));
    fflush(stdout);
    std::vector<SimServer *> serving;
    for (SimServer *p : servers)
      if (p) serving.push_back(p);
    RunUntilQuit(opt, serving);
  }
  SimStopFleet(pFleet);
  for (SimBlackHole *h : holes) SimStopBlackHole(h);
  return nStatus;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  const int nParsed = ParseArgs(argc, argv, &opt);
  if (nParsed != kTaken) return nParsed;
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  if (!opt.fleetFile.empty()) return RunFleet(opt);
  return opt.bBlackHole ? RunBlackHole(opt) : RunUnit(opt);
}
