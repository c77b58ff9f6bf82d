// SNMP version 1 requests over UDP: the five request operations the rest of
// the monitor calls, the exchange record of one request and the transport
// steps it runs through. Each call is self-contained: its own record, its
// own socket, one datagram out and the matching answer back.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include "snmp/result.h"

// Exchange error codes.
constexpr DWORD SNMP_ERR_NONE    = 0;    // also: socket became ready, read again
constexpr DWORD SNMP_ERR_FAILED  = 1;    // send, receive or wait failed outright
constexpr DWORD SNMP_ERR_SOCKET  = 4;    // socket not created or no broadcast
constexpr DWORD SNMP_ERR_TIMEOUT = 5;    // two one-second waits without data
constexpr DWORD SNMP_ERR_RESOLVE = 6;    // host name did not resolve
constexpr DWORD SNMP_ERR_SEND    = 10;   // the request could not be sent

constexpr u_short SNMP_PORT = 161;
constexpr int SNMP_BUFFER = 2048;
constexpr int SNMP_MAX_ATTEMPTS = 256;   // receive attempts per exchange
constexpr char SNMP_DEFAULT_COMMUNITY[] = "ravine";
constexpr char SNMP_BROADCAST[] = "255.255.255.255";
// Request ids are drawn from this range: positive, so every agent echoes
// them as they are, and always four bytes long, so every request of one
// kind and OID has the same length.
constexpr uint32_t SNMP_REQUEST_ID_MIN = 0x01000000;
constexpr uint32_t SNMP_REQUEST_ID_MAX = 0x7FFFFFFF;

struct SnmpExchange {
    DWORD dwError;
    SOCKET sock;
    u_short wPort;
    DWORD dwAddr;                        // network order
    char szHost[SNMP_TEXT];
    SnmpResult Results[SNMP_MAX_RESULTS];
    DWORD cResults;
    char szOid[SNMP_TEXT];
    BYTE bValueType;                     // 4 text, 2 integer
    SnmpMessage Request;
    SnmpMessage Response;
    sockaddr_in saDest;
    sockaddr_in saSource;
    BYTE Buffer[SNMP_BUFFER];
    DWORD cbRequest;
    LONG lSetValue;
};

// Request operations: 1 on success, 0 on failure (outputs untouched then).
// host: dotted address, host name, or "" for a broadcast; community "" means
// the default one. Text buffers are 256 bytes.
int SnmpGetString(const char* host, char* value, const char* oid, const char* community);
int SnmpGetInteger(const char* host, LONG* value, const char* oid, const char* community);
int SnmpGetNextString(const char* host, char* value, char* oid, const char* community);
int SnmpGetNextInteger(const char* host, LONG* value, char* oid, const char* community);
int SnmpSetInteger(const char* host, LONG* value, const char* oid, const char* community);

// One whole exchange on a caller-cleared record (the request operations use
// a heap record of their own). kind is SNMP_PDU_GET, _GETNEXT or _SET.
// Returns 1 when the socket opened and the exchange did not time out.
int SnmpRunExchange(SnmpExchange* x, const char* host, const char* oid, const char* community,
                    BYTE kind, BYTE valueType, LONG setValue);

// The steps of SnmpRunExchange. Prepare fills the record and the request;
// it returns 0 when the request cannot be expressed (an OID of more arcs than
// a name holds, a community of more than 31 characters): nothing is sent.
// Converse runs on an open socket: encode, send once, receive, order.
int SnmpPrepareExchange(SnmpExchange* x, const char* host, const char* oid, const char* community,
                        BYTE kind, BYTE valueType, LONG setValue);
void SnmpConverse(SnmpExchange* x);
// A fresh unpredictable request id for one exchange; thread-safe.
int32_t SnmpNewRequestId();
// A unicast answer counts only from the address and port it was asked at.
bool SnmpFromDestination(const SnmpExchange* x, const sockaddr_in& source);

// Transport steps of one exchange.
SOCKET SnmpOpen(SnmpExchange* x);
int SnmpSend(SnmpExchange* x, const BYTE* bytes, int length, const sockaddr_in* dest);
int SnmpReceive(SnmpExchange* x, BYTE* buffer, int size, sockaddr_in* source);
void SnmpClose(SnmpExchange* x);

// Pauses between the requests of a poll. A thread names the event that ends
// its pauses (the refresh thread: its port's close event); once that is
// signalled, the pause returns at once, so a port being closed never waits
// out the rest of a round. Without an event a pause is a plain sleep.
// SnmpPause is true when the event was signalled.
void SnmpSetPauseBreak(HANDLE event);
bool SnmpPause(DWORD ms);
