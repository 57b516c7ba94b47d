// The dial-up service: asynchronous dialling with a notification function,
// connection status queries, error texts and hang-up (RasDial and its
// companions, declared in platform/types.h).
//
// Behind the calls sits one service, a table of its calls
// (platform/dialup_int.h): the system's own (platform/<system>/dialup.cpp).
// This machine may have no dial-up device the service could drive; then
// every dial is refused at once with ERROR_PORT_NOT_AVAILABLE.
//
// Handles are numbers handed out by the service and never reused within a
// run: a handle that has been hung up stays unknown for ever, so a status
// query or a hang-up with it fails harmlessly.
//
// Threads: RasDial returns at once; the notification function is called on a
// thread of the service's own, once per change of state, one call after the
// other (the service waits for each call to return before it goes on).
#pragma once
#include "platform/types.h"
