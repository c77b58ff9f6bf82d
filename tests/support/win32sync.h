// A thread and a lock straight on Win32, for tests that count the process's
// handles: the C++ runtime's threads, mutexes and condition variables make
// kernel handles of their own lazily (a first contention, one thread more
// alive than ever before), which a count would take for the monitor's.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <utility>

class Win32Thread {
public:
    Win32Thread() = default;
    explicit Win32Thread(std::function<void()> body) {
        auto* fn = new std::function<void()>(std::move(body));
        handle_ = CreateThread(nullptr, 0, Run, fn, 0, nullptr);
        if (!handle_) delete fn;
    }
    Win32Thread(Win32Thread&& o) noexcept : handle_(o.handle_) { o.handle_ = nullptr; }
    Win32Thread& operator=(Win32Thread&& o) noexcept {
        if (this != &o) {
            join();
            handle_ = o.handle_;
            o.handle_ = nullptr;
        }
        return *this;
    }
    Win32Thread(const Win32Thread&) = delete;
    Win32Thread& operator=(const Win32Thread&) = delete;
    ~Win32Thread() { join(); }
    bool joinable() const { return handle_ != nullptr; }
    void join() {
        if (!handle_) return;
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    static DWORD WINAPI Run(LPVOID p) {
        std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(p));
        (*fn)();
        return 0;
    }
    HANDLE handle_ = nullptr;
};

// A lock for std::lock_guard.
class Win32Lock {
public:
    Win32Lock() { InitializeCriticalSection(&cs_); }
    ~Win32Lock() { DeleteCriticalSection(&cs_); }
    Win32Lock(const Win32Lock&) = delete;
    Win32Lock& operator=(const Win32Lock&) = delete;
    void lock() { EnterCriticalSection(&cs_); }
    void unlock() { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};
