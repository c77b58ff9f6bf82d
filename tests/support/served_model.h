// What a machine has when a printer of the served model reports status:
// the model's "Status Variables" key and each printer's driver entry in the
// spooler's registry. Removed again at destruction.
#pragma once
#include <windows.h>
#include <tlhelp32.h>

#include <initializer_list>
#include <string>
#include <vector>

constexpr wchar_t kServedDriver[] = L"VEK Tessaroline 7700 (LV)";
constexpr wchar_t kServedMonitorName[] = L"Lorvane Language Monitor for VEK Tessaroline 7700 (LV)";

class ServedModelKeys {
public:
    explicit ServedModelKeys(std::initializer_list<const char*> printers) {
        Create(kModelKey + std::string("\\Status Variables"));
        for (const char* p : printers) {
            std::string key = std::string(kPrintersKey) + "\\" + p;
            HKEY k = Create(key);
            const char driver[] = "VEK Tessaroline 7700 (LV)";
            RegSetValueExA(k, "Printer Driver", 0, REG_SZ, reinterpret_cast<const BYTE*>(driver), sizeof(driver));
            RegCloseKey(k);
            keys_.push_back(key);
        }
        keys_.push_back(kModelKey);
    }
    ~ServedModelKeys() {
        for (const auto& key : keys_) {
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
        }
    }
    ServedModelKeys(const ServedModelKeys&) = delete;
    ServedModelKeys& operator=(const ServedModelKeys&) = delete;

private:
    static constexpr char kModelKey[] = "SOFTWARE\\VEK\\Lorvane\\Printers\\Tessaroline 7700 (LV)";
    static constexpr char kPrintersKey[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
    static HKEY Create(const std::string& path) {
        HKEY k = nullptr;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
        return k;
    }
    std::vector<std::string> keys_;
};

// Handles of this process: GetProcessHandleCount where the system keeps it;
// Wine answers 0, so the handle table is also counted by asking about every
// possible handle value.
inline DWORD HandleCount() {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n) return n;
    DWORD flags;
    for (ULONG_PTR v = 4; v < 0x40000; v += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags)) ++n;
    return n;
}

// Threads of this process (Toolhelp snapshot).
inline DWORD ThreadCount() {
    DWORD n = 0, me = GetCurrentProcessId();
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te = {};
    te.dwSize = sizeof(te);
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == me) ++n;
    CloseHandle(snap);
    return n;
}
