// Quorlin: runs the Java server as the Windows service "Quorlin".
//   Quorlin -install   registers this executable as an auto-start service and starts it
//   Quorlin -remove    stops and deletes the service
//   Quorlin            (started by the Service Control Manager) the service process itself
// stdio.h comes first, before any C++ runtime header can switch printf to mingw's larger replacement.
#include <stdio.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
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
HANDLE output;                   // read end of the pipe that carries the server's standard output and error
HANDLE drainer;                  // the thread that copies that output into the server's log
char* logPath;                   // <root>\logs\server.log; its older files are server.1.log to server.4.log
HANDLE logFile;                  // the current server log, opened for appending
DWORD logged;                    // bytes in the current server log
const DWORD LOG_LIMIT = 10000000;  // bytes in one file of the server's log
const int KEPT_LOGS = 4;           // older files of the server's log that are kept
char tail[2048];                 // the server's last output, for the event log when it ends by itself
DWORD tailLength;                // bytes held in tail

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

// Writes text as one event of the type under the source name; failures to do so are not reported anywhere.
static void reportAs(WORD type, const char* text)
{
    if (!text)
        return;
    HANDLE source = RegisterEventSourceA(NULL, name);
    if (!source)
        return;
    ReportEventA(source, type, 0, 0, NULL, 1, 0, &text, NULL);
    DeregisterEventSource(source);
}

// Writes text as one error event.
void report(const char* text)
{
    reportAs(EVENTLOG_ERROR_TYPE, text);
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

// Whether sid is one of those that may change what the service runs: the system, Administrators,
// TrustedInstaller, or the account the service runs as (LocalSystem; under Wine, the prefix's user).
static bool trusted(PSID sid)
{
    static PSID installer, self;
    static char user[256];
    if (!installer && !ConvertStringSidToSidA("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer))
        return false;
    HANDLE token;
    DWORD size;
    if (!self && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (GetTokenInformation(token, TokenUser, user, sizeof user, &size))
            self = ((TOKEN_USER*)user)->User.Sid;
        CloseHandle(token);
    }
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           EqualSid(sid, installer) || (self && EqualSid(sid, self));
}

// Whether nobody but a trusted account owns the file or folder or may write, delete or re-permission it.
static bool unchangeable(const char* file)
{
    const DWORD changes = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                          FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    PSID owner;
    PACL dacl;
    PSECURITY_DESCRIPTOR descriptor;
    if (GetNamedSecurityInfoA(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              NULL, &dacl, NULL, &descriptor) != ERROR_SUCCESS)
        return false;
    bool closed = owner && trusted(owner) && dacl;  // a null DACL lets everyone do everything
    for (WORD index = 0; closed && index < dacl->AceCount; index++) {
        ACCESS_ALLOWED_ACE* ace;
        closed = GetAce(dacl, index, (void**)&ace) &&
                 (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Header.AceFlags & INHERIT_ONLY_ACE) ||
                  !(ace->Mask & changes) || trusted(&ace->SidStart));
    }
    LocalFree(descriptor);
    return closed;
}

static bool isFile(const char* file)
{
    DWORD attributes = GetFileAttributesA(file);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// javaw.exe in the root, else in the first folder on the service's PATH where nobody but a trusted
// account may change the folder or the program: the server runs as the system, and a folder on the
// PATH that users may write would let any of them replace it. Each folder passed over for that is
// named in a warning.
static char* findJava(const char* root, const char* systemPath)
{
    char* program = join(root, "\\javaw.exe", NULL);
    if (isFile(program))
        return program;
    char* folders = join(systemPath, NULL);
    for (char* folder = strtok(folders, ";"); folder; folder = strtok(NULL, ";")) {
        if (*folder == '"' && strlen(folder) > 1 && folder[strlen(folder) - 1] == '"') {
            folder[strlen(folder) - 1] = 0;
            folder++;
        }
        bool separated = *folder && folder[strlen(folder) - 1] == '\\';
        program = join(folder, separated ? "" : "\\", "javaw.exe", NULL);
        if (!isFile(program))
            continue;
        if (unchangeable(folder) && unchangeable(program))
            return program;
        reportAs(EVENTLOG_WARNING_TYPE, join("javaw.exe in ", folder, " was passed over: users other than the system "
                                             "and Administrators may change it", NULL));
    }
    throw (unsigned long)-ENOENT;
}

// Output that cannot be kept costs the output, never the server: one event says why.
static void loseLog(const char* what, DWORD code)
{
    report(join("The server's output is not kept in ", what, ": ", message(code), NULL));
    if (logFile)
        CloseHandle(logFile);
    logFile = NULL;
}

static void openLog(DWORD disposition)
{
    logFile = CreateFileA(logPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                          disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    LARGE_INTEGER size;
    if (logFile == INVALID_HANDLE_VALUE) {
        logFile = NULL;
        return loseLog(logPath, GetLastError());
    }
    if (!GetFileSizeEx(logFile, &size) || SetFilePointer(logFile, 0, NULL, FILE_END) == INVALID_SET_FILE_POINTER)
        return loseLog(logPath, GetLastError());
    logged = size.QuadPart > LOG_LIMIT ? LOG_LIMIT : size.LowPart;
}

// The server's log lies in <root>\logs, made closed like the root: the system and Administrators
// write, Users read.
static void makeLog(const char* root)
{
    char* folder = join(root, "\\logs", NULL);
    logPath = join(folder, "\\server.log", NULL);
    PSECURITY_DESCRIPTOR closed;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", SDDL_REVISION_1, &closed, NULL))
        return loseLog(folder, GetLastError());
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, closed, FALSE};
    if (!CreateDirectoryA(folder, &attributes) && GetLastError() != ERROR_ALREADY_EXISTS)
        return loseLog(folder, GetLastError());
    if (GetFileAttributesA(folder) & FILE_ATTRIBUTE_REPARSE_POINT)
        return loseLog(folder, ERROR_CANT_ACCESS_FILE);  // a link would send the output elsewhere
    openLog(OPEN_ALWAYS);
}

// The current log becomes server.1.log, the older ones shift up and the fifth goes. A file that a
// reader holds open cannot move: then the current log starts again empty, so the files stay bounded.
static void rotateLog()
{
    CloseHandle(logFile);
    size_t base = strlen(logPath) - strlen(".log");
    char *from = join(logPath, "0000", NULL), *to = join(logPath, "0000", NULL);
    for (int older = KEPT_LOGS; older > 0; older--) {
        sprintf(to, "%.*s.%d.log", (int)base, logPath, older);
        if (older > 1)
            sprintf(from, "%.*s.%d.log", (int)base, logPath, older - 1);
        MoveFileExA(older > 1 ? from : logPath, to, MOVEFILE_REPLACE_EXISTING);
    }
    free(from);
    free(to);
    openLog(CREATE_ALWAYS);
}

static void writeLog(const char* data, DWORD size)
{
    DWORD written;
    if (logFile && logged && logged + size > LOG_LIMIT)
        rotateLog();
    if (!logFile)
        return;
    if (!WriteFile(logFile, data, size, &written, NULL))
        return loseLog(logPath, GetLastError());
    logged += written;
}

// Keeps the last bytes of the server's output.
static void keepTail(const char* data, DWORD size)
{
    if (size > sizeof tail) {
        data += size - sizeof tail;
        size = sizeof tail;
    }
    EnterCriticalSection(&lock);
    DWORD kept = tailLength < sizeof tail - size ? tailLength : sizeof tail - size;
    memmove(tail, tail + tailLength - kept, kept);
    memcpy(tail + kept, data, size);
    tailLength = kept + size;
    LeaveCriticalSection(&lock);
}

// Copies the server's output into its log as it comes, each line after the time it was read, and
// keeps its last bytes. Ends when the server, and whatever inherited its output, have closed it.
static DWORD WINAPI drain(void*)
{
    const DWORD size = 65536;
    char *in = (char*)malloc(size), *out = (char*)malloc(2 * size);  // static arrays would fill the file
    if (!in || !out)
        return loseLog(logPath, ERROR_NOT_ENOUGH_MEMORY), 0;
    bool lineStart = true;
    DWORD got;
    while (ReadFile(output, in, size, &got, NULL)) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        char stamp[64];
        DWORD stampLength = sprintf(stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth, now.wDay,
                                    now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
        DWORD used = 0;
        for (char *at = in, *end = in + got, *next; at < end; at = next) {
            char* lineEnd = (char*)memchr(at, '\n', end - at);
            next = lineEnd ? lineEnd + 1 : end;
            if (used + stampLength + (next - at) > 2 * size) {
                writeLog(out, used);
                used = 0;
            }
            if (lineStart) {
                memcpy(out + used, stamp, stampLength);
                used += stampLength;
            }
            memcpy(out + used, at, next - at);
            used += next - at;
            lineStart = lineEnd != NULL;
        }
        writeLog(out, used);
        keepTail(in, got);
    }
    return 0;
}

// Waits until the server's output has ended and is in the log: 5 s at most, in case a child of the
// server still holds it open.
static void awaitOutput()
{
    if (drainer)
        WaitForSingleObject(drainer, 5000);
}

// The server's last lines, at most 20 within its last 2 KB of output, as one event's text; null if it
// wrote nothing.
static char* lastLines()
{
    char text[sizeof tail + 1];
    EnterCriticalSection(&lock);
    memcpy(text, tail, tailLength);
    char* end = text + tailLength;
    bool full = tailLength == sizeof tail;
    LeaveCriticalSection(&lock);
    while (end > text && (end[-1] == '\n' || end[-1] == '\r'))
        end--;
    *end = 0;
    char* start = end;
    for (int lines = 1; start > text && !(start[-1] == '\n' && lines++ == 20);)
        start--;
    char* first = start == text && full ? strchr(text, '\n') : NULL;  // the oldest line may be cut
    if (first)
        start = first + 1;
    return *start ? join("The server's last output:\r\n", start, NULL) : NULL;
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

// The pipe of the server's standard output and error: the server inherits the write end, which is
// returned; the drainer reads the other.
static HANDLE makeOutput()
{
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE write;
    if (!CreatePipe(&output, &write, &inherited, 65536) || !SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0))
        throw GetLastError();
    drainer = CreateThread(NULL, 0, drain, NULL, 0, NULL);
    if (!drainer)
        throw GetLastError();
    return write;
}

// Starts javaw.exe with the root as working directory and an environment of exactly PATH and
// SystemRoot; its output goes to the server's log.
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
    // One block of entries, each ended by a NUL, the block by one more.
    char* environment = join(pathEntry, "|SystemRoot=", systemRoot, "|", NULL);
    environment[strlen(pathEntry)] = 0;
    environment[strlen(pathEntry) + strlen("|SystemRoot=") + strlen(systemRoot)] = 0;
    char* program = findJava(root, systemPath);
    // The options enter the command line unchanged: quotes in them quote, as on any command line.
    char* commandLine = join("javaw.exe ", javaOpts ? javaOpts : "", " -jar .\\server\\lib\\ZQ_glimmerfold_server.jar -e", NULL);
    makeLog(root);
    HANDLE write = makeOutput();
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write;
    PROCESS_INFORMATION server;
    // Suspended until it is in the job, so that nothing it starts escapes the job.
    BOOL started = CreateProcessA(program, commandLine, NULL, NULL, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                                  environment, NULL, &startup, &server);
    DWORD code = GetLastError();
    CloseHandle(write);  // the drainer sees the output end when the server's copies close
    if (!started)
        throw code;
    handles[1] = server.hProcess;
    bindToService(server.hProcess);
    if (ResumeThread(server.hThread) == (DWORD)-1)
        throw GetLastError();
    CloseHandle(server.hThread);
    free(pathEntry);
    free(path);
    path = NULL;
}

// The end of the service: the server's output up to its end, the event when there is one, then the
// stopped state.
static void setStopped(DWORD exitCode, DWORD specificCode, const char* text)
{
    awaitOutput();
    report(text);
    if (exitCode == ERROR_SERVICE_SPECIFIC_ERROR)  // the server ended by itself: what it said last says why
        report(lastLines());
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
