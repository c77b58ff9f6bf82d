// Job control ID (JCID) texts the monitor makes itself, and the text form
// of a JCID as an SNMP object-identifier index. OS-free: the computer name,
// tick count and GUID are handed in by the caller.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kJcidSize = 81;           // JCID text field, terminator included
constexpr size_t kHostJcidSize = 25;       // host form: 24 characters and a zero
constexpr size_t kGuidJcidSize = 33;       // GUID form: at most 32 characters and a zero
constexpr size_t kJcidIndexSize = 256;     // object-identifier index text field
constexpr unsigned kHostJcidKind = 3;      // kind number at the head of the host form

// CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final XOR.
constexpr uint16_t kCrc16ArcPoly = 0xA001;

namespace jcid_detail {
struct Crc16Table {
    uint16_t v[256];
};
constexpr Crc16Table MakeCrc16Table() {
    Crc16Table t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i);
        for (int k = 0; k < 8; ++k) c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ kCrc16ArcPoly) : static_cast<uint16_t>(c >> 1);
        t.v[i] = c;
    }
    return t;
}
}  // namespace jcid_detail

inline constexpr jcid_detail::Crc16Table kCrc16ArcTable = jcid_detail::MakeCrc16Table();

uint16_t Crc16Arc(const uint8_t* p, size_t n, uint16_t crc = 0);

// Host form into a 25-byte field: "03", the first five name bytes in hex
// (00 past the end), the CRC of the name ("********" when there is none) and
// the tick count, all upper case. `name` may be null or `cbName` 0.
void FormatHostJcid(char* out, const uint8_t* name, size_t cbName, uint32_t tick);

// GUID form into a field of kGuidJcidSize bytes; returns the text length
// (16 to 32). `tail` is the GUID's eight final bytes in storage order.
size_t FormatGuidJcid(char* out, uint32_t data1, uint16_t data2, uint16_t data3, const uint8_t tail[8]);

// "%d.%s": the JCID's length, then its bytes in decimal separated by points,
// into a field of kJcidIndexSize bytes (cut there if it ever were longer).
// Returns 0 for an empty or null JCID (out then empty), else 1.
int MakeJcidIndex(char* out, const char* jcid);
