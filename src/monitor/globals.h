// Process-wide state of the monitor and the helpers every part uses:
// the private heap, the global lock, the OS version predicates.
#pragma once
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

struct PortContext;

// Process-wide state (one instance, from library load to unload).
extern HMODULE hModule;
extern HANDLE hHeap;
extern CRITICAL_SECTION csGlobal;
extern LONG cGlobalLock;
extern PortContext* pPortList;
extern HANDLE hMonitor;                 // 8-byte block holding the MONITORINIT pointer
extern DWORD dwOSMajor, dwOSMinor;
extern DWORD dwDoneJobMask;
extern char szEventLogFolder[256];
extern char szDebugLogPath[256];
extern BOOL bDebugMode;
extern CRITICAL_SECTION csDebugLog;

// The table handed to the spooler: the 19-slot layout, so cbSize says 160
// whatever size the SDK's MONITOR2 has with newer _WIN32_WINNT values.
constexpr DWORD kMonitor2Size = 160;
extern const MONITOR2 MonitorTable;

// Library entry work, split from DllMain so white-box tests can run it.
void MonitorProcessAttach(HMODULE hMod);
void MonitorProcessDetach();

extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT pMonitorInit, PHANDLE phMonitor);
VOID WINAPI Shutdown(HANDLE hMon);

// Global lock with a null context; the per-port lock otherwise.
void LockPort(PortContext* ctx);
void UnlockPort(PortContext* ctx);

BOOL IsWinXPOrLater();
BOOL IsVistaOrLater();

// Heap helpers: every allocation is zero-filled and comes from hHeap.
void* MemAlloc(SIZE_T cb);
BOOL MemFree(void* p);
char* StrDupA(const char* s);
wchar_t* StrDupW(const wchar_t* s);
char* WideToAnsiDup(const wchar_t* s);   // system code page; null on any failure

// Owns one block of the private heap.
struct HeapBlock {
    void* p = nullptr;
    explicit HeapBlock(void* q = nullptr) : p(q) {}
    ~HeapBlock() { MemFree(p); }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    void* release() { void* q = p; p = nullptr; return q; }
};
