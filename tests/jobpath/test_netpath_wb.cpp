// The network path of the document calls, on contexts that have a bound
// printer with a loaded manager: tail holding, chunked and plain writes, the
// language header, power-off and restart writes, write errors, the pending
// data and the end-of-job purge.
#include "jobpath/docport.h"
#include "pm/forward.h"
#include "send/write.h"
#include "state/jobqueue.h"
#include "portinfo/portkind.h"
#include "state/binding.h"
#include "status/devcheck.h"
#include "support/doccall_fixture.h"
#include "support/whitebox.h"
#include "fakespool.h"
#include "pmdouble.h"
#include "spoolhost.h"
#include "spoolports.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kPrinter[] = L"Net Printer";
const std::string kUel = "\x1b%-12345X";

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>('A' + rng() % 26);
    return s;
}

// Another thread holds the port's spooler-access right for a scope; the
// waits for it are short meanwhile.
class RightHeldElsewhere {
public:
    explicit RightHeldElsewhere(PortContext* ctx) : right_(ctx->pSpoolerRight) {
        dwSpoolerWaitMs = 20;
        holder_ = std::thread([this] {
            AcquireSpoolerRight(right_, INFINITE);
            SetEvent(held_);
            WaitForSingleObject(done_, INFINITE);
            ReleaseSpoolerRight(right_);
        });
        WaitForSingleObject(held_, INFINITE);
    }
    ~RightHeldElsewhere() {
        SetEvent(done_);
        holder_.join();
        CloseHandle(held_);
        CloseHandle(done_);
        dwSpoolerWaitMs = kDefaultSpoolerWaitMs;
    }

private:
    SpoolerRight* right_;
    HANDLE held_ = CreateEventW(nullptr, TRUE, FALSE, nullptr), done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder_;
};

class NetPath : public DocCallTest {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        PmDouble_Reset();
        FakeSpool_Reset();
        dwOSMajor = 6;
        dwOSMinor = 1;
        // The monitor's own registry key, through the spooler's registry operations.
        ASSERT_TRUE(host.PrepareInit());
        HANDLE h = nullptr;
        ASSERT_NE(InitializePrintMonitor2(const_cast<PMONITORINIT>(&host.Init()), &h), nullptr);
        FakeSpool_AddPrinter(kPrinter, L"VEK Tessaroline 7700 (LV)", L"IP_NET", 0, L"winprint", 0);
        FakeSpool_AddPort(L"IP_NET", L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    }
    void TearDown() override {
        if (ctx) Close();
        DocCallTest::TearDown();
        dwSpoolerWaitMs = kDefaultSpoolerWaitMs;
        Shutdown(hMonitor);
    }

    // Opens the port and binds the printer as if its manager were loaded.
    void Open(const wchar_t* port) {
        ctx = Watch(OpenPortWb(port, kPrinter, PmDouble_Table()));
        ASSERT_NE(ctx, nullptr);
        bind = static_cast<SrmBinding*>(MemAlloc(sizeof(SrmBinding)));
        bind->pszPrinterName = StrDupW(kPrinter);
        bind->hSrmLib = GetModuleHandleW(nullptr);
        bind->hManager = 1;
        ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kPrinter), &bind->hPrinter, nullptr));
        ctx->pBindList = bind;
        // These tests drive the document calls alone: the port counts as
        // having its refresh thread, so none is started on the stand-in binding.
        ctx->status |= ST_THREAD_ALIVE;
    }
    void Close() {
        Release(ctx);
        // The stand-in binding is ours to undo.
        LockPort(ctx);
        ctx->pBindList = nullptr;
        ctx->pCurBind = nullptr;
        UnlockPort(ctx);
        for (JobQueueEntry* e = ctx->pJobQueueHead; e; e = e->pNext) e->pBind = nullptr;
        ClosePrinter(bind->hPrinter);
        MemFree(bind->pszPrinterName);
        MemFree(bind);
        PJLMonClosePort(ctx);
        ctx = nullptr;
    }
    BOOL Start(DWORD jobId) {
        DOC_INFO_1W di{const_cast<LPWSTR>(L"net doc"), nullptr, const_cast<LPWSTR>(L"RAW")};
        return PJLMonStartDocPort(ctx, const_cast<LPWSTR>(kPrinter), jobId, 1, reinterpret_cast<BYTE*>(&di));
    }
    DWORD Write(const std::string& s) {
        DWORD w = 0;
        EXPECT_TRUE(PJLMonWritePort(ctx, reinterpret_cast<BYTE*>(const_cast<char*>(s.data())),
                                    static_cast<DWORD>(s.size()), &w));
        return w;
    }
    // Writes the whole text as the spooler does, re-sending what was not taken.
    void WriteAll(const std::string& s, size_t block) {
        size_t at = 0;
        int stalls = 0;
        while (at < s.size() && stalls < 100) {
            DWORD w = Write(s.substr(at, std::min(block, s.size() - at)));
            stalls = w ? 0 : stalls + 1;
            at += w;
        }
        ASSERT_EQ(at, s.size());
    }

    SpoolHost host;
    PortContext* ctx = nullptr;
    SrmBinding* bind = nullptr;
};

// The port lags 80 bytes behind the spooler; the end of the job sends them,
// inside the job's document, unless the job is not to be printed.
TEST_F(NetPath, MakersPortHoldsTheLast80BytesUntilTheEnd) {
    TestRegKey dpu(std::string(kDpuPortsKey) + "\\DPU_NET");
    Open(L"DPU_NET");
    ASSERT_EQ(ctx->dwPortStatus, 0x85u);
    ASSERT_TRUE(Start(1));
    ASSERT_EQ(ctx->pCurBind, bind);
    std::string a = kUel + RandomBytes(100 - kUel.size(), 1), b = RandomBytes(50, 2);
    EXPECT_EQ(Write(a), 100u);
    EXPECT_EQ(PmDouble_AllWritten(), a.substr(0, 20));
    EXPECT_EQ(Write(b), 50u);
    EXPECT_EQ(PmDouble_AllWritten(), a.substr(0, 70));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ctx->abTail), 80), (a + b).substr(70));
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(PmDouble_Documents(), std::vector<std::string>{a + b});

    // A job no longer than the tail prints all the same.
    PmDouble_Reset();
    ASSERT_TRUE(Start(2));
    std::string tiny = kUel + "@PJL EOJ\r\n" + kUel;
    EXPECT_EQ(Write(tiny), tiny.size());
    EXPECT_EQ(PmDouble_AllWritten(), "");
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(PmDouble_Documents(), std::vector<std::string>{tiny});

    // An EndDocPort that timed out: the next start ends that document, with
    // its tail, before it refuses.
    PmDouble_Reset();
    ASSERT_TRUE(Start(4));
    EXPECT_EQ(Write(tiny), tiny.size());
    {
        RightHeldElsewhere held(ctx);
        EXPECT_FALSE(PJLMonEndDocPort(ctx));
    }
    EXPECT_FALSE(Start(5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(PmDouble_Documents(), std::vector<std::string>{tiny});
    EXPECT_EQ(PmDouble_CallCount(PM_ENDDOC), 1u);

    // A cancelled job and a discarded re-send keep their tail back.
    for (bool cancelled : {true, false}) {
        PmDouble_Reset();
        ASSERT_TRUE(Start(3));
        EXPECT_EQ(Write(tiny), tiny.size());
        if (cancelled)
            ctx->status |= ST_CANCEL_REQ;
        else
            ctx->dwSysFlag |= SYS_RESENT_JOB;
        EXPECT_TRUE(PJLMonEndDocPort(ctx));
        EXPECT_EQ(PmDouble_AllWritten(), "") << (cancelled ? "cancelled" : "re-sent");
    }
}

TEST_F(NetPath, EveryWriteVariantDeliversTheJobByteForByte) {
    TestRegKey dpu(std::string(kDpuPortsKey) + "\\DPU_NET");
    const std::string job = kUel + "@PJL JOB NAME=\"big\"\r\n" + RandomBytes(3 * 1024 * 1024, 7);
    struct Variant {
        const wchar_t* port;
        DWORD portMode;
        size_t block;
        size_t size;
    } variants[] = {
        {L"DPU_NET", 0, 65536, job.size()},  // tail holding
        {L"DPU_NET", 0, 33, 200000},         // tail holding, blocks shorter than the tail
        {L"IP_NET", 0, 65536, job.size()},   // plain
        {L"IP_NET", 2, 65536, 40000},        // chunks of 4096 (each write waits 200 ms first)
    };
    for (const auto& v : variants) {
        SCOPED_TRACE(::testing::Message() << "block " << v.block << " mode " << v.portMode);
        PmDouble_Reset();
        Open(v.port);
        ASSERT_TRUE(Start(2));
        ctx->PortMode = v.portMode;
        if (v.portMode & 2) ctx->dwPortStatus &= ~PORTKIND_TCPMON;  // no printer to poll before each write
        const std::string sent = job.substr(0, v.size);
        WriteAll(sent, v.block);
        EXPECT_TRUE(PJLMonEndDocPort(ctx));
        std::string got = PmDouble_AllWritten();
        EXPECT_EQ(got.size(), sent.size());
        EXPECT_TRUE(got == sent) << "the bytes differ";
        if (v.portMode & 2) {
            for (const auto& c : PmDouble_Calls(PM_WRITE)) ASSERT_LE(c.cbRequested, 4096u);
        }
        Close();
    }
}

TEST_F(NetPath, ShortFirstBlockNeverCarriesAnEarlierJobsBytes) {
    TestRegKey dpu(std::string(kDpuPortsKey) + "\\DPU_NET");
    Open(L"DPU_NET");
    ASSERT_TRUE(Start(3));
    WriteAll(kUel + std::string(500, 'a'), 4096);
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
    PmDouble_Reset();
    ASSERT_TRUE(Start(4));
    std::string second = kUel + std::string(20, 'b');  // 29 bytes, then more
    EXPECT_EQ(Write(second), 29u);
    EXPECT_EQ(PmDouble_AllWritten(), "");
    std::string more = std::string(200, 'c');
    WriteAll(more, 200);
    EXPECT_EQ(PmDouble_AllWritten(), (second + more).substr(0, 229 - 80));
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(PmDouble_AllWritten(), second + more);
}

// A block of nearly 4 GB must not wrap the held-tail arithmetic.
TEST_F(NetPath, TailHoldingCountsWithoutWrapping) {
    TestRegKey dpu(std::string(kDpuPortsKey) + "\\DPU_NET");
    Open(L"DPU_NET");
    ASSERT_TRUE(Start(4));
    std::string first(20, 'f'), big = RandomBytes(400, 9);
    DWORD w = 0;
    ASSERT_TRUE(WriteTailHold(ctx, reinterpret_cast<const BYTE*>(first.data()), 20, &w));
    EXPECT_EQ(w, 20u);
    PmDouble_ShortWrites(100, 2);  // the port monitor takes 100 bytes of each write
    ASSERT_TRUE(WriteTailHold(ctx, reinterpret_cast<const BYTE*>(big.data()), 0xFFFFFFF0u, &w));
    EXPECT_EQ(w, 180u) << "100 bytes sent, 80 held";
    EXPECT_EQ(PmDouble_AllWritten(), first + big.substr(0, 100));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ctx->abTail), 80), big.substr(100, 80));
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
}

// Connection reset, print cancelled and network name deleted end the job's
// writes; any other port monitor failure is success with what went.
TEST_F(NetPath, FatalWriteErrorsFailThePlainWrite) {
    Open(L"IP_NET");
    ASSERT_TRUE(Start(40));
    std::string block = kUel + "@PJL JOB NAME=\"x\" @JCID=\"J\"\r\n" + RandomBytes(100, 4);
    EXPECT_EQ(Write(block), block.size());
    for (DWORD err : {DWORD(WSAECONNRESET), DWORD(ERROR_PRINT_CANCELLED), DWORD(ERROR_NETNAME_DELETED)}) {
        PmDouble_FailNext(PM_WRITE, 1, err);
        DWORD w = 0;
        EXPECT_FALSE(PJLMonWritePort(ctx, reinterpret_cast<BYTE*>(block.data()), 50, &w)) << err;
        EXPECT_EQ(GetLastError(), err);
    }
    PmDouble_FailNext(PM_WRITE, 1, ERROR_NOT_READY);
    DWORD w = 0;
    EXPECT_TRUE(PJLMonWritePort(ctx, reinterpret_cast<BYTE*>(block.data()), 50, &w));
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
}

// The language header goes ahead of the job's data, whole and only once:
// also when the port monitor takes it in parts, and when the first write
// could not get the spooler-access right.
TEST_F(NetPath, LanguageHeaderGoesAheadOfTheBodyWhole) {
    Open(L"IP_NET");
    const std::string header = kUel + "@PJL ENTER LANGUAGE=VPDL\r\n";
    const std::string body = "plain data without a UEL, long enough to parse";
    ASSERT_TRUE(Start(41));
    PmDouble_ShortWrites(10, 1);
    WriteAll(body, 1000);
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(PmDouble_AllWritten(), header + body);

    PmDouble_Reset();
    ASSERT_TRUE(Start(42));
    {
        RightHeldElsewhere held(ctx);
        EXPECT_EQ(Write(body), 0u) << "nothing taken while the right is held elsewhere";
    }
    WriteAll(body, 1000);
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(PmDouble_AllWritten(), header + body);
}

// Pending data the port monitor will not take (it refuses the monitor's own
// document) is offered again after a pause, not in a tight loop, and a
// closing port stops the offers.
TEST_F(NetPath, EndOfJobFlushPausesBetweenRefusedOffers) {
    Open(L"IP_NET");
    ASSERT_TRUE(Start(43));
    ctx->status &= ~ST_THREAD_ALIVE;
    PmDouble_Reset();
    ctx->status &= ~ST_PM_DOC;  // the job's document is gone
    const std::string pending = "pending bytes";
    AppendPending(ctx, reinterpret_cast<const BYTE*>(pending.data()), static_cast<DWORD>(pending.size()));
    PmDouble_Fail(PM_STARTDOC, 0, 50, ERROR_NOT_READY);
    int starts = 0;
    HANDLE closing = ctx->hCloseEvent;
    PmDouble_SetHook(PM_STARTDOC, [&](const PmCall&) {
        if (++starts == 3) SetEvent(closing);
    });
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
    PmDouble_SetHook(PM_STARTDOC, nullptr);
    ResetEvent(closing);
    EXPECT_EQ(PmDouble_CallCount(PM_STARTDOC), 3u) << "the own-document try, then two offers";
    EXPECT_EQ(ctx->cbPending, 0u) << "given up";
    EXPECT_EQ(PmDouble_AllWritten(), "");
}

// Pending bytes being written belong to their write: a poll that finds the
// printer switched off while the write has given the spooler right away
// discards them only once the write is over, and they are not offered again
// (the held write takes part of them, or none, which would be retried).
TEST_F(NetPath, PowerOffDuringAPendingWriteLeavesItsBytesToTheWrite) {
    FakeSpool_SetXcvIPAddress(L"IP_NET", L"127.21.1.10");   // nothing answers there
    ShortPolling polling;   // fewer description attempts per silent poll
    Open(L"IP_NET");
    const std::string tail = RandomBytes(80, 21);
    for (DWORD taken : {40u, 0u}) {
        SCOPED_TRACE(taken);
        PmDouble_Reset();
        ctx->status &= ~ST_NO_ANSWER;
        ASSERT_TRUE(AppendPending(ctx, reinterpret_cast<const BYTE*>(tail.data()), static_cast<DWORD>(tail.size())));
        const BYTE* buffer = ctx->pPending;
        PmDouble_ShortWrites(taken, 1);
        PmDouble_HoldWrites();
        std::thread writer([this] {
            SpoolerRightGuard right(ctx);   // as the end of a job flushes
            DWORD w = 0;
            PMSendData(ctx, nullptr, 0, &w);
        });
        bool held = PmDouble_WaitWriteHeld(15000);
        if (held) {
            std::thread poll([this] {
                SpoolerRightGuard right(ctx);   // as a refresh round
                CheckDeviceId(ctx);
            });
            poll.join();
            EXPECT_TRUE(ctx->status & ST_NO_ANSWER) << "the printer was found switched off";
            EXPECT_TRUE(HeapValidate(hHeap, 0, buffer)) << "the buffer was freed under the write";
        }
        // What a freed block would hold by the time the write reads it.
        HeapBlock reuse(MemAlloc(tail.size()));
        memset(reuse.p, 'X', tail.size());
        PmDouble_ReleaseWrites();
        writer.join();
        ASSERT_TRUE(held);
        auto writes = PmDouble_Calls(PM_WRITE);
        ASSERT_GE(writes.size(), 1u);
        EXPECT_EQ(writes.size(), 1u) << "discarded bytes are not offered again";
        EXPECT_EQ(writes[0].data, tail.substr(0, taken)) << "the write saw the job's bytes";
        EXPECT_EQ(ctx->cbPending, 0u) << "the discard took effect after the write";
        EXPECT_EQ(ctx->pPending, nullptr);
        EXPECT_TRUE(HeapValidate(hHeap, 0, nullptr));
    }

    // Without a discard, a write that took part leaves the rest for the next.
    ctx->status &= ~ST_NO_ANSWER;
    PmDouble_Reset();
    ASSERT_TRUE(AppendPending(ctx, reinterpret_cast<const BYTE*>(tail.data()), static_cast<DWORD>(tail.size())));
    PmDouble_ShortWrites(30, 1);
    DWORD w = 0;
    {
        SpoolerRightGuard right(ctx);
        PMSendData(ctx, nullptr, 0, &w);
        EXPECT_EQ(ctx->cbPending, 50u);
        PMSendData(ctx, nullptr, 0, &w);
    }
    EXPECT_EQ(PmDouble_AllWritten(), tail);
    EXPECT_EQ(ctx->cbPending, 0u);
}

TEST_F(NetPath, NoLanguageHeaderForAJobWithItsOwnOrWithEnterLanguage) {
    Open(L"IP_NET");
    const std::string body = "plain data without a UEL, long enough to parse";
    ASSERT_TRUE(Start(6));
    std::string own = kUel + "@PJL ENTER LANGUAGE=PCL\r\nxyz";
    WriteAll(own, 1000);
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(PmDouble_AllWritten(), own) << "a job with its own UEL gets no header";

    host.SetRegString(L"ENTERLANGUAGE", L"1");
    PmDouble_Reset();
    ASSERT_TRUE(Start(7));
    WriteAll(body, 1000);
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(PmDouble_AllWritten().size(), 35 + body.size()) << "a text value is no setting";

    host.SetRegDword(L"ENTERLANGUAGE", 1);
    PmDouble_Reset();
    ASSERT_TRUE(Start(8));
    WriteAll(body, 1000);
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(PmDouble_AllWritten(), body) << "ENTERLANGUAGE switches the header off";
}

TEST_F(NetPath, PowerOffRestartAndDeletingWrites) {
    Open(L"IP_NET");
    ASSERT_TRUE(Start(8));
    std::string block = kUel + RandomBytes(200, 3);
    ctx->status |= ST_NO_ANSWER;
    EXPECT_EQ(Write(block), 0u) << "powered off: nothing taken, success";
    ctx->status &= ~ST_NO_ANSWER;

    size_t before = PmDouble_AllWritten().size();
    ctx->dwSysFlag |= SYS_RESENT_JOB;
    EXPECT_EQ(Write(block), block.size()) << "a re-sent copy is consumed";
    ctx->dwSysFlag &= ~SYS_RESENT_JOB;
    ctx->status |= ST_JOB_DELETING;
    EXPECT_EQ(Write(block), block.size());
    ctx->status &= ~ST_JOB_DELETING;
    EXPECT_EQ(PmDouble_AllWritten().size(), before) << "neither reached the port monitor";
    EXPECT_EQ(Write(block), block.size());
    EXPECT_TRUE(ctx->dwSysFlag & SYS_DATA_SENT);
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
}

TEST_F(NetPath, ChunkedModeTakesAtMost4096) {
    Open(L"IP_NET");
    ASSERT_TRUE(Start(9));
    ctx->dwPortStatus &= ~PORTKIND_TCPMON;  // no printer to poll before each write
    ctx->PortMode |= 2;
    EXPECT_EQ(Write(kUel + std::string(10000 - kUel.size(), 'z')), 4096u);
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
}

TEST_F(NetPath, EndWithoutAnyNetworkWritePurgesTheQueue) {
    Open(L"IP_NET");
    // Two earlier jobs still queued, then one that never wrote.
    ASSERT_TRUE(Start(11));
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
    FakeSpool_ClearLogs();
    JobQueueEntry* older = InJobQueue(21, ctx);
    JobQueueEntry* old2 = InJobQueue(22, ctx);
    ASSERT_TRUE(older && old2);
    ASSERT_TRUE(Start(23));
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(FakeSpoolEjectedJobs(), (std::vector<DWORD>{21, 22, 23})) << "each released once";
    EXPECT_EQ(ctx->pJobQueueHead, nullptr);
}

TEST_F(NetPath, JobWithoutItsOwnJcidIsDeletedAtItsEnd) {
    Open(L"IP_NET");
    ASSERT_TRUE(Start(30));
    WriteAll(kUel + "@PJL JOB NAME=\"no jcid\"\r\n@PJL ENTER LANGUAGE=PCL\r\ndata", 4096);
    EXPECT_EQ(ctx->dwJobType, -1);
    ASSERT_NE(ctx->pJobQueueHead, nullptr);
    EXPECT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(ctx->pJobQueueHead, nullptr);
    std::vector<DWORD> ejected = FakeSpoolEjectedJobs();
    EXPECT_FALSE(ejected.empty());
    for (DWORD id : ejected) EXPECT_EQ(id, 30u);
}

// An EndDocPort that never came: the next start is refused (the spooler
// still holds that job and sends it again), and the stale job is let go
// once, through its own printer, before the refusal.
TEST_F(NetPath, ALostEndDocReleasesTheStaleJobOnce) {
    Open(L"IP_NET");
    auto controls = [](DWORD jobId) {
        std::vector<std::wstring> printers;
        for (const auto& r : FakeSpoolSetJobLog())
            if (r.jobId == jobId) printers.push_back(r.printer);
        return printers;
    };
    const std::string job = kUel + "@PJL JOB NAME=\"stale\" @JCID=\"STALE71\"\r\n" + RandomBytes(100, 5);
    ASSERT_TRUE(Start(71));
    WriteAll(job, 4096);
    FakeSpool_ClearLogs();
    EXPECT_FALSE(Start(72));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(FakeSpoolEjectedJobs(), std::vector<DWORD>{71}) << "the stale job, once";
    EXPECT_EQ(controls(71), std::vector<std::wstring>{kPrinter});
    EXPECT_TRUE(controls(72).empty()) << "the refused job stays with the spooler";

    ASSERT_TRUE(Start(72));
    WriteAll(job, 4096);
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_EQ(controls(71).size(), 1u) << "never twice";
    EXPECT_EQ(controls(72).size(), 1u);
}

}  // namespace
