// A real nginx on the loopback interface standing in for a DAS unit, so the
// program is tried against a web server it was not written alongside. The
// server runs as an ordinary child process with its own configuration, pid
// file, temp paths and logs in a private directory, on a free loopback port,
// with Basic authentication for user "admin". It serves one unit of either
// kind from files the test puts in place:
//   multi-device: /setup/logexport.cgi?MB=0 (device list), ?MB=N (log of
//     device N), ?CFG=NAME (configuration files), /setup/statlog.cgi?
//     DELMBZIPLOG=N (delete answer), all mapped from the query onto files;
//   single meter: /loggerconfig.ini, /mb-001.log, /mb-001.ini,
//     /deletelog.cgi, and 404 for everything under /setup/.
// Options make it behave as real installations do: gzip_static always,
// chunked answers (as a proxy in front of a unit gives them), a 200 HTML page
// for unknown paths, a TLS-only port, a rate limit so that a large body is
// still on its way when the server is reloaded.
//
// The server is stopped when the object goes away, and also when the test
// process dies (the child is told so by the kernel), so no nginx outlives a
// test.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

struct NginxOptions {
  int nKind = 1;                  // 1 multi-device, 2 single meter
  std::string password = "qexal";
  bool bGzipStatic = false;       // every file also as .gz; gzip_static always
  bool bChunked = false;          // every 200 body as Transfer-Encoding: chunked
  bool bHtmlForUnknown = false;   // unknown paths: 200 with an HTML page
  bool bTlsPort = false;          // a second port that speaks TLS only
  long nRateLimit = 0;            // bytes per second per connection, 0 = none
};

class NginxUnit {
 public:
  // Where the nginx program lies; empty when there is none.
  static std::string Binary();

  explicit NginxUnit(const NginxOptions &opt);
  ~NginxUnit();
  NginxUnit(const NginxUnit &) = delete;
  NginxUnit &operator=(const NginxUnit &) = delete;

  // Puts the body that the unit serves at a request target (path and query
  // as the program sends them). Works before and after Start.
  void Put(const std::string &target, const std::string &body);
  // Starts the server and waits until it accepts connections. False (with
  // the reason) when it did not come up.
  bool Start(std::string *pError);
  // Re-reads the configuration (SIGHUP): new workers take over, the old one
  // finishes what it is sending for at most one second, then closes.
  bool Reload();
  void Stop();

  int Port() const { return m_nPort; }
  int TlsPort() const { return m_nTlsPort; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(m_nPort); }
  // The request targets answered so far, in order (from the access log).
  std::vector<std::string> Requests() const;
  const std::string &Dir() const { return m_dir; }
  // nginx's own error log, for failure messages.
  std::string ErrorLog() const;

 private:
  std::string FileFor(const std::string &target) const;
  std::string Config() const;

  NginxOptions m_opt;
  std::string m_dir;
  int m_nPort = 0;
  int m_nTlsPort = 0;
  bool m_bTlsReal = false;
  pid_t m_pid = -1;
};
