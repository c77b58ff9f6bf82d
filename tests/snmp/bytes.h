// Small helpers to write BER datagrams by hand in the tests.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Tag, definite length in its shortest form, contents.
inline Bytes Tlv(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    size_t n = content.size();
    if (n < 128) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n < 256) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes Int(Bytes content) { return Tlv(0x02, content); }
inline Bytes Oid(Bytes content) { return Tlv(0x06, content); }
inline Bytes Binding(const Bytes& name, const Bytes& value) { return Tlv(0x30, Cat({name, value})); }

// A request id of four bytes: the responder's "answer" words replace it
// with the id of the request they answer.
constexpr int32_t kEchoId = 0x01000000;

// The contents of an INTEGER in its shortest form.
inline Bytes IntBytes(int32_t v) {
    Bytes out;
    for (int shift = 24; shift > 0; shift -= 8) {
        int32_t rest = v >> (shift - 1);
        if (rest != 0 && rest != -1) {
            for (; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
            return out;
        }
    }
    out.push_back(static_cast<uint8_t>(v));
    return out;
}

inline Bytes Response(int32_t reqid, const std::vector<Bytes>& bindings, uint8_t status = 0) {
    Bytes list;
    for (const Bytes& b : bindings) list.insert(list.end(), b.begin(), b.end());
    Bytes id = IntBytes(reqid);
    return Tlv(0xA2, Cat({Int(id), Int({status}), Int({0}), Tlv(0x30, list)}));
}

inline Bytes Message(const Bytes& pdu, const std::string& community = "ravine") {
    return Tlv(0x30, Cat({Int({0}), Tlv(0x04, Str(community)), pdu}));
}

// 1.3.6.1.2.1.1.1.0, sysDescr.0
inline Bytes SysDescrName() { return Oid({0x2B, 6, 1, 2, 1, 1, 1, 0}); }
