#include "eventd/PairSequencer.h"

namespace evt::service {

PairSequencer::Arrival PairSequencer::arrive(unsigned long long seqNo, std::string_view request,
                                             Clock::time_point now) {
  if (m_next == 0) m_next = m_start = seqNo;
  if (seqNo == m_next) {
    ++m_next;
    return Arrival::kInOrder;
  }
  if (seqNo < m_start) return Arrival::kBeforeStart;
  if (seqNo < m_next) return Arrival::kLate;
  auto placed = m_held.try_emplace(seqNo, Held{now, std::string(request)});
  if (!placed.second) return Arrival::kLate;  // the same number twice
  m_heldBytes += request.size();
  return Arrival::kHeld;
}

bool PairSequencer::takeReady(unsigned long long* seqNo, std::string* request) {
  auto first = m_held.begin();
  if (first == m_held.end() || first->first != m_next) return false;
  *seqNo = first->first;
  m_heldBytes -= first->second.request.size();
  request->swap(first->second.request);
  m_held.erase(first);
  ++m_next;
  return true;
}

bool PairSequencer::giveUpDue(Clock::time_point now, const HoldLimits& limits) const {
  auto first = m_held.begin();
  return first != m_held.end() && (now - first->second.since >= limits.time || m_held.size() > limits.events ||
                                   m_heldBytes > limits.bytes);
}

unsigned long long PairSequencer::giveUp() {
  auto first = m_held.begin();
  if (first == m_held.end()) return 0;
  const unsigned long long givenUp = first->first - m_next;
  m_next = first->first;
  return givenUp;
}

std::size_t PairSequencer::discardAbove(unsigned long long last) {
  std::size_t discarded = 0;
  for (auto it = m_held.upper_bound(last); it != m_held.end(); it = m_held.erase(it)) {
    m_heldBytes -= it->second.request.size();
    ++discarded;
  }
  return discarded;
}

}  // namespace evt::service
