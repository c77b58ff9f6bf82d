// The library entry: what the spooler and DllMain call first.
#pragma once
#include "core/globals.h"

// The monitor table handed to the spooler.
extern const MONITOR2 MonitorTable;

// Library entry work, split from DllMain so white-box tests can run it.
void MonitorProcessAttach(HMODULE hMod);
void MonitorProcessDetach();

extern "C" LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT pMonitorInit, PHANDLE phMonitor);
VOID WINAPI Shutdown(HANDLE hMon);
