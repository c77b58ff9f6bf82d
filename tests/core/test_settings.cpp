// Port settings read from the registry: defaults, bounds, and the
// per-driver values.
#include "core/settings.h"
#include "support/whitebox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct PollingCase {
    const char* what;
    DWORD lmMode;           // 0xFFFFFFFF: value absent
    DWORD polling, checkDid, oidIntervals, maxPwoff;
    DWORD wantVariable, wantPolling, wantDevId, wantSnmp, wantPwoff, wantStep;
};

constexpr DWORD NONE = 0xFFFFFFFF;

class PollingSettings : public ::testing::TestWithParam<PollingCase> {};

TEST_P(PollingSettings, BoundsAndSteps) {
    const PollingCase& c = GetParam();
    EnsureMonitorProcess();
    TestRegKey key(kPollingKey);
    if (c.lmMode != NONE) key.SetDword("LMMode", c.lmMode);
    if (c.polling != NONE) key.SetDword("PollingIntervals", c.polling);
    if (c.checkDid != NONE) key.SetDword("CheckDID", c.checkDid);
    if (c.oidIntervals != NONE) key.SetDword("OIDIntervals", c.oidIntervals);
    if (c.maxPwoff != NONE) key.SetDword("MaxPWOFF", c.maxPwoff);

    PortContext ctx{};
    BOOL read = ReadPollingSettings(&ctx);
    EXPECT_EQ(read, c.lmMode != NONE) << c.what;
    EXPECT_EQ(ctx.bVariablePolling, c.wantVariable) << c.what;
    EXPECT_EQ(ctx.dwPollingIntervals, c.wantPolling) << c.what;
    EXPECT_EQ(ctx.dwDevIDLevel, c.wantDevId) << c.what;
    EXPECT_EQ(ctx.dwSNMPIntervals, c.wantSnmp) << c.what;
    EXPECT_EQ(ctx.dwSNMP_PWOFF, c.wantPwoff) << c.what;
    EXPECT_EQ(ctx.dwRegStep, c.wantStep) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Registry, PollingSettings,
    ::testing::Values(
        PollingCase{"key without values", NONE, NONE, NONE, NONE, NONE, 0, 3000, 1, 10, 2, 1},
        PollingCase{"LMMode 0 ignores polling values", 0, 500, 5, NONE, NONE, 0, 3000, 1, 10, 2, 2},
        PollingCase{"LMMode 1 low bounds", 1, 500, 0, 9, 0, 1, 1000, 1, 10, 1, 5},
        PollingCase{"LMMode 1 high bounds", 1, 60000, 11, 101, 21, 1, 10000, 10, 100, 20, 5},
        PollingCase{"LMMode 1 at the bounds", 1, 10000, 10, 100, 20, 1, 10000, 10, 100, 20, 5},
        PollingCase{"LMMode 1 without PollingIntervals or CheckDID", 1, NONE, NONE, 50, 3, 1, 3000, 1, 50, 3, 4}),
    [](const ::testing::TestParamInfo<PollingCase>& info) { return "case" + std::to_string(info.index); });

TEST(PollingSettingsNoKey, DefaultsAndStepZero) {
    EnsureMonitorProcess();
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPollingKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kPollingKey);
    PortContext ctx{};
    ctx.dwRegStep = 99;
    EXPECT_FALSE(ReadPollingSettings(&ctx));
    EXPECT_EQ(ctx.dwRegStep, 0u);
    EXPECT_EQ(ctx.dwPollingIntervals, 3000u);
    EXPECT_EQ(ctx.dwSNMPIntervals, 10u);
    EXPECT_EQ(ctx.dwSNMP_PWOFF, 2u);
}

// A number stored as text or bytes is not a setting: it counts as missing,
// and the step shows how far the polling settings got.
TEST(PollingSettingsTypes, OnlyDwordValuesCount) {
    EnsureMonitorProcess();
    const DWORD big = 60000;
    {
        TestRegKey key(kPollingKey);
        key.SetString("LMMode", "1");
        key.SetBinary("OIDIntervals", &big, 4);
        PortContext ctx{};
        EXPECT_FALSE(ReadPollingSettings(&ctx));
        EXPECT_EQ(ctx.dwRegStep, 1u);
        EXPECT_EQ(ctx.bVariablePolling, 0u);
        EXPECT_EQ(ctx.dwSNMPIntervals, 10u);
    }
    TestPrinterKey p("Settings Printer E", "Driver Epsilon");
    TestRegKey timeouts(kClosePortTimeoutKey);
    timeouts.SetBinary("Driver Epsilon", &big, 4);
    DWORD timeout = 0;
    EXPECT_EQ(ReadClosePortTimeout("Settings Printer E", &timeout), -1);
    EXPECT_EQ(timeout, 120000u);
    TestRegKey mode(kPortModeKey);
    mode.SetBinary("MyPortMode", &big, 4);
    PortContext ctx{};
    ctx.PortMode = 2;
    EXPECT_FALSE(ReadPortMode(&ctx));
    EXPECT_EQ(ctx.PortMode, 2u);
}

TEST(DriverSettings, CommunityAndTimeoutFollowThePrintersDriver) {
    EnsureMonitorProcess();
    TestPrinterKey a("Settings Printer A", "Driver Alpha");
    TestPrinterKey b("Settings Printer B", "Driver Beta");
    TestPrinterKey c("Settings Printer C", "Driver Alpha");
    TestRegKey community(kCommunityKey);
    community.SetString("Driver Alpha", "alpine");
    TestRegKey timeouts(kClosePortTimeoutKey);
    timeouts.SetDword("Driver Alpha", 0);
    timeouts.SetDword("Driver Beta", 100000000);

    char out[32];
    DWORD len = 0;
    EXPECT_EQ(ReadCommunity("Settings Printer A", out, &len), 0);
    EXPECT_STREQ(out, "alpine");
    EXPECT_EQ(len, 6u);
    EXPECT_EQ(ReadCommunity("Settings Printer C", out, &len), 0) << "printers sharing a driver share it";
    EXPECT_STREQ(out, "alpine");
    EXPECT_EQ(ReadCommunity("Settings Printer B", out, &len), -1);
    EXPECT_STREQ(out, "ravine");
    EXPECT_EQ(len, 6u);

    DWORD timeout = 0;
    EXPECT_EQ(ReadClosePortTimeout("Settings Printer A", &timeout), 0);
    EXPECT_EQ(timeout, 120000u);
    EXPECT_EQ(ReadClosePortTimeout("Settings Printer B", &timeout), 0);
    EXPECT_EQ(timeout, 86400000u);
    timeouts.SetDword("Driver Beta", 250000);
    EXPECT_EQ(ReadClosePortTimeout("Settings Printer B", &timeout), 0);
    EXPECT_EQ(timeout, 250000u);
}

TEST(DriverSettings, MissingPrinterOrValueKeepsDefaults) {
    EnsureMonitorProcess();
    char out[32];
    memset(out, 'x', sizeof(out));
    DWORD timeout = 7;
    EXPECT_EQ(ReadCommunity(nullptr, out, nullptr), -1);
    EXPECT_STREQ(out, "ravine");
    EXPECT_EQ(ReadCommunity("", out, nullptr), -1);
    EXPECT_EQ(ReadCommunity("No Such Printer 1234", out, nullptr), -1);
    EXPECT_EQ(ReadClosePortTimeout("", &timeout), -1);
    EXPECT_EQ(timeout, 120000u);

    // A printer whose driver has no value, and one whose value is too long.
    TestPrinterKey p("Settings Printer D", "Driver Delta");
    TestRegKey community(kCommunityKey);
    EXPECT_EQ(ReadCommunity("Settings Printer D", out, nullptr), -1);
    community.SetString("Driver Delta", std::string(40, 'c'));
    EXPECT_EQ(ReadCommunity("Settings Printer D", out, nullptr), -1);
    EXPECT_STREQ(out, "ravine");
    community.SetString("Driver Delta", std::string(31, 'k'));
    EXPECT_EQ(ReadCommunity("Settings Printer D", out, nullptr), 0);
    EXPECT_EQ(std::string(out), std::string(31, 'k'));
}

TEST(PortMode, RegistryValueDefaultAndKeep) {
    EnsureMonitorProcess();
    TestRegKey key(kPortModeKey);
    PortContext ctx{};

    EXPECT_TRUE(ReadPortMode(&ctx)) << "no value and no mode: default 1";
    EXPECT_EQ(ctx.PortMode, 1u);

    key.SetDword("MyPortMode", 6);
    EXPECT_TRUE(ReadPortMode(&ctx));
    EXPECT_EQ(ctx.PortMode, 6u);

    key.SetDword("MyPortMode", 0);
    ctx.PortMode = 2;  // changed at run time
    EXPECT_FALSE(ReadPortMode(&ctx)) << "a zero value leaves a non-zero mode alone";
    EXPECT_EQ(ctx.PortMode, 2u);
}

}  // namespace
