// How soon the Service Control Manager and the console see what the server did, against one status
// report's round trip measured in the same run: a trivial service's stop request until its stopped
// state is visible.
#include "bench.h"
#include <algorithm>
using namespace bed;

static double visible(const Service& service, DWORD state)
{
    while (service.query().dwCurrentState != state)
        ;
    return now();
}

static double stopLatency(const Service& service, DWORD state = SERVICE_STOPPED)
{
    double asked = now();
    service.control(SERVICE_CONTROL_STOP);
    return visible(service, state) - asked;
}

// From the server's ready signal until "Quorlin -install" has printed "Service started" and ended.
static double installLatency()
{
    Root root("C:\\latency");
    root.behave("Quorlin", "ready_after 300\n");
    bool started = run("\"" + root.exe() + "\" -install").out == printed("Service started");
    double ended = now();
    double latency = started ? ended - noted(root, "ready") : -1;
    run("\"" + root.exe() + "\" -remove");
    waitFor([] { return gone("Quorlin"); });
    noneLeft();
    return latency;
}

static double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? atoi(argv[1]) : 7;
    std::vector<double> baseline, ready, early, pending, stop, install;
    for (int round = 0; round < rounds; round++) {
        {
            Service plain("QPlain", plainService());
            plain.start();
            plain.waitState(SERVICE_RUNNING);
            baseline.push_back(stopLatency(plain));
        }
        {
            Root root("C:\\latency");
            root.behave("QLatency", "ready_after 300\n");
            Service service("QLatency", root.exe());
            service.start();
            double running = visible(service, SERVICE_RUNNING);
            ready.push_back(running - noted(root, "ready"));
            root.serverSaid("armed");
            stop.push_back(stopLatency(service));
        }
        {
            Root root("C:\\latency");
            root.behave("QLatency", "ignore_stop 1000\n");
            Service service("QLatency", root.exe());
            service.start();
            root.serverSaid("armed");
            pending.push_back(stopLatency(service, SERVICE_STOP_PENDING));
        }
        install.push_back(installLatency());
        {
            Root root("C:\\latency");
            root.behave("QLatency", "exit_before 0\n");
            Service service("QLatency", root.exe());
            service.start();
            double stopped = visible(service, SERVICE_STOPPED);
            early.push_back(stopped - noted(root, "ending"));
        }
    }
    double base = median(baseline);
    printf("medians of %d rounds, in ms and as ratios to the baseline\n", rounds);
    printf("  %-46s %8.2f ms  1.00x\n", "baseline: status report round trip", base);
    printf("  %-46s %8.2f ms  %.2fx\n", "ready signal -> running visible", median(ready), median(ready) / base);
    printf("  %-46s %8.2f ms  %.2fx\n", "server exit -> stopped visible (early end)", median(early), median(early) / base);
    printf("  %-46s %8.2f ms  %.2fx\n", "stop request -> stop pending visible", median(pending), median(pending) / base);
    printf("  %-46s %8.2f ms  %.2fx\n", "stop request -> stopped visible", median(stop), median(stop) / base);
    printf("  %-46s %8.2f ms  %.2fx\n", "ready signal -> -install printed Service started", median(install),
           median(install) / base);

    // A running service only waits: over 10 s it should use no CPU time at all.
    Root root("C:\\latency");
    root.behave("QIdle", "");
    Service idle("QIdle", root.exe());
    idle.start();
    root.serverSaid("armed");
    HANDLE host = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processes("Quorlin.exe").at(0));
    FILETIME created, ended, kernel[2], user[2];
    GetProcessTimes(host, &created, &ended, &kernel[0], &user[0]);
    Sleep(10000);
    GetProcessTimes(host, &created, &ended, &kernel[1], &user[1]);
    auto ms = [](const FILETIME& t) { return (((ULONGLONG)t.dwHighDateTime << 32) | t.dwLowDateTime) / 10000.0; };
    printf("  %-46s %8.2f ms\n", "CPU time of the running service over 10 s",
           ms(kernel[1]) - ms(kernel[0]) + ms(user[1]) - ms(user[0]));
    return 0;
}
