// Every control, menu and command identifier of the program's windows, in
// one place so that the templates (resources/resources.cpp), the window
// procedures and the worker that sends commands agree on them without
// including each other. The numbers are the ones the templates have always
// had; a command's number is what a window receives in WM_COMMAND.
#pragma once

// Main window: menu commands, commands sent or posted to it, controls.
enum {
  IDC_LABELDASLIST = 99,
  IDM_EXIT = 101,
  IDM_ADD = 102,
  IDM_REMOVE = 103,
  CMD_SAVE_REFRESH = 175,
  CMD_PROGRESS_REFRESH = 176,  // to the progress dialog
  CMD_JOB_ENDED = 180,         // to the progress dialog: a worker is done
  CMD_AUTO_RUN = 177,
  CMD_RUN_STOPPED = 178,  // posted: the run is stopped, every loop ends
  CMD_TAKE_IDENTITY = 179,  // to the main window: a unit's identity to take
  IDC_DASLIST = 202,
  IDC_EDITDAS = 203,
  IDC_DOWNLOAD = 204,
  IDC_DOWNLOADALL = 205,
};

// The settings dialog of one unit.
enum {
  IDC_LABELIP = 106,
  IDC_LABELPASSWORD = 107,
  IDC_LABELPHONE = 109,
  IDC_EDITOK = 240,
  IDC_EDITCANCEL = 241,
  IDC_EDITIP = 242,
  IDC_EDITDELETELOG = 243,
  IDC_EDITPHONE = 244,
  IDC_EDITPASSWORD = 245,
};

// The progress dialog.
enum {
  IDC_DLSERIAL = 230,
  IDC_DLFILE = 231,
  IDC_DLBYTES = 232,
  IDC_DLCANCEL = 241,
};
