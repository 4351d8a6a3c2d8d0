// The server's output: a pipe that the drainer copies into <root>\logs\server.log, each line after
// the time it was read; the log's rotation; the last lines, for the event log when the server ends.
#include "Quorlin.h"
#include "trust.h"
#include <aclapi.h>
#include <sddl.h>
#include <stdlib.h>
#include <string.h>

static HANDLE output;              // read end of the pipe that carries the server's standard output and error
static HANDLE drainer;             // the thread that copies that output into the server's log
static char* logFolder;            // <root>\logs
static char* logPath;              // <root>\logs\server.log; its older files are server.1.log to server.4.log
static HANDLE logFile;             // the current server log, opened for appending; null while it cannot be
static DWORD logged;               // bytes in the current server log
static DWORD lost, lostCode;       // bytes of output not kept since the last write that succeeded, and why
static DWORD rotateAt, rotateCode; // when a rotation that failed is tried again, and why it failed
static bool midLine;               // whether the log's last byte ends no line: output pieces may cut lines
const DWORD LOG_LIMIT = 10000000;  // bytes in one file of the server's log
const int KEPT_LOGS = 4;           // older files of the server's log that are kept
char tail[2048];                   // the server's last output, for the event log when it ends by itself
DWORD tailLength;                  // bytes held in tail

// Output that cannot be kept at all (no log folder to write in) costs the output, never the server:
// one event says why.
static void loseLog(const char* what, DWORD code)
{
    reportAs(EVENTLOG_ERROR_TYPE, OUTPUT_NOT_KEPT, join("The server's output is not kept in ", what, ": ", message(code), NULL));
    logPath = NULL;
}

static bool openLog(DWORD disposition)
{
    logFile = CreateFileA(logPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                          disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    LARGE_INTEGER size;
    if (logFile != INVALID_HANDLE_VALUE && GetFileSizeEx(logFile, &size) &&
        SetFilePointer(logFile, 0, NULL, FILE_END) != INVALID_SET_FILE_POINTER) {
        logged = size.QuadPart > 2 * LOG_LIMIT ? 2 * LOG_LIMIT : size.LowPart;
        return true;
    }
    lostCode = GetLastError();
    if (logFile != INVALID_HANDLE_VALUE)
        CloseHandle(logFile);
    logFile = NULL;
    return false;
}

// The server's log lies in <root>\logs, made closed like the root: the system and Administrators
// write, Users read. One that is there already is used only where nobody but the trusted may change
// it and it is no link (the output would go elsewhere); one of theirs left open is closed. The root
// above it is the installer's to check: a root that others may change is theirs whatever its logs.
static void makeLog(const char* root)
{
    logFolder = join(root, "\\logs", NULL);
    logPath = join(logFolder, "\\server.log", NULL);
    PSECURITY_DESCRIPTOR closed;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", SDDL_REVISION_1, &closed, NULL))
        return loseLog(logFolder, GetLastError());
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, closed, FALSE};
    if (!CreateDirectoryA(logFolder, &attributes) && GetLastError() != ERROR_ALREADY_EXISTS)
        return loseLog(logFolder, GetLastError());
    DWORD attributesFound = GetFileAttributesA(logFolder);
    if (attributesFound & FILE_ATTRIBUTE_REPARSE_POINT)
        return loseLog(logFolder, ERROR_CANT_ACCESS_FILE);
    if (!closedToOthers(logFolder, WRITING) && closedToOthers(logFolder, 0)) {  // left open by an earlier version, say
        PSID owner;
        PACL dacl;
        BOOL present, defaulted;
        GetSecurityDescriptorOwner(closed, &owner, &defaulted);
        GetSecurityDescriptorDacl(closed, &present, &dacl, &defaulted);
        SetNamedSecurityInfoA(logFolder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                              PROTECTED_DACL_SECURITY_INFORMATION, owner, NULL, dacl, NULL);
    }
    if (!closedToOthers(logFolder, WRITING))
        return loseLog(logFolder, ERROR_ACCESS_DENIED);  // someone else's: what they could read or swap
    openLog(OPEN_ALWAYS);  // if it cannot be opened now, each piece of output tries again
}

// Makes the current log server.1.log and starts a new one, the older ones shifting up as far as the first
// name free, the oldest (server.4.log) going when none is. A file that a reader holds open cannot move:
// then nothing moves further, nothing is lost, and the current log grows on until a later try, which
// finds the names that this one freed. Whether the current log moved.
static bool rotateLog()
{
    size_t base = strlen(logPath) - strlen(".log");
    char *from = join(logPath, "0000", NULL), *to = join(logPath, "0000", NULL);
    int slot = 1;  // the first name free, or the oldest's
    for (; slot < KEPT_LOGS; slot++) {
        sprintf(to, "%.*s.%d.log", (int)base, logPath, slot);
        if (GetFileAttributesA(to) == INVALID_FILE_ATTRIBUTES)
            break;
    }
    bool moved = true;
    for (int older = slot; moved && older > 0; older--) {
        sprintf(to, "%.*s.%d.log", (int)base, logPath, older);
        sprintf(from, "%.*s.%d.log", (int)base, logPath, older - 1);
        if (older == 1)
            CloseHandle(logFile);
        moved = MoveFileExA(older > 1 ? from : logPath, to, MOVEFILE_REPLACE_EXISTING);
        rotateCode = moved ? rotateCode : GetLastError();
        if (older == 1)
            openLog(moved ? CREATE_ALWAYS : OPEN_ALWAYS);
    }
    free(from);
    free(to);
    rotateAt = GetTickCount() + (moved ? 0 : 1000);
    return moved;
}

// "<N> bytes of the server's output were not kept<where>: <why>", without the line end of the system's text.
static char* lossText(const char* where)
{
    char count[16];
    sprintf(count, "%lu", (unsigned long)lost);
    char* text = join(count, " bytes of the server's output were not kept", where, ": ", message(lostCode), NULL);
    for (size_t length = strlen(text); length && (text[length - 1] == '\n' || text[length - 1] == '\r');)
        text[--length] = 0;
    return text;
}

// Writes data whole to the current log; a short write is a full disk.
static bool writeWhole(const char* data, DWORD size)
{
    DWORD written = 0;
    BOOL done = WriteFile(logFile, data, size, &written, NULL);
    if (done && written == size) {
        logged += size;
        midLine = size && data[size - 1] != '\n';
        return true;
    }
    lostCode = done ? ERROR_DISK_FULL : GetLastError();
    return false;
}

// Writes a piece of output to the log. A piece that cannot be written whole (a full disk, a log that
// cannot be opened, a current log that could not rotate and reached twice its size) is counted and
// taken back; each later piece tries again, so the log resumes as soon as it can, with a line that
// says how much output was not kept and why, and one event.
static void writeLog(const char* data, DWORD size, const char* stamp)
{
    if (!logPath)
        return;
    if (!logFile)
        openLog(OPEN_ALWAYS);
    if (logFile && logged && logged + size > LOG_LIMIT && (LONG)(GetTickCount() - rotateAt) >= 0)
        rotateLog();
    bool within = logged + size <= 2 * LOG_LIMIT;  // past that, a reader keeps the log from moving
    DWORD before = logged;
    bool wasMidLine = midLine;
    char* loss = logFile && within && lost ? join(midLine ? "\r\n" : "", stamp, "Quorlin: ", lossText(""), "\r\n", NULL)
                                           : NULL;
    if (logFile && within && (!loss || writeWhole(loss, (DWORD)strlen(loss))) && writeWhole(data, size)) {
        if (loss)
            reportAs(EVENTLOG_ERROR_TYPE, OUTPUT_NOT_KEPT, lossText(join(" in ", logPath, NULL)));
        lost = 0;
        return;
    }
    if (logFile && within) {  // a line cut by a full disk is taken back whole
        SetFilePointer(logFile, before, NULL, FILE_BEGIN);
        SetEndOfFile(logFile);
        logged = before;
        midLine = wasMidLine;
    }
    if (logFile && !within)
        lostCode = rotateCode;
    lost += size;
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
        return loseLog(logFolder, ERROR_NOT_ENOUGH_MEMORY), 0;
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
                writeLog(out, used, stamp);
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
        writeLog(out, used, stamp);
        keepTail(in, got);
    }
    if (lost)  // the output ended before the log could be written again
        reportAs(EVENTLOG_ERROR_TYPE, OUTPUT_NOT_KEPT, lossText(join(" in ", logPath, NULL)));
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
