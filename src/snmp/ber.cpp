// BER codec of the SNMP client. The decoder reads untrusted datagrams: every
// element is read through a cursor bounded by its enclosing element's end,
// and every length is checked against that end before a byte is touched.
#include "snmp/ber.h"

// Small helpers of the hot path are forced inline: the codec runs on every
// poll of every port, and the calls cost more than the work.
#define BER_INLINE inline __attribute__((always_inline))

namespace {

// ---------------------------------------------------------------- decoding

struct Cursor {
    const uint8_t* p;
    const uint8_t* end;
    size_t left() const { return static_cast<size_t>(end - p); }
};

// Reads one element's tag and definite length; on success `body` spans its
// contents and `c` has moved past the whole element.
BER_INLINE bool ReadElement(Cursor& c, uint8_t& tag, Cursor& body) {
    if (c.left() < 2) return false;
    tag = c.p[0];
    if ((tag & 0x1F) == 0x1F) return false;          // multi-byte tag numbers
    uint32_t len = c.p[1];
    c.p += 2;
    if (len & 0x80) {
        uint32_t n = len & 0x7F;                       // 0: indefinite form
        if (n < 1 || n > 2 || n > c.left()) return false;
        len = c.p[0];
        if (n == 2) len = (len << 8) | c.p[1];
        c.p += n;
    }
    if (len > c.left()) return false;
    body.p = c.p;
    body.end = c.p + len;
    c.p = body.end;
    return true;
}

BER_INLINE bool Expect(Cursor& c, uint8_t want, Cursor& body) {
    uint8_t tag;
    return ReadElement(c, tag, body) && tag == want;
}

// At most four content bytes, sign-extended from the first; empty gives 0.
BER_INLINE bool IntegerContent(const Cursor& body, int32_t& out) {
    size_t n = body.left();
    if (n > 4) return false;
    uint32_t v = (n && (body.p[0] & 0x80)) ? 0xFFFFFFFFu : 0u;
    for (size_t i = 0; i < n; i++) v = (v << 8) | body.p[i];
    out = static_cast<int32_t>(v);
    return true;
}

BER_INLINE bool ReadInteger(Cursor& c, uint8_t tag, int32_t& out) {
    Cursor body;
    return Expect(c, tag, body) && IntegerContent(body, out);
}

// The first byte always stands for two arcs (b / 40, b % 40); the rest are
// base-128 groups. Arcs wider than 32 bits keep their low 32 bits.
BER_INLINE bool OidContent(const Cursor& body, uint32_t* arcs, uint16_t& cb) {
    size_t n = body.left();
    if (n == 0) {
        cb = 0;
        return true;
    }
    arcs[0] = body.p[0] / 40;
    arcs[1] = body.p[0] % 40;
    unsigned count = 2;
    uint32_t acc = 0;
    bool open = false;
    for (size_t i = 1; i < n; i++) {
        uint8_t b = body.p[i];
        if (b & 0x80) {
            acc = (acc << 7) | (b & 0x7F);
            open = true;
            continue;
        }
        if (count >= SNMP_MAX_SUBIDS) return false;
        arcs[count++] = (acc << 7) | b;
        acc = 0;
        open = false;
    }
    if (open) return false;                            // cut inside an arc
    cb = static_cast<uint16_t>(count * 4);
    return true;
}

BER_INLINE bool ReadBinding(Cursor& list, SnmpVarBind& vb) {
    Cursor b, name, val;
    uint8_t tag;
    if (!Expect(list, BER_SEQUENCE, b)) return false;
    if (!Expect(b, BER_OID, name) || !OidContent(name, vb.Name, vb.cbName)) return false;
    if (!ReadElement(b, tag, val)) return false;
    vb.bType = tag;
    switch (SnmpClassOf(tag)) {
    case SNMP_CLASS_INTEGER: {
        int32_t v;
        if (!IntegerContent(val, v)) return false;
        vb.cbValue = 4;
        memcpy(vb.Value, &v, 4);
        break;
    }
    case SNMP_CLASS_OCTETS: {
        size_t n = val.left();
        if (n > SNMP_MAX_VALUE) return false;
        memcpy(vb.Value, val.p, n);
        vb.cbValue = static_cast<uint16_t>(n);
        break;
    }
    case SNMP_CLASS_OID: {
        uint32_t arcs[SNMP_MAX_SUBIDS];
        uint16_t cb = 0;
        if (!OidContent(val, arcs, cb)) return false;
        memcpy(vb.Value, arcs, cb);
        vb.cbValue = cb;
        break;
    }
    default:
        // NULL is the only other value accepted (not the v2 exceptions).
        if (tag != BER_NULL || val.left() != 0) return false;
        vb.cbValue = 0;
        break;
    }
    return b.p == b.end;
}

bool ReadBindingList(Cursor& c, uint16_t& count, SnmpVarBind* bindings) {
    Cursor list;
    if (!Expect(c, BER_SEQUENCE, list)) return false;
    unsigned n = 0;
    while (list.p < list.end) {
        if (n >= SNMP_MAX_BINDINGS) return false;
        if (!ReadBinding(list, bindings[n])) return false;
        n++;
    }
    count = static_cast<uint16_t>(n);
    return true;
}

bool ReadResponse(Cursor& pdu, SnmpPdu& out) {
    return ReadInteger(pdu, BER_INTEGER, out.RequestId) &&
           ReadInteger(pdu, BER_INTEGER, out.ErrorStatus) &&
           ReadInteger(pdu, BER_INTEGER, out.ErrorIndex) &&
           ReadBindingList(pdu, out.cBindings, out.Bindings) &&
           pdu.p == pdu.end;
}

bool ReadTrap(Cursor& pdu, SnmpTrapPdu& out) {
    Cursor body;
    if (!Expect(pdu, BER_OID, body) || !OidContent(body, out.Enterprise, out.cbEnterprise)) return false;
    if (!Expect(pdu, BER_IPADDRESS, body) || body.left() != 4) return false;
    memcpy(&out.dwAgentAddr, body.p, 4);
    int32_t ticks;
    if (!ReadInteger(pdu, BER_INTEGER, out.GenericTrap) ||
        !ReadInteger(pdu, BER_INTEGER, out.SpecificTrap) ||
        !ReadInteger(pdu, BER_TIMETICKS, ticks))
        return false;
    out.TimeStamp = static_cast<uint32_t>(ticks);
    return ReadBindingList(pdu, out.cBindings, out.Bindings) && pdu.p == pdu.end;
}

// ---------------------------------------------------------------- encoding

inline uint32_t LengthSize(uint32_t len) { return len < 128 ? 1 : len < 256 ? 2 : 3; }
inline uint32_t ElementSize(uint32_t content) { return 1 + LengthSize(content) + content; }

// Minimal two's complement: drop the top byte while the top nine bits agree,
// that is, keep the bytes needed for the significant bits plus a sign bit.
BER_INLINE uint32_t IntegerSize(int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    uint32_t m = u ^ static_cast<uint32_t>(v >> 31);   // leading sign bits become zeros
    uint32_t bits = m ? 33 - static_cast<uint32_t>(__builtin_clz(m)) : 1;
    return (bits + 7) / 8;
}

inline uint32_t Base128Size(uint32_t v) {
    uint32_t n = 1;
    while (v >>= 7) n++;
    return n;
}

inline uint32_t OidContentSize(const uint32_t* arcs, uint32_t count) {
    uint32_t size = 1;
    for (uint32_t i = 2; i < count; i++) size += arcs[i] < 0x80 ? 1 : Base128Size(arcs[i]);
    return size;
}

inline uint32_t ArcCount(uint16_t cb, uint32_t max) {
    uint32_t n = cb / 4u;
    return n < max ? n : max;
}

inline uint32_t ValueLength(const SnmpVarBind& vb) {
    return vb.cbValue < SNMP_MAX_VALUE ? vb.cbValue : SNMP_MAX_VALUE;
}

// OID values are rare in requests; kept out of line so the common path
// stays small. The value bytes are copied out as an array of arcs.
__attribute__((noinline)) uint32_t OidValueSize(const SnmpVarBind& vb) {
    uint32_t arcs[SNMP_MAX_VALUE / 4];
    uint32_t count = ArcCount(vb.cbValue, SNMP_MAX_VALUE / 4);
    memcpy(arcs, vb.Value, count * 4);
    return OidContentSize(arcs, count);
}

struct BindingSizes {
    uint32_t name;      // OID content
    uint32_t value;     // value content
    uint32_t content;   // whole binding content
};

BindingSizes SizeBinding(const SnmpVarBind& vb) {
    BindingSizes s;
    s.name = OidContentSize(vb.Name, ArcCount(vb.cbName, SNMP_MAX_SUBIDS));
    switch (SnmpClassOf(vb.bType)) {
    case SNMP_CLASS_INTEGER: s.value = IntegerSize(SnmpVarBindInt(&vb)); break;
    case SNMP_CLASS_OCTETS: s.value = ValueLength(vb); break;
    case SNMP_CLASS_OID: s.value = OidValueSize(vb); break;
    default: s.value = 0; break;
    }
    s.content = ElementSize(s.name) + ElementSize(s.value);
    return s;
}

inline uint8_t* PutHeader(uint8_t* w, uint8_t tag, uint32_t len) {
    *w++ = tag;
    if (len < 128) {
        *w++ = static_cast<uint8_t>(len);
    } else if (len < 256) {
        *w++ = 0x81;
        *w++ = static_cast<uint8_t>(len);
    } else {
        *w++ = 0x82;
        *w++ = static_cast<uint8_t>(len >> 8);
        *w++ = static_cast<uint8_t>(len);
    }
    return w;
}

inline uint8_t* PutInteger(uint8_t* w, uint8_t tag, int32_t v) {
    uint32_t n = IntegerSize(v);
    uint32_t u = static_cast<uint32_t>(v);
    *w++ = tag;
    *w++ = static_cast<uint8_t>(n);
    for (uint32_t i = n; i-- > 0;) *w++ = static_cast<uint8_t>(u >> (8 * i));
    return w;
}

uint8_t* PutOid(uint8_t* w, const uint32_t* arcs, uint32_t count, uint32_t content) {
    w = PutHeader(w, BER_OID, content);
    uint32_t first = count == 0 ? 0 : count == 1 ? 40 * arcs[0] : 40 * arcs[0] + arcs[1];
    *w++ = static_cast<uint8_t>(first);
    for (uint32_t i = 2; i < count; i++) {
        uint32_t v = arcs[i];
        if (v < 0x80) {                  // nearly every arc of a MIB name
            *w++ = static_cast<uint8_t>(v);
            continue;
        }
        uint32_t n = Base128Size(v);
        for (uint32_t k = n; k-- > 1;) *w++ = static_cast<uint8_t>(0x80 | ((v >> (7 * k)) & 0x7F));
        *w++ = static_cast<uint8_t>(v & 0x7F);
    }
    return w;
}

__attribute__((noinline)) uint8_t* PutOidValue(uint8_t* w, const SnmpVarBind& vb, uint32_t content) {
    uint32_t arcs[SNMP_MAX_VALUE / 4];
    uint32_t count = ArcCount(vb.cbValue, SNMP_MAX_VALUE / 4);
    memcpy(arcs, vb.Value, count * 4);
    return PutOid(w, arcs, count, content);
}

uint8_t* PutBinding(uint8_t* w, const SnmpVarBind& vb, const BindingSizes& s) {
    w = PutHeader(w, BER_SEQUENCE, s.content);
    w = PutOid(w, vb.Name, ArcCount(vb.cbName, SNMP_MAX_SUBIDS), s.name);
    switch (SnmpClassOf(vb.bType)) {
    case SNMP_CLASS_INTEGER:
        return PutInteger(w, vb.bType, SnmpVarBindInt(&vb));
    case SNMP_CLASS_OCTETS:
        w = PutHeader(w, vb.bType, s.value);
        memcpy(w, vb.Value, s.value);
        return w + s.value;
    case SNMP_CLASS_OID: return PutOidValue(w, vb, s.value);
    default:
        *w++ = vb.bType;
        *w++ = 0;
        return w;
    }
}

inline uint8_t PduTag(uint8_t kind) {
    switch (kind) {
    case SNMP_PDU_GET: return BER_GET;
    case SNMP_PDU_GETNEXT: return BER_GETNEXT;
    case SNMP_PDU_SET: return BER_SET;
    default: return 0;                   // nothing else is ever sent
    }
}

} // namespace

uint32_t SnmpEncodeMessage(const SnmpMessage* msg, uint8_t* buffer, uint32_t cbBuffer) {
    // Sizes first, bottom-up, with the same rules used to write.
    uint32_t cCommunity = 0;             // a few bytes: cheaper than a library call
    while (cCommunity < sizeof msg->szCommunity && msg->szCommunity[cCommunity]) cCommunity++;
    const uint8_t pduTag = PduTag(msg->bPduKind);
    const SnmpPdu& pdu = msg->Pdu;
    const uint32_t cBindings = pdu.cBindings < SNMP_MAX_BINDINGS ? pdu.cBindings : SNMP_MAX_BINDINGS;
    BindingSizes sizes[SNMP_MAX_BINDINGS];

    uint32_t list = 0;
    uint32_t pduContent = 0;
    if (pduTag) {
        for (uint32_t i = 0; i < cBindings; i++) {
            sizes[i] = SizeBinding(pdu.Bindings[i]);
            list += ElementSize(sizes[i].content);
        }
        pduContent = 2 + IntegerSize(pdu.RequestId) + 3 + 3 + ElementSize(list);
    }
    const uint32_t content = 2 + IntegerSize(msg->Version) + ElementSize(cCommunity) +
                             (pduTag ? ElementSize(pduContent) : 0);
    const uint32_t total = ElementSize(content);
    if (total > cbBuffer) return 0;

    uint8_t* w = PutHeader(buffer, BER_SEQUENCE, content);
    w = PutInteger(w, BER_INTEGER, msg->Version);
    w = PutHeader(w, BER_OCTET_STRING, cCommunity);
    for (uint32_t i = 0; i < cCommunity; i++) *w++ = static_cast<uint8_t>(msg->szCommunity[i]);
    if (pduTag) {
        w = PutHeader(w, pduTag, pduContent);
        w = PutInteger(w, BER_INTEGER, pdu.RequestId);
        static const uint8_t zeros[6] = {BER_INTEGER, 1, 0, BER_INTEGER, 1, 0};  // status, index
        memcpy(w, zeros, 6);
        w += 6;
        w = PutHeader(w, BER_SEQUENCE, list);
        for (uint32_t i = 0; i < cBindings; i++) w = PutBinding(w, pdu.Bindings[i], sizes[i]);
    }
    return static_cast<uint32_t>(w - buffer);
}

int SnmpDecodeMessage(SnmpMessage* msg, const uint8_t* bytes, uint32_t length) {
    if (!msg || !bytes || length > SNMP_MAX_DATAGRAM) return -1;
    Cursor dgram{bytes, bytes + length};
    Cursor m, body, pdu;
    uint8_t tag;
    if (!Expect(dgram, BER_SEQUENCE, m) || dgram.p != dgram.end) return -1;   // trailing bytes
    if (!ReadInteger(m, BER_INTEGER, msg->Version)) return -1;
    if (!Expect(m, BER_OCTET_STRING, body) || body.left() > SNMP_MAX_COMMUNITY) return -1;
    size_t cc = body.left();
    for (size_t i = 0; i < cc; i++) msg->szCommunity[i] = static_cast<char>(body.p[i]);
    msg->szCommunity[cc] = '\0';
    if (!ReadElement(m, tag, pdu)) return -1;
    if (tag == BER_RESPONSE) {
        msg->bPduKind = SNMP_PDU_RESPONSE;
        if (!ReadResponse(pdu, msg->Pdu)) return -1;
    } else if (tag == BER_TRAP) {
        msg->bPduKind = SNMP_PDU_TRAP;
        if (!ReadTrap(pdu, msg->Trap)) return -1;
    } else {
        return -1;
    }
    return m.p == m.end ? 0 : -1;
}

void SnmpOidToText(const uint32_t* oid, uint16_t* pcb, char* text, size_t cchText) {
    if (!pcb) return;
    size_t count = *pcb / 4u;
    size_t pos = 0;
    if (!text || cchText == 0) {
        *pcb = 0;
        return;
    }
    for (size_t i = 0; i < count; i++) {
        char digits[11];
        size_t n = 0;
        uint32_t v = oid[i];
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        size_t need = n + (i ? 1 : 0);
        if (pos + need >= cchText) break;                 // keep the terminator
        if (i) text[pos++] = '.';
        while (n) text[pos++] = digits[--n];
    }
    text[pos] = '\0';
    *pcb = static_cast<uint16_t>(pos);
}
