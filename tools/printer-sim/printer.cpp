#include "printer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace psim {

namespace {

const Oid kMib2 = {1, 3, 6, 1, 2, 1};
const Oid kPrivate = {1, 3, 6, 1, 4, 1, 253, 8};
const Oid kSysObjectId = {1, 3, 6, 1, 4, 1, 253, 8, 62, 1, 20, 4, 1};
const Oid kHrDevicePrinter = {1, 3, 6, 1, 2, 1, 25, 3, 1, 5};
const uint32_t kCancelValue = 1414;

Oid Cat(const Oid& a, std::initializer_list<uint32_t> b) {
  Oid r = a;
  r.insert(r.end(), b);
  return r;
}

Oid Cat(const Oid& a, const Oid& b) {
  Oid r = a;
  r.insert(r.end(), b.begin(), b.end());
  return r;
}

// What an alert text says about the printer, by the words it contains.
struct AlertKind {
  const char* word;
  int group, code, training;
  uint8_t octet1, octet2;
};

const AlertKind kAlertKinds[] = {
    {"Paper Jam", 13, 8, 3, 0x04, 0},
    {"Pick Miss", 13, 8, 3, 0x04, 0},
    {"Cover Open", 6, 3, 3, 0x08, 0},
    {"No Cassette", 8, 801, 3, 0, 0x80},
    {"No Paper", 8, 808, 3, 0x40, 0x04},
    {"Paper Size Error", 8, 1, 3, 0, 0},
    {"Low Toner", 11, 1104, 7, 0x20, 0},
    {"Cartridge", 11, 9, 3, 0, 0x20},
    {"No Toner", 11, 1101, 3, 0x10, 0},
    {"Drum", 11, 1, 3, 0, 0},
    {"Stacker", 9, 903, 3, 0, 0x08},
    {"Staple", 30, 1, 3, 0, 0},
    {"Punch", 30, 1, 3, 0, 0},
    {"Serviceman Call", 5, 1, 5, 0x01, 0},
    {"Maintenance Request", 5, 1, 7, 0, 0x02},
    {"Printer Offline", 5, 1, 3, 0x02, 0},
    {"Printer Reset", 5, 503, 7, 0, 0},
    {"Form Over", 13, 1, 3, 0, 0},
};

const AlertKind* KindOf(const Bytes& text) {
  for (const AlertKind& k : kAlertKinds)
    if (text.find(k.word) != Bytes::npos) return &k;
  return nullptr;
}

int DefaultSeverity(const Bytes& text) {
  if (text == "Low Toner" || text == "Near Drum Life" || text == "Maintenance Request Warning") return 4;
  if (text == "Printer Reset") return 5;
  return 3;
}

std::string Hex(const Bytes& b) {
  static const char* d = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : b) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

bool ParseHex(const std::string& t, Bytes& out) {
  out.clear();
  if (t.size() % 2) return false;
  for (size_t i = 0; i < t.size(); i += 2) {
    int v = 0;
    if (sscanf(t.substr(i, 2).c_str(), "%2x", &v) != 1 || !isxdigit((unsigned char)t[i]) ||
        !isxdigit((unsigned char)t[i + 1]))
      return false;
    out.push_back(static_cast<char>(v));
  }
  return true;
}

bool ParseInt(const std::string& t, int64_t& v) {
  if (t.empty()) return false;
  char* end = nullptr;
  long long x = strtoll(t.c_str(), &end, 0);
  if (*end) return false;
  v = x;
  return true;
}

bool ParseOnOff(const std::string& t, bool& v) {
  if (t == "on" || t == "1" || t == "yes") return v = true, true;
  if (t == "off" || t == "0" || t == "no") return v = false, true;
  return false;
}

bool StartsWithNoCase(const Bytes& s, size_t pos, const char* w) {
  size_t n = strlen(w);
  if (s.size() < pos + n) return false;
  for (size_t i = 0; i < n; ++i)
    if (toupper((unsigned char)s[pos + i]) != toupper((unsigned char)w[i])) return false;
  return true;
}

// Value of KEY=... in a PJL line: a quoted text up to its closing quote, or a
// bare word up to the next blank.
bool PjlAttr(const Bytes& line, const char* key, Bytes& out) {
  size_t klen = strlen(key);
  for (size_t i = 0; i + klen <= line.size(); ++i) {
    if (!StartsWithNoCase(line, i, key)) continue;
    size_t p = i + klen;
    if (p < line.size() && line[p] == '"') {
      size_t q = line.find('"', p + 1);
      out = line.substr(p + 1, q == Bytes::npos ? Bytes::npos : q - p - 1);
    } else {
      size_t q = line.find_first_of(" \t\r", p);
      out = line.substr(p, q == Bytes::npos ? Bytes::npos : q - p);
    }
    return true;
  }
  return false;
}

const char kUel[] = "\x1B%-12345X";
const size_t kUelLen = 9;
const size_t kHeadLimit = 16384;

}  // namespace

std::string Quote(const Bytes& s) {
  std::string r = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      r += '\\';
      r += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char b[8];
      snprintf(b, sizeof b, "\\x%02X", c);
      r += b;
    } else {
      r += static_cast<char>(c);
    }
  }
  return r + "\"";
}

Bytes Unescape(const std::string& s) {
  Bytes r;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      r += s[i];
      continue;
    }
    char c = s[++i];
    if (c == 'x' && i + 2 < s.size() && isxdigit((unsigned char)s[i + 1]) && isxdigit((unsigned char)s[i + 2])) {
      r += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else if (c == 'n') {
      r += '\n';
    } else if (c == 'r') {
      r += '\r';
    } else if (c == 't') {
      r += '\t';
    } else {
      r += c;
    }
  }
  return r;
}

Printer::Printer(const Options& opt, int64_t nowMs) : opt_(opt) {
  descr_ = opt_.descr;
  const char* names[] = {"HOPPER1", "HOPPER2", "HOPPER3", "HOPPER4", "HOPPER5", "TRAY"};
  const char* descs[] = {"A4TYPE,CURRENT", "A4TYPE", "A3TYPE", "A3TYPE", "A4TYPE", "TRAY"};
  for (int i = 0; i < 6; ++i) {
    InputBin b;
    b.name = names[i];
    b.media = "A4";
    b.desc = descs[i];
    if (i == 5) {
      b.level = 0;
      b.maxCapacity = 100;
    }
    bins_.push_back(b);
  }
  outputs_.push_back({"FACE DOWN TRAY", 250, -3});
  outputs_.push_back({"STACKER TRAY", 1000, -3});
  interpreters_.push_back({"VPDL Level2.201PL", 1, "2", "2.201"});
  interpreters_.push_back({"ESC/P", 1, "", "1.0"});
  nextJob_ = opt_.firstJob;
  powerOnMs_ = nowMs;
}

Oid Printer::JcidIndex(const Bytes& jcid) {
  Oid o{static_cast<uint32_t>(jcid.size())};
  for (unsigned char c : jcid) o.push_back(c);
  return o;
}

bool Printer::ParsePjlHeader(const Bytes& head, bool closed, bool& done, size_t& bodyStart, Bytes& jcid,
                             Bytes& name, Bytes& language) {
  done = false;
  bodyStart = 0;
  size_t cmp = std::min(head.size(), kUelLen);
  if (memcmp(head.data(), kUel, cmp) != 0) {
    done = true;  // no PJL header at all: the whole of it is the body
    return false;
  }
  if (head.size() < kUelLen) {
    done = closed;
    bodyStart = closed ? head.size() : 0;
    return false;
  }
  bool sawJob = false;
  size_t pos = kUelLen;
  while (pos < head.size()) {
    size_t nl = head.find('\n', pos);
    if (nl == Bytes::npos && !closed && head.size() < kHeadLimit) return sawJob;  // line incomplete
    size_t end = nl == Bytes::npos ? head.size() : nl;
    Bytes line = head.substr(pos, end - pos);
    size_t next = nl == Bytes::npos ? head.size() : nl + 1;
    size_t s = line.find_first_not_of(" \t");
    if (s == Bytes::npos) {  // blank lines between PJL commands are allowed
      pos = next;
      continue;
    }
    if (!StartsWithNoCase(line, s, "@PJL")) {  // the print data begins here
      done = true;
      bodyStart = pos;
      return sawJob;
    }
    if (StartsWithNoCase(line, s, "@PJL JOB") && !sawJob) {
      sawJob = true;
      PjlAttr(line, "NAME=", name);
      PjlAttr(line, "@JCID=", jcid);
    } else if (StartsWithNoCase(line, s, "@PJL ENTER")) {
      Bytes lang;
      if (PjlAttr(line, "LANGUAGE=", lang)) language = lang;
      done = true;
      bodyStart = next;
      return sawJob;
    }
    pos = next;
  }
  if (closed || head.size() >= kHeadLimit) {
    done = true;
    bodyStart = head.size();
  }
  return sawJob;
}

uint32_t Printer::UpTime(int64_t nowMs) const {
  return static_cast<uint32_t>((nowMs - powerOnMs_) / 10);
}

void Printer::AddAlert(const Bytes& text, int severity, int64_t nowMs, bool again) {
  for (const Alert& a : alerts_)
    if (a.text == text && !again) return;
  Alert a;
  a.index = nextAlert_++;
  a.text = text;
  a.severity = severity ? severity : DefaultSeverity(text);
  if (const AlertKind* k = KindOf(text)) {
    a.group = k->group;
    a.code = k->code;
    a.training = k->training;
  }
  if (a.severity != 3) a.training = 7;
  a.location = 0;
  a.time = UpTime(nowMs);
  alerts_.push_back(a);
}

bool Printer::RemoveAlert(const Bytes& text) {
  size_t before = alerts_.size();
  alerts_.erase(std::remove_if(alerts_.begin(), alerts_.end(), [&](const Alert& a) { return a.text == text; }),
                alerts_.end());
  return alerts_.size() != before;
}

bool Printer::HasCriticalAlert() const {
  for (const Alert& a : alerts_)
    if (a.severity == 3) return true;
  return false;
}

bool Printer::HasWarningAlert() const {
  for (const Alert& a : alerts_)
    if (a.severity == 4) return true;
  return false;
}

bool Printer::Warming(int64_t nowMs) const {
  return forced_ == "warmup" || (opt_.warmupMs > 0 && nowMs - powerOnMs_ < opt_.warmupMs);
}

bool Printer::CanPrint(int64_t nowMs) const {
  return powered_ && !paused_ && !offline_ && !HasCriticalAlert() && !Warming(nowMs) && forced_ != "down";
}

// hrDeviceStatus and hrPrinterStatus kept together as Printer MIB agents do.
void Printer::DeviceStatus(int64_t nowMs, int& dev, int& prt) const {
  bool printing = false;
  for (const auto& j : table_)
    if (j->state == kJobProcessing) printing = true;
  if (forced_ == "idle") {
    dev = 2, prt = 3;
  } else if (forced_ == "printing") {
    dev = 2, prt = 4;
  } else if (forced_ == "down") {
    dev = 5, prt = 1;
  } else if (Warming(nowMs)) {
    dev = 5, prt = 5;  // moving on-line
  } else if (offline_ || HasCriticalAlert()) {
    dev = 5, prt = 1;
  } else if (paused_ || (powerSave_ && !printing)) {
    dev = HasWarningAlert() ? 3 : 2, prt = 1;
  } else {
    dev = HasWarningAlert() ? 3 : 2;
    prt = printing ? 4 : 3;
  }
  if (hrDeviceOverride_) dev = hrDeviceOverride_;
  if (hrPrinterOverride_) prt = hrPrinterOverride_;
}

Bytes Printer::ErrorState() const {
  if (errorStateFixed_) return errorState_;
  uint8_t o1 = offline_ ? 0x02 : 0, o2 = 0;
  for (const Alert& a : alerts_)
    if (const AlertKind* k = KindOf(a.text)) {
      o1 |= k->octet1;
      o2 |= k->octet2;
    }
  Bytes r;
  r.push_back(static_cast<char>(o1));
  r.push_back(static_cast<char>(o2));
  return r;
}

Bytes Printer::DisplayRow(int row, int64_t nowMs) const {
  if (displayFixed_[row]) return display_[row];
  if (row == 1) {
    for (const auto& j : table_)
      if (j->state == kJobProcessing || j->state == kJobPaused) return j->name.substr(0, 32);
    return Bytes();
  }
  for (const Alert& a : alerts_)
    if (a.severity == 3) return a.text.substr(0, 32);
  if (Warming(nowMs)) return "WARMING UP";
  if (offline_) return "OFFLINE";
  if (paused_) return "PAUSED";
  for (const auto& j : table_)
    if (j->state == kJobProcessing) return "PRINTING";
  if (powerSave_) return "POWER SAVE";
  return "READY";
}

std::map<Oid, Printer::Entry> Printer::BuildMib(int64_t nowMs) const {
  std::map<Oid, Entry> m;
  auto put = [&](const Oid& o, const Value& v, bool w = false) { m[o] = Entry{v, w}; };

  // System group.
  const Oid sys = Cat(kMib2, {1});
  put(Cat(sys, {1, 0}), Value::Str(descr_));
  put(Cat(sys, {2, 0}), Value::ObjId(kSysObjectId));
  put(Cat(sys, {3, 0}), Value::Ticks(UpTime(nowMs)));
  put(Cat(sys, {4, 0}), Value::Str(sysContact_), true);
  put(Cat(sys, {5, 0}), Value::Str(sysName_), true);
  put(Cat(sys, {6, 0}), Value::Str(sysLocation_), true);
  put(Cat(sys, {7, 0}), Value::Int(72));

  // Host Resources: the printer is device 1.
  int dev = 0, prt = 0;
  DeviceStatus(nowMs, dev, prt);
  const Oid hrDev = Cat(kMib2, {25, 3, 2, 1});
  put(Cat(hrDev, {1, 1}), Value::Int(1));
  put(Cat(hrDev, {2, 1}), Value::ObjId(kHrDevicePrinter));
  put(Cat(hrDev, {3, 1}), Value::Str(descr_));
  put(Cat(hrDev, {4, 1}), Value::ObjId({0, 0}));
  put(Cat(hrDev, {5, 1}), Value::Int(dev));
  put(Cat(hrDev, {6, 1}), Value::Counter(0));
  const Oid hrPrt = Cat(kMib2, {25, 3, 5, 1});
  put(Cat(hrPrt, {1, 1}), Value::Int(prt));
  put(Cat(hrPrt, {2, 1}), Value::Str(ErrorState()));

  // Printer MIB input table.
  const Oid in = Cat(kMib2, {43, 8, 2, 1});
  for (size_t i = 0; i < bins_.size(); ++i) {
    const InputBin& b = bins_[i];
    uint32_t x = static_cast<uint32_t>(i + 1);
    bool tray = b.name == "TRAY";
    put(Cat(in, {2, 1, x}), Value::Int(tray ? 5 : 3));
    put(Cat(in, {3, 1, x}), Value::Int(4));  // micrometres
    put(Cat(in, {4, 1, x}), Value::Int(b.dimFeed));
    put(Cat(in, {5, 1, x}), Value::Int(b.dimXFeed));
    put(Cat(in, {6, 1, x}), Value::Int(b.dimFeed));
    put(Cat(in, {7, 1, x}), Value::Int(b.dimXFeed));
    put(Cat(in, {8, 1, x}), Value::Int(8));  // sheets
    put(Cat(in, {9, 1, x}), Value::Int(b.maxCapacity));
    put(Cat(in, {10, 1, x}), Value::Int(b.level));
    put(Cat(in, {11, 1, x}), Value::Int(b.level == 0 ? 8 : 0));
    put(Cat(in, {12, 1, x}), Value::Str(b.media));
    put(Cat(in, {13, 1, x}), Value::Str(b.name));
    put(Cat(in, {14, 1, x}), Value::Str("VEK"));
    put(Cat(in, {18, 1, x}), Value::Str(b.desc));
  }

  // Output table.
  const Oid out = Cat(kMib2, {43, 9, 2, 1});
  for (size_t i = 0; i < outputs_.size(); ++i) {
    const OutputBin& o = outputs_[i];
    uint32_t x = static_cast<uint32_t>(i + 1);
    put(Cat(out, {2, 1, x}), Value::Int(o.name == "STACKER TRAY" ? 3 : 4));
    put(Cat(out, {3, 1, x}), Value::Int(8));
    put(Cat(out, {4, 1, x}), Value::Int(o.maxCapacity));
    put(Cat(out, {5, 1, x}), Value::Int(o.remaining));
    put(Cat(out, {6, 1, x}), Value::Int(0));
    put(Cat(out, {7, 1, x}), Value::Str(o.name));
    put(Cat(out, {12, 1, x}), Value::Str(o.name));
  }

  // Interpreters.
  const Oid ip = Cat(kMib2, {43, 15, 1, 1});
  for (size_t i = 0; i < interpreters_.size(); ++i) {
    const Interpreter& t = interpreters_[i];
    uint32_t x = static_cast<uint32_t>(i + 1);
    put(Cat(ip, {2, 1, x}), Value::Int(t.family));
    put(Cat(ip, {3, 1, x}), Value::Str(t.level));
    put(Cat(ip, {4, 1, x}), Value::Str(t.version));
    put(Cat(ip, {5, 1, x}), Value::Str(t.desc));
    put(Cat(ip, {6, 1, x}), Value::Str(t.version));
    put(Cat(ip, {12, 1, x}), Value::Int(4));
  }

  // Console display buffer, two rows.
  const Oid disp = Cat(kMib2, {43, 16, 5, 1, 2, 1});
  put(Cat(disp, {1}), Value::Str(DisplayRow(0, nowMs)));
  put(Cat(disp, {2}), Value::Str(DisplayRow(1, nowMs)));

  // Console lights: 1 online, 2 attention, 3 power saving.
  const Oid light = Cat(kMib2, {43, 17, 6, 1});
  bool online = !offline_ && !Warming(nowMs);
  bool alarm = HasCriticalAlert();
  struct L { bool on; bool blink; int color; const char* d; } lights[3] = {
      {online, false, 5, "ONLINE"}, {alarm, true, 10, "ATTENTION"}, {powerSave_, false, 5, "POWER SAVE"}};
  for (uint32_t i = 0; i < 3; ++i) {
    put(Cat(light, {2, 1, i + 1}), Value::Int(lights[i].on ? 1000 : 0));
    put(Cat(light, {3, 1, i + 1}), Value::Int(lights[i].on && lights[i].blink ? 1000 : 0));
    put(Cat(light, {4, 1, i + 1}), Value::Int(lights[i].color));
    put(Cat(light, {5, 1, i + 1}), Value::Str(lights[i].d));
  }

  // Alert table.
  const Oid al = Cat(kMib2, {43, 18, 1, 1});
  for (const Alert& a : alerts_) {
    put(Cat(al, {2, 1, a.index}), Value::Int(a.severity));
    put(Cat(al, {3, 1, a.index}), Value::Int(a.training));
    put(Cat(al, {4, 1, a.index}), Value::Int(a.group));
    put(Cat(al, {5, 1, a.index}), Value::Int(-1));
    put(Cat(al, {6, 1, a.index}), Value::Int(a.location));
    put(Cat(al, {7, 1, a.index}), Value::Int(a.code));
    put(Cat(al, {8, 1, a.index}), Value::Str(a.text));
    put(Cat(al, {9, 1, a.index}), Value::Ticks(a.time));
  }

  // Product information. It also gives walks that run off the end of the
  // (possibly empty) job MIB a real text object to stop at, as a real
  // printer's further private objects do.
  const Oid info = Cat(kPrivate, {61, 1});
  put(Cat(info, {1, 0}), Value::Str(descr_));
  put(Cat(info, {2, 0}), Value::Str("TSL7700-000001"));
  put(Cat(info, {3, 0}), Value::Str("1.00"));

  // Private job MIB. A row is device 1 and the job index (FWID), a count
  // and that many sub-identifiers: {1, number} unless `fwid-arcs` says more.
  const Oid jt = Cat(kPrivate, {59, 6, 1, 1});
  const Oid pg = Cat(kPrivate, {59, 16, 1, 1, 5});
  const Oid map = Cat(kPrivate, {59, 8, 1, 1, 2});
  const Oid ctl = Cat(kPrivate, {76, 3, 2, 1, 1, 1});
  for (const auto& jp : table_) {
    const Job& j = *jp;
    const Oid& fwid = j.fwid;
    put(Cat(Cat(jt, {3, 1}), fwid), Value::Str(j.jcid));
    put(Cat(Cat(jt, {4, 1}), fwid), Value::Str(j.name));
    put(Cat(Cat(jt, {9, 1}), fwid), Value::Int(j.state));
    put(Cat(Cat(jt, {10, 1}), fwid), Value::Int(j.reason));
    put(Cat(Cat(pg, {1}), fwid), Value::Int(j.pages));
    if (j.mapMode != Job::kMapNone)
      put(Cat(Cat(map, JcidIndex(j.mapMode == Job::kMapText ? j.mapJcid : j.jcid)), fwid), Value::Int(j.number));
    put(Cat(ctl, fwid), Value::Int(j.controlValue), true);
  }
  for (const Oid& h : hidden_)
    for (auto it = m.lower_bound(h); it != m.end() && OidStartsWith(it->first, h);) it = m.erase(it);
  return m;
}

void Printer::LogRequest(int64_t nowMs, const std::string& text) {
  requests_.push_back({nowMs, text});
  while (requests_.size() > 4000) requests_.pop_front();
}

int Printer::SetCheck(const VarBind& b, const std::map<Oid, Entry>& mib) const {
  auto it = mib.find(b.name);
  if (it == mib.end()) return kNoSuchName;
  if (!it->second.writable) return kReadOnly;
  const Value& cur = it->second.value;
  if (b.value.tag != cur.tag) return kBadValue;
  if (cur.tag == kOctetString) return b.value.str.size() <= 255 ? kNoError : kBadValue;
  if (cur.tag == kInteger) return b.value.num == kCancelValue ? kNoError : kBadValue;
  return kBadValue;
}

void Printer::SetApply(const VarBind& b, int64_t nowMs) {
  const Oid sys = Cat(kMib2, {1});
  if (b.name == Cat(sys, {4, 0})) sysContact_ = b.value.str;
  else if (b.name == Cat(sys, {5, 0})) sysName_ = b.value.str;
  else if (b.name == Cat(sys, {6, 0})) sysLocation_ = b.value.str;
  else if (OidStartsWith(b.name, Cat(kPrivate, {76, 3, 2, 1, 1, 1}))) {
    const size_t stem = kPrivate.size() + 6;
    if (Job* j = FindJobByFwid(Oid(b.name.begin() + stem, b.name.end()))) {
      j->controlValue = b.value.num;
      CancelJob(*j, kReasonCanceledByUser, nowMs);
    }
  }
}

bool Printer::HandleSnmp(const Message& req, Message& resp, int64_t nowMs) {
  ++statRequests_;
  if (!powered_ || req.version != 0) {
    ++statDropped_;
    return false;
  }
  if (req.community != opt_.community) {
    ++statBadCommunity_;
    return false;
  }
  const char* kind = req.pdu.type == kGetRequest       ? "get"
                     : req.pdu.type == kGetNextRequest ? "getnext"
                     : req.pdu.type == kSetRequest     ? "set"
                                                       : nullptr;
  if (!kind) {
    ++statDropped_;
    return false;
  }
  std::string line = kind;
  for (const VarBind& b : req.pdu.binds) line += " " + OidToText(b.name);
  LogRequest(nowMs, line);

  resp = Message();
  resp.version = 0;
  resp.community = req.community;
  resp.pdu.type = kGetResponse;
  resp.pdu.requestId = req.pdu.requestId;
  auto fail = [&](int status, size_t index) {
    resp.pdu.errorStatus = status;
    resp.pdu.errorIndex = static_cast<int64_t>(index);
    resp.pdu.binds = req.pdu.binds;
    return true;
  };

  if (faultMode_ != "normal" && faultMode_ != "hostile") {
    for (size_t i = 0; i < req.pdu.binds.size(); ++i) {
      if (!OidStartsWith(req.pdu.binds[i].name, faultPrefix_)) continue;
      if (faultMode_ == "drop") {
        ++statDropped_;
        return false;
      }
      return fail(kGenErr, i + 1);
    }
  }

  std::map<Oid, Entry> mib = BuildMib(nowMs);
  if (req.pdu.type == kSetRequest) {
    ++statSets_;
    for (size_t i = 0; i < req.pdu.binds.size(); ++i)
      if (int e = SetCheck(req.pdu.binds[i], mib)) return fail(e, i + 1);
    for (const VarBind& b : req.pdu.binds) SetApply(b, nowMs);
    resp.pdu.binds = req.pdu.binds;
  } else {
    for (size_t i = 0; i < req.pdu.binds.size(); ++i) {
      const Oid& name = req.pdu.binds[i].name;
      auto it = req.pdu.type == kGetRequest ? mib.find(name) : mib.upper_bound(name);
      if (it == mib.end()) return fail(kNoSuchName, i + 1);
      resp.pdu.binds.push_back({it->first, it->second.value});
    }
  }
  if (faultMode_ == "hostile") {
    bool named = false;
    for (const VarBind& b : req.pdu.binds) named = named || OidStartsWith(b.name, faultPrefix_);
    if (named && Hostile(req, resp)) return fail(kGenErr, 1);
  }
  // A response that would not fit one datagram is answered with tooBig.
  if (EncodeMessage(resp).size() > 1472) {
    fail(kTooBig, 0);
  }
  return true;
}

// What a broken or malicious agent answers: about one value in three is
// replaced by a wrong type, an over-long string, a negative or a huge
// number, or (for get-next) a name that does not advance or jumps back.
// True when the whole answer should be genErr instead.
bool Printer::Hostile(const Message& req, Message& resp) {
  std::uniform_int_distribution<int> pick(0, 23);
  if (pick(hostileRng_) == 0) return true;
  for (size_t i = 0; i < resp.pdu.binds.size(); ++i) {
    VarBind& b = resp.pdu.binds[i];
    switch (pick(hostileRng_)) {
    case 1: b.value = b.value.tag == kInteger ? Value::Str(Bytes("\xff\x00junk", 6)) : Value::Int(7); break;
    case 2: b.value = Value::Str(Bytes(1200, 'X')); break;
    case 3: b.value = Value::Int(-1); break;
    case 4: b.value = Value::Int(INT64_MIN / 2); break;
    case 5: b.value = Value::Int(0x7FFFFFFFFFFFLL); break;
    case 6: b.value = Value::ObjId(b.name); break;
    case 7: b.value = Value::Null(); break;
    case 8:
      if (req.pdu.type == kGetNextRequest && i < req.pdu.binds.size()) b.name = req.pdu.binds[i].name;
      break;
    case 9:
      if (req.pdu.type == kGetNextRequest) b.name = Oid{1, 3, 6, 1};
      break;
    default: break;
    }
  }
  return false;
}

int Printer::JobOpen(int64_t nowMs) {
  int id = nextConn_++;
  Conn& c = conns_[id];
  c.job = std::make_shared<Job>();
  c.job->arrivedMs = nowMs;
  c.job->pageOverride = opt_.pages;
  return id;
}

void Printer::BodyData(Job& j, const char* p, size_t n) {
  j.formFeeds += static_cast<uint32_t>(std::count(p, p + n, '\x0C'));
}

void Printer::CreateRow(Conn& c, int64_t nowMs) {
  Job& j = *c.job;
  j.seq = nextSeq_++;
  j.number = nextJob_++;
  j.fwid = {fwidArcs_};
  for (uint32_t a = 1; a < fwidArcs_; ++a) j.fwid.push_back(a * 10);  // 2.10.N, 3.10.20.N, ...
  j.fwid.push_back(j.number);
  j.hasRow = true;
  j.mapMode = newMapMode_;
  j.mapJcid = newMapJcid_;
  j.state = kJobPending;
  j.arrivedMs = j.stateMs = nowMs;
  powerSave_ = false;  // a job wakes the printer
  table_.push_back(c.job);
  received_.push_back(c.job);
  while (received_.size() > 1000) received_.pop_front();
  // Bytes are kept for the last 64 jobs only, so a long demo stays small.
  if (received_.size() > 64) {
    Job& old = *received_[received_.size() - 65];
    Bytes().swap(old.data);
  }
  PruneRows(nowMs);
}

void Printer::JobData(int conn, const char* p, size_t n, int64_t nowMs) {
  auto it = conns_.find(conn);
  if (it == conns_.end() || n == 0) return;
  Conn& c = it->second;
  Job& j = *c.job;
  j.bytes += n;
  if (j.data.size() < opt_.dataLimit) j.data.append(p, std::min(n, opt_.dataLimit - j.data.size()));
  if (c.headerDone) {
    BodyData(j, p, n);
    return;
  }
  c.head.append(p, n);
  bool done = false;
  size_t body = 0;
  ParsePjlHeader(c.head, false, done, body, j.jcid, j.name, j.language);
  if (!done) return;
  c.headerDone = true;
  CreateRow(c, nowMs);
  BodyData(j, c.head.data() + body, c.head.size() - body);
  c.head.clear();
}

void Printer::JobClose(int conn, bool reset, int64_t nowMs) {
  auto it = conns_.find(conn);
  if (it == conns_.end()) return;
  Conn& c = it->second;
  Job& j = *c.job;
  if (!c.headerDone && !c.head.empty()) {
    bool done = false;
    size_t body = 0;
    ParsePjlHeader(c.head, true, done, body, j.jcid, j.name, j.language);
    c.headerDone = true;
    CreateRow(c, nowMs);
    BodyData(j, c.head.data() + body, c.head.size() - body);
  }
  if (j.hasRow) {
    j.open = false;
    j.end = reset ? "reset" : "closed";
    j.endedMs = nowMs;
    SaveSpool(j);
  }
  conns_.erase(it);
}

void Printer::SaveSpool(const Job& j) const {
  if (opt_.spoolDir.empty()) return;
  std::string path = opt_.spoolDir + "/job-" + std::to_string(j.seq) + ".prn";
  if (FILE* f = fopen(path.c_str(), "wb")) {
    fwrite(j.data.data(), 1, j.data.size(), f);
    fclose(f);
  }
}

void Printer::Finish(Job& j, int state, uint32_t reason, int64_t nowMs) {
  j.state = state;
  j.reason = reason;
  j.stateMs = nowMs;
}

void Printer::CancelJob(Job& j, uint32_t reason, int64_t nowMs) {
  if (j.state == kJobCompleted || j.state == kJobTerminating) return;
  Finish(j, kJobTerminating, reason, nowMs);
}

Job* Printer::CurrentJob() {
  for (const auto& j : table_)
    if (j->state == kJobProcessing || j->state == kJobPaused) return j.get();
  for (const auto& j : table_)
    if (j->state == kJobPending) return j.get();
  return nullptr;
}

Job* Printer::FindJobByFwid(const Oid& fwid) {
  for (const auto& j : table_)
    if (j->fwid == fwid) return j.get();
  return nullptr;
}

Job* Printer::FindJob(uint32_t number) {
  for (const auto& j : table_)
    if (j->number == number) return j.get();
  return nullptr;
}

void Printer::PruneRows(int64_t nowMs) {
  table_.erase(std::remove_if(table_.begin(), table_.end(),
                              [&](const std::shared_ptr<Job>& j) {
                                return j->state == kJobCompleted && nowMs - j->stateMs >= opt_.keepMs;
                              }),
               table_.end());
  while (table_.size() > opt_.maxRows) {
    auto it = std::find_if(table_.begin(), table_.end(),
                           [](const std::shared_ptr<Job>& j) { return j->state == kJobCompleted; });
    if (it == table_.end()) break;
    table_.erase(it);
  }
}

void Printer::Tick(int64_t nowMs) {
  if (!powered_) return;
  if (resetAlertUntil_ && nowMs >= resetAlertUntil_) {
    RemoveAlert("Printer Reset");
    resetAlertUntil_ = 0;
  }
  for (const auto& jp : table_) {
    Job& j = *jp;
    if (j.frozen) continue;
    if (j.state == kJobTerminating && !j.open && nowMs - std::max(j.stateMs, j.endedMs) >= opt_.terminateMs)
      Finish(j, kJobCompleted, j.reason, nowMs);
  }
  bool can = CanPrint(nowMs);
  Job* active = nullptr;
  for (const auto& jp : table_)
    if (jp->state == kJobProcessing || jp->state == kJobPaused) {
      active = jp.get();
      break;
    }
  if (active && active->frozen) active = nullptr;  // holds the printer as it was set
  else if (!active && can) {
    for (const auto& jp : table_)
      if (jp->state == kJobPending && !jp->frozen) {
        if (nowMs - jp->arrivedMs >= opt_.pendingMs) {
          active = jp.get();
          active->state = kJobProcessing;
          active->stateMs = active->lastPageMs = nowMs;
        }
        break;
      }
  }
  if (active) {
    Job& j = *active;
    if (paused_ && j.state == kJobProcessing) j.state = kJobPaused;
    if (!paused_ && j.state == kJobPaused) j.state = kJobProcessing;
    uint32_t total = j.pageOverride ? j.pageOverride : std::max<uint32_t>(1, j.formFeeds);
    uint32_t avail = j.open ? std::min(total, j.formFeeds) : total;
    if (j.state == kJobProcessing && can) {
      while (j.pages < avail && nowMs - j.lastPageMs >= opt_.pageMs) {
        ++j.pages;
        j.lastPageMs += opt_.pageMs;
      }
      if (j.pages >= avail) j.lastPageMs = nowMs;  // no credit while waiting for data
      if (!j.open && j.pages >= total) Finish(j, kJobCompleted, kReasonSuccess, nowMs);
    } else {
      j.lastPageMs = nowMs;
    }
  }
  PruneRows(nowMs);
}

void Printer::PowerOff(int64_t nowMs) {
  powered_ = false;
  for (auto& kv : conns_) {
    Job& j = *kv.second.job;
    if (j.hasRow) {
      j.open = false;
      j.end = "poweroff";
      j.endedMs = nowMs;
      SaveSpool(j);
    }
  }
  conns_.clear();
  table_.clear();
  dropConns_ = true;
}

void Printer::PowerOn(int64_t nowMs) {
  powered_ = true;
  powerOnMs_ = nowMs;
  table_.clear();
  nextJob_ = opt_.firstJob;
  alerts_.clear();
  offline_ = paused_ = powerSave_ = false;
  forced_ = "auto";
  AddAlert("Printer Reset", 0, nowMs);
  resetAlertUntil_ = opt_.resetAlertMs > 0 ? nowMs + opt_.resetAlertMs : 0;
}

std::string Printer::Status(int64_t nowMs) const {
  int dev = 0, prt = 0;
  DeviceStatus(nowMs, dev, prt);
  std::ostringstream o;
  o << "power " << (powered_ ? "on" : "off") << "\n"
    << "state " << forced_ << "\n"
    << "hrDeviceStatus " << dev << "\n"
    << "hrPrinterStatus " << prt << "\n"
    << "errorstate " << Hex(ErrorState()) << "\n"
    << "offline " << (offline_ ? "on" : "off") << "\n"
    << "pause " << (paused_ ? "on" : "off") << "\n"
    << "powersave " << (powerSave_ ? "on" : "off") << "\n"
    << "model " << Quote(descr_) << "\n"
    << "community " << Quote(opt_.community) << "\n"
    << "alerts " << alerts_.size() << "\n"
    << "jobs " << table_.size() << "\n"
    << "uptime " << UpTime(nowMs) << "\n";
  return o.str();
}

namespace {

// Splits off the first blank-separated word.
std::string Word(std::string& rest) {
  size_t s = rest.find_first_not_of(' ');
  if (s == std::string::npos) {
    rest.clear();
    return std::string();
  }
  size_t e = rest.find(' ', s);
  std::string w = rest.substr(s, e == std::string::npos ? std::string::npos : e - s);
  rest = e == std::string::npos ? std::string() : rest.substr(e + 1);
  return w;
}

std::vector<Bytes> SplitBars(const std::string& s) {
  std::vector<Bytes> r;
  if (s.empty()) return r;
  size_t p = 0;
  while (true) {
    size_t q = s.find('|', p);
    r.push_back(Unescape(s.substr(p, q == std::string::npos ? std::string::npos : q - p)));
    if (q == std::string::npos) break;
    p = q + 1;
  }
  return r;
}

const char kHelp[] =
    "ping | status | quit | help\n"
    "power on|off | offline on|off | pause on|off | powersave on|off\n"
    "state auto|idle|printing|warmup|down | hrdevice N|auto | hrprinter N|auto | errorstate HEX|auto\n"
    "alert add TEXT | alert again TEXT | alert add-severity N TEXT | alert del TEXT | alert clear | alerts\n"
    "model TEXT|default | community TEXT\n"
    "bins N | bin I name|media|desc TEXT | bin I level N | bin I max N | bin I dims FEED XFEED\n"
    "outputs NAME|NAME... | stacker on|off | interpreters DESC|DESC... | display 1|2 TEXT|auto\n"
    "abort | cancel [JOB] | pages N | pace MS | pending MS | keep MS\n"
    "job N state V|reason V|pages V|map none|auto|TEXT|auto | map-new none|auto|TEXT | fwid-arcs N | hide OID | unhide OID|all\n"
    "jobs | received [clear] | data SEQ | walk\n"
    "snmp normal|drop|generr [OID] | snmp hostile [SEED [OID]] | snmp delay MS | requests [clear] | stats\n";

}  // namespace

std::string Printer::Control(const std::string& rawLine, int64_t nowMs) {
  std::string rest = rawLine;
  while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n')) rest.pop_back();
  std::string cmd = Word(rest);
  std::ostringstream o;
  auto ok = [&]() { return o.str() + "OK\n"; };
  auto err = [&](const std::string& m) { return "ERR " + m + "\n"; };
  bool b = false;
  int64_t n = 0;

  if (cmd.empty()) return err("empty command");
  if (cmd == "ping") return "pong\nOK\n";
  if (cmd == "help") return std::string(kHelp) + "OK\n";
  if (cmd == "quit") {
    quit_ = true;
    return ok();
  }
  if (cmd == "status") return Status(nowMs) + "OK\n";
  if (cmd == "power") {
    std::string w = Word(rest);
    if (!ParseOnOff(w, b)) return err("power on|off");
    if (b && !powered_) PowerOn(nowMs);
    if (!b && powered_) PowerOff(nowMs);
    return ok();
  }
  if (cmd == "offline") {
    if (!ParseOnOff(Word(rest), b)) return err("offline on|off");
    offline_ = b;
    if (b) AddAlert("Printer Offline", 0, nowMs);
    else RemoveAlert("Printer Offline");
    return ok();
  }
  if (cmd == "pause") {
    if (!ParseOnOff(Word(rest), b)) return err("pause on|off");
    paused_ = b;
    Tick(nowMs);
    return ok();
  }
  if (cmd == "powersave") {
    if (!ParseOnOff(Word(rest), b)) return err("powersave on|off");
    powerSave_ = b;
    return ok();
  }
  if (cmd == "state") {
    std::string w = Word(rest);
    if (w != "auto" && w != "idle" && w != "printing" && w != "warmup" && w != "down")
      return err("state auto|idle|printing|warmup|down");
    forced_ = w;
    return ok();
  }
  if (cmd == "hrdevice" || cmd == "hrprinter") {
    std::string w = Word(rest);
    int& v = cmd == "hrdevice" ? hrDeviceOverride_ : hrPrinterOverride_;
    if (w == "auto") v = 0;
    else if (ParseInt(w, n) && n > 0 && n < 100) v = static_cast<int>(n);
    else return err(cmd + " N|auto");
    return ok();
  }
  if (cmd == "errorstate") {
    std::string w = Word(rest);
    if (w == "auto") {
      errorStateFixed_ = false;
      return ok();
    }
    Bytes v;
    if (!ParseHex(w, v) || v.empty()) return err("errorstate HEX|auto");
    errorState_ = v;
    errorStateFixed_ = true;
    return ok();
  }
  if (cmd == "alert") {
    std::string sub = Word(rest);
    if (sub == "add" && !rest.empty()) {
      AddAlert(Unescape(rest), 0, nowMs);
      return ok();
    }
    if (sub == "again" && !rest.empty()) {  // a second row with the same text
      AddAlert(Unescape(rest), 0, nowMs, true);
      return ok();
    }
    if (sub == "add-severity") {
      if (!ParseInt(Word(rest), n) || n < 1 || n > 5 || rest.empty()) return err("alert add-severity N TEXT");
      AddAlert(Unescape(rest), static_cast<int>(n), nowMs);
      return ok();
    }
    if (sub == "del" && !rest.empty()) {
      Bytes t = Unescape(rest);
      if (!RemoveAlert(t)) return err("no such alert");
      if (t == "Printer Offline") offline_ = false;
      return ok();
    }
    if (sub == "clear") {
      alerts_.clear();
      offline_ = false;
      return ok();
    }
    return err("alert add|again|add-severity|del|clear");
  }
  if (cmd == "alerts") {
    for (const Alert& a : alerts_)
      o << "alert index=" << a.index << " severity=" << a.severity << " text=" << Quote(a.text) << "\n";
    return ok();
  }
  if (cmd == "model") {
    if (rest.empty()) return err("model TEXT|default");
    descr_ = rest == "default" ? Bytes(opt_.descr) : Unescape(rest);
    return ok();
  }
  if (cmd == "community") {
    if (rest.empty()) return err("community TEXT");
    opt_.community = Unescape(rest);
    return ok();
  }
  if (cmd == "bins") {
    if (!ParseInt(Word(rest), n) || n < 0 || n > 16) return err("bins N (0..16)");
    while (bins_.size() > static_cast<size_t>(n)) bins_.pop_back();
    while (bins_.size() < static_cast<size_t>(n)) {
      InputBin bin;
      bin.name = "HOPPER" + std::to_string(bins_.size() + 1);
      bin.media = "A4";
      bin.desc = "A4TYPE";
      bins_.push_back(bin);
    }
    return ok();
  }
  if (cmd == "bin") {
    if (!ParseInt(Word(rest), n) || n < 1 || static_cast<size_t>(n) > bins_.size()) return err("no such bin");
    InputBin& bin = bins_[n - 1];
    std::string field = Word(rest);
    int64_t a = 0, c = 0;
    if (field == "name") bin.name = Unescape(rest);
    else if (field == "media") bin.media = Unescape(rest);
    else if (field == "desc") bin.desc = Unescape(rest);
    else if (field == "level" && ParseInt(Word(rest), a)) bin.level = static_cast<int>(a);
    else if (field == "max" && ParseInt(Word(rest), a)) bin.maxCapacity = static_cast<int>(a);
    else if (field == "dims" && ParseInt(Word(rest), a) && ParseInt(Word(rest), c)) {
      bin.dimFeed = static_cast<int>(a);
      bin.dimXFeed = static_cast<int>(c);
    } else
      return err("bin I name|media|desc TEXT | level N | max N | dims FEED XFEED");
    return ok();
  }
  if (cmd == "outputs") {
    outputs_.clear();
    for (const Bytes& s : SplitBars(rest)) outputs_.push_back({s, 250, -3});
    return ok();
  }
  if (cmd == "stacker") {
    if (!ParseOnOff(Word(rest), b)) return err("stacker on|off");
    auto it = std::find_if(outputs_.begin(), outputs_.end(), [](const OutputBin& x) { return x.name == "STACKER TRAY"; });
    if (b && it == outputs_.end()) outputs_.push_back({"STACKER TRAY", 1000, -3});
    if (!b && it != outputs_.end()) outputs_.erase(it);
    return ok();
  }
  if (cmd == "interpreters") {
    interpreters_.clear();
    for (const Bytes& s : SplitBars(rest)) interpreters_.push_back({s, 1, "", "1.0"});
    return ok();
  }
  if (cmd == "display") {
    std::string w = Word(rest);
    if (w != "1" && w != "2") return err("display 1|2 TEXT|auto");
    int r = w == "1" ? 0 : 1;
    if (rest == "auto") {
      displayFixed_[r] = false;
    } else {
      displayFixed_[r] = true;
      display_[r] = Unescape(rest);
    }
    return ok();
  }
  if (cmd == "abort" || cmd == "cancel") {
    Job* j = nullptr;
    std::string w = Word(rest);
    if (w.empty()) j = CurrentJob();
    else if (ParseInt(w, n)) j = FindJob(static_cast<uint32_t>(n));
    if (!j) return err("no such job");
    if (j->state == kJobCompleted || j->state == kJobTerminating) return err("job already finished");
    CancelJob(*j, cmd == "abort" ? kReasonAborted : kReasonCanceledByUser, nowMs);
    o << "job " << j->number << "\n";
    return ok();
  }
  if (cmd == "pages" || cmd == "pace" || cmd == "pending" || cmd == "keep") {
    if (!ParseInt(Word(rest), n) || n < 0) return err(cmd + " N");
    if (cmd == "pages") opt_.pages = static_cast<uint32_t>(n);
    if (cmd == "pace") opt_.pageMs = n;
    if (cmd == "pending") opt_.pendingMs = n;
    if (cmd == "keep") opt_.keepMs = n;
    return ok();
  }
  if (cmd == "job") return JobCommand(rest, nowMs);
  if (cmd == "map-new") {
    if (rest == "none") newMapMode_ = Job::kMapNone;
    else if (rest == "auto") newMapMode_ = Job::kMapAuto;
    else if (!rest.empty()) newMapMode_ = Job::kMapText, newMapJcid_ = Unescape(rest);
    else return err("map-new none|auto|TEXT");
    return ok();
  }
  if (cmd == "fwid-arcs") {
    if (!ParseInt(Word(rest), n) || n < 1 || n > 8) return err("fwid-arcs N (1..8)");
    fwidArcs_ = static_cast<uint32_t>(n);
    return ok();
  }
  if (cmd == "hide" || cmd == "unhide") {
    std::string w = Word(rest);
    Oid prefix;
    if (cmd == "unhide" && w == "all") {
      hidden_.clear();
      return ok();
    }
    if (!OidFromText(w, prefix) || prefix.empty()) return err(cmd + " OID");
    hidden_.erase(std::remove(hidden_.begin(), hidden_.end(), prefix), hidden_.end());
    if (cmd == "hide") hidden_.push_back(prefix);
    return ok();
  }
  if (cmd == "jobs") {
    for (const auto& jp : table_) {
      const Job& j = *jp;
      o << "job " << j.number << " fwid=" << OidToText(j.fwid) << " seq=" << j.seq << " jcid=" << Quote(j.jcid)
        << " name=" << Quote(j.name) << " state=" << j.state << " reason=0x" << std::hex << j.reason << std::dec
        << " pages=" << j.pages << " bytes=" << j.bytes << " open=" << (j.open ? 1 : 0)
        << " done=" << (j.state == kJobCompleted ? j.stateMs : -1) << "\n";
    }
    return ok();
  }
  if (cmd == "clock") {
    o << "clock " << nowMs << "\n";
    return ok();
  }
  if (cmd == "received") {
    if (Word(rest) == "clear") {
      received_.clear();
      return ok();
    }
    for (const auto& jp : received_) {
      const Job& j = *jp;
      o << "recv " << j.seq << " job=" << j.number << " jcid=" << Quote(j.jcid) << " name=" << Quote(j.name)
        << " language=" << Quote(j.language) << " bytes=" << j.bytes << " formfeeds=" << j.formFeeds
        << " pages=" << j.pages << " state=" << j.state << " reason=0x" << std::hex << j.reason << std::dec
        << " end=" << j.end << "\n";
    }
    return ok();
  }
  if (cmd == "data") {
    if (!ParseInt(Word(rest), n)) return err("data SEQ");
    for (const auto& jp : received_)
      if (jp->seq == n) {
        for (size_t i = 0; i < jp->data.size(); i += 32) o << Hex(jp->data.substr(i, 32)) << "\n";
        return ok();
      }
    return err("no such job");
  }
  if (cmd == "walk") {
    for (const auto& kv : BuildMib(nowMs)) {
      const Value& v = kv.second.value;
      o << OidToText(kv.first) << " ";
      if (v.tag == kOctetString) o << Quote(v.str);
      else if (v.tag == kObjectId) o << OidToText(v.oid);
      else o << v.num;
      o << "\n";
    }
    return ok();
  }
  if (cmd == "snmp") {
    std::string w = Word(rest);
    if (w == "delay") {
      if (!ParseInt(Word(rest), n) || n < 0 || n > 60000) return err("snmp delay MS");
      snmpDelayMs_ = n;
      return ok();
    }
    if (w == "hostile") {
      // Every answer that names an object under OID (all when none) is
      // spoilt at random, seeded: see Hostile().
      std::string seed = Word(rest);
      if (!seed.empty() && (!ParseInt(seed, n) || n < 0)) return err("snmp hostile [SEED [OID]]");
      Oid prefix;
      std::string p = Word(rest);
      if (!p.empty() && !OidFromText(p, prefix)) return err("bad OID");
      hostileRng_.seed(seed.empty() ? 1u : static_cast<uint32_t>(n));
      faultMode_ = w;
      faultPrefix_ = prefix;
      return ok();
    }
    if (w != "normal" && w != "drop" && w != "generr")
      return err("snmp normal|drop|generr|hostile [OID] | snmp delay MS");
    Oid prefix;
    std::string p = Word(rest);
    if (!p.empty() && !OidFromText(p, prefix)) return err("bad OID");
    faultMode_ = w;
    faultPrefix_ = prefix;
    return ok();
  }
  if (cmd == "requests") {
    if (Word(rest) == "clear") {
      requests_.clear();
      return ok();
    }
    for (const auto& r : requests_) o << r.ms << " " << r.text << "\n";
    return ok();
  }
  if (cmd == "stats") {
    o << "requests " << statRequests_ << "\nbad-community " << statBadCommunity_ << "\ndropped " << statDropped_
      << "\nsets " << statSets_ << "\n";
    return ok();
  }
  return err("unknown command " + cmd);
}

// `job N FIELD VALUE`: edits a row of the job table. An edited row is
// frozen: the printer no longer moves it on (a state 17 row whose data
// still arrive stays so) and a frozen processing row holds the printer.
// `job N auto` lets the printer move it on again.
std::string Printer::JobCommand(std::string rest, int64_t nowMs) {
  int64_t n = 0, v = 0;
  if (!ParseInt(Word(rest), n)) return "ERR job N state V|reason V|pages V|map none|auto|TEXT|auto\n";
  Job* j = FindJob(static_cast<uint32_t>(n));
  if (!j) return "ERR no such job\n";
  std::string field = Word(rest);
  if (field == "auto") {
    j->frozen = false;
    j->stateMs = j->lastPageMs = nowMs;
    return "OK\n";
  }
  if (field == "map") {
    if (rest == "none") j->mapMode = Job::kMapNone;
    else if (rest == "auto") j->mapMode = Job::kMapAuto;
    else if (!rest.empty()) j->mapMode = Job::kMapText, j->mapJcid = Unescape(rest);
    else return "ERR job N map none|auto|TEXT\n";
    return "OK\n";
  }
  if (!ParseInt(Word(rest), v) || v < 0 || v > 0xFFFFFFFFll) return "ERR job N state|reason|pages V\n";
  if (field == "state") j->state = static_cast<int>(v);
  else if (field == "reason") j->reason = static_cast<uint32_t>(v);
  else if (field == "pages") j->pages = static_cast<uint32_t>(v);
  else return "ERR job N state V|reason V|pages V|map none|auto|TEXT|auto\n";
  j->frozen = true;
  j->stateMs = nowMs;
  return "OK\n";
}

}  // namespace psim
