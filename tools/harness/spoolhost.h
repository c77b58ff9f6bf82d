// Spooler host: loads the language monitor DLL and drives it the way the
// print spooler does, over the port monitor double (pmdouble.h) and a real
// registry key that stands for the monitor's own key.
//
//   SpoolHost host;
//   ASSERT_TRUE(host.Load());                       // vjlmon.dll beside the exe
//   ASSERT_NE(host.Initialize(), nullptr);          // InitializePrintMonitor2
//   HANDLE h;
//   ASSERT_TRUE(host.OpenPort(L"IP_127.0.0.5", L"VEK Tessaroline 7700 (LV)", &h));
//   host.PrintJob(h, L"VEK Tessaroline 7700 (LV)", 12, L"doc", data);
//   host.ClosePort(h);
//
// Port operations are thread-safe as far as the harness goes (it keeps no
// per-call state), so tests may call them from several threads.
#pragma once
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

struct SpoolHostOptions {
    // The monitor's own registry key (created when missing).
    HKEY regRoot = HKEY_CURRENT_USER;
    std::wstring regPath = L"Software\\VjlmonBench\\Monitor";
    bool clearKey = true;   // delete the key's values and subkeys first
    // For failure tests: hand these MONITORINIT members over as null.
    bool nullSpooler = false;
    bool nullRegistryRoot = false;
    bool nullMonitorReg = false;
    BOOL bLocal = TRUE;
};

// Counters of the MONITORREG operations the monitor made through the host.
struct SpoolHostRegStats {
    LONG calls = 0;           // every operation
    LONG keysOpened = 0;      // successful fpCreateKey / fpOpenKey
    LONG keysClosed = 0;      // successful fpCloseKey
    LONG badSpooler = 0;      // calls whose hSpooler was not the one passed in MONITORINIT
};

class SpoolHost {
public:
    SpoolHost();
    ~SpoolHost();   // Unload()
    SpoolHost(const SpoolHost&) = delete;
    SpoolHost& operator=(const SpoolHost&) = delete;

    // Path of a file beside the running executable.
    static std::wstring BesideExe(const wchar_t* fileName);

    // LoadLibraryW and GetProcAddress("InitializePrintMonitor2").
    // Empty path: vjlmon.dll beside the executable. false: see GetLastError.
    bool Load(const std::wstring& dllPath = L"");
    // Calls Shutdown if initialised (and not yet shut down), then FreeLibrary.
    // Ports must be closed first: the monitor's threads live in the DLL.
    void Unload();
    HMODULE Module() const { return hModule_; }

    // Opens the registry key and calls InitializePrintMonitor2 with a
    // MONITORINIT as the spooler builds it. Returns the monitor's table, or
    // null with the monitor's last error left in place.
    MONITOR2* Initialize(const SpoolHostOptions& options = SpoolHostOptions());
    // The first half of Initialize, without calling the monitor: opens (and
    // clears) the key and builds MONITORREG and MONITORINIT. false: see GetLastError.
    bool PrepareInit(const SpoolHostOptions& options = SpoolHostOptions());
    MONITOR2* Table() const { return table_; }
    HANDLE MonitorHandle() const { return hMonitor_; }
    const MONITORINIT& Init() const { return init_; }
    // The dummy hSpooler passed in MONITORINIT.
    HANDLE SpoolerHandle() const { return reinterpret_cast<HANDLE>(const_cast<SpoolHost*>(this)); }
    // Calls the table's pfnShutdown once.
    void Shutdown();

    // ---- The monitor's own registry key -------------------------------------
    HKEY RegKey() const { return hKey_; }
    LONG SetRegDword(const wchar_t* name, DWORD value);
    LONG SetRegString(const wchar_t* name, const wchar_t* value);
    LONG DeleteRegValue(const wchar_t* name);
    LONG ClearRegKey();   // values and subkeys
    SpoolHostRegStats RegStats() const;
    const MONITORREG& RegOps() const { return reg_; }

    // ---- Port operations, as the spooler calls them ------------------------
    // pfnOpenPortEx with the port monitor's table (default: the double's) and
    // a non-null monitor-port handle for the port monitor.
    BOOL OpenPort(const wchar_t* portName, const wchar_t* printerName, HANDLE* phPort, MONITOR2* portMonitor = nullptr);
    // pfnStartDocPort, level 1, DOC_INFO_1W {docName, null, datatype}.
    BOOL StartDoc(HANDLE hPort, const wchar_t* printerName, DWORD jobId, const wchar_t* docName = L"Document",
                  const wchar_t* datatype = L"RAW");
    // pfnStartDocPort with any level and record (or none).
    BOOL StartDocRaw(HANDLE hPort, const wchar_t* printerName, DWORD jobId, DWORD level, void* docInfo);
    BOOL Write(HANDLE hPort, const void* data, DWORD cb, DWORD* pcbWritten);
    // Writes everything, in chunks of at most `chunk` bytes, retrying the
    // rest of a short write as the spooler does; false on the first failure.
    BOOL WriteAll(HANDLE hPort, const std::string& data, DWORD chunk = 0x10000);
    BOOL Read(HANDLE hPort, void* buffer, DWORD cb, DWORD* pcbRead);
    BOOL EndDoc(HANDLE hPort);
    BOOL ClosePort(HANDLE hPort);
    BOOL GetPrinterData(HANDLE hPort, DWORD controlId, const wchar_t* valueName, const void* in, DWORD cbIn,
                        void* out, DWORD cbOut, DWORD* pcbReturned);
    // StartDoc, WriteAll, EndDoc. Stops at the first failing step (EndDoc is
    // still called after a failed write, as the spooler does).
    BOOL PrintJob(HANDLE hPort, const wchar_t* printerName, DWORD jobId, const wchar_t* docName,
                  const std::string& data, DWORD chunk = 0x10000);

private:
    HMODULE hModule_ = nullptr;
    LPMONITOR2(WINAPI* pInit_)(PMONITORINIT, PHANDLE) = nullptr;
    MONITOR2* table_ = nullptr;
    HANDLE hMonitor_ = nullptr;
    bool shutDown_ = false;
    HKEY hKey_ = nullptr;
    MONITORINIT init_{};
    MONITORREG reg_{};

public:
    // Used by the registry operations (they find the host through hSpooler).
    std::atomic<LONG> regCalls_{0}, regOpened_{0}, regClosed_{0}, regBadSpooler_{0};
};

// Runs every function on its own thread, released together, and waits for all.
void SpoolHostRunConcurrently(const std::vector<std::function<void()>>& fns);
