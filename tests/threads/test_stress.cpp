// The monitor DLL under load: several spooler threads open, print to and
// close their ports while the managers fire every change they can, the
// status service restarts, managers shut down and printers are renamed and
// deleted. Afterwards nothing is left behind and every job was released once.
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "srmdouble.h"
#include "spoolports.h"
#include "support/served_model.h"
#include "support/win32sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kPorts = 3;
constexpr DWORD kDefaultChurnMs = 15000;   // the bound of the whole run: churn, then close

// The churn's length: 15 s in the test run, longer by hand with
// VJL_STRESS_MS (and VJL_WATCHDOG_S to match).
DWORD ChurnMs() {
    const char* v = getenv("VJL_STRESS_MS");
    DWORD ms = v ? strtoul(v, nullptr, 10) : 0;
    return ms ? ms : kDefaultChurnMs;
}

std::wstring PortName(int i) { return L"IP_STRESS" + std::to_wstring(i); }
std::wstring PrinterName(int i) { return L"Stress " + std::to_wstring(i); }

bool Signal(const std::wstring& name) {
    HANDLE h = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (!h) return false;
    SetEvent(h);
    CloseHandle(h);
    return true;
}

class Stress : public ::testing::Test {
protected:
    void SetUp() override {
        PmDouble_Reset();
        FakeSpool_Reset();
        SrmDouble_Reset();
        FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
        for (int i = 0; i < kPorts; ++i) {
            FakeSpool_AddPort(PortName(i).c_str(), L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ,
                              L"Standard TCP/IP Port");
            FakeSpool_SetXcvIPAddress(PortName(i).c_str(), (L"127.0.0." + std::to_wstring(150 + i)).c_str());
            FakeSpool_AddPrinter(PrinterName(i).c_str(), kServedDriver, PortName(i).c_str(),
                                 PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
        }
        ASSERT_TRUE(host.Load());
        ASSERT_NE(host.Initialize(), nullptr);
    }
    // One open, two jobs, close; the job ids go to `jobs`.
    void Cycle(int i) {
        const std::string data =
            "\x1b%-12345X@PJL JOB NAME=\"stress\"\r\n@PJL ENTER LANGUAGE=VPDL\r\npage\x1b%-12345X";
        HANDLE h = nullptr;
        ASSERT_TRUE(host.OpenPort(PortName(i).c_str(), PrinterName(i).c_str(), &h));
        for (int k = 0; k < 2; ++k) {
            DWORD id = FakeSpool_AddJob(PrinterName(i).c_str(), 0, 0, L"stress", L"user", 1);
            {
                std::lock_guard<Win32Lock> lock(jobsLock);
                jobs[id] = i;
            }
            host.PrintJob(h, PrinterName(i).c_str(), id, L"stress", data);
        }
        EXPECT_TRUE(host.ClosePort(h));
    }
    // What the managers and the status suite do meanwhile, round by round.
    void Churn(int round) {
        std::wstring p = PrinterName(round % kPorts);
        SrmDouble_Notify(p.c_str(), "PrinterExtStatus");
        SrmDouble_Notify(p.c_str(), "PrinterExtStatus");
        SrmDouble_Notify(p.c_str(), "Port");
        SrmDouble_Notify(p.c_str(), "Port");
        switch (round % 5) {
        case 0: SetEvent(startStatus); break;
        case 1:
            SrmDouble_SetDword(p.c_str(), "TerminateManager", 1);
            Sleep(20);
            SrmDouble_SetDword(p.c_str(), "TerminateManager", 0);
            break;
        case 2:
            SrmDouble_SetTextW(p.c_str(), "PrinterName", (p + L" renamed").c_str());
            Sleep(20);
            SrmDouble_SetTextW(p.c_str(), "PrinterName", p.c_str());
            break;
        case 3:
            Signal(L"VKLVJPPWD:DEL_PRN:" + p);
            Signal(L"VKLVJPPWD:DEL_PRN:" + p + L" renamed");
            break;
        default: Signal(L"Global\\PWDJOBEVENT:" + p); break;
        }
        Sleep(15);
    }
    // Spooler threads, one per port, and the manager's events, for `ms`.
    void Load(DWORD ms) {
        std::atomic<bool> stop{false};
        std::vector<Win32Thread> spoolers;
        for (int i = 0; i < kPorts; ++i)
            spoolers.emplace_back([&, i] {
                while (!stop) {
                    Cycle(i);
                    ++cycles;
                }
            });
        Win32Thread manager([&] {
            for (int r = 0; !stop; ++r) {
                Churn(r);
                ++rounds;
            }
        });
        Sleep(ms);
        stop = true;
        for (auto& t : spoolers) t.join();
        manager.join();
    }
    std::atomic<int> cycles{0}, rounds{0};
    ServedModelKeys keys{"Stress 0", "Stress 1", "Stress 2"};
    // No printer answers at these addresses: one silent poll, not two,
    // before the monitor takes a printer for switched off.
    ShortPolling polling;
    SpoolHost host;
    Win32Lock jobsLock;
    std::map<DWORD, int> jobs;
    HANDLE startStatus = nullptr;
};

TEST_F(Stress, SpoolerThreadsAndManagerEventsLeaveNothingBehind) {
    startStatus = CreateEventW(nullptr, FALSE, FALSE, L"Global\\VKLVJPSDB:START_STATUS");
    ASSERT_NE(startStatus, nullptr);
    Load(2000);   // first use: the system's and the runtime's one-time allocations
    Sleep(200);
    const DWORD handles = HandleCount(), threads = ThreadCount();
    const std::vector<std::string> before = ThreadsAndHandles();
    Load(ChurnMs());
    SrmDouble_SetDword(PrinterName(0).c_str(), "TerminateManager", 0);

    // Threads are joined by ClosePort; the snapshot may lag the last exits.
    FakeSpoolWaitUntil([&] { return ThreadCount() == threads && HandleCount() == handles; }, 5000);
    const DWORD handlesAfter = HandleCount(), threadsAfter = ThreadCount();
    std::printf("%d cycles, %d manager rounds, %zu jobs; handles %lu -> %lu, threads %lu -> %lu\n", cycles.load(),
                rounds.load(), jobs.size(), (unsigned long)handles, (unsigned long)handlesAfter,
                (unsigned long)threads, (unsigned long)threadsAfter);
    if (handlesAfter != handles || threadsAfter != threads)
        for (const auto& what : ThreadsAndHandles())
            if (std::find(before.begin(), before.end(), what) == before.end()) std::printf("left: %s\n", what.c_str());
    EXPECT_EQ(handlesAfter, handles);
    EXPECT_EQ(threadsAfter, threads);
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u) << "every manager handle closed";
    EXPECT_EQ(SrmDouble_RegistrationCount(nullptr), 0u);
    EXPECT_EQ(SrmDouble_BadHandleCount(), 0u);
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u);
    EXPECT_EQ(FakeSpool_BadHandleCount(), 0u);

    std::map<DWORD, int> released;
    for (const auto& r : FakeSpoolSetJobLog())
        if (r.command == JOB_CONTROL_LAST_PAGE_EJECTED && r.result) ++released[r.jobId];
    int wrong = 0;
    for (const auto& [id, port] : jobs)
        if (released[id] != 1 && ++wrong <= 5) ADD_FAILURE() << "job " << id << " released " << released[id] << " times";
    EXPECT_EQ(wrong, 0);
    for (int i = 0; i < kPorts; ++i) EXPECT_EQ(FakeSpool_JobCount(PrinterName(i).c_str()), 0u) << i;
    CloseHandle(startStatus);
}

}  // namespace
