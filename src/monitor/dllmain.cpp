// The library entry: nothing but the process-wide setup and teardown.
#include "monitor/entry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInst, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        MonitorProcessAttach(hInst);
        DisableThreadLibraryCalls(hInst);
    } else if (reason == DLL_PROCESS_DETACH) {
        MonitorProcessDetach();
    }
    return TRUE;
}
