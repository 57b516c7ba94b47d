// The dial-up service (stand-in for the remote access service).
// Placeholder: the dial-out work defines the real interface.
#pragma once
typedef struct HRASCONN__ *HRASCONN;
// Hangs up a connection (no wait for the line to be released).
unsigned long RasHangUp(HRASCONN hConn);
