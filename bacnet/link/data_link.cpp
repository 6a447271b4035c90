#include "bacnet/link/data_link.h"

namespace zb::bacnet {

void TBACnetDataLink::Trace(const std::string& text) {
  if (OnTrace) OnTrace(this, text, 0);
}

void TBACnetDataLink::Log(const std::string& text) {
  if (OnTrace) OnTrace(this, text, 3);
}

bool TBACnetDataLink::SetActive(bool open) {
  Active = open;
  return Active;
}

platform::Task<bool> TBACnetDataLink::Activate(bool open) { co_return SetActive(open); }

int TBACnetDataLink::MaxAPDUCode() { return 0; }

bool TBACnetDataLink::Send(const TBACnetFrame&) { return false; }

void TBACnetDataLink::SetParameter(int, const Variant&) {}

void TBACnetDataLink::GetParameter(int, Variant&) {}

void TBACnetDataLink::Deliver(const TBACnetFrame& frame) {
  if (OnReceive) OnReceive(this, frame);
}

}  // namespace zb::bacnet
