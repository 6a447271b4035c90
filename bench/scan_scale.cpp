// Scan at scale: 200 sessions, each with 50 points on site devices played by the npm peer (4 node
// processes of 5 devices each), every session on its own UDP port of the one local address.
// Points read per second against the design bound, driver CPU and resident memory.
// Targets: at least 95 % of the bound, under 25 % of one core, under 64 MB.
#include <cstdio>

#include "bench/load_harness.h"

using namespace zb::bench;

int main(int argc, char** argv) {
  const int sessions = argc > 1 ? std::atoi(argv[1]) : 200;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 24;
  constexpr int kPoints = 50, kProcesses = 4, kPerProcess = 5, kDevices = kProcesses * kPerProcess;
  if (!EnterNamespaceOrSay()) return 0;
  Server server;
  Host host;
  if (!server.Start() || !host.Connect(server.socket())) return std::puts("no server"), 1;
  std::vector<Devices> devices(kProcesses);
  for (int p = 0; p < kProcesses; ++p)
    if (!devices[p].Start(48100 + p * kPerProcess, kPerProcess)) return std::puts("no peer"), 1;
  std::vector<int> objects = host.Sessions("Site", sessions, 47000);
  for (size_t i = 0; i < objects.size(); ++i)
    if (!host.Points(objects[i], DeviceAddress(48100 + int(i % kDevices)), kPoints))
      std::printf("point list %zu failed\n", i);
  SleepMs(15000);  // past the first pass of every session
  auto reads = [&] {
    long n = 0;
    for (auto& d : devices) n += d.Reads();
    return n;
  };
  const long r0 = reads();
  const double c0 = server.Cpu();
  auto t0 = Clock::now();
  SleepMs(seconds * 1000);
  const long r1 = reads();
  const double elapsed = Seconds(Clock::now() - t0);
  const double cpu = (server.Cpu() - c0) / elapsed * 100.0;
  const double rate = double(r1 - r0) / elapsed;
  // One read per two 100 ms ticks; after each pass of 50 points a 2 s pause (21 ticks in state
  // 901 and one in state 0), so a pass takes 122 ticks.
  const double raw_bound = double(objects.size()) * 5.0;
  const double pass_bound = double(objects.size()) * kPoints / 12.2;
  int cached = 0;  // what the host gets back: cached values of the first session
  if (!objects.empty()) {
    Texts t = host.Run(objects[0], {"COMMAND=GETPOINTSLIST"});
    cached = t.size() > 3 ? int(t.size()) - 3 : 0;
  }
  std::printf("scan at scale: %zu sessions x %d points, %d devices in %d node processes, %.1f s\n",
              objects.size(), kPoints, kDevices, kProcesses, elapsed);
  std::printf(
      "  points read: %.0f /s = %.1f %% of the design bound %.0f /s (with the 2 s pause "
      "after each pass); %.1f %% of %.0f /s (one read per two ticks, no pause)\n",
      rate, rate / pass_bound * 100, pass_bound, rate / raw_bound * 100, raw_bound);
  std::printf(
      "  driver CPU %.1f %% of one core, RSS %ld kB (peak %ld kB); first session holds %d "
      "cached values\n",
      cpu, server.RssKb(), StatusKb(server.pid(), "VmHWM"), cached);
  std::printf("  load %s\n", LoadAverage().c_str());
  return 0;
}
