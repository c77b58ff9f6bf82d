// BER encoder and decoder for the subset of SNMP version 1 this monitor
// speaks. Plain fixed-size records owned by the caller; no OS calls and no
// allocation, so it builds and is tested natively as well as in the DLL.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

// Tags.
constexpr uint8_t BER_INTEGER      = 0x02;
constexpr uint8_t BER_OCTET_STRING = 0x04;
constexpr uint8_t BER_NULL         = 0x05;
constexpr uint8_t BER_OID          = 0x06;
constexpr uint8_t BER_SEQUENCE     = 0x30;
constexpr uint8_t BER_IPADDRESS    = 0x40;
constexpr uint8_t BER_COUNTER      = 0x41;
constexpr uint8_t BER_GAUGE        = 0x42;
constexpr uint8_t BER_TIMETICKS    = 0x43;
constexpr uint8_t BER_OPAQUE       = 0x44;
constexpr uint8_t BER_GET          = 0xA0;
constexpr uint8_t BER_GETNEXT      = 0xA1;
constexpr uint8_t BER_RESPONSE     = 0xA2;
constexpr uint8_t BER_SET          = 0xA3;
constexpr uint8_t BER_TRAP         = 0xA4;

// PDU kinds of SnmpMessage::bPduKind.
constexpr uint8_t SNMP_PDU_GET      = 1;
constexpr uint8_t SNMP_PDU_GETNEXT  = 2;
constexpr uint8_t SNMP_PDU_RESPONSE = 3;
constexpr uint8_t SNMP_PDU_SET      = 4;
constexpr uint8_t SNMP_PDU_TRAP     = 5;

constexpr int SNMP_MAX_SUBIDS   = 68;     // sub-identifiers of a name
constexpr int SNMP_MAX_VALUE    = 1024;   // bytes of a value
constexpr int SNMP_MAX_BINDINGS = 30;
constexpr int SNMP_MAX_COMMUNITY = 32;    // bytes accepted in a received message
constexpr uint32_t SNMP_MAX_DATAGRAM = 65535;

// OID lengths count BYTES of the sub-identifier array (4 per arc).
struct SnmpVarBind {
    uint16_t cbName;
    uint32_t Name[SNMP_MAX_SUBIDS];
    uint8_t bType;                        // the value's tag byte
    uint16_t cbValue;                     // 4 for integers, 4 x arcs for OIDs
    alignas(4) uint8_t Value[SNMP_MAX_VALUE];
};

struct SnmpPdu {
    int32_t RequestId;
    int32_t ErrorStatus;
    int32_t ErrorIndex;
    uint16_t cBindings;
    SnmpVarBind Bindings[SNMP_MAX_BINDINGS];
};

struct SnmpTrapPdu {
    uint16_t cbEnterprise;
    uint32_t Enterprise[SNMP_MAX_SUBIDS];
    uint32_t dwAgentAddr;                 // the four bytes as received
    int32_t GenericTrap;
    int32_t SpecificTrap;
    uint32_t TimeStamp;
    uint16_t cBindings;
    SnmpVarBind Bindings[SNMP_MAX_BINDINGS];
};

struct SnmpMessage {
    int32_t Version;
    // One byte beyond the 32 accepted, so a 32-byte community stays terminated.
    char szCommunity[SNMP_MAX_COMMUNITY + 1];
    uint8_t bPduKind;
    union {
        SnmpPdu Pdu;                      // kinds 1 to 4
        SnmpTrapPdu Trap;                 // kind 5
    };
};

// Value classes of a binding's type byte.
enum SnmpValueClass { SNMP_CLASS_EMPTY, SNMP_CLASS_INTEGER, SNMP_CLASS_OCTETS, SNMP_CLASS_OID };

__attribute__((always_inline)) inline SnmpValueClass SnmpClassOf(uint8_t type) {
    switch (type) {
    case BER_INTEGER: case BER_COUNTER: case BER_GAUGE: case BER_TIMETICKS:
        return SNMP_CLASS_INTEGER;
    case BER_OCTET_STRING: case BER_IPADDRESS: case BER_OPAQUE:
        return SNMP_CLASS_OCTETS;
    case BER_OID:
        return SNMP_CLASS_OID;
    default:
        return SNMP_CLASS_EMPTY;
    }
}

// The integer-class value lives in the first four value bytes, machine order.
inline int32_t SnmpVarBindInt(const SnmpVarBind* vb) {
    int32_t v;
    memcpy(&v, vb->Value, 4);
    return v;
}
inline void SnmpVarBindSetInt(SnmpVarBind* vb, uint8_t type, int32_t v) {
    vb->bType = type;
    vb->cbValue = 4;
    memcpy(vb->Value, &v, 4);
}

// Writes the BER form of msg into buffer and returns its length. Returns 0
// only when it would not fit in cbBuffer bytes (a one-binding request is far
// below the 2048 bytes the requests use). Overlong counts in the record are
// clamped to the record's own array sizes.
uint32_t SnmpEncodeMessage(const SnmpMessage* msg, uint8_t* buffer, uint32_t cbBuffer);

// Decodes one whole datagram into msg (cleared by the caller beforehand).
// 0 when the bytes are exactly one message this codec understands, else -1;
// after -1 the record may be partly written and must not be used.
int SnmpDecodeMessage(SnmpMessage* msg, const uint8_t* bytes, uint32_t length);

// Dotted text of an OID array; *pcb is its byte length on entry and the
// number of characters written on return. The text is cut (still
// terminated) if it would not fit in cchText.
void SnmpOidToText(const uint32_t* oid, uint16_t* pcb, char* text, size_t cchText);
