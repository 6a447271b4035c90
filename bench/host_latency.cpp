// Host-call latency: median and 99th percentile of an Execute COMMANDSTATUS round trip over the
// host connection, (a) with the driver idle, (b) while 100 sessions scan 50 points each and one
// worker waits for a device that answers after one second. Target: p99 under 2 ms in both.
#include <cstdio>

#include "bench/load_harness.h"

using namespace zb::bench;

namespace {

constexpr int kSamples = 3000;

std::vector<double> Sample(Host& host, int o, int samples, const std::function<void()>& between) {
  std::vector<double> ms;
  for (int i = 0; i < samples; ++i) {
    auto t0 = Clock::now();
    host.Status(o);
    ms.push_back(Seconds(Clock::now() - t0) * 1000.0);
    if (between) between();
    SleepMs(1);  // a host polling, not flooding
  }
  return ms;
}

void Print(const char* what, const std::vector<double>& ms) {
  std::printf("  %-44s median %.3f ms  p99 %.3f ms  max %.3f ms  (%zu calls)\n", what,
              Percentile(ms, 50), Percentile(ms, 99), Percentile(ms, 100), ms.size());
}

}  // namespace

int main() {
  if (!EnterNamespaceOrSay()) return 0;
  Server server;
  Host host;
  if (!server.Start() || !host.Connect(server.socket())) return std::puts("no server"), 1;
  std::printf("host-call latency (Execute COMMANDSTATUS round trip), load %s\n",
              LoadAverage().c_str());

  std::vector<int> idle = host.Sessions("Idle", 1, 47900);
  if (idle.empty()) return std::puts("no session"), 1;
  Print("(a) idle driver", Sample(host, idle[0], kSamples, nullptr));

  Devices scan_devices, slow_device;
  if (!scan_devices.Start(48100, 10) || !slow_device.Start(48200, 1, 1000))
    return std::puts("no peer"), 1;
  std::vector<int> scanning = host.Sessions("Scan", 100, 47000);
  for (size_t i = 0; i < scanning.size(); ++i)
    host.Points(scanning[i], DeviceAddress(48100 + int(i % 10)), 50);
  std::vector<int> waiter = host.Sessions("Waiter", 1, 47950, 3000);
  if (scanning.size() != 100 || waiter.empty()) return std::puts("sessions failed"), 1;
  const Texts slow_read = {"COMMAND=POINTGETVALUE",
                           "POINT={x}{" + DeviceAddress(48200) + "-AVAL#1}{}{}"};
  SleepMs(3000);  // every scan under way
  {
    const long r = scan_devices.Reads();
    auto t = Clock::now();
    std::vector<double> scan_only = Sample(host, idle[0], kSamples, nullptr);
    Print("(b0) 100 sessions scanning, nobody waiting", scan_only);
    std::printf("      meanwhile %.0f scan reads/s\n",
                double(scan_devices.Reads() - r) / Seconds(Clock::now() - t));
  }
  const long reads0 = scan_devices.Reads();
  int waits = 0;
  host.client.CallTexts(waiter[0], "Execute", slow_read);
  auto keep_waiting = [&] {  // one worker always waiting for the slow device
    static int n = 0;
    if (++n % 20) return;
    Texts t = host.Status(waiter[0]);
    if (Host::Finished(t)) {
      ++waits;
      host.client.CallTexts(waiter[0], "Execute", slow_read);
    }
  };
  auto t0 = Clock::now();
  std::vector<double> busy = Sample(host, idle[0], kSamples, keep_waiting);
  const double elapsed = Seconds(Clock::now() - t0);
  Print("(b) 100 sessions scanning, a worker waiting", busy);
  std::printf("      meanwhile %.0f scan reads/s, %d one-second waits completed, load %s\n",
              double(scan_devices.Reads() - reads0) / elapsed, waits, LoadAverage().c_str());
  return 0;
}
