// State of the simulated printer: its MIB objects, its job table and the
// scenarios that the control channel drives. Independent of sockets; the
// network layer feeds it requests, job data and control lines.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ber.h"

namespace psim {

struct Options {
  std::string community = "ravine";
  std::string descr = "VEK Tessaroline 7700";
  int64_t pageMs = 1000;       // time to print one page
  int64_t pendingMs = 500;     // time a job waits before processing starts
  int64_t terminateMs = 1000;  // time a cancelled job stays terminating once its data ended
  int64_t keepMs = 120000;     // how long finished rows stay in the job table
  size_t maxRows = 32;         // job table rows kept at most (oldest finished go first)
  int64_t resetAlertMs = 30000;  // how long "Printer Reset" stays after power on (0: until cleared)
  int64_t warmupMs = 0;        // warm-up time after power on
  uint32_t pages = 0;          // pages per job; 0 = one per form feed, at least one
  size_t dataLimit = 1 << 20;  // bytes of each job kept for the data query
  uint32_t firstJob = 1;       // printer job index of the first job after power on
  std::string spoolDir;        // when set, each job's bytes are written there
};

struct Alert {
  uint32_t index = 0;
  Bytes text;
  int severity = 3;  // prtAlertSeverityLevel: 3 critical, 4 warning, 5 binary change event
  int training = 3;
  int group = 5;
  int location = 0;
  int code = 1;
  uint32_t time = 0;  // sysUpTime when raised
};

struct InputBin {
  Bytes name, media, desc;
  int level = -3;  // -3: at least one sheet
  int maxCapacity = 500;
  int dimFeed = 297000;   // micrometres, feed direction
  int dimXFeed = 210000;  // micrometres, across the feed direction
};

struct OutputBin {
  Bytes name;
  int maxCapacity = 250;
  int remaining = -3;
};

struct Interpreter {
  Bytes desc;
  int family = 1;
  Bytes level, version;
};

enum JobState {
  kJobCreating = 3,
  kJobPending = 6,
  kJobProcessing = 7,
  kJobPaused = 13,
  kJobTerminating = 14,
  kJobCompleted = 17,
};

enum JobReason : uint32_t {
  kReasonSuccess = 0x10,
  kReasonCanceledByUser = 0x80,
  kReasonCanceledByOperator = 0x100,
  kReasonAborted = 0x200,
};

struct Job {
  uint32_t seq = 0;     // order of arrival since the simulator started
  uint32_t number = 0;  // the printer's job index; 0 until the row exists
  Bytes jcid, name, language;
  bool hasRow = false;
  int state = kJobPending;
  uint32_t reason = 0;
  uint32_t pages = 0;
  uint32_t formFeeds = 0;
  uint32_t pageOverride = 0;
  uint64_t bytes = 0;
  Bytes data;           // the first Options::dataLimit bytes
  bool open = true;     // the connection is still delivering data
  std::string end = "open";  // how the connection ended: closed, reset, poweroff
  int64_t arrivedMs = 0, stateMs = 0, lastPageMs = 0, endedMs = 0;
  int64_t controlValue = 0;
  Oid fwid;             // the job index: a count n and n sub-identifiers
  bool frozen = false;  // edited by `job N ...`: the printer leaves the row alone
  enum MapMode { kMapAuto, kMapNone, kMapText } mapMode = kMapAuto;
  Bytes mapJcid;        // the JCID the mapping row is filed under (kMapText)
};

struct RequestLogEntry {
  int64_t ms;
  std::string text;
};

class Printer {
 public:
  explicit Printer(const Options& opt, int64_t nowMs);

  // SNMP: the answer to one decoded request, or false when the request is
  // to be dropped (wrong community, power off, injected drop).
  bool HandleSnmp(const Message& req, Message& resp, int64_t nowMs);

  // Job port. Returns a connection handle.
  int JobOpen(int64_t nowMs);
  void JobData(int conn, const char* p, size_t n, int64_t nowMs);
  void JobClose(int conn, bool reset, int64_t nowMs);

  // Advances the jobs and timed conditions.
  void Tick(int64_t nowMs);

  // One control line; the reply is complete lines ending in "OK" or "ERR ...".
  std::string Control(const std::string& line, int64_t nowMs);

  bool Powered() const { return powered_; }
  bool QuitRequested() const { return quit_; }
  // Set when power went off: the network layer resets the job connections.
  bool TakeDropConnections() { bool d = dropConns_; dropConns_ = false; return d; }
  int64_t SnmpDelayMs() const { return snmpDelayMs_; }

  // The MIB as it stands now (exposed for tests and the walk command).
  struct Entry {
    Value value;
    bool writable = false;
  };
  std::map<Oid, Entry> BuildMib(int64_t nowMs) const;

  // Helpers shared with the tests.
  static Oid JcidIndex(const Bytes& jcid);
  static bool ParsePjlHeader(const Bytes& head, bool closed, bool& done, size_t& bodyStart,
                             Bytes& jcid, Bytes& name, Bytes& language);

 private:
  struct Conn {
    std::shared_ptr<Job> job;
    Bytes head;
    bool headerDone = false;
  };

  void PowerOn(int64_t nowMs);
  void PowerOff(int64_t nowMs);
  void AddAlert(const Bytes& text, int severity, int64_t nowMs, bool again = false);
  bool RemoveAlert(const Bytes& text);
  bool HasCriticalAlert() const;
  bool HasWarningAlert() const;
  bool Warming(int64_t nowMs) const;
  bool CanPrint(int64_t nowMs) const;
  void DeviceStatus(int64_t nowMs, int& dev, int& prt) const;
  Bytes ErrorState() const;
  Bytes DisplayRow(int row, int64_t nowMs) const;
  uint32_t UpTime(int64_t nowMs) const;
  void CreateRow(Conn& c, int64_t nowMs);
  void BodyData(Job& j, const char* p, size_t n);
  void Finish(Job& j, int state, uint32_t reason, int64_t nowMs);
  void CancelJob(Job& j, uint32_t reason, int64_t nowMs);
  Job* CurrentJob();
  Job* FindJob(uint32_t number);
  Job* FindJobByFwid(const Oid& fwid);
  std::string JobCommand(std::string rest, int64_t nowMs);
  void PruneRows(int64_t nowMs);
  void SaveSpool(const Job& j) const;
  void LogRequest(int64_t nowMs, const std::string& text);
  int SetCheck(const VarBind& b, const std::map<Oid, Entry>& mib) const;
  void SetApply(const VarBind& b, int64_t nowMs);
  std::string Status(int64_t nowMs) const;

  Options opt_;
  bool powered_ = true;
  bool quit_ = false;
  bool dropConns_ = false;
  int64_t powerOnMs_ = 0;
  int64_t resetAlertUntil_ = 0;
  bool offline_ = false;
  bool paused_ = false;
  bool powerSave_ = false;
  std::string forced_ = "auto";  // auto, idle, printing, warmup, down
  int hrDeviceOverride_ = 0, hrPrinterOverride_ = 0;
  bool errorStateFixed_ = false;
  Bytes errorState_;
  Bytes descr_;
  Bytes sysContact_, sysName_, sysLocation_;
  std::vector<Alert> alerts_;
  uint32_t nextAlert_ = 1;
  std::vector<InputBin> bins_;
  std::vector<OutputBin> outputs_;
  std::vector<Interpreter> interpreters_;
  Bytes display_[2];
  bool displayFixed_[2] = {false, false};
  std::vector<std::shared_ptr<Job>> table_;     // rows of the job table, in arrival order
  std::deque<std::shared_ptr<Job>> received_;   // everything received since start
  std::map<int, Conn> conns_;
  int nextConn_ = 1;
  uint32_t nextSeq_ = 1;
  uint32_t nextJob_ = 1;
  // SNMP fault injection.
  uint32_t fwidArcs_ = 1;      // sub-identifiers of the job index of new jobs
  Job::MapMode newMapMode_ = Job::kMapAuto;   // how new jobs file their mapping row
  Bytes newMapJcid_;
  std::vector<Oid> hidden_;    // subtrees left out of the MIB
  std::string faultMode_ = "normal";
  Oid faultPrefix_;
  std::mt19937 hostileRng_{1};
  bool Hostile(const Message& req, Message& resp);
  int64_t snmpDelayMs_ = 0;
  std::deque<RequestLogEntry> requests_;
  uint64_t statRequests_ = 0, statBadCommunity_ = 0, statDropped_ = 0, statSets_ = 0;
};

// Text helpers for the control protocol.
std::string Quote(const Bytes& s);
Bytes Unescape(const std::string& s);

}  // namespace psim
