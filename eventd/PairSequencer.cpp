#include "eventd/PairSequencer.h"

#include <algorithm>

namespace evt::service {
namespace {

// The ring spans at most this many numbers past the next one; held events
// further ahead wait in the map.
constexpr std::size_t kMaxRingSlots = std::size_t{1} << 18;
constexpr std::size_t kFirstRingSlots = 64;
// Storage a sequencer keeps for the next hold; larger rings and text
// buffers go back to the system when a hold begins after nothing was held
// for kKeepWhileRecent. A stream that holds again soon keeps them: storage
// grown afresh costs a page fault per page, more than copying the texts.
constexpr std::size_t kKeptRingSlots = 16384;
constexpr std::size_t kKeptTextBytes = std::size_t{1} << 20;
constexpr std::chrono::seconds kKeepWhileRecent{1};
// Dead text is dropped once it is this much more than the live text.
constexpr std::size_t kCompactSlack = 64 * 1024;

}  // namespace

PairSequencer::Arrival PairSequencer::arrive(unsigned long long seqNo, std::string_view request,
                                             Clock::time_point now) {
  if (m_next == 0) m_next = m_start = seqNo;
  if (seqNo < m_start) return Arrival::kBeforeStart;
  if (seqNo < m_next) return Arrival::kLate;
  // A repeat of a number still held (the next one included, right after a
  // give-up) is late too.
  if (!m_beyond.empty() && m_beyond.count(seqNo) != 0) return Arrival::kLate;
  if (!m_ring.empty() && inRing(seqNo) && slotOf(seqNo).held) return Arrival::kLate;
  if (seqNo == m_next) {
    advance();
    return Arrival::kInOrder;
  }
  if (m_ringHeld == 0) {
    // Nothing in the ring refers to the text any more.
    m_text.clear();
    if (now - m_lastHold > kKeepWhileRecent) {
      if (m_text.capacity() > kKeptTextBytes) std::string().swap(m_text);
      if (m_spareText.capacity() > kKeptTextBytes) std::string().swap(m_spareText);
      if (m_ring.size() > kKeptRingSlots) {
        std::vector<Slot>().swap(m_ring);
        m_head = 0;
      }
    }
  }
  m_lastHold = now;
  if (reach(seqNo - m_next + 1)) {
    store(slotOf(seqNo), request, now);
    ++m_ringHeld;
    if (m_ringLowest == 0 || seqNo < m_ringLowest) m_ringLowest = seqNo;
  } else {
    m_beyond.emplace(seqNo, Beyond{now, std::string(request)});
  }
  m_heldBytes += request.size();
  return Arrival::kHeld;
}

bool PairSequencer::takeReady(unsigned long long* seqNo, std::string_view* request) {
  if (!m_ring.empty()) {
    Slot& slot = slotOf(m_next);
    if (slot.held) {
      *seqNo = m_next;
      *request = std::string_view(m_text.data() + slot.offset, slot.size);
      release(slot);  // the text stays where it is until the next arrival
      advance();
      if (m_ringLowest == *seqNo) m_ringLowest = findHeld(m_next);
      return true;
    }
  }
  if (!m_beyond.empty() && m_beyond.begin()->first == m_next) {
    auto first = m_beyond.begin();
    m_taken.swap(first->second.request);
    m_beyond.erase(first);
    m_heldBytes -= m_taken.size();
    *seqNo = m_next;
    *request = m_taken;
    advance();
    return true;
  }
  return false;
}

bool PairSequencer::giveUpDue(Clock::time_point now, const HoldLimits& limits, Clock::time_point waitFrom) const {
  Clock::time_point since;
  if (lowest(&since) == 0) return false;
  return now - std::max(since, waitFrom) >= limits.time || heldCount() > limits.events ||
         m_heldBytes > limits.bytes;
}

unsigned long long PairSequencer::giveUp(unsigned long long limit) {
  Clock::time_point since;
  const unsigned long long first = std::min(lowest(&since), limit);
  if (first == 0 || first <= m_next) return 0;
  const unsigned long long givenUp = first - m_next;
  if (!m_ring.empty()) {
    // Outside the ring, nothing is held in it, and any slot may be the next.
    m_head = inRing(first) ? (m_head + (first - m_next)) & (m_ring.size() - 1) : 0;
  }
  m_next = first;
  return givenUp;
}

std::size_t PairSequencer::discardAbove(unsigned long long last) {
  std::size_t discarded = 0;
  for (std::size_t i = 0; i < m_ring.size() && m_ringHeld > 0; ++i) {
    const unsigned long long seqNo = m_next + i;
    Slot& slot = slotOf(seqNo);
    if (seqNo > last && slot.held) {
      release(slot);
      ++discarded;
    }
  }
  if (m_ringLowest > last) m_ringLowest = findHeld(m_next);
  for (auto it = m_beyond.upper_bound(last); it != m_beyond.end(); it = m_beyond.erase(it)) {
    m_heldBytes -= it->second.request.size();
    ++discarded;
  }
  return discarded;
}

bool PairSequencer::reach(unsigned long long span) {
  if (span <= m_ring.size()) return true;
  if (span > kMaxRingSlots) return false;
  std::size_t size = std::max(kFirstRingSlots, m_ring.size());
  while (size < span) size *= 2;
  std::vector<Slot> grown(size);
  for (std::size_t i = 0; i < m_ring.size(); ++i) grown[i] = m_ring[(m_head + i) & (m_ring.size() - 1)];
  m_ring.swap(grown);
  m_head = 0;
  return true;
}

void PairSequencer::advance() {
  if (!m_ring.empty()) m_head = (m_head + 1) & (m_ring.size() - 1);
  ++m_next;
}

void PairSequencer::store(Slot& slot, std::string_view request, Clock::time_point now) {
  if (m_text.size() > 2 * m_textLive + kCompactSlack) compactText();
  slot.held = true;
  slot.offset = m_text.size();
  slot.size = static_cast<uint32_t>(request.size());
  slot.since = now;
  m_text.append(request.data(), request.size());
  m_textLive += request.size();
}

void PairSequencer::release(Slot& slot) {
  slot.held = false;
  m_textLive -= slot.size;
  m_heldBytes -= slot.size;
  --m_ringHeld;
}

unsigned long long PairSequencer::findHeld(unsigned long long from) const {
  if (m_ringHeld == 0) return 0;
  for (unsigned long long seqNo = from; inRing(seqNo); ++seqNo) {
    if (slotOf(seqNo).held) return seqNo;
  }
  return 0;
}

unsigned long long PairSequencer::lowest(Clock::time_point* since) const {
  unsigned long long first = m_ringLowest;
  if (first != 0) *since = slotOf(first).since;
  if (!m_beyond.empty() && (first == 0 || m_beyond.begin()->first < first)) {
    first = m_beyond.begin()->first;
    *since = m_beyond.begin()->second.since;
  }
  return first;
}

void PairSequencer::compactText() {
  // Into the spare buffer, whose storage is reused from the last time.
  std::string& live = m_spareText;
  live.clear();
  live.reserve(m_textLive + kCompactSlack);
  for (std::size_t i = 0; i < m_ring.size(); ++i) {
    Slot& slot = m_ring[(m_head + i) & (m_ring.size() - 1)];
    if (!slot.held) continue;
    const std::size_t offset = live.size();
    live.append(m_text, slot.offset, slot.size);
    slot.offset = offset;
  }
  m_text.swap(live);
}

}  // namespace evt::service
