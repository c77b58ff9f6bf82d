// Link to the job management service: its registry values and event log.
#pragma once
#include "monitor/portctx.h"

BOOL GetPJMServiceValue(const char* name, void* buffer, DWORD size);
BOOL IsPJMDebugMode(BOOL* flag);
BOOL WriteEventLog(const char* message, const char* source, DWORD type);

BOOL IsPJMServiceInstalled(PortContext* ctx);
BOOL VHStartDoc(HANDLE hPrinter, DWORD jobId, const wchar_t* portName);
void VHEndDoc(const wchar_t* portName, DWORD jobId);
