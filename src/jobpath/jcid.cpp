#include "jobpath/jcid.h"

#include <cstdio>
#include <cstring>

namespace {
constexpr char kHex[] = "0123456789ABCDEF";
// Hashed in place of a missing or empty computer name.
constexpr char kNoName[] = "********";

void PutHex(char* out, uint32_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = kHex[v & 0xF];
        v >>= 4;
    }
}
}  // namespace

uint16_t Crc16Arc(const uint8_t* p, size_t n, uint16_t crc) {
    for (size_t i = 0; i < n; ++i)
        crc = static_cast<uint16_t>(kCrc16ArcTable.v[(p[i] ^ crc) & 0xFF] ^ (crc >> 8));
    return crc;
}

void FormatHostJcid(char* out, const uint8_t* name, size_t cbName, uint32_t tick) {
    if (!name) cbName = 0;
    PutHex(out, kHostJcidKind, 2);
    for (size_t i = 0; i < 5; ++i) PutHex(out + 2 + 2 * i, i < cbName ? name[i] : 0, 2);
    uint16_t crc = cbName ? Crc16Arc(name, cbName)
                          : Crc16Arc(reinterpret_cast<const uint8_t*>(kNoName), sizeof(kNoName) - 1);
    PutHex(out + 12, crc, 4);
    PutHex(out + 16, tick, 8);
    out[24] = '\0';
}

size_t FormatGuidJcid(char* out, uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t tail[8]) {
    int n = snprintf(out, kGuidJcidSize, "%08X%04X%04X%X%X%X%X%X%X%X%X", static_cast<unsigned>(data1),
                     static_cast<unsigned>(data2), static_cast<unsigned>(data3), tail[0], tail[1], tail[2], tail[3],
                     tail[4], tail[5], tail[6], tail[7]);
    return n < 0 ? 0 : static_cast<size_t>(n);
}

int MakeJcidIndex(char* out, const char* jcid) {
    out[0] = '\0';
    if (!jcid || !*jcid) return 0;
    size_t len = strlen(jcid);
    // Every byte takes at most four characters ("255."); the field cuts the rest.
    char body[kJcidIndexSize];
    size_t pos = 0;
    for (size_t i = 0; i < len && pos + 4 < sizeof(body); ++i) {
        // Two digits at least: generated JCIDs hold only 10..99, and a
        // leading zero keeps the few other values at the same width.
        int n = snprintf(body + pos, sizeof(body) - pos, "%02u.", static_cast<unsigned>(static_cast<uint8_t>(jcid[i])));
        if (n < 0) break;
        pos += static_cast<size_t>(n);
    }
    if (pos) body[pos - 1] = '\0';  // drop the last point
    else body[0] = '\0';
    snprintf(out, kJcidIndexSize, "%d.%s", static_cast<int>(len), body);
    return 1;
}
