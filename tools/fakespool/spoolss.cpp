// The spoolss.dll double: the print-provider helpers a monitor imports from
// spoolss.dll. The state (call counts, armed failures) lives in the test
// spooler, so one control interface covers both modules.
#include <windows.h>

#include "fakespool.h"

extern "C" {

BOOL WINAPI ImpersonatePrinterClient(HANDLE hToken) { return FakeSpool_NoteImpersonate(hToken); }

HANDLE WINAPI RevertToPrinterSelf(void) { return FakeSpool_NoteRevert(); }

}  // extern "C"
