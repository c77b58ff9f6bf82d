#include "support/watchdog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace {

struct Watch {
    CRITICAL_SECTION cs;
    HANDLE changed = nullptr;         // auto-reset: the deadline moved
    ULONGLONG deadline = 0;           // GetTickCount64; 0 = no test running
    std::string test;
    std::set<int> pids;
};

Watch& W() {
    static Watch* w = [] {
        auto* x = new Watch;          // never freed: the thread outlives main
        InitializeCriticalSection(&x->cs);
        x->changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        return x;
    }();
    return *w;
}

void KillPid(int pid) {
    // Wine runs a Unix path as a Unix process: the native kill reaches it.
    std::string cmd = "/bin/kill -KILL " + std::to_string(pid);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
}

DWORD WINAPI WatchThread(void*) {
    Watch& w = W();
    for (;;) {
        EnterCriticalSection(&w.cs);
        ULONGLONG deadline = w.deadline, now = GetTickCount64();
        std::string test = w.test;
        std::set<int> pids = w.pids;
        LeaveCriticalSection(&w.cs);
        if (deadline && now >= deadline) {
            fprintf(stderr, "\nwatchdog: %s did not end within its time; stopping the program\n", test.c_str());
            for (int pid : pids) KillPid(pid);
            fflush(stdout);
            fflush(stderr);
            Sleep(200);               // let the kills start before the process goes
            TerminateProcess(GetCurrentProcess(), 3);
        }
        WaitForSingleObject(w.changed, deadline ? static_cast<DWORD>(deadline - now) : INFINITE);
    }
}

void Arm(DWORD seconds, const std::string* test) {
    Watch& w = W();
    static HANDLE thread = CreateThread(nullptr, 0, WatchThread, nullptr, 0, nullptr);
    (void)thread;                     // runs for the life of the process
    EnterCriticalSection(&w.cs);
    w.deadline = seconds ? GetTickCount64() + seconds * 1000ull : 0;
    if (test) w.test = *test;
    LeaveCriticalSection(&w.cs);
    SetEvent(w.changed);
}

// ctest passes the limit in VJL_WATCHDOG_S; a program run by hand gets two minutes.
DWORD DefaultLimit() {
    const char* env = getenv("VJL_WATCHDOG_S");
    DWORD s = env ? strtoul(env, nullptr, 10) : 0;
    return s ? s : 120;
}

class WatchdogListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& info) override {
        std::string name = std::string(info.test_suite_name()) + "." + info.name();
        Arm(DefaultLimit(), &name);
    }
    void OnTestEnd(const ::testing::TestInfo&) override { Arm(0, nullptr); }
};

const bool installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new WatchdogListener);
    return true;
}();

}  // namespace

void SetTestWatchdog(DWORD seconds) { Arm(seconds, nullptr); }

void WatchdogTrackPid(int pid) {
    Watch& w = W();
    EnterCriticalSection(&w.cs);
    w.pids.insert(pid);
    LeaveCriticalSection(&w.cs);
}

void WatchdogUntrackPid(int pid) {
    Watch& w = W();
    EnterCriticalSection(&w.cs);
    w.pids.erase(pid);
    LeaveCriticalSection(&w.cs);
}
