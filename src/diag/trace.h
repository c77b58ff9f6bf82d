// Per-port trace files: settings from VEKLMLOG.INI, time-stamped and raw
// writers and rotation by size.
#pragma once
#include "core/portctx.h"

// Mask bits the callers test before writing.
constexpr DWORD TRC_REFRESH   = 0x2;
constexpr DWORD TRC_PMERROR   = 0x4;
constexpr DWORD TRC_WRITE     = 0x1000;
constexpr DWORD TRC_GETDATA   = 0x2000;
constexpr DWORD TRC_DEVICE    = 0x10000;
constexpr DWORD TRC_JOB       = 0x20000;

constexpr DWORD TRACE_NO_LIMIT = 0xF0F0F0F0;

BOOL ReadTraceSettings(PortContext* ctx);
void ResetTraceSettings(PortContext* ctx);   // back to "off", texts freed
void TraceWrite(PortContext* ctx, const char* text);
BOOL TraceWriteRaw(PortContext* ctx, const char* text);
void CleanFileName(wchar_t* name);

// printf-style front ends; the caller still tests bTraceOn and its mask bit.
void TraceF(PortContext* ctx, const char* fmt, ...);
void TraceRawF(PortContext* ctx, const char* fmt, ...);

inline bool TraceOn(const PortContext* ctx) { return ctx && ctx->bTraceOn; }
inline bool TraceOn(const PortContext* ctx, DWORD bit) { return ctx && ctx->bTraceOn && (ctx->dwTraceMask & bit); }
