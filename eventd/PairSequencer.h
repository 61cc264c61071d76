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

  struct Held {
    Clock::time_point since;
    std::string request;
  };
  using HeldMap = std::map<unsigned long long, Held>;
  // Nodes of events handed on, kept with their text's storage for the next
  // events held by any pair: holding costs no allocation once streams run.
  // Shared by the sequencers of one thread.
  struct SpareNodes {
    std::vector<HeldMap::node_type> nodes;
  };

  // `next`: the first number to hand on; 0 to start at the first number
  // that arrives. `spare` (may be null: nothing kept) outlives the sequencer.
  explicit PairSequencer(unsigned long long next, SpareNodes* spare = nullptr)
      : m_next(next), m_start(next), m_spare(spare) {}

  enum class Arrival {
    kInOrder,      // the next number: hand it on now, then take the ready ones
    kHeld,         // ahead of a missing number: kept
    kLate,         // its place was passed (given up, or a repeat)
    kBeforeStart,  // numbered before the series began for this pair
  };
  Arrival arrive(unsigned long long seqNo, std::string_view request, Clock::time_point now);

  // The held event that is next in order, taken out; false when the next
  // number is still missing.
  bool takeReady(unsigned long long* seqNo, std::string* request);

  // True when the lowest held event has waited `limits.time` (counted from
  // `waitFrom` if that is later), or the hold is over its bounds.
  bool giveUpDue(Clock::time_point now, const HoldLimits& limits, Clock::time_point waitFrom = {}) const;
  // Gives up the missing numbers before the lowest held event; returns how
  // many (then takeReady hands on the held events).
  unsigned long long giveUp();
  // Removes the held events numbered above `last`, which was never issued
  // (a client that made numbers up); returns how many.
  std::size_t discardAbove(unsigned long long last);

  unsigned long long next() const { return m_next; }
  std::size_t heldCount() const { return m_held.size(); }
  std::size_t heldBytes() const { return m_heldBytes; }

 private:
  void keepSpare(HeldMap::node_type&& node);

  unsigned long long m_next;
  unsigned long long m_start;
  HeldMap m_held;
  std::size_t m_heldBytes = 0;
  SpareNodes* m_spare;
};

}  // namespace evt::service
