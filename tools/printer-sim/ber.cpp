#include "ber.h"

#include <algorithm>
#include <cstdlib>

namespace psim {

void EncodeLength(Bytes& out, size_t len) {
  if (len < 0x80) {
    out.push_back(static_cast<char>(len));
    return;
  }
  char buf[8];
  int n = 0;
  while (len) {
    buf[n++] = static_cast<char>(len & 0xFF);
    len >>= 8;
  }
  out.push_back(static_cast<char>(0x80 | n));
  while (n) out.push_back(buf[--n]);
}

void EncodeTlv(Bytes& out, uint8_t tag, const Bytes& content) {
  out.push_back(static_cast<char>(tag));
  EncodeLength(out, content.size());
  out += content;
}

void EncodeInteger(Bytes& out, uint8_t tag, int64_t v) {
  // Shortest two's complement form: drop leading bytes that only repeat the sign.
  unsigned char buf[8];
  for (int i = 0; i < 8; ++i) buf[i] = static_cast<unsigned char>((static_cast<uint64_t>(v) >> (56 - 8 * i)) & 0xFF);
  int start = 0;
  while (start < 7 && ((buf[start] == 0x00 && !(buf[start + 1] & 0x80)) ||
                       (buf[start] == 0xFF && (buf[start + 1] & 0x80))))
    ++start;
  EncodeTlv(out, tag, Bytes(reinterpret_cast<const char*>(buf + start), 8 - start));
}

void EncodeUnsigned(Bytes& out, uint8_t tag, uint32_t v) {
  EncodeInteger(out, tag, static_cast<int64_t>(v));
}

static void EncodeSubId(Bytes& out, uint32_t v) {
  char buf[5];
  int n = 0;
  do {
    buf[n++] = static_cast<char>(v & 0x7F);
    v >>= 7;
  } while (v);
  while (n > 1) out.push_back(static_cast<char>(buf[--n] | 0x80));
  out.push_back(buf[0]);
}

void EncodeOid(Bytes& out, const Oid& oid) {
  Bytes c;
  if (oid.size() >= 2) {
    EncodeSubId(c, oid[0] * 40 + oid[1]);
    for (size_t i = 2; i < oid.size(); ++i) EncodeSubId(c, oid[i]);
  } else if (oid.size() == 1) {
    EncodeSubId(c, oid[0] * 40);
  }
  EncodeTlv(out, kObjectId, c);
}

void EncodeValue(Bytes& out, const Value& v) {
  switch (v.tag) {
    case kInteger:
      EncodeInteger(out, kInteger, v.num);
      break;
    case kCounter32:
    case kGauge32:
    case kTimeTicks:
      EncodeUnsigned(out, v.tag, static_cast<uint32_t>(v.num));
      break;
    case kObjectId:
      EncodeOid(out, v.oid);
      break;
    case kNull:
      EncodeTlv(out, kNull, Bytes());
      break;
    default:  // strings, IP addresses and anything kept raw
      EncodeTlv(out, v.tag, v.str);
      break;
  }
}

Bytes EncodeMessage(const Message& m) {
  Bytes binds;
  for (const VarBind& b : m.pdu.binds) {
    Bytes one;
    EncodeOid(one, b.name);
    EncodeValue(one, b.value);
    EncodeTlv(binds, kSequence, one);
  }
  Bytes pdu;
  EncodeInteger(pdu, kInteger, m.pdu.requestId);
  EncodeInteger(pdu, kInteger, m.pdu.errorStatus);
  EncodeInteger(pdu, kInteger, m.pdu.errorIndex);
  EncodeTlv(pdu, kSequence, binds);
  Bytes body;
  EncodeInteger(body, kInteger, m.version);
  EncodeTlv(body, kOctetString, m.community);
  EncodeTlv(body, m.pdu.type, pdu);
  Bytes out;
  EncodeTlv(out, kSequence, body);
  return out;
}

namespace {

struct Reader {
  const uint8_t* p;
  size_t n;

  // Reads one TLV header; content is left at [p, p+len) and skipped past.
  bool Next(uint8_t& tag, const uint8_t*& content, size_t& len) {
    if (n < 2) return false;
    tag = p[0];
    if ((tag & 0x1F) == 0x1F) return false;  // multi-byte tags never occur in SNMP
    size_t pos = 1;
    uint8_t l0 = p[pos++];
    if (l0 < 0x80) {
      len = l0;
    } else {
      int k = l0 & 0x7F;
      if (k == 0 || k > 4 || n < pos + k) return false;  // indefinite or absurd lengths
      len = 0;
      for (int i = 0; i < k; ++i) len = (len << 8) | p[pos++];
    }
    if (len > n - pos) return false;
    content = p + pos;
    p += pos + len;
    n -= pos + len;
    return true;
  }

  bool Expect(uint8_t want, Reader& inner) {
    uint8_t tag;
    const uint8_t* c;
    size_t len;
    if (!Next(tag, c, len) || tag != want) return false;
    inner.p = c;
    inner.n = len;
    return true;
  }
};

bool DecodeSigned(const uint8_t* c, size_t len, int64_t& v) {
  if (len == 0 || len > 8) return false;
  uint64_t u = (c[0] & 0x80) ? ~uint64_t(0) : 0;
  for (size_t i = 0; i < len; ++i) u = (u << 8) | c[i];
  v = static_cast<int64_t>(u);
  return true;
}

bool DecodeUnsigned32(const uint8_t* c, size_t len, int64_t& v) {
  // Up to 5 bytes when a leading zero keeps the top bit clear.
  if (len == 0 || len > 5 || (len == 5 && c[0] != 0)) return false;
  uint64_t u = 0;
  for (size_t i = 0; i < len; ++i) u = (u << 8) | c[i];
  if (len < 5 && (c[0] & 0x80)) return false;  // negative counters are malformed
  v = static_cast<int64_t>(u);
  return true;
}

bool ReadInteger(Reader& r, int64_t& v) {
  uint8_t tag;
  const uint8_t* c;
  size_t len;
  return r.Next(tag, c, len) && tag == kInteger && DecodeSigned(c, len, v);
}

}  // namespace

bool DecodeOidContent(const uint8_t* p, size_t n, Oid& oid) {
  oid.clear();
  if (n == 0) return false;
  uint64_t acc = 0;
  bool first = true;
  size_t bytesInSub = 0;
  for (size_t i = 0; i < n; ++i) {
    if (bytesInSub == 0 && p[i] == 0x80) return false;  // non-minimal sub-identifier
    acc = (acc << 7) | (p[i] & 0x7F);
    ++bytesInSub;
    if (acc > 0xFFFFFFFFull) return false;
    if (p[i] & 0x80) continue;
    if (first) {
      uint32_t a = acc < 40 ? 0 : acc < 80 ? 1 : 2;
      oid.push_back(a);
      oid.push_back(static_cast<uint32_t>(acc - 40 * a));
      first = false;
    } else {
      oid.push_back(static_cast<uint32_t>(acc));
    }
    acc = 0;
    bytesInSub = 0;
  }
  return bytesInSub == 0 && oid.size() <= 128;
}

bool DecodeMessage(const Bytes& in, Message& m) {
  Reader top{reinterpret_cast<const uint8_t*>(in.data()), in.size()};
  Reader msg;
  if (!top.Expect(kSequence, msg)) return false;
  if (!ReadInteger(msg, m.version)) return false;
  Reader comm;
  if (!msg.Expect(kOctetString, comm)) return false;
  m.community.assign(reinterpret_cast<const char*>(comm.p), comm.n);
  uint8_t tag;
  const uint8_t* c;
  size_t len;
  if (!msg.Next(tag, c, len)) return false;
  if (tag < kGetRequest || tag > kTrap) return false;
  m.pdu = Pdu();
  m.pdu.type = tag;
  if (tag == kTrap) return true;  // never answered; contents irrelevant
  Reader pdu{c, len};
  if (!ReadInteger(pdu, m.pdu.requestId) || !ReadInteger(pdu, m.pdu.errorStatus) ||
      !ReadInteger(pdu, m.pdu.errorIndex))
    return false;
  Reader list;
  if (!pdu.Expect(kSequence, list)) return false;
  while (list.n) {
    Reader vb;
    if (!list.Expect(kSequence, vb)) return false;
    VarBind b;
    Reader name;
    if (!vb.Expect(kObjectId, name) || !DecodeOidContent(name.p, name.n, b.name)) return false;
    if (!vb.Next(tag, c, len)) return false;
    b.value.tag = tag;
    switch (tag) {
      case kInteger:
        if (!DecodeSigned(c, len, b.value.num)) return false;
        break;
      case kCounter32:
      case kGauge32:
      case kTimeTicks:
        if (!DecodeUnsigned32(c, len, b.value.num)) return false;
        break;
      case kObjectId:
        if (!DecodeOidContent(c, len, b.value.oid)) return false;
        break;
      case kNull:
        if (len != 0) return false;
        break;
      case kIpAddress:
        if (len != 4) return false;
        b.value.str.assign(reinterpret_cast<const char*>(c), len);
        break;
      default:
        if (tag & 0x20) return false;  // constructed values are not SNMP values
        b.value.str.assign(reinterpret_cast<const char*>(c), len);
        break;
    }
    if (vb.n) return false;
    m.pdu.binds.push_back(std::move(b));
  }
  return true;
}

std::string OidToText(const Oid& oid) {
  std::string s;
  for (size_t i = 0; i < oid.size(); ++i) {
    if (i) s += '.';
    s += std::to_string(oid[i]);
  }
  return s;
}

bool OidFromText(const std::string& text, Oid& oid) {
  oid.clear();
  size_t i = 0;
  if (!text.empty() && text[0] == '.') i = 1;
  while (i < text.size()) {
    size_t j = i;
    uint64_t v = 0;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
      v = v * 10 + (text[j] - '0');
      if (v > 0xFFFFFFFFull) return false;
      ++j;
    }
    if (j == i) return false;
    oid.push_back(static_cast<uint32_t>(v));
    if (j == text.size()) break;
    if (text[j] != '.' || j + 1 == text.size()) return false;
    i = j + 1;
  }
  return !oid.empty();
}

bool OidStartsWith(const Oid& oid, const Oid& prefix) {
  return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

}  // namespace psim
