// The programs the installer runs: a console program whose lines go to the log, and the uninstaller's
// hand-over to a private copy of itself.
#include "plugin.h"
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

// Runs a command line in the current folder, without a console, its output and error into one pipe (a
// console of its own, even one without a window, would cost a console host process for each program).
// Ended after limit ms unless limit is 0. Leaves the exit code ("timeout" if it was ended, "error" if
// it did not run) and above it its console lines, without their last line end.
PLUGIN(run)
{
    wchar_t* commandLine = popped(stack, room);
    wchar_t* limitText = popped(stack, room);
    DWORD limit = limitText ? wcstoul(limitText, NULL, 10) : 0;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    HANDLE read, write;
    STARTUPINFOW startup = {};
    PROCESS_INFORMATION program = {};
    char* output = (char*)calloc(room + 1, 1);
    if (!commandLine || !output || faulted(L"run") || !CreatePipe(&read, &write, &inherited, 0))
        return result(stack, L"error", L"");
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write;
    BOOL started = CreateProcessW(NULL, commandLine, NULL, NULL, TRUE, DETACHED_PROCESS, NULL, NULL, &startup, &program);
    CloseHandle(write);
    if (!started) {
        CloseHandle(read);
        return result(stack, L"error", L"");
    }
    DWORD got = 0, available, ended, code = 0;
    ULONGLONG start = GetTickCount64();
    // Read while it runs, or a full pipe would hold it up; what it left behind once it ended is read too.
    do {
        ended = WaitForSingleObject(program.hProcess, 50);
        while (PeekNamedPipe(read, NULL, 0, NULL, &available, NULL) && available) {
            char scrap[4096];
            DWORD piece, room_left = (DWORD)room - got;
            if (!ReadFile(read, room_left ? output + got : scrap, room_left ? room_left : sizeof scrap, &piece, NULL))
                break;
            got += room_left ? piece : 0;
        }
    } while (ended == WAIT_TIMEOUT && (!limit || GetTickCount64() - start < limit));
    wchar_t number[16] = L"timeout";
    if (ended == WAIT_TIMEOUT) {
        TerminateProcess(program.hProcess, 1);
        WaitForSingleObject(program.hProcess, 10000);
    } else if (GetExitCodeProcess(program.hProcess, &code)) {
        swprintf(number, 16, L"%ld", (long)code);
    }
    CloseHandle(read);
    CloseHandle(program.hProcess);
    CloseHandle(program.hThread);
    while (got && (output[got - 1] == '\n' || output[got - 1] == '\r'))
        got--;
    wchar_t* lines = (wchar_t*)calloc(got + 1, sizeof(wchar_t));
    if (lines)
        MultiByteToWideChar(CP_ACP, 0, output, (int)got, lines, (int)got);
    result(stack, number, lines ? lines : L"");
    free(lines);
    free(output);
    free(commandLine);
    free(limitText);
}

// Moves the running uninstaller out of the root: beside its copy in the private folder, else to a name
// of its own in the root (another drive). Leaves where it went in moved; false where it cannot move
// (Wine renames no running program).
static bool moveOut(const wchar_t* exe, const wchar_t* root, const wchar_t* folder, wchar_t* moved)
{
    swprintf(moved, MAX_PATH * 2, L"%ls\\handed-over.exe", folder);
    if (MoveFileW(exe, moved))
        return true;
    return GetTempFileNameW(root, L"Un", 0, moved) && DeleteFileW(moved) && MoveFileW(exe, moved);
}

// Given the running uninstaller's path, the root, the run's private folder and "/S " or "": copies the
// uninstaller into the private folder (failing if the name is taken), moves itself out of the root,
// runs the copy on the root and waits for it. A removal that failed puts the uninstaller back where the
// entry points; one that succeeded leaves a name it took in the root to the next restart. Leaves the
// copy's exit code, and above it the line for the log ("" if none).
PLUGIN(handOver)
{
    wchar_t* exe = popped(stack, room);
    wchar_t* root = popped(stack, room);
    wchar_t* folder = popped(stack, room);
    wchar_t* silent = popped(stack, room);
    wchar_t copy[MAX_PATH * 2], moved[MAX_PATH * 2], line[MAX_PATH * 3] = L"";
    if (!silent || !folder || !root || !exe)
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The private copy could not be made");
    swprintf(copy, MAX_PATH * 2, L"%ls\\Uninstall.exe", folder);
    if (!CopyFileW(exe, copy, TRUE)) {
        swprintf(line, MAX_PATH * 3, L"The private copy could not be made: error %lu; exit code 2", GetLastError());
        return result(stack, L"2", line);
    }
    bool out = moveOut(exe, root, folder, moved);
    size_t length = 2 * wcslen(copy) + wcslen(root) + 16;
    wchar_t* commandLine = (wchar_t*)calloc(length, sizeof(wchar_t));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION copied;
    DWORD code = 2;
    if (commandLine)
        swprintf(commandLine, length, L"\"%ls\" %ls_?=%ls", copy, silent, root);
    if (commandLine && CreateProcessW(copy, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &copied)) {
        WaitForSingleObject(copied.hProcess, INFINITE);
        GetExitCodeProcess(copied.hProcess, &code);
        CloseHandle(copied.hProcess);
        CloseHandle(copied.hThread);
    } else {
        swprintf(line, MAX_PATH * 3, L"The private copy did not run: error %lu; exit code 2", GetLastError());
    }
    bool done = code == 0 || code == ERROR_SUCCESS_REBOOT_REQUIRED;
    const wchar_t* left = out ? moved : exe;  // what is left of the running uninstaller outside its folder
    if (out && !done && !MoveFileW(moved, exe))
        swprintf(line, MAX_PATH * 3, L"The private copy ended with exit code %lu; the uninstaller could not be put "
                 L"back (error %lu): it lies at %ls", code, GetLastError(), moved);
    else if (!done && !*line)  // a copy that could not start its work (no room for its own files) wrote no line
        swprintf(line, MAX_PATH * 3, L"The private copy ended with exit code %lu", code);
    else if (done && (!out || wcsncmp(moved, folder, wcslen(folder)))) {
        MoveFileExW(left, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
        MoveFileExW(root, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
        swprintf(line, MAX_PATH * 3, L"Running, so deleted at the next restart: %ls", left);
    }
    wchar_t number[16];
    swprintf(number, 16, L"%lu", code);
    result(stack, number, line);
    free(commandLine);
}
