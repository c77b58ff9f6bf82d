// Paper bin and option configuration: the readers of the printer's input and
// output tables and the builders of PrinterBinConfig, CurrentFeeder,
// PrinterOptConfig and EmulationInfo.
#include "diag/trace.h"
#include "portinfo/portkind.h"
#include "snmp/snmp.h"
#include "state/bintables.h"
#include "state/config.h"
#include "state/statusvar.h"
#include "status/devpoll.h"
#include "status/interpret.h"

#include <cstring>

namespace {

// prtInputTable columns, and prtOutputName.
constexpr char kInputName[] = "1.3.6.1.2.1.43.8.2.1.13";
constexpr char kInputMedia[] = "1.3.6.1.2.1.43.8.2.1.12";
constexpr char kInputDescription[] = "1.3.6.1.2.1.43.8.2.1.18";
constexpr char kInputLevel[] = "1.3.6.1.2.1.43.8.2.1.10";
constexpr char kInputSizeX[] = "1.3.6.1.2.1.43.8.2.1.5";
constexpr char kInputSizeY[] = "1.3.6.1.2.1.43.8.2.1.4";
constexpr char kOutputName[] = "1.3.6.1.2.1.43.9.2.1.7";
constexpr DWORD kOutputRows = 3;
constexpr char kStarLine[] = "***************************************\r\n";

// One get-next step of a walk over column `column`, starting (first step)
// from its row 1. False when the walk ends: the request failed, the name
// came back empty, left the column or did not advance.
class ColumnWalk {
public:
    ColumnWalk(char* oid, const char* column, const char* address, DWORD waitMs, const char* community)
        : oid_(oid), column_(column), address_(address), wait_(waitMs), community_(community) {
        strcpy(oid_, column);
        strcat(oid_, ".1");
    }
    bool Text(char* value) {
        Before();
        return SnmpGetNextString(address_, value, oid_, community_) && After();
    }
    bool Integer(LONG* value) {
        Before();
        return SnmpGetNextInteger(address_, value, oid_, community_) && After();
    }

private:
    void Before() {
        memcpy(before_, oid_, SNMP_TEXT);
        SnmpPause(wait_);
    }
    bool After() const { return oid_[0] && OidInSubtree(oid_, column_) && OidAdvances(before_, oid_); }
    char* oid_;
    const char* column_;
    const char* address_;
    DWORD wait_;
    const char* community_;
    char before_[SNMP_TEXT];
};

void CopyBinText(char* field, const char* value) {
    memset(field, 0, BIN_TEXT);
    memcpy(field, value, FieldLength(value, BIN_TEXT - 1));
}

// The printer reports an error (any condition of the error state's first
// octet other than offline, or itself down): the tables are read again
// when the poll had no time for them.
constexpr uint32_t ERRSTATE_ANY_BUT_OFFLINE = 0xFD;   // first octet of hrPrinterDetectedErrorState

bool PrinterReportsError(const PollRecord& p) {
    return (p.dwHrErrorState & ERRSTATE_ANY_BUT_OFFLINE) || UseDetailedAlerts(p);
}

bool StatusTrace(const PortContext* ctx) { return TraceOn(ctx, TRC_DEVICE); }

}  // namespace

BOOL ReadInputBins(PollRecord* poll, const char* address, char* oid, DWORD waitMs, const char* community) {
    char* value = poll->szMibWork;
    memset(value, 0, POLL_TEXT);
    {
        ColumnWalk walk(oid, kInputName, address, waitMs, community);
        for (DWORD i = 0; i < POLL_INPUT_BINS && poll->dwInputCount < POLL_INPUT_BINS; ++i) {
            if (!walk.Text(value) || oid[22] != '3') break;
            CopyBinText(poll->InputBin[poll->dwInputCount].szName, value);
            ++poll->dwInputCount;
        }
    }
    const DWORD count = poll->dwInputCount;
    {
        ColumnWalk walk(oid, kInputMedia, address, waitMs, community);
        for (DWORD i = 0; i < count && walk.Text(value); ++i) CopyBinText(poll->InputBin[i].szMedia, value);
    }
    {
        ColumnWalk walk(oid, kInputDescription, address, waitMs, community);
        for (DWORD i = 0; i < count && walk.Text(value); ++i) {
            CopyBinText(poll->InputBin[i].szDescription, value);
            poll->InputBin[i].bCurrent = IsCurrentDescription(value, POLL_TEXT) ? 1 : 0;
        }
    }
    LONG n;
    {
        ColumnWalk walk(oid, kInputLevel, address, waitMs, community);
        for (DWORD i = 0; i < count && walk.Integer(&n); ++i) poll->InputBin[i].dwLevel = n;
    }
    {
        ColumnWalk walk(oid, kInputSizeX, address, waitMs, community);
        for (DWORD i = 0; i < count && walk.Integer(&n); ++i) poll->InputBin[i].dwSizeX = static_cast<uint32_t>(n);
    }
    {
        ColumnWalk walk(oid, kInputSizeY, address, waitMs, community);
        for (DWORD i = 0; i < count && walk.Integer(&n); ++i) poll->InputBin[i].dwSizeY = static_cast<uint32_t>(n);
    }
    return TRUE;
}

BOOL ReadOutputBins(PollRecord* poll, const char* address, char* oid, DWORD waitMs, const char* community) {
    poll->OptionBin[0].dwId = OPTION_STANDARD_OUTPUT;
    ColumnWalk walk(oid, kOutputName, address, waitMs, community);
    for (DWORD i = 0; i < kOutputRows; ++i) {
        memset(poll->szMibWork, 0, POLL_TEXT);
        if (!walk.Text(poll->szMibWork) || oid[21] != '7') break;
        if (FieldEquals(poll->szMibWork, POLL_TEXT, kStackerTrayName)) {
            poll->OptionBin[1].dwId = OPTION_STACKER_TRAY;
            break;
        }
    }
    return TRUE;
}

DWORD SetPrinterInfoToEmulation(PortContext* ctx) {
    if (!(ctx->Poll.dwMibFlags & MIBF_LANG)) return 0;
    uint8_t value[kEmulationMax];
    size_t cb = BuildEmulationInfo(ctx->Poll.dwLangFlags, value);
    PortLock lock(ctx);
    StatusVariable* row = LookupStatusVariable("EmulationInfo", ctx->pVarTable, ctx);
    if (!row) return 0;
    // Equal counts give equal sizes, so the stored value is cb bytes long then.
    if (row->pValue && VariableValueSize(row) == cb && memcmp(row->pValue, value, cb) == 0) return 0;
    return ReplaceVariableValue(row, value, static_cast<DWORD>(cb), 0) ? CHG_EMULATION : 0;
}

DWORD SetPrinterInfoToBinConfig(PortContext* ctx) {
    PollRecord& p = ctx->Poll;
    if (PrinterReportsError(p) && !(p.dwMibFlags & MIBF_INPUT) && GetPrinterIPAddress(ctx, ctx->pszPortName)) {
        char oid[SNMP_TEXT] = {};
        if (ReadInputBins(&p, ctx->szPrinterAddress, oid, ctx->dwSNMPIntervals, ctx->szCommunity)) {
            p.dwMibFlags |= MIBF_INPUT;
            if (StatusTrace(ctx)) {
                // "-構成情報未取得時-": read here because the poll had not
                TraceWrite(ctx, "\r\nSYS_PARSEDID:SetPrinterInfoToBinConfig -\x8d\x5c\x90\xac\x8f\xee\x95\xf1\x96\xa2"
                                "\x8e\xe6\x93\xbe\x8e\x9e-");
                TraceWriteRaw(ctx, kStarLine);
                DumpInputBins(ctx);
                TraceWriteRaw(ctx, kStarLine);
            }
        }
    }
    if (!(p.dwMibFlags & MIBF_INPUT)) return 0;

    DWORD changes = 0;
    uint32_t feeder = NO_CURRENT_FEEDER;
    if (auto* value = static_cast<BYTE*>(MemAlloc(kBinConfigSize))) {
        BuildBinConfig(p, value, &feeder);
        PortLock lock(ctx);
        StatusVariable* row = LookupStatusVariable("PrinterBinConfig", ctx->pVarTable, ctx);
        // Every PrinterBinConfig value is a whole 76-byte block, whatever its count.
        if (row && (!row->pValue || memcmp(row->pValue, value, kBinConfigSize) != 0)) {
            MemFree(row->pValue);
            row->pValue = value;
            row->bChanged = 1;
            changes |= CHG_BIN_CONFIG;
        } else {
            MemFree(value);
        }
    }
    PortLock lock(ctx);
    if (StatusVariable* row = FindStatusVariable("CurrentFeeder", ctx->pVarTable, ctx, TRUE)) {
        if (*static_cast<DWORD*>(row->pValue) != feeder) {
            *static_cast<DWORD*>(row->pValue) = feeder;
            row->bChanged = 1;
            changes |= CHG_CURRENT_FEEDER;
        }
    }
    return changes;
}

DWORD SetPrinterInfoToOptConfig(PortContext* ctx) {
    PollRecord& p = ctx->Poll;
    if (PrinterReportsError(p) && !(p.dwMibFlags & MIBF_OUTPUT) && GetPrinterIPAddress(ctx, ctx->pszPortName)) {
        char oid[SNMP_TEXT] = {};
        if (ReadOutputBins(&p, ctx->szPrinterAddress, oid, ctx->dwSNMPIntervals, ctx->szCommunity)) {
            p.dwMibFlags |= MIBF_OUTPUT;
            if (StatusTrace(ctx)) {
                // "-構成情報未取得時-": read here because the poll had not
                TraceWrite(ctx, "\r\nSYS_PARSEDID:SetPrinterInfoToOptConfig -\x8d\x5c\x90\xac\x8f\xee\x95\xf1\x96\xa2"
                                "\x8e\xe6\x93\xbe\x8e\x9e-");
                TraceWriteRaw(ctx, kStarLine);
                for (DWORD i = 0; i < POLL_OPTIONS; ++i) {
                    TraceRawF(ctx, "\x83\x49\x83\x76\x83\x56\x83\x87\x83\x93\x8d\x5c\x90\xac [%d]\r\n",
                              i + 1);                                                 // オプション構成
                    TraceRawF(ctx, "  \x82\x68\x82\x63         [%d]\r\n", p.OptionBin[i].dwId);  // ＩＤ
                }
                TraceWriteRaw(ctx, kStarLine);
            }
        }
    }
    if (!(p.dwMibFlags & MIBF_OUTPUT)) return 0;
    PortLock lock(ctx);
    BOOL a = p.OptionBin[0].dwId == OPTION_STANDARD_OUTPUT
                 ? AddOption(OPTION_STANDARD_OUTPUT, OPTION_STANDARD_OUTPUT, 0, ctx)
                 : RemoveOption(OPTION_STANDARD_OUTPUT, OPTION_STANDARD_OUTPUT, ctx);
    BOOL b = p.OptionBin[1].dwId == OPTION_STACKER_TRAY ? AddOption(OPTION_STACKER_TRAY, OPTION_STACKER_TRAY, 0, ctx)
                                                        : RemoveOption(OPTION_STACKER_TRAY, OPTION_STACKER_TRAY, ctx);
    return (a || b) ? CHG_OPT_CONFIG : 0;
}
