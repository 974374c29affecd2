; RVQ setup: a 64-bit Unicode installer that hosts checkRVQ.dll.
;
; Built by build-installer.sh, which stages every input beside a copy of this
; script (bin\, maker\, payload\ and the generated payload-*.nsh lists) and
; defines VERSION, VI_VERSION, OUTFILE and COMPRESSOR.
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

Name "RVQ ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Bryxen\RVQ"
InstallDirRegKey HKLM "${PRODUCT_KEY}" "Install Dir"
ShowInstDetails show
ShowUninstDetails show
BrandingText "RVQ ${VERSION}"

VIProductVersion "${VI_VERSION}"
VIFileVersion "${VI_VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "RVQ"
VIAddVersionKey /LANG=1033 "CompanyName" "Bryxen"
VIAddVersionKey /LANG=1033 "FileDescription" "RVQ setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Bryxen"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

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
  !insertmacro READ_OPTIONS "$TEMP\RVQ-${VERSION}-setup.log"
  InitPluginsDir
FunctionEnd

Function un.onInit
  SetRegView 64
  StrCpy $Library 0
  !insertmacro READ_OPTIONS "$TEMP\RVQ-${VERSION}-uninstall.log"
  InitPluginsDir
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
  ${Log} "RVQ ${VERSION} setup"

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
  ClearErrors
  SetOutPath "$INSTDIR"
  File "bin\RvqUpgd.exe"
  File "bin\bxlogctl.exe"
  !include "payload-install.nsh"
  WriteRegStr HKLM "${PRODUCT_KEY}" "Install Dir" "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "RVQ"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Bryxen"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${If} ${Errors}
    ${Fail} "The files or registry values could not be written to $INSTDIR."
  ${EndIf}
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

Function .onInstSuccess
  ${If} ${RebootFlag}
    ${Log} "A restart of the machine is required to finish the installation."
    ${If} ${Silent}
      SetErrorLevel ${RESTART_EXIT}
    ${Else}
      MessageBox MB_YESNO|MB_ICONQUESTION "A restart is required to finish the installation of RVQ. Restart now?" IDNO +2
      Reboot
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
