// Under Wine: one full device poll of an idle port against the simulated
// printer, next to its floor measured in the same run — the pauses the poll
// must make plus as many bare SNMP round trips (socket, sendto, select,
// recvfrom, closesocket) as the poll sent requests. Then the CPU time of the
// refresh cycle's status read (ReadStatus2 with a full poll) next to the CPU
// time of the same number of bare round trips.
// Usage: devpoll_bench [rounds]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fakespool.h"
#include "portinfo/portkind.h"
#include "threads/refresh.h"
#include "snmp/ber.h"
#include "snmp/snmp.h"
#include "spoolports.h"
#include "status/devpoll.h"
#include "control.h"
#include "support/whitebox.h"
#include "../support/roundtrip.h"

namespace {

const char kAddr[] = "127.0.11.40";
const wchar_t kAddrW[] = L"127.0.11.40";
const wchar_t kPort[] = L"IP_127.0.11.40";
constexpr DWORD kPauseMs = 10;

// User plus kernel time of the calling thread, in ms.
double ThreadCpuMs() {
    FILETIME c, e, k, u;
    GetThreadTimes(GetCurrentThread(), &c, &e, &k, &u);
    auto ms = [](const FILETIME& f) {
        return static_cast<double>((static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e4;
    };
    return ms(k) + ms(u);
}


}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 15;
    WSADATA wsa;
    WSAStartup(MAKEWORD(1, 1), &wsa);
    EnsureMonitorProcess();
    dwOSMajor = 6;
    dwOSMinor = 1;

    SimProcess printer(kAddr);
    if (!printer.Start()) {
        fprintf(stderr, "printer: %s\n", printer.error.c_str());
        return 1;
    }
    FakeSpool_Reset();
    AddStandardTcpPort(kPort, kAddrW);
    PortContext* ctx = NewContext(kPort, L"Bench Desk");
    if (!ctx) return 1;
    ctx->dwPortStatus = PORTKIND_BASE | PORTKIND_TCPIP | PORTKIND_TCPMON;
    ctx->dwSNMPIntervals = kPauseMs;
    ctx->dwSNMP_PWOFF = 2;
    ctx->dwDevIDLevel = 1;
    strcpy(ctx->szCommunity, "ravine");

    const BareRequest request = SysDescrRequest(kAddr);

    int failures = 0;
    failures += !CheckDeviceId_SNMP(ctx);   // warm-up; the model is confirmed from here on
    std::vector<double> poll, floor;
    size_t requests = 0;
    for (int r = 0; r < rounds; ++r) {
        printer.Command("requests clear");
        double t0 = NowMs();
        failures += !CheckDeviceId_SNMP(ctx);
        double t1 = NowMs();
        requests = printer.CountRequests("");
        double t2 = NowMs();
        for (size_t i = 0; i < requests; ++i) failures += !BareRoundTrip(request);
        double t3 = NowMs();
        poll.push_back(t1 - t0);
        floor.push_back((t3 - t2) + static_cast<double>((requests - 1) * kPauseMs));
    }

    // CPU: the cycle's status read, then as many bare exchanges, each summed
    // over all rounds (the thread clock ticks coarsely under Wine).
    double cpuCycle = 0, cpuBare = 0;
    for (int r = 0; r < rounds; ++r) {
        ctx->dwDevIdCount = 0;
        double c0 = ThreadCpuMs();
        ReadStatus2(ctx);
        double c1 = ThreadCpuMs();
        for (size_t i = 0; i < requests; ++i) failures += !BareRoundTrip(request);
        double c2 = ThreadCpuMs();
        cpuCycle += c1 - c0;
        cpuBare += c2 - c1;
    }
    FreeContext(ctx);
    printer.Stop();

    double p = Median(poll), f = Median(floor);
    printf("rounds %d, failures %d\n", rounds, failures);
    printf("idle full poll: %zu requests, %zu pauses of %lu ms\n", requests, requests - 1,
           static_cast<unsigned long>(kPauseMs));
    printf("full poll                         %8.2f ms (median)\n", p);
    printf("floor: pauses + bare round trips  %8.2f ms (median)   ratio %.2f (bar: at most 1.2)\n", f, p / f);
    printf("CPU per idle cycle                %8.3f ms\n", cpuCycle / rounds);
    printf("CPU of %zu bare round trips       %8.3f ms           ratio %.2f\n", requests, cpuBare / rounds,
           cpuBare > 0 ? cpuCycle / cpuBare : 0.0);
    return failures ? 1 : 0;
}
