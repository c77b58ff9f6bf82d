// Jobs printed through the DLL to several simulated printers while a seeded
// random script cancels them at the spooler and at the panel, aborts them,
// pauses the printers and switches them off and on. At the end every job was
// released exactly once (one LAST_PAGE_EJECTED or one DELETE), no port closes
// with jobs still queued, and the process has the handles and threads it had
// before.
//
//   VJL_SOAK_JOBS      jobs in all (default 12, about 20 s in the test run)
//   VJL_SOAK_PRINTERS  printers (default 4, at most 16)
//   VJL_SOAK_NET       the printers' addresses are 127.0.N.1 on (default 14)
//   VJL_SOAK_SEED      seed of the script (default: from the clock; printed)
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "spoolports.h"
#include "srmdouble.h"
#include "support/served_model.h"
#include "support/simprinter.h"
#include "../monitor/trace_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kMaxPrinters = 16;
constexpr DWORD kDefaultPrinters = 4;
constexpr DWORD kDefaultJobs = 12;
constexpr DWORD kFirstJobId = 1000;
constexpr DWORD kReleaseWaitMs = 120000;   // after the last job ended, for the last releases
constexpr DWORD kSettleWaitMs = 10000;     // threads and handles after the last close
const std::string kUel = "\x1b%-12345X";
const std::string kCloseTimedOut = "VJLMON:PJLMonClosePort -ClosePortTimeout-";

enum Action { SPOOLER_CANCEL, PANEL_CANCEL, ABORT, PAUSE, POWER_CYCLE, kActions };
const char* const kActionNames[kActions] = {"spooler cancel", "panel cancel", "abort", "pause", "power cycle"};

DWORD EnvNumber(const char* name, DWORD fallback) {
    const char* v = getenv(name);
    DWORD n = v ? strtoul(v, nullptr, 10) : 0;
    return n ? n : fallback;
}

// The printers' network, 127.0.N. (VJL_SOAK_NET=N, default 14), so that a
// long run by hand keeps clear of the test run's printers.
std::string Address(int i) {
    return "127.0." + std::to_string(EnvNumber("VJL_SOAK_NET", 14) & 0xFF) + "." + std::to_string(i + 1);
}
std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::wstring PortName(int i) { return L"IP_" + Wide(Address(i)); }
std::wstring PrinterName(int i) { return L"Soak " + std::to_wstring(i + 1); }

struct Releases {
    std::map<DWORD, int> ejected, deleted;
};
Releases CountReleases() {
    Releases r;
    // Every attempt counts: a second release of a job the spooler already
    // let go of fails, and is still a second release.
    for (const auto& rec : FakeSpoolSetJobLog()) {
        if (rec.command == JOB_CONTROL_LAST_PAGE_EJECTED) ++r.ejected[rec.jobId];
        if (rec.command == JOB_CONTROL_DELETE) ++r.deleted[rec.jobId];
    }
    return r;
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override {
        jobs_ = EnvNumber("VJL_SOAK_JOBS", kDefaultJobs);
        printers_ = static_cast<int>(std::min<DWORD>(EnvNumber("VJL_SOAK_PRINTERS", kDefaultPrinters), kMaxPrinters));
        seed_ = EnvNumber("VJL_SOAK_SEED", GetTickCount());
        std::printf("soak: %lu jobs on %d printers, seed %lu (VJL_SOAK_SEED)\n", static_cast<unsigned long>(jobs_),
                    printers_, static_cast<unsigned long>(seed_));
        std::fflush(stdout);
        printer_ = std::make_unique<SimPrinter>(Address(0));
        // A job spends most of its time in the monitor, not in the printer;
        // the lifetime covers a long hand-started run.
        ASSERT_TRUE(printer_->Start({"--count", std::to_string(printers_), "--pending-ms", "0", "--page-ms", "20",
                                     "--terminate-ms", "200", "--reset-alert-ms", "1000", "--lifetime",
                                     std::to_string(600 + 3 * jobs_)}))
            << printer_->error;
        for (int i = 0; i < printers_; ++i) controls_.emplace_back(Address(i));
        PmDouble_Reset();
        FakeSpool_Reset();
        SrmDouble_Reset();
        FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
        for (int i = 0; i < printers_; ++i) {
            AddStandardTcpPort(PortName(i).c_str(), Wide(Address(i)).c_str());
            PmDouble_SetPortTarget(PortName(i).c_str(), Address(i).c_str());
            FakeSpool_AddPrinter(PrinterName(i).c_str(), kServedDriver, PortName(i).c_str(),
                                 PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
            traceFiles_.push_back(trace_.FileFor(PrinterName(i)));
        }
        ASSERT_TRUE(host_.Load());
        ASSERT_NE(host_.Initialize(), nullptr);
    }
    void TearDown() override {
        for (int i = 0; i < printers_; ++i)
            if (ports_[i]) host_.ClosePort(ports_[i]);
        if (printer_) printer_->Stop();
    }
    void OpenPorts() {
        for (int i = 0; i < printers_; ++i) ASSERT_TRUE(host_.OpenPort(PortName(i).c_str(), PrinterName(i).c_str(), &ports_[i]));
    }
    void ClosePorts() {
        for (int i = 0; i < printers_; ++i) {
            EXPECT_TRUE(host_.ClosePort(ports_[i]));
            ports_[i] = nullptr;
        }
    }
    // One job as the spooler sends it: the header, the pages in pieces, the
    // end. A job the spooler is deleting gets no more data, only its end.
    void PrintJob(int p, DWORD id, std::mt19937& rng) {
        const std::wstring printer = PrinterName(p);
        int pages = 1 + static_cast<int>(rng() % 4);
        std::wstring doc = L"soak " + std::to_wstring(id);
        ASSERT_NE(FakeSpool_AddJob(printer.c_str(), id, 0, doc.c_str(), L"soak", static_cast<DWORD>(pages)), 0u);
        {
            std::lock_guard<std::mutex> g(lock_);
            printerOf_[id] = p;
            current_[p] = id;
        }
        // The spooler tries a refused start again a little later.
        bool started = false;
        for (int tries = 0; tries < 20 && !started; ++tries) {
            started = host_.StartDoc(ports_[p], printer.c_str(), id, doc.c_str()) != FALSE;
            if (!started) {
                ++startFailures_;
                Sleep(500);
            }
        }
        std::string jcid = "SOAK" + std::to_string(id);
        jcid.resize(45, 'K');
        std::vector<std::string> pieces = {kUel + "@PJL JOB NAME=\"" + std::string(24, 'S') + "\" @JCID=\"" + jcid +
                                           "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\n"};
        for (int k = 0; k < pages; ++k) pieces.push_back(std::string(4000, static_cast<char>('a' + k)) + "\f");
        pieces.push_back(kUel);
        for (const auto& piece : pieces) {
            DWORD status = 0;
            if (FakeSpool_GetJobStatus(printer.c_str(), id, &status) && (status & JOB_STATUS_DELETING)) break;
            if (!host_.WriteAll(ports_[p], piece)) {
                ++writeFailures_;
                break;
            }
            Sleep(rng() % 100);   // the spooler's pace, so that the script meets jobs mid-way
        }
        {
            std::lock_guard<std::mutex> g(lock_);
            current_[p] = 0;
        }
        if (!host_.EndDoc(ports_[p])) ++endFailures_;
    }
    // The script: every 20 to 150 ms one thing happens to one printer; a
    // paused printer resumes and a switched-off one comes back on after a
    // while. Runs until `done`, then leaves every printer on and running.
    void Script(std::atomic<bool>& done) {
        std::mt19937 rng(seed_);
        std::vector<ULONGLONG> resumeAt(printers_, 0), powerOnAt(printers_, 0);
        auto restore = [&](bool all) {
            ULONGLONG now = GetTickCount64();
            for (int p = 0; p < printers_; ++p) {
                if (resumeAt[p] && (all || now >= resumeAt[p])) {
                    controls_[p].Command("pause off");
                    resumeAt[p] = 0;
                }
                if (powerOnAt[p] && (all || now >= powerOnAt[p])) {
                    controls_[p].Command("power on");
                    powerOnAt[p] = 0;
                }
            }
        };
        while (!done) {
            Sleep(20 + rng() % 130);
            restore(false);
            int p = static_cast<int>(rng() % printers_);
            // Power cycles are the rarest: each one costs the monitor a few polls.
            static constexpr int kWeights[kActions] = {3, 3, 2, 2, 1};
            int pick = static_cast<int>(rng() % 11), a = 0;
            while (pick >= kWeights[a]) pick -= kWeights[a++];
            DWORD job;
            {
                std::lock_guard<std::mutex> g(lock_);
                job = current_[p];
            }
            switch (a) {
            case SPOOLER_CANCEL:
                if (!job || !FakeSpool_SetJobStatus(PrinterName(p).c_str(), job, JOB_STATUS_DELETING)) continue;
                break;
            case PANEL_CANCEL: controls_[p].Command("cancel"); break;
            case ABORT: controls_[p].Command("abort"); break;
            case PAUSE:
                if (resumeAt[p]) continue;
                controls_[p].Command("pause on");
                resumeAt[p] = GetTickCount64() + 300 + rng() % 1200;
                break;
            case POWER_CYCLE:
                if (powerOnAt[p]) continue;
                controls_[p].Command("power off");
                powerOnAt[p] = GetTickCount64() + 1000 + rng() % 2000;
                break;
            }
            ++actions_[a];
        }
        restore(true);
    }
    // Prints `count` jobs from `firstId` on, spread over the printers.
    void Run(DWORD firstId, DWORD count, bool script) {
        std::atomic<DWORD> next{0};
        std::atomic<bool> done{false};
        std::vector<std::thread> writers;
        for (int p = 0; p < printers_; ++p)
            writers.emplace_back([&, p] {
                std::mt19937 rng(seed_ + static_cast<DWORD>(p) + 1);
                for (DWORD k; (k = next++) < count;) PrintJob(p, firstId + k, rng);
            });
        std::thread chaos;
        if (script) chaos = std::thread([&] { Script(done); });
        for (auto& t : writers) t.join();
        done = true;
        if (chaos.joinable()) chaos.join();
    }
    // Waits until every job printed so far has been released at least once.
    bool AllReleased(DWORD timeoutMs) {
        return FakeSpoolWaitUntil([&] {
            Releases r = CountReleases();
            std::lock_guard<std::mutex> g(lock_);
            for (const auto& [id, p] : printerOf_)
                if (r.ejected[id] + r.deleted[id] == 0) return false;
            return true;
        }, timeoutMs);
    }

    DWORD jobs_ = 0, seed_ = 0;
    int printers_ = static_cast<int>(kDefaultPrinters);
    ServedModelKeys keys_{"Soak 1", "Soak 2",  "Soak 3",  "Soak 4",  "Soak 5",  "Soak 6",  "Soak 7",  "Soak 8",
                          "Soak 9", "Soak 10", "Soak 11", "Soak 12", "Soak 13", "Soak 14", "Soak 15", "Soak 16"};
    ShortPolling polling_;
    TraceOnForTest trace_;
    SpoolHost host_;
    std::unique_ptr<SimPrinter> printer_;
    std::vector<SimControl> controls_;
    std::vector<std::wstring> traceFiles_;
    HANDLE ports_[kMaxPrinters] = {};
    std::mutex lock_;
    std::map<DWORD, int> printerOf_;
    DWORD current_[kMaxPrinters] = {};
    std::atomic<int> actions_[kActions] = {};
    std::atomic<int> startFailures_{0}, writeFailures_{0}, endFailures_{0};
};

TEST_F(Soak, EveryJobIsReleasedOnceWhilePrintersMisbehave) {
    // First use: the system's and the runtime's one-time allocations, and
    // one job per printer through an undisturbed printer.
    const DWORD threadsBefore = ThreadCount();
    OpenPorts();
    Run(kFirstJobId - printers_, printers_, false);
    ASSERT_TRUE(AllReleased(kReleaseWaitMs));
    ClosePorts();
    // The snapshot may lag the warm-up's last thread exits.
    FakeSpoolWaitUntil([&] { return ThreadCount() <= threadsBefore; }, kSettleWaitMs);
    const DWORD handles = HandleCount(), threads = ThreadCount();

    const ULONGLONG start = GetTickCount64();
    OpenPorts();
    Run(kFirstJobId, jobs_, true);
    const ULONGLONG printed = GetTickCount64();
    bool released = AllReleased(kReleaseWaitMs);
    const ULONGLONG settled = GetTickCount64();
    ClosePorts();
    FakeSpoolWaitUntil([&] { return ThreadCount() == threads && HandleCount() == handles; }, kSettleWaitMs);
    const DWORD handlesAfter = HandleCount(), threadsAfter = ThreadCount();

    Releases r = CountReleases();
    int ejected = 0, deleted = 0, never = 0, twice = 0, reported = 0;
    for (const auto& [id, p] : printerOf_) {
        int e = r.ejected[id], d = r.deleted[id];
        ejected += e == 1 && d == 0;
        deleted += d == 1 && e == 0;
        never += e + d == 0;
        twice += e + d > 1;
        if (e + d != 1 && ++reported <= 10)
            ADD_FAILURE() << "job " << id << " on " << Address(p) << ": " << e << " LAST_PAGE_EJECTED, " << d
                          << " DELETE";
    }
    size_t closeTimeouts = 0;
    for (const auto& file : traceFiles_)
        for (const auto& l : TraceOnForTest::Lines(file)) closeTimeouts += TraceOnForTest::Text(l) == kCloseTimedOut;

    std::printf("soak: seed %lu, %zu jobs in %.1f s (+%.1f s to the last release)\n",
                static_cast<unsigned long>(seed_), printerOf_.size(), (printed - start) / 1000.0,
                (settled - printed) / 1000.0);
    std::printf("soak: script:");
    for (int a = 0; a < kActions; ++a) std::printf(" %s %d;", kActionNames[a], actions_[a].load());
    std::printf("\nsoak: released once: %d by LAST_PAGE_EJECTED, %d by DELETE; never %d; more than once %d\n",
                ejected, deleted, never, twice);
    std::printf("soak: spooler calls failed: StartDoc %d, WritePort %d, EndDoc %d; closes with queued jobs %zu\n",
                startFailures_.load(), writeFailures_.load(), endFailures_.load(), closeTimeouts);
    std::printf("soak: handles %lu -> %lu, threads %lu -> %lu\n", static_cast<unsigned long>(handles),
                static_cast<unsigned long>(handlesAfter), static_cast<unsigned long>(threads),
                static_cast<unsigned long>(threadsAfter));
    std::fflush(stdout);

    EXPECT_TRUE(released) << "some jobs were still held " << kReleaseWaitMs << " ms after the last one ended";
    EXPECT_EQ(never + twice, 0);
    EXPECT_EQ(closeTimeouts, 0u) << "a port closed with jobs still queued in the monitor";
    for (int i = 0; i < printers_; ++i) EXPECT_EQ(FakeSpool_JobCount(PrinterName(i).c_str()), 0u) << Address(i);
    EXPECT_EQ(handlesAfter, handles);
    EXPECT_EQ(threadsAfter, threads);
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u) << "every manager handle closed";
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u) << "every printer handle closed";
}

}  // namespace
