// Whether this step, the next of the run's steps that change the machine, is to fail: in the test
// builds of the installer's plugin and of the package's action (faults.cpp), as QUORLIN_FAIL_STEPS
// says; in the release build, never.
#pragma once
#ifdef QUORLIN_FAULTS
bool faulted(const wchar_t* step);
#else
inline bool faulted(const wchar_t*)
{
    return false;
}
#endif
