// printer-sim: a simulated printer for the bench and the demo. One process is
// one printer on one loopback address: an SNMP v1 agent, the raw job port and
// a line-oriented control port. See README.md for the command line and the
// control protocol.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "printer.h"

using namespace psim;

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool g_verbose = false;
void Log(const std::string& s) {
  if (g_verbose) fprintf(stderr, "printer-sim: %s\n", s.c_str());
}

void Usage() {
  fputs(
      "usage: printer-sim [options]            run a simulated printer\n"
      "       printer-sim --ctl ADDR[:PORT] [COMMAND...]   send control commands\n"
      "options:\n"
      "  --addr A            address to serve on (default 127.0.0.1); repeatable, one printer each\n"
      "  --count N           N printers from the last address on (127.0.7.1, .2, ...), one process\n"
      "  --snmp-port N       SNMP agent UDP port (default 161)\n"
      "  --job-port N        raw job TCP port (default 9100)\n"
      "  --ctl-port N        control TCP port (default 9190)\n"
      "  --community S       community (default ravine)\n"
      "  --descr S           sysDescr (default \"VEK Tessaroline 7700\")\n"
      "  --page-ms N         time per page (default 1000)\n"
      "  --pending-ms N      wait before a job starts (default 500)\n"
      "  --terminate-ms N    time a cancelled job stays terminating (default 1000)\n"
      "  --keep-ms N         finished rows kept for (default 120000)\n"
      "  --max-rows N        job table rows at most (default 32)\n"
      "  --reset-alert-ms N  \"Printer Reset\" shown after power on for (default 30000, 0 = until cleared)\n"
      "  --warmup-ms N       warm-up after power on (default 0)\n"
      "  --pages N           pages per job (default 0 = one per form feed, at least 1)\n"
      "  --first-job N       job index of the first job after power on (default 1)\n"
      "  --data-limit N      bytes of each job kept for the data query (default 1048576)\n"
      "  --spool-dir DIR     also write each job's bytes to DIR/job-SEQ.prn\n"
      "  --init CMD          control command run at start (repeatable), e.g. --init 'alert add Low Toner'\n"
      "  --lifetime S        exit after S seconds (safety net for tests; default 0 = never)\n"
      "  --daemon            detach once the ports are open; prints the pid\n"
      "  --pidfile FILE      write the pid there\n"
      "  -v                  log requests and connections to stderr\n",
      stderr);
}

bool ParsePort(const char* s, int& port) {
  char* end = nullptr;
  long v = strtol(s, &end, 10);
  if (*end || v < 0 || v > 65535) return false;
  port = static_cast<int>(v);
  return true;
}

bool MakeAddr(const std::string& addr, int port, sockaddr_in& sa) {
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) == 1;
}

int Listen(const sockaddr_in& sa) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0 || listen(fd, 16) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Closes a job connection so that the sender sees a reset, as when the
// printer loses power.
void Reset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

int RunClient(const std::string& target, const std::vector<std::string>& cmds) {
  std::string host = target;
  int port = 9190;
  size_t colon = target.rfind(':');
  if (colon != std::string::npos) {
    host = target.substr(0, colon);
    if (!ParsePort(target.c_str() + colon + 1, port)) {
      fprintf(stderr, "printer-sim: bad port in %s\n", target.c_str());
      return 2;
    }
  }
  sockaddr_in sa;
  if (!MakeAddr(host, port, sa)) {
    fprintf(stderr, "printer-sim: bad address %s\n", host.c_str());
    return 2;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
    fprintf(stderr, "printer-sim: cannot connect to %s:%d: %s\n", host.c_str(), port, strerror(errno));
    return 2;
  }
  std::vector<std::string> lines = cmds;
  if (lines.empty()) {
    std::string l;
    while (std::getline(std::cin, l)) lines.push_back(l);
  }
  int rc = 0;
  std::string buf;
  for (const std::string& l : lines) {
    std::string out = l + "\n";
    if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return 2;
    // Read until the final OK or ERR line of this command.
    while (true) {
      size_t nl;
      bool done = false;
      while ((nl = buf.find('\n')) != std::string::npos) {
        std::string line = buf.substr(0, nl);
        buf.erase(0, nl + 1);
        if (line == "OK") {
          done = true;
          break;
        }
        if (line.compare(0, 4, "ERR ") == 0 || line == "ERR") {
          fprintf(stderr, "%s\n", line.c_str());
          rc = 1;
          done = true;
          break;
        }
        printf("%s\n", line.c_str());
      }
      if (done) break;
      char tmp[4096];
      ssize_t n = recv(fd, tmp, sizeof tmp, 0);
      if (n <= 0) {
        fprintf(stderr, "printer-sim: control connection lost\n");
        return 2;
      }
      buf.append(tmp, n);
    }
  }
  close(fd);
  fflush(stdout);
  return rc;
}

struct Delayed {
  int64_t due;
  sockaddr_in to;
  std::string data;
};

// One printer of the process: its address, sockets and connections.
struct Station {
  std::string addr;
  sockaddr_in snmpSa{}, jobSa{};
  int udp = -1, ctlListen = -1, jobListen = -1;
  std::unique_ptr<Printer> printer;
  std::map<int, int> jobConns;           // fd -> printer connection handle
  std::map<int, std::string> ctlConns;   // fd -> pending input
  std::deque<Delayed> delayed;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  std::vector<std::string> addrs;
  int64_t count = 1;
  int snmpPort = 161, jobPort = 9100, ctlPort = 9190;
  std::vector<std::string> init;
  int64_t lifetime = 0;
  bool daemonize = false;
  std::string pidfile;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "printer-sim: %s needs a value\n", a.c_str());
        exit(2);
      }
      return argv[++i];
    };
    auto num = [&]() -> int64_t {
      const char* s = next();
      char* end = nullptr;
      long long v = strtoll(s, &end, 10);
      if (*end || v < 0) {
        fprintf(stderr, "printer-sim: bad number for %s: %s\n", a.c_str(), s);
        exit(2);
      }
      return v;
    };
    if (a == "--ctl") {
      std::string target = next();
      // The remaining words form one command; without any, commands are read
      // from stdin, one a line.
      std::string joined;
      for (++i; i < argc; ++i) joined += (joined.empty() ? "" : " ") + std::string(argv[i]);
      std::vector<std::string> cmds;
      if (!joined.empty()) cmds.push_back(joined);
      return RunClient(target, cmds);
    }
    if (a == "--addr") addrs.push_back(next());
    else if (a == "--count") count = num();
    else if (a == "--snmp-port") { if (!ParsePort(next(), snmpPort)) return Usage(), 2; }
    else if (a == "--job-port") { if (!ParsePort(next(), jobPort)) return Usage(), 2; }
    else if (a == "--ctl-port") { if (!ParsePort(next(), ctlPort)) return Usage(), 2; }
    else if (a == "--community") opt.community = next();
    else if (a == "--descr") opt.descr = next();
    else if (a == "--page-ms") opt.pageMs = num();
    else if (a == "--pending-ms") opt.pendingMs = num();
    else if (a == "--terminate-ms") opt.terminateMs = num();
    else if (a == "--keep-ms") opt.keepMs = num();
    else if (a == "--max-rows") opt.maxRows = static_cast<size_t>(num());
    else if (a == "--reset-alert-ms") opt.resetAlertMs = num();
    else if (a == "--warmup-ms") opt.warmupMs = num();
    else if (a == "--pages") opt.pages = static_cast<uint32_t>(num());
    else if (a == "--first-job") opt.firstJob = static_cast<uint32_t>(num());
    else if (a == "--data-limit") opt.dataLimit = static_cast<size_t>(num());
    else if (a == "--spool-dir") opt.spoolDir = next();
    else if (a == "--init") init.push_back(next());
    else if (a == "--lifetime") lifetime = num();
    else if (a == "--daemon") daemonize = true;
    else if (a == "--pidfile") pidfile = next();
    else if (a == "-v") g_verbose = true;
    else if (a == "-h" || a == "--help") return Usage(), 0;
    else {
      fprintf(stderr, "printer-sim: unknown option %s\n", a.c_str());
      Usage();
      return 2;
    }
  }
  if (opt.firstJob == 0) opt.firstJob = 1;
  if (addrs.empty()) addrs.push_back("127.0.0.1");
  if (count < 1 || count > 4096) {
    fprintf(stderr, "printer-sim: --count must be 1 to 4096\n");
    return 2;
  }
  // --count N: N printers from the last address on, one address each.
  for (int64_t k = 1; k < count; ++k) {
    in_addr base;
    if (inet_pton(AF_INET, addrs.back().c_str(), &base) != 1) break;
    base.s_addr = htonl(ntohl(base.s_addr) + 1);
    char t[INET_ADDRSTRLEN];
    addrs.push_back(inet_ntop(AF_INET, &base, t, sizeof t));
  }

  std::vector<Station> stations(addrs.size());
  for (size_t k = 0; k < addrs.size(); ++k) {
    Station& st = stations[k];
    st.addr = addrs[k];
    sockaddr_in ctlSa;
    if (!MakeAddr(st.addr, snmpPort, st.snmpSa) || !MakeAddr(st.addr, jobPort, st.jobSa) ||
        !MakeAddr(st.addr, ctlPort, ctlSa)) {
      fprintf(stderr, "printer-sim: bad address %s\n", st.addr.c_str());
      return 2;
    }
    st.udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (st.udp < 0 || bind(st.udp, reinterpret_cast<sockaddr*>(&st.snmpSa), sizeof st.snmpSa) < 0) {
      fprintf(stderr, "printer-sim: cannot bind UDP %s:%d: %s\n", st.addr.c_str(), snmpPort, strerror(errno));
      return 1;
    }
    st.ctlListen = Listen(ctlSa);
    if (st.ctlListen < 0) {
      fprintf(stderr, "printer-sim: cannot listen on %s:%d: %s\n", st.addr.c_str(), ctlPort, strerror(errno));
      return 1;
    }
    st.jobListen = Listen(st.jobSa);
    if (st.jobListen < 0) {
      fprintf(stderr, "printer-sim: cannot listen on %s:%d: %s\n", st.addr.c_str(), jobPort, strerror(errno));
      return 1;
    }
    st.printer.reset(new Printer(opt, NowMs()));
    for (const std::string& c : init) {
      std::string r = st.printer->Control(c, NowMs());
      if (r.compare(0, 4, "ERR ") == 0) {
        fprintf(stderr, "printer-sim: --init %s: %s", c.c_str(), r.c_str());
        return 2;
      }
    }
    if (!st.printer->Powered()) {
      close(st.jobListen);
      st.jobListen = -1;
    }
  }

  if (daemonize) {
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid > 0) {
      if (!pidfile.empty()) {
        FILE* f = fopen(pidfile.c_str(), "w");
        if (f) fprintf(f, "%d\n", pid), fclose(f);
      }
      printf("%d\n", pid);
      return 0;
    }
    setsid();
    int dn = open("/dev/null", O_RDWR);
    if (dn >= 0) {
      dup2(dn, 0);
      dup2(dn, 1);
      if (!g_verbose) dup2(dn, 2);
      close(dn);
    }
  } else if (!pidfile.empty()) {
    FILE* f = fopen(pidfile.c_str(), "w");
    if (f) fprintf(f, "%d\n", getpid()), fclose(f);
  }
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  if (!daemonize) {
    if (stations.size() == 1)
      printf("printer-sim ready on %s snmp %d job %d control %d\n", stations[0].addr.c_str(), snmpPort, jobPort,
             ctlPort);
    else
      printf("printer-sim ready on %s to %s (%zu printers) snmp %d job %d control %d\n", stations[0].addr.c_str(),
             stations.back().addr.c_str(), stations.size(), snmpPort, jobPort, ctlPort);
    fflush(stdout);
  }

  const int64_t start = NowMs();
  std::vector<char> buf(65536);
  bool quit = false;
  // What each polled descriptor is: its station and its role.
  enum Role { kUdp, kCtlListen, kJobListen, kJob, kCtl };
  struct Slot {
    Station* st;
    Role role;
  };
  std::vector<pollfd> fds;
  std::vector<Slot> slots;

  while (!g_stop && !quit) {
    int64_t now = NowMs();
    if (lifetime && now - start >= lifetime * 1000) break;
    fds.clear();
    slots.clear();
    for (Station& st : stations) {
      Printer& printer = *st.printer;
      printer.Tick(now);
      // The job port follows the power state: refused while the printer is off.
      if (printer.TakeDropConnections()) {
        for (auto& kv : st.jobConns) Reset(kv.first);
        st.jobConns.clear();
      }
      if (!printer.Powered() && st.jobListen >= 0) {
        close(st.jobListen);
        st.jobListen = -1;
      } else if (printer.Powered() && st.jobListen < 0) {
        st.jobListen = Listen(st.jobSa);
      }
      while (!st.delayed.empty() && st.delayed.front().due <= now) {
        const Delayed& d = st.delayed.front();
        sendto(st.udp, d.data.data(), d.data.size(), 0, reinterpret_cast<const sockaddr*>(&d.to), sizeof d.to);
        st.delayed.pop_front();
      }
      fds.push_back({st.udp, POLLIN, 0});
      slots.push_back({&st, kUdp});
      fds.push_back({st.ctlListen, POLLIN, 0});
      slots.push_back({&st, kCtlListen});
      if (st.jobListen >= 0) {
        fds.push_back({st.jobListen, POLLIN, 0});
        slots.push_back({&st, kJobListen});
      }
      for (auto& kv : st.jobConns) {
        fds.push_back({kv.first, POLLIN, 0});
        slots.push_back({&st, kJob});
      }
      for (auto& kv : st.ctlConns) {
        fds.push_back({kv.first, POLLIN, 0});
        slots.push_back({&st, kCtl});
      }
    }
    int r = poll(fds.data(), fds.size(), 20);
    if (r < 0) {
      if (errno == EINTR) continue;
      perror("poll");
      break;
    }
    now = NowMs();
    for (size_t k = 0; k < fds.size(); ++k) {
      const pollfd& p = fds[k];
      if (!p.revents) continue;
      Station& st = *slots[k].st;
      Printer& printer = *st.printer;
      switch (slots[k].role) {
        case kUdp:
          for (int n = 0; n < 64; ++n) {
            sockaddr_in from;
            socklen_t fl = sizeof from;
            ssize_t got = recvfrom(st.udp, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (got < 0) break;
            Message req, resp;
            if (!DecodeMessage(std::string(buf.data(), got), req)) {
              Log("undecodable datagram dropped");
              continue;
            }
            if (!printer.HandleSnmp(req, resp, now)) continue;
            std::string out = EncodeMessage(resp);
            if (g_verbose)
              Log(st.addr + " snmp " + std::to_string(req.pdu.type) + " " +
                  (req.pdu.binds.empty() ? std::string() : OidToText(req.pdu.binds[0].name)) + " status " +
                  std::to_string(resp.pdu.errorStatus));
            if (printer.SnmpDelayMs() > 0)
              st.delayed.push_back({now + printer.SnmpDelayMs(), from, out});
            else
              sendto(st.udp, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
          }
          break;
        case kCtlListen: {
          int fd = accept4(st.ctlListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (fd >= 0) {
            // A client that stops reading must not stall the printer for long.
            timeval tv{2, 0};
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            st.ctlConns[fd];
          }
          break;
        }
        case kJobListen: {
          int fd = accept4(st.jobListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
          if (fd >= 0) {
            st.jobConns[fd] = printer.JobOpen(now);
            Log(st.addr + " job connection");
          }
          break;
        }
        case kJob: {
          auto it = st.jobConns.find(p.fd);
          if (it == st.jobConns.end()) break;  // reset by a power off in this round
          ssize_t n = recv(p.fd, buf.data(), buf.size(), 0);
          if (n > 0) {
            printer.JobData(it->second, buf.data(), static_cast<size_t>(n), now);
          } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            printer.JobClose(it->second, n < 0, now);
            close(p.fd);
            st.jobConns.erase(it);
            Log(st.addr + " job connection closed");
          }
          break;
        }
        case kCtl: {
          auto it = st.ctlConns.find(p.fd);
          if (it == st.ctlConns.end()) break;
          std::string& in = it->second;
          ssize_t n = recv(p.fd, buf.data(), buf.size(), 0);
          if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            close(p.fd);
            st.ctlConns.erase(it);
            break;
          }
          if (n > 0) in.append(buf.data(), n);
          size_t nl;
          while ((nl = in.find('\n')) != std::string::npos) {
            std::string line = in.substr(0, nl);
            in.erase(0, nl + 1);
            std::string reply = printer.Control(line, NowMs());
            Log(st.addr + " control: " + line);
            // Replies are small; a blocking send keeps them whole.
            int fl = fcntl(p.fd, F_GETFL);
            fcntl(p.fd, F_SETFL, fl & ~O_NONBLOCK);
            send(p.fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            fcntl(p.fd, F_SETFL, fl);
          }
          if (in.size() > 65536) {
            close(p.fd);
            st.ctlConns.erase(p.fd);
          }
          break;
        }
      }
      if (printer.QuitRequested()) quit = true;
    }
  }

  for (Station& st : stations) {
    for (auto& kv : st.jobConns) close(kv.first);
    for (auto& kv : st.ctlConns) close(kv.first);
    if (st.jobListen >= 0) close(st.jobListen);
    close(st.ctlListen);
    close(st.udp);
  }
  if (!pidfile.empty()) unlink(pidfile.c_str());
  return 0;
}
