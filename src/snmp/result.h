// The OS-free half of the SNMP requests: parsing a caller's OID text into a
// request binding, turning a response binding into a result, and ordering
// the results of a broadcast.
#pragma once
#include "snmp/ber.h"

constexpr int SNMP_MAX_RESULTS = 64;
constexpr int SNMP_TEXT = 256;             // value, OID and address texts

struct SnmpResult {
    char szAddress[SNMP_TEXT];             // responder, dotted IPv4
    char szValue[SNMP_TEXT];               // text requests
    int32_t lValue;                        // integer requests
    char szName[512];                      // OID of the first binding
};

// Splits text at '.', ',', blanks and tabs (empty pieces skipped), each piece
// read like atol. Fills the binding's name and, for a get, its placeholder
// value of the requested type. Returns 0 when the text has more pieces than a
// name holds (nothing is sent then), else 1.
int SnmpParseOidText(const char* text, SnmpVarBind* vb);

// Placeholder value of a get or get-next: as many zero bytes as the first
// piece of the OID text has characters (INTEGER 0 for integer requests).
void SnmpSetRequestValue(const char* text, uint8_t type, SnmpVarBind* vb);

// Fills a result (all but the address) from a response's first binding,
// converted by the REQUESTED value type.
void SnmpFillResult(SnmpResult* res, const SnmpMessage* resp, uint8_t requestedType);

// Exchange sort of the results by responder address text; a text that is a
// prefix of another is never moved past it.
void SnmpSortResults(SnmpResult* results, uint32_t count);
