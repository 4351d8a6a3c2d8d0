// The service's life as the Service Control Manager and the server see it, with the stand-in server.
#include "fixture.h"
#include <set>
using namespace bed;

// The lines of the server's record that begin with key, without the key.
static std::vector<std::string> recorded(const std::string& log, const std::string& key)
{
    std::vector<std::string> values;
    for (size_t at = 0, end; (end = log.find("\r\n", at)) != std::string::npos; at = end + 2)
        if (!log.compare(at, key.size() + 1, key + " "))
            values.push_back(log.substr(at + key.size() + 1, end - at - key.size() - 1));
    return values;
}

// The PATH that services get: the system variable, expanded.
static std::string servicePath()
{
    char raw[4096] = "", expanded[4096] = "";
    DWORD size = sizeof raw;
    RegGetValueA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager\\Environment", "PATH",
                 RRF_RT_ANY | RRF_NOEXPAND, NULL, raw, &size);
    ExpandEnvironmentStringsA(raw, expanded, sizeof expanded);
    return expanded;
}

// Polls the service's status until it reaches state, gathering the checkpoints of the pending state
// on the way; every pending report must carry the wait hint of 5000 ms.
static std::set<DWORD> checkpointsUntil(const Service& service, DWORD pending, DWORD state)
{
    std::set<DWORD> seen;
    EXPECT_TRUE(waitFor([&] {
        SERVICE_STATUS status = service.query();
        if (status.dwCurrentState == pending) {
            seen.insert(status.dwCheckPoint);
            EXPECT_EQ(status.dwWaitHint, 5000u);
        }
        return status.dwCurrentState == state;
    }));
    return seen;
}

TEST(Lifecycle, HappyLife)
{
    // Set when the session has JAVA_OPTS as a system variable (see with-java-opts).
    const char* javaOpts = getenv("QUORLIN_JAVA_OPTS");
    Root root("C:\\happy root");
    root.behave("QHappy", "ready_after 1500\nignore_stop 1500\n");
    Service service("QHappy", "\"" + root.exe() + "\"");
    ASSERT_TRUE(service.start()) << GetLastError();

    SERVICE_STATUS status = service.control(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_START_PENDING);
    EXPECT_EQ(status.dwControlsAccepted, 0u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 5000u);
    ASSERT_TRUE(service.waitState(SERVICE_RUNNING));
    status = service.control(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_RUNNING);
    EXPECT_EQ(status.dwControlsAccepted, (DWORD)SERVICE_ACCEPT_STOP);
    EXPECT_EQ(status.dwCheckPoint, 0u);

    ASSERT_TRUE(root.serverSaid("armed"));
    service.control(SERVICE_CONTROL_STOP);
    EXPECT_TRUE(root.serverSaid("stop seen")) << "the stop signal is the named event";
    ASSERT_TRUE(service.waitState(SERVICE_STOPPED));
    EXPECT_EQ(service.query().dwWin32ExitCode, 0u);
    EXPECT_TRUE(noneLeft());

    std::string log = root.serverLog();
    EXPECT_EQ(recorded(log, "command"),
              std::vector<std::string>{"javaw.exe " + std::string(javaOpts ? javaOpts : "") +
                                       " -jar .\\server\\lib\\ZQ_glimmerfold_server.jar -e"});
    EXPECT_EQ(recorded(log, "directory"), std::vector<std::string>{root.dir});
    std::vector<std::string> environment;
    for (const std::string& entry : recorded(log, "environment"))
        if (entry.compare(0, 12, "SystemDrive=") && entry.compare(0, 4, "WINE"))  // added by Wine itself
            environment.push_back(entry);
    EXPECT_EQ(environment, (std::vector<std::string>{"PATH=" + root.dir + "\\bin;" + servicePath(),
                                                     "SystemRoot=" + std::string(getenv("SystemRoot"))}));
}

TEST(Lifecycle, ASlowServerShowsProgressAtStartAndStop)
{
    Root root("C:\\slow");
    root.behave("QSlow", "ready_after 11000\nignore_stop 11000\n");
    Service service("QSlow", root.exe());
    ASSERT_TRUE(service.start());
    EXPECT_EQ(checkpointsUntil(service, SERVICE_START_PENDING, SERVICE_RUNNING), (std::set<DWORD>{0, 1, 2}));
    EXPECT_EQ(service.query().dwCheckPoint, 2u);
    ASSERT_TRUE(root.serverSaid("armed"));
    // Wine's Service Control Manager holds status queries while a control request is in progress,
    // up to its 10 s control time-out: the stop-pending report with checkpoint 0 is superseded by then.
    std::thread stopping = service.stop();
    EXPECT_EQ(checkpointsUntil(service, SERVICE_STOP_PENDING, SERVICE_STOPPED), (std::set<DWORD>{1, 2}));
    stopping.join();
    EXPECT_TRUE(noneLeft());
}

TEST(Lifecycle, AFailedStartIsReportedStoppedWithItsCause)
{
    struct {
        const char* story;
        const char* behaviour;
        bool withServer;
        DWORD exitCode, specificCode;
        std::string event;
    } cases[] = {
        {"the server ends before it is ready", "exit_before 3\n", true, ERROR_SERVICE_SPECIFIC_ERROR, 0,
         "Startup failed (check VexilProxyError)"},
        {"there is no javaw.exe", "", false, 4294967294u, 0, "error -2"},
        {"the server ends after running", "exit_after 500 7\n", true, ERROR_SERVICE_SPECIFIC_ERROR, 7,
         "Server ended by itself with exit status 7"},
        {"the server signals and ends at once", "exit_on_ready 5\n", true, ERROR_SERVICE_SPECIFIC_ERROR, 5,
         "Server ended by itself with exit status 5"},
        {"the executable lies in a drive's root", "", true, ERROR_BAD_PATHNAME, 0, systemText(ERROR_BAD_PATHNAME)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.story);
        Root root("C:\\failing", c.withServer);
        root.behave("QFailing", c.behaviour);
        std::string exe = root.exe();
        if (c.exitCode == ERROR_BAD_PATHNAME)
            CopyFileA(root.exe().c_str(), (exe = "C:\\Quorlin.exe").c_str(), FALSE);
        EventLog events;
        Service service("QFailing", exe);
        ASSERT_TRUE(service.start());
        ASSERT_TRUE(service.waitState(SERVICE_STOPPED));
        SERVICE_STATUS status = service.query();
        EXPECT_EQ(status.dwWin32ExitCode, c.exitCode);
        EXPECT_EQ(status.dwServiceSpecificExitCode, c.specificCode);
        EXPECT_TRUE(events.waitFor(c.event));
        EXPECT_TRUE(noneLeft());
    }
}

TEST(Lifecycle, AKilledServiceTakesItsServerAlong)
{
    Root root("C:\\killed");
    root.behave("QKilled", "");
    Service service("QKilled", root.exe());
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(root.serverSaid("armed"));
    ASSERT_EQ(processes("javaw.exe").size(), 1u);
    for (DWORD id : processes("Quorlin.exe"))
        TerminateProcess(OpenProcess(PROCESS_TERMINATE, FALSE, id), 9);
    EXPECT_TRUE(waitFor([] { return processes("javaw.exe").empty(); }));
}
