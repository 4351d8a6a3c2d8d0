// A window that the server shows while it starts. When the Java virtual machine cannot start (an -Xmx
// that the runtime cannot reserve, an unknown option) javaw.exe, which has no console, says so in a
// message box and waits for someone to press OK. A service's desktop is one that nobody sees: the box
// would wait for ever, and the start with it, its checkpoint rising and no record written.
#include "Quorlin.h"
#include <string.h>

static HWND shown;  // the server's window that the search found

// Whether the process is the server or one it started: those are in its job.
static bool ofServer(DWORD id)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);
    BOOL inJob = FALSE;
    bool server = id == GetProcessId(handles[1]) || (process && job && IsProcessInJob(process, job, &inJob) && inJob);
    if (process)
        CloseHandle(process);
    return server;
}

static BOOL CALLBACK findShown(HWND window, LPARAM)
{
    DWORD id = 0;
    GetWindowThreadProcessId(window, &id);
    if (!IsWindowVisible(window) || !ofServer(id))
        return TRUE;
    shown = window;
    return FALSE;
}

// Adds the text of each static control, where a message box keeps its text, to *(char**)texts.
static BOOL CALLBACK addText(HWND control, LPARAM texts)
{
    char kind[16], text[1024];
    if (GetClassNameA(control, kind, sizeof kind) && !_stricmp(kind, "Static") && GetWindowTextA(control, text, sizeof text))
        *(char**)texts = join(*(char**)texts, "\r\n", text, NULL);
    return TRUE;
}

// Looks for a window of the server's on this desktop. One found goes to the event log with its title and
// text, and is closed as its OK button would close it; a server that has not ended a few seconds later
// is ended. Whether one was found: the start has then failed.
bool closeServerWindow()
{
    shown = NULL;
    EnumWindows(findShown, 0);
    if (!shown)
        return false;
    char title[256] = "";
    GetWindowTextA(shown, title, sizeof title);
    char* text = join("The server showed a window while it started, which nobody on the service's desktop can "
                      "close: \"", title, "\"", NULL);
    EnumChildWindows(shown, addText, (LPARAM)&text);
    reportAs(EVENTLOG_ERROR_TYPE, SERVER_WINDOW, text);
    PostMessageA(shown, WM_COMMAND, IDOK, 0);
    if (WaitForSingleObject(handles[1], 5000) != WAIT_OBJECT_0)
        TerminateProcess(handles[1], ERROR_SERVICE_SPECIFIC_ERROR);
    return true;
}
