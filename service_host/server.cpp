// The server's launch: the installation root, the javaw.exe that runs, the environment and command
// line it gets, and the job that ends it with the service.
#include "Quorlin.h"
#include "trust.h"
#include <direct.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

HANDLE job;  // the server and all it starts: ended together with the service

// The parent of the directory that holds the executable: D:\Apps\Srv for D:\Apps\Srv\bin\Quorlin.exe,
// and C: for C:\bin\Quorlin.exe.
static char* installationRoot()
{
    char* root = join(path, NULL);
    for (int component = 0; component < 2; component++) {
        char* last = strrchr(root, '\\');
        if (!last)
            throw (unsigned long)ERROR_BAD_PATHNAME;
        *last = 0;
    }
    return root;
}

static bool isFile(const char* file)
{
    DWORD attributes = GetFileAttributesA(file);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A folder of the PATH without the quotes around it, if any; changed in place.
static char* unquoted(char* folder)
{
    size_t length = strlen(folder);
    if (*folder != '"' || length < 2 || folder[length - 1] != '"')
        return folder;
    folder[length - 1] = 0;
    return folder + 1;
}

// The text in UTF-16, as the rule of who may change what takes it; null if it cannot be converted.
static wchar_t* wide(const char* text)
{
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    wchar_t* converted = length ? (wchar_t*)malloc(length * sizeof(wchar_t)) : NULL;
    if (converted && MultiByteToWideChar(CP_ACP, 0, text, -1, converted, length))
        return converted;
    free(converted);
    return NULL;
}

bool unchangeable(const char* file)
{
    wchar_t* name = wide(file);
    bool link;
    wchar_t* open = name ? changeable(name, WRITING, &link) : NULL;
    free(open);
    free(name);
    return name && !open;
}

bool closedToOthers(const char* file, DWORD rights)
{
    wchar_t* name = wide(file);
    bool closed = name && closedTo(name, rights);
    free(name);
    return closed;
}

// The folder as this process reaches what the system names: to a 32-bit process on 64-bit Windows,
// System32 is SysWOW64, and a folder that only the 64-bit System32 holds (a 64-bit server finds it) is
// reached through Sysnative.
static char* native(char* folder)
{
    char system[MAX_PATH];
    UINT length = GetSystemDirectoryA(system, MAX_PATH);
    BOOL wow = FALSE;
    if (!length || length >= MAX_PATH || !IsWow64Process(GetCurrentProcess(), &wow) || !wow ||
        _strnicmp(folder, system, length) || (folder[length] && folder[length] != '\\') ||
        GetFileAttributesA(folder) != INVALID_FILE_ATTRIBUTES)
        return folder;
    *strrchr(system, '\\') = 0;
    return join(system, "\\Sysnative", folder + length, NULL);
}

// The service's PATH without the folders that anyone but the trusted may change, or that are not
// there (any user may make some): the system searches the server's PATH for any DLL that the runtime or
// a native library loads by name, and the server runs as the system. The folders left out are named in
// one warning.
static char* trustedPath(const char* systemPath)
{
    char *kept = join("", NULL), *leftOut = join("", NULL);
    char* folders = join(systemPath, NULL);
    for (char* folder = strtok(folders, ";"); folder; folder = strtok(NULL, ";")) {
        char* bare = native(unquoted(join(folder, NULL)));
        bool safe = GetFileAttributesA(bare) != INVALID_FILE_ATTRIBUTES && unchangeable(bare);
        char** list = safe ? &kept : &leftOut;
        *list = join(*list, **list ? ";" : "", folder, NULL);
    }
    if (*leftOut)
        reportAs(EVENTLOG_WARNING_TYPE, PATH_LEFT_OUT, join("Left out of the server's PATH, as users other than the "
                                                            "system and Administrators may change them or make them: ",
                                                            leftOut, NULL));
    return kept;
}

// What the program runs, as the system names it once every link on the way is followed (the Java
// runtime's javapath folder holds links to its programs; Wine shows a link to a file as the file); null
// when it cannot be named.
static char* followed(const char* program)
{
    const DWORD size = 32768;
    char* target = (char*)malloc(size);
    HANDLE file = CreateFileA(program, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0,
                              NULL);
    DWORD length = target && file != INVALID_HANDLE_VALUE ? GetFinalPathNameByHandleA(file, target, size, 0) : 0;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return length && length < size && !strncmp(target, "\\\\?\\", 4) && target[5] == ':' ? target + 4 : NULL;
}

// Whether nobody but a trusted account may change the program, its folder (a DLL added beside it) or a
// folder above them: those of the program as named, and of what it runs.
static bool trustworthy(const char* program, const char* folder)
{
    char* target = followed(program);
    char* cut = target ? strrchr(target, '\\') : NULL;
    if (!cut)
        return false;
    *cut = 0;
    bool closed = closedToOthers(target, WRITING) && unchangeable(folder);
    *cut = '\\';
    return closed && unchangeable(target);
}

// javaw.exe in the root, else in the first folder on the service's PATH where nobody but a trusted
// account may change the program, the folder or a folder above it: the server runs as the system, and
// a folder on the PATH that users may write or swap would let any of them replace it. Each folder
// passed over for that is named in a warning. A link runs its target.
static char* findJava(const char* root, const char* systemPath)
{
    char* program = join(root, "\\javaw.exe", NULL);
    if (isFile(program))
        return program;
    char* folders = join(systemPath, NULL);
    for (char* entry = strtok(folders, ";"); entry; entry = strtok(NULL, ";")) {
        char* folder = unquoted(entry);
        bool separated = *folder && folder[strlen(folder) - 1] == '\\';
        program = join(folder, separated ? "" : "\\", "javaw.exe", NULL);
        if (!isFile(program))
            continue;
        if (trustworthy(program, folder))
            return followed(program);  // what was judged is what runs
        reportAs(EVENTLOG_WARNING_TYPE, JAVA_PASSED_OVER, join("javaw.exe in ", folder, " was passed over: users other than the system "
                                             "and Administrators may change it", NULL));
    }
    throw (unsigned long)-ENOENT;
}

// Options that this system's code page cannot spell would reach the server as look-alikes
// (-javaagent:C:\Zazólc\agent.jar for C:\Zażółć), at a path that any user may make first: the start
// fails instead, with a record that says why.
static void checkOptions()
{
    DWORD length = GetEnvironmentVariableW(L"JAVA_OPTS", NULL, 0);
    wchar_t* options = length ? (wchar_t*)malloc(length * sizeof(wchar_t)) : NULL;
    bool exact = !length || (options && GetEnvironmentVariableW(L"JAVA_OPTS", options, length) < length &&
                             ansiExact(options));
    free(options);
    if (exact)
        return;
    report("JAVA_OPTS holds a character that this system's code page cannot spell: the server is not started, "
           "as it would be given a look-alike");
    throw (unsigned long)ERROR_NO_UNICODE_TRANSLATION;
}

// A server left behind by a crashed or killed service would still hold its port: the job ends it
// together with this process.
static void bindToService(HANDLE server)
{
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    job = CreateJobObjectA(NULL, NULL);
    if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, server))
        reportAs(EVENTLOG_ERROR_TYPE, SERVER_NOT_BOUND, message(GetLastError()));
}

// Starts javaw.exe with the root as working directory and an environment of exactly PATH and
// SystemRoot; its output goes to the server's log. Returns the path of the javaw.exe started.
char* launch()
{
    char* root = installationRoot();
    // With the trailing backslash, a root of "C:" is the drive's top folder, not its current one.
    if (_chdir(join(root, "\\", NULL)) == -1)
        throw (unsigned long)-errno;
    const char* systemPath = getenv("PATH");
    const char* systemRoot = getenv("SystemRoot");
    checkOptions();
    const char* javaOpts = getenv("JAVA_OPTS");
    if (!systemPath || !systemRoot)
        throw (unsigned long)ERROR_ENVVAR_NOT_FOUND;
    char* pathEntry = join("PATH=", root, "\\bin;", trustedPath(systemPath), NULL);
    // One block of entries, each ended by a NUL, the block by one more.
    char* environment = join(pathEntry, "|SystemRoot=", systemRoot, "|", NULL);
    environment[strlen(pathEntry)] = 0;
    environment[strlen(pathEntry) + strlen("|SystemRoot=") + strlen(systemRoot)] = 0;
    char* program = findJava(root, systemPath);
    // The options enter the command line unchanged: quotes in them quote, as on any command line.
    char* commandLine = join("javaw.exe ", javaOpts ? javaOpts : "", " -jar .\\server\\lib\\ZQ_glimmerfold_server.jar -e", NULL);
    HANDLE write = makeOutput(root);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write;
    PROCESS_INFORMATION server;
    // Suspended until it is in the job, so that nothing it starts escapes the job.
    BOOL started = CreateProcessA(program, commandLine, NULL, NULL, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW,
                                  environment, NULL, &startup, &server);
    DWORD code = GetLastError();
    CloseHandle(write);  // the drainer sees the output end when the server's copies close
    if (!started)
        throw code;
    handles[1] = server.hProcess;
    bindToService(server.hProcess);
    if (ResumeThread(server.hThread) == (DWORD)-1) {
        code = GetLastError();
        TerminateProcess(server.hProcess, code);  // a suspended server outside the job would stay for good
        throw code;
    }
    CloseHandle(server.hThread);
    free(pathEntry);
    free(path);
    path = NULL;
    return program;
}
