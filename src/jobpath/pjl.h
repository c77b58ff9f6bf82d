// The job's PJL header on the port: reading the job's own header into the
// port context, the JCID the monitor gives each job, the JCID records of the
// job queue entry, and the language header sent ahead of a job without one.
#pragma once
#include "core/portctx.h"
#include "jobpath/jcid.h"
#include "jobpath/pjl_scan.h"

// Language header: UEL and "@PJL ENTER LANGUAGE=VPDL\r\n", 35 bytes.
inline constexpr char kPjlEnterLanguage[] = "@PJL ENTER LANGUAGE=VPDL\r\n";
constexpr DWORD kLanguageHeaderSize = static_cast<DWORD>(kUelSize + sizeof(kPjlEnterLanguage) - 1);
constexpr DWORD kLanguageHeaderBuffer = 1024;

// StoreJobJCID targets.
constexpr DWORD JCID_STORE_UID = 0x1;      // szUID and szUIDIndex
constexpr DWORD JCID_STORE_EOJ = 0x2;      // szEOJUID

// dwSysFlag bits that ask for the restart check when the job line is read.
constexpr DWORD SYS_RESTART_CHECK = SYS_PWOFF_JCID | SYS_PRINTER_RESET;

// Examines a block of the job: 0 when the job type was known already
// (nothing done), else 1.
int ParseJobHeader(PortContext* ctx, const BYTE* pBuf, DWORD cb);

// Command handlers on the context. `line` is the matched command in the job
// data and `cbLeft` the bytes from there to the end of the block: nothing
// beyond is read. Both return 1.
int OnPjlJob(const BYTE* line, PortContext* ctx, DWORD cbLeft);
int OnPjlEnter(const BYTE* line, PortContext* ctx);

// Host form into a 25-byte field; returns 1.
int MakeHostJCID(char* out);
// GUID form into a field of kGuidJcidSize bytes; 0 (out empty) when no GUID
// could be made.
int MakeGuidJCID(char* out);
// The JCID of a new job into szJCID: the GUID form on the two TCP/IP port
// kinds, the host form elsewhere.
void ChooseJobJCID(PortContext* ctx);

// Records `text` in the newest job queue entry; 0 when the text or context
// is null or the queue is empty, else 1.
int StoreJobJCID(const char* text, DWORD which, PortContext* ctx);

// Sends the language header once per job, ahead of a first block that does
// not start with its own UEL.
enum LangHeaderResult {
    LANGHDR_NOT_SENT = 0,  // not due, or the send failed: the job goes on without it
    LANGHDR_SENT = 1,
    LANGHDR_RETRY = 2,     // the spooler-access right was not obtained: take no job data yet
};
LangHeaderResult SendLanguageHeader(PortContext* ctx, const BYTE* firstBlock, DWORD cb);
