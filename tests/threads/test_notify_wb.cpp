// The notification thread of a managed binding, driven by the manager
// double and the suite's named events, and its end at ClosePort.
#include "state/bind_fixture.h"
#include "threads/waitjob.h"
#include "threads/worker.h"
#include "pmdouble.h"

#include <cstring>

namespace {

class Notify : public BindFixture {
protected:
    void SetUp() override {
        BindFixture::SetUp();
        AddPrinter(L"Printer A");
        Open();
    }
    // The thread handles one event at a time: once it has answered a
    // "PrinterExtStatus" notice sent now (it lifts the shutdown mark),
    // everything before it is done.
    bool Sentinel() {
        StatusSet(ctx, ST_MGR_TERMINATED);
        if (SrmDouble_Notify(L"Printer A", "PrinterExtStatus") != 1) return false;
        return WaitFor([&] { return !(ctx->status & ST_MGR_TERMINATED); });
    }
    static bool Consumed(const std::wstring& name) {
        HANDLE h = OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
        if (!h) return false;
        bool taken = WaitFor([&] { return WaitForSingleObject(h, 0) == WAIT_TIMEOUT; });
        CloseHandle(h);
        return taken;
    }
    bool Unbound() {
        return WaitFor([&] { return ctx->pBindList == nullptr && ctx->cNotifyThreads == 0; });
    }
    std::vector<DWORD> PublishedWords(const char* name) {
        std::vector<DWORD> v;
        std::vector<SrmDoubleUpdateRecord> log(SrmDouble_GetUpdateLog(nullptr, 0) + 8);
        DWORD n = SrmDouble_GetUpdateLog(log.data(), static_cast<DWORD>(log.size()));
        for (DWORD i = 0; i < n && i < log.size(); ++i)
            if (strcmp(log[i].name, name) == 0) v.push_back(*reinterpret_cast<DWORD*>(log[i].value));
        return v;
    }
};

TEST_F(Notify, PortChangeClearsThePortStatusAndAMoveDropsTheBinding) {
    ASSERT_NE(BindManaged(L"Printer A"), nullptr);
    ctx->dwPortSeverity = 1;
    size_t writes = FakeSpoolSetPortLog().size();
    SrmDouble_SetPort(L"Printer A", 1, L"IP_BIND", L"");   // still here
    ASSERT_TRUE(WaitFor([&] { return FakeSpoolSetPortLog().size() > writes; }));
    auto log = FakeSpoolSetPortLog();
    EXPECT_EQ(log.back().status, 0u);
    EXPECT_EQ(log.back().severity, 0u);
    EXPECT_EQ(ctx->dwPortSeverity, 0u);
    ASSERT_TRUE(Sentinel());
    EXPECT_EQ(BindingCount(), 1);

    SrmDouble_SetPort(L"Printer A", 1, L"IP_ELSEWHERE", L"");
    ASSERT_TRUE(Unbound());
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u);
    EXPECT_EQ(SrmDouble_RegistrationCount(nullptr), 0u);
    EXPECT_EQ(SrmDouble_DroppedRegistrationCount(), 0u) << "the registration is killed before the manager closes";
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u);
}

TEST_F(Notify, RenameMovesTheDeletionEventToTheNewName) {
    ASSERT_NE(BindManaged(L"Printer A"), nullptr);
    SrmDouble_SetTextW(L"Printer A", "PrinterName", L"Renamed A");
    ASSERT_TRUE(WaitFor([&] { return BindingNames() == std::vector<std::wstring>{L"Renamed A"}; }));
    EXPECT_FALSE(SignalNamedEvent(L"VKLVJPPWD:DEL_PRN:Printer A")) << "nobody listens under the old name";
    EXPECT_EQ(FindBinding(L"Renamed A", ctx), ctx->pBindList);
    ASSERT_TRUE(SignalNamedEvent(L"VKLVJPPWD:DEL_PRN:Renamed A"));
    EXPECT_TRUE(Unbound());
}

TEST_F(Notify, ANameChangeBeforeTheThreadStartedIsNotMissed) {
    SrmDouble_SetTextW(L"Printer A", "PrinterName", L"Early");
    ASSERT_NE(BindManaged(L"Printer A"), nullptr);
    EXPECT_TRUE(WaitFor([&] { return BindingNames() == std::vector<std::wstring>{L"Early"}; }));
}

TEST_F(Notify, DeletionShutdownAndServiceRestartDropTheBinding) {
    // Printer deleted.
    ASSERT_NE(BindManaged(L"Printer A"), nullptr);
    ASSERT_TRUE(SignalNamedEvent(L"VKLVJPPWD:DEL_PRN:Printer A"));
    ASSERT_TRUE(Unbound());
    EXPECT_EQ(ctx->status & ST_MGR_TERMINATED, 0u);

    // Manager shutting down: the port opens no manager until cleared.
    ASSERT_NE(BindManaged(L"Printer A"), nullptr);
    SrmDouble_SetDword(L"Printer A", "TerminateManager", 1);
    ASSERT_TRUE(Unbound());
    EXPECT_TRUE(ctx->status & ST_MGR_TERMINATED);
    EXPECT_EQ(BindSRM(ctx, L"Printer A", TRUE), nullptr);
    ctx->status &= ~ST_MGR_TERMINATED;
    SrmDouble_SetDword(L"Printer A", "TerminateManager", 0);

    // The status service restarted: its manager is closed first.
    ASSERT_NE(BindManaged(L"Printer A"), nullptr);
    DWORD closes = SrmDouble_CallCount("CloseManager");
    HANDLE start = CreateEventW(nullptr, FALSE, FALSE, L"Global\\VKLVJPSDB:START_STATUS");
    ASSERT_NE(start, nullptr);
    SetEvent(start);
    ASSERT_TRUE(Unbound());
    EXPECT_EQ(SrmDouble_CallCount("CloseManager"), closes + 1);
    EXPECT_EQ(WaitForSingleObject(start, 0), WAIT_TIMEOUT) << "the event is consumed";
    CloseHandle(start);
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u);
}

TEST_F(Notify, JobEventChecksAPrinterInErrorOnlyBetweenDocuments) {
    SetPrinterExtStatus(ctx);
    ASSERT_NE(BindManaged(L"Printer A"), nullptr);
    FakeSpool_AddJob(L"Printer A", 0, 0, L"waiting", L"user", 1);
    const std::wstring jobEvent = L"Global\\PWDJOBEVENT:Printer A";

    ctx->status |= ST_IN_DOC;
    DWORD enums = FakeSpool_CallCount("EnumJobsW");
    ASSERT_TRUE(SignalNamedEvent(jobEvent));
    ASSERT_TRUE(Consumed(jobEvent));
    ASSERT_TRUE(Sentinel());
    EXPECT_EQ(FakeSpool_CallCount("EnumJobsW"), enums) << "a document is open: the event is only reset";
    ctx->status &= ~ST_IN_DOC;

    // No error: the jobs are looked at, nothing is started.
    ctx->dwPortSeverity = 0;
    ASSERT_TRUE(SignalNamedEvent(jobEvent));
    ASSERT_TRUE(WaitFor([&] { return FakeSpool_CallCount("EnumJobsW") >= enums + 2; }));
    ASSERT_TRUE(Sentinel());
    EXPECT_EQ(ctx->bWaitThreadStarted, 0u);

    // In error with a job waiting: the waiting-job thread runs until the job is gone.
    ctx->dwPortSeverity = 1;
    DWORD threads = ThreadCount();
    ASSERT_TRUE(SignalNamedEvent(jobEvent));
    ASSERT_TRUE(WaitFor([&] { return ctx->bWaitThreadStarted == 1 && (ctx->status & ST_THREAD_ALIVE); }));
    EXPECT_TRUE(WaitFor([&] { return PublishedWords("PrinterExtStatus").back() == 0x17; }));
    FakeSpool_RemoveJob(L"Printer A", 1);
    ASSERT_TRUE(WaitFor([&] { return ctx->bWaitThreadStarted == 0 && !(ctx->status & ST_THREAD_ALIVE); }, 10000));
    EXPECT_EQ(ctx->status & (ST_THREAD_ALIVE | ST_THREAD_RUN), 0u);
    EXPECT_EQ(PublishedWords("PrinterExtStatus").back(), 0x7u);
    EXPECT_EQ(WaitForSingleObject(ctx->hRefreshDoneEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(StopPortWorker(ctx, kThreadStopTimeoutMs)) << "the port reaps the ended worker";
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads; }));
    EXPECT_EQ(BindingCount(), 1) << "the binding stays";
}

TEST_F(Notify, AFailingReadEndsTheThreadButKeepsTheBinding) {
    SrmBinding* b = BindManaged(L"Printer A");
    ASSERT_NE(b, nullptr);
    SrmDouble_FailNext("GetPrinterStatusA", 1, -5);
    SrmDouble_SetPort(L"Printer A", 1, L"IP_ELSEWHERE", L"");
    ASSERT_TRUE(WaitFor([&] { return ctx->cNotifyThreads == 0; }));
    EXPECT_EQ(ctx->pBindList, b);
    EXPECT_NE(b->hManager, 0u);
    EXPECT_EQ(SrmDouble_RegistrationCount(nullptr), 0u);
    // It still receives values.
    StatusVariable* row = FindStatusVariable("ErrStackFull", ctx->pVarTable, ctx, TRUE);
    *static_cast<DWORD*>(row->pValue) = 3;
    row->bChanged = 1;
    EXPECT_EQ(UpdateSRM_All(ctx), 1u);
    EXPECT_EQ(PublishedWords("ErrStackFull").back(), 3u);
}

// A change of PrinterExtStatus lifts a manager shutdown mark and nothing
// else: no read, and no query reaches the port monitor beneath.
TEST_F(Notify, ExtStatusEventOnlyLiftsTheShutdownMarkAndUnbindingEndsTheThread) {
    memcpy(&ctx->fn, PmDouble_Table(), kMonitor2Size);
    PmDouble_Reset();
    SrmBinding* b = BindManaged(L"Printer A");
    ASSERT_NE(b, nullptr);
    DWORD reads = SrmDouble_CallCount("GetPrinterStatusA");
    ASSERT_TRUE(Sentinel()) << "the notice lifts the shutdown mark";
    EXPECT_EQ(ctx->cNotifyThreads, 1);
    EXPECT_EQ(SrmDouble_CallCount("GetPrinterStatusA"), reads);
    EXPECT_EQ(PmDouble_CallCount(PM_GETDATA), 0u);
    LockPort(ctx);
    EXPECT_TRUE(UnbindSRM(b, ctx));
    UnlockPort(ctx);
    EXPECT_TRUE(WaitFor([&] { return ctx->cNotifyThreads == 0; }));
}

}  // namespace
