// The lifetime of a port's threads: the worker slot, the notification
// threads, the locks they share with the spooler's calls, and the context
// that must outlive them all.
#include "state/bind_fixture.h"
#include "monitor/trace_reader.h"
#include "threads/refresh.h"
#include "threads/waitjob.h"
#include "threads/worker.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

class Lifecycle : public BindFixture {
protected:
    void SetUp() override {
        BindFixture::SetUp();
        AddPrinter(L"Printer A");
        Open();
        SetPrinterExtStatus(ctx);
    }
    // A printer in error with a job waiting: the waiting-job thread has work.
    SrmBinding* PrinterInErrorWithAJob() {
        SrmBinding* b = BindManaged(L"Printer A");
        job = FakeSpool_AddJob(L"Printer A", 0, 0, L"waiting", L"user", 1);
        return b;
    }
    bool WorkerAlive() { return (ctx->status & ST_THREAD_ALIVE) != 0; }
    // The last PrinterExtStatus word the manager was sent.
    DWORD PublishedExt() {
        DWORD v = 0;
        std::vector<SrmDoubleUpdateRecord> log(SrmDouble_GetUpdateLog(nullptr, 0) + 8);
        DWORD n = SrmDouble_GetUpdateLog(log.data(), static_cast<DWORD>(log.size()));
        for (DWORD i = 0; i < n && i < log.size(); ++i)
            if (strcmp(log[i].name, "PrinterExtStatus") == 0) v = *reinterpret_cast<DWORD*>(log[i].value);
        return v;
    }
    DWORD job = 0;
};

// A worker that ends while a new one starts must not take the new one's
// wake event with it (the new worker then never sleeps, and closing the port
// no longer sees it).
TEST_F(Lifecycle, ANewWorkerKeepsItsWakeEventWhenTheOldOneEnds) {
    ASSERT_NE(PrinterInErrorWithAJob(), nullptr);
    DWORD threads = ThreadCount();
    ASSERT_TRUE(StartWaitingJobThread(ctx));
    ASSERT_TRUE(WaitFor([&] { return ThreadCount() == threads + 1; }));

    // The old worker's last publications are slow: its end is drawn out.
    SrmDouble_SetDelay("UpdatePrinterStatusA", 1000);
    FakeSpool_RemoveJob(L"Printer A", job);
    WakePortWorker(ctx);
    ASSERT_TRUE(WaitFor([&] { return !WorkerAlive(); }, 15000));
    job = FakeSpool_AddJob(L"Printer A", 0, 0, L"waiting again", L"user", 1);
    ASSERT_TRUE(StartWaitingJobThread(ctx)) << "a worker that is only returning is replaced";
    SrmDouble_SetDelay("UpdatePrinterStatusA", 0);
    ASSERT_TRUE(WaitFor([&] { return ThreadCount() == threads + 1; }, 15000)) << "the old worker has gone";

    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(ctx->hWakeEvent, &flags)) << "the running worker's wake event is still open";
    EXPECT_TRUE(WorkerAlive());
    EXPECT_TRUE(StopPortWorker(ctx, kThreadStopTimeoutMs));
    EXPECT_FALSE(WorkerAlive());
}

// A "Wake Up" while the waiting-job thread still runs is not lost: once no
// job waits any more, the same thread goes on as the refresh thread.
TEST_F(Lifecycle, AWakeWhileTheWaitingJobThreadRunsGetsTheRefreshThread) {
    ASSERT_NE(PrinterInErrorWithAJob(), nullptr);
    DWORD threads = ThreadCount();
    ASSERT_TRUE(StartWaitingJobThread(ctx));
    ASSERT_TRUE(WaitFor([&] { return PublishedExt() == 0x17; }));   // the worker is in its loop
    SrmDouble_ClearLogs();
    ctx->bWakeUp = 1;
    EXPECT_TRUE(StartUstatusThread(ctx)) << "the waiting-job thread is asked for the refresh thread";
    FakeSpool_RemoveJob(L"Printer A", job);
    WakePortWorker(ctx);
    // The waiting-job thread's end clears the running bit, the refresh
    // thread's start sets it again.
    ASSERT_TRUE(WaitFor([&] { return PublishedExt() == 0x17; }, 15000));
    EXPECT_TRUE(WorkerAlive());
    EXPECT_EQ(ThreadCount(), threads + 1) << "in the same thread";
    EXPECT_EQ(ctx->bWaitThreadStarted, 0u);
    EXPECT_TRUE(StopPortWorker(ctx, kThreadStopTimeoutMs));
    EXPECT_FALSE(WorkerAlive());
}

// The closing notification thread stops the worker, and the worker's end
// refreshes the bindings: neither may wait for the other.
TEST_F(Lifecycle, ClosingWhileTheWorkerRunsEndsBothWithoutWaitingForEachOther) {
    ASSERT_NE(PrinterInErrorWithAJob(), nullptr);
    ASSERT_TRUE(StartWaitingJobThread(ctx));   // not marked as the job event's: the notification thread stops it
    ASSERT_TRUE(WaitFor([&] { return WorkerAlive() && PublishedExt() == 0x17; }));
    DWORD threads = ThreadCount();
    SetEvent(ctx->hCloseEvent);
    // Guard only: both end in well under a second; a mutual wait takes 30 s.
    EXPECT_TRUE(WaitFor([&] { return !WorkerAlive() && ctx->cNotifyThreads == 0; }, 15000));
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads - 2; }));
}

// A spooler call publishing the job status holds the binding it reads from
// against a notification thread dropping it.
TEST_F(Lifecycle, JobStatusBitsKeepTheBindingUntilTheyArePublished) {
    SrmBinding* b = BindManaged(L"Printer A");
    ASSERT_NE(b, nullptr);
    ctx->pCurBind = b;
    SrmDouble_SetDelay("GetPrinterStatusA", 500);
    BOOL changed = FALSE;
    std::thread spooler([&] { changed = SetJobStatusBits(ctx, 0x1, TRUE); });
    Sleep(100);   // the spooler thread is inside the manager's read
    ASSERT_TRUE(SignalNamedEvent(L"VKLVJPPWD:DEL_PRN:Printer A"));
    spooler.join();
    EXPECT_TRUE(WaitFor([&] { return ctx->pBindList == nullptr && ctx->cNotifyThreads == 0; }));
    SrmDouble_SetDelay("GetPrinterStatusA", 0);
    EXPECT_TRUE(changed);
    EXPECT_EQ(SrmDouble_BadHandleCount(), 0u) << "no manager call on a closed handle";
}

// Thread ids are reused: a thread whose id another binding still carries
// serves its own binding all the same.
TEST_F(Lifecycle, ANotificationThreadServesTheBindingItWasGiven) {
    AddPrinter(L"Printer B");
    SrmBinding* a = BindManaged(L"Printer A");
    SrmBinding* b = BindManaged(L"Printer B");
    ASSERT_TRUE(a && b);
    a->dwNotifyThreadId = b->dwNotifyThreadId;   // as if A's id had been handed to B's thread
    SrmDouble_SetTextW(L"Printer B", "PrinterName", L"Renamed B");
    EXPECT_TRUE(WaitFor([&] { return BindingNames() == std::vector<std::wstring>{L"Printer A", L"Renamed B"}; }));
}

// A port destroyed while its worker still has to take the spooler-access
// right on its way out: the right (and the context) stay until it has.
TEST_F(Lifecycle, TheSpoolerRightOutlivesTheWorker) {
    ASSERT_NE(PrinterInErrorWithAJob(), nullptr);
    DWORD threads = ThreadCount();
    ASSERT_TRUE(StartWaitingJobThread(ctx));
    ASSERT_TRUE(WaitFor([&] { return PublishedExt() == 0x17; }));   // the worker is in its loop
    SpoolerRight* right = ctx->pSpoolerRight;
    ASSERT_EQ(AcquireSpoolerRight(right, INFINITE), WAIT_OBJECT_0);   // a document step holds it
    PortContext* port = ctx;
    ctx = nullptr;
    std::thread closer([port] { FreeContext(port); });
    ASSERT_TRUE(WaitFor([&] { return !(port->status & ST_THREAD_RUN); }));   // the worker is asked to stop
    EXPECT_TRUE(HeapValidate(hHeap, 0, right)) << "the right is still allocated";
    ReleaseSpoolerRight(right);
    closer.join();
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u);
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u);
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads - 1; }, 15000)) << "worker and notification thread ended";
}

// The system flags and the port mode are shared with the worker threads:
// no change of one thread may undo another's.
TEST_F(Lifecycle, FlagWordsLoseNoConcurrentChange) {
    // Runs until each side has seen the other's bits set often enough that
    // the two really overlapped (bounded for a machine that never lets them).
    constexpr int kOverlaps = 200000, kMaxRounds = 50000000;
    std::atomic<int> lost{0}, ready{0};
    auto side = [&](DWORD sys, DWORD mode, DWORD otherSys) {
        ++ready;
        while (ready < 2) {}
        int seen = 0;
        for (int i = 0; i < kMaxRounds && seen < kOverlaps && !lost; ++i) {
            SysFlagSet(ctx, sys);
            PortModeSet(ctx, mode);
            DWORD flags = ctx->dwSysFlag;
            if (!(flags & sys) || !(ctx->PortMode & mode)) ++lost;
            if (flags & otherSys) ++seen;
            SysFlagClear(ctx, sys);
            PortModeClear(ctx, mode);
        }
    };
    std::thread worker(side, SYS_PRINTER_RESET, 0x2u, SYS_DATA_SENT);
    side(SYS_DATA_SENT, 0x1u, SYS_PRINTER_RESET);
    worker.join();
    EXPECT_EQ(lost, 0);
}

// The worker threads wait for the spooler-access right like every other
// caller: a wait that times out is traced (true: the refresh thread held by
// a "Wake Up", false: the waiting-job thread with a job waiting).
class WorkerRightWait : public BindFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        BindFixture::SetUp();
        file = trace.FileFor(L"Printer A");   // before the port reads its trace settings
        AddPrinter(L"Printer A");
        Open();
        SetPrinterExtStatus(ctx);
    }
    void TearDown() override {
        dwSpoolerWaitMs = kDefaultSpoolerWaitMs;
        BindFixture::TearDown();
    }
    size_t TimeoutLines() {
        auto lines = TraceOnForTest::Lines(file);
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
            return TraceOnForTest::Text(l) == "-WaitSpoolerFunc() -> TIMEOUT-";
        }));
    }
    TraceOnForTest trace;
    std::wstring file;
};

TEST_P(WorkerRightWait, ATimedOutWaitIsTraced) {
    const bool refresh = GetParam();
    ASSERT_NE(BindManaged(L"Printer A"), nullptr);
    FakeSpool_AddJob(L"Printer A", 0, 0, L"waiting", L"user", 1);
    ASSERT_EQ(AcquireSpoolerRight(ctx->pSpoolerRight, INFINITE), WAIT_OBJECT_0);   // a document step holds it
    dwSpoolerWaitMs = 50;
    if (refresh) ctx->bWakeUp = 1;
    BOOL started = refresh ? StartUstatusThread(ctx) : StartWaitingJobThread(ctx);
    EXPECT_TRUE(started);
    if (started) {
        EXPECT_TRUE(WaitFor([&] { return TimeoutLines() > 0; }, 15000));
    }
    ReleaseSpoolerRight(ctx->pSpoolerRight);
    ctx->bWakeUp = 0;
    EXPECT_TRUE(StopPortWorker(ctx, kThreadStopTimeoutMs));
}

INSTANTIATE_TEST_SUITE_P(Workers, WorkerRightWait, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "Refresh" : "WaitingJob");
                         });

}  // namespace
