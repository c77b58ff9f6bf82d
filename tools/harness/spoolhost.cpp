// Spooler host: the part of the print spooler a language monitor sees.
#include "spoolhost.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>

#include "pmdouble.h"

namespace {

std::mutex g_hostsLock;
std::set<SpoolHost*> g_hosts;

// Finds the host that handed out hSpooler and counts the call.
SpoolHost* HostOf(HANDLE hSpooler) {
    std::lock_guard<std::mutex> lock(g_hostsLock);
    SpoolHost* h = reinterpret_cast<SpoolHost*>(hSpooler);
    if (g_hosts.count(h)) {
        h->regCalls_++;
        return h;
    }
    // A wrong handle: charge it to every live host so the test notices.
    for (SpoolHost* any : g_hosts) {
        any->regCalls_++;
        any->regBadSpooler_++;
    }
    return nullptr;
}

// The spooler's registry operations work on the monitor's key whatever
// handle value they are given; here the handles are real HKEYs.
LONG WINAPI RegCreate(HANDLE hcKey, LPCWSTR pszSubKey, DWORD dwOptions, REGSAM samDesired,
                      PSECURITY_ATTRIBUTES pSecurityAttributes, PHANDLE phckResult, PDWORD pdwDisposition,
                      HANDLE hSpooler) {
    SpoolHost* host = HostOf(hSpooler);
    LONG r = RegCreateKeyExW(static_cast<HKEY>(hcKey), pszSubKey, 0, nullptr, dwOptions, samDesired,
                             pSecurityAttributes, reinterpret_cast<PHKEY>(phckResult), pdwDisposition);
    if (r == ERROR_SUCCESS && host) host->regOpened_++;
    return r;
}

LONG WINAPI RegOpen(HANDLE hcKey, LPCWSTR pszSubKey, REGSAM samDesired, PHANDLE phkResult, HANDLE hSpooler) {
    SpoolHost* host = HostOf(hSpooler);
    LONG r = RegOpenKeyExW(static_cast<HKEY>(hcKey), pszSubKey, 0, samDesired, reinterpret_cast<PHKEY>(phkResult));
    if (r == ERROR_SUCCESS && host) host->regOpened_++;
    return r;
}

LONG WINAPI RegClose(HANDLE hcKey, HANDLE hSpooler) {
    SpoolHost* host = HostOf(hSpooler);
    LONG r = RegCloseKey(static_cast<HKEY>(hcKey));
    if (r == ERROR_SUCCESS && host) host->regClosed_++;
    return r;
}

LONG WINAPI RegDelete(HANDLE hcKey, LPCWSTR pszSubKey, HANDLE hSpooler) {
    HostOf(hSpooler);
    return RegDeleteKeyW(static_cast<HKEY>(hcKey), pszSubKey);
}

LONG WINAPI RegEnumKeyOp(HANDLE hcKey, DWORD dwIndex, LPWSTR pszName, PDWORD pcchName, PFILETIME pftLastWriteTime,
                         HANDLE hSpooler) {
    HostOf(hSpooler);
    return RegEnumKeyExW(static_cast<HKEY>(hcKey), dwIndex, pszName, pcchName, nullptr, nullptr, nullptr,
                         pftLastWriteTime);
}

// Lengths come back as RegQueryInfoKeyW gives them (characters, without the terminator).
LONG WINAPI RegQueryInfo(HANDLE hcKey, PDWORD pcSubKeys, PDWORD pcbKey, PDWORD pcValues, PDWORD pcbValue,
                         PDWORD pcbData, PDWORD pcbSecurityDescriptor, PFILETIME pftLastWriteTime, HANDLE hSpooler) {
    HostOf(hSpooler);
    return RegQueryInfoKeyW(static_cast<HKEY>(hcKey), nullptr, nullptr, nullptr, pcSubKeys, pcbKey, nullptr, pcValues,
                            pcbValue, pcbData, pcbSecurityDescriptor, pftLastWriteTime);
}

LONG WINAPI RegSet(HANDLE hcKey, LPCWSTR pszValue, DWORD dwType, const BYTE* pData, DWORD cbData, HANDLE hSpooler) {
    HostOf(hSpooler);
    return RegSetValueExW(static_cast<HKEY>(hcKey), pszValue, 0, dwType, pData, cbData);
}

LONG WINAPI RegDeleteVal(HANDLE hcKey, LPCWSTR pszValue, HANDLE hSpooler) {
    HostOf(hSpooler);
    return RegDeleteValueW(static_cast<HKEY>(hcKey), pszValue);
}

// pcbValue counts characters of the value name, as RegEnumValueW's.
LONG WINAPI RegEnumVal(HANDLE hcKey, DWORD dwIndex, LPWSTR pszValue, PDWORD pcbValue, PDWORD pType, PBYTE pData,
                       PDWORD pcbData, HANDLE hSpooler) {
    HostOf(hSpooler);
    return RegEnumValueW(static_cast<HKEY>(hcKey), dwIndex, pszValue, pcbValue, nullptr, pType, pData, pcbData);
}

LONG WINAPI RegQuery(HANDLE hcKey, LPCWSTR pszValue, PDWORD pType, PBYTE pData, PDWORD pcbData, HANDLE hSpooler) {
    HostOf(hSpooler);
    return RegQueryValueExW(static_cast<HKEY>(hcKey), pszValue, nullptr, pType, pData, pcbData);
}

// A non-null value the port monitor receives as its monitor handle.
HANDLE const kMonitorPortHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x504D4D48));

}  // namespace

SpoolHost::SpoolHost() {
    std::lock_guard<std::mutex> lock(g_hostsLock);
    g_hosts.insert(this);
}

SpoolHost::~SpoolHost() {
    Unload();
    if (hKey_) RegCloseKey(hKey_);
    std::lock_guard<std::mutex> lock(g_hostsLock);
    g_hosts.erase(this);
}

std::wstring SpoolHost::BesideExe(const wchar_t* fileName) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    size_t slash = dir.find_last_of(L"\\/");
    dir = slash == std::wstring::npos ? L"" : dir.substr(0, slash + 1);
    return dir + fileName;
}

bool SpoolHost::Load(const std::wstring& dllPath) {
    if (hModule_) return true;
    std::wstring path = dllPath.empty() ? BesideExe(L"vjlmon.dll") : dllPath;
    hModule_ = LoadLibraryW(path.c_str());
    if (!hModule_) return false;
    pInit_ = reinterpret_cast<decltype(pInit_)>(
        reinterpret_cast<void*>(GetProcAddress(hModule_, "InitializePrintMonitor2")));
    if (!pInit_) {
        DWORD err = GetLastError();
        FreeLibrary(hModule_);
        hModule_ = nullptr;
        SetLastError(err);
        return false;
    }
    return true;
}

void SpoolHost::Unload() {
    Shutdown();
    if (hModule_) FreeLibrary(hModule_);
    hModule_ = nullptr;
    pInit_ = nullptr;
    table_ = nullptr;
    hMonitor_ = nullptr;
    shutDown_ = false;
}

MONITOR2* SpoolHost::Initialize(const SpoolHostOptions& o) {
    if (!pInit_) {
        SetLastError(ERROR_DLL_NOT_FOUND);
        return nullptr;
    }
    if (!PrepareInit(o)) return nullptr;
    hMonitor_ = nullptr;
    shutDown_ = false;
    table_ = pInit_(&init_, &hMonitor_);
    return table_;
}

bool SpoolHost::PrepareInit(const SpoolHostOptions& o) {
    if (hKey_) RegCloseKey(hKey_);
    hKey_ = nullptr;
    LONG r = RegCreateKeyExW(o.regRoot, o.regPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey_, nullptr);
    if (r != ERROR_SUCCESS) {
        SetLastError(r);
        return false;
    }
    if (o.clearKey) ClearRegKey();

    reg_ = MONITORREG{};
    reg_.cbSize = sizeof(MONITORREG);
    reg_.fpCreateKey = RegCreate;
    reg_.fpOpenKey = RegOpen;
    reg_.fpCloseKey = RegClose;
    reg_.fpDeleteKey = RegDelete;
    reg_.fpEnumKey = RegEnumKeyOp;
    reg_.fpQueryInfoKey = RegQueryInfo;
    reg_.fpSetValue = RegSet;
    reg_.fpDeleteValue = RegDeleteVal;
    reg_.fpEnumValue = RegEnumVal;
    reg_.fpQueryValue = RegQuery;

    init_ = MONITORINIT{};
    init_.cbSize = sizeof(MONITORINIT);
    init_.hSpooler = o.nullSpooler ? nullptr : SpoolerHandle();
    init_.hckRegistryRoot = o.nullRegistryRoot ? nullptr : reinterpret_cast<HKEYMONITOR>(hKey_);
    init_.pMonitorReg = o.nullMonitorReg ? nullptr : &reg_;
    init_.bLocal = o.bLocal;
    init_.pszServerName = nullptr;
    return true;
}

void SpoolHost::Shutdown() {
    if (table_ && !shutDown_ && table_->pfnShutdown) table_->pfnShutdown(hMonitor_);
    shutDown_ = true;
}

LONG SpoolHost::SetRegDword(const wchar_t* name, DWORD value) {
    return RegSetValueExW(hKey_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG SpoolHost::SetRegString(const wchar_t* name, const wchar_t* value) {
    return RegSetValueExW(hKey_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          (DWORD)((wcslen(value) + 1) * sizeof(wchar_t)));
}

LONG SpoolHost::DeleteRegValue(const wchar_t* name) { return RegDeleteValueW(hKey_, name); }

LONG SpoolHost::ClearRegKey() {
    if (!hKey_) return ERROR_INVALID_HANDLE;
    // RegDeleteTreeW with a null subkey empties the key and keeps it.
    return RegDeleteTreeW(hKey_, nullptr);
}

SpoolHostRegStats SpoolHost::RegStats() const {
    SpoolHostRegStats s;
    s.calls = regCalls_;
    s.keysOpened = regOpened_;
    s.keysClosed = regClosed_;
    s.badSpooler = regBadSpooler_;
    return s;
}

BOOL SpoolHost::OpenPort(const wchar_t* portName, const wchar_t* printerName, HANDLE* phPort, MONITOR2* portMonitor) {
    if (!table_ || !table_->pfnOpenPortEx) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!portMonitor) portMonitor = PmDouble_Table();
    return table_->pfnOpenPortEx(hMonitor_, kMonitorPortHandle, const_cast<LPWSTR>(portName),
                                 const_cast<LPWSTR>(printerName), phPort, portMonitor);
}

BOOL SpoolHost::StartDoc(HANDLE hPort, const wchar_t* printerName, DWORD jobId, const wchar_t* docName,
                         const wchar_t* datatype) {
    DOC_INFO_1W di{};
    di.pDocName = const_cast<LPWSTR>(docName);
    di.pOutputFile = nullptr;
    di.pDatatype = const_cast<LPWSTR>(datatype);
    return StartDocRaw(hPort, printerName, jobId, 1, &di);
}

BOOL SpoolHost::StartDocRaw(HANDLE hPort, const wchar_t* printerName, DWORD jobId, DWORD level, void* docInfo) {
    return table_->pfnStartDocPort(hPort, const_cast<LPWSTR>(printerName), jobId, level,
                                   static_cast<LPBYTE>(docInfo));
}

BOOL SpoolHost::Write(HANDLE hPort, const void* data, DWORD cb, DWORD* pcbWritten) {
    DWORD dummy = 0;
    return table_->pfnWritePort(hPort, static_cast<LPBYTE>(const_cast<void*>(data)), cb,
                                pcbWritten ? pcbWritten : &dummy);
}

BOOL SpoolHost::WriteAll(HANDLE hPort, const std::string& data, DWORD chunk) {
    size_t off = 0;
    int stalls = 0;
    while (off < data.size()) {
        DWORD n = (DWORD)std::min<size_t>(chunk ? chunk : data.size(), data.size() - off);
        DWORD written = 0;
        if (!Write(hPort, data.data() + off, n, &written)) return FALSE;
        // A port that keeps accepting nothing would loop forever.
        if (written == 0 && ++stalls > 1000) {
            SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
        if (written) stalls = 0;
        off += written;
    }
    return TRUE;
}

BOOL SpoolHost::Read(HANDLE hPort, void* buffer, DWORD cb, DWORD* pcbRead) {
    DWORD dummy = 0;
    return table_->pfnReadPort(hPort, static_cast<LPBYTE>(buffer), cb, pcbRead ? pcbRead : &dummy);
}

BOOL SpoolHost::EndDoc(HANDLE hPort) { return table_->pfnEndDocPort(hPort); }

BOOL SpoolHost::ClosePort(HANDLE hPort) { return table_->pfnClosePort(hPort); }

BOOL SpoolHost::GetPrinterData(HANDLE hPort, DWORD controlId, const wchar_t* valueName, const void* in, DWORD cbIn,
                               void* out, DWORD cbOut, DWORD* pcbReturned) {
    if (!table_->pfnGetPrinterDataFromPort) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    DWORD dummy = 0;
    return table_->pfnGetPrinterDataFromPort(hPort, controlId, const_cast<LPWSTR>(valueName),
                                             static_cast<LPWSTR>(const_cast<void*>(in)), cbIn,
                                             static_cast<LPWSTR>(out), cbOut, pcbReturned ? pcbReturned : &dummy);
}

BOOL SpoolHost::PrintJob(HANDLE hPort, const wchar_t* printerName, DWORD jobId, const wchar_t* docName,
                         const std::string& data, DWORD chunk) {
    if (!StartDoc(hPort, printerName, jobId, docName)) return FALSE;
    BOOL ok = WriteAll(hPort, data, chunk);
    DWORD err = GetLastError();
    BOOL ended = EndDoc(hPort);
    if (!ok) {
        SetLastError(err);
        return FALSE;
    }
    return ended;
}

void SpoolHostRunConcurrently(const std::vector<std::function<void()>>& fns) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> threads;
    for (const auto& fn : fns)
        threads.emplace_back([go, &fn] {
            WaitForSingleObject(go, INFINITE);
            fn();
        });
    SetEvent(go);
    for (auto& t : threads) t.join();
    CloseHandle(go);
}
