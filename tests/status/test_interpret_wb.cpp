// The status interpretation of a supported printer's poll record, with the
// printer's manager bound through the manager double: what each condition
// publishes, what the spooler's port status becomes, and that a round with
// nothing new publishes nothing. The SNMP reads of the interpretation go to
// the simulated printer.
#include <winsock2.h>
#include <windows.h>

#include "diag/trace.h"
#include "state/bind_fixture.h"
#include "snmp/snmp.h"
#include "state/config.h"
#include "status/devpoll.h"
#include "status/interpret.h"
#include "support/simprinter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes Dwords(std::initializer_list<DWORD> words) {
    Bytes b(words.size() * 4);
    memcpy(b.data(), words.begin(), b.size());
    return b;
}

std::vector<SrmDoubleUpdateRecord> Updates() {
    std::vector<SrmDoubleUpdateRecord> v(SrmDouble_GetUpdateLog(nullptr, 0));
    v.resize(SrmDouble_GetUpdateLog(v.data(), static_cast<DWORD>(v.size())));
    return v;
}

// The last value each variable was sent with since the logs were cleared.
std::map<std::string, Bytes> Sent() {
    std::map<std::string, Bytes> m;
    for (const auto& u : Updates()) m[u.name] = Bytes(u.value, u.value + u.cbValue);
    return m;
}

class Interpret : public BindFixture {
protected:
    void SetUp() override {
        BindFixture::SetUp();
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &wsa), 0);
        Open();
        AddPrinter(L"Printer A");
        ASSERT_NE(BindManaged(L"Printer A"), nullptr);
        ctx->qwStatusMask[0] = kSupportedMaskLow;
        ctx->qwStatusMask[1] = kSupportedMaskHigh;
        // The refresh thread interprets: an unchanged status is not sent again.
        StatusSet(ctx, ST_THREAD_RUN);
        Idle({});
        ParseDeviceId_SYSPRINTER(ctx);
        Clear();
    }
    void TearDown() override {
        if (ctx) StatusClear(ctx, ST_THREAD_RUN);
        BindFixture::TearDown();
        WSACleanup();
    }
    void Clear() {
        SrmDouble_ClearLogs();
        FakeSpool_ClearLogs();
    }
    // A fresh poll of an idle supported printer with two bins read.
    void Idle(std::initializer_list<const char*> alerts, DWORD hrDev = 2, DWORD hrPrt = 3) {
        PollRecord& p = ctx->Poll;
        memset(&p, 0, sizeof(p));
        p.dwMibFlags = MIBF_DESCR | MIBF_SUPPORTED | MIBF_ALERT | MIBF_INPUT | MIBF_OUTPUT | MIBF_LANG;
        strcpy(p.szSysDescr, "VEK Tessaroline 7700 (LV)");
        p.dwLangFlags = 0x1;
        p.dwHrDeviceStatus = hrDev;
        p.dwHrPrinterStatus = hrPrt;
        for (const char* a : alerts) strcpy(p.szAlert[p.dwAlertCount++], a);
        Bin("HOPPER1", "A4TYPE,CURRENT", -3);
        Bin("TRAY", "", 0);
        p.OptionBin[0].dwId = OPTION_STANDARD_OUTPUT;
    }
    void Bin(const char* name, const char* desc, LONG level) {
        InputBinRecord& b = ctx->Poll.InputBin[ctx->Poll.dwInputCount++];
        strcpy(b.szName, name);
        strcpy(b.szMedia, "PLAIN");
        strcpy(b.szDescription, desc);
        b.bCurrent = strstr(desc, "CURRENT") != nullptr;
        b.dwLevel = level;
        b.dwSizeX = 210000;
        b.dwSizeY = 297000;
    }
    std::vector<FakeSpoolSetPortRecord> Ports() { return FakeSpoolSetPortLog(); }
    // The port status of the last SetPortW, 0xFFFFFFFF when none was made.
    DWORD LastPortStatus() {
        auto p = Ports();
        return p.empty() ? 0xFFFFFFFF : p.back().status;
    }
};

TEST_F(Interpret, FirstRoundNamesMakerModelAndLanguages) {
    auto text = [this](const char* name) {
        StatusVariable* row = LookupStatusVariable(name, ctx->pVarTable, ctx);
        return row && row->pValue ? std::string(static_cast<const char*>(row->pValue), 32) : std::string();
    };
    EXPECT_EQ(text("PrinterManufacturer"), std::string("VEK", 3) + std::string(29, '\0'));
    EXPECT_EQ(text("PrinterModel"), std::string("Tessaroline 7700 (LV)") + std::string(11, '\0'));
    StatusVariable* emu = LookupStatusVariable("EmulationInfo", ctx->pVarTable, ctx);
    ASSERT_TRUE(emu && emu->pValue);
    EXPECT_EQ(Bytes(static_cast<BYTE*>(emu->pValue), static_cast<BYTE*>(emu->pValue) + 8), Dwords({1, 0}));
}

TEST_F(Interpret, PaperJamStopsThePrinterAndClearsAgain) {
    Idle({"SideA Cover Paper Jam", "Printer Offline"}, 5, 1);
    ParseDeviceId_SYSPRINTER(ctx);
    auto sent = Sent();
    EXPECT_EQ(sent["PrinterStatus"], Dwords({0, 0, 0x1000 | 0x10000})) << "jam and offline, so not online";
    EXPECT_EQ(sent["IconState"], Dwords({1}));
    EXPECT_EQ(sent["ErrPaperJam"], Dwords({0x10001}));
    auto ports = Ports();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].level, 3u);
    EXPECT_EQ(ports[0].status, static_cast<DWORD>(PORT_STATUS_PAPER_JAM)) << "the jam row comes before offline";
    EXPECT_EQ(ports[0].severity, static_cast<DWORD>(PORT_STATUS_TYPE_ERROR));
    EXPECT_EQ(ctx->dwPortSeverity, static_cast<DWORD>(PORT_STATUS_TYPE_ERROR));

    Clear();
    Idle({});
    ParseDeviceId_SYSPRINTER(ctx);
    sent = Sent();
    EXPECT_EQ(sent["PrinterStatus"], Dwords({0, 0, 0x1}));
    EXPECT_EQ(sent["IconState"], Dwords({0}));
    EXPECT_EQ(sent["ErrPaperJam"], Dwords({0})) << "a jam that has gone publishes its zero value";
    EXPECT_EQ(sent.count("ErrCoverOpen"), 0u) << "never triggered";
    ports = Ports();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].status, 0u);
    EXPECT_EQ(ports[0].severity, 0u);

    Clear();
    Idle({});
    ParseDeviceId_SYSPRINTER(ctx);
    EXPECT_EQ(Sent().size(), 0u) << "nothing changed: " << (Sent().empty() ? "" : Sent().begin()->first);
    EXPECT_EQ(Ports().size(), 0u);
}

TEST_F(Interpret, WarningsOfflineAndPowerSave) {
    // Not down: the basic table still knows the toner warning.
    Idle({"Low Toner", "No Toner"});
    ParseDeviceId_SYSPRINTER(ctx);
    auto sent = Sent();
    EXPECT_EQ(sent["PrinterStatus"], Dwords({0, 0, 0x1 | 0x2}));
    EXPECT_EQ(sent["IconState"], Dwords({2}));
    EXPECT_EQ(sent["ErrSupplies"], Dwords({2, 0, 0x2}));
    auto ports = Ports();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].status, static_cast<DWORD>(PORT_STATUS_TONER_LOW));
    EXPECT_EQ(ports[0].severity, static_cast<DWORD>(PORT_STATUS_TYPE_WARNING));

    Clear();
    Idle({"Printer Offline"});
    ParseDeviceId_SYSPRINTER(ctx);
    sent = Sent();
    EXPECT_EQ(sent["PrinterStatus"], Dwords({0, 0, 0x1000}));
    EXPECT_EQ(sent.count("IconState"), 0u) << "still a warning icon";
    EXPECT_EQ(sent["ErrSupplies"], Dwords({2, 0, 0}));
    EXPECT_EQ(LastPortStatus(), static_cast<DWORD>(PORT_STATUS_OFFLINE));

    // Power saving with no job of ours: the printer's job table is asked
    // (nothing printing), the icon stays quiet.
    Clear();
    Idle({}, 2, 1);
    ctx->Poll.dwPowerSave = 1000;
    ParseDeviceId_SYSPRINTER(ctx);
    sent = Sent();
    EXPECT_EQ(sent["PrinterStatus"], Dwords({0, 0, 0x1 | 0x40}));
    EXPECT_EQ(sent["IconState"], Dwords({0}));
    EXPECT_EQ(LastPortStatus(), 0u);
}

TEST_F(Interpret, NoPaperNamesTheBinAndItsSize) {
    // Hopper 1 empty: paper out, with the bin and its A4 size.
    Idle({"Hop1 No Paper"}, 5, 1);
    ctx->Poll.InputBin[0].dwLevel = 0;
    ParseDeviceId_SYSPRINTER(ctx);   // the bins are built before the status, from this same poll
    auto sent = Sent();
    EXPECT_EQ(sent["PrinterStatus"], Dwords({0, 0, 0x1 | 0x800000}));
    EXPECT_EQ(sent["ErrNoPaper"], Dwords({1 | 9 << 16}));
    EXPECT_EQ(sent["ErrNoPaper2"], Dwords({1 | 9 << 16, 0}));
    EXPECT_EQ(LastPortStatus(), static_cast<DWORD>(PORT_STATUS_PAPER_OUT));

    // The printer still counts sheets in that hopper: a paper problem, not
    // paper out.
    Clear();
    Idle({"Hop1 No Paper"}, 5, 1);
    ParseDeviceId_SYSPRINTER(ctx);
    sent = Sent();
    EXPECT_EQ(sent["PrinterStatus"], Dwords({0, 0, 0x1 | 0x4000000}));
    EXPECT_EQ(sent.count("ErrNoPaper"), 0u) << "the same bin";
    EXPECT_EQ(LastPortStatus(), static_cast<DWORD>(PORT_STATUS_PAPER_PROBLEM));
}

TEST_F(Interpret, BinsAndStackerChangeTheConfiguration) {
    auto config = [](std::initializer_list<BinConfigEntry> entries) {
        Bytes b(4 + 12 * kBinConfigEntries);
        DWORD n = static_cast<DWORD>(entries.size());
        memcpy(b.data(), &n, 4);
        memcpy(b.data() + 4, entries.begin(), entries.size() * 12);
        b.resize(4 + 12 * n);   // the store sends the counted entries only
        return b;
    };
    Idle({});
    ctx->Poll.dwInputCount = 0;
    Bin("HOPPER2", "A4TYPE", 50);
    Bin("HOPPER4", "A4TYPE,CURRENT", -3);
    Bin("TRAY", "", -3);
    ctx->Poll.OptionBin[1].dwId = OPTION_STACKER_TRAY;
    ParseDeviceId_SYSPRINTER(ctx);
    auto sent = Sent();
    EXPECT_EQ(sent["PrinterBinConfig"], config({{2, 1, 9, 254, 0, 0}, {4, 3, 9, 100, 0, 0}, {2001, 2001, 9, 100, 0, 0}}));
    EXPECT_EQ(sent["CurrentFeeder"], Dwords({4}));
    EXPECT_EQ(sent["PrinterOptConfig"], Dwords({2, 1 | 1 << 16, 0, 5001 | 5001u << 16, 0}));
    EXPECT_EQ(sent.count("PrinterStatus"), 0u) << "the status itself did not change";
    EXPECT_EQ(Ports().size(), 1u) << "published configuration refreshes the port status";

    Clear();
    ctx->Poll.OptionBin[1].dwId = 0;
    ParseDeviceId_SYSPRINTER(ctx);
    sent = Sent();
    EXPECT_EQ(sent["PrinterOptConfig"], Dwords({1, 1 | 1 << 16, 0}));
    EXPECT_EQ(sent.size(), 1u) << sent.begin()->first;

    // A busy port reads no tables: the configuration stays as it is.
    Clear();
    ctx->Poll.dwMibFlags &= ~(MIBF_INPUT | MIBF_OUTPUT);
    ParseDeviceId_SYSPRINTER(ctx);
    EXPECT_EQ(Updates().size(), 0u);
}

TEST_F(Interpret, IdlePrinterWithQueuedJobsLosesThemAfterFiftyRounds) {
    SrmBinding* bind = ctx->pBindList;
    auto* job = static_cast<JobQueueEntry*>(MemAlloc(sizeof(JobQueueEntry)));
    ASSERT_NE(job, nullptr);
    job->dwJobId = 7;
    job->pBind = bind;
    ctx->pJobQueueHead = ctx->pJobQueueTail = job;
    ctx->dwSysFlag |= SYS_DATA_SENT;

    Idle({"Printer Reset"});
    ParseDeviceId_SYSPRINTER(ctx);
    EXPECT_TRUE(ctx->status & ST_JOB_LOST) << "reset while the printer held our job";
    EXPECT_EQ(Sent()["PrinterStatus"], Dwords({0, 0, 0x1 | 0x8})) << "a queued job counts as printing";
    for (int round = 2; round < 50; ++round) ParseDeviceId_SYSPRINTER(ctx);
    EXPECT_TRUE(FakeSpoolEjectedJobs().empty());
    EXPECT_EQ(ctx->dwIdleCheckCount, 49u);
    ParseDeviceId_SYSPRINTER(ctx);
    EXPECT_EQ(FakeSpoolEjectedJobs(), std::vector<DWORD>{7});
    EXPECT_EQ(ctx->pJobQueueHead, nullptr);
    EXPECT_EQ(ctx->dwIdleCheckCount, 0u);
    StatusClear(ctx, ST_JOB_LOST);
}

std::string ReadFileBytes(const wchar_t* path) {
    std::string out;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got) out.append(buf, got);
    CloseHandle(h);
    return out;
}

// The trace of one round: the poll record dump (code page 932 labels), the
// old and new status words and the icon.
TEST_F(Interpret, RoundTraceShowsThePollAndTheNewStatus) {
    wchar_t win[MAX_PATH];
    std::wstring ini = std::wstring(win, GetWindowsDirectoryW(win, MAX_PATH)) + L"\\VEKLMLOG.INI";
    ASSERT_TRUE(WritePrivateProfileStringW(L"VEKTL7700", L"MODE", L"1", ini.c_str()));
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini.c_str());
    BOOL on = ReadTraceSettings(ctx);
    DeleteFileW(ini.c_str());   // other programs of the suite expect tracing off
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, ini.c_str());
    ASSERT_TRUE(on);

    Idle({"Printer Offline"});
    ctx->Poll.dwPowerSave = 1000;
    ParseDeviceId_SYSPRINTER(ctx);
    ASSERT_NE(ctx->pszTraceFile, nullptr);
    std::wstring file = ctx->pszTraceFile;
    std::string got = ReadFileBytes(file.c_str());
    ResetTraceSettings(ctx);
    DeleteFileW(file.c_str());
    for (const char* want : {
             "SYS_PARSEDID:ParseDeviceId_SYSPRINTER -START-\r\n",
             "\x83\x82\x83\x66\x83\x8b\x96\xbc       [VEK Tessaroline 7700 (LV)]\r\n",   // モデル名
             "  \x83\x7a\x83\x62\x83\x70\x96\xbc     [HOPPER1]\r\n",                       // ホッパ名
             "MIB-\x87\x55status [DEV:2 PRT:3 ERR:0]\r\n",                                   // MIB-Ⅱstatus
             "  ALERT 1    [Printer Offline]\r\n",
             "\x90\xdf\x93\x64\x83\x82\x81\x5b\x83\x68\x92\x86\r\n",                        // 節電モード中
             "SRM:Old    Status[H:00000000][M:00000000][L:00000001]\r\n",
             "SRM:PrinterStatus[H:00000000][M:00000000][L:00001040]\r\n",
             "SRM:IconStatus   [00000002]\r\n",
             "SYS_PARSEDID:ParseDeviceId_SYSPRINTER --END--\r\n",
         })
        EXPECT_NE(got.find(want), std::string::npos) << want;
}

// The SNMP reads: the operator panel while a serviceman call is reported,
// and the bin and output tables when the printer reports an error the poll
// had no time to look into.
class InterpretSim : public Interpret {
protected:
    void SetUp() override {
        Interpret::SetUp();
        if (HasFatalFailure()) return;
        dwOSMajor = 6, dwOSMinor = 1;   // the address comes from the Xcv query
        FakeSpool_SetXcvIPAddress(kPort, std::wstring(address.begin(), address.end()).c_str());
        ctx->dwSNMPIntervals = 10;
        ASSERT_TRUE(sim.Start({"--reset-alert-ms", "0"})) << sim.error;
    }
    // Each test a printer of its own: tests run side by side.
    static std::string AddressOfTest() {
        static const char* const kTests[] = {"ServicemanCallReadsTheHardwareErrorFromThePanel",
                                             "ErrorRoundReadsTheTablesItself", "BinWalkStaysInTheNameColumn"};
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (size_t i = 0; i < sizeof(kTests) / sizeof(kTests[0]); ++i)
            if (name == kTests[i]) return "127.0.41." + std::to_string(i + 1);
        return "127.0.41.100";
    }
    const std::string address = AddressOfTest();
    SimPrinter sim{address};
};

TEST_F(InterpretSim, ServicemanCallReadsTheHardwareErrorFromThePanel) {
    ASSERT_TRUE(sim.Command("display 1 0322 SERVICE")) << sim.error;
    Idle({"Serviceman Call"}, 5, 1);
    ParseDeviceId_SYSPRINTER(ctx);
    auto sent = Sent();
    EXPECT_EQ(sent["ErrHWError"], Dwords({322}));
    EXPECT_EQ(sent["PrinterStatus"], Dwords({0, 0x80, 0x1}));
    EXPECT_EQ(sent["IconState"], Dwords({1}));
    EXPECT_EQ(LastPortStatus(), static_cast<DWORD>(PORT_STATUS_USER_INTERVENTION));
    int panelReads = 0;
    for (const auto& r : sim.Requests())
        if (r.kind == "getnext" && r.oids[0].rfind("1.3.6.1.2.1.43.16.5.1.2", 0) == 0) ++panelReads;
    EXPECT_EQ(panelReads, 2) << "two display rows";

    // The panel asks for the serviceman ("コール" at bytes 8 to 13): the
    // number stays.
    ASSERT_TRUE(sim.Command("display 1 0999    \\x83R\\x81[\\x83\\x8b")) << sim.error;
    Clear();
    Idle({"Serviceman Call", "No Toner"}, 5, 1);
    ParseDeviceId_SYSPRINTER(ctx);
    sent = Sent();
    EXPECT_EQ(sent.count("ErrHWError"), 0u);
    EXPECT_EQ(sent["PrinterStatus"], Dwords({0, 0x80, 0x1 | 0x4000}));
}

TEST_F(InterpretSim, ErrorRoundReadsTheTablesItself) {
    for (const char* c : {"bins 3", "bin 1 name HOPPER1", "bin 1 desc A4TYPE", "bin 1 level -3",
                          "bin 1 dims 297000 210000", "bin 2 name HOPPER3", "bin 2 desc A4TYPE,CURRENT",
                          "bin 2 level 0", "bin 2 dims 420000 297000", "bin 3 name TRAY", "bin 3 media NON-STANDARD",
                          "bin 3 level 20", "stacker on"})
        ASSERT_TRUE(sim.Command(c)) << c << ": " << sim.error;
    Idle({}, 2, 3);
    ctx->Poll.dwMibFlags &= ~(MIBF_INPUT | MIBF_OUTPUT);
    ctx->Poll.dwInputCount = 0;
    memset(ctx->Poll.InputBin, 0, sizeof(ctx->Poll.InputBin));
    ctx->Poll.dwHrErrorState = 0x20;   // some condition other than offline
    ParseDeviceId_SYSPRINTER(ctx);
    auto sent = Sent();
    Bytes want(4 + 36);
    const BinConfigEntry entries[3] = {{1, 1, 9, 100, 0, 0}, {3, 6, 8, 0, 0, 0}, {2001, 8, 256, 254, 0, 0}};
    DWORD three = 3;
    memcpy(want.data(), &three, 4);
    memcpy(want.data() + 4, entries, 36);
    EXPECT_EQ(sent["PrinterBinConfig"], want);
    EXPECT_EQ(sent["CurrentFeeder"], Dwords({3}));
    EXPECT_EQ(sent["PrinterOptConfig"], Dwords({2, 1 | 1 << 16, 0, 5001 | 5001u << 16, 0}));
    EXPECT_TRUE(ctx->Poll.dwMibFlags & MIBF_INPUT);
    EXPECT_TRUE(ctx->Poll.dwMibFlags & MIBF_OUTPUT);
}

// A printer without the name column answers with the next column's rows:
// the walk ends there instead of taking them for bin names.
TEST_F(InterpretSim, BinWalkStaysInTheNameColumn) {
    ASSERT_TRUE(sim.Command("hide 1.3.6.1.2.1.43.8.2.1.13")) << sim.error;
    PollRecord poll{};
    char oid[SNMP_TEXT] = {};
    EXPECT_TRUE(ReadInputBins(&poll, address.c_str(), oid, 0, ""));
    EXPECT_EQ(poll.dwInputCount, 0u);
    ASSERT_TRUE(sim.Command("unhide all")) << sim.error;
    memset(&poll, 0, sizeof(poll));
    EXPECT_TRUE(ReadInputBins(&poll, address.c_str(), oid, 0, ""));
    EXPECT_GE(poll.dwInputCount, 1u);
    EXPECT_STREQ(poll.InputBin[0].szName, "HOPPER1");
}

}  // namespace
