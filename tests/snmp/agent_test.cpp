// The SNMP client under Wine against a real agent: Net-SNMP's snmpd on a
// loopback address of its own, with its own config (community "ravine").
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "native_helpers.h"
#include "snmp/snmp.h"
#include "support/whitebox.h"

namespace {

struct Winsock : ::testing::Environment {
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(1, 1), &wsa);
        EnsureMonitorProcess();
    }
};
const auto* const kWinsock = ::testing::AddGlobalTestEnvironment(new Winsock);

struct Agent : ::testing::Test {
    std::unique_ptr<NativeProcess> proc;
    std::string addr;
    void Start(const std::string& a) {
        addr = a;
        proc = std::make_unique<NativeProcess>(a);
        ASSERT_TRUE(proc->StartAgent()) << proc->error;
    }
};

TEST_F(Agent, GetStringOfSysDescr) {
    Start("127.0.3.10");
    char value[256];
    memset(value, 'x', sizeof value);
    ASSERT_EQ(SnmpGetString(addr.c_str(), value, "1.3.6.1.2.1.1.1.0", "ravine"), 1);
    EXPECT_STREQ(value, "VEK Tessaroline 7700");
    for (size_t i = strlen(value); i < sizeof value; i++) ASSERT_EQ(value[i], 0) << i;
}

TEST_F(Agent, GetIntegerOfSysServices) {
    Start("127.0.3.11");
    LONG v = 0;
    ASSERT_EQ(SnmpGetInteger(addr.c_str(), &v, "1.3.6.1.2.1.1.7.0", "ravine"), 1);
    EXPECT_EQ(v, 72);
    // An empty community is the default one, which is the agent's.
    v = 0;
    ASSERT_EQ(SnmpGetInteger(addr.c_str(), &v, "1.3.6.1.2.1.1.7.0", ""), 1);
    EXPECT_EQ(v, 72);
}

TEST_F(Agent, GetNextWalksTheSystemGroup) {
    Start("127.0.3.12");
    char oid[256] = "1.3.6.1.2.1.1";
    char value[256];
    std::vector<std::string> names;
    std::vector<std::string> values;
    for (int i = 0; i < 40; i++) {
        ASSERT_EQ(SnmpGetNextString(addr.c_str(), value, oid, "ravine"), 1);
        if (strncmp(oid, "1.3.6.1.2.1.1.", 14) != 0) break;
        names.push_back(oid);
        values.push_back(value);
    }
    ASSERT_GE(names.size(), 7u);
    EXPECT_EQ(names[0], "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(values[0], "VEK Tessaroline 7700");
    EXPECT_EQ(names[5], "1.3.6.1.2.1.1.6.0");
    EXPECT_EQ(values[5], "Lab 3");
    EXPECT_EQ(names[6], "1.3.6.1.2.1.1.7.0");
    // The walk ends outside the group, at the agent's next object.
    EXPECT_STRNE(oid, "");
    // Integer get-next reads the next object's value.
    LONG v = 0;
    strcpy(oid, "1.3.6.1.2.1.1.6.0");
    ASSERT_EQ(SnmpGetNextInteger(addr.c_str(), &v, oid, "ravine"), 1);
    EXPECT_STREQ(oid, "1.3.6.1.2.1.1.7.0");
    EXPECT_EQ(v, 72);
}

// The agent refuses a set with a read-only community: an error status is
// still a response, carrying the request's binding back.
TEST_F(Agent, RefusedSetIsStillAResponse) {
    Start("127.0.3.13");
    LONG v = 4;
    ASSERT_EQ(SnmpSetInteger(addr.c_str(), &v, "1.3.6.1.2.1.1.7.0", "ravine"), 1);
    EXPECT_EQ(v, 4);
    LONG now = 0;
    ASSERT_EQ(SnmpGetInteger(addr.c_str(), &now, "1.3.6.1.2.1.1.7.0", "ravine"), 1);
    EXPECT_EQ(now, 72);
}

TEST_F(Agent, UnknownCommunityTimesOut) {
    Start("127.0.3.14");
    char value[256] = "untouched";
    EXPECT_EQ(SnmpGetString(addr.c_str(), value, "1.3.6.1.2.1.1.1.0", "not-ravine"), 0);
    EXPECT_STREQ(value, "untouched");
}

TEST_F(Agent, UnknownObjectGivesTheEchoedBinding) {
    Start("127.0.3.15");
    char value[256] = "untouched";
    LONG v = 5;
    // noSuchName in SNMP version 1: the request's own placeholder comes back.
    ASSERT_EQ(SnmpGetString(addr.c_str(), value, "1.3.6.1.2.1.1.99.0", "ravine"), 1);
    EXPECT_STREQ(value, "");
    ASSERT_EQ(SnmpGetInteger(addr.c_str(), &v, "1.3.6.1.2.1.1.99.0", "ravine"), 1);
    EXPECT_EQ(v, 0);
}

TEST(AgentLess, HostThatDoesNotResolve) {
    auto x = std::make_unique<SnmpExchange>();
    EXPECT_EQ(SnmpRunExchange(x.get(), "vjl..no-such-printer", "1.3.6.1.2.1.1.1.0", "ravine", SNMP_PDU_GET,
                              BER_OCTET_STRING, 0), 0);
    EXPECT_EQ(x->dwError, SNMP_ERR_RESOLVE);
    char value[256] = "untouched";
    EXPECT_EQ(SnmpGetString("vjl..no-such-printer", value, "1.3.6.1.2.1.1.1.0", "ravine"), 0);
    EXPECT_STREQ(value, "untouched");
}

} // namespace
