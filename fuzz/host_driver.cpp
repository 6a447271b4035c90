// The whole host side: request lines through the host connection into real driver objects (version
// handshake, Connect, Configure, Execute and its command queue, release), with the driver window's
// timer driven by the input. Lines are split at line breaks; a line of only '~' characters advances
// the clock by 100 ms per '~' instead of being sent. Every reply must be one JSON line.
//
// The process first moves into a network namespace of its own (without one it runs nothing) and
// points every serial port at a path that does not exist, so that a Connect the fuzzer writes
// reaches no network and no device.
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "driver/main_form.h"
#include "driver/server_driver.h"
#include "platform/host_connection.h"
#include "platform/json.h"
#include "platform/message_loop.h"
#include "platform/serial_device.h"

using namespace zb;

namespace {

bool isolated = false;

void Isolate() {
  if (unshare(CLONE_NEWNET) != 0) {
    // Without a namespace of its own a fuzzed Connect could reach the machine's network: run
    // nothing rather than that.
    std::perror(
        "fuzz_host_driver: unshare(CLONE_NEWNET) needs root or CAP_SYS_ADMIN; inputs not run");
    return;
  }
  isolated = true;
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s >= 0) {
    ifreq ifr{};
    std::strcpy(ifr.ifr_name, "lo");
    if (ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
      ifr.ifr_flags |= IFF_UP;
      ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    close(s);
  }
  for (int port = 1; port <= platform::SerialDevice::kMaxPort; ++port) {
    std::string name = "ZELBACNET_COM" + std::to_string(port);
    setenv(name.c_str(), "/nonexistent/zelbacnet-fuzz-port", 1);
  }
}

// A driver object that counts itself, to catch one that outlives its host.
class CountedDriver : public TZelBACnetServerDriver {
 public:
  CountedDriver(TMainForm& form, int& live) : TZelBACnetServerDriver(form), live_(live) { ++live_; }
  ~CountedDriver() override { --live_; }

 private:
  int& live_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Isolate();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!isolated || size > 64 * 1024) return 0;
  platform::MessageLoop loop;
  platform::Desktop desktop(loop);
  platform::ManualClock clock;
  clock.auto_advance = true;
  clock.real_wait_ms = 0;
  loop.SetClock(&clock);
  int live = 0;
  {
    auto main = std::make_unique<TMainForm>(desktop);
    main->ObjectCount = [&live] { return live; };
    main->OnExit = [] {};
    platform::HostConnection host(loop, desktop);
    TMainForm* form = main.get();
    host.RegisterClass({kDriverProgId, kDriverClassId,
                        [form, &live] { return std::make_unique<CountedDriver>(*form, live); }});

    // The lines reach the connection through a socket, as a host's do: those between two clock
    // lines are written at once, so requests queue behind one another and are served nested in
    // each other's waits.
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv) != 0) std::abort();
    host.Adopt(sv[0]);
    std::string replies;
    size_t answered = 0, sent = 0;
    auto pump = [&] {
      for (int i = 0; i < 100000 && loop.ProcessMessages(); ++i) {
      }
      char b[65536];
      for (ssize_t n; (n = read(sv[1], b, sizeof b)) > 0;)
        replies.append(b, static_cast<size_t>(n));
      for (size_t nl; (nl = replies.find('\n')) != std::string::npos;) {
        std::string reply = replies.substr(0, nl);
        replies.erase(0, nl + 1);
        platform::Json j;
        std::string error;
        if (!platform::ParseJson(reply, j, error)) {
          std::fprintf(stderr, "reply is not one JSON line: %s\n", reply.c_str());
          std::abort();
        }
        ++answered;
      }
    };
    std::string in(reinterpret_cast<const char*>(data), size);
    std::string batch;
    auto flush = [&] {
      for (size_t off = 0; off < batch.size();) {
        ssize_t n = write(sv[1], batch.data() + off, batch.size() - off);
        if (n > 0) off += static_cast<size_t>(n);
        pump();
      }
      batch.clear();
      pump();
    };
    size_t pos = 0;
    while (pos <= in.size()) {
      size_t end = in.find('\n', pos);
      if (end == std::string::npos) end = in.size();
      std::string line = in.substr(pos, end - pos);
      pos = end + 1;
      if (!line.empty() && line.find_first_not_of('~') == std::string::npos) {
        flush();
        loop.AdvanceClock(100 * int64_t(line.size()));
        pump();
        continue;
      }
      batch += line + "\n";
      ++sent;
    }
    flush();
    if (answered > sent) {
      std::fprintf(stderr, "%zu replies to %zu lines\n", answered, sent);
      std::abort();
    }
    close(sv[1]);  // the host goes away: its objects are released
    pump();
    host.ReleaseAll();
    loop.ProcessMessages();
  }
  loop.ProcessMessages();
  loop.SetClock(nullptr);
  if (live != 0) {
    std::fprintf(stderr, "driver objects outlive their host\n");
    std::abort();
  }
  return 0;
}
