#include "channel.h"

#include <algorithm>
#include <new>

namespace vrell {

using Sender = BroadcastQueue::Sender;
using Receiver = BroadcastQueue::Receiver;

std::pair<Sender, Receiver> BroadcastQueue::create() {
  Share queue(std::make_unique<BroadcastQueue>());
  // The queue starts with one sender and one receiver counted.
  Receiver receiver(queue, 0);
  return {Sender(std::move(queue)), std::move(receiver)};
}

Receiver BroadcastQueue::subscribe(const Share& queue) {
  std::lock_guard<std::mutex> tail(queue->tail_lock_);
  queue->receivers_.fetch_add(1, std::memory_order_relaxed);
  Receiver receiver(queue, queue->next_);
  receiver.ring_ = queue->ring_.get();
  return receiver;
}

// --- Sender ---

Sender::Sender(Share queue) noexcept : q_(std::move(queue)) {}

Sender::Sender(const Sender& other) noexcept : q_(other.q_) {
  if (q_) q_->senders_.fetch_add(1, std::memory_order_relaxed);
}

Sender& Sender::operator=(const Sender& other) noexcept {
  if (this != &other) {
    if (other.q_) other.q_->senders_.fetch_add(1, std::memory_order_relaxed);
    release();
    q_ = other.q_;
  }
  return *this;
}

Sender& Sender::operator=(Sender&& other) noexcept {
  if (this != &other) {
    release();
    q_ = std::move(other.q_);
  }
  return *this;
}

void Sender::release() noexcept {
  if (!q_) return;
  if (q_->senders_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::lock_guard<std::mutex> tail(q_->tail_lock_);
    q_->closed_ = true;
  }
  q_.reset();
}

Expected<uint64_t, Message> Sender::send(Message message) {
  BroadcastQueue& q = *q_;
  std::lock_guard<std::mutex> tail(q.tail_lock_);
  const uint64_t receivers = q.receivers_.load(std::memory_order_relaxed);
  if (receivers == 0) return unexpected(std::move(message));
  if (!q.ring_) q.ring_ = std::make_unique<Slot[]>(kCapacity);
  const uint64_t position = q.next_++;
  Slot& slot = q.ring_[position % kCapacity];
  std::lock_guard<std::mutex> hold(slot.lock);
  slot.position = position;
  slot.remaining = receivers;
  slot.message = std::move(message);  // frees the message it overwrites
  return receivers;
}

uint64_t Sender::receiver_count() const { return q_->receivers_.load(std::memory_order_relaxed); }

Receiver Sender::subscribe() const { return BroadcastQueue::subscribe(q_); }

// --- Receiver ---

Receiver::Receiver(Share queue, uint64_t next) noexcept : q_(std::move(queue)), next_(next) {}

Receiver& Receiver::operator=(Receiver&& other) noexcept {
  if (this != &other) {
    release();
    q_ = std::move(other.q_);
    next_ = other.next_;
    ring_ = other.ring_;
  }
  return *this;
}

void Receiver::release() noexcept {
  if (!q_) return;
  BroadcastQueue& q = *q_;
  {
    std::lock_guard<std::mutex> tail(q.tail_lock_);
    q.receivers_.fetch_sub(1, std::memory_order_relaxed);
    if (q.ring_) {
      // Unread messages stop waiting for this receiver.
      for (uint64_t p = std::max(next_, q.oldest_held()); p < q.next_; ++p) {
        Slot& slot = q.ring_[p % kCapacity];
        std::lock_guard<std::mutex> hold(slot.lock);
        if (slot.position == p && slot.remaining > 0 && --slot.remaining == 0) {
          slot.message.reset();
        }
      }
    }
  }
  q_.reset();
}

Receiver Receiver::subscribe() const { return BroadcastQueue::subscribe(q_); }

Receiver::Received Receiver::try_recv() {
  BroadcastQueue& q = *q_;
  for (;;) {
    if (ring_ != nullptr) {
      // The common case needs only the slot's lock.
      Slot& slot = ring_[next_ % kCapacity];
      std::lock_guard<std::mutex> hold(slot.lock);
      if (slot.message && slot.position == next_) {
        Received got{Status::Ok, std::nullopt, 0};
        if (slot.remaining > 1) {
          got.message = *slot.message;  // may throw: nothing has changed yet
          --slot.remaining;
        } else {
          got.message = std::move(slot.message);
          slot.message.reset();
          slot.remaining = 0;
        }
        ++next_;
        return got;
      }
    }
    std::lock_guard<std::mutex> tail(q.tail_lock_);
    ring_ = q.ring_.get();
    const uint64_t oldest = q.oldest_held();
    if (next_ < oldest) {
      const uint64_t skipped = oldest - next_;
      next_ = oldest;
      return {Status::Lagged, std::nullopt, skipped};
    }
    // Sent since the slot was looked at: read it on the next round.
    if (next_ < q.next_) continue;
    return {q.closed_ ? Status::Closed : Status::Empty, std::nullopt, 0};
  }
}

// --- MeshChannel ---

MeshChannel::MeshChannel(const Clock& clock)
    : clock_(&clock), topics_(MeshError::channel("channel lock poisoned")) {}

Result<std::optional<Sender>> MeshChannel::heard_sender(std::string_view topic) {
  return topics_.write([&](KeyedMap<Sender>& topics) -> Result<std::optional<Sender>> {
    auto it = topics.find(topic);
    if (it == topics.end()) {
      // The mesh keeps no receiver: the one that comes with the queue goes at once.
      Sender created = BroadcastQueue::create().first;
      std::string name(topic);
      it = topics.emplace(std::move(name), std::move(created)).first;
    }
    // With nobody listening the message would be dropped on arrival: no copy
    // of the sender (two atomic counts) and no message are made for it.
    if (it->second.receiver_count() == 0) return std::optional<Sender>();
    return std::optional<Sender>(it->second);
  });
}

template <class MakePayload>
Result<uint64_t> MeshChannel::publish_with(std::string_view topic, MakePayload&& payload) {
  Result<std::optional<Sender>> sender = heard_sender(topic);
  if (!sender) return unexpected(std::move(sender).error());

  // The clock is read outside the map lock: a fault here poisons nothing.
  const Instant at = clock_->now();
  if (!*sender) {
    // No message, so no text for its time; a reading that could not be made
    // one is still the fault it would be. A receiver that comes later never
    // sees this message.
    Result<void> checked = check_timestamp(at);
    if (!checked) return unexpected(std::move(checked).error());
    return uint64_t{0};
  }
  Result<Timestamp> now = format_timestamp(at);
  if (!now) return unexpected(std::move(now).error());
  try {
    Expected<uint64_t, Message> sent =
        (*sender)->send(Message{std::string(topic), payload(), std::string(now->text())});
    // No live receiver: the message is dropped, which is no error.
    return sent.has_value() ? sent.value() : uint64_t{0};
  } catch (const std::bad_alloc&) {
    return unexpected(MeshError::out_of_memory());
  }
}

Result<uint64_t> MeshChannel::publish(std::string_view topic, json::Value payload) {
  return publish_with(topic, [&] { return std::move(payload); });
}

Result<uint64_t> MeshChannel::publish_canonical(std::string_view topic,
                                                std::string_view canonical_payload) {
  return publish_with(topic, [&] { return json::Value::from_canonical(canonical_payload); });
}

uint64_t MeshChannel::topic_count() const noexcept {
  return topics_.read_or(
      0, [](const KeyedMap<Sender>& topics) noexcept -> uint64_t { return topics.size(); });
}

Result<std::optional<Sender>> MeshChannel::sender(std::string_view topic) const {
  return topics_.read([&](const KeyedMap<Sender>& topics) -> Result<std::optional<Sender>> {
    const auto it = topics.find(topic);
    if (it == topics.end()) return std::optional<Sender>();
    return std::optional<Sender>(it->second);
  });
}

}  // namespace vrell
