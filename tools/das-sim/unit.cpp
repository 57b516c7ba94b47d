// What the simulated unit holds: its own calendar (kept apart from the
// program's on purpose, so that the two check each other), the
// configuration files and device list it serves, the record lines of its
// logs, and the helpers of sim.h that need no server.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/das-sim/sim_int.h"

namespace sim {

namespace {

// days since 1970-01-01 of a proleptic Gregorian date
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

void CivilFromDays(long z, long *py, unsigned *pm, unsigned *pd) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long y = static_cast<long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *pd = doy - (153 * mp + 2) / 5 + 1;
  *pm = mp < 10 ? mp + 3 : mp - 9;
  *py = y + (*pm <= 2);
}

const char *kLogHeader = "time,error,lowalarm,highalarm,kWh,kW,kVAR,PF,Volts A,Volts B,Volts C";
const char *kDeviceListHeader = "Modbus ID,DeviceName,DeviceType,DeviceClass,Log File URL";

// One device's line of the device list, line end not included.
std::string DeviceListLine(int n) {
  char buf[256];
  snprintf(buf, sizeof buf,
           "%03d,\"Meter %d\",\"Energy meter, three phase, E330\",2,"
           "<a href=/setup/logexport.cgi?MB=%d>mb-%03d.log</a>",
           n, n, n, n);
  return buf;
}

// Appends v / 10^nFrac with exactly nInt integer digits (zero-padded) and
// nFrac decimals; integer work only, since the log generator is on the hot
// path of the large-body benchmarks.
void PutFixed(char *&pOut, unsigned long v, int nInt, int nFrac) {
  char digits[32];
  const int nAll = nInt + nFrac;
  for (int i = nAll - 1; i >= 0; i--) {
    digits[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  for (int i = 0; i < nAll; i++) {
    if (i == nInt) *pOut++ = '.';
    *pOut++ = digits[i];
  }
}

}  // namespace

bool ParseTime(const std::string &text, long long *pllSecs) {
  int y, mo, d, h, mi, s;
  char c;
  if (sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &c) != 6) return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
      s > 59)
    return false;
  *pllSecs = static_cast<long long>(DaysFromCivil(y, mo, d)) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

std::string FormatTime(long long llSecs) {
  long long days = llSecs / 86400, rem = llSecs % 86400;
  if (rem < 0) {
    rem += 86400;
    days--;
  }
  long y;
  unsigned m, d;
  CivilFromDays(static_cast<long>(days), &y, &m, &d);
  const int h = static_cast<int>(rem / 3600), mi = static_cast<int>(rem / 60 % 60),
            sec = static_cast<int>(rem % 60);
  if (y < 0 || y > 9999) {
    char buf[64];
    snprintf(buf, sizeof buf, "%04ld-%02u-%02u %02d:%02d:%02d", y, m, d, h, mi, sec);
    return buf;
  }
  // The common case by hand: the log generator formats one per record.
  char buf[20] = {'0', '0', '0', '0', '-', '0', '0', '-', '0', '0', ' ', '0', '0', ':', '0', '0', ':', '0', '0'};
  auto put = [&buf](int nPos, int nWidth, long v) {
    for (int i = nPos + nWidth - 1; i >= nPos; i--, v /= 10) buf[i] = static_cast<char>('0' + v % 10);
  };
  put(0, 4, y);
  put(5, 2, m);
  put(8, 2, d);
  put(11, 2, h);
  put(14, 2, mi);
  put(17, 2, sec);
  return std::string(buf, 19);
}

const char *const kHtmlPage =
    "<!DOCTYPE html>\n<html>\n<head><title>Welcome</title></head>\n<body>\n"
    "<h1>It works!</h1>\n<p>This is the default web page for this server.</p>\n</body>\n</html>\n";

const char *StatusText(int n) {
  switch (n) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

std::string Eol(bool bCrlf) { return bCrlf ? "\r\n" : "\n"; }

std::string UnitConfig(const SimConfig &c) {
  const std::string e = Eol(c.bCrlfConfig);
  std::string s;
  s += "[General]" + e;
  s += "SERIALNUMBER=" + c.serial + e;
  s += "LOOPNAME=" + c.name + e;
  s += "FIRMWARE=1.2.7" + e;
  s += "DHCP=0" + e;
  s += "IPADDRESS=127.0.0.1" + e;
  s += "LOGPERIOD=60" + e;
  s += "TIMEZONE=UTC" + e;
  return s;
}

std::string DeviceConfig(const SimConfig &c, int n) {
  const std::string e = Eol(c.bCrlfConfig);
  char buf[256];
  snprintf(buf, sizeof buf, "MODBUSID=%d%sDEVICENAME=Meter %d%sDEVICETYPE=Energy meter%sBAUD=9600%s", n,
           e.c_str(), n, e.c_str(), e.c_str(), e.c_str());
  return buf;
}

std::string DeviceList(const SimConfig &c) {
  const std::string e = Eol(c.bCrlfConfig);
  std::string s = kDeviceListHeader + e;
  for (int n : c.devices) s += DeviceListLine(n) + e;
  return s;
}

std::string RecordLine(const SimConfig &c, long long llFirst, int nDevice, long nIndex) {
  std::string t = FormatTime(llFirst + static_cast<long long>(nIndex) * 60);
  if (c.cTimeQuote) t = c.cTimeQuote + t + c.cTimeQuote;
  // Deterministic, fixed-width values so that every line has the same length.
  const unsigned long u =
      static_cast<unsigned long>(nIndex) * 2654435761UL + static_cast<unsigned long>(nDevice) * 40503UL;
  char buf[128];
  char *p = buf;
  for (const char *q = ",0,0,0,"; *q; q++) *p++ = *q;
  PutFixed(p, (static_cast<unsigned long>(nIndex) + 1000UL * static_cast<unsigned long>(nDevice)) % 999999,
           6, 1);  // kWh
  *p++ = ',';
  PutFixed(p, u % 99999, 2, 3);  // kW
  *p++ = ',';
  PutFixed(p, (u >> 8) % 9999, 1, 3);  // kVAR
  *p++ = ',';
  PutFixed(p, (u >> 4) % 1000, 1, 3);  // PF
  for (int nShift : {3, 5, 7}) {  // volts of the three phases
    *p++ = ',';
    PutFixed(p, 2200 + (u >> nShift) % 200, 3, 1);
  }
  t.append(buf, static_cast<size_t>(p - buf));
  t += Eol(c.bCrlfLog);
  return t;
}

std::string LogHeader(const SimConfig &c) { return kLogHeader + Eol(c.bCrlfLog); }

}  // namespace sim

using namespace sim;

long SimRecordBytes(const SimConfig &cfg) {
  long long llFirst = 0;
  if (!ParseTime(cfg.firstTime, &llFirst)) return 0;
  return static_cast<long>(RecordLine(cfg, llFirst, 1, 0).size());
}

long SimHeaderBytes(const SimConfig &cfg) { return static_cast<long>(LogHeader(cfg).size()); }

std::string SimRecordLine(const SimConfig &cfg, int nDevice, long nIndex) {
  long long llFirst = 0;
  if (!ParseTime(cfg.firstTime, &llFirst)) return "";
  return RecordLine(cfg, llFirst, nDevice, nIndex);
}

std::string SimRecordTime(const SimConfig &cfg, long nIndex) {
  long long llFirst = 0;
  if (!ParseTime(cfg.firstTime, &llFirst)) return "";
  return FormatTime(llFirst + static_cast<long long>(nIndex) * 60);
}

std::string SimHeaderLine(int nLen) {
  std::string s = "X-Padding: ";
  if (nLen > static_cast<int>(s.size())) s.append(static_cast<size_t>(nLen) - s.size(), 'a');
  s.resize(static_cast<size_t>(std::max(0, nLen)));
  return s;
}

std::vector<std::string> SimBadStampLines(const SimConfig &cfg, int nDevice) {
  const std::string day = cfg.firstTime.substr(0, 10);
  const std::string year = cfg.firstTime.substr(0, 4);
  std::vector<std::string> v;
  const char *stamps[] = {"%D 12:60:00", "%D 12:00:61", "%D 24:00:00", "%Y-02-30 12:00:00",
                          "%Y-13-01 12:00:00", "1969-12-31 23:59:00", "2107-01-01 00:00:00"};
  for (const char *st : stamps) {
    std::string t = st;
    if (t.rfind("%D", 0) == 0) t = day + t.substr(2);
    if (t.rfind("%Y", 0) == 0) t = year + t.substr(2);
    std::string line = SimRecordLine(cfg, nDevice, 0);
    // Keep the record's values, put the bad time in front of them.
    size_t c = line.find(',');
    std::string rest = c == std::string::npos ? "" : line.substr(c);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) rest.pop_back();
    if (cfg.cTimeQuote) t = cfg.cTimeQuote + t + cfg.cTimeQuote;
    v.push_back(t + rest);
  }
  return v;
}

std::string SimOddDeviceList(const SimConfig &cfg, const std::string &kind) {
  const std::string e = Eol(cfg.bCrlfConfig);
  std::string s = kDeviceListHeader + e;
  auto line = DeviceListLine;
  std::vector<int> devs = cfg.nKind == 2 ? std::vector<int>{1} : cfg.devices;
  if (kind == "sub") {
    for (size_t i = 0; i < devs.size(); i++) {
      std::string l = line(devs[i]);
      if (i == 0) l.insert(l.find(',') + 1, "\x1a");
      s += l + e;
    }
  } else if (kind == "wrap") {
    s += "4294967297,\"Wraps to 1\",\"x\",2,none" + e;
    for (int n : devs) s += line(n) + e;
  } else if (kind == "long") {
    // The last device appears only inside the long line; the others are
    // listed as usual.
    std::string l = "999,\"Long\",\"";
    while (l.size() < 3000) {
      const size_t nNext = l.size() < 1023 ? 1023 : l.size() < 2046 ? 2046 : 3000;
      l.append(nNext - l.size(), 'x');
      if (nNext < 3000 && !devs.empty()) l += std::to_string(devs.back()) + ",";
    }
    l.resize(2999);
    l += "\"";
    s += l + e;
    for (size_t i = 0; i + 1 < devs.size(); i++) s += line(devs[i]) + e;
  } else if (kind == "dup") {
    for (int n : devs) s += line(n) + e;
    for (int n : devs) s += line(n) + e;
  } else if (kind == "nodevice") {
    s += "# no devices configured" + e;
  } else if (kind == "signs") {
    for (const char *t : {"+2", "-1", "1e2", "0x3", "2.5", "3x", "00000000000000000004"})
      s += std::string(t) + ",\"Odd\",\"x\",2,none" + e;
    for (int n : devs) s += line(n) + e;
  } else {
    return "";
  }
  return s;
}

std::string SimSerialCommentLine(int nLen, const std::string &fake) {
  std::string s = "; ";
  const std::string key = "SERIALNUMBER=" + fake;
  while (static_cast<int>(s.size()) < nLen) {
    if (s.size() % 255 == 0 && s.size() > 0 && static_cast<int>(s.size() + key.size()) <= nLen)
      s += key;
    else
      s += '-';
  }
  return s;
}

std::string SimBase64(const std::string &text) {
  static const char *k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < text.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(text[i]) << 16) |
                 (static_cast<unsigned char>(text[i + 1]) << 8) | static_cast<unsigned char>(text[i + 2]);
    out += k[(v >> 18) & 63];
    out += k[(v >> 12) & 63];
    out += k[(v >> 6) & 63];
    out += k[v & 63];
  }
  size_t r = text.size() - i;
  if (r == 1) {
    unsigned v = static_cast<unsigned char>(text[i]) << 16;
    out += k[(v >> 18) & 63];
    out += k[(v >> 12) & 63];
    out += "==";
  } else if (r == 2) {
    unsigned v = (static_cast<unsigned char>(text[i]) << 16) | (static_cast<unsigned char>(text[i + 1]) << 8);
    out += k[(v >> 18) & 63];
    out += k[(v >> 12) & 63];
    out += k[(v >> 6) & 63];
    out += '=';
  }
  return out;
}
