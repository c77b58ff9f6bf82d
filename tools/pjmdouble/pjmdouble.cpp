#include "pjmdouble.h"

#include <cstdio>
#include <mutex>

namespace {

constexpr wchar_t kName[] = L"VhPJMService";
constexpr UINT kMsgRestart = 0x8004;

struct State {
    std::mutex m;
    std::vector<PjmMessage> messages;
    PjmAnswer answer = PJM_ANSWER_NONE;
    DWORD delayMs = 0;
    DWORD answers = 0;
    HANDLE thread = nullptr;
    HWND wnd = nullptr;
    HANDLE ready = nullptr;
    HANDLE listMutex = nullptr;
    HANDLE mapping = nullptr;
    DWORD cbMapping = 0;
};
State g;

void Signal(DWORD jobId, PjmAnswer answer) {
    char name[32];
    snprintf(name, sizeof(name), answer == PJM_ANSWER_ALLOW ? "VhLM_ALLOW%lu" : "VhLM_OVER%lu",
             static_cast<unsigned long>(jobId));
    if (HANDLE e = OpenEventA(EVENT_MODIFY_STATE, FALSE, name)) {
        SetEvent(e);
        CloseHandle(e);
    }
    std::lock_guard<std::mutex> lock(g.m);
    ++g.answers;
}

LRESULT CALLBACK WndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg >= 0x8000 && msg < 0xC000) {
        PjmMessage rec{msg, wParam, lParam, {}};
        PjmAnswer answer;
        DWORD delay;
        if (msg == kMsgRestart) {
            wchar_t name[256] = {};
            if (GlobalGetAtomNameW(static_cast<ATOM>(wParam), name, 256)) rec.printer = name;
        }
        {
            std::lock_guard<std::mutex> lock(g.m);
            g.messages.push_back(rec);
            answer = g.answer;
            delay = g.delayMs;
        }
        if (msg == kMsgRestart && answer != PJM_ANSWER_NONE) {
            if (delay == 0) Signal(static_cast<DWORD>(lParam), answer);
            else SetTimer(wnd, static_cast<UINT_PTR>(lParam) * 2 + (answer == PJM_ANSWER_ALLOW), delay, nullptr);
        }
        return 0;
    }
    if (msg == WM_TIMER) {
        KillTimer(wnd, wParam);
        Signal(static_cast<DWORD>(wParam / 2), (wParam & 1) ? PJM_ANSWER_ALLOW : PJM_ANSWER_OVER);
        return 0;
    }
    if (msg == WM_CLOSE) {
        DestroyWindow(wnd);
        return 0;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(wnd, msg, wParam, lParam);
}

DWORD WINAPI WindowThread(void*) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kName;
    RegisterClassW(&wc);
    // Top level and hidden: FindWindowW does not see message-only windows.
    g.wnd = CreateWindowExW(0, kName, L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
    SetEvent(g.ready);
    if (!g.wnd) return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    g.wnd = nullptr;
    return 0;
}

}  // namespace

bool PjmDouble_Register() {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) return false;
    SC_HANDLE svc = CreateServiceW(scm, kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, L"C:\\windows\\VhPJMService.exe",
                                   nullptr, nullptr, nullptr, nullptr, nullptr);
    if (!svc && GetLastError() == ERROR_SERVICE_EXISTS) svc = OpenServiceW(scm, kName, SERVICE_QUERY_STATUS);
    bool ok = svc != nullptr;
    if (svc) CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return ok;
}

void PjmDouble_Unregister() {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) return;
    if (SC_HANDLE svc = OpenServiceW(scm, kName, DELETE)) {
        DeleteService(svc);
        CloseServiceHandle(svc);
    }
    CloseServiceHandle(scm);
}

bool PjmDouble_Start() {
    if (g.thread) return true;
    g.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g.thread = CreateThread(nullptr, 0, WindowThread, nullptr, 0, nullptr);
    if (g.thread) WaitForSingleObject(g.ready, 10000);
    CloseHandle(g.ready);
    g.ready = nullptr;
    if (!g.wnd) PjmDouble_Stop();
    return g.thread != nullptr;
}

void PjmDouble_Stop() {
    if (!g.thread) return;
    if (g.wnd) PostMessageW(g.wnd, WM_CLOSE, 0, 0);
    WaitForSingleObject(g.thread, 10000);
    CloseHandle(g.thread);
    g.thread = nullptr;
}

bool PjmDouble_CreateList(DWORD cbMapping) {
    PjmDouble_DropList();
    g.listMutex = CreateMutexW(nullptr, FALSE, L"VH_FILEMAPPING_MUTEX");
    g.mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, cbMapping,
                                   L"VH_JOBPROCESS_FILEMAPPING");
    g.cbMapping = cbMapping;
    return g.listMutex && g.mapping;
}

void PjmDouble_DropList() {
    if (g.mapping) CloseHandle(g.mapping);
    if (g.listMutex) CloseHandle(g.listMutex);
    g.mapping = g.listMutex = nullptr;
}

void PjmDouble_SetList(DWORD valid, const std::vector<DWORD>& jobIds, DWORD declaredCount) {
    if (!g.mapping) return;
    auto* words = static_cast<DWORD*>(MapViewOfFile(g.mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (!words) return;
    WaitForSingleObject(g.listMutex, 10000);
    DWORD room = (g.cbMapping - 8) / 8;
    words[0] = valid;
    words[1] = declaredCount == ~0u ? static_cast<DWORD>(jobIds.size()) : declaredCount;
    for (DWORD i = 0; i < jobIds.size() && i < room; ++i) {
        words[2 + 2 * i] = jobIds[i];
        words[3 + 2 * i] = 0;
    }
    ReleaseMutex(g.listMutex);
    UnmapViewOfFile(words);
}

bool PjmDouble_HoldMutex() { return g.listMutex && WaitForSingleObject(g.listMutex, 10000) == WAIT_OBJECT_0; }
void PjmDouble_ReleaseMutex() {
    if (g.listMutex) ReleaseMutex(g.listMutex);
}

void PjmDouble_SetAnswer(PjmAnswer answer, DWORD delayMs) {
    std::lock_guard<std::mutex> lock(g.m);
    g.answer = answer;
    g.delayMs = delayMs;
}

std::vector<PjmMessage> PjmDouble_Messages() {
    std::lock_guard<std::mutex> lock(g.m);
    return g.messages;
}

bool PjmDouble_WaitForMessages(size_t n, DWORD timeoutMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g.m);
            if (g.messages.size() >= n) return true;
        }
        if (GetTickCount64() >= end) return false;
        Sleep(5);
    }
}

DWORD PjmDouble_Answers() {
    std::lock_guard<std::mutex> lock(g.m);
    return g.answers;
}

void PjmDouble_Reset() {
    PjmDouble_Stop();
    PjmDouble_DropList();
    PjmDouble_Unregister();
    std::lock_guard<std::mutex> lock(g.m);
    g.messages.clear();
    g.answer = PJM_ANSWER_NONE;
    g.delayMs = 0;
    g.answers = 0;
}
