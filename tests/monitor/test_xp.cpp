// Runs as an executable that Wine reports as Windows 5.2, so the monitor
// takes its pre-Vista branches: ports from the registry, not the spooler.
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "trace_reader.h"

#include <gtest/gtest.h>

namespace {

constexpr char kTcpPorts[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP Port\\Ports";

TEST(OlderWindows, PortKindComesFromTheRegistry) {
    OSVERSIONINFOW vi{sizeof(vi)};
    ASSERT_TRUE(GetVersionExW(&vi));
    ASSERT_EQ(vi.dwMajorVersion, 5u) << "scripts/xp-executables.txt must list this program";

    PmDouble_Reset();
    FakeSpool_Reset();
    std::string key = std::string(kTcpPorts) + "\\XP_BB_TCP";
    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), 0);
    RegCloseKey(k);

    TraceOnForTest trace;
    std::wstring tcpFile = trace.FileFor(L"XP TCP");
    std::wstring usbFile = trace.FileFor(L"XP USB");
    SpoolHost host;
    ASSERT_TRUE(host.Load());
    ASSERT_NE(host.Initialize(), nullptr);

    HANDLE h = nullptr;
    ASSERT_TRUE(host.OpenPort(L"XP_BB_TCP", L"XP TCP", &h));
    EXPECT_EQ(FakeSpool_CallCount("EnumPortsW"), 0u) << "older systems do not ask the spooler for TCP/IP ports";
    ASSERT_TRUE(host.ClosePort(h));

    FakeSpool_AddPort(L"USB007", L"USB Monitor", PORT_TYPE_WRITE, L"USB");
    ASSERT_TRUE(host.OpenPort(L"USB007", L"XP USB", &h));
    EXPECT_GT(FakeSpool_CallCount("EnumPortsW"), 0u) << "a USB port is checked against the spooler's list";
    ASSERT_TRUE(host.ClosePort(h));
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());

    auto kindIn = [](const std::wstring& file) {
        for (const auto& l : TraceOnForTest::Lines(file))
            if (l.rfind("dwPortStatus      [", 0) == 0) return l;
        return std::string("<none>");
    };
    EXPECT_EQ(kindIn(tcpFile), "dwPortStatus      [00000105]");
    EXPECT_EQ(kindIn(usbFile), "dwPortStatus      [00000021]") << "a write-only USB port is not local on 5.2";
}

}  // namespace
