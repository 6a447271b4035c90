#include "driver/traffic_capture.h"

#include <vector>

#include "bacnet/link/pcap_frames.h"

namespace zb {

namespace {

std::string HexOf(const std::string& octets) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(octets.size() * 2);
  for (unsigned char c : octets) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

platform::Json Error(const std::string& text) {
  platform::Json j = platform::Json::Object();
  j.Set("error", platform::Json::String(text));
  return j;
}

std::string Line(int key, const char* name, platform::Json value) {
  platform::Json j = platform::Json::Object();
  j.Set("capture", platform::Json::Integer(key));
  j.Set(name, std::move(value));
  return platform::WriteJson(j);
}

}  // namespace

TTrafficCapture::TTrafficCapture(TMainForm& form, platform::HostConnection& host)
    : form_(form), host_(host) {
  host_.RegisterOp("capture", [this](int client, const platform::Json& request) {
    return Serve(client, request);
  });
  host_.OnClientGone = [this](int client) {
    std::vector<int> keys;
    for (const auto& [k, c] : captures_)
      if (c.Client == client) keys.push_back(k);
    for (int k : keys) Stop(k);
  };
}

TTrafficCapture::~TTrafficCapture() {
  host_.OnClientGone = nullptr;
  host_.RegisterOp("capture", [](int, const platform::Json&) { return Error("shutting down"); });
  while (!captures_.empty()) Stop(captures_.begin()->first);
}

platform::Json TTrafficCapture::Serve(int client, const platform::Json& request) {
  if (const platform::Json* stop = request.Find("stop")) {
    if (stop->kind() != platform::Json::Kind::Integer) return Error("stop needs a capture number");
    const int key = static_cast<int>(stop->AsInteger());
    auto it = captures_.find(key);
    if (it == captures_.end() || it->second.Client != client) return Error("no such capture");
    platform::Json reply = platform::Json::Object();
    reply.Set("stopped", platform::Json::Integer(key));
    reply.Set("dropped", platform::Json::Integer(it->second.Dropped));
    Stop(key);
    return reply;
  }
  const platform::Json* site = request.Find("site");
  if (!site || site->kind() != platform::Json::Kind::String) return Error("capture needs site");
  TBACnetForm* session = form_.FindSession(site->AsString());
  if (!session) return Error("no session for site: " + site->AsString());
  const int key = next_key_++;
  Capture c{client, session, 0};
  c.Sink =
      session->AddCaptureSink([this, key](const bacnet::TCapturedPacket& p) { Packet(key, p); },
                              [this, key] { SessionGone(key); });
  captures_[key] = c;
  // The reply carries the file header, so that it comes before every record.
  platform::Json reply = platform::Json::Object();
  reply.Set("capture", platform::Json::Integer(key));
  reply.Set("pcap", platform::Json::String(HexOf(bacnet::PcapFileHeader())));
  return reply;
}

bool TTrafficCapture::Push(Capture& c, const std::string& line) {
  return host_.Push(c.Client, line, MaxBacklog);
}

void TTrafficCapture::Packet(int key, const bacnet::TCapturedPacket& packet) {
  auto it = captures_.find(key);
  if (it == captures_.end()) return;
  Capture& c = it->second;
  if (!c.DropReported && Push(c, Line(key, "dropped", platform::Json::Integer(c.Dropped))))
    c.DropReported = true;
  if (!c.DropReported ||
      !Push(c, Line(key, "pcap", platform::Json::String(HexOf(bacnet::PcapRecord(packet)))))) {
    ++c.Dropped;
    c.DropReported = false;
  }
}

void TTrafficCapture::SessionGone(int key) {
  auto it = captures_.find(key);
  if (it == captures_.end()) return;
  const int client = it->second.Client;
  captures_.erase(it);
  host_.Push(client, Line(key, "end", platform::Json::String("session closed")), MaxBacklog * 2);
}

void TTrafficCapture::Stop(int key) {
  auto it = captures_.find(key);
  if (it == captures_.end()) return;
  Capture c = it->second;
  captures_.erase(it);
  c.Session->RemoveCaptureSink(c.Sink);
}

}  // namespace zb
