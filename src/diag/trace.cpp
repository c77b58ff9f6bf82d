// Per-port trace files. Tracing is off unless VEKLMLOG.INI in the Windows
// directory switches it on; the file is opened, appended to and closed for
// every line so that support staff can copy or delete it while the port runs.
#include "diag/trace.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "diag/safefile.h"

namespace {

constexpr wchar_t kIniName[] = L"VEKLMLOG.INI";
constexpr wchar_t kIniSection[] = L"VEKTL7700";
constexpr wchar_t kFolderName[] = L"\\VEKTL7700LOG";
constexpr wchar_t kNoPath[] = L"DUMMY";
constexpr DWORD kDefaultSizeMB = 10;
constexpr DWORD kOffTraceSize = 10;
constexpr DWORD kMaxLine = 1023;           // characters of one formatted line
constexpr SIZE_T kLineBuffer = 4096;
constexpr DWORD kPathChars = 130;          // PATH is read with up to 129 characters

// Keeps the thread's last error across a trace call: the spooler reads it
// after the monitor returns, and a trace line must not change it.
struct KeepLastError {
    DWORD err = GetLastError();
    ~KeepLastError() { SetLastError(err); }
};

void SetTraceOff(PortContext* ctx)
{
    ctx->bTraceOn = 0;
    ctx->dwTraceMask = 0;
    ctx->bTraceSecInit = 0;
    ctx->dwTraceSize = kOffTraceSize;
    ctx->dwTraceHistory = 1;
    ctx->cbTraceFile = 0;
    MemFree(ctx->pszTraceFolder);
    ctx->pszTraceFolder = nullptr;
    MemFree(ctx->pszTraceFile);
    ctx->pszTraceFile = nullptr;
}

bool IsWindowsNT()
{
    OSVERSIONINFOW vi = {};
    vi.dwOSVersionInfoSize = sizeof(vi);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&vi))
        return false;
#pragma GCC diagnostic pop
    if (vi.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return false;
    return (vi.dwMajorVersion == 4 && vi.dwMinorVersion == 0) || vi.dwMajorVersion >= 5;
}

DWORD MaskFromSettings(const wchar_t* ini)
{
    DWORD magic = GetPrivateProfileIntW(kIniSection, L"MAGIC", 0, ini);
    DWORD low;
    if (magic != 0) {
        low = magic & 0xFFFF;
    } else {
        switch (GetPrivateProfileIntW(kIniSection, L"LEVEL", 1, ini) & 0x7) {
        case 2: low = 0x3; break;
        case 3: low = 0x7; break;
        default: low = 0x1; break;
        }
    }
    DWORD mask = low | 0x70000;
    DWORD ext = GetPrivateProfileIntW(kIniSection, L"EXTLEVEL", 0, ini);
    if (ext & 0x1) mask &= ~0x10000u;
    if (ext & 0x2) mask &= ~0x20000u;
    if (ext & 0x4) mask &= ~0x40000u;
    return mask;
}

// The folder the trace folder goes under: PATH cut at its second backslash
// when it lies on a fixed, remote or RAM drive, else the Windows drive.
void ChooseBaseFolder(const wchar_t* path, const wchar_t* winDir, wchar_t* out, size_t cch)
{
    if (path[0] && wcscmp(path, kNoPath) != 0 && wcslen(path) >= 2) {
        wchar_t root[4] = {path[0], path[1], L'\\', 0};
        UINT type = GetDriveTypeW(root);
        if (type == DRIVE_FIXED || type == DRIVE_REMOTE || type == DRIVE_RAMDISK) {
            wcsncpy(out, path, cch - 1);
            out[cch - 1] = 0;
            wchar_t* first = wcschr(out, L'\\');
            wchar_t* second = first ? wcschr(first + 1, L'\\') : nullptr;
            if (second)
                *second = 0;
            // "D:\" alone has no second backslash; avoid a doubled one later.
            size_t n = wcslen(out);
            if (n && out[n - 1] == L'\\')
                out[n - 1] = 0;
            return;
        }
    }
    out[0] = winDir[0];
    out[1] = winDir[0] ? winDir[1] : 0;
    out[2] = 0;
}

bool PrepareSecurity(PortContext* ctx)
{
    if (ctx->bTraceSecInit)
        return true;
    if (!InitializeSecurityDescriptor(&ctx->TraceSecDesc, SECURITY_DESCRIPTOR_REVISION))
        return false;
    // Everyone reads the file (the suite and an operator do); only SYSTEM
    // and Administrators write it. The ACL lives for the process's life.
    PSECURITY_DESCRIPTOR shared = TraceFileSecurity();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!shared || !GetSecurityDescriptorDacl(shared, &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    if (!SetSecurityDescriptorDacl(&ctx->TraceSecDesc, TRUE, dacl, FALSE) ||
        !SetSecurityDescriptorControl(&ctx->TraceSecDesc, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    ctx->bTraceSecInit = 1;
    return true;
}

// Builds the live file name on first use and keeps it for the port's life.
bool PrepareFileName(PortContext* ctx)
{
    if (ctx->pszTraceFile && ctx->pszTraceFile[0])
        return true;
    if (!ctx->pszPrinterName || !ctx->pszPrinterName[0] || !ctx->pszTraceFolder)
        return false;
    wchar_t* name = StrDupW(ctx->pszPrinterName);
    if (!name)
        return false;
    CleanFileName(name);
    // ".TRG" and ".%03d" have the same length, so one size serves every name.
    size_t cch = wcslen(ctx->pszTraceFolder) + wcslen(name) + 16;
    wchar_t* file = static_cast<wchar_t*>(MemAlloc(cch * sizeof(wchar_t)));
    if (file)
        swprintf(file, cch, L"%ls\\VEKLM-%ls.TRG", ctx->pszTraceFolder, name);
    MemFree(name);
    if (!file)
        return false;
    MemFree(ctx->pszTraceFile);
    ctx->pszTraceFile = file;
    ctx->cbTraceFile = static_cast<DWORD>(cch * sizeof(wchar_t));
    return true;
}

// The live file, never through a link: the folder itself must not have
// become one since the port was opened, and the file is opened as itself.
HANDLE OpenLiveFile(PortContext* ctx)
{
    if (IsLinkAttributes(GetFileAttributesW(ctx->pszTraceFolder)))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = &ctx->TraceSecDesc;
    sa.bInheritHandle = FALSE;
    return OpenLogFile(ctx->pszTraceFile, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_ARCHIVE, &sa);
}

bool BelowLimit(PortContext* ctx, HANDLE h)
{
    if (ctx->dwTraceSize == TRACE_NO_LIMIT)
        return true;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size))
        return true;
    return size.QuadPart < static_cast<LONGLONG>(ctx->dwTraceSize);
}

// Rotated name: the live name with its "TRG" extension replaced.
void RotatedName(const PortContext* ctx, DWORD number, wchar_t* out)
{
    size_t cch = ctx->cbTraceFile / sizeof(wchar_t);
    size_t stem = wcslen(ctx->pszTraceFile) - 3;
    wmemcpy(out, ctx->pszTraceFile, stem);
    if (number == 0)
        swprintf(out + stem, cch - stem, L"TR1");
    else
        swprintf(out + stem, cch - stem, L"%03u", number);
}

void RotateFiles(PortContext* ctx)
{
    size_t cch = ctx->cbTraceFile / sizeof(wchar_t);
    wchar_t* from = static_cast<wchar_t*>(MemAlloc(cch * sizeof(wchar_t)));
    wchar_t* to = static_cast<wchar_t*>(MemAlloc(cch * sizeof(wchar_t)));
    // Renames happen as SYSTEM: the whole folder path is looked at again
    // first, and no rename goes to or from a link.
    if (from && to && CheckFolderPath(ctx->pszTraceFolder, false) == PathVerdict::Ok) {
        if (ctx->dwTraceHistory < 2) {
            RotatedName(ctx, 0, to);
            if (!MoveLogFile(ctx->pszTraceFile, to, MOVEFILE_REPLACE_EXISTING) && GetLastError() != ERROR_CANT_ACCESS_FILE)
                MoveLogFile(ctx->pszTraceFile, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
        } else {
            for (DWORD k = ctx->dwTraceHistory; k >= 2; --k) {
                RotatedName(ctx, k - 1, from);
                RotatedName(ctx, k, to);
                MoveLogFile(from, to, MOVEFILE_REPLACE_EXISTING);
            }
            RotatedName(ctx, 1, to);
            MoveLogFile(ctx->pszTraceFile, to, MOVEFILE_REPLACE_EXISTING);
        }
    }
    MemFree(from);
    MemFree(to);
}

bool WriteAll(HANDLE h, const char* data, DWORD cb)
{
    DWORD done = 0;
    return WriteFile(h, data, cb, &done, nullptr) && done == cb;
}

} // namespace

void CleanFileName(wchar_t* name)
{
    if (!name)
        return;
    for (; *name; ++name) {
        if (wcschr(L"/:*?<>|\"", *name))
            *name = L'-';
    }
}

void ResetTraceSettings(PortContext* ctx)
{
    if (ctx)
        SetTraceOff(ctx);
}

BOOL ReadTraceSettings(PortContext* ctx)
{
    if (!ctx)
        return FALSE;
    KeepLastError keep;
    ctx->bTraceOn = 0;
    ctx->dwTraceMask = 0;
    ctx->dwTraceSize = kOffTraceSize;
    ctx->dwTraceHistory = 1;
    ctx->dwTraceRefused = 0;

    if (!IsWindowsNT())
        return FALSE;

    wchar_t winDir[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryW(winDir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return FALSE;
    wchar_t found[MAX_PATH + 16] = {};
    if (!SearchPathW(winDir, kIniName, nullptr, MAX_PATH + 16, found, nullptr))
        return FALSE;
    // The keys come from the Windows directory's copy, whatever the search returned.
    wchar_t ini[MAX_PATH + 16];
    swprintf(ini, MAX_PATH + 16, L"%ls\\%ls", winDir, kIniName);

    UINT mode = GetPrivateProfileIntW(kIniSection, L"MODE", 0, ini);
    if (mode != 1 && mode != 2)
        return FALSE;
    ctx->bTraceOn = 1;

    ctx->dwTraceMask = MaskFromSettings(ini);
    UINT sizeMB = GetPrivateProfileIntW(kIniSection, L"SIZE", kDefaultSizeMB, ini);
    if (sizeMB < 1 || sizeMB > 100)
        sizeMB = kDefaultSizeMB;
    ctx->dwTraceSize = sizeMB * 1048576;
    if (GetPrivateProfileIntW(kIniSection, L"FLAG", 0, ini) == 1)
        ctx->dwTraceSize = TRACE_NO_LIMIT;
    wchar_t path[kPathChars] = {};
    GetPrivateProfileStringW(kIniSection, L"PATH", kNoPath, path, kPathChars, ini);
    UINT history = GetPrivateProfileIntW(kIniSection, L"HISTORY", 1, ini);
    ctx->dwTraceHistory = (history >= 1 && history <= 9) ? history : 1;

    MemFree(ctx->pszTraceFolder);
    ctx->pszTraceFolder = nullptr;

    wchar_t folder[kPathChars + 16] = {};
    ChooseBaseFolder(path, winDir, folder, kPathChars);
    wcscat(folder, kFolderName);
    ctx->pszTraceFolder = StrDupW(folder);
    if (!ctx->pszTraceFolder) {
        SetTraceOff(ctx);
        return FALSE;
    }
    // The folders are made with the monitor's own DACL; one that someone
    // else made, or a link, is not written into: no trace for this port.
    PathVerdict v = CheckFolderPath(ctx->pszTraceFolder, true);
    if (v != PathVerdict::Ok) {
        SetTraceOff(ctx);
        ctx->dwTraceRefused = static_cast<DWORD>(v);
        return FALSE;
    }
    return TRUE;
}

void TraceWrite(PortContext* ctx, const char* text)
{
    if (!ctx)
        return;
    KeepLastError keep;
    SYSTEMTIME st;
    GetLocalTime(&st);
    if (!PrepareSecurity(ctx))
        return;
    HeapBlock buf(MemAlloc(kLineBuffer));
    if (!buf.p || !PrepareFileName(ctx))
        return;

    HANDLE h = OpenLiveFile(ctx);
    if (h == INVALID_HANDLE_VALUE)
        return;
    if (!BelowLimit(ctx, h)) {
        FlushFileBuffers(h);
        CloseHandle(h);
        RotateFiles(ctx);
        h = OpenLiveFile(ctx);
        if (h == INVALID_HANDLE_VALUE)
            return;
        // A failed rename leaves the full file in place: drop the line
        // rather than grow it without bound.
        if (!BelowLimit(ctx, h)) {
            CloseHandle(h);
            return;
        }
    }

    SetFilePointer(h, 0, nullptr, FILE_END);
    char* line = static_cast<char*>(buf.p);
    snprintf(line, kMaxLine + 1, "%02d/%02d %02d:%02d:%02d:%03d\t%s\r\n", st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond, st.wMilliseconds, text ? text : "");
    line[kMaxLine] = 0;
    WriteAll(h, line, static_cast<DWORD>(strlen(line)));
    CloseHandle(h);
}

BOOL TraceWriteRaw(PortContext* ctx, const char* text)
{
    if (!ctx)
        return TRUE;
    KeepLastError keep;
    if (!PrepareSecurity(ctx) || !PrepareFileName(ctx))
        return TRUE;
    HANDLE h = OpenLiveFile(ctx);
    if (h == INVALID_HANDLE_VALUE)
        return FALSE;
    SetFilePointer(h, 0, nullptr, FILE_END);
    BOOL ok = WriteAll(h, text ? text : "", text ? static_cast<DWORD>(strlen(text)) : 0);
    CloseHandle(h);
    return ok;
}

void TraceF(PortContext* ctx, const char* fmt, ...)
{
    if (!ctx || !fmt)
        return;
    KeepLastError keep;
    // The line is cut at 1023 characters anyway, so the text needs no more.
    char text[kMaxLine + 1];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    text[kMaxLine] = 0;
    TraceWrite(ctx, text);
}

void TraceRawF(PortContext* ctx, const char* fmt, ...)
{
    if (!ctx || !fmt)
        return;
    KeepLastError keep;
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int need = vsnprintf(small, sizeof(small), fmt, ap);
    va_end(ap);
    if (need < 0)
        return;
    if (static_cast<size_t>(need) < sizeof(small)) {
        TraceWriteRaw(ctx, small);
        return;
    }
    HeapBlock big(MemAlloc(static_cast<SIZE_T>(need) + 1));
    if (!big.p)
        return;
    va_start(ap, fmt);
    vsnprintf(static_cast<char*>(big.p), static_cast<size_t>(need) + 1, fmt, ap);
    va_end(ap);
    TraceWriteRaw(ctx, static_cast<char*>(big.p));
}
