// What the service install check adds to StartDocPort when no service is
// installed. Times a plain port's StartDocPort/EndDocPort cycle (the check
// included) and, interleaved in rounds, the check alone and the two look-ups
// it stands in for: the service manager's (open the manager, open the
// service) and the service's registry key. Prints each against the cycle
// without the check.
//
//   pjmcheck_bench [jobs per round]      (default 200)
#include "jobpath/docport.h"
#include "service/pjmservice.h"
#include "support/whitebox.h"
#include "fakespool.h"
#include "pmdouble.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr DWORD kRounds = 7;
constexpr wchar_t kPrinter[] = L"Bench Printer";
constexpr wchar_t kPort[] = L"BENCH1:";

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

}  // namespace

int main(int argc, char** argv) {
    DWORD jobs = argc > 1 ? static_cast<DWORD>(atoi(argv[1])) : 200;
    if (jobs == 0) jobs = 200;
    EnsureMonitorProcess();
    InitializeCriticalSection(&csDebugLog);
    PmDouble_Reset();
    FakeSpool_Reset();
    FakeSpool_AddPrinter(kPrinter, L"VEK Tessaroline 7700 (LV)", kPort, 0, L"winprint", 0);
    PortContext* ctx = OpenPortWb(kPort, kPrinter, PmDouble_Table());
    if (!ctx) {
        fprintf(stderr, "cannot open the port\n");
        return 1;
    }
    DOC_INFO_1W di{const_cast<LPWSTR>(L"doc"), nullptr, nullptr};
    std::vector<double> cycle, check, manager, regkey;
    DWORD jobId = 1;
    for (DWORD round = 0; round < kRounds; ++round) {
        auto t0 = Clock::now();
        for (DWORD i = 0; i < jobs; ++i, ++jobId) {
            if (!PJLMonStartDocPort(ctx, const_cast<LPWSTR>(kPrinter), jobId, 1, reinterpret_cast<BYTE*>(&di)) ||
                !PJLMonEndDocPort(ctx)) {
                fprintf(stderr, "job %lu failed: %lu\n", static_cast<unsigned long>(jobId), GetLastError());
                return 1;
            }
        }
        cycle.push_back(Seconds(t0) / jobs);
        PmDouble_Reset();   // the call log, outside the timing
        if (ctx->bPJMService) {
            fprintf(stderr, "a VhPJMService is installed here; remove it first\n");
            return 1;
        }
        t0 = Clock::now();
        for (DWORD i = 0; i < jobs; ++i) IsPJMServiceInstalled(ctx);
        check.push_back(Seconds(t0) / jobs);
        t0 = Clock::now();
        for (DWORD i = 0; i < jobs; ++i) {
            SC_HANDLE scm = OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
            if (!scm) continue;
            if (SC_HANDLE svc = OpenServiceW(scm, L"VhPJMService", SERVICE_QUERY_STATUS)) CloseServiceHandle(svc);
            CloseServiceHandle(scm);
        }
        manager.push_back(Seconds(t0) / jobs);
        t0 = Clock::now();
        for (DWORD i = 0; i < jobs; ++i) {
            HKEY key;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\VhPJMService", 0,
                              KEY_QUERY_VALUE, &key) == ERROR_SUCCESS)
                RegCloseKey(key);
        }
        regkey.push_back(Seconds(t0) / jobs);
    }
    PJLMonClosePort(ctx);
    std::sort(cycle.begin(), cycle.end());
    for (auto* v : {&cycle, &check, &manager, &regkey}) std::sort(v->begin(), v->end());
    double full = cycle[kRounds / 2], alone = check[kRounds / 2];
    double without = full - alone;
    printf("StartDocPort+EndDocPort, plain port, no service: %.1f us per job (median of %lu rounds of %lu)\n",
           full * 1e6, static_cast<unsigned long>(kRounds), static_cast<unsigned long>(jobs));
    printf("install check alone:                             %.1f us per job\n", alone * 1e6);
    printf("cycle without the check:                         %.1f us per job\n", without * 1e6);
    auto ratio = [without](double t) { return without > 0 ? t / without : 0.0; };
    printf("check / cycle without it:                        %.3f\n", ratio(alone));
    printf("service-manager look-up / cycle without check:   %.3f (%.1f us)\n", ratio(manager[kRounds / 2]),
           manager[kRounds / 2] * 1e6);
    printf("service key look-up / cycle without check:       %.3f (%.1f us)\n", ratio(regkey[kRounds / 2]),
           regkey[kRounds / 2] * 1e6);
    return 0;
}
