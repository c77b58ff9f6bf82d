// The simulated printer scripted from a Windows test and asked by the
// monitor's own SNMP client at its address, port 161: what the printer is
// told shows in its answers, and its request log shows what was asked.
#include <winsock2.h>
#include <windows.h>

#include "fakespool.h"
#include "pmdouble.h"
#include "portinfo/portkind.h"
#include "snmp/snmp.h"
#include "spoolports.h"
#include "support/simprinter.h"
#include "support/whitebox.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr char kAddr[] = "127.0.6.3";
constexpr char kSysDescr[] = "1.3.6.1.2.1.1.1.0";
constexpr char kHrPrinterStatus[] = "1.3.6.1.2.1.25.3.5.1.1.1";
constexpr char kAlertText[] = "1.3.6.1.2.1.43.18.1.1.8.1";
constexpr LONG kHrPrinterOther = 1;

class SimPrinterScripted : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &wsa), 0);
        ASSERT_TRUE(sim.Start({"--reset-alert-ms", "0"})) << sim.error;
    }
    void TearDown() override { WSACleanup(); }
    std::string FirstAlert() {
        char oid[SNMP_TEXT] = {}, text[SNMP_TEXT] = {};
        strcpy(oid, kAlertText);
        return SnmpGetNextString(kAddr, text, oid, "") ? std::string(text) : std::string("<no answer>");
    }
    SimPrinter sim{kAddr};
};

TEST_F(SimPrinterScripted, AlertAndPowerOffShowInTheAnswersAndTheRequestLog) {
    char descr[SNMP_TEXT] = {};
    ASSERT_TRUE(SnmpGetString(kAddr, descr, kSysDescr, ""));
    EXPECT_STREQ(descr, "VEK Tessaroline 7700");

    ASSERT_TRUE(sim.Command("alert add Hop1 Paper Jam")) << sim.error;
    LONG status = 0;
    ASSERT_TRUE(SnmpGetInteger(kAddr, &status, kHrPrinterStatus, ""));
    EXPECT_EQ(status, kHrPrinterOther) << "a critical alert stops the printer";
    EXPECT_EQ(FirstAlert(), "Hop1 Paper Jam");

    ASSERT_TRUE(sim.Command("power off")) << sim.error;
    EXPECT_FALSE(SnmpGetString(kAddr, descr, kSysDescr, "")) << "a printer without power is silent";
    EXPECT_EQ(sim.StatusValue("power"), "off");

    ASSERT_TRUE(sim.Command("power on")) << sim.error;
    EXPECT_EQ(FirstAlert(), "Printer Reset") << "power on clears the alerts and raises the reset alert";

    auto log = sim.Requests();
    const char* want[][2] = {{"get", kSysDescr}, {"get", kHrPrinterStatus}, {"getnext", kAlertText}, {"getnext", kAlertText}};
    ASSERT_EQ(log.size(), 4u) << "the request while the power was off is dropped, not logged";
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(log[i].kind, want[i][0]) << i;
        ASSERT_EQ(log[i].oids.size(), 1u) << i;
        EXPECT_EQ(log[i].oids[0], want[i][1]) << i;
    }
    EXPECT_EQ(sim.CountRequests("getnext", "1.3.6.1.2.1.43.18"), 2u);
    EXPECT_EQ(sim.CountRequests("get", "1.3.6.1.2.1.1.1"), 1u);
    EXPECT_GE(sim.Stat("dropped"), 1);
}

// The fixture helpers give the monitor a maker's DPU TCP/IP port with the
// simulated printer's address, and the short polling settings.
TEST(BenchPorts, DpuPortAndShortPollingReachTheMonitor) {
    EnsureMonitorProcess();
    dwOSMajor = 6, dwOSMinor = 1;   // the address comes from the Xcv query on the supported systems
    FakeSpool_Reset();
    PmDouble_Reset();
    DpuPort dpu(L"DPU_127.0.6.4", L"127.0.6.4");
    PortContext* ctx = nullptr;
    {
        ShortPolling polling;
        ctx = OpenPortWb(L"DPU_127.0.6.4", L"Bench", PmDouble_Table());
        ASSERT_NE(ctx, nullptr);
    }
    EXPECT_EQ(ctx->dwPortStatus, PORTKIND_BASE | PORTKIND_TCPIP | PORTKIND_DPU);
    EXPECT_EQ(ctx->bVariablePolling, 1u);
    EXPECT_EQ(ctx->dwPollingIntervals, 1000u);
    EXPECT_EQ(ctx->dwSNMP_PWOFF, 1u);
    ASSERT_TRUE(GetPrinterIPAddress(ctx, L"DPU_127.0.6.4"));
    EXPECT_STREQ(ctx->szPrinterAddress, "127.0.6.4");
    EXPECT_TRUE(PJLMonClosePort(ctx));
}

// The watchdog ends a hung test with status 3 and kills its printers. The
// hung test runs in a child copy of this program with a 2 s limit.
TEST(DISABLED_WatchdogProbe, HangsWithAPrinter) {
    SimPrinter sim("127.0.6.5");
    ASSERT_TRUE(sim.Start());
    Sleep(60000);
}

TEST(Watchdog, EndsAHungTestAndKillsItsPrinter) {
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string cmd = std::string("\"") + exe +
                      "\" --gtest_also_run_disabled_tests --gtest_filter=DISABLED_WatchdogProbe.HangsWithAPrinter";
    SetEnvironmentVariableA("VJL_WATCHDOG_S", "2");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    SetEnvironmentVariableA("VJL_WATCHDOG_S", nullptr);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 3u);
    SimControl probe("127.0.6.5");
    EXPECT_TRUE(probe.WaitUntil([&] { return !probe.Command("ping"); }, 5000)) << "the probe's printer was killed";
    std::string dir = SimWinPath("/tmp/vjl-sim-127.0.6.5-" + std::to_string(pi.dwProcessId));
    DeleteFileA((dir + "\\pid").c_str());
    RemoveDirectoryA(dir.c_str());
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

}  // namespace
