// The monitor as the spooler sees it: vjlmon.dll loaded by the host harness,
// driven through its MONITOR2 table over the port monitor double.
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "trace_reader.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        PmDouble_Reset();
        FakeSpool_Reset();
        ASSERT_TRUE(host.Load());
        ASSERT_NE(host.Initialize(), nullptr);
    }
    SpoolHost host;
};

TEST(MonitorEntry, TableHasTheLanguageMonitorSlotsOnly) {
    SpoolHost host;
    ASSERT_TRUE(host.Load());
    MONITOR2* t = host.Initialize();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->cbSize, 160u);
    EXPECT_NE(t->pfnOpenPortEx, nullptr);
    EXPECT_NE(t->pfnStartDocPort, nullptr);
    EXPECT_NE(t->pfnWritePort, nullptr);
    EXPECT_NE(t->pfnReadPort, nullptr);
    EXPECT_NE(t->pfnEndDocPort, nullptr);
    EXPECT_NE(t->pfnClosePort, nullptr);
    EXPECT_NE(t->pfnGetPrinterDataFromPort, nullptr);
    EXPECT_NE(t->pfnShutdown, nullptr);
    EXPECT_EQ(t->pfnEnumPorts, nullptr);
    EXPECT_EQ(t->pfnOpenPort, nullptr);
    EXPECT_EQ(t->pfnAddPort, nullptr);
    EXPECT_EQ(t->pfnAddPortEx, nullptr);
    EXPECT_EQ(t->pfnConfigurePort, nullptr);
    EXPECT_EQ(t->pfnDeletePort, nullptr);
    EXPECT_EQ(t->pfnSetPortTimeOuts, nullptr);
    EXPECT_EQ(t->pfnXcvOpenPort, nullptr);
    EXPECT_EQ(t->pfnXcvDataPort, nullptr);
    EXPECT_EQ(t->pfnXcvClosePort, nullptr);
    EXPECT_EQ(t->pfnSendRecvBidiDataFromPort, nullptr);
    EXPECT_NE(host.MonitorHandle(), nullptr);
}

TEST(MonitorEntry, EachMissingSpoolerMemberIsRefused) {
    for (int which = 0; which < 3; ++which) {
        SpoolHost host;
        ASSERT_TRUE(host.Load());
        SpoolHostOptions o;
        o.nullSpooler = which == 0;
        o.nullRegistryRoot = which == 1;
        o.nullMonitorReg = which == 2;
        SetLastError(0);
        EXPECT_EQ(host.Initialize(o), nullptr) << which;
        EXPECT_EQ(GetLastError(), 87u) << which;
    }
}

TEST(MonitorEntry, VersionResource) {
    SpoolHost host;
    ASSERT_TRUE(host.Load());
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(host.Module(), path, MAX_PATH);
    DWORD dummy = 0, cb = GetFileVersionInfoSizeW(path, &dummy);
    ASSERT_GT(cb, 0u);
    std::vector<BYTE> data(cb);
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, cb, data.data()));
    VS_FIXEDFILEINFO* ffi = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&ffi), &len));
    EXPECT_EQ(ffi->dwFileVersionMS, MAKELONG(0, 1));
    EXPECT_EQ(ffi->dwFileVersionLS, MAKELONG(7, 3));
    EXPECT_EQ(ffi->dwProductVersionMS, MAKELONG(0, 1));
    EXPECT_EQ(ffi->dwProductVersionLS, 0u);
}

TEST_F(Monitor, OpenAndCloseReachThePortMonitor) {
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"USB001", L"Session Printer", &h));
    ASSERT_NE(h, nullptr);
    auto opens = PmDouble_Calls(PM_OPEN);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].portName, L"USB001");

    ASSERT_TRUE(host.ClosePort(h));  // an empty queue is not waited for
    auto closes = PmDouble_Calls(PM_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].hPort, opens[0].hPort);
    EXPECT_EQ(PmDouble_OpenPortCount(), 0u);
}

TEST_F(Monitor, ReservedAndDuplicateNamesAreRefused) {
    HANDLE h = nullptr, h2 = nullptr;
    SetLastError(0);
    EXPECT_FALSE(host.OpenPort(L"VKxx:", L"P", &h));
    EXPECT_EQ(GetLastError(), 3007u);
    EXPECT_EQ(PmDouble_CallCount(PM_OPEN), 0u);

    ASSERT_TRUE(host.OpenPort(L"vkxx:", L"P", &h)) << "only the exact reserved name is refused";
    SetLastError(0);
    EXPECT_FALSE(host.OpenPort(L"VKXX:", L"P", &h2));
    EXPECT_EQ(GetLastError(), 170u) << "same name in another case is busy";
    EXPECT_EQ(PmDouble_CallCount(PM_OPEN), 1u);
    ASSERT_TRUE(host.ClosePort(h));
    ASSERT_TRUE(host.OpenPort(L"VKXX:", L"P", &h2)) << "free again after close";
    ASSERT_TRUE(host.ClosePort(h2));
}

TEST_F(Monitor, FailedPortMonitorOpenLeavesNothingBehind) {
    HANDLE h = nullptr;
    PmDouble_FailNext(PM_OPEN, 1, ERROR_ACCESS_DENIED);
    SetLastError(0);
    EXPECT_FALSE(host.OpenPort(L"COM1:", L"P", &h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    ASSERT_TRUE(host.OpenPort(L"COM1:", L"P", &h)) << "the failed attempt left no context";
    EXPECT_TRUE(host.ClosePort(h));
}

TEST_F(Monitor, CloseOfNullOrForeignHandle) {
    SetLastError(0);
    EXPECT_FALSE(host.Table()->pfnClosePort(nullptr));
    EXPECT_EQ(GetLastError(), 87u);
    int notAPort = 0;
    EXPECT_TRUE(host.Table()->pfnClosePort(&notAPort));
    EXPECT_EQ(PmDouble_CallCount(PM_CLOSE), 0u);
}

TEST_F(Monitor, ShutdownLeavesOpenPortsWorking) {
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"USB002", L"P", &h));
    host.Shutdown();
    ASSERT_TRUE(host.PrintJob(h, L"P", 4, L"after shutdown", "data"));
    EXPECT_EQ(PmDouble_AllWritten(), "data");
    EXPECT_TRUE(host.ClosePort(h));
}

TEST_F(Monitor, ConcurrentOpensOfOneNameGiveOneWinner) {
    constexpr int kThreads = 8;
    std::vector<std::thread> threads;
    std::vector<HANDLE> handles(kThreads);
    std::vector<DWORD> errors(kThreads);
    std::vector<BOOL> results(kThreads);
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            const wchar_t* name = (i % 2) ? L"LPT1:" : L"lpt1:";
            results[i] = host.OpenPort(name, L"Race Printer", &handles[i]);
            errors[i] = GetLastError();
        });
    for (auto& t : threads) t.join();
    int winners = 0;
    for (int i = 0; i < kThreads; ++i) {
        if (results[i]) {
            ++winners;
            EXPECT_TRUE(host.ClosePort(handles[i]));
        } else {
            EXPECT_EQ(errors[i], 170u);
        }
    }
    EXPECT_EQ(winners, 1);
    EXPECT_EQ(PmDouble_CallCount(PM_OPEN), 1u);
}

TEST_F(Monitor, ManyPortsOpenAndCloseFromSeveralThreads) {
    constexpr int kThreads = 6;
    std::vector<std::thread> threads;
    std::vector<int> ok(kThreads);
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            std::wstring port = L"\\\\server\\queue" + std::to_wstring(i);
            HANDLE h = nullptr;
            for (int round = 0; round < 3; ++round) {
                if (!host.OpenPort(port.c_str(), L"Many", &h)) return;
                if (!host.PrintJob(h, L"Many", round + 1, L"doc", "x")) return;
                if (!host.ClosePort(h)) return;
            }
            ok[i] = 1;
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(ok[i], 1) << i;
    EXPECT_EQ(PmDouble_OpenPortCount(), 0u);
    EXPECT_EQ(PmDouble_CallCount(PM_CLOSE), static_cast<size_t>(kThreads * 3));
}

}  // namespace

namespace {

TEST_F(Monitor, OpenWritesTheSettingsBlock) {
    TraceOnForTest trace;
    std::wstring file = trace.FileFor(L"Block Printer");
    FakeSpool_AddPort(L"IP_127.0.5.9", L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"IP_127.0.5.9", L"Block Printer", &h));
    ASSERT_TRUE(host.ClosePort(h));

    std::vector<std::string> lines = TraceOnForTest::Lines(file);
    std::vector<std::string> texts;
    for (const auto& l : lines) texts.push_back(TraceOnForTest::Text(l));
    auto at = [&](const std::string& s) {
        for (size_t i = 0; i < texts.size(); ++i)
            if (texts[i].rfind(s, 0) == 0) return static_cast<int>(i);
        return -1;
    };
    int start = at("VJLMON:PJLMonOpenPortEx settings -START-");
    ASSERT_GE(start, 0) << "no settings block in " << lines.size() << " lines";
    EXPECT_NE(lines[start], texts[start]) << "the first line carries the time stamp";
    EXPECT_GE(at("CommunityName = [ravine]"), 0);
    EXPECT_GE(at("ClosePortTimeout = [120000]"), 0);
    const std::vector<std::string> block = {
        "FileName   :",           "P Version  :1.000.000.00",     "F Version  :1.000.003.07",
        "PrinterName:Block Printer", "PortName   :IP_127.0.5.9",  "dwPortStatus      [00000105]",
        "Reg reading Step  [",    "bVariablePolling  [00000000]", "dwPollingIntervals[    3000]msec",
        "dwSNMPIntervals   [      10]msec", "dwSNMP_PWOFF      [       2]times",
        "dwDevIDLevel      [       1]times", "VJLMON:PJLMonOpenPortEx settings --END--",
    };
    for (size_t i = 0; i < block.size(); ++i) {
        ASSERT_LT(start + 1 + i, lines.size());
        EXPECT_EQ(lines[start + 1 + i].rfind(block[i], 0), 0u) << "line " << i << ": " << lines[start + 1 + i];
    }
    EXPECT_NE(texts[start + 1].find("vjlmon.dll"), std::string::npos);
    EXPECT_GT(at("VJLMON:PJLMonClosePort -START-"), start);
    EXPECT_GT(at("VJLMON:PJLMonClosePort --END--"), at("VJLMON:PJLMonClosePort -START-"));
}

}  // namespace
