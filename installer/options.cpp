// The server's Java options in the service's Environment value, and the service's recovery actions.
#include "plugin.h"
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

const wchar_t* SERVICE_KEY = L"SYSTEM\\CurrentControlSet\\Services\\Quorlin";

// Rewrites the service's Environment (REG_MULTI_SZ) without its JAVA_OPTS entry, then with entry,
// unless null, after the others; deletes the value when nothing is left. previous receives the entry
// that it had, "" if none.
static LONG replaceOptions(const wchar_t* entry, wchar_t* previous, size_t room)
{
    HKEY key;
    DWORD type, size = 0;
    *previous = 0;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERVICE_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (status != ERROR_SUCCESS)
        return status;
    status = RegQueryValueExW(key, L"Environment", NULL, &type, NULL, &size);
    if (status == ERROR_FILE_NOT_FOUND || (status == ERROR_SUCCESS && type != REG_MULTI_SZ))
        size = 0, status = ERROR_SUCCESS;
    size_t length = size / sizeof(wchar_t) + (entry ? wcslen(entry) : 0) + 2;
    wchar_t *old = (wchar_t*)calloc(length, sizeof(wchar_t)), *made = (wchar_t*)calloc(length, sizeof(wchar_t));
    if (status == ERROR_SUCCESS && (!old || !made))
        status = ERROR_NOT_ENOUGH_MEMORY;
    if (status == ERROR_SUCCESS && size)
        status = RegQueryValueExW(key, L"Environment", NULL, &type, (BYTE*)old, &size);
    wchar_t* end = made;
    for (wchar_t* at = old; status == ERROR_SUCCESS && *at && at < old + size / sizeof(wchar_t); at += wcslen(at) + 1)
        if (_wcsnicmp(at, L"JAVA_OPTS=", 10))
            end = wcscpy(end, at) + wcslen(at) + 1;
        else if (wcslen(at) < room)
            wcscpy(previous, at);
    if (status == ERROR_SUCCESS && entry)
        end = wcscpy(end, entry) + wcslen(entry) + 1;
    *end++ = 0;
    if (status == ERROR_SUCCESS)
        status = end - made > 1 ? RegSetValueExW(key, L"Environment", 0, REG_MULTI_SZ, (BYTE*)made,
                                                 (DWORD)((end - made) * sizeof(wchar_t)))
                                : RegDeleteValueW(key, L"Environment");
    if (status == ERROR_FILE_NOT_FOUND && end - made == 1)
        status = ERROR_SUCCESS;  // there was nothing to delete
    RegCloseKey(key);
    free(old);
    free(made);
    return status;
}

// Sets JAVA_OPTS=<options> of the command line; leaves under the result the entry it replaced ("" if
// none), for restoreJavaOptions.
PLUGIN(setJavaOptions)
{
    const wchar_t* options = named(L"/JAVA_OPTS=");
    wchar_t* previous = (wchar_t*)calloc(room, sizeof(wchar_t));
    wchar_t* line = (wchar_t*)calloc(room + 96, sizeof(wchar_t));
    if (!previous || !line)
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The Java options could not be set");
    swprintf(line, room + 96, L"JAVA_OPTS=%ls", options ? options : L"");
    LONG status = options ? replaceOptions(line, previous, room) : ERROR_SUCCESS;
    push(stack, previous);
    if (!options)
        result(stack, L"", L"No Java options named: the service's Environment stays as it is");
    else if (status != ERROR_SUCCESS)
        failed(stack, status, L"The Java options could not be set in the service's Environment");
    else {
        swprintf(line, room + 96, L"Java options set in the service's Environment: JAVA_OPTS=%ls", options);
        result(stack, L"0", line);
    }
    free(previous);
    free(line);
}

// Puts back the JAVA_OPTS entry taken from the stack ("": none), as before setJavaOptions.
PLUGIN(restoreJavaOptions)
{
    wchar_t* entry = (wchar_t*)calloc(room, sizeof(wchar_t));
    wchar_t* previous = (wchar_t*)calloc(room, sizeof(wchar_t));
    if (!entry || !previous)
        return failed(stack, ERROR_NOT_ENOUGH_MEMORY, L"The previous Java options could not be put back");
    pop(stack, entry, room);
    LONG status = replaceOptions(*entry ? entry : NULL, previous, room);
    if (status != ERROR_SUCCESS)
        failed(stack, status, L"The previous Java options could not be put back");
    else
        result(stack, L"0", L"The service's previous Java options are back");
    free(entry);
    free(previous);
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
    BOOL done = service && ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) &&
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
