// The window layer: windows with procedures, dialogs built from the templates
// in resources/, list boxes, message boxes, synchronous and posted messages.
// The Win32 calls themselves are declared in platform/types.h; this header
// adds the layer's start-up (the look-ups for tests are in
// platform/testhooks.h).
//
// Threads: windows belong to the one user-interface thread (the thread that
// called PlatUiInit). SendMessage from any other thread queues the message
// for that thread and blocks until the procedure has returned; every loop of
// the UI thread (main window, modal dialog, message box) serves that queue.
// A message sent to a window that no longer exists returns 0 at once.
// Handle values are never reused within a run.
//
// Control texts and check states may be read and set from any thread.
#pragma once
#include "platform/types.h"

// Starts the window layer on the calling thread, which becomes the UI
// thread. bDesktop: 1 = use the desktop backend if a display can be opened.
// Returns 1 when the desktop backend is in use, 0 for the headless backend.
int PlatUiInit(int bDesktop);
HINSTANCE PlatGetInstance();
