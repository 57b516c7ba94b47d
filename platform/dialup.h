// The dial-up service: asynchronous dialling with a notification function,
// connection status queries, error texts and hang-up, in the shape of the
// remote access service the program was written against.
//
// This machine has no dial-up device the service could drive, so the default
// backend refuses every dial at once with RASERR_NO_DEVICE. A scripted
// backend, selected by the tests, plays a given sequence of connection states
// with given delays and errors.
//
// Handles are numbers handed out by the service and never reused within a
// run: a handle that has been hung up stays unknown for ever, so a status
// query or a hang-up with it fails harmlessly.
//
// Threads: RasDial returns at once; the notification function is called on a
// thread of the service's own, once per change of state, one call after the
// other (the service waits for each call to return before it goes on).
#pragma once
#include <cstdint>

typedef struct HRASCONN__ *HRASCONN;  // connection handle, 0 = none
typedef std::uint32_t DWORD;

// Connection states as the service reports them.
enum : int {
  RASCS_OpenPort = 0,
  RASCS_PortOpened = 1,
  RASCS_ConnectDevice = 2,
  RASCS_DeviceConnected = 3,
  RASCS_AllDevicesConnected = 4,
  RASCS_Authenticate = 5,
  RASCS_AuthNotify = 6,
  RASCS_AuthRetry = 7,
  RASCS_AuthCallback = 8,
  RASCS_AuthChangePassword = 9,
  RASCS_AuthProject = 10,
  RASCS_AuthLinkSpeed = 11,
  RASCS_AuthAck = 12,
  RASCS_ReAuthenticate = 13,
  RASCS_Authenticated = 14,
  RASCS_PrepareForCallback = 15,
  RASCS_WaitForModemReset = 16,
  RASCS_WaitForCallback = 17,
  RASCS_Projected = 18,
  RASCS_StartAuthentication = 19,
  RASCS_CallbackComplete = 20,
  RASCS_LogonNetwork = 21,
  RASCS_SubEntryConnected = 22,
  RASCS_SubEntryDisconnected = 23,
  RASCS_Interactive = 0x1000,
  RASCS_RetryAuthentication = 0x1001,
  RASCS_CallbackSetByCaller = 0x1002,
  RASCS_PasswordExpired = 0x1003,
  RASCS_Connected = 0x2000,
  RASCS_Disconnected = 0x2001,
};

// Result codes (0 = success). The numbers are the service's own.
enum : unsigned long {
  RASERR_INVALID_HANDLE = 6,
  RASERR_NO_DEVICE = 633,       // no usable modem or other connecting device
  RASERR_LINE_BUSY = 676,
  RASERR_NO_ANSWER = 678,
  RASERR_NO_DIALTONE = 680,
  RASERR_AUTH_FAILURE = 691,
  RASERR_REMOTE_DISCONNECTION = 629,
};

// Dial parameters: the 1052-byte form (no sub-entry, no callback id).
struct RASDIALPARAMS {
  DWORD dwSize;                 // 1052
  char szEntryName[257];        // empty: no phone-book entry, dial the number below
  char szPhoneNumber[129];
  char szCallbackNumber[129];
  char szUserName[257];
  char szPassword[257];
  char szDomain[16];
};
static_assert(sizeof(RASDIALPARAMS) == 1052, "dial parameters keep their size");

struct RASCONNSTATUS {
  DWORD dwSize;                 // 160
  int rasconnstate;
  DWORD dwError;
  char szDeviceType[17];
  char szDeviceName[129];
};
static_assert(sizeof(RASCONNSTATUS) == 160, "status record keeps its size");

// Notifier type 0: (message, connection state, error code).
typedef void (*RASDIALFUNC)(unsigned int uMsg, int nState, unsigned long dwError);
#define WM_RASDIALEVENT 0xCCCD

// Starts a dial. pExtensions and pszPhonebook must be null (not supported),
// dwNotifierType must be 0. On 0 the dial runs on and *phConn holds its
// handle; on a non-zero code *phConn may still have been set, and the caller
// must hang it up.
unsigned long RasDial(const void *pExtensions, const char *pszPhonebook,
                      const RASDIALPARAMS *pParams, DWORD dwNotifierType,
                      RASDIALFUNC pfnNotifier, HRASCONN *phConn);
// Fills rasconnstate and dwError (pStatus->dwSize must be 160). Non-zero for
// a handle that is unknown or has been hung up.
unsigned long RasGetConnectStatus(HRASCONN hConn, RASCONNSTATUS *pStatus);
// Text of a result code, cut to nCap. Always 0.
unsigned long RasGetErrorString(unsigned long nCode, char *pszBuf, DWORD nCap);
// Hangs up a connection (no wait for the line to be released). Non-zero for
// a handle that is unknown or already hung up.
unsigned long RasHangUp(HRASCONN hConn);

// ---- Test support: the scripted backend ----

// One step of a scripted dial: after nDelayMs the connection enters nState
// with dwError and the notifier is told. A step with a non-zero error ends
// the script (the service stops dialling after an error), as does
// RASCS_Connected.
struct RasScriptStep {
  int nState;
  unsigned long dwError;
  unsigned int nDelayMs;
};

// Every following dial plays these steps. dwStartError non-zero makes RasDial
// itself fail with that code after handing out a handle (as the service may).
void RasUseScript(const RasScriptStep *pSteps, int nSteps, unsigned long dwStartError = 0);
// Back to the default backend (no device: every dial fails at once).
void RasUseDefault();
// RasHangUp calls, and those of them that found a live connection, since the
// last RasUseScript/RasUseDefault.
int RasHangUpCalls();
int RasHangUpsDone();
// Dials started since the last RasUseScript/RasUseDefault, and the
// parameters of the latest one.
int RasDialCalls();
void RasLastDialParams(RASDIALPARAMS *pParams);
// Waits until no notification thread is running any more (every script has
// ended or been hung up). 1 = idle, 0 = timeout.
int RasWaitIdle(int nTimeoutMs);
