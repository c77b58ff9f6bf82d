// Process-wide state of the monitor and the helpers every part uses: the
// private heap and its helpers, the OS version predicates.
#include "core/globals.h"

#include <cstring>

HMODULE hModule;
HANDLE hHeap;
CRITICAL_SECTION csGlobal;
LONG cGlobalLock;
PortContext* pPortList;
HANDLE hMonitor;
DWORD dwOSMajor, dwOSMinor;
DWORD dwDoneJobMask;
char szEventLogFolder[256];
char szDebugLogPath[256];
BOOL bDebugMode;
CRITICAL_SECTION csDebugLog;

BOOL IsWinXPOrLater() { return dwOSMajor > 5 || (dwOSMajor == 5 && dwOSMinor != 0); }
BOOL IsVistaOrLater() { return dwOSMajor >= 6; }

void* MemAlloc(SIZE_T cb) {
    if (!hHeap) return nullptr;
    return HeapAlloc(hHeap, HEAP_ZERO_MEMORY, cb);
}

BOOL MemFree(void* p) {
    if (!p || !hHeap) return FALSE;
    return HeapFree(hHeap, 0, p);
}

char* StrDupA(const char* s) {
    if (!s) return nullptr;
    size_t n = strlen(s) + 1;
    char* d = static_cast<char*>(MemAlloc(n));
    if (d) memcpy(d, s, n);
    return d;
}

wchar_t* StrDupW(const wchar_t* s) {
    if (!s) return nullptr;
    size_t n = (wcslen(s) + 1) * sizeof(wchar_t);
    wchar_t* d = static_cast<wchar_t*>(MemAlloc(n));
    if (d) memcpy(d, s, n);
    return d;
}

char* WideToAnsiDup(const wchar_t* s) {
    if (!s) return nullptr;
    int cb = WideCharToMultiByte(CP_ACP, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return nullptr;
    char* d = static_cast<char*>(MemAlloc(cb));
    if (!d) return nullptr;
    if (WideCharToMultiByte(CP_ACP, 0, s, -1, d, cb, nullptr, nullptr) <= 0) {
        MemFree(d);
        return nullptr;
    }
    return d;
}
