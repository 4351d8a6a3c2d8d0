// Quorlin: runs the Java server as the Windows service "Quorlin".
//   Quorlin -install   registers this executable as an auto-start service and starts it
//   Quorlin -remove    stops and deletes the service
//   Quorlin            (started by the Service Control Manager) the service process itself
// stdio.h comes first, before any C++ runtime header can switch printf to mingw's larger replacement.
#include <stdio.h>
#include <windows.h>
#include <direct.h>
#include <errno.h>
#include <process.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

char* name = (char*)"Quorlin";   // service name, name of the event shared with the server, event source
char* path;                      // full path of the running executable
SERVICE_STATUS_HANDLE ssh;       // handle for the status reports of the one service
SERVICE_STATUS ss;               // the service's status, as last reported
HANDLE handles[2];               // [0] the named event shared with the server, [1] the server process
LONG stopping;                   // set once by whichever thread reports the end of a running server

// Linked statically, the C++ runtime's default terminate handler brings its name demangler along
// (about 75 KB) to print a text that no one of a service would read.
namespace __gnu_cxx {
void __verbose_terminate_handler() { abort(); }
}

// The system's text for code, else "error " and the code as a signed decimal; null if out of memory.
char* message(unsigned long code)
{
    char* text = NULL;
    // System texts may hold insertion sequences such as %1; they are shown as they stand.
    if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (char*)&text, 0, NULL))
        return text;
    char digits[32];
    _itoa((int)code, digits, 10);
    text = (char*)LocalAlloc(LPTR, strlen("error ") + strlen(digits) + 1);
    if (!text)
        return NULL;
    strcpy(text, "error ");
    return strcat(text, digits);
}

// Writes text as one error event under the source name; failures to do so are not reported anywhere.
void report(const char* text)
{
    if (!text)
        return;
    HANDLE source = RegisterEventSourceA(NULL, name);
    if (!source)
        return;
    ReportEventA(source, EVENTLOG_ERROR_TYPE, 0, 0, NULL, 1, 0, &text, NULL);
    DeregisterEventSource(source);
}

// The texts up to the null pointer, joined into a new heap text.
static char* join(const char* first, ...)
{
    va_list texts;
    size_t length = 0;
    va_start(texts, first);
    for (const char* text = first; text; text = va_arg(texts, const char*))
        length += strlen(text);
    va_end(texts);
    char* joined = (char*)malloc(length + 1);
    if (!joined)
        throw (unsigned long)ERROR_NOT_ENOUGH_MEMORY;
    *joined = 0;
    va_start(texts, first);
    for (const char* text = first; text; text = va_arg(texts, const char*))
        strcat(joined, text);
    va_end(texts);
    return joined;
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

static void setStatus()
{
    if (!SetServiceStatus(ssh, &ss))
        report(message(GetLastError()));
}

static void setStopped(DWORD exitCode, DWORD specificCode)
{
    ss.dwCurrentState = SERVICE_STOPPED;
    ss.dwControlsAccepted = 0;
    ss.dwWin32ExitCode = exitCode;
    ss.dwServiceSpecificExitCode = specificCode;
    setStatus();
}

// Waits in steps of the wait hint; each step without a result raises the checkpoint, so the Service
// Control Manager sees a pending state that makes progress however long the server takes.
static DWORD waitPending(DWORD count, const HANDLE* objects)
{
    DWORD result;
    while ((result = WaitForMultipleObjectsEx(count, objects, FALSE, ss.dwWaitHint, FALSE)) == WAIT_TIMEOUT) {
        ss.dwCheckPoint++;
        setStatus();
    }
    return result;
}

// The parent of the directory that holds the executable: D:\Apps\Srv for D:\Apps\Srv\bin\Quorlin.exe.
static char* installationRoot()
{
    char* root = join(path, NULL);
    for (int component = 0; component < 2; component++) {
        char* last = strrchr(root, '\\');
        if (!last)
            throw (unsigned long)ERROR_BAD_PATHNAME;
        *last = 0;
    }
    return root;
}

// A server left behind by a crashed or killed service would still hold its port: the job ends it
// together with this process.
static void bindToService(HANDLE server)
{
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    HANDLE job = CreateJobObjectA(NULL, NULL);
    if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, server))
        report(message(GetLastError()));
}

// Starts javaw.exe from the installation root with an environment of exactly PATH and SystemRoot.
// Returns a second handle to the server for the final wait: _cwait releases the handle it waits on,
// and the stop handler must go on waiting on handles[1].
static HANDLE launch()
{
    char* root = installationRoot();
    if (_chdir(root) == -1)
        throw (unsigned long)-errno;
    const char* systemPath = getenv("PATH");
    const char* systemRoot = getenv("SystemRoot");
    const char* javaOpts = getenv("JAVA_OPTS");
    if (!systemPath || !systemRoot)
        throw (unsigned long)ERROR_ENVVAR_NOT_FOUND;
    char* pathEntry = join("PATH=", root, "\\bin;", systemPath, NULL);
    char* environment[] = {pathEntry, join("SystemRoot=", systemRoot, NULL), NULL};
    intptr_t server = _spawnlpe(_P_NOWAIT, "javaw.exe", "javaw.exe", javaOpts ? javaOpts : "", "-jar",
                                ".\\server\\lib\\ZQ_glimmerfold_server.jar", "-e", NULL, environment);
    if (server == -1)
        throw (unsigned long)-errno;
    handles[1] = (HANDLE)server;
    bindToService(handles[1]);
    free(pathEntry);
    free(path);
    path = NULL;
    HANDLE waited;
    if (!DuplicateHandle(GetCurrentProcess(), handles[1], GetCurrentProcess(), &waited, 0, FALSE, DUPLICATE_SAME_ACCESS))
        throw GetLastError();
    return waited;
}

// Called once the server has ended while running: unless a stop is under way, whose handler reports
// the end, the service is reported stopped with the server's exit status.
static void serverEnded(unsigned long code, int status)
{
    if (InterlockedExchange(&stopping, 1))
        return;
    if (code)
        throw code;
    char text[64];
    sprintf(text, "Server ended by itself with exit status %lu", (unsigned long)status);
    report(text);
    setStopped(ERROR_SERVICE_SPECIFIC_ERROR, status);
}

void WINAPI QuorlinHandler(DWORD control);

void WINAPI Quorlin(DWORD, char** argv)
{
    try {
        ss.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        ss.dwCurrentState = SERVICE_START_PENDING;
        ss.dwControlsAccepted = 0;
        ss.dwWaitHint = 5000;
        ssh = RegisterServiceCtrlHandlerA(argv[0], QuorlinHandler);
        if (!ssh)
            throw GetLastError();
        setStatus();
        HANDLE waited = launch();
        DWORD result = waitPending(2, handles);
        if (result == WAIT_FAILED)
            throw GetLastError();
        if (result == WAIT_OBJECT_0 + 1)
            throw 0UL;
        ss.dwCurrentState = SERVICE_RUNNING;
        ss.dwControlsAccepted = SERVICE_ACCEPT_STOP;
        setStatus();
        int status = 0;
        unsigned long code = _cwait(&status, (intptr_t)waited, 0) == -1 ? -errno : 0;
        serverEnded(code, status);
    } catch (unsigned long code) {
        if (code) {
            report(message(code));
            setStopped(code, 0);
        } else {
            report("Startup failed (check VexilProxyError)");
            setStopped(ERROR_SERVICE_SPECIFIC_ERROR, 0);
        }
    }
}

// Signals the server through the named event and reports stop pending until its process has ended.
static void stop()
{
    if (!SetEvent(handles[0]))
        report(message(GetLastError()));
    ss.dwCurrentState = SERVICE_STOP_PENDING;
    ss.dwControlsAccepted = 0;
    ss.dwCheckPoint = 0;
    ss.dwWaitHint = 5000;
    setStatus();
    if (waitPending(1, &handles[1]) == WAIT_FAILED)
        report(message(GetLastError()));
    ss.dwCurrentState = SERVICE_STOPPED;
    setStatus();
}

void WINAPI QuorlinHandler(DWORD control)
{
    if (control == SERVICE_CONTROL_STOP && !InterlockedExchange(&stopping, 1))
        stop();
    else
        setStatus();
}

// The registered command line: a path with blanks is quoted, or Windows would try C:\Program.exe first.
static char* commandLine()
{
    return strchr(path, ' ') ? join("\"", path, "\"", NULL) : path;
}

// Polls the starting service until it runs, stops, or its checkpoint no longer rises.
static int awaitStart(SC_HANDLE service)
{
    SERVICE_STATUS status;
    DWORD previous = 0;
    for (;;) {
        if (!QueryServiceStatus(service, &status))
            throw GetLastError();
        if (status.dwCurrentState == SERVICE_RUNNING) {
            puts("Service started");
            return 0;
        }
        if (status.dwCurrentState == SERVICE_STOPPED || (previous && status.dwCheckPoint <= previous))
            break;
        previous = status.dwCheckPoint;
        Sleep(status.dwWaitHint);
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

static int install(SC_HANDLE manager)
{
    SC_HANDLE service = CreateServiceA(manager, name, name, SERVICE_START | SERVICE_QUERY_STATUS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       commandLine(), NULL, NULL, NULL, NULL, NULL);
    if (!service)
        throw GetLastError();
    CloseServiceHandle(manager);
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
static int fail(unsigned long code)
{
    char* text = message(code);
    if (text)
        puts(text);
    return code;
}

static int command(const char* argument)
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

int main(int argc, char** argv)
{
    path = ownPath();
    if (argc < 1)
        return fail(ERROR_BAD_ARGUMENTS);
    if (argc > 1)
        return command(argv[1]);
    SERVICE_TABLE_ENTRYA table[] = {{name, Quorlin}, {NULL, NULL}};
    if (!path || !(handles[0] = CreateEventA(NULL, TRUE, FALSE, name)) || !StartServiceCtrlDispatcherA(table))
        report(message(GetLastError()));
    return 0;
}
