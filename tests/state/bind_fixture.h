// A port context over the spooler double, the manager double and the
// registry keys a printer of the served model has.
#pragma once
#include "state/jobqueue.h"
#include "state/binding.h"
#include "threads/notify.h"
#include "state/statusvar.h"
#include "support/served_model.h"
#include "support/whitebox.h"
#include "fakespool.h"
#include "srmdouble.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

constexpr wchar_t kPort[] = L"IP_BIND";
constexpr wchar_t kDriver[] = L"VEK Tessaroline 7700 (LV)";
constexpr wchar_t kOtherDriver[] = L"VEK Tessaroline 9900";
constexpr wchar_t kMonitorName[] = L"Lorvane Language Monitor for VEK Tessaroline 7700 (LV)";
constexpr char kModelKey[] = "SOFTWARE\\VEK\\Lorvane\\Printers\\Tessaroline 7700 (LV)\\Status Variables";

inline std::string Narrow(const wchar_t* w) {
    std::string s;
    while (*w) s += static_cast<char>(*w++);
    return s;
}

// Polls until the condition holds; false after timeoutMs.
inline bool WaitFor(const std::function<bool()>& cond, DWORD timeoutMs = 5000) {
    DWORD start = GetTickCount();
    while (!cond()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

inline bool SignalNamedEvent(const std::wstring& name) {
    HANDLE h = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
    if (!h) return false;
    SetEvent(h);
    CloseHandle(h);
    return true;
}

class BindFixture : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureMonitorProcess();
        FakeSpool_Reset();
        SrmDouble_Reset();
        FakeSpool_AddPort(kPort, L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
        FakeSpool_AddPort(L"IP_ELSEWHERE", L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
        FakeSpool_AddDriver(kDriver, kMonitorName);
        FakeSpool_AddDriver(kOtherDriver, kMonitorName);
        model_.reset(new TestRegKey(kModelKey));
    }
    void TearDown() override {
        if (ctx) Close();
        keys_.clear();
        model_.reset();
    }
    // The way ClosePort lets the threads go before the context.
    void Close() {
        EXPECT_TRUE(StopPortThreads(ctx, 10000));
        FreeContext(ctx);
        ctx = nullptr;
        EXPECT_EQ(SrmDouble_OpenHandleCount(nullptr), 0u) << "every manager closed";
        EXPECT_EQ(FakeSpool_OpenHandleCount(nullptr), 0u) << "every printer handle closed";
    }
    void Open(const wchar_t* printer = L"Printer A") {
        ctx = NewContext(kPort, printer);
        ASSERT_NE(ctx, nullptr);
        ctx->dwPortStatus = 0x105;
    }
    void AddPrinter(const wchar_t* name, const wchar_t* driver = kDriver, const wchar_t* port = kPort,
                    DWORD attributes = PRINTER_ATTRIBUTE_ENABLE_BIDI) {
        FakeSpool_AddPrinter(name, driver, port, attributes, L"winprint", 0);
        std::string key;
        for (const wchar_t* p = name; *p; ++p) key += *p == L'\\' ? ',' : static_cast<char>(*p);
        keys_.emplace_back(new TestPrinterKey(key, Narrow(driver)));
    }
    int BindingCount() {
        int n = 0;
        for (SrmBinding* b = ctx->pBindList; b; b = b->pNext) ++n;
        return n;
    }
    std::vector<std::wstring> BindingNames() {
        std::vector<std::wstring> v;
        LockPort(ctx);
        for (SrmBinding* b = ctx->pBindList; b; b = b->pNext) v.push_back(b->pszPrinterName);
        UnlockPort(ctx);
        return v;
    }
    // A managed binding whose notification thread has registered.
    SrmBinding* BindManaged(const wchar_t* name) {
        DWORD before = SrmDouble_CallCount("SetNotificationEventExA");
        LockPort(ctx);
        SrmBinding* b = BindSRM(ctx, name, TRUE);
        UnlockPort(ctx);
        if (b && b->hManager) {
            EXPECT_TRUE(SrmDouble_WaitForCalls("SetNotificationEventExA", before + 1, 5000));
            // The thread registers and makes its initial reads under the
            // port lock: once the lock is free again, they are done.
            LockPort(ctx);
            UnlockPort(ctx);
        }
        return b;
    }
    PortContext* ctx = nullptr;
    std::vector<std::unique_ptr<TestRegKey>> keys_;
    std::unique_ptr<TestRegKey> model_;
};
