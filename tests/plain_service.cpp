// A trivial service for the tests and benchmarks: it notes each start in "<its own path>.ran", waits
// the milliseconds of its first argument before it enters the service dispatcher (holding the
// start lock of the Service Control Manager meanwhile), runs at once and stops at once. Given
// "stall", it stays start pending with checkpoint 1 and a wait hint of 500 ms for 3 s, then stops.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static SERVICE_STATUS_HANDLE handle;
static SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
static HANDLE stopped;

static void WINAPI control(DWORD code)
{
    if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) {
        status.dwCurrentState = SERVICE_STOPPED;
        SetEvent(stopped);
    }
    SetServiceStatus(handle, &status);
}

static void WINAPI serviceMain(DWORD, char** argv)
{
    handle = RegisterServiceCtrlHandlerA(argv[0], control);
    SetServiceStatus(handle, &status);
    if (status.dwCurrentState == SERVICE_START_PENDING) {
        Sleep(3000);
        status.dwCurrentState = SERVICE_STOPPED;
        SetServiceStatus(handle, &status);
    }
    WaitForSingleObject(stopped, INFINITE);
}

int main(int argc, char** argv)
{
    char marker[MAX_PATH + 8];
    GetModuleFileNameA(NULL, marker, MAX_PATH);
    strcat(marker, ".ran");
    FILE* ran = fopen(marker, "a");
    if (ran) {
        fputs("ran\n", ran);
        fclose(ran);
    }
    if (argc > 1 && !strcmp(argv[1], "stall")) {
        status.dwCurrentState = SERVICE_START_PENDING;
        status.dwCheckPoint = 1;
        status.dwWaitHint = 500;
    }
    Sleep(argc > 1 ? atoi(argv[1]) : 0);
    stopped = CreateEventA(NULL, TRUE, FALSE, NULL);
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {NULL, NULL}};
    return !StartServiceCtrlDispatcherA(table);
}
