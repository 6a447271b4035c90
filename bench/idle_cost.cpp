// Waiting costs nothing: CPU time of the driver process while a worker waits 3 s for a request
// nobody answers, and while 400 connected sessions are idle. Target: under 1 % of one core.
// Usage: bench_idle_cost [idle sessions, default 400]
#include <cstdio>

#include "bench/load_harness.h"

using namespace zb::bench;

namespace {

// CPU share of one core used by the server over `ms` of real time.
double Share(const Server& server, int ms) {
  const double c0 = server.Cpu();
  auto t0 = Clock::now();
  SleepMs(ms);
  return (server.Cpu() - c0) / Seconds(Clock::now() - t0) * 100.0;
}

}  // namespace

int main(int argc, char** argv) {
  const int idle_sessions = argc > 1 ? std::atoi(argv[1]) : 400;
  if (!EnterNamespaceOrSay()) return 0;
  Server server;
  Host host;
  if (!server.Start() || !host.Connect(server.socket())) return std::puts("no server"), 1;
  Devices mute;
  if (!mute.Start(48300, 1, -1)) return std::puts("no peer"), 1;
  std::printf("waiting costs (driver CPU, %% of one core), load %s\n", LoadAverage().c_str());

  // APDU time-out 5 s: the whole 3 s window lies inside one unanswered transaction.
  std::vector<int> one = host.Sessions("Waiter", 1, 47900, 5000);
  if (one.empty()) return std::puts("no session"), 1;
  SleepMs(1000);
  host.client.CallTexts(
      one[0], "Execute",
      {"COMMAND=POINTGETVALUE", "POINT={x}{" + DeviceAddress(48300) + "-AVAL#1}{}{}"});
  SleepMs(100);
  const double waiting = Share(server, 3000);
  Texts t = host.Status(one[0]);
  std::printf("  worker waiting 3 s for an unanswered read: %.2f %%  (still waiting: %s)\n",
              waiting, Host::Finished(t) ? "no" : "yes");

  std::vector<int> many = host.Sessions("Idle", idle_sessions, 47000);
  host.Poll(one[0], 30000);
  SleepMs(1000);
  const double idle = Share(server, 5000);
  std::printf("  %zu connected sessions idle (5 s):          %.2f %%  RSS %ld kB\n", many.size(),
              idle, server.RssKb());
  std::printf("  load %s\n", LoadAverage().c_str());
  return 0;
}
