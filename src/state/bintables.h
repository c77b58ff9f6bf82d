// Paper bins, paper sizes, printer languages and output options as the
// configuration variables carry them, built from the poll record; and the
// guard every get-next walk of the printer's tables runs under. OS-free.
#pragma once
#include <cstddef>
#include <cstdint>

#include "core/pollrecord.h"

// PrinterBinConfig: a count, then six 12-byte entries.
constexpr uint32_t kBinConfigEntries = 6;
constexpr uint32_t kBinConfigSize = 4 + 12 * kBinConfigEntries;   // 76

#pragma pack(push, 1)
struct BinConfigEntry {
    uint16_t wBinId;
    uint16_t wType;
    uint16_t wPaperSize;
    uint8_t bLevelClass;
    uint8_t bReserved;
    uint32_t dwReserved;
};
struct OptConfigEntry {
    uint16_t wId;
    uint16_t wSubId;
    uint32_t dwValue;
};
#pragma pack(pop)
static_assert(sizeof(BinConfigEntry) == 12, "bin entry is 12 bytes");
static_assert(sizeof(OptConfigEntry) == 8, "option entry is 8 bytes");

// Bin types.
constexpr uint16_t BINTYPE_HOPPER = 1;
constexpr uint16_t BINTYPE_CASSETTE = 2;
constexpr uint16_t BINTYPE_A4_CASSETTE = 3;
constexpr uint16_t BINTYPE_A4_HOPPER3 = 6;
constexpr uint16_t BINTYPE_HOPPER5 = 7;
constexpr uint16_t BINTYPE_NON_STANDARD = 8;
constexpr uint16_t BINTYPE_TRAY = 2001;

constexpr uint16_t PAPER_UNKNOWN = 0xFFFF;
constexpr uint16_t PAPER_NON_STANDARD = 256;
constexpr uint16_t PAPER_A4 = 9;

constexpr uint8_t LEVEL_SOME_SHEETS = 100;   // prtInputCurrentLevel -3
constexpr uint8_t LEVEL_PARTLY = 254;        // any other non-zero level
constexpr int32_t INPUT_LEVEL_SOME = -3;

constexpr uint32_t BIN_ID_TRAY = 2001;
constexpr uint32_t NO_CURRENT_FEEDER = 0xFFFFFFFF;

struct BinNameRow {
    const char* pszName;
    uint32_t dwBinId;
};
extern const BinNameRow kBinNames[6];

struct PaperSizeRow {
    uint32_t dwShort;    // micrometres
    uint32_t dwLong;
    uint16_t wCode;      // DMPAPER_*
};
extern const PaperSizeRow kPaperSizes[9];

struct LanguageRow {
    const char* pszDescription;   // prtInterpreterDescription
    uint32_t dwFlag;              // bit in dwLangFlags
    uint32_t dwCode;              // code in EmulationInfo
};
extern const LanguageRow kLanguages[2];

extern const BinConfigEntry kDefaultBinConfig[kBinConfigEntries];

// The option outputs.
constexpr uint32_t OPTION_STANDARD_OUTPUT = 1;
constexpr uint32_t OPTION_STACKER_TRAY = 5001;
constexpr char kStackerTrayName[] = "STACKER TRAY";

// Bin id of an input name; 0 when the name is not in the table.
uint32_t BinIdOfName(const char* name, size_t size);
// Paper size code of a bin's dimensions in either order.
uint16_t PaperSizeCode(uint32_t x, uint32_t y);
// Whether the description marks the current bin.
bool IsCurrentDescription(const char* text, size_t size);

// The PrinterBinConfig value (76 bytes) of the bins read, and the id of
// the bin marked current (NO_CURRENT_FEEDER when none is).
void BuildBinConfig(const PollRecord& poll, uint8_t value[kBinConfigSize], uint32_t* currentFeeder);

// The EmulationInfo value: count, then the code of each language offered.
// Returns its size in bytes (at most 4 + 4 * languages).
constexpr size_t kEmulationMax = 4 + 4 * 2;
size_t BuildEmulationInfo(uint32_t langFlags, uint8_t value[kEmulationMax]);

// Get-next walks: the returned name must lie in the subtree walked and
// come after the name asked with, or the walk ends (a printer that answers
// with the same or an earlier name would otherwise keep a walk going).
bool OidInSubtree(const char* oid, const char* subtree);
bool OidAdvances(const char* before, const char* after);
