// asker.exe: answers the tests' questions to the Service Control Manager and the registry, one line for
// each line read (words separated by tabs), until its input ends. A test that polls then starts no
// Windows program per question: each start costs the processor more than a tenth of a second, and a
// run asks a thousand times. Built 64-bit, as sc and reg are, so it sees the registry as they do.
//   status NAME            "STATE EXIT SPECIFIC CHECKPOINT WAITHINT" as sc query shows them (decimal),
//                          "gone", or "error N" (Wine's SCM answers nothing while it starts a service)
//   delete-service NAME    "0" or the error
//   create NAME COMMAND    a service of the name that runs the command line, as sc create makes it; "0" or the error
//   start NAME             "0" or the error, once the Service Control Manager has started it, as sc start
//   stop NAME              its status after the stop control, as status tells it, as sc stop shows it
//   security EVENT         the access list of the named event, in SDDL, or "error N"
//   subkeys KEY            the names of the keys right below it, separated by tabs
//   values KEY             every named value of the key and its text as reg query shows it (a REG_DWORD
//                          as 0x..., a REG_MULTI_SZ's strings joined by \0, other data in hex), each
//                          name and text followed by the character 0x1F; "none" when there is no key
//   make-key KEY, delete-key KEY (with all below it), delete-value KEY NAME   "0" or the error
//   set KEY NAME TYPE HEX  writes the bytes given in hex as a value of that type; "0" or the error
//   run LINE [OUT ERR [FOLDER [NAME=VALUE...]]]   starts the command line as a fleet tool does and waits
//                          for that program to end: its exit code, or "error N" when it did not start; its
//                          output and errors into the files OUT and ERR, if named, as a console shows them;
//                          in FOLDER, if not empty, and with the variables given (Wine's own, as WINEDEBUG,
//                          reach the program's Unix side too)
// Started as "asker.exe HOW WHAT", it holds instead, printing "held" (or "not held"), until it is ended:
//   hold FILE              open, sharing reads only, as a virus scanner or a viewer holds it
//   view FILE              open, sharing reads and writes, as a log viewer follows a file
//   run FILE               its image mapped, as a program running from it: it can be moved, not deleted
//   hold-service NAME      a status handle to the service, as the services console or an agent holds it
//   make-event NAME        a manual-reset event of that name, set, open to everyone, as any user may make
//   make-closed-event NAME the same, that nobody may open
//   make-mutex NAME        a mutex of that name, which takes the name from any event
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <string>
#include <vector>
#include <wchar.h>

static std::vector<std::wstring> words(const std::string& line)
{
    std::wstring wide(line.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, line.data(), (int)line.size(), &wide[0], (int)wide.size()));
    std::vector<std::wstring> words(1);
    for (wchar_t c : wide)
        if (c == L'\t')
            words.emplace_back();
        else
            words.back().push_back(c);
    return words;
}

static void say(const std::wstring& text)
{
    std::string line(text.size() * 3 + 1, '\0');
    line.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &line[0], (int)line.size(), NULL, NULL));
    printf("%s\n", line.c_str());
    fflush(stdout);
}

static std::wstring code(DWORD error) { return std::to_wstring(error); }

// The root key and the path below it of "HKLM\..." or "HKCU\...".
static HKEY root(const std::wstring& key, std::wstring* below)
{
    size_t slash = key.find(L'\\');
    *below = slash == std::wstring::npos ? L"" : key.substr(slash + 1);
    std::wstring name = key.substr(0, slash);
    return name == L"HKLM" || name == L"HKEY_LOCAL_MACHINE" ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

static LONG openKey(const std::wstring& key, REGSAM access, HKEY* opened)
{
    std::wstring below;
    HKEY top = root(key, &below);
    return RegOpenKeyExW(top, below.c_str(), 0, access | KEY_WOW64_64KEY, opened);
}

// The service's status ("status"), or its status after the stop control ("stop").
static std::wstring status(const std::wstring& name, bool stop)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager)
        return L"error " + code(GetLastError());
    // Opened for each question and closed at once: a handle held would keep a deleted service.
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), stop ? SERVICE_STOP : SERVICE_QUERY_STATUS);
    DWORD error = GetLastError();
    SERVICE_STATUS s;
    std::wstring answer = error == ERROR_SERVICE_DOES_NOT_EXIST ? L"gone" : L"error " + code(error);
    if (service && (stop ? ControlService(service, SERVICE_CONTROL_STOP, &s) : QueryServiceStatus(service, &s)))
        answer = code(s.dwCurrentState) + L" " + code(s.dwWin32ExitCode) + L" " + code(s.dwServiceSpecificExitCode) +
                 L" " + code(s.dwCheckPoint) + L" " + code(s.dwWaitHint);
    else if (service)
        answer = L"error " + code(GetLastError());
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return answer;
}

// Makes the service of the name run the command line, or starts it.
static std::wstring startService(const std::wstring& name, const std::wstring* command)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    SC_HANDLE service = !manager ? NULL : command ? CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command->c_str(), NULL, NULL, NULL, NULL,
        NULL) : OpenServiceW(manager, name.c_str(), SERVICE_START);
    DWORD error = service && (command || StartServiceW(service, 0, NULL)) ? 0 : GetLastError();
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return code(error);
}

static std::wstring security(const std::wstring& name)
{
    HANDLE event = OpenEventW(READ_CONTROL, FALSE, name.c_str());
    BYTE descriptor[4096];
    DWORD size;
    wchar_t* text = NULL;
    bool read = event && GetKernelObjectSecurity(event, DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor, &size) &&
                ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                     DACL_SECURITY_INFORMATION, &text, NULL);
    std::wstring answer = read ? text : L"error " + code(GetLastError());
    LocalFree(text);
    if (event)
        CloseHandle(event);
    return answer;
}

static std::wstring deleteService(const std::wstring& name)
{
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name.c_str(), DELETE) : NULL;
    DWORD error = service && DeleteService(service) ? 0 : GetLastError();
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return code(error);
}

// A value's data as reg query shows it.
static std::wstring shown(DWORD type, const BYTE* data, DWORD size)
{
    wchar_t number[32];
    if (type == REG_DWORD && size == 4) {
        swprintf(number, 32, L"0x%lx", *(const DWORD*)data);
        return number;
    }
    std::wstring text;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        text.assign((const wchar_t*)data, size / sizeof(wchar_t));
        while (!text.empty() && !text.back())
            text.pop_back();
        for (size_t at = 0; (at = text.find(L'\0', at)) != std::wstring::npos; at += 2)
            text.replace(at, 1, L"\\0");
        return text;
    }
    for (DWORD i = 0; i < size; i++) {
        swprintf(number, 32, L"%02X", data[i]);
        text += number;
    }
    return text;
}

static std::wstring values(const std::wstring& key)
{
    HKEY opened;
    if (openKey(key, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS)
        return L"none";
    std::wstring all;
    wchar_t name[16384];
    std::vector<BYTE> data(65536);
    DWORD type, length = 16384, size = (DWORD)data.size();
    for (DWORD i = 0; RegEnumValueW(opened, i, name, &length, NULL, &type, data.data(), &size) == ERROR_SUCCESS;
         i++, length = 16384, size = (DWORD)data.size())
        if (*name)
            all += std::wstring(name) + L"\x1f" + shown(type, data.data(), size) + L"\x1f";
    RegCloseKey(opened);
    return all;
}

static std::wstring subkeys(const std::wstring& key)
{
    HKEY opened;
    std::wstring names;
    wchar_t name[256];
    if (openKey(key, KEY_ENUMERATE_SUB_KEYS, &opened) != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0, size = 256; RegEnumKeyExW(opened, i, name, &size, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
         i++, size = 256)
        names += (i ? L"\t" : L"") + std::wstring(name);
    RegCloseKey(opened);
    return names;
}

static std::wstring setValue(const std::wstring& key, const std::wstring& name, DWORD type, const std::wstring& hex)
{
    std::wstring below;
    HKEY top = root(key, &below), made;
    LONG status = RegCreateKeyExW(top, below.c_str(), 0, NULL, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, NULL, &made, NULL);
    if (status != ERROR_SUCCESS || name.empty())
        return code(status);
    std::vector<BYTE> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back((BYTE)wcstoul(hex.substr(i, 2).c_str(), NULL, 16));
    status = RegSetValueExW(made, name.c_str(), 0, type, bytes.data(), (DWORD)bytes.size());
    RegCloseKey(made);
    return code(status);
}

// This process's environment with the NAME=VALUE entries given in place of its own of those names.
static std::wstring environmentWith(const std::vector<std::wstring>& given)
{
    std::wstring block;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* entry = own; *entry; entry += wcslen(entry) + 1) {
        size_t name = wcscspn(entry + 1, L"=") + 2;  // with its "=" ("=C:=..." names start with one)
        bool replaced = false;
        for (const std::wstring& variable : given)
            replaced = replaced || !_wcsnicmp(variable.c_str(), entry, name);
        if (!replaced)
            block.append(entry).push_back(0);
    }
    FreeEnvironmentStringsW(own);
    for (const std::wstring& variable : given)
        block.append(variable).push_back(0);
    block.push_back(0);
    return block;
}

// Runs the command line and waits for it; its output and errors go to the files named, if any, and it
// runs in the folder given (if not empty) with the variables given.
static std::wstring run(std::wstring line, const std::wstring* out = NULL, const std::wstring* err = NULL,
                        const std::wstring& folder = L"", const std::vector<std::wstring>& variables = {})
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
    if (out) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = CreateFileW(out->c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, NULL);
        startup.hStdError = CreateFileW(err->c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS, 0, NULL);
    }
    std::wstring environment = environmentWith(variables);
    PROCESS_INFORMATION started;
    BOOL made = FALSE;
    DWORD error = ERROR_INTERNAL_ERROR, exitCode = 0;
    // On a busy machine Wine now and then answers 1359 for a program that died in its loader before it
    // ran a line of its own: started again, as its first start did nothing.
    for (int tries = 0; !made && error == ERROR_INTERNAL_ERROR && tries < 3; tries++) {
        made = CreateProcessW(NULL, &line[0], NULL, NULL, out != NULL, CREATE_UNICODE_ENVIRONMENT, &environment[0],
                              folder.empty() ? NULL : folder.c_str(), &startup, &started);
        error = GetLastError();
    }
    if (out) {
        CloseHandle(startup.hStdOutput);
        CloseHandle(startup.hStdError);
    }
    if (!made)
        return L"error " + code(error);
    WaitForSingleObject(started.hProcess, INFINITE);
    GetExitCodeProcess(started.hProcess, &exitCode);
    CloseHandle(started.hProcess);
    CloseHandle(started.hThread);
    return code(exitCode);
}

static std::wstring deleteKey(const std::wstring& key)
{
    HKEY opened;
    LONG status = openKey(key, DELETE | KEY_ALL_ACCESS, &opened);
    if (status != ERROR_SUCCESS)
        return code(status);
    status = RegDeleteTreeW(opened, NULL);
    RegCloseKey(opened);
    std::wstring below;
    HKEY top = root(key, &below);
    return code(status ? status : RegDeleteKeyExW(top, below.c_str(), KEY_WOW64_64KEY, 0));
}

static std::wstring deleteValue(const std::wstring& key, const std::wstring& name)
{
    HKEY opened;
    LONG status = openKey(key, KEY_SET_VALUE, &opened);
    if (status != ERROR_SUCCESS)
        return code(status);
    status = RegDeleteValueW(opened, name.c_str());
    RegCloseKey(opened);
    return code(status);
}

static std::wstring answer(const std::vector<std::wstring>& w)
{
    const std::wstring& verb = w[0];
    size_t n = w.size();
    if (verb == L"run" && n == 2)
        return run(w[1]);
    if (verb == L"run" && n >= 4)
        return run(w[1], &w[2], &w[3], n > 4 ? w[4] : L"", std::vector<std::wstring>(w.begin() + (n > 4 ? 5 : 4), w.end()));
    if ((verb == L"status" || verb == L"stop") && n == 2)
        return status(w[1], verb == L"stop");
    if (verb == L"security" && n == 2)
        return security(w[1]);
    if (verb == L"create" && n == 3)
        return startService(w[1], &w[2]);
    if (verb == L"start" && n == 2)
        return startService(w[1], NULL);
    if (verb == L"delete-service" && n == 2)
        return deleteService(w[1]);
    if (verb == L"subkeys" && n == 2)
        return subkeys(w[1]);
    if (verb == L"values" && n == 2)
        return values(w[1]);
    if (verb == L"make-key" && n == 2)
        return setValue(w[1], L"", 0, L"");
    if (verb == L"set" && n == 5)
        return setValue(w[1], w[2], wcstoul(w[3].c_str(), NULL, 10), w[4]);
    if (verb == L"delete-key" && n == 2)
        return deleteKey(w[1]);
    if (verb == L"delete-value" && n == 3)
        return deleteValue(w[1], w[2]);
    return L"error: unknown question";
}

static bool hold(const std::string& how, const char* what)
{
    if (how == "hold" || how == "view")
        return CreateFileA(what, GENERIC_READ, FILE_SHARE_READ | (how == "view" ? FILE_SHARE_WRITE : 0), NULL,
                           OPEN_EXISTING, 0, NULL) != INVALID_HANDLE_VALUE;
    if (how == "run") {
        HANDLE file = CreateFileA(what, GENERIC_READ | GENERIC_EXECUTE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        HANDLE image = CreateFileMappingA(file, NULL, PAGE_READONLY | SEC_IMAGE, 0, 0, NULL);
        return image && MapViewOfFile(image, FILE_MAP_READ, 0, 0, 0) && CloseHandle(file);
    }
    if (how == "make-event" || how == "make-closed-event") {
        PSECURITY_DESCRIPTOR nobody = NULL;  // an empty access list: nobody may open it
        ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P", SDDL_REVISION_1, &nobody, NULL);
        SECURITY_ATTRIBUTES closed = {sizeof closed, nobody, FALSE};
        HANDLE event = CreateEventA(how == "make-event" ? NULL : &closed, TRUE, TRUE, what);
        return event && GetLastError() != ERROR_ALREADY_EXISTS;
    }
    if (how == "make-mutex") {
        HANDLE mutex = CreateMutexA(NULL, FALSE, what);
        return mutex && GetLastError() != ERROR_ALREADY_EXISTS;
    }
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    return how == "hold-service" && manager && OpenServiceA(manager, what, SERVICE_QUERY_STATUS);
}

int main(int argc, char** argv)
{
    if (argc == 3) {
        say(hold(argv[1], argv[2]) ? L"held" : L"not held");
        Sleep(INFINITE);
    }
    static char line[65536];
    while (fgets(line, sizeof line, stdin)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        say(answer(words(text)));
    }
    return 0;
}
