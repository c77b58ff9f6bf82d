#include "core/settings.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr REGSAM kReadAccess = 0x20019;
constexpr REGSAM kFullAccess = 0xF003F;

// Reads a 32-bit number; a value of another type counts as missing.
bool ReadDword(HKEY key, const char* name, DWORD* out) {
    DWORD value = 0, cb = 4, type = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &cb);
    if (rc != ERROR_SUCCESS || type != REG_DWORD || cb != 4) return false;
    *out = value;
    return true;
}

DWORD Bound(DWORD v, DWORD lo, DWORD hi) { return v < lo ? lo : v > hi ? hi : v; }

// The driver of a spooler printer, by the printer's name.
bool ReadPrinterDriver(const char* printerName, char* driver, DWORD cb) {
    char path[600];
    snprintf(path, sizeof(path), "%s\\%s", kSpoolerPrintersKey, printerName);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, kFullAccess, &key) != ERROR_SUCCESS) return false;
    DWORD size = cb - 1;
    LONG rc = RegQueryValueExA(key, "Printer Driver", nullptr, nullptr, reinterpret_cast<BYTE*>(driver), &size);
    RegCloseKey(key);
    driver[cb - 1] = '\0';
    return rc == ERROR_SUCCESS;
}

// Reads the value named after the printer's driver under keyPath; false
// also when it is not of type `want`.
bool ReadDriverKeyedValue(const char* printerName, const char* keyPath, DWORD want, void* out, DWORD* cb) {
    if (!printerName || !*printerName) return false;
    char driver[261] = {};
    if (!ReadPrinterDriver(printerName, driver, sizeof(driver))) return false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, kFullAccess, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    LONG rc = RegQueryValueExA(key, driver, nullptr, &type, static_cast<BYTE*>(out), cb);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS && type == want;
}

}  // namespace

BOOL ReadPollingSettings(PortContext* ctx) {
    DWORD variable = 0, polling = 3000, devId = 1, snmpInt = 10, pwoff = 2, step = 0;
    BOOL result = FALSE;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPollingKey, 0, kReadAccess, &key) == ERROR_SUCCESS) {
        step = 1;
        DWORD v;
        if (ReadDword(key, "LMMode", &v)) {
            step += 1;
            result = TRUE;
            if (v == 1) {
                variable = 1;
                step += 2;
                if (ReadDword(key, "PollingIntervals", &v)) {
                    polling = Bound(v, 1000, 10000);
                    step += 1;
                }
                devId = ReadDword(key, "CheckDID", &v) ? Bound(v, 1, 10) : 1;
            }
        }
        if (ReadDword(key, "OIDIntervals", &v)) snmpInt = Bound(v, 10, 100);
        if (ReadDword(key, "MaxPWOFF", &v)) pwoff = Bound(v, 1, 20);
        RegCloseKey(key);
    }
    ctx->bVariablePolling = variable;
    ctx->dwPollingIntervals = polling;
    ctx->dwDevIDLevel = devId;
    ctx->dwSNMPIntervals = snmpInt;
    ctx->dwSNMP_PWOFF = pwoff;
    ctx->dwRegStep = step;
    return result;
}

int ReadCommunity(const char* printerName, char out[32], DWORD* pLen) {
    strcpy(out, "ravine");
    if (pLen) *pLen = static_cast<DWORD>(strlen(out));
    char value[33] = {};
    DWORD cb = 32;
    if (!ReadDriverKeyedValue(printerName, kCommunityKey, REG_SZ, value, &cb)) return -1;
    value[31] = '\0';  // at most 31 characters
    memcpy(out, value, 32);
    if (pLen) *pLen = static_cast<DWORD>(strlen(out));
    return 0;
}

int ReadClosePortTimeout(const char* printerName, DWORD* pTimeout) {
    *pTimeout = kDefaultClosePortTimeout;
    DWORD value = 0, cb = 4;
    if (!ReadDriverKeyedValue(printerName, kClosePortTimeoutKey, REG_DWORD, &value, &cb)) return -1;
    *pTimeout = Bound(value, kDefaultClosePortTimeout, kMaxClosePortTimeout);
    return 0;
}

BOOL ReadPortMode(PortContext* ctx) {
    DWORD mode = 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPortModeKey, 0, kReadAccess, &key) == ERROR_SUCCESS) {
        if (!ReadDword(key, "MyPortMode", &mode)) mode = 0;
        RegCloseKey(key);
    }
    if (mode) {
        ctx->PortMode = mode;
        return TRUE;
    }
    if (ctx->PortMode) return FALSE;
    ctx->PortMode = 1;
    return TRUE;
}
