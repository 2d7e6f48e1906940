; Seamlog's installer: one script, two builds (x86 and x64), made by the
; build with makensis. Everything the build hands over comes in as a define:
;   VERSION      1.0.0
;   ARCH         x86 | x64
;   OUTFILE      the installer to write
;   SEAMLOG_EXE, PORTLINE_USB_DLL, SETUP_EXE, PORTLINE_SYS, PORTLINE_INF, WINUSB_INF
;   WINUSB_CAT   optional: PortlineWinUsb.cat signed by the distributor
;
; Seamlog is installed for the current user, without elevation, under
; %LOCALAPPDATA%\Programs\Seamlog, where it may write Benchkit.ini beside
; itself. The driver is a separate, elevated run of portline-setup.exe that
; the user agrees to (the "USB driver" component); a silent install (/S)
; leaves it out unless /DRIVER is given. The helper keeps itself and the
; package in %ProgramFiles%\Portline Setup, a folder only administrators can
; change; the Start menu and the uninstaller run that copy only, never the
; one in the user's folder.

Unicode true
!if "${ARCH}" == "x64"
  Target amd64-unicode
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh

!define PRODUCT "Seamlog"
!if "${ARCH}" == "x64"
  !define SETUP_HELPER "$PROGRAMFILES64\Portline Setup\portline-setup.exe"
!else
  !define SETUP_HELPER "$PROGRAMFILES\Portline Setup\portline-setup.exe"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Seamlog"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Seamlog"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
SetCompressor /SOLID lzma
ShowInstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup (${ARCH})"
VIAddVersionKey /LANG=1033 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PRODUCT}"

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Seamlog.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
!if "${ARCH}" == "x64"
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "This installer is for 64-bit Windows. Use Seamlog-${VERSION}-setup-x86.exe on this PC." /SD IDOK
    Abort
  ${EndIf}
!endif
FunctionEnd

Section "Seamlog" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "/oname=Seamlog.exe" "${SEAMLOG_EXE}"
  File "/oname=PortlineUSB.dll" "${PORTLINE_USB_DLL}"
  File "/oname=SeamlogReport.exe" "${SEAMLOG_REPORT_EXE}"
  SetOutPath "$INSTDIR\driver"
  File "/oname=portline-setup.exe" "${SETUP_EXE}"
  File "/oname=PortlineWinUsb.inf" "${WINUSB_INF}"
!ifdef WINUSB_CAT
  ; The distributor's signed catalog: the helper then installs the package as it is.
  File "/oname=PortlineWinUsb.cat" "${WINUSB_CAT}"
!endif
  File "/oname=Portline.inf" "${PORTLINE_INF}"
  File "/oname=Portline.sys" "${PORTLINE_SYS}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateDirectory "$SMPROGRAMS\Seamlog"
  CreateShortcut "$SMPROGRAMS\Seamlog\Seamlog.lnk" "$INSTDIR\Seamlog.exe"
  Call DriverShortcut
  CreateShortcut "$SMPROGRAMS\Seamlog\Splice report.lnk" "$INSTDIR\SeamlogReport.exe"
  CreateShortcut "$SMPROGRAMS\Seamlog\Uninstall Seamlog.lnk" "$INSTDIR\Uninstall.exe"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Seamlog.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "USB driver for the splicer (asks for administrator rights)" SecDriver
  ${If} ${Silent}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/DRIVER" $1
    ${If} ${Errors}
      DetailPrint "Silent install: the driver is left out (install it later from the Start menu)."
      Return
    ${EndIf}
  ${EndIf}
!if "${ARCH}" == "x86"
  ${If} ${RunningX64}
    MessageBox MB_ICONINFORMATION "Windows installs drivers on 64-bit Windows only from a 64-bit program. Seamlog is installed; for the driver run Seamlog-${VERSION}-setup-x64.exe." /SD IDOK
    Return
  ${EndIf}
!endif
  DetailPrint "Starting the driver setup (Windows asks for administrator rights)..."
  ; The helper asks for the rights itself, waits for its elevated run and
  ; ends with its status: 0 installed, 1 failed and undone, 3 rights refused.
  StrCpy $1 "install"
  ${If} ${Silent}
    StrCpy $1 "install --quiet"
  ${EndIf}
  ClearErrors
  ExecWait '"$INSTDIR\driver\portline-setup.exe" $1' $0
  ${If} ${Errors}
    DetailPrint "The driver setup could not be started."
    SetErrorLevel 1
  ${ElseIf} $0 == 0
    DetailPrint "The driver setup installed the driver (status 0)."
  ${ElseIf} $0 == 3
    DetailPrint "The driver is not installed: administrator rights were refused (status 3)."
    SetErrorLevel 3
  ${Else}
    DetailPrint "The driver setup failed and undid its steps (status $0)."
    SetErrorLevel $0
  ${EndIf}
  Call DriverShortcut
SectionEnd

; The Start-menu entry for the driver setup runs the protected copy only;
; there is none until the driver setup has run once.
Function DriverShortcut
  ${If} ${FileExists} "${SETUP_HELPER}"
    CreateShortcut "$SMPROGRAMS\Seamlog\Install the splicer driver.lnk" "${SETUP_HELPER}" "install"
  ${EndIf}
FunctionEnd

LangString DESC_Program ${LANG_ENGLISH} "Seamlog, its device library and the driver files, for this user."
LangString DESC_Driver ${LANG_ENGLISH} "Installs the splicer's USB driver for all users. Windows asks for administrator rights. It can be done later from the Start menu."
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} $(DESC_Program)
  !insertmacro MUI_DESCRIPTION_TEXT ${SecDriver} $(DESC_Driver)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; The uninstaller removes what the installer put there and nothing else:
; Benchkit.ini and the tables the user saved stay unless the user asks.
Section "Uninstall"
  ; The driver serves every user of this PC: the question says so, and a
  ; silent uninstall keeps it.
  ${If} ${FileExists} "${SETUP_HELPER}"
    MessageBox MB_YESNO|MB_ICONQUESTION "Also remove the splicer's driver package from Windows? It serves every user of this PC: if another user still uses Seamlog, answer No. (asks for administrator rights)" /SD IDNO IDNO keep_driver
      ExecWait '"${SETUP_HELPER}" uninstall' $0
      DetailPrint "The driver setup ended with status $0."
    keep_driver:
  ${EndIf}

  Delete "$INSTDIR\Seamlog.exe"
  Delete "$INSTDIR\PortlineUSB.dll"
  Delete "$INSTDIR\SeamlogReport.exe"
  Delete "$INSTDIR\driver\portline-setup.exe"
  Delete "$INSTDIR\driver\PortlineWinUsb.inf"
  Delete "$INSTDIR\driver\PortlineWinUsb.cat"
  Delete "$INSTDIR\driver\Portline.inf"
  Delete "$INSTDIR\driver\Portline.sys"
  RMDir "$INSTDIR\driver"

  MessageBox MB_YESNO|MB_ICONQUESTION "Also delete your Seamlog settings (Benchkit.ini) and the tables (*.csv) saved in $INSTDIR?" /SD IDNO IDNO keep_user_files
    Delete "$INSTDIR\Benchkit.ini"
    Delete "$INSTDIR\*.csv"
  keep_user_files:

  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"  ; only when nothing of the user's is left in it

  Delete "$SMPROGRAMS\Seamlog\Seamlog.lnk"
  Delete "$SMPROGRAMS\Seamlog\Splice report.lnk"
  Delete "$SMPROGRAMS\Seamlog\Install the splicer driver.lnk"
  Delete "$SMPROGRAMS\Seamlog\Uninstall Seamlog.lnk"
  RMDir "$SMPROGRAMS\Seamlog"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
