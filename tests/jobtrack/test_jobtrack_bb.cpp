// Jobs followed on the simulated printer through the DLL: a Standard TCP/IP
// port with the printer's manager bound and the refresh thread polling every
// second. The spooler is let go of each job once, when the printer has
// finished it, whatever the printer's job table shows or hides.
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
#include <set>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kPrinter[] = L"Track Desk";
const std::string kEnd2 = "REFRESH:UstatusThread2 --END@2--";
const std::string kRoundEnd = "REFRESH:ReadStatus2 -EXIT-";
const std::string kWalkEnd = "REFRESH:CheckJCID_SNMP_FD --END--";
const std::string kJobMib = "1.3.6.1.4.1.253.8.59";
const std::string kTakenOff = "VJLMON:OutJobQueue --END--";
constexpr int kCompleted = 17;

bool Eventually(const std::function<bool()>& cond, int tries = 600) {
    for (int i = 0; i < tries; ++i) {
        if (cond()) return true;
        Sleep(50);
    }
    return cond();
}

struct JobInfo {
    DWORD jobId, page;
};

class JobTracking : public ::testing::Test {
protected:
    void Begin(const char* address, const std::vector<std::string>& options = {}) {
        address_ = address;
        port_ = L"IP_" + std::wstring(address_.begin(), address_.end());
        printer = std::make_unique<SimPrinter>(address_);
        std::vector<std::string> opts = {"--pending-ms", "0", "--page-ms", "10"};
        opts.insert(opts.end(), options.begin(), options.end());
        ASSERT_TRUE(printer->Start(opts)) << printer->error;
        PmDouble_Reset();
        FakeSpool_Reset();
        SrmDouble_Reset();
        AddStandardTcpPort(port_.c_str(), std::wstring(address_.begin(), address_.end()).c_str());
        PmDouble_SetPortTarget(port_.c_str(), address_.c_str());
        FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
        FakeSpool_AddPrinter(kPrinter, kServedDriver, port_.c_str(), PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
        wchar_t dir[MAX_PATH];
        GetWindowsDirectoryW(dir, MAX_PATH);
        WritePrivateProfileStringW(L"VEKTL7700", L"LEVEL", L"2", (std::wstring(dir) + L"\\VEKLMLOG.INI").c_str());
        traceFile_ = trace.FileFor(kPrinter);
        ASSERT_TRUE(host.Load());
        ASSERT_NE(host.Initialize(), nullptr);
        ASSERT_TRUE(host.OpenPort(port_.c_str(), kPrinter, &h));
    }
    void TearDown() override {
        if (h) {
            EXPECT_TRUE(host.ClosePort(h));
        }
        if (printer) printer->Stop();
    }
    std::vector<std::string> Lines() {
        std::vector<std::string> out;
        for (const auto& l : TraceOnForTest::Lines(traceFile_)) out.push_back(TraceOnForTest::Text(l));
        return out;
    }
    size_t CountLines(const std::string& text) {
        auto lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
    }
    bool NextRoundsEnd(size_t rounds = 1) {
        size_t now = CountLines(kRoundEnd);
        return Eventually([&] { return CountLines(kRoundEnd) >= now + rounds; });
    }
    DWORD Ejections(DWORD jobId) {
        DWORD n = 0;
        for (const auto& r : FakeSpoolSetJobLog())
            if (r.jobId == jobId && r.command == JOB_CONTROL_LAST_PAGE_EJECTED) ++n;
        return n;
    }
    std::vector<JobInfo> PrintingJobInfos() {
        std::vector<SrmDoubleUpdateRecord> all(SrmDouble_GetUpdateLog(nullptr, 0));
        all.resize(SrmDouble_GetUpdateLog(all.data(), static_cast<DWORD>(all.size())));
        std::vector<JobInfo> out;
        for (const auto& r : all)
            if (std::string(r.name) == "PrintingJobInfo" && r.cbValue >= 296)
                out.push_back({*reinterpret_cast<const DWORD*>(r.value + 288),
                               *reinterpret_cast<const DWORD*>(r.value + 292)});
        return out;
    }
    std::string Jcid(DWORD spoolId) {
        std::string jcid = "TRACK" + std::to_string(spoolId);
        jcid.resize(45, 'J');
        return jcid;
    }
    // A job with a JCID of its own (in the driver's layout: a NAME of 24
    // characters) and `pages` form feeds.
    DWORD StartJob(DWORD spoolId, int pages = 1) {
        DWORD job = FakeSpool_AddJob(kPrinter, spoolId, 0, L"track", L"ana", 1);
        EXPECT_TRUE(host.StartDoc(h, kPrinter, job, L"track"));
        const std::string uel = "\x1b%-12345X";
        std::string body = uel + "@PJL JOB NAME=\"" + std::string(24, 'T') + "\" @JCID=\"" + Jcid(spoolId) +
                           "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\n";
        for (int i = 0; i < pages; ++i) body += "page\f";
        EXPECT_TRUE(host.WriteAll(h, body + uel));
        return job;
    }
    // The printer's row of the job, once it has one.
    SimJob Row(DWORD spoolId) {
        SimJob row;
        printer->WaitUntil([&] {
            for (const auto& j : printer->Jobs())
                if (j.jcid == Jcid(spoolId)) {
                    row = j;
                    return true;
                }
            return false;
        });
        return row;
    }
    int PrinterState(DWORD spoolId) { return Row(spoolId).state; }
    void Job(unsigned number, const std::string& what) {
        ASSERT_TRUE(printer->Command("job " + std::to_string(number) + " " + what)) << what;
    }

    ServedModelKeys keys{"Track Desk"};
    ShortPolling polling;
    TraceOnForTest trace;
    SpoolHost host;
    std::unique_ptr<SimPrinter> printer;
    HANDLE h = nullptr;
    std::string address_;
    std::wstring port_, traceFile_;
};

// The printing job's pages reach its manager as the printer prints them; the
// spooler lets go of the job once the printer says it completed, not at the
// end of its document.
TEST_F(JobTracking, AJobIsFollowedPageByPageAndReleasedOnceWhenThePrinterCompletesIt) {
    Begin("127.0.12.1", {"--page-ms", "2500"});
    DWORD job = StartJob(11, 3);
    EXPECT_TRUE(host.EndDoc(h));
    EXPECT_EQ(Ejections(job), 0u) << "the printer has not printed it yet";
    ASSERT_TRUE(Eventually([&] { return Ejections(job) > 0; }, 600));
    EXPECT_EQ(PrinterState(11), kCompleted) << "released only once the printer completed it";
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; })) << "no job is left to hold the thread";
    EXPECT_EQ(Ejections(job), 1u);

    std::set<DWORD> pages;
    for (const auto& info : PrintingJobInfos())
        if (info.jobId == job) pages.insert(info.page);
    EXPECT_EQ(pages, (std::set<DWORD>{0, 1, 2, 3})) << "the start notice, then each page";
    auto infos = PrintingJobInfos();
    ASSERT_FALSE(infos.empty());
    EXPECT_EQ(infos.back().jobId, 0u) << "the end notice clears the job";
    EXPECT_EQ(CountLines("DEPEND_SNMP:GetAndCheckJCID SUCCESS [FWID]"), 1u) << "the job index is looked up once";
}

// "Completed" while the spooler still sends the document is not the end of
// the job; "terminating" is, even then. The open document's job is told
// at its end.
TEST_F(JobTracking, CompletedWhileTheDocumentIsOpenIsNotFinishedTerminatingIs) {
    Begin("127.0.12.2");
    DWORD job = StartJob(12);
    unsigned n = Row(12).number;
    ASSERT_NE(n, 0u);
    Job(n, "state 17");
    ASSERT_TRUE(Eventually([&] { return CountLines("Status:Completed") >= 2; }));
    ASSERT_TRUE(NextRoundsEnd());
    EXPECT_EQ(CountLines(kTakenOff), 0u) << "not finished";
    Job(n, "state 14");
    ASSERT_TRUE(Eventually([&] { return CountLines(kTakenOff) == 1; })) << "finished";
    EXPECT_EQ(Ejections(job), 0u) << "owed to the end of its document";
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
    EXPECT_EQ(Ejections(job), 1u);
}

// A cancel at the printer's panel is no cancel of ours: the lost-job check
// records it once, and the job is let go once the printer is done with it.
TEST_F(JobTracking, ACancelAtThePanelGoesToTheLostJobCheckAndTheJobIsReleasedOnce) {
    Begin("127.0.12.3", {"--page-ms", "2000"});
    DWORD job = StartJob(13, 5);
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(Eventually([&] { return CountLines("Status:Processing") >= 1; }));
    ASSERT_TRUE(printer->Command("cancel"));
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
    EXPECT_EQ(Ejections(job), 1u);
    EXPECT_EQ(CountLines("PrnLostChk: [JobSuspended]"), 1u);
    EXPECT_GE(CountLines("Reason:CanceledByUser"), 1u);
}

// A job the printer aborted is lost: its JCID is kept for a second sending,
// the refresh thread deletes the queued jobs, and the spooler is let go once.
TEST_F(JobTracking, AnAbortedJobIsMarkedLostAndReleasedOnce) {
    Begin("127.0.12.4", {"--page-ms", "2000"});
    DWORD job = StartJob(14, 5);
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(Eventually([&] { return CountLines("Status:Processing") >= 1; }));
    ASSERT_TRUE(printer->Command("abort"));
    ASSERT_TRUE(Eventually([&] { return Ejections(job) > 0; }));
    EXPECT_EQ(CountLines("szPWOFFJCID[" + Jcid(14) + "]"), 1u);
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
    EXPECT_EQ(Ejections(job), 1u);
    EXPECT_EQ(CountLines("PrnLostChk: [JobSuspended]"), 0u);
}

// Three lookups by JCID index that meet another JCID's mapping row: the full
// walk of the job table finds the job by its JCID text, also on a printer
// that hides the table's next column, and follows it to its end.
class FullWalk : public JobTracking, public ::testing::WithParamInterface<bool> {};

TEST_P(FullWalk, FindsTheJobByItsJcidWhenTheIndexLookupsFail) {
    const bool hideNext = GetParam();
    Begin(hideNext ? "127.0.12.6" : "127.0.12.5", {"--page-ms", "3000"});
    if (hideNext) {
        ASSERT_TRUE(printer->Command("hide 1.3.6.1.4.1.253.8.59.6.1.1.4"));
    }
    // The job's mapping row is filed under a JCID that sorts after its own:
    // each lookup by index meets that row and rejects it.
    ASSERT_TRUE(printer->Command("map-new " + std::string(45, 'Z')));
    DWORD job = StartJob(15);
    unsigned n = Row(15).number;
    ASSERT_NE(n, 0u);
    Job(n, "state 7");
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(Eventually([&] { return CountLines("JCID[" + Jcid(15) + "]") >= 1; }));
    EXPECT_EQ(Ejections(job), 0u) << "still printing";
    Job(n, "state 17");
    ASSERT_TRUE(Eventually([&] { return Ejections(job) > 0; }));
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
    EXPECT_EQ(Ejections(job), 1u);
    EXPECT_EQ(CountLines("DEPEND_SNMP:GetAndCheckJCID SUCCESS [FWID]"), 0u);
    EXPECT_GE(CountLines("DEPEND_SNMP:GetAndCheckJCID ERROR[NoID]"), 3u);
    EXPECT_GE(CountLines(kWalkEnd), 2u);
}
INSTANTIATE_TEST_SUITE_P(Walks, FullWalk, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "NextColumnHidden" : "Plain"; });

// A printer whose job MIB shows nothing, or answers genErr to it: the port
// keeps polling (no walk runs away), and once the table can be read the job
// is followed to its end. Bounded by the rounds, not by time.
class BadJobTable : public JobTracking, public ::testing::WithParamInterface<int> {};

TEST_P(BadJobTable, ThePortStaysResponsiveAndTheJobIsReleasedOnceTheTableAnswers) {
    static const char* const kAddresses[] = {"127.0.12.7", "127.0.12.8"};
    static const char* const kBreak[] = {"hide 1.3.6.1.4.1.253.8.59", "snmp generr 1.3.6.1.4.1.253.8.59"};
    static const char* const kMend[] = {"unhide all", "snmp normal"};
    Begin(kAddresses[GetParam()]);
    ASSERT_TRUE(printer->Command(kBreak[GetParam()]));
    DWORD job = StartJob(16);
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(NextRoundsEnd(3)) << "the rounds go on";
    EXPECT_EQ(Ejections(job), 0u) << "a job the printer may still print is not let go";
    ASSERT_TRUE(printer->Command(kMend[GetParam()]));
    ASSERT_TRUE(Eventually([&] { return Ejections(job) > 0; }));
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
    EXPECT_EQ(Ejections(job), 1u);
    // Each walk asked at most a bounded number of rows.
    EXPECT_LE(printer->CountRequests("getnext", kJobMib), 200u);
}
INSTANTIATE_TEST_SUITE_P(Agents, BadJobTable, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int>& i) { return i.param ? "GenErr" : "Hidden"; });

// Job indexes of several sub-identifiers are looked up and read whole.
TEST_F(JobTracking, AJobIndexOfSeveralSubIdentifiersIsFollowed) {
    Begin("127.0.12.9");
    ASSERT_TRUE(printer->Command("fwid-arcs 3"));
    DWORD job = StartJob(17);
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(Eventually([&] { return Ejections(job) > 0; }));
    const std::string fwid = Row(17).fwid;
    EXPECT_EQ(std::count(fwid.begin(), fwid.end(), '.'), 3) << fwid;
    auto lines = Lines();
    size_t prids = 0, ours = 0;
    for (const auto& l : lines) {
        prids += l.rfind("PRID[", 0) == 0;
        ours += l == "PRID[" + fwid + "]";
    }
    EXPECT_GE(ours, 1u);
    EXPECT_EQ(ours, prids) << "every row read was the job's whole index";
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
    EXPECT_EQ(Ejections(job), 1u);
}

}  // namespace
