// Link to the job management service: its registry values and event log.
#pragma once
#include "monitor/globals.h"

BOOL GetPJMServiceValue(const char* name, void* buffer, DWORD size);
BOOL IsPJMDebugMode(BOOL* flag);
BOOL WriteEventLog(const char* message, const char* source, DWORD type);
