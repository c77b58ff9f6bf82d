// A scripted UDP responder on loopback addresses, for what a real SNMP agent
// never sends. Usage:
//   snmp-responder <dir> <addr>[,<addr>...] [lifetime seconds]
// It listens on UDP port 161 of each address, writes <dir>/pid, then
// <dir>/ready. Each received datagram is appended in hex to <dir>/received
// and answered by the next block of <dir>/script:
//   # comment
//   reply                    starts the block for the next request
//   reply-always             the last block: answers every request from now on
//   send <hex>               a datagram from the address that got the request
//   send-from <n> <hex>      a datagram from the n-th address (0-based)
//   answer <hex>             as send, with the request's request id put in
//                            place of the datagram's, as an agent echoes it
//   answer-from <n> <hex>    as answer, from the n-th address
//   answer-earlier <hex>     as answer with the id of the request before
//                            this one: a late answer to an earlier request
//   answer-port <p> <hex>    as answer, from the request's address but
//                            from UDP port p instead of 161
//   sleep <ms>               a pause between datagrams
// Requests beyond the last block are only logged. SIGTERM or the lifetime
// (default 60 s) ends it; the pid file is removed on the way out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile sig_atomic_t gStop = 0;
bool gRepeatLast = false;
void OnSignal(int) { gStop = 1; }

struct Step {
    enum { Send, Sleep } kind;
    int from;                 // -1: the receiving socket
    std::vector<uint8_t> bytes;
    int ms;
    enum { Verbatim, ThisId, EarlierId } id = Verbatim;
    int port = 0;             // 0: the receiving socket's port
};
using Block = std::vector<Step>;

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    int nibble = -1;
    for (char c : hex) {
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (v < 0) continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<uint8_t>(nibble << 4 | v));
            nibble = -1;
        }
    }
    return out;
}

std::vector<Block> ReadScript(const std::string& path) {
    std::vector<Block> blocks;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string word;
        if (!(ls >> word) || word[0] == '#') continue;
        if (word == "reply" || word == "reply-always") {
            blocks.emplace_back();
            gRepeatLast = word == "reply-always";
            continue;
        }
        if (blocks.empty()) blocks.emplace_back();
        Step s{Step::Send, -1, {}, 0};
        std::string rest;
        if (word == "send") {
            std::getline(ls, rest);
            s.bytes = FromHex(rest);
        } else if (word == "send-from") {
            ls >> s.from;
            std::getline(ls, rest);
            s.bytes = FromHex(rest);
        } else if (word == "answer" || word == "answer-earlier") {
            s.id = word == "answer" ? Step::ThisId : Step::EarlierId;
            std::getline(ls, rest);
            s.bytes = FromHex(rest);
        } else if (word == "answer-from") {
            s.id = Step::ThisId;
            ls >> s.from;
            std::getline(ls, rest);
            s.bytes = FromHex(rest);
        } else if (word == "answer-port") {
            s.id = Step::ThisId;
            ls >> s.port;
            std::getline(ls, rest);
            s.bytes = FromHex(rest);
        } else if (word == "sleep") {
            s.kind = Step::Sleep;
            ls >> s.ms;
        } else {
            fprintf(stderr, "snmp-responder: unknown script word %s\n", word.c_str());
            exit(2);
        }
        blocks.back().push_back(s);
    }
    return blocks;
}

bool ReadHeader(const std::vector<uint8_t>& m, size_t& at, uint8_t tag, size_t& len) {
    if (at + 2 > m.size() || m[at] != tag) return false;
    size_t n = m[at + 1];
    at += 2;
    if (n & 0x80) {
        size_t bytes = n & 0x7F;
        if (bytes == 0 || bytes > 2 || at + bytes > m.size()) return false;
        n = 0;
        for (size_t i = 0; i < bytes; i++) n = n << 8 | m[at++];
    }
    len = n;
    return at + n <= m.size();
}

// Where the parts of an SNMP message lie: SEQUENCE { INTEGER version,
// OCTET STRING community, PDU { INTEGER request id, rest } }.
struct Layout {
    size_t head = 0;      // end of the version and community (from the outer contents)
    size_t body = 0;      // start of the outer contents
    uint8_t pduTag = 0;
    size_t id = 0, idLen = 0;
    size_t rest = 0, restEnd = 0;
    size_t bodyEnd = 0;   // end of the outer contents
};

bool Parse(const std::vector<uint8_t>& m, Layout* l) {
    size_t at = 0, n = 0;
    if (!ReadHeader(m, at, 0x30, n)) return false;
    l->body = at;
    l->bodyEnd = at + n;
    if (!ReadHeader(m, at, 0x02, n)) return false;
    at += n;
    if (!ReadHeader(m, at, 0x04, n)) return false;
    at += n;
    l->head = at;
    if (at >= m.size() || m[at] < 0xA0 || m[at] > 0xA3) return false;
    l->pduTag = m[at];
    size_t pduLen = 0;
    if (!ReadHeader(m, at, l->pduTag, pduLen)) return false;
    size_t pduEnd = at + pduLen;
    if (!ReadHeader(m, at, 0x02, n)) return false;
    l->id = at;
    l->idLen = n;
    l->rest = at + n;
    l->restEnd = pduEnd;
    return l->rest <= l->restEnd && l->restEnd <= l->bodyEnd;
}

std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t>& content) {
    std::vector<uint8_t> out{tag};
    size_t n = content.size();
    if (n >= 256) out.push_back(0x82), out.push_back(static_cast<uint8_t>(n >> 8));
    else if (n >= 128) out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

// The scripted datagram with the request id taken from `request`, lengths
// written afresh; anything not shaped like a message goes out as it is.
std::vector<uint8_t> WithIdOf(const std::vector<uint8_t>& out, const std::vector<uint8_t>& request) {
    Layout o, r;
    if (!Parse(out, &o) || !Parse(request, &r)) return out;
    std::vector<uint8_t> pdu = Tlv(0x02, std::vector<uint8_t>(request.begin() + r.id, request.begin() + r.id + r.idLen));
    pdu.insert(pdu.end(), out.begin() + o.rest, out.begin() + o.restEnd);
    std::vector<uint8_t> body(out.begin() + o.body, out.begin() + o.head);
    std::vector<uint8_t> p = Tlv(o.pduTag, pdu);
    body.insert(body.end(), p.begin(), p.end());
    // Whatever followed the PDU or the message follows it still.
    body.insert(body.end(), out.begin() + o.restEnd, out.begin() + o.bodyEnd);
    std::vector<uint8_t> m = Tlv(0x30, body);
    m.insert(m.end(), out.begin() + o.bodyEnd, out.end());
    return m;
}

bool IsLoopback(const in_addr& a) { return (ntohl(a.s_addr) >> 24) == 127; }

void WriteFile(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) return;
    fputs(text.c_str(), f);
    fclose(f);
    rename(tmp.c_str(), path.c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: snmp-responder <dir> <addr>[,<addr>...] [lifetime seconds]\n");
        return 2;
    }
    std::string dir = argv[1];
    int lifetime = argc > 3 ? atoi(argv[3]) : 60;
    std::vector<int> socks;
    std::stringstream addrs(argv[2]);
    std::string a;
    while (std::getline(addrs, a, ',')) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(161);
        if (inet_pton(AF_INET, a.c_str(), &sa.sin_addr) != 1 || !IsLoopback(sa.sin_addr)) {
            fprintf(stderr, "snmp-responder: %s is not a loopback address\n", a.c_str());
            return 2;
        }
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            fprintf(stderr, "snmp-responder: bind %s: %s\n", a.c_str(), strerror(errno));
            return 1;
        }
        socks.push_back(s);
    }
    std::vector<Block> blocks = ReadScript(dir + "/script");
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    WriteFile(dir + "/pid", std::to_string(getpid()) + "\n");
    WriteFile(dir + "/ready", "ready\n");

    size_t next = 0;
    std::vector<uint8_t> earlier, current;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
    std::vector<pollfd> fds;
    for (int s : socks) fds.push_back({s, POLLIN, 0});
    while (!gStop && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds.data(), fds.size(), 100) <= 0) continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (!(fds[i].revents & POLLIN)) continue;
            uint8_t buf[70000];
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(socks[i], buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (n < 0) continue;
            std::string hex;
            char h[3];
            for (ssize_t k = 0; k < n; k++) snprintf(h, sizeof h, "%02X", buf[k]), hex += h;
            earlier.swap(current);
            current.assign(buf, buf + n);
            if (!gRepeatLast) {   // a benchmark's thousands of requests are not kept
                FILE* f = fopen((dir + "/received").c_str(), "a");
                if (f) fprintf(f, "%s\n", hex.c_str()), fclose(f);
            }
            if (next >= blocks.size() && gRepeatLast) next = blocks.size() - 1;
            if (next >= blocks.size() || !IsLoopback(from.sin_addr)) continue;
            for (const Step& s : blocks[next]) {
                if (s.kind == Step::Sleep) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(s.ms));
                    continue;
                }
                int out = s.from >= 0 && static_cast<size_t>(s.from) < socks.size() ? socks[s.from] : socks[i];
                std::vector<uint8_t> bytes = s.id == Step::ThisId      ? WithIdOf(s.bytes, current)
                                             : s.id == Step::EarlierId ? WithIdOf(s.bytes, earlier)
                                                                       : s.bytes;
                int own = -1;
                if (s.port) {
                    // The request's address, another port: bound for this datagram only.
                    sockaddr_in local{};
                    socklen_t ll = sizeof local;
                    getsockname(socks[i], reinterpret_cast<sockaddr*>(&local), &ll);
                    local.sin_port = htons(static_cast<uint16_t>(s.port));
                    own = socket(AF_INET, SOCK_DGRAM, 0);
                    if (bind(own, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                        fprintf(stderr, "snmp-responder: bind port %d: %s\n", s.port, strerror(errno));
                        close(own);
                        continue;
                    }
                    out = own;
                }
                sendto(out, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
                if (own >= 0) close(own);
            }
            next++;
        }
    }
    unlink((dir + "/pid").c_str());
    return 0;
}
