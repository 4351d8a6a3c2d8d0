; Quorlin-setup.exe: lays out the service host, the setup tool and the server's files under the
; installation root, records the Java home beside the server and registers the service "Quorlin".
;   Quorlin-setup.exe [/S] [/PACKAGE=<product code>] ["/JAVA_OPTS=<options>"] [/D=<root>]
;   <root>\Uninstall.exe [/S] [_?=<root>]
; The sections at the end read as the steps of docs/installer.md, each step a function here; what a
; step waits for, checks, copies or closes lies in the plugin QuorlinSetup.dll (installer/plugin.h),
; and the run's private folder, log and file steps in plumbing.nsh.
; Built by CMake (target installer) with makensis and these defines: PROGRAMS, the folder of
; Quorlin.exe and vexil_setup.exe; SERVER_FILES, the folder of the server's files as they lie under
; the root; SERVER_LIST, the macros serverFiles and serverFolders that installer/server-files wrote
; for them; OUTFILE, the installer to write; VERSION, as x.y.z; PLUGINS, the folder of QuorlinSetup.dll;
; TARGET, NSIS's target (x86-unicode, the deliverable; amd64-unicode for the tests' 64-bit build); SIGN, if
; given, the command that signs the installer and the uninstaller it writes.
Target ${TARGET}
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

!addplugindir /${TARGET} "${PLUGINS}"
!include LogicLib.nsh
!include FileFunc.nsh
!include "${SERVER_LIST}"
!define UNINSTALL "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorlin"
!define SERVICE "SYSTEM\CurrentControlSet\Services\Quorlin"
; An upgrade without /D= finds the root that the installed version lies in.
InstallDirRegKey HKLM "${UNINSTALL}" "InstallLocation"
; Every run appends to Quorlin-setup.log in this folder, outside the root, so that it outlives a
; roll-back and an uninstall; no standard user can make a name in the system's Logs folder first.
!define LOG_FOLDER "$WINDIR\Logs\Quorlin"
; vexil_setup's work takes well under a second. Nobody closes its message box in a silent run, so
; there it is ended after this many milliseconds; a person installing may take their time.
!define SETUP_LIMIT 10000
; The run's private folder: owned by Administrators, the system's and Administrators' alone, passed
; down to all below.
!define PRIVATE "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"

; The folder of the log, once it is checked; until then lines go to the details only.
Var logFolder
; Run by the package's action: the file in its private folder where each line goes too.
Var packageLog
; 1 in an upgrade in place.
Var upgrading
; The previous version's copies during an upgrade: beside the log, so that they outlive a run that dies
; (a lost power, a killed process) and the next run puts them back; in the run's private folder where
; the log folder cannot be used.
Var kept

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!include "plumbing.nsh"

; The steps that the installer's roll-back and the uninstaller share.
!macro removal un
  ; Removes the service and waits until it is gone (0), or stopped with its process ended and marked
  ; for deletion while another program holds it open (1072); 2 when it is still there, at once when
  ; Quorlin -remove failed (anything but gone, 1060, or marked, 1072). 1060 at once when there is no
  ; service, as after a run that stopped on the way, which took it and maybe Quorlin.exe too.
  Function ${un}removeService
    ReadRegStr $0 HKLM "${SERVICE}" "ImagePath"
    ${If} $0 == ""
      StrCpy $0 1060
      Return
    ${EndIf}
    !insertmacro run 0 '"$INSTDIR\bin\Quorlin.exe" -remove'
    ${If} $0 != 0
    ${AndIf} $0 != 1060
    ${AndIf} $0 != 1072
      StrCpy $0 2
      Return
    ${EndIf}
    QuorlinSetup::awaitRemoval "$INSTDIR\bin\Quorlin.exe"
    !insertmacro logResult
  FunctionEnd

  ; Deletes what the installer laid down, and the folders it made once they are empty. Whatever the
  ; server wrote itself, its data and its logs above all, stays.
  Function ${un}removeFiles
    !insertmacro productFiles deleteFile
    RMDir "$INSTDIR\bin"
    !insertmacro serverFolders
    ; Still running where the entry's string started it (Wine moves no running program): handOver
    ; leaves it to the next restart.
    Delete "$INSTDIR\Uninstall.exe"
    ; A folder that is a process's current folder cannot be removed: not the root (see setUp).
    SetOutPath "$SYSDIR"
    RMDir "$INSTDIR"
  FunctionEnd
!macroend
!insertmacro removal ""
!insertmacro removal "un."

Function .onInit
  SetShellVarContext all
  Call privateFolder
  StrCpy $kept "$logFolder\previous"
  ${IfThen} $logFolder == "" ${|} StrCpy $kept "$PLUGINSDIR\previous" ${|}
  ; NSIS takes a /D= it finds inside quoted options too: the plugin names the root of the command line's
  ; own /D=, and without one the root is the installed one, else the default.
  QuorlinSetup::namedRoot
  Pop $0
  ${If} $0 == ""
    ReadRegStr $0 HKLM "${UNINSTALL}" "InstallLocation"
  ${EndIf}
  ${IfThen} $0 == "" ${|} StrCpy $0 "$PROGRAMFILES\Quorlin" ${|}
  StrCpy $INSTDIR $0
FunctionEnd

Function un.onInit
  SetShellVarContext all
  Call un.privateFolder
  ${If} $EXEPATH == "$INSTDIR\Uninstall.exe"
    Call un.handOver
  ${EndIf}
FunctionEnd

; Started in place in the root (the entry's quiet uninstall string: Uninstall.exe /S _?=<root>), the
; uninstaller could not delete itself: it hands the work to a private copy of itself, waits for it and
; ends with its exit code, so that the command returns when the work is done (programs.cpp).
Function un.handOver
  Push "Uninstall"
  Call un.begin
  !insertmacro log "Handing the work to a private copy: $PLUGINSDIR\Uninstall.exe"
  StrCpy $1 ""
  ${IfThen} ${Silent} ${|} StrCpy $1 "/S " ${|}
  QuorlinSetup::handOver "$EXEPATH" "$INSTDIR" "$PLUGINSDIR" "$1"
  Pop $1
  Pop $0
  ${If} $1 != ""
    !insertmacro log "$1"
  ${EndIf}
  SetErrorLevel $0
  Quit
FunctionEnd

; Upgrades go forward only: a newer installed version (its entry's DisplayVersion, else the version
; information of the service's program, $1) is left as it is. The same version again repairs in place.
; The way back is an uninstall, which keeps the server's data, and then the older installation.
Function refuseDowngrade
  QuorlinSetup::newerInstalled "$1" "${VERSION}"
  Pop $0
  ${If} $0 != ""
    !insertmacro fail "A newer version of Quorlin ($0) is installed; nothing was changed"
  ${EndIf}
FunctionEnd

; A first installation takes the root only where no standard user can own, plant, link or swap anything
; in it or above it, and closes it like Program Files, wherever it lies (root.cpp). An upgrade leaves the
; DACL as the operator left it.
Function closeRoot
  QuorlinSetup::closeRoot "$INSTDIR"
  Pop $1
  Pop $0
  ${If} $0 != 0
    !insertmacro fail "$1"
  ${EndIf}
  !insertmacro log "$1"
FunctionEnd

; Unpacks the programs and the server's files into the run's staging folder, before anything changes:
; NSIS ends a run whose unpacking fails, and then nothing was changed.
Function stage
  SetOutPath "$PLUGINSDIR\new\bin"
  File "${PROGRAMS}/Quorlin.exe"
  File "${PROGRAMS}/vexil_setup.exe"
  SetOutPath "$PLUGINSDIR\new"
  File /r "${SERVER_FILES}/*"
  ; Not left as the current folder, which nothing can remove: NSIS removes the staging folder at the end.
  SetOutPath "$SYSDIR"
FunctionEnd

; Lays down the programs and the server's files. $0: 0, or 1 if a file could not be written. What an
; earlier removal left to be deleted at the next restart under the root is taken back first.
Function layDown
  QuorlinSetup::clearPending "$INSTDIR"
  Pop $1
  Pop $0
  ${If} $1 != ""
    !insertmacro log "$1"
  ${EndIf}
  ${If} $0 != ""
  ${AndIf} $0 != 0
    StrCpy $0 1
    Return
  ${EndIf}
  !insertmacro log "Laying down the programs and the server's files"
  StrCpy $R5 0
  !insertmacro productFiles placeFile
  StrCpy $0 $R5
FunctionEnd

; Runs vexil_setup in the root, so that reg_values.properties lies beside the server. $0: its exit code.
Function setUp
  StrCpy $1 0
  ${IfThen} ${Silent} ${|} StrCpy $1 ${SETUP_LIMIT} ${|}
  SetOutPath "$INSTDIR"
  !insertmacro run $1 '"$INSTDIR\bin\vexil_setup.exe"'
  ; Nothing else runs in the root, which a roll-back removes: the system's folder is the current one, where
  ; no standard user can put a DLL, and which NSIS need not remove at the end, as it does its plugins'.
  SetOutPath "$SYSDIR"
  ${If} $0 == "timeout"
    !insertmacro log "vexil_setup was ended after ${SETUP_LIMIT} ms: it waited for its Install Error box to be closed"
  ${ElseIf} $0 != 0
    !insertmacro log "vexil_setup failed; its Install Error above says why"
  ${EndIf}
FunctionEnd

; Stops the service and waits until its process and so its server have ended. $0: 1 if ended.
Function stopService
  !insertmacro log "Stopping the service Quorlin"
  QuorlinSetup::stopService
  !insertmacro logResult
FunctionEnd

; Starts the service and waits as Quorlin -install does. $0: 1 if it runs.
Function startService
  !insertmacro log "Starting the service Quorlin"
  QuorlinSetup::startService
  !insertmacro logResult
FunctionEnd

; With /JAVA_OPTS=<options>, sets JAVA_OPTS=<options> in the service's Environment, which the Service
; Control Manager gives the service at each start; whatever else the operator put there stays. $0: ""
; when no options were named, 0 when set, else the error.
Function javaOptions
  StrCpy $0 "$PLUGINSDIR"
  ${IfThen} $upgrading == 1 ${|} StrCpy $0 "$kept" ${|}  ; kept with the files, for the next run too
  QuorlinSetup::setJavaOptions "$0"
  !insertmacro logResult
FunctionEnd

; A server that ends by itself stops the service with an error code: the Service Control Manager starts
; it again after 60 s, twice, then leaves it; the count starts again after a day. A system that keeps no
; recovery does not fail the installation.
Function recovery
  QuorlinSetup::setRecovery
  !insertmacro logResult
FunctionEnd

; The uninstaller, the event source's values and the entry in the list of installed programs
; (entry.cpp). $0: 0, or what failed.
Function register
  ClearErrors
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ${If} ${Errors}
    !insertmacro log "$INSTDIR\Uninstall.exe could not be written"
    StrCpy $0 1
    Return
  ${EndIf}
  QuorlinSetup::registerProduct "$INSTDIR" "${VERSION}"
  Pop $1
  Pop $0
  ${If} $0 != 0
    !insertmacro log "$1"
  ${EndIf}
FunctionEnd

; A failed first installation leaves nothing behind: no service, no files, no uninstall entry. What the
; roll-back could not remove is named, and a rerun of the installer finishes the installation over it.
Function rollBack
  !insertmacro log "Rolling back: removing the service and what was laid down"
  Call removeService
  ${If} $0 == 2
    !insertmacro fail "Installation failed, and its service could not be removed; nothing else was: run the installer again to finish"
  ${EndIf}
  StrCpy $R5 0
  Call removeFiles
  QuorlinSetup::unregisterProduct
  !insertmacro logResult
  ${If} $R5 != 0
  ${OrIf} $0 != 0
    !insertmacro fail "Installation failed, and the roll-back left what is named above: run the installer again to finish"
  ${EndIf}
  !insertmacro fail "Installation failed and was rolled back"
FunctionEnd

; A failed upgrade puts the previous version back as it was and starts it again.
Function fallBack
  !insertmacro log "Upgrade failed: putting the previous version back"
  Call stopService
  StrCpy $R5 0
  !insertmacro upgradedFiles restoreFile
  !insertmacro serverFolders
  Call restoreJavaOptions
  ${IfThen} $R5 != 0 ${|} Call keepPrevious ${|}
  RMDir /r "$kept"
  Call startService
  ${If} $0 == 1
    !insertmacro fail "Upgrade failed; the previous version runs again"
  ${EndIf}
  !insertmacro fail "Upgrade failed; the previous version is back but did not start"
FunctionEnd

; Puts the service's Environment back as it was before the upgrade, from the copies; $R5 1 if it fails.
Function restoreJavaOptions
  QuorlinSetup::restoreJavaOptions "$kept"
  Pop $1
  Pop $0
  ${If} $1 != ""
    !insertmacro log "$1"
  ${EndIf}
  ${If} $0 != ""
  ${AndIf} $0 != 0
    StrCpy $R5 1
  ${EndIf}
FunctionEnd

; What could not be put back is named above: the service is not started on a tree of both versions, and
; the previous version's copies stay where they are, for the next run, which puts them back first.
Function keepPrevious
  ${If} $logFolder == ""
    ClearErrors
    CopyFiles /SILENT "$kept\*.*" "$INSTDIR\previous"
    ${If} ${Errors}
      !insertmacro fail "Upgrade failed, the previous version could not be put back whole, and its files could not be kept in $INSTDIR\previous; the service is not started: run the installer again to finish the upgrade"
    ${EndIf}
    StrCpy $kept "$INSTDIR\previous"
  ${EndIf}
  !insertmacro fail "Upgrade failed, and the previous version could not be put back whole: its files are kept in $kept; the service is not started: run the installer again to finish the upgrade"
FunctionEnd

; A run that ended in its upgrade (a lost power, a killed process) left the previous version's copies:
; once all were kept ("complete"), files may have been replaced, and they are put back before this run
; begins; else nothing was replaced yet, and they go.
Function resumeLeftovers
  ${IfNot} ${FileExists} "$kept\*.*"
    Return
  ${EndIf}
  QuorlinSetup::checkKept "$kept"
  Pop $1
  Pop $0
  ${IfThen} $0 != 0 ${|} !insertmacro fail "$1" ${|}
  ${If} ${FileExists} "$kept\complete"
    !insertmacro log "An earlier run ended in its upgrade: putting the previous version back from $kept first"
    Call stopService
    StrCpy $R5 0
    !insertmacro upgradedFiles restoreFile
    Call restoreJavaOptions
    ${If} $R5 != 0
      !insertmacro fail "The previous version could not be put back from $kept; nothing more was changed: run the installer again"
    ${EndIf}
  ${Else}
    !insertmacro log "An earlier run ended in its upgrade before it replaced a file: its copies in $kept go"
  ${EndIf}
  RMDir /r "$kept"
FunctionEnd

; A step that failed: an upgrade falls back, a first installation rolls back.
Function undo
  ${If} $upgrading == 1
    Call fallBack
  ${EndIf}
  Call rollBack
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

; An upgrade replaces the files of the service in this root and leaves its registration as the
; operator left it: start type, account, description, recovery and dependencies.
Function upgrade
  ${If} $1 != "$INSTDIR\bin\Quorlin.exe"
  ${AndIf} $1 != '"$INSTDIR\bin\Quorlin.exe"'
    !insertmacro fail "The service Quorlin runs $1, not this root's bin\Quorlin.exe: nothing was changed"
  ${EndIf}
  !insertmacro log "The service Quorlin exists: an upgrade in place"
  StrCpy $upgrading 1
  Call resumeLeftovers
  Call stopService
  ${If} $0 != 1
    !insertmacro fail "The service Quorlin did not stop: nothing was changed"
  ${EndIf}
  StrCpy $R5 0
  !insertmacro upgradedFiles keepFile
  ClearErrors
  FileOpen $R0 "$kept\complete" w
  FileClose $R0
  ${If} ${Errors}
    StrCpy $R5 1
  ${EndIf}
  ${If} $R5 != 0
    RMDir /r "$kept"
    Call startService
    !insertmacro fail "The previous version could not be kept for a fall-back: nothing was changed"
  ${EndIf}
  Call layDown
  ${IfThen} $0 != 0 ${|} Call fallBack ${|}
  Call setUp
  ${IfThen} $0 != 0 ${|} Call fallBack ${|}
  Call javaOptions
  ${If} $0 != ""
  ${AndIf} $0 != 0
    Call fallBack
  ${EndIf}
  Call startService
  ${IfThen} $0 != 1 ${|} Call fallBack ${|}
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
  QuorlinSetup::checkJavaOptions
  Pop $2
  Pop $0
  ${If} $0 != ""
    !insertmacro fail "$2"
  ${EndIf}
  Call stage
  ${If} $1 == ""
    Call install
  ${Else}
    Call upgrade
  ${EndIf}
  Call register
  ${IfThen} $0 != 0 ${|} Call undo ${|}
  ${IfThen} $upgrading == 1 ${|} RMDir /r "$kept" ${|}
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
  ; Last: the entry's uninstaller finishes a removal that stopped on the way.
  QuorlinSetup::unregisterProduct
  Pop $1
  Pop $0
  ${If} $0 != 0
    !insertmacro fail "$1; the service and the files are removed: run the removal again"
  ${EndIf}
  ${If} ${RebootFlag}
    !insertmacro log "Uninstalled; the files in use go at the next restart; what the server wrote itself stays; exit code 3010"
    SetErrorLevel 3010
  ${Else}
    !insertmacro log "Uninstalled; what the server wrote itself stays; exit code 0"
  ${EndIf}
SectionEnd
