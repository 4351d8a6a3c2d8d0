; The plumbing of every run of the installer and the uninstaller (Quorlin.nsi): the run's private
; folder, its log, the programs it runs, and the steps of each file; what they call is the plugin's.

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
  Push `${text}`
  !insertmacro call log
!macroend

; Appends text as a line to a file.
!macro appendLine file text
  FileOpen $R8 "${file}" a
  FileSeek $R8 0 END
  FileWrite $R8 "${text}$\r$\n"
  FileClose $R8
!macroend

; Logs the line that a plugin function left on the stack; $0: the result under it.
!macro logResult
  Pop $1
  Pop $0
  !insertmacro log "$1"
!macroend

; Runs a command line in the current folder, ended after limit ms unless limit is 0; its console lines
; and exit code go to the log. $0: the exit code, "timeout" if it was ended, "error" if it did not run.
!macro run limit commandLine
  !insertmacro log `Running ${commandLine}`
  QuorlinSetup::run '${commandLine}' ${limit}
  Pop $1
  Pop $0
  ${If} $1 != ""
    !insertmacro log "$1"
  ${EndIf}
  !insertmacro log "Exit code $0"
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

; The same and the uninstaller, which an upgrade writes anew: what it keeps and a fall-back puts back.
!macro upgradedFiles action
  !insertmacro productFiles ${action}
  !insertmacro ${action} "Uninstall.exe"
!macroend

; The uninstaller deletes a file in use (held open, or a program still running) at the next restart and
; names it in the log; the run then ends with 3010, success with a restart required. A roll-back names
; a file it could not delete and notes it in $R5.
!macro deleteFile file
  QuorlinSetup::deleteFile "$INSTDIR\${file}"
  ${If} ${FileExists} "$INSTDIR\${file}"
    !ifdef __UNINSTALL__
      QuorlinSetup::deleteAtRestart "$INSTDIR\${file}"
      Pop $R0
      !insertmacro log $R0
      SetRebootFlag true
    !else
      !insertmacro log "$INSTDIR\${file} could not be deleted"
      StrCpy $R5 1
    !endif
  ${EndIf}
!macroend

; A file's steps (files.cpp): its previous version kept for a fall-back, the new one laid down from the
; run's staging folder, the previous one put back. A failure is logged and noted in $R5.
!macro keepFile file
  QuorlinSetup::keepFile "$INSTDIR" "$kept" "${file}"
  !insertmacro checkFile
!macroend
!macro placeFile file
  QuorlinSetup::placeFile "$PLUGINSDIR\new" "$INSTDIR" "${file}"
  !insertmacro checkFile
!macroend
!macro restoreFile file
  QuorlinSetup::restoreFile "$kept" "$INSTDIR" "${file}"
  !insertmacro checkFile
!macroend
!macro checkFile
  Pop $R1
  Pop $R0
  ${If} $R0 != ""
  ${AndIf} $R0 != 0
    !insertmacro log "$R1"
    StrCpy $R5 1
  ${EndIf}
!macroend

; The functions of every run, for the installer and, named "un.", the uninstaller.
!macro plumbing un
  ; Makes a folder of this run's own, before any plugin is extracted, and moves NSIS's plugins
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
    QuorlinSetup::protect "$PLUGINSDIR" "${PRIVATE}"
    Pop $0
    ${If} $0 != 0
      !insertmacro fail "The private folder $PLUGINSDIR could not be closed: error $0"
    ${EndIf}
    ReadEnvStr $packageLog QUORLIN_PACKAGE_LOG
    QuorlinSetup::prepareLogFolder "${LOG_FOLDER}"
    Pop $logFolder
    Pop $R0
    ${If} $R0 != ""
      !insertmacro log "$R0"
    ${EndIf}
  FunctionEnd

  ; Written by NSIS itself: a plugin call per line costs a DLL load each, which an emulated run feels.
  ; Both files lie in folders that no standard user can write (log.cpp, the private folder).
  Function ${un}log
    Exch $R9
    Push $R8
    DetailPrint $R9
    ${If} $logFolder != ""
      !insertmacro appendLine "$logFolder\Quorlin-setup.log" $R9
    ${EndIf}
    ${If} $packageLog != ""
      !insertmacro appendLine "$packageLog" $R9
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

!macroend
!insertmacro plumbing ""
!insertmacro plumbing "un."
