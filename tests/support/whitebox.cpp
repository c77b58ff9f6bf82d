#include "support/whitebox.h"

void EnsureMonitorProcess() {
    static bool done = [] {
        MonitorProcessAttach(GetModuleHandleW(nullptr));
        return true;
    }();
    (void)done;
}

TestRegKey::TestRegKey(const std::string& path) : path_(path) {
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
}

TestRegKey::~TestRegKey() {
    if (key_) RegCloseKey(key_);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path_.c_str());
}

void TestRegKey::SetDword(const char* name, DWORD value) {
    RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

void TestRegKey::SetString(const char* name, const std::string& value) {
    RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
}

void TestRegKey::SetBinary(const char* name, const void* data, DWORD cb) {
    RegSetValueExA(key_, name, 0, REG_BINARY, static_cast<const BYTE*>(data), cb);
}

TestPrinterKey::TestPrinterKey(const std::string& printer, const std::string& driver)
    : TestRegKey("SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + printer) {
    SetString("Printer Driver", driver);
}

PortContext* NewContext(const wchar_t* port, const wchar_t* printer) {
    EnsureMonitorProcess();
    LockPort(nullptr);
    PortContext* ctx = CreatePortContext(port, printer);
    UnlockPort(nullptr);
    return ctx;
}

void FreeContext(PortContext* ctx) {
    LockPort(nullptr);
    DestroyPortContext(ctx);
    UnlockPort(nullptr);
}

PortContext* OpenPortWb(const wchar_t* port, const wchar_t* printer, LPMONITOR2 portMonitor) {
    EnsureMonitorProcess();
    HANDLE h = nullptr;
    if (!PJLMonOpenPortEx(nullptr, reinterpret_cast<HANDLE>(1), const_cast<LPWSTR>(port), const_cast<LPWSTR>(printer),
                          &h, portMonitor))
        return nullptr;
    return static_cast<PortContext*>(h);
}
