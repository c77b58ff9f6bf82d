// Print history files and the lost-job check, on port contexts made as
// OpenPortEx makes them, with a temporary base folder and a test clock.
#include "history/printcheck.h"
#include "jobpath/docport.h"
#include "monitor/trace_reader.h"
#include "state/binding.h"
#include "state/statusvar.h"
#include "state/config.h"
#include "support/unixlink.h"
#include "support/whitebox.h"
#include "fakespool.h"
#include "pmdouble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

SYSTEMTIME g_now;
void WINAPI TestClock(LPSYSTEMTIME st) { *st = g_now; }

void SetDay(WORD year, WORD month, WORD day, WORD hour = 12, WORD minute = 0) {
    g_now = SYSTEMTIME{year, month, 0, day, hour, minute, 0, 0};
}

std::vector<std::string> ReadLines(const std::string& path) {
    return TraceOnForTest::Lines(std::wstring(path.begin(), path.end()));
}

void WriteFileText(const std::string& path, const std::string& text) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD n = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    CloseHandle(h);
}

void RemoveTree(const std::string& dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

size_t FilesIn(const std::string& dir) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
        n += it->path().filename().string().rfind("LMOUT_", 0) == 0;
    return n;
}

// Trace texts of the port that start with a prefix, in order.
std::vector<std::string> TraceTexts(PortContext* ctx, const char* prefix) {
    std::vector<std::string> out;
    if (!ctx->pszTraceFile) return out;
    for (auto& l : TraceOnForTest::Lines(ctx->pszTraceFile)) {
        std::string t = TraceOnForTest::Text(l);
        if (t.rfind(prefix, 0) == 0) out.push_back(t);
    }
    return out;
}

constexpr wchar_t kPrinter[] = L"Office A/B";
constexpr char kPrinterFilePart[] = "Office A_B";

class History : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        FakeSpool_Reset();
        PmDouble_Reset();
        pfnHistoryLocalTime = TestClock;
        SetDay(2024, 1, 5);
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        base = std::string(tmp) + "vjlhist" + std::to_string(GetCurrentProcessId()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        dir = base + "\\RAS\\Trc";
        RemoveTree(base);
        std::filesystem::create_directories(dir);
        prnChk.SetDword("PrnOrdChk", 1);
        baseDir.SetString("BaseDir", base);
        FakeSpool_AddDriver(L"Hist Driver", L"Other Monitor");
        FakeSpool_AddPrinter(kPrinter, L"Hist Driver", L"USBH01", 0, L"winprint", 0);
        tool = FakeSpool_AddJob(kPrinter, 0, 0, L"Quorvex-Report 7", L"user", 1);
        plain = FakeSpool_AddJob(kPrinter, 0, 0, L"Letter.doc", L"user", 1);
    }
    void TearDown() override {
        for (PortContext* c : contexts) {
            std::wstring trace = c->pszTraceFile ? c->pszTraceFile : L"";
            FreeContext(c);
            if (!trace.empty()) DeleteFileW(trace.c_str());
        }
        pfnHistoryLocalTime = GetLocalTime;
        RemoveTree(base);
    }
    PortContext* Port(const wchar_t* port = L"USBH01") {
        PortContext* c = NewContext(port, kPrinter);
        EXPECT_NE(c, nullptr);
        GetPrintCheckInfo(c);
        contexts.push_back(c);
        return c;
    }
    std::string File(const char* date, int n) {
        char name[64];
        snprintf(name, sizeof(name), "_%s_%03d.txt", date, n);
        return dir + "\\LMOUT_" + kPrinterFilePart + name;
    }

    std::string base, dir;
    TestRegKey prnChk{kPrnChkKey};
    TestRegKey baseDir{kBaseDirKey};
    DWORD tool = 0, plain = 0;
    std::vector<PortContext*> contexts;
};

TEST_F(History, EventsOfToolJobsGoToTodaysFileAndCloseEndsIt) {
    TraceOnForTest trace;
    PortContext* ctx = Port();
    ASSERT_EQ(ctx->dwPrnOrdChk, 1u);
    EXPECT_EQ(std::string(ctx->szHistoryDir), dir);

    OutPrnHist_JobStatus(ctx, tool, "Start");
    OutPrnHist_JobStatus(ctx, plain, "Start");   // not a tool job: no line, not counted
    SetLastError(1234);
    OutPrnHist_JobStatus(ctx, 999, "End");       // unknown to the spooler: no line
    EXPECT_EQ(GetLastError(), 1234u) << "the spooler's view of the document call is kept";
    OutPrnHist_JobStatus(ctx, tool, "End");
    OutPrnHist_JobStatus(ctx, tool, "Cancel");
    std::wstring longName = L"Quorvex-" + std::wstring(70, L'x');
    OutPrnHist_JobStatus(ctx, FakeSpool_AddJob(kPrinter, 0, 0, longName.c_str(), L"user", 1), "Start");
    EXPECT_EQ(ctx->dwHistoryLines, 4u);
    ResetPrintCheckInfo(ctx);
    EXPECT_EQ(ctx->hHistoryFile, nullptr);

    std::string first = File("20240105", 1);
    EXPECT_EQ(ReadLines(first), (std::vector<std::string>{"Quorvex-Report 7\tStart", "Quorvex-Report 7\tEnd",
                                                         "Quorvex-Report 7\tCancel",
                                                         "Quorvex-" + std::string(55, 'x') + "\tStart", "__TERMINATER__"}));
    // A close with nothing open still leaves a terminated file.
    ResetPrintCheckInfo(ctx);
    EXPECT_EQ(ReadLines(File("20240105", 2)), std::vector<std::string>{"__TERMINATER__"});
    EXPECT_EQ(FilesIn(dir), 2u);

    auto prnChk = TraceTexts(ctx, "PrnChk:");
    ASSERT_EQ(prnChk.size(), 10u);
    EXPECT_EQ(prnChk[2], "PrnChk: PP_REG [BaseDir] = " + dir);
    EXPECT_EQ(prnChk[3], "PrnChk: PP_REG [PrnLostChk] can not get.");
    auto ordLines = TraceTexts(ctx, "PrnOrdChk:");
    auto has = [&](const std::string& t) { return std::count(ordLines.begin(), ordLines.end(), t); };
    EXPECT_EQ(has("PrnOrdChk: [PrintHistoryFile] = " + first), 1);
    EXPECT_EQ(has("PrnOrdChk: <LMOUT> JobId=" + std::to_string(tool) + ", Msg=Quorvex-Report 7\tStart"), 1);
    EXPECT_EQ(has("PrnOrdChk: OutPrnHist_JobStatus(JobId=999, JobStatus=End)"), 1);
    EXPECT_EQ(has("PrnOrdChk: @CP3 GetJob()->GetLastError()=0x00000057"), 1);
    EXPECT_EQ(has("PrnOrdChk: [PrintHistoryFile] wrote terminater."), 2);
}

TEST_F(History, SettingsDefaultWhenTheKeysAreMissing) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPrnChkKey);
    PortContext* off = Port(L"USBH02");
    EXPECT_EQ(off->dwPrnOrdChk, 0u);
    EXPECT_EQ(off->dwPrnLostChk, 1u);
    TestRegKey on(kPrnChkKey);   // on, without BaseDir: the executable's folder
    on.SetDword("PrnOrdChk", 1);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kBaseDirKey);
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    *(strrchr(exe, '\\') + 1) = '\0';
    EXPECT_EQ(std::string(Port(L"USBH03")->szHistoryDir), std::string(exe) + "\\RAS\\Trc");
}

TEST_F(History, ThousandthLineClosesTheFileAndTheNextEventTakesTheNextNumber) {
    PortContext* ctx = Port();
    for (int i = 0; i < 1000; ++i) {
        OutPrnHist_JobStatus(ctx, tool, "Start");
        if (i == 500) OutPrnHist_JobStatus(ctx, plain, "Start");
    }
    EXPECT_EQ(ctx->hHistoryFile, nullptr) << "closed at the thousandth line";
    auto lines = ReadLines(File("20240105", 1));
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_EQ(lines[999], "Quorvex-Report 7\tStart");
    EXPECT_EQ(lines[1000], "__TERMINATER__");

    OutPrnHist_JobStatus(ctx, tool, "End");
    EXPECT_EQ(ctx->dwHistoryLines, 1u);
    ResetPrintCheckInfo(ctx);
    EXPECT_EQ(ReadLines(File("20240105", 2)), (std::vector<std::string>{"Quorvex-Report 7\tEnd", "__TERMINATER__"}));
}

TEST_F(History, FirstEventOfANewDayClosesYesterdaysFile) {
    PortContext* ctx = Port();
    SetDay(2024, 1, 5, 23, 59);
    OutPrnHist_JobStatus(ctx, tool, "Start");
    SetDay(2024, 1, 6, 0, 1);
    OutPrnHist_JobStatus(ctx, plain, "End");   // any event rolls the day over
    EXPECT_EQ(ReadLines(File("20240105", 1)),
              (std::vector<std::string>{"Quorvex-Report 7\tStart", "__TERMINATER__"}));
    OutPrnHist_JobStatus(ctx, tool, "End");
    ResetPrintCheckInfo(ctx);
    EXPECT_EQ(ReadLines(File("20240106", 1)), (std::vector<std::string>{"Quorvex-Report 7\tEnd", "__TERMINATER__"}));
}

TEST_F(History, SequenceNumbersFollowTheNewestFileOfTheDay) {
    char name[MAX_PATH];
    DWORD seq = 0;
    // The sequence number after a folder holding only the given file of today.
    auto nextAfter = [&](const char* file) {
        RemoveTree(dir);
        std::filesystem::create_directories(dir);
        if (file) WriteFileText(dir + "\\" + file, "");
        WriteFileText(dir + "\\LMOUT_P_20240104_007.txt", "");   // another day does not count
        EXPECT_EQ(NextHistoryFileName(dir.c_str(), "LMOUT", "P", ".txt", name, sizeof(name), &seq), 0u);
        return seq;
    };
    EXPECT_EQ(nextAfter(nullptr), 1u);
    EXPECT_STREQ(name, "LMOUT_P_20240105_001.txt");
    EXPECT_EQ(nextAfter("LMOUT_P_20240105_041.txt"), 42u);
    EXPECT_EQ(nextAfter("LMOUT_P_20240105_7.txt"), 1u) << "not three characters: number 0";
    EXPECT_EQ(nextAfter("LMOUT_P_20240105_100.txt"), 1u);
    EXPECT_STREQ(name, "LMOUT_P_20240105_001.txt");

    EXPECT_NE(NextHistoryFileName((base + "\\missing").c_str(), "LMOUT", "P", ".txt", name, sizeof(name), &seq), 0u);
}

TEST_F(History, AReusedNumberStartsAnEmptyFile) {
    WriteFileText(File("20240105", 1), "Quorvex-Old job from this morning\tStart\r\nQuorvex-Old\tEnd\r\n");
    WriteFileText(File("20240105", 100), "");
    PortContext* ctx = Port();
    OutPrnHist_JobStatus(ctx, tool, "Start");
    ResetPrintCheckInfo(ctx);
    EXPECT_EQ(ReadLines(File("20240105", 1)), (std::vector<std::string>{"Quorvex-Report 7\tStart", "__TERMINATER__"}));
}

TEST_F(History, InvalidFileNameCharactersBecomeUnderscores) {
    char name[MAX_PATH];
    ASSERT_EQ(NextHistoryFileName(dir.c_str(), "LMOUT", "a\\b/c:d,e;f*g?h\"i<j>k|l", ".txt", name, sizeof(name),
                                  nullptr),
              0u);
    EXPECT_STREQ(name, "LMOUT_a_b_c_d_e_f_g_h_i_j_k_l_20240105_001.txt");

    // In code page 932 the second byte of a double-byte character may be a
    // backslash (0x95 0x5C); it is part of the character, not a separator.
    char out[368] = {};
    EXPECT_TRUE(ReplaceInvalidCharsCp(932, "\x95\x5C\\\x83\x5C:", out, kInvalidNameChars));
    EXPECT_STREQ(out, "\x95\x5C_\x83\x5C_");
    EXPECT_TRUE(ReplaceInvalidCharsCp(932, "\x95\x5C", nullptr, kInvalidNameChars));
    EXPECT_FALSE(ReplaceInvalidCharsCp(932, "ok?", nullptr, kInvalidNameChars));
    EXPECT_FALSE(ReplaceInvalidChars(nullptr, out, kInvalidNameChars));
}

// The history folder missing, or the file to be written taken by a folder:
// the history goes off for the port and printing goes on.
TEST_F(History, UnwritableHistorySwitchesItselfOffWithoutFailingPrinting) {
    TraceOnForTest trace;
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant);
        PmDouble_Reset();
        if (variant == 0) {
            RemoveTree(dir);
        } else {
            CreateDirectoryA(dir.c_str(), nullptr);
            CreateDirectoryA(File("20240105", 1).c_str(), nullptr);
            WriteFileText(File("20240105", 100), "");
        }
        PortContext* ctx = OpenPortWb(L"USBH01", kPrinter, PmDouble_Table());
        ASSERT_NE(ctx, nullptr);
        for (int i = 0; i < 2; ++i) {
            DOC_INFO_1W di{const_cast<LPWSTR>(L"Quorvex-Report 7"), nullptr, nullptr};
            EXPECT_TRUE(PJLMonStartDocPort(ctx, const_cast<LPWSTR>(kPrinter), tool, 1, reinterpret_cast<BYTE*>(&di)));
            EXPECT_TRUE(PJLMonEndDocPort(ctx));
        }
        EXPECT_EQ(ctx->dwPrnOrdChk, 0u);
        EXPECT_EQ(PmDouble_CallCount(PM_STARTDOC), 2u);
        EXPECT_EQ(PmDouble_CallCount(PM_ENDDOC), 2u);
        auto off = TraceTexts(ctx, "PrnOrdChk: [PrintHistoryFile] can not open.");
        EXPECT_EQ(off.size(), 1u) << "tried once, then off";
        std::wstring traceFile = ctx->pszTraceFile ? ctx->pszTraceFile : L"";
        EXPECT_TRUE(PJLMonClosePort(ctx));
        if (!traceFile.empty()) DeleteFileW(traceFile.c_str());
        EXPECT_EQ(FilesIn(dir), variant == 0 ? 0u : 2u) << "nothing written";
    }
}

// The history is written as SYSTEM: a history folder, or a folder on the
// way to it, that is a link to somewhere else is not written through. The
// history goes off for the port, and the trace says why.
TEST_F(History, LinkedFolderIsNotWrittenThrough) {
    TraceOnForTest trace;
    const std::string target = base + "\\target";
    std::filesystem::create_directories(target);
    auto wide = [](const std::string& s) { return std::wstring(s.begin(), s.end()); };
    for (const std::string& link : {dir, base + "\\RAS"}) {
        SCOPED_TRACE(link);
        RemoveTree(base + "\\RAS");
        if (link == dir) CreateDirectoryA((base + "\\RAS").c_str(), nullptr);
        ASSERT_TRUE(vjltest::MakeFolderLink(wide(link), wide(target)));
        if (link != dir) CreateDirectoryA((target + "\\Trc").c_str(), nullptr);
        PortContext* ctx = Port();
        OutPrnHist_JobStatus(ctx, tool, "Start");
        ResetPrintCheckInfo(ctx);
        EXPECT_EQ(ctx->dwPrnOrdChk, 0u);
        EXPECT_EQ(FilesIn(target), 0u);
        EXPECT_EQ(FilesIn(target + "\\Trc"), 0u);
        auto why = TraceTexts(ctx, "PrnOrdChk: [PrintHistoryFile] folder not used: a junction or symbolic link");
        EXPECT_EQ(why.size(), 1u);
        EXPECT_EQ(TraceTexts(ctx, "PrnOrdChk: [PrintHistoryFile] can not open.").size(), 1u);
        if (ctx->pszTraceFile) DeleteFileW(ctx->pszTraceFile);   // the next round counts afresh
        vjltest::RemoveFolderLink(wide(link));
    }
}

TEST_F(History, LinesFromTwoThreadsNeverInterleave) {
    std::wstring a(55, L'A'), b(55, L'B');
    DWORD jobA = FakeSpool_AddJob(kPrinter, 0, 0, (L"Quorvex-" + a).c_str(), L"user", 1);
    DWORD jobB = FakeSpool_AddJob(kPrinter, 0, 0, (L"Quorvex-" + b).c_str(), L"user", 1);
    PortContext* ctx = Port();
    constexpr int kEach = 600;   // 1200 lines: the roll-over happens under both threads
    std::thread spooler([&] {
        for (int i = 0; i < kEach; ++i) OutPrnHist_JobStatus(ctx, jobA, "Start");
    });
    std::thread refresh([&] {
        for (int i = 0; i < kEach; ++i) OutPrnHist_JobStatus(ctx, jobB, "End");
    });
    spooler.join();
    refresh.join();
    ResetPrintCheckInfo(ctx);

    std::string lineA = "Quorvex-" + std::string(a.begin(), a.end()) + "\tStart";
    std::string lineB = "Quorvex-" + std::string(b.begin(), b.end()) + "\tEnd";
    auto first = ReadLines(File("20240105", 1)), second = ReadLines(File("20240105", 2));
    ASSERT_EQ(first.size(), 1001u);
    ASSERT_EQ(second.size(), 201u);
    EXPECT_EQ(first.back(), "__TERMINATER__");
    EXPECT_EQ(second.back(), "__TERMINATER__");
    first.insert(first.end(), second.begin(), second.end());   // 1200 lines: each must be whole
    EXPECT_EQ(std::count(first.begin(), first.end(), lineA), kEach);
    EXPECT_EQ(std::count(first.begin(), first.end(), lineB), kEach);
}

// Publications of ErrPrintSequence through a hand-made binding.
std::vector<DWORD> g_published;
LONG WINAPI RecordUpdate(SRMHANDLE, LPCSTR name, const void* value, DWORD cb) {
    if (strcmp(name, "ErrPrintSequence") == 0 && cb == 4) g_published.push_back(*static_cast<const DWORD*>(value));
    return 0;
}

TEST_F(History, LostJobBitsAccumulateAndArePublishedOnce) {
    TraceOnForTest trace;
    PortContext* ctx = Port();
    auto* bind = static_cast<SrmBinding*>(MemAlloc(sizeof(SrmBinding)));
    bind->hManager = 1;
    bind->pfnUpdatePrinterStatusA = RecordUpdate;
    bind->qwModelMask[0] = kSupportedMaskLow;
    bind->qwModelMask[1] = kSupportedMaskHigh;
    ctx->pBindList = ctx->pCurBind = bind;
    g_published.clear();

    PrnLostChk(ctx, LOST_ENDDOC, "Lost EndDoc");
    PrnLostChk(ctx, LOST_ENDDOC, "Lost EndDoc");
    PrnLostChk(ctx, LOST_JOB_SUSPENDED, "JobSuspended");
    EXPECT_EQ(g_published, (std::vector<DWORD>{0x1, 0x5}));
    auto lines = TraceTexts(ctx, "PrnLostChk:");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], "PrnLostChk: [Lost EndDoc] @ 1st time(do update SRM)");
    EXPECT_EQ(lines[3], "PrnLostChk: [Lost EndDoc] @ not 1st time(do not update SRM)");

    ctx->dwPrnLostChk = 0;
    PrnLostChk(ctx, 0x2, "Other");
    EXPECT_EQ(g_published.size(), 2u);

    ctx->pBindList = ctx->pCurBind = nullptr;
    MemFree(bind);
}

}  // namespace
