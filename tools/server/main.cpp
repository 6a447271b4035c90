// Placeholder entry until the driver server lands: runs the message loop until SIGINT/SIGTERM.
#include <csignal>
#include <cstdio>

#include "platform/message_loop.h"

int main() {
  static volatile std::sig_atomic_t stop = 0;
  std::signal(SIGINT, [](int) { stop = 1; });
  std::signal(SIGTERM, [](int) { stop = 1; });
  auto& loop = zb::platform::MessageLoop::Current();
  while (!stop) loop.WaitAndProcess(100);
  std::puts("zelbacnet-server stopped");
  return 0;
}
