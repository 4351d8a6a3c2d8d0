// The installer's log, which outlives a roll-back and an uninstall: its folder, Quorlin under the
// system's Logs folder, where no standard user can make a name first, and its lines.
#include "plugin.h"
#include "trust.h"
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Whether the folder, made closed or found, is safe to log in: nobody but the trusted may change it
// or a folder above it. One an administrator left open is closed; anything else is not used.
static DWORD usable(wchar_t* folder)
{
    PSECURITY_DESCRIPTOR closed;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(CLOSED, SDDL_REVISION_1, &closed, NULL))
        return GetLastError();
    DWORD code = makeClosed(folder, closed);
    bool link;
    wchar_t *open = NULL, *failedAt = folder;
    if (code == ERROR_SUCCESS || code == ERROR_ALREADY_EXISTS)
        code = (open = changeable(folder, WRITING, &link)) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    if (open && !link && !wcscmp(open, folder) && closedTo(folder, 0))
        code = closeTree(folder, closed, &failedAt);
    free(open);
    LocalFree(closed);
    return code;
}

// Given the folder, leaves on the stack the folder to log in ("" when there is none), and under it
// the line for the log ("" when all is well). A folder that cannot be used never blocks a run: its
// lines then go to the details alone.
PLUGIN(prepareLogFolder)
{
    wchar_t* folder = popped(stack, room);
    if (!folder)
        return result(stack, L"The installer's log folder could not be checked: out of memory", L"");
    wchar_t line[1024] = L"";
    DWORD code = usable(folder);
    if (code != ERROR_SUCCESS)
        swprintf(line, 1024, L"%ls is a link, someone else's or cannot be made (error %lu): this run's lines are "
                             L"not kept in a file", folder, code);
    result(stack, line, code == ERROR_SUCCESS ? folder : L"");
    free(folder);
}

// Appends the line to the file, opened without following a link.
static void append(const wchar_t* file, const wchar_t* line)
{
    HANDLE log = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return;
    int size = WideCharToMultiByte(CP_ACP, 0, line, -1, NULL, 0, NULL, NULL);
    char* text = (char*)malloc(size + 2);
    DWORD written;
    if (text && WideCharToMultiByte(CP_ACP, 0, line, -1, text, size, NULL, NULL)) {
        strcpy(text + size - 1, "\r\n");
        WriteFile(log, text, size + 1, &written, NULL);
    }
    free(text);
    CloseHandle(log);
}

// Given the log folder ("": none), the package's file for the run's lines ("": none) and a line: appends
// the line to Quorlin-setup.log in the folder and to the package's file.
PLUGIN(logLine)
{
    wchar_t* folder = popped(stack, room);
    wchar_t* packageLog = popped(stack, room);
    wchar_t* line = popped(stack, room);
    wchar_t file[MAX_PATH * 2];
    if (folder && line && *folder) {
        swprintf(file, MAX_PATH * 2, L"%ls\\Quorlin-setup.log", folder);
        append(file, line);
    }
    if (packageLog && line && *packageLog)
        append(packageLog, line);
    free(folder);
    free(packageLog);
    free(line);
}
