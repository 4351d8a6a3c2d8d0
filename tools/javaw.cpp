// Stand-in for the Java runtime's javaw.exe: plays the server's side of the service contract for the
// demo, the tests and the benchmarks. Under any other file name it is a plain service instead.
//
// As javaw.exe it records how it was started in stand-in.log in its working directory, then behaves as
// the file behaviour.txt there says, one "key value" per line:
//   service NAME          the service it runs under, to see when it is reported running (Quorlin)
//   ready_after MS        set the event "Quorlin" after MS milliseconds (default 0)
//   exit_before STATUS    end with STATUS before signalling
//   exit_after MS STATUS  after running, end by itself with STATUS after MS milliseconds
//   exit_on_ready STATUS  signal and end with STATUS at the same moment
//   ignore_stop MS        after the stop signal, go on for MS milliseconds before ending
//   say TEXT              write TEXT as a line to standard error at the start (one line per say)
//   say_later MS TEXT     once the stop signal is seen, leave a child that holds the output and writes
//                         TEXT as a line MS milliseconds later, after the server has ended
//   say_at_stop TEXT      write TEXT as a line to standard error once the stop signal is seen, as its last
//   flood MB              once running, write MB megabytes of numbered lines to standard output as
//                         fast as it can, then "flood done"; records when it began and ended
//   flood_at_stop MB      once the stop signal is seen, MB megabytes more, numbered on, before its last line
//   flood_again_when FILE MB  after that, once FILE is there, MB megabytes more, numbered on
//   tick_when FILE        while it waits for that, once FILE is there, a line "tick" each 100 ms
// Lines in the server archive come after those: an upgrade test's previous version behaves otherwise.
//
// As a plain service it notes each start in "<its own path>.ran", waits the milliseconds of its first
// argument (or, given "until FILE", until the file is there) before it enters the service dispatcher
// (holding the Service Control Manager's start lock meanwhile), runs at once and stops on request. Given "stall", it stays start pending with
// checkpoint 1 and a wait hint of 500 ms for 3 s, then stops.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
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

// Waits until the service is reported running and records the controls it then accepts.
static void waitRunning(const char* service)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE handle = manager ? OpenServiceA(manager, service, SERVICE_QUERY_STATUS) : NULL;
    SERVICE_STATUS status = {};
    while (handle && QueryServiceStatus(handle, &status) && status.dwCurrentState != SERVICE_RUNNING)
        Sleep(10);
    fprintf(record, "accepts 0x%lx\n", status.dwControlsAccepted);
}

// Writes megabytes of numbered 100-byte lines to standard output in large writes, then a last line.
static void floodOutput(int megabytes, int line)
{
    static char block[100 * 1000 + 1];  // and the NUL after the last line
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written;
    note("flood begins");
    for (int at = 0; at < 100 * 1000; at += 100)
        sprintf(block + at, "flood line %09d %077d\r\n", 0, 0);
    for (int blocks = megabytes * 10; blocks > 0; blocks--) {
        for (int at = 0; at < 100 * 1000; at += 100, line++)
            for (int digit = 8, number = line; digit >= 0; digit--, number /= 10)
                block[at + 11 + digit] = '0' + number % 10;
        WriteFile(out, block, 100 * 1000, &written, NULL);
    }
    const char* last = "flood done\r\n";
    WriteFile(out, last, strlen(last), &written, NULL);
    note("flood ends");
}

// A child of the server that holds its output open and writes a last line after it has ended.
static void leaveChild(int ms, const char* text)
{
    char own[MAX_PATH], commandLine[MAX_PATH + 600];
    GetModuleFileNameA(NULL, own, MAX_PATH);
    snprintf(commandLine, sizeof commandLine, "javaw.exe --later %d \"%s\"", ms, text);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child;
    if (CreateProcessA(own, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child))
        note("child left");
}

static int server()
{
    char line[4096];
    record = fopen("stand-in.log", "a");
    fprintf(record, "command %s\n", GetCommandLineA());
    GetModuleFileNameA(NULL, line, sizeof line);
    fprintf(record, "program %s\n", line);
    GetCurrentDirectoryA(sizeof line, line);
    fprintf(record, "directory %s\n", line);
    for (char* entry = GetEnvironmentStringsA(); *entry; entry += strlen(entry) + 1)
        fprintf(record, "environment %s\n", entry);
    note("started");

    char service[256] = "Quorlin";
    int readyAfter = 0, exitBefore = -1, exitAfter = -1, exitAfterStatus = 0, ignoreStop = 0, exitOnReady = -1, flood = 0;
    int floodAgain = 0, floodAtStop = 0, sayLater = 0;
    char later[512] = "";
    char floodWhen[MAX_PATH] = "", tickWhen[MAX_PATH] = "", sayAtStop[512] = "";
    const char* files[] = {"behaviour.txt", ".\\server\\lib\\ZQ_glimmerfold_server.jar"};
    for (const char* file : files) {
        FILE* behaviour = fopen(file, "r");
        while (behaviour && fgets(line, sizeof line, behaviour)) {
            sscanf(line, "service %255s", service);
            sscanf(line, "ready_after %d", &readyAfter);
            sscanf(line, "exit_before %d", &exitBefore);
            sscanf(line, "exit_after %d %d", &exitAfter, &exitAfterStatus);
            sscanf(line, "ignore_stop %d", &ignoreStop);
            sscanf(line, "exit_on_ready %d", &exitOnReady);
            sscanf(line, "flood %d", &flood);
            sscanf(line, "flood_again_when %259s %d", floodWhen, &floodAgain);
            sscanf(line, "flood_at_stop %d", &floodAtStop);
            sscanf(line, "tick_when %259s", tickWhen);
            sscanf(line, "say_later %d %511[^\n]", &sayLater, later);
            if (!strncmp(line, "say ", 4))
                fputs(line + 4, stderr);
            if (!strncmp(line, "say_at_stop ", 12))
                snprintf(sayAtStop, sizeof sayAtStop, "%s", line + 12);
        }
    }
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
    if (flood)
        floodOutput(flood, 0);
    for (DWORD written; floodAgain && GetFileAttributesA(floodWhen) == INVALID_FILE_ATTRIBUTES; Sleep(100))
        if (*tickWhen && GetFileAttributesA(tickWhen) != INVALID_FILE_ATTRIBUTES)
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "tick\r\n", 6, &written, NULL);
    if (floodAgain)
        floodOutput(floodAgain, flood * 10000);
    if (exitAfter >= 0) {
        Sleep(exitAfter);
        note("ending by itself");
        return exitAfterStatus;
    }
    WaitForSingleObject(event, INFINITE);
    note("stop seen");
    Sleep(ignoreStop);
    if (floodAtStop)
        floodOutput(floodAtStop, (flood + floodAgain) * 10000);
    fputs(sayAtStop, stderr);
    if (sayLater)
        leaveChild(sayLater, later);
    fflush(stderr);
    note("ended");
    return 0;
}

static SERVICE_STATUS_HANDLE handle;
static SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
static HANDLE stopped;

static void WINAPI control(DWORD code)
{
    if (code == SERVICE_CONTROL_STOP) {
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

static int plainService(int argc, char** argv, const char* own)
{
    char marker[MAX_PATH + 8];
    FILE* ran = fopen(strcat(strcpy(marker, own), ".ran"), "a");
    if (ran) {
        fputs("ran\n", ran);
        fclose(ran);
    }
    if (argc > 1 && !strcmp(argv[1], "stall")) {
        status.dwCurrentState = SERVICE_START_PENDING;
        status.dwCheckPoint = 1;
        status.dwWaitHint = 500;
    }
    if (argc > 2 && !strcmp(argv[1], "until"))  // the start lock held until the file is there
        while (GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES)
            Sleep(50);
    else
        Sleep(argc > 1 ? atoi(argv[1]) : 0);
    stopped = CreateEventA(NULL, TRUE, FALSE, NULL);
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {NULL, NULL}};
    return !StartServiceCtrlDispatcherA(table);
}

int main(int argc, char** argv)
{
    char own[MAX_PATH];
    GetModuleFileNameA(NULL, own, MAX_PATH);
    const char* file = strrchr(own, '\\') + 1;
    if (argc > 3 && !strcmp(argv[1], "--later")) {
        Sleep(atoi(argv[2]));
        fprintf(stderr, "%s\n", argv[3]);
        return 0;
    }
    return _stricmp(file, "javaw.exe") ? plainService(argc, argv, own) : server();
}
