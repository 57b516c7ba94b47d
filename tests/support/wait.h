// The one way a test waits for something another thread or process does:
// poll a condition until it holds or a bound passes. The bound only keeps a
// broken run from hanging the suite; it is never what a test measures.
#pragma once
#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

// True as soon as pred() holds; false when it still does not after nMs (it
// is asked once more at the end). The poll starts at 5 ms and slows to 50 ms,
// so that a quick condition is seen quickly and a costly one (a look at the
// X server, a child's files) is not asked hundreds of times a second.
inline bool WaitFor(const std::function<bool()> &pred, int nMs = 60000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
  int nPollMs = 5;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(nPollMs));
    nPollMs = std::min(nPollMs * 2, 50);
  }
  return pred();
}
