; RVQ setup: a 64-bit Unicode installer that hosts checkRVQ.dll.
;
; Built by build-installer.sh, which stages every input beside a copy of this
; script (bin\, maker\, payload\, the generated payload-*.nsh lists and the
; artwork rvq.ico and wizard.bmp) and defines VERSION, VI_VERSION, OUTFILE and
; COMPRESSOR; TEST_BUILD for a setup that carries test stand-ins, and
; SIGN_UNINSTALLER, a command that signs the file named after it in place.
;
; The product folder is the administrators': the setup creates it (and every
; level above it that it creates) with a protected access list (SYSTEM and
; Administrators full control, Users read and execute), and uses an existing
; folder only when nobody but SYSTEM, Administrators, TrustedInstaller and
; the installing account may change it (FolderRefusal). The uninstaller
; removes files only in the folder registered as "Install Dir".
;
; The library and the maker's files it needs beside it (Uninst.dll,
; uninst.ini, bxclean.exe) are extracted into the installer's private
; temporary folder ($PLUGINSDIR) and the library is loaded from there by its
; full path. The installer holds the module handle itself (LoadLibraryExW,
; GetProcAddress for every export before the first call, FreeLibrary after
; OnFreeLibrary) and calls the entry points through their addresses with the
; System plug-in, so the library stays loaded from the first step to the last
; and is freed exactly once.
;
; Command line (besides NSIS's own /S and /D=folder, which must come last):
;   /REMOVEINCOMPATIBLE  remove incompatible products without asking
;   /LOG=file            append the installer's log there (UTF-16) instead
;                        of %TEMP%\RVQ-<version>-setup.log
; Exit codes: 0 installed, 3010 installed and a restart is required (silent
; runs only; an interactive run asks), 1 cancelled by the user, 2 a step
; failed and nothing of the product is installed.

Unicode true
Target amd64-unicode
!ifndef COMPRESSOR
  !define COMPRESSOR "/SOLID lzma"
!endif
SetCompressor ${COMPRESSOR}
RequestExecutionLevel admin
ManifestSupportedOS all
AllowSkipFiles off
SetOverwrite on

!include LogicLib.nsh
!include FileFunc.nsh
!include Util.nsh
!include MUI2.nsh

!ifndef VERSION
  !error "build with build-installer.sh (it defines VERSION, VI_VERSION and OUTFILE)"
!endif
!ifndef VI_VERSION
  !error "build with build-installer.sh (it defines VERSION, VI_VERSION and OUTFILE)"
!endif
!ifndef OUTFILE
  !error "build with build-installer.sh (it defines VERSION, VI_VERSION and OUTFILE)"
!endif

!define PRODUCT_KEY "SOFTWARE\Bryxen\RVQ"
!define SUBSTITUTE_KEY "SOFTWARE\Bryxen\RVQ\AppInfo\Substitute"
!define APPINFO_KEY "SOFTWARE\Bryxen\RVQ\AppInfo"
!define UNINSTALL_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\RVQ"
!define ERROR_EXIT 2
!define RESTART_EXIT 3010
; LoadLibraryExW flags: dependencies from the System folder only; the older
; form for systems without the LOAD_LIBRARY_SEARCH flags.
!define LOAD_LIBRARY_SEARCH_SYSTEM32 0x800
!define LOAD_WITH_ALTERED_SEARCH_PATH 0x8
; The access list of every folder the setup creates: protected (nothing
; inherited from above), SYSTEM and Administrators full control, Users read
; and execute (FILE_GENERIC_READ | FILE_GENERIC_EXECUTE), all inherited by
; what is created inside.
!define PROTECTED_FOLDER_SDDL "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
; Rights on a folder that let their holder change what it holds or who may:
; add file (write data), add subfolder (append data), delete child, DELETE,
; WRITE_DAC, WRITE_OWNER, GENERIC_ALL and GENERIC_WRITE.
!define FOLDER_WRITE_RIGHTS 0x500D0046
; The accounts that may hold them, besides the installing account: SYSTEM,
; Administrators, TrustedInstaller, and CREATOR OWNER and OWNER RIGHTS (both
; stand for the folder's owner, which must itself be one of these).
!define SID_SYSTEM "S-1-5-18"
!define SID_ADMINISTRATORS "S-1-5-32-544"
!define SID_TRUSTED_INSTALLER "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
!define SID_CREATOR_OWNER "S-1-3-0"
!define SID_OWNER_RIGHTS "S-1-3-4"
; On the folder above the product folder, the rights that let their holder
; delete or rename the product folder, or give itself those rights: delete
; child, WRITE_DAC, WRITE_OWNER, GENERIC_ALL.
!define PARENT_WRITE_RIGHTS 0x100C0040

!ifdef TEST_BUILD
  !define PRODUCT_NAME "RVQ (test build)"
  !define SETUP_DESCRIPTION "RVQ setup, test build with stand-ins: not for release"
!else
  !define PRODUCT_NAME "RVQ"
  !define SETUP_DESCRIPTION "RVQ setup"
!endif

Name "${PRODUCT_NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Bryxen\RVQ"
InstallDirRegKey HKLM "${PRODUCT_KEY}" "Install Dir"
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT_NAME} ${VERSION}"

; The uninstaller that WriteUninstaller writes is signed like every other
; program in the product folder.
!ifdef SIGN_UNINSTALLER
  !uninstfinalize '${SIGN_UNINSTALLER} "%1"' = 0
!endif

VIProductVersion "${VI_VERSION}"
VIFileVersion "${VI_VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=1033 "CompanyName" "Bryxen"
VIAddVersionKey /LANG=1033 "FileDescription" "${SETUP_DESCRIPTION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Bryxen"

; Modern UI 2: welcome, folder, progress and finish; the uninstaller's
; confirmation, progress and finish. The progress pages stay until the user
; goes on, so that the details can be read.
!define MUI_ICON "rvq.ico"
!define MUI_UNICON "rvq.ico"
!define MUI_WELCOMEFINISHPAGE_BITMAP "wizard.bmp"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "wizard.bmp"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_NOAUTOCLOSE
!define MUI_UNFINISHPAGE_NOAUTOCLOSE
!define MUI_WELCOMEPAGE_TEXT "This wizard installs ${PRODUCT_NAME} ${VERSION}.$\r$\n$\r$\nIt first looks for products that cannot run beside RVQ and offers to remove them.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!define MUI_DIRECTORYPAGE_TEXT_TOP "RVQ will be installed in the folder below. Choose a new folder, or one that only administrators can change: the setup refuses a folder that other users may write to."
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

Var LogFile        ; "" when no log is written
Var Library        ; module handle of checkRVQ.dll, 0 when not loaded
Var Heap           ; the process heap, which owns every block the library hands over
Var ProcStart
Var ProcDetect
Var ProcRemove
Var ProcPre
Var ProcPost
Var ProcFree
Var ProcInstall
Var ProcUninstall
Var RemoveWithoutAsking
Var FilesWritten   ; 1 once the product's files or keys may have been written
Var FactsWritten   ; 1 once DllInstallFunction may have recorded the install facts
Var OldInstallDir  ; "Install Dir" before this run ("" when there was none)
Var HadInstallDir
Var UserSid        ; the installing account, as a string SID
Var CreatedLevels  ; folders this run created for the product folder (0 to n)
Var CheckParent    ; FolderRefusal: 1 for the folder above the product folder

; ---------------------------------------------------------------------------
; Log: every line goes to the details list and, when there is one, to the
; log file (UTF-16 with a byte-order mark, like the product's own logs).

!macro LOG_LINE_FN prefix
Function ${prefix}LogLine
  Exch $R0
  Push $R1
  Push $R2
  DetailPrint "$R0"
  ${If} $LogFile != ""
    ClearErrors
    FileOpen $R1 "$LogFile" a
    ${IfNot} ${Errors}
      FileSeek $R1 0 END $R2
      ${If} $R2 == 0
        FileWriteWord $R1 0xFEFF
      ${EndIf}
      FileWriteUTF16LE $R1 "$R0$\r$\n"
      FileClose $R1
    ${EndIf}
  ${EndIf}
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd
!macroend
!insertmacro LOG_LINE_FN ""
!insertmacro LOG_LINE_FN "un."

!define Log `!insertmacro LOG ""`
!define unLog `!insertmacro LOG "un."`
!macro LOG prefix text
  Push `${text}`
  Call ${prefix}LogLine
!macroend

; ---------------------------------------------------------------------------
; The library: load by full path, bind every export, free once.

; Loads $PLUGINSDIR\checkRVQ.dll into $Library (0 on failure, the Win32
; error then in $R0).
!macro LOAD_LIBRARY_FN prefix
Function ${prefix}LoadLibrary
  System::Call 'kernel32::LoadLibraryExW(w "$PLUGINSDIR\checkRVQ.dll", p 0, i ${LOAD_LIBRARY_SEARCH_SYSTEM32}) p .r0 ?e'
  Pop $R0
  ${If} $0 P= 0
  ${AndIf} $R0 = 87
    System::Call 'kernel32::LoadLibraryExW(w "$PLUGINSDIR\checkRVQ.dll", p 0, i ${LOAD_WITH_ALTERED_SEARCH_PATH}) p .r0 ?e'
    Pop $R0
  ${EndIf}
  StrCpy $Library $0
  System::Call 'kernel32::GetProcessHeap() p .r0'
  StrCpy $Heap $0
FunctionEnd

; The address of the export named on the stack, or 0.
Function ${prefix}ExportAddress
  Exch $R0
  System::Call 'kernel32::GetProcAddress(p $Library, m R0) p .R0'
  Exch $R0
FunctionEnd

; OnFreeLibrary, then FreeLibrary; nothing when the library is not loaded.
; Keeps $0 and $R0 (Fail holds its message there).
Function ${prefix}ReleaseLibrary
  Push $0
  Push $R0
  ${If} $Library P<> 0
    ${If} $ProcFree P<> 0
      System::Call '::$ProcFree()'
    ${EndIf}
    System::Call 'kernel32::FreeLibrary(p $Library) i .r0 ?e'
    Pop $R0
    ${If} $0 = 0
      !insertmacro LOG "${prefix}" "Warning: checkRVQ.dll could not be freed (error $R0)."
    ${EndIf}
    StrCpy $Library 0
  ${EndIf}
  Pop $R0
  Pop $0
FunctionEnd

!macroend
!insertmacro LOAD_LIBRARY_FN ""
!insertmacro LOAD_LIBRARY_FN "un."

; Frees a block handed over by the library (a no-op for null).
Function FreeBlock
  Exch $R0
  ${If} $R0 P<> 0
    System::Call 'kernel32::HeapFree(p $Heap, i 0, p R0) i .R0'
    ${If} $R0 = 0
      ${Log} "Warning: a block from checkRVQ.dll was not freed (not from the process heap)."
    ${EndIf}
  ${EndIf}
  Pop $R0
FunctionEnd

!macro BIND var name prefix
  Push "${name}"
  Call ${prefix}ExportAddress
  Pop ${var}
  ${If} ${var} P= 0
    !insertmacro FAIL "${prefix}" "checkRVQ.dll has no export ${name}; the setup is damaged."
  ${EndIf}
!macroend

; ---------------------------------------------------------------------------
; Paths and folders.

; The full form of the path on the stack, as Windows compares paths:
; absolute ("." and ".." resolved), the long name of each level that
; exists, no trailing backslash. A path that cannot be resolved stays as it
; is.
!macro NORMAL_PATH_FN prefix
Function ${prefix}NormalPath
  Exch $R0
  Push $R1
  Push $0
  System::Call 'kernel32::GetFullPathNameW(w R0, i ${NSIS_MAX_STRLEN}, w .R1, p 0) i .r0'
  ${If} $0 > 0
  ${AndIf} $0 < ${NSIS_MAX_STRLEN}
    StrCpy $R0 $R1
  ${EndIf}
  System::Call 'kernel32::GetLongPathNameW(w R0, w .R1, i ${NSIS_MAX_STRLEN}) i .r0'
  ${If} $0 > 0
  ${AndIf} $0 < ${NSIS_MAX_STRLEN}
    StrCpy $R0 $R1
  ${EndIf}
  ${Do}
    StrCpy $R1 $R0 1 -1
    ${IfThen} $R1 != "\" ${|} ${Break} ${|}
    StrCpy $R0 $R0 -1
  ${Loop}
  Pop $0
  Pop $R1
  Exch $R0
FunctionEnd
!macroend
!insertmacro NORMAL_PATH_FN ""
!insertmacro NORMAL_PATH_FN "un."

; The string form of the SID at the address on the stack ("" on failure).
Function SidString
  Exch $R0
  Push $0
  Push $1
  System::Call 'advapi32::ConvertSidToStringSidW(p R0, *p .r1) i .r0'
  StrCpy $R0 ""
  ${If} $0 <> 0
    System::Call 'kernel32::lstrcpynW(w .R0, p r1, i ${NSIS_MAX_STRLEN}) p'
    System::Call 'kernel32::LocalFree(p r1) p'
  ${EndIf}
  Pop $1
  Pop $0
  Exch $R0
FunctionEnd

; "DOMAIN\name (SID)" of the SID at the address on the stack, for messages.
Function SidText
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  Push $0
  Push $1
  Push $R0
  Call SidString
  Pop $R3
  System::Call 'advapi32::LookupAccountSidW(p 0, p R0, w .R1, *i ${NSIS_MAX_STRLEN}, w .R2, *i ${NSIS_MAX_STRLEN}, *i .r1) i .r0'
  ${If} $0 = 0
    StrCpy $R0 "$R3"
  ${ElseIf} $R2 == ""
    StrCpy $R0 "$R1 ($R3)"
  ${Else}
    StrCpy $R0 "$R2\$R1 ($R3)"
  ${EndIf}
  Pop $1
  Pop $0
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

; 1 in $R8 when the string SID in $R1 is an account that may change the
; product folder: SYSTEM, Administrators, TrustedInstaller, the installing
; account, or one standing for the owner (checked on its own).
!macro IS_TRUSTED_SID
  StrCpy $R8 0
  ${If} $R1 == "${SID_SYSTEM}"
  ${OrIf} $R1 == "${SID_ADMINISTRATORS}"
  ${OrIf} $R1 == "${SID_TRUSTED_INSTALLER}"
  ${OrIf} $R1 == "${SID_CREATOR_OWNER}"
  ${OrIf} $R1 == "${SID_OWNER_RIGHTS}"
  ${OrIf} $R1 == $UserSid
    ${If} $R1 != ""
      StrCpy $R8 1
    ${EndIf}
  ${EndIf}
!macroend

; Why the existing folder on the stack must not hold the product (a phrase),
; or "" when it may. Refused: a link (reparse point); an owner that is not
; a trusted account (an owner may always change the access list); an access
; list that is missing, holds an allow entry of a kind not judged here, or
; gives anyone else one of the write rights. Inherit-only entries count:
; they give their rights on what the setup would put inside. With
; $CheckParent = 1 the folder is the one above the product folder: only the
; rights on the folder itself that let their holder delete or rename what
; it holds count.
Function FolderRefusal
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R8
  Push $R9
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  Push $8
  Push $9
  StrCpy $R9 ""
  StrCpy $R1 $R0 1 -1
  ${If} $R1 == ":"
    StrCpy $R0 "$R0\"
  ${EndIf}
  ${If} $CheckParent = 1
    StrCpy $R2 ${PARENT_WRITE_RIGHTS}
  ${Else}
    StrCpy $R2 ${FOLDER_WRITE_RIGHTS}
  ${EndIf}
  System::Call 'kernel32::GetFileAttributesW(w R0) i .r0 ?e'
  Pop $1
  ${If} $0 = -1
    StrCpy $R9 "its attributes cannot be read (error $1)"
  ${ElseIf} $CheckParent <> 1
    IntOp $1 $0 & 0x10
    IntOp $2 $0 & 0x400
    ${If} $1 = 0
      StrCpy $R9 "it is a file, not a folder"
    ${ElseIf} $2 <> 0
      StrCpy $R9 "it is a link to another place (a reparse point)"
    ${EndIf}
  ${EndIf}
  ${If} $R9 == ""
    ; OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION of a file object
    System::Call 'advapi32::GetNamedSecurityInfoW(w R0, i 1, i 5, *p .r1, p 0, *p .r2, p 0, *p .r3) i .r0'
    ${If} $0 <> 0
      StrCpy $R9 "its permissions cannot be read (error $0)"
      StrCpy $3 0
    ${Else}
      Push $1
      Call SidString
      Pop $R1
      !insertmacro IS_TRUSTED_SID
      ${If} $R8 = 0
        Push $1
        Call SidText
        Pop $R3
        StrCpy $R9 "its owner is $R3, who may change its permissions"
      ${ElseIf} $2 P= 0
        StrCpy $R9 "it has no access list, which lets everyone change it"
      ${Else}
        ; ACL: AclRevision, Sbz1, AclSize, AceCount, Sbz2
        System::Call '*$2(&i1, &i1, &i2, &i2 .r5, &i2)'
        StrCpy $6 0
        ${DoWhile} $6 < $5
          System::Call 'advapi32::GetAce(p r2, i r6, *p .r7) i .r0'
          ${If} $0 = 0
            StrCpy $R9 "its access list cannot be read"
            ${Break}
          ${EndIf}
          ; ACE_HEADER: AceType, AceFlags, AceSize; then the mask
          System::Call '*$7(&i1 .r8, &i1 .r4, &i2, i .r9)'
          IntOp $4 $4 & 0x08 ; INHERIT_ONLY_ACE
          ; Entries that do not count: the four kinds of deny entries take
          ; rights away; on the folder above, an inherit-only entry gives
          ; nothing on that folder itself.
          StrCpy $1 0
          ${If} $8 = 1
          ${OrIf} $8 = 6
          ${OrIf} $8 = 10
          ${OrIf} $8 = 12
            StrCpy $1 1
          ${ElseIf} $CheckParent = 1
          ${AndIf} $4 <> 0
            StrCpy $1 1
          ${EndIf}
          ${If} $1 = 1
            ; skipped
          ${ElseIf} $8 = 0   ; ACCESS_ALLOWED_ACE_TYPE
          ${OrIf} $8 = 9     ; ACCESS_ALLOWED_CALLBACK_ACE_TYPE
            IntOp $0 $9 & $R2
            ${If} $0 <> 0
              IntPtrOp $0 $7 + 8
              Push $0
              Call SidString
              Pop $R1
              !insertmacro IS_TRUSTED_SID
              ${If} $R8 = 0
                Push $0
                Call SidText
                Pop $R3
                IntFmt $9 "0x%08X" $9
                StrCpy $R9 "$R3 may change it or what it holds (access mask $9)"
                ${Break}
              ${EndIf}
            ${EndIf}
          ${Else}
            StrCpy $R9 "its access list holds an entry of type $8 that the setup does not judge"
            ${Break}
          ${EndIf}
          IntOp $6 $6 + 1
        ${Loop}
      ${EndIf}
    ${EndIf}
    ${If} $3 P<> 0
      System::Call 'kernel32::LocalFree(p r3) p'
    ${EndIf}
  ${EndIf}
  StrCpy $R0 $R9
  Pop $9
  Pop $8
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
  Pop $R9
  Pop $R8
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

; The nearest level above $INSTDIR that exists ("" when none does).
Function ExistingParent
  Push $R0
  Push $0
  ${GetParent} $INSTDIR $R0
  ${Do}
    ${IfThen} $R0 == "" ${|} ${Break} ${|}
    StrCpy $0 $R0 1 -1
    ${IfThen} $0 == ":" ${|} ${Break} ${|}
    System::Call 'kernel32::GetFileAttributesW(w R0) i .r0'
    ${IfThen} $0 <> -1 ${|} ${Break} ${|}
    ${GetParent} $R0 $R0
  ${Loop}
  Pop $0
  Exch $R0
FunctionEnd

; Why RVQ must not be installed in $INSTDIR (a message naming the folder),
; or "" in $R0: the product folder when it exists, and the nearest existing
; folder above it.
Function InstallFolderRefusal
  Push $R1
  Push $R2
  Push $0
  StrCpy $R0 ""
  System::Call 'kernel32::GetFileAttributesW(w "$INSTDIR") i .r0'
  ${If} $0 <> -1
    StrCpy $CheckParent 0
    Push $INSTDIR
    Call FolderRefusal
    Pop $R1
    ${If} $R1 != ""
      StrCpy $R0 "The folder $INSTDIR cannot hold RVQ: $R1. Choose a new folder, or one that only administrators can change."
    ${EndIf}
  ${EndIf}
  ${If} $R0 == ""
    Call ExistingParent
    Pop $R2
    ${If} $R2 != ""
      StrCpy $CheckParent 1
      Push $R2
      Call FolderRefusal
      Pop $R1
      StrCpy $CheckParent 0
      ${If} $R1 != ""
        StrCpy $R0 "RVQ cannot be installed in $INSTDIR: in the folder above it, $R2, $R1. Choose a folder that only administrators can change."
      ${EndIf}
    ${EndIf}
  ${EndIf}
  Pop $0
  Pop $R2
  Pop $R1
FunctionEnd

; Creates $INSTDIR and each missing level above it with the protected
; access list; $CreatedLevels counts the levels created. $R0: "" or the
; error message.
Function CreateProductFolder
  Push $R1
  Push $R2
  Push $R3
  Push $0
  Push $1
  Push $4
  Push $5
  StrCpy $R0 ""
  StrCpy $CreatedLevels 0
  ; The missing levels on the stack, the deepest first.
  StrCpy $R1 $INSTDIR
  StrCpy $R2 0
  ${Do}
    System::Call 'kernel32::GetFileAttributesW(w R1) i .r0'
    ${IfThen} $0 <> -1 ${|} ${Break} ${|}
    Push $R1
    IntOp $R2 $R2 + 1
    ${GetParent} $R1 $R3
    ${IfThen} $R3 == "" ${|} ${Break} ${|}
    StrCpy $R1 $R3
  ${Loop}
  StrCpy $5 0
  ${If} $R2 > 0
    System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${PROTECTED_FOLDER_SDDL}", i 1, *p .r4, p 0) i .r0 ?e'
    Pop $1
    ${If} $0 = 0
      StrCpy $R0 "The access list for $INSTDIR could not be made (error $1)."
    ${Else}
      ; SECURITY_ATTRIBUTES: nLength, (padding), lpSecurityDescriptor, bInheritHandle
      System::Call '*(i 24, i 0, p r4, i 0, i 0) p .r5'
    ${EndIf}
  ${EndIf}
  ${DoWhile} $R2 > 0
    Pop $R1
    IntOp $R2 $R2 - 1
    ${If} $R0 == ""
      System::Call 'kernel32::CreateDirectoryW(w R1, p r5) i .r0 ?e'
      Pop $1
      ${If} $0 = 0
        StrCpy $R0 "The folder $R1 could not be created (error $1)."
      ${Else}
        IntOp $CreatedLevels $CreatedLevels + 1
        ${Log} "Created $R1 (SYSTEM and Administrators full control, Users read and execute)."
      ${EndIf}
    ${EndIf}
  ${Loop}
  ${If} $5 P<> 0
    System::Free $5
    System::Call 'kernel32::LocalFree(p r4) p'
  ${EndIf}
  Pop $5
  Pop $4
  Pop $1
  Pop $0
  Pop $R3
  Pop $R2
  Pop $R1
FunctionEnd

; Removes the folders CreateProductFolder created, when they are empty.
Function RemoveCreatedFolders
  Push $R1
  StrCpy $R1 $INSTDIR
  ${DoWhile} $CreatedLevels > 0
    RMDir $R1
    ${GetParent} $R1 $R1
    IntOp $CreatedLevels $CreatedLevels - 1
  ${Loop}
  Pop $R1
FunctionEnd

; ---------------------------------------------------------------------------
; Failure: log, tell the user, free the library, take back what this run
; installed, end with the error exit code.

!macro FAIL prefix text
  Push `${text}`
  Call ${prefix}Fail
!macroend
!define Fail `!insertmacro FAIL ""`
!define unFail `!insertmacro FAIL "un."`

Function Fail
  Exch $R0
  ${Log} "Error: $R0"
  Call ReleaseLibrary
  ${If} $FilesWritten = 1
    ${Log} "Removing what this run installed."
    Call RollBack
    StrCpy $FilesWritten 0
  ${EndIf}
  ${Log} "RVQ ${VERSION} was not installed."
  MessageBox MB_OK|MB_ICONSTOP "$R0$\r$\n$\r$\nRVQ ${VERSION} was not installed." /SD IDOK
  SetErrorLevel ${ERROR_EXIT}
  Abort "RVQ ${VERSION} was not installed: $R0"
FunctionEnd

Function un.Fail
  Exch $R0
  ${unLog} "Error: $R0"
  Call un.ReleaseLibrary
  ${unLog} "RVQ was not removed."
  MessageBox MB_OK|MB_ICONSTOP "$R0$\r$\n$\r$\nRVQ was not removed." /SD IDOK
  SetErrorLevel ${ERROR_EXIT}
  Abort "RVQ was not removed: $R0"
FunctionEnd

; The files and keys this installer adds; the uninstaller and a failed run
; remove these and nothing else.
!macro REMOVE_FILES
  !include "payload-uninstall.nsh"
  Delete "$INSTDIR\RvqUpgd.exe"
  Delete "$INSTDIR\bxlogctl.exe"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
!macroend
; What DllInstallFunction records about the installation.
!macro REMOVE_INSTALL_FACTS
  DeleteRegValue HKLM "${PRODUCT_KEY}" "Last Update"
  DeleteRegValue HKLM "${PRODUCT_KEY}" "InstallPlatform"
  DeleteRegValue HKLM "${SUBSTITUTE_KEY}" "gmtdate"
  DeleteRegKey /ifempty HKLM "${SUBSTITUTE_KEY}"
  DeleteRegKey /ifempty HKLM "${APPINFO_KEY}"
!macroend

Function RollBack
  !insertmacro REMOVE_FILES
  ${If} $FactsWritten = 1
    !insertmacro REMOVE_INSTALL_FACTS
  ${EndIf}
  Delete "$INSTDIR\uninstall.exe"
  ${If} $HadInstallDir = 1
    WriteRegStr HKLM "${PRODUCT_KEY}" "Install Dir" "$OldInstallDir"
  ${Else}
    DeleteRegValue HKLM "${PRODUCT_KEY}" "Install Dir"
    DeleteRegKey /ifempty HKLM "${PRODUCT_KEY}"
  ${EndIf}
  RMDir "$INSTDIR"
  Call RemoveCreatedFolders
FunctionEnd

; ---------------------------------------------------------------------------

!macro READ_OPTIONS default_log
  ${GetParameters} $R0
  StrCpy $LogFile "${default_log}"
  ClearErrors
  ${GetOptions} $R0 "/LOG=" $R1
  ${IfNot} ${Errors}
  ${AndIf} $R1 != ""
    StrCpy $LogFile $R1
  ${EndIf}
  StrCpy $RemoveWithoutAsking 0
  ClearErrors
  ${GetOptions} $R0 "/REMOVEINCOMPATIBLE" $R1
  ${IfNot} ${Errors}
    StrCpy $RemoveWithoutAsking 1
  ${EndIf}
!macroend

Function .onInit
  SetRegView 64
  StrCpy $Library 0
  StrCpy $FilesWritten 0
  StrCpy $FactsWritten 0
  StrCpy $CreatedLevels 0
  StrCpy $CheckParent 0
  !insertmacro READ_OPTIONS "$TEMP\RVQ-${VERSION}-setup.log"
  InitPluginsDir
  ; The installing account's SID, which may own and change the product
  ; folder.
  StrCpy $UserSid ""
  System::Call 'advapi32::OpenProcessToken(p -1, i 8, *p .r1) i .r0'
  ${If} $0 <> 0
    System::Alloc 256
    Pop $2
    ; TokenUser: a TOKEN_USER, whose first member is the SID's address
    System::Call 'advapi32::GetTokenInformation(p r1, i 1, p r2, i 256, *i .r3) i .r0'
    ${If} $0 <> 0
      System::Call '*$2(p .r4)'
      Push $4
      Call SidString
      Pop $UserSid
    ${EndIf}
    System::Free $2
    System::Call 'kernel32::CloseHandle(p r1) i'
  ${EndIf}
FunctionEnd

; The directory page refuses a folder that other users may change at once,
; and says why.
Function DirectoryLeave
  Push $INSTDIR
  Call NormalPath
  Pop $INSTDIR
  Call InstallFolderRefusal
  ${If} $R0 != ""
    MessageBox MB_OK|MB_ICONSTOP "$R0"
    Abort
  ${EndIf}
FunctionEnd

; The uninstaller removes files only in the installation it belongs to:
; the folder it runs for ($INSTDIR: its own folder, or the one _?= names)
; must be the registered "Install Dir" (compared as Windows compares paths:
; full paths without a trailing backslash, case-insensitive). Without a
; registered "Install Dir" it removes what it finds of its own files beside
; itself.
Function un.onInit
  SetRegView 64
  StrCpy $Library 0
  !insertmacro READ_OPTIONS "$TEMP\RVQ-${VERSION}-uninstall.log"
  InitPluginsDir
  ClearErrors
  ReadRegStr $R0 HKLM "${PRODUCT_KEY}" "Install Dir"
  ${IfNot} ${Errors}
    Push $R0
    Call un.NormalPath
    Pop $R1
    Push $INSTDIR
    Call un.NormalPath
    Pop $R2
    ; CompareStringOrdinal with bIgnoreCase: 2 (CSTR_EQUAL) when equal
    System::Call 'kernel32::CompareStringOrdinal(w R1, i -1, w R2, i -1, i 1) i .r0'
    ${If} $0 <> 2
      StrCpy $R3 "This uninstaller runs for $INSTDIR, but RVQ is installed in $R0: it removes nothing there. Run the uninstaller of that installation."
      ${unLog} "Error: $R3"
      ${unLog} "RVQ was not removed."
      MessageBox MB_OK|MB_ICONSTOP "$R3" /SD IDOK
      SetErrorLevel ${ERROR_EXIT}
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

; Shows the incompatible products; leaves their number in $R5. Every block
; received (the array, each record, each name) is freed here.
Function DetectIncompatible
  StrCpy $1 0
  StrCpy $2 0
  System::Call '::$ProcDetect(*i 0 r1, *p 0 r2) i .r0'
  ${If} $0 <> 0
    IntFmt $0 "0x%08X" $0
    ${Fail} "The detection of incompatible products failed (result $0)."
  ${EndIf}
  ; A count without a list means nothing was detected (the library leaves
  ; the count as the maker's uninstaller reported it when it could not
  ; build the list).
  StrCpy $R5 0
  ${If} $2 P<> 0
    StrCpy $R5 $1
    StrCpy $R1 0
    ${DoWhile} $R1 U< $1
      IntOp $R2 $R1 * 8
      IntPtrOp $R2 $2 + $R2
      System::Call '*$R2(p .R3)'
      ${If} $R3 P<> 0
        System::Call '*$R3(i .R6)'
        IntPtrOp $R2 $R3 + 8
        System::Call '*$R2(p .R4)'
        IntPtrOp $R2 $R3 + 16
        System::Call '*$R2(i .R7)'
        StrCpy $R8 "(no name)"
        ${If} $R4 P<> 0
          System::Call 'kernel32::lstrcpynW(w .R8, p R4, i ${NSIS_MAX_STRLEN}) p'
        ${EndIf}
        StrCpy $R9 ""
        ${If} $R6 = 1
          StrCpy $R9 " [not by Bryxen]"
        ${EndIf}
        ${If} $R7 = 1
          StrCpy $R9 "$R9 [the product's service]"
        ${EndIf}
        ${Log} "Incompatible product: $R8$R9"
        Push $R4
        Call FreeBlock
        Push $R3
        Call FreeBlock
      ${EndIf}
      IntOp $R1 $R1 + 1
    ${Loop}
    Push $2
    Call FreeBlock
  ${EndIf}
  ${Log} "Incompatible products found: $R5"
FunctionEnd

; PreInstall or PostInstall (address on the stack): result in $0, the flag
; in $1 (0 when the library did not write it). The StepResult is freed.
Function CallStep
  Exch $R0
  StrCpy $1 0
  StrCpy $2 0
  System::Call '::$R0(p 0, p 0, *p 0 r2, *i 0 r1) i .r0'
  Push $2
  Call FreeBlock
  Pop $R0
FunctionEnd

Section "RVQ" SecProduct
  SectionIn RO
  ${Log} "${PRODUCT_NAME} ${VERSION} setup"

  ; The product folder: refused before anything changes when other users may
  ; change it (silent runs get here with /D= or the old "Install Dir"
  ; without the directory page).
  Push $INSTDIR
  Call NormalPath
  Pop $INSTDIR
  Call InstallFolderRefusal
  ${If} $R0 != ""
    ${Fail} "$R0"
  ${EndIf}

  ; The library and the maker's files it runs, in the private temporary folder.
  SetOutPath "$PLUGINSDIR"
  ClearErrors
  File "bin\checkRVQ.dll"
  File "maker\Uninst.dll"
  File "maker\uninst.ini"
  File "maker\bxclean.exe"
  ${If} ${Errors}
    ${Fail} "The setup files could not be extracted to $PLUGINSDIR."
  ${EndIf}
  ; The library's steps must not keep the temporary folder in use.
  SetOutPath "$TEMP"

  Call LoadLibrary
  ${If} $Library P= 0
    ${Fail} "checkRVQ.dll could not be loaded from $PLUGINSDIR (error $R0)."
  ${EndIf}
  !insertmacro BIND $ProcFree "OnFreeLibrary" ""
  !insertmacro BIND $ProcStart "StartApplication" ""
  !insertmacro BIND $ProcDetect "DetectIncompatible" ""
  !insertmacro BIND $ProcRemove "UninstallIncompatible" ""
  !insertmacro BIND $ProcPre "PreInstall" ""
  !insertmacro BIND $ProcPost "PostInstall" ""
  !insertmacro BIND $ProcInstall "DllInstallFunction" ""
  !insertmacro BIND $ProcUninstall "DllUninstallFunction" ""

  System::Call '::$ProcStart() i .r0'
  ${If} $0 <> 0
    IntFmt $0 "0x%08X" $0
    ${Fail} "StartApplication failed (result $0)."
  ${EndIf}

  Call DetectIncompatible
  ${If} $R5 > 0
    StrCpy $R6 $RemoveWithoutAsking
    ${If} $R6 = 0
      MessageBox MB_YESNO|MB_ICONQUESTION "$R5 incompatible product(s) are installed (see the details).$\r$\n$\r$\nRemove them now?" /SD IDNO IDNO +2
      StrCpy $R6 1
    ${EndIf}
    ${If} $R6 = 0
      ${Fail} "Incompatible products are installed. Remove them, or run the setup with /REMOVEINCOMPATIBLE."
    ${EndIf}
    ${Log} "Removing the incompatible products."
    System::Call '::$ProcRemove() i .r0'
    ${If} $0 <> 0
      IntFmt $0 "0x%08X" $0
      ${Fail} "The incompatible products could not be removed (result $0: the cleaner did not start)."
    ${EndIf}
  ${EndIf}

  Push $ProcPre
  Call CallStep
  ${If} $0 <> 0
    IntFmt $0 "0x%08X" $0
    ${Fail} "The pre-install step failed (result $0)."
  ${EndIf}
  ${If} $1 = 0
    ${Fail} "The pre-install step reports that RVQ cannot be installed on this machine."
  ${EndIf}
  ${Log} "Pre-install step done: RVQ can be installed."

  ; The product's files and keys.
  StrCpy $HadInstallDir 0
  ClearErrors
  ReadRegStr $OldInstallDir HKLM "${PRODUCT_KEY}" "Install Dir"
  ${IfNot} ${Errors}
    StrCpy $HadInstallDir 1
  ${EndIf}
  StrCpy $FilesWritten 1
  Call CreateProductFolder
  ${If} $R0 != ""
    ${Fail} "$R0"
  ${EndIf}
  ; Checked again now that it exists: the folder created here, or the one
  ; found before, as it is now.
  Call InstallFolderRefusal
  ${If} $R0 != ""
    ${Fail} "$R0"
  ${EndIf}
  ClearErrors
  SetOutPath "$INSTDIR"
  File "bin\RvqUpgd.exe"
  File "bin\bxlogctl.exe"
  !include "payload-install.nsh"
  WriteRegStr HKLM "${PRODUCT_KEY}" "Install Dir" "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Bryxen"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\uninstall.exe",0'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${If} ${Errors}
    ${Fail} "The files or registry values could not be written to $INSTDIR."
  ${EndIf}
  ; What Programs and Features shows besides the name: the size in KB of
  ; the product folder and the day of the installation (yyyymmdd).
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  System::Call '*(&i2, &i2, &i2, &i2, &i2, &i2, &i2, &i2) p .r3'
  System::Call 'kernel32::GetLocalTime(p r3)'
  System::Call '*$3(&i2 .r0, &i2 .r1, &i2, &i2 .r2)'
  System::Free $3
  IntFmt $1 "%02u" $1
  IntFmt $2 "%02u" $2
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallDate" "$0$1$2"
  SetOutPath "$TEMP"
  ${Log} "Files installed in $INSTDIR."

  StrCpy $FactsWritten 1
  System::Call '::$ProcInstall() i .r0'
  ${If} $0 <> 0
    IntFmt $0 "0x%08X" $0
    ${Fail} "The install-time registration failed (result $0)."
  ${EndIf}
  ${Log} "Install-time registration done."

  Push $ProcPost
  Call CallStep
  ${If} $0 <> 0
    IntFmt $0 "0x%08X" $0
    ${Fail} "The post-install step failed (result $0)."
  ${EndIf}
  ${If} $1 <> 0
    SetRebootFlag true
  ${EndIf}

  Call ReleaseLibrary
  ${Log} "RVQ ${VERSION} is installed in $INSTDIR."
SectionEnd

; NSIS's own failures (a file that cannot be written, where the silent
; answer is to abort) end the section without passing through Fail.
Function .onInstFailed
  Call ReleaseLibrary
  ${If} $FilesWritten = 1
    ${Log} "Error: the installation stopped; removing what this run installed."
    Call RollBack
    StrCpy $FilesWritten 0
  ${EndIf}
  SetErrorLevel ${ERROR_EXIT}
FunctionEnd

; An interactive run asks for the restart on the finish page.
Function .onInstSuccess
  ${If} ${RebootFlag}
    ${Log} "A restart of the machine is required to finish the installation."
    ${If} ${Silent}
      SetErrorLevel ${RESTART_EXIT}
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ${unLog} "RVQ ${VERSION} uninstall from $INSTDIR"
  SetOutPath "$PLUGINSDIR"
  ClearErrors
  File "bin\checkRVQ.dll"
  ${If} ${Errors}
    ${unFail} "checkRVQ.dll could not be extracted to $PLUGINSDIR."
  ${EndIf}
  SetOutPath "$TEMP"
  Call un.LoadLibrary
  ${If} $Library P= 0
    ${unFail} "checkRVQ.dll could not be loaded from $PLUGINSDIR (error $R0)."
  ${EndIf}
  !insertmacro BIND $ProcFree "OnFreeLibrary" "un."
  !insertmacro BIND $ProcUninstall "DllUninstallFunction" "un."
  System::Call '::$ProcUninstall() i .r0'
  ${If} $0 <> 0
    IntFmt $0 "0x%08X" $0
    ${unFail} "The removal of the users' data failed (result $0)."
  ${EndIf}
  Call un.ReleaseLibrary
  ${unLog} "The users' data of RVQ is removed."

  !insertmacro REMOVE_FILES
  !insertmacro REMOVE_INSTALL_FACTS
  DeleteRegValue HKLM "${PRODUCT_KEY}" "Install Dir"
  DeleteRegKey /ifempty HKLM "${PRODUCT_KEY}"
  ; Run in place (_?=) the uninstaller cannot delete its own file: that is
  ; left to the next restart.
  Delete /REBOOTOK "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
  ${unLog} "RVQ is removed."
SectionEnd
