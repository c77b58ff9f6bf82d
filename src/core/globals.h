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

// Global lock with a null context; the per-port lock otherwise.
void LockPort(PortContext* ctx);
void UnlockPort(PortContext* ctx);

// Holds the per-port lock (the global lock for a null context) for a scope.
// The lock is re-entrant, so nested guards on one thread are fine.
class PortLock {
public:
    explicit PortLock(PortContext* ctx) : ctx_(ctx) { LockPort(ctx_); }
    ~PortLock() { if (held_) UnlockPort(ctx_); }
    void unlock() { if (held_) { held_ = false; UnlockPort(ctx_); } }
    void lock() { if (!held_) { LockPort(ctx_); held_ = true; } }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;
private:
    PortContext* ctx_;
    bool held_ = true;
};

// Owns one kernel handle (or any value with a close function) for a scope.
template <typename H, auto Close>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(H h) : h_(h) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept { if (this != &o) reset(o.release()); return *this; }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    H get() const { return h_; }
    H* put() { reset(); return &h_; }
    explicit operator bool() const { return h_ != H() && h_ != Invalid(); }
    H release() { H h = h_; h_ = H(); return h; }
    void reset(H h = H()) {
        if (*this) {
            DWORD err = GetLastError();
            Close(h_);
            SetLastError(err);
        }
        h_ = h;
    }
private:
    // -1 is "no handle" for files; never a valid handle of any other kind.
    static H Invalid() { return reinterpret_cast<H>(static_cast<LONG_PTR>(-1)); }
    H h_ = H();
};

using UniqueKernelHandle = UniqueHandle<HANDLE, CloseHandle>;   // events, threads, files, mutexes
using UniquePrinter = UniqueHandle<HANDLE, ClosePrinter>;
using UniqueRegKey = UniqueHandle<HKEY, RegCloseKey>;

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
