// Request-side helpers of the SNMP client that need no sockets.
#include "snmp/result.h"

namespace {

inline bool IsDelimiter(char c) { return c == '.' || c == ',' || c == ' ' || c == '\t'; }

// atol on one piece: optional sign, leading digits only, wrapping instead of
// overflowing; a piece without digits gives 0.
uint32_t PieceValue(const char* p, const char* end) {
    bool neg = false;
    if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
    uint32_t v = 0;
    while (p < end && *p >= '0' && *p <= '9') v = v * 10 + static_cast<uint32_t>(*p++ - '0');
    return neg ? 0u - v : v;
}

} // namespace

int SnmpParseOidText(const char* text, SnmpVarBind* vb) {
    uint32_t count = 0;
    const char* p = text;
    while (*p) {
        while (*p && IsDelimiter(*p)) p++;
        if (!*p) break;
        const char* start = p;
        while (*p && !IsDelimiter(*p)) p++;
        if (count >= static_cast<uint32_t>(SNMP_MAX_SUBIDS)) return 0;
        vb->Name[count++] = PieceValue(start, p);
    }
    vb->cbName = static_cast<uint16_t>(count * 4);
    return 1;
}

void SnmpSetRequestValue(const char* text, uint8_t type, SnmpVarBind* vb) {
    while (*text && IsDelimiter(*text)) text++;
    uint32_t n = 0;
    while (text[n] && !IsDelimiter(text[n])) n++;
    vb->bType = type;
    if (SnmpClassOf(type) == SNMP_CLASS_INTEGER) n = 4;
    if (n > SNMP_MAX_VALUE) n = SNMP_MAX_VALUE;
    vb->cbValue = static_cast<uint16_t>(n);
    memset(vb->Value, 0, n);
}

void SnmpFillResult(SnmpResult* res, const SnmpMessage* resp, uint8_t requestedType) {
    memset(res->szValue, 0, sizeof res->szValue);
    res->lValue = 0;
    res->szName[0] = '\0';
    if (resp->Pdu.cBindings == 0) return;                // nothing to convert
    const SnmpVarBind& vb = resp->Pdu.Bindings[0];
    uint16_t cb = vb.cbName;
    SnmpOidToText(vb.Name, &cb, res->szName, sizeof res->szName);
    if (requestedType == BER_OCTET_STRING) {
        size_t n = vb.cbValue < SNMP_TEXT - 1 ? vb.cbValue : SNMP_TEXT - 1;
        for (size_t i = 0; i < n && vb.Value[i]; i++) res->szValue[i] = static_cast<char>(vb.Value[i]);
    } else if (vb.cbValue >= 4) {
        res->lValue = SnmpVarBindInt(&vb);
    }
}

void SnmpSortResults(SnmpResult* results, uint32_t count) {
    for (uint32_t i = 0; i + 1 < count; i++) {
        for (uint32_t j = i + 1; j < count; j++) {
            const signed char* a = reinterpret_cast<const signed char*>(results[i].szAddress);
            const signed char* b = reinterpret_cast<const signed char*>(results[j].szAddress);
            bool swap = false;
            for (size_t k = 0; a[k]; k++) {
                if (!b[k]) break;
                if (a[k] != b[k]) {
                    swap = a[k] > b[k];
                    break;
                }
            }
            if (swap) {
                SnmpResult t;
                memcpy(&t, &results[i], sizeof t);
                memcpy(&results[i], &results[j], sizeof t);
                memcpy(&results[j], &t, sizeof t);
            }
        }
    }
}
