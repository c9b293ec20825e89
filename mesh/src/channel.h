// MeshChannel: the publish side of the mesh's topics, each topic backed by a
// bounded broadcast queue that fans every message out to its live receivers.
//
// Thread safety: any thread may publish; the topic map's mutex is held only to
// find or create a topic, never during a send. A poisoned map fails publish
// with Channel "channel lock poisoned" and reports topic_count 0.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "clock.h"
#include "error.h"
#include "guarded.h"
#include "hashing.h"
#include "json.h"

namespace vrell {

struct Message {
  std::string topic;
  json::Value payload;
  std::string timestamp;
};

// A broadcast queue: a ring of kCapacity slots addressed by position modulo
// kCapacity. Each message is kept until every receiver live at its send has
// read it, or until the ring wraps over it.
//
// Handles are RAII and share the queue. Copying a Sender counts one more
// sender; releasing the last one closes the queue. Releasing a Receiver takes
// it out of the live count and gives up its share of the messages it left
// unread.
//
// Thread safety: handles may be used from any thread, each handle by one
// thread at a time. Lock order: the tail lock, then one slot's lock.
// REQUIRES (every handle operation): the handle has not been moved from.
class BroadcastQueue {
  struct Slot;

  // One counted reference to a queue, held by each handle; the queue goes with
  // the last. (Not std::shared_ptr: its inline count consults a C library flag
  // that only newer C libraries have, which would raise the oldest system the
  // module installs on.)
  class Share {
   public:
    Share() noexcept = default;
    explicit Share(std::unique_ptr<BroadcastQueue> queue) noexcept : q_(queue.release()) {}
    Share(const Share& other) noexcept : q_(other.q_) {
      if (q_ != nullptr) q_->shares_.fetch_add(1, std::memory_order_relaxed);
    }
    Share(Share&& other) noexcept : q_(std::exchange(other.q_, nullptr)) {}
    Share& operator=(Share other) noexcept {
      std::swap(q_, other.q_);
      return *this;
    }
    ~Share() { reset(); }
    void reset() noexcept {
      // The last release sees every other holder's writes before the queue goes.
      if (q_ != nullptr && q_->shares_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        std::default_delete<BroadcastQueue>()(q_);
      }
      q_ = nullptr;
    }
    explicit operator bool() const noexcept { return q_ != nullptr; }
    BroadcastQueue* operator->() const noexcept { return q_; }
    BroadcastQueue& operator*() const noexcept { return *q_; }
    BroadcastQueue* get() const noexcept { return q_; }

   private:
    BroadcastQueue* q_ = nullptr;
  };

 public:
  static constexpr uint64_t kCapacity = 1024;
  class Sender;
  class Receiver;

  // A new queue with one sender and one receiver.
  static std::pair<Sender, Receiver> create();

  class Sender {
   public:
    Sender(const Sender& other) noexcept;
    Sender& operator=(const Sender& other) noexcept;
    Sender(Sender&& other) noexcept = default;
    Sender& operator=(Sender&& other) noexcept;
    ~Sender() { release(); }

    // Gives the number of receivers live at the send; with none the message
    // is handed back. Throws std::bad_alloc only when the first message with
    // a receiver to read it needs the ring allocated.
    Expected<uint64_t, Message> send(Message message);
    uint64_t receiver_count() const;
    // A new receiver that sees the messages sent from now on.
    Receiver subscribe() const;

   private:
    friend class BroadcastQueue;
    explicit Sender(Share queue) noexcept;
    void release() noexcept;
    Share q_;
  };

  // The receive side (for C++ callers and tests; nothing in Python reads).
  class Receiver {
   public:
    Receiver(Receiver&& other) noexcept = default;
    Receiver& operator=(Receiver&& other) noexcept;
    ~Receiver() { release(); }

    Receiver subscribe() const;

    enum class Status { Ok, Empty, Lagged, Closed };
    struct Received {
      Status status;
      std::optional<Message> message;  // with Ok
      uint64_t skipped = 0;            // with Lagged: messages overwritten before being read
    };
    // Non-blocking. Lagged moves the receiver on to the oldest message still
    // held; Closed comes once every sender is gone and nothing is left to read.
    // Throws std::bad_alloc when copying a message that other receivers
    // still have to read fails; the receiver is then left where it was.
    Received try_recv();

   private:
    friend class BroadcastQueue;
    Receiver(Share queue, uint64_t next) noexcept;
    void release() noexcept;
    Share q_;
    uint64_t next_;         // position of the next message to read
    Slot* ring_ = nullptr;  // the queue's ring once seen (it never moves)
  };

  // Public for make_unique; use create().
  BroadcastQueue() = default;

 private:
  struct Slot {
    std::mutex lock;
    uint64_t position = 0;
    uint64_t remaining = 0;  // receivers that still have to read it
    std::optional<Message> message;
  };

  static Receiver subscribe(const Share& queue);
  // Positions below this have been overwritten. REQUIRES: tail_lock_ held.
  uint64_t oldest_held() const noexcept { return next_ > kCapacity ? next_ - kCapacity : 0; }

  std::mutex tail_lock_;
  // Under tail_lock_:
  uint64_t next_ = 0;
  // Changed under tail_lock_; read without it where a momentary count will do.
  std::atomic<uint64_t> receivers_{1};
  bool closed_ = false;
  // Allocated by the first send that has a receiver, so that topics nobody
  // reads cost no ring; set once, under tail_lock_.
  std::unique_ptr<Slot[]> ring_;

  std::atomic<uint64_t> senders_{1};
  std::atomic<uint64_t> shares_{1};  // the handles holding the queue
};

class MeshChannel {
 public:
  explicit MeshChannel(const Clock& clock = SystemClock::instance());

  // Creates the topic on first use; returns the receivers reached (0 with none).
  Result<uint64_t> publish(std::string_view topic, json::Value payload);
  // publish() from canonical text (as json::parse_into leaves it): the value
  // is only built when some receiver is live.
  Result<uint64_t> publish_canonical(std::string_view topic, std::string_view canonical_payload);
  // Never fails: 0 when poisoned.
  uint64_t topic_count() const noexcept;

  // The sender of an existing topic (C++ callers subscribe receivers through it).
  Result<std::optional<BroadcastQueue::Sender>> sender(std::string_view topic) const;

 private:
  friend struct TestAccess;
  // The topic's sender (the topic created on first use), or nullopt when its
  // queue has no live receiver, without touching the sender's counts then.
  Result<std::optional<BroadcastQueue::Sender>> heard_sender(std::string_view topic);
  template <class MakePayload>
  Result<uint64_t> publish_with(std::string_view topic, MakePayload&& payload);

  const Clock* clock_;
  Guarded<KeyedMap<BroadcastQueue::Sender>, false> topics_;
};

}  // namespace vrell
