// Installing and removing the service from the console, as an operator does.
#include "fixture.h"
using namespace bed;

static const char* sourceKey = "System\\CurrentControlSet\\Services\\EventLog\\Application\\Quorlin";

static Outcome quorlin(const Root& root, const std::string& arguments)
{
    return run("\"" + root.exe() + "\" " + arguments);
}

static std::string imagePath()
{
    char text[1024] = "";
    DWORD size = sizeof text;
    RegGetValueA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Quorlin", "ImagePath", RRF_RT_ANY, NULL,
                 text, &size);
    return text;
}

// The number of values under the event-log source key, or -1 when there is no key.
static int sourceKeyValues()
{
    HKEY key;
    DWORD values;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, sourceKey, 0, KEY_READ, &key))
        return -1;
    RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    return values;
}

static void removeAndWait(const Root& root)
{
    EXPECT_EQ(quorlin(root, "-remove").out, printed("Service removed"));
    EXPECT_TRUE(waitFor([] { return gone("Quorlin"); }));
    EXPECT_TRUE(noneLeft());
}

TEST(Install, InstallAndRemoveInARootWithBlanks)
{
    Root root("C:\\Program Files\\Quorlin Root");
    root.behave("Quorlin", "");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, sourceKey);
    Outcome installed = quorlin(root, "-INSTALL further arguments");
    EXPECT_EQ(installed.out, printed("Service started"));
    EXPECT_EQ(installed.exitCode, 0u);
    EXPECT_EQ(imagePath(), "\"" + root.exe() + "\"");
    EXPECT_TRUE(root.serverSaid("armed"));
    EXPECT_EQ(sourceKeyValues(), 0);

    Outcome removed = quorlin(root, "-Remove");
    EXPECT_EQ(removed.out, printed("Service removed"));
    EXPECT_EQ(removed.exitCode, 0u);
    EXPECT_TRUE(root.serverSaid("stop seen"));
    EXPECT_TRUE(waitFor([] { return gone("Quorlin"); }));
    EXPECT_TRUE(noneLeft());
    EXPECT_EQ(sourceKeyValues(), 0) << "removal leaves the source key";

    EXPECT_EQ(quorlin(root, "-install").out, printed("Service started")) << "the key is opened again";
    EXPECT_EQ(sourceKeyValues(), 0);
    removeAndWait(root);
}

TEST(Install, AnExistingOrMissingServiceIsRefusedWithTheSystemText)
{
    Root root("C:\\quorlin");
    root.behave("Quorlin", "");
    // Started by its bare name through PATH, from elsewhere: the registered path is still its own.
    std::string path = getenv("PATH");
    SetEnvironmentVariableA("PATH", (root.dir + "\\bin;" + path).c_str());
    EXPECT_EQ(run("Quorlin.exe -install", "C:\\").out, printed("Service started"));
    SetEnvironmentVariableA("PATH", path.c_str());
    EXPECT_EQ(imagePath(), root.exe());

    Outcome again = quorlin(root, "-install");
    EXPECT_EQ(again.out, printed(systemText(ERROR_SERVICE_EXISTS)));
    EXPECT_EQ(again.exitCode, (DWORD)ERROR_SERVICE_EXISTS);
    EXPECT_EQ(imagePath(), root.exe());
    EXPECT_EQ(processes("javaw.exe").size(), 1u) << "the running service is left alone";
    removeAndWait(root);

    Outcome missing = quorlin(root, "-remove");
    EXPECT_EQ(missing.out, printed(systemText(ERROR_SERVICE_DOES_NOT_EXIST)));
    EXPECT_EQ(missing.exitCode, (DWORD)ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(Install, AFailedStartReachesTheConsole)
{
    struct {
        const char* story;
        const char* behaviour;
        bool withServer;
        std::string out;
        DWORD exitCode;
    } cases[] = {
        {"the server ends before it is ready", "exit_before 0\n", true,
         printed("Failed to start service") + printed("Service specific exit code 0"), 0xFFFFFBD6},
        {"there is no javaw.exe", "", false, printed("Failed to start service") + printed("Exit code -2"), 2},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.story);
        Root root("C:\\quorlin-failing", c.withServer);
        root.behave("Quorlin", c.behaviour);
        Outcome installed = quorlin(root, "-install");
        EXPECT_EQ(installed.out, c.out);
        EXPECT_EQ(installed.exitCode, c.exitCode);
        removeAndWait(root);
    }
}

TEST(Install, TheStartIsRetriedWhileAnotherServiceHoldsTheLock)
{
    Root root("C:\\quorlin-locked");
    root.behave("Quorlin", "");
    Service locker("QLocker", "\"" + built("tests\\plain_service.exe") + "\" 6000");
    std::thread starting([&] { locker.start(); });
    Service probe("QProbe", "\"" + built("tests\\plain_service.exe") + "\"");
    ASSERT_TRUE(waitFor([&] { return !probe.start() && GetLastError() == ERROR_SERVICE_DATABASE_LOCKED; }, 5000))
        << "the database is locked";
    Outcome installed = quorlin(root, "-install");
    EXPECT_EQ(installed.out, printed("Service started"));
    EXPECT_EQ(installed.exitCode, 0u);
    starting.join();
    removeAndWait(root);
}

TEST(Install, AQuotedPathRunsTheServiceNotADecoy)
{
    Root root("C:\\Program Files\\Bars Root");
    root.behave("Quorlin", "");
    const std::string decoy = "C:\\Program Files\\Bars.exe", ran = decoy + ".ran";
    CopyFileA(built("tests\\plain_service.exe").c_str(), decoy.c_str(), FALSE);
    DeleteFileA(ran.c_str());
    {
        Service unquoted("QUnquoted", root.exe());
        unquoted.start();
        EXPECT_TRUE(waitFor([&] { return !readFile(ran).empty(); })) << "an unquoted path runs the decoy";
    }
    EXPECT_EQ(root.serverLog(), "");
    DeleteFileA(ran.c_str());
    EXPECT_EQ(quorlin(root, "-install").out, printed("Service started"));
    EXPECT_TRUE(root.serverSaid("armed"));
    EXPECT_EQ(readFile(ran), "");
    removeAndWait(root);
}
