// Request-side helpers: OID text parsing, result conversion, result order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "snmp/result.h"

namespace {

std::vector<uint32_t> Parse(const char* text, int* rc = nullptr) {
    auto vb = std::make_unique<SnmpVarBind>();
    int r = SnmpParseOidText(text, vb.get());
    if (rc) *rc = r;
    return std::vector<uint32_t>(vb->Name, vb->Name + vb->cbName / 4);
}

TEST(SnmpOidText, DelimitersAndEmptyPieces) {
    std::vector<uint32_t> want = {1, 3, 6, 1, 2, 1, 1, 1, 0};
    EXPECT_EQ(Parse("1.3.6.1.2.1.1.1.0"), want);
    EXPECT_EQ(Parse("1,3 6\t1.2..1,,1 .1.0"), want);
    EXPECT_EQ(Parse(".1.3.6.1.2.1.1.1.0."), want);
    EXPECT_EQ(Parse(""), std::vector<uint32_t>{});
    // Each piece reads like atol: leading digits only, no digits gives 0.
    EXPECT_EQ(Parse("1.3x.abc.+7.4294967295.4294967296"), (std::vector<uint32_t>{1, 3, 0, 7, 4294967295u, 0}));
    EXPECT_EQ(Parse("1.-1"), (std::vector<uint32_t>{1, 0xFFFFFFFFu}));
}

TEST(SnmpOidText, MoreArcsThanANameHoldsIsRefused) {
    std::string text = "1";
    for (int i = 1; i < 68; i++) text += ".1";
    int rc;
    EXPECT_EQ(Parse(text.c_str(), &rc).size(), 68u);
    EXPECT_EQ(rc, 1);
    text += ".1";
    Parse(text.c_str(), &rc);
    EXPECT_EQ(rc, 0);
}

TEST(SnmpOidText, RequestPlaceholderValue) {
    auto vb = std::make_unique<SnmpVarBind>();
    memset(vb->Value, 0xEE, 8);
    SnmpSetRequestValue("1.3.6", BER_OCTET_STRING, vb.get());
    EXPECT_EQ(vb->bType, BER_OCTET_STRING);
    EXPECT_EQ(vb->cbValue, 1);
    EXPECT_EQ(vb->Value[0], 0);
    SnmpSetRequestValue(" 123,4", BER_OCTET_STRING, vb.get());
    EXPECT_EQ(vb->cbValue, 3);
    SnmpSetRequestValue("1.3.6", BER_INTEGER, vb.get());
    EXPECT_EQ(vb->cbValue, 4);
    EXPECT_EQ(SnmpVarBindInt(vb.get()), 0);
}

struct ResponseFixture : ::testing::Test {
    std::unique_ptr<SnmpMessage> resp = std::make_unique<SnmpMessage>();
    std::unique_ptr<SnmpResult> res = std::make_unique<SnmpResult>();
    SnmpVarBind& vb = resp->Pdu.Bindings[0];
    void SetUp() override {
        resp->Pdu.cBindings = 1;
        uint32_t name[] = {1, 3, 6, 1, 2, 1, 43, 18, 1, 1, 8, 1, 3};
        memcpy(vb.Name, name, sizeof name);
        vb.cbName = sizeof name;
    }
    void Octets(const char* bytes, uint16_t n) {
        vb.bType = BER_OCTET_STRING;
        vb.cbValue = n;
        memcpy(vb.Value, bytes, n);
    }
};

TEST_F(ResponseFixture, TextRequestCopiesUpToLengthOrZero) {
    Octets("Tessaro", 7);
    memset(res->szValue, 'x', sizeof res->szValue);
    SnmpFillResult(res.get(), resp.get(), BER_OCTET_STRING);
    EXPECT_STREQ(res->szName, "1.3.6.1.2.1.43.18.1.1.8.1.3");
    EXPECT_STREQ(res->szValue, "Tessaro");
    for (size_t i = 7; i < sizeof res->szValue; i++) ASSERT_EQ(res->szValue[i], 0) << i;
    Octets("ab\0cd", 5);
    SnmpFillResult(res.get(), resp.get(), BER_OCTET_STRING);
    EXPECT_STREQ(res->szValue, "ab");
    EXPECT_EQ(res->szValue[3], 0);
    // A text of 256 bytes or more keeps its terminator.
    vb.cbValue = 1024;
    memset(vb.Value, 'q', 1024);
    SnmpFillResult(res.get(), resp.get(), BER_OCTET_STRING);
    EXPECT_EQ(strlen(res->szValue), 255u);
}

TEST_F(ResponseFixture, ConversionFollowsTheRequestedType) {
    SnmpVarBindSetInt(&vb, BER_INTEGER, 5);
    SnmpFillResult(res.get(), resp.get(), BER_INTEGER);
    EXPECT_EQ(res->lValue, 5);
    // An integer answer to a text request: its machine-order bytes as text.
    SnmpVarBindSetInt(&vb, BER_INTEGER, 0x00434241);
    SnmpFillResult(res.get(), resp.get(), BER_OCTET_STRING);
    EXPECT_STREQ(res->szValue, "ABC");
    EXPECT_EQ(res->lValue, 0);
    // NULL or a short string gives 0; four or more bytes are read as an integer.
    vb.bType = BER_NULL;
    vb.cbValue = 0;
    SnmpFillResult(res.get(), resp.get(), BER_INTEGER);
    EXPECT_EQ(res->lValue, 0);
    Octets("abc", 3);
    SnmpFillResult(res.get(), resp.get(), BER_INTEGER);
    EXPECT_EQ(res->lValue, 0);
    Octets("\x01\x00\x00\x00\x09", 5);
    SnmpFillResult(res.get(), resp.get(), BER_INTEGER);
    EXPECT_EQ(res->lValue, 1);
    // A response without bindings gives empty outputs.
    resp->Pdu.cBindings = 0;
    SnmpFillResult(res.get(), resp.get(), BER_INTEGER);
    EXPECT_EQ(res->lValue, 0);
    EXPECT_STREQ(res->szName, "");
}

std::vector<std::string> Sorted(std::vector<std::string> addrs) {
    std::vector<SnmpResult> r(addrs.size());
    for (size_t i = 0; i < addrs.size(); i++) {
        memset(&r[i], 0, sizeof r[i]);
        strcpy(r[i].szAddress, addrs[i].c_str());
        r[i].lValue = static_cast<int32_t>(i);
    }
    SnmpSortResults(r.data(), static_cast<uint32_t>(r.size()));
    std::vector<std::string> out;
    for (auto& e : r) out.push_back(std::string(e.szAddress) + "#" + std::to_string(e.lValue));
    return out;
}

TEST(SnmpSortResults, ByAddressTextCharacterWise) {
    EXPECT_EQ(Sorted({"127.0.3.9", "127.0.3.10", "127.0.3.2"}),
              (std::vector<std::string>{"127.0.3.10#1", "127.0.3.2#2", "127.0.3.9#0"}));
    // A prefix is never exchanged with a longer text in either order.
    EXPECT_EQ(Sorted({"127.0.3.1", "127.0.3.10"}), (std::vector<std::string>{"127.0.3.1#0", "127.0.3.10#1"}));
    EXPECT_EQ(Sorted({"127.0.3.10", "127.0.3.1"}), (std::vector<std::string>{"127.0.3.10#0", "127.0.3.1#1"}));
    // Equal texts keep their arrival order; one entry is left alone.
    EXPECT_EQ(Sorted({"b", "a", "b", "a"}), (std::vector<std::string>{"a#1", "a#3", "b#2", "b#0"}));
    EXPECT_EQ(Sorted({"z"}), (std::vector<std::string>{"z#0"}));
}

} // namespace
