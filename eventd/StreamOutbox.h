// This server's pair messages on their way into its stream. NATS takes a
// message without saying whether the stream stored it: a NATS server that
// dies with messages in its buffers loses them unheard. So every message is
// kept here until the stream acknowledges it, and what is not acknowledged
// is sent again after the link or the stream was lost, or when the answer
// is overdue. A message sent again carries the id it first had, which the
// stream recognises within its duplicate window; past that, the followers
// drop the repeated events by their numbers. Loop thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace evt::service {

class StreamOutbox {
 public:
  using Clock = std::chrono::steady_clock;
  struct Message {
    uint64_t id = 0;  // in the order added, from 1
    std::string subject;
    std::string text;
    bool acked = false;        // the stream stored it
    Clock::time_point sentAt;  // when last handed to NATS
  };
  // Hands a message to NATS; false when it could not (it is tried again).
  using Send = std::function<bool(const Message&)>;

  explicit StreamOutbox(std::size_t maxBytes) : m_maxBytes(maxBytes) {}

  // Keeps a message to send; false when that would pass the bound (the
  // message is dropped, and its followers see the gap).
  bool add(const std::string& subject, std::string_view text);
  // Sends, in order, what was not sent since the last rewind; stops at the
  // first that cannot go.
  void sendDue(Clock::time_point now, const Send& send);
  // The stream stored message `id` (an id no longer kept is ignored).
  void acknowledged(uint64_t id);
  // Everything not acknowledged goes again with the next sendDue.
  void rewind();
  // True when the oldest message sent and not acknowledged went out more
  // than `after` before `now`.
  bool overdue(Clock::time_point now, Clock::duration after) const;

  std::size_t bytes() const { return m_bytes; }
  std::size_t size() const { return m_messages.size(); }

 private:
  void dropAckedFront();

  const std::size_t m_maxBytes;
  std::deque<Message> m_messages;  // by id; the front is not yet acknowledged
  std::size_t m_bytes = 0;         // of the texts kept
  std::size_t m_firstUnsent = 0;   // index: those before it were sent since the last rewind
  uint64_t m_nextId = 1;
};

}  // namespace evt::service
