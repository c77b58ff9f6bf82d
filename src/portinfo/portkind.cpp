#include "portinfo/portkind.h"

#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

bool PrefixNoCase(const wchar_t* s, const wchar_t* prefix) {
    for (; *prefix; ++s, ++prefix)
        if (!*s || towupper(*s) != towupper(*prefix)) return false;
    return true;
}

// "LPTn"/"COMn" with n from 1 to 9.
bool IsNumberedPort(const wchar_t* name, const wchar_t* prefix) {
    if (!name || wcslen(name) < 4 || !PrefixNoCase(name, prefix)) return false;
    return name[3] >= L'1' && name[3] <= L'9';
}

// Looks the port up among the subkeys of a port monitor's "Ports" key,
// comparing both names in the ANSI code page.
bool PortKeyExists(const char* keyPath, const wchar_t* portName) {
    char* portA = WideToAnsiDup(portName);
    if (!portA) return false;
    HeapBlock holdPort(portA);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    size_t portLen = strlen(portA);
    bool found = false;
    wchar_t sub[1025];
    for (DWORD i = 0; !found; ++i) {
        DWORD cch = 1025;
        if (RegEnumKeyExW(key, i, sub, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        char* subA = WideToAnsiDup(sub);
        if (!subA) continue;
        found = strlen(subA) == portLen && memcmp(subA, portA, portLen) == 0;
        MemFree(subA);
    }
    RegCloseKey(key);
    return found;
}

// EnumPortsW level 2 into a zeroed heap buffer; null when it fails.
PORT_INFO_2W* EnumPorts2(DWORD cbFirstGuess, DWORD* pCount, bool retry) {
    DWORD needed = 0, count = 0;
    BOOL ok = EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
    if (retry && (ok || GetLastError() != ERROR_INSUFFICIENT_BUFFER)) {
        Sleep(300);
        ok = EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
    }
    DWORD cb = (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) ? needed : cbFirstGuess;
    if (cb == 0) cb = cbFirstGuess;
    for (int attempt = 0; attempt < (retry ? 2 : 1); ++attempt) {
        auto* buf = static_cast<PORT_INFO_2W*>(MemAlloc(cb));
        if (!buf) return nullptr;
        if (EnumPortsW(nullptr, 2, reinterpret_cast<BYTE*>(buf), cb, &needed, &count)) {
            *pCount = count;
            return buf;
        }
        MemFree(buf);
        if (retry) Sleep(300);
    }
    return nullptr;
}

}  // namespace

BOOL IsLptPort(const wchar_t* name) { return IsNumberedPort(name, L"LPT") ? TRUE : FALSE; }
BOOL IsComPort(const wchar_t* name) { return IsNumberedPort(name, L"COM") ? TRUE : FALSE; }

BOOL IsUsbPort(const wchar_t* name) {
    if (!name) return FALSE;
    if (PrefixNoCase(name, L"VEKUSB")) return TRUE;
    if (wcslen(name) < 6 || !PrefixNoCase(name, L"USB")) return FALSE;
    unsigned n = 0;
    for (const wchar_t* p = name + 3; *p >= L'0' && *p <= L'9'; ++p) {
        n = n * 10 + static_cast<unsigned>(*p - L'0');
        if (n > 128) return FALSE;
    }
    return n >= 1 && n <= 128 ? TRUE : FALSE;
}

BOOL IsTcpMonPort(const wchar_t* name) {
    if (!name) return FALSE;
    if (!IsVistaOrLater()) return PortKeyExists(kTcpMonPortsKey, name) ? TRUE : FALSE;
    DWORD count = 0;
    PORT_INFO_2W* ports = EnumPorts2(0, &count, false);
    if (!ports) return FALSE;
    BOOL found = FALSE;
    for (DWORD i = 0; i < count && !found; ++i) {
        const PORT_INFO_2W& p = ports[i];
        if (p.pMonitorName && p.pPortName && _wcsnicmp(p.pMonitorName, L"TCPMON.DLL", 10) == 0 &&
            wcscmp(p.pPortName, name) == 0)
            found = TRUE;
    }
    MemFree(ports);
    return found;
}

BOOL IsDpuPort(const wchar_t* name) { return name && PortKeyExists(kDpuPortsKey, name) ? TRUE : FALSE; }

BOOL CheckPortType(PortContext* ctx, BOOL wantZero) {
    DWORD count = 0;
    PORT_INFO_2W* ports = EnumPorts2(3072, &count, true);
    if (!ports) return FALSE;
    BOOL result = TRUE;  // a port the spooler does not list counts as local
    for (DWORD i = 0; i < count; ++i) {
        if (!ports[i].pPortName || wcscmp(ports[i].pPortName, ctx->pszPortName) != 0) continue;
        DWORD type = ports[i].fPortType;
        result = wantZero ? (type == 0) : (type == PORT_TYPE_WRITE);
        break;
    }
    MemFree(ports);
    return result;
}

void GetPortKind(PortContext* ctx) {
    const wchar_t* name = ctx->pszPortName;
    ctx->dwPortStatus = PORTKIND_BASE;
    if (IsTcpMonPort(name)) {
        ctx->dwPortStatus |= PORTKIND_TCPMON | PORTKIND_TCPIP;
        return;
    }
    if (IsDpuPort(name)) {
        ctx->dwPortStatus |= PORTKIND_DPU | PORTKIND_TCPIP;
        return;
    }
    if (IsUsbPort(name) && (IsVistaOrLater() || CheckPortType(ctx, TRUE))) {
        ctx->dwPortStatus |= PORTKIND_LOCAL;
        return;
    }
    if (IsLptPort(name) && (IsVistaOrLater() || CheckPortType(ctx, FALSE))) {
        wchar_t remote[512];
        DWORD cch = 512;
        if (WNetGetConnectionW(name, remote, &cch) == NO_ERROR)
            ctx->dwPortStatus |= PORTKIND_NETWORK;
        else
            ctx->dwPortStatus = PORTKIND_BASE | PORTKIND_LOCAL;
        return;
    }
    if (IsComPort(name)) {
        ctx->dwPortStatus |= PORTKIND_COM;
        return;
    }
    // \\server\share: two backslashes, something, exactly one more backslash.
    bool share = false;
    if (name && name[0] == L'\\' && name[1] == L'\\' && name[2]) {
        int more = 0;
        for (const wchar_t* p = name + 2; *p; ++p)
            if (*p == L'\\') ++more;
        share = more == 1;
    }
    ctx->dwPortStatus |= share ? PORTKIND_NETWORK : PORTKIND_OTHER;
}

BOOL AllocSnmpBuffers(PortContext* ctx) {
    if (ctx->szPrinterAddress && ctx->szOidText && ctx->szMibText) return TRUE;
    FreeSnmpBuffers(ctx);
    ctx->szPrinterAddress = static_cast<char*>(MemAlloc(256));
    ctx->szOidText = static_cast<char*>(MemAlloc(256));
    ctx->szMibText = static_cast<char*>(MemAlloc(256));
    if (ctx->szPrinterAddress && ctx->szOidText && ctx->szMibText) return TRUE;
    FreeSnmpBuffers(ctx);
    return FALSE;
}

void FreeSnmpBuffers(PortContext* ctx) {
    MemFree(ctx->szPrinterAddress);
    MemFree(ctx->szOidText);
    MemFree(ctx->szMibText);
    ctx->szPrinterAddress = ctx->szOidText = ctx->szMibText = nullptr;
}

BOOL GetPrinterIPAddress(PortContext* ctx, const wchar_t* portName) {
    if (!ctx || !portName || !AllocSnmpBuffers(ctx)) return FALSE;
    char text[256] = {};
    if (IsVistaOrLater()) {
        wchar_t object[300];
        _snwprintf(object, 300, L",XcvPort %ls", portName);
        object[299] = L'\0';
        // Reading the address needs no more than the default access; asking
        // for administration fails for a spooler that runs without it.
        UniquePrinter xcv;
        if (!OpenPrinterW(object, xcv.put(), nullptr)) {
            xcv.release();
            return FALSE;
        }
        wchar_t out[130] = {};  // 260 bytes
        DWORD needed = 0, status = 0;
        BOOL ok = XcvDataW(xcv.get(), L"IPAddress", nullptr, 0, reinterpret_cast<BYTE*>(out), 260, &needed, &status);
        xcv.reset();
        if (!ok || status != ERROR_SUCCESS) return FALSE;
        out[129] = L'\0';
        if (WideCharToMultiByte(CP_ACP, 0, out, -1, text, sizeof(text), nullptr, nullptr) <= 0) text[0] = '\0';
    } else {
        HKEY ports, port;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kTcpMonPortsKey, 0, KEY_READ, &ports) != ERROR_SUCCESS) return FALSE;
        LONG rc = RegOpenKeyExW(ports, portName, 0, KEY_READ, &port);
        RegCloseKey(ports);
        if (rc != ERROR_SUCCESS) return FALSE;
        wchar_t value[129] = {};
        DWORD cb = 256;
        rc = RegQueryValueExW(port, L"IPAddress", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &cb);
        if (rc != ERROR_SUCCESS) {
            RegCloseKey(port);
            return FALSE;
        }
        value[128] = L'\0';
        WideCharToMultiByte(CP_ACP, 0, value, -1, text, sizeof(text), nullptr, nullptr);
        if (!text[0]) {
            wchar_t host[129] = {};
            cb = 256;
            if (RegQueryValueExW(port, L"HostName", nullptr, nullptr, reinterpret_cast<BYTE*>(host), &cb) ==
                ERROR_SUCCESS) {
                host[128] = L'\0';
                WideCharToMultiByte(CP_ACP, 0, host, -1, text, sizeof(text), nullptr, nullptr);
            }
        }
        RegCloseKey(port);
    }
    text[255] = '\0';
    // Other threads read the address while it is replaced: one copy of the
    // whole zero-padded buffer, never a moment with an empty address.
    memcpy(ctx->szPrinterAddress, text, sizeof(text));
    return TRUE;
}

BOOL SetReadTimeOuts(PortContext* ctx) {
    COMMTIMEOUTS cto{};
    cto.ReadIntervalTimeout = 10;
    bool lpt = IsLptPort(ctx->pszPortName);
    cto.ReadTotalTimeoutConstant = (lpt && (GetKeyboardType(1) & 0xD00) == 0xD00) ? 1001 : 100;
    if (!ctx->fn.pfnSetPortTimeOuts) return FALSE;
    ctx->fn.pfnSetPortTimeOuts(ctx->hPort, &cto, 0);
    return TRUE;
}
