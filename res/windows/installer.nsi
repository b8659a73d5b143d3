; The Windows installer. By default Palvex for the current user only, with no administrator
; rights asked for; an administrator may choose to install it for all users (/AllUsers), into
; Program Files. Only that install carries palvex-copy-firmware.exe, the copier Palvex starts
; as administrator: a folder its user owns would let any program of theirs replace it. Both
; programs get a Start menu entry; the uninstaller removes every file, entry and registry value
; the installer made, and nothing else.
;   makensis -DVERSION=0.75 -DSTAGE=<unpacked zip> -DCOPIER=<palvex-copy-firmware.exe>
;            -DFILES=<uninstall list> -DICON=<.ico> -DOUTFILE=<installer.exe> installer.nsi
; 64-bit like the programs it installs (and so it runs where only 64-bit programs do).
Target amd64-unicode
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Palvex"
!define MENU_FOLDER "$SMPROGRAMS\Palvex"

Name "Palvex ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "Palvex ${VERSION}"

; A standard user runs it without a prompt and installs for themselves; an administrator is
; asked for consent first and then chooses. No InstallDir: a folder given with /D= is kept,
; otherwise the mode's own folder is taken (the user's programs folder or Program Files).
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_DEFAULT_CURRENTUSER
!define MULTIUSER_INSTALLMODE_INSTDIR "Palvex"
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODEPAGE_TEXT_TOP "Install Palvex only for yourself, or for all \
  users of this computer. Installed for all users, Palvex can transfer the firmware for a user \
  without administrator rights, after an administrator's consent; installed for yourself, it \
  must then be started with $\"Run as administrator$\"."
!include "MultiUser.nsh"
!include "MUI2.nsh"
!include "LogicLib.nsh"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\palvex.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Palvex"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Palvex"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Palvex installer"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "Palvex developers"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright 2026 Palvex developers"

Var chosenFolder

Function .onInit
  StrCpy $chosenFolder $INSTDIR  ; from /D=
  !insertmacro MULTIUSER_INIT
  ${If} $chosenFolder != ""
    StrCpy $INSTDIR $chosenFolder
  ${EndIf}
FunctionEnd

Function un.onInit
  StrCpy $chosenFolder $INSTDIR  ; where this uninstaller is
  !insertmacro MULTIUSER_UNINIT
  ; The install for all users is the one HKLM names; only an administrator removes it.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $chosenFolder
    ${If} $MultiUser.Privileges != "Admin"
    ${AndIf} $MultiUser.Privileges != "Power"
      MessageBox MB_OK|MB_ICONSTOP "Palvex is installed for all users; only an administrator can remove it." /SD IDOK
      Quit
    ${EndIf}
    Call un.MultiUser.InstallMode.AllUsers
  ${Else}
    Call un.MultiUser.InstallMode.CurrentUser
  ${EndIf}
  StrCpy $INSTDIR $chosenFolder
FunctionEnd

; SHCTX and the Start menu follow the mode: HKLM and all users' menu, or HKCU and the user's.
Section "Palvex"
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  ${If} $MultiUser.InstallMode == "AllUsers"
    File "/oname=palvex-copy-firmware.exe" "${COPIER}"
  ${Else}
    Delete "$INSTDIR\palvex-copy-firmware.exe"  ; an earlier per-user install's
  ${EndIf}
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ; The entries start in the install folder, where the programs find Readme.rtf and Test.bin.
  CreateDirectory "${MENU_FOLDER}"
  CreateShortcut "${MENU_FOLDER}\Palvex.lnk" "$INSTDIR\palvex.exe" "" "$INSTDIR\palvex.exe" 0 \
    SW_SHOWNORMAL "" "Demonstrate and test the Kit"
  CreateShortcut "${MENU_FOLDER}\Palvex (simulated Kit).lnk" "$INSTDIR\palvex-sim.exe" "" \
    "$INSTDIR\palvex-sim.exe" 0 SW_SHOWNORMAL "" "Palvex on a simulated Kit, without a board"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "Palvex"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Palvex developers"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\palvex.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  ; Only the files the installer put there: a folder the user chose keeps whatever else it holds.
  !include "${FILES}"
  Delete "$INSTDIR\palvex-copy-firmware.exe"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "${MENU_FOLDER}\Palvex.lnk"
  Delete "${MENU_FOLDER}\Palvex (simulated Kit).lnk"
  RMDir "${MENU_FOLDER}"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
