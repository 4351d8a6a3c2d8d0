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
CRITICAL_SECTION lock;           // held by whichever thread changes ss (the service main or the handler)
DWORD changed;                   // tick count of the last change of state or checkpoint

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

// The end of the service: its event first, when there is one, then the stopped state.
static void setStopped(DWORD exitCode, DWORD specificCode, const char* text)
{
    report(text);
    change([&] {
        ss.dwCurrentState = SERVICE_STOPPED;
        ss.dwControlsAccepted = 0;
        ss.dwWin32ExitCode = exitCode;
        ss.dwServiceSpecificExitCode = specificCode;
        return true;
    });
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
static DWORD waitPending(DWORD count, const HANDLE* objects)
{
    DWORD result, wait = ss.dwWaitHint;
    while ((result = WaitForMultipleObjectsEx(count, objects, FALSE, wait, FALSE)) == WAIT_TIMEOUT)
        change([&] {
            bool pending = ss.dwCurrentState == SERVICE_START_PENDING || ss.dwCurrentState == SERVICE_STOP_PENDING;
            DWORD elapsed = GetTickCount() - changed;
            bool due = pending && elapsed >= ss.dwWaitHint;
            if (due) {
                ss.dwCheckPoint++;
                changed += elapsed;
            }
            wait = pending && !due ? ss.dwWaitHint - elapsed : ss.dwWaitHint;
            return due;
        });
    return result;
}

// The parent of the directory that holds the executable: D:\Apps\Srv for D:\Apps\Srv\bin\Quorlin.exe,
// and C: for C:\bin\Quorlin.exe.
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
static void launch()
{
    char* root = installationRoot();
    // With the trailing backslash, a root of "C:" is the drive's top folder, not its current one.
    if (_chdir(join(root, "\\", NULL)) == -1)
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
        setStopped(NO_ERROR, 0, NULL);
    else
        setStopped(ERROR_SERVICE_SPECIFIC_ERROR, status, text);
}

DWORD WINAPI QuorlinHandler(DWORD control, DWORD, void*, void*);

void WINAPI Quorlin(DWORD, char** argv)
{
    try {
        ss.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        ss.dwCurrentState = SERVICE_START_PENDING;
        ss.dwControlsAccepted = 0;
        ss.dwWaitHint = 5000;
        changed = GetTickCount();
        ssh = RegisterServiceCtrlHandlerExA(argv[0], QuorlinHandler, NULL);
        if (!ssh)
            throw GetLastError();
        setStatus(ss);
        launch();
        DWORD result = waitPending(2, handles);
        if (result == WAIT_FAILED)
            throw GetLastError();
        if (result == WAIT_OBJECT_0 + 1)
            throw 0UL;
        setRunning();
        // The same wait raises the checkpoint once a stop request has made the service stop pending.
        if (waitPending(1, &handles[1]) == WAIT_FAILED)
            throw GetLastError();
        int status = 0;
        if (_cwait(&status, (intptr_t)handles[1], 0) == -1)
            throw (unsigned long)-errno;
        serverEnded(status);
    } catch (unsigned long code) {
        if (code)
            setStopped(code, 0, message(code));
        else
            setStopped(ERROR_SERVICE_SPECIFIC_ERROR, 0, "Startup failed (check VexilProxyError)");
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
        changed = GetTickCount();
    }
    setStatus(ss);
    LeaveCriticalSection(&lock);
    return NO_ERROR;
}

// The registered command line: a path with blanks is quoted, or Windows would try C:\Program.exe first.
static char* commandLine()
{
    return strchr(path, ' ') ? join("\"", path, "\"", NULL) : path;
}

// Polls the starting service until it runs, stops, or its checkpoint has not risen for longer than
// its wait hint; a checkpoint of 0 has made no promise yet. Polled often, so that "Service started"
// follows the running state closely.
static int awaitStart(SC_HANDLE service)
{
    SERVICE_STATUS status;
    DWORD checkpoint = 0, since = GetTickCount();
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
            since = GetTickCount();
        } else if (checkpoint && GetTickCount() - since > status.dwWaitHint + 1000) {
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
static void allowShutdown(SC_HANDLE service)
{
    SERVICE_PRESHUTDOWN_INFO preshutdown = {180000};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown) &&
        GetLastError() != ERROR_INVALID_LEVEL)
        throw GetLastError();
}

static int install(SC_HANDLE manager)
{
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
    InitializeCriticalSection(&lock);
    if (!path || !(handles[0] = CreateEventA(NULL, TRUE, FALSE, name)) || !StartServiceCtrlDispatcherA(table))
        report(message(GetLastError()));
    return 0;
}
