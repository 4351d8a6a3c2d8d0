// The server's output: a pipe that the drainer copies into <root>\logs\server.log, each line after
// the time it was read; the log's rotation; the last lines, for the event log when the server ends.
#include "Quorlin.h"
#include <sddl.h>
#include <stdlib.h>
#include <string.h>

static HANDLE output;              // read end of the pipe that carries the server's standard output and error
static HANDLE drainer;             // the thread that copies that output into the server's log
static char* logPath;              // <root>\logs\server.log; its older files are server.1.log to server.4.log
static HANDLE logFile;             // the current server log, opened for appending
static DWORD logged;               // bytes in the current server log
const DWORD LOG_LIMIT = 10000000;  // bytes in one file of the server's log
const int KEPT_LOGS = 4;           // older files of the server's log that are kept
char tail[2048];                   // the server's last output, for the event log when it ends by itself
DWORD tailLength;                  // bytes held in tail

// Output that cannot be kept costs the output, never the server: one event says why.
static void loseLog(const char* what, DWORD code)
{
    reportAs(EVENTLOG_ERROR_TYPE, OUTPUT_NOT_KEPT, join("The server's output is not kept in ", what, ": ", message(code), NULL));
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
void keepTail(const char* data, DWORD size)
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

// The pipe of the server's standard output and error, and its log in the root: the server inherits
// the write end, which is returned; the drainer reads the other.
HANDLE makeOutput(const char* root)
{
    makeLog(root);
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE write;
    if (!CreatePipe(&output, &write, &inherited, 65536) || !SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0))
        throw GetLastError();
    drainer = CreateThread(NULL, 0, drain, NULL, 0, NULL);
    if (!drainer)
        throw GetLastError();
    return write;
}

// Waits until the server's output has ended and is in the log: 5 s at most, in case a child of the
// server still holds it open.
void awaitOutput()
{
    if (drainer)
        WaitForSingleObject(drainer, 5000);
}

// The server's last lines, at most 20 within its last 2 KB of output, as one event's text; null if it
// wrote nothing.
char* lastLines()
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
