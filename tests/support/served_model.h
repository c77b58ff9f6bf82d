// What a machine has when a printer of the served model reports status:
// the model's "Status Variables" key and each printer's driver entry in the
// spooler's registry. Removed again at destruction.
#pragma once
#include <windows.h>
#include <tlhelp32.h>

#include <winternl.h>

#include <cstdio>
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

// What a leak check prints about what is left: each thread's id and where it
// started (module!offset), each handle's value and object type.
inline std::vector<std::string> ThreadsAndHandles() {
    std::vector<std::string> out;
    using QueryThread = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    HMODULE nt = GetModuleHandleW(L"ntdll.dll");
    auto queryThread = reinterpret_cast<QueryThread>(reinterpret_cast<void*>(GetProcAddress(nt, "NtQueryInformationThread")));
    auto queryObject = reinterpret_cast<QueryObject>(reinterpret_cast<void*>(GetProcAddress(nt, "NtQueryObject")));
    auto queryEvent = reinterpret_cast<QueryObject>(reinterpret_cast<void*>(GetProcAddress(nt, "NtQueryEvent")));
    constexpr int kThreadStartAddress = 9, kObjectType = 2;
    DWORD me = GetCurrentProcessId();
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te = {};
    te.dwSize = sizeof(te);
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te)) {
        if (te.th32OwnerProcessID != me) continue;
        void* start = nullptr;
        if (HANDLE t = OpenThread(THREAD_QUERY_INFORMATION, FALSE, te.th32ThreadID)) {
            if (queryThread) queryThread(t, kThreadStartAddress, &start, sizeof(start), nullptr);
            CloseHandle(t);
        }
        char module[MAX_PATH] = "?";
        HMODULE m = nullptr;
        if (start && GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                        static_cast<LPCSTR>(start), &m))
            GetModuleFileNameA(m, module, MAX_PATH);
        char line[MAX_PATH + 64];
        snprintf(line, sizeof(line), "thread %lu %s+0x%llx", static_cast<unsigned long>(te.th32ThreadID), module,
                 static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(start) - reinterpret_cast<ULONG_PTR>(m)));
        out.push_back(line);
    }
    CloseHandle(snap);
    DWORD flags;
    for (ULONG_PTR v = 4; v < 0x40000; v += 4) {
        auto h = reinterpret_cast<HANDLE>(v);
        if (!GetHandleInformation(h, &flags)) continue;
        alignas(8) BYTE info[512] = {};
        std::string type = "?";
        if (queryObject && queryObject(h, kObjectType, info, sizeof(info), nullptr) >= 0) {
            const auto* name = reinterpret_cast<const UNICODE_STRING*>(info);
            type.assign(name->Buffer, name->Buffer + name->Length / sizeof(wchar_t));
        }
        char line[96];
        snprintf(line, sizeof(line), "handle 0x%llx ", static_cast<unsigned long long>(v));
        if (type == "Event" && queryEvent) {
            struct {
                int type;    // 0 manual reset, 1 auto reset
                LONG state;  // signalled
            } ev = {};
            if (queryEvent(h, 0, &ev, sizeof(ev), nullptr) >= 0)
                type += ev.type == 0 ? (ev.state ? " manual set" : " manual clear") : (ev.state ? " auto set" : " auto clear");
        }
        if (queryObject) {
            alignas(8) BYTE nameInfo[1024] = {};
            constexpr int kObjectName = 1;
            if (queryObject(h, kObjectName, nameInfo, sizeof(nameInfo), nullptr) >= 0) {
                const auto* name = reinterpret_cast<const UNICODE_STRING*>(nameInfo);
                if (name->Length) type += " " + std::string(name->Buffer, name->Buffer + name->Length / sizeof(wchar_t));
            }
        }
        out.push_back(line + type);
    }
    return out;
}
