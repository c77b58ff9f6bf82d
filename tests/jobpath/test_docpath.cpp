// Jobs on plain ports, driven through the DLL as the spooler drives it:
// bytes reach the port monitor unchanged and each job is let go exactly once.
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kPrinter[] = L"Plain Printer";

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

class DocPath : public ::testing::Test {
protected:
    void SetUp() override {
        PmDouble_Reset();
        FakeSpool_Reset();
        FakeSpool_AddPort(L"IP_127.0.5.20", L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
        ASSERT_TRUE(host.Load());
        ASSERT_NE(host.Initialize(), nullptr);
    }
    void AddPrinter(const wchar_t* port) { FakeSpool_AddPrinter(kPrinter, L"Some Driver", port, 0, L"winprint", 0); }

    SpoolHost host;
};

TEST_F(DocPath, PlainPortsPassBytesInOrderAndEjectEachJobOnce) {
    const wchar_t* ports[] = {L"USB001", L"LPT1:", L"COM2:", L"\\\\srv\\queue", L"FILE:"};
    DWORD jobId = 10;
    for (const wchar_t* port : ports) {
        SCOPED_TRACE(std::string(port, port + wcslen(port)));
        PmDouble_Reset();
        FakeSpool_Reset();
        AddPrinter(port);
        HANDLE h = nullptr;
        ASSERT_TRUE(host.OpenPort(port, kPrinter, &h));
        std::string a = RandomBytes(300000, jobId), b = "\x1b%-12345X@PJL JOB NAME=\"x\"\r\nsecond job";
        ASSERT_TRUE(host.PrintJob(h, kPrinter, jobId, L"first", a, 4096));
        ASSERT_TRUE(host.PrintJob(h, kPrinter, jobId + 1, L"second", b, 7));
        ASSERT_TRUE(host.ClosePort(h));

        std::vector<std::string> docs = PmDouble_Documents();
        ASSERT_EQ(docs.size(), 2u);
        EXPECT_TRUE(docs[0] == a) << "first job differs (" << docs[0].size() << " bytes)";
        EXPECT_EQ(docs[1], b) << "no language header or other bytes on plain ports";
        EXPECT_EQ(FakeSpoolEjectedJobs(), (std::vector<DWORD>{jobId, jobId + 1}));
        EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u);
        jobId += 2;
    }
}

TEST_F(DocPath, SecondStartWithoutEndIsRefusedAsBusy) {
    AddPrinter(L"USB002");
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"USB002", kPrinter, &h));
    ASSERT_TRUE(host.StartDoc(h, kPrinter, 1));
    SetLastError(0);
    EXPECT_FALSE(host.StartDoc(h, kPrinter, 2));
    EXPECT_EQ(GetLastError(), 170u);
    EXPECT_EQ(PmDouble_CallCount(PM_STARTDOC), 1u) << "the refused start never reached the port monitor";
    EXPECT_TRUE(host.EndDoc(h));
    EXPECT_TRUE(host.PrintJob(h, kPrinter, 3, L"after", "ok"));
    EXPECT_TRUE(host.ClosePort(h));
    EXPECT_EQ(FakeSpoolEjectedJobs(), (std::vector<DWORD>{1, 3}));
}

TEST_F(DocPath, StartWithoutDocumentOnlyMarksIt) {
    AddPrinter(L"LPT2:");
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"LPT2:", kPrinter, &h));
    DOC_INFO_2W noName{nullptr, nullptr, nullptr, 0, 0};
    EXPECT_TRUE(host.StartDocRaw(h, kPrinter, 5, 2, &noName));
    EXPECT_TRUE(host.StartDocRaw(h, kPrinter, 5, 3, nullptr));
    EXPECT_TRUE(host.EndDoc(h));
    EXPECT_EQ(PmDouble_CallCount(PM_STARTDOC), 0u);
    EXPECT_EQ(PmDouble_CallCount(PM_ENDDOC), 0u);
    EXPECT_TRUE(FakeSpoolEjectedJobs().empty());
    // A level 1 call is always a document.
    EXPECT_TRUE(host.PrintJob(h, kPrinter, 6, L"real", "x"));
    EXPECT_TRUE(host.ClosePort(h));
    EXPECT_EQ(FakeSpoolEjectedJobs(), std::vector<DWORD>{6});
}

TEST_F(DocPath, PortMonitorStartFailureFailsOnlyNonUsbPorts) {
    AddPrinter(L"LPT3:");
    HANDLE lpt = nullptr, usb = nullptr;
    ASSERT_TRUE(host.OpenPort(L"LPT3:", kPrinter, &lpt));
    PmDouble_FailNext(PM_STARTDOC, 1, ERROR_NOT_READY);
    SetLastError(0);
    EXPECT_FALSE(host.StartDoc(lpt, kPrinter, 7));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_READY);
    EXPECT_TRUE(host.PrintJob(lpt, kPrinter, 8, L"next", "fine")) << "the failed start left no document open";

    ASSERT_TRUE(host.OpenPort(L"USB003", kPrinter, &usb));
    PmDouble_FailNext(PM_STARTDOC, 1, ERROR_GEN_FAILURE);
    EXPECT_TRUE(host.StartDoc(usb, kPrinter, 9)) << "USB ports go on after a refused start";
    EXPECT_TRUE(host.EndDoc(usb));
    EXPECT_TRUE(host.ClosePort(lpt));
    EXPECT_TRUE(host.ClosePort(usb));
}

TEST_F(DocPath, UsbPortsGetTheirTimeOutsAfterEachStart) {
    AddPrinter(L"USB004");
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"USB004", kPrinter, &h));
    ASSERT_TRUE(host.PrintJob(h, kPrinter, 1, L"doc", "abc"));
    auto calls = PmDouble_Calls(PM_SETTIMEOUTS);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(calls[0].timeouts.ReadTotalTimeoutMultiplier, 0xFFFFFFFFu);
    EXPECT_EQ(calls[0].timeouts.ReadTotalTimeoutConstant, 10u);
    EXPECT_EQ(calls[0].timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(calls[0].timeouts.WriteTotalTimeoutConstant, 10000u);
    ASSERT_TRUE(host.ClosePort(h));
}

TEST_F(DocPath, NonUsbPortsGetReadTimeOutsAndReadsUseTheirOwnDocument) {
    AddPrinter(L"COM3:");
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"COM3:", kPrinter, &h));
    ASSERT_TRUE(host.StartDoc(h, kPrinter, 2));
    auto t = PmDouble_Calls(PM_SETTIMEOUTS);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].timeouts.ReadIntervalTimeout, 10u);
    EXPECT_EQ(t[0].timeouts.ReadTotalTimeoutConstant, 100u);

    // A read inside the job's document still opens and closes one of its own.
    PmDouble_QueueRead("@PJL USTATUS");
    char buf[64] = {};
    DWORD got = 0;
    ASSERT_TRUE(host.Read(h, buf, sizeof(buf), &got));
    EXPECT_EQ(std::string(buf, got), "@PJL USTATUS");
    auto starts = PmDouble_Calls(PM_STARTDOC);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1].docName, L"VJLMON Doc");
    EXPECT_EQ(starts[1].level, 3u);
    EXPECT_EQ(starts[1].jobId, 0xFFFFFFFFu);
    EXPECT_EQ(PmDouble_CallCount(PM_ENDDOC), 1u);

    PmDouble_FailNext(PM_STARTDOC, 1, ERROR_ACCESS_DENIED);
    SetLastError(0);
    EXPECT_FALSE(host.Read(h, buf, sizeof(buf), &got));
    EXPECT_EQ(GetLastError(), 170u);
    EXPECT_TRUE(host.EndDoc(h));
    EXPECT_TRUE(host.ClosePort(h));
}

TEST_F(DocPath, PartialWritesAreReportedAsTheyCame) {
    AddPrinter(L"USB005");
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"USB005", kPrinter, &h));
    ASSERT_TRUE(host.StartDoc(h, kPrinter, 3));
    PmDouble_ShortWrites(100, 1);
    std::string data(250, 'q');
    DWORD written = 0;
    ASSERT_TRUE(host.Write(h, data.data(), 250, &written));
    EXPECT_EQ(written, 100u);
    PmDouble_FailNext(PM_WRITE, 1, 10054);
    SetLastError(0);
    EXPECT_FALSE(host.Write(h, data.data(), 150, &written));
    EXPECT_EQ(GetLastError(), 10054u);
    EXPECT_TRUE(host.EndDoc(h));
    EXPECT_TRUE(host.ClosePort(h));
}

}  // namespace
