// A Standard TCP/IP port opened through the DLL on a simulated printer of its
// own, with the printer's manager bound and polling at a short interval:
// where every end-to-end benchmark starts.
#pragma once
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "control.h"
#include "fakespool.h"
#include "pmdouble.h"
#include "spoolhost.h"
#include "spoolports.h"
#include "srmdouble.h"
#include "support/served_model.h"

class BenchLivePort {
public:
    BenchLivePort(const char* address, const char* printerName, DWORD intervalMs)
        : printer(address), keys{printerName}, polling(intervalMs),
          name(printerName, printerName + strlen(printerName)),
          port(L"IP_" + std::wstring(address, address + strlen(address))), address_(address) {}

    // Starts the printer and registers the port and the printer with the
    // doubles; says why on stderr when it cannot.
    bool Prepare() {
        if (!printer.Start({"--pending-ms", "0", "--page-ms", "10"})) {
            fprintf(stderr, "printer-sim: %s\n", printer.error.c_str());
            return false;
        }
        PmDouble_Reset();
        FakeSpool_Reset();
        SrmDouble_Reset();
        AddStandardTcpPort(port.c_str(), std::wstring(address_.begin(), address_.end()).c_str());
        PmDouble_SetPortTarget(port.c_str(), address_.c_str());
        FakeSpool_AddDriver(kServedDriver, kServedMonitorName);
        FakeSpool_AddPrinter(name.c_str(), kServedDriver, port.c_str(), PRINTER_ATTRIBUTE_ENABLE_BIDI, L"winprint", 0);
        return true;
    }
    // Opens the port through the DLL.
    bool Open() {
        if (host.Load() && host.Initialize() && host.OpenPort(port.c_str(), name.c_str(), &h)) return true;
        fprintf(stderr, "cannot open %ls through vjlmon.dll\n", port.c_str());
        return false;
    }
    void Close() {
        if (h) host.ClosePort(h);
        h = nullptr;
        host.Unload();
        printer.Stop();
    }
    // A suite query by value name; its answer word.
    DWORD Ask(const wchar_t* valueName) {
        DWORD answer = 0xAAAAAAAA, returned = 0;
        host.GetPrinterData(h, 0, valueName, nullptr, 0, &answer, sizeof(answer), &returned);
        return answer;
    }

    SimProcess printer;
    ServedModelKeys keys;
    ShortPolling polling;
    SpoolHost host;
    HANDLE h = nullptr;
    const std::wstring name, port;

private:
    std::string address_;
};
