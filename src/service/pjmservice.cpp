#include "service/pjmservice.h"
#include "diag/safefile.h"
#include "diag/trace.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kServiceKey[] = "SOFTWARE\\Varnholt\\VhPJMService";
constexpr wchar_t kServiceName[] = L"VhPJMService";
// The service manager keeps every installed service under this key.
constexpr wchar_t kServiceRegKey[] = L"SYSTEM\\CurrentControlSet\\Services\\VhPJMService";
constexpr wchar_t kServiceWindowClass[] = L"VhPJMService";
constexpr wchar_t kListMutexName[] = L"VH_FILEMAPPING_MUTEX";
constexpr wchar_t kListMappingName[] = L"VH_JOBPROCESS_FILEMAPPING";

constexpr DWORD kListMutexWaitMs = 600000;     // 10 minutes
constexpr DWORD kVerdictWaitMs = 60000000;
// Waits are cut into slices so that a closing port or a monitor shutdown
// ends them within one slice.
constexpr DWORD kWaitSliceMs = 200;
constexpr DWORD kWaitClosing = 0xFFFF0001;

constexpr size_t kDebugMessageSize = 512;

// "ポート%S でプリンタジョブ %d をキャンセルしました(Status = %d)。"
constexpr char kJobCancelledText[] =
    "\x83\x7C\x81\x5B\x83\x67%S \x82\xC5\x83\x76\x83\x8A\x83\x93\x83\x5E\x83\x57\x83\x87\x83\x75 %d "
    "\x82\xF0\x83\x4C\x83\x83\x83\x93\x83\x5A\x83\x8B\x82\xB5\x82\xDC\x82\xB5\x82\xBD(Status = %d)\x81\x42";
// "StartDocPort関数でファイルマッピングにアクセスできません(Status = %d)。"
constexpr char kNoMappingText[] =
    "StartDocPort\x8A\xD6\x90\x94\x82\xC5\x83\x74\x83\x40\x83\x43\x83\x8B\x83\x7D\x83\x62\x83\x73\x83\x93"
    "\x83\x4F\x82\xC9\x83\x41\x83\x4E\x83\x5A\x83\x58\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1(Status = %d)\x81\x42";
// "VhPJMServiceのウィンドウが見つからないので、メッセージを送信することができませんでした。"
constexpr char kNoWindowText[] =
    "VhPJMService\x82\xCC\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45\x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE7"
    "\x82\xC8\x82\xA2\x82\xCC\x82\xC5\x81\x41\x83\x81\x83\x62\x83\x5A\x81\x5B\x83\x57\x82\xF0\x91\x97\x90\x4D"
    "\x82\xB7\x82\xE9\x82\xB1\x82\xC6\x82\xAA\x82\xC5\x82\xAB\x82\xDC\x82\xB9\x82\xF1\x82\xC5\x82\xB5\x82\xBD\x81\x42";

// Set by Shutdown: no wait for the service outlives the monitor.
volatile LONG bPJMStop;
// Until this tick count the service counts as not installed.
constexpr ULONGLONG kAbsentRecheckMs = 1000;
volatile LONG64 qwPJMAbsentUntil;

// Reads a value of an open key into buffer (at most size bytes).
bool QueryValue(HKEY key, const char* name, void* buffer, DWORD size) {
    DWORD cb = size;
    return RegQueryValueExA(key, name, nullptr, nullptr, static_cast<BYTE*>(buffer), &cb) == ERROR_SUCCESS;
}

// Opens base\V, V being the "CurrentVersion" text found under base.
bool OpenCurrentVersion(const char* base, HKEY* out, char* path, size_t cchPath) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, base, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char version[65] = {};
    bool ok = QueryValue(key, "CurrentVersion", version, 64);
    RegCloseKey(key);
    if (!ok) return false;
    snprintf(path, cchPath, "%s\\%s", base, version);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, out) == ERROR_SUCCESS;
}

// One open-append-close; the thread's last error survives it. Both logs
// live in the service's log folder: a folder someone else made, a link on
// the way there, or a link in the file's place, and nothing is written.
void AppendToLogFile(const char* path, const char* data, DWORD cb) {
    DWORD saved = GetLastError();
    HANDLE h = INVALID_HANDLE_VALUE;
    if (CheckFolderPathA(szEventLogFolder, false) == PathVerdict::Ok)
        h = OpenLogFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        SetFilePointer(h, 0, nullptr, FILE_END);
        DWORD written;
        WriteFile(h, data, cb, &written, nullptr);
        CloseHandle(h);
    }
    SetLastError(saved);
}

}  // namespace

BOOL GetPJMServiceValue(const char* name, void* buffer, DWORD size) {
    HKEY key;
    char path[512];
    if (!OpenCurrentVersion(kServiceKey, &key, path, sizeof(path))) return FALSE;
    bool ok = QueryValue(key, name, buffer, size);
    RegCloseKey(key);
    return ok ? TRUE : FALSE;
}

BOOL IsPJMDebugMode(BOOL* flag) {
    HKEY key;
    char path[512];
    if (!OpenCurrentVersion(kServiceKey, &key, path, sizeof(path))) return FALSE;
    RegCloseKey(key);
    char inner[600];
    snprintf(inner, sizeof(inner), "%s\\VhPJMService", path);
    char modePath[700];
    if (!OpenCurrentVersion(inner, &key, modePath, sizeof(modePath))) return FALSE;
    char mode[257] = {};
    bool read = QueryValue(key, "RunMode", mode, 256);
    RegCloseKey(key);
    if (flag) *flag = (read && memcmp(mode, "Debug", 6) == 0) ? TRUE : FALSE;
    return TRUE;
}

BOOL WriteEventLog(const char* message, const char* source, DWORD type) {
    if (!bDebugMode) return TRUE;
    SYSTEMTIME t;
    GetLocalTime(&t);
    char file[300];
    snprintf(file, sizeof(file), "%s%04d%02d%02d.log", szEventLogFolder, t.wYear, t.wMonth, t.wDay);
    const char* kind = type == kEventError ? "Error" : type == kEventWarning ? "Warning" : "Message";
    char line[1024];
    int n = snprintf(line, sizeof(line), "%s,%04u/%02u/%02u,%02u:%02u:%02u,%s,%s\r\n", kind, t.wYear, t.wMonth, t.wDay,
                     t.wHour, t.wMinute, t.wSecond, source ? source : "", message ? message : "");
    if (n < 0) return TRUE;
    if (n >= static_cast<int>(sizeof(line))) n = sizeof(line) - 1;
    AppendToLogFile(file, line, static_cast<DWORD>(n));
    return TRUE;
}


namespace {

// The conversion letter of a "%" piece (after flags, width, precision and size).
char Conversion(const char* piece) {
    const char* p = piece + 1;
    while (*p && *p != '%' && strchr("-+ #0123456789.lhI", *p)) ++p;
    return *p == '%' ? '\0' : *p;
}

void Append(char* out, size_t cb, const char* text) {
    size_t used = strlen(out);
    size_t n = strlen(text);
    if (used + n >= cb) n = cb - 1 - used;
    memcpy(out + used, text, n);
    out[used + n] = '\0';
}

// Waits for one of `handles` (their index), or until the port closes or the
// monitor shuts down (kWaitClosing), at most limitMs (WAIT_TIMEOUT).
DWORD WaitForService(const HANDLE* handles, DWORD count, DWORD limitMs, PortContext* ctx) {
    HANDLE all[4];
    DWORD n = 0;
    for (; n < count && n < 3; ++n) all[n] = handles[n];
    if (ctx && ctx->hCloseEvent) all[n++] = ctx->hCloseEvent;
    ULONGLONG end = GetTickCount64() + limitMs;
    for (;;) {
        if (bPJMStop || (ctx && (ctx->status & ST_CLOSING))) return kWaitClosing;
        ULONGLONG now = GetTickCount64();
        if (now >= end) return WAIT_TIMEOUT;
        DWORD slice = static_cast<DWORD>(end - now < kWaitSliceMs ? end - now : kWaitSliceMs);
        DWORD rc = WaitForMultipleObjects(n, all, FALSE, slice);
        if (rc < WAIT_OBJECT_0 + count) return rc - WAIT_OBJECT_0;
        if (rc >= WAIT_ABANDONED_0 && rc < WAIT_ABANDONED_0 + count) return rc - WAIT_ABANDONED_0;
        if (rc == WAIT_OBJECT_0 + count) return kWaitClosing;
        if (rc == WAIT_FAILED) return WAIT_FAILED;
    }
}

// The shared job list, as far as the mapped view holds it.
bool JobListed(const void* view, DWORD jobId, DWORD* clippedFrom) {
    MEMORY_BASIC_INFORMATION mbi{};
    if (!VirtualQuery(view, &mbi, sizeof(mbi)) || mbi.RegionSize < 2 * sizeof(DWORD)) return false;
    const auto* words = static_cast<const DWORD*>(view);
    if (words[0] == 0) return false;
    DWORD count = words[1];
    SIZE_T room = (mbi.RegionSize - 2 * sizeof(DWORD)) / (2 * sizeof(DWORD));
    if (count > room) {
        *clippedFrom = count;
        count = static_cast<DWORD>(room);
    }
    for (DWORD i = 0; i < count; ++i)
        if (words[2 + 2 * i] == jobId) return true;
    return false;
}

// Interrupted: the port closed or the monitor shut down before an answer.
enum class Verdict { Allow, Refuse, Unreachable, Interrupted };

// Asks the service to take the job over and waits for its answer.
Verdict RequestRestart(HANDLE hPrinter, DWORD jobId, PortContext* ctx) {
    DWORD needed = 0;
    GetPrinterW(hPrinter, 2, nullptr, 0, &needed);
    void* info = needed ? MemAlloc(needed) : nullptr;
    if (needed && !info) {
        WriteDebugLog("JobID(%d):restart error in StartDocPort(allocate memory)\r\n", jobId);
        return Verdict::Refuse;
    }
    if (!info || !GetPrinterW(hPrinter, 2, static_cast<BYTE*>(info), needed, &needed) ||
        !static_cast<PRINTER_INFO_2W*>(info)->pPrinterName) {
        MemFree(info);
        WriteDebugLog("JobID(%d):restart error in StartDocPort(Get printer name)\r\n", jobId);
        return Verdict::Refuse;
    }
    ATOM atom = GlobalAddAtomW(static_cast<PRINTER_INFO_2W*>(info)->pPrinterName);
    MemFree(info);
    if (!atom) {
        WriteDebugLog("JobID(%d):restart error in StartDocPort(GlobalAddAtom)\r\n", jobId);
        return Verdict::Refuse;
    }
    char name[32];
    wsprintfA(name, "VhLM_OVER%d", jobId);
    UniqueKernelHandle over(CreateEventA(nullptr, FALSE, FALSE, name));
    UniqueKernelHandle allow;
    if (over) {
        wsprintfA(name, "VhLM_ALLOW%d", jobId);
        allow.reset(CreateEventA(nullptr, FALSE, FALSE, name));
    }
    Verdict verdict = Verdict::Refuse;
    if (!over) {
        WriteDebugLog("JobID(%d):restart error in StartDocPort(Create over event)\r\n", jobId);
    } else if (!allow) {
        WriteDebugLog("JobID(%d):restart error in StartDocPort(Create allow event)\r\n", jobId);
    } else if (!PostToPJMService(kPJMMsgRestart, atom, jobId)) {
        WriteDebugLog("JobID(%d):restart error in StartDocPort(Fail to send restart message to VhPJMService)\r\n",
                      jobId);
        verdict = Verdict::Unreachable;
    } else {
        HANDLE answers[2] = {allow.get(), over.get()};  // ALLOW first
        DWORD answer = WaitForService(answers, 2, kVerdictWaitMs, ctx);
        // An ALLOW that crosses a ClosePort is too late: the port is gone,
        // but the job is still the spooler's to print later.
        if (answer == kWaitClosing || (answer == 0 && ctx && (ctx->status & ST_CLOSING)))
            verdict = Verdict::Interrupted;
        else if (answer == 0)
            verdict = Verdict::Allow;
    }
    GlobalDeleteAtom(atom);
    return verdict;
}

// The job may not print: it is deleted and a warning recorded.
BOOL RefuseJob(HANDLE hPrinter, DWORD jobId, const wchar_t* portName) {
    SetJobW(hPrinter, jobId, 0, nullptr, JOB_CONTROL_DELETE);
    char text[1024];
    wsprintfA(text, kJobCancelledText, portName ? portName : L"", jobId, 0);
    WriteDebugLog("%s", reinterpret_cast<ULONG_PTR>(text));
    WriteEventLog(text, kEventSourceName, kEventWarning);
    return FALSE;
}

}  // namespace

void WriteDebugLog(const char* format, ULONG_PTR a1, ULONG_PTR a2, ULONG_PTR a3) {
    if (!bDebugMode || !format) return;
    EnterCriticalSection(&csDebugLog);
    char message[kDebugMessageSize] = {};
    const char* p = strchr(format, '%');
    size_t head = p ? static_cast<size_t>(p - format) : strlen(format);
    if (head >= sizeof(message)) head = sizeof(message) - 1;
    memcpy(message, format, head);
    const ULONG_PTR args[3] = {a1, a2, a3};
    for (int next = 0; p; ++next) {
        const char* q = strchr(p + 1, '%');
        size_t len = q ? static_cast<size_t>(q - p) : strlen(p);
        char piece[kDebugMessageSize];
        if (len >= sizeof(piece)) len = sizeof(piece) - 1;
        memcpy(piece, p, len);
        piece[len] = '\0';
        ULONG_PTR arg = next < 3 ? args[next] : 0;
        char formatted[1100];  // wsprintfA writes at most 1024
        char c = Conversion(piece);
        if (c == 's')
            wsprintfA(formatted, piece, arg ? reinterpret_cast<const char*>(arg) : "");
        else if (c == 'S')
            wsprintfA(formatted, piece, arg ? reinterpret_cast<const wchar_t*>(arg) : L"");
        else
            wsprintfA(formatted, piece, static_cast<DWORD>(arg));
        Append(message, sizeof(message), formatted);
        p = q;
    }
    SYSTEMTIME t;
    GetLocalTime(&t);
    char entry[kDebugMessageSize + 64];
    int n = snprintf(entry, sizeof(entry), "\r\n%4d/%02d/%02d %02d:%02d:%02d%s", t.wYear, t.wMonth, t.wDay, t.wHour,
                     t.wMinute, t.wSecond, message);
    if (n > 0) AppendToLogFile(szDebugLogPath, entry, static_cast<DWORD>(n < static_cast<int>(sizeof(entry)) ? n : sizeof(entry) - 1));
    LeaveCriticalSection(&csDebugLog);
}

BOOL PostToPJMService(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND wnd = FindWindowW(kServiceWindowClass, nullptr);
    if (!wnd) {
        WriteDebugLog(kNoWindowText);
        return FALSE;
    }
    PostMessageW(wnd, message, wParam, lParam);
    WriteDebugLog("Send message to VhPJMService(Message=%x  wParam=%x lParam=%x", message, wParam,
                  static_cast<ULONG_PTR>(lParam));
    return TRUE;
}

BOOL IsPJMServiceInstalled(PortContext* ctx) {
    ctx->bPJMService = 0;
    // Asking the service manager costs about a hundred times a plain
    // StartDocPort, and even opening the service's key a third of it. So a
    // missing service is believed for a second; a service installed
    // meanwhile is asked for from the next second on.
    ULONGLONG now = GetTickCount64();
    if (now < static_cast<ULONGLONG>(qwPJMAbsentUntil)) return FALSE;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceRegKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        InterlockedExchange64(&qwPJMAbsentUntil, static_cast<LONG64>(now + kAbsentRecheckMs));
        return FALSE;
    }
    RegCloseKey(key);
    // The service manager is asked as the spooler itself, not as its client.
    HANDLE token = RevertToPrinterSelf();
    SC_HANDLE manager = OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS);
    if (token) ImpersonatePrinterClient(token);
    if (!manager) return FALSE;
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
    if (service) {
        CloseServiceHandle(service);
        ctx->bPJMService = 1;
    }
    CloseServiceHandle(manager);
    return ctx->bPJMService ? TRUE : FALSE;
}

BOOL VHStartDoc(HANDLE hPrinter, DWORD jobId, const wchar_t* portName, PortContext* ctx, BOOL* interrupted) {
    WriteDebugLog("Enter VHStartDoc(%d)\r\n", jobId);
    if (interrupted) *interrupted = FALSE;
    UniqueKernelHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kListMutexName));
    bool owned = false;
    UniqueKernelHandle mapping;
    const void* view = nullptr;
    auto close = [&] {
        if (view) UnmapViewOfFile(view);
        view = nullptr;
        mapping.reset();
        if (owned) ReleaseMutex(mutex.get());
        owned = false;
    };
    if (!mutex) {
        WriteDebugLog("JobID: %d Can not open file mapping mutex\r\n", jobId);
    } else {
        // Anyone may create or hold this name: a mutex held for ever costs
        // this bounded wait, never the job. Closing or shutdown ends the
        // wait and the document without deleting the job; a wait that runs
        // out lets it print as if there were no service.
        HANDLE h = mutex.get();
        DWORD rc = WaitForService(&h, 1, kListMutexWaitMs, ctx);
        owned = rc == 0;
        if (!owned) WriteDebugLog("JobID: %d Can not own file mapping mutex\r\n", jobId);
        if (rc == kWaitClosing) {
            if (interrupted) *interrupted = TRUE;
            return FALSE;
        }
        if (!owned) return TRUE;
    }
    if (owned) {
        // Read only: the list is the service's, and the name may not be.
        mapping.reset(OpenFileMappingW(FILE_MAP_READ, FALSE, kListMappingName));
        if (!mapping)
            WriteDebugLog("JobID: %d Can not open file mapping; error=%d\r\n", jobId, GetLastError());
        else if (!(view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0)))
            WriteDebugLog("JobID: %d Can not access file mapping\r\n", jobId);
    }
    if (view) {
        DWORD clippedFrom = 0;
        bool listed = JobListed(view, jobId, &clippedFrom);
        close();
        if (clippedFrom) {
            WriteDebugLog("JobID: %d job list count %d is more than the list holds\r\n", jobId, clippedFrom);
            if (TraceOn(ctx)) TraceRawF(ctx, "VJLMON:VHStartDoc job list count %u clipped to the view\r\n", clippedFrom);
        }
        if (listed) {
            WriteDebugLog("JobID: %d normally print out\r\n", jobId);
            return TRUE;
        }
        WriteDebugLog("JobID(%d):Error in StartDocPort(Not pre-processed by VhPJMService)\r\n", jobId);
        Verdict verdict = RequestRestart(hPrinter, jobId, ctx);
        if (verdict == Verdict::Allow) return TRUE;
        if (verdict == Verdict::Refuse) return RefuseJob(hPrinter, jobId, portName);
        if (verdict == Verdict::Interrupted) {
            if (interrupted) *interrupted = TRUE;
            return FALSE;
        }
    }
    // The service cannot be reached: its run status decides.
    DWORD runStatus = 0;
    if (!GetPJMServiceValue("RunStatus", &runStatus, sizeof(runStatus))) {
        WriteDebugLog("Fail to query PS run status");
        runStatus = 1;
    }
    close();
    if (runStatus == 0) return TRUE;
    char text[256];
    wsprintfA(text, kNoMappingText, 0);
    WriteEventLog(text, kEventSourceName, kEventError);
    return FALSE;
}

void VHEndDoc(const wchar_t*, DWORD jobId) {
    WriteDebugLog("Enter VHEndDoc(%d)", jobId);
    PostToPJMService(kPJMMsgEndDoc, 0, jobId);
}

void PJMServiceLinkStart() {
    InterlockedExchange(&bPJMStop, 0);
    InterlockedExchange64(&qwPJMAbsentUntil, 0);
}
void PJMServiceLinkStop() { InterlockedExchange(&bPJMStop, 1); }
