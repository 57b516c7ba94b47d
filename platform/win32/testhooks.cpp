// The Windows platform layer's test hooks: the look-ups of the dialogs by
// the template names they carry, the dotted address reader and a name
// look-up of the test's own in place of the system's resolver.
#include <chrono>
#include <cstdint>
#include <cstring>

#include "platform/common/resolve.h"
#include "platform/testhooks.h"
#include "platform/win32/window_int.h"

namespace {

// The newest of this process's dialogs that carry a template name (and, with
// pszTemplate, that name and are visible).
struct NewestDialog {
  const char *pszTemplate;
  HWND hBest = nullptr;
  std::uintptr_t nBest = 0;
};

BOOL CALLBACK LookAtWindow(HWND h, LPARAM lParam) {
  NewestDialog &f = *reinterpret_cast<NewestDialog *>(lParam);
  DWORD nPid = 0;
  ::GetWindowThreadProcessId(h, &nPid);
  if (nPid != ::GetCurrentProcessId()) return TRUE;
  const char *pszName = static_cast<const char *>(::GetPropA(h, kPropTemplate));
  std::uintptr_t nSerial = reinterpret_cast<std::uintptr_t>(::GetPropA(h, kPropSerial));
  if (!pszName || nSerial <= f.nBest) return TRUE;
  if (f.pszTemplate && (std::strcmp(pszName, f.pszTemplate) != 0 || !::IsWindowVisible(h))) return TRUE;
  f.hBest = h;
  f.nBest = nSerial;
  return TRUE;
}

HWND Newest(const char *pszTemplate) {
  NewestDialog f{pszTemplate};
  ::EnumWindows(LookAtWindow, reinterpret_cast<LPARAM>(&f));
  return f.hBest;
}

}  // namespace

HWND FindWindowByTemplate(const char *pszTemplate) { return pszTemplate ? Newest(pszTemplate) : nullptr; }

HWND WaitForWindow(const char *pszTemplate, int nTimeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  for (;;) {
    HWND h = FindWindowByTemplate(pszTemplate);
    if (h || std::chrono::steady_clock::now() >= deadline) return h;
    ::Sleep(10);
  }
}

int WaitForIdle(int nTimeoutMs) {
  // The system's queue cannot be looked into from another thread; a message
  // sent to the UI thread's newest window is answered once the thread is
  // back in a loop with every message sent before it handled.
  HWND hNewest = Newest(nullptr);
  if (!hNewest) return 1;
  DWORD_PTR r = 0;
  return ::SendMessageTimeoutA(hNewest, WM_NULL, 0, 0, SMTO_NORMAL, static_cast<UINT>(nTimeoutMs), &r) ? 1
                                                                                                      : 0;
}

std::uint32_t PlatInetAddr(const char *pszAddr) {
  if (!pszAddr) return 0xffffffffu;
  return static_cast<std::uint32_t>(::inet_addr(pszAddr));
}

void PlatSetLookup(PlatLookupFn pfnLookup) {
  ResolveLookup.store(pfnLookup ? pfnLookup : SystemLookup);
}
