// Link to the job management service: the hand-over of jobs at their start
// and end, its registry values, its event log and the debug log.
#pragma once
#include "core/portctx.h"

// Event log entry types.
constexpr DWORD kEventMessage = 1;
constexpr DWORD kEventWarning = 2;
constexpr DWORD kEventError = 3;

// The source the monitor names in its event log entries.
constexpr char kEventSourceName[] = "VEK Tessaroline 7700 LanguageMonitor";

// Window messages posted to the service.
constexpr UINT kPJMMsgEndDoc = 0x8002;
constexpr UINT kPJMMsgRestart = 0x8004;

BOOL GetPJMServiceValue(const char* name, void* buffer, DWORD size);
BOOL IsPJMDebugMode(BOOL* flag);
BOOL WriteEventLog(const char* message, const char* source, DWORD type);
// Arguments are 32-bit numbers, or texts for "%s" (char) and "%S" (wchar_t).
void WriteDebugLog(const char* format, ULONG_PTR a1 = 0, ULONG_PTR a2 = 0, ULONG_PTR a3 = 0);
BOOL PostToPJMService(UINT message, WPARAM wParam, LPARAM lParam);

BOOL IsPJMServiceInstalled(PortContext* ctx);
// ctx, when given, ends the waits for the service as soon as the port is
// closing; a monitor shutdown ends them in any case. Either way the job may
// not print now, yet it stays the spooler's: *interrupted is set, and nothing
// is deleted or recorded as cancelled.
BOOL VHStartDoc(HANDLE hPrinter, DWORD jobId, const wchar_t* portName, PortContext* ctx = nullptr,
                BOOL* interrupted = nullptr);
void VHEndDoc(const wchar_t* portName, DWORD jobId);

// Monitor start and Shutdown: a shut-down monitor ends every wait for the
// service at once.
void PJMServiceLinkStart();
void PJMServiceLinkStop();
