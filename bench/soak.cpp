// Install, run, remove, gone: N times over in one prefix, then what is left behind.
#include "bench.h"
using namespace bed;

int main(int argc, char** argv)
{
    const int cycles = argc > 1 ? atoi(argv[1]) : 30;
    Root root("C:\\soak root");
    root.behave("Quorlin", "");
    std::string quorlin = "\"" + root.exe() + "\" ";
    int good = 0;
    DWORD slowest = 0;
    for (int cycle = 1; cycle <= cycles; cycle++) {
        DWORD start = GetTickCount();
        bool ok = run(quorlin + "-install").out == printed("Service started");
        ok = ok && processes("javaw.exe").size() == 1;
        ok = run(quorlin + "-remove").out == printed("Service removed") && ok;
        ok = waitFor([] { return gone("Quorlin"); }) && noneLeft() && ok;
        slowest = std::max(slowest, GetTickCount() - start);
        good += ok;
        if (!ok)
            printf("cycle %d failed\n", cycle);
    }
    printf("cycles %d: %d succeeded, %d failed; slowest cycle %lu ms\n", cycles, good, cycles - good, slowest);
    printf("left behind: service %s, servers %zu, hosts %zu\n", gone("Quorlin") ? "none" : "Quorlin",
           processes("javaw.exe").size(), processes("Quorlin.exe").size());
    return good == cycles ? 0 : 1;
}
