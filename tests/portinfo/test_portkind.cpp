// Port kinds and the printer address, on both operating-system branches.
#include "portinfo/portkind.h"
#include "support/whitebox.h"
#include "fakespool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class PortKind : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        FakeSpool_Reset();
        savedMajor = dwOSMajor;
        savedMinor = dwOSMinor;
    }
    void TearDown() override {
        dwOSMajor = savedMajor;
        dwOSMinor = savedMinor;
    }
    static void Vista() { dwOSMajor = 6, dwOSMinor = 1; }
    static void Xp() { dwOSMajor = 5, dwOSMinor = 2; }

    static DWORD KindOf(const wchar_t* port) {
        PortContext* ctx = NewContext(port, L"Kind Printer");
        GetPortKind(ctx);
        DWORD kind = ctx->dwPortStatus;
        FreeContext(ctx);
        return kind;
    }
    DWORD savedMajor = 0, savedMinor = 0;
};

TEST_F(PortKind, NameForms) {
    Vista();
    struct {
        const wchar_t* name;
        DWORD kind;
    } cases[] = {
        {L"USB001", 0x3},       {L"usb128", 0x3},        {L"USB000", 0x21},      {L"USB129", 0x21},
        {L"USB01", 0x21},       {L"VEKUSB", 0x3},        {L"vekusb_A7", 0x3},    {L"COM1:", 0x11},
        {L"com9", 0x11},        {L"COM0", 0x21},         {L"\\\\srv\\queue", 0x41}, {L"\\\\srv", 0x21},
        {L"\\\\srv\\a\\b", 0x21}, {L"\\\\", 0x21},       {L"FILE:", 0x21},       {L"LPT0:", 0x21},
        {L"LPT", 0x21},         {L"nul", 0x21},
    };
    for (const auto& c : cases) EXPECT_EQ(KindOf(c.name), c.kind) << std::string(c.name, c.name + wcslen(c.name));
}

TEST_F(PortKind, NamePredicates) {
    EXPECT_TRUE(IsLptPort(L"LPT1:"));
    EXPECT_TRUE(IsLptPort(L"lpt9"));
    EXPECT_FALSE(IsLptPort(L"LPT0"));
    EXPECT_FALSE(IsLptPort(L"LPT"));
    EXPECT_FALSE(IsLptPort(nullptr));
    EXPECT_TRUE(IsUsbPort(L"USB001"));
    EXPECT_TRUE(IsUsbPort(L"USB128x"));
    EXPECT_FALSE(IsUsbPort(L"USB1289"));
    EXPECT_FALSE(IsUsbPort(L"USBabc"));
}

TEST_F(PortKind, LocalParallelPortIsExactlyThree) {
    // Wine has no redirected LPT ports: WNetGetConnectionW fails.
    Vista();
    EXPECT_EQ(KindOf(L"LPT1:"), 0x3u);
    Xp();
    FakeSpool_AddPort(L"LPT2:", L"Local Port", PORT_TYPE_WRITE, L"Local Port");
    EXPECT_EQ(KindOf(L"LPT2:"), 0x3u);
    // A parallel port the spooler reports as bidirectional is not local on XP.
    FakeSpool_AddPort(L"LPT3:", L"Local Port", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Local Port");
    EXPECT_EQ(KindOf(L"LPT3:"), 0x21u);
}

TEST_F(PortKind, StandardTcpIpPortByMonitorName) {
    Vista();
    FakeSpool_AddPort(L"USB005", L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    FakeSpool_AddPort(L"IP_127.0.5.1", L"tcpmon.dll", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    EXPECT_EQ(KindOf(L"USB005"), 0x105u) << "the monitor wins over the USB name form";
    EXPECT_EQ(KindOf(L"IP_127.0.5.1"), 0x105u);
    EXPECT_EQ(KindOf(L"ip_127.0.5.1"), 0x21u) << "spooler port names match exactly";
}

TEST_F(PortKind, RegistryPortsOnXpAndDpuEverywhere) {
    TestRegKey tcp(std::string(kTcpMonPortsKey) + "\\XP_TCP_PORT");
    TestRegKey dpu(std::string(kDpuPortsKey) + "\\DPU_PORT_1");
    Xp();
    EXPECT_EQ(KindOf(L"XP_TCP_PORT"), 0x105u);
    EXPECT_EQ(KindOf(L"DPU_PORT_1"), 0x85u);
    EXPECT_EQ(KindOf(L"DPU_PORT_"), 0x21u);
    Vista();
    EXPECT_EQ(KindOf(L"XP_TCP_PORT"), 0x21u) << "Vista asks the spooler, not the registry";
    EXPECT_EQ(KindOf(L"DPU_PORT_1"), 0x85u);
}

TEST_F(PortKind, UsbPortOnXpNeedsAPlainSpoolerPort) {
    Xp();
    FakeSpool_AddPort(L"USB002", L"USB Monitor", 0, L"Virtual printer port for USB");
    FakeSpool_AddPort(L"USB003", L"USB Monitor", PORT_TYPE_WRITE, L"Virtual printer port for USB");
    EXPECT_EQ(KindOf(L"USB002"), 0x3u);
    EXPECT_EQ(KindOf(L"USB003"), 0x21u);
    EXPECT_EQ(KindOf(L"USB004"), 0x3u) << "a port the spooler does not list counts as local";
}

TEST_F(PortKind, PrinterAddressOnVistaComesFromXcvData) {
    Vista();
    FakeSpool_AddPort(L"IP_A", L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    FakeSpool_SetXcvIPAddress(L"IP_A", L"printer-long-name.example");
    FakeSpool_DenyAdminAccess(TRUE);  // a spooler without administration rights still reads it
    PortContext* ctx = NewContext(L"IP_A", L"Addr Printer");
    ASSERT_TRUE(GetPrinterIPAddress(ctx, ctx->pszPortName));
    EXPECT_STREQ(ctx->szPrinterAddress, "printer-long-name.example");

    FakeSpool_SetXcvIPAddress(L"IP_A", L"127.0.5.2");
    ASSERT_TRUE(GetPrinterIPAddress(ctx, ctx->pszPortName));
    EXPECT_STREQ(ctx->szPrinterAddress, "127.0.5.2");
    for (int i = 9; i < 256; ++i) ASSERT_EQ(ctx->szPrinterAddress[i], '\0') << "old text left at " << i;

    FakeSpool_SetXcvIPAddress(L"IP_A", L"");
    EXPECT_TRUE(GetPrinterIPAddress(ctx, ctx->pszPortName)) << "an empty address is stored (broadcast)";
    EXPECT_STREQ(ctx->szPrinterAddress, "");

    EXPECT_FALSE(GetPrinterIPAddress(ctx, L"IP_UNKNOWN"));
    FakeSpool_FailNext("OpenPrinterW", 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(GetPrinterIPAddress(ctx, ctx->pszPortName));
    EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u) << "every Xcv handle is closed";
    FreeContext(ctx);
}

TEST_F(PortKind, PrinterAddressOnXpFromRegistryWithHostNameFallback) {
    Xp();
    TestRegKey port(std::string(kTcpMonPortsKey) + "\\XP_ADDR");
    port.SetString("IPAddress", "127.0.5.3");
    PortContext* ctx = NewContext(L"XP_ADDR", L"Addr Printer");
    ASSERT_TRUE(GetPrinterIPAddress(ctx, ctx->pszPortName));
    EXPECT_STREQ(ctx->szPrinterAddress, "127.0.5.3");

    port.SetString("IPAddress", "");
    port.SetString("HostName", "printhost");
    ASSERT_TRUE(GetPrinterIPAddress(ctx, ctx->pszPortName));
    EXPECT_STREQ(ctx->szPrinterAddress, "printhost");

    RegDeleteValueA(port.key(), "IPAddress");
    EXPECT_FALSE(GetPrinterIPAddress(ctx, ctx->pszPortName));
    EXPECT_FALSE(GetPrinterIPAddress(ctx, L"XP_NO_SUCH_PORT"));
    FreeContext(ctx);
}

COMMTIMEOUTS gTimeouts;
int gTimeoutCalls;
BOOL WINAPI RecordTimeouts(HANDLE, LPCOMMTIMEOUTS cto, DWORD) {
    gTimeouts = *cto;
    ++gTimeoutCalls;
    return TRUE;
}

TEST_F(PortKind, ReadTimeOutsGoToThePortMonitorWhenItHasTheSlot) {
    PortContext* ctx = NewContext(L"USB001", L"Timeout Printer");
    gTimeoutCalls = 0;
    EXPECT_FALSE(SetReadTimeOuts(ctx));
    ctx->fn.pfnSetPortTimeOuts = RecordTimeouts;
    EXPECT_TRUE(SetReadTimeOuts(ctx));
    EXPECT_EQ(gTimeoutCalls, 1);
    EXPECT_EQ(gTimeouts.ReadIntervalTimeout, 10u);
    EXPECT_EQ(gTimeouts.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(gTimeouts.ReadTotalTimeoutMultiplier + gTimeouts.WriteTotalTimeoutConstant +
                  gTimeouts.WriteTotalTimeoutMultiplier,
              0u);
    FreeContext(ctx);
}

}  // namespace
