#include "channel.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_access.h"

namespace vrell {
namespace {

using Sender = BroadcastQueue::Sender;
using Receiver = BroadcastQueue::Receiver;
using Status = Receiver::Status;

constexpr Instant kT0{1700000000, 0};

json::Value value(const std::string& canonical) { return json::Value::from_canonical(canonical); }

Message message(int n) { return Message{"t", value(std::to_string(n)), "ts"}; }

Sender sender_of(const MeshChannel& channel, std::string_view topic) {
  Result<std::optional<Sender>> found = channel.sender(topic);
  if (!found.has_value() || !found->has_value()) {
    throw std::runtime_error("no sender for topic " + std::string(topic));
  }
  return std::move(**found);
}

// The payload of the next message, or the status that came instead.
std::string next_payload(Receiver& r) {
  Receiver::Received got = r.try_recv();
  switch (got.status) {
    case Status::Ok:
      return std::string(got.message->payload.text());
    case Status::Empty:
      return "<empty>";
    case Status::Lagged:
      return "<lagged " + std::to_string(got.skipped) + ">";
    case Status::Closed:
      return "<closed>";
  }
  return "<?>";
}

TEST(ChannelTest, PublishCreatesTopicsThatNobodyReceives) {
  TestClock clock(kT0);
  MeshChannel channel(clock);
  EXPECT_EQ(channel.topic_count(), 0u);
  struct Step {
    const char* topic;
    uint64_t topics_after;
  };
  const Step steps[] = {{"orders", 1}, {"orders", 1}, {"Orders", 2}, {"a", 3},
                        {"A", 4},      {"", 5},       {"", 5},       {"\xC3\xA9", 6}};
  for (const Step& step : steps) {
    Result<uint64_t> sent = channel.publish(step.topic, value("{}"));
    ASSERT_TRUE(sent.has_value()) << step.topic;
    EXPECT_EQ(*sent, 0u);
    EXPECT_EQ(channel.topic_count(), step.topics_after) << step.topic;
  }
  EXPECT_EQ(clock.reads(), static_cast<int>(std::size(steps)));
  // A topic's queue keeps no receiver of its own.
  EXPECT_EQ(sender_of(channel, "orders").receiver_count(), 0u);
  Result<std::optional<Sender>> unknown = channel.sender("never");
  ASSERT_TRUE(unknown.has_value());
  EXPECT_FALSE(unknown->has_value());
}

TEST(ChannelTest, ReceiverGetsEveryPayloadKindWithTopicAndTime) {
  TestClock clock({1700000000, 500000000});
  MeshChannel channel(clock);
  ASSERT_TRUE(channel.publish("events", value("null")).has_value());
  Receiver r = sender_of(channel, "events").subscribe();
  for (const char* payload : {"null", "true", "7", "-2.5", R"("s")", "[1,[]]", R"({"a":{}})"}) {
    Result<uint64_t> sent = channel.publish("events", value(payload));
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(*sent, 1u);
    Receiver::Received got = r.try_recv();
    ASSERT_EQ(got.status, Status::Ok) << payload;
    EXPECT_EQ(got.message->topic, "events");
    EXPECT_EQ(got.message->payload.text(), payload);
    EXPECT_EQ(got.message->timestamp, "2023-11-14T22:13:20.500+00:00");
  }
  EXPECT_EQ(next_payload(r), "<empty>");
}

TEST(ChannelTest, FanOutReachesEveryLiveReceiver) {
  MeshChannel channel;
  ASSERT_TRUE(channel.publish("t", value("0")).has_value());
  const Sender tx = sender_of(channel, "t");
  std::vector<Receiver> receivers;
  for (int i = 0; i < 3; ++i) receivers.push_back(tx.subscribe());
  EXPECT_EQ(tx.receiver_count(), 3u);

  EXPECT_EQ(*channel.publish("t", value("1")), 3u);
  EXPECT_EQ(*channel.publish("other", value("1")), 0u);
  for (Receiver& r : receivers) {
    EXPECT_EQ(next_payload(r), "1");
    EXPECT_EQ(next_payload(r), "<empty>");
  }

  receivers.pop_back();
  EXPECT_EQ(tx.receiver_count(), 2u);
  EXPECT_EQ(*channel.publish("t", value("2")), 2u);
  // A receiver made from a receiver sees only what comes after it.
  receivers.push_back(receivers.front().subscribe());
  EXPECT_EQ(*channel.publish("t", value("3")), 3u);
  EXPECT_EQ(next_payload(receivers[0]), "2");
  EXPECT_EQ(next_payload(receivers[0]), "3");
  EXPECT_EQ(next_payload(receivers[1]), "2");
  EXPECT_EQ(next_payload(receivers[2]), "3");
  EXPECT_EQ(next_payload(receivers[2]), "<empty>");
}

TEST(ChannelTest, LaggingReceiverIsToldHowManyItMissed) {
  MeshChannel channel;
  ASSERT_TRUE(channel.publish("t", value("-1")).has_value());
  Receiver slow = sender_of(channel, "t").subscribe();
  Receiver fast = sender_of(channel, "t").subscribe();
  constexpr int kSent = static_cast<int>(BroadcastQueue::kCapacity) + 6;
  for (int i = 0; i < kSent; ++i) {
    ASSERT_EQ(*channel.publish("t", value(std::to_string(i))), 2u);
    ASSERT_EQ(next_payload(fast), std::to_string(i));
  }
  EXPECT_EQ(next_payload(slow), "<lagged 6>");
  for (int i = 6; i < kSent; ++i) ASSERT_EQ(next_payload(slow), std::to_string(i));
  EXPECT_EQ(next_payload(slow), "<empty>");
  EXPECT_EQ(next_payload(fast), "<empty>");
}

TEST(ChannelTest, ConcurrentReceiverSeesEveryMessageOnceInOrder) {
  MeshChannel channel;
  ASSERT_TRUE(channel.publish("t", value("-1")).has_value());
  Receiver r = sender_of(channel, "t").subscribe();
  constexpr uint64_t kSent = 20000;
  std::thread publisher([&] {
    for (uint64_t i = 0; i < kSent; ++i) (void)channel.publish("t", value(std::to_string(i)));
  });
  // Every position is either read, in order, or reported as skipped.
  uint64_t expected = 0;
  bool in_order = true;
  while (expected < kSent && in_order) {
    Receiver::Received got = r.try_recv();
    if (got.status == Status::Ok) {
      in_order = got.message->payload.text() == std::to_string(expected);
      ++expected;
    } else if (got.status == Status::Lagged) {
      expected += got.skipped;
    } else {
      ASSERT_EQ(got.status, Status::Empty);
    }
  }
  publisher.join();
  EXPECT_TRUE(in_order) << "at " << expected;
  EXPECT_EQ(expected, kSent);
  EXPECT_EQ(next_payload(r), "<empty>");
}

TEST(ChannelTest, SendWithoutReceiverHandsTheMessageBack) {
  auto [tx, rx] = BroadcastQueue::create();
  EXPECT_EQ(tx.receiver_count(), 1u);
  Expected<uint64_t, Message> sent = tx.send(message(1));
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(*sent, 1u);
  { Receiver gone = std::move(rx); }
  EXPECT_EQ(tx.receiver_count(), 0u);
  Expected<uint64_t, Message> refused = tx.send(message(2));
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().payload.text(), "2");
  Receiver late = tx.subscribe();
  EXPECT_EQ(next_payload(late), "<empty>");  // nothing was kept for it
}

TEST(ChannelTest, QueueClosesWhenTheLastSenderGoes) {
  auto [tx, rx] = BroadcastQueue::create();
  std::optional<Sender> copy(tx);
  ASSERT_TRUE(tx.send(message(1)).has_value());
  { Sender gone = std::move(tx); }
  EXPECT_EQ(next_payload(rx), "1");
  EXPECT_EQ(next_payload(rx), "<empty>");  // one sender is left
  ASSERT_TRUE(copy->send(message(2)).has_value());
  Receiver late = copy->subscribe();
  copy.reset();
  EXPECT_EQ(next_payload(rx), "2");  // what was sent stays readable
  EXPECT_EQ(next_payload(rx), "<closed>");
  EXPECT_EQ(next_payload(rx), "<closed>");
  EXPECT_EQ(next_payload(late), "<closed>");
}

TEST(ChannelTest, TopicsCloseWithTheChannel) {
  std::optional<Receiver> r;
  {
    MeshChannel channel;
    ASSERT_TRUE(channel.publish("t", value("0")).has_value());
    r.emplace(sender_of(channel, "t").subscribe());
    EXPECT_EQ(*channel.publish("t", value("1")), 1u);
    EXPECT_EQ(next_payload(*r), "1");
    EXPECT_EQ(next_payload(*r), "<empty>");
  }
  EXPECT_EQ(next_payload(*r), "<closed>");
}

TEST(ChannelTest, SenderCopiesShareOneQueue) {
  auto [tx, rx] = BroadcastQueue::create();
  Sender a = tx;
  Sender b = tx;
  b = a;  // copy-assigned: still three live senders
  a = std::move(b);
  ASSERT_EQ(*tx.send(message(1)), 1u);
  ASSERT_EQ(*a.send(message(2)), 1u);
  { Sender gone = std::move(a); }
  EXPECT_EQ(next_payload(rx), "1");
  EXPECT_EQ(next_payload(rx), "2");
  EXPECT_EQ(next_payload(rx), "<empty>");
  { Sender gone = std::move(tx); }
  EXPECT_EQ(next_payload(rx), "<closed>");
}

TEST(ChannelTest, LastReaderTakesTheMessageAndEarlierOnesCopy) {
  auto [tx, first] = BroadcastQueue::create();
  Receiver second = tx.subscribe();
  const std::string payload = R"("a payload long enough to need the heap")";
  ASSERT_EQ(*tx.send(Message{"t", value(payload), "ts"}), 2u);

  // Received values move without allocating; a failed copy leaves the
  // receiver where it was.
  auto receive = [](Receiver& r) -> std::optional<Receiver::Received> {
    try {
      return r.try_recv();
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
  };
  const long copied = fail_each_allocation(
      [&receive, &r = first] { return receive(r); },  // clang before 16 captures no binding
      [](const std::optional<Receiver::Received>& got) { EXPECT_FALSE(got.has_value()); });
  EXPECT_GE(copied, 1);
  std::optional<Receiver::Received> got;
  auto no_failure = [](const auto&) { ADD_FAILURE() << "an allocation was made"; };
  EXPECT_EQ(fail_each_allocation(
                [&] {
                  got = receive(second);
                  return got.has_value();
                },
                no_failure),
            0);
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->status, Status::Ok);
  EXPECT_EQ(got->message->payload.text(), payload);
  EXPECT_EQ(next_payload(first), "<empty>");
  EXPECT_EQ(next_payload(second), "<empty>");
}

TEST(ChannelTest, ClockFaultFailsPublishWithoutPoisoning) {
  TestClock clock({-1, 0});
  MeshChannel channel(clock);
  Result<uint64_t> sent = channel.publish("t", value("1"));
  ASSERT_FALSE(sent.has_value());
  EXPECT_EQ(sent.error().kind(), ErrorKind::Panic);
  EXPECT_EQ(sent.error().text(), "system time before Unix epoch");
  EXPECT_FALSE(TestAccess::poisoned(channel));
  EXPECT_EQ(channel.topic_count(), 1u);  // the topic exists from the first call on
  clock.set(kT0);
  Result<uint64_t> again = channel.publish("t", value("1"));
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, 0u);
}

TEST(ChannelTest, PoisonedMapFailsPublish) {
  MeshChannel channel;
  ASSERT_TRUE(channel.publish("t", value("1")).has_value());
  EXPECT_EQ(TestAccess::poison(channel).kind(), ErrorKind::Panic);
  for (const char* topic : {"t", "new"}) {
    Result<uint64_t> sent = channel.publish(topic, value("1"));
    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error().kind(), ErrorKind::Channel);
    EXPECT_EQ(sent.error().text(), "Channel error: channel lock poisoned");
  }
  Result<std::optional<Sender>> found = channel.sender("t");
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(found.error().text(), "Channel error: channel lock poisoned");
  EXPECT_EQ(channel.topic_count(), 0u);
}

TEST(ChannelTest, FailedAllocationLeavesTheChannelUsable) {
  TestClock clock(kT0);
  MeshChannel channel(clock);
  const std::string topic = "a-topic-name-long-enough-to-need-the-heap";
  const long points = fail_each_allocation([&] { return channel.publish(topic, value("[1]")); },
                                           [&](const Result<uint64_t>& r) {
                                             ASSERT_FALSE(r.has_value());
                                             EXPECT_EQ(r.error().kind(), ErrorKind::OutOfMemory);
                                             EXPECT_FALSE(TestAccess::poisoned(channel));
                                             EXPECT_LE(channel.topic_count(), 1u);
                                           });
  // The queue, the name, the node, then the message's topic and timestamp.
  EXPECT_GE(points, 4);
  EXPECT_EQ(channel.topic_count(), 1u);

  // With a receiver, the first delivered message needs the ring.
  Receiver r = sender_of(channel, topic).subscribe();
  EXPECT_GE(fail_each_allocation([&] { return channel.publish(topic, value("[2]")); },
                                 [&](const Result<uint64_t>& res) {
                                   ASSERT_FALSE(res.has_value());
                                   EXPECT_EQ(res.error().kind(), ErrorKind::OutOfMemory);
                                 }),
            3);
  EXPECT_EQ(next_payload(r), "[2]");
  EXPECT_EQ(next_payload(r), "<empty>");
}

}  // namespace
}  // namespace vrell
