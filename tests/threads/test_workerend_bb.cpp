// The end of a port's refresh thread, through the DLL: a document or a
// "Wake Up" that arrives while the thread is on its way out, and the jobs a
// stopped thread leaves in the queue.
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
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kDeskA[] = L"End Desk A";
constexpr wchar_t kDeskB[] = L"End Desk B";
const std::string kStart = "REFRESH:UstatusThread2 -START-";
const std::string kEnd2 = "REFRESH:UstatusThread2 --END@2--";
const std::string kSleep = "REFRESH:UstatusThread2 -Sleep[";
const std::string kStatusOff = "\x1b%-12345X@PJL USTATUSOFF\r\n\x1b%-12345X";

bool Eventually(const std::function<bool()>& cond) {
    for (int i = 0; i < 600; ++i) {
        if (cond()) return true;
        Sleep(50);
    }
    return cond();
}

size_t Count(const std::string& all, const std::string& part) {
    size_t n = 0;
    for (size_t at = all.find(part); at != std::string::npos; at = all.find(part, at + 1)) ++n;
    return n;
}

std::string Jcid(DWORD spoolId) {
    std::string jcid = "WORKEREND" + std::to_string(spoolId);
    jcid.resize(45, 'W');
    return jcid;
}

// Two printers share a maker's TCP/IP port (its printer is told to stop its
// unsolicited status when the thread ends). The printer keeps every job
// pending, so that a job leaves the queue only when something releases it.
class WorkerEnd : public ::testing::Test {
protected:
    void Begin(const char* address) {
        address_ = address;
        std::wstring wide(address_.begin(), address_.end());
        port_ = L"IP_" + wide;
        printer = std::make_unique<SimPrinter>(address_);
        ASSERT_TRUE(printer->Start({"--pending-ms", "600000"})) << printer->error;
        PmDouble_Reset();
        FakeSpool_Reset();
        SrmDouble_Reset();
        dpuPort = std::make_unique<DpuPort>(port_.c_str(), wide.c_str());
        PmDouble_SetPortTarget(port_.c_str(), address_.c_str());
        FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
        for (const wchar_t* p : {kDeskA, kDeskB})
            FakeSpool_AddPrinter(p, kServedDriver, port_.c_str(), PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
        wchar_t dir[MAX_PATH];
        GetWindowsDirectoryW(dir, MAX_PATH);
        // The refresh thread's lines (0x2), the queries' (0x2000) and the default ones.
        WritePrivateProfileStringW(L"VEKTL7700", L"MAGIC", std::to_wstring(0x2003).c_str(),
                                   (std::wstring(dir) + L"\\VEKLMLOG.INI").c_str());
        // The trace follows the port's printer name, which moves between the two.
        files_ = {trace.FileFor(kDeskA), trace.FileFor(kDeskB)};
        ASSERT_TRUE(host.Load());
        ASSERT_NE(host.Initialize(), nullptr);
        ASSERT_TRUE(host.OpenPort(port_.c_str(), kDeskA, &h));
    }
    void TearDown() override {
        if (h) {
            EXPECT_TRUE(host.ClosePort(h));
        }
        if (printer) printer->Stop();
    }
    DWORD Ask(const wchar_t* name) {
        DWORD answer = 0xAAAAAAAA, returned = 0;
        host.GetPrinterData(h, 0, name, nullptr, 0, &answer, sizeof(answer), &returned);
        return answer;
    }
    size_t CountLines(const std::string& text) {
        size_t n = 0;
        for (const auto& f : files_) {
            auto lines = TraceOnForTest::Texts(f);
            n += static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
        }
        return n;
    }
    size_t CountPrefix(const std::string& prefix) {
        size_t n = 0;
        for (const auto& f : files_)
            for (const auto& l : TraceOnForTest::Texts(f)) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    // The LAST_PAGE_EJECTED notices of a job, by the printer of the handle each went through.
    std::vector<std::wstring> Ejections(DWORD jobId) {
        std::vector<std::wstring> v;
        for (const auto& r : FakeSpoolSetJobLog())
            if (r.jobId == jobId && r.command == JOB_CONTROL_LAST_PAGE_EJECTED) v.push_back(r.printer);
        return v;
    }
    DWORD StartJob(const wchar_t* printerName, DWORD spoolId) {
        DWORD job = FakeSpool_AddJob(printerName, spoolId, 0, L"end", L"ana", 1);
        EXPECT_TRUE(host.StartDoc(h, printerName, job, L"end"));
        return job;
    }
    void WriteJob(DWORD spoolId) {
        const std::string uel = "\x1b%-12345X";
        EXPECT_TRUE(host.WriteAll(h, uel + "@PJL JOB NAME=\"" + std::string(24, 'N') + "\" @JCID=\"" + Jcid(spoolId) +
                                         "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\npage" + uel));
    }
    DWORD PrintJob(const wchar_t* printerName, DWORD spoolId) {
        DWORD job = StartJob(printerName, spoolId);
        WriteJob(spoolId);
        EXPECT_TRUE(host.EndDoc(h));
        return job;
    }
    // A "Suspend" on a thread of its own: the refresh thread, asleep with a
    // job queued, ends and sends the status-off sequence, whose write the
    // port monitor holds. Returns once the write is held.
    void SuspendIntoAHeldStatusOff() {
        ASSERT_TRUE(Eventually([&] { return CountPrefix(kSleep) >= 1; })) << "the thread follows the job and sleeps";
        PmDouble_HoldWrites();
        suspend_ = std::thread([this] { suspendAnswer_ = Ask(L"Suspend"); });
        ASSERT_TRUE(PmDouble_WaitWriteHeld(30000)) << "the ending thread writes the status-off sequence";
    }
    // Once the write is let go, the thread either ends or serves again from
    // its start.
    void ReleaseTheStatusOff() {
        PmDouble_ReleaseWrites();
        suspend_.join();
        EXPECT_EQ(suspendAnswer_, 0u);
        ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1 || CountLines(kStart) == 2; }))
            << "the thread neither ended nor served again; its trace ends:\n"
            << TraceTail(60);
    }
    // The last lines of the port's trace, for a failure to show where the
    // thread stands.
    std::string TraceTail(size_t n) {
        std::string out;
        for (const auto& f : files_) {
            auto lines = TraceOnForTest::Lines(f);
            for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i) out += lines[i] + "\n";
        }
        return out;
    }

    ServedModelKeys keys{"End Desk A", "End Desk B"};
    ShortPolling polling{10000};   // a sleeping thread stays asleep while a test prepares its next step
    TraceOnForTest trace;
    SpoolHost host;
    std::unique_ptr<SimPrinter> printer;
    std::unique_ptr<DpuPort> dpuPort;
    HANDLE h = nullptr;
    std::string address_;
    std::wstring port_;
    std::vector<std::wstring> files_;
    std::thread suspend_;
    DWORD suspendAnswer_ = 0xAAAAAAAA;
};

// The status-off write gives the spooler-access right back: a document
// that starts meanwhile keeps its port document, its data and its thread.
TEST_F(WorkerEnd, ADocumentStartingDuringTheStatusOffKeepsItsThreadAndItsDocument) {
    Begin("127.21.2.1");
    DWORD first = PrintJob(kDeskA, 71);
    SuspendIntoAHeldStatusOff();
    DWORD second = StartJob(kDeskA, 72);
    ReleaseTheStatusOff();
    EXPECT_EQ(CountLines(kEnd2), 0u) << "the thread carries on for the new document; its trace ends:\n"
                                      << TraceTail(60);

    WriteJob(72);
    EXPECT_TRUE(host.EndDoc(h));
    auto docs = PmDouble_Documents();
    ASSERT_FALSE(docs.empty());
    EXPECT_NE(docs.back().find(Jcid(72)), std::string::npos) << "the job's data went out inside its own document";
    EXPECT_EQ(Count(PmDouble_AllWritten(), kStatusOff), 1u);
    EXPECT_EQ(Ejections(first).size(), 1u) << "released by the suspend";
    EXPECT_TRUE(Ejections(second).empty()) << "followed on the printer, not released at its end";

    EXPECT_EQ(Ask(L"Suspend"), 0u);
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
    EXPECT_EQ(Ejections(second).size(), 1u);
    EXPECT_EQ(Ejections(first).size(), 1u);
}

// A "Wake Up" in the same window is not lost: it is answered 0 and keeps
// the thread until "Stop Polling".
TEST_F(WorkerEnd, AWakeUpDuringTheStatusOffKeepsTheThread) {
    Begin("127.21.2.2");
    DWORD first = PrintJob(kDeskA, 73);
    SuspendIntoAHeldStatusOff();
    EXPECT_EQ(Ask(L"Wake Up"), 0u);
    ReleaseTheStatusOff();
    EXPECT_EQ(CountLines(kEnd2), 0u) << "the woken thread carries on; its trace ends:\n" << TraceTail(60);
    EXPECT_EQ(Ask(L"Stop Polling"), 0u) << "the wake is still in force";
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; })) << "and ends once it is stopped";
    EXPECT_EQ(Ejections(first).size(), 1u);
    EXPECT_EQ(Ask(L"Stop Polling"), static_cast<DWORD>(-19));
}

// A notification that stops the thread (the printer deleted, the status
// service restarted, the printer moved to another port, its manager shut
// down) releases every queued job once, each through its own printer.
enum class Stop { DelPrn, StartStatus, PortMoved, TerminateManager };

class StoppedWorker : public WorkerEnd, public ::testing::WithParamInterface<Stop> {};

TEST_P(StoppedWorker, ReleasesEachQueuedJobOnceThroughItsOwnPrinter) {
    const Stop kind = GetParam();
    Begin(("127.21.2." + std::to_string(11 + static_cast<int>(kind))).c_str());
    DWORD b = PrintJob(kDeskB, 81);
    DWORD a = PrintJob(kDeskA, 82);
    ASSERT_TRUE(Eventually([&] { return CountPrefix(kSleep) >= 1; })) << "the thread follows the jobs";
    ASSERT_TRUE(Eventually([&] { return SrmDouble_CallCount("SetNotificationEventExA") >= 2; }))
        << "both printers' managers are watched";
    ASSERT_TRUE(Ejections(a).empty() && Ejections(b).empty()) << "the printer still holds both jobs";

    switch (kind) {
    case Stop::DelPrn: {
        HANDLE e = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"VKLVJPPWD:DEL_PRN:End Desk A");
        ASSERT_NE(e, nullptr);
        SetEvent(e);
        CloseHandle(e);
        break;
    }
    case Stop::StartStatus: {
        HANDLE e = CreateEventW(nullptr, FALSE, FALSE, L"Global\\VKLVJPSDB:START_STATUS");
        ASSERT_NE(e, nullptr);
        SetEvent(e);
        CloseHandle(e);
        break;
    }
    case Stop::PortMoved: ASSERT_TRUE(SrmDouble_SetPort(kDeskA, 1, L"IP_ELSEWHERE", L"")); break;
    case Stop::TerminateManager: ASSERT_TRUE(SrmDouble_SetDword(kDeskA, "TerminateManager", 1)); break;
    }
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; })) << "the notification stops the thread";
    EXPECT_EQ(Ejections(a), std::vector<std::wstring>{kDeskA});
    EXPECT_EQ(Ejections(b), std::vector<std::wstring>{kDeskB});
}
INSTANTIATE_TEST_SUITE_P(Notifications, StoppedWorker,
                         ::testing::Values(Stop::DelPrn, Stop::StartStatus, Stop::PortMoved, Stop::TerminateManager),
                         [](const ::testing::TestParamInfo<Stop>& i) {
                             switch (i.param) {
                             case Stop::DelPrn: return std::string("PrinterDeleted");
                             case Stop::StartStatus: return std::string("StatusServiceRestarted");
                             case Stop::PortMoved: return std::string("PrinterMoved");
                             default: return std::string("ManagerTerminated");
                             }
                         });

}  // namespace
