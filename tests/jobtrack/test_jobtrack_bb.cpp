// Jobs followed on the simulated printer through the DLL: a Standard TCP/IP
// port with the printer's manager bound and the refresh thread polling every
// second. The spooler is let go of each job once, when the printer has
// finished it, whatever the printer's job table shows or hides.
#include "support/liveport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kPrinter[] = L"Track Desk";
const std::string kEnd2 = "REFRESH:UstatusThread2 --END@2--";
const std::string kWalkEnd = "REFRESH:CheckJCID_SNMP_FD --END--";
const std::string kJobMib = "1.3.6.1.4.1.253.8.59";
const std::string kTakenOff = "VJLMON:OutJobQueue --END--";
constexpr int kCompleted = 17;

struct JobInfo {
    DWORD jobId, page;
};

class JobTracking : public LivePortTest {
protected:
    JobTracking() : LivePortTest("Track Desk") {}
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
    DWORD StartJob(DWORD spoolId, int pages = 1, const wchar_t* printerName = kPrinter) {
        DWORD job = FakeSpool_AddJob(printerName, spoolId, 0, L"track", L"ana", 1);
        EXPECT_TRUE(host.StartDoc(h, printerName, job, L"track"));
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
};

// The printing job's pages reach its manager as the printer prints them; the
// spooler lets go of the job once the printer says it completed, not at the
// end of its document.
TEST_F(JobTracking, AJobIsFollowedPageByPageAndReleasedOnceWhenThePrinterCompletesIt) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.12.1", {"--page-ms", "2500"}));
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
// the job; "terminating" is, even then: the job is let go at once, and its
// end of document owes it nothing more.
TEST_F(JobTracking, CompletedWhileTheDocumentIsOpenIsNotFinishedTerminatingIs) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.12.2"));
    DWORD job = StartJob(12);
    unsigned n = Row(12).number;
    ASSERT_NE(n, 0u);
    Job(n, "state 17");
    ASSERT_TRUE(Eventually([&] { return CountLines("Status:Completed") >= 2; }));
    ASSERT_TRUE(NextRoundsEnd());
    EXPECT_EQ(CountLines(kTakenOff), 0u) << "not finished";
    Job(n, "state 14");
    ASSERT_TRUE(Eventually([&] { return CountLines(kTakenOff) == 1; })) << "finished";
    EXPECT_EQ(Ejections(job), 1u) << "released as it leaves the queue";
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(Eventually([&] { return CountLines(kEnd2) == 1; }));
    EXPECT_EQ(Releases(job), 1u) << "never twice";
}

// A cancel at the printer's panel is no cancel of ours: the lost-job check
// records it once, and the job is let go once the printer is done with it.
TEST_F(JobTracking, ACancelAtThePanelGoesToTheLostJobCheckAndTheJobIsReleasedOnce) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.12.3", {"--page-ms", "2000"}));
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
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.12.4", {"--page-ms", "2000"}));
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
    ASSERT_NO_FATAL_FAILURE(Begin(hideNext ? "127.0.12.6" : "127.0.12.5", {"--page-ms", "3000"}));
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
    ASSERT_NO_FATAL_FAILURE(Begin(kAddresses[GetParam()]));
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
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.12.9"));
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

// Two printers share the port. The manager of one shuts down in the middle
// of its job: that job is still let go once, and through a handle of its own
// printer (a spooler refuses a job control for a job of another printer).
TEST_F(JobTracking, AJobWhoseManagerShutsDownIsReleasedThroughItsOwnPrinter) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.21.3.1"));
    constexpr wchar_t kSide[] = L"Track Side";
    ServedModelKeys sideKeys{"Track Side"};
    FakeSpool_AddPrinter(kSide, kServedDriver, port_.c_str(), PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
    auto workerEnds = [&] { return CountContaining("REFRESH:UstatusThread2 --END", ""); };

    DWORD side1 = StartJob(31, 1, kSide);
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(Eventually([&] { return Releases(side1) == 1; }));
    ASSERT_TRUE(Eventually([&] { return workerEnds() == 1; }));

    DWORD own = StartJob(32);
    ASSERT_TRUE(SrmDouble_SetDword(kPrinter, "TerminateManager", 1));
    ASSERT_TRUE(Eventually([&] { return workerEnds() == 2; })) << "the shutdown stops the port's worker";
    EXPECT_EQ(SrmDouble_OpenHandleCount(kPrinter), 0u);
    EXPECT_TRUE(host.EndDoc(h));

    DWORD side2 = StartJob(33, 1, kSide);
    EXPECT_TRUE(host.EndDoc(h));
    ASSERT_TRUE(Eventually([&] { return Releases(side2) == 1; }));
    ASSERT_TRUE(Eventually([&] { return workerEnds() == 3; }));

    EXPECT_EQ(Releases(own), 1u);
    for (const auto& r : FakeSpoolSetJobLog()) {
        if (r.jobId == own) {
            EXPECT_STREQ(r.printer, kPrinter) << "control " << r.command;
        } else if (r.jobId == side1 || r.jobId == side2) {
            EXPECT_STREQ(r.printer, kSide) << "control " << r.command;
        }
    }
}

}  // namespace
