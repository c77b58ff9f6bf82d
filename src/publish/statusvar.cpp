#include "publish/statusvar.h"

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

bool MasksMeet(const DWORD a[2], const DWORD b[2]) { return (a[0] & b[0]) || (a[1] & b[1]); }

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
    for (StatusVariable* row = table; row->pszName; ++row) {
        if (strcmp(row->pszName, name) != 0) continue;
        bool all = row->qwModelMask[0] == 0xFFFFFFFF && row->qwModelMask[1] == 0xFFFFFFFF;
        if (!all && !MasksMeet(row->qwModelMask, ctx->qwStatusMask)) continue;
        if (create && !row->pValue) {
            row->pValue = MemAlloc(row->cbValue ? row->cbValue : 1);
            if (!row->pValue) return nullptr;
        }
        return row;
    }
    return nullptr;
}

DWORD VariableValueSize(const StatusVariable* row) {
    if (!row) return 0;
    if (row->cbValue != VAR_SIZE_VARIABLE) return row->cbValue;
    if (!row->pValue) return VAR_SIZE_VARIABLE;
    return row->cbElement * *static_cast<const DWORD*>(row->pValue) + 4;
}

BOOL ResetJobStatus(PortContext* ctx) {
    StatusVariable* row = FindStatusVariable("JobStatus", ctx ? ctx->pVarTable : nullptr, ctx, TRUE);
    if (!row) return FALSE;
    *static_cast<DWORD*>(row->pValue) = 0;
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

// --- Not built yet: publication to the status report managers and the
// spooler port-status mirror arrive with the manager bindings. ---

DWORD UpdateSRM_All(PortContext* ctx) {
    if (!ctx || !ctx->pVarTable) return 0xFFFFFFFF;
    return 0;  // placeholder: no manager bindings exist yet
}

BOOL SetPortStatusAll(PortContext* ctx) { return ctx && ctx->pVarTable ? TRUE : FALSE; }  // placeholder

BOOL ResetErrVariables(PortContext* ctx, BOOL publish) {  // placeholder
    return FindStatusVariable("PrinterStatus", ctx ? ctx->pVarTable : nullptr, ctx, FALSE) ? TRUE : FALSE;
}

BOOL ResetConfigVariables(PortContext* ctx, BOOL publish) {  // placeholder
    return FindStatusVariable("PrinterStatus", ctx ? ctx->pVarTable : nullptr, ctx, FALSE) ? TRUE : FALSE;
}
