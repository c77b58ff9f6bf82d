// vjlmon-setup against the test spooler (the calls it makes and what they
// leave registered) and, for status, the Wine prefix's registry.
#include "setup.h"
#include "fakespool.h"
#include "state/binding.h"
#include "support/whitebox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr wchar_t kDriver[] = L"VEK Tessaroline 7700 (LV)";

struct Result {
    int rc;
    std::wstring out, err;
};

Result RunTool(std::vector<std::wstring> args) {
    Result r{};
    r.rc = RunSetup(args, &r.out, &r.err);
    return r;
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

// The status row of one setting, or "" when there is none, after `from`.
std::string RowOf(const std::wstring& out, const std::wstring& name, const std::wstring& from = L"") {
    size_t start = from.empty() ? 0 : out.find(from);
    if (start == std::wstring::npos) return "";
    size_t at = out.find(L"    " + name + L" ", start);
    if (at == std::wstring::npos) return "";
    return Narrow(out.substr(at, out.find(L'\n', at) - at));
}

class SetupTool : public ::testing::Test {
protected:
    void SetUp() override { FakeSpool_Reset(); }
};

TEST_F(SetupTool, InstallRegistersTheDllForX64OnceAndSaysWhyItFails) {
    Result r = RunTool({L"install"});
    EXPECT_EQ(r.rc, SETUP_OK) << Narrow(r.err);
    wchar_t env[64] = {}, dll[64] = {};
    ASSERT_TRUE(FakeSpool_GetMonitor(kDefaultMonitorName, env, 64, dll, 64));
    EXPECT_STREQ(env, L"Windows x64");
    EXPECT_STREQ(dll, L"vjlmon.dll");

    r = RunTool({L"install"});   // again: nothing changes, and that is no error
    EXPECT_EQ(r.rc, SETUP_OK);
    EXPECT_THAT(Narrow(r.out), HasSubstr("already installed"));
    EXPECT_EQ(FakeSpool_CallCount("AddMonitorW"), 2u);

    FakeSpool_DenyAdminAccess(TRUE);
    r = RunTool({L"install", L"--name", L"Other Monitor"});
    EXPECT_EQ(r.rc, SETUP_SPOOLER_FAILED);
    EXPECT_THAT(Narrow(r.err), HasSubstr("could not install the monitor \"Other Monitor\""));
    EXPECT_THAT(Narrow(r.err), HasSubstr("(error 5)"));
    EXPECT_THAT(Narrow(r.err), HasSubstr("Run as administrator"));
    EXPECT_FALSE(FakeSpool_GetMonitor(L"Other Monitor", nullptr, 0, nullptr, 0));

    EXPECT_EQ(RunTool({L"install", L"--name"}).rc, SETUP_USAGE);
    EXPECT_EQ(RunTool({L"instal"}).rc, SETUP_USAGE);
    EXPECT_EQ(RunTool({}).rc, SETUP_USAGE);
}

TEST_F(SetupTool, RemoveRefusesWhileAPrintersDriverNamesTheMonitor) {
    FakeSpool_AddMonitor(kDefaultMonitorName, L"Windows x64", L"vjlmon.dll");
    FakeSpool_AddDriver(kDriver, kDefaultMonitorName);
    FakeSpool_AddDriver(L"Plain Driver", nullptr);
    FakeSpool_AddPrinter(L"Front Desk", kDriver, L"USB001", 0, L"winprint", 0);
    FakeSpool_AddPrinter(L"Plain", L"Plain Driver", L"LPT1:", 0, L"winprint", 0);

    Result r = RunTool({L"remove"});
    EXPECT_EQ(r.rc, SETUP_IN_USE);
    EXPECT_THAT(Narrow(r.err), HasSubstr("printer \"Front Desk\" (driver \"VEK Tessaroline 7700 (LV)\")"));
    EXPECT_THAT(Narrow(r.err), Not(HasSubstr("\"Plain\"")));
    EXPECT_EQ(FakeSpool_CallCount("DeleteMonitorW"), 0u);
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u);

    // The printer is gone but its driver still names the monitor: the
    // spooler refuses, and the tool says so in the same terms.
    FakeSpool_RemovePrinter(L"Front Desk");
    r = RunTool({L"remove"});
    EXPECT_EQ(r.rc, SETUP_IN_USE);
    EXPECT_THAT(Narrow(r.err), HasSubstr("a printer driver still names it"));

    FakeSpool_AddDriver(kDriver, nullptr);
    r = RunTool({L"remove"});
    EXPECT_EQ(r.rc, SETUP_OK) << Narrow(r.err);
    EXPECT_FALSE(FakeSpool_GetMonitor(kDefaultMonitorName, nullptr, 0, nullptr, 0));

    r = RunTool({L"remove"});
    EXPECT_EQ(r.rc, SETUP_NOT_INSTALLED);
    EXPECT_THAT(Narrow(r.err), HasSubstr("is not installed"));
}

TEST_F(SetupTool, StatusShowsPortKindAndEffectiveSettingsWithTheirSources) {
    FakeSpool_AddMonitor(kDefaultMonitorName, L"Windows x64", L"vjlmon.dll");
    FakeSpool_AddDriver(kDriver, kDefaultMonitorName);
    FakeSpool_AddDriver(L"Plain Driver", nullptr);
    FakeSpool_AddPort(L"IP_127.0.15.1", L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    FakeSpool_AddPrinter(L"Lab Laser", kDriver, L"IP_127.0.15.1", 0, L"winprint", 0);
    FakeSpool_AddPrinter(L"Pool", kDriver, L"COM2:, USB001", 0, L"winprint", 0);
    FakeSpool_AddPrinter(L"Plain", L"Plain Driver", L"LPT1:", 0, L"winprint", 0);

    TestPrinterKey labKey("Lab Laser", "VEK Tessaroline 7700 (LV)");
    TestRegKey polling("SOFTWARE\\VEK\\Lorvane\\Printers\\VEK Tessaroline 7700 (LV)");
    polling.SetDword("LMMode", 1);
    polling.SetDword("PollingIntervals", 500);
    polling.SetDword("OIDIntervals", 50);
    TestRegKey models("SOFTWARE\\VEK\\Lorvane\\Printers\\VEK Tessaroline 7700 (LV)\\Status Variables");
    TestRegKey community("SOFTWARE\\VEK\\customCommunity");
    community.SetString("VEK Tessaroline 7700 (LV)", "lab-ro");
    TestRegKey timeout("SOFTWARE\\VEK\\ClosePortTimeout");
    timeout.SetDword("VEK Tessaroline 7700 (LV)", 100000000);
    TestRegKey own("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Lorvane Language Monitor for VEK Tessaroline "
                   "7700 (LV)");
    own.SetDword("ENTERLANGUAGE", 1);

    Result r = RunTool({L"status"});
    ASSERT_EQ(r.rc, SETUP_OK) << Narrow(r.err);
    EXPECT_THAT(Narrow(r.out), HasSubstr("installed, DLL vjlmon.dll, environment Windows x64"));
    EXPECT_THAT(RowOf(r.out, L"ENTERLANGUAGE"), HasSubstr("1            registry"));
    EXPECT_THAT(RowOf(r.out, L"PrintingPriority"), HasSubstr("-            default"));
    EXPECT_THAT(Narrow(r.out), Not(HasSubstr("\"Plain\"")));

    const std::wstring lab = L"Printer \"Lab Laser\"";
    EXPECT_THAT(RowOf(r.out, L"port kind", lab), HasSubstr("tcpip (0x105)"));
    EXPECT_THAT(RowOf(r.out, L"status manager", lab), HasSubstr("yes"));
    EXPECT_THAT(RowOf(r.out, L"PollingIntervals", lab), HasSubstr("1000         clamped (registry 500)"));
    EXPECT_THAT(RowOf(r.out, L"CheckDID", lab), HasSubstr("1            default"));
    EXPECT_THAT(RowOf(r.out, L"OIDIntervals", lab), HasSubstr("50           registry"));
    EXPECT_THAT(RowOf(r.out, L"MaxPWOFF", lab), HasSubstr("2            default"));
    EXPECT_THAT(RowOf(r.out, L"customCommunity", lab), HasSubstr("lab-ro       registry"));
    EXPECT_THAT(RowOf(r.out, L"ClosePortTimeout", lab), HasSubstr("86400000     clamped (registry 100000000)"));
    EXPECT_THAT(RowOf(r.out, L"MyPortMode", lab), HasSubstr("0x1          default"));
    EXPECT_THAT(RowOf(r.out, L"PrnLostChk", lab), HasSubstr("1            default"));

    // A pooled printer: each port on its own; without its registry key the
    // driver-keyed settings fall back to their defaults.
    const std::wstring pool = L"Printer \"Pool\"";
    EXPECT_THAT(RowOf(r.out, L"port kind", pool), HasSubstr("com (0x11)"));
    EXPECT_THAT(RowOf(r.out, L"port kind", L"port \"USB001\""), HasSubstr("local (0x3)"));
    EXPECT_THAT(RowOf(r.out, L"customCommunity", pool), HasSubstr("ravine       default"));

    // With tracing on, status names the trace file but writes nothing to it.
    wchar_t winDir[MAX_PATH] = {};
    GetWindowsDirectoryW(winDir, MAX_PATH);
    std::wstring ini = std::wstring(winDir) + L"\\VEKLMLOG.INI";
    std::wstring trace = std::wstring(winDir).substr(0, 2) + L"\\VEKTL7700LOG\\VEKLM-Lab Laser.TRG";
    DeleteFileW(trace.c_str());
    WritePrivateProfileStringW(L"VEKTL7700", L"MODE", L"1", ini.c_str());
    polling.SetDword("LMMode", 0);
    r = RunTool({L"status"});
    DeleteFileW(ini.c_str());
    EXPECT_THAT(RowOf(r.out, L"PollingIntervals", lab), HasSubstr("3000         default (read only when LMMode is 1)"));
    EXPECT_THAT(RowOf(r.out, L"trace", lab), HasSubstr("on           " + Narrow(trace)));
    EXPECT_EQ(GetFileAttributesW(trace.c_str()), INVALID_FILE_ATTRIBUTES);

    FakeSpool_Reset();
    r = RunTool({L"status"});
    EXPECT_EQ(r.rc, SETUP_NOT_INSTALLED);
    EXPECT_THAT(Narrow(r.out), HasSubstr("not installed"));
    EXPECT_THAT(Narrow(r.out), HasSubstr("No printer's driver names this monitor."));
}

}  // namespace
