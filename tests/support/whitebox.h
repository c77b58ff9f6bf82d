// Helpers for tests that link the monitor's objects directly.
#pragma once
#include "core/portctx.h"
#include "monitor/entry.h"
#include "monitor/port.h"

#include <string>

// Creates the private heap and global lock once per test process, as the
// library entry does when the spooler loads the DLL.
void EnsureMonitorProcess();

// A key under HKEY_LOCAL_MACHINE that the test owns: created on demand and
// deleted with everything below it at the end of the test.
class TestRegKey {
public:
    explicit TestRegKey(const std::string& path);
    ~TestRegKey();
    TestRegKey(const TestRegKey&) = delete;
    TestRegKey& operator=(const TestRegKey&) = delete;
    void SetDword(const char* name, DWORD value);
    void SetString(const char* name, const std::string& value);
    void SetBinary(const char* name, const void* data, DWORD cb);
    HKEY key() const { return key_; }

private:
    std::string path_;
    HKEY key_ = nullptr;
};

// Registers a spooler printer with the given driver in the registry (the
// place the settings reads look the driver up); removed at destruction.
class TestPrinterKey : public TestRegKey {
public:
    TestPrinterKey(const std::string& printer, const std::string& driver);
};

// A port opened through PJLMonOpenPortEx over the given port monitor table.
PortContext* OpenPortWb(const wchar_t* port, const wchar_t* printer, LPMONITOR2 portMonitor);

// A port context made as OpenPortEx makes it, without a port monitor.
PortContext* NewContext(const wchar_t* port, const wchar_t* printer);
void FreeContext(PortContext* ctx);
