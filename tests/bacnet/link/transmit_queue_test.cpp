#include "bacnet/link/transmit_queue.h"

#include <gtest/gtest.h>

#include "bacnet/link/data_link.h"

namespace zb::bacnet {
namespace {

TTransmitQueueEntry Entry(int priority, std::string data) {
  TTransmitQueueEntry e;
  e.Priority = priority;
  e.Data = std::move(data);
  return e;
}

std::string Drain(TTransmitQueue& q) {
  std::string order;
  TTransmitQueueEntry e;
  while (q.TakeNext(e)) order += e.Data;
  return order;
}

TEST(TransmitQueue, HighestPriorityLeavesFirstOldestFirstAmongEquals) {
  TTransmitQueue q;
  q.Add(Entry(0, "a"));
  q.Add(Entry(3, "b"));
  q.Add(Entry(1, "c"));
  q.Add(Entry(3, "d"));
  q.Add(Entry(0, "e"));
  EXPECT_EQ(Drain(q), "bdcae");
}

TEST(TransmitQueue, PutBackLeavesBeforeItsEqualsButAfterHigherOnes) {
  TTransmitQueue q;
  q.Add(Entry(1, "a"));
  q.Add(Entry(2, "b"));
  q.PutBack(Entry(1, "x"));
  EXPECT_EQ(Drain(q), "bxa");
}

TEST(TransmitQueue, HoldsAtMost256Entries) {
  TTransmitQueue q;
  for (int i = 0; i < 255; ++i) ASSERT_TRUE(q.Add(Entry(i % 4, "x")));
  EXPECT_TRUE(q.Add(Entry(0, "y")));  // the 256th
  EXPECT_TRUE(q.Full());
  EXPECT_FALSE(q.Add(Entry(3, "z")));
  EXPECT_EQ(q.Count(), 256);
  TTransmitQueueEntry e;
  ASSERT_TRUE(q.TakeNext(e));
  EXPECT_EQ(e.Data, "x");
  EXPECT_TRUE(q.Add(Entry(3, "z")));
}

TEST(DataLinkBase, RecordsOpenRefusesSendsAndLeavesUnknownParameters) {
  TBACnetDataLink link;
  EXPECT_EQ(link.MaxAPDULength, 50);
  EXPECT_EQ(link.WindowLimit, 0);
  EXPECT_EQ(link.MaxAPDUCode(), 0);
  EXPECT_FALSE(link.Active);
  EXPECT_TRUE(link.SetActive(true));
  EXPECT_TRUE(link.Active);
  EXPECT_FALSE(link.SetActive(false));
  TBACnetFrame frame;
  EXPECT_FALSE(link.Send(frame));
  Variant v(int32_t{42});
  link.GetParameter(3, v);
  EXPECT_EQ(v, Variant(int32_t{42}));
  link.SetParameter(0, Variant(int32_t{1}));
  link.SetParameter(1, Variant(int32_t{127}));
  EXPECT_EQ(link.MaxAPDULength, 50);

  std::vector<std::pair<std::string, int>> lines;
  link.Trace("lost before anyone listens");
  link.OnTrace = [&](void* sender, const std::string& text, int channel) {
    EXPECT_EQ(sender, &link);
    lines.emplace_back(text, channel);
  };
  link.Trace("Hello");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].first, "Hello");
  EXPECT_EQ(lines[0].second, 0);
}

}  // namespace
}  // namespace zb::bacnet
