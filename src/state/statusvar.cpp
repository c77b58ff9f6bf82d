#include "state/statusvar.h"
#include "diag/trace.h"
#include "state/binding.h"
#include "state/config.h"
#include "state/iconstate.h"
#include "state/jobqueue.h"

#include <cstring>

namespace {

constexpr DWORD ALL = 0xFFFFFFFF;

constexpr StatusVariable kTemplate[kStatusVariableRows + 1] = {
    {"SendingJobInfo", {ALL, ALL}, nullptr, 292, 0, 2, 0, 0, 0},
    {"PrintingJobInfo", {ALL, ALL}, nullptr, 320, 0, 2, 0, 0, 0},
    {"PrinterQueue", {ALL, ALL}, nullptr, 4, 0, 5, 0, 0, 0},
    {"JobStatus", {ALL, ALL}, nullptr, 4, 0, 6, 0, 0, 0x3},
    {"ErrPaperJam", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0, 0x3},
    {"ErrCoverOpen", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0x1, 0x3},
    {"ErrNoPaper", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0, 0x3},
    {"ErrNoPaper2", {ALL, ALL}, nullptr, 8, 0, 1, 0, 0, 0x3},
    {"ErrHWError", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0, 0x3},
    {"ErrPaperSizeError", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0, 0x3},
    {"CurrentFeeder", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0x2, 0x3},
    {"PrinterBinConfig", {ALL, ALL}, nullptr, VAR_SIZE_VARIABLE, 12, 1, 0, 0x2, 0x3},
    {"PrinterOptConfig", {ALL, ALL}, nullptr, VAR_SIZE_VARIABLE, 8, 9, 0, 0x2, 0x3},
    {"ErrSupplies", {ALL, ALL}, nullptr, 12, 0, 1, 0, 0, 0x3},
    {"ErrStackFull", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0, 0x3},
    {"ErrStapleError", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0, 0x3},
    {"ErrPunchError", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0, 0x3},
    {"PrinterStatus", {ALL, ALL}, nullptr, 12, 0, 8, 0, 0x1, 0x3},
    {"IconState", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0x2, 0x3},
    {"PrinterExtStatus", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0x10, 0x3},
    {"PrinterManufacturer", {ALL, ALL}, nullptr, 32, 0, 1, 0, 0x2, 0x3},
    {"PrinterModel", {ALL, ALL}, nullptr, 32, 0, 1, 0, 0x2, 0x3},
    {"EmulationInfo", {ALL, ALL}, nullptr, VAR_SIZE_VARIABLE, 4, 9, 0, 0x2, 0x3},
    {"PrinterName", {ALL, ALL}, nullptr, 0, 0, 0, 0, 0, 0},
    {"Port", {ALL, ALL}, nullptr, 0, 0, 0, 0, 0, 0},
    {"ErrPrintSequence", {ALL, ALL}, nullptr, 4, 0, 1, 0, 0, 0x3},
    {nullptr, {0, 0}, nullptr, 0, 0, 0, 0, 0, 0},
};

// Error variables: the status bits that keep each one, and the value it
// falls back to once none of them is set.
struct ErrDefault {
    const char* pszName;
    DWORD dwKeepM;
    DWORD dwKeepL;
    DWORD adwDefault[3];
};
constexpr ErrDefault kErrDefaults[] = {
    {"ErrPaperJam", 0, 0x10000, {ALL}},
    {"ErrCoverOpen", 0, 0x8000, {ALL}},
    {"ErrNoPaper", 0, 0x4800000, {ALL}},
    {"ErrNoPaper2", 0, 0x4800000, {ALL, ALL}},
    {"ErrHWError", 0x80, 0, {ALL}},
    {"ErrPaperSizeError", 0, 0x40000, {ALL}},
    {"ErrSupplies", 0x4, 0xA0004082, {2, ALL, ALL}},
    {"ErrStackFull", 0, 0x1000000, {ALL}},
    {"ErrStapleError", 0x800000, 0, {ALL}},
    {"ErrPunchError", 0x2000000, 0, {ALL}},
};

// Spooler port status per printer condition; H never takes part. The first
// row whose mask meets the status wins.
struct PortStatusRow {
    DWORD dwMaskM;
    DWORD dwMaskL;
    DWORD dwStatus;
    DWORD dwSeverity;
};
constexpr PortStatusRow kPortStatusTable[] = {
    {0x200, 0, 0, 0},
    {0x80, 0, PORT_STATUS_USER_INTERVENTION, PORT_STATUS_TYPE_ERROR},
    {0x100, 0, 0, 0},
    {0, 0x40000, PORT_STATUS_PAPER_PROBLEM, PORT_STATUS_TYPE_ERROR},
    {0, 0x10000, PORT_STATUS_PAPER_JAM, PORT_STATUS_TYPE_ERROR},
    {0x2000, 0, PORT_STATUS_PAPER_JAM, PORT_STATUS_TYPE_ERROR},
    {0, 0x1000000, PORT_STATUS_OUTPUT_BIN_FULL, PORT_STATUS_TYPE_ERROR},
    {0x4, 0, PORT_STATUS_USER_INTERVENTION, PORT_STATUS_TYPE_ERROR},
    {0, 0x80000000, PORT_STATUS_USER_INTERVENTION, PORT_STATUS_TYPE_ERROR},
    {0, 0x4000, PORT_STATUS_NO_TONER, PORT_STATUS_TYPE_ERROR},
    {0, 0x20000000, PORT_STATUS_USER_INTERVENTION, PORT_STATUS_TYPE_ERROR},
    {0x800000, 0, PORT_STATUS_USER_INTERVENTION, PORT_STATUS_TYPE_ERROR},
    {0x2000000, 0, PORT_STATUS_USER_INTERVENTION, PORT_STATUS_TYPE_ERROR},
    {0, 0x8000, PORT_STATUS_DOOR_OPEN, PORT_STATUS_TYPE_ERROR},
    {0, 0x40000000, PORT_STATUS_PAPER_OUT, PORT_STATUS_TYPE_ERROR},
    {0, 0x4000000, PORT_STATUS_PAPER_PROBLEM, PORT_STATUS_TYPE_ERROR},
    {0, 0x800000, PORT_STATUS_PAPER_OUT, PORT_STATUS_TYPE_ERROR},
    {0, 0x80000, PORT_STATUS_OFFLINE, PORT_STATUS_TYPE_ERROR},
    {0, 0x400000, PORT_STATUS_OUT_OF_MEMORY, PORT_STATUS_TYPE_ERROR},
    {0, 0x1000, PORT_STATUS_OFFLINE, PORT_STATUS_TYPE_ERROR},
    {0, 0x10, PORT_STATUS_WARMING_UP, PORT_STATUS_TYPE_INFO},
    {0, 0x40, 0, 0},
    {0, 0x8, 0, 0},
    {0, 0x2, PORT_STATUS_TONER_LOW, PORT_STATUS_TYPE_WARNING},
    {0, 0x80, 0, 0},
    {0, 0x800, 0, 0},
    {0, 0x1, 0, 0},
    {0, 0, 0, 0},
};
static_assert(sizeof(kPortStatusTable) / sizeof(kPortStatusTable[0]) == 28, "27 rows and the end row");

constexpr wchar_t kPortStatusMutex[] = L"VPJLMON:OpenPrinterMutex";

// What a binding of another model is shown while the printer's own state
// is not one every model shares.
constexpr DWORD kNeutralStatus[3] = {0, 0x200, 0};

bool HasManager(const SrmBinding* b) { return b->hManager && b->pfnUpdatePrinterStatusA; }

LONG Send(SrmBinding* b, const char* name, const void* value, DWORD size) {
    return b->pfnUpdatePrinterStatusA(b->hManager, name, value, size);
}

bool AllOnes(const DWORD m[2]) { return m[0] == ALL && m[1] == ALL; }

StatusVariable* FindWithMask(const char* name, StatusVariable* table, const DWORD mask[2]) {
    for (StatusVariable* row = table; row->pszName; ++row) {
        if (strcmp(row->pszName, name) != 0) continue;
        if (!AllOnes(row->qwModelMask) && !ModelMasksMeet(row->qwModelMask, mask)) continue;
        return row;
    }
    return nullptr;
}

// Kinds 1 and 8: every binding in list order. A binding without manager
// stops the walk (the row stays changed); a suppressed one is passed over.
bool PublishToAll(PortContext* ctx, StatusVariable* row, DWORD size) {
    bool ok = true;
    for (SrmBinding* b = ctx->pBindList; b; b = b->pNext) {
        if (!HasManager(b)) return false;
        if (b->dwFlags & BF_SUPPRESSED) continue;
        const void* value = row->pValue;
        if (row->dwPublishKind == PUB_STATUS && !ModelMasksMeet(b->qwModelMask, ctx->qwStatusMask) &&
            !(static_cast<const DWORD*>(row->pValue)[1] & 0x1F00))
            value = kNeutralStatus;
        if (Send(b, row->pszName, value, size) != 0) ok = false;
    }
    return ok;
}

// Kind 9: only bindings of the recognised model.
bool PublishToModel(PortContext* ctx, StatusVariable* row, DWORD size) {
    bool ok = true;
    for (SrmBinding* b = ctx->pBindList; b; b = b->pNext) {
        if (!HasManager(b)) return false;
        if (!ModelMasksMeet(b->qwModelMask, ctx->qwStatusMask) || (b->dwFlags & BF_SUPPRESSED)) continue;
        if (Send(b, row->pszName, row->pValue, size) != 0) ok = false;
    }
    return ok;
}

// Kind 5: the binding of every queued job, each binding once.
bool PublishToQueue(PortContext* ctx, StatusVariable* row, DWORD size) {
    bool ok = true;
    for (JobQueueEntry* e = ctx->pJobQueueHead; e; e = e->pNext) {
        SrmBinding* b = e->pBind;
        if (!b) {
            ok = false;
            continue;
        }
        if ((b->dwFlags & BF_SENT) || !HasManager(b)) continue;
        if (b->dwFlags & BF_SUPPRESSED)
            b->dwFlags |= BF_SENT;
        else if (Send(b, row->pszName, row->pValue, size) == 0)
            b->dwFlags |= BF_SENT;
    }
    for (SrmBinding* b = ctx->pBindList; b; b = b->pNext) b->dwFlags &= ~BF_SENT;
    return ok;
}

// Kind 6: the current document's binding only.
bool PublishToCurrent(PortContext* ctx, StatusVariable* row, DWORD size) {
    SrmBinding* b = ctx->pCurBind;
    if (!b || !HasManager(b)) return false;
    if (b->dwFlags & BF_SUPPRESSED) return true;
    return Send(b, row->pszName, row->pValue, size) == 0;
}

void TracePublication(PortContext* ctx, const StatusVariable* row) {
    const auto* w = static_cast<const DWORD*>(row->pValue);
    const auto* bytes = static_cast<const BYTE*>(row->pValue);
    if (strcmp(row->pszName, "PrinterStatus") == 0) {
        TraceRawF(ctx, "UpdateSRM_All: Variable:[%s]\r\n        Value:[0x%08x]-[0x%08x]-[0x%08x]\r\n", row->pszName,
                  w[0], w[1], w[2]);
    } else if (strcmp(row->pszName, "SendingJobInfo") == 0) {
        char job[257], user[33];
        memcpy(job, bytes, 256);
        job[256] = '\0';
        memcpy(user, bytes + 256, 32);
        user[32] = '\0';
        TraceRawF(ctx, "UpdateSRM_All: Variable:[%s]\r\n      JobName:[%s]\r\n     UserName:[%s]\r\n        JobID:[%d]\r\n",
                  row->pszName, job, user, *reinterpret_cast<const DWORD*>(bytes + 288));
    } else if (strcmp(row->pszName, "PrintingJobInfo") == 0) {
        TraceRawF(ctx, "UpdateSRM_All: Variable:[%s]\r\n        JobID:[%d]\r\n         Page:[%d]\r\n", row->pszName,
                  *reinterpret_cast<const DWORD*>(bytes + 288), *reinterpret_cast<const DWORD*>(bytes + 292));
    } else if (strcmp(row->pszName, "PrinterQueue") == 0) {
        TraceRawF(ctx, "UpdateSRM_All: Variable:[%s]\r\n     dwJobNum:[%d]\r\n", row->pszName, w[0]);
    }
}

}  // namespace

StatusVariable* CopyStatusTemplate() {
    auto* t = static_cast<StatusVariable*>(MemAlloc(sizeof(kTemplate)));
    if (t) memcpy(t, kTemplate, sizeof(kTemplate));
    return t;
}

void FreeVarTable(StatusVariable* table) {
    if (!table) return;
    for (StatusVariable* row = table; row->pszName; ++row) {
        MemFree(row->pValue);
        row->pValue = nullptr;
    }
    MemFree(table);
}

StatusVariable* FindStatusVariable(const char* name, StatusVariable* table, PortContext* ctx, BOOL create) {
    if (!name || !table || !ctx) return nullptr;
    StatusVariable* row = FindWithMask(name, table, ctx->qwStatusMask);
    if (row && create && !row->pValue) {
        // A variable-size row created empty holds a count of 0.
        row->pValue = MemAlloc(row->cbValue == VAR_SIZE_VARIABLE ? 4 : (row->cbValue ? row->cbValue : 1));
        if (!row->pValue) return nullptr;
    }
    return row;
}

StatusVariable* LookupStatusVariable(const char* name, StatusVariable* table, PortContext* ctx) {
    return FindStatusVariable(name, table, ctx, FALSE);
}

StatusVariable* FindBindingStatusVariable(const char* name, StatusVariable* table, PortContext* ctx,
                                          SrmBinding* bind) {
    if (!name || !table || !ctx || !bind) return nullptr;
    return FindWithMask(name, table, bind->qwModelMask);
}

DWORD VariableValueSize(const StatusVariable* row) {
    if (!row) return 0;
    if (row->cbValue != VAR_SIZE_VARIABLE) return row->cbValue;
    if (!row->pValue) return VAR_SIZE_VARIABLE;
    return row->cbElement * *static_cast<const DWORD*>(row->pValue) + 4;
}

DWORD UpdateSRM_All(PortContext* ctx) {
    if (!ctx) return 0xFFFFFFFF;
    PortLock lock(ctx);
    if (!ctx->pVarTable) return 0xFFFFFFFF;
    DWORD count = 0;
    for (StatusVariable* row = ctx->pVarTable; row->pszName; ++row) {
        if (!row->bChanged || !row->pValue) continue;
        DWORD size = VariableValueSize(row);
        if (size == 0) continue;
        if (TraceOn(ctx, TRC_SRM)) TracePublication(ctx, row);
        bool done = false;
        switch (row->dwPublishKind) {
        case PUB_ALL:
        case PUB_STATUS: done = PublishToAll(ctx, row, size); break;
        case PUB_JOB: done = PublishJobVariable(ctx, row, size) != 0; break;
        case PUB_QUEUE: done = PublishToQueue(ctx, row, size); break;
        case PUB_CURRENT: done = PublishToCurrent(ctx, row, size); break;
        case PUB_MODEL: done = PublishToModel(ctx, row, size); break;
        default: break;
        }
        if (!done) continue;
        ++count;
        row->bChanged = 0;
        if (!(row->dwFlags & VF_KEEP_VALUE)) {
            MemFree(row->pValue);
            row->pValue = nullptr;
        }
    }
    return count;
}

DWORD PublishAtBind(PortContext* ctx, SrmBinding* bind) {
    if (!ctx || !bind) return 0xFFFFFFFF;
    PortLock lock(ctx);
    if (!ctx->pVarTable) return 0xFFFFFFFF;
    DWORD accepted = 0;
    bool sameModel = ModelMasksMeet(bind->qwModelMask, ctx->qwStatusMask);
    for (StatusVariable* row = ctx->pVarTable; row->pszName; ++row) {
        if (!(row->dwFlags & VF_AT_BIND) || !row->pValue) continue;
        DWORD size = VariableValueSize(row);
        if (size == 0 || size == VAR_SIZE_VARIABLE) continue;
        const void* value = row->pValue;
        switch (row->dwPublishKind) {
        case PUB_ALL:
        case PUB_CURRENT: break;
        case PUB_STATUS:
            if (!(static_cast<const DWORD*>(row->pValue)[1] & 0xF00) && !sameModel) value = kNeutralStatus;
            break;
        case PUB_MODEL:
            if (!sameModel) continue;
            break;
        default: continue;
        }
        if (!HasManager(bind)) continue;
        if (Send(bind, row->pszName, value, size) == 0) ++accepted;
    }
    return accepted;
}

BOOL ResetPrinterStatus(PortContext* ctx, BOOL publish) {
    StatusVariable* row = FindStatusVariable("PrinterStatus", ctx ? ctx->pVarTable : nullptr, ctx, TRUE);
    if (!row) return FALSE;
    auto* w = static_cast<DWORD*>(row->pValue);
    w[0] = 0;
    w[1] = (ctx->dwPortStatus & 0xC) ? 0x800 : 0x400;
    w[2] = 0;
    if (publish) {
        row->bChanged = 1;
        UpdateSRM_All(ctx);
        SetPortStatusAll(ctx);
    }
    return TRUE;
}

BOOL ResetErrVariables(PortContext* ctx, BOOL publish) {
    StatusVariable* ps = LookupStatusVariable("PrinterStatus", ctx ? ctx->pVarTable : nullptr, ctx);
    if (!ps) return FALSE;
    DWORD words[3] = {0, 0, 0};
    if (ps->pValue) memcpy(words, ps->pValue, sizeof(words));
    for (const ErrDefault& d : kErrDefaults) {
        StatusVariable* row = FindStatusVariable(d.pszName, ctx->pVarTable, ctx, TRUE);
        if (!row || (words[1] & d.dwKeepM) || (words[2] & d.dwKeepL)) continue;
        DWORD size = VariableValueSize(row);
        if (memcmp(row->pValue, d.adwDefault, size) == 0) continue;
        memcpy(row->pValue, d.adwDefault, size);
        if (publish) row->bChanged = 1;
    }
    if (publish) UpdateSRM_All(ctx);
    return TRUE;
}

BOOL ResetJobStatus(PortContext* ctx) {
    StatusVariable* row = FindStatusVariable("JobStatus", ctx ? ctx->pVarTable : nullptr, ctx, TRUE);
    if (!row) return FALSE;
    *static_cast<DWORD*>(row->pValue) = 0;
    return TRUE;
}

BOOL ResetConfigVariables(PortContext* ctx, BOOL publish) {
    StatusVariable* ps = LookupStatusVariable("PrinterStatus", ctx ? ctx->pVarTable : nullptr, ctx);
    if (!ps) return FALSE;
    DWORD m = ps->pValue ? static_cast<DWORD*>(ps->pValue)[1] : 0;
    const DWORD served[2] = {kSupportedMaskLow, kSupportedMaskHigh};
    // A known printer that answers keeps the configuration it reported.
    if (!(ctx->status & ST_NO_ANSWER) && !(m & 0x100) && ModelMasksMeet(ctx->qwStatusMask, served)) {
        if (publish) UpdateSRM_All(ctx);
        return TRUE;
    }
    if (StatusVariable* icon = FindStatusVariable("IconState", ctx->pVarTable, ctx, TRUE)) {
        *static_cast<DWORD*>(icon->pValue) = 0xFFFFFFFF;
        icon->bChanged = 1;
    }
    if (StatusVariable* bins = LookupStatusVariable("PrinterBinConfig", ctx->pVarTable, ctx))
        SetDefaultBinConfig(ctx, bins);
    if (StatusVariable* opts = LookupStatusVariable("PrinterOptConfig", ctx->pVarTable, ctx))
        SetDefaultOptConfig(ctx, opts);
    if (StatusVariable* feeder = FindStatusVariable("CurrentFeeder", ctx->pVarTable, ctx, TRUE))
        SetDefaultCurrentFeeder(ctx, feeder);
    // Every row touched is marked; the caller's flag alone decides whether
    // they go out now or with the next publication.
    if (publish) UpdateSRM_All(ctx);
    return TRUE;
}

BOOL SetPrintingStatus(PortContext* ctx, BOOL on) {
    StatusVariable* row = FindStatusVariable("PrinterStatus", ctx ? ctx->pVarTable : nullptr, ctx, TRUE);
    if (!row) return FALSE;
    auto* copy = static_cast<DWORD*>(MemAlloc(12));
    if (!copy) return FALSE;
    memcpy(copy, row->pValue, 12);
    if (on)
        copy[2] |= 0x8;
    else
        copy[2] &= ~0x8u;
    if (memcmp(copy, row->pValue, 12) == 0) {
        MemFree(copy);
        return FALSE;
    }
    MemFree(row->pValue);
    row->pValue = copy;
    row->bChanged = 1;
    UpdateIconState(ctx, copy[0], copy[1], copy[2]);
    UpdateSRM_All(ctx);
    SetPortStatusAll(ctx);
    return TRUE;
}

BOOL SetJobStatusBits(PortContext* ctx, DWORD mask, BOOL set) {
    if (!ctx) return FALSE;
    // The binding must not be dropped between the read and the publication.
    PortLock lock(ctx);
    if (!ctx->pVarTable || !ctx->pCurBind) return FALSE;
    StatusVariable* row = LookupStatusVariable("JobStatus", ctx->pVarTable, ctx);
    if (!row || !row->pValue) return FALSE;
    SrmBinding* b = ctx->pCurBind;
    if (!b->hManager || !b->pfnGetPrinterStatusA) return FALSE;
    DWORD size = VariableValueSize(row);
    auto* scratch = static_cast<DWORD*>(MemAlloc(size < 4 ? 4 : size));
    if (!scratch) return FALSE;
    DWORD needed = 0;
    if (b->pfnGetPrinterStatusA(b->hManager, row->pszName, scratch, size, &needed) != 0) {
        MemFree(scratch);
        return FALSE;
    }
    DWORD before = scratch[0];
    scratch[0] = set ? (before | mask) : (before & ~mask);
    if (scratch[0] == before) {
        MemFree(scratch);
        return FALSE;
    }
    // The manager's word, not ours, is what goes out; our own value stays.
    void* own = row->pValue;
    row->pValue = scratch;
    row->bChanged = 1;
    UpdateSRM_All(ctx);
    if (row->pValue) MemFree(row->pValue);
    row->pValue = own;
    return TRUE;
}

BOOL SetPrinterExtStatus(PortContext* ctx) {
    StatusVariable* row = FindStatusVariable("PrinterExtStatus", ctx ? ctx->pVarTable : nullptr, ctx, TRUE);
    if (!row || !row->pValue) return FALSE;
    DWORD& value = *static_cast<DWORD*>(row->pValue);
    if (!(ctx->dwPortStatus & 0x1)) {
        ctx->dwPortStatus = 0;
        value &= ~0x7u;
    } else {
        value = 1;
    }
    if (ctx->dwPortStatus & 0x4) value |= 0x6;
    if (ctx->pBindList) {
        row->bChanged = 1;
        UpdateSRM_All(ctx);
        SetPortStatusAll(ctx);
    }
    return TRUE;
}

void ChoosePortStatus(const DWORD* words, DWORD* status, DWORD* severity) {
    *status = 0;
    *severity = 0;
    if (!words) return;
    for (const PortStatusRow* r = kPortStatusTable; r->dwMaskM || r->dwMaskL; ++r) {
        if ((words[1] & r->dwMaskM) || (words[2] & r->dwMaskL)) {
            *status = r->dwStatus;
            *severity = r->dwSeverity;
            return;
        }
    }
}

BOOL SetPortStatus(PortContext* ctx, SrmBinding* bind, const DWORD* words) {
    if (!ctx || !bind || !bind->hPrinter || !bind->hManager) return FALSE;
    // Shared by every port and process; never waited for.
    UniqueKernelHandle mutex(CreateMutexW(nullptr, FALSE, kPortStatusMutex));
    if (!mutex) return FALSE;
    DWORD wait = WaitForSingleObject(mutex.get(), 0);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return FALSE;
    DWORD status = 0, severity = 0;
    if (ctx->pBindList && ModelMasksMeet(ctx->qwStatusMask, ctx->pBindList->qwModelMask))
        ChoosePortStatus(words, &status, &severity);
    ctx->dwPortSeverity = severity;
    PORT_INFO_3W info = {};
    info.dwStatus = status;
    info.pszStatus = nullptr;
    info.dwSeverity = severity;
    BOOL ok = SetPortW(nullptr, ctx->pszPortName, 3, reinterpret_cast<LPBYTE>(&info));
    ReleaseMutex(mutex.get());
    return ok;
}

BOOL SetPortStatusAll(PortContext* ctx) {
    if (!ctx) return FALSE;
    PortLock lock(ctx);   // the walk must not meet a binding being dropped
    StatusVariable* ps = LookupStatusVariable("PrinterStatus", ctx ? ctx->pVarTable : nullptr, ctx);
    if (!ps || !ps->pValue) return FALSE;
    DWORD words[3];
    memcpy(words, ps->pValue, sizeof(words));
    BOOL all = TRUE;
    for (SrmBinding* b = ctx->pBindList; b; b = b->pNext)
        if (!SetPortStatus(ctx, b, words)) all = FALSE;
    return all;
}
