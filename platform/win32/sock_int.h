// Inside the Windows socket layer: what platform/win32/resolve.cpp needs of
// a socket's entry. Not for use elsewhere.
#pragma once
#include <memory>

#include "platform/types.h"

// The event a close of s sets, held as long as the entry is; null for a
// socket that is closed (or never was).
std::shared_ptr<const WSAEVENT> SockWakeEvent(SOCKET s);
// Records nErr as the calling thread's last socket error
// (PlatSockLastError); SOCKET_ERROR.
int SockFail(int nErr);
