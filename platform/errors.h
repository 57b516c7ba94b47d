// The error numbers portable code and its tests compare against, each the
// value this system's layer reports for the case (PlatErrno() for files,
// PlatSockLastError() for sockets), and PRINTF_LIKE for functions that take
// a printf format, so that the compiler checks every caller's arguments.
#pragma once
#include <cerrno>

// File errors: the C runtime's numbers on every system.
constexpr int PLAT_ENOENT = ENOENT;
constexpr int PLAT_EEXIST = EEXIST;
constexpr int PLAT_EISDIR = EISDIR;
constexpr int PLAT_EIO = EIO;
constexpr int PLAT_ENOMEM = ENOMEM;

// Socket errors: Windows' socket layer has numbers of its own.
#if defined(_WIN32)
constexpr int PLAT_ECONNREFUSED = 10061;  // WSAECONNREFUSED
constexpr int PLAT_ETIMEDOUT = 10060;     // WSAETIMEDOUT
constexpr int PLAT_EWOULDBLOCK = 10035;   // WSAEWOULDBLOCK
#else
constexpr int PLAT_ECONNREFUSED = ECONNREFUSED;
constexpr int PLAT_ETIMEDOUT = ETIMEDOUT;
constexpr int PLAT_EWOULDBLOCK = EWOULDBLOCK;
#endif
// Name look-ups (PlatResolve): Winsock's numbers, which no errno value of
// the other systems reaches.
constexpr int PLAT_EHOSTNOTFOUND = 11001;  // WSAHOST_NOT_FOUND: the name has no address
constexpr int PLAT_ETRYAGAIN = 11002;      // WSATRY_AGAIN: the resolver failed

// Marks a function whose argument f is a printf format and whose variable
// arguments start at a.
#if defined(__GNUC__) || defined(__clang__)
#define PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define PRINTF_LIKE(f, a)
#endif
