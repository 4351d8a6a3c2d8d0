// Stand-in for the Java runtime's javaw.exe: plays the server's side of the service contract.
// It records what it was given in server.log in its working directory, then behaves as the
// file behaviour.txt there says, one "key value" per line:
//   service NAME        the service it runs under (to see when it is reported running)
//   ready_after MS      set the event "Quorlin" after MS milliseconds (default 0)
//   never_ready         neither signal nor end
//   exit_before STATUS  end with STATUS before signalling
//   exit_after MS STATUS  after running, end by itself with STATUS after MS milliseconds
//   exit_on_ready STATUS  signal and end with STATUS at the same moment
//   ignore_stop MS      after the stop signal, go on for MS milliseconds before ending
#include <windows.h>
#include <stdio.h>
#include <string.h>

static FILE* record;

// Records a step, and when it happened on the performance counter, which all processes share.
static void note(const char* text)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    fprintf(record, "%s\nat %s %lld\n", text, text, now.QuadPart);
    fflush(record);
}

static void waitRunning(const char* service)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE handle = manager ? OpenServiceA(manager, service, SERVICE_QUERY_STATUS) : NULL;
    SERVICE_STATUS status = {};
    while (handle && QueryServiceStatus(handle, &status) && status.dwCurrentState != SERVICE_RUNNING)
        Sleep(10);
}

int main()
{
    char line[4096];
    record = fopen("server.log", "a");
    fprintf(record, "command %s\n", GetCommandLineA());
    GetCurrentDirectoryA(sizeof line, line);
    fprintf(record, "directory %s\n", line);
    for (char* entry = GetEnvironmentStringsA(); *entry; entry += strlen(entry) + 1)
        fprintf(record, "environment %s\n", entry);
    note("started");

    char service[256] = "";
    int readyAfter = 0, exitBefore = -1, exitAfter = -1, exitAfterStatus = 0, ignoreStop = 0, neverReady = 0,
        exitOnReady = -1;
    FILE* behaviour = fopen("behaviour.txt", "r");
    while (behaviour && fgets(line, sizeof line, behaviour)) {
        sscanf(line, "service %255s", service);
        sscanf(line, "ready_after %d", &readyAfter);
        sscanf(line, "exit_before %d", &exitBefore);
        sscanf(line, "exit_after %d %d", &exitAfter, &exitAfterStatus);
        sscanf(line, "ignore_stop %d", &ignoreStop);
        sscanf(line, "exit_on_ready %d", &exitOnReady);
        neverReady |= !strncmp(line, "never_ready", 11);
    }
    if (neverReady)
        Sleep(INFINITE);
    if (exitBefore >= 0) {
        note("ending");
        return exitBefore;
    }

    Sleep(readyAfter);
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, "Quorlin");
    if (!event) {
        note("no event");
        return 99;
    }
    SetEvent(event);
    note("ready");
    if (exitOnReady >= 0)
        return exitOnReady;
    // The same event later carries the stop signal: take it back once the service has seen it.
    waitRunning(service);
    ResetEvent(event);
    note("armed");
    if (exitAfter >= 0) {
        Sleep(exitAfter);
        note("ending by itself");
        return exitAfterStatus;
    }
    WaitForSingleObject(event, INFINITE);
    note("stop seen");
    Sleep(ignoreStop);
    note("ended");
    return 0;
}
