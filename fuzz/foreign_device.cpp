// Foreign-device registration driven by whatever a BBMD answers, in any order with the host's
// starts and stops and the passing of time: it never sends without having been started and
// keeps at most one timer. The BBMD address text from the host goes through its parser too.
#include "bacnet/link/foreign_device.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace zb::bacnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string host;
  int port = 0;
  if (ParseBBMDAddress(std::string(reinterpret_cast<const char*>(data), size), host, port) &&
      (port < 1 || port > 65535 || host.empty()))
    std::abort();

  zb::platform::MessageLoop loop;
  zb::platform::ManualClock clock;
  clock.auto_advance = false;
  loop.SetClock(&clock);
  TForeignDeviceRegistration r(loop);
  int sent = 0;
  r.OnSend = [&](const std::string& m) {
    if (!r.Started() || m.size() != 6) std::abort();
    ++sent;
  };
  r.OnLog = [](const std::string&) {};
  for (size_t i = 0; i + 2 < size; i += 3) {
    const int arg = (data[i + 1] << 8) | data[i + 2];
    switch (data[i] & 3) {
      case 0:
        r.SetTimeToLive(arg);
        r.Start();
        break;
      case 1:
        r.Stop();
        break;
      case 2:
        r.HandleResult(arg);
        break;
      default:
        loop.AdvanceClock(arg * 10);
        break;
    }
    if (r.Registered() && !r.Started()) std::abort();
  }
  return 0;
}
