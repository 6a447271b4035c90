#include "tools/host/capture.h"

#include <signal.h>

#include <cstdio>

namespace zb::host {

namespace {

volatile sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Unhex(const std::string& hex, std::string& out) {
  if (hex.size() % 2) return false;
  out.clear();
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int a = HexDigit(hex[i]), b = HexDigit(hex[i + 1]);
    if (a < 0 || b < 0) return false;
    out += static_cast<char>(a * 16 + b);
  }
  return true;
}

// Writes the hex octets of a "pcap" member; false when the output failed.
bool WriteChunk(FILE* out, const platform::Json& message) {
  const platform::Json* pcap = message.Find("pcap");
  std::string octets;
  if (!pcap || pcap->kind() != platform::Json::Kind::String || !Unhex(pcap->AsString(), octets))
    return true;
  // Flushed at once: a live reader sees each frame as it happens.
  return std::fwrite(octets.data(), 1, octets.size(), out) == octets.size() &&
         std::fflush(out) == 0;
}

}  // namespace

int Capture(HostLink& link, const std::string& site, const std::string& file) {
  struct sigaction sa {};
  sa.sa_handler = RequestStop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  platform::Json request = platform::Json::Object();
  request.Set("op", platform::Json::String("capture"));
  request.Set("site", platform::Json::String(site));
  std::string error;
  platform::Json reply = link.Request(request, error);
  const platform::Json* key = reply.Find("capture");
  if (!key || key->kind() != platform::Json::Kind::Integer) {
    std::fprintf(stderr, "zelbacnet: capture %s: %s\n", site.c_str(),
                 error.empty() ? "refused" : error.c_str());
    return 1;
  }
  const bool to_stdout = file == "-";
  FILE* out = to_stdout ? stdout : std::fopen(file.c_str(), "wb");
  if (!out) {
    std::fprintf(stderr, "zelbacnet: cannot write %s\n", file.c_str());
    return 1;
  }
  long long frames = 0, dropped = 0;
  std::string why = "stopped";
  bool ok = WriteChunk(out, reply);
  while (ok && !stop_requested) {
    std::string line;
    if (!link.NextLine(line, 200)) {
      if (link.Closed()) {
        why = "the driver server closed the connection";
        break;
      }
      continue;
    }
    platform::Json m;
    if (!platform::ParseJson(line, m, error)) continue;
    const platform::Json* k = m.Find("capture");
    if (!k || k->kind() != platform::Json::Kind::Integer || k->AsInteger() != key->AsInteger())
      continue;
    if (m.Find("pcap")) {
      ok = WriteChunk(out, m);
      ++frames;
    } else if (const platform::Json* d = m.Find("dropped")) {
      if (d->kind() == platform::Json::Kind::Integer) dropped = d->AsInteger();
    } else if (const platform::Json* e = m.Find("end")) {
      why = e->kind() == platform::Json::Kind::String ? e->AsString() : "ended";
      break;
    }
  }
  if (!ok) why = "the output cannot be written";
  if (!to_stdout) std::fclose(out);
  std::fprintf(stderr, "zelbacnet: capture of %s: %lld frames, %lld dropped (%s)\n", site.c_str(),
               frames, dropped, why.c_str());
  return 0;
}

}  // namespace zb::host
