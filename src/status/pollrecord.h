// The poll record: the raw MIB values of one device poll, kept in the port
// context and cleared at the start of every poll. The status interpretation
// and the bin and option configuration turn it into status variables.
// A leaf header (the port context embeds the record).
#pragma once
#include <windows.h>

// dwMibFlags: what the poll obtained.
constexpr DWORD MIBF_DESCR      = 0x00000001;   // the system description was read
constexpr DWORD MIBF_LANG       = 0x00000002;   // the interpreter walk got an answer
constexpr DWORD MIBF_INPUT      = 0x00000004;   // the input bins were read
constexpr DWORD MIBF_OUTPUT     = 0x00000008;   // the output walk was carried out
constexpr DWORD MIBF_ALERT      = 0x00000010;   // the alert walk got an answer
constexpr DWORD MIBF_SUPPORTED  = 0x80000000;   // it matched the supported model

constexpr DWORD POLL_TEXT = 256;                // texts of the poll record
constexpr DWORD POLL_INPUT_BINS = 6;
constexpr DWORD POLL_ALERTS = 64;
constexpr DWORD POLL_OPTIONS = 2;
constexpr DWORD BIN_TEXT = 16;                  // 15 characters and the zero

// One input bin as the printer reports it (64 bytes).
struct InputBinRecord {
    LONG dwLevel;                       // prtInputCurrentLevel (-3: some sheets)
    DWORD dwSizeX;                      // cross-feed dimension, micrometres
    DWORD dwSizeY;                      // feed dimension, micrometres
    DWORD bCurrent;                     // the description marks the current bin
    char szName[BIN_TEXT];
    char szMedia[BIN_TEXT];
    char szDescription[BIN_TEXT];
};
static_assert(sizeof(InputBinRecord) == 64, "an input bin record is 64 bytes");

// One option (260 bytes); only its ID is filled by the poll.
struct OptionBinRecord {
    DWORD dwId;
    BYTE abReserved[256];
};
static_assert(sizeof(OptionBinRecord) == 260, "an option record is 260 bytes");

constexpr DWORD OPTION_ID_OUTPUT = 1;           // OptionBin[0]: the output table was read
constexpr DWORD OPTION_ID_STACKER = 5001;       // OptionBin[1]: an output "STACKER TRAY"

struct PollRecord {
    DWORD dwMibFlags;
    DWORD dwDescrRetry;                 // failed description reads in this poll
    char szMibWork[POLL_TEXT];          // scratch: the current row of a walk
    char szSysDescr[POLL_TEXT];         // sysDescr with " (LV)" appended
    DWORD dwLangFlags;
    DWORD dwHrDeviceStatus;
    DWORD dwHrPrinterStatus;
    DWORD dwHrErrorState;               // first four octets, the first in the lowest byte
    DWORD dwPowerSave;                  // prtConsoleOnTime of light 3
    DWORD dwInputCount;
    InputBinRecord InputBin[POLL_INPUT_BINS];
    DWORD dwAlertCount;
    char szAlert[POLL_ALERTS][POLL_TEXT];
    OptionBinRecord OptionBin[POLL_OPTIONS];
};
