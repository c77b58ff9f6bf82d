// The notification thread of a managed binding, driven by the manager
// double and the suite's named events, and its end at ClosePort.
#include "bind_fixture.h"
#include "publish/waitjob.h"
#include "publish/worker.h"
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
    Sleep(100);
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
    Sleep(300);
    EXPECT_EQ(FakeSpool_CallCount("EnumJobsW"), enums) << "a document is open: the event is only reset";
    ctx->status &= ~ST_IN_DOC;

    // No error: the jobs are looked at, nothing is started.
    ctx->dwPortSeverity = 0;
    ASSERT_TRUE(SignalNamedEvent(jobEvent));
    ASSERT_TRUE(WaitFor([&] { return FakeSpool_CallCount("EnumJobsW") >= enums + 2; }));
    Sleep(200);
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

TEST_F(Notify, ExtStatusEventKeepsTheThreadAndUnbindingEndsIt) {
    SrmBinding* b = BindManaged(L"Printer A");
    ASSERT_NE(b, nullptr);
    DWORD reads = SrmDouble_CallCount("GetPrinterStatusA");
    EXPECT_EQ(SrmDouble_Notify(L"Printer A", "PrinterExtStatus"), 1u);
    Sleep(200);
    EXPECT_EQ(ctx->cNotifyThreads, 1);
    EXPECT_EQ(SrmDouble_CallCount("GetPrinterStatusA"), reads);
    LockPort(ctx);
    EXPECT_TRUE(UnbindSRM(b, ctx));
    UnlockPort(ctx);
    EXPECT_TRUE(WaitFor([&] { return ctx->cNotifyThreads == 0; }));
}

// ClosePort, through the linked code over the port monitor double.
TEST(NotifyClose, ClosePortEndsEveryNotificationAndWorkerThread) {
    EnsureMonitorProcess();
    FakeSpool_Reset();
    SrmDouble_Reset();
    PmDouble_Reset();
    dwOSMajor = 6;   // port kinds as on the supported systems
    dwOSMinor = 1;
    TestRegKey model(kModelKey);
    FakeSpool_AddPort(kPort, L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    FakeSpool_AddDriver(kDriver, kMonitorName);
    FakeSpool_AddPrinter(L"Printer A", kDriver, kPort, PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
    FakeSpool_AddPrinter(L"Printer B", kDriver, kPort, PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
    TestPrinterKey keyA("Printer A", "VEK Tessaroline 7700 (LV)");
    TestPrinterKey keyB("Printer B", "VEK Tessaroline 7700 (LV)");
    FakeSpool_AddJob(L"Printer A", 0, 0, L"waiting", L"user", 1);

    DWORD threads = ThreadCount();
    HANDLE h = nullptr;
    ASSERT_TRUE(PJLMonOpenPortEx(nullptr, reinterpret_cast<HANDLE>(1), const_cast<LPWSTR>(kPort),
                                 const_cast<LPWSTR>(L"Printer A"), &h, PmDouble_Table()));
    auto* ctx = static_cast<PortContext*>(h);
    ASSERT_EQ(ctx->dwPortStatus & 0x100, 0x100u);
    ASSERT_TRUE(RefreshSRMBindings(ctx));
    ASSERT_TRUE(SrmDouble_WaitForCalls("SetNotificationEventExA", 2, 5000));
    ASSERT_TRUE(StartWaitingJobThread(ctx));
    ctx->bWaitThreadStarted = 1;
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads + 3; }));

    ASSERT_TRUE(PJLMonClosePort(h));
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threads; })) << ThreadCount() << " vs " << threads;
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u);
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u);
    EXPECT_EQ(SrmDouble_RegistrationCount(nullptr), 0u);
    DWORD status = 9, severity = 9;
    FakeSpool_GetPortStatus(kPort, &status, &severity, nullptr, 0);
    EXPECT_EQ(status, 0u);
}

}  // namespace
