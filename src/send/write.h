// Writes to the port monitor, each behind the write path's device poll: the
// spooler's job data and the monitor's own sends with the pending buffer.
#pragma once
#include "core/portctx.h"

BOOL PMWritePort(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten);
BOOL PMSendData(PortContext* ctx, const BYTE* pBuf, DWORD cb, DWORD* pcbWritten);
