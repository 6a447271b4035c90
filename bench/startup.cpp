// Start-up: time from launching the driver server to the first answered host call (a create),
// and resident memory of an idle driver. Targets: under 100 ms and under 10 MB.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>

#include "bench/load_harness.h"

using namespace zb::bench;

namespace {

// Connects as soon as the socket accepts (retrying every 0.2 ms) and asks for an object.
double FirstAnswerMs(Server& server) {
  if (!server.Start()) return -1;
  int fd = -1;
  while (Seconds(Clock::now() - server.started()) < 10) {
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", server.socket().c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) break;
    close(fd);
    fd = -1;
    usleep(200);
  }
  if (fd < 0) return -1;
  zb::test::HostClient client(fd);
  client.loop = nullptr;
  const bool ok = client.Create() > 0;
  const double ms = Seconds(Clock::now() - server.started()) * 1000.0;
  return ok ? ms : -1;
}

}  // namespace

int main() {
  if (!EnterNamespaceOrSay()) return 0;
  std::vector<double> times;
  long rss = 0, rss_session = 0;
  for (int i = 0; i < 10; ++i) {
    Server server;
    times.push_back(FirstAnswerMs(server));
    if (i == 0) {
      SleepMs(1000);
      rss = server.RssKb();
      Host host;
      host.Connect(server.socket());
      host.Sessions("One", 1, 47900);
      SleepMs(500);
      rss_session = server.RssKb();
    }
  }
  std::printf(
      "start-up: launch to first answered host call over 10 launches: median %.1f ms, "
      "worst %.1f ms\n",
      Percentile(times, 50), Percentile(times, 100));
  std::printf("  idle driver RSS %ld kB; with one connected session %ld kB\n", rss, rss_session);
  std::printf("  load %s\n", LoadAverage().c_str());
  return 0;
}
