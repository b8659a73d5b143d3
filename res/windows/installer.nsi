; The Windows installer: Palvex for the current user only, so no administrator rights are
; asked for. Both programs get a Start menu entry; the uninstaller removes every file, entry
; and registry value the installer made, and nothing else.
;   makensis -DVERSION=0.75 -DSTAGE=<unpacked zip> -DFILES=<uninstall list> -DICON=<.ico>
;            -DOUTFILE=<installer.exe> installer.nsi
; 64-bit like the programs it installs (and so it runs where only 64-bit programs do).
Target amd64-unicode
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Palvex"
!define MENU_FOLDER "$SMPROGRAMS\Palvex"

Name "Palvex ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Palvex"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "Palvex ${VERSION}"

!include "MUI2.nsh"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\palvex.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Palvex"
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

Section "Palvex"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ; The entries start in the install folder, where the programs find Readme.rtf and Test.bin.
  CreateDirectory "${MENU_FOLDER}"
  CreateShortcut "${MENU_FOLDER}\Palvex.lnk" "$INSTDIR\palvex.exe" "" "$INSTDIR\palvex.exe" 0 \
    SW_SHOWNORMAL "" "Demonstrate and test the Kit"
  CreateShortcut "${MENU_FOLDER}\Palvex (simulated Kit).lnk" "$INSTDIR\palvex-sim.exe" "" \
    "$INSTDIR\palvex-sim.exe" 0 SW_SHOWNORMAL "" "Palvex on a simulated Kit, without a board"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Palvex"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Palvex developers"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\palvex.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  ; Only the files the installer put there: a folder the user chose keeps whatever else it holds.
  !include "${FILES}"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "${MENU_FOLDER}\Palvex.lnk"
  Delete "${MENU_FOLDER}\Palvex (simulated Kit).lnk"
  RMDir "${MENU_FOLDER}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
