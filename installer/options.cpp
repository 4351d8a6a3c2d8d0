// The server's Java options in the service's Environment value, and the service's recovery actions.
#include "plugin.h"
#include "trust.h"
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

const wchar_t* SERVICE_KEY = L"SYSTEM\\CurrentControlSet\\Services\\Quorlin";

// The longest JAVA_OPTS=<options> entry: a variable of a process's environment holds at most that.
const size_t LONGEST = 32767;

// The options named for this run, exactly: /JAVA_OPTS=<options> as the system splits a command line;
// else the variable QUORLIN_JAVA_OPTS, through which the package's action hands them over (its command
// line would split quotes in them). Null when none are named.
static wchar_t* namedOptions()
{
    wchar_t* options = named(L"/JAVA_OPTS=");
    DWORD length = options ? 0 : GetEnvironmentVariableW(L"QUORLIN_JAVA_OPTS", NULL, 0);
    wchar_t* handed = length ? (wchar_t*)calloc(length, sizeof(wchar_t)) : NULL;
    if (handed && GetEnvironmentVariableW(L"QUORLIN_JAVA_OPTS", handed, length) < length)
        return handed;
    return options;
}

// The service's Environment value as it is: its type and bytes; type REG_NONE when there is none.
struct VALUE {
    DWORD type, size;
    BYTE* data;
};

static LONG readEnvironment(HKEY key, VALUE* value)
{
    value->type = REG_NONE;
    value->size = 0;
    value->data = NULL;
    LONG status = RegQueryValueExW(key, L"Environment", NULL, &value->type, NULL, &value->size);
    if (status == ERROR_FILE_NOT_FOUND) {
        value->type = REG_NONE;
        return ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS)
        return status;
    value->data = (BYTE*)calloc(value->size + 2 * sizeof(wchar_t), 1);  // a REG_MULTI_SZ may lack its end
    if (!value->data)
        return ERROR_NOT_ENOUGH_MEMORY;
    return RegQueryValueExW(key, L"Environment", NULL, &value->type, value->data, &value->size);
}

static LONG writeEnvironment(HKEY key, const VALUE* value)
{
    if (value->type != REG_NONE)
        return RegSetValueExW(key, L"Environment", 0, value->type, value->data, value->size);
    LONG status = RegDeleteValueW(key, L"Environment");
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// The value with its JAVA_OPTS entry replaced by entry, after the others; the operator's other
// entries stay. A value of another type than REG_MULTI_SZ is not the operator's list of entries:
// it is replaced whole.
static LONG withEntry(const VALUE* old, const wchar_t* entry, VALUE* made)
{
    const wchar_t* at = old->type == REG_MULTI_SZ ? (const wchar_t*)old->data : L"";
    const wchar_t* end = at + (old->type == REG_MULTI_SZ ? old->size / sizeof(wchar_t) : 0);
    wchar_t* out = (wchar_t*)calloc(end - at + wcslen(entry) + 2, sizeof(wchar_t));
    if (!out)
        return ERROR_NOT_ENOUGH_MEMORY;
    made->type = REG_MULTI_SZ;
    made->data = (BYTE*)out;
    for (; at < end && *at; at += wcslen(at) + 1)
        if (_wcsnicmp(at, L"JAVA_OPTS=", 10))
            out = wcscpy(out, at) + wcslen(at) + 1;
    out = wcscpy(out, entry) + wcslen(entry) + 1;
    *out++ = 0;
    made->size = (DWORD)((BYTE*)out - made->data);
    return ERROR_SUCCESS;
}

// The file in the run's private folder that keeps the value as it was before, for a fall-back.
static wchar_t* keptIn(const wchar_t* folder)
{
    static wchar_t file[MAX_PATH * 2];
    swprintf(file, MAX_PATH * 2, L"%ls\\Environment.previous", folder);
    return file;
}

// Keeps the value in the run's private folder: its type, then its bytes.
static bool keep(const wchar_t* folder, const VALUE* value)
{
    HANDLE file = CreateFileW(keptIn(folder), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD typeWritten = 0, dataWritten = 0;
    WriteFile(file, &value->type, sizeof value->type, &typeWritten, NULL);
    if (value->size)
        WriteFile(file, value->data, value->size, &dataWritten, NULL);
    CloseHandle(file);
    return typeWritten == sizeof value->type && dataWritten == value->size;
}

static LONG setOptions(const wchar_t* folder, const wchar_t* entry)
{
    HKEY key;
    VALUE old, made;
    if (faulted(L"setJavaOptions"))
        return GetLastError();
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS)
        return status;
    if ((status = readEnvironment(key, &old)) == ERROR_SUCCESS && (status = withEntry(&old, entry, &made)) == ERROR_SUCCESS)
        status = keep(folder, &old) ? writeEnvironment(key, &made) : ERROR_WRITE_FAULT;
    if (status != ERROR_SUCCESS)
        DeleteFileW(keptIn(folder));  // nothing changed: nothing to put back
    RegCloseKey(key);
    return status;
}

// Before anything changes, refuses options that the service's environment cannot take whole, or that
// the service host, an ANSI program, would pass on as look-alikes ("2" and why); else "".
PLUGIN(checkJavaOptions)
{
    const wchar_t* options = namedOptions();
    wchar_t line[256];
    if (options && !ansiExact(options))
        return result(stack, L"2", L"The Java options hold a character that this system's code page cannot spell: "
                                   L"the server would be given a look-alike; nothing was changed");
    if (!options || wcslen(L"JAVA_OPTS=") + wcslen(options) <= LONGEST)
        return result(stack, L"", L"");
    swprintf(line, 256, L"The Java options are %u characters long; a variable of the service's environment "
                        L"takes %u at most: nothing was changed", (unsigned)wcslen(options),
             (unsigned)(LONGEST - wcslen(L"JAVA_OPTS=")));
    result(stack, L"2", line);
}

// Given the run's private folder, sets JAVA_OPTS=<options named> in the service's Environment, exactly;
// keeps the value as it was in the folder, for restoreJavaOptions. "" when no options were named.
PLUGIN(setJavaOptions)
{
    wchar_t* folder = popped(stack, room);
    const wchar_t* options = namedOptions();
    size_t length = options ? wcslen(options) + 16 : 0;
    wchar_t* entry = (wchar_t*)calloc(length + 1, sizeof(wchar_t));
    wchar_t line[1200];
    if (!options || !folder || !entry) {
        free(folder);
        free(entry);
        return options ? failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The Java options could not be set")
                       : result(stack, L"", L"No Java options named: the service's Environment stays as it is");
    }
    swprintf(entry, length + 1, L"JAVA_OPTS=%ls", options);
    LONG status = setOptions(folder, entry);
    // NSIS takes at most 1,024 characters of a line: a long entry is shown by its start and its length.
    swprintf(line, 1200, wcslen(entry) > 900 ? L"Java options set in the service's Environment: %.900ls... (%u "
                                               L"characters)"
                                             : L"Java options set in the service's Environment: %ls",
             entry, (unsigned)wcslen(options));
    if (status != ERROR_SUCCESS)
        failed(stack, status, L"The Java options could not be set in the service's Environment");
    else
        result(stack, L"0", line);
    free(folder);
    free(entry);
}

// The value kept before setJavaOptions changed it; ERROR_FILE_NOT_FOUND when that changed nothing.
static LONG readKept(const wchar_t* folder, VALUE* value)
{
    HANDLE file = CreateFileW(keptIn(folder), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    LARGE_INTEGER size;
    DWORD got;
    LONG status = ERROR_SUCCESS;
    if (!GetFileSizeEx(file, &size) || size.QuadPart < (LONGLONG)sizeof value->type)
        status = ERROR_INVALID_DATA;
    else if (!(value->data = (BYTE*)malloc(size.LowPart)))
        status = ERROR_NOT_ENOUGH_MEMORY;
    else if (!ReadFile(file, &value->type, sizeof value->type, &got, NULL) ||
             !ReadFile(file, value->data, size.LowPart - sizeof value->type, &value->size, NULL))
        status = GetLastError();
    CloseHandle(file);
    return status;
}

// Given the run's private folder, puts back the service's Environment value as it was before
// setJavaOptions, byte for byte. "" when that changed nothing.
PLUGIN(restoreJavaOptions)
{
    wchar_t* folder = popped(stack, room);
    VALUE old = {REG_NONE, 0, NULL};
    HKEY key;
    LONG status = folder ? readKept(folder, &old) : ERROR_NOT_ENOUGH_MEMORY;
    free(folder);
    if (status == ERROR_FILE_NOT_FOUND)
        return result(stack, L"", L"");
    if (status == ERROR_SUCCESS && faulted(L"restoreJavaOptions"))
        status = GetLastError();
    if (status == ERROR_SUCCESS &&
        (status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_SET_VALUE, &key)) == ERROR_SUCCESS) {
        status = writeEnvironment(key, &old);
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        failed(stack, status, L"The previous Java options could not be put back");
    else
        result(stack, L"0", L"The service's previous Environment is back");
    free(old.data);
}

PLUGIN(setRecovery)
{
    const wchar_t* what = L"Recovery: restart after 60 s, twice, then nothing, the count reset after a day, "
                          L"also after a stop with an error code";
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failure = {86400, NULL, NULL, 3, actions};
    SERVICE_FAILURE_ACTIONS_FLAG nonCrash = {TRUE};
    // A restart action needs SERVICE_START on the service as well as the right to change it.
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, L"Quorlin", SERVICE_CHANGE_CONFIG | SERVICE_START) : NULL;
    BOOL done = service && !faulted(L"setRecovery") && ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) &&
                ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &nonCrash);
    DWORD code = GetLastError();
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    if (!done)
        return failed(stack, code, what);
    wchar_t line[256];
    swprintf(line, 256, L"%ls: done", what);
    result(stack, L"0", line);
}
