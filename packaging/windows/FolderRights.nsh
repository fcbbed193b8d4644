; Whether standard users can change a folder, from its security descriptor: the all-users
; installation runs from its folder. Needs LogicLib and the System plug-in.

; The rights over a folder that let a user change what runs from it: write data or
; append (add a file or a folder), delete a child, delete, change the permissions or the
; owner, and the generic write and all rights.
!define FOLDER_WRITE_RIGHTS 0x500D0046

; Sets $R2 to 1 when the SID at address ${sid} is one that every standard user holds:
; Users, Authenticated Users, Everyone or INTERACTIVE. Uses $R5 to $R7.
!macro QV_STANDARD_USERS_SID sid
  StrCpy $R2 0
  System::Call 'advapi32::ConvertSidToStringSidW(p ${sid}, *p .R6) i .R5'
  ${If} $R5 <> 0
    System::Call 'kernel32::lstrcpynW(w .R7, p R6, i 64)'
    System::Call 'kernel32::LocalFree(p R6)'
    ${If} $R7 == "S-1-5-32-545"
    ${OrIf} $R7 == "S-1-5-11"
    ${OrIf} $R7 == "S-1-1-0"
    ${OrIf} $R7 == "S-1-5-4"
      StrCpy $R2 1
    ${EndIf}
  ${EndIf}
!macroend

; $R9 becomes 1 when the security descriptor at address $R8 lets standard users change
; its folder or what the folder holds, else 0: one of their SIDs owns it (an owner may
; always rewrite the permissions), or its DACL grants them a write right
; (FOLDER_WRITE_RIGHTS) in an allowing entry, inherited or not, for the folder or only
; for what it holds, that no denying entry before it takes back (only a denying entry
; for the folder and all it holds counts). No DACL, or a null one, grants everyone
; everything.
Function SecurityLetsOthersWrite
  System::Store "s"
  StrCpy $9 1
  System::Call 'advapi32::GetSecurityDescriptorOwner(p R8, *p .r1, *i .r0) i .r0'
  System::Call 'advapi32::GetSecurityDescriptorDacl(p R8, *i .r3, *p .r2, *i .r0) i .r0'
  ${If} $0 <> 0
  ${AndIf} $3 <> 0
  ${AndIf} $2 P<> 0
    StrCpy $R2 0
    ${If} $1 P<> 0
      !insertmacro QV_STANDARD_USERS_SID $1
    ${EndIf}
    ${If} $R2 = 0
      ; ACL: revision and Sbz1 (bytes), AclSize and AceCount (words)
      System::Call '*$2(&i1, &i1, &i2, &i2 .r4)'
      StrCpy $R3 0 ; granted
      StrCpy $R4 0 ; denied
      StrCpy $5 0
      ${DoWhile} $5 < $4
        System::Call 'advapi32::GetAce(p r2, i r5, *p .r6) i .r0'
        ${If} $0 = 0
          ; An entry that cannot be read: assume the worst.
          StrCpy $R3 ${FOLDER_WRITE_RIGHTS}
          ${Break}
        ${EndIf}
        ; ACE_HEADER (type, flags, size), then the mask and the SID.
        System::Call '*$6(&i1 .r7, &i1 .r8, &i2, i .R0)'
        IntPtrOp $R1 $6 + 8
        ; ACCESS_ALLOWED(_CALLBACK)_ACE_TYPE and ACCESS_DENIED_ACE_TYPE share that layout.
        ${If} $7 = 0
        ${OrIf} $7 = 9
        ${OrIf} $7 = 1
          !insertmacro QV_STANDARD_USERS_SID $R1
          ${If} $R2 = 1
            ${If} $7 = 1
              ; INHERIT_ONLY_ACE clear, OBJECT_INHERIT_ACE and CONTAINER_INHERIT_ACE set.
              IntOp $R5 $8 & 0x0B
              ${If} $R5 = 3
                IntOp $R5 $R3 ~
                IntOp $R5 $R0 & $R5
                IntOp $R4 $R4 | $R5
              ${EndIf}
            ${Else}
              IntOp $R5 $R4 ~
              IntOp $R5 $R0 & $R5
              IntOp $R3 $R3 | $R5
            ${EndIf}
          ${EndIf}
        ${EndIf}
        IntOp $5 $5 + 1
      ${Loop}
      IntOp $R3 $R3 & ${FOLDER_WRITE_RIGHTS}
      ${If} $R3 = 0
        StrCpy $9 0
      ${EndIf}
    ${EndIf}
  ${EndIf}
  Push $9
  System::Store "l"
  Pop $R9
FunctionEnd

; $R9 becomes 1 when standard users can change the folder $R8 or what it holds
; (SecurityLetsOthersWrite on its owner and DACL), else 0; a folder whose security
; cannot be read counts as one they can change.
Function FolderOthersCanWrite
  Push $R8
  StrCpy $R9 1
  ; SE_FILE_OBJECT; OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION
  System::Call 'advapi32::GetNamedSecurityInfoW(w R8, i 1, i 5, p 0, p 0, p 0, p 0, *p .R8) i .R9'
  ${If} $R9 = 0
    Call SecurityLetsOthersWrite
    System::Call 'kernel32::LocalFree(p R8)'
  ${Else}
    StrCpy $R9 1
  ${EndIf}
  Pop $R8
FunctionEnd
