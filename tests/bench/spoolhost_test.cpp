// The spooler host: its registry operations must work on the real key, and
// it must find the monitor where the build puts it.
#include <windows.h>

#include <gtest/gtest.h>

#include "spoolhost.h"

namespace {

SpoolHostOptions TestKey() {
    SpoolHostOptions o;
    o.regPath = L"Software\\VjlmonBench\\HostTest";
    return o;
}

TEST(SpoolHost, RegistryOperationsWorkOnTheMonitorKey) {
    SpoolHost host;
    // No monitor needed: call the operations as the monitor would.
    ASSERT_TRUE(host.PrepareInit(TestKey()));
    EXPECT_EQ(host.Init().hSpooler, host.SpoolerHandle());
    EXPECT_EQ(host.Init().pMonitorReg, &host.RegOps());
    const MONITORREG& r = host.RegOps();
    HANDLE root = host.RegKey(), sp = host.SpoolerHandle();
    EXPECT_EQ(host.SetRegDword(L"ENTERLANGUAGE", 1), ERROR_SUCCESS);

    // The monitor's pattern: open with an empty subkey name, query, close.
    HANDLE k = nullptr;
    ASSERT_EQ(r.fpOpenKey(root, L"", KEY_READ, &k, sp), ERROR_SUCCESS);
    DWORD v = 0, type = 0, cb = sizeof v;
    EXPECT_EQ(r.fpQueryValue(k, L"ENTERLANGUAGE", &type, reinterpret_cast<BYTE*>(&v), &cb, sp), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(r.fpQueryValue(k, L"PrintingPriority", &type, reinterpret_cast<BYTE*>(&v), &cb, sp),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(r.fpCloseKey(k, sp), ERROR_SUCCESS);

    HANDLE sub = nullptr;
    DWORD disp = 0;
    ASSERT_EQ(r.fpCreateKey(root, L"Ports", 0, KEY_ALL_ACCESS, nullptr, &sub, &disp, sp), ERROR_SUCCESS);
    EXPECT_EQ(disp, (DWORD)REG_CREATED_NEW_KEY);
    DWORD seven = 7;
    EXPECT_EQ(r.fpSetValue(sub, L"Count", REG_DWORD, reinterpret_cast<BYTE*>(&seven), 4, sp), ERROR_SUCCESS);
    wchar_t name[64];
    DWORD cch = 64, cbData = 4;
    EXPECT_EQ(r.fpEnumValue(sub, 0, name, &cch, &type, reinterpret_cast<BYTE*>(&v), &cbData, sp), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"Count");
    EXPECT_EQ(v, 7u);
    EXPECT_EQ(r.fpDeleteValue(sub, L"Count", sp), ERROR_SUCCESS);
    EXPECT_EQ(r.fpCloseKey(sub, sp), ERROR_SUCCESS);
    DWORD subKeys = 0, values = 0;
    EXPECT_EQ(r.fpQueryInfoKey(root, &subKeys, nullptr, &values, nullptr, nullptr, nullptr, nullptr, sp),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 1u);
    EXPECT_EQ(values, 1u);
    cch = 64;
    EXPECT_EQ(r.fpEnumKey(root, 0, name, &cch, nullptr, sp), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"Ports");
    EXPECT_EQ(r.fpDeleteKey(root, L"Ports", sp), ERROR_SUCCESS);

    SpoolHostRegStats s = host.RegStats();
    EXPECT_EQ(s.keysOpened, s.keysClosed);
    EXPECT_EQ(s.badSpooler, 0);
    EXPECT_EQ(r.fpQueryInfoKey(root, &subKeys, nullptr, &values, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(host.RegStats().badSpooler, 1);

    // A fresh start empties the key again.
    ASSERT_TRUE(host.PrepareInit(TestKey()));
    EXPECT_EQ(RegQueryValueExW(host.RegKey(), L"ENTERLANGUAGE", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
}

TEST(SpoolHost, LoadFailsCleanlyForAMissingLibrary) {
    SpoolHost host;
    EXPECT_FALSE(host.Load(SpoolHost::BesideExe(L"no-such-monitor.dll")));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(host.Initialize(), nullptr);
}

}  // namespace

namespace {

// Only that the host finds the monitor and the spooler's hand-shake goes
// through; what the monitor does is its own tests' business.
TEST(SpoolHost, LoadsAndInitialisesTheMonitorBesideTheExecutable) {
    SpoolHost host;
    ASSERT_TRUE(host.Load()) << GetLastError();
    SpoolHostOptions o = TestKey();
    MONITOR2* t = host.Initialize(o);
    ASSERT_NE(t, nullptr) << GetLastError();
    EXPECT_EQ(t->cbSize, 160u);
    EXPECT_NE(host.MonitorHandle(), nullptr);
    host.Unload();
    EXPECT_EQ(host.Module(), nullptr);
}

}  // namespace
