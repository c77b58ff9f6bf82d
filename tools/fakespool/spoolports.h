// Ports and settings a test needs to reach a simulated printer through the
// monitor: a Standard TCP/IP port or a maker's DPU TCP/IP port whose printer
// address (the Xcv "IPAddress" answer) is the simulator's, and short polling.
// Each is undone at destruction. Used by the tests and vjlhost.
#pragma once
#include <windows.h>
#include <winspool.h>

#include <string>

#include "fakespool.h"

// A port of the Windows Standard TCP/IP Port monitor for the printer at address.
inline void AddStandardTcpPort(const wchar_t* port, const wchar_t* address) {
    FakeSpool_AddPort(port, L"TCPMON.DLL", PORT_TYPE_WRITE | PORT_TYPE_READ, L"Standard TCP/IP Port");
    FakeSpool_SetXcvIPAddress(port, address);
}

// A port of the maker's "VEK TCP/IP DPU Port" monitor: known by its key under
// the monitor's Ports key, its address by the Xcv query as for the others.
class DpuPort {
public:
    DpuPort(const wchar_t* port, const wchar_t* address) : port_(port) {
        HKEY k = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Key().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) ==
            ERROR_SUCCESS) {
            RegSetValueExW(k, L"IPAddress", 0, REG_SZ, reinterpret_cast<const BYTE*>(address),
                           static_cast<DWORD>((wcslen(address) + 1) * sizeof(wchar_t)));
            RegCloseKey(k);
        }
        FakeSpool_AddPort(port, L"VEK TCP/IP DPU Port", PORT_TYPE_WRITE | PORT_TYPE_READ, L"VEK TCP/IP DPU Port");
        FakeSpool_SetXcvIPAddress(port, address);
    }
    ~DpuPort() { RegDeleteKeyW(HKEY_LOCAL_MACHINE, Key().c_str()); }
    DpuPort(const DpuPort&) = delete;
    DpuPort& operator=(const DpuPort&) = delete;

private:
    std::wstring Key() const {
        return L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\VEK TCP/IP DPU Port\\Ports\\" + port_;
    }
    std::wstring port_;
};

// Polling settings of the model for a quick test: "LMMode" 1 with
// "PollingIntervals" (1000 ms, the shortest the monitor takes) and
// "MaxPWOFF" 1 (a silent printer costs two description attempts, not three).
class ShortPolling {
public:
    explicit ShortPolling(DWORD pollingMs = 1000, DWORD maxPwoff = 1) {
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr) !=
            ERROR_SUCCESS)
            return;
        Set("LMMode", 1);
        Set("PollingIntervals", pollingMs);
        Set("MaxPWOFF", maxPwoff);
    }
    ~ShortPolling() {
        if (!key_) return;
        for (const char* v : {"LMMode", "PollingIntervals", "MaxPWOFF"}) RegDeleteValueA(key_, v);
        RegCloseKey(key_);
    }
    ShortPolling(const ShortPolling&) = delete;
    ShortPolling& operator=(const ShortPolling&) = delete;

private:
    static constexpr char kKey[] = "SOFTWARE\\VEK\\Lorvane\\Printers\\VEK Tessaroline 7700 (LV)";
    void Set(const char* name, DWORD v) {
        RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
    }
    HKEY key_ = nullptr;
};
