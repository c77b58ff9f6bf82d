// Decodes arbitrary datagrams; whenever one is accepted, checks the record's
// invariants, then encodes its bindings again and requires the second decode
// to give back the same bindings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "snmp/ber.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

void CheckOid(uint16_t cb) { Check(cb % 4 == 0 && cb <= SNMP_MAX_SUBIDS * 4 && cb != 4); }

void CheckBinding(const SnmpVarBind& vb) {
    CheckOid(vb.cbName);
    switch (SnmpClassOf(vb.bType)) {
    case SNMP_CLASS_INTEGER: Check(vb.cbValue == 4); break;
    case SNMP_CLASS_OCTETS: Check(vb.cbValue <= SNMP_MAX_VALUE); break;
    case SNMP_CLASS_OID: CheckOid(vb.cbValue); break;
    default: Check(vb.bType == BER_NULL && vb.cbValue == 0); break;
    }
}

// An empty OID goes out as 06 01 00 and so comes back as 0.0.
bool SameOid(const uint32_t* a, uint16_t cba, const uint32_t* b, uint16_t cbb) {
    static const uint32_t zeros[2] = {0, 0};
    if (cba == 0) a = zeros, cba = 8;
    if (cbb == 0) b = zeros, cbb = 8;
    return cba == cbb && memcmp(a, b, cba) == 0;
}

bool SameBinding(const SnmpVarBind& a, const SnmpVarBind& b) {
    if (a.bType != b.bType || !SameOid(a.Name, a.cbName, b.Name, b.cbName)) return false;
    if (SnmpClassOf(a.bType) == SNMP_CLASS_OID) {
        uint32_t x[SNMP_MAX_SUBIDS], y[SNMP_MAX_SUBIDS];
        memcpy(x, a.Value, a.cbValue);
        memcpy(y, b.Value, b.cbValue);
        return SameOid(x, a.cbValue, y, b.cbValue);
    }
    return a.cbValue == b.cbValue && memcmp(a.Value, b.Value, a.cbValue) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SnmpMessage msg, request, again;
    static uint8_t buffer[70000];
    if (size > SNMP_MAX_DATAGRAM) return 0;
    if (SnmpDecodeMessage(&msg, data, static_cast<uint32_t>(size)) != 0) return 0;

    Check(strlen(msg.szCommunity) <= SNMP_MAX_COMMUNITY);
    Check(msg.bPduKind == SNMP_PDU_RESPONSE || msg.bPduKind == SNMP_PDU_TRAP);
    const uint16_t count = msg.bPduKind == SNMP_PDU_RESPONSE ? msg.Pdu.cBindings : msg.Trap.cBindings;
    const SnmpVarBind* bindings = msg.bPduKind == SNMP_PDU_RESPONSE ? msg.Pdu.Bindings : msg.Trap.Bindings;
    Check(count <= SNMP_MAX_BINDINGS);
    if (msg.bPduKind == SNMP_PDU_TRAP) CheckOid(msg.Trap.cbEnterprise);
    for (uint16_t i = 0; i < count; i++) CheckBinding(bindings[i]);

    // The same bindings as a request, encoded, turned into a response and
    // decoded again.
    memset(&request, 0, sizeof request);
    request.Version = msg.Version;
    memcpy(request.szCommunity, msg.szCommunity, sizeof request.szCommunity);
    request.bPduKind = SNMP_PDU_GET;
    request.Pdu.RequestId = msg.bPduKind == SNMP_PDU_RESPONSE ? msg.Pdu.RequestId : 1;
    request.Pdu.cBindings = count;
    memcpy(request.Pdu.Bindings, bindings, count * sizeof(SnmpVarBind));
    uint32_t n = SnmpEncodeMessage(&request, buffer, sizeof buffer);
    Check(n > 0 && n <= SNMP_MAX_DATAGRAM);
    size_t header = buffer[1] < 0x80 ? 2 : 2 + (buffer[1] & 0x7F);
    size_t pduAt = header + 2 + static_cast<size_t>(buffer[header + 1]);          // after the version
    pduAt += (buffer[pduAt + 1] < 0x80 ? 2 : 2 + (buffer[pduAt + 1] & 0x7F)) +    // after the community
             strlen(request.szCommunity);
    Check(buffer[pduAt] == BER_GET);
    buffer[pduAt] = BER_RESPONSE;
    Check(SnmpDecodeMessage(&again, buffer, n) == 0);
    Check(again.Version == msg.Version && strcmp(again.szCommunity, msg.szCommunity) == 0);
    Check(again.Pdu.RequestId == request.Pdu.RequestId && again.Pdu.ErrorStatus == 0 && again.Pdu.ErrorIndex == 0);
    Check(again.Pdu.cBindings == count);
    for (uint16_t i = 0; i < count; i++) Check(SameBinding(bindings[i], again.Pdu.Bindings[i]));
    return 0;
}
