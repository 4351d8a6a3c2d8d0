// What the benchmarks share: the built programs, running a program with its output captured,
// installation roots with the stand-in server, and services.
#pragma once
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace bed {

// Unix paths of the bed seen from Windows: Wine maps / to Z:\.
inline std::string windowsPath(std::string unixPath)
{
    for (char& c : unixPath)
        if (c == '/')
            c = '\\';
    return "Z:" + unixPath;
}

inline std::string built(const char* file) { return windowsPath(BUILD_DIR) + "\\" + file; }

inline std::string readFile(const std::string& file)
{
    std::string text;
    FILE* f = fopen(file.c_str(), "rb");
    if (!f)
        return text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        text.append(chunk, n);
    fclose(f);
    return text;
}

inline void writeFile(const std::string& file, const std::string& text)
{
    FILE* f = fopen(file.c_str(), "wb");
    if (!f)
        return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

// What puts(line) leaves in a text-mode stream: every line feed, its own included, becomes CR LF.
inline std::string printed(const std::string& line)
{
    std::string text;
    for (char c : line + "\n")
        text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return text;
}

// Polls until done() holds or the time runs out; the bounds are generous, the polling is fast.
inline bool waitFor(const std::function<bool()>& done, DWORD milliseconds = 60000)
{
    for (DWORD start = GetTickCount(); !done(); Sleep(20))
        if (GetTickCount() - start > milliseconds)
            return false;
    return true;
}

struct Outcome {
    DWORD exitCode;
    std::string out, err;
};

// Runs a command line in a directory with stdout and stderr captured, and waits for its end.
inline Outcome run(const std::string& commandLine, const char* directory = NULL, const char* environment = NULL)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    char outName[MAX_PATH], errName[MAX_PATH], temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    GetTempFileNameA(temp, "out", 0, outName);
    GetTempFileNameA(temp, "err", 0, errName);
    HANDLE out = CreateFileA(outName, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, NULL);
    HANDLE err = CreateFileA(errName, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, NULL);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back(0);
    Outcome result = {~0UL, "", ""};
    if (CreateProcessA(NULL, line.data(), NULL, NULL, TRUE, 0, (void*)environment, directory, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(out);
    CloseHandle(err);
    result.out = readFile(outName);
    result.err = readFile(errName);
    DeleteFileA(outName);
    DeleteFileA(errName);
    return result;
}

// The processes of the session that run a program of that file name.
inline std::vector<DWORD> processes(const char* exe)
{
    std::vector<DWORD> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (!_stricmp(entry.szExeFile, exe))
            found.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    return found;
}

inline bool noneLeft() { return waitFor([] { return processes("javaw.exe").empty() && processes("Quorlin.exe").empty(); }); }

// An installation: root\bin\Quorlin.exe, root\javaw.exe (the stand-in server, unless told
// otherwise) and the server archive; no server record yet.
struct Root {
    std::string dir;
    explicit Root(const std::string& directory, bool withServer = true) : dir(directory)
    {
        for (const char* sub : {"", "\\bin", "\\server", "\\server\\lib"})
            CreateDirectoryA((dir + sub).c_str(), NULL);
        CopyFileA(built("Quorlin.exe").c_str(), exe().c_str(), FALSE);
        if (withServer)
            CopyFileA(built("tools\\javaw.exe").c_str(), (dir + "\\javaw.exe").c_str(), FALSE);
        else
            DeleteFileA((dir + "\\javaw.exe").c_str());
        writeFile(dir + "\\server\\lib\\ZQ_glimmerfold_server.jar", "placeholder");
        DeleteFileA((dir + "\\stand-in.log").c_str());
    }
    std::string exe() const { return dir + "\\bin\\Quorlin.exe"; }
    void behave(const std::string& service, const std::string& lines) const
    {
        writeFile(dir + "\\behaviour.txt", "service " + service + "\n" + lines);
    }
    std::string serverLog() const { return readFile(dir + "\\stand-in.log"); }
    bool serverSaid(const std::string& line) const
    {
        return bed::waitFor([&] { return serverLog().find("\n" + line + "\r\n") != std::string::npos; });
    }
};

// The stand-in under another name, which makes it a plain service; quoted for a command line.
inline std::string plainService()
{
    CopyFileA(built("tools\\javaw.exe").c_str(), built("tools\\plain.exe").c_str(), FALSE);
    return "\"" + built("tools\\plain.exe") + "\"";
}

inline SC_HANDLE manager()
{
    static SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    return scm;
}

// Whether the service of that name has been deleted for good.
inline bool gone(const std::string& name)
{
    SC_HANDLE service = OpenServiceA(manager(), name.c_str(), SERVICE_QUERY_STATUS);
    return !service || !CloseServiceHandle(service);
}

// A service of the test's own name, run from a given command line.
struct Service {
    std::string name;
    SC_HANDLE handle;
    Service(const std::string& serviceName, const std::string& commandLine) : name(serviceName)
    {
        handle = CreateServiceA(manager(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), NULL, NULL, NULL,
                                NULL, NULL);
    }
    ~Service()
    {
        SERVICE_STATUS status;
        ControlService(handle, SERVICE_CONTROL_STOP, &status);
        waitFor([&] { return query().dwCurrentState == SERVICE_STOPPED; }, 30000);
        DeleteService(handle);
        CloseServiceHandle(handle);
        waitFor([&] { return gone(name); });
    }
    bool start() { return StartServiceA(handle, 0, NULL); }
    SERVICE_STATUS query() const
    {
        SERVICE_STATUS status = {};
        QueryServiceStatus(handle, &status);
        return status;
    }
    SERVICE_STATUS control(DWORD code) const
    {
        SERVICE_STATUS status = {};
        ControlService(handle, code, &status);
        return status;
    }
    bool waitState(DWORD state, DWORD milliseconds = 60000) const
    {
        return waitFor([&] { return query().dwCurrentState == state; }, milliseconds);
    }
};

inline double now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

// When the stand-in server noted a step, in milliseconds of the same counter.
inline double noted(const Root& root, const std::string& step)
{
    root.serverSaid(step);
    std::string log = root.serverLog();
    size_t at = log.find("at " + step + " ");
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return at == std::string::npos ? 0 : atoll(log.c_str() + at + step.size() + 4) * 1000.0 / frequency.QuadPart;
}

}  // namespace bed
