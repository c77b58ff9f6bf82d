// Print history files and the lost-job check.
#pragma once
#include "core/portctx.h"

#include <cstddef>

constexpr char kPrnChkKey[] = "SOFTWARE\\VEK\\Quorvex\\Env\\PrnChk";
constexpr char kBaseDirKey[] = "SOFTWARE\\VEK\\Quorvex\\Env\\Dir";

// ErrPrintSequence bits.
constexpr DWORD LOST_ENDDOC = 0x1;          // an end of document never came
constexpr DWORD LOST_JOB_SUSPENDED = 0x4;   // suspended or cancelled at the printer, or a re-sent copy

constexpr DWORD kHistoryMaxLines = 1000;
constexpr DWORD kHistoryMaxSequence = 100;

// Characters that cannot stand in a file name.
constexpr char kInvalidNameChars[] = "\\/:,;*?\"<>|";

BOOL GetPrintCheckInfo(PortContext* ctx);
void ResetPrintCheckInfo(PortContext* ctx);
void OutPrnHist_JobStatus(PortContext* ctx, DWORD jobId, const char* statusWord);
void PrnLostChk(PortContext* ctx, DWORD bit, const char* label);

void OpenPrintHistory(PortContext* ctx);
void CloseHistoryFile(PortContext* ctx);
// Closes a history file that is still open when the context goes (a job
// ended on the printer after ClosePort closed the history); opens none.
void EndPrintHistory(PortContext* ctx);

// Next free name of today's history file in folder (null or empty: the
// executable's folder). Returns 0, or the error of the folder search.
DWORD NextHistoryFileName(const char* folder, const char* prefix, const char* name, const char* extension,
                          char* outName, size_t cchOut, DWORD* outSequence);
// Replaces each byte of set in text by '_', never the trail byte of a
// double-byte character. Without output: 0 when text holds one of set.
BOOL ReplaceInvalidChars(const char* text, char* out, const char* set);
// The same in a given code page (ReplaceInvalidChars uses the ANSI one).
BOOL ReplaceInvalidCharsCp(UINT codePage, const char* text, char* out, const char* set);

// Local time for the history's dates; a test puts its own clock here.
using HistoryClock = void(WINAPI*)(LPSYSTEMTIME);
extern HistoryClock pfnHistoryLocalTime;
