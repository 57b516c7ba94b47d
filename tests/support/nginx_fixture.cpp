#include "tests/support/nginx_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/support/compress.h"
#include "tests/support/testutil.h"

namespace fs = std::filesystem;

namespace {

// A loopback port nobody listens on right now. The server binds it a moment
// later; Start tries again with another port if someone was quicker.
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  int nPort = 0;
  if (bind(fd, (sockaddr *)&sa, sizeof sa) == 0 && getsockname(fd, (sockaddr *)&sa, &len) == 0)
    nPort = ntohs(sa.sin_port);
  close(fd);
  return nPort;
}

bool Accepts(int nPort) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((unsigned short)nPort);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool bOk = connect(fd, (sockaddr *)&sa, sizeof sa) == 0;
  close(fd);
  return bOk;
}

void WriteFile(const std::string &path, const std::string &data) {
  fs::create_directories(fs::path(path).parent_path());
  WriteFileBytes(path, data);
}

bool HaveProgram(const char *pszName) {
  std::string cmd = std::string("command -v ") + pszName + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

const char kUnknownPage[] =
    "<!DOCTYPE html>\n<html>\n<head><title>Welcome</title></head>\n"
    "<body>\n<h1>It works!</h1>\n<p>This is the default page of this server.</p>\n</body>\n"
    "</html>\n";

}  // namespace

std::string NginxUnit::Binary() {
  for (const char *p : {"/usr/sbin/nginx", "/usr/local/sbin/nginx", "/usr/bin/nginx"})
    if (access(p, X_OK) == 0) return p;
  return "";
}

NginxUnit::NginxUnit(const NginxOptions &opt) : m_opt(opt) {
  std::string tmpl = (fs::temp_directory_path() / "tandrel-nginx-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  if (mkdtemp(buf.data())) m_dir = buf.data();
  // The workers may run as another user when the tests run as root.
  chmod(m_dir.c_str(), 0755);
  fs::create_directories(m_dir + "/www");
  fs::create_directories(m_dir + "/tmp");
  WriteFileBytes(m_dir + "/htpasswd", "admin:{PLAIN}" + m_opt.password + "\n");
  if (m_opt.bHtmlForUnknown) WriteFileBytes(m_dir + "/www/unknown.html", kUnknownPage);
}

NginxUnit::~NginxUnit() {
  Stop();
  std::error_code ec;
  if (!m_dir.empty()) fs::remove_all(m_dir, ec);
}

std::string NginxUnit::FileFor(const std::string &target) const {
  const std::string www = m_dir + "/www";
  if (m_opt.nKind == 1) {
    const std::string exp = "/setup/logexport.cgi?";
    if (target.rfind(exp + "MB=", 0) == 0) return www + "/multi/mb-" + target.substr(exp.size() + 3) + ".log";
    if (target.rfind(exp + "CFG=", 0) == 0) return www + "/multi/cfg/" + target.substr(exp.size() + 4);
    const std::string del = "/setup/statlog.cgi?DELMBZIPLOG=";
    if (target.rfind(del, 0) == 0) return www + "/multi/del-" + target.substr(del.size()) + ".txt";
  }
  return www + target;
}

void NginxUnit::Put(const std::string &target, const std::string &body) {
  const std::string file = FileFor(target);
  WriteFile(file, m_opt.bChunked ? ChunkBody(body) : body);
  if (m_opt.bGzipStatic) WriteFile(file + ".gz", Compress(body));
}

std::string NginxUnit::Config() const {
  const std::string d = m_dir;
  std::string c;
  c += "worker_processes 1;\n";
  c += "daemon off;\nmaster_process on;\n";
  c += "pid " + d + "/nginx.pid;\n";
  c += "error_log " + d + "/error.log info;\n";
  // A reload lets the old worker finish its answers for one second only.
  c += "worker_shutdown_timeout 1s;\n";
  c += "events { worker_connections 64; }\n";
  c += "http {\n";
  c += "  log_format das '$request_uri';\n";
  c += "  access_log " + d + "/access.log das;\n";
  for (const char *t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    c += std::string("  ") + t + "_temp_path " + d + "/tmp/" + t + ";\n";
  c += "  types { }\n  default_type text/plain;\n";
  c += "  server_tokens off;\n";
  if (m_opt.nKind == 1) {
    // The unit's CGI answers, mapped from the query onto generated files.
    c += "  map $arg_MB $das_mb { \"\" /none; default /multi/mb-$arg_MB.log; }\n";
    c += "  map $arg_CFG $das_cfg { \"\" /none; default /multi/cfg/$arg_CFG; }\n";
    c += "  map $arg_DELMBZIPLOG $das_del { \"\" /none; default /multi/del-$arg_DELMBZIPLOG.txt; }\n";
  }
  std::string body;  // what both servers serve
  body += "    root " + d + "/www;\n";
  body += "    auth_basic \"DAS\";\n    auth_basic_user_file " + d + "/htpasswd;\n";
  if (m_opt.nRateLimit > 0) body += "    limit_rate " + std::to_string(m_opt.nRateLimit) + ";\n";
  if (m_opt.bGzipStatic) body += "    gzip_static always;\n";
  if (m_opt.bChunked) {
    // The files hold chunk-framed bodies; the header says so and the length
    // goes (a filter that may change the body drops Content-Length), as a
    // proxy in front of a unit answers.
    body += "    add_header Transfer-Encoding chunked;\n";
    body += "    sub_filter_types *;\n    sub_filter '\\x01never-found' '';\n";
  }
  if (m_opt.bHtmlForUnknown) {
    body += "    error_page 404 =200 /unknown.html;\n";
    body += "    location = /unknown.html { default_type text/html; }\n";
  }
  if (m_opt.nKind == 1) {
    body += "    location = /setup/logexport.cgi { try_files $das_mb $das_cfg =404; }\n";
    body += "    location = /setup/statlog.cgi { try_files $das_del =404; }\n";
    body += "    location /multi/ { internal; }\n";
  } else {
    body += "    location /setup/ { return 404; }\n";
  }
  c += "  server {\n    listen 127.0.0.1:" + std::to_string(m_nPort) + ";\n" + body + "  }\n";
  if (m_opt.bTlsPort) {
    if (m_bTlsReal) {
      c += "  server {\n    listen 127.0.0.1:" + std::to_string(m_nTlsPort) + " ssl;\n";
      c += "    ssl_certificate " + d + "/cert.pem;\n    ssl_certificate_key " + d + "/key.pem;\n";
      c += body + "  }\n";
    } else {
      // Without a certificate: answer as such a port answers plain HTTP.
      c += "  server {\n    listen 127.0.0.1:" + std::to_string(m_nTlsPort) + ";\n";
      c += "    default_type text/html;\n";
      c += "    return 400 '<html><head><title>400 The plain HTTP request was sent to HTTPS "
           "port</title></head></html>\\n';\n  }\n";
    }
  }
  c += "}\n";
  return c;
}

bool NginxUnit::Start(std::string *pError) {
  const std::string bin = Binary();
  if (bin.empty() || m_dir.empty()) {
    *pError = "no nginx program or no temp directory";
    return false;
  }
  if (m_opt.bTlsPort && !m_bTlsReal && HaveProgram("openssl")) {
    std::string cmd = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                      "-subj /CN=localhost -days 2 -keyout '" + m_dir + "/key.pem' -out '" + m_dir +
                      "/cert.pem' >/dev/null 2>&1";
    m_bTlsReal = std::system(cmd.c_str()) == 0;
  }
  for (int nTry = 0; nTry < 5; ++nTry) {
    m_nPort = FreePort();
    m_nTlsPort = m_opt.bTlsPort ? FreePort() : 0;
    if (!m_nPort || (m_opt.bTlsPort && (!m_nTlsPort || m_nTlsPort == m_nPort))) continue;
    WriteFileBytes(m_dir + "/nginx.conf", Config());

    // Everything the child needs is prepared before the fork.
    std::vector<std::string> args = {bin, "-p", m_dir + "/", "-c", m_dir + "/nginx.conf", "-e",
                                     m_dir + "/error.log"};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = m_dir + "/stderr.txt";
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
      *pError = "fork failed";
      return false;
    }
    if (pid == 0) {
      // Its own process group, so the workers can be found by it; and a
      // terminate from the kernel should the test process die first.
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
      }
      execv(argv[0], argv.data());
      _exit(127);
    }
    setpgid(pid, pid);
    m_pid = pid;
    // Up within a generous bound, or ended (most likely a port taken).
    bool bExited = false;
    for (int i = 0; i < 3000; ++i) {
      int st;
      if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
        bExited = true;
        m_pid = -1;
        break;
      }
      if (Accepts(m_nPort) && (!m_nTlsPort || Accepts(m_nTlsPort))) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!bExited) {
      Stop();
      *pError = "nginx did not accept connections: " + ErrorLog();
      return false;
    }
    *pError = ReadFileBytes(out) + ErrorLog();
    if (pError->find("Address already in use") == std::string::npos) return false;
  }
  return false;
}

bool NginxUnit::Reload() { return m_pid > 0 && kill(m_pid, SIGHUP) == 0; }

void NginxUnit::Stop() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGTERM);
  bool bReaped = false;
  for (int i = 0; i < 1000 && !bReaped; ++i) {
    int st;
    if (waitpid(m_pid, &st, WNOHANG) == m_pid) {
      bReaped = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Whatever is left of the group (a worker, a master that did not end).
  kill(-m_pid, SIGKILL);
  if (!bReaped) {
    int st;
    waitpid(m_pid, &st, 0);
  }
  m_pid = -1;
}

std::vector<std::string> NginxUnit::Requests() const {
  std::vector<std::string> v;
  std::string all = ReadFileBytes(m_dir + "/access.log");
  std::size_t at = 0;
  while (at < all.size()) {
    std::size_t e = all.find('\n', at);
    if (e == std::string::npos) break;
    v.push_back(all.substr(at, e - at));
    at = e + 1;
  }
  return v;
}

std::string NginxUnit::ErrorLog() const { return ReadFileBytes(m_dir + "/error.log"); }
