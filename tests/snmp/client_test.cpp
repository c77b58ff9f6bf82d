// The SNMP client under Wine against the scripted native responder: exact
// request bytes, and everything a real agent never sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

#include "bytes.h"
#include "native_helpers.h"
#include "snmp/snmp.h"
#include "support/whitebox.h"

namespace {

struct Winsock : ::testing::Environment {
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(1, 1), &wsa);
        EnsureMonitorProcess();
    }
};
const auto* const kWinsock = ::testing::AddGlobalTestEnvironment(new Winsock);

// Answers with the given binding value to sysDescr.0 (or the given name).
// Sent with "answer", the request's id replaces kEchoId.
Bytes Answer(const Bytes& value, int32_t reqid = kEchoId, const Bytes& name = SysDescrName()) {
    return Message(Response(reqid, {Binding(name, value)}));
}

// Datagrams carrying kEchoId go out with the request's id, others as they are.
bool CarriesEchoId(const Bytes& d) {
    const Bytes id = {0x02, 0x04, 0x01, 0x00, 0x00, 0x00};
    return std::search(d.begin(), d.end(), id.begin(), id.end()) != d.end();
}

std::string Script(std::initializer_list<Bytes> datagrams) {
    std::string s = "reply\n";
    for (const Bytes& d : datagrams) s += (CarriesEchoId(d) ? "answer " : "send ") + HexOf(d) + "\n";
    return s;
}

// The request id of a request the client sent (short lengths throughout:
// the requests of these tests are small).
int32_t RequestIdOf(const Bytes& r) {
    size_t at = 2 + 3;                                  // message header, version
    if (r.size() < at + 2) return 0;
    at += 2 + r[at + 1];                                // community
    if (r.size() < at + 4 || r[at + 2] != 0x02) return 0;
    size_t n = r[at + 3];
    int32_t id = 0;
    for (size_t i = 0; i < n && at + 4 + i < r.size(); i++) id = static_cast<int32_t>(static_cast<uint32_t>(id) << 8 | r[at + 4 + i]);
    return id;
}

struct Responder : ::testing::Test {
    std::unique_ptr<NativeProcess> proc;
    void Start(const std::string& addr, const std::string& script, const std::string& more = "") {
        proc = std::make_unique<NativeProcess>(addr);
        ASSERT_TRUE(proc->StartResponder(more.empty() ? addr : addr + "," + more, script)) << proc->error;
    }
    std::vector<Bytes> Stopped() {
        proc->Stop();
        return proc->Received();
    }
};

TEST_F(Responder, GetStringSendsTheWorkedExampleAndPadsTheText) {
    Start("127.0.3.20", Script({Answer(Tlv(0x04, Str("Tessaro")))}));
    char value[256];
    memset(value, 'x', sizeof value);
    ASSERT_EQ(SnmpGetString("127.0.3.20", value, "1.3.6.1.2.1.1.1.0", "C1C2C3"), 1);
    EXPECT_STREQ(value, "Tessaro");
    for (int i = 7; i < 256; i++) ASSERT_EQ(value[i], 0) << i;
    auto got = Stopped();
    ASSERT_EQ(got.size(), 1u);
    // The request id is four random bytes (checked below); the rest is exact.
    Bytes expect = {0x30, 0x2A, 0x02, 0x01, 0x00, 0x04, 0x06, 'C', '1', 'C', '2', 'C', '3', 0xA0, 0x1D,
                    0x02, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0F, 0x30,
                    0x0D, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x04, 0x01, 0x00};
    ASSERT_EQ(got[0].size(), expect.size());
    Bytes masked = got[0];
    std::fill(masked.begin() + 17, masked.begin() + 21, 0xFF);
    EXPECT_EQ(masked, expect);
    EXPECT_GE(RequestIdOf(got[0]), 0x01000000);
}

TEST_F(Responder, GetIntegerSendsIntegerZeroAndReadsIntegerOrNull) {
    Bytes name = Oid({0x2B, 6, 1, 2, 1, 25, 3, 2, 1, 5, 1});
    Start("127.0.3.21", "reply\nanswer " + HexOf(Answer(Int({5}), kEchoId, name)) + "\nreply\nanswer " +
                            HexOf(Answer(Tlv(0x05, {}), kEchoId, name)) + "\n");
    LONG v = -7;
    ASSERT_EQ(SnmpGetInteger("127.0.3.21", &v, "1.3.6.1.2.1.25.3.2.1.5.1", ""), 1);
    EXPECT_EQ(v, 5);
    // Blanks, commas, tabs and doubled dots parse as single dots.
    ASSERT_EQ(SnmpGetInteger("127.0.3.21", &v, "1 3,6.1..2\t1.25.3.2.1.5.1", ""), 1);
    EXPECT_EQ(v, 0);
    auto got = Stopped();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(RequestIdOf(got[0]), RequestIdOf(got[1])) << "a fresh id per exchange";
    std::fill(got[0].begin() + 17, got[0].begin() + 21, 0);
    std::fill(got[1].begin() + 17, got[1].begin() + 21, 0);
    EXPECT_EQ(got[0], got[1]);
    // Default community, and the binding's value INTEGER 0.
    EXPECT_EQ(Bytes(got[0].begin() + 5, got[0].begin() + 13), Cat({Bytes{0x04, 0x06}, Str("ravine")}));
    EXPECT_EQ(Bytes(got[0].end() - 3, got[0].end()), (Bytes{0x02, 0x01, 0x00}));
}

TEST_F(Responder, GetNextReplacesTheOidBuffer) {
    Bytes next = Oid({0x2B, 6, 1, 2, 1, 43, 18, 1, 1, 8, 1, 3});
    Start("127.0.3.22", "reply\nanswer " + HexOf(Answer(Tlv(0x04, Str("Paper jam")), kEchoId, next)) + "\nreply\nanswer " +
                            HexOf(Answer(Int({0x01, 0x00}), kEchoId, next)) + "\n");
    char oid[256];
    memset(oid, 'x', sizeof oid);
    strcpy(oid, "1.3.6.1.2.1.43.18.1.1.8.1");
    char value[256];
    ASSERT_EQ(SnmpGetNextString("127.0.3.22", value, oid, "ravine"), 1);
    EXPECT_STREQ(oid, "1.3.6.1.2.1.43.18.1.1.8.1.3");
    for (size_t i = strlen(oid); i < sizeof oid; i++) ASSERT_EQ(oid[i], 0) << i;
    EXPECT_STREQ(value, "Paper jam");
    LONG v = 0;
    strcpy(oid, "1.3.6.1.2.1.43.18.1.1.8.1");
    ASSERT_EQ(SnmpGetNextInteger("127.0.3.22", &v, oid, "ravine"), 1);
    EXPECT_EQ(v, 256);
    EXPECT_STREQ(oid, "1.3.6.1.2.1.43.18.1.1.8.1.3");
    auto got = Stopped();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0][13], 0xA1);
    EXPECT_EQ(got[1][13], 0xA1);
}

TEST_F(Responder, SetSendsTheValueAndReturnsTheAnswer) {
    Bytes name = Oid({0x2B, 6, 1, 4, 1, 0x81, 0x7D, 8, 0x4C, 3, 2, 1, 1, 1, 7});
    Start("127.0.3.23", Script({Answer(Int({9}), kEchoId, name)}));
    LONG v = 4;
    ASSERT_EQ(SnmpSetInteger("127.0.3.23", &v, "1.3.6.1.4.1.253.8.76.3.2.1.1.1.7", "ravine"), 1);
    EXPECT_EQ(v, 9);
    auto got = Stopped();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][13], 0xA3);
    EXPECT_EQ(Bytes(got[0].end() - 3 - name.size(), got[0].end()), Cat({name, Bytes{0x02, 0x01, 0x04}}));
}

// Each of these would give a different value if it were taken for the answer.
TEST_F(Responder, IgnoresEverythingButTheMatchingAnswer) {
    Bytes junkList;
    for (int i = 0; i < 31; i++) junkList = Cat({junkList, Binding(SysDescrName(), Tlv(0x04, Str("31")))});
    Bytes big;
    for (int i = 0; i < 3; i++) big = Cat({big, Binding(SysDescrName(), Tlv(0x04, Bytes(1000, 'B')))});
    Bytes good = Answer(Tlv(0x04, Str("right")));
    Bytes trailing = Cat({Answer(Tlv(0x04, Str("trailing"))), Bytes{0x00}});
    Bytes truncated(good.begin(), good.end() - 1);
    Bytes overlong = Message(Tlv(0xA2, Cat({Int({1, 0, 0, 0}), Int({0}), Int({0}), Tlv(0x30, big)})));
    ASSERT_GT(overlong.size(), 2048u);
    Bytes trap = Message(Tlv(0xA4, Cat({Oid({0x2B}), Tlv(0x40, {127, 0, 3, 24}), Int({1}), Int({0}),
                                       Tlv(0x43, {0}), Tlv(0x30, Binding(SysDescrName(), Tlv(0x04, Str("trap"))))})));
    Start("127.0.3.24", Script({Answer(Tlv(0x04, Str("wrong id")), 2),
                                truncated,
                                trailing,
                                overlong,
                                Answer(Tlv(0x80, {})),
                                Answer(Tlv(0x81, {})),
                                Answer(Tlv(0x82, {})),
                                Message(Tlv(0xA2, Cat({Int({1, 0, 0, 0}), Int({0}), Int({0}), Tlv(0x30, junkList)}))),
                                trap,
                                Bytes{},
                                Bytes{0xDE, 0xAD},
                                good,
                                Answer(Tlv(0x04, Str("late")))}));
    char value[256];
    ASSERT_EQ(SnmpGetString("127.0.3.24", value, "1.3.6.1.2.1.1.1.0", "ravine"), 1);
    EXPECT_STREQ(value, "right");
}

TEST_F(Responder, ThirtyBindingsAreAnAnswer) {
    Bytes list;
    for (int i = 0; i < 30; i++) list = Cat({list, Binding(SysDescrName(), Tlv(0x04, Str(i ? "other" : "first")))});
    Start("127.0.3.25", Script({Message(Tlv(0xA2, Cat({Int({1, 0, 0, 0}), Int({2}), Int({1}), Tlv(0x30, list)})))}));
    char value[256];
    ASSERT_EQ(SnmpGetString("127.0.3.25", value, "1.3.6.1.2.1.1.1.0", "ravine"), 1);
    EXPECT_STREQ(value, "first");
}

TEST_F(Responder, OnlyJunkEndsInTheTimeOut) {
    Start("127.0.3.26", Script({Answer(Tlv(0x04, Str("wrong id")), 2), Answer(Tlv(0x81, {}))}));
    char value[256] = "untouched";
    EXPECT_EQ(SnmpGetString("127.0.3.26", value, "1.3.6.1.2.1.1.1.0", "ravine"), 0);
    EXPECT_STREQ(value, "untouched");
}

// 256 receive attempts spent on junk: not a time-out, so the request
// succeeds with empty outputs.
TEST_F(Responder, AllAttemptsSpentOnJunkSucceedEmpty) {
    std::string script = "reply\n";
    for (int i = 0; i < 300; i++) script += "send " + HexOf(Answer(Tlv(0x04, Str("junk")), 2)) + "\n";
    Start("127.0.3.27", script);
    Sleep(0);
    LONG v = 77;
    char oid[256] = "1.3.6.1.2.1.1.1.0";
    EXPECT_EQ(SnmpGetNextInteger("127.0.3.27", &v, oid, "ravine"), 1);
    EXPECT_EQ(v, 0);
    EXPECT_STREQ(oid, "");
}

TEST_F(Responder, RefusedRequestsSendNothing) {
    Start("127.0.3.28", Script({Answer(Tlv(0x04, Str("x")))}));
    char value[256];
    LONG v = 0;
    std::string longOid = "1";
    for (int i = 0; i < 68; i++) longOid += ".1";
    EXPECT_EQ(SnmpGetString("127.0.3.28", value, longOid.c_str(), "ravine"), 0);
    EXPECT_EQ(SnmpGetString("127.0.3.28", value, "1.3.6", "0123456789012345678901234567890123"), 0);
    EXPECT_EQ(SnmpGetString(nullptr, value, "1.3.6", "ravine"), 0);
    EXPECT_EQ(SnmpGetString("127.0.3.28", nullptr, "1.3.6", "ravine"), 0);
    EXPECT_EQ(SnmpGetInteger("127.0.3.28", nullptr, "1.3.6", "ravine"), 0);
    EXPECT_EQ(SnmpGetNextString("127.0.3.28", value, nullptr, "ravine"), 0);
    EXPECT_EQ(SnmpGetNextInteger("127.0.3.28", &v, const_cast<char*>("1.3"), nullptr), 0);
    EXPECT_EQ(SnmpSetInteger("127.0.3.28", nullptr, "1.3", "ravine"), 0);
    EXPECT_TRUE(Stopped().empty());
}

namespace {

DWORD WINAPI SilentRequest(LPVOID param) {
    auto* start = static_cast<HANDLE>(param);
    WaitForSingleObject(start, INFINITE);
    char value[256];
    return static_cast<DWORD>(SnmpGetString("127.24.0.10", value, "1.3.6.1.2.1.1.1.0", "ravine"));
}

// Runs `count` requests on threads released together; each waits out its
// time-out, so all of them hold a record at once. True when all returned
// while the monitor's heap was held (or, unheld, at all).
bool RequestsAtOnce(int count, bool holdHeap) {
    UniqueKernelHandle start(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; i++)
        if (HANDLE h = CreateThread(nullptr, 0, SilentRequest, start.get(), 0, nullptr)) threads.push_back(h);
    if (holdHeap) HeapLock(hHeap);
    SetEvent(start.get());
    // The requests time out after two seconds; ten times that means some
    // thread is stuck on the held heap.
    DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 20000);
    if (holdHeap) HeapUnlock(hHeap);
    if (rc == WAIT_TIMEOUT) WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    for (HANDLE h : threads) CloseHandle(h);
    return threads.size() == static_cast<size_t>(count) && rc != WAIT_TIMEOUT;
}

}  // namespace

// Once as many requests have been in flight together, the same number again
// takes nothing from the heap: every record comes from the spares.
TEST_F(Responder, RequestsInFlightTogetherReuseTheirRecords) {
    Start("127.24.0.10", "");   // never answers
    constexpr int kAtOnce = 12;
    ASSERT_TRUE(RequestsAtOnce(kAtOnce, false));
    EXPECT_TRUE(RequestsAtOnce(kAtOnce, true));
    EXPECT_EQ(Stopped().size(), 2u * kAtOnce);
}

// A datagram that arrives during a wait: the wait reports "ready" (-1, code
// 0) and the next receive returns it.
TEST_F(Responder, ReceiveReportsReadinessThenTheDatagram) {
    Start("127.0.3.29", "reply\nsleep 300\nanswer " + HexOf(Answer(Int({1}))) + "\n");
    auto x = std::make_unique<SnmpExchange>();
    ASSERT_EQ(SnmpPrepareExchange(x.get(), "127.0.3.29", "1.3.6.1.2.1.1.1.0", "", SNMP_PDU_GET, BER_INTEGER, 0), 1);
    ASSERT_NE(SnmpOpen(x.get()), INVALID_SOCKET);
    EXPECT_EQ(x->dwAddr, inet_addr("127.0.3.29"));
    sockaddr_in dest = {};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(161);
    dest.sin_addr.s_addr = x->dwAddr;
    uint32_t n = SnmpEncodeMessage(&x->Request, x->Buffer, sizeof x->Buffer);
    EXPECT_EQ(SnmpSend(x.get(), x->Buffer, static_cast<int>(n), &dest), static_cast<int>(n));
    EXPECT_EQ(SnmpReceive(x.get(), x->Buffer, sizeof x->Buffer, &x->saSource), -1);
    EXPECT_EQ(x->dwError, SNMP_ERR_NONE);
    int got = SnmpReceive(x.get(), x->Buffer, sizeof x->Buffer, &x->saSource);
    EXPECT_EQ(got, static_cast<int>(Answer(Int({1})).size()));
    EXPECT_STREQ(inet_ntoa(x->saSource.sin_addr), "127.0.3.29");
    EXPECT_EQ(ntohs(x->saSource.sin_port), 161);
    // Nothing more: two one-second waits, then the time-out.
    EXPECT_EQ(SnmpReceive(x.get(), x->Buffer, sizeof x->Buffer, &x->saSource), -1);
    EXPECT_EQ(x->dwError, SNMP_ERR_TIMEOUT);
    SnmpClose(x.get());
    EXPECT_EQ(x->sock, INVALID_SOCKET);
}

// Broadcast handling without broadcasting: the exchange is opened towards a
// loopback responder, then marked as a broadcast, so it keeps collecting
// answers (from several addresses) until the time-out and sorts them.
TEST_F(Responder, BroadcastCollectsAndOrdersByAddressText) {
    std::string script = "reply\n";
    const char* from[] = {"3", "2", "1", "3", "4"};   // .34, .31, .3, .34 again, .32
    for (int i = 0; i < 5; i++)
        script += std::string("answer-from ") + from[i] + " " + HexOf(Answer(Int({static_cast<uint8_t>(i)}))) + "\n";
    // Any address may answer a broadcast, but only with its request id.
    script += "send-from 2 " + HexOf(Answer(Int({9}), 2)) + "\n";
    Start("127.0.3.30", script, "127.0.3.3,127.0.3.31,127.0.3.34,127.0.3.32");
    auto x = std::make_unique<SnmpExchange>();
    ASSERT_EQ(SnmpPrepareExchange(x.get(), "", "1.3.6.1.2.1.1.1.0", "", SNMP_PDU_GET, BER_INTEGER, 0), 1);
    EXPECT_STREQ(x->szHost, "255.255.255.255");
    strcpy(x->szHost, "127.0.3.30");
    ASSERT_NE(SnmpOpen(x.get()), INVALID_SOCKET);
    strcpy(x->szHost, "255.255.255.255");
    SnmpConverse(x.get());
    SnmpClose(x.get());
    EXPECT_EQ(x->dwError, SNMP_ERR_TIMEOUT);     // so a broadcast usually fails
    ASSERT_EQ(x->cResults, 5u);
    // Exchange sort by text. "127.0.3.3" is a prefix of "127.0.3.34": the
    // two are never exchanged, so it stays between .32 and the .34 pair.
    const char* order[] = {"127.0.3.31", "127.0.3.32", "127.0.3.3", "127.0.3.34", "127.0.3.34"};
    const LONG values[] = {1, 4, 2, 3, 0};
    for (int i = 0; i < 5; i++) {
        EXPECT_STREQ(x->Results[i].szAddress, order[i]) << i;
        EXPECT_EQ(x->Results[i].lValue, values[i]) << i;
    }
}

TEST_F(Responder, BroadcastStopsAtSixtyFourAnswers) {
    std::string script = "reply\n";
    for (int i = 0; i < 70; i++) script += "answer " + HexOf(Answer(Int({static_cast<uint8_t>(i)}))) + "\n";
    Start("127.0.3.35", script);
    auto x = std::make_unique<SnmpExchange>();
    ASSERT_EQ(SnmpPrepareExchange(x.get(), "127.0.3.35", "1.3.6.1.2.1.1.1.0", "", SNMP_PDU_GET, BER_INTEGER, 0), 1);
    ASSERT_NE(SnmpOpen(x.get()), INVALID_SOCKET);
    strcpy(x->szHost, "255.255.255.255");
    SnmpConverse(x.get());
    SnmpClose(x.get());
    EXPECT_EQ(x->cResults, 64u);
    EXPECT_NE(x->dwError, SNMP_ERR_TIMEOUT);
}

// Only the printer that was asked may answer: a datagram with the right
// request id from another host, or from the right host but another port,
// arriving first, is not the answer; the real one behind it is.
TEST_F(Responder, AnswersFromElsewhereAreIgnored) {
    Bytes forged = Answer(Tlv(0x04, Str("forged")));
    std::string script = "reply\nanswer-from 1 " + HexOf(forged) + "\nanswer-port 1161 " + HexOf(forged) +
                         "\nanswer " + HexOf(Answer(Tlv(0x04, Str("real")))) + "\n";
    // Alone, the forged answer is no answer at all.
    script += "reply\nanswer-from 1 " + HexOf(forged) + "\n";
    Start("127.23.0.1", script, "127.23.1.1");
    char value[256];
    ASSERT_EQ(SnmpGetString("127.23.0.1", value, "1.3.6.1.2.1.1.1.0", "ravine"), 1);
    EXPECT_STREQ(value, "real");
    strcpy(value, "untouched");
    EXPECT_EQ(SnmpGetString("127.23.0.1", value, "1.3.6.1.2.1.1.1.0", "ravine"), 0);
    EXPECT_STREQ(value, "untouched");
    EXPECT_EQ(Stopped().size(), 2u);
}

// An answer to an earlier exchange, from the printer itself, arriving
// while a later exchange waits, is not the later one's answer.
TEST_F(Responder, LateAnswerToAnEarlierExchangeIsIgnored) {
    std::string script = "reply\nanswer " + HexOf(Answer(Int({1}))) + "\n";
    script += "reply\nanswer-earlier " + HexOf(Answer(Int({2}))) + "\nanswer " + HexOf(Answer(Int({3}))) + "\n";
    Start("127.23.0.2", script);
    LONG v = 0;
    ASSERT_EQ(SnmpGetInteger("127.23.0.2", &v, "1.3.6.1.2.1.1.1.0", "ravine"), 1);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(SnmpGetInteger("127.23.0.2", &v, "1.3.6.1.2.1.1.1.0", "ravine"), 1);
    EXPECT_EQ(v, 3);
    auto got = Stopped();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(RequestIdOf(got[0]), RequestIdOf(got[1]));
}

TEST(SnmpRequestId, FreshPositiveFourByteIdsFromManyThreads) {
    constexpr int kThreads = 4, kEach = 500;
    std::vector<int32_t> ids(kThreads * kEach);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++) ids[t * kEach + i] = SnmpNewRequestId();
        });
    for (auto& th : threads) th.join();
    for (int32_t id : ids) ASSERT_GE(id, 0x01000000);
    std::sort(ids.begin(), ids.end());
    // 2000 draws from 2^31 - 2^24 values: a repeat is a broken source.
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
    EXPECT_GT(ids.back() - ids.front(), 0x40000000) << "spread over the range, not a counter";
}

TEST(SnmpRequestId, UnicastAnswerMustComeFromTheAskedAddressAndPort) {
    auto x = std::make_unique<SnmpExchange>();
    x->dwAddr = inet_addr("127.23.0.3");
    x->wPort = 161;
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = inet_addr("127.23.0.3");
    from.sin_port = htons(161);
    EXPECT_TRUE(SnmpFromDestination(x.get(), from));
    from.sin_port = htons(162);
    EXPECT_FALSE(SnmpFromDestination(x.get(), from));
    from.sin_port = htons(161);
    from.sin_addr.s_addr = inet_addr("127.23.1.3");
    EXPECT_FALSE(SnmpFromDestination(x.get(), from));
}

TEST(SnmpOpen, BroadcastNeedsNoLookupAndBadNamesSendNothing) {
    auto x = std::make_unique<SnmpExchange>();
    ASSERT_EQ(SnmpPrepareExchange(x.get(), "", "1.3", "", SNMP_PDU_GET, BER_INTEGER, 0), 1);
    ASSERT_NE(SnmpOpen(x.get()), INVALID_SOCKET);
    EXPECT_EQ(x->dwAddr, 0xFFFFFFFFu);
    EXPECT_EQ(x->dwError, SNMP_ERR_NONE);
    SnmpClose(x.get());

    // A name with an empty label never reaches a name server.
    x = std::make_unique<SnmpExchange>();
    EXPECT_EQ(SnmpRunExchange(x.get(), "vjl..unresolvable", "1.3", "", SNMP_PDU_GET, BER_INTEGER, 0), 0);
    EXPECT_EQ(x->dwError, SNMP_ERR_RESOLVE);
    EXPECT_EQ(x->sock, INVALID_SOCKET);

    // A name that resolves goes to its first address.
    x = std::make_unique<SnmpExchange>();
    ASSERT_EQ(SnmpPrepareExchange(x.get(), "localhost", "1.3", "", SNMP_PDU_GET, BER_INTEGER, 0), 1);
    ASSERT_NE(SnmpOpen(x.get()), INVALID_SOCKET);
    EXPECT_EQ(ntohl(x->dwAddr) >> 24, 127u);
    SnmpClose(x.get());
}

} // namespace
