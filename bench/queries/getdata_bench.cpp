// Under Wine, through the DLL, against the simulated printer:
// 1. the suite's "Refresh:<printer>" round trip (a list that needs the
//    printer, so one device poll inside) next to one device poll made
//    directly on a port context of the same settings, alternated;
// 2. "Suspend" sent to a polling refresh thread at random points of its
//    cycle, until the thread has ended (the suite allows 4000 ms);
// 3. the CPU time of the refresh thread itself per idle round (the thread
//    found as the one "Wake Up" started, read with GetThreadTimes), next to
//    the CPU of as many bare SNMP round trips as one round sends.
// Usage: getdata_bench [samples]
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/settings.h"
#include "portinfo/portkind.h"
#include "snmp/ber.h"
#include "snmp/snmp.h"
#include "srmdouble.h"
#include "../support/liveport.h"
#include "status/devpoll.h"
#include "support/whitebox.h"
#include "../support/roundtrip.h"

namespace {

const char kAddr[] = "127.0.11.42";
const wchar_t kPort[] = L"IP_127.0.11.42";
constexpr wchar_t kPrinter[] = L"Bench Query";
constexpr DWORD kIntervalMs = 1000;         // the shortest polling interval the monitor takes
constexpr DWORD kPollGuardMs = 1100;        // refresh requests closer than 1000 ms share one poll
constexpr DWORD kSuspendAllowanceMs = 4000;
constexpr long long kRoundGapMs = 300;      // longer than any pause inside a round

double CpuMs(HANDLE thread) {
    FILETIME c, e, k, u;
    if (!GetThreadTimes(thread, &c, &e, &k, &u)) return -1;
    auto ms = [](const FILETIME& f) {
        return static_cast<double>((static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e4;
    };
    return ms(k) + ms(u);
}

std::set<DWORD> ThreadIds() {
    std::set<DWORD> ids;
    DWORD me = GetCurrentProcessId();
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te = {};
    te.dwSize = sizeof(te);
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == me) ids.insert(te.th32ThreadID);
    CloseHandle(snap);
    return ids;
}

// Rounds in the printer's request log from index `from` on: request counts of
// each complete round (a gap longer than any pause inside a round ends one).
std::vector<size_t> Rounds(const std::vector<SimRequest>& log, size_t from) {
    std::vector<size_t> out;
    size_t first = from;
    for (size_t i = from + 1; i <= log.size(); ++i) {
        if (i < log.size() && log[i].ms - log[i - 1].ms < kRoundGapMs) continue;
        if (i < log.size()) out.push_back(i - first);
        first = i;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    int samples = argc > 1 ? atoi(argv[1]) : 10;
    if (samples < 1) samples = 10;
    WSADATA wsa;
    WSAStartup(MAKEWORD(1, 1), &wsa);
    BenchLivePort dll(kAddr, "Bench Query", kIntervalMs);
    if (!dll.Prepare()) return 1;
    SrmDouble_SetTextA(dll.name.c_str(), "RefreshStatus", "PrinterStatus;PrinterDisplay");
    if (!dll.Open()) return 1;
    SimProcess& printer = dll.printer;
    // The baseline's own port context, with the settings the DLL's port read.
    EnsureMonitorProcess();
    // The DLL reads these at its start; the port's address then comes from
    // the port monitor's answer, as it does for the DLL's own port.
    dwOSMajor = 6;
    dwOSMinor = 1;
    PortContext* ctx = NewContext(kPort, kPrinter);
    if (!ctx) return 1;
    ReadPollingSettings(ctx);
    ctx->dwPortStatus = PORTKIND_BASE | PORTKIND_TCPIP | PORTKIND_TCPMON;
    strcpy(ctx->szCommunity, "ravine");

    int failures = 0;
    std::wstring refresh = std::wstring(L"Refresh:") + kPrinter;
    failures += dll.Ask(refresh.c_str()) != 0;   // binds the manager, confirms the model
    failures += !CheckDeviceId_SNMP(ctx);
    std::vector<double> trip, poll, ratio;
    for (int i = 0; i < samples; ++i) {
        Sleep(kPollGuardMs);
        double t0 = NowMs();
        DWORD answer = dll.Ask(refresh.c_str());
        double t1 = NowMs();
        failures += !CheckDeviceId_SNMP(ctx);
        double t2 = NowMs();
        if (answer != 0) ++failures;
        trip.push_back(t1 - t0);
        poll.push_back(t2 - t1);
        ratio.push_back((t1 - t0) / (t2 - t1));
    }

    // Suspend at random points of the thread's cycle.
    srand(11);
    std::vector<double> suspend;
    for (int i = 0; i < samples; ++i) {
        if (dll.Ask(L"Wake Up") != 0) ++failures;
        Sleep(kIntervalMs + static_cast<DWORD>(rand() % kIntervalMs));
        double t0 = NowMs();
        DWORD answer = dll.Ask(L"Suspend");
        suspend.push_back(NowMs() - t0);
        if (answer != 0) ++failures;
        dll.Ask(L"Stop Polling");
    }

    // The refresh thread's CPU over idle rounds.
    std::set<DWORD> before = ThreadIds();
    if (dll.Ask(L"Wake Up") != 0) ++failures;
    Sleep(kIntervalMs / 2);
    std::set<DWORD> after = ThreadIds();
    HANDLE thread = nullptr;
    int started = 0;
    for (DWORD id : after)
        if (!before.count(id)) {
            ++started;
            if (!thread) thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
        }
    double cpuThread = -1, cpuBare = 0;
    size_t rounds = 0, perRound = 0;
    if (started == 1 && thread) {
        Sleep(2 * kIntervalMs);
        size_t from = printer.Requests().size();
        double c0 = CpuMs(thread);
        Sleep(static_cast<DWORD>(samples) * 1500);
        double c1 = CpuMs(thread);
        auto counts = Rounds(printer.Requests(), from);
        rounds = counts.size();
        perRound = rounds ? counts[0] : 0;
        cpuThread = rounds ? (c1 - c0) / static_cast<double>(rounds) : -1;

        const BareRequest request = SysDescrRequest(kAddr);
        HANDLE me = GetCurrentThread();
        double b0 = CpuMs(me);
        for (size_t r = 0; r < rounds; ++r)
            for (size_t k = 0; k < perRound; ++k) failures += !BareRoundTrip(request);
        cpuBare = rounds ? (CpuMs(me) - b0) / static_cast<double>(rounds) : 0;
    } else {
        fprintf(stderr, "the refresh thread was not told apart (%d new threads)\n", started);
        ++failures;
    }
    if (thread) CloseHandle(thread);
    dll.Ask(L"Stop Polling");
    FreeContext(ctx);
    dll.Close();

    double worst = *std::max_element(suspend.begin(), suspend.end());
    printf("samples %d, failures %d\n", samples, failures);
    printf("\"Refresh:\" round trip      %8.1f ms (median)\n", Median(trip));
    printf("one device poll (direct)   %8.1f ms (median)   ratio %.2f (median of pairs)\n", Median(poll),
           Median(ratio));
    printf("\"Suspend\" to thread end    %8.1f ms median, %.1f ms worst of %zu; allowance %lu ms: worst / "
           "allowance %.2f\n",
           Median(suspend), worst, suspend.size(), static_cast<unsigned long>(kSuspendAllowanceMs),
           worst / kSuspendAllowanceMs);
    printf("refresh thread CPU per idle round %7.3f ms (%zu rounds of %zu requests)\n", cpuThread, rounds, perRound);
    printf("CPU of as many bare round trips   %7.3f ms   ratio %.2f\n", cpuBare,
           cpuBare > 0 ? cpuThread / cpuBare : 0.0);
    return failures ? 1 : 0;
}
