#include "setup.h"

#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cwchar>
#include <utility>
#include <vector>
#include <cstdarg>

#include "diag/trace.h"
#include "history/printcheck.h"
#include "core/globals.h"
#include "core/portctx.h"
#include "core/settings.h"
#include "monitor/entry.h"
#include "monitor/port.h"
#include "portinfo/portkind.h"
#include "state/binding.h"

namespace {

constexpr wchar_t kUsage[] =
    L"usage: vjlmon-setup install [--name NAME]\n"
    L"       vjlmon-setup remove  [--name NAME]\n"
    L"       vjlmon-setup status  [--name NAME]\n"
    L"NAME is the monitor's name (default: \"Lorvane Language Monitor for VEK Tessaroline 7700 (LV)\").\n";

// Where the spooler keeps each monitor's own key; the monitor reads its
// values there through the spooler.
constexpr char kMonitorsKey[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors";

struct Output {
    std::wstring* out;
    std::wstring* err;
    void Line(const std::wstring& text) { *out += text + L"\n"; }
    void Error(const std::wstring& text) { *err += L"vjlmon-setup: " + text + L"\n"; }
};

std::wstring Printf(const wchar_t* fmt, ...) {
    wchar_t buf[1024];
    va_list ap;
    va_start(ap, fmt);
    _vsnwprintf(buf, 1024, fmt, ap);
    va_end(ap);
    buf[1023] = L'\0';
    return buf;
}

// "<Windows text> (error N)", with a hint where the usual cause is known.
std::wstring ErrorText(DWORD code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                             nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring s = n && text ? text : L"unknown error";
    if (text) LocalFree(text);
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r' || s.back() == L' ' || s.back() == L'.')) s.pop_back();
    s += Printf(L" (error %lu)", code);
    if (code == ERROR_ACCESS_DENIED)
        s += L". Run vjlmon-setup from a command prompt opened with \"Run as administrator\"";
    else if (code == ERROR_MOD_NOT_FOUND)
        s += L". Copy vjlmon.dll into the System32 folder first";
    else if (code == RPC_S_SERVER_UNAVAILABLE)
        s += L". Start the Print Spooler service first";
    return s;
}

std::string Ansi(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_ACP, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(strlen(s.c_str()));
    return s;
}

std::wstring Wide(const char* s) {
    int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
    std::wstring w(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, s, -1, w.data(), n);
    w.resize(wcslen(w.c_str()));
    return w;
}

// Runs one of the spooler's two-call enumerations (size, then fill).
template <class Fn>
bool Enumerate(std::vector<BYTE>* buf, DWORD* count, Fn call) {
    DWORD needed = 0;
    *count = 0;
    if (call(nullptr, 0, &needed, count)) return true;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buf->assign(needed, 0);
    return call(buf->data(), needed, &needed, count) != FALSE;
}

struct MonitorEntry {
    bool found = false;
    std::wstring environment, dll;
};

bool FindMonitor(const std::wstring& name, MonitorEntry* entry) {
    std::vector<BYTE> buf;
    DWORD count = 0;
    if (!Enumerate(&buf, &count, [](BYTE* p, DWORD cb, DWORD* needed, DWORD* n) {
            return EnumMonitorsW(nullptr, 2, p, cb, needed, n);
        }))
        return false;
    auto* info = reinterpret_cast<MONITOR_INFO_2W*>(buf.data());
    for (DWORD i = 0; i < count; ++i) {
        if (!info[i].pName || _wcsicmp(info[i].pName, name.c_str()) != 0) continue;
        entry->found = true;
        entry->environment = info[i].pEnvironment ? info[i].pEnvironment : L"";
        entry->dll = info[i].pDLLName ? info[i].pDLLName : L"";
    }
    return true;
}

struct UsingPrinter {
    std::wstring printer, driver, ports;
};

// Printers whose driver names the monitor as its language monitor.
bool PrintersUsing(const std::wstring& monitor, std::vector<UsingPrinter>* list, DWORD* error) {
    std::vector<BYTE> buf;
    DWORD count = 0;
    if (!Enumerate(&buf, &count, [](BYTE* p, DWORD cb, DWORD* needed, DWORD* n) {
            return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, p, cb, needed, n);
        })) {
        *error = GetLastError();
        return false;
    }
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buf.data());
    for (DWORD i = 0; i < count; ++i) {
        HANDLE h = nullptr;
        if (!OpenPrinterW(info[i].pPrinterName, &h, nullptr)) continue;
        std::vector<BYTE> drv;
        DWORD needed = 0;
        GetPrinterDriverW(h, const_cast<LPWSTR>(kSetupEnvironment), 3, nullptr, 0, &needed);
        bool ok = false;
        if (needed) {
            drv.assign(needed, 0);
            ok = GetPrinterDriverW(h, const_cast<LPWSTR>(kSetupEnvironment), 3, drv.data(), needed, &needed) != FALSE;
        }
        ClosePrinter(h);
        if (!ok) continue;
        auto* di = reinterpret_cast<DRIVER_INFO_3W*>(drv.data());
        if (!di->pMonitorName || _wcsicmp(di->pMonitorName, monitor.c_str()) != 0) continue;
        list->push_back({info[i].pPrinterName, di->pName ? di->pName : L"", info[i].pPortName ? info[i].pPortName : L""});
    }
    return true;
}

std::wstring MonitorName(const std::vector<std::wstring>& args, size_t from, bool* ok) {
    std::wstring name = kDefaultMonitorName;
    *ok = true;
    for (size_t i = from; i < args.size(); ++i) {
        if (args[i] == L"--name" && i + 1 < args.size() && !args[i + 1].empty())
            name = args[++i];
        else
            *ok = false;
    }
    return name;
}

int Install(const std::wstring& name, Output& o) {
    MONITOR_INFO_2W info{};
    info.pName = const_cast<LPWSTR>(name.c_str());
    info.pEnvironment = const_cast<LPWSTR>(kSetupEnvironment);
    info.pDLLName = const_cast<LPWSTR>(kSetupDllName);
    if (AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&info))) {
        o.Line(L"Installed the monitor \"" + name + L"\" (vjlmon.dll, Windows x64).");
        o.Line(L"Printers use it once their driver names it as its language monitor.");
        return SETUP_OK;
    }
    DWORD e = GetLastError();
    if (e == ERROR_PRINT_MONITOR_ALREADY_INSTALLED) {
        o.Line(L"The monitor \"" + name + L"\" is already installed; nothing changed.");
        return SETUP_OK;
    }
    o.Error(L"could not install the monitor \"" + name + L"\": " + ErrorText(e) + L".");
    return SETUP_SPOOLER_FAILED;
}

std::wstring UsersText(const std::vector<UsingPrinter>& users) {
    std::wstring s;
    for (const auto& u : users) s += L"\n  printer \"" + u.printer + L"\" (driver \"" + u.driver + L"\")";
    return s;
}

int Remove(const std::wstring& name, Output& o) {
    std::vector<UsingPrinter> users;
    DWORD e = 0;
    if (!PrintersUsing(name, &users, &e)) {
        o.Error(L"could not list the printers: " + ErrorText(e) + L".");
        return SETUP_SPOOLER_FAILED;
    }
    if (!users.empty()) {
        o.Error(L"cannot remove the monitor \"" + name + L"\": these printers' drivers still name it:" +
                UsersText(users) + L"\nDelete these printers or give them a driver without this monitor, then run remove again.");
        return SETUP_IN_USE;
    }
    if (DeleteMonitorW(nullptr, const_cast<LPWSTR>(kSetupEnvironment), const_cast<LPWSTR>(name.c_str()))) {
        o.Line(L"Removed the monitor \"" + name + L"\". Restart the spooler before deleting vjlmon.dll.");
        return SETUP_OK;
    }
    e = GetLastError();
    if (e == ERROR_UNKNOWN_PRINT_MONITOR) {
        o.Error(L"the monitor \"" + name + L"\" is not installed; nothing to remove.");
        return SETUP_NOT_INSTALLED;
    }
    if (e == ERROR_PRINT_MONITOR_IN_USE) {
        o.Error(L"cannot remove the monitor \"" + name + L"\": a printer driver still names it (" + ErrorText(e) +
                L"). Remove that driver, or give its printers another driver, then run remove again.");
        return SETUP_IN_USE;
    }
    o.Error(L"could not remove the monitor \"" + name + L"\": " + ErrorText(e) + L".");
    return SETUP_SPOOLER_FAILED;
}

// ---- status -----------------------------------------------------------------

// anyType: read the four bytes whatever the value's type, as the print-check
// reads do.
bool RawDword(const char* keyPath, const char* name, DWORD* out, bool anyType = false) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD value = 0, cb = 4, type = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &cb);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || (!anyType && (type != REG_DWORD || cb != 4))) return false;
    *out = value;
    return true;
}

void Row(Output& o, const wchar_t* name, const std::wstring& value, const std::wstring& source) {
    std::wstring line = Printf(L"    %-18ls %-12ls %ls", name, value.c_str(), source.c_str());
    while (line.back() == L' ') line.pop_back();
    o.Line(line);
}

// The source of a value the monitor bounds: the raw registry value when
// there is one, else the default.
std::wstring Source(bool present, DWORD raw, DWORD effective) {
    if (!present) return L"default";
    if (raw == effective) return L"registry";
    return Printf(L"clamped (registry %lu)", raw);
}

std::wstring Num(DWORD v) { return Printf(L"%lu", v); }

std::wstring KindName(DWORD kind) {
    const wchar_t* name = kind & PORTKIND_TCPMON    ? L"tcpip"
                          : kind & PORTKIND_DPU     ? L"dpu"
                          : kind & PORTKIND_COM     ? L"com"
                          : kind & PORTKIND_NETWORK ? L"network"
                          : kind & PORTKIND_OTHER   ? L"other"
                          : kind & PORTKIND_LOCAL   ? L"local"
                                                    : L"unknown";
    return Printf(L"%ls (0x%lx)", name, kind);
}

// What the monitor would read opening this port for this printer, by its
// own code over a port context that is never opened on a port monitor.
void ShowPort(Output& o, const UsingPrinter& p, const std::wstring& port) {
    o.Line(L"  port \"" + port + L"\"");
    LockPort(nullptr);
    PortContext* ctx = CreatePortContext(port.c_str(), p.printer.c_str());
    UnlockPort(nullptr);
    if (!ctx) {
        o.Line(L"    (out of memory)");
        return;
    }
    // The context comes with the port's trace settings; the reads below must
    // not write to the live trace, so they are noted and switched off first.
    std::vector<std::pair<std::wstring, std::wstring>> trace;
    if (ReadTraceSettings(ctx) && ctx->pszTraceFolder) {
        std::wstring file = p.printer;
        CleanFileName(file.data());
        trace.push_back({L"on", std::wstring(ctx->pszTraceFolder) + L"\\VEKLM-" + file.c_str() + L".TRG"});
        trace.push_back({Printf(L"0x%lx", ctx->dwTraceMask), L"VEKLMLOG.INI"});
        trace.push_back({ctx->dwTraceSize == TRACE_NO_LIMIT ? L"no limit" : Printf(L"%lu MB", ctx->dwTraceSize / 1048576),
                         Printf(L"%lu rotated file(s) kept", ctx->dwTraceHistory)});
    }
    ResetTraceSettings(ctx);

    GetPortKind(ctx);
    Row(o, L"port kind", KindName(ctx->dwPortStatus), L"");
    Row(o, L"status manager", IsStatusPrinter(p.printer.c_str()) ? L"yes" : L"no", L"model key with Status Variables");

    ReadPollingSettings(ctx);
    DWORD raw = 0;
    bool lmMode = RawDword(kPollingKey, "LMMode", &raw);
    Row(o, L"LMMode", lmMode ? Num(raw) : L"-", lmMode ? L"registry" : L"default");
    const wchar_t* notRead = L"default (read only when LMMode is 1)";
    bool has = RawDword(kPollingKey, "PollingIntervals", &raw);
    Row(o, L"PollingIntervals", Num(ctx->dwPollingIntervals),
        ctx->bVariablePolling ? Source(has, raw, ctx->dwPollingIntervals) : notRead);
    has = RawDword(kPollingKey, "CheckDID", &raw);
    Row(o, L"CheckDID", Num(ctx->dwDevIDLevel), ctx->bVariablePolling ? Source(has, raw, ctx->dwDevIDLevel) : notRead);
    has = RawDword(kPollingKey, "OIDIntervals", &raw);
    Row(o, L"OIDIntervals", Num(ctx->dwSNMPIntervals), Source(has, raw, ctx->dwSNMPIntervals));
    has = RawDword(kPollingKey, "MaxPWOFF", &raw);
    Row(o, L"MaxPWOFF", Num(ctx->dwSNMP_PWOFF), Source(has, raw, ctx->dwSNMP_PWOFF));

    std::string printerA = Ansi(p.printer), driverA = Ansi(p.driver);
    char community[32] = {};
    DWORD len = 0;
    int fromReg = ReadCommunity(printerA.c_str(), community, &len);
    Row(o, L"customCommunity", Wide(community), fromReg == 0 ? L"registry (value \"" + p.driver + L"\")" : L"default");
    DWORD timeout = 0;
    fromReg = ReadClosePortTimeout(printerA.c_str(), &timeout);
    has = fromReg == 0 && RawDword(kClosePortTimeoutKey, driverA.c_str(), &raw);
    Row(o, L"ClosePortTimeout", Num(timeout), Source(has, raw, timeout));

    ReadPortMode(ctx);
    has = RawDword(kPortModeKey, "MyPortMode", &raw) && raw != 0;
    Row(o, L"MyPortMode", Printf(L"0x%lx", ctx->PortMode), has ? L"registry" : L"default");

    GetPrintCheckInfo(ctx);
    has = RawDword(kPrnChkKey, "PrnOrdChk", &raw, true);
    Row(o, L"PrnOrdChk", Num(ctx->dwPrnOrdChk), has ? L"registry" : L"default");
    if (ctx->dwPrnOrdChk) Row(o, L"history folder", Wide(ctx->szHistoryDir), L"BaseDir\\RAS\\Trc");
    has = RawDword(kPrnChkKey, "PrnLostChk", &raw, true);
    Row(o, L"PrnLostChk", Num(ctx->dwPrnLostChk), has ? L"registry" : L"default");

    if (trace.empty()) {
        Row(o, L"trace", L"off", L"no VEKLMLOG.INI with MODE=1 or 2 in the Windows folder");
    } else {
        Row(o, L"trace", trace[0].first, trace[0].second);
        Row(o, L"trace mask", trace[1].first, trace[1].second);
        Row(o, L"trace size", trace[2].first, trace[2].second);
    }

    LockPort(nullptr);
    DestroyPortContext(ctx);
    UnlockPort(nullptr);
}

void ShowOwnValue(Output& o, const std::wstring& monitor, const char* name, const wchar_t* absent) {
    std::string key = std::string(kMonitorsKey) + "\\" + Ansi(monitor);
    DWORD raw = 0;
    bool has = RawDword(key.c_str(), name, &raw);
    Row(o, Wide(name).c_str(), has ? Printf(L"%ld", static_cast<LONG>(raw)) : absent, has ? L"registry" : L"default");
}

void StartMonitorCode() {
    static bool started = [] {
        MonitorProcessAttach(GetModuleHandleW(nullptr));
        OSVERSIONINFOW vi{};
        vi.dwOSVersionInfoSize = sizeof(vi);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        if (GetVersionExW(&vi)) {
#pragma GCC diagnostic pop
            dwOSMajor = vi.dwMajorVersion;
            dwOSMinor = vi.dwMinorVersion;
        }
        return true;
    }();
    (void)started;
}

int Status(const std::wstring& name, Output& o) {
    MonitorEntry m;
    if (!FindMonitor(name, &m)) {
        o.Error(L"could not list the spooler's monitors: " + ErrorText(GetLastError()) + L".");
        return SETUP_SPOOLER_FAILED;
    }
    int rc = SETUP_OK;
    if (m.found) {
        o.Line(L"Monitor \"" + name + L"\": installed, DLL " + m.dll + L", environment " + m.environment + L".");
    } else {
        o.Line(L"Monitor \"" + name + L"\": not installed.");
        rc = SETUP_NOT_INSTALLED;
    }
    ShowOwnValue(o, name, "ENTERLANGUAGE", L"0");
    ShowOwnValue(o, name, "PrintingPriority", L"-");

    std::vector<UsingPrinter> users;
    DWORD e = 0;
    if (!PrintersUsing(name, &users, &e)) {
        o.Error(L"could not list the printers: " + ErrorText(e) + L".");
        return SETUP_SPOOLER_FAILED;
    }
    if (users.empty()) {
        o.Line(L"No printer's driver names this monitor.");
        return rc;
    }
    StartMonitorCode();
    for (const auto& p : users) {
        o.Line(L"Printer \"" + p.printer + L"\" (driver \"" + p.driver + L"\")");
        // A pooled printer lists its ports separated by commas.
        size_t from = 0;
        for (size_t i = 0; i < 64 && from <= p.ports.size(); ++i) {
            size_t comma = p.ports.find(L',', from);
            std::wstring port = p.ports.substr(from, comma == std::wstring::npos ? std::wstring::npos : comma - from);
            while (!port.empty() && port.front() == L' ') port.erase(0, 1);
            if (!port.empty()) ShowPort(o, p, port);
            if (comma == std::wstring::npos) break;
            from = comma + 1;
        }
    }
    return rc;
}

}  // namespace

int RunSetup(const std::vector<std::wstring>& args, std::wstring* out, std::wstring* err) {
    Output o{out, err};
    bool ok = false;
    std::wstring name = args.empty() ? L"" : MonitorName(args, 1, &ok);
    if (args.empty() || !ok) {
        *err += kUsage;
        return SETUP_USAGE;
    }
    if (args[0] == L"install") return Install(name, o);
    if (args[0] == L"remove") return Remove(name, o);
    if (args[0] == L"status") return Status(name, o);
    *err += kUsage;
    return SETUP_USAGE;
}
