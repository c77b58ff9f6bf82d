// What kind of port the monitor serves, and where its printer is.
#pragma once
#include "core/portctx.h"

constexpr DWORD PORTKIND_BASE    = 0x001;
constexpr DWORD PORTKIND_LOCAL   = 0x002;
constexpr DWORD PORTKIND_TCPIP   = 0x004;
constexpr DWORD PORTKIND_COM     = 0x010;
constexpr DWORD PORTKIND_OTHER   = 0x020;
constexpr DWORD PORTKIND_NETWORK = 0x040;
constexpr DWORD PORTKIND_DPU     = 0x080;
constexpr DWORD PORTKIND_TCPMON  = 0x100;

constexpr char kTcpMonPortsKey[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP Port\\Ports";
constexpr char kDpuPortsKey[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\VEK TCP/IP DPU Port\\Ports";

void GetPortKind(PortContext* ctx);
BOOL IsLptPort(const wchar_t* name);
BOOL IsComPort(const wchar_t* name);
BOOL IsUsbPort(const wchar_t* name);
BOOL IsTcpMonPort(const wchar_t* name);
BOOL IsDpuPort(const wchar_t* name);
BOOL CheckPortType(PortContext* ctx, BOOL wantZero);
BOOL GetPrinterIPAddress(PortContext* ctx, const wchar_t* portName);
BOOL SetReadTimeOuts(PortContext* ctx);

// The three 256-byte SNMP work buffers: all three or none.
BOOL AllocSnmpBuffers(PortContext* ctx);
void FreeSnmpBuffers(PortContext* ctx);
