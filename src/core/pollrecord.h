// The poll record: the raw MIB values of one device poll, kept in the port
// context and cleared at the start of every poll. The status interpretation
// and the bin and option configuration turn it into status variables.
// A leaf header (the port context embeds the record), free of the OS so
// the interpretation tables and their tests build natively too.
#pragma once
#include <cstdint>

// dwMibFlags: what the poll obtained.
constexpr uint32_t MIBF_DESCR      = 0x00000001;   // the system description was read
constexpr uint32_t MIBF_LANG       = 0x00000002;   // the interpreter walk got an answer
constexpr uint32_t MIBF_INPUT      = 0x00000004;   // the input bins were read
constexpr uint32_t MIBF_OUTPUT     = 0x00000008;   // the output walk was carried out
constexpr uint32_t MIBF_ALERT      = 0x00000010;   // the alert walk got an answer
constexpr uint32_t MIBF_SUPPORTED  = 0x80000000;   // it matched the supported model

constexpr uint32_t POLL_TEXT = 256;                // texts of the poll record
constexpr uint32_t POLL_INPUT_BINS = 6;
constexpr uint32_t POLL_ALERTS = 64;
constexpr uint32_t POLL_OPTIONS = 2;
constexpr uint32_t BIN_TEXT = 16;                  // 15 characters and the zero

// One input bin as the printer reports it (64 bytes).
struct InputBinRecord {
    int32_t dwLevel;                       // prtInputCurrentLevel (-3: some sheets)
    uint32_t dwSizeX;                      // cross-feed dimension, micrometres
    uint32_t dwSizeY;                      // feed dimension, micrometres
    uint32_t bCurrent;                     // the description marks the current bin
    char szName[BIN_TEXT];
    char szMedia[BIN_TEXT];
    char szDescription[BIN_TEXT];
};
static_assert(sizeof(InputBinRecord) == 64, "an input bin record is 64 bytes");

// One option (260 bytes); only its ID is filled by the poll.
struct OptionBinRecord {
    uint32_t dwId;
    uint8_t abReserved[256];
};
static_assert(sizeof(OptionBinRecord) == 260, "an option record is 260 bytes");

constexpr uint32_t OPTION_ID_OUTPUT = 1;           // OptionBin[0]: the output table was read
constexpr uint32_t OPTION_ID_STACKER = 5001;       // OptionBin[1]: an output "STACKER TRAY"

struct PollRecord {
    uint32_t dwMibFlags;
    uint32_t dwDescrRetry;                 // failed description reads in this poll
    char szMibWork[POLL_TEXT];          // scratch: the current row of a walk
    char szSysDescr[POLL_TEXT];         // sysDescr with " (LV)" appended
    uint32_t dwLangFlags;
    uint32_t dwHrDeviceStatus;
    uint32_t dwHrPrinterStatus;
    uint32_t dwHrErrorState;               // first four octets, the first in the lowest byte
    uint32_t dwPowerSave;                  // prtConsoleOnTime of light 3
    uint32_t dwInputCount;
    InputBinRecord InputBin[POLL_INPUT_BINS];
    uint32_t dwAlertCount;
    char szAlert[POLL_ALERTS][POLL_TEXT];
    OptionBinRecord OptionBin[POLL_OPTIONS];
};
