// A Standard TCP/IP port opened through the DLL on a simulated printer of
// its own, with the printer's manager bound, polling every second and the
// trace on at level 2 (the refresh thread's own lines too): the ground of the
// tests that watch the monitor follow a live printer.
#pragma once
#include "spoolhost.h"
#include "pmdouble.h"
#include "fakespool.h"
#include "spoolports.h"
#include "srmdouble.h"
#include "support/served_model.h"
#include "support/simprinter.h"
#include "../monitor/trace_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Polls a condition until it holds, for about 30 s at the most; the
// watchdog ends a test that would wait forever.
inline bool Eventually(const std::function<bool()>& cond, int tries = 600) {
    for (int i = 0; i < tries; ++i) {
        if (cond()) return true;
        Sleep(50);
    }
    return cond();
}

class LivePortTest : public ::testing::Test {
protected:
    explicit LivePortTest(const char* printerName)
        : keys{printerName}, printerName_(printerName, printerName + strlen(printerName)) {}

    void Begin(const char* address, const std::vector<std::string>& options = {}) {
        address_ = address;
        const std::wstring wide(address_.begin(), address_.end());
        port_ = L"IP_" + wide;
        printer = std::make_unique<SimPrinter>(address_);
        std::vector<std::string> opts = {"--pending-ms", "0", "--page-ms", "10"};
        opts.insert(opts.end(), options.begin(), options.end());
        ASSERT_TRUE(printer->Start(opts)) << printer->error;
        PmDouble_Reset();
        FakeSpool_Reset();
        SrmDouble_Reset();
        AddStandardTcpPort(port_.c_str(), wide.c_str());
        PmDouble_SetPortTarget(port_.c_str(), address_.c_str());
        FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
        FakeSpool_AddPrinter(printerName_.c_str(), kServedDriver, port_.c_str(), PRINTER_ATTRIBUTE_ENABLE_BIDI,
                             L"winprint", 0);
        wchar_t dir[MAX_PATH];
        GetWindowsDirectoryW(dir, MAX_PATH);
        WritePrivateProfileStringW(L"VEKTL7700", L"LEVEL", L"2", (std::wstring(dir) + L"\\VEKLMLOG.INI").c_str());
        traceFile_ = trace.FileFor(printerName_);
        ASSERT_TRUE(host.Load());
        ASSERT_NE(host.Initialize(), nullptr);
        ASSERT_TRUE(host.OpenPort(port_.c_str(), printerName_.c_str(), &h));
    }
    void TearDown() override {
        if (h) {
            EXPECT_TRUE(host.ClosePort(h));
        }
        if (printer) printer->Stop();
    }

    std::vector<std::string> Lines() { return TraceOnForTest::Texts(traceFile_); }
    size_t CountLines(const std::string& text) {
        auto lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
    }
    size_t CountContaining(const std::string& a, const std::string& b) {
        size_t n = 0;
        for (const auto& l : Lines()) n += l.find(a) != std::string::npos && l.find(b) != std::string::npos;
        return n;
    }
    // Waits for the end of `rounds` refresh rounds after the current one.
    bool NextRoundsEnd(size_t rounds = 1) {
        static const std::string kRoundEnd = "REFRESH:ReadStatus2 -EXIT-";
        size_t now = CountLines(kRoundEnd);
        return Eventually([&] { return CountLines(kRoundEnd) >= now + rounds; });
    }

    // The spooler's job controls for a job, from the `from`th logged call on.
    DWORD Controls(DWORD jobId, DWORD command, size_t from = 0) {
        auto log = FakeSpoolSetJobLog();
        DWORD n = 0;
        for (size_t i = from; i < log.size(); ++i) n += log[i].jobId == jobId && log[i].command == command;
        return n;
    }
    DWORD Ejections(DWORD jobId) { return Controls(jobId, JOB_CONTROL_LAST_PAGE_EJECTED); }
    // Released once: by a LAST_PAGE_EJECTED or by a delete, never both.
    DWORD Releases(DWORD jobId) { return Ejections(jobId) + Controls(jobId, JOB_CONTROL_DELETE); }

    ServedModelKeys keys;
    ShortPolling polling;
    TraceOnForTest trace;
    SpoolHost host;
    std::unique_ptr<SimPrinter> printer;
    HANDLE h = nullptr;
    std::string address_;
    std::wstring printerName_, port_, traceFile_;
};
