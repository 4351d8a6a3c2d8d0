// The server's output through the host against the same stand-in writing it straight to a file, in
// the same run: how long a flood of 60 MB takes each way, and how long a stop takes right after such a
// flood against one after no output.
#include "bench.h"
using namespace bed;

// The stand-in's flood written through the service into its log; the stop right after it.
static void throughService(const char* flood, double* flooded, double* stopped)
{
    Root root("C:\\bench-output");
    root.behave("QOutput", flood);
    Service service("QOutput", "\"" + root.exe() + "\"");
    service.start();
    root.serverSaid("armed");
    *flooded = *flood ? noted(root, "flood ends") - noted(root, "flood begins") : 0;
    double asked = now();
    service.control(SERVICE_CONTROL_STOP);
    service.waitState(SERVICE_STOPPED);
    *stopped = now() - asked;
}

// The same stand-in with its output going straight to a file, its event made here.
static double straightToFile()
{
    Root root("C:\\bench-direct");
    root.behave("none", "flood 60\n");
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, "Quorlin");
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE file = CreateFileA((root.dir + "\\flood.out").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, 0, NULL);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = file;
    PROCESS_INFORMATION server = {};
    char commandLine[] = "javaw.exe -jar .\\server\\lib\\ZQ_glimmerfold_server.jar -e";
    CreateProcessA((root.dir + "\\javaw.exe").c_str(), commandLine, NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL,
                   root.dir.c_str(), &startup, &server);
    double flooded = noted(root, "flood ends") - noted(root, "flood begins");
    SetEvent(event);
    WaitForSingleObject(server.hProcess, 30000);
    CloseHandle(file);
    CloseHandle(event);
    return flooded;
}

int main()
{
    double flooded, afterFlood, idle, quiet;
    throughService("flood 60\n", &flooded, &afterFlood);
    throughService("", &idle, &quiet);
    double direct = straightToFile();
    printf("a flood of 60 MB, and a stop: ms, and as ratios to the same stand-in without the host\n");
    printf("  %-44s %9.1f ms  1.00x\n", "the flood straight into a file", direct);
    printf("  %-44s %9.1f ms  %.2fx\n", "the flood through the host into its log", flooded, flooded / direct);
    printf("  %-44s %9.1f ms  1.00x\n", "a stop after no output", quiet);
    printf("  %-44s %9.1f ms  %.2fx\n", "a stop right after the flood", afterFlood, afterFlood / quiet);
    return 0;
}
