// The bench for a live printer: a simulated printer on an address of its
// own, job data sent to its job port by the port monitor double, as the
// Standard TCP/IP port monitor sends it to <printer address>:9100.
#include <winsock2.h>
#include <windows.h>

#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "srmdouble.h"
#include "spoolports.h"
#include "support/served_model.h"
#include "support/simprinter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kUel = "\x1b%-12345X";

TEST(LivePrinter, JobsThroughTheDllReachThePrinterByteForByte) {
    constexpr wchar_t kPort[] = L"IP_127.0.6.1";
    constexpr wchar_t kPrinter[] = L"Live Desk";
    SimPrinter sim("127.0.6.1");
    ASSERT_TRUE(sim.Start({"--pending-ms", "0", "--page-ms", "20"})) << sim.error;

    PmDouble_Reset();
    FakeSpool_Reset();
    SrmDouble_Reset();
    ServedModelKeys keys{"Live Desk"};
    AddStandardTcpPort(kPort, L"127.0.6.1");
    PmDouble_SetPortTarget(kPort, "127.0.6.1");
    FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
    FakeSpool_AddPrinter(kPrinter, kServedDriver, kPort, PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
    SpoolHost host;
    ASSERT_TRUE(host.Load());
    ASSERT_NE(host.Initialize(), nullptr);
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(kPort, kPrinter, &h));

    // A job with its own header and a JCID, written in odd-sized pieces, and
    // one with no PJL of its own (the monitor puts the language header first).
    std::string jcid = "LIVE-" + std::string(40, 'J');
    std::string own = kUel + "@PJL JOB NAME=\"live one\" @JCID=\"" + jcid + "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\n";
    for (int i = 0; i < 3000; ++i) own += static_cast<char>(i * 7 + 1);
    own += "\x0c" + kUel;
    std::string bare = "%%page\x0c%%page\x0c";
    DWORD job1 = FakeSpool_AddJob(kPrinter, 51, 0, L"live one", L"ana", 1);
    ASSERT_TRUE(host.PrintJob(h, kPrinter, job1, L"live one", own, 333));
    DWORD job2 = FakeSpool_AddJob(kPrinter, 52, 0, L"live two", L"ana", 1);
    ASSERT_TRUE(host.PrintJob(h, kPrinter, job2, L"live two", bare));
    ASSERT_TRUE(host.ClosePort(h));

    std::vector<std::string> docs = PmDouble_Documents();
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_EQ(docs[0], own);
    EXPECT_EQ(docs[1], kUel + "@PJL ENTER LANGUAGE=VPDL\r\n" + bare);
    std::vector<SimReceived> got;
    sim.WaitUntil([&] { return (got = sim.Received()).size() == 2 && got[1].end != "open"; });
    ASSERT_EQ(got.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(got[i].end, "closed") << i;
        EXPECT_EQ(got[i].bytes, docs[i].size()) << i;
        EXPECT_EQ(sim.Data(got[i].seq), docs[i]) << "job " << i << " byte for byte";
    }
    EXPECT_EQ(got[0].jcid, jcid) << "the printer files the job under the driver's JCID";
    EXPECT_EQ(got[0].name, "live one");
    EXPECT_EQ(got[1].language, "VPDL");
    EXPECT_EQ(got[1].formfeeds, 2u);
}

// A printer losing power mid-job resets the connection: the next write
// fails with the socket error and the printer keeps what came before.
TEST(PmForward, PowerLossResetsTheConnectionAndFailsTheNextWrite) {
    SimPrinter sim("127.0.6.2");
    ASSERT_TRUE(sim.Start()) << sim.error;
    PmDouble_Reset();
    PmDouble_SetPortTarget(L"ip_127.0.6.2", "127.0.6.2");   // port names match in any case
    MONITOR2* t = PmDouble_Table();
    HANDLE h = nullptr;
    ASSERT_TRUE(t->pfnOpenPort(nullptr, const_cast<LPWSTR>(L"IP_127.0.6.2"), &h));
    DOC_INFO_1W di{const_cast<LPWSTR>(L"doc"), nullptr, const_cast<LPWSTR>(L"RAW")};
    auto start = [&] { return t->pfnStartDocPort(h, const_cast<LPWSTR>(L"P"), 1, 1, reinterpret_cast<BYTE*>(&di)); };
    auto write = [&](std::string s) {
        DWORD n = 0;
        return t->pfnWritePort(h, reinterpret_cast<BYTE*>(&s[0]), static_cast<DWORD>(s.size()), &n);
    };
    ASSERT_TRUE(start());
    std::string head = kUel + "@PJL JOB NAME=\"cut\"\r\n@PJL ENTER LANGUAGE=VPDL\r\npage one\x0c";
    ASSERT_TRUE(write(head));
    ASSERT_TRUE(sim.WaitUntil([&] {
        auto jobs = sim.Jobs();
        return !jobs.empty() && jobs[0].bytes == head.size();
    })) << "the printer took the first block";
    ASSERT_TRUE(sim.Command("power off")) << sim.error;
    // The reset reaches this side after a moment; writes fail from then on.
    BOOL ok = TRUE;
    for (int i = 0; i < 200 && ok; ++i)
        if ((ok = write("more"))) Sleep(10);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAECONNRESET));
    EXPECT_TRUE(t->pfnEndDocPort(h));
    auto got = sim.Received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].end, "poweroff");
    EXPECT_EQ(sim.Data(got[0].seq).substr(0, head.size()), head);

    // Switched off, the printer refuses the connection: StartDocPort fails.
    EXPECT_FALSE(start());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAECONNREFUSED));
    EXPECT_TRUE(t->pfnClosePort(h));
    PmDouble_Reset();
}

}  // namespace
