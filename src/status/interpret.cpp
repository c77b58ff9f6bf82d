#include "status/interpret.h"
#include "diag/trace.h"
#include "jobtrack/jobtrack.h"
#include "portinfo/portkind.h"
#include "snmp/snmp.h"
#include "state/bintables.h"
#include "state/jobrelease.h"
#include "state/statusvar.h"
#include "status/devpoll.h"

#include <cstring>

namespace {

constexpr char kStarLine[] = "***************************************\r\n";
constexpr char kConsoleDisplayOid[] = "1.3.6.1.2.1.43.16.5.1.2.1";   // prtConsoleDisplayBufferText
constexpr char kConsoleDisplayColumn[] = "1.3.6.1.2.1.43.16.5.1.2";
constexpr DWORD kConsoleRows = 2;
constexpr char kMaker[] = "VEK";
constexpr DWORD kNameValue = 32;   // PrinterManufacturer and PrinterModel

bool StatusTrace(const PortContext* ctx) { return TraceOn(ctx, TRC_DEVICE); }

DWORD Word(const void* value, int i) {
    DWORD w;
    memcpy(&w, static_cast<const BYTE*>(value) + 4 * i, 4);
    return w;
}

// A 32-bit detail variable: replaced when it differs.
DWORD SetDwordDetail(PortContext* ctx, const char* name, DWORD value, DWORD bit) {
    StatusVariable* row = LookupStatusVariable(name, ctx->pVarTable, ctx);
    if (!row) return 0;
    return ReplaceVariableValue(row, &value, sizeof(value), sizeof(value)) ? bit : 0;
}

// The raw dump of the poll record that opens an interpretation.
void DumpPollRecord(PortContext* ctx) {
    const PollRecord& p = ctx->Poll;
    TraceWrite(ctx, "\r\nSYS_PARSEDID:ParseDeviceId_SYSPRINTER -START-");
    TraceWriteRaw(ctx, kStarLine);
    TraceRawF(ctx, "\x83\x82\x83\x66\x83\x8b\x96\xbc       [%s]\r\n", p.szSysDescr);                // モデル名
    TraceRawF(ctx, "\x8e\xe6\x93\xbe\x8f\xee\x95\xf1       [%x]\r\n", p.dwMibFlags);                // 取得情報
    TraceRawF(ctx, "\x83\x54\x83\x7c\x81\x5b\x83\x67\x8c\xbe\x8c\xea   [%x]\r\n\r\n", p.dwLangFlags);  // サポート言語
    DumpInputBins(ctx);
    for (DWORD i = 0; i < POLL_OPTIONS; ++i) {
        TraceRawF(ctx, "\x83\x49\x83\x76\x83\x56\x83\x87\x83\x93\x8d\x5c\x90\xac [%d]\r\n", i + 1);  // オプション構成
        TraceRawF(ctx, "  \x82\x68\x82\x63         [%d]\r\n", p.OptionBin[i].dwId);               // ＩＤ
    }
    TraceRawF(ctx, "MIB-\x87\x55status [DEV:%x PRT:%x ERR:%x]\r\n", p.dwHrDeviceStatus, p.dwHrPrinterStatus,
              p.dwHrErrorState);                                                                   // MIB-Ⅱstatus
    DWORD alerts = p.dwAlertCount < POLL_ALERTS ? p.dwAlertCount : POLL_ALERTS;
    for (DWORD i = 0; i < alerts; ++i)
        TraceRawF(ctx, "  ALERT%2d    [%.*s]\r\n", i + 1, static_cast<int>(FieldLength(p.szAlert[i], POLL_TEXT)),
                  p.szAlert[i]);
    if (p.dwPowerSave) TraceWriteRaw(ctx, "\x90\xdf\x93\x64\x83\x82\x81\x5b\x83\x68\x92\x86\r\n");   // 節電モード中
    TraceWriteRaw(ctx, kStarLine);
}

}  // namespace

void DumpInputBins(PortContext* ctx) {
    const PollRecord& p = ctx->Poll;
    for (DWORD i = 0; i < POLL_INPUT_BINS; ++i) {
        const InputBinRecord& b = p.InputBin[i];
        auto field = [](const char* s) { return static_cast<int>(FieldLength(s, BIN_TEXT)); };
        TraceRawF(ctx, "\x8b\x8b\x8e\x86\x8d\x5c\x90\xac       [%d]\r\n", i + 1);                               // 給紙構成
        TraceRawF(ctx, "  \x83\x7a\x83\x62\x83\x70\x96\xbc     [%.*s]\r\n", field(b.szName), b.szName);         // ホッパ名
        TraceRawF(ctx, "  \x83\x66\x83\x42\x83\x58\x83\x4e\x96\xbc   [%.*s]\r\n", field(b.szDescription),
                  b.szDescription);                                                                         // ディスク名
        TraceRawF(ctx, "  \x83\x81\x83\x66\x83\x42\x83\x41\x96\xbc   [%.*s]\r\n", field(b.szMedia), b.szMedia);  // メディア名
        TraceRawF(ctx, "  \x97\x70\x8e\x86\x83\x54\x83\x43\x83\x59   [X:%d], [Y:%d]\r\n", b.dwSizeX, b.dwSizeY);  // 用紙サイズ
        TraceRawF(ctx, "  \x8e\x63\x97\xca         [%d]\r\n", b.dwLevel);                                    // 残量
        if (b.bCurrent)
            TraceWriteRaw(ctx, "  \x83\x4a\x83\x8c\x83\x93\x83\x67\x83\x7a\x83\x62\x83\x70\x82\xc9\x8e\x77\x92\xe8"
                               "\x92\x86\r\n");                                                             // カレントホッパに指定中
    }
}

bool ReplaceVariableValue(StatusVariable* row, const void* value, DWORD cb, DWORD cbCompare) {
    if (row->pValue && cbCompare && memcmp(row->pValue, value, cbCompare) == 0) return false;
    void* copy = MemAlloc(cb);
    if (!copy) return false;
    memcpy(copy, value, cb);
    MemFree(row->pValue);
    row->pValue = copy;
    row->bChanged = 1;
    return true;
}

void ParseDeviceId_SYSPRINTER(PortContext* ctx) {
    if (StatusTrace(ctx)) DumpPollRecord(ctx);
    DWORD changes = SetPrinterInfoToModel(ctx);
    changes |= SetPrinterInfoToEmulation(ctx);
    changes |= SetPrinterInfoToBinConfig(ctx);
    changes |= SetPrinterInfoToOptConfig(ctx);
    DWORD status = SetPrinterInfoToStatus(ctx);
    if (status || changes) {
        UpdateSRM_All(ctx);
        SetPortStatusAll(ctx);
    }
    if (StatusTrace(ctx)) TraceWrite(ctx, "SYS_PARSEDID:ParseDeviceId_SYSPRINTER --END--");
}

DWORD SetPrinterInfoToStatus(PortContext* ctx) {
    const PollRecord& poll = ctx->Poll;

    // The SNMP reads this interpretation may need are made first, outside
    // the port lock: the operator panel while a serviceman call is reported,
    // and the printer's job table when nothing else tells whether it prints.
    AlertScan pre;
    ScanAlerts(poll, nullptr, 0, &pre);
    ConsoleDisplay display{};
    if ((pre.dwClassWord & CLS_SERVICEMAN) && GetPrinterIPAddress(ctx, ctx->pszPortName))
        display.bRead =
            GetConsoleDisplay(ctx->szPrinterAddress, display.szRows, ctx->dwSNMPIntervals, ctx->szCommunity) != 0;
    bool walked = false;
    bool printingJob = false;
    if (NeedsPrintingWalk(poll, (ctx->status & ST_IN_DOC) != 0, ctx->pJobQueueHead != nullptr)) {
        printingJob = DEP_CheckPrintingStatus_SNMP(ctx) != FALSE;
        walked = true;
    }

    auto* fresh = static_cast<DWORD*>(MemAlloc(3 * sizeof(DWORD)));
    if (!fresh) return 0;
    PortLock lock(ctx);
    StatusVariable* row = FindStatusVariable("PrinterStatus", ctx->pVarTable, ctx, TRUE);
    if (!row) {
        lock.unlock();
        MemFree(fresh);
        return 0;
    }
    StatusInputs in{};
    memcpy(in.adwOld, row->pValue, sizeof(in.adwOld));
    in.bInDoc = (ctx->status & ST_IN_DOC) != 0;
    in.bJobQueued = ctx->pJobQueueHead != nullptr;
    in.bDataSent = (ctx->dwSysFlag & SYS_DATA_SENT) != 0;
    // Should the answer have gone stale (a job came or went meanwhile), the
    // document and queue tests above decide; a walk not made counts as idle.
    in.bPrintingJob = walked && printingJob;

    const BYTE* binConfig = nullptr;
    StatusVariable* bins = LookupStatusVariable("PrinterBinConfig", ctx->pVarTable, ctx);
    if (bins && bins->pValue) binConfig = static_cast<const BYTE*>(bins->pValue);
    StatusOutcome out;
    ComputeStatus(poll, binConfig, binConfig ? kBinConfigSize : 0, in, &out);
    memcpy(ctx->dwAlertDetail, out.scan.dwAlertDetail, sizeof(ctx->dwAlertDetail));
    if (out.bJobLost) StatusSet(ctx, ST_JOB_LOST);
    const uint32_t* o = in.adwOld;
    const uint32_t* n = out.adwNew;
    const DWORD* d = ctx->dwAlertDetail;
    DWORD changes = out.bPowerSaveChanged ? CHG_POWER_SAVE : 0;

    if (Triggered(o, n, 0, L_JAM))
        changes |= SetDwordDetail(ctx, "ErrPaperJam",
                                  PaperJamValue(d[DETAIL_JAM], poll.OptionBin[1].dwId == OPTION_STACKER_TRAY),
                                  CHG_PAPER_JAM);
    if (Triggered(o, n, 0, L_COVER)) changes |= SetDwordDetail(ctx, "ErrCoverOpen", d[DETAIL_COVER], CHG_COVER_OPEN);
    changes |= SetErrNoPaper(ctx, o, n);
    changes |= SetErrHWError(ctx, o, n, &display);
    if (Triggered(o, n, 0, L_SIZE_ERROR))
        changes |= SetDwordDetail(ctx, "ErrPaperSizeError", BinIdOfDetail(d[DETAIL_SIZE_ERROR]), CHG_SIZE_ERROR);
    if (Triggered(o, n, M_CART_MISSING, L_SUPPLIES)) {
        if (StatusVariable* sup = LookupStatusVariable("ErrSupplies", ctx->pVarTable, ctx)) {
            const DWORD value[3] = {2, d[DETAIL_DRUM], d[DETAIL_TONER]};
            if (ReplaceVariableValue(sup, value, sizeof(value), sizeof(value))) changes |= CHG_SUPPLIES;
        }
    }
    if (Triggered(o, n, 0, L_STACKER)) changes |= SetDwordDetail(ctx, "ErrStackFull", d[DETAIL_STACKER], CHG_STACK_FULL);
    if (Triggered(o, n, M_STAPLE, 0)) changes |= SetDwordDetail(ctx, "ErrStapleError", d[DETAIL_STAPLE], CHG_STAPLE);
    if (Triggered(o, n, M_PUNCH, 0)) changes |= SetDwordDetail(ctx, "ErrPunchError", d[DETAIL_PUNCH], CHG_PUNCH);

    // With a refresh thread running an unchanged status is not sent again.
    memcpy(fresh, n, 3 * sizeof(DWORD));
    if (!(ctx->status & ST_THREAD_RUN) || memcmp(fresh, o, 3 * sizeof(DWORD)) != 0) {
        if (StatusTrace(ctx)) {
            TraceRawF(ctx, "SRM:Old    Status[H:%08x][M:%08x][L:%08x]\r\n", o[WORD_H], o[WORD_M], o[WORD_L]);
            TraceRawF(ctx, "SRM:PrinterStatus[H:%08x][M:%08x][L:%08x]\r\n", n[WORD_H], n[WORD_M], n[WORD_L]);
        }
        MemFree(row->pValue);
        row->pValue = fresh;
        row->bChanged = 1;
        DWORD icon = IconClassOf(n[WORD_H], n[WORD_M], n[WORD_L]);
        if (StatusVariable* iconRow = FindStatusVariable("IconState", ctx->pVarTable, ctx, TRUE)) {
            if (Word(iconRow->pValue, 0) != icon) {
                memcpy(iconRow->pValue, &icon, sizeof(icon));
                iconRow->bChanged = 1;
            }
        }
        if (StatusTrace(ctx)) TraceRawF(ctx, "SRM:IconStatus   [%08x]\r\n", icon);
        changes |= CHG_ICON | CHG_STATUS;
    } else {
        MemFree(fresh);
    }

    // Jobs queued on a printer that stays idle were lost by it.
    bool deleteJobs = false;
    if (!in.bJobQueued || in.bInDoc) {
        ctx->dwIdleCheckCount = 0;
    } else if (poll.dwHrPrinterStatus == HRPRT_IDLE || (n[WORD_L] & L_POWER_SAVE)) {
        if (++ctx->dwIdleCheckCount >= IDLE_CHECK_LIMIT) {
            if (StatusTrace(ctx)) TraceWriteRaw(ctx, "[DeleteJob] at DID Idle state check!!\r\n");
            deleteJobs = true;
            ctx->dwIdleCheckCount = 0;
        }
    } else {
        ctx->dwIdleCheckCount = 0;
    }
    lock.unlock();
    // Deleting may cancel jobs on the printer over SNMP: not under the lock.
    if (deleteJobs) DeleteJob(ctx, TRUE);
    return changes;
}

DWORD SetIconState(PortContext* ctx, DWORD h, DWORD m, DWORD l) {
    DWORD icon = IconClassOf(h, m, l);
    if (StatusVariable* row = FindStatusVariable("IconState", ctx->pVarTable, ctx, TRUE)) {
        if (Word(row->pValue, 0) != icon) {
            memcpy(row->pValue, &icon, sizeof(icon));
            row->bChanged = 1;
        }
    }
    if (StatusTrace(ctx)) TraceRawF(ctx, "SRM:IconStatus   [%08x]\r\n", icon);
    return CHG_ICON;
}

DWORD ClassifyNoPaperAlert(PortContext* ctx, const char* alert) {
    StatusVariable* bins = LookupStatusVariable("PrinterBinConfig", ctx->pVarTable, ctx);
    if (!bins || !bins->pValue) return CLS_NO_PAPER;
    return ClassifyNoPaperIn(static_cast<const BYTE*>(bins->pValue), kBinConfigSize, alert, POLL_TEXT);
}

DWORD SetErrNoPaper(PortContext* ctx, const uint32_t* o, const uint32_t* n) {
    if (!((o[WORD_L] | n[WORD_L]) & L_NO_PAPER_ANY)) return 0;
    // Without a bin configuration the variables stay as they are.
    StatusVariable* bins = LookupStatusVariable("PrinterBinConfig", ctx->pVarTable, ctx);
    if (!bins || !bins->pValue || Word(bins->pValue, 0) == 0) return 0;
    const BinConfigEntry* entry = nullptr;
    DWORD binId = BinIdOfDetail(ctx->dwAlertDetail[DETAIL_NO_PAPER]);
    if (binId) {
        DWORD count = Word(bins->pValue, 0);
        auto* entries = reinterpret_cast<const BinConfigEntry*>(static_cast<const BYTE*>(bins->pValue) + 4);
        for (DWORD i = 0; i < count && i < kBinConfigEntries; ++i)
            if (entries[i].wBinId == binId) {
                entry = &entries[i];
                break;
            }
    }
    bool noPaper = (n[WORD_L] & L_NO_PAPER_ANY) && entry;
    WORD v1[2] = {};
    BYTE v2[8] = {};
    if (noPaper) {
        v1[0] = entry->wBinId;
        v1[1] = entry->wPaperSize;
        memcpy(v2, v1, 4);
        v2[4] = reinterpret_cast<const BYTE*>(entry)[sizeof(BinConfigEntry) - 1];
    }
    DWORD changes = 0;
    if (StatusVariable* row = LookupStatusVariable("ErrNoPaper", ctx->pVarTable, ctx))
        if (ReplaceVariableValue(row, v1, sizeof(v1), sizeof(v1))) changes |= CHG_NO_PAPER;
    if (StatusVariable* row = LookupStatusVariable("ErrNoPaper2", ctx->pVarTable, ctx))
        if (ReplaceVariableValue(row, v2, sizeof(v2), 4)) changes |= CHG_NO_PAPER2;
    return changes;
}

DWORD SetErrHWError(PortContext* ctx, const uint32_t* o, const uint32_t* n, const ConsoleDisplay* display) {
    if (!((o[WORD_M] | n[WORD_M]) & M_SERVICEMAN)) return 0;
    // The number stays as it was when the panel could not be read, shows
    // the call text, or the call has just ended.
    uint32_t number;
    if (!(n[WORD_M] & M_SERVICEMAN) || !display || !display->bRead ||
        !HardwareErrorOfDisplay(display->szRows, &number))
        return 0;
    return SetDwordDetail(ctx, "ErrHWError", number, CHG_HW_ERROR);
}

int GetConsoleDisplay(const char* address, char* out, DWORD waitMs, const char* community) {
    memset(out, 0, CONSOLE_BUFFER);
    char oid[SNMP_TEXT] = {};
    strcpy(oid, kConsoleDisplayOid);
    int rc = 0;
    for (DWORD row = 0; row < kConsoleRows; ++row) {
        char before[SNMP_TEXT];
        memcpy(before, oid, sizeof(before));
        char value[SNMP_TEXT] = {};
        SnmpPause(waitMs);
        rc = SnmpGetNextString(address, value, oid, community);
        if (!rc || !oid[0]) break;
        if (!OidInSubtree(oid, kConsoleDisplayColumn) || !OidAdvances(before, oid)) return row > 0;
        memcpy(out + row * CONSOLE_ROW, value, CONSOLE_ROW - 1);
    }
    return rc;
}

DWORD SetPrinterInfoToModel(PortContext* ctx) {
    const PollRecord& p = ctx->Poll;
    if (!(p.dwMibFlags & MIBF_DESCR) || strncmp(p.szSysDescr, kMaker, 2) != 0) return 0;
    DWORD changes = 0;
    char maker[kNameValue] = {};
    strcpy(maker, kMaker);
    {
        PortLock lock(ctx);
        if (StatusVariable* row = LookupStatusVariable("PrinterManufacturer", ctx->pVarTable, ctx))
            if (ReplaceVariableValue(row, maker, sizeof(maker), sizeof(kMaker) - 1)) changes |= CHG_MANUFACTURER;
    }
    size_t len = FieldLength(p.szSysDescr, POLL_TEXT);
    if (len < 5) return changes;
    // The model follows the maker word and its blank.
    char model[kNameValue] = {};
    size_t n = len - 4 < kNameValue - 1 ? len - 4 : kNameValue - 1;
    memcpy(model, p.szSysDescr + 4, n);
    PortLock lock(ctx);
    if (StatusVariable* row = LookupStatusVariable("PrinterModel", ctx->pVarTable, ctx))
        if (ReplaceVariableValue(row, model, sizeof(model), sizeof(model))) changes |= CHG_MODEL;
    return changes;
}
