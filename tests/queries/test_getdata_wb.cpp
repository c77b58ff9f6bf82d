// The parts of the printer-data requests that the suite cannot bring about
// on its own: a refresh that meets a held spooler-access right, the refresh
// classes of the queue rows once a job has ended, and the ends of the USB
// cancel's resend loop other than its minute.
#include "state/bind_fixture.h"
#include "jobpath/docport.h"
#include "monitor/trace_reader.h"
#include "queries/getdata.h"
#include "support/doccall_fixture.h"
#include "pmdouble.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

constexpr DWORD kRefused = static_cast<DWORD>(-19);
constexpr DWORD kBusy = static_cast<DWORD>(-38);
constexpr DWORD kCancelCode = 7;
constexpr DWORD kParCancelCode = 0x160008;
constexpr DWORD kTailBytes = 80;

size_t CountText(const std::wstring& file, const std::string& text) {
    auto lines = TraceOnForTest::Lines(file);
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return TraceOnForTest::Text(l) == text;
    }));
}

// Trace lines of the queries (0x2000) besides the default ones.
void TraceQueries() {
    wchar_t dir[MAX_PATH];
    GetWindowsDirectoryW(dir, MAX_PATH);
    WritePrivateProfileStringW(L"VEKTL7700", L"MAGIC", std::to_wstring(0x2003).c_str(),
                               (std::wstring(dir) + L"\\VEKLMLOG.INI").c_str());
}

// Holds a port's spooler-access right on a thread of its own until destroyed.
class HeldRight {
public:
    explicit HeldRight(PortContext* ctx) : held_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
                                           release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        holder_ = std::thread([this, ctx] {
            AcquireSpoolerRight(ctx->pSpoolerRight, INFINITE);
            SetEvent(held_);
            WaitForSingleObject(release_, INFINITE);
            ReleaseSpoolerRight(ctx->pSpoolerRight);
        });
        WaitForSingleObject(held_, INFINITE);
    }
    ~HeldRight() {
        SetEvent(release_);
        holder_.join();
        CloseHandle(held_);
        CloseHandle(release_);
    }

private:
    HANDLE held_, release_;
    std::thread holder_;
};

class RefreshWb : public BindFixture {
protected:
    void TearDown() override {
        dwSpoolerWaitMs = kDefaultSpoolerWaitMs;
        BindFixture::TearDown();
    }
};

TEST_F(RefreshWb, AHeldSpoolerRightAnswersBusyWithoutPolling) {
    TraceOnForTest trace;
    TraceQueries();
    std::wstring file = trace.FileFor(L"Printer A");
    AddPrinter(L"Printer A");
    Open();
    ASSERT_EQ(SrmDouble_SetTextA(L"Printer A", "RefreshStatus", "PrinterStatus;PrinterDisplay"), TRUE);
    dwSpoolerWaitMs = 50;
    {
        HeldRight held(ctx);
        EXPECT_EQ(RefreshStatus(L"Printer A", ctx), kBusy);
    }
    EXPECT_EQ(CountText(file, "REFRESH:RefreshStatus CP@1"), 1u) << "got as far as the right";
    EXPECT_EQ(CountText(file, "-WaitSpoolerFunc() -> TIMEOUT-"), 1u);
    EXPECT_EQ(CountText(file, "REFRESH:RefreshStatus -EXIT @7-"), 1u);
    EXPECT_EQ(CountText(file, "VJLMON:CheckDeviceId -START-"), 0u) << "no poll without the right";
    EXPECT_EQ(ctx->dwLastRefreshPoll, 0u) << "the next request polls at once";
    ExpectPortReleased(ctx);
}

TEST_F(RefreshWb, AnEndedJobMakesTheQueueRowsJobRelatedForGood) {
    AddPrinter(L"Printer A");
    Open();
    SrmBinding bind = {};
    bind.qwModelMask[0] = bind.qwModelMask[1] = 0xFFFFFFFF;
    char queue[] = "PrinterQueue;PrintingJobInfo";
    EXPECT_EQ(GetRefreshClasses(queue, &bind, ctx), 0u) << "nothing to refresh while no job has ended";
    ctx->bDocEnded = 1;
    EXPECT_EQ(GetRefreshClasses(queue, &bind, ctx), 2u);
    EXPECT_STREQ(queue, "PrinterQueue;PrintingJobInfo") << "the list is given back as it was";
    ctx->bDocEnded = 0;
    EXPECT_EQ(GetRefreshClasses(queue, &bind, ctx), 2u) << "the rows keep their new class";
    char single[] = "PrintingJobInfo";
    EXPECT_EQ(GetRefreshClasses(single, &bind, ctx), 2u);
    char others[] = "SendingJobInfo;PrinterDisplay;PrinterExtStatus;ErrCoverOpen;NoSuchName";
    EXPECT_EQ(GetRefreshClasses(others, &bind, ctx), 0x13u) << "other rows are not touched by the rule";
}

// A "Refresh:" request runs for seconds (it waits for the spooler right,
// then polls the printer, which may not answer): a ClosePort meanwhile must
// not free the port under it.
TEST_F(RefreshWb, ARefreshRequestKeepsThePortThroughAClose) {
    TraceOnForTest trace;
    TraceQueries();
    std::wstring file = trace.FileFor(L"Printer A");
    AddPrinter(L"Printer A");
    Open();
    ASSERT_EQ(SrmDouble_SetTextA(L"Printer A", "RefreshStatus", "PrinterStatus;PrinterDisplay"), TRUE);
    PortContext* port = ctx;
    auto held = std::make_unique<HeldRight>(ctx);   // a document step holds the right
    DWORD answer = 0xFFFFFFFF;
    std::atomic<bool> returned{false};
    std::thread query([port, &answer, &returned] {
        DWORD got = 0;
        PJLMonGetPrinterDataFromPort(port, 0, const_cast<LPWSTR>(L"Refresh:Printer A"), nullptr, 0,
                                     reinterpret_cast<LPWSTR>(&answer), sizeof answer, &got);
        returned = true;
    });
    // From here on the request cannot end before it has the right.
    bool inside = WaitFor([&] { return CountText(file, "REFRESH:RefreshStatus CP@1") == 1; }, 15000);
    bool checkedInside = false;
    if (inside) {
        ctx = nullptr;   // the close is the test's
        EXPECT_TRUE(PJLMonClosePort(port));
        EXPECT_TRUE(HeapValidate(hHeap, 0, port)) << "the port is freed under the request";
        checkedInside = !returned;
    }
    held.reset();   // the request goes on
    query.join();
    ASSERT_TRUE(inside);
    EXPECT_TRUE(checkedInside) << "the request ended before the close";
    EXPECT_EQ(answer, 0u);
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u) << "the request's end let the port go";
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u);
    EXPECT_TRUE(HeapValidate(hHeap, 0, nullptr));
}

// A manager that reports a refresh list of 4 GiB: the list is refused
// rather than read into a block that size would wrap to.
PFN_GetPrinterStatusA realGetStatus = nullptr;
bool shortBlockOffered = false;
LONG WINAPI HugeRefreshList(SRMHANDLE h, LPCSTR name, void* buf, DWORD cb, DWORD* needed) {
    if (strcmp(name, "RefreshStatus") != 0) return realGetStatus(h, name, buf, cb, needed);
    if (!buf || !cb) {
        *needed = 0xFFFFFFFF;
        return SRM_E_MORE_DATA;
    }
    // A manager may fill every byte it is offered.
    if (HeapSize(hHeap, 0, buf) < cb) shortBlockOffered = true;
    *needed = 0xFFFFFFFF;
    return SRM_E_MORE_DATA;
}

TEST_F(RefreshWb, ARefreshListSizeThatWrapsIsRefused) {
    AddPrinter(L"Printer A");
    Open();
    RefreshSRMBindings(ctx);
    SrmBinding* b = FindBinding(L"Printer A", ctx);
    ASSERT_TRUE(b && b->hManager && b->pfnGetPrinterStatusA);
    LockPort(ctx);
    realGetStatus = b->pfnGetPrinterStatusA;
    b->pfnGetPrinterStatusA = HugeRefreshList;
    UnlockPort(ctx);
    shortBlockOffered = false;
    EXPECT_EQ(RefreshStatus(L"Printer A", ctx), kRefused);
    EXPECT_FALSE(shortBlockOffered) << "the manager was offered more bytes than the block holds";
    EXPECT_TRUE(HeapValidate(hHeap, 0, nullptr));
    LockPort(ctx);
    b->pfnGetPrinterStatusA = realGetStatus;
    UnlockPort(ctx);
}

// A port on USB whose job writes fail: the cancel code offers the job's
// last bytes again every few seconds until something ends the job.
class UsbCancelWb : public DocCallTest {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        PmDouble_Reset();
        FakeSpool_Reset();
    }
    void TearDown() override {
        if (!ctx) return;
        Release(ctx);
        PJLMonClosePort(ctx);
    }
    // Opens the port, starts a document and lets its first write fail.
    void OpenWithFailedWrite(const wchar_t* port) {
        ctx = Watch(OpenPortWb(port, L"Usb Cancel", PmDouble_Table()));
        ASSERT_NE(ctx, nullptr);
        DOC_INFO_1W di{const_cast<LPWSTR>(L"doc"), nullptr, nullptr};
        ASSERT_TRUE(PJLMonStartDocPort(ctx, nullptr, 5, 1, reinterpret_cast<BYTE*>(&di)));
        PmDouble_FailNext(PM_WRITE, 1000, ERROR_GEN_FAILURE);
        std::string data(200, 'x');
        DWORD written = 0;
        PJLMonWritePort(ctx, reinterpret_cast<BYTE*>(data.data()), 200, &written);
        ASSERT_TRUE(ctx->bWriteFailed);
    }
    BOOL Control(DWORD code) {
        DWORD out = 0, got = 0;
        return PJLMonGetPrinterDataFromPort(ctx, code, nullptr, nullptr, 0, reinterpret_cast<LPWSTR>(&out),
                                            sizeof(out), &got);
    }
    PortContext* ctx = nullptr;
};

TEST_F(UsbCancelWb, TheParallelCancelCodeSetsTheCancelButResendsNothing) {
    OpenWithFailedWrite(L"USB041");
    size_t writes = PmDouble_CallCount(PM_WRITE);
    Control(kParCancelCode);
    EXPECT_TRUE(ctx->status & ST_CANCEL_REQ);
    EXPECT_EQ(PmDouble_CallCount(PM_WRITE), writes) << "only code 7 offers the tail again";
    auto calls = PmDouble_Calls(PM_GETDATA);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].controlId, kParCancelCode);
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
}

// Each way the job can end while the tail is offered again stops the loop
// at its next look: no write after it.
struct Stop {
    const char* name;
    DWORD status;
    bool asksPortMonitor;
};
void PrintTo(const Stop& s, std::ostream* os) { *os << s.name; }
class UsbCancelStops : public UsbCancelWb, public ::testing::WithParamInterface<Stop> {};

TEST_P(UsbCancelStops, TheResendEndsWithoutAnotherWrite) {
    const Stop& stop = GetParam();
    OpenWithFailedWrite(L"USB042");
    size_t writes = PmDouble_CallCount(PM_WRITE);
    BOOL result = TRUE;
    std::thread cancel([&] { result = Control(kCancelCode); });
    ASSERT_TRUE(PmDouble_WaitForCalls(PM_WRITE, writes + 1, 30000)) << "the tail is offered again";
    EXPECT_EQ(PmDouble_Calls(PM_WRITE).back().cbRequested, kTailBytes);
    StatusSet(ctx, stop.status);
    cancel.join();   // the watchdog bounds this; the stop, not the minute, ends it
    EXPECT_EQ(PmDouble_CallCount(PM_WRITE), writes + 1) << "no write after the stop";
    EXPECT_EQ(PmDouble_CallCount(PM_GETDATA), stop.asksPortMonitor ? 1u : 0u);
    if (!stop.asksPortMonitor) {
        EXPECT_FALSE(result);
    }
    StatusClear(ctx, stop.status);
    ctx->bWriteFailed = 0;
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
}
// A port monitor that refuses the tail for good (a pulled cable): the offers
// stop at the limit, and the cancel request returns.
TEST_F(UsbCancelWb, TheResendGivesUpAtItsLimit) {
    OpenWithFailedWrite(L"USB043");
    dwResendPauseMs = 20;
    dwResendLimitMs = 400;
    size_t writes = PmDouble_CallCount(PM_WRITE);
    Control(kCancelCode);
    dwResendPauseMs = kDefaultResendPauseMs;
    dwResendLimitMs = kDefaultResendLimitMs;
    size_t offers = PmDouble_CallCount(PM_WRITE) - writes;
    EXPECT_GE(offers, 1u) << "offered again while refused";
    EXPECT_LE(offers, 400u / 20u + 1) << "no more offers than pauses fit in the limit";
    ctx->bWriteFailed = 0;
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
}

INSTANTIATE_TEST_SUITE_P(Ends, UsbCancelStops,
                         ::testing::Values(Stop{"PortClosing", ST_CLOSING, false},
                                           Stop{"JobDeleted", ST_JOB_DELETED, true},
                                           Stop{"JobDeleting", ST_JOB_DELETING, true},
                                           Stop{"PrinterSilent", ST_NO_ANSWER, true}),
                         [](const ::testing::TestParamInfo<Stop>& i) { return std::string(i.param.name); });

}  // namespace
