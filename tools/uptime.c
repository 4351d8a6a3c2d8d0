/* Plays a machine up 26 days for the tests (the 32-bit tick past 2^31): loaded by LD_PRELOAD into the
 * wineserver and every Wine process of a session, it adds 26 days to the monotonic clocks and the boot
 * clock, whose time since boot Wine's tick count reads, and leaves the real-time clock alone. Built for
 * x86_64 and i386 as <dir>/lib/<triplet>/uptime.so, named as <dir>/$LIB/uptime.so. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <time.h>

#define SHIFT (26LL * 24 * 3600)

static int shifted(clockid_t clock)
{
    return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW || clock == CLOCK_MONOTONIC_COARSE ||
           clock == CLOCK_BOOTTIME;
}

int clock_gettime(clockid_t clock, struct timespec* now)
{
    static int (*real)(clockid_t, struct timespec*);
    if (!real)
        real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
    int result = real(clock, now);
    if (result == 0 && shifted(clock))
        now->tv_sec += SHIFT;
    return result;
}

#ifdef __i386__
/* What a 32-bit program built with 64-bit time calls. */
struct timespec64 {
    long long tv_sec;
    long tv_nsec;
    long padding;
};

int __clock_gettime64(clockid_t clock, struct timespec64* now)
{
    static int (*real)(clockid_t, struct timespec64*);
    if (!real)
        real = (int (*)(clockid_t, struct timespec64*))dlsym(RTLD_NEXT, "__clock_gettime64");
    int result = real ? real(clock, now) : -1;
    if (result == 0 && shifted(clock))
        now->tv_sec += SHIFT;
    return result;
}
#endif
