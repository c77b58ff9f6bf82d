// Library entry: the monitor table handed to the spooler, process attach
// and detach, InitializePrintMonitor2 and Shutdown.
#include "core/globals.h"
#include "core/portctx.h"
#include "monitor/entry.h"
#include "monitor/port.h"
#include "jobpath/docport.h"
#include "queries/getdata.h"
#include "service/pjmservice.h"
#include "state/binding.h"
#include "state/iconstate.h"
#include "status/interpret.h"
#include "threads/notify.h"

#include <cstring>

static MONITOR2 MakeMonitorTable() {
    MONITOR2 t{};
    t.cbSize = kMonitor2Size;
    t.pfnOpenPortEx = PJLMonOpenPortEx;
    t.pfnStartDocPort = PJLMonStartDocPort;
    t.pfnWritePort = PJLMonWritePort;
    t.pfnReadPort = PJLMonReadPort;
    t.pfnEndDocPort = PJLMonEndDocPort;
    t.pfnClosePort = PJLMonClosePort;
    t.pfnGetPrinterDataFromPort = PJLMonGetPrinterDataFromPort;
    t.pfnShutdown = Shutdown;
    return t;
}
const MONITOR2 MonitorTable = MakeMonitorTable();

void MonitorProcessAttach(HMODULE hMod) {
    hHeap = HeapCreate(0, 32768, 0);
    InitializeCriticalSection(&csGlobal);
    hModule = hMod;
    // The steps of lower layers that belong to layers above them.
    SetPortContextFree(FreePortContext);
    SetNotifyThreadCalls({StartSRMNotifyThread, ForgetNotifyBinding});
    SetIconStateStep(SetIconState);
}

void MonitorProcessDetach() {
    DeleteCriticalSection(&csGlobal);
    if (hHeap) {
        HeapDestroy(hHeap);
        hHeap = nullptr;
    }
}

extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT pMonitorInit, PHANDLE phMonitor) {
    if (!pMonitorInit || !pMonitorInit->hSpooler || !pMonitorInit->hckRegistryRoot || !pMonitorInit->pMonitorReg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto** block = static_cast<PMONITORINIT*>(MemAlloc(8));
    if (!block) return nullptr;
    hMonitor = block;

    OSVERSIONINFOW vi{};
    vi.dwOSVersionInfoSize = sizeof(vi);  // 276
    if (GetVersionExW(&vi)) {
        dwOSMajor = vi.dwMajorVersion;
        dwOSMinor = vi.dwMinorVersion;
    }
    *block = pMonitorInit;
    dwDoneJobMask = IsWinXPOrLater() ? 0x1195 : 0x195;

    szEventLogFolder[0] = '\0';
    if (!GetPJMServiceValue("EventLogFolder", szEventLogFolder, sizeof(szEventLogFolder)))
        szEventLogFolder[0] = '\0';
    szEventLogFolder[sizeof(szEventLogFolder) - 1] = '\0';
    size_t len = strlen(szEventLogFolder);
    if ((len == 0 || szEventLogFolder[len - 1] != '\\') && len + 1 < sizeof(szEventLogFolder)) {
        szEventLogFolder[len] = '\\';
        szEventLogFolder[len + 1] = '\0';
    }
    wsprintfA(szDebugLogPath, "%s%s", szEventLogFolder, "VhPJMLVTL7700.log");

    BOOL debug = FALSE;
    IsPJMDebugMode(&debug);
    bDebugMode = debug;
    if (bDebugMode)
        WriteEventLog("VEK Tessaroline 7700 LanguageMonitor - Debug mode start.",
                      "VEK Tessaroline 7700 LanguageMonitor", 1);
    InitializeCriticalSection(&csDebugLog);
    PJMServiceLinkStart();

    if (phMonitor) *phMonitor = hMonitor;
    return const_cast<LPMONITOR2>(&MonitorTable);
}

VOID WINAPI Shutdown(HANDLE hMon) {
    PJMServiceLinkStop();
    MemFree(hMon);
    if (hMon == hMonitor) hMonitor = nullptr;
}
