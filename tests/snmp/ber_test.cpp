// Codec tests: exact encodings, decoding of responses and traps, and every
// reason a datagram is rejected.
#include <gtest/gtest.h>

#include <memory>

#include "bytes.h"
#include "snmp/ber.h"

namespace {

std::unique_ptr<SnmpMessage> NewMessage() { return std::make_unique<SnmpMessage>(); }  // zeroed

// A one-binding request record; the name is given as arcs.
std::unique_ptr<SnmpMessage> Request(uint8_t kind, std::initializer_list<uint32_t> name,
                                     const char* community = "ravine") {
    auto m = NewMessage();
    m->bPduKind = kind;
    strcpy(m->szCommunity, community);
    m->Pdu.RequestId = 1;
    m->Pdu.cBindings = 1;
    SnmpVarBind& vb = m->Pdu.Bindings[0];
    for (uint32_t a : name) {
        vb.Name[vb.cbName / 4] = a;
        vb.cbName += 4;
    }
    return m;
}

Bytes Encode(const SnmpMessage& m) {
    Bytes out(70000);
    uint32_t n = SnmpEncodeMessage(&m, out.data(), static_cast<uint32_t>(out.size()));
    out.resize(n);
    return out;
}

// The bytes after the binding's name element 06 01 2B (name 1.3).
Bytes ValueElement(uint8_t type, int32_t v) {
    auto m = Request(SNMP_PDU_SET, {1, 3});
    SnmpVarBindSetInt(&m->Pdu.Bindings[0], type, v);
    Bytes b = Encode(*m);
    for (size_t i = 0; i + 3 <= b.size(); i++)
        if (b[i] == 0x06 && b[i + 1] == 0x01 && b[i + 2] == 0x2B) return Bytes(b.begin() + i + 3, b.end());
    return {};
}

Bytes NameElement(std::initializer_list<uint32_t> name) {
    auto m = Request(SNMP_PDU_GET, name);
    m->Pdu.Bindings[0].bType = BER_NULL;
    Bytes b = Encode(*m);
    // With short lengths throughout, the name starts at byte 28 and the
    // value 05 00 closes the message.
    return Bytes(b.begin() + 28, b.end() - 2);
}

// Turns an encoded request (community "ravine") into a GetResponse.
void MakeResponse(Bytes& b) {
    size_t header = b[1] < 0x80 ? 2 : 2 + (b[1] & 0x7F);
    b[header + 11] = 0xA2;
}

int Decode(SnmpMessage* m, const Bytes& b) {
    return SnmpDecodeMessage(m, b.data(), static_cast<uint32_t>(b.size()));
}

TEST(BerEncode, WorkedExampleGetIs41Bytes) {
    auto m = Request(SNMP_PDU_GET, {1, 3, 6, 1, 2, 1, 1, 1, 0}, "C1C2C3");
    SnmpVarBind& vb = m->Pdu.Bindings[0];
    vb.bType = BER_OCTET_STRING;
    vb.cbValue = 1;
    Bytes expect = {0x30, 0x27, 0x02, 0x01, 0x00, 0x04, 0x06, 'C', '1', 'C', '2', 'C', '3', 0xA0, 0x1A,
                    0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0F, 0x30, 0x0D, 0x06,
                    0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x04, 0x01, 0x00};
    EXPECT_EQ(Encode(*m), expect);
}

TEST(BerEncode, PduTagFollowsKindAndRequestRecordsErrorFieldsAreIgnored) {
    auto m = Request(SNMP_PDU_GETNEXT, {1, 3});
    m->Pdu.ErrorStatus = 5;
    m->Pdu.ErrorIndex = 7;
    m->Pdu.RequestId = 300;
    Bytes b = Encode(*m);
    Bytes head = {0xA1, 0x13, 0x02, 0x02, 0x01, 0x2C, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00};
    EXPECT_EQ(Bytes(b.begin() + 13, b.begin() + 25), head);

    m->bPduKind = SNMP_PDU_SET;
    EXPECT_EQ(Encode(*m)[13], 0xA3);
    // A kind that is never sent writes no PDU at all.
    m->bPduKind = SNMP_PDU_RESPONSE;
    Bytes bare = {0x30, 0x0B, 0x02, 0x01, 0x00, 0x04, 0x06, 'r', 'a', 'v', 'i', 'n', 'e'};
    EXPECT_EQ(Encode(*m), bare);
}

TEST(BerEncode, IntegersAreMinimalTwosComplement) {
    EXPECT_EQ(ValueElement(BER_INTEGER, 0), (Bytes{0x02, 0x01, 0x00}));
    EXPECT_EQ(ValueElement(BER_INTEGER, 127), (Bytes{0x02, 0x01, 0x7F}));
    EXPECT_EQ(ValueElement(BER_INTEGER, 128), (Bytes{0x02, 0x02, 0x00, 0x80}));
    EXPECT_EQ(ValueElement(BER_INTEGER, -1), (Bytes{0x02, 0x01, 0xFF}));
    EXPECT_EQ(ValueElement(BER_INTEGER, -128), (Bytes{0x02, 0x01, 0x80}));
    EXPECT_EQ(ValueElement(BER_INTEGER, -129), (Bytes{0x02, 0x02, 0xFF, 0x7F}));
    EXPECT_EQ(ValueElement(BER_INTEGER, 0x7FFFFF), (Bytes{0x02, 0x03, 0x7F, 0xFF, 0xFF}));
    EXPECT_EQ(ValueElement(BER_INTEGER, 0x800000), (Bytes{0x02, 0x04, 0x00, 0x80, 0x00, 0x00}));
    EXPECT_EQ(ValueElement(BER_INTEGER, 2147483647), (Bytes{0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(ValueElement(BER_INTEGER, INT32_MIN), (Bytes{0x02, 0x04, 0x80, 0x00, 0x00, 0x00}));
    // The unsigned application types follow the same signed rule under their own tag.
    EXPECT_EQ(ValueElement(BER_COUNTER, -1), (Bytes{0x41, 0x01, 0xFF}));
    EXPECT_EQ(ValueElement(BER_GAUGE, 200), (Bytes{0x42, 0x02, 0x00, 0xC8}));
    EXPECT_EQ(ValueElement(BER_TIMETICKS, 5), (Bytes{0x43, 0x01, 0x05}));
}

TEST(BerEncode, OctetValuesUseAllThreeLengthForms) {
    for (uint16_t n : {0, 127, 128, 200, 255, 256, 300, 1024}) {
        auto m = Request(SNMP_PDU_SET, {1, 3});
        SnmpVarBind& vb = m->Pdu.Bindings[0];
        vb.bType = BER_OPAQUE;
        vb.cbValue = n;
        memset(vb.Value, 0x5A, n);
        Bytes b = Encode(*m);
        Bytes header = n < 128 ? Bytes{0x44, static_cast<uint8_t>(n)}
                     : n < 256 ? Bytes{0x44, 0x81, static_cast<uint8_t>(n)}
                               : Bytes{0x44, 0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
        ASSERT_GE(b.size(), n + header.size());
        EXPECT_EQ(Bytes(b.end() - n - header.size(), b.end() - n), header) << n;
        // The enclosing sequences grow their own length fields to match.
        auto back = NewMessage();
        MakeResponse(b);
        ASSERT_EQ(Decode(back.get(), b), 0) << n;
        EXPECT_EQ(back->Pdu.Bindings[0].cbValue, n);
    }
    // A length of 200 is 81 C8, 300 is 82 01 2C.
    auto m = Request(SNMP_PDU_SET, {1, 3});
    m->Pdu.Bindings[0].bType = BER_OCTET_STRING;
    m->Pdu.Bindings[0].cbValue = 300;
    Bytes b = Encode(*m);
    EXPECT_EQ(Bytes(b.end() - 304, b.end() - 300), (Bytes{0x04, 0x82, 0x01, 0x2C}));
}

TEST(BerEncode, ObjectIdentifiers) {
    EXPECT_EQ(NameElement({1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 5, 1}),
              (Bytes{0x06, 0x0B, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x19, 0x03, 0x02, 0x01, 0x05, 0x01}));
    EXPECT_EQ(NameElement({1, 3, 253}), (Bytes{0x06, 0x03, 0x2B, 0x81, 0x7D}));
    EXPECT_EQ(NameElement({1, 3, 128}), (Bytes{0x06, 0x03, 0x2B, 0x81, 0x00}));
    EXPECT_EQ(NameElement({1, 3, 0xFFFFFFFF}), (Bytes{0x06, 0x06, 0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(NameElement({1, 3, 16384}), (Bytes{0x06, 0x04, 0x2B, 0x81, 0x80, 0x00}));
    EXPECT_EQ(NameElement({2}), (Bytes{0x06, 0x01, 0x50}));
    EXPECT_EQ(NameElement({1, 3}), (Bytes{0x06, 0x01, 0x2B}));
    EXPECT_EQ(NameElement({}), (Bytes{0x06, 0x01, 0x00}));
}

TEST(BerEncode, OidValuesNullAndUnknownTypes) {
    auto m = Request(SNMP_PDU_SET, {1, 3});
    SnmpVarBind& vb = m->Pdu.Bindings[0];
    uint32_t arcs[] = {1, 3, 6, 1, 4, 1, 253};
    vb.bType = BER_OID;
    vb.cbValue = sizeof arcs;
    memcpy(vb.Value, arcs, sizeof arcs);
    Bytes b = Encode(*m);
    EXPECT_EQ(Bytes(b.end() - 9, b.end()), (Bytes{0x06, 0x07, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x81, 0x7D}));
    for (uint8_t type : {BER_NULL, uint8_t{0x03}, uint8_t{0x80}, uint8_t{0x45}}) {
        vb.bType = type;
        b = Encode(*m);
        EXPECT_EQ(Bytes(b.end() - 2, b.end()), (Bytes{type, 0x00}));
    }
}

TEST(BerEncode, NoBindingsAndBufferTooSmall) {
    auto m = Request(SNMP_PDU_GET, {});
    m->Pdu.cBindings = 0;
    Bytes b = Encode(*m);
    EXPECT_EQ(Bytes(b.end() - 2, b.end()), (Bytes{0x30, 0x00}));
    uint8_t small[8];
    EXPECT_EQ(SnmpEncodeMessage(m.get(), small, sizeof small), 0u);
    Bytes exact(b.size());
    EXPECT_EQ(SnmpEncodeMessage(m.get(), exact.data(), static_cast<uint32_t>(exact.size())), b.size());
}

// ------------------------------------------------------------------ decoding

TEST(BerDecode, GetResponseFields) {
    Bytes dg = Message(Response(1, {Binding(SysDescrName(), Tlv(0x04, Str("Tessaro")))}, 2), "public");
    auto m = NewMessage();
    ASSERT_EQ(Decode(m.get(), dg), 0);
    EXPECT_EQ(m->Version, 0);
    EXPECT_STREQ(m->szCommunity, "public");
    EXPECT_EQ(m->bPduKind, SNMP_PDU_RESPONSE);
    EXPECT_EQ(m->Pdu.RequestId, 1);
    EXPECT_EQ(m->Pdu.ErrorStatus, 2);
    ASSERT_EQ(m->Pdu.cBindings, 1);
    const SnmpVarBind& vb = m->Pdu.Bindings[0];
    EXPECT_EQ(vb.cbName, 36);
    EXPECT_EQ(vb.Name[0], 1u);
    EXPECT_EQ(vb.Name[1], 3u);
    EXPECT_EQ(vb.Name[8], 0u);
    EXPECT_EQ(vb.bType, BER_OCTET_STRING);
    EXPECT_EQ(vb.cbValue, 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(vb.Value), 7), "Tessaro");
}

int32_t DecodeIntValue(uint8_t tag, const Bytes& content, int* rc) {
    auto m = NewMessage();
    *rc = Decode(m.get(), Message(Response(1, {Binding(SysDescrName(), Tlv(tag, content))})));
    return *rc == 0 ? SnmpVarBindInt(&m->Pdu.Bindings[0]) : 0;
}

TEST(BerDecode, IntegersSignExtendAndStopAtFourBytes) {
    int rc;
    EXPECT_EQ(DecodeIntValue(0x02, {0x05}, &rc), 5);
    EXPECT_EQ(DecodeIntValue(0x02, {0xFF}, &rc), -1);
    EXPECT_EQ(DecodeIntValue(0x02, {0xFF, 0x7F}, &rc), -129);
    EXPECT_EQ(DecodeIntValue(0x02, {0x00, 0x80}, &rc), 128);
    EXPECT_EQ(DecodeIntValue(0x02, {0x80, 0, 0, 0}, &rc), INT32_MIN);
    EXPECT_EQ(DecodeIntValue(0x41, {0xFF}, &rc), -1);        // Counter 0xFFFFFFFF
    EXPECT_EQ(DecodeIntValue(0x43, {0x01, 0x00}, &rc), 256);
    EXPECT_EQ(DecodeIntValue(0x02, {}, &rc), 0);
    EXPECT_EQ(rc, 0);
    DecodeIntValue(0x41, {0x00, 0xFF, 0xFF, 0xFF, 0xFF}, &rc);
    EXPECT_EQ(rc, -1);
    DecodeIntValue(0x02, {0, 0, 0, 0, 1}, &rc);
    EXPECT_EQ(rc, -1);
}

TEST(BerDecode, ObjectIdentifierValuesAndNames) {
    struct Case { Bytes content; std::vector<uint32_t> arcs; };
    const Case cases[] = {
        {{0x2B}, {1, 3}},
        {{0x00}, {0, 0}},
        {{0x88}, {3, 16}},                       // no special case above 80
        {{0x2B, 0x81, 0x7D, 0x81, 0x00}, {1, 3, 253, 128}},
        {{}, {}},
        {{0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, {1, 3, 0xFFFFFFFF}},
    };
    for (const Case& c : cases) {
        auto m = NewMessage();
        ASSERT_EQ(Decode(m.get(), Message(Response(1, {Binding(Oid(c.content), Tlv(0x06, c.content))}))), 0);
        const SnmpVarBind& vb = m->Pdu.Bindings[0];
        ASSERT_EQ(vb.cbName, c.arcs.size() * 4);
        ASSERT_EQ(vb.cbValue, c.arcs.size() * 4);
        for (size_t i = 0; i < c.arcs.size(); i++) {
            EXPECT_EQ(vb.Name[i], c.arcs[i]);
            uint32_t v;
            memcpy(&v, vb.Value + 4 * i, 4);
            EXPECT_EQ(v, c.arcs[i]);
        }
    }
}

TEST(BerDecode, OidLimits) {
    Bytes arcs68 = {0x2B};
    arcs68.resize(67, 0x01);                      // 2 + 66 arcs
    auto m = NewMessage();
    EXPECT_EQ(Decode(m.get(), Message(Response(1, {Binding(Oid(arcs68), Tlv(0x05, {}))}))), 0);
    EXPECT_EQ(m->Pdu.Bindings[0].cbName, 68 * 4);
    Bytes arcs69 = arcs68;
    arcs69.push_back(0x01);
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {Binding(Oid(arcs69), Tlv(0x05, {}))}))), -1);
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {Binding(Oid({0x2B, 0x06, 0x81}), Tlv(0x05, {}))}))), -1);
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {Binding(SysDescrName(), Oid(arcs69))}))), -1);
}

TEST(BerDecode, ValueTagsOutsideTheFourClassesFail) {
    for (int tag = 0; tag < 256; tag++) {
        Bytes content = tag == 0x05 ? Bytes{} : Bytes{0x01};
        int rc = Decode(NewMessage().get(), Message(Response(1, {Binding(SysDescrName(), Tlv(static_cast<uint8_t>(tag), content))})));
        bool ok = tag == 0x02 || tag == 0x04 || tag == 0x05 || tag == 0x06 || (tag >= 0x40 && tag <= 0x44);
        EXPECT_EQ(rc, ok ? 0 : -1) << "tag " << tag;
    }
    // The v2 exceptions carry an empty body; they fail all the same.
    for (uint8_t tag : {0x80, 0x81, 0x82})
        EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {Binding(SysDescrName(), Tlv(tag, {}))}))), -1);
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {Binding(SysDescrName(), Tlv(0x05, {0}))}))), -1);
}

TEST(BerDecode, OctetStringAndCommunityLimits) {
    auto m = NewMessage();
    EXPECT_EQ(Decode(m.get(), Message(Response(1, {Binding(SysDescrName(), Tlv(0x04, Bytes(1024, 'x')))}))), 0);
    EXPECT_EQ(m->Pdu.Bindings[0].cbValue, 1024);
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {Binding(SysDescrName(), Tlv(0x40, Bytes(1025, 'x')))}))), -1);

    std::string c32(32, 'c');
    m = NewMessage();
    memset(m->szCommunity, 'z', sizeof m->szCommunity);
    EXPECT_EQ(Decode(m.get(), Message(Response(1, {}), c32)), 0);
    EXPECT_EQ(std::string(m->szCommunity), c32);
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {}), c32 + "c")), -1);
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {}), "")), 0);
}

TEST(BerDecode, BindingCounts) {
    std::vector<Bytes> list;
    for (int i = 0; i < 31; i++) list.push_back(Binding(SysDescrName(), Int({static_cast<uint8_t>(i)})));
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, list))), -1);
    list.pop_back();
    auto m = NewMessage();
    ASSERT_EQ(Decode(m.get(), Message(Response(1, list))), 0);
    EXPECT_EQ(m->Pdu.cBindings, 30);
    EXPECT_EQ(SnmpVarBindInt(&m->Pdu.Bindings[29]), 29);
    m = NewMessage();
    ASSERT_EQ(Decode(m.get(), Message(Response(1, {}))), 0);
    EXPECT_EQ(m->Pdu.cBindings, 0);
}

TEST(BerDecode, LengthForms) {
    Bytes ok = Message(Response(1, {Binding(SysDescrName(), Int({7}))}));
    // Long forms of one and two bytes are read even when not minimal.
    Bytes longForm = ok;
    longForm[1] = 0x82;
    longForm.insert(longForm.begin() + 2, {0x00, ok[1]});
    EXPECT_EQ(Decode(NewMessage().get(), longForm), 0);
    Bytes one = ok;
    one[1] = 0x81;
    one.insert(one.begin() + 2, ok[1]);
    EXPECT_EQ(Decode(NewMessage().get(), one), 0);
    // Indefinite, three-byte and too-long lengths fail.
    Bytes indefinite = ok;
    indefinite[1] = 0x80;
    EXPECT_EQ(Decode(NewMessage().get(), indefinite), -1);
    Bytes three = ok;
    three[1] = 0x83;
    three.insert(three.begin() + 2, {0x00, 0x00, ok[1]});
    EXPECT_EQ(Decode(NewMessage().get(), three), -1);
    Bytes over = ok;
    over[1]++;
    EXPECT_EQ(Decode(NewMessage().get(), over), -1);
    // A length byte count that runs past the end.
    EXPECT_EQ(Decode(NewMessage().get(), Bytes{0x30, 0x82, 0x00}), -1);
    EXPECT_EQ(Decode(NewMessage().get(), Bytes{0x30}), -1);
    EXPECT_EQ(Decode(NewMessage().get(), Bytes{}), -1);
    // No datagram is longer than 65535 bytes; a length beyond is refused
    // before a byte is read.
    EXPECT_EQ(SnmpDecodeMessage(NewMessage().get(), ok.data(), 65536), -1);
}

TEST(BerDecode, EachElementStaysInsideItsDeclaredEnd) {
    Bytes ok = Message(Response(1, {Binding(SysDescrName(), Int({7}))}));
    EXPECT_EQ(Decode(NewMessage().get(), ok), 0);
    // Trailing byte after the message.
    Bytes trailing = ok;
    trailing.push_back(0);
    EXPECT_EQ(Decode(NewMessage().get(), trailing), -1);
    // Every truncation fails.
    for (size_t n = 0; n < ok.size(); n++)
        EXPECT_EQ(Decode(NewMessage().get(), Bytes(ok.begin(), ok.begin() + n)), -1) << n;
    // A binding whose declared length is one more than its members, with the
    // spare byte taken from the list: the value then ends short of the binding.
    Bytes b = Binding(SysDescrName(), Int({7}));
    Bytes padded = Tlv(0x30, Cat({SysDescrName(), Int({7}), Bytes{0x00}}));
    EXPECT_EQ(Decode(NewMessage().get(), Message(Tlv(0xA2, Cat({Int({1}), Int({0}), Int({0}), Tlv(0x30, padded)})))), -1);
    // Extra bytes inside the PDU after the list, and inside the message after the PDU.
    EXPECT_EQ(Decode(NewMessage().get(), Message(Tlv(0xA2, Cat({Int({1}), Int({0}), Int({0}), Tlv(0x30, b), Int({0})})))), -1);
    Bytes pdu = Response(1, {b});
    EXPECT_EQ(Decode(NewMessage().get(), Tlv(0x30, Cat({Int({0}), Tlv(0x04, Str("x")), pdu, Bytes{0x05, 0x00}}))), -1);
    // A value whose length claims the bytes of the next binding.
    Bytes stretched = Cat({Bytes{0x30, static_cast<uint8_t>(b.size() - 2)}, Bytes(b.begin() + 2, b.end())});
    stretched[stretched.size() - 2] = 0x04;
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {stretched, b}))), -1);
}

TEST(BerDecode, WrongTagsFail) {
    Bytes b = Binding(SysDescrName(), Int({7}));
    auto msg = [&](Bytes pdu) { return Message(pdu); };
    // Request, set and unknown PDUs are never decoded.
    for (uint8_t tag : {0xA0, 0xA1, 0xA3, 0xA5, 0xA7, 0x30})
        EXPECT_EQ(Decode(NewMessage().get(), msg(Tlv(tag, Cat({Int({1}), Int({0}), Int({0}), Tlv(0x30, b)})))), -1);
    // Request id, status and index must be INTEGERs.
    EXPECT_EQ(Decode(NewMessage().get(), msg(Tlv(0xA2, Cat({Tlv(0x41, {1}), Int({0}), Int({0}), Tlv(0x30, b)})))), -1);
    EXPECT_EQ(Decode(NewMessage().get(), msg(Tlv(0xA2, Cat({Int({1}), Int({0}), Tlv(0x04, {0}), Tlv(0x30, b)})))), -1);
    // Name must be an OID; binding and list must be sequences.
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {Binding(Tlv(0x04, {0x2B}), Int({7}))}))), -1);
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {Tlv(0x31, Cat({SysDescrName(), Int({7})}))}))), -1);
    EXPECT_EQ(Decode(NewMessage().get(), msg(Tlv(0xA2, Cat({Int({1}), Int({0}), Int({0}), Tlv(0x31, b)})))), -1);
    // Multi-byte tag numbers are never accepted.
    EXPECT_EQ(Decode(NewMessage().get(), Message(Response(1, {Binding(SysDescrName(), Tlv(0x1F, {0x02, 0x01}))}))), -1);
    Bytes bad = Message(Response(1, {b}));
    bad[0] = 0x3F;
    EXPECT_EQ(Decode(NewMessage().get(), bad), -1);
    // Version must be an INTEGER, community an OCTET STRING.
    EXPECT_EQ(Decode(NewMessage().get(), Tlv(0x30, Cat({Tlv(0x04, {0}), Tlv(0x04, Str("x")), Response(1, {b})}))), -1);
    EXPECT_EQ(Decode(NewMessage().get(), Tlv(0x30, Cat({Int({0}), Tlv(0x44, Str("x")), Response(1, {b})}))), -1);
    // Any version number is accepted and stored.
    auto m = NewMessage();
    EXPECT_EQ(Decode(m.get(), Tlv(0x30, Cat({Int({1}), Tlv(0x04, Str("x")), Response(1, {b})}))), 0);
    EXPECT_EQ(m->Version, 1);
}

TEST(BerDecode, Trap) {
    Bytes enterprise = Oid({0x2B, 6, 1, 4, 1, 0x81, 0x7D});
    auto trap = [&](Bytes addr, uint8_t ticksTag) {
        return Message(Tlv(0xA4, Cat({enterprise, Tlv(0x40, addr), Int({6}), Int({0x01, 0x00}),
                                       Tlv(ticksTag, {0x00, 0xFF, 0xFF, 0xFF}),
                                       Tlv(0x30, Binding(SysDescrName(), Tlv(0x04, Str("up"))))})));
    };
    auto m = NewMessage();
    ASSERT_EQ(Decode(m.get(), trap({127, 0, 3, 9}, 0x43)), 0);
    EXPECT_EQ(m->bPduKind, SNMP_PDU_TRAP);
    EXPECT_EQ(m->Trap.cbEnterprise, 28);
    EXPECT_EQ(m->Trap.Enterprise[6], 253u);
    uint8_t addr[4];
    memcpy(addr, &m->Trap.dwAgentAddr, 4);
    EXPECT_EQ(Bytes(addr, addr + 4), (Bytes{127, 0, 3, 9}));
    EXPECT_EQ(m->Trap.GenericTrap, 6);
    EXPECT_EQ(m->Trap.SpecificTrap, 256);
    EXPECT_EQ(m->Trap.TimeStamp, 0xFFFFFFu);
    ASSERT_EQ(m->Trap.cBindings, 1);
    EXPECT_EQ(m->Trap.Bindings[0].cbValue, 2);
    EXPECT_EQ(Decode(NewMessage().get(), trap({127, 0, 3}, 0x43)), -1);
    EXPECT_EQ(Decode(NewMessage().get(), trap({127, 0, 3, 9, 1}, 0x43)), -1);
    EXPECT_EQ(Decode(NewMessage().get(), trap({127, 0, 3, 9}, 0x02)), -1);
}

TEST(BerRoundTrip, EncodedRequestsDecodeBackAsResponses) {
    auto m = Request(SNMP_PDU_GET, {1, 3, 6, 1, 4, 1, 253, 8, 76, 3, 2, 1, 1, 1, 0xFFFFFFFF});
    m->Pdu.RequestId = -70000;
    m->Pdu.cBindings = 3;
    m->Pdu.Bindings[1] = m->Pdu.Bindings[0];
    m->Pdu.Bindings[2] = m->Pdu.Bindings[0];
    SnmpVarBindSetInt(&m->Pdu.Bindings[0], BER_GAUGE, -5);
    m->Pdu.Bindings[1].bType = BER_IPADDRESS;
    m->Pdu.Bindings[1].cbValue = 4;
    memcpy(m->Pdu.Bindings[1].Value, "\x7F\x00\x03\x01", 4);
    m->Pdu.Bindings[2].bType = BER_NULL;
    Bytes b = Encode(*m);
    MakeResponse(b);
    auto back = NewMessage();
    ASSERT_EQ(Decode(back.get(), b), 0);
    EXPECT_EQ(back->Pdu.RequestId, -70000);
    ASSERT_EQ(back->Pdu.cBindings, 3);
    for (int i = 0; i < 3; i++) {
        const SnmpVarBind& a = m->Pdu.Bindings[i];
        const SnmpVarBind& z = back->Pdu.Bindings[i];
        EXPECT_EQ(z.cbName, a.cbName);
        EXPECT_EQ(memcmp(z.Name, a.Name, a.cbName), 0);
        EXPECT_EQ(z.bType, a.bType);
        EXPECT_EQ(z.cbValue, a.bType == BER_NULL ? 0 : a.cbValue);
        EXPECT_EQ(memcmp(z.Value, a.Value, z.cbValue), 0);
    }
}

TEST(BerOidToText, DottedDecimal) {
    uint32_t arcs[] = {1, 3, 6, 1, 2, 1, 43, 18, 1, 1, 8, 1, 4294967295u};
    char text[512];
    uint16_t cb = sizeof arcs;
    SnmpOidToText(arcs, &cb, text, sizeof text);
    EXPECT_STREQ(text, "1.3.6.1.2.1.43.18.1.1.8.1.4294967295");
    EXPECT_EQ(cb, strlen(text));
    cb = 3;
    memset(text, 'x', sizeof text);
    SnmpOidToText(arcs, &cb, text, sizeof text);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(cb, 0);
    // Cut at a whole arc and still terminated when the buffer is short.
    cb = sizeof arcs;
    SnmpOidToText(arcs, &cb, text, 8);
    EXPECT_STREQ(text, "1.3.6.1");
    EXPECT_EQ(cb, 7);
}

} // namespace
