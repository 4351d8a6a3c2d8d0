; Quorlin-setup.exe: lays out the service host, the setup tool and the server's files under the
; installation root, records the Java home beside the server and registers the service "Quorlin".
;   Quorlin-setup.exe [/S] [/D=<root>]        install, or upgrade an installation in place
;   <root>\Uninstall.exe [/S] [_?=<root>]     remove the service, then what the installer laid down
; Built by CMake (target installer) with makensis and these defines: PROGRAMS, the folder of
; Quorlin.exe and vexil_setup.exe; SERVER_FILES, the folder of the server's files as they lie under
; the root; SERVER_LIST, the macro removeServerFiles that installer/server-files wrote for them;
; OUTFILE, the installer to write.
Unicode true
RequestExecutionLevel admin
Name "Quorlin"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Quorlin"
ShowInstDetails show
ShowUnInstDetails show
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include "${SERVER_LIST}"
!define UNINSTALL "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorlin"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Runs a command line in the current folder with its console lines in the log; $0 is its exit code.
!macro run commandLine
  nsExec::ExecToLog '${commandLine}'
  Pop $0
!macroend

; The same functions serve the installer (upgrade, roll-back) and the uninstaller, whose functions
; NSIS wants named "un.".
!macro functions un
  ; Removes the service and waits until it is gone: its server has stopped and its files are free.
  ; A service marked for deletion is still there (1072) until its process has ended. $0: 1 if gone.
  Function ${un}removeService
    !insertmacro run '"$INSTDIR\bin\Quorlin.exe" -remove'
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1'
    StrCpy $0 0
    ${For} $2 1 1200
      System::Call 'advapi32::OpenServiceW(p r1, w "Quorlin", i 4) p .r3 ?e'
      Pop $4
      ${If} $3 == 0
      ${AndIf} $4 == 1060
        StrCpy $0 1
        ${Break}
      ${EndIf}
      System::Call 'advapi32::CloseServiceHandle(p r3)'
      Sleep 500
    ${Next}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  FunctionEnd

  ; Deletes what the installer laid down, and the folders it made once they are empty. Whatever the
  ; server wrote itself, its data above all, stays.
  Function ${un}removeFiles
    Delete "$INSTDIR\bin\Quorlin.exe"
    Delete "$INSTDIR\bin\vexil_setup.exe"
    RMDir "$INSTDIR\bin"
    !insertmacro removeServerFiles
    Delete "$INSTDIR\reg_values.properties"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
  FunctionEnd
!macroend
!insertmacro functions ""
!insertmacro functions "un."

; A failed installation leaves nothing behind: no service, no files, no uninstall entry.
Function rollBack
  Call removeService
  Call removeFiles
  SetErrorLevel 2
  Abort "Installation failed; the log above says why."
FunctionEnd

Section
  ${If} ${FileExists} "$INSTDIR\bin\Quorlin.exe"
    DetailPrint "Upgrade: removing the running service first"
    Call removeService
  ${EndIf}
  SetOutPath "$INSTDIR\bin"
  File "${PROGRAMS}/Quorlin.exe"
  File "${PROGRAMS}/vexil_setup.exe"
  SetOutPath "$INSTDIR"
  File /r "${SERVER_FILES}/*"
  ; vexil_setup writes reg_values.properties into its working folder: the root, beside the server.
  !insertmacro run '"$INSTDIR\bin\vexil_setup.exe"'
  ${If} $0 != 0
    DetailPrint "vexil_setup failed with exit code $0; its message box says why"
    Call rollBack
  ${EndIf}
  !insertmacro run '"$INSTDIR\bin\Quorlin.exe" -install'
  ${If} $0 != 0
    DetailPrint "Quorlin -install failed with exit code $0"
    Call rollBack
  ${EndIf}
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL}" "DisplayName" "Quorlin"
  WriteRegStr HKLM "${UNINSTALL}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL}" "NoRepair" 1
SectionEnd

Section Uninstall
  Call un.removeService
  ${If} $0 != 1
    DetailPrint "The service Quorlin is still there; nothing was deleted"
    SetErrorLevel 2
    Abort
  ${EndIf}
  Call un.removeFiles
  DeleteRegKey HKLM "${UNINSTALL}"
SectionEnd
