// Test builds only: each step of a run that changes the machine is counted, and the steps that the
// variable QUORLIN_FAIL_STEPS names by number or name ("3", "3,9", "packageRun") fail as a full disk or a
// refused call would, so that a test can fail every step in turn and see the product whole after each
// run; at the step that QUORLIN_CRASH_STEP names, the run ends at once, as a lost power would end it.
// Each step is noted as "<number> <step>" in the file that QUORLIN_STEPS names, which counts them; without
// it the count lives in the process's environment (NSIS loads the plugin anew for each call) and passes
// to the programs the run starts. The release build has none of this (faults.h).
#include "faults.h"
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

// Whether QUORLIN_FAIL_STEPS names the step, by its number or its name.
static bool named(unsigned long count, const wchar_t* step)
{
    wchar_t list[256] = L"";
    GetEnvironmentVariableW(L"QUORLIN_FAIL_STEPS", list, 256);
    for (wchar_t *at = list, *end; *at; at = *end ? end + 1 : end) {
        end = at + wcscspn(at, L",");
        size_t length = end - at;
        if ((iswdigit(*at) && wcstoul(at, NULL, 10) == count) || (wcslen(step) == length && !wcsncmp(at, step, length)))
            return true;
    }
    return false;
}

// The steps taken before: the lines of the steps file, which every program of the run appends to (so
// the package's action counts on after the installer it ran), else this process's own count.
static unsigned long taken(const wchar_t* file)
{
    wchar_t text[64] = L"0";
    GetEnvironmentVariableW(L"QUORLIN_STEP_COUNT", text, 64);
    unsigned long count = wcstoul(text, NULL, 10);
    FILE* steps = *file ? _wfopen(file, L"r") : NULL;
    if (steps) {
        count = 0;
        for (int c; (c = fgetc(steps)) != EOF;)
            count += c == '\n';
        fclose(steps);
    }
    return count;
}

bool faulted(const wchar_t* step)
{
    wchar_t text[64], file[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"QUORLIN_STEPS", file, MAX_PATH);
    unsigned long count = taken(file) + 1;
    swprintf(text, 64, L"%lu", count);
    SetEnvironmentVariableW(L"QUORLIN_STEP_COUNT", text);
    bool fail = named(count, step);
    if (*file) {
        HANDLE steps = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
        char line[160];
        DWORD length = snprintf(line, sizeof line, "%lu %ls%s\n", count, step, fail ? " failed" : ""), written;
        if (steps != INVALID_HANDLE_VALUE) {
            WriteFile(steps, line, length, &written, NULL);
            CloseHandle(steps);
        }
    }
    if (GetEnvironmentVariableW(L"QUORLIN_CRASH_STEP", text, 64) && wcstoul(text, NULL, 10) == count)
        TerminateProcess(GetCurrentProcess(), 255);  // as a lost power or a killed run ends it
    if (fail)
        SetLastError(ERROR_WRITE_FAULT);
    return fail;
}
