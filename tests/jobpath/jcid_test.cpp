// JCID texts: CRC-16/ARC, the host and GUID forms, the index form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "jobpath/jcid.h"

namespace {

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Host(const std::string& name, uint32_t tick) {
    char out[kHostJcidSize];
    FormatHostJcid(out, Bytes(name), name.size(), tick);
    return out;
}

TEST(Jcid, CrcAndHostForm) {
    EXPECT_EQ(Crc16Arc(Bytes("abc"), 3), 0x9738);
    EXPECT_EQ(Crc16Arc(Bytes("123456789"), 9), 0xBB3D);
    EXPECT_EQ(Host("AB", 0).substr(2, 10), "4142000000");
    EXPECT_EQ(Host("abc", 0x1234ABCD), "03616263000097381234ABCD");
    // Five name bytes in upper-case hex, the CRC over the whole name.
    char crc[5];
    snprintf(crc, sizeof(crc), "%04X", Crc16Arc(Bytes("\xAB\xCDxyzw"), 6));
    EXPECT_EQ(Host("\xAB\xCDxyzw", 0xF), "03ABCD78797A" + std::string(crc) + "0000000F");
    // No name: the CRC of "********".
    snprintf(crc, sizeof(crc), "%04X", Crc16Arc(Bytes("********"), 8));
    EXPECT_EQ(Host("", 0xFFFFFFFF), "030000000000" + std::string(crc) + "FFFFFFFF");
}

TEST(Jcid, GuidForm) {
    char out[kGuidJcidSize];
    const uint8_t seq[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(FormatGuidJcid(out, 0xABC, 0x1, 0xBEEF, seq), 24u);
    EXPECT_STREQ(out, "00000ABC0001BEEF12345678");
    const uint8_t mixed[8] = {0xFF, 0x00, 0x10, 0xA0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(FormatGuidJcid(out, 0xFFFFFFFF, 0xFFFF, 0xFFFF, mixed), 31u);
    EXPECT_STREQ(out, "FFFFFFFFFFFFFFFFFF010A0FFFFFFFF");
}

TEST(Jcid, IndexForm) {
    char out[kJcidIndexSize];
    EXPECT_EQ(MakeJcidIndex(out, "AB"), 1);
    EXPECT_STREQ(out, "2.65.66");
    EXPECT_EQ(MakeJcidIndex(out, "\x05" "d\xC8"), 1);
    EXPECT_STREQ(out, "3.05.100.200");
    EXPECT_EQ(MakeJcidIndex(out, ""), 0);
    EXPECT_STREQ(out, "");
    // 80 three-digit values do not fit: cut, not overrun.
    EXPECT_EQ(MakeJcidIndex(out, std::string(80, '\xFF').c_str()), 1);
    EXPECT_LT(strlen(out), kJcidIndexSize);
}

}  // namespace
