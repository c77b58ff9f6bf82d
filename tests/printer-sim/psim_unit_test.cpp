// Unit tests of the simulated printer with a hand-driven clock: the codec,
// the PJL header reader, the job life cycle and the coherence of the status
// objects. The wire behaviour against Net-SNMP is covered by the shell tests.
#include <gtest/gtest.h>

#include "ber.h"
#include "printer.h"

using namespace psim;

namespace {

Oid O(const std::string& t) {
  Oid o;
  EXPECT_TRUE(OidFromText(t, o)) << t;
  return o;
}

struct Answer {
  int status = -1;
  int index = 0;
  Oid name;
  Value value;
};

// One request through the agent, passed through the encoder and decoder both
// ways as on the wire.
Answer Ask(Printer& p, uint8_t type, const std::string& oid, int64_t now, const Value& v = Value::Null(),
           const std::string& community = "ravine") {
  Message req;
  req.community = community;
  req.pdu.type = type;
  req.pdu.requestId = 0x7FFFFFFF;
  req.pdu.binds.push_back({O(oid), v});
  Message decodedReq;
  EXPECT_TRUE(DecodeMessage(EncodeMessage(req), decodedReq));
  Message resp;
  Answer a;
  if (!p.HandleSnmp(decodedReq, resp, now)) return a;  // dropped
  Message back;
  EXPECT_TRUE(DecodeMessage(EncodeMessage(resp), back));
  EXPECT_EQ(back.pdu.type, kGetResponse);
  EXPECT_EQ(back.pdu.requestId, 0x7FFFFFFF);
  a.status = static_cast<int>(back.pdu.errorStatus);
  a.index = static_cast<int>(back.pdu.errorIndex);
  if (!back.pdu.binds.empty()) {
    a.name = back.pdu.binds[0].name;
    a.value = back.pdu.binds[0].value;
  }
  return a;
}

int64_t GetInt(Printer& p, const std::string& oid, int64_t now) {
  Answer a = Ask(p, kGetRequest, oid, now);
  EXPECT_EQ(a.status, kNoError) << oid;
  return a.value.num;
}

Bytes GetStr(Printer& p, const std::string& oid, int64_t now) {
  Answer a = Ask(p, kGetRequest, oid, now);
  EXPECT_EQ(a.status, kNoError) << oid;
  return a.value.str;
}

void Ctl(Printer& p, const std::string& line, int64_t now) {
  std::string r = p.Control(line, now);
  ASSERT_EQ(r.substr(r.size() - 3), "OK\n") << line << ": " << r;
}

const char kUel[] = "\x1B%-12345X";
const std::string kJcid = "03414243444500009738000012AB0123456789ABCDEF0";  // 45 characters

std::string MonitorJob(const std::string& jcid, const std::string& body) {
  return std::string(kUel) + "@PJL JOB NAME=\"Report_2026_12_06_000001\" @JCID=\"" + jcid +
         "\"\r\n@PJL SET RESOLUTION=600\r\n@PJL ENTER LANGUAGE=VPDL\r\n" + body + kUel;
}

const std::string kJobs = "1.3.6.1.4.1.253.8.59.6.1.1.";
std::string StateOid(int n) { return kJobs + "9.1.1." + std::to_string(n); }
std::string ReasonOid(int n) { return kJobs + "10.1.1." + std::to_string(n); }
std::string PagesOid(int n) { return "1.3.6.1.4.1.253.8.59.16.1.1.5.1.1." + std::to_string(n); }
std::string ControlOid(int n) { return "1.3.6.1.4.1.253.8.76.3.2.1.1.1.1." + std::to_string(n); }

Options Fast() {
  Options o;
  o.pageMs = 100;
  o.pendingMs = 50;
  o.terminateMs = 200;
  o.keepMs = 5000;
  o.resetAlertMs = 1000;
  return o;
}

// Sends one whole job over a fresh connection.
void Print(Printer& p, const std::string& data, int64_t now, size_t chunk = 7) {
  int c = p.JobOpen(now);
  for (size_t i = 0; i < data.size(); i += chunk) p.JobData(c, data.data() + i, std::min(chunk, data.size() - i), now);
  p.JobClose(c, false, now);
}

void Advance(Printer& p, int64_t& now, int64_t until) {
  for (; now < until; now += 10) p.Tick(now);
}

}  // namespace

TEST(PrinterSimBer, IntegersUseTheShortestTwosComplementForm) {
  struct { int64_t v; std::string enc; } cases[] = {
      {0, std::string("\x02\x01\x00", 3)}, {127, "\x02\x01\x7F"}, {128, std::string("\x02\x02\x00\x80", 4)},
      {-1, "\x02\x01\xFF"}, {-129, "\x02\x02\xFF\x7F"}, {2147483647, "\x02\x04\x7F\xFF\xFF\xFF"},
  };
  for (const auto& c : cases) {
    Bytes out;
    EncodeInteger(out, kInteger, c.v);
    EXPECT_EQ(out, c.enc) << c.v;
  }
  Bytes u;
  EncodeUnsigned(u, kCounter32, 0xFFFFFFFFu);  // needs the leading zero byte
  EXPECT_EQ(u, std::string("\x41\x05\x00\xFF\xFF\xFF\xFF", 7));
}

TEST(PrinterSimBer, MessagesSurviveARoundTripWithEveryValueType) {
  Message m;
  m.community = "ravine";
  m.pdu.type = kGetResponse;
  m.pdu.requestId = -5;
  m.pdu.errorStatus = kNoSuchName;
  m.pdu.errorIndex = 2;
  Bytes big(300, 'x');  // long-form length
  m.pdu.binds = {{O("1.3.6.1.2.1.1.1.0"), Value::Str(big)},
                 {O("1.3.6.1.2.1.43.8.2.1.10.1.1"), Value::Int(-3)},
                 {O("1.3.6.1.2.1.1.2.0"), Value::ObjId(O("1.3.6.1.4.1.253.4294967295"))},
                 {O("1.3.6.1.2.1.1.3.0"), Value::Ticks(4000000000u)},
                 {O("2.999.3"), Value::Null()}};
  Message d;
  ASSERT_TRUE(DecodeMessage(EncodeMessage(m), d));
  EXPECT_EQ(d.community, "ravine");
  EXPECT_EQ(d.pdu.requestId, -5);
  EXPECT_EQ(d.pdu.errorStatus, kNoSuchName);
  ASSERT_EQ(d.pdu.binds.size(), 5u);
  EXPECT_EQ(d.pdu.binds[0].value.str, big);
  EXPECT_EQ(d.pdu.binds[1].value.num, -3);
  EXPECT_EQ(d.pdu.binds[2].value.oid, O("1.3.6.1.4.1.253.4294967295"));
  EXPECT_EQ(d.pdu.binds[3].value.num, 4000000000);
  EXPECT_EQ(d.pdu.binds[4].name, O("2.999.3"));
  EXPECT_EQ(d.pdu.binds[4].value.tag, kNull);
}

TEST(PrinterSimBer, MalformedInputIsRejected) {
  Message m;
  m.community = "ravine";
  m.pdu.binds = {{O("1.3.6.1.2.1.1.1.0"), Value::Null()}};
  Bytes good = EncodeMessage(m);
  Message d;
  for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(DecodeMessage(good.substr(0, n), d)) << n;
  Bytes indefinite = good;
  indefinite[1] = '\x80';
  EXPECT_FALSE(DecodeMessage(indefinite, d));
  Oid o;
  EXPECT_FALSE(DecodeOidContent(reinterpret_cast<const uint8_t*>("\x2B\x90\x80\x80\x80\x01"), 6, o));  // > 32 bits
  EXPECT_FALSE(DecodeOidContent(reinterpret_cast<const uint8_t*>("\x2B\x80\x01"), 3, o));  // padded sub-id
  EXPECT_FALSE(DecodeOidContent(reinterpret_cast<const uint8_t*>("\x2B\x86"), 2, o));      // cut short
}

TEST(PrinterSimPjl, ReadsTheJobLineAndTheLanguage) {
  bool done = false;
  size_t body = 0;
  Bytes jcid, name, lang;
  std::string job = MonitorJob(kJcid, "DATA");
  EXPECT_TRUE(Printer::ParsePjlHeader(job, false, done, body, jcid, name, lang));
  EXPECT_TRUE(done);
  EXPECT_EQ(jcid, kJcid);
  EXPECT_EQ(name, "Report_2026_12_06_000001");
  EXPECT_EQ(lang, "VPDL");
  EXPECT_EQ(job.substr(body, 4), "DATA");

  // The monitor's own language header: no job line, so no JCID.
  jcid.clear();
  std::string lh = std::string(kUel) + "@PJL ENTER LANGUAGE=VPDL\r\n%stuff";
  EXPECT_FALSE(Printer::ParsePjlHeader(lh, false, done, body, jcid, name, lang));
  EXPECT_TRUE(done);
  EXPECT_EQ(jcid, "");

  // Not waiting forever for a line end that is cut in the middle.
  std::string part = MonitorJob(kJcid, "").substr(0, 40);
  Printer::ParsePjlHeader(part, false, done, body, jcid, name, lang);
  EXPECT_FALSE(done);
  Printer::ParsePjlHeader(part, true, done, body, jcid, name, lang);
  EXPECT_TRUE(done);

  // Raw data without a UEL is all body.
  EXPECT_FALSE(Printer::ParsePjlHeader("%!PS-Adobe-3.0\n", false, done, body, jcid, name, lang));
  EXPECT_TRUE(done);
  EXPECT_EQ(body, 0u);
}

TEST(PrinterSimJobs, AJobGoesPendingProcessingCompletedAndIsFoundByItsJcid) {
  int64_t now = 1000;
  Printer p(Fast(), now);
  Print(p, MonitorJob(kJcid, "p1\fp2\fp3\f"), now);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobPending);
  EXPECT_EQ(GetStr(p, kJobs + "3.1.1.1", now), kJcid);

  // The mapping row carries the JCID index and the job index in its name.
  std::string index = "1.3.6.1.4.1.253.8.59.8.1.1.2.45";
  for (unsigned char c : kJcid) index += "." + std::to_string(c);
  Answer a = Ask(p, kGetNextRequest, index, now);
  EXPECT_EQ(OidToText(a.name), index + ".1.1");

  Advance(p, now, 1060);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobProcessing);
  EXPECT_EQ(GetInt(p, "1.3.6.1.2.1.25.3.5.1.1.1", now), 4);  // hrPrinterStatus printing
  Advance(p, now, 1270);
  EXPECT_EQ(GetInt(p, PagesOid(1), now), 2);
  Advance(p, now, 1400);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobCompleted);
  EXPECT_EQ(GetInt(p, ReasonOid(1), now), kReasonSuccess);
  EXPECT_EQ(GetInt(p, PagesOid(1), now), 3);
  EXPECT_EQ(GetInt(p, "1.3.6.1.2.1.25.3.5.1.1.1", now), 3);  // idle again

  // Finished rows stay for a while, then go.
  Advance(p, now, 7000);
  EXPECT_EQ(Ask(p, kGetRequest, StateOid(1), now).status, kNoSuchName);
}

TEST(PrinterSimJobs, PagesFollowTheDataAndJobsPrintOneAfterAnother) {
  int64_t now = 0;
  Printer p(Fast(), now);
  int c = p.JobOpen(now);
  std::string head = MonitorJob(kJcid, "");
  head.resize(head.size() - 9);
  p.JobData(c, head.data(), head.size(), now);
  Print(p, MonitorJob("", "x"), now);  // a second job, no JCID
  EXPECT_EQ(GetStr(p, kJobs + "3.1.1.2", now), "");
  Advance(p, now, 500);
  // Job 1 processes but has no complete page yet; job 2 waits for it.
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobProcessing);
  EXPECT_EQ(GetInt(p, PagesOid(1), now), 0);
  EXPECT_EQ(GetInt(p, StateOid(2), now), kJobPending);
  p.JobData(c, "a\fb\f", 4, now);
  Advance(p, now, 800);
  EXPECT_EQ(GetInt(p, PagesOid(1), now), 2);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobProcessing);  // still open
  p.JobClose(c, false, now);
  Advance(p, now, 1000);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobCompleted);
  Advance(p, now, 1300);
  EXPECT_EQ(GetInt(p, StateOid(2), now), kJobCompleted);
  EXPECT_EQ(GetInt(p, PagesOid(2), now), 1);  // at least one page
}

TEST(PrinterSimJobs, CancelBySetPanelCancelAbortAndPause) {
  int64_t now = 0;
  Printer p(Fast(), now);
  for (int i = 0; i < 3; ++i) Print(p, MonitorJob(kJcid, "\f\f\f\f\f\f\f\f"), now);
  Advance(p, now, 150);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobProcessing);

  // Only 1414 cancels; other values are refused and change nothing.
  EXPECT_EQ(Ask(p, kSetRequest, ControlOid(1), now, Value::Int(1)).status, kBadValue);
  EXPECT_EQ(Ask(p, kSetRequest, ControlOid(1), now, Value::Str("1414")).status, kBadValue);
  EXPECT_EQ(Ask(p, kSetRequest, ControlOid(9), now, Value::Int(1414)).status, kNoSuchName);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobProcessing);
  Answer a = Ask(p, kSetRequest, ControlOid(1), now, Value::Int(1414));
  EXPECT_EQ(a.status, kNoError);
  EXPECT_EQ(a.value.num, 1414);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobTerminating);
  EXPECT_EQ(GetInt(p, ReasonOid(1), now), kReasonCanceledByUser);
  Advance(p, now, 400);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobCompleted);
  EXPECT_EQ(GetInt(p, ReasonOid(1), now), kReasonCanceledByUser);

  // Job 2 starts; pausing holds its page count in the paused state.
  Advance(p, now, 500);
  EXPECT_EQ(GetInt(p, StateOid(2), now), kJobProcessing);
  Ctl(p, "pause on", now);
  int64_t pages = GetInt(p, PagesOid(2), now);
  Advance(p, now, 900);
  EXPECT_EQ(GetInt(p, StateOid(2), now), kJobPaused);
  EXPECT_EQ(GetInt(p, PagesOid(2), now), pages);
  Ctl(p, "pause off", now);
  Advance(p, now, 1000);
  EXPECT_EQ(GetInt(p, StateOid(2), now), kJobProcessing);

  Ctl(p, "abort", now);
  EXPECT_EQ(GetInt(p, ReasonOid(2), now), kReasonAborted);
  Advance(p, now, 1500);
  Ctl(p, "cancel", now);  // at the panel: job 3 is the current one now
  EXPECT_EQ(GetInt(p, ReasonOid(3), now), kReasonCanceledByUser);
  EXPECT_EQ(p.Control("cancel", now).substr(0, 3), "ERR");  // nothing left to cancel
}

TEST(PrinterSimJobs, PowerOffDropsEverythingAndPowerOnStartsAfresh) {
  int64_t now = 0;
  Printer p(Fast(), now);
  Print(p, MonitorJob(kJcid, "\f\f\f\f\f\f\f\f\f\f"), now);
  int open = p.JobOpen(now);
  p.JobData(open, "\x1B%-12345X@PJL ENTER LANGUAGE=VPDL\r\nxx", 37, now);
  Advance(p, now, 300);
  Ctl(p, "power off", now);
  EXPECT_FALSE(p.Powered());
  EXPECT_TRUE(p.TakeDropConnections());
  EXPECT_EQ(Ask(p, kGetRequest, "1.3.6.1.2.1.1.1.0", now).status, -1);  // no answer at all
  p.JobData(open, "late", 4, now);  // the connection is gone: ignored

  now += 5000;
  Ctl(p, "power on", now);
  EXPECT_EQ(GetInt(p, "1.3.6.1.2.1.1.3.0", now), 0);  // sysUpTime counts from power on
  EXPECT_EQ(OidToText(Ask(p, kGetNextRequest, "1.3.6.1.4.1.253.8.59", now).name),
            "1.3.6.1.4.1.253.8.61.1.1.0");  // empty job table
  Answer a = Ask(p, kGetNextRequest, "1.3.6.1.2.1.43.18.1.1.8", now);
  EXPECT_EQ(a.value.str, "Printer Reset");
  EXPECT_NE(p.Control("received", now).find("end=poweroff"), std::string::npos);

  // Job numbering restarts, and the reset alert goes after its time.
  Print(p, MonitorJob(kJcid, "\f"), now);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobPending);
  Advance(p, now, now + 1100);
  a = Ask(p, kGetNextRequest, "1.3.6.1.2.1.43.18.1.1.8", now);
  EXPECT_NE(a.value.str, "Printer Reset");
}

TEST(PrinterSimStatus, StatusObjectsAgreeWithTheAlerts) {
  int64_t now = 0;
  Printer p(Fast(), now);
  const std::string dev = "1.3.6.1.2.1.25.3.2.1.5.1", prt = "1.3.6.1.2.1.25.3.5.1.1.1",
                    err = "1.3.6.1.2.1.25.3.5.1.2.1";
  EXPECT_EQ(GetInt(p, dev, now), 2);
  EXPECT_EQ(GetInt(p, prt, now), 3);
  EXPECT_EQ(GetStr(p, err, now), std::string("\0\0", 2));

  Ctl(p, "alert add Low Toner", now);
  EXPECT_EQ(GetInt(p, dev, now), 3);  // warning, still idle
  EXPECT_EQ(GetInt(p, prt, now), 3);
  EXPECT_EQ(GetStr(p, err, now)[0], '\x20');

  // A jam stops the printer: down/other, jammed bit, and a waiting job stays pending.
  Ctl(p, "alert add Hop1 Paper Jam", now);
  EXPECT_EQ(GetInt(p, dev, now), 5);
  EXPECT_EQ(GetInt(p, prt, now), 1);
  EXPECT_EQ(GetStr(p, err, now)[0], '\x24');
  EXPECT_EQ(GetStr(p, "1.3.6.1.2.1.43.16.5.1.2.1.1", now), "Hop1 Paper Jam");
  Print(p, MonitorJob(kJcid, "\f"), now);
  Advance(p, now, 500);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobPending);
  Ctl(p, "alert del Hop1 Paper Jam", now);
  Advance(p, now, 600);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobProcessing);

  Ctl(p, "alert clear", now);
  Ctl(p, "offline on", now);
  EXPECT_EQ(GetStr(p, err, now)[0], '\x02');
  EXPECT_EQ(GetInt(p, dev, now), 5);
  EXPECT_EQ(Ask(p, kGetNextRequest, "1.3.6.1.2.1.43.18.1.1.8", now).value.str, "Printer Offline");
  Ctl(p, "offline off", now);
  Ctl(p, "errorstate 0180", now);
  EXPECT_EQ(GetStr(p, err, now), "\x01\x80");

  // Power saving shows on console light 3 and wakes with a job.
  Advance(p, now, 2000);
  Ctl(p, "powersave on", now);
  EXPECT_NE(GetInt(p, "1.3.6.1.2.1.43.17.6.1.2.1.3", now), 0);
  Print(p, MonitorJob(kJcid, "\f"), now);
  EXPECT_EQ(GetInt(p, "1.3.6.1.2.1.43.17.6.1.2.1.3", now), 0);

  Ctl(p, "state down", now);
  EXPECT_EQ(GetInt(p, dev, now), 5);
  Ctl(p, "hrprinter 4", now);
  EXPECT_EQ(GetInt(p, prt, now), 4);
}

TEST(PrinterSimAgent, WalkIsOrderedAndEndsWithNoSuchName) {
  int64_t now = 0;
  Printer p(Fast(), now);
  Ctl(p, "alert add Front Cover Open", now);
  Ctl(p, "alert add Hop2 No Paper", now);
  Print(p, MonitorJob(kJcid, "\f"), now);
  Oid cur{1, 3};
  std::vector<Oid> seen;
  for (int i = 0; i < 2000; ++i) {
    Answer a = Ask(p, kGetNextRequest, OidToText(cur), now);
    if (a.status == kNoSuchName) {
      EXPECT_EQ(a.index, 1);
      EXPECT_EQ(a.name, cur);  // v1 returns the request's binding
      break;
    }
    ASSERT_EQ(a.status, kNoError);
    ASSERT_TRUE(cur < a.name) << OidToText(a.name);
    cur = a.name;
    seen.push_back(cur);
  }
  ASSERT_GT(seen.size(), 150u);
  // After the last alert description a walk meets the alert time column.
  auto it = std::find(seen.begin(), seen.end(), O("1.3.6.1.2.1.43.18.1.1.8.1.2"));
  ASSERT_NE(it, seen.end());
  EXPECT_EQ(OidToText(*(it + 1)), "1.3.6.1.2.1.43.18.1.1.9.1.1");

  EXPECT_EQ(Ask(p, kGetRequest, "1.3.6.1.2.1.1.1", now).status, kNoSuchName);
  EXPECT_EQ(Ask(p, kSetRequest, "1.3.6.1.2.1.1.1.0", now, Value::Str("x")).status, kReadOnly);
  EXPECT_EQ(Ask(p, kSetRequest, "1.3.6.1.2.1.1.5.0", now, Value::Int(1)).status, kBadValue);
  EXPECT_EQ(Ask(p, kSetRequest, "1.3.6.1.2.1.1.5.0", now, Value::Str("lobby")).status, kNoError);
  EXPECT_EQ(GetStr(p, "1.3.6.1.2.1.1.5.0", now), "lobby");
  EXPECT_EQ(Ask(p, kGetRequest, "1.3.6.1.2.1.1.1.0", now, Value::Null(), "public").status, -1);
  Ctl(p, "snmp generr 1.3.6.1.2.1.25", now);
  Answer g = Ask(p, kGetRequest, "1.3.6.1.2.1.25.3.2.1.5.1", now);
  EXPECT_EQ(g.status, kGenErr);
  EXPECT_EQ(g.index, 1);
  EXPECT_EQ(Ask(p, kGetRequest, "1.3.6.1.2.1.1.1.0", now).status, kNoError);
  Ctl(p, "snmp drop", now);
  EXPECT_EQ(Ask(p, kGetRequest, "1.3.6.1.2.1.1.1.0", now).status, -1);
}

// The monitor's own client puts an OCTET STRING of one zero byte into its
// get requests and a four-byte INTEGER into its sets; both must be answered.
TEST(PrinterSimAgent, AnswersTheMonitorsRequestForms) {
  int64_t now = 0;
  Printer p(Fast(), now);
  Print(p, MonitorJob(kJcid, "\f\f\f\f\f\f"), now);
  Advance(p, now, 100);
  auto datagram = [](uint8_t pduType, const std::string& oidBer, const std::string& value) {
    std::string bind = "\x06" + std::string(1, static_cast<char>(oidBer.size())) + oidBer + value;
    std::string list = "\x30" + std::string(1, static_cast<char>(bind.size())) + bind;
    std::string seq = "\x30" + std::string(1, static_cast<char>(list.size())) + list;
    std::string pdu = std::string("\x02\x01\x01\x02\x01\x00\x02\x01\x00", 9) + seq;
    std::string body = std::string("\x02\x01\x00\x04\x06ravine", 11) + static_cast<char>(pduType) +
                       static_cast<char>(pdu.size()) + pdu;
    return "\x30" + std::string(1, static_cast<char>(body.size())) + body;
  };
  Message req, resp;
  // get of sysDescr with the value 04 01 00.
  ASSERT_TRUE(DecodeMessage(datagram(kGetRequest, std::string("\x2B\x06\x01\x02\x01\x01\x01\x00", 8), std::string("\x04\x01\x00", 3)), req));
  ASSERT_TRUE(p.HandleSnmp(req, resp, now));
  EXPECT_EQ(resp.pdu.requestId, 1);
  EXPECT_EQ(resp.pdu.errorStatus, kNoError);
  EXPECT_EQ(resp.pdu.binds[0].value.str, "VEK Tessaroline 7700");
  // set of 1414 as 02 04 00 00 05 86 on the job control object of job 1.1.
  std::string ctl("\x2B\x06\x01\x04\x01\x81\x7D\x08\x4C\x03\x02\x01\x01\x01\x01\x01", 16);
  ASSERT_TRUE(DecodeMessage(datagram(kSetRequest, ctl, std::string("\x02\x04\x00\x00\x05\x86", 6)), req));
  ASSERT_TRUE(p.HandleSnmp(req, resp, now));
  EXPECT_EQ(resp.pdu.errorStatus, kNoError);
  EXPECT_EQ(GetInt(p, StateOid(1), now), kJobTerminating);
}

TEST(PrinterSimAgent, TheSameAlertTwiceGivesTwoRowsOnlyWhenAskedFor) {
  int64_t now = 0;
  Printer p(Fast(), now);
  Ctl(p, "alert add Low Toner", now);
  Ctl(p, "alert add Low Toner", now);
  Ctl(p, "alert again Low Toner", now);
  std::string list = p.Control("alerts", now);
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 3);  // two rows and OK
  Ctl(p, "alert del Low Toner", now);  // removes every row of that text
  EXPECT_EQ(p.Control("alerts", now), "OK\n");
}

// With an empty job table a get-next from the JCID column meets a real text
// object (not the end of the MIB, whose v1 answer repeats the request's name).
TEST(PrinterSimAgent, AWalkOffAnEmptyJobTableMeetsATextObject) {
  Printer p(Fast(), 0);
  Answer a = Ask(p, kGetNextRequest, "1.3.6.1.4.1.253.8.59.6.1.1.3", 0);
  EXPECT_EQ(a.status, kNoError);
  EXPECT_EQ(a.value.tag, kOctetString);
  EXPECT_FALSE(a.value.str.empty());
}
