// The status report manager double, reached the way the monitor reaches it
// (LoadLibraryW by name, GetProcAddress by the exported names) while the
// test drives it through its control interface.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <thread>
#include <vector>

#include "state/srm.h"
#include "srmdouble.h"

namespace {

const wchar_t kPrinter[] = L"VEK Tessaroline 7700 (LV)";
const wchar_t kOther[] = L"Second Printer";

struct Manager {
    HMODULE lib = nullptr;
    FARPROC pfn[SRM_ENTRY_COUNT] = {};
    template <class T>
    T Get(SrmEntry e) const { return SrmEntryCast<T>(pfn[e]); }
    SRMHANDLE Open(const wchar_t* printer) const {
        SRMHANDLE h = 0;
        LONG r = Get<PFN_OpenManagerExW>(SRM_OpenManagerExW)(printer, SZ_SRM_DEVICE, SRM_OPEN_FLAGS, &h);
        return r == 0 ? h : 0;
    }
    LONG Update(SRMHANDLE h, const char* name, DWORD value) const {
        return Get<PFN_UpdatePrinterStatusA>(SRM_UpdatePrinterStatusA)(h, name, &value, sizeof(value));
    }
};

class SrmDoubleTest : public ::testing::Test {
protected:
    void SetUp() override {
        SrmDouble_Reset();
        m.lib = LoadLibraryW(SZ_SRM_LIBRARY);
        ASSERT_NE(m.lib, nullptr);
        for (int i = 0; i < SRM_ENTRY_COUNT; i++) {
            m.pfn[i] = GetProcAddress(m.lib, g_aszSrmEntryNames[i]);
            ASSERT_NE(m.pfn[i], nullptr) << g_aszSrmEntryNames[i];
        }
    }
    void TearDown() override {
        if (m.lib) FreeLibrary(m.lib);
    }
    Manager m;
};

bool Signalled(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

TEST_F(SrmDoubleTest, MonitorAndControlShareOneModule) {
    HMODULE ctl = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&SrmDouble_Reset), &ctl));
    EXPECT_EQ(ctl, m.lib);

    // A value set by the test is what the manager answers, and back.
    ASSERT_TRUE(SrmDouble_SetDword(kPrinter, "TerminateManager", 1));
    SRMHANDLE h = m.Open(kPrinter);
    ASSERT_NE(h, 0u);
    EXPECT_NE(h >> 32, 0u) << "handles use all 64 bits";
    DWORD v = 0, need = 0;
    EXPECT_EQ(m.Get<PFN_GetPrinterStatusA>(SRM_GetPrinterStatusA)(h, "TerminateManager", &v, 4, &need), 0);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(m.Update(h, "JobStatus", 0x44), 0);
    EXPECT_TRUE(SrmDouble_GetValue(kPrinter, "JobStatus", &v, 4, &need));
    EXPECT_EQ(v, 0x44u);

    // A handle cut to 32 bits is not a handle.
    EXPECT_EQ(m.Update(h & 0xFFFFFFFF, "JobStatus", 1), SRMDOUBLE_E_INVALID_HANDLE);
    EXPECT_EQ(SrmDouble_BadHandleCount(), 1u);
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 1u);
    EXPECT_EQ(m.Get<PFN_CloseManager>(SRM_CloseManager)(h), 0);
    EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u);
}

TEST_F(SrmDoubleTest, BufferSizeProtocolAndDefaults) {
    SRMHANDLE h = m.Open(kPrinter);
    ASSERT_NE(h, 0u);
    auto getA = m.Get<PFN_GetPrinterStatusA>(SRM_GetPrinterStatusA);
    auto getW = m.Get<PFN_GetPrinterStatusW>(SRM_GetPrinterStatusW);

    // Defaults a fresh printer answers with.
    SrmPortValue port;
    memset(&port, 0xCC, sizeof(port));
    DWORD need = 0;
    ASSERT_EQ(getW(h, L"Port", &port, sizeof(port), &need), 0);
    EXPECT_EQ(need, 516u);
    EXPECT_EQ(port.dwWord, 0u);
    EXPECT_EQ(port.szPort[0], 0);
    WCHAR name[SRM_PRINTERNAME_CB / 2] = {};
    ASSERT_EQ(getA(h, "PrinterName", name, sizeof(name), &need), 0);
    EXPECT_STREQ(name, kPrinter);

    // Size query, too small, exact; the list read as the refresh request does.
    const char list[] = "ErrCoverOpen;IconState";
    ASSERT_TRUE(SrmDouble_SetTextA(kPrinter, "RefreshStatus", list));
    need = 0;
    EXPECT_EQ(getA(h, "RefreshStatus", nullptr, 0, &need), SRM_E_NO_BUFFER);
    EXPECT_EQ(need, sizeof(list));
    std::vector<char> buf(need, 'x');
    need = 0;
    EXPECT_EQ(getA(h, "RefreshStatus", buf.data(), 4, &need), SRM_E_MORE_DATA);
    EXPECT_EQ(need, sizeof(list));
    EXPECT_EQ(buf[0], 'x') << "a too small buffer is left alone";
    EXPECT_EQ(getA(h, "RefreshStatus", buf.data(), (DWORD)buf.size(), &need), 0);
    EXPECT_STREQ(buf.data(), list);

    // A port set by a test, read through the wide entry.
    ASSERT_TRUE(SrmDouble_SetPort(kPrinter, 1, L"IP_127.0.0.5", L"IP_127.0.0.6"));
    ASSERT_EQ(getW(h, L"Port", &port, sizeof(port), &need), 0);
    EXPECT_EQ(port.dwWord, 1u);
    EXPECT_STREQ(port.szPort, L"IP_127.0.0.5");
    EXPECT_STREQ(port.szOther, L"IP_127.0.0.6");

    EXPECT_EQ(getA(h, "NoSuchVariable", buf.data(), (DWORD)buf.size(), &need), SRMDOUBLE_E_NOT_FOUND);
}

TEST_F(SrmDoubleTest, EventsFollowChangesOfTheirPrinter) {
    SRMHANDLE h = m.Open(kPrinter), h2 = m.Open(kPrinter), other = m.Open(kOther);
    ASSERT_TRUE(h && h2 && other);
    HANDLE ev[SRM_NOTIFY_COUNT];
    for (auto& e : ev) e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SRMREG reg = 0;
    ASSERT_EQ(m.Get<PFN_SetNotificationEventExA>(SRM_SetNotificationEventExA)(h, SRM_NOTIFY_COUNT,
                                                                              SZ_SRM_NOTIFY_NAMES, ev, &reg),
              0);
    ASSERT_NE(reg, 0u);
    EXPECT_EQ(SrmDouble_RegistrationCount(kPrinter), 1u);

    // A test's change of Port: event 0 only.
    ASSERT_TRUE(SrmDouble_SetPort(kPrinter, 1, L"IP_127.0.0.9", L""));
    EXPECT_TRUE(Signalled(ev[0]));
    for (int i = 1; i < 4; i++) EXPECT_FALSE(Signalled(ev[i])) << i;

    // The monitor's own update through another handle of the printer: event 3;
    // the same value again is no change; another printer's value is not ours.
    EXPECT_EQ(m.Update(h2, "PrinterExtStatus", 0x17), 0);
    EXPECT_TRUE(Signalled(ev[3]));
    EXPECT_EQ(m.Update(h2, "PrinterExtStatus", 0x17), 0);
    EXPECT_EQ(m.Update(other, "PrinterExtStatus", 0x1), 0);
    EXPECT_EQ(m.Update(h, "IconState", 2), 0);
    for (auto e : ev) EXPECT_FALSE(Signalled(e));

    ASSERT_TRUE(SrmDouble_SetTextW(kPrinter, "PrinterName", L"Renamed"));
    EXPECT_TRUE(Signalled(ev[1]));
    EXPECT_EQ(SrmDouble_Notify(kPrinter, "TerminateManager"), 1u);
    EXPECT_TRUE(Signalled(ev[2]));

    // The caller may close its events: the double signals its own copies.
    CloseHandle(ev[0]);
    ASSERT_TRUE(SrmDouble_SetPort(kPrinter, 0, L"", L""));

    auto kill = m.Get<PFN_KillNotificationEvent>(SRM_KillNotificationEvent);
    EXPECT_EQ(kill(h2, reg), SRMDOUBLE_E_NOT_FOUND) << "a registration belongs to its handle";
    EXPECT_EQ(kill(h, reg), 0);
    EXPECT_EQ(SrmDouble_RegistrationCount(nullptr), 0u);
    ASSERT_TRUE(SrmDouble_SetDword(kPrinter, "TerminateManager", 1));
    EXPECT_FALSE(Signalled(ev[2]));
    for (int i = 1; i < 4; i++) CloseHandle(ev[i]);

    // Closing a handle with a live registration drops it, and that is counted.
    HANDLE e1 = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(m.Get<PFN_SetNotificationEventA>(SRM_SetNotificationEventA)(h2, "JobStatus", e1, &reg), 0);
    EXPECT_EQ(m.Get<PFN_CloseManager>(SRM_CloseManager)(h2), 0);
    EXPECT_EQ(SrmDouble_DroppedRegistrationCount(), 1u);
    CloseHandle(e1);
}

TEST_F(SrmDoubleTest, UpdateLogAndFailures) {
    SRMHANDLE h = m.Open(kPrinter);
    ASSERT_NE(h, 0u);
    const BYTE status[12] = {1, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 1, 0};
    auto update = m.Get<PFN_UpdatePrinterStatusA>(SRM_UpdatePrinterStatusA);
    ASSERT_EQ(update(h, "PrinterStatus", status, sizeof(status)), 0);
    ASSERT_TRUE(SrmDouble_FailNext("UpdatePrinterStatusA", 1, -5));
    EXPECT_EQ(m.Update(h, "IconState", 2), -5);
    EXPECT_EQ(m.Update(h, "IconState", 1), 0);

    SrmDoubleUpdateRecord log[4];
    ASSERT_EQ(SrmDouble_GetUpdateLog(log, 4), 3u);
    EXPECT_STREQ(log[0].printer, kPrinter);
    EXPECT_EQ(log[0].handle, h);
    EXPECT_STREQ(log[0].name, "PrinterStatus");
    EXPECT_EQ(log[0].cbValue, 12u);
    EXPECT_EQ(memcmp(log[0].value, status, 12), 0);
    EXPECT_EQ(log[1].result, -5);
    EXPECT_EQ(log[2].result, 0);
    EXPECT_LT(log[0].seq, log[1].seq);
    EXPECT_LT(log[1].seq, log[2].seq);
    DWORD v = 0;
    EXPECT_TRUE(SrmDouble_GetValue(kPrinter, "IconState", &v, 4, nullptr));
    EXPECT_EQ(v, 1u) << "the failed call took nothing";

    // Refused opens: one printer, then the whole manager.
    ASSERT_TRUE(SrmDouble_SetOpenFailure(kOther, TRUE, 0));
    SRMHANDLE x = 123;
    EXPECT_EQ(m.Get<PFN_OpenManagerExW>(SRM_OpenManagerExW)(kOther, SZ_SRM_DEVICE, 1, &x), 0);
    EXPECT_EQ(x, 0u) << "success with a zero handle";
    ASSERT_TRUE(SrmDouble_SetOpenFailure(nullptr, TRUE, SRMDOUBLE_E_REFUSED));
    EXPECT_EQ(m.Open(kPrinter), 0u);
    ASSERT_TRUE(SrmDouble_SetOpenFailure(nullptr, FALSE, 0));
    EXPECT_NE(m.Open(kPrinter), 0u);

    SrmDoubleOpenRecord opens[8];
    ASSERT_EQ(SrmDouble_GetOpenLog(opens, 8), 4u);
    EXPECT_STREQ(opens[0].device, L"\\\\.\\vjlmon");
    EXPECT_EQ(opens[2].result, SRMDOUBLE_E_REFUSED);
    EXPECT_EQ(SrmDouble_CallCount("OpenManagerExW"), 4u);
    EXPECT_EQ(SrmDouble_OpenHandleCount(kPrinter), 2u);
}

TEST_F(SrmDoubleTest, ConcurrentUpdatesAreAllLogged) {
    SRMHANDLE h = m.Open(kPrinter);
    ASSERT_NE(h, 0u);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (DWORD i = 0; i < 200; i++) m.Update(h, t % 2 ? "JobStatus" : "IconState", i);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(SrmDouble_GetUpdateLog(nullptr, 0), 800u);
    EXPECT_EQ(SrmDouble_CallCount("UpdatePrinterStatusA"), 800u);

    // A delayed entry point counts its call only once the delay is over.
    ASSERT_TRUE(SrmDouble_SetDelay("GetPrinterStatusA", 500));
    std::thread reader([&] {
        DWORD v = 0, need = 0;
        m.Get<PFN_GetPrinterStatusA>(SRM_GetPrinterStatusA)(h, "JobStatus", &v, 4, &need);
    });
    EXPECT_FALSE(SrmDouble_WaitForCalls("GetPrinterStatusA", 1, 20));
    EXPECT_TRUE(SrmDouble_WaitForCalls("GetPrinterStatusA", 1, 5000));
    reader.join();
}

}  // namespace
