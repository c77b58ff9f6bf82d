// Under Wine, through the DLL: a print server's load. One process loads the
// monitor as the spooler does and opens N Standard TCP/IP ports, each on a
// simulated printer of its own (one printer-sim --count N), each with a
// document open and its job followed, polling every 1000 ms. First one port
// alone (the N = 1 baseline of pace, alert latency and completion), then all
// N. Figures:
// - whole-process CPU (user + system of this process and of the prefix's
//   wineserver, from /proc) per port-round, against as many bare SNMP
//   exchanges measured back to back in the same run with nothing else
//   running, and against pollers with the monitor's cadence on the same
//   printers once the monitor is unloaded (bare exchanges, and the
//   transport's socket calls), which also give the pace the wire allows;
// - rounds per port per minute (median, slowest port, worst start-to-start);
// - memory and threads per port: the monitor's private heap, the process
//   heap, the resident set and the thread count;
// - alert -> manager update latency (median, p99) at N against N = 1, and
//   the others' pace with one printer silent;
// - printer completed -> LAST_PAGE_EJECTED against interval + one round,
//   and whether each release came in the round that first read the job's
//   state after it completed;
// - the time to end all N documents and to close all N ports.
// A round is counted by its hrDeviceStatus read, once in every full poll.
// Usage: scale_bench [N] [--seconds S] [--samples K]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "fakespool.h"
#include "pmdouble.h"
#include "spoolhost.h"
#include "spoolports.h"
#include "srmdouble.h"
#include "support/served_model.h"
#include "../support/roundtrip.h"
#include "../support/timing.h"

namespace {

constexpr DWORD kIntervalMs = 1000;        // the shortest polling interval the monitor takes
constexpr int kBareExchanges = 1000;      // per batch
constexpr int kBareBatches = 5;
constexpr double kTicksPerSecond = 100;    // USER_HZ of /proc/<pid>/stat
constexpr DWORD kResetValue = 0xFFFFFFFF;  // the store's "nothing known yet"
constexpr DWORD kWaitLimitMs = 30000;      // the longest any one sample may take
const char kRoundOid[] = "1.3.6.1.2.1.25.3.2.1.5.1";   // hrDeviceStatus: one read per full poll
const std::string kUel = "\x1b%-12345X";
const char kPrintersKey[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
const char kModelKey[] = "SOFTWARE\\VEK\\Lorvane\\Printers\\Tessaroline 7700 (LV)";

// ---- processes, read from /proc through Wine's Z: drive ----------------------

std::string ReadProcFile(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (auto& c : path)
        if (c == '/') c = '\\';
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return "";
    std::string out;
    char buf[4096];
    DWORD got = 0;
    for (int i = 0; i < 1024 && ReadFile(f, buf, sizeof buf, &got, nullptr) && got; ++i) out.append(buf, got);
    CloseHandle(f);
    return out;
}

// utime + stime of a process, in seconds; negative when unreadable.
double ProcCpuSeconds(const std::string& pid) {
    std::string stat = ReadProcFile("/proc/" + pid + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    // Fields after the name: state is field 3; utime and stime are 14 and 15.
    const char* p = stat.c_str() + close + 2;
    unsigned long long field[16] = {};
    for (int k = 3; k <= 15 && *p; ++k) {
        if (k > 3) field[k] = strtoull(p, nullptr, 10);
        p = strchr(p, ' ');
        if (!p) break;
        ++p;
    }
    return static_cast<double>(field[14] + field[15]) / kTicksPerSecond;
}

// A file of /proc is opened by the wineserver, so "self" would be the server:
// processes are found by name and by the prefix their environment names.
std::string FindUnixProcess(const char* comm, const char* inCmdline) {
    char prefix[1024];
    DWORD n = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
    if (!n || n >= sizeof prefix) return "";
    std::string want = std::string("WINEPREFIX=") + prefix;
    while (want.size() > 1 && want.back() == '/') want.pop_back();
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("Z:\\proc\\*", &fd);
    if (h == INVALID_HANDLE_VALUE) return "";
    std::string found;
    int seen = 0;
    do {
        if (!isdigit(static_cast<unsigned char>(fd.cFileName[0]))) continue;
        std::string pid = fd.cFileName;
        std::string c = ReadProcFile("/proc/" + pid + "/comm");
        std::string line = ReadProcFile("/proc/" + pid + "/cmdline");
        if (c.compare(0, strlen(comm), comm) != 0 && (!inCmdline || line.find(inCmdline) == std::string::npos)) continue;
        std::string env = ReadProcFile("/proc/" + pid + "/environ");
        for (size_t at = 0; at < env.size();) {
            size_t end = env.find('\0', at);
            if (end == std::string::npos) end = env.size();
            std::string var = env.substr(at, end - at);
            while (var.size() > want.size() && var.back() == '/') var.pop_back();
            if (var == want) {
                found = pid;
                break;
            }
            at = end + 1;
        }
    } while (found.empty() && ++seen < 100000 && FindNextFileA(h, &fd));
    FindClose(h);
    return found;
}

long long StatusField(const std::string& pid, const char* name) {
    std::string s = "\n" + ReadProcFile("/proc/" + pid + "/status");
    size_t at = s.find(std::string("\n") + name + ":");
    return at == std::string::npos ? -1 : atoll(s.c_str() + at + strlen(name) + 2);
}

struct Cpu {
    double process = 0, server = 0;
    double Total() const { return process + server; }
};
std::string gSelf;   // this process's Unix pid
Cpu ReadCpu(const std::string& server) {
    Cpu c;
    c.process = ProcCpuSeconds(gSelf);
    c.server = std::max(0.0, ProcCpuSeconds(server));
    return c;
}

// Bytes in use in a heap (its busy blocks).
double HeapBusyBytes(HANDLE heap) {
    double busy = 0;
    if (!HeapLock(heap)) return 0;
    PROCESS_HEAP_ENTRY e{};
    for (long i = 0; i < 50000000 && HeapWalk(heap, &e); ++i)
        if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += static_cast<double>(e.cbData);
    HeapUnlock(heap);
    return busy;
}
std::vector<HANDLE> Heaps() {
    std::vector<HANDLE> v(GetProcessHeaps(0, nullptr) + 16);
    v.resize(GetProcessHeaps(static_cast<DWORD>(v.size()), v.data()));
    return v;
}

struct Memory {
    double monitorHeap = 0, otherHeaps = 0, rssKb = 0;
    long long threads = 0;
};
// The monitor's private heap apart from every other heap of the process
// (the doubles', the C library's, the system's).
Memory ReadMemory(const std::vector<HANDLE>& monitorHeaps) {
    Memory m;
    for (HANDLE h : Heaps()) {
        if (std::find(monitorHeaps.begin(), monitorHeaps.end(), h) != monitorHeaps.end())
            m.monitorHeap += HeapBusyBytes(h);
        else
            m.otherHeaps += HeapBusyBytes(h);
    }
    m.rssKb = static_cast<double>(StatusField(gSelf, "VmRSS"));
    m.threads = StatusField(gSelf, "Threads");
    return m;
}

// ---- the ports ----------------------------------------------------------------

std::string AddressAt(const std::string& base, int i) {
    unsigned long a = ntohl(inet_addr(base.c_str())) + static_cast<unsigned long>(i);
    in_addr in;
    in.s_addr = htonl(a);
    return inet_ntoa(in);
}

std::string Jcid(DWORD id) {
    std::string j = "SCALE" + std::to_string(id);
    j.resize(45, 'S');
    return j;
}

struct BenchPort {
    std::string address;
    std::string printerA;
    std::wstring printer, port;
    HANDLE h = nullptr;
    DWORD job = 0, jobs = 0;
    bool inDoc = false;
};

// Registers every printer as one of the served model's, undone at the end.
class ServedPrinters {
public:
    explicit ServedPrinters(const std::vector<BenchPort>& ports) {
        Create(std::string(kModelKey) + "\\Status Variables");
        const char driver[] = "VEK Tessaroline 7700 (LV)";
        for (const auto& p : ports) {
            std::string key = std::string(kPrintersKey) + "\\" + p.printerA;
            HKEY k = Create(key);
            RegSetValueExA(k, "Printer Driver", 0, REG_SZ, reinterpret_cast<const BYTE*>(driver), sizeof driver);
            RegCloseKey(k);
            keys_.push_back(key);
        }
        keys_.push_back(kModelKey);
    }
    ~ServedPrinters() {
        for (const auto& key : keys_) {
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
        }
    }
    ServedPrinters(const ServedPrinters&) = delete;
    ServedPrinters& operator=(const ServedPrinters&) = delete;

private:
    static HKEY Create(const std::string& path) {
        HKEY k = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
        return k;
    }
    std::vector<std::string> keys_;
};

// Starts a document with a job the monitor follows; the document stays open,
// so the printer holds the job until the document ends.
bool StartJob(SpoolHost& host, BenchPort& p, DWORD id) {
    p.job = FakeSpool_AddJob(p.printer.c_str(), id, 0, L"scale", L"bench", 1);
    if (!p.job || !host.StartDoc(p.h, p.printer.c_str(), p.job, L"scale")) return false;
    p.inDoc = true;
    return host.WriteAll(p.h, kUel + "@PJL JOB NAME=\"" + std::string(24, 'C') + "\" @JCID=\"" + Jcid(id) +
                                   "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\npage\f" + kUel) != FALSE;
}

bool Ejected(DWORD jobId) {
    for (const auto& r : FakeSpoolSetJobLog())
        if (r.jobId == jobId && r.command == JOB_CONTROL_LAST_PAGE_EJECTED) return true;
    return false;
}

// The doubles log every manager update and spooler call for tests to read;
// with hundreds of ports the logs grow by megabytes a second and their
// growth, under the doubles' locks, would be measured as the monitor's.
void ClearDoubleLogs() {
    SrmDouble_ClearLogs();
    FakeSpool_ClearLogs();
}
void SleepClearingLogs(DWORD ms) {
    constexpr DWORD kSliceMs = 250;
    for (DWORD slept = 0; slept < ms; slept += kSliceMs) {
        ClearDoubleLogs();
        Sleep(std::min(kSliceMs, ms - slept));
    }
}

double ClockOffset(SimControl& printer) {
    double before = NowMs();
    long long theirs = printer.Clock();
    double after = NowMs();
    return static_cast<double>(theirs) - (before + after) / 2;
}

// ---- a bare poller ---------------------------------------------------------------

// What the monitor's refresh threads put on the wire and nothing else: a
// thread per port making bare exchanges with the cadence of the monitor's
// steady round (five reads each followed by the pause between requests, four
// in a row, then the interval). Waking a sleeping thread through Wine costs
// two to three times a back-to-back exchange's CPU, so this, not the
// back-to-back batches, is the floor a round at that cadence stands on.
constexpr int kPausedReads = 5, kReadsInARow = 4;
constexpr DWORD kRequestPauseMs = 10;   // the monitor's pause between requests

struct BarePollerPort {
    BareRequest request;
    HANDLE stop = nullptr;
    bool transport = false;       // the transport's socket calls instead of a bare exchange's
    DWORD phaseMs = 0;            // when in the interval its rounds start
    volatile LONG rounds = 0;
    std::vector<double> starts;   // ms of each round's start
};

DWORD WINAPI BarePollerThread(void* param) {
    auto* port = static_cast<BarePollerPort*>(param);
    if (WaitForSingleObject(port->stop, port->phaseMs) == WAIT_OBJECT_0) return 0;
    for (;;) {
        port->starts.push_back(NowMs());
        for (int i = 0; i < kPausedReads + kReadsInARow; ++i) {
            if (port->transport)
                TransportRoundTrip(port->request);
            else
                BareRoundTrip(port->request, true);
            if (i < kPausedReads && WaitForSingleObject(port->stop, kRequestPauseMs) == WAIT_OBJECT_0) return 0;
        }
        InterlockedIncrement(&port->rounds);
        if (WaitForSingleObject(port->stop, kIntervalMs) == WAIT_OBJECT_0) return 0;
    }
}

struct BarePolling {
    double cpuPerRoundUs = 0, roundsPerMinute = 0, worstGapMs = 0;
};

// Runs a bare poller (or one making the transport's socket calls) on the
// given printers for `seconds` after a short settling, and measures its CPU
// per round and its pace.
BarePolling RunBarePoller(const std::vector<std::string>& addresses, const std::string& server, int seconds,
                          bool transport) {
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<BarePollerPort> ports(addresses.size());
    std::vector<HANDLE> threads;
    for (size_t i = 0; i < addresses.size(); ++i) {
        ports[i].request = SysDescrRequest(addresses[i].c_str());
        ports[i].stop = stop;
        ports[i].transport = transport;
        // Spread over the interval like the monitor's ports, which open one
        // after another: rounds all in step would share their wake-ups.
        ports[i].phaseMs = static_cast<DWORD>(i * kIntervalMs / addresses.size());
        ports[i].starts.reserve(static_cast<size_t>(seconds) * 2 + 16);
        HANDLE t = CreateThread(nullptr, 0, BarePollerThread, &ports[i], 0, nullptr);
        if (t) threads.push_back(t);
    }
    Sleep(3 * kIntervalMs);
    auto rounds = [&] {
        double r = 0;
        for (const auto& p : ports) r += p.rounds;
        return r;
    };
    Cpu c0 = ReadCpu(server);
    double r0 = rounds(), t0 = NowMs();
    Sleep(static_cast<DWORD>(seconds) * 1000);
    Cpu c1 = ReadCpu(server);
    double r1 = rounds(), t1 = NowMs();
    SetEvent(stop);
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    CloseHandle(stop);
    BarePolling out;
    if (r1 > r0) out.cpuPerRoundUs = (c1.Total() - c0.Total()) * 1e6 / (r1 - r0);
    out.roundsPerMinute = (r1 - r0) * 60000.0 / (t1 - t0) / static_cast<double>(ports.size());
    for (const auto& p : ports)
        for (size_t k = 1; k < p.starts.size(); ++k)
            if (p.starts[k] >= t0 && p.starts[k] <= t1)
                out.worstGapMs = std::max(out.worstGapMs, p.starts[k] - p.starts[k - 1]);
    return out;
}

// ---- figures --------------------------------------------------------------------

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t k = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

struct Pace {
    std::vector<double> perMinute;   // one per port
    std::vector<double> gaps;        // every start-to-start gap, ms
    std::vector<double> polls;       // a round's first to last request (no interval), ms
    std::vector<double> steps;       // request to next request within a round, ms
    double requests = 0, rounds = 0;
    bool logFull = false;
};

// Rounds of the given printers since their logs were cleared `windowMs` ago.
Pace ReadPace(std::vector<BenchPort>& ports, const std::vector<int>& which, double windowMs) {
    Pace pace;
    for (int i : which) {
        SimControl ctl(ports[static_cast<size_t>(i)].address);
        std::vector<SimRequest> log = ctl.Requests();
        if (log.size() >= 4000) pace.logFull = true;
        pace.requests += static_cast<double>(log.size());
        std::vector<long long> starts;
        std::vector<size_t> at;
        for (size_t k = 0; k < log.size(); ++k)
            if (log[k].kind == "get" && !log[k].oids.empty() && log[k].oids[0] == kRoundOid) {
                starts.push_back(log[k].ms);
                at.push_back(k);
            }
        pace.rounds += static_cast<double>(starts.size());
        // From the first start to the last: counting starts in the window
        // would round a port's pace to whole rounds, 6 % at N = 1 in 15 s.
        if (starts.size() >= 2)
            pace.perMinute.push_back(static_cast<double>(starts.size() - 1) * 60000.0 /
                                     static_cast<double>(starts.back() - starts.front()));
        else
            pace.perMinute.push_back(static_cast<double>(starts.size()) * 60000.0 / windowMs);
        for (size_t k = 1; k < starts.size(); ++k) {
            pace.gaps.push_back(static_cast<double>(starts[k] - starts[k - 1]));
            // The round's requests, without the interval after them: from
            // the system description read before its hrDeviceStatus up to
            // the last request before the next round's.
            if (at[k - 1] >= 1 && at[k] >= 2)
                pace.polls.push_back(static_cast<double>(log[at[k] - 2].ms - log[at[k - 1] - 1].ms));
            for (size_t j = at[k - 1]; j + 2 < at[k]; ++j)
                pace.steps.push_back(static_cast<double>(log[j + 1].ms - log[j].ms));
        }
    }
    return pace;
}

void ClearRequests(std::vector<BenchPort>& ports, const std::vector<int>& which) {
    for (int i : which) SimControl(ports[static_cast<size_t>(i)].address).Command("requests clear");
}

// Milliseconds from `from` until the printer's manager holds ErrPaperJam as
// jammed (or cleared); negative when it never does.
double WaitForJam(const wchar_t* printer, double from, bool jammed) {
    for (DWORD i = 0; i < kWaitLimitMs; ++i) {
        DWORD v = kResetValue, cb = 0;
        if (SrmDouble_GetValue(printer, "ErrPaperJam", &v, sizeof v, &cb) && cb == sizeof v && v != kResetValue &&
            (v != 0) == jammed)
            return NowMs() - from;
        Sleep(1);
    }
    return -1;
}

// Alert latency samples, raised and cleared at random points of the cycle,
// spread over the ports given.
std::vector<double> AlertLatency(std::vector<BenchPort>& ports, const std::vector<int>& which, int samples) {
    std::vector<double> out;
    for (int s = 0; s < samples; ++s) {
        BenchPort& p = ports[static_cast<size_t>(which[static_cast<size_t>(s / 2) % which.size()])];
        SimControl ctl(p.address);
        bool jam = s % 2 == 0;
        SleepClearingLogs(static_cast<DWORD>(rand() % kIntervalMs));
        double t0 = NowMs();
        ctl.Command(jam ? "alert add Hop1 Paper Jam" : "alert del Hop1 Paper Jam");
        double ms = WaitForJam(p.printer.c_str(), t0, jam);
        if (ms < 0) {
            fprintf(stderr, "%s: alert never published\n", p.address.c_str());
            continue;
        }
        out.push_back(ms);
    }
    return out;
}

// Printer completed -> LAST_PAGE_EJECTED: ends the open document at a random
// point of the cycle, then starts the next job so the port stays busy. Each
// release is also judged against the printer's request log: it should come
// in the round that first read the job's state after the job completed,
// before the port's next round starts.
struct Completions {
    std::vector<double> ms;   // printer completed -> LAST_PAGE_EJECTED
    int sameRound = 0, judged = 0;
};

const char kJobStateColumn[] = "1.3.6.1.4.1.253.8.59.6.1.1.9.";

bool Asks(const SimRequest& r, const char* prefix) {
    for (const auto& oid : r.oids)
        if (oid.compare(0, strlen(prefix), prefix) == 0) return true;
    return false;
}

Completions Completion(SpoolHost& host, std::vector<BenchPort>& ports, const std::vector<int>& which,
                       int samples) {
    Completions out;
    for (int s = 0; s < samples; ++s) {
        BenchPort& p = ports[static_cast<size_t>(which[static_cast<size_t>(s) % which.size()])];
        SimControl ctl(p.address);
        SleepClearingLogs(static_cast<DWORD>(rand() % kIntervalMs));
        ClearDoubleLogs();
        ctl.Command("requests clear");
        DWORD id = p.job;
        host.EndDoc(p.h);
        p.inDoc = false;
        double seen = -1;
        for (DWORD k = 0; k < kWaitLimitMs / 2 && seen < 0; ++k) {
            if (Ejected(id)) seen = NowMs();
            else Sleep(2);
        }
        if (seen < 0) {
            fprintf(stderr, "%s: job %lu never released\n", p.address.c_str(), static_cast<unsigned long>(id));
        } else {
            double offset = ClockOffset(ctl);
            long long done = -1;
            for (const auto& j : ctl.Jobs())
                if (j.jcid == Jcid(id)) done = j.doneMs;
            if (done >= 0) {
                out.ms.push_back(seen - (static_cast<double>(done) - offset));
                // The first read of a job state after completion, then the
                // next round's start: the release must come before it.
                double released = seen + offset;
                std::vector<SimRequest> log = ctl.Requests();
                size_t read = 0;
                while (read < log.size() && (log[read].ms < done || !Asks(log[read], kJobStateColumn))) ++read;
                if (read < log.size()) {
                    size_t next = read + 1;
                    while (next < log.size() && !(log[next].kind == "get" && Asks(log[next], kRoundOid))) ++next;
                    ++out.judged;
                    // The clocks are matched to within a millisecond or two.
                    if (next == log.size() || released < static_cast<double>(log[next].ms) + 2) ++out.sameRound;
                }
            }
        }
        StartJob(host, p, id + 1);
    }
    return out;
}

void PrintPace(const char* what, const Pace& pace) {
    printf("%-34s rounds/min median %.1f, slowest port %.1f; start-to-start median %.0f ms, worst %.0f ms; "
           "round %.0f ms%s\n",
           what, Median(pace.perMinute), Percentile(pace.perMinute, 0), Median(pace.gaps),
           Percentile(pace.gaps, 1), Median(pace.polls), pace.logFull ? " (a request log overflowed)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    int n = 50, seconds = 60, samples = 24;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--samples") && i + 1 < argc) samples = atoi(argv[++i]);
        else n = atoi(argv[i]);
    }
    if (n < 1 || n > 4096 || seconds < 5 || samples < 2) {
        fprintf(stderr, "usage: scale_bench [N] [--seconds S] [--samples K]\n");
        return 2;
    }
    srand(7);
    WSADATA wsa;
    WSAStartup(MAKEWORD(1, 1), &wsa);

    // Each N on addresses of its own: 127.24.N.1 on, or 127.25.0.1 on past 254.
    const std::string base = n <= 254 ? "127.24." + std::to_string(n) + ".1" : "127.25.0.1";
    std::vector<BenchPort> ports(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        BenchPort& p = ports[static_cast<size_t>(i)];
        p.address = AddressAt(base, i);
        char name[64];
        snprintf(name, sizeof name, "Scale Desk %04d", i);
        p.printerA = name;
        p.printer.assign(p.printerA.begin(), p.printerA.end());
        p.port = L"IP_" + std::wstring(p.address.begin(), p.address.end());
    }
    SimProcess sim(base);
    // A run of 250 ports outlasts the printer's default safety lifetime.
    if (!sim.Start({"--count", std::to_string(n), "--pending-ms", "0", "--page-ms", "10", "--lifetime", "1800"})) {
        fprintf(stderr, "printer-sim: %s\n", sim.error.c_str());
        return 1;
    }
    PmDouble_Reset();
    FakeSpool_Reset();
    SrmDouble_Reset();
    FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
    for (auto& p : ports) {
        AddStandardTcpPort(p.port.c_str(), std::wstring(p.address.begin(), p.address.end()).c_str());
        PmDouble_SetPortTarget(p.port.c_str(), p.address.c_str());
        FakeSpool_AddPrinter(p.printer.c_str(), kServedDriver, p.port.c_str(), PRINTER_ATTRIBUTE_ENABLE_BIDI,
                             L"winprint", 0);
    }
    ServedPrinters served(ports);
    ShortPolling polling(kIntervalMs);
    const std::string server = FindUnixProcess("wineserver", nullptr);
    gSelf = FindUnixProcess("scale_bench", nullptr);
    if (gSelf.empty() || server.empty()) {
        fprintf(stderr, "cannot find this process or the prefix's wineserver in /proc\n");
        return 1;
    }
    printf("process %s, wineserver %s\n", gSelf.c_str(), server.c_str());

    // Bare exchanges first, with nothing else of ours running: the median of
    // a few batches, so that a burst of another process's work is left out.
    const BareRequest bare = SysDescrRequest(ports[0].address.c_str());
    for (int i = 0; i < 100; ++i) BareRoundTrip(bare, true);
    std::vector<double> bareCpu, bareProcess, bareServer, bareWall;
    int bareFailures = 0;
    for (int batch = 0; batch < kBareBatches; ++batch) {
        Cpu b0 = ReadCpu(server);
        double w0 = NowMs();
        for (int i = 0; i < kBareExchanges; ++i) bareFailures += !BareRoundTrip(bare, true);
        Cpu b1 = ReadCpu(server);
        bareCpu.push_back((b1.Total() - b0.Total()) * 1e6 / kBareExchanges);
        bareProcess.push_back((b1.process - b0.process) * 1e6 / kBareExchanges);
        bareServer.push_back((b1.server - b0.server) * 1e6 / kBareExchanges);
        bareWall.push_back((NowMs() - w0) * 1e3 / kBareExchanges);
    }
    const double bareCpuUs = Median(bareCpu);
    printf("bare SNMP exchange (median of %d batches of %d): %.0f us CPU (%.0f us process, %.0f us wineserver), "
           "%.0f us wall, %d failed\n",
           kBareBatches, kBareExchanges, bareCpuUs, Median(bareProcess), Median(bareServer), Median(bareWall),
           bareFailures);
    // The socket calls the transport makes per exchange, without the codec:
    // how much of the ratio below the transport's own steps account for.
    std::vector<double> seqCpu;
    for (int batch = 0; batch < kBareBatches; ++batch) {
        Cpu b0 = ReadCpu(server);
        for (int i = 0; i < kBareExchanges; ++i) TransportRoundTrip(bare);
        Cpu b1 = ReadCpu(server);
        seqCpu.push_back((b1.Total() - b0.Total()) * 1e6 / kBareExchanges);
    }
    const double seqCpuUs = Median(seqCpu);
    printf("the same through the transport's socket calls (9 instead of 6): %.0f us CPU, %.2f of the bare one\n",
           seqCpuUs, bareCpuUs > 0 ? seqCpuUs / bareCpuUs : 0);

    std::vector<HANDLE> before = Heaps();
    SpoolHost host;
    if (!host.Load() || !host.Initialize()) {
        fprintf(stderr, "cannot load vjlmon.dll\n");
        return 1;
    }
    std::vector<HANDLE> monitorHeaps;
    for (HANDLE h : Heaps())
        if (std::find(before.begin(), before.end(), h) == before.end()) monitorHeaps.push_back(h);
    Memory m0 = ReadMemory(monitorHeaps);

    DWORD nextId = 1000;
    auto open = [&](BenchPort& p) {
        if (!host.OpenPort(p.port.c_str(), p.printer.c_str(), &p.h)) {
            fprintf(stderr, "cannot open %ls\n", p.port.c_str());
            return false;
        }
        nextId += 100;
        return StartJob(host, p, nextId);
    };

    // ---- one port alone ---------------------------------------------------------
    const std::vector<int> first = {0};
    if (!open(ports[0])) return 1;
    SleepClearingLogs(2 * kIntervalMs);
    int soloSeconds = std::max(10, seconds / 4);
    ClearRequests(ports, first);
    Cpu s0 = ReadCpu(server);
    double t0 = NowMs();
    SleepClearingLogs(static_cast<DWORD>(soloSeconds) * 1000);
    Cpu s1 = ReadCpu(server);
    Pace solo = ReadPace(ports, first, NowMs() - t0);
    std::vector<double> soloAlert = AlertLatency(ports, first, samples);
    Completions soloDone = Completion(host, ports, first, std::max(2, samples / 2));

    // ---- all N --------------------------------------------------------------------
    fprintf(stderr, "one port measured; opening the others\n");
    double tOpen = NowMs();
    for (int i = 1; i < n; ++i)
        if (!open(ports[static_cast<size_t>(i)])) return 1;
    double openMs = NowMs() - tOpen;
    SleepClearingLogs(3 * kIntervalMs);
    std::vector<int> all(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) all[static_cast<size_t>(i)] = i;
    fprintf(stderr, "%d ports open; polling window of %d s\n", n, seconds);
    ClearRequests(ports, all);
    Cpu c0 = ReadCpu(server);
    t0 = NowMs();
    SleepClearingLogs(static_cast<DWORD>(seconds) * 1000);
    Cpu c1 = ReadCpu(server);
    double windowMs = NowMs() - t0;
    Memory m1 = ReadMemory(monitorHeaps);
    Pace busy = ReadPace(ports, all, windowMs);

    // Alerts and completions spread over the ports.
    std::vector<int> spread;
    for (int k = 0; k < std::min(n, samples); ++k) spread.push_back(k * n / std::min(n, samples));
    std::vector<double> alert = AlertLatency(ports, spread, samples);
    Completions done = Completion(host, ports, spread, std::max(2, samples / 2));

    // One printer silent: the others' pace.
    Pace silent;
    int mute = n / 2;
    if (n >= 3) {
        std::vector<int> others;
        for (int i = 0; i < n; ++i)
            if (i != mute) others.push_back(i);
        SimControl(ports[static_cast<size_t>(mute)].address).Command("snmp drop");
        SleepClearingLogs(2 * kIntervalMs);
        ClearRequests(ports, others);
        t0 = NowMs();
        SleepClearingLogs(static_cast<DWORD>(std::max(10, seconds / 2)) * 1000);
        silent = ReadPace(ports, others, NowMs() - t0);
        SimControl(ports[static_cast<size_t>(mute)].address).Command("snmp normal");
    }

    // ---- the end: every document, then every port --------------------------------
    fprintf(stderr, "latencies measured; ending the documents\n");
    ClearDoubleLogs();
    double tEnd = NowMs();
    for (auto& p : ports)
        if (p.inDoc) {
            host.EndDoc(p.h);
            p.inDoc = false;
        }
    double endMs = NowMs() - tEnd;
    double tDrain = NowMs();
    size_t released = 0;
    for (DWORD k = 0; k < 600 && released < ports.size(); ++k) {
        released = 0;
        for (auto& p : ports) released += FakeSpool_JobCount(p.printer.c_str()) == 0 ? 1 : 0;
        if (released < ports.size()) Sleep(100);
    }
    double drainMs = NowMs() - tDrain;
    double tClose = NowMs();
    for (auto& p : ports) host.ClosePort(p.h);
    double closeMs = NowMs() - tClose;
    host.Unload();
    // The bare poller's floor, on the same printers, once the monitor is gone.
    std::vector<std::string> addresses;
    for (const auto& p : ports) addresses.push_back(p.address);
    fprintf(stderr, "monitor unloaded; the pollers' floor\n");
    BarePolling bareSolo = RunBarePoller({ports[0].address}, server, soloSeconds, false);
    BarePolling bareBusy = RunBarePoller(addresses, server, std::max(10, seconds / 2), false);
    BarePolling seqBusy = RunBarePoller(addresses, server, std::max(10, seconds / 2), true);
    sim.Stop();

    // ---- report ------------------------------------------------------------------------
    auto perRound = [&](const Cpu& a, const Cpu& b, const Pace& pace) {
        return pace.rounds > 0 ? (b.Total() - a.Total()) * 1e6 / pace.rounds : 0;
    };
    double soloCpu = perRound(s0, s1, solo), busyCpu = perRound(c0, c1, busy);
    double soloReq = solo.rounds > 0 ? solo.requests / solo.rounds : 0;
    double busyReq = busy.rounds > 0 ? busy.requests / busy.rounds : 0;
    printf("\nN = %d ports, %d s of polling at %lu ms (N = 1 alone: %d s), %d samples\n", n, seconds, kIntervalMs,
           soloSeconds, samples);
    PrintPace("pace, N = 1:", solo);
    PrintPace("pace, N:", busy);
    double soloPace = Median(solo.perMinute);
    printf("pace ratio N / N=1: median %.2f, slowest port %.2f (goal >= 0.90)\n",
           soloPace > 0 ? Median(busy.perMinute) / soloPace : 0,
           soloPace > 0 ? Percentile(busy.perMinute, 0) / soloPace : 0);
    printf("CPU per port-round: N=1 %.0f us (%.1f requests), N %.0f us (%.1f requests); "
           "bare exchanges: %.0f us; ratio N=1 %.2f, N %.2f (goal <= 1.5)\n",
           soloCpu, soloReq, busyCpu, busyReq, soloReq * bareCpuUs, soloReq > 0 ? soloCpu / (soloReq * bareCpuUs) : 0,
           busyReq > 0 ? busyCpu / (busyReq * bareCpuUs) : 0);
    printf("  against the transport's socket calls alone: ratio N=1 %.2f, N %.2f\n",
           soloReq > 0 ? soloCpu / (soloReq * seqCpuUs) : 0, busyReq > 0 ? busyCpu / (busyReq * seqCpuUs) : 0);
    printf("  against a bare poller at the monitor's cadence (%d requests a round): N=1 %.0f us a round, "
           "N %.0f us; ratio N=1 %.2f, N %.2f (goal <= 1.5)\n",
           kPausedReads + kReadsInARow, bareSolo.cpuPerRoundUs, bareBusy.cpuPerRoundUs,
           bareSolo.cpuPerRoundUs > 0 ? soloCpu / bareSolo.cpuPerRoundUs : 0,
           bareBusy.cpuPerRoundUs > 0 ? busyCpu / bareBusy.cpuPerRoundUs : 0);
    printf("  against a poller making the transport's socket calls at that cadence: N %.0f us a round, ratio %.2f\n",
           seqBusy.cpuPerRoundUs, seqBusy.cpuPerRoundUs > 0 ? busyCpu / seqBusy.cpuPerRoundUs : 0);
    printf("  the pollers' own pace: bare N=1 %.1f rounds/min, N %.1f (worst start-to-start %.0f ms); "
           "transport N %.1f (worst %.0f ms); the monitor's pace against the transport poller's at N: %.2f\n",
           bareSolo.roundsPerMinute, bareBusy.roundsPerMinute, bareBusy.worstGapMs, seqBusy.roundsPerMinute,
           seqBusy.worstGapMs, seqBusy.roundsPerMinute > 0 ? Median(busy.perMinute) / seqBusy.roundsPerMinute : 0);
    printf("  request to request within a round (the pause between requests included), median: N=1 %.0f ms, "
           "N %.0f ms\n",
           Median(solo.steps), Median(busy.steps));
    printf("  of it the wineserver: %.0f%%; process CPU over the window: %.0f%% of one core\n",
           100 * (c1.server - c0.server) / std::max(1e-9, c1.Total() - c0.Total()),
           100 * (c1.process - c0.process) * 1000 / windowMs);
    double dn = static_cast<double>(n);
    printf("memory per port: monitor heap %.1f KiB (goal <= 256), other heaps (doubles, system) %.1f KiB, "
           "resident %.0f KiB, of it outside the heaps (thread stacks, Wine's per-thread data) %.0f KiB; "
           "threads per port %.2f\n",
           (m1.monitorHeap - m0.monitorHeap) / 1024 / dn, (m1.otherHeaps - m0.otherHeaps) / 1024 / dn,
           (m1.rssKb - m0.rssKb) / dn,
           ((m1.rssKb - m0.rssKb) * 1024 - (m1.monitorHeap - m0.monitorHeap) - (m1.otherHeaps - m0.otherHeaps)) /
               1024 / dn,
           static_cast<double>(m1.threads - m0.threads) / dn);
    double soloP99 = Percentile(soloAlert, 0.99), busyP99 = Percentile(alert, 0.99);
    printf("alert -> manager update: N=1 median %.0f ms, p99 %.0f ms; N median %.0f ms, p99 %.0f ms; "
           "p99 ratio %.2f (goal <= 1.5)\n",
           Median(soloAlert), soloP99, Median(alert), busyP99, soloP99 > 0 ? busyP99 / soloP99 : 0);
    if (n >= 3) {
        PrintPace("pace, one printer silent:", silent);
        double m = Median(busy.gaps);
        printf("others' median start-to-start with one silent: %.0f ms against %.0f ms, moved %.1f%% (goal <= 5%%)\n",
               Median(silent.gaps), m, m > 0 ? 100 * (Median(silent.gaps) - m) / m : 0);
    }
    double bound = kIntervalMs + Median(busy.polls), soloBound = kIntervalMs + Median(solo.polls);
    printf("printer completed -> LAST_PAGE_EJECTED: N=1 median %.0f ms, worst %.0f ms (bound %.0f, ratio %.2f); "
           "N median %.0f ms, worst %.0f ms (bound %.0f, ratio %.2f; goal <= 1.00)\n",
           Median(soloDone.ms), Percentile(soloDone.ms, 1), soloBound, Percentile(soloDone.ms, 1) / soloBound,
           Median(done.ms), Percentile(done.ms, 1), bound, Percentile(done.ms, 1) / bound);
    printf("  released in the round that first read the job's state after it completed: N=1 %d of %d, N %d of %d\n",
           soloDone.sameRound, soloDone.judged, done.sameRound, done.judged);
    printf("opening %d ports: %.1f s; ending %d documents: %.1f s; jobs released %zu/%d after %.1f s more\n", n - 1,
           openMs / 1000, n, endMs / 1000, released, n, drainMs / 1000);
    printf("closing all %d ports: %.1f s (%.0f ms a port; goal <= 10 s in all)\n", n, closeMs / 1000, closeMs / dn);
    return 0;
}
