// Port monitor double: the port monitor beneath the language monitor.
//
// PmDouble_Table() is the MONITOR2 table the spooler would hand to the
// language monitor's OpenPortEx. Every call through it is logged, and tests
// script failures, short writes, held writes, device-control answers and read
// data. Job data of a port can be forwarded to its printer's raw job port
// (<address>:9100), as the Standard TCP/IP port monitor sends it.
// Thread-safe; one global instance per process.
#pragma once
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <functional>
#include <string>
#include <vector>

// The 19-slot layout (up to pfnSendRecvBidiDataFromPort): what cbSize 160 says.
constexpr DWORD kPmDoubleTableSize = 160;

enum PmOp {
    PM_OPEN,          // pfnOpenPort
    PM_STARTDOC,      // pfnStartDocPort
    PM_WRITE,         // pfnWritePort
    PM_READ,          // pfnReadPort
    PM_ENDDOC,        // pfnEndDocPort
    PM_CLOSE,         // pfnClosePort
    PM_GETDATA,       // pfnGetPrinterDataFromPort
    PM_SETTIMEOUTS,   // pfnSetPortTimeOuts
    PM_OP_COUNT
};

const char* PmOpName(PmOp op);

struct PmCall {
    DWORD seq = 0;              // order among all calls since reset, from 1
    PmOp op = PM_OPEN;
    DWORD threadId = 0;
    ULONGLONG usEnter = 0;      // microseconds (performance counter) at entry
    ULONGLONG usLeave = 0;      // and at return
    HANDLE hPort = nullptr;     // the double's port handle (result of PM_OPEN)
    HANDLE hMonitor = nullptr;  // PM_OPEN: the monitor handle passed in
    std::wstring portName;      // every op: the port's name
    // PM_STARTDOC
    std::wstring printerName;
    DWORD jobId = 0;
    DWORD level = 0;
    std::wstring docName, outputFile, datatype;   // DOC_INFO_1W/2W/3W
    DWORD docFlags = 0;                            // DOC_INFO_3W.dwFlags
    bool hasDocInfo = false;
    // PM_WRITE / PM_READ: bytes accepted (or returned); cbRequested is the
    // caller's count, cbDone what *pcbWritten / *pcbRead said.
    std::string data;
    DWORD cbRequested = 0;
    DWORD cbDone = 0;
    // PM_GETDATA
    DWORD controlId = 0;
    std::wstring valueName;
    bool hasValueName = false;
    std::string inData;
    DWORD cbOutBuffer = 0;
    // PM_SETTIMEOUTS
    COMMTIMEOUTS timeouts{};
    // Outcome
    BOOL result = FALSE;
    DWORD lastError = 0;        // set on failure only
};

// The table (cbSize 160). Tests may change slots, e.g. null pfnSetPortTimeOuts
// or pfnGetPrinterDataFromPort; PmDouble_Reset restores it.
MONITOR2* PmDouble_Table();

// Clears the log, every script, the read queue and the sink; restores the table.
// Ports still open stay valid handles (so a late ClosePort is still logged).
void PmDouble_Reset();

// ---- Log -----------------------------------------------------------------
std::vector<PmCall> PmDouble_Calls();
std::vector<PmCall> PmDouble_Calls(PmOp op);
size_t PmDouble_CallCount(PmOp op);
// Bytes accepted by WritePort per document (StartDocPort..EndDocPort, in
// StartDocPort order, all ports), and everything accepted in one string.
std::vector<std::string> PmDouble_Documents();
std::string PmDouble_AllWritten();
// Bytes accepted by WritePort since reset (counted even when data are not kept).
unsigned long long PmDouble_BytesWritten();
// Keep written bytes in the log and the documents (default). Benchmarks that
// push much data turn it off; counts, order and times are still logged.
void PmDouble_KeepData(bool keep);
// Ports open now (OpenPort without ClosePort).
size_t PmDouble_OpenPortCount();
// Calls that passed a handle the double never gave out or already closed.
size_t PmDouble_BadHandleCount();

// ---- Scripts ---------------------------------------------------------------
// Fail calls of op: let `skip` calls pass, then fail `count` calls with lastError.
// ("Fail the 3rd write" is skip 2, count 1.)
void PmDouble_Fail(PmOp op, DWORD skip, DWORD count, DWORD lastError);
inline void PmDouble_FailNext(PmOp op, DWORD count, DWORD lastError) { PmDouble_Fail(op, 0, count, lastError); }
// The next `count` writes accept at most maxBytes each (*pcbWritten says so; TRUE).
void PmDouble_ShortWrites(DWORD maxBytes, DWORD count);
// Every write sleeps this long before it completes (0: none).
void PmDouble_SetWriteDelay(DWORD ms);
// While held, each WritePort blocks on entry until PmDouble_ReleaseWrites.
void PmDouble_HoldWrites();
// Waits until a write is blocked by the hold; false on timeout.
bool PmDouble_WaitWriteHeld(DWORD timeoutMs);
void PmDouble_ReleaseWrites();

// Answer of GetPrinterDataFromPort for a device-control code: the output bytes,
// the count reported in *lpcbReturned (~0u: the output's size) and the result.
// A caller buffer smaller than the output gets FALSE / ERROR_INSUFFICIENT_BUFFER.
// Codes without an answer fail with ERROR_NOT_SUPPORTED.
void PmDouble_SetDeviceControl(DWORD controlId, const std::string& out, DWORD cbReported = ~0u, BOOL result = TRUE,
                               DWORD lastError = 0);
// The same for one exact input (e.g. a mode to negotiate); wins over the any-input answer.
void PmDouble_SetDeviceControlFor(DWORD controlId, const std::string& in, const std::string& out,
                                  DWORD cbReported = ~0u, BOOL result = TRUE, DWORD lastError = 0);
// An IEEE 1284 device ID answer for IOCTL_PAR_QUERY_DEVICE_ID: two-byte
// big-endian length (including itself) followed by the ID text.
std::string PmDouble_DeviceIdBlock(const std::string& id);
constexpr DWORD kIoctlParQueryDeviceId = 0x0016000C;

// ReadPort returns queued chunks in order, one chunk (or its head) per call;
// with nothing queued it returns TRUE with 0 bytes.
void PmDouble_QueueRead(const std::string& bytes);

// Runs fn on entry to every call of op, before any script and outside the
// double's lock (e.g. to change state at an exact moment). Empty fn removes it.
void PmDouble_SetHook(PmOp op, std::function<void(const PmCall&)> fn);

// Polls the log until `count` calls of op have returned; false on timeout.
bool PmDouble_WaitForCalls(PmOp op, size_t count, DWORD timeoutMs);

// Forwarding of job data over TCP: connect at StartDocPort, send on each
// accepted write, close at EndDocPort. A failed connect fails StartDocPort
// with the socket error; a connection the printer reset (or closed) fails
// the next WritePort with the socket error (WSAECONNRESET for a close), as
// the Standard TCP/IP port monitor does.
//
// Job data of the port goes to address:port (the printer's raw job port);
// an empty address turns forwarding of that port off.
void PmDouble_SetPortTarget(const wchar_t* portName, const char* address, unsigned short port = 9100);
// Every port without a target of its own goes to 127.0.0.1:port; 0 turns it off.
void PmDouble_SetTcpSink(unsigned short port);
