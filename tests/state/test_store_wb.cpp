// The status variable store: publication kinds, model masks, sizes, fixed
// states, configuration defaults and the spooler port status mirror. The
// managers here are test functions on hand-made bindings.
#include "state/jobqueue.h"
#include "state/binding.h"
#include "state/statusvar.h"
#include "state/config.h"
#include "support/whitebox.h"
#include "fakespool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Sent {
    SRMHANDLE h;
    std::string name;
    std::vector<BYTE> value;
};
std::vector<Sent> g_sent;
std::map<SRMHANDLE, LONG> g_result;   // what UpdatePrinterStatusA answers per manager
DWORD g_managerJobStatus = 0;

LONG WINAPI FakeUpdate(SRMHANDLE h, LPCSTR name, const void* value, DWORD cb) {
    const BYTE* p = static_cast<const BYTE*>(value);
    g_sent.push_back({h, name, std::vector<BYTE>(p, p + cb)});
    return g_result[h];
}

LONG WINAPI FakeGetA(SRMHANDLE h, LPCSTR name, void* buf, DWORD cb, DWORD* needed) {
    if (strcmp(name, "JobStatus") != 0 || cb < 4) return -2;
    memcpy(buf, &g_managerJobStatus, 4);
    return 0;
}

const DWORD kServed[2] = {kSupportedMaskLow, kSupportedMaskHigh};
const DWORD kOther[2] = {0x1, 0};

std::vector<DWORD> Words(const Sent& s) {
    std::vector<DWORD> w(s.value.size() / 4);
    memcpy(w.data(), s.value.data(), w.size() * 4);
    return w;
}

std::vector<std::pair<SRMHANDLE, std::string>> Order() {
    std::vector<std::pair<SRMHANDLE, std::string>> v;
    for (auto& s : g_sent) v.push_back({s.h, s.name});
    return v;
}

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        FakeSpool_Reset();
        g_sent.clear();
        g_result.clear();
        g_managerJobStatus = 0;
        ctx = NewContext(L"IP_STORE", L"Store Printer");
        ASSERT_NE(ctx, nullptr);
        ctx->dwPortStatus = 0x105;
        for (StatusVariable* r = ctx->pVarTable; r->pszName; ++r) r->bChanged = 0;
        FakeSpool_AddPort(L"IP_STORE", L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    }
    void DropValues() {
        for (StatusVariable* r = ctx->pVarTable; r->pszName; ++r) {
            MemFree(r->pValue);
            r->pValue = nullptr;
            r->bChanged = 0;
        }
    }
    void TearDown() override {
        // Hand-made bindings and queue entries are ours to free.
        while (JobQueueEntry* e = ctx->pJobQueueHead) {
            ctx->pJobQueueHead = e->pNext;
            MemFree(e);
        }
        ctx->pJobQueueTail = nullptr;
        while (SrmBinding* b = ctx->pBindList) {
            ctx->pBindList = b->pNext;
            MemFree(b);
        }
        ctx->pCurBind = nullptr;
        FreeContext(ctx);
    }
    // Appends a binding; h 0 makes one without manager.
    SrmBinding* Bind(SRMHANDLE h, const DWORD mask[2] = kServed, DWORD flags = 0) {
        auto* b = static_cast<SrmBinding*>(MemAlloc(sizeof(SrmBinding)));
        b->hManager = h;
        b->hPrinter = reinterpret_cast<HANDLE>(0x1000 + h);
        b->pfnUpdatePrinterStatusA = FakeUpdate;
        b->pfnGetPrinterStatusA = FakeGetA;
        b->qwModelMask[0] = mask[0];
        b->qwModelMask[1] = mask[1];
        b->dwFlags = flags;
        SrmBinding** link = &ctx->pBindList;
        while (*link) link = &(*link)->pNext;
        *link = b;
        return b;
    }
    void Queue(DWORD jobId, SrmBinding* b) {
        auto* e = static_cast<JobQueueEntry*>(MemAlloc(sizeof(JobQueueEntry)));
        e->dwJobId = jobId;
        e->pBind = b;
        if (ctx->pJobQueueTail)
            ctx->pJobQueueTail->pNext = e;
        else
            ctx->pJobQueueHead = e;
        ctx->pJobQueueTail = e;
    }
    StatusVariable* Set(const char* name, std::vector<DWORD> words) {
        StatusVariable* row = LookupStatusVariable(name, ctx->pVarTable, ctx);
        MemFree(row->pValue);
        row->pValue = MemAlloc(words.size() * 4);
        memcpy(row->pValue, words.data(), words.size() * 4);
        row->bChanged = 1;
        return row;
    }
    StatusVariable* Row(const char* name) { return LookupStatusVariable(name, ctx->pVarTable, ctx); }
    void UseServedModel() {
        ctx->qwStatusMask[0] = kServed[0];
        ctx->qwStatusMask[1] = kServed[1];
    }
    PortContext* ctx = nullptr;
};

TEST_F(Store, EachKindReachesItsBindingsInTableAndListOrder) {
    UseServedModel();
    SrmBinding* b1 = Bind(1);
    SrmBinding* b2 = Bind(2);
    ctx->pCurBind = b2;
    Queue(10, b1);
    Queue(11, b1);
    Queue(12, b2);
    Set("PrinterQueue", {3});                                   // kind 5
    Set("JobStatus", {0x1});                                    // kind 6
    Set("ErrPaperJam", {7});                                    // kind 1
    Set("PrinterBinConfig", {3, 1, 2, 3, 4, 5, 6, 7, 8, 9});    // var/12, count 3
    Set("PrinterOptConfig", {2, 0x10001, 0, 0x13891389, 0});    // kind 9, var/8, count 2

    EXPECT_EQ(UpdateSRM_All(ctx), 5u);
    using P = std::pair<SRMHANDLE, std::string>;
    EXPECT_EQ(Order(), (std::vector<P>{{1, "PrinterQueue"}, {2, "PrinterQueue"}, {2, "JobStatus"},
                                       {1, "ErrPaperJam"}, {2, "ErrPaperJam"}, {1, "PrinterBinConfig"},
                                       {2, "PrinterBinConfig"}, {1, "PrinterOptConfig"}, {2, "PrinterOptConfig"}}));
    EXPECT_EQ(g_sent[5].value.size(), 40u) << "count 3 of 12-byte entries plus the count";
    EXPECT_EQ(g_sent[7].value.size(), 20u);
    EXPECT_EQ(b1->dwFlags & BF_SENT, 0u);
    EXPECT_EQ(b2->dwFlags & BF_SENT, 0u);
    // Rows without VF_KEEP_VALUE give their value up once published.
    EXPECT_EQ(Row("PrinterQueue")->pValue, nullptr);
    EXPECT_NE(Row("ErrPaperJam")->pValue, nullptr);
    for (StatusVariable* r = ctx->pVarTable; r->pszName; ++r) EXPECT_EQ(r->bChanged, 0u) << r->pszName;

    g_sent.clear();
    EXPECT_EQ(UpdateSRM_All(ctx), 0u) << "nothing changed, nothing sent";
    EXPECT_TRUE(g_sent.empty());
}

TEST_F(Store, QueueCountSkipsUnmanagedAndSuppressedAndNeedsABindingPerJob) {
    SrmBinding* none = Bind(0);
    SrmBinding* quiet = Bind(2, kServed, BF_SUPPRESSED);
    Queue(1, none);
    Queue(2, quiet);
    Set("PrinterQueue", {2});
    EXPECT_EQ(UpdateSRM_All(ctx), 1u) << "every job had a binding";
    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ(quiet->dwFlags & BF_SENT, 0u);

    Queue(3, nullptr);
    Set("PrinterQueue", {3});
    EXPECT_EQ(UpdateSRM_All(ctx), 0u);
    EXPECT_EQ(Row("PrinterQueue")->bChanged, 1u);
}

TEST_F(Store, StatusOfAnotherModelIsNeutralUnlessEveryModelSharesIt) {
    UseServedModel();
    Bind(1);
    Bind(2, kOther);
    Set("PrinterStatus", {0, 0, 0x10000});
    EXPECT_EQ(UpdateSRM_All(ctx), 1u);
    ASSERT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(Words(g_sent[0]), (std::vector<DWORD>{0, 0, 0x10000}));
    EXPECT_EQ(Words(g_sent[1]), (std::vector<DWORD>{0, 0x200, 0}));

    for (DWORD m : {0x1000u, 0x400u}) {   // port closed, not a network port
        g_sent.clear();
        Set("PrinterStatus", {0, m, 0});
        UpdateSRM_All(ctx);
        ASSERT_EQ(g_sent.size(), 2u);
        EXPECT_EQ(Words(g_sent[1]), (std::vector<DWORD>{0, m, 0})) << m;
    }
}

TEST_F(Store, ModelRowsGoOnlyToTheRecognisedModel) {
    Bind(1);
    Bind(2, kOther);
    Set("EmulationInfo", {1, 0});
    EXPECT_EQ(UpdateSRM_All(ctx), 1u) << "no recognised model: nothing sent, yet done";
    EXPECT_TRUE(g_sent.empty());
    EXPECT_EQ(Row("EmulationInfo")->bChanged, 0u);

    UseServedModel();
    Set("EmulationInfo", {1, 0});
    EXPECT_EQ(UpdateSRM_All(ctx), 1u);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].h, 1u);
    EXPECT_EQ(g_sent[0].value.size(), 8u);
}

TEST_F(Store, UndeliveredRowsStayChanged) {
    UseServedModel();
    Bind(0);   // no manager at the head of the list
    Bind(2);
    Set("ErrCoverOpen", {1});
    Set("PrinterOptConfig", {0});
    EXPECT_EQ(UpdateSRM_All(ctx), 0u);
    EXPECT_TRUE(g_sent.empty()) << "the walk stops before the managed binding";
    EXPECT_EQ(Row("ErrCoverOpen")->bChanged, 1u);

    // A manager that refuses a value gets it again with the next publication.
    ctx->pBindList->hManager = 1;
    g_result[2] = -5;
    EXPECT_EQ(UpdateSRM_All(ctx), 0u);
    EXPECT_EQ(g_sent.size(), 4u);
    g_result[2] = 0;
    g_sent.clear();
    EXPECT_EQ(UpdateSRM_All(ctx), 2u);
    EXPECT_EQ(g_sent.size(), 4u);

    // Suppressed bindings are passed over; the row is done.
    ctx->pBindList->dwFlags |= BF_SUPPRESSED;
    g_sent.clear();
    Set("ErrCoverOpen", {2});
    EXPECT_EQ(UpdateSRM_All(ctx), 1u);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].h, 2u);
}

TEST_F(Store, CurrentDocumentAndNamesServedByTheManager) {
    SrmBinding* b1 = Bind(1);
    Set("JobStatus", {1});
    EXPECT_EQ(UpdateSRM_All(ctx), 0u) << "no current binding";
    ctx->pCurBind = b1;
    b1->dwFlags = BF_SUPPRESSED;
    EXPECT_EQ(UpdateSRM_All(ctx), 1u) << "suppressed counts as done";
    EXPECT_TRUE(g_sent.empty());

    // PrinterName and Port have size 0: never published, even with a value.
    StatusVariable* name = FindStatusVariable("PrinterName", ctx->pVarTable, ctx, TRUE);
    ASSERT_NE(name, nullptr);
    name->bChanged = 1;
    EXPECT_EQ(UpdateSRM_All(ctx), 0u);
    EXPECT_EQ(name->bChanged, 1u);

    StatusVariable* table = ctx->pVarTable;
    ctx->pVarTable = nullptr;
    EXPECT_EQ(UpdateSRM_All(ctx), 0xFFFFFFFFu);
    EXPECT_EQ(PublishAtBind(ctx, b1), 0xFFFFFFFFu);
    ctx->pVarTable = table;
}

TEST_F(Store, JobRowsGoToTheBindingOfTheirJob) {
    SrmBinding* b1 = Bind(1);
    SrmBinding* b2 = Bind(2);
    Queue(7, b1);
    Queue(8, b2);
    std::vector<DWORD> info(292 / 4, 0);
    info[288 / 4] = 8;
    Set("SendingJobInfo", info);
    EXPECT_EQ(UpdateSRM_All(ctx), 1u);
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(g_sent[0].h, 2u);
    EXPECT_EQ(g_sent[0].value.size(), 292u);

    info[288 / 4] = 99;   // not queued
    Set("SendingJobInfo", info);
    EXPECT_EQ(UpdateSRM_All(ctx), 0u);
    EXPECT_EQ(Row("SendingJobInfo")->bChanged, 1u);
}

TEST_F(Store, PublishAtBindSendsTheBindRowsToTheNewBindingOnly) {
    Bind(1);
    SrmBinding* other = Bind(2, kOther);
    DropValues();
    Set("PrinterStatus", {0, 0x10, 0});   // a state only the model itself knows
    Set("IconState", {1});
    Set("EmulationInfo", {1, 0});
    Set("PrinterQueue", {1});             // not a bind row
    EXPECT_EQ(PublishAtBind(ctx, other), 2u);
    ASSERT_EQ(g_sent.size(), 2u);
    EXPECT_EQ(g_sent[0].name, "PrinterStatus");
    EXPECT_EQ(Words(g_sent[0]), (std::vector<DWORD>{0, 0x200, 0}));
    EXPECT_EQ(g_sent[1].name, "IconState");
    EXPECT_EQ(Row("IconState")->bChanged, 1u) << "bind publication leaves the marks alone";

    g_sent.clear();
    Set("PrinterStatus", {0, 0x400, 0});
    g_result[2] = -1;
    EXPECT_EQ(PublishAtBind(ctx, other), 0u) << "only accepted values count";
    EXPECT_EQ(Words(g_sent[0]), (std::vector<DWORD>{0, 0x400, 0}));
}

TEST_F(Store, FixedStates) {
    ctx->dwPortStatus = 0x105;
    ASSERT_TRUE(ResetPrinterStatus(ctx, FALSE));
    EXPECT_EQ(static_cast<DWORD*>(Row("PrinterStatus")->pValue)[1], 0x800u);
    EXPECT_EQ(Row("PrinterStatus")->bChanged, 0u);
    ctx->dwPortStatus = 0x3;
    ResetPrinterStatus(ctx, FALSE);
    EXPECT_EQ(static_cast<DWORD*>(Row("PrinterStatus")->pValue)[1], 0x400u);

    // Error variables whose condition still holds keep their value.
    Set("ErrPaperJam", {5});
    Set("ErrSupplies", {1, 2, 3});
    Set("ErrHWError", {9});
    Set("PrinterStatus", {0, 0x4, 0x10000});
    for (StatusVariable* r = ctx->pVarTable; r->pszName; ++r) r->bChanged = 0;
    ASSERT_TRUE(ResetErrVariables(ctx, FALSE));
    EXPECT_EQ(*static_cast<DWORD*>(Row("ErrPaperJam")->pValue), 5u);
    EXPECT_EQ(static_cast<DWORD*>(Row("ErrSupplies")->pValue)[0], 1u);
    EXPECT_EQ(*static_cast<DWORD*>(Row("ErrHWError")->pValue), 0xFFFFFFFFu);
    EXPECT_EQ(Row("ErrHWError")->bChanged, 0u) << "written but not marked without publish";
    Set("PrinterStatus", {0, 0, 0});
    ResetErrVariables(ctx, TRUE);
    EXPECT_EQ((Words({0, "", std::vector<BYTE>(static_cast<BYTE*>(Row("ErrSupplies")->pValue),
                                               static_cast<BYTE*>(Row("ErrSupplies")->pValue) + 12)})),
              (std::vector<DWORD>{2, 0xFFFFFFFF, 0xFFFFFFFF}));
    EXPECT_EQ(Row("ErrPaperJam")->bChanged, 0u) << "published (no bindings: done)";

    ResetJobStatus(ctx);
    EXPECT_EQ(*static_cast<DWORD*>(Row("JobStatus")->pValue), 0u);

    StatusVariable* table = ctx->pVarTable;
    ctx->pVarTable = nullptr;
    EXPECT_FALSE(ResetPrinterStatus(ctx, TRUE));
    EXPECT_FALSE(ResetErrVariables(ctx, TRUE));
    EXPECT_FALSE(ResetConfigVariables(ctx, TRUE));
    EXPECT_FALSE(SetPrinterExtStatus(ctx));
    ctx->pVarTable = table;
}

TEST_F(Store, ConfigurationDefaultsOnlyWhileThePrinterIsUnknown) {
    Set("PrinterStatus", {0, 0, 0});
    Set("PrinterBinConfig", {1, 0x00010007, 9, 0});
    Set("PrinterOptConfig", {0});
    Set("CurrentFeeder", {3});
    Set("IconState", {0});
    for (StatusVariable* r = ctx->pVarTable; r->pszName; ++r) r->bChanged = 0;

    // A known, answering printer keeps what it reported.
    UseServedModel();
    ASSERT_TRUE(ResetConfigVariables(ctx, FALSE));
    EXPECT_EQ(*static_cast<DWORD*>(Row("CurrentFeeder")->pValue), 3u);
    EXPECT_EQ(Row("IconState")->bChanged, 0u);

    ctx->status |= ST_NO_ANSWER;
    ASSERT_TRUE(ResetConfigVariables(ctx, FALSE));
    EXPECT_EQ(*static_cast<DWORD*>(Row("IconState")->pValue), 0xFFFFFFFFu);
    EXPECT_EQ(*static_cast<DWORD*>(Row("CurrentFeeder")->pValue), 1u);
    StatusVariable* bins = Row("PrinterBinConfig");
    ASSERT_EQ(VariableValueSize(bins), 76u);
    auto* e = reinterpret_cast<BinConfigEntry*>(static_cast<BYTE*>(bins->pValue) + 4);
    EXPECT_EQ(e[0].wBinId, 1);
    EXPECT_EQ(e[0].bLevelClass, 100);
    EXPECT_EQ(e[4].wType, 7);
    EXPECT_EQ(e[5].wBinId, 2001);
    EXPECT_EQ(e[5].wType, 2001);
    EXPECT_EQ(e[5].wPaperSize, 9);
    EXPECT_EQ(e[5].bLevelClass, 0);
    StatusVariable* opts = Row("PrinterOptConfig");
    ASSERT_EQ(VariableValueSize(opts), 20u);
    auto* o = reinterpret_cast<OptConfigEntry*>(static_cast<BYTE*>(opts->pValue) + 4);
    EXPECT_EQ(o[0].wId, 1);
    EXPECT_EQ(o[1].wId, 5001);
    EXPECT_EQ(o[1].wSubId, 5001);
    for (const char* n : {"IconState", "PrinterBinConfig", "PrinterOptConfig", "CurrentFeeder"})
        EXPECT_EQ(Row(n)->bChanged, 1u) << n;

    // The defaults again change nothing.
    for (StatusVariable* r = ctx->pVarTable; r->pszName; ++r) r->bChanged = 0;
    EXPECT_TRUE(SetDefaultBinConfig(ctx, bins));
    EXPECT_FALSE(SetDefaultCurrentFeeder(ctx, Row("CurrentFeeder")));
    EXPECT_FALSE(SetDefaultOptConfig(ctx, opts));
    EXPECT_EQ(bins->bChanged + opts->bChanged + Row("CurrentFeeder")->bChanged, 0u);
}

TEST_F(Store, OptionListEdits) {
    StatusVariable* opts = Row("PrinterOptConfig");
    auto ids = [&] {
        std::vector<int> v;
        DWORD n = *static_cast<DWORD*>(opts->pValue);
        auto* o = reinterpret_cast<OptConfigEntry*>(static_cast<BYTE*>(opts->pValue) + 4);
        for (DWORD i = 0; i < n; ++i) v.push_back(o[i].wId);
        return v;
    };
    MemFree(opts->pValue);
    opts->pValue = nullptr;
    EXPECT_TRUE(RemoveOption(1, 1, ctx)) << "no value: becomes an empty list";
    EXPECT_EQ(VariableValueSize(opts), 4u);
    EXPECT_TRUE(AddOption(1, 1, 0, ctx));
    EXPECT_TRUE(AddOption(5001, 5001, 0, ctx));
    EXPECT_EQ(ids(), (std::vector<int>{1, 5001}));
    EXPECT_FALSE(AddOption(5001, 5001, 0, ctx));
    EXPECT_TRUE(RemoveOption(1, 1, ctx));
    EXPECT_EQ(ids(), (std::vector<int>{5001}));
    EXPECT_FALSE(RemoveOption(1, 1, ctx));
    EXPECT_FALSE(AddOption(5001, 5001, 0, ctx)) << "only 5001 held: adding it changes nothing";
    // A descending pair takes a middle id between them.
    EXPECT_TRUE(AddOption(1, 1, 0, ctx));
    Set("PrinterOptConfig", {2, 0x13891389, 0, 0x00010001, 0});
    EXPECT_TRUE(AddOption(3, 3, 0, ctx));
    EXPECT_EQ(ids(), (std::vector<int>{5001, 3, 1}));
}

TEST_F(Store, PrintingBitAndJobStatusBits) {
    SrmBinding* b1 = Bind(1);
    Set("PrinterStatus", {0, 0, 0});
    EXPECT_TRUE(SetPrintingStatus(ctx, TRUE));
    EXPECT_EQ(static_cast<DWORD*>(Row("PrinterStatus")->pValue)[2], 0x8u);
    ASSERT_EQ(g_sent.size(), 2u) << "the status and the icon derived from it";
    EXPECT_EQ(g_sent[0].name, "PrinterStatus");
    EXPECT_EQ(g_sent[1].name, "IconState");
    EXPECT_EQ(Words(g_sent[1]), (std::vector<DWORD>{0})) << "printing alone shows no icon";
    g_sent.clear();
    EXPECT_FALSE(SetPrintingStatus(ctx, TRUE)) << "already on";
    EXPECT_TRUE(g_sent.empty());
    EXPECT_TRUE(SetPrintingStatus(ctx, FALSE));

    g_sent.clear();
    EXPECT_FALSE(SetJobStatusBits(ctx, 0x1, TRUE)) << "no current binding";
    ctx->pCurBind = b1;
    g_managerJobStatus = 0x4;
    *static_cast<DWORD*>(Row("JobStatus")->pValue) = 0x40;
    EXPECT_TRUE(SetJobStatusBits(ctx, 0x1, TRUE));
    ASSERT_EQ(g_sent.size(), 1u);
    EXPECT_EQ(Words(g_sent[0]), (std::vector<DWORD>{0x5})) << "the manager's word with the bit";
    EXPECT_EQ(*static_cast<DWORD*>(Row("JobStatus")->pValue), 0x40u) << "our own value is untouched";
    g_managerJobStatus = 0x5;
    EXPECT_FALSE(SetJobStatusBits(ctx, 0x1, TRUE));
    EXPECT_TRUE(SetJobStatusBits(ctx, 0x107, FALSE));
    EXPECT_EQ(Words(g_sent.back()), (std::vector<DWORD>{0}));
}

TEST_F(Store, ExtStatusFollowsThePortKind) {
    ctx->dwPortStatus = 0x105;
    ASSERT_TRUE(SetPrinterExtStatus(ctx));
    EXPECT_EQ(*static_cast<DWORD*>(Row("PrinterExtStatus")->pValue), 0x7u);
    *static_cast<DWORD*>(Row("PrinterExtStatus")->pValue) = 0x17;
    ctx->dwPortStatus = 0x104;
    ASSERT_TRUE(SetPrinterExtStatus(ctx));
    EXPECT_EQ(ctx->dwPortStatus, 0u);
    EXPECT_EQ(*static_cast<DWORD*>(Row("PrinterExtStatus")->pValue), 0x10u);
}

TEST(PortStatusTable, FirstMatchingRowWins) {
    struct Case {
        DWORD m, l, status, severity;
    } cases[] = {
        {0, 0x10000 | 0x1000, PORT_STATUS_PAPER_JAM, 1},   // jam before offline
        {0x200, 0x10000, 0, 0},                            // another model's state
        {0x80, 0x4000, PORT_STATUS_USER_INTERVENTION, 1},
        {0, 0x10 | 0x2, PORT_STATUS_WARMING_UP, 3},
        {0, 0x2, PORT_STATUS_TONER_LOW, 2},
        {0, 0x40000000, PORT_STATUS_PAPER_OUT, 1},
        {0, 0x1, 0, 0},
        {0x1000, 0, 0, 0},                                 // no row
    };
    for (const Case& c : cases) {
        DWORD words[3] = {0xFFFFFFFF, c.m, c.l}, status = 99, severity = 99;
        ChoosePortStatus(words, &status, &severity);
        EXPECT_EQ(status, c.status) << std::hex << c.m << " " << c.l;
        EXPECT_EQ(severity, c.severity) << std::hex << c.m << " " << c.l;
    }
}

TEST_F(Store, PortStatusMirrorsPrinterStatusForTheRecognisedModel) {
    Bind(1);
    Bind(2, kOther);
    Set("PrinterStatus", {0, 0, 0x10000 | 0x1000});
    EXPECT_TRUE(SetPortStatusAll(ctx)) << "masks do not meet: status 0 is still written";
    DWORD status = 9, severity = 9;
    FakeSpool_GetPortStatus(L"IP_STORE", &status, &severity, nullptr, 0);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(severity, 0u);
    EXPECT_EQ(FakeSpool_CallCount("SetPortW"), 2u) << "once per binding";

    UseServedModel();
    EXPECT_TRUE(SetPortStatusAll(ctx));
    FakeSpool_GetPortStatus(L"IP_STORE", &status, &severity, nullptr, 0);
    EXPECT_EQ(status, static_cast<DWORD>(PORT_STATUS_PAPER_JAM));
    EXPECT_EQ(severity, 1u);
    EXPECT_EQ(ctx->dwPortSeverity, 1u);
    auto log = FakeSpoolSetPortLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().level, 3u);
    EXPECT_FALSE(log.back().hasText);
    EXPECT_STREQ(log.back().serverName, L"");

    // A binding without printer handle is not written and fails the result.
    ctx->pBindList->hPrinter = nullptr;
    DWORD before = FakeSpool_CallCount("SetPortW");
    EXPECT_FALSE(SetPortStatusAll(ctx));
    EXPECT_EQ(FakeSpool_CallCount("SetPortW"), before + 1);

    Row("PrinterStatus")->pValue = (MemFree(Row("PrinterStatus")->pValue), nullptr);
    EXPECT_FALSE(SetPortStatusAll(ctx));
}

TEST_F(Store, PortStatusIsLeftAloneWhileTheMutexIsHeldElsewhere) {
    UseServedModel();
    Bind(1);
    Set("PrinterStatus", {0, 0, 0x10000});
    HANDLE taken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        HANDLE m = CreateMutexW(nullptr, TRUE, L"VPJLMON:OpenPrinterMutex");
        SetEvent(taken);
        WaitForSingleObject(release, 10000);
        ReleaseMutex(m);
        CloseHandle(m);
    });
    WaitForSingleObject(taken, 10000);
    ctx->dwPortSeverity = 7;
    EXPECT_FALSE(SetPortStatusAll(ctx));
    EXPECT_FALSE(SetPortStatus(ctx, ctx->pBindList, nullptr));
    EXPECT_EQ(FakeSpool_CallCount("SetPortW"), 0u);
    EXPECT_EQ(ctx->dwPortSeverity, 7u) << "untouched";
    SetEvent(release);
    holder.join();
    EXPECT_TRUE(SetPortStatusAll(ctx));
    EXPECT_EQ(FakeSpool_CallCount("SetPortW"), 1u);
    CloseHandle(taken);
    CloseHandle(release);
}

}  // namespace
