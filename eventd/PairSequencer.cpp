#include "eventd/PairSequencer.h"

#include <algorithm>

namespace evt::service {
namespace {

// Enough for the events several publishers' batches interleave; a node
// whose text grew beyond an ordinary event's gives its storage back.
constexpr std::size_t kMaxSpareNodes = 8192;
constexpr std::size_t kMaxSpareText = 4096;

}  // namespace

PairSequencer::Arrival PairSequencer::arrive(unsigned long long seqNo, std::string_view request,
                                             Clock::time_point now) {
  if (m_next == 0) m_next = m_start = seqNo;
  if (seqNo == m_next) {
    ++m_next;
    return Arrival::kInOrder;
  }
  if (seqNo < m_start) return Arrival::kBeforeStart;
  if (seqNo < m_next) return Arrival::kLate;
  HeldMap::node_type node;
  if (m_spare != nullptr && !m_spare->nodes.empty()) {
    node = std::move(m_spare->nodes.back());
    m_spare->nodes.pop_back();
    node.key() = seqNo;
  } else {
    HeldMap fresh;
    node = fresh.extract(fresh.emplace(seqNo, Held{}).first);
  }
  node.mapped().since = now;
  node.mapped().request.assign(request.data(), request.size());
  auto placed = m_held.insert(std::move(node));
  if (!placed.inserted) {  // the same number twice
    keepSpare(std::move(placed.node));
    return Arrival::kLate;
  }
  m_heldBytes += request.size();
  return Arrival::kHeld;
}

bool PairSequencer::takeReady(unsigned long long* seqNo, std::string* request) {
  auto first = m_held.begin();
  if (first == m_held.end() || first->first != m_next) return false;
  *seqNo = first->first;
  m_heldBytes -= first->second.request.size();
  request->swap(first->second.request);
  keepSpare(m_held.extract(first));
  ++m_next;
  return true;
}

void PairSequencer::keepSpare(HeldMap::node_type&& node) {
  if (m_spare == nullptr || m_spare->nodes.size() >= kMaxSpareNodes) return;
  if (node.mapped().request.capacity() > kMaxSpareText) std::string().swap(node.mapped().request);
  m_spare->nodes.push_back(std::move(node));
}

bool PairSequencer::giveUpDue(Clock::time_point now, const HoldLimits& limits, Clock::time_point waitFrom) const {
  auto first = m_held.begin();
  return first != m_held.end() && (now - std::max(first->second.since, waitFrom) >= limits.time ||
                                   m_held.size() > limits.events || m_heldBytes > limits.bytes);
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
