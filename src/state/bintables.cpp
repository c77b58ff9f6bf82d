#include "state/bintables.h"

#include <cstring>

const BinNameRow kBinNames[] = {
    {"HOPPER1", 1}, {"HOPPER2", 2}, {"HOPPER3", 3}, {"HOPPER4", 4}, {"HOPPER5", 5}, {"TRAY", BIN_ID_TRAY},
};

const PaperSizeRow kPaperSizes[] = {
    {297000, 420000, 8},    // A3
    {210000, 297000, 9},    // A4
    {148000, 210000, 11},   // A5
    {257000, 364000, 12},   // B4
    {182000, 257000, 13},   // B5
    {216000, 280000, 1},    // Letter
    {100000, 148000, 43},   // Japanese postcard
    {148000, 200000, 69},   // double Japanese postcard
    {105000, 235000, 91},   // Japanese envelope You #4
};

const LanguageRow kLanguages[] = {
    {"VPDL Level2.201PL", 0x1, 0},
    {"ESC/P", 0x2, 1},
};

const BinConfigEntry kDefaultBinConfig[kBinConfigEntries] = {
    {1, BINTYPE_HOPPER, PAPER_A4, LEVEL_SOME_SHEETS, 0, 0},
    {2, BINTYPE_HOPPER, PAPER_A4, LEVEL_SOME_SHEETS, 0, 0},
    {3, BINTYPE_CASSETTE, PAPER_A4, LEVEL_SOME_SHEETS, 0, 0},
    {4, BINTYPE_CASSETTE, PAPER_A4, LEVEL_SOME_SHEETS, 0, 0},
    {5, BINTYPE_HOPPER5, PAPER_A4, LEVEL_SOME_SHEETS, 0, 0},
    {BIN_ID_TRAY, BINTYPE_TRAY, PAPER_A4, 0, 0, 0},
};

namespace {

size_t Length(const char* text, size_t size) {
    const void* end = memchr(text, 0, size);
    return end ? static_cast<size_t>(static_cast<const char*>(end) - text) : size;
}

bool Equals(const char* field, size_t size, const char* text) {
    size_t n = strlen(text);
    return Length(field, size) == n && memcmp(field, text, n) == 0;
}

// The field is the text or a leading part of it (an empty field counts).
bool LeadingPartOf(const char* field, size_t size, const char* text) {
    size_t n = Length(field, size);
    return n <= strlen(text) && memcmp(field, text, n) == 0;
}

uint16_t BinType(const InputBinRecord& bin, uint32_t id) {
    if (LeadingPartOf(bin.szMedia, BIN_TEXT, "NON-STANDARD")) return BINTYPE_NON_STANDARD;
    if (id == 1 || id == 2) return BINTYPE_HOPPER;
    if (id == BIN_ID_TRAY) return BINTYPE_TRAY;
    if (id == 5) return BINTYPE_HOPPER5;
    if (LeadingPartOf(bin.szDescription, BIN_TEXT, "A4TYPE") ||
        LeadingPartOf(bin.szDescription, BIN_TEXT, "A4TYPE,CURRENT"))
        return id == 3 ? BINTYPE_A4_HOPPER3 : BINTYPE_A4_CASSETTE;
    return BINTYPE_CASSETTE;
}

uint8_t LevelClass(int32_t level) {
    if (level == INPUT_LEVEL_SOME) return LEVEL_SOME_SHEETS;
    return level ? LEVEL_PARTLY : 0;
}

// Next arc of a dotted OID text; false at the end or on a malformed arc.
bool NextArc(const char*& p, uint64_t* arc) {
    if (*p == 0) return false;
    if (*p == '.') ++p;
    if (*p < '0' || *p > '9') return false;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0xFFFFFFFFull) return false;
        ++p;
    }
    if (*p != 0 && *p != '.') return false;
    *arc = v;
    return true;
}

}  // namespace

uint32_t BinIdOfName(const char* name, size_t size) {
    for (const BinNameRow& r : kBinNames)
        if (Equals(name, size, r.pszName)) return r.dwBinId;
    return 0;
}

uint16_t PaperSizeCode(uint32_t x, uint32_t y) {
    for (const PaperSizeRow& r : kPaperSizes)
        if ((x == r.dwShort && y == r.dwLong) || (x == r.dwLong && y == r.dwShort)) return r.wCode;
    return PAPER_UNKNOWN;
}

bool IsCurrentDescription(const char* text, size_t size) {
    return Equals(text, size, "A3TYPE,CURRENT") || Equals(text, size, "A4TYPE,CURRENT");
}

void BuildBinConfig(const PollRecord& poll, uint8_t value[kBinConfigSize], uint32_t* currentFeeder) {
    memset(value, 0, kBinConfigSize);
    uint32_t count = poll.dwInputCount < POLL_INPUT_BINS ? poll.dwInputCount : POLL_INPUT_BINS;
    memcpy(value, &count, 4);
    *currentFeeder = NO_CURRENT_FEEDER;
    BinConfigEntry entries[kBinConfigEntries] = {};
    uint32_t next = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const InputBinRecord& bin = poll.InputBin[i];
        uint32_t id = BinIdOfName(bin.szName, BIN_TEXT);
        // The tray always takes the last counted slot; hoppers fill from the
        // front. A name outside the table takes the next slot with id 0.
        uint32_t slot = id == BIN_ID_TRAY ? count - 1 : next++;
        if (slot >= count) continue;
        if (bin.bCurrent) *currentFeeder = id;
        BinConfigEntry& e = entries[slot];
        e = BinConfigEntry{};
        e.wBinId = static_cast<uint16_t>(id);
        e.wType = BinType(bin, id);
        e.wPaperSize = e.wType == BINTYPE_NON_STANDARD ? PAPER_NON_STANDARD : PaperSizeCode(bin.dwSizeX, bin.dwSizeY);
        e.bLevelClass = LevelClass(bin.dwLevel);
    }
    memcpy(value + 4, entries, sizeof(entries));
}

size_t BuildEmulationInfo(uint32_t langFlags, uint8_t value[kEmulationMax]) {
    memset(value, 0, kEmulationMax);
    uint32_t count = 0;
    for (const LanguageRow& r : kLanguages) {
        if (!(langFlags & r.dwFlag)) continue;
        memcpy(value + 4 + 4 * count, &r.dwCode, 4);
        ++count;
    }
    memcpy(value, &count, 4);
    return 4 + 4 * count;
}

bool OidInSubtree(const char* oid, const char* subtree) {
    size_t n = strlen(subtree);
    return strncmp(oid, subtree, n) == 0 && oid[n] == '.';
}

bool OidAdvances(const char* before, const char* after) {
    const char* a = before;
    const char* b = after;
    for (;;) {
        uint64_t x, y;
        bool hasA = NextArc(a, &x);
        bool hasB = NextArc(b, &y);
        if (!hasB) return false;      // the same name, a prefix of it or malformed
        if (!hasA) return true;       // a longer name below the one asked with
        if (x != y) return y > x;
    }
}
