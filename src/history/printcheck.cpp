// Print history: one line per job event of the maker's print tool in a daily
// file under <BaseDir>\RAS\Trc, so that an operator can account for every
// job. Lost-job check: bits in ErrPrintSequence for jobs that went astray.
//
// Start is written on a spooler thread and End on the port's refresh thread,
// so every use of the open file, its counters and the on/off switch is under
// the port's history lock. The per-port lock is never taken while holding it:
// the refresh thread may come here holding the per-port lock.
#include "history/printcheck.h"

#include <cstdio>
#include <cstring>

#include "diag/safefile.h"
#include "diag/trace.h"
#include "state/binding.h"
#include "state/statusvar.h"

HistoryClock pfnHistoryLocalTime = GetLocalTime;

namespace {

constexpr REGSAM kFullAccess = 0xF003F;
constexpr char kHistorySubDir[] = "RAS\\Trc";
constexpr char kHistoryPrefix[] = "LMOUT";
constexpr char kHistoryExt[] = ".txt";
constexpr char kTerminator[] = "__TERMINATER__\r\n";
constexpr char kToolMarker[] = "Quorvex-";
constexpr size_t kNameCopy = 368;          // the name is taken up to 367 bytes
constexpr size_t kDocNameMax = 63;
constexpr DWORD kGetJobRetryWait = 120;    // ms after a failed GetJobW
constexpr DWORD kMaxFolderEntries = 100000;

class HistoryLock {
public:
    explicit HistoryLock(PortContext* ctx) : ctx_(ctx) { AcquireSRWLockExclusive(&ctx_->srwHistory); }
    ~HistoryLock() { ReleaseSRWLockExclusive(&ctx_->srwHistory); }
    HistoryLock(const HistoryLock&) = delete;
    HistoryLock& operator=(const HistoryLock&) = delete;

private:
    PortContext* ctx_;
};

// The history is a log writer: the spooler reads the thread's last error
// after the document call that wrote a line, so a line must not change it.
struct KeepLastError {
    DWORD err = GetLastError();
    ~KeepLastError() { SetLastError(err); }
};

void Trace(PortContext* ctx, const char* text) {
    if (TraceOn(ctx)) TraceWrite(ctx, text);
}

template <typename... Args>
void TraceFmt(PortContext* ctx, const char* fmt, Args... args) {
    if (TraceOn(ctx)) TraceF(ctx, fmt, args...);
}

// The printer name in the ANSI code page, read under the per-port lock
// (StartDocPort may replace it on another thread).
void SnapshotPrinterName(PortContext* ctx, char* out, size_t cch) {
    PortLock lock(ctx);
    PortPrinterNameA(ctx, out, cch);
}

// "<drive>\<folder>\" of the process's executable.
void ExecutableFolder(char* out, size_t cch) {
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        out[0] = '\0';
        return;
    }
    char* slash = strrchr(path, '\\');
    if (slash) slash[1] = '\0';
    snprintf(out, cch, "%s", path);
}

bool ReadRegDword(HKEY key, const char* name, DWORD* out) {
    DWORD value = 0, cb = sizeof(value);
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &cb) != ERROR_SUCCESS)
        return false;
    *out = value;
    return true;
}

bool ReadBaseDir(char out[257]) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBaseDirKey, 0, kFullAccess, &key) != ERROR_SUCCESS) return false;
    DWORD cb = 256;
    LONG rc = RegQueryValueExA(key, "BaseDir", nullptr, nullptr, reinterpret_cast<BYTE*>(out), &cb);
    RegCloseKey(key);
    out[256] = '\0';
    return rc == ERROR_SUCCESS;
}

bool SameDay(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay;
}

// The sequence number in a history file name: the last three characters
// before the extension when the part after the last underscore has exactly
// three, else 0.
DWORD SequenceOf(const char* fileName) {
    char stem[MAX_PATH] = {};
    snprintf(stem, sizeof(stem), "%s", fileName);
    if (char* dot = strrchr(stem, '.')) *dot = '\0';
    const char* underscore = strrchr(stem, '_');
    if (!underscore || strlen(underscore + 1) != 3) return 0;
    DWORD n = 0;
    for (const char* p = underscore + 1; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        n = n * 10 + static_cast<DWORD>(*p - '0');
    }
    return n;
}

// Caller holds the history lock.
void OpenHistoryLocked(PortContext* ctx, const char* printerName) {
    char name[kNameCopy] = {};
    ReplaceInvalidChars(printerName, name, kInvalidNameChars);

    HANDLE h = INVALID_HANDLE_VALUE;
    char fileName[MAX_PATH] = {};
    ctx->szHistoryFile[0] = '\0';
    // The history is written as SYSTEM: not into a folder someone else
    // made, nor through a link anywhere on the way.
    PathVerdict folder = ctx->szHistoryDir[0] ? CheckFolderPathA(ctx->szHistoryDir, false) : PathVerdict::Missing;
    if (folder == PathVerdict::Link || folder == PathVerdict::NotOwned)
        TraceFmt(ctx, "PrnOrdChk: [PrintHistoryFile] folder not used: %s", PathVerdictText(folder));
    if (folder == PathVerdict::Ok &&
        NextHistoryFileName(ctx->szHistoryDir, kHistoryPrefix, name, kHistoryExt, fileName, sizeof(fileName),
                            nullptr) == 0) {
        int n = snprintf(ctx->szHistoryFile, sizeof(ctx->szHistoryFile), "%s\\%s", ctx->szHistoryDir, fileName);
        if (n > 0 && static_cast<size_t>(n) < sizeof(ctx->szHistoryFile)) {
            TraceFmt(ctx, "PrnOrdChk: [PrintHistoryFile] = %s", ctx->szHistoryFile);
            h = OpenLogFileA(ctx->szHistoryFile, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            // The 101st file of a day takes number 001 again: start it empty
            // rather than leave the old file's tail behind the new lines.
            if (h != INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS) SetEndOfFile(h);
        } else {
            ctx->szHistoryFile[0] = '\0';
        }
    }
    if (h == INVALID_HANDLE_VALUE) {
        Trace(ctx, "PrnOrdChk: [PrintHistoryFile] can not open.");
        ctx->dwPrnOrdChk = 0;
        ctx->hHistoryFile = nullptr;
    } else {
        ctx->hHistoryFile = h;
    }
    ctx->dwHistoryLines = 0;
    pfnHistoryLocalTime(&ctx->stHistoryDate);
}

// Caller holds the history lock. openFirst: a close with no open file
// opens one so that it still leaves a terminated file.
void CloseHistoryLocked(PortContext* ctx, const char* printerName, bool openFirst) {
    if (!ctx->dwPrnOrdChk) return;
    if (!ctx->hHistoryFile) {
        if (!openFirst) return;
        OpenHistoryLocked(ctx, printerName);
    }
    if (!ctx->hHistoryFile) return;
    DWORD written = 0;
    WriteFile(ctx->hHistoryFile, kTerminator, sizeof(kTerminator) - 1, &written, nullptr);
    Trace(ctx, "PrnOrdChk: [PrintHistoryFile] wrote terminater.");
    CloseHandle(ctx->hHistoryFile);
    ctx->hHistoryFile = nullptr;
}

// Caller holds the history lock. Leaves today's file open, or none when the
// history is (or has just been switched) off.
void EnsureTodaysFile(PortContext* ctx, const char* printerName) {
    if (!ctx->dwPrnOrdChk) return;
    if (!ctx->hHistoryFile) {
        OpenHistoryLocked(ctx, printerName);
        return;
    }
    SYSTEMTIME now;
    pfnHistoryLocalTime(&now);
    if (!SameDay(now, ctx->stHistoryDate)) {
        Trace(ctx, "PrnOrdChk: [PrintHistoryFile] past create date.");
        CloseHistoryLocked(ctx, printerName, true);
        OpenHistoryLocked(ctx, printerName);
    }
}

// The printer handle of the current binding, or one opened for the call.
struct JobPrinter {
    HANDLE h = nullptr;
    bool owned = false;
    explicit JobPrinter(PortContext* ctx) {
        HeapBlock name;
        {
            // StartDocPort may replace the printer name on another thread.
            PortLock lock(ctx);
            if (ctx->pCurBind) h = ctx->pCurBind->hPrinter;
            if (!h && ctx->pszPrinterName) name.p = StrDupW(ctx->pszPrinterName);
        }
        if (h) return;
        if (!name.p) {
            SetLastError(ERROR_INVALID_PRINTER_NAME);
            return;
        }
        if (OpenPrinterW(static_cast<wchar_t*>(name.p), &h, nullptr))
            owned = true;
        else
            h = nullptr;
    }
    ~JobPrinter() {
        if (owned) ClosePrinter(h);
    }
    JobPrinter(const JobPrinter&) = delete;
    JobPrinter& operator=(const JobPrinter&) = delete;
};

// The job's document name in the ANSI code page, cut to 63 bytes without
// splitting a double-byte character. False when the spooler cannot say.
bool JobDocumentName(PortContext* ctx, DWORD jobId, const char* statusWord, char out[kDocNameMax + 1]) {
    out[0] = '\0';
    JobPrinter printer(ctx);
    if (!printer.h) {
        DWORD err = GetLastError();
        TraceFmt(ctx, "PrnOrdChk: OutPrnHist_JobStatus(JobId=%d, JobStatus=%s)", jobId, statusWord);
        TraceFmt(ctx, "PrnOrdChk: @CP2 OpenPrinter()->GetLastError()=0x%08x", err);
        return false;
    }
    BYTE probe[4] = {};
    DWORD needed = 0;
    if (GetJobW(printer.h, jobId, 1, probe, sizeof(probe), &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        DWORD err = GetLastError();
        Sleep(kGetJobRetryWait);
        TraceFmt(ctx, "PrnOrdChk: OutPrnHist_JobStatus(JobId=%d, JobStatus=%s)", jobId, statusWord);
        TraceFmt(ctx, "PrnOrdChk: @CP3 GetJob()->GetLastError()=0x%08x", err);
        return false;
    }
    HeapBlock info(MemAlloc(needed < sizeof(JOB_INFO_1W) ? sizeof(JOB_INFO_1W) : needed));
    if (!info.p) return false;
    DWORD size = needed;
    if (!GetJobW(printer.h, jobId, 1, static_cast<BYTE*>(info.p), size, &needed)) {
        DWORD err = GetLastError();
        if (err != ERROR_INSUFFICIENT_BUFFER || needed != size) {
            Sleep(kGetJobRetryWait);
            TraceFmt(ctx, "PrnOrdChk: OutPrnHist_JobStatus(JobId=%d, JobStatus=%s)", jobId, statusWord);
            TraceFmt(ctx, "PrnOrdChk: @CP4 GetJob()->GetLastError()=0x%08x", err);
            return false;
        }
    }
    const wchar_t* doc = static_cast<JOB_INFO_1W*>(info.p)->pDocument;
    if (!doc || !*doc) return true;
    int cb = WideCharToMultiByte(CP_ACP, 0, doc, -1, nullptr, 0, nullptr, nullptr);
    if (cb <= 0) return true;
    HeapBlock ansi(MemAlloc(static_cast<SIZE_T>(cb)));
    if (!ansi.p) return false;
    auto* a = static_cast<char*>(ansi.p);
    WideCharToMultiByte(CP_ACP, 0, doc, -1, a, cb, nullptr, nullptr);
    size_t n = 0;
    while (a[n]) {
        size_t step = (IsDBCSLeadByte(static_cast<BYTE>(a[n])) && a[n + 1]) ? 2 : 1;
        if (n + step > kDocNameMax) break;
        n += step;
    }
    memcpy(out, a, n);
    out[n] = '\0';
    return true;
}

}  // namespace

BOOL GetPrintCheckInfo(PortContext* ctx) {
    KeepLastError keep;
    Trace(ctx, "PrnChk: GetPrintCheckInfo() - start.");
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPrnChkKey, 0, kFullAccess, &key) != ERROR_SUCCESS) key = nullptr;

    DWORD ordChk = 0;
    if (!key || !ReadRegDword(key, "PrnOrdChk", &ordChk)) {
        Trace(ctx, "PrnChk: PP_REG [PrnOrdChk] can not get.");
        ordChk = 0;
    }
    ctx->dwPrnOrdChk = ordChk;
    TraceFmt(ctx, "PrnChk: PP_REG [PrnOrdChk] = 0x%08x", ordChk);

    if (ctx->dwPrnOrdChk) {
        char base[257] = {};
        if (!ReadBaseDir(base)) {
            Trace(ctx, "PrnChk: PP_REG [BaseDir] can not get.");
            ExecutableFolder(base, sizeof(base));
        }
        // A folder that does not fit is left empty: the history then cannot
        // be named and goes off at its first event.
        int n = snprintf(ctx->szHistoryDir, sizeof(ctx->szHistoryDir), "%s\\%s", base, kHistorySubDir);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(ctx->szHistoryDir)) ctx->szHistoryDir[0] = '\0';
        TraceFmt(ctx, "PrnChk: PP_REG [BaseDir] = %s", ctx->szHistoryDir);
    }

    DWORD lostChk = 1;
    if (!key || !ReadRegDword(key, "PrnLostChk", &lostChk)) {
        Trace(ctx, "PrnChk: PP_REG [PrnLostChk] can not get.");
        lostChk = 1;
    }
    ctx->dwPrnLostChk = lostChk;
    TraceFmt(ctx, "PrnChk: PP_REG [PrnLostChk] = 0x%08x", lostChk);
    if (key) RegCloseKey(key);

    Trace(ctx, "PrnChk: GetPrintCheckInfo() - end.");
    return TRUE;
}

void ResetPrintCheckInfo(PortContext* ctx) {
    KeepLastError keep;
    if (!ctx) return;
    Trace(ctx, "PrnChk: ResetPrintCheckInfo() - start.");
    CloseHistoryFile(ctx);
    Trace(ctx, "PrnChk: ResetPrintCheckInfo() - end.");
}

void OpenPrintHistory(PortContext* ctx) {
    char printer[512];
    SnapshotPrinterName(ctx, printer, sizeof(printer));
    HistoryLock lock(ctx);
    OpenHistoryLocked(ctx, printer);
}

void CloseHistoryFile(PortContext* ctx) {
    char printer[512];
    SnapshotPrinterName(ctx, printer, sizeof(printer));
    HistoryLock lock(ctx);
    CloseHistoryLocked(ctx, printer, true);
}

void EndPrintHistory(PortContext* ctx) {
    HistoryLock lock(ctx);
    CloseHistoryLocked(ctx, "", false);
}

void OutPrnHist_JobStatus(PortContext* ctx, DWORD jobId, const char* statusWord) {
    KeepLastError keep;
    if (!ctx || !statusWord) return;
    // Off is the common case: no lock taken for it. The switch only ever
    // goes from on to off after the port is open, and is checked again below.
    if (!ctx->dwPrnOrdChk) return;
    char printer[512];
    SnapshotPrinterName(ctx, printer, sizeof(printer));
    {
        HistoryLock lock(ctx);
        EnsureTodaysFile(ctx, printer);
        if (!ctx->hHistoryFile) return;
    }

    // The spooler is asked without the history lock: the other thread's
    // line need not wait for it.
    char doc[kDocNameMax + 1];
    if (!JobDocumentName(ctx, jobId, statusWord, doc)) return;
    if (!strstr(doc, kToolMarker)) return;
    char line[kDocNameMax + 64];
    snprintf(line, sizeof(line), "%s\t%s\r\n", doc, statusWord);

    HistoryLock lock(ctx);
    // Another thread may have rolled the file over (or the day changed)
    // since the check above.
    EnsureTodaysFile(ctx, printer);
    if (!ctx->hHistoryFile) return;
    DWORD written = 0;
    WriteFile(ctx->hHistoryFile, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
    TraceFmt(ctx, "PrnOrdChk: <LMOUT> JobId=%d, Msg=%s", jobId, line);
    if (++ctx->dwHistoryLines >= kHistoryMaxLines) {
        Trace(ctx, "PrnOrdChk: [PrintHistoryFile] became max line.");
        CloseHistoryLocked(ctx, printer, true);
    }
}

void PrnLostChk(PortContext* ctx, DWORD bit, const char* label) {
    KeepLastError keep;
    if (!ctx || !ctx->dwPrnLostChk) return;
    if (!label) label = "";
    PortLock lock(ctx);
    StatusVariable* row =
        ctx->pVarTable ? LookupStatusVariable("ErrPrintSequence", ctx->pVarTable, ctx) : nullptr;
    if (!row) {
        Trace(ctx, "PrnLostChk: SRM StatusVariables [ErrPrintSequence] not found.");
        return;
    }
    auto* value = static_cast<DWORD*>(MemAlloc(sizeof(DWORD)));
    if (!value) {
        Trace(ctx, "PrnLostChk: HeapAlloc() Error!");
        return;
    }
    TraceFmt(ctx, "PrnLostChk: [%s]", label);
    const DWORD* stored = static_cast<const DWORD*>(row->pValue);
    if (stored && (*stored & bit)) {
        TraceFmt(ctx, "PrnLostChk: [%s] @ not 1st time(do not update SRM)", label);
        MemFree(value);
        return;
    }
    TraceFmt(ctx, "PrnLostChk: [%s] @ 1st time(do update SRM)", label);
    *value = (stored ? *stored : 0) | bit;
    MemFree(row->pValue);
    row->pValue = value;
    row->bChanged = 1;
    UpdateSRM_All(ctx);
}

DWORD NextHistoryFileName(const char* folder, const char* prefix, const char* name, const char* extension,
                          char* outName, size_t cchOut, DWORD* outSequence) {
    char cleaned[kNameCopy] = {};
    ReplaceInvalidChars(name ? name : "", cleaned, kInvalidNameChars);
    if (!prefix) prefix = "";
    if (!extension) extension = "";

    char dir[MAX_PATH + 1] = {};
    if (folder && *folder)
        snprintf(dir, sizeof(dir), "%s", folder);
    else
        ExecutableFolder(dir, sizeof(dir));
    size_t len = strlen(dir);
    if (len && dir[len - 1] == '\\') dir[len - 1] = '\0';

    SYSTEMTIME today;
    pfnHistoryLocalTime(&today);
    char pattern[1024];
    snprintf(pattern, sizeof(pattern), "%s\\%s_%s_%04d%02d%02d_*%s", dir, prefix, cleaned, today.wYear, today.wMonth,
             today.wDay, extension);

    bool found = false;
    DWORD newest = 0;
    FILETIME newestTime = {};
    WIN32_FIND_DATAA fd;
    HANDLE find = FindFirstFileA(pattern, &fd);
    if (find == INVALID_HANDLE_VALUE) {
        // No file of today yet is the ordinary start of a day.
        DWORD err = GetLastError();
        if (err != ERROR_FILE_NOT_FOUND && err != ERROR_NO_MORE_FILES) return err;
    } else {
        DWORD err = ERROR_NO_MORE_FILES;
        for (DWORD entries = 0; entries < kMaxFolderEntries; ++entries) {
            DWORD number = SequenceOf(fd.cFileName);
            LONG order = found ? CompareFileTime(&fd.ftCreationTime, &newestTime) : 1;
            // Files made within one tick of the clock: the higher number is the later one.
            if (order > 0 || (order == 0 && number > newest)) {
                newest = number;
                newestTime = fd.ftCreationTime;
            }
            found = true;
            if (!FindNextFileA(find, &fd)) {
                err = GetLastError();
                break;
            }
        }
        FindClose(find);
        if (err != ERROR_NO_MORE_FILES) return err;
    }

    DWORD sequence = found ? newest + 1 : 1;
    if (sequence > kHistoryMaxSequence) sequence = 1;
    if (outName)
        snprintf(outName, cchOut, "%s_%s_%04d%02d%02d_%03lu%s", prefix, cleaned, today.wYear, today.wMonth,
                 today.wDay, static_cast<unsigned long>(sequence), extension);
    if (outSequence) *outSequence = sequence;
    return 0;
}

BOOL ReplaceInvalidCharsCp(UINT codePage, const char* text, char* out, const char* set) {
    if (!text || !set) return FALSE;
    if (!*text || !*set) return TRUE;
    char copy[kNameCopy] = {};
    strncpy(copy, text, kNameCopy - 1);
    for (size_t i = 0; copy[i]; ++i) {
        BYTE b = static_cast<BYTE>(copy[i]);
        bool lead = codePage == CP_ACP ? IsDBCSLeadByte(b) : IsDBCSLeadByteEx(codePage, b);
        if (lead) {
            if (!copy[i + 1]) break;
            ++i;
            continue;
        }
        if (strchr(set, copy[i])) {
            if (!out) return FALSE;
            copy[i] = '_';
        }
    }
    if (out) memcpy(out, copy, kNameCopy);
    return TRUE;
}

BOOL ReplaceInvalidChars(const char* text, char* out, const char* set) {
    return ReplaceInvalidCharsCp(CP_ACP, text, out, set);
}
