// Puts one (server id, category) pair's events back into number order.
//
// Every process on the machine numbers a category from one shared series,
// but each sends its events when its own batching window closes, so they
// reach the service out of number order. The sequencer hands events on in
// number order: one ahead of the next expected number is held until the
// missing numbers arrive, or until it has been held too long or the hold is
// full, when the missing numbers are given up. A number that arrives after
// its place was passed is late and never handed on.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace evt::service {

struct HoldLimits {
  std::chrono::milliseconds time{1000};  // longest wait for a missing number
  std::size_t events = 200000;           // held events per pair
  std::size_t bytes = 64u * 1024u * 1024u;
};

class PairSequencer {
 public:
  using Clock = std::chrono::steady_clock;

  // `next`: the first number to hand on; 0 to start at the first number
  // that arrives.
  explicit PairSequencer(unsigned long long next) : m_next(next), m_start(next) {}

  enum class Arrival {
    kInOrder,      // the next number: hand it on now, then take the ready ones
    kHeld,         // ahead of a missing number: kept
    kLate,         // its place was passed (given up, or a repeat)
    kBeforeStart,  // numbered before the series began for this pair
  };
  Arrival arrive(unsigned long long seqNo, std::string_view request, Clock::time_point now);

  // The held event that is next in order, taken out; false when the next
  // number is still missing. The text stays valid until the next arrive.
  bool takeReady(unsigned long long* seqNo, std::string_view* request);

  // True when the lowest held event has waited `limits.time` (counted from
  // `waitFrom` if that is later), or the hold is over its bounds.
  bool giveUpDue(Clock::time_point now, const HoldLimits& limits, Clock::time_point waitFrom = {}) const;
  // Gives up the missing numbers before the lowest held event, none from
  // `limit` on; returns how many (then takeReady hands on the held events).
  unsigned long long giveUp(unsigned long long limit = ~0ull);
  // Removes the held events numbered above `last`, which was never issued
  // (a client that made numbers up); returns how many.
  std::size_t discardAbove(unsigned long long last);

  unsigned long long next() const { return m_next; }
  std::size_t heldCount() const { return m_ringHeld + m_beyond.size(); }
  std::size_t heldBytes() const { return m_heldBytes; }

  // The store's last issued number of this pair's category when last read
  // (kept by the router): an event numbered above it is checked against the
  // store again before it may move the series.
  unsigned long long issuedSeen = 0;
  // The router's count of the queue text in which the store was last read
  // for a late event of this pair (0: never): once a text, however many
  // late events it holds.
  uint64_t storeReadInText = 0;
  // For a series resumed where the last eventd left it, the last number
  // issued before this eventd began, or the floor when that is not known
  // (0: not resumed): up to it, only what the libraries send again can
  // still come.
  unsigned long long resentUpTo = 0;
  // Where the router keeps this series' floor (next() - 1) for the next
  // eventd (SeriesFloors), or -1.
  std::size_t floorSlot = static_cast<std::size_t>(-1);

 private:
  // Held events close to the next number sit in a ring indexed by number,
  // their texts side by side in one buffer: holding and taking cost no tree
  // walk and, once streams run, no allocation. Numbers too far ahead for
  // the ring (made up, or a stream far behind) wait in a map.
  struct Slot {
    bool held = false;
    uint32_t size = 0;
    std::size_t offset = 0;  // into m_text
    Clock::time_point since;
  };
  struct Beyond {
    Clock::time_point since;
    std::string request;
  };

  Slot& slotOf(unsigned long long seqNo) { return m_ring[(m_head + (seqNo - m_next)) & (m_ring.size() - 1)]; }
  const Slot& slotOf(unsigned long long seqNo) const {
    return m_ring[(m_head + (seqNo - m_next)) & (m_ring.size() - 1)];
  }
  bool inRing(unsigned long long seqNo) const { return seqNo - m_next < m_ring.size(); }
  // Makes the ring hold numbers up to m_next + span - 1; false beyond its bound.
  bool reach(unsigned long long span);
  void advance();  // m_next moves on by one
  void store(Slot& slot, std::string_view request, Clock::time_point now);
  void release(Slot& slot);
  // The lowest number held in the ring at or after `from`, 0 when none.
  unsigned long long findHeld(unsigned long long from) const;
  // The lowest held number, ring or map, 0 when none; its wait start in *since.
  unsigned long long lowest(Clock::time_point* since) const;
  void compactText();

  unsigned long long m_next;
  unsigned long long m_start;
  std::vector<Slot> m_ring;  // a power of two in size, or empty
  std::size_t m_head = 0;    // the slot of m_next
  std::size_t m_ringHeld = 0;
  unsigned long long m_ringLowest = 0;  // lowest number held in the ring, 0 when none
  std::string m_text;                   // held texts; dead ones until compacted
  std::size_t m_textLive = 0;
  std::string m_spareText;  // the other half of compaction: live texts are copied into it
  Clock::time_point m_lastHold;
  std::map<unsigned long long, Beyond> m_beyond;
  std::string m_taken;  // a text taken from m_beyond
  std::size_t m_heldBytes = 0;
};

}  // namespace evt::service
