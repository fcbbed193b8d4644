; The installer's decision whether standard users can change a folder
; (packaging/windows/FolderRights.nsh), made on security descriptors written in SDDL:
; wine makes a real file's descriptor up from its Unix mode, so only these show the
; other groups, denying entries and inheritance. Writes "<answer> <expected> <case>" per
; line to folder-rights.txt beside itself.
;   makensis -DSRC=<source tree> -DOUTFILE=<exe> folder_rights.nsi
Unicode true
Target amd64-unicode
!include "LogicLib.nsh"
!include "${SRC}/packaging/windows/FolderRights.nsh"
OutFile "${OUTFILE}"
RequestExecutionLevel user
SilentInstall silent
Var Out

; Program Files' own permissions on Windows 10 and 11 (TrustedInstaller, SYSTEM and
; Administrators write; users, app containers and CREATOR OWNER's children only read).
!define TI "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
!define PROGRAM_FILES "O:${TI}G:${TI}D:PAI(A;;FA;;;${TI})(A;CIIO;GA;;;${TI})(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)"

!macro CASE expected name sddl
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${sddl}", i 1, *p .R8, p 0) i .r0'
  ${If} $0 = 0
    FileWrite $Out "unreadable ${expected} ${name}$\r$\n"
  ${Else}
    Call SecurityLetsOthersWrite
    FileWrite $Out "$R9 ${expected} ${name}$\r$\n"
    System::Call 'kernel32::LocalFree(p R8)'
  ${EndIf}
!macroend

Section
  FileOpen $Out "$EXEDIR\folder-rights.txt" w
  !insertmacro CASE 0 "Program Files" "${PROGRAM_FILES}"
  !insertmacro CASE 0 "read and execute for all four groups" "O:BAD:(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;AU)(A;OICI;0x1200a9;;;WD)(A;OICI;0x1200a9;;;IU)"
  !insertmacro CASE 1 "Users: modify, inherited" "O:BAD:AI(A;OICIID;0x1301bf;;;BU)"
  !insertmacro CASE 1 "Authenticated Users: add a folder only" "O:BAD:(A;OICI;FA;;;BA)(A;;0x4;;;AU)"
  !insertmacro CASE 1 "INTERACTIVE: write, for the files only" "O:BAD:(A;OICI;FA;;;BA)(A;OIIO;FW;;;IU)"
  !insertmacro CASE 1 "Everyone: generic write, for what it holds" "O:BAD:(A;OICIIO;GW;;;WD)"
  !insertmacro CASE 1 "Users: change the permissions" "O:BAD:(A;;WD;;;BU)"
  !insertmacro CASE 1 "Users: delete a child" "O:BAD:(A;;0x40;;;BU)"
  !insertmacro CASE 1 "owned by Users" "O:BUD:(A;OICI;FA;;;BA)"
  ; wine turns "D:NO_ACCESS_CONTROL" into an empty DACL, not a null one; no DACL at all
  ; means the same as a null one.
  !insertmacro CASE 1 "no DACL" "O:BA"
  !insertmacro CASE 0 "a write taken back before it by a denying entry" "O:BAD:(D;OICI;0x10056;;;WD)(A;OICI;0x1301bf;;;BU)"
  !insertmacro CASE 1 "a denying entry after the grant" "O:BAD:(A;OICI;0x1301bf;;;BU)(D;OICI;0x10056;;;WD)"
  !insertmacro CASE 1 "a denying entry for the children only" "O:BAD:(D;OICIIO;0x10056;;;BU)(A;OICI;0x1301bf;;;BU)"
  !insertmacro CASE 0 "write for Administrators and one user only" "O:BAD:(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;0x1200a9;;;BU)"
  FileClose $Out
SectionEnd
