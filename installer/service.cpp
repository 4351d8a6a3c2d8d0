// The service as the installer and the uninstaller see it: its stop, its start, its removal.
#include "plugin.h"
#include <stdio.h>
#include <stdlib.h>
#include <tlhelp32.h>
#include <wchar.h>

static SC_HANDLE openService(DWORD access)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Quorlin", access) : NULL;
    if (manager)
        CloseServiceHandle(manager);
    return service;
}

// Whether the service is marked for deletion: a change that changes nothing is refused with 1072 then.
static bool marked(SC_HANDLE service)
{
    return !ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, NULL, NULL, NULL,
                                 NULL, NULL, NULL, NULL) &&
           GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

// Waits up to limit ms for every process that runs the program at path to end: the service's host
// reports that it stopped a moment before it ends, and until then its file can be neither deleted nor
// replaced.
static void awaitEnd(const wchar_t* path, DWORD limit)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    const wchar_t* name = wcsrchr(path, L'\\') ? wcsrchr(path, L'\\') + 1 : path;
    ULONGLONG end = GetTickCount64() + limit;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name))
            continue;
        HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        wchar_t image[MAX_PATH];
        DWORD size = MAX_PATH;
        ULONGLONG now = GetTickCount64();
        if (process && QueryFullProcessImageNameW(process, 0, image, &size) && !_wcsicmp(image, path))
            WaitForSingleObject(process, end > now ? (DWORD)(end - now) : 0);
        if (process)
            CloseHandle(process);
    }
    CloseHandle(snapshot);
}

// Leaves the line and result of awaitRemoval, for the service alone.
static void awaitService(stack_t** stack)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    // Our own handle keeps a deleted service for a moment too, and a busy machine's Service Control
    // Manager takes its time: only a service still marked after 20 s is held by another program.
    int marks = 0;
    for (int step = 0; manager && step < 1200; step++, Sleep(500)) {  // a server may take long to save its work
        SC_HANDLE service = OpenServiceW(manager, L"Quorlin", SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
        if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
            CloseServiceHandle(manager);
            return result(stack, L"0", L"The service Quorlin is gone");
        }
        SERVICE_STATUS_PROCESS status;
        DWORD size;
        bool held = service && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof status, &size) &&
                    status.dwCurrentState == SERVICE_STOPPED && !status.dwProcessId && marked(service);
        if (service)
            CloseServiceHandle(service);
        marks = held ? marks + 1 : 0;
        if (marks == 40) {
            CloseServiceHandle(manager);
            return result(stack, L"1072", L"The service Quorlin has stopped and is marked for deletion, but another "
                                          L"program holds it open (the services console, a monitoring agent): its "
                                          L"name goes when that program lets go, at the latest at the next restart");
        }
    }
    if (manager)
        CloseServiceHandle(manager);
    result(stack, L"2", L"The service Quorlin is still there after 10 minutes");
}

// After Quorlin -remove, given the host's path: waits until the service is gone ("0"), or has stopped,
// its process ended, and is marked for deletion while another program holds it open ("1072": its name
// goes when that program lets go, at the latest at the next restart); "2" when neither came in 10
// minutes. Then waits up to 30 s more for the host's process to end.
PLUGIN(awaitRemoval)
{
    wchar_t* host = popped(stack, room);
    if (!host)
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The removal of the service could not be awaited");
    awaitService(stack);
    awaitEnd(host, 30000);
    free(host);
}

// "1" when the service is marked for deletion, else "0".
PLUGIN(isMarked)
{
    SC_HANDLE service = openService(SERVICE_CHANGE_CONFIG);
    push(stack, service && marked(service) ? L"1" : L"0");
    if (service)
        CloseServiceHandle(service);
}


// Stops the service and waits until its process has ended: its server has stopped and its files are
// free. A start that stalls accepts no stop: its process is ended once the time is up (10 minutes, for
// a server that takes long to save its work). "1" when no process of it runs any more, else "0".
PLUGIN(stopService)
{
    if (faulted(L"stopService"))
        return result(stack, L"0", L"The service Quorlin did not stop");
    SC_HANDLE service = openService(SERVICE_QUERY_STATUS | SERVICE_STOP);
    SERVICE_STATUS_PROCESS status = {};
    DWORD size;
    if (!service || !QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof status, &size))
        status.dwProcessId = 0;  // no service, or one that cannot be asked: nothing of it runs
    HANDLE process = status.dwProcessId ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, status.dwProcessId) : NULL;
    bool ended = !process;
    for (int step = 0; !ended && step < 1200; step++) {
        SERVICE_STATUS now = {};
        if (QueryServiceStatus(service, &now) && now.dwCurrentState == SERVICE_RUNNING)
            ControlService(service, SERVICE_CONTROL_STOP, &now);
        status.dwCurrentState = now.dwCurrentState;
        ended = WaitForSingleObject(process, 500) == WAIT_OBJECT_0;
    }
    const wchar_t* line = ended ? L"The service Quorlin has stopped" : L"The service Quorlin did not stop";
    if (!ended && status.dwCurrentState == SERVICE_START_PENDING) {
        TerminateProcess(process, 1);
        ended = WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
        line = ended ? L"The start stalled: its process was ended; the service Quorlin has stopped"
                     : L"The start stalled, and its process could not be ended";
    }
    if (process)
        CloseHandle(process);
    if (service)
        CloseServiceHandle(service);
    result(stack, ended ? L"1" : L"0", line);
}

// How long a start may stay at checkpoint 0, which promises nothing: a server may take long to start.
const ULONGLONG START_LIMIT = 600000;

// Starts the service, retrying while another start holds the service database, and waits as
// Quorlin -install does: until it runs, stops, or its checkpoint has not risen for longer than its
// wait hint and a second (or, at checkpoint 0, for START_LIMIT). "1" when it runs, else "0".
PLUGIN(startService)
{
    wchar_t line[256];
    if (faulted(L"startService"))
        return result(stack, L"0", L"The start was refused: error 29");
    SC_HANDLE service = openService(SERVICE_START | SERVICE_QUERY_STATUS);
    BOOL started;
    while (!(started = service && StartServiceW(service, 0, NULL)) && GetLastError() == ERROR_SERVICE_DATABASE_LOCKED)
        Sleep(2000);
    if (!started) {
        swprintf(line, 256, L"The start was refused: error %lu", GetLastError());
        if (service)
            CloseServiceHandle(service);
        return result(stack, L"0", line);
    }
    SERVICE_STATUS status = {};  // a state of 0 when it cannot be asked
    DWORD checkpoint = 0;
    ULONGLONG since = GetTickCount64();
    swprintf(line, 256, L"The service Quorlin could not be asked for its state");
    while (Sleep(100), QueryServiceStatus(service, &status)) {
        if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOPPED)
            break;
        if (status.dwCheckPoint > checkpoint) {
            checkpoint = status.dwCheckPoint;
            since = GetTickCount64();
        } else if (GetTickCount64() - since > (checkpoint ? status.dwWaitHint + 1000 : START_LIMIT)) {
            swprintf(line, 256, L"The start of Quorlin stalled at checkpoint %lu", checkpoint);
            status.dwCurrentState = 0;
            break;
        }
    }
    CloseServiceHandle(service);
    if (status.dwCurrentState == SERVICE_RUNNING)
        return result(stack, L"1", L"The service Quorlin runs");
    if (status.dwCurrentState == SERVICE_STOPPED)
        swprintf(line, 256, L"The service Quorlin stopped: exit code %lu, service-specific exit code %lu",
                 status.dwWin32ExitCode, status.dwServiceSpecificExitCode);
    result(stack, L"0", line);
}
