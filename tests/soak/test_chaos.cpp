// The DLL under chaos: spooler threads print to and close their ports while a
// seeded script slows, shortens and fails the port monitor's writes,
// switches printers off, silences them or makes them answer nonsense,
// cancels jobs, terminates managers, renames and deletes printers, and a
// suite thread sends its queries to whatever port is open. One port serves
// two printers. Afterwards: every heap of the process validated after every
// round, every job the monitor accepted released exactly once through a
// handle of its own printer, the port monitor got each job's bytes at most
// once and in order, handles and threads back where they were.
//
//   VJL_CHAOS_MS    length of the chaos (default 15000; longer by hand)
//   VJL_CHAOS_SEED  seed of the script (default: from the clock; printed)
//   VJL_CHAOS_NET   the printers' addresses are 127.0.N.1 on (default 21), so
//                   a long run by hand keeps clear of the test run's printers
//   VJL_CHAOS_TRACE 1: every port writes its whole trace, without size limit,
//                   to C:\VEKTL7700LOG in the Wine prefix (left there)
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "spoolports.h"
#include "srmdouble.h"
#include "support/served_model.h"
#include "support/win32sync.h"
#include "support/simprinter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kPorts = 3;
constexpr DWORD kDefaultChaosMs = 15000;
constexpr DWORD kReleaseWaitMs = 150000;   // a close waits at most 120 s for its queue
constexpr DWORD kSettleWaitMs = 10000;
const std::string kUel = "\x1b%-12345X";
const wchar_t* const kSecondPrinter = L"Chaos 1b";   // shares the first port
constexpr DWORD kConnectionReset = 10054;             // WSAECONNRESET, as the TCP port monitor fails

DWORD EnvNumber(const char* name, DWORD fallback) {
    const char* v = getenv(name);
    DWORD n = v ? strtoul(v, nullptr, 10) : 0;
    return n ? n : fallback;
}
std::string Address(int i) {
    return "127.0." + std::to_string(EnvNumber("VJL_CHAOS_NET", 21) & 0xFF) + "." + std::to_string(i + 1);
}
std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::wstring PortName(int i) { return L"IP_" + Wide(Address(i)); }
std::wstring PrinterName(int i) { return L"Chaos " + std::to_wstring(i + 1); }

bool Signal(const std::wstring& name) {
    HANDLE h = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (!h) return false;
    SetEvent(h);
    CloseHandle(h);
    return true;
}

// Every heap of the process, the monitor's private one among them.
bool HeapsValid() {
    std::vector<HANDLE> heaps(64);
    DWORD n = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    if (n > heaps.size()) {
        heaps.resize(n);
        n = GetProcessHeaps(n, heaps.data());
    }
    for (DWORD i = 0; i < n && i < heaps.size(); ++i)
        if (!HeapValidate(heaps[i], 0, nullptr)) return false;
    return true;
}

// True when `got` is made of stretches of `sent` taken in order, none
// twice; *bad is where it stops being so. A stretch may be left out. The
// job's bytes never repeat (but for the UEL), so one search finds where a
// stretch after a gap starts.
bool PiecesInOrder(const std::string& sent, const std::string& got, size_t* bad) {
    size_t cur = 0;
    for (size_t i = 0; i < got.size();) {
        if (cur < sent.size() && sent[cur] == got[i]) {
            ++cur;
            ++i;
            continue;
        }
        size_t p = sent.find(got.substr(i, std::min<size_t>(24, got.size() - i)), cur);
        if (p == std::string::npos) {
            *bad = i;
            return false;
        }
        cur = p;
    }
    return true;
}

struct Job {
    std::wstring printer;
    std::string data;
    bool accepted = false;   // StartDocPort took it
};

class Chaos : public ::testing::Test {
protected:
    void SetUp() override {
        chaosMs_ = EnvNumber("VJL_CHAOS_MS", kDefaultChaosMs);
        seed_ = EnvNumber("VJL_CHAOS_SEED", GetTickCount());
        std::printf("chaos: %lu ms, seed %lu (VJL_CHAOS_SEED)\n", static_cast<unsigned long>(chaosMs_),
                    static_cast<unsigned long>(seed_));
        std::fflush(stdout);
        if (EnvNumber("VJL_CHAOS_TRACE", 0)) {
            wchar_t dir[MAX_PATH];
            GetWindowsDirectoryW(dir, MAX_PATH);
            const std::wstring ini = std::wstring(dir) + L"\\VEKLMLOG.INI";
            for (const auto& [key, value] : {std::pair{L"MODE", L"1"}, {L"LEVEL", L"3"}, {L"FLAG", L"1"}})
                WritePrivateProfileStringW(L"VEKTL7700", key, value, ini.c_str());
            WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini.c_str());
        }
        printer_ = std::make_unique<SimPrinter>(Address(0));
        ASSERT_TRUE(printer_->Start({"--count", std::to_string(kPorts), "--pending-ms", "0", "--page-ms", "20",
                                     "--terminate-ms", "200", "--reset-alert-ms", "1000", "--lifetime",
                                     std::to_string(600 + chaosMs_ / 1000 * 2)}))
            << printer_->error;
        for (int i = 0; i < kPorts; ++i) controls_.emplace_back(Address(i));
        PmDouble_Reset();
        FakeSpool_Reset();
        SrmDouble_Reset();
        FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
        for (int i = 0; i < kPorts; ++i) {
            AddStandardTcpPort(PortName(i).c_str(), Wide(Address(i)).c_str());
            PmDouble_SetPortTarget(PortName(i).c_str(), Address(i).c_str());
            FakeSpool_AddPrinter(PrinterName(i).c_str(), kServedDriver, PortName(i).c_str(),
                                 PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
        }
        FakeSpool_AddPrinter(kSecondPrinter, kServedDriver, PortName(0).c_str(), PRINTER_ATTRIBUTE_ENABLE_BIDI,
                             L"winprint", 0);
        ASSERT_TRUE(host_.Load());
        ASSERT_NE(host_.Initialize(), nullptr);
        startStatus_ = CreateEventW(nullptr, FALSE, FALSE, L"Global\\VKLVJPSDB:START_STATUS");
    }
    void TearDown() override {
        if (startStatus_) CloseHandle(startStatus_);
        if (printer_) printer_->Stop();
    }

    // One job as the spooler sends it; a job the spooler is deleting gets
    // no more data, only its end. `h` is open on port p.
    void PrintOne(int p, HANDLE h, const std::wstring& printer, std::mt19937& rng) {
        int pages = 1 + static_cast<int>(rng() % 3);
        DWORD id = FakeSpool_AddJob(printer.c_str(), 0, 0, L"chaos", L"chaos", static_cast<DWORD>(pages));
        ASSERT_NE(id, 0u);
        std::string jcid = "CHAOS" + std::to_string(id);
        jcid.resize(45, 'K');
        std::vector<std::string> pieces = {kUel + "@PJL JOB NAME=\"chaos\" @JCID=\"" + jcid +
                                           "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\n"};
        // Bytes that name their job, page and place: a byte of another job,
        // a stretch sent twice or out of order cannot pass for the job's own.
        for (int k = 0; k < pages; ++k) {
            std::string page;
            for (int n = 0; page.size() < 3000; ++n)
                page += "<" + std::to_string(id) + "." + std::to_string(k) + "." + std::to_string(n) + ">";
            pieces.push_back(page + "\f");
        }
        pieces.push_back(kUel);
        std::string all;
        for (const auto& piece : pieces) all += piece;
        {
            std::lock_guard<Win32Lock> g(lock_);
            jobs_[id] = Job{printer, all, false};
            current_[p] = {printer, id};
        }
        bool started = false;
        for (int tries = 0; tries < 10 && !started; ++tries) {
            started = host_.StartDoc(h, printer.c_str(), id, L"chaos") != FALSE;
            if (!started) Sleep(200);
        }
        {
            std::lock_guard<Win32Lock> g(lock_);
            jobs_[id].accepted = started;
        }
        if (started) {
            for (const auto& piece : pieces) {
                DWORD status = 0;
                if (FakeSpool_GetJobStatus(printer.c_str(), id, &status) && (status & JOB_STATUS_DELETING)) break;
                if (!host_.WriteAll(h, piece)) break;
                Sleep(rng() % 40);
            }
            host_.EndDoc(h);
        } else {
            ++refused_;
        }
        std::lock_guard<Win32Lock> g(lock_);
        current_[p] = {};
    }
    // A spooler thread: open, two jobs, close, until told to stop. The
    // first port alternates between its two printers.
    void Spooler(int p, std::atomic<bool>& stop) {
        std::mt19937 rng(seed_ + 17 * (p + 1));
        for (int cycle = 0; !stop; ++cycle) {
            HANDLE h = nullptr;
            if (!host_.OpenPort(PortName(p).c_str(), PrinterName(p).c_str(), &h)) {
                ADD_FAILURE() << "OpenPort " << p << " failed: " << GetLastError();
                return;
            }
            {
                std::lock_guard<Win32Lock> g(lock_);
                open_[p] = h;
            }
            for (int k = 0; k < 2; ++k) {
                std::wstring printer = p == 0 && (cycle + k) % 2 ? kSecondPrinter : PrinterName(p);
                PrintOne(p, h, printer, rng);
            }
            {
                std::lock_guard<Win32Lock> g(lock_);
                open_[p] = nullptr;
            }
            EXPECT_TRUE(host_.ClosePort(h));
            ++cycles_;
        }
    }
    // The suite: queries to open ports from a thread of its own. A query
    // may meet a close in progress, as a real suite's can.
    void Suite(std::atomic<bool>& stop) {
        std::mt19937 rng(seed_ + 5);
        static const wchar_t* const kNames[] = {L"Refresh:PrinterStatus;IconState", L"Suspend", L"Wake Up",
                                                L"IsWakeup", L"Stop Polling", L"Refresh:ErrPaperJam"};
        while (!stop) {
            Sleep(10 + rng() % 60);
            HANDLE h;
            {
                std::lock_guard<Win32Lock> g(lock_);
                h = open_[rng() % kPorts];
            }
            if (!h) continue;
            DWORD out[64] = {}, got = 0;
            if (rng() % 4) {
                host_.GetPrinterData(h, 0, kNames[rng() % 6], nullptr, 0, out, sizeof(out), &got);
            } else {
                host_.GetPrinterData(h, 0x0016000C, nullptr, nullptr, 0, out, sizeof(out), &got);
            }
            ++queries_;
        }
    }
    // One thing happens to one printer, port or manager every 20 to 120 ms;
    // each fault is undone 0.3 to 2 s later. The heaps are checked each round.
    void Script(std::atomic<bool>& stop) {
        std::mt19937 rng(seed_);
        struct Undo {
            ULONGLONG at;
            std::function<void()> fn;
        };
        std::vector<Undo> undo;
        auto later = [&](std::function<void()> fn) { undo.push_back({GetTickCount64() + 300 + rng() % 1700, fn}); };
        auto runUndo = [&](bool all) {
            ULONGLONG now = GetTickCount64();
            for (size_t i = 0; i < undo.size();)
                if (all || now >= undo[i].at) {
                    undo[i].fn();
                    undo.erase(undo.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
        };
        std::array<bool, kPorts> faulty{};
        while (!stop) {
            Sleep(20 + rng() % 100);
            runUndo(false);
            if (!HeapsValid()) {
                ADD_FAILURE() << "a heap failed validation after round " << rounds_;
                heapFailures_++;
            }
            ++rounds_;
            int p = static_cast<int>(rng() % kPorts);
            std::wstring printer = p == 0 && rng() % 2 ? kSecondPrinter : PrinterName(p);
            int action = static_cast<int>(rng() % 12);
            ++actions_[action];
            switch (action) {
            case 0: PmDouble_SetWriteDelay(rng() % 300); later([] { PmDouble_SetWriteDelay(0); }); break;
            case 1: PmDouble_Fail(PM_WRITE, rng() % 4, 1 + rng() % 2, rng() % 2 ? ERROR_GEN_FAILURE : kConnectionReset); break;
            case 2: PmDouble_ShortWrites(1 + rng() % 500, 1 + rng() % 5); break;
            case 3:
            case 4:
            case 5: {
                if (faulty[p]) break;
                static const char* const kFaults[] = {"power off", "snmp drop", "snmp hostile"};
                std::string cmd = kFaults[action - 3];
                if (action == 5) cmd += " " + std::to_string(rng() % 1000);
                controls_[p].Command(cmd);
                faulty[p] = true;
                later([this, p, action, &faulty] {
                    controls_[p].Command(action == 3 ? "power on" : "snmp normal");
                    faulty[p] = false;
                });
                break;
            }
            case 6: controls_[p].Command(rng() % 2 ? "cancel" : "abort"); break;
            case 7: {
                DWORD job;
                std::wstring on;
                {
                    std::lock_guard<Win32Lock> g(lock_);
                    on = current_[p].first;
                    job = current_[p].second;
                }
                if (job) FakeSpool_SetJobStatus(on.c_str(), job, JOB_STATUS_DELETING);
                break;
            }
            case 8:
                SrmDouble_SetDword(printer.c_str(), "TerminateManager", 1);
                later([printer] { SrmDouble_SetDword(printer.c_str(), "TerminateManager", 0); });
                break;
            case 9:
                SrmDouble_SetTextW(printer.c_str(), "PrinterName", (printer + L" renamed").c_str());
                Sleep(20);
                SrmDouble_SetTextW(printer.c_str(), "PrinterName", printer.c_str());
                break;
            case 10: Signal(L"VKLVJPPWD:DEL_PRN:" + printer); break;
            default:
                if (rng() % 2) SetEvent(startStatus_);
                else Signal(L"Global\\PWDJOBEVENT:" + printer);
                break;
            }
        }
        runUndo(true);
        PmDouble_SetWriteDelay(0);
        PmDouble_Fail(PM_WRITE, 0, 0, 0);
        PmDouble_ShortWrites(0, 0);
        for (int i = 0; i < kPorts; ++i) {
            controls_[i].Command("power on");
            controls_[i].Command("snmp normal");
        }
    }
    // Everything for `ms`: the spooler threads, the suite and the script.
    void Run(DWORD ms, bool chaos) {
        std::atomic<bool> stop{false}, scriptStop{false};
        std::vector<Win32Thread> spoolers;
        for (int p = 0; p < kPorts; ++p) spoolers.emplace_back([&, p] { Spooler(p, stop); });
        Win32Thread suite, script;
        if (chaos) {
            suite = Win32Thread([&] { Suite(stop); });
            script = Win32Thread([&] { Script(scriptStop); });
        }
        Sleep(ms);
        stop = true;
        if (suite.joinable()) suite.join();
        // The faults end before the last closes, which then wait for jobs
        // the printers can now finish.
        scriptStop = true;
        if (script.joinable()) script.join();
        for (auto& t : spoolers) t.join();
    }

    static DWORD QueuedJobs() {
        DWORD n = FakeSpool_JobCount(kSecondPrinter);
        for (int i = 0; i < kPorts; ++i) n += FakeSpool_JobCount(PrinterName(i).c_str());
        return n;
    }

    DWORD chaosMs_ = 0, seed_ = 0;
    ServedModelKeys keys_{"Chaos 1", "Chaos 2", "Chaos 3", "Chaos 1b"};
    ShortPolling polling_;
    SpoolHost host_;
    std::unique_ptr<SimPrinter> printer_;
    std::vector<SimControl> controls_;
    HANDLE startStatus_ = nullptr;
    Win32Lock lock_;
    std::map<DWORD, Job> jobs_;
    std::array<std::pair<std::wstring, DWORD>, kPorts> current_{};
    std::array<HANDLE, kPorts> open_{};
    std::atomic<int> cycles_{0}, queries_{0}, rounds_{0}, refused_{0}, heapFailures_{0};
    std::array<std::atomic<int>, 12> actions_{};
};

TEST_F(Chaos, EveryJobLeavesOnceThroughItsOwnPrinterAndNothingIsCorrupted) {
    Run(1500, false);   // first use: the one-time allocations of the system and the runtime
    FakeSpoolWaitUntil([&] { return QueuedJobs() == 0; }, 20000);
    Sleep(200);
    // The test framework keeps a watcher thread per thread that reports a
    // result: this thread's is started now, not by a failure below.
    SUCCEED();
    const DWORD handles = HandleCount(), threads = ThreadCount();
    const std::vector<std::string> before = ThreadsAndHandles();
    cycles_ = 0;
    PmDouble_Reset();
    FakeSpool_ClearLogs();
    for (int i = 0; i < kPorts; ++i) PmDouble_SetPortTarget(PortName(i).c_str(), Address(i).c_str());
    {
        std::lock_guard<Win32Lock> g(lock_);
        jobs_.clear();
    }

    Run(chaosMs_, true);

    // Every accepted job released, once, through its own printer.
    auto releases = [&] {
        std::map<DWORD, std::vector<FakeSpoolSetJobRecord>> by;
        for (const auto& r : FakeSpoolSetJobLog())
            if (r.command == JOB_CONTROL_LAST_PAGE_EJECTED || r.command == JOB_CONTROL_DELETE) by[r.jobId].push_back(r);
        return by;
    };
    bool settled = FakeSpoolWaitUntil([&] {
        auto by = releases();
        std::lock_guard<Win32Lock> g(lock_);
        for (const auto& [id, job] : jobs_)
            if (job.accepted && by[id].empty()) return false;
        return true;
    }, kReleaseWaitMs);
    EXPECT_TRUE(settled) << "some accepted jobs were never released";
    FakeSpoolWaitUntil([&] { return ThreadCount() == threads && HandleCount() == handles; }, kSettleWaitMs);
    EXPECT_TRUE(HeapsValid());

    auto by = releases();
    int once = 0, never = 0, twice = 0, wrongPrinter = 0, refusedReleased = 0, reported = 0;
    for (const auto& [id, job] : jobs_) {
        const auto& rs = by[id];
        if (!job.accepted) {
            refusedReleased += !rs.empty();
            continue;
        }
        once += rs.size() == 1;
        never += rs.empty();
        twice += rs.size() > 1;
        for (const auto& r : rs) wrongPrinter += job.printer != r.printer;
        if ((rs.size() != 1 || (!rs.empty() && job.printer != rs[0].printer)) && ++reported <= 10) {
            std::string how;
            for (const auto& r : rs)
                how += std::string(" [") + (r.command == JOB_CONTROL_DELETE ? "delete" : "ejected") + " seq " +
                       std::to_string(r.seq) + " thread " + std::to_string(r.threadId) +
                       (r.printer == job.printer ? "" : " through another printer") + "]";
            ADD_FAILURE() << "job " << id << ": " << rs.size() << " releases" << how;
        }
    }

    // What the port monitor got in each job's document is the job's bytes,
    // each at most once and in order, nothing of another job. A stretch may
    // be missing: the rest of a job deleted on the way need not go out.
    int documents = 0, spoilt = 0;
    std::map<HANDLE, DWORD> docJob;
    std::map<DWORD, std::string> got;
    for (const auto& c : PmDouble_Calls()) {
        if (c.op == PM_STARTDOC) docJob[c.hPort] = c.jobId;
        else if (c.op == PM_ENDDOC) docJob.erase(c.hPort);
        else if (c.op == PM_WRITE && docJob.count(c.hPort)) got[docJob[c.hPort]] += c.data;
    }
    for (const auto& [id, bytes] : got) {
        auto it = jobs_.find(id);
        if (it == jobs_.end()) continue;   // the monitor's own documents
        ++documents;
        const std::string& sent = it->second.data;
        size_t at = 0;
        if (!PiecesInOrder(sent, bytes, &at) && ++spoilt <= 5)
            ADD_FAILURE() << "job " << id << ": the port monitor got " << bytes.size() << " bytes of the job's "
                          << sent.size() << "; from byte " << at << " on they are not the job's next: \""
                          << bytes.substr(at, 24) << "\"";
    }

    std::printf("chaos: %d cycles, %zu jobs (%d refused at start), %d suite queries, %d script rounds\n",
                cycles_.load(), jobs_.size(), refused_.load(), queries_.load(), rounds_.load());
    std::printf("chaos: script: write delay %d, write failures %d, short writes %d, power off %d, silent %d, "
                "hostile %d, panel cancel/abort %d, spooler cancel %d, manager ended %d, renamed %d, deleted %d, "
                "events %d\n",
                actions_[0].load(), actions_[1].load(), actions_[2].load(), actions_[3].load(), actions_[4].load(),
                actions_[5].load(), actions_[6].load(), actions_[7].load(), actions_[8].load(), actions_[9].load(),
                actions_[10].load(), actions_[11].load());
    std::printf("chaos: released once %d, never %d, more than once %d, through another printer %d; "
                "%d documents checked byte for byte, %d spoilt; heap failures %d\n",
                once, never, twice, wrongPrinter, documents, spoilt, heapFailures_.load());
    std::printf("chaos: handles %lu -> %lu, threads %lu -> %lu\n", static_cast<unsigned long>(handles),
                static_cast<unsigned long>(HandleCount()), static_cast<unsigned long>(threads),
                static_cast<unsigned long>(ThreadCount()));
    // A call into the port monitor with a handle it never gave or closed
    // already: the call, and what happened to that handle before it.
    {
        const auto calls = PmDouble_Calls();
        int shown = 0;
        for (size_t i = 0; i < calls.size() && shown < 5; ++i) {
            const PmCall& c = calls[i];
            if (c.result || c.lastError != ERROR_INVALID_HANDLE) continue;
            ++shown;
            std::printf("chaos: bad port monitor handle: %s on %p (%ls), thread %lu, call %lu\n", PmOpName(c.op),
                        c.hPort, c.portName.c_str(), static_cast<unsigned long>(c.threadId),
                        static_cast<unsigned long>(c.seq));
            int before = 0;
            for (size_t k = i; k-- > 0 && before < 6;)
                if (calls[k].hPort == c.hPort && calls[k].op != PM_WRITE) {
                    ++before;
                    std::printf("chaos:   before: %s thread %lu call %lu result %d\n", PmOpName(calls[k].op),
                                static_cast<unsigned long>(calls[k].threadId), static_cast<unsigned long>(calls[k].seq),
                                calls[k].result);
                }
        }
    }
    if (HandleCount() != handles || ThreadCount() != threads)
        for (const auto& what : ThreadsAndHandles())
            if (std::find(before.begin(), before.end(), what) == before.end()) std::printf("chaos: left: %s\n", what.c_str());
    std::fflush(stdout);

    EXPECT_EQ(heapFailures_.load(), 0);
    EXPECT_EQ(never + twice + wrongPrinter, 0);
    EXPECT_EQ(refusedReleased, 0) << "a job the monitor refused at its start is still the spooler's";
    EXPECT_EQ(spoilt, 0);
    EXPECT_EQ(HandleCount(), handles);
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u) << "every manager handle closed";
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u) << "every printer handle closed";
    EXPECT_EQ(FakeSpool_BadHandleCount(), 0u);
    EXPECT_EQ(PmDouble_BadHandleCount(), 0u);
}

}  // namespace
