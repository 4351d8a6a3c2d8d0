// QuorlinSetup.dll: the installer's own NSIS plugin, for the steps that System::Call chains would make
// hard to read. Each function takes its arguments from NSIS's stack and leaves there the line for the
// installer's log, and under it the result: "" (nothing to do), "0" (done) or the error code. Files:
//   stack.cpp      NSIS's stack, the results left on it, the command line: namedRoot
//   options.cpp    setJavaOptions, restoreJavaOptions, setRecovery
//   root.cpp       closeRoot, checkKept, protect
//   log.cpp        prepareLogFolder
//   service.cpp    stopService, startService, awaitRemoval, isMarked
//   programs.cpp   run, handOver
//   files.cpp      keepFile, placeFile, restoreFile
//   entry.cpp      registerProduct, unregisterProduct, newerInstalled
//   removal.cpp    deleteFile, deleteAtRestart, clearPending
//   faults.cpp     the test build's failing steps
#pragma once
#include <windows.h>

// NSIS's stack of strings, as its plugin interface hands it over (Unicode installer).
struct stack_t {
    stack_t* next;
    wchar_t text[1];
};

#define PLUGIN(function) extern "C" __declspec(dllexport) void function(HWND, [[maybe_unused]] int room, wchar_t*, stack_t** stack, void*)

// Owned by Administrators, passed down to all below: the system and Administrators full control, Users
// read and run.
const wchar_t* const CLOSED = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

void push(stack_t** stack, const wchar_t* text);
// Takes the top of the stack into text (room characters); false when the stack is empty.
bool pop(stack_t** stack, wchar_t* text, int room);
// The top of the stack as a new heap text of up to room characters; null when out of memory or empty.
wchar_t* popped(stack_t** stack, int room);
void result(stack_t** stack, const wchar_t* code, const wchar_t* line);
// The result code, and the line "<what>: error <code> (<the system's text>)".
void failed(stack_t** stack, DWORD code, const wchar_t* what);
// The result "2", and the line why with path in place of its %ls.
void refuse(stack_t** stack, const wchar_t* path, const wchar_t* why);

// The value of /OPTION=<value> on the installer's command line, quoted as a whole or after the equals
// sign, as the system splits a command line; null when not named.
wchar_t* named(const wchar_t* option);

// Gives path, opened without following a link, the owner and DACL of the descriptor; then all it holds.
// The path that failed goes to *failedAt.
DWORD closeTree(const wchar_t* path, PSECURITY_DESCRIPTOR closed, wchar_t** failedAt);
// Makes the folder and any parent missing, each with the descriptor from the start; ERROR_ALREADY_EXISTS
// when the folder itself was there.
DWORD makeClosed(wchar_t* folder, PSECURITY_DESCRIPTOR closed);

#include "faults.h"
