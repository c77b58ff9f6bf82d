// A watchdog over every Windows test program. Each test gets at most the
// time the build gives it (its ctest time-out less a margin); then the
// program prints which test hung, stops the simulated printers it started
// and ends with status 3, so a hung call (a ClosePort that never returns)
// fails its test at once instead of stalling the suite until ctest kills it.
#pragma once
#include <windows.h>

// Changes the limit of the running test, counted from now.
void SetTestWatchdog(DWORD seconds);

// Process ids of native helpers to stop when the watchdog fires.
void WatchdogTrackPid(int pid);
void WatchdogUntrackPid(int pid);
