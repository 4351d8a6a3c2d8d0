// Quorlin -install and Quorlin -remove: the service's registration, its start as an operator sees
// it, its removal.
#include "Quorlin.h"
#include "trust.h"
#include <stdlib.h>
#include <string.h>

// The registered command line: a path with blanks is quoted, or Windows would try C:\Program.exe first.
static char* commandLine()
{
    return strchr(path, ' ') ? join("\"", path, "\"", NULL) : path;
}

// Polls the starting service until it runs, stops, or its checkpoint has not risen for longer than
// its wait hint; a checkpoint of 0 has made no promise yet. Polled often, so that "Service started"
// follows the running state closely.
int awaitStart(SC_HANDLE service)
{
    SERVICE_STATUS status;
    DWORD checkpoint = 0;
    ULONGLONG since = GetTickCount64();
    for (;; Sleep(100)) {
        if (!QueryServiceStatus(service, &status))
            throw GetLastError();
        if (status.dwCurrentState == SERVICE_RUNNING) {
            puts("Service started");
            return 0;
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            break;
        if (status.dwCheckPoint > checkpoint) {
            checkpoint = status.dwCheckPoint;
            since = GetTickCount64();
        } else if (checkpoint && GetTickCount64() - since > status.dwWaitHint + 1000) {
            break;
        }
    }
    puts("Failed to start service");
    if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
        printf("Service specific exit code %d\n", (int)status.dwServiceSpecificExitCode);
    else
        printf("Exit code %d\n", (int)status.dwWin32ExitCode);
    // A start that stalled without an exit code must not look like success to a script.
    if (status.dwCurrentState != SERVICE_STOPPED && !status.dwWin32ExitCode)
        return -ERROR_SERVICE_REQUEST_TIMEOUT;
    return -(int)status.dwWin32ExitCode;
}

// Gives the service time to stop its server before the machine goes down; a system that knows no
// preshutdown has no such setting.
void allowShutdown(SC_HANDLE service)
{
    SERVICE_PRESHUTDOWN_INFO preshutdown = {180000};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown) &&
        GetLastError() != ERROR_INVALID_LEVEL)
        throw GetLastError();
}

// Whether this executable's path is exactly the one registered: the system maps a character beyond
// the ANSI code page to a look-alike, and the service would run another program, at a path that
// anyone may make first.
static bool namedExactly()
{
    const DWORD capacity = 32768;
    wchar_t* own = (wchar_t*)malloc(capacity * sizeof(wchar_t));
    DWORD length = own ? GetModuleFileNameW(NULL, own, capacity) : 0;
    bool exact = length && length < capacity && ansiExact(own);
    free(own);
    return exact;
}

static int install(SC_HANDLE manager)
{
    if (!namedExactly())
        throw (unsigned long)ERROR_NO_UNICODE_TRANSLATION;
    SC_HANDLE service = CreateServiceA(manager, name, name, SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       commandLine(), NULL, NULL, NULL, NULL, NULL);
    if (!service)
        throw GetLastError();
    CloseServiceHandle(manager);
    allowShutdown(service);
    HKEY key;
    DWORD disposition;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\EventLog\\Application\\Quorlin",
                                  0, (char*)"", REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key, &disposition);
    if (result != ERROR_SUCCESS)
        throw (unsigned long)result;
    while (!StartServiceA(service, 0, NULL)) {
        DWORD code = GetLastError();
        if (code != ERROR_SERVICE_DATABASE_LOCKED)
            throw code;
        Sleep(2000);  // another service is starting and holds the lock
    }
    return awaitStart(service);
}

static int uninstall(SC_HANDLE manager)
{
    SC_HANDLE service = OpenServiceA(manager, name, STANDARD_RIGHTS_REQUIRED | SERVICE_STOP);
    if (!service)
        throw GetLastError();
    CloseServiceHandle(manager);
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);  // a service that is not running is deleted all the same
    if (!DeleteService(service))
        throw GetLastError();
    puts("Service removed");
    return 0;
}

// Prints the text of code and makes it the exit code.
int fail(unsigned long code)
{
    char* text = message(code);
    if (text)
        puts(text);
    return code;
}

int command(const char* argument)
{
    try {
        if (!path)
            throw GetLastError();
        SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CREATE_SERVICE);
        if (!manager)
            throw GetLastError();
        if (!_stricmp(argument, "-install"))
            return install(manager);
        if (!_stricmp(argument, "-remove"))
            return uninstall(manager);
        return 0;
    } catch (unsigned long code) {
        return fail(code);
    }
}
