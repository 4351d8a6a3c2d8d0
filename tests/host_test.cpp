// The service host's error texts, its event records and how its command line picks a mode.
#include "fixture.h"
#define main quorlinMain
#include "Quorlin.cpp"
#undef main
using namespace bed;

static std::string host() { return "\"" + built("Quorlin.exe") + "\""; }
static std::string self() { return "\"" + built("tests\\host_test.exe") + "\""; }

TEST(ErrorText, SystemTextOrSignedDecimal)
{
    ASSERT_NE(systemText(193).find("%1"), std::string::npos) << "a text with an insertion sequence";
    ASSERT_EQ(systemText(0xFFFFFFFE), "") << "a code without text";
    struct {
        unsigned long code;
        std::string text;
    } cases[] = {
        {ERROR_ACCESS_DENIED, systemText(ERROR_ACCESS_DENIED)},
        {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, systemText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)},
        {ERROR_BAD_EXE_FORMAT, systemText(ERROR_BAD_EXE_FORMAT)},
        {0xFFFFFFFE, "error -2"},
        {0x80000000, "error -2147483648"},
        {0x20000001, "error 536870913"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(message(c.code), c.text) << c.code;
        if (c.text.compare(0, 6, "error ")) {
            EXPECT_EQ(c.text.substr(c.text.size() - 2), "\r\n") << "the system's line break stays";
        }
    }
}

TEST(EventLog, EachReportWritesOneRecordAndNullNone)
{
    struct {
        const char* arguments;
        std::vector<std::string> events;
    } cases[] = {
        {"--report \"Startup failed (check VexilProxyError)\"", {"Startup failed (check VexilProxyError)"}},
        {"--report \"C:\\Apps\\Srv is \\\"here\\\"\"", {"C:\\Apps\\Srv is \"here\""}},
        {"--report-null", {}},
    };
    for (auto& c : cases) {
        EventLog events;
        run(self() + " " + c.arguments);
        EXPECT_EQ(events.since(), c.events) << c.arguments;
    }
}

TEST(Modes, FirstArgumentPicksTheMode)
{
    struct {
        const char* arguments;
        DWORD exitCode;
        std::string out;
    } cases[] = {
        {" -start", 0, ""},
        {" /install", 0, ""},
        {" install", 0, ""},
        {" -Remove", ERROR_SERVICE_DOES_NOT_EXIST, printed(systemText(ERROR_SERVICE_DOES_NOT_EXIST))},
        {" -REMOVE also ignored", ERROR_SERVICE_DOES_NOT_EXIST, printed(systemText(ERROR_SERVICE_DOES_NOT_EXIST))},
    };
    for (auto& c : cases) {
        Outcome result = run(host() + c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments;
        EXPECT_EQ(result.out, c.out) << c.arguments;
    }
}

TEST(Modes, WithoutArgumentsFromAConsoleTheDispatcherFailureIsAnEvent)
{
    EventLog events;
    Outcome result = run(host());
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(events.since(), std::vector<std::string>{systemText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)});
}

TEST(StartPoll, AStartThatStallsWithoutAnExitCodeIsNoSuccess)
{
    Service stalling("QStalling", "\"" + built("tests\\plain_service.exe") + "\" stall");
    ASSERT_TRUE(stalling.start());
    EXPECT_EQ(awaitStart(stalling.handle), -ERROR_SERVICE_REQUEST_TIMEOUT);
}

int main(int argc, char** argv)
{
    if (argc == 3 && !strcmp(argv[1], "--report"))
        report(argv[2]);
    else if (argc == 2 && !strcmp(argv[1], "--report-null"))
        report(NULL);
    else {
        testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    return 0;
}
