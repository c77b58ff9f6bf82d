// The requests of one device poll, counted in the simulated printer's
// request log: what an idle port reads, where a busy port stops, how often a
// silent printer is asked, and what a printer of another model is asked.
#include <winsock2.h>
#include <windows.h>

#include "fakespool.h"
#include "state/jobqueue.h"
#include "portinfo/portkind.h"
#include "threads/refresh.h"
#include "snmp/snmp.h"
#include "spoolports.h"
#include "status/devcheck.h"
#include "status/devpoll.h"
#include "support/simprinter.h"
#include "support/whitebox.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

constexpr char kSysDescr[] = "1.3.6.1.2.1.1.1.0";

class DevPoll : public ::testing::Test {
protected:
    void Begin(const char* address) {
        WSADATA wsa;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &wsa), 0);
        printer = std::make_unique<SimPrinter>(address);
        ASSERT_TRUE(printer->Start()) << printer->error;
        FakeSpool_Reset();
        std::wstring port = L"IP_" + std::wstring(address, address + strlen(address));
        AddStandardTcpPort(port.c_str(), std::wstring(address, address + strlen(address)).c_str());
        dwOSMajor = 6;  // the address comes from the port monitor's Xcv answer
        dwOSMinor = 1;
        ctx = NewContext(port.c_str(), L"Poll Desk");
        ASSERT_NE(ctx, nullptr);
        ctx->dwPortStatus = PORTKIND_BASE | PORTKIND_TCPIP | PORTKIND_TCPMON;
        ctx->dwSNMPIntervals = 10;
        ctx->dwSNMP_PWOFF = 2;
        strcpy(ctx->szCommunity, "ravine");
        ASSERT_TRUE(printer->Command("requests clear"));
    }
    void TearDown() override {
        if (ctx) FreeContext(ctx);
        if (printer) printer->Stop();
        WSACleanup();
    }
    size_t Count(const char* kind, const char* prefix = "") { return printer->CountRequests(kind, prefix); }

    std::unique_ptr<SimPrinter> printer;
    PortContext* ctx = nullptr;
};

TEST_F(DevPoll, IdlePortReadsEverythingBusyPortStopsAfterTheAlerts) {
    Begin("127.0.11.30");
    // The MIB reads alone: the interpretation that follows them reads more.
    ASSERT_TRUE(GetPrinterIPAddress(ctx, ctx->pszPortName));
    ASSERT_TRUE(GetDeviceInfo_SNMP(ctx, ctx->szCommunity));
    const DWORD all = MIBF_DESCR | MIBF_SUPPORTED | MIBF_ALERT | MIBF_LANG | MIBF_OUTPUT;
    EXPECT_EQ(ctx->Poll.dwMibFlags & all, all);
    EXPECT_EQ(ctx->Poll.OptionBin[0].dwId, 1u);
    EXPECT_EQ(Count("get", kSysDescr), 1u);
    EXPECT_EQ(Count("get"), 5u) << "description, two device states, the error state, power save";
    size_t alerts = Count("getnext", "1.3.6.1.2.1.43.18");
    EXPECT_GE(alerts, 1u);
    EXPECT_GE(Count("getnext", "1.3.6.1.2.1.43.15"), 1u);
    EXPECT_LE(Count("getnext", "1.3.6.1.2.1.43.15"), 2u);
    EXPECT_GE(Count("getnext", "1.3.6.1.2.1.43.9.2"), 1u);
    EXPECT_LE(Count("getnext", "1.3.6.1.2.1.43.9.2"), 3u);
    EXPECT_LE(Count(""), 5u + 64 + 2 + 3 + Count("getnext", "1.3.6.1.2.1.43.8"));

    ASSERT_TRUE(printer->Command("requests clear"));
    ctx->status |= ST_IN_DOC;
    ASSERT_TRUE(GetDeviceInfo_SNMP(ctx, ctx->szCommunity));
    EXPECT_EQ(Count("get"), 5u);
    EXPECT_EQ(Count("getnext", "1.3.6.1.2.1.43.18"), alerts) << "the alert walk as before";
    EXPECT_EQ(Count("getnext"), alerts) << "and nothing after it";
    EXPECT_EQ(ctx->Poll.dwLangFlags, 0u);
    EXPECT_EQ(ctx->Poll.OptionBin[0].dwId, 0u);
    EXPECT_EQ(ctx->Poll.OptionBin[1].dwId, 0u);
    ctx->status &= ~ST_IN_DOC;
}

TEST_F(DevPoll, SilentPrinterIsAskedForItsDescriptionMaxPwoffPlusOneTimes) {
    Begin("127.0.11.31");
    ASSERT_TRUE(printer->Command("snmp drop"));
    EXPECT_FALSE(CheckDeviceId_SNMP(ctx));
    EXPECT_EQ(Count("get", kSysDescr), ctx->dwSNMP_PWOFF + 1);
    EXPECT_EQ(Count(""), ctx->dwSNMP_PWOFF + 1) << "nothing else is asked";
    EXPECT_TRUE(ctx->status & ST_NO_ANSWER);
    EXPECT_EQ(ctx->Poll.dwDescrRetry, ctx->dwSNMP_PWOFF);

    // The first answer ends the outage.
    ASSERT_TRUE(printer->Command("snmp normal"));
    EXPECT_TRUE(CheckDeviceId_SNMP(ctx));
    EXPECT_FALSE(ctx->status & ST_NO_ANSWER);
}

// The appended " (LV)" makes the supported name from the plain one; a
// trailing blank or another letter case is another model, which is asked for
// nothing more than its description.
TEST_F(DevPoll, OnlyTheExactDescriptionIsTheSupportedModel) {
    Begin("127.0.11.32");
    for (const char* descr : {"VEK Tessaroline 7700 ", "VEK TESSAROLINE 7700"}) {
        ASSERT_TRUE(printer->Command(std::string("model ") + descr));
        ASSERT_TRUE(printer->Command("requests clear"));
        EXPECT_TRUE(CheckDeviceId_SNMP(ctx)) << descr;
        EXPECT_FALSE(ctx->Poll.dwMibFlags & MIBF_SUPPORTED) << descr;
        EXPECT_FALSE(ctx->status & ST_MODEL_CONFIRMED) << descr;
        EXPECT_EQ(Count(""), 1u) << descr;
    }
    EXPECT_EQ(GetLangFlag("VPDL Level2.201PL"), 0x1u);
    EXPECT_EQ(GetLangFlag("ESC/P "), 0u);
}

// The refresh cycle's status read polls every dwDevIDLevel-th cycle on an
// idle port and every cycle while a job is queued.
TEST_F(DevPoll, StatusReadPollsEveryLevelthCycleUnlessAJobIsQueued) {
    Begin("127.0.11.33");
    ctx->dwDevIDLevel = 5;
    for (int i = 0; i < 10; ++i) ReadStatus2(ctx);
    EXPECT_EQ(Count("get", kSysDescr), 2u);
    ASSERT_TRUE(printer->Command("requests clear"));
    ASSERT_NE(InJobQueue(7, ctx), nullptr);
    for (int i = 0; i < 4; ++i) ReadStatus2(ctx);
    EXPECT_EQ(Count("get", kSysDescr), 4u);
    EXPECT_EQ(Count("getnext", "1.3.6.1.2.1.43.15"), 0u) << "a busy port reads no configuration";
}

// A port being closed: the pauses of its poll end at once (this pause is set
// far beyond the test's time-out, so a pause that waits would hang it), yet
// the poll reads exactly what an open port reads. A silent printer is still
// asked its description as often.
TEST_F(DevPoll, ClosingPortPollsWithoutPausesAndReadsTheSame) {
    Begin("127.24.0.20");
    ASSERT_TRUE(GetPrinterIPAddress(ctx, ctx->pszPortName));
    ASSERT_TRUE(GetDeviceInfo_SNMP(ctx, ctx->szCommunity));
    const size_t open = Count("");
    const DWORD flags = ctx->Poll.dwMibFlags;

    ASSERT_TRUE(printer->Command("requests clear"));
    ctx->dwSNMPIntervals = 3600000;
    SnmpSetPauseBreak(ctx->hCloseEvent);
    ASSERT_TRUE(SetEvent(ctx->hCloseEvent));
    EXPECT_TRUE(GetDeviceInfo_SNMP(ctx, ctx->szCommunity));
    EXPECT_EQ(ctx->Poll.dwMibFlags, flags);
    EXPECT_EQ(Count(""), open);

    ASSERT_TRUE(printer->Command("requests clear"));
    ASSERT_TRUE(printer->Command("snmp drop"));
    EXPECT_FALSE(GetDeviceInfo_SNMP(ctx, ctx->szCommunity));
    EXPECT_EQ(Count("get", kSysDescr), ctx->dwSNMP_PWOFF + 1);
    SnmpSetPauseBreak(nullptr);
}

}  // namespace
