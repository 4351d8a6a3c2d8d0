// Quorlin: runs the Java server as the Windows service "Quorlin". What its parts share:
//   service.cpp       the service's status, its main and control handler, the program's main
//   installation.cpp  Quorlin -install and Quorlin -remove
//   server.cpp        the server's launch: its root, its javaw.exe, its environment, its job
//   output.cpp        the server's output: the pipe, the log and its rotation, the last lines
//   events.cpp        error texts and event-log records
//   window.cpp        a window that the server shows while it starts: the Java launcher's message box
// stdio.h comes first, before any C++ runtime header can switch printf to mingw's larger replacement.
#pragma once
#include <stdio.h>
#include <windows.h>
#include "messages.h"  // the identifiers of the event-log records

extern char* name;                 // service name, name of the event shared with the server, event source
extern char* path;                 // full path of the running executable
extern SERVICE_STATUS_HANDLE ssh;  // handle for the status reports of the one service
extern SERVICE_STATUS ss;          // the service's status, as last reported
extern HANDLE handles[2];          // [0] the named event shared with the server, [1] the server process
extern CRITICAL_SECTION lock;      // held by whichever thread changes ss (the service main or the handler)

// events.cpp
char* message(unsigned long code);
void reportAs(WORD type, DWORD id, const char* text);
void report(const char* text);
char* join(const char* first, ...);

// server.cpp
extern HANDLE job;  // the server and all it starts
char* launch();
// Whether nobody but the trusted may change the file or folder, or any folder above it.
bool unchangeable(const char* file);
// Whether the file or folder's owner is among the trusted and no one else is granted any of rights.
bool closedToOthers(const char* file, DWORD rights);

// output.cpp
HANDLE makeOutput(const char* root);
void awaitOutput();
char* lastLines();

// window.cpp
bool closeServerWindow();

// installation.cpp
int command(const char* argument);
int fail(unsigned long code);
