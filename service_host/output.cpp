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
static char* logStem;              // <root>\logs\server: the older files are server.1.log to server.4.log
static char* logPath;              // the current log: server.log, or server.0.log while that cannot be written
static HANDLE logFile;             // the current server log, opened for appending; null while it cannot be
static DWORD logged;               // bytes in the current server log
static ULONGLONG lost;             // bytes of output not kept since the last write that succeeded (a hold may last days)
static DWORD lostCode;             // why they were not kept
static ULONGLONG rotateAt;         // when a rotation that failed is tried again, on the 64-bit tick: it never wraps
static DWORD rotateCode;           // why that rotation failed
static bool midLine;               // whether the log's last byte ends no line: output pieces may cut lines
const DWORD LOG_LIMIT = 10000000;  // bytes in one file of the server's log
const int KEPT_LOGS = 4;           // older files of the server's log that are kept
char tail[2048];                   // the server's last output, for the event log when it ends by itself
DWORD tailLength;                  // bytes held in tail

// The text without the line end that the system's texts carry; changed in place.
static char* bare(char* text)
{
    for (size_t length = text ? strlen(text) : 0; length && (text[length - 1] == '\n' || text[length - 1] == '\r');)
        text[--length] = 0;
    return text ? text : (char*)"";
}

// Output that cannot be kept at all (no log folder to write in) costs the output, never the server:
// one event says why.
static void loseLog(const char* what, DWORD code)
{
    reportAs(EVENTLOG_ERROR_TYPE, OUTPUT_NOT_KEPT, join("The server's output is not kept in ", what, ": ", message(code), NULL));
    logPath = NULL;
}

// Whether the open file is the log's alone and nobody but the trusted may change it: a file that a user
// made while the folder was open would give them the output to read and change, and a second name (a
// hard link) of another file would send the output into that file.
static bool ownLog(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(file, &information) && !namedElsewhere(information) &&
           !isLink(information.dwFileAttributes) && closedHandle(file, WRITING);
}

// Moves what lies at the current log's name out of the way, to a name of its own beside it, and names
// both in a record: its maker keeps it, the output never goes into it.
static bool moveAside()
{
    char number[24];
    char* aside = join(logPath, ".", _ui64toa(GetTickCount64(), number, 10), ".aside", NULL);
    if (!MoveFileExA(logPath, aside, 0))
        return false;
    reportAs(EVENTLOG_WARNING_TYPE, LOG_SET_ASIDE, join(logPath, " was not the service's own (others could change "
             "it, or it was a second name of another file): it was moved aside as ", aside, NULL));
    return true;
}

static HANDLE createLog(DWORD disposition)
{
    // Read too: a log that a reader keeps from moving is copied through this handle.
    return CreateFileA(logPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

// Opens the current log for appending; a file there that is not the log's own is moved aside and a new
// one made. False, with lostCode, when it cannot be opened.
static bool openLog(DWORD disposition)
{
    logFile = createLog(disposition);
    if (logFile != INVALID_HANDLE_VALUE && !ownLog(logFile)) {
        CloseHandle(logFile);
        logFile = moveAside() ? createLog(CREATE_NEW) : INVALID_HANDLE_VALUE;
    }
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

// server.log cannot be opened at the start (a reader holds it without sharing writes, say): the
// output goes to server.0.log while this service runs, and a record says so.
static void useSpareLog()
{
    char* held = logPath;
    char* why = bare(message(lostCode));
    logPath = join(logStem, ".0.log", NULL);
    if (openLog(OPEN_ALWAYS))
        reportAs(EVENTLOG_WARNING_TYPE, LOG_SET_ASIDE, join(held, " cannot be written (", why, "): the server's "
                 "output goes to ", logPath, " until the service starts again", NULL));
}

// The server's log lies in <root>\logs, made closed like the root: the system and Administrators
// write, Users read. One that is there already is used only where nobody but the trusted may change
// it and it is no link (the output would go elsewhere); one of theirs left open is closed. The root
// above it is the installer's to check: a root that others may change is theirs whatever its logs.
static void makeLog(const char* root)
{
    logFolder = join(root, "\\logs", NULL);
    logStem = join(logFolder, "\\server", NULL);
    logPath = join(logStem, ".log", NULL);
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
    if (!openLog(OPEN_ALWAYS))
        useSpareLog();  // if that cannot be opened either, each piece of output tries again
}

// Names the older file n of the log (1 the newest) in name, which has room for it.
static char* older(char* name, int n)
{
    sprintf(name, "%s.%d.log", logStem, n);
    return name;
}

// Copies the current log to name, a name free, and empties it through this handle: for a log that a
// reader holds without sharing deletion (a viewer that follows it), so that it cannot move but may be
// written, as logrotate's copytruncate does. A copy that cannot be made whole (a full disk) is taken
// back and the log left as it was. Whether it is done.
static bool copyAside(const char* name)
{
    const DWORD size = 65536;
    char* piece = (char*)malloc(size);
    HANDLE copy = CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (!piece || copy == INVALID_HANDLE_VALUE) {
        rotateCode = piece ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        if (copy != INVALID_HANDLE_VALUE && CloseHandle(copy))
            DeleteFileA(name);
        free(piece);
        return false;
    }
    bool copied = SetFilePointer(logFile, 0, NULL, FILE_BEGIN) == 0;
    for (DWORD got = 1, written; copied && got;)
        copied = ReadFile(logFile, piece, size, &got, NULL) && WriteFile(copy, piece, got, &written, NULL) &&
                 written == got;
    copied = CloseHandle(copy) && copied && SetFilePointer(logFile, 0, NULL, FILE_BEGIN) == 0 && SetEndOfFile(logFile);
    if (!copied) {
        rotateCode = GetLastError();
        DeleteFileA(name);
        SetFilePointer(logFile, 0, NULL, FILE_END);
    }
    logged = copied ? 0 : logged;
    free(piece);
    return copied;
}

// Makes the current log server.1.log and starts a new one, the older ones shifting up as far as the
// first name free, the oldest (server.4.log) going when none is. An older file that a reader holds
// cannot move: then nothing moves further, nothing is lost, and the current log grows on until a later
// try, which finds the names that this one freed. A current log that a reader holds is copied aside
// instead. Whether its content is server.1.log now.
static bool rotateLog()
{
    char *from = join(logStem, ".0000.log", NULL), *to = join(logStem, ".0000.log", NULL);
    int slot = 1;  // the first name free, or the oldest's
    while (slot < KEPT_LOGS && GetFileAttributesA(older(to, slot)) != INVALID_FILE_ATTRIBUTES)
        slot++;
    bool moved = true;
    for (int newer = slot - 1; moved && newer > 0; newer--)
        moved = MoveFileExA(older(from, newer), older(to, newer + 1), MOVEFILE_REPLACE_EXISTING);
    rotateCode = moved ? rotateCode : GetLastError();
    // This handle shares deletion: the log moves while it is open, and the handle follows it.
    if (moved && MoveFileExA(logPath, older(to, 1), MOVEFILE_REPLACE_EXISTING)) {
        CloseHandle(logFile);
        openLog(CREATE_ALWAYS);
    } else if (moved) {
        moved = copyAside(to);
    }
    free(from);
    free(to);
    rotateAt = GetTickCount64() + (moved ? 0 : 1000);
    return moved;
}

// "<N> bytes of the server's output were not kept<where>: <why>", without the line end of the system's text.
static char* lossText(const char* where)
{
    char count[24];
    return join(_ui64toa(lost, count, 10), " bytes of the server's output were not kept", where, ": ", bare(message(lostCode)), NULL);
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
    if (logFile && logged && logged + size > LOG_LIMIT && GetTickCount64() >= rotateAt)
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
    if (!lost)  // a monitor learns of it now, not when the log resumes
        reportAs(EVENTLOG_ERROR_TYPE, OUTPUT_NOT_KEPT, join("The server's output is not kept in ", logPath, " from now "
                 "on: ", bare(message(lostCode)), "; how much was lost is told when it is kept again", NULL));
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
