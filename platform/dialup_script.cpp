// The scripted dial-up service of the tests. Once a test has chosen a script
// (or the default), this service sits in the switch's place and counts every
// call; without a script it passes each call on to the system's service.
//
// All state lives in one object that is created on first use and never
// destroyed: a notification thread may still be running when the process
// ends, and it must not find its globals torn down by static destructors.
#include "platform/dialup_script.h"
#include "platform/dialup_int.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Connection {
  int nState = RASCS_OpenPort;
  unsigned long dwError = 0;
  bool bHungUp = false;
};

struct Service {
  std::mutex mtx;
  std::condition_variable cv;       // hang-ups wake sleeping scripts; idle waits
  bool bScripted = false;
  std::vector<RasScriptStep> steps;
  unsigned long dwStartError = 0;
  std::uintptr_t nNextHandle = 1;
  std::map<std::uintptr_t, std::shared_ptr<Connection>> conns;  // live ones only
  int nRunning = 0;                 // notification threads still going
  int nHangUpCalls = 0;
  int nHangUpsDone = 0;
  int nDialCalls = 0;
  int nMostLive = 0;                // most connections alive at one time
  RASDIALPARAMS lastParams{};
};

Service &Svc() {
  static Service *pSvc = new Service;  // never destroyed, see above
  return *pSvc;
}

void CopyCut(char *pszDest, const char *pszSrc, std::size_t nCap) {
  if (nCap == 0) return;
  std::size_t n = std::strlen(pszSrc);
  if (n >= nCap) n = nCap - 1;
  std::memcpy(pszDest, pszSrc, n);
  pszDest[n] = 0;
}

// Plays the script of one connection. Runs on its own thread; holds no lock
// while it sleeps or while the notifier runs, so status queries and hang-ups
// go on meanwhile.
void PlayScript(std::shared_ptr<Connection> pConn, std::vector<RasScriptStep> steps,
                RasNotifyFn pfnNotifier) {
  Service &s = Svc();
  for (const RasScriptStep &step : steps) {
    {
      std::unique_lock<std::mutex> lk(s.mtx);
      s.cv.wait_for(lk, std::chrono::milliseconds(step.nDelayMs),
                    [&] { return pConn->bHungUp; });
      if (pConn->bHungUp) break;
      pConn->nState = step.nState;
      pConn->dwError = step.dwError;
    }
    if (pfnNotifier) pfnNotifier(WM_RASDIALEVENT, step.nState, step.dwError);
    if (step.dwError != 0 || step.nState == RASCS_Connected) break;
  }
  std::lock_guard<std::mutex> lk(s.mtx);
  --s.nRunning;
  s.cv.notify_all();
}

unsigned long ScriptDial(const RASDIALPARAMS *pParams, RasNotifyFn pfnNotifier, HRASCONN *phConn) {
  Service &s = Svc();
  std::unique_lock<std::mutex> lk(s.mtx);
  ++s.nDialCalls;
  s.lastParams = *pParams;
  if (!s.bScripted) {
    lk.unlock();
    return kSystemDialup.pfnDial(pParams, pfnNotifier, phConn);
  }

  std::uintptr_t h = s.nNextHandle++;
  auto pConn = std::make_shared<Connection>();
  s.conns[h] = pConn;
  if (static_cast<int>(s.conns.size()) > s.nMostLive) s.nMostLive = static_cast<int>(s.conns.size());
  *phConn = reinterpret_cast<HRASCONN>(h);
  if (s.dwStartError != 0) return s.dwStartError;

  ++s.nRunning;
  std::vector<RasScriptStep> steps = s.steps;
  lk.unlock();
  std::thread(PlayScript, pConn, std::move(steps), pfnNotifier).detach();
  return 0;
}

unsigned long ScriptGetConnectStatus(HRASCONN hConn, RASCONNSTATUS *pStatus) {
  Service &s = Svc();
  std::lock_guard<std::mutex> lk(s.mtx);
  if (!s.bScripted) return kSystemDialup.pfnGetConnectStatus(hConn, pStatus);
  auto it = s.conns.find(reinterpret_cast<std::uintptr_t>(hConn));
  if (it == s.conns.end()) return ERROR_INVALID_HANDLE;
  pStatus->rasconnstate = static_cast<RASCONNSTATE>(it->second->nState);
  pStatus->dwError = static_cast<DWORD>(it->second->dwError);
  CopyCut(pStatus->szDeviceType, "modem", sizeof pStatus->szDeviceType);
  CopyCut(pStatus->szDeviceName, "Scripted modem", sizeof pStatus->szDeviceName);
  return 0;
}

unsigned long ScriptGetErrorString(unsigned long nCode, char *pszBuf, DWORD nCap) {
  return kSystemDialup.pfnGetErrorString(nCode, pszBuf, nCap);
}

unsigned long ScriptHangUp(HRASCONN hConn) {
  Service &s = Svc();
  std::lock_guard<std::mutex> lk(s.mtx);
  ++s.nHangUpCalls;
  auto it = s.conns.find(reinterpret_cast<std::uintptr_t>(hConn));
  if (it == s.conns.end() && !s.bScripted) {
    unsigned long nResult = kSystemDialup.pfnHangUp(hConn);
    if (nResult == 0) ++s.nHangUpsDone;
    return nResult;
  }
  if (it == s.conns.end()) return ERROR_INVALID_HANDLE;
  it->second->bHungUp = true;
  s.conns.erase(it);
  ++s.nHangUpsDone;
  s.cv.notify_all();
  return 0;
}

const DialupService kScriptDialup = {
    .pfnDial = ScriptDial,
    .pfnGetConnectStatus = ScriptGetConnectStatus,
    .pfnGetErrorString = ScriptGetErrorString,
    .pfnHangUp = ScriptHangUp,
};

}  // namespace

void RasUseScript(const RasScriptStep *pSteps, int nSteps, unsigned long dwStartError) {
  Service &s = Svc();
  std::lock_guard<std::mutex> lk(s.mtx);
  s.bScripted = true;
  s.steps.assign(pSteps, pSteps + (nSteps > 0 ? nSteps : 0));
  s.dwStartError = dwStartError;
  s.nHangUpCalls = s.nHangUpsDone = s.nDialCalls = s.nMostLive = 0;
  g_pDialupService = &kScriptDialup;
}

void RasUseDefault() {
  Service &s = Svc();
  std::lock_guard<std::mutex> lk(s.mtx);
  s.bScripted = false;
  s.steps.clear();
  s.dwStartError = 0;
  s.nHangUpCalls = s.nHangUpsDone = s.nDialCalls = s.nMostLive = 0;
  g_pDialupService = &kScriptDialup;
}

int RasHangUpCalls() {
  std::lock_guard<std::mutex> lk(Svc().mtx);
  return Svc().nHangUpCalls;
}

int RasHangUpsDone() {
  std::lock_guard<std::mutex> lk(Svc().mtx);
  return Svc().nHangUpsDone;
}

int RasMostLive() {
  std::lock_guard<std::mutex> lk(Svc().mtx);
  return Svc().nMostLive;
}

int RasDialCalls() {
  std::lock_guard<std::mutex> lk(Svc().mtx);
  return Svc().nDialCalls;
}

void RasLastDialParams(RASDIALPARAMS *pParams) {
  std::lock_guard<std::mutex> lk(Svc().mtx);
  *pParams = Svc().lastParams;
}

int RasWaitIdle(int nTimeoutMs) {
  Service &s = Svc();
  std::unique_lock<std::mutex> lk(s.mtx);
  return s.cv.wait_for(lk, std::chrono::milliseconds(nTimeoutMs),
                       [&] { return s.nRunning == 0; })
             ? 1
             : 0;
}
