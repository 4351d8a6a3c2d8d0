// QuorlinPackage.dll: the custom action of Quorlin.msi, so that the package installs, upgrades and
// removes the product by the installer's own logic. Windows Installer calls run, deferred and as the
// system, with a command line as CustomActionData: Quorlin-setup.exe to install or upgrade, the
// uninstaller it wrote to remove. The command runs with its temporary files in a private folder, made
// for the run and deleted after it. Its exit code decides: 0 is success, 3010 success with a restart
// (files in use go at the next restart), anything else a failed installation, which Windows Installer
// rolls back. The lines the run wrote to the installer's log go into the package's log too.
#define _CRT_RAND_S
#include "faults.h"
#include <stdio.h>
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>
#include <shlobj.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Linked statically, the C++ runtime's default terminate handler brings its name demangler along.
namespace __gnu_cxx {
void __verbose_terminate_handler() { abort(); }
}

// Writes text as one line of the package's log (msiexec /l*v): as field 1 of a record whose template is
// "[1]", so that brackets in a line are never expanded.
static void log(MSIHANDLE install, const char* text)
{
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringA(record, 0, "[1]");
    MsiRecordSetStringA(record, 1, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// Copies the lines that the installer wrote for the package (QUORLIN_PACKAGE_LOG, a file in the run's
// private folder, where no user can swap it) into the package's log.
static void copySetupLog(MSIHANDLE install, const char* folder)
{
    char path[MAX_PATH + 64];
    snprintf(path, sizeof path, "%s\\setup.log", folder);
    FILE* file = fopen(path, "r");
    char line[4096];
    while (file && fgets(line, sizeof line, file)) {
        line[strcspn(line, "\r\n")] = 0;
        log(install, line);
    }
    if (file)
        fclose(file);
    DeleteFileA(path);
}

// The parent of the run's private folder: one that no standard user can write, as the installer's own
// runs use (the temporary folder lets every user create files). C:\Windows\SystemTemp where Windows has
// it, else Program Files.
static void privateParent(char* parent, size_t size)
{
    UINT length = GetWindowsDirectoryA(parent, (UINT)size);
    if (!length || length + sizeof "\\SystemTemp\\" > size)
        throw GetLastError();
    strcat(parent, "\\SystemTemp\\");
    DWORD attributes = GetFileAttributesA(parent);
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes & FILE_ATTRIBUTE_DIRECTORY)
        return;
    HRESULT found = SHGetFolderPathA(NULL, CSIDL_PROGRAM_FILES, NULL, SHGFP_TYPE_CURRENT, parent);
    if (found != S_OK || strlen(parent) + 2 > size)
        throw (DWORD)ERROR_PATH_NOT_FOUND;
    strcat(parent, "\\");
}

// Makes the run's private folder: a name nobody can predict, made by us and failing if it exists, that
// admits only the system and Administrators, in a parent that no standard user can write.
static void makePrivateFolder(char* folder, size_t size)
{
    char parent[MAX_PATH + 1];
    if (faulted(L"packageFolder"))
        throw GetLastError();
    privateParent(parent, sizeof parent);
    PSECURITY_DESCRIPTOR descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                              SDDL_REVISION_1, &descriptor, NULL))
        throw GetLastError();
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    unsigned int random[2];
    BOOL made;
    do {
        if (rand_s(&random[0]) || rand_s(&random[1]) ||
            snprintf(folder, size, "%sQuorlin-%08x%08x", parent, random[0], random[1]) >= (int)size)
            throw (DWORD)ERROR_BUFFER_OVERFLOW;
        made = CreateDirectoryA(folder, &attributes);
    } while (!made && GetLastError() == ERROR_ALREADY_EXISTS);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    if (!made)
        throw error;
}

// Copies text and its NUL to end, before limit; the new end.
static wchar_t* append(wchar_t* end, const wchar_t* limit, const wchar_t* text)
{
    size_t length = wcslen(text) + 1;
    if (end + length >= limit)
        throw (DWORD)ERROR_BUFFER_OVERFLOW;
    return (wchar_t*)memcpy(end, text, length * sizeof(wchar_t)) + length;
}

// This process's environment with TEMP and TMP naming folder, QUORLIN_PACKAGE_LOG a file in it where the
// installer writes its lines for the package's log, and QUORLIN_JAVA_OPTS the options, if any, exactly.
static wchar_t* environment(const char* folder, const wchar_t* options)
{
    const size_t size = 131072;
    wchar_t* block = (wchar_t*)malloc(size * sizeof(wchar_t));  // a static array would fill the file
    if (!block)
        throw (DWORD)ERROR_NOT_ENOUGH_MEMORY;
    static const wchar_t* ours[] = {L"TEMP=", L"TMP=", L"QUORLIN_PACKAGE_LOG=", L"QUORLIN_JAVA_OPTS="};
    wchar_t variable[MAX_PATH + 40], *end = block;
    for (const wchar_t* entry = GetEnvironmentStringsW(); *entry; entry += wcslen(entry) + 1) {
        bool own = false;
        for (const wchar_t* name : ours)
            own = own || !_wcsnicmp(entry, name, wcslen(name));
        if (!own)
            end = append(end, block + size, entry);
    }
    static const wchar_t* names[] = {L"TEMP=%hs", L"TMP=%hs", L"QUORLIN_PACKAGE_LOG=%hs\\setup.log"};
    for (const wchar_t* name : names) {
        swprintf(variable, sizeof variable / sizeof *variable, name, folder);
        end = append(end, block + size, variable);
    }
    if (options) {
        end = append(end, block + size, L"QUORLIN_JAVA_OPTS=");
        end = append(end - 1, block + size, options);
    }
    *end = 0;
    return block;
}

// Runs the command line with its temporary files in folder and returns its exit code. The command line
// is taken as the package holds it: a root beyond the code page reaches the installer as it is, and is
// refused there, never turned into a look-alike.
static DWORD execute(wchar_t* command, const char* folder)
{
    // The options follow the command line after a |, which no path holds (Quorlin.wxs).
    wchar_t* options = wcschr(command, L'|');
    if (options)
        *options++ = 0;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (faulted(L"packageRun") ||
        !CreateProcessW(NULL, command, NULL, NULL, FALSE, CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                        environment(folder, options), NULL, &startup, &process))
        throw GetLastError();
    DWORD code;
    if (WaitForSingleObject(process.hProcess, INFINITE) == WAIT_FAILED || !GetExitCodeProcess(process.hProcess, &code))
        throw GetLastError();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// Removes the private folder, if it was made, emptied by the run; if something in it is still in use,
// at the next restart.
static void removeFolder(const char* folder)
{
    if (*folder && (faulted(L"packageFolderRemoved") || !RemoveDirectoryA(folder)) &&
        GetFileAttributesA(folder) != INVALID_FILE_ATTRIBUTES)
        MoveFileExA(folder, NULL, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// A deferred action may not ask Windows Installer for a restart: it leaves a mark where only the system
// and Administrators write, and the immediate action restart, after InstallFinalize, asks. Whether the
// mark was left (set) or was there (taken, then gone).
static bool markRestart(bool set)
{
    HKEY key;
    DWORD one = 1, size = sizeof one;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorlin", 0, NULL, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return false;
    bool marked = set ? !faulted(L"packageRestartMark") &&
                            RegSetValueExA(key, "RestartNeeded", 0, REG_DWORD, (BYTE*)&one, size) == ERROR_SUCCESS
                      : RegQueryValueExA(key, "RestartNeeded", NULL, NULL, (BYTE*)&one, &size) == ERROR_SUCCESS &&
                            RegDeleteValueA(key, "RestartNeeded") == ERROR_SUCCESS;
    RegCloseKey(key);
    return marked;
}

// After InstallFinalize: the restart that the installer or the uninstaller said files in use need.
extern "C" __declspec(dllexport) UINT __stdcall restart(MSIHANDLE install)
{
    if (markRestart(false)) {
        log(install, "Files in use go at the next restart: the restart is asked for");
        MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    }
    return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall run(MSIHANDLE install)
{
    wchar_t command[32768] = L"";
    char shown[32768] = "", folder[MAX_PATH + 32] = "", text[32768 + 512];
    DWORD size = sizeof command / sizeof *command;
    try {
        UINT status = MsiGetPropertyW(install, L"CustomActionData", command, &size);
        if (status != ERROR_SUCCESS)
            throw (DWORD)status;
        WideCharToMultiByte(CP_ACP, 0, command, -1, shown, sizeof shown, NULL, NULL);
        makePrivateFolder(folder, sizeof folder);
        snprintf(text, sizeof text, "Running %s, its temporary files in %s", shown, folder);
        log(install, text);
        DWORD code = execute(command, folder);
        copySetupLog(install, folder);
        removeFolder(folder);
        snprintf(text, sizeof text, "Exit code %lu", code);
        log(install, text);
        if (code == ERROR_SUCCESS_REBOOT_REQUIRED && !markRestart(true))
            log(install, "The restart that files in use need could not be asked for: restart Windows to finish");
        return code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_REQUIRED ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
    } catch (DWORD code) {
        removeFolder(folder);
        snprintf(text, sizeof text, "Could not run %s: error %lu", shown, code);
        log(install, text);
        return ERROR_INSTALL_FAILURE;
    }
}
