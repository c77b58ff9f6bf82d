// The test spooler must hold to the spooler's buffer protocol, or monitor
// tests pass against behaviour Windows never shows.
#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "fakespool.h"

namespace {

const wchar_t kPrinter[] = L"VEK Tessaroline 7700 (LV)";
const wchar_t kDriver[] = L"VEK Tessaroline 7700";
const wchar_t kPort[] = L"IP_127.0.0.5";

class FakeSpoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeSpool_Reset();
        FakeSpool_AddDriver(kDriver, L"VJL Language Monitor");
        FakeSpool_AddPort(kPort, L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
        FakeSpool_AddPort(L"LPT1:", L"Local Port", PORT_TYPE_WRITE, L"Local Port");
        FakeSpool_AddPort(L"USB001", L"USB Monitor", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Virtual printer port for USB");
        FakeSpool_AddPrinter(kPrinter, kDriver, kPort, PRINTER_ATTRIBUTE_LOCAL, L"winprint", 0);
    }
    void TearDown() override { EXPECT_EQ(FakeSpool_BadHandleCount(), 0u); }

    HANDLE Open(const wchar_t* name) {
        HANDLE h = nullptr;
        EXPECT_TRUE(OpenPrinterW(const_cast<LPWSTR>(name), &h, nullptr)) << GetLastError();
        return h;
    }
};

// Every string pointer of a record lies in the caller's buffer, after the
// fixed records and inside the size the spooler asked for.
void ExpectInside(const BYTE* buf, DWORD cb, size_t fixedEnd, const wchar_t* s) {
    ASSERT_NE(s, nullptr);
    const BYTE* p = reinterpret_cast<const BYTE*>(s);
    EXPECT_GE(p, buf + fixedEnd);
    EXPECT_LE(p + (wcslen(s) + 1) * sizeof(wchar_t), buf + cb);
}

TEST_F(FakeSpoolTest, SizeQueryThenExactBufferPacksStringsAtTheEnd) {
    HANDLE h = Open(kPrinter);
    DWORD needed = 0;
    SetLastError(0);
    EXPECT_FALSE(GetPrinterW(h, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(needed, sizeof(PRINTER_INFO_2W));

    // One byte short still fails and still reports the size.
    std::vector<BYTE> small(needed - 1);
    DWORD again = 0;
    EXPECT_FALSE(GetPrinterW(h, 2, small.data(), needed - 1, &again));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(again, needed);

    // A larger buffer: strings sit at its very end, not right after the record.
    std::vector<BYTE> buf(needed + 64, 0xCC);
    ASSERT_TRUE(GetPrinterW(h, 2, buf.data(), (DWORD)buf.size(), &again));
    auto* pi = reinterpret_cast<PRINTER_INFO_2W*>(buf.data());
    EXPECT_STREQ(pi->pPrinterName, kPrinter);
    EXPECT_STREQ(pi->pPortName, kPort);
    EXPECT_STREQ(pi->pDriverName, kDriver);
    EXPECT_STREQ(pi->pPrintProcessor, L"winprint");
    const BYTE* lowest = buf.data() + buf.size();
    for (const wchar_t* s : {pi->pPrinterName, pi->pPortName, pi->pDriverName, pi->pPrintProcessor}) {
        ExpectInside(buf.data(), (DWORD)buf.size(), sizeof(PRINTER_INFO_2W), s);
        lowest = std::min(lowest, reinterpret_cast<const BYTE*>(s));
    }
    EXPECT_GE(lowest, buf.data() + 64 + sizeof(PRINTER_INFO_2W));
    EXPECT_EQ(buf[sizeof(PRINTER_INFO_2W)], 0xCC);   // the gap is left alone
    EXPECT_TRUE(ClosePrinter(h));
}

TEST_F(FakeSpoolTest, EnumPortsAndPrintersPackAllRecordsBeforeTheStrings) {
    DWORD needed = 0, count = 99;
    EXPECT_FALSE(EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(count, 0u);
    std::vector<BYTE> buf(needed);
    ASSERT_TRUE(EnumPortsW(nullptr, 2, buf.data(), needed, &needed, &count));
    ASSERT_EQ(count, 3u);
    auto* pi = reinterpret_cast<PORT_INFO_2W*>(buf.data());
    EXPECT_STREQ(pi[0].pPortName, kPort);
    EXPECT_STREQ(pi[0].pMonitorName, L"TCPMON.DLL");
    EXPECT_EQ(pi[1].fPortType, (DWORD)PORT_TYPE_WRITE);
    EXPECT_STREQ(pi[2].pDescription, L"Virtual printer port for USB");
    for (DWORD i = 0; i < count; i++)
        for (const wchar_t* s : {pi[i].pPortName, pi[i].pMonitorName, pi[i].pDescription})
            ExpectInside(buf.data(), needed, 3 * sizeof(PORT_INFO_2W), s);

    // Printers: level 5 carries the port; an empty list is a success with no buffer.
    ASSERT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 5, nullptr, 0, &needed, &count));
    std::vector<BYTE> pbuf(needed);
    ASSERT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 5, pbuf.data(), needed, &needed, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(reinterpret_cast<PRINTER_INFO_5W*>(pbuf.data())->pPortName, kPort);
    FakeSpool_RemovePrinter(kPrinter);
    EXPECT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(count, 0u);
}

TEST_F(FakeSpoolTest, JobsDriverAndXcvAnswerAsTheSpoolerDoes) {
    DWORD id = FakeSpool_AddJob(kPrinter, 12, JOB_STATUS_PRINTING, L"Report.pdf", L"alice", 3);
    ASSERT_EQ(id, 12u);
    FakeSpool_AddJob(kPrinter, 0, JOB_STATUS_SPOOLING, L"Second", L"bob", 1);
    HANDLE h = Open(kPrinter);

    // The monitor's pattern: a 4-byte buffer to learn the size.
    BYTE tiny[4];
    DWORD needed = 0;
    EXPECT_FALSE(GetJobW(h, 12, 1, tiny, sizeof tiny, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buf(needed);
    ASSERT_TRUE(GetJobW(h, 12, 1, buf.data(), needed, &needed));
    auto* ji = reinterpret_cast<JOB_INFO_1W*>(buf.data());
    EXPECT_EQ(ji->JobId, 12u);
    EXPECT_STREQ(ji->pDocument, L"Report.pdf");
    EXPECT_STREQ(ji->pUserName, L"alice");
    EXPECT_EQ(ji->Status, (DWORD)JOB_STATUS_PRINTING);
    EXPECT_FALSE(GetJobW(h, 999, 1, buf.data(), needed, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    // Scripted answers for a job still queued: no such job, then job id 0.
    ASSERT_TRUE(FakeSpool_SetJobAnswer(kPrinter, 12, FAKESPOOL_JOB_ANSWER_NO_JOB));
    EXPECT_FALSE(GetJobW(h, 12, 1, buf.data(), needed, &needed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    FakeSpool_SetJobAnswer(kPrinter, 12, FAKESPOOL_JOB_ANSWER_ID_ZERO);
    ASSERT_TRUE(GetJobW(h, 12, 1, buf.data(), needed, &needed));
    EXPECT_EQ(ji->JobId, 0u);
    EXPECT_STREQ(ji->pDocument, L"Report.pdf");
    EXPECT_EQ(FakeSpool_JobCount(kPrinter), 2u);
    FakeSpool_SetJobAnswer(kPrinter, 12, FAKESPOOL_JOB_ANSWER_NORMAL);

    DWORD count = 0;
    EXPECT_FALSE(EnumJobsW(h, 0, 0xFFFFFFFF, 2, nullptr, 0, &needed, &count));
    std::vector<BYTE> jbuf(needed);
    ASSERT_TRUE(EnumJobsW(h, 0, 0xFFFFFFFF, 2, jbuf.data(), needed, &needed, &count));
    ASSERT_EQ(count, 2u);
    auto* j2 = reinterpret_cast<JOB_INFO_2W*>(jbuf.data());
    EXPECT_STREQ(j2[1].pDocument, L"Second");
    EXPECT_EQ(j2[1].Position, 2u);

    // Driver level 3: the monitor name; a driver without one gives a null pointer.
    EXPECT_FALSE(GetPrinterDriverW(h, nullptr, 3, nullptr, 0, &needed));
    std::vector<BYTE> dbuf(needed);
    ASSERT_TRUE(GetPrinterDriverW(h, nullptr, 3, dbuf.data(), needed, &needed));
    EXPECT_STREQ(reinterpret_cast<DRIVER_INFO_3W*>(dbuf.data())->pMonitorName, L"VJL Language Monitor");
    FakeSpool_AddDriver(kDriver, nullptr);
    ASSERT_FALSE(GetPrinterDriverW(h, nullptr, 3, nullptr, 0, &needed));
    dbuf.assign(needed, 0);
    ASSERT_TRUE(GetPrinterDriverW(h, nullptr, 3, dbuf.data(), needed, &needed));
    EXPECT_EQ(reinterpret_cast<DRIVER_INFO_3W*>(dbuf.data())->pMonitorName, nullptr);
    EXPECT_TRUE(ClosePrinter(h));

    // XcvData on ",XcvPort <port>": the call succeeds, the status says the rest.
    FakeSpool_SetXcvIPAddress(kPort, L"127.0.0.5");
    std::wstring xcvName = std::wstring(L",XcvPort ") + kPort;
    HANDLE x = Open(xcvName.c_str());
    wchar_t out[130] = {};
    DWORD status = 99;
    ASSERT_TRUE(XcvDataW(x, L"IPAddress", nullptr, 0, reinterpret_cast<BYTE*>(out), sizeof out, &needed, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_STREQ(out, L"127.0.0.5");
    ASSERT_TRUE(XcvDataW(x, L"IPAddress", nullptr, 0, reinterpret_cast<BYTE*>(out), 4, &needed, &status));
    EXPECT_EQ(status, (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(needed, sizeof(L"127.0.0.5"));
    EXPECT_TRUE(ClosePrinter(x));
}

TEST_F(FakeSpoolTest, HandlesAreTrackedAndUnknownNamesRefused) {
    HANDLE h = nullptr;
    SetLastError(0);
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(L"No Such Printer"), &h, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PRINTER_NAME);
    EXPECT_EQ(h, nullptr);
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(L",XcvPort COM9:"), &h, nullptr));

    HANDLE a = Open(kPrinter), b = Open(L"vek tessaroline 7700 (lv)");
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 2u);
    EXPECT_EQ(FakeSpool_OpenHandleCount(kPrinter), 2u);   // names match in any case
    EXPECT_EQ(FakeSpool_OpenHandleCount(L"LPT1:"), 0u);
    EXPECT_TRUE(ClosePrinter(a));
    EXPECT_TRUE(ClosePrinter(b));
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u);

    // A closed handle is refused and counted (TearDown expects zero, so take it back here).
    EXPECT_FALSE(ClosePrinter(a));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(FakeSpool_BadHandleCount(), 1u);
    FakeSpool_Reset();
}

// Printers and ports are found by name in any case after others come and
// go: removing one moves the rest, and a name given again in another case
// is the same printer, not a second one.
TEST_F(FakeSpoolTest, NamesAreFoundInAnyCaseAfterOthersComeAndGo) {
    FakeSpool_AddPrinter(L"Desk A", kDriver, L"LPT1:", PRINTER_ATTRIBUTE_LOCAL, L"winprint", 0);
    FakeSpool_AddPrinter(L"Desk B", kDriver, L"USB001", PRINTER_ATTRIBUTE_LOCAL, L"winprint", 0);
    EXPECT_TRUE(FakeSpool_RemovePrinter(L"DESK A"));
    EXPECT_FALSE(FakeSpool_RemovePrinter(L"Desk A"));
    EXPECT_TRUE(FakeSpool_RemovePort(L"lpt1:"));
    EXPECT_NE(FakeSpool_AddJob(L"desk b", 7, 0, L"doc", L"user", 1), 0u);
    EXPECT_EQ(FakeSpool_JobCount(L"DESK B"), 1u);
    EXPECT_EQ(FakeSpool_JobCount(kPrinter), 0u);
    FakeSpool_AddPrinter(L"DESK B", kDriver, L"USB001", PRINTER_ATTRIBUTE_LOCAL, L"winprint", 0);
    EXPECT_EQ(FakeSpool_JobCount(L"Desk B"), 1u) << "the same printer, its queue kept";

    HANDLE h = Open(L"desk b");
    BYTE buf[4096];
    DWORD needed = 0;
    ASSERT_TRUE(GetPrinterW(h, 2, buf, sizeof buf, &needed)) << GetLastError();
    EXPECT_STREQ(reinterpret_cast<PRINTER_INFO_2W*>(buf)->pPortName, L"USB001");
    EXPECT_TRUE(ClosePrinter(h));
    EXPECT_EQ(FakeSpool_OpenHandleCount(L"No Such Printer"), 0u);
    HANDLE x = nullptr;
    EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(L"Desk A"), &x, nullptr));
}

TEST_F(FakeSpoolTest, SetJobAndSetPortAreLoggedAndActOnTheQueue) {
    FakeSpool_AddJob(kPrinter, 7, JOB_STATUS_PRINTING, L"a", L"u", 1);
    FakeSpool_AddJob(kPrinter, 8, JOB_STATUS_PRINTING, L"b", L"u", 1);
    HANDLE h = Open(kPrinter);
    EXPECT_TRUE(SetJobW(h, 7, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED));
    EXPECT_EQ(FakeSpool_JobCount(kPrinter), 1u);
    JOB_INFO_1W info{};
    info.Status = JOB_STATUS_ERROR;
    info.pStatus = const_cast<LPWSTR>(L"Paper jam");
    EXPECT_TRUE(SetJobW(h, 8, 1, reinterpret_cast<BYTE*>(&info), 0));
    FakeSpool_KeepFinishedJobs(TRUE);
    EXPECT_TRUE(SetJobW(h, 8, 0, nullptr, JOB_CONTROL_DELETE));
    DWORD st = 0;
    ASSERT_TRUE(FakeSpool_GetJobStatus(kPrinter, 8, &st));
    EXPECT_EQ(st, (DWORD)(JOB_STATUS_ERROR | JOB_STATUS_DELETING | JOB_STATUS_DELETED));
    EXPECT_FALSE(SetJobW(h, 7, 0, nullptr, JOB_CONTROL_DELETE));   // already gone
    EXPECT_TRUE(ClosePrinter(h));

    auto log = FakeSpoolSetJobLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].command, 7u);
    EXPECT_STREQ(log[0].printer, kPrinter);
    EXPECT_TRUE(log[1].hasStatus);
    EXPECT_STREQ(log[1].statusText, L"Paper jam");
    EXPECT_EQ(log[2].command, 5u);
    EXPECT_FALSE(log[3].result);
    EXPECT_EQ(log[3].lastError, (DWORD)ERROR_INVALID_PARAMETER);

    PORT_INFO_3W pi{2, nullptr, PORT_STATUS_TYPE_ERROR};   // PORT_STATUS_PAPER_OUT... any code
    EXPECT_TRUE(SetPortW(nullptr, const_cast<LPWSTR>(kPort), 3, reinterpret_cast<BYTE*>(&pi)));
    EXPECT_FALSE(SetPortW(nullptr, const_cast<LPWSTR>(L"NUL:"), 3, reinterpret_cast<BYTE*>(&pi)));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_UNKNOWN_PORT);
    auto plog = FakeSpoolSetPortLog();
    ASSERT_EQ(plog.size(), 2u);
    EXPECT_EQ(plog[0].status, 2u);
    EXPECT_EQ(plog[0].severity, (DWORD)PORT_STATUS_TYPE_ERROR);
    EXPECT_FALSE(plog[0].hasText);
    EXPECT_GT(plog[0].seq, log[3].seq);   // one sequence across both logs
    DWORD status = 0, severity = 0;
    ASSERT_TRUE(FakeSpool_GetPortStatus(kPort, &status, &severity, nullptr, 0));
    EXPECT_EQ(status, 2u);
}

TEST_F(FakeSpoolTest, InjectedFailuresSkipThenFailThenPass) {
    FakeSpool_InjectFailure("OpenPrinterW", 1, 2, ERROR_NOT_ENOUGH_MEMORY);
    HANDLE h = Open(kPrinter);
    HANDLE x = nullptr;
    for (int i = 0; i < 2; i++) {
        SetLastError(0);
        EXPECT_FALSE(OpenPrinterW(const_cast<LPWSTR>(kPrinter), &x, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    }
    HANDLE y = Open(kPrinter);
    EXPECT_EQ(FakeSpool_CallCount("OpenPrinterW"), 4u);
    EXPECT_TRUE(ClosePrinter(h));
    EXPECT_TRUE(ClosePrinter(y));

    FakeSpool_FailNext("RevertToPrinterSelf", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(FakeSpool_NoteRevert(), nullptr);
    EXPECT_NE(FakeSpool_NoteRevert(), nullptr);
}

}  // namespace
