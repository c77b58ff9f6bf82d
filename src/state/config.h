// Paper bin and option configuration: the default contents the store puts
// into the configuration variables while the printer is not known, the
// option list editors, and the table of printer models this monitor serves.
#pragma once
#include "core/portctx.h"
#include "state/bintables.h"

struct StatusVariable;

// One row of the supported-model table; the table ends with a row whose
// short name is null and whose mask is 0.
struct SupportedModel {
    const char* pszShortName;
    DWORD cchShortName;
    const char* pszFullName;
    DWORD cchFullName;
    const wchar_t* pwszFullName;
    DWORD cchFullNameW;
    DWORD qwStatusMask[2];   // low half, high half
    DWORD dwExtra;
};
extern const SupportedModel kSupportedModels[];

// The mask of the one model served (low half, high half).
constexpr DWORD kSupportedMaskLow = 0x10000000;
constexpr DWORD kSupportedMaskHigh = 0x4;

// Two model masks meet when either half shares a bit with the same half.
inline bool ModelMasksMeet(const DWORD a[2], const DWORD b[2]) { return (a[0] & b[0]) || (a[1] & b[1]); }

BOOL AddOption(DWORD id, DWORD subId, DWORD value, PortContext* ctx);
BOOL RemoveOption(DWORD id, DWORD subId, PortContext* ctx);
BOOL SetDefaultBinConfig(PortContext* ctx, StatusVariable* row);
BOOL SetDefaultCurrentFeeder(PortContext* ctx, StatusVariable* row);
BOOL SetDefaultOptConfig(PortContext* ctx, StatusVariable* row);
