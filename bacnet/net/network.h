// The network layer of one connection's stack: wraps APDUs into NPDUs for the data link, parses
// received NPDUs, and learns routers to remote networks. It never forwards traffic; it stands
// for the virtual network (NetworkNumber) on which the driver's own device sits: Who-Is-Router
// asking for it is answered, NPDUs addressed to it are taken, those for other networks dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bacnet/link/data_link.h"
#include "bacnet/link/records.h"
#include "platform/variant.h"

namespace zb::bacnet {

struct TBACnetRouterEntry {
  std::string RouterAddress;  // the router's link address, or "<Local>"
  uint32_t Network = 0;
};

class TBACnetNetwork {
 public:
  // The NPDU is valid only during the call.
  using ReceiveHandler = std::function<void(void* sender, const TBACnetNPDU& npdu)>;
  using TraceHandler = std::function<void(void* sender, const std::string& text, int channel)>;

  TBACnetNetwork() = default;
  virtual ~TBACnetNetwork() = default;
  TBACnetNetwork(const TBACnetNetwork&) = delete;
  TBACnetNetwork& operator=(const TBACnetNetwork&) = delete;

  TBACnetDataLink* DataLink = nullptr;  // not owned
  // The virtual network: source network of what goes out over a point-to-point link and of
  // answers to what was addressed to it.
  uint32_t NetworkNumber = 0;
  // Its low 16 bits are sent as SADR over point-to-point links (parameter kind 5).
  int32_t SourceAddressValue = 0;
  ReceiveHandler OnReceive;
  TraceHandler OnTrace;  // every line on channel 1

  // False without a data link; otherwise installs ReceiveFrame on the link, clears the router
  // table and returns the link's SetActive(open).
  virtual bool Open(bool open);
  // Open through the link's Activate: suspends while the link sets its line up or closes it.
  platform::Task<bool> OpenAsync(bool open);
  // Builds the NPDU and hands it to the link. True in every case, also when nothing was sent.
  virtual bool SendNPDU(const TBACnetNPDU& npdu);
  // The data link's receive handler.
  virtual void ReceiveFrame(const TBACnetFrame& frame);

  // Pass-through of the data link's limits; 0 without a data link.
  virtual int MaxAPDULength();
  virtual int MaxAPDUCode();
  virtual int WindowLimit();
  // Kinds 4 and 5 are the network layer's own; the rest go to the data link. Failures while
  // setting are swallowed.
  virtual void SetParameter(int kind, const Variant& value);
  virtual void GetParameter(int kind, Variant& value);

  // Records a router unless one is known for the network already, and logs it.
  void AddRouter(uint32_t network, std::string_view address);
  // The first router recorded for the network; `address` is empty for "<Local>".
  bool FindRouter(uint32_t network, std::string& address) const;
  const std::vector<TBACnetRouterEntry>& RouterTable() const { return routers_; }

 protected:
  void Trace(const std::string& text);

 private:
  bool IsOwnVirtualAddress(const uint8_t* address, int length) const;
  void AnswerWhoIsRouter(const uint8_t* data, int length);

  std::vector<TBACnetRouterEntry> routers_;
};

}  // namespace zb::bacnet
