// One connected client as the service sees it: who it is, what it subscribed
// to and publishes, and the requests waiting to be sent to it. Owned by the
// client table (ClientTable.h); used only on the service loop's thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "eventd/LatencyHistogram.h"
#include "eventd/ServiceLog.h"
#include "protocol/Frame.h"
#include "protocol/FrameAssembler.h"

namespace evt::service {

// (server id, category): what events are routed by.
struct Pair {
  uint32_t server = 0;
  std::string category;
  bool operator<(const Pair& other) const {
    return server != other.server ? server < other.server : category < other.category;
  }
};

// How much may wait for one client. Above the high-water mark the publishers
// feeding it wait for it to drain (below half the mark), for at most
// `stallTime`; past that it is stalled: the others go on without it, and
// events for it are dropped once its queue reaches `requests` or `bytes`.
struct QueueLimits {
  std::size_t requests = 1000000;
  std::size_t bytes = 64u * 1024u * 1024u;
  std::size_t highWaterRequests = 32768;
  std::size_t highWaterBytes = 1024u * 1024u;
  std::chrono::milliseconds stallTime{5000};
  std::size_t subscriptions = 100000;  // per client; more are refused
};

// Where one subscription of one client stands in its pair's series.
struct SubscriptionState {
  // The next event queued goes after a "check-event-seqno" of the number
  // before it: the first event since subscribing (so that the library learns
  // where the series stands) and the first after a gap (so that it reports
  // the gap once and still takes the event).
  bool checkDue = true;
  // Events were dropped and nothing of the pair queued since: a check of
  // lastSeqNo reports the gap as soon as the queue has room.
  bool tailLost = false;
  unsigned long long lastSeqNo = 0;  // last number queued or dropped
  // A check or event of the pair was queued since subscribing. Until then
  // the library takes any check as where the series stands, so a loss before
  // it is told as two checks: of the number before `firstLost`, then of
  // lastSeqNo.
  bool positionTold = false;
  unsigned long long firstLost = 0;  // 0: none lost before a position was told
};

// Bytes the service holds for its clients: queued requests and unfinished
// input, of all together, of each user (by the uid of its sockets) and of
// each client. Beyond `limit`, events are refused for every client; a client
// gets at most clientShare() and the clients of one user together at most
// userShare() (root too), so that one member cannot take it all.
struct MemoryBudget {
  std::size_t limit = std::size_t{1} << 30;
  std::size_t used = 0;
  uint64_t refused = 0;  // events refused because of it
  std::map<uid_t, std::size_t> byUser;  // entries stay: sessions point into it
  std::size_t clientShare() const { return limit / 8; }
  std::size_t userShare() const { return limit / 2; }
};

class ClientSession {
 public:
  using Clock = std::chrono::steady_clock;

  // `budget` (may be null: no common bound) must outlive the session.
  ClientSession(uint64_t number, int fd, int peerPid, MemoryBudget* budget = nullptr, uid_t uid = 0)
      : m_number(number),
        m_fd(fd),
        m_peerPid(peerPid),
        m_uid(uid),
        m_budget(budget),
        m_userUsed(budget != nullptr ? &budget->byUser[uid] : nullptr) {}
  ~ClientSession();
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  uint64_t number() const { return m_number; }
  int fd() const { return m_fd; }
  int peerPid() const { return m_peerPid; }
  uid_t uid() const { return m_uid; }
  // Bytes held for it (queue and unfinished input) and for all its user's clients.
  std::size_t heldBytes() const { return m_pendingBytes + m_accountedInput; }
  std::size_t userHeldBytes() const { return m_userUsed != nullptr ? *m_userUsed : heldBytes(); }

  // Identity as the client reported it.
  std::string name;
  int reportedPid = 0;
  std::optional<int32_t> connectivity;
  // The pid to show for the client: its socket's, else the one it reported.
  int pid() const { return m_peerPid > 0 ? m_peerPid : reportedPid; }

  // Its arrival is in the log. A client that only asks for status or a dump
  // (evt status, evt dump) comes and goes unlogged.
  bool announced = false;
  // It sent a command (a client registers first thing). A connection that
  // stays silent past the service's deadline is disconnected.
  bool spoke = false;
  // The lines it may cause in the log.
  LogAllowance logAllowance;
  uint64_t dumpRound = 0;  // the loop round it last had a dump answered in (0: none)
  // Dropped: the router has forgotten it, and the loop closes it once done
  // with this round.
  bool closing = false;

  // What the router keeps of the client. Router only.
  struct Routing {
    std::map<Pair, SubscriptionState> subscriptions;
    bool tailLost = false;  // some subscription's tail was lost
    std::set<Pair> publications;
    std::size_t categoryBytes = 0;  // of the categories of both, as the limits count them
    // Servers whose sequence-number base this client has been sent.
    std::set<uint32_t> basesSent;
    Clock::time_point dumpLogged;  // when a dump it asked for in a queue was last logged
  } routing;

  // A monitor gets a copy of every accepted event (and with `notices` of
  // every subscription, publication and completion id); `dropped` counts
  // the copies its queue had no room for.
  struct Monitor {
    bool active = false;
    bool notices = false;
    uint64_t dropped = 0;
  } monitor;

  // Outbound requests. An event or check is refused (false) when the queue is
  // at its limit; the other requests are kept up to twice the limit, so that
  // a completion or notice is not lost to a burst of events. `arrived`:
  // when the service received the event (left at its default: not timed).
  bool enqueue(std::string_view request, bool droppable, const QueueLimits& limits, Clock::time_point arrived = {});
  bool hasPending() const { return !m_pendingSizes.empty(); }
  std::size_t pendingCount() const { return m_pendingSizes.size(); }
  std::size_t pendingBytes() const { return m_pendingBytes; }
  // The text of up to `maxRequests` requests / about `maxBytes`, removed from
  // the queue, as one list of request lists. The view is into the queue's
  // storage and valid until the next enqueue or takeBatch. Each timed event
  // taken is observed in `residence` (if given): how long since it arrived.
  std::string_view takeBatch(std::size_t maxRequests, std::size_t maxBytes, LatencyHistogram* residence = nullptr);

  // Texts sent and not yet answered; the client answers in order. Two may
  // be unanswered, so that the next text already waits in the client's
  // socket while it works through one, instead of the client idling until
  // the service has read its answer.
  static constexpr std::size_t kTextsInFlight = 2;
  void awaitAnswer(uint32_t requestId) { m_awaitedAnswers.push_back(requestId); }
  // The client answered `requestId`: false (and nothing changes) unless
  // that is the oldest text it owes an answer to.
  bool answered(uint32_t requestId);
  bool awaitsAnswer() const { return !m_awaitedAnswers.empty(); }
  bool maySend() const { return m_awaitedAnswers.size() < kTextsInFlight; }
  // Requests wait and the client may be sent another text now.
  bool dueToSend() const { return !closing && maySend() && hasPending(); }

  // Flow control. `fed`: the clients that this client's last queue text
  // routed events to. Answers to its queue texts are held back, in order,
  // while one of those is congested; heldSince() is when the oldest was.
  std::set<uint64_t> fed;
  void holdAnswer(channel::Frame answer, Clock::time_point now);
  bool answersHeld() const { return !m_heldAnswers.empty(); }
  Clock::time_point heldSince() const { return m_heldSince; }
  std::vector<channel::Frame> takeHeldAnswers();  // oldest first; none held after
  // Above the high-water mark since `congestedSince`, until below half of it.
  void updateCongestion(Clock::time_point now, const QueueLimits& limits);
  // Congested, and not yet for longer than the stall time.
  bool holdsPublishers(Clock::time_point now, const QueueLimits& limits) const {
    return m_congested && now - m_congestedSince < limits.stallTime;
  }
  // Congested for the stall time or longer: it does not read what it is sent.
  bool stalled(Clock::time_point now, const QueueLimits& limits) const {
    return m_congested && now - m_congestedSince >= limits.stallTime;
  }
  // Removes the queued events (a stalled client's, when memory runs short),
  // keeping every other request; returns how many went. The client stays
  // congested until it takes a batch again, so that its publishers are not
  // held back anew each time its queue refills. The caller reports the loss.
  std::size_t shedEvents();
  bool shedSinceRead() const { return m_shed; }

  // Socket input.
  channel::FrameAssembler input;
  // Brings the budget up to date with the input buffered now; true when the
  // budget is exceeded.
  bool accountInput();
  const Clock::time_point connectedAt = Clock::now();
  // When the unfinished frame in `input` began; trickling does not move it.
  Clock::time_point frameBegan = connectedAt;

  // Socket output: frames not yet written, from `sent` on.
  struct Output {
    std::string frames;
    std::size_t sent = 0;
    bool watched = false;  // EPOLLOUT is asked for
    // Frames are gathered and written together when uncorked: one write
    // wakes the client's reader once.
    bool corked = false;
    bool pending() const { return sent < frames.size(); }
    std::size_t unsent() const { return frames.size() - sent; }
    void clear() {
      frames.clear();
      sent = 0;
    }
  } output;

  struct Counters {
    uint64_t commands = 0;
    uint64_t eventsIn = 0;
    uint64_t requestsOut = 0;
    uint64_t textsOut = 0;
    uint64_t dropped = 0;
    uint64_t backpressureMs = 0;  // time answers to its queue texts waited
    uint64_t queueTexts = 0;      // handled; the first carries what the library sends again
  } counters;

 private:
  // Brings the budget's counts up to date for `add` bytes more and `remove` fewer.
  void charge(std::size_t add, std::size_t remove);

  uint64_t m_number;
  int m_fd;
  int m_peerPid;
  uid_t m_uid;
  // The queue, every request already written as the list item it is sent as,
  // joined by ';' as in any list, from m_pendingStart on: routing an event to
  // many subscribers costs one copy into each queue and no allocation.
  struct Queued {
    uint32_t itemSize;     // written size, the ';' joining it to the one before included
    uint32_t requestSize;  // the request alone, as the limits count it
    bool droppable;        // an event (see enqueue)
    Clock::time_point arrived;
  };
  std::string m_pendingText;
  std::size_t m_pendingStart = 0;
  std::deque<Queued> m_pendingSizes;
  std::size_t m_pendingBytes = 0;
  MemoryBudget* m_budget;
  std::size_t* m_userUsed;  // the user's entry in m_budget->byUser
  std::size_t m_accountedInput = 0;  // input bytes counted in the budget
  std::deque<uint32_t> m_awaitedAnswers;  // request ids, oldest first
  std::vector<channel::Frame> m_heldAnswers;
  Clock::time_point m_heldSince;
  bool m_congested = false;
  bool m_shed = false;  // events were shed and it has not taken a batch since
  Clock::time_point m_congestedSince;
};

}  // namespace evt::service
