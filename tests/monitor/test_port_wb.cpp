// Port session internals: the context's defaults, the closing wait for
// queued jobs, the spooler-access right and the library's start-up values.
#include "state/jobqueue.h"
#include "core/portctx.h"
#include "jobpath/docport.h"
#include "monitor/trace_reader.h"
#include "queries/getdata.h"
#include "state/statusvar.h"
#include "threads/worker.h"
#include "support/whitebox.h"
#include "pmdouble.h"
#include "fakespool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

const std::string kClosePortTimedOut = "VJLMON:PJLMonClosePort -ClosePortTimeout-";

size_t CountLines(const std::wstring& file, const std::string& text) {
    auto lines = TraceOnForTest::Lines(file);
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return TraceOnForTest::Text(l) == text; });
}

// Opens a port through the linked code, over the port monitor double.
PortContext* OpenWb(const wchar_t* port, const wchar_t* printer) { return OpenPortWb(port, printer, PmDouble_Table()); }

DWORD StatusWord(PortContext* ctx, const char* name, int i) {
    StatusVariable* row = FindStatusVariable(name, ctx->pVarTable, ctx, FALSE);
    return row && row->pValue ? static_cast<DWORD*>(row->pValue)[i] : 0xDEADBEEF;
}

class PortWb : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        PmDouble_Reset();
        FakeSpool_Reset();
        dwOSMajor = 6;
        dwOSMinor = 1;
    }
};

TEST_F(PortWb, ContextDefaultsAndInitialStatus) {
    FakeSpool_AddPort(L"IP_WB", L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    PortContext* tcp = OpenWb(L"IP_WB", L"WB Printer");
    PortContext* usb = OpenWb(L"USB010", L"");
    ASSERT_TRUE(tcp && usb);

    EXPECT_EQ(tcp->signature, 0x4F50u);
    EXPECT_EQ(tcp->cb, sizeof(PortContext) + sizeof(L"IP_WB"));
    EXPECT_STREQ(tcp->pszPortName, L"IP_WB");
    EXPECT_EQ(reinterpret_cast<BYTE*>(tcp->pszPortName), reinterpret_cast<BYTE*>(tcp + 1));
    EXPECT_STREQ(tcp->pszPrinterName, L"WB Printer");
    EXPECT_EQ(usb->pszPrinterName, nullptr) << "an empty printer name is not kept";
    EXPECT_EQ(tcp->status & ST_IDLE, ST_IDLE);
    EXPECT_EQ(tcp->fn.cbSize, 160u);
    EXPECT_EQ(tcp->fn.pfnWritePort, PmDouble_Table()->pfnWritePort);
    EXPECT_EQ(tcp->dwClosePortTimeout, 120000u);
    EXPECT_STREQ(tcp->szCommunity, "ravine");
    EXPECT_STREQ(usb->szCommunity, "ravine");
    EXPECT_TRUE(tcp->pSpoolerRight && tcp->hCloseEvent && tcp->hRefreshDoneEvent && tcp->pCritSec);
    EXPECT_TRUE(tcp->pJcidList && tcp->pJobInfoSlot && tcp->szPrinterAddress && tcp->szOidText && tcp->szMibText);
    EXPECT_NE(tcp->hWakeEvent, nullptr) << "the wake event lives as long as the port";
    EXPECT_EQ(tcp->hWorkerThread, nullptr);

    EXPECT_EQ(tcp->dwPortStatus, 0x105u);
    EXPECT_EQ(usb->dwPortStatus, 0x3u);
    EXPECT_EQ(StatusWord(tcp, "PrinterStatus", 1), 2048u);
    EXPECT_EQ(StatusWord(usb, "PrinterStatus", 1), 1024u);
    EXPECT_EQ(StatusWord(tcp, "PrinterExtStatus", 0), 0x7u);
    EXPECT_EQ(StatusWord(usb, "PrinterExtStatus", 0), 0x1u);
    EXPECT_EQ(StatusWord(tcp, "JobStatus", 0), 0u);

    EXPECT_EQ(FindPort(pPortList, L"ip_wb"), tcp);
    EXPECT_EQ(FindPort(pPortList, nullptr), nullptr);
    EXPECT_TRUE(PJLMonClosePort(tcp));
    EXPECT_TRUE(PJLMonClosePort(usb));
    EXPECT_EQ(FindPort(pPortList, L"IP_WB"), nullptr);
}

TEST_F(PortWb, CloseWaitsForQueuedJobsThenDeletesThem) {
    TraceOnForTest trace;
    std::wstring file = trace.FileFor(L"Queue Printer");
    PortContext* ctx = OpenWb(L"USB011", L"Queue Printer");
    ASSERT_NE(ctx, nullptr);
    ctx->dwClosePortTimeout = 2000;
    auto* entry = static_cast<JobQueueEntry*>(MemAlloc(sizeof(JobQueueEntry)));
    entry->dwJobId = 9;
    ctx->pJobQueueHead = ctx->pJobQueueTail = entry;

    EXPECT_TRUE(PJLMonClosePort(ctx));
    EXPECT_EQ(CountLines(file, kClosePortTimedOut), 1u) << "waited, then the job was deleted";
    EXPECT_EQ(PmDouble_CallCount(PM_CLOSE), 1u);
}

TEST_F(PortWb, CloseReturnsEarlyWhenTheQueueEmpties) {
    TraceOnForTest trace;
    std::wstring file = trace.FileFor(L"Queue Printer");
    PortContext* ctx = OpenWb(L"USB012", L"Queue Printer");
    ASSERT_NE(ctx, nullptr);
    auto* entry = static_cast<JobQueueEntry*>(MemAlloc(sizeof(JobQueueEntry)));
    ctx->pJobQueueHead = ctx->pJobQueueTail = entry;
    std::thread finisher([&] {
        // The job leaves the queue once ClosePort waits for it.
        while (!(ctx->status & ST_CLOSING)) Sleep(10);
        LockPort(ctx);
        ctx->pJobQueueHead = ctx->pJobQueueTail = nullptr;
        UnlockPort(ctx);
        MemFree(entry);
    });
    EXPECT_TRUE(PJLMonClosePort(ctx));
    finisher.join();
    EXPECT_EQ(CountLines(file, kClosePortTimedOut), 0u) << "the 120 s timeout did not run out";
}

// A stand-in worker that ends the way every worker does.
DWORD WINAPI StandInWorker(LPVOID param) {
    auto* ctx = static_cast<PortContext*>(param);
    while (ctx->status & ST_THREAD_RUN) WaitForSingleObject(ctx->hWakeEvent, 5000);
    PortWorkerEnding(ctx);
    ReleasePortRef(ctx);
    return 0;
}

TEST_F(PortWb, CloseStopsTheWorkerThread) {
    PortContext* ctx = OpenWb(L"USB013", L"Worker Printer");
    ASSERT_NE(ctx, nullptr);
    ASSERT_TRUE(StartPortWorker(ctx, StandInWorker));
    EXPECT_FALSE(StartPortWorker(ctx, StandInWorker)) << "one worker at a time";
    HANDLE worker = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), ctx->hWorkerThread, GetCurrentProcess(), &worker, SYNCHRONIZE,
                                FALSE, 0));
    EXPECT_TRUE(PJLMonClosePort(ctx));
    EXPECT_EQ(WaitForSingleObject(worker, 0), WAIT_OBJECT_0) << "ClosePort returns once the worker has ended";
    CloseHandle(worker);
}

TEST_F(PortWb, NetworkSharePortsNeverWaitForTheSpoolerRight) {
    PortContext* share = OpenWb(L"\\\\srv\\q", L"Share");
    PortContext* local = OpenWb(L"USB014", L"Local");
    ASSERT_TRUE(share && local);
    ASSERT_EQ(share->dwPortStatus, 0x41u);
    // Another thread holds both rights.
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr), done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        AcquireSpoolerRight(share->pSpoolerRight, INFINITE);
        AcquireSpoolerRight(local->pSpoolerRight, INFINITE);
        SetEvent(held);
        WaitForSingleObject(done, INFINITE);
        ReleaseSpoolerRight(local->pSpoolerRight);
        ReleaseSpoolerRight(share->pSpoolerRight);
    });
    WaitForSingleObject(held, INFINITE);
    EXPECT_EQ(WaitSpoolerFunc(share), 0u);
    ReleaseSpoolerFunc(share);
    SetEvent(done);
    holder.join();
    EXPECT_EQ(WaitSpoolerFunc(local), 0u);
    ReleaseSpoolerFunc(local);
    CloseHandle(held);
    CloseHandle(done);
    PJLMonClosePort(share);
    PJLMonClosePort(local);
}

// Handles from the spooler are checked before use: a handle that is not an
// open port of ours is refused with 87 and reaches nothing beneath.
TEST_F(PortWb, ForeignHandlesAreRefusedByEveryOperation) {
    PortContext* real = OpenWb(L"USB015", L"Handle Printer");
    ASSERT_NE(real, nullptr);
    alignas(PortContext) BYTE foreign[sizeof(PortContext) + 64];
    memset(foreign, 0xCD, sizeof(foreign));
    HANDLE bad[] = {foreign, reinterpret_cast<BYTE*>(real) + 8};
    PmDouble_Reset();
    BYTE buf[16] = {};
    DWORD n = 0;
    DOC_INFO_1W doc = {const_cast<LPWSTR>(L"doc"), nullptr, nullptr};
    for (HANDLE h : bad) {
        SetLastError(0);
        EXPECT_FALSE(PJLMonStartDocPort(h, const_cast<LPWSTR>(L"Handle Printer"), 1, 1, reinterpret_cast<LPBYTE>(&doc)));
        EXPECT_EQ(GetLastError(), 87u);
        SetLastError(0);
        EXPECT_FALSE(PJLMonWritePort(h, buf, sizeof(buf), &n));
        EXPECT_EQ(GetLastError(), 87u);
        SetLastError(0);
        EXPECT_FALSE(PJLMonReadPort(h, buf, sizeof(buf), &n));
        EXPECT_EQ(GetLastError(), 87u);
        SetLastError(0);
        EXPECT_FALSE(PJLMonEndDocPort(h));
        EXPECT_EQ(GetLastError(), 87u);
        SetLastError(0);
        EXPECT_FALSE(PJLMonGetPrinterDataFromPort(h, 0, const_cast<LPWSTR>(L"IsWakeup"), nullptr, 0, nullptr, 0, &n));
        EXPECT_EQ(GetLastError(), 87u);
    }
    for (int call = PM_OPEN; call <= PM_SETTIMEOUTS; ++call)
        EXPECT_EQ(PmDouble_CallCount(static_cast<PmOp>(call)), 0u) << call;
    EXPECT_TRUE(PJLMonClosePort(real));
}

// A port monitor table without the slots every job and the close use is
// refused before anything is opened.
TEST_F(PortWb, PortMonitorTableWithoutTheCalledSlotsIsRefused) {
    MONITOR2 table = *PmDouble_Table();
    table.pfnWritePort = nullptr;
    HANDLE h = nullptr;
    SetLastError(0);
    EXPECT_FALSE(PJLMonOpenPortEx(nullptr, reinterpret_cast<HANDLE>(1), const_cast<LPWSTR>(L"USB016"),
                                  const_cast<LPWSTR>(L"Slots"), &h, &table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINT_MONITOR));
    EXPECT_EQ(PmDouble_CallCount(PM_OPEN), 0u);
    EXPECT_EQ(FindPort(pPortList, L"USB016"), nullptr);
}

// The event log folder and debug log path come from the service's registry.
class StartUp : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        init.cbSize = sizeof(init);
        init.hSpooler = reinterpret_cast<HANDLE>(1);
        init.hckRegistryRoot = reinterpret_cast<HKEYMONITOR>(2);
        init.pMonitorReg = &reg;
    }
    void TearDown() override {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnholt");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnholt");
    }
    std::string Init() {
        HANDLE h = nullptr;
        EXPECT_NE(InitializePrintMonitor2(&init, &h), nullptr);
        EXPECT_EQ(h, hMonitor);
        EXPECT_EQ(*static_cast<PMONITORINIT*>(h), &init);
        Shutdown(h);
        return szDebugLogPath;
    }
    // Keys stay until TearDown: the monitor reads them during Init().
    static void Service(const char* folder) {
        HKEY k;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnholt\\VhPJMService", 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &k, nullptr);
        RegSetValueExA(k, "CurrentVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>("2.1"), 4);
        RegCloseKey(k);
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnholt\\VhPJMService\\2.1", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &k, nullptr);
        RegSetValueExA(k, "EventLogFolder", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder),
                       static_cast<DWORD>(strlen(folder) + 1));
        RegCloseKey(k);
    }
    MONITORINIT init{};
    MONITORREG reg{};
};

TEST_F(StartUp, DebugLogPathHasExactlyOneBackslash) {
    TearDown();
    EXPECT_EQ(Init(), "\\VhPJMLVTL7700.log") << "no service: an empty folder";
    Service("C:\\pjm\\logs");
    EXPECT_EQ(Init(), "C:\\pjm\\logs\\VhPJMLVTL7700.log");
    Service("C:\\pjm\\logs\\");
    EXPECT_EQ(Init(), "C:\\pjm\\logs\\VhPJMLVTL7700.log");
    EXPECT_EQ(dwDoneJobMask, 0x1195u) << "Wine reports a system after 5.0";
}

TEST_F(StartUp, NullMembersAreRefusedBeforeAnythingElse) {
    init.pMonitorReg = nullptr;
    HANDLE h = reinterpret_cast<HANDLE>(7);
    SetLastError(0);
    EXPECT_EQ(InitializePrintMonitor2(&init, &h), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(h, reinterpret_cast<HANDLE>(7));
}

}  // namespace
