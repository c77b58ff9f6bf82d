// Calls into the port monitor beneath, with the corrections each
// transport needs, and the buffer of data the port monitor has not taken.
#pragma once
#include "core/portctx.h"

constexpr DWORD IOCTL_DEVICE_ID = 0x16000C;
constexpr DWORD IOCTL_PAR_SET_INFO = 0x160008;
constexpr DWORD IOCTL_PAR_QUERY_MODE = 0x160014;
constexpr DWORD IOCTL_PAR_SET_MODE = 0x160018;
constexpr DWORD IOCTL_PAR_QUERY_CAPS = 0x160024;
constexpr DWORD IOCTL_VEKUSB_DEVICE_ID = 0x220414;

// The monitor's own document, used for its own sends and reads.
extern DOC_INFO_3W OwnDocInfo;

BOOL PMStartDocPort(PortContext* ctx, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE pDocInfo);
BOOL PMReadPort(PortContext* ctx, BYTE* pBuf, DWORD cb, DWORD* pcbRead);
BOOL PMEndDocPort(PortContext* ctx);
BOOL PMGetPrinterDataFromPort(PortContext* ctx, DWORD controlId, LPWSTR valueName, const void* pIn, DWORD cbIn,
                              void* pOut, DWORD cbOut, DWORD* pcbReturned);
// A suite request's use of the port monitor's port, which a ClosePort on
// another thread closes: refused once the port is closing, and waited for
// by the close while it lasts.
class PortMonitorUse {
public:
    explicit PortMonitorUse(PortContext* ctx);
    ~PortMonitorUse();
    explicit operator bool() const { return ctx_ != nullptr; }
    PortMonitorUse(const PortMonitorUse&) = delete;
    PortMonitorUse& operator=(const PortMonitorUse&) = delete;

private:
    PortContext* ctx_ = nullptr;
};
// Waits (bounded) until no suite request uses the port monitor's port.
BOOL WaitPortMonitorUsers(PortContext* ctx, DWORD timeoutMs);
BOOL OpenOwnDocument(PortContext* ctx);

// The pending-data buffer: what the port monitor has not taken yet. Each
// takes the port lock; a discard while PMSendData writes from the buffer
// takes effect when that write returns.
BOOL AppendPending(PortContext* ctx, const BYTE* p, DWORD cb);
void DropPending(PortContext* ctx, DWORD cb);
void DiscardPending(PortContext* ctx);
