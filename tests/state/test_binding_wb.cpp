// Manager bindings: which printers of a port are bound, with or without a
// manager, and when a manager is refused.
#include "bind_fixture.h"
#include "state/jobrelease.h"
#include "state/config.h"
#include "status/devcheck.h"

namespace {

using Binding = BindFixture;

TEST_F(Binding, PrintersSharingThePortGetOneBindingEach) {
    AddPrinter(L"Printer A");
    AddPrinter(L"Printer B", kDriver, kPort, 0);          // no bidirectional support: suppressed
    AddPrinter(L"Printer C", kDriver, L"IP_ELSEWHERE");    // another port
    AddPrinter(L"Other Model", kOtherDriver);              // another model
    AddPrinter(L"\\\\server\\queue");                      // a printer of another computer
    FakeSpool_AddDriver(L"Plain Driver", L"Some Other Monitor");
    AddPrinter(L"Printer D", L"Plain Driver");            // another language monitor
    Open();

    ASSERT_TRUE(RefreshSRMBindings(ctx));
    EXPECT_EQ(BindingNames(), (std::vector<std::wstring>{L"Printer A", L"Printer B"}));
    SrmBinding* a = ctx->pBindList;
    SrmBinding* b = a->pNext;
    EXPECT_NE(a->hManager, 0u);
    EXPECT_NE(b->hManager, 0u);
    EXPECT_NE(a->hPrinter, nullptr);
    EXPECT_EQ(WaitForSingleObject(a->hPrinterReady, 0), WAIT_OBJECT_0);
    EXPECT_EQ(a->dwFlags & (BF_SUPPRESSED | BF_SEEN), 0u);
    EXPECT_EQ(b->dwFlags & (BF_SUPPRESSED | BF_SEEN), BF_SUPPRESSED);
    EXPECT_EQ(a->qwModelMask[0], 0x10000000u);
    EXPECT_EQ(a->qwModelMask[1], 0x4u);
    EXPECT_TRUE(SrmDouble_WaitForCalls("SetNotificationEventExA", 2, 5000));
    EXPECT_TRUE(WaitFor([&] { return ctx->cNotifyThreads == 2; }));

    SrmDoubleOpenRecord opens[4];
    ASSERT_EQ(SrmDouble_GetOpenLog(opens, 4), 2u) << "no manager opened for the others";
    EXPECT_STREQ(opens[0].device, L"\\\\.\\vjlmon");
    EXPECT_EQ(opens[0].flags, 1u);

    // A second refresh keeps what it has.
    ASSERT_TRUE(RefreshSRMBindings(ctx));
    EXPECT_EQ(ctx->pBindList, a);
    EXPECT_EQ(a->pNext, b);
    EXPECT_EQ(SrmDouble_CallCount("OpenManagerExW"), 2u);

    // A printer that left the port loses its binding, manager and thread.
    FakeSpool_SetPrinterPort(L"Printer B", L"IP_ELSEWHERE");
    ASSERT_TRUE(RefreshSRMBindings(ctx));
    EXPECT_EQ(BindingNames(), (std::vector<std::wstring>{L"Printer A"}));
    EXPECT_EQ(SrmDouble_OpenHandleCount(L"Printer B"), 0u);
    EXPECT_TRUE(WaitFor([&] { return ctx->cNotifyThreads == 1; }));

    // The port's printer name follows the bindings when its own is gone.
    MemFree(ctx->pszPrinterName);
    ctx->pszPrinterName = StrDupW(L"Printer Gone");
    ASSERT_TRUE(RefreshSRMBindings(ctx));
    EXPECT_STREQ(ctx->pszPrinterName, L"Printer A");
}

TEST_F(Binding, APassOpensOnlyThePrintersOnThePort) {
    AddPrinter(L"Printer A");
    AddPrinter(L"Printer B");
    for (int i = 0; i < 40; ++i) AddPrinter((L"Elsewhere " + std::to_wstring(i)).c_str(), kDriver, L"IP_ELSEWHERE");
    Open();
    DWORD before = FakeSpool_CallCount("OpenPrinterW");
    ASSERT_TRUE(RefreshSRMBindings(ctx));
    EXPECT_EQ(BindingNames(), (std::vector<std::wstring>{L"Printer A", L"Printer B"}));
    // Its own printer and the one beside it; the binding of each opens it once more.
    EXPECT_LE(FakeSpool_CallCount("OpenPrinterW") - before, 6u);

    // A printer that moved onto the port is found on the next pass.
    FakeSpool_SetPrinterPort(L"Elsewhere 7", kPort);
    ASSERT_TRUE(RefreshSRMBindings(ctx));
    EXPECT_EQ(BindingNames(), (std::vector<std::wstring>{L"Printer A", L"Printer B", L"Elsewhere 7"}));
}

TEST_F(Binding, ModelDecidesBindingAndManager) {
    AddPrinter(L"Printer A");
    AddPrinter(L"Other Model", kOtherDriver);
    Open();
    EXPECT_EQ(BindSRM(ctx, L"Other Model", TRUE), nullptr) << "not the served model: no binding at all";
    EXPECT_EQ(BindSRM(ctx, L"Unknown", TRUE), nullptr);
    EXPECT_EQ(SrmDouble_CallCount("OpenManagerExW"), 0u);

    // Without "Status Variables" for the model: a binding that only serves
    // its printer handle.
    model_.reset();
    SrmBinding* b = BindSRM(ctx, L"Printer A", TRUE);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->hManager, 0u);
    EXPECT_EQ(b->hSrmLib, nullptr);
    EXPECT_NE(b->hPrinter, nullptr);
    EXPECT_EQ(WaitForSingleObject(b->hPrinterReady, 0), WAIT_OBJECT_0);
    EXPECT_EQ(FindBinding(L"Printer A", ctx), b);
    EXPECT_EQ(ctx->cNotifyThreads, 0);

    // Once the model is registered, BindSRM_All opens the manager and
    // hands it the bind values.
    model_.reset(new TestRegKey(kModelKey));
    ASSERT_TRUE(BindSRM_All(ctx));
    EXPECT_NE(b->hManager, 0u);
    EXPECT_TRUE(SrmDouble_WaitForCalls("SetNotificationEventExA", 1, 5000));
    DWORD value = 0;
    EXPECT_TRUE(SrmDouble_GetValue(L"Printer A", "ErrPaperJam", &value, 4, nullptr)) << "published at bind";
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_TRUE(SrmDouble_GetValue(L"Printer A", "IconState", &value, 4, nullptr));
    EXPECT_EQ(value, 0xFFFFFFFFu) << "unknown printer: configuration defaults first";
    EXPECT_EQ(b->pfnSetNotificationCallbackExA, nullptr) << "BindSRM_All resolves ten entry points";
}

TEST_F(Binding, IsStatusPrinterMatchesTheModelKeyWithOrWithoutTheMakerPrefix) {
    AddPrinter(L"Printer A");
    FakeSpool_AddDriver(L"Tessaroline 7700 (LV)", kMonitorName);
    AddPrinter(L"Bare", L"Tessaroline 7700 (LV)");
    FakeSpool_AddDriver(L"VEK Tessaroline 7700 (LV) X", kMonitorName);
    AddPrinter(L"Longer", L"VEK Tessaroline 7700 (LV) X");
    EXPECT_TRUE(IsStatusPrinter(L"Printer A"));
    EXPECT_TRUE(IsStatusPrinter(L"Bare"));
    EXPECT_FALSE(IsStatusPrinter(L"Longer"));
    EXPECT_FALSE(IsStatusPrinter(L"Missing"));
    StatusModel* models = nullptr;
    ASSERT_TRUE(EnumStatusModels(&models));
    ASSERT_NE(models, nullptr);
    EXPECT_STREQ(models->pszModel, L"Tessaroline 7700 (LV)");
    FreeStatusModels(models);
    model_.reset();
    EXPECT_FALSE(IsStatusPrinter(L"Printer A"));

    SrmBinding probe = {};
    EXPECT_TRUE(GetPrinterModelMask(L"Printer A", &probe));
    EXPECT_FALSE(GetPrinterModelMask(L"Bare", &probe)) << "the registry must name the full model";
}

TEST_F(Binding, ManagerPortAndShutdownDecideAcceptance) {
    AddPrinter(L"Printer A");
    Open();
    struct Case {
        DWORD word;
        const wchar_t* port;
        const wchar_t* other;
        bool accepted;
    } cases[] = {
        {1, L"IP_ELSEWHERE", L"", false},
        {1, L"ip_bind", L"", true},              // any case
        {1, L"IP_BIND_2", L"", true},            // begins with the port's name
        {1, L"IP_BIND", L"IP_ELSEWHERE", false}, // moving away
        {0, L"IP_ELSEWHERE", L"", true},         // not tied to a port
    };
    for (const Case& c : cases) {
        SrmDouble_SetPort(L"Printer A", c.word, c.port, c.other);
        SrmBinding* b = BindManaged(L"Printer A");
        EXPECT_EQ(b != nullptr, c.accepted) << Narrow(c.port) << " " << Narrow(c.other);
        if (b) {
            LockPort(ctx);
            UnbindSRM(b, ctx);
            UnlockPort(ctx);
        }
        EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u) << "refused or dropped: manager closed";
    }
    EXPECT_TRUE(WaitFor([&] { return ctx->cNotifyThreads == 0; }));

    // A manager shutting down refuses, and none is opened while that holds.
    SrmDouble_SetPort(L"Printer A", 0, L"", L"");
    SrmDouble_SetDword(L"Printer A", "TerminateManager", 1);
    DWORD opens = SrmDouble_CallCount("OpenManagerExW");
    EXPECT_EQ(BindSRM(ctx, L"Printer A", TRUE), nullptr);
    EXPECT_TRUE(ctx->status & ST_MGR_TERMINATED);
    EXPECT_EQ(BindSRM(ctx, L"Printer A", TRUE), nullptr);
    EXPECT_EQ(SrmDouble_CallCount("OpenManagerExW"), opens + 1);
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u);
}

TEST_F(Binding, BindAllDropsABindingItsManagerRefuses) {
    AddPrinter(L"Printer A");
    AddPrinter(L"Printer B");
    Open();
    SrmDouble_SetOpenFailure(nullptr, TRUE, SRMDOUBLE_E_REFUSED);
    ASSERT_NE(BindSRM(ctx, L"Printer A", TRUE), nullptr);
    ASSERT_NE(BindSRM(ctx, L"Printer B", TRUE), nullptr);
    EXPECT_EQ(ctx->pBindList->hManager, 0u);
    EXPECT_NE(ctx->pBindList->hSrmLib, nullptr) << "the library stays for a later try";

    SrmDouble_SetOpenFailure(nullptr, FALSE, 0);
    SrmDouble_SetPort(L"Printer A", 1, L"IP_ELSEWHERE", L"");
    ASSERT_TRUE(BindSRM_All(ctx));
    EXPECT_EQ(BindingNames(), (std::vector<std::wstring>{L"Printer B"}));
    EXPECT_NE(ctx->pBindList->hManager, 0u);
    EXPECT_EQ(SrmDouble_OpenHandleCount(L"Printer A"), 0u);

    ctx->dwPortStatus |= 0x40;   // a network share is never bound
    EXPECT_FALSE(BindSRM_All(ctx));
    EXPECT_EQ(BindSRM(ctx, L"Printer A", TRUE), nullptr);
    ctx->dwPortStatus &= ~0x40u;
}

TEST_F(Binding, UnbindClearsEverythingThatPointsAtTheBindingButItsQueuedJobs) {
    AddPrinter(L"Printer A");
    AddPrinter(L"Printer B");
    Open();
    SrmBinding* a = BindManaged(L"Printer A");
    SrmBinding* b = BindManaged(L"Printer B");
    ASSERT_TRUE(a && b);
    DWORD job = FakeSpool_AddJob(L"Printer A", 0, 0, L"queued", L"user", 1);
    ctx->pCurBind = a;
    ASSERT_NE(InJobQueue(job, ctx), nullptr);
    DWORD closes = SrmDouble_CallCount("CloseManager");
    ASSERT_TRUE(UnbindSRM(a, ctx));
    EXPECT_FALSE(UnbindSRM(a, ctx)) << "no longer in the list";
    EXPECT_EQ(ctx->pCurBind, nullptr);
    EXPECT_EQ(ctx->pBindList, b);
    EXPECT_EQ(SrmDouble_CallCount("CloseManager"), closes + 1);
    EXPECT_TRUE(WaitFor([&] { return ctx->cNotifyThreads == 1; })) << "its notification thread ended";

    // The queued job still owes the spooler its release, through the
    // dropped binding's printer, exactly once.
    EXPECT_EQ(FakeSpool_OpenHandleCount(L"Printer A"), 1u);
    DeleteJob(ctx, TRUE);
    EXPECT_EQ(FakeSpoolEjectedJobs(), std::vector<DWORD>{job});
    EXPECT_EQ(FakeSpool_JobCount(L"Printer A"), 0u);
    EXPECT_EQ(FakeSpool_OpenHandleCount(L"Printer A"), 0u) << "the dropped binding goes with its last job";
}

// The poll finding the served model changes what the managers may be told:
// the bindings are refreshed, and every binding that was already there is
// sent its bind values again, now for the model.
TEST_F(Binding, AModelChangeRepublishesTheBindValuesToEveryExistingBinding) {
    AddPrinter(L"Printer A");
    AddPrinter(L"Printer B", kDriver, kPort, 0);   // suppressed, yet bind values reach it
    Open();
    StatusVariable* ps = FindStatusVariable("PrinterStatus", ctx->pVarTable, ctx, TRUE);
    ASSERT_TRUE(ps && ps->pValue);
    static_cast<DWORD*>(ps->pValue)[1] = 0x10;   // a state only the model itself knows
    ASSERT_TRUE(RefreshSRMBindings(ctx));
    ASSERT_EQ(BindingNames(), (std::vector<std::wstring>{L"Printer A", L"Printer B"}));
    ASSERT_TRUE(SrmDouble_WaitForCalls("SetNotificationEventExA", 2, 5000));
    LockPort(ctx);
    UnlockPort(ctx);
    // The M word each printer's manager was last sent as PrinterStatus, and how often.
    auto sent = [](const wchar_t* printer, DWORD* count) {
        std::vector<SrmDoubleUpdateRecord> log(SrmDouble_GetUpdateLog(nullptr, 0));
        log.resize(SrmDouble_GetUpdateLog(log.data(), static_cast<DWORD>(log.size())));
        DWORD m = 0;
        *count = 0;
        for (const auto& r : log)
            if (std::string(r.name) == "PrinterStatus" && std::wstring(r.printer) == printer && r.cbValue >= 12) {
                m = reinterpret_cast<const DWORD*>(r.value)[1];
                ++*count;
            }
        return m;
    };
    SrmDouble_ClearLogs();

    const SupportedModel& model = kSupportedModels[0];
    std::string text(model.pszFullName, model.cchFullName);
    ASSERT_TRUE(CheckSupportedModel(ctx, text.c_str()));
    DWORD count = 0;
    EXPECT_EQ(sent(L"Printer A", &count), 0x10u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(sent(L"Printer B", &count), 0x10u);
    EXPECT_EQ(count, 1u);

    SrmDouble_ClearLogs();
    ASSERT_TRUE(CheckSupportedModel(ctx, text.c_str()));
    sent(L"Printer A", &count);
    EXPECT_EQ(count, 0u) << "the same model again changes nothing";
    EXPECT_FALSE(CheckSupportedModel(ctx, "Some Other Printer"));
    EXPECT_EQ(sent(L"Printer A", &count), 0x200u) << "another model: the neutral state";
    EXPECT_EQ(count, 1u);
}

}  // namespace
