// Every request our encoder writes must read back through an independent
// decoder (the Net-SNMP library) as the same OID, type and value.
#include <gtest/gtest.h>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <memory>
#include <string>
#include <vector>

#include "snmp/result.h"

namespace {

struct NetSnmp : ::testing::Test {
    static void SetUpTestSuite() {
        setenv("MIBS", "", 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        init_snmp("vjl-encoder-check");
    }

    // Encodes msg and parses the bytes with Net-SNMP; checks the header and
    // hands back the parsed PDU.
    netsnmp_pdu* RoundTrip(const SnmpMessage& msg, int expectCommand) {
        uint8_t buf[70000];
        uint32_t n = SnmpEncodeMessage(&msg, buf, sizeof buf);
        EXPECT_GT(n, 0u);
        netsnmp_session sess;
        snmp_sess_init(&sess);
        netsnmp_pdu* pdu = static_cast<netsnmp_pdu*>(calloc(1, sizeof(netsnmp_pdu)));
        int rc = snmp_parse(nullptr, &sess, pdu, buf, n);
        EXPECT_EQ(rc, 0) << "Net-SNMP refused our encoding";
        if (rc != 0) {
            snmp_free_pdu(pdu);
            return nullptr;
        }
        EXPECT_EQ(pdu->version, SNMP_VERSION_1);
        EXPECT_EQ(pdu->command, expectCommand);
        EXPECT_EQ(pdu->reqid, msg.Pdu.RequestId);
        EXPECT_EQ(pdu->errstat, 0);
        EXPECT_EQ(pdu->errindex, 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pdu->community), pdu->community_len), msg.szCommunity);
        return pdu;
    }

    void ExpectSameBinding(const SnmpVarBind& vb, const netsnmp_variable_list* v) {
        ASSERT_NE(v, nullptr);
        ASSERT_EQ(v->name_length, vb.cbName / 4u);
        for (size_t i = 0; i < v->name_length; i++) EXPECT_EQ(v->name[i], vb.Name[i]) << "arc " << i;
        SnmpValueClass cls = SnmpClassOf(vb.bType);
        EXPECT_EQ(v->type, vb.bType);   // other types go out as their tag and an empty body
        switch (cls) {
        case SNMP_CLASS_INTEGER:
            if (vb.bType == BER_INTEGER)
                EXPECT_EQ(static_cast<int32_t>(*v->val.integer), SnmpVarBindInt(&vb));
            else  // Net-SNMP keeps the unsigned types unsigned
                EXPECT_EQ(static_cast<uint32_t>(*v->val.integer), static_cast<uint32_t>(SnmpVarBindInt(&vb)));
            break;
        case SNMP_CLASS_OCTETS:
            ASSERT_EQ(v->val_len, vb.cbValue);
            EXPECT_EQ(memcmp(v->val.string, vb.Value, vb.cbValue), 0);
            break;
        case SNMP_CLASS_OID: {
            ASSERT_EQ(v->val_len, vb.cbValue / 4u * sizeof(oid));
            for (size_t i = 0; i < vb.cbValue / 4u; i++) {
                uint32_t arc;
                memcpy(&arc, vb.Value + 4 * i, 4);
                EXPECT_EQ(v->val.objid[i], arc);
            }
            break;
        }
        default:
            EXPECT_EQ(v->val_len, 0u);
        }
    }

    std::unique_ptr<SnmpMessage> Request(uint8_t kind, const char* oid, const char* community = "ravine") {
        auto m = std::make_unique<SnmpMessage>();
        m->bPduKind = kind;
        strcpy(m->szCommunity, community);
        m->Pdu.RequestId = 1;
        m->Pdu.cBindings = 1;
        EXPECT_EQ(SnmpParseOidText(oid, &m->Pdu.Bindings[0]), 1);
        return m;
    }
};

// The requests the client really sends: get and get-next with the
// placeholder value, and integer sets.
TEST_F(NetSnmp, RequestsAsTheClientBuildsThem) {
    const char* oids[] = {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.25.3.2.1.5.1", "1.3.6.1.2.1.43.18.1.1.8.1",
                          "1.3.6.1.4.1.253.8.76.3.2.1.1.1.16384.2097151.268435455.4294967295"};
    for (const char* oid : oids) {
        for (uint8_t kind : {SNMP_PDU_GET, SNMP_PDU_GETNEXT}) {
            for (uint8_t type : {BER_OCTET_STRING, BER_INTEGER}) {
                auto m = Request(kind, oid);
                SnmpSetRequestValue(oid, type, &m->Pdu.Bindings[0]);
                netsnmp_pdu* pdu = RoundTrip(*m, kind == SNMP_PDU_GET ? SNMP_MSG_GET : SNMP_MSG_GETNEXT);
                if (!pdu) continue;
                ExpectSameBinding(m->Pdu.Bindings[0], pdu->variables);
                snmp_free_pdu(pdu);
            }
        }
        for (int32_t value : {0, 4, 127, 128, -1, -129, 1414, 0x7FFFFF, 0x800000, INT32_MAX, INT32_MIN}) {
            auto m = Request(SNMP_PDU_SET, oid, "a-longer-community-name-31chars");
            SnmpVarBindSetInt(&m->Pdu.Bindings[0], BER_INTEGER, value);
            netsnmp_pdu* pdu = RoundTrip(*m, SNMP_MSG_SET);
            if (!pdu) continue;
            ExpectSameBinding(m->Pdu.Bindings[0], pdu->variables);
            snmp_free_pdu(pdu);
        }
    }
}

// Every value class and length form the encoder can write, thirty bindings
// in one message.
TEST_F(NetSnmp, EveryValueClassInOneMessage) {
    auto m = Request(SNMP_PDU_SET, "1.3.6.1.4.1.253.1");
    m->Pdu.RequestId = -123456;
    m->Pdu.cBindings = 30;
    for (int i = 0; i < 30; i++) {
        SnmpVarBind& vb = m->Pdu.Bindings[i];
        std::string oid = "1.3.6.1.4.1.253." + std::to_string(i * 977) + "." + std::to_string(i);
        ASSERT_EQ(SnmpParseOidText(oid.c_str(), &vb), 1);
        const uint8_t types[] = {BER_INTEGER, BER_COUNTER, BER_GAUGE, BER_TIMETICKS, BER_OCTET_STRING,
                                 BER_IPADDRESS, BER_OPAQUE, BER_OID, BER_NULL, 0x80};
        uint8_t type = types[i % 10];
        switch (SnmpClassOf(type)) {
        case SNMP_CLASS_INTEGER:
            SnmpVarBindSetInt(&vb, type, i * 0x01234567);
            break;
        case SNMP_CLASS_OCTETS: {
            uint16_t n = type == BER_IPADDRESS ? 4 : static_cast<uint16_t>((i * 97) % 1025);
            vb.bType = type;
            vb.cbValue = n;
            for (uint16_t k = 0; k < n; k++) vb.Value[k] = static_cast<uint8_t>(k * 7 + i);
            break;
        }
        case SNMP_CLASS_OID: {
            vb.bType = type;
            uint32_t arcs[] = {1, 3, 6, 1, 4, 1, 253, 0xFFFFFFFFu, static_cast<uint32_t>(i)};
            memcpy(vb.Value, arcs, sizeof arcs);
            vb.cbValue = sizeof arcs;
            break;
        }
        default:
            vb.bType = type;
        }
    }
    netsnmp_pdu* pdu = RoundTrip(*m, SNMP_MSG_SET);
    ASSERT_NE(pdu, nullptr);
    const netsnmp_variable_list* v = pdu->variables;
    for (int i = 0; i < 30; i++, v = v ? v->next_variable : nullptr) ExpectSameBinding(m->Pdu.Bindings[i], v);
    EXPECT_EQ(v, nullptr);
    snmp_free_pdu(pdu);
}

} // namespace
