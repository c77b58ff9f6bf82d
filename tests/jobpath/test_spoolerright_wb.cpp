// A port whose spooler-access right is held elsewhere: the document calls
// give up after their waits instead of hanging the spooler, and a lost
// EndDocPort does not lock the port up.
#include "jobpath/docport.h"
#include "monitor/trace_reader.h"
#include "support/doccall_fixture.h"
#include "support/whitebox.h"
#include "fakespool.h"
#include "pmdouble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

namespace {

const std::string kWaitTimedOut = "-WaitSpoolerFunc() -> TIMEOUT-";

class SpoolerRight : public DocCallTest {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        PmDouble_Reset();
        FakeSpool_Reset();
        dwSpoolerWaitMs = 50;
    }
    void TearDown() override {
        DocCallTest::TearDown();
        dwSpoolerWaitMs = kDefaultSpoolerWaitMs;
    }
    PortContext* Open(const wchar_t* port, const wchar_t* printer) {
        return Watch(OpenPortWb(port, printer, PmDouble_Table()));
    }
    static BOOL Start(PortContext* ctx, DWORD jobId) {
        DOC_INFO_1W di{const_cast<LPWSTR>(L"doc"), nullptr, nullptr};
        return PJLMonStartDocPort(ctx, nullptr, jobId, 1, reinterpret_cast<BYTE*>(&di));
    }
    static size_t Count(const std::wstring& file, const std::string& text) {
        auto lines = TraceOnForTest::Lines(file);
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& l) { return TraceOnForTest::Text(l) == text; });
    }
};

TEST_F(SpoolerRight, HeldRightTimesTheDocumentCallsOutAndALostEndDocIsRecovered) {
    TraceOnForTest trace;
    std::wstring fa = trace.FileFor(L"Held A"), fb = trace.FileFor(L"Held B"), fc = trace.FileFor(L"Held C");
    PortContext* a = Open(L"USB020", L"Held A");
    PortContext* b = Open(L"USB021", L"Held B");
    PortContext* c = Open(L"USB022", L"Held C");
    ASSERT_TRUE(a && b && c);
    ASSERT_TRUE(Start(b, 7));  // a document for EndDocPort to end

    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr), release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        for (PortContext* p : {a, b, c}) AcquireSpoolerRight(p->pSpoolerRight, INFINITE);
        SetEvent(held);
        WaitForSingleObject(release, INFINITE);
        for (PortContext* p : {a, b, c}) ReleaseSpoolerRight(p->pSpoolerRight);
    });
    WaitForSingleObject(held, INFINITE);
    size_t startDocs = PmDouble_CallCount(PM_STARTDOC);

    EXPECT_FALSE(Start(a, 1));
    EXPECT_EQ(GetLastError(), 121u);
    EXPECT_FALSE(PJLMonEndDocPort(b));
    char buf[16];
    DWORD got = 0;
    EXPECT_FALSE(PJLMonReadPort(c, reinterpret_cast<BYTE*>(buf), sizeof(buf), &got));
    EXPECT_EQ(GetLastError(), 121u);
    SetEvent(release);
    holder.join();
    CloseHandle(held);
    CloseHandle(release);

    EXPECT_EQ(Count(fa, kWaitTimedOut), 3u) << "StartDocPort tries three times";
    EXPECT_EQ(Count(fb, kWaitTimedOut), 3u) << "and so does EndDocPort";
    EXPECT_EQ(Count(fc, kWaitTimedOut), 1u) << "ReadPort once";
    EXPECT_EQ(PmDouble_CallCount(PM_STARTDOC), startDocs);
    EXPECT_EQ(PmDouble_CallCount(PM_ENDDOC), 0u);

    // b's EndDocPort was lost: the next start is refused once, closes the
    // stale document, and the spooler's retry prints.
    EXPECT_FALSE(Start(b, 8));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
    EXPECT_EQ(Count(fb, "VJLMON:PJLMonStartDocPort -END(1)-"), 1u);
    EXPECT_EQ(PmDouble_CallCount(PM_ENDDOC), 1u) << "the stale document is ended";
    EXPECT_TRUE(Start(b, 8));
    EXPECT_TRUE(PJLMonEndDocPort(b));

    EXPECT_TRUE(Start(a, 2));
    EXPECT_TRUE(PJLMonEndDocPort(a));
    for (PortContext* p : {a, b, c}) {
        Release(p);
        PJLMonClosePort(p);
    }
}

}  // namespace
