// The suite's printer-data commands through the DLL: waking, stopping and
// suspending the refresh thread of a port whose simulated printer answers,
// refreshing single variables, and a cancel on a USB port whose writes fail.
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "spoolports.h"
#include "srmdouble.h"
#include "support/served_model.h"
#include "support/simprinter.h"
#include "../monitor/trace_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kPrinter[] = L"Query Desk";
constexpr DWORD kRefused = static_cast<DWORD>(-19);
constexpr DWORD kBusy = static_cast<DWORD>(-38);
const std::string kEnd2 = "REFRESH:UstatusThread2 --END@2--";
const std::string kSleep = "REFRESH:UstatusThread2 -Sleep[";
const std::string kWakeup = "REFRESH:UstatusThread2 -WAKEUP-";
const std::string kRefreshStart = "REFRESH:RefreshStatus -START-";
const std::string kStatusOff = "\x1b%-12345X@PJL USTATUSOFF\r\n\x1b%-12345X";

bool Eventually(const std::function<bool()>& cond) {
    for (int i = 0; i < 600; ++i) {
        if (cond()) return true;
        Sleep(50);
    }
    return cond();
}

struct Reply {
    BOOL result;
    DWORD error;
    DWORD answer;
    DWORD returned;
};

size_t Count(const std::string& all, const std::string& part) {
    size_t n = 0;
    for (size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + 1)) ++n;
    return n;
}

class Queries : public ::testing::Test {
protected:
    // A Standard TCP/IP port unless `dpu`; the polling interval is the
    // longest the monitor takes, so that a sleeping thread stays asleep
    // while a test prepares the next step.
    void Begin(const char* address, bool dpu = false) {
        address_ = address;
        std::wstring wide(address_.begin(), address_.end());
        port_ = L"IP_" + wide;
        printer = std::make_unique<SimPrinter>(address_);
        ASSERT_TRUE(printer->Start({"--pending-ms", "0", "--page-ms", "10"})) << printer->error;
        PmDouble_Reset();
        FakeSpool_Reset();
        SrmDouble_Reset();
        if (dpu)
            dpuPort = std::make_unique<DpuPort>(port_.c_str(), wide.c_str());
        else
            AddStandardTcpPort(port_.c_str(), wide.c_str());
        PmDouble_SetPortTarget(port_.c_str(), address_.c_str());
        FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
        FakeSpool_AddPrinter(kPrinter, kServedDriver, port_.c_str(), PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
        EnableTrace();
        ASSERT_TRUE(host.Load());
        ASSERT_NE(host.Initialize(), nullptr);
        ASSERT_TRUE(host.OpenPort(port_.c_str(), kPrinter, &h));
    }
    void EnableTrace() {
        wchar_t dir[MAX_PATH];
        GetWindowsDirectoryW(dir, MAX_PATH);
        // The refresh thread's lines (0x2), the queries' (0x2000) and the default ones.
        WritePrivateProfileStringW(L"VEKTL7700", L"MAGIC", std::to_wstring(0x2003).c_str(),
                                   (std::wstring(dir) + L"\\VEKLMLOG.INI").c_str());
        traceFile_ = trace.FileFor(kPrinter);
    }
    void TearDown() override {
        if (h) {
            EXPECT_TRUE(host.ClosePort(h));
        }
        if (printer) printer->Stop();
    }
    Reply Ask(const std::wstring& name) {
        Reply r{TRUE, 0, 0xAAAAAAAA, 0};
        SetLastError(0);
        r.result = host.GetPrinterData(h, 0, name.c_str(), nullptr, 0, &r.answer, sizeof(r.answer), &r.returned);
        r.error = GetLastError();
        return r;
    }
    DWORD Answer(const std::wstring& name) {
        Reply r = Ask(name);
        EXPECT_FALSE(r.result) << "a command call always fails";
        EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(r.returned, 4u);
        return r.answer;
    }
    std::vector<std::string> Lines() { return TraceOnForTest::Texts(traceFile_); }
    size_t CountLines(const std::string& text) {
        auto lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
    }
    size_t CountPrefix(const std::string& prefix) {
        size_t n = 0;
        for (const auto& l : Lines()) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    DWORD Ejections(DWORD jobId) {
        DWORD n = 0;
        for (const auto& r : FakeSpoolSetJobLog())
            if (r.jobId == jobId && r.command == JOB_CONTROL_LAST_PAGE_EJECTED) ++n;
        return n;
    }
    DWORD StartJob(DWORD spoolId) {
        DWORD job = FakeSpool_AddJob(kPrinter, spoolId, 0, L"query", L"ana", 1);
        EXPECT_TRUE(host.StartDoc(h, kPrinter, job, L"query"));
        const std::string uel = "\x1b%-12345X";
        std::string jcid = "QUERY" + std::to_string(spoolId);
        jcid.resize(45, 'Q');
        EXPECT_TRUE(host.WriteAll(h, uel + "@PJL JOB NAME=\"" + std::string(24, 'N') + "\" @JCID=\"" + jcid +
                                         "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\npage" + uel));
        return job;
    }
    std::vector<std::string> UpdatedNames() {
        std::vector<SrmDoubleUpdateRecord> all(SrmDouble_GetUpdateLog(nullptr, 0));
        all.resize(SrmDouble_GetUpdateLog(all.data(), static_cast<DWORD>(all.size())));
        std::vector<std::string> out;
        for (const auto& r : all) out.push_back(r.name);
        return out;
    }

    ServedModelKeys keys{"Query Desk"};
    ShortPolling polling{10000};
    TraceOnForTest trace;
    SpoolHost host;
    std::unique_ptr<SimPrinter> printer;
    std::unique_ptr<DpuPort> dpuPort;
    HANDLE h = nullptr;
    std::string address_;
    std::wstring port_, traceFile_;
};

TEST_F(Queries, WakeUpPollsAnIdlePortUntilStopPolling) {
    Begin("127.0.13.1");
    EXPECT_EQ(Answer(L"IsWakeup"), 330u);
    EXPECT_EQ(Answer(L"Stop Polling"), kRefused) << "nothing to stop";
    EXPECT_EQ(printer->CountRequests("get"), 0u) << "an idle port does not poll";

    EXPECT_EQ(Answer(L"Wake Up"), 0u);
    ASSERT_TRUE(Eventually([&] { return printer->CountRequests("get") > 0; })) << "the woken thread polls";
    EXPECT_EQ(Answer(L"Wake Up"), kRefused) << "already awake";
    EXPECT_EQ(Answer(L"IsWakeup"), 330u);
    // Status and errors come with the thread's own cycles.
    ASSERT_EQ(SrmDouble_SetTextA(kPrinter, "RefreshStatus", "ErrCoverOpen;IconState"), TRUE);
    EXPECT_EQ(Answer(L"Refresh:Query Desk"), kRefused);
    EXPECT_EQ(CountLines("REFRESH:RefreshStatus -EXIT @5-"), 1u);

    EXPECT_EQ(Answer(L"Stop Polling"), 0u);
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; })) << "nothing holds the thread any more";
    EXPECT_EQ(Answer(L"Stop Polling"), kRefused);
    size_t sleeps = CountPrefix(kSleep);
    EXPECT_EQ(Answer(L"Wake Up"), 0u) << "a stopped thread can be woken again";
    ASSERT_TRUE(Eventually([&] { return CountPrefix(kSleep) > sleeps; }));
    EXPECT_EQ(Answer(L"Stop Polling"), 0u);
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 2; }));
}

TEST_F(Queries, CommandsWithoutRoomForTheAnswerLeaveTheThreadAlone) {
    Begin("127.0.13.2");
    DWORD small = 0xAAAAAAAA, returned = 0;
    SetLastError(0);
    EXPECT_FALSE(host.GetPrinterData(h, 0, L"Wake Up", nullptr, 0, &small, 2, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(small, 0xAAAAAAAAu);
    EXPECT_EQ(Answer(L"Stop Polling"), kRefused) << "the short request did not wake the poller";
    DWORD untouched = 0x55;
    EXPECT_FALSE(host.GetPrinterData(h, 0, L"Something else", nullptr, 0, &untouched, 4, &returned));
    EXPECT_EQ(untouched, 0x55u);
    EXPECT_EQ(Answer(L"Suspend"), 0u) << "nothing runs: nothing to do";
}

// A thread asleep with two finished jobs still queued: a suspend during a
// document is dropped; one after it ends the thread and releases every job.
// Only a DPU port's printer is told to stop its unsolicited status.
class SuspendOn : public Queries, public ::testing::WithParamInterface<bool> {};

TEST_P(SuspendOn, SuspendReleasesQueuedJobs) {
    bool dpu = GetParam();
    Begin(dpu ? "127.0.13.5" : "127.0.13.3", dpu);
    DWORD first = StartJob(31);
    ASSERT_TRUE(Eventually([&] { return CountPrefix(kSleep) >= 1; })) << "the thread polled and sleeps";
    EXPECT_EQ(Answer(L"Suspend"), kRefused) << "a document is open";
    EXPECT_TRUE(host.EndDoc(h));
    DWORD second = StartJob(32);
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_EQ(CountLines(kWakeup), 0u) << "the thread slept through both jobs";
    EXPECT_EQ(Ejections(first), 0u);

    EXPECT_EQ(Answer(L"Suspend"), 0u);
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
    EXPECT_EQ(Ejections(first), 1u);
    EXPECT_EQ(Ejections(second), 1u);
    EXPECT_EQ(CountPrefix("REFRESH:SetJob[LAST_PAGE_EJECTED("), 2u);
    EXPECT_EQ(Count(PmDouble_AllWritten(), kStatusOff), dpu ? 1u : 0u);
}
INSTANTIATE_TEST_SUITE_P(Ports, SuspendOn, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Dpu" : "StandardTcp"; });

TEST_F(Queries, RefreshRepublishesOnlyTheListedExtStatusAndWaitsForTheDocument) {
    Begin("127.0.13.4");
    ASSERT_EQ(SrmDouble_SetTextA(kPrinter, "RefreshStatus", "PrinterExtStatus"), TRUE);
    EXPECT_EQ(Answer(L"Refresh:Query Desk"), 0u) << "binds the printer and republishes";
    EXPECT_EQ(Answer(L"Refresh:Nobody"), kRefused) << "no binding of that name";
    SrmDouble_ClearLogs();
    EXPECT_EQ(Answer(L"Refresh:Query Desk"), 0u);
    auto names = UpdatedNames();
    ASSERT_FALSE(names.empty());
    for (const auto& n : names) EXPECT_EQ(n, "PrinterExtStatus");
    EXPECT_EQ(CountLines("REFRESH:RefreshStatus  --END(PrinterExtStatus only)--"), 2u);
    EXPECT_EQ(printer->CountRequests("get"), 0u) << "no poll for that variable alone";

    // A list that needs the printer polls it once.
    ASSERT_EQ(SrmDouble_SetTextA(kPrinter, "RefreshStatus", "PrinterStatus;PrinterDisplay"), TRUE);
    EXPECT_EQ(Answer(L"Refresh:Query Desk"), 0u);
    EXPECT_EQ(CountLines("VJLMON:CheckDeviceId -START-"), 1u);
    EXPECT_EQ(CountLines("REFRESH:RefreshStatus  --END(STD BIDI)--"), 1u);

    StartJob(41);
    size_t started = CountLines(kRefreshStart);
    EXPECT_EQ(Answer(L"Refresh:Query Desk"), kBusy);
    EXPECT_EQ(CountLines(kRefreshStart), started) << "the manager is not asked during a document";
    EXPECT_TRUE(host.EndDoc(h));
}

// The driver's cancel codes during a document: the manager learns once that
// the job is being cancelled, and the port monitor gets the request.
class CancelCode : public Queries, public ::testing::WithParamInterface<DWORD> {};

TEST_P(CancelCode, TellsTheManagerTheJobIsCancelling) {
    constexpr DWORD kJobCancelling = 0x4;
    DWORD code = GetParam();
    Begin(code == 7 ? "127.0.11.34" : "127.0.11.35");
    StartJob(code == 7 ? 61 : 62);
    size_t mark = SrmDouble_GetUpdateLog(nullptr, 0);
    size_t controls = PmDouble_CallCount(PM_GETDATA);
    DWORD out = 0, got = 0;
    host.GetPrinterData(h, code, nullptr, nullptr, 0, &out, sizeof(out), &got);

    std::vector<SrmDoubleUpdateRecord> all(SrmDouble_GetUpdateLog(nullptr, 0));
    all.resize(SrmDouble_GetUpdateLog(all.data(), static_cast<DWORD>(all.size())));
    DWORD jobStatus = 0;
    size_t sent = 0;
    for (size_t i = mark; i < all.size(); ++i)
        if (std::string(all[i].name) == "JobStatus" && all[i].cbValue >= 4) {
            jobStatus = *reinterpret_cast<const DWORD*>(all[i].value);
            ++sent;
        }
    EXPECT_EQ(sent, 1u);
    EXPECT_EQ(jobStatus & kJobCancelling, kJobCancelling);
    auto calls = PmDouble_Calls(PM_GETDATA);
    ASSERT_EQ(calls.size(), controls + 1);
    EXPECT_EQ(calls.back().controlId, code);

    EXPECT_TRUE(host.EndDoc(h));
}
INSTANTIATE_TEST_SUITE_P(Codes, CancelCode, ::testing::Values(7u, 0x160008u),
                         [](const ::testing::TestParamInfo<DWORD>& i) {
                             return i.param == 7 ? std::string("Cancel") : std::string("ParallelSetInfo");
                         });

TEST(UsbCancel, ResendingTheTailStopsWhenThePortCloses) {
    PmDouble_Reset();
    FakeSpool_Reset();
    TraceOnForTest trace;
    wchar_t dir[MAX_PATH];
    GetWindowsDirectoryW(dir, MAX_PATH);
    WritePrivateProfileStringW(L"VEKTL7700", L"MAGIC", std::to_wstring(0x3003).c_str(),
                               (std::wstring(dir) + L"\\VEKLMLOG.INI").c_str());
    const std::wstring file = trace.FileFor(L"Usb Desk");
    FakeSpool_AddPrinter(L"Usb Desk", L"Some Driver", L"USB031", 0, L"winprint", 0);
    SpoolHost host;
    ASSERT_TRUE(host.Load());
    ASSERT_NE(host.Initialize(), nullptr);
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"USB031", L"Usb Desk", &h));
    ASSERT_TRUE(host.StartDoc(h, L"Usb Desk", 5));
    PmDouble_FailNext(PM_WRITE, 1000, ERROR_GEN_FAILURE);
    DWORD written = 0;
    host.Write(h, std::string(200, 'x').data(), 200, &written);
    size_t writes = PmDouble_CallCount(PM_WRITE);

    struct Call {
        SpoolHost* host;
        HANDLE h;
        BOOL result;
    } call{&host, h, TRUE};
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Call*>(p);
            DWORD out = 0, got = 0;
            c->result = c->host->GetPrinterData(c->h, 7, nullptr, nullptr, 0, &out, sizeof(out), &got);
            return 0;
        },
        &call, 0, nullptr);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(PmDouble_WaitForCalls(PM_WRITE, writes + 1, 30000)) << "the tail is offered again";
    EXPECT_EQ(PmDouble_Calls(PM_WRITE).back().cbRequested, 80u);
    EXPECT_TRUE(host.ClosePort(h));
    // The watchdog bounds this wait; the close, not the minute, ends the loop.
    EXPECT_EQ(WaitForSingleObject(t, 30000), WAIT_OBJECT_0);
    CloseHandle(t);
    EXPECT_FALSE(call.result);
    EXPECT_EQ(PmDouble_CallCount(PM_GETDATA), 0u) << "a closed port is not asked";
    auto lines = TraceOnForTest::Lines(file);
    size_t ends = 0;
    for (const auto& l : lines) ends += TraceOnForTest::Text(l) == "VJLMON:PJLMonGetPrinterDataFromPort -ENE@2-";
    EXPECT_EQ(ends, 1u);
}

// A suite's control request inside the port monitor (opening its own
// document there) when the spooler closes the port: the close waits for it
// before closing the port beneath, and a request that comes after the close
// began is refused without asking.
TEST(ControlDuringClose, TheCloseWaitsForARequestInsideAndRefusesNewOnes) {
    PmDouble_Reset();
    FakeSpool_Reset();
    TraceOnForTest trace;
    const std::wstring file = trace.FileFor(L"Gate Desk");
    FakeSpool_AddPrinter(L"Gate Desk", L"Some Driver", L"USB033", 0, L"winprint", 0);
    SpoolHost host;
    ASSERT_TRUE(host.Load());
    ASSERT_NE(host.Initialize(), nullptr);
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"USB033", L"Gate Desk", &h));

    auto closeStarted = [&] {
        for (const auto& l : TraceOnForTest::Lines(file))
            if (TraceOnForTest::Text(l) == "VJLMON:PJLMonClosePort -START-") return true;
        return false;
    };
    HANDLE inside = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<size_t> closesWhileInside{0};
    std::atomic<bool> held{false};
    PmDouble_SetHook(PM_STARTDOC, [&](const PmCall&) {
        if (held.exchange(true)) return;   // the first request only
        SetEvent(inside);
        // Held until the close has begun, then long enough for a close that
        // does not wait to reach the port monitor.
        for (int i = 0; i < 600 && !closeStarted(); ++i) Sleep(50);
        for (int i = 0; i < 40 && PmDouble_CallCount(PM_CLOSE) == 0; ++i) Sleep(50);
        closesWhileInside = PmDouble_CallCount(PM_CLOSE);
    });

    struct Call {
        SpoolHost* host;
        HANDLE h;
        BOOL result;
    } request{&host, h, FALSE}, close{&host, h, FALSE};
    HANDLE asker = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Call*>(p);
            DWORD out[64] = {}, got = 0;
            c->result = c->host->GetPrinterData(c->h, 0x16000C, nullptr, nullptr, 0, out, sizeof(out), &got);
            return 0;
        },
        &request, 0, nullptr);
    ASSERT_NE(asker, nullptr);
    ASSERT_EQ(WaitForSingleObject(inside, 30000), WAIT_OBJECT_0) << "the request reached the port monitor";
    HANDLE closer = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Call*>(p);
            c->result = c->host->ClosePort(c->h);
            return 0;
        },
        &close, 0, nullptr);
    ASSERT_NE(closer, nullptr);
    for (int i = 0; i < 600 && !closeStarted(); ++i) Sleep(50);
    ASSERT_TRUE(closeStarted());

    // The close marks the port just after its first trace line: a request
    // may still slip in before the mark, none after it.
    bool refused = false;
    size_t asked = 0, askedAfter = 0;
    DWORD lastError = 0;
    for (int i = 0; i < 100 && !refused; ++i) {
        asked = PmDouble_Calls().size();
        DWORD out[64] = {}, got = 0;
        SetLastError(0);
        BOOL ok = host.GetPrinterData(h, 0x16000C, nullptr, nullptr, 0, out, sizeof(out), &got);
        lastError = GetLastError();
        refused = !ok && lastError == ERROR_OPERATION_ABORTED;
        askedAfter = PmDouble_Calls().size();
    }
    ASSERT_TRUE(refused) << "a request after the close began is refused; the last ended with " << lastError;
    EXPECT_EQ(askedAfter, asked) << "without asking the port monitor";

    EXPECT_EQ(WaitForSingleObject(asker, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(closer, 60000), WAIT_OBJECT_0);
    PmDouble_SetHook(PM_STARTDOC, nullptr);
    EXPECT_TRUE(close.result);
    EXPECT_EQ(closesWhileInside.load(), 0u) << "the port beneath was closed under the request";
    EXPECT_EQ(PmDouble_CallCount(PM_CLOSE), 1u);
    EXPECT_EQ(PmDouble_BadHandleCount(), 0u);
    CloseHandle(asker);
    CloseHandle(closer);
    CloseHandle(inside);
}

}  // namespace
