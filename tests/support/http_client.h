// A plain HTTP/1.0 client on loopback, one request per connection, the
// answer read until the server closes: what the tests compare the program's
// stored files with, and how they look at the simulated unit and nginx
// themselves.
#pragma once
#include <atomic>
#include <string>

struct LoopbackReply {
  int nStatus = 0;   // from the status line; 0 when there is none
  std::string head;  // up to and including the last header line's CR LF
  std::string body;
  std::string raw;  // the whole answer as it came
  bool bClosed = false;  // the server ended the answer with an orderly close
  bool bError = false;   // the read ended in an error (a reset)
};

// A connected socket, or -1.
int LoopbackConnect(int nPort);
// Reads until the peer closes, an error, or nIdleMs without data.
std::string LoopbackReadAll(int fd, int nIdleMs = 10000, bool *pbClosed = nullptr,
                            bool *pbError = nullptr, std::atomic<long> *pnGot = nullptr);
// GET target with the unit's user "admin" and password.
std::string LoopbackRequest(const std::string &target, const std::string &password = "qexal");
// The answer split at its blank line (CR LF CR LF, or LF LF for a server
// that ends its lines in LF).
LoopbackReply ParseReply(const std::string &raw);
// Sends a whole request as given and reads the answer.
LoopbackReply LoopbackSend(int nPort, const std::string &request,
                           std::atomic<long> *pnGot = nullptr);
inline LoopbackReply LoopbackGet(int nPort, const std::string &target,
                                 const std::string &password = "qexal",
                                 std::atomic<long> *pnGot = nullptr) {
  return LoopbackSend(nPort, LoopbackRequest(target, password), pnGot);
}
