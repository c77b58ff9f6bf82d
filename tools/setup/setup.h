// vjlmon-setup: registers the monitor with the spooler, removes it, and
// shows how it would serve each printer whose driver names it.
#pragma once
#include <string>
#include <vector>

// Exit codes, as docs/install.md gives them.
constexpr int SETUP_OK = 0;
constexpr int SETUP_USAGE = 1;           // unknown command or option
constexpr int SETUP_SPOOLER_FAILED = 2;  // a spooler call failed (message gives the Windows error)
constexpr int SETUP_IN_USE = 3;          // remove refused: a printer's driver still names the monitor
constexpr int SETUP_NOT_INSTALLED = 4;   // remove or status: the monitor is not registered

constexpr wchar_t kSetupEnvironment[] = L"Windows x64";
constexpr wchar_t kSetupDllName[] = L"vjlmon.dll";

// Runs one command line (without the program name). What a user reads goes
// to out, error sentences to err.
int RunSetup(const std::vector<std::wstring>& args, std::wstring* out, std::wstring* err);
