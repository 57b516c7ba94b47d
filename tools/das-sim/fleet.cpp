// A fleet of simulated units in one process. Each unit is opened as a
// single unit is (server.cpp) and keeps all its own state; what they share
// is the one thread that waits on every listening port through epoll and
// starts each connection's thread. A unit with no client costs no thread
// and no wake-up, so a site of thousands of units fits in one process.
//
// Lock rule: the fleet's mx guards its list of units; a unit's own mx is
// taken only inside the calls of server.cpp, never while holding the
// fleet's.
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/das-sim/sim_int.h"

using namespace sim;

struct SimFleet {
  int fdEpoll = -1;
  std::atomic<bool> bStop{false};
  std::thread waiter;
  std::mutex mx;  // guards units
  std::vector<SimServer *> units;
};

namespace {

constexpr int kEventsPerWait = 256;
constexpr int kSweepMs = 1000;  // how often every unit's finished connections are joined

// Joins the finished connections of every unit: a unit that is asked
// nothing more would otherwise hold its last connections' threads.
void SweepUnits(SimFleet *f) {
  std::vector<SimServer *> units;
  {
    std::lock_guard<std::mutex> lk(f->mx);
    units = f->units;
  }
  for (SimServer *p : units) ReapConns(p);
}

void WaitLoop(SimFleet *f) {
  epoll_event events[kEventsPerWait];
  auto lastSweep = std::chrono::steady_clock::now();
  while (!f->bStop.load()) {
    int n = epoll_wait(f->fdEpoll, events, kEventsPerWait, kPollMs);
    bool bTaken = n <= 0;
    for (int i = 0; i < n; i++)
      if (AcceptConn(static_cast<SimServer *>(events[i].data.ptr))) bTaken = true;
    // Every unit that woke us is at its limit: its clients wait in its
    // queue until a connection ends, and we do not spin meanwhile.
    if (!bTaken) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    auto now = std::chrono::steady_clock::now();
    if (now - lastSweep >= std::chrono::milliseconds(kSweepMs)) {
      SweepUnits(f);
      lastSweep = now;
    }
  }
}

}  // namespace

SimFleet *SimStartFleet() {
  int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return nullptr;
  auto *f = new SimFleet;
  f->fdEpoll = fd;
  f->waiter = std::thread(WaitLoop, f);
  return f;
}

SimServer *SimFleetAdd(SimFleet *f, const SimConfig &cfg, int nPort) {
  SimServer *p = OpenUnit(cfg, nPort);
  if (!p) return nullptr;
  // Level-triggered: a connection left waiting (the unit at its limit)
  // wakes the loop again on its next turn.
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.ptr = p;
  if (epoll_ctl(f->fdEpoll, EPOLL_CTL_ADD, p->fdListen, &ev) != 0) {
    CloseUnit(p);
    return nullptr;
  }
  std::lock_guard<std::mutex> lk(f->mx);
  f->units.push_back(p);
  return p;
}

void SimStopFleet(SimFleet *f) {
  if (!f) return;
  f->bStop.store(true);
  if (f->waiter.joinable()) f->waiter.join();
  // Every unit's connections see their own stop; setting all flags first
  // lets them end together instead of one unit after another.
  for (SimServer *p : f->units) p->bStop.store(true);
  for (SimServer *p : f->units) CloseUnit(p);
  close(f->fdEpoll);
  delete f;
}
