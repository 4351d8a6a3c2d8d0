// What no outside path reaches: error texts, the registry layer, the handler's answer to controls
// that only the system sends, the shutdown allowance, a stalled start, the rule of who may change what
// on Windows' own descriptors. Given a plain service's command line, prints "FAIL ..." per failed check,
// then "checks N, failed F". Given "report", writes one event, a null one and a failed job's; given "text N", prints
// the system's text for N; given "render MODULE ID TEXT", prints event ID of MODULE's message table with
// TEXT as its one string; given "tick", the tick count; given "exact", the code page and whether it spells
// a root beyond 1252; given "windows", on a real display, checks the
// search for a window the server shows while it starts ("box" and "idle" are its children).
#include <stdio.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <direct.h>
#include <errno.h>
#include <process.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <functional>
#include <new>
#include <string>
// The host's sources in one unit (its internal helpers are visible); the setup tool's in a namespace.
#define main hostMain
#include "service.cpp"
#include "events.cpp"
#include "installation.cpp"
#include "server.cpp"
#include "output.cpp"
#include "window.cpp"
#include "trust.cpp"
#undef main
namespace setup {
#define main setupMain
#include "vexil_setup.cpp"
#undef main
}

static int checks, failures;

static void expect(const std::string& got, const std::string& want, const std::string& what)
{
    checks++;
    if (got != want && ++failures)
        printf("FAIL %s: got \"%s\", want \"%s\"\n", what.c_str(), got.c_str(), want.c_str());
}

static std::string text(const char* text) { return text ? text : "(null)"; }
static std::string number(long long value) { return std::to_string(value); }

static std::string systemText(DWORD code)
{
    char* text = NULL;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                   code, 0, (char*)&text, 0, NULL);
    return text ? text : "";
}

static void errorTexts()
{
    expect(number(systemText(ERROR_BAD_EXE_FORMAT).find("%1") != std::string::npos), "1", "a text with %1");
    expect(systemText(ERROR_ACCESS_DENIED).substr(systemText(ERROR_ACCESS_DENIED).size() - 2), "\r\n", "line break");
    struct {
        unsigned long code;
        std::string host;
        const char* setup;
    } cases[] = {
        {ERROR_ACCESS_DENIED, systemText(ERROR_ACCESS_DENIED), "system"},
        {ERROR_BAD_EXE_FORMAT, systemText(ERROR_BAD_EXE_FORMAT), "system"},
        {0xFFFFFFFE, "error -2", NULL},
        {0x80000000, "error -2147483648", NULL},
    };
    for (auto& c : cases) {
        expect(text(::message(c.code)), c.host, "host text of " + number(c.code));
        expect(text(setup::message(c.code)), c.setup ? c.host : "(null)", "setup text of " + number(c.code));
    }
}

// Stop, shutdown and preshutdown stop a running server the same way; nothing else stops it, and a
// service that has stopped stays stopped.
static void controls()
{
    struct {
        DWORD state, control, after;
        bool signalled;
    } cases[] = {
        {SERVICE_RUNNING, SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING, true},
        {SERVICE_RUNNING, SERVICE_CONTROL_SHUTDOWN, SERVICE_STOP_PENDING, true},
        {SERVICE_RUNNING, SERVICE_CONTROL_PRESHUTDOWN, SERVICE_STOP_PENDING, true},
        {SERVICE_RUNNING, SERVICE_CONTROL_INTERROGATE, SERVICE_RUNNING, false},
        {SERVICE_STOPPED, SERVICE_CONTROL_STOP, SERVICE_STOPPED, false},
    };
    InitializeCriticalSection(&::lock);
    for (auto& c : cases) {
        std::string what = "control " + number(c.control) + " in state " + number(c.state);
        ::handles[0] = CreateEventA(NULL, TRUE, FALSE, NULL);
        ::ss = {SERVICE_WIN32_OWN_PROCESS, c.state, SERVICE_ACCEPT_STOP, 0, 0, 3, 5000};
        ::QuorlinHandler(c.control, 0, NULL, NULL);
        expect(number(::ss.dwCurrentState), number(c.after), what);
        expect(number(WaitForSingleObject(::handles[0], 0) == WAIT_OBJECT_0), number(c.signalled), what + ": signal");
        if (c.signalled)
            expect(number(::ss.dwCheckPoint) + " " + number(::ss.dwControlsAccepted), "0 0", what + ": checkpoint");
    }
}

// A server's end shows its last lines: at most 20, within its last 2 KB, without the line that the
// 2 KB cut; output fed in pieces of any size.
static void serverLines()
{
    std::string many, wide, shownMany, shownWide;
    for (int line = 1; line <= 25; line++) {
        many += "line " + number(line) + "\r\n";
        shownMany += line < 6 ? "" : "line " + number(line) + (line < 25 ? "\r\n" : "");
        wide += line > 12 ? "" : std::string(199, 'a' + line) + "\n";
        shownWide += line < 3 || line > 12 ? "" : std::string(199, 'a' + line) + (line < 12 ? "\n" : "");
    }
    struct {
        std::string output, shown;
        size_t piece;
    } cases[] = {
        {"", "(null)", 1},
        {"\r\n\r\n", "(null)", 1},
        {"one line without an end", "The server's last output:\r\none line without an end", 5},
        {many, "The server's last output:\r\n" + shownMany, 7},
        {wide, "The server's last output:\r\n" + shownWide, 3000},
        {wide, "The server's last output:\r\n" + shownWide, 100},
    };
    for (auto& c : cases) {
        ::tailLength = 0;
        for (size_t at = 0; at < c.output.size(); at += c.piece)
            ::keepTail(c.output.data() + at, c.output.substr(at, c.piece).size());
        expect(text(::lastLines()), c.shown, "last lines of " + number(c.output.size()) + " bytes");
    }
}

static std::string plain;  // the command line of a plain service, from the first argument

static SC_HANDLE service(const char* name, const std::string& arguments)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    return CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                          SERVICE_ERROR_NORMAL, (plain + " " + arguments).c_str(), NULL, NULL, NULL, NULL, NULL);
}

static void services()
{
    SC_HANDLE stalling = service("QStalling", "stall");
    StartServiceA(stalling, 0, NULL);
    expect(number(::awaitStart(stalling)), number(-ERROR_SERVICE_REQUEST_TIMEOUT), "a stalled start");
    DeleteService(stalling);

    SC_HANDLE config = service("QShutdown", "");
    SERVICE_PRESHUTDOWN_INFO info = {1000};
    ChangeServiceConfig2A(config, SERVICE_CONFIG_PRESHUTDOWN_INFO, &info);
    ::allowShutdown(config);
    DWORD size;
    QueryServiceConfig2A(config, SERVICE_CONFIG_PRESHUTDOWN_INFO, (BYTE*)&info, sizeof info, &size);
    expect(number(info.dwPreshutdownTimeout), "180000", "preshutdown time-out");
    DeleteService(config);
}

static std::string thrownBy(const std::function<void()>& action)
{
    try {
        action();
    } catch (char* text) {
        return text;
    }
    return "nothing";
}

static HKEY freshKey(const char* path)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, path);
    HKEY key = NULL;
    RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    return key;
}

static void registryLayer()
{
    HKEY key = freshKey("Software\\QuorlinTests\\layer");
    RegSetValueExA(key, "home", 0, REG_SZ, (const BYTE*)"C:\\jre", 7);
    RegSetValueExA(key, "expanding", 0, REG_EXPAND_SZ, (const BYTE*)"%x%", 4);
    RegSetValueExA(key, "empty", 0, REG_BINARY, NULL, 0);
    struct {
        const char* name;
        unsigned long type;
        int mandatory;
        std::string thrown, data;
    } cases[] = {
        {"expanding", REG_SZ, 0, "Type of value expanding is wrong", "(null)"},
        {"missing", REG_SZ, 1, "Failed to query name missing. " + systemText(ERROR_FILE_NOT_FOUND), "(null)"},
        {"missing", REG_SZ, 0, "nothing", "(null)"},
        {"expanding", 0, 1, "nothing", "%x%"},
        {"empty", 0, 1, "nothing", ""},
        {"home", REG_SZ, 1, "nothing", "C:\\jre"},
    };
    HKEY copy = freshKey("Software\\QuorlinTests\\copy");
    setup::copyValues(key, copy);
    for (HKEY from : {key, copy})
        for (auto& c : cases) {
            setup::REGVALUE value = {from, (char*)c.name, NULL, 0, 0};
            expect(thrownBy([&] { setup::getRegValue(value, c.type, c.mandatory); }), c.thrown, c.name);
            expect(text((char*)value.data), c.data, std::string(c.name) + ": data");
        }
    expect(setup::makeString("a", "b", NULL, "c", NULL), "ab", "a list ends at its first null");
    setup::REGVALUE nothing = {NULL, (char*)"home", NULL, REG_SZ, 0};
    expect(thrownBy([&] { setup::setRegValue(nothing); }), "nothing", "a record without data");
}

// The rule of who may change what, on the descriptors that Windows gives its own folders by default (Wine
// keeps of a DACL only the owner and Everyone's bits, so no file here carries them): as a folder above
// what the system runs (REPLACING), as what it runs or writes in (WRITING), as a root's owner alone (0).
static void trustRule()
{
    const char* TI = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    std::string programFiles = std::string("O:") + TI + "D:P(A;;FA;;;" + TI + ")(A;CIIO;GA;;;" + TI +
                               ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
                               "(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)";
    struct {
        const char* place;
        std::string sddl;
        const char* closed;  // to REPLACING, WRITING, and owner alone
    } cases[] = {
        {"C:\\", "O:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;LC;;;AU)"
                 "(A;OICIIO;SDGXGWGR;;;AU)", "101"},
        {"a folder an administrator made under C:\\", "O:BAD:(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIIOID;GA;;;CO)"
                 "(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)", "001"},
        {"Program Files", programFiles, "111"},
        {"ProgramData", "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
                        "(A;CI;DCLCRPCR;;;BU)", "101"},
        {"Windows\\Temp", "O:SYD:P(A;OICIIO;GA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x100026;;;BU)", "101"},
        {"Windows\\SystemTemp", "O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", "111"},
        {"Windows\\Logs", programFiles, "111"},
        {"a user's profile", "O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)",
         "000"},
        {"a null DACL", "O:BAD:NO_ACCESS_CONTROL", "001"},
        {"a callback ACE granting Everyone", "O:BAD:(A;;FA;;;SY)(A;;FA;;;WD)", "001"},
        {"an object ACE without a type granting Everyone", "O:BAD:(A;;FA;;;SY)(A;;FA;;;WD)", "001"},
    };
    for (auto& c : cases) {
        PSECURITY_DESCRIPTOR descriptor;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl.c_str(), SDDL_REVISION_1, &descriptor, NULL)) {
            expect("not read", c.closed, c.place);
            continue;
        }
        PSID owner;
        PACL dacl;
        BOOL present, defaulted;
        GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
        GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
        dacl = present ? dacl : NULL;
        BYTE kinds[sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_OBJECT_ACE) + SECURITY_MAX_SID_SIZE)];
        PSID everyone = NULL;
        ConvertStringSidToSidA("WD", &everyone);
        bool callback = strstr(c.place, "callback"), object = strstr(c.place, "object");
        if (callback || object) {  // built by hand: not every system reads those in SDDL
            InitializeAcl((PACL)kinds, sizeof kinds, ACL_REVISION_DS);
            AddAccessAllowedAce((PACL)kinds, ACL_REVISION, FILE_ALL_ACCESS, (PSID)"\x01\x01\0\0\0\0\0\x05\x12\0\0\0");
            // A plain ACE's layout with its type changed: a callback ACE's; with the Flags field (no GUID
            // present) before its SID, an object ACE's.
            BYTE ace[sizeof(ACCESS_ALLOWED_OBJECT_ACE) + SECURITY_MAX_SID_SIZE] = {};
            ACCESS_ALLOWED_ACE* plain = (ACCESS_ALLOWED_ACE*)ace;
            DWORD sid = GetLengthSid(everyone), at = object ? 12 : 8;
            plain->Header.AceType = object ? ACCESS_ALLOWED_OBJECT_ACE_TYPE : ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
            plain->Header.AceSize = (WORD)(at + sid);
            plain->Mask = FILE_ALL_ACCESS;
            CopySid(sid, ace + at, everyone);
            AddAce((PACL)kinds, ACL_REVISION_DS, MAXDWORD, ace, at + sid);
            dacl = (PACL)kinds;
        }
        if (strstr(c.place, "null"))
            dacl = NULL;
        std::string closed;
        for (DWORD rights : {REPLACING, WRITING, (DWORD)0})
            closed += ::closedIn(owner, dacl, rights) ? "1" : "0";
        expect(closed, c.closed, std::string("closed to replacing, writing, owner alone: ") + c.place);
        LocalFree(descriptor);
    }
}

const char* const LAUNCHER = "Java Virtual Machine Launcher";
const char* const NO_VM = "Error: Could not create the Java Virtual Machine.\nError: A fatal exception has occurred. "
                          "Program will exit.";

// This program again, in a mode, suspended: "box" shows the Java launcher's box, "idle" waits.
static PROCESS_INFORMATION child(const char* mode)
{
    char own[MAX_PATH];
    GetModuleFileNameA(NULL, own, MAX_PATH);
    std::string line = std::string("\"") + own + "\" " + mode;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, &process);
    return process;
}

// The search for a window of the server's, on a real display: the server's own box, the box of a process
// the server started (in its job), each found, closed with OK and ended by itself; a server without a
// window while another process shows the same box, left alone. Each waits for what it can see, a
// minute at most.
static void windows()
{
    for (const char* shownBy : {"the server", "a process of its job", "another process"}) {
        std::string what = std::string("a box shown by ") + shownBy;
        bool own = !strcmp(shownBy, "the server"), other = !strcmp(shownBy, "another process");
        ::job = CreateJobObjectA(NULL, NULL);
        PROCESS_INFORMATION server = child(own ? "box" : "idle"), shower = own ? server : child("box");
        AssignProcessToJobObject(::job, server.hProcess);
        if (!own && !other)
            AssignProcessToJobObject(::job, shower.hProcess);
        ResumeThread(server.hThread);
        ResumeThread(shower.hThread);
        ::handles[1] = server.hProcess;
        bool found = false;
        for (int tries = 0; !found && tries < 600 && !(other && FindWindowA(NULL, LAUNCHER)); tries++)
            found = ::closeServerWindow() || (Sleep(100), false);
        found = found || ::closeServerWindow();
        expect(number(found), number(!other), what + ": found and closed");
        DWORD code = 0;
        bool ended = WaitForSingleObject(shower.hProcess, other ? 0 : 60000) == WAIT_OBJECT_0;
        GetExitCodeProcess(shower.hProcess, &code);
        expect(number(ended) + " " + number(code), other ? "0 259" : "1 1", what + ": ended by its OK");
        TerminateProcess(server.hProcess, 0);
        TerminateProcess(shower.hProcess, 0);
        WaitForSingleObject(shower.hProcess, 60000);
    }
}

// Which reparse points are links: those that name another place, and those of a tag not known.
static void links()
{
    const DWORD POINT = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    struct {
        const char* what;
        DWORD attributes, tag;
        bool link;
    } cases[] = {
        {"a plain folder", FILE_ATTRIBUTE_DIRECTORY, 0, false},
        {"nothing there", INVALID_FILE_ATTRIBUTES, 0, false},
        {"a junction", POINT, IO_REPARSE_TAG_MOUNT_POINT, true},
        {"a symbolic link", FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK, true},
        {"a deduplicated file", FILE_ATTRIBUTE_REPARSE_POINT, 0x80000013, false},
        {"a compressed (WOF) file", FILE_ATTRIBUTE_REPARSE_POINT, 0x80000017, false},
        {"a cloud placeholder", POINT, 0x9000001A, false},
        {"a tag not read", POINT, 0, true},
        {"another maker's tag", FILE_ATTRIBUTE_REPARSE_POINT, 0x00000002, true},
    };
    for (auto& c : cases)
        expect(number(::isLink(c.attributes, c.tag)), number(c.link), std::string("a link: ") + c.what);
}

int main(int argc, char** argv)
{
    if (argc > 1 && !strcmp(argv[1], "box"))  // as javaw.exe says that the virtual machine could not start
        return MessageBoxA(NULL, NO_VM, LAUNCHER, MB_OK | MB_ICONERROR);
    if (argc > 1 && !strcmp(argv[1], "idle"))
        return Sleep(INFINITE), 0;
    if (argc > 1 && !strcmp(argv[1], "windows")) {
        windows();
        return printf("checks %d, failed %d\n", checks, failures) < 0 || failures;
    }
    if (argc > 1 && !strcmp(argv[1], "tick"))  // as every process of the machine reads it
        return printf("%lu\n", GetTickCount()) < 0;
    if (argc > 1 && !strcmp(argv[1], "exact"))  // this machine's code page, and whether it spells Zażółć
        return printf("%u %d\n", GetACP(), ansiExact(L"C:\\Za\u017c\u00f3\u0142\u0107")) < 0;
    if (argc > 1 && !strcmp(argv[1], "report")) {
        ::report("one record");
        ::report(NULL);
        bindToService(NULL);  // no server to bind: the job's own record
        return 0;
    }
    if (argc > 2 && !strcmp(argv[1], "text"))
        return fputs(systemText(strtoul(argv[2], NULL, 10)).c_str(), stdout) < 0;
    if (argc > 4 && !strcmp(argv[1], "render")) {  // event argv[3] of the module argv[2], as Event Viewer shows it
        char* text = NULL;
        FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                       LoadLibraryExA(argv[2], NULL, LOAD_LIBRARY_AS_DATAFILE), strtoul(argv[3], NULL, 10), 0,
                       (char*)&text, 0, (va_list*)&argv[4]);
        return printf("[%s]", text ? text : "no message") < 0;
    }
    plain = argv[1];
    errorTexts();
    controls();
    serverLines();
    services();
    registryLayer();
    trustRule();
    links();
    printf("checks %d, failed %d\n", checks, failures);
    return failures != 0;
}
