// das-sim: runs one simulated DAS unit until SIGINT/SIGTERM or --duration.
// Prints "listening on ADDRESS:PORT" once it accepts connections, so that a
// script can start it on port 0 and read the port back.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

#include "tools/das-sim/sim.h"

namespace {

volatile sig_atomic_t g_bQuit = 0;

void OnSignal(int) { g_bQuit = 1; }

void Usage() {
  fprintf(stderr,
          "usage: das-sim [options]\n"
          "  --kind multi|single     unit kind (default multi)\n"
          "  --port N                TCP port, 0 = any free one (default 0)\n"
          "  --bind ADDR             address to listen on (default 127.0.0.1)\n"
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
          "  --duration SEC          stop after SEC seconds\n"
          "  --verbose               one line per request on stderr\n");
}

// Splits "PATH=VALUE" at its last '=' (paths contain '=' themselves).
bool SplitFault(const char *psz, std::string *pPath, std::string *pValue) {
  const char *pEq = strrchr(psz, '=');
  if (!pEq || pEq == psz) return false;
  pPath->assign(psz, static_cast<size_t>(pEq - psz));
  pValue->assign(pEq + 1);
  return !pValue->empty();
}

struct PendingFault {
  int nWhat;  // 0 status, 1 slow, 2 stall, 3 cut, 4 generated body, 5 chunked,
              // 6 chunked with extensions, 7 encoding, 8 header line, 9 NUL
              // header, 10 continue, 11 dribble, 12 bad stamps
  std::string path;
  long nA, nB;
  std::string text;
};

}  // namespace

int main(int argc, char **argv) {
  SimConfig cfg;
  int nPort = 0;
  double dDuration = -1;
  long nAdvanceMin = 0;
  double dAdvanceSec = 0;
  std::vector<PendingFault> faults;
  std::string oddList;
  long nSerialComment = 0;
  bool bBlackHole = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&]() -> const char * {
      if (i + 1 >= argc) {
        fprintf(stderr, "das-sim: %s needs a value\n", a.c_str());
        exit(2);
      }
      return argv[++i];
    };
    std::string path, v;
    if (a == "--kind") {
      std::string k = value();
      if (k == "multi" || k == "1")
        cfg.nKind = 1;
      else if (k == "single" || k == "2")
        cfg.nKind = 2;
      else {
        fprintf(stderr, "das-sim: unknown kind %s\n", k.c_str());
        return 2;
      }
    } else if (a == "--port") {
      nPort = atoi(value());
    } else if (a == "--bind") {
      cfg.bindAddress = value();
    } else if (a == "--serial") {
      cfg.serial = value();
    } else if (a == "--name") {
      cfg.name = value();
    } else if (a == "--password") {
      cfg.password = value();
    } else if (a == "--devices") {
      cfg.devices.clear();
      std::string list = value();
      for (size_t p = 0; p < list.size();) {
        size_t e = list.find(',', p);
        if (e == std::string::npos) e = list.size();
        if (e > p) cfg.devices.push_back(atoi(list.substr(p, e - p).c_str()));
        p = e + 1;
      }
    } else if (a == "--records") {
      cfg.nRecords = atol(value());
    } else if (a == "--first-time") {
      cfg.firstTime = value();
    } else if (a == "--crlf-config") {
      cfg.bCrlfConfig = true;
    } else if (a == "--crlf-log") {
      cfg.bCrlfLog = true;
    } else if (a == "--no-length") {
      cfg.bNoContentLength = true;
    } else if (a == "--verbose") {
      cfg.bVerbose = true;
    } else if (a == "--duration") {
      dDuration = atof(value());
    } else if (a == "--advance") {
      if (sscanf(value(), "%ld/%lf", &nAdvanceMin, &dAdvanceSec) != 2 || dAdvanceSec <= 0) {
        fprintf(stderr, "das-sim: --advance wants MIN/SEC\n");
        return 2;
      }
    } else if (a == "--odd-devlist") {
      oddList = value();
    } else if (a == "--serial-comment") {
      nSerialComment = atol(value());
    } else if (a == "--html-unknown") {
      cfg.bHtmlForUnknown = true;
    } else if (a == "--black-hole") {
      bBlackHole = true;
    } else if (a == "--fault" || a == "--slow" || a == "--stall" || a == "--cut" ||
               a == "--big" || a == "--chunked" || a == "--chunked-ext" || a == "--encoding" ||
               a == "--header-line" || a == "--nul-header" || a == "--continue" ||
               a == "--dribble" || a == "--bad-stamps") {
      if (!SplitFault(value(), &path, &v)) {
        fprintf(stderr, "das-sim: %s wants PATH=VALUE\n", a.c_str());
        return 2;
      }
      PendingFault f{0, path, atol(v.c_str()), 0, v};
      const char *more[] = {"--chunked", "--chunked-ext", "--encoding", "--header-line",
                            "--nul-header", "--continue", "--dribble", "--bad-stamps"};
      for (int k = 0; k < 8; k++)
        if (a == more[k]) f.nWhat = 5 + k;
      if (a == "--slow") {
        f.nWhat = 1;
        size_t c = v.find(':');
        f.nB = c == std::string::npos ? 100 : atol(v.c_str() + c + 1);
      } else if (a == "--stall") {
        f.nWhat = 2;
      } else if (a == "--cut") {
        f.nWhat = 3;
      } else if (a == "--big") {
        f.nWhat = 4;
      }
      faults.push_back(f);
    } else if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else {
      fprintf(stderr, "das-sim: unknown option %s\n", a.c_str());
      Usage();
      return 2;
    }
  }

  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);

  if (bBlackHole) {
    SimBlackHole *pHole = SimStartBlackHole(cfg.bindAddress);
    if (!pHole) {
      fprintf(stderr, "das-sim: cannot listen on %s\n", cfg.bindAddress.c_str());
      return 1;
    }
    printf("listening on %s:%d\n", cfg.bindAddress.c_str(), SimBlackHolePort(pHole));
    fflush(stdout);
    auto start = std::chrono::steady_clock::now();
    while (!g_bQuit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      auto now = std::chrono::steady_clock::now();
      if (dDuration >= 0 && std::chrono::duration<double>(now - start).count() >= dDuration) break;
    }
    SimStopBlackHole(pHole);
    return 0;
  }

  SimServer *pSim = SimStart(cfg, nPort);
  if (!pSim) {
    fprintf(stderr, "das-sim: cannot listen on %s:%d (or bad --first-time)\n", cfg.bindAddress.c_str(),
            nPort);
    return 1;
  }
  std::map<std::string, std::vector<std::string>> extraHeaders;
  for (const PendingFault &f : faults) {
    if (f.nWhat == 0) SimSetStatus(pSim, f.path, static_cast<int>(f.nA));
    if (f.nWhat == 1) SimSetSlowBody(pSim, f.path, static_cast<int>(f.nA), static_cast<int>(f.nB));
    if (f.nWhat == 2) SimSetStallBody(pSim, f.path, f.nA);
    if (f.nWhat == 3) SimSetCutBody(pSim, f.path, f.nA);
    if (f.nWhat == 4) SimSetGeneratedBody(pSim, f.path, f.nA);
    if (f.nWhat == 5) SimSetChunked(pSim, f.path, static_cast<int>(f.nA));
    if (f.nWhat == 6) SimSetChunked(pSim, f.path, static_cast<int>(f.nA), true, true);
    if (f.nWhat == 7) SimSetContentEncoding(pSim, f.path, f.text);
    if (f.nWhat == 8 || f.nWhat == 9) {
      extraHeaders[f.path].push_back(f.nWhat == 8 ? SimHeaderLine(static_cast<int>(f.nA))
                                                  : std::string("\0X-After-Nul: 1", 15));
      SimSetExtraHeaders(pSim, f.path, extraHeaders[f.path]);
    }
    if (f.nWhat == 10) SimSetInterim(pSim, f.path, static_cast<int>(f.nA));
    if (f.nWhat == 11) SimSetDribble(pSim, f.path, static_cast<int>(f.nA));
    if (f.nWhat == 12) SimSetExtraLines(pSim, f.path, SimBadStampLines(cfg, static_cast<int>(f.nA)));
  }
  if (!oddList.empty()) {
    std::string body = SimOddDeviceList(cfg, oddList);
    if (body.empty()) {
      fprintf(stderr, "das-sim: unknown device list fault %s\n", oddList.c_str());
      SimStop(pSim);
      return 2;
    }
    SimSetBody(pSim, "/setup/logexport.cgi?MB=0", body);
  }
  if (nSerialComment > 0) {
    const std::string path = cfg.nKind == 2 ? "/loggerconfig.ini" : "/setup/logexport.cgi?CFG=loggerconfig.ini";
    SimSetExtraLines(pSim, path, {SimSerialCommentLine(static_cast<int>(nSerialComment), "DAS0FAKE0000")},
                     true);
  }
  printf("listening on %s:%d\n", cfg.bindAddress.c_str(), SimPort(pSim));
  fflush(stdout);

  auto start = std::chrono::steady_clock::now();
  auto lastAdvance = start;
  while (!g_bQuit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto now = std::chrono::steady_clock::now();
    if (dDuration >= 0 && std::chrono::duration<double>(now - start).count() >= dDuration) break;
    if (nAdvanceMin > 0 && std::chrono::duration<double>(now - lastAdvance).count() >= dAdvanceSec) {
      SimAdvance(pSim, nAdvanceMin);
      lastAdvance = now;
    }
  }
  SimStop(pSim);
  return 0;
}
