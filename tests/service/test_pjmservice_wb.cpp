// The job management service link: the install check, the shared job list,
// restart requests and their answers, the end-of-document message, and the
// event and debug logs, against the in-process double of the service.
#include "jobpath/docport.h"
#include "service/pjmservice.h"
#include "support/doccall_fixture.h"
#include "support/unixlink.h"
#include "support/whitebox.h"
#include "fakespool.h"
#include "pjmdouble.h"
#include "pmdouble.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

namespace {

constexpr wchar_t kPrinter[] = L"Pjm Printer";
constexpr wchar_t kPort[] = L"PJM1:";
constexpr UINT kSentinel = 0x8FFF;

// "ポートPJM1: でプリンタジョブ " and "をキャンセルしました(Status = 0)。"
const std::string kCancelHead = "\x83\x7C\x81\x5B\x83\x67PJM1: \x82\xC5\x83\x76\x83\x8A\x83\x93\x83\x5E\x83\x57\x83\x87\x83\x75 ";
const std::string kCancelTail =
    " \x82\xF0\x83\x4C\x83\x83\x83\x93\x83\x5A\x83\x8B\x82\xB5\x82\xDC\x82\xB5\x82\xBD(Status = 0)\x81\x42\r\n";
// "StartDocPort関数でファイルマッピングにアクセスできません(Status = 0)。"
const std::string kNoMapping =
    "StartDocPort\x8A\xD6\x90\x94\x82\xC5\x83\x74\x83\x40\x83\x43\x83\x8B\x83\x7D\x83\x62\x83\x73\x83\x93\x83\x4F\x82\xC9"
    "\x83\x41\x83\x4E\x83\x5A\x83\x58\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1(Status = 0)\x81\x42\r\n";

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string EventLogPath() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char name[300];
    snprintf(name, sizeof(name), "%s%04d%02d%02d.log", szEventLogFolder, t.wYear, t.wMonth, t.wDay);
    return name;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class PjmLink : public DocCallTest {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        static const bool lockReady = (InitializeCriticalSection(&csDebugLog), true);
        (void)lockReady;
        PmDouble_Reset();
        FakeSpool_Reset();
        PjmDouble_Reset();
        PJMServiceLinkStart();
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "vjlpjm" + std::to_string(GetCurrentProcessId()) + "\\";
        CreateDirectoryA(folder_.c_str(), nullptr);
        snprintf(szEventLogFolder, sizeof(szEventLogFolder), "%s", folder_.c_str());
        snprintf(szDebugLogPath, sizeof(szDebugLogPath), "%sVhPJMLVTL7700.log", folder_.c_str());
        DeleteFileA(szDebugLogPath);
        DeleteFileA(EventLogPath().c_str());
        bDebugMode = TRUE;
        root_.SetString("CurrentVersion", "3.0");
        version_.SetDword("RunStatus", 0);
        FakeSpool_AddPrinter(kPrinter, L"VEK Tessaroline 7700 (LV)", kPort, 0, L"winprint", 0);
        ctx = Watch(OpenPortWb(kPort, kPrinter, PmDouble_Table()));
        ASSERT_NE(ctx, nullptr);
        ASSERT_TRUE(PjmDouble_Start());
    }
    void TearDown() override {
        if (ctx) {
            Release(ctx);
            PJLMonClosePort(ctx);
        }
        PjmDouble_Reset();
        bDebugMode = FALSE;
        DeleteFileA(szDebugLogPath);
        DeleteFileA(EventLogPath().c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    BOOL StartDoc(DWORD jobId) {
        FakeSpool_AddJob(kPrinter, jobId, 0, L"doc", L"user", 1);
        DOC_INFO_1W di{const_cast<LPWSTR>(L"doc"), nullptr, nullptr};
        return PJLMonStartDocPort(ctx, const_cast<LPWSTR>(kPrinter), jobId, 1, reinterpret_cast<BYTE*>(&di));
    }
    // Every message the service got, once a sentinel posted now has come
    // through behind them.
    static std::vector<PjmMessage> SettledMessages() {
        size_t n = PjmDouble_Messages().size();
        PostMessageW(FindWindowW(L"VhPJMService", nullptr), kSentinel, 0, 0);
        EXPECT_TRUE(PjmDouble_WaitForMessages(n + 1, 10000));
        std::vector<PjmMessage> v;
        for (const auto& m : PjmDouble_Messages())
            if (m.message != kSentinel) v.push_back(m);
        return v;
    }
    static DWORD Deletes(DWORD jobId) {
        DWORD n = 0;
        for (const auto& r : FakeSpoolSetJobLog())
            if (r.jobId == jobId && r.command == JOB_CONTROL_DELETE) ++n;
        return n;
    }
    // An entry with this text: a line break, the date and time, and the text
    // right after the seconds.
    static bool LogHas(const std::string& text) {
        static const std::regex stamp("\r\n\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d");
        std::string log = Slurp(szDebugLogPath);
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            if (at >= 21 && std::regex_match(log.substr(at - 21, 21), stamp)) return true;
        return false;
    }
    TestRegKey root_{"SOFTWARE\\Varnholt\\VhPJMService"};
    TestRegKey version_{"SOFTWARE\\Varnholt\\VhPJMService\\3.0"};
    std::string folder_;
    PortContext* ctx = nullptr;
};

TEST_F(PjmLink, WithoutTheServiceNothingIsAskedOrLogged) {
    ASSERT_TRUE(PjmDouble_CreateList());
    DWORD imp0, rev0, imp, rev;
    FakeSpool_GetImpersonationCounts(&imp0, &rev0);
    ASSERT_TRUE(StartDoc(4));
    FakeSpool_GetImpersonationCounts(&imp, &rev);
    EXPECT_EQ(rev - rev0, 0u) << "without the service's key the service manager is not asked";
    EXPECT_EQ(imp - imp0, 0u);
    EXPECT_EQ(ctx->bPJMService, 0u);
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_TRUE(SettledMessages().empty());
    EXPECT_FALSE(Exists(szDebugLogPath));
    EXPECT_FALSE(Exists(EventLogPath()));
}

TEST_F(PjmLink, ListedJobPrintsAndItsEndIsTold) {
    ASSERT_TRUE(PjmDouble_Register());
    ASSERT_TRUE(PjmDouble_CreateList());
    PjmDouble_SetList(1, {3, 7});
    DWORD imp0, rev0, imp, rev;
    FakeSpool_GetImpersonationCounts(&imp0, &rev0);
    ASSERT_TRUE(StartDoc(7));
    FakeSpool_GetImpersonationCounts(&imp, &rev);
    EXPECT_EQ(rev - rev0, 1u) << "the service manager is asked as the spooler";
    EXPECT_EQ(imp - imp0, 1u) << "and the client impersonated again";
    EXPECT_EQ(ctx->bPJMService, 1u);
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
    auto msgs = SettledMessages();
    ASSERT_EQ(msgs.size(), 1u) << "no restart request";
    EXPECT_EQ(msgs[0].message, 0x8002u);
    EXPECT_EQ(msgs[0].wParam, 0u);
    EXPECT_EQ(msgs[0].lParam, 7);
    EXPECT_TRUE(LogHas("Enter VHStartDoc(7)\r\n"));
    EXPECT_TRUE(LogHas("JobID: 7 normally print out\r\n"));
    EXPECT_TRUE(LogHas("Enter VHEndDoc(7)"));
    EXPECT_TRUE(LogHas("Send message to VhPJMService(Message=8002  wParam=0 lParam=7"));

    // A count past the end of the view is read as far as the view goes.
    PjmDouble_SetList(1, {3, 8}, 0x10000000);
    ASSERT_TRUE(StartDoc(8));
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_TRUE(LogHas("JobID: 8 job list count 268435456 is more than the list holds\r\n"));
    EXPECT_EQ(SettledMessages().size(), 2u) << "listed: still no restart request";
}

TEST_F(PjmLink, UnlistedJobPrintsOnlyWhenTheServiceAllows) {
    ASSERT_TRUE(PjmDouble_Register());
    ASSERT_TRUE(PjmDouble_CreateList());
    PjmDouble_SetList(0, {11}) ;   // not valid: the job counts as not pre-processed
    PjmDouble_SetAnswer(PJM_ANSWER_ALLOW, 50);
    ASSERT_TRUE(StartDoc(11));
    auto msgs = SettledMessages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].message, 0x8004u);
    EXPECT_EQ(msgs[0].lParam, 11);
    EXPECT_EQ(msgs[0].printer, kPrinter);
    EXPECT_EQ(GlobalFindAtomW(kPrinter), 0) << "the atom is gone once answered";
    EXPECT_EQ(Deletes(11), 0u);
    EXPECT_TRUE(LogHas("JobID(11):Error in StartDocPort(Not pre-processed by VhPJMService)\r\n"));
    ASSERT_TRUE(PJLMonEndDocPort(ctx));

    PjmDouble_SetList(1, {5});
    PjmDouble_SetAnswer(PJM_ANSWER_OVER, 0);
    SetLastError(0);
    EXPECT_FALSE(StartDoc(12));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_GE(Deletes(12), 1u);
    EXPECT_EQ(GlobalFindAtomW(kPrinter), 0);
    std::string events = Slurp(EventLogPath());
    EXPECT_EQ(events.rfind("Warning,", 0), 0u) << events;
    EXPECT_TRUE(EndsWith(events, ",VEK Tessaroline 7700 LanguageMonitor," + kCancelHead + "12" + kCancelTail)) << events;
    EXPECT_TRUE(LogHas(kCancelHead + "12" + kCancelTail.substr(0, kCancelTail.size() - 2)));
}

TEST_F(PjmLink, UnreachableServiceDefersToItsRunStatus) {
    ASSERT_TRUE(PjmDouble_Register());
    // No mutex and no mapping.
    ASSERT_TRUE(StartDoc(21)) << "RunStatus 0: as if there were no service";
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
    EXPECT_TRUE(LogHas("JobID: 21 Can not open file mapping mutex\r\n"));

    version_.SetDword("RunStatus", 1);
    bDebugMode = FALSE;
    SetLastError(0);
    EXPECT_FALSE(StartDoc(22));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(Deletes(22), 1u);
    EXPECT_FALSE(Exists(EventLogPath())) << "no event log outside debug mode";

    bDebugMode = TRUE;
    EXPECT_FALSE(StartDoc(23));
    std::string events = Slurp(EventLogPath());
    EXPECT_EQ(events.rfind("Error,", 0), 0u) << events;
    EXPECT_TRUE(EndsWith(events, ",VEK Tessaroline 7700 LanguageMonitor," + kNoMapping)) << events;

    // The window gone: a restart request cannot be made, the run status decides.
    ASSERT_TRUE(PjmDouble_CreateList());
    PjmDouble_Stop();
    version_.SetDword("RunStatus", 0);
    ASSERT_TRUE(StartDoc(24));
    EXPECT_EQ(GlobalFindAtomW(kPrinter), 0);
    EXPECT_TRUE(LogHas("JobID(24):restart error in StartDocPort(Fail to send restart message to VhPJMService)\r\n"));
    ASSERT_TRUE(PJLMonEndDocPort(ctx));
}

// A port closing or the monitor shutting down ends the wait for the service
// and fails the start, but the job is the user's: it stays with the spooler,
// which prints it later. Only the service's OVER deletes a job.
TEST_F(PjmLink, ClosingPortOrShutdownEndsTheWaitButKeepsTheJob) {
    ASSERT_TRUE(PjmDouble_Register());
    ASSERT_TRUE(PjmDouble_CreateList());
    PjmDouble_SetList(1, {});
    DWORD status = 0;

    // Shutdown while the service holds the list.
    ASSERT_TRUE(PjmDouble_HoldMutex());
    BOOL result = TRUE;
    DWORD error = 0;
    std::thread shut([&] {
        result = StartDoc(30);
        error = GetLastError();
    });
    // "Enter VHStartDoc" is written before the wait.
    EXPECT_TRUE(FakeSpoolWaitUntil([] { return Exists(szDebugLogPath); }, 20000));
    PJMServiceLinkStop();
    shut.join();
    PjmDouble_ReleaseMutex();
    PJMServiceLinkStart();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Deletes(30), 0u);
    EXPECT_TRUE(FakeSpool_GetJobStatus(kPrinter, 30, &status)) << "the spooler keeps the job";

    // ClosePort while a restart request waits for its answer.
    std::thread doc([&] {
        result = StartDoc(31);
        error = GetLastError();
    });
    ASSERT_TRUE(PjmDouble_WaitForMessages(1, 20000));
    PortContext* closing = ctx;
    ctx = nullptr;
    AddPortRef(closing);   // to look at it once the document call is over
    EXPECT_TRUE(PJLMonClosePort(closing));
    doc.join();
    Release(closing);
    ReleasePortRef(closing);
    EXPECT_FALSE(result);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Deletes(31), 0u);
    EXPECT_TRUE(FakeSpool_GetJobStatus(kPrinter, 31, &status)) << "the spooler keeps the job";
    EXPECT_EQ(GlobalFindAtomW(kPrinter), 0);
    EXPECT_EQ(PjmDouble_Answers(), 0u);
    EXPECT_FALSE(Exists(EventLogPath())) << "no cancel is recorded";
}

// Anyone can create or hold the list's mutex. One held for ever (here with
// the service itself running, RunStatus 1) costs the wait, which ends with
// ClosePort, but never the job: it is not deleted, and the document can be
// started again.
TEST_F(PjmLink, ListMutexHeldForEverNeverCostsTheJob) {
    ASSERT_TRUE(PjmDouble_Register());
    ASSERT_TRUE(PjmDouble_CreateList());
    PjmDouble_SetList(1, {});
    version_.SetDword("RunStatus", 1);
    ASSERT_TRUE(PjmDouble_HoldMutex());
    BOOL result = TRUE;
    DWORD error = 0;
    std::thread doc([&] {
        result = StartDoc(41);
        error = GetLastError();
    });
    EXPECT_TRUE(FakeSpoolWaitUntil([] { return LogHas("Enter VHStartDoc(41)\r\n"); }, 20000));
    PortContext* closing = ctx;
    ctx = nullptr;
    AddPortRef(closing);
    EXPECT_TRUE(PJLMonClosePort(closing));
    doc.join();
    Release(closing);
    ReleasePortRef(closing);
    PjmDouble_ReleaseMutex();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(Deletes(41), 0u) << "the job stays for the spooler to send again";
    EXPECT_TRUE(LogHas("JobID: 41 Can not own file mapping mutex\r\n"));
    EXPECT_EQ(PjmDouble_Messages().size(), 0u) << "no restart request either";
}

// The service's log folder is written as SYSTEM: when it is a link to
// somewhere else, neither log is written through it.
TEST_F(PjmLink, LogFolderThatIsALinkIsNotWrittenThrough) {
    std::string target = folder_ + "target";
    std::string link = folder_ + "link";
    CreateDirectoryA(target.c_str(), nullptr);
    ASSERT_TRUE(vjltest::MakeFolderLink(std::wstring(link.begin(), link.end()), std::wstring(target.begin(), target.end())));
    snprintf(szEventLogFolder, sizeof(szEventLogFolder), "%s\\", link.c_str());
    snprintf(szDebugLogPath, sizeof(szDebugLogPath), "%sVhPJMLVTL7700.log", szEventLogFolder);
    WriteDebugLog("through a link");
    WriteEventLog("through a link", kEventSourceName, kEventWarning);
    EXPECT_FALSE(Exists(target + "\\VhPJMLVTL7700.log"));
    SYSTEMTIME t;
    GetLocalTime(&t);
    char day[32];
    snprintf(day, sizeof(day), "\\%04d%02d%02d.log", t.wYear, t.wMonth, t.wDay);
    EXPECT_FALSE(Exists(target + day));
    vjltest::RemoveFolderLink(std::wstring(link.begin(), link.end()));
    DeleteFileA((target + "\\VhPJMLVTL7700.log").c_str());
    DeleteFileA((target + day).c_str());
    RemoveDirectoryA(target.c_str());
    snprintf(szEventLogFolder, sizeof(szEventLogFolder), "%s", folder_.c_str());
    snprintf(szDebugLogPath, sizeof(szDebugLogPath), "%sVhPJMLVTL7700.log", folder_.c_str());
}

// A trace folder that is a link is not traced into; the trace cannot say
// so, the event log does (debug mode).
TEST_F(PjmLink, RefusedTraceFolderIsToldInTheEventLog) {
    wchar_t win[MAX_PATH];
    GetWindowsDirectoryW(win, MAX_PATH);
    const std::wstring root(win, 2), ini = std::wstring(win) + L"\\VEKLMLOG.INI";
    const std::wstring target = root + L"\\vjlpjm-target", link = root + L"\\vjlpjm-link";
    CreateDirectoryW(target.c_str(), nullptr);
    ASSERT_TRUE(vjltest::MakeFolderLink(link, target));
    const std::string keys = "[VEKTL7700]\r\nMODE=1\r\nPATH=" + std::string(link.begin(), link.end()) + "\r\n";
    HANDLE f = CreateFileW(ini.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    WriteFile(f, keys.data(), static_cast<DWORD>(keys.size()), &n, nullptr);
    CloseHandle(f);
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini.c_str());
    PortContext* traced = Watch(OpenPortWb(L"PJM2:", kPrinter, PmDouble_Table()));
    DeleteFileW(ini.c_str());
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini.c_str());
    ASSERT_NE(traced, nullptr);
    EXPECT_EQ(traced->bTraceOn, 0u);
    Release(traced);
    PJLMonClosePort(traced);
    std::string events = Slurp(EventLogPath());
    EXPECT_EQ(events.rfind("Warning,", 0), 0u) << events;
    EXPECT_TRUE(EndsWith(events, ",VEK Tessaroline 7700 LanguageMonitor,Trace not written: the trace folder is a "
                                 "junction or symbolic link.\r\n"))
        << events;
    EXPECT_FALSE(Exists(std::string(target.begin(), target.end()) + "\\VEKTL7700LOG"));
    vjltest::RemoveFolderLink(link);
    RemoveDirectoryW(target.c_str());
}

TEST_F(PjmLink, DebugLogPiecesTakeTheirArgumentsInTurn) {
    bDebugMode = FALSE;
    WriteDebugLog("off");
    EXPECT_FALSE(Exists(szDebugLogPath));
    bDebugMode = TRUE;
    WriteDebugLog("a%S-%x-%s|", reinterpret_cast<ULONG_PTR>(L"wide"), 0x2a, reinterpret_cast<ULONG_PTR>("narrow"));
    SetLastError(1234);
    WriteDebugLog("keeps the error");
    EXPECT_EQ(GetLastError(), 1234u);
    std::string log = Slurp(szDebugLogPath);
    EXPECT_TRUE(std::regex_match(log, std::regex("\r\n\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\dawide-2a-narrow\\|"
                                                 "\r\n[0-9/: ]{19}keeps the error")))
        << log;
}

}  // namespace
