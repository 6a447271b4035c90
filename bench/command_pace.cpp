// Command pace: POINTGETVALUE back to back through the host connection, on one session and on
// 50 sessions at once, against the bound of one command per ProcessTimer tick (100 ms) per
// session. Target: at least 90 % of the bound.
#include <cstdio>

#include "bench/load_harness.h"

using namespace zb::bench;

namespace {

// Commands completed per second over `seconds`, each session starting its next read as soon as
// a poll finds the last one done.
double Pace(Host& host, const std::vector<int>& objects, int first_device, int seconds,
            long& failed) {
  std::vector<std::string> points;
  for (size_t i = 0; i < objects.size(); ++i)
    points.push_back("POINT={x}{" + DeviceAddress(first_device + int(i % 5)) + "-AVAL#" +
                     std::to_string(i % 50 + 1) + "}{}{}");
  for (size_t i = 0; i < objects.size(); ++i)
    host.client.CallTexts(objects[i], "Execute", {"COMMAND=POINTGETVALUE", points[i]});
  long done = 0;
  auto t0 = Clock::now();
  auto end = t0 + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    for (size_t i = 0; i < objects.size(); ++i) {
      Texts t = host.Status(objects[i]);
      if (!Host::Finished(t)) continue;
      if (t[0] == "COMMANDSTATUS=TRUE")
        ++done;
      else
        ++failed;
      host.client.CallTexts(objects[i], "Execute", {"COMMAND=POINTGETVALUE", points[i]});
    }
    SleepMs(1);  // a host polling every millisecond or so, not flooding
  }
  const double elapsed = Seconds(Clock::now() - t0);
  for (int o : objects) host.Poll(o, 5000);
  return double(done) / elapsed;
}

}  // namespace

int main() {
  if (!EnterNamespaceOrSay()) return 0;
  Server server;
  Host host;
  if (!server.Start() || !host.Connect(server.socket())) return std::puts("no server"), 1;
  Devices devices;
  if (!devices.Start(48100, 5)) return std::puts("no peer"), 1;
  std::printf("command pace (POINTGETVALUE back to back), load %s\n", LoadAverage().c_str());
  std::vector<int> one = host.Sessions("One", 1, 47900);
  std::vector<int> fifty = host.Sessions("Fifty", 50, 47000);
  if (one.empty() || fifty.size() != 50) return std::puts("sessions failed"), 1;
  for (int n : {1, 50}) {
    long failed = 0;
    const double c0 = server.Cpu();
    auto t0 = Clock::now();
    const double rate = Pace(host, n == 1 ? one : fifty, 48100, 10, failed);
    const double bound = 10.0 * n;
    std::printf("  %2d session%s %.1f commands/s = %.1f %% of the bound %.0f /s  (%ld failed)\n", n,
                n == 1 ? ": " : "s:", rate, rate / bound * 100, bound, failed);
    // Each session completes one command per tick, so this is the mean tick period: 100 ms
    // after a tick ends plus the tick itself (the workers' answers one after the other).
    std::printf("      implied tick period %.1f ms; driver CPU %.1f %% of one core\n",
                rate > 0 ? 1000.0 * n / rate : 0.0,
                (server.Cpu() - c0) / Seconds(Clock::now() - t0) * 100.0);
  }
  std::printf("  load %s\n", LoadAverage().c_str());
  return 0;
}
