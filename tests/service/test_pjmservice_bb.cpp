// The service link of the DLL as shipped: the service's run mode is read
// when the spooler starts the monitor, and decides whether the event log
// and the debug log are written.
#include "spoolhost.h"
#include "fakespool.h"
#include "pjmdouble.h"
#include "pmdouble.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr wchar_t kPrinter[] = L"Pjm Shipped Printer";
constexpr wchar_t kPort[] = L"COM3:";
constexpr char kRoot[] = "SOFTWARE\\Varnholt\\VhPJMService";

void SetText(const std::string& path, const char* name, const std::string& value) {
    HKEY k;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1));
    RegCloseKey(k);
}

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class PjmShipped : public ::testing::Test {
protected:
    void SetUp() override {
        PmDouble_Reset();
        FakeSpool_Reset();
        PjmDouble_Reset();
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        folder_ = std::string(temp) + "vjlpjmbb" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(folder_.c_str(), nullptr);
        SYSTEMTIME t;
        GetLocalTime(&t);
        char day[16];
        snprintf(day, sizeof(day), "%04d%02d%02d.log", t.wYear, t.wMonth, t.wDay);
        eventLog_ = folder_ + "\\" + day;
        debugLog_ = folder_ + "\\VhPJMLVTL7700.log";
        SetText(kRoot, "CurrentVersion", "3.0");
        SetText(std::string(kRoot) + "\\3.0", "EventLogFolder", folder_);   // no backslash: the monitor adds it
        SetText(std::string(kRoot) + "\\3.0\\VhPJMService", "CurrentVersion", "1");
        FakeSpool_AddPrinter(kPrinter, L"Some Driver", kPort, 0, L"winprint", 0);
        ASSERT_TRUE(PjmDouble_Register());
        ASSERT_TRUE(PjmDouble_Start());
        ASSERT_TRUE(PjmDouble_CreateList());
    }
    void TearDown() override {
        PjmDouble_Reset();
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnholt");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Varnholt");
        DeleteFileA(eventLog_.c_str());
        DeleteFileA(debugLog_.c_str());
        RemoveDirectoryA(folder_.c_str());
    }
    // One monitor start with this run mode: job `listed` is in the service's
    // list, job `refused` is not and the service answers OVER.
    void Session(const char* runMode, DWORD listed, DWORD refused) {
        SetText(std::string(kRoot) + "\\3.0\\VhPJMService\\1", "RunMode", runMode);
        PjmDouble_SetList(1, {listed});
        PjmDouble_SetAnswer(PJM_ANSWER_OVER, 0);
        SpoolHost host;
        ASSERT_TRUE(host.Load());
        ASSERT_NE(host.Initialize(), nullptr);
        FakeSpool_AddJob(kPrinter, listed, 0, L"doc", L"user", 1);
        FakeSpool_AddJob(kPrinter, refused, 0, L"doc", L"user", 1);
        HANDLE h = nullptr;
        ASSERT_TRUE(host.OpenPort(kPort, kPrinter, &h));
        EXPECT_TRUE(host.PrintJob(h, kPrinter, listed, L"listed", "data"));
        SetLastError(0);
        EXPECT_FALSE(host.StartDoc(h, kPrinter, refused));
        EXPECT_EQ(GetLastError(), 87u);
        EXPECT_TRUE(host.ClosePort(h));
    }
    std::string folder_, eventLog_, debugLog_;
};

TEST_F(PjmShipped, LogsAreWrittenOnlyWhenTheServiceRanInDebugModeAtStart) {
    Session("Debug", 51, 52);
    ASSERT_TRUE(PjmDouble_WaitForMessages(2, 10000));
    auto msgs = PjmDouble_Messages();
    EXPECT_EQ(msgs[0].message, 0x8002u);
    EXPECT_EQ(msgs[0].lParam, 51);
    EXPECT_EQ(msgs[1].message, 0x8004u);
    EXPECT_TRUE(FakeSpoolWaitForSetJob(52, JOB_CONTROL_DELETE, 10000));

    std::string events = Slurp(eventLog_);
    EXPECT_EQ(events.rfind("Message,", 0), 0u) << events;
    EXPECT_NE(events.find(",VEK Tessaroline 7700 LanguageMonitor,VEK Tessaroline 7700 LanguageMonitor - Debug mode "
                          "start.\r\nWarning,"),
              std::string::npos)
        << events;
    std::string debug = Slurp(debugLog_);
    EXPECT_NE(debug.find("Enter VHStartDoc(51)\r\n"), std::string::npos);

    // Another start, the service no longer in debug mode: neither log grows.
    Session("Debug ", 53, 54);
    EXPECT_TRUE(FakeSpoolWaitForSetJob(54, JOB_CONTROL_DELETE, 10000));
    EXPECT_EQ(Slurp(eventLog_), events);
    EXPECT_EQ(Slurp(debugLog_), debug);
}

}  // namespace
