// Under Wine, through the DLL: how long after the simulated printer completes
// a job (state 17, stamped on the printer's clock) the spooler gets the job's
// LAST_PAGE_EJECTED, next to its bound measured in the same run: one poll
// interval plus the requests of one poll round; and whether each release
// came in the round that first read the job's state after it completed. Two
// series: jobs that complete at once, before the monitor has looked them up
// in the printer's JCID map (that round first waits 1000 ms), and jobs that
// print longer and complete at a random point of a later cycle. Then what
// following jobs costs on the wire: the job-MIB requests of a round, per job
// followed, with one job and with three held by a paused printer.
// Usage: completion_bench [jobs]
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

const char kAddr[] = "127.0.15.41";
constexpr wchar_t kPrinter[] = L"Completion Desk";
constexpr DWORD kIntervalMs = 1000;       // the shortest polling interval the monitor takes
constexpr long long kRoundGapMs = 300;    // longer than any pause inside a round, shorter than the sleep
const std::string kJobMib = "1.3.6.1.4.1.253.8.59";
const std::string kJobStateColumn = "1.3.6.1.4.1.253.8.59.6.1.1.9.";
const std::string kJcidMapColumn = "1.3.6.1.4.1.253.8.59.8.1.1.2.";
const std::string kUel = "\x1b%-12345X";

std::string Jcid(DWORD id) {
    std::string j = "DONE" + std::to_string(id);
    j.resize(45, 'D');
    return j;
}

bool Ejected(DWORD jobId) {
    for (const auto& r : FakeSpoolSetJobLog())
        if (r.jobId == jobId && r.command == JOB_CONTROL_LAST_PAGE_EJECTED) return true;
    return false;
}

// The printer's clock minus ours, from one query taken between two readings.
double ClockOffset(SimProcess& printer) {
    double before = NowMs();
    long long theirs = printer.Clock();
    double after = NowMs();
    return static_cast<double>(theirs) - (before + after) / 2;
}

struct Round {
    long long first = 0, last = 0;
    size_t jobRequests = 0;
    long long pause = 0;   // before the first lookup of a job in the JCID map
};

bool Asks(const SimRequest& r, const std::string& prefix) {
    for (const auto& oid : r.oids)
        if (oid.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

// Where a new refresh round starts in the printer's request log: after a gap
// longer than any pause inside a round, but for the pause before a job's
// first lookup in the JCID map, which belongs to the round it is in.
bool StartsRound(const std::vector<SimRequest>& requests, size_t i) {
    return i == 0 || (requests[i].ms - requests[i - 1].ms >= kRoundGapMs && !Asks(requests[i], kJcidMapColumn));
}

// The refresh rounds in the printer's request log.
std::vector<Round> Rounds(const std::vector<SimRequest>& requests) {
    std::vector<Round> out;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (StartsRound(requests, i))
            out.push_back({requests[i].ms, 0, 0, 0});
        else if (requests[i].ms - requests[i - 1].ms >= kRoundGapMs)
            out.back().pause += requests[i].ms - requests[i - 1].ms;
        out.back().last = requests[i].ms;
        for (const auto& oid : requests[i].oids)
            if (oid.compare(0, kJobMib.size(), kJobMib) == 0) {
                ++out.back().jobRequests;
                break;
            }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    int jobs = argc > 1 ? atoi(argv[1]) : 12;
    BenchLivePort live(kAddr, "Completion Desk", kIntervalMs);
    if (!live.Prepare() || !live.Open()) return 1;
    SimProcess& printer = live.printer;
    SpoolHost& host = live.host;
    HANDLE h = live.h;
    auto print = [&](DWORD id) {
        DWORD job = FakeSpool_AddJob(kPrinter, id, 0, L"completion", L"bench", 1);
        host.StartDoc(h, kPrinter, job, L"completion");
        // The header form the monitor follows: a 24-character name, a 45-character JCID.
        host.WriteAll(h, kUel + "@PJL JOB NAME=\"" + std::string(24, 'C') + "\" @JCID=\"" + Jcid(id) +
                             "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\npage\f" + kUel);
        host.EndDoc(h);
        return job;
    };

    // One series of jobs: `paced`, each prints for longer than its first
    // round (which looks its FWID up) and completes at a random point of a
    // later cycle; else each completes at once, before its first lookup.
    struct Series {
        std::vector<double> latency;
        std::vector<Round> rounds;
        int sameRound = 0, judged = 0, lookedUp = 0;
    };
    auto series = [&](bool paced, DWORD firstId) -> Series {
        Series out;
        // Per job, on the printer's clock: completed, released.
        std::vector<std::pair<double, double>> doneReleased;
        printer.Command("requests clear");
        for (int i = 0; i < jobs; ++i) {
            DWORD pace = paced ? kIntervalMs + 300 + static_cast<DWORD>(rand()) % (2 * kIntervalMs) : 10;
            printer.Command("pace " + std::to_string(pace));
            if (!paced) Sleep(static_cast<DWORD>(rand() % kIntervalMs));
            DWORD id = firstId + static_cast<DWORD>(i);
            DWORD job = print(id);
            double seen = -1;
            for (int k = 0; k < 30000 && seen < 0; ++k) {
                if (Ejected(job)) seen = NowMs();
                else Sleep(1);
            }
            if (seen < 0) {
                fprintf(stderr, "job %lu: never released\n", static_cast<unsigned long>(id));
                exit(1);
            }
            double offset = ClockOffset(printer);
            long long done = -1;
            for (const auto& j : printer.Jobs())
                if (j.jcid == Jcid(id)) done = j.doneMs;
            if (done < 0) {
                fprintf(stderr, "job %lu: released before the printer completed it\n", static_cast<unsigned long>(id));
                exit(1);
            }
            out.latency.push_back(seen - (static_cast<double>(done) - offset));
            doneReleased.push_back({static_cast<double>(done), seen + offset});
        }
        const std::vector<SimRequest> log = printer.Requests();
        out.rounds = Rounds(log);
        // Released in the round that first read the job's state after it
        // completed: before the next round's first request. Whether that
        // round first waited to look the job up in the JCID map.
        for (const auto& [done, released] : doneReleased) {
            size_t read = 0;
            while (read < log.size() && (static_cast<double>(log[read].ms) < done || !Asks(log[read], kJobStateColumn)))
                ++read;
            if (read == log.size()) continue;
            for (size_t k = read; k > 0 && !StartsRound(log, k); --k)
                if (Asks(log[k], kJcidMapColumn) && log[k].ms - log[k - 1].ms >= kRoundGapMs) {
                    ++out.lookedUp;
                    break;
                }
            size_t next = read + 1;
            while (next < log.size() && !StartsRound(log, next)) ++next;
            ++out.judged;
            // The clocks are matched to within a millisecond or two.
            if (next == log.size() || released < static_cast<double>(log[next].ms) + 2)
                ++out.sameRound;
            else
                printf("a job completed at %.0f, its state read at %lld, the next round at %lld, released at %.0f\n",
                       done, log[read].ms, log[next].ms, released);
        }
        return out;
    };

    srand(7);
    const Series fast = series(false, 100);
    const Series paced = series(true, 500);

    // Three jobs held by a paused printer, followed for a few rounds.
    printer.Command("pause on");
    for (DWORD id = 900; id < 903; ++id) print(id);
    Sleep(1500);   // past the ends' own polls
    printer.Command("requests clear");
    Sleep(4 * kIntervalMs + 500);
    std::vector<Round> held = Rounds(printer.Requests());
    printer.Command("pause off");
    for (int k = 0; k < 30000 && !(Ejected(900) && Ejected(901) && Ejected(902)); ++k) Sleep(1);

    live.Close();

    std::vector<double> poll;
    double tracked = 0, trackedRounds = 0;
    std::vector<Round> single = fast.rounds;
    single.insert(single.end(), paced.rounds.begin(), paced.rounds.end());
    for (const auto& r : single) {
        // The requests of a round, without the pause before a first lookup.
        poll.push_back(static_cast<double>(r.last - r.first - r.pause));
        if (r.jobRequests) {
            tracked += static_cast<double>(r.jobRequests);
            ++trackedRounds;
        }
    }
    double heldRequests = 0, heldRounds = 0;
    for (size_t i = 1; i + 1 < held.size(); ++i) {   // whole rounds only
        heldRequests += static_cast<double>(held[i].jobRequests);
        ++heldRounds;
    }
    double pollMs = Median(poll), bound = kIntervalMs + pollMs;
    printf("requests of one poll round (median of %zu): %.0f ms; interval set: %lu ms\n", poll.size(), pollMs,
           kIntervalMs);
    auto report = [&](const char* what, const Series& x) {
        double worst = *std::max_element(x.latency.begin(), x.latency.end());
        double mean = 0;
        for (double v : x.latency) mean += v;
        mean /= static_cast<double>(x.latency.size());
        printf("%s, %zu jobs: printer completed -> LAST_PAGE_EJECTED median %.0f ms, mean %.0f ms, worst %.0f ms\n",
               what, x.latency.size(), Median(x.latency), mean, worst);
        printf("  ratio worst / (interval + requests of a round) = %.0f / %.0f = %.2f; mean / bound = %.2f\n", worst,
               bound, worst / bound, mean / bound);
        printf("  released in the round that first read the job's state after it completed: %d of %d; of those "
               "rounds %d waited first to look the job up in the JCID map\n",
               x.sameRound, x.judged, x.lookedUp);
    };
    report("completed at once, before the job's first lookup", fast);
    report("completed at a random point of a later cycle", paced);
    if (trackedRounds > 0)
        printf("job-MIB requests per round, one job followed: %.1f (%0.f rounds)\n", tracked / trackedRounds,
               trackedRounds);
    if (heldRounds > 0)
        printf("job-MIB requests per round, three jobs followed: %.1f, %.1f per job (%0.f rounds)\n",
               heldRequests / heldRounds, heldRequests / heldRounds / 3, heldRounds);
    return 0;
}
