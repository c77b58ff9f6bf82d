// Jobs that go wrong, through the DLL against the simulated printer: the
// spooler cancels a job being printed, the printer is switched off in the
// middle of a job and the spooler sends it again, and what the managers are
// told about the job being sent. Every job the spooler hands over must be
// let go exactly once.
#include "support/liveport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr wchar_t kPrinter[] = L"Cancel Desk";
const std::string kUel = "\x1b%-12345X";
const std::string kJobControl = "1.3.6.1.4.1.253.8.76.3.2.1.1.1.";
const std::string kPowerOff = "VJLMON:CheckDeviceId_SNMP -Set PW OFF-";
const std::string kEndDocDone = "VJLMON:PJLMonEndDocPort -END(BIDI)-";
constexpr char kPrnChkKey[] = "SOFTWARE\\VEK\\Quorvex\\Env\\PrnChk";
constexpr char kBaseDirKey[] = "SOFTWARE\\VEK\\Quorvex\\Env\\Dir";

// The print history on, in a folder of the test's own.
class HistoryOn {
public:
    HistoryOn() {
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        dir_ = std::string(tmp) + "vjlcancel" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(dir_.c_str(), nullptr);
        CreateDirectoryA((dir_ + "\\RAS").c_str(), nullptr);
        CreateDirectoryA((dir_ + "\\RAS\\Trc").c_str(), nullptr);
        Set(kPrnChkKey, "PrnOrdChk", REG_DWORD, "\x01\0\0\0", 4);
        Set(kBaseDirKey, "BaseDir", REG_SZ, dir_.c_str(), static_cast<DWORD>(dir_.size() + 1));
    }
    ~HistoryOn() {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPrnChkKey);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kBaseDirKey);
    }

private:
    static void Set(const char* path, const char* name, DWORD type, const void* data, DWORD cb) {
        HKEY k = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) != 0) return;
        RegSetValueExA(k, name, 0, type, static_cast<const BYTE*>(data), cb);
        RegCloseKey(k);
    }
    std::string dir_;
};

class JobTrouble : public LivePortTest {
protected:
    JobTrouble() : LivePortTest("Cancel Desk") {}
    static std::string Jcid(const std::string& tag) {
        std::string j = "CANCEL" + tag;
        j.resize(45, 'J');
        return j;
    }
    static std::string Body(const std::string& jcid) {
        return kUel + "@PJL JOB NAME=\"" + std::string(24, 'N') + "\" @JCID=\"" + jcid +
               "\"\r\n@PJL ENTER LANGUAGE=VPDL\r\npage\f" + kUel;
    }
    // Starts a job with a JCID of its own and writes all of it; the document
    // stays open.
    DWORD StartJob(DWORD spoolId, const std::string& jcid, const wchar_t* doc = L"Quorvex-Sheet") {
        DWORD job = FakeSpool_AddJob(kPrinter, spoolId, 0, doc, L"ana", 1);
        EXPECT_TRUE(host.StartDoc(h, kPrinter, job, doc));
        EXPECT_TRUE(host.WriteAll(h, Body(jcid)));
        return job;
    }
    bool PrinterHasJob(const std::string& jcid) {
        for (const auto& j : printer->Jobs())
            if (j.jcid == jcid) return true;
        return false;
    }
};

// The spooler deletes a job the printer is printing: the end of its document
// cancels it on the printer by its job index, the history records the
// cancel, and the job is let go once. A ClosePort that comes while the
// cancel holds the end returns once the job is gone.
TEST_F(JobTrouble, ASpoolerCancelCancelsThePrintersJobAndReleasesItOnce) {
    HistoryOn history;
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.16.1"));
    const std::string jcid = Jcid("1");
    DWORD job = StartJob(131, jcid);
    ASSERT_TRUE(printer->WaitUntil([&] { return PrinterHasJob(jcid); }));
    ASSERT_TRUE(FakeSpool_SetJobStatus(kPrinter, job, JOB_STATUS_DELETING));

    BOOL ended = FALSE;
    std::thread end([&] { ended = host.EndDoc(h); });
    ASSERT_TRUE(Eventually([&] { return CountLines("VJLMON:JobCancel -- START --") == 1; }));
    BOOL closed = host.ClosePort(h);
    end.join();
    h = nullptr;
    EXPECT_TRUE(ended);
    EXPECT_TRUE(closed);
    EXPECT_EQ(CountLines("VJLMON:PJLMonClosePort -ClosePortTimeout-"), 0u) << "the cancel emptied the queue";

    std::vector<SimJob> jobs = printer->Jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].reason, 0x80u) << "cancelled on the printer";
    EXPECT_EQ(printer->CountRequests("set", kJobControl + jobs[0].fwid), 1u);
    EXPECT_EQ(printer->CountRequests("set"), 1u);
    EXPECT_EQ(CountLines("VJLMON:JobCancel -- SUCCESS --"), 1u);
    EXPECT_EQ(CountContaining("<LMOUT> JobId=" + std::to_string(job), "\tCancel"), 1u);
    EXPECT_EQ(Ejections(job), 1u);
    EXPECT_EQ(Controls(job, JOB_CONTROL_DELETE), 0u);
}

// Switched off with two finished jobs waiting on a paused printer and a
// third being sent: the waiting ones are let go at once, the open one by
// its delete, each once. The spooler's second sending of the open job after
// power on is deleted and its data kept from the printer; a cancel while the
// printer is off asks nothing of it; another job prints as usual.
TEST_F(JobTrouble, PowerLostInAJobReleasesEachOnceAndDeletesItsSecondSending) {
    HistoryOn history;
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.16.2"));
    FakeSpool_KeepFinishedJobs(TRUE);
    ASSERT_TRUE(printer->Command("pause on"));
    DWORD first = StartJob(141, Jcid("A"));
    ASSERT_TRUE(host.EndDoc(h));
    DWORD second = StartJob(142, Jcid("B"));
    ASSERT_TRUE(host.EndDoc(h));
    const std::string jcid = Jcid("C");
    DWORD open = StartJob(143, jcid);
    ASSERT_TRUE(printer->WaitUntil([&] { return PrinterHasJob(jcid); }));
    EXPECT_EQ(Ejections(first) + Ejections(second), 0u) << "the paused printer holds them";

    ASSERT_TRUE(printer->Command("power off"));
    ASSERT_TRUE(Eventually([&] { return CountLines(kPowerOff) == 1 && CountLines("VJLMON:DeletJob  --END--") >= 1; }));
    EXPECT_EQ(Ejections(first), 1u);
    EXPECT_EQ(Ejections(second), 1u);
    EXPECT_EQ(Ejections(open), 0u) << "owed to the end of its document";
    EXPECT_EQ(Controls(open, JOB_CONTROL_DELETE), 1u);

    // The spooler cancels the open job while the printer is off.
    size_t sets = printer->CountRequests("set");
    ASSERT_TRUE(host.EndDoc(h));
    EXPECT_EQ(CountLines("VJLMON:JobCancel [EXIT @PWOFF or OPP]"), 1u);
    EXPECT_EQ(printer->CountRequests("set"), sets);
    EXPECT_EQ(CountContaining("OutPrnHist_JobStatus(JobId=" + std::to_string(open), "JobStatus=Cancel") +
                  CountContaining("<LMOUT> JobId=" + std::to_string(open), "\tCancel"),
              1u);
    EXPECT_EQ(Ejections(open), 0u) << "its delete was its release";
    EXPECT_EQ(Ejections(first) + Ejections(second), 2u);

    ASSERT_TRUE(printer->Command("power on"));
    ASSERT_TRUE(printer->Command("received clear"));
    FakeSpool_KeepFinishedJobs(FALSE);   // the deleted copy is gone, not cancelled again
    size_t mark = FakeSpoolSetJobLog().size();
    FakeSpool_RemoveJob(kPrinter, open);
    DWORD again = StartJob(open, jcid);
    ASSERT_TRUE(host.EndDoc(h));
    EXPECT_EQ(Controls(again, JOB_CONTROL_DELETE, mark), 1u) << "the second sending is deleted";
    EXPECT_EQ(Controls(again, JOB_CONTROL_LAST_PAGE_EJECTED, mark), 0u) << "and not released a second way";
    EXPECT_EQ(CountLines("VJLMON:PJLMonWritePort -END(JOB_STATUS_RESTART)-"), 1u);

    // While the printer's reset notice shows, the monitor takes a job in it
    // for lost: the next job follows its acknowledgement at the panel.
    ASSERT_TRUE(printer->Command("alert del Printer Reset"));
    DWORD other = StartJob(144, Jcid("D"));
    ASSERT_TRUE(host.EndDoc(h));
    std::vector<SimReceived> got;
    EXPECT_TRUE(printer->WaitUntil([&] {
        got = printer->Received();
        return !got.empty() && got.back().end == "closed";
    }));
    ASSERT_EQ(got.size(), 1u) << "nothing of the second sending reached the printer";
    EXPECT_EQ(got[0].jcid, Jcid("D"));
    EXPECT_TRUE(Eventually([&] { return Ejections(other) == 1; }));
    EXPECT_EQ(Controls(other, JOB_CONTROL_DELETE), 0u);
}

// The managers see the document, user and job id of the job being sent at
// its start and an empty record at its end; a job the spooler cannot
// describe is sent with empty texts.
TEST_F(JobTrouble, TheSendingJobIsPublishedAtItsStartAndClearedAtItsEnd) {
    ASSERT_NO_FATAL_FAILURE(Begin("127.0.16.3"));
    auto sending = [] {
        std::vector<SrmDoubleUpdateRecord> all(SrmDouble_GetUpdateLog(nullptr, 0));
        all.resize(SrmDouble_GetUpdateLog(all.data(), static_cast<DWORD>(all.size())));
        std::vector<SrmDoubleUpdateRecord> out;
        for (const auto& r : all)
            if (std::string(r.name) == "SendingJobInfo") out.push_back(r);
        return out;
    };
    auto name = [](const SrmDoubleUpdateRecord& r) { return std::string(reinterpret_cast<const char*>(r.value)); };
    auto user = [](const SrmDoubleUpdateRecord& r) { return std::string(reinterpret_cast<const char*>(r.value + 256)); };
    auto id = [](const SrmDoubleUpdateRecord& r) {
        DWORD v;
        memcpy(&v, r.value + 288, 4);
        return v;
    };

    DWORD job = StartJob(151, Jcid("S"), L"Quarterly report");
    auto start = sending();
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(start[0].cbValue, 292u);
    EXPECT_EQ(name(start[0]), "Quarterly report");
    EXPECT_EQ(user(start[0]), "ana");
    EXPECT_EQ(id(start[0]), job);
    ASSERT_TRUE(host.EndDoc(h));
    auto end = sending();
    ASSERT_EQ(end.size(), 2u);
    EXPECT_EQ(name(end[1]), "");
    EXPECT_EQ(user(end[1]), "");
    EXPECT_EQ(id(end[1]), 0u) << "the job id goes with the clearing";

    DWORD unknown = FakeSpool_AddJob(kPrinter, 152, 0, L"Hidden", L"bo", 1);
    ASSERT_TRUE(FakeSpool_SetJobAnswer(kPrinter, unknown, FAKESPOOL_JOB_ANSWER_NO_JOB));
    ASSERT_TRUE(host.StartDoc(h, kPrinter, unknown, L"Hidden"));
    auto blind = sending();
    ASSERT_EQ(blind.size(), 3u);
    EXPECT_EQ(name(blind[2]), "");
    EXPECT_EQ(user(blind[2]), "");
    EXPECT_EQ(id(blind[2]), unknown);
    EXPECT_TRUE(host.WriteAll(h, Body(Jcid("U"))));
    ASSERT_TRUE(host.EndDoc(h));
}

}  // namespace
