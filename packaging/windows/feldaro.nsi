; Feldaro's installer for 64-bit Windows: per machine into Program Files, in Polish, with a
; Start-menu entry, the firewall rules of the two programs and an uninstaller listed under
; installed apps. scripts/windows-package runs makensis with these defines:
;   VERSION      the project's version (1.2.1)
;   STAGE        the folder to install, as the portable zip holds it
;   ICON         feldaro.ico
;   WELCOME      the picture of the welcome and finish pages (164x314 BMP)
;   GEN          the folder of the generated lists: files.nsh, unfiles.nsh (every file
;                and folder of STAGE), firewall-add.nsh, firewall-delete.nsh (the netsh
;                lines of packaging/windows/firewall-rules)
;   SIZE_KB      the installed size, for the list of installed apps
;   OUTFILE      Feldaro-VERSION-setup.exe
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Feldaro"

Name "Feldaro ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Feldaro"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
BrandingText "Feldaro ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WELCOME}"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "Ten kreator zainstaluje program Feldaro ${VERSION} \
  dla wszystkich użytkowników komputera.$\r$\n$\r$\nInstalator doda też reguły zapory \
  systemu Windows, które przepuszczają odpowiedzi sterowników z sieci lokalnej \
  (UDP, port 45389) do programów feldaro.exe i feldaro-cli.exe.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Polish"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_POLISH} "ProductName" "Feldaro"
VIAddVersionKey /LANG=${LANG_POLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_POLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_POLISH} "FileDescription" "Instalator programu Feldaro"
VIAddVersionKey /LANG=${LANG_POLISH} "CompanyName" "Feldaro developers"
VIAddVersionKey /LANG=${LANG_POLISH} "LegalCopyright" "© 2026 Feldaro developers. GPL-3.0-or-later"

; One netsh line; the rule's failure is told (and in a silent install only logged): the
; program works without it where no firewall blocks the answers.
!macro FeldaroNetsh ARGS
  nsExec::ExecToLog `"$SYSDIR\netsh.exe" ${ARGS}`
  Pop $0
  ${If} $0 != 0
    DetailPrint "netsh: kod $0"
    MessageBox MB_ICONEXCLAMATION|MB_OK "Nie udało się dodać reguły zapory systemu \
      Windows (netsh, kod $0).$\r$\n$\r$\nOdpowiedzi sterowników mogą nie docierać do \
      programu. Dodaj regułę ręcznie: ruch przychodzący UDP na port 45389 z podsieci \
      lokalnej dla programów feldaro.exe i feldaro-cli.exe w folderze $INSTDIR." /SD IDOK
  ${EndIf}
!macroend
; A delete finds no rule on a first install: its result does not matter.
!macro FeldaroNetshDelete ARGS
  nsExec::ExecToLog `"$SYSDIR\netsh.exe" ${ARGS}`
  Pop $0
!macroend

Function .onInit
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

Section "Feldaro"
  SectionIn RO
  !include "${GEN}/files.nsh"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Feldaro.lnk" "$INSTDIR\feldaro.exe" "" "$INSTDIR\feldaro.exe" 0
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "Feldaro"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "Feldaro developers"
  WriteRegStr HKLM "${UNINST_KEY}" "URLInfoAbout" "https://feldaro.org/"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\feldaro.exe,0"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" ${SIZE_KB}
  DetailPrint "Reguły zapory systemu Windows"
  !include "${GEN}/firewall-add.nsh"
SectionEnd

Section "Uninstall"
  DetailPrint "Reguły zapory systemu Windows"
  !include "${GEN}/firewall-delete.nsh"
  Delete "$SMPROGRAMS\Feldaro.lnk"
  !include "${GEN}/unfiles.nsh"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: files the user put there stay.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
