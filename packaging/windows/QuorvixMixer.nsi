; Quorvix Mixer for Windows: the installer (and the uninstaller it writes).
; Built by scripts/build-windows-installer.sh, which stages the program folder with its
; licences and generates FILES_NSH, the exact list of the staged files:
;   makensis -INPUTCHARSET UTF8 -DVERSION=1.0.0 -DSTAGE=<staged folder>
;            -DFILES_NSH=<list> -DOUTFILE=<setup.exe> QuorvixMixer.nsi
; Switches (see docs/windows-installer.md):
;   setup:     /S  /D=<folder> (last)  /NOAUTOSTART  /LAUNCH (start it after a silent install)
;   uninstall: /S  /REMOVESETTINGS (also delete %APPDATA%\QuorvixDriver)

Unicode true
Target amd64-unicode

!ifndef VERSION | STAGE | FILES_NSH | OUTFILE
  !error "define VERSION, STAGE, FILES_NSH and OUTFILE (scripts/build-windows-installer.sh does)"
!endif

!define APP_NAME "Quorvix Mixer"
!define PUBLISHER "Quorvix"
!define EXE "QuorvixDriver.exe"
!define UNINSTALLER "Uninstall.exe"
!define SHORTCUT "$SMPROGRAMS\${APP_NAME}.lnk"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorvixMixer"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "Quorvix Mixer"
; The program's own settings folder under %APPDATA% (its ini files).
!define SETTINGS_DIR "QuorvixDriver"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "${FILES_NSH}"

Name "${APP_NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP_NAME}"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ManifestDPIAware true
; A file that cannot be written must stop the installation, never be skipped.
AllowSkipFiles off
BrandingText "${APP_NAME} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

Var FreshInstall
Var MadeInstDir
Var LaunchAfter

; The program's icon in every size the shell draws, made by the Windows build; the
; installer and the uninstaller show it too. -DICON=<.ico> (build-windows-installer.sh).
!ifndef ICON
  !error "define ICON, the program's multi-size .ico (scripts/build-windows-installer.sh does)"
!endif
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
; -DSIGN_COMMAND=<command> signs the uninstaller as it is written and the setup at the
; end (%1 is the file); a failed signature fails the build.
!ifdef SIGN_COMMAND
  !finalize '${SIGN_COMMAND} "%1"' = 0
  !uninstfinalize '${SIGN_COMMAND} "%1"' = 0
!endif
!define MUI_ABORTWARNING
!define MUI_LANGDLL_REGISTRY_ROOT HKLM
!define MUI_LANGDLL_REGISTRY_KEY "${UNINST_KEY}"
!define MUI_LANGDLL_REGISTRY_VALUENAME "Installer Language"

!insertmacro MUI_PAGE_WELCOME
; No licence of its own: this page shows the notices of the libraries it ships.
!define MUI_PAGE_HEADER_TEXT "$(NoticesTitle)"
!define MUI_PAGE_HEADER_SUBTEXT "$(NoticesSubtitle)"
!define MUI_LICENSEPAGE_TEXT_TOP "$(NoticesTop)"
!define MUI_LICENSEPAGE_TEXT_BOTTOM "$(NoticesBottom)"
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!insertmacro MUI_PAGE_LICENSE "${STAGE}/licenses/THIRD-PARTY.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_RESERVEFILE_LANGDLL
!include "${__FILEDIR__}/strings.nsh"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${APP_NAME}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${APP_NAME} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

; Ends every running copy and waits until its executable is free to be replaced or
; deleted (Windows keeps a running program's file locked).
!macro QV_END_RUNNING_COPY un
Function ${un}EndRunningCopy
  nsExec::Exec '"$SYSDIR\taskkill.exe" /f /im ${EXE}'
  Pop $0
  ${IfNot} ${FileExists} "$INSTDIR\${EXE}"
    Return
  ${EndIf}
  StrCpy $1 0
  ${Do}
    ClearErrors
    FileOpen $0 "$INSTDIR\${EXE}" a
    ${IfNot} ${Errors}
      FileClose $0
      Return
    ${EndIf}
    IntOp $1 $1 + 1
    ${If} $1 >= 50
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(MsgStillRunning)" /SD IDCANCEL IDRETRY +2
      Abort
      StrCpy $1 0
      nsExec::Exec '"$SYSDIR\taskkill.exe" /f /im ${EXE}'
      Pop $0
    ${EndIf}
    Sleep 100
  ${Loop}
FunctionEnd
!macroend
!insertmacro QV_END_RUNNING_COPY ""
!insertmacro QV_END_RUNNING_COPY "un."

; Everything this installer puts on the machine, so a failed first installation can
; take it back and the uninstaller can remove it.
!macro QV_REMOVE_INSTALLATION
  !insertmacro QV_REMOVE_FILES
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  Delete "${SHORTCUT}"
  DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
!macroend

; A folder that cannot be written (read-only, or no rights) stops the installation
; before anything is changed, and leaves no folder of ours behind.
Function CheckWritable
  StrCpy $MadeInstDir 0
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    StrCpy $MadeInstDir 1
  ${EndIf}
  ClearErrors
  CreateDirectory "$INSTDIR"
  FileOpen $0 "$INSTDIR\quorvix-setup-write-test.tmp" w
  ${If} ${Errors}
    ${If} $MadeInstDir = 1
      RMDir "$INSTDIR"
    ${EndIf}
    MessageBox MB_OK|MB_ICONSTOP "$(MsgNotWritable)" /SD IDOK
    SetErrorLevel 3
    Quit
  ${EndIf}
  FileClose $0
  ClearErrors
  Delete "$INSTDIR\quorvix-setup-write-test.tmp"
  ${If} ${Errors}
    ${If} $MadeInstDir = 1
      RMDir /r "$INSTDIR"
    ${EndIf}
    MessageBox MB_OK|MB_ICONSTOP "$(MsgNotWritable)" /SD IDOK
    SetErrorLevel 3
    Quit
  ${EndIf}
FunctionEnd

Section "$(SecProgram)" SecProgram
  SectionIn RO
  SetRegView 64
  StrCpy $FreshInstall 0
  ${IfNot} ${FileExists} "$INSTDIR\${EXE}"
    StrCpy $FreshInstall 1
  ${EndIf}
  Call CheckWritable
  Call EndRunningCopy
  SetOverwrite on
  !insertmacro QV_INSTALL_FILES
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  CreateShortCut "${SHORTCUT}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0 SW_SHOWNORMAL "" "${APP_NAME}"
  ; Written again by the next section when it is chosen.
  DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${APP_NAME}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\${EXE},0"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegStr HKLM "${UNINST_KEY}" "Installer Language" "$LANGUAGE"
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Section "$(SecAutostart)" SecAutostart
  WriteRegStr HKCU "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\${EXE}"'
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} "$(SecProgramDesc)"
  !insertmacro MUI_DESCRIPTION_TEXT ${SecAutostart} "$(SecAutostartDesc)"
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInstSuccess
  ${If} ${Silent}
  ${AndIf} $LaunchAfter = 1
    Exec '"$INSTDIR\${EXE}"'
  ${EndIf}
FunctionEnd

; A first installation that failed half-way takes back what it wrote; over an existing
; one the files are those of either version and the entry stays to uninstall them.
Function .onInstFailed
  ${If} $FreshInstall = 1
    !insertmacro QV_REMOVE_INSTALLATION
    DeleteRegKey HKLM "${UNINST_KEY}"
  ${EndIf}
FunctionEnd

Section "un.$(UnSecProgram)" UnSecProgram
  SectionIn RO
  Call un.EndRunningCopy
  !insertmacro QV_REMOVE_INSTALLATION
SectionEnd

Section /o "un.$(UnSecSettings)" UnSecSettings
  ; The settings belong to the user who uninstalls, not to all users.
  SetShellVarContext current
  RMDir /r "$APPDATA\${SETTINGS_DIR}"
  SetShellVarContext all
SectionEnd

; Last, so the entry in "Apps & features" goes only once everything else has.
Section "-un.Entry"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSecProgram} "$(UnSecProgramDesc)"
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSecSettings} "$(UnSecSettingsDesc)"
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END

; After the sections, whose indexes they use.
Function .onInit
  SetRegView 64
  SetShellVarContext all
  !insertmacro MUI_LANGDLL_DISPLAY
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/NOAUTOSTART" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecAutostart} 0
  ${Else}
    ; Over an existing installation keep the user's choice of starting at log-in.
    ReadRegStr $R1 HKLM "${UNINST_KEY}" "InstallLocation"
    ReadRegStr $R2 HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${If} $R1 != ""
    ${AndIf} $R2 == ""
      SectionSetFlags ${SecAutostart} 0
    ${EndIf}
  ${EndIf}
  StrCpy $LaunchAfter 0
  ClearErrors
  ${GetOptions} $R0 "/LAUNCH" $R1
  ${IfNot} ${Errors}
    StrCpy $LaunchAfter 1
  ${EndIf}
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
  !insertmacro MUI_UNGETLANGUAGE
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVESETTINGS" $R1
  ${IfNot} ${Errors}
    SectionSetFlags ${UnSecSettings} ${SF_SELECTED}
  ${EndIf}
FunctionEnd
