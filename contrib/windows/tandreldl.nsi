; The Windows installer (makensis; scripts/package-windows passes the
; defines below and the folder of the files to install).
;   /S               silent
;   /CurrentUser     for this user alone (the default): %LOCALAPPDATA%\Programs\TandrelDL,
;                    no administrator needed
;   /AllUsers        for every user of the machine: %ProgramFiles%\TandrelDL (as administrator)
; The registry gets the uninstaller's entry in the list of installed
; programs (HKCU or HKLM, after the mode) and nothing else; the uninstaller
; removes it with the files. The lists of units, logs and downloaded files
; are the user's: they live in the folders the program runs in, never here,
; and no uninstall touches them.
;   defines: TITLE, VERSION (v1.05.1208), VERSION4 (1.5.1208.0), STAGE (the
;   folder with tandreldl.exe, README.txt, daslist-example.txt and maybe
;   LICENSE.txt), OUTFILE, ICON

; A 64-bit installer for the 64-bit program: Windows refuses both alike on
; a 32-bit system.
Target amd64-unicode
; No copyright holder is named anywhere yet: no LegalCopyright key.
!pragma warning disable 9100
SetCompressor /SOLID lzma

!define PRODUCT "TandrelDL"
!define UNINSTKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_INSTALLMODE_DEFAULT_CURRENTUSER
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
; Which of the two a program was installed for: its entry's hive.
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTKEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "UninstallString"
!define MULTIUSER_MUI
!include MultiUser.nsh
!include MUI2.nsh

Name "${TITLE}"
OutFile "${OUTFILE}"
BrandingText "${TITLE} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION4}"
VIAddVersionKey "ProductName" "${TITLE}"
VIAddVersionKey "FileDescription" "${TITLE} setup"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!ifdef LICENSE
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!endif
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "Program"
  SetOutPath "$INSTDIR"
  File "${STAGE}\tandreldl.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\daslist-example.txt"
  !ifdef LICENSE
  File "${STAGE}\LICENSE.txt"
  !endif
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The shortcut starts the program in Documents\TandrelDL (the user's, or
  ; the public one for every user): the program keeps its list and its
  ; downloads in the folder it starts in, and the program's own folder is
  ; not for writing.
  CreateDirectory "$DOCUMENTS\${PRODUCT}"
  SetOutPath "$DOCUMENTS\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\tandreldl.exe" "" "$INSTDIR\tandreldl.exe" 0 \
    SW_SHOWNORMAL "" "${TITLE}"
  SetOutPath "$INSTDIR"

  ; The entry of the list of installed programs, in the hive of the mode.
  WriteRegStr SHCTX "${UNINSTKEY}" "DisplayName" "${TITLE}"
  WriteRegStr SHCTX "${UNINSTKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTKEY}" "DisplayIcon" "$INSTDIR\tandreldl.exe,0"
  WriteRegStr SHCTX "${UNINSTKEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTKEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTKEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTKEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\tandreldl.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\daslist-example.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; Only when empty: whatever the program wrote there is the user's.
  RMDir "$DOCUMENTS\${PRODUCT}"
  DeleteRegKey SHCTX "${UNINSTKEY}"
SectionEnd
