// The PJL header on the port context: the trace of a header scan, what a job
// line does to the port, the JCID choice and records, and the language header.
#include "diag/trace.h"
#include "state/jobqueue.h"
#include "jobpath/pjl.h"
#include "monitor/trace_reader.h"
#include "portinfo/portkind.h"
#include "support/doccall_fixture.h"
#include "support/whitebox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const wchar_t kPrinter[] = L"PJL WB Printer";
const std::string kUelText(reinterpret_cast<const char*>(kUel), kUelSize);
const std::string kJcid45 = "0123456789ABCDEF0123456789ABCDEF0123456789ABC";

std::string JobLine(const std::string& jcid) {
    return "@PJL JOB NAME=\"Document_0123456789abcde\" @JCID=\"" + jcid + "\"";
}

const BYTE* Data(const std::string& s) { return reinterpret_cast<const BYTE*>(s.data()); }
DWORD Size(const std::string& s) { return static_cast<DWORD>(s.size()); }

// A port monitor beneath that records what the monitor sends.
struct Sent {
    std::vector<std::string> docs;   // bytes written per document
    bool failStart = false;
    bool rightHeldAtStart = false;
    SpoolerRight* right = nullptr;
} g_sent;

DWORD WINAPI TryMutex(LPVOID) {
    DWORD rc = AcquireSpoolerRight(g_sent.right, 0);
    if (rc == WAIT_OBJECT_0) ReleaseSpoolerRight(g_sent.right);
    return rc;
}

BOOL WINAPI FakeStartDoc(HANDLE, LPWSTR, DWORD, DWORD, LPBYTE) {
    // Another thread must not get the spooler-access right while the header goes out.
    HANDLE t = CreateThread(nullptr, 0, TryMutex, nullptr, 0, nullptr);
    WaitForSingleObject(t, 5000);
    DWORD rc = 0;
    GetExitCodeThread(t, &rc);
    CloseHandle(t);
    g_sent.rightHeldAtStart = (rc == WAIT_TIMEOUT);
    if (g_sent.failStart) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    g_sent.docs.emplace_back();
    return TRUE;
}
BOOL WINAPI FakeWrite(HANDLE, LPBYTE p, DWORD cb, LPDWORD w) {
    g_sent.docs.back().append(reinterpret_cast<const char*>(p), cb);
    *w = cb;
    return TRUE;
}
BOOL WINAPI FakeEndDoc(HANDLE) { return TRUE; }

class PjlWb : public DocCallTest {
protected:
    void SetUp() override {
        ctx = Watch(NewContext(L"PJLWB_1", kPrinter));
        ASSERT_NE(ctx, nullptr);
        ctx->fn.pfnStartDocPort = FakeStartDoc;
        ctx->fn.pfnWritePort = FakeWrite;
        ctx->fn.pfnEndDocPort = FakeEndDoc;
        g_sent = Sent{};
        g_sent.right = ctx->pSpoolerRight;
    }
    void TearDown() override {
        Release(ctx);
        while (JobQueueEntry* e = ctx->pJobQueueHead) {
            ctx->pJobQueueHead = e->pNext;
            MemFree(e);
        }
        ctx->pJobQueueTail = nullptr;
        ResetTraceSettings(ctx);
        FreeContext(ctx);
    }
    JobQueueEntry* Queue(DWORD jobId, bool asTail) {
        auto* e = static_cast<JobQueueEntry*>(MemAlloc(sizeof(JobQueueEntry)));
        e->dwJobId = jobId;
        JobQueueEntry** link = &ctx->pJobQueueHead;
        while (*link) link = &(*link)->pNext;
        *link = e;
        if (asTail) ctx->pJobQueueTail = e;
        return e;
    }
    PortContext* ctx = nullptr;
};

TEST_F(PjlWb, TraceOfEachWayTheScanEnds) {
    TraceOnForTest trace;
    std::wstring file = trace.FileFor(kPrinter);
    ASSERT_TRUE(ReadTraceSettings(ctx));

    std::string hdr = kUelText + JobLine(kJcid45) + "\r\n@PJL ENTER LANGUAGE=VPDL\r\n";
    EXPECT_EQ(ParseJobHeader(ctx, Data(hdr), Size(hdr)), 1);
    EXPECT_EQ(ParseJobHeader(ctx, Data(hdr), Size(hdr)), 0);
    ctx->dwJobType = 0;
    EXPECT_EQ(ParseJobHeader(ctx, Data(hdr), 19), 1);
    ctx->dwJobType = 0;
    std::string ps = "%!PS-Adobe-3.0\n%%Title: t\n";
    EXPECT_EQ(ParseJobHeader(ctx, Data(ps), Size(ps)), 1);
    ctx->dwJobType = 0;
    std::string raw = "raw printer data of some length";
    EXPECT_EQ(ParseJobHeader(ctx, Data(raw), Size(raw)), 1);

    std::vector<std::string> texts;
    for (const auto& l : TraceOnForTest::Lines(file)) texts.push_back(TraceOnForTest::Text(l));
    const std::string start = "VJLMON:ParseJobHeader -\x89\xf0\x90\xcd\x8a\x4a\x8e\x6e-";        // -解析開始-
    const std::string ended = "VJLMON:ParseJobHeader -\x89\xf0\x90\xcd\x8f\x49\x97\xb9 @";        // -解析終了 @
    const std::vector<std::string> want = {
        start,
        "       dwJobType:2",
        "       JCID:" + kJcid45,
        "       bEnter:1",
        "VJLMON:ParseJobHeader -\x89\xf0\x90\xcd\x8a\xae\x97\xb9-",                                 // -解析完了-
        start, ended + "1-",
        start, ended + "2-",
        start, ended + "3-",
        start, ended + "4-",
    };
    EXPECT_EQ(texts, want);
}

TEST_F(PjlWb, JobLineOnThePort) {
    // A JCID ends the wait for the header and runs the restart check once.
    ctx->status |= ST_WAIT_JOBHDR;
    ctx->dwSysFlag = SYS_PWOFF_JCID | SYS_RESENT_JOB | SYS_DATA_SENT;
    std::string hdr = kUelText + JobLine(kJcid45) + "\n";
    EXPECT_EQ(ParseJobHeader(ctx, Data(hdr), Size(hdr)), 1);
    EXPECT_EQ(ctx->dwJobType, 2);
    EXPECT_EQ(std::string(ctx->szJobJCID), kJcid45);
    EXPECT_EQ(ctx->status & ST_WAIT_JOBHDR, 0u);
    EXPECT_EQ(ctx->dwSysFlag, SYS_RESENT_JOB | SYS_DATA_SENT) << "only the two check bits are cleared";

    // No JCID on the line: still waited for; no job line: no restart check.
    ctx->status |= ST_WAIT_JOBHDR;
    ctx->dwSysFlag = SYS_PRINTER_RESET;
    std::string bare = "@PJL JOB\r\n";
    EXPECT_EQ(OnPjlJob(Data(bare), ctx, Size(bare)), 1);
    EXPECT_EQ(ctx->status & ST_WAIT_JOBHDR, ST_WAIT_JOBHDR);
    EXPECT_EQ(ctx->dwSysFlag, 0u);
    ctx->dwJobType = 0;
    ctx->dwSysFlag = SYS_PRINTER_RESET;
    hdr = kUelText + "@PJL ENTER\r\n" + JobLine(kJcid45) + "\n";
    ParseJobHeader(ctx, Data(hdr), Size(hdr));
    EXPECT_EQ(ctx->dwSysFlag, SYS_PRINTER_RESET);
}

TEST_F(PjlWb, JcidChoiceAndRecords) {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD cch = sizeof(name);
    ASSERT_TRUE(GetComputerNameA(name, &cch));
    char host[kHostJcidSize];
    FormatHostJcid(host, reinterpret_cast<const BYTE*>(name), cch, 0);
    ctx->dwPortStatus = PORTKIND_TCPIP;
    ChooseJobJCID(ctx);
    EXPECT_EQ(std::string(ctx->szJCID, 16), std::string(host, 16)) << "host form of this computer";
    for (DWORD kind : {PORTKIND_DPU, PORTKIND_TCPMON}) {
        ctx->dwPortStatus = PORTKIND_TCPIP | kind;
        ChooseJobJCID(ctx);
        std::string first = ctx->szJCID;
        ChooseJobJCID(ctx);
        EXPECT_TRUE(first.size() >= 16 && first.size() <= 32) << first;
        EXPECT_NE(first, std::string(ctx->szJCID)) << "a new GUID each job";
    }

    EXPECT_EQ(StoreJobJCID("AB", JCID_STORE_UID, ctx), 0) << "empty queue";
    JobQueueEntry* first = Queue(1, false);
    JobQueueEntry* second = Queue(2, false);
    // Without a tail pointer: the last entry reachable from the head.
    EXPECT_EQ(StoreJobJCID("AB", JCID_STORE_UID, ctx), 1);
    EXPECT_STREQ(second->szUID, "AB");
    EXPECT_STREQ(second->szUIDIndex, "2.65.66");
    EXPECT_STREQ(second->szEOJUID, "");
    EXPECT_STREQ(first->szUID, "");
    JobQueueEntry* third = Queue(3, true);
    std::string longText(100, 'x');
    EXPECT_EQ(StoreJobJCID(longText.c_str(), JCID_STORE_EOJ, ctx), 1);
    EXPECT_EQ(std::string(third->szEOJUID), longText.substr(0, 80));
    EXPECT_STREQ(third->szUID, "");
}

TEST_F(PjlWb, LanguageHeaderOncePerJob) {
    const std::string header = kUelText + "@PJL ENTER LANGUAGE=VPDL\r\n";
    ASSERT_EQ(header.size(), 35u);
    std::string job = "job data without a header";

    EXPECT_EQ(SendLanguageHeader(ctx, Data(job), Size(job)), LANGHDR_SENT);
    ASSERT_EQ(g_sent.docs.size(), 1u);
    EXPECT_EQ(g_sent.docs[0], header);
    EXPECT_TRUE(g_sent.rightHeldAtStart);
    EXPECT_EQ(ctx->status & (ST_FIRST_WRITE | ST_PM_DOC), ST_FIRST_WRITE);
    EXPECT_EQ(SendLanguageHeader(ctx, Data(job), Size(job)), LANGHDR_NOT_SENT);
    EXPECT_EQ(g_sent.docs.size(), 1u);
    ExpectPortReleased(ctx);

    // A failed send is not repeated.
    ctx->status &= ~ST_FIRST_WRITE;
    g_sent.failStart = true;
    EXPECT_EQ(LANGHDR_NOT_SENT, SendLanguageHeader(ctx, Data(job), Size(job)));
    g_sent.failStart = false;
    EXPECT_EQ(LANGHDR_NOT_SENT, SendLanguageHeader(ctx, Data(job), Size(job)));
    EXPECT_EQ(g_sent.docs.size(), 1u);

    // ENTERLANGUAGE set: never, and the first-write bit stays as it was.
    ctx->status &= ~ST_FIRST_WRITE;
    ctx->dwEnterLanguage = 1;
    EXPECT_EQ(LANGHDR_NOT_SENT, SendLanguageHeader(ctx, Data(job), Size(job)));
    EXPECT_EQ(ctx->status & ST_FIRST_WRITE, 0u);
    EXPECT_EQ(g_sent.docs.size(), 1u);
}

}  // namespace
