// The service: its status reports, its main, its control handler, and the program's main, which
// either runs a console command or hands the service to the Service Control Manager.
#include "Quorlin.h"
#include <errno.h>
#include <process.h>
#include <sddl.h>
#include <stdlib.h>

char* name = (char*)"Quorlin";
char* path;
SERVICE_STATUS_HANDLE ssh;
SERVICE_STATUS ss;
HANDLE handles[2];
CRITICAL_SECTION lock;
static ULONGLONG changed;  // 64-bit tick of the last change of state or checkpoint: it never wraps
static DWORD eventCode;  // why the named event is not ours, when handles[0] is null

// Linked statically, the C++ runtime's default terminate handler brings its name demangler along
// (about 75 KB) to print a text that no one of a service would read.
namespace __gnu_cxx {
void __verbose_terminate_handler() { abort(); }
}

static void setStatus(SERVICE_STATUS status)
{
    if (!SetServiceStatus(ssh, &status))
        report(message(GetLastError()));
}

// The service main changes ss under lock and reports a copy outside it: a report can wait for a
// control request in progress, whose handler takes the lock. edit says whether there is news to report.
template <class Edit> static SERVICE_STATUS change(Edit edit)
{
    EnterCriticalSection(&lock);
    bool news = edit();
    SERVICE_STATUS status = ss;
    LeaveCriticalSection(&lock);
    if (news)
        setStatus(status);
    return status;
}

// Running, with the stop controls accepted. Shutdown and preshutdown let the server save its work
// before the machine goes down; a system that knows no preshutdown refuses that report.
static void setRunning()
{
    SERVICE_STATUS running = change([] {
        ss.dwCurrentState = SERVICE_RUNNING;
        ss.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
        return false;
    });
    if (!SetServiceStatus(ssh, &running))
        change([] {
            ss.dwControlsAccepted &= ~SERVICE_ACCEPT_PRESHUTDOWN;
            return ss.dwCurrentState == SERVICE_RUNNING;
        });
}

// Waits for one of the objects. In a pending state the checkpoint rises once per wait hint since it
// last changed, so the Service Control Manager sees progress however long the server takes. A stop
// request comes in the middle of a wait, so each wait lasts only until the next checkpoint is due.
// While the server starts (the event and the server given), it is looked at every second for a window
// that waits for someone (window.cpp): one closed is the server's end.
static DWORD waitPending(DWORD count, const HANDLE* objects)
{
    DWORD result, wait = ss.dwWaitHint;
    while ((result = WaitForMultipleObjectsEx(count, objects, FALSE, count == 2 && wait > 1000 ? 1000 : wait,
                                              FALSE)) == WAIT_TIMEOUT) {
        if (count == 2 && closeServerWindow())
            return WAIT_OBJECT_0 + 1;
        change([&] {
            bool pending = ss.dwCurrentState == SERVICE_START_PENDING || ss.dwCurrentState == SERVICE_STOP_PENDING;
            ULONGLONG elapsed = GetTickCount64() - changed;
            bool due = pending && elapsed >= ss.dwWaitHint;
            if (due) {
                ss.dwCheckPoint++;
                changed += elapsed;
            }
            wait = pending && !due ? ss.dwWaitHint - (DWORD)elapsed : ss.dwWaitHint;
            return due;
        });
    }
    return result;
}

// The end of the service: the server's output up to its end, the record when there is one (of the
// identifier given), then the stopped state.
static void setStopped(DWORD exitCode, DWORD specificCode, DWORD id, const char* text)
{
    awaitOutput();
    reportAs(EVENTLOG_ERROR_TYPE, id, text);
    if (exitCode == ERROR_SERVICE_SPECIFIC_ERROR)  // the server ended: what it said last says why
        reportAs(EVENTLOG_ERROR_TYPE, SERVER_LAST_OUTPUT, lastLines());
    change([&] {
        ss.dwCurrentState = SERVICE_STOPPED;
        ss.dwControlsAccepted = 0;
        ss.dwWin32ExitCode = exitCode;
        ss.dwServiceSpecificExitCode = specificCode;
        return true;
    });
}

// The server has ended while running: after a stop request that is the stop's end, otherwise the
// server ended by itself and the service is reported stopped with its exit status.
static void serverEnded(int status)
{
    EnterCriticalSection(&lock);
    bool stopping = ss.dwCurrentState == SERVICE_STOP_PENDING;
    LeaveCriticalSection(&lock);
    char text[64];
    sprintf(text, "Server ended by itself with exit status %lu", (unsigned long)status);
    if (stopping)
        setStopped(NO_ERROR, 0, SERVICE_FAILED, NULL);
    else
        setStopped(ERROR_SERVICE_SPECIFIC_ERROR, status, SERVER_ENDED, text);
}

DWORD WINAPI QuorlinHandler(DWORD control, DWORD, void*, void*);

void WINAPI Quorlin(DWORD, char** argv)
{
    try {
        ss.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        ss.dwCurrentState = SERVICE_START_PENDING;
        ss.dwControlsAccepted = 0;
        ss.dwWaitHint = 5000;
        changed = GetTickCount64();
        ssh = RegisterServiceCtrlHandlerExA(argv[0], QuorlinHandler, NULL);
        if (!ssh)
            throw GetLastError();
        setStatus(ss);
        if (!handles[0])
            throw eventCode;
        char* program = launch();
        DWORD result = waitPending(2, handles);
        if (result == WAIT_FAILED)
            throw GetLastError();
        if (result == WAIT_OBJECT_0 + 1)
            throw 0UL;
        setRunning();
        reportAs(EVENTLOG_INFORMATION_TYPE, SERVER_STARTED, join("The server runs: ", program, NULL));
        // The same wait raises the checkpoint once a stop request has made the service stop pending.
        if (waitPending(1, &handles[1]) == WAIT_FAILED)
            throw GetLastError();
        int status = 0;
        if (_cwait(&status, (intptr_t)handles[1], 0) == -1)
            throw (unsigned long)-errno;
        serverEnded(status);
    } catch (unsigned long code) {
        if (code)
            setStopped(code, 0, SERVICE_FAILED, message(code));
        else
            setStopped(ERROR_SERVICE_SPECIFIC_ERROR, 0, SERVICE_FAILED, "Startup failed (check VexilProxyError)");
    }
}

// A stop, shutdown or preshutdown request signals the server through the named event and reports
// stop pending; the service main, which waits for the server's end, reports the rest. The handler
// returns at once, so that the Service Control Manager never times the request out.
DWORD WINAPI QuorlinHandler(DWORD control, DWORD, void*, void*)
{
    bool stop = control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN ||
                control == SERVICE_CONTROL_PRESHUTDOWN;
    EnterCriticalSection(&lock);
    if (stop && ss.dwCurrentState == SERVICE_RUNNING) {
        if (!SetEvent(handles[0]))
            report(message(GetLastError()));
        ss.dwCurrentState = SERVICE_STOP_PENDING;
        ss.dwControlsAccepted = 0;
        ss.dwCheckPoint = 0;
        ss.dwWaitHint = 5000;
        changed = GetTickCount64();
    }
    setStatus(ss);
    LeaveCriticalSection(&lock);
    return NO_ERROR;
}

// The true path of this executable: argv[0] may be a bare name found through PATH or a relative path.
static char* ownPath()
{
    const DWORD capacity = 32768;
    char* own = (char*)malloc(capacity);
    if (!own) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    DWORD length = GetModuleFileNameA(NULL, own, capacity);
    if (length == 0)
        return NULL;
    if (length == capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return NULL;
    }
    return own;
}

// The named event shared with the server, made here: only the system and Administrators may open it,
// so that no user can start or stop the server through it. One that exists already is someone else's
// (any user may make a global event of that name first): it is not used, and the start fails.
static void makeEvent()
{
    PSECURITY_DESCRIPTOR closed;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &closed,
                                                              NULL)) {
        eventCode = GetLastError();
        return;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, closed, FALSE};
    handles[0] = CreateEventA(&attributes, TRUE, FALSE, name);
    eventCode = GetLastError();
    LocalFree(closed);
    if (handles[0] && eventCode != ERROR_ALREADY_EXISTS)
        return;
    if (handles[0])
        CloseHandle(handles[0]);
    handles[0] = NULL;
    if (eventCode == ERROR_ALREADY_EXISTS || eventCode == ERROR_ACCESS_DENIED)
        reportAs(EVENTLOG_ERROR_TYPE, EVENT_TAKEN, "The event \"Quorlin\" was made by another program before the "
                 "service: the server is not started, as that program could start or stop it");
    if (eventCode == ERROR_INVALID_HANDLE)  // the name is held by an object of another kind (a mutex, say)
        reportAs(EVENTLOG_ERROR_TYPE, EVENT_TAKEN, "The name \"Quorlin\" is held by another program's object of "
                 "another kind: the server is not started, as it could not be signalled");
}

int main(int argc, char** argv)
{
    path = ownPath();
    if (argc < 1)
        return fail(ERROR_BAD_ARGUMENTS);
    if (argc > 1)
        return command(argv[1]);
    SERVICE_TABLE_ENTRYA table[] = {{name, Quorlin}, {NULL, NULL}};
    InitializeCriticalSection(&lock);
    makeEvent();
    if (!path || !StartServiceCtrlDispatcherA(table))
        report(message(GetLastError()));
    return 0;
}
