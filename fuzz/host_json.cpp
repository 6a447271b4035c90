// Host connection input: every line a host may send goes through the JSON parser, the Variant
// mapping and the request dispatcher; nothing may crash, and what parses must write back to text
// that parses to the same value. The capture operation is served too, on a live session.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "driver/main_form.h"
#include "driver/traffic_capture.h"
#include "platform/host_connection.h"
#include "platform/json.h"

namespace {

class Echo : public zb::platform::HostObject {
 public:
  bool Invoke(const std::string& method, const zb::Variant& params, zb::Variant& result) override {
    if (method != "Echo") return false;
    result = params;
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zb::platform;
  std::string line(reinterpret_cast<const char*>(data), size);

  Json j;
  std::string error;
  if (ParseJson(line, j, error)) {
    std::string text = WriteJson(j);
    Json again;
    if (!ParseJson(text, again, error) || WriteJson(again) != text) std::abort();
    zb::Variant v;
    if (JsonToVariant(j, v, error)) {
      std::string vt = WriteJson(VariantToJson(v));
      Json vj;
      zb::Variant back;
      if (!ParseJson(vt, vj, error) || !JsonToVariant(vj, back, error) || !(back == v))
        std::abort();
    }
  }

  static auto* loop = new MessageLoop;
  static auto* desktop = new Desktop(*loop);
  static HostConnection* server = [] {
    auto* s = new HostConnection(*loop, *desktop);
    s->RegisterClass({"Fuzz.Echo", "{0}", [] { return std::make_unique<Echo>(); }});
    return s;
  }();
  static zb::TTrafficCapture* capture = [] {
    auto* form = new zb::TMainForm(*desktop);
    zb::TConnectionInfo info;
    info.Description = "Plant";
    form->FindOrCreateSession(info);
    return new zb::TTrafficCapture(*form, *server);
  }();
  server->Serve(1, line);
  // Captures of a host that never goes would pile up; its leaving ends them.
  if (capture->ActiveCount() > 64 && server->OnClientGone) server->OnClientGone(1);
  loop->ProcessMessages();
  if (server->ObjectCount() > 64) server->ReleaseAll();
  return 0;
}
