// The simulated unit as the tests hold it: started on a free loopback port
// from a configuration, stopped when the object goes away.
#pragma once
#include <algorithm>
#include <string>
#include <vector>

#include "tools/das-sim/sim.h"

struct SimUnit {
  SimServer *p = nullptr;
  SimConfig cfg;
  explicit SimUnit(const SimConfig &c = SimConfig()) : cfg(c) { p = SimStart(c); }
  ~SimUnit() { SimStop(p); }
  SimUnit(const SimUnit &) = delete;
  SimUnit &operator=(const SimUnit &) = delete;
  int Port() const { return SimPort(p); }
  std::string Address() const { return "127.0.0.1:" + std::to_string(Port()); }
  // Whether the unit has been sent a request for path (query included).
  bool Asked(const std::string &path) const {
    std::vector<std::string> paths = SimRequestPaths(p);
    return std::find(paths.begin(), paths.end(), path) != paths.end();
  }
};
