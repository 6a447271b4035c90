// The priority transmit queue both data links keep: at most 256 entries, the highest Priority
// leaves first; among equal priorities the oldest entry leaves first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zb::bacnet {

struct TTransmitQueueEntry {
  std::string Destination;  // link address; the BACnet/IP link only
  std::string Data;         // the octets to send
  int32_t Priority = 0;
};

class TTransmitQueue {
 public:
  static constexpr int kCapacity = 256;

  // False (and nothing queued) when the queue already holds kCapacity entries.
  bool Add(TTransmitQueueEntry entry);
  // Removes the entry that leaves next into `entry`; false when the queue is empty.
  bool TakeNext(TTransmitQueueEntry& entry);
  // Puts an entry back so that it leaves before every other entry of its priority (a send that
  // could not proceed). Ignores the capacity: the entry was in the queue a moment ago.
  void PutBack(TTransmitQueueEntry entry);
  int Count() const { return static_cast<int>(entries_.size()); }
  bool Empty() const { return entries_.empty(); }
  bool Full() const { return Count() >= kCapacity; }
  void Clear() { entries_.clear(); }

 private:
  // Kept sorted by priority ascending, each priority's oldest entry last, so that the
  // next entry to leave is always the last one.
  std::vector<TTransmitQueueEntry> entries_;
};

}  // namespace zb::bacnet
