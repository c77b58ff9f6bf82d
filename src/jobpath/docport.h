// The spooler's document calls on an open port.
#pragma once
#include "core/portctx.h"

BOOL WINAPI PJLMonStartDocPort(HANDLE hPort, LPWSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);
BOOL WINAPI PJLMonWritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
BOOL WINAPI PJLMonReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
BOOL WINAPI PJLMonEndDocPort(HANDLE hPort);

BOOL WriteTailHold(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten);
BOOL WritePlain(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten);
BOOL WriteChunk(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten);

BOOL GetSpoolerJobStatus(HANDLE hPrinter, DWORD jobId, DWORD* pStatus);
DWORD CountWaitingJobs(PortContext* ctx);
// A DWORD value of the monitor's own registry key, through the spooler's
// registry operations; false when absent.
bool ReadMonitorRegDword(const wchar_t* name, DWORD* out);
