// BER encoding and decoding for the SNMP v1 agent of the simulated printer.
// Kept independent of the monitor's own codec on purpose: the bench compares
// two implementations against each other and against Net-SNMP.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace psim {

using Oid = std::vector<uint32_t>;
using Bytes = std::string;

enum Tag : uint8_t {
  kInteger = 0x02,
  kOctetString = 0x04,
  kNull = 0x05,
  kObjectId = 0x06,
  kSequence = 0x30,
  kIpAddress = 0x40,
  kCounter32 = 0x41,
  kGauge32 = 0x42,
  kTimeTicks = 0x43,
  kGetRequest = 0xA0,
  kGetNextRequest = 0xA1,
  kGetResponse = 0xA2,
  kSetRequest = 0xA3,
  kTrap = 0xA4,
};

// One SNMP value. Integers (signed and the unsigned application types) use
// num; strings and IP addresses use str; object identifiers use oid.
struct Value {
  uint8_t tag = kNull;
  int64_t num = 0;
  Bytes str;
  Oid oid;

  static Value Int(int64_t v) { Value x; x.tag = kInteger; x.num = v; return x; }
  static Value Str(const Bytes& s) { Value x; x.tag = kOctetString; x.str = s; return x; }
  static Value ObjId(const Oid& o) { Value x; x.tag = kObjectId; x.oid = o; return x; }
  static Value Ticks(uint32_t v) { Value x; x.tag = kTimeTicks; x.num = v; return x; }
  static Value Counter(uint32_t v) { Value x; x.tag = kCounter32; x.num = v; return x; }
  static Value Gauge(uint32_t v) { Value x; x.tag = kGauge32; x.num = v; return x; }
  static Value Null() { return Value(); }
};

struct VarBind {
  Oid name;
  Value value;
};

struct Pdu {
  uint8_t type = kGetRequest;
  int64_t requestId = 0;
  int64_t errorStatus = 0;
  int64_t errorIndex = 0;
  std::vector<VarBind> binds;
};

struct Message {
  int64_t version = 0;
  Bytes community;
  Pdu pdu;
};

// v1 error statuses.
enum ErrorStatus { kNoError = 0, kTooBig = 1, kNoSuchName = 2, kBadValue = 3, kReadOnly = 4, kGenErr = 5 };

// Encoders append one complete TLV.
void EncodeLength(Bytes& out, size_t len);
void EncodeTlv(Bytes& out, uint8_t tag, const Bytes& content);
void EncodeInteger(Bytes& out, uint8_t tag, int64_t v);
void EncodeUnsigned(Bytes& out, uint8_t tag, uint32_t v);
void EncodeOid(Bytes& out, const Oid& oid);
void EncodeValue(Bytes& out, const Value& v);
Bytes EncodeMessage(const Message& m);

// Decoders return false on any malformed, truncated or unsupported input.
bool DecodeMessage(const Bytes& in, Message& m);
bool DecodeOidContent(const uint8_t* p, size_t n, Oid& oid);

std::string OidToText(const Oid& oid);
bool OidFromText(const std::string& text, Oid& oid);
bool OidStartsWith(const Oid& oid, const Oid& prefix);

}  // namespace psim
