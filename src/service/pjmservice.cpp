#include "service/pjmservice.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char kServiceKey[] = "SOFTWARE\\Varnholt\\VhPJMService";

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
    const char* kind = type == 3 ? "Error" : type == 2 ? "Warning" : "Message";
    char line[1024];
    int n = snprintf(line, sizeof(line), "%s,%04u/%02u/%02u,%02u:%02u:%02u,%s,%s\r\n", kind, t.wYear, t.wMonth, t.wDay,
                     t.wHour, t.wMinute, t.wSecond, source ? source : "", message ? message : "");
    if (n < 0) return TRUE;
    if (n >= static_cast<int>(sizeof(line))) n = sizeof(line) - 1;
    DWORD saved = GetLastError();
    HANDLE h = CreateFileA(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        SetFilePointer(h, 0, nullptr, FILE_END);
        DWORD written;
        WriteFile(h, line, static_cast<DWORD>(n), &written, nullptr);
        CloseHandle(h);
    }
    SetLastError(saved);
    return TRUE;
}

// --- Not built yet: hand-over of jobs to and from the service. Until then
// the service is never found, so every job prints. ---
BOOL IsPJMServiceInstalled(PortContext* ctx) {  // placeholder
    ctx->bPJMService = 0;
    return FALSE;
}
BOOL VHStartDoc(HANDLE hPrinter, DWORD jobId, const wchar_t* portName) { return TRUE; }  // placeholder
void VHEndDoc(const wchar_t* portName, DWORD jobId) {}                                    // placeholder
