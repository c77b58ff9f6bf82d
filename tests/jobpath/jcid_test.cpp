// JCID texts: CRC-16/ARC, the host and GUID forms, the index form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "jobpath/jcid.h"

namespace {

const uint8_t* Bytes(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

// Bit by bit, independent of the table.
uint16_t SlowCrc16Arc(const std::string& s) {
    uint16_t crc = 0;
    for (unsigned char b : s) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

std::string Host(const char* name, size_t cb, uint32_t tick) {
    char out[kHostJcidSize];
    memset(out, 'x', sizeof(out));
    FormatHostJcid(out, Bytes(name), cb, tick);
    EXPECT_EQ(out[24], '\0');
    return out;
}

TEST(Jcid, Crc16Arc) {
    EXPECT_EQ(Crc16Arc(Bytes("abc"), 3), 0x9738);
    EXPECT_EQ(Crc16Arc(Bytes("123456789"), 9), 0xBB3D);
    EXPECT_EQ(Crc16Arc(nullptr, 0), 0);
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    EXPECT_EQ(Crc16Arc(Bytes(all.data()), all.size()), SlowCrc16Arc(all));
}

TEST(Jcid, HostForm) {
    EXPECT_EQ(Host("AB", 2, 0x1234ABCD).substr(0, 12), "034142000000");
    EXPECT_EQ(Host("abc", 3, 0x1234ABCD), "03616263000097381234ABCD");
    // Five bytes of the name in hex, the CRC over all of it, upper case throughout.
    std::string longName = "\xAB\xCD" "efghijklmnop";
    char crc[5];
    snprintf(crc, sizeof(crc), "%04X", SlowCrc16Arc(longName));
    EXPECT_EQ(Host(longName.c_str(), longName.size(), 0x0000000F), "03ABCD656667" + std::string(crc) + "0000000F");
    // No name: the CRC of "********".
    snprintf(crc, sizeof(crc), "%04X", SlowCrc16Arc("********"));
    EXPECT_EQ(Host(nullptr, 7, 0xFFFFFFFF), "030000000000" + std::string(crc) + "FFFFFFFF");
    EXPECT_EQ(Host("", 0, 1), "030000000000" + std::string(crc) + "00000001");
}

TEST(Jcid, GuidForm) {
    char out[kGuidJcidSize];
    const uint8_t seq[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(FormatGuidJcid(out, 0xABC, 0x1, 0xBEEF, seq), 24u);
    EXPECT_STREQ(out, "00000ABC0001BEEF12345678");
    const uint8_t wide[8] = {0xFF, 0x00, 0x10, 0xA0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(FormatGuidJcid(out, 0xFFFFFFFF, 0xFFFF, 0xFFFF, wide), 31u);
    EXPECT_STREQ(out, "FFFFFFFFFFFFFFFFFF010A0FFFFFFFF");
    const uint8_t full[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(FormatGuidJcid(out, 0, 0, 0, full), 32u);
}

TEST(Jcid, IndexForm) {
    char out[kJcidIndexSize];
    EXPECT_EQ(MakeJcidIndex(out, "AB"), 1);
    EXPECT_STREQ(out, "2.65.66");
    EXPECT_EQ(MakeJcidIndex(out, "\x05" "d\xC8"), 1);
    EXPECT_STREQ(out, "3.05.100.200");
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(MakeJcidIndex(out, ""), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(MakeJcidIndex(out, nullptr), 0);

    // A host-form JCID: 24 two-digit values.
    EXPECT_EQ(MakeJcidIndex(out, "03616263000097381234ABCD"), 1);
    EXPECT_EQ(strlen(out), 3 + 24 * 3 - 1);
    EXPECT_EQ(std::string(out).substr(0, 12), "24.48.51.54.");

    // An 80-byte JCID of three-digit values does not fit; the text is cut, not overrun.
    std::string big(80, '\xFF');
    memset(out, 'x', sizeof(out));
    EXPECT_EQ(MakeJcidIndex(out, big.c_str()), 1);
    EXPECT_LT(strlen(out), kJcidIndexSize);
    EXPECT_EQ(std::string(out).substr(0, 7), "80.255.");
}

}  // namespace
