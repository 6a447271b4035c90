#include "bacnet/link/transmit_queue.h"

#include <utility>

namespace zb::bacnet {

bool TTransmitQueue::Add(TTransmitQueueEntry entry) {
  if (Full()) return false;
  // In front of the older entries of its priority, so that they leave before it.
  auto it = entries_.begin();
  while (it != entries_.end() && it->Priority < entry.Priority) ++it;
  entries_.insert(it, std::move(entry));
  return true;
}

bool TTransmitQueue::TakeNext(TTransmitQueueEntry& entry) {
  if (entries_.empty()) return false;
  entry = std::move(entries_.back());
  entries_.pop_back();
  return true;
}

void TTransmitQueue::PutBack(TTransmitQueueEntry entry) {
  auto it = entries_.begin();
  while (it != entries_.end() && it->Priority <= entry.Priority) ++it;
  entries_.insert(it, std::move(entry));
}

}  // namespace zb::bacnet
