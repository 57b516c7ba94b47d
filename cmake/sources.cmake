# The program's source lists, relative to the top of the tree. Kept in one
# place for the program's build (CMakeLists.txt, platform/*/CMakeLists.txt)
# and the fuzz targets' own project (fuzz/CMakeLists.txt), so that a new file
# is named once.

# The portable modules.
set(TANDREL_CORE_SOURCES
  util/atomicfile.cpp
  util/text.cpp
  log/appstate.cpp
  log/errorlog.cpp
  log/summary.cpp
  shell/options.cpp
  shell/startup.cpp
  daslist/daslist.cpp
  daslist/dasedit.cpp
  daslist/listfile.cpp
  daslist/listmerge.cpp
  download/address.cpp
  download/body.cpp
  download/connect.cpp
  download/dialout.cpp
  download/dialtext.cpp
  download/fleet.cpp
  download/http.cpp
  download/identity.cpp
  download/job.cpp
  download/progress.cpp
  download/sequence.cpp
  download/timelimit.cpp
  download/transfer.cpp
  download/worker.cpp
  merge/leftovers.cpp
  merge/logline.cpp
  merge/logset.cpp
  merge/logstate.cpp
  merge/logwrite.cpp
  merge/merge.cpp
  merge/status.cpp
  merge/tail.cpp
  merge/tempname.cpp
  resources/resources.cpp)

# The platform layer on POSIX systems, with the window layer's headless
# backend (the desktop backend is added apart: it needs FLTK).
set(TANDREL_POSIX_SOURCES
  platform/posix/dialup.cpp
  platform/posix/file.cpp
  platform/posix/resolve.cpp
  platform/posix/sock.cpp
  platform/posix/sockstart.cpp
  platform/posix/system.cpp
  platform/ui/backend_api.cpp
  platform/ui/choose.cpp
  platform/ui/controls.cpp
  platform/ui/dialogs.cpp
  platform/ui/headless.cpp
  platform/ui/queue.cpp
  platform/dialup.cpp
  platform/displaylost.cpp
  platform/common/filetable.cpp
  platform/common/rastext.cpp
  platform/common/resolve.cpp)

# The platform layer on Windows.
set(TANDREL_WIN32_SOURCES
  platform/win32/console.cpp
  platform/win32/dialup.cpp
  platform/win32/file.cpp
  platform/win32/resolve.cpp
  platform/win32/sock.cpp
  platform/win32/sockstart.cpp
  platform/win32/system.cpp
  platform/win32/window.cpp
  platform/dialup.cpp
  platform/common/filetable.cpp
  platform/common/rastext.cpp
  platform/common/resolve.cpp)

# The window layer's desktop backend (FLTK 1.3 under X11).
set(TANDREL_FLTK_SOURCES
  platform/fltk/fltk_backend.cpp
  platform/fltk/fltk_dialogs.cpp
  platform/fltk/fltk_dlgwindow.cpp
  platform/fltk/fltk_layout.cpp
  platform/fltk/fltk_msgbox.cpp
  platform/fltk/fltk_widgets.cpp
  platform/fltk/fltk_wm.cpp)

# The desktop backend's registration in the window layer's list, compiled
# into every program that links the library (see choose_fltk.cpp).
set(TANDREL_FLTK_ENTRY_SOURCES
  platform/fltk/choose_fltk.cpp)

# What only the tests call: look-ups into the window layer, the knobs that
# reset or steer the program's process-wide state, test doubles of the
# platform's services. The tests link it beside the program's library; the
# program never does.
set(TANDREL_TESTHOOKS_POSIX_SOURCES
  download/testhooks.cpp
  log/testhooks.cpp
  merge/records.cpp
  platform/dialup_script.cpp
  platform/posix/testhooks.cpp
  platform/ui/testhooks.cpp)

# The same on Windows, for its tests under Wine.
set(TANDREL_TESTHOOKS_WIN32_SOURCES
  download/testhooks.cpp
  log/testhooks.cpp
  merge/records.cpp
  platform/dialup_script.cpp
  platform/win32/testhooks.cpp)

# The desktop backend's read-back of what it shows, for the tests (with the
# desktop backend only).
set(TANDREL_TESTHOOKS_FLTK_SOURCES
  platform/fltk/fltk_readback.cpp)
