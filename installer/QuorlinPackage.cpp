// QuorlinPackage.dll: the custom action of Quorlin.msi, so that the package installs, upgrades and
// removes the product by the installer's own logic. Windows Installer calls run, deferred and as the
// system, with a command line as CustomActionData: Quorlin-setup.exe to install or upgrade, the
// uninstaller it wrote to remove. The command's exit code decides: 0 is success, 3010 success with a
// restart (files in use go at the next restart), anything else a failed installation, which Windows
// Installer rolls back. What the run added to the installer's log goes into the package's log too.
#include <stdio.h>
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <stdlib.h>
#include <string.h>

// Linked statically, the C++ runtime's default terminate handler brings its name demangler along.
namespace __gnu_cxx {
void __verbose_terminate_handler() { abort(); }
}

// Writes text as one line of the package's log (msiexec /l*v).
static void log(MSIHANDLE install, const char* text)
{
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringA(record, 0, text);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

// The installer's log, which every run of Quorlin-setup.exe and its uninstaller appends to; null if
// there is none yet.
static FILE* openSetupLog()
{
    char path[MAX_PATH];
    const char* data = getenv("ProgramData");
    if (!data || snprintf(path, sizeof path, "%s\\Quorlin\\Quorlin-setup.log", data) >= (int)sizeof path)
        return NULL;
    return fopen(path, "r");
}

static long setupLogSize()
{
    FILE* file = openSetupLog();
    if (!file)
        return 0;
    fseek(file, 0, SEEK_END);
    long size = ftell(file);
    fclose(file);
    return size;
}

// Copies the lines that the installer's log gained after offset into the package's log.
static void copySetupLog(MSIHANDLE install, long offset)
{
    FILE* file = openSetupLog();
    if (!file)
        return;
    char line[4096];
    fseek(file, offset, SEEK_SET);
    while (fgets(line, sizeof line, file)) {
        line[strcspn(line, "\r\n")] = 0;
        log(install, line);
    }
    fclose(file);
}

// Runs the command line and returns its exit code.
static DWORD execute(char* command)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &startup, &process))
        throw GetLastError();
    DWORD code;
    if (WaitForSingleObject(process.hProcess, INFINITE) == WAIT_FAILED || !GetExitCodeProcess(process.hProcess, &code))
        throw GetLastError();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

extern "C" __declspec(dllexport) UINT __stdcall run(MSIHANDLE install)
{
    char command[32768], text[32768 + 64];
    DWORD size = sizeof command;
    try {
        UINT status = MsiGetPropertyA(install, "CustomActionData", command, &size);
        if (status != ERROR_SUCCESS)
            throw (DWORD)status;
        snprintf(text, sizeof text, "Running %s", command);
        log(install, text);
        long offset = setupLogSize();
        DWORD code = execute(command);
        copySetupLog(install, offset);
        snprintf(text, sizeof text, "Exit code %lu", code);
        log(install, text);
        if (code == ERROR_SUCCESS_REBOOT_REQUIRED)
            MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
        return code == ERROR_SUCCESS || code == ERROR_SUCCESS_REBOOT_REQUIRED ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
    } catch (DWORD code) {
        snprintf(text, sizeof text, "Could not run %s: error %lu", command, code);
        log(install, text);
        return ERROR_INSTALL_FAILURE;
    }
}
