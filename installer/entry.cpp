// What the installation registers besides the service: the event source's message table, and the entry
// in the list of installed programs through which fleet tools find and remove the product.
#include "plugin.h"
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

const wchar_t* UNINSTALL = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorlin";
const wchar_t* SOURCE = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quorlin";

static LONG setText(HKEY key, const wchar_t* name, DWORD type, const wchar_t* text)
{
    return RegSetValueExW(key, name, 0, type, (const BYTE*)text, (DWORD)((wcslen(text) + 1) * sizeof(wchar_t)));
}

static LONG setNumber(HKEY key, const wchar_t* name, DWORD number)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE*)&number, sizeof number);
}

// Event Viewer renders the service's records through the message table in Quorlin.exe.
static LONG registerSource(const wchar_t* root)
{
    HKEY key;
    wchar_t file[MAX_PATH * 2];
    swprintf(file, MAX_PATH * 2, L"%ls\\bin\\Quorlin.exe", root);
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, SOURCE, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (status != ERROR_SUCCESS)
        return status;
    if ((status = setText(key, L"EventMessageFile", REG_EXPAND_SZ, file)) == ERROR_SUCCESS)
        status = setNumber(key, L"TypesSupported", EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE |
                                                               EVENTLOG_INFORMATION_TYPE);
    RegCloseKey(key);
    return status;
}

// The entry. /S alone would return at once while a copy of the uninstaller does the work; a fleet tool
// must see the work done when the command returns, and its exit code: with _?= the uninstaller waits
// for its copy. Run by Quorlin.msi (/PACKAGE=<product code>), the package's entry is the one that
// Programs and Features shows, and the package that owns the installation removes it.
static LONG registerEntry(const wchar_t* root, const wchar_t* version)
{
    HKEY key;
    wchar_t plain[MAX_PATH * 2], quiet[MAX_PATH * 3];
    swprintf(plain, MAX_PATH * 2, L"\"%ls\\Uninstall.exe\"", root);
    swprintf(quiet, MAX_PATH * 3, L"\"%ls\\Uninstall.exe\" /S _?=%ls", root, root);
    const wchar_t* package = named(L"/PACKAGE=");
    LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL);
    if (status != ERROR_SUCCESS)
        return status;
    LONG statuses[] = {
        setText(key, L"DisplayName", REG_SZ, L"Quorlin"),
        setText(key, L"DisplayVersion", REG_SZ, version),
        setText(key, L"InstallLocation", REG_SZ, root),
        setText(key, L"UninstallString", REG_SZ, plain),
        setText(key, L"QuietUninstallString", REG_SZ, quiet),
        setNumber(key, L"NoModify", 1),
        setNumber(key, L"NoRepair", 1),
        package ? setNumber(key, L"SystemComponent", 1) : ERROR_SUCCESS,
        package ? setText(key, L"PackageProductCode", REG_SZ, package) : ERROR_SUCCESS,
    };
    RegCloseKey(key);
    for (LONG each : statuses)
        if (each != ERROR_SUCCESS)
            return each;
    return ERROR_SUCCESS;
}

// Given the root and the version: the event source's values and the entry. "0", or the error and why.
PLUGIN(registerProduct)
{
    wchar_t* root = popped(stack, room);
    wchar_t* version = popped(stack, room);
    LONG status = !root || !version ? ERROR_NOT_ENOUGH_MEMORY : faulted(L"registerProduct") ? GetLastError()
                                                                                       : registerSource(root);
    if (status == ERROR_SUCCESS)
        status = registerEntry(root, version);
    if (status != ERROR_SUCCESS)
        failed(stack, status, L"The event source's values or the entry could not be written");
    else
        result(stack, L"0", L"");
    free(root);
    free(version);
}

// A value or key that is gone already counts as deleted, so that a rerun finishes a removal that
// stopped on the way.
static LONG deleted(LONG status)
{
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

// Deletes the event source's values and the entry: "0", or the error; and the line.
PLUGIN(unregisterProduct)
{
    HKEY key;
    LONG status = faulted(L"unregisterProduct") ? GetLastError()
                                                : RegOpenKeyExW(HKEY_LOCAL_MACHINE, SOURCE, 0, KEY_SET_VALUE, &key);
    if (status == ERROR_SUCCESS) {
        LONG message = deleted(RegDeleteValueW(key, L"EventMessageFile"));
        LONG types = deleted(RegDeleteValueW(key, L"TypesSupported"));
        RegCloseKey(key);
        status = message != ERROR_SUCCESS ? message : types;
    }
    if ((status = deleted(status)) == ERROR_SUCCESS)
        status = deleted(RegDeleteKeyW(HKEY_LOCAL_MACHINE, UNINSTALL));
    if (status != ERROR_SUCCESS)
        return failed(stack, status, L"The event source's values or the entry could not be deleted");
    result(stack, L"0", L"The entry and the event source's values are deleted");
}

// A version "a.b.c" as three numbers; a part that is not there counts as 0.
static void numbers(const wchar_t* text, unsigned long parts[3])
{
    for (int i = 0; i < 3; i++) {
        wchar_t* end;
        parts[i] = wcstoul(text, &end, 10);
        text = *end == L'.' ? end + 1 : end;
    }
}

// The installed version: the entry's DisplayVersion, else the version information of the service's
// program (its path as the service is registered, quotes and all); "" when neither tells.
static void installedVersion(const wchar_t* program, wchar_t* version, DWORD room)
{
    HKEY key;
    DWORD type, size = room * sizeof(wchar_t);
    *version = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        if (RegQueryValueExW(key, L"DisplayVersion", NULL, &type, (BYTE*)version, &size) != ERROR_SUCCESS || type != REG_SZ)
            size = 0;
        version[size / sizeof(wchar_t) < room ? size / sizeof(wchar_t) : room - 1] = 0;
        RegCloseKey(key);
    }
    wchar_t path[MAX_PATH * 2], *to = path;
    for (const wchar_t* from = program; *from && to < path + MAX_PATH * 2 - 1; from++)
        if (*from != L'"')
            *to++ = *from;
    *to = 0;
    DWORD length = *version || !*path ? 0 : GetFileVersionInfoSizeW(path, NULL);
    void* information = length ? malloc(length) : NULL;
    VS_FIXEDFILEINFO* fixed;
    UINT fixedSize;
    if (information && GetFileVersionInfoW(path, 0, length, information) &&
        VerQueryValueW(information, L"\\", (void**)&fixed, &fixedSize) && fixedSize >= sizeof *fixed)
        swprintf(version, room, L"%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                 HIWORD(fixed->dwFileVersionLS));
    free(information);
}

// Given the service's program and this installer's version: the installed version when it is newer,
// else "". Upgrades go forward only.
PLUGIN(newerInstalled)
{
    wchar_t* program = popped(stack, room);
    wchar_t* offered = popped(stack, room);
    wchar_t installed[64] = L"";
    if (program && offered)
        installedVersion(program, installed, 64);
    unsigned long old[3], now[3];
    numbers(installed, old);
    numbers(offered ? offered : L"", now);
    bool newer = *installed && (old[0] != now[0] ? old[0] > now[0] : old[1] != now[1] ? old[1] > now[1] : old[2] > now[2]);
    push(stack, newer ? installed : L"");
    free(program);
    free(offered);
}
