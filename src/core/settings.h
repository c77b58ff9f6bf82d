// Port settings from the local machine's registry; every read falls back
// to a built-in default.
#pragma once
#include "core/portctx.h"

constexpr char kPollingKey[] = "SOFTWARE\\VEK\\Lorvane\\Printers\\VEK Tessaroline 7700 (LV)";
constexpr char kPortModeKey[] = "SOFTWARE\\VEK\\Lorvane\\Printers";
constexpr char kCommunityKey[] = "SOFTWARE\\VEK\\customCommunity";
constexpr char kClosePortTimeoutKey[] = "SOFTWARE\\VEK\\ClosePortTimeout";
constexpr char kSpoolerPrintersKey[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";

constexpr DWORD kDefaultClosePortTimeout = 120000;
constexpr DWORD kMaxClosePortTimeout = 86400000;

BOOL ReadPollingSettings(PortContext* ctx);
int ReadCommunity(const char* printerName, char out[32], DWORD* pLen);
int ReadClosePortTimeout(const char* printerName, DWORD* pTimeout);
BOOL ReadPortMode(PortContext* ctx);
