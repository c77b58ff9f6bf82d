// Under Wine, through the DLL: how long an alert raised on the simulated
// printer takes to reach the printer's manager (the ErrPaperJam update the
// manager double records) while a job is in progress, next to its bound
// measured in the same run — one poll interval plus one poll. The poll is
// timed from the printer's own request log: the requests of one refresh
// round, first to last. Alerts are raised and cleared at random points of
// the cycle, so the mean sits near half an interval plus a poll and the
// worst case near the bound.
// Usage: alert_latency_bench [samples]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "srmdouble.h"
#include "../support/liveport.h"
#include "../support/timing.h"

namespace {

const char kAddr[] = "127.0.11.41";
constexpr wchar_t kPrinter[] = L"Latency Desk";
constexpr DWORD kIntervalMs = 1000;   // the shortest polling interval the monitor takes
constexpr long long kRoundGapMs = 300;   // longer than any pause inside a round, shorter than the sleep

constexpr DWORD kResetValue = 0xFFFFFFFF;   // the store's "nothing known yet"

// Milliseconds from `from` until an ErrPaperJam update after the first
// `mark` updates says jammed (or cleared); negative when none comes.
double WaitForJam(double from, size_t mark, bool jammed) {
    for (int i = 0; i < 20000; ++i) {
        DWORD n = SrmDouble_GetUpdateLog(nullptr, 0);
        if (n > mark) {
            std::vector<SrmDoubleUpdateRecord> log(n);
            log.resize(SrmDouble_GetUpdateLog(log.data(), n));
            for (size_t k = mark; k < log.size(); ++k) {
                if (std::string(log[k].name) != "ErrPaperJam" || log[k].cbValue < 4) continue;
                DWORD v = *reinterpret_cast<const DWORD*>(log[k].value);
                if (v != kResetValue && (v != 0) == jammed) return NowMs() - from;
            }
        }
        Sleep(1);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    int samples = argc > 1 ? atoi(argv[1]) : 12;
    BenchLivePort live(kAddr, "Latency Desk", kIntervalMs);
    if (!live.Prepare() || !live.Open()) return 1;
    SimProcess& printer = live.printer;
    SpoolHost& host = live.host;
    HANDLE h = live.h;
    // A job in progress keeps the refresh thread polling every interval.
    DWORD job = FakeSpool_AddJob(kPrinter, 90, 0, L"latency", L"bench", 1);
    const std::string uel = "\x1b%-12345X";
    std::string jcid = "LATENCY";
    jcid.resize(45, 'J');
    host.StartDoc(h, kPrinter, job, L"latency");
    host.WriteAll(h, uel + "@PJL JOB NAME=\"latency\" @JCID=\"" + jcid + "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\npage" + uel);
    Sleep(2 * kIntervalMs);   // past the start's own poll: the thread's rounds are what is measured
    printer.Command("requests clear");

    srand(7);
    std::vector<double> latency;
    for (int i = 0; i < samples; ++i) {
        Sleep(static_cast<DWORD>(rand() % kIntervalMs));   // a random point of the cycle
        bool jam = i % 2 == 0;
        size_t mark = SrmDouble_GetUpdateLog(nullptr, 0);
        double t0 = NowMs();
        printer.Command(jam ? "alert add Hop1 Paper Jam" : "alert del Hop1 Paper Jam");
        double ms = WaitForJam(t0, mark, jam);
        if (ms < 0) {
            fprintf(stderr, "sample %d: never published\n", i);
            return 1;
        }
        latency.push_back(ms);
    }

    // The rounds in the printer's request log: a gap longer than any pause
    // inside a round separates two rounds.
    std::vector<double> poll, cycle;
    auto requests = printer.Requests();
    size_t first = 0;
    for (size_t i = 1; i <= requests.size(); ++i) {
        if (i < requests.size() && requests[i].ms - requests[i - 1].ms < kRoundGapMs) continue;
        if (first > 0 && i < requests.size()) {
            poll.push_back(static_cast<double>(requests[i - 1].ms - requests[first].ms));
            cycle.push_back(static_cast<double>(requests[i].ms - requests[first].ms));
        }
        first = i;
    }
    host.EndDoc(h);
    live.Close();

    double pollMs = Median(poll), cycleMs = Median(cycle);
    double bound = kIntervalMs + pollMs;
    double worst = *std::max_element(latency.begin(), latency.end());
    double mean = 0;
    for (double v : latency) mean += v;
    mean /= static_cast<double>(latency.size());
    printf("samples %zu (alert raised and cleared at random points of the cycle)\n", latency.size());
    printf("one poll (median of %zu rounds): %.0f ms; round start to start: %.0f ms; interval set: %lu ms\n",
           poll.size(), pollMs, cycleMs, kIntervalMs);
    printf("alert to manager update: median %.0f ms, mean %.0f ms, worst %.0f ms\n", Median(latency), mean, worst);
    printf("ratio worst / (interval + poll) = %.0f / %.0f = %.2f; mean / bound = %.2f\n", worst, bound, worst / bound,
           mean / bound);
    return 0;
}
