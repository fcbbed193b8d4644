; Quorvix Mixer for Windows: the installer (and the uninstaller it writes).
; Built by scripts/build-windows-installer.sh, which stages the program folder with its
; licences and generates FILES_NSH, the exact list of the staged files:
;   makensis -INPUTCHARSET UTF8 -DVERSION=1.0.0 -DSTAGE=<staged folder>
;            -DFILES_NSH=<list> -DOUTFILE=<setup.exe> -DICON=<.ico> -DWIZARD_BMP=<.bmp>
;            QuorvixMixer.nsi
; Two modes: for the current user (the default, no administrator rights) or for everyone
; on this PC (elevated). Switches and exit codes: docs/windows-installer.md.
;   setup:     /S  /CURRENTUSER | /ALLUSERS  /NOAUTOSTART | /AUTOSTART=0|1  /LANG=<id>
;              /LAUNCH  /D=<folder> (last)
;   uninstall: /S  /REMOVESETTINGS (per-user only: also delete %APPDATA%\QuorvixDriver)

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
; Under HKCU for a per-user installation, HKLM for all users (SHCTX follows the mode).
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorvixMixer"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "Quorvix Mixer"
; The program's own settings folder under %APPDATA% (its ini files).
!define SETTINGS_DIR "QuorvixDriver"

; Exit codes besides NSIS's own 0 (done), 1 (cancelled) and 2 (stopped half-way).
!define EXIT_NOT_WRITABLE 3
!define EXIT_STILL_RUNNING 4
!define EXIT_OTHER_SESSION 5
!define EXIT_OLD_WINDOWS 6
!define EXIT_NEED_ADMIN 7
!define EXIT_FOLDER_REFUSED 8
!define EXIT_OTHER_MODE 9
!define EXIT_NO_MODE 10
; The uninstaller for everyone, started without administrator rights, started its elevated
; copy, which goes on by itself and reports its own result: this one cannot wait for it.
!define EXIT_HANDED_OVER 11

; RM_PROCESS_INFO (restartmanager.h): RM_UNIQUE_PROCESS (process id, then a FILETIME),
; WCHAR[256], WCHAR[64], then four 4-byte members, ApplicationType the first and
; TSSessionId the third; no pointers, so the same on x64.
!define RM_PROCESS_INFO_SIZE 668
!define RM_PROCESS_INFO_TYPE 652
!define RM_PROCESS_INFO_SESSION 660
; RM_APP_TYPE values of holders that are no user's copy of the program.
!define RM_SERVICE 3
!define RM_CRITICAL 1000

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "WinVer.nsh"
!include "StrFunc.nsh"
!include "nsDialogs.nsh"
!include "${FILES_NSH}"

${StrStr}
${UnStrStr}

Name "${APP_NAME} ${VERSION}"
OutFile "${OUTFILE}"
; Per-user by default, so no UAC prompt; an installation for everyone runs an elevated
; copy of this installer for the work.
RequestExecutionLevel user
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
Var AllUsers      ; 1: for everyone on this PC, 0: for the current user
Var ModeFixed     ; 1: by a switch or by the installation found, so no page to choose
Var DirGiven      ; 1: /D= chose the folder
Var Admin         ; 1: this process has administrator rights (elevated)
Var Delegate      ; 1: an elevated copy of this installer does the work
Var ModeRadioAll
Var AutostartBox
Var UnConfirmText

; The program's icon in every size the shell draws, made by the Windows build; the
; installer and the uninstaller show it too. -DICON=<.ico> (build-windows-installer.sh).
!ifndef ICON
  !error "define ICON, the program's multi-size .ico (scripts/build-windows-installer.sh does)"
!endif
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
; The welcome and finish pages' picture, made from the same artwork (164x314 BMP).
!ifndef WIZARD_BMP
  !error "define WIZARD_BMP, the wizard pages' picture (scripts/build-windows-installer.sh does)"
!endif
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD_BMP}"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${WIZARD_BMP}"
; -DSIGN_COMMAND=<command> signs the uninstaller as it is written and the setup at the
; end (%1 is the file); a failed signature fails the build.
!ifdef SIGN_COMMAND
  !finalize '${SIGN_COMMAND} "%1"' = 0
  !uninstfinalize '${SIGN_COMMAND} "%1"' = 0
!endif
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
; No licence of its own: this page shows the notices of the libraries it ships.
!define MUI_PAGE_HEADER_TEXT "$(NoticesTitle)"
!define MUI_PAGE_HEADER_SUBTEXT "$(NoticesSubtitle)"
!define MUI_LICENSEPAGE_TEXT_TOP "$(NoticesTop)"
!define MUI_LICENSEPAGE_TEXT_BOTTOM "$(NoticesBottom)"
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!insertmacro MUI_PAGE_LICENSE "${STAGE}/licenses/THIRD-PARTY.txt"
Page custom ModePage ModePageLeave
Page custom AutostartPage AutostartPageLeave
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "$(FinishRun)"
!define MUI_FINISHPAGE_RUN_FUNCTION LaunchProgram
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishShow
!insertmacro MUI_PAGE_FINISH

!define MUI_UNCONFIRMPAGE_TEXT_TOP "$UnConfirmText"
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_RESERVEFILE_LANGDLL
!include "${__FILEDIR__}/strings.nsh"
!include "${__FILEDIR__}/FolderRights.nsh"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${APP_NAME}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${APP_NAME} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

; Stops with a message (none in silent mode) and the given exit code; only used before
; anything was changed.
!macro QV_REFUSE message code
  MessageBox MB_OK|MB_ICONSTOP "${message}" /SD IDOK
  SetErrorLevel ${code}
  Quit
!macroend

!macro QV_SHARED un strfunc
; The mode decides the folders ($SMPROGRAMS, $LOCALAPPDATA) and SHCTX's hive.
Function ${un}UseMode
  ${If} $AllUsers = 1
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
FunctionEnd

Function ${un}CheckAdmin
  StrCpy $Admin 0
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 == "Admin"
    StrCpy $Admin 1
  ${EndIf}
FunctionEnd

; Runs the program $R8 elevated (the "runas" verb: the UAC prompt) with the parameters
; in $R9 and waits for it. $R9 becomes its exit code, "" when it could not be started
; (the prompt was refused), or ${EXIT_HANDED_OVER} when it started but its end cannot be
; waited for (no process handle came back).
Function ${un}RunElevated
  ; The strings go into buffers of their own: the structure holds only their addresses.
  System::Call '*(&w16 "runas") p .r5'
  System::Call '*(&w${NSIS_MAX_STRLEN} "$R8") p .r6'
  System::Call '*(&w${NSIS_MAX_STRLEN} "$R9") p .r7'
  ; SHELLEXECUTEINFOW, 112 bytes on x64, padding written out; SEE_MASK_NOCLOSEPROCESS.
  System::Call '*(i 112, i 0x40, p $HWNDPARENT, p r5, p r6, p r7, p 0, i 1, i 0, p 0, p 0, p 0, p 0, i 0, i 0, p 0, p 0) p .r8'
  System::Call 'shell32::ShellExecuteExW(p r8) i .r0'
  StrCpy $R9 ""
  ${If} $0 <> 0
    System::Call '*$8(i, i, p, p, p, p, p, i, i, p, p, p, p, i, i, p, p .r1)'
    StrCpy $R9 ${EXIT_HANDED_OVER}
    ${If} $1 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r1, i -1) i .r3'
      System::Call 'kernel32::GetExitCodeProcess(p r1, *i .r2) i .r4'
      ${If} $3 = 0
      ${AndIf} $4 <> 0
        StrCpy $R9 $2
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r1)'
    ${EndIf}
  ${EndIf}
  System::Free $8
  System::Free $7
  System::Free $6
  System::Free $5
FunctionEnd

; Asks the Restart Manager which processes hold the file $R8 (a running program holds
; its own executable). In: $R9 the installer's session. Out: $R9 the number of holders
; in another session (one whose session cannot be told counts as another's), or "" when
; the Restart Manager cannot answer; $R7 1 when this installer's process is a holder.
; Services and critical system processes (a virus scanner reading the file) are no
; user's copy and do not count: their session is not reported.
Function ${un}RmHolders
  System::Store "s"
  StrCpy $9 $R9
  StrCpy $7 ""
  StrCpy $8 0
  System::Call 'kernel32::GetCurrentProcessId() i .r6'
  System::Call 'rstrtmgr::RmStartSession(*i .r0, i 0, w .r1) i .r2'
  ${If} $2 == "0"
    ; An array of one pointer to the full path.
    System::Call '*(&w${NSIS_MAX_STRLEN} "$R8") p .r1'
    System::Call '*(p r1) p .r2'
    System::Call 'rstrtmgr::RmRegisterResources(i r0, i 1, p r2, i 0, p 0, i 0, p 0) i .r3'
    System::Free $2
    System::Free $1
    ; Room for 8 holders, then for as many as RmGetList says it needs (ERROR_MORE_DATA);
    ; the list can grow between two calls, so a few tries.
    StrCpy $1 8
    StrCpy $5 0
    ${DoWhile} $3 == "0"
      IntOp $2 $1 * ${RM_PROCESS_INFO_SIZE}
      System::Alloc $2
      Pop $2
      System::Call 'rstrtmgr::RmGetList(i r0, *i .r4, *i r1 r1, p r2, *i .R3) i .r3'
      ${If} $3 == "0"
        StrCpy $7 0
        StrCpy $5 0
        ${DoWhile} $5 < $1
          IntOp $3 $5 * ${RM_PROCESS_INFO_SIZE}
          IntPtrOp $3 $2 + $3
          System::Call '*$3(i .R0)'
          IntPtrOp $R3 $3 + ${RM_PROCESS_INFO_TYPE}
          System::Call '*$R3(i .R3)'
          IntPtrOp $3 $3 + ${RM_PROCESS_INFO_SESSION}
          System::Call '*$3(i .R1)'
          ${If} $R0 = $6
            StrCpy $8 1
          ${ElseIf} $R3 = ${RM_SERVICE}
          ${OrIf} $R3 = ${RM_CRITICAL}
            ; Not a copy of the program: ends nothing here and waits for nothing.
          ${Else}
            ${If} $R1 = -1
              ; RM_INVALID_SESSION: ask for the process's session directly.
              System::Call 'kernel32::ProcessIdToSessionId(i R0, *i .R1) i .R2'
              ${If} $R2 = 0
                StrCpy $R1 -1
              ${EndIf}
            ${EndIf}
            ${If} $R1 != $9
              IntOp $7 $7 + 1
            ${EndIf}
          ${EndIf}
          IntOp $5 $5 + 1
        ${Loop}
        System::Free $2
        ${Break}
      ${EndIf}
      System::Free $2
      IntOp $5 $5 + 1
      ${If} $3 != 234
      ${OrIf} $5 >= 5
        StrCpy $7 ""
        ${Break}
      ${EndIf}
      IntOp $1 $4 + 2
      StrCpy $3 "0"
    ${Loop}
    System::Call 'rstrtmgr::RmEndSession(i r0)'
  ${EndIf}
  Push $7
  Push $8
  System::Store "l"
  Pop $R7
  Pop $R9
FunctionEnd

; Ends the running copies in this installer's own session only, and waits (bounded)
; until the executable is free to be replaced or deleted: Windows keeps a running
; program's file locked, and the program saves every change at once, so a forced end
; loses nothing. A copy in another session (another user, fast user switching, remote
; desktop) is never ended: for everyone's installation one that runs from this folder
; stops the installation.
Function ${un}EndRunningCopy
  ${IfNot} ${FileExists} "$INSTDIR\${EXE}"
    Return
  ${EndIf}
  System::Call 'kernel32::GetCurrentProcessId() i .r0'
  System::Call 'kernel32::ProcessIdToSessionId(i r0, *i .r1) i .r2'
  ${If} $2 = 0
    ; Session unknown: end nothing and rely on the wait for the file below.
    StrCpy $1 ""
  ${EndIf}
  ${If} $AllUsers = 1
  ${AndIf} $1 != ""
    ${Do}
      ; The Restart Manager names the processes that hold this folder's program file;
      ; its answer counts only when it also names this installer as a holder of its own
      ; file (a Restart Manager that lists nothing would otherwise let every copy pass).
      StrCpy $R8 "$EXEPATH"
      StrCpy $R9 $1
      Call ${un}RmHolders
      StrCpy $4 ""
      ${If} $R7 = 1
        StrCpy $R8 "$INSTDIR\${EXE}"
        StrCpy $R9 $1
        Call ${un}RmHolders
        StrCpy $4 $R9
      ${EndIf}
      ${If} $4 == ""
        ; Without it, any copy of the program in another session counts, from whichever
        ; folder it runs: tasklist names processes, not their files.
        nsExec::ExecToStack '"$SYSDIR\tasklist.exe" /fi "IMAGENAME eq ${EXE}" /fi "SESSION ne $1" /fo csv /nh'
        Pop $2
        Pop $3
        ; One quoted CSV line per copy, whatever the language of Windows.
        !insertmacro STRFUNC_CALL_StrStr "${strfunc}" $4 $3 '"${EXE}"'
        ${If} $4 == ""
          ${Break}
        ${EndIf}
      ${ElseIf} $4 = 0
        ${Break}
      ${EndIf}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(MsgOtherSession)" /SD IDCANCEL IDRETRY retry_other
      SetErrorLevel ${EXIT_OTHER_SESSION}
      Abort
      retry_other:
    ${Loop}
  ${EndIf}
  ${If} $1 != ""
    nsExec::Exec '"$SYSDIR\taskkill.exe" /f /fi "SESSION eq $1" /im ${EXE}'
    Pop $0
  ${EndIf}
  StrCpy $2 0
  ${Do}
    ClearErrors
    FileOpen $0 "$INSTDIR\${EXE}" a
    ${IfNot} ${Errors}
      FileClose $0
      Return
    ${EndIf}
    IntOp $2 $2 + 1
    ${If} $2 >= 50
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(MsgStillRunning)" /SD IDCANCEL IDRETRY retry_kill
      SetErrorLevel ${EXIT_STILL_RUNNING}
      Abort
      retry_kill:
      StrCpy $2 0
      ${If} $1 != ""
        nsExec::Exec '"$SYSDIR\taskkill.exe" /f /fi "SESSION eq $1" /im ${EXE}'
        Pop $0
      ${EndIf}
    ${EndIf}
    Sleep 100
  ${Loop}
FunctionEnd
!macroend
!insertmacro QV_SHARED "" ""
!insertmacro QV_SHARED "un." Un

; Everything this installer puts on the machine, so a failed first installation can
; take it back and the uninstaller can remove it.
!macro QV_REMOVE_INSTALLATION
  !insertmacro QV_REMOVE_FILES
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  Delete "${SHORTCUT}"
  DeleteRegValue SHCTX "${RUN_KEY}" "${RUN_VALUE}"
!macroend

; The entry in "Apps & features"; per user also the user's Uninstall key and programs
; folder (%LOCALAPPDATA%\Programs) when it was their last occupant.
!macro QV_REMOVE_ENTRY
  DeleteRegKey SHCTX "${UNINST_KEY}"
  ${If} $AllUsers = 0
    DeleteRegKey /ifempty HKCU "Software\Microsoft\Windows\CurrentVersion\Uninstall"
    RMDir "$LOCALAPPDATA\Programs"
  ${EndIf}
!macroend

; The mode's folders and hive, its default folder, and whether an elevated copy must
; do the work.
Function SetMode
  Call UseMode
  ${If} $DirGiven = 0
    ${If} $AllUsers = 1
      StrCpy $INSTDIR "$PROGRAMFILES64\${APP_NAME}"
    ${Else}
      StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${APP_NAME}"
    ${EndIf}
  ${EndIf}
  StrCpy $Delegate 0
  ${If} $AllUsers = 1
  ${AndIf} $Admin = 0
    StrCpy $Delegate 1
  ${EndIf}
FunctionEnd

; Everyone's copy runs from this folder (the Run value, the elevated uninstaller), so
; standard users must not be able to change it. A new folder directly in Program Files
; (which grants them only reading) gets Program Files' permissions, and the recorded
; installation's folder is one this installer made so; any other folder inside Program
; Files must, with every folder above it up to Program Files, grant them no write right
; (FolderOthersCanWrite, FolderRights.nsh): Program Files' own subfolders need not be
; as strict. Anything outside Program Files, with ".." or "/" in it, is refused. Sets
; the error flag for a refused folder.
Function CheckAllUsersFolder
  ClearErrors
  ${If} $AllUsers = 1
    StrLen $0 "$PROGRAMFILES64\"
    StrCpy $1 "$INSTDIR" $0
    StrCpy $2 "$INSTDIR" "" $0
    ${StrStr} $3 "$INSTDIR" "\.."
    ${StrStr} $4 "$INSTDIR" "/"
    ${If} $1 != "$PROGRAMFILES64\"
    ${OrIf} $2 == ""
    ${OrIf} $3 != ""
    ${OrIf} $4 != ""
      SetErrors
      Return
    ${EndIf}
    ${StrStr} $3 $2 "\"
    ReadRegStr $4 HKLM "${UNINST_KEY}" "InstallLocation"
    ${If} $3 == ""
      ${IfNot} ${FileExists} "$INSTDIR\*.*"
      ${OrIf} $INSTDIR == $4
        ClearErrors
        Return
      ${EndIf}
    ${EndIf}
    ; The folders that exist, from it up to Program Files: a new one gets the
    ; permissions of the one above it.
    StrCpy $R8 "$INSTDIR"
    StrCpy $R9 0
    ${Do}
      ${If} ${FileExists} "$R8\*.*"
        Call FolderOthersCanWrite
        ${If} $R9 = 1
          ${Break}
        ${EndIf}
      ${EndIf}
      ${GetParent} "$R8" $R8
      ${If} $R8 == "$PROGRAMFILES64"
      ${OrIf} $R8 == ""
        ${Break}
      ${EndIf}
    ${Loop}
    ; Only the answer sets the flag (a missing registry value sets it too).
    ClearErrors
    ${If} $R9 = 1
      SetErrors
    ${EndIf}
  ${EndIf}
FunctionEnd

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
    !insertmacro QV_REFUSE "$(MsgNotWritable)" ${EXIT_NOT_WRITABLE}
  ${EndIf}
  FileClose $0
  ClearErrors
  Delete "$INSTDIR\quorvix-setup-write-test.tmp"
  ${If} ${Errors}
    ${If} $MadeInstDir = 1
      RMDir /r "$INSTDIR"
    ${EndIf}
    !insertmacro QV_REFUSE "$(MsgNotWritable)" ${EXIT_NOT_WRITABLE}
  ${EndIf}
FunctionEnd

Section "-Program" SecProgram
  ${If} $Delegate = 1
    Call InstallElevated
  ${Else}
    SetRegView 64
    Call CheckAllUsersFolder
    ${If} ${Errors}
      !insertmacro QV_REFUSE "$(MsgFolderRefused)" ${EXIT_FOLDER_REFUSED}
    ${EndIf}
    StrCpy $FreshInstall 0
    ${IfNot} ${FileExists} "$INSTDIR\${EXE}"
      StrCpy $FreshInstall 1
    ${EndIf}
    Call EndRunningCopy
    Call CheckWritable
    SetOverwrite on
    !insertmacro QV_INSTALL_FILES
    WriteUninstaller "$INSTDIR\${UNINSTALLER}"
    CreateShortCut "${SHORTCUT}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0 SW_SHOWNORMAL "" "${APP_NAME}"
    ; Written again by the next section when it is chosen.
    DeleteRegValue SHCTX "${RUN_KEY}" "${RUN_VALUE}"

    WriteRegStr SHCTX "${UNINST_KEY}" "DisplayName" "${APP_NAME}"
    WriteRegStr SHCTX "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr SHCTX "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\${EXE},0"
    WriteRegStr SHCTX "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr SHCTX "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
    WriteRegStr SHCTX "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
    WriteRegStr SHCTX "${UNINST_KEY}" "Installer Language" "$LANGUAGE"
    WriteRegDWORD SHCTX "${UNINST_KEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINST_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD SHCTX "${UNINST_KEY}" "EstimatedSize" $0
  ${EndIf}
SectionEnd

; For everyone the value goes under HKLM, which Windows reads at every user's log-in.
Section "-Autostart" SecAutostart
  ${If} $Delegate = 0
    WriteRegStr SHCTX "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\${EXE}"'
  ${EndIf}
SectionEnd

; The interactive installer for everyone, started without administrator rights: an
; elevated silent copy installs with the choices made on the pages, while this one
; keeps the user's own rights to start the program from the finish page.
Function InstallElevated
  StrCpy $R9 "/S /ALLUSERS /AUTOSTART=0 /LANG=$LANGUAGE /D=$INSTDIR"
  ${If} ${SectionIsSelected} ${SecAutostart}
    StrCpy $R9 "/S /ALLUSERS /AUTOSTART=1 /LANG=$LANGUAGE /D=$INSTDIR"
  ${EndIf}
  DetailPrint "$(MsgElevating)"
  ; The file the user started, which the UAC prompt names and whose signature it shows;
  ; elevated, NSIS loads DLLs from System32 only and unpacks its plug-ins into a folder
  ; only administrators can write.
  StrCpy $R8 "$EXEPATH"
  Call RunElevated
  ${Select} $R9
  ${Case} "0"
    ; The version that installed for everyone only wrote its Run value into the hive of
    ; whoever ran it; this copy runs as that user, the elevated one never writes HKCU.
    ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${If} $0 == '"$INSTDIR\${EXE}"'
      DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${EndIf}
    Return
  ${Case} ""
    StrCpy $0 "$(MsgNeedAdmin)"
    StrCpy $R9 ${EXIT_NEED_ADMIN}
  ${Case} ${EXIT_NEED_ADMIN}
    ; The prompt was approved but gave no administrator rights (UAC turned off).
    StrCpy $0 "$(MsgNeedAdmin)"
  ${Case} ${EXIT_NOT_WRITABLE}
    StrCpy $0 "$(MsgNotWritable)"
  ${Case} ${EXIT_STILL_RUNNING}
    StrCpy $0 "$(MsgStillRunningStopped)"
  ${Case} ${EXIT_OTHER_SESSION}
    StrCpy $0 "$(MsgOtherSessionStopped)"
  ${Case} ${EXIT_FOLDER_REFUSED}
    StrCpy $0 "$(MsgFolderRefused)"
  ${Case} ${EXIT_HANDED_OVER}
    StrCpy $0 "$(MsgElevatedUnknown)"
  ${CaseElse}
    StrCpy $0 "$(MsgElevatedFailed)"
  ${EndSelect}
  MessageBox MB_OK|MB_ICONSTOP "$0"
  SetErrorLevel $R9
  Abort
FunctionEnd

Function ModePage
  ${If} $ModeFixed = 1
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "$(ModeTitle)" "$(ModeSubtitle)"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateRadioButton} 0 0 100% 12u "$(ModeCurrentUser)"
  Pop $1
  ${NSD_CreateLabel} 12u 14u -12u 24u "$(ModeCurrentUserDesc)"
  Pop $0
  ${NSD_CreateRadioButton} 0 48u 100% 12u "$(ModeAllUsers)"
  Pop $ModeRadioAll
  ${NSD_CreateLabel} 12u 62u -12u 36u "$(ModeAllUsersDesc)"
  Pop $0
  ${If} $Admin = 1
    UserInfo::GetName
    Pop $2
    ${NSD_CreateLabel} 0 106u 100% 30u "$(ModeElevatedNote)"
    Pop $0
  ${EndIf}
  ${If} $AllUsers = 1
    ${NSD_Check} $ModeRadioAll
  ${Else}
    ${NSD_Check} $1
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ModePageLeave
  ${NSD_GetState} $ModeRadioAll $0
  StrCpy $AllUsers 0
  ${If} $0 = ${BST_CHECKED}
    StrCpy $AllUsers 1
  ${EndIf}
  Call SetMode
FunctionEnd

; The one choice besides the mode, as a single check box: it holds the section's state.
Function AutostartPage
  !insertmacro MUI_HEADER_TEXT "$(AutostartTitle)" "$(AutostartSubtitle)"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateCheckbox} 0 0 100% 12u "$(SecAutostart)"
  Pop $AutostartBox
  ${NSD_CreateLabel} 12u 16u -12u 36u "$(SecAutostartDesc)"
  Pop $0
  ${If} ${SectionIsSelected} ${SecAutostart}
    ${NSD_Check} $AutostartBox
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function AutostartPageLeave
  ${NSD_GetState} $AutostartBox $0
  ${If} $0 = ${BST_CHECKED}
    SectionSetFlags ${SecAutostart} ${SF_SELECTED}
  ${Else}
    SectionSetFlags ${SecAutostart} 0
  ${EndIf}
FunctionEnd

Function DirectoryLeave
  Call CheckAllUsersFolder
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(MsgFolderRefused)"
    Abort
  ${EndIf}
FunctionEnd

; Started with the user's own rights only: an elevated start would run as the
; administrator (another account with over-the-shoulder elevation) and create the
; program's pipe with an owner the audio driver in an ordinary program cannot open.
Function LaunchProgram
  ${If} $Admin = 0
    Exec '"$INSTDIR\${EXE}"'
  ${EndIf}
FunctionEnd

Function FinishShow
  ${If} $Admin = 1
    SendMessage $mui.FinishPage.Run ${BM_SETCHECK} ${BST_UNCHECKED} 0
    ShowWindow $mui.FinishPage.Run ${SW_HIDE}
  ${EndIf}
FunctionEnd

Function .onInstSuccess
  ${If} ${Silent}
  ${AndIf} $LaunchAfter = 1
    Call LaunchProgram
  ${EndIf}
FunctionEnd

; A first installation that failed half-way takes back what it wrote; over an existing
; one the files are those of either version and the entry stays to uninstall them.
Function .onInstFailed
  ${If} $FreshInstall = 1
    !insertmacro QV_REMOVE_INSTALLATION
    !insertmacro QV_REMOVE_ENTRY
  ${EndIf}
FunctionEnd

Section "un.$(UnSecProgram)" UnSecProgram
  SectionIn RO
  Call un.EndRunningCopy
  !insertmacro QV_REMOVE_INSTALLATION
SectionEnd

Section /o "un.$(UnSecSettings)" UnSecSettings
  ; Only the per-user uninstaller has it: the settings of the user who uninstalls.
  RMDir /r "$APPDATA\${SETTINGS_DIR}"
SectionEnd

; Last, so the entry in "Apps & features" goes only once everything else has.
Section "-un.Entry"
  !insertmacro QV_REMOVE_ENTRY
SectionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSecProgram} "$(UnSecProgramDesc)"
  !insertmacro MUI_DESCRIPTION_TEXT ${UnSecSettings} "$(UnSecSettingsDesc)"
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END

; After the sections, whose indexes they use.
Function .onInit
  SetRegView 64
  StrCpy $FreshInstall 0
  StrCpy $ModeFixed 0
  StrCpy $AllUsers 0
  Call CheckAdmin
  StrCpy $DirGiven 0
  ${If} $INSTDIR != ""
    StrCpy $DirGiven 1
  ${EndIf}
  ${GetParameters} $R0
  StrCpy $R3 ""
  ClearErrors
  ${GetOptions} $R0 "/ALLUSERS" $R1
  ${IfNot} ${Errors}
    StrCpy $R3 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/CURRENTUSER" $R1
  ${IfNot} ${Errors}
    ${If} $R3 == 1
      !insertmacro QV_REFUSE "$(MsgBothModes)" ${EXIT_OTHER_MODE}
    ${EndIf}
    StrCpy $R3 0
  ${EndIf}

  ; An upgrade keeps the mode and the folder of the installation it finds.
  ReadRegStr $R4 HKLM "${UNINST_KEY}" "InstallLocation"
  ReadRegStr $R5 HKCU "${UNINST_KEY}" "InstallLocation"
  ${If} $R3 == 1
  ${AndIf} $R4 == ""
  ${AndIf} $R5 != ""
    !insertmacro QV_REFUSE "$(MsgInstalledForMe)" ${EXIT_OTHER_MODE}
  ${ElseIf} $R3 == 0
  ${AndIf} $R5 == ""
  ${AndIf} $R4 != ""
    !insertmacro QV_REFUSE "$(MsgInstalledForAll)" ${EXIT_OTHER_MODE}
  ${EndIf}
  ${If} $R3 != ""
    StrCpy $AllUsers $R3
    StrCpy $ModeFixed 1
  ${ElseIf} $R5 != ""
    StrCpy $ModeFixed 1
  ${ElseIf} $R4 != ""
    StrCpy $AllUsers 1
    StrCpy $ModeFixed 1
  ${EndIf}
  Call SetMode
  ReadRegStr $R6 SHCTX "${UNINST_KEY}" "InstallLocation"
  ${If} $R6 != ""
    StrCpy $INSTDIR $R6
  ${EndIf}

  ; The language chosen in the copy that handed over to this one, else the installation's.
  ClearErrors
  ${GetOptions} $R0 "/LANG=" $R1
  ${If} ${Errors}
  ${OrIfNot} $R1 == ${LANG_ENGLISH}
  ${AndIfNot} $R1 == ${LANG_SIMPCHINESE}
    ReadRegStr $R1 SHCTX "${UNINST_KEY}" "Installer Language"
  ${EndIf}
  ${If} $R1 != ""
    StrCpy $LANGUAGE $R1
  ${Else}
    !insertmacro MUI_LANGDLL_DISPLAY
  ${EndIf}
  ${IfNot} ${AtLeastWin10}
    !insertmacro QV_REFUSE "$(MsgOldWindows)" ${EXIT_OLD_WINDOWS}
  ${EndIf}
  ${If} ${Silent}
  ${AndIf} $Delegate = 1
    !insertmacro QV_REFUSE "$(MsgNeedAdmin)" ${EXIT_NEED_ADMIN}
  ${EndIf}
  ; Elevated (an administrator, or a management tool as SYSTEM), "the current user" is the
  ; account that elevated, seldom the one meant: unattended, the mode must be named.
  ${If} $Admin = 1
  ${AndIf} $R3 == ""
    ${If} ${Silent}
      !insertmacro QV_REFUSE "$(MsgNameMode)" ${EXIT_NO_MODE}
    ${EndIf}
    ${If} $ModeFixed = 0
      StrCpy $AllUsers 1
      Call SetMode
    ${EndIf}
  ${EndIf}

  ClearErrors
  ${GetOptions} $R0 "/AUTOSTART=" $R1
  ${IfNot} ${Errors}
    ; Given by the copy that handed over: the user's choice, also over an upgrade.
    ${If} $R1 == 0
      SectionSetFlags ${SecAutostart} 0
    ${Else}
      SectionSetFlags ${SecAutostart} ${SF_SELECTED}
    ${EndIf}
  ${Else}
    ClearErrors
    ${GetOptions} $R0 "/NOAUTOSTART" $R1
    ${IfNot} ${Errors}
      SectionSetFlags ${SecAutostart} 0
    ${Else}
      ; Over an existing installation keep the choice of starting at log-in.
      ReadRegStr $R2 SHCTX "${RUN_KEY}" "${RUN_VALUE}"
      ${If} $R6 != ""
      ${AndIf} $R2 == ""
        SectionSetFlags ${SecAutostart} 0
      ${EndIf}
    ${EndIf}
  ${EndIf}
  StrCpy $LaunchAfter 0
  ClearErrors
  ${GetOptions} $R0 "/LAUNCH" $R1
  ${IfNot} ${Errors}
    StrCpy $LaunchAfter 1
  ${EndIf}
FunctionEnd

; The uninstaller takes the mode of the entry that names its folder: HKLM's for an
; installation for everyone, else the user's own.
Function un.onInit
  SetRegView 64
  Call un.CheckAdmin
  StrCpy $AllUsers 0
  ReadRegStr $R1 HKLM "${UNINST_KEY}" "InstallLocation"
  ${If} $R1 == $INSTDIR
    StrCpy $AllUsers 1
  ${EndIf}
  Call un.UseMode
  ReadRegStr $R2 SHCTX "${UNINST_KEY}" "Installer Language"
  ${If} $R2 != ""
    StrCpy $LANGUAGE $R2
  ${Else}
    !insertmacro MUI_LANGDLL_DISPLAY
  ${EndIf}
  ${GetParameters} $R0
  ${If} $AllUsers = 1
    ; Every user's settings stay: the page says so, and there is nothing to tick.
    StrCpy $UnConfirmText "$(UnConfirmAllUsers)"
    SectionSetText ${UnSecSettings} ""
    ${If} $Admin = 0
      ; Silent, or already the copy that was to be elevated (the prompt gave no
      ; administrator rights, as with UAC turned off): never ask again.
      ClearErrors
      ${GetOptions} $R0 "/ELEVATED" $R1
      ${If} ${Silent}
      ${OrIfNot} ${Errors}
        !insertmacro QV_REFUSE "$(MsgNeedAdmin)" ${EXIT_NEED_ADMIN}
      ${EndIf}
      ; The installed Uninstall.exe itself, not this copy in the user's temp folder, and
      ; without "_?=": elevated, it copies itself into a folder only administrators can
      ; write and runs from there, so nothing the user can change is run elevated.
      ; That one hands over to its copy and ends at once, with 0: the result is the
      ; copy's, which shows it and which this one cannot wait for.
      StrCpy $R8 "$INSTDIR\${UNINSTALLER}"
      StrCpy $R9 "/ELEVATED"
      Call un.RunElevated
      ${If} $R9 == ""
        !insertmacro QV_REFUSE "$(MsgNeedAdmin)" ${EXIT_NEED_ADMIN}
      ${EndIf}
      ${If} $R9 = 0
        StrCpy $R9 ${EXIT_HANDED_OVER}
      ${EndIf}
      SetErrorLevel $R9
      Quit
    ${EndIf}
  ${Else}
    StrCpy $UnConfirmText "$(UnConfirmCurrentUser)"
    ClearErrors
    ${GetOptions} $R0 "/REMOVESETTINGS" $R1
    ${IfNot} ${Errors}
      SectionSetFlags ${UnSecSettings} ${SF_SELECTED}
    ${EndIf}
  ${EndIf}
FunctionEnd
