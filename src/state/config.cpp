#include "state/config.h"
#include "state/statusvar.h"

#include <cstring>

const SupportedModel kSupportedModels[] = {
    {"Tessaroline 7700 (LV)", 21, "VEK Tessaroline 7700 (LV)", 25, L"VEK Tessaroline 7700 (LV)", 25,
     {kSupportedMaskLow, kSupportedMaskHigh}, 0},
    {nullptr, 0, nullptr, 0, nullptr, 0, {0, 0}, 0},
};

namespace {

struct OptNode {
    OptConfigEntry e;
    OptNode* pNext;
};

// Puts a node after the first node whose id is not below the new id while
// its successor's id is; otherwise at the end. A list kept in ascending
// order thus keeps its order and gains the new entry at its end.
void InsertOption(OptNode** head, OptNode* node) {
    if (!*head) {
        *head = node;
        return;
    }
    OptNode* last = nullptr;
    for (OptNode* n = *head; n; n = n->pNext) {
        if (n->e.wId >= node->e.wId && n->pNext && n->pNext->e.wId < node->e.wId) {
            node->pNext = n->pNext;
            n->pNext = node;
            return;
        }
        last = n;
    }
    last->pNext = node;
}

void FreeOptions(OptNode* n) {
    while (n) {
        OptNode* next = n->pNext;
        MemFree(n);
        n = next;
    }
}

// The stored value as a list, leaving out (skipId, skipSub) when asked.
// False when memory runs out.
bool ListOptions(const StatusVariable* row, OptNode** head, bool skip, WORD skipId, WORD skipSub) {
    *head = nullptr;
    if (!row->pValue) return true;
    DWORD count = *static_cast<const DWORD*>(row->pValue);
    auto* entries = reinterpret_cast<const OptConfigEntry*>(static_cast<const BYTE*>(row->pValue) + 4);
    for (DWORD i = 0; i < count; ++i) {
        if (skip && entries[i].wId == skipId && entries[i].wSubId == skipSub) continue;
        auto* node = static_cast<OptNode*>(MemAlloc(sizeof(OptNode)));
        if (!node) {
            FreeOptions(*head);
            *head = nullptr;
            return false;
        }
        node->e = entries[i];
        InsertOption(head, node);
    }
    return true;
}

// Writes the list as a value; replaces the stored one when it differs.
// Returns 1 when the variable changed (and marks it), 0 otherwise.
BOOL StoreOptions(StatusVariable* row, OptNode* head) {
    DWORD count = 0;
    for (OptNode* n = head; n; n = n->pNext) ++count;
    DWORD cb = 4 + count * sizeof(OptConfigEntry);
    auto* value = static_cast<BYTE*>(MemAlloc(cb));
    if (!value) return FALSE;
    *reinterpret_cast<DWORD*>(value) = count;
    auto* out = reinterpret_cast<OptConfigEntry*>(value + 4);
    for (OptNode* n = head; n; n = n->pNext) *out++ = n->e;
    if (row->pValue && VariableValueSize(row) == cb && memcmp(row->pValue, value, cb) == 0) {
        MemFree(value);
        return FALSE;
    }
    MemFree(row->pValue);
    row->pValue = value;
    row->bChanged = 1;
    return TRUE;
}

}  // namespace

BOOL AddOption(DWORD id, DWORD subId, DWORD value, PortContext* ctx) {
    StatusVariable* row = LookupStatusVariable("PrinterOptConfig", ctx ? ctx->pVarTable : nullptr, ctx);
    if (!row) return FALSE;
    if (row->pValue) {
        DWORD count = *static_cast<DWORD*>(row->pValue);
        auto* entries = reinterpret_cast<OptConfigEntry*>(static_cast<BYTE*>(row->pValue) + 4);
        for (DWORD i = 0; i < count; ++i)
            if (entries[i].wId == id && entries[i].wSubId == subId) return FALSE;
    }
    OptNode* head;
    if (!ListOptions(row, &head, false, 0, 0)) return FALSE;
    auto* node = static_cast<OptNode*>(MemAlloc(sizeof(OptNode)));
    if (!node) {
        FreeOptions(head);
        return FALSE;
    }
    node->e = {static_cast<uint16_t>(id), static_cast<uint16_t>(subId), value};
    InsertOption(&head, node);
    BOOL changed = StoreOptions(row, head);
    FreeOptions(head);
    return changed;
}

BOOL RemoveOption(DWORD id, DWORD subId, PortContext* ctx) {
    StatusVariable* row = LookupStatusVariable("PrinterOptConfig", ctx ? ctx->pVarTable : nullptr, ctx);
    if (!row) return FALSE;
    if (!row->pValue) {
        row->pValue = MemAlloc(4);   // count 0
        if (!row->pValue) return FALSE;
        row->bChanged = 1;
        return TRUE;
    }
    OptNode* head;
    if (!ListOptions(row, &head, true, static_cast<WORD>(id), static_cast<WORD>(subId))) return FALSE;
    BOOL changed = StoreOptions(row, head);
    FreeOptions(head);
    return changed;
}

BOOL SetDefaultBinConfig(PortContext* ctx, StatusVariable* row) {
    if (!row) return FALSE;
    auto* value = static_cast<BYTE*>(MemAlloc(kBinConfigSize));
    if (!value) return FALSE;
    *reinterpret_cast<DWORD*>(value) = kBinConfigEntries;
    memcpy(value + 4, kDefaultBinConfig, sizeof(kDefaultBinConfig));
    // Equal values have the same count, so the stored one is 76 bytes then.
    if (row->pValue && VariableValueSize(row) == kBinConfigSize && memcmp(row->pValue, value, kBinConfigSize) == 0) {
        MemFree(value);
        return TRUE;
    }
    MemFree(row->pValue);
    row->pValue = value;
    row->bChanged = 1;
    return TRUE;
}

BOOL SetDefaultCurrentFeeder(PortContext* ctx, StatusVariable* row) {
    if (!row || !row->pValue) return FALSE;
    DWORD& feeder = *static_cast<DWORD*>(row->pValue);
    if (feeder == 1) return FALSE;
    feeder = 1;
    row->bChanged = 1;
    return TRUE;
}

BOOL SetDefaultOptConfig(PortContext* ctx, StatusVariable* row) {
    AddOption(1, 1, 0, ctx);
    return AddOption(5001, 5001, 0, ctx);
}
