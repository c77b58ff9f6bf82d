// The device check: the entry points of the device status poll for the
// refresh and notification threads, the document calls and the write path,
// and the steps of the poll.
#pragma once
#include "core/portctx.h"

BOOL CheckDeviceId(PortContext* ctx);
// 1 when the check passed or none was made, 0 when the printer did not answer.
BOOL CheckDeviceIdOnWrite(PortContext* ctx);

// The MIB reads of one poll into ctx->Poll; 0 when the printer did not answer.
BOOL GetDeviceInfo_SNMP(PortContext* ctx, const char* community);
// 1 when text is the full name of a supported model; sets qwStatusMask.
BOOL CheckSupportedModel(PortContext* ctx, const char* text);
// Language bits of an interpreter description, 0 when it is not known.
DWORD GetLangFlag(const char* text);

// Pauses of the poll, in ms.
constexpr DWORD kDescrRetryPauseMs = 250;     // between system description attempts
constexpr DWORD kWritePollPauseMs = 200;      // before a write-path poll
constexpr DWORD kPowerOffJobBitMs = 100;      // JobStatus bit 0x4 shown on power-off
