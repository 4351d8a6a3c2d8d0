; Quorlin-setup.exe: lays out the service host, the setup tool and the server's files under the
; installation root, records the Java home beside the server and registers the service "Quorlin".
;   Quorlin-setup.exe [/S] [/PACKAGE=<product code>] ["/JAVA_OPTS=<options>"] [/D=<root>]
;                                                  install, or upgrade in place; /PACKAGE=: run by
;                                                  Quorlin.msi, whose entry shows; /JAVA_OPTS=: the
;                                                  server's options, in the service's Environment
;   <root>\Uninstall.exe [/S] [_?=<root>]     remove the service, then what the installer laid down;
;                                              with _?=<root>, from a private copy that it waits for
; Built by CMake (target installer) with makensis and these defines: PROGRAMS, the folder of
; Quorlin.exe and vexil_setup.exe; SERVER_FILES, the folder of the server's files as they lie under
; the root; SERVER_LIST, the macros serverFiles and serverFolders that installer/server-files wrote
; for them; OUTFILE, the installer to write; VERSION, as x.y.z; PLUGINS, the folder of our own plugin
; QuorlinSetup.dll; SIGN, if given, the command that signs the installer and the uninstaller it writes.
Unicode true
RequestExecutionLevel admin
Name "Quorlin"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Quorlin"
ShowInstDetails show
ShowUnInstDetails show
SetCompressor /SOLID lzma
; The files carry no time of the build, so that two builds of one commit are the same.
SetDateSave off

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "Quorlin"
VIAddVersionKey /LANG=1033 "FileDescription" "Quorlin installer"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "OriginalFilename" "Quorlin-setup.exe"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright 2026 the Quorlin developers"
!ifdef SIGN
  !finalize '"${SIGN}" "%1"'
  !uninstfinalize '"${SIGN}" "%1"'
!endif

!addplugindir /x86-unicode "${PLUGINS}"
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include "${SERVER_LIST}"
!define UNINSTALL "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorlin"
!define SERVICE "SYSTEM\CurrentControlSet\Services\Quorlin"
!define SOURCE "SYSTEM\CurrentControlSet\Services\EventLog\Application\Quorlin"
; An upgrade without /D= finds the root that the installed version lies in.
InstallDirRegKey HKLM "${UNINSTALL}" "InstallLocation"
; Every run appends to Quorlin-setup.log in this folder, outside the root, so that it outlives a
; roll-back and an uninstall: ProgramData\Quorlin, checked and closed first (QuorlinSetup.cpp).
!define LOG_FOLDER "$APPDATA\Quorlin"
; vexil_setup's work takes well under a second. Nobody closes its message box in a silent run, so
; there it is ended after this many milliseconds; a person installing may take their time.
!define SETUP_LIMIT 10000
; Half-second steps that a stopping service and its server are given to end: 10 minutes.
!define STOP_STEPS 1200
; The run's private folder: owned by Administrators, the system's and Administrators' alone, passed
; down to all below. (The root's DACL is QuorlinSetup.cpp's.)
!define PRIVATE "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"

; The JAVA_OPTS entry of the service's Environment before this run set the named options ("": none),
; for a fall-back.
Var previousOptions
; The folder of the log, once it is checked; until then lines go to the details only.
Var logFolder
; Run by the package's action: the file in its private folder where each line goes too.
Var packageLog
; 1 in an upgrade in place.
Var upgrading

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Calls a function, or in the uninstaller its "un." twin.
!macro call function
  !ifdef __UNINSTALL__
    Call un.${function}
  !else
    Call ${function}
  !endif
!macroend

; Appends a line to the log and shows it in the details.
!macro log text
  Push "${text}"
  !insertmacro call log
!macroend

; Runs a command line in the current folder, ended after limit ms unless limit is 0; its console lines
; and exit code go to the log. $0: the exit code, "timeout" if it was ended, "error" if it did not run.
!macro run limit commandLine
  Push '${commandLine}'
  Push ${limit}
  !insertmacro call run
!macroend

; Gives path the owner and DACL of the security descriptor sddl. $0: 0, or the error.
!macro protect path sddl
  Push "${path}"
  Push "${sddl}"
  !insertmacro call protect
!macroend

; Ends the run as failed: the reason in the log and on the page, exit code 2.
!macro fail reason
  !insertmacro log "${reason}; exit code 2"
  SetErrorLevel 2
  Abort "${reason}"
!macroend

; Every file that the installer lays down, as it lies under the root, given to the macro action.
!macro productFiles action
  !insertmacro ${action} "bin\Quorlin.exe"
  !insertmacro ${action} "bin\vexil_setup.exe"
  !insertmacro serverFiles ${action}
  !insertmacro ${action} "reg_values.properties"
!macroend

; The uninstaller deletes a file in use (held open, or a program still running) at the next restart and
; names it in the log; the run then ends with 3010, success with a restart required.
!macro deleteFile file
  !ifdef __UNINSTALL__
    Delete "$INSTDIR\${file}"
    ${If} ${FileExists} "$INSTDIR\${file}"
      QuorlinSetup::deleteAtRestart "$INSTDIR\${file}"
      Pop $R0
      !insertmacro log $R0
      SetRebootFlag true
    ${EndIf}
  !else
    Delete "$INSTDIR\${file}"
  !endif
!macroend

; The previous version's copy of a file, kept for a fall-back.
!macro keepFile file
  ${If} ${FileExists} "$INSTDIR\${file}"
    ${GetParent} "$PLUGINSDIR\previous\${file}" $R0
    CreateDirectory $R0
    CopyFiles /SILENT "$INSTDIR\${file}" $R0
  ${EndIf}
!macroend

; Puts the previous version's copy back, byte for byte; a file it did not have goes.
!macro restoreFile file
  Delete "$INSTDIR\${file}"
  ${If} ${FileExists} "$PLUGINSDIR\previous\${file}"
    ${GetParent} "$INSTDIR\${file}" $R0
    CopyFiles /SILENT "$PLUGINSDIR\previous\${file}" $R0
  ${EndIf}
!macroend

; The same functions serve the installer (upgrade, roll-back) and the uninstaller, whose functions
; NSIS wants named "un.".
!macro functions un
  ; Makes a folder of this run's own, before any plugin is called, and moves NSIS's plugins
  ; ($PLUGINSDIR) there: not in the temporary folder, where a standard user may create or replace
  ; files (the system's is C:\Windows\Temp). Its parent is one that no standard user can write:
  ; C:\Windows\SystemTemp where Windows has it, else Program Files. GetTempFileName reserves a
  ; name nobody else holds; the folder then takes that name. NSIS deletes it when the run ends.
  Function ${un}privateFolder
    ClearErrors
    GetTempFileName $R0 "$WINDIR\SystemTemp"
    ${If} ${Errors}
      ClearErrors
      GetTempFileName $R0 "$PROGRAMFILES"
    ${EndIf}
    Delete $R0
    CreateDirectory $R0
    ${If} ${Errors}
      !insertmacro fail "No private folder could be made for this run"
    ${EndIf}
    UnsafeStrCpy $PLUGINSDIR $R0
    !insertmacro protect "$PLUGINSDIR" "${PRIVATE}"
    ${If} $0 != 0
      !insertmacro fail "The private folder $PLUGINSDIR could not be closed: error $0"
    ${EndIf}
    ReadEnvStr $packageLog QUORLIN_PACKAGE_LOG
    Push "${LOG_FOLDER}"
    QuorlinSetup::prepareLogFolder
    Pop $logFolder
    Pop $R0
    ${If} $R0 != ""
      !insertmacro log "$R0"
    ${EndIf}
  FunctionEnd

  ; Gives a file or folder the owner and protected DACL of a security descriptor. $0: 0, or the error.
  Function ${un}protect
    Exch $R9
    Exch
    Exch $R8
    Push $R7
    Push $R6
    Push $R5
    System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w R9, i 1, *p .R7, p 0) i .R6 ?e'
    Pop $0
    ${If} $R6 != 0
      System::Call 'advapi32::GetSecurityDescriptorOwner(p R7, *p .R6, *i)'
      System::Call 'advapi32::GetSecurityDescriptorDacl(p R7, *i, *p .R5, *i)'
      ; OWNER, DACL and PROTECTED_DACL_SECURITY_INFORMATION
      System::Call 'advapi32::SetNamedSecurityInfoW(w R8, i 1, i 0x80000005, p R6, p 0, p R5, p 0) i .r0'
      System::Call 'kernel32::LocalFree(p R7)'
    ${EndIf}
    Pop $R5
    Pop $R6
    Pop $R7
    Pop $R8
    Pop $R9
  FunctionEnd

  Function ${un}log
    Exch $R9
    Push $R8
    DetailPrint $R9
    ${If} $logFolder != ""
      FileOpen $R8 "$logFolder\Quorlin-setup.log" a
      FileSeek $R8 0 END
      FileWrite $R8 "$R9$\r$\n"
      FileClose $R8
    ${EndIf}
    ${If} $packageLog != ""
      FileOpen $R8 "$packageLog" a
      FileSeek $R8 0 END
      FileWrite $R8 "$R9$\r$\n"
      FileClose $R8
    ${EndIf}
    Pop $R8
    Pop $R9
  FunctionEnd

  ; The first line of a run: when, what and where.
  Function ${un}begin
    Exch $R9
    ${GetTime} "" "L" $0 $1 $2 $3 $4 $5 $6
    !insertmacro log "$2-$1-$0 $4:$5:$6 $R9 ${VERSION} in $INSTDIR"
    Pop $R9
  FunctionEnd

  Function ${un}run
    Exch $R9
    Exch
    Exch $R8
    !insertmacro log "Running $R8"
    ${If} $R9 == 0
      nsExec::ExecToStack $R8
    ${Else}
      nsExec::ExecToStack /TIMEOUT=$R9 $R8
    ${EndIf}
    Pop $0
    Pop $R8
    ; Without its last line end: the log adds its own.
    ${Do}
      StrCpy $R9 $R8 1 -1
      ${If} $R9 != "$\n"
      ${AndIf} $R9 != "$\r"
        ${Break}
      ${EndIf}
      StrCpy $R8 $R8 -1
    ${Loop}
    ${If} $R8 != ""
      !insertmacro log "$R8"
    ${EndIf}
    !insertmacro log "Exit code $0"
    Pop $R8
    Pop $R9
  FunctionEnd

  ; Removes the service and waits until it is gone, or stopped with its process ended and marked for
  ; deletion while another program holds it open (QuorlinSetup.cpp). $0: 0 when
  ; gone, 1072 when so marked, 2 when still there.
  Function ${un}removeService
    !insertmacro run 0 '"$INSTDIR\bin\Quorlin.exe" -remove'
    QuorlinSetup::awaitRemoval "$INSTDIR\bin\Quorlin.exe"
    Pop $1
    Pop $0
    !insertmacro log "$1"
  FunctionEnd

  ; Deletes what the installer laid down, and the folders it made once they are empty. Whatever the
  ; server wrote itself, its data above all, stays.
  Function ${un}removeFiles
    !insertmacro productFiles deleteFile
    RMDir "$INSTDIR\bin"
    !insertmacro serverFolders
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
  FunctionEnd
!macroend
!insertmacro functions ""
!insertmacro functions "un."

Function .onInit
  SetShellVarContext all
  Call privateFolder
FunctionEnd

Function un.onInit
  SetShellVarContext all
  Call un.privateFolder
  ${If} $EXEPATH == "$INSTDIR\Uninstall.exe"
    Call un.handOver
  ${EndIf}
FunctionEnd

; Started in place in the root (the entry's quiet uninstall string: Uninstall.exe /S _?=<root>), the
; uninstaller could not delete itself. It hands the work to a copy of itself in the run's private
; folder, made there with fail-if-exists, waits for it and ends with its exit code: the command returns
; when the work is done. Windows lets a running program be renamed, so it first moves itself out of the
; root, beside the copy. Where the private folder lies on another drive, it takes a name of its own in
; the root instead, and goes at the next restart, with the root if that is empty then: an installation
; before the restart keeps its Uninstall.exe. Where it cannot be renamed at all (Wine), it goes itself.
Function un.handOver
  StrCpy $R0 "$PLUGINSDIR\Uninstall.exe"
  Push "Uninstall"
  Call un.begin
  !insertmacro log "Handing the work to a private copy: $R0"
  System::Call 'kernel32::CopyFileW(w "$EXEPATH", w R0, i 1) i .r0 ?e'
  Pop $1
  ${If} $0 == 0
    !insertmacro fail "The private copy could not be made: error $1"
  ${EndIf}
  StrCpy $R1 "$PLUGINSDIR\handed-over.exe"
  System::Call 'kernel32::MoveFileW(w "$EXEPATH", w R1) i .r2'
  ${If} $2 == 0
    GetTempFileName $R1 "$INSTDIR"
    Delete $R1
    System::Call 'kernel32::MoveFileW(w "$EXEPATH", w R1) i .r2'
    ${IfThen} $2 == 0 ${|} StrCpy $R1 "$EXEPATH" ${|}
  ${EndIf}
  StrCpy $1 ""
  ${IfThen} ${Silent} ${|} StrCpy $1 "/S " ${|}
  ClearErrors
  ExecWait '"$R0" $1_?=$INSTDIR' $0
  ${If} ${Errors}
    !insertmacro fail "The private copy did not run"
  ${EndIf}
  ${If} $R1 != "$PLUGINSDIR\handed-over.exe"
    System::Call 'kernel32::MoveFileExW(w R1, p 0, i 4)'
    System::Call 'kernel32::MoveFileExW(w "$INSTDIR", p 0, i 4)'
    !insertmacro log "Running, so deleted at the next restart: $R1"
  ${EndIf}
  SetErrorLevel $0
  Quit
FunctionEnd

; Lays down the programs and the server's files. $0: 0, or 1 if a file could not be written. What an
; earlier removal left to be deleted at the next restart under the root is taken back first.
Function layDown
  Push "$INSTDIR"
  QuorlinSetup::clearPending
  Pop $0
  ${If} $0 != ""
    !insertmacro log "$0"
  ${EndIf}
  !insertmacro log "Laying down the programs and the server's files"
  SetOverwrite try
  ClearErrors
  SetOutPath "$INSTDIR\bin"
  File "${PROGRAMS}/Quorlin.exe"
  File "${PROGRAMS}/vexil_setup.exe"
  SetOutPath "$INSTDIR"
  File /r "${SERVER_FILES}/*"
  StrCpy $0 0
  ${If} ${Errors}
    StrCpy $0 1
    !insertmacro log "A file could not be written"
  ${EndIf}
FunctionEnd

; Runs vexil_setup in the root, so that reg_values.properties lies beside the server. $0: its exit code.
Function setUp
  StrCpy $1 0
  ${IfThen} ${Silent} ${|} StrCpy $1 ${SETUP_LIMIT} ${|}
  SetOutPath "$INSTDIR"
  !insertmacro run $1 '"$INSTDIR\bin\vexil_setup.exe"'
  ${If} $0 == "timeout"
    !insertmacro log "vexil_setup was ended after ${SETUP_LIMIT} ms: it waited for its Install Error box to be closed"
  ${ElseIf} $0 != 0
    !insertmacro log "vexil_setup failed; its Install Error above says why"
  ${EndIf}
FunctionEnd

; Stops the service and waits until its process has ended: its server has stopped and its files are
; free. A start that stalls accepts no stop; its process is ended once the time is up. $0: 1 if ended.
Function stopService
  !insertmacro log "Stopping the service Quorlin"
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1'
  System::Call 'advapi32::OpenServiceW(p r1, w "Quorlin", i 0x24) p .r2'
  System::Call '*(i,i,i,i,i,i,i,i,i) p .r3'
  ; $0 stays 1 (stopped) when the query finds no process: the service has stopped already.
  System::Call 'advapi32::QueryServiceStatusEx(p r2, i 0, p r3, i 36, *i .r4) i .r0'
  System::Call '*$3(i, i .r5, i, i, i, i, i, i .r6, i)'
  System::Call 'kernel32::OpenProcess(i 0x100001, i 0, i r6) p .r7'
  ${If} $7 != 0
    StrCpy $0 0
    ${For} $8 1 ${STOP_STEPS}
      System::Call 'advapi32::QueryServiceStatus(p r2, p r3)'
      System::Call '*$3(i, i .r5)'
      ${If} $5 == 4
        System::Call 'advapi32::ControlService(p r2, i 1, p r3)'
      ${EndIf}
      System::Call 'kernel32::WaitForSingleObject(p r7, i 500) i .r9'
      ${If} $9 == 0
        StrCpy $0 1
        ${Break}
      ${EndIf}
    ${Next}
    ${If} $0 == 0
    ${AndIf} $5 == 2
      !insertmacro log "The start stalled: ending its process"
      System::Call 'kernel32::TerminateProcess(p r7, i 1)'
      System::Call 'kernel32::WaitForSingleObject(p r7, i 10000) i .r9'
      ${IfThen} $9 == 0 ${|} StrCpy $0 1 ${|}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r7)'
  ${EndIf}
  System::Free $3
  System::Call 'advapi32::CloseServiceHandle(p r2)'
  System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${If} $0 == 1
    !insertmacro log "The service Quorlin has stopped"
  ${EndIf}
FunctionEnd

; Starts the service, retrying while another start holds the service database (1055), and waits as
; Quorlin -install does: until it runs, stops, or its checkpoint has not risen for longer than its wait
; hint and a second. $0: 1 if it runs.
Function startService
  !insertmacro log "Starting the service Quorlin"
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1'
  System::Call 'advapi32::OpenServiceW(p r1, w "Quorlin", i 0x14) p .r2'
  ${Do}
    System::Call 'advapi32::StartServiceW(p r2, i 0, p 0) i .r3 ?e'
    Pop $4
    ${IfThen} $4 == 1055 ${|} Sleep 2000 ${|}
  ${LoopWhile} $4 == 1055
  StrCpy $0 0
  System::Call '*(i,i,i,i,i,i,i) p .r5'
  System::Call 'kernel32::GetTickCount() i .r6'
  StrCpy $7 0
  ${If} $3 == 0
    !insertmacro log "The start was refused: error $4"
  ${EndIf}
  ${DoWhile} $3 != 0
    Sleep 100
    System::Call 'advapi32::QueryServiceStatus(p r2, p r5) i .r3'
    System::Call '*$5(i, i .r8, i, i .r9, i .R1, i .R2, i .R3)'
    System::Call 'kernel32::GetTickCount() i .r4'
    IntOp $R4 $4 - $6
    IntOp $R3 $R3 + 1000
    ${If} $8 == 4
      StrCpy $0 1
      !insertmacro log "The service Quorlin runs"
      ${Break}
    ${ElseIf} $8 == 1
      !insertmacro log "The service Quorlin stopped: exit code $9, service-specific exit code $R1"
      ${Break}
    ${ElseIf} $R2 > $7
      StrCpy $7 $R2
      StrCpy $6 $4
    ${ElseIf} $7 != 0
    ${AndIf} $R4 > $R3
      !insertmacro log "The start of Quorlin stalled at checkpoint $7"
      ${Break}
    ${EndIf}
  ${Loop}
  System::Free $5
  System::Call 'advapi32::CloseServiceHandle(p r2)'
  System::Call 'advapi32::CloseServiceHandle(p r1)'
FunctionEnd

; With /JAVA_OPTS=<options>, sets JAVA_OPTS=<options> in the service's Environment, which the Service
; Control Manager gives the service at each start; whatever else the operator put there stays. $0: ""
; when no options were named, 0 when set, else the error.
Function javaOptions
  QuorlinSetup::setJavaOptions
  Pop $1
  Pop $0
  Pop $previousOptions
  !insertmacro log "$1"
FunctionEnd

; A server that ends by itself stops the service with an error code: the Service Control Manager starts
; it again after 60 s, twice, then leaves it; the count starts again after a day. Logged with the call's
; result; a system that keeps no recovery does not fail the installation.
Function recovery
  QuorlinSetup::setRecovery
  Pop $1
  Pop $0
  !insertmacro log "$1"
FunctionEnd

; A failed first installation leaves nothing behind: no service, no files, no uninstall entry.
Function rollBack
  !insertmacro log "Rolling back: removing the service and what was laid down"
  Call removeService
  Call removeFiles
  DeleteRegKey HKLM "${UNINSTALL}"
  !insertmacro fail "Installation failed and was rolled back"
FunctionEnd

; A write that failed after the service runs: an upgrade falls back, a first installation rolls back;
; the reason on the stack goes to the log first.
Function undo
  Exch $R9
  !insertmacro log "$R9"
  ${If} $upgrading == 1
    Call fallBack
  ${EndIf}
  Call rollBack
FunctionEnd

; A first installation takes the root only where no standard user can own, plant, link or swap anything
; in it or above it (QuorlinSetup.cpp says how), and closes it like Program Files, wherever it lies:
; Administrators own it and all it holds, Users may read and run. The service runs its programs as the
; system. A root not there yet is made closed from the start. An upgrade leaves the DACL as the operator
; left it.
Function closeRoot
  Push "$INSTDIR"
  QuorlinSetup::closeRoot
  Pop $1
  Pop $0
  ${If} $0 != 0
    !insertmacro fail "$1"
  ${EndIf}
  !insertmacro log "$1"
FunctionEnd

Function install
  !insertmacro log "No service Quorlin yet: a first installation"
  Call closeRoot
  Call layDown
  ${IfThen} $0 != 0 ${|} Call rollBack ${|}
  Call setUp
  ${IfThen} $0 != 0 ${|} Call rollBack ${|}
  !insertmacro run 0 '"$INSTDIR\bin\Quorlin.exe" -install'
  ${IfThen} $0 != 0 ${|} Call rollBack ${|}
  Call recovery
  Call javaOptions
  ${If} $0 == 0
    ; The service started without them: it takes them at its next start.
    Call stopService
    Call startService
    ${IfThen} $0 != 1 ${|} Call rollBack ${|}
  ${ElseIf} $0 != ""
    Call rollBack
  ${EndIf}
FunctionEnd

; A failed upgrade puts the previous version back as it was and starts it again.
Function fallBack
  !insertmacro log "Upgrade failed: putting the previous version back"
  Call stopService
  !insertmacro productFiles restoreFile
  !insertmacro serverFolders
  ${If} $previousOptions != "-"
    Push $previousOptions
    QuorlinSetup::restoreJavaOptions
    Pop $1
    Pop $0
    !insertmacro log "$1"
  ${EndIf}
  Call startService
  ${If} $0 == 1
    !insertmacro fail "Upgrade failed; the previous version runs again"
  ${EndIf}
  !insertmacro fail "Upgrade failed; the previous version is back but did not start"
FunctionEnd

; An upgrade replaces the files of the service in this root and leaves its registration as the
; operator left it: start type, account, description, recovery and dependencies.
Function upgrade
  ${If} $1 != "$INSTDIR\bin\Quorlin.exe"
  ${AndIf} $1 != '"$INSTDIR\bin\Quorlin.exe"'
    !insertmacro fail "The service Quorlin runs $1, not this root's bin\Quorlin.exe: nothing was changed"
  ${EndIf}
  !insertmacro log "The service Quorlin exists: an upgrade in place"
  StrCpy $upgrading 1
  StrCpy $previousOptions "-"
  Call stopService
  ${If} $0 != 1
    !insertmacro fail "The service Quorlin did not stop: nothing was changed"
  ${EndIf}
  !insertmacro productFiles keepFile
  Call layDown
  ${IfThen} $0 != 0 ${|} Call fallBack ${|}
  Call setUp
  ${IfThen} $0 != 0 ${|} Call fallBack ${|}
  Call javaOptions
  ${If} $0 == ""
    StrCpy $previousOptions "-"  ; nothing was changed, nothing to put back
  ${ElseIf} $0 != 0
    Call fallBack
  ${EndIf}
  Call startService
  ${IfThen} $0 != 1 ${|} Call fallBack ${|}
FunctionEnd

; Upgrades go forward only: a newer installed version (its entry's DisplayVersion, else the version
; information of the service's program) is left as it is. The same version again repairs in place. The
; way back is an uninstall, which keeps the server's data, and then the older installation.
Function refuseDowngrade
  ReadRegStr $0 HKLM "${UNINSTALL}" "DisplayVersion"
  ${If} $0 == ""
  ${AndIf} $1 != ""
    StrCpy $2 $1 1
    ${If} $2 == '"'
      StrCpy $2 $1 "" 1
      StrCpy $2 $2 -1
    ${Else}
      StrCpy $2 $1
    ${EndIf}
    ClearErrors
    GetDLLVersion $2 $3 $4
    ${IfNot} ${Errors}
      IntOp $5 $3 >> 16
      IntOp $3 $3 & 0xFFFF
      IntOp $4 $4 >> 16
      StrCpy $0 "$5.$3.$4"
    ${EndIf}
  ${EndIf}
  ${VersionCompare} "$0" "${VERSION}" $2
  ${If} $0 != ""
  ${AndIf} $2 == 1
    !insertmacro fail "A newer version of Quorlin ($0) is installed; nothing was changed"
  ${EndIf}
FunctionEnd

Section
  Push "Quorlin-setup"
  Call begin
  ReadRegStr $1 HKLM "${SERVICE}" "ImagePath"
  QuorlinSetup::isMarked
  Pop $0
  ${If} $0 == 1
    !insertmacro fail "The service Quorlin is marked for deletion while another program holds it open (the services console, a monitoring agent): close that program or restart Windows, then install again; nothing was changed"
  ${EndIf}
  Call refuseDowngrade
  ${If} $1 == ""
    Call install
  ${Else}
    Call upgrade
  ${EndIf}
  ; Event Viewer renders the service's records, errors and warnings, through the message table in
  ; Quorlin.exe.
  ClearErrors
  WriteRegExpandStr HKLM "${SOURCE}" "EventMessageFile" "$INSTDIR\bin\Quorlin.exe"
  WriteRegDWORD HKLM "${SOURCE}" "TypesSupported" 3
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ${If} ${Errors}
    Push "$INSTDIR\Uninstall.exe or the event source's values could not be written"
    Call undo
  ${EndIf}
  WriteRegStr HKLM "${UNINSTALL}" "DisplayName" "Quorlin"
  WriteRegStr HKLM "${UNINSTALL}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  ; /S alone returns at once, while a copy of the uninstaller does the work. A fleet tool must see the
  ; work done when the command returns, and its exit code: with _?= the uninstaller waits for its copy.
  WriteRegStr HKLM "${UNINSTALL}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKLM "${UNINSTALL}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL}" "NoRepair" 1
  ; Run by Quorlin.msi, whose entry is the one that Programs and Features shows; the package that owns
  ; the installation removes it, an older one that a newer replaced does not.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PACKAGE=" $R1
  ${IfNot} ${Errors}
    WriteRegDWORD HKLM "${UNINSTALL}" "SystemComponent" 1
    WriteRegStr HKLM "${UNINSTALL}" "PackageProductCode" $R1
  ${EndIf}
  ${If} ${Errors}
    Push "The entry ${UNINSTALL} could not be written"
    Call undo
  ${EndIf}
  !insertmacro log "Installed: Quorlin ${VERSION} runs; exit code 0"
SectionEnd

Section Uninstall
  Push "Uninstall"
  Call un.begin
  Call un.removeService
  ${If} $0 == 2
    !insertmacro fail "The service Quorlin is still there; nothing was deleted"
  ${EndIf}
  ${IfThen} $0 == 1072 ${|} SetRebootFlag true ${|}
  Call un.removeFiles
  DeleteRegValue HKLM "${SOURCE}" "EventMessageFile"
  DeleteRegValue HKLM "${SOURCE}" "TypesSupported"
  DeleteRegKey HKLM "${UNINSTALL}"
  ${If} ${RebootFlag}
    !insertmacro log "Uninstalled; the files in use go at the next restart; what the server wrote itself stays; exit code 3010"
    SetErrorLevel 3010
  ${Else}
    !insertmacro log "Uninstalled; what the server wrote itself stays; exit code 0"
  ${EndIf}
SectionEnd
