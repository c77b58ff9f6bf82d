// A port whose spooler-access right is held elsewhere: the document calls
// give up after their waits instead of hanging the spooler.
#include "jobpath/docport.h"
#include "support/whitebox.h"
#include "fakespool.h"
#include "pmdouble.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

PortContext* Open(const wchar_t* port) { return OpenPortWb(port, L"Held", PmDouble_Table()); }

long long Seconds(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - t0).count();
}

TEST(SpoolerRight, HeldRightTimesTheDocumentCallsOut) {
    EnsureMonitorProcess();
    PmDouble_Reset();
    FakeSpool_Reset();
    PortContext* a = Open(L"USB020");
    PortContext* b = Open(L"USB021");
    PortContext* c = Open(L"USB022");
    ASSERT_TRUE(a && b && c);
    b->status |= ST_IN_DOC;  // an open document for EndDocPort to end

    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr), release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        for (PortContext* p : {a, b, c}) AcquireSpoolerRight(p->pSpoolerRight, INFINITE);
        SetEvent(held);
        WaitForSingleObject(release, INFINITE);
        for (PortContext* p : {a, b, c}) ReleaseSpoolerRight(p->pSpoolerRight);
    });
    WaitForSingleObject(held, INFINITE);

    BOOL startOk = TRUE, endOk = TRUE, readOk = TRUE;
    DWORD startErr = 0, readErr = 0;
    long long startSecs = 0, endSecs = 0, readSecs = 0;
    auto t0 = Clock::now();
    std::thread starter([&] {
        DOC_INFO_1W di{const_cast<LPWSTR>(L"doc"), nullptr, nullptr};
        startOk = PJLMonStartDocPort(a, const_cast<LPWSTR>(L"Held"), 1, 1, reinterpret_cast<BYTE*>(&di));
        startErr = GetLastError();
        startSecs = Seconds(t0);
    });
    std::thread ender([&] {
        endOk = PJLMonEndDocPort(b);
        endSecs = Seconds(t0);
    });
    std::thread reader([&] {
        char buf[16];
        DWORD got = 0;
        readOk = PJLMonReadPort(c, reinterpret_cast<BYTE*>(buf), sizeof(buf), &got);
        readErr = GetLastError();
        readSecs = Seconds(t0);
    });
    starter.join();
    ender.join();
    reader.join();
    SetEvent(release);
    holder.join();

    EXPECT_FALSE(startOk);
    EXPECT_EQ(startErr, 121u);
    EXPECT_GE(startSecs, 89) << "three waits of 30 s";
    EXPECT_FALSE(endOk);
    EXPECT_GE(endSecs, 89);
    EXPECT_FALSE(readOk);
    EXPECT_EQ(readErr, 121u);
    EXPECT_GE(readSecs, 29) << "one wait";
    EXPECT_LT(readSecs, 60);
    EXPECT_EQ(PmDouble_CallCount(PM_STARTDOC), 0u);
    EXPECT_EQ(PmDouble_CallCount(PM_ENDDOC), 0u);

    // Once the right is free again the port works.
    b->status &= ~ST_IN_DOC;
    DOC_INFO_1W di{const_cast<LPWSTR>(L"doc"), nullptr, nullptr};
    EXPECT_TRUE(PJLMonStartDocPort(a, const_cast<LPWSTR>(L"Held"), 2, 1, reinterpret_cast<BYTE*>(&di)));
    EXPECT_TRUE(PJLMonEndDocPort(a));
    for (PortContext* p : {a, b, c}) PJLMonClosePort(p);
    CloseHandle(held);
    CloseHandle(release);
}

}  // namespace
