// Head of line: do sites wait for each other? 48 BACnet/IP sites scan 20 points each while a
// probe site is asked POINTGETVALUE four times a second (APDU time-out 3 s everywhere). Measured
// side by side in one run: the baseline; then a dead site given a command every 5 s plus a site
// whose device answers after 1 s, both scanning 20 points; then a PTP modem dial on a
// pseudo-terminal that never answers, started while the dead site's command waits. Targets: the
// healthy sites' scan >= 0.95 of the baseline, the probe's latency p50 <= 1.2 x the baseline.
// Usage: bench_head_of_line [seconds per phase, default 15]
#include <cstdio>
#include <thread>

#include "bench/load_harness.h"
#include "tests/common/pty.h"

using namespace zb::bench;

namespace {

constexpr int kHealthy = 48;
constexpr int kPoints = 20;
constexpr int kHealthyPort = 48100;  // 48 scanned devices, then the probe's
constexpr int kDeadPort = 48300;
constexpr int kSlowPort = 48310;
constexpr int kDialPort = 5;

struct Phase {
  double reads_per_s = 0;
  std::vector<double> latency_ms;
  int dead_commands = 0;
};

const std::string kProbePoint =
    "POINT={x}{" + DeviceAddress(kHealthyPort + kHealthy) + "-AVAL#1}{}{}";

// One probe command: Execute, then COMMANDSTATUS as fast as a tight host polls.
double ProbeOnce(Host& host, int probe) {
  auto t0 = Clock::now();
  host.client.CallTexts(probe, "Execute", {"COMMAND=POINTGETVALUE", kProbePoint});
  Texts t = host.Poll(probe, 20000, 0);
  return t.empty() || t[0] != "COMMANDSTATUS=TRUE" ? -1 : Seconds(Clock::now() - t0) * 1000;
}

// Runs one phase for `seconds`: probe commands every 250 ms, the dead site's command every 5 s
// when `dead` > 0; `during` runs once at the start (on its own thread) and the scan is measured
// over its span when `span_only`.
Phase RunPhase(Host& host, Devices& healthy, int probe, int dead, int seconds,
               const std::function<void()>& during = nullptr) {
  Phase p;
  long probes_ok = 0;
  bool dead_running = false;
  auto next_dead = Clock::now();
  const long r0 = healthy.Reads();
  auto t0 = Clock::now();
  std::thread side;
  std::atomic<bool> side_done{false};
  long side_reads = -1;
  double side_span = 0;
  if (dead > 0) {
    host.client.CallTexts(
        dead, "Execute",
        {"COMMAND=POINTGETVALUE", "POINT={x}{" + DeviceAddress(kDeadPort) + "-AVAL#1}{}{}"});
    dead_running = true;
    ++p.dead_commands;
    next_dead = Clock::now() + std::chrono::seconds(5);
  }
  if (during) {
    SleepMs(200);  // the dead site's command is waiting now
    side = std::thread([&] {
      during();
      side_done = true;
    });
  }
  const auto end = t0 + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    double ms = ProbeOnce(host, probe);
    if (ms >= 0) {
      p.latency_ms.push_back(ms);
      ++probes_ok;
    }
    if (side_reads < 0 && during && side_done) {
      side_reads = healthy.Reads() - r0 - probes_ok;
      side_span = Seconds(Clock::now() - t0);
    }
    if (dead > 0) {
      if (dead_running && Host::Finished(host.Status(dead))) dead_running = false;
      if (!dead_running && Clock::now() >= next_dead) {
        host.client.CallTexts(
            dead, "Execute",
            {"COMMAND=POINTGETVALUE", "POINT={x}{" + DeviceAddress(kDeadPort) + "-AVAL#1}{}{}"});
        dead_running = true;
        ++p.dead_commands;
        next_dead = Clock::now() + std::chrono::seconds(5);
      }
    }
    SleepMs(250);
  }
  if (side.joinable()) side.join();
  const double elapsed = Seconds(Clock::now() - t0);
  const long reads = healthy.Reads() - r0 - probes_ok;
  if (during && side_reads >= 0 && side_span > 0)
    p.reads_per_s = double(side_reads) / side_span;
  else
    p.reads_per_s = double(reads) / elapsed;
  if (dead > 0) host.Poll(dead, 15000);
  return p;
}

void Report(const char* name, const Phase& p, const Phase& base) {
  const double p50 = Percentile(p.latency_ms, 50), p90 = Percentile(p.latency_ms, 90);
  const double b50 = Percentile(base.latency_ms, 50);
  std::printf(
      "  %-28s scan %6.1f reads/s = %.3f of baseline; probe p50 %.1f ms (x%.2f), p90 %.1f ms, "
      "n=%zu\n",
      name, p.reads_per_s, base.reads_per_s > 0 ? p.reads_per_s / base.reads_per_s : 0, p50,
      b50 > 0 ? p50 / b50 : 0, p90, p.latency_ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 15;
  if (!EnterNamespaceOrSay()) return 0;
  zb::test::PtyPair pty;  // a modem that never answers; mapped before the server starts
  if (!pty.ok()) return std::puts("no pseudo-terminal"), 1;
  pty.MapToPort(kDialPort);
  Server server;
  Host host;
  if (!server.Start() || !host.Connect(server.socket())) return std::puts("no server"), 1;
  Devices healthy, dead, slow;
  if (!healthy.Start(kHealthyPort, kHealthy + 1) || !dead.Start(kDeadPort, 1, -1) ||
      !slow.Start(kSlowPort, 1, 1000))
    return std::puts("no peer"), 1;
  std::printf("head of line (%d s per phase), load %s\n", seconds, LoadAverage().c_str());
  std::vector<int> sites = host.Sessions("Site", kHealthy, 47000, 3000);
  int probe = host.Session("Probe", 47100, 3000);
  int dead_site = host.Session("Dead", 47101, 3000);
  int slow_site = host.Session("Slow", 47102, 3000);
  if (int(sites.size()) != kHealthy || probe < 0 || dead_site < 0 || slow_site < 0)
    return std::puts("sessions failed"), 1;
  // A pass of 20 points takes 62 ticks (one read per two ticks, then the 2 s pause). Lists
  // installed 6.2 s / 48 apart spread the sites' pauses over the pass, so the scan rate is the
  // same in any window; started together, a window's count depended on how many common pauses
  // it caught (the dial phase measures over the dial's 5 s alone).
  for (int i = 0; i < kHealthy; ++i) {
    host.Points(sites[size_t(i)], DeviceAddress(kHealthyPort + i), kPoints);
    SleepMs(6200 / kHealthy);
  }
  SleepMs(8000);  // every scan past its first pass

  Phase base = RunPhase(host, healthy, probe, 0, seconds);
  host.Points(dead_site, DeviceAddress(kDeadPort), kPoints);
  host.Points(slow_site, DeviceAddress(kSlowPort), kPoints);
  Phase trouble = RunPhase(host, healthy, probe, dead_site, seconds);
  double dial_s = 0;
  bool dial_ok = true;
  Phase dial = RunPhase(host, healthy, probe, dead_site, seconds, [&] {
    Host second;
    if (!second.Connect(server.socket())) return;
    int o = second.client.Create();
    second.client.CallBool(o, "Configure", {"VERSIONCHECK=1.7"});
    auto t0 = Clock::now();
    dial_ok = second.client.CallBool(
        o, "Connect",
        {"DESCRIPTION=Dial", "PANELTYPE=1", "COMPORT=" + std::to_string(kDialPort), "BAUDRATE=9600",
         "CONNECTIONTYPE=MODEM", "PHONENUMBER=5551234"});
    Texts t = second.Poll(o, 120000);
    dial_s = Seconds(Clock::now() - t0);
    dial_ok = !t.empty() && t[0] == "COMMANDSTATUS=FALSE";
  });

  // The baseline again at the end, the troubled sessions idle: both runs count.
  host.Points(dead_site, DeviceAddress(kDeadPort), 0);
  host.Points(slow_site, DeviceAddress(kSlowPort), 0);
  Phase after = RunPhase(host, healthy, probe, 0, seconds);
  std::printf("  baseline at the end: scan %.1f reads/s, probe p50 %.1f ms\n", after.reads_per_s,
              Percentile(after.latency_ms, 50));
  base.reads_per_s = (base.reads_per_s + after.reads_per_s) / 2;
  base.latency_ms.insert(base.latency_ms.end(), after.latency_ms.begin(), after.latency_ms.end());
  std::printf("  baseline: scan %.1f reads/s, probe p50 %.1f ms, p90 %.1f ms\n", base.reads_per_s,
              Percentile(base.latency_ms, 50), Percentile(base.latency_ms, 90));
  Report("dead site + 1 s-slow site", trouble, base);
  Report("PTP dial during a wait", dial, base);
  std::printf("  dial lasted %.1f s (%s); dead-site commands %d + %d\n", dial_s,
              dial_ok ? "failed as it should" : "unexpected outcome", trouble.dead_commands,
              dial.dead_commands);
  std::printf("  driver CPU %.1f s in all; load %s\n", server.Cpu(), LoadAverage().c_str());
  return 0;
}
