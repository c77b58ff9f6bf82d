// Trace log: settings file parsing, folder choice, file naming, line format,
// rotation and the job queue dump, on contexts built from the private heap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "diag/safefile.h"
#include "diag/trace.h"
#include "monitor/entry.h"
#include "state/jobqueue.h"
#include "support/unixlink.h"

#include <sddl.h>

namespace {

struct HeapEnv : ::testing::Environment {
    void SetUp() override { MonitorProcessAttach(GetModuleHandleW(nullptr)); }
};
::testing::Environment* const kHeapEnv = ::testing::AddGlobalTestEnvironment(new HeapEnv);

constexpr DWORD kMB = 1048576;

std::wstring WinDir()
{
    wchar_t buf[MAX_PATH];
    UINT n = GetWindowsDirectoryW(buf, MAX_PATH);
    return std::wstring(buf, n);
}

std::wstring IniPath() { return WinDir() + L"\\VEKLMLOG.INI"; }
std::wstring DefaultFolder() { return WinDir().substr(0, 2) + L"\\VEKTL7700LOG"; }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadAll(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}

void WriteBytes(const std::wstring& path, const std::string& data)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &done, nullptr));
    CloseHandle(h);
}

void RemoveIni()
{
    DeleteFileW(IniPath().c_str());
    // Drop the profile cache so the next read sees the file as it is on disk.
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, IniPath().c_str());
}

// Removes the trace files of these tests, then the folder if it is empty.
void CleanFolder(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW((folder + L"\\VEKLM-vjltrc*").c_str(), &fd);
    if (f != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((folder + L"\\" + fd.cFileName).c_str());
        } while (FindNextFileW(f, &fd));
        FindClose(f);
    }
    RemoveDirectoryW(folder.c_str());
}

std::vector<std::wstring> TraceFilesIn(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW((folder + L"\\VEKLM-*").c_str(), &fd);
    if (f != INVALID_HANDLE_VALUE) {
        do
            names.push_back(fd.cFileName);
        while (FindNextFileW(f, &fd));
        FindClose(f);
    }
    return names;
}

PortContext* NewContext(const wchar_t* printer)
{
    auto* ctx = static_cast<PortContext*>(MemAlloc(sizeof(PortContext)));
    if (ctx && printer)
        ctx->pszPrinterName = StrDupW(printer);
    return ctx;
}

void FreeContext(PortContext* ctx)
{
    if (!ctx)
        return;
    ResetTraceSettings(ctx);
    MemFree(ctx->pszPrinterName);
    MemFree(ctx);
}

// The settings file exists only for the moment of the read: other test
// programs of the suite expect tracing to be off.
BOOL LoadSettings(PortContext* ctx, const std::string& keys)
{
    WriteBytes(IniPath(), "[VEKTL7700]\r\n" + keys);
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, IniPath().c_str());
    BOOL on = ReadTraceSettings(ctx);
    RemoveIni();
    return on;
}

class Trace : public ::testing::Test {
protected:
    void SetUp() override { RemoveIni(); }
    void TearDown() override
    {
        for (PortContext* c : ctxs_)
            FreeContext(c);
        RemoveIni();
        CleanFolder(DefaultFolder());
    }
    PortContext* Open(const wchar_t* printer, const std::string& keys)
    {
        PortContext* ctx = NewContext(printer);
        ctxs_.push_back(ctx);
        EXPECT_TRUE(LoadSettings(ctx, keys));
        return ctx;
    }
    std::vector<PortContext*> ctxs_;
};

TEST_F(Trace, NoSettingsFileLeavesTracingOffAndCreatesNothing)
{
    CleanFolder(DefaultFolder());
    bool folderBefore = Exists(DefaultFolder());
    PortContext* ctx = NewContext(L"vjltrc-none");
    ctxs_.push_back(ctx);
    EXPECT_FALSE(ReadTraceSettings(ctx));
    EXPECT_EQ(ctx->bTraceOn, 0u);
    EXPECT_EQ(ctx->dwTraceMask, 0u);
    EXPECT_EQ(ctx->pszTraceFolder, nullptr);
    EXPECT_EQ(Exists(DefaultFolder()), folderBefore);
}

TEST_F(Trace, SettingsGiveMaskSizeAndHistory)
{
    struct Case {
        const char* keys;
        BOOL on;
        DWORD mask, size, history;
    };
    const Case cases[] = {
        {"", FALSE, 0, 10, 1},
        {"MODE=0\r\n", FALSE, 0, 10, 1},
        {"MODE=3\r\nLEVEL=3\r\n", FALSE, 0, 10, 1},
        {"MODE=1\r\n", TRUE, 0x70001, 10 * kMB, 1},
        {"MODE=2\r\nLEVEL=3\r\n", TRUE, 0x70007, 10 * kMB, 1},
        {"MODE=1\r\nLEVEL=2\r\n", TRUE, 0x70003, 10 * kMB, 1},
        {"MODE=1\r\nLEVEL=10\r\n", TRUE, 0x70003, 10 * kMB, 1},   // only the low three bits count
        {"MODE=1\r\nLEVEL=4\r\n", TRUE, 0x70001, 10 * kMB, 1},
        {"MODE=1\r\nMAGIC=4096\r\nLEVEL=3\r\nEXTLEVEL=3\r\n", TRUE, 0x41000, 10 * kMB, 1},
        {"MODE=1\r\nMAGIC=74565\r\n", TRUE, 0x72345, 10 * kMB, 1},  // 0x12345: low 16 bits only
        {"MODE=1\r\nEXTLEVEL=7\r\n", TRUE, 0x1, 10 * kMB, 1},
        {"MODE=1\r\nSIZE=0\r\n", TRUE, 0x70001, 10 * kMB, 1},
        {"MODE=1\r\nSIZE=101\r\n", TRUE, 0x70001, 10 * kMB, 1},
        {"MODE=1\r\nSIZE=1\r\n", TRUE, 0x70001, 1 * kMB, 1},
        {"MODE=1\r\nSIZE=100\r\n", TRUE, 0x70001, 100 * kMB, 1},
        {"MODE=1\r\nSIZE=5\r\nFLAG=1\r\n", TRUE, 0x70001, TRACE_NO_LIMIT, 1},
        {"MODE=1\r\nSIZE=5\r\nFLAG=2\r\n", TRUE, 0x70001, 5 * kMB, 1},
        {"MODE=1\r\nHISTORY=0\r\n", TRUE, 0x70001, 10 * kMB, 1},
        {"MODE=1\r\nHISTORY=9\r\n", TRUE, 0x70001, 10 * kMB, 9},
        {"MODE=1\r\nHISTORY=10\r\n", TRUE, 0x70001, 10 * kMB, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        PortContext* ctx = NewContext(L"vjltrc-settings");
        ASSERT_NE(ctx, nullptr);
        EXPECT_EQ(LoadSettings(ctx, c.keys), c.on);
        EXPECT_EQ(ctx->bTraceOn, static_cast<DWORD>(c.on));
        EXPECT_EQ(ctx->dwTraceMask, c.mask);
        EXPECT_EQ(ctx->dwTraceSize, c.size);
        EXPECT_EQ(ctx->dwTraceHistory, c.history);
        EXPECT_EQ(ctx->pszTraceFolder != nullptr, c.on != FALSE);
        FreeContext(ctx);
    }
}

TEST_F(Trace, ResetSwitchesOffAndFreesTexts)
{
    PortContext* ctx = Open(L"vjltrc-reset", "MODE=1\r\nLEVEL=3\r\nSIZE=2\r\nHISTORY=4\r\n");
    TraceWrite(ctx, "one line");
    ASSERT_NE(ctx->pszTraceFile, nullptr);
    ResetTraceSettings(ctx);
    EXPECT_EQ(ctx->bTraceOn, 0u);
    EXPECT_EQ(ctx->dwTraceMask, 0u);
    EXPECT_EQ(ctx->bTraceSecInit, 0u);
    EXPECT_EQ(ctx->dwTraceSize, 10u);
    EXPECT_EQ(ctx->dwTraceHistory, 1u);
    EXPECT_EQ(ctx->pszTraceFolder, nullptr);
    EXPECT_EQ(ctx->pszTraceFile, nullptr);
}

TEST_F(Trace, FolderComesFromPathOnlyOnUsableDrives)
{
    const std::wstring base = WinDir().substr(0, 2) + L"\\vjltrc-base";
    const std::wstring under = base + L"\\VEKTL7700LOG";

    // A letter no drive uses.
    std::wstring noDrive;
    for (wchar_t d = L'Q'; d <= L'Y' && noDrive.empty(); ++d) {
        wchar_t root[] = {d, L':', L'\\', 0};
        if (GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR)
            noDrive = std::wstring(1, d) + L":\\LOGS\\X";
    }
    // A CD-ROM drive, when the machine has one.
    std::wstring cdrom;
    for (wchar_t d = L'A'; d <= L'Z' && cdrom.empty(); ++d) {
        wchar_t root[] = {d, L':', L'\\', 0};
        if (GetDriveTypeW(root) == DRIVE_CDROM)
            cdrom = std::wstring(1, d) + L":\\LOGS";
    }

    struct Case {
        std::wstring path;   // empty: no PATH key
        bool present;
        std::wstring folder;
    };
    std::vector<Case> cases = {
        {L"", false, DefaultFolder()},
        {L"", true, DefaultFolder()},
        {L"DUMMY", true, DefaultFolder()},
        {L"LOGS", true, DefaultFolder()},
        {base + L"\\sub\\deeper", true, under},
        {base + L"\\", true, under},
        {base, true, under},
    };
    if (!noDrive.empty())
        cases.push_back({noDrive, true, DefaultFolder()});
    if (!cdrom.empty())
        cases.push_back({cdrom, true, DefaultFolder()});

    for (const Case& c : cases) {
        std::string keys = "MODE=1\r\n";
        if (c.present)
            keys += "PATH=" + std::string(c.path.begin(), c.path.end()) + "\r\n";
        SCOPED_TRACE(keys);
        PortContext* ctx = NewContext(L"vjltrc-path");
        ASSERT_TRUE(LoadSettings(ctx, keys));
        ASSERT_NE(ctx->pszTraceFolder, nullptr);
        EXPECT_EQ(std::wstring(ctx->pszTraceFolder), c.folder);
        EXPECT_TRUE(Exists(c.folder));
        FreeContext(ctx);
    }
    EXPECT_FALSE(Exists(base + L"\\sub"));
    RemoveDirectoryW(under.c_str());
    RemoveDirectoryW(base.c_str());
}

TEST_F(Trace, FileNameUsesCleanedPrinterName)
{
    wchar_t name[] = L"a/b:c*d?e<f>g|h\"i\\j k";
    CleanFileName(name);
    EXPECT_STREQ(name, L"a-b-c-d-e-f-g-h-i\\j k");

    PortContext* ctx = Open(L"vjltrc-A/B:C", "MODE=1\r\n");
    TraceWrite(ctx, "hello");
    const std::wstring live = DefaultFolder() + L"\\VEKLM-vjltrc-A-B-C.TRG";
    ASSERT_NE(ctx->pszTraceFile, nullptr);
    EXPECT_EQ(std::wstring(ctx->pszTraceFile), live);
    EXPECT_GE(ctx->cbTraceFile, (live.size() + 1) * sizeof(wchar_t));
    EXPECT_TRUE(Exists(live));
    // The port's own printer name is left as it was.
    EXPECT_STREQ(ctx->pszPrinterName, L"vjltrc-A/B:C");
}

TEST_F(Trace, NoPrinterNameWritesNothing)
{
    for (const wchar_t* printer : {static_cast<const wchar_t*>(nullptr), L""}) {
        PortContext* ctx = Open(printer, "MODE=1\r\n");
        TraceWrite(ctx, "dropped");
        TraceF(ctx, "dropped %d", 1);
        EXPECT_TRUE(TraceWriteRaw(ctx, "dropped\r\n"));
        EXPECT_TRUE(DumpJobQueue(ctx));
        EXPECT_EQ(ctx->pszTraceFile, nullptr);
    }
    EXPECT_TRUE(TraceFilesIn(DefaultFolder()).empty());
}

TEST_F(Trace, LineHasTimeStampAndIsCutAt1023Characters)
{
    PortContext* ctx = Open(L"vjltrc-line", "MODE=1\r\n");
    const std::wstring live = DefaultFolder() + L"\\VEKLM-vjltrc-line.TRG";

    SYSTEMTIME st;
    GetLocalTime(&st);
    TraceWrite(ctx, "VJLMON:PJLMonStartDocPort -START-");
    std::string got = ReadAll(live);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got, m, std::regex(R"((\d\d)/(\d\d) \d\d:\d\d:\d\d:\d\d\d\tVJLMON:PJLMonStartDocPort -START-\r\n)")))
        << got;
    EXPECT_EQ(std::stoi(m[1]), st.wMonth);
    EXPECT_EQ(std::stoi(m[2]), st.wDay);

    // The stamp and tab take 19 characters, so 1002 text characters fill a
    // line of exactly 1023; one more loses the line feed, longer texts lose
    // the whole line end.
    const size_t stamp = 19;
    struct Case {
        size_t textLen;
        std::string tail;
    };
    for (const Case& c : {Case{1002, "x\r\n"}, Case{1003, "x\r"}, Case{3000, "xx"}}) {
        SCOPED_TRACE(c.textLen);
        DeleteFileW(live.c_str());
        TraceWrite(ctx, std::string(c.textLen, 'x').c_str());
        got = ReadAll(live);
        EXPECT_EQ(got.size(), std::min<size_t>(stamp + c.textLen + 2, 1023));
        EXPECT_EQ(got.substr(got.size() - c.tail.size()), c.tail);
    }

    DeleteFileW(live.c_str());
    TraceF(ctx, "CommunityName = [%s] %d", "public", 42);
    got = ReadAll(live);
    ASSERT_GT(got.size(), stamp);
    EXPECT_EQ(got.substr(stamp), "CommunityName = [public] 42\r\n");
}

TEST_F(Trace, RawWriterAppendsTextAsGiven)
{
    PortContext* ctx = Open(L"vjltrc-raw", "MODE=1\r\n");
    const std::wstring live = DefaultFolder() + L"\\VEKLM-vjltrc-raw.TRG";
    EXPECT_TRUE(TraceWriteRaw(ctx, "dwPortStatus      [00000004]\r\n"));
    EXPECT_TRUE(TraceWriteRaw(ctx, "no line end"));
    TraceRawF(ctx, "|%s|", std::string(2000, 'y').c_str());
    EXPECT_EQ(ReadAll(live), "dwPortStatus      [00000004]\r\nno line end|" + std::string(2000, 'y') + "|");

    // The file may be deleted while the port is open; the next line makes it again.
    ASSERT_TRUE(DeleteFileW(live.c_str()));
    EXPECT_TRUE(TraceWriteRaw(ctx, "again\r\n"));
    EXPECT_EQ(ReadAll(live), "again\r\n");
}

TEST_F(Trace, WritersKeepTheLastError)
{
    PortContext* ctx = Open(L"vjltrc-lasterr", "MODE=1\r\n");
    // Reopening an existing file is where the file system sets its own code.
    TraceWrite(ctx, "create");
    SetLastError(0x1234);
    TraceWrite(ctx, "line");
    EXPECT_EQ(GetLastError(), 0x1234u);
    TraceF(ctx, "line %d", 2);
    EXPECT_EQ(GetLastError(), 0x1234u);
    TraceWriteRaw(ctx, "raw\r\n");
    EXPECT_EQ(GetLastError(), 0x1234u);
    TraceRawF(ctx, "raw %d\r\n", 2);
    EXPECT_EQ(GetLastError(), 0x1234u);
    DumpJobQueue(ctx);
    EXPECT_EQ(GetLastError(), 0x1234u);

    PortContext* off = NewContext(L"vjltrc-lasterr2");
    SetLastError(0x4321);
    ReadTraceSettings(off);   // no settings file: the search fails
    EXPECT_EQ(GetLastError(), 0x4321u);
    FreeContext(off);
}

TEST_F(Trace, HistoryOneRotatesIntoTr1)
{
    PortContext* ctx = Open(L"vjltrc-rot1", "MODE=1\r\nSIZE=1\r\nHISTORY=1\r\n");
    const std::wstring live = DefaultFolder() + L"\\VEKLM-vjltrc-rot1.TRG";
    const std::wstring tr1 = DefaultFolder() + L"\\VEKLM-vjltrc-rot1.TR1";

    // Just below the limit: the line still goes into the live file.
    WriteBytes(live, std::string(kMB - 10, 'a'));
    TraceWrite(ctx, "below");
    EXPECT_GT(ReadAll(live).size(), kMB);
    EXPECT_FALSE(Exists(tr1));

    // Now at or above it: the next line rotates first.
    TraceWrite(ctx, "after first");
    std::string rotated = ReadAll(tr1);
    EXPECT_EQ(rotated.size(), kMB - 10 + 19 + 7);
    EXPECT_EQ(rotated.substr(rotated.size() - 7), "below\r\n");
    std::string fresh = ReadAll(live);
    EXPECT_EQ(fresh.size(), 19u + 13u);
    EXPECT_EQ(fresh.substr(19), "after first\r\n");

    // The second rotation replaces the .TR1 file.
    WriteBytes(live, std::string(kMB, 'b'));
    TraceWrite(ctx, "after second");
    EXPECT_EQ(ReadAll(tr1), std::string(kMB, 'b'));
    EXPECT_EQ(ReadAll(live).substr(19), "after second\r\n");
    EXPECT_FALSE(Exists(DefaultFolder() + L"\\VEKLM-vjltrc-rot1.001"));
}

TEST_F(Trace, HistoryThreeKeepsTheThreeMostRecentFiles)
{
    PortContext* ctx = Open(L"vjltrc-rot3/x:y", "MODE=1\r\nSIZE=1\r\nHISTORY=3\r\n");
    const std::wstring stem = DefaultFolder() + L"\\VEKLM-vjltrc-rot3-x-y.";
    for (char marker : {'A', 'B', 'C', 'D'}) {
        WriteBytes(stem + L"TRG", std::string(kMB, marker));
        TraceWrite(ctx, std::string(1, marker).c_str());
        EXPECT_EQ(ReadAll(stem + L"TRG").substr(19), std::string(1, marker) + "\r\n");
    }
    EXPECT_EQ(ReadAll(stem + L"001"), std::string(kMB, 'D'));
    EXPECT_EQ(ReadAll(stem + L"002"), std::string(kMB, 'C'));
    EXPECT_EQ(ReadAll(stem + L"003"), std::string(kMB, 'B'));
    EXPECT_FALSE(Exists(stem + L"004"));
    EXPECT_FALSE(Exists(stem + L"TR1"));
}

TEST_F(Trace, NoLimitNeverRotates)
{
    PortContext* ctx = Open(L"vjltrc-nolimit", "MODE=1\r\nSIZE=1\r\nFLAG=1\r\n");
    const std::wstring live = DefaultFolder() + L"\\VEKLM-vjltrc-nolimit.TRG";
    WriteBytes(live, std::string(kMB + 100, 'z'));
    TraceWrite(ctx, "still here");
    EXPECT_EQ(ReadAll(live).size(), kMB + 100 + 19 + 12);
    EXPECT_EQ(TraceFilesIn(DefaultFolder()).size(), 1u);
}

TEST_F(Trace, JobQueueDumpInCodePage932)
{
    PortContext* ctx = Open(L"vjltrc-dump", "MODE=1\r\nLEVEL=3\r\n");
    const std::wstring live = DefaultFolder() + L"\\VEKLM-vjltrc-dump.TRG";

    EXPECT_TRUE(DumpJobQueue(ctx));
    // "\t\t\t送信ジョブリスト(JOBQUEUE)にジョブなし\r\n"
    EXPECT_EQ(ReadAll(live), "\t\t\t\x91\x97\x90\x4d\x83\x57\x83\x87\x83\x75\x83\x8a\x83\x58\x83\x67(JOBQUEUE)"
                             "\x82\xc9\x83\x57\x83\x87\x83\x75\x82\xc8\x82\xb5\r\n");

    auto* first = static_cast<JobQueueEntry*>(MemAlloc(sizeof(JobQueueEntry)));
    auto* second = static_cast<JobQueueEntry*>(MemAlloc(sizeof(JobQueueEntry)));
    ASSERT_TRUE(first && second);
    first->dwJobId = 7;
    strcpy(first->szUID, "HOST-0007");
    strcpy(first->szEOJUID, "EOJ-7");
    first->pNext = second;
    second->dwJobId = 12;
    strcpy(second->szUID, "HOST-0012");
    ctx->pJobQueueHead = first;
    ctx->pJobQueueTail = second;

    DeleteFileW(live.c_str());
    EXPECT_TRUE(DumpJobQueue(ctx));
    char addr1[16], addr2[16];
    snprintf(addr1, sizeof(addr1), "%08x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(first)));
    snprintf(addr2, sizeof(addr2), "%08x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(second)));
    // "\t\t\t送信ジョブリスト(JOBQUEUE)\r\n" ... "\t\t\tJob数 = 2\r\n"
    EXPECT_EQ(ReadAll(live),
              std::string("\t\t\t\x91\x97\x90\x4d\x83\x57\x83\x87\x83\x75\x83\x8a\x83\x58\x83\x67(JOBQUEUE)\r\n") +
                  "\t\t\tJobId = 7, UID = \"HOST-0007\", EOJUID=\"EOJ-7\", Addr=0x" + addr1 + "\r\n" +
                  "\t\t\tJobId = 12, UID = \"HOST-0012\", EOJUID=\"\", Addr=0x" + addr2 + "\r\n" +
                  "\t\t\tJob\x90\x94 = 2\r\n");

    ctx->pJobQueueHead = ctx->pJobQueueTail = nullptr;
    MemFree(first);
    MemFree(second);
}

} // namespace

namespace {

using vjltest::MakeFolderLink;
using vjltest::RemoveFolderLink;

PSID Sid(const wchar_t* text)
{
    PSID sid = nullptr;
    ConvertStringSidToSidW(text, &sid);
    return sid;
}

// The ACEs of a descriptor's DACL as (SID text, mask, flags).
struct Ace {
    std::wstring sid;
    DWORD mask;
    BYTE flags;
};
std::vector<Ace> AcesOf(PSECURITY_DESCRIPTOR sd, bool* isProtected)
{
    std::vector<Ace> out;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl)
        return out;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    *isProtected = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* p = nullptr;
        if (!GetAce(dacl, i, &p))
            continue;
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(p);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        LPWSTR text = nullptr;
        ConvertSidToStringSidW(&ace->SidStart, &text);
        out.push_back({text ? text : L"?", ace->Mask, ace->Header.AceFlags});
        LocalFree(text);
    }
    return out;
}

}  // namespace

// Owners other than SYSTEM, Administrators, TrustedInstaller and the
// monitor's own account, and links, are refused. Wine reports every file as
// owned by the running user, so the owner rule is shown here, on SIDs.
TEST(SafeFile, OwnersAndLinksAreJudged)
{
    const wchar_t* trusted[] = {L"S-1-5-18", L"S-1-5-32-544",
                                L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};
    for (const wchar_t* t : trusted) {
        PSID s = Sid(t);
        EXPECT_TRUE(IsTrustedOwner(s)) << t;
        EXPECT_EQ(JudgeFolder(FILE_ATTRIBUTE_DIRECTORY, s), PathVerdict::Ok) << t;
        EXPECT_EQ(JudgeFolder(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, s), PathVerdict::Link) << t;
        EXPECT_EQ(JudgeFolder(FILE_ATTRIBUTE_ARCHIVE, s), PathVerdict::Missing) << "a file is no folder";
        LocalFree(s);
    }
    const wchar_t* foreign[] = {L"S-1-5-32-545", L"S-1-1-0", L"S-1-5-11", L"S-1-5-21-1-2-3-1001",
                                L"S-1-5-80-1-2-3-4-5"};
    for (const wchar_t* t : foreign) {
        PSID s = Sid(t);
        EXPECT_FALSE(IsTrustedOwner(s)) << t;
        EXPECT_EQ(JudgeFolder(FILE_ATTRIBUTE_DIRECTORY, s), PathVerdict::NotOwned) << t;
        LocalFree(s);
    }
    EXPECT_FALSE(IsTrustedOwner(nullptr));
    EXPECT_EQ(JudgeFolder(FILE_ATTRIBUTE_DIRECTORY, nullptr), PathVerdict::NotOwned) << "an owner that cannot be read";

    // Files: a link, or a second name (a hard link someone made), is refused.
    EXPECT_EQ(JudgeFile(FILE_ATTRIBUTE_ARCHIVE, 1), PathVerdict::Ok);
    EXPECT_EQ(JudgeFile(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, 1), PathVerdict::Link);
    EXPECT_EQ(JudgeFile(FILE_ATTRIBUTE_ARCHIVE, 2), PathVerdict::Link);
    EXPECT_EQ(JudgeFile(FILE_ATTRIBUTE_DIRECTORY, 1), PathVerdict::Missing);
}

// Trace files: everyone reads, only SYSTEM and Administrators write; the
// monitor's folders: SYSTEM and Administrators full control, Users read,
// passed on to what is made inside. Neither takes ACEs from its parent.
TEST(SafeFile, DescriptorsOfWhatTheMonitorCreates)
{
    bool prot = false;
    auto file = AcesOf(TraceFileSecurity(), &prot);
    EXPECT_TRUE(prot);
    ASSERT_EQ(file.size(), 3u);
    EXPECT_EQ(file[0].sid, L"S-1-5-18");
    EXPECT_EQ(file[0].mask, FILE_ALL_ACCESS);
    EXPECT_EQ(file[1].sid, L"S-1-5-32-544");
    EXPECT_EQ(file[1].mask, FILE_ALL_ACCESS);
    EXPECT_EQ(file[2].sid, L"S-1-1-0");
    EXPECT_EQ(file[2].mask, FILE_GENERIC_READ);
    EXPECT_EQ(file[2].mask & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER), 0u);

    prot = false;
    auto folder = AcesOf(FolderSecurity(), &prot);
    EXPECT_TRUE(prot);
    ASSERT_EQ(folder.size(), 3u);
    EXPECT_EQ(folder[0].sid, L"S-1-5-18");
    EXPECT_EQ(folder[0].mask, FILE_ALL_ACCESS);
    EXPECT_EQ(folder[1].sid, L"S-1-5-32-544");
    EXPECT_EQ(folder[1].mask, FILE_ALL_ACCESS);
    EXPECT_EQ(folder[2].sid, L"S-1-5-32-545");
    EXPECT_EQ(folder[2].mask & (FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER), 0u);
    for (const Ace& a : folder)
        EXPECT_EQ(a.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE), OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
}

TEST_F(Trace, FilesAreCreatedWithTheReadOnlyForEveryoneDescriptor)
{
    PortContext* ctx = Open(L"vjltrc-dacl", "MODE=1\r\n");
    TraceWrite(ctx, "line");
    ASSERT_TRUE(ctx->bTraceSecInit);
    bool prot = false;
    auto aces = AcesOf(&ctx->TraceSecDesc, &prot);
    ASSERT_EQ(aces.size(), 3u) << "no null DACL: not everyone may write";
    EXPECT_TRUE(prot);
    EXPECT_EQ(aces[2].sid, L"S-1-1-0");
    EXPECT_EQ(aces[2].mask, FILE_GENERIC_READ);
}

// A user who makes the trace folder, or a folder on the way to it, a link
// to somewhere else would have the spooler write there. Such a folder is
// not used; the trace stays off for the port and nothing reaches the target.
TEST_F(Trace, LinkedFoldersAreNotWrittenThrough)
{
    const std::wstring root = WinDir().substr(0, 2);
    const std::wstring target = root + L"\\vjltrc-target";
    const std::wstring linkBase = root + L"\\vjltrc-linkbase";
    const std::wstring realBase = root + L"\\vjltrc-realbase";
    CreateDirectoryW(target.c_str(), nullptr);
    CreateDirectoryW(realBase.c_str(), nullptr);
    ASSERT_TRUE(MakeFolderLink(linkBase, target)) << "Wine shows a Unix directory link as a reparse point";
    ASSERT_TRUE(MakeFolderLink(realBase + L"\\VEKTL7700LOG", target));

    for (const std::wstring& path : {linkBase + L"\\sub", realBase}) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        PortContext* ctx = NewContext(L"vjltrc-link");
        EXPECT_FALSE(LoadSettings(ctx, "MODE=1\r\nPATH=" + std::string(path.begin(), path.end()) + "\r\n"));
        EXPECT_EQ(ctx->bTraceOn, 0u);
        EXPECT_EQ(ctx->dwTraceRefused, static_cast<DWORD>(PathVerdict::Link));
        TraceWrite(ctx, "must not land in the target");
        FreeContext(ctx);
    }
    EXPECT_TRUE(TraceFilesIn(target).empty());
    EXPECT_FALSE(Exists(target + L"\\VEKTL7700LOG"));

    // A folder swapped for a link after the port opened: the next line is dropped.
    RemoveFolderLink(realBase + L"\\VEKTL7700LOG");
    PortContext* ctx = Open(L"vjltrc-swap", "MODE=1\r\nPATH=" + std::string(realBase.begin(), realBase.end()) + "\r\n");
    TraceWrite(ctx, "first");
    const std::wstring live = realBase + L"\\VEKTL7700LOG\\VEKLM-vjltrc-swap.TRG";
    ASSERT_TRUE(Exists(live));
    DeleteFileW(live.c_str());
    ASSERT_TRUE(RemoveDirectoryW((realBase + L"\\VEKTL7700LOG").c_str()));
    ASSERT_TRUE(MakeFolderLink(realBase + L"\\VEKTL7700LOG", target));
    TraceWrite(ctx, "second");
    EXPECT_TRUE(TraceWriteRaw(ctx, "raw\r\n") == FALSE);
    EXPECT_TRUE(TraceFilesIn(target).empty());

    RemoveFolderLink(realBase + L"\\VEKTL7700LOG");
    RemoveFolderLink(linkBase);
    RemoveDirectoryW(realBase.c_str());
    RemoveDirectoryW(target.c_str());
}
