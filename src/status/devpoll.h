// The device status poll over SNMP and what it hands on: the status
// interpretation of a supported printer's answer and the input bin reader.
#pragma once
#include "core/portctx.h"

// 1 when the printer answered, 0 when it did not or its address is unknown.
BOOL CheckDeviceId_SNMP(PortContext* ctx);

// Turns the poll record of a supported printer into status variables and
// publishes what changed. It may read the printer (operator panel, job
// table, bin tables) before it takes the port lock, so call it without
// holding that lock.
void ParseDeviceId_SYSPRINTER(PortContext* ctx);

// Reads up to six input bins into the poll record: names, media names,
// descriptions, levels and sizes. Each request is preceded by waitMs; oid
// is the caller's 256-byte walk buffer. Holds no lock. 1.
BOOL ReadInputBins(PollRecord* poll, const char* address, char* oid, DWORD waitMs, const char* community);
// Reads the output names into the poll record's option records: option 1
// always, 5001 when an output is named "STACKER TRAY". 1.
BOOL ReadOutputBins(PollRecord* poll, const char* address, char* oid, DWORD waitMs, const char* community);
