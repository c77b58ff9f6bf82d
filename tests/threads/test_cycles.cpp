// The monitor DLL as the spooler drives it: a Standard TCP/IP kind port
// shared by two printers of the served model, opened, printed to from both
// printers and closed, over and over, with no handle or thread left behind.
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "srmdouble.h"
#include "support/served_model.h"
#include "support/simprinter.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The port's printer is a simulated one, so that every poll of the monitor
// is answered as a live printer answers it.
constexpr char kAddress[] = "127.0.6.10";
constexpr wchar_t kPort[] = L"IP_CYCLE";
constexpr const wchar_t* kDriver = kServedDriver;
constexpr const wchar_t* kMonitorName = kServedMonitorName;
constexpr int kCycles = 10;   // a leak of one handle per cycle shows in any count

class Cycles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(printer.Start()) << printer.error;
        PmDouble_Reset();
        FakeSpool_Reset();
        SrmDouble_Reset();
        FakeSpool_AddPort(kPort, L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
        FakeSpool_SetXcvIPAddress(kPort, L"127.0.6.10");
        FakeSpool_AddDriver(kDriver, kMonitorName);
        FakeSpool_AddPrinter(L"Printer A", kDriver, kPort, PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
        FakeSpool_AddPrinter(L"Printer B", kDriver, kPort, PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
        ASSERT_TRUE(host.Load());
        ASSERT_NE(host.Initialize(), nullptr);
    }
    // One open, a job from each printer, close.
    void Cycle(DWORD* jobId) {
        const std::string data = "\x1b%-12345X@PJL JOB NAME=\"cycle\"\r\n@PJL ENTER LANGUAGE=VPDL\r\npage\x1b%-12345X";
        HANDLE h = nullptr;
        ASSERT_TRUE(host.OpenPort(kPort, L"Printer A", &h));
        for (const wchar_t* printer : {L"Printer A", L"Printer B"}) {
            DWORD id = FakeSpool_AddJob(printer, ++*jobId, 0, L"cycle", L"user", 1);
            EXPECT_TRUE(host.PrintJob(h, printer, id, L"cycle", data));
        }
        EXPECT_TRUE(host.ClosePort(h));
    }
    SimPrinter printer{kAddress};
    ServedModelKeys keys{"Printer A", "Printer B"};
    SpoolHost host;
};

TEST_F(Cycles, OpenPrintCloseCyclesLeaveNoHandleOrThread) {
    DWORD jobId = 100;
    Cycle(&jobId);   // first use: the system's own one-time allocations

    SrmDoubleOpenRecord opens[4];
    ASSERT_EQ(SrmDouble_GetOpenLog(opens, 4), 2u) << "one manager per printer on the port";
    EXPECT_EQ(_wcsicmp(opens[0].printer, L"Printer A"), 0);
    EXPECT_EQ(_wcsicmp(opens[1].printer, L"Printer B"), 0);
    DWORD jobStatus = 0xDEAD;
    EXPECT_TRUE(SrmDouble_GetValue(L"Printer B", "JobStatus", &jobStatus, 4, nullptr));
    DWORD status[3] = {};
    EXPECT_TRUE(SrmDouble_GetValue(L"Printer A", "PrinterStatus", status, 12, nullptr));
    EXPECT_EQ(status[1], 0x1000u) << "the closed state reaches the managers";

    DWORD handles = HandleCount();
    DWORD threads = ThreadCount();
    for (int i = 0; i < kCycles; ++i) {
        Cycle(&jobId);
        ASSERT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u) << "cycle " << i;
        ASSERT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u) << "cycle " << i;
    }
    // Threads that ended may still be on their way out of the process.
    for (int i = 0; i < 500 && (ThreadCount() > threads || HandleCount() > handles); ++i) Sleep(10);
    DWORD handlesAfter = HandleCount();
    DWORD threadsAfter = ThreadCount();
    std::printf("handles %lu -> %lu, threads %lu -> %lu, manager opens %lu\n", (unsigned long)handles,
                (unsigned long)handlesAfter, (unsigned long)threads, (unsigned long)threadsAfter,
                (unsigned long)SrmDouble_CallCount("OpenManagerExW"));
    EXPECT_GT(handles, 0u);
    EXPECT_EQ(handlesAfter, handles);
    EXPECT_EQ(threadsAfter, threads);
    EXPECT_EQ(SrmDouble_CallCount("OpenManagerExW"), 2u * (kCycles + 1));
    EXPECT_EQ(SrmDouble_CallCount("OpenManagerExW"), SrmDouble_CallCount("CloseManager"));
    EXPECT_EQ(SrmDouble_BadHandleCount(), 0u);
    EXPECT_EQ(FakeSpool_BadHandleCount(), 0u);
}

}  // namespace
